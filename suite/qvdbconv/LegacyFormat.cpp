// Reading and writing the legacy container format. The reader never trusts a count or a
// length: each is checked against the bytes that are left before anything is allocated or
// read, and every reference between records is checked before the records are handed on.
#include "suite/qvdbconv/LegacyFormat.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>

namespace qvdbconv {
namespace {

constexpr std::size_t kReadBuffer = 64 * 1024;
// Smallest records the counts in the header can stand for (one-byte names; folder names
// are at least "\x").
constexpr std::uint64_t kMinFolderRecord = 4 + 4 + 4 + 2 + 2 + 2 + 2;
constexpr std::uint64_t kMinFileRecord = 4 + 4 + 4 + 4 + 2 + 2 + 2 + 1 + 8;
// A protection record is a few kilobytes at most; anything near this is damage.
constexpr std::uint32_t kMaxProtectionRecord = 16u << 20;

[[noreturn]] void Damaged(const std::string& what) {
  throw ConversionError(kExitDamaged, "the legacy container is damaged: " + what);
}

// Sequential reads of the part before the trailer, hashed as they go.
class Input {
 public:
  Input(int fd, std::uint64_t contentEnd) : fd_(fd), end_(contentEnd), buffer_(kReadBuffer) {
    crypto_generichash_init(&state_, nullptr, 0, kLegacyDigestSize);
  }

  std::uint64_t Remaining() const { return end_ - position_; }

  void Read(void* out, std::size_t length, const char* what) {
    if (length > Remaining()) Damaged(std::string("it ends inside ") + what);
    auto* target = static_cast<std::uint8_t*>(out);
    while (length > 0) {
      if (used_ == filled_) Fill();
      const std::size_t n = std::min(length, filled_ - used_);
      std::memcpy(target, buffer_.data() + used_, n);
      used_ += n;
      target += n;
      length -= n;
      position_ += n;
    }
  }

  std::uint16_t U16(const char* what) {
    std::uint8_t b[2];
    Read(b, sizeof b, what);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
  }
  std::uint32_t U32(const char* what) {
    std::uint8_t b[4];
    Read(b, sizeof b, what);
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
  }
  std::uint64_t U64(const char* what) {
    const std::uint64_t low = U32(what);
    return low | (static_cast<std::uint64_t>(U32(what)) << 32);
  }
  std::string Text(std::size_t length, const char* what) {
    if (length > Remaining()) Damaged(std::string("it ends inside ") + what);
    std::string out(length, '\0');
    Read(out.data(), length, what);
    return out;
  }

  void FinalDigest(std::uint8_t out[kLegacyDigestSize]) {
    crypto_generichash_final(&state_, out, kLegacyDigestSize);
  }

 private:
  // Refills the buffer from the file and feeds the new bytes to the digest.
  void Fill() {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), end_ - fileOffset_));
    std::size_t got = 0;
    while (got < want) {
      const ssize_t n =
          pread(fd_, buffer_.data() + got, want - got, static_cast<off_t>(fileOffset_ + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0)
        throw ConversionError(kExitCannotRead,
                              std::string("reading the container failed: ") + std::strerror(errno));
      if (n == 0)
        throw ConversionError(kExitCannotRead, "the container became shorter while being read");
      got += static_cast<std::size_t>(n);
    }
    crypto_generichash_update(&state_, buffer_.data(), got);
    fileOffset_ += got;
    used_ = 0;
    filled_ = got;
  }

  int fd_;
  std::uint64_t end_;
  std::uint64_t position_ = 0;
  std::uint64_t fileOffset_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::size_t used_ = 0;
  std::size_t filled_ = 0;
  crypto_generichash_state state_;
};

bool HasControlCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// One name component as Windows allows it: not empty, not "." or "..", no separator.
bool IsValidComponent(std::string_view part) {
  return !part.empty() && part != "." && part != ".." &&
         part.find_first_of("\\/") == std::string_view::npos;
}

void CheckFolderName(const std::string& name) {
  if (name.size() < 2 || name.size() > kMaxNameLength || name.front() != '\\' ||
      HasControlCharacter(name))
    Damaged("a folder record holds an invalid name");
  std::string_view rest(name);
  rest.remove_prefix(1);
  for (;;) {
    const size_t end = rest.find('\\');
    if (!IsValidComponent(rest.substr(0, end))) Damaged("a folder record holds an invalid name");
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
}

void CheckFileName(const std::string& name) {
  if (name.size() > kMaxNameLength || HasControlCharacter(name) || !IsValidComponent(name))
    Damaged("a file record holds an invalid name");
}

void CheckId(std::uint32_t id, const char* what) {
  if (id == 0 || id > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()))
    Damaged(std::string(what) + " id is out of range");
}

