// Converting one legacy container into the current format in place, atomically: the new
// container is written beside the old one, synced, and renamed over it, so the path holds
// either the untouched legacy file or the complete converted container, never a mixture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qvdbconv {

struct ConversionSummary {
  std::string path;  // the file that was converted (symbolic links resolved)
  std::size_t folders = 0;
  std::size_t files = 0;
  std::uint64_t imageBytes = 0;
};

// Converts the container at `path`. Throws ConversionError with the exit code and a message
// when it cannot; the file is then unchanged and no temporary file is left behind.
ConversionSummary ConvertInPlace(const std::string& path);

// Writes the sample legacy container to `path`, which must not exist yet. Throws
// ConversionError (kExitCannotWrite).
void WriteSample(const std::string& path);

// The folder part of a path ("." for a bare name).
std::string FolderOf(const std::string& path);

}  // namespace qvdbconv
