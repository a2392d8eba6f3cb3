// The per-process table of block ranges and the reads it is built and checked from (see
// BlockRanges.h).
#include "container/BlockRanges.h"

#include <sqlite3.h>

#include <cstring>

#include "container/SqliteStatement.h"
#include "platform/Files.h"
#include "suite/QvContainerFormat.h"

namespace container {

namespace {

// The first 100 bytes of the database file, read through the connection's own file handle
// (a second descriptor would drop the process's locks on the file when closed).
bool ReadHeader(sqlite3* db, unsigned char header[100]) {
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
      file == nullptr || file->pMethods == nullptr)
    return false;
  return file->pMethods->xRead(file, header, 100, 0) == SQLITE_OK;
}

}  // namespace

bool CurrentState(sqlite3* db, const std::string& path, ContainerState* state, bool rollbackOnly) {
  unsigned char header[100] = {};
  if (!ReadHeader(db, header) || std::memcmp(header, "SQLite format 3", 16) != 0) return false;
  state->rollbackJournal = header[18] == 1 && header[19] == 1;
  if (rollbackOnly && !state->rollbackJournal) return false;
  std::memcpy(state->header.data(), header + 24, state->header.size());
  FILETIME created{};
  FILETIME written{};
  ULONGLONG size = 0;
  if (!GetFileSizeAndTimesA(path.c_str(), &size, &created, nullptr, &written)) return false;
  state->created = FileTimeToTicks(created);
  state->written = FileTimeToTicks(written);
  state->size = size;
  return true;
}

bool BuildBlockRanges(sqlite3* db, BlockRanges* ranges) {
  {
    // Rowid order is the storage order only for the table as the format creates it.
    Statement schema(db, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?");
    if (!schema.Ok() || !schema.BindText(1, "FILE_DATA") || schema.Step() != SQLITE_ROW ||
        schema.Text(0) != kCreateStatements[3])
      return false;
  }
  Statement scan(db, "SELECT rowid, FILE_ID FROM FILE_DATA");
  if (!scan.Ok()) return false;
  bool inRun = false;
  std::int64_t runFile = 0;
  RowRange run{};
  int rc;
  while ((rc = scan.Step()) == SQLITE_ROW) {
    if (scan.Type(1) != SQLITE_INTEGER) return false;
    const std::int64_t rowid = scan.Int64(0);
    const std::int64_t file = scan.Int64(1);
    if (inRun && file == runFile) {
      run.last = rowid;
      continue;
    }
    if (inRun) (*ranges)[runFile].push_back(run);
    inRun = true;
    runFile = file;
    run = RowRange{rowid, rowid};
  }
  if (rc != SQLITE_DONE) return false;
  if (inRun) (*ranges)[runFile].push_back(run);
  return true;
}

BlockRangeTable& BlockRangeTable::Instance() {
  static BlockRangeTable table;
  return table;
}

BlockRangeTable::Answer BlockRangeTable::Find(const std::string& path, const ContainerState& state,
                                              std::int64_t fileId, std::vector<RowRange>* out) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto entry = entries_.find(path);
  if (entry == entries_.end() || !(entry->second.state == state)) return Answer::Unknown;
  entry->second.lastUse = ++clock_;
  const auto ranges = entry->second.ranges.find(fileId);
  if (ranges == entry->second.ranges.end()) return Answer::NoBlocks;
  *out = ranges->second;
  return Answer::Found;
}

void BlockRangeTable::Put(const std::string& path, const ContainerState& state,
                          BlockRanges ranges) {
  std::lock_guard<std::mutex> guard(lock_);
  if (entries_.size() >= kMaxContainers && entries_.find(path) == entries_.end()) {
    auto oldest = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
      if (it->second.lastUse < oldest->second.lastUse) oldest = it;
    entries_.erase(oldest);
  }
  entries_[path] = Entry{state, std::move(ranges), ++clock_};
}

void BlockRangeTable::Forget(const std::string& path) {
  std::lock_guard<std::mutex> guard(lock_);
  entries_.erase(path);
}

}  // namespace container
