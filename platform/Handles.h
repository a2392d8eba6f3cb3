// Kernel object handles: the table that turns HANDLE values into objects (mutexes, mailslot
// servers and mailslot clients), CloseHandle, WaitForSingleObject and the generic
// CreateFileA / ReadFile / WriteFile entry points, plus the pieces the named objects share:
// name encoding, open-file-description locks and socket addresses in the runtime folder.
//
// Handle values are small distinct integers, never null and never INVALID_HANDLE_VALUE, and
// are not reused within a process, so a handle used after CloseHandle fails cleanly with
// ERROR_INVALID_HANDLE. A forked child sees a copy of the table whose objects stay the
// parent's; until it execs (every descriptor is close-on-exec) or ends, it also keeps the
// parent's named objects held, as an inherited handle would on Windows.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/PosixIo.h"
#include "platform/WinTypes.h"

inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
inline constexpr DWORD WAIT_ABANDONED = 0x00000080;
inline constexpr DWORD WAIT_TIMEOUT = 0x00000102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// Access, sharing and disposition values of CreateFileA (the attribute values are in Files.h).
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD FILE_SHARE_READ = 0x00000001;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
inline constexpr DWORD FILE_SHARE_DELETE = 0x00000004;
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;

// Security attributes and descriptors are accepted for source compatibility. Every named
// object lives in the user's private runtime folder, which is the only access rule there is;
// a descriptor's contents are never consulted.
struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using PSECURITY_DESCRIPTOR = void*;
struct SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  WORD Control;
  void* Owner;
  void* Group;
  void* Sacl;
  void* Dacl;
};
inline constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
inline constexpr DWORD SECURITY_DESCRIPTOR_MIN_LENGTH = sizeof(SECURITY_DESCRIPTOR);
inline constexpr WORD SE_DACL_PRESENT = 0x0004;
inline constexpr WORD SE_DACL_DEFAULTED = 0x0008;

// Fills a SECURITY_DESCRIPTOR_MIN_LENGTH block (any alignment) with an empty descriptor.
[[nodiscard]] QV_API BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor,
                                                       DWORD revision) noexcept;
// Records the access list in the descriptor (a null list means "everyone"); see above.
[[nodiscard]] QV_API BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor,
                                                    BOOL daclPresent, void* dacl,
                                                    BOOL daclDefaulted) noexcept;

// Asynchronous I/O is not offered: every OVERLAPPED* argument must be null.
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

// Closes a handle of this table. FALSE with ERROR_INVALID_HANDLE for anything else.
QV_API BOOL CloseHandle(HANDLE handle) noexcept;

// Waits for a mutex (the only waitable object so far): WAIT_OBJECT_0 when the calling thread
// now owns it, WAIT_ABANDONED when it owns it and the previous owner ended without releasing
// it, WAIT_TIMEOUT when `milliseconds` (INFINITE: no limit) passed first, WAIT_FAILED with
// the last error set otherwise.
QV_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) noexcept;

// Opens an existing object by name. Only local mailslot names ("\\.\mailslot\NAME") are
// supported so far: OPEN_EXISTING with GENERIC_WRITE gives a client handle that WriteFile
// sends messages through (ERROR_FILE_NOT_FOUND when no server has the mailslot). Any other
// name fails with ERROR_INVALID_PARAMETER until the file layer extends this entry point.
// INVALID_HANDLE_VALUE on failure.
QV_API HANDLE CreateFileA(LPCSTR name, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile) noexcept;

// Reads from or writes to the object behind a handle (mailslot server / client so far).
// `overlapped` must be null. *bytesRead / *bytesWritten (optional) receive the count, 0 on
// failure.
[[nodiscard]] QV_API BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead,
                                   LPDWORD bytesRead, LPOVERLAPPED overlapped) noexcept;
[[nodiscard]] QV_API BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite,
                                    LPDWORD bytesWritten, LPOVERLAPPED overlapped) noexcept;

// Shared by the platform's kernel objects; not for product code.
namespace qv::detail {

// An object behind a HANDLE. Operations an object does not support fail with
// ERROR_INVALID_HANDLE, as Windows answers a call on the wrong kind of handle.
class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject() = default;

  // Called by CloseHandle before the table lets go of the object: wakes threads that are
  // blocked on it (their calls then fail) while they still hold a reference.
  virtual void Closing() {}
  virtual DWORD Wait(DWORD milliseconds);
  // Both set the last error themselves on failure.
  virtual bool Read(void* buffer, DWORD size, DWORD* done);
  virtual bool Write(const void* buffer, DWORD size, DWORD* done);
};

// Adds an object to the table; null with the last error set when that fails.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object) noexcept;
// The object of a handle, or null with ERROR_INVALID_HANDLE.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) noexcept;
// The object of a handle as a T, or null with ERROR_INVALID_HANDLE (also for a handle of
// another kind, as Windows answers a call on the wrong kind of handle).
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) noexcept {
  auto object = std::dynamic_pointer_cast<T>(LookupHandle(handle));
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

// Turns an object name into a file-name component of the runtime folder: letters, digits,
// '.', '_' and '-' stay (letters lower-cased when `foldCase`), every other byte becomes %XX,
// so distinct names (after folding) give distinct files and no name can reach outside the
// folder. False when
// the name is empty, holds a control character or the result would exceed `maxLength`.
bool EncodeObjectName(std::string_view name, bool foldCase, size_t maxLength, std::string* out);

// Opens (creating with mode 0600 when O_CREAT is given) a file of the runtime folder; never
// follows a symbolic link, never blocks on a FIFO, and refuses (EACCES) anything that is not
// a regular file owned by the user. An invalid result leaves errno set.
UniqueFd OpenRuntimeFile(const std::string& dir, const std::string& file, int flags);

// Locks or unlocks bytes [start, start + length) of a file with an open-file-description
// lock: held per open file, released when the last descriptor of that open file closes,
// including when the process dies. `wait` blocks until the lock is granted. False with errno
// set when the lock is not granted.
bool FileRangeLock(int fd, short type, off_t start, off_t length, bool wait);

// The address of a unix socket `file` in `dir`. A path too long for a socket address is
// reached through /proc/self/fd with `dirFd` holding the folder open, so the address must
// outlive every use.
struct UnixAddress {
  std::string path;   // the real path of the socket file
  std::string bound;  // what bind, connect and sendto are given
  UniqueFd dirFd;
};
bool MakeUnixAddress(const std::string& dir, const std::string& file, UnixAddress* out);
// bind, connect and sendto for a unix socket at `address`; -1 with errno set on failure.
int BindUnix(int fd, const UnixAddress& address);
// A non-blocking datagram socket bound at `address`. A socket file already there is removed
// first: callers hold whatever makes such a file the leftover of an ended owner. Invalid
// with errno set on failure.
UniqueFd BindDatagramSocket(const UnixAddress& address);
int ConnectUnix(int fd, const UnixAddress& address);
ssize_t SendToUnix(int fd, const UnixAddress& address, const void* data, size_t size, int flags);

}  // namespace qv::detail
