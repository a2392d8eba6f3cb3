// The SQLite container store against real container files: the schema it creates, how images
// become rows and blocks and back, version 1 containers, atomic operations under injected
// failures, lock waits, hostile names and damaged rows, and the per-process block ranges.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "container/BlockSink.h"
#include "container/ContainerReader.h"
#include "container/QVSQLiteDatabase.h"
#include "platform/FileTime.h"
#include "platform/Files.h"
#include "suite/QvContainerFormat.h"
#include "tests/common/TestRoot.h"

namespace fs = std::filesystem;

namespace {

// ---- Helpers ----

std::string Pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

using Table = std::vector<std::vector<std::string>>;

// A raw connection for looking at and tampering with a container behind the store's back.
class Raw {
 public:
  explicit Raw(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    sqlite3_busy_timeout(db_, 2000);
    sqlite3_exec(db_, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
  }
  ~Raw() { sqlite3_close(db_); }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << sql << ": " << (error ? error : "");
    sqlite3_free(error);
  }
  int ExecResult(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  }
  // Every value of every row as text; blobs as "blob:<size>:<hash>".
  Table Query(const std::string& sql) {
    Table rows;
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
    while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
      rows.emplace_back();
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        switch (sqlite3_column_type(stmt, c)) {
          case SQLITE_NULL:
            rows.back().push_back("NULL");
            break;
          case SQLITE_BLOB: {
            const std::string_view blob(static_cast<const char*>(sqlite3_column_blob(stmt, c)),
                                        static_cast<std::size_t>(sqlite3_column_bytes(stmt, c)));
            rows.back().push_back("blob:" + std::to_string(blob.size()) + ":" +
                                  std::to_string(std::hash<std::string_view>()(blob)));
            break;
          }
          default:
            rows.back().push_back(
                std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, c)),
                            static_cast<std::size_t>(sqlite3_column_bytes(stmt, c))));
        }
      }
    }
    sqlite3_finalize(stmt);
    return rows;
  }
  std::string One(const std::string& sql) {
    const auto rows = Query(sql);
    return rows.empty() || rows[0].empty() ? "<none>" : rows[0][0];
  }
  sqlite3* Get() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// Everything a container holds, for "nothing changed" checks.
std::string Snapshot(const std::string& path) {
  Raw raw(path);
  std::string all;
  for (const auto& table : raw.Query("SELECT name FROM sqlite_master ORDER BY name")) {
    all += "[" + table[0] + "]\n";
    for (const auto& row : raw.Query("SELECT * FROM \"" + table[0] + "\" ORDER BY rowid")) {
      for (const auto& value : row) all += value + "|";
      all += "\n";
    }
  }
  return all;
}

struct Cell {
  VARTYPE vt = VT_EMPTY;
  LONG number = 0;
  std::string text;
};
using Rows = std::vector<std::vector<Cell>>;

// Reads and releases a row array, checking its shape on the way.
Rows TakeRows(VARIANT& value) {
  Rows rows;
  EXPECT_EQ(value.vt, VT_ARRAY | VT_VARIANT);
  if (value.vt != (VT_ARRAY | VT_VARIANT)) return rows;
  SAFEARRAY* array = value.parray;
  EXPECT_EQ(SafeArrayGetDim(array), 2u);
  LONG lower = -1, columns = -1, count = -1;
  EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(SafeArrayGetLBound(array, 2, &lower), S_OK);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(SafeArrayGetUBound(array, 1, &columns), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(array, 2, &count), S_OK);
  for (LONG r = 0; r <= count; ++r) {
    rows.emplace_back();
    for (LONG c = 0; c <= columns; ++c) {
      LONG index[2] = {c, r};
      VARIANT cell{};
      EXPECT_EQ(SafeArrayGetElement(array, index, &cell), S_OK);
      Cell out;
      out.vt = cell.vt;
      if (cell.vt == VT_I4) out.number = cell.lVal;
      if (cell.vt == VT_BSTR) out.text = Utf8FromBstr(cell.bstrVal);
      EXPECT_EQ(VariantClear(&cell), S_OK);
      rows.back().push_back(out);
    }
  }
  EXPECT_EQ(VariantClear(&value), S_OK);
  return rows;
}

FILETIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  SYSTEMTIME st{year, month, 0, day, hour, minute, second, 0};
  FILETIME ft{};
  EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
  return ft;
}

void ExpectWrittenAt(const std::string& path, const FILETIME& written) {
  FILETIME write{};
  EXPECT_TRUE(GetFileTimesA(path.c_str(), nullptr, nullptr, &write));
  EXPECT_EQ(CompareFileTime(&written, &write), 0) << path;
}

// The names of the root's files as a connection of `store` lists them, sorted.
template <class Store>
std::vector<std::string> RootNames(Store& store) {
  std::vector<std::string> names;
  VARIANT out{};
  if (store.GetFiles(0, &out) != VARIANT_TRUE) return names;
  for (const auto& row : TakeRows(out)) names.push_back(row[2].text);
  std::sort(names.begin(), names.end());
  return names;
}

// A container made by raw statements of the given version, as older writers made it.
void CreateBare(const std::string& path, int version, const std::string& pragma = "") {
  Raw raw(path);
  if (!pragma.empty()) raw.Exec(pragma);
  for (int i = 0; i < 4; ++i)
    raw.Exec(i == 2 && version == 1 ? container::kCreateFileInfoVersion1
                                    : container::kCreateStatements[i]);
}

// Names in a folder, sorted, "/" after folders; an open container's journal is left out.
std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error))
    if (!entry.path().filename().string().ends_with("-journal"))
      names.push_back(entry.path().filename().string() +
                      (entry.is_directory() && !entry.is_symlink() ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

// Keeps every block a sink is given; refuses the block after `takes` of them.
struct CollectingSink : BlockSink {
  bool TakeBlock(std::string_view block) override {
    sizes.push_back(std::to_string(block.size()));
    if (sizes.size() > takes) return false;
    bytes.append(block);
    return true;
  }
  std::vector<std::string> sizes;
  std::string bytes;
  std::size_t takes = SIZE_MAX;
};

// While it lives, no file of this process grows past `bytes`: a write beyond fails (EFBIG)
// instead of raising the signal that would end the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &saved_), 0);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  }
  ~FileSizeLimit() {
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &saved_), 0);
    std::signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

class StoreTest : public RootedTest {
 protected:
  void SetUp() override {
    fs::create_directories(src_);
    ASSERT_EQ(db_.Open(container_, TRUE), VARIANT_TRUE);
  }

  // A plain file and its image below src_; returns the image path.
  std::string MakeImage(const std::string& relative, const std::string& content,
                        FILETIME written = At(2017, 3, 14, 15, 9, 26)) {
    const std::string plain = src_ + "/" + relative;
    fs::create_directories(fs::path(plain).parent_path());
    WriteTextFile(plain, "plain text of " + relative);
    EXPECT_TRUE(SetFileTimesA(plain.c_str(), &written, &written));
    WriteTextFile(plain + ".qvf", content);
    return plain + ".qvf";
  }
  LONG Add(const std::string& relative, const std::string& content, BOOL replace = FALSE) {
    return db_.AddFile(src_, MakeImage(relative, content), 0, replace);
  }
  Rows Files(DWORD folder) {
    VARIANT out{};
    if (db_.GetFiles(folder, &out) != VARIANT_TRUE) return {};
    return TakeRows(out);
  }
  std::string Extracted(DWORD folder, DWORD file) {
    const std::string dest = root_.Sub("out" + std::to_string(++extractions_));
    EXPECT_EQ(db_.ExtractFileTo(folder, file, dest + "/"), VARIANT_FALSE) << "no such folder yet";
    fs::create_directories(dest);
    if (db_.ExtractFileTo(folder, file, dest) != VARIANT_TRUE) return "<failed>";
    const auto names = Listing(dest);
    return names.size() == 1 ? ReadTextFile(dest + "/" + names[0])
                             : "<files: " + std::to_string(names.size()) + ">";
  }

  std::string container_ = root_.Sub("c.qvef");
  std::string src_ = root_.Sub("Plans");
  QVSQLiteDatabase db_;
  int extractions_ = 0;
};

// ---- Schema ----

TEST_F(StoreTest, NewContainerHoldsExactlyTheFourTablesOfTheFormat) {
  ASSERT_EQ(db_.Close(), VARIANT_TRUE);
  Raw raw(container_);
  const auto objects = raw.Query("SELECT type, name, sql FROM sqlite_master ORDER BY rowid");
  const Table expected = {
      {"table", "FOLDER_INFO",
       "CREATE TABLE FOLDER_INFO(FOLDER_ID INTEGER CONSTRAINT kt PRIMARY KEY AUTOINCREMENT,"
       "FOLDER_NAME TEXT,PARENT_FOLDER_ID INTEGER,FOLDER_ATTRIBS INTEGER,FOLDER_DATE INTEGER,"
       "FOLDER_TIME INTEGER)"},
      {"table", "sqlite_sequence", "CREATE TABLE sqlite_sequence(name,seq)"},
      {"table", "FOLDER_OPTIONS",
       "CREATE TABLE FOLDER_OPTIONS(FOLDER_ID INTEGER CONSTRAINT kt PRIMARY KEY,FOLDER_DATA "
       "BLOB,CSP_NAME TEXT)"},
      {"table", "FILE_INFO",
       "CREATE TABLE FILE_INFO(FILE_ID INTEGER CONSTRAINT kt PRIMARY KEY AUTOINCREMENT,"
       "FOLDER_ID INTEGER,FILE_NAME TEXT,FILE_SIZE INTEGER,FILE_DATE INTEGER,FILE_TIME "
       "INTEGER,FILE_ATTRIBS INTEGER,FILE_MODIFIED_TIME BLOB,FILE_CREATED_TIME BLOB,"
       "FILE_ACCESSED_TIME BLOB)"},
      {"table", "FILE_DATA",
       "CREATE TABLE FILE_DATA(FILE_ID INTEGER,BLOCK_ID INTEGER,BLOCK_DATA BLOB)"},
  };
  EXPECT_EQ(objects, expected);
  EXPECT_EQ(raw.One("PRAGMA page_size"), "32768");
  // Old readers need the rollback-journal file format and no journal left beside the file.
  const std::string header = ReadTextFile(container_).substr(0, 20);
  EXPECT_EQ(header.substr(0, 16), std::string("SQLite format 3\0", 16));
  EXPECT_EQ(header[18], 1);
  EXPECT_EQ(header[19], 1);
  EXPECT_FALSE(fs::exists(container_ + "-journal"));
}

// A missing file is created only when asked, and a creation that fails at any of its steps
// removes the new file.
TEST_F(StoreTest, OpenOfAMissingFileCreatesOnlyWhenAskedAndAFailedCreationLeavesNoFile) {
  QVSQLiteDatabase other;
  const std::string missing = root_.Sub("missing.qvef");
  EXPECT_EQ(other.Open(missing, FALSE), VARIANT_FALSE);
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_EQ(other.IsOpen(), VARIANT_TRUE) << "the store itself always answers TRUE";
  EXPECT_EQ(other.Close(), VARIANT_FALSE) << "nothing was open";
  EXPECT_EQ(other.Open(root_.Sub("no/such/folder/x.qvef"), TRUE), VARIANT_FALSE);
  int failures = 0;
  for (int step = 1; step < 50; ++step) {
    QVSQLiteDatabase store;
    QVSQLiteDatabase::FailStepForTest(step);
    const VARIANT_BOOL opened = store.Open(missing, TRUE);
    QVSQLiteDatabase::FailStepForTest(0);
    if (opened == VARIANT_TRUE) {
      EXPECT_EQ(store.GetVersion(), 2u);
      EXPECT_EQ(store.Close(), VARIANT_TRUE);
      break;
    }
    ++failures;
    EXPECT_FALSE(fs::exists(missing) || fs::exists(missing + "-journal")) << "step " << step;
  }
  EXPECT_GE(failures, 5) << "BEGIN, four CREATE TABLE and COMMIT can each fail";
  EXPECT_TRUE(fs::exists(missing));
}

// ---- Storing and reading back ----

TEST_F(StoreTest, ImagesAreCutIntoBlocksOfOneMebibyte) {
  const struct {
    std::size_t size;
    std::vector<std::string> blocks;
  } cases[] = {
      {0, {}},
      {1, {"1"}},
      {1048576, {"1048576"}},
      {1048577, {"1048576", "1"}},
      {3 * 1048576 + 5, {"1048576", "1048576", "1048576", "5"}},
  };
  Raw raw(container_);
  unsigned seed = 0;
  LONG last = 0;  // the file of four blocks
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string content = Pattern(c.size, ++seed);
    const LONG id = Add("f" + std::to_string(seed) + ".bin", content);
    ASSERT_GT(id, 0);
    last = id;
    std::vector<std::string> blocks;
    for (const auto& row : raw.Query("SELECT BLOCK_ID, length(BLOCK_DATA) FROM FILE_DATA WHERE "
                                     "FILE_ID = " +
                                     std::to_string(id) + " ORDER BY rowid")) {
      EXPECT_EQ(row[0], std::to_string(blocks.size()));
      blocks.push_back(row[1]);
    }
    EXPECT_EQ(blocks, c.blocks);
    EXPECT_TRUE(Extracted(0, static_cast<DWORD>(id)) == content) << "content differs";
    // A reader other than a file gets the same blocks through the same path.
    CollectingSink sink;
    ASSERT_EQ(db_.ExtractFileToSink(0, static_cast<DWORD>(id), sink), VARIANT_TRUE);
    EXPECT_EQ(sink.sizes, c.blocks);
    EXPECT_TRUE(sink.bytes == content);
  }
  // A sink that stops fails the extraction; so does a file that is not there.
  CollectingSink stopping;
  stopping.takes = 1;
  EXPECT_EQ(db_.ExtractFileToSink(0, static_cast<DWORD>(last), stopping), VARIANT_FALSE);
  EXPECT_EQ(stopping.sizes.size(), 2u) << "asked once more, then stopped";
  EXPECT_EQ(db_.ExtractFileToSink(0, 999, stopping), VARIANT_FALSE);
  EXPECT_EQ(db_.ExtractFileToSink(1, static_cast<DWORD>(last), stopping), VARIANT_FALSE)
      << "the file is not in that folder";
}

