// Application start-up: the values read once from the suite's key, the verification
// message id and the open-view table.
#include <gtest/gtest.h>

#include "base/ModuleTables.h"
#include "base/QvFolderExtApp.h"
#include "base/Settings.h"
#include "platform/Kernel.h"
#include "tests/common/TestRoot.h"
#include "util/RegKey.h"

namespace {

class ApplicationStartTest : public RootedTest {
 protected:
  void TearDown() override { QvApp().ExitInstance(); }
  void WriteSuiteKey(DWORD oem, const char* productName) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDWORDValue("OEM", oem), ERROR_SUCCESS);
    if (productName != nullptr) {
      ASSERT_EQ(key.SetStringValue("CustomProductName", productName), ERROR_SUCCESS);
    }
  }
};

TEST_F(ApplicationStartTest, WithoutTheSuiteKeyTheProductIsQuorvin) {
  ASSERT_TRUE(QvApp().InitInstance());
  EXPECT_EQ(QvApp().oemId, 0u);
  EXPECT_EQ(QvApp().productName, "Quorvin");
}

TEST_F(ApplicationStartTest, ReadsOemAndProductNameOnceAtStart) {
  WriteSuiteKey(6, "Acme Vault");
  ASSERT_TRUE(QvApp().InitInstance());
  EXPECT_EQ(QvApp().oemId, 6u);
  EXPECT_EQ(QvApp().productName, "Acme Vault");
  // A later change is seen at the next start only.
  WriteSuiteKey(2, "Other");
  EXPECT_EQ(QvApp().productName, "Acme Vault");
  ASSERT_TRUE(QvApp().InitInstance());
  EXPECT_EQ(QvApp().oemId, 2u);
  EXPECT_EQ(QvApp().productName, "Other");
}

TEST_F(ApplicationStartTest, KeyWithoutProductNameStillNamesQuorvin) {
  WriteSuiteKey(3, nullptr);
  ASSERT_TRUE(QvApp().InitInstance());
  EXPECT_EQ(QvApp().oemId, 3u);
  EXPECT_EQ(QvApp().productName, "Quorvin");
}

TEST_F(ApplicationStartTest, RegistersTheVerificationMessageAndEmptiesViewsOnExit) {
  ASSERT_TRUE(QvApp().InitInstance());
  const UINT id = QvApp().qafMessageId;
  EXPECT_GE(id, 0xC000u);
  EXPECT_LE(id, 0xFFFFu);
  EXPECT_EQ(id, RegisterWindowMessageA("EnableDisableQAF"));
  EXPECT_EQ(LANGIDFROMLCID(GetThreadLocale()), GetSystemDefaultLangID());

  (void)QvModuleTables().AddOpenView("/home/a.qvef", nullptr);
  QvModuleTables().AddVerifiedView("/home/a.qvef", "alice");
  QvApp().ExitInstance();
  EXPECT_EQ(QvModuleTables().OpenViewCount(), 0u);
  EXPECT_EQ(QvModuleTables().VerifiedViewCount("/home/a.qvef"), 0u);
}

}  // namespace
