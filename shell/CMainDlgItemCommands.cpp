// The view's commands on the items the user selected: Open, Decrypt To, Delete and Rename.
// Each opens its own QVDatabase on the view's container and closes it before it returns.
//
// What each leaves on disk:
// - Open: the encrypted copy and then the plain file live in a private folder (mode 0700, a
//   work folder of this process in the user's runtime folder), which goes with everything in
//   it when the shell folder goes, or at the next start of a program of the suite after a
//   crash. A failed open leaves nothing.
// - Decrypt To: an encrypted copy is placed in the chosen folder only under a name nothing
//   holds there (it is written in a private folder beside it and renamed without replacing),
//   so no file of the user's is ever truncated or replaced by this command; the engine asks
//   before a plain file is replaced. Only the copies this command placed are removed after.
// - Delete and Rename change the container in one transaction per item, with the container's
//   folder key bound to the store so that the list of its files changes with its rows; a
//   refused rename changes nothing.
#include <string>
#include <vector>

#include "base/ContainerItemId.h"
#include "base/ModuleTables.h"
#include "base/QvFolderExtApp.h"
#include "base/Settings.h"
#include "base/StringTable.h"
#include "container/QVDatabase.h"
#include "engine/CProgressDlg.h"
#include "engine/HeldFolderKey.h"
#include "engine/OwnerKeyCheck.h"
#include "platform/Files.h"
#include "platform/MachineRoot.h"
#include "platform/MessageBox.h"
#include "platform/WorkFolders.h"
#include "platform/ole/TextConversion.h"
#include "platform/ole/Variant.h"
#include "platform/shell/BrowseForFolder.h"
#include "platform/shell/ChangeNotify.h"
#include "platform/shell/ShellExecute.h"
#include "platform/shell/ShellSettings.h"
#include "shell/CMainDlg.h"
#include "shell/CQvShellFolder.h"
#include "shell/DecryptedFileMonitor.h"
#include "util/CPath.h"

namespace {

constexpr UINT IDS_EXECUTE_ERROR_CAPTION = 154;
constexpr UINT IDS_EXECUTE_ERROR = 155;
constexpr UINT IDS_DECRYPTION_LOCATION = 156;
constexpr UINT IDS_RENAME_REFUSED = 159;
constexpr UINT IDS_RENAME_ERROR_CAPTION = 160;
constexpr UINT IDS_DELETE_CAPTION = 161;
constexpr UINT IDS_DELETE_QUESTION = 162;
constexpr UINT IDS_ENCRYPTED_COPY_EXISTS = 170;

constexpr char kImageSuffix[] = ".qvf";
// The prefix of the private folders an opened file is decrypted into.
constexpr char kPrivateFolderPrefix[] = "qvf";
// The prefix of the folder Decrypt To writes its copies in before they get their names.
constexpr char kStagingPrefix[] = ".qvf-staging-";

bool ReadItem(LPARAM data, ContainerItem* item) {
  return SUCCEEDED(ContainerItemId::ReadFirst(reinterpret_cast<LPCITEMIDLIST>(data), item));
}

std::vector<int> SelectedIndexes(const CListCtrl& list) {
  std::vector<int> indexes;
  for (int i = list.GetNextItem(-1, LVNI_SELECTED); i >= 0; i = list.GetNextItem(i, LVNI_SELECTED))
    indexes.push_back(i);
  return indexes;
}

std::string FormatOne(const std::string& text, const std::string& argument) {
  const size_t at = text.find("%s");
  if (at == std::string::npos) return text;
  return text.substr(0, at) + argument + text.substr(at + 2);
}

// The file's FILE_NAME as the container stores it: the name ExtractFileTo writes. It is read
// from the container rather than made from the identifier's name, so that the name checked
// and the name written are one.
bool StoredFileName(QVDatabase& database, const ContainerItem& item, std::string* name) {
  VARIANT rows;
  VariantInit(&rows);
  bool found = false;
  if (database.GetFileInfo(item.folderId, item.FileId(), &rows) == VARIANT_TRUE &&
      ContainerItemId::RowCount(rows) == 1) {
    constexpr LONG kNameColumn = 2;
    LONG index[2] = {kNameColumn, 0};
    void* cell = nullptr;
    if (SUCCEEDED(SafeArrayPtrOfIndex(rows.parray, index, &cell)) &&
        static_cast<VARIANT*>(cell)->vt == VT_BSTR) {
      *name = Utf8FromBstr(static_cast<VARIANT*>(cell)->bstrVal);
      found = ContainerItemId::IsValidName(*name);
    }
  }
  (void)VariantClear(&rows);
  return found;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The path of `item` as change notifications name places: the container path and the item's
// path inside it, "/" separated.
std::string PlaceOf(const CQvShellFolder& folder, std::string_view name) {
  std::string place = folder.ContainerPath();
  for (char c : folder.StoredPath()) place += c == '\\' ? '/' : c;
  return place + "/" + std::string(name);
}

// A new name must be one component that the store and every file system can hold, and must
// not look like an encrypted file or container.
bool AcceptableNewName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.find(".qvf") != std::string::npos || name.find(".qvef") != std::string::npos)
    return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
    if (std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos) return false;
  }
  return true;
}

