// The legacy container format of the earlier suite: its constants, a streaming reader that
// checks every length, reference and the closing checksum, and a writer (used for samples).
//
// A legacy container is one file: a header, the folder's protection record and provider name,
// the folder records, the file records each followed by the file's encrypted image, and a
// trailer holding a BLAKE2b-256 digest of everything before it. All integers are
// little-endian. docs/formats-legacy.md describes the layout field by field.
#pragma once

#include <sodium.h>

#include <cstdint>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "suite/QvContainerFormat.h"

namespace qvdbconv {

// Shared with the extension, which tells a legacy container from a file that is no container.
using container::kLegacyMagic;
inline constexpr char kLegacyTrailerMagic[8] = {'Q', 'V', 'L', 'E', 'G', 'E', 'N', 'D'};
inline constexpr std::uint16_t kLegacyVersion = 1;
inline constexpr std::size_t kLegacyHeaderSize = 24;
inline constexpr std::size_t kLegacyDigestSize = 32;
inline constexpr std::size_t kLegacyTrailerSize = sizeof kLegacyTrailerMagic + kLegacyDigestSize;
// Longest name or provider text a record may hold (the system's path buffers are 8000 bytes).
inline constexpr std::size_t kMaxNameLength = 7999;
inline constexpr std::size_t kMaxProviderLength = 1023;
using container::kEmptyFolderMarker;

// Why a file could not be read; `code` is the program's exit code for it.
class ConversionError : public std::runtime_error {
 public:
  ConversionError(int code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

// Exit codes of the converter.
enum ExitCode : int {
  kExitConverted = 0,
  kExitUsage = 2,
  kExitCannotRead = 3,
  kExitNotLegacy = 4,
  kExitAlreadyCurrent = 5,
  kExitDamaged = 6,
  kExitNewerVersion = 7,
  kExitCannotWrite = 8,
  kExitInternal = 70,
};

struct LegacyFolder {
  std::uint32_t id = 0;
  std::uint32_t parentId = 0;
  std::uint32_t attributes = 0;
  std::uint16_t dosDate = 0;
  std::uint16_t dosTime = 0;
  std::string name;  // "\a\b", relative to the container's root
};

struct LegacyFile {
  std::uint32_t id = 0;
  std::uint32_t folderId = 0;
  std::uint32_t attributes = 0;
  std::int32_t size = 0;
  std::uint16_t dosDate = 0;
  std::uint16_t dosTime = 0;
  std::string name;  // the encrypted file's name ("Budget.xls.qvf") or the marker
  std::uint64_t imageLength = 0;
};

// What the reader hands over, in file order. The callbacks may throw ConversionError.
struct LegacyVisitor {
  std::function<void(const std::string& protection, const std::string& provider)> options;
  // Called once with every folder record, after all were read and checked.
  std::function<void(const std::vector<LegacyFolder>& folders)> folders;
  std::function<void(const LegacyFile& file)> beginFile;
  // The image in order, in pieces of at most `blockSize` bytes (the reader's block size).
  std::function<void(const std::uint8_t* data, std::size_t length)> imageData;
};

// Reads a legacy container from `fd` (positioned anywhere; read with pread), checking it as it
// goes. Throws ConversionError with kExitNotLegacy, kExitNewerVersion, kExitDamaged or
// kExitCannotRead. The digest is checked last, so a caller that writes while reading must
// discard its output when this throws.
void ReadLegacyContainer(int fd, std::size_t blockSize, const LegacyVisitor& visitor);

// Builds a legacy container in memory (tests and samples; images are held whole).
class LegacyWriter {
 public:
  LegacyWriter(std::string protection, std::string provider);
  void AddFolder(const LegacyFolder& folder);
  void AddFile(LegacyFile file, std::string image);
  // The complete file, digest included.
  std::string Finish() const;

 private:
  std::string protection_;
  std::string provider_;
  std::vector<LegacyFolder> folders_;
  std::vector<std::pair<LegacyFile, std::string>> files_;
};

// The sample container of --make-sample: three folders (one of them empty), four entries,
// one image that spans two blocks of 1 MiB.
std::string MakeSampleContainer();

}  // namespace qvdbconv
