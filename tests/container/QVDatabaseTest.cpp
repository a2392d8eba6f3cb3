// QVDatabase as callers meet it: operations without a store, exact truth values, the format
// test, the conversion prompt both ways, and that looking at a file keeps other connections'
// locks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <span>

#include "base/DialogResources.h"
#include "base/StringTable.h"
#include "container/QVDatabase.h"
#include "platform/MessageBox.h"
#include "suite/QvContainerFormat.h"
#include "tests/common/HeadlessUi.h"
#include "tests/common/TestRoot.h"

namespace fs = std::filesystem;

namespace {

class QVDatabaseTest : public RootedTest {
 protected:
  std::string Legacy() {
    const std::string path = root_.Sub("Old.qvef");
    WriteTextFile(path, "QVLEGACY and bytes the converter will not accept");
    return path;
  }
  std::string Image() {
    WriteTextFile(root_.Sub("a.txt"), "plain");
    WriteTextFile(root_.Sub("a.txt.qvf"), "image");
    return root_.Sub("a.txt.qvf");
  }
};

TEST_F(QVDatabaseTest, EveryOperationFailsWithoutAStore) {
  QVDatabase db;
  const std::string image = Image();
  const auto expectAllFail = [&] {
    VARIANT out{};
    BYTE* data = nullptr;
    DWORD size = 7;
    char csp[1024] = "unchanged";
    std::string name = "unchanged";
    const BYTE record[] = {1};
    EXPECT_EQ(db.IsOpen(), VARIANT_FALSE);
    EXPECT_EQ(db.Close(), VARIANT_FALSE);
    EXPECT_EQ(db.AddFile(root_.Path(), image, 0, FALSE), -1);
    EXPECT_EQ(db.ExtractFile(0, 1, root_.Sub("d")), VARIANT_FALSE);
    EXPECT_EQ(db.ExtractFileTo(0, 1, root_.Path()), VARIANT_FALSE);
    EXPECT_EQ(db.DeleteFile(0, 1), VARIANT_FALSE);
    EXPECT_EQ(db.DeleteFolder(0), VARIANT_FALSE);
    EXPECT_EQ(db.GetSubFolders(0, &out), VARIANT_FALSE);
    EXPECT_EQ(db.GetAllFiles(&out), VARIANT_FALSE);
    EXPECT_EQ(db.GetFiles(0, &out), VARIANT_FALSE);
    EXPECT_EQ(db.GetFileInfo(0, 1, &out), VARIANT_FALSE);
    EXPECT_EQ(out.vt, VT_EMPTY);
    EXPECT_EQ(db.SetFolderOptions(0, record, 1, "c"), VARIANT_FALSE);
    EXPECT_EQ(db.GetFolderOptions(0, &data, &size, csp), VARIANT_FALSE);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 7u);
    EXPECT_STREQ(csp, "unchanged");
    EXPECT_EQ(db.UpdateFile(image, 0, 1), VARIANT_FALSE);
    EXPECT_EQ(db.RenameFile("b", 0, 1), VARIANT_FALSE);
    EXPECT_EQ(db.RenameFolder("b", 1), VARIANT_FALSE);
    EXPECT_EQ(db.GetFolderName(0, name), VARIANT_FALSE);
    EXPECT_EQ(name, "unchanged");
    EXPECT_EQ(db.GetVersion(), 1u);
    EXPECT_EQ(db.Flush(), VARIANT_FALSE);
    EXPECT_EQ(db.ExtractAllTo(root_.Sub("d"), nullptr), VARIANT_FALSE);
  };
  expectAllFail();
  ASSERT_EQ(db.Open(root_.Sub("c.qvef"), TRUE), VARIANT_TRUE);
  ASSERT_EQ(db.Close(), VARIANT_TRUE);
  expectAllFail();
  EXPECT_FALSE(fs::exists(root_.Sub("d")));
}

