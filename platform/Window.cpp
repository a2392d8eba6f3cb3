// Message windows over unix datagram sockets in the runtime folder: creation and lookup by
// class and title, posting, receiving and destruction.
#include "platform/Window.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/DialogWindowHook.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/MachineRoot.h"
#include "platform/Mailslot.h"

static_assert(sizeof(void*) == 8, "a window handle carries a process id and a serial number");

using namespace qv::detail;

namespace {

constexpr size_t kMaxClassName = 256;
constexpr size_t kMaxTitle = 1024;
constexpr int kPostTimeoutMs = 1000;

// A posted message on the wire: magic, message, wParam, lParam, time, sender pid.
constexpr std::uint32_t kWireMagic = 0x4D575651;  // "QVWM"
constexpr size_t kWireSize = 32;

using Clock = std::chrono::steady_clock;

HWND MakeHwnd(pid_t pid, std::uint32_t serial) {
  return reinterpret_cast<HWND>((static_cast<std::uintptr_t>(pid) << 32) | serial);
}

bool DecodeHwnd(HWND window, pid_t* pid, std::uint32_t* serial) {
  const auto value = reinterpret_cast<std::uintptr_t>(window);
  const auto high = value >> 32;
  *serial = static_cast<std::uint32_t>(value & 0xffffffffu);
  if (high == 0 || high > 0x7fffffff || *serial == 0) return false;
  *pid = static_cast<pid_t>(high);
  return true;
}

std::string EndpointFile(pid_t pid, std::uint32_t serial) {
  return "wnd-" + std::to_string(pid) + "-" + std::to_string(serial);
}

// Parses "wnd-<pid>-<serial>.info".
bool ParseInfoFileName(std::string_view name, pid_t* pid, std::uint32_t* serial) {
  constexpr std::string_view kPrefix = "wnd-";
  constexpr std::string_view kSuffix = ".info";
  if (name.size() <= kPrefix.size() + kSuffix.size() || name.substr(0, kPrefix.size()) != kPrefix ||
      name.substr(name.size() - kSuffix.size()) != kSuffix)
    return false;
  name = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  const size_t dash = name.find('-');
  if (dash == std::string_view::npos) return false;
  auto number = [](std::string_view digits, std::uint64_t limit, std::uint64_t* out) {
    if (digits.empty() || digits.size() > 10) return false;
    std::uint64_t v = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v == 0 || v > limit) return false;
    *out = v;
    return true;
  };
  std::uint64_t p = 0;
  std::uint64_t s = 0;
  if (!number(name.substr(0, dash), 0x7fffffff, &p) ||
      !number(name.substr(dash + 1), 0xffffffff, &s))
    return false;
  *pid = static_cast<pid_t>(p);
  *serial = static_cast<std::uint32_t>(s);
  return true;
}

// True when a socket is bound at the window's endpoint, i.e. its owner is alive and has not
// destroyed it.
bool EndpointAlive(const std::string& dir, pid_t pid, std::uint32_t serial) {
  UnixAddress address;
  if (!MakeUnixAddress(dir, EndpointFile(pid, serial), &address)) return false;
  UniqueFd probe(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe.Valid()) return false;
  return ConnectUnix(probe.Get(), address) == 0;
}

class WindowEndpoint {
 public:
  WindowEndpoint(std::string socketPath, std::string infoPath, UniqueFd socket)
      : socketPath_(std::move(socketPath)),
        infoPath_(std::move(infoPath)),
        inbox_(std::move(socket), kWireSize) {}
  ~WindowEndpoint() { Close(); }

  bool Start() { return inbox_.Start(); }
  DatagramInbox& Inbox() { return inbox_; }

  void Close() {
    inbox_.Close();
    if (!closed_.exchange(true)) {
      unlink(infoPath_.c_str());
      unlink(socketPath_.c_str());
    }
  }

 private:
  std::string socketPath_;
  std::string infoPath_;
  DatagramInbox inbox_;
  std::atomic<bool> closed_{false};
};

struct WindowTable {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<WindowEndpoint>> windows;
  std::atomic<std::uint32_t> serial{0};
};

WindowTable& Windows() {
  static WindowTable* table = new WindowTable;
  return *table;
}

std::shared_ptr<WindowEndpoint> OwnWindow(HWND window) {
  pid_t pid = 0;
  std::uint32_t serial = 0;
  if (!DecodeHwnd(window, &pid, &serial) || pid != getpid()) return nullptr;
  WindowTable& table = Windows();
  std::lock_guard<std::mutex> guard(table.lock);
  const auto it = table.windows.find(reinterpret_cast<std::uintptr_t>(window));
  return it == table.windows.end() ? nullptr : it->second;
}

