// Exported key files: a user's key (public and secret half) sealed under a password, so that
// another installation can import it. `qvclient export-key` writes them; `qvclient
// import-key` and the user-data object's import of an older key read them. The layout is in
// docs/formats-userstore.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "suite/SuiteExport.h"
#include "suite/qvprofile/UserStore.h"

inline constexpr std::size_t kMaxKeyFileSize = 4096;

struct QvKeyFileContents {
  std::string userId;
  std::string keyName;
  std::string label;
  std::vector<std::uint8_t> blob;  // a key blob with its secret half
  // The Argon2id limits the file was sealed with, as read; writing ignores them.
  std::uint64_t kdfOps = 0;
  std::uint64_t kdfMem = 0;
  // The layout version the file was written in, as read.
  std::uint8_t version = 0;
};

// The folder where exported keys are written by default and where the import of an older key
// looks for them: <machine root>/export. Empty when there is no machine root.
QV_SUITE_API std::string QvExportFolder();
// The file name of a key's export, as the owner text of an encrypted item names it: the key
// name without the braces of a GUID name, with '/', '\', ':' and control characters made '_',
// then ".qvkey".
QV_SUITE_API std::string QvKeyFileName(std::string_view keyName);

// The user id, key name and label of a key file, read without the password (they are stored
// in clear and authenticated with the sealed key). InvalidArgument when it is not a key file
// of a version this build reads.
[[nodiscard]] QV_SUITE_API QvStoreStatus QvPeekKeyFile(const std::uint8_t* data, std::size_t size,
                                                       QvKeyFileContents* contents);

// Why a key file read with QvPeekKeyFile will not be opened: its password protection is
// below what this version writes (files of older versions), so a guessed password costs an
// attacker too little; the text says what to do. Empty when the file may be opened.
QV_SUITE_API std::string QvKeyFileWeakness(const QvKeyFileContents& contents);

// The file's bytes for `contents` sealed under `password` at the sensitive Argon2id limits.
// InvalidArgument when the user id, names or blob are not valid or the blob has no secret half.
[[nodiscard]] QV_SUITE_API QvStoreStatus QvEncodeKeyFile(const QvKeyFileContents& contents,
                                                         std::string_view password,
                                                         std::vector<std::uint8_t>* bytes);
// Opens a key file's bytes. InvalidArgument: not a key file of a version this build reads, or
// its protection is too weak (QvKeyFileWeakness; refused before the password is tried);
// WrongPassword: the password does not open it, or the file was altered.
[[nodiscard]] QV_SUITE_API QvStoreStatus QvDecodeKeyFile(const std::uint8_t* data, std::size_t size,
                                                         std::string_view password,
                                                         QvKeyFileContents* contents);

// Writes the bytes to `path` with mode 0600 (beside it first, then moved in place). Without
// `overwrite` an existing file is left alone and Exists is returned.
[[nodiscard]] QV_SUITE_API QvStoreStatus QvWriteKeyFile(const std::string& path,
                                                        const std::vector<std::uint8_t>& bytes,
                                                        bool overwrite, std::string* error);
// Reads a key file of at most kMaxKeyFileSize bytes. NotFound when it does not exist.
[[nodiscard]] QV_SUITE_API QvStoreStatus QvReadKeyFile(const std::string& path,
                                                       std::vector<std::uint8_t>* bytes,
                                                       std::string* error);
