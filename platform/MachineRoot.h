// Where this machine's shared state lives.
//
// The machine root (QV_ROOT, else $XDG_DATA_HOME/quorvin, else ~/.local/share/quorvin)
// holds the registry hive and the suite's store. The runtime folder ($XDG_RUNTIME_DIR/quorvin,
// else /tmp/quorvin-<uid>) holds the per-user endpoints of mutexes, mailslots and windows;
// it is private to the user (mode 0700) and refused when someone else owns it.
#pragma once

#include <string>

#include "platform/WinTypes.h"

// Both return the folder without a trailing '/', creating it (mode 0700) when missing.
// An empty result means the folder could not be created or is not safe to use: the runtime
// folder is refused when it is a symbolic link, not a folder, or owned by another user, and
// its mode is set to 0700 when it differs. XDG variables that do not hold an absolute path
// are ignored.
QV_API std::string QvMachineRoot();
QV_API std::string QvRuntimeDir();
// Where QvMachineRoot's folder is, neither made nor checked; empty when there is no home.
QV_API std::string QvMachineRootPath();
// A private folder (0700) on a memory file system for short-lived work files that never need
// to survive a restart: "scratch" in the runtime folder when that lies on one, else a folder
// of its own for this runtime folder in /dev/shm/quorvin-<uid>. Empty when there is no
// runtime folder or memory file system, or the folder is not safe to use (the same rules as
// the runtime folder).
QV_API std::string QvScratchDir();

// Whether what is in `path` lives in memory only (tmpfs, ramfs): it is gone after a power loss
// or a restart.
QV_API bool QvOnMemoryFileSystem(const std::string& path) noexcept;

// The user's XDG data and config folders ($XDG_DATA_HOME, else ~/.local/share;
// $XDG_CONFIG_HOME, else ~/.config), without a trailing '/' and not created. A variable that
// does not hold an absolute path is ignored. Empty when there is no absolute home folder.
QV_API std::string QvXdgDataHome();
QV_API std::string QvXdgConfigHome();
