// qvclient run as its own process: settings, session time-out and default key (changed only
// after a verification), the key listings with fingerprints, export and import of keys
// between two machine roots, the audit listing, `start` holding the suite-running mutex (and
// in the Sentivo edition the suite's message window) until `stop` or a signal, and `status`
// testing the mutex as the extension does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sodium.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/Window.h"
#include "suite/QvKeyBlob.h"
#include "suite/QvUserApi.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/KeyFile.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using namespace qvtest;

constexpr const char* kWindowClass = "Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386";

class ClientProgramTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    me_ = QvCurrentAccount();
    passwordFile_ = root_.Sub("password");
    SetPassword("client pw");
  }

  void SetPassword(const std::string& password) {
    WriteTextFile(passwordFile_, password + "\n");
    ASSERT_EQ(chmod(passwordFile_.c_str(), 0600), 0);
  }

  ProgramRun Client(const std::vector<std::string>& args) {
    return Program(root_, "qvclient", args, {{"QV_PASSWORD_FILE", passwordFile_}}).Wait();
  }

  // A password file of the test root (mode 0600) holding `password`.
  std::string PasswordFile(const std::string& name, const std::string& password) {
    const std::string path = root_.Sub(name);
    WriteTextFile(path, password + "\n");
    EXPECT_EQ(chmod(path.c_str(), 0600), 0);
    return path;
  }

  // Enrolls the current account in the store of the current machine root.
  QvKey EnrollMe(const std::string& keyName, const std::string& password) {
    QvUserStore store;
    EXPECT_EQ(store.Open(), QvStoreStatus::Ok);
    QvKey key{keyName, "DefaultKey", kKeyTypeUser, NewKeyBlob(), false, false};
    QvNewUser user{me_.suggestedUserId, me_.userName, me_.displayName, QvAccountType::Computer};
    EXPECT_EQ(store.Enroll(user, password, &key), QvStoreStatus::Ok) << store.LastError();
    return key;
  }

  QvAccount me_;
  std::string passwordFile_;
};

TEST_F(ClientProgramTest, SettingsAndSessionTimeOutRoundTrip) {
  // Nobody enrolled yet: there is no store, and none is made.
  ProgramRun run = Client({"settings", "get", "5", "13"});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("; run qvenroll first"), std::string::npos) << run.err;
  EXPECT_NE(access(QvUserStore::DefaultPath().c_str(), F_OK), 0);
  EnrollMe(me_.suggestedUserId, "client pw");

  EXPECT_EQ(Client({"settings", "get", "5", "13"}).code, 3);
  ASSERT_EQ(Client({"settings", "set", "5", "24", "bob:carol:"}).code, 0);
  ASSERT_EQ(Client({"settings", "set", "5", "13", "1"}).code, 0);
  run = Client({"settings", "get", "5", "24"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, "bob:carol:\n");
  run = Client({"settings", "get", "5", "24", "--user", me_.userName});
  EXPECT_EQ(run.out, "bob:carol:\n");
  QvUserStore store;
  ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
  std::string value;
  ASSERT_EQ(store.ReadSetting(me_.suggestedUserId, 5, 13, nullptr, &value), QvStoreStatus::Ok);
  EXPECT_EQ(value, "1");
  EXPECT_EQ(Client({"settings", "get", "5", "24", "--user", "nobody"}).code, 3);
  EXPECT_EQ(Client({"settings", "get", "five", "24"}).code, 1);
  EXPECT_EQ(Client({"settings", "set", "5", "24"}).code, 1);
  EXPECT_EQ(Client({"settings", "delete", "5", "24"}).code, 1);

  ASSERT_EQ(Client({"session-timeout", "30"}).code, 0);
  run = Client({"session-timeout"});
  EXPECT_EQ(run.out, "30\n");
  QvUserInfo info;
  ASSERT_EQ(store.FindUserById(me_.suggestedUserId, &info), QvStoreStatus::Ok);
  EXPECT_EQ(info.sessionTimeoutMs, 30000u);
  EXPECT_EQ(Client({"session-timeout", "-5"}).code, 1);

  // Changes need the password: none to be had, or a wrong one, changes nothing.
  const Environment noPassword{{"QV_PASSWORD_FILE", std::nullopt}};
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"settings", "set", "5", "24", "mallory:"}, {"session-timeout", "0"}}) {
    SCOPED_TRACE(args[0]);
    run = Program(root_, "qvclient", args, noPassword).Wait();
    EXPECT_EQ(run.code, 4);
    EXPECT_NE(run.err.find("QV_PASSWORD_FILE"), std::string::npos) << run.err;
    SetPassword("wrong pw");
    EXPECT_EQ(Client(args).code, 4);
    SetPassword("client pw");
  }
  ASSERT_EQ(store.FindUserById(me_.suggestedUserId, &info), QvStoreStatus::Ok);
  EXPECT_EQ(info.sessionTimeoutMs, 30000u);
  EXPECT_EQ(Client({"settings", "get", "5", "24"}).out, "bob:carol:\n");
}

