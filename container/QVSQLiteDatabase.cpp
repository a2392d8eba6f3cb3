// The SQLite container store: every operation of QVDatabase against the container file.
//
// Writes run in one IMMEDIATE transaction each, so a failed step anywhere rolls the whole
// operation back. Reads that span several statements (extraction) run in one read
// transaction, which also keeps the file's header stable while the per-process block-range
// table is checked against it. Names and paths are bound as parameters, never spliced into
// statement texts.
#include "container/QVSQLiteDatabase.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "container/SqliteStatement.h"
#include "platform/FileTime.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Utf8.h"
#include "platform/ui/WindowApi.h"
#include "suite/QvContainerFormat.h"

using namespace container;

namespace {

// A connection waits this long for a lock another connection holds before giving up.
constexpr int kBusyTimeoutMs = 5000;
// Page size of new containers: large pages keep the overflow chains of 1 MiB blocks short.
// Readers of every SQLite 3 version accept it.
constexpr int kPageSize = 32768;

// The interface passes ids as unsigned 32-bit values; statements compare them as the signed
// 32-bit numbers the listings hand out (VT_I4).
int BoundId(DWORD id) { return static_cast<int>(static_cast<std::int32_t>(id)); }

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// ---- Names ----

// One file or folder name as it may appear on disk: not empty, not "." or "..", and without
// separators, NUL or control characters.
bool IsValidComponent(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

// A stored folder path: "\" followed by valid components separated by "\".
bool SplitStoredFolderPath(std::string_view stored, std::vector<std::string>* components) {
  components->clear();
  if (stored.size() < 2 || stored[0] != kStoredSeparator) return false;
  std::size_t start = 1;
  while (start <= stored.size()) {
    std::size_t end = stored.find(kStoredSeparator, start);
    if (end == std::string_view::npos) end = stored.size();
    const std::string_view part = stored.substr(start, end - start);
    if (!IsValidComponent(part)) return false;
    components->emplace_back(part);
    start = end + 1;
  }
  return !components->empty();
}

std::string LastNativeComponent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string NativeDirectory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool EndsWithNoCase(const std::string& text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    const char a = text[text.size() - suffix.size() + i];
    const char b = suffix[i];
    if (std::tolower(static_cast<unsigned char>(a)) != std::tolower(static_cast<unsigned char>(b)))
      return false;
  }
  return true;
}

std::string ToLowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The parent of a stored folder path: "\a" for "\a\b", "\" for "\a".
std::string StoredParent(const std::string& stored) {
  const std::size_t last = stored.rfind(kStoredSeparator);
  if (last == std::string::npos || last == 0) return std::string(1, kStoredSeparator);
  return stored.substr(0, last);
}

// A caller's directory without one trailing separator (a lone "/" stays).
std::string WithoutTrailingSeparator(std::string dir) {
  if (dir.size() > 1 && IsSeparator(dir.back())) dir.pop_back();
  return dir;
}

// ---- Times and file facts ----

std::array<unsigned char, 8> EncodeFileTime(const FILETIME& time) {
  std::array<unsigned char, 8> bytes{};
  const std::uint64_t ticks = FileTimeToTicks(time);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(ticks >> (8 * i));
  return bytes;
}

// A stored time blob; empty when it is not exactly 8 bytes.
std::optional<FILETIME> DecodeFileTime(std::string_view blob) {
  if (blob.size() != 8) return std::nullopt;
  std::uint64_t ticks = 0;
  for (int i = 7; i >= 0; --i) ticks = (ticks << 8) | static_cast<unsigned char>(blob[i]);
  return FileTimeFromTicks(ticks);
}

// A local FILETIME made UTC; empty when it cannot be converted.
std::optional<FILETIME> LocalToUtc(const FILETIME& local) {
  FILETIME utc{};
  if (!LocalFileTimeToFileTime(&local, &utc)) return std::nullopt;
  return utc;
}

std::optional<FILETIME> DosToUtc(WORD date, WORD time) {
  FILETIME local{};
  if (!DosDateTimeToFileTime(date, time, &local)) return std::nullopt;
  return LocalToUtc(local);
}

// What a folder had on disk, as its facts row keeps it.
struct FolderFacts {
  std::uint16_t mode = 0;
  timespec modified{}, accessed{};
};

constexpr unsigned char kFolderFactsMagic[4] = {'Q', 'V', 'F', 'A'};

std::array<unsigned char, kFolderFactsSize> EncodeFolderFacts(const struct stat& folder) {
  std::array<unsigned char, kFolderFactsSize> bytes{};
  std::size_t at = 0;
  const auto put = [&](std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) bytes[at++] = static_cast<unsigned char>(value >> (8 * i));
  };
  for (const unsigned char c : kFolderFactsMagic) bytes[at++] = c;
  put(1, 2);
  put(folder.st_mode & 0777, 2);
  for (const timespec& time : {folder.st_mtim, folder.st_atim}) {
    put(static_cast<std::uint64_t>(time.tv_sec), 8);
    put(static_cast<std::uint64_t>(time.tv_nsec), 4);
  }
  return bytes;
}

