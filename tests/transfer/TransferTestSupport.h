// What the transfer tests share: a view opened on a container built by the engine, the data
// object its folder hands out for chosen items, a receiver that reads descriptors and streams
// as a file manager does, and the suite's audit records.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/ContainerItemId.h"
#include "platform/MachineRoot.h"
#include "platform/ole/ClipboardFormats.h"
#include "platform/shell/FileGroupDescriptor.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/shell/ViewTestSupport.h"

namespace transfer_test {

namespace fs = std::filesystem;

inline FORMATETC FormatRequest(const char* format, LONG lindex, DWORD tymed) {
  return {static_cast<CLIPFORMAT>(RegisterClipboardFormatA(format)), nullptr, DVASPECT_CONTENT,
          lindex, tymed};
}

// The descriptor `data` hands out; empty (with a failure) when it gives none.
inline std::vector<FileGroupEntry> Descriptor(IDataObject* data) {
  FORMATETC request = FormatRequest(CFSTR_FILEDESCRIPTORA, -1, TYMED_HGLOBAL);
  STGMEDIUM medium{};
  std::vector<FileGroupEntry> entries;
  const HRESULT hr = data->GetData(&request, &medium);
  EXPECT_EQ(hr, S_OK);
  if (FAILED(hr)) return entries;
  EXPECT_EQ(medium.tymed, TYMED_HGLOBAL);
  EXPECT_TRUE(ReadFileGroupDescriptor(medium.hGlobal, false, &entries));
  ReleaseStgMedium(&medium);
  return entries;
}

// One Read of up to `count` bytes: what it answered and the bytes it gave.
struct StreamRead {
  HRESULT result;
  std::string bytes;
};
inline StreamRead ReadOnce(IStream* stream, std::size_t count) {
  StreamRead read{E_FAIL, std::string(count, '\0')};
  ULONG got = 0;
  read.result = stream->Read(read.bytes.data(), static_cast<ULONG>(count), &got);
  read.bytes.resize(got);
  return read;
}

// Reads the stream of entry `index` to its end in chunks of `chunk` bytes; *result gets the
// first failure (S_OK when none).
inline std::string Contents(IDataObject* data, LONG index, HRESULT* result = nullptr,
                            ULONG chunk = 64 * 1024) {
  FORMATETC request = FormatRequest(CFSTR_FILECONTENTS, index, TYMED_ISTREAM);
  STGMEDIUM medium{};
  HRESULT hr = data->GetData(&request, &medium);
  std::string bytes;
  if (SUCCEEDED(hr)) {
    std::string buffer(chunk, '\0');
    for (;;) {
      ULONG got = 0;
      hr = medium.pstm->Read(buffer.data(), chunk, &got);
      if (FAILED(hr)) break;
      bytes.append(buffer.data(), got);
      if (got < chunk) {
        hr = S_OK;
        break;
      }
    }
    ReleaseStgMedium(&medium);
  }
  if (result != nullptr) *result = hr;
  return bytes;
}

// Sets "Performed DropEffect" as a receiver does when it is done.
inline HRESULT ReportEffect(IDataObject* data, DWORD effect, std::size_t size = sizeof(DWORD)) {
  FORMATETC request = FormatRequest(CFSTR_PERFORMEDDROPEFFECT, -1, TYMED_HGLOBAL);
  STGMEDIUM medium{};
  medium.tymed = TYMED_HGLOBAL;
  medium.hGlobal = GlobalAlloc(GMEM_FIXED, size);
  std::memcpy(GlobalLock(medium.hGlobal), &effect, std::min(size, sizeof effect));
  (void)GlobalUnlock(medium.hGlobal);
  const HRESULT hr = data->SetData(&request, &medium, TRUE);
  if (FAILED(hr)) ReleaseStgMedium(&medium);
  return hr;
}

// Everything in the user's runtime folder, where plain copies of files would be made.
inline std::set<std::string> RuntimeEntries() {
  std::set<std::string> found;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(QvRuntimeDir(), error))
    found.insert(entry.path());
  return found;
}

// Audit records of `event`, oldest first.
inline std::vector<QvAuditEntry> AuditOf(DWORD event) {
  std::vector<QvAuditEntry> entries;
  QvUserStore* store = QvSharedUserStore();
  if (store == nullptr) return entries;
  QvAuditFilter filter;
  filter.eventType = event;
  EXPECT_EQ(store->QueryAudit(filter, &entries), QvStoreStatus::Ok);
  std::sort(entries.begin(), entries.end(),
            [](const QvAuditEntry& a, const QvAuditEntry& b) { return a.sequence < b.sequence; });
  return entries;
}

