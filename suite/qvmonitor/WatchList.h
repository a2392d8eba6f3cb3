// The list of watched copies on disk: one record per copy, "watch/<token>" in the user's
// monitor state folder, so that a monitor that ended without clean-up (killed, or the machine
// stopped) finds on its next start what it was looking after.
//
// A record is the request as it arrived, then the stamp of the copy's version the container
// holds (u64 device, inode, size, modified time in nanoseconds) and a flag word (bit 0: the
// copy holds an edit not stored back). Each write goes to a temporary name, is flushed,
// renamed over the record and the folder flushed, so a record is always whole.
#pragma once

#include <string>
#include <vector>

#include "suite/qvmonitor/MonitorRequest.h"
#include "suite/qvmonitor/PlainCopy.h"

namespace qvmonitor {

struct WatchRecord {
  MonitorRequest request;
  CopyStamp stored;
  bool unstoredEdit = false;
};

class WatchList {
 public:
  explicit WatchList(std::string stateFolder) : folder_(std::move(stateFolder)) {}

  [[nodiscard]] bool Write(const WatchRecord& record) const;
  void Remove(const std::string& token) const;
  // Every whole record; records that do not read are left where they are and reported.
  [[nodiscard]] std::vector<WatchRecord> ReadAll(std::vector<std::string>* unreadable) const;
  [[nodiscard]] bool Exists(const std::string& token) const;

  // Keeps an edit that could not be stored back: the copy is moved (or copied and flushed)
  // to "kept/<token>-<name>" and the record to "kept/<token>.record". The kept file's path,
  // or empty when it could not be kept (the copy then stays where it is).
  [[nodiscard]] std::string Keep(const WatchRecord& record) const;

  const std::string& Folder() const { return folder_; }

 private:
  std::string RecordPath(const std::string& token) const { return folder_ + "/watch/" + token; }
  std::string folder_;
};

}  // namespace qvmonitor
