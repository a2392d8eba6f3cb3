// The class the decrypted-file monitor stores saves through, driven through its interface over
// real containers: what it answers for each state the container, the entry and the user can be
// in, that only an answer of S_OK leaves the container changed, and that the user is verified
// (a verification still running counts; otherwise the password is asked).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "core/CQvDecryptedFileStore.h"
#include "core/QvFolderExtModule.h"
#include "platform/MachineRoot.h"
#include "platform/ole/Bstr.h"
#include "platform/ole/TextConversion.h"
#include "suite/qvprofile/UserSession.h"
#include "tests/shell/ViewTestSupport.h"

namespace view_test {
namespace {

using engine_test::ReadBytes;
using engine_test::WriteBytes;

// The FILE_ID and FOLDER_ID of the entry stored as `name`.
std::pair<DWORD, DWORD> EntryOf(const std::string& container, const std::string& name) {
  sqlite3* db = nullptr;
  std::pair<DWORD, DWORD> entry{0, 0};
  EXPECT_EQ(sqlite3_open_v2(container.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* row = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT FILE_ID, FOLDER_ID FROM FILE_INFO WHERE FILE_NAME = ?",
                               -1, &row, nullptr),
            SQLITE_OK);
  sqlite3_bind_text(row, 1, name.c_str(), -1, SQLITE_TRANSIENT);
  if (sqlite3_step(row) == SQLITE_ROW)
    entry = {static_cast<DWORD>(sqlite3_column_int(row, 0)),
             static_cast<DWORD>(sqlite3_column_int(row, 1))};
  sqlite3_finalize(row);
  sqlite3_close(db);
  EXPECT_NE(entry.first, 0u) << name;
  return entry;
}

class DecryptedFileStoreTest : public ViewFixture {
 protected:
  void SetUp() override {
    ViewFixture::SetUp();
    if (HasFatalFailure()) return;
    container_ = MakeContainer({{"notes.txt", "old notes"}, {"Docs/inner.txt", "inner"}}, {"Docs"});
    copy_ = QvRuntimeDir() + "/notes.txt";
    WriteBytes(copy_, "new notes");
    ASSERT_EQ(QvModule().GetClassObject(CLSID_QvDecryptedFileStore, IID_IClassFactory,
                                        factory_.ReleaseAndGetVoidAddressOf()),
              S_OK);
  }
  void TearDown() override {
    factory_.Reset();
    ViewFixture::TearDown();
  }

  HRESULT Store(const std::string& container, const std::string& plain, DWORD folderId,
                DWORD fileId, const std::string& user) {
    ComPtr<IQvDecryptedFileStore> store;
    EXPECT_EQ(factory_->CreateInstance(nullptr, IQvDecryptedFileStore::kIid,
                                       store.ReleaseAndGetVoidAddressOf()),
              S_OK);
    const std::u16string c = Utf8ToUtf16(container), p = Utf8ToUtf16(plain), u = Utf8ToUtf16(user);
    BSTR bc = SysAllocStringLen(c.data(), static_cast<UINT>(c.size()));
    BSTR bp = SysAllocStringLen(p.data(), static_cast<UINT>(p.size()));
    BSTR bu = SysAllocStringLen(u.data(), static_cast<UINT>(u.size()));
    const HRESULT hr = store->StoreDecryptedFile(bc, bp, folderId, fileId, bu);
    SysFreeString(bc);
    SysFreeString(bp);
    SysFreeString(bu);
    return hr;
  }
  HRESULT StoreNotes(const std::string& user = kMe) {
    const auto [fileId, folderId] = EntryOf(container_, "notes.txt.qvf");
    return Store(container_, copy_, folderId, fileId, user);
  }
  // What a full decryption of a copy of the container gives for `name`.
  std::string Decrypted(const std::string& name) {
    const std::string check = P("check");
    engine_test::fs::create_directories(check);
    engine_test::fs::copy_file(container_, check + "/Box.qvef",
                               engine_test::fs::copy_options::overwrite_existing);
    const engine_test::Outcome run = RunDialog({check + "/Box.qvef"}, false, kMe);
    EXPECT_EQ(run.result, IDOK) << run.Statuses();
    const std::string text = ReadBytes(check + "/Box/" + name);
    engine_test::fs::remove_all(check);
    return text;
  }

  ComPtr<IClassFactory> factory_;
  std::string container_, copy_;
};

TEST_F(DecryptedFileStoreTest, OnlyAStoreThatSucceededChangesTheContainer) {
  const auto [fileId, folderId] = EntryOf(container_, "notes.txt.qvf");
  const std::string before = ReadBytes(container_);
  struct Case {
    const char* what;
    std::string container, plain;
    DWORD folderId, fileId;
    std::string user;
    HRESULT expected;
  };
  const std::vector<Case> cases = {
      {"a relative copy", container_, "notes.txt", folderId, fileId, kMe, E_INVALIDARG},
      {"a copy that is gone", container_, copy_ + ".gone", folderId, fileId, kMe, E_INVALIDARG},
      {"a container that is gone", container_ + ".gone", copy_, folderId, fileId, kMe,
       QV_E_CONTAINER_GONE},
      {"a folder for a container", P(""), copy_, folderId, fileId, kMe, QV_E_CONTAINER_GONE},
      {"an entry that is gone", container_, copy_, folderId, fileId + 100, kMe, QV_E_ENTRY_GONE},
      {"an entry of another folder", container_, copy_, folderId + 1, fileId, kMe, QV_E_ENTRY_GONE},
      {"another user than the verified one", container_, copy_, folderId, fileId, "alice",
       QV_E_USER_REFUSED},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Store(c.container, c.plain, c.folderId, c.fileId, c.user), c.expected) << c.what;
    EXPECT_EQ(ReadBytes(container_), before) << c.what << " changed the container";
  }

  // Held by another writer: nothing changes, and the caller is told to come back.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(container_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(StoreNotes(), QV_E_CONTAINER_BUSY);
    (void)sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  EXPECT_EQ(ReadBytes(container_), before);

  ASSERT_EQ(StoreNotes(), S_OK);
  EXPECT_EQ(ReadBytes(copy_), "new notes") << "the copy is the monitor's to remove";
  EXPECT_EQ(Decrypted("notes.txt"), "new notes");
  EXPECT_EQ(Decrypted("Docs/inner.txt"), "inner");
  // Stored again (a second save), the entry keeps its place and its newest bytes.
  WriteBytes(copy_, std::string(70000, 's'));
  ASSERT_EQ(StoreNotes(), S_OK);
  EXPECT_EQ(Decrypted("notes.txt"), std::string(70000, 's'));
}

TEST_F(DecryptedFileStoreTest, TheUserIsAskedOnlyWhenNoVerificationRuns) {
  ASSERT_EQ(StoreNotes(), S_OK);
  EXPECT_EQ(PasswordPrompts(), 0) << "the running verification should have counted";

  QvLogOff();
  ui_.PressButton(kPasswordDialogId, IDCANCEL);
  WriteBytes(copy_, "refused");
  EXPECT_EQ(StoreNotes(), QV_E_USER_REFUSED);
  EXPECT_EQ(PasswordPrompts(), 1);

  ui_.TypeAndPress(kPasswordDialogId, kPasswordEditId, "pw", IDOK);
  WriteBytes(copy_, "verified again");
  EXPECT_EQ(StoreNotes(), S_OK);
  EXPECT_EQ(PasswordPrompts(), 2);
  EXPECT_EQ(Decrypted("notes.txt"), "verified again");
}

}  // namespace
}  // namespace view_test
