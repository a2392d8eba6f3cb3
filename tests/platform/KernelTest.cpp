// Kernel services: module handles and paths, the language table and thread locale,
// named mutexes within and across processes, and registered window messages.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/MachineRoot.h"
#include "tests/common/Languages.h"
#include "tests/common/TestRoot.h"

namespace {

std::string ModulePath(HMODULE module) {
  char path[4096];
  const DWORD n = GetModuleFileNameA(module, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

std::string ProgramFolder() {
  const std::string program = ModulePath(GetModuleHandleA(nullptr));
  return program.substr(0, program.find_last_of('/'));
}

TEST(KernelModuleTest, FindsLoadedModulesAndTheirPathsWithinTheBufferAndLoadsNothing) {
  const HMODULE platform = GetModuleHandleA("qvplatform.dll");
  ASSERT_NE(platform, nullptr);
  for (const char* name : {"QVPLATFORM.DLL", "libqvplatform.so", "qvplatform"})
    EXPECT_EQ(GetModuleHandleA(name), platform) << name;
  EXPECT_EQ(GetModuleHandleFromAddress(reinterpret_cast<const void*>(&GetTickCount)), platform);
  EXPECT_EQ(ModulePath(platform), ProgramFolder() + "/libqvplatform.so");
  EXPECT_EQ(ModulePath(nullptr), ProgramFolder() + "/platform_tests");

  // Too small a buffer gets a truncated, terminated name and nothing past its end.
  const std::string path = ModulePath(platform);
  std::string buffer(path.size() + 8, 'x');
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(platform, buffer.data(), 5), 5u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(buffer.substr(0, 6), path.substr(0, 4) + '\0' + 'x');
  EXPECT_EQ(GetModuleFileNameA(platform, buffer.data(), 0), 0u);
  int onTheStack = 0;
  EXPECT_EQ(GetModuleHandleFromAddress(&onTheStack), nullptr);
  EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(&onTheStack), buffer.data(), 100), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleA("qvnosuchlibrary.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  // The product library lies next to the test program, which links its objects instead.
  ASSERT_EQ(access((ProgramFolder() + "/libQvFolderExt.so").c_str(), R_OK), 0);
  EXPECT_EQ(GetModuleHandleA("QvFolderExt.dll"), nullptr);
  EXPECT_EQ(GetModuleHandleA("QvFolderExt.dll"), nullptr) << "the first look-up loaded it";
}

TEST(KernelLanguageTest, MapsLocaleVariablesToLanguageIdsAndKeepsThreadLocalesApart) {
  const qvtest::LocaleVariables environment;
  const std::pair<const char*, LANGID> cases[] = {
      {"de_DE.UTF-8", 0x0407}, {"C.UTF-8", 0x0409},     {"", 0x0409},     {"pt_PT", 0x0816},
      {"pt_BR", 0x0416},       {"zh_TW.UTF-8", 0x0404}, {"zh", 0x0804},   {"de_AT@euro", 0x0C07},
      {"xx_YY", 0x0409},       {"garbage", 0x0409},     {"de_BE", 0x0407}};
  for (const auto& [lang, expected] : cases) {
    setenv("LANG", lang, 1);
    EXPECT_EQ(GetUserDefaultLangID(), expected) << "LANG=" << lang;
  }
  EXPECT_EQ(GetSystemDefaultLangID(), 0x0407) << "LANG=de_BE";
  EXPECT_EQ(LangIdFromLocaleName("xx_YY"), 0) << "unknown languages are reported as such";

  // LC_ALL, then LC_MESSAGES, then LANG; an empty variable counts as unset.
  setenv("LANG", "fr_FR.UTF-8", 1);
  setenv("LC_MESSAGES", "it_IT.UTF-8", 1);
  setenv("LC_ALL", "ja_JP.UTF-8", 1);
  EXPECT_EQ(GetUserDefaultLangID(), 0x0411);
  setenv("LC_ALL", "", 1);
  EXPECT_EQ(GetUserDefaultLCID(), 0x0410u);

  // LANGUAGE's first entry counts only when the three others are unset; "C" stays English.
  setenv("LANGUAGE", "pt_BR:pt:en", 1);
  EXPECT_EQ(GetUserDefaultLangID(), 0x0410) << "LC_MESSAGES still decides";
  unsetenv("LC_MESSAGES");
  unsetenv("LANG");
  EXPECT_EQ(GetUserDefaultLangID(), 0x0416);
  setenv("LANG", "C", 1);
  EXPECT_EQ(GetUserDefaultLangID(), 0x0409);
  setenv("LANG", "it_IT.UTF-8", 1);

  // The thread locale: on a thread of its own, so that none stays with the test's thread.
  std::thread([] {
    ASSERT_TRUE(SetThreadLocale(0x0404));
    EXPECT_TRUE(SetThreadLocale(7)) << "a whole language, as the string tables have it";
    EXPECT_EQ(GetThreadLangID(), 7);
    ASSERT_TRUE(SetThreadLocale(0x0404));
    EXPECT_FALSE(SetThreadLocale(0x7777));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetThreadLangID(), 0x0404);
    std::thread([] { EXPECT_EQ(GetThreadLangID(), 0x0410) << "a thread's locale leaked"; }).join();
  }).join();
}

class KernelMutexTest : public RootedTest {};

TEST_F(KernelMutexTest, SecondCreatorInTheProcessSeesItAndOwnershipBelongsToAThread) {
  const HANDLE first = CreateMutexA(nullptr, TRUE, "QuorvinMutex");
  ASSERT_NE(first, nullptr);
  const HANDLE second = CreateMutexA(nullptr, TRUE, "Local\\QuorvinMutex");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  DWORD waited = 0;
  DWORD releaseError = 0;
  std::thread([&] {
    waited = WaitForSingleObject(second, 0);
    releaseError = ReleaseMutex(first) ? 0 : GetLastError();
  }).join();
  EXPECT_EQ(waited, WAIT_TIMEOUT);
  EXPECT_EQ(releaseError, static_cast<DWORD>(ERROR_NOT_OWNER));

  // Recursive for the owner: two levels now, two releases.
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(second));
  EXPECT_TRUE(ReleaseMutex(first));
  EXPECT_TRUE(CloseHandle(first) && CloseHandle(second));
  EXPECT_FALSE(CloseHandle(second));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(KernelMutexTest, UnnamedMutexesAreIndependentAndBadNamesAreRefused) {
  const HANDLE a = CreateMutexA(nullptr, FALSE, nullptr);
  const HANDLE b = CreateMutexA(nullptr, FALSE, "");
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  DWORD other = 0;
  std::thread([&] { other = WaitForSingleObject(b, 0); }).join();
  EXPECT_EQ(other, WAIT_OBJECT_0) << "two unnamed mutexes are one";
  EXPECT_TRUE(CloseHandle(a) && CloseHandle(b));

  const std::string tooLong(300, 'm');
  const std::pair<const char*, DWORD> cases[] = {{"../escape", ERROR_INVALID_NAME},
                                                 {"Global\\", ERROR_INVALID_NAME},
                                                 {"tab\there", ERROR_INVALID_NAME},
                                                 {tooLong.c_str(), ERROR_FILENAME_EXCED_RANGE}};
  for (const auto& [name, error] : cases) {
    SetLastError(0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, name), nullptr) << name;
    EXPECT_EQ(GetLastError(), error) << name;
  }
  // Names with characters that are special in paths stay inside the runtime folder.
  const HANDLE dots = CreateMutexA(nullptr, FALSE, "..");
  EXPECT_EQ(access((QvRuntimeDir() + "/mutex-..").c_str(), F_OK), 0);
  EXPECT_TRUE(CloseHandle(dots));
}

// The runtime folder's mutex files.
std::vector<std::string> MutexFiles() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(QvRuntimeDir()))
    if (entry.path().filename().string().rfind("mutex-", 0) == 0)
      names.push_back(entry.path().filename().string());
  return names;
}

