// GUID, IID and CLSID with the "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" text form that the
// registry and the registration scripts use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/WinTypes.h"

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes on every platform");

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

QV_API bool operator==(const GUID& a, const GUID& b) noexcept;
inline bool IsEqualGUID(REFGUID a, REFGUID b) noexcept { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) noexcept { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) noexcept { return a == b; }

// Parses exactly "{8-4-4-4-12}" hexadecimal (either case). Anything else (missing braces,
// wrong group lengths, non-hex digits, trailing text) yields nothing.
QV_API std::optional<GUID> ParseGuid(std::string_view text) noexcept;
// Formats in the registry's upper-case braced form.
QV_API std::string FormatGuid(const GUID& guid);

// Compile-time GUID literal from its parts, for interface and class identifiers.
constexpr GUID MakeGuid(DWORD d1, WORD d2, WORD d3, BYTE b0, BYTE b1, BYTE b2, BYTE b3, BYTE b4,
                        BYTE b5, BYTE b6, BYTE b7) {
  return GUID{d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}};
}
