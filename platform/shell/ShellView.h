// The interfaces between a file manager's window and the view a namespace extension shows in
// it: IShellView (the view), IShellBrowser (the window that hosts it: its toolbar, status
// bar, navigation and the stream where a view keeps its state), FOLDERSETTINGS and the
// toolbar records and messages a view sends through the browser.
#pragma once

#include "platform/Com.h"
#include "platform/Window.h"
#include "platform/ole/Stream.h"
#include "platform/ui/WindowApi.h"

struct ITEMIDLIST;
using LPCITEMIDLIST = const ITEMIDLIST*;

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

// View modes.
inline constexpr UINT FVM_ICON = 1;
inline constexpr UINT FVM_SMALLICON = 2;
inline constexpr UINT FVM_LIST = 3;
inline constexpr UINT FVM_DETAILS = 4;

struct FOLDERSETTINGS {
  UINT ViewMode;
  UINT fFlags;
};

// UIActivate states.
inline constexpr UINT SVUIA_DEACTIVATE = 0;
inline constexpr UINT SVUIA_ACTIVATE_NOFOCUS = 1;
inline constexpr UINT SVUIA_ACTIVATE_FOCUS = 2;

// The browser's controls (GetControlWindow, SendControlMsg).
inline constexpr UINT FCW_STATUS = 1;
inline constexpr UINT FCW_TOOLBAR = 2;
inline constexpr UINT FCW_TREE = 3;

// SetToolbarItems.
inline constexpr UINT FCT_MERGE = 1;
inline constexpr UINT FCT_CONFIGABLE = 2;
inline constexpr UINT FCT_ADDTOEND = 4;

// BrowseObject.
inline constexpr UINT SBSP_SAMEBROWSER = 0x0001;
inline constexpr UINT SBSP_DEFBROWSER = 0x0000;
inline constexpr UINT SBSP_ABSOLUTE = 0x0000;
inline constexpr UINT SBSP_RELATIVE = 0x1000;
inline constexpr UINT SBSP_PARENT = 0x2000;

// Toolbar messages a view sends through SendControlMsg.
inline constexpr UINT TB_ENABLEBUTTON = WM_USER + 1;
inline constexpr UINT TB_CHECKBUTTON = WM_USER + 2;
inline constexpr UINT TB_ADDBITMAP = WM_USER + 19;

// Button states and styles.
inline constexpr BYTE TBSTATE_CHECKED = 0x01;
inline constexpr BYTE TBSTATE_ENABLED = 0x04;
inline constexpr BYTE TBSTYLE_BUTTON = 0x00;
inline constexpr BYTE TBSTYLE_SEP = 0x01;
inline constexpr BYTE TBSTYLE_CHECK = 0x02;
inline constexpr BYTE TBSTYLE_GROUP = 0x04;
inline constexpr BYTE TBSTYLE_CHECKGROUP = TBSTYLE_GROUP | TBSTYLE_CHECK;

// The common bitmaps a view may add to the browser's toolbar (TB_ADDBITMAP with
// HINST_COMMCTRL) and the images inside them.
inline const HINSTANCE HINST_COMMCTRL = reinterpret_cast<HINSTANCE>(static_cast<std::intptr_t>(-1));
inline constexpr UINT_PTR IDB_STD_SMALL_COLOR = 0;
inline constexpr UINT_PTR IDB_VIEW_SMALL_COLOR = 4;
inline constexpr int STD_CUT = 0;
inline constexpr int STD_COPY = 1;
inline constexpr int STD_DELETE = 5;
inline constexpr int VIEW_LARGEICONS = 0;
inline constexpr int VIEW_SMALLICONS = 1;
inline constexpr int VIEW_LIST = 2;
inline constexpr int VIEW_DETAILS = 3;

struct TBADDBITMAP {
  HINSTANCE hInst;
  UINT_PTR nID;
};

struct TBBUTTON {
  int iBitmap;
  int idCommand;
  BYTE fsState;
  BYTE fsStyle;
  std::uintptr_t dwData;
  INT_PTR iString;
};

struct IShellView;

struct IOleWindow : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x00000114, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT GetWindow(HWND* phwnd) = 0;
  virtual HRESULT ContextSensitiveHelp(BOOL enterMode) = 0;

 protected:
  ~IOleWindow() = default;
};

struct IShellBrowser : IOleWindow {
  using Base = IOleWindow;
  static constexpr IID kIid =
      MakeGuid(0x000214E2, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT InsertMenusSB(HMENU shared, void* menuWidths) = 0;
  virtual HRESULT SetMenuSB(HMENU shared, HANDLE menuDescriptor, HWND activeObject) = 0;
  virtual HRESULT RemoveMenusSB(HMENU shared) = 0;
  virtual HRESULT SetStatusTextSB(const char16_t* text) = 0;
  virtual HRESULT EnableModelessSB(BOOL enable) = 0;
  virtual HRESULT TranslateAcceleratorSB(MSG* msg, WORD id) = 0;
  // Navigates to `pidl` (SBSP_RELATIVE: relative to the folder shown; SBSP_PARENT: up).
  virtual HRESULT BrowseObject(LPCITEMIDLIST pidl, UINT flags) = 0;
  // The stream where the view keeps its state for the folder shown, opened for reading
  // (STGM_READ) or writing (STGM_WRITE); the caller releases it.
  virtual HRESULT GetViewStateStream(DWORD mode, IStream** stream) = 0;
  virtual HRESULT GetControlWindow(UINT id, HWND* phwnd) = 0;
  virtual HRESULT SendControlMsg(UINT id, UINT message, WPARAM wParam, LPARAM lParam,
                                 LRESULT* result) = 0;
  virtual HRESULT QueryActiveShellView(IShellView** view) = 0;
  virtual HRESULT OnViewWindowActive(IShellView* view) = 0;
  virtual HRESULT SetToolbarItems(const TBBUTTON* buttons, UINT count, UINT flags) = 0;

 protected:
  ~IShellBrowser() = default;
};

struct IShellView : IOleWindow {
  using Base = IOleWindow;
  static constexpr IID kIid =
      MakeGuid(0x000214E3, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  // S_OK when the view handled the message as one of its keys, S_FALSE otherwise.
  virtual HRESULT TranslateAccelerator(MSG* msg) = 0;
  virtual HRESULT EnableModeless(BOOL enable) = 0;
  virtual HRESULT UIActivate(UINT state) = 0;
  virtual HRESULT Refresh() = 0;
  virtual HRESULT CreateViewWindow(IShellView* previous, const FOLDERSETTINGS* settings,
                                   IShellBrowser* browser, RECT* viewRect, HWND* phwnd) = 0;
  virtual HRESULT DestroyViewWindow() = 0;
  virtual HRESULT GetCurrentInfo(FOLDERSETTINGS* settings) = 0;
  virtual HRESULT AddPropertySheetPages(DWORD reserved, void* addPage, LPARAM lParam) = 0;
  virtual HRESULT SaveViewState() = 0;
  virtual HRESULT SelectItem(LPCITEMIDLIST pidl, UINT flags) = 0;
  virtual HRESULT GetItemObject(UINT item, REFIID riid, void** ppv) = 0;

 protected:
  ~IShellView() = default;
};

inline constexpr const IID& IID_IOleWindow = IOleWindow::kIid;
inline constexpr const IID& IID_IShellBrowser = IShellBrowser::kIid;
inline constexpr const IID& IID_IShellView = IShellView::kIid;
