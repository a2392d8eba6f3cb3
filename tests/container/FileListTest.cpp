// The list of a container's files and the images bound to their entries, through the store
// with a real folder handle of the library: renames (of a file and of a folder) and deletes
// keep both, so the rows verify and every image opens at its new place only; a container
// made before the list is unverified until the first write adds it.
#include <gtest/gtest.h>
#include <sodium.h>

#include <filesystem>

#include "container/QVDatabase.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/QvfTestSupport.h"

namespace {

namespace fs = std::filesystem;
using qvtest::Request;
using qvtest::User;
using Check = QVDatabase::FileListCheck;

class FileListTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    ASSERT_EQ(qvtest::InitFolderEncryption(alice_, &header_, &handle_), 0u);
    src_ = root_.Sub("src");
    fs::create_directories(src_ + "/sub");
  }
  void TearDown() override { EXPECT_EQ(QVFSCloseHandle(handle_), 0u); }

  // Writes `name` below src and its image for the provisional place, as the engine does.
  void MakeImage(const std::string& name, const std::string& content) {
    WriteTextFile(src_ + "/" + name, content);
    Request request(alice_, src_ + "/" + name, src_ + "/" + name + ".qvf");
    ASSERT_EQ(QVFSFolderEncryptFileAt(request.Folder(handle_).get(), "", 0), 0u);
  }
  // Takes the image of entry `id` out and decrypts it at `place`; the library's result.
  DWORD OpenAt(QVDatabase& db, DWORD folder, DWORD id, const std::string& place) {
    const std::string out = root_.Sub("out" + std::to_string(outputs_++));
    fs::create_directories(out);
    if (db.ExtractFileTo(folder, id, out + "/") != VARIANT_TRUE) return 0xFFFF;
    std::string image;
    for (const auto& entry : fs::directory_iterator(out)) image = entry.path().string();
    Request request(alice_, image, out);
    return QVFSFolderDecryptFileAt(request.Folder(handle_).get(), place.c_str(), id);
  }

  User alice_ = User::Make("alice");
  std::vector<BYTE> header_;
  DWORD handle_ = 0;
  std::string src_;
  int outputs_ = 0;
};

