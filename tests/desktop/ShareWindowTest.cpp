// qvx share on a desktop: the registered handler's Sharing item run as qvx share runs it, with
// the dialog as a window holding the sharing page, for a file qvx itself encrypted. The user's
// password goes into the password window, bob is added in the page, and the change is read
// back from the file through the library. qvx's own choice of the window is checked as a
// process.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>

#include "base/SuiteServices.h"
#include "host/ExitCodes.h"
#include "host/SharingItem.h"
#include "platform/Kernel.h"
#include "platform/Owned.h"
#include "sharing/CSelectUsers.h"
#include "suite/QvDialogIds.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/desktop/DesktopSession.h"
#include "tests/desktop/SharingPage.h"
#include "tests/suite/QvfTestSupport.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace page_test;
using qvtest::RunProgram;

constexpr int kWaitMs = 60000;
constexpr const char* kUserCount =
    "return document.getElementById('Quorvin_CmbUsers').options.length;";

class ShareWindowTest : public qvtest::ProgramsFixture {
 protected:
  void SetUp() override {
    ProgramsFixture::SetUp();
    ASSERT_EQ(RunProgram(root_, "qvx", {"register"}, Env(Xdg())).code, 0);
    ASSERT_EQ(RunProgram(root_, "qvenroll", {}, Env()).code, 0);
    // bob, another account of this computer, with a key pair of his own.
    ASSERT_EQ(qvtest::EnrollSharingPeer("bob", qvtest::User::Make("bob").PublicOnly()),
              QvStoreStatus::Ok);
    const std::string plain = root_.Sub("plan.txt");
    WriteTextFile(plain, "the plan");
    const HeldMutex running(suite_.Get());
    ASSERT_EQ(RunProgram(root_, "qvx", {"menu", "--run", "QVEncryptCMD", "--", plain}, Env()).code,
              0);
    qvf_ = plain + ".qvf";
    ASSERT_TRUE(fs::exists(qvf_));
    owner_ = qvtest::FileUsers(qvf_);
    ASSERT_EQ(owner_.size(), 1u);
  }
  qvtest::Environment Xdg() const {
    return {{"XDG_DATA_HOME", root_.Sub("data")}, {"XDG_CONFIG_HOME", root_.Sub("config")}};
  }

  const OwnedHandle suite_{CreateMutexA(nullptr, FALSE, kSuiteRunningMutex)};
  std::string qvf_;
  std::vector<std::string> owner_;
};

TEST_F(ShareWindowTest, BobAddedInTheWindowsPageIsStoredInTheFile) {
  DesktopSession desktop;
  ASSERT_TRUE(desktop);
  int code = -1;
  std::thread sharing([&] {
    const HeldMutex running(suite_.Get());
    code = RunSharingItem(qvf_);
  });
  // The user's verification comes first, in its own window.
  const HWND prompt = AwaitDialog(kPasswordDialogId, kWaitMs);
  ASSERT_NE(prompt, nullptr) << "the password window never showed";
  ASSERT_TRUE(desktop->WaitForWindow(prompt, kWaitMs));
  ASSERT_TRUE(desktop->Type(prompt, kPasswordEditId, kPassword));
  ASSERT_TRUE(desktop->Click(prompt, IDOK));

  const HWND dialog = AwaitDialog(IDD_SELECT_USERS, kWaitMs);
  bool clickedOk = false;
  if (dialog != nullptr && desktop->WaitForPage(dialog, kWaitMs)) {
    std::string last;
    EXPECT_TRUE(AwaitScript(&*desktop, dialog, kUserCount, "1", &last)) << last;
    TypeIn(&*desktop, dialog, kElementUserName, "bob");
    ClickButton(&*desktop, dialog, kElementAddUser);
    EXPECT_TRUE(AwaitScript(&*desktop, dialog, kUserCount, "2", &last)) << last;
    Screenshot(*desktop, dialog, "share-window", 20000);
    ClickButton(&*desktop, dialog, kElementOK);
    clickedOk = true;
  }
  if (!clickedOk && dialog != nullptr) (void)desktop->RequestClose(dialog);
  sharing.join();
  ASSERT_TRUE(clickedOk) << "the sharing window or its page never showed";
  EXPECT_EQ(code, kExitOk);
  EXPECT_EQ(qvtest::FileUsers(qvf_), (std::vector<std::string>{owner_[0], "bob"}));
}

// qvx itself: --add and --remove are the user only without a window, and a sharing window
// closed without OK leaves the item's users as they were (qvx prints them and ends with 0).
TEST_F(ShareWindowTest, QvxShareChoosesTheWindowAndAWindowClosedChangesNothing) {
  qvtest::ProgramRun run =
      RunProgram(root_, "qvx", {"share", "--ui", "desktop", "--add", "bob", qvf_}, Env(Xdg()));
  EXPECT_EQ(run.code, kExitUsage) << run.err;
  EXPECT_NE(run.err.find("without a window"), std::string::npos) << run.err;
  EXPECT_EQ(RunProgram(root_, "qvx", {"share", "--ui", "paper", qvf_}, Env()).code, kExitUsage);

  const HeldMutex running(suite_.Get());
  qvtest::Environment env = Env(Xdg());
  env.emplace_back("QV_UI", "desktop");
  qvtest::Program qvx(root_, "qvx", {"share", qvf_}, env);
  // The password comes from the password file; the sharing window is the only window of this
  // test's X server. Escape in it is Cancel.
  const std::string log = root_.Sub("xdotool.log");
  bool ended = false;
  for (int attempt = 0; attempt < 10 && !ended; ++attempt) {
    (void)std::system(("timeout 20 xdotool search --sync --onlyvisible --name . windowfocus "
                       "--sync key Escape >>" +
                       log + " 2>&1")
                          .c_str());
    for (int i = 0; i < 20 && !ended; ++i) {
      ended = qvx.Ended();
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  EXPECT_TRUE(ended) << "qvx share did not end when its window was closed: " << ReadTextFile(log);
  run = qvx.Wait();
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_NE(run.out.find("Users who may open " + qvf_ + ":\n  " + owner_[0] + "\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(qvtest::FileUsers(qvf_), owner_);
}

}  // namespace
