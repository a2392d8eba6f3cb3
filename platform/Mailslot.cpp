// Mailslot servers and clients over unix datagram sockets in the runtime folder, and the
// datagram inbox that the servers (and the message windows) receive through.
#include "platform/Mailslot.h"

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/LastError.h"
#include "platform/MachineRoot.h"

namespace qv::detail {
namespace {

constexpr char kMailslotPrefix[] = "\\\\.\\mailslot\\";
constexpr size_t kMailslotPrefixLength = sizeof(kMailslotPrefix) - 1;
// The encoded name must leave room in a socket address even when the runtime folder is
// reached through /proc/self/fd.
constexpr size_t kMaxEncodedName = 72;
// A writer waits this long for room in a server that stopped taking messages.
constexpr int kSendTimeoutMs = 2000;

constexpr size_t kMaxQueuedMessages = 4096;
constexpr size_t kMaxQueuedBytes = 8u << 20;

constexpr std::string_view kLockSuffix = ".lock";

using Clock = std::chrono::steady_clock;

// The socket file name of a mailslot, or false with the last error set.
bool MailslotFileName(const char* name, std::string* file) {
  if (name == nullptr || !IsMailslotName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  const std::string_view rest(name + kMailslotPrefixLength);
  if (rest.empty() || rest.find('/') != std::string_view::npos || rest.front() == '\\' ||
      rest.back() == '\\') {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  std::string encoded;
  if (!EncodeObjectName(rest, true, rest.size() * 3, &encoded)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  // The lock file is the socket's name plus ".lock", so a name ending in ".lock" would take
  // another mailslot's lock file for its socket (and the other way round). Its dot is
  // written escaped instead; no other name encodes to "%2E", so names stay distinct.
  if (encoded.size() >= kLockSuffix.size() &&
      encoded.compare(encoded.size() - kLockSuffix.size(), kLockSuffix.size(), kLockSuffix) == 0)
    encoded.replace(encoded.size() - kLockSuffix.size(), 1, "%2E");
  if (encoded.size() > kMaxEncodedName) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  *file = "mailslot-" + encoded;
  return true;
}

bool RuntimeDir(std::string* dir) {
  *dir = QvRuntimeDir();
  if (dir->empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

class MailslotServer final : public KernelObject {
 public:
  MailslotServer(UniqueFd lock, std::string socketPath, UniqueFd socket, DWORD maxSize,
                 DWORD timeout)
      : lock_(std::move(lock)),
        socketPath_(std::move(socketPath)),
        inbox_(std::move(socket), maxSize),
        maxSize_(maxSize),
        timeout_(timeout) {}

  ~MailslotServer() override {
    inbox_.Close();
    // The lock (released after this body) guarantees nobody replaced the endpoint. A forked
    // child that closes the handle it inherited leaves the parent's endpoint alone.
    if (!inbox_.Inherited()) unlink(socketPath_.c_str());
  }

  bool Start() { return inbox_.Start(); }

  void Closing() override { inbox_.Close(); }

  bool Read(void* buffer, DWORD size, DWORD* done) override {
    size_t length = 0;
    switch (inbox_.Pop(buffer, size, &length, timeout_)) {
      case DatagramInbox::PopResult::kMessage:
        *done = static_cast<DWORD>(length);
        return true;
      case DatagramInbox::PopResult::kTooSmall:
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
      case DatagramInbox::PopResult::kTimeout:
        SetLastError(ERROR_SEM_TIMEOUT);
        return false;
      case DatagramInbox::PopResult::kStopped:
        SetLastError(ERROR_READ_FAULT);
        return false;
      case DatagramInbox::PopResult::kClosed:
        break;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }

  bool Write(const void*, DWORD, DWORD*) override {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }

  bool Info(DWORD* maxSize, DWORD* nextSize, DWORD* count, DWORD* timeout) {
    size_t next = 0;
    size_t queued = 0;
    bool stopped = false;
    const bool any = inbox_.Peek(&next, &queued, &stopped);
    if (stopped) {
      SetLastError(ERROR_READ_FAULT);
      return false;
    }
    if (maxSize != nullptr) *maxSize = maxSize_;
    if (nextSize != nullptr) *nextSize = any ? static_cast<DWORD>(next) : MAILSLOT_NO_MESSAGE;
    if (count != nullptr) *count = static_cast<DWORD>(queued);
    if (timeout != nullptr) *timeout = timeout_;
    return true;
  }

  void StopReaderForTesting() { inbox_.StopReaderForTesting(); }

 private:
  UniqueFd lock_;  // declared first: released last
  std::string socketPath_;
  DatagramInbox inbox_;
  const DWORD maxSize_;
  const DWORD timeout_;
};

class MailslotClient final : public KernelObject {
 public:
  explicit MailslotClient(UniqueFd socket) : socket_(std::move(socket)) {}

  bool Read(void*, DWORD, DWORD*) override {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }

  bool Write(const void* buffer, DWORD size, DWORD* done) override {
    for (;;) {
      const ssize_t sent = send(socket_.Get(), buffer, size, MSG_NOSIGNAL);
      if (sent >= 0) {
        *done = static_cast<DWORD>(sent);
        return true;
      }
      switch (errno) {
        case EINTR:
          continue;
        case ECONNREFUSED:
        case ENOTCONN:
          SetLastError(ERROR_FILE_NOT_FOUND);  // the server has gone
          return false;
        case EMSGSIZE:
          SetLastError(ERROR_INVALID_PARAMETER);
          return false;
        case EAGAIN:
          SetLastError(ERROR_SEM_TIMEOUT);
          return false;
        default:
          SetLastError(ERROR_WRITE_FAULT);
          return false;
      }
    }
  }

 private:
  UniqueFd socket_;
};

}  // namespace

DatagramInbox::DatagramInbox(UniqueFd socket, DWORD maxSize)
    : socket_(std::move(socket)), maxSize_(maxSize) {}

DatagramInbox::~DatagramInbox() {
  Close();
  if (!reader_.joinable()) return;
  // The reader runs only in the process that started it; a forked child would wait for it
  // forever.
  if (Inherited())
    reader_.detach();
  else
    reader_.join();
}

bool DatagramInbox::Start() noexcept {
  wake_.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_.Valid()) {
    SetLastError(Win32ErrorFromErrno(errno));
    return false;
  }
  try {
    reader_ = std::thread([this] { Run(); });
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

void DatagramInbox::Close() noexcept {
  // Waking the shared eventfd from a forked child would stop the parent's reader.
  if (Inherited()) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (closed_) return;
    closed_ = true;
  }
  changed_.notify_all();
  if (wake_.Valid()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_.Get(), &one, sizeof one);
  }
}

bool DatagramInbox::QueueFullLocked() const {
  return queue_.size() >= kMaxQueuedMessages || queuedBytes_ >= kMaxQueuedBytes;
}

bool DatagramInbox::DrainLocked() {
  const int fd = socket_.Get();
  while (!QueueFullLocked()) {
    char probe = 0;
    // With MSG_TRUNC a unix datagram socket reports the whole length of the next message.
    const ssize_t length = recv(fd, &probe, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (length < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    const auto size = static_cast<size_t>(length);
    if (maxSize_ != 0 && size > maxSize_) {
      // Receiving into one byte consumes and discards the whole datagram.
      if (recv(fd, &probe, 1, MSG_DONTWAIT) < 0 && errno != EINTR) return false;
      continue;
    }
    std::vector<char> message(size);
    const ssize_t got = recv(fd, size == 0 ? &probe : message.data(), size, MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    // Only this function reads the socket, always under the lock, so the peeked length holds.
    if (static_cast<size_t>(got) != size) continue;
    queuedBytes_ += size;
    queue_.push_back(std::move(message));
  }
  return true;
}

void DatagramInbox::Run() {
  try {
    ReadLoop();
  } catch (...) {
    // Out of memory: the reader ends like after a socket failure.
  }
  // Unless the inbox was closed, nothing will wake a waiting Pop again: tell it so, and let
  // later pops fail once the queue is empty instead of waiting forever.
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!closed_) readerStopped_ = true;
  }
  changed_.notify_all();
}

void DatagramInbox::ReadLoop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return closed_ || !QueueFullLocked(); });
      if (closed_) return;
    }
    pollfd fds[2] = {{socket_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) return;
    if ((fds[0].revents & POLLIN) != 0) {
      bool ok;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        ok = DrainLocked();
      }
      changed_.notify_all();
      if (!ok) return;
    }
  }
}

void DatagramInbox::StopReaderForTesting() noexcept {
  if (Inherited() || !wake_.Valid()) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wake_.Get(), &one, sizeof one);
}

bool DatagramInbox::Peek(size_t* nextSize, size_t* count, bool* readerStopped) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!closed_) DrainLocked();
  *count = queue_.size();
  if (readerStopped != nullptr) *readerStopped = queue_.empty() && readerStopped_;
  if (queue_.empty()) return false;
  *nextSize = queue_.front().size();
  return true;
}

