// The verification gate against the real user store and authentication driver, with the
// headless user answering the password prompt: the enrollment offer (a real program launched
// from the install folder named in the hive), retries after a wrong password, Cancel, missing
// devices, a busy verification, the backup warning, the Sentivo default key, the messages to
// the suite's message window, and the owner-key check before decrypt-and-open.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/DialogResources.h"
#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "base/Settings.h"
#include "base/StringTable.h"
#include "base/SuiteServices.h"
#include "engine/OwnerKeyCheck.h"
#include "engine/VerifyUserGate.h"
#include "platform/Guid.h"
#include "platform/Kernel.h"
#include "platform/MessageBox.h"
#include "platform/Ole.h"
#include "platform/Window.h"
#include "platform/ui/Backend.h"
#include "suite/QvFsApi.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/KeyFile.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "suite/qvverify/PasswordSource.h"
#include "suite/qvverify/Verification.h"
#include "tests/common/HeadlessUi.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"
#include "util/RegKey.h"

namespace {

constexpr const char* kMe = "me";
constexpr const char* kPassword = "right pw";
constexpr const char* kTitle = "Gate Title";
constexpr const char* kPrompt = "Gate prompt";
constexpr UINT kCredentialsText = 165;
constexpr UINT kDevicesText = 166;

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return lines;
  const std::string text = ReadTextFile(path);
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

class VerifyUserGateTest : public RootedTest {
 protected:
  void SetUp() override {
    unsetenv(kPasswordFileVariable);
    QvLogOff();
    QvApp().InitInstance();
    ASSERT_EQ(QvUserStore().Open(), QvStoreStatus::Ok);  // the store an enrollment makes
    store_ = QvSharedUserStore();
    ASSERT_NE(store_, nullptr);
    // The install folder holds stand-ins for the suite's programs that note their launch.
    suiteDir_ = root_.Sub("suite");
    marker_ = root_.Sub("launched");
    std::filesystem::create_directories(suiteDir_);
    for (const char* name : {"qvenroll", "qvclient"}) {
      const std::string path = suiteDir_ + "/" + name;
      WriteTextFile(path, "#!/bin/sh\necho \"$(basename \"$0\")\" >> '" + marker_ + "'\n");
      ASSERT_EQ(chmod(path.c_str(), 0700), 0);
    }
    ASSERT_EQ(key_.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(key_.SetStringValue("InstallDir", (suiteDir_ + "/").c_str()), ERROR_SUCCESS);
  }
  void TearDown() override {
    StopSuiteServices();
    QvApp().ExitInstance();
    QvLogOff();
  }

  void Start(DWORD edition) {
    // Stopping the services closes the shared store: take it again each time.
    StopSuiteServices();
    store_ = QvSharedUserStore();
    ASSERT_NE(store_, nullptr);
    ASSERT_EQ(store_->SetEdition(edition), QvStoreStatus::Ok);
    ASSERT_EQ(StartSuiteServices(), 1);
    store_ = QvSharedUserStore();
    ASSERT_NE(store_, nullptr);
    userData_ = QvApp().userData;
    ASSERT_EQ(userData_->EditionCode, edition);
  }

  // The account running the test, enrolled as "me".
  void EnrollMe(bool withPassword, bool withKey) {
    QvKey key;
    if (withKey) key = qvtest::LibraryKey(kMe);
    ASSERT_EQ(
        store_->Enroll({kMe, QvCurrentAccount().userName, "Me", QvAccountType::Computer},
                       withPassword ? std::optional<std::string_view>(kPassword) : std::nullopt,
                       withKey ? &key : nullptr),
        QvStoreStatus::Ok);
  }

  int Gate(BOOL showBackupWarning, BOOL skipEnrollment = FALSE) {
    UserIdentity identity{};
    (void)userData_->InitUserIdentity(&identity);
    const int result = VerifyUserGate(identity, kTitle, kPrompt, showBackupWarning, skipEnrollment);
    userData_->ReleaseUserIdentity(&identity);
    return result;
  }

  void AnswerPassword(const std::string& password) {
    ui_.TypeAndPress(kPasswordDialogId, kPasswordEditId, password, IDOK);
  }

  std::string BadPasswordText(const HeadlessBackend::ClosedDialog& dialog) const {
    const ControlState* text = dialog.state.Control(IDC_BAD_PASSWORD_TEXT);
    return text != nullptr ? text->text : "(no text)";
  }

  std::string Setting513() {
    SettingRecord record{};
    userData_->InitSettingRecord(&record);
    record.category = kSettingCategoryUser;
    record.id = kSettingBackupWarningSuppressed;
    std::string value = "(missing)";
    if (userData_->ReadSetting(kMe, &record, 0)) value = record.value;
    userData_->ReleaseSettingRecord(&record);
    return value;
  }

  // Waits until `count` launches are noted, or 20 s.
  std::vector<std::string> WaitForLaunches(size_t count) {
    for (int i = 0; i < 2000 && Lines(marker_).size() < count; ++i) Sleep(10);
    return Lines(marker_);
  }

  HeadlessUi ui_;
  QvUserStore* store_ = nullptr;
  CUserData* userData_ = nullptr;
  CRegKey key_;
  std::string suiteDir_, marker_;
};

TEST_F(VerifyUserGateTest, UnknownUserGetsTheEditionsEnrollmentProgramUnlessTheOfferIsOff) {
  const struct {
    DWORD edition;
    const char* program;
  } editions[] = {{kEditionStandard, "qvenroll"}, {EDITION_SENTIVO, "qvclient"}};
  std::vector<std::string> expected;
  for (const auto& edition : editions) {
    SCOPED_TRACE(edition.program);
    Start(edition.edition);
    // Offer off, by the setting or by the caller: the log-on verification runs, finds nobody
    // to verify and tells that the credentials could not be validated (once: asking again
    // would not make the user known).
    ASSERT_EQ(key_.SetDWORDValue("showQvenrollIfUserNotEnrolled", 0), ERROR_SUCCESS);
    ui_.PressButton(IDD_BAD_PASSWORD, IDOK);
    EXPECT_EQ(Gate(TRUE), 0);
    ASSERT_EQ(key_.SetDWORDValue("showQvenrollIfUserNotEnrolled", 1), ERROR_SUCCESS);
    ui_.PressButton(IDD_BAD_PASSWORD, IDOK);
    EXPECT_EQ(Gate(TRUE, TRUE), 0);
    for (const auto& dialog : ui_.Closed(IDD_BAD_PASSWORD))
      EXPECT_EQ(BadPasswordText(dialog), LoadStringText(kCredentialsText));

    // Offer on (stored 1, or missing): the program is launched and the gate refuses.
    EXPECT_EQ(Gate(TRUE), 0);
    expected.push_back(edition.program);
    EXPECT_EQ(WaitForLaunches(expected.size()), expected);
    ASSERT_EQ(key_.DeleteValue("showQvenrollIfUserNotEnrolled"), ERROR_SUCCESS);
    EXPECT_EQ(Gate(FALSE), 0);
    expected.push_back(edition.program);
    EXPECT_EQ(WaitForLaunches(expected.size()), expected);
  }
  // Nothing else was launched, not even late.
  Sleep(200);
  EXPECT_EQ(Lines(marker_), expected);
  EXPECT_TRUE(ui_.Closed(kPasswordDialogId).empty());
  EXPECT_EQ(ui_.Closed(IDD_BAD_PASSWORD).size(), 4u);
}

TEST_F(VerifyUserGateTest, WrongPasswordIsToldAndAskedAgainUntilRight) {
  Start(kEditionStandard);
  EnrollMe(true, true);
  AnswerPassword("wrong pw");
  ui_.PressButton(IDD_BAD_PASSWORD, IDOK);
  AnswerPassword(kPassword);
  EXPECT_EQ(Gate(FALSE), 1);
  const auto notices = ui_.Closed(IDD_BAD_PASSWORD);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(BadPasswordText(notices[0]), LoadStringText(kCredentialsText));
  const auto prompts = ui_.Closed(kPasswordDialogId);
  ASSERT_EQ(prompts.size(), 2u);
  EXPECT_EQ(prompts[1].state.caption, kTitle);
  EXPECT_NE(prompts[1].state.Texts().find(kPrompt), std::string::npos);

  // Logged on now: the next gate verifies the user again, and a wrong answer is retried the
  // same way.
  UserIdentity identity{};
  (void)userData_->InitUserIdentity(&identity);
  EXPECT_TRUE(userData_->IsUserLoggedOn(&identity));
  userData_->ReleaseUserIdentity(&identity);
  AnswerPassword("still wrong");
  ui_.PressButton(IDD_BAD_PASSWORD, IDOK);
  AnswerPassword(kPassword);
  EXPECT_EQ(Gate(FALSE), 1);
  EXPECT_EQ(ui_.Closed(IDD_BAD_PASSWORD).size(), 2u);
  EXPECT_EQ(ui_.Closed(kPasswordDialogId).size(), 4u);
}

TEST_F(VerifyUserGateTest, CancelAndUnobtainablePasswordsEndTheGateInsteadOfAskingForEver) {
  Start(kEditionStandard);
  EnrollMe(true, true);
  // A cancel is not a wrong password: the gate ends without a notice.
  ui_.PressButton(kPasswordDialogId, IDCANCEL);
  EXPECT_EQ(Gate(TRUE), 0);
  EXPECT_EQ(ui_.Closed(kPasswordDialogId).size(), 1u);
  EXPECT_TRUE(ui_.Closed(IDD_BAD_PASSWORD).empty());

  // A password file repeating a refused password: refused once, then nothing new can be
  // obtained and the gate stops after telling the credentials were not validated again.
  const std::string file = root_.Sub("password");
  WriteTextFile(file, "wrong pw\n");
  ASSERT_EQ(chmod(file.c_str(), 0600), 0);
  setenv(kPasswordFileVariable, file.c_str(), 1);
  ui_.PressButton(IDD_BAD_PASSWORD, IDOK);
  ui_.PressButton(IDD_BAD_PASSWORD, IDOK);
  EXPECT_EQ(Gate(FALSE), 0);
  const auto notices = ui_.Closed(IDD_BAD_PASSWORD);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(BadPasswordText(notices[0]), LoadStringText(kCredentialsText));
  EXPECT_EQ(BadPasswordText(notices[1]), LoadStringText(kCredentialsText));
  EXPECT_EQ(ui_.Closed(kPasswordDialogId).size(), 1u);

  // Nobody can be asked now (a password file others may read): the device is not ready,
  // shown once under the title, and the gate ends.
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  ui_.AnswerMessageBox(IDOK, "Authentication device");
  EXPECT_EQ(Gate(FALSE), 0);
  unsetenv(kPasswordFileVariable);
  const auto boxes = ui_.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, LoadStringText(IDS_DEVICE_BUSY));
  EXPECT_EQ(boxes[0].caption, kTitle);
  EXPECT_EQ(ui_.Closed(IDD_BAD_PASSWORD).size(), 2u);
  EXPECT_EQ(ui_.Closed(kPasswordDialogId).size(), 1u);
}

TEST_F(VerifyUserGateTest, UserWithoutPasswordGetsTheMissingDevicesNotice) {
  for (DWORD edition : {kEditionStandard, EDITION_SENTIVO}) {
    SCOPED_TRACE(edition);
    Start(edition);
    if (edition == kEditionStandard) EnrollMe(false, false);
    ui_.PressButton(IDD_BAD_PASSWORD, IDOK);
    EXPECT_EQ(Gate(TRUE), 0);
    ASSERT_FALSE(ui_.Closed(IDD_BAD_PASSWORD).empty());
    EXPECT_EQ(BadPasswordText(ui_.Closed(IDD_BAD_PASSWORD).back()), LoadStringText(kDevicesText));
  }
  EXPECT_EQ(ui_.Closed(IDD_BAD_PASSWORD).size(), 2u);
  EXPECT_TRUE(ui_.Closed(kPasswordDialogId).empty());
}

TEST_F(VerifyUserGateTest, BusyVerificationShowsTheDeviceMessageUnderTheTitle) {
  Start(kEditionStandard);
  EnrollMe(true, true);
  // Another verification of the user holds the user's lock.
  std::promise<bool> held;
  std::promise<void> release;
  std::thread holder([&] {
    HANDLE lock = CreateMutexA(nullptr, TRUE, QvVerificationLockName(kMe).c_str());
    held.set_value(lock != nullptr);
    release.get_future().wait();
    if (lock != nullptr) {
      (void)ReleaseMutex(lock);
      CloseHandle(lock);
    }
  });
  ASSERT_TRUE(held.get_future().get());
  ui_.AnswerMessageBox(IDOK, "Authentication device");
  const int busy = Gate(TRUE);
  release.set_value();
  holder.join();
  EXPECT_EQ(busy, 0);
  const auto boxes = ui_.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, LoadStringText(IDS_DEVICE_BUSY));
  EXPECT_EQ(boxes[0].caption, kTitle);
  EXPECT_EQ(boxes[0].type & MB_ICONERROR, MB_ICONERROR);
  EXPECT_TRUE(ui_.Closed(kPasswordDialogId).empty());