// A facts row's FOLDER_DATA; empty when it is not one this build writes.
std::optional<FolderFacts> DecodeFolderFacts(std::string_view blob) {
  if (blob.size() != kFolderFactsSize || std::memcmp(blob.data(), kFolderFactsMagic, 4) != 0)
    return std::nullopt;
  std::size_t at = 4;
  const auto get = [&](int size) {
    std::uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
      value = (value << 8) | static_cast<unsigned char>(blob[at + static_cast<std::size_t>(i)]);
    at += static_cast<std::size_t>(size);
    return value;
  };
  FolderFacts facts;
  if (get(2) != 1) return std::nullopt;
  facts.mode = static_cast<std::uint16_t>(get(2));
  if (facts.mode > 0777) return std::nullopt;
  for (timespec* time : {&facts.modified, &facts.accessed}) {
    time->tv_sec = static_cast<time_t>(static_cast<std::int64_t>(get(8)));
    time->tv_nsec = static_cast<long>(get(4));
    if (time->tv_nsec >= 1000000000) return std::nullopt;
  }
  return facts;
}

// What is stored about a plain file or folder, read from disk.
struct DiskFacts {
  LONG size = -1;  // low 32 bits of the size; -1 when nothing is found
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  FILETIME created{}, accessed{}, written{};  // local time
  WORD date = 0, time = 0;                    // MS-DOS form of `written`
};

DiskFacts ReadDiskFacts(const std::string& path) {
  DiskFacts facts;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return facts;
  facts.size = static_cast<LONG>(data.nFileSizeLow);
  facts.attributes = data.dwFileAttributes;
  const FILETIME utc[3] = {data.ftCreationTime, data.ftLastAccessTime, data.ftLastWriteTime};
  FILETIME* local[3] = {&facts.created, &facts.accessed, &facts.written};
  for (int i = 0; i < 3; ++i) {
    const FILETIME& source = FileTimeToTicks(utc[i]) == 0 ? utc[2] : utc[i];
    if (!FileTimeToLocalFileTime(&source, local[i])) *local[i] = source;
  }
  if (!FileTimeToDosDateTime(&facts.written, &facts.date, &facts.time)) {
    facts.date = 0;
    facts.time = 0;
  }
  return facts;
}

// ---- Files on disk ----

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

// An image opened for storing, with its size when opened (for the check that it was read
// whole); no file when it cannot be opened or is no regular file.
struct container::OpenedImage {
  UniqueFile file;
  std::uint64_t size = 0;
};

