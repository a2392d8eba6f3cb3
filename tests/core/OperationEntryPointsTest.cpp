// The exports the suite's programs call, end to end: the real suite with the account running
// the test enrolled, the headless user typing the password, real files encrypted and
// decrypted, audit records read back from the user store, and a desktop opener that notes
// what it was given. A second process is forked while the holder's user types the password.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sodium.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/DialogResources.h"
#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "base/Settings.h"
#include "base/StringTable.h"
#include "base/SuiteServices.h"
#include "container/FolderContainer.h"
#include "core/Exports.h"
#include "core/ShellAppMessaging.h"
#include "engine/CProgressDlg.h"
#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/Ole.h"
#include "platform/Registry.h"
#include "platform/ui/Backend.h"
#include "suite/QvFsApi.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/KeyFile.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "suite/qvverify/PasswordSource.h"
#include "tests/common/HeadlessUi.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"
#include "util/RegKey.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kMe = "me";
constexpr const char* kPassword = "open sesame";
constexpr DWORD kOperationEvent = 7;

bool Present(const std::string& path) {
  return fs::symlink_status(path).type() != fs::file_type::not_found;
}

// The headless user, who can let something happen while the first dialog waits for input
// (another process starting while the user types the password).
class UserAtTheKeyboard : public HeadlessUi {
 public:
  std::function<void()> whileFirstDialogWaits;
  bool WaitForUser(HWND dialog) override {
    if (whileFirstDialogWaits) {
      const std::function<void()> action = std::move(whileFirstDialogWaits);
      whileFirstDialogWaits = nullptr;
      action();
    }
    return HeadlessUi::WaitForUser(dialog);
  }
};

// An environment variable set for one test and put back afterwards.
class ScopedVariable {
 public:
  explicit ScopedVariable(const char* name) : name_(name) {
    if (const char* value = std::getenv(name)) saved_ = value;
  }
  ~ScopedVariable() {
    if (saved_)
      setenv(name_, saved_->c_str(), 1);
    else
      unsetenv(name_);
  }
  void Set(const std::string& value) { setenv(name_, value.c_str(), 1); }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

class OperationEntryPointsTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    unsetenv(kPasswordFileVariable);
    QvLogOff();
    QvApp().InitInstance();
    ASSERT_EQ(QvUserStore().Open(), QvStoreStatus::Ok);  // the store an enrollment makes
    QvUserStore* store = QvSharedUserStore();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(qvtest::EnrollWithKey(
                  {kMe, QvCurrentAccount().userName, "Me", QvAccountType::Computer}, kPassword),
              QvStoreStatus::Ok);
    // The desktop opener notes each document it is given, one per line.
    opened_ = root_.Sub("opened");
    const std::string opener = root_.Sub("opener");
    WriteTextFile(opener, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + opened_ + "'\n");
    ASSERT_EQ(chmod(opener.c_str(), 0700), 0);
    openCommand_.Set(opener);
    dir_ = root_.Sub("work");
    fs::create_directories(dir_);
  }
  void TearDown() override {
    StopSuiteServices();
    QvApp().ExitInstance();
    QvLogOff();
  }

  std::string P(const std::string& name) const { return dir_ + "/" + name; }
  void AnswerPassword() { ui_.TypeAndPress(kPasswordDialogId, kPasswordEditId, kPassword, IDOK); }
  // The prompt cancelled: no notice follows, since a cancel is no wrong password.
  void RefusePassword() { ui_.PressButton(kPasswordDialogId, IDCANCEL); }
  std::string Encrypted(const std::string& name, const std::string& content) {
    WriteTextFile(P(name), content);
    AnswerPassword();
    if (!warningAnswered_) ui_.TickAndPress(IDD_BACKUP_WARNING, IDC_WARNING_DONT_SHOW, IDOK);
    warningAnswered_ = true;
    EXPECT_EQ(DllDoEncryptDecrypt(P(name).c_str(), 1), 1);
    return P(name) + ".qvf";
  }
  std::vector<QvAuditEntry> Audit() {
    std::vector<QvAuditEntry> entries;
    QvUserStore* store = QvSharedUserStore();
    EXPECT_NE(store, nullptr);
    if (store != nullptr) {
      EXPECT_EQ(store->QueryAudit({}, &entries), QvStoreStatus::Ok);
    }
    // Oldest first.
    std::sort(entries.begin(), entries.end(),
              [](const QvAuditEntry& a, const QvAuditEntry& b) { return a.sequence < b.sequence; });
    return entries;
  }
  // What the opener was given, once `count` documents were noted (or after 10 s).
  std::vector<std::string> Opened(size_t count) {
    std::vector<std::string> lines;
    for (int i = 0; i < 1000; ++i) {
      lines.clear();
      if (Present(opened_)) {
        const std::string text = ReadTextFile(opened_);
        for (size_t start = 0; start < text.size();) {
          const size_t end = text.find('\n', start);
          lines.push_back(text.substr(start, end - start));
          start = end == std::string::npos ? text.size() : end + 1;
        }
      }
      if (lines.size() >= count) break;
      Sleep(10);
    }
    return lines;
  }

  UserAtTheKeyboard ui_;
  ScopedVariable openCommand_{"QV_OPEN_COMMAND"};
  std::string dir_, opened_;
  bool warningAnswered_ = false;
};

