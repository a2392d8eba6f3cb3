// The library's own file handling: descriptors that close themselves, whole reads and
// writes, an output that becomes visible under its final name only when it is complete
// (never replacing a file that is there), and the header rewrite of a .qvf file that keeps
// its payload bytes and replaces the file in one rename.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/WinTypes.h"
#include "suite/qvfsdll/QvfFormat.h"

namespace qvfs {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Reads until `size` bytes or the end of the file; the count read, or -1 with errno set.
[[nodiscard]] ssize_t ReadFull(int fd, void* buffer, std::size_t size);
// Writes all `size` bytes; false with errno set when a write fails.
[[nodiscard]] bool WriteFull(int fd, const void* data, std::size_t size);

// The result of a write or flush that failed with `error`: a full disk or quota, a file grown
// past its limit, or an I/O error is StatusFileAccessError (the destination was open and in
// no one else's use, so "in use" would mislead); any other failure StatusDestinationInUse.
[[nodiscard]] DWORD WriteFailure(int error) noexcept;

// Opens a source file for reading: 11 when it cannot be opened or is not a regular file.
[[nodiscard]] DWORD OpenSource(const char* path, int* fd, mode_t* mode);

// An output file written beside its final path. Until Publish or Replace succeeds it has no
// name (an unnamed file of the destination's file system where that is supported, else a
// hidden temporary name that the destructor removes), so a failed or cancelled call leaves
// nothing behind, and a crash leaves at most a hidden temporary file.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // For a new file: 14 when `path` exists, 12 when nothing can be created beside it. With
  // `narrowedMode`, the file is to have that mode narrowed as any new file's is (by the umask,
  // or the folder's default ACL): PublishNarrowed then gives it.
  [[nodiscard]] DWORD Create(const std::string& path,
                             std::optional<mode_t> narrowedMode = std::nullopt);
  // Create for a file in a folder nobody else looks into: made under its name at once (14
  // when anything is there), removed again unless published.
  [[nodiscard]] DWORD CreateInOwnFolder(const std::string& path, mode_t narrowedMode);
  // For a file that will replace `path`: 12 when nothing can be created beside it.
  [[nodiscard]] DWORD CreateReplacement(const std::string& path);
  int fd() const { return fd_; }
  // Sets the mode, flushes the data to the disk (unless `flush` is false: a file of a folder
  // whose caller flushes the whole folder once) and gives the file its name without
  // replacing anything: 14 when the name was taken meanwhile, 12 on any other failure.
  // Without a mode (only PublishNarrowed passes none), the file keeps the one it was made with.
  [[nodiscard]] DWORD Publish(std::optional<mode_t> mode, bool flush = true);
  // Publish with the narrowed mode Create was given.
  [[nodiscard]] DWORD PublishNarrowed(bool flush);
  // Sets the mode, flushes and renames over the path: 12 on failure.
  [[nodiscard]] DWORD Replace(mode_t mode);

 private:
  [[nodiscard]] DWORD CreateNamed();
  // Gives the unnamed or temporarily named file its name without replacing anything.
  [[nodiscard]] DWORD TakeName();
  [[nodiscard]] DWORD Flush(std::optional<mode_t> mode, bool toDisk = true);

  std::string path_;
  std::optional<mode_t> narrowedMode_;
  // The unnamed file was made with the narrowed mode, which the kernel narrowed.
  bool madeNarrowed_ = false;
  std::string tempPath_;  // empty for an unnamed file
  bool named_ = false;    // made under its name (CreateInOwnFolder)
  int fd_ = -1;
  bool done_ = false;
};

// Reads the key header at the start of the open file `fd` (see Decode for the results;
// 11 when the file cannot be read).
[[nodiscard]] DWORD ReadHeader(int fd, Family family, KeyHeader* header,
                               std::uint32_t* headerLength);
// Reads the header of the file at `path`.
[[nodiscard]] DWORD ReadHeaderAt(const char* path, Family family, KeyHeader* header,
                                 std::uint32_t* headerLength);
// Gives the .qvf file at `path` the header `header` in place of its first `oldLength`
// bytes, copying the payload unchanged, and replaces the file atomically.
[[nodiscard]] DWORD RewriteHeader(const std::string& path, const std::vector<std::uint8_t>& header,
                                  std::uint32_t oldLength);
// The same with the payload made anew: `payload(in, out)` reads the old payload from `in`
// (positioned after the old header) and writes the new one to `out`. Nothing changes unless it
// gives 0.
[[nodiscard]] DWORD RewriteFile(const std::string& path, const std::vector<std::uint8_t>& header,
                                std::uint32_t oldLength,
                                const std::function<DWORD(int in, int out)>& payload);

// The folder part of a path ("." when it has none) and its last component.
[[nodiscard]] std::string FolderOf(const std::string& path);
[[nodiscard]] std::string NameOf(const std::string& path);

}  // namespace qvfs
