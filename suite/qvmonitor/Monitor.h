// The monitor process's work: the copies it looks after, the saves it sees in them and the
// moment each copy goes.
//
// For every copy taken over, the record is written (flushed) before the request counts as
// taken. The copy's folder is watched with inotify: a write closed on the copy, or another
// file renamed over it (editors that save by writing a new file), is a save; besides the
// events, every pass compares the copy with the version the container holds, so a save made
// while no monitor ran is found too. A save is handed to the store-back once the copy has not
// changed for the settle time; the record says "unstored edit" (flushed) before that, and
// the version stored is recorded only after the store-back reported it durable.
//
// A store-back that finds the container held by a writer is asked again later, as long as
// it takes; the copy is never touched meanwhile. A store-back that refused a version (the
// user cancelled the verification) is asked again only for a newer save. The copy goes when no
// process has it open
// (/proc) and nothing happened to it for the quiet time (or, for a copy no program was ever
// seen to open, the longer unheld time: many programs read a file and close it at once).
// Then a copy the container holds is overwritten and removed with its private folder; a
// copy with an edit that could not be stored (the container is gone or still held, the user
// was not verified, or the product is not registered) is moved into the state folder's "kept"
// folder with its record instead, never dropped.
//
// On start every record left by an earlier monitor is taken up again the same way (its copy
// counts as opened, so it goes after the quiet time once nobody holds it); a record whose
// copy is gone is removed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "suite/qvmonitor/PlainCopy.h"
#include "suite/qvmonitor/StoreBack.h"
#include "suite/qvmonitor/WatchList.h"

namespace qvmonitor {

struct MonitorTimings {
  std::int64_t settleMs = 300;
  std::int64_t retryMs = 1000;
  std::int64_t quietMs = 5000;
  std::int64_t unheldMs = 300000;
  // Read from QV_MONITOR_QUIET_MS and QV_MONITOR_UNHELD_MS where set.
  static MonitorTimings FromEnvironment();
};

class Monitor {
 public:
  Monitor(std::string stateFolder, ContainerStoreBack& storeBack, MonitorTimings timings);
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Starts the inotify instance and takes up the records on disk. False with `error`.
  [[nodiscard]] bool Start(std::string* error);
  // Takes a copy over; false with `why` when the copy is refused or cannot be recorded.
  [[nodiscard]] bool Take(const MonitorRequest& request, std::string* why);
  // Reads pending events and does what is due. `nowMs` is a steady clock in milliseconds.
  void Tick(std::int64_t nowMs);

  std::size_t WatchedCount() const { return watched_.size(); }
  int EventDescriptor() const { return inotify_; }
  // What happened, for the program's progress lines: kept edits and failures.
  std::vector<std::string> TakeNotes();

 private:
  struct Watched {
    WatchRecord record;
    int watch = -1;
    bool everOpened = false;
    std::int64_t lastActivityMs = 0;
    std::int64_t changeSeenMs = -1;  // when the current unstored version was first seen
    CopyStamp changeSeen;
    std::int64_t nextTryMs = 0;
    std::int64_t missingSinceMs = -1;
    // The version a store-back refused (the user cancelled the password, was not verified,
    // or the entry is gone): not offered again, so a Cancel is not followed by the same
    // question; a new save is.
    bool refused = false;
    CopyStamp refusedVersion;
  };

  void Adopt(WatchRecord record, bool resumed, std::int64_t nowMs);
  // Applies pending events; those about `ignored`'s copy are dropped (the store-back's own
  // reading of the copy is no sign of a program using it).
  void ReadEvents(std::int64_t nowMs, const Watched* ignored = nullptr);
  // True when the entry is finished with and was removed.
  bool Check(Watched& entry, std::int64_t nowMs);
  void TryStore(Watched& entry, const CopyStamp& stamp, std::int64_t nowMs);
  void Finish(const std::string& token);
  std::vector<std::string> OtherCopies(const std::string& token) const;

  WatchList list_;
  ContainerStoreBack& storeBack_;
  MonitorTimings timings_;
  int inotify_ = -1;
  std::map<std::string, Watched> watched_;  // by token
  std::vector<std::string> notes_;
  std::int64_t lastHolderScanMs_ = -1;
  std::int64_t nowMs_ = 0;
};

// A steady clock in milliseconds.
std::int64_t SteadyMs();

}  // namespace qvmonitor
