// Starting programs and opening documents: how the parameter string, the working folder and the
// document reach the started program (recorded by small scripts the tests write), process
// handles and exit codes, the failure codes, Windows install paths, and what a child inherits.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/shell/ShellExecute.h"
#include "tests/common/TestRoot.h"

namespace {

// Records its argument count, each argument in brackets and its working folder in $0.log.
constexpr const char kRecorder[] =
    "#!/bin/sh\n"
    "{ printf '%s\\n' \"$#\"; for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done; pwd; }"
    " > \"$0.log\"\n";

std::string WriteScript(const std::string& path, const std::string& body) {
  WriteTextFile(path, body);
  chmod(path.c_str(), 0755);
  return path;
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

std::string CurrentFolderForTest() {
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

std::string InstallFolder() {
  char path[4096];
  const DWORD n = GetModuleFileNameA(GetModuleHandleA("qvplatform"), path, sizeof path);
  return n > 0 && n < sizeof path ? FolderOf(std::string(path, n)) : std::string();
}

// Starts a request with a process handle; the handle is null when it did not start.
HANDLE Start(const char* verb, const std::string& file, const char* parameters,
             const char* directory, SHELLEXECUTEINFOA* out = nullptr) {
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = verb;
  info.lpFile = file.c_str();
  info.lpParameters = parameters;
  info.lpDirectory = directory;
  info.nShow = 5;
  const BOOL started = ShellExecuteExA(&info);
  if (out != nullptr) *out = info;
  EXPECT_EQ(started != FALSE, info.hProcess != nullptr);
  return info.hProcess;
}

// Waits for the process and returns its exit code, closing the handle; -1 when that fails.
long Finish(HANDLE process) {
  if (process == nullptr) return -1;
  EXPECT_EQ(WaitForSingleObject(process, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  const BOOL read = GetExitCodeProcess(process, &code);
  EXPECT_TRUE(CloseHandle(process));
  return read ? static_cast<long>(code) : -1;
}

long RunToEnd(const char* verb, const std::string& file, const char* parameters,
              const char* directory) {
  return Finish(Start(verb, file, parameters, directory));
}

std::uintptr_t Code(HINSTANCE result) { return reinterpret_cast<std::uintptr_t>(result); }

bool ProcessGone(DWORD pid) {
  for (int i = 0; i < 1000; ++i) {
    if (access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class ShellExecuteTest : public RootedTest {
 protected:
  void SetUp() override {
    home_ = CurrentFolderForTest();
    folder_ = root_.Sub("my programs");
    ASSERT_EQ(mkdir(folder_.c_str(), 0755), 0);
    recorder_ = WriteScript(folder_ + "/record args", kRecorder);
  }
  // Tests that change the current folder leave the machine root's before it is removed.
  void TearDown() override { ASSERT_EQ(chdir(home_.c_str()), 0); }
  std::string Log() const { return ReadTextFile(recorder_ + ".log"); }

  std::string home_;
  std::string folder_;
  std::string recorder_;
};

TEST_F(ShellExecuteTest, TheParameterStringIsOneArgumentExactlyAsGiven) {
  ASSERT_EQ(chdir(root_.Path().c_str()), 0);  // where a shell would have created "injected"
  const std::vector<std::string> parameters = {
      "/home/ann/My Documents/Plans 2017.qvef",
      "  leading and trailing  ",
      "\"quoted\" 'single' \\back\\slash",
      "$(touch injected) `touch injected`; touch injected | cat & *",
      "-v --help",
  };
  for (const std::string& parameter : parameters) {
    EXPECT_EQ(RunToEnd("open", recorder_, parameter.c_str(), nullptr), 0) << parameter;
    EXPECT_EQ(Log(), "1\n[" + parameter + "]\n" + CurrentFolderForTest() + "\n") << parameter;
  }
  EXPECT_NE(access("injected", F_OK), 0) << "a parameter reached a shell";
  // No parameters, or empty ones, give no argument at all.
  EXPECT_EQ(RunToEnd(nullptr, recorder_, nullptr, nullptr), 0);
  EXPECT_EQ(Log().substr(0, 2), "0\n");
  EXPECT_EQ(RunToEnd("Open", recorder_, "", nullptr), 0);
  EXPECT_EQ(Log().substr(0, 2), "0\n");
}

TEST_F(ShellExecuteTest, ARelativeFileIsFoundInTheGivenFolderWhichBecomesTheWorkingFolder) {
  EXPECT_EQ(RunToEnd("open", "record args", "x", folder_.c_str()), 0);
  EXPECT_EQ(Log(), "1\n[x]\n" + folder_ + "\n");
  // A Windows program name finds the program without the suffix.
  EXPECT_EQ(RunToEnd("open", "record args.exe", "y", folder_.c_str()), 0);
  EXPECT_EQ(Log(), "1\n[y]\n" + folder_ + "\n");
  // Without a folder the name is taken from the current folder.
  ASSERT_EQ(chdir(folder_.c_str()), 0);
  EXPECT_EQ(RunToEnd("open", "./record args", "z", nullptr), 0);
  EXPECT_EQ(Log(), "1\n[z]\n" + folder_ + "\n");
}

TEST_F(ShellExecuteTest, AProcessHandleIsWaitableAndGivesTheExitCode) {
  const std::string exits = WriteScript(folder_ + "/exits", "#!/bin/sh\nexit \"$1\"\n");
  for (const char* code : {"0", "7", "255"})
    EXPECT_EQ(RunToEnd("open", exits, code, nullptr), std::atol(code)) << code;
  const std::string killsItself =
      WriteScript(folder_ + "/killed", "#!/bin/sh\nkill -TERM $$\nsleep 5\n");
  EXPECT_EQ(RunToEnd("open", killsItself, nullptr, nullptr), 128 + SIGTERM);

  // A running process: not signalled, STILL_ACTIVE, until it ends.
  const std::string sleeper = WriteScript(folder_ + "/sleeper", "#!/bin/sh\nexec sleep 60\n");
  const HANDLE process = Start("open", sleeper, nullptr, nullptr);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(WaitForSingleObject(process, 50), WAIT_TIMEOUT);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(process, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  const DWORD pid = GetProcessId(process);
  ASSERT_GT(pid, 0u);
  ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGKILL), 0);
  EXPECT_EQ(Finish(process), 128 + SIGKILL);

  // Handles of other kinds, and closed ones, are refused.
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(GetExitCodeProcess(event, &code));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GetProcessId(event), 0u);
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(GetExitCodeProcess(process, &code));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ShellExecuteTest, NoProcessIsLeftUnreapedWithoutAHandleOrAfterAnEarlyClose) {
  const std::string writesPid =
      WriteScript(folder_ + "/pid", "#!/bin/sh\necho $$ > \"$1.tmp\"\nmv \"$1.tmp\" \"$1\"\n");
  const std::string pidFile = root_.Sub("pid.txt");
  ASSERT_GT(Code(ShellExecuteA(nullptr, "open", writesPid.c_str(), pidFile.c_str(), nullptr, 5)),
            32u);
  for (int i = 0; i < 1000 && access(pidFile.c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const DWORD pid = static_cast<DWORD>(std::atol(ReadTextFile(pidFile).c_str()));
  ASSERT_GT(pid, 0u);
  EXPECT_TRUE(ProcessGone(pid)) << "the process stayed behind as a zombie";

  const std::string sleeper = WriteScript(folder_ + "/brief", "#!/bin/sh\nexec sleep 0.2\n");
  const HANDLE process = Start("open", sleeper, nullptr, nullptr);
  ASSERT_NE(process, nullptr);
  const DWORD second = GetProcessId(process);
  EXPECT_TRUE(CloseHandle(process));
  EXPECT_TRUE(ProcessGone(second)) << "the process stayed behind as a zombie";
}

TEST_F(ShellExecuteTest, FailuresGiveTheWindowsCodes) {
  struct Case {
    const char* verb;
    std::string file;
    std::string directory;
    std::uintptr_t code;
    DWORD error;
  };
  const std::string notAProgram = WriteScript(folder_ + "/garbage", "this is no program\n");
  WriteTextFile(folder_ + "/notes.txt", "text");
  const Case cases[] = {
      {"open", folder_ + "/missing", "", SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
      {"open", folder_ + "/no such folder/prog", "", SE_ERR_PNF, ERROR_PATH_NOT_FOUND},
      {"open", "record args", root_.Sub("no such folder"), SE_ERR_PNF, ERROR_PATH_NOT_FOUND},
      {"open", recorder_, folder_ + "/notes.txt", SE_ERR_PNF, ERROR_PATH_NOT_FOUND},
      {"open", "", "", SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
      {"open", "qv-no-such-program-anywhere", "", SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
      {"open", notAProgram, "", SE_ERR_BAD_FORMAT, ERROR_BAD_FORMAT},
      {"print", recorder_, "", SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION},
      {"explore", folder_ + "/notes.txt", "", SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION},
      {"open", "C:\\..\\etc\\passwd", "", SE_ERR_PNF, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    const char* directory = c.directory.empty() ? nullptr : c.directory.c_str();
    SetLastError(0);
    EXPECT_EQ(Code(ShellExecuteA(nullptr, c.verb, c.file.c_str(), nullptr, directory, 5)), c.code)
        << c.verb << " " << c.file;
    EXPECT_EQ(GetLastError(), c.error) << c.file;

    SHELLEXECUTEINFOA info{};
    EXPECT_EQ(Start(c.verb, c.file, nullptr, directory, &info), nullptr) << c.file;
    EXPECT_EQ(Code(info.hInstApp), c.code) << c.file;
    EXPECT_EQ(GetLastError(), c.error) << c.file;
  }

  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info - 1;
  info.lpFile = recorder_.c_str();
  EXPECT_FALSE(ShellExecuteExA(&info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ShellExecuteExA(nullptr));
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_IDLIST;
  EXPECT_FALSE(ShellExecuteExA(&info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_NE(access((recorder_ + ".log").c_str(), F_OK), 0) << "a refused request ran";
}

TEST_F(ShellExecuteTest, DocumentsAndFoldersGoToTheDesktopOpenerAsOneArgument) {
  const std::string opener = WriteScript(root_.Sub("opener"), kRecorder);
  setenv("QV_OPEN_COMMAND", (opener + "  --new-window ").c_str(), 1);
  WriteTextFile(folder_ + "/Report 2017.txt", "text");

  EXPECT_EQ(RunToEnd(nullptr, "Report 2017.txt", "ignored for documents", folder_.c_str()), 0);
  EXPECT_EQ(ReadTextFile(opener + ".log"),
            "2\n[--new-window]\n[" + folder_ + "/Report 2017.txt]\n" + folder_ + "\n");
  EXPECT_EQ(RunToEnd("explore", folder_, nullptr, nullptr), 0);
  EXPECT_EQ(ReadTextFile(opener + ".log"),
            "2\n[--new-window]\n[" + folder_ + "]\n" + CurrentFolderForTest() + "\n");

  // An opener named without a folder is found on PATH; one that is not installed means no
  // program is associated with documents.
  setenv("PATH", (root_.Path() + ":/usr/bin:/bin").c_str(), 1);
  setenv("QV_OPEN_COMMAND", "opener", 1);
  EXPECT_EQ(RunToEnd("OPEN", folder_ + "/Report 2017.txt", nullptr, nullptr), 0);
  EXPECT_EQ(ReadTextFile(opener + ".log").substr(0, 2), "1\n");
  setenv("QV_OPEN_COMMAND", "/nonexistent/opener", 1);
  EXPECT_EQ(Code(ShellExecuteA(nullptr, "open", (folder_ + "/Report 2017.txt").c_str(), nullptr,
                               nullptr, 5)),
            SE_ERR_NOASSOC);
  EXPECT_EQ(GetLastError(), ERROR_NO_ASSOCIATION);
}

TEST_F(ShellExecuteTest, WindowsInstallPathsNameTheInstallFolder) {
  const std::string install = InstallFolder();
  ASSERT_FALSE(install.empty());
  // The suite's converter lies in the install folder; its exit code shows which program ran
  // and that the parameter arrived (3: the named container does not exist).
  EXPECT_EQ(RunToEnd("open", "C:\\qvdbconv.exe", "--version", nullptr), 0);
  EXPECT_EQ(RunToEnd("open", "c:/qvdbconv", root_.Sub("none.qvef").c_str(), nullptr), 3);
  EXPECT_EQ(RunToEnd("open", "D:\\Program Files\\Quorvin\\qvdbconv.exe",
                     root_.Sub("none.qvef").c_str(), nullptr),
            3);
  // A drive root as the working folder is the install folder.
  EXPECT_EQ(RunToEnd("open", recorder_, nullptr, "C:\\"), 0);
  EXPECT_EQ(Log(), "0\n" + install + "\n");
}

TEST_F(ShellExecuteTest, AChildInheritsOnlyItsStandardStreamsAndNoTerminalInput) {
  const std::string probe = WriteScript(
      folder_ + "/fds",
      "#!/bin/sh\n{ readlink /proc/$$/fd/0; [ -e /proc/$$/fd/$1 ] && echo leaked || echo closed; }"
      " > \"$0.log\"\n");
  const int status = RunInChild([&] {
    // Standard input is a pipe (not a terminal); a descriptor without close-on-exec is open.
    int pipeFds[2];
    if (pipe(pipeFds) != 0 || dup2(pipeFds[0], STDIN_FILENO) < 0) return 10;
    const int stray = open("/dev/zero", O_RDONLY);  // deliberately without O_CLOEXEC
    if (stray < 0) return 11;
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = probe.c_str();
    const std::string strayText = std::to_string(stray);
    info.lpParameters = strayText.c_str();
    if (!ShellExecuteExA(&info)) return 12;
    if (WaitForSingleObject(info.hProcess, INFINITE) != WAIT_OBJECT_0) return 13;
    return 0;
  });
  ASSERT_EQ(status, 0);
  EXPECT_EQ(ReadTextFile(probe + ".log"), "/dev/null\nclosed\n");
}

}  // namespace
