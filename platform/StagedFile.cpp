// Received files: exclusive temporary names and renames that replace nothing.
#include "platform/StagedFile.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "platform/FileAccess.h"
#include "platform/LastError.h"

namespace {

BOOL Fail(int err) {
  SetLastError(Win32ErrorFromErrno(err));
  return FALSE;
}

// A descriptor of base/folders..., created where missing; -1 with the last error set.
int OpenFolders(LPCSTR base, const std::vector<std::string>& folders) {
  int fd = open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail(errno), -1;
  for (const std::string& name : folders) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
      close(fd);
      SetLastError(ERROR_INVALID_NAME);
      return -1;
    }
    if (mkdirat(fd, name.c_str(), 0777) != 0 && errno != EEXIST) {
      const int err = errno;
      close(fd);
      return Fail(err), -1;
    }
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int err = errno;
    close(fd);
    if (next < 0) return Fail(err == ELOOP || err == ENOTDIR ? EACCES : err), -1;
    fd = next;
  }
  return fd;
}

mode_t UsualMode(bool readOnly) {
  const mode_t mode = 0666 & ~CurrentUmask();
  return readOnly ? mode & ~0222 : mode;
}

}  // namespace

BOOL CreateFoldersBelow(LPCSTR base, const std::vector<std::string>& folders) noexcept {
  const int fd = OpenFolders(base, folders);
  if (fd < 0) return FALSE;
  close(fd);
  return TRUE;
}

StagedFile::~StagedFile() { Discard(); }

BOOL StagedFile::Create(LPCSTR base, const std::vector<std::string>& folders) noexcept {
  Discard();
  folderFd_ = OpenFolders(base, folders);
  if (folderFd_ < 0) return FALSE;
  try {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, ".qvpart-%08x", static_cast<unsigned>(random()));
      fileFd_ = openat(folderFd_, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fileFd_ >= 0) {
        tempName_ = name;
        flushed_ = false;
        placed_ = false;
        return TRUE;
      }
      if (errno != EEXIST) return Fail(errno);
    }
  } catch (...) {
    return Fail(EIO);
  }
  return Fail(EEXIST);
}

BOOL StagedFile::Write(const void* data, std::size_t size) noexcept {
  if (fileFd_ < 0 || placed_) return Fail(EBADF);
  flushed_ = false;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(fileFd_, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return TRUE;
}

BOOL StagedFile::Finish(const FILETIME* lastWrite, bool readOnly) noexcept {
  if (fileFd_ < 0 || placed_) return Fail(EBADF);
  if (fchmod(fileFd_, UsualMode(readOnly)) != 0) return Fail(errno);
  if (lastWrite != nullptr) {
    std::int64_t seconds = 0, nanoseconds = 0;
    if (!FileTimeToUnixTime(lastWrite, &seconds, &nanoseconds)) return FALSE;
    const timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanoseconds}};
    if (futimens(fileFd_, times) != 0) return Fail(errno);
  }
  // Only a head start for Flush: a file system that cannot start it early still flushes.
  (void)sync_file_range(fileFd_, 0, 0, SYNC_FILE_RANGE_WRITE);
  return TRUE;
}

BOOL StagedFile::Flush() noexcept {
  if (fileFd_ < 0 || placed_) return Fail(EBADF);
  if (fsync(fileFd_) != 0) return Fail(errno);
  flushed_ = true;
  return TRUE;
}

BOOL StagedFile::Place(LPCSTR name, bool replace) noexcept {
  if (fileFd_ < 0 || placed_ || !flushed_) return Fail(EBADF);
  if (name == nullptr || name[0] == '\0' || std::string_view(name).find('/') != std::string::npos)
    return Fail(EINVAL);
  if (replace) {
    struct stat existing;
    if (fstatat(folderFd_, name, &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(existing.st_mode))
      return Fail(EACCES);
  }
  const long renamed = syscall(SYS_renameat2, folderFd_, tempName_.c_str(), folderFd_, name,
                               replace ? 0u : static_cast<unsigned>(RENAME_NOREPLACE));
  if (renamed != 0) return Fail(errno);
  placed_ = true;
  return TRUE;
}

BOOL StagedFile::FlushFolder() noexcept {
  if (folderFd_ < 0) return Fail(EBADF);
  return fsync(folderFd_) == 0 ? TRUE : Fail(errno);
}

void StagedFile::Discard() noexcept {
  if (fileFd_ >= 0) close(fileFd_);
  fileFd_ = -1;
  if (folderFd_ >= 0) {
    if (!placed_ && !tempName_.empty()) (void)unlinkat(folderFd_, tempName_.c_str(), 0);
    close(folderFd_);
  }
  folderFd_ = -1;
  tempName_.clear();
}
