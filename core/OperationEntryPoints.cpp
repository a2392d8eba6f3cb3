// The two exports through which the suite's programs drive the engine: encrypting or
// decrypting one path, and decrypting an opened ".qvf" file (or container) and opening the
// plain result.
// Both run the frame every caller of the engine runs: start the suite services, verify the
// user, run the progress dialog over the request, write an audit record, stop the services.
#include <string>
#include <utility>
#include <vector>

#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "core/Exports.h"
#include "core/ShellAppMessaging.h"
#include "engine/CProgressDlg.h"
#include "engine/EngineFiles.h"
#include "engine/OperationFrame.h"
#include "engine/OperationRequest.h"
#include "engine/OwnerKeyCheck.h"
#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/shell/ShellExecute.h"
#include "platform/ui/UiTypes.h"
#include "suite/QvUserApi.h"

namespace {

// Every operation of the exports is recorded under one event.
constexpr DWORD kOperationAuditEvent = kAuditEventDecrypt;
constexpr DWORD kPathBufferSize = 8000;

// Stops the suite services when the export ends, however it ends.
class ServicesScope {
 public:
  ServicesScope() { (void)StartSuiteServices(); }
  ~ServicesScope() { StopSuiteServices(); }
  ServicesScope(const ServicesScope&) = delete;
  ServicesScope& operator=(const ServicesScope&) = delete;
};

// Records the outcome of an operation on `firstItem` for the user; false when the record
// could not be written.
[[nodiscard]] bool WriteOperationAudit(CUserData& userData, const std::string& userId,
                                       const std::string& firstItem, bool succeeded) {
  return WriteOperationAudit(userData, userId, kOperationAuditEvent, firstItem,
                             succeeded ? kAuditResultSuccess : kAuditResultFailure);
}

// What an export leaves as the last error: whether the record of the operation is missing,
// or else what became of a path handed to another process.
struct Outcome {
  int result = 0;
  bool auditMissing = false;
  DWORD lastError = ERROR_SUCCESS;
};

// Runs the progress dialog over `request`; true when every item succeeded. A Cancel between
// two items leaves no failed row behind, yet the operation did not complete: it counts as a
// failure. A Cancel after the last item stopped nothing: the work is done and kept.
[[nodiscard]] bool RunProgressDialog(CProgressDlg& dialog) {
  (void)dialog.DoModal();
  return dialog.Succeeded();
}

OperationRequest MakeRequest(std::vector<std::string> items, CurrentIdentity& identity,
                             bool encrypt) {
  OperationRequest request;
  request.items = std::move(items);
  request.userId = identity.UserId();
  request.userName = identity.UserName();
  request.encrypt = encrypt;
  return request;
}

// The absolute form of `path`, as another process needs it (its working folder differs).
std::string AbsolutePath(const char* path) {
  std::string buffer(kPathBufferSize, '\0');
  const DWORD length = GetFullPathNameA(path, kPathBufferSize, buffer.data());
  if (length == 0 || length >= kPathBufferSize) return path;
  buffer.resize(length);
  return buffer;
}

// Opens the plain result of the decrypted `item` with the desktop's opener, in its folder.
void OpenPlainResult(const std::string& item) {
  std::string plain = item;
  if (HasSuffix(plain, kQvfSuffix))
    plain = WithoutSuffix(plain, kQvfSuffix);
  else if (HasSuffix(plain, kQvefSuffix))
    plain = WithoutSuffix(plain, kQvefSuffix);
  const std::string folder = engine::SplitPath(plain).first;
  // The full path, not the bare name: a bare name that were missing would be looked up as a
  // program.
  (void)ShellExecuteA(nullptr, nullptr, plain.c_str(), nullptr,
                      folder.empty() ? nullptr : folder.c_str(), SW_SHOWNORMAL);
}

Outcome DoEncryptDecrypt(const char* path, bool encrypt) {
  ServicesScope services;
  CUserData* userData = QvApp().userData;
  if (userData == nullptr) return {};
  CurrentIdentity identity(*userData);
  if (VerifyForOperation(identity, encrypt) == 0) return {};

  CProgressDlg dialog(MakeRequest({path}, identity, encrypt));
  const bool ran = RunProgressDialog(dialog);
  const std::vector<std::string>& items = dialog.Request().items;
  // The user kept an existing target ("No"): nothing was done, which is no success.
  const bool succeeded = ran && !items.empty();
  // An operation without its record is not a complete one: whoever reads the audit log
  // must not miss it silently, so the caller is told and the result says so.
  const bool audited =
      items.empty() || WriteOperationAudit(*userData, identity.UserId(), items.front(), succeeded);
  return {succeeded && audited ? 1 : 0, !audited};
}

Outcome DoShellInterface(const char* path) {
  ServicesScope services;
  DecryptOpenRole role;
  if (!role.Claim()) {
    switch (HandOverToRoleHolder(AbsolutePath(path))) {
      case HandOverResult::kSent:
        return {};
      case HandOverResult::kRefused:
        return {.lastError = ERROR_BAD_PATHNAME};
      case HandOverResult::kNotHandedOver:
        return {.lastError = ERROR_WRITE_FAULT};
    }
    return {};
  }
  // Paths sent while the user verifies wait in the mailslot.
  (void)role.OpenHandOver();
  CUserData* userData = QvApp().userData;
  if (userData == nullptr) return {};
  CurrentIdentity identity(*userData);
  if (VerifyForOperation(identity, false) == 0) return {};

  std::vector<std::string> items{path};
  std::vector<RefusedItem> refused;
  (void)role.TakeWaitingPaths(items, &refused);
  std::string ownerKey;
  if (userData->EditionCode == EDITION_SENTIVO) {
    // The key that encrypted the file (or the container's folder) is offered for import when
    // the user no longer holds it, and the dialog decrypts with it.
    const std::string& item = items.front();
    if (HasSuffix(item, kQvfSuffix))
      ownerKey = OwnerKeyCheckFile(identity.UserId().c_str(), item.c_str());
    else if (HasSuffix(item, kQvefSuffix))
      ownerKey = OwnerKeyCheckContainer(identity.UserId().c_str(), item.c_str());
  }
  OperationRequest request = MakeRequest(std::move(items), identity, false);
  request.refused = std::move(refused);
  CProgressDlg dialog(std::move(request));
  if (!ownerKey.empty()) dialog.SetKeyName(ownerKey);
  const bool succeeded = RunProgressDialog(dialog);
  const std::vector<std::string>& done = dialog.Request().items;
  if (done.empty()) return {};
  if (succeeded) OpenPlainResult(done.front());
  return {0, !WriteOperationAudit(*userData, identity.UserId(), done.front(), succeeded)};
}

// The export's result, with the last error telling whether the audit record is missing. Set
// after the services have stopped, so nothing they do overwrites it.
int Finish(const Outcome& outcome) {
  SetLastError(outcome.auditMissing ? ERROR_CANTWRITE : outcome.lastError);
  return outcome.result;
}

}  // namespace

int DllDoEncryptDecrypt(const char* path, unsigned int encrypt) {
  try {
    if (path == nullptr || *path == '\0') return Finish({});
    return Finish(DoEncryptDecrypt(path, encrypt != 0));
  } catch (...) {
    return Finish({});
  }
}

int DllShellInterface(const char* path) {
  try {
    if (path == nullptr || *path == '\0') return Finish({});
    return Finish(DoShellInterface(path));
  } catch (...) {
    return Finish({});
  }
}
