// qvx as a container browser: how a path through a container is split, how session lines and
// key names are read, and qvx ls / session / browse run as programs over a container that
// qvx's own context menu encrypted, with the password from QV_PASSWORD_FILE.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "base/SuiteServices.h"
#include "host/BrowsePaths.h"
#include "host/ExitCodes.h"
#include "platform/Owned.h"
#include "platform/ui/Accelerators.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;
using qvtest::RunProgram;

TEST(BrowsePathsTest, APathSplitsAtItsFirstContainer) {
  const auto isContainer = [](const std::string& prefix) { return prefix.ends_with(".qvef"); };
  const struct {
    const char* path;
    const char* container;  // null: refused
    const char* inner;
  } cases[] = {
      {"/home/u/Box.qvef/Docs/Sub", "/home/u/Box.qvef", "\\Docs\\Sub"},
      {"/home/u/Box.qvef", "/home/u/Box.qvef", ""},
      {"/home/u/Box.qvef/", "/home/u/Box.qvef", ""},
      {"//home/./u/Box.qvef//Docs/./", "/home/u/Box.qvef", "\\Docs"},
      {"Box.qvef/Docs", "Box.qvef", "\\Docs"},
      {"/a/Outer.qvef/In.qvef/x", "/a/Outer.qvef", "\\In.qvef\\x"},
      {"/home/u/Box.qvef/../etc", nullptr, nullptr},
      {"/home/u/Box.qvef/a\\b", nullptr, nullptr},
      {"/home/u/plain/Docs", nullptr, nullptr},
      {"", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    ContainerPlace place;
    const bool split = SplitContainerPath(c.path, isContainer, &place);
    ASSERT_EQ(split, c.container != nullptr) << c.path;
    if (!split) continue;
    EXPECT_EQ(place.container, c.container) << c.path;
    EXPECT_EQ(place.inner, c.inner) << c.path;
  }
}

TEST(BrowsePathsTest, SessionLinesAndKeyNames) {
  SessionCommand command;
  std::string error;
  EXPECT_TRUE(ParseSessionCommand("  cd  /x/Box.qvef/My Docs ", &command, &error));
  EXPECT_EQ(command.kind, SessionCommand::Kind::Cd);
  EXPECT_EQ(command.argument, "/x/Box.qvef/My Docs");
  EXPECT_TRUE(ParseSessionCommand("menu 32778", &command, &error));
  EXPECT_EQ(command.number, 32778u);
  EXPECT_FALSE(ParseSessionCommand("# a comment", &command, &error));
  EXPECT_TRUE(error.empty());
  EXPECT_FALSE(ParseSessionCommand("", &command, &error));
  EXPECT_TRUE(error.empty());
  for (const char* bad :
       {"menu 0", "menu 70000", "menu 12x", "ls now", "cd", "key Hyper+Q", "delete everything"}) {
    EXPECT_FALSE(ParseSessionCommand(bad, &command, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }

  unsigned short key = 0;
  unsigned char modifiers = 0;
  ASSERT_TRUE(ParseKeyName("shift+Delete", &key, &modifiers));
  EXPECT_EQ(key, VK_DELETE);
  EXPECT_EQ(modifiers, FSHIFT);
  ASSERT_TRUE(ParseKeyName("Ctrl+a", &key, &modifiers));
  EXPECT_EQ(key, 'A');
  EXPECT_EQ(modifiers, FCONTROL);
  ASSERT_TRUE(ParseKeyName("Ctrl+Shift+x", &key, &modifiers));
  EXPECT_EQ(key, 'X');
  EXPECT_EQ(modifiers, FCONTROL | FSHIFT);
  EXPECT_FALSE(ParseKeyName("Ctrl+", &key, &modifiers));
  EXPECT_FALSE(ParseKeyName("Enterprise", &key, &modifiers));
}

class BrowseCommandTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(RunProgram(root_, "qvx", {"register"}, Env()).code, 0);
    const std::string passwordFile = root_.Sub("password");
    WriteTextFile(passwordFile, "browse pw\n");
    chmod(passwordFile.c_str(), 0600);
    env_ = Env();
    env_.emplace_back("QV_PASSWORD_FILE", passwordFile);
    ASSERT_EQ(RunProgram(root_, "qvenroll", {}, env_).code, 0);
    fs::create_directories(root_.Sub("Box/Docs/Sub"));
    fs::create_directories(root_.Sub("Box/Empty"));
    WriteTextFile(root_.Sub("Box/report.txt"), "hello");
    WriteTextFile(root_.Sub("Box/Docs/data.bin"), std::string(1025, 'd'));
    WriteTextFile(root_.Sub("Box/Docs/Sub/deep.txt"), "deep");
    {
      const OwnedHandle suite(CreateMutexA(nullptr, TRUE, kSuiteRunningMutex));
      ASSERT_TRUE(suite.Valid());
      const HeldMutex running(suite.Get());
      const qvtest::ProgramRun run =
          RunProgram(root_, "qvx", {"menu", "--run", "QVEncryptCMD", "--", root_.Sub("Box")}, env_);
      ASSERT_EQ(run.code, 0) << run.err;
    }
    container_ = root_.Sub("Box.qvef");
    ASSERT_TRUE(fs::exists(container_));
  }
  qvtest::Environment Env() {
    return {{"XDG_DATA_HOME", root_.Sub("data")}, {"XDG_CONFIG_HOME", root_.Sub("config")}};
  }

  qvtest::Environment env_;
  std::string container_;
};

TEST_F(BrowseCommandTest, LsPrintsTheRowsOfTheViewOfAnyFolderOnThePath) {
  qvtest::ProgramRun run = RunProgram(root_, "qvx", {"ls", "--tsv", container_}, env_);
  ASSERT_EQ(run.code, 0) << run.err;
  const std::string root = run.out;
  // Folders first, then files, each by name.
  EXPECT_EQ(root.find("Docs\t0 KB\tFolder\t"), 0u) << root;
  EXPECT_LT(root.find("\nEmpty\t0 KB\tFolder\t"),
            root.find("\nreport.txt\t1 KB\tPlain text document\t"))
      << root;

  run = RunProgram(root_, "qvx", {"ls", "--tsv", container_ + "/Docs/"}, env_);
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out.find("Sub\t0 KB\tFolder\t"), 0u) << run.out;
  EXPECT_NE(run.out.find("\ndata.bin\t2 KB\t"), std::string::npos) << run.out;
  run = RunProgram(root_, "qvx", {"ls", container_ + "/Docs/Sub"}, env_);
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out.find("deep.txt  1 KB  Plain text document"), 0u) << run.out;
  run = RunProgram(root_, "qvx", {"ls", container_ + "/Empty"}, env_);
  EXPECT_EQ(run.code, 0) << "an empty folder is no failure: " << run.err;
  EXPECT_EQ(run.out, "");

  // A wrong password is told apart from an empty folder: nothing listed, its own code and
  // what to do.
  const std::string wrong = root_.Sub("wrong");
  WriteTextFile(wrong, "not it\n");
  chmod(wrong.c_str(), 0600);
  qvtest::Environment wrongEnv = Env();
  wrongEnv.emplace_back("QV_PASSWORD_FILE", wrong);
  for (const std::string& place : {container_, container_ + "/Empty"}) {
    run = RunProgram(root_, "qvx", {"ls", "--tsv", place}, wrongEnv);
    EXPECT_EQ(run.code, kExitRefused) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("not verified for " + container_), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("QV_PASSWORD_FILE"), std::string::npos) << run.err;
  }

  const struct {
    std::vector<std::string> args;
    int code;
    const char* message;
  } refusals[] = {
      {{"ls"}, 2, "usage: qvx ls"},
      {{"ls", "--bogus", container_}, 2, "unexpected argument"},
      {{"ls", root_.Sub("password/x")}, 4, "qvx register"},
      {{"ls", root_.Sub("Box.qvef.none/x")}, kExitNotFound, "no such file or folder"},
      {{"ls", root_.Sub("nowhere/deeper/Box.qvef")}, kExitNotFound, "no such file or folder"},
      {{"ls", container_ + "/Nope"}, kExitNotFound, "no folder \"Nope\""},
      {{"ls", container_ + "/Docs/Nope/Sub"}, kExitNotFound, "no folder \"Nope\""},
      {{"ls", container_ + "/report.txt"}, kExitNotFound, "a file has that name"},
      {{"ls", container_ + "/../Box.qvef"}, 4, "does not run through"},
      {{"browse", container_}, 2, "needs a terminal"},
      {{"session", root_.Sub("no-script")}, 2, "cannot read"},
  };
  for (const auto& c : refusals) {
    run = RunProgram(root_, "qvx", c.args, env_);
    EXPECT_EQ(run.code, c.code) << c.args.back() << ": " << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
}

