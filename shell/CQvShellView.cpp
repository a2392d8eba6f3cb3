// The container view: its window, the verification worker, filling the list, the toolbar,
// the saved view state and closing.
#include "shell/CQvShellView.h"

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "base/ClassIds.h"
#include "base/ItemStatus.h"
#include "base/ModuleTables.h"
#include "base/QvFolderExtApp.h"
#include "base/StringTable.h"
#include "container/ContainerReader.h"
#include "dialogs/CInvalidUser.h"
#include "engine/OperationFrame.h"
#include "engine/OwnerKeyCheck.h"
#include "engine/UserKey.h"
#include "engine/VerifyUserGate.h"
#include "platform/Guarded.h"
#include "platform/Handles.h"
#include "platform/MessageBox.h"
#include "platform/Sync.h"
#include "platform/shell/ChangeNotify.h"
#include "platform/ui/WindowApi.h"
#include "sharing/SharingAccess.h"
#include "shell/CMainDlg.h"
#include "shell/CQvShellFolder.h"
#include "suite/QvFsApi.h"
#include "transfer/CQvDropTarget.h"

namespace {

constexpr DWORD kAuditEventOpenContainer = 9;
constexpr WORD kAnimationResource = 707;
constexpr UINT IDS_OLDER_KEY_CAPTION = 120;
constexpr DWORD kStatusSuccess = 0;

// The keys of the view (accelerator table 609).
constexpr ACCEL kViewKeys[] = {
    {FVIRTKEY, VK_RETURN, viewcmd::kOpen},
    {FVIRTKEY, VK_DELETE, viewcmd::kDelete},
    {FVIRTKEY | FSHIFT, VK_DELETE, viewcmd::kShiftDelete},
    {FVIRTKEY | FCONTROL, 'A', viewcmd::kSelectAll},
    {FVIRTKEY | FCONTROL, 'C', viewcmd::kCopy},
    {FVIRTKEY | FCONTROL, 'X', viewcmd::kCut},
    {FVIRTKEY, VK_ESCAPE, viewcmd::kEscape},
};

DWORD ListStyleOf(UINT mode) {
  switch (mode) {
    case FVM_SMALLICON:
      return LVS_SMALLICON;
    case FVM_LIST:
      return LVS_LIST;
    case FVM_DETAILS:
      return LVS_REPORT;
    default:
      return LVS_ICON;
  }
}

UINT KnownViewMode(UINT mode) { return mode >= FVM_ICON && mode <= FVM_DETAILS ? mode : FVM_ICON; }

// The place other hosts hear about when the folder's contents changed: the container path and
// the folder's path inside it, "/" separated as the folder's display names are.
std::string ChangePlaceOf(const CQvShellFolder& folder) {
  std::string place = folder.ContainerPath();
  for (char c : folder.StoredPath()) place += c == '\\' ? '/' : c;
  return place;
}

// What the worker needs; the references keep the view and the folder alive while it runs.
struct WorkerParameters {
  HWND dialog = nullptr;
  std::string containerPath;
  // The user the container's open views were verified for when this view was created; empty
  // when none was. Read on the view's thread, so that a view the browser closes right after
  // creating this one does not take the verification away before the worker looks.
  std::string knownUser;
  ComPtr<CQvShellView> view;
  ComPtr<CQvShellFolder> folder;
  std::string* userId = nullptr;  // the view's; written before the verdict is posted
};

// Whether the user `userId` may open the container at `path` (read through `reader`): the
// user's key, the library's test of the container's header, and the sharing rules. Shows the
// "Invalid User" notice when not; an unreadable header refuses without a message.
bool UserMayOpen(CUserData& userData, const std::string& userId, const std::string& path,
                 ContainerReader* reader) {
  const bool sentivo = userData.EditionCode == EDITION_SENTIVO;
  std::string ownerIdentity;
  std::string keyFile;
  if (sentivo) (void)SplitOwnerText(ReadOwnerText(path), &ownerIdentity, &keyFile);
  UserKey key(userData, userId, ownerIdentity);
  if (!key.Found() && sentivo) {
    const std::string text = OlderKeyMessage(keyFile);
    if (MessageBoxA(nullptr, text.c_str(), LoadStringText(IDS_OLDER_KEY_CAPTION).c_str(),
                    MB_OKCANCEL) == IDOK &&
        ImportOlderKeyOf(userData, userId.c_str()) == kStatusSuccess)
      (void)key.Read(userId);
  }
  if (!key.Found()) {
    CInvalidUser notice;
    (void)notice.DoModal();
    return false;
  }
  std::vector<BYTE> header;
  if (reader == nullptr || !reader->ReadHeader(&header)) return false;
  const std::string& name = sentivo ? ownerIdentity : userId;
  DWORD status =
      QVFSFolderIsValidUser(header.data(), static_cast<DWORD>(header.size()), name.c_str(),
                            name.c_str(), key.Get().blob, key.Get().blobLength);
  // The sharing rules read the same header: the container is not opened again for them.
  if (status == kStatusSuccess) status = ContainerSharingAccessCheck(userId, header);
  if (status != kStatusSuccess) {
    CInvalidUser notice;
    (void)notice.DoModal();
    return false;
  }
  return true;
}

// The worker's verdict: true when the user is verified for the container and may open it.
bool VerifyForContainer(const std::string& path, ContainerReader* reader,
                        const std::string& knownUser, std::string* userId) {
  *userId = knownUser;
  CUserData* userData = QvApp().userData;
  if (userData == nullptr) return false;
  if (userId->empty()) {
    CurrentIdentity identity(*userData);
    const std::string title = LoadStringText(IDS_VERIFY_TITLE);
    const std::string prompt = VerificationPrompt();
    const int passed = VerifyUserGate(identity.Get(), title.c_str(), prompt.c_str(), FALSE, FALSE);
    // The record of a refused verification matters as much as that of a passed one; a
    // record that cannot be written has no one to tell here.
    (void)WriteOperationAudit(*userData, identity.UserId(), kAuditEventOpenContainer, path,
                              passed != 0 ? kAuditResultSuccess : kAuditResultFailure);
    if (passed == 0) return false;
    *userId = identity.UserId();
  }
  return UserMayOpen(*userData, *userId, path, reader);
}

}  // namespace

