// CPath: the parts of Windows, network and Linux paths, the UTF-8-safe cut of long parts,
// and the file operations on real files in a private temporary root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "tests/common/TestRoot.h"
#include "util/CPath.h"

namespace {

bool PathExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

class CPathTest : public RootedTest {
 protected:
  std::string Make(const std::string& name, const std::string& content = "data") {
    WriteTextFile(root_.Sub(name), content);
    return root_.Sub(name);
  }
};

}  // namespace

TEST(CPathParts, SplitsWindowsNetworkAndLinuxPaths) {
  struct Case {
    const char *path, *drive, *directory, *name, *extension, *folder;
  } cases[] = {
      // A dot in the last folder name is not an extension.
      {"C:\\data\\release.v2\\readme", "C:", "\\data\\release.v2\\", "readme", "",
       "C:\\data\\release.v2\\"},
      {"\\\\server\\share\\Reports.qvef", "", "\\\\server\\share\\", "Reports", ".qvef",
       "\\\\server\\share\\"},
      {"/home/ann/archive.tar.gz", "", "/home/ann/", "archive.tar", ".gz", "/home/ann/"},
      {"/srv/box.d/", "", "/srv/box.d/", "", "", "/srv/box.d/"},
      {"C:file.txt", "C:", "", "file", ".txt", "C:"},
      {"docs/sub\\mixed.name.txt", "", "docs/sub\\", "mixed.name", ".txt", "docs/sub\\"},
      {".bashrc", "", "", "", ".bashrc", ""},
      {"name.", "", "", "name", ".", ""},
      {"", "", "", "", "", ""},
  };
  for (const Case& c : cases) {
    const CPath p(c.path);
    EXPECT_EQ(p.GetDrive(), c.drive) << c.path;
    EXPECT_EQ(p.GetDirectory(), c.directory) << c.path;
    EXPECT_EQ(p.GetFileName(), c.name) << c.path;
    EXPECT_EQ(p.GetExtension(), c.extension) << c.path;
    EXPECT_EQ(p.GetNameWithExtension(), std::string(c.name) + c.extension) << c.path;
    EXPECT_EQ(p.GetFolder(), c.folder) << c.path;
  }
  CPath null(static_cast<const char*>(nullptr));
  EXPECT_EQ(null.GetFolder(), "");
  null.Set("/a/b.c");
  null.Set(static_cast<const char*>(nullptr));
  EXPECT_EQ(null.Get(), "");
}

TEST(CPathParts, LongPartsAreCutOnCharacterBoundaries) {
  // A directory of exactly 7999 bytes stays whole; one more byte is cut off.
  const std::string exact = "/" + std::string(7997, 'a') + "/";
  EXPECT_EQ(CPath(exact + "f.txt").GetDirectory(), exact);
  EXPECT_EQ(CPath(exact.substr(0, 7998) + "b/f").GetDirectory().size(), 7999u);

  // "é" (2 bytes) and "€" (3 bytes) straddling byte 7999 are dropped whole.
  for (const std::string ch : {"\xC3\xA9", "\xE2\x82\xAC"}) {
    for (std::size_t lead = 7995; lead <= 7998; ++lead) {
      const std::string dir = "/" + std::string(lead - 1, 'x') + ch + ch + "/";
      const std::string got = CPath(dir + "file.txt").GetDirectory();
      EXPECT_LE(got.size(), 7999u) << lead;
      EXPECT_GE(got.size(), 7999u - 3) << lead;
      EXPECT_EQ(got, dir.substr(0, got.size()));
      EXPECT_NE(static_cast<unsigned char>(dir[got.size()]) & 0xC0, 0x80)
          << "cut inside a character at lead " << lead;
    }
  }
  const CPath p("/d/" + std::string(7998, 'n') + "\xE2\x82\xAC" + ".txt");
  EXPECT_EQ(p.GetNameWithExtension(), std::string(7998, 'n'));
  EXPECT_EQ(p.GetExtension(), ".txt");
}

