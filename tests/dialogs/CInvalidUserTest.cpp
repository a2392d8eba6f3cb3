// The invalid-user notice in both editions.
//
// The edition is the user-data object's, which the suite library reads from its store when
// the services start; each case writes it to the store first.
#include "base/DialogResources.h"
#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "dialogs/CInvalidUser.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/TestRoot.h"
#include "tests/dialogs/ScriptedDialog.h"

namespace {

class CInvalidUserTest : public RootedTest {
 protected:
  void SetUp() override { QvApp().InitInstance(); }
  void TearDown() override {
    StopSuiteServices();
    QvApp().ExitInstance();
  }
};

TEST_F(CInvalidUserTest, TheEditionPicksTheWording) {
  const struct {
    DWORD edition;
    const char* text;
    UserAnswer answer;
  } cases[] = {
      {0,
       "You are not authorized to view, decrypt or change the sharing properties of this file.",
       {"OK", IDOK}},
      {EDITION_SENTIVO + 1,
       "You are not authorized to view, decrypt or change the sharing properties of this file.",
       {"close box", 0}},
      {EDITION_SENTIVO, "You are not authorized to view or decrypt this file.", {"OK", IDOK}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "edition " << c.edition << ", " << c.answer.what);
    StopSuiteServices();
    ASSERT_EQ(QvUserStore().Open(), QvStoreStatus::Ok);  // the store an enrollment makes
    QvUserStore* store = QvSharedUserStore();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(store->SetEdition(c.edition), QvStoreStatus::Ok);
    ASSERT_EQ(StartSuiteServices(), 1);
    ASSERT_EQ(QvApp().userData->EditionCode, c.edition);
    CInvalidUser dialog(nullptr);
    const auto closed = RunAnswered(dialog, IDD_INVALID_USER, c.answer);
    EXPECT_EQ(closed.result, c.answer.button != 0 ? IDOK : IDCANCEL);
    EXPECT_EQ(Frame(closed.state), "Invalid User | 1:OK* | resource:140");
    EXPECT_EQ(closed.state.Control(IDC_INVALID_USER_TEXT)->text, c.text);
  }
}

}  // namespace
