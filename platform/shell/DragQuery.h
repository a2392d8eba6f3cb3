// CF_HDROP: the list of dropped or selected paths a file manager hands to a handler, a
// DROPFILES header followed by NUL-terminated names and one more NUL, narrow or (fWide) wide.
//
// The block comes from another party, so every read is bounded by the block's size: the
// list starts at pFiles, which must lie inside the block and after the header; a name is only
// a name when its terminator lies inside the block; the list ends at the empty name or at the
// end of the block, whichever comes first (an unterminated last name is not counted).
//
// Differences from Windows, where Linux has to choose: narrow text is UTF-8; DragQueryFileA on
// a narrow list hands the bytes out as they are (a Linux path need not be valid text), while a
// conversion between the wide and the narrow form refuses a name that is not valid text (0,
// ERROR_NO_UNICODE_TRANSLATION) rather than change it into another name. A buffer too small
// gets the start of the name, cut between whole characters, as on Windows: callers that must
// not use a cut name ask for the length first.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/ole/DataObject.h"

struct POINT {
  LONG x;
  LONG y;
};

struct DROPFILES {
  DWORD pFiles;  // offset of the name list from the start of the block
  POINT pt;
  BOOL fNC;
  BOOL fWide;
};
static_assert(sizeof(DROPFILES) == 20, "the header is exchanged between processes");

using HDROP = HGLOBAL;

// DragQueryFile's index that asks for the number of names.
inline constexpr UINT kDragQueryCount = 0xFFFFFFFF;

// The names of a CF_HDROP block of `size` bytes: where each starts and how long it is, in
// units of the list's character size. False for a block without a valid header.
struct DropListEntry {
  std::size_t offset;  // in bytes from the start of the block
  std::size_t length;  // in characters (bytes when narrow, UTF-16 units when wide)
};
struct DropList {
  bool wide = false;
  std::vector<DropListEntry> names;
};
[[nodiscard]] QV_API bool ParseDropFiles(const BYTE* block, std::size_t size,
                                         DropList* list) noexcept;

// iFile kDragQueryCount: the number of names. Otherwise the length of name iFile in characters
// of the asked form without its terminator when `buffer` is null; else the name copied into
// `buffer` of `cch` characters (terminated; cut when it does not fit) and the number of
// characters copied. 0 for a bad handle or block, an index past the end, or a name that is not
// valid text in the asked form.
QV_API UINT DragQueryFileA(HDROP drop, UINT iFile, LPSTR buffer, UINT cch) noexcept;
QV_API UINT DragQueryFileW(HDROP drop, UINT iFile, LPWSTR buffer, UINT cch) noexcept;

// A CF_HDROP block (movable global memory) listing `paths` in order, in the wide form unless
// `wide` is false; the caller frees it. Null when out of memory, or when a path is empty or
// (for the wide form) not valid text.
[[nodiscard]] QV_API HGLOBAL CreateDropFiles(const std::vector<std::string>& paths,
                                             bool wide = true) noexcept;

// A data object offering CF_HDROP in global memory for `paths`, as a file manager hands its
// selection to a context-menu handler: each GetData returns a new block the caller releases.
// E_INVALIDARG for a path CreateDropFiles refuses.
[[nodiscard]] QV_API HRESULT CreateDropDataObject(const std::vector<std::string>& paths, bool wide,
                                                  IDataObject** out) noexcept;