TEST_F(StoreTest, EntriesRecordTheirFolderNameSizeAndTimes) {
  const FILETIME written = At(2017, 3, 14, 15, 9, 26);
  ASSERT_GT(Add("Budget.xls", "image bytes"), 0);
  ASSERT_GT(Add("2017/Q1/Report.doc", "report image"), 0);
  Raw raw(container_);
  // "\2017" has no row: the file below \2017\Q1 makes only its own folder exist.
  EXPECT_EQ(raw.Query("SELECT FOLDER_ID, FOLDER_NAME, PARENT_FOLDER_ID, FOLDER_ATTRIBS & 16 "
                      "FROM FOLDER_INFO"),
            (Table{{"1", "\\2017\\Q1", "0", "16"}}));
  const auto rows = raw.Query(
      "SELECT FOLDER_ID, FILE_NAME, FILE_SIZE, FILE_DATE, FILE_TIME, "
      "hex(FILE_MODIFIED_TIME) FROM FILE_INFO ORDER BY FILE_ID");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0], "0");
  EXPECT_EQ(rows[0][1], "Budget.xls.qvf");
  EXPECT_EQ(rows[0][2], std::to_string(std::string("plain text of Budget.xls").size()))
      << "the size is the plain file's";
  EXPECT_EQ(rows[1][0], "1");
  EXPECT_EQ(rows[1][1], "Report.doc.qvf");

  FILETIME local{};
  ASSERT_TRUE(FileTimeToLocalFileTime(&written, &local));
  WORD date = 0, time = 0;
  ASSERT_TRUE(FileTimeToDosDateTime(&local, &date, &time));
  EXPECT_EQ(rows[0][3], std::to_string(date));
  EXPECT_EQ(rows[0][4], std::to_string(time));
  char hex[17];
  const std::uint64_t ticks = FileTimeToTicks(local);
  for (int i = 0; i < 8; ++i)
    std::snprintf(hex + 2 * i, 3, "%02X", static_cast<unsigned>((ticks >> (8 * i)) & 0xFF));
  EXPECT_EQ(rows[0][5], hex) << "local FILETIME, 8 bytes little-endian";

  // The listing gives the UTC time back in columns 4 and 5.
  const Rows listed = Files(0);
  ASSERT_EQ(listed.size(), 1u);
  ASSERT_EQ(listed[0].size(), 7u);
  EXPECT_EQ(listed[0][2].text, "Budget.xls.qvf");
  EXPECT_EQ(static_cast<DWORD>(listed[0][4].number), written.dwHighDateTime);
  EXPECT_EQ(static_cast<DWORD>(listed[0][5].number), written.dwLowDateTime);

  // Extraction restores the last-write time.
  const std::string dest = root_.Sub("restored");
  ASSERT_EQ(db_.ExtractFile(1, 2, dest), VARIANT_TRUE);
  EXPECT_EQ(ReadTextFile(dest + "/2017/Q1/Report.doc.qvf"), "report image");
  ExpectWrittenAt(dest + "/2017/Q1/Report.doc.qvf", written);
}

TEST_F(StoreTest, AnImageWrittenElsewhereIsStoredAsIfItLayBesideItsPlainFile) {
  const FILETIME written = At(2019, 6, 1, 8, 30, 0);
  const std::string plain = src_ + "/sub/Notes.txt";
  fs::create_directories(src_ + "/sub");
  WriteTextFile(plain, "the plain notes");
  ASSERT_TRUE(SetFileTimesA(plain.c_str(), &written, &written));
  const std::string image = root_.Sub("work/17.qvf");
  fs::create_directories(root_.Sub("work"));
  WriteTextFile(image, "image made elsewhere");

  const LONG id = db_.AddFileFromImage(src_, plain + ".qvf", image, 0, FALSE);
  ASSERT_GT(id, 0);
  EXPECT_FALSE(fs::exists(plain + ".qvf")) << "nothing is written beside the plain file";
  EXPECT_EQ(db_.AddFileFromImage(src_, plain + ".qvf", image, 0, FALSE), -2);
  EXPECT_EQ(db_.AddFileFromImage(src_, plain + ".qvf", root_.Sub("work/none.qvf"), 0, TRUE), -1);
  Raw raw(container_);
  EXPECT_EQ(raw.Query("SELECT FOLDER_NAME FROM FOLDER_INFO"), (Table{{"\\sub"}}));
  const auto rows = raw.Query("SELECT FILE_NAME, FILE_SIZE FROM FILE_INFO");
  ASSERT_EQ(rows.size(), 1u) << "the failed replacement kept the entry";
  EXPECT_EQ(rows[0][0], "Notes.txt.qvf");
  EXPECT_EQ(rows[0][1], std::to_string(std::string("the plain notes").size()));
  const std::string dest = root_.Sub("restored");
  ASSERT_EQ(db_.ExtractFile(1, static_cast<DWORD>(id), dest), VARIANT_TRUE);
  EXPECT_EQ(ReadTextFile(dest + "/sub/Notes.txt.qvf"), "image made elsewhere");
  ExpectWrittenAt(dest + "/sub/Notes.txt.qvf", written);
}

TEST_F(StoreTest, ReplacingNeedsConsentAndGivesANewId) {
  const LONG first = Add("a.txt", "old content");
  ASSERT_GT(first, 0);
  const std::string before = Snapshot(container_);
  EXPECT_EQ(Add("a.txt", "new content"), -2);
  EXPECT_EQ(Snapshot(container_), before);
  EXPECT_GT(Add("A.txt", "other case"), first) << "names compare case-sensitively";

  const LONG second = Add("a.txt", "new content", TRUE);
  EXPECT_GT(second, first);
  Raw raw(container_);
  EXPECT_EQ(raw.One("SELECT count(*) FROM FILE_DATA WHERE FILE_ID = " + std::to_string(first)),
            "0");
  EXPECT_EQ(raw.One("SELECT count(*) FROM FILE_INFO WHERE FILE_NAME = 'a.txt.qvf'"), "1");
  EXPECT_EQ(Extracted(0, static_cast<DWORD>(second)), "new content");
}

TEST_F(StoreTest, EmptyFolderMarkerMakesOnlyItsFolder) {
  fs::create_directories(src_ + "/empty/inner");
  EXPECT_EQ(db_.AddFile(src_, src_ + "/empty/inner/QVDUMMYFFFF.QVF", 0, FALSE), 1);
  EXPECT_EQ(db_.AddFile(src_, src_ + "/empty/inner/qvdummyffff.qvf", 0, FALSE), -2)
      << "the marker is stored in lower case, so the second one is a duplicate";
  EXPECT_EQ(db_.AddFile(src_, src_ + "/empty/missing.txt.qvf", 0, FALSE), -1);
  Raw raw(container_);
  EXPECT_EQ(raw.Query("SELECT FILE_NAME, FILE_SIZE, FILE_DATE, FILE_TIME, FILE_ATTRIBS, "
                      "hex(FILE_MODIFIED_TIME), hex(FILE_CREATED_TIME), hex(FILE_ACCESSED_TIME) "
                      "FROM FILE_INFO"),
            (Table{{"qvdummyffff.qvf", "0", "0", "0", "0", "0000000000000000", "0000000000000000",
                    "0000000000000000"}}));
  EXPECT_EQ(raw.One("SELECT count(*) FROM FILE_DATA"), "0");
  const std::string dest = root_.Sub("out");
  ASSERT_EQ(db_.ExtractFile(1, 1, dest + "/"), VARIANT_TRUE);
  EXPECT_EQ(Listing(dest), std::vector<std::string>{"empty/"});
  EXPECT_TRUE(Listing(dest + "/empty/inner").empty());
}

TEST_F(StoreTest, ImageOutsideTheRootIsStoredByNameInTheTargetFolder) {
  const std::string elsewhere = root_.Sub("elsewhere/deep/x.txt");
  fs::create_directories(fs::path(elsewhere).parent_path());
  WriteTextFile(elsewhere, "plain");
  WriteTextFile(elsewhere + ".qvf", "image");
  ASSERT_GT(Add("sub/keep.txt", "k"), 0);  // folder 1 = \sub
  EXPECT_GT(db_.AddFile(src_ + "/sub", elsewhere + ".qvf", 1, FALSE), 0);
  EXPECT_GT(db_.AddFile(src_ + "/su", src_ + "/sub/keep.txt.qvf", 0, FALSE), 0)
      << "a root that is a prefix of another folder's name is not that folder";
  Raw raw(container_);
  EXPECT_EQ(raw.Query("SELECT FOLDER_ID, FILE_NAME FROM FILE_INFO ORDER BY FILE_ID"),
            (Table{{"1", "keep.txt.qvf"}, {"1", "x.txt.qvf"}, {"0", "keep.txt.qvf"}}));
  EXPECT_EQ(raw.One("SELECT count(*) FROM FOLDER_INFO"), "1");
}

// Unrepresentable names, images that are no regular file, and folders deleted meanwhile are
// refused, and the refused add changes nothing.
TEST_F(StoreTest, RefusedAddsChangeNothing) {
  ASSERT_GT(Add("sub/a.txt", "a"), 0);
  ASSERT_EQ(db_.DeleteFolder(1), VARIANT_TRUE);
  const std::string pipe = src_ + "/pipe.txt.qvf";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  fs::create_directories(src_ + "/dir.txt.qvf");
  const std::string before = Snapshot(container_);
  for (const std::string relative : {"back\\slash.txt", "dir\\x/y.txt", "tab\there.txt"}) {
    SCOPED_TRACE(relative);
    EXPECT_EQ(Add(relative, "x"), -1);
  }
  EXPECT_EQ(db_.AddFile(src_, src_ + "/../Plans/x.qvf", 0, FALSE), -1);
  EXPECT_EQ(db_.AddFile(src_, pipe, 0, FALSE), -1) << "opening a pipe must not wait for a writer";
  EXPECT_EQ(db_.AddFile(src_, src_ + "/dir.txt.qvf", 0, FALSE), -1);
  // Below a folder that no longer exists: nothing goes into the root instead.
  EXPECT_EQ(db_.AddFile(src_ + "/sub", MakeImage("sub/b.txt", "b"), 1, FALSE), -1);
  EXPECT_EQ(db_.AddFile(src_ + "/sub", MakeImage("sub/deeper/c.txt", "c"), 1, FALSE), -1);
  EXPECT_EQ(Snapshot(container_), before);
}

