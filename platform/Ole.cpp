// The OLE data types: task allocator, BSTR, UTF-8 / UTF-16 conversion, VARIANT, SAFEARRAY and
// HGLOBAL blocks. Every exported function is noexcept and reports failure the Windows way
// (null, FALSE, an HRESULT or the thread's last error).
#include "platform/Ole.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/LastError.h"

namespace {

// ---- Task allocator ---------------------------------------------------------------------------

struct alignas(16) TaskHeader {
  size_t size;
  std::uint64_t cookie;
};
static_assert(sizeof(TaskHeader) == 16);
constexpr std::uint64_t kTaskCookie = 0x6b73615476517551ull;
// Larger requests fail before they reach the heap.
constexpr size_t kMaxTaskBytes = static_cast<size_t>(PTRDIFF_MAX) / 2;

TaskHeader* TaskHeaderOf(void* pv) {
  TaskHeader* header = static_cast<TaskHeader*>(pv) - 1;
  if (header->cookie != kTaskCookie) {
    std::fputs("task allocator: block not allocated here or already freed\n", stderr);
    std::abort();
  }
  return header;
}

class TaskAllocator final : public IMalloc {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IMalloc) return E_NOINTERFACE;
    *ppv = static_cast<IMalloc*>(this);
    AddRef();
    return S_OK;
  }
  // The allocator lives as long as the process; its count only reports.
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG current = refs_.load();
    while (current > 1 && !refs_.compare_exchange_weak(current, current - 1)) {
    }
    return current > 1 ? current - 1 : 1;
  }
  void* Alloc(SIZE_T cb) override { return CoTaskMemAlloc(cb); }
  void* Realloc(void* pv, SIZE_T cb) override { return CoTaskMemRealloc(pv, cb); }
  void Free(void* pv) override { CoTaskMemFree(pv); }
  SIZE_T GetSize(void* pv) override {
    return pv == nullptr ? static_cast<SIZE_T>(-1) : TaskHeaderOf(pv)->size;
  }
  int DidAlloc(void*) override { return -1; }
  void HeapMinimize() override {}

 private:
  std::atomic<ULONG> refs_{1};
};

TaskAllocator g_taskAllocator;

// ---- BSTR -------------------------------------------------------------------------------------

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

BSTR CopyBstr(BSTR source) noexcept { return AllocBstrBytes(source, SysStringByteLen(source)); }

// ---- UTF-8 / UTF-16 ---------------------------------------------------------------------------

bool IsUtf8CodePage(UINT codePage) {
  return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP ||
         codePage == CP_UTF8;
}

// Decodes n bytes of UTF-8, writing the first `capacity` UTF-16 units to out, and returns the
// number of units the whole input needs. Each maximal ill-formed subpart becomes U+FFFD.
size_t DecodeUtf8(const unsigned char* s, size_t n, char16_t* out, size_t capacity, bool& invalid) {
  size_t count = 0;
  auto put = [&](char32_t unit) {
    if (count < capacity) out[count] = static_cast<char16_t>(unit);
    ++count;
  };
  size_t i = 0;
  while (i < n) {
    const unsigned lead = s[i];
    if (lead < 0x80) {
      put(lead);
      ++i;
      continue;
    }
    int trail = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      invalid = true;
      put(0xFFFD);
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool complete = true;
    for (int k = 0; k < trail; ++k, ++j) {
      if (j >= n) {
        complete = false;
        break;
      }
      const unsigned b = s[j];
      if (b < (k == 0 ? low : 0x80u) || b > (k == 0 ? high : 0xBFu)) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    i = j;
    if (!complete) {
      invalid = true;
      put(0xFFFD);
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return count;
}

// Encodes n UTF-16 units as UTF-8 like DecodeUtf8; an unpaired surrogate becomes U+FFFD.
size_t EncodeUtf8(const char16_t* s, size_t n, char* out, size_t capacity, bool& invalid) {
  size_t count = 0;
  auto put = [&](char32_t byte) {
    if (count < capacity) out[count] = static_cast<char>(static_cast<unsigned char>(byte));
    ++count;
  };
  for (size_t i = 0; i < n; ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      invalid = true;
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      put(cp);
    } else if (cp < 0x800) {
      put(0xC0 | (cp >> 6));
      put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      put(0xE0 | (cp >> 12));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    } else {
      put(0xF0 | (cp >> 18));
      put(0x80 | ((cp >> 12) & 0x3F));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    }
  }
  return count;
}

int FailWith(LSTATUS error) {
  SetLastError(static_cast<DWORD>(error));
  return 0;
}

// ---- VARIANT and SAFEARRAY --------------------------------------------------------------------

ULONG FixedSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_DATE:
      return 8;
    default:
      return 0;
  }
}

