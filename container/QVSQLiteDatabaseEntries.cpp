// The SQLite container store's entries: adding files and folders (one transaction each, or a
// share of a batch), updating a file's image, deleting files and folders, the listings,
// the protection record and renaming (see QVSQLiteDatabase.h).
#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <unordered_set>
#include <utility>

#include "base/ItemNames.h"
#include "container/QVSQLiteDatabaseInternals.h"
#include "container/RowArray.h"
#include "container/SqliteStatement.h"
#include "container/StoredFacts.h"
#include "container/StoredNames.h"
#include "platform/FileAccess.h"
#include "platform/Files.h"
#include "platform/Utf8.h"
#include "suite/QvContainerFormat.h"

using namespace container;

// ---- Adding and updating ----

LONG QVSQLiteDatabase::AddFile(std::string rootDir, std::string filePath, DWORD folderId,
                               BOOL replace) {
  return AddOne(rootDir, filePath, NewImage{filePath}, folderId, replace != FALSE);
}

LONG QVSQLiteDatabase::AddFileFromImage(std::string rootDir, std::string filePath,
                                        std::string imagePath, DWORD folderId, BOOL replace) {
  if (imagePath.empty()) return -1;
  return AddOne(rootDir, filePath, NewImage{imagePath}, folderId, replace != FALSE);
}

LONG QVSQLiteDatabase::AddFileFromMemory(std::string rootDir, std::string filePath,
                                         ImageInMemory& image, DWORD folderId, BOOL replace) {
  if (image.bytes.empty()) return -1;
  const std::string noPath;
  return AddOne(rootDir, filePath, NewImage{noPath, &image}, folderId, replace != FALSE);
}

LONG QVSQLiteDatabase::AddOne(const std::string& rootDir, const std::string& filePath,
                              const NewImage& image, DWORD folderId, bool replace) {
  if (batch_ == Batch::Off) {
    if (!BeginWrite()) return -1;
    Transaction transaction(*this);
    const LONG result = AddFileInTransaction(rootDir, filePath, image, folderId, replace);
    if (result < 0) return result;
    return transaction.Commit(true) ? result : -1;
  }
  if (batch_ == Batch::Failed) return -1;
  if (batch_ == Batch::Idle) {
    if (!BeginWrite()) return -1;
    batch_ = Batch::Open;
  }
  const std::int64_t changesBefore = sqlite3_total_changes64(db_);
  const LONG result = AddFileInTransaction(rootDir, filePath, image, folderId, replace);
  // A failure that changed nothing leaves the batch as it was; one that did cannot be undone
  // alone, and SQLite itself ends the transaction on some errors (a full disk, I/O).
  if (sqlite3_get_autocommit(db_) != 0 ||
      (result < 0 && sqlite3_total_changes64(db_) != changesBefore)) {
    Rollback();
    batch_ = Batch::Failed;
    return -1;
  }
  if (result <= 0) return result;
  std::uint64_t imageBytes = 0;
  WIN32_FILE_ATTRIBUTE_DATA onDisk{};
  if (image.memory != nullptr)
    imageBytes = image.memory->bytes.size();
  else if (GetFileAttributesExA(image.path.c_str(), GetFileExInfoStandard, &onDisk) != FALSE)
    imageBytes = FileSizeOf(onDisk);
  // A new container is discarded whole when it is not finished, and commits once.
  if (syncDeferred_) {
    StartWriteBack(imageBytes);
    return result;
  }
  // An existing container commits its batch in bounded parts, so that others wait for it
  // only briefly and a crash loses little.
  ++batchedFiles_;
  batchedBytes_ += imageBytes;
  if ((batchedFiles_ >= kBatchedAddsPerCommit || batchedBytes_ >= kBatchedBytesPerCommit) &&
      !SettleBatch())
    return -1;
  return result;
}

void QVSQLiteDatabase::StartWriteBack(std::uint64_t addedBytes) {
  constexpr std::uint64_t kWriteBackEvery = 8u << 20;
  unwrittenBytes_ += addedBytes;
  if (unwrittenBytes_ < kWriteBackEvery) return;
  unwrittenBytes_ = 0;
  // Only a hint to the system: what SQLite has written of the file so far starts going to the
  // disk now, beside the rest of the work. Durability still comes from the flush alone.
  if (!writeBack_.Valid()) (void)writeBack_.Open(path_.c_str());
  writeBack_.StartWriteBack();
}

LONG QVSQLiteDatabase::AddFileInTransaction(const std::string& rootDir, const std::string& filePath,
                                            const NewImage& image, DWORD folderId, bool replace) {
  if (filePath.empty()) return -1;
  // The image's path below rootDir; an image elsewhere is stored by its name alone.
  const std::string root = WithoutTrailingSeparator(rootDir);
  std::string relative;
  if (!root.empty() && filePath.size() > root.size() &&
      filePath.compare(0, root.size(), root) == 0 &&
      (IsSeparator(root.back()) || filePath[root.size()] == '/'))
    relative = filePath.substr(root.size());
  else
    relative = LastNativeComponent(filePath);

  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    if (end > start) parts.push_back(relative.substr(start, end - start));
    start = end + 1;
  }
  // A name Windows cannot hold inside a container ("\" is its separator) is refused.
  if (parts.empty()) return -1;
  for (const std::string& part : parts)
    if (!IsValidComponent(part)) return -1;

  std::int64_t target = static_cast<std::int32_t>(folderId);
  std::string baseName;
  if (folderId != kRootFolderId) {
    // The folder rootDir stands for must still exist; storing into the root instead would
    // put the file where nobody looks for it.
    if (GetFolderName(folderId, baseName) != VARIANT_TRUE || baseName.empty()) return -1;
  }
  if (parts.size() > 1) {
    std::string folderPath = folderId != kRootFolderId ? baseName : std::string();
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) folderPath += kStoredSeparator + parts[i];
    target = EnsureFolder(folderPath, StoredParent(folderPath), NativeDirectory(filePath));
    if (target == 0) return -1;
    baseName = folderPath;
  }
  return AddFileEntry(static_cast<DWORD>(target), baseName, filePath, image, replace);
}

