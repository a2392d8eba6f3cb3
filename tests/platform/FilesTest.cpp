// The platform file functions on real files in a private temporary root: attributes both
// ways, times, directory searches, temporary names, moves and copies, folders, buffer
// limits, and the known folders.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "platform/KnownFolders.h"
#include "platform/LastError.h"
#include "tests/common/TestRoot.h"

namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

bool SupportsUserXattrs(const std::string& file) {
  if (setxattr(file.c_str(), "user.qvprobe", "1", 1, 0) != 0) return false;
  removexattr(file.c_str(), "user.qvprobe");
  return true;
}

std::string RawDosAttribute(const std::string& path) {
  char value[64] = {};
  const ssize_t n = getxattr(path.c_str(), kDosAttributeXattr, value, sizeof(value));
  return n < 0 ? std::string("<none>") : std::string(value, static_cast<std::size_t>(n));
}

// Every name a search for `pattern` returns, in order, and the error that ended it.
std::vector<std::string> Search(const std::string& pattern, DWORD* endError = nullptr) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data{};
  HANDLE find = FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    if (endError != nullptr) *endError = GetLastError();
    return names;
  }
  do names.emplace_back(data.cFileName);
  while (FindNextFileA(find, &data));
  if (endError != nullptr) *endError = GetLastError();
  EXPECT_TRUE(FindClose(find));
  return names;
}

// Restores the variables it names when it goes.
class SavedEnvironment {
 public:
  explicit SavedEnvironment(std::vector<std::string> names) : names_(std::move(names)) {
    for (const std::string& name : names_) {
      const char* value = std::getenv(name.c_str());
      values_.emplace_back(value != nullptr, value != nullptr ? value : "");
    }
  }
  ~SavedEnvironment() {
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (values_[i].first)
        setenv(names_[i].c_str(), values_[i].second.c_str(), 1);
      else
        unsetenv(names_[i].c_str());
    }
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::pair<bool, std::string>> values_;
};

class FilesTest : public RootedTest {
 protected:
  std::string Make(const std::string& name, const std::string& content = "data") {
    const std::string path = root_.Sub(name);
    WriteTextFile(path, content);
    return path;
  }
  std::string MakeDir(const std::string& name) {
    const std::string path = root_.Sub(name);
    EXPECT_EQ(mkdir(path.c_str(), 0755), 0) << path;
    return path;
  }
};

}  // namespace

