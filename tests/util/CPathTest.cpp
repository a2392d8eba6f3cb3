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

bool IsValidUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t len = c < 0x80         ? 1
                            : (c >> 5) == 6  ? 2
                            : (c >> 4) == 14 ? 3
                            : (c >> 3) == 30 ? 4
                                             : 0;
    if (len == 0 || i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

class CPathTest : public RootedTest {
 protected:
  std::string Make(const std::string& name, const std::string& content = "data") {
    const std::string path = root_.Sub(name);
    WriteTextFile(path, content);
    return path;
  }
};

}  // namespace

TEST(CPathParts, SplitsWindowsNetworkAndLinuxPaths) {
  struct Case {
    const char* path;
    const char* drive;
    const char* directory;
    const char* name;
    const char* extension;
    const char* folder;
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
      {"plain", "", "", "plain", "", ""},
      {".bashrc", "", "", "", ".bashrc", ""},
      {"name.", "", "", "name", ".", ""},
      {"", "", "", "", "", ""},
  };
  for (const Case& c : cases) {
    const CPath p(c.path);
    EXPECT_EQ(p.GetDrive(), c.drive) << c.path;
    EXPECT_EQ(p.GetDirectory(), c.directory) << c.path;
    EXPECT_EQ(p.GetFileName(), c.name) << c.path;
    EXPECT_EQ(p.GetNameWithoutExtension(), c.name) << c.path;
    EXPECT_EQ(p.GetExtension(), c.extension) << c.path;
    EXPECT_EQ(p.GetNameWithExtension(), std::string(c.name) + c.extension) << c.path;
    EXPECT_EQ(p.GetFolder(), c.folder) << c.path;
  }

  const CPath null(static_cast<const char*>(nullptr));
  EXPECT_TRUE(null.IsEmpty());
  EXPECT_EQ(null.GetFolder(), "");
  CPath set;
  set.Set("/a/b.c");
  EXPECT_EQ(set.GetExtension(), ".c");
  set.Set(static_cast<const char*>(nullptr));
  EXPECT_EQ(set.Get(), "");
}

TEST(CPathParts, LongPartsAreCutOnCharacterBoundaries) {
  // A directory of exactly 7999 bytes stays whole; one more byte is cut off.
  const std::string exact = "/" + std::string(7997, 'a') + "/";
  EXPECT_EQ(CPath(exact + "f.txt").GetDirectory(), exact);
  EXPECT_EQ(CPath(exact.substr(0, 7998) + "b/f").GetDirectory().size(), 7999u);

  // "é" (2 bytes) and "€" (3 bytes) straddling byte 7999 are dropped whole.
  for (const std::string& ch : {std::string("\xC3\xA9"), std::string("\xE2\x82\xAC")}) {
    for (std::size_t lead = 7995; lead <= 7998; ++lead) {
      const std::string dir = "/" + std::string(lead - 1, 'x') + ch + ch + "/";
      const std::string got = CPath(dir + "file.txt").GetDirectory();
      EXPECT_LE(got.size(), 7999u) << lead;
      EXPECT_GE(got.size(), 7999u - 3) << lead;
      EXPECT_TRUE(IsValidUtf8(got)) << "cut inside a character at lead " << lead;
      EXPECT_EQ(got, dir.substr(0, got.size()));
    }
  }
  const std::string longName = std::string(7998, 'n') + "\xE2\x82\xAC" + ".txt";
  const CPath p("/d/" + longName);
  EXPECT_EQ(p.GetFileName(), std::string(7998, 'n'));
  EXPECT_EQ(p.GetNameWithExtension(), std::string(7998, 'n'));
  EXPECT_EQ(p.GetExtension(), ".txt");
}

TEST_F(CPathTest, LongPathResolvesAgainstTheCurrentFolder) {
  char saved[8000];
  ASSERT_GT(GetCurrentDirectoryA(sizeof(saved), saved), 0u);
  Make("here.txt");
  const CPath inRoot(root_.Sub("x/y.txt"));
  EXPECT_FALSE(inRoot.SetCurrentDirectoryToFolder()) << "x does not exist";
  ASSERT_TRUE(CPath(root_.Sub("here.txt")).SetCurrentDirectoryToFolder());

  std::string out;
  EXPECT_TRUE(CPath("./sub/../here.txt").GetLongPath(out));
  EXPECT_EQ(out, root_.Sub("here.txt"));
  EXPECT_FALSE(CPath("gone.txt").GetLongPath(out));
  EXPECT_EQ(out, root_.Sub("gone.txt")) << "the full path is still given";
  EXPECT_FALSE(CPath("").GetLongPath(out));
  ASSERT_TRUE(SetCurrentDirectoryA(saved));
}

