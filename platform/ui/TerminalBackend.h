// The terminal back end of the dialog framework, used by the command-line programs.
//
// A modal dialog that waits for its user is written as a titled block (caption, texts, check
// boxes lettered a, b, ..., edit fields, list views as tables, the enabled buttons numbered
// 1, 2, ... with the default marked). On a terminal the user answers on a line: a letter
// toggles a check box, a number (or a button's text) presses a button, an empty line presses
// the default button; edit fields are read as lines first, password fields without echo. End
// of input closes the dialog. Message boxes work the same way.
//
// Without a terminal nothing is ever waited for: the program sets a policy (the answer for a
// dialog template or a message box), the chosen answer is printed, and a dialog or box with
// no policy is closed with its Cancel value.
//
// A dialog with a progress bar shows its progress while it runs: on a terminal as one line
// redrawn in place (at most about 20 times a second, and at completion); without one, as one
// line per completed result row of its list and a progress line at completion, after every
// row it counts. When such a
// dialog waits for its OK, its result list is printed as a table.
//
// While a back end lives, Ctrl+C presses Cancel of the topmost modal dialog (a disabled
// Cancel ignores it); a second Ctrl+C within 2 seconds of one that found nothing to cancel,
// or one that arrives while the first was never picked up by a pump, ends the process as the
// default handling would.
//
// A dialog whose surface is a page is shown as a form: its texts, its lists with numbered
// options, its text boxes (lettered: a letter asks for a value or an option), and its enabled
// buttons numbered.
//
// Every text that comes from the program or its data is written as plain UTF-8 with control
// characters and invalid bytes replaced, so a file name cannot drive the terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Handles.h"
#include "platform/ui/Backend.h"
#include "platform/ui/HeadlessBackend.h"

// The one line a long run's progress is drawn as on the terminal `fd`: "LABEL [###.....] COUNT",
// the bar filled by `done` of `total`, the label (its control characters replaced) cut to fit
// the terminal's width, and COUNT alone when even the bar does not fit. The caller redraws it
// in place ("\r" first, "\x1b[K" after).
QV_API std::string TerminalProgressLine(std::string_view label, long long done, long long total,
                                        const std::string& count, int fd);

class QV_API TerminalBackend : public UiBackend {
 public:
  // One action of a policy answer: press a button, tick or clear a check box, type a text into
  // an edit field, or close the dialog through its system menu.
  using Step = HeadlessBackend::Step;

  // Reads answers from `inputFd` and writes to `outputFd`; neither is closed by the back end.
  // `interactive` false: answers come only from the policy. Ctrl+C handling is installed here
  // unless another terminal back end holds it or the process ignores SIGINT; SIGTERM and
  // SIGHUP (unless ignored) are handled the same way, except that they cancel every dialog
  // that can be cancelled until the program ends, and the same signal again ends it.
  TerminalBackend(int inputFd, int outputFd, bool interactive);
  // Restores the dispositions found by the constructor.
  ~TerminalBackend() override;
  TerminalBackend(const TerminalBackend&) = delete;
  TerminalBackend& operator=(const TerminalBackend&) = delete;

  // The back end of a command-line program: interactive on /dev/tty when the process has a
  // controlling terminal, else non-interactive writing to standard output. Null only when
  // memory runs out.
  static std::unique_ptr<TerminalBackend> ForControllingTerminal() noexcept;

  bool Interactive() const { return interactive_; }

  // ---- Policy (used when not interactive) ----

  // Every dialog of `templateId` is answered by pressing `button`; a later call replaces it.
  void SetAnswer(UINT templateId, int button);
  // Every dialog of `templateId` is answered with `steps`, in order. Steps that start with
  // Wait declare a dialog that ends by itself (timers, a worker): it is never asked or
  // answered, on a terminal either.
  void SetAnswerSteps(UINT templateId, std::vector<Step> steps);
  // Message boxes whose text or caption contains `match` ("" for every box) are answered with
  // `answer` when the box has that button. Policies are tried in the order they were set.
  void SetMessageBoxAnswer(const std::string& match, int answer);

