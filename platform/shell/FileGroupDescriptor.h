// The file group descriptor: how virtual files are listed between a source and a receiver
// (the "FileGroupDescriptor" and "FileGroupDescriptorW" formats), a u32 count followed by one
// fixed-size record per file. The records leave the process, so their layout is exact:
// 332 bytes narrow, 592 bytes wide, fields at the offsets asserted below.
//
// A block from another party is read only through ParseFileGroupDescriptor, which bounds every
// read by the block: the count must fit the bytes that follow, each name must end inside its
// field, and a wide name must be valid UTF-16. Names are handed out as UTF-8 exactly as sent
// (separators included): what a name may mean on disk is the receiver's decision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileTime.h"
#include "platform/ole/DataObject.h"

struct SIZEL {
  LONG cx;
  LONG cy;
};
struct POINTL {
  LONG x;
  LONG y;
};

inline constexpr std::size_t kDescriptorNameChars = 260;  // the name field, terminator included

inline constexpr DWORD FD_CLSID = 0x00000001;
inline constexpr DWORD FD_SIZEPOINT = 0x00000002;
inline constexpr DWORD FD_ATTRIBUTES = 0x00000004;
inline constexpr DWORD FD_CREATETIME = 0x00000008;
inline constexpr DWORD FD_ACCESSTIME = 0x00000010;
inline constexpr DWORD FD_WRITESTIME = 0x00000020;
inline constexpr DWORD FD_FILESIZE = 0x00000040;
inline constexpr DWORD FD_PROGRESSUI = 0x00004000;
inline constexpr DWORD FD_LINKUI = 0x00008000;
inline constexpr DWORD FD_UNICODE = 0x80000000;

struct FILEDESCRIPTORA {
  DWORD dwFlags;
  CLSID clsid;
  SIZEL sizel;
  POINTL pointl;
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  CHAR cFileName[kDescriptorNameChars];
};
struct FILEDESCRIPTORW {
  DWORD dwFlags;
  CLSID clsid;
  SIZEL sizel;
  POINTL pointl;
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  WCHAR cFileName[kDescriptorNameChars];
};
struct FILEGROUPDESCRIPTORA {
  UINT cItems;
  FILEDESCRIPTORA fgd[1];
};
struct FILEGROUPDESCRIPTORW {
  UINT cItems;
  FILEDESCRIPTORW fgd[1];
};

static_assert(sizeof(FILEDESCRIPTORA) == 332 && sizeof(FILEDESCRIPTORW) == 592,
              "descriptors are exchanged between processes");
static_assert(offsetof(FILEDESCRIPTORA, clsid) == 4 && offsetof(FILEDESCRIPTORA, sizel) == 20 &&
              offsetof(FILEDESCRIPTORA, pointl) == 28 &&
              offsetof(FILEDESCRIPTORA, dwFileAttributes) == 36 &&
              offsetof(FILEDESCRIPTORA, ftCreationTime) == 40 &&
              offsetof(FILEDESCRIPTORA, ftLastAccessTime) == 48 &&
              offsetof(FILEDESCRIPTORA, ftLastWriteTime) == 56 &&
              offsetof(FILEDESCRIPTORA, nFileSizeHigh) == 64 &&
              offsetof(FILEDESCRIPTORA, nFileSizeLow) == 68 &&
              offsetof(FILEDESCRIPTORA, cFileName) == 72);
static_assert(offsetof(FILEDESCRIPTORW, ftLastWriteTime) == 56 &&
              offsetof(FILEDESCRIPTORW, nFileSizeLow) == 68 &&
              offsetof(FILEDESCRIPTORW, cFileName) == 72);
static_assert(offsetof(FILEGROUPDESCRIPTORA, fgd) == 4 && offsetof(FILEGROUPDESCRIPTORW, fgd) == 4);

// One file of a group, in the form both ends work with. `flags` tells which of the other
// fields are meaningful (FD_ATTRIBUTES, FD_WRITESTIME, FD_FILESIZE, ...).
struct FileGroupEntry {
  std::string name;  // UTF-8, as sent
  DWORD flags = 0;
  DWORD attributes = 0;
  FILETIME lastWriteTime{};
  std::uint64_t size = 0;
};

// Reads a group of `size` bytes in the narrow (wide false) or wide form into `entries`.
// False, with `entries` emptied, for a block shorter than the count, a count that does not fit
// the bytes, a name not terminated inside its field, or a wide name that is not valid UTF-16.
[[nodiscard]] QV_API bool ParseFileGroupDescriptor(const BYTE* block, std::size_t size, bool wide,
                                                   std::vector<FileGroupEntry>* entries) noexcept;
// The same over a global block, read under its lock and bounded by GlobalSize.
[[nodiscard]] QV_API bool ReadFileGroupDescriptor(HGLOBAL block, bool wide,
                                                  std::vector<FileGroupEntry>* entries) noexcept;

// A fixed global block holding `entries` in the narrow or wide form; the caller frees it. Null
// when out of memory or when a name is empty, not valid UTF-8, or does not fit its field with
// the terminator: a name is never cut, since a cut name is another file.
[[nodiscard]] QV_API HGLOBAL CreateFileGroupDescriptor(const std::vector<FileGroupEntry>& entries,
                                                       bool wide) noexcept;
