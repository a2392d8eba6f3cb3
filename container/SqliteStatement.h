// Prepared SQLite statements as the container store uses them: a Statement steps, binds and
// reads columns by position; a StatementCache keeps the statements a connection runs for
// every stored file prepared for the connection's lifetime, so storing many small files does
// not compile the same texts again for each of them.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/WinTypes.h"

namespace container {

// Test hook of the store: the nth step from now on (1 = the next one) on the calling thread
// fails as an I/O error would; 0 disarms it.
void FailStepForTest(int nth);

// The statements a connection keeps prepared, one per statement text. A statement is handed
// to one Statement at a time; a nested use of the same text prepares its own.
class StatementCache {
 public:
  explicit StatementCache(sqlite3* db) : db_(db) {}
  ~StatementCache();
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;

  // The prepared statement of `sql`, a text that lives as long as the program (a literal);
  // null when it cannot be prepared or is in use.
  sqlite3_stmt* Take(const char* sql);
  // Resets the statement and makes it available again.
  void Give(const char* sql, sqlite3_stmt* statement);

 private:
  struct Entry {
    sqlite3_stmt* statement = nullptr;
    bool inUse = false;
  };
  sqlite3* db_;
  // Keyed by the text's address: the texts are literals, and each hit is checked against the
  // statement's own text.
  std::unordered_map<const char*, Entry> entries_;
};

class Statement {
 public:
  // A statement of its own, finalized with this object.
  Statement(sqlite3* db, const char* sql);
  Statement(sqlite3* db, const std::string& sql) : Statement(db, sql.c_str()) {}
  // A statement of `cache` (null: one of its own), given back reset with this object.
  Statement(sqlite3* db, StatementCache* cache, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool Ok() const { return stmt_ != nullptr; }

  bool BindInt(int index, int value) { return sqlite3_bind_int(stmt_, index, value) == SQLITE_OK; }
  bool BindInt64(int index, std::int64_t value) {
    return sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
  }
  bool BindText(int index, std::string_view text) {
    return sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT) == SQLITE_OK;
  }
  // The bytes must stay valid until the statement is stepped.
  bool BindBlob(int index, const void* data, std::size_t size);

  // SQLITE_ROW, SQLITE_DONE or an error. The test hook turns the chosen step into an error.
  int Step();
  bool StepDone() { return Step() == SQLITE_DONE; }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  int Columns() const { return sqlite3_column_count(stmt_); }
  // Columns out of range read as NULL, so a table with missing columns cannot be read past.
  int Type(int column) const {
    return column < Columns() ? sqlite3_column_type(stmt_, column) : SQLITE_NULL;
  }
  LONG Int(int column) const {
    return column < Columns() ? static_cast<LONG>(sqlite3_column_int(stmt_, column)) : 0;
  }
  std::int64_t Int64(int column) const {
    return column < Columns() ? sqlite3_column_int64(stmt_, column) : 0;
  }
  // The raw bytes of a text column (embedded NULs included); empty for NULL.
  std::string Text(int column) const;
  std::string_view Blob(int column) const;

 private:
  sqlite3_stmt* stmt_ = nullptr;
  StatementCache* cache_ = nullptr;
  const char* sql_ = nullptr;
};

}  // namespace container
