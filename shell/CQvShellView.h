// The view a file manager shows for a folder of an open container. It owns a dialog
// (CMainDlg) whose list shows the folder's items in four columns: Name, Size, Type and Date.
//
// Nothing is listed before a worker thread has verified the user and checked that the user
// may open this container; the worker hands its verdict to the view's own thread, which alone
// records the container as open (the module tables) and fills the list. The view adds its
// buttons to the browser's toolbar, keeps its view mode and column widths in the browser's
// view-state stream, and refreshes on command 32778, which other views of the container post
// after they changed it.
//
// A view counts itself among the container's verified views only when its own worker passed,
// and on closing takes back only what it counted: a refused view never removes another view's
// verified user. All methods run on the thread that created the view's window.
#pragma once

#include <string>

#include "platform/Com.h"
#include "platform/shell/ShellView.h"
#include "platform/ui/Accelerators.h"
#include "shell/CMainDlg.h"

class CQvShellFolder;

// The view's own interface, first in its table (no methods beyond IUnknown).
struct IQvShellView : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x8E4B1D73, 0x5A29, 0x4C06, 0xB1, 0x9F, 0x63, 0xD0, 0x2A, 0x7C, 0xE5, 0x14);

 protected:
  ~IQvShellView() = default;
};

// Layout of the saved view state: 8 zero bytes, the view mode (u32), the folder's class id,
// 4 bytes not read, then the widths of the four columns (i32 each).
inline constexpr std::size_t kViewStateHeaderSize = 32;
inline constexpr std::size_t kViewStateModeOffset = 8;
inline constexpr std::size_t kViewStateClassOffset = 12;
inline constexpr int kViewColumnCount = 4;

class CQvShellView final : public ComObject<IQvShellView, IShellView>, private CMainDlg::Owner {
 public:
  // IShellView.
  HRESULT GetWindow(HWND* phwnd) override;
  HRESULT ContextSensitiveHelp(BOOL enterMode) override;
  HRESULT TranslateAccelerator(MSG* msg) override;
  HRESULT EnableModeless(BOOL enable) override;
  HRESULT UIActivate(UINT state) override;
  HRESULT Refresh() override;
  HRESULT CreateViewWindow(IShellView* previous, const FOLDERSETTINGS* settings,
                           IShellBrowser* browser, RECT* viewRect, HWND* phwnd) override;
  HRESULT DestroyViewWindow() override;
  HRESULT GetCurrentInfo(FOLDERSETTINGS* settings) override;
  HRESULT AddPropertySheetPages(DWORD reserved, void* addPage, LPARAM lParam) override;
  HRESULT SaveViewState() override;
  HRESULT SelectItem(LPCITEMIDLIST pidl, UINT flags) override;
  HRESULT GetItemObject(UINT item, REFIID riid, void** ppv) override;

  CQvShellFolder* Folder() const { return folder_.Get(); }
  IShellFolder* ShownFolder() const override;

 private:
  // CMainDlg::Owner, on the view's thread.
  void FillList() override;
  void OnWorkerDone(bool verified) override;
  void OnSelectionChanged() override;
  void SetViewMode(UINT mode) override;
  CQvShellFolder* ViewedFolder() const override { return folder_.Get(); }
  void BrowseInto(LPCITEMIDLIST item) override;

  friend HRESULT CreateShellView(CQvShellFolder* folder, REFIID riid, void** ppv) noexcept;
  CQvShellView();
  ~CQvShellView() override;

  void RestoreViewState();
  void AddToolbarButtons();
  bool StartWorker();
  // Registers a drop target for the list, owned by `browserWindow`.
  void RegisterListDropTarget(HWND browserWindow);
  void WaitForWorker();
  static DWORD WorkerMain(void* parameter);

  ComPtr<CQvShellFolder> folder_;
  ComPtr<IShellBrowser> browser_;
  FOLDERSETTINGS settings_{FVM_DETAILS, 0};
  CMainDlg* dialog_ = nullptr;
  HACCEL accelerators_ = nullptr;
  std::string viewKey_;
  HANDLE worker_ = nullptr;
  // The user the worker verified: written by the worker before it posts its verdict, read on
  // the view's thread when the verdict arrives.
  std::string workerUserId_;
  // True once this view counted itself as a verified view of its container.
  bool countedVerified_ = false;
  int standardBitmapOffset_ = 0;
  int viewBitmapOffset_ = 0;
};

// Creates the view of `folder` (which it holds) and queries `riid` from it: what the folder's
// CreateViewObject hands out for IID_IShellView.
[[nodiscard]] HRESULT CreateShellView(CQvShellFolder* folder, REFIID riid, void** ppv) noexcept;
