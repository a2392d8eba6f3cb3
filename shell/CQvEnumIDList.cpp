// The enumerator: one listing of one folder, then a walk over copies.
#include "shell/CQvEnumIDList.h"

#include <algorithm>
#include <new>

#include "base/ClassIds.h"
#include "base/ContainerItemId.h"
#include "base/QvFolderExtApp.h"
#include "container/ContainerReader.h"
#include "container/QVDatabase.h"
#include "platform/Collation.h"

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

HRESULT CQvEnumIDList::Fill(IShellFolder* folder, const std::string& containerPath,
                            ContainerReader* reader, DWORD folderId, SHCONTF flags) {
  FreeItems();
  folder_ = ComPtr<IShellFolder>(folder);
  flags_ = flags;
  // Nothing of a container is listed before a view of it verified its user.
  if (containerPath.empty() || QvModuleTables().VerifiedViewCount(containerPath) < 1)
    return S_FALSE;
  if (reader == nullptr) return S_OK;
  // Each item with its sort key, made once: sorting then compares keys, not names.
  struct Listed {
    std::string key;
    ContainerItem item;
    LPITEMIDLIST id;
  };
  std::vector<Listed> listed;
  const auto add = [&listed](LPITEMIDLIST id) {
    try {
      Listed entry{{}, {}, id};
      if (FAILED(ContainerItemId::ReadFirst(id, &entry.item))) throw std::bad_alloc();
      entry.key = QvCollationKey(entry.item.name);
      listed.push_back(std::move(entry));
    } catch (...) {
      ILFree(id);
    }
  };
  // The rows are read in one turn on the reader; an empty folder gives no rows at all, which
  // is no failed read.
  (void)reader->Read([&](QVDatabase& database) {
    const DWORD version = database.GetVersion();
    if ((flags & SHCONTF_FOLDERS) != 0) {
      VARIANT rows{};
      if (database.GetSubFolders(folderId, &rows) == VARIANT_TRUE) {
        (void)ContainerItemId::FromFolderRows(rows, version, add);
        (void)VariantClear(&rows);
      }
    }
    if ((flags & SHCONTF_NONFOLDERS) != 0) {
      VARIANT rows{};
      if (database.GetFiles(folderId, &rows) == VARIANT_TRUE) {
        (void)ContainerItemId::FromFileRows(rows, version, add);
        (void)VariantClear(&rows);
      }
    }
    return true;
  });
  // As a file manager lists a folder: folders first, then files, each by name in the user's
  // collation; names that collate alike keep the order CompareIDs gives them.
  std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
    if (a.item.IsFolder() != b.item.IsFolder()) return a.item.IsFolder();
    if (a.key != b.key) return a.key < b.key;
    return ContainerItemId::Compare(a.item, b.item, 0) < 0;
  });
  items_.reserve(listed.size());
  for (Listed& entry : listed) items_.push_back(entry.id);
  return S_OK;
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
