// Kernel services: module handles and paths, tick count, the language table and thread
// locale, named mutexes within and across processes, and registered window messages.
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/MachineRoot.h"
#include "tests/common/TestRoot.h"

namespace {

std::string ModulePath(HMODULE module) {
  char path[4096];
  const DWORD n = GetModuleFileNameA(module, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

int FunctionInTheTestProgram() { return 42; }

// Hides a module for the lifetime of the object, whatever the test's outcome.
struct HiddenModule {
  explicit HiddenModule(const char* name) : name_(name) { QvSetModuleHiddenForTest(name, true); }
  ~HiddenModule() { QvSetModuleHiddenForTest(name_, false); }
  const char* name_;
};

TEST(KernelModuleTest, FindsLoadedLibraryUnderEveryNameForm) {
  const HMODULE platform = GetModuleHandleA("qvplatform.dll");
  ASSERT_NE(platform, nullptr);
  for (const char* name : {"QVPLATFORM.DLL", "libqvplatform.so", "qvplatform"})
    EXPECT_EQ(GetModuleHandleA(name), platform) << name;
  // A library finds itself from an address inside it.
  EXPECT_EQ(GetModuleHandleFromAddress(reinterpret_cast<const void*>(&GetTickCount)), platform);

  const std::string path = ModulePath(platform);
  EXPECT_EQ(path.front(), '/') << path;
  EXPECT_TRUE(EndsWith(path, "/libqvplatform.so")) << path;
  EXPECT_EQ(path.find("/./"), std::string::npos) << path;
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;

  const HMODULE program = GetModuleHandleA(nullptr);
  ASSERT_NE(program, nullptr);
  EXPECT_NE(program, platform);
  EXPECT_EQ(GetModuleHandleFromAddress(reinterpret_cast<const void*>(&FunctionInTheTestProgram)),
            program);
  EXPECT_TRUE(EndsWith(ModulePath(program), "/platform_tests")) << ModulePath(program);
  EXPECT_EQ(ModulePath(nullptr), ModulePath(program));
}

TEST(KernelModuleTest, ReportsModulesThatAreNotLoadedWithoutLoadingThem) {
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleA("qvnosuchlibrary.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  // The product library lies next to the test program, which links its objects instead.
  const std::string program = ModulePath(GetModuleHandleA(nullptr));
  const std::string folder = program.substr(0, program.find_last_of('/'));
  ASSERT_EQ(access((folder + "/libQvFolderExt.so").c_str(), R_OK), 0) << folder;
  EXPECT_EQ(GetModuleHandleA("QvFolderExt.dll"), nullptr);
  EXPECT_EQ(GetModuleHandleA("QvFolderExt.dll"), nullptr) << "the first look-up loaded it";
}

TEST(KernelModuleTest, FindsSuiteLibraryOnceLoadedUnlessHidden) {
  // Whether the test program depends on libqvvault.so depends on the link; load it if not.
  const std::string program = ModulePath(GetModuleHandleA(nullptr));
  const std::string vaultPath = program.substr(0, program.find_last_of('/')) + "/libqvvault.so";
  void* loaded = dlopen(vaultPath.c_str(), RTLD_NOW);
  ASSERT_NE(loaded, nullptr) << dlerror();
  const HMODULE vault = GetModuleHandleA("qvvault.dll");
  ASSERT_NE(vault, nullptr);
  EXPECT_EQ(ModulePath(vault), vaultPath);
  EXPECT_EQ(GetModuleHandleFromAddress(vault), vault);
  {
    HiddenModule hide("QvVault.dll");
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleA("libqvvault.so"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(GetModuleHandleA("qvplatform.dll"), nullptr) << "only the hidden module is hidden";
  }
  EXPECT_EQ(GetModuleHandleA("qvvault"), vault) << "the next call finds it again";
  dlclose(loaded);
}

TEST(KernelModuleTest, FileNameTruncatesAsWindowsDoes) {
  const HMODULE platform = GetModuleHandleA("qvplatform.dll");
  const std::string path = ModulePath(platform);
  ASSERT_FALSE(path.empty());
  const auto length = static_cast<DWORD>(path.size());
  std::string buffer(path.size() + 8, 'x');

  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(platform, buffer.data(), length + 1), length);
  EXPECT_EQ(std::string(buffer.c_str()), path);

  for (const DWORD size : {length, DWORD{5}, DWORD{1}}) {
    buffer.assign(path.size() + 8, 'x');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(platform, buffer.data(), size), size);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(buffer.c_str()), path.substr(0, size - 1)) << size;
    EXPECT_EQ(buffer[size], 'x') << "wrote past the buffer of " << size;
  }
  EXPECT_EQ(GetModuleFileNameA(platform, buffer.data(), 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  int onTheStack = 0;
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleFromAddress(&onTheStack), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(&onTheStack), buffer.data(), 100), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(KernelTimeTest, TickCountIsMonotonicAndFollowsSleep) {
  const ULONGLONG start = GetTickCount64();
  ULONGLONG previous = start;
  for (int i = 0; i < 1000; ++i) {
    const ULONGLONG now = GetTickCount64();
    ASSERT_GE(now, previous);
    previous = now;
  }
  Sleep(20);
  const ULONGLONG after = GetTickCount64();
  EXPECT_GE(after - start, 20u);
  // The 32-bit count is the low half of the 64-bit one (allow for a tick between the calls).
  const DWORD low = GetTickCount();
  EXPECT_LE(static_cast<DWORD>(low - static_cast<DWORD>(after)), 1000u);
}

// Saves and restores the locale variables around a test.
class LocaleEnvironment {
 public:
  LocaleEnvironment() {
    for (int i = 0; i < 3; ++i) {
      const char* v = std::getenv(kNames[i]);
      had_[i] = v != nullptr;
      if (v != nullptr) saved_[i] = v;
      unsetenv(kNames[i]);
    }
  }
  ~LocaleEnvironment() {
    for (int i = 0; i < 3; ++i) {
      if (had_[i])
        setenv(kNames[i], saved_[i].c_str(), 1);
      else
        unsetenv(kNames[i]);
    }
  }

 private:
  static constexpr const char* kNames[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  bool had_[3] = {};
  std::string saved_[3];
};

TEST(KernelLanguageTest, MapsLangToLanguageIds) {
  LocaleEnvironment environment;
  const struct {
    const char* lang;
    LANGID expected;
  } cases[] = {
      {"de_DE.UTF-8", 0x0407},
      {"ko_KR", 0x0412},
      {"en_US", 0x0409},
      {"C", 0x0409},
      {"POSIX", 0x0409},
      {"C.UTF-8", 0x0409},
      {"", 0x0409},
      {"es_ES.UTF-8", 0x0C0A},
      {"fr_FR", 0x040C},
      {"it_IT", 0x0410},
      {"nl_NL", 0x0413},
      {"pt_PT", 0x0816},
      {"zh_TW.UTF-8", 0x0404},
      {"cs_CZ", 0x0405},
      {"da_DK", 0x0406},
      {"ja_JP.eucJP", 0x0411},
      {"pl_PL", 0x0415},
      {"pt_BR", 0x0416},
      {"ru_RU.KOI8-R", 0x0419},
      {"tr_TR", 0x041F},
      {"id_ID", 0x0421},
      {"zh_CN.GB18030", 0x0804},
      {"zh_HK", 0x0C04},
      {"zh_SG", 0x1004},
      {"de_AT@euro", 0x0C07},
      {"fr_CA", 0x0C0C},
      {"en_GB", 0x0809},
      {"de_BE", 0x0407},
      {"de", 0x0407},
      {"zh", 0x0804},
      {"xx_YY", 0x0409},
      {"garbage", 0x0409},
  };
  for (const auto& c : cases) {
    setenv("LANG", c.lang, 1);
    EXPECT_EQ(GetUserDefaultLangID(), c.expected) << "LANG=" << c.lang;
    EXPECT_EQ(GetSystemDefaultLangID(), c.expected) << "LANG=" << c.lang;
  }
  EXPECT_EQ(LangIdFromLocaleName("xx_YY"), 0) << "unknown languages are reported as such";

  unsetenv("LANG");
  EXPECT_EQ(GetUserDefaultLangID(), 0x0409);
  // LC_ALL, then LC_MESSAGES, then LANG; an empty variable counts as unset.
  setenv("LANG", "fr_FR.UTF-8", 1);
  setenv("LC_MESSAGES", "it_IT.UTF-8", 1);
  EXPECT_EQ(GetUserDefaultLangID(), 0x0410);
  setenv("LC_ALL", "ja_JP.UTF-8", 1);
  EXPECT_EQ(GetUserDefaultLangID(), 0x0411);
  setenv("LC_ALL", "", 1);
  EXPECT_EQ(GetUserDefaultLangID(), 0x0410);
  EXPECT_EQ(GetUserDefaultLCID(), 0x0410u);
}

TEST(KernelLanguageTest, ThreadLocaleIsPerThreadAndResolvesTheSystemDefault) {
  LocaleEnvironment environment;
  setenv("LANG", "ko_KR.UTF-8", 1);
  // On threads of its own, so that no locale set here stays with the test program's thread.
  std::thread([] {
    EXPECT_EQ(GetThreadLocale(), 0x0412u) << "a thread starts with the user default";

    ASSERT_TRUE(SetThreadLocale(LOCALE_SYSTEM_DEFAULT));
    EXPECT_EQ(GetThreadLocale(), GetSystemDefaultLCID());
    EXPECT_EQ(GetThreadLangID(), 0x0412);

    LANGID otherThread = 0;
    std::thread([&otherThread] {
      if (SetThreadLocale(MAKELCID(0x0407, SORT_DEFAULT))) otherThread = GetThreadLangID();
    }).join();
    EXPECT_EQ(otherThread, 0x0407);
    EXPECT_EQ(GetThreadLangID(), 0x0412) << "another thread's locale leaked into this one";

    ASSERT_TRUE(SetThreadLocale(0x0404));
    EXPECT_EQ(GetThreadLangID(), 0x0404);
    setenv("LANG", "de_DE", 1);
    EXPECT_EQ(GetThreadLangID(), 0x0404) << "a set thread locale does not follow the environment";

    for (const LCID bad : {LCID{0x0000}, LCID{0x0007}, LCID{0x7777}, LCID{0x50404}}) {
      SetLastError(0);
      EXPECT_FALSE(SetThreadLocale(bad)) << std::hex << bad;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(GetThreadLangID(), 0x0404);
  }).join();
}

class KernelMutexTest : public RootedTest {};

TEST_F(KernelMutexTest, SecondCreatorInTheProcessSeesItAndOwnershipBelongsToAThread) {
  SetLastError(123);
  const HANDLE first = CreateMutexA(nullptr, TRUE, "QuorvinMutex");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  const HANDLE second = CreateMutexA(nullptr, TRUE, "Local\\QuorvinMutex");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_NE(first, second);
  // Names are case-sensitive, as Windows object names are.
  const HANDLE other = CreateMutexA(nullptr, FALSE, "quorvinmutex");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(CloseHandle(other));

  // Owned by this thread (through either handle), so another thread cannot take or release it.
  DWORD waited = 0;
  BOOL released = TRUE;
  DWORD releaseError = 0;
  std::thread([&] {
    waited = WaitForSingleObject(second, 0);
    released = ReleaseMutex(first);
    releaseError = GetLastError();
  }).join();
  EXPECT_EQ(waited, WAIT_TIMEOUT);
  EXPECT_FALSE(released);
  EXPECT_EQ(releaseError, static_cast<DWORD>(ERROR_NOT_OWNER));

  // Recursive for the owner: two levels now, two releases.
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(second));
  EXPECT_TRUE(ReleaseMutex(first));
  EXPECT_FALSE(ReleaseMutex(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

  // Free now: a waiting thread gets it as soon as it is released.
  ASSERT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  DWORD late = 0;
  std::thread waiter([&] {
    late = WaitForSingleObject(second, 10000);
    if (late == WAIT_OBJECT_0) (void)ReleaseMutex(second);
  });
  EXPECT_TRUE(ReleaseMutex(first));
  waiter.join();
  EXPECT_EQ(late, WAIT_OBJECT_0);

  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_FALSE(CloseHandle(second));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_FAILED);

  // Every handle closed: the next creator makes a new one.
  const HANDLE again = CreateMutexA(nullptr, FALSE, "QuorvinMutex");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(CloseHandle(again));
}

TEST_F(KernelMutexTest, UnnamedMutexesAreIndependentAndBadNamesAreRefused) {
  const HANDLE a = CreateMutexA(nullptr, FALSE, nullptr);
  const HANDLE b = CreateMutexA(nullptr, FALSE, "");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  DWORD other = 0;
  std::thread([&] { other = WaitForSingleObject(b, 0); }).join();
  EXPECT_EQ(other, WAIT_OBJECT_0) << "two unnamed mutexes are one";
  EXPECT_TRUE(CloseHandle(a));
  EXPECT_TRUE(CloseHandle(b));

  const std::string tooLong(300, 'm');
  const struct {
    const char* name;
    DWORD error;
  } cases[] = {{"../escape", ERROR_INVALID_NAME}, {"a/b", ERROR_INVALID_NAME},
               {"a\\b", ERROR_INVALID_NAME},      {"Global\\", ERROR_INVALID_NAME},
               {"tab\there", ERROR_INVALID_NAME}, {tooLong.c_str(), ERROR_FILENAME_EXCED_RANGE}};
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, c.name), nullptr) << c.name;
    EXPECT_EQ(GetLastError(), c.error) << c.name;
  }
  // Names with characters that are special in paths stay inside the runtime folder.
  const HANDLE odd = CreateMutexA(nullptr, FALSE, "..");
  ASSERT_NE(odd, nullptr);
  EXPECT_TRUE(CloseHandle(odd));
  EXPECT_EQ(access((QvRuntimeDir() + "/mutex-..").c_str(), F_OK), 0);
}

TEST_F(KernelMutexTest, OtherProcessesSeeHoldersAndOwnersUntilTheyEnd) {
  // This process holds the decrypt-and-open role; another process sees it exists and
  // cannot take the ownership this process holds.
  const HANDLE role = CreateMutexA(nullptr, TRUE, "QUORVINDECRYPTING");
  ASSERT_NE(role, nullptr);
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(RunInChild([] {
              const HANDLE h = CreateMutexA(nullptr, FALSE, "QUORVINDECRYPTING");
              if (h == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) return 1;
              if (WaitForSingleObject(h, 30) != WAIT_TIMEOUT) return 2;
              return 0;
            }),
            0);
  EXPECT_TRUE(ReleaseMutex(role));
  EXPECT_EQ(RunInChild([] {
              const HANDLE h = CreateMutexA(nullptr, FALSE, "QUORVINDECRYPTING");
              if (h == nullptr || WaitForSingleObject(h, 10000) != WAIT_OBJECT_0) return 1;
              return ReleaseMutex(h) ? 0 : 2;
            }),
            0);
  EXPECT_TRUE(CloseHandle(role));

  // A holder that is killed releases the name; nobody closed its handle.
  const char* const suite = "Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386";
  EXPECT_EQ(RunInChild([suite] {
              if (CreateMutexA(nullptr, TRUE, suite) == nullptr) return 1;
              raise(SIGKILL);
              return 2;
            }),
            -1);
  const HANDLE after = CreateMutexA(nullptr, FALSE, suite);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "the dead holder still counts";
  EXPECT_EQ(WaitForSingleObject(after, 0), WAIT_OBJECT_0) << "a new mutex is not abandoned";
  EXPECT_TRUE(ReleaseMutex(after));
  EXPECT_TRUE(CloseHandle(after));

  // An owner that ends without releasing leaves the mutex abandoned to the next waiter.
  const HANDLE shared = CreateMutexA(nullptr, FALSE, "QuorvinMutex");
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(RunInChild([] {
              const HANDLE h = CreateMutexA(nullptr, FALSE, "QuorvinMutex");
              if (h == nullptr || WaitForSingleObject(h, 10000) != WAIT_OBJECT_0) return 1;
              _exit(0);
            }),
            0);
  EXPECT_EQ(WaitForSingleObject(shared, 10000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(shared));
  EXPECT_EQ(WaitForSingleObject(shared, 0), WAIT_OBJECT_0) << "released properly this time";
  EXPECT_TRUE(ReleaseMutex(shared));
  EXPECT_TRUE(CloseHandle(shared));
}

class KernelMessageTest : public RootedTest {};

TEST_F(KernelMessageTest, IdsAreSharedByEveryProcessAndDistinctPerName) {
  const UINT qaf = RegisterWindowMessageA("EnableDisableQAF");
  ASSERT_GE(qaf, 0xC000u);
  ASSERT_LE(qaf, 0xFFFFu);
  EXPECT_EQ(RegisterWindowMessageA("enabledisableqaf"), qaf);
  const UINT other = RegisterWindowMessageA("QvOther");
  ASSERT_NE(other, 0u);
  EXPECT_NE(other, qaf);

  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  EXPECT_EQ(RunInChild([&] {
              const UINT ids[3] = {RegisterWindowMessageA("QvThird"),
                                   RegisterWindowMessageA("ENABLEDISABLEQAF"),
                                   RegisterWindowMessageA("QvOther")};
              return write(pipeFds[1], ids, sizeof ids) == sizeof ids ? 0 : 1;
            }),
            0);
  UINT childIds[3] = {};
  ASSERT_EQ(read(pipeFds[0], childIds, sizeof childIds), static_cast<ssize_t>(sizeof childIds));
  close(pipeFds[0]);
  close(pipeFds[1]);
  EXPECT_EQ(childIds[1], qaf);
  EXPECT_EQ(childIds[2], other);
  EXPECT_EQ(RegisterWindowMessageA("QvThird"), childIds[0]);
  EXPECT_NE(childIds[0], qaf);
  EXPECT_NE(childIds[0], other);

  const std::string tooLong(256, 'n');
  for (const char* bad : {"", "line\nbreak", tooLong.c_str()})
    EXPECT_EQ(RegisterWindowMessageA(bad), 0u);
  EXPECT_EQ(RegisterWindowMessageA(nullptr), 0u);
}

TEST_F(KernelMessageTest, DamagedTableKeepsItsGoodEntries) {
  // A foreign line, then a writer that died in the middle of its line.
  const std::string table = QvRuntimeDir() + "/messages";
  WriteTextFile(table, "C000 Alpha\nzzzz junk\nC0");
  EXPECT_EQ(RegisterWindowMessageA("ALPHA"), 0xC000u);
  EXPECT_EQ(RegisterWindowMessageA("Beta"), 0xC001u);
  EXPECT_EQ(RegisterWindowMessageA("Beta"), 0xC001u);
  EXPECT_EQ(ReadTextFile(table), "C000 Alpha\nzzzz junk\nC001 Beta\n");
}

}  // namespace
