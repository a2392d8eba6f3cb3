// Reading a display name back out of a STRRET.
#include <cstring>
#include <string>

#include "platform/ole/TaskMemory.h"
#include "platform/ole/TextConversion.h"
#include "platform/shell/ShellFolder.h"

namespace {

// The text of `strret` (UTF-8); frees an allocated text. E_INVALIDARG for an unknown type or
// an offset text that does not end inside the first identifier of `pidl`.
HRESULT TakeText(STRRET* strret, LPCITEMIDLIST pidl, std::string* text) {
  if (strret == nullptr) return E_INVALIDARG;
  switch (strret->uType) {
    case STRRET_WSTR: {
      LPWSTR wide = strret->pOleStr;
      strret->pOleStr = nullptr;
      if (wide == nullptr) return E_INVALIDARG;
      std::size_t length = 0;
      while (wide[length] != u'\0') ++length;
      *text = Utf16ToUtf8(std::u16string_view(wide, length));
      CoTaskMemFree(wide);
      if (length != 0 && text->empty()) return E_OUTOFMEMORY;
      return S_OK;
    }
    case STRRET_CSTR: {
      const void* end = std::memchr(strret->cStr, '\0', kStrRetBufferSize);
      if (end == nullptr) return E_INVALIDARG;
      text->assign(strret->cStr, static_cast<const char*>(end) - strret->cStr);
      return S_OK;
    }
    case STRRET_OFFSET: {
      const USHORT cb = ILItemSize(pidl);
      if (cb < kItemIdSizeBytes || strret->uOffset >= cb) return E_INVALIDARG;
      const char* start = reinterpret_cast<const char*>(pidl) + strret->uOffset;
      const void* end = std::memchr(start, '\0', cb - strret->uOffset);
      if (end == nullptr) return E_INVALIDARG;
      text->assign(start, static_cast<const char*>(end) - start);
      return S_OK;
    }
    default:
      return E_INVALIDARG;
  }
}

}  // namespace

HRESULT StrRetToBufA(STRRET* strret, LPCITEMIDLIST pidl, LPSTR buffer, UINT cch) noexcept {
  try {
    std::string text;
    const HRESULT hr = TakeText(strret, pidl, &text);
    if (buffer != nullptr && cch > 0) buffer[0] = '\0';
    if (FAILED(hr)) return hr;
    if (buffer == nullptr || cch == 0) return E_INVALIDARG;
    if (text.size() >= cch) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT StrRetToStrA(STRRET* strret, LPCITEMIDLIST pidl, LPSTR* out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  try {
    std::string text;
    const HRESULT hr = TakeText(strret, pidl, &text);
    if (FAILED(hr)) return hr;
    auto* copy = static_cast<LPSTR>(CoTaskMemAlloc(text.size() + 1));
    if (copy == nullptr) return E_OUTOFMEMORY;
    std::memcpy(copy, text.c_str(), text.size() + 1);
    *out = copy;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
