// The drop target of a container (see CQvDropTarget.h).
#include "transfer/CQvDropTarget.h"

#include <exception>
#include <optional>
#include <utility>

#include "base/ContainerItemId.h"
#include "base/ItemNames.h"
#include "base/ModuleTables.h"
#include "base/QvFolderExtApp.h"
#include "dialogs/CInvalidUser.h"
#include "engine/CProgressDlg.h"
#include "engine/OperationFrame.h"
#include "platform/Files.h"
#include "platform/shell/ChangeNotify.h"
#include "platform/shell/DragQuery.h"
#include "platform/shell/FileInfo.h"
#include "platform/ui/Controls.h"
#include "platform/ui/WindowApi.h"
#include "sharing/SharingAccess.h"

namespace {

constexpr DWORD kAuditEventDrop = 11;
// The view's Refresh command, posted to every open view of the container after a drop.
constexpr WORD kViewRefreshCommand = 32778;
// The drag image index that is still to be looked up.
constexpr int kImageNotLookedUp = 1;

std::pair<std::string, std::string> SplitLast(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The file or folder `path` names, without following a link in its last component.
bool IdentityOf(const std::string& path, FILE_IDENTITY* identity) {
  FolderHandle folder;
  if (folder.Open(path.c_str())) return folder.GetIdentity(identity) != FALSE;
  const auto [parentPath, name] = SplitLast(path);
  FolderHandle parent;
  OpenedFile file;
  return parent.Open(parentPath.c_str()) && parent.OpenFile(name.c_str(), &file) &&
         file.GetIdentity(identity);
}

// The container and every folder that holds it, from the container up to "/": none of them
// may be stored into the container.
std::vector<FILE_IDENTITY> ContainerAndItsFolders(const std::string& containerPath) {
  std::vector<FILE_IDENTITY> found;
  std::string resolved(8000, '\0');
  const DWORD length = GetFinalPathNameA(containerPath.c_str(), resolved.data(),
                                         static_cast<DWORD>(resolved.size()));
  if (length == 0 || length >= resolved.size()) return found;
  resolved.resize(length);
  for (std::string path = resolved;;) {
    FILE_IDENTITY identity;
    if (IdentityOf(path, &identity)) found.push_back(identity);
    if (path == "/") break;
    path = SplitLast(path).first;
  }
  return found;
}

// Counts the container as verified for `userId` while it lives, for a drop onto a container
// that no view has open; the entry goes again however the drop ends.
class TemporaryVerification {
 public:
  TemporaryVerification(const std::string& containerPath, const std::string& userId)
      : containerPath_(containerPath) {
    QvModuleTables().AddVerifiedView(containerPath_, userId);
  }
  ~TemporaryVerification() { QvModuleTables().RemoveVerifiedView(containerPath_); }
  TemporaryVerification(const TemporaryVerification&) = delete;
  TemporaryVerification& operator=(const TemporaryVerification&) = delete;

 private:
  std::string containerPath_;
};

}  // namespace

HRESULT CQvDropTarget::CreateInstance(REFIID riid, void** ppv, ComModule* module) noexcept {
  return CreateComInstance<CQvDropTarget>(riid, ppv, module);
}

CQvDropTarget::CQvDropTarget(ComModule* module) : ComObject(module) {}

CQvDropTarget::~CQvDropTarget() = default;

void CQvDropTarget::SetTarget(IUnknown* folder, DropPlace place, HWND owner, HWND list) {
  folder_ = ComPtr<IUnknown>(folder);
  place_ = std::move(place);
  owner_ = owner;
  list_ = list;
  draggingImage_ = false;
  dragImageIndex_ = kImageNotLookedUp;
}

HRESULT CQvDropTarget::ApplyEffectRule(DWORD keyState, DWORD* effect) {
  const bool left = (keyState & MK_LBUTTON) != 0;
  const bool right = (keyState & MK_RBUTTON) != 0;
  const bool shift = (keyState & MK_SHIFT) != 0;
  const bool control = (keyState & MK_CONTROL) != 0;
  if ((keyState & (MK_ALT | MK_MBUTTON)) != 0 || (shift && control) || left == right) {
    *effect = DROPEFFECT_NONE;
    return E_INVALIDARG;
  }
  const DWORD offered = *effect;
  // Only a move asked for with Shift is a move; any other drop copies. The answer is always
  // one effect the source offered, so a source that offered only a copy never sees a move.
  const DWORD wanted = shift && !right ? DROPEFFECT_MOVE : DROPEFFECT_COPY;
  if ((offered & wanted) != 0)
    *effect = wanted;
  else if ((offered & DROPEFFECT_COPY) != 0)
    *effect = DROPEFFECT_COPY;
  else if ((offered & DROPEFFECT_MOVE) != 0)
    *effect = DROPEFFECT_MOVE;
  else
    *effect = DROPEFFECT_NONE;
  copy_ = (*effect & DROPEFFECT_MOVE) == 0;
  if (*effect == DROPEFFECT_NONE) return E_INVALIDARG;
  return S_OK;
}

bool CQvDropTarget::MayDrop(const std::string& path,
                            const std::vector<FILE_IDENTITY>& enclosing) const {
  if (path.empty() || HasSuffix(path, ".lnk")) return false;
  // Only a regular file or a folder opens here: a link, a device or a FIFO does not.
  FILE_IDENTITY identity;
  if (!IdentityOf(path, &identity)) return false;
  // A target with no container, or one whose container is gone, takes nothing.
  if (enclosing.empty()) return false;
  for (const FILE_IDENTITY& folder : enclosing)
    if (identity.SameFile(folder)) return false;
  return true;
}

HRESULT CQvDropTarget::DragEnter(IDataObject* data, DWORD keyState, POINTL, DWORD* effect) {
  if (effect == nullptr) return E_INVALIDARG;
  try {
    droppedFiles_.clear();
    accepted_ = false;
    placeAllowed_ = true;
    HRESULT result = ApplyEffectRule(keyState, effect);
    if (FAILED(result)) return result;
    result = E_INVALIDARG;
    if (data == nullptr) return result;
    FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    if (FAILED(data->GetData(&format, &medium))) return result;
    const auto drop = static_cast<HDROP>(medium.hGlobal);
    const std::vector<FILE_IDENTITY> enclosing = ContainerAndItsFolders(place_.containerPath);
    const UINT count =
        medium.tymed == TYMED_HGLOBAL ? DragQueryFileA(drop, kDragQueryCount, nullptr, 0) : 0;
    for (UINT i = 0; i < count; ++i) {
      const UINT length = DragQueryFileA(drop, i, nullptr, 0);
      std::string path(length, '\0');
      if (length == 0 || DragQueryFileA(drop, i, path.data(), length + 1) != length ||
          !MayDrop(path, enclosing)) {
        *effect = DROPEFFECT_NONE;
        accepted_ = false;
        result = E_INVALIDARG;
        break;
      }
      if (i == 0 && dragImageIndex_ == kImageNotLookedUp) {
        SHFILEINFOA info{};
        if (SHGetFileInfoA(path.c_str(), 0, &info, sizeof info,
                           SHGFI_SYSICONINDEX | SHGFI_USEFILEATTRIBUTES) != 0)
          dragImageIndex_ = info.iIcon;
      }
      droppedFiles_.push_back(std::move(path));
      accepted_ = true;
      result = S_OK;
    }
    ReleaseStgMedium(&medium);
    return result;
  } catch (const std::exception&) {
    accepted_ = false;
    *effect = DROPEFFECT_NONE;
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvDropTarget::DragOver(DWORD keyState, POINTL point, DWORD* effect) {
  if (effect == nullptr) return E_INVALIDARG;
  placeAllowed_ = true;
  if (FAILED(ApplyEffectRule(keyState, effect))) {
    placeAllowed_ = false;
    return E_INVALIDARG;
  }
  if (list_ == nullptr) return S_OK;
  draggingImage_ = true;
  CListCtrl list(list_);
  const int item = list.HitTest(point.x, point.y);
  if (item < 0) {
    list.SetItemState(-1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    return S_OK;
  }
  if (list.GetItemState(item, LVIS_SELECTED) != 0) return S_OK;
  list.SetItemState(-1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  ContainerItem parsed;
  const auto identifier = reinterpret_cast<LPCITEMIDLIST>(list.GetItemData(item));
  if (SUCCEEDED(ContainerItemId::ReadFirst(identifier, &parsed)) && parsed.IsFolder()) {
    (void)SetFocus(list_);
    list.SetItemState(item, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    return S_OK;
  }
  // Files cannot be dropped onto a file.
  *effect = DROPEFFECT_NONE;
  placeAllowed_ = false;
  return E_INVALIDARG;
}

void CQvDropTarget::EndDragImage() {
  draggingImage_ = false;
  dragImageIndex_ = kImageNotLookedUp;
}

HRESULT CQvDropTarget::DragLeave() {
  if (list_ != nullptr) EndDragImage();
  droppedFiles_.clear();
  return S_OK;
}

DWORD CQvDropTarget::TargetFolderAt(POINTL point) const {
  if (list_ == nullptr) return place_.folderId;
  CListCtrl list(list_);
  const int item = list.HitTest(point.x, point.y);
  if (item < 0 || list.GetItemState(item, LVIS_SELECTED) == 0) return place_.folderId;
  ContainerItem parsed;
  const auto identifier = reinterpret_cast<LPCITEMIDLIST>(list.GetItemData(item));
  if (FAILED(ContainerItemId::ReadFirst(identifier, &parsed)) || !parsed.IsFolder())
    return place_.folderId;
  return parsed.folderId;
}

HRESULT CQvDropTarget::Drop(IDataObject*, DWORD, POINTL point, DWORD* effect) {
  if (effect == nullptr) return E_INVALIDARG;
  if (list_ != nullptr) EndDragImage();
  try {
    if (!accepted_ || !placeAllowed_ || droppedFiles_.empty()) {
      *effect = DROPEFFECT_NONE;
      return S_OK;
    }
    // What was looked at while dragging is looked at again: the disk may have changed.
    const std::vector<FILE_IDENTITY> enclosing = ContainerAndItsFolders(place_.containerPath);
    for (const std::string& path : droppedFiles_) {
      if (!MayDrop(path, enclosing)) {
        *effect = DROPEFFECT_NONE;
        return E_INVALIDARG;
      }
    }
    return StoreDroppedFiles(TargetFolderAt(point), effect);
  } catch (const std::exception&) {
    *effect = DROPEFFECT_NONE;
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvDropTarget::StoreDroppedFiles(DWORD targetFolder, DWORD* effect) {
  CUserData* userData = QvApp().userData;
  const std::string& container = place_.containerPath;
  *effect = DROPEFFECT_NONE;
  if (userData == nullptr) return E_UNEXPECTED;

  std::string userId = QvModuleTables().VerifiedUser(container);
  std::optional<TemporaryVerification> verification;
  if (QvModuleTables().VerifiedViewCount(container) < 1 || userId.empty()) {
    CurrentIdentity identity(*userData);
    const bool passed = VerifyForOperation(identity, true) != 0 &&
                        SharingAccessCheck(identity.UserId(), container) == kSharingAllowed;
    if (!passed) {
      CInvalidUser notice;
      (void)notice.DoModal();
      (void)WriteOperationAudit(*userData, identity.UserId(), kAuditEventDrop, container,
                                kAuditResultFailure);
      return E_UNEXPECTED;
    }
    userId = identity.UserId();
    verification.emplace(container, userId);
  }

  OperationRequest request;
  request.items = droppedFiles_;
  request.userId = userId;
  request.encrypt = true;
  request.keepSource = copy_;
  request.container =
      ContainerArguments{SplitLast(droppedFiles_.front()).first, container, targetFolder};
  CProgressDlg dialog(std::move(request));
  (void)dialog.DoModal();
  const bool succeeded = dialog.OverallSuccess();

  for (HWND view : QvModuleTables().OpenViewsOf(container))
    (void)PostMessageA(view, WM_COMMAND, MAKEWPARAM(kViewRefreshCommand, 0), 0);
  std::string changed = container;
  for (char c : place_.storedPath) changed += c == '\\' ? '/' : c;
  SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHA, changed.c_str(), nullptr);

  (void)WriteOperationAudit(*userData, userId, kAuditEventDrop, container,
                            succeeded ? kAuditResultSuccess : kAuditResultFailure);
  if (!succeeded) return E_UNEXPECTED;
  // A move is reported only when every source is gone: the engine keeps a source it could not
  // store or delete, and the file manager must not take that for moved.
  DWORD performed = copy_ ? DROPEFFECT_COPY : DROPEFFECT_MOVE;
  if (!copy_)
    for (const std::string& path : droppedFiles_)
      if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) performed = DROPEFFECT_COPY;
  *effect = performed;
  return S_OK;
}
