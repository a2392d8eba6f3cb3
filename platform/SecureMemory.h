// Wiping memory that held a secret (a password, a key, a credential block), in a way the
// compiler may not leave out as a store nobody reads again.
#pragma once

#include <string.h>

#include <string>

#include "platform/WinTypes.h"

inline void SecureZeroMemory(void* data, SIZE_T size) noexcept {
  if (data != nullptr && size != 0) explicit_bzero(data, size);
}

// Wipes a text that held a secret, then empties it.
inline void QvWipe(std::string& text) noexcept {
  SecureZeroMemory(text.data(), text.size());
  text.clear();
}
