// Who may open an item and who may change that: the user-list operations on a key header,
// shared by files (the header at the start of a .qvf file, rewritten atomically) and folders
// (the header in the caller's buffer, changed in place).
//
// Rules. An entry is matched by its public key; its name is what lists show. The owner is
// the user whose key made the item (its public key is in the authenticated core). Adding a
// user needs the acting user's key pair: it must open the header (else 4 or 6), and only the
// owner may add (else 19). Removing needs no key, since the caller passes none: the acting
// user id must be the owner's name (else 19), and a signed header needs the owner's key pair
// as well, to sign it again; the owner's own entry and the last entry are never removed (19).
// Lists, owner texts and the privilege check need no key: they check the owner's signature
// (a header whose signature fails is refused with 8) but cannot check the MACs.
#pragma once

#include "platform/WinTypes.h"
#include "suite/qvfsdll/QvfFormat.h"

namespace qvfs {

// The acting user as the add and remove calls name them.
struct ActingUser {
  const char* userId = nullptr;
  const char* keyName = nullptr;
  const BYTE* keyBlob = nullptr;
  DWORD keyBlobLength = 0;
};

// The user a call is about.
struct TargetUser {
  const char* userId = nullptr;
  const char* keyName = nullptr;  // or the credential block's key name
  const BYTE* credentials = nullptr;
  DWORD credentialsLength = 0;
  const BYTE* keyBlob = nullptr;
  DWORD keyBlobLength = 0;
};

// 0 when the user may open the item. With a key pair: as UnlockHeader. With a public key
// only: 0 when it is listed, 4 when only the user's name is listed, 6 otherwise. 4 for a blob
// that is no key.
[[nodiscard]] DWORD CheckUser(const KeyHeader& header, Family family, const TargetUser& user);
// Adds `user` (see the rules above). `changed` tells whether the header was changed: an
// already listed key is left as it is. 1 when the list is full (4096 entries or a header of
// 1 MiB).
[[nodiscard]] DWORD AddUser(KeyHeader* header, Family family, const ActingUser& acting,
                            const TargetUser& user, bool* changed);
// The item key a removal replaced: a .qvf file's payload moves from the old to the new key.
struct KeyChange {
  bool replaced = false;
  SecretKey oldKey, newKey;
};
// Removes the entry of `user`'s key, or with no usable key the entry with the user's name:
// 6 when there is none. A signed header needs the owner's key pair in `acting` (4 without
// it): the item gets a new item key for the users who remain (ReplaceItemKey, told in
// `change`) and is signed again.
[[nodiscard]] DWORD RemoveUser(KeyHeader* header, Family family, const TargetUser& user,
                               const char* actingUserId, const ActingUser* acting,
                               KeyChange* change);
// 0 when `userId` is the owner's name, else 19.
[[nodiscard]] DWORD CheckPrivilege(const KeyHeader& header, const char* userId);
// The user list (entries: u32 flags, bit 0 set for the owner's entry; u32 length L; u32 the
// first four bytes of the entry's public key, little-endian; then L bytes: name and NUL).
// *size: capacity in, bytes used out; 1 with *size = bytes needed when they do not fit.
[[nodiscard]] DWORD WriteUserList(const KeyHeader& header, BYTE* buffer, DWORD* size);
// The owner text into `owner` (kOwnerTextSize bytes).
[[nodiscard]] DWORD WriteOwner(const KeyHeader& header, char* owner);

}  // namespace qvfs
