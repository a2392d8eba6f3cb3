// CRegKey: open, typed reads and writes, close.
#include "util/RegKey.h"

#include <cstring>

CRegKey::~CRegKey() { Close(); }

LSTATUS CRegKey::Replace(HKEY hKey, REGSAM samDesired) noexcept {
  const LSTATUS closed = Close();
  m_hKey = hKey;
  m_samWOW64 = samDesired & KEY_WOW64_RES;
  return closed;
}

LSTATUS CRegKey::Open(HKEY hKeyParent, LPCSTR lpszKeyName, REGSAM samDesired) noexcept {
  if (m_hTransaction != nullptr) return ERROR_NOT_SUPPORTED;
  HKEY hKey = nullptr;
  const LSTATUS status = RegOpenKeyExA(hKeyParent, lpszKeyName, 0, samDesired, &hKey);
  if (status != ERROR_SUCCESS) return status;
  return Replace(hKey, samDesired);
}

LSTATUS CRegKey::Create(HKEY hKeyParent, LPCSTR lpszKeyName, REGSAM samDesired,
                        LPDWORD lpdwDisposition) noexcept {
  if (m_hTransaction != nullptr) return ERROR_NOT_SUPPORTED;
  HKEY hKey = nullptr;
  const LSTATUS status =
      RegCreateKeyExA(hKeyParent, lpszKeyName, 0, nullptr, REG_OPTION_NON_VOLATILE, samDesired,
                      nullptr, &hKey, lpdwDisposition);
  if (status != ERROR_SUCCESS) return status;
  return Replace(hKey, samDesired);
}

LSTATUS CRegKey::Close() noexcept {
  LSTATUS status = ERROR_SUCCESS;
  if (m_hKey != nullptr) {
    status = RegCloseKey(m_hKey);
    m_hKey = nullptr;
  }
  m_samWOW64 = 0;
  return status;
}

LSTATUS CRegKey::QueryDWORDValue(LPCSTR pszValueName, DWORD& dwValue) const noexcept {
  DWORD type = REG_NONE;
  DWORD value = 0;
  DWORD size = sizeof value;
  const LSTATUS status = RegQueryValueExA(m_hKey, pszValueName, nullptr, &type,
                                          reinterpret_cast<LPBYTE>(&value), &size);
  // A value longer than 4 bytes does not fit: that is the wrong size, not a buffer problem.
  if (status == ERROR_MORE_DATA) return ERROR_INVALID_DATA;
  if (status != ERROR_SUCCESS) return status;
  if (type != REG_DWORD || size != sizeof value) return ERROR_INVALID_DATA;
  dwValue = value;
  return ERROR_SUCCESS;
}

LSTATUS CRegKey::QueryStringValue(LPCSTR pszValueName, LPSTR pszValue,
                                  ULONG* pnChars) const noexcept {
  if (pnChars == nullptr) return ERROR_INVALID_PARAMETER;
  const ULONG capacity = *pnChars;
  *pnChars = 0;
  DWORD size = capacity;
  DWORD type = REG_NONE;
  const LSTATUS status = RegQueryValueExA(m_hKey, pszValueName, nullptr, &type,
                                          reinterpret_cast<LPBYTE>(pszValue), &size);
  if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return status;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  if (status == ERROR_MORE_DATA) {
    *pnChars = size;
    return status;
  }
  if (pszValue != nullptr) {
    if (size == 0) {
      // A value stored with no bytes at all reads as the empty string; its NUL needs room.
      if (capacity == 0) {
        *pnChars = 1;
        return ERROR_MORE_DATA;
      }
      pszValue[0] = '\0';
    } else if (pszValue[size - 1] != '\0') {
      return ERROR_INVALID_DATA;
    }
  }
  *pnChars = size;
  return ERROR_SUCCESS;
}

LSTATUS CRegKey::SetDWORDValue(LPCSTR pszValueName, DWORD dwValue) const noexcept {
  return RegSetValueExA(m_hKey, pszValueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                        sizeof dwValue);
}

LSTATUS CRegKey::SetStringValue(LPCSTR pszValueName, LPCSTR pszValue, DWORD dwType) const noexcept {
  if (pszValue == nullptr || (dwType != REG_SZ && dwType != REG_EXPAND_SZ))
    return ERROR_INVALID_PARAMETER;
  const size_t bytes = std::strlen(pszValue) + 1;
  if (bytes > kRegMaxValueDataSize) return ERROR_INVALID_PARAMETER;
  return RegSetValueExA(m_hKey, pszValueName, 0, dwType, reinterpret_cast<const BYTE*>(pszValue),
                        static_cast<DWORD>(bytes));
}

LSTATUS CRegKey::DeleteValue(LPCSTR pszValueName) const noexcept {
  return RegDeleteValueA(m_hKey, pszValueName);
}

LSTATUS CRegKey::RecurseDeleteKey(LPCSTR lpszKey) const noexcept {
  if (lpszKey == nullptr || *lpszKey == '\0') return ERROR_INVALID_PARAMETER;
  return RegDeleteTreeA(m_hKey, lpszKey);
}
