// The backup warning: the "do not show again" answer for each way of leaving it, and the
// product name in its caption.
#include "base/DialogResources.h"
#include "base/QvFolderExtApp.h"
#include "base/Settings.h"
#include "dialogs/CWarnDlg.h"
#include "tests/common/TestRoot.h"
#include "tests/dialogs/ScriptedDialog.h"
#include "util/RegKey.h"

namespace {

class CWarnDlgTest : public RootedTest {
 protected:
  // The library reads its settings when it is loaded.
  void SetUp() override { ASSERT_TRUE(QvApp().InitInstance()); }
  void TearDown() override { QvApp().ExitInstance(); }

  static void SetProductName(const std::string& name) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.Key(), "CustomProductName", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(name.c_str()),
                             static_cast<DWORD>(name.size() + 1)),
              ERROR_SUCCESS);
  }
};

TEST_F(CWarnDlgTest, OnlyOkWithTheBoxTickedAsksNotToShowAgain) {
  const struct {
    UserAnswer answer;
    DWORD doNotShowAgain;
  } cases[] = {
      {{"OK", IDOK}, 0},
      {{"tick and OK", IDOK, IDC_WARNING_DONT_SHOW}, 1},
      {{"close box", 0}, 0},
      {{"tick and close box", 0, IDC_WARNING_DONT_SHOW}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.what);
    CWarnDlg dialog(nullptr);
    const auto closed = RunAnswered(dialog, IDD_BACKUP_WARNING, c.answer);
    EXPECT_EQ(closed.result, c.answer.button != 0 ? IDOK : IDCANCEL);
    EXPECT_EQ(dialog.m_doNotShowAgain, c.doNotShowAgain);
    EXPECT_EQ(Frame(closed.state), "Quorvin | 1:OK | resource:712");
  }
}

TEST_F(CWarnDlgTest, TheCaptionIsTheProductNameReadAtLoadWhole) {
  // A percent sign in the name is no conversion; the longest name the setting holds fits.
  for (const std::string& name : {std::string(1023, 'N'), std::string("100% Safe %s %n")}) {
    SetProductName(name);
    ASSERT_TRUE(QvApp().InitInstance());
    CWarnDlg dialog(nullptr);
    EXPECT_EQ(RunAnswered(dialog, IDD_BACKUP_WARNING, {"OK", IDOK}).state.caption, name);
  }
  // A name set after the library was loaded is not shown before the next load, as in every
  // other caption.
  SetProductName("Changed Later");
  CWarnDlg dialog(nullptr);
  EXPECT_EQ(RunAnswered(dialog, IDD_BACKUP_WARNING, {"OK", IDOK}).state.caption, "100% Safe %s %n");
}

}  // namespace
