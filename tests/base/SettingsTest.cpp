// Tests of the settings readers: defaults without the suite's key, stored values, values of
// the wrong type or size, and changes taking effect at the next read.
#include <functional>
#include <string>

#include "base/Settings.h"
#include "tests/common/TestRoot.h"
#include "util/RegKey.h"

namespace {

class SettingsTest : public RootedTest {
 protected:
  void StoreRaw(const char* name, DWORD type, const std::string& bytes) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.Key(), name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
  }
  void StoreDword(const char* name, DWORD value) {
    StoreRaw(name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), 4));
  }
  void StoreString(const char* name, const std::string& text) {
    StoreRaw(name, REG_SZ, std::string(text.c_str(), text.size() + 1));
  }
};

const struct {
  const char* name;
  std::function<DWORD()> read;
  DWORD byDefault;
} kDwordSettings[] = {
    {"OEM", Oem, 0},
    {"showQvenrollIfUserNotEnrolled", ShowQvenrollIfUserNotEnrolled, 1},
    {"DisableQuorOnlyUser", DisableQuorOnlyUser, 1},
    {"SupportQuorOnlyUser", SupportQuorOnlyUser, 0},
    {"EnumDomainsFlag", EnumDomainsFlag, 3},
    {"DisableDbClickOpen", DisableDbClickOpen, 0},
    {"EnableTempDecFileWarning", EnableTempDecFileWarning, 0},
};

TEST_F(SettingsTest, DefaultsApplyWithoutTheKeyAndWithAnEmptyKey) {
  for (const char* state : {"no suite key", "empty suite key"}) {
    SCOPED_TRACE(state);
    for (const auto& c : kDwordSettings) EXPECT_EQ(c.read(), c.byDefault) << c.name;
    EXPECT_EQ(InstallDir(), "");
    EXPECT_EQ(InstallDirForLaunch(), "C:\\");
    EXPECT_EQ(CustomProductName(), "Quorvin");
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
  }
}

TEST_F(SettingsTest, StoredValuesAreReadFromTheMachineKeyOnly) {
  DWORD value = 100;
  for (const auto& c : kDwordSettings) StoreDword(c.name, ++value);
  StoreString("InstallDir", "D:\\Suite\\");
  StoreString("CustomProductName", "Sentivo Pro");
  CRegKey user;  // the same name for the user changes nothing
  ASSERT_EQ(user.Create(HKEY_CURRENT_USER, kQuorvinKeyPath), ERROR_SUCCESS);
  ASSERT_EQ(user.SetDWORDValue("OEM", 5), ERROR_SUCCESS);
  value = 100;
  for (const auto& c : kDwordSettings) EXPECT_EQ(c.read(), ++value) << c.name;
  EXPECT_EQ(InstallDir(), "D:\\Suite\\");
  EXPECT_EQ(InstallDirForLaunch(), "D:\\Suite\\");
  EXPECT_EQ(CustomProductName(), "Sentivo Pro");
}

TEST_F(SettingsTest, ZeroMeansDefaultOnlyForEnumDomainsFlag) {
  for (const auto& c : kDwordSettings) StoreDword(c.name, 0);
  for (const auto& c : kDwordSettings)
    EXPECT_EQ(c.read(), std::string(c.name) == "EnumDomainsFlag" ? 3u : 0u) << c.name;
}

TEST_F(SettingsTest, MalformedValuesReadAsTheDefault) {
  StoreString("DisableQuorOnlyUser", "0");  // a DWORD stored as text
  StoreRaw("showQvenrollIfUserNotEnrolled", REG_DWORD, std::string("\0\0", 2));
  StoreRaw("SupportQuorOnlyUser", REG_BINARY, std::string("\1\0\0\0", 4));
  StoreDword("CustomProductName", 9);
  StoreRaw("InstallDir", REG_SZ, "D:\\Suite\\");  // no terminator
  EXPECT_EQ(DisableQuorOnlyUser(), 1u);
  EXPECT_EQ(ShowQvenrollIfUserNotEnrolled(), 1u);
  EXPECT_EQ(SupportQuorOnlyUser(), 0u);
  EXPECT_EQ(CustomProductName(), "Quorvin");
  EXPECT_EQ(InstallDirForLaunch(), "C:\\");
}

TEST_F(SettingsTest, StringsMustFitTheirBuffer) {
  const std::string longest(kSettingStringBufferSize - 1, 'p');
  StoreString("CustomProductName", longest);
  EXPECT_EQ(CustomProductName(), longest);
  // One more byte does not fit: the value is ignored rather than cut.
  StoreString("CustomProductName", longest + "q");
  EXPECT_EQ(CustomProductName(), "Quorvin");
  StoreString("InstallDir", std::string(kSettingStringBufferSize, 'd'));
  EXPECT_EQ(InstallDir(), "");
  // Expandable strings are strings too; text after an inner NUL is not part of the value.
  StoreRaw("InstallDir", REG_EXPAND_SZ, std::string("E:\\Q\\\0junk\0", 11));
  EXPECT_EQ(InstallDir(), "E:\\Q\\");
}

TEST_F(SettingsTest, AChangedValueTakesEffectAtTheNextRead) {
  EXPECT_EQ(DisableDbClickOpen(), 0u);
  ASSERT_EQ(RunInChild([] {
              CRegKey key;
              if (key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath) != ERROR_SUCCESS) return 1;
              return key.SetDWORDValue("DisableDbClickOpen", 1) == ERROR_SUCCESS ? 0 : 2;
            }),
            0);
  EXPECT_EQ(DisableDbClickOpen(), 1u);
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kQuorvinKeyPath, KEY_ALL_ACCESS), ERROR_SUCCESS);
  ASSERT_EQ(key.DeleteValue("DisableDbClickOpen"), ERROR_SUCCESS);
  EXPECT_EQ(DisableDbClickOpen(), 0u);
}

}  // namespace
