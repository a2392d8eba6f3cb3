// The SQLite container store's extraction: one file to a folder, every file in one pass in
// storage order, and the folders' kept modes and times put back afterwards. Names read from
// a container are checked before anything is written, so extraction never leaves the
// destination: a stored name is one valid component, and a folder of the destination that
// exists must be a real folder, never a link.
#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/ItemNames.h"
#include "container/BlockRanges.h"
#include "container/BlockSink.h"
#include "container/QVSQLiteDatabaseInternals.h"
#include "container/SqliteStatement.h"
#include "container/StoredFacts.h"
#include "container/StoredNames.h"
#include "platform/FileAccess.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "suite/QvContainerFormat.h"

using namespace container;

namespace {

bool IsRealDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The caller's destination folder, created with its parents when missing.
bool EnsureCallerFolder(const std::string& path) {
  if (path.empty() || path == "/") return true;
  if (CreateDirectoryA(path.c_str())) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return true;
  if (error != ERROR_PATH_NOT_FOUND) return false;
  const std::string parent = NativeDirectory(path);
  if (parent == path || parent == ".") return false;
  if (!EnsureCallerFolder(parent)) return false;
  return CreateDirectoryA(path.c_str()) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// Creates base/c1/c2/... below the destination. A component that exists must be a real
// folder: a link planted in the destination is never followed.
bool EnsureContainerFolders(const std::string& base, const std::vector<std::string>& parts,
                            std::string* out) {
  std::string path = base;
  for (const std::string& part : parts) {
    path += '/';
    path += part;
    if (!CreateDirectoryA(path.c_str())) {
      if (GetLastError() != ERROR_ALREADY_EXISTS || !IsRealDirectory(path)) return false;
    }
  }
  *out = path;
  return true;
}

}  // namespace

// One FILE_INFO row as extraction needs it.
struct QVSQLiteDatabase::StoredFile {
  std::int64_t id = 0;
  std::int64_t folderId = 0;
  std::string name;
  std::int64_t size = 0;
  WORD date = 0;
  WORD time = 0;
  std::string modified;
  std::string accessed;

