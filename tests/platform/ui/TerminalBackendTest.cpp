// The terminal back end over pipes, a memory file and a pseudo-terminal: prompts and their
// answers, policy answers without a terminal, message boxes, the progress line, result rows
// and table, Ctrl+C, and password fields read without echo.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "platform/MessageBox.h"
#include "platform/ui/DHtmlDialog.h"
#include "platform/ui/TerminalBackend.h"
#include "tests/common/TestRoot.h"
#include "tests/platform/ui/UiTestDialogs.h"

namespace {

using Step = TerminalBackend::Step;
constexpr int kNoToAll = 100;

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Success when `text` holds `part`; either way the message shows the whole text.
testing::AssertionResult Has(const std::string& text, const std::string& part) {
  return (text.find(part) != std::string::npos ? testing::AssertionSuccess()
                                               : testing::AssertionFailure())
         << "\"" << part << "\" in:\n"
         << text;
}

// A pseudo-terminal for one test: the master side the test types into and reads, and the
// terminal side, open as `slave` and by `name`.
struct Pty {
  // False when the machine has none; a terminal side that will not open is a failure.
  bool Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) return false;
    name = ptsname(master);
    slave = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) ADD_FAILURE() << "cannot open " << name;
    return slave >= 0;
  }
  ~Pty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
  int master = -1, slave = -1;
  std::string name;
};

// Appends what `fd` gives within `ms`; false when nothing came.
bool ReadSome(int fd, std::string* into, int ms) {
  pollfd ready{fd, POLLIN, 0};
  char chunk[4096];
  ssize_t got = 0;
  if (poll(&ready, 1, ms) > 0 && (got = read(fd, chunk, sizeof chunk)) > 0)
    into->append(chunk, static_cast<std::size_t>(got));
  return got > 0;
}

