// The COM library functions that are not about objects (see Com.h).
#include "platform/Com.h"

#include <sys/random.h>

#include <cerrno>

HRESULT CoCreateGuid(GUID* guid) noexcept {
  if (guid == nullptr) return E_POINTER;
  GUID made{};
  auto* bytes = reinterpret_cast<unsigned char*>(&made);
  size_t filled = 0;
  while (filled < sizeof made) {
    const ssize_t got = getrandom(bytes + filled, sizeof made - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return E_FAIL;
    filled += static_cast<size_t>(got);
  }
  made.Data3 = static_cast<WORD>((made.Data3 & 0x0FFF) | 0x4000);
  made.Data4[0] = static_cast<BYTE>((made.Data4[0] & 0x3F) | 0x80);
  *guid = made;
  return S_OK;
}
