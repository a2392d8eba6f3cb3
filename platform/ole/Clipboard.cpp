// The process clipboard and the snapshot a flush leaves on it.
#include "platform/ole/Clipboard.h"

#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/ole/EnumFormatEtc.h"

namespace {

// Global blocks copied out of a data object, offered again one copy per GetData.
class ClipboardSnapshot final : public ComObject<IDataObject> {
 public:
  struct Rendered {
    FORMATETC format;
    std::vector<BYTE> bytes;
  };
  explicit ClipboardSnapshot(std::vector<Rendered> formats) : formats_(std::move(formats)) {}

  HRESULT GetData(FORMATETC* format, STGMEDIUM* medium) override {
    if (format == nullptr || medium == nullptr) return E_INVALIDARG;
    *medium = {};
    const Rendered* found = Find(format);
    if (found == nullptr) return DV_E_FORMATETC;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, found->bytes.size());
    if (block == nullptr) return E_OUTOFMEMORY;
    if (!found->bytes.empty()) {
      std::memcpy(GlobalLock(block), found->bytes.data(), found->bytes.size());
      (void)GlobalUnlock(block);
    }
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = block;
    return S_OK;
  }
  HRESULT GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT QueryGetData(FORMATETC* format) override {
    if (format == nullptr) return E_INVALIDARG;
    return Find(format) != nullptr ? S_OK : DV_E_FORMATETC;
  }
  HRESULT GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT EnumFormatEtc(DWORD direction, IEnumFORMATETC** enumerator) override {
    if (direction != DATADIR_GET) return E_NOTIMPL;
    try {
      std::vector<FORMATETC> offered;
      for (const Rendered& rendered : formats_) offered.push_back(rendered.format);
      return SHCreateStdEnumFmtEtc(static_cast<UINT>(offered.size()), offered.data(), enumerator);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
    return OLE_E_ADVISENOTSUPPORTED;
  }
  HRESULT DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
  HRESULT EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

 private:
  const Rendered* Find(const FORMATETC* format) const {
    if ((format->tymed & TYMED_HGLOBAL) == 0) return nullptr;
    for (const Rendered& rendered : formats_)
      if (rendered.format.cfFormat == format->cfFormat &&
          rendered.format.lindex == format->lindex &&
          (rendered.format.dwAspect & format->dwAspect) != 0)
        return &rendered;
    return nullptr;
  }
  const std::vector<Rendered> formats_;
};

struct ClipboardState {
  std::mutex lock;
  IDataObject* current = nullptr;  // one reference, or null
  DWORD sequence = 1;
};

ClipboardState& State() {
  static ClipboardState* state = new ClipboardState;  // never destroyed: objects may outlive it
  return *state;
}

// The global-memory formats `data` lists, each copied out; a format that cannot be had is
// left out, as a source that stopped offering it.
HRESULT Render(IDataObject* data, std::vector<ClipboardSnapshot::Rendered>* formats) {
  ComPtr<IEnumFORMATETC> offered;
  if (FAILED(data->EnumFormatEtc(DATADIR_GET, offered.ReleaseAndGetAddressOf())) || !offered)
    return S_OK;
  FORMATETC format;
  ULONG fetched = 0;
  while (offered->Next(1, &format, &fetched) == S_OK && fetched == 1) {
    if ((format.tymed & TYMED_HGLOBAL) == 0) continue;
    FORMATETC request{format.cfFormat, nullptr, format.dwAspect, format.lindex, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    if (FAILED(data->GetData(&request, &medium))) continue;
    if (medium.tymed == TYMED_HGLOBAL) {
      const SIZE_T size = GlobalSize(medium.hGlobal);
      const auto* bytes = static_cast<const BYTE*>(GlobalLock(medium.hGlobal));
      if (bytes != nullptr) {
        formats->push_back({request, std::vector<BYTE>(bytes, bytes + size)});
        (void)GlobalUnlock(medium.hGlobal);
      }
    }
    ReleaseStgMedium(&medium);
  }
  return S_OK;
}

HRESULT NewSnapshot(std::vector<ClipboardSnapshot::Rendered> formats, IDataObject** out) {
  return CreateComInstance<ClipboardSnapshot>(IID_IDataObject, reinterpret_cast<void**>(out),
                                              std::move(formats));
}

}  // namespace

HRESULT OleSetClipboard(IDataObject* data) noexcept {
  if (data != nullptr) data->AddRef();
  IDataObject* old = nullptr;
  {
    ClipboardState& state = State();
    const std::lock_guard<std::mutex> guard(state.lock);
    old = std::exchange(state.current, data);
    ++state.sequence;
  }
  if (old != nullptr) old->Release();  // outside the lock: its release may use the clipboard
  return S_OK;
}

HRESULT OleGetClipboard(IDataObject** data) noexcept {
  if (data == nullptr) return E_INVALIDARG;
  *data = nullptr;
  {
    ClipboardState& state = State();
    const std::lock_guard<std::mutex> guard(state.lock);
    if (state.current != nullptr) {
      state.current->AddRef();
      *data = state.current;
      return S_OK;
    }
  }
  try {
    return NewSnapshot({}, data);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OleFlushClipboard() noexcept {
  ClipboardState& state = State();
  ComPtr<IDataObject> source;
  DWORD sequence = 0;
  {
    const std::lock_guard<std::mutex> guard(state.lock);
    source = ComPtr<IDataObject>(state.current);
    sequence = state.sequence;
  }
  if (!source) return S_OK;
  try {
    std::vector<ClipboardSnapshot::Rendered> formats;
    (void)Render(source.Get(), &formats);
    ComPtr<IDataObject> snapshot;
    const HRESULT hr = NewSnapshot(std::move(formats), snapshot.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    IDataObject* old = nullptr;
    {
      const std::lock_guard<std::mutex> guard(state.lock);
      // Someone set the clipboard while the source rendered: theirs stays.
      if (state.sequence != sequence) return S_OK;
      old = std::exchange(state.current, snapshot.Detach());
      ++state.sequence;
    }
    if (old != nullptr) old->Release();
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OleIsCurrentClipboard(IDataObject* data) noexcept {
  ClipboardState& state = State();
  const std::lock_guard<std::mutex> guard(state.lock);
  return data != nullptr && data == state.current ? S_OK : S_FALSE;
}

DWORD GetClipboardSequenceNumber() noexcept {
  ClipboardState& state = State();
  const std::lock_guard<std::mutex> guard(state.lock);
  return state.sequence;
}
