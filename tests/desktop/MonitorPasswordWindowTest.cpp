// The decrypted-file monitor on a desktop: a save in a file opened from a container needs the
// user verified before it is stored back, and a monitor with no verification of its own asks
// for the password in a window. Everything runs as the suite's own processes: qvx opens the
// file (its password from a file), the opener stand-in saves new bytes, and the monitor, which
// has no password file, shows its window on this test's X server, where the password is typed
// with xdotool. Pictures of the window go to screenshots/desktop/monitor-password*.png.
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "tests/desktop/OtherWindows.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;
using qvtest::Environment;
using qvtest::ProgramRun;
using qvtest::ShellOutput;
using qvtest::ShellQuoted;

class MonitorPasswordWindowTest : public qvtest::ProgramsFixture {
 protected:
  void SetUp() override {
    ProgramsFixture::SetUp();
    if (HasFatalFailure()) return;
    // Enrolment registers the monitor's class; qvx register the class it stores back through.
    ASSERT_EQ(Run("qvenroll", {}).code, 0);
    ASSERT_EQ(Run("qvx", {"register"}).code, 0);
    const std::string box = work_ + "/Box";
    fs::create_directories(box + "/Docs");
    WriteTextFile(box + "/notes.txt", "my notes");
    WriteTextFile(box + "/Docs/deep.txt", "deep");
    const ProgramRun encrypted = Run("qvclient", {"encrypt", box});
    ASSERT_EQ(encrypted.code, 0) << encrypted.out << encrypted.err;
    container_ = box + ".qvef";

    // The user's monitor, running before the view asks for it, as a desktop session starts
    // it: no terminal, no password file, the display of this test.
    monitor_ = std::make_unique<qvtest::Program>(
        root_, "qvmonitor", std::vector<std::string>{"--stay"},
        Env({{"QV_PASSWORD_FILE", std::nullopt}, {"QV_UI", std::nullopt}}));
    ASSERT_TRUE(qvtest::Eventually([&] {
      return ReadTextFile(MonitorState() + "/pid") == std::to_string(monitor_->Pid()) + "\n";
    })) << monitor_->Output();
  }
  void TearDown() override {
    if (monitor_ != nullptr) {
      (void)kill(monitor_->Pid(), SIGTERM);
      (void)monitor_->Wait(10000);
    }
    ProgramsFixture::TearDown();
  }
  // Every program but the monitor: no window of its own, the password from the file.
  Environment Quiet() const {
    return Env({{"QV_UI", "none"},
                {"XDG_DATA_HOME", root_.Sub("data")},
                {"XDG_CONFIG_HOME", root_.Sub("config")},
                {"QV_MONITOR_QUIET_MS", "300"},
                {"QV_MONITOR_UNHELD_MS", "1500"}});
  }
  ProgramRun Run(const std::string& program, const std::vector<std::string>& args) const {
    return qvtest::RunProgram(root_, program, args, Quiet());
  }
  std::string MonitorState() const {
    return std::string(std::getenv("QV_ROOT")) + "/monitor-" + std::to_string(getuid());
  }
  std::vector<std::string> KeptEdits() const {
    std::vector<std::string> kept;
    if (!fs::exists(MonitorState() + "/kept")) return kept;
    // The monitor writes each file under a hidden temporary name first.
    for (const auto& entry : fs::directory_iterator(MonitorState() + "/kept"))
      if (entry.path().extension() != ".record" &&
          !entry.path().filename().string().starts_with("."))
        kept.push_back(ReadTextFile(entry.path()));
    return kept;
  }
  // Opens `inner` with qvx; the opener stand-in saves `edit` into the plain copy and ends.
  std::unique_ptr<qvtest::Program> OpenAndSave(const std::string& inner, const std::string& edit) {
    WriteTextFile(opener_, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> " + openerLog_ + "\nprintf '%s' " +
                               ShellQuoted(edit) + " > \"$1\"\n");
    return std::make_unique<qvtest::Program>(
        root_, "qvx", std::vector<std::string>{"open", container_ + "/" + inner}, Quiet(),
        qvtest::PipedInput{});
  }
  // The X window of the monitor's password window once it shows (the only visible window on
  // this display); 0 when none shows within 30 s.
  unsigned long PasswordWindow() const {
    const std::string id =
        ShellOutput("timeout 30 xdotool search --sync --onlyvisible --name . 2>/dev/null");
    return id.empty() ? 0 : std::stoul(id);
  }
  bool NoWindowWithin(int seconds) const {
    return ShellOutput("timeout " + std::to_string(seconds) +
                       " xdotool search --sync --onlyvisible --name . 2>/dev/null")
        .empty();
  }
  // Keys typed into window `id` after focusing it ("type TEXT", "key Return").
  bool Keys(unsigned long id, const std::string& keys) const {
    const std::string line = "xdotool windowfocus --sync " + std::to_string(id) + " " + keys +
                             " >>" + ShellQuoted(root_.Sub("xdotool.log")) + " 2>&1";
    return std::system(line.c_str()) == 0;
  }
  void Picture(unsigned long window, const std::string& name) const {
    const fs::path folder = fs::path(QV_SCREENSHOT_DIR);
    fs::create_directories(folder);
    const std::string path = (folder / (name + ".png")).string();
    // A window just mapped is black until the toolkit draws its first frame; keys sent
    // before that may be lost too.
    std::string why;
    bool saved = false;
    for (int attempt = 0; attempt < 50; ++attempt) {
      saved = qvtest::SaveXWindowPicture(window, path, &why);
      if (saved && fs::file_size(path) > 3000u) break;
      usleep(100000);
    }
    ASSERT_TRUE(saved) << why;
    EXPECT_GT(fs::file_size(path), 3000u) << "an empty picture: " << path;
  }
  // What a full decryption of a copy of the container gives back.
  std::map<std::string, std::string> Decrypted() {
    const std::string out = work_ + "/check";
    fs::remove_all(out);
    fs::create_directories(out);
    fs::copy_file(container_, out + "/Box.qvef");
    const ProgramRun run = Run("qvclient", {"decrypt", out + "/Box.qvef"});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    return TreeOf(out + "/Box", nullptr);
  }