  // ---- UiBackend ----
  void DialogShown(const DialogState& dialog) override;
  void ControlChanged(const ControlChange& change) override;
  bool WaitForUser(HWND dialog) override;
  void DialogClosed(const DialogState& dialog, INT_PTR result) override;
  int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type) override;
  void Poll() override;
  int WakeFd() const override;

 private:
  enum class ReadResult { Line, End, Interrupted };
  struct ListTrack {
    int columns = 0;
    std::vector<int> pending;  // rows added and not yet printed, ascending
  };
  // What the back end follows of a dialog while it runs; only dialogs with a progress bar
  // are followed beyond their first change.
  struct Tracked {
    bool progress = false;
    std::string caption;
    int barId = IDC_STATIC;
    int labelId = IDC_STATIC;
    std::string label;
    int lower = 0;
    int upper = 100;
    int position = 0;
    bool started = false;    // the bar moved at least once
    bool announced = false;  // the caption was written before the dialog's first line
    bool dirty = false;      // a change is waiting to be drawn
    std::string lastLine;    // the progress line drawn or printed last
    std::chrono::steady_clock::time_point lastDraw{};
    std::map<int, ListTrack> lists;
  };
  struct Waits {
    int count = 0;            // how often the open modal dialog waited for its user
    bool closeTried = false;  // it was told to close once already
  };
  struct MessageBoxPolicy {
    std::string match;
    int answer;
  };

  // Writes `text`, ending a live progress line first. The lock must be held.
  void WriteLocked(const std::string& text);
  void Print(const std::string& text);

  // Follows the dialog's progress bar, label and result lists.
  Tracked& TrackLocked(HWND dialog, const DialogState* state);
  void AnnounceLocked(Tracked& tracked);
  void DrawLocked(Tracked& tracked, bool force);
  void RowChangedLocked(Tracked& tracked, const ControlChange& change);
  void FlushLocked(HWND dialog, Tracked& tracked);
  // Without a terminal: prints the rows still held back, in order.
  void PrintPendingRowsLocked(HWND dialog, Tracked& tracked);

  bool AnswerByPolicy(HWND dialog, const DialogState& state, const Waits& waits);
  bool AskUser(HWND dialog, const DialogState& state);
  // A dialog whose surface is a page, shown as a form (TerminalBackend.cpp, "Pages").
  bool AskPage(HWND dialog, const DialogState& state, ElementPage& page);
  // Applies one page step of a policy and says so; false when the page cannot take it.
  bool ActOnPage(ElementPage* page, const Step& step, const std::string& name);
  int AskMessageBox(const std::string& block, UINT type, const std::vector<int>& buttons,
                    int defaultButton);
  ReadResult ReadLine(const std::string& prompt, bool secret, std::string* line);
  ReadResult ReadRaw(std::string* line);
  bool EndAfterInputEnded(HWND dialog, const DialogState& state);
  void MarkCloseTried(HWND dialog);

  // Ctrl+C: takes the pending interrupt and presses Cancel of the topmost modal dialog; true
  // when a Cancel could be pressed.
  bool HandleInterrupt();
  bool TakeInterrupt();

  qv::detail::UniqueFd owned_;
  int in_;
  int out_;
  bool interactive_;
  bool inputIsTty_ = false;
  bool ownsInterrupt_ = false;
  qv::detail::UniqueFd wake_;

  std::mutex lock_;  // state and output
  std::map<UINT, std::vector<Step>> answers_;
  std::vector<MessageBoxPolicy> boxAnswers_;
  std::map<HWND, Tracked> tracked_;
  std::map<HWND, Waits> waits_;
  bool liveLine_ = false;
  std::atomic<bool> drawPending_{false};

  std::mutex inputLock_;  // one prompt at a time
  std::string inputBuffer_;
  bool inputEnded_ = false;
  bool discarding_ = false;  // dropping the rest of an over-long line
  std::atomic<int> prompting_{0};
};
