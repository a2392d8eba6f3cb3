// The authentication error: the reason picks the explanation; OK and closing answer.
#include "base/DialogResources.h"
#include "base/StringTable.h"
#include "dialogs/CBadPassword.h"
#include "tests/dialogs/ScriptedDialog.h"

namespace {

TEST(CBadPasswordTest, TheReasonFlagPicksTheExplanation) {
  const struct {
    DWORD flag;
    UINT text;
    UserAnswer answer;
  } cases[] = {
      {1, 165, {"OK", IDOK}},
      {0x80000000u, 165, {"close box", 0}},  // any bit counts
      {0, 166, {"OK", IDOK}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "flag " << c.flag << ", " << c.answer.what);
    CBadPassword dialog(c.flag, nullptr);
    const auto closed = RunAnswered(dialog, IDD_BAD_PASSWORD, c.answer);
    EXPECT_EQ(closed.result, c.answer.button != 0 ? IDOK : IDCANCEL);
    EXPECT_EQ(Frame(closed.state), "Authentication Error | 1:OK | resource:140");
    EXPECT_EQ(closed.state.Control(IDC_BAD_PASSWORD_TEXT)->text, LoadStringText(c.text));
  }
}

}  // namespace
