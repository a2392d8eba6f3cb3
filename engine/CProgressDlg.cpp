// The progress dialog and the operation it runs (see CProgressDlg.h): dialog start, the
// user's key, the preparation and processing passes over top-level files, result rows,
// Cancel, and the end-of-operation step that keeps or undoes what the operation created.
#include "engine/CProgressDlg.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/DialogResources.h"
#include "base/QvFolderExtApp.h"
#include "base/StringTable.h"
#include "dialogs/CConfirmReplace.h"
#include "engine/EngineFiles.h"
#include "engine/EngineWorker.h"
#include "engine/ItemRules.h"
#include "engine/ProcessFile.h"
#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/Utf8.h"
#include "platform/ui/Controls.h"
#include "platform/ui/WindowApi.h"

using engine::DeleteNormal;
using engine::Exists;
using engine::IsFolder;
using engine::SplitPath;

namespace {

constexpr UINT kProgressIcon = 209;
constexpr UINT kProgressAnimation = 704;
constexpr size_t kLabelNameLimit = 50;
constexpr size_t kPathBufferSize = 8000;
constexpr ULONGLONG kAutoSizeIntervalMs = 250;

// `text` with its first "%s" replaced by `argument` (the texts come from the string table;
// they are never used as a format).
std::string FormatOne(const std::string& text, const std::string& argument) {
  const size_t at = text.find("%s");
  if (at == std::string::npos) return text;
  return text.substr(0, at) + argument + text.substr(at + 2);
}

// The absolute long form of an item, as far as the path buffer allows.
std::string LongPathOf(const std::string& item) {
  std::string buffer(kPathBufferSize, '\0');
  DWORD length = GetFullPathNameA(item.c_str(), static_cast<DWORD>(buffer.size()), buffer.data());
  if (length == 0 || length >= buffer.size()) return item;
  buffer.resize(length);
  std::string longForm(kPathBufferSize, '\0');
  length = GetLongPathNameA(buffer.c_str(), longForm.data(), static_cast<DWORD>(longForm.size()));
  if (length == 0 || length >= longForm.size()) return buffer;
  longForm.resize(length);
  return longForm;
}

// The id and key length of setting 5/19 ("hexid;hexlength").
void ParseAlgorithmIdAndLength(const char* value, EncryptAlgoInfo* algorithm) {
  algorithm->algorithmId = kDefaultAlgorithmId;
  algorithm->keyLength = 0;
  if (value == nullptr) return;
  const char* separator = std::strchr(value, ';');
  if (separator == nullptr) return;
  algorithm->algorithmId = static_cast<DWORD>(std::strtoul(value, nullptr, 16));
  algorithm->keyLength = static_cast<DWORD>(std::strtoul(separator + 1, nullptr, 16));
}

}  // namespace

CProgressDlg::CProgressDlg(OperationRequest request, HWND parent)
    : CDialog(LoadDialogTemplate(IDD_PROGRESS), parent), request_(std::move(request)) {
  // On a container open in a view the operation acts for the user verified there.
  if (request_.container.has_value())
    (void)VerifiedUserOf(request_.container->containerPath, &request_.userId, &request_.userName);
  keyName_ = request_.userId;
}

CProgressDlg::~CProgressDlg() {
  if (keyRead_ && userData_ != nullptr) userData_->ReleaseKeyRecord(&key_);
}

DWORD CProgressDlg::IsCancelled() { return cancel_.load(); }

DWORD CProgressDlg::CredentialSize() const {
  const size_t needed = keyName_.size() + keyLabel_.size() + 2;
  return static_cast<DWORD>(std::max<size_t>(editionCredentialSize_, needed));
}

BOOL CProgressDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  StartDialog();
  userData_ = QvApp().userData;
  if (userData_ != nullptr && userData_->EditionCode == EDITION_SENTIVO)
    editionCredentialSize_ = kCredentialSizeSentivo;
  for (const RefusedItem& refused : request_.refused) RefuseItem(refused.path, refused.status);
  if (request_.container.has_value() && !folders_.OpenRequestContainer()) {
    SetProgressText(SplitPath(request_.container->containerPath).second);
    ShowFilesRemaining(false);
    RefuseItem(request_.container->containerPath, StatusFileAccessError);
  } else {
    LoadAlgorithm();
    if (!request_.items.empty())
      RunEngine();
    else
      succeeded_ = !CancelRequested();
  }
  Finish();
  return FALSE;
}

