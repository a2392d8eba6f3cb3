// Running the product's dialogs with the headless user: one scripted answer per run (a press,
// a box ticked first, or the close box) and a one-line view of the dialog's frame.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/common/HeadlessUi.h"

struct UserAnswer {
  const char* what;
  int button;    // 0: the close box instead
  int tick = 0;  // a check box ticked first, 0 for none
};

// Runs `dialog` with `answer` scripted for `templateId`; the record's result is DoModal's.
template <class Dialog>
HeadlessBackend::ClosedDialog RunAnswered(Dialog& dialog, UINT templateId,
                                          const UserAnswer& answer) {
  using Step = HeadlessBackend::Step;
  HeadlessUi ui;
  std::vector<Step> steps;
  if (answer.tick != 0) steps.push_back(Step{Step::Kind::Check, answer.tick, {}});
  steps.push_back(Step{answer.button != 0 ? Step::Kind::Press : Step::Kind::Close, answer.button});
  ui.Answer(templateId, steps);
  const INT_PTR result = dialog.DoModal();
  HeadlessBackend::ClosedDialog closed{};
  EXPECT_TRUE(ui.LastClosed(templateId, &closed)) << answer.what << ": dialog never closed";
  EXPECT_EQ(closed.result, result);
  return closed;
}

// "caption | id:button ... | icon ...": buttons with "*" for the default, "-" when disabled.
inline std::string Frame(const DialogState& state) {
  std::string buttons, icons;
  for (const ControlState& c : state.controls) {
    if (c.kind == ControlKind::Button)
      buttons += " " + std::to_string(c.id) + ":" + c.text + (c.isDefault ? "*" : "") +
                 (c.enabled ? "" : "-");
    if (c.kind == ControlKind::Icon) icons += " " + (c.icon.empty() ? "(none)" : c.icon);
  }
  return state.caption + " |" + buttons + " |" + icons;
}
