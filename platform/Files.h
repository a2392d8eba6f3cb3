// Files, folders, attributes and directory searches with the Win32 names and meanings the
// extension relies on, over narrow UTF-8 paths with "/" as the separator.
//
// Every function reports failure through SetLastError with the Win32 code Windows would give
// (2 when the last component is missing, 3 when a folder on the way is missing, 5 for access,
// 80/183 for existing targets, ...) and lets no exception escape. Functions that fill a
// caller's buffer never write past it: when the result does not fit they return the size
// needed, terminating zero included, and leave the buffer alone, as Windows does.
//
// Where Linux differs:
// - Attributes: DIRECTORY comes from the mode, READONLY means "no owner-write bit", HIDDEN
//   means "name starts with a dot" (not "." or ".."); HIDDEN cannot be set or cleared other
//   than by renaming. ARCHIVE, SYSTEM, TEMPORARY, OFFLINE and NOT_CONTENT_INDEXED (and
//   READONLY of a folder, see SetFileAttributesA) are kept in the extended attribute
//   "user.DOSATTRIB" as ASCII hex text ("0x20"; a trailing NUL and anything after it is
//   ignored). On a file system without user extended attributes those bits are silently not
//   kept. An entry with none of these bits reports FILE_ATTRIBUTE_NORMAL.
// - Symbolic links are entries of their own: they report FILE_ATTRIBUTE_REPARSE_POINT (never
//   DIRECTORY, even when they point to a folder, so a recursive walk or delete does not leave
//   the tree), size 0 and the link's own times; DeleteFileA and RemoveDirectoryA remove the
//   link, SetFileAttributesA leaves it alone. Only paths through them are followed.
// - Named pipes, sockets and devices report FILE_ATTRIBUTE_DEVICE.
// - There are no short (8.3) names: cAlternateFileName is always empty and GetLongPathNameA
//   returns the path unchanged when it exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileTime.h"
#include "platform/WinTypes.h"

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002;
inline constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x00000004;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
inline constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x00000040;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x00000100;
inline constexpr DWORD FILE_ATTRIBUTE_SPARSE_FILE = 0x00000200;
inline constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x00000400;
inline constexpr DWORD FILE_ATTRIBUTE_COMPRESSED = 0x00000800;
inline constexpr DWORD FILE_ATTRIBUTE_OFFLINE = 0x00001000;
inline constexpr DWORD FILE_ATTRIBUTE_NOT_CONTENT_INDEXED = 0x00002000;
inline constexpr DWORD FILE_ATTRIBUTE_ENCRYPTED = 0x00004000;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
inline constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;

// Win32 codes used only by the file functions.

// The extended attribute that keeps the attribute bits Linux mode bits cannot hold.
inline constexpr const char* kDosAttributeXattr = "user.DOSATTRIB";

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};

enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard = 0 };

struct WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
};

// The file size a find record or an attribute record holds in two halves.
inline constexpr std::uint64_t FileSizeOf(const WIN32_FIND_DATAA& data) {
  return MakeUInt64(data.nFileSizeHigh, data.nFileSizeLow);
}
inline constexpr std::uint64_t FileSizeOf(const WIN32_FILE_ATTRIBUTE_DATA& data) {
  return MakeUInt64(data.nFileSizeHigh, data.nFileSizeLow);
}

// Directory search. `pattern` is "folder/name" where the last component may hold the
// wildcards * (any run of characters) and ? (one character); "*.*" matches every name, and
// wildcard matching ignores ASCII case as Windows file systems do. A pattern without
// wildcards finds the one entry it names. A wildcard search returns "." and ".." first, then
// the folder's entries in directory order, each as it is when returned (an entry removed
// meanwhile is skipped). Entry names never exceed 255 bytes on Linux, so cFileName always
// holds the whole name; a longer name would be skipped rather than cut. Creation time is the
// birth time where the file system records one, else the inode change time. Fails with
// INVALID_HANDLE_VALUE and ERROR_FILE_NOT_FOUND (no match) or ERROR_PATH_NOT_FOUND (no such
// folder). FindNextFileA fails with ERROR_NO_MORE_FILES at the end. Handles are checked:
// a closed or foreign handle gives ERROR_INVALID_HANDLE, never a crash.
[[nodiscard]] QV_API HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) noexcept;
[[nodiscard]] QV_API BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) noexcept;
QV_API BOOL FindClose(HANDLE find) noexcept;

