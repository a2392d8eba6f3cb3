#include "platform/ole/DragDrop.h"

#include <atomic>
#include <map>
#include <mutex>
#include <utility>

namespace {

struct DropWindows {
  std::mutex lock;
  std::map<HWND, ComPtr<IDropTarget>> targets;
  std::vector<QvDragStep> script;
};

DropWindows& Windows() {
  static DropWindows windows;
  return windows;
}

std::atomic<bool> dragRunning{false};

ComPtr<IDropTarget> TargetOf(HWND window) {
  if (window == nullptr) return nullptr;
  DropWindows& windows = Windows();
  std::lock_guard guard(windows.lock);
  auto found = windows.targets.find(window);
  return found == windows.targets.end() ? nullptr : found->second;
}

// One effect the source offered out of what the target reported: a copy when the target left
// the choice open, so that nothing is deleted on a guess.
DWORD OneOfferedEffect(DWORD reported, DWORD allowed) {
  const DWORD offered = reported & allowed;
  if (offered & DROPEFFECT_COPY) return DROPEFFECT_COPY;
  if (offered & DROPEFFECT_MOVE) return DROPEFFECT_MOVE;
  if (offered & DROPEFFECT_LINK) return DROPEFFECT_LINK;
  return DROPEFFECT_NONE;
}

// The pointer's side of the loop: which window it is over, the target entered there (none
// when the window has no target or refused the enter), and the effect shown last.
class DragTracker {
 public:
  DragTracker(IDataObject* data, DWORD allowed) : data_(data), allowed_(allowed) {}
  ~DragTracker() { Leave(); }
  DragTracker(const DragTracker&) = delete;
  DragTracker& operator=(const DragTracker&) = delete;

  // Moves the pointer to the step's window and point; returns the effect the target would
  // perform there.
  DWORD MoveTo(const QvDragStep& step) {
    if (!entered_ || step.window != window_) {
      Leave();
      window_ = step.window;
      target_ = TargetOf(step.window);
      if (target_) {
        DWORD effect = allowed_;
        if (SUCCEEDED(target_->DragEnter(data_, step.keyState, step.point, &effect))) {
          entered_ = true;
          effect_ = effect & (allowed_ | DROPEFFECT_SCROLL);
        } else {
          target_.Reset();
          effect_ = DROPEFFECT_NONE;
        }
      } else {
        effect_ = DROPEFFECT_NONE;
      }
      return effect_;
    }
    DWORD effect = allowed_;
    const HRESULT hr = target_->DragOver(step.keyState, step.point, &effect);
    effect_ = FAILED(hr) ? DROPEFFECT_NONE : effect & (allowed_ | DROPEFFECT_SCROLL);
    return effect_;
  }

  // Drops on the window under the step: only on a target that was entered and showed an
  // effect; otherwise the target is left. The effect performed.
  DWORD DropAt(const QvDragStep& step) {
    if (!entered_ || step.window != window_) MoveTo(step);
    if (!entered_) return DROPEFFECT_NONE;
    if ((effect_ & ~DROPEFFECT_SCROLL) == DROPEFFECT_NONE) {
      Leave();
      return DROPEFFECT_NONE;
    }
    entered_ = false;
    ComPtr<IDropTarget> target = std::move(target_);
    DWORD effect = allowed_;
    const HRESULT hr = target->Drop(data_, step.keyState, step.point, &effect);
    return FAILED(hr) ? DROPEFFECT_NONE : OneOfferedEffect(effect, allowed_);
  }

  void Leave() {
    if (entered_) target_->DragLeave();
    entered_ = false;
    target_.Reset();
    window_ = nullptr;
    effect_ = DROPEFFECT_NONE;
  }

 private:
  IDataObject* data_;
  DWORD allowed_;
  HWND window_ = nullptr;
  ComPtr<IDropTarget> target_;
  bool entered_ = false;
  DWORD effect_ = DROPEFFECT_NONE;
};

// The steps to run: the script, then the hand letting go of the buttons, then Esc for a
// source that would not stop on its own.
std::vector<QvDragStep> CompletedScript(std::vector<QvDragStep> steps) {
  QvDragStep last;
  if (steps.empty()) {
    last.keyState = 0;
    last.escape = true;
    steps.push_back(last);
    return steps;
  }
  last = steps.back();
  last.escape = false;
  last.keyState &= ~kMouseButtons;
  steps.push_back(last);
  last.escape = true;
  steps.push_back(last);
  return steps;
}

}  // namespace

