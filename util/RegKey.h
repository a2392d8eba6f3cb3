// CRegKey: owns one open registry key and closes it when it goes away.
//
// It is the registry reader of the settings code: open a key, read a typed value, and let
// the destructor close it. The readers check the stored type and size themselves, so a value
// written with the wrong type fails with ERROR_INVALID_DATA and the caller keeps its default.
// Every operation returns a Win32 status code (0 = success).
#pragma once

#include "platform/Registry.h"
#include "platform/WinTypes.h"

class CRegKey {
 public:
  CRegKey() noexcept = default;
  ~CRegKey();
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;

  // Opens hKeyParent\lpszKeyName. Only on success is a key held before closed and replaced;
  // on failure the object keeps what it had.
  [[nodiscard]] LSTATUS Open(HKEY hKeyParent, LPCSTR lpszKeyName,
                             REGSAM samDesired = KEY_READ) noexcept;
  // Opens or creates hKeyParent\lpszKeyName, with the same replacement rule as Open.
  [[nodiscard]] LSTATUS Create(HKEY hKeyParent, LPCSTR lpszKeyName,
                               REGSAM samDesired = KEY_READ | KEY_WRITE,
                               LPDWORD lpdwDisposition = nullptr) noexcept;
  // Closes the key if one is open (success when none is) and forgets the view bits.
  LSTATUS Close() noexcept;

  // Reads a REG_DWORD of exactly 4 bytes; any other type or size fails with
  // ERROR_INVALID_DATA. dwValue changes only on success.
  [[nodiscard]] LSTATUS QueryDWORDValue(LPCSTR pszValueName, DWORD& dwValue) const noexcept;
  // Reads a REG_SZ or REG_EXPAND_SZ into pszValue, whose size in characters is *pnChars.
  // *pnChars is 0 while reading and afterwards the stored length including the NUL (also
  // with ERROR_MORE_DATA, when the buffer is too small and left untouched; 0 for a value
  // stored with no bytes, which reads as the empty string). A stored string that does not
  // end with a NUL fails with ERROR_INVALID_DATA. With pszValue null only the length is
  // returned. Nothing is written past the *pnChars characters given.
  [[nodiscard]] LSTATUS QueryStringValue(LPCSTR pszValueName, LPSTR pszValue,
                                         ULONG* pnChars) const noexcept;

  [[nodiscard]] LSTATUS SetDWORDValue(LPCSTR pszValueName, DWORD dwValue) const noexcept;
  // Stores the string with its NUL; dwType is REG_SZ or REG_EXPAND_SZ.
  [[nodiscard]] LSTATUS SetStringValue(LPCSTR pszValueName, LPCSTR pszValue,
                                       DWORD dwType = REG_SZ) const noexcept;
  [[nodiscard]] LSTATUS DeleteValue(LPCSTR pszValueName) const noexcept;
  // Deletes a subkey with everything below it.
  [[nodiscard]] LSTATUS RecurseDeleteKey(LPCSTR lpszKey) const noexcept;

  HKEY Key() const noexcept { return m_hKey; }
  // The 64-bit/32-bit view bits (KEY_WOW64_RES) the key was opened with.
  REGSAM ViewBits() const noexcept { return m_samWOW64; }

 private:
  LSTATUS Replace(HKEY hKey, REGSAM samDesired) noexcept;

  HKEY m_hKey = nullptr;
  REGSAM m_samWOW64 = 0;
  // A transaction for opening through the transacted call. Nothing sets one, and the
  // platform offers no transacted open: with one set, Open fails with ERROR_NOT_SUPPORTED.
  HANDLE m_hTransaction = nullptr;
};
