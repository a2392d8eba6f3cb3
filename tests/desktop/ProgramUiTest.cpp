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
#include <utility>
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
  const std::vector<std::string> left(argv.begin(), argv.begin() + argc);
  // After "--" everything is a word, "--ui" included.
  EXPECT_EQ(left, (std::vector<std::string>{"prog", "a", "b", "--", "--ui", "terminal"}));
  EXPECT_EQ(argv[argc], nullptr);

  // A kind it does not know, or none at all: refused and said why.
  for (std::vector<std::string> bad : {std::vector<std::string>{"prog", "--ui", "windows"},
                                       std::vector<std::string>{"prog", "--ui"}}) {
    std::vector<char*> badArgv;
    for (std::string& word : bad) badArgv.push_back(word.data());
    badArgv.push_back(nullptr);
    argc = static_cast<int>(bad.size());
    error.clear();
    EXPECT_EQ(TakeUiOption(&argc, badArgv.data(), &error), std::nullopt) << bad.size();
    EXPECT_FALSE(error.empty());
    if (bad.size() == 3) {
      EXPECT_EQ(error, "--ui takes desktop, terminal or none");
    } else {
      EXPECT_EQ(argc, 1);
    }
  }
}

TEST(ProgramUiTest, TheDesktopIsChosenForADisplayWithoutATerminalUnlessSaidOtherwise) {
  // Each variable: a value, or null for unset. A QV_UI that names no kind is ignored, with a
  // note.
  const struct {
    const char *qvUi, *display, *wayland;
    UiKind chosen;
  } cases[] = {
      {nullptr, ":5", nullptr, UiKind::Desktop},
      {nullptr, nullptr, "wayland-0", UiKind::Desktop},
      {nullptr, nullptr, nullptr, UiKind::Terminal},
      {"none", ":5", nullptr, UiKind::None},
      {"gtk", ":5", nullptr, UiKind::Desktop},
  };
  for (const auto& c : cases) {
    const int chosen = ChosenInDetachedChild([&c] {
      for (const auto& [name, value] : {std::pair{"QV_UI", c.qvUi}, std::pair{"DISPLAY", c.display},
                                        std::pair{"WAYLAND_DISPLAY", c.wayland}})
        if (value != nullptr)
          setenv(name, value, 1);
        else
          unsetenv(name);
    });
    EXPECT_EQ(chosen, static_cast<int>(c.chosen))
        << (c.qvUi ? c.qvUi : "-") << " " << (c.display ? c.display : "-") << " "
        << (c.wayland ? c.wayland : "-");
  }
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