void CProgressDlg::StartDialog() {
  const HICON icon = LoadIconA(nullptr, MAKEINTRESOURCEA(kProgressIcon));
  SetIcon(icon, TRUE);
  SetIcon(icon, FALSE);
  SetWindowText(FormatOne(LoadStringText(IDS_PROGRESS_TITLE), QvApp().productName).c_str());
  SetWindowText(
      LoadStringText(request_.encrypt ? IDS_ENCRYPTING_FILES : IDS_DECRYPTING_FILES).c_str());
  // The text holds a "%s" for a file name: it shows the first item until the passes name
  // the item they work on.
  SetProgressText(
      FormatOne(LoadStringText(request_.encrypt ? IDS_ENCRYPTING_FILE : IDS_DECRYPTING_FILE),
                request_.items.empty() ? std::string() : SplitPath(request_.items.front()).second));
  CProgressCtrl bar(::GetDlgItem(m_hWnd, IDC_PROGRESS_BAR));
  bar.SetRange32(0, static_cast<int>(request_.items.size()));
  bar.SetPos(0);
  bar.SetStep(1);
  EnableCancel(true);
  GetDlgItem(IDCANCEL).SetFocus();
  cancel_.store(0);
  EnableCloseItem(true);
  CAnimateCtrl animation(::GetDlgItem(m_hWnd, IDC_PROGRESS_ANIMATION));
  animation.Open(kProgressAnimation);
  animation.Play(0, static_cast<UINT>(-1), static_cast<UINT>(-1));
  CListCtrl list(::GetDlgItem(m_hWnd, IDC_PROGRESS_LIST));
  list.InsertColumn(0, LoadStringText(IDS_FILENAME).c_str());
  list.InsertColumn(1, LoadStringText(IDS_STATUS).c_str());
  list.InsertColumn(2, LoadStringText(IDS_FILE_LOCATION).c_str());
  AutoSizeColumns(true);
  CenterWindow();
  ShowWindow(SW_SHOW);
}

void CProgressDlg::LoadAlgorithm() {
  algorithm_ = EncryptAlgoInfo{};
  algorithm_.algorithmId = kDefaultAlgorithmId;
  if (userData_ == nullptr) return;
  SettingRecord setting{};
  userData_->InitSettingRecord(&setting);
  setting.category = kSettingCategoryUser;
  setting.id = kSettingAlgorithmName;
  if (userData_->ReadSetting(request_.userId.c_str(), &setting, 0) && setting.value != nullptr)
    std::snprintf(algorithm_.algorithmName, sizeof algorithm_.algorithmName, "%s", setting.value);
  userData_->ReleaseSettingRecord(&setting);
  userData_->InitSettingRecord(&setting);
  setting.category = kSettingCategoryUser;
  setting.id = kSettingAlgorithmIdAndKeyLength;
  if (userData_->ReadSetting(request_.userId.c_str(), &setting, 0))
    ParseAlgorithmIdAndLength(setting.value, &algorithm_);
  userData_->ReleaseSettingRecord(&setting);
}

bool CProgressDlg::ReadUserKey() {
  if (userData_ != nullptr) {
    userData_->InitKeyRecord(&key_);
    keyRead_ = true;
    key_.type = kKeyTypeUser;
    // A longer key name is a key of its own; a user id (at most 11 characters) asks for the
    // user's default key. The record's own strings replace this pointer when it is read.
    if (keyName_.size() > 11) key_.keyName = keyName_.data();
    if (userData_->ReadKey(request_.userId.c_str(), &key_, 0) && key_.blob != nullptr) {
      if (userData_->EditionCode == EDITION_SENTIVO) {
        if (key_.keyName != nullptr) keyName_ = key_.keyName;
        keyLabel_ = key_.keyLabel != nullptr ? key_.keyLabel : "";
      }
      return true;
    }
    if (key_.keyName == keyName_.data()) key_.keyName = nullptr;
  }
  overallSuccess_ = false;
  SetProgressText(request_.items.front());
  ShowFilesRemaining(false);
  RefuseItem(request_.items.front(), StatusEngineInitError);
  return false;
}

