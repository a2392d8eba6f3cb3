// qvx's browser (see ContainerBrowser.h).
#include "host/ContainerBrowser.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>

#include "host/Associations.h"
#include "host/ExitCodes.h"
#include "platform/Guid.h"
#include "platform/MachineRoot.h"
#include "platform/ole/Stream.h"
#include "platform/ui/Accelerators.h"
#include "platform/ui/Controls.h"

namespace {

// The controls of the view's window a host reads: its item list and the animation that plays
// while the view's worker verifies the user.
constexpr int kViewListId = 601;
constexpr int kViewAnimationId = 913;
constexpr auto kWorkerPatience = std::chrono::minutes(10);
// Every command that opens a place inside a container gives this code for a path that runs
// through no registered container.
constexpr int kExitNotAContainer = 4;

CListCtrl ListOf(HWND window) { return CListCtrl(::GetDlgItem(window, kViewListId)); }

// The class a container's type is bound to: "CLSID\{...}" as the registry holds it for the
// file's extension.
bool ContainerClassOf(const std::string& path, CLSID* clsid) {
  const auto fileClass = FileClassOf(path);
  constexpr std::string_view kPrefix = "CLSID\\";
  if (!fileClass || fileClass->rfind(kPrefix, 0) != 0) return false;
  const auto parsed = ParseGuid(std::string_view(*fileClass).substr(kPrefix.size()));
  if (!parsed) return false;
  *clsid = *parsed;
  return true;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// True when `path` runs into nothing: the last thing on it that exists is a folder without
// the next name. A path that stops at a file (a container of an unregistered type, say) does
// not.
bool RunsIntoNothing(std::string path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return false;
  for (;;) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return true;
    path.resize(slash == 0 ? 1 : slash);
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (path == "/") return true;
  }
}

// The text of a refusal: what happened and what to do.
std::string RefusedText(const std::string& container) {
  return "the user was not verified for " + container +
         " (a wrong password, or not one of its users): check the password (QV_PASSWORD_FILE) "
         "or ask the container's owner to share it with you";
}

}  // namespace

ContainerBrowser::ContainerBrowser(InprocServerLoader& loader) : loader_(loader) {}

ContainerBrowser::~ContainerBrowser() {
  Close();
  ILFree(requestedBrowse_);
}

int ContainerBrowser::ExitCode() const {
  switch (failure_) {
    case Failure::None:
      return kExitOk;
    case Failure::NotAContainer:
      return kExitNotAContainer;
    case Failure::NotFound:
      return kExitNotFound;
    case Failure::Refused:
      return kExitRefused;
    case Failure::Other:
      break;
  }
  return kExitFailed;
}

bool ContainerBrowser::Open(const std::string& path, std::string* error) {
  failure_ = Failure::Other;
  ContainerPlace place;
  CLSID clsid{};
  if (!SplitContainerPath(
          path, [&](const std::string& prefix) { return IsContainerFile(prefix, &clsid); },
          &place)) {
    if (RunsIntoNothing(path)) {
      failure_ = Failure::NotFound;
      *error = path + ": no such file or folder: check the path";
      return false;
    }
    failure_ = Failure::NotAContainer;
    *error = path +
             " does not run through a container (a .qvef file of a registered type): check the "
             "path, and run qvx register if containers are not registered";
    return false;
  }
  std::string absolute;
  const ComPtr<IShellFolder> root =
      CreateContainerFolder(loader_, clsid, place.container, &absolute, error);
  if (!root) return false;
  Close();
  container_ = absolute;
  if (!Show(root, {}, error)) return false;
  // Down to the folder the path names, one level at a time, through the listed items.
  std::string rest = place.inner;
  while (!rest.empty()) {
    const size_t next = rest.find('\\', 1);
    const std::string name = rest.substr(1, next == std::string::npos ? next : next - 1);
    rest = next == std::string::npos ? "" : rest.substr(next);
    const int row = RowNamed(name);
    if (row < 0 || !Rows()[static_cast<size_t>(row)].folder) {
      failure_ = Failure::NotFound;
      *error = "there is no folder \"" + name + "\" in " + Location() +
               (row < 0 ? ": check the path (qvx ls " + Location() + " lists what is there)"
                        : ": a file has that name");
      return false;
    }
    if (!Enter(row, error)) return false;
  }
  return true;
}

