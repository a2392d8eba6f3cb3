// qvdialogs: shows every message dialog of the extension, a message box and a progress run
// in the terminal back end or as windows, in the user's language or the one asked for, so
// their look and their translations can be checked by eye. On a terminal or a desktop each
// dialog waits for an answer; without either, the answers come from the demo's policy and are
// printed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/DialogResources.h"
#include "base/QvFolderExtApp.h"
#include "base/StringTable.h"
#include "dialogs/CAddError.h"
#include "dialogs/CBadPassword.h"
#include "dialogs/CConfirmReplace.h"
#include "dialogs/CInvalidUser.h"
#include "dialogs/CQvDBConvert.h"
#include "dialogs/CWarnDlg.h"
#include "platform/Kernel.h"
#include "platform/MessageBox.h"
#include "platform/Sync.h"
#include "platform/ui/Controls.h"
#include "platform/ui/TerminalBackend.h"
#include "platform/ui/desktop/ProgramUi.h"

namespace {

constexpr const char* kUsage =
    "usage: qvdialogs [--ui desktop|terminal|none] [--lang ID] [--help | --version]\n"
    "\n"
    "  --lang ID   show the texts of language ID (a Windows language id such as 7 for\n"
    "              German, 1041 for Japanese or 2052 for Simplified Chinese); without it\n"
    "              the language comes from LC_ALL, LC_MESSAGES, LANG or LANGUAGE\n"
    "\n"
    "Shows each dialog of the extension: Invalid User, Add Error,\n"
    "Authentication Error (both reasons), Confirm Replace, the backup warning, the\n"
    "conversion prompt, an error message box and a progress run that ends with one\n"
    "failed row. On a terminal, answer each dialog with its number (Enter takes the\n"
    "default; a letter ticks a box; Ctrl+C presses Cancel); on a desktop, in windows.\n"
    "Without either the answers are the defaults and \"No To All\" for Confirm Replace.\n"
    "--ui chooses where; without it, QV_UI, else windows when a display is set and\n"
    "qvdialogs was not started from a terminal, else the terminal.\n"
    "\n"
    "Exit status: 0 when every dialog ran, 2 for a wrong argument or an unknown language id.\n";

DWORD Work(LPVOID) {
  Sleep(150);
  return 0;
}

// A progress run: five items, one library call each on a worker while the dialog pumps;
// the fourth fails, so the dialog stays open with its result table.
class DemoProgress : public CDialog {
 public:
  DemoProgress() : CDialog(LoadDialogTemplate(IDD_PROGRESS), nullptr) {}

