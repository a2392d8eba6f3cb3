// Restoring a container through the progress dialog when something works against it: another
// connection writing into it or a file moved over it while it is restored, containers crafted
// to steer the restore (plain rows, a name twice, an image made for the user's own key, a
// schema of other texts), and what each kind of input that is no container shows.
#include <sqlite3.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <utility>

#include "tests/engine/ProgressDialogFixture.h"

namespace {

using namespace engine_test;
namespace fs = std::filesystem;

// Runs `sql` on the container through a connection of its own that does not wait for locks;
// the SQLite result.
int Exec(const std::string& container, const std::string& sql) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(container.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return rc;
}

std::string StatusText(ItemStatus status) { return Text(MessageIdForStatus(status)); }

// A headless user that also runs `hook` once, on the dialog thread, when the first file of the
// processing pass starts ("Decrypting" appears in a row): the container is extracted by then
// and is about to be deleted at the end.
class HookedUi : public HeadlessUi {
 public:
  std::function<void()> hook;
  void ControlChanged(const ControlChange& change) override {
    HeadlessUi::ControlChanged(change);
    if (hook && change.kind == ChangeKind::ListItemText && change.column == 1 &&
        change.text == LoadStringText(IDS_DECRYPTING))
      std::exchange(hook, nullptr)();
  }
};

class ContainerDecryptionTest : public ProgressDialogFixture {
 protected:
  // A small tree encrypted into "<name>.qvef"; the tree as it was.
  std::map<std::string, std::string> MakeContainer(const std::string& name) {
    const std::string root = P(name);
    fs::create_directories(root + "/sub");
    WriteBytes(root + "/a.txt", "alpha");
    WriteBytes(root + "/sub/b.txt", "beta");
    WriteBytes(root + "/sub/large.bin", Bytes((1u << 20) + 3, 9));
    const auto tree = TreeOf(root, "<dir>");
    const Outcome run = RunDialog({root}, true);
    EXPECT_EQ(run.result, IDOK) << run.Statuses();
    return tree;
  }
  // Entries beside the container that an operation made and did not remove.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      if (name.find(".qvef-work-") != std::string::npos ||
          name.find(".quorvinencryptedtempfile") != std::string::npos ||
          name.find("-journal") != std::string::npos)
        found.push_back(name);
    }
    return found;
  }
};

TEST_F(ContainerDecryptionTest, RowsAddedByAnotherWriterWhileItIsRestoredAreNeverLost) {
  const auto tree = MakeContainer("docs");
  const std::string container = P("docs.qvef");
  HookedUi ui;
  int added = -1;
  ui.hook = [&] {
    added = Exec(container,
                 "BEGIN IMMEDIATE; INSERT INTO FILE_INFO (FOLDER_ID, FILE_NAME, FILE_SIZE) VALUES "
                 "(0, 'added meanwhile.txt.qvf', 3); INSERT INTO FILE_DATA VALUES "
                 "(last_insert_rowid(), 0, X'010203'); COMMIT");
  };
  const Outcome run = RunDialog({container}, false, "alice", &ui);
  ASSERT_NE(added, -1) << "the writer never ran: " << run.Statuses();
  // The folder is restored as it was extracted either way.
  EXPECT_EQ(TreeOf(P("docs"), "<dir>"), tree);
  EXPECT_TRUE(Leftovers().empty());
  if (added == SQLITE_OK) {
    // The row was stored: the container must outlive the operation, which says so.
    ASSERT_TRUE(Present(container)) << "deleted with a row added meanwhile";
    EXPECT_EQ(Exec(container, "SELECT 1"), SQLITE_OK);
    EXPECT_EQ(run.result, IDCANCEL) << run.Statuses();
  } else {
    // The writer was kept out and knows it; the container is gone as it should be.
    EXPECT_EQ(added, SQLITE_BUSY);
    EXPECT_EQ(run.result, IDOK) << run.Statuses();
    EXPECT_FALSE(Present(container));
  }
}