TEST_F(QVDatabaseTest, OpenCreatesOnlyWhenAskedAndSuccessIsMinusOne) {
  QVDatabase db;
  const std::string path = root_.Sub("c.qvef");
  EXPECT_EQ(db.Open(path, FALSE), VARIANT_FALSE);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(db.IsOpen(), VARIANT_TRUE) << "the store is held although its open failed";
  std::string rootName;
  EXPECT_EQ(db.GetFolderName(0, rootName), VARIANT_TRUE) << "the held store knows the root";
  EXPECT_EQ(rootName, "RootFolder");

  ASSERT_EQ(db.Open(path, TRUE), VARIANT_TRUE);
  EXPECT_EQ(static_cast<std::uint16_t>(db.IsOpen()), 0xFFFF) << "callers test for all bits set";
  EXPECT_EQ(db.GetVersion(), 2u);
  const LONG id = db.AddFile(root_.Path(), Image(), 0, FALSE);
  EXPECT_EQ(id, 1);
  std::string name;
  EXPECT_EQ(static_cast<std::uint16_t>(db.GetFolderName(0, name)), 0xFFFF);
  EXPECT_EQ(name, "RootFolder");
  EXPECT_EQ(static_cast<std::uint16_t>(db.DeleteFile(0, 1)), 0xFFFF);
  EXPECT_EQ(static_cast<std::uint16_t>(db.Close()), 0xFFFF);
}

TEST_F(QVDatabaseTest, FormatTestComparesTheFirstFifteenBytes) {
  const struct {
    const char* what;
    std::string bytes;
    bool sqlite;
  } cases[] = {
      {"header", std::string("SQLite format 3\0 and more", 25), true},
      {"exactly the text", "SQLite format 3", true},
      {"other version", std::string("SQLite format 2\0", 16), false},
      {"short", "SQLite form", false},
      {"empty", "", false},
      {"lower case", std::string("sqlite format 3\0", 16), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = root_.Sub(std::string(c.what) + ".qvef");
    WriteTextFile(path, c.bytes);
    EXPECT_EQ(QVDatabase::DetectContainerFormat(path), c.sqlite);
  }
  EXPECT_FALSE(QVDatabase::DetectContainerFormat(root_.Sub("missing.qvef")));
}

TEST_F(QVDatabaseTest, DecliningTheConversionSaysWhyAndLeavesTheFileAlone) {
  const std::string path = Legacy();
  const std::string before = ReadTextFile(path);
  HeadlessUi ui;
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    ui.PressButton(IDD_DB_CONVERT, IDCANCEL);
    ui.AnswerMessageBox(IDOK, "cancelled");
    QVDatabase db;
    EXPECT_EQ(db.Open(path, TRUE), VARIANT_FALSE);
    EXPECT_EQ(db.IsOpen(), VARIANT_FALSE) << "no store for a file that was not converted";
    EXPECT_EQ(db.LastFailure(), QVDatabase::Failure::NotConverted);
  }
  const auto boxes = ui.MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u) << "a later Open asks again";
  EXPECT_EQ(boxes[0].owner, nullptr);
  EXPECT_EQ(boxes[0].caption, "Quorvin");
  EXPECT_EQ(boxes[0].type, MB_OK | MB_ICONERROR);
  EXPECT_EQ(boxes[0].text,
            "Conversion to the new format has been cancelled by the user.  This folder can not "
            "be opened or decrypted with this version of Sentivo.");
  HeadlessBackend::ClosedDialog prompt;
  ASSERT_TRUE(ui.LastClosed(IDD_DB_CONVERT, &prompt));
  EXPECT_EQ(prompt.result, IDCANCEL);
  EXPECT_TRUE(ReadTextFile(path) == before);
}

TEST_F(QVDatabaseTest, AFailedConversionGivesFalseWithoutAMessage) {
  const std::string path = Legacy();
  HeadlessUi ui;
  ui.PressButton(IDD_DB_CONVERT, IDOK);
  QVDatabase db;
  // The converter cannot make a container of these bytes and says so by its exit code.
  EXPECT_EQ(db.Open(path, FALSE), VARIANT_FALSE);
  EXPECT_EQ(db.IsOpen(), VARIANT_FALSE);
  EXPECT_TRUE(ui.MessageBoxes().empty());
  EXPECT_FALSE(QVDatabase::DetectContainerFormat(path));
}

