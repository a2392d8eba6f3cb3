// Cutting narrow (UTF-8) text to a byte limit without splitting a character: the system's
// fixed buffers (1024-byte messages, 8000-byte paths) take whole characters only.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/WinTypes.h"

// The largest length <= limit at which `text` can be cut without ending inside a UTF-8
// sequence.
[[nodiscard]] QV_API std::size_t Utf8PrefixLength(std::string_view text,
                                                  std::size_t limit) noexcept;

// Copies as much of `text` as fits into `buffer` of `size` bytes (whole characters only),
// terminates it, and returns the number of bytes copied. Nothing is written when size is 0.
QV_API std::size_t CopyUtf8Cut(char* buffer, std::size_t size, std::string_view text) noexcept;
