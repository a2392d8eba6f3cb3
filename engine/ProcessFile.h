// One file through the file-encryption library: a plain file into "<file>.qvf" beside it, or
// a ".qvf" file back into its plain file in the same folder, with its result row in the
// operation's sink. Used for the top-level files of an operation and, during the encryption
// walk, for ".qvf" files decrypted in place.
#pragma once

#include <memory>
#include <string>

#include "base/ItemStatus.h"
#include "engine/OperationSink.h"
#include "platform/WinTypes.h"
#include "suite/QvFsApi.h"
#include "suite/QvUserApi.h"

namespace engine {
class Credentials;
}

// The library record of one file call for `sink`: `source`, `destination` (the output file
// when encrypting, the output folder when decrypting), the sink's key name (twice when
// decrypting), the user's key `key`, `credentials` and the sink as the cancel callback.
// The strings must outlive the record.
[[nodiscard]] std::unique_ptr<QVData> FileRecord(OperationSink& sink, const std::string& source,
                                                 const std::string& destination, bool encrypt,
                                                 const KeyRecord& key,
                                                 engine::Credentials& credentials);

// Encrypts or decrypts `path` (a full path; `folder` is its folder, shown in the row and,
// when decrypting, the destination) after the item checks selected by `checkFlags`
// (engine/ItemRules.h; a decryption always runs the location check, since its output lands
// beside the file), under `key`. Adds the row, reports the status into it and returns it.
//
// Encryption deletes the plain file only after the library has written the whole ".qvf" and
// flushed it and its folder entry to disk; decryption deletes the ".qvf" only after the plain
// file is complete. A cancelled or failed
// call leaves no partial output, and never removes a file that existed before the call.
// Symbolic links, folders and devices are refused with StatusFileAccessError, untouched.
// Dialog thread only.
[[nodiscard]] ItemStatus ProcessFile(OperationSink& sink, const std::string& path,
                                     const std::string& folder, bool encrypt, const KeyRecord& key,
                                     DWORD checkFlags);

// Decrypts the ".qvf" `item` (in `folder`) in place for the encryption walk, so that its plain
// file is encrypted again under this user's key: the ".qvf" is kept, moved aside to its backup
// name, and both are recorded in the sink for the end of the operation. When the backup name
// is taken, the plain file goes again and the ".qvf" stays as it was
// (StatusDestinationExists). Dialog thread only.
[[nodiscard]] ItemStatus DecryptInPlaceForWalk(OperationSink& sink, const std::string& item,
                                               const std::string& folder);
