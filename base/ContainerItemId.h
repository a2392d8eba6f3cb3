// The item identifier of a file or folder inside a container: its byte layout, the one parser
// every reader goes through, how identifiers are built from container rows, their dates, and
// how two of them compare.
//
// Layout (little-endian, offsets from the identifier's first byte; the layout leaves the
// process and must stay exactly as it is):
//    0 u16 cb           size of the identifier
//    2 u16 reserved     written as zero
//    4 u32 FolderId     file: FOLDER_ID of its folder;   folder: its own FOLDER_ID (never 0)
//    8 u32 SecondId     file: FILE_ID;                   folder: PARENT_FOLDER_ID
//   12 u32 Size         file: FILE_SIZE (low 32 bits);   folder: 0
//   16 u32 DateWord     see Dates
//   20 u32 TimeWord
//   24 u16 Attributes   FILE_ATTRIBUTE_DIRECTORY (0x10) makes the item a folder
//   26 u16 reserved
//   28 u32 PathOffset   offset of StoredPath counted from byte 40; 0 when there is none
//   32 u32 CutMark      1 while the item is marked as cut to the clipboard
//   36 u32 Version      schema version of the container the item came from
//   40     Name         NUL-terminated display name (one path component)
//   40+PathOffset       StoredPath: NUL-terminated "\a\b" of a folder, as the store keeps it
// cb = length(Name) + length(StoredPath) + 44; the bytes after the last terminator up to cb
// are not read.
//
// Dates: a folder, and a file of a version-1 container, carries an MS-DOS date (low 16 bits of
// DateWord) and time (low 16 bits of TimeWord) in local time; a file of a version-2 container
// carries a UTC FILETIME (high half DateWord, low half TimeWord). DateWord 0 means no date.
//
// Identifiers come back from the file manager, other programs and the clipboard, so nothing
// reads one before Parse has checked it: cb at least the fixed header and inside the bytes
// available, the name's terminator inside cb, PathOffset 0 or past the name with the stored
// path's terminator inside cb, a folder item with a non-zero FolderId, and names that are one
// valid path component. Any method handed an identifier that fails gives E_INVALIDARG.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/FileTime.h"
#include "platform/Ole.h"
#include "platform/WinTypes.h"
#include "platform/shell/ItemIdList.h"

namespace itemid {

// Bytes before the name.
inline constexpr std::size_t kHeaderSize = 40;
// cb = length(Name) + length(StoredPath) + kSizeOverhead.
inline constexpr std::size_t kSizeOverhead = 44;
// Longest Name or StoredPath an identifier holds; longer texts are refused when building.
inline constexpr std::size_t kMaxTextLength = 8000;
inline constexpr WORD kDirectoryAttribute = 0x10;

}  // namespace itemid

// The checked fields of one identifier. The texts point into the identifier they were read
// from and live as long as it does.
struct ContainerItem {
  DWORD folderId = 0;
  DWORD secondId = 0;
  DWORD size = 0;
  DWORD dateWord = 0;
  DWORD timeWord = 0;
  WORD attributes = 0;
  DWORD cutMark = 0;
  DWORD version = 0;
  std::string_view name;
  std::string_view storedPath;  // empty when the identifier has none
  bool hasStoredPath = false;

  [[nodiscard]] bool IsFolder() const { return (attributes & itemid::kDirectoryAttribute) != 0; }
  [[nodiscard]] DWORD FileId() const { return secondId; }
  [[nodiscard]] DWORD ParentId() const { return secondId; }
};

// The fields of an identifier to build.
struct ContainerItemFields {
  DWORD folderId = 0;
  DWORD secondId = 0;
  DWORD size = 0;
  DWORD dateWord = 0;
  DWORD timeWord = 0;
  WORD attributes = 0;
  DWORD version = 0;
  std::string name;
  std::string storedPath;  // empty: none
};

class ContainerItemId {
 public:
  // The parser: checks the identifier at `bytes`, of which `available` bytes may be read, and
  // fills *item. E_INVALIDARG for anything the top of this file refuses (and for null).
  [[nodiscard]] static HRESULT Parse(const void* bytes, std::size_t available,
                                     ContainerItem* item) noexcept;
  // The first identifier of `list`, bounded by its own size.
  [[nodiscard]] static HRESULT ReadFirst(LPCITEMIDLIST list, ContainerItem* item) noexcept;
  // The last identifier of `list`: every identifier on the way must parse; an empty list is
  // refused.
  [[nodiscard]] static HRESULT ReadLast(LPCITEMIDLIST list, ContainerItem* item) noexcept;
  // Checks every identifier of `list` (at least one); *count receives how many there are.
  [[nodiscard]] static HRESULT CheckList(LPCITEMIDLIST list, UINT* count) noexcept;

