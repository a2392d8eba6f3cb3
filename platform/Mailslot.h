// Mailslots: one-way, message-preserving channels between the processes of one user. A
// server creates "\\.\mailslot\NAME" and reads whole messages from it; clients open the name
// with CreateFileA and send one message per WriteFile.
//
// On Linux a mailslot is a unix datagram socket "mailslot-<name>" in the user's private
// runtime folder, next to a lock file "mailslot-<name>.lock" that the server holds for its
// lifetime (an open-file-description lock, so it disappears with the server process, even
// when it crashes). Names are case-insensitive, as on Windows. Messages are taken off the
// socket as soon as they arrive by a reader thread of the server, so a writer never waits for
// the server to read; a message longer than the server's maximum size is dropped by the
// reader and never seen by ReadFile. The writer is not told, since it cannot know the
// server's limit.
#pragma once

#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Handles.h"
#include "platform/WinTypes.h"

inline constexpr DWORD MAILSLOT_WAIT_FOREVER = 0xFFFFFFFF;
inline constexpr DWORD MAILSLOT_NO_MESSAGE = 0xFFFFFFFF;

// Creates the server end of a local mailslot. `maxMessageSize` 0 accepts messages of any
// size; `readTimeout` (milliseconds, or MAILSLOT_WAIT_FOREVER) bounds each ReadFile.
// INVALID_HANDLE_VALUE with ERROR_ALREADY_EXISTS when a live server has the name,
// ERROR_INVALID_NAME when the name is not "\\.\mailslot\NAME" with a usable NAME,
// ERROR_FILENAME_EXCED_RANGE when NAME is too long for an endpoint. The endpoint left by a
// server that ended without closing is replaced.
//
// ReadFile on the handle returns the oldest message whole. When the buffer is too small it
// fails with ERROR_INSUFFICIENT_BUFFER and the message stays queued (ask GetMailslotInfo for
// its size); when no message arrives within the read timeout it fails with ERROR_SEM_TIMEOUT.
// When the server's reader has ended (its socket failed or memory ran out), nothing more
// will arrive: once the queued messages are read, ReadFile fails at once with
// ERROR_READ_FAULT instead of waiting.
QV_API HANDLE CreateMailslotA(LPCSTR name, DWORD maxMessageSize, DWORD readTimeout,
                              LPSECURITY_ATTRIBUTES securityAttributes) noexcept;

// Every out-parameter is optional. nextSize is MAILSLOT_NO_MESSAGE when no message waits.
// Messages already written by a client are counted, even when the reader thread has not
// taken them off the socket yet. Fails with ERROR_READ_FAULT when no message waits and the
// server's reader has ended, as ReadFile does.
[[nodiscard]] QV_API BOOL GetMailslotInfo(HANDLE mailslot, LPDWORD maxMessageSize, LPDWORD nextSize,
                                          LPDWORD messageCount, LPDWORD readTimeout) noexcept;

namespace qv::detail {

// True when `name` starts with "\\.\mailslot\" (any case).
bool IsMailslotName(const char* name) noexcept;
// The client side of CreateFileA on a mailslot name.
HANDLE OpenMailslotClient(const char* name, DWORD desiredAccess,
                          DWORD creationDisposition) noexcept;
// Fault injection for tests: ends the reader thread of a mailslot server as a socket failure
// would, leaving the handle open. False when `server` is not a mailslot server.
bool StopMailslotReaderForTesting(HANDLE server) noexcept;

// The receiving side of a bound datagram socket: a reader thread moves each arriving message
// into a queue, so senders do not stall on the kernel's short datagram queue while the owner
// is busy. Messages longer than `maxSize` (0: no limit) are dropped. The queue is bounded;
// while it is full the reader stops taking messages and senders wait in the kernel.
class DatagramInbox {
 public:
  // kStopped: the queue is empty and the reader has ended, so nothing more will arrive.
  enum class PopResult { kMessage, kTimeout, kTooSmall, kClosed, kStopped };

  DatagramInbox(UniqueFd socket, DWORD maxSize);
  ~DatagramInbox();
  DatagramInbox(const DatagramInbox&) = delete;
  DatagramInbox& operator=(const DatagramInbox&) = delete;

  // Starts the reader thread; false (with the last error set) when it cannot run.
  bool Start() noexcept;
  // Wakes every waiter and stops the reader; later pops report kClosed. In a forked child
  // the inbox is the parent's (the reader thread and the wake-up descriptor are shared with
  // or exist only in the parent), so there it does nothing.
  void Close() noexcept;
  // True in a process forked from the one that created the inbox.
  bool Inherited() const { return owner_ != getpid(); }

  // Size of the oldest message and the number of messages, after taking in those already
  // waiting on the socket. False when there is none; *readerStopped (optional) then tells
  // whether the reader has ended.
  bool Peek(size_t* nextSize, size_t* count, bool* readerStopped = nullptr);
  // Takes the oldest message into `buffer` (kTooSmall leaves it queued and sets *size to its
  // length), waiting up to `milliseconds` (INFINITE: no limit) for one to arrive.
  PopResult Pop(void* buffer, size_t capacity, size_t* size, DWORD milliseconds);

  int Socket() const { return socket_.Get(); }
  // Fault injection for tests: the reader ends as if its socket had failed.
  void StopReaderForTesting() noexcept;

 private:
  void Run();
  void ReadLoop();
  // Moves every message waiting on the socket into the queue, up to the queue's bounds.
  // Called with mutex_ held; false when the socket failed.
  bool DrainLocked();
  bool QueueFullLocked() const;

  UniqueFd socket_;
  UniqueFd wake_;  // eventfd that stops the reader
  const DWORD maxSize_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<char>> queue_;
  size_t queuedBytes_ = 0;
  bool closed_ = false;
  bool readerStopped_ = false;  // the reader ended while the inbox was open
  const pid_t owner_ = getpid();
  std::thread reader_;
};

}  // namespace qv::detail
