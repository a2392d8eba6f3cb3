// The view's dialog: columns, the texts of the items, the list's notifications and the
// commands of its keys, menu and the browser's toolbar.
#include "shell/CMainDlg.h"

#include <cstdio>

#include "base/ContainerItemId.h"
#include "base/DialogResources.h"
#include "base/Settings.h"
#include "base/StringTable.h"
#include "container/QVDatabase.h"
#include "platform/DateFormat.h"
#include "platform/FileTime.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/ole/Clipboard.h"
#include "platform/ole/DragDrop.h"
#include "platform/shell/FileInfo.h"
#include "platform/shell/ShellSettings.h"
#include "platform/ui/Menu.h"
#include "transfer/CQvDataObject.h"
#include "transfer/CQvDropSource.h"

namespace {

constexpr UINT IDS_COLUMN_NAME = 137;
constexpr UINT IDS_COLUMN_SIZE = 138;
constexpr UINT IDS_COLUMN_TYPE = 139;
constexpr UINT IDS_COLUMN_DATE = 140;
constexpr UINT IDS_KILOBYTES = 141;
constexpr UINT IDS_FOLDER = 142;
constexpr UINT IDM_VIEW_CONTEXT = 608;

bool ReadItem(LPARAM data, ContainerItem* item) {
  return SUCCEEDED(ContainerItemId::ReadFirst(reinterpret_cast<LPCITEMIDLIST>(data), item));
}

// The short date and the time without seconds of the item's last write, in local time.
std::string DateText(const ContainerItem& item) {
  if (item.dateWord == 0) return {};
  FILETIME utc{};
  FILETIME local{};
  SYSTEMTIME fields{};
  if (!ContainerItemId::LastWriteTimeUtc(item, &utc) || !FileTimeToLocalFileTime(&utc, &local) ||
      !FileTimeToSystemTime(&local, &fields))
    return {};
  char date[128];
  char time[128];
  if (GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &fields, nullptr, date, sizeof date) ==
          0 ||
      GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &fields, nullptr, time, sizeof time) == 0)
    return {};
  return std::string(date) + " " + time;
}

}  // namespace

CMainDlg::CMainDlg(Owner* view)
    : CDialog(LoadDialogTemplate(IDD_SHARE_LIST), nullptr), view_(view) {}

BOOL CMainDlg::OnInitDialog() {
  CListCtrl list = List();
  list.InsertColumn(0, LoadStringText(IDS_COLUMN_NAME).c_str(), LVCFMT_LEFT,
                    kNameColumnChars * kCharacterWidth);
  list.InsertColumn(1, LoadStringText(IDS_COLUMN_SIZE).c_str(), LVCFMT_RIGHT,
                    kSizeColumnChars * kCharacterWidth);
  list.InsertColumn(2, LoadStringText(IDS_COLUMN_TYPE).c_str(), LVCFMT_LEFT,
                    kTypeColumnChars * kCharacterWidth);
  list.InsertColumn(3, LoadStringText(IDS_COLUMN_DATE).c_str(), LVCFMT_LEFT,
                    kDateColumnChars * kCharacterWidth);
  return TRUE;
}

void CMainDlg::ReadDisplaySettings() {
  SHELLFLAGSTATE state{TRUE};
  SHGetSettings(&state, SSF_SHOWEXTENSIONS);
  showExtensions_ = state.fShowExtensions != FALSE;
  knownExtensions_.clear();
  typeNames_.clear();
}

