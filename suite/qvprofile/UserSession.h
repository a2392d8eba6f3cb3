// What the user-data library offers the authentication driver and the suite's programs beyond
// CUserData: the process's shared store, the log-on that makes a user this process's verified
// user (the only one whose secrets it can read), and the hooks through which the user-data
// object reaches the driver.
//
// The authentication driver (libqvverify) installs its hooks when it starts; without them a
// verification reports the authentication device as missing (kVerifyDevicesMissing).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinTypes.h"
#include "suite/QvUserApi.h"
#include "suite/SuiteExport.h"
#include "suite/qvprofile/UserStore.h"

struct QvVerifyRequest {
  const char* userId;
  const char* userName;
  const char* title;
  const char* prompt;
  bool logOn;  // log-on and verify (the session is started anew)
};

struct QvAuthHooks {
  // Verifies `request.userId`: asks for the password and hands it to QvLogOnUser. Returns
  // kVerifyPassed, kVerifyNotValidated, kVerifyDevicesMissing or kVerifyBusy, and one of the
  // kVerifyOut* values in *outWord.
  DWORD (*verify)(const QvVerifyRequest& request, DWORD* outWord);
  // Asks for a password that protects something other than the user's entry (an exported key
  // file). IDOK with the text in *password, IDCANCEL, or -1 when nothing can be asked.
  int (*askPassword)(const char* title, const char* prompt, std::string* password);
};

// Installs the driver's hooks (null: none). The hooks must stay valid while installed.
QV_SUITE_API void QvSetAuthHooks(const QvAuthHooks* hooks) noexcept;

enum class QvLogOnResult { Passed, WrongPassword, NoPassword, UnknownUser, Failed };

// Checks `password` for `userId`. When it is right, the user becomes this process's verified
// user: the user's master key is held (in locked memory) until the session time-out passes
// (later, while a key record read with its secret is not released), another user logs on, or
// QvLogOff; stopping the suite services does not end it. The session start is taken now and
// recorded in the store.
[[nodiscard]] QV_SUITE_API QvLogOnResult QvLogOnUser(const char* userId,
                                                     std::string_view password) noexcept;
// Passed when the user exists and has a password; NoPassword or UnknownUser otherwise.
[[nodiscard]] QV_SUITE_API QvLogOnResult QvUserCanVerify(const char* userId) noexcept;
// Results of importing an exported key (CUserData::ImportOlderKey and QvImportKey). They are
// the file-encryption library's status codes, because the extension takes the import's result
// as the check status of a decryption: 0 is success.
inline constexpr DWORD kImportDone = 0;
inline constexpr DWORD kImportWrongPassword = 4;  // the password does not open the file
inline constexpr DWORD kImportDamaged = 5;        // not a key file, or altered
// Not allowed: not in key-operation mode, the user is not verified in this process, the file
// belongs to another user, or the user has a different key of that name.
inline constexpr DWORD kImportNotAuthorized = 6;
inline constexpr DWORD kImportNoKeyFile = 7;
inline constexpr DWORD kImportCancelled = 507;

// Imports the bytes of an exported key file for `userId`, who must be this process's verified
// user; the key is stored with its secret sealed under the user's master key. Importing a key
// that is already there succeeds.
[[nodiscard]] QV_SUITE_API DWORD QvImportKey(const char* userId,
                                             const std::vector<std::uint8_t>& bytes,
                                             std::string_view password) noexcept;

// Runs `action` with the store and the master key of `userId`'s session, under the session's
// lock, and returns its result: how a program changes a user's settings or keys after the
// user passed verification in it. NotVerified when `userId` is not the verified user of this
// process (or the session has ended), NotFound for an unknown user.
using QvVerifiedAction = std::function<QvStoreStatus(QvUserStore&, const QvMasterKey&)>;
[[nodiscard]] QV_SUITE_API QvStoreStatus
QvWithVerifiedUser(const char* userId, const QvVerifiedAction& action) noexcept;

// Ends the session: the master key is wiped.
QV_SUITE_API void QvLogOff() noexcept;

// The store the user-data object uses: <machine root>/qvusers.db, opened on first use and
// opened again when the machine root changes. It is never made here: only an enrollment
// makes a store (QvUserStore::Creation). Null when it is missing or cannot be opened (the
// reason, which says to run qvenroll when it is missing, is in *error when given).
QV_SUITE_API QvUserStore* QvSharedUserStore(std::string* error = nullptr) noexcept;
// Closes the shared store (the storage driver's stop); the next use opens it again.
QV_SUITE_API void QvCloseSharedUserStore() noexcept;
