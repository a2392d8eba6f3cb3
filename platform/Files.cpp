// The Win32 file functions over POSIX calls: statx for sizes and times, an extended
// attribute for the attribute bits that mode bits cannot hold, opendir snapshots for
// directory searches and renameat2 for moves that must not replace.
#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/Guarded.h"
#include "platform/LastError.h"
#include "platform/PosixIo.h"

namespace {

// Attribute bits kept in the extended attribute; a folder also keeps READONLY there.
constexpr DWORD kStoredBits = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The error for a path argument that names nothing: a null pointer is a bad parameter, an
// empty text `emptyError`. 0 when the path can be used.
DWORD PathArgumentError(LPCSTR path, DWORD emptyError = ERROR_PATH_NOT_FOUND) {
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  return path[0] == '\0' ? emptyError : 0;
}

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string ParentOf(const std::string& path) {
  const std::string p = StripTrailingSlashes(path);
  const size_t slash = p.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const std::string p = StripTrailingSlashes(path);
  const size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Win32 code for an errno from an operation on `path`: a missing entry is
// ERROR_FILE_NOT_FOUND when its folder exists, ERROR_PATH_NOT_FOUND otherwise.
// Takes the path as a pointer so that errno is read before any allocation.
DWORD PathError(int err, const char* path) {
  if (err == ENOENT)
    return IsDirectory(ParentOf(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  if (err == ENOTDIR) return ERROR_PATH_NOT_FOUND;
  if (err == ELOOP) return ERROR_ACCESS_DENIED;
  return Win32ErrorFromErrno(err);
}

BOOL FailErrno(int err, const char* path) { return Fail(PathError(err, path)); }

// What the file functions need to know of one entry, from statx where available.
struct EntryStat {
  mode_t mode = 0;
  std::uint64_t size = 0;
  struct timespec access {};
  struct timespec write {};
  struct timespec change {};
  struct timespec birth {};
  bool hasBirth = false;
};

timespec FromStatx(const statx_timestamp& t) {
  timespec ts{};
  ts.tv_sec = t.tv_sec;
  ts.tv_nsec = t.tv_nsec;
  return ts;
}

// 0 or the errno. Never follows a final symbolic link.
int StatEntry(const std::string& path, EntryStat& out) {
  struct statx stx {};
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) ==
      0) {
    out.mode = stx.stx_mode;
    out.size = stx.stx_size;
    out.access = FromStatx(stx.stx_atime);
    out.write = FromStatx(stx.stx_mtime);
    out.change = FromStatx(stx.stx_ctime);
    out.hasBirth = (stx.stx_mask & STATX_BTIME) != 0 && stx.stx_btime.tv_sec != 0;
    if (out.hasBirth) out.birth = FromStatx(stx.stx_btime);
    return 0;
  }
  if (errno != ENOSYS) return errno;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return errno;
  out.mode = st.st_mode;
  out.size = static_cast<std::uint64_t>(st.st_size);
  out.access = st.st_atim;
  out.write = st.st_mtim;
  out.change = st.st_ctim;
  return 0;
}

FILETIME ToFileTime(const timespec& ts) {
  FILETIME ft{0, 0};
  if (!UnixTimeToFileTime(ts.tv_sec, ts.tv_nsec, &ft)) ft = FILETIME{0, 0};
  return ft;
}

// The stored bits of `path`; 0 when there are none or the file system keeps no xattrs.
DWORD ReadStoredBits(const std::string& path) {
  char value[64] = {};
  const ssize_t n = getxattr(path.c_str(), kDosAttributeXattr, value, sizeof(value) - 1);
  if (n <= 2 || value[0] != '0' || (value[1] != 'x' && value[1] != 'X')) return 0;
  value[n] = '\0';
  char* end = nullptr;
  const unsigned long bits = std::strtoul(value + 2, &end, 16);
  if (end == value + 2) return 0;
  return static_cast<DWORD>(bits);
}

// 0 or the errno. A file system without user xattrs counts as success.
int WriteStoredBits(const std::string& path, DWORD bits) {
  int rc = 0;
  if (bits == 0) {
    rc = removexattr(path.c_str(), kDosAttributeXattr);
    if (rc != 0 && errno == ENODATA) return 0;
  } else {
    char value[16];
    const int n = std::snprintf(value, sizeof(value), "0x%X", static_cast<unsigned>(bits));
    rc = setxattr(path.c_str(), kDosAttributeXattr, value, static_cast<size_t>(n), 0);
  }
  if (rc == 0) return 0;
  if (errno == ENOTSUP || errno == EPERM) return 0;
  return errno;
}

DWORD StoredMaskFor(mode_t mode) {
  return S_ISDIR(mode) ? (kStoredBits | FILE_ATTRIBUTE_READONLY) : kStoredBits;
}

// The attributes the mode and the name give, without those kept beside the file.
DWORD AttributesOfMode(const std::string& name, const EntryStat& st) {
  DWORD attrs = 0;
  if (!name.empty() && name[0] == '.' && name != "." && name != "..")
    attrs |= FILE_ATTRIBUTE_HIDDEN;
  if (S_ISLNK(st.mode)) return attrs | FILE_ATTRIBUTE_REPARSE_POINT;
  if (S_ISDIR(st.mode))
    attrs |= FILE_ATTRIBUTE_DIRECTORY;
  else if (!S_ISREG(st.mode))
    attrs |= FILE_ATTRIBUTE_DEVICE;
  if ((st.mode & S_IWUSR) == 0) attrs |= FILE_ATTRIBUTE_READONLY;
  return attrs;
}

DWORD AttributesOf(const std::string& path, const std::string& name, const EntryStat& st) {
  if (S_ISLNK(st.mode)) return AttributesOfMode(name, st);
  const DWORD attrs = AttributesOfMode(name, st) | (ReadStoredBits(path) & StoredMaskFor(st.mode));
  return attrs == 0 ? FILE_ATTRIBUTE_NORMAL : attrs;
}

struct EntryInfo {
  DWORD attributes = 0;
  std::uint64_t size = 0;
  FILETIME creation{};
  FILETIME access{};
  FILETIME write{};
};

// The size and times of `path`, without its attributes; 0 or the errno.
int QuerySizeAndTimes(const std::string& path, EntryStat& st, EntryInfo& out) {
  if (const int err = StatEntry(path, st); err != 0) return err;
  out.size = S_ISREG(st.mode) ? st.size : 0;
  out.creation = ToFileTime(st.hasBirth ? st.birth : st.change);
  out.access = ToFileTime(st.access);
  out.write = ToFileTime(st.write);
  return 0;
}

// 0 or the errno.
int QueryEntry(const std::string& path, const std::string& name, EntryInfo& out) {
  EntryStat st;
  if (const int err = QuerySizeAndTimes(path, st, out); err != 0) return err;
  out.attributes = AttributesOf(path, name, st);
  return 0;
}

// The attribute, time and size fields that WIN32_FIND_DATAA and WIN32_FILE_ATTRIBUTE_DATA
// share.
template <class Data>
void FillCommonFields(const EntryInfo& entry, Data& out) {
  out.dwFileAttributes = entry.attributes;
  out.ftCreationTime = entry.creation;
  out.ftLastAccessTime = entry.access;
  out.ftLastWriteTime = entry.write;
  out.nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
  out.nFileSizeLow = static_cast<DWORD>(entry.size & 0xffffffffu);
}

// Copies `value` with its terminator into `buffer`, or returns the size needed.
DWORD CopyOut(const std::string& value, LPSTR buffer, DWORD size) {
  const std::size_t needed = value.size() + 1;
  if (needed > 0xFFFFFFFFu) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  if (buffer == nullptr || needed > size) return static_cast<DWORD>(needed);
  std::memcpy(buffer, value.c_str(), needed);
  return static_cast<DWORD>(value.size());
}

// ---- directory search ----

struct FindState {
  std::string prefix;  // folder with a trailing "/", or empty for the current folder
  std::vector<std::string> names;
  std::size_t next = 0;
};

std::mutex g_findMutex;
std::unordered_set<FindState*> g_findHandles;

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// Length of the UTF-8 sequence starting at s[i] (1 for a stray byte).
std::size_t CharLength(const std::string& s, std::size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t len = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  std::size_t n = 1;
  while (n < len && i + n < s.size() && (static_cast<unsigned char>(s[i + n]) & 0xC0) == 0x80) ++n;
  return n;
}

bool WildcardMatch(const std::string& pattern, const std::string& name) {
  if (pattern == "*" || pattern == "*.*") return true;
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starP = std::string::npos;
  std::size_t starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starN = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n += CharLength(name, n);
    } else if (p < pattern.size() && ToLowerAscii(pattern[p]) == ToLowerAscii(name[n])) {
      ++p;
      ++n;
    } else if (starP != std::string::npos) {
      p = starP;
      starN += CharLength(name, starN);
      n = starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// Fills `data` from the next entry that still exists; false at the end.
bool NextEntry(FindState& state, WIN32_FIND_DATAA* data) {
  while (state.next < state.names.size()) {
    const std::string& name = state.names[state.next++];
    if (name.size() >= MAX_PATH) continue;
    EntryInfo info;
    const std::string path = (state.prefix.empty() ? std::string("./") : state.prefix) + name;
    if (QueryEntry(path, name, info) != 0) continue;
    std::memset(data, 0, sizeof(*data));
    FillCommonFields(info, *data);
    std::memcpy(data->cFileName, name.c_str(), name.size() + 1);
    return true;
  }
  return false;
}

HANDLE FindFirst(const std::string& pattern, WIN32_FIND_DATAA* data) {
  auto state = std::make_unique<FindState>();
  const size_t slash = pattern.find_last_of('/');
  const std::string last = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  state->prefix = slash == std::string::npos ? std::string() : pattern.substr(0, slash + 1);
  if (last.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!HasWildcard(last)) {
    EntryStat st;
    if (const int err = StatEntry(pattern, st); err != 0) {
      SetLastError(PathError(err, pattern.c_str()));
      return INVALID_HANDLE_VALUE;
    }
    state->names.push_back(last);
  } else {
    const std::string folder = state->prefix.empty() ? std::string(".") : state->prefix;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
      const int err = errno;
      SetLastError(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                   : Win32ErrorFromErrno(err));
      return INVALID_HANDLE_VALUE;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
    for (const char* dot : {".", ".."})
      if (WildcardMatch(last, dot)) state->names.emplace_back(dot);
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && WildcardMatch(last, name)) state->names.push_back(name);
      errno = 0;
    }
    if (errno != 0) {
      SetLastError(Win32ErrorFromErrno(errno));
      return INVALID_HANDLE_VALUE;
    }
  }
  if (!NextEntry(*state, data)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard<std::mutex> lock(g_findMutex);
  g_findHandles.insert(state.get());
  return state.release();
}

// ---- copying ----

struct FdCloser {
  int fd;
  ~FdCloser() { close(fd); }
};

// Renames `from` onto `to` without ever replacing an existing `to`; 0 or the errno. Falls
// back to link + unlink (files) or a checked rename (folders) on file systems that do not
// support RENAME_NOREPLACE.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  struct stat st {};
  if (lstat(from.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) {
    if (link(from.c_str(), to.c_str()) == 0) {
      if (unlink(from.c_str()) == 0) return 0;
      const int err = errno;
      unlink(to.c_str());
      return err;
    }
    if (errno == EEXIST || errno == ENOENT || errno == EXDEV) return errno;
  }
  // No atomic way left: check, then rename.
  if (lstat(to.c_str(), &st) == 0) return EEXIST;
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Copies the regular file `from` to `to` through a temporary file beside `to`, then puts it
// in place (replacing `to` only when `replace`). Returns 0 or a Win32 code.
DWORD CopyRegularFile(const std::string& from, const std::string& to, bool replace) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return PathError(errno, from.c_str());
  const FdCloser inCloser{in};
  struct stat st {};
  if (fstat(in, &st) != 0) return Win32ErrorFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;

  std::string temp = ParentOf(to) + "/.qvcopy-XXXXXX";
  const int out = mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) return PathError(errno, to.c_str());
  DWORD result = 0;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = ERROR_READ_FAULT;
      break;
    }
    if (n == 0) break;
    if (const int err = qv::detail::WriteAll(out, buffer.data(), static_cast<std::size_t>(n));
        err != 0) {
      result = Win32ErrorFromErrno(err);
      break;
    }
  }
  if (result == 0) {
    char value[64];
    const ssize_t n = fgetxattr(in, kDosAttributeXattr, value, sizeof(value));
    if (n > 0) (void)fsetxattr(out, kDosAttributeXattr, value, static_cast<size_t>(n), 0);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(out, times) != 0 || fchmod(out, st.st_mode & 0777) != 0)
      result = Win32ErrorFromErrno(errno);
    // On disk before it takes the target's name, so a crash never leaves an empty target
    // where the replaced file was.
    else if (fsync(out) != 0)
      result = ERROR_WRITE_FAULT;
  }
  if (close(out) != 0 && result == 0) result = ERROR_WRITE_FAULT;
  if (result == 0) {
    const int err =
        replace ? (rename(temp.c_str(), to.c_str()) == 0 ? 0 : errno) : RenameNoReplace(temp, to);
    if (err == EEXIST)
      result = ERROR_FILE_EXISTS;
    else if (err != 0)
      result = PathError(err, to.c_str());
  }
  if (result != 0) unlink(temp.c_str());
  return result;
}

