// The SQLite container store's connection (see QVSQLiteDatabase.h): opening (and creating)
// a container, the schema check that refuses anything that is not one, transactions and
// batched adds, the index of entries by name, flushing, closing, and holding a container
// against writers. Adding, listing and changing entries are in QVSQLiteDatabaseEntries.cpp,
// extraction in QVSQLiteDatabaseExtraction.cpp.
//
// Writes run in one IMMEDIATE transaction each, so a failed step anywhere rolls the whole
// operation back. Reads that span several statements (extraction) run in one read
// transaction, which also keeps the file's header stable while the per-process block-range
// table is checked against it. Names and paths are bound as parameters, never spliced into
// statement texts.
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <climits>
#include <string>
#include <utility>

#include "container/BlockRanges.h"
#include "container/QVSQLiteDatabase.h"
#include "container/QVSQLiteDatabaseInternals.h"
#include "container/SqliteStatement.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Utf8.h"
#include "suite/QvContainerFormat.h"

using namespace container;

namespace {

// A connection waits this long for a lock another connection holds before giving up.
constexpr int kBusyTimeoutMs = 5000;
// Page size of new containers: large pages keep the overflow chains of 1 MiB blocks short.
// Readers of every SQLite 3 version accept it.
constexpr int kPageSize = 32768;

// A container's schema is exactly the tables the format creates (FILE_INFO in either version)
// and SQLite's sequence table. Any other object (a view, a trigger, an index, another table)
// or any other text (another column, a generated column, another type or constraint) could
// change what a read returns or what it costs, so the file is refused before any of its tables
// is read. A file without any of the four tables is no container; one with some of them, or
// with other texts, is damaged.
Schema ReadSchema(sqlite3* db) {
  Statement rows(db, "SELECT type, name, tbl_name, sql FROM sqlite_master");
  if (!rows.Ok()) return ReadFailure(db);
  std::array<bool, kTableNames.size()> seen{};
  bool foreign = false;
  Schema version = Schema::Version2;
  int rc;
  while ((rc = rows.Step()) == SQLITE_ROW) {
    const std::string type = rows.Text(0);
    const std::string name = rows.Text(1);
    const std::string sql = rows.Text(3);
    if (type != "table" || rows.Text(2) != name || rows.Type(3) != SQLITE_TEXT) {
      foreign = true;
      continue;
    }
    if (name == kSequenceTable && sql == kCreateSequenceTable) continue;
    const auto table = std::find(kTableNames.begin(), kTableNames.end(), name);
    if (table == kTableNames.end()) {
      foreign = true;
      continue;
    }
    const auto index = static_cast<std::size_t>(table - kTableNames.begin());
    if (seen[index]) foreign = true;
    seen[index] = true;
    if (sql == kCreateStatements[index]) continue;
    if (index == 2 && sql == kCreateFileInfoVersion1)
      version = Schema::Version1;
    else
      foreign = true;
  }
  if (rc != SQLITE_DONE) return ReadFailure(db);
  const auto count = std::count(seen.begin(), seen.end(), true);
  if (count == 0) return Schema::NotContainer;
  if (count != static_cast<long>(seen.size()) || foreign) return Schema::Damaged;
  return version;
}

// SQLite's journal modes are reported in lower case; compared without case all the same.
bool IsJournalMode(sqlite3* db, const char* mode) {
  Statement read(db, "PRAGMA journal_mode");
  return read.Ok() && read.Step() == SQLITE_ROW && sqlite3_stricmp(read.Text(0).c_str(), mode) == 0;
}

}  // namespace

Schema container::ReadFailure(sqlite3* db) {
  switch (sqlite3_errcode(db) & 0xff) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_ERROR:  // a schema SQLite itself cannot parse
      return Schema::Damaged;
    default:
      return Schema::Unreadable;
  }
}

std::unique_ptr<QVDatabase> QVDatabase::NewStore() { return std::make_unique<QVSQLiteDatabase>(); }

