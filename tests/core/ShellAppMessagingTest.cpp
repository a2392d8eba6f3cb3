// The suite-running test and the decrypt-and-open role between real processes: a forked child
// holds the suite's mutex or the role, sends hand-over messages (good ones and every kind the
// holder must refuse), or ends without giving up the role.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/Settings.h"
#include "core/ShellAppMessaging.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/Registry.h"
#include "suite/QvUserApi.h"
#include "tests/common/TestRoot.h"
#include "util/RegKey.h"

namespace {

namespace fs = std::filesystem;

// A forked child that creates a named mutex as owner and holds it until told to end.
class MutexHolder {
 public:
  explicit MutexHolder(const char* name) {
    if (pipe(ready_) != 0 || pipe(finish_) != 0) return;
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready_[0]);
      close(finish_[1]);
      HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
      const char state = mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS ? 'y' : 'n';
      (void)!write(ready_[1], &state, 1);
      char ignored;
      (void)!read(finish_[0], &ignored, 1);  // returns when the parent closes its end
      _exit(0);
    }
    close(ready_[1]);
    close(finish_[0]);
    char state = 'n';
    holding_ = pid_ > 0 && read(ready_[0], &state, 1) == 1 && state == 'y';
  }
  ~MutexHolder() { End(); }
  bool Holding() const { return holding_; }
  void End() {
    if (pid_ <= 0) return;
    close(finish_[1]);
    close(ready_[0]);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  int ready_[2] = {-1, -1};
  int finish_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool holding_ = false;
};