void CProgressDlg::RunEngine() {
  if (!ReadUserKey()) return;
  EnableCancel(false);
  EnableCloseItem(false);
  const bool prepared = PreparationPass();
  EnableCancel(true);
  EnableCloseItem(true);
  // Cancel stops the items still to come: once the last one has succeeded, nothing is left
  // to stop, and what was done stays done.
  bool processed = prepared && ProcessingPass();
  // After a failure or a Cancel too: files stored on their own into an open container are
  // committed (and their moved sources deleted) before anything else of the operation ends.
  if (folders_.HasOpenContainer() && folders_.FinishOpenContainerFiles() != StatusSuccess)
    processed = false;
  succeeded_ = processed && overallSuccess_;
  EndOfOperation(succeeded_);
}

// ---- Preparation pass ----

bool CProgressDlg::PreparationPass() {
  total_ = 0;
  for (auto it = request_.items.begin(); it != request_.items.end() && !CancelRequested();) {
    *it = LongPathOf(*it);
    const auto [folder, name] = SplitPath(*it);
    SetProgressText(PreparationLabel(request_.encrypt, name));
    ShowFilesRemaining(false);
    if (request_.encrypt) {
      if (!PrepareForEncryption(*it, folder)) return false;
      ++it;
    } else if (!PrepareForDecryption(it, folder)) {
      return false;
    }
  }
  return true;
}

bool CProgressDlg::PrepareForEncryption(std::string& item, const std::string& folder) {
  const DWORD attributes = GetFileAttributesA(item.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      // A link is left alone: encrypting it would encrypt (and delete) what it points to.
      RefuseItem(item, StatusFileAccessError);
      return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || HasSuffix(item, kQvefSuffix)) {
      const size_t backupsBefore = backups_.size();
      if (!folders_.WalkForEncryption(item)) {
        RefuseItem(item, StatusFileAccessError);
        return false;
      }
      if (HasSuffix(item, kQvefSuffix)) {
        // A container is encrypted again from its restored folder; its old file is kept as a
        // backup until the new container exists.
        item = WithoutSuffix(item, kQvefSuffix);
        if (backups_.size() > backupsBefore) walkBackups_[item] = backups_[backupsBefore];
      }
      return true;
    }
  }
  if (HasSuffix(item, kBackupSuffix)) return true;
  if (HasSuffix(item, kQvfSuffix)) {
    // An encrypted file is first decrypted in place, so that the plain result is encrypted
    // again under this user's key; the old .qvf is kept as a backup until the operation ends.
    if (DecryptInPlaceForWalk(*this, item, folder) != StatusSuccess) {
      RefuseItem(item, StatusFileAccessError);
      return false;
    }
    walkBackups_[WithoutSuffix(item, kQvfSuffix)] = backups_.back();
    item = WithoutSuffix(item, kQvfSuffix);
  }
  ++total_;
  overallSuccess_ = true;
  return true;
}

bool CProgressDlg::PrepareForDecryption(std::vector<std::string>::iterator& it,
                                        const std::string& /*folder*/) {
  const std::string& item = *it;
  if (HasSuffix(item, kQvefSuffix) && !request_.container.has_value()) {
    // A link is refused as a linked .qvf is: decrypting it would restore (and delete) what
    // it points to.
    const DWORD attributes = GetFileAttributesA(item.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      RefuseItem(item, StatusFileAccessError);
      return false;
    }
    if (!folders_.PrepareContainerDecryption(item)) return false;
    ++it;
    return true;
  }
  if (!HasSuffix(item, kQvfSuffix)) {
    // Not an encrypted file: the processing pass reports it; its name is no target to ask
    // about (it would be the item itself).
    ++total_;
    ++it;
    return true;
  }
  const std::string target = PlainNameOf(item);
  const DWORD attributes = GetFileAttributesA(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    ++total_;
    ++it;
    return true;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    RefuseItem(target, StatusDestinationExists);
    return false;
  }
  if (ConfirmReplace(target)) {
    ++total_;
    ++it;
  } else {
    it = request_.items.erase(it);
  }
  return true;
}

