// What the view tests share: a browser that records what a view asks of it (toolbar buttons
// and messages, status texts, navigation, the view-state stream), a container built by the
// engine for alice, and a view opened on it the way a file manager opens one.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "base/ModuleTables.h"
#include "base/QvFolderExtApp.h"
#include "platform/shell/ItemIdList.h"
#include "platform/shell/ShellView.h"
#include "platform/ui/Controls.h"
#include "shell/CQvShellFolder.h"
#include "suite/QvDialogIds.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "tests/engine/ProgressDialogFixture.h"

namespace view_test {

class RecordingBrowser final : public ComObject<IShellBrowser> {
 public:
  struct ControlMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
  };

  HRESULT GetWindow(HWND* phwnd) override {
    *phwnd = nullptr;
    return S_OK;
  }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT InsertMenusSB(HMENU, void*) override { return E_NOTIMPL; }
  HRESULT SetMenuSB(HMENU, HANDLE, HWND) override { return E_NOTIMPL; }
  HRESULT RemoveMenusSB(HMENU) override { return E_NOTIMPL; }
  HRESULT SetStatusTextSB(const char16_t*) override {
    ++statusTexts;
    return S_OK;
  }
  HRESULT EnableModelessSB(BOOL) override { return E_NOTIMPL; }
  HRESULT TranslateAcceleratorSB(MSG*, WORD) override { return S_FALSE; }
  HRESULT BrowseObject(LPCITEMIDLIST, UINT flags) override {
    browsed.push_back(flags);
    return S_OK;
  }
  HRESULT GetViewStateStream(DWORD mode, IStream** stream) override {
    *stream = nullptr;
    if (mode == STGM_WRITE) {
      state.clear();
      writing.Attach(SHCreateMemStream(nullptr, 0));
      return writing.CopyTo(stream);
    }
    if (state.empty()) return E_FAIL;
    *stream = SHCreateMemStream(state.data(), static_cast<UINT>(state.size()));
    return S_OK;
  }
  HRESULT GetControlWindow(UINT, HWND* phwnd) override {
    *phwnd = nullptr;
    return E_NOTIMPL;
  }
  HRESULT SendControlMsg(UINT id, UINT message, WPARAM wParam, LPARAM lParam,
                         LRESULT* result) override {
    if (id != FCW_TOOLBAR) return E_NOTIMPL;
    toolbarMessages.push_back({message, wParam, lParam});
    if (result != nullptr) *result = message == TB_ADDBITMAP ? 100 : 1;
    return S_OK;
  }
  HRESULT QueryActiveShellView(IShellView** view) override {
    *view = nullptr;
    return E_NOTIMPL;
  }
  HRESULT OnViewWindowActive(IShellView*) override { return S_OK; }
  HRESULT SetToolbarItems(const TBBUTTON* items, UINT count, UINT flags) override {
    buttons.assign(items, items + count);
    mergeFlags = flags;
    return S_OK;
  }

  // What the view last wrote to the stream (kept for the next view's read).
  void KeepWrittenState() {
    state.clear();
    if (!writing) return;
    STATSTG stat{};
    ASSERT_EQ(writing->Stat(&stat, STATFLAG_NONAME), S_OK);
    state.resize(stat.cbSize.QuadPart);
    ASSERT_EQ(writing->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr), S_OK);
    ULONG read = 0;
    ASSERT_EQ(writing->Read(state.data(), static_cast<ULONG>(state.size()), &read), S_OK);
    writing.Reset();
  }
  // The last TB_ENABLEBUTTON / TB_CHECKBUTTON value sent for `command`; -1 when none.
  int LastState(UINT message, WPARAM command) const {
    for (auto it = toolbarMessages.rbegin(); it != toolbarMessages.rend(); ++it)
      if (it->message == message && it->wParam == command) return static_cast<int>(it->lParam);
    return -1;
  }

  std::vector<TBBUTTON> buttons;
  UINT mergeFlags = 0;
  std::vector<ControlMessage> toolbarMessages;
  std::vector<UINT> browsed;
  int statusTexts = 0;
  std::vector<BYTE> state;
  ComPtr<IStream> writing;
};

// A view of one folder, opened as a file manager opens it, closed (DestroyViewWindow) at the
// end of its life.
struct OpenView {
  ComPtr<IShellFolder> folder;
  ComPtr<IShellView> view;
  HWND window = nullptr;

  OpenView() = default;
  OpenView(OpenView&&) = default;
  OpenView& operator=(OpenView&&) = default;
  ~OpenView() { Close(); }
  void Close() {
    if (view) {
      EXPECT_EQ(view->DestroyViewWindow(), S_OK);
    }
    view.Reset();
    folder.Reset();
    window = nullptr;
  }