TEST_F(FilesTest, AttributesFollowModeAndName) {
  const std::string file = Make("plain.txt");
  const std::string dir = MakeDir("folder");
  const std::string dotFile = Make(".profile");
  const std::string dotDir = MakeDir(".config");
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(GetFileAttributesA(dir.c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA((dir + "/").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA(dotFile.c_str()), FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(GetFileAttributesA(dotDir.c_str()), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(GetFileAttributesA((dir + "/.").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA((dir + "/..").c_str()), FILE_ATTRIBUTE_DIRECTORY);

  EXPECT_EQ(GetFileAttributesA(root_.Sub("missing").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesA(root_.Sub("missing/x").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesA(""), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesA(nullptr), INVALID_FILE_ATTRIBUTES);

  // Hidden cannot be given to a name without a dot, nor taken from one with it.
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(GetFileAttributesA(file.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  ASSERT_TRUE(SetFileAttributesA(dotFile.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_NE(GetFileAttributesA(dotFile.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

TEST_F(FilesTest, ReadOnlyMapsToTheWriteBits) {
  const std::string file = Make("report.txt");
  ASSERT_EQ(chmod(file.c_str(), 0764), 0);
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(ModeOf(file), 0544u) << "every write bit goes, the rest stays";
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_READONLY);

  // As on Windows a read-only file is not deleted.
  EXPECT_FALSE(DeleteFileA(file.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(PathExists(file));

  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(ModeOf(file), 0744u);
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(DeleteFileA(file.c_str()));
  EXPECT_FALSE(PathExists(file));

  EXPECT_FALSE(SetFileAttributesA(root_.Sub("missing").c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FilesTest, ExtraBitsLiveInTheExtendedAttribute) {
  const std::string file = Make("archive.dat");
  if (!SupportsUserXattrs(file)) GTEST_SKIP() << "the temporary file system keeps no xattrs";

  ASSERT_TRUE(SetFileAttributesA(
      file.c_str(), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(RawDosAttribute(file), "0x24");

  // Read-only together with a kept bit, set on a file that is already read-only.
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(ModeOf(file), 0444u);

  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(RawDosAttribute(file), "<none>");

  // A value with a terminator and trailing binary data reads as its text part; other text
  // is ignored.
  const char tagged[] = {'0', 'x', '2', '0', '\0', 3, 0, 1};
  ASSERT_EQ(setxattr(file.c_str(), kDosAttributeXattr, tagged, sizeof(tagged), 0), 0);
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_ARCHIVE);
  ASSERT_EQ(setxattr(file.c_str(), kDosAttributeXattr, "junk", 4, 0), 0);
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FilesTest, ReadOnlyFolderStaysWritable) {
  const std::string dir = MakeDir("kept");
  if (!SupportsUserXattrs(dir)) GTEST_SKIP() << "the temporary file system keeps no xattrs";
  ASSERT_TRUE(SetFileAttributesA(dir.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesA(dir.c_str()), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(ModeOf(dir), 0755u);
  WriteTextFile(dir + "/inside.txt", "x");
  ASSERT_TRUE(SetFileAttributesA(dir.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributesA(dir.c_str()), FILE_ATTRIBUTE_DIRECTORY);

  // Normal attributes give the owner write access back.
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  EXPECT_EQ(GetFileAttributesA(dir.c_str()), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(SetFileAttributesA(dir.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(ModeOf(dir), 0755u);
}

TEST_F(FilesTest, TimesAreSetAndReadBack) {
  const std::string file = Make("timed.txt");
  FILETIME access{};
  FILETIME write{};
  ASSERT_TRUE(UnixTimeToFileTime(1'000'000'000, 123'456'700, &access));
  ASSERT_TRUE(UnixTimeToFileTime(1'200'000'000, 0, &write));
  ASSERT_TRUE(SetFileTimesA(file.c_str(), &access, &write));

  FILETIME creation{};
  FILETIME gotAccess{};
  FILETIME gotWrite{};
  ASSERT_TRUE(GetFileTimesA(file.c_str(), &creation, &gotAccess, &gotWrite));
  EXPECT_EQ(FileTimeToTicks(gotAccess), FileTimeToTicks(access));
  EXPECT_EQ(FileTimeToTicks(gotWrite), FileTimeToTicks(write));
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  EXPECT_NE(FileTimeToTicks(creation), 0u);
  EXPECT_LE(CompareFileTime(&creation, &now), 0);

  // A null or zero time leaves that time alone.
  FILETIME later{};
  ASSERT_TRUE(UnixTimeToFileTime(1'300'000'000, 0, &later));
  const FILETIME zero{0, 0};
  ASSERT_TRUE(SetFileTimesA(file.c_str(), nullptr, &later));
  ASSERT_TRUE(SetFileTimesA(file.c_str(), &zero, nullptr));
  ASSERT_TRUE(GetFileTimesA(file.c_str(), nullptr, &gotAccess, &gotWrite));
  EXPECT_EQ(FileTimeToTicks(gotAccess), FileTimeToTicks(access));
  EXPECT_EQ(FileTimeToTicks(gotWrite), FileTimeToTicks(later));

  WIN32_FILE_ATTRIBUTE_DATA info{};
  ASSERT_TRUE(GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &info));
  EXPECT_EQ(FileTimeToTicks(info.ftLastWriteTime), FileTimeToTicks(later));
  EXPECT_EQ(info.nFileSizeLow, 4u);

  EXPECT_FALSE(SetFileTimesA(root_.Sub("missing").c_str(), &access, &write));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FilesTest, DirectorySearchYieldsDotsEntriesAndTheEnd) {
  const std::string dir = MakeDir("list");
  WriteTextFile(dir + "/a.txt", "12345");
  WriteTextFile(dir + "/b.QVF", "");
  WriteTextFile(dir + "/c", "");
  WriteTextFile(dir + "/\xC3\xA9.txt", "");  // é
  ASSERT_EQ(mkdir((dir + "/d").c_str(), 0755), 0);

  DWORD end = 0;
  const std::vector<std::string> all = Search(dir + "/*", &end);
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(all[0], ".");
  EXPECT_EQ(all[1], "..");
  EXPECT_THAT(std::vector<std::string>(all.begin() + 2, all.end()),
              UnorderedElementsAre("a.txt", "b.QVF", "c", "\xC3\xA9.txt", "d"));
  EXPECT_EQ(end, static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_EQ(Search(dir + "/*.*"), all);

  EXPECT_THAT(Search(dir + "/*.qvf"), ElementsAre("b.QVF"));
  EXPECT_THAT(Search(dir + "/?.txt"), UnorderedElementsAre("a.txt", "\xC3\xA9.txt"));
  EXPECT_THAT(Search(dir + "/*.t?t"), UnorderedElementsAre("a.txt", "\xC3\xA9.txt"));
  EXPECT_THAT(Search(dir + "/a.txt"), ElementsAre("a.txt"));
  EXPECT_THAT(Search(dir + "/x*", &end), ElementsAre());
  EXPECT_EQ(end, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_THAT(Search(dir + "/nothing", &end), ElementsAre());
  EXPECT_EQ(end, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_THAT(Search(root_.Sub("missing/*"), &end), ElementsAre());
  EXPECT_EQ(end, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_THAT(Search(root_.Sub("missing/x"), &end), ElementsAre());
  EXPECT_EQ(end, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_THAT(Search(dir + "/", &end), ElementsAre());
  EXPECT_EQ(end, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // What each entry reports.
  WIN32_FIND_DATAA data{};
  HANDLE find = FindFirstFileA((dir + "/a.txt").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.nFileSizeLow, 5u);
  EXPECT_EQ(data.nFileSizeHigh, 0u);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_STREQ(data.cAlternateFileName, "");
  EXPECT_FALSE(FindNextFileA(find, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(find));
  EXPECT_FALSE(FindNextFileA(find, &data)) << "a closed handle is refused";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(FindClose(find));
  find = FindFirstFileA((dir + "/d").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  FindClose(find);
}

TEST_F(FilesTest, SearchSkipsEntriesRemovedMeanwhileAndReportsLargeSizes) {
  const std::string dir = MakeDir("changing");
  WriteTextFile(dir + "/first", "");
  WriteTextFile(dir + "/second", "");
  const std::string big = dir + "/big";
  const int fd = open(big.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, (5LL << 30) + 7), 0);  // sparse, 5 GiB + 7
  close(fd);

  WIN32_FIND_DATAA data{};
  HANDLE find = FindFirstFileA((dir + "/*").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  ASSERT_EQ(unlink((dir + "/second").c_str()), 0);
  std::set<std::string> seen;
  do {
    seen.insert(data.cFileName);
    if (std::string(data.cFileName) == "big") {
      EXPECT_EQ(data.nFileSizeHigh, 1u);
      EXPECT_EQ(data.nFileSizeLow, (1u << 30) + 7);
    }
  } while (FindNextFileA(find, &data));
  FindClose(find);
  EXPECT_EQ(seen, (std::set<std::string>{".", "..", "first", "big"}));
}

TEST_F(FilesTest, TempPathAndBufferLimits) {
  const std::string tmp = std::getenv("TMPDIR");
  char buffer[512];
  ASSERT_EQ(GetTempPathA(sizeof(buffer), buffer), tmp.size() + 1);
  EXPECT_EQ(std::string(buffer), tmp + "/");

  // Too small: the size needed (terminator included), and the buffer is left alone.
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(GetTempPathA(static_cast<DWORD>(tmp.size() + 1), buffer), tmp.size() + 2);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(GetTempPathA(0, nullptr), tmp.size() + 2);

  setenv("TMPDIR", (tmp + "//").c_str(), 1);
  ASSERT_GT(GetTempPathA(sizeof(buffer), buffer), 0u);
  EXPECT_EQ(std::string(buffer), tmp + "/");
  unsetenv("TMPDIR");
  ASSERT_EQ(GetTempPathA(sizeof(buffer), buffer), 5u);
  EXPECT_STREQ(buffer, "/tmp/");
  setenv("TMPDIR", tmp.c_str(), 1);
}

TEST_F(FilesTest, TempFileNamesAreNewPrivateFiles) {
  const std::string dir = MakeDir("temps");
  std::set<std::string> names;
  char out[8000];
  for (int i = 0; i < 300; ++i) {
    const UINT number = GetTempFileNameA(dir.c_str(), "abcdef", 0, out);
    ASSERT_NE(number, 0u);
    const std::string path = out;
    EXPECT_EQ(path.rfind(dir + "/abc", 0), 0u) << path;
    EXPECT_EQ(path.substr(path.size() - 4), ".tmp");
    EXPECT_EQ(ModeOf(path), 0600u);
    names.insert(path);
  }
  EXPECT_EQ(names.size(), 300u);

  // With a number given only the name is formed.
  ASSERT_EQ(GetTempFileNameA((dir + "/").c_str(), "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 0x51234, out),
            0x1234u);
  EXPECT_EQ(std::string(out), dir +
                                  "/\xC3\xA9\xC3\xA9\xC3\xA9"
                                  "1234.tmp");
  EXPECT_FALSE(PathExists(out));
  ASSERT_NE(GetTempFileNameA(dir.c_str(), "", 0, out), 0u) << "an empty prefix is allowed";

  char small[16];
  EXPECT_EQ(GetTempFileNameA(dir.c_str(), "qv", 0, small), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
  EXPECT_EQ(GetTempFileNameA(root_.Sub("missing").c_str(), "qv", 0, out), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetTempFileNameA(dir.c_str(), "../x", 0, out), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Search(dir + "/*").size(), 2u + 300u + 1u) << "failed calls create nothing";
}

TEST_F(FilesTest, TempFileNumberUsesOnlyItsLowBits) {
  const std::string dir = MakeDir("numbered");
  char out[8000];
  SetLastError(0);
  const UINT number = GetTempFileNameA(dir.c_str(), "qv", 0x10000, out);
  ASSERT_NE(number, 0u) << "low bits 0 ask for a new file, error " << GetLastError();
  EXPECT_LE(number, 0xFFFFu);
  EXPECT_TRUE(PathExists(out)) << out;
  EXPECT_EQ(Search(dir + "/*").size(), 3u);
}

TEST_F(FilesTest, CopyAndMoveReplaceALinkAtTheTargetWithoutFollowingIt) {
  const std::string kept = Make("kept.txt", "precious");
  const std::string from = Make("from.txt", "new");
  const std::string link = root_.Sub("link.txt");
  ASSERT_EQ(symlink(kept.c_str(), link.c_str()), 0);
  ASSERT_TRUE(CopyFileA(from.c_str(), link.c_str(), FALSE));
  EXPECT_EQ(GetFileAttributesA(link.c_str()), FILE_ATTRIBUTE_NORMAL) << "the link was replaced";
  EXPECT_EQ(ReadTextFile(kept), "precious");

  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink(kept.c_str(), link.c_str()), 0);
  ASSERT_TRUE(MoveFileExA(from.c_str(), link.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadTextFile(link), "new");
  EXPECT_EQ(ReadTextFile(kept), "precious");
}

TEST_F(FilesTest, MoveWithoutReplaceLeavesBothFilesAlone) {
  const std::string from = Make("from.txt", "source");
  const std::string to = Make("to.txt", "target");
  EXPECT_FALSE(MoveFileA(from.c_str(), to.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadTextFile(from), "source");
  EXPECT_EQ(ReadTextFile(to), "target");

  const std::string dir = MakeDir("dir");
  EXPECT_FALSE(MoveFileExA(from.c_str(), dir.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_EQ(chmod(to.c_str(), 0444), 0);
  EXPECT_FALSE(MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_EQ(chmod(to.c_str(), 0644), 0);

  ASSERT_TRUE(MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(PathExists(from));
  EXPECT_EQ(ReadTextFile(to), "source");

  const std::string moved = root_.Sub("dir/moved.txt");
  ASSERT_TRUE(MoveFileA(to.c_str(), moved.c_str()));
  EXPECT_EQ(ReadTextFile(moved), "source");
  ASSERT_TRUE(MoveFileA(dir.c_str(), root_.Sub("renamed").c_str())) << "folders move too";
  EXPECT_EQ(ReadTextFile(root_.Sub("renamed/moved.txt")), "source");

  EXPECT_FALSE(MoveFileA(root_.Sub("missing").c_str(), root_.Sub("x").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(MoveFileA(root_.Sub("renamed/moved.txt").c_str(), root_.Sub("no/x").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FilesTest, MoveAcrossFileSystemsCopiesWhenAllowed) {
  struct stat here {};
  struct stat shm {};
  ASSERT_EQ(stat(root_.Path().c_str(), &here), 0);
  if (stat("/dev/shm", &shm) != 0 || shm.st_dev == here.st_dev || access("/dev/shm", W_OK) != 0)
    GTEST_SKIP() << "no second writable file system";
  char pattern[] = "/dev/shm/qvmove-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string other = pattern;
  const std::string from = Make("travel.txt", "contents");
  FILETIME write{};
  ASSERT_TRUE(UnixTimeToFileTime(1'100'000'000, 0, &write));
  ASSERT_TRUE(SetFileTimesA(from.c_str(), nullptr, &write));
  const std::string to = other + "/travel.txt";

  EXPECT_FALSE(MoveFileExA(from.c_str(), to.c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
  EXPECT_TRUE(MoveFileA(from.c_str(), to.c_str()));
  EXPECT_FALSE(PathExists(from));
  EXPECT_EQ(ReadTextFile(to), "contents");
  FILETIME got{};
  EXPECT_TRUE(GetFileTimesA(to.c_str(), nullptr, nullptr, &got));
  EXPECT_EQ(FileTimeToTicks(got), FileTimeToTicks(write));
  std::vector<std::string> left = Search(other + "/*");
  EXPECT_THAT(left, ElementsAre(".", "..", "travel.txt")) << "no temporary copy is left";
  unlink(to.c_str());
  rmdir(other.c_str());
}

TEST_F(FilesTest, CopyKeepsContentsModeAndTimes) {
  const std::string from = Make("original.txt", "payload");
  ASSERT_EQ(chmod(from.c_str(), 0640), 0);
  FILETIME write{};
  ASSERT_TRUE(UnixTimeToFileTime(1'234'567'890, 0, &write));
  ASSERT_TRUE(SetFileTimesA(from.c_str(), nullptr, &write));
  const std::string to = root_.Sub("copy.txt");

  ASSERT_TRUE(CopyFileA(from.c_str(), to.c_str(), TRUE));
  EXPECT_EQ(ReadTextFile(to), "payload");
  EXPECT_EQ(ModeOf(to), 0640u);
  FILETIME got{};
  ASSERT_TRUE(GetFileTimesA(to.c_str(), nullptr, nullptr, &got));
  EXPECT_EQ(FileTimeToTicks(got), FileTimeToTicks(write));

  WriteTextFile(to, "changed");
  EXPECT_FALSE(CopyFileA(from.c_str(), to.c_str(), TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(ReadTextFile(to), "changed");
  ASSERT_TRUE(CopyFileA(from.c_str(), to.c_str(), FALSE));
  EXPECT_EQ(ReadTextFile(to), "payload");

  EXPECT_FALSE(CopyFileA(root_.Sub("missing").c_str(), to.c_str(), FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_THAT(Search(root_.Sub("*")),
              UnorderedElementsAre(".", "..", "root", "run", "tmp", "original.txt", "copy.txt"));
}

TEST_F(FilesTest, FoldersAreCreatedAndRemoved) {
  const std::string dir = root_.Sub("made");
  ASSERT_TRUE(CreateDirectoryA(dir.c_str()));
  EXPECT_FALSE(CreateDirectoryA(dir.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateDirectoryA(root_.Sub("no/such").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  WriteTextFile(dir + "/file", "x");
  EXPECT_FALSE(RemoveDirectoryA(dir.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_FALSE(RemoveDirectoryA((dir + "/file").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_FALSE(DeleteFileA(dir.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(DeleteFileA((dir + "/file").c_str()));
  EXPECT_FALSE(DeleteFileA((dir + "/file").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(RemoveDirectoryA((dir + "/").c_str()));
  EXPECT_FALSE(PathExists(dir));
}

TEST_F(FilesTest, SymbolicLinksAreEntriesOfTheirOwn) {
  const std::string outside = MakeDir("outside");
  WriteTextFile(outside + "/keep.txt", "precious");
  const std::string tree = MakeDir("tree");
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/keep.txt").c_str(), (tree + "/filelink").c_str()), 0);

  EXPECT_EQ(GetFileAttributesA((tree + "/dirlink").c_str()), FILE_ATTRIBUTE_REPARSE_POINT);
  WIN32_FIND_DATAA data{};
  HANDLE find = FindFirstFileA((tree + "/filelink").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(data.nFileSizeLow, 0u);
  FindClose(find);

  ASSERT_TRUE(SetFileAttributesA((tree + "/filelink").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(ModeOf(outside + "/keep.txt") & 0200, 0200u) << "the target is not changed";
  EXPECT_FALSE(OverwriteFileA((tree + "/filelink").c_str(), "xx", 2));
  EXPECT_EQ(ReadTextFile(outside + "/keep.txt"), "precious");

  EXPECT_TRUE(DeleteFileA((tree + "/filelink").c_str()));
  EXPECT_TRUE(RemoveDirectoryA((tree + "/dirlink").c_str()));
  EXPECT_EQ(Search(tree + "/*").size(), 2u);
  EXPECT_EQ(ReadTextFile(outside + "/keep.txt"), "precious");
}

TEST_F(FilesTest, OverwriteReplacesContents) {
  const std::string file = Make("secret.txt", "a long secret text");
  ASSERT_TRUE(OverwriteFileA(file.c_str(), "     ", 5));
  EXPECT_EQ(ReadTextFile(file), "     ");
  EXPECT_FALSE(OverwriteFileA(root_.Sub("missing").c_str(), "x", 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(PathExists(root_.Sub("missing"))) << "nothing is created";
  EXPECT_FALSE(OverwriteFileA(root_.Path().c_str(), "x", 1));
}

TEST_F(FilesTest, CurrentFullAndLongPaths) {
  char saved[8000];
  ASSERT_GT(GetCurrentDirectoryA(sizeof(saved), saved), 0u);
  const std::string work = MakeDir("work");
  ASSERT_TRUE(SetCurrentDirectoryA(work.c_str()));
  char buffer[8000];
  ASSERT_EQ(GetCurrentDirectoryA(sizeof(buffer), buffer), work.size());
  EXPECT_EQ(std::string(buffer), work);
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(GetCurrentDirectoryA(static_cast<DWORD>(work.size()), buffer), work.size() + 1);
  EXPECT_EQ(buffer[0], 'x');

  struct Case {
    const char* in;
    std::string out;
  } cases[] = {
      {"a/./b/../c", work + "/a/c"},
      {"a//b/", work + "/a/b/"},
      {"..", root_.Path()},
      {"/x/../../y/./z", "/y/z"},
      {"/..", "/"},
  };
  for (const Case& c : cases) {
    LPSTR filePart = nullptr;
    const DWORD n = GetFullPathNameA(c.in, sizeof(buffer), buffer, &filePart);
    ASSERT_EQ(n, c.out.size()) << c.in;
    EXPECT_EQ(std::string(buffer), c.out) << c.in;
    if (c.out.back() == '/')
      EXPECT_EQ(filePart, nullptr) << c.in;
    else
      EXPECT_STREQ(filePart, c.out.substr(c.out.find_last_of('/') + 1).c_str()) << c.in;
  }
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(GetFullPathNameA("abc", 4, buffer), work.size() + 5);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(GetFullPathNameA("", sizeof(buffer), buffer), 0u);
  LPSTR untouched = nullptr;
  EXPECT_EQ(GetFullPathNameA("abc", sizeof(buffer), nullptr, &untouched), work.size() + 5)
      << "a size query";
  EXPECT_EQ(untouched, nullptr) << "nothing was written to point into";

  WriteTextFile(work + "/here.txt", "");
  std::strcpy(buffer, "here.txt");
  EXPECT_EQ(GetLongPathNameA(buffer, buffer, sizeof(buffer)), 8u) << "in place";
  EXPECT_STREQ(buffer, "here.txt");
  EXPECT_EQ(GetLongPathNameA("here.txt", buffer, 8), 9u);
  EXPECT_EQ(GetLongPathNameA("gone.txt", buffer, sizeof(buffer)), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  EXPECT_FALSE(SetCurrentDirectoryA("here.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_FALSE(SetCurrentDirectoryA("gone"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_TRUE(SetCurrentDirectoryA(saved));
}

TEST_F(FilesTest, KnownFoldersFollowTheXdgVariables) {
  const SavedEnvironment saved(
      {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"});
  setenv("HOME", root_.Sub("home").c_str(), 1);
  setenv("XDG_CONFIG_HOME", root_.Sub("cfg/").c_str(), 1);
  setenv("XDG_CACHE_HOME", "relative/cache", 1);  // not absolute: ignored
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_STATE_HOME");
  std::string path;
  ASSERT_TRUE(GetKnownFolderPath(KnownFolder::UserConfig, path));
  EXPECT_EQ(path, root_.Sub("cfg"));
  ASSERT_TRUE(GetKnownFolderPath(KnownFolder::UserCache, path));
  EXPECT_EQ(path, root_.Sub("home/.cache"));
  ASSERT_TRUE(GetKnownFolderPath(KnownFolder::UserData, path));
  EXPECT_EQ(path, root_.Sub("home/.local/share"));
  ASSERT_TRUE(GetKnownFolderPath(KnownFolder::UserState, path));
  EXPECT_EQ(path, root_.Sub("home/.local/state"));
  ASSERT_TRUE(GetKnownFolderPath(KnownFolder::Profiles, path));
  EXPECT_EQ(path, "/home");

  const std::vector<std::string> protectedFolders = ProtectedFolders("/srv/quorvin/");
  const std::set<std::string> set(protectedFolders.begin(), protectedFolders.end());
  for (const char* f : {"/usr", "/etc", "/boot", "/opt", "/lib64", "/srv/quorvin"})
    EXPECT_EQ(set.count(f), 1u) << f;
  EXPECT_EQ(set.count(root_.Sub("cfg")), 1u);
  EXPECT_EQ(set.count(root_.Sub("home/.local/share")), 1u);
  EXPECT_EQ(set.count("/home"), 0u) << "the profiles folder is compared for equality only";

  char small[4];
  EXPECT_EQ(GetWindowsDirectoryA(small, sizeof(small)), 5u);
  char windows[16];
  ASSERT_TRUE(GetKnownFolderPath(KnownFolder::Windows, path));
  EXPECT_EQ(GetWindowsDirectoryA(windows, sizeof(windows)), path.size());
  EXPECT_EQ(std::string(windows), path);
}
