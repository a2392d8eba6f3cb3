// qvx's browser window (see BrowseWindow.h).
#include "host/BrowseWindow.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include "host/ContainerBrowser.h"
#include "host/ExitCodes.h"
#include "host/InprocServerLoader.h"
#include "host/PlainFolderDrop.h"
#include "platform/Files.h"
#include "platform/MachineRoot.h"
#include "platform/MessageBox.h"
#include "platform/ole/DragDrop.h"
#include "platform/shell/DragQuery.h"
#include "platform/ui/Accelerators.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/Menu.h"
#include "platform/ui/desktop/DesktopBackend.h"

namespace {

// The view's item list, whose selection Enter acts on.
constexpr int kViewListId = 601;
// Wakes the message loop after the frame was closed.
constexpr UINT WM_QV_FRAME_CLOSED = WM_APP + 0x7B0;

// The icons and tooltips of the toolbar's commands: the browser's own and the view's (its Cut,
// Copy and Delete buttons and its four view modes).
struct ToolLook {
  const char* icon;
  const char* tooltip;
};
const std::map<int, ToolLook> kToolbarLooks = {
    {kBrowseCommandUp, {"go-up-symbolic", "Up one folder (Backspace)"}},
    {kBrowseCommandRefresh, {"view-refresh-symbolic", "Refresh (F5)"}},
    {1100, {"edit-cut-symbolic", "Cut (Ctrl+X)"}},
    {512, {"edit-copy-symbolic", "Copy (Ctrl+C)"}},
    {1101, {"edit-delete-symbolic", "Delete (Delete)"}},
    {508, {"view-app-grid-symbolic", "Large icons"}},
    {509, {"view-grid-symbolic", "Small icons"}},
    {510, {"view-list-bullet-symbolic", "List"}},
    {511, {"view-list-symbolic", "Details"}},
};

DialogTemplate FrameTemplate() {
  DialogTemplate frame;
  frame.id = kBrowseFrameTemplateId;
  frame.width = 460;  // dialog units: about 800 by 560 pixels
  frame.height = 320;
  frame.caption = "qvx";
  return frame;
}

class CBrowseFrame final : public CDialog {
 public:
  CBrowseFrame() : CDialog(FrameTemplate(), nullptr) {}
  bool Closed() const { return closed_; }

 protected:
  void OnOK() override {}
  void OnCancel() override {
    closed_ = true;
    (void)PostMessage(WM_QV_FRAME_CLOSED);
  }

 private:
  bool closed_ = false;
};

// Asks for a row's new name, as F2 does in a file manager's list.
class CRenameDlg final : public CDialog {
 public:
  CRenameDlg(const std::string& name, HWND owner) : CDialog(Template(name), owner) {}
  const std::string& Name() const { return name_; }

 protected:
  void OnOK() override {
    name_ = GetDlgItemText(kBrowseRenameEditId);
    CDialog::OnOK();
  }

 private:
  static DialogTemplate Template(const std::string& name) {
    DialogTemplate dialog;
    dialog.id = kBrowseRenameTemplateId;
    dialog.width = 220;
    dialog.caption = "Rename";
    auto add = [&](int id, ControlKind kind, std::string text, DWORD style) {
      ControlTemplate control;
      control.id = id;
      control.kind = kind;
      control.text = std::move(text);
      control.style = WS_VISIBLE | style;
      dialog.controls.push_back(std::move(control));
    };
    add(IDC_STATIC, ControlKind::Static, "New name of \"" + name + "\":", 0);
    add(kBrowseRenameEditId, ControlKind::Edit, name, WS_TABSTOP);
    add(IDOK, ControlKind::Button, "Rename", WS_TABSTOP | BS_DEFPUSHBUTTON);
    add(IDCANCEL, ControlKind::Button, "Cancel", WS_TABSTOP);
    return dialog;
  }

  std::string name_;
};

class BrowseWindow {
 public:
  BrowseWindow(DesktopBackend& desktop, CBrowseFrame& frame, ContainerBrowser& browser)
      : desktop_(desktop), frame_(frame), browser_(browser) {}
  // The files decrypted for drags go with the window.
  ~BrowseWindow() {
    for (const std::string& folder : dragFolders_) (void)DeleteFolderTreeA(folder.c_str());
  }
  BrowseWindow(const BrowseWindow&) = delete;
  BrowseWindow& operator=(const BrowseWindow&) = delete;

  // Pumps the thread's messages until the frame is closed.
  void Run() {
    MSG msg{};
    while (!frame_.Closed()) {
      const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
      if (got == 0 || got == -1) break;
      if (Handle(msg)) continue;
      (void)DispatchMessageA(&msg);
    }
  }

  // The title and toolbar for the place now shown.
  void ShowPlace() {
    (void)frame_.SetWindowText(browser_.Location().c_str());
    ShowToolbar();
  }

