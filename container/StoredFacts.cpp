// Stored times and facts (see StoredFacts.h).
#include "container/StoredFacts.h"

#include <cstring>

namespace container {

namespace {

constexpr unsigned char kFolderFactsMagic[4] = {'Q', 'V', 'F', 'A'};

}  // namespace

std::array<unsigned char, 8> EncodeFileTime(const FILETIME& time) {
  std::array<unsigned char, 8> bytes{};
  const std::uint64_t ticks = FileTimeToTicks(time);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(ticks >> (8 * i));
  return bytes;
}

std::optional<FILETIME> DecodeFileTime(std::string_view blob) {
  if (blob.size() != 8) return std::nullopt;
  std::uint64_t ticks = 0;
  for (int i = 7; i >= 0; --i) ticks = (ticks << 8) | static_cast<unsigned char>(blob[i]);
  return FileTimeFromTicks(ticks);
}

std::optional<FILETIME> LocalToUtc(const FILETIME& local) {
  FILETIME utc{};
  if (!LocalFileTimeToFileTime(&local, &utc)) return std::nullopt;
  return utc;
}

std::optional<FILETIME> DosToUtc(WORD date, WORD time) {
  FILETIME local{};
  if (!DosDateTimeToFileTime(date, time, &local)) return std::nullopt;
  return LocalToUtc(local);
}

std::array<unsigned char, kFolderFactsSize> EncodeFolderFacts(const FolderFacts& folder) {
  std::array<unsigned char, kFolderFactsSize> bytes{};
  std::size_t at = 0;
  const auto put = [&](std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) bytes[at++] = static_cast<unsigned char>(value >> (8 * i));
  };
  for (const unsigned char c : kFolderFactsMagic) bytes[at++] = c;
  put(1, 2);
  put(folder.mode & 0777u, 2);
  for (const timespec& time : {folder.modified, folder.accessed}) {
    put(static_cast<std::uint64_t>(time.tv_sec), 8);
    put(static_cast<std::uint64_t>(time.tv_nsec), 4);
  }
  return bytes;
}

std::optional<FolderFacts> DecodeFolderFacts(std::string_view blob) {
  if (blob.size() != kFolderFactsSize || std::memcmp(blob.data(), kFolderFactsMagic, 4) != 0)
    return std::nullopt;
  std::size_t at = 4;
  const auto get = [&](int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
      value = (value << 8) | static_cast<unsigned char>(blob[at + static_cast<std::size_t>(i)]);
    at += static_cast<std::size_t>(size);
    return value;
  };
  FolderFacts facts;
  if (get(2) != 1) return std::nullopt;
  facts.mode = static_cast<std::uint16_t>(get(2));
  if (facts.mode > 0777) return std::nullopt;
  for (timespec* time : {&facts.modified, &facts.accessed}) {
    time->tv_sec = static_cast<time_t>(static_cast<std::int64_t>(get(8)));
    time->tv_nsec = static_cast<long>(get(4));
    if (time->tv_nsec >= 1000000000) return std::nullopt;
  }
  return facts;
}

DiskFacts ReadDiskFacts(const std::string& path) {
  DiskFacts facts;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return facts;
  facts.size = static_cast<LONG>(data.nFileSizeLow);
  facts.attributes = data.dwFileAttributes;
  const FILETIME utc[3] = {data.ftCreationTime, data.ftLastAccessTime, data.ftLastWriteTime};
  FILETIME* local[3] = {&facts.created, &facts.accessed, &facts.written};
  for (int i = 0; i < 3; ++i) {
    const FILETIME& source = FileTimeToTicks(utc[i]) == 0 ? utc[2] : utc[i];
    if (!FileTimeToLocalFileTime(&source, local[i])) *local[i] = source;
  }
  if (!FileTimeToDosDateTime(&facts.written, &facts.date, &facts.time)) {
    facts.date = 0;
    facts.time = 0;
  }
  return facts;
}

void ApplyStoredTimes(const std::string& path, DWORD version, WORD date, WORD time,
                      std::string_view modified, std::string_view accessed) {
  std::optional<FILETIME> write;
  std::optional<FILETIME> access;
  if (version == kSchemaVersion2) {
    if (const auto local = DecodeFileTime(modified)) write = LocalToUtc(*local);
    if (const auto local = DecodeFileTime(accessed)) access = LocalToUtc(*local);
  }
  if (!write) write = DosToUtc(date, time);
  (void)SetFileTimesA(path.c_str(), access ? &*access : nullptr, write ? &*write : nullptr);
}

}  // namespace container
