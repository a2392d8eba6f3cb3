// User-list operations on a key header (see Sharing.h).
#include "suite/qvfsdll/Sharing.h"

#include <cstring>

#include "suite/QvFsApi.h"
#include "suite/qvfsdll/UserKeys.h"

namespace qvfs {

namespace {

std::string Text(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

// The name an entry for `user` carries: the user id, else the key name, else the credential
// block's key name.
std::string EntryName(const TargetUser& user) {
  if (IsUsableName(Text(user.userId))) return user.userId;
  return ActingName(user.keyName, user.credentials, user.credentialsLength);
}

void PutU32(BYTE* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(value >> (8 * i));
}

}  // namespace

DWORD CheckUser(const KeyHeader& header, Family family, const TargetUser& user) {
  UserKey key;
  if (!ParseKeyBlob(user.keyBlob, user.keyBlobLength, &key)) return StatusWrongPassword;
  const std::string name = EntryName(user);
  if (key.hasSecret) {
    SecretKey itemKey;
    return UnlockHeader(header, family, key, name, &itemKey);
  }
  if (FindRecipient(header, key.publicKey) >= 0) return StatusSuccess;
  return IsListedName(header, name) ? StatusWrongPassword : StatusNotAuthorized;
}

DWORD AddUser(KeyHeader* header, Family family, const ActingUser& acting, const TargetUser& user,
              bool* changed) {
  *changed = false;
  UserKey actingKey;
  if (!ParseKeyBlob(acting.keyBlob, acting.keyBlobLength, &actingKey)) return StatusWrongPassword;
  const std::string actingName =
      IsUsableName(Text(acting.keyName)) ? Text(acting.keyName) : Text(acting.userId);
  SecretKey itemKey;
  if (const DWORD status = UnlockHeader(*header, family, actingKey, actingName, &itemKey);
      status != StatusSuccess)
    return status;
  if (actingKey.publicKey != header->ownerKey) return StatusUserNotAllowed;

  UserKey newKey;
  const std::string name = EntryName(user);
  if (!ParseKeyBlob(user.keyBlob, user.keyBlobLength, &newKey) || name.empty())
    return StatusWrongPassword;
  if (FindRecipient(*header, newKey.publicKey) >= 0) return StatusSuccess;
  if (header->recipients.size() >= kMaxRecipients ||
      EncodedSize(*header) + 2 + name.size() + kKeySize + kSealedKeySize + kMacSize >
          kMaxHeaderSize)
    return StatusMemoryError;
  AddRecipient(header, itemKey, name, newKey.publicKey);
  if (header->signedFormat) SignAsOwner(header, family, actingKey);
  *changed = true;
  return StatusSuccess;
}

DWORD RemoveUser(KeyHeader* header, Family family, const TargetUser& user, const char* actingUserId,
                 const ActingUser* acting, KeyChange* change) {
  if (CheckPrivilege(*header, actingUserId) != StatusSuccess) return StatusUserNotAllowed;
  // A signed header changes only with its owner's signature.
  UserKey actingKey;
  SecretKey itemKey;
  if (header->signedFormat) {
    if (acting == nullptr || !ParseKeyBlob(acting->keyBlob, acting->keyBlobLength, &actingKey))
      return StatusWrongPassword;
    if (const DWORD status = UnlockHeader(*header, family, actingKey, Text(actingUserId), &itemKey);
        status != StatusSuccess)
      return status;
    if (actingKey.publicKey != header->ownerKey) return StatusUserNotAllowed;
  }
  UserKey key;
  std::ptrdiff_t index = -1;
  if (ParseKeyBlob(user.keyBlob, user.keyBlobLength, &key)) {
    index = FindRecipient(*header, key.publicKey);
  } else {
    const std::string name = EntryName(user);
    for (std::size_t i = 0; i < header->recipients.size() && !name.empty(); ++i) {
      if (header->recipients[i].name == name) {
        index = static_cast<std::ptrdiff_t>(i);
        break;
      }
    }
  }
  if (index < 0) return StatusNotAuthorized;
  const Recipient& entry = header->recipients[static_cast<std::size_t>(index)];
  if (header->recipients.size() == 1 || entry.publicKey == header->ownerKey)
    return StatusUserNotAllowed;
  header->recipients.erase(header->recipients.begin() + index);
  if (!header->signedFormat) return StatusSuccess;
  // The removed user may have kept the item key: what comes after uses a new one.
  const SecretKey newKey = RandomKey();
  if (const DWORD status = ReplaceItemKey(header, family, itemKey, newKey); status != StatusSuccess)
    return status;
  SignAsOwner(header, family, actingKey);
  if (change != nullptr) {
    change->replaced = true;
    change->oldKey = itemKey;
    change->newKey = newKey;
  }
  return StatusSuccess;
}

DWORD CheckPrivilege(const KeyHeader& header, const char* userId) {
  return userId != nullptr && header.ownerName == userId ? StatusSuccess : StatusUserNotAllowed;
}

DWORD WriteUserList(const KeyHeader& header, BYTE* buffer, DWORD* size) {
  if (size == nullptr) return StatusMemoryError;
  std::size_t needed = 0;
  for (const Recipient& entry : header.recipients) needed += 12 + entry.name.size() + 1;
  if (buffer == nullptr || *size < needed) {
    *size = static_cast<DWORD>(needed);
    return StatusMemoryError;
  }
  BYTE* out = buffer;
  for (const Recipient& entry : header.recipients) {
    const std::uint32_t length = static_cast<std::uint32_t>(entry.name.size() + 1);
    const std::uint32_t keyTag = static_cast<std::uint32_t>(entry.publicKey[0]) |
                                 static_cast<std::uint32_t>(entry.publicKey[1]) << 8 |
                                 static_cast<std::uint32_t>(entry.publicKey[2]) << 16 |
                                 static_cast<std::uint32_t>(entry.publicKey[3]) << 24;
    PutU32(out, entry.publicKey == header.ownerKey ? 1 : 0);
    PutU32(out + 4, length);
    PutU32(out + 8, keyTag);
    std::memcpy(out + 12, entry.name.c_str(), length);
    out += 12 + length;
  }
  *size = static_cast<DWORD>(needed);
  return StatusSuccess;
}

DWORD WriteOwner(const KeyHeader& header, char* owner) {
  if (owner == nullptr) return StatusMemoryError;
  const std::string text = header.OwnerText();
  // The format's text limits keep an owner text far below the buffer; checked all the same.
  if (text.size() >= kOwnerTextSize) {
    owner[0] = '\0';
    return StatusFileCrcError;
  }
  std::memcpy(owner, text.c_str(), text.size() + 1);
  return StatusSuccess;
}

}  // namespace qvfs
