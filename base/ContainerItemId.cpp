// Item identifiers: the parser, building from rows, dates and comparison.
#include "base/ContainerItemId.h"

#include <cstring>
#include <limits>

#include "base/ItemNames.h"
#include "platform/Collation.h"
#include "platform/ole/TaskMemory.h"
#include "platform/ole/TextConversion.h"

namespace {

// Field offsets of the layout at the top of the header.
constexpr std::size_t kOffFolderId = 4;
constexpr std::size_t kOffSecondId = 8;
constexpr std::size_t kOffSize = 12;
constexpr std::size_t kOffDateWord = 16;
constexpr std::size_t kOffTimeWord = 20;
constexpr std::size_t kOffAttributes = 24;
constexpr std::size_t kOffPathOffset = 28;
constexpr std::size_t kOffCutMark = 32;
constexpr std::size_t kOffVersion = 36;

// Column counts of the two listings.
constexpr LONG kFileColumns = 7;
constexpr LONG kFolderColumns = 6;

DWORD ReadDword(const BYTE* bytes, std::size_t offset) {
  DWORD value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}
WORD ReadWord(const BYTE* bytes, std::size_t offset) {
  WORD value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}
void WriteDword(BYTE* bytes, std::size_t offset, DWORD value) {
  std::memcpy(bytes + offset, &value, sizeof value);
}
void WriteWord(BYTE* bytes, std::size_t offset, WORD value) {
  std::memcpy(bytes + offset, &value, sizeof value);
}

// The NUL-terminated text at `start`, which must end before `end`; false when it does not.
bool TextIn(const BYTE* start, const BYTE* end, std::string_view* text) {
  if (start >= end) return false;
  const void* nul = std::memchr(start, '\0', static_cast<std::size_t>(end - start));
  if (nul == nullptr) return false;
  *text =
      std::string_view(reinterpret_cast<const char*>(start), static_cast<const BYTE*>(nul) - start);
  return true;
}

// A folder's stored path: "\" then valid components separated by single "\".
bool IsValidStoredPath(std::string_view path) {
  if (path.size() < 2 || path[0] != '\\') return false;
  std::size_t start = 1;
  for (;;) {
    const std::size_t end = path.find('\\', start);
    const std::string_view part =
        path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!ContainerItemId::IsValidName(part)) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

std::string_view LastComponent(std::string_view storedPath) {
  const std::size_t slash = storedPath.rfind('\\');
  return slash == std::string_view::npos ? storedPath : storedPath.substr(slash + 1);
}

// The cell [column, row] of a listing; null when it is not there.
VARIANT* Cell(VARIANT& rows, LONG column, LONG row) {
  LONG index[2] = {column, row};
  void* cell = nullptr;
  if (FAILED(SafeArrayPtrOfIndex(rows.parray, index, &cell))) return nullptr;
  return static_cast<VARIANT*>(cell);
}

}  // namespace

HRESULT ContainerItemId::Parse(const void* bytes, std::size_t available,
                               ContainerItem* item) noexcept {
  if (bytes == nullptr || item == nullptr || available < kItemIdSizeBytes) return E_INVALIDARG;
  const auto* id = static_cast<const BYTE*>(bytes);
  const WORD cb = ReadWord(id, 0);
  if (cb <= itemid::kHeaderSize || cb > available) return E_INVALIDARG;
  const BYTE* end = id + cb;

  ContainerItem out;
  out.folderId = ReadDword(id, kOffFolderId);
  out.secondId = ReadDword(id, kOffSecondId);
  out.size = ReadDword(id, kOffSize);
  out.dateWord = ReadDword(id, kOffDateWord);
  out.timeWord = ReadDword(id, kOffTimeWord);
  out.attributes = ReadWord(id, kOffAttributes);
  out.cutMark = ReadDword(id, kOffCutMark);
  out.version = ReadDword(id, kOffVersion);
  const DWORD pathOffset = ReadDword(id, kOffPathOffset);

  if (!TextIn(id + itemid::kHeaderSize, end, &out.name) || !IsValidName(out.name))
    return E_INVALIDARG;
  if (pathOffset != 0) {
    // The stored path starts past the name's terminator and ends inside the identifier.
    if (pathOffset < out.name.size() + 1 || pathOffset >= cb - itemid::kHeaderSize)
      return E_INVALIDARG;
    if (!TextIn(id + itemid::kHeaderSize + pathOffset, end, &out.storedPath)) return E_INVALIDARG;
    if (!IsValidStoredPath(out.storedPath) || LastComponent(out.storedPath) != out.name)
      return E_INVALIDARG;
    out.hasStoredPath = true;
  }
  if (out.IsFolder() && out.folderId == 0) return E_INVALIDARG;
  *item = out;
  return S_OK;
}

HRESULT ContainerItemId::ReadFirst(LPCITEMIDLIST list, ContainerItem* item) noexcept {
  if (list == nullptr) return E_INVALIDARG;
  return Parse(list, ILItemSize(list), item);
}

HRESULT ContainerItemId::ReadLast(LPCITEMIDLIST list, ContainerItem* item) noexcept {
  if (ILIsEmpty(list)) return E_INVALIDARG;
  HRESULT hr = E_INVALIDARG;
  for (LPCITEMIDLIST id = list; !ILIsEmpty(id); id = ILGetNext(id)) {
    hr = ReadFirst(id, item);
    if (FAILED(hr)) return hr;
  }
  return hr;
}

HRESULT ContainerItemId::CheckList(LPCITEMIDLIST list, UINT* count) noexcept {
  if (count != nullptr) *count = 0;
  if (ILIsEmpty(list)) return E_INVALIDARG;
  UINT n = 0;
  for (LPCITEMIDLIST id = list; !ILIsEmpty(id); id = ILGetNext(id)) {
    ContainerItem item;
    if (FAILED(ReadFirst(id, &item))) return E_INVALIDARG;
    ++n;
  }
  if (count != nullptr) *count = n;
  return S_OK;
}

bool ContainerItemId::IsValidName(std::string_view name) noexcept {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    if (c == '\\' || c == '/' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

LPITEMIDLIST ContainerItemId::Create(const ContainerItemFields& fields) noexcept {
  const std::string_view name = fields.name;
  const std::string_view path = fields.storedPath;
  if (!IsValidName(name) || name.size() > itemid::kMaxTextLength ||
      path.size() > itemid::kMaxTextLength)
    return nullptr;
  if (!path.empty() && (!IsValidStoredPath(path) || LastComponent(path) != name)) return nullptr;
  if ((fields.attributes & itemid::kDirectoryAttribute) != 0 && fields.folderId == 0)
    return nullptr;
  const std::size_t cb = name.size() + path.size() + itemid::kSizeOverhead;
  static_assert(2 * itemid::kMaxTextLength + itemid::kSizeOverhead <
                std::numeric_limits<WORD>::max());
  auto* id = static_cast<BYTE*>(CoTaskMemAlloc(cb + kItemIdSizeBytes));
  if (id == nullptr) return nullptr;
  std::memset(id, 0, cb + kItemIdSizeBytes);
  WriteWord(id, 0, static_cast<WORD>(cb));
  WriteDword(id, kOffFolderId, fields.folderId);
  WriteDword(id, kOffSecondId, fields.secondId);
  WriteDword(id, kOffSize, fields.size);
  WriteDword(id, kOffDateWord, fields.dateWord);
  WriteDword(id, kOffTimeWord, fields.timeWord);
  WriteWord(id, kOffAttributes, fields.attributes);
  WriteDword(id, kOffVersion, fields.version);
  std::memcpy(id + itemid::kHeaderSize, name.data(), name.size());
  if (!path.empty()) {
    const std::size_t offset = name.size() + 1;
    WriteDword(id, kOffPathOffset, static_cast<DWORD>(offset));
    std::memcpy(id + itemid::kHeaderSize + offset, path.data(), path.size());
  }
  return reinterpret_cast<LPITEMIDLIST>(id);
}

bool ContainerItemId::IntCell(VARIANT& rows, LONG column, LONG row, DWORD* value) noexcept {
  const VARIANT* cell = Cell(rows, column, row);
  if (cell == nullptr || cell->vt != VT_I4) return false;
  *value = static_cast<DWORD>(cell->lVal);
  return true;
}

bool ContainerItemId::TextCell(VARIANT& rows, LONG column, LONG row, std::string* value) {
  const VARIANT* cell = Cell(rows, column, row);
  if (cell == nullptr || cell->vt != VT_BSTR) return false;
  *value = Utf8FromBstr(cell->bstrVal);
  return true;
}

LONG ContainerItemId::RowCount(VARIANT& rows) noexcept {
  if (rows.vt == VT_EMPTY) return 0;
  if (rows.vt != (VT_ARRAY | VT_VARIANT) || rows.parray == nullptr ||
      SafeArrayGetDim(rows.parray) != 2)
    return -1;
  LONG last = -1;
  if (FAILED(SafeArrayGetUBound(rows.parray, 2, &last))) return -1;
  return last + 1;
}

std::string ContainerItemId::DisplayNameOfStoredFile(std::string_view storedName) {
  constexpr std::string_view kSuffix = ".qvf";
  if (storedName.size() > kSuffix.size() && storedName.ends_with(kSuffix))
    return std::string(storedName.substr(0, storedName.size() - kSuffix.size()));
  return std::string(storedName);
}

bool ContainerItemId::FileFieldsOfRow(VARIANT& rows, LONG row, DWORD version,
                                      ContainerItemFields* fields) {
  LONG columns = -1;
  if (FAILED(SafeArrayGetUBound(rows.parray, 1, &columns)) || columns + 1 < kFileColumns)
    return false;
  std::string stored;
  DWORD attributes = 0;
  if (!IntCell(rows, 0, row, &fields->secondId) || !IntCell(rows, 1, row, &fields->folderId) ||
      !TextCell(rows, 2, row, &stored) || !IntCell(rows, 3, row, &fields->size) ||
      !IntCell(rows, 4, row, &fields->dateWord) || !IntCell(rows, 5, row, &fields->timeWord) ||
      !IntCell(rows, 6, row, &attributes))
    return false;
  if (stored == kEmptyFolderMarker) return false;
  fields->name = DisplayNameOfStoredFile(stored);
  // A file row is a file whatever its stored attributes say.
  fields->attributes = static_cast<WORD>(attributes & ~DWORD{itemid::kDirectoryAttribute});
  fields->version = version;
  fields->storedPath.clear();
  return true;
}

bool ContainerItemId::FolderFieldsOfRow(VARIANT& rows, LONG row, DWORD version,
                                        ContainerItemFields* fields) {
  LONG columns = -1;
  if (FAILED(SafeArrayGetUBound(rows.parray, 1, &columns)) || columns + 1 < kFolderColumns)
    return false;
  DWORD attributes = 0;
  if (!IntCell(rows, 0, row, &fields->folderId) || !IntCell(rows, 1, row, &fields->secondId) ||
      !IntCell(rows, 2, row, &attributes) || !TextCell(rows, 3, row, &fields->storedPath) ||
      !IntCell(rows, 4, row, &fields->dateWord) || !IntCell(rows, 5, row, &fields->timeWord))
    return false;
  fields->name = std::string(LastComponent(fields->storedPath));
  fields->size = 0;
  fields->attributes = static_cast<WORD>(attributes | itemid::kDirectoryAttribute);
  fields->version = version;
  return true;
}

LPITEMIDLIST ContainerItemId::Renamed(const ContainerItem& item,
                                      std::string_view newName) noexcept {
  try {
    ContainerItemFields fields;
    fields.folderId = item.folderId;
    fields.secondId = item.secondId;
    fields.size = item.size;
    fields.dateWord = item.dateWord;
    fields.timeWord = item.timeWord;
    fields.attributes = item.attributes;
    fields.version = item.version;
    fields.name = std::string(newName);
    if (item.hasStoredPath) {
      const std::size_t slash = item.storedPath.rfind('\\');
      fields.storedPath = std::string(item.storedPath.substr(0, slash + 1)) + fields.name;
    }
    return Create(fields);
  } catch (...) {
    return nullptr;
  }
}

bool ContainerItemId::LastWriteTimeUtc(const ContainerItem& item, FILETIME* utc) noexcept {
  if (utc == nullptr || item.dateWord == 0) return false;
  // Folders keep MS-DOS pairs in every version; only files of version 2 carry a FILETIME.
  if (!item.IsFolder() && item.version >= 2) {
    *utc = FILETIME{item.timeWord, item.dateWord};
    return true;
  }
  FILETIME local;
  if (!DosDateTimeToFileTime(static_cast<WORD>(item.dateWord & 0xFFFF),
                             static_cast<WORD>(item.timeWord & 0xFFFF), &local))
    return false;
  return LocalFileTimeToFileTime(&local, utc) != FALSE;
}

int ContainerItemId::Compare(const ContainerItem& a, const ContainerItem& b, UINT column) noexcept {
  int order = 0;
  if (column == 1) {
    order = a.size < b.size ? -1 : (a.size > b.size ? 1 : 0);
  } else if (column == 3) {
    FILETIME ta{}, tb{};
    const bool hasA = LastWriteTimeUtc(a, &ta);
    const bool hasB = LastWriteTimeUtc(b, &tb);
    // Items without a date sort before dated ones.
    order = hasA != hasB ? (hasA ? 1 : -1) : (hasA ? CompareFileTime(&ta, &tb) : 0);
  }
  if (order == 0) order = QvCompareNames(a.name, b.name);
  if (order == 0) order = a.IsFolder() == b.IsFolder() ? 0 : (a.IsFolder() ? -1 : 1);
  if (order == 0) order = a.folderId < b.folderId ? -1 : (a.folderId > b.folderId ? 1 : 0);
  if (order == 0) order = a.secondId < b.secondId ? -1 : (a.secondId > b.secondId ? 1 : 0);
  return order;
}

void ContainerItemId::SetCutMark(LPITEMIDLIST id, bool cut) noexcept {
  ContainerItem item;
  if (FAILED(ReadFirst(id, &item))) return;
  WriteDword(reinterpret_cast<BYTE*>(id), kOffCutMark, cut ? 1 : 0);
}
