// Work folders: private folders a program makes for work in progress (a container being built
// beside the folder it stores, a folder being restored, files waiting in memory), and the
// record that lets any later program of the suite remove those whose process has ended.
//
// Each work folder is recorded in the machine root ("work-folders/<token>": its path, volume
// and index) and held by a named mutex of the same random token while its process lives. The
// record is written after the mutex is taken and removed before it is let go, so a record
// whose mutex nobody holds belongs to a process that ended. The record is written before the
// folder is made and names it by its identity once it is: a folder is only ever removed as a
// work folder while its record names it and it is still that very folder (same volume and
// index), or, for a process that ended between the two, while its name ends in the record's
// own token. A user's folder that merely has a work folder's name is never taken for one.
#pragma once

#include <string>

#include "platform/WinTypes.h"

// Creates "<parent>/<prefix><token>" (16 random hexadecimal digits, mode 0700), records it
// and holds it for this process. Its path, or empty with the last error set.
QV_API std::string QvCreateWorkFolder(const std::string& parent, const std::string& prefix);

// Removes a work folder of this process with everything in it, then its record, then lets go
// of it. FALSE when some of it stays: the folder stays recorded, so that a later sweep tries
// again once this process has ended.
QV_API BOOL QvRemoveWorkFolder(const std::string& path) noexcept;

// Lets go of a work folder of this process without removing it: its record goes, so nothing
// will ever remove it as a work folder (what it holds is the user's to keep).
QV_API void QvReleaseWorkFolder(const std::string& path) noexcept;

// Removes the recorded work folders whose process has ended (whatever folder they are in) and
// their records. Returns how many folders went. Programs call it when they start, so that what
// an interrupted operation left (partial plain files of a restore among them) does not wait
// for a later operation beside it.
QV_API int QvSweepWorkFolders() noexcept;
