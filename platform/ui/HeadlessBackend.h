// The headless back end: no screen, a scripted user, and a record of everything shown.
//
// Tests script the user before the code under test runs: the answer for the next dialog of
// a template (press a button, tick a box, type a text, close the window), the answers to
// message boxes, and a Cancel pressed while a dialog runs (after N progress steps, or at the
// first result row whose status is not the success text). Presses are real clicks: a button
// that is disabled when the click is handled ignores it.
//
// A modal dialog or message box with no scripted answer is a failure: it is reported to the
// failure handler with its caption and texts, and the dialog is closed (its Cancel value) so
// nothing ever waits. Every closed dialog's last state and every message box are kept for the
// test to read.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "platform/ui/Backend.h"

class HeadlessBackend : public UiBackend {
 public:
  struct Step {
    // Wait: the user does nothing and lets the dialog run until it ends by itself (on a timer
    // or a message from another thread); the test is responsible for it ending.
    // ClickElement, TypeElement and SelectElement act on the dialog's page: `element` is the
    // element's id, `text` what is typed or the text of the option selected.
    enum class Kind {
      Press,
      Check,
      Uncheck,
      Type,
      Close,
      Wait,
      ClickElement,
      TypeElement,
      SelectElement
    };
    Kind kind;
    int control = 0;
    std::string text;
    std::string element = {};

    static Step Click(std::string id) { return {Kind::ClickElement, 0, {}, std::move(id)}; }
    static Step TypeInto(std::string id, std::string value) {
      return {Kind::TypeElement, 0, std::move(value), std::move(id)};
    }
    static Step Select(std::string id, std::string option) {
      return {Kind::SelectElement, 0, std::move(option), std::move(id)};
    }
  };
  struct ShownMessageBox {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
    int answer;
  };
  struct ClosedDialog {
    DialogState state;
    INT_PTR result;
  };

  HeadlessBackend();
  ~HeadlessBackend() override;

  // ---- The scripted user ----

  // The next dialog with `templateId` is answered with `steps`, in order; answers for one
  // template are used in the order they were given.
  void Answer(UINT templateId, std::vector<Step> steps);
  void PressButton(UINT templateId, int button);
  void TickAndPress(UINT templateId, int checkBox, int button);
  void TypeAndPress(UINT templateId, int edit, const std::string& text, int button);
  void CloseWindow(UINT templateId);
  void LetRun(UINT templateId);
  // The next message box whose text or caption contains `match` (any box for "") is answered
  // with `answer`.
  void AnswerMessageBox(int answer, const std::string& match = "");
  // While a dialog of `templateId` runs, press `button` once its progress bar `progressId` has
  // advanced `steps` times (StepIt, or SetPos to a higher position).
  void PressAfterProgressSteps(UINT templateId, int progressId, int steps, int button = IDCANCEL);
  // While a dialog of `templateId` runs, press `button` at the first cell of list `listId` in
  // `column` whose text is set to something other than `successText`.
  void PressAtFirstRowNot(UINT templateId, int listId, int column, const std::string& successText,
                          int button = IDCANCEL);

  // ---- What happened ----

  std::vector<ShownMessageBox> MessageBoxes() const;
  std::vector<ClosedDialog> ClosedDialogs() const;
  // The last closed dialog of `templateId`; false when none closed.
  bool LastClosed(UINT templateId, ClosedDialog* out) const;
  // The page of the last closed dialog of `templateId` that had one, as it was when the
  // dialog closed; false when none.
  bool LastPage(UINT templateId, PageSnapshot* out) const;
  std::vector<std::string> Failures() const;
  // Scripted answers and triggers that were never used, described one per entry.
  std::vector<std::string> UnusedScript() const;
  // Failures go to `handler` as they happen (besides being kept); tests make them test
  // failures this way.
  void SetFailureHandler(std::function<void(const std::string&)> handler);

  // ---- UiBackend ----
  void ControlChanged(const ControlChange& change) override;
  bool WaitForUser(HWND dialog) override;
  void DialogClosed(const DialogState& dialog, INT_PTR result) override;
  int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type) override;

 private:
  struct PendingAnswer {
    UINT templateId;
    std::vector<Step> steps;
    HWND waitingDialog = nullptr;  // the dialog a Wait answer is serving
  };
  struct PendingBox {
    int answer;
    std::string match;
  };
  struct Trigger {
    UINT templateId;
    int control;
    int button;
    int steps;   // progress trigger: steps left; -1 for a row trigger
    int column;  // row trigger
    std::string successText;
    bool fired = false;
  };

  void Fail(const std::string& message);
  // Queues a page step with the dialog's page; a failure when it has none or lacks the element.
  void ActOnPage(HWND dialog, UINT templateId, const Step& step);

  mutable std::mutex lock_;
  std::vector<PendingAnswer> answers_;
  std::vector<PendingBox> boxes_;
  std::vector<Trigger> triggers_;
  std::vector<ShownMessageBox> shownBoxes_;
  std::vector<ClosedDialog> closed_;
  std::vector<std::pair<UINT, PageSnapshot>> closedPages_;
  std::vector<std::string> failures_;
  std::vector<HWND> unanswered_;  // dialogs already told to close for want of an answer
  std::vector<HWND> asked_;       // open dialogs that have waited for the user
  std::function<void(const std::string&)> failureHandler_;
};
