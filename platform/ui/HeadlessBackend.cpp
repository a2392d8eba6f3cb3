// The headless back end: scripted answers, triggers while dialogs run, and the record.
#include "platform/ui/HeadlessBackend.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "platform/MessageBox.h"
#include "platform/ui/WindowApi.h"

namespace {

std::string Describe(const DialogState& state) {
  std::string text = "dialog " + std::to_string(state.templateId) + " \"" + state.caption + "\"";
  const std::string texts = state.Texts();
  if (!texts.empty()) text += ":\n" + texts;
  return text;
}

bool IsPageStep(const HeadlessBackend::Step& step) {
  using Kind = HeadlessBackend::Step::Kind;
  return step.kind == Kind::ClickElement || step.kind == Kind::TypeElement ||
         step.kind == Kind::SelectElement;
}

}  // namespace

HeadlessBackend::HeadlessBackend() = default;

void HeadlessBackend::ActOnPage(HWND dialog, UINT templateId, const Step& step) {
  ElementPage* page = ElementPageOf(dialog);
  bool done = false;
  if (page != nullptr) {
    if (step.kind == Step::Kind::ClickElement)
      done = page->UserClick(step.element);
    else if (step.kind == Step::Kind::TypeElement)
      done = page->UserType(step.element, step.text);
    else
      done = page->UserSelect(step.element, step.text);
  }
  if (!done)
    Fail("dialog " + std::to_string(templateId) +
         (page == nullptr ? " has no page" : " has no fitting element " + step.element));
}

bool HeadlessBackend::LastPage(UINT templateId, PageSnapshot* out) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = closedPages_.rbegin(); it != closedPages_.rend(); ++it) {
    if (it->first != templateId) continue;
    if (out != nullptr) *out = it->second;
    return true;
  }
  return false;
}
HeadlessBackend::~HeadlessBackend() = default;

void HeadlessBackend::Answer(UINT templateId, std::vector<Step> steps) {
  std::lock_guard<std::mutex> guard(lock_);
  answers_.push_back(PendingAnswer{templateId, std::move(steps)});
}

void HeadlessBackend::PressButton(UINT templateId, int button) {
  Answer(templateId, {Step{Step::Kind::Press, button, {}}});
}

void HeadlessBackend::TickAndPress(UINT templateId, int checkBox, int button) {
  Answer(templateId, {Step{Step::Kind::Check, checkBox, {}}, Step{Step::Kind::Press, button, {}}});
}

void HeadlessBackend::TypeAndPress(UINT templateId, int edit, const std::string& text, int button) {
  Answer(templateId, {Step{Step::Kind::Type, edit, text}, Step{Step::Kind::Press, button, {}}});
}

void HeadlessBackend::CloseWindow(UINT templateId) {
  Answer(templateId, {Step{Step::Kind::Close, 0, {}}});
}

void HeadlessBackend::LetRun(UINT templateId) {
  Answer(templateId, {Step{Step::Kind::Wait, 0, {}}});
}

void HeadlessBackend::AnswerMessageBox(int answer, const std::string& match) {
  std::lock_guard<std::mutex> guard(lock_);
  boxes_.push_back(PendingBox{answer, match});
}

void HeadlessBackend::PressAfterProgressSteps(UINT templateId, int progressId, int steps,
                                              int button) {
  std::lock_guard<std::mutex> guard(lock_);
  triggers_.push_back(Trigger{templateId, progressId, button, std::max(steps, 0), -1, {}});
}

void HeadlessBackend::PressAtFirstRowNot(UINT templateId, int listId, int column,
                                         const std::string& successText, int button) {
  std::lock_guard<std::mutex> guard(lock_);
  triggers_.push_back(Trigger{templateId, listId, button, -1, column, successText});
}

std::vector<HeadlessBackend::ShownMessageBox> HeadlessBackend::MessageBoxes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return shownBoxes_;
}

std::vector<HeadlessBackend::ClosedDialog> HeadlessBackend::ClosedDialogs() const {
  std::lock_guard<std::mutex> guard(lock_);
  return closed_;
}

bool HeadlessBackend::LastClosed(UINT templateId, ClosedDialog* out) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = closed_.rbegin(); it != closed_.rend(); ++it) {
    if (it->state.templateId != templateId) continue;
    if (out != nullptr) *out = *it;
    return true;
  }
  return false;
}

std::vector<std::string> HeadlessBackend::Failures() const {
  std::lock_guard<std::mutex> guard(lock_);
  return failures_;
}

std::vector<std::string> HeadlessBackend::UnusedScript() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> out;
  for (const PendingAnswer& a : answers_)
    out.push_back("answer for dialog " + std::to_string(a.templateId));
  for (const PendingBox& b : boxes_)
    out.push_back("message box answer " + std::to_string(b.answer) + " for \"" + b.match + "\"");
  for (const Trigger& t : triggers_) {
    if (!t.fired)
      out.push_back("press of button " + std::to_string(t.button) + " in dialog " +
                    std::to_string(t.templateId));
  }
  return out;
}

void HeadlessBackend::SetFailureHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::mutex> guard(lock_);
  failureHandler_ = std::move(handler);
}

void HeadlessBackend::Fail(const std::string& message) {
  std::function<void(const std::string&)> handler;
  {
    std::lock_guard<std::mutex> guard(lock_);
    failures_.push_back(message);
    handler = failureHandler_;
  }
  if (handler) {
    handler(message);
  } else {
    std::fprintf(stderr, "headless user: %s\n", message.c_str());
  }
}