namespace {

OpenedImage OpenImage(const std::string& path) {
  OpenedImage image;
  // Without O_NONBLOCK, opening a pipe would wait for a writer; it is refused below.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return image;
  struct stat facts {};
  if (fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
    close(fd);
    return image;
  }
  image.file.reset(fdopen(fd, "rb"));
  if (image.file == nullptr) {
    close(fd);
    return image;
  }
  image.size = static_cast<std::uint64_t>(facts.st_size);
  return image;
}

// Opens an output file for whole blocks: each block goes to the file in one write, not cut
// into pieces of the stream's buffer.
UniqueFile OpenForBlocks(const std::string& path, const char* mode) {
  UniqueFile file(std::fopen(path.c_str(), mode));
  if (file) (void)std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

// Closes the file and reports whether everything written reached it.
bool CloseChecked(UniqueFile& file) {
  std::FILE* raw = file.release();
  return raw != nullptr && std::fclose(raw) == 0;
}

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

// Lets the calling thread's windows handle their messages between blocks.
void PumpPendingMessages() {
  MSG msg{};
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Put it back for the loop that owns it.
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// Applies the stored times to an extracted file; failures are not reported.
void ApplyStoredTimes(const std::string& path, DWORD version, WORD date, WORD time,
                      std::string_view modified, std::string_view accessed) {
  std::optional<FILETIME> write;
  std::optional<FILETIME> access;
  if (version == kSchemaVersion2) {
    if (const auto local = DecodeFileTime(modified)) write = LocalToUtc(*local);
    if (const auto local = DecodeFileTime(accessed)) access = LocalToUtc(*local);
  }
  if (!write) write = DosToUtc(date, time);
  (void)SetFileTimesA(path.c_str(), access ? &*access : nullptr, write ? &*write : nullptr);
}

// ---- Row arrays ----

// Rows collected in memory and handed to the caller as one SAFEARRAY of VARIANT with bounds
// {columns, rows}, so the caller's VARIANT is touched only when the listing succeeds.
class RowArray {
 public:
  explicit RowArray(int columns) : columns_(static_cast<std::size_t>(columns)) {}
  ~RowArray() {
    for (VARIANT& cell : cells_) (void)VariantClear(&cell);
  }
  RowArray(const RowArray&) = delete;
  RowArray& operator=(const RowArray&) = delete;

  void AddRow() { cells_.resize(cells_.size() + columns_, VARIANT{}); }
  std::size_t Rows() const { return cells_.size() / columns_; }
  void PutInt(int column, LONG value) {
    VARIANT& cell = Cell(column);
    cell.vt = VT_I4;
    cell.lVal = value;
  }
  [[nodiscard]] bool PutText(int column, std::string_view text) {
    BSTR value = SysAllocStringFromUtf8(text);
    if (value == nullptr) return false;
    VARIANT& cell = Cell(column);
    (void)VariantClear(&cell);
    cell.vt = VT_BSTR;
    cell.bstrVal = value;
    return true;
  }
  // Moves the rows into *out (cleared first unless empty). False when there is no row or
  // the array cannot be made; *out is untouched then.
  [[nodiscard]] bool MoveTo(VARIANT* out) {
    if (cells_.empty()) return false;
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(columns_), 0}, {static_cast<ULONG>(Rows()), 0}};
    SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
    if (array == nullptr) return false;
    if (SafeArrayGetElemsize(array) != sizeof(VARIANT)) {
      (void)SafeArrayDestroy(array);
      return false;
    }
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) {
      (void)SafeArrayDestroy(array);
      return false;
    }
    // Element {c, r} lives at r * columns + c, the order the cells were collected in; the
    // array takes over what the cells own.
    std::memcpy(data, cells_.data(), cells_.size() * sizeof(VARIANT));
    cells_.clear();
    (void)SafeArrayUnaccessData(array);
    if (out->vt != VT_EMPTY) (void)VariantClear(out);
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = array;
    return true;
  }

 private:
  VARIANT& Cell(int column) {
    return cells_[cells_.size() - columns_ + static_cast<std::size_t>(column)];
  }

  std::size_t columns_;
  std::vector<VARIANT> cells_;
};

// ---- Block ranges ----

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
  bool operator==(const ContainerState&) const = default;
};

// Per process: for each container path, where each file's blocks lie. Every use is checked
// against the container's current state, so a change by any connection, in this process or
// another, makes the entry useless rather than wrong.
class BlockRangeTable {
 public:
  static BlockRangeTable& Instance() {
    static BlockRangeTable table;
    return table;
  }

  enum class Answer { Unknown, NoBlocks, Found };
  Answer Find(const std::string& path, const ContainerState& state, std::int64_t fileId,
              std::vector<RowRange>* out) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto entry = entries_.find(path);
    if (entry == entries_.end() || !(entry->second.state == state)) return Answer::Unknown;
    entry->second.lastUse = ++clock_;
    const auto ranges = entry->second.ranges.find(fileId);
    if (ranges == entry->second.ranges.end()) return Answer::NoBlocks;
    *out = ranges->second;
    return Answer::Found;
  }

  void Put(const std::string& path, const ContainerState& state, BlockRanges ranges) {
    std::lock_guard<std::mutex> guard(lock_);
    if (entries_.size() >= kMaxContainers && entries_.find(path) == entries_.end()) {
      auto oldest = entries_.begin();
      for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if (it->second.lastUse < oldest->second.lastUse) oldest = it;
      entries_.erase(oldest);
    }
    entries_[path] = Entry{state, std::move(ranges), ++clock_};
  }

  void Forget(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.erase(path);
  }

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

// What the schema of an opened database says it is.
enum class Schema { NotContainer, Damaged, Unreadable, Version1, Version2 };

// The failure of a statement that could not read: a lock or the file itself (Unreadable),
// or bytes that are no database (Damaged).
Schema ReadFailure(sqlite3* db) {
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

}  // namespace

// ---- Transactions ----

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

// One FILE_INFO row as extraction needs it.
struct QVSQLiteDatabase::StoredFile {
  std::int64_t id = 0;
  std::int64_t folderId = 0;
  std::string name;
  WORD date = 0;
  WORD time = 0;
  std::string modified;
  std::string accessed;