bool ContainerBrowser::Show(ComPtr<IShellFolder> folder, std::vector<std::string> names,
                            std::string* error) {
  ComPtr<IShellView> view;
  HRESULT hr = folder->CreateViewObject(nullptr, IID_IShellView, view.ReleaseAndGetVoidAddressOf());
  if (FAILED(hr) || !view) {
    *error = "the container cannot be shown (it may have been deleted)";
    return false;
  }
  // The state is read for the new place while the old view still stands.
  const std::vector<std::string> oldNames = names_;
  names_ = names;
  FOLDERSETTINGS settings{FVM_DETAILS, 0};
  RECT rect{0, 0, 800, 600};
  HWND window = nullptr;
  hr = view->CreateViewWindow(view_.Get(), &settings, this, &rect, &window);
  if (FAILED(hr) || window == nullptr) {
    names_ = oldNames;
    *error = "the view could not be created";
    return false;
  }
  if (view_) {
    const std::vector<std::string> newNames = names_;
    names_ = oldNames;
    SaveState();
    (void)view_->DestroyViewWindow();
    names_ = newNames;
  }
  view_ = view;
  window_ = window;
  if (folders_.size() > names.size()) folders_.resize(names.size());
  folders_.push_back(folder);
  failure_ = Failure::Other;
  if (!WaitForView(error)) return false;
  // An empty list is an empty folder or a refused user: the folder lists nothing, with
  // S_FALSE, while no view of the container has verified its user.
  ComPtr<IEnumIDList> items;
  if (ListOf(window_).GetItemCount() == 0 &&
      folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS,
                          items.ReleaseAndGetAddressOf()) == S_FALSE) {
    failure_ = Failure::Refused;
    *error = RefusedText(container_);
    return false;
  }
  failure_ = Failure::None;
  return true;
}

bool ContainerBrowser::WaitForView(std::string* error) {
  const CAnimateCtrl animation(::GetDlgItem(window_, kViewAnimationId));
  const auto deadline = std::chrono::steady_clock::now() + kWorkerPatience;
  while (animation.IsPlaying()) {
    if (std::chrono::steady_clock::now() > deadline) {
      *error = "the view's verification did not finish";
      return false;
    }
    (void)MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    int quitCode = 0;
    if (!PumpWaitingMessages(nullptr, &quitCode)) break;
  }
  return true;
}

std::string ContainerBrowser::NameOf(LPCITEMIDLIST item) const {
  STRRET name{};
  char text[kStrRetBufferSize * 4] = {};
  if (folders_.empty() || FAILED(folders_.back()->GetDisplayNameOf(item, SHGDN_INFOLDER, &name)) ||
      FAILED(StrRetToBufA(&name, item, text, sizeof text)))
    return {};
  return text;
}

bool ContainerBrowser::ItemIsFolder(LPCITEMIDLIST item) const {
  SFGAOF attributes = SFGAO_FOLDER;
  return !folders_.empty() && folders_.back()->GetAttributesOf(1, &item, &attributes) == S_OK &&
         (attributes & SFGAO_FOLDER) != 0;
}

std::vector<ContainerBrowser::Row> ContainerBrowser::Rows() const {
  std::vector<Row> rows;
  if (!view_) return rows;
  const CListCtrl list = ListOf(window_);
  const int count = list.GetItemCount();
  rows.reserve(static_cast<size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i) {
    Row row;
    for (int column = 0; column < 4; ++column) row.texts[column] = list.GetItemText(i, column);
    row.folder = ItemIsFolder(reinterpret_cast<LPCITEMIDLIST>(list.GetItemData(i)));
    row.selected = (list.GetItemState(i, LVIS_SELECTED) & LVIS_SELECTED) != 0;
    rows.push_back(std::move(row));
  }
  return rows;
}

int ContainerBrowser::RowNamed(const std::string& name) const {
  if (!view_) return -1;
  const CListCtrl list = ListOf(window_);
  for (int i = 0; i < list.GetItemCount(); ++i)
    if (NameOf(reinterpret_cast<LPCITEMIDLIST>(list.GetItemData(i))) == name) return i;
  return -1;
}