std::int64_t QVSQLiteDatabase::EnsureFolder(const std::string& folderPath,
                                            const std::string& parentPath,
                                            const std::string& diskFolder) {
  NameIndex* names = Names();
  if (names == nullptr) return 0;
  if (const auto existing = names->folders.find(folderPath); existing != names->folders.end()) {
    const std::int64_t id = existing->second;
    return id == 0 || id != static_cast<std::int32_t>(id) ? 0 : id;
  }
  const auto parent = names->folders.find(parentPath);
  const std::int64_t parentId = parent == names->folders.end() ? 0 : parent->second;
  const DiskFacts folder = ReadDiskFacts(diskFolder);
  Statement insert(db_, statements_.get(),
                   "INSERT INTO FOLDER_INFO (FOLDER_NAME,PARENT_FOLDER_ID,FOLDER_ATTRIBS,"
                   "FOLDER_DATE,FOLDER_TIME) values (?,?,?,?,?)");
  if (!insert.Ok() || !insert.BindText(1, folderPath) || !insert.BindInt64(2, parentId) ||
      !insert.BindInt(3, static_cast<int>(folder.attributes)) || !insert.BindInt(4, folder.date) ||
      !insert.BindInt(5, folder.time) || !insert.StepDone())
    return 0;
  const std::int64_t id = sqlite3_last_insert_rowid(db_);
  // Ids are 32-bit throughout the interface.
  if (id <= 0 || id > INT32_MAX) return 0;
  names->folders.emplace(folderPath, id);
  return id;
}

LONG QVSQLiteDatabase::AddFileEntry(DWORD folderId, const std::string& folderPath,
                                    const std::string& entryPath, const NewImage& image,
                                    bool replace) {
  std::string name = LastNativeComponent(entryPath);
  // Its presence, its size and its bytes all come from this one opening.
  RegularFile imageFile;
  const bool exists =
      image.memory != nullptr || imageFile.OpenForReading(image.path.c_str()) != FALSE;
  const bool marker = !exists && IsEmptyFolderMarker(name);
  if (marker) name = ::kEmptyFolderMarker;
  if (!exists && !marker) return -1;

  NameIndex* names = Names();
  if (names == nullptr) return -1;
  const NameIndex::FileKey key{BoundId(folderId), name};
  if (const auto same = names->files.find(key); same != names->files.end()) {
    if (!replace) return -2;
    for (const std::int64_t id : same->second) {
      bool found = false;
      if (!DeleteFileRows(folderId, static_cast<DWORD>(id), &found)) return -1;
    }
    names->files.erase(same);
  }

  const bool version2 = schemaVersion_ == kSchemaVersion2;
  Statement insert(db_, statements_.get(),
                   version2
                       ? "INSERT INTO FILE_INFO (FOLDER_ID,FILE_NAME,FILE_SIZE,FILE_DATE,FILE_TIME,"
                         "FILE_ATTRIBS,FILE_MODIFIED_TIME,FILE_CREATED_TIME,FILE_ACCESSED_TIME) "
                         "values (?,?,?,?,?,?,?,?,?)"
                       : "INSERT INTO FILE_INFO (FOLDER_ID,FILE_NAME,FILE_SIZE,FILE_DATE,FILE_TIME,"
                         "FILE_ATTRIBS) values (?,?,?,?,?,?)");
  if (!insert.Ok()) return -1;
  DiskFacts facts;
  if (marker) {
    facts.size = 0;
    facts.attributes = 0;
  } else {
    facts = image.memory != nullptr ? image.memory->facts : ReadDiskFacts(PlainNameOf(entryPath));
  }
  const auto modified = EncodeFileTime(facts.written);
  const auto created = EncodeFileTime(facts.created);
  const auto accessed = EncodeFileTime(facts.accessed);
  if (!insert.BindInt(1, BoundId(folderId)) || !insert.BindText(2, name) ||
      !insert.BindInt(3, facts.size) || !insert.BindInt(4, facts.date) ||
      !insert.BindInt(5, facts.time) || !insert.BindInt(6, static_cast<int>(facts.attributes)))
    return -1;
  if (version2 &&
      (!insert.BindBlob(7, modified.data(), 8) || !insert.BindBlob(8, created.data(), 8) ||
       !insert.BindBlob(9, accessed.data(), 8)))
    return -1;
  if (!insert.StepDone()) return -1;
  const std::int64_t fileId = sqlite3_last_insert_rowid(db_);
  if (fileId <= 0 || fileId > INT32_MAX) return -1;
  const std::string storedPath = StoredPathOf(folderPath, name);
  if (!marker && !(image.memory != nullptr ? StoreBlocks(fileId, image.memory->bytes, storedPath)
                                           : StoreBlocks(fileId, imageFile, storedPath)))
    return -1;
  NoteAdded(fileId, storedPath);
  // A walk stores a marker in every folder it enters: the folder's facts go with it.
  if (marker && !StoreFolderFacts(folderId, NativeDirectory(entryPath))) return -1;
  names->files[key].push_back(fileId);
  return static_cast<LONG>(fileId);
}