// Makes the entries of `folder` durable; true when done or when the file system cannot sync
// a folder.
bool SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const FdCloser closer{fd};
  return fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
}

bool IsReadOnlyFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
}

BOOL MoveImpl(const std::string& from, const std::string& to, DWORD flags) {
  struct stat src {};
  if (lstat(from.c_str(), &src) != 0) return FailErrno(errno, from.c_str());
  const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
  struct stat dst {};
  const bool targetExists = lstat(to.c_str(), &dst) == 0;
  if (targetExists && (src.st_dev != dst.st_dev || src.st_ino != dst.st_ino)) {
    if (!replace) return Fail(ERROR_ALREADY_EXISTS);
    if (S_ISDIR(dst.st_mode) || S_ISDIR(src.st_mode) || IsReadOnlyFile(dst))
      return Fail(ERROR_ACCESS_DENIED);
  }
  int err =
      replace ? (rename(from.c_str(), to.c_str()) == 0 ? 0 : errno) : RenameNoReplace(from, to);
  if (err == 0) return TRUE;
  if (err == EEXIST) return Fail(ERROR_ALREADY_EXISTS);
  if (err != EXDEV)
    return Fail(err == ENOENT ? PathError(err, to.c_str()) : PathError(err, from.c_str()));
  if ((flags & MOVEFILE_COPY_ALLOWED) == 0 || S_ISDIR(src.st_mode))
    return Fail(ERROR_NOT_SAME_DEVICE);
  if (!S_ISREG(src.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (const DWORD result = CopyRegularFile(from, to, replace); result != 0)
    return Fail(result == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : result);
  // The source goes only once the copy's name is on disk too; otherwise it stays, as does a
  // source that cannot be deleted (as on Windows), and the move still succeeds.
  if (SyncFolder(ParentOf(to))) (void)unlink(from.c_str());
  return TRUE;
}

// Lexical normalisation of an absolute path.
std::string Normalise(const std::string& absolute) {
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i <= absolute.size()) {
    const std::size_t slash = absolute.find('/', i);
    const std::size_t end = slash == std::string::npos ? absolute.size() : slash;
    const std::string part = absolute.substr(i, end - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = end + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  if (out.empty()) return "/";
  if (absolute.back() == '/') out += '/';
  return out;
}

std::string CurrentDirectory() {
  std::unique_ptr<char, void (*)(void*)> cwd(getcwd(nullptr, 0), std::free);
  return cwd ? std::string(cwd.get()) : std::string();
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) noexcept {
  if (const DWORD error = data == nullptr ? ERROR_INVALID_PARAMETER : PathArgumentError(pattern)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  return GuardedLastError(INVALID_HANDLE_VALUE, [&] { return FindFirst(pattern, data); });
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) noexcept {
  if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    auto* state = static_cast<FindState*>(find);
    {
      std::lock_guard<std::mutex> lock(g_findMutex);
      if (g_findHandles.count(state) == 0) return Fail(ERROR_INVALID_HANDLE);
    }
    return NextEntry(*state, data) ? TRUE : Fail(ERROR_NO_MORE_FILES);
  });
}

BOOL FindClose(HANDLE find) noexcept {
  auto* state = static_cast<FindState*>(find);
  {
    std::lock_guard<std::mutex> lock(g_findMutex);
    if (g_findHandles.erase(state) == 0) return Fail(ERROR_INVALID_HANDLE);
  }
  delete state;
  return TRUE;
}

DWORD GetFileAttributesA(LPCSTR path) noexcept {
  if (const DWORD error = PathArgumentError(path)) {
    SetLastError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  return GuardedLastError(INVALID_FILE_ATTRIBUTES, [&] {
    EntryStat st;
    if (const int err = StatEntry(path, st); err != 0) {
      SetLastError(PathError(err, path));
      return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(path, BaseName(path), st);
  });
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) noexcept {
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    struct stat st {};
    if (lstat(path, &st) != 0) return FailErrno(errno, path);
    if (S_ISLNK(st.st_mode)) return TRUE;
    const DWORD mask = StoredMaskFor(st.st_mode);
    const DWORD stored = attributes & mask;
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    const mode_t original = st.st_mode & 07777;
    mode_t mode = original;
    if (S_ISDIR(st.st_mode)) {
      if (!readOnly) mode |= S_IWUSR;
    } else if (readOnly) {
      mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    } else {
      mode |= S_IWUSR;
    }
    mode_t current = original;
    if ((ReadStoredBits(path) & mask) != stored) {
      // Changing an extended attribute needs write access to the entry itself.
      if ((current & S_IWUSR) == 0) {
        if (chmod(path, current | S_IWUSR) != 0) return FailErrno(errno, path);
        current |= S_IWUSR;
      }
      if (const int err = WriteStoredBits(path, stored); err != 0) {
        if (current != original) (void)chmod(path, original);
        return FailErrno(err, path);
      }
    }
    if (current != mode && chmod(path, mode) != 0) return FailErrno(errno, path);
    return TRUE;
  });
}

BOOL GetFileAttributesExA(LPCSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID info) noexcept {
  if (level != GetFileExInfoStandard || info == nullptr || path == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  if (path[0] == '\0') return Fail(ERROR_PATH_NOT_FOUND);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    EntryInfo entry;
    if (const int err = QueryEntry(path, BaseName(path), entry); err != 0)
      return FailErrno(err, path);
    FillCommonFields(entry, *static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(info));
    return TRUE;
  });
}

BOOL GetFileTimesA(LPCSTR path, FILETIME* creation, FILETIME* lastAccess,
                   FILETIME* lastWrite) noexcept {
  return GetFileSizeAndTimesA(path, nullptr, creation, lastAccess, lastWrite);
}

BOOL GetFileSizeAndTimesA(LPCSTR path, ULONGLONG* size, FILETIME* creation, FILETIME* lastAccess,
                          FILETIME* lastWrite) noexcept {
  if (path == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (path[0] == '\0') return Fail(ERROR_PATH_NOT_FOUND);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    EntryStat st;
    EntryInfo entry;
    if (const int err = QuerySizeAndTimes(path, st, entry); err != 0) return FailErrno(err, path);
    if (size != nullptr) *size = entry.size;
    if (creation != nullptr) *creation = entry.creation;
    if (lastAccess != nullptr) *lastAccess = entry.access;
    if (lastWrite != nullptr) *lastWrite = entry.write;
    return TRUE;
  });
}

