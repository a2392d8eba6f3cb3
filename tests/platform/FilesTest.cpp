// The platform file functions on real files in a private root: attributes, times, searches,
// temporary names, moves and copies, folders and links, buffer limits and known folders.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
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

// Every name a search for `pattern` returns, in order, and the error that ended it.
std::vector<std::string> Search(const std::string& pattern, DWORD* endError = nullptr) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data{};
  HANDLE find = FindFirstFileA(pattern.c_str(), &data);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &data))
    names.emplace_back(data.cFileName);
  if (endError != nullptr) *endError = GetLastError();
  EXPECT_TRUE(find == INVALID_HANDLE_VALUE || FindClose(find));
  return names;
}

// The error a failed call left behind (-1 when the call succeeded).
LSTATUS Failed(bool ok) { return ok ? -1 : static_cast<LSTATUS>(GetLastError()); }

class FilesTest : public RootedTest {
 protected:
  std::string Make(const std::string& name, const std::string& content = "data") {
    WriteTextFile(root_.Sub(name), content);
    return root_.Sub(name);
  }
  std::string MakeDir(const std::string& name) {
    EXPECT_EQ(mkdir(root_.Sub(name).c_str(), 0755), 0) << name;
    return root_.Sub(name);
  }
  // outside/keep.txt, holding "precious", with links to the folder and to the file.
  std::string KeepOutside(const std::string& dirLink, const std::string& fileLink) {
    MakeDir("outside");
    EXPECT_EQ(symlink(root_.Sub("outside").c_str(), dirLink.c_str()), 0) << dirLink;
    EXPECT_EQ(symlink(root_.Sub("outside/keep.txt").c_str(), fileLink.c_str()), 0) << fileLink;
    return Make("outside/keep.txt", "precious");
  }
};

}  // namespace