// With extensions hidden, a registered extension at the end of the name is not shown. Only the
// end is looked at: "a.txt.b.txt" shows "a.txt.b", never a name with a middle part cut out.
std::string CMainDlg::ShownName(std::string name) {
  if (showExtensions_) return name;
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return name;
  const std::string extension = name.substr(dot);
  auto known = knownExtensions_.find(extension);
  if (known == knownExtensions_.end()) {
    HKEY key = nullptr;
    const bool registered =
        RegOpenKeyExA(HKEY_CLASSES_ROOT, extension.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (registered) RegCloseKey(key);
    known = knownExtensions_.emplace(extension, registered).first;
  }
  if (known->second) name.erase(dot);
  return name;
}

std::string CMainDlg::ItemText(LPARAM data, int column) {
  ContainerItem item;
  if (!ReadItem(data, &item)) return {};
  switch (column) {
    case 0:
      return ShownName(std::string(item.name));
    case 1: {
      const unsigned long long kilobytes = item.IsFolder() ? 0 : (item.size + 1023ull) / 1024;
      return std::to_string(kilobytes) + " " + LoadStringText(IDS_KILOBYTES);
    }
    case 2: {
      if (item.IsFolder()) return LoadStringText(IDS_FOLDER);
      // The type follows the name's extensions (all of them: "a.tar.gz" is not "b.gz"); a
      // name without one is asked for itself.
      const std::string name(item.name);
      const size_t dot = name.find('.', 1);
      const std::string key = dot == std::string::npos ? "/" + name : name.substr(dot);
      auto known = typeNames_.find(key);
      if (known == typeNames_.end()) {
        SHFILEINFOA info{};
        const bool found = SHGetFileInfoA(name.c_str(), 0, &info, sizeof info,
                                          SHGFI_TYPENAME | SHGFI_USEFILEATTRIBUTES) != 0;
        known = typeNames_.emplace(key, found ? info.szTypeName : "").first;
      }
      return known->second;
    }
    case 3:
      return DateText(item);
    default:
      return {};
  }
}

int CMainDlg::ItemImage(LPARAM data) {
  ContainerItem item;
  if (!ReadItem(data, &item)) return -1;
  const std::string name = std::string(item.name) + (item.IsFolder() ? ".qvef" : ".qvf");
  SHFILEINFOA info{};
  if (SHGetFileInfoA(name.c_str(), 0, &info, sizeof info,
                     SHGFI_SYSICONINDEX | SHGFI_SMALLICON | SHGFI_USEFILEATTRIBUTES) == 0)
    return -1;
  return info.iIcon;
}

void CMainDlg::ClearList() {
  if (m_hWnd != nullptr) List().DeleteAllItems();
}

LRESULT CMainDlg::OnNotify(const NMHDR* header) {
  if (header == nullptr || header->idFrom != static_cast<std::uintptr_t>(IDC_VIEW_LIST)) return 0;
  switch (header->code) {
    case LVN_GETDISPINFOA: {
      auto* info = const_cast<NMLVDISPINFOA*>(reinterpret_cast<const NMLVDISPINFOA*>(header));
      if ((info->item.mask & LVIF_TEXT) != 0 && info->item.pszText != nullptr &&
          info->item.cchTextMax > 0) {
        const std::string text = ItemText(info->item.lParam, info->item.iSubItem);
        std::snprintf(info->item.pszText, static_cast<size_t>(info->item.cchTextMax), "%s",
                      text.c_str());
      }
      return 0;
    }
    case LVN_DELETEITEM: {
      const auto* info = reinterpret_cast<const NMLISTVIEW*>(header);
      ILFree(reinterpret_cast<LPITEMIDLIST>(info->lParam));
      return 0;
    }
    case LVN_ITEMCHANGED:
      view_->OnSelectionChanged();
      return 0;
    case LVN_ENDLABELEDITA: {
      const auto* info = reinterpret_cast<const NMLVDISPINFOA*>(header);
      return RenameItem(info->item.iItem, info->item.pszText);
    }
    case NM_DBLCLK:
      OpenItem(reinterpret_cast<const NMITEMACTIVATE*>(header)->iItem);
      return 0;
    case LVN_BEGINDRAG:
      StartTransfer(TransferMode::kDragLeft);
      return 0;
    case LVN_BEGINRDRAG:
      StartTransfer(TransferMode::kDragRight);
      return 0;
    default:
      return 0;
  }
}

bool CMainDlg::OnCommand(WORD id, WORD code) {
  switch (id) {
    case viewcmd::kSelectAll:
      List().SetItemState(-1, LVIS_SELECTED, LVIS_SELECTED);
      return true;
    case viewcmd::kRefresh:
      view_->FillList();
      return true;
    case viewcmd::kLargeIcons:
    case viewcmd::kSmallIcons:
    case viewcmd::kList:
    case viewcmd::kDetails:
      view_->SetViewMode(static_cast<UINT>(id - viewcmd::kLargeIcons + FVM_ICON));
      return true;
    case viewcmd::kOpen:
      OpenSelection();
      return true;
    case viewcmd::kDecryptTo:
      DecryptTo();
      return true;
    case viewcmd::kDelete:
    case viewcmd::kShiftDelete:
    case viewcmd::kToolbarDelete:
      DeleteSelection();
      return true;
    case viewcmd::kCopy:
    case viewcmd::kToolbarCopy:
      StartTransfer(TransferMode::kCopy);
      return true;
    case viewcmd::kCut:
    case viewcmd::kToolbarCut:
      StartTransfer(TransferMode::kCut);
      return true;
    case viewcmd::kEscape:
      return true;
    default:
      return CDialog::OnCommand(id, code);
  }
}

// A view is a child of the file manager's window: Enter and Esc are its keys (Open and
// nothing), never the end of the dialog.
void CMainDlg::OnOK() {}
void CMainDlg::OnCancel() {}

LRESULT CMainDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_QV_VIEW_WORKER_DONE) {
    view_->OnWorkerDone(wParam != 0);
    return 0;
  }
  if (message == WM_CONTEXTMENU) {
    ShowContextMenu();
    return 0;
  }
  return CDialog::OnMessage(message, wParam, lParam);
}

