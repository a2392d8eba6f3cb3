// Change notifications over per-user message windows (see the header).
#include "platform/shell/ChangeNotify.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/LastError.h"

namespace {

constexpr char kClass[] = "QvShellChangeNotify";
// The message that carries an event between processes.
constexpr UINT kChangeMessage = WM_APP + 0x3C1;

struct Registration {
  HWND endpoint = nullptr;
  std::thread relay;
};

std::mutex& TableLock() {
  static std::mutex lock;
  return lock;
}
std::map<ULONG, std::unique_ptr<Registration>>& Table() {
  static std::map<ULONG, std::unique_ptr<Registration>> table;
  return table;
}

bool ValidPlace(const char* place) {
  return place != nullptr && *place != '\0' && std::strlen(place) <= kMaxChangePlace;
}

}  // namespace

void SHChangeNotify(LONG event, UINT flags, const void* item1, const void*) noexcept {
  if ((flags & 0xFF) != SHCNF_PATHA) return;
  const char* place = static_cast<const char*>(item1);
  if (!ValidPlace(place)) return;
  for (HWND window : QvFindWindowsA(kClass, place))
    PostMessageA(window, kChangeMessage, 0, static_cast<LPARAM>(event));
}

ULONG QvChangeNotifyRegister(HWND window, UINT message, LONG events, LPCSTR place) noexcept {
  if (window == nullptr || !ValidPlace(place)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    auto registration = std::make_unique<Registration>();
    registration->endpoint = CreateMessageWindow(kClass, place);
    if (registration->endpoint == nullptr) return 0;
    const HWND endpoint = registration->endpoint;
    // Ends when the endpoint is destroyed (the receive then fails).
    registration->relay = std::thread([endpoint, window, message, events] {
      MSG received{};
      while (ReceiveWindowMessage(endpoint, &received, INFINITE)) {
        const auto event = static_cast<LONG>(received.lParam);
        if (received.message == kChangeMessage && (event & events) != 0)
          PostMessageA(window, message, 0, received.lParam);
      }
    });
    static ULONG nextId = 0;
    std::lock_guard guard(TableLock());
    const ULONG id = ++nextId;
    Table().emplace(id, std::move(registration));
    return id;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

BOOL SHChangeNotifyDeregister(ULONG id) noexcept {
  std::unique_ptr<Registration> registration;
  {
    std::lock_guard guard(TableLock());
    auto found = Table().find(id);
    if (found == Table().end()) return FALSE;
    registration = std::move(found->second);
    Table().erase(found);
  }
  DestroyWindow(registration->endpoint);
  if (registration->relay.joinable()) registration->relay.join();
  return TRUE;
}
