// File handling of the library over POSIX calls (see FileIo.h). New outputs are unnamed
// O_TMPFILE files linked into place through /proc/self/fd, which fails rather than replaces
// when the name exists; where the file system has no unnamed files, a hidden temporary name
// is linked (or renamed with RENAME_NOREPLACE) instead.
#include "suite/qvfsdll/FileIo.h"

#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/FileAccess.h"

namespace qvfs {

namespace {

constexpr std::size_t kCopyBufferSize = 1u << 20;

// Whether /proc is mounted does not change while the process runs: asked once.
bool HasProcFd() {
  static const bool has = access("/proc/self/fd", X_OK) == 0;
  return has;
}

// Whether new outputs start as unnamed files. A test copy of the library is built without
// them, so that the path taken on file systems that lack them runs in tests as well.
#ifdef QV_OUTPUTS_WITHOUT_TMPFILE
constexpr bool kUnnamedOutputs = false;
#else
constexpr bool kUnnamedOutputs = true;
#endif

void SyncFolder(const std::string& folder) {
  const FileDescriptor fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The data itself is already on the disk; a folder that cannot be flushed only delays when
  // its new name survives a crash.
  if (fd.valid()) (void)fsync(fd.get());
}

DWORD CopyPayload(int from, std::uint64_t offset, int to) {
  auto in = static_cast<off_t>(offset);
  for (;;) {
    const ssize_t copied = copy_file_range(from, &in, to, nullptr, 1u << 30, 0);
    if (copied == 0) return StatusSuccess;
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
    return WriteFailure(errno);
  }
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kCopyBufferSize]);
  for (;;) {
    const ssize_t got = pread(from, buffer.get(), kCopyBufferSize, in);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return StatusSourceInUse;
    if (got == 0) return StatusSuccess;
    if (!WriteFull(to, buffer.get(), static_cast<std::size_t>(got))) return WriteFailure(errno);
    in += got;
  }
}

}  // namespace

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) close(fd_);
}

ssize_t ReadFull(int fd, void* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = read(fd, static_cast<std::uint8_t*>(buffer) + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

bool WriteFull(int fd, const void* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = write(fd, static_cast<const std::uint8_t*>(data) + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

DWORD WriteFailure(int error) noexcept {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EIO:
      return StatusFileAccessError;
    default:
      return StatusDestinationInUse;
  }
}

DWORD OpenSource(const char* path, int* fd, mode_t* mode) {
  if (path == nullptr || path[0] == '\0') return StatusSourceInUse;
  RegularFile source;
  if (!source.OpenForReading(path)) return StatusSourceInUse;
  // Read-ahead advice is for files longer than a few reads; a small file is read at once.
  constexpr std::uint64_t kAdviseFrom = 1 << 20;
  if (source.SizeWhenOpened() > kAdviseFrom)
    (void)posix_fadvise(source.Descriptor(), 0, 0, POSIX_FADV_SEQUENTIAL);
  if (mode != nullptr) *mode = source.ModeWhenOpened() & 0777;  // never set-id bits on a new file
  *fd = source.ReleaseDescriptor();
  return StatusSuccess;
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) close(fd_);
  if (!done_ && !tempPath_.empty()) unlink(tempPath_.c_str());
  if (!done_ && named_) unlink(path_.c_str());
}

DWORD OutputFile::Create(const std::string& path, std::optional<mode_t> narrowedMode) {
  path_ = path;
  narrowedMode_ = narrowedMode;
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) return StatusDestinationExists;
  if (errno != ENOENT) return StatusDestinationInUse;
  if (kUnnamedOutputs && HasProcFd()) {
    // Made with its final mode, which the kernel narrows as for every new file; nobody can
    // open it by a name before it is published.
    fd_ = open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
               narrowedMode ? *narrowedMode : 0600);
    if (fd_ >= 0) {
      madeNarrowed_ = narrowedMode.has_value();
      return StatusSuccess;
    }
  }
  return CreateNamed();
}

DWORD OutputFile::CreateInOwnFolder(const std::string& path, mode_t narrowedMode) {
  path_ = path;
  narrowedMode_ = narrowedMode;
  fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, narrowedMode);
  if (fd_ < 0) return errno == EEXIST ? StatusDestinationExists : StatusDestinationInUse;
  named_ = true;
  madeNarrowed_ = true;
  return StatusSuccess;
}

DWORD OutputFile::CreateReplacement(const std::string& path) {
  path_ = path;
  return CreateNamed();
}

DWORD OutputFile::CreateNamed() {
  std::string name = NameOf(path_);
  if (name.size() > 200) name.resize(200);
  const std::string folder = FolderOf(path_);
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".qvtmp-%08x", randombytes_random());
    std::string candidate = folder + "/." + name + suffix;
    fd_ = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0) {
      tempPath_ = std::move(candidate);
      return StatusSuccess;
    }
    if (errno != EEXIST) break;
  }
  return StatusDestinationInUse;
}

