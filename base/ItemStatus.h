// The result of one item of an operation. Codes 0 to 19 are the file-encryption library's
// results, which the engine also sets itself for the same conditions; 500 to 507 are the
// engine's own. Each code shows one message of the string table.
#pragma once

#include "platform/WinTypes.h"

enum ItemStatus : DWORD {
  StatusSuccess = 0,
  StatusMemoryError = 1,
  StatusFileAccessError = 2,
  StatusFileCrcError = 3,
  StatusWrongPassword = 4,
  StatusDecryptionError = 5,
  StatusNotAuthorized = 6,
  StatusEngineInitError = 7,
  StatusIntegrityError = 8,
  StatusAlreadyEncrypted = 10,
  StatusSourceInUse = 11,
  StatusDestinationInUse = 12,
  StatusNoData = 13,
  StatusDestinationExists = 14,
  StatusContainerError = 15,
  StatusIncompatibleFormat = 17,
  StatusIncompatibleFormat2 = 18,
  StatusUserNotAllowed = 19,
  StatusSourceNotDeleted = 500,
  StatusSystemOrTempFile = 501,
  StatusShortcutFile = 502,
  StatusProtectedLocation = 503,
  StatusNotEncryptedFile = 504,
  StatusDirectoryAlreadyEncrypted = 505,
  StatusFolderEmpty = 506,
  StatusCancelled = 507,
};

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
  IDS_VERIFY_PROMPT_KOREAN = 170,
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
