// The container conversion prompt: its explanation, the greyed box and its answers.
#include "base/DialogResources.h"
#include "base/StringTable.h"
#include "dialogs/CQvDBConvert.h"
#include "tests/dialogs/ScriptedDialog.h"

namespace {

TEST(CQvDBConvertTest, ExplainsTheConversionAndAnswersConvertOrCancel) {
  const struct {
    UserAnswer answer;
    INT_PTR result;
  } cases[] = {{{"Convert", IDOK}, 1}, {{"Cancel", IDCANCEL}, 2}, {{"close box", 0}, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.what);
    CQvDBConvert dialog;
    const auto closed = RunAnswered(dialog, IDD_DB_CONVERT, c.answer);
    EXPECT_EQ(closed.result, c.result);
    EXPECT_EQ(Frame(closed.state), "Sentivo | 1:Convert* 2:Cancel | resource:712");
    EXPECT_EQ(closed.state.Control(IDC_CONVERT_TEXT)->text, LoadStringText(180));
    EXPECT_EQ(closed.state.Control(IDC_CONVERT_WARNING)->text, LoadStringText(181));
    EXPECT_FALSE(closed.state.Control(IDC_CONVERT_DONT_SHOW)->enabled);
  }
}

}  // namespace