TEST_F(CPathTest, TempFolderAndUniqueTempFile) {
  CPath temp;
  ASSERT_TRUE(temp.SetToTempFolder());
  EXPECT_EQ(temp.Get(), std::string(std::getenv("TMPDIR")) + "/");
  EXPECT_EQ(temp.GetNameWithExtension(), "");

  CPath unique(root_.Sub("anything.bin"));
  ASSERT_TRUE(unique.MakeUniqueTempFile("qvx"));
  EXPECT_EQ(unique.GetFolder(), root_.Path() + "/");
  EXPECT_EQ(unique.GetFileName().rfind("qvx", 0), 0u) << unique.Get();
  EXPECT_EQ(unique.GetExtension(), ".tmp");
  EXPECT_FALSE(PathExists(unique.Get())) << "the system's file is gone, the name is free";

  CPath noPrefix(root_.Sub("a"));
  EXPECT_FALSE(noPrefix.MakeUniqueTempFile(""));
  EXPECT_FALSE(noPrefix.MakeUniqueTempFile(nullptr));
  EXPECT_EQ(noPrefix.Get(), root_.Sub("a"));
  CPath missingFolder(root_.Sub("missing/a"));
  EXPECT_FALSE(missingFolder.MakeUniqueTempFile("qv"));
}

