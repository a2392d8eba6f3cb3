// The standard FORMATETC enumerator.
#include "platform/ole/EnumFormatEtc.h"

#include <algorithm>
#include <new>

namespace {

class FormatEnumerator final : public ComObject<IEnumFORMATETC> {
 public:
  FormatEnumerator(std::vector<FORMATETC> formats, std::size_t position)
      : formats_(std::move(formats)), position_(position) {}

  HRESULT Next(ULONG celt, FORMATETC* rgelt, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    if (rgelt == nullptr || (fetched == nullptr && celt != 1)) return E_POINTER;
    const std::size_t n = std::min<std::size_t>(celt, formats_.size() - position_);
    std::copy_n(formats_.begin() + static_cast<std::ptrdiff_t>(position_), n, rgelt);
    position_ += n;
    if (fetched != nullptr) *fetched = static_cast<ULONG>(n);
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG celt) override {
    const std::size_t left = formats_.size() - position_;
    position_ += std::min<std::size_t>(celt, left);
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(IEnumFORMATETC** enumerator) override {
    if (enumerator == nullptr) return E_POINTER;
    *enumerator = nullptr;
    try {
      return CreateComInstance<FormatEnumerator>(
          IID_IEnumFORMATETC, reinterpret_cast<void**>(enumerator), formats_, position_);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  const std::vector<FORMATETC> formats_;
  std::size_t position_;
};

}  // namespace

HRESULT SHCreateStdEnumFmtEtc(UINT count, const FORMATETC formats[],
                              IEnumFORMATETC** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (formats == nullptr && count != 0) return E_INVALIDARG;
  try {
    std::vector<FORMATETC> copy(formats, formats + count);
    for (FORMATETC& format : copy) format.ptd = nullptr;
    return CreateComInstance<FormatEnumerator>(IID_IEnumFORMATETC, reinterpret_cast<void**>(out),
                                               std::move(copy), std::size_t{0});
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
