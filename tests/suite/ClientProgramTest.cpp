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

#include <algorithm>
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

class ClientProgramTest : public ProgramsFixture {
 protected:
  void SetUp() override {
    ProgramsFixture::SetUp();
    me_ = QvCurrentAccount();
  }
  void SetPassword(const std::string& password) const { PasswordFile("password", password); }

  // Enrolls the current account in the store of the current machine root.
  QvKey EnrollMeWith(const std::string& keyName, const std::string& password = kPassword) {
    QvUserStore store;
    EXPECT_EQ(store.Open(), QvStoreStatus::Ok);
    QvKey key{keyName, "DefaultKey", kKeyTypeUser, NewKeyBlob(), false, false};
    QvNewUser user{me_.suggestedUserId, me_.userName, me_.displayName, QvAccountType::Computer};
    EXPECT_EQ(store.Enroll(user, password, &key), QvStoreStatus::Ok) << store.LastError();
    return key;
  }

  QvAccount me_;
};

TEST_F(ClientProgramTest, SettingsAndSessionTimeOutRoundTrip) {
  // Nobody enrolled yet: there is no store, and none is made.
  EXPECT_TRUE(Exited(Client({"settings", "get", "5", "13"}), 2, {"; run qvenroll first"}));
  EXPECT_FALSE(Exists(QvUserStore::DefaultPath()));
  EnrollMeWith(me_.suggestedUserId);

  const struct {
    std::vector<std::string> args;
    int code;
    const char* out;  // all of standard output, when given
  } steps[] = {
      {{"settings", "get", "5", "13"}, 3, nullptr},
      {{"settings", "set", "5", "24", "bob:carol:"}, 0, nullptr},
      {{"settings", "set", "5", "13", "1"}, 0, nullptr},
      {{"settings", "get", "5", "24"}, 0, "bob:carol:\n"},
      {{"settings", "get", "5", "24", "--user", me_.userName}, 0, "bob:carol:\n"},
      {{"settings", "get", "5", "24", "--user", "nobody"}, 3, nullptr},
      {{"settings", "get", "five", "24"}, 1, nullptr},
      {{"settings", "set", "5", "24"}, 1, nullptr},
      {{"settings", "delete", "5", "24"}, 1, nullptr},
      {{"session-timeout", "30"}, 0, nullptr},
      {{"session-timeout"}, 0, "30\n"},
      {{"session-timeout", "-5"}, 1, nullptr},
  };
  for (const auto& step : steps) {
    const ProgramRun run = Client(step.args);
    EXPECT_TRUE(Exited(run, step.code)) << step.args[0] << " " << step.args.back();
    EXPECT_TRUE(step.out == nullptr || run.out == step.out) << run.out;
  }
  QvUserStore store;
  ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
  std::string value;
  ASSERT_EQ(store.ReadSetting(me_.suggestedUserId, 5, 13, nullptr, &value), QvStoreStatus::Ok);
  EXPECT_EQ(value, "1");
  QvUserInfo info;
  ASSERT_EQ(store.FindUserById(me_.suggestedUserId, &info), QvStoreStatus::Ok);
  EXPECT_EQ(info.sessionTimeoutMs, 30000u);

  // Changes need the password: none to be had, or a wrong one, changes nothing.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"settings", "set", "5", "24", "mallory:"}, {"session-timeout", "0"}}) {
    SCOPED_TRACE(args[0]);
    EXPECT_TRUE(
        Exited(Client(args, {{"QV_PASSWORD_FILE", std::nullopt}}), 4, {"QV_PASSWORD_FILE"}));
    SetPassword("wrong pw");
    EXPECT_TRUE(Exited(Client(args), 4));
    SetPassword(kPassword);
  }
  ASSERT_EQ(store.FindUserById(me_.suggestedUserId, &info), QvStoreStatus::Ok);
  EXPECT_EQ(info.sessionTimeoutMs, 30000u);
  EXPECT_EQ(Client({"settings", "get", "5", "24"}).out, "bob:carol:\n");
}

