// The user a command of qvx stands in for while it runs the view's commands.
#pragma once

#include <memory>
#include <string>

#include "platform/WinTypes.h"
#include "platform/ui/Backend.h"

// The user of a command line, installed while it lives: it answers the view's folder chooser
// with `folder` (Cancel when empty), answers Yes to a Yes/No question when `yes`, and notes
// the error boxes shown. Everything else goes to the back end installed before (a terminal);
// without one a dialog is cancelled and a box gets its Cancel answer, which keeps what is
// there.
class CommandLineUser final : public UiBackend {
 public:
  CommandLineUser(std::string folder, bool yes);
  ~CommandLineUser() override;
  CommandLineUser(const CommandLineUser&) = delete;
  CommandLineUser& operator=(const CommandLineUser&) = delete;

  int ErrorBoxes() const { return errorBoxes_; }

  void DialogShown(const DialogState& dialog) override;
  void ControlChanged(const ControlChange& change) override;
  bool WaitForUser(HWND dialog) override;
  void DialogClosed(const DialogState& dialog, INT_PTR result) override;
  int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type) override;
  void Poll() override;
  int WakeFd() const override;
  std::unique_ptr<PageHost> CreatePageHost(HWND dialog, const PageSource& source) override;

 private:
  std::string folder_;
  bool yes_;
  int errorBoxes_ = 0;
  UiBackend* inner_;
};
