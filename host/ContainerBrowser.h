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

#include <string>
#include <vector>

#include "host/BrowsePaths.h"
#include "host/InprocServerLoader.h"
#include "platform/shell/ItemIdList.h"
#include "platform/shell/ShellFolder.h"
#include "platform/shell/ShellView.h"

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
  // Enters the folder of row `row`; a file row gets the view's Enter key (its Open command).
  [[nodiscard]] bool Enter(int row, std::string* error);
  // The row whose name is `name` (as the folder names it), -1 when none.
  int RowNamed(const std::string& name) const;
  // Back to the parent folder; false at the container's root.
  [[nodiscard]] bool Up(std::string* error);
  // Selects row `row` alone (-1: nothing) and gives it the focus.
  bool Select(int row);
  // Hands a key to the view; true when it was one of the view's keys.
  bool Key(WORD key, BYTE modifiers);
  // Sends a command (a menu or toolbar id) to the view's window.
  bool Command(WORD id);
  void Refresh();
  void Close();

  std::vector<Row> Rows() const;
  // "<container>" or "<container>/Docs/Sub".
  std::string Location() const;
  bool IsOpen() const { return static_cast<bool>(view_); }
  // The toolbar as the view left it: "command:state" per button.
  std::string Toolbar() const;

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

  InprocServerLoader& loader_;
  std::string container_;
  std::vector<ComPtr<IShellFolder>> folders_;  // the root, then each folder on the way
  std::vector<std::string> names_;             // the folders' names below the root
  ComPtr<IShellView> view_;
  HWND window_ = nullptr;
  ComPtr<IStream> written_;
  std::vector<TBBUTTON> buttons_;
  Failure failure_ = Failure::None;
};