TEST_F(OperationEntryPointsTest, EncryptAndDecryptAFileAndAFolderWithAnAuditRecordEach) {
  const std::string file = P("notes.txt");
  const std::string folder = P("album");
  fs::create_directories(folder + "/inner");
  WriteTextFile(folder + "/one.bin", std::string(70000, 'a'));
  WriteTextFile(folder + "/inner/two.txt", "two");
  const std::int64_t start = time(nullptr);

  EXPECT_EQ(Encrypted("notes.txt", "my notes"), file + ".qvf");
  EXPECT_FALSE(Present(file));
  AnswerPassword();
  EXPECT_EQ(DllDoEncryptDecrypt(folder.c_str(), 1), 1);
  EXPECT_FALSE(Present(folder));
  ASSERT_TRUE(Present(folder + ".qvef"));
  EXPECT_EQ(QvApp().storageDriver, nullptr) << "every export stops the services it started";

  for (const std::string& encrypted : {file + ".qvf", folder + ".qvef"}) {
    AnswerPassword();
    EXPECT_EQ(DllDoEncryptDecrypt(encrypted.c_str(), 0), 1) << encrypted;
    EXPECT_FALSE(Present(encrypted));
  }
  EXPECT_EQ(ReadTextFile(file), "my notes");
  EXPECT_EQ(ReadTextFile(folder + "/one.bin"), std::string(70000, 'a'));
  EXPECT_EQ(ReadTextFile(folder + "/inner/two.txt"), "two");
  // The backup warning came once, for the first encryption only.
  EXPECT_EQ(ui_.Closed(IDD_BACKUP_WARNING).size(), 1u);
  ASSERT_EQ(ui_.Closed(kPasswordDialogId).size(), 4u);
  EXPECT_EQ(ui_.Closed(kPasswordDialogId)[0].state.caption, LoadStringText(IDS_VERIFY_TITLE));

  const std::vector<QvAuditEntry> audit = Audit();
  const std::vector<std::string> paths = {file, folder, file + ".qvf", folder + ".qvef"};
  ASSERT_EQ(audit.size(), paths.size());
  for (size_t i = 0; i < audit.size(); ++i) {
    EXPECT_EQ(audit[i].path, paths[i]);
    EXPECT_EQ(audit[i].userId, kMe);
    EXPECT_EQ(audit[i].eventType, kOperationEvent);
    EXPECT_EQ(audit[i].result, kAuditResultSuccess);
    EXPECT_GE(audit[i].time, start);
    // The records take the clock the way time(nullptr) may not: time() reads a coarse clock
    // that can still show the second before.
    EXPECT_LE(audit[i].time, std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count());
  }
}