// A terminal back end installed for one test: answers from a pipe the test fills, output to a
// memory file the test reads back, or to `output` when one is given.
class Terminal {
 public:
  explicit Terminal(bool interactive, const std::string& input = "", bool endInput = true,
                    int output = -1)
      : ownOutput_(output < 0) {
    EXPECT_EQ(pipe2(input_, O_CLOEXEC), 0);
    EXPECT_EQ(write(input_[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    if (endInput) EndInput();
    output_ = ownOutput_ ? memfd_create("terminal-output", MFD_CLOEXEC) : output;
    backend_ =
        std::make_unique<TerminalBackend>(interactive ? input_[0] : -1, output_, interactive);
    previous_ = SetUiBackend(backend_.get());
  }
  ~Terminal() {
    SetUiBackend(previous_);
    backend_.reset();
    EndInput();
    close(input_[0]);
    if (ownOutput_) close(output_);
  }
  TerminalBackend& operator*() { return *backend_; }
  TerminalBackend* operator->() { return backend_.get(); }
  void EndInput() {
    if (input_[1] >= 0) close(input_[1]);
    input_[1] = -1;
  }
  std::string Output() const {
    std::string text;
    char chunk[4096];
    ssize_t got = 0;
    while ((got = pread(output_, chunk, sizeof chunk, static_cast<off_t>(text.size()))) > 0)
      text.append(chunk, static_cast<std::size_t>(got));
    return text;
  }

 private:
  int input_[2] = {-1, -1};
  bool ownOutput_;
  int output_ = -1;
  std::unique_ptr<TerminalBackend> backend_;
  UiBackend* previous_ = nullptr;
};

// Yes, No (default), No to All and Cancel, with a check box 10 after the question.
DialogTemplate ReplaceTemplate() {
  return DialogTemplate{700,
                        100,
                        50,
                        "Confirm Replace",
                        {Control(IDC_STATIC, ControlKind::Static, "Replace a.txt?"),
                         Control(10, ControlKind::CheckBox, "Apply to &all"), Button(IDYES, "&Yes"),
                         Button(IDNO, "&No", BS_DEFPUSHBUTTON), Button(kNoToAll, "No to &All"),
                         Button(IDCANCEL, "Cancel")}};
}

// A dialog that ends with any button it is given, remembering check box 10.
struct ReplaceDialog : LambdaDialog {
  ReplaceDialog() : LambdaDialog(ReplaceTemplate(), nullptr) {
    onCommand = [this](LambdaDialog& d, WORD id) {
      ticked = d.IsDlgButtonChecked(10) == BST_CHECKED;
      if (id != IDCANCEL) d.EndDialog(id);
      return id != IDCANCEL;
    };
  }
  bool ticked = false;
};

// Runs a dialog that pumps inside its initialisation, as the engine does while a worker
// runs, until Cancel reaches it or `stopAfter` passes.
INT_PTR PumpUntilCancelled(LambdaDialog& dialog, std::chrono::milliseconds stopAfter) {
  dialog.onInit = [stopAfter](LambdaDialog& d) {
    const auto end = std::chrono::steady_clock::now() + stopAfter;
    while (!d.cancelled && std::chrono::steady_clock::now() < end) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    if (!d.cancelled) d.EndDialog(IDOK);
  };
  return dialog.DoModal();
}

TEST(TerminalBackendTest, InteractiveAnswersTickPressTakeTheDefaultAndEndWithTheInput) {
  // One input for three dialogs: answers left over from one prompt serve the next.
  Terminal terminal(true, "a\n1\n\n7\nmaybe\nno to all\n");
  ReplaceDialog first;
  EXPECT_EQ(first.DoModal(), IDYES);
  EXPECT_TRUE(first.ticked);
  ReplaceDialog second;
  EXPECT_EQ(second.DoModal(), IDNO);
  EXPECT_FALSE(second.ticked);
  ReplaceDialog third;
  EXPECT_EQ(third.DoModal(), kNoToAll);

  const std::string out = terminal.Output();
  EXPECT_TRUE(Has(out,
                  "Confirm Replace\n---------------\nReplace a.txt?\n  [a] [ ] Apply to all\n"
                  "1) Yes  2) No (default)  3) No to All  4) Cancel\n"));
  EXPECT_TRUE(Has(out, "  [a] [x] Apply to all\n"));
  EXPECT_TRUE(Has(out, "Answer [1-4, a to tick or clear, Enter: No]: "));
  EXPECT_EQ(Count(out, "Please answer"), 2u) << out;

  // The input is used up: end of input closes a dialog, even one that refuses to close.
  LambdaDialog plain(AskTemplate(), nullptr);
  EXPECT_EQ(plain.DoModal(), IDCANCEL);
  EXPECT_TRUE(plain.cancelled);

  LambdaDialog guarded(AskTemplate(), nullptr);
  guarded.onInit = [](LambdaDialog& d) {
    d.GetDlgItem(IDCANCEL).EnableWindow(FALSE);
    d.EnableCloseItem(false);
  };
  EXPECT_EQ(guarded.DoModal(), IDCANCEL);
  EXPECT_FALSE(guarded.cancelled);
  EXPECT_TRUE(Has(terminal.Output(), "Ask: end of input; ended with Cancel"));
}

TEST(TerminalBackendTest, EditFieldsAreReadBeforeTheButtonsAndPasswordsNeverShown) {
  DialogTemplate login{
      600,
      100,
      50,
      "Sign In",
      {Control(IDC_STATIC, ControlKind::Static, "User:"), Control(11, ControlKind::Edit, "guest"),
       Control(IDC_STATIC, ControlKind::Static, "Password:"),
       Control(12, ControlKind::Edit, "", ES_PASSWORD), Button(IDOK, "OK", BS_DEFPUSHBUTTON),
       Button(IDCANCEL, "Cancel")}};
  // An empty answer keeps the shown value; input from a pipe is not a terminal, so no echo
  // is switched and the password is simply not repeated.
  Terminal terminal(true, "\nsw0rdfish\n\n");
  LambdaDialog dialog(login, nullptr);
  std::string user, password;
  dialog.onCommand = [&](LambdaDialog& d, WORD) {
    user = d.GetDlgItemText(11);
    password = d.GetDlgItemText(12);
    return false;
  };
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(user, "guest");
  EXPECT_EQ(password, "sw0rdfish");
  const std::string out = terminal.Output();
  EXPECT_TRUE(Has(out, "  User: guest\n  Password: \n"));
  EXPECT_TRUE(Has(out, "User [guest]: \nPassword: \n"));
  EXPECT_FALSE(Has(out, "sw0rdfish"));
}

TEST(TerminalBackendTest, PasswordOnATerminalIsReadWithEchoOffAndEchoComesBack) {
  Pty pty;
  if (!pty.Open()) GTEST_SKIP() << "no pseudo-terminal on this machine";
  std::string transcript;
  std::thread typist([&] {
    // Types the password once its prompt is shown, then presses Enter for OK.
    int stage = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (stage < 2 && std::chrono::steady_clock::now() < end) {
      if (!ReadSome(pty.master, &transcript, 50)) continue;
      // The prompt follows the block, whose field line also reads "Password: ".
      const auto block = transcript.find("1) OK");
      if (stage == 0 && block != std::string::npos &&
          transcript.find("Password: ", block) != std::string::npos) {
        EXPECT_EQ(write(pty.master, "hunter2\n", 8), 8);
        stage = 1;
      } else if (stage == 1 && transcript.find("Answer") != std::string::npos) {
        EXPECT_EQ(write(pty.master, "\n", 1), 1);
        stage = 2;
      }
    }
  });
  std::string password;
  {
    TerminalBackend backend(pty.slave, pty.slave, true);
    UiBackend* previous = SetUiBackend(&backend);
    LambdaDialog dialog(DialogTemplate{601,
                                       100,
                                       50,
                                       "Unlock",
                                       {Control(IDC_STATIC, ControlKind::Static, "Password:"),
                                        Control(12, ControlKind::Edit, "", ES_PASSWORD),
                                        Button(IDOK, "OK", BS_DEFPUSHBUTTON)}},
                        nullptr);
    dialog.onCommand = [&](LambdaDialog& d, WORD) {
      password = d.GetDlgItemText(12);
      return false;
    };
    EXPECT_EQ(dialog.DoModal(), IDOK);
    SetUiBackend(previous);
  }
  typist.join();
  EXPECT_EQ(password, "hunter2");
  EXPECT_FALSE(Has(transcript, "hunter2"));
  termios after{};
  ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
  EXPECT_NE(after.c_lflag & ECHO, 0u);
}

TEST(TerminalBackendTest, TheProgramsBackEndIsInteractiveOnlyWithAControllingTerminal) {
  // A new session has no controlling terminal until its leader opens one.
  EXPECT_EQ(RunInChild([] {
              if (setsid() < 0) return 2;
              const auto backend = TerminalBackend::ForControllingTerminal();
              return backend != nullptr && !backend->Interactive() ? 0 : 1;
            }),
            0);
  Pty pty;
  if (!pty.Open()) GTEST_SKIP() << "no pseudo-terminal on this machine";
  EXPECT_EQ(RunInChild([&] {
              if (setsid() < 0 || open(pty.name.c_str(), O_RDWR) < 0) return 2;
              const auto backend = TerminalBackend::ForControllingTerminal();
              return backend != nullptr && backend->Interactive() ? 0 : 1;
            }),
            0);
}

TEST(TerminalBackendTest, WithoutATerminalThePolicyAnswersAndIsPrinted) {
  Terminal terminal(false);
  terminal->SetAnswer(700, kNoToAll);
  ReplaceDialog replace;
  EXPECT_EQ(replace.DoModal(), kNoToAll);

  terminal->SetAnswerSteps(500, {Step{Step::Kind::Check, 10, {}}, Step{Step::Kind::Type, 11, "x"},
                                 Step{Step::Kind::Press, IDOK, {}}});
  LambdaDialog ask(AskTemplate(), nullptr);
  bool ticked = false;
  std::string typed;
  ask.onCommand = [&](LambdaDialog& d, WORD) {
    ticked = d.IsDlgButtonChecked(10) == BST_CHECKED;
    typed = d.GetDlgItemText(11);
    return false;
  };
  EXPECT_EQ(ask.DoModal(), IDOK);
  EXPECT_TRUE(ticked);
  EXPECT_EQ(typed, "x");

  // No policy: closed with its Cancel value, and the output says so.
  LambdaDialog unknown(AskTemplate(502), nullptr);
  EXPECT_EQ(unknown.DoModal(), IDCANCEL);
  EXPECT_TRUE(unknown.cancelled);

  // A policy button that is disabled, in a dialog that also refuses to close: still ends.
  terminal->SetAnswer(503, IDOK);
  LambdaDialog stuck(AskTemplate(503), nullptr);
  stuck.onInit = [](LambdaDialog& d) {
    d.GetDlgItem(IDOK).EnableWindow(FALSE);
    d.GetDlgItem(IDCANCEL).EnableWindow(FALSE);
  };
  EXPECT_EQ(stuck.DoModal(), IDCANCEL);

  // A dialog declared to end by itself is left to its timer, not closed for want of an answer.
  terminal->SetAnswerSteps(504, {Step{Step::Kind::Wait, 0, {}}});
  LambdaDialog timed(AskTemplate(504), nullptr);
  timed.onInit = [](LambdaDialog& d) { d.SetTimer(1, 20); };
  timed.onTimer = [](LambdaDialog& d, UINT_PTR) { d.EndDialog(IDOK); };
  EXPECT_EQ(timed.DoModal(), IDOK);

  const std::string out = terminal.Output();
  EXPECT_TRUE(Has(out, "Confirm Replace: No to All\n"));
  EXPECT_TRUE(Has(out, "Ask: [x] Remember\nAsk: Text = x\nAsk: OK\n"));
  EXPECT_TRUE(Has(out, "Ask: no answer given; closed (Cancel)\n"));
  EXPECT_TRUE(Has(out, "Ask: control 1 is unavailable"));
  EXPECT_TRUE(Has(out, "Ask: still open; ended with Cancel"));
}

TEST(TerminalBackendTest, MessageBoxesOnATerminalAndByPolicy) {
  {
    Terminal terminal(true, "2\n\n");
    EXPECT_EQ(MessageBoxA(nullptr, "Keep both?", "Copy", MB_YESNOCANCEL), IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "Sure?", "Delete", MB_YESNO | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "Retry?", "Copy", MB_RETRYCANCEL), IDCANCEL);  // input ended
    const std::string out = terminal.Output();
    EXPECT_TRUE(Has(out, "Copy\n----\nKeep both?\n1) Yes (default)  2) No  3) Cancel\n"));
    EXPECT_TRUE(Has(out, "1) Yes  2) No (default)"));
    EXPECT_TRUE(Has(out, "Copy: end of input; Cancel"));
  }
  Terminal terminal(false);
  terminal->SetMessageBoxAnswer("overwrite", IDYES);
  EXPECT_EQ(MessageBoxA(nullptr, "Do you want to overwrite it?", "Save", MB_YESNO), IDYES);
  // The policy's answer is not a button of an OK box, and nothing matches the last box.
  EXPECT_EQ(MessageBoxA(nullptr, "Cannot overwrite it.", "Save", MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "Continue?", "Save", MB_YESNO), IDNO);
  const std::string out = terminal.Output();
  EXPECT_TRUE(Has(out, "Save: Yes\n"));
  EXPECT_TRUE(Has(out, "Save: no answer given; OK\n"));
  EXPECT_TRUE(Has(out, "Save: no answer given; No\n"));
}

// Runs a progress dialog that steps its bar `steps` times over 0..upper and ends itself.
void RunProgress(const char* label, int upper, int steps) {
  LambdaDialog dialog(ProgressTemplate(), nullptr);
  dialog.onInit = [&](LambdaDialog& d) {
    d.SetDlgItemText(900, label);
    CProgressCtrl bar(d.GetDlgItem(902).GetSafeHwnd());
    bar.SetRange32(0, upper);
    bar.SetStep(1);
    for (int i = 0; i < steps; ++i) bar.StepIt();
    d.EndDialog(IDCANCEL);
  };
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
}

TEST(TerminalBackendTest, ProgressIsOneRedrawnLineOnATerminalAndPlainLinesWithout) {
  {
    Terminal terminal(true);
    RunProgress("Encrypting a.txt", 10, 3);
    RunProgress("Encrypting b.txt", 2000, 2000);
    const std::string out = terminal.Output();
    EXPECT_TRUE(Has(out, "\rEncrypting a.txt [######..............] 3/10\x1b[K"));
    EXPECT_TRUE(Has(out, "[####################] 2000/2000\x1b[K\n"));
    // 2000 steps in a moment are a handful of redraws, not 2000.
    EXPECT_LT(Count(out, "\r"), 100u);
  }
  Terminal terminal(false);
  RunProgress("Encrypting a.txt", 10, 3);
  RunProgress("Encrypting b.txt", 10, 10);
  RunProgress(
      "evil\x1b[2J\x9b"
      "name",
      4, 4);
  const std::string out = terminal.Output();
  EXPECT_FALSE(Has(out, "\r"));
  EXPECT_FALSE(Has(out, "\x1b"));
  EXPECT_EQ(out,
            "Working\nEncrypting a.txt 3/10\nWorking\nEncrypting b.txt 10/10\n"
            "Working\nevil?[2J?name 4/4\n");
}

// On a terminal 30 columns wide: texts break at spaces, a word longer than a line between two
// characters (never inside one), and the redrawn progress line stays within one row.
TEST(TerminalBackendTest, OnANarrowTerminalTextsWrapAtSpacesAndProgressFitsOneRow) {
  Pty pty;
  if (!pty.Open()) GTEST_SKIP() << "no pseudo-terminal on this machine";
  winsize size{};
  size.ws_col = 30;
  size.ws_row = 24;
  ASSERT_EQ(ioctl(pty.slave, TIOCSWINSZ, &size), 0);
  const std::string text =
      "Verify the selected folder: Grüße an das System, before it changes. "
      "ÄÖÜäöüßÄÖÜäöüßÄÖÜäöüßÄÖÜäöüßÄÖÜäöüß end";
  {
    Terminal terminal(true, "\n1\n", true, pty.slave);
    LambdaDialog dialog(
        DialogTemplate{602,
                       100,
                       50,
                       "Verify",
                       {Control(IDC_STATIC, ControlKind::Static, text.c_str()),
                        Control(10, ControlKind::CheckBox, "Do not show this warning again"),
                        Button(IDOK, "OK", BS_DEFPUSHBUTTON)}},
        nullptr);
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, text.c_str(), "Backup", MB_OK), IDOK);
    RunProgress("Encrypting a-rather-long-file-name.txt", 10, 10);
  }
  std::string transcript;
  while (ReadSome(pty.master, &transcript, 100)) {
  }

