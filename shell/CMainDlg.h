// The view's window: a dialog (template 603) holding the item list (601) and the animation
// (913) that plays while the view's worker verifies the user. Each list item carries one
// container item identifier as its data, owned by the list and freed when the item goes; its
// texts are given on demand from that identifier.
#pragma once

#include <map>
#include <string>

#include "platform/Com.h"
#include "platform/ole/DataObject.h"
#include "platform/shell/ItemIdList.h"
#include "platform/shell/ShellFolder.h"
#include "platform/shell/ShellView.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Dialog.h"

namespace viewcmd {
inline constexpr WORD kOpen = 32773;
inline constexpr WORD kDecryptTo = 32774;
inline constexpr WORD kDelete = 32775;
inline constexpr WORD kSelectAll = 32776;
inline constexpr WORD kRefresh = 32778;
inline constexpr WORD kShiftDelete = 32779;
inline constexpr WORD kCopy = 32780;
inline constexpr WORD kCut = 32781;
inline constexpr WORD kEscape = 32784;
inline constexpr WORD kToolbarCopy = 512;
inline constexpr WORD kToolbarCut = 1100;
inline constexpr WORD kToolbarDelete = 1101;
inline constexpr WORD kLargeIcons = 508;
inline constexpr WORD kSmallIcons = 509;
inline constexpr WORD kList = 510;
inline constexpr WORD kDetails = 511;
}  // namespace viewcmd

// Posted by the view's worker to the dialog: wParam 1 when the user passed, else 0.
inline constexpr UINT WM_QV_VIEW_WORKER_DONE = WM_APP + 0x3C2;

// Column widths in characters of the list's font, and the width of one character.
inline constexpr int kNameColumnChars = 20;
inline constexpr int kSizeColumnChars = 10;
inline constexpr int kTypeColumnChars = 20;
inline constexpr int kDateColumnChars = 20;
inline constexpr int kCharacterWidth = 8;

class CQvShellFolder;
struct ContainerItem;

class CMainDlg final : public CDialog {
 public:
  // What the dialog asks of the view that owns it, on the view's thread.
  class Owner {
   public:
    // Empties the list and fills it again from a new enumeration of the folder.
    virtual void FillList() = 0;
    // The worker's verdict: the user passed or not.
    virtual void OnWorkerDone(bool verified) = 0;
    // The selection changed: the toolbar's Cut, Copy and Delete follow it.
    virtual void OnSelectionChanged() = 0;
    // Commands 508..511: the list's style and the view mode (FVM_*).
    virtual void SetViewMode(UINT mode) = 0;
    // The folder the view shows.
    virtual CQvShellFolder* ViewedFolder() const = 0;
    // Asks the browser to show the sub-folder `item` (an identifier of the list) in place of
    // this view; the view may be closed before the call returns.
    virtual void BrowseInto(LPCITEMIDLIST item) = 0;
    virtual IShellFolder* ShownFolder() const = 0;

   protected:
    ~Owner() = default;
  };

  // Placement is the back end's: the dialog fills the place the browser gives its view.
  explicit CMainDlg(Owner* view);

  CListCtrl List() const { return CListCtrl(::GetDlgItem(m_hWnd, IDC_VIEW_LIST)); }
  CAnimateCtrl Animation() const { return CAnimateCtrl(::GetDlgItem(m_hWnd, IDC_VIEW_ANIMATION)); }
  // Reads the file manager's settings the texts depend on; called before each filling.
  void ReadDisplaySettings();
  // The text of `column` for the identifier `item` (what LVN_GETDISPINFOA answers).
  std::string ItemText(LPARAM item, int column);
  // The system small-icon index of the item's encrypted kind (.qvef for a folder, .qvf for a
  // file); -1 when there is none.
  static int ItemImage(LPARAM item);
  // Frees the identifiers of every item and empties the list.
  void ClearList();

  // How the selection leaves the view.
  enum class TransferMode { kCopy, kCut, kDragLeft, kDragRight };
  // Puts the selected items on the clipboard (Copy, Cut) or drags them out; the items of a
  // cut are marked as cut until the clipboard moves on.
  void StartTransfer(TransferMode mode);
  static constexpr UINT_PTR kClipboardWatchTimer = 1;
  static constexpr UINT kClipboardWatchMilliseconds = 500;

  static constexpr int IDC_VIEW_LIST = 601;
  static constexpr int IDC_VIEW_ANIMATION = 913;

 protected:
  BOOL OnInitDialog() override;
  bool OnCommand(WORD id, WORD code) override;
  LRESULT OnNotify(const NMHDR* header) override;
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  void OnOK() override;
  void OnCancel() override;
  void OnTimer(UINT_PTR id) override;
  // The view is closing: the clipboard watch stops, and a clipboard still holding this view's
  // items is emptied, so nothing on it outlives the view.
  void OnDestroy() override;

 private:
  std::string ShownName(std::string name);
  void ShowContextMenu();
  // The clipboard watch: the cut marks go when the clipboard holds something else, and the
  // clipboard is emptied when an item it holds is no longer in the container.
  void WatchClipboard();

  // ---- The item commands (CMainDlgItemCommands.cpp) ----
  // Enter and the menu's Open: each selected item in list order. A folder browses into it,
  // which ends the command (the view goes); with "DisableDbClickOpen" set, files run Decrypt
  // To once for the whole selection.
  void OpenSelection();
  // A double click on item `index`.
  void OpenItem(int index);
  void OpenFolder(LPCITEMIDLIST item);
  // Decrypts the file to a private folder and launches it with the desktop opener.
  void OpenFile(const ContainerItem& item);
  void DecryptTo();
  void DeleteSelection();
  // The end of a label edit: TRUE when the item was renamed and the new label stands.
  BOOL RenameItem(int index, const char* newText);
  // Posts the refresh command to every open view of every container; `except` is left out.
  static void RefreshOpenViews(HWND except);

  Owner* view_;
  bool showExtensions_ = true;
  // Whether an extension is a registered type, looked up once per filling.
  std::map<std::string, bool> knownExtensions_;
  // The type name of a file by its extension, looked up once per filling.
  std::map<std::string, std::string> typeNames_;
  // The data object this view put on the clipboard, while the watch runs.
  ComPtr<IDataObject> clipboardObject_;
};