  CListCtrl List() const { return CListCtrl(::GetDlgItem(window, 601)); }
  bool Loading() const { return CAnimateCtrl(::GetDlgItem(window, 913)).IsPlaying(); }
  // Pumps this thread's messages until the view's worker has given its verdict.
  void WaitUntilLoaded() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Loading() && std::chrono::steady_clock::now() < deadline) {
      (void)MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      (void)PumpWaitingMessages(nullptr, nullptr);
    }
    ASSERT_FALSE(Loading()) << "the view's worker never finished";
  }
  // Every row: its four texts joined by " | ".
  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    CListCtrl list = List();
    for (int i = 0; i < list.GetItemCount(); ++i) {
      std::string row;
      for (int column = 0; column < 4; ++column)
        row += (column == 0 ? "" : " | ") + list.GetItemText(i, column);
      rows.push_back(row);
    }
    return rows;
  }
};

inline constexpr const char* kMe = "me";

class ViewFixture : public engine_test::ProgressDialogFixture {
 protected:
  void SetUp() override {
    ProgressDialogFixture::SetUp();
    // The view verifies whoever runs it: this account, enrolled as "me" with a key.
    ASSERT_EQ(qvtest::EnrollWithKey(
                  {kMe, QvCurrentAccount().userName, "Me", QvAccountType::Computer}, "pw"),
              QvStoreStatus::Ok);
    QvLogOff();
    ASSERT_EQ(QvLogOnUser(kMe, "pw"), QvLogOnResult::Passed);
    browser_.Attach(new RecordingBrowser());
  }
  void TearDown() override {
    browser_.Reset();
    ProgressDialogFixture::TearDown();
  }

  // Encrypts a folder "Box" holding `files` (name -> content) and the folders `folders`
  // (relative paths), and returns the container's path.
  std::string MakeContainer(const std::vector<std::pair<std::string, std::string>>& files,
                            const std::vector<std::string>& folders = {}) {
    const std::string box = P("Box");
    engine_test::fs::create_directories(box);
    for (const std::string& folder : folders)
      engine_test::fs::create_directories(box + "/" + folder);
    for (const auto& [name, content] : files) engine_test::WriteBytes(box + "/" + name, content);
    const engine_test::Outcome run = RunDialog({box}, true, kMe);
    EXPECT_EQ(run.result, IDOK) << run.Statuses();
    return box + ".qvef";
  }

  // Opens a view of the root of `container` with `browser` (the fixture's by default);
  // `password` answers the verification when it is asked (empty: not expected).
  OpenView Open(const std::string& container, const std::string& password = "pw",
                RecordingBrowser* browser = nullptr, UINT viewMode = FVM_DETAILS) {
    OpenView open;
    EXPECT_EQ(
        CQvShellFolder::CreateInstance(IID_IShellFolder, open.folder.ReleaseAndGetVoidAddressOf()),
        S_OK);
    ComPtr<IPersistFolder> persist;
    EXPECT_EQ(open.folder.As(persist), S_OK);
    LPITEMIDLIST pidl = ILCreateFromPathA(container.c_str());
    EXPECT_EQ(persist->Initialize(pidl), S_OK);
    ILFree(pidl);
    return ShowView(std::move(open), password, browser, viewMode);
  }

  OpenView ShowView(OpenView open, const std::string& password, RecordingBrowser* browser,
                    UINT viewMode = FVM_DETAILS) {
    if (!password.empty()) ui_.TypeAndPress(kPasswordDialogId, kPasswordEditId, password, IDOK);
    EXPECT_EQ(open.folder->CreateViewObject(nullptr, IID_IShellView,
                                            open.view.ReleaseAndGetVoidAddressOf()),
              S_OK);
    if (!open.view) return open;
    const FOLDERSETTINGS settings{viewMode, 0};
    RECT rect{0, 0, 640, 480};
    EXPECT_EQ(
        open.view->CreateViewWindow(
            nullptr, &settings, browser != nullptr ? browser : browser_.Get(), &rect, &open.window),
        S_OK);
    EXPECT_NE(open.window, nullptr);
    open.WaitUntilLoaded();
    return open;
  }

  int PasswordPrompts() const {
    int count = 0;
    for (const auto& closed : ui_.ClosedDialogs())
      if (closed.state.templateId == kPasswordDialogId) ++count;
    return count;
  }

  ComPtr<RecordingBrowser> browser_;
};

}  // namespace view_test
