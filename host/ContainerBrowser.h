// qvx's browser window around a container: it binds to a place the way the file manager does
// (the registry gives the container type's class, the class is created from its registered
// library, IPersistFolder::Initialize, BindToObject for each folder on the way,
// CreateViewObject, CreateViewWindow with this object as the IShellBrowser), waits for the
// view's worker while pumping messages, and reads back what the view's list shows.
//
// One view is open at a time; moving to another folder opens the new view before the old one
// closes, so the container never stops counting as open on the way. The view's state is kept
// per place in the machine root ("view-state/"), as the file manager keeps it per folder.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/BrowsePaths.h"
#include "host/InprocServerLoader.h"
#include "platform/shell/ItemIdList.h"
#include "platform/shell/ShellFolder.h"
#include "platform/shell/ShellView.h"

// Whether `path` is a regular file of the registered container type; `clsid` gets the class
// the type is bound to.
[[nodiscard]] bool IsContainerFile(const std::string& path, CLSID* clsid);

// The root folder of the container file `containerPath`, made from `clsid` (see
// IsContainerFile) and initialised with the file's absolute path, as the file manager makes it;
// `absolutePath` gets that path. Null with `error` saying why and what to do when it fails.
[[nodiscard]] ComPtr<IShellFolder> CreateContainerFolder(InprocServerLoader& loader,
                                                         const CLSID& clsid,
                                                         const std::string& containerPath,
                                                         std::string* absolutePath,
                                                         std::string* error);

class ContainerBrowser final : public ComObject<IShellBrowser> {
 public:
  struct Row {
    std::string texts[4];  // Name, Size, Type, Date as the view shows them
    bool folder = false;
    bool selected = false;
  };

  // Why the last Open, Enter or Up failed.
  enum class Failure { None, NotAContainer, NotFound, Refused, Other };

  explicit ContainerBrowser(InprocServerLoader& loader);

  // Opens the place `path` runs to (see SplitContainerPath). False with `error` saying why
  // and what to do, and LastFailure() telling which kind of failure it was: a view whose user
  // was refused is a failure (Refused), an empty folder is not.
  [[nodiscard]] bool Open(const std::string& path, std::string* error);
  Failure LastFailure() const { return failure_; }
  // The exit code of qvx's commands that open a place (host/ExitCodes.h) for LastFailure():
  // 4 when the path runs through no registered container, 6 when nothing is at the path, 7
  // when the user was refused, 1 for any other failure, 0 after none.
  int ExitCode() const;
  // Enters the folder of row `row`; a file row gets the view's Enter key (its Open command).
  [[nodiscard]] bool Enter(int row, std::string* error);
  // The row whose name is `name` (as the folder names it), -1 when none.
  int RowNamed(const std::string& name) const;
  // Back to the parent folder; false at the container's root.
  [[nodiscard]] bool Up(std::string* error);
  // Selects row `row` alone (-1: nothing) and gives it the focus.
  bool Select(int row);
  // Adds row `row` to the selection.
  bool SelectAlso(int row);
  // Edits the label of row `row` to `text`, as the user does with F2; true when the view took
  // the new name.
  bool RenameRow(int row, const std::string& text);
  // Hands a key to the view; true when it was one of the view's keys.
  bool Key(WORD key, BYTE modifiers);
  // What the shown folder hands out for row `row` (GetUIObjectOf), as the file manager asks
  // for an item's drop target; E_INVALIDARG for a row that is not there.
  HRESULT RowObject(int row, REFIID riid, void** ppv) const;
  // Presses on the selection in the view's list and moves, with the right button or the left:
  // the view starts its drag, which follows the drag script set before (QvSetDragScript).
  // False when no view is open.
  bool BeginDrag(bool rightButton);
  // What the shown folder hands out for the selected rows together, as the file manager asks
  // for a selection's data object; E_INVALIDARG when no row is selected.
  HRESULT SelectionObject(REFIID riid, void** ppv) const;
  // Sends a command (a menu or toolbar id) to the view's window.
  bool Command(WORD id);
  void Refresh();
  void Close();

  std::vector<Row> Rows() const;
  // "<container>" or "<container>/Docs/Sub".
  std::string Location() const;
  bool IsOpen() const { return static_cast<bool>(view_); }
  // At the container's root folder (nowhere to go up to).
  bool AtTop() const { return names_.empty(); }
  // The toolbar as the view left it: "command:state" per button.
  std::string Toolbar() const;
  const std::vector<TBBUTTON>& ToolbarButtons() const { return buttons_; }
  // The window of the open view (its dialog), null when none is open.
  HWND ViewWindow() const { return window_; }
  // The view's item list, which takes drops; null when no view is open.
  HWND ListWindow() const;
  // The browser's own window, which views are created in (null: none, each view's dialog
  // stands alone), and what to call when the view changes the toolbar.
  void SetFrame(HWND frame, std::function<void()> toolbarChanged);

  // IShellBrowser.
  HRESULT GetWindow(HWND* phwnd) override;
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT InsertMenusSB(HMENU, void*) override { return E_NOTIMPL; }
  HRESULT SetMenuSB(HMENU, HANDLE, HWND) override { return E_NOTIMPL; }
  HRESULT RemoveMenusSB(HMENU) override { return E_NOTIMPL; }
  HRESULT SetStatusTextSB(const char16_t*) override { return S_OK; }
  HRESULT EnableModelessSB(BOOL) override { return E_NOTIMPL; }
  HRESULT TranslateAcceleratorSB(MSG*, WORD) override { return S_FALSE; }
  HRESULT BrowseObject(LPCITEMIDLIST pidl, UINT flags) override;
  HRESULT GetViewStateStream(DWORD mode, IStream** stream) override;
  HRESULT GetControlWindow(UINT, HWND* phwnd) override;
  HRESULT SendControlMsg(UINT id, UINT message, WPARAM wParam, LPARAM lParam,
                         LRESULT* result) override;
  HRESULT QueryActiveShellView(IShellView** view) override;
  HRESULT OnViewWindowActive(IShellView*) override { return S_OK; }
  HRESULT SetToolbarItems(const TBBUTTON* buttons, UINT count, UINT flags) override;

 private:
  ~ContainerBrowser() override;
  // Shows `folder` (whose place is `names` below the container) in a new view, then closes
  // the old one.
  bool Show(ComPtr<IShellFolder> folder, std::vector<std::string> names, std::string* error);
  bool WaitForView(std::string* error);
  bool ItemIsFolder(LPCITEMIDLIST item) const;
  std::string NameOf(LPCITEMIDLIST item) const;
  std::string StateFile() const;
  void SaveState();
  // Shows the sub-folder the view asked for (BrowseObject) once its command has returned.
  void FollowRequestedBrowse();

  InprocServerLoader& loader_;
  std::string container_;
  std::vector<ComPtr<IShellFolder>> folders_;  // the root, then each folder on the way
  std::vector<std::string> names_;             // the folders' names below the root
  ComPtr<IShellView> view_;
  HWND window_ = nullptr;
  ComPtr<IStream> written_;
  std::vector<TBBUTTON> buttons_;
  // A sub-folder the view asked to show, relative to the folder shown; null when none.
  LPITEMIDLIST requestedBrowse_ = nullptr;
  HWND frame_ = nullptr;
  std::function<void()> toolbarChanged_;
  Failure failure_ = Failure::None;
};
