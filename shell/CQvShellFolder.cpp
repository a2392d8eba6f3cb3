// The shell folder of a container.
#include "shell/CQvShellFolder.h"

#include <algorithm>
#include <cstring>

#include "base/ClassIds.h"
#include "base/ContainerItemId.h"
#include "base/QvFolderExtApp.h"
#include "base/Settings.h"
#include "base/StringTable.h"
#include "base/SuiteServices.h"
#include "container/ContainerReader.h"
#include "container/QVDatabase.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/WorkFolders.h"
#include "platform/ole/TaskMemory.h"
#include "platform/ole/TextConversion.h"
#include "shell/CQvEnumIDList.h"
#include "shell/CQvExtractIcon.h"
#include "shell/CQvShellView.h"
#include "transfer/CQvDataObject.h"
#include "transfer/CQvDropTarget.h"
#include "util/CPath.h"

namespace {

// Interfaces other classes serve for this folder; they come with those classes.
constexpr IID kShellViewIid =
    MakeGuid(0x000214E3, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

// What GetAttributesOf reports for a folder: it has sub-folders, is a folder, can be browsed
// and takes drops. Files can only be copied; renaming, deleting and moving happen in the view.
constexpr SFGAOF kFolderAttributes =
    SFGAO_HASSUBFOLDER | SFGAO_FOLDER | SFGAO_BROWSABLE | SFGAO_DROPTARGET;

constexpr UINT IDS_TEMP_FILES_IN_USE = 175;
constexpr UINT kSystemModal = 0x1000;

// The container's name for its root in GetFolderName.
constexpr char kRootFolderName[] = "RootFolder";

HRESULT ResultOfOrder(int order) {
  return static_cast<HRESULT>(static_cast<USHORT>(static_cast<SHORT>(order)));
}

// The stored path of a folder as GetFolderName gives it, with the root as "".
bool StoredFolderPath(QVDatabase& database, DWORD folderId, std::string* path) {
  if (database.GetFolderName(folderId, *path) != VARIANT_TRUE) return false;
  if (folderId == 0 || *path == kRootFolderName) path->clear();
  return true;
}

// Every identifier of `apidl` must parse; the last identifier of each list is the item.
HRESULT ReadItems(UINT cidl, PCUITEMID_CHILD_ARRAY apidl, std::vector<ContainerItem>* items) {
  if (cidl > 0 && apidl == nullptr) return E_INVALIDARG;
  items->clear();
  for (UINT i = 0; i < cidl; ++i) {
    ContainerItem item;
    if (FAILED(ContainerItemId::ReadLast(apidl[i], &item))) return E_INVALIDARG;
    items->push_back(item);
  }
  return S_OK;
}

// The names, one per level, that `text` gives below `folder`: either a display name (the
// container path, then "/" and the item's path from the container's root, as
// GetDisplayNameOf writes it) of an item inside `folder`, or a path relative to `folder` with
// "/" or "\" between names. Empty names and "." are skipped. False for text that names no
// item inside `folder`: another container or folder, "..", or a name no item can have.
bool NamesBelow(const CQvShellFolder& folder, std::string_view text,
                std::vector<std::string>* names) {
  const std::string& container = folder.ContainerPath();
  const bool absolute = !text.empty() && text.front() == '/';
  if (absolute) {
    if (container.empty() || !text.starts_with(container) ||
        (text.size() > container.size() && text[container.size()] != '/'))
      return false;
    text.remove_prefix(container.size());
  }
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = absolute ? text.find('/', start) : text.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view part = text.substr(start, end - start);
    if (!part.empty() && part != ".") {
      if (!ContainerItemId::IsValidName(part) || part.size() > itemid::kMaxTextLength) return false;
      parts.emplace_back(part);
    }
    start = end + 1;
  }
  if (absolute) {
    // A display name runs from the container's root: it must pass through this folder.
    std::vector<std::string> here;
    const std::string& stored = folder.StoredPath();
    for (std::size_t at = 0; at < stored.size();) {
      const std::size_t next = std::min(stored.find('\\', at + 1), stored.size());
      here.emplace_back(stored.substr(at + 1, next - at - 1));
      at = next;
    }
    if (parts.size() < here.size() || !std::equal(here.begin(), here.end(), parts.begin()))
      return false;
    parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(here.size()));
  }
  if (parts.empty()) return false;
  *names = std::move(parts);
  return true;
}

