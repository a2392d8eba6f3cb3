// Items leaving a container through the data object its folder hands out: the descriptor of
// a selection with folders, the streams that decrypt on first read, the formats offered and
// refused, and what a reported move deletes.
#include <unistd.h>

#include <algorithm>
#include <set>

#include "base/ModuleTables.h"
#include "container/QVDatabase.h"
#include "engine/HeldFolderKey.h"
#include "platform/ole/EnumFormatEtc.h"
#include "tests/transfer/TransferTestSupport.h"
#include "transfer/CQvDataObject.h"

namespace transfer_test {
namespace {

constexpr DWORD kAuditEventFileLeftContainer = 10;

class CQvDataObjectTest : public TransferFixture {
 protected:
  void SetUp() override {
    TransferFixture::SetUp();
    big_ = engine_test::Bytes(1024 * 1024 + 1, 'q');
    container_ =
        MakeContainer({{"Docs/a.txt", "alpha"}, {"Docs/Sub/b.txt", "bravo!"}, {"top.bin", big_}},
                      {"Docs/Sub", "Docs/Empty"});
    view_ = Open(container_);
  }
  void TearDown() override {
    view_.Close();
    TransferFixture::TearDown();
  }

  // The single number `sql` gives over the container.
  static int Count(const std::string& container, const std::string& sql) {
    sqlite3* db = nullptr;
    int count = -1;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open(container.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
      count = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return count;
  }
  static LONG IndexOf(const std::vector<FileGroupEntry>& entries, const std::string& name) {
    for (std::size_t i = 0; i < entries.size(); ++i)
      if (entries[i].name == name) return static_cast<LONG>(i);
    ADD_FAILURE() << "no entry " << name;
    return 0;
  }

  std::string big_;
  std::string container_;
  view_test::OpenView view_;
};

TEST_F(CQvDataObjectTest, ASelectionWithFoldersIsDescribedWholeAndServedAsPlainBytes) {
  ComPtr<IDataObject> data = DataObjectOf(view_, {"Docs", "top.bin"});
  ASSERT_TRUE(data);
  const std::vector<FileGroupEntry> entries = Descriptor(data.Get());
  std::multiset<std::string> names;
  for (const FileGroupEntry& entry : entries) names.insert(entry.name);
  // Names start at the selected item, folders included, the empty one too.
  EXPECT_EQ(names, (std::multiset<std::string>{"Docs", "Docs\\a.txt", "Docs\\Empty", "Docs\\Sub",
                                               "Docs\\Sub\\b.txt", "top.bin"}));
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries.front().name, "Docs");
  EXPECT_EQ(entries.back().name, "top.bin");
  EXPECT_LT(IndexOf(entries, "Docs\\Sub"), IndexOf(entries, "Docs\\Sub\\b.txt"));
  for (const FileGroupEntry& entry : entries) {
    const bool folder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    EXPECT_EQ(folder, entry.name.find('.') == std::string::npos) << entry.name;
    EXPECT_NE(entry.flags & FD_ATTRIBUTES, 0u) << entry.name;
    if (!folder) {
      EXPECT_EQ(entry.flags, 0x4064u) << entry.name;
    }
  }
  EXPECT_EQ(entries.back().size, big_.size());
  const std::set<std::string> runtimeBefore = RuntimeEntries();

  EXPECT_EQ(Contents(data.Get(), IndexOf(entries, "Docs\\a.txt")), "alpha");
  EXPECT_EQ(Contents(data.Get(), IndexOf(entries, "Docs\\Sub\\b.txt")), "bravo!");
  EXPECT_EQ(Contents(data.Get(), 5, nullptr, 4096), big_);
  EXPECT_EQ(Contents(data.Get(), 5, nullptr, 1000), big_) << "a second request starts over";
  EXPECT_EQ(RuntimeEntries(), runtimeBefore) << "no plain copy is made";
  const std::vector<QvAuditEntry> audit = AuditOf(kAuditEventFileLeftContainer);
  ASSERT_EQ(audit.size(), 3u) << "one record per file, not per read";
  for (const QvAuditEntry& record : audit) {
    EXPECT_EQ(record.result, kAuditResultSuccess);
    EXPECT_EQ(record.path, container_);
  }

