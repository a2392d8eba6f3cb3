// Files taken out of a container one at a time under a key opened once: what the one check
// of the rows covers, what makes it run again, and who is refused; and files read a piece at
// a time straight from their images.
#include "engine/ContainerDecryptionSession.h"
#include "engine/ContainerFileReader.h"
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

  Row RowOf(const std::string& storedName) {
    return TransferFixture::RowOf(container_, storedName);
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

class ContainerFileReaderTest : public TransferFixture {
 protected:
  static constexpr std::size_t kChunk = 1024 * 1024;
  void SetUp() override {
    TransferFixture::SetUp();
    big_ = engine_test::Bytes(3 * kChunk + kChunk / 2, 'b');
    exact_ = engine_test::Bytes(kChunk, 'e');
    container_ = MakeContainer({{"big.bin", big_}, {"exact.bin", exact_}, {"empty.bin", ""}}, {});
    session_ = std::make_shared<ContainerDecryptionSession>(container_, view_test::kMe);
  }
  std::unique_ptr<ContainerFileReader> Open(const std::string& storedName) {
    const Row row = RowOf(container_, storedName);
    std::unique_ptr<ContainerFileReader> reader;
    EXPECT_EQ(ContainerFileReader::Open(session_, row.folderId, row.fileId, storedName, &reader),
              StatusSuccess)
        << storedName;
    return reader;
  }
  // Everything from `offset` on, in pieces of `piece` bytes; "<failed>" when a read failed.
  static std::string ReadFrom(ContainerFileReader& reader, std::uint64_t offset,
                              std::size_t piece) {
    std::string all;
    std::string buffer(piece, '\0');
    for (;;) {
      const long long got = reader.ReadAt(offset + all.size(), buffer.data(), piece);
      if (got < 0) return "<failed>";
      all.append(buffer, 0, static_cast<std::size_t>(got));
      if (static_cast<std::size_t>(got) < piece) return all;
    }
  }

  std::string big_;
  std::string exact_;
  std::string container_;
  std::shared_ptr<ContainerDecryptionSession> session_;
};

TEST_F(ContainerFileReaderTest, AFileReadsInAnyPiecesFromAnyOffsetAndEndsAtItsSize) {
  std::unique_ptr<ContainerFileReader> big = Open("big.bin.qvf");
  ASSERT_TRUE(big);
  EXPECT_EQ(big->Size(), big_.size());
  EXPECT_EQ(ReadFrom(*big, 0, 300000), big_) << "pieces across chunks and blocks";
  EXPECT_EQ(ReadFrom(*big, 2 * kChunk + 7, 4096), big_.substr(2 * kChunk + 7));
  EXPECT_EQ(ReadFrom(*big, 5, kChunk * 4), big_.substr(5)) << "back to the first chunk";
  std::unique_ptr<ContainerFileReader> skipping = Open("big.bin.qvf");
  ASSERT_TRUE(skipping);
  std::string piece(100, '\0');
  ASSERT_EQ(skipping->ReadAt(kChunk / 2, piece.data(), piece.size()), 100);
  EXPECT_EQ(piece, big_.substr(kChunk / 2, 100));
  EXPECT_EQ(ReadFrom(*skipping, 2 * kChunk + 1, 999), big_.substr(2 * kChunk + 1))
      << "past a chunk opened ahead, to the one after it";
  EXPECT_EQ(ReadFrom(*big, big_.size() + 10, 16), "");

  std::unique_ptr<ContainerFileReader> exact = Open("exact.bin.qvf");
  ASSERT_TRUE(exact);
  EXPECT_EQ(ReadFrom(*exact, 0, kChunk), exact_);
  std::unique_ptr<ContainerFileReader> empty = Open("empty.bin.qvf");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->Size(), 0u);
  EXPECT_EQ(ReadFrom(*empty, 0, 16), "");
}

TEST_F(ContainerFileReaderTest, ACutChangedOrVanishedImageGivesAnErrorNeverOtherBytes) {
  // Only the tag of the last chunk changed, after a whole chunk: a reader that stops at the
  // size it was told must still find it.
  TamperWithTail(container_, "exact.bin.qvf", 4);
  std::unique_ptr<ContainerFileReader> exact = Open("exact.bin.qvf");
  ASSERT_TRUE(exact);
  std::string buffer(kChunk, '\0');
  EXPECT_EQ(exact->ReadAt(0, buffer.data(), kChunk), -1);

  // Changed while it is being read, in a block not read yet (the reader opens the next
  // chunks ahead, the last one among them once the second is read): what was read stays
  // right, what comes from the changed block fails.
  std::unique_ptr<ContainerFileReader> big = Open("big.bin.qvf");
  ASSERT_TRUE(big);
  ASSERT_EQ(big->ReadAt(0, buffer.data(), 1000), 1000);
  EXPECT_EQ(buffer.substr(0, 1000), big_.substr(0, 1000));
  TamperWithTail(container_, "big.bin.qvf", 4);
  EXPECT_EQ(ReadFrom(*big, kChunk, 4096), "<failed>");

  // The last block gone: the image is shorter and its chunks no longer end where they should.
  const Row row = RowOf(container_, "big.bin.qvf");
  const std::string id = std::to_string(row.fileId);
  ChangeContainer(container_, "DELETE FROM FILE_DATA WHERE FILE_ID = " + id +
                                  " AND BLOCK_ID = (SELECT MAX(BLOCK_ID) FROM FILE_DATA WHERE "
                                  "FILE_ID = " +
                                  id + ")");
  EXPECT_EQ(ReadFrom(*big, 2 * kChunk, 4096), "<failed>") << "a block that is no longer there";
  std::unique_ptr<ContainerFileReader> cut;
  const ItemStatus status =
      ContainerFileReader::Open(session_, row.folderId, row.fileId, "big.bin.qvf", &cut);
  if (status == StatusSuccess) {
    EXPECT_EQ(ReadFrom(*cut, 0, kChunk * 4), "<failed>");
  }
}

}  // namespace
}  // namespace transfer_test