  void ShowToolbar() {
    std::vector<DesktopBackend::ToolbarButton> buttons;
    auto add = [&](int command, bool enabled, bool checkable, bool checked) {
      DesktopBackend::ToolbarButton button;
      button.command = command;
      const auto look = kToolbarLooks.find(command);
      button.icon = look != kToolbarLooks.end() ? look->second.icon : "image-missing";
      if (look != kToolbarLooks.end()) button.tooltip = look->second.tooltip;
      button.enabled = enabled;
      button.checkable = checkable;
      button.checked = checked;
      buttons.push_back(std::move(button));
    };
    add(kBrowseCommandUp, !browser_.AtTop(), false, false);
    add(kBrowseCommandRefresh, browser_.IsOpen(), false, false);
    buttons.emplace_back();  // a separator
    for (const TBBUTTON& button : browser_.ToolbarButtons()) {
      if ((button.fsStyle & TBSTYLE_SEP) != 0) {
        buttons.emplace_back();
        continue;
      }
      add(button.idCommand, (button.fsState & TBSTATE_ENABLED) != 0,
          (button.fsStyle & TBSTYLE_CHECK) != 0, (button.fsState & TBSTATE_CHECKED) != 0);
    }
    desktop_.SetToolbar(frame_.GetSafeHwnd(), std::move(buttons));
  }

 private:
  bool Handle(const MSG& msg) {
    if (msg.message == WM_COMMAND && msg.hwnd == frame_.GetSafeHwnd()) {
      const WORD command = LOWORD(msg.wParam);
      if (command == kBrowseCommandUp) {
        Act([&](std::string* error) { return browser_.Up(error); });
      } else if (command == kBrowseCommandRefresh) {
        browser_.Refresh();
      } else {
        (void)browser_.Command(command);
      }
      return true;
    }
    if (msg.message == DesktopBackend::kFilesWantedMessage && msg.hwnd == browser_.ViewWindow()) {
      desktop_.GiveDraggedFiles(msg.wParam, DecryptSelection());
      return true;
    }
    if (msg.message == DesktopBackend::kFilesDroppedMessage && msg.hwnd == browser_.ViewWindow()) {
      DropFiles();
      return true;
    }
    if (msg.message != WM_KEYDOWN || msg.hwnd != browser_.ViewWindow()) return false;
    const auto key = static_cast<WORD>(msg.wParam);
    const auto modifiers = static_cast<BYTE>(msg.lParam);
    if (key == VK_RETURN && modifiers == 0) {
      const int row = CListCtrl(::GetDlgItem(browser_.ViewWindow(), kViewListId))
                          .GetNextItem(-1, LVNI_SELECTED);
      const auto rows = browser_.Rows();
      if (row >= 0 && static_cast<size_t>(row) < rows.size() &&
          rows[static_cast<size_t>(row)].folder) {
        Act([&](std::string* error) { return browser_.Enter(row, error); });
        return true;
      }
      // A file: the view's Open command, for the whole selection.
    } else if (key == VK_BACK && modifiers == 0) {
      // At the container's root there is nowhere to go.
      if (!browser_.AtTop()) Act([&](std::string* error) { return browser_.Up(error); });
      return true;
    } else if (key == VK_F5 && modifiers == 0) {
      browser_.Refresh();
      return true;
    } else if (key == VK_F2 && modifiers == 0) {
      RenameSelectedRow();
      return true;
    }
    (void)browser_.Key(key, modifiers);
    return true;
  }

  // Files dropped from the desktop reach the view as another program's drop does: through the
  // target the view registered for its list, which stores them and refreshes the view. They
  // are always copied (see DesktopBackend::TakeDroppedFiles).
  void DropFiles() {
    DesktopBackend::DroppedFiles drop;
    while (desktop_.TakeDroppedFiles(browser_.ViewWindow(), &drop)) {
      ComPtr<IDataObject> data;
      DWORD effect = DROPEFFECT_NONE;
      if (SUCCEEDED(CreateDropDataObject(drop.paths, true, data.ReleaseAndGetAddressOf())))
        effect = QvDropFromOutside(drop.list, data.Get(), DROPEFFECT_COPY, MK_CONTROL, drop.point);
      if (effect == DROPEFFECT_NONE)
        (void)MessageBoxA(frame_.GetSafeHwnd(),
                          ("Nothing was dropped into " + browser_.Location() +
                           ". Shortcuts, links, devices, the container itself and folders holding "
                           "it cannot be stored in it, and a user who was not verified may not "
                           "add to it; leave such items out and try again.")
                              .c_str(),
                          "qvx", MB_OK | MB_ICONWARNING);
    }
  }

