// Names ordered the way the user's locale orders them (lstrcmpiA): without regard to letter
// case in any script, then by the collation of LC_COLLATE (the first non-empty of LC_ALL,
// LC_COLLATE and LANG; code point order for "C", "POSIX" and a locale that is not installed).
// Text is UTF-8; a byte that is not part of a well-formed sequence still orders, by its value.
//
// A sort key orders exactly as the comparison does, so a listing sorted once by keys agrees
// with every later comparison of two of its names.
#pragma once

#include <string>
#include <string_view>

#include "platform/WinTypes.h"

// Below 0, 0 or above 0 as `a` sorts before, with or after `b`. A null text sorts first.
[[nodiscard]] QV_API int lstrcmpiA(LPCSTR a, LPCSTR b) noexcept;
[[nodiscard]] QV_API int QvCompareNames(std::string_view a, std::string_view b) noexcept;

// Bytes whose order (std::string comparison) is the order of QvCompareNames.
[[nodiscard]] QV_API std::string QvCollationKey(std::string_view text);
