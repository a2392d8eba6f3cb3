// Converting legacy containers. The real converter beside the test program turns a legacy
// container into a current one and refuses, without touching it, what it cannot convert. A
// stand-in converter, beside a link to this program in a folder of the test's own, shows how
// the path crosses to the converter and how its exit code becomes the result.
#include <dirent.h>
#include <sodium.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "container/ContainerConversion.h"
#include "platform/FileTime.h"
#include "platform/shell/ShellExecute.h"
#include "tests/common/TestRoot.h"

namespace {

// ---- The probe ----
// Started with QV_CONVERSION_PROBE set, this program runs the conversion launch on its one
// argument and exits with 0 for VARIANT_TRUE and 1 for VARIANT_FALSE before any test runs.
// The launch looks for the converter beside the running program, so a link to the program in
// another folder lets a test decide what "the converter" is.
std::vector<std::string> OwnArguments() {
  const std::string all = ReadTextFile("/proc/self/cmdline");
  std::vector<std::string> out;
  size_t start = 0;
  while (start < all.size()) {
    const size_t end = all.find('\0', start);
    out.push_back(all.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

const bool kRunningAsProbe = [] {
  if (std::getenv("QV_CONVERSION_PROBE") == nullptr) return false;
  const std::vector<std::string> arguments = OwnArguments();
  if (arguments.size() != 2) _exit(2);
  _exit(RunContainerConverter(arguments[1].c_str()) == VARIANT_TRUE ? 0 : 1);
}();

std::string ProgramPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::string ProgramFolder() {
  const std::string program = ProgramPath();
  return program.substr(0, program.rfind('/'));
}

// Starts `program` with `parameter` and returns its exit code (-1 when it did not start).
long RunProgram(const std::string& program, const std::string& parameter) {
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = "open";
  info.lpFile = program.c_str();
  info.lpParameters = parameter.c_str();
  if (!ShellExecuteExA(&info)) return -1;
  EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  const BOOL read = GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  return read ? static_cast<long>(code) : -1;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  return names;
}

// ---- An encoder of the legacy format, written from its documentation ----

struct Folder {
  std::uint32_t id, parent, attributes;
  std::uint16_t date, time;
  std::string name;
};
struct File {
  std::uint32_t id, folder, attributes;
  std::int32_t size;
  std::uint16_t date, time;
  std::string name;
  std::string image;
};

template <class T>
void Put(std::string& out, T value) {
  for (size_t i = 0; i < sizeof value; ++i)
    out.push_back(static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xff));
}

std::string EncodeLegacy(const std::string& protection, const std::string& provider,
                         const std::vector<Folder>& folders, const std::vector<File>& files,
                         std::uint16_t version = 1) {
  std::string out = "QVLEGACY";
  Put<std::uint16_t>(out, version);
  Put<std::uint16_t>(out, 0);
  Put<std::uint32_t>(out, static_cast<std::uint32_t>(folders.size()));
  Put<std::uint32_t>(out, static_cast<std::uint32_t>(files.size()));
  Put<std::uint32_t>(out, 0);
  Put<std::uint32_t>(out, static_cast<std::uint32_t>(protection.size()));
  out += protection;
  Put<std::uint16_t>(out, static_cast<std::uint16_t>(provider.size()));
  out += provider;
  for (const Folder& f : folders) {
    Put(out, f.id);
    Put(out, f.parent);
    Put(out, f.attributes);
    Put(out, f.date);
    Put(out, f.time);
    Put<std::uint16_t>(out, static_cast<std::uint16_t>(f.name.size()));
    out += f.name;
  }
  for (const File& f : files) {
    Put(out, f.id);
    Put(out, f.folder);
    Put(out, f.attributes);
    Put(out, static_cast<std::uint32_t>(f.size));
    Put(out, f.date);
    Put(out, f.time);
    Put<std::uint16_t>(out, static_cast<std::uint16_t>(f.name.size()));
    out += f.name;
    Put<std::uint64_t>(out, f.image.size());
    out += f.image;
  }
  unsigned char digest[32];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(out.data()),
                     out.size(), nullptr, 0);
  out += "QVLEGEND";
  out.append(reinterpret_cast<const char*>(digest), sizeof digest);
  return out;
}

std::string Pattern(size_t length, unsigned seed) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 131 + seed) % 251);
  return bytes;
}

