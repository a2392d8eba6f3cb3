// The window table of the dialog framework: dialogs and their controls, their state, and the
// Win32-style functions that read and change it. Every change is reported to the back end.
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>

#include "platform/DialogWindowHook.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Utf8.h"
#include "platform/ui/UiInternal.h"
#include "platform/ui/WindowApi.h"

using namespace qv::ui::detail;

namespace {

// A UI handle: this process's id in the high half, bit 31 set in the low half (message
// windows of platform/Window.h never set it), and a serial number.
constexpr std::uintptr_t kUiBit = 0x80000000u;

struct DialogRecord {
  DialogState state;
  WindowTarget* target = nullptr;
  std::shared_ptr<ThreadQueue> queue;
  HWND owner = nullptr;
};

struct Table {
  std::recursive_mutex lock;
  std::map<HWND, std::shared_ptr<DialogRecord>> dialogs;  // every dialog and control handle
  std::uint32_t serial = 0;
  HWND focus = nullptr;
};

Table& Windows() {
  static Table* table = new Table;  // never destroyed: windows may outlive main
  return *table;
}

HWND NewHandle(Table& table) {
  const auto pid = static_cast<std::uintptr_t>(getpid());
  return reinterpret_cast<HWND>((pid << 32) | kUiBit | ++table.serial);
}

// The record and the control index (-1: the dialog) of a handle; caller holds the lock.
std::shared_ptr<DialogRecord> Find(HWND window, int* control) {
  auto& table = Windows();
  const auto it = table.dialogs.find(window);
  if (it == table.dialogs.end()) return nullptr;
  *control = -1;
  auto& controls = it->second->state.controls;
  for (size_t i = 0; i < controls.size(); ++i) {
    if (controls[i].hwnd == window) *control = static_cast<int>(i);
  }
  return it->second;
}

ControlChange BaseChange(const DialogRecord& record, int controlId, ChangeKind kind) {
  ControlChange change;
  change.dialog = record.state.hwnd;
  change.templateId = record.state.templateId;
  change.controlId = controlId;
  change.kind = kind;
  return change;
}

bool SetText(HWND window, const char* text) {
  const std::string value = text != nullptr ? text : "";
  const bool isDialog = DialogOf(window) == window;
  if (isDialog) {
    return ModifyDialog(window, [&](DialogState& state, ControlChange& change) {
      if (state.caption == value) return false;
      state.caption = value;
      change.kind = ChangeKind::Caption;
      change.text = value;
      return true;
    });
  }
  return ModifyControl(window, [&](ControlState& state, ControlChange& change) {
    if (state.text == value) return false;
    state.text = value;
    change.kind = ChangeKind::Text;
    change.text = value;
    return true;
  });
}

}  // namespace