std::vector<LegacyFolder> ReadFolders(Input& in, std::uint32_t count) {
  std::vector<LegacyFolder> folders;
  folders.reserve(count);
  std::map<std::uint32_t, std::size_t> byId;
  std::map<std::string, std::uint32_t> byName;
  for (std::uint32_t i = 0; i < count; ++i) {
    LegacyFolder folder;
    folder.id = in.U32("a folder record");
    folder.parentId = in.U32("a folder record");
    folder.attributes = in.U32("a folder record");
    folder.dosDate = in.U16("a folder record");
    folder.dosTime = in.U16("a folder record");
    folder.name = in.Text(in.U16("a folder record"), "a folder name");
    CheckId(folder.id, "a folder");
    CheckFolderName(folder.name);
    if (!byId.emplace(folder.id, folders.size()).second) Damaged("two folders share one id");
    if (!byName.emplace(folder.name, folder.id).second) Damaged("two folders share one name");
    folders.push_back(std::move(folder));
  }
  // A parent is the root (0) or the folder whose name is this name without its last part.
  for (const LegacyFolder& folder : folders) {
    if (folder.parentId == 0) continue;
    const auto parent = byId.find(folder.parentId);
    const std::string expected = folder.name.substr(0, folder.name.rfind('\\'));
    if (parent == byId.end() || folders[parent->second].name != expected)
      Damaged("a folder record names a parent that is not its parent folder");
  }
  return folders;
}

void PutU16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xff));
  out.push_back(static_cast<char>(v >> 8));
}
void PutU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void PutU64(std::string& out, std::uint64_t v) {
  PutU32(out, static_cast<std::uint32_t>(v));
  PutU32(out, static_cast<std::uint32_t>(v >> 32));
}

}  // namespace