CQvShellView::CQvShellView() = default;

CQvShellView::~CQvShellView() {
  // A view released without DestroyViewWindow still leaves nothing behind.
  if (dialog_ != nullptr || worker_ != nullptr) (void)DestroyViewWindow();
}

HRESULT CreateShellView(CQvShellFolder* folder, REFIID riid, void** ppv) noexcept {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (folder == nullptr) return E_INVALIDARG;
  return GuardedHresult([&]() -> HRESULT {
    ComPtr<CQvShellView> view;
    view.Attach(new CQvShellView());
    view->folder_ = ComPtr<CQvShellFolder>(folder);
    return view->QueryInterface(riid, ppv);
  });
}

IShellFolder* CQvShellView::ShownFolder() const { return folder_.Get(); }

HRESULT CQvShellView::GetWindow(HWND*) { return E_NOTIMPL; }
HRESULT CQvShellView::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }
HRESULT CQvShellView::EnableModeless(BOOL) { return E_NOTIMPL; }
HRESULT CQvShellView::AddPropertySheetPages(DWORD, void*, LPARAM) { return E_NOTIMPL; }
HRESULT CQvShellView::SelectItem(LPCITEMIDLIST, UINT) { return E_NOTIMPL; }
HRESULT CQvShellView::GetItemObject(UINT, REFIID, void** ppv) {
  if (ppv != nullptr) *ppv = nullptr;
  return E_NOTIMPL;
}

HRESULT CQvShellView::TranslateAccelerator(MSG* msg) {
  if (msg == nullptr || dialog_ == nullptr || accelerators_ == nullptr) return S_FALSE;
  return TranslateAcceleratorA(dialog_->GetSafeHwnd(), accelerators_, msg) ? S_OK : S_FALSE;
}

HRESULT CQvShellView::UIActivate(UINT state) {
  if (state == SVUIA_ACTIVATE_FOCUS && dialog_ != nullptr) {
    CListCtrl list = dialog_->List();
    list.SetFocus();
    if (list.GetItemCount() > 0 && list.GetNextItem(-1, LVNI_FOCUSED) < 0)
      list.SetItemState(0, LVIS_FOCUSED, LVIS_FOCUSED);
  }
  return S_OK;
}

HRESULT CQvShellView::Refresh() {
  return GuardedHresult([&]() -> HRESULT {
    FillList();
    return S_OK;
  });
}

HRESULT CQvShellView::GetCurrentInfo(FOLDERSETTINGS* settings) {
  if (settings == nullptr) return E_POINTER;
  *settings = settings_;
  return S_OK;
}