namespace qv::ui::detail {

namespace {
struct IconTable {
  std::mutex lock;
  std::map<std::string, std::unique_ptr<std::string>> names;
};
}  // namespace

HICON IconNamed(const std::string& name) {
  static IconTable* table = new IconTable;
  std::lock_guard<std::mutex> guard(table->lock);
  auto& slot = table->names[name];
  if (!slot) slot = std::make_unique<std::string>(name);
  return reinterpret_cast<HICON>(slot.get());
}

bool IsUiHandle(HWND window) {
  const auto value = reinterpret_cast<std::uintptr_t>(window);
  return (value >> 32) == static_cast<std::uintptr_t>(getpid()) && (value & kUiBit) != 0;
}

std::recursive_mutex& UiLock() { return Windows().lock; }

HWND CreateDialogWindow(const DialogTemplate& dialogTemplate, HWND owner, WindowTarget* target,
                        bool modal) {
  if (dialogTemplate.id == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto record = std::make_shared<DialogRecord>();
  record->target = target;
  record->queue = CurrentQueue();
  record->owner = owner;
  auto& table = Windows();
  std::lock_guard<std::recursive_mutex> guard(table.lock);
  DialogState& state = record->state;
  state.hwnd = NewHandle(table);
  state.templateId = dialogTemplate.id;
  state.caption = dialogTemplate.caption;
  state.width = dialogTemplate.width;
  state.height = dialogTemplate.height;
  state.modal = modal;
  for (const ControlTemplate& control : dialogTemplate.controls) {
    ControlState c;
    c.hwnd = NewHandle(table);
    c.id = control.id;
    c.kind = control.kind;
    c.style = control.style;
    c.text = control.text;
    c.enabled = (control.style & WS_DISABLED) == 0;
    c.visible = (control.style & WS_VISIBLE) != 0;
    c.isDefault = control.kind == ControlKind::Button && (control.style & BS_DEFPUSHBUTTON) != 0;
    if (control.kind == ControlKind::Icon && control.resource != 0)
      c.icon = "resource:" + std::to_string(control.resource);
    if (control.kind == ControlKind::Animation) c.animation = control.resource;
    state.controls.push_back(std::move(c));
    table.dialogs[state.controls.back().hwnd] = record;
  }
  table.dialogs[state.hwnd] = record;
  return state.hwnd;
}

bool DestroyUiWindow(HWND window) {
  std::shared_ptr<DialogRecord> record;
  {
    auto& table = Windows();
    std::lock_guard<std::recursive_mutex> guard(table.lock);
    int control = -1;
    record = Find(window, &control);
    if (!record || control >= 0) return false;
    for (const ControlState& c : record->state.controls) table.dialogs.erase(c.hwnd);
    table.dialogs.erase(record->state.hwnd);
    if (DialogOf(table.focus) == nullptr) table.focus = nullptr;
  }
  if (record->queue) RemoveTimersOf(*record->queue, window);
  return true;
}

WindowTarget* TargetOf(HWND window, std::shared_ptr<ThreadQueue>* queue) {
  std::lock_guard<std::recursive_mutex> guard(UiLock());
  int control = -1;
  const auto record = Find(window, &control);
  if (!record) return nullptr;
  if (queue != nullptr) *queue = record->queue;
  return record->target;
}

std::vector<HWND> AllDialogs() {
  std::lock_guard<std::recursive_mutex> guard(UiLock());
  std::vector<HWND> out;
  for (const auto& [handle, record] : Windows().dialogs) {
    if (record->state.hwnd == handle) out.push_back(handle);
  }
  return out;  // the map orders handles, and handles grow with creation
}

HWND DialogOf(HWND window) {
  if (window == nullptr) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(UiLock());
  int control = -1;
  const auto record = Find(window, &control);
  return record ? record->state.hwnd : nullptr;
}

bool ModifyControl(HWND window, const std::function<bool(ControlState&, ControlChange&)>& change) {
  ControlChange report;
  {
    std::lock_guard<std::recursive_mutex> guard(UiLock());
    int control = -1;
    const auto record = Find(window, &control);
    if (!record || control < 0) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    ControlState& state = record->state.controls[static_cast<size_t>(control)];
    report = BaseChange(*record, state.id, ChangeKind::Text);
    if (!change(state, report)) return true;
  }
  ReportChange(report);
  return true;
}

bool ModifyDialog(HWND dialog, const std::function<bool(DialogState&, ControlChange&)>& change) {
  ControlChange report;
  {
    std::lock_guard<std::recursive_mutex> guard(UiLock());
    int control = -1;
    const auto record = Find(dialog, &control);
    if (!record || control >= 0) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    report = BaseChange(*record, IDC_STATIC, ChangeKind::Caption);
    if (!change(record->state, report)) return true;
  }
  ReportChange(report);
  return true;
}

bool ReadControl(HWND window, const std::function<void(const ControlState&)>& read) {
  std::lock_guard<std::recursive_mutex> guard(UiLock());
  int control = -1;
  const auto record = Find(window, &control);
  if (!record || control < 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  read(record->state.controls[static_cast<size_t>(control)]);
  return true;
}

bool ReadDialog(HWND dialog, const std::function<void(const DialogState&)>& read) {
  std::lock_guard<std::recursive_mutex> guard(UiLock());
  int control = -1;
  const auto record = Find(dialog, &control);
  if (!record || control >= 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  // Read in place: a copy would copy every row of the dialog's lists, and GetDlgItem alone
  // reads the dialog each time, so a list of many rows made every call slower. The focus is
  // derived state, brought up to date under the lock before it is read.
  record->state.focus =
      Windows().focus != nullptr && DialogOf(Windows().focus) == dialog ? Windows().focus : nullptr;
  read(record->state);
  return true;
}

namespace {

// Answers PostMessageA, IsWindow and DestroyWindow (platform/Window.cpp) for this table's
// handles.
class DialogWindows final : public qv::detail::DialogWindowHook {
 public:
  DialogWindows() { qv::detail::InstallDialogWindowHook(this); }

  bool Owns(HWND window) override { return IsUiHandle(window); }
  BOOL Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
    return PostUiMessage(window, message, wParam, lParam);
  }
  BOOL Exists(HWND window) override { return DialogOf(window) != nullptr ? TRUE : FALSE; }
  // Only a dialog is destroyed, and its controls with it.
  BOOL Destroy(HWND window) override {
    if (DialogOf(window) != window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    SendMessageA(window, WM_DESTROY, 0, 0);
    return DestroyUiWindow(window) ? TRUE : FALSE;
  }
};

// Installed when the library loads; never destroyed, as windows may be used during exit.
[[maybe_unused]] DialogWindows* const g_dialogWindows = new DialogWindows;

}  // namespace

}  // namespace qv::ui::detail

const ControlState* DialogState::Control(int id) const {
  if (id == IDC_STATIC) return nullptr;
  for (const ControlState& control : controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

std::string DialogState::Texts() const {
  std::string out;
  for (const ControlState& control : controls) {
    if (!control.visible || control.text.empty()) continue;
    if (control.kind == ControlKind::Edit || control.kind == ControlKind::ListView) continue;
    out += control.text;
    out += '\n';
  }
  return out;
}

BOOL SetWindowTextA(HWND window, LPCSTR text) noexcept {
  try {
    return SetText(window, text) ? TRUE : FALSE;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

int GetWindowTextA(HWND window, LPSTR buffer, int size) noexcept {
  try {
    std::string text;
    if (DialogOf(window) == window) {
      if (!ReadDialog(window, [&](const DialogState& s) { text = s.caption; })) return 0;
    } else if (!ReadControl(window, [&](const ControlState& s) { text = s.text; })) {
      return 0;
    }
    if (buffer == nullptr || size <= 0) return 0;
    return static_cast<int>(CopyUtf8Cut(buffer, static_cast<size_t>(size), text));
  } catch (...) {
    return 0;
  }
}

int GetWindowTextLengthA(HWND window) noexcept {
  try {
    size_t length = 0;
    if (DialogOf(window) == window) {
      ReadDialog(window, [&](const DialogState& s) { length = s.caption.size(); });
    } else {
      ReadControl(window, [&](const ControlState& s) { length = s.text.size(); });
    }
    return static_cast<int>(length);
  } catch (...) {
    return 0;
  }
}

BOOL EnableWindow(HWND window, BOOL enable) noexcept {
  try {
    bool wasDisabled = false;
    ModifyControl(window, [&](ControlState& state, ControlChange& change) {
      wasDisabled = !state.enabled;
      if (state.enabled == (enable != FALSE)) return false;
      state.enabled = enable != FALSE;
      change.kind = ChangeKind::Enabled;
      change.value = state.enabled ? 1 : 0;
      return true;
    });
    return wasDisabled ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

BOOL IsWindowEnabled(HWND window) noexcept {
  bool enabled = false;
  ReadControl(window, [&](const ControlState& s) { enabled = s.enabled; });
  return enabled ? TRUE : FALSE;
}

BOOL ShowWindow(HWND window, int command) noexcept {
  try {
    const bool show = command != SW_HIDE;
    bool wasVisible = false;
    // Dialogs and controls both carry `visible`.
    const auto toggle = [&](auto& state, ControlChange& change) {
      wasVisible = state.visible;
      if (state.visible == show) return false;
      state.visible = show;
      change.kind = ChangeKind::Shown;
      change.value = show ? 1 : 0;
      return true;
    };
    if (DialogOf(window) == window) {
      ModifyDialog(window, toggle);
      if (show && !wasVisible) BackendDialogShown(window);
    } else {
      ModifyControl(window, toggle);
    }
    return wasVisible ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

BOOL IsWindowVisible(HWND window) noexcept {
  bool visible = false;
  if (DialogOf(window) == window) {
    ReadDialog(window, [&](const DialogState& s) { visible = s.visible; });
  } else {
    ReadControl(window, [&](const ControlState& s) { visible = s.visible; });
  }
  return visible ? TRUE : FALSE;
}

HWND GetDlgItem(HWND dialog, int id) noexcept {
  HWND found = nullptr;
  if (DialogOf(dialog) != dialog) return nullptr;
  try {
    std::lock_guard<std::recursive_mutex> guard(UiLock());
    ReadDialog(dialog, [&](const DialogState& s) {
      if (const ControlState* c = s.Control(id)) found = c->hwnd;
    });
  } catch (...) {
  }
  if (found == nullptr) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return found;
}

int GetDlgCtrlID(HWND control) noexcept {
  int id = 0;
  ReadControl(control, [&](const ControlState& s) { id = s.id; });
  return id;
}

HWND GetParent(HWND window) noexcept {
  const HWND dialog = DialogOf(window);
  if (dialog != window) return dialog;
  std::lock_guard<std::recursive_mutex> guard(UiLock());
  int control = -1;
  const auto record = Find(window, &control);
  return record ? record->owner : nullptr;
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) noexcept {
  const HWND control = GetDlgItem(dialog, id);
  return control != nullptr ? SetWindowTextA(control, text) : FALSE;
}

UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size) noexcept {
  const HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return 0;
  }
  return static_cast<UINT>(GetWindowTextA(control, buffer, size));
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) noexcept {
  const HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) return FALSE;
  try {
    return ModifyControl(control,
                         [&](ControlState& state, ControlChange& change) {
                           if (state.checked == (check == BST_CHECKED)) return false;
                           state.checked = check == BST_CHECKED;
                           change.kind = ChangeKind::Checked;
                           change.value = state.checked ? 1 : 0;
                           return true;
                         })
               ? TRUE
               : FALSE;
  } catch (...) {
    return FALSE;
  }
}

UINT IsDlgButtonChecked(HWND dialog, int id) noexcept {
  const HWND control = GetDlgItem(dialog, id);
  bool checked = false;
  if (control != nullptr) ReadControl(control, [&](const ControlState& s) { checked = s.checked; });
  return checked ? BST_CHECKED : BST_UNCHECKED;
}

HWND SetFocus(HWND window) noexcept {
  std::lock_guard<std::recursive_mutex> guard(UiLock());
  auto& table = Windows();
  const HWND previous = table.focus;
  if (window == nullptr || DialogOf(window) != nullptr) table.focus = window;
  return previous;
}

HWND GetFocus() noexcept {
  std::lock_guard<std::recursive_mutex> guard(UiLock());
  return Windows().focus;
}

HMENU GetSystemMenu(HWND window, BOOL) noexcept {
  return DialogOf(window) == window && window != nullptr ? reinterpret_cast<HMENU>(window)
                                                         : nullptr;
}

UINT EnableMenuItem(HMENU menu, UINT item, UINT flags) noexcept {
  if (item != SC_CLOSE || menu == nullptr) return static_cast<UINT>(-1);
  const auto dialog = reinterpret_cast<HWND>(menu);
  UINT previous = static_cast<UINT>(-1);
  try {
    ModifyDialog(dialog, [&](DialogState& state, ControlChange& change) {
      previous = state.closeEnabled ? MF_ENABLED : MF_GRAYED;
      const bool enable = (flags & (MF_GRAYED | MF_DISABLED)) == 0;
      if (state.closeEnabled == enable) return false;
      state.closeEnabled = enable;
      change.kind = ChangeKind::Enabled;
      change.value = enable ? 1 : 0;
      return true;
    });
  } catch (...) {
  }
  return previous;
}

HICON LoadIconA(HINSTANCE, LPCSTR resource) noexcept {
  try {
    const auto value = reinterpret_cast<std::uintptr_t>(resource);
    if (value == 0 || value > 0xffff) return nullptr;
    return IconNamed("resource:" + std::to_string(value));
  } catch (...) {
    return nullptr;
  }
}

HICON ExtractAssociatedIconA(HINSTANCE, LPSTR path, WORD* index) noexcept {
  try {
    if (path == nullptr) return nullptr;
    if (index != nullptr) *index = 0;
    const DWORD attributes = GetFileAttributesA(path);
    const bool folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return IconNamed(folder ? "shell:folder" : "shell:file");
  } catch (...) {
    return nullptr;
  }
}

HICON QvNamedIcon(const char* name) noexcept {
  try {
    return name != nullptr ? IconNamed(name) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

const char* QvIconName(HICON icon) noexcept {
  return icon != nullptr ? reinterpret_cast<const std::string*>(icon)->c_str() : "";
}