[[nodiscard]] QV_API DWORD GetFileAttributesA(LPCSTR path) noexcept;
// READONLY clears every write bit, its absence gives the owner the write bit back (other
// bits are kept). On a folder READONLY does not touch the mode: as on Windows it must not
// stop anyone from changing the folder's contents, so it is kept in the extended attribute;
// clearing it also gives the owner write access when the mode lacked it. HIDDEN, DIRECTORY
// and the bits the file system decides (COMPRESSED, ENCRYPTED, ...) are ignored.
[[nodiscard]] QV_API BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) noexcept;
[[nodiscard]] QV_API BOOL GetFileAttributesExA(LPCSTR path, GET_FILEEX_INFO_LEVELS level,
                                               LPVOID info) noexcept;

// Times in UTC; any out-parameter may be null.
[[nodiscard]] QV_API BOOL GetFileTimesA(LPCSTR path, FILETIME* creation, FILETIME* lastAccess,
                                        FILETIME* lastWrite) noexcept;
// The size (0 for anything but a file) and times GetFileAttributesExA gives, for less: the
// attributes kept beside the file are not read. Any out-parameter may be null.
[[nodiscard]] QV_API BOOL GetFileSizeAndTimesA(LPCSTR path, ULONGLONG* size, FILETIME* creation,
                                               FILETIME* lastAccess, FILETIME* lastWrite) noexcept;
// Sets the last-access and last-write times; a null or zero FILETIME leaves that time as it
// is. Linux cannot set a creation time.
[[nodiscard]] QV_API BOOL SetFileTimesA(LPCSTR path, const FILETIME* lastAccess,
                                        const FILETIME* lastWrite) noexcept;

// $TMPDIR, else /tmp, always with a trailing "/". Returns the length, or the size needed.
[[nodiscard]] QV_API DWORD GetTempPathA(DWORD size, LPSTR buffer) noexcept;

// `folder` + up to 3 characters of `prefix` + hexadecimal number + ".tmp" into `out`.
// Only the low 16 bits of `unique` are used. When they are 0 a new file is created (mode
// 0600, never an existing one) under a number not in use and that number is returned;
// otherwise only the name with that number is formed. Returns 0 on failure (ERROR_BUFFER_OVERFLOW
// when the name does not fit, ERROR_FILE_EXISTS when every number is taken). The prefix may be
// empty, as on Windows, but may not contain "/".
[[nodiscard]] QV_API UINT GetTempFileNameA(LPCSTR folder, LPCSTR prefix, UINT unique, LPSTR out,
                                           DWORD outSize) noexcept;
template <std::size_t N>
[[nodiscard]] UINT GetTempFileNameA(LPCSTR folder, LPCSTR prefix, UINT unique,
                                    char (&out)[N]) noexcept {
  static_assert(N <= 0xFFFFFFFFu);
  return GetTempFileNameA(folder, prefix, unique, out, static_cast<DWORD>(N));
}

// Renames within a file system; with MOVEFILE_COPY_ALLOWED a file (not a folder) goes to
// another file system by copy and delete: the target is replaced only by a complete copy
// that is on disk, and the source is deleted only after that (it stays when it cannot be
// deleted, as on Windows). Without MOVEFILE_REPLACE_EXISTING an existing target fails with
// ERROR_ALREADY_EXISTS and neither entry is touched. Replacing never removes a folder or a
// read-only file (ERROR_ACCESS_DENIED).
[[nodiscard]] QV_API BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) noexcept;
// MoveFileExA(from, to, MOVEFILE_COPY_ALLOWED), as Windows moves files across volumes.
[[nodiscard]] QV_API BOOL MoveFileA(LPCSTR from, LPCSTR to) noexcept;
// Copies contents, mode, kept attribute bits and times. The target appears complete or not
// at all (written beside it, flushed to disk, then renamed); a symbolic link at the target is
// replaced, never followed. failIfExists gives ERROR_FILE_EXISTS; replacing a
// read-only file or a folder gives ERROR_ACCESS_DENIED.
[[nodiscard]] QV_API BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) noexcept;
// Fails with ERROR_ACCESS_DENIED on a folder and, as on Windows, on a read-only file.
[[nodiscard]] QV_API BOOL DeleteFileA(LPCSTR path) noexcept;
// Mode 0777 less the umask. The second parameter (security attributes) is ignored.
[[nodiscard]] QV_API BOOL CreateDirectoryA(LPCSTR path,
                                           const void* securityAttributes = nullptr) noexcept;