TEST_F(ClientProgramTest, KeysShowFingerprintsAndTheDefaultChangesOnlyWhenVerified) {
  const QvKey first = EnrollMe(me_.suggestedUserId, "client pw");
  QvUserStore store;
  ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
  const QvKey second{"second", "Spare", kKeyTypeUser, NewKeyBlob(), false, false};
  ASSERT_EQ(store.StoreKey(me_.suggestedUserId, second,
                           UnlockedMasterKey(store, me_.suggestedUserId, "client pw").get()),
            QvStoreStatus::Ok);

  ProgramRun run = Client({"keys"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find(QvKeyFingerprint(first.blob)), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(QvKeyFingerprint(second.blob)), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Share key: " + QvKeyFingerprint(first.blob)), std::string::npos);
  run = Client({"share-keys"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find(me_.suggestedUserId), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(QvKeyFingerprint(first.blob)), std::string::npos) << run.out;

  SetPassword("wrong pw");
  EXPECT_EQ(Client({"default-key", "second"}).code, 4);
  EXPECT_EQ(Client({"keys"}).code, 4);
  SetPassword("client pw");
  QvUserInfo info;
  ASSERT_EQ(store.FindUserById(me_.suggestedUserId, &info), QvStoreStatus::Ok);
  EXPECT_EQ(info.defaultKey, me_.suggestedUserId);
  EXPECT_EQ(Client({"default-key", "missing"}).code, 3);
  run = Client({"default-key", "second"});
  ASSERT_EQ(run.code, 0) << run.err;
  ASSERT_EQ(store.FindUserById(me_.suggestedUserId, &info), QvStoreStatus::Ok);
  EXPECT_EQ(info.defaultKey, "second");
  EXPECT_NE(Client({"share-keys"}).out.find(QvKeyFingerprint(second.blob)), std::string::npos);

  // A share key planted in the store: the owner is told, and the others see a fingerprint
  // that is not the owner's.
  const std::vector<std::uint8_t> planted = NewKeyBlob(false);
  char hex[2 * kKeyBlobSize + 1];
  sodium_bin2hex(hex, sizeof hex, planted.data(), planted.size());
  EditBehindTheLibrary(
      "UPDATE share_keys SET blob = x'" + std::string(hex) + "' WHERE user_id = $U",
      me_.suggestedUserId);
  run = Client({"keys"});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("the user store was changed outside the program"), std::string::npos)
      << run.err;
  run = Client({"share-keys"});
  EXPECT_NE(run.out.find(QvKeyFingerprint(planted)), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find(QvKeyFingerprint(second.blob)), std::string::npos) << run.out;
}

TEST_F(ClientProgramTest, ExportedKeyImportsIntoAnotherInstallation) {
  const QvKey original = EnrollMe("{0A1B2C3D-1111-4222-8333-444455556666}", "client pw");
  const std::string exported = QvExportFolder() + "/0A1B2C3D-1111-4222-8333-444455556666.qvkey";
  // Without a terminal, the log-on password's file never answers for the key file: nothing is
  // exported until a password of its own is named.
  ProgramRun run = Client({"export-key"});
  EXPECT_EQ(run.code, 4);
  EXPECT_NE(run.err.find("--export-password-file"), std::string::npos) << run.err;
  EXPECT_NE(access(exported.c_str(), F_OK), 0);
  const std::string filePassword = PasswordFile("file-password", "file pw");
  const std::vector<std::string> withFilePassword = {"--export-password-file", filePassword};
  auto client = [&](std::vector<std::string> args) {
    args.insert(args.end(), withFilePassword.begin(), withFilePassword.end());
    return Client(args);
  };
  run = client({"export-key"});
  ASSERT_EQ(run.code, 0) << run.err;
  // Written where the import of an older key looks, under the name the owner text gives.
  struct stat info {};
  ASSERT_EQ(stat(exported.c_str(), &info), 0) << run.out;
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(QvReadKeyFile(exported, &bytes, nullptr), QvStoreStatus::Ok);
  QvKeyFileContents contents;
  EXPECT_EQ(QvDecodeKeyFile(bytes.data(), bytes.size(), "client pw", &contents),
            QvStoreStatus::WrongPassword);
  ASSERT_EQ(QvDecodeKeyFile(bytes.data(), bytes.size(), "file pw", &contents), QvStoreStatus::Ok);
  EXPECT_EQ(contents.blob, original.blob);
  EXPECT_EQ(contents.userId, me_.suggestedUserId);
  run = client({"export-key"});
  EXPECT_EQ(run.code, 5);
  EXPECT_NE(run.err.find("--force"), std::string::npos) << run.err;
  EXPECT_EQ(client({"export-key", "--force"}).code, 0);
  // A wrong store password exports nothing.
  SetPassword("not it");
  const std::string other = root_.Sub("other.qvkey");
  EXPECT_EQ(client({"export-key", "--out", other}).code, 4);
  EXPECT_NE(access(other.c_str(), F_OK), 0);

  // Another installation: a new machine root where the same account has a key of its own and
  // another password.
  const std::string secondRoot = root_.Sub("second-root");
  ASSERT_EQ(mkdir(secondRoot.c_str(), 0700), 0);
  setenv("QV_ROOT", secondRoot.c_str(), 1);
  EnrollMe(me_.suggestedUserId, "second pw");
  SetPassword("second pw");
  // The log-on password does not stand in for the file's, and a wrong one leaves it shut.
  run = Client({"import-key", exported});
  EXPECT_EQ(run.code, 4);
  EXPECT_NE(run.err.find("--export-password-file"), std::string::npos) << run.err;
  run = Client({"import-key", exported, "--export-password-file",
                PasswordFile("wrong-file-password", "second pw")});
  EXPECT_EQ(run.code, 5);
  EXPECT_NE(run.err.find("does not open"), std::string::npos) << run.err;
  QvUserStore store;
  ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
  QvMasterKey masterKey;
  ASSERT_EQ(store.UnlockMasterKey(me_.suggestedUserId, "second pw", &masterKey), QvStoreStatus::Ok);
  QvKey key;
  EXPECT_EQ(store.ReadKey(me_.suggestedUserId, original.name, &masterKey, &key),
            QvStoreStatus::NotFound);
  // The file's own password: imported, secret sealed under this installation's key.
  run = client({"import-key", exported});
  ASSERT_EQ(run.code, 0) << run.err;
  ASSERT_EQ(store.ReadKey(me_.suggestedUserId, original.name, &masterKey, &key), QvStoreStatus::Ok);
  EXPECT_EQ(key.blob, original.blob);
  EXPECT_FALSE(key.isDefault);  // the installation's own default key stays the default

  // A file sealed at limits below what this version writes is refused before anything is
  // asked, with what to do.
  QvKeyFileContents weak = contents;
  weak.keyName = "weak";
  const std::string weakPath = root_.Sub("weak.qvkey");
  ASSERT_EQ(QvWriteKeyFile(weakPath, KeyFileSealedAt(weak, 1, 1, 8192, "file pw"), false, nullptr),
            QvStoreStatus::Ok);
  run = client({"import-key", weakPath});
  EXPECT_EQ(run.code, 5);
  EXPECT_NE(run.err.find("export the key again"), std::string::npos) << run.err;
  EXPECT_EQ(store.ReadKey(me_.suggestedUserId, "weak", &masterKey, &key), QvStoreStatus::NotFound);

  EXPECT_EQ(client({"import-key", root_.Sub("missing.qvkey")}).code, 3);
  WriteTextFile(root_.Sub("junk.qvkey"), "junk");
  EXPECT_EQ(client({"import-key", root_.Sub("junk.qvkey")}).code, 5);
  EXPECT_EQ(Client({"import-key"}).code, 1);
  setenv("QV_ROOT", root_.Sub("root").c_str(), 1);
}

TEST_F(ClientProgramTest, AuditListsNewestFirstWithFilters) {
  QvUserStore store;
  ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
  struct Row {
    const char* user;
    DWORD event;
    std::int64_t time;  // 2024-01-01T00:00:00Z is 1704067200
    const char* path;
  } rows[] = {{"alice", 6, 1704067200, "/a/one"},
              {"alice", 7, 1704153600, "/a/two"},
              {"bob", 7, 1704240000, "/b/three"},
              {"alice", 7, 1704326400, "/a/four\x1b[2J"}};
  for (const Row& row : rows) {
    QvAuditEntry entry;
    entry.userId = row.user;
    entry.machine = "M0123456789";
    entry.path = row.path;
    entry.result = kAuditResultSuccess;
    entry.eventType = row.event;
    entry.time = row.time;
    ASSERT_EQ(store.AddAudit(entry), QvStoreStatus::Ok);
  }
  ProgramRun run = Client({"audit"});
  ASSERT_EQ(run.code, 0) << run.err;
  const size_t four = run.out.find("/a/four");
  const size_t three = run.out.find("/b/three");
  const size_t one = run.out.find("/a/one");
  ASSERT_NE(four, std::string::npos);
  EXPECT_LT(four, three);
  EXPECT_LT(three, one);
  // A path cannot drive the terminal.
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
  EXPECT_NE(run.out.find("2024-01-04T00:00:00Z"), std::string::npos) << run.out;

  struct Case {
    std::vector<std::string> args;
    std::vector<const char*> expected;  // in order
  } cases[] = {
      {{"--user", "alice", "--event", "7"}, {"/a/four", "/a/two"}},
      {{"--user", "alice", "--limit", "1"}, {"/a/four"}},
      {{"--since", "2024-01-02T00:00"}, {"/a/four", "/b/three", "/a/two"}},
      {{"--since", "1704240000"}, {"/a/four", "/b/three"}},
      {{"--event", "8"}, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"audit"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    run = Client(args);
    ASSERT_EQ(run.code, 0) << run.err;
    size_t at = 0;
    int rows = 0;
    for (size_t line = run.out.find('\n'); line != std::string::npos;
         line = run.out.find('\n', line + 1))
      ++rows;
    EXPECT_EQ(rows, static_cast<int>(c.expected.size()) + 1) << run.out;  // and the heading
    for (const char* path : c.expected) {
      const size_t found = run.out.find(path, at);
      ASSERT_NE(found, std::string::npos) << path << " in\n" << run.out;
      at = found;
    }
  }
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"audit", "--since", "yesterday"},
                                             {"audit", "--since", "2024-13-01"},
                                             {"audit", "--limit", "0"},
                                             {"audit", "--event"}}) {
    SCOPED_TRACE(bad.back());
    EXPECT_EQ(Client(bad).code, 1);
  }
}

