// Verification through the authentication driver, with the password dialog answered by the
// headless user: the results 0, 1, 4 and 16, the secret that only a verified process reads,
// the session time-out, non-interactive password files, the gate's default-key step and the
// import of an older key.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Kernel.h"
#include "platform/ui/Backend.h"
#include "suite/QvDialogIds.h"
#include "suite/QvKeyBlob.h"
#include "suite/QvUserApi.h"
#include "suite/qvprofile/KeyFile.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "suite/qvverify/PasswordSource.h"
#include "suite/qvverify/Verification.h"
#include "tests/common/HeadlessUi.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using namespace qvtest;

std::vector<HeadlessBackend::Step> TypedAnswer(const char* password, int button) {
  return {{HeadlessBackend::Step::Kind::Type, kPasswordEditId, password},
          {HeadlessBackend::Step::Kind::Press, button, ""}};
}

struct Outcome {
  DWORD result;
  DWORD word;
};

class VerifyTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    unsetenv(kPasswordFileVariable);
    QvLogOff();
    ASSERT_EQ(store_.Open(), QvStoreStatus::Ok);
    aliceKey_ = {"alice", "DefaultKey", kKeyTypeUser, NewKeyBlob(true), false, false};
    ASSERT_EQ(store_.Enroll({"alice", ".\\alice", "Alice", QvAccountType::Computer}, "right pw",
                            &aliceKey_),
              QvStoreStatus::Ok);
    ASSERT_EQ(store_.Enroll({"bob", ".\\bob", "Bob", QvAccountType::Computer}, "bobs pw", nullptr),
              QvStoreStatus::Ok);
    ASSERT_EQ(
        store_.Enroll({"carol", "carol", "Carol", QvAccountType::Suite}, std::nullopt, nullptr),
        QvStoreStatus::Ok);
    ASSERT_EQ(InitAuthDriver(GetModuleHandleA("qvverify.dll")), 0u);
    ASSERT_EQ(GetUserDataPtr(&userData_), 0u);
    userData_->ModeWord = 0;
  }
  void TearDown() override {
    CloseAuthDriver();
    unsetenv(kPasswordFileVariable);
  }

  Outcome Verify(const char* userId, bool logOn = false) {
    std::string id = userId;
    UserIdentity identity{};
    identity.userId = id.data();
    DWORD word = 99;
    const DWORD result =
        logOn ? userData_->LogOnAndVerifyUser(&identity, 3, "Verify Title", "Verify prompt", &word)
              : userData_->VerifyUser(&identity, 3, "Verify Title", "Verify prompt", &word);
    userData_->ReleaseUserIdentity(&identity);
    return {result, word};
  }

  // Verifies with the password dialog answered by typing `password` and pressing OK.
  Outcome VerifyTyping(const char* password, const char* userId, bool logOn = false) {
    ui_.TypeAndPress(kPasswordDialogId, kPasswordEditId, password, IDOK);
    return Verify(userId, logOn);
  }

  void StoreBobsPublicKey() {
    ASSERT_EQ(
        store_.StoreKey("bob", {"bob", "DefaultKey", kKeyTypeUser, NewKeyBlob(false), false, false},
                        UnlockedMasterKey(store_, "bob", "bobs pw").get()),
        QvStoreStatus::Ok);
  }

  bool LoggedOn(const char* userId) {
    std::string id = userId;
    UserIdentity identity{};
    identity.userId = id.data();
    return userData_->IsUserLoggedOn(&identity) != FALSE;
  }

  // A key of the user as the extension reads it: its share key when `share`, else the key named
  // `keyName` (the default when empty). None when it is not handed out, else whether it carries
  // the secret, its bytes in `blob`.
  std::optional<bool> Key(const char* userId, bool share = false,
                          std::vector<std::uint8_t>* blob = nullptr, std::string keyName = {}) {
    std::optional<bool> hasSecret;
    const auto take = [&](const auto& record, BOOL found) {
      bool secret = false;
      if (!found) return;
      EXPECT_TRUE(IsKeyBlob(record.blob, record.blobLength, &secret));
      hasSecret = secret;
      if (blob != nullptr) blob->assign(record.blob, record.blob + record.blobLength);
    };
    if (share) {
      ShareKeyRecord record{};
      userData_->InitShareKeyRecord(&record);
      take(record, userData_->ReadShareKey(userId, &record, 0));
      userData_->ReleaseShareKeyRecord(&record);
    } else {
      KeyRecord record{};
      userData_->InitKeyRecord(&record);
      if (!keyName.empty()) record.keyName = keyName.data();
      take(record, userData_->ReadKey(userId, &record, 0));
      userData_->ReleaseKeyRecord(&record);
    }
    return hasSecret;
  }
  // The user's default key as the extension reads it: true when it carries the secret.
  bool ReadsSecret(const char* userId, std::vector<std::uint8_t>* blob = nullptr) {
    return Key(userId, false, blob).value_or(false);
  }

  void UsePasswordFile(const std::string& content, mode_t mode = 0600) {
    const std::string path = root_.Sub("password");
    WriteTextFile(path, content);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    setenv(kPasswordFileVariable, path.c_str(), 1);
  }

  HeadlessUi ui_;
  QvUserStore store_;
  QvKey aliceKey_;
  CUserData* userData_ = nullptr;
};

