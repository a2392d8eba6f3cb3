// Every dialog in every language the product ships, as the headless user and the terminal
// see it: all texts whole UTF-8 (none cut inside a character) and none left in English but
// names.
#include <algorithm>
#include <string>
#include <vector>

#include "base/DialogResources.h"
#include "base/QvFolderExtApp.h"
#include "dialogs/CAddError.h"
#include "dialogs/CBadPassword.h"
#include "dialogs/CConfirmReplace.h"
#include "dialogs/CInvalidUser.h"
#include "dialogs/CQvDBConvert.h"
#include "dialogs/CWarnDlg.h"
#include "platform/Kernel.h"
#include "tests/common/Languages.h"
#include "tests/common/TestRoot.h"
#include "tests/dialogs/ScriptedDialog.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using qvtest::kEnglishLanguage;
using qvtest::kShippedLanguages;

class DialogLanguagesTest : public RootedTest {
 protected:
  void SetUp() override { ASSERT_TRUE(QvApp().InitInstance()); }
  void TearDown() override {
    (void)SetThreadLocale(saved_);
    QvApp().ExitInstance();
  }

  // Runs every message dialog in `language` with the headless user and returns what each
  // showed when it closed.
  std::vector<DialogState> ShowEveryDialog(LANGID language) {
    EXPECT_TRUE(SetThreadLocale(MAKELCID(language, SORT_DEFAULT))) << language;
    std::vector<DialogState> shown;
    const auto show = [&](auto&& dialog, UINT templateId) {
      shown.push_back(RunAnswered(dialog, templateId, {"first button", IDOK}).state);
    };
    show(CInvalidUser(), IDD_INVALID_USER);
    show(CAddError(), IDD_ADD_ERROR);
    show(CBadPassword(0), IDD_BAD_PASSWORD);
    show(CBadPassword(1), IDD_BAD_PASSWORD);
    show(CConfirmReplace(root_.Sub("report.pdf.QVF").c_str()), IDD_CONFIRM_REPLACE);
    show(CWarnDlg(), IDD_BACKUP_WARNING);
    show(CQvDBConvert(), IDD_DB_CONVERT);
    return shown;
  }

  const LCID saved_ = GetThreadLocale();
};

TEST_F(DialogLanguagesTest, EveryDialogShowsWholeTranslatedTextsInEveryLanguage) {
  const std::vector<DialogState> english = ShowEveryDialog(kEnglishLanguage);
  for (const LANGID language : kShippedLanguages) {
    if (language == kEnglishLanguage) continue;
    SCOPED_TRACE(testing::Message() << "language " << language);
    const std::vector<DialogState> shown = ShowEveryDialog(language);
    ASSERT_EQ(shown.size(), english.size());
    for (size_t d = 0; d < shown.size(); ++d) {
      SCOPED_TRACE(testing::Message() << "dialog " << shown[d].templateId);
      EXPECT_TRUE(qvtest::IsValidUtf8(shown[d].caption));
      EXPECT_FALSE(qvtest::LeftInEnglish(language, shown[d].caption, english[d].caption))
          << shown[d].caption;
      ASSERT_EQ(shown[d].controls.size(), english[d].controls.size());
      for (size_t c = 0; c < shown[d].controls.size(); ++c) {
        const std::string& text = shown[d].controls[c].text;
        const std::string& original = english[d].controls[c].text;
        EXPECT_TRUE(qvtest::IsValidUtf8(text)) << "control " << shown[d].controls[c].id;
        // The item's name is data, the same in every language.
        if (shown[d].controls[c].id == IDC_REPLACE_NAME) continue;
        EXPECT_FALSE(qvtest::LeftInEnglish(language, text, original))
            << "control " << shown[d].controls[c].id << ": " << text;
        EXPECT_EQ(text.empty(), original.empty()) << "control " << shown[d].controls[c].id;
      }
    }
  }
}

// The terminal back end as the dialog demo drives it: the dialogs, a message box and a
// progress run, written without a terminal, per language.
TEST_F(DialogLanguagesTest, TheDialogDemoShowsEachLanguageWholeInTheTerminal) {
  const std::span<const DialogTextResource> texts(kDialogTextResources, kDialogTextResourceCount);
  for (const LANGID language : kShippedLanguages) {
    SCOPED_TRACE(testing::Message() << "language " << language);
    const qvtest::ProgramRun run =
        qvtest::RunProgram(root_, "qvdialogs", {"--lang", std::to_string(language)});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(qvtest::IsValidUtf8(run.out)) << "a text was cut inside a character";
    EXPECT_EQ(run.out.find("\xEF\xBF\xBD"), std::string::npos) << "a byte was replaced";
    // Captions and button labels are short enough to stand whole on a line.
    for (const char* item : {"-", "3", "4"}) {
      const char* own =
          FindDialogText(texts, item[0] == '-' ? "caption" : "control", "701", item, language);
      ASSERT_NE(own, nullptr);
      EXPECT_NE(run.out.find(own), std::string::npos) << own << "\n" << run.out;
    }
    if (language == kEnglishLanguage) continue;
    // The demo's own report lines ("-> Invalid User returned 2") name the dialogs in English.
    std::string shown;
    for (size_t at = 0; at < run.out.size();) {
      const size_t end = std::min(run.out.find('\n', at), run.out.size());
      if (run.out.compare(at, 3, "-> ") != 0) shown += run.out.substr(at, end - at) + "\n";
      at = end + 1;
    }
    for (const char* english : {"Confirm Replace", "Yes To All", "Invalid User",
                                "Authentication Error", "Do not show this message again"})
      EXPECT_EQ(shown.find(english), std::string::npos) << english << " left in English";
  }
}

TEST_F(DialogLanguagesTest, TheDialogDemoRefusesALanguageIdItDoesNotKnow) {
  for (const char* wrong : {"0", "x7", "99999", "30583"}) {
    const qvtest::ProgramRun run = qvtest::RunProgram(root_, "qvdialogs", {"--lang", wrong});
    EXPECT_EQ(run.code, 2) << wrong;
    EXPECT_NE(run.err.find("language id"), std::string::npos) << run.err;
  }
}

}  // namespace