  // F2: the one selected row gets the name the user gives, through the view's label edit.
  void RenameSelectedRow() {
    const CListCtrl list(::GetDlgItem(browser_.ViewWindow(), kViewListId));
    const int row = list.GetNextItem(-1, LVNI_SELECTED);
    const auto rows = browser_.Rows();
    if (row < 0 || list.GetNextItem(row, LVNI_SELECTED) >= 0 ||
        static_cast<size_t>(row) >= rows.size())
      return;  // one row at a time, as a file manager's list does
    const std::string old = rows[static_cast<size_t>(row)].texts[0];
    // Owned by the view: a dialog owned by the frame itself would be shown inside it.
    CRenameDlg dialog(old, browser_.ViewWindow());
    if (dialog.DoModal() != IDOK || dialog.Name() == old) return;
    // The view tells the user about a name it refuses; a name taken leaves the row as it was.
    (void)browser_.RenameRow(row, dialog.Name());
  }

  // The selected rows, decrypted through the view's data object into a private folder of their
  // own for a drop target that asked for them; empty, after telling the user, when they cannot
  // all be.
  std::vector<std::string> DecryptSelection() {
    ComPtr<IDataObject> data;
    if (FAILED(browser_.SelectionObject(IID_IDataObject, data.ReleaseAndGetVoidAddressOf())))
      return {};
    char folder[4096];  // PATH_MAX
    if (!CreateUniqueDirectoryA(QvRuntimeDir().c_str(), "dragged-", folder, sizeof folder)) {
      (void)MessageBoxA(frame_.GetSafeHwnd(),
                        ("The dragged items could not be decrypted: no private folder could be "
                         "made in " +
                         QvRuntimeDir() + ". Check that it is yours and has room, then try again.")
                            .c_str(),
                        "qvx", MB_OK | MB_ICONERROR);
      return {};
    }
    PlainFolderDropResult result;
    const HRESULT hr =
        ReceiveIntoPlainFolder(data.Get(), folder, PlainFolderDropOptions{}, &result);
    std::vector<std::string> paths;
    std::error_code error;
    if (hr == S_OK)
      for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        paths.push_back(entry.path().string());
    if (hr != S_OK || error || paths.empty()) {
      // Nothing half-decrypted stays behind, and the drop gets nothing.
      (void)DeleteFolderTreeA(folder);
      std::string why = result.failures.empty() ? "" : " (" + result.failures.front() + ")";
      (void)MessageBoxA(frame_.GetSafeHwnd(),
                        ("The dragged items could not be decrypted" + why +
                         "; nothing was given to the drop. Try again, or use Decrypt To.")
                            .c_str(),
                        "qvx", MB_OK | MB_ICONERROR);
      return {};
    }
    dragFolders_.emplace_back(folder);
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  // Moves to another place; a failure is shown, and the place shown stays.
  template <class Move>
  void Act(Move&& move) {
    std::string error;
    if (!move(&error)) {
      (void)MessageBoxA(frame_.GetSafeHwnd(), error.c_str(), "qvx", MB_OK | MB_ICONERROR);
    }
    ShowPlace();
  }

  DesktopBackend& desktop_;
  CBrowseFrame& frame_;
  ContainerBrowser& browser_;
  std::vector<std::string> dragFolders_;
};

}  // namespace

int RunBrowseWindow(
    const std::string& path, DesktopBackend& desktop,
    const std::function<int(const ContainerBrowser&, const std::string&)>& openFailed) {
  CBrowseFrame frame;
  if (!frame.Create(nullptr)) {
    std::fprintf(stderr, "qvx browse: the window could not be created\n");
    return kExitFailed;
  }
  desktop.MakeFrame(frame.GetSafeHwnd());
  (void)frame.SetWindowText(path.c_str());
  (void)frame.ShowWindow(SW_SHOW);
  QvSetPopupMenuChooser(&DesktopBackend::ChoosePopupMenuItem, &desktop);
  InprocServerLoader loader;
  int result = kExitOk;
  {
    ComPtr<ContainerBrowser> browser;
    browser.Attach(new ContainerBrowser(loader));
    BrowseWindow window(desktop, frame, *browser.Get());
    browser->SetFrame(frame.GetSafeHwnd(), [&window] { window.ShowToolbar(); });
    std::string error;
    const bool opened = browser->Open(path, &error);
    if (!opened) {
      result = openFailed(*browser.Get(), error);
      (void)MessageBoxA(frame.GetSafeHwnd(), error.c_str(), "qvx", MB_OK | MB_ICONERROR);
    } else {
      window.ShowPlace();
      window.Run();
    }
    browser->SetFrame(nullptr, nullptr);
    browser->Close();
  }
  QvSetPopupMenuChooser(nullptr, nullptr);
  (void)frame.DestroyWindow();
  return result;
}
