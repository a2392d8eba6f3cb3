// Accelerator tables: a process-wide table of handles, so a destroyed handle fails.
#include "platform/ui/Accelerators.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "platform/LastError.h"
#include "platform/ui/WindowApi.h"

namespace {

struct AcceleratorTables {
  std::mutex lock;
  std::uintptr_t next = 1;
  std::map<HACCEL, std::vector<ACCEL>> tables;
};

AcceleratorTables& Tables() {
  static AcceleratorTables tables;
  return tables;
}

constexpr BYTE kModifiers = FSHIFT | FCONTROL | FALT;

}  // namespace

HACCEL CreateAcceleratorTableA(const ACCEL* entries, int count) noexcept {
  if (entries == nullptr || count <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  try {
    AcceleratorTables& all = Tables();
    const std::lock_guard guard(all.lock);
    const auto handle = reinterpret_cast<HACCEL>(all.next++);
    all.tables.emplace(handle, std::vector<ACCEL>(entries, entries + count));
    return handle;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL DestroyAcceleratorTable(HACCEL table) noexcept {
  AcceleratorTables& all = Tables();
  const std::lock_guard guard(all.lock);
  return all.tables.erase(table) != 0 ? TRUE : FALSE;
}

int TranslateAcceleratorA(HWND window, HACCEL table, MSG* msg) noexcept {
  if (msg == nullptr || msg->message != WM_KEYDOWN) return FALSE;
  const auto key = static_cast<WORD>(msg->wParam);
  const auto held = static_cast<BYTE>(msg->lParam & kModifiers);
  WORD command = 0;
  bool found = false;
  {
    AcceleratorTables& all = Tables();
    const std::lock_guard guard(all.lock);
    const auto entries = all.tables.find(table);
    if (entries == all.tables.end()) return FALSE;
    for (const ACCEL& entry : entries->second) {
      if (entry.key == key && (entry.fVirt & kModifiers) == held) {
        command = entry.cmd;
        found = true;
        break;
      }
    }
  }
  // The lock is not held while the window handles the command: its handler may look keys
  // up again.
  if (!found) return FALSE;
  SendMessageA(window, WM_COMMAND, MAKEWPARAM(command, 1), 0);
  return TRUE;
}
