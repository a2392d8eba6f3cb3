// The machine root and the runtime folder: which variables choose them, that they are created
// private, and that a runtime folder someone else could control is refused.
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/Kernel.h"
#include "platform/MachineRoot.h"
#include "tests/common/TestRoot.h"

namespace {

// Sets (or, given null, clears) an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    value != nullptr ? (void)setenv(name, value, 1) : (void)unsetenv(name);
  }
  ~ScopedEnv() { saved_ ? (void)setenv(name_, saved_->c_str(), 1) : (void)unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

// Works in the test's root, so that a relative path handed over would land there.
struct ScopedCwd {
  explicit ScopedCwd(const std::string& dir) { std::filesystem::current_path(dir); }
  ~ScopedCwd() { std::filesystem::current_path(old_, ec_); }
  std::filesystem::path old_ = std::filesystem::current_path();
  std::error_code ec_;
};

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

class MachineRootTest : public RootedTest {};

TEST_F(MachineRootTest, MachineRootFollowsQvRootThenXdgThenHome) {
  const std::string chosen = root_.Sub("chosen/deeper");
  {
    ScopedEnv root("QV_ROOT", (chosen + "//").c_str());
    EXPECT_EQ(QvMachineRoot(), chosen);
    EXPECT_TRUE(std::filesystem::is_directory(chosen));
  }
  ScopedEnv noRoot("QV_ROOT", nullptr);
  {
    ScopedEnv data("XDG_DATA_HOME", root_.Sub("data").c_str());
    EXPECT_EQ(QvMachineRoot(), root_.Sub("data/quorvin"));
  }
  ScopedEnv home("HOME", root_.Sub("home").c_str());
  ScopedCwd cwd(root_.Path());
  for (const char* data : {static_cast<const char*>(nullptr), "", "relative/data"}) {
    ScopedEnv xdg("XDG_DATA_HOME", data);
    EXPECT_EQ(QvMachineRoot(), root_.Sub("home/.local/share/quorvin")) << (data ? data : "unset");
  }
  EXPECT_FALSE(Exists(root_.Sub("relative"))) << "a folder was made below the working directory";
  // A machine root that cannot be created is reported as none.
  WriteTextFile(root_.Sub("file"), "x");
  ScopedEnv blocked("QV_ROOT", root_.Sub("file/below").c_str());
  EXPECT_EQ(QvMachineRoot(), "");
}

TEST_F(MachineRootTest, RuntimeFolderIsCreatedPrivateAndKeptPrivate) {
  const std::string expected = root_.Sub("run/quorvin");
  // Even a umask that would leave the folder unusable or wide open gives 0700.
  for (const mode_t mask : {mode_t{0277}, mode_t{0}}) {
    const mode_t old = umask(mask);
    const std::string made = QvRuntimeDir();
    umask(old);
    EXPECT_EQ(made, expected);
    EXPECT_EQ(ModeOf(expected), static_cast<mode_t>(0700)) << "umask " << std::oct << mask;
    ASSERT_EQ(rmdir(expected.c_str()), 0);
  }
  // Widened by someone: tightened on the next use, and the objects in it still work.
  ASSERT_EQ(mkdir(expected.c_str(), 0700), 0);
  ASSERT_EQ(chmod(expected.c_str(), 0777), 0);
  EXPECT_NE(RegisterWindowMessageA("QvPrivate"), 0u);
  EXPECT_EQ(ModeOf(expected), static_cast<mode_t>(0700));

  // Without an absolute XDG_RUNTIME_DIR the folder is per user in /tmp.
  const std::string tmp = "/tmp/quorvin-" + std::to_string(getuid());
  ScopedCwd cwd(root_.Path());
  for (const char* value : {static_cast<const char*>(nullptr), "", "relative/run"}) {
    ScopedEnv run("XDG_RUNTIME_DIR", value);
    EXPECT_EQ(QvRuntimeDir(), tmp) << (value ? value : "unset");
  }
  EXPECT_FALSE(Exists(root_.Sub("relative"))) << "a folder was made below the working directory";
  EXPECT_EQ(ModeOf(tmp), static_cast<mode_t>(0700));
}

TEST_F(MachineRootTest, ScratchFolderIsPrivateAndInMemory) {
  struct statfs shm {};
  if (statfs("/dev/shm", &shm) != 0 || shm.f_type != TMPFS_MAGIC)
    GTEST_SKIP() << "no memory file system at /dev/shm";
  // The test's runtime folder is on the disk: the scratch folder is one of the user's in
  // /dev/shm, of its own for each runtime folder.
  const std::string shared = "/dev/shm/quorvin-" + std::to_string(getuid());
  const std::string scratch = QvScratchDir();
  EXPECT_EQ(scratch.rfind(shared + "/", 0), 0u) << scratch;
  EXPECT_EQ(ModeOf(shared), static_cast<mode_t>(0700));
  EXPECT_EQ(ModeOf(scratch), static_cast<mode_t>(0700));
  {
    ScopedEnv run("XDG_RUNTIME_DIR", root_.Sub("other-run").c_str());
    const std::string other = QvScratchDir();
    EXPECT_EQ(other.rfind(shared + "/", 0), 0u) << other;
    EXPECT_NE(other, scratch);
    std::filesystem::remove(other);
  }
  std::filesystem::remove(scratch);

  // A runtime folder in memory holds the scratch folder itself.
  const std::string memoryRun = shared + "/test-run-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(memoryRun.c_str(), 0700), 0);
  {
    ScopedEnv run("XDG_RUNTIME_DIR", memoryRun.c_str());
    EXPECT_EQ(QvScratchDir(), memoryRun + "/quorvin/scratch");
    EXPECT_EQ(ModeOf(memoryRun + "/quorvin/scratch"), static_cast<mode_t>(0700));
  }
  std::filesystem::remove_all(memoryRun);
}

TEST_F(MachineRootTest, RuntimeFolderThatIsALinkOrNotAFolderIsRefused) {
  const std::string path = root_.Sub("run/quorvin");
  // A link to a folder of the user's own, planted where the runtime folder belongs.
  const std::string elsewhere = root_.Sub("elsewhere");
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), path.c_str()), 0);
  EXPECT_EQ(QvRuntimeDir(), "");
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "QuorvinMutex"), nullptr);
  EXPECT_EQ(ModeOf(elsewhere), static_cast<mode_t>(0755)) << "the link's target was changed";
  EXPECT_FALSE(Exists(elsewhere + "/mutex-QuorvinMutex"));

  // A dangling link: nothing is created where it points. Then a file.
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink(root_.Sub("planted").c_str(), path.c_str()), 0);
  EXPECT_EQ(QvRuntimeDir(), "");
  EXPECT_FALSE(Exists(root_.Sub("planted")));
  ASSERT_EQ(unlink(path.c_str()), 0);
  WriteTextFile(path, "not a folder");
  EXPECT_EQ(QvRuntimeDir(), "");
}