TEST_F(StoreTest, UpdateReplacesBlocksAndRefreshesSizeAndTimes) {
  const LONG id = Add("doc.txt", Pattern(2 * 1048576 + 3, 1));
  ASSERT_GT(id, 0);
  Raw raw(container_);
  const std::string date = raw.One("SELECT FILE_DATE FROM FILE_INFO");
  const FILETIME later = At(2020, 1, 2, 3, 4, 6);
  const std::string image = MakeImage("doc.txt", "short now", later);
  WriteTextFile(src_ + "/doc.txt", "longer plain text than before");
  ASSERT_TRUE(SetFileTimesA((src_ + "/doc.txt").c_str(), &later, &later));
  ASSERT_EQ(db_.UpdateFile(image, 0, static_cast<DWORD>(id)), VARIANT_TRUE);
  EXPECT_EQ(raw.One("SELECT count(*) FROM FILE_DATA"), "1");
  EXPECT_EQ(raw.One("SELECT FILE_SIZE FROM FILE_INFO"), "29");
  EXPECT_EQ(raw.One("SELECT FILE_DATE FROM FILE_INFO"), date) << "version 2 keeps the first date";
  const Rows rows = Files(0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(static_cast<DWORD>(rows[0][4].number), later.dwHighDateTime);
  EXPECT_EQ(static_cast<DWORD>(rows[0][5].number), later.dwLowDateTime);
  EXPECT_EQ(Extracted(0, static_cast<DWORD>(id)), "short now");
  EXPECT_EQ(db_.UpdateFile(image, 1, static_cast<DWORD>(id)), VARIANT_FALSE) << "wrong folder";
  EXPECT_EQ(db_.UpdateFile(image, 0, 999), VARIANT_FALSE);
}

TEST_F(StoreTest, DeletingAFolderTakesItsTreeButTheRootKeepsItsFolders) {
  ASSERT_GT(Add("top.txt", "t"), 0);
  ASSERT_GT(Add("a/one.txt", Pattern(1048577, 3)), 0);  // folder 1 \a
  ASSERT_GT(Add("a/b/two.txt", "2"), 0);                // folder 2 \a\b
  ASSERT_GT(Add("c/three.txt", "3"), 0);                // folder 3 \c
  EXPECT_EQ(db_.DeleteFolder(1), VARIANT_TRUE);
  Raw raw(container_);
  EXPECT_EQ(raw.Query("SELECT FOLDER_NAME FROM FOLDER_INFO"), (Table{{"\\c"}}));
  EXPECT_EQ(raw.Query("SELECT FILE_NAME FROM FILE_INFO ORDER BY FILE_ID"),
            (Table{{"top.txt.qvf"}, {"three.txt.qvf"}}));
  EXPECT_EQ(raw.One("SELECT count(*) FROM FILE_DATA WHERE FILE_ID NOT IN (SELECT FILE_ID FROM "
                    "FILE_INFO)"),
            "0");
  EXPECT_EQ(db_.DeleteFolder(0), VARIANT_TRUE);
  EXPECT_EQ(raw.Query("SELECT FILE_NAME FROM FILE_INFO"), (Table{{"three.txt.qvf"}}));
  EXPECT_EQ(db_.DeleteFile(3, 999), VARIANT_FALSE);
}

TEST_F(StoreTest, TheFilesOfSeveralFoldersAreListedTogetherInStoreOrder) {
  ASSERT_GT(Add("a/one.txt", "1"), 0);  // folder 1 \a
  ASSERT_GT(Add("b/two.txt", "2"), 0);  // folder 2 \b
  ASSERT_GT(Add("a/three.txt", "3"), 0);
  ASSERT_GT(Add("c/four.txt", "4"), 0);  // folder 3 \c
  ASSERT_GT(Add("top.txt", "t"), 0);
  const auto names = [this](const std::vector<DWORD>& folders) {
    std::vector<std::string> listed;
    VARIANT out{};
    if (db_.GetFilesOfFolders(folders, &out) != VARIANT_TRUE) return listed;
    for (const auto& row : TakeRows(out)) listed.push_back(row[2].text);
    return listed;
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(names({3, 1}), (Names{"one.txt.qvf", "three.txt.qvf", "four.txt.qvf"}));
  EXPECT_EQ(names({0, 2}), (Names{"two.txt.qvf", "top.txt.qvf"}));
  EXPECT_EQ(names({7}), Names{});
}

TEST_F(StoreTest, ParentCycleDoesNotRecurseForever) {
  ASSERT_GT(Add("x/f.txt", "f"), 0);  // folder 1
  ASSERT_GT(Add("y/g.txt", "g"), 0);  // folder 2
  ASSERT_GT(Add("root.txt", "r"), 0);
  Raw raw(container_);
  raw.Exec("UPDATE FOLDER_INFO SET PARENT_FOLDER_ID = 2 WHERE FOLDER_ID = 1");
  raw.Exec("UPDATE FOLDER_INFO SET PARENT_FOLDER_ID = 1 WHERE FOLDER_ID = 2");
  raw.Exec("INSERT INTO FOLDER_INFO VALUES (3, '\\self', 3, 16, 0, 0)");
  EXPECT_EQ(db_.DeleteFolder(1), VARIANT_TRUE);
  EXPECT_EQ(db_.DeleteFolder(3), VARIANT_TRUE);
  EXPECT_EQ(raw.One("SELECT count(*) FROM FOLDER_INFO"), "0");
  EXPECT_EQ(raw.Query("SELECT FILE_NAME FROM FILE_INFO"), (Table{{"root.txt.qvf"}}));
}

TEST_F(StoreTest, RenamingAFolderKeepsItInPlaceAndMovesItsSubfolders) {
  ASSERT_GT(Add("a/b/f.txt", "f"), 0);      // 1 \a\b
  ASSERT_GT(Add("a/b/c/g.txt", "g"), 0);    // 2 \a\b\c
  ASSERT_GT(Add("a/bx/h.txt", "h"), 0);     // 3 \a\bx (shares a prefix, not a subfolder)
  ASSERT_GT(Add("a/taken/i.txt", "i"), 0);  // 4 \a\taken
  EXPECT_EQ(db_.RenameFolder("taken", 1), VARIANT_FALSE) << "a sibling has that name";
  EXPECT_EQ(db_.RenameFolder("n/m", 1), VARIANT_FALSE);
  EXPECT_EQ(db_.RenameFolder("..", 1), VARIANT_FALSE);
  EXPECT_EQ(db_.RenameFolder("new", 42), VARIANT_FALSE);
  // The root has no stored name: renaming it succeeds and changes no row.
  Raw raw(container_);
  const auto folderRowsBefore = raw.Query("SELECT * FROM FOLDER_INFO ORDER BY FOLDER_ID");
  EXPECT_EQ(db_.RenameFolder("new", 0), VARIANT_TRUE);
  EXPECT_EQ(db_.RenameFolder("n/m", 0), VARIANT_FALSE);
  EXPECT_EQ(raw.Query("SELECT * FROM FOLDER_INFO ORDER BY FOLDER_ID"), folderRowsBefore);
  std::string rootName;
  EXPECT_EQ(db_.GetFolderName(0, rootName), VARIANT_TRUE);
  EXPECT_EQ(rootName, "RootFolder");
  EXPECT_EQ(db_.RenameFolder("new", 1), VARIANT_TRUE);
  EXPECT_EQ(raw.Query("SELECT FOLDER_NAME FROM FOLDER_INFO ORDER BY FOLDER_ID"),
            (Table{{"\\a\\new"}, {"\\a\\new\\c"}, {"\\a\\bx"}, {"\\a\\taken"}}));
  const std::string dest = root_.Sub("out");
  ASSERT_EQ(db_.ExtractFile(2, 2, dest), VARIANT_TRUE);
  EXPECT_EQ(ReadTextFile(dest + "/a/new/c/g.txt.qvf"), "g");
}

TEST_F(StoreTest, RenamingAFileRefusesTakenNamesAndMissingEntriesAndQuotesAreNoSpecialCase) {
  const LONG a = Add("a.txt", "a");
  const LONG b = Add("b.txt", "b");
  EXPECT_EQ(db_.RenameFile("b.txt", 0, static_cast<DWORD>(a)), VARIANT_FALSE);
  EXPECT_EQ(db_.RenameFile("c.txt", 0, 999), VARIANT_FALSE) << "no row changed";
  EXPECT_EQ(db_.RenameFile("c.txt", 1, static_cast<DWORD>(a)), VARIANT_FALSE) << "wrong folder";
  EXPECT_EQ(db_.RenameFile("../c.txt", 0, static_cast<DWORD>(a)), VARIANT_FALSE);
  EXPECT_EQ(db_.RenameFile("qvdummyffff", 0, static_cast<DWORD>(a)), VARIANT_FALSE);
  EXPECT_EQ(db_.RenameFile("a.txt", 0, static_cast<DWORD>(a)), VARIANT_TRUE) << "its own name";
  EXPECT_EQ(db_.RenameFile("c.txt", 0, static_cast<DWORD>(b)), VARIANT_TRUE);
  const Rows rows = Files(0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][2].text + " " + rows[1][2].text, "a.txt.qvf c.txt.qvf");

  const LONG id = Add("it's a 'file'.txt", "quoted");
  ASSERT_GT(id, 0);
  EXPECT_EQ(Add("it's a 'file'.txt", "again"), -2) << "found again by its name";
  EXPECT_EQ(db_.RenameFile("O'Brien's notes", 0, static_cast<DWORD>(id)), VARIANT_TRUE);
  EXPECT_EQ(RootNames(db_),
            (std::vector<std::string>{"O'Brien's notes.qvf", "a.txt.qvf", "c.txt.qvf"}));
  EXPECT_EQ(db_.DeleteFile(0, static_cast<DWORD>(id)), VARIANT_TRUE);
  EXPECT_EQ(RootNames(db_), (std::vector<std::string>{"a.txt.qvf", "c.txt.qvf"}));
}

TEST_F(StoreTest, FolderOptionsRoundTripAndSurviveOddRows) {
  const BYTE record[] = {0, 1, 2, 0xFF, 0};
  ASSERT_EQ(db_.SetFolderOptions(0, record, sizeof record, "Provider"), VARIANT_TRUE);
  ASSERT_EQ(db_.SetFolderOptions(0, record, 3, "Second"), VARIANT_TRUE);
  Raw raw(container_);
  EXPECT_EQ(raw.One("SELECT count(*) FROM FOLDER_OPTIONS"), "1");

  const auto read = [&](std::string* csp) -> std::string {
    BYTE* data = nullptr;
    DWORD size = 12345;
    char name[1024];
    std::memset(name, 'x', sizeof name);
    if (db_.GetFolderOptions(0, &data, &size, name) != VARIANT_TRUE) return "<false>";
    EXPECT_NE(data, nullptr);
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::free(data);
    *csp = std::string(name, strnlen(name, sizeof name));
    EXPECT_LT(csp->size(), sizeof name) << "terminated";
    return bytes;
  };
  std::string csp;
  EXPECT_EQ(read(&csp), std::string("\0\1\2", 3));
  EXPECT_EQ(csp, "Second");

  raw.Exec("UPDATE FOLDER_OPTIONS SET CSP_NAME = NULL, FOLDER_DATA = NULL");
  EXPECT_EQ(read(&csp), "");
  EXPECT_EQ(csp, "");
  raw.Exec("UPDATE FOLDER_OPTIONS SET CSP_NAME = '" + std::string(2000, 'n') + "'");
  read(&csp);
  EXPECT_EQ(csp, std::string(1023, 'n'));
  raw.Exec("DELETE FROM FOLDER_OPTIONS");
  EXPECT_EQ(read(&csp), "<false>");
  EXPECT_EQ(db_.SetFolderOptions(0, nullptr, 4, "x"), VARIANT_FALSE);
}

// Each walked folder's mode and exact times go with its marker into a facts row beside the
// protection record; a new record keeps them, a deleted folder takes its row along, and a
// restore gives them back deepest first. A folder without a row takes its MS-DOS time; rows
// of names the extraction refuses touch nothing.
TEST_F(StoreTest, FolderFactsAreKeptBesideTheRecordAndComeBackAfterARestore) {
  const struct {
    const char* relative;
    mode_t mode;
    timespec modified;
  } folders[] = {
      {"", 0710, {1300000001, 5}}, {"/a", 0700, {170000001, 0}}, {"/a/b", 0750, {4000000001, 999}}};
  const mode_t old = umask(022);
  const std::string image = MakeImage("a/b/f.txt", "image");
  for (const auto& f : folders) {
    const std::string path = src_ + f.relative;
    ASSERT_EQ(chmod(path.c_str(), f.mode), 0);
    const timespec times[2] = {f.modified, f.modified};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  ASSERT_GT(db_.AddFile(src_, image, 0, FALSE), 0);
  for (const auto& f : folders) {
    const std::string path = src_ + f.relative;
    ASSERT_GT(db_.AddFile(src_, path + "/" + container::kEmptyFolderMarker, 0, FALSE), 0) << path;
  }
  const BYTE record[] = {1, 2, 3};
  ASSERT_EQ(db_.SetFolderOptions(0, record, sizeof record, "csp"), VARIANT_TRUE);
  Raw raw(container_);
  const std::string facts =
      "FROM FOLDER_OPTIONS WHERE FOLDER_ID >= " + std::to_string(container::kFolderFactsIdBase);
  EXPECT_EQ(raw.One("SELECT count(*) " + facts), "3");
  EXPECT_EQ(raw.One("SELECT count(*) FROM FOLDER_OPTIONS"), "4");

  // A hostile row may name a folder outside the destination; it is never applied.
  raw.Exec("INSERT INTO FOLDER_INFO (FOLDER_NAME,PARENT_FOLDER_ID) VALUES ('\\..',0)");
  raw.Exec("INSERT INTO FOLDER_OPTIONS SELECT FOLDER_ID + " +
           std::to_string(container::kFolderFactsIdBase) + ", (SELECT FOLDER_DATA " + facts +
           " LIMIT 1), NULL FROM FOLDER_INFO WHERE "
           "FOLDER_NAME = '\\..'");
  const std::string b = raw.One("SELECT FOLDER_ID FROM FOLDER_INFO WHERE FOLDER_NAME = '\\a\\b'");
  raw.Exec("DELETE FROM FOLDER_OPTIONS WHERE FOLDER_ID = " +
           std::to_string(container::kFolderFactsIdBase + std::stoll(b)));

  const std::string dest = root_.Sub("restored");
  fs::create_directories(dest);
  ASSERT_EQ(chmod(root_.Sub("").c_str(), 0755), 0);
  ASSERT_EQ(db_.ExtractAllTo(dest, nullptr), VARIANT_TRUE);
  ASSERT_EQ(db_.RestoreFolderFacts(dest), VARIANT_TRUE);
  const auto facts_of = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
  };
  for (const auto& f : folders) {
    SCOPED_TRACE(f.relative);
    const struct stat st = facts_of(dest + f.relative);
    if (std::string(f.relative) == "/a/b") {
      // From FOLDER_DATE/FOLDER_TIME: two-second steps, and the mode the folder was made with.
      EXPECT_EQ(st.st_mtim.tv_sec, f.modified.tv_sec - 1);
      EXPECT_EQ(st.st_mode & 07777, 0755u);
    } else {
      EXPECT_EQ(st.st_mode & 07777, f.mode);
      EXPECT_EQ(st.st_mtim.tv_sec, f.modified.tv_sec);
      EXPECT_EQ(st.st_mtim.tv_nsec, f.modified.tv_nsec);
    }
  }
  EXPECT_EQ(facts_of(root_.Sub("")).st_mode & 07777, 0755u);

  // A folder replaced by a link before the facts come back is not followed.
  const std::string again = root_.Sub("again");
  fs::create_directories(again);
  ASSERT_EQ(db_.ExtractAllTo(again, nullptr), VARIANT_TRUE);
  fs::rename(again + "/a", root_.Sub("moved"));
  fs::create_directory_symlink(root_.Sub("moved"), again + "/a");
  const struct stat before = facts_of(root_.Sub("moved/b"));
  ASSERT_EQ(db_.RestoreFolderFacts(again), VARIANT_TRUE);
  EXPECT_EQ(facts_of(root_.Sub("moved")).st_mode & 07777, 0755u);
  EXPECT_EQ(facts_of(root_.Sub("moved/b")).st_mtim.tv_sec, before.st_mtim.tv_sec);

  const std::string a = raw.One("SELECT FOLDER_ID FROM FOLDER_INFO WHERE FOLDER_NAME = '\\a'");
  ASSERT_EQ(db_.DeleteFolder(static_cast<DWORD>(std::stoul(a))), VARIANT_TRUE);
  EXPECT_EQ(raw.One("SELECT count(*) " + facts), "2") << "the root's and the hostile row's";
  umask(old);
}

// ---- Version 1 ----

TEST_F(StoreTest, Version1ContainersAreReadAndWrittenWithoutTimeBlobs) {
  ASSERT_EQ(db_.Close(), VARIANT_TRUE);
  fs::remove(container_);
  CreateBare(container_, 1);
  ASSERT_EQ(db_.Open(container_, FALSE), VARIANT_TRUE);
  EXPECT_EQ(db_.GetVersion(), 1u);
  const FILETIME written = At(2009, 6, 30, 12, 0, 10);
  const LONG id = db_.AddFile(src_, MakeImage("note.txt", "old image", written), 0, FALSE);
  ASSERT_GT(id, 0);
  EXPECT_EQ(db_.AddFile(src_, src_ + "/QVDUMMYFFFF.QVF", 0, FALSE), id + 1);
  FILETIME local{};
  ASSERT_TRUE(FileTimeToLocalFileTime(&written, &local));
  WORD date = 0, time = 0;
  ASSERT_TRUE(FileTimeToDosDateTime(&local, &date, &time));
  VARIANT out{};
  ASSERT_EQ(db_.GetFileInfo(0, static_cast<DWORD>(id), &out), VARIANT_TRUE);
  const Rows rows = TakeRows(out);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][4].number, date) << "version 1 lists the MS-DOS date";
  EXPECT_EQ(rows[0][5].number, time);

  const std::string image = MakeImage("note.txt", "updated image", written);
  ASSERT_EQ(db_.UpdateFile(image, 0, static_cast<DWORD>(id)), VARIANT_TRUE);
  const std::string dest = root_.Sub("out");
  ASSERT_EQ(db_.ExtractFile(0, static_cast<DWORD>(id), dest), VARIANT_TRUE);
  EXPECT_EQ(ReadTextFile(dest + "/note.txt.qvf"), "updated image");
  ExpectWrittenAt(dest + "/note.txt.qvf", written);  // the MS-DOS time, in 2-second steps
  ASSERT_EQ(db_.Close(), VARIANT_TRUE);
  Raw raw(container_);
  EXPECT_EQ(raw.One("SELECT count(*) FROM pragma_table_info('FILE_INFO')"), "7")
      << "never converted to version 2";
  EXPECT_EQ(raw.One("SELECT FILE_SIZE FROM FILE_INFO WHERE FILE_ID = " + std::to_string(id)),
            std::to_string(std::string("plain text of note.txt").size()));
}

