// The monitor's watching, storing back and clean-up.
#include "suite/qvmonitor/Monitor.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace qvmonitor {
namespace {

constexpr std::uint32_t kEvents = IN_OPEN | IN_MODIFY | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE |
                                  IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM;

std::int64_t EnvironmentMs(const char* name, std::int64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  return (end != nullptr && *end == '\0' && value >= 0) ? value : fallback;
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

MonitorTimings MonitorTimings::FromEnvironment() {
  MonitorTimings timings;
  timings.quietMs = EnvironmentMs("QV_MONITOR_QUIET_MS", timings.quietMs);
  timings.unheldMs = EnvironmentMs("QV_MONITOR_UNHELD_MS", timings.unheldMs);
  return timings;
}

Monitor::Monitor(std::string stateFolder, ContainerStoreBack& storeBack, MonitorTimings timings)
    : list_(std::move(stateFolder)), storeBack_(storeBack), timings_(timings) {}

Monitor::~Monitor() {
  if (inotify_ >= 0) close(inotify_);
}

bool Monitor::Start(std::string* error) {
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ < 0) {
    *error = std::string("cannot watch files (inotify: ") + std::strerror(errno) +
             "): raise fs.inotify.max_user_instances";
    return false;
  }
  std::vector<std::string> unreadable;
  const std::int64_t now = SteadyMs();
  for (WatchRecord& record : list_.ReadAll(&unreadable)) {
    CopyStamp stamp;
    if (!StampOf(record.request.decryptedPath, &stamp)) {
      list_.Remove(record.request.token);
      RemovePrivateFolder(record.request.decryptedPath, OtherCopies(record.request.token));
      continue;
    }
    Adopt(std::move(record), true, now);
  }
  for (const std::string& path : unreadable)
    notes_.push_back("the watch record " + path + " does not read; it is left in place");
  return true;
}

std::vector<std::string> Monitor::OtherCopies(const std::string& token) const {
  std::vector<std::string> others;
  for (const auto& [key, entry] : watched_)
    if (key != token) others.push_back(entry.record.request.decryptedPath);
  return others;
}

void Monitor::Adopt(WatchRecord record, bool resumed, std::int64_t nowMs) {
  Watched entry;
  entry.watch = inotify_add_watch(inotify_, FolderOf(record.request.decryptedPath).c_str(),
                                  kEvents | IN_ONLYDIR | IN_DONT_FOLLOW);
  entry.everOpened = resumed;
  entry.lastActivityMs = nowMs;
  entry.record = std::move(record);
  const std::string token = entry.record.request.token;
  watched_[token] = std::move(entry);
}

bool Monitor::Take(const MonitorRequest& request, std::string* why) {
  if (watched_.count(request.token) != 0) return true;
  if (!IsAcceptablePlainCopy(request.decryptedPath, why)) return false;
  for (const auto& [token, entry] : watched_) {
    if (entry.record.request.decryptedPath == request.decryptedPath) {
      *why = "it is watched already";
      return false;
    }
  }
  WatchRecord record;
  record.request = request;
  if (!StampOf(request.decryptedPath, &record.stored)) {
    *why = "it is gone";
    return false;
  }
  if (!list_.Write(record)) {
    *why = "its record cannot be written in " + list_.Folder();
    return false;
  }
  Adopt(std::move(record), false, SteadyMs());
  return true;
}

void Monitor::ReadEvents(std::int64_t nowMs, const Watched* ignored) {
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t n = read(inotify_, buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->len == 0 || at > n) continue;
      const std::string name(event->name, strnlen(event->name, event->len));
      for (auto& [token, entry] : watched_) {
        if (&entry == ignored || entry.watch != event->wd ||
            NameOf(entry.record.request.decryptedPath) != name)
          continue;
        entry.lastActivityMs = nowMs;
        if ((event->mask & IN_OPEN) != 0) entry.everOpened = true;
      }
    }
  }
}

void Monitor::Tick(std::int64_t nowMs) {
  nowMs_ = nowMs;
  ReadEvents(nowMs);
  // Looking through every process's descriptors is the costly part: once a second.
  const bool scanHolders = lastHolderScanMs_ < 0 || nowMs - lastHolderScanMs_ >= 1000;
  if (scanHolders) lastHolderScanMs_ = nowMs;
  std::vector<std::string> finished;
  for (auto& [token, entry] : watched_) {
    if (scanHolders && IsHeldOpen(entry.record.request.decryptedPath, getpid())) {
      entry.everOpened = true;
      entry.lastActivityMs = nowMs;
    }
    if (Check(entry, nowMs)) finished.push_back(token);
  }
  for (const std::string& token : finished) Finish(token);
}