  // Released: the user is verified again.
  AnswerPassword(kPassword);
  EXPECT_EQ(Gate(FALSE), 1);
}

TEST_F(VerifyUserGateTest, BackupWarningShowsForEncryptionUntilTicked) {
  Start(kEditionStandard);
  EnrollMe(true, true);
  // Decryption never shows it.
  AnswerPassword(kPassword);
  EXPECT_EQ(Gate(FALSE), 1);
  EXPECT_TRUE(ui_.Closed(IDD_BACKUP_WARNING).empty());

  // Stored "0" counts as not suppressed; OK without the box keeps it coming.
  SettingRecord record{};
  userData_->InitSettingRecord(&record);
  record.category = kSettingCategoryUser;
  record.id = kSettingBackupWarningSuppressed;
  char zero[] = "0";
  record.value = zero;
  ASSERT_TRUE(userData_->WriteSetting(kMe, &record, 0));
  record.value = nullptr;
  userData_->ReleaseSettingRecord(&record);
  AnswerPassword(kPassword);
  ui_.PressButton(IDD_BACKUP_WARNING, IDOK);
  EXPECT_EQ(Gate(TRUE), 1);
  EXPECT_EQ(Setting513(), "0");

  AnswerPassword(kPassword);
  ui_.TickAndPress(IDD_BACKUP_WARNING, IDC_WARNING_DONT_SHOW, IDOK);
  EXPECT_EQ(Gate(TRUE), 1);
  EXPECT_EQ(Setting513(), "1");

  AnswerPassword(kPassword);
  EXPECT_EQ(Gate(TRUE), 1);
  EXPECT_EQ(ui_.Closed(IDD_BACKUP_WARNING).size(), 2u);
  EXPECT_EQ(ui_.Closed(kPasswordDialogId).size(), 4u);
}

