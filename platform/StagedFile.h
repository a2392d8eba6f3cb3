// A file received into a folder: written under an exclusive temporary name beside its final
// place, flushed, and only then given its final name, never replacing anything unless asked.
// A reader therefore sees either no file or the whole file, and a crash leaves at most a
// ".qvpart-" file behind, never a cut file under the real name.
//
// The folder is reached from `base` one component at a time, never through a symbolic link
// (ERROR_ACCESS_DENIED), so a link planted in the destination cannot redirect the write.
#pragma once

#include <string>
#include <vector>

#include "platform/FileTime.h"

class QV_API StagedFile {
 public:
  StagedFile() = default;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  // Removes the temporary file unless it was put in place.
  ~StagedFile();

  // Opens (creating missing ones, mode 0777 less the umask) the folders base/folders[0]/...
  // and creates a new temporary file in the last one, mode 0600.
  [[nodiscard]] BOOL Create(LPCSTR base, const std::vector<std::string>& folders) noexcept;
  // Writes all `size` bytes.
  [[nodiscard]] BOOL Write(const void* data, std::size_t size) noexcept;
  // Gives the file the usual mode (0666 less the umask, without write bits when `readOnly`)
  // and `lastWrite` when given, and starts writing it to disk without waiting for it.
  [[nodiscard]] BOOL Finish(const FILETIME* lastWrite, bool readOnly) noexcept;
  // Waits until the file is on disk. Files finished one after another and then flushed one
  // after another reach the disk together: the waits overlap.
  [[nodiscard]] BOOL Flush() noexcept;
  // Renames the flushed file to `name` in its folder; a file not flushed since its last write
  // is refused (ERROR_INVALID_HANDLE). An existing `name` fails with ERROR_FILE_EXISTS and the
  // temporary file is kept, so the caller may ask and call again with `replace`; a folder under
  // `name` is never replaced (ERROR_ACCESS_DENIED). The rename is durable once the folder is
  // flushed (FlushFolder, once for all the files placed in one folder).
  [[nodiscard]] BOOL Place(LPCSTR name, bool replace) noexcept;
  // Flushes the file's folder, and with it the names given in it.
  [[nodiscard]] BOOL FlushFolder() noexcept;
  // Removes the temporary file now.
  void Discard() noexcept;

  // The temporary file's name in its folder (empty before Create).
  const std::string& TemporaryName() const { return tempName_; }

 private:
  int folderFd_ = -1;
  int fileFd_ = -1;
  std::string tempName_;
  bool flushed_ = false;
  bool placed_ = false;
};

// Creates (or opens, when it exists as a folder) base/folders[0]/... without following links;
// TRUE when the last one is a folder.
[[nodiscard]] QV_API BOOL CreateFoldersBelow(LPCSTR base,
                                             const std::vector<std::string>& folders) noexcept;
