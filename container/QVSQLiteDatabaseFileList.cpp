// The list of a container's files kept after its protection record (see QVDatabase.h,
// UseFolderHandle): the library keys and MACs it; the store notes the entries each write
// transaction adds and removes and updates the list's sum before the transaction commits, so
// a change costs one keyed hash per entry, and a check is one pass over FILE_INFO.
#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "container/QVSQLiteDatabaseInternals.h"
#include "container/SqliteStatement.h"
#include "suite/QvContainerFormat.h"
#include "suite/QvFsApi.h"

using namespace container;

namespace {

using Sum = BYTE[32];

// The list's sum is taken modulo 2^256, little-endian, so that equal entries never cancel.
void AddTo(Sum sum, const BYTE* hash) {
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    const unsigned total = sum[i] + hash[i] + carry;
    sum[i] = static_cast<BYTE>(total);
    carry = total >> 8;
  }
}

void SubtractFrom(Sum sum, const BYTE* hash) {
  unsigned borrow = 0;
  for (int i = 0; i < 32; ++i) {
    const int difference = static_cast<int>(sum[i]) - hash[i] - static_cast<int>(borrow);
    sum[i] = static_cast<BYTE>(difference);
    borrow = difference < 0 ? 1 : 0;
  }
}

// The protection record (the row below the folders' facts rows).
bool ReadRecord(sqlite3* db, std::int64_t* folderId, std::vector<BYTE>* record) {
  Statement row(db, "SELECT * FROM FOLDER_OPTIONS WHERE FOLDER_ID < ? ORDER BY FOLDER_ID LIMIT 1");
  if (!row.Ok() || !row.BindInt64(1, kFolderFactsIdBase) || row.Step() != SQLITE_ROW) return false;
  *folderId = row.Int64(folder_options::kId);
  const std::string_view bytes = row.Blob(folder_options::kData);
  record->assign(bytes.begin(), bytes.end());
  return !record->empty();
}

}  // namespace

std::string QVSQLiteDatabase::StoredPathOf(const std::string& folderPath, const std::string& name) {
  return folderPath + kStoredSeparator + name;
}

std::string QVSQLiteDatabase::StoredPathIn(
    const std::unordered_map<std::int64_t, std::string>& folders, std::int64_t folder,
    const std::string& name) {
  if (folder == kRootFolderId) return StoredPathOf(std::string(), name);
  const auto path = folders.find(folder);
  return StoredPathOf(path != folders.end() ? path->second : "?", name);
}

bool QVSQLiteDatabase::ReadFolderPaths(std::unordered_map<std::int64_t, std::string>* paths) {
  Statement rows(db_, "SELECT * FROM FOLDER_INFO");
  if (!rows.Ok()) return false;
  int rc;
  while ((rc = rows.Step()) == SQLITE_ROW)
    paths->emplace(rows.Int64(folder_info::kId), rows.Text(folder_info::kName));
  return rc == SQLITE_DONE;
}

bool QVSQLiteDatabase::BindImage(unsigned char* block, std::size_t size,
                                 const std::string& storedPath, std::int64_t fileId,
                                 const std::string& fromPath, std::int64_t fromId) {
  if (folderHandle_ == 0) return true;
  if (size > static_cast<std::size_t>(UINT_MAX)) return false;
  return QVFSFolderRebindImage(folderHandle_, block, static_cast<DWORD>(size), fromPath.c_str(),
                               static_cast<ULONGLONG>(fromId), storedPath.c_str(),
                               static_cast<ULONGLONG>(fileId)) == StatusSuccess;
}

bool QVSQLiteDatabase::MoveEntry(std::int64_t fileId, const std::string& fromPath,
                                 const std::string& toPath) {
  if (folderHandle_ == 0) return true;
  NoteRemoved(fileId, fromPath);
  NoteAdded(fileId, toPath);
  std::vector<unsigned char> block;
  {
    Statement first(db_, "SELECT * FROM FILE_DATA WHERE FILE_ID = ? AND BLOCK_ID = 0");
    if (!first.Ok() || !first.BindInt64(1, fileId)) return false;
    const int rc = first.Step();
    if (rc == SQLITE_DONE) return true;  // a marker, or an empty image: nothing to bind
    if (rc != SQLITE_ROW) return false;
    const std::string_view bytes = first.Blob(file_data::kData);
    block.assign(bytes.begin(), bytes.end());
  }
  if (!BindImage(block.data(), block.size(), toPath, fileId, fromPath, fileId)) return false;
  Statement update(db_, "UPDATE FILE_DATA SET BLOCK_DATA = ? WHERE FILE_ID = ? AND BLOCK_ID = 0");
  return update.Ok() && update.BindBlob(1, block.data(), block.size()) &&
         update.BindInt64(2, fileId) && update.StepDone();
}

void QVSQLiteDatabase::NoteAdded(std::int64_t fileId, std::string storedPath) {
  if (folderHandle_ != 0) listAdded_.emplace_back(fileId, std::move(storedPath));
}

void QVSQLiteDatabase::NoteRemoved(std::int64_t fileId, std::string storedPath) {
  if (folderHandle_ != 0) listRemoved_.emplace_back(fileId, std::move(storedPath));
}