void ShowOpenError(HWND owner) {
  (void)MessageBoxA(owner, LoadStringText(IDS_EXECUTE_ERROR).c_str(),
                    LoadStringText(IDS_EXECUTE_ERROR_CAPTION).c_str(), MB_OK | MB_ICONERROR);
}

// A decryption of `items` (encrypted copies in `directory`) for the user verified for the
// container; true when the dialog reports success.
bool DecryptCopies(std::vector<std::string> items, const std::string& directory,
                   const std::string& containerPath, DWORD folderId, HWND owner) {
  OperationRequest request;
  request.items = std::move(items);
  request.encrypt = false;
  request.userId = QvModuleTables().VerifiedUser(containerPath);
  request.userName = request.userId;
  request.container = ContainerArguments{directory, containerPath, folderId};
  const std::string first = request.items.front();
  CProgressDlg dialog(std::move(request), owner);
  const CUserData* userData = QvApp().userData;
  if (userData != nullptr && userData->EditionCode == EDITION_SENTIVO) {
    std::string owner_identity;
    std::string keyFile;
    if (SplitOwnerText(ReadOwnerText(first), &owner_identity, &keyFile))
      dialog.SetKeyName(owner_identity);
  }
  (void)dialog.DoModal();
  return dialog.OverallSuccess();
}

}  // namespace

void CMainDlg::RefreshOpenViews(HWND except) {
  for (const HWND window : QvModuleTables().AllOpenViews())
    if (window != except)
      (void)PostMessageA(window, WM_COMMAND, MAKEWPARAM(viewcmd::kRefresh, 0), 0);
}

// ---- Open ----

void CMainDlg::OpenSelection() {
  const CListCtrl list = List();
  bool decryptedTo = false;
  for (const int index : SelectedIndexes(list)) {
    ContainerItem item;
    const LPARAM data = list.GetItemData(index);
    if (!ReadItem(data, &item)) continue;
    if (item.IsFolder()) {
      OpenFolder(reinterpret_cast<LPCITEMIDLIST>(data));
      return;  // the browser shows the sub-folder now; this view may be gone
    }
    if (DisableDbClickOpen() != 0) {
      if (!decryptedTo) DecryptTo();
      decryptedTo = true;
      continue;
    }
    OpenFile(item);
  }
}

void CMainDlg::OpenItem(int index) {
  const CListCtrl list = List();
  if (index < 0 || index >= list.GetItemCount()) return;
  ContainerItem item;
  const LPARAM data = list.GetItemData(index);
  if (!ReadItem(data, &item)) return;
  if (item.IsFolder())
    OpenFolder(reinterpret_cast<LPCITEMIDLIST>(data));
  else if (DisableDbClickOpen() != 0)
    DecryptTo();
  else
    OpenFile(item);
}

void CMainDlg::OpenFolder(LPCITEMIDLIST item) {
  // A copy: the list (and its identifiers) may go with the view while the browser moves on.
  LPITEMIDLIST copy = ILClone(item);
  if (copy == nullptr) return;
  view_->BrowseInto(copy);
  ILFree(copy);
}

