// Tests of CRegKey: typed reads that refuse the wrong type or size, string buffers that are
// never overrun, and the ownership of the open key.
#include <cstring>
#include <string>

#include "tests/common/TestRoot.h"
#include "util/RegKey.h"

namespace {

constexpr char kKeyPath[] = "SOFTWARE\\RegKeyTest";

class RegKeyTest : public RootedTest {
 protected:
  // Stores raw bytes under kKeyPath, bypassing the typed setters.
  void Store(const char* name, DWORD type, const std::string& bytes) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.Key(), name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
  }
};

TEST_F(RegKeyTest, QueryDWORDValueAcceptsOnlyFourByteDwords) {
  const struct {
    const char* label;
    DWORD type;
    std::string bytes;
    LSTATUS status;
  } cases[] = {
      {"dword", REG_DWORD, std::string("\x2a\0\0\0", 4), ERROR_SUCCESS},
      {"dword stored as a string", REG_SZ, std::string("42\0", 3), ERROR_INVALID_DATA},
      {"four-byte string", REG_SZ, std::string("42\0\0", 4), ERROR_INVALID_DATA},
      {"binary of four bytes", REG_BINARY, std::string("\x2a\0\0\0", 4), ERROR_INVALID_DATA},
      {"big-endian dword", REG_DWORD_BIG_ENDIAN, std::string("\0\0\0\x2a", 4), ERROR_INVALID_DATA},
      {"short dword", REG_DWORD, std::string("\x2a\0", 2), ERROR_INVALID_DATA},
      {"long dword", REG_DWORD, std::string("\x2a\0\0\0\0\0\0\0", 8), ERROR_INVALID_DATA},
  };
  for (const auto& c : cases) {
    Store("Value", c.type, c.bytes);
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
    DWORD value = 0xDEADBEEF;
    EXPECT_EQ(key.QueryDWORDValue("Value", value), c.status) << c.label;
    EXPECT_EQ(value, c.status == ERROR_SUCCESS ? 42u : 0xDEADBEEFu)
        << c.label << ": a failed read must leave the caller's default";
  }
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
  DWORD value = 7;
  EXPECT_EQ(key.QueryDWORDValue("Missing", value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value, 7u);
}

TEST_F(RegKeyTest, QueryStringValueChecksTypeTerminationAndRoom) {
  constexpr size_t kGuard = 16;
  const struct {
    const char* label;
    DWORD type;
    std::string bytes;
    ULONG capacity;
    LSTATUS status;
    ULONG chars;       // *pnChars afterwards
    const char* text;  // the buffer afterwards, on success
  } cases[] = {
      {"string", REG_SZ, std::string("abc\0", 4), 10, ERROR_SUCCESS, 4, "abc"},
      {"expandable string", REG_EXPAND_SZ, std::string("%x%\0", 4), 10, ERROR_SUCCESS, 4, "%x%"},
      {"exact fit", REG_SZ, std::string("abc\0", 4), 4, ERROR_SUCCESS, 4, "abc"},
      {"one short", REG_SZ, std::string("abc\0", 4), 3, ERROR_MORE_DATA, 4, nullptr},
      {"no room at all", REG_SZ, std::string("abc\0", 4), 0, ERROR_MORE_DATA, 4, nullptr},
      {"not terminated", REG_SZ, "abc", 10, ERROR_INVALID_DATA, 0, nullptr},
      {"dword", REG_DWORD, std::string("\1\0\0\0", 4), 10, ERROR_INVALID_DATA, 0, nullptr},
      {"large binary", REG_BINARY, std::string(64, 'b'), 10, ERROR_INVALID_DATA, 0, nullptr},
      {"stored empty", REG_SZ, "", 10, ERROR_SUCCESS, 0, ""},
      {"stored empty, no room", REG_SZ, "", 0, ERROR_MORE_DATA, 1, nullptr},
  };
  for (const auto& c : cases) {
    Store("Text", c.type, c.bytes);
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
    char buffer[kGuard + 16];
    std::memset(buffer, '#', sizeof buffer);
    ULONG chars = c.capacity;
    EXPECT_EQ(key.QueryStringValue("Text", buffer, &chars), c.status) << c.label;
    EXPECT_EQ(chars, c.chars) << c.label;
    if (c.text != nullptr) {
      EXPECT_STREQ(buffer, c.text) << c.label;
    }
    for (size_t i = c.capacity; i < sizeof buffer; ++i)
      ASSERT_EQ(buffer[i], '#') << c.label << ": written past the buffer at " << i;
  }
}

TEST_F(RegKeyTest, QueryStringValueWithoutBufferGivesTheLength) {
  Store("Text", REG_SZ, std::string("hello\0", 6));
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
  ULONG chars = 0;
  EXPECT_EQ(key.QueryStringValue("Text", nullptr, &chars), ERROR_SUCCESS);
  EXPECT_EQ(chars, 6u);
  chars = 99;
  EXPECT_EQ(key.QueryStringValue("Missing", nullptr, &chars), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(chars, 0u);
}

TEST_F(RegKeyTest, OpenReplacesTheHeldKeyOnlyOnSuccess) {
  Store("Which", REG_SZ, std::string("first\0", 6));
  {
    CRegKey second;
    ASSERT_EQ(second.Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\RegKeyTest2"), ERROR_SUCCESS);
    ASSERT_EQ(second.SetStringValue("Which", "second"), ERROR_SUCCESS);
  }
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
  const HKEY first = key.Key();
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\RegKeyTest2"), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(first, "Which", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE)
      << "the first key was not closed";

  const HKEY held = key.Key();
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Key(), held);
  char text[16];
  ULONG chars = sizeof text;
  EXPECT_EQ(key.QueryStringValue("Which", text, &chars), ERROR_SUCCESS);
  EXPECT_STREQ(text, "second");
}

TEST_F(RegKeyTest, CloseAndDestructionReleaseTheKey) {
  Store("V", REG_DWORD, std::string("\1\0\0\0", 4));
  HKEY released = nullptr;
  {
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath, KEY_READ | KEY_WOW64_32KEY), ERROR_SUCCESS);
    EXPECT_EQ(key.ViewBits(), KEY_WOW64_32KEY);
    released = key.Key();
  }
  EXPECT_EQ(RegCloseKey(released), ERROR_INVALID_HANDLE) << "the destructor did not close it";

  CRegKey key;
  EXPECT_EQ(key.Close(), ERROR_SUCCESS) << "nothing open";
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath, KEY_READ | KEY_WOW64_64KEY), ERROR_SUCCESS);
  const HKEY h = key.Key();
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
  EXPECT_EQ(key.Key(), nullptr);
  EXPECT_EQ(key.ViewBits(), 0u);
  EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
  EXPECT_EQ(key.Close(), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, SettersWriteWhatTheReadersAccept) {
  CRegKey key;
  DWORD disposition = 0;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Setters\\Deep", KEY_ALL_ACCESS, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(key.SetDWORDValue("N", 0xFFFFFFFFu), ERROR_SUCCESS);
  ASSERT_EQ(key.SetStringValue("S", "%ProgramFiles%", REG_EXPAND_SZ), ERROR_SUCCESS);
  EXPECT_EQ(key.SetStringValue("S", "x", REG_BINARY), ERROR_INVALID_PARAMETER);

  CRegKey reader;
  ASSERT_EQ(reader.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Setters\\Deep"), ERROR_SUCCESS);
  DWORD n = 0;
  EXPECT_EQ(reader.QueryDWORDValue("N", n), ERROR_SUCCESS);
  EXPECT_EQ(n, 0xFFFFFFFFu);
  char text[32];
  ULONG chars = sizeof text;
  EXPECT_EQ(reader.QueryStringValue("S", text, &chars), ERROR_SUCCESS);
  EXPECT_STREQ(text, "%ProgramFiles%");
  EXPECT_EQ(reader.SetDWORDValue("N", 1), ERROR_ACCESS_DENIED) << "opened for reading";

  EXPECT_EQ(key.DeleteValue("N"), ERROR_SUCCESS);
  EXPECT_EQ(reader.QueryDWORDValue("N", n), ERROR_FILE_NOT_FOUND);
  CRegKey top;
  ASSERT_EQ(top.Open(HKEY_LOCAL_MACHINE, "SOFTWARE", KEY_ALL_ACCESS), ERROR_SUCCESS);
  EXPECT_EQ(top.RecurseDeleteKey("Setters"), ERROR_SUCCESS);
  EXPECT_EQ(reader.QueryStringValue("S", text, &chars), ERROR_KEY_DELETED);
  CRegKey gone;
  EXPECT_EQ(gone.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Setters"), ERROR_FILE_NOT_FOUND);
}

}  // namespace