TEST_F(VerifyUserGateTest, SentivoMakesTheDefaultKeyOnceAndNeverWarns) {
  ASSERT_EQ(store_->SetEdition(EDITION_SENTIVO), QvStoreStatus::Ok);
  EnrollMe(true, false);
  Start(EDITION_SENTIVO);
  const DWORD mode = userData_->ModeWord;
  AnswerPassword(kPassword);
  EXPECT_EQ(Gate(TRUE), 1);
  QvUserInfo info;
  ASSERT_EQ(store_->FindUserById(kMe, &info), QvStoreStatus::Ok);
  EXPECT_EQ(info.keyCount, 1);
  EXPECT_TRUE(ParseGuid(info.defaultKey).has_value()) << info.defaultKey;
  EXPECT_EQ(userData_->ModeWord, mode);
  KeyRecord key{};
  userData_->InitKeyRecord(&key);
  ASSERT_TRUE(userData_->ReadKey(kMe, &key, 0));
  EXPECT_EQ(std::string(key.keyName), info.defaultKey);
  EXPECT_EQ(std::string(key.keyLabel), "DefaultKey");
  userData_->ReleaseKeyRecord(&key);

  // Logged on now, no message window: verified all the same; the key stays the one made.
  AnswerPassword(kPassword);
  EXPECT_EQ(Gate(TRUE), 1);
  QvUserInfo again;
  ASSERT_EQ(store_->FindUserById(kMe, &again), QvStoreStatus::Ok);
  EXPECT_EQ(again.keyCount, 1);
  EXPECT_EQ(again.defaultKey, info.defaultKey);
  EXPECT_TRUE(ui_.Closed(IDD_BACKUP_WARNING).empty());
}

