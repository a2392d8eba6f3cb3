// What a container keeps about a file or folder besides its bytes: times in their stored
// forms (8-byte little-endian local FILETIMEs, MS-DOS date and time), a folder's mode and
// exact times in its facts row, and the facts of a plain file or folder read from disk when
// an entry is made.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "platform/FileAccess.h"
#include "platform/FileTime.h"
#include "platform/Files.h"
#include "platform/WinTypes.h"
#include "suite/QvContainerFormat.h"

namespace container {

[[nodiscard]] std::array<unsigned char, 8> EncodeFileTime(const FILETIME& time);
// A stored time blob; empty when it is not exactly 8 bytes.
[[nodiscard]] std::optional<FILETIME> DecodeFileTime(std::string_view blob);
// A local FILETIME made UTC; empty when it cannot be converted.
[[nodiscard]] std::optional<FILETIME> LocalToUtc(const FILETIME& local);
[[nodiscard]] std::optional<FILETIME> DosToUtc(WORD date, WORD time);

// What a folder had on disk, as its facts row keeps it.
using FolderFacts = FolderModeAndTimes;

[[nodiscard]] std::array<unsigned char, kFolderFactsSize> EncodeFolderFacts(
    const FolderFacts& folder);
// A facts row's FOLDER_DATA; empty when it is not one this build writes.
[[nodiscard]] std::optional<FolderFacts> DecodeFolderFacts(std::string_view blob);

// What is stored about a plain file or folder, read from disk.
struct DiskFacts {
  LONG size = -1;  // low 32 bits of the size; -1 when nothing is found
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  FILETIME created{}, accessed{}, written{};  // local time
  WORD date = 0, time = 0;                    // MS-DOS form of `written`
};

[[nodiscard]] DiskFacts ReadDiskFacts(const std::string& path);

// Applies the stored times to an extracted file; failures are not reported.
void ApplyStoredTimes(const std::string& path, DWORD version, WORD date, WORD time,
                      std::string_view modified, std::string_view accessed);

}  // namespace container