BOOL SetFileTimesA(LPCSTR path, const FILETIME* lastAccess, const FILETIME* lastWrite) noexcept {
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  struct timespec times[2] = {};
  const FILETIME* given[2] = {lastAccess, lastWrite};
  for (int i = 0; i < 2; ++i) {
    if (given[i] == nullptr || FileTimeToTicks(*given[i]) == 0) {
      times[i].tv_nsec = UTIME_OMIT;
      continue;
    }
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    if (!FileTimeToUnixTime(given[i], &seconds, &nanoseconds)) return FALSE;
    times[i].tv_sec = static_cast<time_t>(seconds);
    times[i].tv_nsec = static_cast<long>(nanoseconds);
  }
  if (utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW) != 0)
    return GuardedLastError<BOOL>(FALSE, [&] { return FailErrno(errno, path); });
  return TRUE;
}

DWORD GetTempPathA(DWORD size, LPSTR buffer) noexcept {
  return GuardedLastError<DWORD>(0, [&] {
    const char* env = std::getenv("TMPDIR");
    std::string path = env != nullptr && env[0] != '\0' ? env : "/tmp";
    path = StripTrailingSlashes(path);
    if (path != "/") path += '/';
    return CopyOut(path, buffer, size);
  });
}

UINT GetTempFileNameA(LPCSTR folder, LPCSTR prefix, UINT unique, LPSTR out,
                      DWORD outSize) noexcept {
  if (folder == nullptr || out == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const std::string pre = prefix != nullptr ? prefix : "";
  if (pre.find('/') != std::string::npos) return Fail(ERROR_INVALID_PARAMETER);
  // Only the low 16 bits count, so a number whose low bits are 0 asks for a new file.
  unique &= 0xffffu;
  return GuardedLastError<UINT>(0, [&]() -> UINT {
    std::string base = folder[0] != '\0' ? folder : ".";
    if (base.back() != '/') base += '/';
    // Up to three characters of the prefix, never part of one.
    std::size_t cut = 0;
    for (int chars = 0; chars < 3 && cut < pre.size(); ++chars) cut += CharLength(pre, cut);
    base += pre.substr(0, cut);
    char name[16];
    if (base.size() + 4 + 4 + 1 > outSize) return Fail(ERROR_BUFFER_OVERFLOW);
    if (unique != 0) {
      std::snprintf(name, sizeof(name), "%X.tmp", unique);
      const std::string path = base + name;
      std::memcpy(out, path.c_str(), path.size() + 1);
      return unique;
    }
    std::uint16_t start = 0;
    if (getrandom(&start, sizeof(start), GRND_NONBLOCK) != sizeof(start))
      start = static_cast<std::uint16_t>(getpid() ^ time(nullptr));
    for (UINT i = 0; i < 0x10000; ++i) {
      const UINT number = (start + i) & 0xffffu;
      if (number == 0) continue;
      std::snprintf(name, sizeof(name), "%X.tmp", number);
      const std::string path = base + name;
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return FailErrno(errno, path.c_str());
      }
      close(fd);
      std::memcpy(out, path.c_str(), path.size() + 1);
      return number;
    }
    return Fail(ERROR_FILE_EXISTS);
  });
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) noexcept {
  if (from == nullptr || to == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (from[0] == '\0' || to[0] == '\0') return Fail(ERROR_PATH_NOT_FOUND);
  return GuardedLastError<BOOL>(FALSE, [&] { return MoveImpl(from, to, flags); });
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) noexcept {
  return MoveFileExA(from, to, MOVEFILE_COPY_ALLOWED);
}

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) noexcept {
  if (from == nullptr || to == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (from[0] == '\0' || to[0] == '\0') return Fail(ERROR_PATH_NOT_FOUND);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    struct stat src {};
    if (stat(from, &src) != 0) return FailErrno(errno, from);
    if (!S_ISREG(src.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    struct stat dst {};
    if (lstat(to, &dst) == 0) {
      if (failIfExists) return Fail(ERROR_FILE_EXISTS);
      if (S_ISDIR(dst.st_mode) || IsReadOnlyFile(dst)) return Fail(ERROR_ACCESS_DENIED);
    }
    const DWORD result = CopyRegularFile(from, to, !failIfExists);
    return result == 0 ? TRUE : Fail(result);
  });
}

BOOL DeleteFileA(LPCSTR path) noexcept {
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    struct stat st {};
    if (lstat(path, &st) != 0) return FailErrno(errno, path);
    if (S_ISDIR(st.st_mode) || IsReadOnlyFile(st)) return Fail(ERROR_ACCESS_DENIED);
    if (unlink(path) != 0) return FailErrno(errno, path);
    return TRUE;
  });
}

