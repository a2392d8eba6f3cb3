// What the engine needs from whoever runs an operation and shows it to the user: the
// result rows and their statuses, the replace confirmation, progress and totals, the cancel
// flag, the user and key the operation acts with, library calls on a worker, and the record
// of what the operation made or moved aside so that its end can keep or undo it.
//
// The progress dialog implements it today; anything else that starts an operation (a drop
// into a container, a command of a view) implements the same calls without the engine
// knowing who shows the rows. Every call is made on the thread that runs the operation
// (the dialog thread), except IsCancelled, which the library calls on its worker.
#pragma once

#include <functional>
#include <string>

#include "base/ItemStatus.h"
#include "engine/EngineWorker.h"
#include "engine/OperationRequest.h"
#include "platform/WinTypes.h"
#include "suite/QvFsApi.h"
#include "suite/QvUserApi.h"

class OperationSink : public IEncryDecryptCallBack {
 public:
  // ---- Result rows ----

  // Adds a result row for `path` (its name, and `folder` as its location) with `statusText`
  // as its status until ReportStatus gives the real one.
  virtual void AddResultRow(const std::string& path, const std::string& folder,
                            const std::string& statusText) = 0;
  // Gives the current row the message of `status` and moves to the next row. A non-zero
  // status makes the operation a failure unless a later step marks success again.
  virtual void ReportStatus(DWORD status) = 0;

  // ---- Replacing what is there ----

  // Asks whether `path` may be replaced, unless "Yes To All" or "No To All" was answered
  // before; true for "Yes" and "Yes To All".
  [[nodiscard]] virtual bool ConfirmReplace(const std::string& path) = 0;
  // A replacement was declined, so not everything the user dropped went in.
  virtual void ClearAllReplaced() = 0;
  virtual bool AllReplaced() const = 0;

  // ---- Progress ----

  virtual void AddToTotal(int count) = 0;
  // One more file of the total is done.
  virtual void StepProgress() = 0;
  // A step of the encryption walk succeeded: the operation counts as successful again.
  virtual void MarkStepSucceeded() = 0;
  virtual void ShowFilesRemaining(bool show) = 0;
  // Where a container's extraction shows its own progress; null when nothing shows it.
  virtual HWND ProgressBar() const = 0;
  virtual HWND FilesRemainingLabel() const = 0;
  // Keeps the window answering during long work on the calling thread.
  virtual void PumpMessages() = 0;

  // ---- Cancel ----

  virtual bool CancelRequested() const = 0;

  // ---- Who acts, with which key ----

  virtual const OperationRequest& Request() const = 0;
  virtual const std::string& UserId() const = 0;
  virtual const std::string& KeyName() const = 0;
  virtual const std::string& KeyLabel() const = 0;
  // Size of every credential block the library is given for this operation.
  virtual DWORD CredentialSize() const = 0;
  virtual const EncryptAlgoInfo& Algorithm() const = 0;
  // The user's key record, read at the start of the operation.
  virtual const KeyRecord& Key() const = 0;

  // ---- Library calls on a worker (see EngineWorker.h) ----

  [[nodiscard]] virtual DWORD RunLibraryCall(const std::function<DWORD()>& call) = 0;
  // Starts work on a worker and returns at once; FinishLibraryCall waits for it as
  // RunLibraryCall does.
  [[nodiscard]] virtual bool StartLibraryCall(StartedCall& started,
                                              std::function<DWORD()> call) = 0;
  [[nodiscard]] virtual DWORD FinishLibraryCall(StartedCall& started) = 0;

  // ---- What the operation made or moved aside, for its end to keep or undo ----

  // True for a backup this operation made (never encrypted or kept as the user's file).
  virtual bool IsOwnBackup(const std::string& path) const = 0;
  virtual void RecordBackup(const std::string& path) = 0;
  virtual void RecordCreatedFile(const std::string& path) = 0;
  virtual void RecordCreatedFolder(const std::string& path) = 0;
  virtual void ForgetCreatedFolder(const std::string& path) = 0;

 protected:
  ~OperationSink() = default;
};