bool CProgressDlg::ConfirmReplace(const std::string& path) {
  if (replaceAnswer_ == kReplaceYesToAll) return true;
  if (replaceAnswer_ == kReplaceNoToAll) return false;
  CConfirmReplace confirm(path.c_str(), m_hWnd);
  const INT_PTR answer = confirm.DoModal();
  if (answer == IDC_YES_TO_ALL) replaceAnswer_ = kReplaceYesToAll;
  if (answer == IDC_NO_TO_ALL) replaceAnswer_ = kReplaceNoToAll;
  return answer == IDOK || answer == IDC_YES_TO_ALL;
}

bool CProgressDlg::IsOwnBackup(const std::string& path) const {
  return std::find(backups_.begin(), backups_.end(), path) != backups_.end();
}

void CProgressDlg::ForgetCreatedFolder(const std::string& path) {
  std::erase(createdFolders_, path);
}

// ---- Processing pass ----

namespace {

std::function<void(CProgressDlg&)>& AfterLastItemTestHook() {
  static std::function<void(CProgressDlg&)> hook;
  return hook;
}

}  // namespace

void CProgressDlg::SetAfterLastItemTestHook(std::function<void(CProgressDlg&)> hook) {
  AfterLastItemTestHook() = std::move(hook);
}

bool CProgressDlg::ProcessingPass() {
  const std::string verb = LoadStringText(request_.encrypt ? IDS_ENCRYPTING : IDS_DECRYPTING);
  CProgressCtrl bar(::GetDlgItem(m_hWnd, IDC_PROGRESS_BAR));
  for (const std::string& item : request_.items) {
    if (CancelRequested()) return false;
    const std::string name = SplitPath(item).second;
    SetProgressText(CountUtf8Characters(name) >= kLabelNameLimit ? verb : verb + " : " + name);
    bar.SetRange32(0, total_);
    bar.SetPos(0);
    PumpMessages();
    if (CancelRequested()) return false;
    if (ProcessItem(item) != StatusSuccess) return false;
  }
  if (folders_.HasOpenContainer() && folders_.FinishOpenContainerFiles() != StatusSuccess)
    return false;
  if (AfterLastItemTestHook()) AfterLastItemTestHook()(*this);
  return true;
}

ItemStatus CProgressDlg::ProcessItem(const std::string& item) {
  if (folders_.HasOpenContainer()) {
    if (request_.encrypt || !HasSuffix(item, kQvfSuffix))
      return folders_.ProcessInOpenContainer(item);
    return DecryptOverAgreedTarget(item, [&] { return folders_.ProcessInOpenContainer(item); });
  }
  if (request_.encrypt && IsFolder(item)) {
    const ItemStatus status = folders_.EncryptFolder(item);
    if (status == StatusSuccess) DropWalkBackup(item);
    return status;
  }
  if (!request_.encrypt && HasSuffix(item, kQvefSuffix)) return folders_.DecryptContainer(item);
  return ProcessTopLevelFile(item);
}

ItemStatus CProgressDlg::DecryptOverAgreedTarget(const std::string& item,
                                                 const std::function<ItemStatus()>& decrypt) {
  // The user agreed to replace an existing plain file: it waits under the backup name
  // until the decryption has succeeded, and comes back when it fails.
  const std::string folder = SplitPath(item).first;
  const std::string target = PlainNameOf(item);
  if (!Exists(target)) return decrypt();
  const std::string backup = BackupNameOf(target);
  if (MoveFileExA(target.c_str(), backup.c_str(), 0) == FALSE) {
    AddResultRow(item, folder, LoadStringText(IDS_DECRYPTING));
    ReportStatus(StatusDestinationExists);
    return StatusDestinationExists;
  }
  const ItemStatus status = decrypt();
  if (status != StatusSuccess) {
    if (MoveFileExA(backup.c_str(), target.c_str(), 0) == FALSE) {
      AddResultRow(backup, folder, std::string());
      ReportStatus(StatusFileAccessError);
    }
  } else if (!DeleteNormal(backup)) {
    AddResultRow(backup, folder, std::string());
    ReportStatus(StatusSourceNotDeleted);
  }
  return status;
}