TEST_F(CPathTest, LongPathTempFolderAndUniqueTempFile) {
  char saved[8000];
  ASSERT_GT(GetCurrentDirectoryA(sizeof(saved), saved), 0u);
  Make("here.txt");
  EXPECT_FALSE(CPath(root_.Sub("x/y.txt")).SetCurrentDirectoryToFolder()) << "x does not exist";
  ASSERT_TRUE(CPath(root_.Sub("here.txt")).SetCurrentDirectoryToFolder());
  std::string out;
  EXPECT_TRUE(CPath("./sub/../here.txt").GetLongPath(out));
  EXPECT_EQ(out, root_.Sub("here.txt"));
  EXPECT_FALSE(CPath("gone.txt").GetLongPath(out));
  EXPECT_EQ(out, root_.Sub("gone.txt")) << "the full path is still given";
  ASSERT_TRUE(SetCurrentDirectoryA(saved));

  CPath temp;
  ASSERT_TRUE(temp.SetToTempFolder());
  EXPECT_EQ(temp.Get(), std::string(std::getenv("TMPDIR")) + "/");
  CPath unique(root_.Sub("anything.bin"));
  ASSERT_TRUE(unique.MakeUniqueTempFile("qvx"));
  EXPECT_EQ(unique.GetFolder(), root_.Path() + "/");
  EXPECT_EQ(unique.GetFileName().rfind("qvx", 0), 0u) << unique.Get();
  EXPECT_EQ(unique.GetExtension(), ".tmp");
  EXPECT_FALSE(PathExists(unique.Get())) << "the system's file is gone, the name is free";
  CPath bad(root_.Sub("a"));
  EXPECT_FALSE(bad.MakeUniqueTempFile(""));
  EXPECT_FALSE(bad.MakeUniqueTempFile(nullptr));
  EXPECT_EQ(bad.Get(), root_.Sub("a"));
  EXPECT_FALSE(CPath(root_.Sub("missing/a")).MakeUniqueTempFile("qv"));
}

