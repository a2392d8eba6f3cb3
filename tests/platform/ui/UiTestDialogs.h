// Dialogs for the framework's tests: templates made in the test and a dialog whose handlers
// are lambdas.
#pragma once

#include <functional>
#include <vector>

#include "platform/ui/Controls.h"
#include "platform/ui/Dialog.h"

inline ControlTemplate Button(int id, const char* text, DWORD extra = 0) {
  return ControlTemplate{id, ControlKind::Button, text, WS_VISIBLE | extra, 0};
}
inline ControlTemplate Control(int id, ControlKind kind, const char* text = "", DWORD extra = 0) {
  return ControlTemplate{id, kind, text, WS_VISIBLE | extra, 0};
}

// OK (default), Cancel, a check box 10 and an edit 11.
inline DialogTemplate AskTemplate(UINT id = 500) {
  return DialogTemplate{
      id,
      100,
      50,
      "Ask",
      {Control(IDC_STATIC, ControlKind::Static, "Question?"),
       Control(10, ControlKind::CheckBox, "Remember"), Control(11, ControlKind::Edit),
       Button(IDOK, "OK", BS_DEFPUSHBUTTON), Button(IDCANCEL, "Cancel")}};
}

// Cancel, progress bar 902, label 900, result list 201.
inline DialogTemplate ProgressTemplate(UINT id = 501) {
  return DialogTemplate{id,
                        100,
                        50,
                        "Working",
                        {Control(900, ControlKind::Static), Control(902, ControlKind::ProgressBar),
                         Control(201, ControlKind::ListView, "", LVS_REPORT | LVS_EDITLABELS),
                         Button(IDCANCEL, "Cancel")}};
}

class LambdaDialog : public CDialog {
 public:
  using CDialog::CDialog;
  using CDialog::EndDialog;

  std::function<void(LambdaDialog&)> onInit;
  std::function<bool(LambdaDialog&, WORD)> onCommand;  // true: handled
  std::function<void(LambdaDialog&, UINT_PTR)> onTimer;
  std::function<LRESULT(LambdaDialog&, const NMHDR*)> onNotify;
  std::vector<WORD> commands;
  bool cancelled = false;
  BOOL initResult = TRUE;

 protected:
  BOOL OnInitDialog() override {
    if (onInit) onInit(*this);
    return initResult;
  }
  bool OnCommand(WORD id, WORD code) override {
    commands.push_back(id);
    if (onCommand && onCommand(*this, id)) return true;
    return CDialog::OnCommand(id, code);
  }
  void OnCancel() override {
    cancelled = true;
    CDialog::OnCancel();
  }
  void OnTimer(UINT_PTR id) override {
    if (onTimer) onTimer(*this, id);
  }
  LRESULT OnNotify(const NMHDR* header) override { return onNotify ? onNotify(*this, header) : 0; }
};
