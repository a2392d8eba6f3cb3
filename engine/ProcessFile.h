// One file through the file-encryption library: a plain file into "<file>.qvf" beside it, or
// a ".qvf" file back into its plain file in the same folder, with its result row in the
// progress dialog. Used for the top-level files of an operation and, during the encryption
// walk, for ".qvf" files decrypted in place.
#pragma once

#include <memory>
#include <string>

#include "base/ItemStatus.h"
#include "platform/WinTypes.h"
#include "suite/QvFsApi.h"
#include "suite/QvUserApi.h"

class CProgressDlg;
namespace engine {
class Credentials;
}

// The library record of one file call for `dialog`: `source`, `destination` (the output file
// when encrypting, the output folder when decrypting), the dialog's key name (twice when
// decrypting), the user's key `key`, `credentials` and the dialog as the cancel callback.
// The strings must outlive the record.
[[nodiscard]] std::unique_ptr<QVData> FileRecord(CProgressDlg& dialog, const std::string& source,
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
// file is complete (unless the dialog keeps sources during the walk). A cancelled or failed
// call leaves no partial output, and never removes a file that existed before the call.
// Symbolic links, folders and devices are refused with StatusFileAccessError, untouched.
// Dialog thread only.
[[nodiscard]] ItemStatus ProcessFile(CProgressDlg& dialog, const std::string& path,
                                     const std::string& folder, bool encrypt, const KeyRecord& key,
                                     DWORD checkFlags);