void CMainDlg::OpenFile(const ContainerItem& item) {
  CQvShellFolder* folder = view_->ViewedFolder();
  const std::string containerPath = folder->ContainerPath();
  QVDatabase database;
  if (database.Open(containerPath, FALSE) != VARIANT_TRUE) return;
  std::string storedName;
  if (!StoredFileName(database, item, &storedName) || !storedName.ends_with(kImageSuffix)) {
    (void)database.Close();
    ShowOpenError(m_hWnd);
    return;
  }
  const std::string privateFolder = QvCreateWorkFolder(QvRuntimeDir(), kPrivateFolderPrefix);
  if (privateFolder.empty()) {
    (void)database.Close();
    return;
  }
  const std::string encryptedCopy = privateFolder + "/" + storedName;
  const std::string decrypted =
      encryptedCopy.substr(0, encryptedCopy.size() - (sizeof kImageSuffix - 1));
  bool opened = false;
  const CUserData* userData = QvApp().userData;
  if (userData != nullptr && userData->EditionCode == EDITION_SENTIVO) {
    // That edition's decryption acts under the key named by the image's owner text, which
    // only the operation reads.
    opened = database.ExtractFileTo(item.folderId, item.FileId(), privateFolder) == VARIANT_TRUE &&
             DecryptCopies({encryptedCopy}, privateFolder, containerPath, item.folderId, m_hWnd);
    (void)database.Close();
  } else {
    // Through the folder's session: the container's rows are checked once while it stays
    // unchanged, not again for every file opened.
    (void)database.Close();
    opened =
        folder->DecryptionSession(QvModuleTables().VerifiedUser(containerPath))
            ->Decrypt(item.folderId, item.FileId(), storedName, privateFolder) == StatusSuccess;
  }
  if (!opened || !Exists(decrypted)) {
    if (Exists(encryptedCopy)) (void)CPath::OverwriteAndDelete(encryptedCopy.c_str());
    (void)QvRemoveWorkFolder(privateFolder);
    ShowOpenError(m_hWnd);
    return;
  }

  WIN32_FILE_ATTRIBUTE_DATA facts{};
  (void)GetFileAttributesExA(decrypted.c_str(), GetFileExInfoStandard, &facts);
  DecryptedFileToMonitor monitored;
  monitored.containerPath = containerPath;
  monitored.window = m_hWnd;
  monitored.decryptedPath = decrypted;
  monitored.lastWriteTime =
      (static_cast<std::uint64_t>(facts.ftLastWriteTime.dwHighDateTime) << 32) |
      facts.ftLastWriteTime.dwLowDateTime;
  monitored.folderId = item.folderId;
  monitored.fileId = item.FileId();
  monitored.userId = QvModuleTables().VerifiedUser(containerPath);
  // Without a monitor the file is launched all the same; its copy then goes with the folder.
  const bool taken = SUCCEEDED(MonitorDecryptedFile(monitored));
  folder->AddTemporaryFile(decrypted);
  folder->AddPrivateFolder(privateFolder, taken);
  (void)ShellExecuteA(nullptr, nullptr, decrypted.c_str(), nullptr, privateFolder.c_str(),
                      SW_SHOWNORMAL);
}

// ---- Decrypt To ----

void CMainDlg::DecryptTo() {
  const std::string title = LoadStringText(IDS_DECRYPTION_LOCATION);
  BROWSEINFOA browse{};
  browse.hwndOwner = m_hWnd;
  browse.lpszTitle = title.c_str();
  browse.ulFlags = BIF_RETURNONLYFSDIRS;
  LPITEMIDLIST chosen = SHBrowseForFolderA(&browse);
  if (chosen == nullptr) return;
  std::string target = QvPathFromIDList(chosen);
  ILFree(chosen);
  if (target.empty()) return;
  if (target.back() != '/') target += '/';

  const std::string containerPath = view_->ViewedFolder()->ContainerPath();
  const CListCtrl list = List();
  std::vector<std::string> placed;
  DWORD firstFolderId = 0;
  std::string staging;
  for (const int index : SelectedIndexes(list)) {
    ContainerItem item;
    if (!ReadItem(list.GetItemData(index), &item) || item.IsFolder()) continue;
    QVDatabase database;
    if (database.Open(containerPath, FALSE) != VARIANT_TRUE) continue;
    std::string storedName;
    if (!StoredFileName(database, item, &storedName)) {
      (void)database.Close();
      continue;
    }
    const std::string copy = target + storedName;
    if (Exists(copy)) {
      (void)database.Close();
      (void)MessageBoxA(m_hWnd,
                        FormatOne(LoadStringText(IDS_ENCRYPTED_COPY_EXISTS), storedName).c_str(),
                        QvApp().productName.c_str(), MB_OK | MB_ICONEXCLAMATION);
      continue;
    }
    if (staging.empty()) staging = QvCreateWorkFolder(target, kStagingPrefix);
    const bool written = !staging.empty() && database.ExtractFileTo(item.folderId, item.FileId(),
                                                                    staging) == VARIANT_TRUE;
    (void)database.Close();
    // Renamed into place only where nothing stands: a file that appeared meanwhile stays.
    if (!written || !MoveFileExA((staging + "/" + storedName).c_str(), copy.c_str(), 0)) continue;
    if (placed.empty()) firstFolderId = item.folderId;
    placed.push_back(copy);
  }
  if (!staging.empty()) (void)QvRemoveWorkFolder(staging);
  if (placed.empty()) return;
  (void)DecryptCopies(placed, target, containerPath, firstFolderId, m_hWnd);
  // The engine removes each copy it decrypted; what it left is this command's to remove.
  for (const std::string& copy : placed)
    if (Exists(copy)) (void)CPath::OverwriteAndDelete(copy.c_str());
}