TEST_F(KernelMutexTest, TheLastHandleOfAllProcessesTakesTheLockFileAlong) {
  const HANDLE held = CreateMutexA(nullptr, TRUE, "QvHeldElsewhere");
  ASSERT_NE(held, nullptr);
  // Another process opens, takes and lets go of mutexes, the held one among them: its own go
  // with its last handle, the held one stays as long as this process holds it.
  EXPECT_EQ(RunInChild([] {
              for (int i = 0; i < 20; ++i) {
                const std::string name = "QvPassing-" + std::to_string(i);
                const HANDLE h = CreateMutexA(nullptr, TRUE, name.c_str());
                if (h == nullptr || !ReleaseMutex(h) || !CloseHandle(h)) return 1;
              }
              const HANDLE h = CreateMutexA(nullptr, FALSE, "QvHeldElsewhere");
              if (h == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) return 2;
              return CloseHandle(h) ? 0 : 3;
            }),
            0);
  EXPECT_EQ(MutexFiles(), std::vector<std::string>{"mutex-QvHeldElsewhere"});
  // Still one mutex for everyone: a process that comes now sees the holder.
  EXPECT_EQ(RunInChild([] {
              const HANDLE h = CreateMutexA(nullptr, FALSE, "QvHeldElsewhere");
              return h != nullptr && GetLastError() == ERROR_ALREADY_EXISTS &&
                             WaitForSingleObject(h, 0) == WAIT_TIMEOUT
                         ? 0
                         : 1;
            }),
            0);
  EXPECT_TRUE(ReleaseMutex(held) && CloseHandle(held));
  EXPECT_EQ(MutexFiles(), std::vector<std::string>{});

  // Many processes creating and closing the same name at once never split it in two: each
  // owner is alone while it owns.
  std::vector<pid_t> children;
  const std::string counter = QvRuntimeDir() + "/owners";
  for (int c = 0; c < 4; ++c) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      for (int i = 0; i < 50; ++i) {
        const HANDLE h = CreateMutexA(nullptr, FALSE, "QvContended");
        if (h == nullptr || WaitForSingleObject(h, 10000) != WAIT_OBJECT_0) _exit(1);
        // Owning alone: nobody else may be inside.
        if (mkdir(counter.c_str(), 0700) != 0) _exit(2);
        usleep(100);
        if (rmdir(counter.c_str()) != 0) _exit(3);
        if (!ReleaseMutex(h) || !CloseHandle(h)) _exit(4);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(MutexFiles(), std::vector<std::string>{});
}

TEST_F(KernelMutexTest, OtherProcessesSeeHoldersAndOwnersUntilTheyEnd) {
  const HANDLE role = CreateMutexA(nullptr, TRUE, "QUORVINDECRYPTING");
  ASSERT_NE(role, nullptr);
  EXPECT_EQ(RunInChild([] {
              const HANDLE h = CreateMutexA(nullptr, FALSE, "QUORVINDECRYPTING");
              if (h == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) return 1;
              return WaitForSingleObject(h, 30) == WAIT_TIMEOUT ? 0 : 2;
            }),
            0);
  // Released here, taken there: that owner ends without releasing, so it comes back abandoned.
  EXPECT_TRUE(ReleaseMutex(role));
  EXPECT_EQ(RunInChild([] {
              const HANDLE h = CreateMutexA(nullptr, FALSE, "QUORVINDECRYPTING");
              if (h == nullptr || WaitForSingleObject(h, 10000) != WAIT_OBJECT_0) return 1;
              _exit(0);
            }),
            0);
  EXPECT_EQ(WaitForSingleObject(role, 10000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(role) && CloseHandle(role));

  // A holder that is killed releases the name; nobody closed its handle.
  EXPECT_EQ(RunInChild([] {
              if (CreateMutexA(nullptr, TRUE, "QvKilledHolder") == nullptr) return 1;
              raise(SIGKILL);
              return 2;
            }),
            -1);
  const HANDLE after = CreateMutexA(nullptr, FALSE, "QvKilledHolder");
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "the dead holder still counts";
  EXPECT_EQ(WaitForSingleObject(after, 0), WAIT_OBJECT_0) << "a new mutex is not abandoned";
  EXPECT_TRUE(ReleaseMutex(after) && CloseHandle(after));
}

class KernelMessageTest : public RootedTest {};

TEST_F(KernelMessageTest, IdsAreSharedByEveryProcessAndDistinctPerName) {
  const UINT qaf = RegisterWindowMessageA("EnableDisableQAF");
  ASSERT_GE(qaf, 0xC000u);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(RunInChild([&] {
              const UINT ids[2] = {RegisterWindowMessageA("QvOther"),
                                   RegisterWindowMessageA("ENABLEDISABLEQAF")};
              return write(fds[1], ids, sizeof ids) == sizeof ids ? 0 : 1;
            }),
            0);
  UINT child[2] = {};
  ASSERT_EQ(read(fds[0], child, sizeof child), static_cast<ssize_t>(sizeof child));
  for (const int fd : fds) close(fd);
  EXPECT_EQ(child[1], qaf);
  EXPECT_NE(child[0], qaf);
  EXPECT_EQ(RegisterWindowMessageA("QvOther"), child[0]) << "a name the other process added";

  const std::string tooLong(256, 'n');
  for (const char* bad : {static_cast<const char*>(nullptr), "", "line\nbreak", tooLong.c_str()})
    EXPECT_EQ(RegisterWindowMessageA(bad), 0u) << (bad != nullptr ? bad : "(null)");
}

TEST_F(KernelMessageTest, DamagedTableKeepsItsGoodEntries) {
  // A foreign line, then a writer that died in the middle of its line.
  const std::string table = QvRuntimeDir() + "/messages";
  WriteTextFile(table, "C000 Alpha\nzzzz junk\nC0");
  EXPECT_EQ(RegisterWindowMessageA("ALPHA"), 0xC000u);
  EXPECT_EQ(RegisterWindowMessageA("Beta"), 0xC001u);
  EXPECT_EQ(ReadTextFile(table), "C000 Alpha\nzzzz junk\nC001 Beta\n");
}

}  // namespace

TEST(KernelTest, ComputerNameIsTheHostNameAndFailsTooSmallBuffersWithTheSizeNeeded) {
  char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  ASSERT_TRUE(GetComputerNameA(name, &size));
  EXPECT_STREQ(name, host[0] != '\0' ? host : "localhost");
  EXPECT_EQ(size, std::strlen(name));
  DWORD tooSmall = size;  // no room for the terminator
  char cut[MAX_COMPUTERNAME_LENGTH + 1] = "untouched";
  EXPECT_FALSE(GetComputerNameA(cut, &tooSmall));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
  EXPECT_EQ(tooSmall, size + 1);
  EXPECT_STREQ(cut, "untouched");
}