  std::vector<std::string> rows;
  std::string row;
  for (std::size_t i = 0; i < transcript.size(); ++i) {
    if (transcript.compare(i, 3, "\x1b[K") == 0) {
      i += 2;
    } else if (transcript[i] == '\r' || transcript[i] == '\n') {
      rows.push_back(row);
      row.clear();
    } else {
      row += transcript[i];
    }
  }
  rows.push_back(row);
  const auto columns = [](const std::string& line) {
    std::size_t count = 0;
    for (const char c : line) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return count;
  };
  int broken = 0;
  for (const std::string& line : rows) {
    EXPECT_LE(columns(line), 30u) << line;
    if (!line.empty()) {
      EXPECT_NE(static_cast<unsigned char>(line[0]) & 0xC0, 0x80) << "a character split: " << line;
    }
    broken += line.rfind("ÄÖÜäöüßÄÖÜäöüßÄÖÜäöüßÄÖÜäöüßÄÖ", 0) == 0 ? 1 : 0;
  }
  // Both copies of the text (the dialog's and the box's) break the long word after 30 columns.
  EXPECT_EQ(broken, 2) << transcript;
  for (const char* word : {"selected", "Grüße", "System,", "changes.", "warning"})
    EXPECT_GE(Count(transcript, word), 1u) << word << "\n" << transcript;
  EXPECT_TRUE(Has(transcript, "10/10"));
}

