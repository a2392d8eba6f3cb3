// HGLOBAL: global memory blocks, as exchanged through data objects and the clipboard.
//
// A GMEM_FIXED block's handle is its address, as on Windows; a GMEM_MOVEABLE block's handle is
// an opaque value that only GlobalLock turns into an address. Every live handle is kept in a
// table, so a freed or bogus handle fails with ERROR_INVALID_HANDLE instead of touching
// memory. Differences from Windows: every block is zero-filled (GMEM_ZEROINIT is always in
// effect, also for the bytes a GlobalReAlloc adds); a 0-byte block can still be locked; both
// kinds count locks; a block is never moved while it is locked, and a fixed block only when
// GlobalReAlloc is given GMEM_MOVEABLE (otherwise a GlobalReAlloc that would have to move it
// fails with ERROR_NOT_ENOUGH_MEMORY); GMEM_MODIFY is not supported (ERROR_INVALID_PARAMETER).
#pragma once

#include "platform/WinTypes.h"

// The status of GlobalUnlock on a block that is not locked.
inline constexpr LSTATUS ERROR_NOT_LOCKED = 158;

using HGLOBAL = HANDLE;

inline constexpr UINT GMEM_FIXED = 0x0000;
inline constexpr UINT GMEM_MOVEABLE = 0x0002;
inline constexpr UINT GMEM_NOCOMPACT = 0x0010;
inline constexpr UINT GMEM_NODISCARD = 0x0020;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;
inline constexpr UINT GMEM_MODIFY = 0x0080;
inline constexpr UINT GMEM_DISCARDABLE = 0x0100;
inline constexpr UINT GMEM_SHARE = 0x2000;
inline constexpr UINT GMEM_DDESHARE = 0x2000;
inline constexpr UINT GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;
inline constexpr UINT GPTR = GMEM_FIXED | GMEM_ZEROINIT;

// Null on failure (ERROR_NOT_ENOUGH_MEMORY, or ERROR_INVALID_PARAMETER for unknown flags).
[[nodiscard]] QV_API HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) noexcept;
// Address of the block, lock count + 1. Null with ERROR_INVALID_HANDLE for a bad handle.
[[nodiscard]] QV_API LPVOID GlobalLock(HGLOBAL hMem) noexcept;
// Lock count - 1. TRUE while still locked; FALSE with last error 0 when the count reached 0,
// ERROR_NOT_LOCKED when it was 0 already, ERROR_INVALID_HANDLE for a bad handle.
QV_API BOOL GlobalUnlock(HGLOBAL hMem) noexcept;
// Bytes in the block; 0 with ERROR_INVALID_HANDLE for a bad handle.
QV_API SIZE_T GlobalSize(HGLOBAL hMem) noexcept;
// Null on success (also for a null handle); hMem with ERROR_INVALID_HANDLE for a bad handle.
// A locked block is freed too, as on Windows.
QV_API HGLOBAL GlobalFree(HGLOBAL hMem) noexcept;
// New size; the handle returned is hMem except for a fixed block moved under GMEM_MOVEABLE.
// Null on failure, the block unchanged.
[[nodiscard]] QV_API HGLOBAL GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags) noexcept;
