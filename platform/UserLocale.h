// The name of the user's locale for one category, as the C library reads the environment:
// the first non-empty of LC_ALL, the category's own variable (LC_TIME, LC_COLLATE) and LANG;
// "C" when none is set.
#pragma once

#include <cstdlib>

inline const char* UserLocaleName(const char* categoryVariable) noexcept {
  for (const char* variable : {"LC_ALL", categoryVariable, "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}