// "Open" needs a selection of readable items and is off when "DisableDbClickOpen" is 1;
// "Decrypt To..." needs a selection of readable files only.
void CMainDlg::ShowContextMenu() {
  CListCtrl list = List();
  bool unreadable = false;
  bool anyFolder = false;
  for (int i = list.GetNextItem(-1, LVNI_SELECTED); i >= 0;
       i = list.GetNextItem(i, LVNI_SELECTED)) {
    ContainerItem item;
    if (!ReadItem(list.GetItemData(i), &item))
      unreadable = true;
    else if (item.IsFolder())
      anyFolder = true;
  }
  const bool none = list.GetSelectedCount() == 0;
  const UINT openFlags =
      MF_STRING | (none || unreadable || DisableDbClickOpen() == 1 ? MF_GRAYED : 0);
  const UINT decryptFlags = MF_STRING | (none || unreadable || anyFolder ? MF_GRAYED : 0);
  const HMENU menu = CreatePopupMenu();
  if (menu == nullptr) return;
  for (const auto& [id, flags] : {std::pair{viewcmd::kOpen, openFlags},
                                  std::pair{viewcmd::kDecryptTo, decryptFlags}}) {
    const std::string item = "0:" + std::to_string(id);
    (void)AppendMenuA(menu, flags, id,
                      LoadDialogText("menuitem", IDM_VIEW_CONTEXT, item.c_str()).c_str());
  }
  (void)TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_RIGHTBUTTON, 0, 0, 0, m_hWnd, nullptr);
  DestroyMenu(menu);
  (void)PostMessageA(m_hWnd, WM_NULL, 0, 0);
}