// ---- Atomicity ----

// Runs `operation` with the nth SQLite step failing, for n = 1, 2, ... until it succeeds, and
// checks after every failure that the container is exactly as before. Returns the number of
// failures seen.
int ExpectAtomic(const std::string& container, const std::function<bool()>& operation) {
  int failures = 0;
  for (int step = 1; step < 400; ++step) {
    const std::string before = Snapshot(container);
    QVSQLiteDatabase::FailStepForTest(step);
    const bool succeeded = operation();
    QVSQLiteDatabase::FailStepForTest(0);
    if (succeeded) return failures;
    ++failures;
    EXPECT_EQ(Snapshot(container), before) << "changed by a failure at step " << step;
  }
  ADD_FAILURE() << "never succeeded";
  return failures;
}

TEST_F(StoreTest, EveryWriteIsAllOrNothingUnderInjectedFailuresAndUnreadableImages) {
  const LONG kept = Add("keep.txt", "kept");
  ASSERT_GT(kept, 0);
  // A replacement that cannot be read keeps the stored copy: a folder where the image should
  // be opens, but every read fails; an image may also vanish.
  const std::string before = Snapshot(container_), unreadable = src_ + "/keep.txt.qvf";
  fs::remove(unreadable);
  fs::create_directories(unreadable);
  EXPECT_EQ(db_.AddFile(src_, unreadable, 0, TRUE), -1);
  EXPECT_EQ(db_.UpdateFile(unreadable, 0, static_cast<DWORD>(kept)), VARIANT_FALSE);
  fs::remove(unreadable);
  EXPECT_EQ(db_.UpdateFile(unreadable, 0, static_cast<DWORD>(kept)), VARIANT_FALSE) << "vanished";
  EXPECT_EQ(Snapshot(container_), before);
  EXPECT_EQ(Extracted(0, static_cast<DWORD>(kept)), "kept");

  ASSERT_GT(Add("a/b/old.txt", Pattern(2 * 1048576 + 1, 5)), 0);  // id 2, folder 1
  const BYTE record[] = {9, 8, 7};
  ASSERT_EQ(db_.SetFolderOptions(0, record, 3, "csp"), VARIANT_TRUE);
  const std::string replacement = MakeImage("a/b/old.txt", Pattern(1048576 + 7, 6));
  const std::string fresh = MakeImage("a/b/c/new.txt", Pattern(3 * 1048576, 7));
  const BYTE other[] = {1, 2, 3, 4};

  const struct {
    const char* what;
    std::function<bool()> run;
  } operations[] = {
      {"add into a new folder", [&] { return db_.AddFile(src_, fresh, 0, FALSE) > 0; }},
      {"add with replace", [&] { return db_.AddFile(src_, replacement, 0, TRUE) > 0; }},
      {"update", [&] { return db_.UpdateFile(fresh, 2, 3) == VARIANT_TRUE; }},
      {"folder options",
       [&] { return db_.SetFolderOptions(0, other, sizeof other, "other") == VARIANT_TRUE; }},
      {"rename file", [&] { return db_.RenameFile("renamed", 0, 1) == VARIANT_TRUE; }},
      {"rename folder", [&] { return db_.RenameFolder("bee", 1) == VARIANT_TRUE; }},
      {"delete file", [&] { return db_.DeleteFile(0, 1) == VARIANT_TRUE; }},
      {"delete folder", [&] { return db_.DeleteFolder(1) == VARIANT_TRUE; }},
  };
  for (const auto& op : operations) {
    SCOPED_TRACE(op.what);
    EXPECT_GE(ExpectAtomic(container_, op.run), 3);
  }
  Raw raw(container_);
  EXPECT_EQ(raw.One("SELECT count(*) FROM FILE_INFO"), "0");
  EXPECT_EQ(raw.One("SELECT hex(FOLDER_DATA) || CSP_NAME FROM FOLDER_OPTIONS"), "01020304other");
}

// ---- Locks ----

TEST_F(StoreTest, WaitsForAnotherConnectionsLockAndGivesUpAfterAFewSeconds) {
  Raw other(container_);
  other.Exec("BEGIN IMMEDIATE");
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    other.Exec("COMMIT");
  });
  EXPECT_GT(Add("waited.txt", "w"), 0) << "the lock was released within the wait";
  release.join();

  other.Exec("BEGIN IMMEDIATE");
  const std::string image = MakeImage("refused.txt", "r");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(db_.AddFile(src_, image, 0, FALSE), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << "bounded";
  other.Exec("ROLLBACK");
  Raw raw(container_);
  EXPECT_EQ(raw.One("SELECT count(*) FROM FILE_INFO"), "1");
}

// ---- Holding a container against writers ----

TEST_F(StoreTest, AHeldContainerKeepsWritersOutUntilItIsDeleted) {
  ASSERT_GT(Add("kept.txt", "kept"), 0);
  ASSERT_EQ(db_.Close(), VARIANT_TRUE);
  QVSQLiteDatabase held;
  ASSERT_EQ(held.Open(container_, FALSE), VARIANT_TRUE);
  ASSERT_EQ(held.HoldAgainstWriters(), VARIANT_TRUE);
  // A connection opened before the delete, as another process's view would have it.
  Raw writer(container_);
  sqlite3_busy_timeout(writer.Get(), 0);
  const std::string insert =
      "INSERT INTO FILE_INFO (FOLDER_ID, FILE_NAME) VALUES (0, 'added meanwhile.qvf')";
  // Kept out from its first write, not only at its commit: a writer that had written before
  // the delete would otherwise commit into the deleted file once the holder is gone.
  EXPECT_EQ(writer.ExecResult("BEGIN IMMEDIATE"), SQLITE_BUSY) << "a writer is kept out";
  EXPECT_EQ(writer.ExecResult(insert), SQLITE_BUSY);
  EXPECT_EQ(writer.One("SELECT FILE_NAME FROM FILE_INFO"), "kept.txt.qvf") << "readers are not";
  // The holder reads (one read transaction inside the hold) and cannot write.
  ASSERT_EQ(held.ExtractAllTo(root_.Sub("out"), nullptr), VARIANT_TRUE);
  EXPECT_EQ(ReadTextFile(root_.Sub("out/kept.txt.qvf")), "kept");
  EXPECT_EQ(held.AddFile(src_, MakeImage("late.txt", "late"), 0, FALSE), -1);
  EXPECT_EQ(held.RenameFolder("renamed", 0), VARIANT_FALSE) << "nothing is written while held";

  ASSERT_EQ(held.DeleteHeldFile(), VARIANT_TRUE);
  EXPECT_EQ(Listing(root_.Path()),
            (std::vector<std::string>{"Plans/", "out/", "root/", "run/", "tmp/"}))
      << "the container or a companion file is left";
  // The writer that waited gets the lock now, but its write cannot reach the deleted file and
  // fails instead of seeming to succeed.
  EXPECT_NE(writer.ExecResult(insert), SQLITE_OK);
  EXPECT_FALSE(fs::exists(container_));

  // A container another writer gave its write-ahead journal leaves no companion file either.
  ASSERT_EQ(QVSQLiteDatabase().Open(container_, TRUE), VARIANT_TRUE);
  Raw(container_).Exec("PRAGMA journal_mode=WAL");
  QVSQLiteDatabase wal;
  ASSERT_EQ(wal.Open(container_, FALSE), VARIANT_TRUE);
  ASSERT_EQ(wal.HoldAgainstWriters(), VARIANT_TRUE);
  ASSERT_TRUE(fs::exists(container_ + "-wal"));
  ASSERT_EQ(wal.DeleteHeldFile(), VARIANT_TRUE);
  EXPECT_EQ(Listing(root_.Path()),
            (std::vector<std::string>{"Plans/", "out/", "root/", "run/", "tmp/"}));
}