TEST_F(VerifyTest, RightPasswordPassesAndUnlocksTheSecretOfThatUserOnly) {
  EXPECT_FALSE(LoggedOn("alice"));
  EXPECT_FALSE(ReadsSecret("alice"));

  const Outcome outcome = VerifyTyping("right pw", "alice");
  EXPECT_EQ(outcome.result, kVerifyPassed);
  EXPECT_EQ(outcome.word, kVerifyOutAnswered);

  HeadlessBackend::ClosedDialog dialog;
  ASSERT_TRUE(ui_.LastClosed(kPasswordDialogId, &dialog));
  EXPECT_EQ(dialog.result, IDOK);
  EXPECT_EQ(dialog.state.caption, "Verify Title");
  const ControlState* prompt = dialog.state.Control(kPasswordPromptId);
  ASSERT_NE(prompt, nullptr);
  EXPECT_EQ(prompt->text, "Verify prompt");
  const ControlState* account = dialog.state.Control(kPasswordAccountId);
  ASSERT_NE(account, nullptr);
  EXPECT_EQ(account->text, "User: .\\alice");
  const ControlState* edit = dialog.state.Control(kPasswordEditId);
  ASSERT_NE(edit, nullptr);
  EXPECT_NE(edit->style & ES_PASSWORD, 0u);
  ASSERT_NE(dialog.state.Control(IDCANCEL), nullptr);

  EXPECT_TRUE(LoggedOn("alice"));
  EXPECT_FALSE(LoggedOn("bob"));
  std::vector<std::uint8_t> blob;
  EXPECT_TRUE(ReadsSecret("alice", &blob));
  EXPECT_EQ(blob, aliceKey_.blob);
  QvUserInfo info;
  ASSERT_EQ(store_.FindUserById("alice", &info), QvStoreStatus::Ok);
  EXPECT_GT(info.lastLogOnMs, 0);

  // Another user's key stays public, and verifying that user ends alice's session.
  StoreBobsPublicKey();
  EXPECT_FALSE(ReadsSecret("bob"));
  EXPECT_EQ(VerifyTyping("bobs pw", "bob", true).result, kVerifyPassed);
  EXPECT_TRUE(LoggedOn("bob"));
  EXPECT_FALSE(LoggedOn("alice"));
  EXPECT_FALSE(ReadsSecret("alice"));

  // The suite services stop after every operation: the session outlives the driver's stop
  // and start.
  EXPECT_EQ(VerifyTyping("right pw", "alice").result, kVerifyPassed);
  CloseAuthDriver();
  EXPECT_TRUE(LoggedOn("alice"));
  ASSERT_EQ(InitAuthDriver(GetModuleHandleA("qvverify.dll")), 0u);
  EXPECT_TRUE(LoggedOn("alice"));
  EXPECT_TRUE(ReadsSecret("alice"));
}

TEST_F(VerifyTest, WrongPasswordAndCancelAreNotValidated) {
  struct Case {
    const char* what;
    std::vector<HeadlessBackend::Step> steps;
    DWORD word;
  } cases[] = {
      {"wrong password", TypedAnswer("wrong pw", IDOK), kVerifyOutAnswered},
      {"empty password", {{HeadlessBackend::Step::Kind::Press, IDOK, ""}}, kVerifyOutAnswered},
      {"password in other case", TypedAnswer("RIGHT PW", IDOK), kVerifyOutAnswered},
      {"cancel", TypedAnswer("right pw", IDCANCEL), kVerifyOutCancelled},
      {"closed", {{HeadlessBackend::Step::Kind::Close, 0, ""}}, kVerifyOutCancelled},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ui_.Answer(kPasswordDialogId, c.steps);
    for (const bool logOn : {false, true}) {
      if (logOn) ui_.Answer(kPasswordDialogId, c.steps);
      const Outcome outcome = Verify("alice", logOn);
      EXPECT_EQ(outcome.result, kVerifyNotValidated);
      EXPECT_EQ(outcome.word, c.word);
      EXPECT_FALSE(LoggedOn("alice"));
      EXPECT_FALSE(ReadsSecret("alice"));
    }
  }
}

