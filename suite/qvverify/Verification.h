// Password verification as the authentication driver performs it for the user-data object:
// one verification of a user at a time (a per-user lock shared by every process of the
// account), the password prompt, and the check against the user store.
#pragma once

#include <string>

#include "platform/WinTypes.h"
#include "suite/SuiteExport.h"
#include "suite/qvprofile/UserSession.h"

// The name of the per-user verification lock (a named mutex): "QuorvinVerify-" and the user id
// in lower case. Whoever holds it makes every other verification of the user report busy.
QV_SUITE_API std::string QvVerificationLockName(const std::string& userId);

// Verifies request.userId. kVerifyPassed: the password was right and the user is now this
// process's verified user. kVerifyNotValidated: a wrong password, Cancel, a user the store
// does not know, or a non-interactive source repeating a password already refused (*outWord
// tells the last three apart). kVerifyDevicesMissing: the user has no password.
// kVerifyBusy: another verification of the user runs, in this or another process, or nobody
// can be asked now (no terminal, an unusable password file).
DWORD QvRunVerification(const QvVerifyRequest& request, DWORD* outWord);

// The answer to the user-data object's other prompts (an exported key file's password).
int QvAskOtherPassword(const char* title, const char* prompt, std::string* password);