TEST_F(CPathTest, ExistsAttributesSizeAndLocalTimes) {
  const std::string file = Make("sized.txt", "0123456789");
  FILETIME write{};
  ASSERT_TRUE(UnixTimeToFileTime(1'500'000'000, 0, &write));
  ASSERT_TRUE(SetFileTimesA(file.c_str(), &write, &write));

  const char* oldZone = std::getenv("TZ");
  const std::string savedZone = oldZone != nullptr ? oldZone : "";
  setenv("TZ", "XST-3", 1);
  const CPath p(file);
  EXPECT_TRUE(p.Exists());
  EXPECT_EQ(p.GetAttributes(), FILE_ATTRIBUTE_NORMAL);
  FILETIME creation{};
  FILETIME access{};
  FILETIME lastWrite{};
  EXPECT_EQ(p.GetSizeAndTimes(&creation, &access, &lastWrite), 10);
  EXPECT_EQ(FileTimeToTicks(lastWrite) - FileTimeToTicks(write), 3 * 3600 * 10'000'000ull);
  EXPECT_EQ(FileTimeToTicks(access), FileTimeToTicks(lastWrite));
  EXPECT_NE(FileTimeToTicks(creation), 0u);
  if (oldZone != nullptr)
    setenv("TZ", savedZone.c_str(), 1);
  else
    unsetenv("TZ");

  const CPath missing(root_.Sub("missing.txt"));
  EXPECT_FALSE(missing.Exists());
  EXPECT_EQ(missing.GetAttributes(), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(missing.GetSizeAndTimes(&creation), -1);
  EXPECT_FALSE(CPath("").Exists());
  EXPECT_EQ(CPath("").GetSizeAndTimes(), -1);
  EXPECT_TRUE(CPath(root_.Path()).Exists());
  EXPECT_EQ(CPath(root_.Path()).GetAttributes(), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(CPathTest, DeleteHonoursReadOnlyUnlessForced) {
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

  CPath folder(root_.Path());
  EXPECT_FALSE(folder.Delete(true));
  EXPECT_TRUE(PathExists(root_.Path()));
}

TEST_F(CPathTest, OverwriteAndDeleteWipesTheContents) {
  // A second hard link shows what was written before the name went away.
  const std::string file = Make("plain.txt", "decrypted secret");
  const std::string witness = root_.Sub("witness");
  ASSERT_EQ(link(file.c_str(), witness.c_str()), 0);
  EXPECT_TRUE(CPath::OverwriteAndDelete(file.c_str()));
  EXPECT_FALSE(PathExists(file));
  EXPECT_EQ(ReadTextFile(witness), "     ");

  // A link planted under the name is removed without touching what it points to.
  const std::string target = Make("target.txt", "keep me");
  const std::string planted = root_.Sub("planted");
  ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);
  EXPECT_TRUE(CPath(planted).Delete(true));
  EXPECT_FALSE(PathExists(planted));
  EXPECT_EQ(ReadTextFile(target), "keep me");

  EXPECT_FALSE(CPath::OverwriteAndDelete(root_.Sub("missing").c_str()));
  EXPECT_FALSE(CPath::OverwriteAndDelete(nullptr));
}

TEST_F(CPathTest, MoveWithAndWithoutOverwrite) {
  const std::string a = Make("a.txt", "alpha");
  const std::string b = Make("b.txt", "beta");
  CPath p(a);
  EXPECT_FALSE(p.Move(b.c_str(), false));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadTextFile(a), "alpha");
  EXPECT_EQ(ReadTextFile(b), "beta");

  ASSERT_TRUE(SetFileAttributesA(b.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(p.Move(b.c_str(), true)) << "a read-only target is not deleted";
  EXPECT_EQ(ReadTextFile(a), "alpha");
  EXPECT_EQ(ReadTextFile(b), "beta");
  ASSERT_TRUE(SetFileAttributesA(b.c_str(), FILE_ATTRIBUTE_NORMAL));

  EXPECT_TRUE(p.Move((root_.Path() + "/./a.txt").c_str(), true)) << "onto itself";
  EXPECT_EQ(ReadTextFile(a), "alpha");

  ASSERT_TRUE(p.Move(b.c_str(), true));
  EXPECT_FALSE(PathExists(a));
  EXPECT_EQ(ReadTextFile(b), "alpha");
  EXPECT_EQ(p.Get(), a) << "the object keeps its path";

  CPath q(b);
  ASSERT_TRUE(q.Move(root_.Sub("c.txt").c_str(), false));
  EXPECT_EQ(ReadTextFile(root_.Sub("c.txt")), "alpha");
  EXPECT_FALSE(CPath(root_.Sub("missing")).Move(root_.Sub("d").c_str(), false));
  EXPECT_FALSE(q.Move(nullptr, true));
}

TEST_F(CPathTest, MoveWithOverwriteKeepsTheTargetWhenTheMoveFails) {
  const std::string target = Make("target.txt", "only copy");
  EXPECT_FALSE(CPath(root_.Sub("missing.txt")).Move(target.c_str(), true));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ReadTextFile(target), "only copy") << "a source that is not there loses nothing";

  // The same file under two names (through a linked folder) is still one file.
  const std::string alias = root_.Sub("alias");
  ASSERT_EQ(symlink(root_.Path().c_str(), alias.c_str()), 0);
  EXPECT_TRUE(CPath(alias + "/target.txt").Move(target.c_str(), true));
  EXPECT_EQ(ReadTextFile(target), "only copy");
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

TEST_F(CPathTest, RemoveFolderEmptiesItFirstWhenAsked) {
  const std::string outside = root_.Sub("outside");
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  WriteTextFile(outside + "/keep.txt", "precious");

  const std::string tree = root_.Sub("tree");
  ASSERT_TRUE(CPath(tree + "/sub/deeper/x").CreateFolder(true));
  WriteTextFile(tree + "/top.txt", "1");
  WriteTextFile(tree + "/.hidden", "2");
  WriteTextFile(tree + "/sub/deeper/leaf.txt", "3");
  WriteTextFile(tree + "/sub/locked.txt", "4");
  ASSERT_TRUE(SetFileAttributesA((tree + "/sub/locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesA((tree + "/sub").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/sub/link").c_str()), 0);

  const CPath inTree(tree + "/any.name");
  EXPECT_FALSE(inTree.RemoveFolder(false));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_TRUE(PathExists(tree + "/top.txt"));

  ASSERT_TRUE(inTree.RemoveFolder(true));
  EXPECT_FALSE(PathExists(tree));
  EXPECT_EQ(ReadTextFile(outside + "/keep.txt"), "precious") << "links are not followed";

  EXPECT_FALSE(inTree.RemoveFolder(true));
  EXPECT_FALSE(CPath("no-folder").RemoveFolder(true));

  // A folder that is itself a link: the link goes, what it points to stays as it was.
  const std::string link = root_.Sub("link");
  ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
  ASSERT_TRUE(CPath(link + "/any.name").RemoveFolder(true));
  EXPECT_FALSE(PathExists(link));
  EXPECT_EQ(ReadTextFile(outside + "/keep.txt"), "precious") << "the link is not emptied";
}
