// The memory stream behind SHCreateMemStream.
#include "platform/ole/Stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace {

class MemoryStream final : public ComObject<IStream> {
 public:
  MemoryStream(const BYTE* data, UINT size) {
    if (data != nullptr) bytes_.assign(data, data + size);
  }

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead != nullptr) *pcbRead = 0;
    if (pv == nullptr && cb != 0) return E_POINTER;
    const std::uint64_t left = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
    const ULONG count = static_cast<ULONG>(std::min<std::uint64_t>(cb, left));
    if (count != 0) std::memcpy(pv, bytes_.data() + position_, count);
    position_ += count;
    if (pcbRead != nullptr) *pcbRead = count;
    return count == cb ? S_OK : S_FALSE;
  }

  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten != nullptr) *pcbWritten = 0;
    if (pv == nullptr && cb != 0) return E_POINTER;
    try {
      const std::uint64_t end = position_ + cb;
      if (end > kMaxSize) return STG_E_MEDIUMFULL;
      if (end > bytes_.size()) bytes_.resize(static_cast<size_t>(end));
      if (cb != 0) std::memcpy(bytes_.data() + position_, pv, cb);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    position_ += cb;
    if (pcbWritten != nullptr) *pcbWritten = cb;
    return S_OK;
  }

  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    std::int64_t base = 0;
    switch (origin) {
      case STREAM_SEEK_SET:
        break;
      case STREAM_SEEK_CUR:
        base = static_cast<std::int64_t>(position_);
        break;
      case STREAM_SEEK_END:
        base = static_cast<std::int64_t>(bytes_.size());
        break;
      default:
        return STG_E_INVALIDFUNCTION;
    }
    // A position before the start is refused; one past the end is allowed (a later write
    // fills the gap with zeros).
    if (move.QuadPart < -base || move.QuadPart > static_cast<std::int64_t>(kMaxSize) - base)
      return STG_E_INVALIDFUNCTION;
    position_ = static_cast<std::uint64_t>(base + move.QuadPart);
    if (newPosition != nullptr) newPosition->QuadPart = position_;
    return S_OK;
  }

  HRESULT SetSize(ULARGE_INTEGER newSize) override {
    if (newSize.QuadPart > kMaxSize) return STG_E_MEDIUMFULL;
    try {
      bytes_.resize(static_cast<size_t>(newSize.QuadPart));
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return S_OK; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT Stat(STATSTG* stat, DWORD) override {
    if (stat == nullptr) return E_POINTER;
    stat->pwcsName = nullptr;
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = bytes_.size();
    return S_OK;
  }
  HRESULT Clone(IStream** ppstm) override {
    if (ppstm != nullptr) *ppstm = nullptr;
    return E_NOTIMPL;
  }

 private:
  // A view's state is a few dozen bytes; the limit keeps a runaway writer from taking the
  // machine's memory.
  static constexpr std::uint64_t kMaxSize = 64u << 20;

  std::vector<BYTE> bytes_;
  std::uint64_t position_ = 0;
};

}  // namespace

IStream* SHCreateMemStream(const BYTE* data, UINT size) noexcept {
  try {
    return new MemoryStream(data, size);
  } catch (...) {
    return nullptr;
  }
}