TEST_F(CPathTest, SizeAndTimesAreLocal) {
  const std::string file = Make("sized.txt", "0123456789");
  FILETIME write{};
  ASSERT_TRUE(UnixTimeToFileTime(1'500'000'000, 0, &write));
  ASSERT_TRUE(SetFileTimesA(file.c_str(), &write, &write));
  const bool hadZone = std::getenv("TZ") != nullptr;
  const std::string savedZone = hadZone ? std::getenv("TZ") : "";
  setenv("TZ", "XST-3", 1);
  FILETIME creation{}, access{}, lastWrite{};
  EXPECT_EQ(CPath(file).GetSizeAndTimes(&creation, &access, &lastWrite), 10);
  hadZone ? setenv("TZ", savedZone.c_str(), 1) : unsetenv("TZ");
  EXPECT_EQ(FileTimeToTicks(lastWrite) - FileTimeToTicks(write), 3 * 3600 * 10'000'000ull);
  EXPECT_EQ(FileTimeToTicks(access), FileTimeToTicks(lastWrite));
  EXPECT_NE(FileTimeToTicks(creation), 0u);

  EXPECT_TRUE(CPath(file).Exists());
  const CPath missing(root_.Sub("missing.txt"));
  EXPECT_FALSE(missing.Exists());
  EXPECT_EQ(missing.GetAttributes(), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(missing.GetSizeAndTimes(&creation), -1);
  EXPECT_EQ(CPath("").GetSizeAndTimes(), -1);
  EXPECT_EQ(CPath(root_.Path()).GetAttributes(), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(CPathTest, DeleteHonoursReadOnlyUnlessForcedAndWipes) {
  const std::string file = Make("locked.txt");
  ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
  CPath p(file);
  EXPECT_FALSE(p.Delete(false));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(ReadTextFile(file), "data");
  EXPECT_TRUE(p.Delete(true));
  EXPECT_FALSE(PathExists(file));
  EXPECT_FALSE(p.Delete(true)) << "nothing left to delete";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(CPath(root_.Path()).Delete(true));
  EXPECT_TRUE(PathExists(root_.Path()));

  // A second hard link shows what was written before the name went away.
  const std::string secret = Make("plain.txt", "decrypted secret");
  ASSERT_EQ(link(secret.c_str(), root_.Sub("witness").c_str()), 0);
  EXPECT_TRUE(CPath::OverwriteAndDelete(secret.c_str()));
  EXPECT_FALSE(PathExists(secret));
  EXPECT_EQ(ReadTextFile(root_.Sub("witness")), "     ");
  EXPECT_FALSE(CPath::OverwriteAndDelete(root_.Sub("missing").c_str()));
  EXPECT_FALSE(CPath::OverwriteAndDelete(nullptr));

  // A link planted under the name is removed without touching what it points to.
  const std::string target = Make("target.txt", "keep me");
  ASSERT_EQ(symlink(target.c_str(), root_.Sub("planted").c_str()), 0);
  EXPECT_TRUE(CPath(root_.Sub("planted")).Delete(true));
  EXPECT_FALSE(PathExists(root_.Sub("planted")));
  EXPECT_EQ(ReadTextFile(target), "keep me");
}

TEST_F(CPathTest, MoveNeverLosesTheTarget) {
  const std::string a = Make("a.txt", "alpha");
  const std::string b = Make("b.txt", "beta");
  CPath p(a);
  EXPECT_FALSE(p.Move(b.c_str(), false));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  ASSERT_TRUE(SetFileAttributesA(b.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(p.Move(b.c_str(), true)) << "a read-only target is not deleted";
  EXPECT_EQ(ReadTextFile(a), "alpha");
  EXPECT_EQ(ReadTextFile(b), "beta");
  ASSERT_TRUE(SetFileAttributesA(b.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_FALSE(CPath(root_.Sub("missing.txt")).Move(b.c_str(), true));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ReadTextFile(b), "beta") << "a source that is not there loses nothing";
  EXPECT_FALSE(p.Move(nullptr, true));

  EXPECT_TRUE(p.Move((root_.Path() + "/./a.txt").c_str(), true)) << "onto itself";
  EXPECT_EQ(ReadTextFile(a), "alpha");
  // The same file under two names (through a linked folder) is still one file.
  ASSERT_EQ(symlink(root_.Path().c_str(), root_.Sub("alias").c_str()), 0);
  EXPECT_TRUE(CPath(root_.Sub("alias/a.txt")).Move(a.c_str(), true));
  EXPECT_EQ(ReadTextFile(a), "alpha");

  ASSERT_TRUE(p.Move(b.c_str(), true));
  EXPECT_FALSE(PathExists(a));
  EXPECT_EQ(ReadTextFile(b), "alpha");
  EXPECT_EQ(p.Get(), a) << "the object keeps its path";
}

TEST_F(CPathTest, CreateFolderWithAndWithoutParents) {
  const CPath deep(root_.Sub("a/b/c/file.txt"));
  EXPECT_FALSE(deep.CreateFolder(false));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(PathExists(root_.Sub("a")));
  ASSERT_TRUE(deep.CreateFolder(true));
  EXPECT_EQ(GetFileAttributesA(root_.Sub("a/b/c").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(deep.CreateFolder(true)) << "an existing folder was not created by this call";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  Make("plainfile");
  EXPECT_FALSE(CPath(root_.Sub("plainfile/x/y")).CreateFolder(true));
  EXPECT_FALSE(CPath("name-without-folder").CreateFolder(true));
}

TEST_F(CPathTest, RemoveFolderEmptiesItWithoutFollowingLinks) {
  const std::string outside = root_.Sub("outside");
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  WriteTextFile(outside + "/keep.txt", "precious");
  const std::string tree = root_.Sub("tree");
  ASSERT_TRUE(CPath(tree + "/sub/deeper/x").CreateFolder(true));
  WriteTextFile(tree + "/.hidden", "1");
  WriteTextFile(tree + "/sub/deeper/leaf.txt", "2");
  WriteTextFile(tree + "/sub/locked.txt", "3");
  ASSERT_TRUE(SetFileAttributesA((tree + "/sub/locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesA((tree + "/sub").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/sub/link").c_str()), 0);

  const CPath inTree(tree + "/any.name");
  EXPECT_FALSE(inTree.RemoveFolder(false));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_TRUE(PathExists(tree + "/.hidden"));
  ASSERT_TRUE(inTree.RemoveFolder(true));
  EXPECT_FALSE(PathExists(tree));
  EXPECT_EQ(ReadTextFile(outside + "/keep.txt"), "precious") << "links are not followed";
  EXPECT_FALSE(inTree.RemoveFolder(true));

  // A folder that is itself a link: the link goes, what it points to stays as it was.
  ASSERT_EQ(symlink(outside.c_str(), root_.Sub("link").c_str()), 0);
  ASSERT_TRUE(CPath(root_.Sub("link/any.name")).RemoveFolder(true));
  EXPECT_FALSE(PathExists(root_.Sub("link")));
  EXPECT_EQ(ReadTextFile(outside + "/keep.txt"), "precious") << "the link is not emptied";
}