// Sends raw messages to the hand-over mailslot; the number sent.
int SendRaw(const std::vector<std::string>& messages) {
  HANDLE mailslot = CreateFileA(kHandOverMailslot, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
  if (mailslot == INVALID_HANDLE_VALUE) return 0;
  int sent = 0;
  for (const std::string& message : messages) {
    DWORD written = 0;
    if (!WriteFile(mailslot, message.data(), static_cast<DWORD>(message.size()), &written, nullptr))
      break;
    ++sent;
  }
  CloseHandle(mailslot);
  return sent;
}

std::string WithNul(const std::string& path) { return path + std::string(1, '\0'); }

class ShellAppMessagingTest : public RootedTest {
 protected:
  void SetUp() override {
    dir_ = root_.Sub("files");
    fs::create_directories(dir_);
  }
  std::string File(const std::string& name, const std::string& content = "x") {
    const std::string path = dir_ + "/" + name;
    WriteTextFile(path, content);
    return path;
  }
  std::string dir_;
};

TEST_F(ShellAppMessagingTest, SuiteRunsExactlyWhileAProcessHoldsTheEditionsMutex) {
  for (const DWORD edition : {DWORD{0}, EDITION_SENTIVO}) {
    SCOPED_TRACE(edition);
    const DWORD other = edition == EDITION_SENTIVO ? 0 : EDITION_SENTIVO;
    EXPECT_FALSE(IsSuiteRunning(edition));
    // Asking must not leave the mutex behind, or the next answer would be wrong.
    EXPECT_FALSE(IsSuiteRunning(edition));
    {
      MutexHolder client(SuiteRunningMutexName(edition));
      ASSERT_TRUE(client.Holding());
      EXPECT_TRUE(IsSuiteRunning(edition));
      EXPECT_TRUE(IsSuiteRunning(edition));
      EXPECT_FALSE(IsSuiteRunning(other));
    }
    EXPECT_FALSE(IsSuiteRunning(edition));
  }
  EXPECT_STREQ(SuiteRunningMutexName(0), "QuorvinMutex");
  // No runtime folder can be made: the mutex cannot be created and the suite counts as not
  // running.
  const std::string blocked = root_.Sub("not-a-folder");
  WriteTextFile(blocked, "");
  setenv("XDG_RUNTIME_DIR", (blocked + "/run").c_str(), 1);
  setenv("TMPDIR", (blocked + "/tmp").c_str(), 1);
  EXPECT_FALSE(IsSuiteRunning(0));
}

TEST_F(ShellAppMessagingTest, RoleIsHeldByOneProcessAndTheMailslotOutlivesNoHolder) {
  DecryptOpenRole role;
  ASSERT_TRUE(role.Claim());
  ASSERT_TRUE(role.OpenHandOver());
  // Another process does not get the role and cannot create the mailslot.
  EXPECT_EQ(RunInChild([] {
              DecryptOpenRole other;
              if (other.Claim()) return 1;
              if (other.OpenHandOver()) return 2;
              return 0;
            }),
            0);
  role.Release();
  EXPECT_FALSE(role.HandOverOpen());
  EXPECT_EQ(SendPathsToRoleHolder({"/nobody/listens.qvf"}), 0u);

  // The next holder creates the mailslot again; one that ends without giving up anything (a
  // crash) leaves an endpoint that only the next holder replaces.
  EXPECT_EQ(RunInChild([] {
              DecryptOpenRole next;
              if (!next.Claim()) return 1;
              if (!next.OpenHandOver()) return 2;
              _exit(0);
            }),
            0);
  ASSERT_TRUE(role.Claim());
  EXPECT_TRUE(role.OpenHandOver());
  const std::string path = File("after-crash.qvf");
  EXPECT_EQ(RunInChild([&] { return static_cast<int>(SendPathsToRoleHolder({path})); }), 1);
  std::vector<std::string> items;
  EXPECT_EQ(role.TakeWaitingPaths(items), 1u);
  EXPECT_EQ(items, std::vector<std::string>{path});
}

TEST_F(ShellAppMessagingTest, HolderTakesRegularQvfFilesAndGivesEveryOtherPathItsRow) {
  // Paths whose message (path and NUL) is exactly at the limit and one byte over it.
  std::string deep = dir_;
  while (deep.size() < kHandOverMessageLimit - 300) deep += "/" + std::string(200, 'd');
  fs::create_directories(deep);
  const std::string atLimit =
      File(deep.substr(dir_.size() + 1) + "/" +
           std::string(kHandOverMessageLimit - 1 - deep.size() - 1 - 4, 'n') + ".qvf");
  ASSERT_EQ(atLimit.size() + 1, kHandOverMessageLimit);
  const std::string overLimit =
      File(deep.substr(dir_.size() + 1) + "/" +
           std::string(kHandOverMessageLimit - deep.size() - 5, 'o') + ".qvf");
  ASSERT_EQ(overLimit.size() + 1, kHandOverMessageLimit + 1);

  const std::string good = File("good.qvf");
  const std::string upper = File("UPPER.QVF");
  const std::string plain = File("plain.txt");
  const std::string link = dir_ + "/link.qvf";
  fs::create_symlink(good, link);
  fs::create_directories(dir_ + "/folder.qvf");
  // A folder the suite is installed in is protected.
  const std::string installDir = root_.Sub("install");
  fs::create_directories(installDir);
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
  ASSERT_EQ(key.SetStringValue("InstallDir", (installDir + "/").c_str()), ERROR_SUCCESS);
  const std::string protectedFile = installDir + "/inside.qvf";
  WriteTextFile(protectedFile, "x");

  // Messages that are no path: dropped.
  const std::vector<std::string> notPaths = {
      WithNul(overLimit),
      overLimit,                                   // no NUL either
      good,                                        // no NUL
      WithNul(good).insert(dir_.size(), 1, '\0'),  // NUL inside
      std::string(1, '\0'),                        // empty path
      std::string(),                               // empty message
  };
  // Paths the holder refuses: each gets a row with the status that says why.
  const std::vector<RefusedItem> refusedPaths = {
      {plain, StatusNotEncryptedFile},
      {dir_ + "/missing.qvf", StatusFileAccessError},
      {link, StatusFileAccessError},
      {dir_ + "/folder.qvf", StatusFileAccessError},
      {protectedFile, StatusProtectedLocation},
      {"files/good.qvf", StatusFileAccessError},  // relative
      {dir_ + "/../files/good.qvf", StatusFileAccessError},
  };
  std::vector<std::string> refused = notPaths;
  for (const RefusedItem& item : refusedPaths) {
    refused.push_back(WithNul(item.path));
    EXPECT_EQ(HandOverPathStatus(item.path), item.status) << item.path;
  }
  EXPECT_EQ(HandOverPathStatus(overLimit), StatusFileAccessError) << "too long to hand over";
  EXPECT_EQ(HandOverPathStatus(atLimit), StatusSuccess);
  for (const std::string& message : refused)
    EXPECT_FALSE(AcceptHandOverMessage(message)) << message.size() << " bytes";

  DecryptOpenRole role;
  ASSERT_TRUE(role.Claim());
  ASSERT_TRUE(role.OpenHandOver());
  std::vector<std::string> messages = {WithNul(good), WithNul(atLimit)};
  messages.insert(messages.end(), refused.begin(), refused.end());
  messages.push_back(WithNul(good));   // acceptable, but already in the list
  messages.push_back(WithNul(plain));  // refused again: it has its row already
  messages.push_back(WithNul(upper));
  const HandOverCounts before = HandOverTotals();
  EXPECT_EQ(RunInChild([&] { return SendRaw(messages); }), static_cast<int>(messages.size()));

  std::vector<std::string> items = {dir_ + "/own.qvf"};
  std::vector<RefusedItem> rows;
  EXPECT_EQ(role.TakeWaitingPaths(items, &rows), 3u);
  EXPECT_EQ(items, (std::vector<std::string>{dir_ + "/own.qvf", good, atLimit, upper}));
  ASSERT_EQ(rows.size(), refusedPaths.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].path, refusedPaths[i].path);
    EXPECT_EQ(rows[i].status, refusedPaths[i].status) << rows[i].path;
  }
  EXPECT_EQ(role.Counts().dropped, refused.size() + 2);
  EXPECT_EQ(role.Counts().shown, refusedPaths.size());
  EXPECT_EQ(HandOverTotals().dropped - before.dropped, refused.size() + 2);
  EXPECT_EQ(HandOverTotals().shown - before.shown, refusedPaths.size());
  EXPECT_EQ(HandOverTotals().accepted - before.accepted, 3u);

  // Messages that arrive after the holder read the mailslot are read away, counted, and the
  // mailslot is gone when the role is given up.
  EXPECT_EQ(RunInChild([&] { return static_cast<int>(SendPathsToRoleHolder({good, upper})); }), 2);
  role.Release();
  EXPECT_EQ(role.Counts().unread, 2u);
  EXPECT_EQ(HandOverTotals().unread - before.unread, 2u);
  EXPECT_EQ(SendPathsToRoleHolder({good}), 0u);
}

}  // namespace
