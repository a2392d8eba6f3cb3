// Narrow (UTF-8) text by whole characters: counting them, finding where one starts, and
// cutting text to a byte limit without splitting one (the system's fixed buffers, 1024-byte
// messages and 8000-byte paths, take whole characters only). Ill-formed text is counted by
// its lead bytes: every byte that does not continue a sequence starts a character.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/WinTypes.h"

// The number of characters in `text`.
[[nodiscard]] QV_API std::size_t CountUtf8Characters(std::string_view text) noexcept;

// The byte offset at which character `index` (from 0) of `text` starts; text.size() when
// `text` has no more than `index` characters.
[[nodiscard]] QV_API std::size_t Utf8CharacterOffset(std::string_view text,
                                                     std::size_t index) noexcept;

// The largest length <= limit at which `text` can be cut without ending inside a UTF-8
// sequence.
[[nodiscard]] QV_API std::size_t Utf8PrefixLength(std::string_view text,
                                                  std::size_t limit) noexcept;

// Copies as much of `text` as fits into `buffer` of `size` bytes (whole characters only),
// terminates it, and returns the number of bytes copied. Nothing is written when size is 0.
QV_API std::size_t CopyUtf8Cut(char* buffer, std::size_t size, std::string_view text) noexcept;