TEST(TerminalBackendTest, ResultRowsPrintWhenDoneAndTheTableWhenTheDialogWaits) {
  Terminal terminal(false);
  terminal->SetAnswer(501, IDCANCEL);
  LambdaDialog dialog(ProgressTemplate(), nullptr);
  std::vector<std::string> seen;
  dialog.onInit = [&](LambdaDialog& d) {
    CListCtrl list(d.GetDlgItem(201).GetSafeHwnd());
    list.InsertColumn(0, "Filename");
    list.InsertColumn(1, "Status");
    list.InsertColumn(2, "File Location");
    list.InsertItem(0, "a.txt");
    list.SetItemText(0, 1, "Encrypting");
    list.SetItemText(0, 2, "/home/u");
    seen.push_back(terminal.Output());  // filled, but the status is not the result yet
    list.SetItemText(0, 1, "Encrypted");
    list.InsertItem(1, "b.txt");
    list.SetItemText(1, 1, "Failed");
    seen.push_back(terminal.Output());  // a later row began: a.txt is done
    list.InsertItem(2, "long-name.txt");
    list.SetItemText(2, 1, "Skipped");
    seen.push_back(terminal.Output());  // and now b.txt
    CProgressCtrl bar(d.GetDlgItem(902).GetSafeHwnd());
    bar.SetRange32(0, 3);
    bar.SetStep(1);
    for (int i = 0; i < 3; ++i) bar.StepIt();
    seen.push_back(terminal.Output());  // the run is complete: its last row, then its count
  };
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0], "");
  EXPECT_EQ(seen[1], "Working\na.txt  Encrypted  /home/u\n");
  EXPECT_EQ(seen[2], seen[1] + "b.txt  Failed\n");
  EXPECT_EQ(seen[3], seen[2] + "long-name.txt  Skipped\n3/3\n");

  const std::string out = terminal.Output();
  EXPECT_EQ(out.find("long-name.txt  Skipped\n"), seen[2].size()) << out;
  const std::string table =
      "Filename      | Status    | File Location\n"
      "--------------+-----------+--------------\n"
      "a.txt         | Encrypted | /home/u\n"
      "b.txt         | Failed    |\n"
      "long-name.txt | Skipped   |\n"
      "1) Cancel\n"
      "Working: Cancel\n";
  EXPECT_TRUE(Has(out, table));
}