TEST_F(FilesTest, AttributesFollowModeNameAndExtendedAttribute) {
  const std::string file = Make("plain.txt"), dotFile = Make(".profile"), dir = MakeDir("folder");
  const std::pair<std::string, DWORD> cases[] = {
      {file, FILE_ATTRIBUTE_NORMAL},
      {dir + "/", FILE_ATTRIBUTE_DIRECTORY},
      {dotFile, FILE_ATTRIBUTE_HIDDEN},
      {dir + "/..", FILE_ATTRIBUTE_DIRECTORY},  // "." and ".." are not hidden
  };
  for (const auto& [path, want] : cases) EXPECT_EQ(GetFileAttributesA(path.c_str()), want) << path;
  EXPECT_EQ(GetFileAttributesA(root_.Sub("missing").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesA(nullptr), INVALID_FILE_ATTRIBUTES);
  // Hidden cannot be given to a name without a dot.
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_NORMAL);

  // Read-only takes every write bit and leaves the rest; such a file is not deleted.
  ASSERT_EQ(chmod(file.c_str(), 0764), 0);
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(ModeOf(file), 0544u);
  EXPECT_EQ(Failed(DeleteFileA(file.c_str())), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(ModeOf(file), 0744u);
  // A read-only folder keeps its write bits.
  ASSERT_TRUE(SetFileAttributesA(dir.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesA(dir.c_str()), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(ModeOf(dir), 0755u);

  if (setxattr(file.c_str(), "user.qvprobe", "1", 1, 0) != 0)
    GTEST_SKIP() << "the temporary file system keeps no xattrs";
  ASSERT_TRUE(SetFileAttributesA(
      file.c_str(), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM);
  char raw[64] = {};
  EXPECT_EQ(getxattr(file.c_str(), kDosAttributeXattr, raw, sizeof(raw)), 4);
  EXPECT_STREQ(raw, "0x24");
  // Read-only with a kept bit, set on a file that is already read-only.
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(ModeOf(file), 0444u);
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  // Text with a terminator and binary data after it reads as the text; other text is ignored.
  const char tagged[] = {'0', 'x', '2', '0', '\0', 3, 0, 1};
  ASSERT_EQ(setxattr(file.c_str(), kDosAttributeXattr, tagged, sizeof(tagged), 0), 0);
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_ARCHIVE);
  ASSERT_EQ(setxattr(file.c_str(), kDosAttributeXattr, "junk", 4, 0), 0);
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FilesTest, SearchYieldsDotsEntriesAndTheEndAndSkipsEntriesRemovedMeanwhile) {
  const std::string dir = MakeDir("list");
  for (const char* name : {"a.txt", "b.QVF", "c", "\xC3\xA9.txt"})
    WriteTextFile(dir + "/" + name, "");
  ASSERT_EQ(mkdir((dir + "/d").c_str(), 0755), 0);

  DWORD end = 0;
  const std::vector<std::string> all = Search(dir + "/*", &end);
  ASSERT_GE(all.size(), 2u);
  EXPECT_THAT(std::vector<std::string>(all.begin(), all.begin() + 2), ElementsAre(".", ".."));
  EXPECT_THAT(std::vector<std::string>(all.begin() + 2, all.end()),
              UnorderedElementsAre("a.txt", "b.QVF", "c", "\xC3\xA9.txt", "d"));
  EXPECT_EQ(end, static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_EQ(Search(dir + "/*.*"), all);
  EXPECT_THAT(Search(dir + "/*.qvf"), ElementsAre("b.QVF"));
  EXPECT_THAT(Search(dir + "/?.t?t"), UnorderedElementsAre("a.txt", "\xC3\xA9.txt"));
  EXPECT_THAT(Search(dir + "/x*", &end), ElementsAre());
  EXPECT_EQ(end, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_THAT(Search(root_.Sub("missing/*"), &end), ElementsAre());
  EXPECT_EQ(end, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  // An entry removed after the search began is skipped; a size past 4 GiB comes whole.
  ASSERT_EQ(truncate((dir + "/c").c_str(), (5LL << 30) + 7), 0);  // sparse, 5 GiB + 7
  WIN32_FIND_DATAA data{};
  HANDLE find = FindFirstFileA((dir + "/*").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  ASSERT_EQ(unlink((dir + "/a.txt").c_str()), 0);
  std::set<std::string> seen;
  do {
    seen.insert(data.cFileName);
    if (std::string(data.cFileName) == "c") {
      EXPECT_EQ(FileSizeOf(data), (5ull << 30) + 7);
    }
  } while (FindNextFileA(find, &data));
  EXPECT_EQ(seen, (std::set<std::string>{".", "..", "b.QVF", "c", "\xC3\xA9.txt", "d"}));
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ(Failed(FindNextFileA(find, &data)), ERROR_INVALID_HANDLE) << "a closed handle";
  EXPECT_FALSE(FindClose(find));
}

TEST_F(FilesTest, TempPathTempFileNamesAndUniqueFolders) {
  const std::string tmp = std::getenv("TMPDIR");
  char buffer[512];
  // Too small: the size needed (terminator included), and the buffer is left alone.
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(GetTempPathA(static_cast<DWORD>(tmp.size() + 1), buffer), tmp.size() + 2);
  EXPECT_EQ(buffer[0], 'x');

  const std::string dir = MakeDir("temps");
  std::set<std::string> names;
  char out[8000];
  for (int i = 0; i < 300; ++i) {
    ASSERT_NE(GetTempFileNameA(dir.c_str(), "abcdef", 0, out), 0u);
    EXPECT_EQ(std::string(out).rfind(dir + "/abc", 0), 0u) << out;
    EXPECT_EQ(ModeOf(out), 0600u);
    names.insert(out);
  }
  EXPECT_EQ(names.size(), 300u);
  // With a number given only the name is formed, from at most three characters of the prefix.
  ASSERT_EQ(GetTempFileNameA((dir + "/").c_str(), "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 0x51234, out),
            0x1234u);
  EXPECT_EQ(std::string(out), dir + "/\xC3\xA9\xC3\xA9\xC3\xA9" + "1234.tmp");
  EXPECT_FALSE(PathExists(out));

  char small[16];
  EXPECT_EQ(Failed(GetTempFileNameA(dir.c_str(), "qv", 0, small) != 0), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(Failed(GetTempFileNameA(root_.Sub("missing").c_str(), "qv", 0, out) != 0),
            ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Failed(GetTempFileNameA(dir.c_str(), "../x", 0, out) != 0), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Search(dir + "/*").size(), 2u + 300u) << "failed calls create nothing";

  // Unique folders are new and private.
  char first[512], second[512], tiny[8];
  ASSERT_TRUE(CreateUniqueDirectoryA(root_.Path().c_str(), ".work-", first, sizeof first));
  ASSERT_TRUE(CreateUniqueDirectoryA(root_.Path().c_str(), ".work-", second, sizeof second));
  EXPECT_STRNE(first, second);
  EXPECT_EQ(std::string(first).rfind(root_.Sub(".work-"), 0), 0u) << first;
  EXPECT_EQ(ModeOf(first), 0700u);
  EXPECT_EQ(Failed(CreateUniqueDirectoryA(root_.Path().c_str(), "x", tiny, sizeof tiny)),
            ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(Failed(CreateUniqueDirectoryA(root_.Path().c_str(), "a/b", first, sizeof first)),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Failed(CreateUniqueDirectoryA(root_.Sub("none").c_str(), "x", first, sizeof first)),
            ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, MoveAndCopyNeverLoseOrFollow) {
  const std::string from = Make("from.txt", "source"), to = Make("to.txt", "target");
  const char *f = from.c_str(), *t = to.c_str();
  const std::string dir = MakeDir("dir");
  EXPECT_EQ(Failed(MoveFileA(f, t)), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Failed(MoveFileExA(f, dir.c_str(), MOVEFILE_REPLACE_EXISTING)), ERROR_ACCESS_DENIED);
  ASSERT_EQ(chmod(t, 0444), 0);
  EXPECT_EQ(Failed(MoveFileExA(f, t, MOVEFILE_REPLACE_EXISTING)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Failed(CopyFileA(f, t, TRUE)), ERROR_FILE_EXISTS);
  ASSERT_EQ(chmod(t, 0644), 0);
  EXPECT_EQ(Failed(MoveFileA(f, root_.Sub("no/x").c_str())), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Failed(CopyFileA(root_.Sub("missing").c_str(), t, FALSE)), ERROR_FILE_NOT_FOUND);

  // Null or zero times are left alone; copies keep mode and write time.
  ASSERT_EQ(chmod(f, 0640), 0);
  FILETIME access{}, write{};
  const FILETIME zero{0, 0};
  ASSERT_TRUE(UnixTimeToFileTime(1'000'000'000, 123'456'700, &access));
  ASSERT_TRUE(UnixTimeToFileTime(1'234'567'890, 0, &write));
  ASSERT_TRUE(SetFileTimesA(f, &access, &access));
  ASSERT_TRUE(SetFileTimesA(f, nullptr, &write));
  ASSERT_TRUE(SetFileTimesA(f, &zero, nullptr));
  EXPECT_EQ(Failed(SetFileTimesA(root_.Sub("missing").c_str(), &access, &write)),
            ERROR_FILE_NOT_FOUND);
  WIN32_FILE_ATTRIBUTE_DATA info{}, copied{};
  ASSERT_TRUE(GetFileAttributesExA(f, GetFileExInfoStandard, &info));
  EXPECT_EQ(FileTimeToTicks(info.ftLastAccessTime), FileTimeToTicks(access));
  // The call without attributes gives the same size and times.
  ULONGLONG size = 0;
  FILETIME created{}, accessed{}, written{};
  ASSERT_TRUE(GetFileSizeAndTimesA(f, &size, &created, &accessed, &written));
  EXPECT_EQ(size, (ULONGLONG{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(FileTimeToTicks(created), FileTimeToTicks(info.ftCreationTime));
  EXPECT_EQ(FileTimeToTicks(accessed), FileTimeToTicks(access));
  EXPECT_EQ(FileTimeToTicks(written), FileTimeToTicks(write));
  EXPECT_EQ(
      Failed(GetFileSizeAndTimesA(root_.Sub("missing").c_str(), &size, nullptr, nullptr, nullptr)),
      ERROR_FILE_NOT_FOUND);
  const std::string copy = root_.Sub("copy.txt");
  ASSERT_TRUE(CopyFileA(f, copy.c_str(), TRUE));
  ASSERT_TRUE(GetFileAttributesExA(copy.c_str(), GetFileExInfoStandard, &copied));
  EXPECT_EQ(FileTimeToTicks(copied.ftLastWriteTime), FileTimeToTicks(write));
  EXPECT_EQ(ModeOf(copy), 0640u);
  EXPECT_EQ(ReadTextFile(copy), "source");

  // A link at the target is replaced, not followed.
  const std::string link = root_.Sub("link.txt");
  ASSERT_EQ(symlink(t, link.c_str()), 0);
  ASSERT_TRUE(CopyFileA(f, link.c_str(), FALSE));
  EXPECT_EQ(GetFileAttributesA(link.c_str()), FILE_ATTRIBUTE_NORMAL) << "the link was replaced";
  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink(t, link.c_str()), 0);
  ASSERT_TRUE(MoveFileExA(f, link.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(PathExists(from));
  EXPECT_EQ(ReadTextFile(link), "source");
  EXPECT_EQ(ReadTextFile(to), "target");
  EXPECT_THAT(Search(root_.Sub("*")), UnorderedElementsAre(".", "..", "root", "run", "tmp", "dir",
                                                           "to.txt", "copy.txt", "link.txt"))
      << "no temporary copy is left";
}

TEST_F(FilesTest, MoveAcrossFileSystemsCopiesWhenAllowed) {
  struct stat here {};
  struct stat shm {};
  ASSERT_EQ(stat(root_.Path().c_str(), &here), 0);
  if (stat("/dev/shm", &shm) != 0 || shm.st_dev == here.st_dev || access("/dev/shm", W_OK) != 0)
    GTEST_SKIP() << "no second writable file system";
  char pattern[] = "/dev/shm/qvmove-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string from = Make("travel.txt", "contents"), to = std::string(pattern) + "/t.txt";
  EXPECT_EQ(Failed(MoveFileExA(from.c_str(), to.c_str(), 0)), ERROR_NOT_SAME_DEVICE);
  EXPECT_TRUE(MoveFileA(from.c_str(), to.c_str()));
  EXPECT_FALSE(PathExists(from));
  EXPECT_EQ(ReadTextFile(to), "contents");
  EXPECT_THAT(Search(std::string(pattern) + "/*"), ElementsAre(".", "..", "t.txt"))
      << "no temporary copy is left";
  unlink(to.c_str());
  rmdir(pattern);
}

TEST_F(FilesTest, FoldersAndSymbolicLinks) {
  const std::string tree = root_.Sub("tree");
  ASSERT_TRUE(CreateDirectoryA(tree.c_str()));
  EXPECT_EQ(Failed(CreateDirectoryA(tree.c_str())), ERROR_ALREADY_EXISTS);
  const std::string keep = KeepOutside(tree + "/dirlink", tree + "/filelink");
  EXPECT_EQ(Failed(RemoveDirectoryA(tree.c_str())), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(Failed(RemoveDirectoryA(keep.c_str())), ERROR_DIRECTORY);
  EXPECT_EQ(Failed(DeleteFileA(tree.c_str())), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Failed(DeleteFileA(root_.Sub("gone").c_str())), ERROR_FILE_NOT_FOUND);

  // Links are entries of their own: never followed, changed or removed through.
  EXPECT_EQ(GetFileAttributesA((tree + "/dirlink").c_str()), FILE_ATTRIBUTE_REPARSE_POINT);
  ASSERT_TRUE(SetFileAttributesA((tree + "/filelink").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(ModeOf(keep) & 0200, 0200u) << "the target is not changed";
  EXPECT_FALSE(OverwriteFileA((tree + "/filelink").c_str(), "xx", 2));
  EXPECT_TRUE(DeleteFileA((tree + "/filelink").c_str()));
  EXPECT_TRUE(RemoveDirectoryA((tree + "/dirlink").c_str()));
  EXPECT_TRUE(RemoveDirectoryA((tree + "/").c_str())) << "now empty";
  EXPECT_EQ(ReadTextFile(keep), "precious");
  EXPECT_EQ(Failed(OverwriteFileA(root_.Sub("missing").c_str(), "x", 1)), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(PathExists(root_.Sub("missing"))) << "nothing is created";
  EXPECT_FALSE(OverwriteFileA(root_.Path().c_str(), "x", 1));
}

TEST_F(FilesTest, WholeTreesAreRemovedWithoutFollowingLinksAndFoldersAreFlushed) {
  const std::string tree = MakeDir("tree");
  MakeDir("tree/sub");
  MakeDir("tree/sub/empty");
  Make("tree/sub/file.txt");
  Make("tree/readonly.txt");
  ASSERT_TRUE(SetFileAttributesA((tree + "/readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  const std::string keep = KeepOutside(tree + "/sub/dirlink", tree + "/filelink");

  EXPECT_TRUE(FlushPathBuffersA(tree.c_str()));
  EXPECT_TRUE(FlushPathBuffersA((tree + "/filelink").c_str())) << "the link's folder is flushed";
  EXPECT_TRUE(FlushVolumeOfPathA(tree.c_str()));
  EXPECT_EQ(Failed(FlushPathBuffersA(root_.Sub("gone").c_str())), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(Failed(DeleteFolderTreeA(keep.c_str())), ERROR_DIRECTORY);
  EXPECT_EQ(Failed(DeleteFolderTreeA((tree + "/filelink").c_str())), ERROR_DIRECTORY);
  ASSERT_TRUE(DeleteFolderTreeA((tree + "/").c_str()));
  EXPECT_FALSE(PathExists(tree));
  EXPECT_EQ(ReadTextFile(keep), "precious");
  EXPECT_EQ(Failed(DeleteFolderTreeA(tree.c_str())), ERROR_FILE_NOT_FOUND);

  // What cannot be removed stays, with the folders above it; the rest goes.
  MakeDir("locked");
  MakeDir("locked/inner");
  Make("locked/inner/stuck.txt");
  Make("locked/free.txt");
  ASSERT_EQ(chmod(root_.Sub("locked/inner").c_str(), 0500), 0);
  if (geteuid() != 0) {
    EXPECT_EQ(Failed(DeleteFolderTreeA(root_.Sub("locked").c_str())), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(PathExists(root_.Sub("locked/inner/stuck.txt")));
    EXPECT_FALSE(PathExists(root_.Sub("locked/free.txt")));
  }
  ASSERT_EQ(chmod(root_.Sub("locked/inner").c_str(), 0700), 0);
  EXPECT_TRUE(DeleteFolderTreeA(root_.Sub("locked").c_str()));
}

TEST_F(FilesTest, CurrentFullAndLongPathsWithSmallBuffers) {
  char saved[8000], buffer[8000];
  ASSERT_GT(GetCurrentDirectoryA(sizeof(saved), saved), 0u);
  const std::string work = MakeDir("work");
  ASSERT_TRUE(SetCurrentDirectoryA(work.c_str()));
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(GetCurrentDirectoryA(static_cast<DWORD>(work.size()), buffer), work.size() + 1);
  EXPECT_EQ(buffer[0], 'x');

  const std::pair<const char*, std::string> cases[] = {
      {"a/./b/../c", work + "/a/c"},
      {"a//b/", work + "/a/b/"},
      {"/x/../../y/./z", "/y/z"},
  };
  for (const auto& [in, out] : cases) {
    LPSTR filePart = nullptr;
    ASSERT_EQ(GetFullPathNameA(in, sizeof(buffer), buffer, &filePart), out.size()) << in;
    EXPECT_EQ(std::string(buffer), out) << in;
    EXPECT_STREQ(filePart, out.back() == '/' ? nullptr : out.substr(out.rfind('/') + 1).c_str());
  }
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(GetFullPathNameA("abc", 4, buffer), work.size() + 5);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(GetFullPathNameA("", sizeof(buffer), buffer), 0u);
  LPSTR untouched = nullptr;
  EXPECT_EQ(GetFullPathNameA("abc", sizeof(buffer), nullptr, &untouched), work.size() + 5);
  EXPECT_EQ(untouched, nullptr) << "nothing was written to point into";

  WriteTextFile(work + "/here.txt", "");
  std::strcpy(buffer, "here.txt");
  EXPECT_EQ(GetLongPathNameA(buffer, buffer, sizeof(buffer)), 8u) << "in place";
  EXPECT_STREQ(buffer, "here.txt");
  EXPECT_EQ(GetLongPathNameA("here.txt", buffer, 8), 9u);
  EXPECT_EQ(Failed(GetLongPathNameA("gone.txt", buffer, sizeof(buffer)) != 0),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Failed(SetCurrentDirectoryA("here.txt")), ERROR_DIRECTORY);
  ASSERT_TRUE(SetCurrentDirectoryA(saved));
}

TEST_F(FilesTest, KnownFoldersFollowTheXdgVariables) {
  std::vector<std::pair<const char*, std::optional<std::string>>> saved;
  for (const char* n : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"})
    saved.emplace_back(n,
                       std::getenv(n) ? std::optional<std::string>(std::getenv(n)) : std::nullopt);
  const auto restore = [&](void*) {
    for (const auto& [n, v] : saved) v ? setenv(n, v->c_str(), 1) : unsetenv(n);
  };
  const std::unique_ptr<void, decltype(restore)> guard(&saved, restore);
  setenv("HOME", root_.Sub("home").c_str(), 1);
  setenv("XDG_CONFIG_HOME", root_.Sub("cfg/").c_str(), 1);
  setenv("XDG_CACHE_HOME", "relative/cache", 1);  // not absolute: ignored
  unsetenv("XDG_DATA_HOME");
  const std::pair<KnownFolder, std::string> cases[] = {
      {KnownFolder::UserConfig, root_.Sub("cfg")},
      {KnownFolder::UserCache, root_.Sub("home/.cache")},
      {KnownFolder::UserData, root_.Sub("home/.local/share")},
      {KnownFolder::Profiles, "/home"},
  };
  std::string path;
  for (const auto& [folder, want] : cases) {
    ASSERT_TRUE(GetKnownFolderPath(folder, path)) << want;
    EXPECT_EQ(path, want);
  }
  // The profiles folder is compared for equality only, so it is not in the list.
  const std::vector<std::string> protectedFolders = ProtectedFolders("/srv/quorvin/");
  for (const std::string& p : {std::string("/usr"), std::string("/srv/quorvin"), root_.Sub("cfg"),
                               root_.Sub("home/.local/share")})
    EXPECT_THAT(protectedFolders, ::testing::Contains(p));
  EXPECT_THAT(protectedFolders, ::testing::Not(::testing::Contains("/home")));
  char small[4];
  ASSERT_TRUE(GetKnownFolderPath(KnownFolder::Windows, path));
  EXPECT_EQ(GetWindowsDirectoryA(small, sizeof(small)), path.size() + 1);
}

namespace {

class FolderHandleTest : public FilesTest {};

// Sets or clears the immutable flag of `path`; false where this user or file system cannot.
bool SetImmutable(const std::string& path, bool on) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  close(fd);
  return done;
}

}  // namespace

TEST_F(FolderHandleTest, CanDeleteRefusesLockedEntriesAndEveryEntryOfALockedFolder) {
  const std::string dir = MakeDir("locks");
  for (const char* name : {"locks/a.txt", "locks/locked.txt", "locks/b.txt"}) Make(name);
  if (!SetImmutable(dir + "/locked.txt", true))
    GTEST_SKIP() << "this file system or user cannot lock a file";
  FolderHandle folder;
  ASSERT_TRUE(folder.Open(dir.c_str()));
  // One set of the folder's rules serves every entry; each entry is still asked on its own.
  FolderHandle::DeletionRules rules;
  EXPECT_TRUE(folder.CanDelete("a.txt", &rules));
  EXPECT_EQ(Failed(folder.CanDelete("locked.txt", &rules)), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(folder.CanDelete("b.txt", &rules));
  EXPECT_EQ(Failed(folder.CanDelete("gone.txt", &rules)), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Failed(folder.CanDelete("locked.txt")), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SetImmutable(dir + "/locked.txt", false));
  EXPECT_TRUE(folder.CanDelete("locked.txt", &rules));

  ASSERT_TRUE(SetImmutable(dir, true));
  FolderHandle::DeletionRules locked;
  for (const char* name : {"a.txt", "locked.txt"})
    EXPECT_EQ(Failed(folder.CanDelete(name, &locked)), ERROR_ACCESS_DENIED) << name;
  ASSERT_TRUE(SetImmutable(dir, false));
  EXPECT_TRUE(folder.CanDelete("a.txt"));
}

TEST_F(FolderHandleTest, NeverOpensThroughALinkAndListsWhatIsThere) {
  const std::string dir = MakeDir("tree");
  MakeDir("tree/sub");
  Make("tree/file.txt", "12345");
  const std::string keep = KeepOutside(dir + "/linked", dir + "/file link");
  ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0600), 0);

  FolderHandle folder;
  ASSERT_TRUE(folder.Open(dir.c_str()));
  FolderHandle other;
  EXPECT_EQ(Failed(other.Open((dir + "/linked").c_str())), ERROR_DIRECTORY);
  EXPECT_EQ(Failed(folder.OpenSubfolder("linked", &other)), ERROR_DIRECTORY);
  EXPECT_EQ(Failed(folder.OpenSubfolder("file.txt", &other)), ERROR_DIRECTORY);
  EXPECT_FALSE(other.Valid());
  OpenedFile file;
  for (const char* refused : {"file link", "pipe", "sub"})
    EXPECT_EQ(Failed(folder.OpenFile(refused, &file)), ERROR_ACCESS_DENIED) << refused;

  ASSERT_TRUE(SetFileAttributesA((dir + "/file.txt").c_str(), FILE_ATTRIBUTE_SYSTEM));
  std::vector<FOLDER_ENTRY> entries;
  ASSERT_TRUE(folder.List(&entries));
  std::map<std::string, DWORD> listed;
  for (const FOLDER_ENTRY& entry : entries) listed[entry.name] = entry.attributes;
  EXPECT_EQ(listed.size(), 5u);
  EXPECT_EQ(listed["sub"], FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(listed["linked"], FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(listed["pipe"] & FILE_ATTRIBUTE_DEVICE, FILE_ATTRIBUTE_DEVICE);
  EXPECT_EQ(listed["file.txt"], FILE_ATTRIBUTE_SYSTEM);
  // Listing the types alone tells the same entries apart, the same files, without what is
  // kept beside them.
  std::vector<FOLDER_ENTRY> types;
  ASSERT_TRUE(folder.ListTypes(&types));
  ASSERT_EQ(types.size(), entries.size());
  for (const FOLDER_ENTRY& entry : entries) {
    const auto same = std::find_if(types.begin(), types.end(),
                                   [&](const FOLDER_ENTRY& t) { return t.name == entry.name; });
    ASSERT_NE(same, types.end()) << entry.name;
    EXPECT_TRUE(same->identity.SameFile(entry.identity)) << entry.name;
    const DWORD kind =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    EXPECT_EQ(same->attributes & kind, entry.attributes & kind) << entry.name;
  }
  const auto plain = std::find_if(types.begin(), types.end(),
                                  [](const FOLDER_ENTRY& t) { return t.name == "file.txt"; });
  ASSERT_NE(plain, types.end());
  EXPECT_EQ(plain->attributes, FILE_ATTRIBUTE_NORMAL);

  // The folder held stays the one opened when its name is taken by a link meanwhile.
  ASSERT_TRUE(folder.OpenSubfolder("sub", &other));
  ASSERT_EQ(rename((dir + "/sub").c_str(), root_.Sub("moved").c_str()), 0);
  ASSERT_EQ(symlink(root_.Sub("outside").c_str(), (dir + "/sub").c_str()), 0);
  ASSERT_TRUE(other.List(&entries));
  EXPECT_TRUE(entries.empty()) << entries[0].name;

  // A file held open is read through its own path whatever its name leads to by now.
  ASSERT_TRUE(folder.OpenFile("file.txt", &file));
  ASSERT_EQ(rename((dir + "/file.txt").c_str(), root_.Sub("file moved").c_str()), 0);
  ASSERT_EQ(symlink(keep.c_str(), (dir + "/file.txt").c_str()), 0);
  ASSERT_FALSE(file.ReopenPath().empty());
  EXPECT_EQ(ReadTextFile(file.ReopenPath()), "12345");

  // Opened by its path, a regular file only, never through a final link.
  OpenedFile byPath;
  EXPECT_FALSE(byPath.Open((dir + "/file.txt").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(byPath.Open(dir.c_str()));
  EXPECT_FALSE(byPath.Valid());
  ASSERT_TRUE(byPath.Open(root_.Sub("file moved").c_str()));
  EXPECT_EQ(ReadTextFile(byPath.ReopenPath()), "12345");
}

TEST_F(FolderHandleTest, DeletesOnlyAnUnchangedFileAndKeepsWhatChanged) {
  const std::string dir = MakeDir("tree");
  Make("tree/stored.txt", "stored");
  Make("tree/changed.txt", "stored");
  Make("tree/replaced.txt", "stored");
  MakeDir("tree/sub");
  Make("tree/sub/inner.txt");
  FolderHandle folder;
  ASSERT_TRUE(folder.Open(dir.c_str()));
  std::vector<FOLDER_ENTRY> entries;
  ASSERT_TRUE(folder.List(&entries));
  std::map<std::string, FILE_IDENTITY> read;
  for (const FOLDER_ENTRY& entry : entries) read[entry.name] = entry.identity;

  {
    std::ofstream append(dir + "/changed.txt", std::ios::app);
    append << " and more";
  }
  ASSERT_EQ(rename(Make("other", "stored").c_str(), (dir + "/replaced.txt").c_str()), 0);
  EXPECT_TRUE(folder.DeleteFileIfUnchanged("stored.txt", read["stored.txt"]));
  for (const char* name : {"changed.txt", "replaced.txt"})
    EXPECT_EQ(Failed(folder.DeleteFileIfUnchanged(name, read[name])), ERROR_SHARING_VIOLATION)
        << name;
  EXPECT_EQ(ReadTextFile(dir + "/changed.txt"), "stored and more");
  EXPECT_EQ(ReadTextFile(dir + "/replaced.txt"), "stored");
  // Kept, not deleted and written again.
  struct stat kept {};
  ASSERT_EQ(stat((dir + "/changed.txt").c_str(), &kept), 0);
  EXPECT_EQ(static_cast<ULONGLONG>(kept.st_ino), read["changed.txt"].index);
  EXPECT_FALSE(std::filesystem::exists(dir + "/stored.txt"));
  EXPECT_EQ(Failed(folder.DeleteFileIfUnchanged("sub", read["sub"])), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Failed(folder.RemoveSubfolder("sub")), ERROR_DIR_NOT_EMPTY);
  EXPECT_TRUE(folder.CanDelete("sub"));
  EXPECT_TRUE(std::filesystem::exists(dir + "/sub/inner.txt"));
}
