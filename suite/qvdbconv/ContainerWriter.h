// Writes a container of the current format (SQLite, schema version 2) into a new file.
//
// The four tables are created with the exact statements every container carries, and rows are
// written in the order the store itself writes them: folder rows, then per file its row and
// its 1 MiB content blocks in ascending order. Everything happens in one transaction without
// a journal: the file is a private temporary until the converter renames it into place.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "suite/QvContainerFormat.h"
#include "suite/qvdbconv/LegacyFormat.h"

namespace qvdbconv {

// Content blocks are cut at the container's block size; every block but a file's last is
// exactly this long.
inline constexpr std::size_t kBlockSize = container::kBlockSize;

class ContainerWriter {
 public:
  // Opens the (empty) file at `path` and creates the tables. Throws ConversionError
  // (kExitCannotWrite) on any failure, here and in every call below.
  explicit ContainerWriter(const std::string& path);
  ContainerWriter(const ContainerWriter&) = delete;
  ContainerWriter& operator=(const ContainerWriter&) = delete;
  ~ContainerWriter();

  void WriteOptions(const std::string& protection, const std::string& provider);
  void WriteFolder(const LegacyFolder& folder);
  // Starts a file: its row, and the block numbering of its content from 0.
  void BeginFile(const LegacyFile& file);
  // One content block of the current file.
  void WriteBlock(const std::uint8_t* data, std::size_t length);
  // Commits and closes the database.
  void Finish();

 private:
  void Open(const std::string& path);
  void Close();
  void Exec(const char* sql);
  sqlite3_stmt* Prepare(const char* sql);
  void Step(sqlite3_stmt* statement, const char* what);
  [[noreturn]] void Fail(const char* what);

  sqlite3* db_ = nullptr;
  sqlite3_stmt* folder_ = nullptr;
  sqlite3_stmt* file_ = nullptr;
  sqlite3_stmt* block_ = nullptr;
  std::uint32_t fileId_ = 0;
  std::uint32_t nextBlock_ = 0;
};

}  // namespace qvdbconv
