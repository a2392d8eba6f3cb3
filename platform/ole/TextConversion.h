// Conversion between narrow and wide text (MultiByteToWideChar, WideCharToMultiByte) and the
// C++ forms used at COM boundaries, BSTRs included. This system's "ANSI" code page is UTF-8:
// CP_ACP, CP_OEMCP, CP_THREAD_ACP and CP_UTF8 all convert between UTF-8 and UTF-16; any other
// code page is refused with ERROR_INVALID_PARAMETER.
//
// As on Windows: a source length of -1 means NUL-terminated and the NUL is converted and
// counted; a destination size of 0 asks for the size needed; a too small destination gives 0
// with ERROR_INSUFFICIENT_BUFFER. Ill-formed input (invalid UTF-8 sequences, each maximal
// invalid subpart; unpaired surrogates) becomes U+FFFD unless MB_ERR_INVALID_CHARS /
// WC_ERR_INVALID_CHARS is given, which makes it fail with ERROR_NO_UNICODE_TRANSLATION. Input
// is never read past the given length.
#pragma once

#include <climits>
#include <string>
#include <string_view>

#include "platform/WinTypes.h"
#include "platform/ole/Bstr.h"

// Win32 status codes that only these functions report.
inline constexpr LSTATUS ERROR_INVALID_FLAGS = 1004;
inline constexpr LSTATUS ERROR_NO_UNICODE_TRANSLATION = 1113;

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_OEMCP = 1;
inline constexpr UINT CP_THREAD_ACP = 3;
inline constexpr UINT CP_UTF8 = 65001;

inline constexpr DWORD MB_PRECOMPOSED = 0x01;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;
inline constexpr DWORD WC_COMPOSITECHECK = 0x200;
inline constexpr DWORD WC_DEFAULTCHAR = 0x40;
inline constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x400;
inline constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;

// dwFlags: MB_PRECOMPOSED (ignored, UTF-8 needs no composition) and MB_ERR_INVALID_CHARS;
// anything else ERROR_INVALID_FLAGS.
[[nodiscard]] QV_API int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                             int cbMultiByte, LPWSTR lpWideCharStr,
                                             int cchWideChar) noexcept;
// With CP_UTF8, lpDefaultChar and lpUsedDefaultChar must be null (ERROR_INVALID_PARAMETER) as
// on Windows. With the other (UTF-8) code pages they are accepted: lpDefaultChar is ignored
// (U+FFFD is the replacement) and *lpUsedDefaultChar tells whether a replacement was made.
// The WC_ flags above are accepted; only WC_ERR_INVALID_CHARS changes anything.
[[nodiscard]] QV_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                             int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                             LPCSTR lpDefaultChar,
                                             BOOL* lpUsedDefaultChar) noexcept;

// Convenience forms for C++ callers (ill-formed input replaced by U+FFFD). Empty on failure.
inline std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return out;
  const int n = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), n, nullptr, 0);
  if (needed <= 0) return out;
  out.resize(static_cast<size_t>(needed));
  if (MultiByteToWideChar(CP_UTF8, 0, text.data(), n, out.data(), needed) != needed) out.clear();
  return out;
}
inline std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return out;
  const int n = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), n, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return out;
  out.resize(static_cast<size_t>(needed));
  if (WideCharToMultiByte(CP_UTF8, 0, text.data(), n, out.data(), needed, nullptr, nullptr) !=
      needed)
    out.clear();
  return out;
}
// A new BSTR holding text converted from UTF-8; null when out of memory or too long.
[[nodiscard]] inline BSTR SysAllocStringFromUtf8(std::string_view text) noexcept {
  if (text.size() > static_cast<size_t>(INT_MAX)) return nullptr;
  const int n = static_cast<int>(text.size());
  const int needed = n == 0 ? 0 : MultiByteToWideChar(CP_UTF8, 0, text.data(), n, nullptr, 0);
  if (n != 0 && needed == 0) return nullptr;
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(needed));
  if (result != nullptr && needed != 0 &&
      MultiByteToWideChar(CP_UTF8, 0, text.data(), n, result, needed) != needed) {
    SysFreeString(result);
    return nullptr;
  }
  return result;
}
inline std::string Utf8FromBstr(BSTR text) {
  return Utf16ToUtf8(std::u16string_view(text == nullptr ? u"" : text, SysStringLen(text)));
}