ItemStatus CProgressDlg::ProcessTopLevelFile(const std::string& item) {
  const std::string folder = SplitPath(item).first;
  const auto process = [&] {
    return ProcessFile(*this, item, folder, request_.encrypt, key_,
                       request_.encrypt ? kCheckLocation : kCheckName);
  };
  const ItemStatus status = !request_.encrypt && HasSuffix(item, kQvfSuffix)
                                ? DecryptOverAgreedTarget(item, process)
                                : process();
  if (status == StatusSuccess && request_.encrypt) DropWalkBackup(item);
  if (status == StatusSuccess) StepProgress();
  return status;
}

void CProgressDlg::DropWalkBackup(const std::string& item) {
  // The item's new .qvf is on disk under the old name, so the old one could never be moved
  // back: it goes now, whatever happens to later items.
  const auto found = walkBackups_.find(item);
  if (found == walkBackups_.end()) return;
  const std::string backup = found->second;
  walkBackups_.erase(found);
  std::erase(createdFiles_, item);
  std::erase(createdFolders_, item);
  std::erase(backups_, backup);
  if (folders_.HoldsRestoredContainer(backup)) {
    // The old container goes only if nothing changed it meanwhile; otherwise it stays, under
    // the backup name, and its row says so.
    (void)folders_.DeleteRestoredContainer(backup);
    return;
  }
  if (!DeleteNormal(backup)) {
    AddResultRow(backup, SplitPath(backup).first, std::string());
    ReportStatus(StatusSourceNotDeleted);
  }
}

// ---- End of the operation ----

void CProgressDlg::EndOfOperation(bool succeeded) {
  const auto deleteBackups = [this] {
    // The old encrypted files were replaced by their new encryption: their backups go.
    for (const std::string& backup : backups_) {
      if (Exists(backup) && !DeleteNormal(backup)) {
        AddResultRow(backup, SplitPath(backup).first, std::string());
        ReportStatus(StatusSourceNotDeleted);
      }
    }
  };
  const auto restoreBackups = [this] {
    for (const std::string& backup : backups_) {
      if (!Exists(backup)) continue;
      const std::string original = WithoutSuffix(backup, kBackupSuffix);
      // A name taken meanwhile is not replaced: the backup stays, and the row says so.
      if (MoveFileExA(backup.c_str(), original.c_str(), 0) == FALSE) {
        AddResultRow(backup, SplitPath(backup).first, std::string());
        ReportStatus(StatusFileAccessError);
      }
    }
  };
  const auto deleteCreatedFiles = [this] {
    for (const std::string& file : createdFiles_)
      if (Exists(file)) (void)DeleteNormal(file);
  };
  if (succeeded) {
    // Restored folders were flushed before they got their names: the containers may go, each
    // only if nothing changed it meanwhile. One kept stays under the name it has now.
    for (const std::string& kept : folders_.DeleteRestoredContainers()) std::erase(backups_, kept);
    if (folders_.HasOpenContainer() && request_.keepSource) {
      // The container now holds the dropped items; the originals stay as they were.
      restoreBackups();
      DeleteCreatedFolders();
      deleteCreatedFiles();
    } else {
      deleteBackups();
    }
  } else {
    folders_.ReleaseRestoredContainers();
    DeleteCreatedFolders();
    deleteCreatedFiles();
    restoreBackups();
    folders_.RemoveWorkFolders();
  }
  createdFiles_.clear();
  createdFolders_.clear();
  backups_.clear();
  walkBackups_.clear();
}

// ---- Rows, controls, Cancel ----

void CProgressDlg::AddResultRow(const std::string& path, const std::string& folder,
                                const std::string& statusText) {
  std::string name = SplitPath(path).second;
  if (HasSuffix(name, kBackupSuffix)) name = WithoutSuffix(name, kBackupSuffix) + "...";
  CListCtrl list(::GetDlgItem(m_hWnd, IDC_PROGRESS_LIST));
  const int row = list.InsertItem(list.GetItemCount(), name.c_str());
  if (row < 0) return;
  list.SetItemText(row, 1, statusText.c_str());
  list.SetItemText(row, 2, folder.c_str());
  AutoSizeColumns();
  list.EnsureVisible(row, FALSE);
  PumpMessages();
}

