// Images of a folder read chunk by chunk (QVFSFolderOpenImageReader): the header is checked
// as a decryption checks it, then each chunk is opened where it stands, so the caller can
// hand out plain bytes without a plain copy of the file.
#pragma once

#include <cstdint>
#include <span>

#include "platform/WinTypes.h"
#include "suite/QvFsApi.h"
#include "suite/qvfsdll/FolderHeader.h"

namespace qvfs {

// Opens the image whose header starts `head` under `folder` (bound to `place` when given).
// 0 and a new reader; 3, 4, 7, 8 or 13 as decryption gives them for the header.
[[nodiscard]] DWORD OpenImageReader(std::span<const std::uint8_t> head, const FolderState& folder,
                                    const Place* place, QvImageLayout* layout, DWORD* reader);
// 0, or 8 when the chunk is not authentic at `index` with `last`; 5 for a closed reader.
[[nodiscard]] DWORD OpenImageChunk(DWORD reader, std::span<std::uint8_t> chunk, std::uint64_t index,
                                   bool last);
// False when `reader` was not open.
[[nodiscard]] bool CloseImageReader(DWORD reader);

}  // namespace qvfs
