// The result of one item of an operation. Codes 0 to 19 and 507 (cancelled) are the
// file-encryption library's results (suite/QvFsApi.h), which the engine also sets itself for
// the same conditions; 500 to 506 are the engine's own. Each code shows one message of the
// string table.
#pragma once

#include "platform/WinTypes.h"
#include "suite/QvFsApi.h"

// The library's results, with the engine's own codes as further values of the same type.
using ItemStatus = QvFsStatus;
inline constexpr ItemStatus StatusSourceNotDeleted = ItemStatus{500};
inline constexpr ItemStatus StatusSystemOrTempFile = ItemStatus{501};
inline constexpr ItemStatus StatusShortcutFile = ItemStatus{502};
inline constexpr ItemStatus StatusProtectedLocation = ItemStatus{503};
inline constexpr ItemStatus StatusNotEncryptedFile = ItemStatus{504};
inline constexpr ItemStatus StatusDirectoryAlreadyEncrypted = ItemStatus{505};
inline constexpr ItemStatus StatusFolderEmpty = ItemStatus{506};

// Message ids of the string table used by the module core and the engine.
enum MessageId : UINT {
  IDS_FILENAME = 105,
  IDS_STATUS = 106,
  IDS_SUCCESS = 107,
  IDS_UNKNOWN_ERROR = 116,
  IDS_FILE_LOCATION = 118,
  IDS_ENCRYPTING = 119,
  IDS_DECRYPTING = 120,
  IDS_VERIFY_TITLE = 143,
  IDS_VERIFY_PROMPT = 144,
  IDS_ENCRYPTING_FILE = 149,
  IDS_DECRYPTING_FILE = 150,
  IDS_ENCRYPTING_FILES = 152,
  IDS_DECRYPTING_FILES = 153,
  IDS_PREPARING_DECRYPTION = 157,
  IDS_PREPARING_ENCRYPTION = 158,
  IDS_OK = 164,
  IDS_MODULE_HANDLE_FAILED = 169,
  IDS_VERIFY_PROMPT_KOREAN = 192,
  IDS_PROGRESS_TITLE = 176,
  IDS_OLDER_KEY = 188,
  IDS_DEVICE_BUSY = 190,
  IDS_CANCELLED = 191,
};

// The message id that a status code shows: the fixed table of codes; 9, 15, 16 and every
// code outside the table show the unknown-error text, 507 (cancelled) says so.
[[nodiscard]] UINT MessageIdForStatus(DWORD status) noexcept;

// The code's name ("StatusSuccess", ...), or nullptr for a code outside the table.
[[nodiscard]] const char* StatusName(DWORD status) noexcept;