TEST_F(QVDatabaseTest, OnlyALegacyContainerIsOfferedForConversion) {
  HeadlessUi ui;  // any prompt would be an unexpected dialog
  fs::create_directories(root_.Sub("folder.qvef"));
  fs::create_symlink(root_.Sub("nowhere"), root_.Sub("dangling.qvef"));
  const struct {
    const char* what;
    std::string bytes;  // written to <what>.qvef unless the path exists already
    std::string path;
    QVDatabase::Failure failure;
  } cases[] = {
      {"folder", "", root_.Sub("folder.qvef"), QVDatabase::Failure::NotAFile},
      {"device", "", "/dev/null", QVDatabase::Failure::NotAFile},
      {"empty", "", "", QVDatabase::Failure::NotAContainer},
      {"random", "\x13\x37 no container of any kind", "", QVDatabase::Failure::NotAContainer},
      {"other database", std::string("Standard Jet DB\0\0\0\0", 19), "",
       QVDatabase::Failure::NotAContainer},
      {"dangling link", "", root_.Sub("dangling.qvef"), QVDatabase::Failure::Unavailable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = c.path;
    if (path.empty()) {
      path = root_.Sub(std::string(c.what) + ".qvef");
      WriteTextFile(path, c.bytes);
    }
    QVDatabase db;
    EXPECT_EQ(db.Open(path, TRUE), VARIANT_FALSE);
    EXPECT_EQ(db.LastFailure(), c.failure);
    if (c.path.empty()) {
      EXPECT_TRUE(ReadTextFile(path) == c.bytes);
    }
  }
  EXPECT_FALSE(fs::exists(root_.Sub("nowhere")));
  EXPECT_TRUE(ui.ClosedDialogs().empty());
  EXPECT_TRUE(ui.MessageBoxes().empty());
}

// Whether another process could take the write lock of `path` right now. The child asks
// the kernel directly: a forked child's copy of SQLite would still believe in the parent's
// locks.
bool OtherProcessCanLock(const std::string& path) {
  return RunInChild([&] {
           const int fd = ::open(path.c_str(), O_RDWR);
           if (fd < 0) return 2;
           // The byte range SQLite's readers lock (shared range after the pending byte).
           struct flock lock {};
           lock.l_type = F_WRLCK;
           lock.l_whence = SEEK_SET;
           lock.l_start = 0x40000000 + 2;
           lock.l_len = 510;
           const bool free = ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type == F_UNLCK;
           ::close(fd);
           return free ? 1 : 0;
         }) == 1;
}

TEST_F(QVDatabaseTest, LookingAtAContainerKeepsTheLocksOfItsOtherConnections) {
  const std::string path = root_.Sub("c.qvef");
  {
    QVDatabase db;
    ASSERT_EQ(db.Open(path, TRUE), VARIANT_TRUE);
  }
  // A reader in this process holds the shared lock, as a view does while it lists.
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &reader), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM FILE_INFO;", nullptr, nullptr, nullptr),
      SQLITE_OK);
  ASSERT_FALSE(OtherProcessCanLock(path));

  QVDatabase other;
  ASSERT_EQ(other.Open(path, FALSE), VARIANT_TRUE);
  ASSERT_EQ(other.Close(), VARIANT_TRUE);
  EXPECT_TRUE(QVDatabase::DetectContainerFormat(path));
  EXPECT_FALSE(OtherProcessCanLock(path)) << "the reader's lock must survive the format test";

  // What the format test avoids: a descriptor of its own, once closed, drops the lock.
  std::FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_TRUE(OtherProcessCanLock(path));
  sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(reader);
}

