// Icons of encrypted items.
#include "shell/CQvExtractIcon.h"

#include <cstring>

#include "base/ClassIds.h"
#include "base/SuiteServices.h"
#include "platform/AsciiCase.h"
#include "platform/ole/TextConversion.h"
#include "platform/shell/FileInfo.h"
#include "base/ContainerItemId.h"

namespace {

constexpr UINT kSmallIconSize = 16;

}  // namespace

HRESULT CQvExtractIcon::CreateInstance(REFIID riid, void** ppv, ComModule* module) noexcept {
  return CreateComInstance<CQvExtractIcon>(riid, ppv, module);
}

CQvExtractIcon::CQvExtractIcon(ComModule* module) : ComObject(module) {}

CQvExtractIcon::~CQvExtractIcon() { ILFree(item_); }

HRESULT CQvExtractIcon::SetItem(IShellFolder* folder, LPCITEMIDLIST item) {
  ContainerItem parsed;
  if (folder == nullptr || FAILED(ContainerItemId::ReadFirst(item, &parsed))) return E_INVALIDARG;
  LPITEMIDLIST copy = ILCloneFirst(item);
  if (copy == nullptr) return E_OUTOFMEMORY;
  ILFree(item_);
  item_ = copy;
  folder_ = ComPtr<IShellFolder>(folder);
  standalone_ = false;
  return S_OK;
}

HRESULT CQvExtractIcon::GetClassID(CLSID* pClassID) {
  if (pClassID == nullptr) return E_POINTER;
  *pClassID = qvids::CLSID_QvExtractIcon;
  return S_OK;
}

HRESULT CQvExtractIcon::IsDirty() { return E_NOTIMPL; }

HRESULT CQvExtractIcon::Load(LPCWSTR pszFileName, DWORD) {
  if (pszFileName == nullptr) return E_INVALIDARG;
  try {
    std::size_t length = 0;
    while (pszFileName[length] != u'\0') ++length;
    std::string path = Utf16ToUtf8(std::u16string_view(pszFileName, length));
    if (const std::size_t slash = path.rfind('/'); slash != std::string::npos)
      path.erase(0, slash + 1);
    const std::string name = ToLowerAscii(path);
    constexpr std::string_view kQvf = ".qvf";
    if (name.size() > kQvf.size() && name.ends_with(kQvf)) {
      standaloneIsFolder_ = false;
      iconName_ = name.substr(0, name.size() - kQvf.size());
    } else {
      standaloneIsFolder_ = true;
      iconName_.clear();
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvExtractIcon::Save(LPCWSTR, BOOL) { return E_NOTIMPL; }
HRESULT CQvExtractIcon::SaveCompleted(LPCWSTR) { return E_NOTIMPL; }
HRESULT CQvExtractIcon::GetCurFile(LPWSTR* ppszFileName) {
  if (ppszFileName != nullptr) *ppszFileName = nullptr;
  return E_NOTIMPL;
}

HRESULT CQvExtractIcon::GetIconLocation(UINT uFlags, LPSTR, UINT, int* piIndex, UINT* pwFlags) {
  if (piIndex == nullptr || pwFlags == nullptr) return E_POINTER;
  *piIndex = 0;
  *pwFlags = GIL_NOTFILENAME | GIL_DONTCACHE;
  try {
    bool folder = standaloneIsFolder_;
    std::string name = iconName_;
    if (!standalone_) {
      ContainerItem item;
      if (FAILED(ContainerItemId::ReadFirst(item_, &item))) return E_INVALIDARG;
      folder = item.IsFolder();
      name = std::string(item.name);
    }
    SHFILEINFOA info{};
    const UINT open = (uFlags & GIL_OPENICON) != 0 ? SHGFI_OPENICON : 0;
    const std::uintptr_t list =
        folder ? SHGetFileInfoA("folder", 0x10, &info, sizeof info,
                                SHGFI_SYSICONINDEX | SHGFI_USEFILEATTRIBUTES | open)
               : SHGetFileInfoA(name.empty() ? "file" : name.c_str(), 0, &info, sizeof info,
                                SHGFI_SYSICONINDEX | SHGFI_USEFILEATTRIBUTES);
    if (list == 0) return E_FAIL;
    *piIndex = info.iIcon;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvExtractIcon::Extract(LPCSTR, UINT nIconIndex, HICON* phiconLarge, HICON* phiconSmall,
                                UINT nIconSize) {
  if (phiconLarge != nullptr) *phiconLarge = nullptr;
  if (phiconSmall != nullptr) *phiconSmall = nullptr;
  AttachSystemImageLists();
  const auto index = static_cast<int>(nIconIndex);
  if (QvSystemIconName(index).empty()) return E_INVALIDARG;
  // The large size is in the low word; the high word, when given, is the small one.
  const UINT largeSize = LOWORD(nIconSize);
  const UINT smallSize = HIWORD(nIconSize) != 0 ? HIWORD(nIconSize) : kSmallIconSize;
  if (phiconSmall != nullptr) {
    *phiconSmall = QvSystemIconWithOverlay(index, smallSize, IDI_QV_OVERLAY);
    if (*phiconSmall == nullptr) return E_OUTOFMEMORY;
  }
  if (phiconLarge != nullptr) {
    *phiconLarge = QvSystemIconWithOverlay(index, largeSize, IDI_QV_OVERLAY);
    if (*phiconLarge == nullptr) return E_OUTOFMEMORY;
  }
  return S_OK;
}
