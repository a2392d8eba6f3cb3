// The frame every caller of the engine runs around an operation: the current user's identity,
// the verification with the product's caption and prompt, and the audit record afterwards.
// The exports and the context menu share it so that each operation is verified and recorded
// the same way.
#pragma once

#include <string>

#include "platform/WinTypes.h"
#include "suite/QvUserApi.h"

// The current user's identity from the user-data object, released when it goes.
class CurrentIdentity {
 public:
  explicit CurrentIdentity(CUserData& userData);
  ~CurrentIdentity();
  CurrentIdentity(const CurrentIdentity&) = delete;
  CurrentIdentity& operator=(const CurrentIdentity&) = delete;

  UserIdentity& Get() { return identity_; }
  std::string UserId() const { return identity_.userId != nullptr ? identity_.userId : ""; }
  std::string UserName() const { return identity_.userName != nullptr ? identity_.userName : ""; }

 private:
  CUserData& userData_;
  UserIdentity identity_{};
};

// The verification prompt: a shorter text of its own on Korean systems of one OEM.
[[nodiscard]] std::string VerificationPrompt();

// The verification gate with the product's caption and prompt; `encrypt` shows the backup
// warning. 1 when the user passed.
[[nodiscard]] int VerifyForOperation(CurrentIdentity& identity, bool encrypt);

// Audit events of the operations.
inline constexpr DWORD kAuditEventEncrypt = 6;
inline constexpr DWORD kAuditEventDecrypt = 7;
inline constexpr DWORD kAuditEventSharing = 8;

// Records `event` on `item` for `userId` with `result` (kAuditResultSuccess or
// kAuditResultFailure) and the current time; false when the record could not be written. A
// path longer than the record's field is cut there.
[[nodiscard]] bool WriteOperationAudit(CUserData& userData, const std::string& userId, DWORD event,
                                       const std::string& item, DWORD result);
