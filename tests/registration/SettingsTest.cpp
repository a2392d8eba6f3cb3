// Tests of the settings readers: defaults without the suite's key, stored values, values of
// the wrong type or size, and changes taking effect at the next read.
#include <functional>
#include <string>

#include "registration/Settings.h"
#include "tests/common/TestRoot.h"
#include "util/RegKey.h"

namespace {

class SettingsTest : public RootedTest {
 protected:
  void StoreDword(const char* name, DWORD value) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDWORDValue(name, value), ERROR_SUCCESS);
  }
  void StoreRaw(const char* name, DWORD type, const std::string& bytes) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.Key(), name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
  }
  void StoreString(const char* name, const std::string& text) {
    StoreRaw(name, REG_SZ, std::string(text.c_str(), text.size() + 1));
  }
};

struct DwordCase {
  const char* name;
  std::function<DWORD()> read;
  DWORD byDefault;
};

const DwordCase kDwordSettings[] = {
    {"OEM", Oem, 0},
    {"showQvenrollIfUserNotEnrolled", ShowQvenrollIfUserNotEnrolled, 1},
    {"DisableQuorOnlyUser", DisableQuorOnlyUser, 1},
    {"SupportQuorOnlyUser", SupportQuorOnlyUser, 0},
    {"EnumDomainsFlag", EnumDomainsFlag, 3},
    {"DisableDbClickOpen", DisableDbClickOpen, 0},
    {"EnableTempDecFileWarning", EnableTempDecFileWarning, 0},
};

void ExpectAllDefaults() {
  for (const DwordCase& c : kDwordSettings) EXPECT_EQ(c.read(), c.byDefault) << c.name;
  EXPECT_EQ(InstallDir(), "");
  EXPECT_EQ(InstallDirForLaunch(), "C:\\");
  EXPECT_EQ(CustomProductName(), "Quorvin");
}

TEST_F(SettingsTest, DefaultsApplyWithoutTheKeyAndWithAnEmptyKey) {
  {
    SCOPED_TRACE("no suite key");
    ExpectAllDefaults();
  }
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
  {
    SCOPED_TRACE("empty suite key");
    ExpectAllDefaults();
  }
}

TEST_F(SettingsTest, StoredValuesAreReadFromTheSuiteKey) {
  DWORD value = 100;
  for (const DwordCase& c : kDwordSettings) StoreDword(c.name, ++value);
  StoreString("InstallDir", "D:\\Suite\\");
  StoreString("CustomProductName", "Sentivo Pro");

  value = 100;
  for (const DwordCase& c : kDwordSettings) EXPECT_EQ(c.read(), ++value) << c.name;
  EXPECT_EQ(InstallDir(), "D:\\Suite\\");
  EXPECT_EQ(InstallDirForLaunch(), "D:\\Suite\\");
  EXPECT_EQ(CustomProductName(), "Sentivo Pro");
  EXPECT_EQ(ReadOemId(), 101u);
  EXPECT_EQ(ReadCustomProductName(), "Sentivo Pro");

  // Only the machine's key counts: the same values for the user change nothing.
  CRegKey user;
  ASSERT_EQ(user.Create(HKEY_CURRENT_USER, kQuorvinKeyPath), ERROR_SUCCESS);
  ASSERT_EQ(user.SetDWORDValue("OEM", 5), ERROR_SUCCESS);
  EXPECT_EQ(Oem(), 101u);
}

TEST_F(SettingsTest, ZeroMeansDefaultOnlyForEnumDomainsFlag) {
  for (const DwordCase& c : kDwordSettings) StoreDword(c.name, 0);
  for (const DwordCase& c : kDwordSettings)
    EXPECT_EQ(c.read(), std::string(c.name) == "EnumDomainsFlag" ? 3u : 0u) << c.name;
  StoreDword("EnumDomainsFlag", 1);
  EXPECT_EQ(EnumDomainsFlag(), 1u);
}

TEST_F(SettingsTest, MalformedValuesReadAsTheDefault) {
  // A DWORD stored as text, with a size other than 4, or as another type.
  StoreString("DisableQuorOnlyUser", "0");
  StoreRaw("showQvenrollIfUserNotEnrolled", REG_DWORD, std::string("\0\0", 2));
  StoreRaw("SupportQuorOnlyUser", REG_BINARY, std::string("\1\0\0\0", 4));
  EXPECT_EQ(DisableQuorOnlyUser(), 1u);
  EXPECT_EQ(ShowQvenrollIfUserNotEnrolled(), 1u);
  EXPECT_EQ(SupportQuorOnlyUser(), 0u);

  // A string stored as a DWORD or without its terminator.
  StoreDword("CustomProductName", 9);
  StoreRaw("InstallDir", REG_SZ, "D:\\Suite\\");
  EXPECT_EQ(CustomProductName(), "Quorvin");
  EXPECT_EQ(InstallDir(), "");
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
