// SAFEARRAY: creation, copies, resizing, element access and locks. Arrays are made only here,
// so each carries its element type in a prefix ahead of the descriptor.
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/ole/Variant.h"

using qv::detail::CopyBstr;
using qv::detail::CopyVariantInto;
using qv::detail::ElementSize;

namespace {

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

}  // namespace

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
