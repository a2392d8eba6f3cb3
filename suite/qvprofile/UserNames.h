// How the user store tells users apart: the length of a user id and the comparison of ids and
// names. The store and the account look-up (CurrentAccount.h) both follow these rules.
#pragma once

#include <cstddef>

inline constexpr std::size_t kMaxUserIdLength = 11;

// User ids and user names compare as the store compares them: letters without regard to case
// (EqualsIgnoringAsciiCase, platform/AsciiCase.h).
