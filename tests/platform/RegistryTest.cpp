// Tests of the registry hive: the Win32 calls and their status codes, the file format,
// visibility to other processes, concurrent writers, and damaged hive files.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "tests/common/TestRoot.h"

namespace {

struct KeyCloser {
  void operator()(HKEY h) const { (void)RegCloseKey(h); }
};
using KeyPtr = std::unique_ptr<HKEY__, KeyCloser>;

KeyPtr CreateKey(HKEY root, const char* path, REGSAM sam = KEY_ALL_ACCESS) {
  HKEY h = nullptr;
  EXPECT_EQ(
      RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, &h, nullptr),
      ERROR_SUCCESS)
      << path;
  return KeyPtr(h);
}

KeyPtr OpenKey(HKEY root, const char* path, REGSAM sam = KEY_READ) {
  HKEY h = nullptr;
  EXPECT_EQ(RegOpenKeyExA(root, path, 0, sam, &h), ERROR_SUCCESS) << path;
  return KeyPtr(h);
}

LSTATUS SetBytes(HKEY h, const char* name, DWORD type, const std::string& bytes) {
  return RegSetValueExA(h, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

LSTATUS SetDword(HKEY h, const char* name, DWORD value) {
  return RegSetValueExA(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// Reads a value whole; the status is that of the sized read.
LSTATUS GetBytes(HKEY h, const char* name, DWORD& type, std::string& bytes) {
  DWORD size = 0;
  LSTATUS st = RegQueryValueExA(h, name, nullptr, &type, nullptr, &size);
  if (st != ERROR_SUCCESS) return st;
  bytes.assign(size, '\0');
  st = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<LPBYTE>(bytes.data()), &size);
  bytes.resize(size);
  return st;
}

std::string HivePath() { return QvRegistryHivePath(); }

// Puts `text` in place of the hive as a new file, as another program would, so that the
// next call reads it instead of what this process parsed before.
void ReplaceHive(const std::string& text) {
  std::filesystem::remove(HivePath());
  WriteTextFile(HivePath(), text);
}

// The same bytes again as a new file: the next call parses the file afresh.
void ForceReparse() { ReplaceHive(ReadTextFile(HivePath())); }

std::vector<std::string> SubkeyNames(HKEY h, LSTATUS& last) {
  std::vector<std::string> names;
  char name[300];
  for (DWORD i = 0;; ++i) {
    DWORD chars = sizeof name;
    last = RegEnumKeyExA(h, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (last != ERROR_SUCCESS) return names;
    names.emplace_back(name, chars);
  }
}

std::vector<std::string> ValueNames(HKEY h, LSTATUS& last) {
  std::vector<std::string> names;
  char name[300];
  for (DWORD i = 0;; ++i) {
    DWORD chars = sizeof name;
    last = RegEnumValueA(h, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (last != ERROR_SUCCESS) return names;
    names.emplace_back(name, chars);
  }
}

// The hive's check value: 64-bit FNV-1a, as 16 lowercase hex digits.
std::string Checksum(const std::string& bytes) {
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
  return out;
}

// A hive file from its record lines, with a correct end line.
std::string HiveText(const std::vector<std::string>& records) {
  std::string body = "QVHIVE 1\n";
  for (const std::string& r : records) body += r + "\n";
  return body + "end " + std::to_string(records.size()) + " " + Checksum(body) + "\n";
}

class RegistryTest : public RootedTest {};

// --- values --------------------------------------------------------------------------

TEST_F(RegistryTest, ValuesRoundTripThroughTheFileWithTypeAndBytes) {
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  const struct {
    const char* name;
    DWORD type;
    std::string bytes;
  } cases[] = {
      {"InstallDir", REG_SZ, std::string("C:\\Quorvin\\\0", 12)},
      {"Expand", REG_EXPAND_SZ, std::string("%ProgramFiles%\\x\0", 17)},
      {"Multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
      {"Blob", REG_BINARY, allBytes},
      {"Number", REG_DWORD, std::string("\x01\x02\x03\x04", 4)},
      {"Nothing", REG_NONE, ""},
      {"", REG_SZ, std::string("default\0", 8)},
      {"@", REG_SZ, std::string("at\0", 3)},
      {"name with spaces %41 \\ @ and \xc3\xa9", 0x12345678, "odd type"},
  };
  {
    KeyPtr key = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\RoundTrip");
    for (const auto& c : cases)
      ASSERT_EQ(SetBytes(key.get(), c.name, c.type, c.bytes), ERROR_SUCCESS) << c.name;
  }
  ForceReparse();
  KeyPtr key = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\RoundTrip");
  for (const auto& c : cases) {
    DWORD type = 0;
    std::string bytes;
    EXPECT_EQ(GetBytes(key.get(), c.name, type, bytes), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
    EXPECT_EQ(bytes, c.bytes) << c.name;
  }
  // A null name is the default value, as is the empty name.
  DWORD type = 0;
  std::string bytes;
  EXPECT_EQ(GetBytes(key.get(), nullptr, type, bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, std::string("default\0", 8));
}

TEST_F(RegistryTest, QueryReportsSizesLikeWindows) {
  KeyPtr key = CreateKey(HKEY_CURRENT_USER, "Software\\Sizes");
  ASSERT_EQ(SetBytes(key.get(), "Text", REG_SZ, std::string("hello\0", 6)), ERROR_SUCCESS);

  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key.get(), "Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(type, REG_SZ);

  char buffer[8];
  std::memset(buffer, 'X', sizeof buffer);
  size = 5;
  EXPECT_EQ(
      RegQueryValueExA(key.get(), "Text", nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size),
      ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::string(buffer, 8), std::string(8, 'X')) << "a failed read left bytes behind";

  size = 6;
  EXPECT_EQ(
      RegQueryValueExA(key.get(), "Text", nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size),
      ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_EQ(buffer[6], 'X');

  EXPECT_EQ(RegQueryValueExA(key.get(), "Text", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer),
                             nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key.get(), "Missing", nullptr, &type, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, SettingAnEqualValueDoesNotRewriteTheFile) {
  KeyPtr key = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Same");
  ASSERT_EQ(SetDword(key.get(), "N", 1), ERROR_SUCCESS);
  struct stat before {};
  ASSERT_EQ(stat(HivePath().c_str(), &before), 0);
  ASSERT_EQ(SetDword(key.get(), "n", 1), ERROR_SUCCESS);
  struct stat after {};
  ASSERT_EQ(stat(HivePath().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino) << "the hive was replaced for an equal value";
  ASSERT_EQ(SetDword(key.get(), "n", 2), ERROR_SUCCESS);
  ASSERT_EQ(stat(HivePath().c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino) << "a changed value did not replace the hive";
}

// --- keys ----------------------------------------------------------------------------

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirCase) {
  {
    KeyPtr key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\Vendor\\MixedCase");
    ASSERT_EQ(SetDword(key.get(), "InstallFlag", 7), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), "INSTALLFLAG", 8), ERROR_SUCCESS);  // the same value
  }
  ForceReparse();
  KeyPtr key = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\VENDOR\\mixedcase");
  DWORD type = 0;
  std::string bytes;
  ASSERT_EQ(GetBytes(key.get(), "installflag", type, bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, std::string("\x08\0\0\0", 4));

  char name[64];
  DWORD chars = sizeof name;
  ASSERT_EQ(RegEnumValueA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "InstallFlag");
  chars = sizeof name;
  EXPECT_EQ(RegEnumValueA(key.get(), 1, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);

  KeyPtr vendor = OpenKey(HKEY_LOCAL_MACHINE, "software\\vendor");
  chars = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(vendor.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "MixedCase");
  EXPECT_EQ(chars, 9u);
}

TEST_F(RegistryTest, CreateReportsDispositionAndOpenReportsMissingKeys) {
  HKEY h = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(h, nullptr);

  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B", 0, nullptr, 0, KEY_READ, nullptr,
                            &h, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\a\\b", 0, nullptr, 0, KEY_READ, nullptr,
                            &h, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  // The key in between was created too, and a trailing separator is accepted.
  KeyPtr middle = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\");
  EXPECT_NE(middle, nullptr);
}

TEST_F(RegistryTest, EnumeratesKeysInNameOrderAndValuesInSetOrder) {
  KeyPtr parent = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Order");
  // Windows orders names upper-cased, so "_under" sorts after the letters.
  for (const char* name : {"beta", "_under", "Alpha", "gamma"}) CreateKey(parent.get(), name);
  for (const char* name : {"zeta", "alpha", "Mid"}) ASSERT_EQ(SetDword(parent.get(), name, 1), 0);

  LSTATUS last = ERROR_SUCCESS;
  EXPECT_EQ(SubkeyNames(parent.get(), last),
            (std::vector<std::string>{"Alpha", "beta", "gamma", "_under"}));
  EXPECT_EQ(last, ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(ValueNames(parent.get(), last), (std::vector<std::string>{"zeta", "alpha", "Mid"}));
  EXPECT_EQ(last, ERROR_NO_MORE_ITEMS);

  // A name buffer without room for the NUL, and a data buffer that is too small.
  char name[32];
  DWORD chars = 5;
  EXPECT_EQ(RegEnumKeyExA(parent.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  BYTE data[2];
  DWORD size = sizeof data;
  DWORD type = 0;
  chars = sizeof name;
  EXPECT_EQ(RegEnumValueA(parent.get(), 0, name, &chars, nullptr, &type, data, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, REG_DWORD);
}

TEST_F(RegistryTest, DeletingKeysAndValues) {
  KeyPtr root = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del");
  CreateKey(root.get(), "Parent\\Child");
  ASSERT_EQ(SetDword(root.get(), "V", 1), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKeyA(root.get(), "Parent"), ERROR_ACCESS_DENIED) << "has a subkey";
  EXPECT_EQ(RegDeleteKeyA(root.get(), "Parent\\Child"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(root.get(), "Parent\\Child"), ERROR_FILE_NOT_FOUND);
  CreateKey(root.get(), "Parent\\Child\\Grandchild");
  EXPECT_EQ(RegDeleteTreeA(root.get(), "PARENT"), ERROR_SUCCESS);
  HKEY h = nullptr;
  EXPECT_EQ(RegOpenKeyExA(root.get(), "Parent", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeA(root.get(), "Parent"), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(RegDeleteValueA(root.get(), "v"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(root.get(), "V"), ERROR_FILE_NOT_FOUND);

  // With no subkey name the tree call empties the key and keeps it.
  ASSERT_EQ(SetDword(root.get(), "W", 2), ERROR_SUCCESS);
  CreateKey(root.get(), "Again");
  EXPECT_EQ(RegDeleteTreeA(root.get(), nullptr), ERROR_SUCCESS);
  LSTATUS last = ERROR_SUCCESS;
  EXPECT_TRUE(SubkeyNames(root.get(), last).empty());
  EXPECT_EQ(last, ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(ValueNames(root.get(), last).empty());
  EXPECT_EQ(last, ERROR_NO_MORE_ITEMS);
  KeyPtr stillThere = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del");
  EXPECT_NE(stillThere, nullptr);

  // The predefined keys themselves cannot be deleted.
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, AHandleToADeletedKeyReportsItAndRecreatesNothing) {
  KeyPtr doomed = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed\\Inner");
  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed"), ERROR_SUCCESS);

  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(doomed.get(), "V", nullptr, nullptr, nullptr, &size),
            ERROR_KEY_DELETED);
  EXPECT_EQ(SetDword(doomed.get(), "V", 1), ERROR_KEY_DELETED);
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyExA(doomed.get(), "Sub", 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);

  // The same below a predefined key whose own keys went too: nothing comes back.
  KeyPtr mine = CreateKey(HKEY_CURRENT_USER, "Software\\Mine");
  ASSERT_EQ(RegDeleteTreeA(HKEY_USERS, std::to_string(getuid()).c_str()), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(mine.get(), "V", 1), ERROR_KEY_DELETED);
  LSTATUS last = ERROR_SUCCESS;
  EXPECT_EQ(SubkeyNames(HKEY_USERS, last), std::vector<std::string>{});
}

TEST_F(RegistryTest, PredefinedKeysMapOntoTheTwoRoots) {
  // Before anything is written the predefined keys exist and are empty.
  LSTATUS last = ERROR_SUCCESS;
  EXPECT_TRUE(SubkeyNames(HKEY_CURRENT_USER, last).empty());
  EXPECT_EQ(last, ERROR_NO_MORE_ITEMS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(HKEY_CLASSES_ROOT, "", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  {
    KeyPtr cls = CreateKey(HKEY_CLASSES_ROOT, ".qvf");
    ASSERT_EQ(SetBytes(cls.get(), nullptr, REG_SZ, std::string("QvFile\0", 7)), ERROR_SUCCESS);
    KeyPtr user = CreateKey(HKEY_CURRENT_USER, "Software\\Mine");
    ASSERT_EQ(SetDword(user.get(), "N", 5), ERROR_SUCCESS);
  }
  KeyPtr cls = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\.qvf");
  DWORD type = 0;
  std::string bytes;
  EXPECT_EQ(GetBytes(cls.get(), "", type, bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, std::string("QvFile\0", 7));

  const std::string userPath = std::to_string(getuid()) + "\\Software\\Mine";
  KeyPtr user = OpenKey(HKEY_USERS, userPath.c_str());
  EXPECT_EQ(GetBytes(user.get(), "N", type, bytes), ERROR_SUCCESS);

  // Closing a predefined key does nothing.
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  KeyPtr again = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE");
  EXPECT_NE(again, nullptr);
}

TEST_F(RegistryTest, BadArgumentsAndHandlesAreRefused) {
  const std::string longestKey(255, 'k');
  const std::string tooLongKey(256, 'k');
  const std::string longestValue(16383, 'v');
  const std::string tooLongValue(16384, 'v');
  KeyPtr base = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Limits");
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyExA(base.get(), longestKey.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &h,
                            nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE) << "closed twice";
  EXPECT_EQ(RegCreateKeyExA(base.get(), tooLongKey.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &h,
                            nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExA(base.get(), ("a\\" + tooLongKey).c_str(), 0, KEY_READ, &h),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetDword(base.get(), longestValue.c_str(), 1), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(base.get(), tooLongValue.c_str(), 1), ERROR_INVALID_PARAMETER);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(base.get(), tooLongValue.c_str(), nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExA(base.get(), "\\Leading", 0, KEY_READ, &h), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExA(base.get(), "a\\\\b", 0, KEY_READ, &h), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyExA(base.get(), "Volatile", 0, nullptr, 1, KEY_READ, nullptr, &h, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExA(base.get(), "NoData", 0, REG_BINARY, nullptr, 4),
            ERROR_INVALID_PARAMETER);

  EXPECT_EQ(SetDword(nullptr, "V", 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetDword(reinterpret_cast<HKEY>(0x7777), "V", 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x7777)), ERROR_INVALID_HANDLE);

  // Access rights are those the handle was opened with.
  KeyPtr readOnly = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Limits", KEY_READ);
  EXPECT_EQ(SetDword(readOnly.get(), "V", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(readOnly.get(), longestValue.c_str()), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(readOnly.get(), "New", 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeA(readOnly.get(), longestKey.c_str()), ERROR_ACCESS_DENIED);
  KeyPtr writeOnly = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Limits", KEY_SET_VALUE);
  EXPECT_EQ(
      RegQueryValueExA(writeOnly.get(), longestValue.c_str(), nullptr, nullptr, nullptr, &size),
      ERROR_ACCESS_DENIED);
  // Opening an existing key through RegCreateKeyExA needs no right to create.
  EXPECT_EQ(RegCreateKeyExA(readOnly.get(), longestKey.c_str(), 0, nullptr, 0, KEY_READ, nullptr,
                            &h, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

// --- other processes -----------------------------------------------------------------

TEST_F(RegistryTest, ChangesAreVisibleToAnotherProcessAtOnce) {
  KeyPtr key = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared");
  KeyPtr gone = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared\\Gone");
  ASSERT_EQ(SetDword(key.get(), "FromParent", 1), ERROR_SUCCESS);
  DWORD value = 0;
  DWORD size = sizeof value;
  ASSERT_EQ(RegQueryValueExA(key.get(), "FromChild", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);

  const int rc = RunInChild([] {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", 0, KEY_ALL_ACCESS, &h) != 0) return 1;
    DWORD got = 0;
    DWORD bytes = sizeof got;
    if (RegQueryValueExA(h, "FromParent", nullptr, nullptr, reinterpret_cast<LPBYTE>(&got),
                         &bytes) != 0 ||
        got != 1)
      return 2;
    got = 2;
    if (RegSetValueExA(h, "FromChild", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&got), 4) != 0)
      return 3;
    return RegDeleteTreeA(h, "Gone") == 0 ? 0 : 4;
  });
  ASSERT_EQ(rc, 0);

  size = sizeof value;
  ASSERT_EQ(RegQueryValueExA(key.get(), "FromChild", nullptr, nullptr,
                             reinterpret_cast<LPBYTE>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(RegQueryValueExA(gone.get(), "X", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNoUpdate) {
  constexpr int kPerChild = 200;
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    fflush(nullptr);
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      close(gate[1]);
      char go = 0;
      if (read(gate[0], &go, 1) != 1) _exit(10);
      HKEY h = nullptr;
      if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Race", 0, nullptr, 0, KEY_ALL_ACCESS,
                          nullptr, &h, nullptr) != 0)
        _exit(11);
      for (int i = 0; i < kPerChild; ++i) {
        const std::string name = "c" + std::to_string(c) + "-" + std::to_string(i);
        const DWORD value = static_cast<DWORD>(c * 1000 + i);
        if (RegSetValueExA(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           4) != 0)
          _exit(12);
      }
      _exit(0);
    }
  }
  close(gate[0]);
  ASSERT_EQ(write(gate[1], "gg", 2), 2);
  close(gate[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }

  KeyPtr key = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Race");
  int missing = 0;
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < kPerChild; ++i) {
      const std::string name = "c" + std::to_string(c) + "-" + std::to_string(i);
      DWORD value = 0;
      DWORD size = sizeof value;
      if (RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr,
                           reinterpret_cast<LPBYTE>(&value), &size) != ERROR_SUCCESS ||
          value != static_cast<DWORD>(c * 1000 + i))
        ++missing;
    }
  }
  EXPECT_EQ(missing, 0);
  char name[32];
  DWORD chars = sizeof name;
  EXPECT_EQ(
      RegEnumValueA(key.get(), 2 * kPerChild, name, &chars, nullptr, nullptr, nullptr, nullptr),
      ERROR_NO_MORE_ITEMS);
}

// --- the file ------------------------------------------------------------------------

TEST_F(RegistryTest, TheHiveFileHasTheDocumentedFormat) {
  {
    KeyPtr key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\T");
    ASSERT_EQ(SetDword(key.get(), "N", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(key.get(), "", REG_SZ, std::string("a b\0", 4)), ERROR_SUCCESS);
  }
  EXPECT_EQ(ReadTextFile(HivePath()),
            HiveText({"k HKEY_LOCAL_MACHINE", "k HKEY_LOCAL_MACHINE\\Software",
                      "k HKEY_LOCAL_MACHINE\\Software\\T", "v N 4 4:01000000", "v @ 1 4:61206200",
                      "k HKEY_USERS"}));

  // A file written by hand in that format reads back, escapes and all.
  ReplaceHive(HiveText({"k HKEY_LOCAL_MACHINE", "k HKEY_LOCAL_MACHINE\\My%20Key",
                        "v Value%25%40%5C 3 2:00FF", "k HKEY_USERS"}));
  KeyPtr key = OpenKey(HKEY_LOCAL_MACHINE, "my key");
  DWORD type = 0;
  std::string bytes;
  EXPECT_EQ(GetBytes(key.get(), "Value%@\\", type, bytes), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(bytes, std::string("\x00\xff", 2));
}

// What every reader and writer must do with a hive file it cannot use.
void ExpectUnusableAndUntouched(const std::string& label) {
  SCOPED_TRACE(label);
  const std::string before = ReadTextFile(HivePath());
  HKEY h = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(h, nullptr);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(HKEY_LOCAL_MACHINE, "Top", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &h, nullptr),
            ERROR_BADDB);
  EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "Top", 2), ERROR_BADDB);
  EXPECT_EQ(RegDeleteValueA(HKEY_LOCAL_MACHINE, "Top"), ERROR_BADDB);
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE"), ERROR_BADDB);
  EXPECT_EQ(ReadTextFile(HivePath()), before) << "the damaged file was written over";
}

TEST_F(RegistryTest, ADamagedHiveIsNeitherTrustedNorOverwritten) {
  CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");
  ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, "Top", 1), ERROR_SUCCESS);
  const std::string good = ReadTextFile(HivePath());
  std::string flipped = good;
  flipped[flipped.find("v Top 4 4:01") + 11] = '2';

  const struct {
    const char* label;
    std::string text;
  } cases[] = {
      {"empty file", ""},
      {"not a hive", "hello\n"},
      {"newer format", "QVHIVE 2" + good.substr(8)},
      {"one byte changed", flipped},
      {"end line missing", good.substr(0, good.rfind("end "))},
      {"bytes after the end line", good + "k HKEY_USERS\\x\n"},
      {"data not hex", HiveText({"k HKEY_LOCAL_MACHINE", "v Top 4 4:0100zz00", "k HKEY_USERS"})},
      {"length and data disagree",
       HiveText({"k HKEY_LOCAL_MACHINE", "v Top 4 4:010000", "k HKEY_USERS"})},
      {"value before any key", HiveText({"v Top 4 4:01000000", "k HKEY_LOCAL_MACHINE"})},
      {"key before its parent", HiveText({"k HKEY_LOCAL_MACHINE", "k HKEY_LOCAL_MACHINE\\a\\b"})},
      {"key under an unknown root", HiveText({"k HKEY_CURRENT_USER"})},
      {"value listed twice",
       HiveText({"k HKEY_LOCAL_MACHINE", "v Top 4 0:", "v TOP 4 0:", "k HKEY_USERS"})},
      {"key name too long",
       HiveText({"k HKEY_LOCAL_MACHINE", "k HKEY_LOCAL_MACHINE\\" + std::string(256, 'k')})},
      {"key name holding a separator",
       HiveText({"k HKEY_LOCAL_MACHINE", "k HKEY_LOCAL_MACHINE\\a%5Cb", "k HKEY_USERS"})},
      {"bad escape", HiveText({"k HKEY_LOCAL_MACHINE", "v a%4 4 0:"})},
      {"record count wrong",
       [] {
         std::string body = "QVHIVE 1\nk HKEY_LOCAL_MACHINE\n";
         return body + "end 2 " + Checksum(body) + "\n";
       }()},
  };
  for (const auto& c : cases) {
    ReplaceHive(c.text);
    ExpectUnusableAndUntouched(c.label);
  }
  // Once repaired, the hive is used again.
  ReplaceHive(good);
  KeyPtr kept = OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");
  EXPECT_NE(kept, nullptr);
}

TEST_F(RegistryTest, EveryTruncationOfTheHiveIsDetected) {
  KeyPtr key = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");
  ASSERT_EQ(SetBytes(key.get(), "Top", REG_SZ, std::string("value\0", 6)), ERROR_SUCCESS);
  const std::string good = ReadTextFile(HivePath());
  for (size_t length = 0; length < good.size(); ++length) {
    ReplaceHive(good.substr(0, length));
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept", 0, KEY_READ, &h),
              ERROR_FILE_NOT_FOUND)
        << "cut to " << length << " of " << good.size() << " bytes";
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "Top", 2), ERROR_BADDB) << length;
  }
}

TEST_F(RegistryTest, AnUnusableHiveIsReportedOnceWithWhatToDo) {
  CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");
  ReplaceHive("garbage\n");
  testing::internal::CaptureStderr();
  HKEY h = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "Top", 2), ERROR_BADDB);
  const std::string first = testing::internal::GetCapturedStderr();
  EXPECT_NE(first.find(HivePath()), std::string::npos) << first;
  EXPECT_NE(first.find("move it aside"), std::string::npos) << first;
  EXPECT_EQ(first.find("registry:"), first.rfind("registry:")) << "reported twice: " << first;
}

TEST_F(RegistryTest, AnUnreadableHiveIsNotReplaced) {
  CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");
  const std::string good = ReadTextFile(HivePath());
  std::filesystem::remove(HivePath());
  std::filesystem::create_directory(HivePath());  // something that is not a file
  ExpectUnusableAndUntouched("a folder in place of the hive");
  EXPECT_TRUE(std::filesystem::is_directory(HivePath()));
}

TEST_F(RegistryTest, TheReportPassesNoControlBytesFromTheFile) {
  CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");  // makes the registry folder
  ReplaceHive("QVHIVE \x1b]0;x\x07\n");
  testing::internal::CaptureStderr();
  HKEY h = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find("format version"), std::string::npos) << report;
  EXPECT_EQ(report.find_first_of("\x1b\x07"), std::string::npos) << report;
}

// A pipe in place of the hive would block a plain open until some writer came along.
TEST_F(RegistryTest, APipeInPlaceOfTheHiveIsRefusedWithoutWaiting) {
  CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");
  std::filesystem::remove(HivePath());
  ASSERT_EQ(mkfifo(HivePath().c_str(), 0600), 0);
  const int rc = RunInChild([] {
    alarm(30);  // a blocked open ends the child instead of the test run
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept", 0, KEY_READ, &h) !=
        ERROR_FILE_NOT_FOUND)
      return 1;
    return SetDword(HKEY_LOCAL_MACHINE, "Top", 2) == ERROR_BADDB ? 0 : 2;
  });
  EXPECT_EQ(rc, 0) << "-1: the child blocked or crashed";
  struct stat st {};
  ASSERT_EQ(lstat(HivePath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe was replaced";
}

// Current or peak resident size of this process in KiB, from /proc/self/status.
long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  return -1;
}

// A hostile hive costs memory and time in proportion to its size: a line of nothing but
// separators is refused without a piece per separator, and a key with very many values is
// checked for duplicates without comparing every pair.
TEST_F(RegistryTest, AHostileHiveCostsNoMoreThanItsSize) {
  CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");  // makes the registry folder
  constexpr size_t kSeparators = 16u << 20;
  const struct {
    const char* label;
    std::string text;
  } lines[] = {
      {"key line of separators",
       HiveText({"k HKEY_LOCAL_MACHINE", "k HKEY_LOCAL_MACHINE" + std::string(kSeparators, '\\')})},
      {"value line of spaces",
       HiveText({"k HKEY_LOCAL_MACHINE", "v" + std::string(kSeparators, ' ')})},
  };
  for (const auto& c : lines) {
    ReplaceHive(c.text);
    const int rc = RunInChild([] {
      std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak to the current size
      const long before = StatusKiB("VmRSS:");
      HKEY h = nullptr;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &h) != ERROR_FILE_NOT_FOUND)
        return 1;
      // The file is 16 MiB; reading it takes about twice that (three times with the address
      // sanitizer). A piece per separator would take 16 bytes each: 256 MiB and more.
      const long grown = StatusKiB("VmHWM:") - before;
      return before > 0 && grown < 160 * 1024 ? 0 : 2;
    });
    EXPECT_EQ(rc, 0) << c.label << (rc == 2 ? ": parsing took far more memory than the file" : "");
  }

  constexpr int kValues = 100000;
  const std::string prefix(100, 'p');  // names alike but for their end: slow to tell apart
  std::vector<std::string> records = {"k HKEY_LOCAL_MACHINE", "k HKEY_LOCAL_MACHINE\\Many"};
  for (int i = 0; i < kValues; ++i)
    records.push_back("v " + prefix + std::to_string(1000000 + i) + " 4 0:");
  records.emplace_back("k HKEY_USERS");
  ReplaceHive(HiveText(records));
  const std::string last = prefix + std::to_string(1000000 + kValues - 1);
  const int rc = RunInChild([&] {
    alarm(60);  // comparing every pair would take many minutes
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Many", 0, KEY_READ, &h) != ERROR_SUCCESS) return 1;
    DWORD type = 0;
    DWORD size = 1;
    if (RegQueryValueExA(h, last.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
      return 2;
    return type == REG_DWORD && size == 0 ? 0 : 3;
  });
  EXPECT_EQ(rc, 0) << "-1: the child ran out of time or crashed";
}

// A change whose write fails (the file size limit stands in for a full disk) reports the
// failure, leaves neither a temporary file nor a trace in this process's view, and releases
// the lock so that the next change goes through.
TEST_F(RegistryTest, AFailedWriteLeavesNoTraceAndReleasesTheLock) {
  KeyPtr key = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kept");
  ASSERT_EQ(SetDword(key.get(), "Top", 1), ERROR_SUCCESS);
  const std::string before = ReadTextFile(HivePath());
  const std::string dir = std::filesystem::path(HivePath()).parent_path();
  const int rc = RunInChild([&] {
    alarm(30);  // a lock left held makes the last change wait for ever
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    if (getrlimit(RLIMIT_FSIZE, &saved) != 0) return 1;
    rlimit small = saved;
    small.rlim_cur = 1024;
    if (setrlimit(RLIMIT_FSIZE, &small) != 0) return 1;
    const std::string big(4096, 'b');
    if (SetBytes(key.get(), "Big", REG_BINARY, big) != ERROR_CANTWRITE) return 2;
    if (setrlimit(RLIMIT_FSIZE, &saved) != 0) return 1;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      if (entry.path().filename().string().rfind("hive.tmp.", 0) == 0) return 3;
    if (ReadTextFile(HivePath()) != before) return 4;
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), "Big", nullptr, nullptr, nullptr, &size) !=
        ERROR_FILE_NOT_FOUND)
      return 5;
    return SetDword(key.get(), "After", 2) == ERROR_SUCCESS ? 0 : 6;
  });
  EXPECT_EQ(rc, 0);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key.get(), "After", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key.get(), "Big", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
}

}  // namespace
