// qvx share as a program: the registered handler's Sharing item run for a file qvx itself
// encrypted, the options applied as the user's clicks, and the list it prints checked against
// the one the library reads from the file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "base/SuiteServices.h"
#include "platform/Kernel.h"
#include "platform/Owned.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/suite/QvfTestSupport.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;
using qvtest::RunProgram;

class ShareCommandTest : public RootedTest {
 protected:
  qvtest::Environment Env() {
    return {{"XDG_DATA_HOME", root_.Sub("data")}, {"XDG_CONFIG_HOME", root_.Sub("config")}};
  }
};

TEST_F(ShareCommandTest, AddsAndRemovesThroughTheMenuAndPrintsWhatTheLibraryHolds) {
  const std::string plain = root_.Sub("plan.txt");
  WriteTextFile(plain, "the plan");
  // Before registration there is no handler to ask, and usage mistakes are told apart.
  qvtest::ProgramRun run = RunProgram(root_, "qvx", {"share", plain}, Env());
  EXPECT_EQ(run.code, 2) << run.err;
  EXPECT_NE(run.err.find("no encrypted file"), std::string::npos) << run.err;
  EXPECT_EQ(RunProgram(root_, "qvx", {"share", "--add"}, Env()).code, 2);
  EXPECT_EQ(RunProgram(root_, "qvx", {"share", "--bogus", plain}, Env()).code, 2);

  ASSERT_EQ(RunProgram(root_, "qvx", {"register"}, Env()).code, 0);
  const std::string passwordFile = root_.Sub("password");
  WriteTextFile(passwordFile, "share pw\n");
  chmod(passwordFile.c_str(), 0600);
  qvtest::Environment env = Env();
  env.emplace_back("QV_PASSWORD_FILE", passwordFile);
  ASSERT_EQ(RunProgram(root_, "qvenroll", {}, env).code, 0);
  // bob, another account of this computer, with a key pair of his own.
  ASSERT_EQ(qvtest::EnrollSharingPeer("bob", qvtest::User::Make("bob").PublicOnly()),
            QvStoreStatus::Ok);

  const OwnedHandle suite(CreateMutexA(nullptr, TRUE, kSuiteRunningMutex));
  ASSERT_TRUE(suite.Valid());
  const HeldMutex running(suite.Get());
  ASSERT_EQ(RunProgram(root_, "qvx", {"menu", "--run", "QVEncryptCMD", "--", plain}, env).code, 0);
  const std::string qvf = plain + ".qvf";
  ASSERT_TRUE(fs::exists(qvf));
  const std::vector<std::string> owner = qvtest::FileUsers(qvf);
  ASSERT_EQ(owner.size(), 1u);

  run = RunProgram(root_, "qvx", {"share", "--add", "bob", "--add", "nobody", qvf}, env);
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_EQ(qvtest::FileUsers(qvf), (std::vector<std::string>{owner[0], "bob"}));
  EXPECT_NE(run.out.find("Users who may open " + qvf + ":\n  " + owner[0] + "\n  bob\n"),
            std::string::npos)
      << run.out;
  // The unknown name was refused, and the output says so.
  EXPECT_NE(run.out.find("could not be found"), std::string::npos) << run.out;

  run = RunProgram(root_, "qvx", {"share", "--remove", "bob", "--", qvf}, env);
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_EQ(qvtest::FileUsers(qvf), owner);
  EXPECT_EQ(run.out.find("  bob\n"), std::string::npos) << run.out;
}

}  // namespace