HRESULT CQvShellView::CreateViewWindow(IShellView*, const FOLDERSETTINGS* settings,
                                       IShellBrowser* browser, RECT*, HWND* phwnd) {
  if (phwnd == nullptr) return E_POINTER;
  *phwnd = nullptr;
  if (browser == nullptr || !folder_) return E_INVALIDARG;
  if (dialog_ != nullptr) return E_UNEXPECTED;
  return GuardedHresult([&]() -> HRESULT {
    HWND browserWindow = nullptr;
    (void)browser->GetWindow(&browserWindow);
    browser_ = ComPtr<IShellBrowser>(browser);
    if (settings != nullptr) settings_ = *settings;

    auto dialog = std::make_unique<CMainDlg>(static_cast<CMainDlg::Owner*>(this));
    if (!dialog->Create(browserWindow)) {
      browser_.Reset();
      return E_FAIL;
    }
    dialog_ = dialog.release();

    CAnimateCtrl animation = dialog_->Animation();
    animation.Open(kAnimationResource);
    animation.ShowWindow(SW_SHOW);
    animation.Play(0, static_cast<UINT>(-1), static_cast<UINT>(-1));

    const bool started = StartWorker();
    *phwnd = dialog_->GetSafeHwnd();
    viewKey_ = QvModuleTables().AddOpenView(folder_->ContainerPath(), dialog_->GetSafeHwnd());
    accelerators_ = CreateAcceleratorTableA(kViewKeys, static_cast<int>(std::size(kViewKeys)));
    RegisterListDropTarget(browserWindow);

    dialog_->List().SetView(ListStyleOf(settings_.ViewMode));
    RestoreViewState();
    AddToolbarButtons();
    dialog_->ShowWindow(SW_SHOW);
    if (!started) {
      // Without a worker nobody verifies the user: the view stays empty, as a refused one.
      animation.Stop();
      animation.ShowWindow(SW_HIDE);
    }
    return S_OK;
  });
}

void CQvShellView::RegisterListDropTarget(HWND browserWindow) {
  // Files dropped onto the list go into the shown folder, or into the folder item under the
  // pointer. A view without one still shows its folder.
  ComPtr<CQvDropTarget> target;
  if (FAILED(
          CQvDropTarget::CreateInstance(IQvDropTarget::kIid, target.ReleaseAndGetVoidAddressOf())))
    return;
  const HWND list = dialog_->List().m_hWnd;
  target->SetTarget(static_cast<IShellFolder*>(folder_.Get()),
                    {folder_->ContainerPath(), folder_->FolderId(), folder_->StoredPath()},
                    browserWindow, list);
  (void)RegisterDragDrop(list, static_cast<IDropTarget*>(target.Get()));
}

bool CQvShellView::StartWorker() {
  auto parameters = std::make_unique<WorkerParameters>();
  parameters->dialog = dialog_->GetSafeHwnd();
  parameters->containerPath = folder_->ContainerPath();
  parameters->knownUser = QvModuleTables().VerifiedUser(parameters->containerPath);
  parameters->view = ComPtr<CQvShellView>(this);
  parameters->folder = folder_;
  parameters->userId = &workerUserId_;
  worker_ = CreateThread(nullptr, 0, &CQvShellView::WorkerMain, parameters.get(), 0, nullptr);
  if (worker_ == nullptr) return false;
  (void)parameters.release();  // the worker owns them now
  return true;
}

DWORD CQvShellView::WorkerMain(void* raw) {
  std::unique_ptr<WorkerParameters> parameters(static_cast<WorkerParameters*>(raw));
  bool verified = false;
  std::string userId;
  try {
    verified = VerifyForContainer(parameters->containerPath, parameters->folder->Reader().get(),
                                  parameters->knownUser, &userId);
  } catch (...) {
    verified = false;
  }
  *parameters->userId = userId;
  (void)PostMessageA(parameters->dialog, WM_QV_VIEW_WORKER_DONE, verified ? 1 : 0, 0);
  return 0;
}

void CQvShellView::OnWorkerDone(bool verified) {
  if (dialog_ == nullptr) return;
  CAnimateCtrl animation = dialog_->Animation();
  animation.Stop();
  animation.ShowWindow(SW_HIDE);
  if (!verified || workerUserId_.empty() || countedVerified_) return;
  QvModuleTables().AddVerifiedView(folder_->ContainerPath(), workerUserId_);
  countedVerified_ = true;
  FillList();
}