constexpr std::uint16_t kDate = (37 << 9) | (3 << 5) | 14;   // 14 March 2017
constexpr std::uint16_t kTime = (9 << 11) | (26 << 5) | 15;  // 09:26:30

const std::vector<Folder> kFolders = {
    {1, 0, 0x10, kDate, kTime, "\\Plans"},
    {2, 1, 0x11, kDate, kTime, "\\Plans\\Q1 2017"},
    {3, 0, 0x10, kDate, kTime, "\\Empty"},
};
const std::vector<File> kFiles = {
    {5, 0, 0x20, 556, kDate, kTime, "Read me.txt.qvf", Pattern(700, 1)},
    {9, 2, 0x21, -1, kDate, kTime, "Budget.xls.qvf", Pattern(1048577, 2)},
    {12, 1, 0x20, 0, kDate, kTime, "empty.dat.qvf", ""},
    {13, 3, 0x20, 7, kDate, kTime, "qvdummyffff.qvf", ""},
};
const std::string kProtection = Pattern(48, 3);
const std::string kProvider = "Quorvin Legacy Cryptographic Provider";

// ---- Reading the converted container ----

class Database {
 public:
  explicit Database(const std::string& path) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  }
  ~Database() { sqlite3_close(db_); }
  // Every row of `sql`, columns joined by "|"; blobs as hex, text as is.
  std::vector<std::string> Rows(const char* sql) {
    std::vector<std::string> rows;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr), SQLITE_OK) << sql;
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        if (i > 0) row += "|";
        if (sqlite3_column_type(statement, i) == SQLITE_BLOB) {
          const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(statement, i));
          static const char kHex[] = "0123456789ABCDEF";
          for (int b = 0; b < sqlite3_column_bytes(statement, i); ++b)
            row += {kHex[bytes[b] >> 4], kHex[bytes[b] & 15]};
        } else if (sqlite3_column_type(statement, i) != SQLITE_NULL) {
          row += reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
        } else {
          row += "NULL";
        }
      }
      rows.push_back(row);
    }
    sqlite3_finalize(statement);
    return rows;
  }
  // The content of one file, its blocks concatenated in storage order.
  std::string Content(int fileId, std::vector<int>* blockSizes) {
    std::string content;
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db_, "SELECT BLOCK_ID,BLOCK_DATA FROM FILE_DATA WHERE FILE_ID=?", -1,
                       &statement, nullptr);
    sqlite3_bind_int(statement, 1, fileId);
    int expectedBlock = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      EXPECT_EQ(sqlite3_column_int(statement, 0), expectedBlock++);
      const int size = sqlite3_column_bytes(statement, 1);
      content.append(static_cast<const char*>(sqlite3_column_blob(statement, 1)),
                     static_cast<size_t>(size));
      blockSizes->push_back(size);
    }
    sqlite3_finalize(statement);
    return content;
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string Hex(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += {kHex[b >> 4], kHex[b & 15]};
  }
  return out;
}

// The 8 bytes of a FILETIME as stored: little-endian.
std::string StoredTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  const SYSTEMTIME st{year, month, 0, day, hour, minute, second, 0};
  FILETIME ft{};
  EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
  std::string bytes;
  Put<std::uint64_t>(bytes, FileTimeToTicks(ft));
  return Hex(bytes);
}

class ContainerConversionTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_FALSE(kRunningAsProbe);
    ASSERT_GE(sodium_init(), 0);
    folder_ = root_.Sub("Encrypted folders");
    ASSERT_EQ(mkdir(folder_.c_str(), 0755), 0);
  }
  std::string folder_;
};