BOOL CreateDirectoryA(LPCSTR path, const void* /*securityAttributes*/) noexcept {
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  if (mkdir(path, 0777) == 0) return TRUE;
  const int err = errno;
  if (err == EEXIST) return Fail(ERROR_ALREADY_EXISTS);
  if (err == ENOENT || err == ENOTDIR) return Fail(ERROR_PATH_NOT_FOUND);
  return Fail(Win32ErrorFromErrno(err));
}

BOOL RemoveDirectoryA(LPCSTR path) noexcept {
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    const std::string p = StripTrailingSlashes(path);
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0) return FailErrno(errno, p.c_str());
    if (S_ISLNK(st.st_mode)) {
      // A link to a folder stands where a folder would; remove the link, never the target.
      if (!IsDirectory(p)) return Fail(ERROR_DIRECTORY);
      return unlink(p.c_str()) == 0 ? TRUE : FailErrno(errno, p.c_str());
    }
    if (!S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY);
    if (rmdir(p.c_str()) == 0) return TRUE;
    if (errno == ENOTEMPTY || errno == EEXIST) return Fail(ERROR_DIR_NOT_EMPTY);
    return FailErrno(errno, p.c_str());
  });
}

BOOL OverwriteFileA(LPCSTR path, const void* data, DWORD size) noexcept {
  if (PathArgumentError(path) != 0 || (data == nullptr && size != 0))
    return Fail(ERROR_INVALID_PARAMETER);
  const int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    return GuardedLastError<BOOL>(FALSE, [&] { return FailErrno(err, path); });
  }
  DWORD result = 0;
  struct stat st {};
  if (fstat(fd, &st) != 0)
    result = Win32ErrorFromErrno(errno);
  else if (!S_ISREG(st.st_mode))
    result = ERROR_ACCESS_DENIED;
  else if (ftruncate(fd, 0) != 0)
    result = Win32ErrorFromErrno(errno);
  else if (const int err = qv::detail::WriteAll(fd, data, size); err != 0)
    result = Win32ErrorFromErrno(err);
  if (close(fd) != 0 && result == 0) result = ERROR_WRITE_FAULT;
  return result == 0 ? TRUE : Fail(result);
}

