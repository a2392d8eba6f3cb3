// The replace confirmation: its four answers and closing, the name shown for encrypted files,
// the shell icon of files and folders, and a path longer than the buffer.
#include "base/DialogResources.h"
#include "dialogs/CConfirmReplace.h"
#include "platform/Files.h"
#include "tests/common/TestRoot.h"
#include "tests/dialogs/ScriptedDialog.h"

namespace {

class CConfirmReplaceTest : public RootedTest {};

TEST_F(CConfirmReplaceTest, EachButtonEndsWithItsIdAndClosingMeansNo) {
  const UserAnswer answers[] = {{"Yes", IDOK},
                                {"No", IDCANCEL},
                                {"Yes To All", IDC_YES_TO_ALL},
                                {"No To All", IDC_NO_TO_ALL},
                                {"close box", 0}};
  for (const UserAnswer& answer : answers) {
    CConfirmReplace dialog("/data/notes.txt", nullptr);
    const auto closed = RunAnswered(dialog, IDD_CONFIRM_REPLACE, answer);
    EXPECT_EQ(closed.result, answer.button != 0 ? answer.button : IDCANCEL) << answer.what;
    EXPECT_EQ(Frame(closed.state),
              "Confirm Replace | 1:Yes* 2:No 3:Yes To All 4:No To All | resource:703 shell:file");
    EXPECT_EQ(closed.state.focus, nullptr) << "the focus moved into the dialog";
  }
}

TEST_F(CConfirmReplaceTest, ShowsTheNameWithoutAFinalQvfAndTheItemsShellIcon) {
  const std::string folder = root_.Sub("Projects.QVF");
  ASSERT_TRUE(CreateDirectoryA(folder.c_str()));
  const struct {
    std::string path;
    const char* name;
    const char* icon;
  } cases[] = {
      {"/data/notes.txt.qvf", "notes.txt", "shell:file"},
      {"/data/a.qvf.txt", "a.qvf.txt", "shell:file"},
      {"C:\\Users\\ann\\memo.Qvf", "memo", "shell:file"},  // written by the Windows version
      {folder, "Projects", "shell:folder"},
  };
  for (const auto& c : cases) {
    CConfirmReplace dialog(c.path.c_str(), nullptr);
    const auto closed = RunAnswered(dialog, IDD_CONFIRM_REPLACE, {"Yes", IDOK});
    EXPECT_EQ(closed.state.Control(IDC_REPLACE_NAME)->text, c.name) << c.path;
    EXPECT_EQ(closed.state.Control(IDC_REPLACE_ICON)->icon, c.icon) << c.path;
  }
}

TEST_F(CConfirmReplaceTest, APathLongerThanTheBufferIsCutOnAWholeCharacter) {
  std::string name;
  for (int i = 0; i < 5000; ++i) name += "\xC3\xA9";  // two bytes each
  // The buffer keeps 7999 bytes: "/" and 3999 whole characters; the ".qvf" is cut away too.
  CConfirmReplace dialog(("/" + name + ".qvf").c_str(), nullptr);
  const auto closed = RunAnswered(dialog, IDD_CONFIRM_REPLACE, {"Yes", IDOK});
  EXPECT_EQ(closed.state.Control(IDC_REPLACE_NAME)->text, name.substr(0, 3999 * 2));
}

}  // namespace
