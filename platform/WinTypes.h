// Basic Windows scalar types, truth values and Win32 status codes.
//
// Product code is written against the Windows names so that it reads like the shell
// extension it is; this header gives those names their Windows sizes on Linux. Wide text
// is UTF-16 (char16_t), narrow text is UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using INT = std::int32_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using BOOL = std::int32_t;
using BOOLEAN = std::uint8_t;
using CHAR = char;
using WCHAR = char16_t;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;
using SIZE_T = std::size_t;
using LANGID = std::uint16_t;
using LCID = std::uint32_t;
using HANDLE = void*;
// A loaded module (library or program), as GetModuleHandleA returns it.
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
// A window (a dialog, a control or a per-user message window).
struct HWND__;
using HWND = HWND__*;
using LRESULT = std::intptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using HRESULT = std::int32_t;
using LSTATUS = std::int32_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// 16-bit truth value of the container interface and OLE (VARIANT_BOOL).
using VARIANT_BOOL = std::int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// A 64-bit value from the two 32-bit halves Windows records keep it in (sizes, times).
inline constexpr std::uint64_t MakeUInt64(DWORD high, DWORD low) {
  return (std::uint64_t{high} << 32) | low;
}

inline constexpr DWORD MAX_PATH = 260;
inline constexpr DWORD INFINITE = 0xFFFFFFFF;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

// Win32 status codes (the subset the system uses).
inline constexpr LSTATUS ERROR_SUCCESS = 0;
inline constexpr LSTATUS ERROR_INVALID_FUNCTION = 1;
inline constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
inline constexpr LSTATUS ERROR_PATH_NOT_FOUND = 3;
inline constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
inline constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
inline constexpr LSTATUS ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LSTATUS ERROR_INVALID_DATA = 13;
inline constexpr LSTATUS ERROR_OUTOFMEMORY = 14;
inline constexpr LSTATUS ERROR_NO_MORE_FILES = 18;
inline constexpr LSTATUS ERROR_WRITE_FAULT = 29;
inline constexpr LSTATUS ERROR_READ_FAULT = 30;
inline constexpr LSTATUS ERROR_NOT_SAME_DEVICE = 17;
inline constexpr LSTATUS ERROR_SHARING_VIOLATION = 32;
inline constexpr LSTATUS ERROR_NOT_SUPPORTED = 50;
inline constexpr LSTATUS ERROR_FILE_EXISTS = 80;
inline constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
inline constexpr LSTATUS ERROR_BUFFER_OVERFLOW = 111;
inline constexpr LSTATUS ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr LSTATUS ERROR_INVALID_NAME = 123;
inline constexpr LSTATUS ERROR_MOD_NOT_FOUND = 126;
inline constexpr LSTATUS ERROR_DIR_NOT_EMPTY = 145;
inline constexpr LSTATUS ERROR_BAD_PATHNAME = 161;
inline constexpr LSTATUS ERROR_ALREADY_EXISTS = 183;
inline constexpr LSTATUS ERROR_DIRECTORY = 267;
inline constexpr LSTATUS ERROR_NOT_OWNER = 288;
inline constexpr LSTATUS ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr LSTATUS ERROR_MORE_DATA = 234;
inline constexpr LSTATUS ERROR_NO_MORE_ITEMS = 259;
inline constexpr LSTATUS ERROR_BADDB = 1009;
inline constexpr LSTATUS ERROR_BADKEY = 1010;
inline constexpr LSTATUS ERROR_CANTOPEN = 1011;
inline constexpr LSTATUS ERROR_CANTREAD = 1012;
inline constexpr LSTATUS ERROR_CANTWRITE = 1013;
inline constexpr LSTATUS ERROR_KEY_DELETED = 1018;
inline constexpr LSTATUS ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr LSTATUS ERROR_TIMEOUT = 1460;
inline constexpr LSTATUS ERROR_NOT_ENOUGH_QUOTA = 1816;
inline constexpr LSTATUS ERROR_SEM_TIMEOUT = 121;

inline constexpr LANGID MAKELANGID(WORD primary, WORD sub) {
  return static_cast<LANGID>((sub << 10) | primary);
}
inline constexpr WORD PRIMARYLANGID(LANGID lang) { return lang & 0x3ff; }
inline constexpr WORD SUBLANGID(LANGID lang) { return lang >> 10; }
inline constexpr LCID MAKELCID(LANGID lang, WORD sort) {
  return (static_cast<LCID>(sort) << 16) | lang;
}
inline constexpr LANGID LANGIDFROMLCID(LCID lcid) { return static_cast<LANGID>(lcid & 0xffff); }
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;

inline constexpr WORD LOWORD(std::uintptr_t v) { return static_cast<WORD>(v & 0xffff); }
inline constexpr WORD HIWORD(std::uintptr_t v) { return static_cast<WORD>((v >> 16) & 0xffff); }

// Functions the platform layer exports carry this mark; everything else stays hidden.
#define QV_API __attribute__((visibility("default")))
