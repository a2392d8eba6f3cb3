// Prepared statements of the container store (see SqliteStatement.h).
#include "container/SqliteStatement.h"

#include <cstring>

#include "suite/QvContainerFormat.h"

namespace container {

namespace {

thread_local int g_failStepCountdown = 0;

// Columns that "SELECT * FROM <table>" must yield for the table to be read by position; a
// table with fewer is not the format's and is not read at all.
int RequiredColumns(std::string_view sql) {
  constexpr std::string_view kSelectAll = "SELECT * FROM ";
  if (sql.substr(0, kSelectAll.size()) != kSelectAll) return 0;
  sql.remove_prefix(kSelectAll.size());
  const auto table = sql.substr(0, sql.find(' '));
  if (table == "FOLDER_INFO") return folder_info::kColumns;
  if (table == "FOLDER_OPTIONS") return folder_options::kCspName + 1;
  if (table == "FILE_INFO") return kVersion1FileInfoColumns;
  if (table == "FILE_DATA") return file_data::kData + 1;
  return 0;
}

sqlite3_stmt* Prepare(sqlite3* db, const char* sql, unsigned flags) {
  sqlite3_stmt* statement = nullptr;
  if (db == nullptr || sqlite3_prepare_v3(db, sql, -1, flags, &statement, nullptr) != SQLITE_OK ||
      sqlite3_column_count(statement) < RequiredColumns(sql)) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

}  // namespace

void FailStepForTest(int nth) { g_failStepCountdown = nth > 0 ? nth : 0; }

// ---- StatementCache ----

StatementCache::~StatementCache() {
  for (auto& [sql, entry] : entries_) sqlite3_finalize(entry.statement);
}

sqlite3_stmt* StatementCache::Take(const char* sql) {
  Entry& entry = entries_[sql];
  if (entry.inUse) return nullptr;
  if (entry.statement != nullptr && std::strcmp(sqlite3_sql(entry.statement), sql) != 0) {
    sqlite3_finalize(entry.statement);
    entry.statement = nullptr;
  }
  if (entry.statement == nullptr) {
    entry.statement = Prepare(db_, sql, SQLITE_PREPARE_PERSISTENT);
    if (entry.statement == nullptr) return nullptr;
  }
  entry.inUse = true;
  return entry.statement;
}

void StatementCache::Give(const char* sql, sqlite3_stmt* statement) {
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  const auto entry = entries_.find(sql);
  if (entry != entries_.end() && entry->second.statement == statement) entry->second.inUse = false;
}

// ---- Statement ----

Statement::Statement(sqlite3* db, const char* sql) : stmt_(Prepare(db, sql, 0)) {}

Statement::Statement(sqlite3* db, StatementCache* cache, const char* sql) {
  if (cache != nullptr && db != nullptr) stmt_ = cache->Take(sql);
  if (stmt_ != nullptr) {
    cache_ = cache;
    sql_ = sql;
  } else {
    stmt_ = Prepare(db, sql, 0);
  }
}

Statement::~Statement() {
  if (cache_ != nullptr)
    cache_->Give(sql_, stmt_);
  else
    sqlite3_finalize(stmt_);
}

bool Statement::BindBlob(int index, const void* data, std::size_t size) {
  if (size == 0) return sqlite3_bind_zeroblob(stmt_, index, 0) == SQLITE_OK;
  return sqlite3_bind_blob(stmt_, index, data, static_cast<int>(size), SQLITE_STATIC) == SQLITE_OK;
}

int Statement::Step() {
  if (g_failStepCountdown > 0 && --g_failStepCountdown == 0) return SQLITE_IOERR;
  return sqlite3_step(stmt_);
}

std::string Statement::Text(int column) const {
  if (column >= Columns()) return {};
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  if (text == nullptr) return {};
  return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

std::string_view Statement::Blob(int column) const {
  if (column >= Columns()) return {};
  const void* data = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr || size <= 0) return {};
  return std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

}  // namespace container