BOOL SetCurrentDirectoryA(LPCSTR path) noexcept {
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  if (chdir(path) == 0) return TRUE;
  const int err = errno;
  if (err == ENOTDIR && !IsDirectory(path)) {
    struct stat st {};
    if (stat(path, &st) == 0) return Fail(ERROR_DIRECTORY);
  }
  return GuardedLastError<BOOL>(FALSE, [&] { return FailErrno(err, path); });
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) noexcept {
  return GuardedLastError<DWORD>(0, [&]() -> DWORD {
    const std::string cwd = CurrentDirectory();
    if (cwd.empty()) {
      SetLastError(Win32ErrorFromErrno(errno));
      return 0;
    }
    return CopyOut(cwd, buffer, size);
  });
}

DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* filePart) noexcept {
  if (const DWORD error = PathArgumentError(name, ERROR_INVALID_NAME)) return Fail(error);
  return GuardedLastError<DWORD>(0, [&]() -> DWORD {
    std::string absolute = name;
    if (absolute[0] != '/') {
      const std::string cwd = CurrentDirectory();
      if (cwd.empty()) {
        SetLastError(Win32ErrorFromErrno(errno));
        return 0;
      }
      absolute = cwd + "/" + absolute;
    }
    const std::string full = Normalise(absolute);
    const DWORD result = CopyOut(full, buffer, size);
    // Only a filled buffer has a last component to point at; a size query leaves it alone.
    if (filePart != nullptr && buffer != nullptr && result != 0 && result < size) {
      *filePart = full.back() == '/' ? nullptr : buffer + full.find_last_of('/') + 1;
    }
    return result;
  });
}

