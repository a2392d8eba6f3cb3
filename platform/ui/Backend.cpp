// The installed back end and the framework's calls into it; message boxes routed through it.
#include "platform/ui/Backend.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>

#include "platform/MessageBox.h"
#include "platform/ui/UiInternal.h"
#include "platform/ui/WindowApi.h"

namespace {

std::atomic<UiBackend*> g_backend{nullptr};

int BackendMessageBox(HWND owner, const char* text, const char* caption, UINT type) {
  UiBackend* backend = g_backend.load();
  if (backend == nullptr) return MessageBoxCancelResult(type);
  return backend->ShowMessageBox(owner, text != nullptr ? text : "",
                                 caption != nullptr ? caption : "Error", type);
}

}  // namespace

void UiBackend::DialogShown(const DialogState&) {}
void UiBackend::ControlChanged(const ControlChange&) {}
void UiBackend::DialogClosed(const DialogState&, INT_PTR) {}
void UiBackend::Poll() {}
int UiBackend::WakeFd() const { return -1; }
std::unique_ptr<PageHost> UiBackend::CreatePageHost(HWND dialog, const PageSource& source) {
  return std::make_unique<ElementPage>(dialog, source);
}

UiBackend* SetUiBackend(UiBackend* backend) noexcept {
  UiBackend* previous = g_backend.exchange(backend);
  SetMessageBoxHandler(backend != nullptr ? BackendMessageBox : nullptr);
  return previous;
}

UiBackend* CurrentUiBackend() noexcept { return g_backend.load(); }

bool PressDialogButton(HWND dialog, int id) noexcept {
  const HWND button = GetDlgItem(dialog, id);
  return button != nullptr && PostMessageA(button, BM_CLICK, 0, 0) != FALSE;
}

bool CloseDialogBySystemMenu(HWND dialog) noexcept {
  return qv::ui::detail::DialogOf(dialog) == dialog && dialog != nullptr &&
         PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE;
}

bool EndModalDialog(HWND dialog, INT_PTR result) noexcept {
  return qv::ui::detail::DialogOf(dialog) == dialog && dialog != nullptr &&
         PostMessageA(dialog, WM_QV_ENDDIALOG, static_cast<WPARAM>(result), 0) != FALSE;
}

bool SnapshotDialog(HWND dialog, DialogState* out) noexcept {
  if (out == nullptr) return false;
  try {
    return qv::ui::detail::ReadDialog(dialog, [&](const DialogState& state) { *out = state; });
  } catch (...) {
    return false;
  }
}

std::vector<HWND> OpenDialogs() noexcept {
  std::vector<HWND> out;
  try {
    // Handles grow with creation, so sorting them gives creation order.
    std::lock_guard<std::recursive_mutex> guard(qv::ui::detail::UiLock());
    for (HWND candidate : qv::ui::detail::AllDialogs()) out.push_back(candidate);
  } catch (...) {
  }
  return out;
}

int MessageBoxCancelResult(UINT type) noexcept {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
    case MB_YESNOCANCEL:
    case MB_RETRYCANCEL:
      return IDCANCEL;
    case MB_YESNO:
      return IDNO;
    case MB_ABORTRETRYIGNORE:
      return IDABORT;
    default:
      return IDOK;
  }
}

std::vector<int> MessageBoxButtons(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
      return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
      return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
      return {IDYES, IDNO};
    case MB_RETRYCANCEL:
      return {IDRETRY, IDCANCEL};
    default:
      return {IDOK};
  }
}

const char* MessageBoxButtonText(int button) noexcept {
  switch (button) {
    case IDOK:
      return "OK";
    case IDCANCEL:
      return "Cancel";
    case IDABORT:
      return "Abort";
    case IDRETRY:
      return "Retry";
    case IDIGNORE:
      return "Ignore";
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
    default:
      return "?";
  }
}

namespace qv::ui::detail {

void ReportChange(const ControlChange& change) {
  if (UiBackend* backend = g_backend.load()) backend->ControlChanged(change);
}

void PollBackend() {
  if (UiBackend* backend = g_backend.load()) backend->Poll();
}

bool BackendActs(HWND dialog) {
  if (UiBackend* backend = g_backend.load()) return backend->WaitForUser(dialog);
  // No user: close the dialog; one that ignores the close (its Cancel is disabled) is ended.
  static std::mutex lock;
  static std::set<HWND> toldToClose;
  {
    std::lock_guard<std::mutex> guard(lock);
    std::erase_if(toldToClose, [](HWND h) { return DialogOf(h) == nullptr; });
    if (!toldToClose.insert(dialog).second) return EndModalDialog(dialog, IDCANCEL);
  }
  DialogState state;
  if (SnapshotDialog(dialog, &state)) {
    std::fprintf(stderr, "%s (no user to answer; closed)\n%s", state.caption.c_str(),
                 state.Texts().c_str());
  }
  return CloseDialogBySystemMenu(dialog) || PostMessageA(dialog, WM_CLOSE, 0, 0) != FALSE;
}

void BackendDialogShown(HWND dialog) {
  UiBackend* backend = g_backend.load();
  DialogState state;
  if (backend != nullptr && SnapshotDialog(dialog, &state)) backend->DialogShown(state);
}

void BackendDialogClosed(HWND dialog, INT_PTR result) {
  UiBackend* backend = g_backend.load();
  DialogState state;
  if (backend != nullptr && SnapshotDialog(dialog, &state)) backend->DialogClosed(state, result);
}

int BackendWakeFd() {
  UiBackend* backend = g_backend.load();
  return backend != nullptr ? backend->WakeFd() : -1;
}

}  // namespace qv::ui::detail

std::unique_ptr<PageHost> CreateDialogPage(HWND dialog, const PageSource& source) noexcept {
  try {
    if (UiBackend* backend = CurrentUiBackend(); backend != nullptr)
      return backend->CreatePageHost(dialog, source);
    return std::make_unique<ElementPage>(dialog, source);
  } catch (...) {
    return nullptr;
  }
}