bool QVSQLiteDatabase::StoreFolderFacts(DWORD folderId, const std::string& diskFolder) {
  FolderFacts folder;
  // A folder that cannot be read keeps no facts; its restore then uses the defaults.
  if (!GetFolderModeAndTimes(diskFolder.c_str(), &folder)) return true;
  const auto facts = EncodeFolderFacts(folder);
  Statement insert(db_, statements_.get(),
                   "INSERT OR REPLACE INTO FOLDER_OPTIONS (FOLDER_ID,FOLDER_DATA,CSP_NAME) "
                   "values (?,?,NULL)");
  return insert.Ok() && insert.BindInt64(1, kFolderFactsIdBase + BoundId(folderId)) &&
         insert.BindBlob(2, facts.data(), static_cast<int>(facts.size())) && insert.StepDone();
}

bool QVSQLiteDatabase::StoreBlocks(std::int64_t fileId, const std::string& imagePath,
                                   const std::string& storedPath) {
  RegularFile image;
  return image.OpenForReading(imagePath.c_str()) && StoreBlocks(fileId, image, storedPath);
}

bool QVSQLiteDatabase::StoreBlocks(std::int64_t fileId, RegularFile& image,
                                   const std::string& storedPath) {
  if (!image.Valid()) return false;
  // One buffer of the image's size when it fits in one block, so a small image does not cost
  // a whole block of memory.
  const std::size_t bufferSize = static_cast<std::size_t>(
      std::min<std::uint64_t>(std::max<std::uint64_t>(image.SizeWhenOpened(), 1), kBlockSize));
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[bufferSize]);
  if (!buffer) return false;
  Statement insert(db_, statements_.get(),
                   "INSERT INTO FILE_DATA (FILE_ID,BLOCK_ID,BLOCK_DATA) values (?,?,?)");
  if (!insert.Ok()) return false;
  std::uint64_t total = 0;
  for (int block = 0;; ++block) {
    const long long read = image.Read(buffer.get(), bufferSize);
    if (read < 0) return false;
    const auto got = static_cast<std::size_t>(read);
    if (got == 0) break;
    total += got;
    // The header is in the first block: the image is bound to its entry as it is stored.
    if (block == 0 && !BindImage(buffer.get(), got, storedPath, fileId)) return false;
    if (!insert.BindInt64(1, fileId) || !insert.BindInt(2, block) ||
        !insert.BindBlob(3, buffer.get(), got) || !insert.StepDone())
      return false;
    insert.Reset();
    if (got < kBlockSize) break;
  }
  // An image that shrank or grew while it was read is not stored as if it were whole.
  unsigned char beyond = 0;
  if (image.Read(&beyond, 1) != 0) return false;
  return total == image.SizeWhenOpened();
}

bool QVSQLiteDatabase::StoreBlocks(std::int64_t fileId, std::span<unsigned char> image,
                                   const std::string& storedPath) {
  Statement insert(db_, statements_.get(),
                   "INSERT INTO FILE_DATA (FILE_ID,BLOCK_ID,BLOCK_DATA) values (?,?,?)");
  if (!insert.Ok()) return false;
  for (std::size_t offset = 0, block = 0; offset < image.size(); offset += kBlockSize, ++block) {
    const std::span<unsigned char> part =
        image.subspan(offset, std::min<std::size_t>(kBlockSize, image.size() - offset));
    // The header is in the first block: the image is bound to its entry as it is stored.
    if (block == 0 && !BindImage(part.data(), part.size(), storedPath, fileId)) return false;
    if (!insert.BindInt64(1, fileId) || !insert.BindInt(2, static_cast<int>(block)) ||
        !insert.BindBlob(3, part.data(), part.size()) || !insert.StepDone())
      return false;
    insert.Reset();
  }
  return true;
}

VARIANT_BOOL QVSQLiteDatabase::UpdateFile(std::string filePath, DWORD folderId, DWORD fileId) {
  if (!BeginWrite()) return VARIANT_FALSE;
  Transaction transaction(*this);
  std::string storedPath;
  {
    Statement entry(db_, "SELECT * FROM FILE_INFO WHERE FILE_ID = ? AND FOLDER_ID = ?");
    if (!entry.Ok() || !entry.BindInt(1, BoundId(fileId)) || !entry.BindInt(2, BoundId(folderId)) ||
        entry.Step() != SQLITE_ROW || !StoredFolderPath(folderId, &storedPath))
      return VARIANT_FALSE;
    storedPath = StoredPathOf(storedPath, entry.Text(file_info::kName));
  }
  const DiskFacts facts = ReadDiskFacts(PlainNameOf(filePath));
  if (schemaVersion_ == kSchemaVersion1) {
    Statement update(db_,
                     "UPDATE FILE_INFO SET FILE_SIZE = ?,FILE_DATE = ?,FILE_TIME = ? "
                     "WHERE FILE_ID = ? AND FOLDER_ID = ?");
    if (!update.Ok() || !update.BindInt(1, facts.size) || !update.BindInt(2, facts.date) ||
        !update.BindInt(3, facts.time) || !update.BindInt(4, BoundId(fileId)) ||
        !update.BindInt(5, BoundId(folderId)) || !update.StepDone())
      return VARIANT_FALSE;
  } else {
    // FILE_DATE, FILE_TIME and FILE_ATTRIBS keep the values of the first store.
    const auto modified = EncodeFileTime(facts.written);
    const auto created = EncodeFileTime(facts.created);
    const auto accessed = EncodeFileTime(facts.accessed);
    Statement update(db_,
                     "UPDATE FILE_INFO SET FILE_SIZE = ?,FILE_MODIFIED_TIME = ?,"
                     "FILE_CREATED_TIME = ?,FILE_ACCESSED_TIME = ? "
                     "WHERE FILE_ID = ? AND FOLDER_ID = ?");
    if (!update.Ok() || !update.BindInt(1, facts.size) || !update.BindBlob(2, modified.data(), 8) ||
        !update.BindBlob(3, created.data(), 8) || !update.BindBlob(4, accessed.data(), 8) ||
        !update.BindInt(5, BoundId(fileId)) || !update.BindInt(6, BoundId(folderId)) ||
        !update.StepDone())
      return VARIANT_FALSE;
  }
  {
    Statement clear(db_, "DELETE FROM FILE_DATA WHERE FILE_ID = ?");
    if (!clear.Ok() || !clear.BindInt(1, BoundId(fileId)) || !clear.StepDone())
      return VARIANT_FALSE;
  }
  if (!StoreBlocks(static_cast<std::int32_t>(fileId), filePath, storedPath)) return VARIANT_FALSE;
  return transaction.Commit() ? VARIANT_TRUE : VARIANT_FALSE;
}

