// What the parts of the SQLite container store share: the transaction guard, the index of
// entries by name, the failure of a read and ids as statements bind them. Included only by
// the store's own .cpp files.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "container/QVSQLiteDatabase.h"

namespace container {

// The interface passes ids as unsigned 32-bit values; statements compare them as the signed
// 32-bit numbers the listings hand out (VT_I4).
inline int BoundId(DWORD id) { return static_cast<int>(static_cast<std::int32_t>(id)); }

// What the schema of an opened database says it is.
enum class Schema { NotContainer, Damaged, Unreadable, Version1, Version2 };

// The failure of a statement that could not read: a lock or the file itself (Unreadable),
// or bytes that are no database (Damaged).
[[nodiscard]] Schema ReadFailure(sqlite3* db);

}  // namespace container

// Rolls back the transaction it guards unless Commit succeeded.
struct QVSQLiteDatabase::Transaction {
  explicit Transaction(QVSQLiteDatabase& store) : store(store) {}
  ~Transaction() {
    if (active) store.Rollback();
  }
  [[nodiscard]] bool Commit(bool keepsNameIndex = false) {
    active = false;
    return store.CommitWrite(keepsNameIndex);
  }
  QVSQLiteDatabase& store;
  bool active = true;
};

// FILE_INFO and FOLDER_INFO by name, so storing a file finds an entry of the same name and
// its folder without scanning the tables (they have no index, and the format has none). Built
// by one scan, kept up to date by this connection's own adds, and trusted only while no other
// connection has written the container since (PRAGMA data_version).
struct QVSQLiteDatabase::NameIndex {
  struct FileKey {
    std::int64_t folder;
    std::string name;
    bool operator==(const FileKey&) const = default;
  };
  struct FileKeyHash {
    std::size_t operator()(const FileKey& key) const {
      return std::hash<std::string>()(key.name) ^ (std::hash<std::int64_t>()(key.folder) << 1);
    }
  };
  // The FILE_IDs with each (FOLDER_ID, FILE_NAME), in rowid order.
  std::unordered_map<FileKey, std::vector<std::int64_t>, FileKeyHash> files;
  // The lowest FOLDER_ID with each FOLDER_NAME, the row a lookup by name finds first.
  std::unordered_map<std::string, std::int64_t> folders;
  std::int64_t dataVersion = 0;
};