[[nodiscard]] QV_API BOOL RemoveDirectoryA(LPCSTR path) noexcept;
// Truncates an existing regular file and writes `size` bytes to it. A symbolic link is not
// followed (ERROR_ACCESS_DENIED), so a planted link cannot redirect the write.
[[nodiscard]] QV_API BOOL OverwriteFileA(LPCSTR path, const void* data, DWORD size) noexcept;

[[nodiscard]] QV_API BOOL SetCurrentDirectoryA(LPCSTR path) noexcept;
[[nodiscard]] QV_API DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) noexcept;
// Absolute form of `name` (relative to the current folder), with ".", ".." and repeated "/"
// resolved lexically; a trailing "/" is kept. `filePart`, when given, receives the start of
// the last component in `buffer`, or null when the result ends with "/".
[[nodiscard]] QV_API DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer,
                                            LPSTR* filePart = nullptr) noexcept;
// The path itself when it exists (source and buffer may be the same memory).
[[nodiscard]] QV_API DWORD GetLongPathNameA(LPCSTR shortPath, LPSTR longPath, DWORD size) noexcept;
// The absolute path of the file or folder `path` names, with every link, "." and ".."
// resolved; 0 with the last error when it does not exist. Sizes as GetFullPathNameA.
[[nodiscard]] QV_API DWORD GetFinalPathNameA(LPCSTR path, LPSTR finalPath, DWORD size) noexcept;

// ---- Durability and whole folders (stand-ins for flushing a handle or a volume, and for
// the shell's recursive delete) ----

// Writes the file or folder at `path` to disk: its data, and for a folder its entries, so
// that names created or removed in it survive a crash. A link is flushed, never followed.
[[nodiscard]] QV_API BOOL FlushPathBuffersA(LPCSTR path) noexcept;
// Writes everything pending on the file system that holds `path` to disk: one call where
// many new files would otherwise each need their own flush.
[[nodiscard]] QV_API BOOL FlushVolumeOfPathA(LPCSTR path) noexcept;
// Creates a new folder "<parent>/<prefix>XXXXXX" (random characters, mode 0700) that did
// not exist before and writes its path into `out`. ERROR_BUFFER_OVERFLOW when it does not fit.
[[nodiscard]] QV_API BOOL CreateUniqueDirectoryA(LPCSTR parent, LPCSTR prefix, LPSTR out,
                                                 DWORD outSize) noexcept;
// Removes `path` with everything below it. Links are removed, never followed, so nothing
// outside the folder is touched; read-only entries are removed too. On failure what could
// not be removed stays (with the folders above it) and the last error says why; a path that
// does not exist fails with ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND.
[[nodiscard]] QV_API BOOL DeleteFolderTreeA(LPCSTR path) noexcept;

// ---- Folders held open (a walk that must never leave the folder it starts in) ----
//
// A folder opened here stays the folder it was when opened, whatever is renamed or swapped on
// the way to it meanwhile. Its subfolders and files are opened relative to it and never
// through a symbolic link, so a walk that descends through these handles reads nothing
// outside its tree even when a subfolder is replaced by a link while it runs.

// What tells that an entry is still the one that was read, unchanged: the same file on the
// same volume, with the same size and the same modification and change times (a write moves
// them; the change time cannot be set back by anyone).
struct FILE_IDENTITY {
  ULONGLONG volume = 0;
  ULONGLONG index = 0;
  ULONGLONG size = 0;
  LONGLONG writeNs = 0;
  LONGLONG changeNs = 0;
  bool operator==(const FILE_IDENTITY&) const = default;
  bool SameFile(const FILE_IDENTITY& other) const {
    return volume == other.volume && index == other.index;
  }
};

// The identity of what `path` names (a link is followed), read without opening it.
[[nodiscard]] QV_API BOOL GetFileIdentityA(LPCSTR path, FILE_IDENTITY* identity) noexcept;

// One entry of a folder listing other than "." and "..".
struct FOLDER_ENTRY {
  std::string name;
  DWORD attributes = 0;  // as GetFileAttributesA gives them
  FILE_IDENTITY identity;
};