// ---- Deleting ----

bool QVSQLiteDatabase::StoredFolderPath(DWORD folderId, std::string* path) {
  path->clear();
  return folderId == kRootFolderId || GetFolderName(folderId, *path) == VARIANT_TRUE;
}

bool QVSQLiteDatabase::DeleteFileRows(DWORD folderId, DWORD fileId, bool* found) {
  *found = false;
  std::string storedPath;
  {
    Statement entry(db_, "SELECT * FROM FILE_INFO WHERE FILE_ID = ? AND FOLDER_ID = ?");
    if (!entry.Ok() || !entry.BindInt(1, BoundId(fileId)) || !entry.BindInt(2, BoundId(folderId)))
      return false;
    const int rc = entry.Step();
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return false;
    if (folderHandle_ != 0) {
      // A folder whose path cannot be read still names a place no image is bound to.
      std::string folderPath;
      if (!StoredFolderPath(folderId, &folderPath)) folderPath = std::string(1, '?');
      storedPath = StoredPathOf(folderPath, entry.Text(file_info::kName));
    }
  }
  NoteRemoved(static_cast<std::int32_t>(fileId), storedPath);
  *found = true;
  Statement blocks(db_, "DELETE FROM FILE_DATA WHERE FILE_ID = ?");
  if (!blocks.Ok() || !blocks.BindInt(1, BoundId(fileId)) || !blocks.StepDone()) return false;
  Statement row(db_, "DELETE FROM FILE_INFO WHERE FILE_ID = ? AND FOLDER_ID = ?");
  return row.Ok() && row.BindInt(1, BoundId(fileId)) && row.BindInt(2, BoundId(folderId)) &&
         row.StepDone();
}

VARIANT_BOOL QVSQLiteDatabase::DeleteFile(DWORD folderId, DWORD fileId) {
  if (!BeginWrite()) return VARIANT_FALSE;
  Transaction transaction(*this);
  bool found = false;
  if (!DeleteFileRows(folderId, fileId, &found) || !found) return VARIANT_FALSE;
  return transaction.Commit() ? VARIANT_TRUE : VARIANT_FALSE;
}

VARIANT_BOOL QVSQLiteDatabase::DeleteFolder(DWORD folderId) {
  if (!BeginWrite()) return VARIANT_FALSE;
  Transaction transaction(*this);
  // The folder and everything below it through PARENT_FOLDER_ID, each folder once, so a
  // cycle in a damaged container ends. The root's subfolders stay when the root is emptied.
  std::vector<std::int64_t> folders = {static_cast<std::int32_t>(folderId)};
  if (folderId != kRootFolderId) {
    std::unordered_set<std::int64_t> seen(folders.begin(), folders.end());
    Statement children(db_, "SELECT * FROM FOLDER_INFO WHERE PARENT_FOLDER_ID = ?");
    if (!children.Ok()) return VARIANT_FALSE;
    for (std::size_t next = 0; next < folders.size(); ++next) {
      children.Reset();
      if (!children.BindInt64(1, folders[next])) return VARIANT_FALSE;
      int rc;
      while ((rc = children.Step()) == SQLITE_ROW) {
        const std::int64_t child = children.Int64(folder_info::kId);
        if (child != kRootFolderId && seen.insert(child).second) folders.push_back(child);
      }
      if (rc != SQLITE_DONE) return VARIANT_FALSE;
    }
  }
  std::string list;
  for (const std::int64_t id : folders) {
    if (!list.empty()) list += ',';
    list += std::to_string(id);
  }
  if (folderHandle_ != 0) {
    std::unordered_map<std::int64_t, std::string> paths;
    if (!ReadFolderPaths(&paths)) return VARIANT_FALSE;
    Statement files(db_, ("SELECT * FROM FILE_INFO WHERE FOLDER_ID IN (" + list + ")").c_str());
    if (!files.Ok()) return VARIANT_FALSE;
    int rc;
    while ((rc = files.Step()) == SQLITE_ROW) {
      NoteRemoved(files.Int64(file_info::kId), StoredPathIn(paths, files.Int64(file_info::kFolder),
                                                            files.Text(file_info::kName)));
    }
    if (rc != SQLITE_DONE) return VARIANT_FALSE;
  }
  // One pass over FILE_DATA for the whole tree: it has no index to look blocks up by file.
  if (!Exec(("DELETE FROM FILE_DATA WHERE FILE_ID IN (SELECT FILE_ID FROM FILE_INFO WHERE "
             "FOLDER_ID IN (" +
             list + "))")
                .c_str()) ||
      !Exec(("DELETE FROM FILE_INFO WHERE FOLDER_ID IN (" + list + ")").c_str()))
    return VARIANT_FALSE;
  if (folderId != kRootFolderId &&
      !Exec(("DELETE FROM FOLDER_INFO WHERE FOLDER_ID IN (" + list + ")").c_str()))
    return VARIANT_FALSE;
  if (folderId != kRootFolderId && !Exec(("DELETE FROM FOLDER_OPTIONS WHERE FOLDER_ID - " +
                                          std::to_string(kFolderFactsIdBase) + " IN (" + list + ")")
                                             .c_str()))
    return VARIANT_FALSE;
  return transaction.Commit() ? VARIANT_TRUE : VARIANT_FALSE;
}

