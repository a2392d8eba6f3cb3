// The SQLite side of the conversion: schema, rows and content blocks of a current container.
#include "suite/qvdbconv/ContainerWriter.h"

#include <cstring>

#include "platform/FileTime.h"
#include "suite/QvContainerFormat.h"

namespace qvdbconv {
namespace {

constexpr std::size_t kFileTimeBytes = 8;

// The 8-byte local FILETIME of an MS-DOS date and time (both local already). A date the
// earlier suite left invalid gives zero bytes, as the marker entries carry.
void DosToFileTimeBytes(std::uint16_t date, std::uint16_t time, std::uint8_t out[kFileTimeBytes]) {
  FILETIME ft{};
  const std::uint64_t ticks = DosDateTimeToFileTime(date, time, &ft) ? FileTimeToTicks(ft) : 0;
  for (std::size_t i = 0; i < kFileTimeBytes; ++i)
    out[i] = static_cast<std::uint8_t>((ticks >> (8 * i)) & 0xff);
}

// Binds text or a blob of any length; an empty value is bound as empty, not as NULL.
int BindBytes(sqlite3_stmt* statement, int index, const void* data, std::size_t length, bool text) {
  static const char kEmpty[1] = {0};
  const void* bytes = length == 0 ? kEmpty : data;
  return text ? sqlite3_bind_text64(statement, index, static_cast<const char*>(bytes), length,
                                    SQLITE_STATIC, SQLITE_UTF8)
              : sqlite3_bind_blob64(statement, index, bytes, length, SQLITE_STATIC);
}

}  // namespace

ContainerWriter::ContainerWriter(const std::string& path) {
  try {
    Open(path);
  } catch (...) {
    Close();
    throw;
  }
}

void ContainerWriter::Open(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
    Fail("cannot open the new container");
  // The file is private until it is renamed into place, and is discarded on any failure, so
  // neither a journal nor intermediate syncs protect anything; the converter syncs once.
  Exec("PRAGMA journal_mode=OFF");
  Exec("PRAGMA synchronous=OFF");
  Exec("BEGIN");
  for (const char* statement : container::kCreateStatements) Exec(statement);
  folder_ = Prepare(
      "INSERT INTO FOLDER_INFO(FOLDER_ID,FOLDER_NAME,PARENT_FOLDER_ID,FOLDER_ATTRIBS,FOLDER_DATE,"
      "FOLDER_TIME) VALUES(?,?,?,?,?,?)");
  file_ = Prepare(
      "INSERT INTO FILE_INFO(FILE_ID,FOLDER_ID,FILE_NAME,FILE_SIZE,FILE_DATE,FILE_TIME,"
      "FILE_ATTRIBS,FILE_MODIFIED_TIME,FILE_CREATED_TIME,FILE_ACCESSED_TIME) "
      "VALUES(?,?,?,?,?,?,?,?,?,?)");
  block_ = Prepare("INSERT INTO FILE_DATA(FILE_ID,BLOCK_ID,BLOCK_DATA) VALUES(?,?,?)");
}

ContainerWriter::~ContainerWriter() { Close(); }

void ContainerWriter::Close() {
  sqlite3_finalize(folder_);
  sqlite3_finalize(file_);
  sqlite3_finalize(block_);
  folder_ = file_ = block_ = nullptr;
  if (db_ != nullptr) sqlite3_close(db_);
  db_ = nullptr;
}

void ContainerWriter::WriteOptions(const std::string& protection, const std::string& provider) {
  sqlite3_stmt* statement =
      Prepare("INSERT INTO FOLDER_OPTIONS(FOLDER_ID,FOLDER_DATA,CSP_NAME) VALUES(0,?,?)");
  const bool bound =
      BindBytes(statement, 1, protection.data(), protection.size(), false) == SQLITE_OK &&
      BindBytes(statement, 2, provider.data(), provider.size(), true) == SQLITE_OK;
  const bool done = bound && sqlite3_step(statement) == SQLITE_DONE;
  sqlite3_finalize(statement);
  if (!done) Fail("cannot store the protection record");
}

void ContainerWriter::WriteFolder(const LegacyFolder& folder) {
  sqlite3_reset(folder_);
  if (sqlite3_bind_int64(folder_, 1, folder.id) != SQLITE_OK ||
      BindBytes(folder_, 2, folder.name.data(), folder.name.size(), true) != SQLITE_OK ||
      sqlite3_bind_int64(folder_, 3, folder.parentId) != SQLITE_OK ||
      sqlite3_bind_int64(folder_, 4, folder.attributes) != SQLITE_OK ||
      sqlite3_bind_int64(folder_, 5, folder.dosDate) != SQLITE_OK ||
      sqlite3_bind_int64(folder_, 6, folder.dosTime) != SQLITE_OK)
    Fail("cannot store a folder");
  Step(folder_, "cannot store a folder");
}

void ContainerWriter::BeginFile(const LegacyFile& file) {
  const bool marker = file.name == kEmptyFolderMarker;
  // The empty-folder marker is all zeros in the current format, whatever was recorded.
  std::uint8_t time[kFileTimeBytes] = {};
  if (!marker) DosToFileTimeBytes(file.dosDate, file.dosTime, time);
  sqlite3_reset(file_);
  if (sqlite3_bind_int64(file_, 1, file.id) != SQLITE_OK ||
      sqlite3_bind_int64(file_, 2, file.folderId) != SQLITE_OK ||
      BindBytes(file_, 3, file.name.data(), file.name.size(), true) != SQLITE_OK ||
      sqlite3_bind_int64(file_, 4, marker ? 0 : file.size) != SQLITE_OK ||
      sqlite3_bind_int64(file_, 5, marker ? 0 : file.dosDate) != SQLITE_OK ||
      sqlite3_bind_int64(file_, 6, marker ? 0 : file.dosTime) != SQLITE_OK ||
      sqlite3_bind_int64(file_, 7, marker ? 0 : file.attributes) != SQLITE_OK ||
      BindBytes(file_, 8, time, sizeof time, false) != SQLITE_OK ||
      BindBytes(file_, 9, time, sizeof time, false) != SQLITE_OK ||
      BindBytes(file_, 10, time, sizeof time, false) != SQLITE_OK)
    Fail("cannot store a file entry");
  Step(file_, "cannot store a file entry");
  fileId_ = file.id;
  nextBlock_ = 0;
}

void ContainerWriter::WriteBlock(const std::uint8_t* data, std::size_t length) {
  sqlite3_reset(block_);
  if (sqlite3_bind_int64(block_, 1, fileId_) != SQLITE_OK ||
      sqlite3_bind_int64(block_, 2, nextBlock_) != SQLITE_OK ||
      BindBytes(block_, 3, data, length, false) != SQLITE_OK)
    Fail("cannot store a content block");
  Step(block_, "cannot store a content block");
  ++nextBlock_;
}

void ContainerWriter::Finish() {
  sqlite3_finalize(folder_);
  sqlite3_finalize(file_);
  sqlite3_finalize(block_);
  folder_ = file_ = block_ = nullptr;
  Exec("COMMIT");
  const int rc = sqlite3_close(db_);
  db_ = nullptr;
  if (rc != SQLITE_OK) throw ConversionError(kExitCannotWrite, "closing the new container failed");
}

void ContainerWriter::Exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail("writing failed");
}

sqlite3_stmt* ContainerWriter::Prepare(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK)
    Fail("cannot prepare a statement");
  return statement;
}

void ContainerWriter::Step(sqlite3_stmt* statement, const char* what) {
  if (sqlite3_step(statement) != SQLITE_DONE) Fail(what);
}

void ContainerWriter::Fail(const char* what) {
  std::string message = std::string(what) + " in the new container";
  if (db_ != nullptr) message += std::string(" (") + sqlite3_errmsg(db_) + ")";
  throw ConversionError(kExitCannotWrite, message);
}

}  // namespace qvdbconv