// Bytes of one array element of type vt; 0 when vt cannot be an array element.
ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_VARIANT:
      return sizeof(VARIANT);
    case VT_BSTR:
      return sizeof(BSTR);
    case VT_UNKNOWN:
      return sizeof(IUnknown*);
    default:
      return FixedSize(vt);
  }
}

bool IsValidVariantType(VARTYPE vt) {
  const VARTYPE base = vt & static_cast<VARTYPE>(~(VT_BYREF | VT_ARRAY));
  if ((base & ~VT_TYPEMASK) != 0) return false;  // VT_VECTOR and the reserved bit
  if ((vt & VT_ARRAY) != 0) return ElementSize(base) != 0;
  if ((vt & VT_BYREF) != 0) return ElementSize(base) != 0;
  return base == VT_EMPTY || base == VT_NULL || base == VT_BSTR || base == VT_UNKNOWN ||
         FixedSize(base) != 0;
}

// Deep copy of a valid variant into raw storage (nothing is released there).
HRESULT CopyVariantInto(VARIANT& out, const VARIANT& source) noexcept {
  if (!IsValidVariantType(source.vt)) return DISP_E_BADVARTYPE;
  VARIANT copy = source;
  if ((source.vt & VT_BYREF) == 0) {
    if ((source.vt & VT_ARRAY) != 0) {
      if (source.parray != nullptr) {
        const HRESULT hr = SafeArrayCopy(source.parray, &copy.parray);
        if (FAILED(hr)) return hr;
      }
    } else if (source.vt == VT_BSTR) {
      if (source.bstrVal != nullptr) {
        copy.bstrVal = CopyBstr(source.bstrVal);
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
      }
    } else if (source.vt == VT_UNKNOWN) {
      if (source.punkVal != nullptr) source.punkVal->AddRef();
    }
  }
  out = copy;
  return S_OK;
}

// Arrays made here carry their element type in a prefix ahead of the descriptor.
struct alignas(16) ArrayPrefix {
  VARTYPE vt;
};
static_assert(sizeof(ArrayPrefix) == 16);

constexpr size_t DescriptorBytes(UINT dims) {
  return offsetof(SAFEARRAY, rgsabound) + dims * sizeof(SAFEARRAYBOUND);
}

// The stored bounds, rightmost dimension first (see Ole.h). Reached by address so that
// indexing past the declared one-element array is plain pointer arithmetic.
SAFEARRAYBOUND* Bounds(SAFEARRAY* psa) {
  return reinterpret_cast<SAFEARRAYBOUND*>(reinterpret_cast<char*>(psa) +
                                           offsetof(SAFEARRAY, rgsabound));
}

ArrayPrefix* PrefixOf(SAFEARRAY* psa) {
  return reinterpret_cast<ArrayPrefix*>(reinterpret_cast<char*>(psa) - sizeof(ArrayPrefix));
}

USHORT FeatureOf(VARTYPE vt) {
  switch (vt) {
    case VT_VARIANT:
      return FADF_VARIANT;
    case VT_BSTR:
      return FADF_BSTR;
    case VT_UNKNOWN:
      return FADF_UNKNOWN;
    default:
      return 0;
  }
}

bool MultiplyChecked(size_t a, size_t b, size_t& out) {
  return !__builtin_mul_overflow(a, b, &out);
}

// Elements and data bytes for the stored bounds, with the rightmost count replaced by
// `lastCount`. False when the size overflows.
bool ArraySize(SAFEARRAY* psa, ULONG lastCount, size_t& elements, size_t& bytes) {
  const SAFEARRAYBOUND* bounds = Bounds(psa);
  elements = lastCount;
  for (UINT d = 1; d < psa->cDims; ++d) {
    if (!MultiplyChecked(elements, bounds[d].cElements, elements)) return false;
  }
  return MultiplyChecked(elements, psa->cbElements, bytes) &&
         bytes <= static_cast<size_t>(PTRDIFF_MAX);
}

size_t ElementCount(SAFEARRAY* psa) {
  size_t elements = 0;
  size_t bytes = 0;
  // Arrays that exist were sized without overflow.
  (void)ArraySize(psa, Bounds(psa)[0].cElements, elements, bytes);
  return elements;
}