bool ContainerBrowser::Enter(int row, std::string* error) {
  failure_ = Failure::Other;
  const CListCtrl list = ListOf(window_);
  if (!view_ || row < 0 || row >= list.GetItemCount()) {
    *error = "there is no row " + std::to_string(row + 1);
    return false;
  }
  const auto item = reinterpret_cast<LPCITEMIDLIST>(list.GetItemData(row));
  if (!ItemIsFolder(item)) {
    (void)Select(row);
    (void)Key(VK_RETURN, 0);
    return true;
  }
  const std::string name = NameOf(item);
  ComPtr<IShellFolder> child;
  if (FAILED(folders_.back()->BindToObject(item, nullptr, IID_IShellFolder,
                                           child.ReleaseAndGetVoidAddressOf()))) {
    *error = "the folder \"" + name + "\" cannot be opened (it may have been removed: refresh)";
    return false;
  }
  std::vector<std::string> names = names_;
  names.push_back(name);
  return Show(child, names, error);
}

HRESULT ContainerBrowser::RowObject(int row, REFIID riid, void** ppv) const {
  const CListCtrl list = ListOf(window_);
  if (!view_ || folders_.empty() || row < 0 || row >= list.GetItemCount()) return E_INVALIDARG;
  LPCITEMIDLIST item = reinterpret_cast<LPCITEMIDLIST>(list.GetItemData(row));
  return folders_.back()->GetUIObjectOf(nullptr, 1, &item, riid, nullptr, ppv);
}

HRESULT ContainerBrowser::SelectionObject(REFIID riid, void** ppv) const {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!view_ || folders_.empty()) return E_INVALIDARG;
  const CListCtrl list = ListOf(window_);
  std::vector<LPCITEMIDLIST> items;
  for (int row = list.GetNextItem(-1, LVNI_SELECTED); row >= 0;
       row = list.GetNextItem(row, LVNI_SELECTED))
    items.push_back(reinterpret_cast<LPCITEMIDLIST>(list.GetItemData(row)));
  if (items.empty()) return E_INVALIDARG;
  return folders_.back()->GetUIObjectOf(nullptr, static_cast<UINT>(items.size()), items.data(),
                                        riid, nullptr, ppv);
}

bool ContainerBrowser::Up(std::string* error) {
  if (folders_.size() < 2) {
    *error = "already at the top of the container";
    return false;
  }
  ComPtr<IShellFolder> parent = folders_[folders_.size() - 2];
  std::vector<std::string> names(names_.begin(), names_.end() - 1);
  folders_.pop_back();
  folders_.pop_back();
  return Show(parent, names, error);
}

