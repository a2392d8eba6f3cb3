// Fuzzes folder headers, the protection records a container stores and hands back to the
// library: the parser, the exported readers the sharing code calls on a stored header
// (user list, owner, valid user, privilege) with buffers of several sizes, reopening the
// folder with the fixed key below, and adding and removing a user when the header opens.
//
// The seeds in corpus/FolderHeader are real headers for the user of the fixed key (key pair
// from 32 bytes of 0x42, name "fuzz"; folder key 32 bytes of 0x24): one user, three users,
// and the other cipher. The suite tests open them too. The seeds "v2-*" are signed headers the
// library made (tests/suite/FuzzCorpusTest.cpp), some with the list of a container's files
// after them, which is parsed here as well.
//
// The exported functions are called in the library as the product calls them. The parser and
// the sharing rules are hidden inside the library (only the exported functions are visible), so
// their sources are compiled into this target to reach them directly.
#include <sodium.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "suite/QvFsApi.h"
#include "suite/QvKeyBlob.h"
#include "suite/qvfsdll/FolderHeader.cpp"
#include "suite/qvfsdll/QvfFormat.cpp"
#include "suite/qvfsdll/Sharing.cpp"
#include "suite/qvfsdll/UserKeys.cpp"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using fuzz::Check;

struct Fixture {
  std::uint8_t blob[kKeyBlobSize];
  std::uint8_t otherPublic[kKeyBlobSize];

  Fixture() {
    fuzz::StartSodium();
    fuzz::SeededKeyBlob(blob, fuzz::kFixedSeed, true);
    fuzz::SeededKeyBlob(otherPublic, 0x43, false);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture* fixed = new Fixture;
  using namespace qvfs;
  // An exact copy, so that reading one byte too far is seen.
  std::unique_ptr<BYTE[]> header(new BYTE[size + 1]);
  std::memcpy(header.get(), data, size);
  const DWORD length = static_cast<DWORD>(size);

  KeyHeader parsed;
  std::uint32_t used = 0;  // bytes after the header are left alone
  const DWORD status = Decode(std::span(header.get(), size), Family::Folder, &parsed, &used);

  // The list of a container's files after the header: what parses encodes back to its bytes.
  std::optional<FileList> list;
  std::uint32_t listAt = 0;
  if (FindFileList(std::span(header.get(), size), &list, &listAt) == StatusSuccess && list)
    Check(EncodeFileList(*list) ==
              std::vector<std::uint8_t>(header.get() + listAt, header.get() + size),
          "a parsed list does not encode back to its bytes");

  for (const DWORD capacity : {0u, 13u, 64u, 4096u}) {
    std::unique_ptr<BYTE[]> list(new BYTE[capacity + 1]);
    DWORD used = capacity;
    const DWORD listed = QVFSFolderGetUserList(header.get(), length, list.get(), &used);
    Check(listed != StatusSuccess || used <= capacity, "a list larger than its buffer");
    Check(listed == StatusSuccess || used == 0 || used > capacity, "a wrong length needed");
  }
  char owner[kOwnerTextSize];
  DWORD ownerLength = length;
  const DWORD ownerStatus = QVFSFolderGetOwner(header.get(), &ownerLength, owner);
  // A header that parses but whose owner's signature fails is refused (8) by every reader.
  Check(ownerStatus == status ||
            (status == StatusSuccess && ownerStatus == StatusIntegrityError &&
             CheckOwner(parsed, Family::Folder, nullptr) == OwnerTrust::Forged),
        "owner and parser disagree");
  Check(std::strlen(owner) < kOwnerTextSize, "owner text not terminated");
  (void)QVFSFolderIsValidUser(header.get(), length, "fuzz", "fuzz", fixed->blob, kKeyBlobSize);
  (void)QVFSFolderChekIsPrivilegeUser("fuzz", header.get(), length);

  DWORD credentialsLength = 5;
  DWORD handle = 0;
  const DWORD opened =
      InitFolderDecryption(header.get(), length, "fuzz", fixed->blob, kKeyBlobSize,
                           reinterpret_cast<const BYTE*>("fuzz"), &credentialsLength, &handle);
  Check((opened == StatusSuccess) == (handle != 0), "a handle without success");
  if (handle != 0) {
    QvFileListState state{};
    const DWORD listed = ReadFileList(handle, std::span(header.get(), size), &state);
    Check(listed != StatusSuccess || list.has_value(), "a list verified where there is none");
    Check(CloseFolder(handle), "an open handle does not close");
  }
  if (status != StatusSuccess) return 0;

  Check(Encode(parsed, Family::Folder) ==
            std::vector<std::uint8_t>(header.get(), header.get() + used),
        "a parsed header does not encode back to its bytes");
  ActingUser acting;
  acting.userId = "fuzz";
  acting.keyName = "fuzz";
  acting.keyBlob = fixed->blob;
  acting.keyBlobLength = kKeyBlobSize;
  TargetUser other;
  other.userId = "other";
  other.keyBlob = fixed->otherPublic;
  other.keyBlobLength = kKeyBlobSize;
  KeyHeader changed = parsed;
  bool added = false;
  if (AddUser(&changed, Family::Folder, acting, other, &added) == StatusSuccess && added) {
    KeyHeader again;
    const std::vector<std::uint8_t> bytes = Encode(changed, Family::Folder);
    Check(Decode(bytes, Family::Folder, &again, nullptr) == StatusSuccess,
          "a header with a user added does not parse");
    SecretKey key;
    UserKey user;
    Check(ParseKeyBlob(fixed->blob, kKeyBlobSize, &user), "fixed key");
    Check(UnlockHeader(again, Family::Folder, user, "fuzz", &key) == StatusSuccess,
          "the owner cannot open the header after adding a user");
    Check(RemoveUser(&again, Family::Folder, other, "fuzz", &acting, nullptr) == StatusSuccess ||
              again.ownerName != "fuzz",
          "the owner cannot remove the user just added");
  }
  return 0;
}
