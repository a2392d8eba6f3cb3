// The engine's driver and its only window: a modal progress dialog that runs a whole
// operation inside its initialisation (the user's key, the preparation pass, the processing
// pass item by item, the end-of-operation clean-up), shows one result row per item, and
// either closes by itself (everything succeeded, the user cancelled, nothing was shown) or
// stays open with an OK button so the user can read the failures.
//
// Every call into the file-encryption library runs on a short-lived worker thread while this
// dialog keeps handling its messages; the library sees Cancel through IsCancelled.
//
// Top-level files are handled here (with ProcessFile); folders, containers and operations on
// a container open in a view by the dialog's FolderEngine. The engine reaches the dialog only
// through OperationSink.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/ItemStatus.h"
#include "engine/EngineWorker.h"
#include "engine/FolderEngine.h"
#include "engine/OperationRequest.h"
#include "engine/OperationSink.h"
#include "platform/ui/Dialog.h"
#include "suite/QvFsApi.h"
#include "suite/QvUserApi.h"

class CProgressDlg : public CDialog, public OperationSink {
 public:
  // Remembered answers of the replace confirmation.
  enum ReplaceAnswer { kReplaceAsk = 0, kReplaceYesToAll = 1, kReplaceNoToAll = 2 };

  explicit CProgressDlg(OperationRequest request, HWND parent = nullptr);
  ~CProgressDlg() override;

  // The cancel flag, for the library on the worker thread.
  DWORD IsCancelled() override;

  // Replaces the key name (the user id until then) before DoModal: a longer name asks the
  // user data for that key rather than the user's default one.
  void SetKeyName(std::string keyName) { keyName_ = std::move(keyName); }

  // DoModal returns IDOK when every item succeeded (also when Cancel came too late to stop
  // any of them), IDCANCEL otherwise (cancelled, or closed with OK after failures).

  // ---- OperationSink (dialog thread only) ----

  // A name ending in the backup suffix is shown without it and with "..." appended; a path
  // ending in "/" shows its last folder.
  void AddResultRow(const std::string& path, const std::string& folder,
                    const std::string& statusText) override;
  // Also makes the row visible, handles waiting messages and sizes the columns.
  void ReportStatus(DWORD status) override;
  [[nodiscard]] bool ConfirmReplace(const std::string& path) override;
  void ClearAllReplaced() override { allReplaced_ = false; }
  bool AllReplaced() const override { return allReplaced_; }
  void AddToTotal(int count) override { total_ += count; }
  void StepProgress() override;
  void MarkStepSucceeded() override { overallSuccess_ = true; }
  void ShowFilesRemaining(bool show) override;
  HWND ProgressBar() const override;
  HWND FilesRemainingLabel() const override;
  bool CancelRequested() const override { return cancel_.load() != 0; }
  const OperationRequest& Request() const override { return request_; }
  const std::string& UserId() const override { return request_.userId; }
  const std::string& KeyName() const override { return keyName_; }
  const std::string& KeyLabel() const override { return keyLabel_; }
  // The edition's size (299 or 13 bytes), grown to the key name, the label and their two
  // terminators when they need more, so nothing is ever cut or written past the block.
  DWORD CredentialSize() const override;
  const EncryptAlgoInfo& Algorithm() const override { return algorithm_; }
  const KeyRecord& Key() const override { return key_; }
  [[nodiscard]] DWORD RunLibraryCall(const std::function<DWORD()>& call) override;
  [[nodiscard]] bool StartLibraryCall(StartedCall& started, std::function<DWORD()> call) override;
  [[nodiscard]] DWORD FinishLibraryCall(StartedCall& started) override;
  bool IsOwnBackup(const std::string& path) const override;
  void RecordBackup(const std::string& path) override { backups_.push_back(path); }
  void RecordCreatedFile(const std::string& path) override { createdFiles_.push_back(path); }
  void RecordCreatedFolder(const std::string& path) override { createdFolders_.push_back(path); }
  void ForgetCreatedFolder(const std::string& path) override;

  // Handles the messages waiting for this thread (Cancel may be pressed meanwhile).
  void PumpMessages() override;
  bool Encrypting() const { return request_.encrypt; }

  // ---- Outcome, for callers and tests ----
  bool OverallSuccess() const { return overallSuccess_; }
  // Every item was processed and succeeded: what was done is kept, whatever the state of the
  // Cancel button when the last item ended.
  bool Succeeded() const { return succeeded_; }
  bool Finished() const { return finished_; }

  // Tests only: `hook` runs on the dialog thread once the last item has succeeded, before the
  // dialog settles the outcome (a Cancel pressed there comes too late to stop anything);
  // empty: none.
  static void SetAfterLastItemTestHook(std::function<void(CProgressDlg&)> hook);

 protected:
  BOOL OnInitDialog() override;
  void OnCancel() override;
  void OnOK() override;

 private:
  void StartDialog();
  void LoadAlgorithm();
  void RunEngine();
  // Reads the user's key into key_; false (after reporting) when there is none.
  bool ReadUserKey();
  // False when the operation must end without a processing pass.
  bool PreparationPass();
  bool PrepareForEncryption(std::string& item, const std::string& folder);
  bool PrepareForDecryption(std::vector<std::string>::iterator& it, const std::string& folder);
  // True when every item was processed and succeeded.
  [[nodiscard]] bool ProcessingPass();
  [[nodiscard]] ItemStatus ProcessItem(const std::string& item);
  [[nodiscard]] ItemStatus ProcessTopLevelFile(const std::string& item);
  // Runs `decrypt` for the encrypted file `item` whose plain file the user agreed to replace:
  // the plain file waits under its backup name meanwhile, goes when `decrypt` succeeded and
  // comes back when it failed.
  [[nodiscard]] ItemStatus DecryptOverAgreedTarget(const std::string& item,
                                                   const std::function<ItemStatus()>& decrypt);
  void DropWalkBackup(const std::string& item);
  void EndOfOperation(bool succeeded);
  void RefuseItem(const std::string& path, DWORD status);
  void SetProgressText(const std::string& text);
  void EnableCancel(bool enable);
  // Sizes the columns to their texts, at most every few tenths of a second unless `now`:
  // measuring every row of a long list after each file would dominate a large folder.
  void AutoSizeColumns(bool now = false);
  void DeleteCreatedFolders();
  void Finish();

  OperationRequest request_;
  std::string keyName_;
  std::string keyLabel_;
  DWORD editionCredentialSize_ = kCredentialSizeStandard;
  EncryptAlgoInfo algorithm_{};
  KeyRecord key_{};
  bool keyRead_ = false;
  CUserData* userData_ = nullptr;

  std::atomic<DWORD> cancel_{0};
  bool overallSuccess_ = true;
  bool succeeded_ = false;
  bool finished_ = false;
  int currentRow_ = 0;
  int replaceAnswer_ = kReplaceAsk;
  bool allReplaced_ = true;
  ULONGLONG lastAutoSize_ = 0;
  int total_ = 0;

  std::vector<std::string> createdFiles_;
  std::vector<std::string> createdFolders_;
  std::vector<std::string> backups_;
  // Top-level items decrypted in place by the walk: plain path -> backup of the old .qvf or
  // container.
  std::map<std::string, std::string> walkBackups_;
  FolderEngine folders_{*this};
};
