// CPath: one file-system path as narrow (UTF-8) text, its parts, its long form and the few
// file operations the engine and the container code perform on a path.
//
// Parts are split on "/" and also on "\", because paths read from containers written on
// Windows use it; a drive is the first two characters when the second is ":". Every part is
// at most kMaxPart bytes: a longer part is cut to the last whole UTF-8 character that fits,
// matching the 8000-byte path buffers of the rest of the system. Every file operation goes
// through the platform's file functions and reports failure through GetLastError.
#pragma once

#include <cstdint>
#include <string>

#include "platform/FileTime.h"
#include "platform/WinTypes.h"

class CPath {
 public:
  // Size of a part buffer; a part holds at most kMaxPart bytes.
  static constexpr std::size_t kBufferSize = 8000;
  static constexpr std::size_t kMaxPart = kBufferSize - 1;

  CPath() = default;
  // A null text gives the empty path.
  CPath(const char* path);         // NOLINT(google-explicit-constructor): used like a string
  CPath(const std::string& path);  // NOLINT(google-explicit-constructor)
  CPath(const CPath&) = default;
  CPath& operator=(const CPath&) = default;
  virtual ~CPath();

  void Set(const char* path);
  void Set(const std::string& path) { path_ = path; }
  const std::string& Get() const { return path_; }
  const char* c_str() const { return path_.c_str(); }
  bool IsEmpty() const { return path_.empty(); }

  // "C:" when the second character is ":", else empty.
  std::string GetDrive() const;
  // After the drive, up to and including the last separator.
  std::string GetDirectory() const;
  // After the last separator, up to (not including) the last "." that follows it.
  std::string GetFileName() const;
  // From that last "." on, including it; empty when the name has no ".".
  std::string GetExtension() const;
  // Drive and directory together; a network path ("\\server\share\...") gives its
  // directory alone.
  std::string GetFolder() const;
  std::string GetNameWithExtension() const;
  std::string GetNameWithoutExtension() const { return GetFileName(); }

  // The full path (relative parts resolved against the current folder) in its long form.
  // Returns false when the path does not exist; `out` then holds the full path alone (or
  // nothing when even that fails).
  [[nodiscard]] bool GetLongPath(std::string& out) const;

  // Becomes the system's temporary folder, with an empty file name.
  [[nodiscard]] bool SetToTempFolder();
  // Asks the system for a unique temporary file with `prefix` in this path's folder, deletes
  // the file it created (overwrite-and-delete) and takes that name as this path's file name.
  // Fails without a prefix. The name is free when this returns, not reserved.
  [[nodiscard]] bool MakeUniqueTempFile(const char* prefix);

  // True when a directory search for the path finds an entry.
  [[nodiscard]] bool Exists() const;
  // The platform attributes, INVALID_FILE_ATTRIBUTES when the path has none.
  [[nodiscard]] DWORD GetAttributes() const;
  // Size from a directory search (-1 when nothing is found) and the creation, last-access
  // and last-write times in local time; a zero time is replaced by the last-write time. Any
  // time pointer may be null; the times are left alone when nothing is found.
  [[nodiscard]] std::int64_t GetSizeAndTimes(FILETIME* creation = nullptr,
                                             FILETIME* lastAccess = nullptr,
                                             FILETIME* lastWrite = nullptr) const;

  // Fails when the path has no attributes, is a folder, or is read-only and `force` is
  // false; otherwise sets normal attributes and overwrites and deletes the file.
  [[nodiscard]] bool Delete(bool force);
  // Moves the file to `newPath`. Without `overwrite` an existing `newPath` makes it fail with
  // both files untouched. With it an existing file is replaced in the same step as the move
  // (a folder or a read-only target makes the move fail), so a move that fails leaves the
  // target as it was. This object keeps its old path.
  [[nodiscard]] bool Move(const char* newPath, bool overwrite);

  [[nodiscard]] bool SetCurrentDirectoryToFolder() const;
  // Creates the path's folder; with `withParents` its missing parents too. Fails when the
  // folder already exists (ERROR_ALREADY_EXISTS), so callers can tell what they created.
  [[nodiscard]] bool CreateFolder(bool withParents) const;
  // Removes the path's folder after setting normal attributes on it. With `emptyFirst`
  // every entry is removed first: files deleted with force, folders emptied and removed the
  // same way, symbolic links removed without following them; any failure fails the removal.
  // When the folder itself is a symbolic link, only the link is removed.
  [[nodiscard]] bool RemoveFolder(bool emptyFirst) const;

  // Truncates the file, writes 5 spaces, closes it and deletes it; the result is that of the
  // delete. Used for decrypted temporary copies.
  [[nodiscard]] static bool OverwriteAndDelete(const char* path);

 private:
  std::string path_;
};