  // A new one-identifier list (shell allocator) with CutMark 0; null when a text is empty,
  // not one path component, longer than kMaxTextLength, a folder has FolderId 0, or memory
  // runs out.
  [[nodiscard]] static LPITEMIDLIST Create(const ContainerItemFields& fields) noexcept;

  // Identifiers of the rows of a listing (QVDatabase::GetFiles / GetSubFolders), in the
  // store's order, each handed to `add` (which takes ownership). The empty-folder marker and
  // rows whose names cannot be an identifier are skipped. False when `rows` is not a listing.
  template <class Add>
  static bool FromFileRows(VARIANT& rows, DWORD version, Add&& add);
  template <class Add>
  static bool FromFolderRows(VARIANT& rows, DWORD version, Add&& add);
  [[nodiscard]] static bool FileFieldsOfRow(VARIANT& rows, LONG row, DWORD version,
                                            ContainerItemFields* fields);
  [[nodiscard]] static bool FolderFieldsOfRow(VARIANT& rows, LONG row, DWORD version,
                                              ContainerItemFields* fields);
  [[nodiscard]] static LONG RowCount(VARIANT& rows) noexcept;
  // Cell [column, row] of a listing as a whole number or as text; false when it is not one.
  [[nodiscard]] static bool IntCell(VARIANT& rows, LONG column, LONG row, DWORD* value) noexcept;
  [[nodiscard]] static bool TextCell(VARIANT& rows, LONG column, LONG row, std::string* value);

  // The name shown for a stored FILE_NAME: without a final ".qvf" (exact case).
  [[nodiscard]] static std::string DisplayNameOfStoredFile(std::string_view storedName);

  // The identifier of `item` after a rename to `newName`: the same ids, size, dates and
  // attributes; a folder's stored path becomes its old parent's path plus the new name, as
  // the store now holds it. Null when the new name is not one valid component.
  [[nodiscard]] static LPITEMIDLIST Renamed(const ContainerItem& item,
                                            std::string_view newName) noexcept;

  // True when `name` can be one component of a path inside a container: not empty, not "."
  // or "..", no "\" or "/", no control character.
  [[nodiscard]] static bool IsValidName(std::string_view name) noexcept;

  // The item's last-write time in UTC by its own version (see Dates above). False when the
  // item has no date or the pair does not convert.
  [[nodiscard]] static bool LastWriteTimeUtc(const ContainerItem& item, FILETIME* utc) noexcept;

  // -1, 0 or 1: the order of two items on `column` (1 size, 3 date, anything else name in the
  // user's collation, lstrcmpiA; ties and equal values go on to the name), then kind (folders
  // first) and ids, so two different items never compare equal.
  [[nodiscard]] static int Compare(const ContainerItem& a, const ContainerItem& b,
                                   UINT column) noexcept;

  // Sets or clears the cut mark of the identifier in place (it must have passed Parse).
  static void SetCutMark(LPITEMIDLIST id, bool cut) noexcept;
};

template <class Add>
bool ContainerItemId::FromFileRows(VARIANT& rows, DWORD version, Add&& add) {
  const LONG count = RowCount(rows);
  if (count < 0) return false;
  for (LONG row = 0; row < count; ++row) {
    ContainerItemFields fields;
    if (!FileFieldsOfRow(rows, row, version, &fields)) continue;
    if (LPITEMIDLIST id = Create(fields)) add(id);
  }
  return true;
}

template <class Add>
bool ContainerItemId::FromFolderRows(VARIANT& rows, DWORD version, Add&& add) {
  const LONG count = RowCount(rows);
  if (count < 0) return false;
  for (LONG row = 0; row < count; ++row) {
    ContainerItemFields fields;
    if (!FolderFieldsOfRow(rows, row, version, &fields)) continue;
    if (LPITEMIDLIST id = Create(fields)) add(id);
  }
  return true;
}
