// The users behind a call: a key blob turned into a key pair, the acting key name taken from
// the credential block, the owner texts derived from a key name, and the one way a user's
// key opens a header (find the entry by public key, open the sealed item key, verify the
// header's MACs).
#pragma once

#include <string>

#include "platform/WinTypes.h"
#include "suite/qvfsdll/QvfFormat.h"

namespace qvfs {

// A user's key pair: the X25519 key that receives item keys and the Ed25519 key that signs the
// headers the user owns.
struct UserKey {
  PublicKey publicKey{};
  SecretKey secretKey;
  bool hasSecret = false;
  // The signing key: known with the secret, or from a blob of version 2, whose X25519 key is
  // derived from it (`signKeyBound`: anyone can tie the two together). A blob of version 1
  // signs with a key derived from its secret, which only its holder can tie to it.
  PublicKey signPublicKey{};
  SecretKey signSeed;
  bool hasSignKey = false;
  bool signKeyBound = false;
};

// Reads a key blob (suite/QvKeyBlob.h). A blob that carries a secret must carry the secret of
// its own public key. False for anything else.
[[nodiscard]] bool ParseKeyBlob(const BYTE* blob, DWORD length, UserKey* out);

// The name that acts: the key name of the credential block (the text before its first NUL
// within `credentialsLength` bytes) when there is one, else `keyName`. Empty when neither
// gives a usable name.
[[nodiscard]] std::string ActingName(const char* keyName, const BYTE* credentials,
                                     DWORD credentialsLength);
// A name that fits an entry: 1 to kMaxNameLength bytes.
[[nodiscard]] bool IsUsableName(const std::string& name);
// True for "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (hexadecimal digits).
[[nodiscard]] bool IsGuidKeyName(const std::string& name);
// "{GUID}" names are their own identity; any other name becomes "{" + name + "}".
[[nodiscard]] std::string OwnerIdentity(const std::string& keyName);
// The exported key file of a key: the name without GUID braces, characters a file name
// cannot hold replaced by '_', then ".qvkey".
[[nodiscard]] std::string KeyFileName(const std::string& keyName);
// Fills the owner fields of a new header, signing key included.
void SetOwner(KeyHeader* header, const std::string& keyName, const UserKey& owner);

// The authenticated encryption a new item uses: the one `algorithmName` names when this
// machine runs it ("AES-256-GCM", "XChaCha20-Poly1305", any case), else AES-256-GCM where the
// processor supports it, else XChaCha20-Poly1305.
[[nodiscard]] Aead ChooseAead(const std::string& algorithmName);
// Sets the cipher and the algorithm fields of a new header from the caller's algorithm name
// (at most MAX_PATH bytes are read; null or empty names the chosen cipher) and id.
void SetAlgorithm(KeyHeader* header, const char* algorithmName, DWORD algorithmId);
[[nodiscard]] const char* AeadName(Aead aead);
[[nodiscard]] bool AeadAvailable(Aead aead);

// How far a header's owner is confirmed.
enum class OwnerTrust {
  // Signed by the owner: the signature verifies under a signing key bound to the owner's key
  // (derived from it, or the reader's own key when the reader is the owner).
  Confirmed,
  // Nothing says who made it: a header of an older version, or one signed with a key that
  // only its owner could tie to the owner's key.
  Unconfirmed,
  // It claims an owner that did not sign it: a signature that fails, or the reader's own key
  // named as owner with a signing key that is not the reader's.
  Forged,
};
// The owner trust of `header` as `reader` (null: a reader without a key) sees it.
[[nodiscard]] OwnerTrust CheckOwner(const KeyHeader& header, Family family, const UserKey* reader);
// Signs `header` as its owner `owner`, one more version of its entry list.
void SignAsOwner(KeyHeader* header, Family family, const UserKey& owner);

// Opens `header` with `user`'s key: 4 when the key has no secret, or `name` is listed only
// under another key; 6 when neither the key nor the name is listed; 8 when the entry does
// not open, a MAC does not verify or the header is forged (CheckOwner). On 0, `itemKey` holds the
// item key.
[[nodiscard]] DWORD UnlockHeader(const KeyHeader& header, Family family, const UserKey& user,
                                 const std::string& name, SecretKey* itemKey);
// True when some entry carries `name`.
[[nodiscard]] bool IsListedName(const KeyHeader& header, const std::string& name);

}  // namespace qvfs
