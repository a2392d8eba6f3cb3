// The gate before every operation that reads or writes encrypted data or changes sharing:
// it makes sure the suite knows the user (offering enrollment when it does not), verifies
// the user through the authentication service, and on the first encryption shows the
// backup warning. In the Sentivo edition it also makes sure the user has a default key.
#pragma once

#include "platform/WinTypes.h"
#include "suite/QvUserApi.h"

// The suite's message window that is told around a verification (Sentivo edition only).
inline constexpr const char* kSuiteMessageWindowClass =
    "Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386";
inline constexpr const char* kSuiteMessageWindowTitle = "MsgWnd";
// The program launched for a user the suite does not know, from the suite's install folder.
inline constexpr const char* kEnrollmentProgram = "qvenroll.exe";
inline constexpr const char* kSentivoEnrollmentProgram = "qvclient.exe";

// Verifies the user named by `identity` (filled by the caller for the current user; it may
// be released and filled again while the user retries, and is filled by the look-up when
// the user was not logged on). `title` and `prompt` are the verification dialog's texts;
// `title` also captions the device-busy box. `showBackupWarning` is 1 for encryption;
// `skipEnrollment` 1 never launches the enrollment program.
//
// Returns 1 when the user passed and the operation may go on, 0 otherwise (also when the
// enrollment program was launched). Runs on the caller's thread; needs the suite services.
[[nodiscard]] int VerifyUserGate(UserIdentity& identity, const char* title, const char* prompt,
                                 BOOL showBackupWarning, BOOL skipEnrollment);

// Sentivo edition: makes sure `identity`'s user has a key; when none is found a new key with
// a GUID name is created, stored with the label "DefaultKey" and registered. True on success.
[[nodiscard]] bool EnsureDefaultKey(CUserData& userData, UserIdentity& identity);
