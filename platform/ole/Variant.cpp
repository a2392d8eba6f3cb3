// VARIANT: its type rules, clearing and deep copies, and the element helpers the SAFEARRAY
// code shares.
#include "platform/ole/Variant.h"

#include <cstring>

using qv::detail::CopyVariantInto;

namespace {

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

bool IsValidVariantType(VARTYPE vt) {
  const VARTYPE base = vt & static_cast<VARTYPE>(~(VT_BYREF | VT_ARRAY));
  if ((base & ~VT_TYPEMASK) != 0) return false;  // VT_VECTOR and the reserved bit
  if ((vt & VT_ARRAY) != 0) return qv::detail::ElementSize(base) != 0;
  if ((vt & VT_BYREF) != 0) return qv::detail::ElementSize(base) != 0;
  return base == VT_EMPTY || base == VT_NULL || base == VT_BSTR || base == VT_UNKNOWN ||
         FixedSize(base) != 0;
}

}  // namespace

namespace qv::detail {

ULONG ElementSize(VARTYPE vt) noexcept {
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

BSTR CopyBstr(BSTR source) noexcept {
  return SysAllocStringByteLen(reinterpret_cast<const char*>(source), SysStringByteLen(source));
}

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

}  // namespace qv::detail

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