TEST_F(BrowseCommandTest, ASessionKeepsItsViewAcrossCommands) {
  const std::string script = "cd " + container_ +
                             "\n"
                             "ls\n"
                             "cd Docs\n"
                             "toolbar\n"
                             "select data.bin\n"
                             "toolbar\n"
                             "key Ctrl+A\n"
                             "ls\n"
                             "key Ctrl+Q\n"
                             "menu 510\n"
                             "toolbar\n"
                             "cd Sub\n"
                             "ls\n"
                             "cd ..\n"
                             "cd ..\n"
                             "cd Nowhere\n"
                             "select 9\n"
                             "quit\n"
                             "ls\n";
  const qvtest::ProgramRun run = RunProgram(root_, "qvx", {"session"}, env_, script);
  EXPECT_EQ(run.code, 1) << "the failed commands count: " << run.err;
  const std::string expected = "# " + container_ +
                               "\n"
                               " Docs\t0 KB\tFolder\t\n"
                               " Empty\t0 KB\tFolder\t\n"
                               " report.txt\t1 KB\tPlain text document\t\n"
                               "# " +
                               container_ +
                               "/Docs\n"
                               "1100:off 512:off 1101:off 508:on 509:on 510:on 511:on*\n"
                               "1100:on 512:on 1101:on 508:on 509:on 510:on 511:on*\n"
                               "taken\n"
                               "*Sub\t0 KB\tFolder\t\n"
                               "*data.bin\t2 KB\tUnknown\t\n"
                               "not a key of the view\n"
                               "1100:on 512:on 1101:on 508:on 509:on 510:on* 511:on\n"
                               "# " +
                               container_ +
                               "/Docs/Sub\n"
                               " deep.txt\t1 KB\tPlain text document\t\n"
                               "# " +
                               container_ +
                               "/Docs\n"
                               "# " +
                               container_ + "\n";
  // Dates depend on the moment the container was made: compare without them.
  std::string out;
  for (size_t at = 0; at < run.out.size();) {
    const size_t end = run.out.find('\n', at);
    std::string line = run.out.substr(at, end - at);
    const size_t lastTab = line.rfind('\t');
    if (lastTab != std::string::npos && line.find('\t') != lastTab) line.erase(lastTab + 1);
    out += line + "\n";
    at = end + 1;
  }
  EXPECT_EQ(out, expected);
  EXPECT_NE(run.err.find("no item named \"Nowhere\""), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("select: no row 9"), std::string::npos) << run.err;
}

