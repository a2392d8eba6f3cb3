// UTF-8 text by whole characters.
#include "platform/Utf8.h"

#include <cstring>

namespace {

bool ContinuesACharacter(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

std::size_t CountUtf8Characters(std::string_view text) noexcept {
  std::size_t count = 0;
  for (const char byte : text) count += ContinuesACharacter(byte) ? 0 : 1;
  return count;
}

std::size_t Utf8CharacterOffset(std::string_view text, std::size_t index) noexcept {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ContinuesACharacter(text[i])) continue;
    if (characters == index) return i;
    ++characters;
  }
  return text.size();
}

std::size_t Utf8PrefixLength(std::string_view text, std::size_t limit) noexcept {
  if (text.size() <= limit) return text.size();
  std::size_t end = limit;
  // text[end] is the first byte dropped; while it continues a sequence, drop its lead too.
  while (end > 0 && ContinuesACharacter(text[end])) --end;
  return end;
}

std::size_t CopyUtf8Cut(char* buffer, std::size_t size, std::string_view text) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  const std::size_t length = Utf8PrefixLength(text, size - 1);
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return length;
}