  void Read(const Statement& row, DWORD version) {
    id = row.Int64(file_info::kId);
    folderId = row.Int64(file_info::kFolder);
    name = row.Text(file_info::kName);
    size = row.Type(file_info::kSize) == SQLITE_INTEGER ? row.Int64(file_info::kSize) : -1;
    date = static_cast<WORD>(row.Int(file_info::kDate));
    time = static_cast<WORD>(row.Int(file_info::kTime));
    if (version == kSchemaVersion2) {
      modified = std::string(row.Blob(file_info::kModified));
      accessed = std::string(row.Blob(file_info::kAccessed));
    }
  }
};

// ---- Extraction ----

bool QVSQLiteDatabase::PassBlock(std::string_view block, BlockSink& sink) const {
  if (betweenBlocks_ && !betweenBlocks_()) return false;
  return block.empty() || sink.TakeBlock(block);
}

VARIANT_BOOL QVSQLiteDatabase::ExtractFile(DWORD folderId, DWORD fileId, std::string destDir) {
  return Extract(folderId, fileId, destDir, Extraction::WithFolder);
}

VARIANT_BOOL QVSQLiteDatabase::ExtractFileTo(DWORD folderId, DWORD fileId, std::string destDir) {
  return Extract(folderId, fileId, destDir, Extraction::IntoDestination);
}

VARIANT_BOOL QVSQLiteDatabase::Extract(DWORD folderId, DWORD fileId, const std::string& destDir,
                                       Extraction kind) {
  if (db_ == nullptr || destDir.empty()) return VARIANT_FALSE;
  // One read transaction: the rows, the header check and the blocks see one state.
  if (!BeginRead()) return VARIANT_FALSE;
  Transaction transaction(*this);
  StoredFile file;
  if (!ReadStoredFile(folderId, fileId, &file) || !IsValidComponent(file.name))
    return VARIANT_FALSE;

  std::string outputDir;
  if (kind == Extraction::WithFolder) {
    std::vector<std::string> parts;
    if (folderId != kRootFolderId) {
      Statement folder(db_, "SELECT * FROM FOLDER_INFO WHERE FOLDER_ID = ?");
      if (!folder.Ok() || !folder.BindInt(1, BoundId(folderId)) || folder.Step() != SQLITE_ROW ||
          !SplitStoredFolderPath(folder.Text(folder_info::kName), &parts))
        return VARIANT_FALSE;
    }
    const std::string base = WithoutTrailingSeparator(destDir);
    if (!EnsureCallerFolder(base) ||
        !EnsureContainerFolders(base == "/" ? std::string() : base, parts, &outputDir))
      return VARIANT_FALSE;
    if (outputDir.empty()) outputDir.assign(1, '/');
    if (file.name == ::kEmptyFolderMarker) return VARIANT_TRUE;
  } else {
    outputDir = destDir;
    if (IsSeparator(outputDir.back())) outputDir.pop_back();
  }
  const std::string outputPath = outputDir + (outputDir == "/" ? "" : "/") + file.name;

  FileBlockSink output;
  if (!output.Open(outputPath, false)) return VARIANT_FALSE;
  if (!WriteBlocks(file.id, output) || !output.Finish()) {
    output.Discard();
    return VARIANT_FALSE;
  }
  ApplyStoredTimes(outputPath, schemaVersion_, file.date, file.time, file.modified, file.accessed);
  return VARIANT_TRUE;
}

VARIANT_BOOL QVSQLiteDatabase::ExtractFileToSink(DWORD folderId, DWORD fileId, BlockSink& sink) {
  if (db_ == nullptr || !BeginRead()) return VARIANT_FALSE;
  Transaction transaction(*this);
  StoredFile file;
  if (!ReadStoredFile(folderId, fileId, &file)) return VARIANT_FALSE;
  return WriteBlocks(file.id, sink) ? VARIANT_TRUE : VARIANT_FALSE;
}

bool QVSQLiteDatabase::ReadStoredFile(DWORD folderId, DWORD fileId, StoredFile* file) {
  Statement row(db_, statements_.get(),
                "SELECT * FROM FILE_INFO WHERE FILE_ID = ? AND FOLDER_ID = ?");
  if (!row.Ok() || !row.BindInt(1, BoundId(fileId)) || !row.BindInt(2, BoundId(folderId)) ||
      row.Step() != SQLITE_ROW)
    return false;
  file->Read(row, schemaVersion_);
  return true;
}

BlockRangeTable::Answer QVSQLiteDatabase::BlockRangesOf(std::int64_t fileId,
                                                        std::vector<RowRange>* ranges) {
  // Where the blocks lie, from the per-process table when it knows this container in its
  // current state; one scan of FILE_DATA otherwise, whose result is kept for the next file.
  BlockRangeTable& table = BlockRangeTable::Instance();
  auto answer = BlockRangeTable::Answer::Unknown;
  ContainerState state;
  // The table knows a container by its state, which counts commits only in rollback-journal
  // mode.
  if (ReadFileState(&state, false) && state.rollbackJournal) {
    answer = table.Find(path_, state, fileId, ranges);
    if (answer == BlockRangeTable::Answer::Unknown) {
      BlockRanges all;
      if (BuildBlockRanges(db_, &all)) {
        const auto found = all.find(fileId);
        if (found == all.end()) {
          answer = BlockRangeTable::Answer::NoBlocks;
        } else {
          *ranges = found->second;
          answer = BlockRangeTable::Answer::Found;
        }
        table.Put(path_, state, std::move(all));
      }
    }
  }
  return answer;
}

bool QVSQLiteDatabase::WriteBlocks(std::int64_t fileId, BlockSink& sink) {
  std::vector<RowRange> ranges;
  const auto answer = BlockRangesOf(fileId, &ranges);
  if (answer == BlockRangeTable::Answer::NoBlocks) return true;
  if (answer == BlockRangeTable::Answer::Found) {
    Statement rows(db_, "SELECT FILE_ID, BLOCK_DATA FROM FILE_DATA WHERE rowid BETWEEN ? AND ?");
    if (!rows.Ok()) return false;
    for (const RowRange& range : ranges) {
      rows.Reset();
      if (!rows.BindInt64(1, range.first) || !rows.BindInt64(2, range.last)) return false;
      int rc;
      while ((rc = rows.Step()) == SQLITE_ROW) {
        if (rows.Type(0) != SQLITE_INTEGER || rows.Int64(0) != fileId) {
          ForgetBlockRanges();
          return false;
        }
        if (!PassBlock(rows.Blob(1), sink)) return false;
      }
      if (rc != SQLITE_DONE) return false;
    }
    return true;
  }
  Statement rows(db_, "SELECT * FROM FILE_DATA WHERE FILE_ID = ?");
  if (!rows.Ok() || !rows.BindInt64(1, fileId)) return false;
  int rc;
  while ((rc = rows.Step()) == SQLITE_ROW) {
    if (!PassBlock(rows.Blob(file_data::kData), sink)) return false;
  }
  return rc == SQLITE_DONE;
}

VARIANT_BOOL QVSQLiteDatabase::ImageBlocks(DWORD folderId, DWORD fileId,
                                           std::vector<ImageBlock>* blocks) {
  blocks->clear();
  if (db_ == nullptr || !BeginRead()) return VARIANT_FALSE;
  Transaction transaction(*this);
  StoredFile file;
  if (!ReadStoredFile(folderId, fileId, &file)) return VARIANT_FALSE;
  std::vector<RowRange> ranges;
  if (BlockRangesOf(file.id, &ranges) == BlockRangeTable::Answer::Unknown)
    ranges = {{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}};
  // The lengths alone: SQLite reads a blob's length without its bytes (a block stored as
  // anything but a blob is damage: its length would not be its size).
  Statement rows(db_, statements_.get(),
                 "SELECT rowid, length(BLOCK_DATA), typeof(BLOCK_DATA) = 'blob' FROM FILE_DATA "
                 "WHERE FILE_ID = ? AND rowid BETWEEN ? AND ? ORDER BY rowid");
  if (!rows.Ok()) return VARIANT_FALSE;
  std::uint64_t offset = 0;
  for (const RowRange& range : ranges) {
    rows.Reset();
    if (!rows.BindInt64(1, file.id) || !rows.BindInt64(2, range.first) ||
        !rows.BindInt64(3, range.last))
      return VARIANT_FALSE;
    int rc;
    while ((rc = rows.Step()) == SQLITE_ROW) {
      if (rows.Int(2) != 1) return VARIANT_FALSE;
      const auto length = static_cast<std::uint64_t>(rows.Int64(1));
      if (length == 0) continue;
      blocks->push_back({rows.Int64(0), offset, length});
      offset += length;
    }
    if (rc != SQLITE_DONE) return VARIANT_FALSE;
  }
  return VARIANT_TRUE;
}

namespace {

// An open handle on one block's bytes, moved from row to row; closed with this object.
class BlockBlob {
 public:
  explicit BlockBlob(sqlite3* db) : db_(db) {}
  ~BlockBlob() {
    if (blob_ != nullptr) sqlite3_blob_close(blob_);
  }
  BlockBlob(const BlockBlob&) = delete;
  BlockBlob& operator=(const BlockBlob&) = delete;

