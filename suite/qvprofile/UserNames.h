// How the user store tells users apart: the length of a user id and the comparison of ids and
// names. The store and the account look-up (CurrentAccount.h) both follow these rules.
#pragma once

#include <cctype>
#include <cstddef>
#include <string_view>

inline constexpr std::size_t kMaxUserIdLength = 11;

// User ids and user names compare as the store compares them: letters without regard to case.
inline bool QvSameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}