TEST_F(FileListTest, RenamesAndDeletesKeepTheListAndMoveTheImages) {
  QVDatabase db;
  ASSERT_EQ(db.Open(root_.Sub("box.qvef"), TRUE), VARIANT_TRUE);
  ASSERT_EQ(db.SetFolderOptions(0, header_.data(), static_cast<DWORD>(header_.size()), ""),
            VARIANT_TRUE);
  db.UseFolderHandle(handle_);
  EXPECT_EQ(db.CheckFileList(), Check::Unverified);
  MakeImage("a.txt", "alpha");
  MakeImage("sub/b.txt", "beta");
  const LONG a = db.AddFile(src_ + "/", src_ + "/a.txt.qvf", 0, FALSE);
  const LONG b = db.AddFile(src_ + "/", src_ + "/sub/b.txt.qvf", 0, FALSE);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_EQ(db.CheckFileList(), Check::Verified);
  EXPECT_EQ(db.FirstBoundEntry(), 1u);
  EXPECT_EQ(OpenAt(db, 0, a, "\\a.txt.qvf"), 0u);

  ASSERT_EQ(db.RenameFile("c.txt", 0, a), VARIANT_TRUE);
  EXPECT_EQ(db.CheckFileList(), Check::Verified);
  EXPECT_EQ(OpenAt(db, 0, a, "\\c.txt.qvf"), 0u);
  EXPECT_EQ(OpenAt(db, 0, a, "\\a.txt.qvf"), 8u) << "the image did not move with its row";

  const DWORD sub = 1;  // the only folder row
  ASSERT_EQ(db.RenameFolder("renamed", sub), VARIANT_TRUE);
  EXPECT_EQ(db.CheckFileList(), Check::Verified);
  EXPECT_EQ(OpenAt(db, sub, b, "\\renamed\\b.txt.qvf"), 0u);
  EXPECT_EQ(OpenAt(db, sub, b, "\\sub\\b.txt.qvf"), 8u);

  ASSERT_EQ(db.DeleteFile(0, a), VARIANT_TRUE);
  EXPECT_EQ(db.CheckFileList(), Check::Verified);
  ASSERT_EQ(db.DeleteFolder(sub), VARIANT_TRUE);
  EXPECT_EQ(db.CheckFileList(), Check::Verified);

  // A move's grouped deletes: a file, then an emptied folder with its marker.
  MakeImage("sub/f.txt", "phi");
  const LONG f = db.AddFile(src_ + "/", src_ + "/sub/f.txt.qvf", 0, FALSE);
  ASSERT_GT(f, 0);
  ASSERT_GT(db.AddFile(src_ + "/", src_ + "/sub/qvdummyffff.qvf", 0, FALSE), 0);
  const DWORD again = 2;  // the folder's new row
  std::vector<bool> deleted;
  ASSERT_EQ(db.DeleteFiles({{again, static_cast<DWORD>(f), "f.txt.qvf"}}, &deleted), VARIANT_TRUE);
  EXPECT_EQ(deleted, std::vector<bool>{true});
  EXPECT_EQ(db.CheckFileList(), Check::Verified);
  ASSERT_EQ(db.DeleteEmptyFolders({again}, &deleted), VARIANT_TRUE);
  EXPECT_EQ(deleted, std::vector<bool>{true});
  EXPECT_EQ(db.CheckFileList(), Check::Verified);

  // Without the folder handle a write does not keep the list: the next check says so.
  MakeImage("d.txt", "delta");
  ASSERT_GT(db.AddFile(src_ + "/", src_ + "/d.txt.qvf", 0, FALSE), 0);
  db.UseFolderHandle(0);
  MakeImage("e.txt", "epsilon");
  ASSERT_GT(db.AddFile(src_ + "/", src_ + "/e.txt.qvf", 0, FALSE), 0);
  db.UseFolderHandle(handle_);
  EXPECT_EQ(db.CheckFileList(), Check::Changed);
  (void)db.Close();
}

TEST_F(FileListTest, AContainerMadeBeforeTheListGetsItWithItsFirstWrite) {
  QVDatabase db;
  ASSERT_EQ(db.Open(root_.Sub("old.qvef"), TRUE), VARIANT_TRUE);
  ASSERT_EQ(db.SetFolderOptions(0, header_.data(), static_cast<DWORD>(header_.size()), ""),
            VARIANT_TRUE);
  // An image stored as before: unbound, and no list.
  WriteTextFile(src_ + "/old.txt", "old");
  {
    Request request(alice_, src_ + "/old.txt", src_ + "/old.txt.qvf");
    ASSERT_EQ(QVFSFolderEncryptFile(request.Folder(handle_).get()), 0u);
  }
  const LONG old = db.AddFile(src_ + "/", src_ + "/old.txt.qvf", 0, FALSE);
  ASSERT_GT(old, 0);
  db.UseFolderHandle(handle_);
  EXPECT_EQ(db.CheckFileList(), Check::Unverified);

  MakeImage("new.txt", "new");
  const LONG added = db.AddFile(src_ + "/", src_ + "/new.txt.qvf", 0, FALSE);
  ASSERT_GT(added, 0);
  EXPECT_EQ(db.CheckFileList(), Check::Verified) << "the first write did not add the list";
  EXPECT_EQ(db.FirstBoundEntry(), static_cast<ULONGLONG>(added));
  EXPECT_EQ(OpenAt(db, 0, added, "\\new.txt.qvf"), 0u);
  // The older entry stays as it was stored: below the first bound entry, without a place.
  EXPECT_LT(static_cast<ULONGLONG>(old), db.FirstBoundEntry());
  (void)db.Close();
}

}  // namespace