TEST_F(OperationEntryPointsTest, RefusedUserChangesNothingAndAFailedItemIsAuditedAsFailure) {
  const std::string file = P("secret.txt");
  WriteTextFile(file, "secret");
  RefusePassword();
  EXPECT_EQ(DllDoEncryptDecrypt(file.c_str(), 1), 0);
  EXPECT_EQ(ReadTextFile(file), "secret");
  EXPECT_FALSE(Present(file + ".qvf"));
  EXPECT_TRUE(Audit().empty());
  EXPECT_TRUE(ui_.Closed(IDD_PROGRESS).empty());
  EXPECT_EQ(DllDoEncryptDecrypt(nullptr, 1), 0);
  EXPECT_EQ(DllShellInterface(nullptr), 0);

  // Verified, but the item cannot be decrypted: the dialog stays open for the user to read.
  const std::string broken = P("broken.qvf");
  WriteTextFile(broken, "not what the library wrote");
  AnswerPassword();
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  EXPECT_EQ(DllDoEncryptDecrypt(broken.c_str(), 0), 0);
  EXPECT_EQ(ReadTextFile(broken), "not what the library wrote");
  const std::vector<QvAuditEntry> audit = Audit();
  ASSERT_EQ(audit.size(), 1u);
  EXPECT_EQ(audit[0].path, broken);
  EXPECT_EQ(audit[0].result, kAuditResultFailure);
  EXPECT_EQ(audit[0].eventType, kOperationEvent);
}

TEST_F(OperationEntryPointsTest, ACancelThatCameAfterTheLastItemReportsTheWorkAsDone) {
  const std::string file = P("late.txt");
  bool cancelled = false;
  CProgressDlg::SetAfterLastItemTestHook([&cancelled](CProgressDlg& dialog) {
    EXPECT_TRUE(PressDialogButton(dialog.GetSafeHwnd(), IDCANCEL));
    dialog.PumpMessages();
    cancelled = dialog.CancelRequested();
  });
  EXPECT_EQ(Encrypted("late.txt", "late"), file + ".qvf");
  CProgressDlg::SetAfterLastItemTestHook(nullptr);
  EXPECT_TRUE(cancelled);
  EXPECT_FALSE(Present(file));
  const std::vector<QvAuditEntry> audit = Audit();
  ASSERT_EQ(audit.size(), 1u);
  EXPECT_EQ(audit[0].path, file);
  EXPECT_EQ(audit[0].result, kAuditResultSuccess);
}

TEST_F(OperationEntryPointsTest, AnOperationWhoseRecordCannotBeWrittenIsNotReportedAsDone) {
  EXPECT_EQ(Encrypted("before.txt", "a"), P("before.txt") + ".qvf");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  {
    // The store refuses new audit records as a full disk would.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QvUserStore::DefaultPath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TRIGGER refuse_audit BEFORE INSERT ON audit "
                           "BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  WriteTextFile(P("after.txt"), "b");
  AnswerPassword();
  EXPECT_EQ(DllDoEncryptDecrypt(P("after.txt").c_str(), 1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANTWRITE));
  EXPECT_TRUE(Present(P("after.txt.qvf")));
  AnswerPassword();
  EXPECT_EQ(DllShellInterface((P("after.txt.qvf")).c_str()), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANTWRITE));
  EXPECT_EQ(ReadTextFile(P("after.txt")), "b");
  ASSERT_EQ(Audit().size(), 1u);
}

TEST_F(OperationEntryPointsTest, AMissingStoreIsNeverMadeAgainBehindTheUsersBack) {
  const std::string qvf = Encrypted("letter.txt", "dear");
  const std::string store = QvUserStore::DefaultPath();
  QvCloseSharedUserStore();
  ASSERT_EQ(rename(store.c_str(), root_.Sub("store-aside").c_str()), 0);
  EXPECT_EQ(DllDoEncryptDecrypt(qvf.c_str(), 0), 0);
  EXPECT_EQ(DllShellInterface(qvf.c_str()), 0);
  EXPECT_FALSE(Present(store));
  EXPECT_TRUE(Present(qvf));
  EXPECT_EQ(ui_.Closed(IDD_PROGRESS).size(), 1u) << "only the encryption's";
}