// ---- Delete ----

void CMainDlg::DeleteSelection() {
  CListCtrl list = List();
  if (list.GetSelectedCount() == 0) return;
  CQvShellFolder* folder = view_->ViewedFolder();
  QVDatabase database;
  if (database.Open(folder->ContainerPath(), FALSE) != VARIANT_TRUE) return;
  HeldFolderKey key;
  if (!key.Bind(database, folder->ContainerPath(),
                QvModuleTables().VerifiedUser(folder->ContainerPath()))) {
    (void)database.Close();
    return;
  }
  SHELLFLAGSTATE settings{};
  SHGetSettings(&settings, SSF_NOCONFIRMRECYCLE);
  if (!settings.fNoConfirmRecycle &&
      MessageBoxA(m_hWnd, LoadStringText(IDS_DELETE_QUESTION).c_str(),
                  LoadStringText(IDS_DELETE_CAPTION).c_str(),
                  MB_YESNO | MB_ICONQUESTION) != IDYES) {
    return;
  }
  // A deleted item leaves the list and the next one takes its index; an item that could not
  // be deleted stays selected and is not tried again.
  int index = list.GetNextItem(-1, LVNI_SELECTED);
  while (index >= 0) {
    ContainerItem item;
    bool deleted = false;
    if (ReadItem(list.GetItemData(index), &item)) {
      deleted =
          (item.IsFolder() ? database.DeleteFolder(item.folderId)
                           : database.DeleteFile(item.folderId, item.FileId())) == VARIANT_TRUE;
      if (deleted && item.IsFolder()) {
        const std::string place = PlaceOf(*folder, item.name);
        SHChangeNotify(SHCNE_RMDIR, SHCNF_PATHA, place.c_str(), nullptr);
      }
    }
    if (deleted) {
      (void)list.DeleteItem(index);
      index = list.GetNextItem(index - 1, LVNI_SELECTED);
    } else {
      index = list.GetNextItem(index, LVNI_SELECTED);
    }
  }
  view_->OnSelectionChanged();
  // This view's list already shows the outcome (and keeps the failed items selected).
  RefreshOpenViews(m_hWnd);
}

// ---- Rename ----

BOOL CMainDlg::RenameItem(int index, const char* newText) {
  if (newText == nullptr) return FALSE;  // the edit was cancelled
  CListCtrl list = List();
  const LPARAM data = list.GetItemData(index);
  ContainerItem item;
  if (!ReadItem(data, &item)) return FALSE;
  std::string name = newText;
  if (!AcceptableNewName(name)) {
    (void)MessageBoxA(m_hWnd, LoadStringText(IDS_RENAME_REFUSED).c_str(),
                      LoadStringText(IDS_RENAME_ERROR_CAPTION).c_str(), MB_OK | MB_ICONERROR);
    return FALSE;
  }
  // With extensions hidden the user edited the name without its extension: it stays. The
  // settings are those the list was filled with, so what is kept is exactly what the label
  // left out, even when the user changed the setting since.
  if (!item.IsFolder()) {
    const std::string old(item.name);
    const std::string shown = ShownName(old);
    if (shown.size() < old.size()) name += old.substr(shown.size());
  }
  if (name.size() > itemid::kMaxTextLength) return FALSE;

  CQvShellFolder* folder = view_->ViewedFolder();
  bool renamed = false;
  {
    QVDatabase database;
    if (database.Open(folder->ContainerPath(), FALSE) != VARIANT_TRUE) return FALSE;
    HeldFolderKey key;
    // The store refuses a name another item of that folder has: nothing is ever replaced.
    renamed =
        key.Bind(database, folder->ContainerPath(),
                 QvModuleTables().VerifiedUser(folder->ContainerPath())) &&
        (item.IsFolder() ? database.RenameFolder(name, item.folderId)
                         : database.RenameFile(name, item.folderId, item.FileId())) == VARIANT_TRUE;
  }
  if (!renamed) return FALSE;

  LPITEMIDLIST rebuilt = ContainerItemId::Renamed(item, name);
  const std::string oldPlace = PlaceOf(*folder, item.name);
  const std::string newPlace = PlaceOf(*folder, name);
  SHChangeNotify(item.IsFolder() ? SHCNE_RENAMEFOLDER : SHCNE_RENAMEITEM, SHCNF_PATHA,
                 oldPlace.c_str(), newPlace.c_str());
  RefreshOpenViews(nullptr);
  if (rebuilt == nullptr) return FALSE;  // the refresh lists the item under its new name
  (void)list.SetItemData(index, reinterpret_cast<LPARAM>(rebuilt));
  ILFree(reinterpret_cast<LPITEMIDLIST>(data));
  return TRUE;
}