void Monitor::TryStore(Watched& entry, const CopyStamp& stamp, std::int64_t nowMs) {
  WatchRecord& record = entry.record;
  if (!record.unstoredEdit) {
    record.unstoredEdit = true;
    if (!list_.Write(record))
      notes_.push_back("the record of " + record.request.decryptedPath + " cannot be updated");
  }
  if (nowMs < entry.nextTryMs || (entry.refused && stamp == entry.refusedVersion)) return;
  ReadEvents(nowMs);
  const StoreResult result = storeBack_.Store(record.request, record.request.decryptedPath);
  ReadEvents(nowMs, &entry);
  if (result == StoreResult::Stored) {
    record.stored = stamp;
    record.unstoredEdit = false;
    if (!list_.Write(record))
      notes_.push_back("the record of " + record.request.decryptedPath + " cannot be updated");
    entry.changeSeenMs = -1;
    return;
  }
  if (result == StoreResult::Failed) {
    entry.refused = true;
    entry.refusedVersion = stamp;
  }
  // Busy: the writer lets go sooner or later; the others will not change soon.
  entry.nextTryMs = nowMs + (result == StoreResult::Busy ? timings_.retryMs : timings_.quietMs);
}

bool Monitor::Check(Watched& entry, std::int64_t nowMs) {
  WatchRecord& record = entry.record;
  const std::string& path = record.request.decryptedPath;
  CopyStamp stamp;
  if (!StampOf(path, &stamp)) {
    // An editor between removing the old copy and renaming the new one into place, or the
    // user removed it: gone for good once it stays away for the quiet time.
    if (entry.missingSinceMs < 0) entry.missingSinceMs = nowMs;
    return nowMs - entry.missingSinceMs >= timings_.quietMs;
  }
  entry.missingSinceMs = -1;
  if (!(stamp == record.stored)) {
    if (entry.changeSeenMs < 0 || !(stamp == entry.changeSeen)) {
      entry.changeSeen = stamp;
      entry.changeSeenMs = nowMs;
      entry.lastActivityMs = nowMs;
      entry.everOpened = true;  // a program saved it, whether or not its opening was seen
    }
    if (nowMs - entry.changeSeenMs >= timings_.settleMs) TryStore(entry, stamp, nowMs);
  }
  const std::int64_t wait = entry.everOpened ? timings_.quietMs : timings_.unheldMs;
  if (nowMs - entry.lastActivityMs < wait) return false;
  if (nowMs - lastHolderScanMs_ > 0 && IsHeldOpen(path, getpid())) {
    entry.lastActivityMs = nowMs;
    return false;
  }
  if (record.unstoredEdit) {
    // The last word before the copy goes: one more try, then keep the edit.
    entry.nextTryMs = 0;
    TryStore(entry, stamp, nowMs);
    if (record.unstoredEdit) {
      const std::string kept = list_.Keep(record);
      if (kept.empty()) {
        notes_.push_back("the edit in " + path + " could not be stored back or kept; it stays");
        entry.lastActivityMs = nowMs;
        return false;
      }
      notes_.push_back("the edit in " + path + " could not be stored into " +
                       record.request.containerPath + "; it is kept in " + kept);
      return true;
    }
  }
  return true;
}

void Monitor::Finish(const std::string& token) {
  auto it = watched_.find(token);
  if (it == watched_.end()) return;
  const std::string path = it->second.record.request.decryptedPath;
  const int watch = it->second.watch;
  watched_.erase(it);
  bool folderStillWatched = false;
  for (const auto& [key, entry] : watched_) folderStillWatched |= entry.watch == watch;
  if (watch >= 0 && !folderStillWatched) (void)inotify_rm_watch(inotify_, watch);
  CopyStamp stamp;
  if (StampOf(path, &stamp) && !OverwriteAndRemove(path)) {
    notes_.push_back("the plain copy " + path + " cannot be removed");
    return;
  }
  RemovePrivateFolder(path, OtherCopies(token));
  list_.Remove(token);
}

std::vector<std::string> Monitor::TakeNotes() {
  std::vector<std::string> notes;
  notes.swap(notes_);
  return notes;
}

}  // namespace qvmonitor