 protected:
  BOOL OnInitDialog() override {
    SetWindowText(("Quorvin - " + LoadStringText(152)).c_str());
    CListCtrl list(::GetDlgItem(m_hWnd, 201));
    list.InsertColumn(0, LoadStringText(105).c_str());
    list.InsertColumn(1, LoadStringText(106).c_str());
    list.InsertColumn(2, LoadStringText(118).c_str());
    CProgressCtrl progress(::GetDlgItem(m_hWnd, 902));
    const char* names[] = {"report.pdf", "notes.txt", "photo.jpg", "budget.xlsx", "todo.md"};
    progress.SetRange32(0, 5);
    progress.SetStep(1);
    ShowWindow(SW_SHOW);
    bool failed = false;
    for (int i = 0; i < 5 && !cancelled_; ++i) {
      SetDlgItemText(900, (LoadStringText(119) + " : " + names[i]).c_str());
      const HANDLE worker = CreateThread(nullptr, 0, Work, nullptr, 0, nullptr);
      while (worker != nullptr &&
             MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
        (void)PumpWaitingMessages(m_hWnd, nullptr);
      CloseHandle(worker);
      const int row = list.InsertItem(list.GetItemCount(), names[i]);
      const bool fails = i == 3;
      failed = failed || fails;
      list.SetItemText(row, 1, LoadStringText(fails ? 109 : 107).c_str());
      list.SetItemText(row, 2, "/home/demo/Documents");
      progress.StepIt();
    }
    finished_ = true;
    if (cancelled_ || !failed) {
      EndDialog(IDCANCEL);
      return TRUE;
    }
    SetDlgItemText(IDCANCEL, LoadStringText(164).c_str());
    return TRUE;
  }
  void OnCancel() override {
    if (finished_) {
      EndDialog(IDOK);
      return;
    }
    cancelled_ = true;
    GetDlgItem(IDCANCEL).EnableWindow(FALSE);
  }

 private:
  bool cancelled_ = false;
  bool finished_ = false;
};

void Result(const char* what, INT_PTR result) {
  std::printf("-> %s returned %ld\n\n", what, static_cast<long>(result));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string uiProblem;
  const auto requested = TakeUiOption(&argc, argv, &uiProblem);
  if (!uiProblem.empty()) {
    std::fprintf(stderr, "qvdialogs: %s\n%s", uiProblem.c_str(), kUsage);
    return 2;
  }
  LCID language = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--lang") == 0) {
      char* end = nullptr;
      const unsigned long id = i + 1 < argc ? std::strtoul(argv[++i], &end, 10) : 0;
      if (end == nullptr || *end != '\0' || id == 0 || id > 0xFFFF) {
        std::fprintf(stderr, "qvdialogs: --lang needs a decimal language id such as 7 or 1041\n%s",
                     kUsage);
        return 2;
      }
      language = MAKELCID(static_cast<LANGID>(id), SORT_DEFAULT);
      continue;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("qvdialogs %s\n", QV_PROGRAM_VERSION);
      return 0;
    }
    std::fprintf(stderr, "qvdialogs: unknown argument \"%s\"\n%s", argv[i], kUsage);
    return 2;
  }
  if (language != 0 && !SetThreadLocale(language)) {
    std::fprintf(stderr,
                 "qvdialogs: %lu is not a language id this system knows; try 7 (German) or "
                 "1033 (English)\n",
                 static_cast<unsigned long>(language));
    return 2;
  }
  std::string note;
  const UiKind kind = ChooseUiKind(requested, &note);
  if (!note.empty()) std::fprintf(stderr, "qvdialogs: %s\n", note.c_str());
  ProgramUi ui;
  if (!ui.Install("qvdialogs", kind)) {
    std::fputs("qvdialogs: cannot set up the dialogs: out of memory\n", stderr);
    return 1;
  }
  if (TerminalBackend* terminal = ui.Terminal()) {
    terminal->SetAnswer(IDD_CONFIRM_REPLACE, 4);
    terminal->SetAnswer(IDD_DB_CONVERT, IDCANCEL);
  }
  // The settings the library reads when it is loaded (the product name in the captions).
  (void)QvApp().InitInstance();
  // Loading the library sets the thread to the system's language; the one asked for wins.
  if (language != 0) (void)SetThreadLocale(language);

  Result("Invalid User", CInvalidUser().DoModal());
  Result("Add Error", CAddError().DoModal());
  Result("Authentication Error (not validated)", CBadPassword(1).DoModal());
  Result("Authentication Error (devices missing)", CBadPassword(0).DoModal());
  char cwd[4096] = ".";
  if (getcwd(cwd, sizeof cwd) == nullptr) std::strcpy(cwd, ".");
  Result("Confirm Replace",
         CConfirmReplace((std::string(cwd) + "/report.pdf.QVF").c_str()).DoModal());
  CWarnDlg warning;
  const INT_PTR warned = warning.DoModal();
  std::printf("   (do not show again: %u)\n", static_cast<unsigned>(warning.m_doNotShowAgain));
  Result("backup warning", warned);
  Result("conversion prompt", CQvDBConvert().DoModal());
  Result("message box",
         MessageBoxA(nullptr, LoadStringText(186).c_str(), "Quorvin", MB_OK | MB_ICONERROR));
  Result("progress", DemoProgress().DoModal());
  return 0;
}