TEST_F(ContainerConversionTest, TheConverterTurnsALegacyContainerIntoACurrentOneInPlace) {
  const std::string path = folder_ + "/Plans 2017 (old).qvef";
  WriteTextFile(path, EncodeLegacy(kProtection, kProvider, kFolders, kFiles));
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);

  ASSERT_EQ(RunContainerConverter(path.c_str()), VARIANT_TRUE);

  EXPECT_EQ(FolderEntries(folder_), std::vector<std::string>{"Plans 2017 (old).qvef"});
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  Database db(path);
  EXPECT_EQ(
      db.Rows("SELECT name,sql FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY rowid"),
      (std::vector<std::string>{
          "FOLDER_INFO|CREATE TABLE FOLDER_INFO(FOLDER_ID INTEGER CONSTRAINT kt PRIMARY KEY "
          "AUTOINCREMENT,FOLDER_NAME TEXT,PARENT_FOLDER_ID INTEGER,FOLDER_ATTRIBS INTEGER,"
          "FOLDER_DATE INTEGER,FOLDER_TIME INTEGER)",
          "FOLDER_OPTIONS|CREATE TABLE FOLDER_OPTIONS(FOLDER_ID INTEGER CONSTRAINT kt PRIMARY "
          "KEY,FOLDER_DATA BLOB,CSP_NAME TEXT)",
          "FILE_INFO|CREATE TABLE FILE_INFO(FILE_ID INTEGER CONSTRAINT kt PRIMARY KEY "
          "AUTOINCREMENT,FOLDER_ID INTEGER,FILE_NAME TEXT,FILE_SIZE INTEGER,FILE_DATE INTEGER,"
          "FILE_TIME INTEGER,FILE_ATTRIBS INTEGER,FILE_MODIFIED_TIME BLOB,FILE_CREATED_TIME "
          "BLOB,FILE_ACCESSED_TIME BLOB)",
          "FILE_DATA|CREATE TABLE FILE_DATA(FILE_ID INTEGER,BLOCK_ID INTEGER,BLOCK_DATA BLOB)",
      }));
  EXPECT_EQ(db.Rows("SELECT type,name FROM sqlite_master WHERE name LIKE 'sqlite_%'"),
            std::vector<std::string>{"table|sqlite_sequence"});

  EXPECT_EQ(db.Rows("SELECT * FROM FOLDER_OPTIONS"),
            std::vector<std::string>{"0|" + Hex(kProtection) + "|" + kProvider});
  const std::string date = std::to_string(kDate) + "|" + std::to_string(kTime);
  EXPECT_EQ(db.Rows("SELECT * FROM FOLDER_INFO ORDER BY FOLDER_ID"),
            (std::vector<std::string>{"1|\\Plans|0|16|" + date, "2|\\Plans\\Q1 2017|1|17|" + date,
                                      "3|\\Empty|0|16|" + date}));
  const std::string time = StoredTime(2017, 3, 14, 9, 26, 30);
  const std::string times = time + "|" + time + "|" + time;
  const std::string zeros = "0000000000000000|0000000000000000|0000000000000000";
  EXPECT_EQ(db.Rows("SELECT * FROM FILE_INFO ORDER BY FILE_ID"),
            (std::vector<std::string>{
                "5|0|Read me.txt.qvf|556|" + date + "|32|" + times,
                "9|2|Budget.xls.qvf|-1|" + date + "|33|" + times,
                "12|1|empty.dat.qvf|0|" + date + "|32|" + times,
                "13|3|qvdummyffff.qvf|0|0|0|0|" + zeros,  // the marker as the format defines it
            }));
  // Ids continue after the highest legacy id.
  EXPECT_EQ(db.Rows("SELECT name,seq FROM sqlite_sequence ORDER BY name"),
            (std::vector<std::string>{"FILE_INFO|13", "FOLDER_INFO|3"}));

  for (const File& file : kFiles) {
    std::vector<int> blocks;
    EXPECT_TRUE(db.Content(static_cast<int>(file.id), &blocks) == file.image) << file.name;
    const size_t expectedBlocks = (file.image.size() + 1048575) / 1048576;
    ASSERT_EQ(blocks.size(), expectedBlocks) << file.name;
    for (size_t i = 0; i + 1 < blocks.size(); ++i) EXPECT_EQ(blocks[i], 1048576) << file.name;
  }
}