TEST_F(OperationEntryPointsTest, KoreanSystemsOfTheOemGetTheirOwnPrompt) {
  ScopedVariable language("LC_ALL");
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
  const struct {
    const char* locale;
    DWORD oem;
    UINT prompt;
  } cases[] = {{"ko_KR.UTF-8", 6, IDS_VERIFY_PROMPT_KOREAN},
               {"ko_KR.UTF-8", 5, IDS_VERIFY_PROMPT},
               {"de_DE.UTF-8", 6, IDS_VERIFY_PROMPT}};
  const std::string file = P("f.txt");
  WriteTextFile(file, "f");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.locale) + " OEM " + std::to_string(c.oem));
    language.Set(c.locale);
    ASSERT_EQ(key.SetDWORDValue("OEM", c.oem), ERROR_SUCCESS);
    QvApp().InitInstance();
    RefusePassword();
    EXPECT_EQ(DllDoEncryptDecrypt(file.c_str(), 0), 0);
    const std::string texts = ui_.Closed(kPasswordDialogId).back().state.Texts();
    const std::string expected = LoadStringText(c.prompt);
    ASSERT_FALSE(expected.empty());
    EXPECT_NE(texts.find(expected), std::string::npos) << texts;
  }
}

TEST_F(OperationEntryPointsTest, ShellInterfaceDecryptsAndOpensThePlainFile) {
  const std::string encrypted = Encrypted("letter.txt", "dear reader");
  AnswerPassword();
  EXPECT_EQ(DllShellInterface(encrypted.c_str()), 0);
  EXPECT_EQ(ReadTextFile(P("letter.txt")), "dear reader");
  EXPECT_FALSE(Present(encrypted));
  EXPECT_EQ(Opened(1), std::vector<std::string>{P("letter.txt")});
  const std::vector<QvAuditEntry> audit = Audit();
  ASSERT_EQ(audit.size(), 2u);
  EXPECT_EQ(audit[1].path, encrypted);
  EXPECT_EQ(audit[1].result, kAuditResultSuccess);
  // The role was given up and the mailslot closed: the next holder starts afresh.
  DecryptOpenRole next;
  EXPECT_TRUE(next.Claim());
  EXPECT_TRUE(next.OpenHandOver());
}

TEST_F(OperationEntryPointsTest, ShellInterfaceOffersTheOlderKeyOfAContainersFolderOwner) {
  QvUserStore* store = QvSharedUserStore();
  ASSERT_NE(store, nullptr);
  ASSERT_EQ(store->SetEdition(EDITION_SENTIVO), QvStoreStatus::Ok);
  // A container made with a key of this user's earlier installation, which exported it.
  qvtest::OlderKey older;
  ASSERT_NO_FATAL_FAILURE(qvtest::MakeOlderKey(kMe, "file pw", &older));
  const std::string vault = P("vault");
  fs::create_directories(vault);
  WriteTextFile(vault + "/qvdummyffff.qvf", "");
  {
    FolderContainer container;
    char algorithmName[1024] = "default";
    BYTE* headerBytes = older.header.data();
    ASSERT_EQ(container.OpenContainer(vault + ".qvef", algorithmName, &headerBytes,
                                      &older.headerLength, TRUE),
              1);
    container.SetRootDir(vault + "/");
    ASSERT_GT(container.AddFile(vault + "/qvdummyffff.qvf", FALSE), 0);
    ASSERT_EQ(container.Flush(), 1);
    container.Close();
  }
  fs::remove_all(vault);

  // Offered, imported from its file, and the container restored with it.
  AnswerPassword();
  ui_.AnswerMessageBox(IDOK, older.keyFile);
  ui_.TypeAndPress(kPasswordDialogId, kPasswordEditId, "file pw", IDOK);
  EXPECT_EQ(DllShellInterface((vault + ".qvef").c_str()), 0);
  EXPECT_EQ(ui_.MessageBoxes().size(), 1u);
  EXPECT_TRUE(fs::is_directory(vault));
  EXPECT_FALSE(Present(vault + ".qvef"));
  EXPECT_EQ(Opened(1), std::vector<std::string>{vault});
}