VARIANT_BOOL QVSQLiteDatabase::DeleteFiles(const std::vector<StoredFileRow>& files,
                                           std::vector<bool>* deleted) {
  if (deleted == nullptr) return VARIANT_FALSE;
  deleted->assign(files.size(), false);
  std::size_t next = 0;
  while (next < files.size()) {
    if (!BeginWrite()) return VARIANT_FALSE;
    Transaction transaction(*this);
    std::unordered_map<std::int64_t, std::string> folders;
    if (folderHandle_ != 0 && !ReadFolderPaths(&folders)) return VARIANT_FALSE;
    Statement entry(db_, statements_.get(),
                    "SELECT * FROM FILE_INFO WHERE FILE_ID = ? AND FOLDER_ID = ?");
    Statement row(db_, statements_.get(),
                  "DELETE FROM FILE_INFO WHERE FILE_ID = ? AND FOLDER_ID = ?");
    if (!entry.Ok() || !row.Ok()) return VARIANT_FALSE;
    std::vector<std::size_t> group;
    std::string ids;
    std::uint64_t bytes = 0;
    for (; next < files.size() && group.size() < kBatchedAddsPerCommit &&
           bytes < kBatchedBytesPerCommit;
         ++next) {
      const StoredFileRow& file = files[next];
      entry.Reset();
      if (!entry.BindInt(1, BoundId(file.fileId)) || !entry.BindInt(2, BoundId(file.folderId)))
        return VARIANT_FALSE;
      const int rc = entry.Step();
      if (rc == SQLITE_DONE) continue;  // gone already: nothing of it is deleted here
      if (rc != SQLITE_ROW) return VARIANT_FALSE;
      // A row that now holds another file (renamed, or replaced under the same id) stays.
      const bool same = entry.Type(file_info::kName) == SQLITE_TEXT &&
                        entry.Text(file_info::kName) == file.storedName;
      const std::int64_t size = std::max<std::int64_t>(entry.Int64(file_info::kSize), 0);
      entry.Reset();  // no read stays open over the deletes and the commit
      if (!same) continue;
      bytes += static_cast<std::uint64_t>(size);
      const std::int64_t fileId = static_cast<std::int32_t>(file.fileId);
      if (folderHandle_ != 0)
        NoteRemoved(fileId, StoredPathIn(folders, static_cast<std::int32_t>(file.folderId),
                                         file.storedName));
      row.Reset();
      if (!row.BindInt(1, BoundId(file.fileId)) || !row.BindInt(2, BoundId(file.folderId)) ||
          !row.StepDone())
        return VARIANT_FALSE;
      if (!ids.empty()) ids += ',';
      ids += std::to_string(fileId);
      group.push_back(next);
    }
    // One pass over FILE_DATA for the whole group: it has no index to look blocks up by file.
    if (!ids.empty() && !Exec(("DELETE FROM FILE_DATA WHERE FILE_ID IN (" + ids + ")").c_str()))
      return VARIANT_FALSE;
    if (!transaction.Commit()) return VARIANT_FALSE;
    for (const std::size_t index : group) (*deleted)[index] = true;
  }
  return VARIANT_TRUE;
}

