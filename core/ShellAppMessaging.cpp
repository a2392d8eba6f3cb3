// The suite-running test, the decrypt-and-open role and its hand-over mailslot.
#include "core/ShellAppMessaging.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <unordered_set>

#include "base/QvFolderExtApp.h"
#include "base/StringTable.h"
#include "engine/ItemRules.h"
#include "engine/OperationRequest.h"
#include "platform/Files.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/Mailslot.h"
#include "platform/MessageBox.h"
#include "suite/QvUserApi.h"

namespace {

// However many messages keep arriving, one read of the mailslot handles at most this many
// (the platform's mailslot queue holds as many).
constexpr std::size_t kMaxMessagesPerRead = 4096;
// How long a sender waits for the holder to create the hand-over mailslot, and how often it looks.
constexpr DWORD kHandOverWaitMs = 2000;
constexpr DWORD kHandOverRetryMs = 10;

std::atomic<std::size_t> g_accepted{0};
std::atomic<std::size_t> g_dropped{0};
std::atomic<std::size_t> g_shown{0};
std::atomic<std::size_t> g_unread{0};

// True when `path` is absolute and has no empty, "." or ".." component: the path the
// protected-location test judges is the one the holder opens, and a sender's working folder
// (which the holder does not share) plays no part.
bool IsPlainAbsolutePath(std::string_view path) {
  if (path.size() < 2 || path.front() != '/') return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

// The path a message carries: false when the message is no path at all (empty, too long for
// the reader's buffer, or not exactly one NUL at its end: a path with a NUL inside would name
// another file than the sender meant).
bool PathOfMessage(std::string_view message, std::string* path) {
  if (message.size() < 2 || message.size() > kHandOverMessageLimit) return false;
  if (message.back() != '\0' || message.find('\0') != message.size() - 1) return false;
  path->assign(message.substr(0, message.size() - 1));
  return true;
}

}  // namespace

std::size_t SendPathsToRoleHolder(const std::vector<std::string>& paths) noexcept {
  // The holder takes the role first and creates the mailslot a moment later: a sender that
  // comes in between waits for it a little rather than lose its paths.
  HANDLE mailslot = INVALID_HANDLE_VALUE;
  for (DWORD waited = 0;; waited += kHandOverRetryMs) {
    mailslot = CreateFileA(kHandOverMailslot, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mailslot != INVALID_HANDLE_VALUE || waited >= kHandOverWaitMs) break;
    Sleep(kHandOverRetryMs);
  }
  if (mailslot == INVALID_HANDLE_VALUE) return 0;
  std::size_t sent = 0;
  for (const std::string& path : paths) {
    // The message is the path with its terminating NUL.
    DWORD written = 0;
    const auto size = static_cast<DWORD>(path.size() + 1);
    if (!WriteFile(mailslot, path.c_str(), size, &written, nullptr) || written != size) break;
    ++sent;
  }
  CloseHandle(mailslot);
  return sent;
}

HandOverResult HandOverToRoleHolder(const std::string& path) {
  const ItemStatus status = HandOverPathStatus(path);
  if (status != StatusSuccess) {
    // The holder would give it a row in a dialog this user may never connect with the file
    // they opened: say it here, where they opened it.
    const std::string text = path + "\n\n" + LoadStringText(MessageIdForStatus(status));
    (void)MessageBoxA(nullptr, text.c_str(), QvApp().productName.c_str(), MB_OK | MB_ICONERROR);
    return HandOverResult::kRefused;
  }
  return SendPathsToRoleHolder({path}) == 1 ? HandOverResult::kSent
                                            : HandOverResult::kNotHandedOver;
}

ItemStatus HandOverPathStatus(const std::string& path) {
  if (!HasSuffix(path, kQvfSuffix)) return StatusNotEncryptedFile;
  if (path.size() + 1 > kHandOverMessageLimit || !IsPlainAbsolutePath(path))
    return StatusFileAccessError;
  // The entry itself, not a link's target (links report themselves as reparse points).
  const DWORD attributes = GetFileAttributesA(path.c_str());
  constexpr DWORD kNotRegular =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kNotRegular) != 0)
    return StatusFileAccessError;
  if (IsProtectedLocation(path)) return StatusProtectedLocation;
  return StatusSuccess;
}

