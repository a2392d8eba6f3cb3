// BSTR, the string of COM interfaces: UTF-16 text preceded by its length in bytes (4 bytes)
// and followed by a NUL character. A null BSTR is the empty string for every function that
// reads one. The length may include embedded NULs and, through SysAllocStringByteLen, an odd
// byte count.
#pragma once

#include <memory>

#include "platform/WinTypes.h"

using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;

// Copy of a NUL-terminated string; null for null psz or when out of memory.
[[nodiscard]] QV_API BSTR SysAllocString(const OLECHAR* psz) noexcept;
// ui characters from pch (which may hold NULs); pch null gives ui zeroed characters.
[[nodiscard]] QV_API BSTR SysAllocStringLen(const OLECHAR* pch, UINT ui) noexcept;
// len bytes from psz (zeroed when psz is null); SysStringByteLen gives len back.
[[nodiscard]] QV_API BSTR SysAllocStringByteLen(const char* psz, UINT len) noexcept;
// Replaces *pbstr by a copy of psz (psz may point into *pbstr). FALSE when out of memory,
// *pbstr unchanged then.
[[nodiscard]] QV_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) noexcept;
[[nodiscard]] QV_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) noexcept;
QV_API void SysFreeString(BSTR bstrString) noexcept;
// Characters (byte length / 2, rounded down); 0 for null.
QV_API UINT SysStringLen(BSTR pbstr) noexcept;
QV_API UINT SysStringByteLen(BSTR bstr) noexcept;

// A BSTR freed when its owner goes.
struct BstrFree {
  void operator()(OLECHAR* text) const noexcept { SysFreeString(text); }
};
using OwnedBstr = std::unique_ptr<OLECHAR, BstrFree>;