bool ContainerBrowser::Select(int row) {
  if (!view_) return false;
  CListCtrl list = ListOf(window_);
  list.SetItemState(-1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  if (row < 0) return true;
  return list.SetItemState(row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED) != 0;
}

bool ContainerBrowser::SelectAlso(int row) {
  if (!view_) return false;
  return ListOf(window_).SetItemState(row, LVIS_SELECTED, LVIS_SELECTED) != 0;
}

bool ContainerBrowser::RenameRow(int row, const std::string& text) {
  if (!view_) return false;
  CListCtrl list = ListOf(window_);
  if (!list.EditLabel(row)) return false;
  const bool renamed = list.EndEditLabel(text.c_str()) != FALSE;
  (void)PumpWaitingMessages(nullptr, nullptr);
  return renamed;
}

bool ContainerBrowser::Key(WORD key, BYTE modifiers) {
  if (!view_) return false;
  MSG msg{window_, WM_KEYDOWN, key, modifiers, 0};
  const bool taken = view_->TranslateAccelerator(&msg) == S_OK;
  (void)PumpWaitingMessages(nullptr, nullptr);
  FollowRequestedBrowse();
  return taken;
}

HWND ContainerBrowser::ListWindow() const { return view_ ? ListOf(window_).m_hWnd : nullptr; }

bool ContainerBrowser::BeginDrag(bool rightButton) {
  if (!view_) return false;
  NMLISTVIEW notice{};
  notice.hdr.hwndFrom = ListOf(window_).m_hWnd;
  notice.hdr.idFrom = kViewListId;
  notice.hdr.code = rightButton ? LVN_BEGINRDRAG : LVN_BEGINDRAG;
  (void)SendMessageA(window_, WM_NOTIFY, kViewListId, reinterpret_cast<LPARAM>(&notice));
  (void)PumpWaitingMessages(nullptr, nullptr);
  return true;
}

bool ContainerBrowser::Command(WORD id) {
  if (!view_) return false;
  const bool posted = PostMessageA(window_, WM_COMMAND, MAKEWPARAM(id, 0), 0) != FALSE;
  (void)PumpWaitingMessages(nullptr, nullptr);
  FollowRequestedBrowse();
  return posted;
}

// The view asks from inside its own command; it is replaced only after that command returned.
void ContainerBrowser::FollowRequestedBrowse() {
  LPITEMIDLIST requested = requestedBrowse_;
  requestedBrowse_ = nullptr;
  if (requested == nullptr || !view_ || folders_.empty()) {
    ILFree(requested);
    return;
  }
  const std::string name = NameOf(requested);
  ComPtr<IShellFolder> child;
  std::string error;
  if (SUCCEEDED(folders_.back()->BindToObject(requested, nullptr, IID_IShellFolder,
                                              child.ReleaseAndGetVoidAddressOf()))) {
    std::vector<std::string> names = names_;
    names.push_back(name);
    (void)Show(child, names, &error);
  }
  ILFree(requested);
}

void ContainerBrowser::Refresh() {
  if (view_) (void)view_->Refresh();
}

void ContainerBrowser::Close() {
  if (view_) {
    SaveState();
    (void)view_->DestroyViewWindow();
  }
  view_.Reset();
  window_ = nullptr;
  folders_.clear();
  names_.clear();
}

std::string ContainerBrowser::Location() const {
  std::string location = container_;
  for (const std::string& name : names_) location += "/" + name;
  return location;
}

std::string ContainerBrowser::Toolbar() const {
  std::string out;
  for (const TBBUTTON& button : buttons_) {
    if ((button.fsStyle & TBSTYLE_SEP) != 0) continue;
    if (!out.empty()) out += ' ';
    out += std::to_string(button.idCommand);
    out += (button.fsState & TBSTATE_ENABLED) != 0 ? ":on" : ":off";
    if ((button.fsState & TBSTATE_CHECKED) != 0) out += '*';
  }
  return out;
}

// ---- IShellBrowser ----

void ContainerBrowser::SetFrame(HWND frame, std::function<void()> toolbarChanged) {
  frame_ = frame;
  toolbarChanged_ = std::move(toolbarChanged);
}

HRESULT ContainerBrowser::GetWindow(HWND* phwnd) {
  if (phwnd == nullptr) return E_POINTER;
  *phwnd = frame_;  // without a frame the view's dialog stands alone
  return S_OK;
}

HRESULT ContainerBrowser::BrowseObject(LPCITEMIDLIST pidl, UINT flags) {
  std::string error;
  if ((flags & SBSP_PARENT) != 0) return Up(&error) ? S_OK : E_FAIL;
  if ((flags & SBSP_RELATIVE) != 0 && pidl != nullptr) {
    ILFree(requestedBrowse_);
    requestedBrowse_ = ILClone(pidl);
    return requestedBrowse_ != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  return E_NOTIMPL;
}

std::string ContainerBrowser::StateFile() const {
  // One file per place, named by a digest of its location.
  const std::string location = Location();
  std::size_t digest = std::hash<std::string>{}(location);
  char name[32];
  std::snprintf(name, sizeof name, "%016zx", digest);
  return QvMachineRoot() + "/view-state/" + name;
}

HRESULT ContainerBrowser::GetViewStateStream(DWORD mode, IStream** stream) {
  if (stream == nullptr) return E_POINTER;
  *stream = nullptr;
  if (mode == STGM_WRITE) {
    written_.Attach(SHCreateMemStream(nullptr, 0));
    return written_ ? written_.CopyTo(stream) : E_OUTOFMEMORY;
  }
  std::ifstream in(StateFile(), std::ios::binary);
  if (!in) return E_FAIL;
  const std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), {});
  // A state is a header and four widths; anything far larger is not one.
  if (bytes.size() > 4096) return E_FAIL;
  *stream = SHCreateMemStream(bytes.data(), static_cast<UINT>(bytes.size()));
  return *stream != nullptr ? S_OK : E_OUTOFMEMORY;
}