VARIANT_BOOL QVSQLiteDatabase::DeleteEmptyFolders(const std::vector<DWORD>& folders,
                                                  std::vector<bool>* deleted) {
  if (deleted == nullptr) return VARIANT_FALSE;
  deleted->assign(folders.size(), false);
  if (folders.empty()) return VARIANT_TRUE;
  if (!BeginWrite()) return VARIANT_FALSE;
  Transaction transaction(*this);
  // What each folder holds, from one pass over each table: its files other than the marker,
  // its markers (with their stored names, for the list of files) and its folders.
  std::unordered_map<std::int64_t, std::int64_t> files, children, parents;
  std::unordered_map<std::int64_t, std::vector<std::pair<std::int64_t, std::string>>> markers;
  std::unordered_map<std::int64_t, std::string> paths;
  {
    Statement rows(db_, "SELECT FOLDER_ID, PARENT_FOLDER_ID, FOLDER_NAME FROM FOLDER_INFO");
    if (!rows.Ok()) return VARIANT_FALSE;
    int rc;
    while ((rc = rows.Step()) == SQLITE_ROW) {
      ++children[rows.Int64(1)];
      parents[rows.Int64(0)] = rows.Int64(1);
      paths.emplace(rows.Int64(0), rows.Text(2));
    }
    if (rc != SQLITE_DONE) return VARIANT_FALSE;
  }
  {
    Statement rows(db_, "SELECT FILE_ID, FOLDER_ID, FILE_NAME FROM FILE_INFO");
    if (!rows.Ok()) return VARIANT_FALSE;
    int rc;
    while ((rc = rows.Step()) == SQLITE_ROW) {
      const std::string name = rows.Text(2);
      if (rows.Type(2) == SQLITE_TEXT && name == ::kEmptyFolderMarker)
        markers[rows.Int64(1)].emplace_back(rows.Int64(0), name);
      else
        ++files[rows.Int64(1)];
    }
    if (rc != SQLITE_DONE) return VARIANT_FALSE;
  }
  Statement row(db_, "DELETE FROM FOLDER_INFO WHERE FOLDER_ID = ?");
  Statement facts(db_, "DELETE FROM FOLDER_OPTIONS WHERE FOLDER_ID = ?");
  Statement marker(db_, "DELETE FROM FILE_INFO WHERE FILE_ID = ? AND FOLDER_ID = ?");
  if (!row.Ok() || !facts.Ok() || !marker.Ok()) return VARIANT_FALSE;
  std::string markerIds;
  std::vector<bool> gone(folders.size(), false);
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const std::int64_t id = static_cast<std::int32_t>(folders[i]);
    const auto parent = parents.find(id);
    if (id == kRootFolderId || parent == parents.end() || files[id] != 0 || children[id] != 0)
      continue;
    for (const auto& [markerId, name] : markers[id]) {
      NoteRemoved(markerId, StoredPathIn(paths, id, name));
      marker.Reset();
      if (!marker.BindInt64(1, markerId) || !marker.BindInt64(2, id) || !marker.StepDone())
        return VARIANT_FALSE;
      if (!markerIds.empty()) markerIds += ',';
      markerIds += std::to_string(markerId);
    }
    markers.erase(id);
    row.Reset();
    facts.Reset();
    if (!row.BindInt64(1, id) || !row.StepDone() || !facts.BindInt64(1, kFolderFactsIdBase + id) ||
        !facts.StepDone())
      return VARIANT_FALSE;
    --children[parent->second];
    parents.erase(parent);
    gone[i] = true;
  }
  // Markers have no blocks; any a damaged container gave them go with them.
  if (!markerIds.empty() &&
      !Exec(("DELETE FROM FILE_DATA WHERE FILE_ID IN (" + markerIds + ")").c_str()))
    return VARIANT_FALSE;
  if (!transaction.Commit()) return VARIANT_FALSE;
  *deleted = std::move(gone);
  return VARIANT_TRUE;
}

// ---- Listings ----

VARIANT_BOOL QVSQLiteDatabase::GetSubFolders(DWORD parentId, VARIANT* out) {
  if (db_ == nullptr || out == nullptr) return VARIANT_FALSE;
  Statement rows(db_, statements_.get(), "SELECT * FROM FOLDER_INFO WHERE PARENT_FOLDER_ID = ?");
  if (!rows.Ok() || !rows.BindInt(1, BoundId(parentId))) return VARIANT_FALSE;
  RowArray array(folder_info::kColumns);
  int rc;
  while ((rc = rows.Step()) == SQLITE_ROW) {
    array.AddRow();
    array.PutInt(0, rows.Int(folder_info::kId));
    array.PutInt(1, rows.Int(folder_info::kParent));
    array.PutInt(2, rows.Int(folder_info::kAttributes));
    if (!array.PutText(3, rows.Text(folder_info::kName))) return VARIANT_FALSE;
    array.PutInt(4, rows.Int(folder_info::kDate));
    array.PutInt(5, rows.Int(folder_info::kTime));
  }
  if (rc != SQLITE_DONE) return VARIANT_FALSE;
  return array.MoveTo(out) ? VARIANT_TRUE : VARIANT_FALSE;
}

VARIANT_BOOL QVSQLiteDatabase::ListFiles(const char* sql, const std::int64_t* params, int count,
                                         bool firstRowOnly, VARIANT* out,
                                         std::string_view textParam) {
  if (db_ == nullptr || out == nullptr) return VARIANT_FALSE;
  // The texts are literals: a connection kept for reading lists folder after folder with them.
  Statement rows(db_, statements_.get(), sql);
  if (!rows.Ok()) return VARIANT_FALSE;
  for (int i = 0; i < count; ++i)
    if (!rows.BindInt64(i + 1, params[i])) return VARIANT_FALSE;
  if (!textParam.empty() && !rows.BindText(count + 1, textParam)) return VARIANT_FALSE;
  RowArray array(7);
  int rc;
  while ((rc = rows.Step()) == SQLITE_ROW) {
    array.AddRow();
    for (int column = 0; column < 7; ++column)
      if (column != file_info::kName) array.PutInt(column, rows.Int(column));
    if (!array.PutText(file_info::kName, rows.Text(file_info::kName))) return VARIANT_FALSE;
    if (schemaVersion_ == kSchemaVersion2) {
      // Columns 4 and 5 carry the UTC last-write time. A time blob that is not 8 bytes is
      // not read; the MS-DOS date and time stand in for it.
      std::optional<FILETIME> utc;
      if (const auto local = DecodeFileTime(rows.Blob(file_info::kModified))) {
        utc = LocalToUtc(*local);
        if (!utc) utc = *local;
      } else {
        utc = DosToUtc(static_cast<WORD>(rows.Int(file_info::kDate)),
                       static_cast<WORD>(rows.Int(file_info::kTime)));
        if (!utc) utc = FILETIME{};
      }
      array.PutInt(4, static_cast<LONG>(utc->dwHighDateTime));
      array.PutInt(5, static_cast<LONG>(utc->dwLowDateTime));
    }
    if (firstRowOnly) {
      rc = SQLITE_DONE;
      break;
    }
  }
  if (rc != SQLITE_DONE) return VARIANT_FALSE;
  return array.MoveTo(out) ? VARIANT_TRUE : VARIANT_FALSE;
}

