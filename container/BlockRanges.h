// Where each stored file's blocks lie, without an index on FILE_DATA: a per-process table
// maps each FILE_ID of a container to the rowid ranges of its blocks. It is built by one
// scan and trusted only while the container's header (change counter, size, free list) and
// file identity are unchanged, checked under the connection's read lock before every use,
// so a change by any connection, in this process or another, makes an entry useless rather
// than wrong.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;

namespace container {

// The rows [first, last] of FILE_DATA, in rowid order, all belonging to one file.
struct RowRange {
  std::int64_t first;
  std::int64_t last;
};
using BlockRanges = std::unordered_map<std::int64_t, std::vector<RowRange>>;

// What the block ranges were built from: the header fields that change with every commit
// (change counter, page count, free list, schema cookie) and the file's identity on disk:
// its creation time (a new file at the same path is another container) and its size and
// last-write time (bytes copied over it by something other than SQLite).
struct ContainerState {
  std::array<unsigned char, 20> header{};
  std::uint64_t created = 0;
  std::uint64_t written = 0;
  std::uint64_t size = 0;
  bool rollbackJournal = false;  // the only mode that counts commits in the header
  bool operator==(const ContainerState&) const = default;
};

// The header fields that change with commits and the identity of the file at `path`.
// `rollbackOnly`: false unless the container is in rollback-journal mode, the only mode that
// counts its commits in the header.
[[nodiscard]] bool CurrentState(sqlite3* db, const std::string& path, ContainerState* state,
                                bool rollbackOnly = true);

// One scan of FILE_DATA in rowid order; false when the table is not as the format creates it
// (only then is rowid order the storage order) or cannot be read.
[[nodiscard]] bool BuildBlockRanges(sqlite3* db, BlockRanges* ranges);

// Per process: for each container path, where each file's blocks lie.
class BlockRangeTable {
 public:
  static BlockRangeTable& Instance();

  enum class Answer { Unknown, NoBlocks, Found };
  [[nodiscard]] Answer Find(const std::string& path, const ContainerState& state,
                            std::int64_t fileId, std::vector<RowRange>* out);
  void Put(const std::string& path, const ContainerState& state, BlockRanges ranges);
  void Forget(const std::string& path);

 private:
  static constexpr std::size_t kMaxContainers = 8;
  struct Entry {
    ContainerState state;
    BlockRanges ranges;
    std::uint64_t lastUse = 0;
  };
  std::mutex lock_;
  std::unordered_map<std::string, Entry> entries_;
  std::uint64_t clock_ = 0;
};

}  // namespace container