TEST_F(ClientProgramTest, KeysShowFingerprintsAndTheDefaultChangesOnlyWhenVerified) {
  const QvKey first = EnrollMeWith(me_.suggestedUserId);
  QvUserStore store;
  ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
  const QvKey second{"second", "Spare", kKeyTypeUser, NewKeyBlob(), false, false};
  ASSERT_EQ(store.StoreKey(me_.suggestedUserId, second,
                           UnlockedMasterKey(store, me_.suggestedUserId, kPassword).get()),
            QvStoreStatus::Ok);

  const std::string firstPrint = QvKeyFingerprint(first.blob);
  ASSERT_TRUE(Exited(Client({"keys"}), 0, {},
                     {firstPrint, QvKeyFingerprint(second.blob), "Share key: " + firstPrint}));
  ASSERT_TRUE(Exited(Client({"share-keys"}), 0, {}, {me_.suggestedUserId, firstPrint}));

  SetPassword("wrong pw");
  EXPECT_TRUE(Exited(Client({"default-key", "second"}), 4));
  EXPECT_TRUE(Exited(Client({"keys"}), 4));
  SetPassword(kPassword);
  QvUserInfo info;
  ASSERT_EQ(store.FindUserById(me_.suggestedUserId, &info), QvStoreStatus::Ok);
  EXPECT_EQ(info.defaultKey, me_.suggestedUserId);
  EXPECT_TRUE(Exited(Client({"default-key", "missing"}), 3));
  ASSERT_TRUE(Exited(Client({"default-key", "second"}), 0));
  ASSERT_EQ(store.FindUserById(me_.suggestedUserId, &info), QvStoreStatus::Ok);
  EXPECT_EQ(info.defaultKey, "second");
  EXPECT_TRUE(Exited(Client({"share-keys"}), 0, {}, {QvKeyFingerprint(second.blob)}));

  // A share key planted in the store: the owner is told, and the others see a fingerprint
  // that is not the owner's.
  const std::vector<std::uint8_t> planted = NewKeyBlob(false);
  char hex[2 * kKeyBlobSize + 1];
  sodium_bin2hex(hex, sizeof hex, planted.data(), planted.size());
  EditBehindTheLibrary(
      "UPDATE share_keys SET blob = x'" + std::string(hex) + "' WHERE user_id = $U",
      me_.suggestedUserId);
  EXPECT_TRUE(Exited(Client({"keys"}), 2, {"the user store was changed outside the program"}));
  const ProgramRun run = Client({"share-keys"});
  EXPECT_NE(run.out.find(QvKeyFingerprint(planted)), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find(QvKeyFingerprint(second.blob)), std::string::npos) << run.out;
}