VARIANT_BOOL QVSQLiteDatabase::GetAllFiles(VARIANT* out) {
  return ListFiles("SELECT * FROM FILE_INFO", nullptr, 0, false, out);
}

VARIANT_BOOL QVSQLiteDatabase::GetFiles(DWORD folderId, VARIANT* out) {
  const std::int64_t params[] = {BoundId(folderId)};
  return ListFiles("SELECT * FROM FILE_INFO WHERE FOLDER_ID = ?", params, 1, false, out);
}

VARIANT_BOOL QVSQLiteDatabase::GetFilesOfFolders(const std::vector<DWORD>& folderIds,
                                                 VARIANT* out) {
  // The file table has no index on the folder: a listing per folder would read all of it for
  // each. The ids go in as one JSON array, so that the statement text stays the same.
  std::string ids = "[";
  for (const DWORD id : folderIds) {
    if (ids.size() > 1) ids += ',';
    ids += std::to_string(BoundId(id));
  }
  ids += ']';
  return ListFiles("SELECT * FROM FILE_INFO WHERE FOLDER_ID IN (SELECT value FROM json_each(?))",
                   nullptr, 0, false, out, ids);
}

VARIANT_BOOL QVSQLiteDatabase::GetFileInfo(DWORD folderId, DWORD fileId, VARIANT* out) {
  const std::int64_t params[] = {BoundId(fileId), BoundId(folderId)};
  return ListFiles("SELECT * FROM FILE_INFO WHERE FILE_ID = ? AND FOLDER_ID = ?", params, 2, true,
                   out);
}

VARIANT_BOOL QVSQLiteDatabase::GetFolderName(DWORD folderId, std::string& out) {
  // The root's name is fixed and never stored, so it is known without a connection.
  if (folderId == kRootFolderId) {
    out = kRootFolderName;
    return VARIANT_TRUE;
  }
  if (db_ == nullptr) return VARIANT_FALSE;
  Statement row(db_, statements_.get(), "SELECT * FROM FOLDER_INFO WHERE FOLDER_ID = ?");
  if (!row.Ok() || !row.BindInt(1, BoundId(folderId)) || row.Step() != SQLITE_ROW)
    return VARIANT_FALSE;
  out = row.Text(folder_info::kName);
  return VARIANT_TRUE;
}

// ---- Folder options ----

VARIANT_BOOL QVSQLiteDatabase::SetFolderOptions(DWORD folderId, const BYTE* data, DWORD size,
                                                std::string cspName) {
  if (data == nullptr && size != 0) return VARIANT_FALSE;
  if (size > static_cast<DWORD>(INT_MAX)) return VARIANT_FALSE;
  if (!BeginWrite()) return VARIANT_FALSE;
  Transaction transaction(*this);
  // The folders' facts rows stay.
  if (!Exec(("DELETE FROM FOLDER_OPTIONS WHERE FOLDER_ID < " + std::to_string(kFolderFactsIdBase))
                .c_str()))
    return VARIANT_FALSE;
  Statement insert(db_,
                   "INSERT INTO FOLDER_OPTIONS (FOLDER_ID,FOLDER_DATA,CSP_NAME) values (?,?,?)");
  if (!insert.Ok() || !insert.BindInt(1, BoundId(folderId)) || !insert.BindBlob(2, data, size) ||
      !insert.BindText(3, cspName) || !insert.StepDone())
    return VARIANT_FALSE;
  return transaction.Commit() ? VARIANT_TRUE : VARIANT_FALSE;
}

VARIANT_BOOL QVSQLiteDatabase::GetFolderOptions(DWORD folderId, BYTE** data, DWORD* size,
                                                char* cspName) {
  if (db_ == nullptr || data == nullptr || size == nullptr || cspName == nullptr)
    return VARIANT_FALSE;
  Statement row(db_, statements_.get(), "SELECT * FROM FOLDER_OPTIONS WHERE FOLDER_ID = ?");
  if (!row.Ok() || !row.BindInt(1, BoundId(folderId)) || row.Step() != SQLITE_ROW)
    return VARIANT_FALSE;
  const std::string_view record = row.Blob(folder_options::kData);
  // Never a null block for TRUE, even for an empty record.
  auto* copy = static_cast<BYTE*>(std::malloc(record.empty() ? 1 : record.size()));
  if (copy == nullptr) return VARIANT_FALSE;
  if (!record.empty()) std::memcpy(copy, record.data(), record.size());
  // A NULL name reads as empty; a longer one is cut to the caller's 1024-byte buffer.
  (void)CopyUtf8Cut(cspName, kCspNameBufferSize, row.Text(folder_options::kCspName));
  *data = copy;
  *size = static_cast<DWORD>(record.size());
  return VARIANT_TRUE;
}

// ---- Renaming ----

