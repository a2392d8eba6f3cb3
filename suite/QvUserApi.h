// Interface of the suite's user-data, storage-driver and authentication-driver libraries
// (libqvprofile.so, libqvvault.so, libqvverify.so): the records exchanged with the user-data
// object, the CUserData operations in the order the extension calls them, and the driver
// functions the module core uses to start and stop the suite services.
//
// Records are initialised and released through the user-data object: strings inside them
// are allocated by the library and freed by the matching release operation.
#pragma once

#include <cstddef>

#include "platform/WinTypes.h"
#include "suite/SuiteExport.h"

// Edition code of the Sentivo edition (CUserData::EditionCode).
inline constexpr DWORD EDITION_SENTIVO = 54;
// Values of the mode word around key creation and key import.
inline constexpr DWORD kModeKeyOperation = 1;
inline constexpr DWORD kModeKeyImported = 0x11111111;

// The user a call is about. The user id names the user in every call and is the default
// key name.
struct UserIdentity {
  char* userName;
  char* displayName;
  char* userId;
};

// Setting categories and ids used by the extension.
inline constexpr DWORD kSettingCategoryUser = 5;
inline constexpr DWORD kSettingBackupWarningSuppressed = 13;  // "1" when suppressed
inline constexpr DWORD kSettingAlgorithmName = 14;
inline constexpr DWORD kSettingAlgorithmIdAndKeyLength = 19;  // "hexid;hexlength"
inline constexpr DWORD kSettingDelegateUsers = 24;

struct SettingRecord {
  DWORD category;
  DWORD id;
  char* value;
};

inline constexpr DWORD kKeyTypeUser = 2;

struct KeyRecord {
  char* keyName;
  char* keyLabel;
  DWORD type;  // always kKeyTypeUser
  DWORD blobLength;
  BYTE* blob;
};

// A user's key as read for sharing (no key name).
struct ShareKeyRecord {
  DWORD type;  // set to kKeyTypeUser before reading
  DWORD blobLength;
  BYTE* blob;
};

// Machine identity: 11 bytes and a terminating zero.
struct MachineInfo {
  char id[12];
};

inline constexpr DWORD kAuditResultSuccess = 1;
inline constexpr DWORD kAuditResultFailure = 4;
inline constexpr size_t kAuditPathSize = 8000;

struct AuditRecord {
  char machine[12];
  char path[kAuditPathSize];
  DWORD result;     // kAuditResultSuccess or kAuditResultFailure
  DWORD eventType;  // 6 to 11
  std::int64_t time;
};

// Results of the verification operations (VerifyUser, LogOnAndVerifyUser), each for the
// causes whose notice fits it:
//  - kVerifyNotValidated ("could not validate your user credentials"): a wrong password, a
//    cancelled prompt, a user the suite does not know, or a password from a file or standard
//    input that was refused before;
//  - kVerifyDevicesMissing ("devices which are not present on this system"): the user has no
//    password to verify with, or the authentication driver is not running;
//  - kVerifyBusy ("device is not ready or another operation is in progress"): another
//    verification of the user runs, or nobody can be asked for the password now (no terminal,
//    a password file that cannot be used).
inline constexpr DWORD kVerifyPassed = 0;
inline constexpr DWORD kVerifyNotValidated = 1;
inline constexpr DWORD kVerifyDevicesMissing = 4;
inline constexpr DWORD kVerifyBusy = 16;

// What the out word of a verification holds afterwards. It tells the causes of one result
// apart where the caller acts differently on them: a cancelled prompt is no wrong password,
// and asking again is useless when no answer can be obtained.
inline constexpr DWORD kVerifyOutAnswered = 0;   // a password was checked (or none was asked)
inline constexpr DWORD kVerifyOutCancelled = 1;  // the user cancelled the prompt
inline constexpr DWORD kVerifyOutNoInput = 2;    // no (new) answer can be obtained