TEST_F(StoreTest, AHeldContainerIsNotDeletedWhenItChanged) {
  ASSERT_GT(Add("a.txt", "a"), 0);
  ASSERT_EQ(db_.Close(), VARIANT_TRUE);
  const std::string original = ReadTextFile(container_);
  const struct {
    const char* what;
    std::function<void()> change;
  } cases[] = {
      {"another file moved over it",
       [&] {
         WriteTextFile(root_.Sub("other"), "someone else's file");
         fs::rename(root_.Sub("other"), container_);
       }},
      {"bytes written in place",
       [&] {
         std::FILE* file = std::fopen(container_.c_str(), "ab");
         ASSERT_NE(file, nullptr);
         std::fputs("appended", file);
         std::fclose(file);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteTextFile(container_, original);
    QVSQLiteDatabase held;
    ASSERT_EQ(held.Open(container_, FALSE), VARIANT_TRUE);
    ASSERT_EQ(held.HoldAgainstWriters(), VARIANT_TRUE);
    const std::string before = (c.change(), ReadTextFile(container_));
    EXPECT_EQ(held.DeleteHeldFile(), VARIANT_FALSE);
    ASSERT_TRUE(fs::exists(container_));
    EXPECT_TRUE(ReadTextFile(container_) == before);
    (void)held.Close();
    EXPECT_TRUE(ReadTextFile(container_) == before);
  }
  QVSQLiteDatabase unheld;
  WriteTextFile(container_, original);
  ASSERT_EQ(unheld.Open(container_, FALSE), VARIANT_TRUE);
  EXPECT_EQ(unheld.DeleteHeldFile(), VARIANT_FALSE) << "only a held container is deleted";
  EXPECT_TRUE(fs::exists(container_));
}

// ---- Hostile containers ----

// Only the schema the format creates opens: anything else in it could change what reads
// return or what they cost (a generated column computed for every row read, a trigger, a
// view, an index that changes the order), so such a file is refused untouched, as is a file
// that is no container at all, and every operation on it fails.
TEST(StoreSchemaTest, OnlyTheFormatsOwnTablesOpenAndEveryOperationOnAnythingElseFails) {
  TestRoot root;
  const std::string good = root.Sub("good.qvef"), image = root.Sub("x.qvf");
  WriteTextFile(image, "image");
  {
    QVSQLiteDatabase db;
    ASSERT_EQ(db.Open(good, TRUE), VARIANT_TRUE);
    ASSERT_GT(db.AddFile(root.Path(), image, 0, FALSE), 0);
  }
  const std::string goodBytes = ReadTextFile(good);
  ASSERT_GT(goodBytes.size(), 40000u) << "the truncated case would be whole";
  const auto replacing = [](int table, const std::string& sql) {
    return std::string("DROP TABLE ") + container::kTableNames[static_cast<std::size_t>(table)] +
           "; " + sql;
  };
  // The file: `text` as its bytes, `text` run on a copy of the good container, or `text` run
  // on a new database.
  enum class Made { Bytes, FromGood, FromEmpty };
  using F = QVDatabase::Failure;
  const struct {
    const char* what;
    Made made;
    std::string text;
    std::optional<F> failure;  // none for a file that is no database
  } cases[] = {
      {"generated column", Made::FromGood,
       replacing(3,
                 "CREATE TABLE FILE_DATA(FILE_ID INTEGER,BLOCK_ID INTEGER,BLOCK_DATA BLOB "
                 "GENERATED ALWAYS AS (zeroblob(1000000000)) VIRTUAL)"),
       F::Damaged},
      {"trigger", Made::FromGood,
       "CREATE TRIGGER t AFTER DELETE ON FILE_INFO BEGIN INSERT INTO FILE_DATA VALUES "
       "(old.FILE_ID, 0, X'00'); END",
       F::Damaged},
      {"view", Made::FromGood, "CREATE VIEW v AS SELECT * FROM FILE_INFO", F::Damaged},
      {"index", Made::FromGood, "CREATE INDEX i ON FILE_DATA(FILE_ID, BLOCK_ID DESC)", F::Damaged},
      {"extra table", Made::FromGood, "CREATE TABLE extra(x)", F::Damaged},
      {"added column", Made::FromGood, "ALTER TABLE FILE_INFO ADD COLUMN EXTRA BLOB", F::Damaged},
      {"other text", Made::FromGood,
       replacing(1,
                 "CREATE TABLE FOLDER_OPTIONS(FOLDER_ID INTEGER PRIMARY KEY,FOLDER_DATA BLOB,"
                 "CSP_NAME TEXT)"),
       F::Damaged},
      {"missing table", Made::FromGood, "DROP TABLE FILE_DATA", F::Damaged},
      {"no container tables", Made::FromGood,
       "DROP TABLE FILE_DATA; DROP TABLE FILE_INFO; DROP TABLE FOLDER_INFO; DROP TABLE "
       "FOLDER_OPTIONS; CREATE TABLE T(a)",
       F::NotAContainer},
      {"random bytes", Made::Bytes, Pattern(5000, 9), std::nullopt},
      {"empty", Made::Bytes, "", std::nullopt},
      {"truncated", Made::Bytes, goodBytes.substr(0, 40000), std::nullopt},
      {"other tables", Made::FromEmpty, "CREATE TABLE T(a,b); INSERT INTO T VALUES (1,2);",
       F::NotAContainer},
      {"missing FILE_DATA", Made::FromEmpty,
       std::string(container::kCreateStatements[0]) + ";" + container::kCreateStatements[1] + ";" +
           container::kCreateStatements[2] + ";",
       F::Damaged},
      {"wrong column types", Made::FromEmpty,
       "CREATE TABLE FOLDER_INFO(x); CREATE TABLE FOLDER_OPTIONS(y); CREATE TABLE FILE_INFO(z); "
       "CREATE TABLE FILE_DATA(w) ; INSERT INTO FILE_INFO VALUES ('a'); "
       "INSERT INTO FILE_DATA VALUES (X'00');",
       F::Damaged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = root.Sub(std::string(c.what) + ".qvef");
    WriteTextFile(path, c.made == Made::Bytes ? c.text : c.made == Made::FromGood ? goodBytes : "");
    if (c.made != Made::Bytes) Raw(path).Exec(c.text);
    const std::string before = ReadTextFile(path);
    QVSQLiteDatabase db;
    EXPECT_EQ(db.Open(path, FALSE), VARIANT_FALSE);
    EXPECT_TRUE(!c.failure || db.LastFailure() == *c.failure) << int(db.LastFailure());
    VARIANT out{};
    EXPECT_EQ(db.GetAllFiles(&out), VARIANT_FALSE);
    EXPECT_EQ(db.GetFiles(0, &out), VARIANT_FALSE);
    EXPECT_EQ(db.GetSubFolders(0, &out), VARIANT_FALSE);
    EXPECT_EQ(db.GetFileInfo(0, 1, &out), VARIANT_FALSE);
    EXPECT_EQ(out.vt, VT_EMPTY);
    BYTE* data = nullptr;
    DWORD size = 0;
    char csp[1024] = {};
    EXPECT_EQ(db.GetFolderOptions(0, &data, &size, csp), VARIANT_FALSE);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(db.ExtractFile(0, 1, root.Sub("dest")), VARIANT_FALSE);
    EXPECT_EQ(db.ExtractAllTo(root.Sub("dest2"), nullptr), VARIANT_FALSE);
    EXPECT_EQ(db.AddFile(root.Path(), image, 0, TRUE), -1);
    EXPECT_EQ(db.UpdateFile(image, 0, 1), VARIANT_FALSE);
    EXPECT_EQ(db.DeleteFile(0, 1), VARIANT_FALSE);
    EXPECT_EQ(db.RenameFile("n", 0, 1), VARIANT_FALSE);
    EXPECT_EQ(db.RenameFolder("n", 1), VARIANT_FALSE);
    EXPECT_EQ(db.RenameFolder("n", 0), VARIANT_FALSE) << "nothing could be renamed";
    // The root's name needs no connection.
    std::string rootName;
    EXPECT_EQ(db.GetFolderName(0, rootName), VARIANT_TRUE);
    EXPECT_EQ(rootName, "RootFolder");
    EXPECT_EQ(db.GetFolderName(1, rootName), VARIANT_FALSE);
    const BYTE record[] = {1};
    EXPECT_EQ(db.SetFolderOptions(0, record, 1, "c"), VARIANT_FALSE);
    (void)db.Close();
    EXPECT_TRUE(ReadTextFile(path) == before) << "changed by a refused open or failed operations";
    if (c.made != Made::FromGood) continue;

    // The same change made under a connection kept for reading is caught before it reads
    // again.
    const std::string kept = root.Sub(std::string(c.what) + "-kept.qvef");
    WriteTextFile(kept, goodBytes);
    QVDatabase reading;
    ASSERT_EQ(reading.OpenForReading(kept), VARIANT_TRUE);
    Raw(kept).Exec(c.text);
    EXPECT_EQ(reading.OpenForReading(kept), VARIANT_FALSE);
    EXPECT_EQ(reading.LastFailure(), c.failure);
    EXPECT_EQ(reading.GetAllFiles(&out), VARIANT_FALSE);
  }
  QVSQLiteDatabase db;
  EXPECT_EQ(db.Open(good, FALSE), VARIANT_TRUE);
  EXPECT_EQ(db.LastFailure(), QVDatabase::Failure::None);
}

TEST_F(StoreTest, AConnectionKeptForReadingSeesEveryCommitAndFollowsTheFileThePathNames) {
  ASSERT_GT(Add("a.txt", "a"), 0);
  ASSERT_EQ(db_.Flush(), VARIANT_TRUE);
  QVDatabase reading;
  ASSERT_EQ(reading.OpenForReading(container_), VARIANT_TRUE);
  EXPECT_TRUE(reading.ReadsCurrentFile(container_));
  EXPECT_EQ(RootNames(reading), (std::vector<std::string>{"a.txt.qvf"}));
  // Another connection's commit is seen by the kept one.
  ASSERT_GT(Add("b.txt", "b"), 0);
  ASSERT_EQ(reading.OpenForReading(container_), VARIANT_TRUE);
  EXPECT_EQ(RootNames(reading), (std::vector<std::string>{"a.txt.qvf", "b.txt.qvf"}));
  ASSERT_EQ(db_.Close(), VARIANT_TRUE);

  // Another container moved over the path: the kept connection would still read the old
  // file, so it is opened afresh.
  const std::string other = root_.Sub("other.qvef");
  {
    QVDatabase made;
    ASSERT_EQ(made.Open(other, TRUE), VARIANT_TRUE);
    ASSERT_GT(made.AddFile(src_, MakeImage("c.txt", "c"), 0, FALSE), 0);
  }
  fs::rename(other, container_);
  EXPECT_FALSE(reading.ReadsCurrentFile(container_));
  ASSERT_EQ(reading.OpenForReading(container_), VARIANT_TRUE);
  EXPECT_EQ(RootNames(reading), (std::vector<std::string>{"c.txt.qvf"}));

  // Deleted, or replaced by a file that is no container: nothing is read any more.
  ContainerReader shared(container_);
  const auto names = [&shared] {
    std::vector<std::string> listed;
    const bool read = shared.Read([&](QVDatabase& database) {
      listed = RootNames(database);
      return true;
    });
    return read ? listed : std::vector<std::string>{"<not read>"};
  };
  EXPECT_EQ(names(), (std::vector<std::string>{"c.txt.qvf"}));
  fs::remove(container_);
  EXPECT_EQ(reading.OpenForReading(container_), VARIANT_FALSE);
  EXPECT_EQ(reading.LastFailure(), QVDatabase::Failure::NotFound);
  EXPECT_EQ(names(), (std::vector<std::string>{"<not read>"}));
  WriteTextFile(container_, "no container at all");
  EXPECT_EQ(names(), (std::vector<std::string>{"<not read>"}));
  EXPECT_EQ(reading.OpenForReading(container_), VARIANT_FALSE);
  EXPECT_EQ(reading.LastFailure(), QVDatabase::Failure::NotAContainer);
  // A container there again is read again.
  fs::remove(container_);
  {
    QVDatabase made;
    ASSERT_EQ(made.Open(container_, TRUE), VARIANT_TRUE);
    ASSERT_GT(made.AddFile(src_, MakeImage("d.txt", "d"), 0, FALSE), 0);
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"d.txt.qvf"}));
  std::vector<BYTE> header;
  EXPECT_FALSE(shared.ReadHeader(&header)) << "a container made without a record holds none";
}

TEST_F(StoreTest, NothingIsWrittenThroughAConnectionOpenedForReading) {
  ASSERT_GT(Add("dir/a.txt", "a"), 0);
  const std::string image = MakeImage("b.txt", "b");
  ASSERT_EQ(db_.Close(), VARIANT_TRUE);
  const std::string before = Snapshot(container_);
  QVDatabase reading;
  ASSERT_EQ(reading.OpenForReading(container_), VARIANT_TRUE);
  const BYTE record[] = {1, 2, 3};
  EXPECT_EQ(reading.AddFile(src_, image, 0, FALSE), -1);
  EXPECT_EQ(reading.AddFileFromImage(src_, image, image, 0, FALSE), -1);
  EXPECT_EQ(reading.DeleteFile(1, 1), VARIANT_FALSE);
  EXPECT_EQ(reading.DeleteFolder(1), VARIANT_FALSE);
  EXPECT_EQ(reading.RenameFile("c", 1, 1), VARIANT_FALSE);
  EXPECT_EQ(reading.RenameFolder("other", 1), VARIANT_FALSE);
  EXPECT_EQ(reading.SetFolderOptions(0, record, sizeof record, "csp"), VARIANT_FALSE);
  EXPECT_EQ(reading.UpdateFile(image, 1, 1), VARIANT_FALSE);
  EXPECT_EQ(reading.HoldAgainstWriters(), VARIANT_FALSE);
  EXPECT_EQ(Snapshot(container_), before);
  // What it reads is all there.
  std::string folder;
  EXPECT_EQ(reading.GetFolderName(1, folder), VARIANT_TRUE);
  EXPECT_EQ(folder, "\\dir");
  EXPECT_EQ(reading.Close(), VARIANT_TRUE);
  EXPECT_FALSE(fs::exists(container_ + "-journal"));
}

class HostileContainerTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_GT(Add("sub/good.txt", "good"), 0);  // file 1 in folder 1 "\sub"
    fs::create_directories(dest_);
    WriteTextFile(root_.Sub("sentinel"), "s");
  }
  // Nothing may appear anywhere but below dest_.
  void ExpectNothingEscaped() {
    EXPECT_EQ(Listing(root_.Path()), (std::vector<std::string>{"Plans/", "c.qvef", "dest/", "root/",
                                                               "run/", "sentinel", "tmp/"}));
    EXPECT_EQ(Listing(root_.Sub("Plans")), (std::vector<std::string>{"sub/"}));
  }
  std::string dest_ = root_.Sub("dest");
};