  // A copy performed deletes nothing; releasing the object removes every plain copy.
  EXPECT_EQ(ReportEffect(data.Get(), DROPEFFECT_COPY), S_OK);
  EXPECT_EQ(StoredFiles(container_, "top.bin.qvf"), 1);
  data.Reset();
  view_.Close();
}

TEST_F(CQvDataObjectTest, RequestsAreCheckedAndTheFormatsListedInOrder) {
  ComPtr<IDataObject> data = DataObjectOf(view_, {"Docs"});
  ASSERT_TRUE(data);
  const LONG count = static_cast<LONG>(Descriptor(data.Get()).size());
  ASSERT_EQ(count, 5);
  STGMEDIUM medium{};
  FORMATETC request = FormatRequest(CFSTR_FILECONTENTS, -1, TYMED_ISTREAM);
  EXPECT_EQ(data->GetData(&request, &medium), DV_E_LINDEX);
  EXPECT_EQ(data->QueryGetData(&request), DV_E_LINDEX);
  request.lindex = count;
  EXPECT_EQ(data->GetData(&request, &medium), E_INVALIDARG);
  request.lindex = 0;  // the folder Docs has no contents
  EXPECT_EQ(data->GetData(&request, &medium), E_INVALIDARG);
  request = FormatRequest(CFSTR_FILEDESCRIPTORA, -1, TYMED_ISTREAM);
  EXPECT_EQ(data->GetData(&request, &medium), E_INVALIDARG);
  EXPECT_EQ(data->QueryGetData(&request), E_INVALIDARG);
  request = FormatRequest(CFSTR_FILEDESCRIPTORA, 0, TYMED_HGLOBAL);
  EXPECT_EQ(data->GetData(&request, &medium), E_INVALIDARG);
  request = FormatRequest(CFSTR_PREFERREDDROPEFFECT, -1, TYMED_HGLOBAL);
  request.dwAspect = 4;  // not the content
  EXPECT_EQ(data->GetData(&request, &medium), E_INVALIDARG);
  request = FormatRequest(CFSTR_PERFORMEDDROPEFFECT, -1, TYMED_HGLOBAL);
  EXPECT_EQ(data->GetData(&request, &medium), E_NOTIMPL);
  request = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  EXPECT_EQ(data->GetData(&request, &medium), E_NOTIMPL);
  EXPECT_EQ(data->QueryGetData(&request), E_NOTIMPL);

  request = FormatRequest(CFSTR_PREFERREDDROPEFFECT, -1, TYMED_HGLOBAL);
  ASSERT_EQ(data->GetData(&request, &medium), S_OK);
  EXPECT_EQ(*static_cast<const DWORD*>(GlobalLock(medium.hGlobal)), DROPEFFECT_COPY);
  (void)GlobalUnlock(medium.hGlobal);
  ReleaseStgMedium(&medium);

  // A block too small to hold an effect is refused and deletes nothing.
  EXPECT_EQ(Contents(data.Get(), 1), "alpha");
  EXPECT_EQ(ReportEffect(data.Get(), DROPEFFECT_MOVE, 2), E_INVALIDARG);
  EXPECT_EQ(StoredFiles(container_, "a.txt.qvf"), 1);

  ComPtr<IEnumFORMATETC> formats;
  ASSERT_EQ(data->EnumFormatEtc(DATADIR_GET, formats.ReleaseAndGetAddressOf()), S_OK);
  FORMATETC listed[5]{};
  ULONG fetched = 0;
  EXPECT_EQ(formats->Next(5, listed, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 4u);
  const char* expected[] = {CFSTR_FILECONTENTS, CFSTR_FILEDESCRIPTORA, CFSTR_PREFERREDDROPEFFECT,
                            CFSTR_PERFORMEDDROPEFFECT};
  for (ULONG i = 0; i < fetched; ++i) {
    EXPECT_EQ(listed[i].cfFormat, RegisterClipboardFormatA(expected[i])) << expected[i];
    EXPECT_EQ(listed[i].lindex, -1);
    EXPECT_EQ(listed[i].tymed, i == 0 ? TYMED_ISTREAM : TYMED_HGLOBAL);
  }
  EXPECT_EQ(formats->Reset(), S_OK);
  EXPECT_EQ(formats->Skip(3), S_OK);
  EXPECT_EQ(formats->Next(1, listed, nullptr), S_OK);
  EXPECT_EQ(listed[0].cfFormat, RegisterClipboardFormatA(CFSTR_PERFORMEDDROPEFFECT));
  EXPECT_EQ(formats->Skip(1), S_FALSE);
  EXPECT_EQ(formats->Next(1, listed, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
}

TEST_F(CQvDataObjectTest, OneSnapshotPairsEveryNameWithItsOwnBytes) {
  ComPtr<IDataObject> data = DataObjectOf(view_, {"Docs"});
  ASSERT_TRUE(data);
  const std::vector<FileGroupEntry> before = Descriptor(data.Get());
  // The container changes under the object: a.txt goes, a new file comes first.
  const std::string a = FileIdOf(container_, "a.txt.qvf");
  ChangeContainer(container_, "DELETE FROM FILE_DATA WHERE FILE_ID = " + a +
                                  "; DELETE FROM FILE_INFO WHERE FILE_ID = " + a);
  const std::vector<FileGroupEntry> after = Descriptor(data.Get());
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].name, before[i].name);
  HRESULT hr = S_OK;
  EXPECT_EQ(Contents(data.Get(), IndexOf(after, "Docs\\a.txt"), &hr), "");
  EXPECT_EQ(hr, E_UNEXPECTED) << "a file gone is an error, never another file's bytes";
}

// While a receiver reads one file, the next ones are opened ahead: nothing is recorded for them
// before their first reads, a file passed over is let go, and a file changed after it was
// opened ahead is served as the container is at its first read.
TEST_F(CQvDataObjectTest, TheNextFilesAreOpenedAheadAndServedAsTheContainerIsWhenRead) {
  ComPtr<IDataObject> data = DataObjectOf(view_, {"Docs", "top.bin"});
  ComPtr<IDataObject> again = DataObjectOf(view_, {"Docs", "top.bin"});
  ASSERT_TRUE(data && again);
  const std::vector<FileGroupEntry> entries = Descriptor(data.Get());
  ASSERT_EQ(Descriptor(again.Get()).size(), entries.size());
  std::vector<LONG> files;
  for (std::size_t i = 0; i < entries.size(); ++i)
    if ((entries[i].attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      files.push_back(static_cast<LONG>(i));
  ASSERT_EQ(files.size(), 3u);
  const auto expected = [&](LONG index) {
    const std::string& name = entries[index].name;
    return name == "top.bin" ? big_ : name == "Docs\\a.txt" ? "alpha" : "bravo!";
  };
  const auto openedAhead = [](IDataObject* object, LONG index) {
    auto* made = static_cast<CQvDataObject*>(object);
    for (int wait = 0; wait < 500 && !made->OpenedAhead(index); ++wait) usleep(10000);
    return made->OpenedAhead(index);
  };

  EXPECT_EQ(Contents(data.Get(), files[0]), expected(files[0]));
  ASSERT_TRUE(openedAhead(data.Get(), files[1]));
  EXPECT_EQ(AuditOf(kAuditEventFileLeftContainer).size(), 1u);
  EXPECT_EQ(Contents(data.Get(), files[2]), expected(files[2]));
  EXPECT_FALSE(static_cast<CQvDataObject*>(data.Get())->OpenedAhead(files[1]))
      << "let go once passed over";

  EXPECT_EQ(Contents(again.Get(), files[0]), expected(files[0]));
  ASSERT_TRUE(openedAhead(again.Get(), files[1]));
  const std::string name = entries[files[1]].name;
  const std::string id = FileIdOf(container_, name.substr(name.rfind('\\') + 1) + ".qvf");
  ChangeContainer(container_, "DELETE FROM FILE_DATA WHERE FILE_ID = " + id +
                                  "; DELETE FROM FILE_INFO WHERE FILE_ID = " + id);
  HRESULT hr = S_OK;
  EXPECT_EQ(Contents(again.Get(), files[1], &hr), "");
  EXPECT_EQ(hr, E_UNEXPECTED) << "a file deleted after its opening ahead is gone";
  const std::vector<QvAuditEntry> audit = AuditOf(kAuditEventFileLeftContainer);
  ASSERT_EQ(audit.size(), 4u);
  EXPECT_EQ(audit[3].result, kAuditResultFailure);
}

TEST_F(CQvDataObjectTest, EachRequestHoldsOnlyItsOwnStream) {
  ComPtr<IDataObject> data = DataObjectOf(view_, {"Docs", "top.bin"});
  ASSERT_TRUE(data);
  const std::vector<FileGroupEntry> entries = Descriptor(data.Get());
  FORMATETC request =
      FormatRequest(CFSTR_FILECONTENTS, IndexOf(entries, "Docs\\a.txt"), TYMED_ISTREAM);
  STGMEDIUM small{};
  ASSERT_EQ(data->GetData(&request, &small), S_OK);
  const auto refs = [](IUnknown* p) {
    p->AddRef();
    return p->Release();
  };
  EXPECT_EQ(refs(small.pstm), 2u);  // the table's and the medium's

  request.lindex = IndexOf(entries, "top.bin");
  STGMEDIUM first{};
  STGMEDIUM second{};
  ASSERT_EQ(data->GetData(&request, &first), S_OK);
  StreamRead read = ReadOnce(first.pstm, 1000);
  ASSERT_EQ(read.result, S_OK);
  EXPECT_EQ(read.bytes, big_.substr(0, 1000));
  ASSERT_EQ(data->GetData(&request, &second), S_OK);
  EXPECT_EQ(first.pstm, second.pstm);
  EXPECT_EQ(refs(small.pstm), 2u) << "another stream's request left this one alone";
  EXPECT_EQ(refs(second.pstm), 3u);
  read = ReadOnce(second.pstm, big_.size() + 10);
  ASSERT_EQ(read.result, S_FALSE);
  EXPECT_EQ(read.bytes, big_) << "the second request starts at the first byte";

  ReleaseStgMedium(&first);
  ReleaseStgMedium(&small);
  data.Reset();
  // A medium still held keeps its stream, which still reads.
  ASSERT_EQ(second.pstm->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr), S_OK);
  read = ReadOnce(second.pstm, 1000);
  ASSERT_EQ(read.result, S_OK);
  EXPECT_EQ(read.bytes, big_.substr(0, 1000));
  ReleaseStgMedium(&second);
}

TEST_F(CQvDataObjectTest, AMoveDeletesOnlyFilesReadToTheirEndAndFailsWhileAnyStays) {
  ComPtr<IDataObject> data = DataObjectOf(view_, {"Docs", "top.bin"});
  ASSERT_TRUE(data);
  auto* object = static_cast<CQvDataObject*>(data.Get());
  const int foldersBefore = Count(container_, "SELECT COUNT(*) FROM FOLDER_INFO");
  EXPECT_EQ(ReportEffect(data.Get(), DROPEFFECT_MOVE), E_UNEXPECTED) << "nothing was asked for";
  const std::vector<FileGroupEntry> entries = Descriptor(data.Get());
  EXPECT_EQ(Contents(data.Get(), IndexOf(entries, "Docs\\a.txt")), "alpha");
  EXPECT_EQ(object->TransferredCount(), 1u);
  // top.bin: its start and its end, the middle skipped.
  FORMATETC request = FormatRequest(CFSTR_FILECONTENTS, IndexOf(entries, "top.bin"), TYMED_ISTREAM);
  STGMEDIUM medium{};
  ASSERT_EQ(data->GetData(&request, &medium), S_OK);
  LARGE_INTEGER skip{static_cast<std::int64_t>(big_.size()) - 10};
  ASSERT_EQ(ReadOnce(medium.pstm, 4096).result, S_OK);
  ASSERT_EQ(medium.pstm->Seek(skip, STREAM_SEEK_SET, nullptr), S_OK);
  const StreamRead tail = ReadOnce(medium.pstm, 4096);
  ASSERT_EQ(tail.result, S_FALSE);
  EXPECT_EQ(tail.bytes.size(), 10u);
  ReleaseStgMedium(&medium);
  EXPECT_EQ(object->TransferredCount(), 1u) << "a skipped middle is not a transfer";

  // Only a.txt arrived: it goes, the rest stays (folders too), and the move is a failure.
  EXPECT_EQ(ReportEffect(data.Get(), DROPEFFECT_MOVE), E_FAIL);
  EXPECT_EQ(StoredFiles(container_, "a.txt.qvf"), 0);
  EXPECT_EQ(StoredFiles(container_, "b.txt.qvf"), 1);
  EXPECT_EQ(StoredFiles(container_, "top.bin.qvf"), 1);
  EXPECT_EQ(Count(container_, "SELECT COUNT(*) FROM FOLDER_INFO"), foldersBefore);
  EXPECT_EQ(ReportEffect(data.Get(), DROPEFFECT_MOVE), E_FAIL) << "the same answer again";
  // The container's file list still holds: what stayed reads back.
  EXPECT_EQ(Contents(data.Get(), IndexOf(entries, "Docs\\Sub\\b.txt")), "bravo!");
  EXPECT_EQ(Contents(data.Get(), IndexOf(entries, "top.bin")), big_);
}

TEST_F(CQvDataObjectTest, AWholeMoveTakesTheTreeWithItsEmptyFoldersAndNeedsTheVerifiedUser) {
  const int foldersBefore = Count(container_, "SELECT COUNT(*) FROM FOLDER_INFO");
  // Without the verified user nothing can be deleted: every file stays.
  ComPtr<IDataObject> data = DataObjectOf(view_, {"Docs"});
  ASSERT_TRUE(data);
  std::vector<FileGroupEntry> entries = Descriptor(data.Get());
  for (std::size_t i = 0; i < entries.size(); ++i)
    if ((entries[i].attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      (void)Contents(data.Get(), static_cast<LONG>(i));
  static_cast<CQvDataObject*>(data.Get())->SetVerifiedUser("");
  EXPECT_EQ(ReportEffect(data.Get(), DROPEFFECT_MOVE), E_ACCESSDENIED);
  EXPECT_EQ(StoredFiles(container_, "a.txt.qvf"), 1);

  data = DataObjectOf(view_, {"Docs"});
  ASSERT_TRUE(data);
  entries = Descriptor(data.Get());
  EXPECT_EQ(Contents(data.Get(), IndexOf(entries, "Docs\\a.txt")), "alpha");
  EXPECT_EQ(Contents(data.Get(), IndexOf(entries, "Docs\\Sub\\b.txt")), "bravo!");
  EXPECT_EQ(ReportEffect(data.Get(), DROPEFFECT_MOVE), S_OK);
  EXPECT_EQ(StoredFiles(container_, "a.txt.qvf"), 0);
  EXPECT_EQ(StoredFiles(container_, "b.txt.qvf"), 0);
  // Docs, Docs/Sub and Docs/Empty are gone; the root stays with top.bin.
  EXPECT_EQ(Count(container_, "SELECT COUNT(*) FROM FOLDER_INFO"), foldersBefore - 3);
  EXPECT_EQ(ReportEffect(data.Get(), DROPEFFECT_MOVE), S_OK) << "told twice, deleted once";
  ComPtr<IDataObject> rest = DataObjectOf(view_, {"top.bin"});
  ASSERT_TRUE(rest);
  EXPECT_EQ(Contents(rest.Get(), 0), big_) << "the file list still holds";
}

TEST_F(CQvDataObjectTest, ARowChangedAfterItsFileWasReadIsNotDeletedByTheMove) {
  ComPtr<IDataObject> data = DataObjectOf(view_, {"top.bin"});
  ASSERT_TRUE(data);
  ASSERT_EQ(Contents(data.Get(), 0), big_);
  // The file is renamed meanwhile (as the view does it, under the folder key).
  const std::string fileId = FileIdOf(container_, "top.bin.qvf");
  const int folderId =
      Count(container_, "SELECT FOLDER_ID FROM FILE_INFO WHERE FILE_ID = " + fileId);
  {
    QVDatabase database;
    ASSERT_EQ(database.Open(container_, FALSE), VARIANT_TRUE);
    HeldFolderKey key;
    ASSERT_TRUE(key.Bind(database, container_, QvModuleTables().VerifiedUser(container_)));
    ASSERT_EQ(database.RenameFile("renamed.bin", static_cast<DWORD>(folderId),
                                  static_cast<DWORD>(std::stoul(fileId))),
              VARIANT_TRUE);
  }
  EXPECT_EQ(ReportEffect(data.Get(), DROPEFFECT_MOVE), E_FAIL);
  EXPECT_EQ(StoredFiles(container_, "renamed.bin.qvf"), 1) << "not the file that was read";
}

TEST_F(CQvDataObjectTest, AFileThatFailsToDecryptFailsEveryReadAndIsNeverMoved) {
  TamperWith(container_, "b.txt.qvf");
  ComPtr<IDataObject> data = DataObjectOf(view_, {"Docs"});
  ASSERT_TRUE(data);
  const std::vector<FileGroupEntry> entries = Descriptor(data.Get());
  HRESULT hr = S_OK;
  EXPECT_EQ(Contents(data.Get(), IndexOf(entries, "Docs\\Sub\\b.txt"), &hr), "");
  EXPECT_EQ(hr, E_UNEXPECTED);
  EXPECT_EQ(Contents(data.Get(), IndexOf(entries, "Docs\\Sub\\b.txt"), &hr), "");
  EXPECT_EQ(hr, E_UNEXPECTED);
  const std::vector<QvAuditEntry> audit = AuditOf(kAuditEventFileLeftContainer);
  ASSERT_EQ(audit.size(), 1u) << "one decryption, one record";
  EXPECT_EQ(audit[0].result, kAuditResultFailure);

  EXPECT_EQ(Contents(data.Get(), IndexOf(entries, "Docs\\a.txt")), "alpha");
  EXPECT_EQ(static_cast<CQvDataObject*>(data.Get())->TransferredCount(), 1u);
}

TEST_F(CQvDataObjectTest, AChunkThatFailsMidFileEndsTheStreamAndIsRecorded) {
  // Only the tag of top.bin's last chunk changed: its first chunk still opens.
  TamperWithTail(container_, "top.bin.qvf", 4);
  ComPtr<IDataObject> data = DataObjectOf(view_, {"top.bin"});
  ASSERT_TRUE(data);
  const std::vector<FileGroupEntry> entries = Descriptor(data.Get());
  FORMATETC request = FormatRequest(CFSTR_FILECONTENTS, 0, TYMED_ISTREAM);
  STGMEDIUM medium{};
  ASSERT_EQ(data->GetData(&request, &medium), S_OK);
  const StreamRead head = ReadOnce(medium.pstm, 4096);
  ASSERT_EQ(head.result, S_OK);
  EXPECT_EQ(head.bytes, big_.substr(0, 4096));
  EXPECT_EQ(ReadOnce(medium.pstm, big_.size()).result, STG_E_ACCESSDENIED);
  EXPECT_EQ(ReadOnce(medium.pstm, 16).result, E_UNEXPECTED) << "it stays failed";
  ReleaseStgMedium(&medium);
  const std::vector<QvAuditEntry> audit = AuditOf(kAuditEventFileLeftContainer);
  ASSERT_EQ(audit.size(), 2u);
  EXPECT_EQ(audit[0].result, kAuditResultSuccess) << "the file was opened";
  EXPECT_EQ(audit[1].result, kAuditResultFailure) << "and did not come out whole";
  EXPECT_EQ(static_cast<CQvDataObject*>(data.Get())->TransferredCount(), 0u);
  EXPECT_EQ(ReportEffect(data.Get(), DROPEFFECT_MOVE), E_FAIL);
  EXPECT_EQ(StoredFiles(container_, "top.bin.qvf"), 1);
}

}  // namespace
}  // namespace transfer_test