DWORD GetLongPathNameA(LPCSTR shortPath, LPSTR longPath, DWORD size) noexcept {
  if (const DWORD error = PathArgumentError(shortPath)) return Fail(error);
  return GuardedLastError<DWORD>(0, [&]() -> DWORD {
    const std::string path = shortPath;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
      SetLastError(PathError(errno, path.c_str()));
      return 0;
    }
    return CopyOut(path, longPath, size);
  });
}

DWORD GetFinalPathNameA(LPCSTR path, LPSTR finalPath, DWORD size) noexcept {
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  return GuardedLastError<DWORD>(0, [&]() -> DWORD {
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr) {
      SetLastError(PathError(errno, path));
      return 0;
    }
    const std::string result = resolved;
    free(resolved);
    return CopyOut(result, finalPath, size);
  });
}

// ---- Durability and whole folders ----

namespace {

// Removes the entry `name` of the open folder `dirFd`, descending into folders through
// descriptors so that a link swapped in meanwhile is never followed. 0 or an errno.
int RemoveEntryAt(int dirFd, const char* name) {
  if (unlinkat(dirFd, name, 0) == 0) return 0;
  if (errno != EISDIR && errno != EPERM) return errno;
  const int child = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (child < 0) return errno;
  DIR* listing = fdopendir(child);
  if (listing == nullptr) {
    const int error = errno;
    close(child);
    return error;
  }
  int error = 0;
  std::vector<std::string> names;
  while (dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  for (const std::string& entry : names)
    if (const int failed = RemoveEntryAt(dirfd(listing), entry.c_str()); failed != 0)
      error = failed;
  closedir(listing);
  if (error != 0) return error;
  return unlinkat(dirFd, name, AT_REMOVEDIR) == 0 ? 0 : errno;
}

}  // namespace

BOOL FlushPathBuffersA(LPCSTR path) noexcept {
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      // A link is its own entry: flushing the folder that holds it keeps its name.
      if (errno != ELOOP) return FailErrno(errno, path);
      const std::string parent =
          std::string(path).substr(0, std::string(path).find_last_of('/') + 1);
      return FlushPathBuffersA(parent.empty() ? "." : parent.c_str());
    }
    const int result = fsync(fd);
    const int error = errno;
    close(fd);
    return result == 0 ? TRUE : FailErrno(error, path);
  });
}

BOOL FlushVolumeOfPathA(LPCSTR path) noexcept {
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return FailErrno(errno, path);
    const int result = syncfs(fd);
    const int error = errno;
    close(fd);
    return result == 0 ? TRUE : FailErrno(error, path);
  });
}

BOOL CreateUniqueDirectoryA(LPCSTR parent, LPCSTR prefix, LPSTR out, DWORD outSize) noexcept {
  if (const DWORD error = PathArgumentError(parent)) return Fail(error);
  if (prefix == nullptr || std::strchr(prefix, '/') != nullptr || out == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    std::string base = parent;
    if (base.back() != '/') base += '/';
    std::string candidate = base + prefix + "XXXXXX";
    if (candidate.size() + 1 > outSize) return Fail(ERROR_BUFFER_OVERFLOW);
    if (mkdtemp(candidate.data()) == nullptr)
      return errno == ENOENT ? Fail(ERROR_PATH_NOT_FOUND) : FailErrno(errno, parent);
    std::memcpy(out, candidate.c_str(), candidate.size() + 1);
    return TRUE;
  });
}