bool UpperBoundFits(const SAFEARRAYBOUND& bound) {
  const std::int64_t upper = static_cast<std::int64_t>(bound.lLbound) + bound.cElements - 1;
  return upper >= INT32_MIN && upper <= INT32_MAX;
}

char* ElementAt(SAFEARRAY* psa, size_t index) {
  return static_cast<char*>(psa->pvData) + index * psa->cbElements;
}

// Releases what elements [first, first + count) own and leaves them zeroed.
void ClearElements(SAFEARRAY* psa, size_t first, size_t count) {
  if (count == 0) return;
  if ((psa->fFeatures & FADF_VARIANT) != 0) {
    for (size_t i = first; i < first + count; ++i) {
      // A nested array that is still locked cannot be freed; it is leaked rather than freed
      // under its user, as on Windows.
      (void)VariantClear(reinterpret_cast<VARIANT*>(ElementAt(psa, i)));
    }
  } else if ((psa->fFeatures & FADF_BSTR) != 0) {
    for (size_t i = first; i < first + count; ++i) {
      BSTR* slot = reinterpret_cast<BSTR*>(ElementAt(psa, i));
      SysFreeString(std::exchange(*slot, nullptr));
    }
  } else if ((psa->fFeatures & FADF_UNKNOWN) != 0) {
    for (size_t i = first; i < first + count; ++i) {
      IUnknown** slot = reinterpret_cast<IUnknown**>(ElementAt(psa, i));
      if (IUnknown* p = std::exchange(*slot, nullptr)) p->Release();
    }
  }
  std::memset(ElementAt(psa, first), 0, count * psa->cbElements);
}

std::atomic_ref<ULONG> LockCount(SAFEARRAY* psa) { return std::atomic_ref<ULONG>(psa->cLocks); }

// Index of the element at rgIndices (leftmost first): the leftmost index varies fastest.
HRESULT CellIndex(SAFEARRAY* psa, const LONG* rgIndices, size_t& cell) {
  const SAFEARRAYBOUND* bounds = Bounds(psa);
  cell = 0;
  size_t stride = 1;
  for (UINT d = 0; d < psa->cDims; ++d) {
    const SAFEARRAYBOUND& bound = bounds[psa->cDims - 1 - d];
    const std::int64_t offset = static_cast<std::int64_t>(rgIndices[d]) - bound.lLbound;
    if (offset < 0 || offset >= static_cast<std::int64_t>(bound.cElements)) return DISP_E_BADINDEX;
    cell += static_cast<size_t>(offset) * stride;
    stride *= bound.cElements;
  }
  return S_OK;
}

// Locks the array for the duration of an element operation, as Windows does, so that an
// element's release cannot resize or destroy the array under the operation.
class ScopedArrayLock {
 public:
  explicit ScopedArrayLock(SAFEARRAY* psa) : psa_(psa), hr_(SafeArrayLock(psa)) {}
  ~ScopedArrayLock() {
    if (SUCCEEDED(hr_)) (void)SafeArrayUnlock(psa_);
  }
  HRESULT Result() const { return hr_; }

 private:
  SAFEARRAY* psa_;
  HRESULT hr_;
};

// ---- HGLOBAL ----------------------------------------------------------------------------------

struct GlobalBlock {
  char* data = nullptr;
  size_t size = 0;
  // Bytes allocated; those between size and capacity are kept zero.
  size_t capacity = 0;
  bool fixed = false;
  ULONG locks = 0;
};

constexpr UINT kGlobalFlags =
    GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_NOCOMPACT | GMEM_NODISCARD | GMEM_DISCARDABLE | GMEM_SHARE;

// Larger requests fail before they reach the heap.
constexpr size_t kMaxGlobalBytes = static_cast<size_t>(PTRDIFF_MAX) / 2;

struct GlobalTable {
  std::mutex mutex;
  std::unordered_map<HGLOBAL, std::unique_ptr<GlobalBlock>> blocks;
};

// Never destroyed: blocks may be freed by code that runs during process exit.
GlobalTable& Globals() {
  static GlobalTable* table = new GlobalTable;
  return *table;
}

HGLOBAL FailGlobal(LSTATUS error) {
  SetLastError(static_cast<DWORD>(error));
  return nullptr;
}

}  // namespace

// ---- Task allocator ---------------------------------------------------------------------------