TEST_F(VerifyUserGateTest, SentivoTellsTheMessageWindowBeforeAndAfterTheVerification) {
  ASSERT_EQ(store_->SetEdition(EDITION_SENTIVO), QvStoreStatus::Ok);
  EnrollMe(true, true);
  Start(EDITION_SENTIVO);
  ASSERT_EQ(QvLogOnUser(kMe, kPassword), QvLogOnResult::Passed);
  const HWND window = CreateMessageWindow(kSuiteMessageWindowClass, kSuiteMessageWindowTitle);
  ASSERT_NE(window, nullptr);
  const UINT qaf = QvApp().qafMessageId;
  ASSERT_NE(qaf, 0u);

  // The prompt stays open until the test ends it: "before" has arrived by then, "after" not.
  ui_.LetRun(kPasswordDialogId);
  int result = -1;
  std::thread gate([&] { result = Gate(FALSE); });
  MSG msg{};
  ASSERT_TRUE(ReceiveWindowMessage(window, &msg, 20000));
  EXPECT_EQ(msg.message, qaf);
  EXPECT_EQ(msg.wParam, 0u);
  EXPECT_EQ(msg.lParam, 0);
  HWND prompt = nullptr;
  for (int i = 0; i < 2000 && prompt == nullptr; ++i) {
    for (HWND open : OpenDialogs()) {
      DialogState state;
      if (SnapshotDialog(open, &state) && state.templateId == kPasswordDialogId) prompt = open;
    }
    if (prompt == nullptr) Sleep(10);
  }
  EXPECT_FALSE(ReceiveWindowMessage(window, &msg, 0));
  EXPECT_NE(prompt, nullptr);
  if (prompt != nullptr) {
    EXPECT_TRUE(EndModalDialog(prompt, IDCANCEL));
  }
  gate.join();
  EXPECT_EQ(result, 0);
  ASSERT_TRUE(ReceiveWindowMessage(window, &msg, 20000));
  EXPECT_EQ(msg.message, qaf);
  EXPECT_EQ(msg.wParam, 1u);

  AnswerPassword(kPassword);
  EXPECT_EQ(Gate(TRUE), 1);
  for (WPARAM expected : {WPARAM{0}, WPARAM{1}}) {
    ASSERT_TRUE(ReceiveWindowMessage(window, &msg, 20000));
    EXPECT_EQ(msg.message, qaf);
    EXPECT_EQ(msg.wParam, expected);
  }
  EXPECT_FALSE(ReceiveWindowMessage(window, &msg, 0));
  EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(VerifyUserGateTest, OwnerKeyMissingOffersTheOlderKeyFile) {
  ASSERT_EQ(store_->SetEdition(EDITION_SENTIVO), QvStoreStatus::Ok);
  EnrollMe(true, true);
  Start(EDITION_SENTIVO);
  ASSERT_EQ(QvLogOnUser(kMe, kPassword), QvLogOnResult::Passed);

  // A file and a container made with a key of an earlier installation, which exported it.
  qvtest::OlderKey key;
  ASSERT_NO_FATAL_FAILURE(qvtest::MakeOlderKey(kMe, "file pw", &key));
  const std::string& older = key.name;
  QVData data{};
  const std::string plain = root_.Sub("report.txt");
  const std::string encrypted = plain + ".qvf";
  WriteTextFile(plain, "quarterly figures");
  data.sourcePath = plain.c_str();
  data.destinationPath = encrypted.c_str();
  data.keyName = older.c_str();
  data.keyName2 = older.c_str();
  data.keyBlob = key.blob.data();
  data.keyBlobLength = static_cast<DWORD>(key.blob.size());
  data.credentials = key.credentials;
  data.credentialsLength = key.credentialsLength;
  data.algorithm.algorithmId = kDefaultAlgorithmId;
  ASSERT_EQ(QVFSEncryptFile(&data), 0u);
  const std::string& keyFile = key.keyFile;

  auto holdsOlderKey = [&] {
    KeyRecord record{};
    userData_->InitKeyRecord(&record);
    std::string name = older;
    record.keyName = name.data();
    const bool held = userData_->ReadKey(kMe, &record, 0) != FALSE;
    if (record.keyName == name.data()) record.keyName = nullptr;
    userData_->ReleaseKeyRecord(&record);
    return held;
  };

  // Cancel: nothing imported, the owner's identity is the key name all the same.
  const DWORD mode = userData_->ModeWord;
  ui_.AnswerMessageBox(IDCANCEL, "old encryption key");
  EXPECT_EQ(OwnerKeyCheckFile(kMe, encrypted.c_str()), older);
  EXPECT_FALSE(holdsOlderKey());
  EXPECT_EQ(userData_->ModeWord, mode);
  auto boxes = ui_.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  char expected[kStringBufferSize];
  std::snprintf(expected, sizeof expected, LoadStringText(IDS_OLDER_KEY).c_str(), keyFile.c_str());
  EXPECT_EQ(boxes[0].text, expected);
  EXPECT_NE(boxes[0].text.find("exported \nto a file named " + keyFile + "."), std::string::npos);
  EXPECT_EQ(boxes[0].caption, "Decrypting");
  EXPECT_EQ(boxes[0].type & 0xF, MB_OKCANCEL);

  // OK: the older key is imported from its file for this user.
  ui_.AnswerMessageBox(IDOK, "old encryption key");
  ui_.TypeAndPress(kPasswordDialogId, kPasswordEditId, "file pw", IDOK);
  EXPECT_EQ(OwnerKeyCheckFolder(kMe, key.header.data(), key.headerLength), older);
  EXPECT_TRUE(holdsOlderKey());
  EXPECT_EQ(userData_->ModeWord, kModeKeyImported);

  // Held now: no question for the file either.
  EXPECT_EQ(OwnerKeyCheckFile(kMe, encrypted.c_str()), older);
  EXPECT_EQ(ui_.MessageBoxes().size(), 2u);

  // Not an encrypted file, or the other edition: nothing to check.
  EXPECT_EQ(OwnerKeyCheckFile(kMe, plain.c_str()), "");
  EXPECT_EQ(OwnerKeyCheckText(kMe, "no closing brace"), "");
  Start(kEditionStandard);
  EXPECT_EQ(OwnerKeyCheckFile(kMe, encrypted.c_str()), "");
  EXPECT_EQ(ui_.MessageBoxes().size(), 2u);
}

}  // namespace

namespace {

TEST(OlderKeyMessageTest, TheKeyFileNameIsPutInAsItStandsNeverReadAsAFormat) {
  const std::string name = "%s%n%x {odd}.qvkey";
  const std::string text = OlderKeyMessage(name);
  const std::string format = LoadStringText(IDS_OLDER_KEY);
  const size_t slot = format.find("%s");
  ASSERT_NE(slot, std::string::npos);
  EXPECT_EQ(text, format.substr(0, slot) + name + format.substr(slot + 2));
}

}  // namespace