TEST_F(ContainerConversionTest, WhatCannotBeConvertedIsRefusedAndLeftByteForByte) {
  const std::string good = EncodeLegacy(kProtection, kProvider, kFolders, kFiles);
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x40;  // inside the large image: only the digest notices
  std::string current;
  {
    const std::string scratch = root_.Sub("current.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(scratch.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE FILE_DATA(FILE_ID INTEGER,BLOCK_ID INTEGER,"
                           "BLOCK_DATA BLOB)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    current = ReadTextFile(scratch);
  }
  auto withFolder = [](Folder folder) {
    return EncodeLegacy(kProtection, kProvider, {folder}, {});
  };
  auto withFile = [](File file) { return EncodeLegacy(kProtection, kProvider, {}, {file}); };
  struct Case {
    const char* what;
    std::string bytes;
    long exitCode;
  };
  const Case cases[] = {
      {"an image byte changed", flipped, 6},
      {"cut short", good.substr(0, good.size() - 100), 6},
      {"cut inside a record", good.substr(0, 60), 6},
      {"bytes after the trailer", good + "x", 6},
      {"already current", current, 5},
      {"plain text", "hello, this is not a container\n", 4},
      {"empty", "", 4},
      {"newer format", EncodeLegacy(kProtection, kProvider, kFolders, kFiles, 2), 7},
      {"file in a missing folder", withFile({1, 4, 0, 0, kDate, kTime, "a.qvf", "x"}), 6},
      {"parent that is not the parent", withFolder({1, 1, 0x10, kDate, kTime, "\\a"}), 6},
      {"escaping folder name", withFolder({1, 0, 0x10, kDate, kTime, "\\..\\etc"}), 6},
      {"file name with a separator", withFile({1, 0, 0, 0, kDate, kTime, "a\\b.qvf", ""}), 6},
      {"marker with content", withFile({1, 0, 0, 0, 0, 0, "qvdummyffff.qvf", "data"}), 6},
      {"file id zero", withFile({0, 0, 0, 0, kDate, kTime, "a.qvf", ""}), 6},
  };
  const std::string converter = ProgramFolder() + "/qvdbconv";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = folder_ + "/" + c.what + ".qvef";
    WriteTextFile(path, c.bytes);
    EXPECT_EQ(RunProgram(converter, path), c.exitCode);
    EXPECT_EQ(RunContainerConverter(path.c_str()), VARIANT_FALSE);
    EXPECT_TRUE(ReadTextFile(path) == c.bytes) << "the file was changed";
    EXPECT_EQ(FolderEntries(folder_), std::vector<std::string>{c.what + std::string(".qvef")})
        << "something was left beside the container";
    ASSERT_EQ(unlink(path.c_str()), 0);
  }

  // A missing container, and a folder the new container cannot be written to.
  EXPECT_EQ(RunProgram(converter, folder_ + "/missing.qvef"), 3);
  EXPECT_EQ(RunContainerConverter((folder_ + "/missing.qvef").c_str()), VARIANT_FALSE);
  EXPECT_TRUE(FolderEntries(folder_).empty());
  if (geteuid() != 0) {  // permissions do not stop the superuser
    const std::string path = folder_ + "/read only folder.qvef";
    WriteTextFile(path, good);
    ASSERT_EQ(chmod(folder_.c_str(), 0555), 0);
    EXPECT_EQ(RunProgram(converter, path), 8);
    ASSERT_EQ(chmod(folder_.c_str(), 0755), 0);
    EXPECT_TRUE(ReadTextFile(path) == good);
  }
  // The same file is converted once; a second run finds nothing to do.
  const std::string path = folder_ + "/twice.qvef";
  WriteTextFile(path, good);
  EXPECT_EQ(RunProgram(converter, path), 0);
  const std::string converted = ReadTextFile(path);
  EXPECT_EQ(converted.substr(0, 16), std::string("SQLite format 3\0", 16));
  EXPECT_EQ(RunProgram(converter, path), 5);
  EXPECT_TRUE(ReadTextFile(path) == converted);
}