QVSQLiteDatabase::QVSQLiteDatabase() = default;

QVSQLiteDatabase::~QVSQLiteDatabase() { (void)Close(); }

void QVSQLiteDatabase::FailStepForTest(int nth) { container::FailStepForTest(nth); }

bool QVSQLiteDatabase::Exec(const char* sql) {
  Statement statement(db_, sql);
  return Run(statement);
}

bool QVSQLiteDatabase::ExecKept(const char* sql) {
  Statement statement(db_, statements_.get(), sql);
  return Run(statement);
}

bool QVSQLiteDatabase::Run(Statement& statement) {
  if (!statement.Ok()) return false;
  int rc;
  while ((rc = statement.Step()) == SQLITE_ROW) {
  }
  return rc == SQLITE_DONE;
}

bool QVSQLiteDatabase::BeginWrite() {
  // IMMEDIATE takes the write lock at once (waiting for it up to the busy timeout), so two
  // writers never deadlock half-way through an operation. A held container only reads.
  return db_ != nullptr && !held_ && !reading_ && !snapshot_ && SettleBatch() &&
         ExecKept("BEGIN IMMEDIATE");
}

bool QVSQLiteDatabase::BeginRead() {
  // A held container reads inside the transaction that holds it.
  if (held_ || snapshot_) return db_ != nullptr;
  return db_ != nullptr && SettleBatch() && ExecKept("BEGIN");
}

bool QVSQLiteDatabase::CommitWrite(bool keepsNameIndex) {
  if (!UpdateFileList() || !ExecKept("COMMIT")) {
    Rollback();
    return false;
  }
  if (!keepsNameIndex) names_.reset();
  ForgetBlockRanges();
  if (syncDeferred_) unsyncedChanges_ = true;
  return true;
}

void QVSQLiteDatabase::Rollback() {
  names_.reset();
  listAdded_.clear();
  listRemoved_.clear();
  // The transaction that holds the container ends only with the connection, a snapshot's
  // only with EndReadSnapshot.
  if (held_ || snapshot_) return;
  // Not through the failure hook: a rollback must always happen.
  if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0)
    (void)sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  if (batch_ == Batch::Open) batch_ = Batch::Failed;
}

bool QVSQLiteDatabase::SettleBatch() {
  if (batch_ == Batch::Failed) return false;
  if (batch_ != Batch::Open) return true;
  batch_ = Batch::Idle;
  batchedFiles_ = 0;
  batchedBytes_ = 0;
  if (CommitWrite(true)) return true;
  batch_ = Batch::Failed;
  return false;
}

VARIANT_BOOL QVSQLiteDatabase::BeginBatchedAdds() {
  if (db_ == nullptr || held_ || batch_ != Batch::Off) return VARIANT_FALSE;
  // A new container keeps its journal in memory until its first Flush; one that was flushed,
  // or existed before Open, has its journal on disk, so each commit of the batch is atomic
  // and durable when it returns.
  if (syncDeferred_ && !journalInMemory_) return VARIANT_FALSE;
  batch_ = Batch::Idle;
  batchedFiles_ = 0;
  batchedBytes_ = 0;
  return VARIANT_TRUE;
}