  // Copies `length` bytes at `offset` of the block in row `row` straight into `out`: SQLite
  // reads the pages of a large block into the buffer itself, with no copy of its own between.
  [[nodiscard]] bool Read(std::int64_t row, std::uint64_t offset, char* out, std::uint64_t length) {
    if (offset > INT_MAX || length > INT_MAX - offset) return false;
    const int opened =
        blob_ == nullptr ? sqlite3_blob_open(db_, "main", "FILE_DATA", "BLOCK_DATA", row, 0, &blob_)
                         : sqlite3_blob_reopen(blob_, row);
    return opened == SQLITE_OK && sqlite3_blob_read(blob_, out, static_cast<int>(length),
                                                    static_cast<int>(offset)) == SQLITE_OK;
  }

 private:
  sqlite3* db_;
  sqlite3_blob* blob_ = nullptr;
};

}  // namespace

VARIANT_BOOL QVSQLiteDatabase::ReadImageRange(DWORD folderId, DWORD fileId,
                                              std::span<const ImageBlock> blocks,
                                              std::uint64_t begin, std::span<char> out) {
  if (db_ == nullptr || !BeginRead()) return VARIANT_FALSE;
  Transaction transaction(*this);
  StoredFile file;
  if (!ReadStoredFile(folderId, fileId, &file)) return VARIANT_FALSE;
  // Each block's owner and length are checked before its bytes are read; SQLite reads a
  // blob's length without its bytes.
  Statement rows(db_, statements_.get(),
                 "SELECT FILE_ID, length(BLOCK_DATA), typeof(BLOCK_DATA) = 'blob' FROM FILE_DATA "
                 "WHERE rowid = ?");
  if (!rows.Ok()) return VARIANT_FALSE;
  BlockBlob blob(db_);
  const std::uint64_t end = begin + out.size();
  std::uint64_t at = begin;
  for (const ImageBlock& block : blocks) {
    const std::uint64_t blockEnd = block.offset + block.length;
    if (at == end) break;
    if (blockEnd <= at) continue;
    if (block.offset > at) return VARIANT_FALSE;  // the blocks listed leave a gap
    rows.Reset();
    // A block that changed its length or its file since the layout was read is another block.
    if (!rows.BindInt64(1, block.row) || rows.Step() != SQLITE_ROW ||
        rows.Type(0) != SQLITE_INTEGER || rows.Int64(0) != file.id || rows.Int(2) != 1 ||
        static_cast<std::uint64_t>(rows.Int64(1)) != block.length)
      return VARIANT_FALSE;
    if (betweenBlocks_ && !betweenBlocks_()) return VARIANT_FALSE;
    const std::uint64_t length = std::min(blockEnd, end) - at;
    if (!blob.Read(block.row, at - block.offset, out.data() + (at - begin), length))
      return VARIANT_FALSE;
    at += length;
  }
  return at == end ? VARIANT_TRUE : VARIANT_FALSE;
}

// The rows of a container as its extraction restores them: every file row, with the folder
// path it lies in.
struct QVSQLiteDatabase::ExtractionPlan {
  std::unordered_map<std::int64_t, std::vector<std::string>> folderParts;
  const std::vector<std::string> root{};
  std::vector<StoredFile> files;
  // The folder path of each file, into folderParts or root.
  std::vector<const std::vector<std::string>*> fileParts;
};

VARIANT_BOOL QVSQLiteDatabase::PlanExtraction(ExtractionPlan* plan) {
  const auto readFailed = [this] {
    failure_ = ReadFailure(db_) == Schema::Damaged ? Failure::Damaged : Failure::Unavailable;
    return VARIANT_FALSE;
  };
  const auto damaged = [this] {
    failure_ = Failure::Damaged;
    return VARIANT_FALSE;
  };
  {
    Statement rows(db_, "SELECT * FROM FOLDER_INFO");
    if (!rows.Ok()) return readFailed();
    int rc;
    while ((rc = rows.Step()) == SQLITE_ROW) {
      // A folder whose path cannot be restored is damage only when a file lies in it.
      std::vector<std::string> parts;
      if (SplitStoredFolderPath(rows.Text(folder_info::kName), &parts))
        plan->folderParts.emplace(rows.Int64(folder_info::kId), std::move(parts));
    }
    if (rc != SQLITE_DONE) return readFailed();
  }
  {
    Statement rows(db_, "SELECT * FROM FILE_INFO");
    if (!rows.Ok()) return readFailed();
    int rc;
    while ((rc = rows.Step()) == SQLITE_ROW) {
      // Ids and names of any other type are not what this system writes.
      if (rows.Type(file_info::kFolder) != SQLITE_INTEGER ||
          rows.Type(file_info::kName) != SQLITE_TEXT)
        return damaged();
      plan->files.emplace_back();
      plan->files.back().Read(rows, schemaVersion_);
    }
    if (rc != SQLITE_DONE) return readFailed();
  }
  // Every row is checked before anything is made: a row this system never writes is damage,
  // not something to restore. Each stored name is an image ("<plain name>.qvf", or the
  // marker), and no two rows may name the same file (through the same folder id or two
  // folder rows of the same path), or one would be written over the other.
  const std::size_t total = plan->files.size();
  plan->fileParts.resize(total);
  std::unordered_set<std::string> seen;
  for (std::size_t i = 0; i < total; ++i) {
    const StoredFile& file = plan->files[i];
    if (!IsValidComponent(file.name) || file.name.size() <= kQvfSuffix.size() ||
        !HasSuffix(file.name, kQvfSuffix))
      return damaged();
    if (file.folderId == kRootFolderId) {
      plan->fileParts[i] = &plan->root;
    } else {
      const auto parts = plan->folderParts.find(file.folderId);
      if (parts == plan->folderParts.end()) return damaged();
      plan->fileParts[i] = &parts->second;
    }
    std::string key;
    for (const std::string& part : *plan->fileParts[i]) key += part + '/';
    if (!seen.insert(key + file.name).second) return damaged();
  }
  return VARIANT_TRUE;
}

VARIANT_BOOL QVSQLiteDatabase::CountImages(std::size_t* images) {
  failure_ = Failure::Unavailable;
  if (db_ == nullptr || !BeginRead()) return VARIANT_FALSE;
  Transaction transaction(*this);
  ExtractionPlan plan;
  if (PlanExtraction(&plan) != VARIANT_TRUE) return VARIANT_FALSE;
  *images = static_cast<std::size_t>(
      std::count_if(plan.files.begin(), plan.files.end(),
                    [](const StoredFile& file) { return file.name != ::kEmptyFolderMarker; }));
  failure_ = Failure::None;
  return VARIANT_TRUE;
}

VARIANT_BOOL QVSQLiteDatabase::ExtractAllTo(std::string destDir, const ExtractProgress& progress) {
  failure_ = Failure::Unavailable;
  if (db_ == nullptr || destDir.empty()) return VARIANT_FALSE;
  if (!BeginRead()) return VARIANT_FALSE;
  Transaction transaction(*this);
  const auto readFailed = [this] {
    failure_ = ReadFailure(db_) == Schema::Damaged ? Failure::Damaged : Failure::Unavailable;
    return VARIANT_FALSE;
  };
  ExtractionPlan plan;
  if (PlanExtraction(&plan) != VARIANT_TRUE) return VARIANT_FALSE;
  const std::vector<StoredFile>& files = plan.files;
  const std::size_t total = files.size();
  failure_ = Failure::WriteFailed;
  if (progress && !progress(0, total)) return VARIANT_FALSE;

  const std::string base = WithoutTrailingSeparator(destDir);
  if (!EnsureCallerFolder(base)) return VARIANT_FALSE;
  const std::string joinBase = base == "/" ? std::string() : base;
  std::unordered_map<std::int64_t, std::string> folderDirs;
  std::vector<std::string> outputs(total);
  std::vector<std::string> storedPaths(imageTaker_ ? total : 0);
  std::unordered_map<std::int64_t, std::size_t> byId;
  for (std::size_t i = 0; i < total; ++i) {
    const StoredFile& file = files[i];
    auto dir = folderDirs.find(file.folderId);
    if (dir == folderDirs.end()) {
      std::string made;
      if (!EnsureContainerFolders(joinBase, *plan.fileParts[i], &made)) return VARIANT_FALSE;
      dir = folderDirs.emplace(file.folderId, made).first;
    }
    if (file.name == ::kEmptyFolderMarker) continue;
    outputs[i] = dir->second + "/" + file.name;
    byId.emplace(file.id, i);
    if (imagePlaces_ || imageTaker_) {
      std::string folderPath;
      for (const std::string& part : *plan.fileParts[i]) folderPath += kStoredSeparator + part;
      std::string storedPath = StoredPathOf(folderPath, file.name);
      if (imagePlaces_) imagePlaces_(outputs[i], storedPath, static_cast<DWORD>(file.id));
      if (imageTaker_) storedPaths[i] = std::move(storedPath);
    }
  }

  // Only an image whose blocks follow each other is whole when the next file's blocks begin.
  BlockRanges ranges;
  const bool takes = imageTaker_ && BuildBlockRanges(db_, &ranges);
  const auto contiguous = [&](std::int64_t id) {
    const auto found = ranges.find(id);
    return found != ranges.end() && found->second.size() == 1;
  };
  std::vector<char> started(total, 0);
  std::vector<char> finished(total, 0);
  std::vector<char> taken(total, 0);
  std::size_t done = 0;
  FileBlockSink current;
  std::size_t currentIndex = total;
  // The current file's blocks while it may still be handed over in memory.
  bool gathering = false;
  QVDatabase::ExtractedImage gathered;
  // The file being written, when the extraction stops, goes: a short image is worse than none.
  const auto fail = [&]() {
    if (currentIndex < total && !gathering && started[currentIndex] && !taken[currentIndex])
      current.Discard();
    return VARIANT_FALSE;
  };
  const auto countDone = [&](std::size_t index) {
    if (finished[index]) return true;
    finished[index] = 1;
    ++done;
    return !progress || progress(done, total);
  };
  // Writes what was gathered of the current file, which goes on as a file.
  const auto writeGathered = [&]() {
    gathering = false;
    if (!current.Open(outputs[currentIndex], false)) return false;
    started[currentIndex] = 1;
    return gathered.bytes.empty() ||
           current.TakeBlock(std::string_view(reinterpret_cast<const char*>(gathered.bytes.data()),
                                              gathered.bytes.size()));
  };
  const auto finishCurrent = [&]() {
    if (currentIndex == total) return true;
    const StoredFile& file = files[currentIndex];
    if (gathering) {
      gathering = false;
      taken[currentIndex] = 1;
      gathered.output = outputs[currentIndex];
      gathered.storedPath = storedPaths[currentIndex];
      gathered.fileId = static_cast<DWORD>(file.id);
      gathered.folderId = static_cast<DWORD>(file.folderId);
      if (!imageTaker_(gathered)) return false;
    } else if (!current.Finish()) {
      return false;
    }
    const std::size_t index = std::exchange(currentIndex, total);
    return countDone(index);
  };
  {
    // One pass over the blocks in storage order: each file's blocks follow each other, so
    // every output file is opened once. A file whose blocks are interleaved with another's
    // is reopened and appended to.
    Statement rows(db_, "SELECT * FROM FILE_DATA");
    if (!rows.Ok()) return readFailed();
    int rc;
    while ((rc = rows.Step()) == SQLITE_ROW) {
      if (rows.Type(file_data::kFileId) != SQLITE_INTEGER) continue;
      const auto owner = byId.find(rows.Int64(file_data::kFileId));
      if (owner == byId.end()) continue;  // blocks of no listed file
      if (owner->second != currentIndex) {
        if (!finishCurrent()) return fail();
        currentIndex = owner->second;
        const StoredFile& file = files[currentIndex];
        // FILE_SIZE is the plain file's: the image is somewhat larger, which the bytes tell.
        if (takes && file.size >= 0 && static_cast<std::uint64_t>(file.size) <= largestTaken_ &&
            contiguous(file.id)) {
          gathering = true;
          gathered.bytes.clear();

        } else if (!current.Open(outputs[currentIndex], started[currentIndex] != 0)) {
          currentIndex = total;
          return VARIANT_FALSE;
        } else {
          started[currentIndex] = 1;
        }
      }
      const std::string_view block = rows.Blob(file_data::kData);
      if (!gathering) {
        if (!PassBlock(block, current)) return fail();
        continue;
      }
      if (betweenBlocks_ && !betweenBlocks_()) return fail();
      gathered.bytes.insert(gathered.bytes.end(), block.begin(), block.end());
      // Larger than the caller takes: written as a file after all.
      if (gathered.bytes.size() > largestTaken_ && !writeGathered()) return fail();
    }
    if (rc != SQLITE_DONE) {
      (void)fail();
      return readFailed();
    }
    if (!finishCurrent()) return fail();
  }
  for (std::size_t i = 0; i < total; ++i) {
    if (finished[i]) continue;
    if (!outputs[i].empty()) {
      FileBlockSink empty;
      if (!empty.Open(outputs[i], false) || !empty.Finish()) return VARIANT_FALSE;
    }
    if (!countDone(i)) return VARIANT_FALSE;
  }
  for (std::size_t i = 0; i < total; ++i)
    if (!outputs[i].empty() && !taken[i])
      ApplyStoredTimes(outputs[i], schemaVersion_, files[i].date, files[i].time, files[i].modified,
                       files[i].accessed);
  failure_ = Failure::None;
  return VARIANT_TRUE;
}

VARIANT_BOOL QVSQLiteDatabase::RestoreFolderFacts(std::string destDir) {
  if (db_ == nullptr || destDir.empty()) return VARIANT_FALSE;
  struct Folder {
    std::vector<std::string> parts;
    std::optional<FolderFacts> facts;
    std::optional<FILETIME> written;  // from the MS-DOS fields
  };
  std::map<std::int64_t, Folder> folders;
  folders[kRootFolderId];
  {
    if (!BeginRead()) return VARIANT_FALSE;
    Transaction transaction(*this);
    Statement rows(db_, "SELECT * FROM FOLDER_INFO");
    if (!rows.Ok()) return VARIANT_FALSE;
    int rc;
    while ((rc = rows.Step()) == SQLITE_ROW) {
      Folder folder;
      // A name the extraction refuses names no restored folder; the root has no row.
      if (rows.Int64(folder_info::kId) == kRootFolderId ||
          !SplitStoredFolderPath(rows.Text(folder_info::kName), &folder.parts))
        continue;
      folder.written = DosToUtc(static_cast<WORD>(rows.Int64(folder_info::kDate)),
                                static_cast<WORD>(rows.Int64(folder_info::kTime)));
      folders[rows.Int64(folder_info::kId)] = std::move(folder);
    }
    if (rc != SQLITE_DONE) return VARIANT_FALSE;
    Statement facts(db_, "SELECT * FROM FOLDER_OPTIONS WHERE FOLDER_ID >= ?");
    if (!facts.Ok() || !facts.BindInt64(1, kFolderFactsIdBase)) return VARIANT_FALSE;
    while ((rc = facts.Step()) == SQLITE_ROW) {
      const auto folder = folders.find(facts.Int64(folder_options::kId) - kFolderFactsIdBase);
      if (folder != folders.end())
        folder->second.facts = DecodeFolderFacts(facts.Blob(folder_options::kData));
    }
    if (rc != SQLITE_DONE) return VARIANT_FALSE;
  }
  std::vector<const Folder*> deepestFirst;
  for (const auto& [id, folder] : folders) deepestFirst.push_back(&folder);
  std::stable_sort(deepestFirst.begin(), deepestFirst.end(), [](const Folder* a, const Folder* b) {
    return a->parts.size() > b->parts.size();
  });
  const std::string base = WithoutTrailingSeparator(destDir);
  for (const Folder* folder : deepestFirst) {
    // A folder that is missing or reached through a link is left alone.
    if (folder->facts) {
      (void)SetFolderModeAndTimes(base.c_str(), folder->parts, &folder->facts->mode,
                                  &folder->facts->modified, &folder->facts->accessed);
    } else if (folder->written) {
      const std::int64_t ticks = static_cast<std::int64_t>(FileTimeToTicks(*folder->written));
      const timespec modified = {
          static_cast<time_t>(ticks / static_cast<std::int64_t>(kFileTimeTicksPerSecond) -
                              kFileTimeUnixEpochSeconds),
          0};
      (void)SetFolderModeAndTimes(base.c_str(), folder->parts, nullptr, &modified, nullptr);
    }
  }
  return VARIANT_TRUE;
}
