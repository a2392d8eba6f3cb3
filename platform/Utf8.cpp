// UTF-8 aware cutting of text to fixed buffers.
#include "platform/Utf8.h"

#include <cstring>

std::size_t Utf8PrefixLength(std::string_view text, std::size_t limit) noexcept {
  if (text.size() <= limit) return text.size();
  std::size_t end = limit;
  // text[end] is the first byte dropped; while it continues a sequence, drop its lead too.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return end;
}

std::size_t CopyUtf8Cut(char* buffer, std::size_t size, std::string_view text) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  const std::size_t length = Utf8PrefixLength(text, size - 1);
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return length;
}