// The identifier of the item called `name` in folder `parentId`, built from its row; a folder
// is preferred to a file of the same name, and only the last level may be a file.
HRESULT FindChild(QVDatabase& database, DWORD parentId, const std::string& name, DWORD version,
                  bool fileAllowed, LPITEMIDLIST* id) {
  // A folder without sub-folders or files gives no listing at all: nothing to find there.
  bool madeNone = false;
  const auto lookIn = [&](bool folders) {
    VARIANT rows{};
    const bool listed = (folders ? database.GetSubFolders(parentId, &rows)
                                 : database.GetFiles(parentId, &rows)) == VARIANT_TRUE;
    const LONG count = listed ? ContainerItemId::RowCount(rows) : -1;
    for (LONG row = 0; row < count && *id == nullptr && !madeNone; ++row) {
      ContainerItemFields fields;
      const bool read = folders ? ContainerItemId::FolderFieldsOfRow(rows, row, version, &fields)
                                : ContainerItemId::FileFieldsOfRow(rows, row, version, &fields);
      if (read && fields.name == name) {
        *id = ContainerItemId::Create(fields);
        madeNone = *id == nullptr;
      }
    }
    (void)VariantClear(&rows);
  };
  *id = nullptr;
  lookIn(true);
  if (*id == nullptr && fileAllowed && !madeNone) lookIn(false);
  if (madeNone) return E_OUTOFMEMORY;
  if (*id != nullptr) return S_OK;
  return HRESULT_FROM_WIN32(fileAllowed ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
}

// The relative list of `names` below folder `folderId`, looked up level by level in the store.
HRESULT FindItems(QVDatabase& database, DWORD folderId, const std::vector<std::string>& names,
                  LPITEMIDLIST* list) {
  *list = nullptr;
  const DWORD version = database.GetVersion();
  HRESULT hr = S_OK;
  DWORD parentId = folderId;
  LPITEMIDLIST built = nullptr;
  for (std::size_t i = 0; i < names.size() && SUCCEEDED(hr); ++i) {
    LPITEMIDLIST id = nullptr;
    hr = FindChild(database, parentId, names[i], version, i + 1 == names.size(), &id);
    if (FAILED(hr)) break;
    ContainerItem item;
    (void)ContainerItemId::ReadFirst(id, &item);
    parentId = item.folderId;
    LPITEMIDLIST longer = built == nullptr ? id : ILCombine(built, id);
    if (longer != id) ILFree(id);
    ILFree(built);
    built = longer;
    if (built == nullptr) hr = E_OUTOFMEMORY;
  }
  if (FAILED(hr)) {
    ILFree(built);
    return hr;
  }
  *list = built;
  return S_OK;
}

}  // namespace

HRESULT CQvShellFolder::CreateInstance(REFIID riid, void** ppv, ComModule* module) noexcept {
  return CreateComInstance<CQvShellFolder>(riid, ppv, module);
}

CQvShellFolder::CQvShellFolder(ComModule* module) : ComObject(module) {
  (void)StartSuiteServices();
}

CQvShellFolder::~CQvShellFolder() {
  ILFree(absoluteList_);
  RemoveTemporaryFiles();
}

void CQvShellFolder::RemoveTemporaryFiles() {
  RemoveDecryptedCopies();
  // A plain copy never outlives the folder in its private folder, whatever the setting says;
  // a leftover of a process that ended is swept by the next program of the suite.
  for (const PrivateFolder& folder : privateFolders_) {
    if (folder.monitored)
      QvReleaseWorkFolder(folder.path);
    else
      (void)QvRemoveWorkFolder(folder.path);
  }
}

void CQvShellFolder::RemoveDecryptedCopies() {
  if (temporaryFiles_.empty() || EnableTempDecFileWarning() != 1) return;
  bool allRemoved = true;
  for (const std::string& path : temporaryFiles_)
    allRemoved = CPath::OverwriteAndDelete(path.c_str()) && allRemoved;
  if (!allRemoved) {
    (void)MessageBoxA(nullptr, LoadStringText(IDS_TEMP_FILES_IN_USE).c_str(),
                      QvApp().productName.c_str(), MB_ICONEXCLAMATION | kSystemModal);
  }
}

bool CQvShellFolder::ContainerUnlocked() const {
  return !containerPath_.empty() && QvModuleTables().VerifiedViewCount(containerPath_) >= 1;
}