void CMainDlg::StartTransfer(TransferMode mode) {
  IShellFolder* folder = view_->ShownFolder();
  CListCtrl list = List();
  if (folder == nullptr || list.GetSelectedCount() == 0) return;
  const bool cut = mode == TransferMode::kCut;
  std::vector<LPCITEMIDLIST> items;
  for (int i = 0; i < list.GetItemCount(); ++i) {
    auto id = reinterpret_cast<LPITEMIDLIST>(list.GetItemData(i));
    const bool selected = (list.GetItemState(i, LVIS_SELECTED) & LVIS_SELECTED) != 0;
    ContainerItem item;
    if (id == nullptr || FAILED(ContainerItemId::ReadFirst(id, &item))) continue;
    ContainerItemId::SetCutMark(id, selected && cut);
    (void)list.SetItemState(i, selected && cut ? LVIS_CUT : 0, LVIS_CUT);
    if (selected) items.push_back(id);
  }
  if (items.empty()) return;
  ComPtr<IDataObject> data;
  if (FAILED(folder->GetUIObjectOf(m_hWnd, static_cast<UINT>(items.size()), items.data(),
                                   IID_IDataObject, nullptr, data.ReleaseAndGetVoidAddressOf())))
    return;
  // The object keeps the effect it is made with; a later drag here never changes it.
  auto* object = static_cast<CQvDataObject*>(data.Get());
  switch (mode) {
    case TransferMode::kCopy:
      object->SetPreferredEffect(DROPEFFECT_COPY);
      break;
    case TransferMode::kCut:
    case TransferMode::kDragLeft:
      object->SetPreferredEffect(DROPEFFECT_MOVE);
      break;
    case TransferMode::kDragRight:
      object->SetPreferredEffect(DROPEFFECT_COPY | DROPEFFECT_MOVE);
      break;
  }
  if (mode == TransferMode::kCopy || cut) {
    if (FAILED(OleSetClipboard(data.Get()))) return;
    clipboardObject_ = data;
    (void)SetTimer(kClipboardWatchTimer, kClipboardWatchMilliseconds);
    return;
  }
  ComPtr<IQvDropSource> source;
  if (FAILED(
          CQvDropSource::CreateInstance(IQvDropSource::kIid, source.ReleaseAndGetVoidAddressOf())))
    return;
  auto* dropSource = static_cast<CQvDropSource*>(source.Get());
  dropSource->SetDataObject(object);
  DWORD effect = DROPEFFECT_NONE;
  (void)DoDragDrop(data.Get(), dropSource, DROPEFFECT_COPY | DROPEFFECT_MOVE, &effect);
}

void CMainDlg::OnTimer(UINT_PTR id) {
  if (id == kClipboardWatchTimer && clipboardObject_) {
    WatchClipboard();
    return;
  }
  CDialog::OnTimer(id);
}

void CMainDlg::WatchClipboard() {
  auto* object = static_cast<CQvDataObject*>(clipboardObject_.Get());
  if (OleIsCurrentClipboard(clipboardObject_.Get()) != S_OK) {
    // Someone else's data is on the clipboard: nothing of this view is cut any more.
    CListCtrl list = List();
    for (LPITEMIDLIST id : object->Items()) {
      ContainerItem gone;
      if (FAILED(ContainerItemId::ReadFirst(id, &gone))) continue;
      ContainerItemId::SetCutMark(id, false);
      for (int i = 0; i < list.GetItemCount(); ++i) {
        auto shown = reinterpret_cast<LPITEMIDLIST>(list.GetItemData(i));
        ContainerItem item;
        if (shown == nullptr || FAILED(ContainerItemId::ReadFirst(shown, &item)) ||
            item.IsFolder() != gone.IsFolder() || item.folderId != gone.folderId ||
            item.secondId != gone.secondId)
          continue;
        ContainerItemId::SetCutMark(shown, false);
        (void)list.SetItemState(i, 0, LVIS_CUT);
      }
    }
    (void)KillTimer(kClipboardWatchTimer);
    clipboardObject_.Reset();
    return;
  }
  QVDatabase database;
  bool allThere = database.Open(object->ContainerPath(), FALSE) == VARIANT_TRUE;
  for (LPITEMIDLIST id : object->Items()) {
    if (!allThere) break;
    ContainerItem item;
    if (FAILED(ContainerItemId::ReadFirst(id, &item))) continue;
    if (item.IsFolder()) {
      std::string name;
      allThere = database.GetFolderName(item.folderId, name) == VARIANT_TRUE;
    } else {
      VARIANT rows;
      VariantInit(&rows);
      allThere = database.GetFileInfo(item.folderId, item.FileId(), &rows) == VARIANT_TRUE;
      (void)VariantClear(&rows);
    }
  }
  (void)database.Close();
  if (allThere) return;
  // An item on the clipboard is gone from the container: a paste could only fail.
  (void)OleSetClipboard(nullptr);
  (void)KillTimer(kClipboardWatchTimer);
  clipboardObject_.Reset();
}

void CMainDlg::OnDestroy() {
  (void)KillTimer(kClipboardWatchTimer);
  if (clipboardObject_ && OleIsCurrentClipboard(clipboardObject_.Get()) == S_OK)
    (void)OleSetClipboard(nullptr);
  clipboardObject_.Reset();
}