bool AcceptHandOverMessage(std::string_view message, std::string* path) {
  std::string candidate;
  if (!PathOfMessage(message, &candidate) || HandOverPathStatus(candidate) != StatusSuccess)
    return false;
  if (path != nullptr) *path = std::move(candidate);
  return true;
}

HandOverCounts HandOverTotals() noexcept {
  return {.accepted = g_accepted.load(),
          .dropped = g_dropped.load(),
          .shown = g_shown.load(),
          .unread = g_unread.load()};
}

DecryptOpenRole::~DecryptOpenRole() { Release(); }

bool DecryptOpenRole::Claim() noexcept {
  if (held_) return true;
  mutex_ = CreateMutexA(nullptr, FALSE, kDecryptRoleMutex);
  if (mutex_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex_);
    mutex_ = nullptr;
    return false;
  }
  held_ = true;
  return true;
}

bool DecryptOpenRole::OpenHandOver() noexcept {
  if (!held_) return false;
  if (mailslot_ != nullptr) return true;
  // Reads happen only after the mailslot reported a waiting message, so they need not wait;
  // a read that would wait fails at once instead of blocking the holder.
  HANDLE mailslot = CreateMailslotA(kHandOverMailslot, 0, 0, nullptr);
  if (mailslot == INVALID_HANDLE_VALUE) return false;
  mailslot_ = mailslot;
  return true;
}

bool DecryptOpenRole::ReadNext(std::vector<char>& message) {
  DWORD nextSize = MAILSLOT_NO_MESSAGE;
  DWORD count = 0;
  if (!GetMailslotInfo(mailslot_, nullptr, &nextSize, &count, nullptr)) return false;
  if (count == 0 || nextSize == MAILSLOT_NO_MESSAGE) return false;
  // A message longer than the reader's buffer is read whole into a buffer of its own size,
  // so that it leaves the queue, and then refused; it never reaches the fixed buffer.
  message.resize(std::max<std::size_t>(nextSize, 1));
  DWORD read = 0;
  if (!ReadFile(mailslot_, message.data(), static_cast<DWORD>(message.size()), &read, nullptr))
    return false;
  message.resize(read);
  return true;
}

std::size_t DecryptOpenRole::TakeWaitingPaths(std::vector<std::string>& items,
                                              std::vector<RefusedItem>* refused) {
  if (mailslot_ == nullptr) return 0;
  std::size_t appended = 0;
  // Every path that has its row already: taken, or refused.
  std::unordered_set<std::string> listed(items.begin(), items.end());
  if (refused != nullptr)
    for (const RefusedItem& item : *refused) listed.insert(item.path);
  std::vector<char> message;
  for (std::size_t handled = 0; handled < kMaxMessagesPerRead && ReadNext(message); ++handled) {
    std::string path;
    if (!PathOfMessage(std::string_view(message.data(), message.size()), &path) ||
        !listed.insert(path).second) {
      ++counts_.dropped;
      ++g_dropped;
      continue;
    }
    const ItemStatus status = HandOverPathStatus(path);
    if (status != StatusSuccess) {
      ++counts_.dropped;
      ++g_dropped;
      if (refused != nullptr) {
        refused->push_back({std::move(path), status});
        ++counts_.shown;
        ++g_shown;
      }
      continue;
    }
    items.push_back(std::move(path));
    ++appended;
    ++counts_.accepted;
    ++g_accepted;
  }
  return appended;
}

void DecryptOpenRole::Release() noexcept {
  if (mailslot_ != nullptr) {
    try {
      std::vector<char> message;
      for (std::size_t handled = 0; handled < kMaxMessagesPerRead && ReadNext(message); ++handled) {
        ++counts_.unread;
        ++g_unread;
      }
    } catch (...) {
      // Out of memory while reading away: closing discards the rest anyway.
    }
    CloseHandle(mailslot_);
    mailslot_ = nullptr;
  }
  if (mutex_ != nullptr) {
    CloseHandle(mutex_);
    mutex_ = nullptr;
  }
  held_ = false;
}