TEST_F(MachineRootTest, RuntimeFolderOwnedByAnotherUserIsRefused) {
  const std::string path = root_.Sub("run/quorvin");
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  if (chown(path.c_str(), getuid() == 0 ? 65534 : 0, static_cast<gid_t>(-1)) != 0)
    GTEST_SKIP() << "cannot give a folder to another user here";
  EXPECT_EQ(QvRuntimeDir(), "");
  EXPECT_EQ(RegisterWindowMessageA("QvForeign"), 0u);
  EXPECT_FALSE(Exists(path + "/messages"));
  EXPECT_EQ(ModeOf(path), static_cast<mode_t>(0700)) << "another user's folder was changed";

  // The same in /tmp: a user whose folder there was made by someone else gets none.
  if (getuid() != 0) return;
  uid_t victim = 61000 + static_cast<uid_t>(getpid() % 1000);
  while (victim < 65000 && Exists("/tmp/quorvin-" + std::to_string(victim))) victim += 997;
  if (victim >= 65000) GTEST_SKIP() << "no free uid for the /tmp case";
  const std::string planted = "/tmp/quorvin-" + std::to_string(victim);
  ASSERT_EQ(mkdir(planted.c_str(), 0777), 0);
  ASSERT_EQ(chmod(planted.c_str(), 0777), 0);
  const int status = RunInChild([victim] {
    unsetenv("XDG_RUNTIME_DIR");
    if (setgid(victim) != 0 || setuid(victim) != 0) return 2;
    return QvRuntimeDir().empty() ? 0 : 1;
  });
  EXPECT_EQ(ModeOf(planted), static_cast<mode_t>(0777)) << "another user's folder was changed";
  rmdir(planted.c_str());
  EXPECT_EQ(status, 0);
}

}  // namespace