// The user-data object. The operations are listed in the order of the original interface;
// truth results are non-zero for success.
class QV_SUITE_API CUserData {
 public:
  // Identities.
  // Filled for the current user. For an account the suite does not know (not enrolled) the
  // result is FALSE and the identity still holds the account's user name ("<domain>\<user>",
  // "." for this computer) and display name, with an empty user id; release it all the same.
  virtual BOOL InitUserIdentity(UserIdentity* identity) = 0;
  virtual void ReleaseUserIdentity(UserIdentity* identity) = 0;
  // identity->userId holds the user id; fills the rest when the user is known.
  virtual BOOL LookUpUserById(UserIdentity* identity, DWORD flags1, DWORD flags2) = 0;
  virtual BOOL LookUpUserByName(const char* name, UserIdentity* identity, DWORD flags1,
                                DWORD flags2, DWORD flags3) = 0;
  // The second look-up form: `name` is taken as a user id first, then as a user name.
  virtual BOOL LookUpUserByAccountName(const char* name, UserIdentity* identity, DWORD flags1,
                                       DWORD flags2) = 0;
  // After a new key was created: 0 when the new key needs nothing more, non-zero when the
  // caller must make it the default.
  virtual BOOL RegisterNewKey(UserIdentity* identity, DWORD flags1, DWORD flags2) = 0;
  // Imports the key that an older installation exported for this user.
  virtual BOOL ImportOlderKey(const char* userId, DWORD flags1, DWORD flags2) = 0;
  // The machine account name into `out` (kMachineNameSize bytes).
  virtual BOOL GetMachineAccountName(char* out, const char* server) = 0;

  // Verification: kVerifyPassed, kVerifyNotValidated, kVerifyDevicesMissing, kVerifyBusy,
  // with one of the kVerifyOut* values in *outWord.
  virtual DWORD VerifyUser(UserIdentity* identity, DWORD mode, const char* title,
                           const char* prompt, DWORD* outWord) = 0;
  virtual DWORD LogOnAndVerifyUser(UserIdentity* identity, DWORD mode, const char* title,
                                   const char* prompt, DWORD* outWord) = 0;
  virtual BOOL IsUserLoggedOn(UserIdentity* identity) = 0;

  // Settings.
  virtual void InitSettingRecord(SettingRecord* record) = 0;
  virtual void ReleaseSettingRecord(SettingRecord* record) = 0;
  virtual BOOL ReadSetting(const char* userId, SettingRecord* record, DWORD flags) = 0;
  virtual BOOL WriteSetting(const char* userId, SettingRecord* record, DWORD flags) = 0;

  // Share keys.
  virtual void InitShareKeyRecord(ShareKeyRecord* record) = 0;
  virtual void ReleaseShareKeyRecord(ShareKeyRecord* record) = 0;
  virtual BOOL ReadShareKey(const char* userId, ShareKeyRecord* record, DWORD flags) = 0;

  // Keys.
  virtual void InitKeyRecord(KeyRecord* record) = 0;
  virtual void ReleaseKeyRecord(KeyRecord* record) = 0;
  virtual BOOL ReadKey(const char* userId, KeyRecord* record, DWORD flags) = 0;
  virtual BOOL StoreKey(const char* userId, KeyRecord* record, DWORD flags) = 0;
  virtual BOOL MakeDefaultKey(const char* userId, KeyRecord* record) = 0;

  // Audit records.
  virtual void InitAuditRecord(AuditRecord* record) = 0;
  virtual void ReleaseAuditRecord(AuditRecord* record) = 0;
  virtual BOOL WriteAuditRecord(const char* userId, AuditRecord* record) = 0;

  // Session accessors: they touch only the two session fields below. The product library
  // exports them as well.
  virtual DWORD GetUserSessionTimeOutVal();
  virtual void SetUserSessionTimeStart();
  virtual DWORD GetUserSessionTimeStart();

  DWORD EditionCode = 0;
  DWORD ModeWord = 0;

 protected:
  CUserData() = default;
  virtual ~CUserData();

  DWORD sessionTimeOut_ = 0;
  DWORD sessionTimeStart_ = 0;
};

inline constexpr size_t kMachineNameSize = 256;

extern "C" {
// libqvprofile.so
QV_SUITE_API DWORD GetUserDataPtr(CUserData** userData);
QV_SUITE_API void SetMachineInfo(MachineInfo info);
// libqvvault.so: 0 is success.
QV_SUITE_API DWORD InitStorageDriver(HMODULE module);
QV_SUITE_API void CloseStorageDriver();
// libqvverify.so: 0 is success.
QV_SUITE_API DWORD InitAuthDriver(HMODULE module);
QV_SUITE_API void CloseAuthDriver();
// Shapes a page window to its background image and returns the page size.
QV_SUITE_API BOOL AuthClipToImage(const char* imagePath, LONG* width, LONG* height);
}