// A regular file held open for reading.
class QV_API OpenedFile {
 public:
  OpenedFile() = default;
  OpenedFile(OpenedFile&& other) noexcept;
  OpenedFile& operator=(OpenedFile&& other) noexcept;
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;
  ~OpenedFile();

  bool Valid() const { return fd_ >= 0; }
  // Opens the regular file at `path` (a final symbolic link is not followed).
  [[nodiscard]] BOOL Open(LPCSTR path) noexcept;
  // Starts the system writing to the disk what was written to the file so far, through any
  // descriptor, without waiting for it: only a head start for a later flush.
  void StartWriteBack() const noexcept;
  // The file as it is now (not as it was when opened).
  [[nodiscard]] BOOL GetIdentity(FILE_IDENTITY* identity) const noexcept;
  // A path that opens this very file, whatever its name leads to by now, for a call that
  // takes a path. Empty when the system offers no such path.
  std::string ReopenPath() const;

 private:
  friend class FolderHandle;
  // Opens `name` below the folder `folderFd` (AT_FDCWD: a path) as Open does.
  [[nodiscard]] BOOL OpenAt(int folderFd, LPCSTR name) noexcept;
  int fd_ = -1;
};

class QV_API FolderHandle {
 public:
  FolderHandle() = default;
  FolderHandle(FolderHandle&& other) noexcept;
  FolderHandle& operator=(FolderHandle&& other) noexcept;
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;
  ~FolderHandle();

  bool Valid() const { return fd_ >= 0; }
  // Opens the folder `path`; a last component that is a link (even to a folder) or not a
  // folder fails with ERROR_DIRECTORY.
  [[nodiscard]] BOOL Open(LPCSTR path) noexcept;
  // Opens the subfolder `name`; a link or anything but a folder fails with ERROR_DIRECTORY.
  [[nodiscard]] BOOL OpenSubfolder(LPCSTR name, FolderHandle* subfolder) const noexcept;
  // Opens the regular file `name` for reading; a link, folder or device fails with
  // ERROR_ACCESS_DENIED and a FIFO is never waited on.
  [[nodiscard]] BOOL OpenFile(LPCSTR name, OpenedFile* file) const noexcept;
  // The entries as they are when listed.
  [[nodiscard]] BOOL List(std::vector<FOLDER_ENTRY>* entries) const noexcept;
  // As List, but each entry's attributes come from its mode and name alone: those kept beside
  // a file (system, archive, a stored read-only or hidden) are not read, which saves a read
  // of each entry for a caller that only tells folders, files and links apart.
  [[nodiscard]] BOOL ListTypes(std::vector<FOLDER_ENTRY>* entries) const noexcept;
  [[nodiscard]] BOOL GetIdentity(FILE_IDENTITY* identity) const noexcept;
  // TRUE when this process may delete the entry `name` (not a folder's contents): this
  // folder lets it (write access, not immutable nor append-only, the sticky-folder rule) and
  // the entry itself is neither immutable nor append-only. ERROR_ACCESS_DENIED otherwise.
  [[nodiscard]] BOOL CanDelete(LPCSTR name) const noexcept;
  // CanDelete for many entries of this folder: the folder's own part is read by the first
  // call given `rules` and kept there for the next (the entry's part is read every time).
  struct DeletionRules {
    bool read = false;
    DWORD refusal = 0;  // why the folder lets none of its entries go; 0 when it may
    bool sticky = false;
    unsigned long long owner = 0;
    unsigned long long me = 0;
  };
  [[nodiscard]] BOOL CanDelete(LPCSTR name, DeletionRules* rules) const noexcept;
  // Deletes the file `name` only when it is still the file `expected` describes, unchanged;
  // the check is made on a descriptor of the very file the delete removes, just before.
  // ERROR_SHARING_VIOLATION when it changed or was replaced (it stays), ERROR_ACCESS_DENIED
  // for a folder.
  [[nodiscard]] BOOL DeleteFileIfUnchanged(LPCSTR name,
                                           const FILE_IDENTITY& expected) const noexcept;
  // Removes the empty subfolder `name` (ERROR_DIR_NOT_EMPTY otherwise).
  [[nodiscard]] BOOL RemoveSubfolder(LPCSTR name) const noexcept;

 private:
  [[nodiscard]] BOOL List(std::vector<FOLDER_ENTRY>* entries, bool storedBits) const noexcept;

  int fd_ = -1;
};
