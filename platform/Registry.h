// The registry: the Win32 key and value calls the extension and its registration use, over
// one hive file kept under the machine root.
//
// Every change is written through to the hive file at once (under an exclusive lock, by an
// atomic replace), and every read looks at the current file, so other processes see each
// change as soon as the call returns. The file format and the locking rules are described in
// docs/registry-hive.md. Names of keys and values compare without regard to ASCII case and
// keep the case they were created with; "\" separates the keys of a path.
//
// Where Linux has no equivalent the mapping is:
//  - HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes (no per-user merge);
//  - HKEY_CURRENT_USER is HKEY_USERS\<the Linux user id in decimal>;
//  - there is one view: KEY_WOW64_32KEY and KEY_WOW64_64KEY are accepted and change nothing;
//  - there are no security descriptors or classes: those arguments are accepted and ignored;
//  - names count bytes of UTF-8 text where Windows counts characters.
// No call throws; each returns a Win32 status code.
#pragma once

#include <string>

#include "platform/WinTypes.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using ACCESS_MASK = DWORD;
using ULONG_PTR = std::uintptr_t;

// The predefined keys, with the same bit patterns as on Windows (sign-extended to a pointer).
#define QV_PREDEFINED_HKEY(v) \
  (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<std::intptr_t>(static_cast<LONG>(v)))))
#define HKEY_CLASSES_ROOT QV_PREDEFINED_HKEY(0x80000000u)
#define HKEY_CURRENT_USER QV_PREDEFINED_HKEY(0x80000001u)
#define HKEY_LOCAL_MACHINE QV_PREDEFINED_HKEY(0x80000002u)
#define HKEY_USERS QV_PREDEFINED_HKEY(0x80000003u)

// Access rights of a key handle.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_CREATE_LINK = 0x0020;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
inline constexpr REGSAM KEY_WOW64_RES = 0x0300;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_EXECUTE = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_DWORD_LITTLE_ENDIAN = 4;
inline constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
inline constexpr DWORD REG_LINK = 6;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

// RegCreateKeyExA options and dispositions. Only non-volatile keys exist here.
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Limits of names and data, in bytes. Longer names are refused with ERROR_INVALID_PARAMETER.
inline constexpr DWORD kRegMaxKeyNameLength = 255;
inline constexpr DWORD kRegMaxValueNameLength = 16383;
inline constexpr DWORD kRegMaxKeyDepth = 512;
inline constexpr DWORD kRegMaxValueDataSize = 16u * 1024u * 1024u;

// Opens an existing key. A null or empty lpSubKey opens a new handle to hKey's own key.
// *phkResult is null on failure. ulOptions is ignored.
[[nodiscard]] QV_API LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                           REGSAM samDesired, PHKEY phkResult) noexcept;

// Opens a key, creating it and every missing key above it. lpdwDisposition (optional)
// receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY. lpClass and
// lpSecurityAttributes (a SECURITY_ATTRIBUTES* on Windows) are ignored; dwOptions must be
// REG_OPTION_NON_VOLATILE.
[[nodiscard]] QV_API LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved,
                                             LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                                             const void* lpSecurityAttributes, PHKEY phkResult,
                                             LPDWORD lpdwDisposition) noexcept;

// Closes a handle; closing a predefined key succeeds and does nothing.
QV_API LSTATUS RegCloseKey(HKEY hKey) noexcept;

// Reads a value (a null or empty name is the key's default value). With lpData null the
// size goes to *lpcbData; when the buffer is too small the result is ERROR_MORE_DATA with the
// needed size in *lpcbData and the buffer untouched. Strings come back exactly as stored,
// which for well-formed strings includes the terminating NUL.
[[nodiscard]] QV_API LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                              LPDWORD lpType, LPBYTE lpData,
                                              LPDWORD lpcbData) noexcept;

// Stores cbData bytes under the name with the given type; string data should include its
// NUL (it is stored as given). Data over kRegMaxValueDataSize is refused.
[[nodiscard]] QV_API LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved,
                                            DWORD dwType, const BYTE* lpData,
                                            DWORD cbData) noexcept;

[[nodiscard]] QV_API LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) noexcept;

// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED when it has some, as on Windows).
[[nodiscard]] QV_API LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) noexcept;

// Deletes a key with everything below it; with a null or empty lpSubKey, deletes the values
// and subkeys of hKey's key and keeps the key.
[[nodiscard]] QV_API LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) noexcept;

// Enumerates subkeys in name order (case-insensitive). *lpcchName is the buffer size in
// characters including the NUL on entry and the name length without it on return;
// ERROR_MORE_DATA when the name does not fit, ERROR_NO_MORE_ITEMS past the last key. There
// are no key classes (an empty class is returned). lpftLastWriteTime (a FILETIME* on
// Windows) receives the time of the last change to the hive as a whole.
[[nodiscard]] QV_API LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName,
                                           LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                                           LPDWORD lpcchClass, void* lpftLastWriteTime) noexcept;

// Enumerates values in the order they were first set. Name sizes as for RegEnumKeyExA, data
// sizes as for RegQueryValueExA.
[[nodiscard]] QV_API LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                           LPDWORD lpcchValueName, LPDWORD lpReserved,
                                           LPDWORD lpType, LPBYTE lpData,
                                           LPDWORD lpcbData) noexcept;

// The hive file of the current machine root (for tools, tests and messages); empty when the
// machine root cannot be used.
QV_API std::string QvRegistryHivePath() noexcept;
