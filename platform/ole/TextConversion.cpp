// UTF-8 / UTF-16 conversion with the Windows contract: failures report 0 and the thread's last
// error.
#include "platform/ole/TextConversion.h"

#include <cstring>
#include <string>

#include "platform/LastError.h"

namespace {

bool IsUtf8CodePage(UINT codePage) {
  return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP ||
         codePage == CP_UTF8;
}

// Decodes n bytes of UTF-8, writing the first `capacity` UTF-16 units to out, and returns the
// number of units the whole input needs. Each maximal ill-formed subpart becomes U+FFFD.
size_t DecodeUtf8(const unsigned char* s, size_t n, char16_t* out, size_t capacity, bool& invalid) {
  size_t count = 0;
  auto put = [&](char32_t unit) {
    if (count < capacity) out[count] = static_cast<char16_t>(unit);
    ++count;
  };
  size_t i = 0;
  while (i < n) {
    const unsigned lead = s[i];
    if (lead < 0x80) {
      put(lead);
      ++i;
      continue;
    }
    int trail = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      invalid = true;
      put(0xFFFD);
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool complete = true;
    for (int k = 0; k < trail; ++k, ++j) {
      if (j >= n) {
        complete = false;
        break;
      }
      const unsigned b = s[j];
      if (b < (k == 0 ? low : 0x80u) || b > (k == 0 ? high : 0xBFu)) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    i = j;
    if (!complete) {
      invalid = true;
      put(0xFFFD);
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return count;
}

// Encodes n UTF-16 units as UTF-8 like DecodeUtf8; an unpaired surrogate becomes U+FFFD.
size_t EncodeUtf8(const char16_t* s, size_t n, char* out, size_t capacity, bool& invalid) {
  size_t count = 0;
  auto put = [&](char32_t byte) {
    if (count < capacity) out[count] = static_cast<char>(static_cast<unsigned char>(byte));
    ++count;
  };
  for (size_t i = 0; i < n; ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      invalid = true;
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      put(cp);
    } else if (cp < 0x800) {
      put(0xC0 | (cp >> 6));
      put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      put(0xE0 | (cp >> 12));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    } else {
      put(0xF0 | (cp >> 18));
      put(0x80 | ((cp >> 12) & 0x3F));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    }
  }
  return count;
}

int FailWith(LSTATUS error) {
  SetLastError(static_cast<DWORD>(error));
  return 0;
}

}  // namespace

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) noexcept {
  if (!IsUtf8CodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
      cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr))
    return FailWith(ERROR_INVALID_PARAMETER);
  const DWORD allowed =
      CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : (MB_PRECOMPOSED | MB_ERR_INVALID_CHARS);
  if ((dwFlags & ~allowed) != 0) return FailWith(ERROR_INVALID_FLAGS);
  const size_t length =
      cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  const auto* source = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
  bool invalid = false;
  const size_t needed = DecodeUtf8(source, length, nullptr, 0, invalid);
  if (invalid && (dwFlags & MB_ERR_INVALID_CHARS) != 0)
    return FailWith(ERROR_NO_UNICODE_TRANSLATION);
  if (needed > static_cast<size_t>(INT_MAX)) return FailWith(ERROR_INVALID_PARAMETER);
  if (cchWideChar == 0) return static_cast<int>(needed);
  if (needed > static_cast<size_t>(cchWideChar)) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  (void)DecodeUtf8(source, length, lpWideCharStr, static_cast<size_t>(cchWideChar), invalid);
  return static_cast<int>(needed);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        BOOL* lpUsedDefaultChar) noexcept {
  if (!IsUtf8CodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
      cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr))
    return FailWith(ERROR_INVALID_PARAMETER);
  if (CodePage == CP_UTF8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))
    return FailWith(ERROR_INVALID_PARAMETER);
  const DWORD allowed =
      CodePage == CP_UTF8
          ? WC_ERR_INVALID_CHARS
          : (WC_COMPOSITECHECK | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS | WC_ERR_INVALID_CHARS);
  if ((dwFlags & ~allowed) != 0) return FailWith(ERROR_INVALID_FLAGS);
  const size_t length = cchWideChar == -1 ? std::char_traits<char16_t>::length(lpWideCharStr) + 1
                                          : static_cast<size_t>(cchWideChar);
  bool invalid = false;
  const size_t needed = EncodeUtf8(lpWideCharStr, length, nullptr, 0, invalid);
  if (invalid && (dwFlags & WC_ERR_INVALID_CHARS) != 0)
    return FailWith(ERROR_NO_UNICODE_TRANSLATION);
  if (needed > static_cast<size_t>(INT_MAX)) return FailWith(ERROR_INVALID_PARAMETER);
  if (cbMultiByte != 0) {
    if (needed > static_cast<size_t>(cbMultiByte)) return FailWith(ERROR_INSUFFICIENT_BUFFER);
    (void)EncodeUtf8(lpWideCharStr, length, lpMultiByteStr, static_cast<size_t>(cbMultiByte),
                     invalid);
  }
  if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = invalid ? TRUE : FALSE;
  return static_cast<int>(needed);
}