// Runs tmux with `args` on the test's own server socket; its standard output.
std::string Tmux(const std::string& socket, std::vector<std::string> args) {
  args.insert(args.begin(), {"tmux", "-S", socket});
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return "<no pipe>";
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp("tmux", argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string out;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
    out.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return out;
}

// Captures the pane until `text` shows (20 s at most); the last screen.
std::string ScreenShowing(const std::string& socket, const std::string& text) {
  std::string screen;
  for (int i = 0; i < 200; ++i) {
    screen = Tmux(socket, {"capture-pane", "-p", "-t", "qvx"});
    if (screen.find(text) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return screen;
}

TEST_F(BrowseCommandTest, BrowseInATerminalMovesEntersAndGoesUp) {
  const std::string socket = root_.Sub("tmux.sock");
  std::vector<std::string> command = {"new-session", "-d", "-s", "qvx", "-x",
                                      "120",         "-y", "30", "env"};
  for (const char* name : {"QV_ROOT", "XDG_RUNTIME_DIR", "TMPDIR"})
    command.push_back(std::string(name) + "=" + std::getenv(name));
  for (const auto& [name, value] : env_) command.push_back(name + "=" + value.value_or(""));
  command.insert(command.end(), {qvtest::ProgramPath("qvx"), "browse", container_});
  (void)Tmux(socket, command);

  std::string screen = ScreenShowing(socket, "report.txt");
  EXPECT_NE(screen.find(container_), std::string::npos) << screen;
  const size_t cursor = screen.find("> 1");
  ASSERT_NE(cursor, std::string::npos) << screen;
  EXPECT_LT(screen.find("Docs", cursor), screen.find('\n', cursor)) << screen;
  // Down and up again, then into Docs.
  (void)Tmux(socket, {"send-keys", "-t", "qvx", "Down", "Up", "Enter"});
  screen = ScreenShowing(socket, "data.bin");
  EXPECT_NE(screen.find(container_ + "/Docs"), std::string::npos) << screen;
  // A row number chooses the row; Enter then opens it.
  (void)Tmux(socket, {"send-keys", "-t", "qvx", "1", "Enter", "Enter"});
  screen = ScreenShowing(socket, "deep.txt");
  EXPECT_NE(screen.find(container_ + "/Docs/Sub"), std::string::npos) << screen;
  // Backspace twice: up to the container's root.
  (void)Tmux(socket, {"send-keys", "-t", "qvx", "BSpace", "BSpace"});
  screen = ScreenShowing(socket, "report.txt");
  EXPECT_EQ(screen.find("data.bin"), std::string::npos) << screen;
  // Everything copied (a, c) and pasted (v) into a plain folder named at the prompt.
  const std::string pasted = root_.Sub("pasted");
  fs::create_directories(pasted);
  (void)Tmux(socket, {"send-keys", "-t", "qvx", "a", "c", "v"});
  (void)ScreenShowing(socket, "paste into folder:");
  (void)Tmux(socket, {"send-keys", "-t", "qvx", pasted, "Enter"});
  screen = ScreenShowing(socket, "paste complete");
  EXPECT_EQ(ReadTextFile(pasted + "/report.txt"), "hello") << screen;
  EXPECT_EQ(ReadTextFile(pasted + "/Docs/Sub/deep.txt"), "deep") << screen;
  EXPECT_TRUE(fs::is_directory(pasted + "/Empty")) << screen;
  (void)Tmux(socket, {"send-keys", "-t", "qvx", "q"});
  for (int i = 0; i < 100 && Tmux(socket, {"has-session", "-t", "qvx"}).empty() &&
                  Tmux(socket, {"list-sessions"}).find("qvx") != std::string::npos;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Tmux(socket, {"list-sessions"}).find("qvx:"), std::string::npos) << "q did not quit";
  (void)Tmux(socket, {"kill-server"});
}

}  // namespace