TEST_F(ClientProgramTest, ExportedKeyImportsIntoAnotherInstallation) {
  const QvKey original = EnrollMeWith("{0A1B2C3D-1111-4222-8333-444455556666}");
  const std::string exported = QvExportFolder() + "/0A1B2C3D-1111-4222-8333-444455556666.qvkey";
  // Without a terminal, the log-on password's file never answers for the key file: nothing is
  // exported until a password of its own is named.
  EXPECT_TRUE(Exited(Client({"export-key"}), 4, {"--export-password-file"}));
  EXPECT_FALSE(Exists(exported));
  const std::string filePassword = PasswordFile("file-password", "file pw");
  auto client = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--export-password-file", filePassword});
    return Client(args);
  };
  ASSERT_TRUE(Exited(client({"export-key"}), 0));
  // Written where the import of an older key looks, under the name the owner text gives.
  struct stat info {};
  ASSERT_EQ(stat(exported.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(QvReadKeyFile(exported, &bytes, nullptr), QvStoreStatus::Ok);
  QvKeyFileContents contents;
  EXPECT_EQ(QvDecodeKeyFile(bytes.data(), bytes.size(), kPassword, &contents),
            QvStoreStatus::WrongPassword);
  ASSERT_EQ(QvDecodeKeyFile(bytes.data(), bytes.size(), "file pw", &contents), QvStoreStatus::Ok);
  EXPECT_EQ(contents.blob, original.blob);
  EXPECT_EQ(contents.userId, me_.suggestedUserId);
  EXPECT_TRUE(Exited(client({"export-key"}), 5, {"--force"}));
  EXPECT_TRUE(Exited(client({"export-key", "--force"}), 0));
  // A wrong store password exports nothing.
  SetPassword("not it");
  const std::string other = root_.Sub("other.qvkey");
  EXPECT_TRUE(Exited(client({"export-key", "--out", other}), 4));
  EXPECT_FALSE(Exists(other));

  // Another installation: a new machine root where the same account has a key of its own and
  // another password.
  const std::string secondRoot = root_.Sub("second-root");
  ASSERT_EQ(mkdir(secondRoot.c_str(), 0700), 0);
  setenv("QV_ROOT", secondRoot.c_str(), 1);
  EnrollMeWith(me_.suggestedUserId, "second pw");
  SetPassword("second pw");
  // The log-on password does not stand in for the file's, and a wrong one leaves it shut.
  EXPECT_TRUE(Exited(Client({"import-key", exported}), 4, {"--export-password-file"}));
  EXPECT_TRUE(Exited(Client({"import-key", exported, "--export-password-file",
                             PasswordFile("wrong-file-password", "second pw")}),
                     5, {"does not open"}));
  QvUserStore store;
  ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
  QvMasterKey masterKey;
  ASSERT_EQ(store.UnlockMasterKey(me_.suggestedUserId, "second pw", &masterKey), QvStoreStatus::Ok);
  QvKey key;
  EXPECT_EQ(store.ReadKey(me_.suggestedUserId, original.name, &masterKey, &key),
            QvStoreStatus::NotFound);
  // The file's own password: imported, secret sealed under this installation's key.
  ASSERT_TRUE(Exited(client({"import-key", exported}), 0));
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
  EXPECT_TRUE(Exited(client({"import-key", weakPath}), 5, {"export the key again"}));
  EXPECT_EQ(store.ReadKey(me_.suggestedUserId, "weak", &masterKey, &key), QvStoreStatus::NotFound);

  EXPECT_TRUE(Exited(client({"import-key", root_.Sub("missing.qvkey")}), 3));
  WriteTextFile(root_.Sub("junk.qvkey"), "junk");
  EXPECT_TRUE(Exited(client({"import-key", root_.Sub("junk.qvkey")}), 5));
  EXPECT_TRUE(Exited(Client({"import-key"}), 1));
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
  for (const Row& row : rows)
    ASSERT_EQ(store.AddAudit({.userId = row.user,
                              .machine = "M0123456789",
                              .path = row.path,
                              .result = kAuditResultSuccess,
                              .eventType = row.event,
                              .time = row.time}),
              QvStoreStatus::Ok);
  const ProgramRun all = Client({"audit"});
  // A path cannot drive the terminal.
  EXPECT_EQ(all.out.find('\x1b'), std::string::npos);
  EXPECT_NE(all.out.find("2024-01-04T00:00:00Z"), std::string::npos) << all.out;

  struct Case {
    std::vector<std::string> args;
    std::vector<const char*> expected;  // in order
    int code = 0;
  } cases[] = {
      {{}, {"/a/four", "/b/three", "/a/two", "/a/one"}},
      {{"--user", "alice", "--event", "7"}, {"/a/four", "/a/two"}},
      {{"--user", "alice", "--limit", "1"}, {"/a/four"}},
      {{"--since", "2024-01-02T00:00"}, {"/a/four", "/b/three", "/a/two"}},
      {{"--since", "1704240000"}, {"/a/four", "/b/three"}},
      {{"--event", "8"}, {}},
      {{"--since", "yesterday"}, {}, 1},
      {{"--since", "2024-13-01"}, {}, 1},
      {{"--limit", "0"}, {}, 1},
      {{"--event"}, {}, 1},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"audit"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ProgramRun run = Client(args);
    ASSERT_TRUE(Exited(run, c.code));
    if (c.code != 0) continue;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'),
              static_cast<long>(c.expected.size()) + 1)
        << run.out;  // and the heading
    size_t at = 0;
    for (const char* path : c.expected) {
      const size_t found = run.out.find(path, at);
      ASSERT_NE(found, std::string::npos) << path << " in\n" << run.out;
      at = found;
    }
  }
}