  void Read(const Statement& row, DWORD version) {
    id = row.Int64(file_info::kId);
    folderId = row.Int64(file_info::kFolder);
    name = row.Text(file_info::kName);
    date = static_cast<WORD>(row.Int(file_info::kDate));
    time = static_cast<WORD>(row.Int(file_info::kTime));
    if (version == kSchemaVersion2) {
      modified = std::string(row.Blob(file_info::kModified));
      accessed = std::string(row.Blob(file_info::kAccessed));
    }
  }
};

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
  return db_ != nullptr && !held_ && SettleBatch() && ExecKept("BEGIN IMMEDIATE");
}

bool QVSQLiteDatabase::BeginRead() {
  // A held container reads inside the transaction that holds it.
  if (held_) return db_ != nullptr;
  return db_ != nullptr && SettleBatch() && ExecKept("BEGIN");
}

bool QVSQLiteDatabase::CommitWrite(bool keepsNameIndex) {
  if (!ExecKept("COMMIT")) {
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
  // The transaction that holds the container ends only with the connection.
  if (held_) return;
  // Not through the failure hook: a rollback must always happen.
  if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0)
    (void)sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  if (batch_ == Batch::Open) batch_ = Batch::Failed;
}

bool QVSQLiteDatabase::SettleBatch() {
  if (batch_ == Batch::Failed) return false;
  if (batch_ != Batch::Open) return true;
  batch_ = Batch::Idle;
  if (CommitWrite(true)) return true;
  batch_ = Batch::Failed;
  return false;
}