  std::string container_;
  std::unique_ptr<qvtest::Program> monitor_;
};

// Cancel first (a verification given later lasts for the session, so it would not ask again):
// the edit is kept, never stored and never lost; then the password typed and OK: stored.
TEST_F(MonitorPasswordWindowTest, CancelKeepsTheEditAndThePasswordWithOkStoresIt) {
  std::unique_ptr<qvtest::Program> open = OpenAndSave("notes.txt", "edit cancelled");
  const unsigned long cancelled = PasswordWindow();
  ASSERT_NE(cancelled, 0u) << "the monitor asked nothing: " << monitor_->Output();
  Picture(cancelled, "monitor-password");
  ASSERT_TRUE(Keys(cancelled, "key Escape"));
  EXPECT_TRUE(qvtest::Eventually([&] { return KeptEdits().size() == 1; })) << monitor_->Output();
  EXPECT_EQ(KeptEdits(), std::vector<std::string>{"edit cancelled"});
  EXPECT_TRUE(NoWindowWithin(2)) << "asked again after Cancel";
  open->Send("");
  EXPECT_EQ(open->Wait().code, 0);
  EXPECT_EQ(Decrypted().at("notes.txt"), "my notes") << "stored without a verification";

  open = OpenAndSave("Docs/deep.txt", "deep, edited");
  const unsigned long asked = PasswordWindow();
  ASSERT_NE(asked, 0u) << monitor_->Output();
  Picture(asked, "monitor-password-again");  // drawn, so the keys reach it
  ASSERT_TRUE(Keys(asked, "type --delay 20 " + ShellQuoted(kPassword)));
  Picture(asked, "monitor-password-typed");
  ASSERT_TRUE(Keys(asked, "key Return"));
  // Stored, then the copy goes with its record once the opener has let go of it.
  EXPECT_TRUE(qvtest::Eventually([&] { return fs::is_empty(MonitorState() + "/watch"); }))
      << monitor_->Output();
  EXPECT_EQ(Decrypted().at("Docs/deep.txt"), "deep, edited") << monitor_->Output();
  open->Send("");
  EXPECT_EQ(open->Wait().code, 0);
  EXPECT_EQ(KeptEdits(), std::vector<std::string>{"edit cancelled"}) << "the stored edit kept";
  EXPECT_EQ(Decrypted().at("notes.txt"), "my notes");
}

}  // namespace