BOOL DeleteFolderTreeA(LPCSTR path) noexcept {
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    const std::string p = StripTrailingSlashes(path);
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0) return FailErrno(errno, p.c_str());
    if (!S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY);
    const std::size_t slash = p.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : p.substr(0, slash);
    const std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    const int parentFd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0) return FailErrno(errno, parent.c_str());
    const int error = RemoveEntryAt(parentFd, name.c_str());
    close(parentFd);
    return error == 0 ? TRUE : FailErrno(error, p.c_str());
  });
}

// ---- Folders held open ----

namespace {

FILE_IDENTITY IdentityOf(const struct stat& st) {
  FILE_IDENTITY identity;
  identity.volume = static_cast<ULONGLONG>(st.st_dev);
  identity.index = static_cast<ULONGLONG>(st.st_ino);
  identity.size = static_cast<ULONGLONG>(st.st_size);
  identity.writeNs = static_cast<LONGLONG>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  identity.changeNs = static_cast<LONGLONG>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return identity;
}

// The path that reaches descriptor `fd` (a folder: its entries follow a "/").
std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Immutable or append-only: not even the owner may delete it.
bool IsLockedDown(int fd) {
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return false;  // no such flags here
  return (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

}  // namespace

BOOL GetFileIdentityA(LPCSTR path, FILE_IDENTITY* identity) noexcept {
  if (identity == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  struct stat st {};
  if (stat(path, &st) != 0) return Fail(Win32ErrorFromErrno(errno));
  *identity = IdentityOf(st);
  return TRUE;
}

OpenedFile::OpenedFile(OpenedFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

OpenedFile& OpenedFile::operator=(OpenedFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

OpenedFile::~OpenedFile() {
  if (fd_ >= 0) close(fd_);
}

BOOL OpenedFile::Open(LPCSTR path) noexcept {
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  return OpenAt(AT_FDCWD, path);
}

BOOL OpenedFile::OpenAt(int folderFd, LPCSTR name) noexcept {
  const int fd = openat(folderFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Fail(errno == ELOOP ? ERROR_ACCESS_DENIED : Win32ErrorFromErrno(errno));
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  return TRUE;
}

void OpenedFile::StartWriteBack() const noexcept {
  if (fd_ >= 0) (void)sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

BOOL OpenedFile::GetIdentity(FILE_IDENTITY* identity) const noexcept {
  struct stat st {};
  if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
  if (fstat(fd_, &st) != 0) return Fail(Win32ErrorFromErrno(errno));
  *identity = IdentityOf(st);
  return TRUE;
}

std::string OpenedFile::ReopenPath() const {
  if (fd_ < 0) return {};
  std::string path = DescriptorPath(fd_);
  // Whether /proc names this process's descriptors (it may be missing, or of another pid
  // namespace) holds for the whole process: looked up once, not for every file of a walk.
  static const bool descriptorPathsWork = access(path.c_str(), F_OK) == 0;
  return descriptorPathsWork ? path : std::string();
}

FolderHandle::FolderHandle(FolderHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FolderHandle::~FolderHandle() {
  if (fd_ >= 0) close(fd_);
}

BOOL FolderHandle::Open(LPCSTR path) noexcept {
  if (const DWORD error = PathArgumentError(path)) return Fail(error);
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return errno == ELOOP || errno == ENOTDIR ? Fail(ERROR_DIRECTORY) : FailErrno(errno, path);
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  return TRUE;
}

BOOL FolderHandle::OpenSubfolder(LPCSTR name, FolderHandle* subfolder) const noexcept {
  if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
  if (const DWORD error = PathArgumentError(name, ERROR_INVALID_NAME)) return Fail(error);
  const int fd = openat(fd_, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return Fail(errno == ELOOP || errno == ENOTDIR ? ERROR_DIRECTORY : Win32ErrorFromErrno(errno));
  if (subfolder->fd_ >= 0) close(subfolder->fd_);
  subfolder->fd_ = fd;
  return TRUE;
}

BOOL FolderHandle::OpenFile(LPCSTR name, OpenedFile* file) const noexcept {
  if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
  if (const DWORD error = PathArgumentError(name, ERROR_INVALID_NAME)) return Fail(error);
  return file->OpenAt(fd_, name);
}

BOOL FolderHandle::List(std::vector<FOLDER_ENTRY>* entries) const noexcept {
  return List(entries, true);
}

BOOL FolderHandle::ListTypes(std::vector<FOLDER_ENTRY>* entries) const noexcept {
  return List(entries, false);
}

BOOL FolderHandle::List(std::vector<FOLDER_ENTRY>* entries, bool storedBits) const noexcept {
  if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    // A listing of its own: reading through this descriptor would move its position.
    const int listed = openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listed < 0) return Fail(Win32ErrorFromErrno(errno));
    DIR* listing = fdopendir(listed);
    if (listing == nullptr) {
      close(listed);
      return Fail(Win32ErrorFromErrno(errno));
    }
    const std::string base = DescriptorPath(fd_) + "/";
    std::vector<FOLDER_ENTRY> found;
    while (dirent* entry = readdir(listing)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      struct stat st {};
      if (fstatat(fd_, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
      EntryStat entryStat;
      entryStat.mode = st.st_mode;
      FOLDER_ENTRY item;
      item.name = entry->d_name;
      if (storedBits) {
        item.attributes = AttributesOf(base + item.name, item.name, entryStat);
      } else {
        const DWORD attributes = AttributesOfMode(item.name, entryStat);
        item.attributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
      }
      item.identity = IdentityOf(st);
      found.push_back(std::move(item));
    }
    closedir(listing);
    *entries = std::move(found);
    return TRUE;
  });
}

BOOL FolderHandle::GetIdentity(FILE_IDENTITY* identity) const noexcept {
  struct stat st {};
  if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
  if (fstat(fd_, &st) != 0) return Fail(Win32ErrorFromErrno(errno));
  *identity = IdentityOf(st);
  return TRUE;
}

BOOL FolderHandle::CanDelete(LPCSTR name) const noexcept {
  DeletionRules rules;
  return CanDelete(name, &rules);
}

BOOL FolderHandle::CanDelete(LPCSTR name, DeletionRules* rules) const noexcept {
  if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
  if (const DWORD error = PathArgumentError(name, ERROR_INVALID_NAME)) return Fail(error);
  if (!rules->read) {
    struct stat folder {};
    if (fstat(fd_, &folder) != 0) return Fail(Win32ErrorFromErrno(errno));
    rules->refusal = faccessat(fd_, ".", W_OK | X_OK, AT_EACCESS) != 0 || IsLockedDown(fd_)
                         ? ERROR_ACCESS_DENIED
                         : 0;
    rules->sticky = (folder.st_mode & S_ISVTX) != 0;
    rules->owner = folder.st_uid;
    rules->me = geteuid();
    rules->read = true;
  }
  // One call tells the entry's owner and, where the file system reports them, its flags.
  struct statx entry {};
  if (statx(fd_, name, AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_UID, &entry) != 0)
    return Fail(Win32ErrorFromErrno(errno));
  if (rules->refusal != 0) return Fail(rules->refusal);
  if (rules->sticky && rules->me != 0 && entry.stx_uid != rules->me && rules->owner != rules->me)
    return Fail(ERROR_ACCESS_DENIED);
  if (S_ISLNK(entry.stx_mode)) return TRUE;
  constexpr std::uint64_t kLockFlags = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
  if ((entry.stx_attributes_mask & kLockFlags) == kLockFlags)
    return (entry.stx_attributes & kLockFlags) != 0 ? Fail(ERROR_ACCESS_DENIED) : TRUE;
  const int fd = openat(fd_, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  // An entry that cannot be opened (no read access) can still be deleted; only its flags
  // stay unknown, and the delete reports them if they stop it.
  if (fd >= 0) {
    const bool locked = IsLockedDown(fd);
    close(fd);
    if (locked) return Fail(ERROR_ACCESS_DENIED);
  }
  return TRUE;
}

BOOL FolderHandle::DeleteFileIfUnchanged(LPCSTR name,
                                         const FILE_IDENTITY& expected) const noexcept {
  if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
  if (const DWORD error = PathArgumentError(name, ERROR_INVALID_NAME)) return Fail(error);
  return GuardedLastError<BOOL>(FALSE, [&]() -> BOOL {
    // Read access lets a write that slips in after the check be put back; a file that cannot
    // be read is checked through a descriptor that only names it.
    int fd = openat(fd_, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool readable = fd >= 0;
    if (!readable) fd = openat(fd_, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return Fail(Win32ErrorFromErrno(errno));
    const qv::detail::UniqueFd held(fd);
    struct stat st {};
    if (fstat(fd, &st) != 0) return Fail(Win32ErrorFromErrno(errno));
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (IdentityOf(st) != expected) return Fail(ERROR_SHARING_VIOLATION);
    if (unlinkat(fd_, name, 0) != 0) return Fail(Win32ErrorFromErrno(errno));
    // A writer may have got in between the check and the delete: what it wrote comes back
    // under the name rather than going with the file.
    if (fstat(fd, &st) != 0 || !readable ||
        (IdentityOf(st).size == expected.size && IdentityOf(st).writeNs == expected.writeNs))
      return TRUE;
    const int restored =
        openat(fd_, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 07777);
    if (restored >= 0) {
      const qv::detail::UniqueFd out(restored);
      char buffer[65536];
      off_t offset = 0;
      for (;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, offset);
        if (n <= 0 || qv::detail::WriteAll(out.Get(), buffer, static_cast<size_t>(n)) != 0) break;
        offset += n;
      }
    }
    return Fail(ERROR_SHARING_VIOLATION);
  });
}

BOOL FolderHandle::RemoveSubfolder(LPCSTR name) const noexcept {
  if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
  if (const DWORD error = PathArgumentError(name, ERROR_INVALID_NAME)) return Fail(error);
  if (unlinkat(fd_, name, AT_REMOVEDIR) != 0)
    return Fail(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY
                                                      : Win32ErrorFromErrno(errno));
  return TRUE;
}