// A snapshot's reads share one transaction: the stored reads inside it do not end it, its
// read lock stays until it ends, and a connection opened again meanwhile is reported.
TEST_F(QVDatabaseTest, ReadsInASnapshotKeepOneReadLockUntilItEnds) {
  const std::string path = root_.Sub("c.qvef");
  QVDatabase db;
  ASSERT_EQ(db.Open(path, TRUE), VARIANT_TRUE);
  const LONG file = db.AddFile(root_.Path(), Image(), 0, FALSE);
  ASSERT_GT(file, 0);
  ASSERT_EQ(db.Close(), VARIANT_TRUE);

  ASSERT_EQ(db.Open(path, FALSE), VARIANT_TRUE);
  ASSERT_EQ(db.BeginReadSnapshot(), VARIANT_TRUE);
  EXPECT_EQ(db.BeginReadSnapshot(), VARIANT_FALSE) << "snapshots do not nest";
  std::vector<QVDatabase::ImageBlock> blocks;
  ASSERT_EQ(db.ImageBlocks(0, static_cast<DWORD>(file), &blocks), VARIANT_TRUE);
  ASSERT_FALSE(blocks.empty());
  std::string bytes(5, '\0');
  ASSERT_EQ(db.ReadImageRange(0, static_cast<DWORD>(file), blocks, 0, std::span(bytes)),
            VARIANT_TRUE);
  EXPECT_EQ(bytes, "image");
  EXPECT_FALSE(OtherProcessCanLock(path)) << "the snapshot's read lock ended with a read";
  QVDatabase::ChangeToken before;
  ASSERT_TRUE(db.ReadChangeToken(&before));
  EXPECT_EQ(db.EndReadSnapshot(), VARIANT_TRUE);
  EXPECT_TRUE(OtherProcessCanLock(path));
  EXPECT_EQ(db.EndReadSnapshot(), VARIANT_FALSE);

  // The file written by something other than the container between two snapshots: the next
  // snapshot's change token reads the file again.
  const timespec written[2] = {{0, UTIME_OMIT}, {1000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), written, 0), 0);
  ASSERT_EQ(db.BeginReadSnapshot(), VARIANT_TRUE);
  QVDatabase::ChangeToken after;
  ASSERT_TRUE(db.ReadChangeToken(&after));
  EXPECT_FALSE(after == before);
  EXPECT_EQ(db.EndReadSnapshot(), VARIANT_TRUE);

  ASSERT_EQ(db.BeginReadSnapshot(), VARIANT_TRUE);
  ASSERT_EQ(db.Close(), VARIANT_TRUE);
  ASSERT_EQ(db.Open(path, FALSE), VARIANT_TRUE);
  EXPECT_EQ(db.EndReadSnapshot(), VARIANT_FALSE) << "reads after the reopening were not in it";
  EXPECT_TRUE(OtherProcessCanLock(path));
}

// A piece of an image reads from the blocks listed, across a block's end and from any offset;
// a block that is now another file's or has another length is refused, never read.
TEST_F(QVDatabaseTest, ARangeOfAnImageReadsOnlyTheFilesOwnBlocks) {
  std::string image(container::kBlockSize + 100, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 % 251);
  WriteTextFile(root_.Sub("b.bin.qvf"), image);
  const std::string path = root_.Sub("c.qvef");
  QVDatabase db;
  ASSERT_EQ(db.Open(path, TRUE), VARIANT_TRUE);
  const LONG file = db.AddFile(root_.Path(), root_.Sub("b.bin.qvf"), 0, FALSE);
  const LONG other = db.AddFile(root_.Path(), Image(), 0, FALSE);
  ASSERT_GT(file, 0);
  ASSERT_GT(other, 0);
  std::vector<QVDatabase::ImageBlock> blocks;
  ASSERT_EQ(db.ImageBlocks(0, static_cast<DWORD>(file), &blocks), VARIANT_TRUE);
  ASSERT_EQ(blocks.size(), 2u);
  const auto read = [&](std::span<const QVDatabase::ImageBlock> listed, std::uint64_t begin,
                        std::size_t length) {
    std::string piece(length, '\0');
    return db.ReadImageRange(0, static_cast<DWORD>(file), listed, begin, std::span(piece)) ==
                   VARIANT_TRUE
               ? piece
               : "<refused>";
  };
  EXPECT_EQ(read(blocks, container::kBlockSize - 100, 150),
            image.substr(container::kBlockSize - 100, 150));
  EXPECT_EQ(read(blocks, 0, image.size()), image);
  EXPECT_EQ(read(std::span(blocks).subspan(1), container::kBlockSize - 100, 150), "<refused>")
      << "the blocks listed do not hold the range";

  sqlite3* other_connection = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other_connection), SQLITE_OK);
  const auto change = [&](const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(other_connection, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sql;
  };
  const std::string first = std::to_string(blocks[0].row);
  change("UPDATE FILE_DATA SET FILE_ID = " + std::to_string(other) + " WHERE rowid = " + first);
  EXPECT_EQ(read(blocks, 0, 10), "<refused>") << "a block handed to another file";
  change("UPDATE FILE_DATA SET FILE_ID = " + std::to_string(file) + " WHERE rowid = " + first);
  EXPECT_EQ(read(blocks, 0, 10), image.substr(0, 10));
  change("UPDATE FILE_DATA SET BLOCK_DATA = substr(BLOCK_DATA, 2) WHERE rowid = " +
         std::to_string(blocks[1].row));
  EXPECT_EQ(read(blocks, container::kBlockSize, 10), "<refused>") << "a block of another length";
  sqlite3_close(other_connection);
}

}  // namespace
