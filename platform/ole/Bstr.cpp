// BSTR allocation: the length prefix, the text and the zero bytes after it live in one block.
#include "platform/ole/Bstr.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

constexpr size_t kBstrPrefix = sizeof(UINT);
// Zero bytes after the text: the NUL character, and for an odd byte length one more so that
// the character after the last full one is NUL as well.
constexpr size_t kBstrTail = 3;
constexpr size_t kMaxBstrBytes = 0xFFFFFFF0u;

BSTR AllocBstrBytes(const void* source, size_t bytes) noexcept {
  if (bytes > kMaxBstrBytes) return nullptr;
  char* base = static_cast<char*>(std::malloc(kBstrPrefix + bytes + kBstrTail));
  if (base == nullptr) return nullptr;
  const UINT length = static_cast<UINT>(bytes);
  std::memcpy(base, &length, sizeof length);
  if (source != nullptr && bytes != 0)
    std::memcpy(base + kBstrPrefix, source, bytes);
  else
    std::memset(base + kBstrPrefix, 0, bytes);
  std::memset(base + kBstrPrefix + bytes, 0, kBstrTail);
  return reinterpret_cast<BSTR>(base + kBstrPrefix);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) noexcept {
  if (psz == nullptr) return nullptr;
  const size_t length = std::char_traits<char16_t>::length(psz);
  if (length > kMaxBstrBytes / sizeof(OLECHAR)) return nullptr;
  return AllocBstrBytes(psz, length * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* pch, UINT ui) noexcept {
  return AllocBstrBytes(pch, static_cast<size_t>(ui) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) noexcept { return AllocBstrBytes(psz, len); }

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) noexcept {
  if (pbstr == nullptr) return FALSE;
  BSTR replacement = SysAllocString(psz);
  if (psz != nullptr && replacement == nullptr) return FALSE;
  SysFreeString(std::exchange(*pbstr, replacement));
  return TRUE;
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) noexcept {
  if (pbstr == nullptr) return FALSE;
  BSTR replacement = SysAllocStringLen(psz, len);
  if (replacement == nullptr) return FALSE;
  if (psz == nullptr && *pbstr != nullptr) {
    // Without a source the old text is kept, as far as it fits.
    const UINT keep = std::min(len, SysStringLen(*pbstr));
    std::memcpy(replacement, *pbstr, keep * sizeof(OLECHAR));
  }
  SysFreeString(std::exchange(*pbstr, replacement));
  return TRUE;
}

void SysFreeString(BSTR bstrString) noexcept {
  if (bstrString != nullptr) std::free(reinterpret_cast<char*>(bstrString) - kBstrPrefix);
}

UINT SysStringByteLen(BSTR bstr) noexcept {
  if (bstr == nullptr) return 0;
  UINT length = 0;
  std::memcpy(&length, reinterpret_cast<const char*>(bstr) - kBstrPrefix, sizeof length);
  return length;
}

UINT SysStringLen(BSTR pbstr) noexcept {
  return SysStringByteLen(pbstr) / static_cast<UINT>(sizeof(OLECHAR));
}