DatagramInbox::PopResult DatagramInbox::Pop(void* buffer, size_t capacity, size_t* size,
                                            DWORD milliseconds) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (closed_) return PopResult::kClosed;
    DrainLocked();
    if (!queue_.empty()) {
      std::vector<char>& message = queue_.front();
      *size = message.size();
      if (message.size() > capacity) return PopResult::kTooSmall;
      if (!message.empty()) std::memcpy(buffer, message.data(), message.size());
      queuedBytes_ -= message.size();
      queue_.pop_front();
      lock.unlock();
      changed_.notify_all();  // the reader may be waiting for room
      return PopResult::kMessage;
    }
    if (readerStopped_) return PopResult::kStopped;
    if (milliseconds == 0) return PopResult::kTimeout;
    if (milliseconds == INFINITE) {
      changed_.wait(lock);
    } else if (Clock::now() >= deadline) {
      return PopResult::kTimeout;
    } else {
      changed_.wait_until(lock, deadline);
    }
  }
}

bool IsMailslotName(const char* name) noexcept {
  return strncasecmp(name, kMailslotPrefix, kMailslotPrefixLength) == 0;
}

HANDLE OpenMailslotClient(const char* name, DWORD desiredAccess,
                          DWORD creationDisposition) noexcept {
  try {
    if (creationDisposition != OPEN_EXISTING) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    if ((desiredAccess & GENERIC_WRITE) == 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    std::string file;
    std::string dir;
    if (!MailslotFileName(name, &file) || !RuntimeDir(&dir)) return INVALID_HANDLE_VALUE;
    UnixAddress address;
    if (!MakeUnixAddress(dir, file, &address)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return INVALID_HANDLE_VALUE;
    }
    UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket.Valid()) {
      SetLastError(Win32ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
    if (ConnectUnix(socket.Get(), address) != 0) {
      // No socket file, or one left by a server that ended: nobody reads this mailslot.
      SetLastError(errno == ECONNREFUSED || errno == ENOENT ? ERROR_FILE_NOT_FOUND
                                                            : Win32ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
    timeval timeout{};
    timeout.tv_sec = kSendTimeoutMs / 1000;
    timeout.tv_usec = (kSendTimeoutMs % 1000) * 1000;
    setsockopt(socket.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    HANDLE handle = InsertHandle(std::make_shared<MailslotClient>(std::move(socket)));
    if (handle == nullptr) return INVALID_HANDLE_VALUE;
    SetLastError(ERROR_SUCCESS);
    return handle;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
}

bool StopMailslotReaderForTesting(HANDLE server) noexcept {
  const auto object = LookupHandleAs<MailslotServer>(server);
  if (object) object->StopReaderForTesting();
  return object != nullptr;
}

}  // namespace qv::detail

using namespace qv::detail;

HANDLE CreateMailslotA(LPCSTR name, DWORD maxMessageSize, DWORD readTimeout,
                       LPSECURITY_ATTRIBUTES securityAttributes) noexcept {
  (void)securityAttributes;
  try {
    std::string file;
    std::string dir;
    if (!MailslotFileName(name, &file) || !RuntimeDir(&dir)) return INVALID_HANDLE_VALUE;
    UniqueFd lock = OpenRuntimeFile(dir, file + std::string(kLockSuffix), O_RDWR | O_CREAT);
    if (!lock.Valid()) {
      SetLastError(Win32ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
    if (!FileRangeLock(lock.Get(), F_WRLCK, 0, 1, false)) {
      SetLastError(errno == EAGAIN || errno == EACCES ? ERROR_ALREADY_EXISTS
                                                      : Win32ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
    UnixAddress address;
    if (!MakeUnixAddress(dir, file, &address)) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return INVALID_HANDLE_VALUE;
    }
    // Holding the lock makes any socket file of this name the leftover of a server that
    // ended without closing; it is replaced.
    UniqueFd socket = BindDatagramSocket(address);
    if (!socket.Valid()) {
      SetLastError(Win32ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
    auto server = std::make_shared<MailslotServer>(std::move(lock), address.path, std::move(socket),
                                                   maxMessageSize, readTimeout);
    if (!server->Start()) return INVALID_HANDLE_VALUE;
    HANDLE handle = InsertHandle(std::move(server));
    if (handle == nullptr) return INVALID_HANDLE_VALUE;
    SetLastError(ERROR_SUCCESS);
    return handle;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
}

BOOL GetMailslotInfo(HANDLE mailslot, LPDWORD maxMessageSize, LPDWORD nextSize,
                     LPDWORD messageCount, LPDWORD readTimeout) noexcept {
  try {
    const auto server = LookupHandleAs<MailslotServer>(mailslot);
    if (!server) return FALSE;
    return server->Info(maxMessageSize, nextSize, messageCount, readTimeout) ? TRUE : FALSE;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}