LPVOID CoTaskMemAlloc(SIZE_T cb) noexcept {
  if (cb > kMaxTaskBytes) return nullptr;
  auto* header = static_cast<TaskHeader*>(std::malloc(sizeof(TaskHeader) + cb));
  if (header == nullptr) return nullptr;
  header->size = cb;
  header->cookie = kTaskCookie;
  return header + 1;
}

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) noexcept {
  if (pv == nullptr) return CoTaskMemAlloc(cb);
  if (cb == 0) {
    CoTaskMemFree(pv);
    return nullptr;
  }
  TaskHeader* header = TaskHeaderOf(pv);
  if (cb > kMaxTaskBytes) return nullptr;
  auto* moved = static_cast<TaskHeader*>(std::realloc(header, sizeof(TaskHeader) + cb));
  if (moved == nullptr) return nullptr;
  moved->size = cb;
  return moved + 1;
}

void CoTaskMemFree(LPVOID pv) noexcept {
  if (pv == nullptr) return;
  TaskHeader* header = TaskHeaderOf(pv);
  header->cookie = 0;
  std::free(header);
}

HRESULT SHGetMalloc(IMalloc** ppMalloc) noexcept {
  if (ppMalloc == nullptr) return E_POINTER;
  g_taskAllocator.AddRef();
  *ppMalloc = &g_taskAllocator;
  return S_OK;
}

HRESULT CoGetMalloc(DWORD dwMemContext, IMalloc** ppMalloc) noexcept {
  if (ppMalloc == nullptr) return E_POINTER;
  *ppMalloc = nullptr;
  if (dwMemContext != MEMCTX_TASK) return E_INVALIDARG;
  return SHGetMalloc(ppMalloc);
}

// ---- BSTR -------------------------------------------------------------------------------------

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

// ---- UTF-8 / UTF-16 ---------------------------------------------------------------------------

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) noexcept {
  if (!IsUtf8CodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
      cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr))
    return FailWith(ERROR_INVALID_PARAMETER);
  const DWORD allowed =
      CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : (MB_PRECOMPOSED | MB_ERR_INVALID_CHARS);
  if ((dwFlags & ~allowed) != 0) return FailWith(ERROR_INVALID_FLAGS);
  const size_t length =
      cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  const auto* source = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
  bool invalid = false;
  const size_t needed = DecodeUtf8(source, length, nullptr, 0, invalid);
  if (invalid && (dwFlags & MB_ERR_INVALID_CHARS) != 0)
    return FailWith(ERROR_NO_UNICODE_TRANSLATION);
  if (needed > static_cast<size_t>(INT_MAX)) return FailWith(ERROR_INVALID_PARAMETER);
  if (cchWideChar == 0) return static_cast<int>(needed);
  if (needed > static_cast<size_t>(cchWideChar)) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  (void)DecodeUtf8(source, length, lpWideCharStr, static_cast<size_t>(cchWideChar), invalid);
  return static_cast<int>(needed);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        BOOL* lpUsedDefaultChar) noexcept {
  if (!IsUtf8CodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
      cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr))
    return FailWith(ERROR_INVALID_PARAMETER);
  if (CodePage == CP_UTF8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))
    return FailWith(ERROR_INVALID_PARAMETER);
  const DWORD allowed =
      CodePage == CP_UTF8
          ? WC_ERR_INVALID_CHARS
          : (WC_COMPOSITECHECK | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS | WC_ERR_INVALID_CHARS);
  if ((dwFlags & ~allowed) != 0) return FailWith(ERROR_INVALID_FLAGS);
  const size_t length = cchWideChar == -1 ? std::char_traits<char16_t>::length(lpWideCharStr) + 1
                                          : static_cast<size_t>(cchWideChar);
  bool invalid = false;
  const size_t needed = EncodeUtf8(lpWideCharStr, length, nullptr, 0, invalid);
  if (invalid && (dwFlags & WC_ERR_INVALID_CHARS) != 0)
    return FailWith(ERROR_NO_UNICODE_TRANSLATION);
  if (needed > static_cast<size_t>(INT_MAX)) return FailWith(ERROR_INVALID_PARAMETER);
  if (cbMultiByte != 0) {
    if (needed > static_cast<size_t>(cbMultiByte)) return FailWith(ERROR_INSUFFICIENT_BUFFER);
    (void)EncodeUtf8(lpWideCharStr, length, lpMultiByteStr, static_cast<size_t>(cbMultiByte),
                     invalid);
  }
  if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = invalid ? TRUE : FALSE;
  return static_cast<int>(needed);
}

