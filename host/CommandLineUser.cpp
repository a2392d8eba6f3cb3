// The command line's user (see CommandLineUser.h).
#include "host/CommandLineUser.h"

#include <cstdio>

#include "platform/MessageBox.h"
#include "platform/shell/BrowseForFolder.h"
#include "platform/ui/WindowApi.h"

CommandLineUser::CommandLineUser(std::string folder, bool yes)
    : folder_(std::move(folder)), yes_(yes), inner_(SetUiBackend(this)) {}

CommandLineUser::~CommandLineUser() { SetUiBackend(inner_); }

void CommandLineUser::DialogShown(const DialogState& dialog) {
  if (inner_ != nullptr) inner_->DialogShown(dialog);
}

void CommandLineUser::ControlChanged(const ControlChange& change) {
  if (inner_ != nullptr) inner_->ControlChanged(change);
}

bool CommandLineUser::WaitForUser(HWND dialog) {
  DialogState state;
  if (SnapshotDialog(dialog, &state) && state.templateId == kBrowseForFolderDialogId) {
    if (folder_.empty()) return EndModalDialog(dialog, IDCANCEL);
    (void)SetDlgItemTextA(dialog, kBrowseForFolderPathId, folder_.c_str());
    return PressDialogButton(dialog, IDOK);
  }
  if (inner_ != nullptr) return inner_->WaitForUser(dialog);
  return EndModalDialog(dialog, IDCANCEL);
}

void CommandLineUser::DialogClosed(const DialogState& dialog, INT_PTR result) {
  if (inner_ != nullptr) inner_->DialogClosed(dialog, result);
}

int CommandLineUser::ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type) {
  if ((type & MB_ICONMASK) == MB_ICONERROR) ++errorBoxes_;
  if (yes_ && (type & MB_TYPEMASK) == MB_YESNO) return IDYES;
  if (inner_ != nullptr) return inner_->ShowMessageBox(owner, text, caption, type);
  std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
  return MessageBoxCancelResult(type);
}

void CommandLineUser::Poll() {
  if (inner_ != nullptr) inner_->Poll();
}

int CommandLineUser::WakeFd() const { return inner_ != nullptr ? inner_->WakeFd() : -1; }

std::unique_ptr<PageHost> CommandLineUser::CreatePageHost(HWND dialog, const PageSource& source) {
  return inner_ != nullptr ? inner_->CreatePageHost(dialog, source)
                           : UiBackend::CreatePageHost(dialog, source);
}