TEST_F(VerifyTest, UserWithoutPasswordOrUnknownIsNotAsked) {
  // No dialog is scripted: the headless user fails the test if one is shown. A user without
  // a password has no means to verify; an unknown user has no credentials to validate, and
  // asking again would not change that.
  const struct {
    const char* who;
    Outcome expected;
  } cases[] = {{"carol", {kVerifyDevicesMissing, kVerifyOutAnswered}},
               {"nobody", {kVerifyNotValidated, kVerifyOutNoInput}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.who);
    for (const bool logOn : {false, true}) {
      const Outcome outcome = Verify(c.who, logOn);
      EXPECT_EQ(outcome.result, c.expected.result);
      EXPECT_EQ(outcome.word, c.expected.word);
    }
  }
  EXPECT_TRUE(ui_.ClosedDialogs().empty());
}

TEST_F(VerifyTest, AnotherProcessVerifyingTheUserMakesItBusy) {
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const std::string lockName = QvVerificationLockName("alice");
  EXPECT_EQ(lockName, "QuorvinVerify-alice");
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HANDLE lock = CreateMutexA(nullptr, TRUE, lockName.c_str());
    char byte = lock != nullptr ? 'y' : 'n';
    if (write(ready[1], &byte, 1) != 1) _exit(90);
    if (read(release[0], &byte, 1) != 1) _exit(91);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');
  for (const char* who : {"alice", "ALICE"}) {
    const Outcome outcome = Verify(who);
    EXPECT_EQ(outcome.result, kVerifyBusy) << who;
  }
  // Bob's verification is not held up by alice's.
  EXPECT_EQ(VerifyTyping("bobs pw", "bob").result, kVerifyPassed);
  ASSERT_EQ(write(release[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
  // The process holding the lock has ended: the user can be verified again.
  EXPECT_EQ(VerifyTyping("right pw", "alice").result, kVerifyPassed);
}

TEST_F(VerifyTest, AnotherThreadVerifyingTheUserMakesItBusy) {
  ui_.LetRun(kPasswordDialogId);
  Outcome first{};
  std::thread verifier([&] { first = Verify("alice"); });
  HWND dialog = nullptr;
  for (int i = 0; i < 1000 && dialog == nullptr; ++i) {
    for (HWND open : OpenDialogs()) {
      DialogState state;
      if (SnapshotDialog(open, &state) && state.templateId == kPasswordDialogId) dialog = open;
    }
    if (dialog == nullptr) Sleep(10);
  }
  ASSERT_NE(dialog, nullptr) << "the first verification never showed its dialog";
  const Outcome second = Verify("alice");
  EXPECT_EQ(second.result, kVerifyBusy);
  EXPECT_TRUE(EndModalDialog(dialog, IDCANCEL));
  verifier.join();
  EXPECT_EQ(first.result, kVerifyNotValidated);
  EXPECT_EQ(first.word, kVerifyOutCancelled);
}

TEST_F(VerifyTest, SessionEndsAtItsTimeOutUnlessAnOperationHoldsTheKey) {
  // Long enough that a busy machine reads the secret right after a verification within it.
  constexpr DWORD kTimeOut = 1500;
  const auto alice = UnlockedMasterKey(store_, "alice", "right pw");
  ASSERT_EQ(store_.SetSessionTimeout("alice", kTimeOut, alice.get()), QvStoreStatus::Ok);
  StoreBobsPublicKey();

  // An operation reads the key at its start and holds it to its end: the time-out passing
  // meanwhile leaves the user logged on and the secrets readable.
  ASSERT_EQ(VerifyTyping("right pw", "alice", true).result, kVerifyPassed);
  EXPECT_EQ(userData_->GetUserSessionTimeOutVal(), kTimeOut);
  KeyRecord held{};
  userData_->InitKeyRecord(&held);
  ASSERT_TRUE(userData_->ReadKey("alice", &held, 0));
  Sleep(kTimeOut + 100);
  EXPECT_TRUE(LoggedOn("alice"));
  EXPECT_EQ(Key("alice", true), true);
  EXPECT_TRUE(ReadsSecret("alice"));
  // Released: the session has ended, and the user's keys are not found rather than handed
  // out without their secret; another user's public key still is.
  userData_->ReleaseKeyRecord(&held);
  EXPECT_FALSE(LoggedOn("alice"));
  EXPECT_EQ(Key("alice"), std::nullopt);
  EXPECT_EQ(Key("alice", true), std::nullopt);
  EXPECT_EQ(Key("bob", true), false);

  // Without a hold the time-out ends the session; verified again, the keys are back.
  ASSERT_EQ(VerifyTyping("right pw", "alice", true).result, kVerifyPassed);
  EXPECT_TRUE(ReadsSecret("alice"));
  Sleep(kTimeOut + 100);
  EXPECT_FALSE(LoggedOn("alice"));
  EXPECT_FALSE(ReadsSecret("alice"));

  // 0: the session lasts until the driver stops.
  ASSERT_EQ(store_.SetSessionTimeout("alice", 0, alice.get()), QvStoreStatus::Ok);
  ASSERT_EQ(VerifyTyping("right pw", "alice").result, kVerifyPassed);
  Sleep(20);
  EXPECT_TRUE(LoggedOn("alice"));
}

TEST_F(VerifyTest, PasswordFileAnswersWithoutADialogAndIsNeverRetriedInALoop) {
  UsePasswordFile("right pw\n");
  EXPECT_EQ(Verify("alice").result, kVerifyPassed);
  EXPECT_TRUE(LoggedOn("alice"));
  UsePasswordFile("bobs pw\r\nsecond line ignored\n");
  EXPECT_EQ(Verify("bob").result, kVerifyPassed);

  // A wrong password is refused once; the same answer again would only repeat the refusal,
  // so the caller's retry loop is stopped with "nothing more can be asked".
  QvLogOff();
  UsePasswordFile("wrong pw");
  Outcome outcome = Verify("alice");
  EXPECT_EQ(outcome.result, kVerifyNotValidated);
  EXPECT_EQ(outcome.word, kVerifyOutAnswered);
  outcome = Verify("alice");
  EXPECT_EQ(outcome.result, kVerifyNotValidated);
  EXPECT_EQ(outcome.word, kVerifyOutNoInput);
  // A corrected file is taken.
  UsePasswordFile("right pw");
  EXPECT_EQ(Verify("alice").result, kVerifyPassed);

  struct Case {
    const char* what;
    std::string content;
    mode_t mode;
  } unusable[] = {{"readable by others", "right pw", 0644},
                  {"readable by the group", "right pw", 0640},
                  {"empty", "", 0600},
                  {"empty first line", "\nright pw", 0600}};
  for (const Case& c : unusable) {
    SCOPED_TRACE(c.what);
    QvLogOff();
    UsePasswordFile(c.content, c.mode);
    // The source of answers is not ready: not the same as a user without any.
    outcome = Verify("alice");
    EXPECT_EQ(outcome.result, kVerifyBusy);
    EXPECT_EQ(outcome.word, kVerifyOutNoInput);
    EXPECT_FALSE(LoggedOn("alice"));
  }
  setenv(kPasswordFileVariable, root_.Sub("missing").c_str(), 1);
  EXPECT_EQ(Verify("alice").result, kVerifyBusy);
  const QvPasswordReply reply = QvAskPassword({"t", "p", "", false});
  EXPECT_EQ(reply.answer, QvPasswordAnswer::Unavailable);
  EXPECT_NE(reply.error.find("QV_PASSWORD_FILE"), std::string::npos) << reply.error;
  EXPECT_TRUE(ui_.ClosedDialogs().empty());
}

TEST_F(VerifyTest, GateDefaultKeyStepStoresASealedSecretForTheVerifiedUser) {
  // Dave has a password but no key, as a user of the Sentivo edition before the first
  // verification: the gate makes a key, stores it, and registers it.
  ASSERT_EQ(
      store_.Enroll({"dave", ".\\dave", "Dave", QvAccountType::Computer}, "daves pw", nullptr),
      QvStoreStatus::Ok);
  ASSERT_EQ(VerifyTyping("daves pw", "dave", true).result, kVerifyPassed);
  EXPECT_EQ(Key("dave"), std::nullopt);

  KeyRecord record{};
  userData_->InitKeyRecord(&record);
  std::string name = "{0A1B2C3D-1111-4222-8333-444455556666}";
  std::string label = "DefaultKey";
  std::vector<std::uint8_t> blob = NewKeyBlob(true);
  record.keyName = name.data();
  record.keyLabel = label.data();
  record.blob = blob.data();
  record.blobLength = kKeyBlobSize;
  ASSERT_TRUE(userData_->StoreKey("dave", &record, 0));
  const DWORD saved = userData_->ModeWord;
  userData_->ModeWord = kModeKeyOperation;
  std::string id = "dave";
  UserIdentity identity{};
  identity.userId = id.data();
  EXPECT_FALSE(userData_->RegisterNewKey(&identity, 0, 0));
  userData_->ModeWord = saved;
  userData_->ReleaseKeyRecord(&record);

  std::vector<std::uint8_t> read, share;
  EXPECT_TRUE(ReadsSecret("dave", &read));
  EXPECT_EQ(read, blob);
  // The verified user's own share key carries the secret (the acting user of a sharing change
  // needs it); another user's is public.
  EXPECT_EQ(Key("dave", true, &share), true);
  EXPECT_EQ(share, blob);
  EXPECT_EQ(Key("alice", true), false);
}

TEST_F(VerifyTest, ImportOlderKeyNeedsKeyModeVerificationAndTheFilePassword) {
  // An older installation exported alice's key under another name into the export folder.
  QvKeyFileContents older;
  older.userId = "alice";
  older.keyName = "{0A1B2C3D-1111-4222-8333-444455556666}";
  older.label = "DefaultKey";
  older.blob = NewKeyBlob(true);
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(QvEncodeKeyFile(older, "file pw", &bytes), QvStoreStatus::Ok);
  ASSERT_EQ(mkdir(QvExportFolder().c_str(), 0700), 0);
  const std::string path = QvExportFolder() + "/" + QvKeyFileName(older.keyName);
  ASSERT_EQ(QvWriteKeyFile(path, bytes, false, nullptr), QvStoreStatus::Ok);
  // A key file of another user lies beside it and is not offered.
  QvKeyFileContents bobs = older;
  bobs.userId = "bob";
  bobs.keyName = "bob";
  ASSERT_EQ(QvEncodeKeyFile(bobs, "file pw", &bytes), QvStoreStatus::Ok);
  ASSERT_EQ(QvWriteKeyFile(QvExportFolder() + "/bob.qvkey", bytes, false, nullptr),
            QvStoreStatus::Ok);

  // Not in key-operation mode, or not verified: refused without a prompt.
  EXPECT_EQ(userData_->ImportOlderKey("alice", 0, 0), static_cast<BOOL>(kImportNotAuthorized));
  userData_->ModeWord = kModeKeyOperation;
  EXPECT_EQ(userData_->ImportOlderKey("alice", 0, 0), static_cast<BOOL>(kImportNotAuthorized));

  ASSERT_EQ(VerifyTyping("right pw", "alice", true).result, kVerifyPassed);
  struct Case {
    const char* what;
    std::vector<HeadlessBackend::Step> steps;
    DWORD expected;
  } cases[] = {
      {"cancel", {{HeadlessBackend::Step::Kind::Press, IDCANCEL, ""}}, kImportCancelled},
      {"wrong password", TypedAnswer("right pw", IDOK), kImportWrongPassword},
      {"file password", TypedAnswer("file pw", IDOK), kImportDone},
      {"again",  // importing the same key twice is not an error
       TypedAnswer("file pw", IDOK), kImportDone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ui_.Answer(kPasswordDialogId, c.steps);
    EXPECT_EQ(userData_->ImportOlderKey("alice", 0, 0), static_cast<BOOL>(c.expected));
  }
  HeadlessBackend::ClosedDialog dialog;
  ASSERT_TRUE(ui_.LastClosed(kPasswordDialogId, &dialog));
  EXPECT_NE(dialog.state.Texts().find("0A1B2C3D-1111-4222-8333-444455556666.qvkey"),
            std::string::npos)
      << dialog.state.Texts();
  EXPECT_EQ(dialog.state.Texts().find("bob.qvkey"), std::string::npos);

  // The key is alice's now, with its secret, under the name the owner text gives it.
  std::vector<std::uint8_t> imported;
  EXPECT_EQ(Key("alice", false, &imported, older.keyName), true);
  EXPECT_EQ(imported, older.blob);
  DWORD mode = 0;
  ASSERT_EQ(store_.GetModeWord(&mode), QvStoreStatus::Ok);
  EXPECT_EQ(mode, kModeKeyImported);

  // Bob has no file of his own in the folder.
  ASSERT_EQ(VerifyTyping("bobs pw", "bob").result, kVerifyPassed);
  ASSERT_EQ(unlink((QvExportFolder() + "/bob.qvkey").c_str()), 0);
  EXPECT_EQ(userData_->ImportOlderKey("bob", 0, 0), static_cast<BOOL>(kImportNoKeyFile));
  userData_->ModeWord = 0;
}

}  // namespace