// Ctrl+C presses Cancel and the process lives; a disabled Cancel ignores it, and a second
// Ctrl+C then quits.
TEST(TerminalBackendTest, CtrlCPressesAnEnabledCancelAndASecondOneQuits) {
  static std::atomic<int> earlier{0};
  earlier = 0;
  struct sigaction counting {};
  counting.sa_handler = [](int) { ++earlier; };
  sigemptyset(&counting.sa_mask);
  struct sigaction saved {};
  ASSERT_EQ(sigaction(SIGINT, &counting, &saved), 0);
  {
    // While the dialog pumps for its worker, and while the terminal waits for an answer.
    Terminal terminal(true, "", false);
    LambdaDialog pumping(ProgressTemplate(), nullptr);
    std::thread worker([] { raise(SIGINT); });
    EXPECT_EQ(PumpUntilCancelled(pumping, std::chrono::seconds(20)), IDCANCEL);
    worker.join();
    LambdaDialog asking(AskTemplate(), nullptr);
    std::thread later([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      raise(SIGINT);
    });
    EXPECT_EQ(asking.DoModal(), IDCANCEL);
    later.join();
    EXPECT_TRUE(asking.cancelled);
    EXPECT_EQ(Count(terminal.Output(), "Ctrl+C: "), 2u) << terminal.Output();
  }
  EXPECT_EQ(earlier.load(), 0);
  // The disposition found before is back.
  raise(SIGINT);
  EXPECT_EQ(earlier.load(), 1);
  sigaction(SIGINT, &saved, nullptr);

  // Child exits 0 when it survived its Ctrl+C presses and the dialog was never cancelled.
  const auto run = [](int presses) {
    return RunInChild([presses] {
      TerminalBackend backend(-1, open("/dev/null", O_WRONLY | O_CLOEXEC), false);
      SetUiBackend(&backend);
      LambdaDialog dialog(ProgressTemplate(), nullptr);
      dialog.onInit = [presses](LambdaDialog& d) {
        d.GetDlgItem(IDCANCEL).EnableWindow(FALSE);
        for (int i = 0; i < presses; ++i) {
          raise(SIGINT);
          MSG msg;
          while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        }
        d.EndDialog(d.cancelled ? IDCANCEL : IDOK);
      };
      return dialog.DoModal() == IDOK ? 0 : 1;
    });
  };
  EXPECT_EQ(run(1), 0);
  EXPECT_EQ(run(2), -1);  // killed by the second Ctrl+C
}

