// What a round trip keeps besides the bytes: the permission bits and the modification and
// access times of every file and folder of a tree, through qvclient (programs of their own)
// and through the progress dialog in this process. The chosen times lie before 1980 (which
// the container's MS-DOS fields cannot hold), far in the future and at odd nanoseconds; the
// modes are private, read-only, executable and a private folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>

#include "tests/engine/ProgressDialogFixture.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;

// What the test gives an entry and expects back: permission bits and modification time; for
// a file also the access time (a folder's is changed by every listing).
struct Facts {
  bool folder;
  mode_t mode;
  timespec modified;
  timespec accessed;
};

timespec At(int year, int month, int day, long nanoseconds = 0) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = 13;
  parts.tm_min = 37;
  parts.tm_sec = 43;  // odd: an MS-DOS time rounds it
  return timespec{timegm(&parts), nanoseconds};
}

// The tree by relative path ("" is the folder itself), deepest entries last.
const std::map<std::string, Facts>& Chosen() {
  static const std::map<std::string, Facts> chosen = {
      {"", {true, 0750, At(2011, 3, 4), At(2011, 3, 4)}},
      {"private.txt", {false, 0600, At(1975, 6, 1, 123456789), At(1976, 2, 3, 5)}},
      {"readonly.txt", {false, 0400, At(2100, 1, 1, 999999999), At(2003, 9, 9)}},
      {"run.sh", {false, 0755, At(2019, 12, 31), At(2020, 1, 1)}},
      {"secret", {true, 0700, At(1979, 12, 31), {}}},
      {"secret/inner.txt", {false, 0640, At(2004, 5, 6, 700), At(2005, 7, 8)}},
      {"later", {true, 0755, At(2099, 8, 9), {}}},
      {"later/empty", {true, 0750, At(1999, 1, 2), {}}},
  };
  return chosen;
}

// Writes the chosen tree at `root`: contents first, then modes and times from the deepest
// entry up, so that no later write changes a time already set.
void MakeTree(const std::string& root) {
  for (const auto& [relative, facts] : Chosen()) {
    const std::string path = relative.empty() ? root : root + "/" + relative;
    if (facts.folder)
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    else
      engine_test::WriteBytes(path, "content of " + relative);
  }
  for (auto it = Chosen().rbegin(); it != Chosen().rend(); ++it) {
    const std::string path = it->first.empty() ? root : root + "/" + it->first;
    ASSERT_EQ(chmod(path.c_str(), it->second.mode), 0) << path;
    const timespec times[2] = {it->second.folder ? it->second.modified : it->second.accessed,
                               it->second.modified};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
  }
}

// Compares the restored tree with the chosen facts (times to the second), then its contents.
void ExpectTreeKept(const std::string& root) {
  for (const auto& [relative, facts] : Chosen()) {
    SCOPED_TRACE(relative.empty() ? "the folder itself" : relative);
    const std::string path = relative.empty() ? root : root + "/" + relative;
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, facts.mode) << std::oct << (st.st_mode & 07777);
    EXPECT_EQ(st.st_mtim.tv_sec, facts.modified.tv_sec);
    if (!facts.folder) {
      EXPECT_EQ(st.st_atim.tv_sec, facts.accessed.tv_sec);
    }
  }
  for (const auto& [relative, facts] : Chosen()) {
    if (!facts.folder) {
      EXPECT_EQ(engine_test::ReadBytes(root + "/" + relative), "content of " + relative);
    }
  }
  std::size_t entries = 0;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it)
    ++entries;
  EXPECT_EQ(entries + 1, Chosen().size());
}

class ClientRoundTripTest : public qvtest::ProgramsFixture {
 protected:
  void SetUp() override {
    ProgramsFixture::SetUp();
    if (HasFatalFailure()) return;
    const qvtest::ProgramRun run = qvtest::RunProgram(root_, "qvenroll", {}, Env());
    ASSERT_EQ(run.code, 0) << run.out << run.err;
  }
  qvtest::ProgramRun Client(const std::vector<std::string>& args) const {
    return qvtest::RunProgram(root_, "qvclient", args, Env());
  }
};