// Waits until the client's window exists (the suite's message window in the Sentivo edition,
// the client's own otherwise); null after 30 seconds.
HWND WaitForWindow(const char* windowClass = kWindowClass, const char* title = "MsgWnd") {
  for (int i = 0; i < 1500; ++i) {
    if (HWND window = FindWindowA(windowClass, title)) return window;
    Sleep(20);
  }
  return nullptr;
}

// True when the suite-running mutex exists, tested as the context menu tests it.
bool SuiteRunning(const char* name) {
  HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
  if (mutex == nullptr) return false;
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (!existed) (void)ReleaseMutex(mutex);
  CloseHandle(mutex);
  return existed;
}

TEST_F(ClientProgramTest, StartHoldsTheMutexUntilStoppedAndStatusTestsIt) {
  // Without a store there is no edition to run: start says so.
  ProgramRun noStore = Client({"start"});
  EXPECT_EQ(noStore.code, 2);
  EXPECT_NE(noStore.err.find("run qvenroll first"), std::string::npos) << noStore.err;
  ASSERT_EQ(QvUserStore().Open(), QvStoreStatus::Ok);  // the store an enrollment makes
  EXPECT_FALSE(SuiteRunning("QuorvinMutex"));
  EXPECT_EQ(Client({"stop"}).code, 3);
  EXPECT_EQ(Client({"status"}).code, 3);

  Program client(root_, "qvclient", {"start"});
  ASSERT_NE(WaitForWindow("QuorvinClient", "qvclient"), nullptr) << client.Wait(0).err;
  EXPECT_TRUE(SuiteRunning("QuorvinMutex"));
  EXPECT_FALSE(SuiteRunning("Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386"));
  // The extension posts to the suite's message window only in the Sentivo edition: this
  // edition's client has none.
  EXPECT_EQ(FindWindowA(kWindowClass, "MsgWnd"), nullptr);
  // A program that holds a logged-on user's keys leaves no core dump of them.
  const std::string limits = ReadTextFile("/proc/" + std::to_string(client.Pid()) + "/limits");
  EXPECT_NE(limits.find("Max core file size        0                    0"), std::string::npos)
      << limits;
  EXPECT_EQ(Client({"status"}).code, 0);
  ProgramRun second = Client({"start"});
  EXPECT_EQ(second.code, 3);
  EXPECT_NE(second.err.find("running already"), std::string::npos) << second.err;

  const ProgramRun stop = Client({"stop"});
  EXPECT_EQ(stop.code, 0) << stop.err;
  const ProgramRun ended = client.Wait();
  EXPECT_EQ(ended.code, 0) << ended.err;
  EXPECT_EQ(FindWindowA("QuorvinClient", "qvclient"), nullptr);
  EXPECT_FALSE(SuiteRunning("QuorvinMutex"));

  // status answers what the extension sees: the mutex, whoever holds it.
  HANDLE suite = CreateMutexA(nullptr, TRUE, "QuorvinMutex");
  ASSERT_NE(suite, nullptr);
  EXPECT_EQ(Client({"status"}).code, 0);
  const ProgramRun foreign = Client({"stop"});
  EXPECT_EQ(foreign.code, 3);
  EXPECT_NE(foreign.err.find("not as 'qvclient start'"), std::string::npos) << foreign.err;
  (void)ReleaseMutex(suite);
  CloseHandle(suite);
  EXPECT_EQ(Client({"status"}).code, 3);
}

