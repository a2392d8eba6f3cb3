// The sharing add/remove error: OK, or Cancel when closed.
#include "base/DialogResources.h"
#include "dialogs/CAddError.h"
#include "tests/dialogs/ScriptedDialog.h"

namespace {

TEST(CAddErrorTest, AnswersOkOrCancelWhenClosed) {
  for (const UserAnswer& answer : {UserAnswer{"OK", IDOK}, UserAnswer{"close box", 0}}) {
    CAddError dialog(nullptr);
    const auto closed = RunAnswered(dialog, IDD_ADD_ERROR, answer);
    EXPECT_EQ(closed.result, answer.button != 0 ? IDOK : IDCANCEL) << answer.what;
    EXPECT_EQ(Frame(closed.state), "Invalid User | 1:OK | resource:140");
    EXPECT_EQ(closed.state.Texts(), "OK\nThere are problems during Add/Remove users\n");
  }
}

}  // namespace