VARIANT_BOOL QVSQLiteDatabase::BeginBatchedAdds() {
  if (db_ == nullptr || !journalInMemory_ || batch_ != Batch::Off) return VARIANT_FALSE;
  batch_ = Batch::Idle;
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
  ConfigureConnection(false);
  // A file that is no database, or a database whose schema is not a container's, is not
  // opened: Open must not report success for what no operation can use.
  switch (ReadSchema(db_)) {
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
  if (!created) {
    Statement mode(db_, "PRAGMA journal_mode");
    if (!mode.Ok() || mode.Step() != SQLITE_ROW || ToLowerAscii(mode.Text(0)) != "delete") return;
  }
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
  syncDeferred_ = false;
  unsyncedChanges_ = false;
}

VARIANT_BOOL QVSQLiteDatabase::Close() {
  if (db_ == nullptr) return VARIANT_FALSE;
  const bool durable = !syncDeferred_ || !unsyncedChanges_ || Flush() == VARIANT_TRUE;
  CloseConnection();
  return durable ? VARIANT_TRUE : VARIANT_FALSE;
}

VARIANT_BOOL QVSQLiteDatabase::IsOpen() { return VARIANT_TRUE; }

DWORD QVSQLiteDatabase::GetVersion() { return schemaVersion_; }

VARIANT_BOOL QVSQLiteDatabase::Flush() {
  if (db_ == nullptr || !SettleBatch()) return VARIANT_FALSE;
  if (!syncDeferred_) return VARIANT_TRUE;
  // Adds are committed one by one again, each durable when it returns.
  batch_ = Batch::Off;
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

// ---- Adding and updating ----

LONG QVSQLiteDatabase::AddFile(std::string rootDir, std::string filePath, DWORD folderId,
                               BOOL replace) {
  return AddOne(rootDir, filePath, filePath, folderId, replace != FALSE);
}

LONG QVSQLiteDatabase::AddFileFromImage(std::string rootDir, std::string filePath,
                                        std::string imagePath, DWORD folderId, BOOL replace) {
  if (imagePath.empty()) return -1;
  return AddOne(rootDir, filePath, imagePath, folderId, replace != FALSE);
}

LONG QVSQLiteDatabase::AddOne(const std::string& rootDir, const std::string& filePath,
                              const std::string& imagePath, DWORD folderId, bool replace) {
  if (batch_ == Batch::Off) {
    if (!BeginWrite()) return -1;
    Transaction transaction(*this);
    const LONG result = AddFileInTransaction(rootDir, filePath, imagePath, folderId, replace);
    if (result < 0) return result;
    return transaction.Commit(true) ? result : -1;
  }
  if (batch_ == Batch::Failed) return -1;
  if (batch_ == Batch::Idle) {
    if (!BeginWrite()) return -1;
    batch_ = Batch::Open;
  }
  const std::int64_t changesBefore = sqlite3_total_changes64(db_);
  const LONG result = AddFileInTransaction(rootDir, filePath, imagePath, folderId, replace);
  // A failure that changed nothing leaves the batch as it was; one that did cannot be undone
  // alone, and SQLite itself ends the transaction on some errors (a full disk, I/O).
  if (sqlite3_get_autocommit(db_) != 0 ||
      (result < 0 && sqlite3_total_changes64(db_) != changesBefore)) {
    Rollback();
    batch_ = Batch::Failed;
    return -1;
  }
  return result;
}

LONG QVSQLiteDatabase::AddFileInTransaction(const std::string& rootDir, const std::string& filePath,
                                            const std::string& imagePath, DWORD folderId,
                                            bool replace) {
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
  }
  return AddFileEntry(static_cast<DWORD>(target), filePath, imagePath, replace);
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

LONG QVSQLiteDatabase::AddFileEntry(DWORD folderId, const std::string& entryPath,
                                    const std::string& imagePath, bool replace) {
  std::string name = LastNativeComponent(entryPath);
  // Its presence, its size and its bytes all come from this one opening.
  OpenedImage image = OpenImage(imagePath);
  const bool exists = image.file != nullptr;
  const bool marker = !exists && ToLowerAscii(name) == kEmptyFolderMarker;
  if (marker) name = kEmptyFolderMarker;
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
    std::string plainPath = entryPath;
    if (EndsWithNoCase(plainPath, kImageSuffix))
      plainPath.resize(plainPath.size() - std::strlen(kImageSuffix));
    facts = ReadDiskFacts(plainPath);
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
  if (!marker && !StoreBlocks(fileId, image)) return -1;
  // A walk stores a marker in every folder it enters: the folder's facts go with it.
  if (marker && !StoreFolderFacts(folderId, NativeDirectory(entryPath))) return -1;
  names->files[key].push_back(fileId);
  return static_cast<LONG>(fileId);
}

bool QVSQLiteDatabase::StoreFolderFacts(DWORD folderId, const std::string& diskFolder) {
  struct stat folder {};
  // A folder that cannot be read keeps no facts; its restore then uses the defaults.
  if (lstat(diskFolder.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return true;
  const auto facts = EncodeFolderFacts(folder);
  Statement insert(db_, statements_.get(),
                   "INSERT OR REPLACE INTO FOLDER_OPTIONS (FOLDER_ID,FOLDER_DATA,CSP_NAME) "
                   "values (?,?,NULL)");
  return insert.Ok() && insert.BindInt64(1, kFolderFactsIdBase + BoundId(folderId)) &&
         insert.BindBlob(2, facts.data(), static_cast<int>(facts.size())) && insert.StepDone();
}

bool QVSQLiteDatabase::StoreBlocks(std::int64_t fileId, const std::string& imagePath) {
  const OpenedImage image = OpenImage(imagePath);
  return StoreBlocks(fileId, image);
}

bool QVSQLiteDatabase::StoreBlocks(std::int64_t fileId, const OpenedImage& opened) {
  std::FILE* const image = opened.file.get();
  if (image == nullptr) return false;
  // One buffer of the image's size when it fits in one block, so a small image does not cost
  // a whole block of memory.
  const std::size_t bufferSize = static_cast<std::size_t>(
      std::min<std::uint64_t>(std::max<std::uint64_t>(opened.size, 1), kBlockSize));
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[bufferSize]);
  if (!buffer) return false;
  Statement insert(db_, statements_.get(),
                   "INSERT INTO FILE_DATA (FILE_ID,BLOCK_ID,BLOCK_DATA) values (?,?,?)");
  if (!insert.Ok()) return false;
  std::uint64_t total = 0;
  for (int block = 0;; ++block) {
    const std::size_t got = std::fread(buffer.get(), 1, bufferSize, image);
    if (std::ferror(image)) return false;
    if (got == 0) break;
    total += got;
    if (!insert.BindInt64(1, fileId) || !insert.BindInt(2, block) ||
        !insert.BindBlob(3, buffer.get(), got) || !insert.StepDone())
      return false;
    insert.Reset();
    if (got < kBlockSize) break;
  }
  // An image that shrank or grew while it was read is not stored as if it were whole.
  if (std::fgetc(image) != EOF || std::ferror(image)) return false;
  return total == opened.size;
}

VARIANT_BOOL QVSQLiteDatabase::UpdateFile(std::string filePath, DWORD folderId, DWORD fileId) {
  if (!BeginWrite()) return VARIANT_FALSE;
  Transaction transaction(*this);
  {
    Statement entry(db_, "SELECT * FROM FILE_INFO WHERE FILE_ID = ? AND FOLDER_ID = ?");
    if (!entry.Ok() || !entry.BindInt(1, BoundId(fileId)) || !entry.BindInt(2, BoundId(folderId)) ||
        entry.Step() != SQLITE_ROW)
      return VARIANT_FALSE;
  }
  std::string plainPath = filePath;
  if (EndsWithNoCase(plainPath, kImageSuffix))
    plainPath.resize(plainPath.size() - std::strlen(kImageSuffix));
  const DiskFacts facts = ReadDiskFacts(plainPath);
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
  if (!StoreBlocks(static_cast<std::int32_t>(fileId), filePath)) return VARIANT_FALSE;
  return transaction.Commit() ? VARIANT_TRUE : VARIANT_FALSE;
}

// ---- Deleting ----

bool QVSQLiteDatabase::DeleteFileRows(DWORD folderId, DWORD fileId, bool* found) {
  *found = false;
  {
    Statement entry(db_, "SELECT * FROM FILE_INFO WHERE FILE_ID = ? AND FOLDER_ID = ?");
    if (!entry.Ok() || !entry.BindInt(1, BoundId(fileId)) || !entry.BindInt(2, BoundId(folderId)))
      return false;
    const int rc = entry.Step();
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return false;
  }
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

// ---- Listings ----

VARIANT_BOOL QVSQLiteDatabase::GetSubFolders(DWORD parentId, VARIANT* out) {
  if (db_ == nullptr || out == nullptr) return VARIANT_FALSE;
  Statement rows(db_, "SELECT * FROM FOLDER_INFO WHERE PARENT_FOLDER_ID = ?");
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
                                         bool firstRowOnly, VARIANT* out) {
  if (db_ == nullptr || out == nullptr) return VARIANT_FALSE;
  Statement rows(db_, sql);
  if (!rows.Ok()) return VARIANT_FALSE;
  for (int i = 0; i < count; ++i)
    if (!rows.BindInt64(i + 1, params[i])) return VARIANT_FALSE;
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
  Statement row(db_, "SELECT * FROM FOLDER_OPTIONS WHERE FOLDER_ID = ?");
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
  if (!IsValidComponent(newName) || ToLowerAscii(name) == kEmptyFolderMarker) return VARIANT_FALSE;
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
  Statement update(db_, "UPDATE FOLDER_INFO SET FOLDER_NAME = ? WHERE FOLDER_ID = ?");
  if (!update.Ok()) return VARIANT_FALSE;
  for (const auto& [id, path] : renamed) {
    update.Reset();
    if (!update.BindText(1, path) || !update.BindInt64(2, id) || !update.StepDone())
      return VARIANT_FALSE;
  }
  return transaction.Commit() ? VARIANT_TRUE : VARIANT_FALSE;
}

// ---- Extraction ----

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
  {
    Statement row(db_, "SELECT * FROM FILE_INFO WHERE FILE_ID = ? AND FOLDER_ID = ?");
    if (!row.Ok() || !row.BindInt(1, BoundId(fileId)) || !row.BindInt(2, BoundId(folderId)) ||
        row.Step() != SQLITE_ROW)
      return VARIANT_FALSE;
    file.Read(row, schemaVersion_);
  }
  if (!IsValidComponent(file.name)) return VARIANT_FALSE;

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
    if (file.name == kEmptyFolderMarker) return VARIANT_TRUE;
  } else {
    outputDir = destDir;
    if (IsSeparator(outputDir.back())) outputDir.pop_back();
  }
  const std::string outputPath = outputDir + (outputDir == "/" ? "" : "/") + file.name;

  UniqueFile output = OpenForBlocks(outputPath, "wb");
  if (!output) return VARIANT_FALSE;
  const bool blocksWritten = WriteBlocks(file.id, output.get());
  if (!CloseChecked(output) || !blocksWritten) {
    // A short image is worse than none: it would look like a whole file.
    (void)DeleteFileA(outputPath.c_str());
    return VARIANT_FALSE;
  }
  ApplyStoredTimes(outputPath, schemaVersion_, file.date, file.time, file.modified, file.accessed);
  return VARIANT_TRUE;
}

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

// The header fields that change with commits and the identity of the file at `path`.
// `rollbackOnly`: false unless the container is in rollback-journal mode, the only mode that
// counts its commits in the header.
bool CurrentState(sqlite3* db, const std::string& path, ContainerState* state,
                  bool rollbackOnly = true) {
  unsigned char header[100] = {};
  if (!ReadHeader(db, header) || std::memcmp(header, "SQLite format 3", 16) != 0 ||
      (rollbackOnly && (header[18] != 1 || header[19] != 1)))
    return false;
  std::memcpy(state->header.data(), header + 24, state->header.size());
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  state->created = FileTimeToTicks(data.ftCreationTime);
  state->written = FileTimeToTicks(data.ftLastWriteTime);
  state->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
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

bool WriteBlob(std::FILE* output, std::string_view data) {
  return data.empty() || std::fwrite(data.data(), 1, data.size(), output) == data.size();
}

}  // namespace

bool QVSQLiteDatabase::WriteBlocks(std::int64_t fileId, std::FILE* output) {
  // Where the blocks lie, from the per-process table when it knows this container in its
  // current state; one scan of FILE_DATA otherwise, whose result is kept for the next file.
  BlockRangeTable& table = BlockRangeTable::Instance();
  std::vector<RowRange> ranges;
  auto answer = BlockRangeTable::Answer::Unknown;
  ContainerState state;
  if (CurrentState(db_, path_, &state)) {
    answer = table.Find(path_, state, fileId, &ranges);
    if (answer == BlockRangeTable::Answer::Unknown) {
      BlockRanges all;
      if (BuildBlockRanges(db_, &all)) {
        const auto found = all.find(fileId);
        if (found == all.end()) {
          answer = BlockRangeTable::Answer::NoBlocks;
        } else {
          ranges = found->second;
          answer = BlockRangeTable::Answer::Found;
        }
        table.Put(path_, state, std::move(all));
      }
    }
  }
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
        PumpPendingMessages();
        if (!WriteBlob(output, rows.Blob(1))) return false;
      }
      if (rc != SQLITE_DONE) return false;
    }
    return true;
  }
  Statement rows(db_, "SELECT * FROM FILE_DATA WHERE FILE_ID = ?");
  if (!rows.Ok() || !rows.BindInt64(1, fileId)) return false;
  int rc;
  while ((rc = rows.Step()) == SQLITE_ROW) {
    PumpPendingMessages();
    if (!WriteBlob(output, rows.Blob(file_data::kData))) return false;
  }
  return rc == SQLITE_DONE;
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
  const auto damaged = [this] {
    failure_ = Failure::Damaged;
    return VARIANT_FALSE;
  };

  std::unordered_map<std::int64_t, std::vector<std::string>> folderParts;
  {
    Statement rows(db_, "SELECT * FROM FOLDER_INFO");
    if (!rows.Ok()) return readFailed();
    int rc;
    while ((rc = rows.Step()) == SQLITE_ROW) {
      // A folder whose path cannot be restored is damage only when a file lies in it.
      std::vector<std::string> parts;
      if (SplitStoredFolderPath(rows.Text(folder_info::kName), &parts))
        folderParts.emplace(rows.Int64(folder_info::kId), std::move(parts));
    }
    if (rc != SQLITE_DONE) return readFailed();
  }
  std::vector<StoredFile> files;
  {
    Statement rows(db_, "SELECT * FROM FILE_INFO");
    if (!rows.Ok()) return readFailed();
    int rc;
    while ((rc = rows.Step()) == SQLITE_ROW) {
      // Ids and names of any other type are not what this system writes.
      if (rows.Type(file_info::kFolder) != SQLITE_INTEGER ||
          rows.Type(file_info::kName) != SQLITE_TEXT)
        return damaged();
      files.emplace_back();
      files.back().Read(rows, schemaVersion_);
    }
    if (rc != SQLITE_DONE) return readFailed();
  }
  const std::size_t total = files.size();

  // Every row is checked before anything is made: a row this system never writes is damage,
  // not something to restore. Each stored name is an image ("<plain name>.qvf", or the
  // marker), and no two rows may name the same file (through the same folder id or two
  // folder rows of the same path), or one would be written over the other.
  const std::vector<std::string> root;
  std::vector<const std::vector<std::string>*> fileParts(total);
  {
    std::unordered_set<std::string> seen;
    for (std::size_t i = 0; i < total; ++i) {
      const StoredFile& file = files[i];
      if (!IsValidComponent(file.name) || file.name.size() <= std::strlen(kImageSuffix) ||
          !EndsWithNoCase(file.name, kImageSuffix))
        return damaged();
      if (file.folderId == kRootFolderId) {
        fileParts[i] = &root;
      } else {
        const auto parts = folderParts.find(file.folderId);
        if (parts == folderParts.end()) return damaged();
        fileParts[i] = &parts->second;
      }
      std::string key;
      for (const std::string& part : *fileParts[i]) key += part + '/';
      if (!seen.insert(key + file.name).second) return damaged();
    }
  }
  failure_ = Failure::WriteFailed;
  if (progress && !progress(0, total)) return VARIANT_FALSE;

  const std::string base = WithoutTrailingSeparator(destDir);
  if (!EnsureCallerFolder(base)) return VARIANT_FALSE;
  const std::string joinBase = base == "/" ? std::string() : base;
  std::unordered_map<std::int64_t, std::string> folderDirs;
  std::vector<std::string> outputs(total);
  std::unordered_map<std::int64_t, std::size_t> byId;
  for (std::size_t i = 0; i < total; ++i) {
    const StoredFile& file = files[i];
    auto dir = folderDirs.find(file.folderId);
    if (dir == folderDirs.end()) {
      std::string made;
      if (!EnsureContainerFolders(joinBase, *fileParts[i], &made)) return VARIANT_FALSE;
      dir = folderDirs.emplace(file.folderId, made).first;
    }
    if (file.name == kEmptyFolderMarker) continue;
    outputs[i] = dir->second + "/" + file.name;
    byId.emplace(file.id, i);
  }

  std::vector<char> started(total, 0);
  std::vector<char> finished(total, 0);
  std::size_t done = 0;
  UniqueFile current;
  std::size_t currentIndex = total;
  const auto fail = [&]() {
    if (currentIndex < total) {
      current.reset();
      (void)DeleteFileA(outputs[currentIndex].c_str());
    }
    return VARIANT_FALSE;
  };
  const auto finishCurrent = [&]() {
    if (currentIndex == total) return true;
    if (!CloseChecked(current)) return false;
    if (!finished[currentIndex]) {
      finished[currentIndex] = 1;
      ++done;
      if (progress && !progress(done, total)) return false;
    }
    currentIndex = total;
    return true;
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
        current = OpenForBlocks(outputs[currentIndex], started[currentIndex] ? "ab" : "wb");
        if (!current) {
          currentIndex = total;
          return VARIANT_FALSE;
        }
        started[currentIndex] = 1;
      }
      PumpPendingMessages();
      if (!WriteBlob(current.get(), rows.Blob(file_data::kData))) return fail();
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
      UniqueFile empty(std::fopen(outputs[i].c_str(), "wb"));
      if (!empty || !CloseChecked(empty)) return VARIANT_FALSE;
    }
    ++done;
    if (progress && !progress(done, total)) return VARIANT_FALSE;
  }
  for (std::size_t i = 0; i < total; ++i)
    if (!outputs[i].empty())
      ApplyStoredTimes(outputs[i], schemaVersion_, files[i].date, files[i].time, files[i].modified,
                       files[i].accessed);
  failure_ = Failure::None;
  return VARIANT_TRUE;
}

