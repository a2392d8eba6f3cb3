// Tests of the registry hive: the Win32 calls and their status codes, the file format,
// visibility to other processes, concurrent writers, and damaged or hostile hive files.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/Registry.h"
#include "tests/common/TestRoot.h"

namespace {

using KeyPtr = std::unique_ptr<HKEY__, decltype([](HKEY h) { (void)RegCloseKey(h); })>;

KeyPtr CreateKey(HKEY root, const char* path) {
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
            ERROR_SUCCESS)
      << path;
  return KeyPtr(h);
}

KeyPtr OpenKey(HKEY root, const char* path, REGSAM sam = KEY_READ) {
  HKEY h = nullptr;
  EXPECT_EQ(RegOpenKeyExA(root, path, 0, sam, &h), ERROR_SUCCESS) << path;
  return KeyPtr(h);
}

// The status of opening (or creating) `path`; a key that opens is closed again.
LSTATUS OpenStatus(HKEY root, const char* path, bool create = false) {
  HKEY h = nullptr;
  const LSTATUS st =
      create ? RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr)
             : RegOpenKeyExA(root, path, 0, KEY_READ, &h);
  if (st == ERROR_SUCCESS) (void)RegCloseKey(h);
  return st;
}

LSTATUS SetBytes(HKEY h, const char* name, DWORD type, const std::string& bytes) {
  return RegSetValueExA(h, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

LSTATUS SetDword(HKEY h, const char* name, DWORD value) {
  return RegSetValueExA(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

std::string Err(LSTATUS st) { return "error " + std::to_string(st); }

// A value as "type:bytes", or "error N" when reading it fails.
std::string Value(HKEY h, const char* name) {
  DWORD type = 0;
  DWORD size = 0;
  LSTATUS st = RegQueryValueExA(h, name, nullptr, &type, nullptr, &size);
  std::string bytes(size, '\0');
  if (st == ERROR_SUCCESS)
    st = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<LPBYTE>(bytes.data()), &size);
  if (st != ERROR_SUCCESS) return Err(st);
  return std::to_string(type) + ":" + bytes.substr(0, size);
}

std::string DwordValue(DWORD v) {
  return std::to_string(REG_DWORD) + ":" + std::string(reinterpret_cast<const char*>(&v), 4);
}

// Puts `text` in place of the hive as a new file, as another program would, so that the
// next call parses it instead of what this process read before.
void ReplaceHive(const std::string& text) {
  std::filesystem::remove(QvRegistryHivePath());
  WriteTextFile(QvRegistryHivePath(), text);
}

// A hive file from its record lines, with a correct end line (64-bit FNV-1a check value).
std::string HiveText(const std::vector<std::string>& records, size_t count = SIZE_MAX) {
  std::string body = "QVHIVE 1\n";
  for (const std::string& r : records) body += r + "\n";
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : body) h = (h ^ c) * 1099511628211ull;
  char sum[17];
  std::snprintf(sum, sizeof sum, "%016llx", static_cast<unsigned long long>(h));
  return body + "end " + std::to_string(count == SIZE_MAX ? records.size() : count) + " " + sum +
         "\n";
}

class RegistryTest : public RootedTest {};

TEST_F(RegistryTest, ValuesRoundTripThroughTheFileWithTypeAndBytes) {
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  const std::tuple<const char*, DWORD, std::string> cases[] = {
      {"Blob", REG_BINARY, allBytes},
      {"", REG_SZ, std::string("default\0", 8)},
      {"@", REG_SZ, std::string("at\0", 3)},
      {"name with spaces %41 \\ @ and \xc3\xa9", 0x12345678, ""},
  };
  {
    KeyPtr key = CreateKey(HKEY_CLASSES_ROOT, "RoundTrip");
    for (const auto& [name, type, bytes] : cases)
      ASSERT_EQ(SetBytes(key.get(), name, type, bytes), ERROR_SUCCESS) << name;
  }
  ReplaceHive(ReadTextFile(QvRegistryHivePath()));  // the next call parses the file afresh
  KeyPtr key = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\RoundTrip");
  for (const auto& [name, type, bytes] : cases)
    EXPECT_EQ(Value(key.get(), name), std::to_string(type) + ":" + bytes) << name;
  EXPECT_EQ(Value(key.get(), nullptr), std::string("1:default\0", 10)) << "null is the default";
}

TEST_F(RegistryTest, QueryReportsSizesAndNeverOverrunsTheBuffer) {
  KeyPtr key = CreateKey(HKEY_CURRENT_USER, "Software\\Sizes");
  ASSERT_EQ(SetBytes(key.get(), "Text", REG_SZ, std::string("hello\0", 6)), ERROR_SUCCESS);
  char buffer[8];
  std::memset(buffer, 'X', sizeof buffer);
  DWORD type = 0;
  DWORD size = 5;
  auto* out = reinterpret_cast<LPBYTE>(buffer);
  EXPECT_EQ(RegQueryValueExA(key.get(), "Text", nullptr, &type, out, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::string(buffer, 8), std::string(8, 'X')) << "a failed read left bytes behind";
  EXPECT_EQ(RegQueryValueExA(key.get(), "Text", nullptr, nullptr, out, nullptr),
            ERROR_INVALID_PARAMETER);
}

// The user's keys live under HKEY_USERS\<uid>; names ignore case; values enumerate in the
// order first set.
TEST_F(RegistryTest, UserKeysNamesAndEnumeration) {
  KeyPtr parent = CreateKey(HKEY_CURRENT_USER, "Software\\Order");
  CreateKey(parent.get(), "Alpha");
  DWORD n = 0;
  for (const char* name : {"zeta", "alpha", "ZETA"})
    ASSERT_EQ(SetDword(parent.get(), name, ++n), ERROR_SUCCESS);
  ReplaceHive(ReadTextFile(QvRegistryHivePath()));
  KeyPtr key = OpenKey(HKEY_USERS, (std::to_string(getuid()) + "\\SOFTWARE\\ORDER\\").c_str());
  EXPECT_EQ(Value(key.get(), "zeta"), DwordValue(3)) << "ZETA is the value zeta";
  char name[32];
  DWORD chars = sizeof name;
  EXPECT_EQ(RegEnumValueA(key.get(), 1, name, &chars, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(std::string(name, chars), "alpha");
  EXPECT_EQ(RegEnumValueA(key.get(), 2, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  chars = 5;  // no room for the NUL
  EXPECT_EQ(RegEnumKeyExA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
}

TEST_F(RegistryTest, DeletingKeysAndValuesAndUsingDeletedKeys) {
  KeyPtr root = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del");
  KeyPtr child = CreateKey(root.get(), "Parent\\Child");
  ASSERT_EQ(SetDword(root.get(), "V", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(root.get(), "Parent"), ERROR_ACCESS_DENIED) << "has a subkey";
  EXPECT_EQ(RegDeleteKeyA(root.get(), "Parent\\Child"), ERROR_SUCCESS);
  // A handle to a deleted key reports it and recreates nothing.
  EXPECT_EQ(SetDword(child.get(), "V", 1), ERROR_KEY_DELETED);
  EXPECT_EQ(OpenStatus(child.get(), "Sub", true), ERROR_KEY_DELETED);

  CreateKey(root.get(), "Parent\\Child\\Grandchild");
  EXPECT_EQ(RegDeleteTreeA(root.get(), "PARENT"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeA(root.get(), "Parent"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(root.get(), "v"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(root.get(), "V"), ERROR_FILE_NOT_FOUND);

  // With no subkey name the tree call empties the key and keeps it.
  ASSERT_EQ(SetDword(root.get(), "W", 2), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeA(root.get(), nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Value(root.get(), "W"), Err(ERROR_FILE_NOT_FOUND)) << "the key itself stays";
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED) << "a predefined key";
}

TEST_F(RegistryTest, BadArgumentsLongNamesAndMissingRightsAreRefused) {
  const std::string longestKey(255, 'k');
  const std::string tooLongKey(256, 'k');
  const std::string tooLongValue(16384, 'v');
  KeyPtr base = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Limits");
  EXPECT_EQ(OpenStatus(base.get(), longestKey.c_str(), true), ERROR_SUCCESS);
  EXPECT_EQ(OpenStatus(base.get(), tooLongKey.c_str(), true), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetDword(base.get(), tooLongValue.c_str(), 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OpenStatus(base.get(), "a\\\\b"), ERROR_BAD_PATHNAME);
  EXPECT_EQ(SetDword(reinterpret_cast<HKEY>(0x7777), "V", 1), ERROR_INVALID_HANDLE);

  // Access rights are those the handle was opened with; opening an existing key through
  // RegCreateKeyExA needs no right to create.
  KeyPtr readOnly = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Limits", KEY_READ);
  EXPECT_EQ(SetDword(readOnly.get(), "V", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenStatus(readOnly.get(), "New", true), ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenStatus(readOnly.get(), longestKey.c_str(), true), ERROR_SUCCESS);
  KeyPtr writeOnly = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Limits", KEY_SET_VALUE);
  EXPECT_EQ(Value(writeOnly.get(), "V"), Err(ERROR_ACCESS_DENIED));
}

// Two processes writing at once lose no update.
TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNoUpdate) {
  constexpr int kPerChild = 200;
  const auto name = [](int c, int i) { return "c" + std::to_string(c) + "-" + std::to_string(i); };
  KeyPtr key = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Race");
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    fflush(nullptr);
    if ((children[c] = fork()) != 0) continue;
    char go = 0;
    if (read(gate[0], &go, 1) != 1) _exit(10);  // both start together
    for (int i = 0; i < kPerChild; ++i)
      if (SetDword(key.get(), name(c, i).c_str(), static_cast<DWORD>(c * 1000 + i)) != 0) _exit(11);
    _exit(0);
  }
  ASSERT_EQ(write(gate[1], "gg", 2), 2);
  close(gate[0]);
  close(gate[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  int lost = 0;
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < kPerChild; ++i)
      lost += Value(key.get(), name(c, i).c_str()) != DwordValue(static_cast<DWORD>(c * 1000 + i));
  EXPECT_EQ(lost, 0);
}

TEST_F(RegistryTest, TheHiveFileHasTheDocumentedFormat) {
  {
    KeyPtr key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\T");
    ASSERT_EQ(SetDword(key.get(), "N", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key.get(), "", REG_SZ, std::string("a b\0", 4)), ERROR_SUCCESS);
  }
  EXPECT_EQ(ReadTextFile(QvRegistryHivePath()),
            HiveText({"k HKEY_LOCAL_MACHINE", "k HKEY_LOCAL_MACHINE\\Software",
                      "k HKEY_LOCAL_MACHINE\\Software\\T", "v N 4 4:01000000", "v @ 1 4:61206200",
                      "k HKEY_USERS"}));
  // A file written by hand in that format reads back, escapes and all.
  ReplaceHive(HiveText({"k HKEY_LOCAL_MACHINE", "k HKEY_LOCAL_MACHINE\\My%20Key",
                        "v Value%25%40%5C 3 2:00FF", "k HKEY_USERS"}));
  KeyPtr key = OpenKey(HKEY_LOCAL_MACHINE, "my key");
  EXPECT_EQ(Value(key.get(), "Value%@\\"), std::string("3:\x00\xff", 4));
}

void ExpectUnusableAndUntouched(const std::string& label) {
  SCOPED_TRACE(label);
  const std::string before = ReadTextFile(QvRegistryHivePath());
  EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, "Top"), Err(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", true), ERROR_BADDB);
  EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "Top", 2), ERROR_BADDB);
  EXPECT_EQ(ReadTextFile(QvRegistryHivePath()), before) << "the damaged file was written over";
}

TEST_F(RegistryTest, ADamagedHiveIsNeitherTrustedNorOverwritten) {
  CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");
  ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, "Top", 1), ERROR_SUCCESS);
  const std::string good = ReadTextFile(QvRegistryHivePath());
  std::string flipped = good;
  flipped[flipped.find("v Top 4 4:01") + 11] = '2';
  // Reported once per process, naming the file.
  ReplaceHive("QVHIVE \x1b]0;x\x07\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "Top", 2), ERROR_BADDB);
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find(QvRegistryHivePath()), std::string::npos) << report;
  EXPECT_EQ(report.find("registry:"), report.rfind("registry:")) << "reported twice: " << report;
  EXPECT_EQ(report.find_first_of("\x1b\x07"), std::string::npos) << "control bytes: " << report;
  const std::string lm = "k HKEY_LOCAL_MACHINE";
  const std::pair<const char*, std::string> cases[] = {
      {"newer format", "QVHIVE 2" + good.substr(8)},
      {"one byte changed", flipped},
      {"data not hex", HiveText({lm, "v Top 4 4:0100zz00", "k HKEY_USERS"})},
      {"length and data disagree", HiveText({lm, "v Top 4 4:010000", "k HKEY_USERS"})},
      {"key before its parent", HiveText({lm, lm + "\\a\\b"})},
      {"key under an unknown root", HiveText({"k HKEY_CURRENT_USER"})},
      {"value listed twice", HiveText({lm, "v Top 4 0:", "v TOP 4 0:", "k HKEY_USERS"})},
      {"key name holding a separator", HiveText({lm, lm + "\\a%5Cb", "k HKEY_USERS"})},
      {"bad escape", HiveText({lm, "v a%4 4 0:"})},
      {"record count wrong", HiveText({lm}, 2)},
  };
  for (const auto& [label, text] : cases) {
    ReplaceHive(text);
    ExpectUnusableAndUntouched(label);  // reads find nothing, writes fail, the file stays
  }
  for (size_t length = 0; length < good.size(); ++length) {
    ReplaceHive(good.substr(0, length));
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "Top", 2), ERROR_BADDB)
        << "cut to " << length << " of " << good.size() << " bytes";
  }
  ReplaceHive(good);
  EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept"), ERROR_SUCCESS) << "once repaired";
}

TEST_F(RegistryTest, AnUnreadableHiveIsNotReplaced) {
  const std::string hive = (CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept"), QvRegistryHivePath());
  std::filesystem::remove(hive);
  std::filesystem::create_directory(hive);
  ExpectUnusableAndUntouched("a folder in place of the hive");
  EXPECT_TRUE(std::filesystem::is_directory(hive));

  // A pipe would block a plain open until some writer came along.
  std::filesystem::remove(hive);
  ASSERT_EQ(mkfifo(hive.c_str(), 0600), 0);
  const int rc = RunInChild([] {
    alarm(30);  // a blocked open ends the child instead of the test run
    return SetDword(HKEY_LOCAL_MACHINE, "Top", 2) == ERROR_BADDB ? 0 : 2;
  });
  EXPECT_EQ(rc, 0) << "-1: the child blocked or crashed";
  struct stat st {};
  ASSERT_EQ(lstat(hive.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe was replaced";
}

long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  return -1;
}

// A hostile hive costs memory and time in proportion to its size: a line of separators is
// not split into a piece each, and duplicate values are found without comparing every pair.
TEST_F(RegistryTest, AHostileHiveCostsNoMoreThanItsSize) {
  CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");  // makes the registry folder
  constexpr size_t kSeparators = 16u << 20;
  const std::string lm = "k HKEY_LOCAL_MACHINE";
  for (const std::string& line :
       {lm + std::string(kSeparators, '\\'), "v" + std::string(kSeparators, ' ')}) {
    ReplaceHive(HiveText({lm, line}));
    const int rc = RunInChild([] {
      std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak to the current size
      const long before = StatusKiB("VmRSS:");
      if (OpenStatus(HKEY_LOCAL_MACHINE, "SOFTWARE") != ERROR_FILE_NOT_FOUND) return 1;
      // Reading the 16 MiB file takes about twice that (three times with the address
      // sanitizer); a piece per separator would take 256 MiB and more.
      const long grown = StatusKiB("VmHWM:") - before;
      return before > 0 && grown < 160 * 1024 ? 0 : 2;
    });
    EXPECT_EQ(rc, 0) << line.substr(0, 4) << " (2: took far more memory than the file)";
  }

  constexpr int kValues = 100000;
  const std::string prefix(100, 'p');  // names alike but for their end: slow to tell apart
  std::vector<std::string> records = {lm, lm + "\\Many"};
  for (int i = 0; i < kValues; ++i)
    records.push_back("v " + prefix + std::to_string(1000000 + i) + " 4 0:");
  records.emplace_back("k HKEY_USERS");
  ReplaceHive(HiveText(records));
  const std::string last = prefix + std::to_string(1000000 + kValues - 1);
  const int rc = RunInChild([&] {
    alarm(60);  // comparing every pair would take many minutes
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Many", 0, KEY_READ, &h) != ERROR_SUCCESS) return 1;
    return Value(h, last.c_str()) == std::to_string(REG_DWORD) + ":" ? 0 : 2;
  });
  EXPECT_EQ(rc, 0) << "-1: the child ran out of time or crashed";
}

// A write that fails (the file size limit stands in for a full disk) is reported, leaves no
// temporary file nor trace in this process's view, and releases the lock.
TEST_F(RegistryTest, AFailedWriteLeavesNoTraceAndReleasesTheLock) {
  KeyPtr key = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");
  ASSERT_EQ(SetDword(key.get(), "Top", 1), ERROR_SUCCESS);
  const std::string before = ReadTextFile(QvRegistryHivePath());
  const std::string dir = std::filesystem::path(QvRegistryHivePath()).parent_path();
  const int rc = RunInChild([&] {
    alarm(30);  // a lock left held makes the last change wait for ever
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    if (getrlimit(RLIMIT_FSIZE, &saved) != 0) return 1;
    const rlimit small{1024, saved.rlim_max};
    if (setrlimit(RLIMIT_FSIZE, &small) != 0) return 1;
    if (SetBytes(key.get(), "Big", REG_BINARY, std::string(4096, 'b')) != ERROR_CANTWRITE) return 2;
    if (setrlimit(RLIMIT_FSIZE, &saved) != 0) return 1;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      if (entry.path().filename().string().rfind("hive.tmp.", 0) == 0) return 3;
    if (ReadTextFile(QvRegistryHivePath()) != before) return 4;
    if (Value(key.get(), "Big") != Err(ERROR_FILE_NOT_FOUND)) return 5;
    return SetDword(key.get(), "After", 2) == ERROR_SUCCESS ? 0 : 6;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(Value(key.get(), "After"), DwordValue(2));
}

// A value's length is held to the limit before it is used: one byte more than the limit, or a
// length whose double wraps around to the length of the data given, makes the hive damaged
// like any other malformed line, instead of a value of that size.
TEST_F(RegistryTest, ValueLengthsOverTheLimitOrWrappingAroundAreRefused) {
  CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");  // makes the registry folder
  const std::string lm = "k HKEY_LOCAL_MACHINE";
  const auto valueLine = [](std::uint64_t length, std::size_t hexDigits) {
    return "v Big 3 " + std::to_string(length) + ":" + std::string(hexDigits, 'a');
  };
  ReplaceHive(HiveText({lm, valueLine(kRegMaxValueDataSize, 2 * kRegMaxValueDataSize)}));
  EXPECT_TRUE(Value(HKEY_LOCAL_MACHINE, "Big") == "3:" + std::string(kRegMaxValueDataSize, '\xaa'))
      << "a value at the limit is kept whole";

  constexpr std::uint64_t kHalfWrap = std::uint64_t{1} << 63;
  const std::pair<const char*, std::string> cases[] = {
      {"one byte over the limit",
       valueLine(kRegMaxValueDataSize + 1, 2 * kRegMaxValueDataSize + 2)},
      {"doubled, wraps to two digits", valueLine(kHalfWrap + 1, 2)},
      {"doubled, wraps to no digits", valueLine(kHalfWrap, 0)},
  };
  for (const auto& [label, line] : cases) {
    ReplaceHive(HiveText({lm, line}));
    const std::string before = ReadTextFile(QvRegistryHivePath());
    const int rc = RunInChild([] {
      alarm(60);
      if (Value(HKEY_LOCAL_MACHINE, "Big") != Err(ERROR_FILE_NOT_FOUND)) return 1;
      return SetDword(HKEY_LOCAL_MACHINE, "Top", 2) == ERROR_BADDB ? 0 : 2;
    });
    EXPECT_EQ(rc, 0) << label << " (1: the value was read, 2: the hive was written, -1: crashed)";
    EXPECT_TRUE(ReadTextFile(QvRegistryHivePath()) == before) << label << ": the hive was changed";
  }
}

}  // namespace
