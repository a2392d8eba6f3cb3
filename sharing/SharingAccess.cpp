// The sharing rules: the access check before a decryption or a sharing change, and the
// delegate users added after an encryption. The owner comes from the item itself (the
// library's owner text, which the user-data object accepts wherever it takes a user id); the
// delegate list and the keys come from the user-data object.
#include "sharing/SharingAccess.h"

#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/ItemNames.h"
#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "container/FolderContainer.h"
#include "platform/Owned.h"
#include "sharing/SharingRecords.h"
#include "suite/QvFsApi.h"
#include "suite/QvUserApi.h"

namespace {

bool IsContainerPath(std::string_view path) { return HasSuffix(path, kQvefSuffix); }

// The ids of a delegate list, in order (see the header for the form).
std::vector<std::string> DelegateIds(std::string_view list) {
  std::vector<std::string> ids;
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = list.find(':', start);
    if (colon == std::string_view::npos || colon == start) break;
    ids.emplace_back(list.substr(start, colon - start));
    start = colon + 1;
  }
  return ids;
}

std::vector<std::string> DelegatesOf(CUserData& userData, const char* userId) {
  return DelegateIds(ReadUserSetting(userData, userId, kSettingDelegateUsers));
}

// Who may use the item, as the library sees it: the privilege answer (1 for the owner, 0 for anyone
// else) and, for anyone else, the owner text (empty when it cannot be read).
struct ItemOwner {
  DWORD privilege = 0;
  std::string owner;
};

void ReadOwnerText(DWORD status, const char* text, ItemOwner* item) {
  if (status == 0) item->owner.assign(text, strnlen(text, kOwnerTextSize));
}

void AddDelegatesToFile(CUserData& userData, const std::string& owner, const ShareKey& ownerKey,
                        const std::string& path, const std::vector<std::string>& delegates) {
  for (const std::string& id : delegates) {
    ShareKey userKey(userData);
    if (!userKey.Read(id.c_str())) continue;
    if (QVFSFileIsValidUser(path.c_str(), id.c_str(), id.c_str(), userKey.Blob(),
                            userKey.Length()) == 0)
      continue;
    const std::string algorithm = ReadUserSetting(userData, id.c_str(), kSettingAlgorithmName);
    (void)QVFSFileAddUser(path.c_str(), owner.c_str(), owner.c_str(), ownerKey.Blob(),
                          ownerKey.Length(), algorithm.c_str(), id.c_str(), userKey.Blob(),
                          userKey.Length(), reinterpret_cast<const BYTE*>(id.c_str()),
                          static_cast<DWORD>(id.size() + 1), kKeyTypeUser);
  }
}

void AddDelegatesToContainer(CUserData& userData, const std::string& owner,
                             const ShareKey& ownerKey, const std::string& path,
                             const std::vector<std::string>& delegates) {
  FolderContainer container;
  ContainerRecord record;
  if (!OpenContainerRecord(container, path, &record)) {
    container.Close();
    return;
  }
  for (const std::string& id : delegates) {
    ShareKey userKey(userData);
    if (!userKey.Read(id.c_str())) continue;
    const DWORD used = static_cast<DWORD>(record.header.size());
    if (QVFSFolderIsValidUser(record.header.data(), used, id.c_str(), id.c_str(), userKey.Blob(),
                              userKey.Length()) == 0)
      continue;
    const std::string algorithm = ReadUserSetting(userData, id.c_str(), kSettingAlgorithmName);
    // Each added user gets a fresh growth step, so a long list never runs out of room.
    std::vector<BYTE> grown(record.header.size() + kFolderHeaderCapacity, 0);
    std::memcpy(grown.data(), record.header.data(), record.header.size());
    DWORD length = used;
    if (QVFSFolderAddUser(grown.data(), &length, static_cast<DWORD>(grown.size()), owner.c_str(),
                          owner.c_str(), ownerKey.Blob(), ownerKey.Length(), algorithm.c_str(),
                          id.c_str(), userKey.Blob(), userKey.Length(),
                          reinterpret_cast<const BYTE*>(id.c_str()),
                          static_cast<DWORD>(id.size() + 1), kKeyTypeUser) != 0 ||
        length == 0 || length > grown.size())
      continue;
    BYTE* data = grown.data();
    // The record in hand follows the stored one: a user whose write failed is not counted.
    if (container.SetFolderOptions(record.cspName, &data, &length) != 1) continue;
    grown.resize(length);
    record.header = std::move(grown);
  }
  container.Close();
}

}  // namespace