TEST_F(HostileContainerTest, TraversalAndControlNamesAreRefused) {
  Raw raw(container_);
  // Each folder of a hostile name holds a file; each file of a hostile name is in "\sub".
  const std::vector<std::string> folderNames = {
      // Leading out of the destination, or not starting at its root.
      "'\\..'", "'\\..\\..\\x'", "'\\a\\..\\..\\y'", "'..\\z'", "'sub'", "'\\a/../../w'", "'/abs'",
      // Empty, doubled separators and control characters.
      "'\\a\\\\b'", "'\\'", "''", "NULL", "'\\tab' || char(9)", "'\\nul' || char(0) || 'x'",
      "'\\.'", "X'5C2E2E'"};
  const std::vector<std::string> fileNames = {
      "'..'",       "'.'",       "'../x.qvf'", "'..\\x.qvf'",     "'a/b.qvf'",
      "'a\\b.qvf'", "''",        "NULL",       "'x' || char(10)", "'nul' || char(0) || '.qvf'",
      "char(127)",  "'/etc.qvf'"};
  int id = 100;
  const auto insertFile = [&](const std::string& folder, const std::string& name) {
    const std::string file = std::to_string(id++);
    raw.Exec("INSERT INTO FILE_INFO (FILE_ID, FOLDER_ID, FILE_NAME) VALUES (" + file + ", " +
             folder + ", " + name + "); INSERT INTO FILE_DATA VALUES (" + file + ", 0, X'41')");
  };
  for (const std::string& name : folderNames) {
    raw.Exec("INSERT INTO FOLDER_INFO VALUES (" + std::to_string(id) + ", " + name +
             ", 0, 16, 0, 0)");
    insertFile(std::to_string(id), "'f.qvf'");
  }
  for (const std::string& name : fileNames) insertFile("1", name);
  for (id = 100; id < 100 + static_cast<int>(folderNames.size()); ++id) {
    SCOPED_TRACE(folderNames[id - 100]);
    EXPECT_EQ(db_.ExtractFile(id, id, dest_), VARIANT_FALSE);
  }
  for (const std::string& name : fileNames) {
    SCOPED_TRACE(name);
    EXPECT_EQ(db_.ExtractFile(1, id, dest_), VARIANT_FALSE);
    EXPECT_EQ(db_.ExtractFileTo(1, id++, dest_ + "/sub"), VARIANT_FALSE);
  }
  EXPECT_EQ(db_.ExtractAllTo(dest_, nullptr), VARIANT_FALSE);
  ExpectNothingEscaped();
  EXPECT_TRUE(Listing(dest_).empty() || Listing(dest_) == std::vector<std::string>{"sub/"});
}

TEST_F(HostileContainerTest, ALinkPlantedInTheDestinationIsNotFollowed) {
  const std::string outside = root_.Sub("tmp/outside");
  fs::create_directories(outside);
  fs::create_symlink(outside, dest_ + "/sub");
  EXPECT_EQ(db_.ExtractFile(1, 1, dest_), VARIANT_FALSE);
  EXPECT_EQ(db_.ExtractAllTo(dest_, nullptr), VARIANT_FALSE);
  EXPECT_TRUE(Listing(outside).empty());
}

TEST_F(HostileContainerTest, DamagedRowsGiveFailuresNotCrashes) {
  Raw raw(container_);
  // Wrong types, NULLs, huge and negative ids, short time blobs.
  raw.Exec(
      "INSERT INTO FILE_INFO VALUES (50, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)");
  raw.Exec(
      "INSERT INTO FILE_INFO VALUES (51, 0, 'short.qvf', 'big', 'x', 'y', 'z', X'0102', "
      "'text', NULL)");
  raw.Exec("INSERT INTO FILE_INFO VALUES (-7, 0, 'neg.qvf', 1, 0, 0, 0, NULL, NULL, NULL)");
  raw.Exec(
      "INSERT INTO FILE_INFO VALUES (9000000000, 0, 'huge.qvf', 1, 0, 0, 0, NULL, NULL, NULL)");
  raw.Exec("INSERT INTO FILE_DATA VALUES ('51', 0, X'5A5A')");
  raw.Exec("INSERT INTO FILE_DATA VALUES (51, NULL, NULL)");
  raw.Exec("INSERT INTO FILE_DATA VALUES (-7, 0, 'text block')");
  raw.Exec("INSERT INTO FOLDER_INFO VALUES (-3, '\\neg', 'p', NULL, NULL, NULL)");

  VARIANT out{};
  ASSERT_EQ(db_.GetFiles(0, &out), VARIANT_TRUE);
  const Rows rows = TakeRows(out);
  ASSERT_EQ(rows.size(), 3u) << "the row with a NULL folder is in no folder";
  EXPECT_EQ(rows[0][0].number, -7);
  EXPECT_EQ(rows[1][2].text, "short.qvf");
  EXPECT_EQ(rows[1][3].number, 0) << "a text size reads as 0";
  EXPECT_EQ(rows[2][0].number, static_cast<LONG>(9000000000LL & 0xFFFFFFFF));

  ASSERT_EQ(db_.ExtractFileTo(0, 51, dest_), VARIANT_TRUE) << "a 2-byte time blob is not read";
  EXPECT_EQ(ReadTextFile(dest_ + "/short.qvf"), "ZZ");
  ASSERT_EQ(db_.ExtractFileTo(0, static_cast<DWORD>(-7), dest_), VARIANT_TRUE);
  EXPECT_EQ(ReadTextFile(dest_ + "/neg.qvf"), "text block");
  EXPECT_EQ(db_.ExtractFileTo(0, static_cast<DWORD>(9000000000LL & 0xFFFFFFFF), dest_),
            VARIANT_FALSE)
      << "an id beyond 32 bits cannot be asked for";
  EXPECT_EQ(db_.ExtractFile(0, 50, dest_), VARIANT_FALSE);
  std::string name;
  EXPECT_EQ(db_.GetFolderName(static_cast<DWORD>(-3), name), VARIANT_TRUE);
  EXPECT_EQ(name, "\\neg");
  VARIANT folders{};
  ASSERT_EQ(db_.GetSubFolders(0, &folders), VARIANT_TRUE);
  EXPECT_EQ(TakeRows(folders).size(), 1u) << "a text parent is nobody's child";
  ExpectNothingEscaped();
}

// Rows this system never writes are damage: restoring them would give a plain file no one
// authenticated (a name without the image suffix) or write one file over another (the same
// name twice in a folder). The whole restore is refused before anything is written.
TEST_F(HostileContainerTest, RowsTheSystemNeverWritesAreRefusedBeforeAnythingIsWritten) {
  const struct {
    const char* what;
    std::string sql;
  } cases[] = {
      {"a name without the image suffix",
       "INSERT INTO FILE_INFO (FILE_ID, FOLDER_ID, FILE_NAME) VALUES (10, 0, 'run me.sh')"},
      {"the suffix alone",
       "INSERT INTO FILE_INFO (FILE_ID, FOLDER_ID, FILE_NAME) VALUES (10, 0, '.qvf')"},
      {"a name twice in a folder",
       "INSERT INTO FILE_INFO (FILE_ID, FOLDER_ID, FILE_NAME) VALUES (10, 1, 'good.txt.qvf')"},
      {"a name twice through two rows of one folder path",
       "INSERT INTO FOLDER_INFO VALUES (5, '\\sub', 0, 16, 0, 0); INSERT INTO FILE_INFO "
       "(FILE_ID, FOLDER_ID, FILE_NAME) VALUES (10, 5, 'good.txt.qvf')"},
      {"a folder id that is text",
       "INSERT INTO FILE_INFO (FILE_ID, FOLDER_ID, FILE_NAME) VALUES (10, 'one', 'x.qvf')"},
      {"a name that is a blob",
       "INSERT INTO FILE_INFO (FILE_ID, FOLDER_ID, FILE_NAME) VALUES (10, 0, X'782E717666')"},
  };
  Raw raw(container_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    raw.Exec(c.sql + "; INSERT INTO FILE_DATA VALUES (10, 0, 'not what was stored')");
    QVSQLiteDatabase db;
    ASSERT_EQ(db.Open(container_, FALSE), VARIANT_TRUE);
    EXPECT_EQ(db.ExtractAllTo(dest_, nullptr), VARIANT_FALSE);
    EXPECT_EQ(db.LastFailure(), QVDatabase::Failure::Damaged);
    EXPECT_TRUE(Listing(dest_).empty()) << "written before the damage was seen";
    std::size_t count = 0;
    EXPECT_EQ(db.CountImages(&count), VARIANT_FALSE) << "counted as if it could be restored";
    EXPECT_EQ(db.LastFailure(), QVDatabase::Failure::Damaged);
    raw.Exec(
        "DELETE FROM FILE_INFO WHERE FILE_ID = 10; DELETE FROM FILE_DATA WHERE FILE_ID = 10; "
        "DELETE FROM FOLDER_INFO WHERE FOLDER_ID = 5");
  }
  ASSERT_EQ(db_.ExtractAllTo(dest_, nullptr), VARIANT_TRUE);
  EXPECT_EQ(ReadTextFile(dest_ + "/sub/good.txt.qvf"), "good");
  ExpectNothingEscaped();
}

// ---- Extraction failures ----

TEST_F(StoreTest, FailedWritesLeaveNoCutImageAndLinksAreNotWrittenThrough) {
  const LONG small = Add("small.txt", "tiny");
  const std::string largeImage = Pattern(2 * 1048576, 4);
  const LONG large = Add("large.txt", largeImage);
  const std::string dest = root_.Sub("links");
  fs::create_directories(dest);
  // A link at an output's name is not written through, wherever it leads.
  const std::string outside = root_.Sub("outside.txt");
  WriteTextFile(outside, "keep me");
  fs::create_symlink(outside, dest + "/small.txt.qvf");
  fs::create_symlink("/dev/full", dest + "/large.txt.qvf");
  EXPECT_EQ(db_.ExtractFileTo(0, static_cast<DWORD>(small), dest), VARIANT_FALSE);
  EXPECT_EQ(db_.ExtractFileTo(0, static_cast<DWORD>(large), dest), VARIANT_FALSE);
  EXPECT_EQ(db_.ExtractAllTo(dest, nullptr), VARIANT_FALSE);
  EXPECT_EQ(ReadTextFile(outside), "keep me");
  EXPECT_TRUE(fs::is_symlink(dest + "/small.txt.qvf") && fs::is_symlink(dest + "/large.txt.qvf"));

  // A write that fails part-way (here at the file-size limit) fails the extraction, and the
  // cut image is removed: it would look whole.
  const std::string cut = root_.Sub("cut");
  fs::create_directories(cut);
  {
    const FileSizeLimit limit(1048576 + 100);
    EXPECT_EQ(db_.ExtractFileTo(0, static_cast<DWORD>(large), cut), VARIANT_FALSE);
    EXPECT_FALSE(fs::exists(cut + "/large.txt.qvf"));
    EXPECT_EQ(db_.ExtractAllTo(cut, nullptr), VARIANT_FALSE);
    EXPECT_EQ(db_.LastFailure(), QVDatabase::Failure::WriteFailed);
    EXPECT_FALSE(fs::exists(cut + "/large.txt.qvf"));
  }
  ASSERT_EQ(db_.ExtractFileTo(0, static_cast<DWORD>(large), cut), VARIANT_TRUE);
  EXPECT_TRUE(ReadTextFile(cut + "/large.txt.qvf") == largeImage);

  EXPECT_EQ(db_.ExtractFileTo(0, static_cast<DWORD>(small), root_.Sub("nowhere")), VARIANT_FALSE)
      << "ExtractFileTo creates no folder";
  EXPECT_EQ(db_.ExtractFileTo(0, static_cast<DWORD>(small), ""), VARIANT_FALSE);
  EXPECT_EQ(db_.ExtractFile(0, static_cast<DWORD>(small), ""), VARIANT_FALSE);
}

