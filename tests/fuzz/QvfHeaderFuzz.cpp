// Fuzzes the reading of .qvf files: the header parser, the header's keyed checks and the
// chunk decryption behind them. Each input is a whole .qvf file. It is parsed; a parsed header
// must encode back to exactly its own bytes; then the file is decrypted as the user of the
// fixed key below would (and, for a file of a folder, under the fixed folder key), and the
// user-list and owner readers run on the header.
//
// The seeds in corpus/QvfHeader are real files for that user (key pair from 32 bytes of 0x42,
// name "fuzz"; folder key 32 bytes of 0x24): empty and short payloads under both ciphers,
// a file shared with a second user, a file with 4096-byte chunks and a file of a folder, all of
// format version 1, and a file of version 2 that keeps its plain file's mode and times. The
// suite tests decrypt them too.
//
// The library exports only its public functions and keeps the parser and the decryption path
// hidden, so the sources that read files are compiled into this target to reach them directly.
#include <fcntl.h>
#include <sodium.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "suite/QvKeyBlob.h"
#include "suite/qvfsdll/Aes256Gcm.cpp"
#include "suite/qvfsdll/FileCrypto.cpp"
#include "suite/qvfsdll/FileIo.cpp"
#include "suite/qvfsdll/PayloadStream.cpp"
#include "suite/qvfsdll/QvfFormat.cpp"
#include "suite/qvfsdll/Sharing.cpp"
#include "suite/qvfsdll/UserKeys.cpp"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using fuzz::Check;

struct Fixture {
  std::uint8_t blob[kKeyBlobSize];
  std::uint8_t publicBlob[kKeyBlobSize];
  std::string folder;
  qvfs::FolderState folderState;

  Fixture() {
    fuzz::StartSodium();
    fuzz::SeededKeyBlob(blob, fuzz::kFixedSeed, true);
    fuzz::SeededKeyBlob(publicBlob, fuzz::kFixedSeed, false);
    std::memset(folderState.folderKey.data(), 0x24, qvfs::kKeySize);
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/qvfheaderfuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    folder = pattern;
  }
};

Fixture& Fixed() {
  static Fixture* fixture = [] {
    auto* made = new Fixture;
    // The work folder goes when the fuzzer exits.
    std::atexit([] {
      unlink((Fixed().folder + "/input.qvf").c_str());
      unlink((Fixed().folder + "/input").c_str());
      rmdir(Fixed().folder.c_str());
    });
    return made;
  }();
  return *fixture;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Fixture& fixed = Fixed();
  using namespace qvfs;

  KeyHeader header;
  std::uint32_t length = 0;
  const DWORD parsed = Decode(std::span(data, size), Family::File, &header, &length);
  if (parsed == StatusSuccess) {
    const std::vector<std::uint8_t> encoded = Encode(header, Family::File);
    Check(encoded.size() == length && std::memcmp(encoded.data(), data, length) == 0,
          "a parsed header does not encode back to its bytes");
    BYTE list[256];
    DWORD listSize = sizeof list;
    (void)WriteUserList(header, list, &listSize);
    char owner[kOwnerTextSize];
    Check(WriteOwner(header, owner) == StatusSuccess, "an owner text does not fit");
    TargetUser user;
    user.userId = "fuzz";
    user.keyBlob = fixed.publicBlob;
    user.keyBlobLength = kKeyBlobSize;
    (void)CheckUser(header, Family::File, user);
  }

  // The whole file through the decryption path, as a file of its own and under the folder
  // key (with the folder id the file names, so the keyed checks are what decides).
  const std::string source = fixed.folder + "/input.qvf";
  const std::string target = fixed.folder + "/input";
  const int fd = open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Check(fd >= 0 && WriteFull(fd, data, size), "cannot write the input file");
  close(fd);
  QVData request{};
  request.sourcePath = source.c_str();
  request.destinationPath = fixed.folder.c_str();
  request.keyName = "fuzz";
  request.keyBlob = fixed.blob;
  request.keyBlobLength = kKeyBlobSize;
  const DWORD alone = DecryptFile(request);
  Check(alone != StatusSuccess || parsed == StatusSuccess, "decrypted a file it cannot parse");
  unlink(target.c_str());
  if (parsed == StatusSuccess && header.kind == Kind::FolderFile) {
    fixed.folderState.header.itemId = header.folderId;
    (void)DecryptFileInFolder(request, fixed.folderState);
    unlink(target.c_str());
  }
  return 0;
}