TEST_F(ContainerDecryptionTest, AContainerReplacedWhileItIsRestoredIsKept) {
  const auto tree = MakeContainer("docs");
  const std::string container = P("docs.qvef");
  const std::string newer = P("newer.qvef");
  fs::copy_file(container, newer);
  ASSERT_EQ(Exec(newer, "INSERT INTO FOLDER_INFO (FOLDER_NAME) VALUES ('\\saved elsewhere')"),
            SQLITE_OK);
  const std::string newerBytes = ReadBytes(newer);
  HookedUi ui;
  ui.hook = [&] { fs::rename(newer, container); };
  ui.PressButton(IDD_PROGRESS, IDCANCEL);  // OK under the rows
  const Outcome run = RunDialog({container}, false, "alice", &ui);
  EXPECT_EQ(TreeOf(P("docs"), "<dir>"), tree);
  ASSERT_TRUE(Present(container));
  EXPECT_TRUE(ReadBytes(container) == newerBytes) << "the file moved over it was changed";
  EXPECT_EQ(run.result, IDCANCEL);
  ASSERT_FALSE(run.rows.empty());
  EXPECT_EQ(run.rows.back()[0], "docs.qvef");
  EXPECT_EQ(run.rows.back()[1], StatusText(StatusSourceNotDeleted)) << run.Statuses();
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(ContainerDecryptionTest, CraftedContainersAreRefusedAndKept) {
  MakeContainer("docs");
  const std::string good = ReadBytes(P("docs.qvef"));
  // An image the user's own key opens, made as a single file is.
  const std::string single = ReadBytes(Encrypted("mine.txt", "made for alice alone"));
  const std::string copyRow =
      "INSERT INTO FILE_INFO (FOLDER_ID, FILE_NAME, FILE_SIZE, FILE_DATE, FILE_TIME, "
      "FILE_ATTRIBS) SELECT FOLDER_ID, '%s', 5, FILE_DATE, FILE_TIME, FILE_ATTRIBS FROM "
      "FILE_INFO WHERE FILE_NAME = 'a.txt.qvf'; INSERT INTO FILE_DATA VALUES "
      "(last_insert_rowid(), 0, ?)";
  const auto withRow = [&](const std::string& name) {
    std::string sql = copyRow;
    sql.replace(sql.find("%s"), 2, name);
    return sql;
  };
  const struct {
    const char* what;
    std::string sql;  // a "?" is bound to the single file's image
    ItemStatus status;
  } cases[] = {
      {"a plain row", withRow("run me.sh"), StatusFileCrcError},
      {"the same name twice", withRow("a.txt.qvf"), StatusFileCrcError},
      // A row added behind the program is not in the container's list of files.
      {"an image of the user's own key", withRow("mine.txt.qvf"), StatusIntegrityError},
      {"a generated column",
       "DROP TABLE FOLDER_OPTIONS; CREATE TABLE FOLDER_OPTIONS(FOLDER_ID INTEGER CONSTRAINT kt "
       "PRIMARY KEY,FOLDER_DATA BLOB AS (zeroblob(100)),CSP_NAME TEXT)",
       StatusFileCrcError},
      {"a trigger",
       "CREATE TRIGGER t AFTER DELETE ON FILE_INFO BEGIN DELETE FROM FOLDER_OPTIONS; END",
       StatusFileCrcError},
      {"a view", "CREATE VIEW v AS SELECT * FROM FILE_DATA", StatusFileCrcError},
      {"a folder name no writer makes", "UPDATE FOLDER_INFO SET FOLDER_NAME = '\\sub\\..\\..\\out'",
       StatusFileCrcError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(P("docs"));  // what a case before might have restored
    WriteBytes(P("docs.qvef"), good);
    {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open(P("docs.qvef").c_str(), &db), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
      std::string sql = c.sql;
      for (std::size_t end = 0; !sql.empty(); sql.erase(0, end)) {
        sqlite3_stmt* statement = nullptr;
        const char* tail = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, &tail), SQLITE_OK) << sql;
        end = static_cast<std::size_t>(tail - sql.c_str());
        if (statement == nullptr) continue;
        if (sqlite3_bind_parameter_count(statement) == 1)
          sqlite3_bind_blob(statement, 1, single.data(), static_cast<int>(single.size()),
                            SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE) << sql;
        sqlite3_finalize(statement);
      }
      ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
      sqlite3_close(db);
    }
    const std::string crafted = ReadBytes(P("docs.qvef"));
    ui_.PressButton(IDD_PROGRESS, IDCANCEL);
    const Outcome run = RunDialog({P("docs.qvef")}, false);
    EXPECT_EQ(run.result, IDCANCEL) << run.Statuses();
    EXPECT_TRUE(ReadBytes(P("docs.qvef")) == crafted) << "the container was not kept as it was";
    EXPECT_FALSE(Present(P("docs"))) << "something was restored";
    EXPECT_FALSE(Present(P("out")));
    EXPECT_TRUE(Leftovers().empty());
    ASSERT_FALSE(run.rows.empty());
    EXPECT_EQ(run.rows.back()[1], StatusText(c.status)) << run.Statuses();
  }
}

