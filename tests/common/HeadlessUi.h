// A headless user for one test: installs the headless back end, turns its failures
// (unexpected dialogs and message boxes) into test failures, and at the end fails the test
// for every scripted answer that was never used.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "platform/ui/HeadlessBackend.h"

class HeadlessUi : public HeadlessBackend {
 public:
  HeadlessUi() {
    SetFailureHandler([](const std::string& message) { ADD_FAILURE() << message; });
    previous_ = SetUiBackend(this);
  }
  ~HeadlessUi() override {
    SetUiBackend(previous_);
    for (const std::string& unused : UnusedScript()) ADD_FAILURE() << "never used: " << unused;
  }
  // The dialogs of template `templateId` closed so far, in the order they closed.
  std::vector<ClosedDialog> Closed(UINT templateId) const {
    std::vector<ClosedDialog> out;
    for (const auto& dialog : ClosedDialogs())
      if (dialog.state.templateId == templateId) out.push_back(dialog);
    return out;
  }

 private:
  UiBackend* previous_ = nullptr;
};