TEST_F(ClientProgramTest, SentivoClientTakesTheVerificationMessagesAndStopsOnSigterm) {
  QvUserStore store;
  ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
  ASSERT_EQ(store.SetEdition(EDITION_SENTIVO), QvStoreStatus::Ok);
  // The other edition's mutex is not this edition's suite.
  HANDLE other = CreateMutexA(nullptr, TRUE, "QuorvinMutex");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(Client({"status"}).code, 3);
  (void)ReleaseMutex(other);
  CloseHandle(other);

  Program client(root_, "qvclient", {"start"});
  HWND window = WaitForWindow();
  ASSERT_NE(window, nullptr) << client.Wait(0).err;
  EXPECT_TRUE(SuiteRunning("Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386"));
  EXPECT_FALSE(SuiteRunning("QuorvinMutex"));
  EXPECT_EQ(Client({"status"}).code, 0);

  // The extension signals a verification to the window.
  const UINT qaf = RegisterWindowMessageA("EnableDisableQAF");
  ASSERT_NE(qaf, 0u);
  ASSERT_TRUE(PostMessageA(window, qaf, 0, 0));
  ASSERT_TRUE(PostMessageA(window, qaf, 1, 0));
  const auto verificationSeen = [&] {
    return client.Output().find("A verification started.\nA verification ended.\n") !=
           std::string::npos;
  };
  for (int i = 0; i < 1500 && !verificationSeen(); ++i) Sleep(20);

  ASSERT_EQ(kill(client.Pid(), SIGTERM), 0);
  const ProgramRun ended = client.Wait();
  EXPECT_EQ(ended.code, 0) << ended.err;
  EXPECT_NE(ended.out.find("A verification started.\nA verification ended.\n"), std::string::npos)
      << ended.out;
  EXPECT_FALSE(SuiteRunning("Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386"));
  EXPECT_EQ(FindWindowA(kWindowClass, "MsgWnd"), nullptr);
}

}  // namespace