namespace {

// Who may use an item whose owner `item` tells, for the user data `userData` (may be null).
DWORD AccessByOwner(CUserData* userData, const std::string& userId, const ItemOwner& item) {
  // A privileged user (the owner), or an item whose header cannot be read, is allowed: the
  // library answers non-zero for both. Anyone else needs the owner's delegate list.
  if (item.privilege != 0) return kSharingAllowed;
  if (item.owner.empty()) return kSharingAllowed;
  if (userData == nullptr) return kSharingRefused;
  for (const std::string& id : DelegatesOf(*userData, item.owner.c_str()))
    if (id == userId) return kSharingAllowed;
  return kSharingRefused;
}

// The owner of a container with the protection record `header`, as `userId` sees it.
ItemOwner ContainerOwner(const std::string& userId, const std::vector<BYTE>& header) {
  ItemOwner item;
  char ownerText[kOwnerTextSize] = {};
  DWORD length = static_cast<DWORD>(header.size());
  item.privilege = QVFSFolderChekIsPrivilegeUser(userId.c_str(), header.data(), length);
  if (item.privilege == 0)
    ReadOwnerText(QVFSFolderGetOwner(header.data(), &length, ownerText), ownerText, &item);
  return item;
}

}  // namespace

DWORD SharingAccessCheck(const std::string& userId, const std::string& path) noexcept {
  try {
    CUserData* userData = SharingUserData();
    if (userData != nullptr && userData->EditionCode == EDITION_SENTIVO) return kSharingAllowed;

    ItemOwner item;
    if (IsContainerPath(path)) {
      FolderContainer container;
      ContainerRecord record;
      const bool opened = OpenContainerRecord(container, path, &record);
      container.Close();
      if (!opened) return StatusCancelled;
      item = ContainerOwner(userId, record.header);
    } else {
      char ownerText[kOwnerTextSize] = {};
      item.privilege = QVFSFileChekIsPrivilegeUser(userId.c_str(), path.c_str());
      if (item.privilege == 0)
        ReadOwnerText(QVFSFileGetOwner(path.c_str(), ownerText), ownerText, &item);
    }
    return AccessByOwner(userData, userId, item);
  } catch (...) {
    return kSharingRefused;
  }
}

DWORD ContainerSharingAccessCheck(const std::string& userId,
                                  const std::vector<BYTE>& header) noexcept {
  try {
    CUserData* userData = SharingUserData();
    if (userData != nullptr && userData->EditionCode == EDITION_SENTIVO) return kSharingAllowed;
    return AccessByOwner(userData, userId, ContainerOwner(userId, header));
  } catch (...) {
    return kSharingRefused;
  }
}

void ApplyDelegateSharing(const std::string& ownerUserId, const std::string& path) noexcept {
  try {
    CUserData* userData = SharingUserData();
    if (userData == nullptr) return;
    const std::vector<std::string> delegates = DelegatesOf(*userData, ownerUserId.c_str());
    if (delegates.empty()) return;
    ShareKey ownerKey(*userData);
    // Without the owner's key nobody can be added.
    if (!ownerKey.Read(ownerUserId.c_str())) return;
    if (IsContainerPath(path))
      AddDelegatesToContainer(*userData, ownerUserId, ownerKey, path, delegates);
    else
      AddDelegatesToFile(*userData, ownerUserId, ownerKey, path, delegates);
  } catch (...) {
    // A rule that cannot finish leaves the item with the users added so far.
  }
}

void TrustFolderOwner(const std::string& userId, const BYTE* header, DWORD headerLength,
                      DWORD handle) noexcept {
  try {
    char ownerText[kOwnerTextSize] = {};
    DWORD length = headerLength;
    if (QVFSFolderGetOwner(header, &length, ownerText) != 0) return;
    const std::string owner(ownerText, strnlen(ownerText, kOwnerTextSize));
    if (owner.empty() || owner == userId) return;
    CUserData* userData = SharingUserData();
    if (userData == nullptr) return;
    ShareKey ownerKey(*userData);
    if (!ownerKey.Read(owner.c_str())) return;
    (void)QVFSFolderTrustOwner(handle, ownerKey.Blob(), ownerKey.Length());
  } catch (...) {
    // Untrusted, the handle still decrypts; the library refuses only the adding of files.
  }
}