bool WriteInfoFile(const std::string& dir, const std::string& file, std::string_view className,
                   std::string_view title) {
  std::string content;
  content.append(className).push_back('\0');
  content.append(title).push_back('\0');
  const std::string temporary = file + ".tmp";
  UniqueFd out = OpenRuntimeFile(dir, temporary, O_WRONLY | O_CREAT | O_TRUNC);
  if (!out.Valid()) return false;
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(out.Get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  out.Reset();
  // Readers see either no info file or a complete one.
  if (done != content.size() ||
      rename((dir + "/" + temporary).c_str(), (dir + "/" + file + ".info").c_str()) != 0) {
    unlink((dir + "/" + temporary).c_str());
    return false;
  }
  return true;
}

// Reads an info file into class and title; false when it is not a well-formed one.
bool ReadInfoFile(const std::string& dir, const std::string& file, std::string* className,
                  std::string* title) {
  UniqueFd in = OpenRuntimeFile(dir, file, O_RDONLY);
  if (!in.Valid()) return false;
  char buffer[kMaxClassName + kMaxTitle + 3];
  size_t done = 0;
  while (done < sizeof buffer) {
    const ssize_t n = read(in.Get(), buffer + done, sizeof buffer - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const std::string_view content(buffer, done);
  const size_t first = content.find('\0');
  if (first == std::string_view::npos) return false;
  const size_t second = content.find('\0', first + 1);
  if (second == std::string_view::npos || second + 1 != content.size()) return false;
  *className = std::string(content.substr(0, first));
  *title = std::string(content.substr(first + 1, second - first - 1));
  return true;
}

std::atomic<DialogWindowHook*> g_dialogWindowHook{nullptr};

// The dialog framework's hook when `window` is one of its handles, else null.
DialogWindowHook* DialogWindows(HWND window) {
  DialogWindowHook* hook = g_dialogWindowHook.load(std::memory_order_acquire);
  return hook != nullptr && hook->Owns(window) ? hook : nullptr;
}

}  // namespace

void qv::detail::InstallDialogWindowHook(DialogWindowHook* hook) noexcept {
  g_dialogWindowHook.store(hook, std::memory_order_release);
}

HWND CreateMessageWindow(LPCSTR className, LPCSTR title) noexcept {
  try {
    if (title == nullptr) title = "";
    if (className == nullptr || *className == '\0' || std::strlen(className) > kMaxClassName ||
        std::strlen(title) > kMaxTitle) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const std::string dir = QvRuntimeDir();
    if (dir.empty()) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return nullptr;
    }
    WindowTable& table = Windows();
    const pid_t pid = getpid();
    const std::uint32_t serial = ++table.serial;
    if (serial == 0) {  // wrapped after four billion windows
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    const std::string file = EndpointFile(pid, serial);
    UnixAddress address;
    if (!MakeUnixAddress(dir, file, &address)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return nullptr;
    }
    // A file of this name can only be left by an ended process that had our process id.
    UniqueFd socket = BindDatagramSocket(address);
    if (!socket.Valid()) {
      SetLastError(Win32ErrorFromErrno(errno));
      return nullptr;
    }
    auto endpoint = std::make_shared<WindowEndpoint>(address.path, dir + "/" + file + ".info",
                                                     std::move(socket));
    if (!endpoint->Start()) return nullptr;
    if (!WriteInfoFile(dir, file, className, title)) {
      SetLastError(ERROR_WRITE_FAULT);
      return nullptr;
    }
    const HWND window = MakeHwnd(pid, serial);
    {
      std::lock_guard<std::mutex> guard(table.lock);
      table.windows.emplace(reinterpret_cast<std::uintptr_t>(window), std::move(endpoint));
    }
    SetLastError(ERROR_SUCCESS);
    return window;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL DestroyWindow(HWND window) noexcept {
  try {
    if (DialogWindowHook* dialogs = DialogWindows(window)) return dialogs->Destroy(window);
    std::shared_ptr<WindowEndpoint> endpoint;
    pid_t pid = 0;
    std::uint32_t serial = 0;
    if (DecodeHwnd(window, &pid, &serial) && pid == getpid()) {
      WindowTable& table = Windows();
      std::lock_guard<std::mutex> guard(table.lock);
      const auto it = table.windows.find(reinterpret_cast<std::uintptr_t>(window));
      if (it != table.windows.end()) {
        endpoint = std::move(it->second);
        table.windows.erase(it);
      }
    }
    if (endpoint) {
      endpoint->Close();
      return TRUE;
    }
    SetLastError(IsWindow(window) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

namespace {

// Calls `found` for each live window whose class and title match (null matches any) until it
// returns false. Endpoints left behind by ended owners are tidied on the way.
template <class Found>
bool ForEachMatchingWindow(LPCSTR className, LPCSTR windowName, Found found) {
  const std::string dir = QvRuntimeDir();
  if (dir.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
  if (!listing) {
    SetLastError(Win32ErrorFromErrno(errno));
    return false;
  }
  while (const dirent* entry = readdir(listing.get())) {
    pid_t pid = 0;
    std::uint32_t serial = 0;
    if (!ParseInfoFileName(entry->d_name, &pid, &serial)) continue;
    std::string foundClass;
    std::string foundTitle;
    if (!ReadInfoFile(dir, entry->d_name, &foundClass, &foundTitle)) continue;
    if (className != nullptr && !EqualsIgnoringAsciiCase(foundClass, className)) continue;
    if (windowName != nullptr && !EqualsIgnoringAsciiCase(foundTitle, windowName)) continue;
    if (EndpointAlive(dir, pid, serial)) {
      if (!found(MakeHwnd(pid, serial))) return true;
      continue;
    }
    // Left behind by an owner that ended without destroying it; tidy up once the owner
    // is certainly gone.
    if (kill(pid, 0) != 0 && errno == ESRCH) {
      unlink((dir + "/" + entry->d_name).c_str());
      unlink((dir + "/" + EndpointFile(pid, serial)).c_str());
    }
  }
  return true;
}

}  // namespace

HWND FindWindowA(LPCSTR className, LPCSTR windowName) noexcept {
  try {
    HWND result = nullptr;
    if (!ForEachMatchingWindow(className, windowName, [&](HWND window) {
          result = window;
          return false;
        }))
      return nullptr;
    if (result == nullptr) SetLastError(ERROR_FILE_NOT_FOUND);
    return result;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

std::vector<HWND> QvFindWindowsA(LPCSTR className, LPCSTR windowName) noexcept {
  std::vector<HWND> result;
  try {
    ForEachMatchingWindow(className, windowName, [&](HWND window) {
      result.push_back(window);
      return true;
    });
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return result;
}

BOOL IsWindow(HWND window) noexcept {
  try {
    if (DialogWindowHook* dialogs = DialogWindows(window)) return dialogs->Exists(window);
    pid_t pid = 0;
    std::uint32_t serial = 0;
    if (!DecodeHwnd(window, &pid, &serial)) return FALSE;
    const std::string dir = QvRuntimeDir();
    return !dir.empty() && EndpointAlive(dir, pid, serial) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  try {
    if (DialogWindowHook* dialogs = DialogWindows(window))
      return dialogs->Post(window, message, wParam, lParam);
    pid_t pid = 0;
    std::uint32_t serial = 0;
    if (!DecodeHwnd(window, &pid, &serial)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    const std::string dir = QvRuntimeDir();
    if (dir.empty()) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return FALSE;
    }
    UnixAddress address;
    if (!MakeUnixAddress(dir, EndpointFile(pid, serial), &address)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket.Valid()) {
      SetLastError(Win32ErrorFromErrno(errno));
      return FALSE;
    }
    timeval timeout{};
    timeout.tv_sec = kPostTimeoutMs / 1000;
    timeout.tv_usec = (kPostTimeoutMs % 1000) * 1000;
    setsockopt(socket.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

    unsigned char wire[kWireSize] = {};
    const std::uint32_t magic = kWireMagic;
    const auto w = static_cast<std::uint64_t>(wParam);
    const auto l = static_cast<std::int64_t>(lParam);
    const DWORD time = GetTickCount();
    const auto sender = static_cast<std::uint32_t>(getpid());
    std::memcpy(wire + 0, &magic, 4);
    std::memcpy(wire + 4, &message, 4);
    std::memcpy(wire + 8, &w, 8);
    std::memcpy(wire + 16, &l, 8);
    std::memcpy(wire + 24, &time, 4);
    std::memcpy(wire + 28, &sender, 4);
    if (SendToUnix(socket.Get(), address, wire, sizeof wire, MSG_NOSIGNAL) >= 0) return TRUE;
    if (errno == ECONNREFUSED || errno == ENOENT || errno == ENOTDIR)
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    else if (errno == EAGAIN || errno == EWOULDBLOCK)
      SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    else
      SetLastError(Win32ErrorFromErrno(errno));
    return FALSE;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

bool ReceiveWindowMessage(HWND window, MSG* out, DWORD milliseconds) noexcept {
  try {
    if (out == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    const auto endpoint = OwnWindow(window);
    if (!endpoint) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      DWORD wait = milliseconds;
      if (milliseconds != INFINITE) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        wait = left > 0 ? static_cast<DWORD>(left) : 0;
      }
      unsigned char wire[kWireSize];
      size_t size = 0;
      switch (endpoint->Inbox().Pop(wire, sizeof wire, &size, wait)) {
        case DatagramInbox::PopResult::kMessage:
          break;
        case DatagramInbox::PopResult::kTimeout:
          SetLastError(ERROR_TIMEOUT);
          return false;
        case DatagramInbox::PopResult::kStopped:  // nothing can arrive any more
          SetLastError(ERROR_READ_FAULT);
          return false;
        case DatagramInbox::PopResult::kTooSmall:  // longer datagrams never reach the queue
        case DatagramInbox::PopResult::kClosed:
          SetLastError(ERROR_INVALID_WINDOW_HANDLE);
          return false;
      }
      std::uint32_t magic = 0;
      if (size == kWireSize) std::memcpy(&magic, wire, 4);
      if (magic != kWireMagic) continue;  // not a posted message: ignore it
      std::uint64_t w = 0;
      std::int64_t l = 0;
      MSG message{};
      message.hwnd = window;
      std::memcpy(&message.message, wire + 4, 4);
      std::memcpy(&w, wire + 8, 8);
      std::memcpy(&l, wire + 16, 8);
      std::memcpy(&message.time, wire + 24, 4);
      message.wParam = static_cast<WPARAM>(w);
      message.lParam = static_cast<LPARAM>(l);
      *out = message;
      return true;
    }
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}
