// The machine root and the runtime folder: which variables choose them, that they are created
// private, and that a runtime folder someone else could control is refused.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Kernel.h"
#include "platform/MachineRoot.h"
#include "tests/common/TestRoot.h"

namespace {

// Sets or clears an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      had_ = true;
      saved_ = old;
    }
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_, saved_.c_str(), 1);
    else
      unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::string saved_;
  bool had_ = false;
};

// Restores the process umask whatever the test's outcome.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(umask(mask)) {}
  ~ScopedUmask() { umask(old_); }

 private:
  mode_t old_;
};

// Works in another folder for the lifetime of the object, so that a relative path a test
// hands over lands in its own root.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedCwd() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
  }

 private:
  std::filesystem::path old_;
};

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Some uid that owns nothing under /tmp yet, or 0 when none is free.
uid_t UnusedUid() {
  for (uid_t uid = 61000 + static_cast<uid_t>(getpid() % 1000); uid < 65000; uid += 997)
    if (uid != getuid() && !Exists("/tmp/quorvin-" + std::to_string(uid))) return uid;
  return 0;
}

class MachineRootTest : public RootedTest {};

TEST_F(MachineRootTest, MachineRootFollowsQvRootThenXdgThenHome) {
  const std::string chosen = root_.Sub("chosen/deeper");
  {
    ScopedEnv root("QV_ROOT", (chosen + "//").c_str());
    EXPECT_EQ(QvMachineRoot(), chosen);
    struct stat st {};
    ASSERT_EQ(stat(chosen.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
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
    EXPECT_EQ(QvMachineRoot(), root_.Sub("home/.local/share/quorvin"))
        << (data != nullptr ? data : "(unset)");
  }
  // A machine root that cannot be created is reported as none.
  WriteTextFile(root_.Sub("file"), "x");
  ScopedEnv blocked("QV_ROOT", root_.Sub("file/below").c_str());
  EXPECT_EQ(QvMachineRoot(), "");
  EXPECT_FALSE(Exists(root_.Sub("relative"))) << "a folder was made below the working directory";
}

TEST_F(MachineRootTest, RuntimeFolderIsCreatedPrivateAndKeptPrivate) {
  const std::string expected = root_.Sub("run/quorvin");
  {
    // Even a umask that would leave the folder unusable or wide open gives 0700.
    ScopedUmask mask(0277);
    EXPECT_EQ(QvRuntimeDir(), expected);
  }
  EXPECT_EQ(ModeOf(expected), static_cast<mode_t>(0700));
  {
    ScopedUmask mask(0);
    ASSERT_EQ(rmdir(expected.c_str()), 0);
    EXPECT_EQ(QvRuntimeDir(), expected);
    EXPECT_EQ(ModeOf(expected), static_cast<mode_t>(0700));
  }

  // Widened by someone: tightened on the next use, and the objects in it still work.
  ASSERT_EQ(chmod(expected.c_str(), 0777), 0);
  EXPECT_EQ(QvRuntimeDir(), expected);
  EXPECT_EQ(ModeOf(expected), static_cast<mode_t>(0700));
  EXPECT_NE(RegisterWindowMessageA("QvPrivate"), 0u);

  // A runtime folder is created below a missing XDG_RUNTIME_DIR as well.
  ScopedEnv fresh("XDG_RUNTIME_DIR", root_.Sub("new/run").c_str());
  EXPECT_EQ(QvRuntimeDir(), root_.Sub("new/run/quorvin"));
  EXPECT_EQ(ModeOf(root_.Sub("new/run/quorvin")), static_cast<mode_t>(0700));
}

TEST_F(MachineRootTest, WithoutAnAbsoluteXdgRuntimeDirTheFolderIsPerUserInTmp) {
  const std::string expected = "/tmp/quorvin-" + std::to_string(getuid());
  ScopedCwd cwd(root_.Path());
  for (const char* value : {static_cast<const char*>(nullptr), "", "relative/run"}) {
    ScopedEnv run("XDG_RUNTIME_DIR", value);
    EXPECT_EQ(QvRuntimeDir(), expected) << (value != nullptr ? value : "(unset)");
  }
  EXPECT_FALSE(Exists(root_.Sub("relative"))) << "a folder was made below the working directory";
  EXPECT_EQ(ModeOf(expected), static_cast<mode_t>(0700));
}

TEST_F(MachineRootTest, RuntimeFolderThatIsALinkOrNotAFolderIsRefused) {
  const std::string path = root_.Sub("run/quorvin");
  // A link to a folder of the user's own, planted where the runtime folder belongs.
  const std::string elsewhere = root_.Sub("elsewhere");
  ASSERT_TRUE(std::filesystem::create_directory(elsewhere));
  ASSERT_EQ(chmod(elsewhere.c_str(), 0755), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), path.c_str()), 0);
  EXPECT_EQ(QvRuntimeDir(), "");
  EXPECT_EQ(ModeOf(elsewhere), static_cast<mode_t>(0755)) << "the link's target was changed";
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "QuorvinMutex"), nullptr);
  EXPECT_FALSE(Exists(elsewhere + "/mutex-QuorvinMutex"));

  // A dangling link: nothing is created where it points.
  ASSERT_EQ(unlink(path.c_str()), 0);
  const std::string target = root_.Sub("planted");
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  EXPECT_EQ(QvRuntimeDir(), "");
  EXPECT_FALSE(Exists(target));

  // A file.
  ASSERT_EQ(unlink(path.c_str()), 0);
  WriteTextFile(path, "not a folder");
  EXPECT_EQ(QvRuntimeDir(), "");
}

TEST_F(MachineRootTest, RuntimeFolderOwnedByAnotherUserIsRefused) {
  const std::string path = root_.Sub("run/quorvin");
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  const uid_t other = getuid() == 0 ? 65534 : 0;
  if (chown(path.c_str(), other, static_cast<gid_t>(-1)) != 0)
    GTEST_SKIP() << "cannot give a folder to another user here";
  EXPECT_EQ(QvRuntimeDir(), "");
  EXPECT_EQ(RegisterWindowMessageA("QvForeign"), 0u);
  EXPECT_FALSE(Exists(path + "/messages"));
  // The folder stays as its owner left it.
  EXPECT_EQ(ModeOf(path), static_cast<mode_t>(0700));

  // The same in /tmp: a user whose folder there was made by someone else gets none.
  if (getuid() != 0) return;
  const uid_t victim = UnusedUid();
  if (victim == 0) GTEST_SKIP() << "no free uid for the /tmp case";
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