TEST_F(OperationEntryPointsTest, FilesOpenedTogetherAreDecryptedByTheHolderWhichOpensItsOwn) {
  const std::string first = Encrypted("first.txt", "one");
  const std::string second = Encrypted("second.txt", "two");
  WriteTextFile(P("plain.qvf.txt"), "plain");
  const HandOverCounts before = HandOverTotals();
  // While the holder's user types the password, the second file is opened: its process only
  // hands the path over (relative to its own folder) and ends without decrypting anything.
  // A file the holder would refuse is not sent: its process tells its user why.
  int sender = -1;
  ui_.whileFirstDialogWaits = [&] {
    sender = RunInChild([&] {
      if (chdir(dir_.c_str()) != 0) return 9;
      if (DllShellInterface("second.txt.qvf") != 0) return 2;
      if (GetLastError() != ERROR_SUCCESS) return 3;
      if (Present(P("second.txt"))) return 4;
      ui_.AnswerMessageBox(IDOK);
      if (DllShellInterface("plain.qvf.txt") != 0) return 5;
      if (GetLastError() != static_cast<DWORD>(ERROR_BAD_PATHNAME)) return 6;
      const auto boxes = ui_.MessageBoxes();
      if (boxes.size() != 1) return 7;
      if (boxes[0].text !=
          P("plain.qvf.txt") + "\n\n" + LoadStringText(MessageIdForStatus(StatusNotEncryptedFile)))
        return 8;
      return 0;
    });
  };
  AnswerPassword();
  EXPECT_EQ(DllShellInterface(first.c_str()), 0);
  EXPECT_EQ(sender, 0);
  EXPECT_EQ(ReadTextFile(P("first.txt")), "one");
  EXPECT_EQ(ReadTextFile(P("second.txt")), "two");
  EXPECT_EQ(HandOverTotals().accepted - before.accepted, 1u);
  EXPECT_EQ(HandOverTotals().dropped - before.dropped, 0u);
  // One dialog for both, one verification, and only the holder's own file opened.
  const auto dialogs = ui_.Closed(IDD_PROGRESS);
  ASSERT_EQ(dialogs.size(), 3u);
  ASSERT_NE(dialogs.back().state.Control(IDC_PROGRESS_LIST), nullptr);
  EXPECT_EQ(dialogs.back().state.Control(IDC_PROGRESS_LIST)->items.size(), 2u);
  EXPECT_EQ(ui_.Closed(kPasswordDialogId).size(), 3u);
  EXPECT_EQ(Opened(1), std::vector<std::string>{P("first.txt")});
  Sleep(200);
  EXPECT_EQ(Opened(1).size(), 1u);
}

TEST_F(OperationEntryPointsTest, NothingIsOpenedWhenAnItemOfTheListFails) {
  const std::string good = Encrypted("good.txt", "fine");
  const std::string broken = P("broken.qvf");
  WriteTextFile(broken, "damaged");
  ui_.whileFirstDialogWaits = [&] {
    EXPECT_EQ(RunInChild([&] { return static_cast<int>(SendPathsToRoleHolder({broken})); }), 1);
  };
  AnswerPassword();
  ui_.PressButton(IDD_PROGRESS, IDCANCEL);
  EXPECT_EQ(DllShellInterface(good.c_str()), 0);
  const std::vector<QvAuditEntry> audit = Audit();
  ASSERT_EQ(audit.size(), 2u);
  EXPECT_EQ(audit[1].path, good);
  EXPECT_EQ(audit[1].result, kAuditResultFailure);
  // The opener would have been started before the export returned; give it time to note it.
  Sleep(300);
  EXPECT_FALSE(Present(opened_));
}

TEST(OperationEntryPointsExportTest, TheSuitesProgramsFindBothByTheirCNames) {
  void* library = dlopen(QV_PRODUCT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  using EncryptDecryptFn = int (*)(const char*, unsigned int);
  using ShellInterfaceFn = int (*)(const char*);
  auto encryptDecrypt = reinterpret_cast<EncryptDecryptFn>(dlsym(library, "DllDoEncryptDecrypt"));
  auto shellInterface = reinterpret_cast<ShellInterfaceFn>(dlsym(library, "DllShellInterface"));
  ASSERT_NE(encryptDecrypt, nullptr);
  ASSERT_NE(shellInterface, nullptr);
  EXPECT_EQ(encryptDecrypt(nullptr, 1), 0);
  EXPECT_EQ(shellInterface(""), 0);
  dlclose(library);
}

}  // namespace