// ---- Holding a container against writers ----

// What a held container was when the hold began.
struct QVSQLiteDatabase::HeldState {
  std::int64_t dataVersion = 0;
  ContainerState state;
};

namespace {

bool ReadDataVersion(sqlite3* db, std::int64_t* version) {
  Statement read(db, "PRAGMA data_version");
  if (!read.Ok() || read.Step() != SQLITE_ROW) return false;
  *version = read.Int64(0);
  return true;
}

}  // namespace

VARIANT_BOOL QVSQLiteDatabase::HoldAgainstWriters() {
  if (db_ == nullptr || held_ || batch_ != Batch::Off || syncDeferred_) return VARIANT_FALSE;
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
  bool writeAhead = false;
  {
    Statement mode(db_, "PRAGMA journal_mode");
    writeAhead = mode.Ok() && mode.Step() == SQLITE_ROW && ToLowerAscii(mode.Text(0)) == "wal";
  }
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
  constexpr int kFolderOnly = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  for (const Folder* folder : deepestFirst) {
    // Component by component, so a link put in place of a folder meanwhile leads nowhere.
    int fd = open(base.c_str(), kFolderOnly);
    for (const std::string& part : folder->parts) {
      if (fd < 0) break;
      const int next = openat(fd, part.c_str(), kFolderOnly);
      close(fd);
      fd = next;
    }
    if (fd < 0) continue;
    if (folder->facts) {
      (void)fchmod(fd, folder->facts->mode);
      const timespec times[2] = {folder->facts->accessed, folder->facts->modified};
      (void)futimens(fd, times);
    } else if (folder->written) {
      const std::int64_t ticks = static_cast<std::int64_t>(FileTimeToTicks(*folder->written));
      timespec times[2] = {};
      times[0].tv_nsec = UTIME_OMIT;
      times[1].tv_sec = static_cast<time_t>(
          ticks / static_cast<std::int64_t>(kFileTimeTicksPerSecond) - kFileTimeUnixEpochSeconds);
      (void)futimens(fd, times);
    }
    close(fd);
  }
  return VARIANT_TRUE;
}
