// Shared by the framework's own files: the window table, the per-thread queues and the hooks
// into the installed back end. Not for product code.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/UiTypes.h"

namespace qv::ui::detail {

// Receives the messages of a dialog window (CDialog implements it).
class WindowTarget {
 public:
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) = 0;

 protected:
  ~WindowTarget() = default;
};

class ThreadQueue;
// The calling thread's queue, created on first use.
std::shared_ptr<ThreadQueue> CurrentQueue();
// Queues a message; false when the queue's thread has ended.
bool PostToQueue(ThreadQueue& queue, const MSG& msg);
void RemoveTimersOf(ThreadQueue& queue, HWND window);

// ---- Window table ----

bool IsUiHandle(HWND window);
// One lock for every window's state. It is never held while a window procedure or a back end
// runs.
std::recursive_mutex& UiLock();

// Creates a dialog window and one window per control of the template; the dialog belongs to
// the calling thread. Returns null when the template has no id.
HWND CreateDialogWindow(const DialogTemplate& dialogTemplate, HWND owner, WindowTarget* target,
                        bool modal);
// PostMessageA, IsWindow and DestroyWindow for dialog and control handles.
BOOL PostUiMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Removes a dialog and its controls from the table (their handles stop being windows).
bool DestroyUiWindow(HWND window);
// The window procedure target and the queue of the dialog that holds `window`.
WindowTarget* TargetOf(HWND window, std::shared_ptr<ThreadQueue>* queue);
// Every dialog handle, oldest first.
std::vector<HWND> AllDialogs();
// The dialog holding `window` (itself when it is a dialog); null when none.
HWND DialogOf(HWND window);

// Runs `change` on the state of a control (or, with IDC_STATIC semantics, the dialog: pass
// the dialog's own handle) under the lock. When it returns true, the change it filled in is
// reported to the back end after the lock is released. False when `window` is not a window.
bool ModifyControl(HWND window, const std::function<bool(ControlState&, ControlChange&)>& change);
bool ModifyDialog(HWND dialog, const std::function<bool(DialogState&, ControlChange&)>& change);
bool ReadControl(HWND window, const std::function<void(const ControlState&)>& read);
// Runs `read` on the dialog's own state under the lock (not a copy: `read` must not change
// the dialog).
bool ReadDialog(HWND dialog, const std::function<void(const DialogState&)>& read);

// The icon handle for an icon name ("resource:140", "shell:file"); the same name always
// gives the same handle, which lives as long as the process.
HICON IconNamed(const std::string& name);

// ---- Back end hooks (Backend.cpp) ----

void ReportChange(const ControlChange& change);
// Called at every pump of a thread's queue: a back end may post input (Ctrl+C).
void PollBackend();
// Called by a modal loop that has nothing to handle: the back end acts as the user. False
// when it did nothing, so the loop waits for messages instead.
bool BackendActs(HWND dialog);
void BackendDialogShown(HWND dialog);
void BackendDialogClosed(HWND dialog, INT_PTR result);
// The descriptor that becomes readable when a back end wants the pumps to poll it (a signal
// arrived); -1 when there is none.
int BackendWakeFd();

}  // namespace qv::ui::detail