QVSQLiteDatabase::NameIndex* QVSQLiteDatabase::Names() {
  std::int64_t version = 0;
  {
    Statement read(db_, statements_.get(), "PRAGMA data_version");
    if (!read.Ok() || read.Step() != SQLITE_ROW) return nullptr;
    version = read.Int64(0);
  }
  if (names_ != nullptr && names_->dataVersion == version) return names_.get();
  names_.reset();
  auto names = std::make_unique<NameIndex>();
  names->dataVersion = version;
  // Only what an equality test against a bound folder id and name can match: an integer
  // folder and a text name.
  Statement files(db_, "SELECT FILE_ID, FOLDER_ID, FILE_NAME FROM FILE_INFO");
  if (!files.Ok()) return nullptr;
  int rc;
  while ((rc = files.Step()) == SQLITE_ROW) {
    if (files.Type(1) != SQLITE_INTEGER || files.Type(2) != SQLITE_TEXT) continue;
    names->files[{files.Int64(1), files.Text(2)}].push_back(files.Int64(0));
  }
  if (rc != SQLITE_DONE) return nullptr;
  Statement folders(db_, "SELECT FOLDER_ID, FOLDER_NAME FROM FOLDER_INFO");
  if (!folders.Ok()) return nullptr;
  while ((rc = folders.Step()) == SQLITE_ROW) {
    if (folders.Type(1) != SQLITE_TEXT) continue;
    const auto [entry, added] = names->folders.emplace(folders.Text(1), folders.Int64(0));
    if (!added) entry->second = std::min(entry->second, folders.Int64(0));
  }
  if (rc != SQLITE_DONE) return nullptr;
  names_ = std::move(names);
  return names_.get();
}

void QVSQLiteDatabase::ForgetBlockRanges() { BlockRangeTable::Instance().Forget(path_); }

// ---- Open and close ----

VARIANT_BOOL QVSQLiteDatabase::Open(std::string path, BOOL create) {
  return OpenConnection(std::move(path), create, false);
}

VARIANT_BOOL QVSQLiteDatabase::OpenForReading(std::string path) {
  if (ReadsCurrentFile(path)) {
    failure_ = Failure::None;
    return VARIANT_TRUE;
  }
  return OpenConnection(std::move(path), FALSE, true);
}

bool QVSQLiteDatabase::ReadsCurrentFile(const std::string& path) {
  if (db_ == nullptr || !reading_ || path != path_) return false;
  // The path must still name the file this connection has open: a container deleted, or
  // replaced by another file, is opened afresh with every check.
  int moved = 1;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK || moved != 0)
    return false;
  // Any change of the schema (a table, index, trigger or view added or altered by another
  // connection) changes its cookie; the schema is then checked again before anything is read.
  std::int64_t version = 0;
  return ReadSchemaVersion(&version) && version == checkedSchemaVersion_;
}

bool QVSQLiteDatabase::ReadSchemaVersion(std::int64_t* version) {
  Statement read(db_, statements_.get(), "PRAGMA schema_version");
  if (!read.Ok() || read.Step() != SQLITE_ROW) return false;
  *version = read.Int64(0);
  return true;
}

