// How the library meets the suite's other processes through named kernel objects: whether the
// suite runs (its client holds a named mutex), and the decrypt-and-open role that lets one
// process decrypt every encrypted file the user opened at once. Each opened file starts its
// own process; the first one takes the role and creates the hand-over mailslot, the others
// send their paths through it, one NUL-terminated message per path, and end.
//
// A message comes from any process of the user, so the role holder trusts none of it: only a
// NUL-terminated message of at most kHandOverMessageLimit bytes that names an existing regular
// ".qvf" file (not a link to one) by an absolute path without "." or ".." parts, outside the
// protected locations, is taken. A path it refuses is not touched, but gets its row in the
// holder's progress dialog with the status that says why, so the user who opened that file
// learns what became of it; a message that is no path at all is dropped and counted. A sender
// checks its own path the same way first and tells its user itself when the holder would
// refuse it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/ItemStatus.h"
#include "base/SuiteServices.h"
#include "engine/OperationRequest.h"
#include "platform/WinTypes.h"

// Held by the one process that decrypts and opens files.
inline constexpr const char* kDecryptRoleMutex = "QUORVINDECRYPTING";
// Carries the paths of further opened files to the role holder.
inline constexpr const char* kHandOverMailslot = "\\\\.\\mailslot\\QVShellE_Decrypt";
// The reader's buffer: the longest message (path and NUL) it takes.
inline constexpr std::size_t kHandOverMessageLimit = 2064;

// Sends `paths` to the role holder in order, one message per path (its bytes and a NUL).
// Returns how many were sent: 0 when no holder has the mailslot open; sending stops at the
// first write that fails. Nothing is shown to the user.
std::size_t SendPathsToRoleHolder(const std::vector<std::string>& paths) noexcept;

// What became of a path a process handed over.
enum class HandOverResult {
  kSent,           // the holder has it
  kRefused,        // the holder would refuse it: the user was told why, nothing was sent
  kNotHandedOver,  // no holder took it (it ended meanwhile, or the mailslot failed)
};

// The sender's side of DllShellInterface: checks `path` (absolute) as the holder will, tells
// the user in a message box when it would be refused, and otherwise sends it. A path that
// cannot be handed over is not shown to the user, as before.
[[nodiscard]] HandOverResult HandOverToRoleHolder(const std::string& path);

// The status of a hand-over path: StatusSuccess when the holder takes it; otherwise the status
// of its row: StatusNotEncryptedFile for a name without ".qvf"; StatusFileAccessError for a
// path the holder cannot use as it stands (relative, with empty, "." or ".." parts, too long
// for the exchange) or that is not an existing regular file (missing, a link, a folder, a
// device); StatusProtectedLocation for a file in a protected location.
[[nodiscard]] ItemStatus HandOverPathStatus(const std::string& path);

// The checks a hand-over message passes before its path is used (see the top of this file).
// True with the path in *path (optional) when the message is acceptable.
[[nodiscard]] bool AcceptHandOverMessage(std::string_view message, std::string* path = nullptr);

// Counts of this process's role holders since it started, for logging and tests.
struct HandOverCounts {
  std::size_t accepted = 0;  // paths appended to a holder's list
  std::size_t dropped = 0;   // messages refused by AcceptHandOverMessage, or repeating a path
  std::size_t shown = 0;     // refused paths handed to the dialog for a row of their own
  std::size_t unread = 0;    // messages that arrived after the holder had read the mailslot
};
[[nodiscard]] HandOverCounts HandOverTotals() noexcept;

// The decrypt-and-open role of this process. Used on one thread.
class DecryptOpenRole {
 public:
  DecryptOpenRole() = default;
  ~DecryptOpenRole();  // Release()
  DecryptOpenRole(const DecryptOpenRole&) = delete;
  DecryptOpenRole& operator=(const DecryptOpenRole&) = delete;

  // Creates the role mutex without taking ownership. True when this process now holds the
  // role: it created the mutex, or the mutex could not be created (then the mailslot decides
  // between two such processes). False when another process holds it.
  [[nodiscard]] bool Claim() noexcept;
  bool Held() const { return held_; }

  // The holder creates the hand-over mailslot, before it verifies the user, so that paths
  // sent meanwhile wait in it. False when it cannot (the holder then works on its own list).
  // Only a holder ever creates it, so only a holder replaces an endpoint that a crashed
  // holder left behind.
  [[nodiscard]] bool OpenHandOver() noexcept;
  bool HandOverOpen() const { return mailslot_ != nullptr; }

  // Appends the path of every acceptable waiting message to `items` (a path already in the
  // list is not added again) and returns how many were appended. A refused path goes to
  // `refused` (optional) with its status, once; a path already in either list has its row
  // already. Messages that arrive while it reads are read as well, up to a bound, so that a
  // flood cannot keep it busy forever.
  std::size_t TakeWaitingPaths(std::vector<std::string>& items,
                               std::vector<RefusedItem>* refused = nullptr);

  // Reads away whatever still waits (counted as unread) and closes the mailslot, then gives
  // up the role, so that the next holder can create the mailslot again. Safe to repeat.
  void Release() noexcept;

  // This holder's counts so far.
  const HandOverCounts& Counts() const { return counts_; }

 private:
  // Reads the next waiting message into `message`; false when none waits.
  bool ReadNext(std::vector<char>& message);

  HANDLE mutex_ = nullptr;
  HANDLE mailslot_ = nullptr;
  bool held_ = false;
  HandOverCounts counts_;
};
