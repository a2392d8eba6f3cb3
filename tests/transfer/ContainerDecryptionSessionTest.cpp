// Files taken out of a container one at a time under a key opened once: what the one check
// of the rows covers, what makes it run again, and who is refused.
#include "engine/ContainerDecryptionSession.h"
#include "platform/WorkFolders.h"
#include "tests/transfer/TransferTestSupport.h"

namespace transfer_test {
namespace {

class ContainerDecryptionSessionTest : public TransferFixture {
 protected:
  void SetUp() override {
    TransferFixture::SetUp();
    container_ =
        MakeContainer({{"a.txt", "alpha"}, {"b.txt", "bravo!"}, {"Sub/c.txt", "charlie"}}, {"Sub"});
  }
  void TearDown() override {
    for (const std::string& folder : folders_) (void)QvRemoveWorkFolder(folder);
    TransferFixture::TearDown();
  }

  struct Row {
    DWORD folderId = 0;
    DWORD fileId = 0;
  };
  Row RowOf(const std::string& storedName) {
    const std::string id = FileIdOf(container_, storedName);
    EXPECT_FALSE(id.empty()) << storedName;
    if (id.empty()) return {};
    sqlite3* db = nullptr;
    Row row{0, static_cast<DWORD>(std::stoul(id))};
    if (sqlite3_open(container_.c_str(), &db) == SQLITE_OK) {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(db, ("SELECT FOLDER_ID FROM FILE_INFO WHERE FILE_ID = " + id).c_str(),
                             -1, &statement, nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW)
        row.folderId = static_cast<DWORD>(sqlite3_column_int64(statement, 0));
      sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return row;
  }

  // Decrypts `storedName` (by the row it has now, or `row`) into a new private folder; the
  // plain bytes, or "" with *status set when it failed.
  std::string Take(ContainerDecryptionSession& session, const std::string& storedName,
                   ItemStatus* status, const Row* row = nullptr) {
    const Row found = row != nullptr ? *row : RowOf(storedName);
    const std::string folder = QvCreateWorkFolder(QvRuntimeDir(), "qvs");
    EXPECT_FALSE(folder.empty());
    folders_.push_back(folder);
    *status = session.Decrypt(found.folderId, found.fileId, storedName, folder);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder))
      left.push_back(entry.path().filename());
    if (*status != StatusSuccess) {
      EXPECT_EQ(left, std::vector<std::string>{}) << "a refused file leaves nothing";
      return "";
    }
    const std::string plain = ContainerItemId::DisplayNameOfStoredFile(storedName);
    EXPECT_EQ(left, std::vector<std::string>{plain}) << "only the plain file is left";
    return engine_test::ReadBytes(folder + "/" + plain);
  }

  std::string container_;
  std::vector<std::string> folders_;
};

TEST_F(ContainerDecryptionSessionTest, RowsAreCheckedOnceAndAgainWhenTheContainerChanged) {
  ContainerDecryptionSession session(container_, view_test::kMe);
  ItemStatus status = StatusSuccess;
  EXPECT_EQ(Take(session, "a.txt.qvf", &status), "alpha");
  EXPECT_EQ(Take(session, "c.txt.qvf", &status), "charlie");
  EXPECT_EQ(session.Checks(), 1u) << "an unchanged container is checked once";

  // A row added outside the program: the list no longer holds the rows, and nothing more
  // comes out, not even a file whose own row is untouched.
  const Row b = RowOf("b.txt.qvf");
  ChangeContainer(container_,
                  "INSERT INTO FILE_INFO (FOLDER_ID, FILE_NAME, FILE_SIZE, FILE_DATE, FILE_TIME, "
                  "FILE_ATTRIBS) SELECT FOLDER_ID, 'x.txt.qvf', FILE_SIZE, FILE_DATE, FILE_TIME, "
                  "FILE_ATTRIBS FROM FILE_INFO WHERE FILE_ID = " +
                      std::to_string(b.fileId));
  EXPECT_EQ(Take(session, "b.txt.qvf", &status, &b), "");
  EXPECT_EQ(status, StatusIntegrityError);
  EXPECT_EQ(session.Checks(), 2u);
}

TEST_F(ContainerDecryptionSessionTest, AnImageMovedToAnotherRowIsRefused) {
  ContainerDecryptionSession session(container_, view_test::kMe);
  ItemStatus status = StatusSuccess;
  const Row a = RowOf("a.txt.qvf");
  const Row b = RowOf("b.txt.qvf");
  ASSERT_EQ(Take(session, "a.txt.qvf", &status, &a), "alpha");
  // The two rows keep their names and ids, but each now holds the other's blocks: the list
  // of rows is intact, the images are not where they were made for.
  const std::string ida = std::to_string(a.fileId);
  const std::string idb = std::to_string(b.fileId);
  ChangeContainer(container_, "UPDATE FILE_DATA SET FILE_ID = CASE FILE_ID WHEN " + ida + " THEN " +
                                  idb + " ELSE " + ida + " END WHERE FILE_ID IN (" + ida + ", " +
                                  idb + ")");
  EXPECT_EQ(Take(session, "a.txt.qvf", &status, &a), "");
  EXPECT_EQ(status, StatusIntegrityError);
  EXPECT_EQ(Take(session, "b.txt.qvf", &status, &b), "");
  EXPECT_EQ(status, StatusIntegrityError);
  // A block changed in place fails its own authentication.
  TamperWith(container_, "c.txt.qvf");
  EXPECT_EQ(Take(session, "c.txt.qvf", &status), "");
  EXPECT_NE(status, StatusSuccess);
}

TEST_F(ContainerDecryptionSessionTest, AUserWithoutTheKeyOrAStaleNameIsRefused) {
  {
    ContainerDecryptionSession stranger(container_, "nobody");
    ItemStatus status = StatusSuccess;
    EXPECT_EQ(Take(stranger, "a.txt.qvf", &status), "");
    EXPECT_EQ(status, StatusNotAuthorized);
    EXPECT_EQ(stranger.Checks(), 0u) << "nothing is read for a user without a key";
  }
  // A name the caller took the row by that the row no longer has.
  ContainerDecryptionSession session(container_, view_test::kMe);
  ItemStatus status = StatusSuccess;
  const Row a = RowOf("a.txt.qvf");
  EXPECT_EQ(Take(session, "b.txt.qvf", &status, &a), "");
  EXPECT_EQ(status, StatusIntegrityError);
  EXPECT_EQ(Take(session, "../a.txt.qvf", &status, &a), "");
  EXPECT_NE(status, StatusSuccess);

  // The key is opened again once the container changed: a user who can no longer open it
  // (logged off here) gets nothing more out.
  ASSERT_EQ(Take(session, "a.txt.qvf", &status, &a), "alpha");
  QvLogOff();
  ChangeContainer(container_, "PRAGMA user_version = 7");
  EXPECT_EQ(Take(session, "b.txt.qvf", &status), "");
  EXPECT_EQ(status, StatusNotAuthorized);
  ASSERT_EQ(QvLogOnUser(view_test::kMe, "pw"), QvLogOnResult::Passed);
}

}  // namespace
}  // namespace transfer_test