HRESULT RegisterDragDrop(HWND window, IDropTarget* target) noexcept {
  if (window == nullptr) return DRAGDROP_E_INVALIDHWND;
  if (target == nullptr) return E_INVALIDARG;
  try {
    DropWindows& windows = Windows();
    std::lock_guard guard(windows.lock);
    if (!windows.targets.try_emplace(window, ComPtr<IDropTarget>(target)).second) {
      return DRAGDROP_E_ALREADYREGISTERED;
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT RevokeDragDrop(HWND window) noexcept {
  if (window == nullptr) return DRAGDROP_E_INVALIDHWND;
  ComPtr<IDropTarget> released;
  DropWindows& windows = Windows();
  {
    std::lock_guard guard(windows.lock);
    auto found = windows.targets.find(window);
    if (found == windows.targets.end()) return DRAGDROP_E_NOTREGISTERED;
    released = std::move(found->second);
    windows.targets.erase(found);
  }
  // The target goes after the lock is given up: its release may revoke other windows.
  released.Reset();
  return S_OK;
}

DWORD QvDropFromOutside(HWND window, IDataObject* data, DWORD allowedEffects, DWORD keyState,
                        POINTL point) noexcept {
  if (window == nullptr || data == nullptr) return DROPEFFECT_NONE;
  try {
    ComPtr<IDataObject> held(data);
    DragTracker tracker(data, allowedEffects);
    QvDragStep step{(keyState & ~kMouseButtons) | MK_LBUTTON, window, point, false};
    // Entered, then moved over: a target looks at the place under the pointer while dragged
    // over it.
    (void)tracker.MoveTo(step);
    if ((tracker.MoveTo(step) & ~DROPEFFECT_SCROLL) == DROPEFFECT_NONE) return DROPEFFECT_NONE;
    step.keyState &= ~kMouseButtons;
    return tracker.DropAt(step);
  } catch (...) {
    return DROPEFFECT_NONE;
  }
}

void QvSetDragScript(std::vector<QvDragStep> steps) {
  DropWindows& windows = Windows();
  std::lock_guard guard(windows.lock);
  windows.script = std::move(steps);
}

HRESULT DoDragDrop(IDataObject* data, IDropSource* source, DWORD allowedEffects,
                   DWORD* effect) noexcept {
  if (effect != nullptr) *effect = DROPEFFECT_NONE;
  if (data == nullptr || source == nullptr || effect == nullptr) return E_INVALIDARG;
  if ((allowedEffects & (DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK)) == 0) {
    return E_INVALIDARG;
  }
  if (dragRunning.exchange(true)) return E_UNEXPECTED;
  struct RunningFlag {
    ~RunningFlag() { dragRunning = false; }
  } running;
  try {
    std::vector<QvDragStep> script;
    {
      DropWindows& windows = Windows();
      std::lock_guard guard(windows.lock);
      script = std::exchange(windows.script, {});
    }
    ComPtr<IDataObject> held(data);
    ComPtr<IDropSource> heldSource(source);
    DragTracker tracker(data, allowedEffects);
    for (const QvDragStep& step : CompletedScript(std::move(script))) {
      const HRESULT verdict = source->QueryContinueDrag(step.escape ? TRUE : FALSE, step.keyState);
      if (verdict == DRAGDROP_S_DROP) {
        *effect = tracker.DropAt(step);
        return DRAGDROP_S_DROP;
      }
      if (verdict != S_OK) {
        tracker.Leave();
        return FAILED(verdict) ? verdict : DRAGDROP_S_CANCEL;
      }
      (void)source->GiveFeedback(tracker.MoveTo(step));
    }
    tracker.Leave();
    return DRAGDROP_S_CANCEL;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