// Waits until the client's window exists (the suite's message window in the Sentivo edition,
// the client's own otherwise); null after 30 seconds.
HWND WaitForWindow(const char* windowClass = kWindowClass, const char* title = "MsgWnd") {
  HWND window = nullptr;
  (void)Eventually([&] { return (window = FindWindowA(windowClass, title)) != nullptr; });
  return window;
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
  EXPECT_TRUE(Exited(Client({"start"}), 2, {"run qvenroll first"}));
  ASSERT_EQ(QvUserStore().Open(), QvStoreStatus::Ok);  // the store an enrollment makes
  EXPECT_FALSE(SuiteRunning("QuorvinMutex"));
  EXPECT_TRUE(Exited(Client({"stop"}), 3));
  EXPECT_TRUE(Exited(Client({"status"}), 3));

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
  EXPECT_TRUE(Exited(Client({"status"}), 0));
  EXPECT_TRUE(Exited(Client({"start"}), 3, {"running already"}));
  EXPECT_TRUE(Exited(Client({"stop"}), 0));
  EXPECT_TRUE(Exited(client.Wait(), 0));
  EXPECT_EQ(FindWindowA("QuorvinClient", "qvclient"), nullptr);
  EXPECT_FALSE(SuiteRunning("QuorvinMutex"));

  // status answers what the extension sees: the mutex, whoever holds it.
  HANDLE suite = CreateMutexA(nullptr, TRUE, "QuorvinMutex");
  ASSERT_NE(suite, nullptr);
  EXPECT_TRUE(Exited(Client({"status"}), 0));
  EXPECT_TRUE(Exited(Client({"stop"}), 3, {"not as 'qvclient start'"}));
  (void)ReleaseMutex(suite);
  CloseHandle(suite);
  EXPECT_TRUE(Exited(Client({"status"}), 3));
}

TEST_F(ClientProgramTest, SentivoClientTakesTheVerificationMessagesAndStopsOnSigterm) {
  QvUserStore store;
  ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
  ASSERT_EQ(store.SetEdition(EDITION_SENTIVO), QvStoreStatus::Ok);
  // The other edition's mutex is not this edition's suite.
  HANDLE other = CreateMutexA(nullptr, TRUE, "QuorvinMutex");
  ASSERT_NE(other, nullptr);
  EXPECT_TRUE(Exited(Client({"status"}), 3));
  (void)ReleaseMutex(other);
  CloseHandle(other);

  Program client(root_, "qvclient", {"start"});
  HWND window = WaitForWindow();
  ASSERT_NE(window, nullptr) << client.Wait(0).err;
  EXPECT_TRUE(SuiteRunning("Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386"));
  EXPECT_FALSE(SuiteRunning("QuorvinMutex"));
  EXPECT_TRUE(Exited(Client({"status"}), 0));

  // The extension signals a verification to the window.
  const UINT qaf = RegisterWindowMessageA("EnableDisableQAF");
  ASSERT_NE(qaf, 0u);
  ASSERT_TRUE(PostMessageA(window, qaf, 0, 0));
  ASSERT_TRUE(PostMessageA(window, qaf, 1, 0));
  (void)Eventually([&] {
    return client.Output().find("A verification started.\nA verification ended.\n") !=
           std::string::npos;
  });

  ASSERT_EQ(kill(client.Pid(), SIGTERM), 0);
  EXPECT_TRUE(Exited(client.Wait(), 0, {}, {"A verification started.\nA verification ended.\n"}));
  EXPECT_FALSE(SuiteRunning("Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386"));
  EXPECT_EQ(FindWindowA(kWindowClass, "MsgWnd"), nullptr);
}

}  // namespace
