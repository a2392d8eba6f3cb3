// Mapping of item status codes to their names and messages.
#include "base/ItemStatus.h"

namespace {

struct StatusEntry {
  DWORD code;
  UINT messageId;
  const char* name;
};

// Codes up to 500 are looked up in the library's rows; codes above 500 in the engine's
// rows 501 to 506. Anything else shows the unknown-error text.
constexpr StatusEntry kLowStatuses[] = {
    {StatusSuccess, 107, "StatusSuccess"},
    {StatusMemoryError, 108, "StatusMemoryError"},
    {StatusFileAccessError, 109, "StatusFileAccessError"},
    {StatusFileCrcError, 110, "StatusFileCrcError"},
    {StatusWrongPassword, 111, "StatusWrongPassword"},
    {StatusDecryptionError, 112, "StatusDecryptionError"},
    {StatusNotAuthorized, 113, "StatusNotAuthorized"},
    {StatusEngineInitError, 114, "StatusEngineInitError"},
    {StatusIntegrityError, 115, "StatusIntegrityError"},
    {StatusAlreadyEncrypted, 117, "StatusAlreadyEncrypted"},
    {StatusSourceInUse, 123, "StatusSourceInUse"},
    {StatusDestinationInUse, 124, "StatusDestinationInUse"},
    {StatusNoData, 125, "StatusNoData"},
    {StatusDestinationExists, 127, "StatusDestinationExists"},
    {StatusContainerError, IDS_UNKNOWN_ERROR, "StatusContainerError"},
    {StatusIncompatibleFormat, 148, "StatusIncompatibleFormat"},
    {StatusIncompatibleFormat2, 148, "StatusIncompatibleFormat2"},
    {StatusUserNotAllowed, 147, "StatusUserNotAllowed"},
    {StatusSourceNotDeleted, 128, "StatusSourceNotDeleted"},
};

constexpr StatusEntry kEngineStatuses[] = {
    {StatusSystemOrTempFile, 129, "StatusSystemOrTempFile"},
    {StatusShortcutFile, 130, "StatusShortcutFile"},
    {StatusProtectedLocation, 131, "StatusProtectedLocation"},
    {StatusNotEncryptedFile, 132, "StatusNotEncryptedFile"},
    {StatusDirectoryAlreadyEncrypted, 133, "StatusDirectoryAlreadyEncrypted"},
    {StatusFolderEmpty, 136, "StatusFolderEmpty"},
    {StatusCancelled, IDS_CANCELLED, "StatusCancelled"},
};

const StatusEntry* Find(DWORD status) noexcept {
  if (status <= 500) {
    for (const StatusEntry& e : kLowStatuses)
      if (e.code == status) return &e;
  } else {
    for (const StatusEntry& e : kEngineStatuses)
      if (e.code == status) return &e;
  }
  return nullptr;
}

}  // namespace

UINT MessageIdForStatus(DWORD status) noexcept {
  const StatusEntry* e = Find(status);
  return e != nullptr ? e->messageId : IDS_UNKNOWN_ERROR;
}

const char* StatusName(DWORD status) noexcept {
  const StatusEntry* e = Find(status);
  return e != nullptr ? e->name : nullptr;
}