// Images and rows changed behind the program with raw SQL: each is found when the container is
// restored (by its list of files, or by the place each image is bound to), and nothing is
// restored or deleted.
TEST_F(ContainerDecryptionTest, ImagesAndRowsChangedBehindTheProgramAreFound) {
  MakeContainer("docs");
  const std::string good = ReadBytes(P("docs.qvef"));
  const std::string idOf = "(SELECT FILE_ID FROM FILE_INFO WHERE FILE_NAME = '%s')";
  const auto id = [&](const char* name) {
    std::string sql = idOf;
    sql.replace(sql.find("%s"), 2, name);
    return sql;
  };
  const std::string a = id("a.txt.qvf"), b = id("b.txt.qvf");
  // The first image of docs as it was before a.txt was stored again under a new entry.
  const struct {
    const char* what;
    std::string sql;
    bool listFindsIt;  // else the image's place does
  } cases[] = {
      {"images swapped between two rows",
       "UPDATE FILE_DATA SET FILE_ID = -FILE_ID WHERE FILE_ID = " + a + "; UPDATE FILE_DATA SET " +
           "FILE_ID = " + a + " WHERE FILE_ID = " + b + "; UPDATE FILE_DATA SET FILE_ID = " + b +
           " WHERE FILE_ID = -" + a,
       false},
      {"an image copied over another row",
       "DELETE FROM FILE_DATA WHERE FILE_ID = " + b + "; INSERT INTO FILE_DATA SELECT " + b +
           ", BLOCK_ID, BLOCK_DATA FROM FILE_DATA WHERE FILE_ID = " + a,
       false},
      {"a row and its image deleted",
       "DELETE FROM FILE_DATA WHERE FILE_ID = " + b +
           "; DELETE FROM FILE_INFO WHERE FILE_ID = " + b,
       true},
      {"a row duplicated under another name",
       "INSERT INTO FILE_INFO (FOLDER_ID, FILE_NAME, FILE_SIZE, FILE_DATE, FILE_TIME, "
       "FILE_ATTRIBS) SELECT FOLDER_ID, 'c.txt.qvf', FILE_SIZE, FILE_DATE, FILE_TIME, "
       "FILE_ATTRIBS FROM FILE_INFO WHERE FILE_NAME = 'a.txt.qvf'; INSERT INTO FILE_DATA SELECT "
       "last_insert_rowid(), BLOCK_ID, BLOCK_DATA FROM FILE_DATA WHERE FILE_ID = " +
           a,
       true},
      {"a row renamed", "UPDATE FILE_INFO SET FILE_NAME = 'c.txt.qvf' WHERE FILE_ID = " + a, true},
      {"an older image put back for a row (the entry stored again under a new id)",
       "UPDATE FILE_INFO SET FILE_ID = (SELECT MAX(FILE_ID) + 1 FROM FILE_INFO) WHERE FILE_ID = " +
           a +
           "; UPDATE FILE_DATA SET FILE_ID = (SELECT MAX(FILE_ID) FROM FILE_INFO) WHERE "
           "FILE_ID = " +
           a,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(P("docs"));
    WriteBytes(P("docs.qvef"), good);
    ASSERT_EQ(Exec(P("docs.qvef"), "BEGIN; " + c.sql + "; COMMIT"), SQLITE_OK);
    const std::string crafted = ReadBytes(P("docs.qvef"));
    ui_.PressButton(IDD_PROGRESS, IDCANCEL);
    const Outcome run = RunDialog({P("docs.qvef")}, false);
    EXPECT_EQ(run.result, IDCANCEL) << run.Statuses();
    EXPECT_TRUE(ReadBytes(P("docs.qvef")) == crafted) << "the container was not kept as it was";
    EXPECT_FALSE(Present(P("docs"))) << "something was restored";
    EXPECT_TRUE(Leftovers().empty());
    bool found = false;
    for (const auto& row : run.rows)
      found |= row[1] == StatusText(StatusIntegrityError) &&
               (c.listFindsIt ? row[0] == "docs.qvef" : row[0] != "docs.qvef");
    EXPECT_TRUE(found) << run.Statuses();
  }
  // Untouched, it comes back whole.
  fs::remove_all(P("docs"));
  WriteBytes(P("docs.qvef"), good);
  EXPECT_EQ(RunDialog({P("docs.qvef")}, false).result, IDOK);
  EXPECT_EQ(ReadBytes(P("docs/sub/b.txt")), "beta");
}

TEST_F(ContainerDecryptionTest, WhatIsNoContainerSaysSoWithoutAskingAnything) {
  MakeContainer("docs");
  fs::create_directories(P("folder.qvef"));
  ASSERT_EQ(mkfifo(P("pipe.qvef").c_str(), 0600), 0);
  WriteBytes(P("random.qvef"), Bytes(5000, 17));
  WriteBytes(P("empty.qvef"), "");
  fs::create_symlink(P("nowhere.qvef"), P("dangling.qvef"));
  fs::create_symlink(P("docs.qvef"), P("linked.qvef"));
  const std::string container = ReadBytes(P("docs.qvef"));
  const struct {
    const char* name;
    ItemStatus status;
  } cases[] = {
      {"folder.qvef", StatusNotEncryptedFile},  {"pipe.qvef", StatusNotEncryptedFile},
      {"random.qvef", StatusNotEncryptedFile},  {"empty.qvef", StatusNotEncryptedFile},
      {"dangling.qvef", StatusFileAccessError}, {"linked.qvef", StatusFileAccessError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ui_.PressButton(IDD_PROGRESS, IDCANCEL);
    const Outcome run = RunDialog({P(c.name)}, false);
    EXPECT_EQ(run.result, IDCANCEL);
    ASSERT_EQ(run.rows.size(), 1u) << run.Statuses();
    EXPECT_EQ(run.rows[0][1], StatusText(c.status));
    EXPECT_TRUE(Present(P(c.name)));
  }
  EXPECT_TRUE(ReadBytes(P("docs.qvef")) == container);
  EXPECT_EQ(ReadBytes(P("random.qvef")), Bytes(5000, 17));
  EXPECT_TRUE(ui_.MessageBoxes().empty()) << "nothing here is a container to convert";
  EXPECT_TRUE(Leftovers().empty());
}

// A container met inside a folder being encrypted is decrypted in place first; someone the
// owner did not share it with is refused there as anywhere else, and nothing is touched.
TEST_F(ContainerDecryptionTest, AContainerInsideAFolderIsOpenOnlyToThoseItIsSharedWith) {
  fs::create_directories(P("outer"));
  dir_ = P("outer");
  const auto tree = MakeContainer("box");
  dir_ = root_.Sub("work");
  const std::string container = P("outer/box.qvef");
  const std::string before = ReadBytes(container);
  ASSERT_EQ(qvtest::EnrollWithKey({"carol", ".\\carol", "Carol", QvAccountType::Computer}, "pw3"),
            QvStoreStatus::Ok);
  ASSERT_EQ(QvLogOnUser("carol", "pw3"), QvLogOnResult::Passed);

  ui_.PressButton(IDD_PROGRESS, IDCANCEL);  // OK under the rows
  const Outcome run = RunDialog({P("outer")}, true, "carol");
  EXPECT_EQ(run.result, IDCANCEL);
  ASSERT_FALSE(run.rows.empty());
  EXPECT_EQ(run.rows[0].at(0), "box.qvef") << run.Statuses();
  EXPECT_EQ(run.rows[0].at(1), StatusText(StatusNotAuthorized)) << run.Statuses();
  EXPECT_EQ(ReadBytes(container), before);
  EXPECT_FALSE(Present(P("outer/box")));
  EXPECT_FALSE(Present(P("outer.qvef")));
  EXPECT_TRUE(Leftovers().empty());
}

}  // namespace
