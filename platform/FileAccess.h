// Regular files read and written by path, and the exact mode and times of folders, with the
// rules the container store and the suite's file library share:
// - an open never waits: a FIFO planted under the name would block it, so every open is
//   non-blocking and only then checked;
// - only a regular file is read or written; a FIFO, device, socket or folder is refused
//   (ERROR_ACCESS_DENIED) before a byte moves;
// - a file opened for writing is never reached through a symbolic link as its last
//   component (ERROR_ACCESS_DENIED), so a link planted in a destination cannot redirect the
//   write outside it; a file opened for reading may be (a user's file may be a link).
// Failures are reported through SetLastError with the Win32 code of the errno.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "platform/PosixIo.h"
#include "platform/WinTypes.h"

class QV_API RegularFile {
 public:
  RegularFile() = default;
  RegularFile(RegularFile&& other) noexcept;
  RegularFile& operator=(RegularFile&& other) noexcept;
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;
  // Closes the file; a failure of that close is not reported (see Close).
  ~RegularFile();

  // Opens the regular file at `path` for reading.
  [[nodiscard]] BOOL OpenForReading(LPCSTR path) noexcept;
  // Opens the regular file at `path` for writing, creating it (mode 0666 less the umask)
  // when missing. An existing file is emptied first unless `append`, which writes after its
  // end. A file that is refused is left as it was.
  [[nodiscard]] BOOL OpenForWriting(LPCSTR path, bool append) noexcept;
  // Creates the file at `path` for writing (mode 0666 less the umask); fails, touching
  // nothing, when anything is there already, a link included. What it opens is a new, empty
  // regular file, so it needs none of the checks OpenForWriting makes; its mode when opened is
  // given as 0.
  [[nodiscard]] BOOL CreateNew(LPCSTR path) noexcept;

  bool Valid() const { return fd_.Valid(); }
  int Descriptor() const { return fd_.Get(); }
  // The size and the permission bits the file had when it was opened.
  std::uint64_t SizeWhenOpened() const { return size_; }
  DWORD ModeWhenOpened() const { return mode_; }

  // Reads until `size` bytes or the end of the file: the count read, or -1.
  [[nodiscard]] long long Read(void* buffer, std::size_t size) noexcept;
  // Reads from `offset` until `size` bytes or the end of the file, leaving the file's own
  // position alone: the count read, or -1.
  [[nodiscard]] long long ReadAt(std::uint64_t offset, void* buffer, std::size_t size) noexcept;
  // Writes all `size` bytes, retrying short writes.
  [[nodiscard]] BOOL Write(const void* data, std::size_t size) noexcept;
  // Gives the open file the permission bits `mode` (for example 0755 for a script).
  [[nodiscard]] BOOL SetPermissions(DWORD mode) noexcept;
  // Closes the file and reports whether everything written reached it.
  [[nodiscard]] BOOL Close() noexcept;
  // Hands the descriptor to the caller, who closes it; the object is empty afterwards.
  [[nodiscard]] int ReleaseDescriptor() noexcept;

 private:
  qv::detail::UniqueFd fd_;
  std::uint64_t size_ = 0;
  DWORD mode_ = 0;
};

// A folder's permission bits and its times to the nanosecond, as Linux keeps them.
struct FolderModeAndTimes {
  std::uint16_t mode = 0;
  timespec modified{}, accessed{};
};

// The process's umask, read from /proc: setting it to read it would race with other threads
// creating files meanwhile, whose files would get the wider mode. 077 when it cannot be read.
[[nodiscard]] QV_API mode_t CurrentUmask() noexcept;

// Reads them from the folder at `path`, which is not followed when it is a link. FALSE
// (ERROR_DIRECTORY) for anything but a folder.
[[nodiscard]] QV_API BOOL GetFolderModeAndTimes(LPCSTR path, FolderModeAndTimes* out) noexcept;

// Gives the folder base/parts[0]/parts[1]/... the mode `*mode` (unless null) and the
// last-write and last-access times (a null time is left as it is). The folder is reached
// component by component from `base`, never through a link, so a link put in place of a
// folder meanwhile leads nowhere (ERROR_DIRECTORY).
[[nodiscard]] QV_API BOOL SetFolderModeAndTimes(LPCSTR base, const std::vector<std::string>& parts,
                                                const std::uint16_t* mode, const timespec* modified,
                                                const timespec* accessed) noexcept;