void ContainerBrowser::SaveState() {
  if (!view_ || FAILED(view_->SaveViewState()) || !written_) return;
  STATSTG stat{};
  if (FAILED(written_->Stat(&stat, STATFLAG_NONAME)) || stat.cbSize.QuadPart > 4096) return;
  std::vector<BYTE> bytes(stat.cbSize.QuadPart);
  ULONG read = 0;
  if (FAILED(written_->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr)) ||
      FAILED(written_->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read)))
    return;
  written_.Reset();
  const std::string folder = QvMachineRoot() + "/view-state";
  (void)mkdir(folder.c_str(), 0700);
  std::ofstream out(StateFile(), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(read));
}

HRESULT ContainerBrowser::GetControlWindow(UINT, HWND* phwnd) {
  if (phwnd != nullptr) *phwnd = nullptr;
  return E_NOTIMPL;
}

HRESULT ContainerBrowser::SendControlMsg(UINT id, UINT message, WPARAM wParam, LPARAM lParam,
                                         LRESULT* result) {
  if (result != nullptr) *result = 0;
  if (id != FCW_TOOLBAR) return E_NOTIMPL;
  for (TBBUTTON& button : buttons_) {
    if (button.idCommand != static_cast<int>(wParam)) continue;
    const BYTE flag = message == TB_ENABLEBUTTON ? TBSTATE_ENABLED : TBSTATE_CHECKED;
    if (message != TB_ENABLEBUTTON && message != TB_CHECKBUTTON) break;
    button.fsState = static_cast<BYTE>(LOWORD(static_cast<std::uintptr_t>(lParam)) != 0
                                           ? (button.fsState | flag)
                                           : (button.fsState & ~flag));
  }
  if (result != nullptr) *result = 1;
  if (toolbarChanged_) toolbarChanged_();
  return S_OK;
}

HRESULT ContainerBrowser::QueryActiveShellView(IShellView** view) {
  if (view == nullptr) return E_POINTER;
  return view_.CopyTo(view);
}

HRESULT ContainerBrowser::SetToolbarItems(const TBBUTTON* buttons, UINT count, UINT) {
  if (buttons == nullptr && count != 0) return E_POINTER;
  buttons_.assign(buttons, buttons + count);
  if (toolbarChanged_) toolbarChanged_();
  return S_OK;
}

bool IsContainerFile(const std::string& path, CLSID* clsid) {
  return IsRegularFile(path) && ContainerClassOf(path, clsid);
}

ComPtr<IShellFolder> CreateContainerFolder(InprocServerLoader& loader, const CLSID& clsid,
                                           const std::string& containerPath,
                                           std::string* absolutePath, std::string* error) {
  char absolute[4096];
  if (realpath(containerPath.c_str(), absolute) == nullptr) {
    *error = "cannot resolve " + containerPath;
    return {};
  }
  IUnknown* object = nullptr;
  const HRESULT created = loader.CreateInstance(clsid, IID_IShellFolder, &object, error);
  if (FAILED(created)) return {};
  ComPtr<IShellFolder> root;
  root.Attach(static_cast<IShellFolder*>(object));
  ComPtr<IPersistFolder> persist;
  if (FAILED(root.As(persist))) {
    *error = "the container's class is no shell folder: register again (qvx register)";
    return {};
  }
  LPITEMIDLIST pidl = ILCreateFromPathA(absolute);
  const HRESULT initialized = persist->Initialize(pidl);
  ILFree(pidl);
  if (initialized != S_OK) {
    *error = std::string(absolute) + ": the container file cannot be opened";
    return {};
  }
  *absolutePath = absolute;
  return root;
}