void CProgressDlg::ReportStatus(DWORD status) {
  CListCtrl list(::GetDlgItem(m_hWnd, IDC_PROGRESS_LIST));
  list.SetItemText(currentRow_, 1, LoadStringText(MessageIdForStatus(status)).c_str());
  list.EnsureVisible(currentRow_, FALSE);
  ++currentRow_;
  if (status != StatusSuccess) overallSuccess_ = false;
  PumpMessages();
  AutoSizeColumns();
}

void CProgressDlg::RefuseItem(const std::string& path, DWORD status) {
  AddResultRow(path, SplitPath(path).first, std::string());
  ReportStatus(status);
}

DWORD CProgressDlg::RunLibraryCall(const std::function<DWORD()>& call) {
  return RunOnWorker(call, m_hWnd, cancel_);
}

bool CProgressDlg::StartLibraryCall(StartedCall& started, std::function<DWORD()> call) {
  return started.Start(std::move(call));
}

DWORD CProgressDlg::FinishLibraryCall(StartedCall& started) {
  return started.Finish(m_hWnd, cancel_);
}

void CProgressDlg::PumpMessages() {
  int quitCode = 0;
  if (!PumpWaitingMessages(m_hWnd, &quitCode)) PostQuitMessage(quitCode);
}

void CProgressDlg::SetProgressText(const std::string& text) {
  SetDlgItemText(IDC_PROGRESS_TEXT, text.c_str());
}

void CProgressDlg::ShowFilesRemaining(bool show) {
  GetDlgItem(IDC_FILES_REMAINING).ShowWindow(show ? SW_SHOW : SW_HIDE);
}

void CProgressDlg::EnableCancel(bool enable) { GetDlgItem(IDCANCEL).EnableWindow(enable); }

void CProgressDlg::DeleteCreatedFolders() {
  for (const std::string& folder : createdFolders_) {
    if (!IsFolder(folder)) continue;
    if (!DeleteFolderTreeA(folder.c_str())) {
      AddResultRow(folder + "/", SplitPath(folder).first, std::string());
      ReportStatus(StatusSourceInUse);
    }
  }
}

void CProgressDlg::StepProgress() { CProgressCtrl(ProgressBar()).StepIt(); }

HWND CProgressDlg::ProgressBar() const { return ::GetDlgItem(m_hWnd, IDC_PROGRESS_BAR); }

HWND CProgressDlg::FilesRemainingLabel() const { return ::GetDlgItem(m_hWnd, IDC_FILES_REMAINING); }

void CProgressDlg::AutoSizeColumns(bool now) {
  const ULONGLONG tick = GetTickCount64();
  if (!now && lastAutoSize_ != 0 && tick - lastAutoSize_ < kAutoSizeIntervalMs) return;
  lastAutoSize_ = tick;
  CListCtrl list(::GetDlgItem(m_hWnd, IDC_PROGRESS_LIST));
  for (int column = 0; column < 3; ++column) list.SetColumnWidth(column, LVSCW_AUTOSIZE_USEHEADER);
}

void CProgressDlg::Finish() {
  AutoSizeColumns(true);
  CListCtrl list(::GetDlgItem(m_hWnd, IDC_PROGRESS_LIST));
  if (CancelRequested() || list.GetItemCount() == 0 || overallSuccess_) {
    CAnimateCtrl(::GetDlgItem(m_hWnd, IDC_PROGRESS_ANIMATION)).Stop();
    EndDialog(succeeded_ ? IDOK : IDCANCEL);
    return;
  }
  SetDlgItemText(IDCANCEL, LoadStringText(IDS_OK).c_str());
  EnableCancel(true);
  EnableCloseItem(true);
  finished_ = true;
  CAnimateCtrl(::GetDlgItem(m_hWnd, IDC_PROGRESS_ANIMATION)).Stop();
}

void CProgressDlg::OnCancel() {
  if (finished_) {
    EndDialog(IDCANCEL);
    return;
  }
  cancel_.store(1);
  EnableCancel(false);
  EnableCloseItem(false);
}

void CProgressDlg::OnOK() {
  // Enter does not end the operation; only Cancel (or OK once finished) closes the dialog.
  if (finished_) EndDialog(IDCANCEL);
}