// ---- VARIANT ----------------------------------------------------------------------------------

void VariantInit(VARIANTARG* pvarg) noexcept {
  if (pvarg != nullptr) std::memset(pvarg, 0, sizeof *pvarg);
}

HRESULT VariantClear(VARIANTARG* pvarg) noexcept {
  if (pvarg == nullptr) return E_INVALIDARG;
  const VARTYPE vt = pvarg->vt;
  if (!IsValidVariantType(vt)) return DISP_E_BADVARTYPE;
  if ((vt & VT_BYREF) == 0 && (vt & VT_ARRAY) != 0 && pvarg->parray != nullptr) {
    const HRESULT hr = SafeArrayDestroy(pvarg->parray);
    if (FAILED(hr)) return hr;
  }
  // The variant is emptied before anything is released, so a release that looks at it again
  // finds it empty.
  const VARIANT old = *pvarg;
  VariantInit(pvarg);
  if ((vt & VT_BYREF) == 0) {
    if (vt == VT_BSTR)
      SysFreeString(old.bstrVal);
    else if (vt == VT_UNKNOWN && old.punkVal != nullptr)
      old.punkVal->Release();
  }
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) noexcept {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return IsValidVariantType(pvargSrc->vt) ? S_OK : DISP_E_BADVARTYPE;
  VARIANT copy;
  HRESULT hr = CopyVariantInto(copy, *pvargSrc);
  if (FAILED(hr)) return hr;
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    (void)VariantClear(&copy);
    return hr;
  }
  *pvargDest = copy;
  return S_OK;
}