TEST_F(ContainerConversionTest, TheSampleOfTheConverterConverts) {
  const std::string converter = ProgramFolder() + "/qvdbconv";
  const std::string path = folder_ + "/sample container.qvef";
  EXPECT_EQ(RunProgram(converter, "--help"), 0);
  EXPECT_EQ(RunProgram(converter, "--no-such-option"), 2);
  EXPECT_EQ(RunProgram(converter, "--make-sample"), 2);
  // --make-sample and its output path are two arguments; run it in a child with both.
  EXPECT_EQ(RunInChild([&] {
              execl(converter.c_str(), converter.c_str(), "--make-sample", path.c_str(), nullptr);
              return 97;
            }),
            0);
  EXPECT_EQ(ReadTextFile(path).substr(0, 8), "QVLEGACY");
  ASSERT_EQ(RunContainerConverter(path.c_str()), VARIANT_TRUE);
  Database db(path);
  EXPECT_EQ(db.Rows("SELECT count(*) FROM FOLDER_INFO"), std::vector<std::string>{"3"});
  EXPECT_EQ(db.Rows("SELECT FILE_NAME FROM FILE_INFO ORDER BY FILE_ID"),
            (std::vector<std::string>{"Read me.txt.qvf", "Budget.xls.qvf", "empty.dat.qvf",
                                      "qvdummyffff.qvf"}));
  EXPECT_EQ(db.Rows("SELECT FILE_ID,BLOCK_ID,length(BLOCK_DATA) FROM FILE_DATA"),
            (std::vector<std::string>{"1|0|556", "2|0|1048576", "2|1|1"}));
}

// A folder with a link to this program and a stand-in converter that records what it got.
class StandInConverterTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_FALSE(kRunningAsProbe);
    install_ = root_.Sub("install folder");
    ASSERT_EQ(mkdir(install_.c_str(), 0755), 0);
    probe_ = install_ + "/container_tests";
    if (link(ProgramPath().c_str(), probe_.c_str()) != 0)
      std::filesystem::copy_file(ProgramPath(), probe_);
    log_ = root_.Sub("converter.log");
    setenv("LD_LIBRARY_PATH", ProgramFolder().c_str(), 1);
    setenv("QV_CONVERSION_PROBE", "1", 1);
    setenv("QV_PROBE_LOG", log_.c_str(), 1);
  }
  void InstallConverter(const char* exitCode) {
    WriteTextFile(install_ + "/qvdbconv",
                  "#!/bin/sh\n{ printf '%s\\n' \"$#\" \"$1\"; pwd; } > \"$QV_PROBE_LOG\"\n"
                  "exit " +
                      std::string(exitCode) + "\n");
    ASSERT_EQ(chmod((install_ + "/qvdbconv").c_str(), 0755), 0);
  }

  std::string install_;
  std::string probe_;
  std::string log_;
};

TEST_F(StandInConverterTest, ThePathArrivesWholeAndExitCodeZeroAloneIsSuccess) {
  const std::string container = root_.Sub("My Folders/Plans 2017 (old) 'a' \"b\" $HOME.qvef");
  struct {
    const char* exitCode;
    long probeResult;
  } cases[] = {{"0", 0}, {"1", 1}, {"7", 1}, {"255", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exitCode);
    InstallConverter(c.exitCode);
    unlink(log_.c_str());
    EXPECT_EQ(RunProgram(probe_, container), c.probeResult);
    EXPECT_EQ(ReadTextFile(log_), "1\n" + container + "\n" + install_ + "\n");
  }
  // A converter that dies from a signal has not converted anything.
  WriteTextFile(install_ + "/qvdbconv", "#!/bin/sh\nkill -KILL $$\n");
  EXPECT_EQ(RunProgram(probe_, container), 1);
}

TEST_F(StandInConverterTest, AMissingConverterIsAFailure) {
  EXPECT_EQ(RunProgram(probe_, root_.Sub("a.qvef")), 1);
  EXPECT_EQ(RunContainerConverter(nullptr), VARIANT_FALSE);
}

}  // namespace