void CQvShellView::FillList() {
  if (dialog_ == nullptr) return;
  CListCtrl list = dialog_->List();
  list.SetRedraw(FALSE);
  dialog_->ClearList();
  dialog_->ReadDisplaySettings();
  ComPtr<IEnumIDList> items;
  if (SUCCEEDED(folder_->EnumObjects(dialog_->GetSafeHwnd(), SHCONTF_FOLDERS | SHCONTF_NONFOLDERS,
                                     items.ReleaseAndGetAddressOf())) &&
      items) {
    LPITEMIDLIST id = nullptr;
    ULONG fetched = 0;
    while (items->Next(1, &id, &fetched) == S_OK && fetched == 1 && id != nullptr) {
      LVITEMA row{};
      row.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
      row.iItem = list.GetItemCount();
      row.pszText = LPSTR_TEXTCALLBACKA;
      row.iImage = CMainDlg::ItemImage(reinterpret_cast<LPARAM>(id));
      row.lParam = reinterpret_cast<LPARAM>(id);
      // The list owns the identifier from here on and frees it when the item goes.
      if (list.InsertItem(&row) < 0) ILFree(id);
      id = nullptr;
    }
  }
  list.SetRedraw(TRUE);
  const std::string place = ChangePlaceOf(*folder_.Get());
  SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHA, place.c_str(), nullptr);
  OnSelectionChanged();
}

void CQvShellView::OnSelectionChanged() {
  if (dialog_ == nullptr || !browser_) return;
  const bool any = dialog_->List().GetSelectedCount() > 0;
  for (const WORD id : {viewcmd::kToolbarCut, viewcmd::kToolbarCopy, viewcmd::kToolbarDelete}) {
    LRESULT ignored = 0;
    (void)browser_->SendControlMsg(FCW_TOOLBAR, TB_ENABLEBUTTON, id, any ? 1 : 0, &ignored);
  }
}

// The file manager shows the sub-folder through the folder's BindToObject; the browser may
// close this view meanwhile, so the browser is held for the call.
void CQvShellView::BrowseInto(LPCITEMIDLIST item) {
  const ComPtr<IShellBrowser> browser = browser_;
  if (browser) (void)browser->BrowseObject(item, SBSP_SAMEBROWSER | SBSP_RELATIVE);
}

void CQvShellView::SetViewMode(UINT mode) {
  settings_.ViewMode = KnownViewMode(mode);
  if (dialog_ != nullptr) dialog_->List().SetView(ListStyleOf(settings_.ViewMode));
  if (!browser_) return;
  for (UINT m = FVM_ICON; m <= FVM_DETAILS; ++m) {
    LRESULT ignored = 0;
    (void)browser_->SendControlMsg(FCW_TOOLBAR, TB_CHECKBUTTON,
                                   viewcmd::kLargeIcons + (m - FVM_ICON),
                                   m == settings_.ViewMode ? 1 : 0, &ignored);
  }
}

void CQvShellView::AddToolbarButtons() {
  LRESULT offset = 0;
  TBADDBITMAP standard{HINST_COMMCTRL, IDB_STD_SMALL_COLOR};
  if (SUCCEEDED(browser_->SendControlMsg(FCW_TOOLBAR, TB_ADDBITMAP, 8,
                                         reinterpret_cast<LPARAM>(&standard), &offset)))
    standardBitmapOffset_ = static_cast<int>(offset);
  TBADDBITMAP views{HINST_COMMCTRL, IDB_VIEW_SMALL_COLOR};
  offset = 0;
  if (SUCCEEDED(browser_->SendControlMsg(FCW_TOOLBAR, TB_ADDBITMAP, 8,
                                         reinterpret_cast<LPARAM>(&views), &offset)))
    viewBitmapOffset_ = static_cast<int>(offset);
  const UINT mode = KnownViewMode(settings_.ViewMode);
  auto viewButton = [&](int image, WORD command, UINT buttonMode) {
    return TBBUTTON{viewBitmapOffset_ + image,
                    command,
                    static_cast<BYTE>(TBSTATE_ENABLED | (mode == buttonMode ? TBSTATE_CHECKED : 0)),
                    TBSTYLE_CHECKGROUP,
                    0,
                    0};
  };
  const TBBUTTON buttons[] = {
      {standardBitmapOffset_ + STD_CUT, viewcmd::kToolbarCut, 0, TBSTYLE_BUTTON, 0, 0},
      {standardBitmapOffset_ + STD_COPY, viewcmd::kToolbarCopy, 0, TBSTYLE_BUTTON, 0, 0},
      {standardBitmapOffset_ + STD_DELETE, viewcmd::kToolbarDelete, 0, TBSTYLE_BUTTON, 0, 0},
      {0, 0, TBSTATE_ENABLED, TBSTYLE_SEP, 0, 0},
      viewButton(VIEW_LARGEICONS, viewcmd::kLargeIcons, FVM_ICON),
      viewButton(VIEW_SMALLICONS, viewcmd::kSmallIcons, FVM_SMALLICON),
      viewButton(VIEW_LIST, viewcmd::kList, FVM_LIST),
      viewButton(VIEW_DETAILS, viewcmd::kDetails, FVM_DETAILS),
  };
  (void)browser_->SetToolbarItems(buttons, static_cast<UINT>(std::size(buttons)), FCT_MERGE);
}

