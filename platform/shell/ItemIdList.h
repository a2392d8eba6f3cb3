// Item identifier lists: SHITEMID, ITEMIDLIST and the IL* functions that walk, combine, copy
// and free them, plus the file-system identifiers through which a host names a path.
//
// A list is a run of identifiers, each starting with its own 16-bit size `cb` (the two size
// bytes included), ended by a 2-byte zero. Identifiers are opaque outside the folder that made
// them; these functions only look at sizes. Lists come from another party, so every walk here
// stops at a size below 2 (the terminator, or a damaged identifier); the *Bounded forms also
// stop at the end of the bytes the caller says it has. New lists come from the shell allocator
// (CoTaskMemAlloc) and are freed with ILFree.
//
// File-system identifiers (ILCreateFromPathA) hold one path component each behind a mark of
// their own, so SHGetPathFromIDListA can tell them from a namespace folder's identifiers and
// turn the leading file-system part of a list back into a path.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Com.h"
#include "platform/WinTypes.h"

struct SHITEMID {
  USHORT cb;
  BYTE abID[1];
};

struct ITEMIDLIST {
  SHITEMID mkid;
};

using LPITEMIDLIST = ITEMIDLIST*;
using LPCITEMIDLIST = const ITEMIDLIST*;
using PIDLIST_ABSOLUTE = ITEMIDLIST*;
using PCIDLIST_ABSOLUTE = const ITEMIDLIST*;
using PIDLIST_RELATIVE = ITEMIDLIST*;
using PCUIDLIST_RELATIVE = const ITEMIDLIST*;
using PITEMID_CHILD = ITEMIDLIST*;
using PCUITEMID_CHILD = const ITEMIDLIST*;
using PCUITEMID_CHILD_ARRAY = const PCUITEMID_CHILD*;

// Bytes of the size field of an identifier and of the list terminator.
inline constexpr std::size_t kItemIdSizeBytes = 2;

// The size of the identifier at `pidl` (0 for the terminator or a null list). Reads two bytes.
[[nodiscard]] QV_API USHORT ILItemSize(LPCITEMIDLIST pidl) noexcept;

// True for a null list or one that starts with its terminator (or with a size below 2, which
// no identifier can have).
[[nodiscard]] QV_API bool ILIsEmpty(LPCITEMIDLIST pidl) noexcept;

// Bytes of the whole list, identifiers plus the 2-byte terminator; 0 for a null list. A size
// of 1 ends the walk as the terminator does (it is not counted as an identifier).
[[nodiscard]] QV_API UINT ILGetSize(LPCITEMIDLIST pidl) noexcept;

// The same for a list held in `available` bytes: 0 when the list runs past them (an
// identifier or the terminator not wholly inside).
[[nodiscard]] QV_API UINT ILGetSizeBounded(LPCITEMIDLIST pidl, std::size_t available) noexcept;

// The identifier after the first one; null for a null or empty list. The result may be the
// terminator.
[[nodiscard]] QV_API LPITEMIDLIST ILGetNext(LPCITEMIDLIST pidl) noexcept;

// The last identifier with a size of 2 or more; null for a null or empty list.
[[nodiscard]] QV_API LPITEMIDLIST ILFindLastID(LPCITEMIDLIST pidl) noexcept;

// Number of identifiers in the list.
[[nodiscard]] QV_API UINT ILCount(LPCITEMIDLIST pidl) noexcept;

// A new list with the same bytes (identifiers and terminator); null for a null list or when
// memory runs out.
[[nodiscard]] QV_API LPITEMIDLIST ILClone(LPCITEMIDLIST pidl) noexcept;
// A new one-identifier list holding the first identifier; null for a null or empty list.
[[nodiscard]] QV_API LPITEMIDLIST ILCloneFirst(LPCITEMIDLIST pidl) noexcept;

// A new list: the first list without its terminator, then the whole second list. A null first
// list gives a copy of the second, a null second list a copy of the first: the result is
// always new (callers free it and both arguments separately). Null when both are null, when
// the result would not fit an identifier list's sizes, or when memory runs out.
[[nodiscard]] QV_API LPITEMIDLIST ILCombine(LPCITEMIDLIST first, LPCITEMIDLIST second) noexcept;

// True when both lists hold the same bytes (both null counts as equal).
[[nodiscard]] QV_API bool ILIsEqual(LPCITEMIDLIST a, LPCITEMIDLIST b) noexcept;

// Frees a list from the shell allocator; null is ignored.
QV_API void ILFree(LPITEMIDLIST pidl) noexcept;

// A new list of file-system identifiers naming the absolute path `path` (one identifier per
// component; "/" is the empty list). Null for a relative or empty path, a component too long
// for an identifier, or when memory runs out.
[[nodiscard]] QV_API LPITEMIDLIST ILCreateFromPathA(LPCSTR path) noexcept;

// The path named by the leading file-system identifiers of `pidl` into `path` (a buffer of
// MAX_PATH bytes, as on Windows). FALSE when the list starts with no file-system identifier
// and is not empty, when an identifier is damaged, or when the path does not fit.
[[nodiscard]] QV_API BOOL SHGetPathFromIDListA(LPCITEMIDLIST pidl, LPSTR path) noexcept;
// The same without the MAX_PATH limit: the path, or empty on failure.
[[nodiscard]] QV_API std::string QvPathFromIDList(LPCITEMIDLIST pidl);

// How many leading identifiers of `pidl` are file-system identifiers.
[[nodiscard]] QV_API UINT QvFileSystemIdCount(LPCITEMIDLIST pidl) noexcept;
