// Regular files by path and folders' exact modes and times (see FileAccess.h).
#include "platform/FileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "platform/LastError.h"
#include "platform/PosixIo.h"

namespace {

BOOL FailWithErrno(int error) noexcept {
  SetLastError(Win32ErrorFromErrno(error));
  return FALSE;
}

BOOL Fail(DWORD error) noexcept {
  SetLastError(error);
  return FALSE;
}

}  // namespace

RegularFile::RegularFile(RegularFile&& other) noexcept = default;
RegularFile& RegularFile::operator=(RegularFile&& other) noexcept = default;
RegularFile::~RegularFile() = default;

BOOL RegularFile::OpenForReading(LPCSTR path) noexcept {
  fd_.Reset();
  if (path == nullptr || path[0] == '\0') return Fail(ERROR_PATH_NOT_FOUND);
  qv::detail::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.Valid()) return FailWithErrno(errno);
  struct stat st {};
  // The only status flag the open set is O_NONBLOCK, so clearing all of them clears it.
  if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd.Get(), F_SETFL, 0) != 0)
    return Fail(ERROR_ACCESS_DENIED);
  fd_ = std::move(fd);
  size_ = static_cast<std::uint64_t>(st.st_size);
  mode_ = st.st_mode & 07777;
  return TRUE;
}

BOOL RegularFile::OpenForWriting(LPCSTR path, bool append) noexcept {
  fd_.Reset();
  if (path == nullptr || path[0] == '\0') return Fail(ERROR_PATH_NOT_FOUND);
  // Not truncated by the open: only once it is known to be a regular file.
  qv::detail::UniqueFd fd(open(
      path,
      O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | (append ? O_APPEND : 0),
      0666));
  if (!fd.Valid()) return errno == ELOOP ? Fail(ERROR_ACCESS_DENIED) : FailWithErrno(errno);
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      fcntl(fd.Get(), F_SETFL, append ? O_APPEND : 0) != 0)
    return Fail(ERROR_ACCESS_DENIED);
  if (!append && st.st_size != 0 && ftruncate(fd.Get(), 0) != 0) return FailWithErrno(errno);
  fd_ = std::move(fd);
  size_ = append ? static_cast<std::uint64_t>(st.st_size) : 0;
  mode_ = st.st_mode & 07777;
  return TRUE;
}

BOOL RegularFile::CreateNew(LPCSTR path) noexcept {
  fd_.Reset();
  if (path == nullptr || path[0] == '\0') return Fail(ERROR_PATH_NOT_FOUND);
  qv::detail::UniqueFd fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
  if (!fd.Valid()) return FailWithErrno(errno);
  fd_ = std::move(fd);
  size_ = 0;
  mode_ = 0;
  return TRUE;
}

long long RegularFile::Read(void* buffer, std::size_t size) noexcept {
  if (!fd_.Valid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = read(fd_.Get(), static_cast<char*>(buffer) + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      SetLastError(Win32ErrorFromErrno(errno));
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<long long>(done);
}

long long RegularFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) noexcept {
  if (!fd_.Valid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd_.Get(), static_cast<char*>(buffer) + done, size - done,
                              static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      SetLastError(Win32ErrorFromErrno(errno));
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<long long>(done);
}

BOOL RegularFile::Write(const void* data, std::size_t size) noexcept {
  if (!fd_.Valid()) return Fail(ERROR_INVALID_HANDLE);
  const int error = qv::detail::WriteAll(fd_.Get(), data, size);
  return error == 0 ? TRUE : FailWithErrno(error);
}

BOOL RegularFile::SetPermissions(DWORD mode) noexcept {
  if (!fd_.Valid()) return Fail(ERROR_INVALID_HANDLE);
  return fchmod(fd_.Get(), static_cast<mode_t>(mode & 07777)) == 0 ? TRUE : FailWithErrno(errno);
}

BOOL RegularFile::Close() noexcept {
  if (!fd_.Valid()) return Fail(ERROR_INVALID_HANDLE);
  return close(fd_.Release()) == 0 ? TRUE : FailWithErrno(errno);
}

int RegularFile::ReleaseDescriptor() noexcept { return fd_.Release(); }

BOOL GetFolderModeAndTimes(LPCSTR path, FolderModeAndTimes* out) noexcept {
  struct stat st {};
  if (path == nullptr || out == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (lstat(path, &st) != 0) return FailWithErrno(errno);
  if (!S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY);
  out->mode = static_cast<std::uint16_t>(st.st_mode & 0777);
  out->modified = st.st_mtim;
  out->accessed = st.st_atim;
  return TRUE;
}

BOOL SetFolderModeAndTimes(LPCSTR base, const std::vector<std::string>& parts,
                           const std::uint16_t* mode, const timespec* modified,
                           const timespec* accessed) noexcept {
  if (base == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  constexpr int kFolderOnly = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  qv::detail::UniqueFd fd(open(base, kFolderOnly));
  for (const std::string& part : parts) {
    if (!fd.Valid()) break;
    fd = qv::detail::UniqueFd(openat(fd.Get(), part.c_str(), kFolderOnly));
  }
  if (!fd.Valid()) return Fail(ERROR_DIRECTORY);
  bool done = true;
  if (mode != nullptr) done = fchmod(fd.Get(), *mode) == 0;
  if (modified != nullptr || accessed != nullptr) {
    timespec times[2] = {};
    times[0] = accessed != nullptr ? *accessed : timespec{0, UTIME_OMIT};
    times[1] = modified != nullptr ? *modified : timespec{0, UTIME_OMIT};
    done = futimens(fd.Get(), times) == 0 && done;
  }
  return done ? TRUE : FailWithErrno(errno);
}

mode_t CurrentUmask() noexcept {
  constexpr mode_t kStrictest = 077;
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return kStrictest;
  mode_t mask = kStrictest;
  char line[256];
  unsigned value = 0;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::sscanf(line, "Umask: %o", &value) == 1) {
      mask = static_cast<mode_t>(value & 0777);
      break;
    }
  std::fclose(status);
  return mask;
}