HRESULT CQvShellView::SaveViewState() {
  if (!browser_ || dialog_ == nullptr) return E_UNEXPECTED;
  return GuardedHresult([&]() -> HRESULT {
    ComPtr<IStream> stream;
    HRESULT hr = browser_->GetViewStateStream(STGM_WRITE, stream.ReleaseAndGetAddressOf());
    if (FAILED(hr) || !stream) return FAILED(hr) ? hr : E_FAIL;
    hr = stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) return hr;
    std::array<BYTE, kViewStateHeaderSize> header{};
    const DWORD mode = settings_.ViewMode;
    std::memcpy(header.data() + kViewStateModeOffset, &mode, sizeof mode);
    std::memcpy(header.data() + kViewStateClassOffset, &qvids::CLSID_QvShellFolder, sizeof(CLSID));
    hr = stream->Write(header.data(), static_cast<ULONG>(header.size()), nullptr);
    CListCtrl list = dialog_->List();
    for (int column = 0; column < kViewColumnCount && SUCCEEDED(hr); ++column) {
      const std::int32_t width = list.GetColumnWidth(column);
      hr = stream->Write(&width, sizeof width, nullptr);
    }
    return hr;
  });
}

// A stream written by another folder class, or too short for the header, keeps the settings
// given; a width of 0 (or one the stream does not hold) keeps that column's default.
void CQvShellView::RestoreViewState() {
  ComPtr<IStream> stream;
  if (FAILED(browser_->GetViewStateStream(STGM_READ, stream.ReleaseAndGetAddressOf())) || !stream)
    return;
  std::array<BYTE, kViewStateHeaderSize> header{};
  ULONG read = 0;
  if (FAILED(stream->Read(header.data(), static_cast<ULONG>(header.size()), &read)) ||
      read != header.size())
    return;
  CLSID stored{};
  std::memcpy(&stored, header.data() + kViewStateClassOffset, sizeof stored);
  if (!(stored == qvids::CLSID_QvShellFolder)) return;
  DWORD mode = 0;
  std::memcpy(&mode, header.data() + kViewStateModeOffset, sizeof mode);
  settings_.ViewMode = KnownViewMode(mode);
  CListCtrl list = dialog_->List();
  list.SetView(ListStyleOf(settings_.ViewMode));
  for (int column = 0; column < kViewColumnCount; ++column) {
    std::int32_t width = 0;
    if (stream->Read(&width, sizeof width, &read) != S_OK || read != sizeof width) break;
    if (width > 0) list.SetColumnWidth(column, width);
  }
}

void CQvShellView::WaitForWorker() {
  if (worker_ == nullptr) return;
  // The worker may be showing a dialog or waiting for this thread to handle its messages:
  // keep them flowing while it ends.
  for (;;) {
    const DWORD woke = MsgWaitForMultipleObjects(1, &worker_, FALSE, INFINITE, QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0) break;
    int quitCode = 0;
    if (!PumpWaitingMessages(nullptr, &quitCode)) PostQuitMessage(quitCode);
    if (woke != WAIT_OBJECT_0 + 1) break;
  }
  (void)WaitForSingleObject(worker_, INFINITE);
  CloseHandle(worker_);
  worker_ = nullptr;
}

HRESULT CQvShellView::DestroyViewWindow() {
  return GuardedHresult([&]() -> HRESULT {
    WaitForWorker();
    if (countedVerified_) {
      QvModuleTables().RemoveVerifiedView(folder_->ContainerPath());
      countedVerified_ = false;
    }
    if (accelerators_ != nullptr) {
      DestroyAcceleratorTable(accelerators_);
      accelerators_ = nullptr;
    }
    if (dialog_ != nullptr) {
      (void)RevokeDragDrop(dialog_->List().m_hWnd);
      dialog_->ClearList();
      dialog_->DestroyWindow();
      delete dialog_;
      dialog_ = nullptr;
    }
    if (!viewKey_.empty()) {
      QvModuleTables().RemoveOpenView(viewKey_);
      viewKey_.clear();
    }
    browser_.Reset();
    return S_OK;
  });
}