// A page shown as a form: every text cleaned, lists and the text box lettered, the enabled
// buttons numbered; a letter picks a field, a number clicks.
TEST(TerminalPageTest, APageIsAFormWhoseTextsAreCleaned) {
  class Picker : public CDHtmlDialog {
   public:
    Picker()
        : CDHtmlDialog(DialogTemplate{600, 100, 50, "Pick", {}},
                       PageSource{"Pick.htm",
                                  "<label id='l' for='pick'></label><select id='pick'></select>"
                                  "<input id='name' type='text'><input id='off' type='button'>"
                                  "<input id='go' type='button'>",
                                  {{"l", "Pick one:"}, {"go_Lbl", "Go\x1b[2J"}}},
                       nullptr) {}
    int chosen = -2;
    std::string typed;

   protected:
    void OnDocumentComplete() override {
      (void)Page()->AddOption("pick", "one");
      (void)Page()->AddOption("pick", "tw\x1b]0;owned\ao");
      (void)Page()->SetEnabled("off", false);
    }
    void OnPageEvent(const PageEvent& event) override {
      if (event.id != "go") return;
      chosen = Page()->SelectedIndex("pick");
      (void)Page()->GetValue("name", &typed);
      EndDialog(IDOK);
    }
  };
  Terminal terminal(true, "a\n2\nb\nzed\n1\n");
  Picker dialog;
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(dialog.chosen, 1);
  EXPECT_EQ(dialog.typed, "zed");
  const std::string out = terminal.Output();
  EXPECT_FALSE(Has(out, "\x1b"));
  EXPECT_FALSE(Has(out, "\a"));
  EXPECT_TRUE(Has(out, "a) Pick one:\n"));
  EXPECT_TRUE(Has(out, "2. tw?]0;owned?o"));
  EXPECT_TRUE(Has(out, "1) Go?[2J"));
  EXPECT_EQ(out.find("off"), std::string::npos) << "a disabled button is offered: " << out;
}

}  // namespace
