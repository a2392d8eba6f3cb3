// qvenroll run as its own process, as a user or a script runs it without a terminal:
// enrollment from a password file or standard input, refusals that say what to do, the
// edition, --list and --remove (its help and usage mistakes: ProductProgramsTest).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sodium.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Guid.h"
#include "suite/QvKeyBlob.h"
#include "suite/QvUserApi.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using namespace qvtest;

class EnrollProgramTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    passwordFile_ = root_.Sub("password");
    WriteTextFile(passwordFile_, "enroll pw\n");
    ASSERT_EQ(chmod(passwordFile_.c_str(), 0600), 0);
  }
  ProgramRun Enroll(const std::vector<std::string>& args, const std::string& input = "") {
    return RunProgram(root_, "qvenroll", args, {{"QV_PASSWORD_FILE", passwordFile_}}, input);
  }
  // What the store holds about `id`, read in this process.
  bool Find(const std::string& id, QvUserInfo* info) {
    QvUserStore store;
    return store.Open() == QvStoreStatus::Ok && store.FindUserById(id, info) == QvStoreStatus::Ok;
  }

  std::string passwordFile_;
};

TEST_F(EnrollProgramTest, EnrollsTheCurrentUserWithAPasswordAndADefaultKey) {
  const ProgramRun run = Enroll({});
  ASSERT_EQ(run.code, 0) << run.err;
  const QvAccount account = QvCurrentAccount();
  QvUserInfo info;
  ASSERT_TRUE(Find(account.suggestedUserId, &info));
  EXPECT_EQ(info.userName, account.userName);
  EXPECT_EQ(info.accountType, QvAccountType::Computer);
  EXPECT_EQ(info.defaultKey, account.suggestedUserId);
  EXPECT_NE(run.out.find(info.userId), std::string::npos) << run.out;

  // The password given protects the key: it opens the master key, which opens the secret.
  QvUserStore store;
  ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
  QvMasterKey masterKey;
  ASSERT_EQ(store.UnlockMasterKey(info.userId, "enroll pw", &masterKey), QvStoreStatus::Ok);
  QvKey key;
  ASSERT_EQ(store.ReadKey(info.userId, "", &masterKey, &key), QvStoreStatus::Ok);
  EXPECT_EQ(key.label, "DefaultKey");
  bool hasSecret = false;
  EXPECT_TRUE(IsKeyBlob(key.blob.data(), key.blob.size(), &hasSecret));
  EXPECT_TRUE(hasSecret);

  const ProgramRun again = Enroll({});
  EXPECT_EQ(again.code, 3);
  EXPECT_NE(again.err.find("--remove"), std::string::npos) << again.err;
  const ProgramRun list = RunProgram(root_, "qvenroll", {"--list"});
  EXPECT_EQ(list.code, 0);
  EXPECT_NE(list.out.find(info.userId), std::string::npos);
  EXPECT_NE(list.out.find("standard (0)"), std::string::npos);
  EXPECT_NE(list.out.find("machine"), std::string::npos);
}

TEST_F(EnrollProgramTest, WithoutATerminalItNeverWaitsForAPassword) {
  // No password file and nothing on standard input: refused at once with what to do next.
  ProgramRun run =
      RunProgram(root_, "qvenroll", {"--user", "dave"}, {{"QV_PASSWORD_FILE", std::nullopt}});
  EXPECT_EQ(run.code, 4);
  EXPECT_NE(run.err.find("QV_PASSWORD_FILE"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("--password-stdin"), std::string::npos) << run.err;

  ASSERT_EQ(chmod(passwordFile_.c_str(), 0644), 0);
  run = Enroll({"--user", "dave"});
  EXPECT_EQ(run.code, 4);
  EXPECT_NE(run.err.find("chmod 600"), std::string::npos) << run.err;

  run = RunProgram(root_, "qvenroll", {"--user", "dave", "--password-stdin"},
                   {{"QV_PASSWORD_FILE", std::nullopt}}, "");
  EXPECT_EQ(run.code, 4);
  QvUserInfo info;
  EXPECT_FALSE(Find("dave", &info));

  run = RunProgram(root_, "qvenroll", {"--user", "dave", "--password-stdin"},
                   {{"QV_PASSWORD_FILE", std::nullopt}}, "stdin pw\n");
  ASSERT_EQ(run.code, 0) << run.err;
  ASSERT_TRUE(Find("dave", &info));
  EXPECT_EQ(info.userName, ".\\dave");
  QvUserStore store;
  ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
  QvMasterKey masterKey;
  EXPECT_EQ(store.UnlockMasterKey("dave", "stdin pw", &masterKey), QvStoreStatus::Ok);
}

TEST_F(EnrollProgramTest, SentivoEditionKeysAreNamedByGuid) {
  ProgramRun run = Enroll({"--edition", "sentivo"});
  ASSERT_EQ(run.code, 0) << run.err;
  run = Enroll({"--user", "erin", "--suite-account", "--id", "erin.s", "--display-name", "Erin S"});
  ASSERT_EQ(run.code, 0) << run.err;
  QvUserInfo info;
  ASSERT_TRUE(Find("erin.s", &info));
  EXPECT_EQ(info.userName, "erin");
  EXPECT_EQ(info.displayName, "Erin S");
  EXPECT_EQ(info.accountType, QvAccountType::Suite);
  EXPECT_TRUE(ParseGuid(info.defaultKey).has_value()) << info.defaultKey;
  EXPECT_NE(RunProgram(root_, "qvenroll", {"--list"}).out.find("sentivo (54)"), std::string::npos);
  EXPECT_EQ(Enroll({"--user", "CORP\\erin", "--suite-account"}).code, 1);
  // The id is taken, whatever its letter case.
  run = Enroll({"--user", "frank", "--id", "ERIN.S"});
  EXPECT_EQ(run.code, 3);
  EXPECT_NE(run.err.find("--id"), std::string::npos) << run.err;
}

TEST_F(EnrollProgramTest, RemoveNeedsConfirmationWithoutATerminal) {
  ASSERT_EQ(Enroll({"--user", "gina"}).code, 0);
  ProgramRun run = Enroll({"--remove", "gina"});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("--yes"), std::string::npos) << run.err;
  QvUserInfo info;
  EXPECT_TRUE(Find("gina", &info));
  run = Enroll({"--remove", ".\\GINA", "--yes"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_FALSE(Find("gina", &info));
  EXPECT_EQ(Enroll({"--remove", "gina", "--yes"}).code, 3);

  QvUserStore store;
  ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
  QvUserInfo machine;
  ASSERT_EQ(store.MachineAccount(&machine), QvStoreStatus::Ok);
  EXPECT_EQ(Enroll({"--remove", machine.userId, "--yes"}).code, 3);
}

TEST_F(EnrollProgramTest, UnusableStoreIsReported) {
  // A machine root that is a file cannot hold the store.
  const std::string blocked = root_.Sub("blocked");
  WriteTextFile(blocked, "not a folder");
  const ProgramRun run = RunProgram(root_, "qvenroll", {"--list"}, {{"QV_ROOT", blocked}});
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.err.find("user store"), std::string::npos) << run.err;
}

}  // namespace
