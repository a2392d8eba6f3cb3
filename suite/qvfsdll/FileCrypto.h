// One file into a .qvf file and back: standalone (the file's own key, wrapped for its owner)
// or under a folder handle (a key derived from the folder key). Outputs appear under their
// final names only once complete and, for decryption, once every chunk has been verified.
#pragma once

#include <span>

#include "platform/WinTypes.h"
#include "suite/QvFsApi.h"
#include "suite/qvfsdll/FolderHeader.h"

namespace qvfs {

// Encrypts data->sourcePath into data->destinationPath for the acting user (the key blob and
// credential block of `data`). 0, or 4 (unusable key or name), 10 (the source already is a
// .qvf file), 11, 12, 14, 507.
[[nodiscard]] DWORD EncryptFile(const QVData& data);
// Decrypts data->sourcePath into the folder data->destinationPath (the source's own folder
// when empty) under the source name without ".qvf". 0, or 3, 4, 5, 6 (also for a file that
// belongs to a folder), 7 (cipher not available here), 8, 11, 12, 13, 14, 17, 507.
[[nodiscard]] DWORD DecryptFile(const QVData& data);

// The same under a folder: 4 from decryption when the file belongs to another folder or to
// no folder. With a `place`, the image is bound to it (see Place): decryption at another
// path or version gives 8, so an image swapped, copied or rolled back within its container is
// found.
// With `image`, the image is made there instead of at data.destinationPath, for a source of at
// most 1 MiB (12 for a larger one).
[[nodiscard]] DWORD EncryptFileInFolder(const QVData& data, const FolderState& folder,
                                        const Place* place = nullptr,
                                        std::vector<std::uint8_t>* image = nullptr);
[[nodiscard]] DWORD DecryptFileInFolder(const QVData& data, const FolderState& folder,
                                        const Place* place = nullptr);
// DecryptFileInFolder for an image held in memory, `image` (the whole of it), instead of
// data.sourcePath, which still names the plain file. 12 for an image of version 1, before
// anything is made: it keeps no mode nor times of its own, which the file it is read from
// stands in for.
[[nodiscard]] DWORD DecryptImageInFolder(const QVData& data, const FolderState& folder,
                                         std::span<const std::uint8_t> image,
                                         const Place* place = nullptr);
// The file key of the image `header` under `folder`: 4 for a file of another folder or of none;
// 8 for a file of a later key epoch than the folder header's, which means an older header has
// been put back over the one the file was added under.
[[nodiscard]] DWORD FolderFileKey(const KeyHeader& header, const FolderState& folder,
                                  SecretKey* fileKey);
// Moves the image at `imagePath` from one place to another (a rename or a new version of its
// entry): its core MAC is checked at `from` and made anew at `to`, and the header is rewritten;
// the payload stays as it is. 4 for a file of another folder, 8 when it is not at `from`.
[[nodiscard]] DWORD RebindFileInFolder(const char* imagePath, const FolderState& folder,
                                       const Place& from, const Place& to);

// The same for an image held in memory from its first byte: its header is rewritten in place
// (the same length).
[[nodiscard]] DWORD RebindImageInFolder(std::span<std::uint8_t> image, const FolderState& folder,
                                        const Place& from, const Place& to);

// Where DecryptFile writes: the folder joined with the source name without ".qvf" (in any
// case); empty when no name is left.
[[nodiscard]] std::string DecryptedPath(const char* sourcePath, const char* destinationFolder);

}  // namespace qvfs
