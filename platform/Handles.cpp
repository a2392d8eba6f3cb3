// The handle table, the generic handle entry points and the helpers the named kernel objects
// share (name encoding, open-file-description locks, unix socket addresses).
#include "platform/Handles.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/AsciiCase.h"
#include "platform/LastError.h"
#include "platform/Mailslot.h"

static_assert(sizeof(SECURITY_DESCRIPTOR) == 40,
              "the descriptor block callers allocate is 40 bytes");

namespace qv::detail {
namespace {

// Windows hands out multiples of 4; keeping that makes a stray small integer unlikely to be
// a valid handle.
constexpr std::uintptr_t kFirstHandle = 0x100;
constexpr std::uintptr_t kHandleStep = 4;

struct HandleTable {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
  std::uintptr_t next = kFirstHandle;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // never destroyed: handles may outlive main
  return *table;
}

}  // namespace

DWORD KernelObject::Wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

bool KernelObject::Read(void*, DWORD, DWORD*) {
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

bool KernelObject::Write(const void*, DWORD, DWORD*) {
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) noexcept {
  if (!object) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  try {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    const std::uintptr_t value = table.next;
    table.next += kHandleStep;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) noexcept {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  const auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == table.objects.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

bool EncodeObjectName(std::string_view name, bool foldCase, size_t maxLength, std::string* out) {
  if (name.empty()) return false;
  std::string encoded;
  encoded.reserve(name.size());
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f) return false;
    if ((b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '.' || b == '_' || b == '-') {
      encoded.push_back(c);
    } else if (b >= 'A' && b <= 'Z') {
      encoded.push_back(foldCase ? ToLowerAscii(c) : c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", b);
      encoded.append(hex);
    }
    if (encoded.size() > maxLength) return false;
  }
  *out = std::move(encoded);
  return true;
}

namespace {

// Closes `fd` and returns an invalid one, keeping errno as the failure left it.
UniqueFd Failed(UniqueFd* fd) {
  const int saved = errno;
  fd->Reset();
  errno = saved;
  return UniqueFd();
}

}  // namespace

UniqueFd OpenRuntimeFile(const std::string& dir, const std::string& file, int flags) {
  const std::string path = dir + "/" + file;
  // O_NONBLOCK keeps a FIFO planted under the name from blocking the open; O_TRUNC waits
  // until the file is known to be ours.
  UniqueFd fd(open(path.c_str(), (flags & ~O_TRUNC) | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.Valid()) return fd;
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) return Failed(&fd);
  if (!S_ISREG(st.st_mode) || st.st_uid != getuid()) {
    errno = EACCES;
    return Failed(&fd);
  }
  if ((flags & O_NONBLOCK) == 0) {
    const int status = fcntl(fd.Get(), F_GETFL);
    if (status < 0 || fcntl(fd.Get(), F_SETFL, status & ~O_NONBLOCK) != 0) return Failed(&fd);
  }
  if ((flags & O_TRUNC) != 0 && ftruncate(fd.Get(), 0) != 0) return Failed(&fd);
  return fd;
}

bool FileRangeLock(int fd, short type, off_t start, off_t length, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  lock.l_pid = 0;  // required by open-file-description locks
  for (;;) {
    if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool MakeUnixAddress(const std::string& dir, const std::string& file, UnixAddress* out) {
  constexpr size_t kCapacity = sizeof(sockaddr_un::sun_path);
  out->path = dir + "/" + file;
  out->bound = out->path;
  out->dirFd.Reset();
  if (out->bound.size() >= kCapacity) {
    out->dirFd.Reset(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!out->dirFd.Valid()) return false;
    out->bound = "/proc/self/fd/" + std::to_string(out->dirFd.Get()) + "/" + file;
    if (out->bound.size() >= kCapacity) {
      out->dirFd.Reset();
      errno = ENAMETOOLONG;
      return false;
    }
  }
  return true;
}

namespace {

socklen_t FillAddress(const UnixAddress& address, sockaddr_un* out) {
  *out = {};
  out->sun_family = AF_UNIX;
  const size_t length = std::min(address.bound.size(), sizeof out->sun_path - 1);
  std::memcpy(out->sun_path, address.bound.data(), length);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + 1);
}

}  // namespace

int BindUnix(int fd, const UnixAddress& address) {
  sockaddr_un raw;
  const socklen_t length = FillAddress(address, &raw);
  return bind(fd, reinterpret_cast<const sockaddr*>(&raw), length);
}

UniqueFd BindDatagramSocket(const UnixAddress& address) {
  UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.Valid()) return socket;
  unlink(address.path.c_str());
  if (BindUnix(socket.Get(), address) != 0) {
    const int err = errno;
    socket = UniqueFd();
    errno = err;
  }
  return socket;
}

int ConnectUnix(int fd, const UnixAddress& address) {
  sockaddr_un raw;
  const socklen_t length = FillAddress(address, &raw);
  for (;;) {
    const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&raw), length);
    if (rc == 0 || errno != EINTR) return rc;
  }
}

ssize_t SendToUnix(int fd, const UnixAddress& address, const void* data, size_t size, int flags) {
  sockaddr_un raw;
  const socklen_t length = FillAddress(address, &raw);
  for (;;) {
    const ssize_t rc =
        sendto(fd, data, size, flags, reinterpret_cast<const sockaddr*>(&raw), length);
    if (rc >= 0 || errno != EINTR) return rc;
  }
}

}  // namespace qv::detail

using qv::detail::LookupHandle;

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) noexcept {
  if (descriptor == nullptr || revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SECURITY_DESCRIPTOR empty{};
  empty.Revision = static_cast<BYTE>(revision);
  std::memcpy(descriptor, &empty, sizeof empty);  // the block need not be aligned
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, void* dacl,
                               BOOL daclDefaulted) noexcept {
  if (descriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SECURITY_DESCRIPTOR sd;
  std::memcpy(&sd, descriptor, sizeof sd);
  if (sd.Revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  sd.Control = static_cast<WORD>(sd.Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  if (daclPresent) {
    sd.Control |= SE_DACL_PRESENT;
    if (daclDefaulted) sd.Control |= SE_DACL_DEFAULTED;
    sd.Dacl = dacl;
  } else {
    sd.Dacl = nullptr;
  }
  std::memcpy(descriptor, &sd, sizeof sd);
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) noexcept {
  std::shared_ptr<qv::detail::KernelObject> object;
  {
    auto& table = qv::detail::Table();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == table.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object = std::move(it->second);
    table.objects.erase(it);
  }
  // The object is released outside the table lock: closing it may wait for a thread.
  object->Closing();
  object.reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) noexcept {
  const auto object = LookupHandle(handle);
  if (!object) return WAIT_FAILED;
  try {
    return object->Wait(milliseconds);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
  }
}

HANDLE CreateFileA(LPCSTR name, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) noexcept {
  (void)shareMode;
  (void)securityAttributes;
  (void)flagsAndAttributes;
  if (name != nullptr && qv::detail::IsMailslotName(name) && templateFile == nullptr)
    return qv::detail::OpenMailslotClient(name, desiredAccess, creationDisposition);
  SetLastError(ERROR_INVALID_PARAMETER);
  return INVALID_HANDLE_VALUE;
}

namespace {

// ReadFile and WriteFile: checks the arguments, finds the object and lets `transfer` move the
// bytes. *count (optional) receives the number moved, 0 on failure.
template <class Transfer>
BOOL TransferThroughHandle(HANDLE handle, const void* buffer, DWORD size, LPDWORD count,
                           LPOVERLAPPED overlapped, Transfer&& transfer) noexcept {
  if (count != nullptr) *count = 0;
  if (overlapped != nullptr || (buffer == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto object = LookupHandle(handle);
  if (!object) return FALSE;
  try {
    DWORD done = 0;
    if (!transfer(*object, &done)) return FALSE;
    if (count != nullptr) *count = done;
    return TRUE;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

}  // namespace

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) noexcept {
  return TransferThroughHandle(handle, buffer, bytesToRead, bytesRead, overlapped,
                               [&](qv::detail::KernelObject& object, DWORD* done) {
                                 return object.Read(buffer, bytesToRead, done);
                               });
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) noexcept {
  return TransferThroughHandle(handle, buffer, bytesToWrite, bytesWritten, overlapped,
                               [&](qv::detail::KernelObject& object, DWORD* done) {
                                 return object.Write(buffer, bytesToWrite, done);
                               });
}