DWORD OutputFile::Flush(std::optional<mode_t> mode, bool toDisk) {
  if (fd_ < 0 || done_) return StatusDestinationInUse;
  if ((mode && fchmod(fd_, *mode) != 0) || (toDisk && fsync(fd_) != 0)) return WriteFailure(errno);
  return StatusSuccess;
}

DWORD OutputFile::PublishNarrowed(bool flush) {
  if (!narrowedMode_) return StatusDestinationInUse;
  // Made with that mode, the kernel narrowed it; a named temporary file was made private and
  // is narrowed here as creation would have.
  if (madeNarrowed_) return Publish(std::nullopt, flush);
  return Publish(*narrowedMode_ & ~CurrentUmask(), flush);
}

DWORD OutputFile::Publish(std::optional<mode_t> mode, bool flush) {
  if (const DWORD status = Flush(mode, flush); status != StatusSuccess) return status;
  // A file made under its name (CreateInOwnFolder) has it already.
  if (!named_)
    if (const DWORD status = TakeName(); status != StatusSuccess) return status;
  done_ = true;
  if (flush) SyncFolder(FolderOf(path_));
  return StatusSuccess;
}

DWORD OutputFile::TakeName() {
  if (tempPath_.empty()) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
    if (linkat(AT_FDCWD, self, AT_FDCWD, path_.c_str(), AT_SYMLINK_FOLLOW) != 0)
      return errno == EEXIST ? StatusDestinationExists : WriteFailure(errno);
  } else if (link(tempPath_.c_str(), path_.c_str()) == 0) {
    unlink(tempPath_.c_str());
  } else {
    if (errno == EEXIST) return StatusDestinationExists;
    // File systems without hard links still move a name without replacing.
    if (renameat2(AT_FDCWD, tempPath_.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE) != 0)
      return errno == EEXIST ? StatusDestinationExists : StatusDestinationInUse;
  }
  return StatusSuccess;
}

DWORD OutputFile::Replace(mode_t mode) {
  if (tempPath_.empty()) return StatusDestinationInUse;
  if (const DWORD status = Flush(mode); status != StatusSuccess) return status;
  if (rename(tempPath_.c_str(), path_.c_str()) != 0) return StatusDestinationInUse;
  done_ = true;
  SyncFolder(FolderOf(path_));
  return StatusSuccess;
}

DWORD ReadHeader(int fd, Family family, KeyHeader* header, std::uint32_t* headerLength) {
  std::uint8_t prelude[kPreludeSize];
  const ssize_t got = pread(fd, prelude, sizeof prelude, 0);
  if (got < 0) return StatusSourceInUse;
  std::uint32_t length = 0;
  if (const DWORD status =
          CheckPrelude(std::span(prelude, static_cast<std::size_t>(got)), family, &length);
      status != StatusSuccess)
    return status;
  std::vector<std::uint8_t> bytes(length);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t part = pread(fd, bytes.data() + done, length - done, static_cast<off_t>(done));
    if (part < 0 && errno == EINTR) continue;
    if (part < 0) return StatusSourceInUse;
    // The file ends inside its header: it was cut, which is damage, not an empty file.
    if (part == 0) return StatusFileCrcError;
    done += static_cast<std::size_t>(part);
  }
  return Decode(bytes, family, header, headerLength);
}

DWORD ReadHeaderAt(const char* path, Family family, KeyHeader* header,
                   std::uint32_t* headerLength) {
  int fd = -1;
  if (const DWORD status = OpenSource(path, &fd, nullptr); status != StatusSuccess) return status;
  const FileDescriptor owned(fd);
  return ReadHeader(fd, family, header, headerLength);
}

DWORD RewriteHeader(const std::string& path, const std::vector<std::uint8_t>& header,
                    std::uint32_t oldLength) {
  return RewriteFile(path, header, oldLength,
                     [&](int in, int out) { return CopyPayload(in, oldLength, out); });
}

DWORD RewriteFile(const std::string& givenPath, const std::vector<std::uint8_t>& header,
                  std::uint32_t oldLength, const std::function<DWORD(int in, int out)>& payload) {
  // A link to the file keeps pointing at it: the file itself is replaced.
  char* real = realpath(givenPath.c_str(), nullptr);
  const std::string path = real != nullptr ? std::string(real) : givenPath;
  std::free(real);
  int fd = -1;
  mode_t mode = 0;
  if (const DWORD status = OpenSource(path.c_str(), &fd, &mode); status != StatusSuccess)
    return status;
  const FileDescriptor source(fd);
  OutputFile out;
  if (const DWORD status = out.CreateReplacement(path); status != StatusSuccess) return status;
  if (!WriteFull(out.fd(), header.data(), header.size())) return WriteFailure(errno);
  if (lseek(fd, oldLength, SEEK_SET) < 0) return StatusSourceInUse;
  if (const DWORD status = payload(fd, out.fd()); status != StatusSuccess) return status;
  return out.Replace(mode);
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace qvfs
