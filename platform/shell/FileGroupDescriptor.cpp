// The bounded file group descriptor parser and the block a source builds.
#include "platform/shell/FileGroupDescriptor.h"

#include <cstring>
#include <new>
#include <string_view>

#include "platform/ole/TextConversion.h"

namespace {

// The fields both record forms share, read from an unaligned record.
template <class Record>
FileGroupEntry CommonFields(const Record& record) {
  FileGroupEntry entry;
  entry.flags = record.dwFlags;
  entry.attributes = record.dwFileAttributes;
  entry.lastWriteTime = record.ftLastWriteTime;
  entry.size = (static_cast<std::uint64_t>(record.nFileSizeHigh) << 32) | record.nFileSizeLow;
  return entry;
}

bool NarrowName(const FILEDESCRIPTORA& record, std::string* name) {
  const void* end = std::memchr(record.cFileName, '\0', sizeof record.cFileName);
  if (end == nullptr) return false;
  name->assign(record.cFileName, static_cast<const char*>(end));
  return true;
}

bool WideName(const FILEDESCRIPTORW& record, std::string* name) {
  std::size_t length = 0;
  while (length < kDescriptorNameChars && record.cFileName[length] != 0) ++length;
  if (length == kDescriptorNameChars) return false;
  name->clear();
  if (length == 0) return true;
  const int n = static_cast<int>(length);
  const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, record.cFileName, n, nullptr,
                                        0, nullptr, nullptr);
  if (bytes <= 0) return false;
  name->resize(static_cast<std::size_t>(bytes));
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, record.cFileName, n, name->data(),
                             bytes, nullptr, nullptr) == bytes;
}

template <class Record, class NameReader>
bool ParseRecords(const BYTE* block, std::size_t size, NameReader readName,
                  std::vector<FileGroupEntry>* entries) {
  UINT count = 0;
  if (block == nullptr || size < sizeof count) return false;
  std::memcpy(&count, block, sizeof count);
  if (count > (size - sizeof count) / sizeof(Record)) return false;
  entries->reserve(count);
  for (UINT i = 0; i < count; ++i) {
    Record record;
    std::memcpy(&record, block + sizeof count + i * sizeof(Record), sizeof record);
    FileGroupEntry entry = CommonFields(record);
    if (!readName(record, &entry.name)) return false;
    entries->push_back(std::move(entry));
  }
  return true;
}

// The name in the record's field, terminated; false when it is empty, ill-formed or too long.
bool StoreName(std::string_view name, FILEDESCRIPTORA* record) {
  if (name.empty() || name.size() >= kDescriptorNameChars) return false;
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()),
                          nullptr, 0) <= 0)
    return false;
  std::memcpy(record->cFileName, name.data(), name.size());
  return true;
}
bool StoreName(std::string_view name, FILEDESCRIPTORW* record) {
  if (name.empty() || name.size() > 4 * kDescriptorNameChars) return false;
  const int n = static_cast<int>(name.size());
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), n, nullptr, 0);
  if (units <= 0 || static_cast<std::size_t>(units) >= kDescriptorNameChars) return false;
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), n, record->cFileName,
                             units) == units;
}

template <class Record>
HGLOBAL BuildBlock(const std::vector<FileGroupEntry>& entries) {
  const UINT count = static_cast<UINT>(entries.size());
  if (entries.size() > (SIZE_T{0xFFFFFFFF} - sizeof count) / sizeof(Record)) return nullptr;
  HGLOBAL block = GlobalAlloc(GPTR, sizeof count + entries.size() * sizeof(Record));
  if (block == nullptr) return nullptr;
  auto* bytes = static_cast<BYTE*>(GlobalLock(block));
  std::memcpy(bytes, &count, sizeof count);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const FileGroupEntry& entry = entries[i];
    Record record{};
    record.dwFlags = entry.flags;
    record.dwFileAttributes = entry.attributes;
    record.ftLastWriteTime = entry.lastWriteTime;
    record.nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
    record.nFileSizeLow = static_cast<DWORD>(entry.size);
    if (!StoreName(entry.name, &record)) {
      (void)GlobalUnlock(block);
      (void)GlobalFree(block);
      return nullptr;
    }
    std::memcpy(bytes + sizeof count + i * sizeof(Record), &record, sizeof record);
  }
  (void)GlobalUnlock(block);
  return block;
}

}  // namespace

bool ParseFileGroupDescriptor(const BYTE* block, std::size_t size, bool wide,
                              std::vector<FileGroupEntry>* entries) noexcept {
  if (entries == nullptr) return false;
  entries->clear();
  try {
    const bool parsed = wide ? ParseRecords<FILEDESCRIPTORW>(block, size, WideName, entries)
                             : ParseRecords<FILEDESCRIPTORA>(block, size, NarrowName, entries);
    if (!parsed) entries->clear();
    return parsed;
  } catch (const std::bad_alloc&) {
    entries->clear();
    return false;
  }
}

bool ReadFileGroupDescriptor(HGLOBAL block, bool wide,
                             std::vector<FileGroupEntry>* entries) noexcept {
  if (entries != nullptr) entries->clear();
  const SIZE_T size = GlobalSize(block);
  const auto* bytes = static_cast<const BYTE*>(GlobalLock(block));
  if (bytes == nullptr) return false;
  const bool parsed = ParseFileGroupDescriptor(bytes, size, wide, entries);
  (void)GlobalUnlock(block);
  return parsed;
}

HGLOBAL CreateFileGroupDescriptor(const std::vector<FileGroupEntry>& entries, bool wide) noexcept {
  return wide ? BuildBlock<FILEDESCRIPTORW>(entries) : BuildBlock<FILEDESCRIPTORA>(entries);
}
