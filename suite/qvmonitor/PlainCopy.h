// The plain copies the monitor looks after: which paths it accepts, who holds one open, and
// how one goes.
//
// A copy is accepted only when the view made it: a regular file with one link, owned by the
// user, directly inside a folder that is private to the user (mode 0700, no link) somewhere
// below the user's runtime folder or scratch folder. Anything else is refused, so the monitor
// never overwrites or deletes a file of the user's own.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace qvmonitor {

struct DirClose {
  void operator()(DIR* dir) const noexcept { (void)closedir(dir); }
};
// An open directory listing, closed when it goes.
using DirHandle = std::unique_ptr<DIR, DirClose>;

// What identifies one version of a copy: a save replaces the inode or changes size or time.
struct CopyStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long modifiedNs = 0;
  bool operator==(const CopyStamp&) const = default;
};

// False with `why` when the path is not a copy the view made (see above).
[[nodiscard]] bool IsAcceptablePlainCopy(const std::string& path, std::string* why);
// The copy's stamp; false when it is missing or no regular file.
[[nodiscard]] bool StampOf(const std::string& path, CopyStamp* stamp);

// Whether any process this user may inspect has the file at `path` open (its descriptors, as
// /proc shows them), `self` excepted.
[[nodiscard]] bool IsHeldOpen(const std::string& path, pid_t self);

// Overwrites the copy with zeros, flushes, and removes it. True when it is gone.
[[nodiscard]] bool OverwriteAndRemove(const std::string& path);
// Removes the copy's private folder once the copy is gone: what an editor left beside the copy
// (backups, lock files) is overwritten and removed with it; folders inside are left, and the
// folder then stays. `keep` lists other watched copies: a folder holding one stays untouched.
void RemovePrivateFolder(const std::string& copyPath, const std::vector<std::string>& keep);

}  // namespace qvmonitor