// Runs `sql` on the container file directly, as something outside this system would (waiting
// for a reader's transaction, such as a stream reading ahead, to end).
inline void ChangeContainer(const std::string& container, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(container.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error != nullptr ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

class TransferFixture : public view_test::ViewFixture {
 protected:
  // The identifiers of the view's items named `names`, in that order (owned by the list).
  std::vector<LPCITEMIDLIST> ItemsNamed(const view_test::OpenView& view,
                                        const std::vector<std::string>& names) {
    std::vector<LPCITEMIDLIST> found;
    CListCtrl list = view.List();
    for (const std::string& name : names) {
      for (int i = 0; i < list.GetItemCount(); ++i) {
        auto id = reinterpret_cast<LPCITEMIDLIST>(list.GetItemData(i));
        ContainerItem item;
        if (SUCCEEDED(ContainerItemId::ReadFirst(id, &item)) && item.name == name)
          found.push_back(id);
      }
    }
    EXPECT_EQ(found.size(), names.size());
    return found;
  }

  ComPtr<IDataObject> DataObjectOf(const view_test::OpenView& view,
                                   const std::vector<std::string>& names) {
    const std::vector<LPCITEMIDLIST> items = ItemsNamed(view, names);
    ComPtr<IDataObject> data;
    EXPECT_EQ(
        view.folder->GetUIObjectOf(nullptr, static_cast<UINT>(items.size()), items.data(),
                                   IID_IDataObject, nullptr, data.ReleaseAndGetVoidAddressOf()),
        S_OK);
    return data;
  }

  // FILE_IDs stored under `name` (any folder).
  static std::string FileIdOf(const std::string& container, const std::string& storedName) {
    sqlite3* db = nullptr;
    std::string id;
    if (sqlite3_open(container.c_str(), &db) == SQLITE_OK) {
      sqlite3_stmt* statement = nullptr;
      const std::string sql = "SELECT FILE_ID FROM FILE_INFO WHERE FILE_NAME = ?";
      if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(statement, 1, storedName.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(statement) == SQLITE_ROW)
          id = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return id;
  }

  struct Row {
    DWORD folderId = 0;
    DWORD fileId = 0;
  };
  // The row a stored file has now in `container`.
  static Row RowOf(const std::string& container, const std::string& storedName) {
    const std::string id = FileIdOf(container, storedName);
    EXPECT_FALSE(id.empty()) << storedName;
    if (id.empty()) return {};
    sqlite3* db = nullptr;
    Row row{0, static_cast<DWORD>(std::stoul(id))};
    if (sqlite3_open(container.c_str(), &db) == SQLITE_OK) {
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

  // Zeroes the last stored block of `storedName`: its authentication then fails.
  static void TamperWith(const std::string& container, const std::string& storedName) {
    const std::string id = FileIdOf(container, storedName);
    ASSERT_FALSE(id.empty()) << storedName;
    ChangeContainer(container,
                    "UPDATE FILE_DATA SET BLOCK_DATA = zeroblob(length(BLOCK_DATA)) "
                    "WHERE FILE_ID = " +
                        id +
                        " AND BLOCK_ID = (SELECT MAX(BLOCK_ID) FROM FILE_DATA WHERE "
                        "FILE_ID = " +
                        id + ")");
  }

  // Zeroes the last `bytes` bytes of the last stored block of `storedName` (the tag of its last
  // chunk, for a short one).
  static void TamperWithTail(const std::string& container, const std::string& storedName,
                             int bytes) {
    const std::string id = FileIdOf(container, storedName);
    const std::string n = std::to_string(bytes);
    ChangeContainer(
        container,
        "UPDATE FILE_DATA SET BLOCK_DATA = CAST(substr(BLOCK_DATA, 1, "
        "length(BLOCK_DATA) - " +
            n + ") || zeroblob(" + n + ") AS BLOB) WHERE FILE_ID = " + id +
            " AND BLOCK_ID = (SELECT MAX(BLOCK_ID) FROM FILE_DATA WHERE FILE_ID = " + id + ")");
  }

  static int StoredFiles(const std::string& container, const std::string& storedName) {
    sqlite3* db = nullptr;
    int count = -1;
    if (sqlite3_open(container.c_str(), &db) == SQLITE_OK) {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM FILE_INFO WHERE FILE_NAME = ?", -1,
                             &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(statement, 1, storedName.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(statement) == SQLITE_ROW) count = sqlite3_column_int(statement, 0);
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return count;
  }
};

}  // namespace transfer_test
