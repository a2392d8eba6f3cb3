// What a double-click on an encrypted file does on a desktop, without a file manager: the
// desktop files registration wrote lead `gio open` to Qvshella, which asks for the password in
// a window; the password is typed into it as keys, and the decrypted file's path reaches the
// desktop's opener.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/desktop/OtherWindows.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using namespace qvtest;

class DoubleClickTest : public ProgramsFixture {};

TEST_F(DoubleClickTest, GioOpenAsksForThePasswordInAWindowAndOpensTheDecryptedFile) {
  // Enrolled and encrypted without any window.
  ASSERT_EQ(RunProgram(root_, "qvenroll", {}, Env({{"QV_UI", "none"}})).code, 0);
  const std::string plain = work_ + "/note.txt";
  WriteTextFile(plain, "a note");
  const ProgramRun encrypted =
      RunProgram(root_, "qvclient", {"encrypt", plain}, Env({{"QV_UI", "none"}}));
  ASSERT_EQ(encrypted.code, 0) << encrypted.out << encrypted.err;
  const Environment xdg = {{"XDG_DATA_HOME", root_.Sub("data")},
                           {"XDG_CONFIG_HOME", root_.Sub("config")}};
  const ProgramRun registered = RunProgram(root_, "qvx", {"register"}, xdg);
  ASSERT_EQ(registered.code, 0) << registered.err;

  // As a file manager starts it: no terminal, no password file, the desktop's own choice.
  const std::string log = root_.Sub("gio.log");
  const std::string open =
      "env -u QV_PASSWORD_FILE -u QV_UI XDG_DATA_HOME=" + ShellQuoted(root_.Sub("data")) +
      " XDG_CONFIG_HOME=" + ShellQuoted(root_.Sub("config")) +
      " QV_OPEN_COMMAND=" + ShellQuoted(opener_) + " setsid -w gio open " +
      ShellQuoted(plain + ".qvf") + " </dev/null >" + ShellQuoted(log) + " 2>&1";
  ASSERT_EQ(std::system(open.c_str()), 0) << ReadTextFile(log);

  // The password window of Qvshella appears (the only window of this test's own X server);
  // the password is typed into it.
  const std::string type =
      "timeout 30 xdotool search --sync --onlyvisible --name . windowfocus --sync "
      "type --delay 30 " +
      ShellQuoted(kPassword) + " >>" + ShellQuoted(log) + " 2>&1 && xdotool key Return >>" +
      ShellQuoted(log) + " 2>&1";
  ASSERT_EQ(std::system(type.c_str()), 0) << ReadTextFile(log);

  ASSERT_TRUE(Eventually([&] { return ReadTextFile(openerLog_) == plain + "\n"; }))
      << ReadTextFile(openerLog_) << ReadTextFile(log);
  EXPECT_EQ(ReadTextFile(plain), "a note");
}

}  // namespace
