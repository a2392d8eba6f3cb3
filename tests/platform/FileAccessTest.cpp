// Regular files by path and folders' modes and times: what is refused (and left as it was),
// and that nothing is reached through a link where the rules say it must not be.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/FileAccess.h"
#include "platform/LastError.h"
#include "platform/StagedFile.h"
#include "tests/common/TestRoot.h"

namespace fs = std::filesystem;

namespace {

class FileAccessTest : public RootedTest {
 protected:
  std::string P(const std::string& name) const { return root_.Sub(name); }
};

TEST_F(FileAccessTest, WritesReachOnlyRegularFilesAndNeverThroughALink) {
  WriteTextFile(P("target.txt"), "keep me");
  fs::create_symlink(P("target.txt"), P("link.txt"));
  ASSERT_EQ(mkfifo(P("pipe").c_str(), 0600), 0);
  fs::create_directories(P("folder"));
  // Neither kind of open writes through a link or into anything but a regular file; a
  // creation refuses every name that is taken, a dangling link's too.
  fs::create_symlink(P("nowhere.txt"), P("dangling.txt"));
  for (const char* name : {"link.txt", "pipe", "folder"}) {
    RegularFile file;
    EXPECT_FALSE(file.OpenForWriting(P(name).c_str(), false)) << name << ": must not wait either";
    EXPECT_FALSE(file.Valid());
  }
  for (const char* name : {"link.txt", "pipe", "folder", "target.txt", "dangling.txt"}) {
    RegularFile file;
    EXPECT_FALSE(file.CreateNew(P(name).c_str())) << name;
    EXPECT_FALSE(file.Valid());
  }
  EXPECT_FALSE(fs::exists(P("nowhere.txt")));
  RegularFile created;
  ASSERT_TRUE(created.CreateNew(P("new.txt").c_str()));
  ASSERT_TRUE(created.Write("fresh", 5));
  ASSERT_TRUE(created.Close());
  EXPECT_EQ(ReadTextFile(P("new.txt")), "fresh");
  RegularFile device;
  EXPECT_FALSE(device.OpenForWriting("/dev/null", false));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ReadTextFile(P("target.txt")), "keep me");
  EXPECT_TRUE(fs::is_symlink(P("link.txt")) && fs::is_fifo(P("pipe")));

  // A regular file is emptied, or appended to; what reached it is what was written.
  RegularFile file;
  ASSERT_TRUE(file.OpenForWriting(P("target.txt").c_str(), false));
  ASSERT_TRUE(file.Write("new", 3));
  ASSERT_TRUE(file.Close());
  ASSERT_TRUE(file.OpenForWriting(P("target.txt").c_str(), true));
  EXPECT_EQ(file.SizeWhenOpened(), 3u);
  ASSERT_TRUE(file.Write(" end", 4));
  ASSERT_TRUE(file.Close());
  EXPECT_EQ(ReadTextFile(P("target.txt")), "new end");
  EXPECT_FALSE(file.Close()) << "closed already";

  // Reading follows a link to a regular file, and refuses the rest without waiting.
  RegularFile reader;
  ASSERT_TRUE(reader.OpenForReading(P("link.txt").c_str()));
  char text[16] = {};
  EXPECT_EQ(reader.Read(text, sizeof text), 7);
  EXPECT_STREQ(text, "new end");
  EXPECT_FALSE(reader.OpenForReading(P("pipe").c_str()));
  EXPECT_FALSE(reader.OpenForReading(P("folder").c_str()));
}

TEST_F(FileAccessTest, FolderModesAndTimesAreExactAndNeverSetThroughALink) {
  fs::create_directories(P("base/a/b"));
  fs::create_directories(P("elsewhere/b"));
  const timespec modified = {1500000000, 123456789};
  const timespec accessed = {1400000000, 987654321};
  const std::uint16_t mode = 0750;
  ASSERT_TRUE(SetFolderModeAndTimes(P("base").c_str(), {"a", "b"}, &mode, &modified, &accessed));
  FolderModeAndTimes facts;
  ASSERT_TRUE(GetFolderModeAndTimes(P("base/a/b").c_str(), &facts));
  EXPECT_EQ(facts.mode, 0750);
  EXPECT_EQ(facts.modified.tv_sec, modified.tv_sec);
  EXPECT_EQ(facts.modified.tv_nsec, modified.tv_nsec);
  EXPECT_EQ(facts.accessed.tv_nsec, accessed.tv_nsec);

  // Only the last-write time, the rest left as it is.
  const timespec later = {1600000000, 0};
  ASSERT_TRUE(SetFolderModeAndTimes(P("base").c_str(), {"a", "b"}, nullptr, &later, nullptr));
  ASSERT_TRUE(GetFolderModeAndTimes(P("base/a/b").c_str(), &facts));
  EXPECT_EQ(facts.modified.tv_sec, later.tv_sec);
  EXPECT_EQ(facts.accessed.tv_nsec, accessed.tv_nsec);
  EXPECT_EQ(facts.mode, 0750);

  // A link in place of a folder leads nowhere, on the way or at the end.
  fs::create_directory_symlink(P("elsewhere"), P("base/link"));
  FolderModeAndTimes before;
  ASSERT_TRUE(GetFolderModeAndTimes(P("elsewhere/b").c_str(), &before));
  EXPECT_FALSE(SetFolderModeAndTimes(P("base").c_str(), {"link", "b"}, &mode, &later, nullptr));
  EXPECT_FALSE(SetFolderModeAndTimes(P("base").c_str(), {"link"}, &mode, &later, nullptr));
  EXPECT_FALSE(GetFolderModeAndTimes(P("base/link").c_str(), &facts));
  ASSERT_TRUE(GetFolderModeAndTimes(P("elsewhere/b").c_str(), &facts));
  EXPECT_EQ(facts.mode, before.mode);
  EXPECT_EQ(facts.modified.tv_sec, before.modified.tv_sec);
}

// Staged files get the usual mode by reading the umask, never by setting it: while another
// thread had it at 0, every file that thread created was left writable by everyone.
TEST_F(FileAccessTest, StagedFilesTakeTheUmaskWithoutWideningOtherThreadsFiles) {
  const mode_t old = umask(022);
  EXPECT_EQ(CurrentUmask(), static_cast<mode_t>(022));
  fs::create_directories(P("staged"));
  fs::create_directories(P("others"));
  std::atomic<bool> staging{true};
  std::thread stager([&] {
    for (int i = 0; i < 3000; ++i) {
      StagedFile file;
      ASSERT_TRUE(file.Create(P("staged").c_str(), {}));
      ASSERT_TRUE(file.Finish(nullptr, false));
      struct stat facts {};
      if (i == 0) {
        ASSERT_EQ(stat((P("staged/") + file.TemporaryName()).c_str(), &facts), 0);
        EXPECT_EQ(facts.st_mode & 0777, 0644u);
      }
    }
    staging = false;
  });
  int widened = 0;
  for (int i = 0; staging || i < 100; ++i) {
    const std::string path = P("others/" + std::to_string(i % 100));
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    struct stat facts {};
    ASSERT_EQ(fstat(fd, &facts), 0);
    close(fd);
    unlink(path.c_str());
    if ((facts.st_mode & 0777) != 0644) ++widened;
  }
  stager.join();
  umask(old);
  EXPECT_EQ(widened, 0) << "files made while a staged file was finished";
}

}  // namespace