void HeadlessBackend::ControlChanged(const ControlChange& change) {
  int press = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (Trigger& t : triggers_) {
      if (t.fired || t.templateId != change.templateId || t.control != change.controlId) continue;
      if (t.steps >= 0) {
        if (change.kind != ChangeKind::ProgressStep && change.kind != ChangeKind::ProgressPos)
          continue;
        // SetPos counts only when it advances; SetPos(0) at the start of an item does not.
        if (change.kind == ChangeKind::ProgressPos && change.value <= 0) continue;
        if (--t.steps > 0) continue;
      } else if (change.kind != ChangeKind::ListItemText || change.column != t.column ||
                 change.text.empty() || change.text == t.successText) {
        continue;
      }
      t.fired = true;
      press = t.button;
      break;
    }
  }
  if (press != 0 && !PressDialogButton(change.dialog, press))
    Fail("dialog " + std::to_string(change.templateId) + " has no button " + std::to_string(press) +
         " to press");
}

bool HeadlessBackend::WaitForUser(HWND dialog) {
  DialogState state;
  if (!SnapshotDialog(dialog, &state)) return false;
  std::vector<Step> steps;
  bool found = false;
  bool repeated = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (std::find(asked_.begin(), asked_.end(), dialog) == asked_.end()) asked_.push_back(dialog);
    const auto it = std::find_if(answers_.begin(), answers_.end(), [&](const PendingAnswer& a) {
      return a.templateId == state.templateId &&
             (a.waitingDialog == nullptr || a.waitingDialog == dialog);
    });
    if (it != answers_.end() && !it->steps.empty() && it->steps[0].kind == Step::Kind::Wait) {
      it->waitingDialog = dialog;
      return false;
    }
    if (it != answers_.end()) {
      steps = std::move(it->steps);
      answers_.erase(it);
      found = true;
    } else {
      repeated = std::find(unanswered_.begin(), unanswered_.end(), dialog) != unanswered_.end();
      if (!repeated) unanswered_.push_back(dialog);
    }
  }
  if (!found) {
    if (repeated) return EndModalDialog(dialog, IDCANCEL);
    Fail("unexpected " + Describe(state));
    return CloseDialogBySystemMenu(dialog);
  }
  for (const Step& step : steps) {
    const ControlState* control = state.Control(step.control);
    if (IsPageStep(step)) {
      ActOnPage(dialog, state.templateId, step);
      continue;
    }
    if (step.kind != Step::Kind::Close && control == nullptr) {
      Fail("dialog " + std::to_string(state.templateId) + " has no control " +
           std::to_string(step.control));
      continue;
    }
    switch (step.kind) {
      case Step::Kind::Press:
        PressDialogButton(dialog, step.control);
        break;
      case Step::Kind::Check:
      case Step::Kind::Uncheck:
        if (!control->enabled) {
          Fail("check box " + std::to_string(step.control) + " of dialog " +
               std::to_string(state.templateId) + " is disabled");
          break;
        }
        CheckDlgButton(dialog, step.control,
                       step.kind == Step::Kind::Check ? BST_CHECKED : BST_UNCHECKED);
        break;
      case Step::Kind::Type:
        SetDlgItemTextA(dialog, step.control, step.text.c_str());
        break;
      case Step::Kind::Close:
        CloseDialogBySystemMenu(dialog);
        break;
      case Step::Kind::Wait:
      case Step::Kind::ClickElement:
      case Step::Kind::TypeElement:
      case Step::Kind::SelectElement:
        break;
    }
  }
  return true;
}

void HeadlessBackend::DialogClosed(const DialogState& dialog, INT_PTR result) {
  const ElementPage* page = ElementPageOf(dialog.hwnd);
  std::optional<PageSnapshot> pageState;
  if (page != nullptr) pageState = page->Snapshot();
  std::lock_guard<std::mutex> guard(lock_);
  closed_.push_back(ClosedDialog{dialog, result});
  if (pageState) closedPages_.emplace_back(dialog.templateId, std::move(*pageState));
  std::erase_if(answers_, [&](const PendingAnswer& a) { return a.waitingDialog == dialog.hwnd; });
  if (std::find(asked_.begin(), asked_.end(), dialog.hwnd) == asked_.end()) {
    // Ended (from another thread) before it asked: a "let it run" answer waiting for it was
    // its own, and must not hold up the next dialog of its kind for ever.
    const auto waiting =
        std::find_if(answers_.begin(), answers_.end(), [&](const PendingAnswer& a) {
          return a.templateId == dialog.templateId && a.waitingDialog == nullptr &&
                 !a.steps.empty() && a.steps[0].kind == Step::Kind::Wait;
        });
    if (waiting != answers_.end()) answers_.erase(waiting);
  }
  std::erase(asked_, dialog.hwnd);
  std::erase(unanswered_, dialog.hwnd);
}

int HeadlessBackend::ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type) {
  const std::string body = text;
  const std::string title = caption;
  int answer = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = std::find_if(boxes_.begin(), boxes_.end(), [&](const PendingBox& b) {
      return b.match.empty() || body.find(b.match) != std::string::npos ||
             title.find(b.match) != std::string::npos;
    });
    if (it != boxes_.end()) {
      answer = it->answer;
      boxes_.erase(it);
    }
  }
  if (answer == 0) {
    answer = MessageBoxCancelResult(type);
    Fail("unexpected message box \"" + title + "\": " + body);
  }
  std::lock_guard<std::mutex> guard(lock_);
  shownBoxes_.push_back(ShownMessageBox{owner, body, title, type, answer});
  return answer;
}