void CQvShellFolder::AddTemporaryFile(std::string path) {
  temporaryFiles_.push_back(std::move(path));
}

void CQvShellFolder::AddPrivateFolder(std::string path, bool monitored) {
  privateFolders_.push_back({std::move(path), monitored});
}

void CQvShellFolder::SetLocation(std::string containerPath, DWORD folderId, DWORD parentId,
                                 std::string storedPath, std::shared_ptr<ContainerReader> reader) {
  containerPath_ = std::move(containerPath);
  reader_ = std::move(reader);
  folderId_ = folderId;
  parentId_ = parentId;
  storedPath_ = std::move(storedPath);
}

// ---- IPersistFolder2 ----

HRESULT CQvShellFolder::GetClassID(CLSID* pClassID) {
  if (pClassID == nullptr) return E_POINTER;
  *pClassID = qvids::CLSID_QvShellFolder;
  return S_OK;
}

HRESULT CQvShellFolder::Initialize(PCIDLIST_ABSOLUTE pidl) {
  try {
    if (pidl == nullptr) return E_INVALIDARG;
    LPITEMIDLIST copy = ILClone(pidl);
    if (copy == nullptr) return E_OUTOFMEMORY;
    ILFree(absoluteList_);
    absoluteList_ = copy;
    if (containerPath_.empty()) containerPath_ = QvPathFromIDList(pidl);
    if (containerPath_.empty()) {
      containerPresent_ = false;
      return E_INVALIDARG;
    }
    if (!reader_ || reader_->Path() != containerPath_)
      reader_ = std::make_shared<ContainerReader>(containerPath_);
    const DWORD attributes = GetFileAttributesA(containerPath_.c_str());
    containerPresent_ =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return containerPresent_ ? S_OK : S_FALSE;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvShellFolder::GetCurFolder(PIDLIST_ABSOLUTE* ppidl) {
  if (ppidl == nullptr) return E_POINTER;
  *ppidl = nullptr;
  if (absoluteList_ == nullptr) return S_FALSE;
  *ppidl = ILClone(absoluteList_);
  return *ppidl != nullptr ? S_OK : E_OUTOFMEMORY;
}

// ---- IShellFolder ----

HRESULT CQvShellFolder::ParseDisplayName(HWND, IBindCtx*, LPWSTR pszDisplayName, ULONG* pchEaten,
                                         PIDLIST_RELATIVE* ppidl, ULONG* pdwAttributes) {
  if (pchEaten != nullptr) *pchEaten = 0;
  if (ppidl == nullptr) return E_INVALIDARG;
  *ppidl = nullptr;
  try {
    if (pszDisplayName == nullptr) return E_INVALIDARG;
    std::size_t length = 0;
    while (pszDisplayName[length] != u'\0') ++length;
    std::vector<std::string> names;
    if (!NamesBelow(*this, Utf16ToUtf8(std::u16string_view(pszDisplayName, length)), &names))
      return E_INVALIDARG;
    // Names are not told to anyone the container's view has not verified.
    if (!ContainerUnlocked()) return E_ACCESSDENIED;
    LPITEMIDLIST found = nullptr;
    HRESULT hr = E_FAIL;  // also when the container does not open
    if (reader_)
      (void)reader_->Read([&](QVDatabase& database) {
        hr = FindItems(database, folderId_, names, &found);
        return SUCCEEDED(hr);
      });
    if (FAILED(hr)) return hr;
    if (pdwAttributes != nullptr) {
      LPCITEMIDLIST one[] = {found};
      SFGAOF attributes = *pdwAttributes;
      *pdwAttributes = SUCCEEDED(GetAttributesOf(1, one, &attributes)) ? attributes : 0;
    }
    if (pchEaten != nullptr) *pchEaten = static_cast<ULONG>(length);
    *ppidl = found;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvShellFolder::EnumObjects(HWND, SHCONTF grfFlags, IEnumIDList** ppenumIDList) {
  if (ppenumIDList == nullptr) return E_POINTER;
  *ppenumIDList = nullptr;
  try {
    ComPtr<IEnumIDList> enumerator;
    const HRESULT hr =
        CQvEnumIDList::CreateInstance(IID_IEnumIDList, enumerator.ReleaseAndGetVoidAddressOf());
    if (FAILED(hr)) return hr;
    const HRESULT filled = static_cast<CQvEnumIDList*>(enumerator.Get())
                               ->Fill(static_cast<IShellFolder*>(this), containerPath_,
                                      reader_.get(), folderId_, grfFlags);
    *ppenumIDList = enumerator.Detach();
    return filled;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvShellFolder::BindToObject(PCUIDLIST_RELATIVE pidl, IBindCtx*, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  try {
    if (riid != IID_IShellFolder) return E_NOTIMPL;
    UINT count = 0;
    if (FAILED(ContainerItemId::CheckList(pidl, &count))) return E_INVALIDARG;
    ContainerItem last;
    for (LPCITEMIDLIST id = pidl; !ILIsEmpty(id); id = ILGetNext(id)) {
      if (FAILED(ContainerItemId::ReadFirst(id, &last))) return E_INVALIDARG;
      // Only folders are bound; a file is never opened as one.
      if (!last.IsFolder()) return E_INVALIDARG;
    }
    std::string storedPath;
    if (!reader_ || !reader_->Read([&](QVDatabase& database) {
          return StoredFolderPath(database, last.folderId, &storedPath);
        }))
      return E_NOTIMPL;

    ComPtr<IShellFolder> child;
    HRESULT hr = CreateInstance(riid, child.ReleaseAndGetVoidAddressOf());
    if (FAILED(hr)) return hr;
    auto* folder = static_cast<CQvShellFolder*>(child.Get());
    folder->SetLocation(containerPath_, last.folderId, last.ParentId(), std::move(storedPath),
                        reader_);
    LPITEMIDLIST absolute = ILCombine(absoluteList_, pidl);
    if (absolute == nullptr) return E_OUTOFMEMORY;
    (void)folder->Initialize(absolute);
    ILFree(absolute);
    *ppv = child.Detach();
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvShellFolder::BindToStorage(PCUIDLIST_RELATIVE, IBindCtx*, REFIID, void** ppv) {
  if (ppv != nullptr) *ppv = nullptr;
  return E_NOTIMPL;
}

HRESULT CQvShellFolder::CompareIDs(LPARAM lParam, PCUIDLIST_RELATIVE pidl1,
                                   PCUIDLIST_RELATIVE pidl2) {
  if (FAILED(ContainerItemId::CheckList(pidl1, nullptr)) ||
      FAILED(ContainerItemId::CheckList(pidl2, nullptr)))
    return E_INVALIDARG;
  const auto column = static_cast<UINT>(lParam & SHCIDS_COLUMNMASK);
  LPCITEMIDLIST a = pidl1;
  LPCITEMIDLIST b = pidl2;
  for (;;) {
    ContainerItem first, second;
    if (FAILED(ContainerItemId::ReadFirst(a, &first)) ||
        FAILED(ContainerItemId::ReadFirst(b, &second)))
      return E_INVALIDARG;
    a = ILGetNext(a);
    b = ILGetNext(b);
    const bool lastA = ILIsEmpty(a);
    const bool lastB = ILIsEmpty(b);
    // The folders on the way are ordered by name; the chosen column orders the items.
    const int order = ContainerItemId::Compare(first, second, lastA && lastB ? column : 0);
    if (order != 0) return ResultOfOrder(order);
    if (lastA || lastB) return ResultOfOrder(lastA == lastB ? 0 : (lastA ? -1 : 1));
  }
}

HRESULT CQvShellFolder::CreateViewObject(HWND hwndOwner, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!containerPresent_) return E_NOINTERFACE;
  // The view and the folder's drop target come with their own classes.
  if (riid == kShellViewIid) return CreateShellView(this, riid, ppv);
  if (riid == IID_IDropTarget) {
    try {
      return CreateDropTarget({containerPath_, folderId_, storedPath_}, hwndOwner, riid, ppv);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  return E_NOINTERFACE;
}

HRESULT CQvShellFolder::CreateDropTarget(DropPlace place, HWND owner, REFIID riid, void** ppv) {
  ComPtr<CQvDropTarget> target;
  HRESULT hr =
      CQvDropTarget::CreateInstance(IQvDropTarget::kIid, target.ReleaseAndGetVoidAddressOf());
  if (FAILED(hr)) return hr;
  target->SetTarget(static_cast<IShellFolder*>(this), std::move(place), owner, nullptr);
  return target->QueryInterface(riid, ppv);
}

HRESULT CQvShellFolder::GetAttributesOf(UINT cidl, PCUITEMID_CHILD_ARRAY apidl, SFGAOF* rgfInOut) {
  if (rgfInOut == nullptr) return E_POINTER;
  try {
    std::vector<ContainerItem> items;
    if (FAILED(ReadItems(cidl, apidl, &items))) return E_INVALIDARG;
    if (!HoldsFolder(items.empty() ? folderId_ : items[0].folderId)) {
      *rgfInOut = 0;
      return S_FALSE;
    }
    if (items.empty()) {
      *rgfInOut = kFolderAttributes;
      return S_OK;
    }
    for (const ContainerItem& item : items)
      *rgfInOut &= SFGAO_CANCOPY | (item.IsFolder() ? kFolderAttributes : 0);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvShellFolder::GetUIObjectOf(HWND hwndOwner, UINT cidl, PCUITEMID_CHILD_ARRAY apidl,
                                      REFIID riid, UINT*, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  try {
    std::vector<ContainerItem> items;
    if (cidl == 0 || FAILED(ReadItems(cidl, apidl, &items))) return E_INVALIDARG;
    if (riid == IID_IExtractIconA) {
      ComPtr<IExtractIconA> icon;
      HRESULT hr = CQvExtractIcon::CreateInstance(riid, icon.ReleaseAndGetVoidAddressOf());
      if (FAILED(hr)) return hr;
      hr = static_cast<CQvExtractIcon*>(icon.Get())
               ->SetItem(static_cast<IShellFolder*>(this), ILFindLastID(apidl[0]));
      if (FAILED(hr)) return hr;
      *ppv = icon.Detach();
      return S_OK;
    }
    // A file is never a place to drop into.
    if (riid == IID_IDropTarget) {
      if (!items[0].IsFolder() || !containerPresent_) return E_INVALIDARG;
      return CreateDropTarget({containerPath_, items[0].folderId, InnerPathOf(apidl[0], items[0])},
                              hwndOwner, riid, ppv);
    }
    if (riid == IID_IDataObject) return MakeDataObject(cidl, apidl, items[0], ppv);
    return E_NOINTERFACE;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvShellFolder::MakeDataObject(UINT cidl, PCUITEMID_CHILD_ARRAY apidl,
                                       const ContainerItem& first, void** ppv) {
  // The items must still be there: the first item's folder is asked for its name.
  std::string folderName;
  const bool present = reader_ && reader_->Read([&](QVDatabase& database) {
    return database.GetFolderName(first.folderId, folderName) == VARIANT_TRUE;
  });
  if (!present) return E_NOINTERFACE;
  ComPtr<IQvDataObject> made;
  HRESULT hr =
      CQvDataObject::CreateInstance(IQvDataObject::kIid, made.ReleaseAndGetVoidAddressOf());
  if (FAILED(hr)) return hr;
  auto* dataObject = static_cast<CQvDataObject*>(made.Get());
  hr = dataObject->SetItems(static_cast<IShellFolder*>(this), containerPath_, apidl, cidl);
  if (FAILED(hr)) return hr;
  // A view that verified the user lets the items be moved out under that user's key.
  const std::string verified = QvModuleTables().VerifiedUser(containerPath_);
  dataObject->SetVerifiedUser(verified);
  dataObject->SetDecryptionSession(DecryptionSession(verified));
  return dataObject->QueryInterface(IID_IDataObject, ppv);
}

std::shared_ptr<ContainerDecryptionSession> CQvShellFolder::DecryptionSession(
    const std::string& verified) {
  std::string userId = ContainerDecryptionSession::DecryptingUser(verified);
  if (!session_ || session_->ContainerPath() != containerPath_ || session_->UserId() != userId)
    session_ = std::make_shared<ContainerDecryptionSession>(containerPath_, std::move(userId));
  return session_;
}

bool CQvShellFolder::HoldsFolder(DWORD folderId) {
  FILE_IDENTITY now;
  const bool stateRead = GetFileIdentityA(containerPath_.c_str(), &now) != FALSE;
  if (stateRead && now == knownState_ && knownFolders_.count(folderId) != 0) return true;
  std::string path;
  const bool held = reader_ && reader_->Read([&](QVDatabase& database) {
    return StoredFolderPath(database, folderId, &path);
  });
  if (!held || !stateRead) return held;
  FILETIME clock{};
  GetSystemTimeAsFileTime(&clock);
  // FILETIME counts 100 ns from 1601, the identity's times ns from 1970.
  constexpr LONGLONG kSettledNs = 1000000000LL;
  const LONGLONG nowNs =
      (static_cast<LONGLONG>(FileTimeToTicks(clock)) -
       kFileTimeUnixEpochSeconds * static_cast<LONGLONG>(kFileTimeTicksPerSecond)) *
      100;
  if (nowNs - std::max(now.writeNs, now.changeNs) < kSettledNs) return true;
  if (!(now == knownState_)) {
    knownFolders_.clear();
    knownState_ = now;
  }
  knownFolders_.insert(folderId);
  return true;
}

std::string CQvShellFolder::InnerPathOf(LPCITEMIDLIST list, const ContainerItem& item) const {
  if (item.hasStoredPath) return std::string(item.storedPath);
  // The item's folder: the identifier before it, this folder, or the container's word.
  std::string parent;
  LPCITEMIDLIST previous = nullptr;
  for (LPCITEMIDLIST id = list; !ILIsEmpty(ILGetNext(id)); id = ILGetNext(id)) previous = id;
  ContainerItem before;
  const DWORD parentId = item.IsFolder() ? item.ParentId() : item.folderId;
  if (previous != nullptr && SUCCEEDED(ContainerItemId::ReadFirst(previous, &before)) &&
      before.hasStoredPath && before.folderId == parentId) {
    parent = std::string(before.storedPath);
  } else if (parentId == folderId_) {
    parent = storedPath_;
  } else {
    const bool known = reader_ && reader_->Read([&](QVDatabase& database) {
      return StoredFolderPath(database, parentId, &parent);
    });
    if (!known) return {};
  }
  return parent + "\\" + std::string(item.name);
}

HRESULT CQvShellFolder::GetDisplayNameOf(PCUITEMID_CHILD pidl, SHGDNF uFlags, STRRET* pName) {
  if (pName == nullptr) return E_POINTER;
  pName->uType = STRRET_CSTR;
  pName->cStr[0] = '\0';
  try {
    ContainerItem item;
    if (FAILED(ContainerItemId::ReadLast(pidl, &item))) return E_INVALIDARG;
    std::string text;
    if ((uFlags & SHGDN_INFOLDER) != 0) {
      text = std::string(item.name);
    } else {
      std::string inner = InnerPathOf(pidl, item);
      if (inner.empty()) return E_FAIL;
      std::replace(inner.begin(), inner.end(), '\\', '/');
      text = containerPath_ + inner;
    }
    if (text.size() < kStrRetBufferSize) {
      std::memcpy(pName->cStr, text.c_str(), text.size() + 1);
      return S_OK;
    }
    // Too long for the record's own buffer: handed out whole, never cut.
    const std::u16string wide = Utf8ToUtf16(text);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(char16_t)));
    if (wide.empty() || copy == nullptr) {
      CoTaskMemFree(copy);
      return E_OUTOFMEMORY;
    }
    std::memcpy(copy, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
    pName->uType = STRRET_WSTR;
    pName->pOleStr = copy;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvShellFolder::SetNameOf(HWND, PCUITEMID_CHILD pidl, LPCWSTR pszName, SHGDNF,
                                  PITEMID_CHILD* ppidlOut) {
  if (ppidlOut != nullptr) *ppidlOut = nullptr;
  try {
    ContainerItem item;
    if (pszName == nullptr || FAILED(ContainerItemId::ReadLast(pidl, &item))) return E_INVALIDARG;
    std::size_t length = 0;
    while (pszName[length] != u'\0') ++length;
    const std::string newName = Utf16ToUtf8(std::u16string_view(pszName, length));
    if (!ContainerItemId::IsValidName(newName) || newName.size() > itemid::kMaxTextLength)
      return E_INVALIDARG;
    // Only a user verified for this container renames in it.
    if (!ContainerUnlocked()) return E_ACCESSDENIED;
    LPITEMIDLIST renamed = ContainerItemId::Renamed(item, newName);
    if (renamed == nullptr) return E_OUTOFMEMORY;
    QVDatabase database;
    bool done = database.Open(containerPath_, FALSE) == VARIANT_TRUE;
    if (done) {
      done = (item.IsFolder()
                  ? database.RenameFolder(newName, item.folderId)
                  : database.RenameFile(newName, item.folderId, item.FileId())) == VARIANT_TRUE;
    }
    (void)database.Close();
    if (!done) {
      ILFree(renamed);
      return E_FAIL;
    }
    if (ppidlOut != nullptr)
      *ppidlOut = renamed;
    else
      ILFree(renamed);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