VARIANT_BOOL QVSQLiteDatabase::OpenConnection(std::string path, BOOL create, bool reading) {
  CloseConnection();
  schemaVersion_ = kSchemaVersion2;
  failure_ = Failure::NotFound;
  // The path goes to SQLite as UTF-8; text that is not valid UTF-8 would name another file.
  if (path.empty() || path.find('\0') != std::string::npos || path.size() > INT_MAX ||
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                          nullptr, 0) == 0)
    return VARIANT_FALSE;
  // A name starting with "file:" must not be read as a URI.
  std::string sqlitePath = path.compare(0, 5, "file:") == 0 ? "./" + path : path;

  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (!create || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND))
      return VARIANT_FALSE;
    failure_ = Failure::Unavailable;
    if (sqlite3_open_v2(sqlitePath.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
      CloseConnection();
      (void)DeleteFileA(path.c_str());
      return VARIANT_FALSE;
    }
    path_ = path;
    // The page size comes first: set after other pragmas it leaves the page cache sized
    // for the old pages, several times larger than configured.
    (void)sqlite3_exec(db_, ("PRAGMA page_size=" + std::to_string(kPageSize)).c_str(), nullptr,
                       nullptr, nullptr);
    ConfigureConnection(true);
    if (!CreateTables()) {
      // Remove what this call created, journal included, so no empty container remains.
      const bool ours = db_ != nullptr;
      CloseConnection();
      if (ours) {
        (void)DeleteFileA((path + "-journal").c_str());
        (void)DeleteFileA(path.c_str());
      }
      path_.clear();
      return VARIANT_FALSE;
    }
    ForgetBlockRanges();
    failure_ = Failure::None;
    return VARIANT_TRUE;
  }

  failure_ = Failure::NotAFile;
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) return VARIANT_FALSE;
  failure_ = Failure::Unavailable;
  if (sqlite3_open_v2(sqlitePath.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    CloseConnection();
    return VARIANT_FALSE;
  }
  path_ = path;
  reading_ = reading;
  ConfigureConnection(false);
  // A file that is no database, or a database whose schema is not a container's, is not
  // opened: Open must not report success for what no operation can use. A reading connection
  // reads the schema and its cookie in one transaction, so the cookie it keeps is that of the
  // schema checked.
  const bool inTransaction = reading_ && ExecKept("BEGIN");
  Schema schema = reading_ && !inTransaction ? ReadFailure(db_) : ReadSchema(db_);
  if (reading_ && (schema == Schema::Version1 || schema == Schema::Version2) &&
      !ReadSchemaVersion(&checkedSchemaVersion_))
    schema = ReadFailure(db_);
  if (inTransaction) (void)sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  switch (schema) {
    case Schema::Version1:
      schemaVersion_ = kSchemaVersion1;
      failure_ = Failure::None;
      return VARIANT_TRUE;
    case Schema::Version2:
      failure_ = Failure::None;
      return VARIANT_TRUE;
    case Schema::NotContainer:
      failure_ = Failure::NotAContainer;
      break;
    case Schema::Damaged:
      failure_ = Failure::Damaged;
      break;
    case Schema::Unreadable:
      failure_ = Failure::Unavailable;
      break;
  }
  CloseConnection();
  path_.clear();
  return VARIANT_FALSE;
}

