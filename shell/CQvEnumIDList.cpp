// The enumerator: one listing of one folder, then a walk over copies.
#include "shell/CQvEnumIDList.h"

#include "base/ClassIds.h"
#include "base/QvFolderExtApp.h"
#include "container/QVDatabase.h"
#include "base/ContainerItemId.h"

HRESULT CQvEnumIDList::CreateInstance(REFIID riid, void** ppv, ComModule* module) noexcept {
  return CreateComInstance<CQvEnumIDList>(riid, ppv, module);
}

CQvEnumIDList::CQvEnumIDList(ComModule* module) : ComObject(module) {}

CQvEnumIDList::~CQvEnumIDList() { FreeItems(); }

void CQvEnumIDList::FreeItems() {
  for (LPITEMIDLIST id : items_) ILFree(id);
  items_.clear();
  position_ = 0;
}

void CQvEnumIDList::Fill(IShellFolder* folder, const std::string& containerPath, DWORD folderId,
                         SHCONTF flags) {
  FreeItems();
  folder_ = ComPtr<IShellFolder>(folder);
  flags_ = flags;
  // Nothing of a container is listed before a view of it verified its user.
  if (containerPath.empty() || QvModuleTables().VerifiedViewCount(containerPath) < 1) return;
  QVDatabase database;
  if (database.Open(containerPath, FALSE) != VARIANT_TRUE) return;
  const DWORD version = database.GetVersion();
  const auto add = [this](LPITEMIDLIST id) {
    try {
      items_.push_back(id);
    } catch (...) {
      ILFree(id);
    }
  };
  // Files first, then folders, each in the store's order.
  if ((flags & SHCONTF_NONFOLDERS) != 0) {
    VARIANT rows{};
    if (database.GetFiles(folderId, &rows) == VARIANT_TRUE) {
      (void)ContainerItemId::FromFileRows(rows, version, add);
      (void)VariantClear(&rows);
    }
  }
  if ((flags & SHCONTF_FOLDERS) != 0) {
    VARIANT rows{};
    if (database.GetSubFolders(folderId, &rows) == VARIANT_TRUE) {
      (void)ContainerItemId::FromFolderRows(rows, version, add);
      (void)VariantClear(&rows);
    }
  }
  (void)database.Close();
}

HRESULT CQvEnumIDList::Next(ULONG celt, PITEMID_CHILD* rgelt, ULONG* pceltFetched) {
  if (pceltFetched != nullptr) *pceltFetched = 0;
  if (rgelt == nullptr || (celt > 1 && pceltFetched == nullptr)) return E_INVALIDARG;
  ULONG given = 0;
  while (given < celt && position_ < items_.size()) {
    LPITEMIDLIST copy = ILClone(items_[position_]);
    if (copy == nullptr) {
      // Nothing half-handed: the copies made so far go back.
      for (ULONG i = 0; i < given; ++i) {
        ILFree(rgelt[i]);
        rgelt[i] = nullptr;
      }
      position_ -= given;
      return E_OUTOFMEMORY;
    }
    rgelt[given++] = copy;
    ++position_;
  }
  if (pceltFetched != nullptr) *pceltFetched = given;
  return given == celt ? S_OK : S_FALSE;
}

HRESULT CQvEnumIDList::Skip(ULONG celt) {
  const std::size_t left = items_.size() - position_;
  if (celt > left) {
    position_ = items_.size();
    return S_FALSE;
  }
  position_ += celt;
  return S_OK;
}

HRESULT CQvEnumIDList::Reset() {
  position_ = 0;
  return S_OK;
}

HRESULT CQvEnumIDList::Clone(IEnumIDList** ppenum) {
  if (ppenum != nullptr) *ppenum = nullptr;
  return E_NOTIMPL;
}