VARIANT_BOOL QVSQLiteDatabase::RenameFile(std::string newName, DWORD folderId, DWORD fileId) {
  const std::string name = newName + kImageSuffix;
  // A new name must be one valid component and must not turn the file into a marker.
  if (!IsValidComponent(newName) || IsEmptyFolderMarker(name)) return VARIANT_FALSE;
  if (!BeginWrite()) return VARIANT_FALSE;
  Transaction transaction(*this);
  {
    Statement same(db_, "SELECT * FROM FILE_INFO WHERE FILE_NAME = ? AND FOLDER_ID = ?");
    if (!same.Ok() || !same.BindText(1, name) || !same.BindInt(2, BoundId(folderId)))
      return VARIANT_FALSE;
    int rc;
    while ((rc = same.Step()) == SQLITE_ROW)
      if (same.Int64(file_info::kId) != static_cast<std::int32_t>(fileId)) return VARIANT_FALSE;
    if (rc != SQLITE_DONE) return VARIANT_FALSE;
  }
  if (folderHandle_ != 0) {
    // The image moves with its row.
    std::string folderPath;
    Statement entry(db_, "SELECT * FROM FILE_INFO WHERE FILE_ID = ? AND FOLDER_ID = ?");
    if (!entry.Ok() || !entry.BindInt(1, BoundId(fileId)) || !entry.BindInt(2, BoundId(folderId)) ||
        entry.Step() != SQLITE_ROW || !StoredFolderPath(folderId, &folderPath) ||
        !MoveEntry(static_cast<std::int32_t>(fileId),
                   StoredPathOf(folderPath, entry.Text(file_info::kName)),
                   StoredPathOf(folderPath, name)))
      return VARIANT_FALSE;
  }
  Statement update(db_, "UPDATE FILE_INFO SET FILE_NAME = ? WHERE FILE_ID = ? AND FOLDER_ID = ?");
  if (!update.Ok() || !update.BindText(1, name) || !update.BindInt(2, BoundId(fileId)) ||
      !update.BindInt(3, BoundId(folderId)) || !update.StepDone() || sqlite3_changes(db_) == 0)
    return VARIANT_FALSE;
  return transaction.Commit() ? VARIANT_TRUE : VARIANT_FALSE;
}

VARIANT_BOOL QVSQLiteDatabase::RenameFolder(std::string newName, DWORD folderId) {
  if (!IsValidComponent(newName)) return VARIANT_FALSE;
  // The root has no stored name (the container file names it), so there is nothing to change:
  // a container that could be written answers TRUE.
  if (folderId == kRootFolderId) return db_ != nullptr && !held_ ? VARIANT_TRUE : VARIANT_FALSE;
  if (!BeginWrite()) return VARIANT_FALSE;
  Transaction transaction(*this);
  std::string oldPath;
  {
    Statement row(db_, "SELECT * FROM FOLDER_INFO WHERE FOLDER_ID = ?");
    if (!row.Ok() || !row.BindInt(1, BoundId(folderId)) || row.Step() != SQLITE_ROW)
      return VARIANT_FALSE;
    oldPath = row.Text(folder_info::kName);
  }
  std::vector<std::string> parts;
  if (!SplitStoredFolderPath(oldPath, &parts)) return VARIANT_FALSE;
  // The folder stays where it is: only its last component changes, and every stored path
  // below it follows.
  const std::size_t last = oldPath.rfind(kStoredSeparator);
  const std::string newPath = oldPath.substr(0, last) + kStoredSeparator + newName;
  if (newPath == oldPath) return transaction.Commit() ? VARIANT_TRUE : VARIANT_FALSE;
  const std::string oldPrefix = oldPath + kStoredSeparator;
  const std::string newPrefix = newPath + kStoredSeparator;
  std::vector<std::pair<std::int64_t, std::string>> renamed;
  {
    Statement all(db_, "SELECT * FROM FOLDER_INFO");
    if (!all.Ok()) return VARIANT_FALSE;
    int rc;
    while ((rc = all.Step()) == SQLITE_ROW) {
      const std::int64_t id = all.Int64(folder_info::kId);
      const std::string name = all.Text(folder_info::kName);
      if (id == static_cast<std::int32_t>(folderId)) {
        renamed.emplace_back(id, newPath);
      } else if (name.compare(0, oldPrefix.size(), oldPrefix) == 0) {
        renamed.emplace_back(id, newPath + name.substr(oldPath.size()));
      } else if (name == newPath || name.compare(0, newPrefix.size(), newPrefix) == 0) {
        return VARIANT_FALSE;  // a folder of that name exists beside it already
      }
    }
    if (rc != SQLITE_DONE) return VARIANT_FALSE;
  }
  if (folderHandle_ != 0) {
    // Every file below moves with its folder: its image is bound to its new stored path.
    std::unordered_map<std::int64_t, std::string> oldPaths;
    if (!ReadFolderPaths(&oldPaths)) return VARIANT_FALSE;
    Statement files(db_, "SELECT * FROM FILE_INFO WHERE FOLDER_ID = ?");
    if (!files.Ok()) return VARIANT_FALSE;
    for (const auto& [id, path] : renamed) {
      files.Reset();
      if (!files.BindInt64(1, id)) return VARIANT_FALSE;
      std::vector<std::pair<std::int64_t, std::string>> entries;
      int rc;
      while ((rc = files.Step()) == SQLITE_ROW)
        entries.emplace_back(files.Int64(file_info::kId), files.Text(file_info::kName));
      if (rc != SQLITE_DONE) return VARIANT_FALSE;
      for (const auto& [fileId, fileName] : entries)
        if (!MoveEntry(fileId, StoredPathOf(oldPaths[id], fileName), StoredPathOf(path, fileName)))
          return VARIANT_FALSE;
    }
  }
  Statement update(db_, "UPDATE FOLDER_INFO SET FOLDER_NAME = ? WHERE FOLDER_ID = ?");
  if (!update.Ok()) return VARIANT_FALSE;
  for (const auto& [id, path] : renamed) {
    update.Reset();
    if (!update.BindText(1, path) || !update.BindInt64(2, id) || !update.StepDone())
      return VARIANT_FALSE;
  }
  return transaction.Commit() ? VARIANT_TRUE : VARIANT_FALSE;
}
