#include "transfer/CQvEnumFORMATETC.h"

HRESULT CQvEnumFORMATETC::CreateInstance(REFIID riid, void** ppv, ComModule* module) noexcept {
  return CreateComInstance<CQvEnumFORMATETC>(riid, ppv, module);
}

HRESULT CQvEnumFORMATETC::SetFormats(const FORMATETC* formats, ULONG count) noexcept {
  if (formats == nullptr && count != 0) return E_INVALIDARG;
  try {
    formats_.assign(formats, formats + count);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  for (FORMATETC& format : formats_) format.ptd = nullptr;
  position_ = 0;
  return S_OK;
}

HRESULT CQvEnumFORMATETC::Next(ULONG celt, FORMATETC* rgelt, ULONG* fetched) {
  if (fetched != nullptr) *fetched = 0;
  if (rgelt == nullptr && celt != 0) return E_POINTER;
  if (fetched == nullptr && celt > 1) return E_INVALIDARG;
  ULONG copied = 0;
  while (copied < celt && position_ < formats_.size()) rgelt[copied++] = formats_[position_++];
  if (fetched != nullptr) *fetched = copied;
  return copied == celt ? S_OK : S_FALSE;
}

HRESULT CQvEnumFORMATETC::Skip(ULONG celt) {
  const ULONG left = static_cast<ULONG>(formats_.size()) - position_;
  if (celt > left) {
    position_ = static_cast<ULONG>(formats_.size());
    return S_FALSE;
  }
  position_ += celt;
  return S_OK;
}

HRESULT CQvEnumFORMATETC::Reset() {
  position_ = 0;
  return S_OK;
}

HRESULT CQvEnumFORMATETC::Clone(IEnumFORMATETC** enumerator) {
  if (enumerator != nullptr) *enumerator = nullptr;
  return E_NOTIMPL;
}
