// Key blobs, acting names, owner texts and header unlocking (see UserKeys.h).
#include "suite/qvfsdll/UserKeys.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "platform/AsciiCase.h"
#include "suite/QvKeyBlob.h"

namespace qvfs {

namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

namespace {

// A key blob of version 2: the Ed25519 key pair, and the X25519 key pair derived from it.
bool ParseSigningBlob(const BYTE* blob, bool hasSecret, UserKey* key) {
  std::memcpy(key->signPublicKey.data(), blob + kKeyBlobPublicOffset, kKeySize);
  if (crypto_sign_ed25519_pk_to_curve25519(key->publicKey.data(), key->signPublicKey.data()) != 0)
    return false;
  key->signKeyBound = true;
  if (!hasSecret) return true;
  std::memcpy(key->signSeed.data(), blob + kKeyBlobSecretOffset, kKeySize);
  std::uint8_t signPublic[crypto_sign_PUBLICKEYBYTES];
  std::uint8_t signSecret[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(signPublic, signSecret, key->signSeed.data());
  const int converted = crypto_sign_ed25519_sk_to_curve25519(key->secretKey.data(), signSecret);
  sodium_memzero(signSecret, sizeof signSecret);
  if (converted != 0 || sodium_memcmp(signPublic, key->signPublicKey.data(), kKeySize) != 0)
    return false;
  key->hasSecret = key->hasSignKey = true;
  return true;
}

// A key blob of version 1: the X25519 key pair; with the secret, a signing key derived from it.
bool ParseX25519Blob(const BYTE* blob, bool hasSecret, UserKey* key) {
  std::memcpy(key->publicKey.data(), blob + kKeyBlobPublicOffset, kKeySize);
  if (!hasSecret) return true;
  std::memcpy(key->secretKey.data(), blob + kKeyBlobSecretOffset, kKeySize);
  PublicKey derived{};
  if (crypto_scalarmult_base(derived.data(), key->secretKey.data()) != 0 ||
      sodium_memcmp(derived.data(), key->publicKey.data(), kKeySize) != 0)
    return false;
  static constexpr char kDomain[] = "QvfSigningSeed1";
  crypto_generichash(key->signSeed.data(), kKeySize, reinterpret_cast<const std::uint8_t*>(kDomain),
                     sizeof kDomain - 1, key->secretKey.data(), kKeySize);
  std::uint8_t signSecret[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(key->signPublicKey.data(), signSecret, key->signSeed.data());
  sodium_memzero(signSecret, sizeof signSecret);
  key->hasSecret = key->hasSignKey = true;
  return true;
}

}  // namespace

bool ParseKeyBlob(const BYTE* blob, DWORD length, UserKey* out) {
  bool hasSecret = false;
  if (!IsKeyBlob(blob, length, &hasSecret)) return false;
  UserKey key;
  const bool parsed = blob[4] == kKeyBlobVersion ? ParseSigningBlob(blob, hasSecret, &key)
                                                 : ParseX25519Blob(blob, hasSecret, &key);
  if (!parsed) return false;
  *out = key;
  return true;
}

OwnerTrust CheckOwner(const KeyHeader& header, Family family, const UserKey* reader) {
  // A file of a folder carries no signature: its folder header's says who owns it.
  if (!header.signedFormat || header.kind == Kind::FolderFile) return OwnerTrust::Unconfirmed;
  if (!SignatureVerifies(header, family)) return OwnerTrust::Forged;
  if (reader != nullptr && reader->hasSignKey && reader->publicKey == header.ownerKey)
    return reader->signPublicKey == header.ownerSignKey ? OwnerTrust::Confirmed
                                                        : OwnerTrust::Forged;
  PublicKey bound{};
  if (crypto_sign_ed25519_pk_to_curve25519(bound.data(), header.ownerSignKey.data()) == 0 &&
      bound == header.ownerKey)
    return OwnerTrust::Confirmed;
  return OwnerTrust::Unconfirmed;
}

void SignAsOwner(KeyHeader* header, Family family, const UserKey& owner) {
  ++header->listVersion;
  SignHeader(header, family, owner.signSeed);
}

std::string ActingName(const char* keyName, const BYTE* credentials, DWORD credentialsLength) {
  std::string name;
  if (credentials != nullptr && credentialsLength != 0) {
    const char* text = reinterpret_cast<const char*>(credentials);
    const void* end = std::memchr(text, '\0', credentialsLength);
    name.assign(text, end != nullptr ? static_cast<const char*>(end) : text + credentialsLength);
  }
  if (name.empty() && keyName != nullptr) name = keyName;
  return IsUsableName(name) ? name : std::string();
}

bool IsUsableName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxNameLength && name.find('\0') == std::string::npos;
}

bool IsGuidKeyName(const std::string& name) {
  static constexpr char kPattern[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
  if (name.size() != sizeof kPattern - 1) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (kPattern[i] == 'x' ? !IsHex(name[i]) : name[i] != kPattern[i]) return false;
  }
  return true;
}

std::string OwnerIdentity(const std::string& keyName) {
  return IsGuidKeyName(keyName) ? keyName : "{" + keyName + "}";
}

std::string KeyFileName(const std::string& keyName) {
  std::string base = IsGuidKeyName(keyName) ? keyName.substr(1, keyName.size() - 2) : keyName;
  for (char& c : base) {
    if (c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  if (base == "." || base == "..") base = "_";
  return base + ".qvkey";
}

void SetOwner(KeyHeader* header, const std::string& keyName, const UserKey& owner) {
  header->ownerName = keyName;
  header->ownerIdentity = OwnerIdentity(keyName);
  header->ownerKeyFile = KeyFileName(keyName);
  header->ownerKey = owner.publicKey;
  header->ownerSignKey = owner.signPublicKey;
}

Aead ChooseAead(const std::string& algorithmName) {
  const bool aes = crypto_aead_aes256gcm_is_available() != 0;
  if (EqualsIgnoringAsciiCase(algorithmName.c_str(), AeadName(Aead::XChaCha20Poly1305)))
    return Aead::XChaCha20Poly1305;
  if (EqualsIgnoringAsciiCase(algorithmName.c_str(), AeadName(Aead::Aes256Gcm)) && aes)
    return Aead::Aes256Gcm;
  return aes ? Aead::Aes256Gcm : Aead::XChaCha20Poly1305;
}

void SetAlgorithm(KeyHeader* header, const char* algorithmName, DWORD algorithmId) {
  std::string requested = algorithmName != nullptr
                              ? std::string(algorithmName, strnlen(algorithmName, MAX_PATH))
                              : std::string();
  header->aead = ChooseAead(requested);
  header->algorithmId = algorithmId;
  if (requested.empty()) {
    requested = AeadName(header->aead);
  } else if (requested.size() > kMaxNameLength) {
    requested.resize(kMaxNameLength);
  }
  header->algorithmName = std::move(requested);
}

const char* AeadName(Aead aead) {
  return aead == Aead::Aes256Gcm ? "AES-256-GCM" : "XChaCha20-Poly1305";
}

bool AeadAvailable(Aead aead) {
  return aead == Aead::XChaCha20Poly1305 || crypto_aead_aes256gcm_is_available() != 0;
}

DWORD UnlockHeader(const KeyHeader& header, Family family, const UserKey& user,
                   const std::string& name, SecretKey* itemKey) {
  if (!user.hasSecret) return StatusWrongPassword;
  const std::ptrdiff_t index = FindRecipient(header, user.publicKey);
  if (index < 0) return IsListedName(header, name) ? StatusWrongPassword : StatusNotAuthorized;
  SecretKey key;
  if (!OpenSealedKey(header.recipients[static_cast<std::size_t>(index)], user.publicKey,
                     user.secretKey, &key))
    return StatusIntegrityError;
  if (const DWORD status = VerifyMacs(header, family, key); status != StatusSuccess) return status;
  if (CheckOwner(header, family, &user) == OwnerTrust::Forged) return StatusIntegrityError;
  *itemKey = key;
  return StatusSuccess;
}

bool IsListedName(const KeyHeader& header, const std::string& name) {
  return !name.empty() && std::any_of(header.recipients.begin(), header.recipients.end(),
                                      [&](const Recipient& entry) { return entry.name == name; });
}

}  // namespace qvfs