bool QVSQLiteDatabase::UpdateFileList() {
  const auto added = std::move(listAdded_);
  const auto removed = std::move(listRemoved_);
  listAdded_.clear();
  listRemoved_.clear();
  if (folderHandle_ == 0 || (added.empty() && removed.empty())) return true;
  std::int64_t recordId = 0;
  std::vector<BYTE> record;
  if (!ReadRecord(db_, &recordId, &record)) return false;
  QvFileListState state{};
  const DWORD read = QVFSFolderReadFileList(folderHandle_, record.data(),
                                            static_cast<DWORD>(record.size()), &state);
  const auto entryHash = [&](const std::pair<std::int64_t, std::string>& entry, BYTE* hash) {
    return QVFSFolderFileListEntry(folderHandle_, state.entryEpoch,
                                   static_cast<ULONGLONG>(entry.first), entry.second.c_str(),
                                   hash) == StatusSuccess;
  };
  BYTE hash[32];
  if (read == StatusUserNotAllowed) {
    // A container made before the list: its first write by a user of the folder makes it from
    // the rows as they are now. The images stored before stay unbound.
    state.entryEpoch = state.currentEpoch;
    std::unordered_map<std::int64_t, std::string> folders;
    if (!ReadFolderPaths(&folders)) return false;
    Statement rows(db_, "SELECT * FROM FILE_INFO");
    if (!rows.Ok()) return false;
    std::int64_t lastBefore = 0;
    std::vector<std::int64_t> addedIds;
    for (const auto& entry : added) addedIds.push_back(entry.first);
    int rc;
    while ((rc = rows.Step()) == SQLITE_ROW) {
      const std::int64_t id = rows.Int64(file_info::kId);
      if (!entryHash({id, StoredPathIn(folders, rows.Int64(file_info::kFolder),
                                       rows.Text(file_info::kName))},
                     hash))
        return false;
      AddTo(state.aggregate, hash);
      ++state.count;
      if (std::find(addedIds.begin(), addedIds.end(), id) == addedIds.end() && id > lastBefore)
        lastBefore = id;
    }
    if (rc != SQLITE_DONE) return false;
    state.firstBound = static_cast<ULONGLONG>(lastBefore + 1);
  } else if (read != StatusSuccess) {
    return false;  // a list that does not verify is never built on
  } else {
    for (const auto& entry : removed) {
      if (!entryHash(entry, hash)) return false;
      SubtractFrom(state.aggregate, hash);
      --state.count;
    }
    for (const auto& entry : added) {
      if (!entryHash(entry, hash)) return false;
      AddTo(state.aggregate, hash);
      ++state.count;
    }
  }
  ++state.listVersion;
  DWORD length = static_cast<DWORD>(record.size());
  record.resize(record.size() + kFileListSize);
  if (QVFSFolderWriteFileList(folderHandle_, record.data(), &length,
                              static_cast<DWORD>(record.size()), &state) != StatusSuccess)
    return false;
  Statement update(db_, "UPDATE FOLDER_OPTIONS SET FOLDER_DATA = ? WHERE FOLDER_ID = ?");
  return update.Ok() && update.BindBlob(1, record.data(), length) &&
         update.BindInt64(2, recordId) && update.StepDone();
}

VARIANT_BOOL QVSQLiteDatabase::ListPlaces(const ImagePlace& each) {
  if (db_ == nullptr || !BeginRead()) return VARIANT_FALSE;
  Transaction transaction(*this);
  std::unordered_map<std::int64_t, std::string> folders;
  if (!ReadFolderPaths(&folders)) return VARIANT_FALSE;
  Statement rows(db_, "SELECT * FROM FILE_INFO");
  if (!rows.Ok()) return VARIANT_FALSE;
  int rc;
  while ((rc = rows.Step()) == SQLITE_ROW) {
    const std::string name = rows.Text(file_info::kName);
    each(name, StoredPathIn(folders, rows.Int64(file_info::kFolder), name),
         static_cast<DWORD>(rows.Int64(file_info::kId)));
  }
  return rc == SQLITE_DONE ? VARIANT_TRUE : VARIANT_FALSE;
}

QVDatabase::FileListCheck QVSQLiteDatabase::CheckFileList() {
  firstBound_ = 0;
  if (db_ == nullptr || folderHandle_ == 0) return FileListCheck::Unreadable;
  if (!BeginRead()) return FileListCheck::Unreadable;
  Transaction transaction(*this);
  std::int64_t recordId = 0;
  std::vector<BYTE> record;
  if (!ReadRecord(db_, &recordId, &record)) return FileListCheck::Unreadable;
  QvFileListState state{};
  const DWORD read = QVFSFolderReadFileList(folderHandle_, record.data(),
                                            static_cast<DWORD>(record.size()), &state);
  if (read == StatusUserNotAllowed) {
    firstBound_ = ULLONG_MAX;  // every image may be of the older format
    return FileListCheck::Unverified;
  }
  if (read == StatusIntegrityError || read == StatusFileCrcError) return FileListCheck::Changed;
  if (read != StatusSuccess) return FileListCheck::Unreadable;
  std::unordered_map<std::int64_t, std::string> folders;
  if (!ReadFolderPaths(&folders)) return FileListCheck::Unreadable;
  Statement rows(db_, "SELECT * FROM FILE_INFO");
  if (!rows.Ok()) return FileListCheck::Unreadable;
  Sum sum = {};
  ULONGLONG count = 0;
  BYTE hash[32];
  int rc;
  while ((rc = rows.Step()) == SQLITE_ROW) {
    const std::string stored =
        StoredPathIn(folders, rows.Int64(file_info::kFolder), rows.Text(file_info::kName));
    if (QVFSFolderFileListEntry(folderHandle_, state.entryEpoch,
                                static_cast<ULONGLONG>(rows.Int64(file_info::kId)), stored.c_str(),
                                hash) != StatusSuccess)
      return FileListCheck::Unreadable;
    AddTo(sum, hash);
    ++count;
  }
  if (rc != SQLITE_DONE) return FileListCheck::Unreadable;
  if (count != state.count || std::memcmp(sum, state.aggregate, sizeof sum) != 0)
    return FileListCheck::Changed;
  firstBound_ = state.firstBound;
  return FileListCheck::Verified;
}