void ReadLegacyContainer(int fd, std::size_t blockSize, const LegacyVisitor& visitor) {
  struct stat st {};
  if (fstat(fd, &st) != 0)
    throw ConversionError(kExitCannotRead,
                          std::string("cannot examine the container: ") + std::strerror(errno));
  const auto fileSize = static_cast<std::uint64_t>(st.st_size);
  char magic[sizeof kLegacyMagic] = {};
  const ssize_t got = fileSize >= sizeof magic ? pread(fd, magic, sizeof magic, 0) : 0;
  if (got < 0)
    throw ConversionError(kExitCannotRead,
                          std::string("reading the container failed: ") + std::strerror(errno));
  if (static_cast<std::size_t>(got) != sizeof magic ||
      std::memcmp(magic, kLegacyMagic, sizeof magic) != 0)
    throw ConversionError(kExitNotLegacy, "the file is not a container of a known format");
  if (fileSize < kLegacyHeaderSize + kLegacyTrailerSize)
    Damaged("it is shorter than its header and trailer");

  Input in(fd, fileSize - kLegacyTrailerSize);
  std::uint8_t header[8];
  in.Read(header, sizeof header, "the header");
  const std::uint16_t version = in.U16("the header");
  const std::uint16_t flags = in.U16("the header");
  if (version == 0) Damaged("its format version is 0");
  if (version > kLegacyVersion || flags != 0)
    throw ConversionError(kExitNewerVersion,
                          "the container was written by a newer version of the suite (format " +
                              std::to_string(version) + ")");
  const std::uint32_t folderCount = in.U32("the header");
  const std::uint32_t fileCount = in.U32("the header");
  if (in.U32("the header") != 0) Damaged("a reserved header field is not 0");
  if (folderCount * kMinFolderRecord + fileCount * kMinFileRecord > in.Remaining())
    Damaged("its record counts exceed its size");

  const std::uint32_t protectionLength = in.U32("the protection record");
  if (protectionLength > kMaxProtectionRecord) Damaged("its protection record is too long");
  const std::string protection = in.Text(protectionLength, "the protection record");
  const std::uint16_t providerLength = in.U16("the provider name");
  if (providerLength > kMaxProviderLength) Damaged("its provider name is too long");
  const std::string provider = in.Text(providerLength, "the provider name");
  if (provider.find('\0') != std::string::npos) Damaged("its provider name holds a NUL");
  if (visitor.options) visitor.options(protection, provider);

  const std::vector<LegacyFolder> folders = ReadFolders(in, folderCount);
  if (visitor.folders) visitor.folders(folders);
  std::set<std::uint32_t> folderIds;
  for (const LegacyFolder& folder : folders) folderIds.insert(folder.id);

  std::set<std::uint32_t> fileIds;
  std::set<std::pair<std::uint32_t, std::string>> names;
  std::vector<std::uint8_t> block(std::max<std::size_t>(blockSize, 1));
  for (std::uint32_t i = 0; i < fileCount; ++i) {
    LegacyFile file;
    file.id = in.U32("a file record");
    file.folderId = in.U32("a file record");
    file.attributes = in.U32("a file record");
    file.size = static_cast<std::int32_t>(in.U32("a file record"));
    file.dosDate = in.U16("a file record");
    file.dosTime = in.U16("a file record");
    file.name = in.Text(in.U16("a file record"), "a file name");
    file.imageLength = in.U64("a file record");
    CheckId(file.id, "a file");
    CheckFileName(file.name);
    if (file.folderId != 0 && folderIds.count(file.folderId) == 0)
      Damaged("a file record names a folder that does not exist");
    if (!fileIds.insert(file.id).second) Damaged("two files share one id");
    if (!names.emplace(file.folderId, file.name).second)
      Damaged("two files in one folder share one name");
    if (file.name == kEmptyFolderMarker && file.imageLength != 0)
      Damaged("an empty-folder marker has content");
    if (file.imageLength > in.Remaining()) Damaged("a file's image is cut short");
    if (visitor.beginFile) visitor.beginFile(file);
    for (std::uint64_t left = file.imageLength; left > 0;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
      in.Read(block.data(), n, "a file's image");
      if (visitor.imageData) visitor.imageData(block.data(), n);
      left -= n;
    }
  }
  if (in.Remaining() != 0) Damaged("unexpected bytes follow the last record");

  std::uint8_t trailer[kLegacyTrailerSize];
  std::size_t done = 0;
  while (done < sizeof trailer) {
    const ssize_t n = pread(fd, trailer + done, sizeof trailer - done,
                            static_cast<off_t>(fileSize - kLegacyTrailerSize + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ConversionError(kExitCannotRead, "reading the container's trailer failed");
    done += static_cast<std::size_t>(n);
  }
  if (std::memcmp(trailer, kLegacyTrailerMagic, sizeof kLegacyTrailerMagic) != 0)
    Damaged("its trailer is missing");
  std::uint8_t digest[kLegacyDigestSize];
  in.FinalDigest(digest);
  if (sodium_memcmp(digest, trailer + sizeof kLegacyTrailerMagic, kLegacyDigestSize) != 0)
    Damaged("its checksum does not match its contents");
}

LegacyWriter::LegacyWriter(std::string protection, std::string provider)
    : protection_(std::move(protection)), provider_(std::move(provider)) {}

void LegacyWriter::AddFolder(const LegacyFolder& folder) { folders_.push_back(folder); }

void LegacyWriter::AddFile(LegacyFile file, std::string image) {
  file.imageLength = image.size();
  files_.emplace_back(std::move(file), std::move(image));
}

std::string LegacyWriter::Finish() const {
  std::string out(kLegacyMagic, sizeof kLegacyMagic);
  PutU16(out, kLegacyVersion);
  PutU16(out, 0);
  PutU32(out, static_cast<std::uint32_t>(folders_.size()));
  PutU32(out, static_cast<std::uint32_t>(files_.size()));
  PutU32(out, 0);
  PutU32(out, static_cast<std::uint32_t>(protection_.size()));
  out += protection_;
  PutU16(out, static_cast<std::uint16_t>(provider_.size()));
  out += provider_;
  for (const LegacyFolder& folder : folders_) {
    PutU32(out, folder.id);
    PutU32(out, folder.parentId);
    PutU32(out, folder.attributes);
    PutU16(out, folder.dosDate);
    PutU16(out, folder.dosTime);
    PutU16(out, static_cast<std::uint16_t>(folder.name.size()));
    out += folder.name;
  }
  for (const auto& [file, image] : files_) {
    PutU32(out, file.id);
    PutU32(out, file.folderId);
    PutU32(out, file.attributes);
    PutU32(out, static_cast<std::uint32_t>(file.size));
    PutU16(out, file.dosDate);
    PutU16(out, file.dosTime);
    PutU16(out, static_cast<std::uint16_t>(file.name.size()));
    out += file.name;
    PutU64(out, image.size());
    out += image;
  }
  std::uint8_t digest[kLegacyDigestSize];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(out.data()),
                     out.size(), nullptr, 0);
  out.append(kLegacyTrailerMagic, sizeof kLegacyTrailerMagic);
  out.append(reinterpret_cast<const char*>(digest), sizeof digest);
  return out;
}

std::string MakeSampleContainer() {
  // Deterministic bytes standing in for encrypted images.
  std::uint32_t state = 0x9e3779b9u;
  auto image = [&state](std::size_t length) {
    std::string bytes(length, '\0');
    for (char& c : bytes) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      c = static_cast<char>(state & 0xff);
    }
    return bytes;
  };
  constexpr std::uint16_t kDate = (37 << 9) | (3 << 5) | 14;  // 14 March 2017
  constexpr std::uint16_t kTime = (9 << 11) | (26 << 5) | (30 / 2);
  constexpr std::uint32_t kDirectory = 0x10;
  constexpr std::uint32_t kArchive = 0x20;

  LegacyWriter writer(image(48), "Quorvin Legacy Cryptographic Provider");
  writer.AddFolder({1, 0, kDirectory, kDate, kTime, "\\Reports"});
  writer.AddFolder({2, 1, kDirectory, kDate, kTime, "\\Reports\\2017"});
  writer.AddFolder({3, 0, kDirectory, kDate, kTime, "\\Empty"});
  writer.AddFile({1, 0, kArchive, 300, kDate, kTime, "Read me.txt.qvf", 0}, image(556));
  writer.AddFile({2, 2, kArchive, 1048000, kDate, kTime, "Budget.xls.qvf", 0},
                 image((1u << 20) + 1));
  writer.AddFile({3, 1, kArchive, 0, kDate, kTime, "empty.dat.qvf", 0}, "");
  writer.AddFile({4, 3, 0, 0, 0, 0, kEmptyFolderMarker, 0}, "");
  return writer.Finish();
}

}  // namespace qvdbconv