void QVSQLiteDatabase::ConfigureConnection(bool created) {
  statements_ = std::make_unique<StatementCache>(db_);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db_, 1);
  syncDeferred_ = created;
  unsyncedChanges_ = created;
  // A connection that only reads is left as SQLite opens it: switching the journal mode takes
  // a lock and, on closing, may touch the journal file, which no reader needs.
  if (reading_) return;
  // A new container is synced once, by Flush or Close; an existing one fully at every
  // commit, journal truncation included, so a commit that returned is never rolled back.
  (void)sqlite3_exec(db_, created ? "PRAGMA synchronous=OFF" : "PRAGMA synchronous=FULL", nullptr,
                     nullptr, nullptr);
  // Until its first flush a new container keeps its rollback journal in memory: a failed
  // operation is still rolled back whole, and nothing is written for the journal, which for a
  // folder of many small files (one operation each) was most of the work. A crash before the
  // flush may leave the new file damaged; its creator deletes an unfinished container anyway.
  if (created) {
    journalInMemory_ =
        sqlite3_exec(db_, "PRAGMA journal_mode=MEMORY", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (journalInMemory_) return;
  }
  // Truncating the journal instead of deleting it spares a file creation and deletion per
  // operation. Only a container in the ordinary rollback mode is switched; Close switches it
  // back, which removes the journal file.
  if (!created && !IsJournalMode(db_, "delete")) return;
  journalTruncated_ =
      sqlite3_exec(db_, "PRAGMA journal_mode=TRUNCATE", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool QVSQLiteDatabase::CreateTables() {
  if (!BeginWrite()) return false;
  Transaction transaction(*this);
  {
    // Someone else's container that appeared since the existence check is not ours to fill
    // or to remove.
    Statement count(db_, "SELECT count(*) FROM sqlite_master");
    if (!count.Ok() || count.Step() != SQLITE_ROW) return false;
    if (count.Int64(0) != 0) {
      transaction.active = false;
      Rollback();
      CloseConnection();
      return false;
    }
  }
  for (const char* sql : kCreateStatements)
    if (!Exec(sql)) return false;
  return transaction.Commit();
}

void QVSQLiteDatabase::CloseConnection() {
  if (db_ == nullptr) return;
  held_ = false;
  snapshot_ = false;
  snapshotState_.reset();
  heldState_.reset();
  Rollback();
  batch_ = Batch::Off;
  if (journalTruncated_)
    (void)sqlite3_exec(db_, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
  statements_.reset();
  sqlite3_close_v2(db_);
  db_ = nullptr;
  journalTruncated_ = false;
  journalInMemory_ = false;
  writeBack_ = OpenedFile();
  unwrittenBytes_ = 0;
  syncDeferred_ = false;
  unsyncedChanges_ = false;
  reading_ = false;
}

VARIANT_BOOL QVSQLiteDatabase::Close() {
  if (db_ == nullptr) return VARIANT_FALSE;
  // An existing container's batch is committed here; a new one's by its Flush.
  const bool durable = syncDeferred_ && unsyncedChanges_ ? Flush() == VARIANT_TRUE : SettleBatch();
  CloseConnection();
  return durable ? VARIANT_TRUE : VARIANT_FALSE;
}

VARIANT_BOOL QVSQLiteDatabase::IsOpen() { return VARIANT_TRUE; }

DWORD QVSQLiteDatabase::GetVersion() { return schemaVersion_; }

VARIANT_BOOL QVSQLiteDatabase::Flush() {
  if (db_ == nullptr || !SettleBatch()) return VARIANT_FALSE;
  // Adds are committed one by one again, each durable when it returns.
  batch_ = Batch::Off;
  if (!syncDeferred_) return VARIANT_TRUE;
  // From now on every commit is durable and atomic again, with its journal on disk.
  if (journalInMemory_) {
    journalTruncated_ =
        sqlite3_exec(db_, "PRAGMA journal_mode=TRUNCATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!journalTruncated_) return VARIANT_FALSE;
    journalInMemory_ = false;
  }
  // Rewriting the header's user version with its own value commits a transaction that
  // syncs the journal and the whole database file, which holds every earlier commit.
  if (sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK)
    return VARIANT_FALSE;
  std::int64_t userVersion = 0;
  {
    Statement read(db_, "PRAGMA user_version");
    if (!read.Ok() || read.Step() != SQLITE_ROW) return VARIANT_FALSE;
    userVersion = read.Int64(0);
  }
  if (!Exec(("PRAGMA user_version=" + std::to_string(userVersion)).c_str())) {
    (void)sqlite3_exec(db_, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    return VARIANT_FALSE;
  }
  ForgetBlockRanges();
  syncDeferred_ = false;
  unsyncedChanges_ = false;
  return VARIANT_TRUE;
}

// ---- Holding a container against writers ----

// What a held container was when the hold began.
struct QVSQLiteDatabase::HeldState {
  std::int64_t dataVersion = 0;
  ContainerState state;
};

namespace {

// The token's fields that the file itself gives.
void SetFileFields(const ContainerState& state, QVDatabase::ChangeToken* token) {
  token->header = state.header;
  token->created = state.created;
  token->written = state.written;
  token->size = state.size;
}

bool ReadDataVersion(sqlite3* db, std::int64_t* version) {
  Statement read(db, "PRAGMA data_version");
  if (!read.Ok() || read.Step() != SQLITE_ROW) return false;
  *version = read.Int64(0);
  return true;
}

}  // namespace

VARIANT_BOOL QVSQLiteDatabase::BeginReadSnapshot() {
  if (snapshot_ || held_ || !BeginRead()) return VARIANT_FALSE;
  snapshot_ = true;
  snapshotState_.reset();
  return VARIANT_TRUE;
}

VARIANT_BOOL QVSQLiteDatabase::EndReadSnapshot() {
  if (!snapshot_) return VARIANT_FALSE;
  snapshot_ = false;
  snapshotState_.reset();
  Rollback();
  return VARIANT_TRUE;
}

VARIANT_BOOL QVSQLiteDatabase::HoldAgainstWriters() {
  if (db_ == nullptr || held_ || reading_ || batch_ != Batch::Off || syncDeferred_)
    return VARIANT_FALSE;
  // The write lock lets readers in but no other writer: one that waits for it fails after its
  // busy timeout, and one that gets it after this connection closed finds its file gone (a
  // connection opened before the delete cannot start a journal for a moved file). A file this
  // process may only read gets the read lock, which stops writers at their commit.
  const bool readOnly = sqlite3_db_readonly(db_, "main") == 1;
  if (!ExecKept(readOnly ? "BEGIN" : "BEGIN IMMEDIATE")) return VARIANT_FALSE;
  auto state = std::make_unique<HeldState>();
  {
    // Reading takes the read lock now, also in a deferred transaction.
    Statement read(db_, "SELECT count(*) FROM sqlite_master");
    if (!read.Ok() || read.Step() != SQLITE_ROW) {
      Rollback();
      return VARIANT_FALSE;
    }
  }
  if (!ReadDataVersion(db_, &state->dataVersion) ||
      !CurrentState(db_, path_, &state->state, false)) {
    Rollback();
    return VARIANT_FALSE;
  }
  held_ = true;
  heldState_ = std::move(state);
  return VARIANT_TRUE;
}

bool QVSQLiteDatabase::ReadChangeToken(ChangeToken* token) {
  if (db_ == nullptr) return false;
  // data_version moves on with every commit of another connection, also in write-ahead mode,
  // where the header's change counter stays; the file's identity tells a container replaced.
  // Reading the data version took the read lock.
  ContainerState state;
  if (!ReadDataVersion(db_, &token->dataVersion) || !ReadFileState(&state, true)) return false;
  SetFileFields(state, token);
  return true;
}

bool QVSQLiteDatabase::FileUnchangedSince(const ChangeToken& token) {
  // The data version needs a transaction; the header's commit counter tells the same.
  ChangeToken now = token;
  ContainerState state;
  if (db_ == nullptr || !CurrentState(db_, path_, &state, true)) return false;
  SetFileFields(state, &now);
  return now == token;
}

bool QVSQLiteDatabase::ReadFileState(ContainerState* state, bool underLock) {
  if (snapshotState_) {
    *state = *snapshotState_;
    return true;
  }
  if (!CurrentState(db_, path_, state, false)) return false;
  if (snapshot_ && underLock) snapshotState_ = *state;
  return true;
}

VARIANT_BOOL QVSQLiteDatabase::DeleteHeldFile() {
  if (db_ == nullptr || !held_) return VARIANT_FALSE;
  // The path must still name the file this connection holds (not one moved over it), and
  // that file must be as it was: no commit (data version, header) and no other write (size,
  // last-write time).
  int moved = 1;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK || moved != 0)
    return VARIANT_FALSE;
  HeldState now;
  if (!ReadDataVersion(db_, &now.dataVersion) || now.dataVersion != heldState_->dataVersion ||
      !CurrentState(db_, path_, &now.state, false) || !(now.state == heldState_->state))
    return VARIANT_FALSE;
  const bool writeAhead = IsJournalMode(db_, "wal");
  (void)SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!DeleteFileA(path_.c_str())) return VARIANT_FALSE;
  if (writeAhead) {
    // A container in write-ahead mode (another writer's) has two companion files, which its
    // last connection would remove on closing; they belong to nothing now.
    (void)DeleteFileA((path_ + "-wal").c_str());
    (void)DeleteFileA((path_ + "-shm").c_str());
  }
  ForgetBlockRanges();
  CloseConnection();
  path_.clear();
  return VARIANT_TRUE;
}
