// How programs choose their back end: the --ui option, QV_UI, and the display and terminal the
// program was started with; a desktop whose display cannot be opened gives way.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/ui/desktop/ProgramUi.h"

namespace {

// Runs `choose` in a child without a controlling terminal, with the environment changed by
// `setUp`; the kind it returned.
int ChosenInDetachedChild(const std::function<void()>& setUp) {
  const pid_t child = fork();
  if (child == 0) {
    setsid();  // no controlling terminal from here on
    setUp();
    _exit(static_cast<int>(ChooseUiKind(std::nullopt, nullptr)));
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProgramUiTest, TheUiOptionIsTakenOutOfTheCommandLineInBothSpellings) {
  std::vector<std::string> words = {"prog", "a",  "--ui", "none",    "--ui=desktop",
                                    "b",    "--", "--ui", "terminal"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size());
  std::string error;
  EXPECT_EQ(TakeUiOption(&argc, argv.data(), &error), UiKind::Desktop);  // the last one counts
  EXPECT_EQ(error, "");
  std::vector<std::string> left(argv.begin(), argv.begin() + argc);
  // After "--" everything is a word, "--ui" included.
  EXPECT_EQ(left, (std::vector<std::string>{"prog", "a", "b", "--", "--ui", "terminal"}));
  EXPECT_EQ(argv[argc], nullptr);

  std::vector<std::string> bad = {"prog", "--ui", "windows"};
  std::vector<char*> badArgv;
  for (std::string& word : bad) badArgv.push_back(word.data());
  badArgv.push_back(nullptr);
  argc = 3;
  EXPECT_EQ(TakeUiOption(&argc, badArgv.data(), &error), std::nullopt);
  EXPECT_EQ(error, "--ui takes desktop, terminal or none");

  std::vector<std::string> missing = {"prog", "--ui"};
  std::vector<char*> missingArgv;
  for (std::string& word : missing) missingArgv.push_back(word.data());
  missingArgv.push_back(nullptr);
  argc = 2;
  error.clear();
  EXPECT_EQ(TakeUiOption(&argc, missingArgv.data(), &error), std::nullopt);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(argc, 1);
}

TEST(ProgramUiTest, TheDesktopIsChosenForADisplayWithoutATerminalUnlessSaidOtherwise) {
  const auto desktop = static_cast<int>(UiKind::Desktop);
  const auto terminal = static_cast<int>(UiKind::Terminal);
  const auto none = static_cast<int>(UiKind::None);
  EXPECT_EQ(ChosenInDetachedChild([] {
              unsetenv("QV_UI");
              setenv("DISPLAY", ":5", 1);
            }),
            desktop);
  EXPECT_EQ(ChosenInDetachedChild([] {
              unsetenv("QV_UI");
              unsetenv("DISPLAY");
              setenv("WAYLAND_DISPLAY", "wayland-0", 1);
            }),
            desktop);
  EXPECT_EQ(ChosenInDetachedChild([] {
              unsetenv("QV_UI");
              unsetenv("DISPLAY");
              unsetenv("WAYLAND_DISPLAY");
            }),
            terminal);
  EXPECT_EQ(ChosenInDetachedChild([] {
              setenv("QV_UI", "none", 1);
              setenv("DISPLAY", ":5", 1);
            }),
            none);
  // A QV_UI that names no kind is ignored, with a note.
  EXPECT_EQ(ChosenInDetachedChild([] {
              setenv("QV_UI", "gtk", 1);
              setenv("DISPLAY", ":5", 1);
            }),
            desktop);
  setenv("QV_UI", "gtk", 1);
  std::string note;
  EXPECT_EQ(ChooseUiKind(UiKind::None, &note), UiKind::None);  // the option wins
  (void)ChooseUiKind(std::nullopt, &note);
  EXPECT_NE(note.find("QV_UI=\"gtk\""), std::string::npos) << note;
  unsetenv("QV_UI");
}

TEST(ProgramUiTest, ADisplayThatCannotBeOpenedGivesWayToTheTerminal) {
  {
    ProgramUi ui;
    ASSERT_TRUE(ui.Install("test", UiKind::Desktop));  // the test's own X server
    EXPECT_EQ(ui.Kind(), UiKind::Desktop);
    EXPECT_EQ(CurrentUiBackend(), ui.Desktop());
  }
  EXPECT_EQ(CurrentUiBackend(), nullptr);  // restored

  // A program started for a display that is not there: it says so and goes on without one.
  const std::string folder = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  const std::string errors = ::testing::TempDir() + "/qvdialogs-errors.txt";
  const std::string command = "env DISPLAY=:4711 WAYLAND_DISPLAY= setsid -w '" + folder +
                              "/qvdialogs' --ui desktop </dev/null >/dev/null 2>'" + errors + "'";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  std::ifstream in(errors);
  const std::string said((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(said.find("qvdialogs: cannot open the display \":4711\"; dialogs go to the terminal"),
            std::string::npos)
      << said;
}

}  // namespace
