// Loading texts from the embedded string tables.
#include "core/StringTable.h"

#include <cstring>

int LoadStringA(UINT id, char* buffer, int size, LANGID language) {
  if (buffer == nullptr || size <= 0) return 0;
  buffer[0] = '\0';
  (void)language;
  for (size_t i = 0; i < kStringResourceCount; ++i) {
    const StringResource& r = kStringResources[i];
    if (r.id == id && r.language == kFallbackLanguage && r.text != nullptr) {
      size_t n = std::strlen(r.text);
      if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
      std::memcpy(buffer, r.text, n);
      buffer[n] = '\0';
      return static_cast<int>(n);
    }
  }
  return 0;
}