TEST_F(ClientRoundTripTest, AFolderKeepsModesAndTimes) {
  const mode_t old = umask(022);
  const std::string tree = work_ + "/tree";
  MakeTree(tree);
  qvtest::ProgramRun run = Client({"encrypt", tree});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  ASSERT_FALSE(fs::exists(tree));
  run = Client({"decrypt", tree + ".qvef"});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  ExpectTreeKept(tree);
  umask(old);
}

TEST_F(ClientRoundTripTest, ASingleFileKeepsItsTimesAndModeWhateverTheQvfFileHas) {
  const mode_t old = umask(022);
  const std::string file = work_ + "/notes.txt";
  engine_test::WriteBytes(file, "notes");
  ASSERT_EQ(chmod(file.c_str(), 0600), 0);
  const timespec times[2] = {At(1970, 1, 1, 1), At(1960, 5, 5, 250)};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  qvtest::ProgramRun run = Client({"encrypt", file});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  // Whoever copied the encrypted file widened its mode; the plain file is still private.
  ASSERT_EQ(chmod((file + ".qvf").c_str(), 0644), 0);
  run = Client({"decrypt", file + ".qvf"});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  struct stat st {};
  ASSERT_EQ(lstat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << std::oct << (st.st_mode & 07777);
  EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
  EXPECT_EQ(st.st_mtim.tv_nsec, times[1].tv_nsec);
  EXPECT_EQ(st.st_atim.tv_sec, times[0].tv_sec);
  umask(old);
}

// Without a terminal each file's row is printed once, in order, and the count that closes
// the operation comes after the last one and counts the files (not the folders).
TEST_F(ClientRoundTripTest, ProgressWithoutATerminalListsEachFileOnceBeforeItsCount) {
  const std::string tree = work_ + "/tree";
  const std::vector<std::string> files = {"one.txt", "a/two.txt", "a/b/three.txt", "c/four.txt"};
  for (const std::string& file : files) {
    fs::create_directories(fs::path(tree + "/" + file).parent_path());
    engine_test::WriteBytes(tree + "/" + file, file);
  }
  for (const char* command : {"encrypt", "decrypt"}) {
    SCOPED_TRACE(command);
    const qvtest::ProgramRun run =
        Client({command, std::string(command) == "encrypt" ? tree : tree + ".qvef"});
    ASSERT_EQ(run.code, 0) << run.out << run.err;
    std::size_t lastRow = 0;
    for (const std::string& file : files) {
      const std::string name = fs::path(file).filename().string();
      const std::size_t row = run.out.find(name);
      ASSERT_NE(row, std::string::npos) << name << "\n" << run.out;
      EXPECT_EQ(run.out.find(name, row + 1), std::string::npos) << name << " twice\n" << run.out;
      lastRow = std::max(lastRow, row);
    }
    const std::size_t count = run.out.rfind(" 4/4\n");
    ASSERT_NE(count, std::string::npos) << run.out;
    EXPECT_GT(count, lastRow) << run.out;
    EXPECT_EQ(run.out.find("/6"), std::string::npos) << run.out;
  }
}

class EngineRoundTripTest : public engine_test::ProgressDialogFixture {};

TEST_F(EngineRoundTripTest, AFolderKeepsModesAndTimes) {
  const mode_t old = umask(022);
  const std::string tree = P("tree");
  MakeTree(tree);
  engine_test::Outcome run = RunDialog({tree}, true);
  ASSERT_EQ(run.result, IDOK) << run.Statuses();
  ASSERT_FALSE(fs::exists(tree));
  run = RunDialog({tree + ".qvef"}, false);
  ASSERT_EQ(run.result, IDOK) << run.Statuses();
  ExpectTreeKept(tree);
  umask(old);
}

}  // namespace