// ---- Block ranges across connections ----

TEST_F(StoreTest, BlockRangesFollowChangesFromAnyConnectionAndAreNotReusedForAnotherFile) {
  const LONG a = Add("a.txt", Pattern(1048576 + 10, 1));
  const LONG b = Add("b.txt", Pattern(20, 2));
  ASSERT_EQ(Extracted(0, static_cast<DWORD>(a)), Pattern(1048576 + 10, 1));  // ranges built
  {
    // Another connection replaces b with a longer image.
    QVSQLiteDatabase other;
    ASSERT_EQ(other.Open(container_, FALSE), VARIANT_TRUE);
    WriteTextFile(src_ + "/b.txt.qvf", Pattern(3 * 1048576, 3));
    ASSERT_EQ(other.UpdateFile(src_ + "/b.txt.qvf", 0, static_cast<DWORD>(b)), VARIANT_TRUE);
  }
  EXPECT_TRUE(Extracted(0, static_cast<DWORD>(b)) == Pattern(3 * 1048576, 3));
  {
    // A raw writer that moves a's blocks: they now follow b's.
    Raw raw(container_);
    raw.Exec("CREATE TEMP TABLE t AS SELECT * FROM FILE_DATA WHERE FILE_ID = " + std::to_string(a));
    raw.Exec("DELETE FROM FILE_DATA WHERE FILE_ID = " + std::to_string(a));
    raw.Exec("INSERT INTO FILE_DATA SELECT * FROM t");
  }
  EXPECT_TRUE(Extracted(0, static_cast<DWORD>(a)) == Pattern(1048576 + 10, 1));

  // Two containers with the same history, so the same header, but their files' blocks in
  // another order: only the file's identity tells them apart.
  const auto make = [&](bool aFirst) {
    EXPECT_EQ(db_.Close(), VARIANT_TRUE);
    fs::remove(container_);
    EXPECT_EQ(db_.Open(container_, TRUE), VARIANT_TRUE);
    const std::string imageA = MakeImage("a.txt", Pattern(2 * 1048576, aFirst ? 1 : 2));
    const std::string imageB = MakeImage("b.txt", Pattern(1048576, 3));
    EXPECT_EQ(db_.AddFile(src_, aFirst ? imageA : imageB, 0, FALSE), 1);
    EXPECT_EQ(db_.AddFile(src_, aFirst ? imageB : imageA, 0, FALSE), 2);
  };
  make(true);
  EXPECT_TRUE(Extracted(0, 2) == Pattern(1048576, 3));
  make(false);
  EXPECT_TRUE(Extracted(0, 2) == Pattern(2 * 1048576, 2));
}

TEST_F(StoreTest, InterleavedBlocksOfAnOlderWriterAreReadInStorageOrder) {
  Raw raw(container_);
  raw.Exec(
      "INSERT INTO FILE_INFO (FILE_ID, FOLDER_ID, FILE_NAME) VALUES (1, 0, 'a.qvf'), "
      "(2, 0, 'b.qvf')");
  raw.Exec(
      "INSERT INTO FILE_DATA VALUES (1, 0, 'a0'), (2, 0, 'b0'), (1, 1, 'a1'), (2, 1, 'b1'), "
      "(1, 2, 'a2')");
  EXPECT_EQ(Extracted(0, 1), "a0a1a2");
  EXPECT_EQ(Extracted(0, 2), "b0b1");
  const std::string dest = root_.Sub("all");
  std::vector<std::pair<std::size_t, std::size_t>> calls;
  ASSERT_EQ(db_.ExtractAllTo(dest,
                             [&](std::size_t done, std::size_t total) {
                               calls.emplace_back(done, total);
                               return true;
                             }),
            VARIANT_TRUE);
  EXPECT_EQ(ReadTextFile(dest + "/a.qvf"), "a0a1a2");
  EXPECT_EQ(ReadTextFile(dest + "/b.qvf"), "b0b1");
  EXPECT_EQ(calls, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 2}, {1, 2}, {2, 2}}));
}

// A caller that decrypts small images from memory takes them from the extraction whole and in
// storage order; every image it cannot be sure is whole goes to disk as before.
TEST_F(StoreTest, SmallWholeImagesAreHandedOverInMemoryAndTheRestWritten) {
  Raw raw(container_);
  raw.Exec(
      "INSERT INTO FOLDER_INFO VALUES (5, '\\sub', 0, 16, 0, 0), (6, '\\empty', 0, 16, 0, 0);"
      "INSERT INTO FILE_INFO (FILE_ID, FOLDER_ID, FILE_NAME, FILE_SIZE) VALUES "
      "(1, 0, 'a.qvf', 6), (2, 0, 'b.qvf', 4), (3, 0, 'c.qvf', 4), (4, 0, 'd.qvf', 100),"
      "(5, 0, 'e.qvf', 2), (6, 0, 'f.qvf', 4), (7, 5, 'g.qvf', 2), (8, 6, '" +
      std::string(container::kEmptyFolderMarker) + "', 0)");
  raw.Exec(
      "INSERT INTO FILE_DATA VALUES (1, 0, 'a0'), (2, 0, 'b0'), (1, 1, 'a1'), (2, 1, 'b1'), "
      "(1, 2, 'a2'), (3, 0, 'c0'), (3, 1, 'c1'), (4, 0, 'd0'), (5, 0, 'e0'), "
      "(5, 1, 'e1 and more'), (6, 0, 'f0'), (7, 0, 'g0')");
  std::size_t count = 0;
  ASSERT_EQ(db_.CountImages(&count), VARIANT_TRUE);
  EXPECT_EQ(count, 7u) << "the marker is no image";

  std::vector<QVDatabase::ExtractedImage> taken;
  db_.SetImageTaker(
      [&](QVDatabase::ExtractedImage& image) {
        taken.push_back(std::move(image));
        return true;
      },
      10);
  const std::string dest = root_.Sub("all");
  std::size_t lastDone = 0;
  ASSERT_EQ(db_.ExtractAllTo(dest,
                             [&](std::size_t done, std::size_t) {
                               lastDone = done;
                               return true;
                             }),
            VARIANT_TRUE);
  EXPECT_EQ(lastDone, 8u);
  ASSERT_EQ(taken.size(), 3u);
  const auto bytes = [](const QVDatabase::ExtractedImage& image) {
    return std::string(image.bytes.begin(), image.bytes.end());
  };
  EXPECT_EQ(taken[0].output, dest + "/c.qvf");
  EXPECT_EQ(taken[0].storedPath, "\\c.qvf");
  EXPECT_EQ(taken[0].fileId, 3u);
  EXPECT_EQ(bytes(taken[0]), "c0c1");
  EXPECT_EQ(bytes(taken[1]), "f0") << "FILE_SIZE is the plain file's, not the image's";
  EXPECT_EQ(taken[2].output, dest + "/sub/g.qvf");
  EXPECT_EQ(taken[2].storedPath, "\\sub\\g.qvf");
  EXPECT_EQ(taken[2].folderId, 5u);
  EXPECT_EQ(bytes(taken[2]), "g0");
  // Interleaved, larger than the caller takes by its entry or by its bytes.
  EXPECT_EQ(Listing(dest),
            (std::vector<std::string>{"a.qvf", "b.qvf", "d.qvf", "e.qvf", "empty/", "sub/"}));
  EXPECT_EQ(ReadTextFile(dest + "/a.qvf"), "a0a1a2");
  EXPECT_EQ(ReadTextFile(dest + "/b.qvf"), "b0b1");
  EXPECT_EQ(ReadTextFile(dest + "/e.qvf"), "e0e1 and more");
  EXPECT_TRUE(Listing(dest + "/sub").empty());

  // A caller that stops the extraction fails it.
  db_.SetImageTaker([](QVDatabase::ExtractedImage&) { return false; }, 10);
  EXPECT_EQ(db_.ExtractAllTo(root_.Sub("stopped"), nullptr), VARIANT_FALSE);
}

TEST_F(StoreTest, FlushMakesANewContainerDurableAndLeavesNoJournal) {
  ASSERT_GT(Add("a.txt", "a"), 0);
  EXPECT_EQ(db_.Flush(), VARIANT_TRUE);
  Raw raw(container_);
  EXPECT_EQ(raw.One("PRAGMA user_version"), "0") << "the header keeps its value";
  EXPECT_GT(Add("b.txt", "b"), 0);
  EXPECT_EQ(db_.Flush(), VARIANT_TRUE);
  EXPECT_EQ(db_.Close(), VARIANT_TRUE);
  EXPECT_EQ(db_.Flush(), VARIANT_FALSE) << "nothing open";
  EXPECT_FALSE(fs::exists(container_ + "-journal"));
}

TEST_F(StoreTest, ANewContainerFilledInABatchIsWrittenBackOnTheWayWithoutKeepingItsFileOpen) {
  const std::string fresh = root_.Sub("fresh.qvef");
  // The descriptors of this process open on the container's file.
  const auto opened = [&] {
    int count = 0;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      if (fs::read_symlink(fd.path(), error) == fs::path(fresh)) ++count;
    }
    return count;
  };
  QVSQLiteDatabase db;
  ASSERT_EQ(db.Open(fresh, TRUE), VARIANT_TRUE);
  ASSERT_EQ(db.BeginBatchedAdds(), VARIANT_TRUE);
  EXPECT_EQ(opened(), 1) << "SQLite's own";
  for (int i = 0; i < 9; ++i)
    ASSERT_GT(
        db.AddFile(src_, MakeImage("f" + std::to_string(i), Pattern(1u << 20, i + 1)), 0, FALSE),
        0);
  EXPECT_EQ(opened(), 2) << "one more to start the write-back with, after 8 MiB";
  EXPECT_EQ(db.Close(), VARIANT_TRUE);
  EXPECT_EQ(opened(), 0);
  Raw raw(fresh);
  EXPECT_EQ(raw.One("SELECT count(*) FROM FILE_DATA"), "9");
}

// ---- Names of other connections, batched adds ----

TEST_F(StoreTest, NameChecksSeeWhatOtherConnectionsAndOtherOperationsChanged) {
  const LONG kept = Add("kept.txt", "k");
  ASSERT_GT(kept, 0);
  {
    // Behind the store's back: one name appears, the kept one goes.
    Raw raw(container_);
    raw.Exec(
        "INSERT INTO FILE_INFO (FOLDER_ID,FILE_NAME,FILE_SIZE) VALUES (0,'planted.txt.qvf',1)");
    raw.Exec("DELETE FROM FILE_INFO WHERE FILE_NAME = 'kept.txt.qvf'");
  }
  EXPECT_EQ(Add("planted.txt", "p"), -2) << "a name another connection stored is taken";
  EXPECT_GT(Add("kept.txt", "k2"), kept) << "a name another connection removed is free";

  // The store's own deletions and renames free and take names too.
  const LONG gone = Add("gone.txt", "g");
  ASSERT_EQ(db_.DeleteFile(0, static_cast<DWORD>(gone)), VARIANT_TRUE);
  EXPECT_GT(Add("gone.txt", "g2"), 0);
  const LONG renamed = Add("before.txt", "b");
  ASSERT_EQ(db_.RenameFile("after.txt", 0, static_cast<DWORD>(renamed)), VARIANT_TRUE);
  EXPECT_EQ(Add("after.txt", "a"), -2);
  EXPECT_GT(Add("before.txt", "b2"), 0);

  // A folder another connection created is found by its name, not made twice.
  {
    Raw raw(container_);
    raw.Exec("INSERT INTO FOLDER_INFO (FOLDER_NAME,PARENT_FOLDER_ID) VALUES ('\\sub',0)");
  }
  ASSERT_GT(Add("sub/x.txt", "x"), 0);
  Raw raw(container_);
  EXPECT_EQ(raw.One("SELECT count(*) FROM FOLDER_INFO WHERE FOLDER_NAME = '\\sub'"), "1");
}