// ---- SAFEARRAY --------------------------------------------------------------------------------

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound) noexcept {
  const ULONG elementSize = ElementSize(vt);
  if (elementSize == 0 || cDims == 0 || cDims > USHRT_MAX || rgsabound == nullptr) return nullptr;
  for (UINT d = 0; d < cDims; ++d) {
    if (!UpperBoundFits(rgsabound[d])) return nullptr;
  }
  void* block = std::calloc(1, sizeof(ArrayPrefix) + DescriptorBytes(cDims));
  if (block == nullptr) return nullptr;
  static_cast<ArrayPrefix*>(block)->vt = vt;
  auto* psa = reinterpret_cast<SAFEARRAY*>(static_cast<char*>(block) + sizeof(ArrayPrefix));
  psa->cDims = static_cast<USHORT>(cDims);
  psa->fFeatures = FADF_HAVEVARTYPE | FeatureOf(vt);
  psa->cbElements = elementSize;
  SAFEARRAYBOUND* bounds = Bounds(psa);
  for (UINT d = 0; d < cDims; ++d) bounds[d] = rgsabound[cDims - 1 - d];
  size_t elements = 0;
  size_t bytes = 0;
  if (!ArraySize(psa, bounds[0].cElements, elements, bytes)) {
    std::free(block);
    return nullptr;
  }
  if (bytes != 0) {
    psa->pvData = std::calloc(1, bytes);
    if (psa->pvData == nullptr) {
      std::free(block);
      return nullptr;
    }
  }
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) noexcept {
  const SAFEARRAYBOUND bound{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept {
  if (psa == nullptr) return S_OK;
  // Held locked while the elements are released, so that a release which reaches this array
  // again cannot resize or destroy it a second time.
  ULONG unlocked = 0;
  if (!LockCount(psa).compare_exchange_strong(unlocked, 1)) return DISP_E_ARRAYISLOCKED;
  ClearElements(psa, 0, ElementCount(psa));
  std::free(psa->pvData);
  std::free(PrefixOf(psa));
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) noexcept {
  if (ppsaOut == nullptr) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (psa == nullptr) return S_OK;
  const size_t descriptor = DescriptorBytes(psa->cDims);
  void* block = std::calloc(1, sizeof(ArrayPrefix) + descriptor);
  if (block == nullptr) return E_OUTOFMEMORY;
  VARTYPE vt = VT_EMPTY;
  if (FAILED(SafeArrayGetVartype(psa, &vt))) vt = VT_EMPTY;
  static_cast<ArrayPrefix*>(block)->vt = vt;
  auto* copy = reinterpret_cast<SAFEARRAY*>(static_cast<char*>(block) + sizeof(ArrayPrefix));
  std::memcpy(copy, psa, descriptor);
  copy->cLocks = 0;
  copy->pvData = nullptr;
  copy->fFeatures &= static_cast<USHORT>(~(FADF_AUTO | FADF_STATIC | FADF_EMBEDDED));
  const size_t elements = ElementCount(psa);
  const size_t bytes = elements * psa->cbElements;
  if (bytes == 0) {
    *ppsaOut = copy;
    return S_OK;
  }
  copy->pvData = std::calloc(1, bytes);
  if (copy->pvData == nullptr) {
    std::free(block);
    return E_OUTOFMEMORY;
  }
  HRESULT hr = S_OK;
  if ((psa->fFeatures & FADF_VARIANT) != 0) {
    for (size_t i = 0; i < elements && SUCCEEDED(hr); ++i) {
      hr = CopyVariantInto(*reinterpret_cast<VARIANT*>(ElementAt(copy, i)),
                           *reinterpret_cast<const VARIANT*>(ElementAt(psa, i)));
    }
  } else if ((psa->fFeatures & FADF_BSTR) != 0) {
    for (size_t i = 0; i < elements && SUCCEEDED(hr); ++i) {
      const BSTR source = *reinterpret_cast<BSTR*>(ElementAt(psa, i));
      if (source == nullptr) continue;
      BSTR text = CopyBstr(source);
      if (text == nullptr) hr = E_OUTOFMEMORY;
      *reinterpret_cast<BSTR*>(ElementAt(copy, i)) = text;
    }
  } else if ((psa->fFeatures & FADF_UNKNOWN) != 0) {
    std::memcpy(copy->pvData, psa->pvData, bytes);
    for (size_t i = 0; i < elements; ++i) {
      if (IUnknown* p = *reinterpret_cast<IUnknown**>(ElementAt(copy, i))) p->AddRef();
    }
  } else {
    std::memcpy(copy->pvData, psa->pvData, bytes);
  }
  if (FAILED(hr)) {
    (void)SafeArrayDestroy(copy);  // releases the elements copied so far
    return hr;
  }
  *ppsaOut = copy;
  return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew) noexcept {
  if (psa == nullptr || psaboundNew == nullptr) return E_INVALIDARG;
  if (LockCount(psa).load() != 0 || (psa->fFeatures & FADF_FIXEDSIZE) != 0)
    return DISP_E_ARRAYISLOCKED;
  if (!UpperBoundFits(*psaboundNew)) return E_INVALIDARG;
  SAFEARRAYBOUND& last = Bounds(psa)[0];
  size_t oldElements = 0;
  size_t oldBytes = 0;
  size_t newElements = 0;
  size_t newBytes = 0;
  (void)ArraySize(psa, last.cElements, oldElements, oldBytes);
  if (!ArraySize(psa, psaboundNew->cElements, newElements, newBytes)) return E_OUTOFMEMORY;
  if (newBytes > oldBytes) {
    void* grown = std::realloc(psa->pvData, newBytes);
    if (grown == nullptr) return E_OUTOFMEMORY;
    std::memset(static_cast<char*>(grown) + oldBytes, 0, newBytes - oldBytes);
    psa->pvData = grown;
  } else if (newBytes < oldBytes) {
    // The removed elements leave the bounds before they are released, under a lock, so that a
    // release which reaches this array again cannot touch them or resize it.
    last = *psaboundNew;
    LockCount(psa).fetch_add(1);
    ClearElements(psa, newElements, oldElements - newElements);
    LockCount(psa).fetch_sub(1);
    if (newBytes == 0) {
      std::free(psa->pvData);
      psa->pvData = nullptr;
    } else if (void* shrunk = std::realloc(psa->pvData, newBytes)) {
      psa->pvData = shrunk;  // when shrinking fails the larger block is kept
    }
  }
  last = *psaboundNew;
  return S_OK;
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) noexcept {
  if (psa == nullptr || rgIndices == nullptr || ppvData == nullptr) return E_INVALIDARG;
  size_t cell = 0;
  const HRESULT hr = CellIndex(psa, rgIndices, cell);
  if (FAILED(hr)) return hr;
  *ppvData = ElementAt(psa, cell);
  return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) noexcept {
  if (psa == nullptr || rgIndices == nullptr) return E_INVALIDARG;
  const bool isBstr = (psa->fFeatures & FADF_BSTR) != 0;
  const bool isUnknown = (psa->fFeatures & FADF_UNKNOWN) != 0;
  if (pv == nullptr && !isBstr && !isUnknown) return E_INVALIDARG;
  size_t cell = 0;
  HRESULT hr = CellIndex(psa, rgIndices, cell);
  if (FAILED(hr)) return hr;
  ScopedArrayLock lock(psa);
  if (FAILED(lock.Result())) return lock.Result();
  char* element = ElementAt(psa, cell);
  if ((psa->fFeatures & FADF_VARIANT) != 0) {
    // Copied before the old value is cleared: the source may live inside that value.
    VARIANT copy;
    hr = CopyVariantInto(copy, *static_cast<const VARIANT*>(pv));
    if (FAILED(hr)) return hr;
    auto* slot = reinterpret_cast<VARIANT*>(element);
    hr = VariantClear(slot);
    if (FAILED(hr)) {
      (void)VariantClear(&copy);
      return hr;
    }
    *slot = copy;
  } else if (isBstr) {
    const auto source = static_cast<BSTR>(pv);
    BSTR text = source == nullptr ? nullptr : CopyBstr(source);
    if (source != nullptr && text == nullptr) return E_OUTOFMEMORY;
    SysFreeString(std::exchange(*reinterpret_cast<BSTR*>(element), text));
  } else if (isUnknown) {
    auto* object = static_cast<IUnknown*>(pv);
    if (object != nullptr) object->AddRef();
    if (IUnknown* old = std::exchange(*reinterpret_cast<IUnknown**>(element), object))
      old->Release();
  } else {
    std::memcpy(element, pv, psa->cbElements);
  }
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) noexcept {
  if (psa == nullptr || rgIndices == nullptr || pv == nullptr) return E_INVALIDARG;
  size_t cell = 0;
  HRESULT hr = CellIndex(psa, rgIndices, cell);
  if (FAILED(hr)) return hr;
  ScopedArrayLock lock(psa);
  if (FAILED(lock.Result())) return lock.Result();
  const char* element = ElementAt(psa, cell);
  if ((psa->fFeatures & FADF_VARIANT) != 0) {
    VARIANT copy;
    hr = CopyVariantInto(copy, *reinterpret_cast<const VARIANT*>(element));
    if (FAILED(hr)) return hr;
    *static_cast<VARIANT*>(pv) = copy;
  } else if ((psa->fFeatures & FADF_BSTR) != 0) {
    const BSTR source = *reinterpret_cast<const BSTR*>(element);
    BSTR text = source == nullptr ? nullptr : CopyBstr(source);
    if (source != nullptr && text == nullptr) return E_OUTOFMEMORY;
    *static_cast<BSTR*>(pv) = text;
  } else if ((psa->fFeatures & FADF_UNKNOWN) != 0) {
    IUnknown* object = *reinterpret_cast<IUnknown* const*>(element);
    if (object != nullptr) object->AddRef();
    *static_cast<IUnknown**>(pv) = object;
  } else {
    std::memcpy(pv, element, psa->cbElements);
  }
  return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) noexcept {
  if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = Bounds(psa)[psa->cDims - nDim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) noexcept {
  if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& bound = Bounds(psa)[psa->cDims - nDim];
  // The bounds were checked to fit when they were set.
  *plUbound = static_cast<LONG>(static_cast<std::int64_t>(bound.lLbound) + bound.cElements - 1);
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) noexcept { return psa == nullptr ? 0 : psa->cDims; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) noexcept { return psa == nullptr ? 0 : psa->cbElements; }

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept {
  if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
  if ((psa->fFeatures & FADF_HAVEVARTYPE) != 0)
    *pvt = PrefixOf(psa)->vt;
  else if ((psa->fFeatures & FADF_VARIANT) != 0)
    *pvt = VT_VARIANT;
  else if ((psa->fFeatures & FADF_BSTR) != 0)
    *pvt = VT_BSTR;
  else if ((psa->fFeatures & FADF_UNKNOWN) != 0)
    *pvt = VT_UNKNOWN;
  else
    return E_INVALIDARG;
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) noexcept {
  if (psa == nullptr) return E_INVALIDARG;
  auto locks = LockCount(psa);
  ULONG current = locks.load();
  do {
    if (current >= 0xFFFF) return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(current, current + 1));
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) noexcept {
  if (psa == nullptr) return E_INVALIDARG;
  auto locks = LockCount(psa);
  ULONG current = locks.load();
  do {
    if (current == 0) return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(current, current - 1));
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) noexcept {
  if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) noexcept { return SafeArrayUnlock(psa); }

// ---- HGLOBAL ----------------------------------------------------------------------------------

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) noexcept {
  if ((uFlags & ~kGlobalFlags) != 0) return FailGlobal(ERROR_INVALID_PARAMETER);
  if (dwBytes > kMaxGlobalBytes) return FailGlobal(ERROR_NOT_ENOUGH_MEMORY);
  const size_t capacity = dwBytes == 0 ? 1 : dwBytes;
  auto* data = static_cast<char*>(std::calloc(1, capacity));
  if (data == nullptr) return FailGlobal(ERROR_NOT_ENOUGH_MEMORY);
  try {
    auto block = std::make_unique<GlobalBlock>();
    block->data = data;
    block->size = dwBytes;
    block->capacity = capacity;
    block->fixed = (uFlags & GMEM_MOVEABLE) == 0;
    const HGLOBAL handle = block->fixed ? static_cast<HGLOBAL>(data) : block.get();
    GlobalTable& table = Globals();
    const std::lock_guard guard(table.mutex);
    table.blocks.emplace(handle, std::move(block));
    return handle;
  } catch (...) {
    std::free(data);
    return FailGlobal(ERROR_NOT_ENOUGH_MEMORY);
  }
}

LPVOID GlobalLock(HGLOBAL hMem) noexcept {
  GlobalTable& table = Globals();
  const std::lock_guard guard(table.mutex);
  const auto it = table.blocks.find(hMem);
  if (it == table.blocks.end()) return FailGlobal(ERROR_INVALID_HANDLE);
  ++it->second->locks;
  return it->second->data;
}

BOOL GlobalUnlock(HGLOBAL hMem) noexcept {
  GlobalTable& table = Globals();
  const std::lock_guard guard(table.mutex);
  const auto it = table.blocks.find(hMem);
  if (it == table.blocks.end()) return FailWith(ERROR_INVALID_HANDLE);
  GlobalBlock& block = *it->second;
  if (block.locks == 0) return FailWith(ERROR_NOT_LOCKED);
  if (--block.locks != 0) return TRUE;
  SetLastError(ERROR_SUCCESS);
  return FALSE;
}

SIZE_T GlobalSize(HGLOBAL hMem) noexcept {
  GlobalTable& table = Globals();
  const std::lock_guard guard(table.mutex);
  const auto it = table.blocks.find(hMem);
  if (it == table.blocks.end()) return static_cast<SIZE_T>(FailWith(ERROR_INVALID_HANDLE));
  return it->second->size;
}

HGLOBAL GlobalFree(HGLOBAL hMem) noexcept {
  if (hMem == nullptr) return nullptr;
  std::unique_ptr<GlobalBlock> block;
  {
    GlobalTable& table = Globals();
    const std::lock_guard guard(table.mutex);
    const auto it = table.blocks.find(hMem);
    if (it == table.blocks.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return hMem;
    }
    block = std::move(it->second);
    table.blocks.erase(it);
  }
  std::free(block->data);
  return nullptr;
}

HGLOBAL GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags) noexcept {
  if ((uFlags & ~kGlobalFlags) != 0) return FailGlobal(ERROR_INVALID_PARAMETER);
  GlobalTable& table = Globals();
  const std::lock_guard guard(table.mutex);
  const auto it = table.blocks.find(hMem);
  if (it == table.blocks.end()) return FailGlobal(ERROR_INVALID_HANDLE);
  GlobalBlock& block = *it->second;
  if (dwBytes <= block.capacity) {
    if (dwBytes < block.size) std::memset(block.data + dwBytes, 0, block.size - dwBytes);
    block.size = dwBytes;
    return hMem;
  }
  if (dwBytes > kMaxGlobalBytes || block.locks != 0 ||
      (block.fixed && (uFlags & GMEM_MOVEABLE) == 0))
    return FailGlobal(ERROR_NOT_ENOUGH_MEMORY);
  auto* data = static_cast<char*>(std::realloc(block.data, dwBytes));
  if (data == nullptr) return FailGlobal(ERROR_NOT_ENOUGH_MEMORY);
  std::memset(data + block.capacity, 0, dwBytes - block.capacity);
  block.data = data;
  block.size = dwBytes;
  block.capacity = dwBytes;
  if (!block.fixed || data == hMem) return hMem;
  // A moved fixed block's handle is its new address.
  auto node = table.blocks.extract(it);
  node.key() = data;
  table.blocks.insert(std::move(node));
  return data;
}
