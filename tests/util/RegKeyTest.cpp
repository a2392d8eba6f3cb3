// Tests of CRegKey: typed reads that refuse the wrong type or size, string buffers that are
// never overrun, and the ownership of the open key.
#include <string>
#include <tuple>

#include "tests/common/TestRoot.h"
#include "util/RegKey.h"

namespace {

constexpr char kKeyPath[] = "SOFTWARE\\RegKeyTest";

class RegKeyTest : public RootedTest {
 protected:
  void Store(const char* name, DWORD type, const std::string& bytes) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.Key(), name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
  }
};

TEST_F(RegKeyTest, QueryDWORDValueAcceptsOnlyFourByteDwords) {
  const std::tuple<DWORD, std::string, LSTATUS> cases[] = {
      {REG_DWORD, std::string("\x2a\0\0\0", 4), ERROR_SUCCESS},
      {REG_SZ, std::string("42\0", 3), ERROR_INVALID_DATA},  // a number stored as a string
      {REG_DWORD, std::string("\x2a\0", 2), ERROR_INVALID_DATA},
  };
  CRegKey key;
  for (const auto& [type, bytes, status] : cases) {
    Store("Value", type, bytes);
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
    DWORD value = 0xDEADBEEF;
    EXPECT_EQ(key.QueryDWORDValue("Value", value), status) << "type " << type;
    EXPECT_EQ(value, status == ERROR_SUCCESS ? 42u : 0xDEADBEEFu)
        << "type " << type << ": a failed read must leave the caller's default";
  }
}

TEST_F(RegKeyTest, QueryStringValueChecksTypeTerminationAndRoom) {
  const struct {
    const char* label;
    DWORD type;
    std::string bytes;
    ULONG capacity;
    LSTATUS status;
    ULONG chars;  // *pnChars afterwards
  } cases[] = {
      {"exact fit", REG_EXPAND_SZ, std::string("abc\0", 4), 4, ERROR_SUCCESS, 4},
      {"one short", REG_SZ, std::string("abc\0", 4), 3, ERROR_MORE_DATA, 4},
      {"not terminated", REG_SZ, "abc", 10, ERROR_INVALID_DATA, 0},
      {"large binary", REG_BINARY, std::string(64, 'b'), 10, ERROR_INVALID_DATA, 0},
      {"stored empty, no room", REG_SZ, "", 0, ERROR_MORE_DATA, 1},
  };
  CRegKey key;
  for (const auto& c : cases) {
    Store("Text", c.type, c.bytes);
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
    std::string buffer(32, '#');
    ULONG chars = c.capacity;
    EXPECT_EQ(key.QueryStringValue("Text", buffer.data(), &chars), c.status) << c.label;
    EXPECT_EQ(chars, c.chars) << c.label;
    EXPECT_STREQ(c.status == ERROR_SUCCESS ? buffer.c_str() : "abc", "abc") << c.label;
    for (size_t i = c.capacity; i < buffer.size(); ++i)
      ASSERT_EQ(buffer[i], '#') << c.label << ": written past the buffer at " << i;
  }
  Store("Text", REG_SZ, std::string("hello\0", 6));
  ULONG chars = 0;
  EXPECT_EQ(key.QueryStringValue("Text", nullptr, &chars), ERROR_SUCCESS) << "length only";
  EXPECT_EQ(chars, 6u);
}

TEST_F(RegKeyTest, OpenReplacesTheHeldKeyOnlyOnSuccessAndDestructionCloses) {
  HKEY first = nullptr;
  {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kKeyPath), ERROR_SUCCESS);
    first = key.Key();
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE"), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(first), ERROR_INVALID_HANDLE) << "the first key was not closed";
    first = key.Key();
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.Key(), first) << "a failed Open dropped the held key";
  }
  EXPECT_EQ(RegCloseKey(first), ERROR_INVALID_HANDLE) << "the destructor did not close it";
}

TEST_F(RegKeyTest, SettersWriteWhatTheReadersAccept) {
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Setters\\Deep"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetStringValue("S", "%ProgramFiles%", REG_EXPAND_SZ), ERROR_SUCCESS);
  EXPECT_EQ(key.SetStringValue("S", "x", REG_BINARY), ERROR_INVALID_PARAMETER);
  char text[32];
  ULONG chars = sizeof text;
  EXPECT_EQ(key.QueryStringValue("S", text, &chars), ERROR_SUCCESS);
  EXPECT_STREQ(text, "%ProgramFiles%");
  CRegKey top;
  ASSERT_EQ(top.Open(HKEY_LOCAL_MACHINE, "SOFTWARE", KEY_ALL_ACCESS), ERROR_SUCCESS);
  EXPECT_EQ(top.RecurseDeleteKey("Setters"), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryStringValue("S", text, &chars), ERROR_KEY_DELETED);
}

}  // namespace