TEST_F(StoreTest, BatchedAddsOfANewContainerAreSeenByOthersFromFlushOn) {
  ASSERT_EQ(db_.BeginBatchedAdds(), VARIANT_TRUE);
  EXPECT_EQ(db_.BeginBatchedAdds(), VARIANT_FALSE) << "already batching";
  const LONG a = Add("a.txt", "first");
  ASSERT_GT(a, 0);
  EXPECT_EQ(Files(0).size(), 1u) << "the store sees its own batch";
  {
    Raw raw(container_);
    EXPECT_EQ(raw.One("SELECT count(*) FROM FILE_INFO"), "0") << "nothing is committed yet";
  }
  // More than the page cache holds: from here on the batch may keep others out until Flush.
  const LONG b = Add("dir/b.txt", Pattern(2 * 1048576 + 3, 8));
  ASSERT_GT(b, a);
  EXPECT_EQ(Add("a.txt", "again"), -2) << "names are checked within the batch";
  EXPECT_EQ(db_.AddFile(src_, src_ + "/missing.txt.qvf", 0, FALSE), -1);
  ASSERT_EQ(db_.Flush(), VARIANT_TRUE);
  {
    Raw raw(container_);
    EXPECT_EQ(raw.One("SELECT count(*) FROM FILE_INFO"), "2")
        << "a refused or failed add left the batch as it was";
  }
  EXPECT_EQ(Extracted(1, static_cast<DWORD>(b)), Pattern(2 * 1048576 + 3, 8));
  EXPECT_GT(Add("c.txt", "c"), b);
  Raw raw(container_);
  EXPECT_EQ(raw.One("SELECT count(*) FROM FILE_INFO"), "3")
      << "a flushed container commits each add";
}

// An existing container's batch commits in bounded parts, at Flush and at Close; a crash in the
// middle of a part (the batch already spilled into the file) leaves the container as the last
// commit made it, and a failure loses only the part since then.
TEST_F(StoreTest, BatchedAddsOfAnExistingContainerCommitInPartsAndACrashLosesOnlyTheOpenPart) {
  ASSERT_EQ(db_.Close(), VARIANT_TRUE);
  const auto committed = [&] { return Raw(container_).One("SELECT count(*) FROM FILE_INFO"); };
  const auto addTo = [&](QVSQLiteDatabase& store, const std::string& name, std::size_t size) {
    return store.AddFile(src_, MakeImage(name, Pattern(size, 3)), 0, FALSE);
  };
  constexpr auto kPart = static_cast<int>(QVSQLiteDatabase::kBatchedAddsPerCommit);
  {
    QVSQLiteDatabase existing;
    ASSERT_EQ(existing.Open(container_, FALSE), VARIANT_TRUE);
    ASSERT_EQ(existing.BeginBatchedAdds(), VARIANT_TRUE);
    EXPECT_EQ(existing.BeginBatchedAdds(), VARIANT_FALSE) << "already batching";
    for (int i = 1; i < kPart; ++i) ASSERT_GT(addTo(existing, "p/" + std::to_string(i), 40), 0);
    EXPECT_EQ(committed(), "0") << "the part is not full yet";
    ASSERT_GT(addTo(existing, "p/last", 40), 0);
    EXPECT_EQ(committed(), std::to_string(kPart)) << "a full part is committed";
    ASSERT_GT(addTo(existing, "flushed", 40), 0);
    ASSERT_EQ(existing.Flush(), VARIANT_TRUE);
    EXPECT_EQ(committed(), std::to_string(kPart + 1));
    ASSERT_GT(addTo(existing, "alone", 40), 0);
    EXPECT_EQ(committed(), std::to_string(kPart + 2)) << "after Flush each add commits alone";
    ASSERT_EQ(existing.BeginBatchedAdds(), VARIANT_TRUE);
    ASSERT_GT(addTo(existing, "closed", 40), 0);
    EXPECT_EQ(committed(), std::to_string(kPart + 2));
    ASSERT_EQ(existing.Close(), VARIANT_TRUE);
  }
  const std::string before = std::to_string(kPart + 3);
  EXPECT_EQ(committed(), before) << "Close commits what the batch holds";

  // A process that dies with a batch larger than its page cache, part of it in the file.
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    QVSQLiteDatabase dying;
    if (dying.Open(container_, FALSE) != VARIANT_TRUE || dying.BeginBatchedAdds() != VARIANT_TRUE)
      _exit(2);
    for (int i = 0; i < 3; ++i)
      if (addTo(dying, "big" + std::to_string(i), 3 * 1048576 + 5) <= 0) _exit(3);
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(fs::exists(container_ + "-journal") && fs::file_size(container_ + "-journal") > 0)
      << "the batch did not reach the file; the crash tests nothing";
  QVSQLiteDatabase after;
  ASSERT_EQ(after.Open(container_, FALSE), VARIANT_TRUE);
  EXPECT_EQ(committed(), before) << "nothing of the open part survives";
  EXPECT_EQ(Raw(container_).One("PRAGMA integrity_check"), "ok");

  // A failure inside the batch loses the open part only, and every later call says so.
  ASSERT_EQ(after.BeginBatchedAdds(), VARIANT_TRUE);
  ASSERT_GT(addTo(after, "lost", 40), 0);
  QVSQLiteDatabase::FailStepForTest(5);
  EXPECT_EQ(addTo(after, "failing", 3 * 1048576), -1);
  QVSQLiteDatabase::FailStepForTest(0);
  EXPECT_EQ(addTo(after, "later", 40), -1);
  EXPECT_EQ(after.Flush(), VARIANT_FALSE);
  EXPECT_EQ(after.Close(), VARIANT_FALSE);
  EXPECT_EQ(committed(), before);
}

// The deletes of a move: only rows still as listed go, in bounded commits, so a failure in a
// later part keeps the parts committed before it and leaves its own rows whole; then empty
// folders go deepest first with their markers and kept facts, and one that holds a file stays.
TEST_F(StoreTest, DeleteFilesTakesRowsStillAsListedInBoundedPartsThenEmptyFoldersGo) {
  constexpr auto kPart = static_cast<int>(QVSQLiteDatabase::kBatchedAddsPerCommit);
  constexpr int kFiles = kPart + 100;
  ASSERT_EQ(db_.BeginBatchedAdds(), VARIANT_TRUE);
  std::vector<QVDatabase::StoredFileRow> rows;
  for (int i = 0; i < kFiles; ++i) {
    const LONG id = Add("many/" + std::to_string(i) + ".txt", "x");
    ASSERT_GT(id, 0);
    rows.push_back({1, static_cast<DWORD>(id), std::to_string(i) + ".txt.qvf"});
  }
  for (const char* folder : {"a", "a/b"}) {
    fs::create_directories(src_ + "/" + folder);
    ASSERT_GT(
        db_.AddFile(src_, src_ + "/" + folder + "/" + container::kEmptyFolderMarker, 0, FALSE), 0);
  }
  ASSERT_EQ(db_.Flush(), VARIANT_TRUE);
  ASSERT_EQ(db_.RenameFile("renamed", 1, rows[1].fileId), VARIANT_TRUE);
  ASSERT_EQ(db_.DeleteFile(1, rows[2].fileId), VARIANT_TRUE);
  const auto count = [&](const std::string& sql) { return std::stoi(Raw(container_).One(sql)); };

  // Each row costs two steps (its check and its delete): this step falls in the second part.
  std::vector<bool> deleted;
  QVSQLiteDatabase::FailStepForTest(2 * kPart + 50);
  EXPECT_EQ(db_.DeleteFiles(rows, &deleted), VARIANT_FALSE);
  QVSQLiteDatabase::FailStepForTest(0);
  ASSERT_EQ(deleted.size(), rows.size());
  EXPECT_EQ(std::count(deleted.begin(), deleted.begin() + kPart + 2, true), kPart)
      << "the first part (the renamed and the gone row not counted) is committed";
  EXPECT_EQ(std::count(deleted.begin() + kPart + 2, deleted.end(), true), 0);
  EXPECT_EQ(count("SELECT count(*) FROM FILE_INFO WHERE FOLDER_ID = 1"), kFiles - 1 - kPart);
  EXPECT_EQ(count("SELECT count(*) FROM FILE_DATA"), kFiles - 1 - kPart)
      << "the failed part's rows are whole, blocks included";

  ASSERT_EQ(db_.DeleteFiles(rows, &deleted), VARIANT_TRUE);
  for (std::size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(deleted[i], i != 1 && i != 2 && i >= static_cast<std::size_t>(kPart + 2)) << i;
  EXPECT_EQ(count("SELECT count(*) FROM FILE_INFO WHERE FOLDER_ID = 1"), 1);
  EXPECT_EQ(Raw(container_).One("SELECT FILE_NAME FROM FILE_DATA JOIN FILE_INFO USING (FILE_ID)"),
            "renamed.qvf")
      << "the renamed file keeps its row and its blocks";

  const auto folderId = [&](const std::string& name) {
    return static_cast<DWORD>(
        count("SELECT FOLDER_ID FROM FOLDER_INFO WHERE FOLDER_NAME = '" + name + "'"));
  };
  const DWORD a = folderId("\\a");
  const DWORD b = folderId("\\a\\b");
  ASSERT_GT(b, a);
  ASSERT_EQ(db_.DeleteEmptyFolders({b, a, 1, 0}, &deleted), VARIANT_TRUE);
  EXPECT_EQ(deleted, (std::vector<bool>{true, true, false, false}));
  EXPECT_EQ(count("SELECT count(*) FROM FOLDER_INFO"), 1);
  EXPECT_EQ(count("SELECT count(*) FROM FILE_INFO WHERE FOLDER_ID IN (" + std::to_string(a) + "," +
                  std::to_string(b) + ")"),
            0)
      << "the markers went with their folders";
  EXPECT_EQ(count("SELECT count(*) FROM FOLDER_OPTIONS WHERE FOLDER_ID - " +
                  std::to_string(container::kFolderFactsIdBase) + " IN (" + std::to_string(a) +
                  "," + std::to_string(b) + ")"),
            0);
  EXPECT_EQ(Raw(container_).One("PRAGMA integrity_check"), "ok");
}

TEST_F(StoreTest, AFailureInsideABatchFailsItsFlushAndCloseSoNothingIsTakenAsStored) {
  ASSERT_EQ(db_.BeginBatchedAdds(), VARIANT_TRUE);
  ASSERT_GT(Add("a.txt", "stored before the failure"), 0);
  const std::string image = MakeImage("b.txt", Pattern(3 * 1048576, 9));
  // The last of the image's three blocks fails, after its entry and first blocks were
  // written into the batch.
  QVSQLiteDatabase::FailStepForTest(5);
  EXPECT_EQ(db_.AddFile(src_, image, 0, FALSE), -1);
  QVSQLiteDatabase::FailStepForTest(0);
  EXPECT_EQ(Add("c.txt", "after the failure"), -1);
  EXPECT_EQ(db_.Flush(), VARIANT_FALSE);
  EXPECT_EQ(db_.Close(), VARIANT_FALSE);
}

// Writes one or two tiny containers for the fuzzer's seed corpus when
// QV_WRITE_CONTAINER_CORPUS names a folder, run as
//   QV_WRITE_CONTAINER_CORPUS=tests/fuzz/corpus/Container container_tests
//     --gtest_also_run_disabled_tests --gtest_filter='*WriteFuzzCorpus*'
TEST(ContainerCorpus, DISABLED_WriteFuzzCorpus) {
  const char* folder = std::getenv("QV_WRITE_CONTAINER_CORPUS");
  ASSERT_NE(folder, nullptr);
  TestRoot root;
  for (int version = 1; version <= 2; ++version) {
    const std::string path = std::string(folder) + "/v" + std::to_string(version) + ".qvef";
    fs::remove(path);
    CreateBare(path, version, "PRAGMA page_size=512");
    fs::create_directories(root.Sub("src/d/e"));
    WriteTextFile(root.Sub("src/a.txt"), "plain");
    WriteTextFile(root.Sub("src/a.txt.qvf"), "first image");
    WriteTextFile(root.Sub("src/d/e/b.txt"), "plain");
    WriteTextFile(root.Sub("src/d/e/b.txt.qvf"), Pattern(700, 1));
    QVSQLiteDatabase db;
    ASSERT_EQ(db.Open(path, FALSE), VARIANT_TRUE);
    const BYTE record[] = {1, 2, 3};
    ASSERT_EQ(db.SetFolderOptions(0, record, 3, "csp"), VARIANT_TRUE);
    ASSERT_GT(db.AddFile(root.Sub("src"), root.Sub("src/d/qvdummyffff.qvf"), 0, FALSE), 0);
    ASSERT_GT(db.AddFile(root.Sub("src"), root.Sub("src/a.txt.qvf"), 0, FALSE), 0);
    ASSERT_GT(db.AddFile(root.Sub("src"), root.Sub("src/d/e/b.txt.qvf"), 0, FALSE), 0);
    ASSERT_EQ(db.Close(), VARIANT_TRUE);
    EXPECT_LT(fs::file_size(path), 65536u);
  }
}

}  // namespace
