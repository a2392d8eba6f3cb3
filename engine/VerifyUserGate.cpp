// The user verification gate: enrollment offer, log-on or verification (told to the suite's
// message window in the Sentivo edition), the retry loop on credentials that were not
// validated, the Sentivo default key and the backup warning.
#include "engine/VerifyUserGate.h"

#include <cstdlib>
#include <string>

#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "base/Settings.h"
#include "base/StringTable.h"
#include "dialogs/CBadPassword.h"
#include "dialogs/CWarnDlg.h"
#include "platform/Guid.h"
#include "platform/Kernel.h"
#include "platform/MessageBox.h"
#include "platform/Ole.h"
#include "platform/SecureMemory.h"
#include "platform/Window.h"
#include "platform/shell/ShellExecute.h"
#include "platform/ui/UiTypes.h"
#include "suite/QvFsApi.h"
#include "suite/QvUserApi.h"

namespace {

// The verification mode the gate asks for (password or devices, as the user enrolled).
constexpr DWORD kVerifyMode = 3;
constexpr const char* kDefaultKeyLabel = "DefaultKey";

// The enrollment program from the suite's folder; the stored folder ends with its separator,
// so the name is appended as it is. What it does is its own business: the gate refuses.
void LaunchEnrollment(bool sentivo) {
  const std::string program =
      InstallDirForLaunch() + (sentivo ? kSentivoEnrollmentProgram : kEnrollmentProgram);
  (void)ShellExecuteA(nullptr, "Open", program.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

UINT QafMessageId() {
  const UINT id = QvApp().qafMessageId;
  return id != 0 ? id : RegisterWindowMessageA(kQafMessageName);
}

// Sentivo edition, user logged on: the suite's message window is told that a verification
// runs (wParam 0) and that it ended (wParam 1). The messages are posted, never waited for.
// Without the window the verification runs all the same.
DWORD VerifyTellingTheSuite(CUserData& userData, UserIdentity& identity, const char* title,
                            const char* prompt, DWORD* outWord) {
  const HWND window = FindWindowA(kSuiteMessageWindowClass, kSuiteMessageWindowTitle);
  const UINT message = window != nullptr ? QafMessageId() : 0;
  if (window != nullptr) (void)PostMessageA(window, message, 0, 0);
  const DWORD result = userData.VerifyUser(&identity, kVerifyMode, title, prompt, outWord);
  if (window != nullptr) (void)PostMessageA(window, message, 1, 0);
  return result;
}

// The backup warning until the user ticks "Do not show this warning again"; the answer is
// kept per user as setting 5/13.
void ShowBackupWarningUnlessSuppressed(CUserData& userData, const UserIdentity& identity) {
  SettingRecord setting{};
  userData.InitSettingRecord(&setting);
  setting.category = kSettingCategoryUser;
  setting.id = kSettingBackupWarningSuppressed;
  const bool suppressed = userData.ReadSetting(identity.userId, &setting, 0) &&
                          setting.value != nullptr && std::atoi(setting.value) != 0;
  userData.ReleaseSettingRecord(&setting);
  if (suppressed) return;

  CWarnDlg warning(nullptr);
  (void)warning.DoModal();
  if (warning.m_doNotShowAgain == 0) return;
  userData.InitSettingRecord(&setting);
  setting.category = kSettingCategoryUser;
  setting.id = kSettingBackupWarningSuppressed;
  char suppressedText[] = "1";
  setting.value = suppressedText;
  (void)userData.WriteSetting(identity.userId, &setting, 0);
  setting.value = nullptr;
  userData.ReleaseSettingRecord(&setting);
}

// The account name of the user running this process, "<domain>\<user>" with "." for this
// computer: the user-data object fills it into a fresh identity whether or not the suite
// knows the account.
std::string CurrentAccountName(CUserData& userData) {
  UserIdentity current{};
  (void)userData.InitUserIdentity(&current);
  std::string account = current.userName != nullptr ? current.userName : "";
  userData.ReleaseUserIdentity(&current);
  return account;
}

}  // namespace

bool EnsureDefaultKey(CUserData& userData, UserIdentity& identity) {
  KeyRecord record{};
  userData.InitKeyRecord(&record);
  record.type = kKeyTypeUser;
  if (userData.ReadKey(identity.userId, &record, 0)) {
    userData.ReleaseKeyRecord(&record);
    return true;
  }
  userData.ReleaseKeyRecord(&record);
  userData.InitKeyRecord(&record);
  record.type = kKeyTypeUser;

  GUID guid{};
  if (FAILED(CoCreateGuid(&guid))) {
    userData.ReleaseKeyRecord(&record);
    return false;
  }
  std::string name = FormatGuid(guid);
  DWORD length = 0;
  BYTE* blob = nullptr;
  if (!CreatePKISettings(name.c_str(), &length, &blob) || blob == nullptr) {
    userData.ReleaseKeyRecord(&record);
    return false;
  }
  std::string label = kDefaultKeyLabel;
  record.keyName = name.data();
  record.keyLabel = label.data();
  record.blob = blob;
  record.blobLength = length;
  bool done = false;
  if (userData.StoreKey(identity.userId, &record, 0)) {
    const DWORD savedMode = userData.ModeWord;
    userData.ModeWord = kModeKeyOperation;
    // Non-zero: the user-data library wants the new key made the default, and the gate
    // does not pass this time; 0: the key is in place.
    if (userData.RegisterNewKey(&identity, 0, 0)) {
      (void)userData.MakeDefaultKey(identity.userId, &record);
    } else {
      done = true;
    }
    userData.ModeWord = savedMode;
  }
  record.keyName = nullptr;
  record.keyLabel = nullptr;
  record.blob = nullptr;
  record.blobLength = 0;
  userData.ReleaseKeyRecord(&record);
  SecureZeroMemory(blob, length);
  CoTaskMemFree(blob);
  return done;
}

int VerifyUserGate(UserIdentity& identity, const char* title, const char* prompt,
                   BOOL showBackupWarning, BOOL skipEnrollment) {
  CUserData* userData = QvApp().userData;
  if (userData == nullptr) return 0;
  const bool sentivo = userData->EditionCode == EDITION_SENTIVO;
  const bool offerEnrollment = ShowQvenrollIfUserNotEnrolled() != 0 && !skipEnrollment;

  for (;;) {
    DWORD outWord = kVerifyOutAnswered;
    DWORD result = 0;
    if (!userData->IsUserLoggedOn(&identity)) {
      if (offerEnrollment) {
        // The look-up fills the identity when the suite knows the account.
        const std::string account = CurrentAccountName(*userData);
        if (!userData->LookUpUserByName(account.c_str(), &identity, 1, 1, 1)) {
          LaunchEnrollment(sentivo);
          return 0;
        }
      }
      result = userData->LogOnAndVerifyUser(&identity, kVerifyMode, title, prompt, &outWord);
    } else if (sentivo) {
      result = VerifyTellingTheSuite(*userData, identity, title, prompt, &outWord);
    } else {
      result = userData->VerifyUser(&identity, kVerifyMode, title, prompt, &outWord);
    }

    switch (result) {
      case kVerifyPassed:
        if (sentivo) {
          showBackupWarning = FALSE;
          if (!EnsureDefaultKey(*userData, identity)) return 0;
        }
        if (showBackupWarning) ShowBackupWarningUnlessSuppressed(*userData, identity);
        return 1;
      case kVerifyNotValidated: {
        // A cancelled prompt is not a wrong password: there is nothing to tell the user.
        if (outWord == kVerifyOutCancelled) return 0;
        CBadPassword notice(1, nullptr);
        (void)notice.DoModal();
        // Asking again only helps when the user answered: a prompt that could not be shown
        // at all would come back the same way for ever.
        if (outWord == kVerifyOutNoInput) return 0;
        userData->ReleaseUserIdentity(&identity);
        (void)userData->InitUserIdentity(&identity);
        break;
      }
      case kVerifyDevicesMissing: {
        CBadPassword notice(0, nullptr);
        (void)notice.DoModal();
        return 0;
      }
      case kVerifyBusy:
        (void)MessageBoxA(nullptr, LoadStringText(IDS_DEVICE_BUSY).c_str(), title,
                          MB_OK | MB_ICONERROR);
        return 0;
      default:
        return 0;
    }
  }
}
