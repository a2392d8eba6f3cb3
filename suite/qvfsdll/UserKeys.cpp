// Key blobs, acting names, owner texts and header unlocking (see UserKeys.h).
#include "suite/qvfsdll/UserKeys.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "suite/QvKeyBlob.h"

namespace qvfs {

namespace {

bool EqualsIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(*a) != lower(*b)) return false;
  }
  return *a == *b;
}

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

bool ParseKeyBlob(const BYTE* blob, DWORD length, UserKey* out) {
  bool hasSecret = false;
  if (!IsKeyBlob(blob, length, &hasSecret)) return false;
  UserKey key;
  std::memcpy(key.publicKey.data(), blob + kKeyBlobPublicOffset, kKeySize);
  key.hasSecret = hasSecret;
  if (hasSecret) {
    std::memcpy(key.secretKey.data(), blob + kKeyBlobSecretOffset, kKeySize);
    PublicKey derived{};
    if (crypto_scalarmult_base(derived.data(), key.secretKey.data()) != 0 ||
        sodium_memcmp(derived.data(), key.publicKey.data(), kKeySize) != 0)
      return false;
  }
  *out = key;
  return true;
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

void SetOwner(KeyHeader* header, const std::string& keyName, const PublicKey& publicKey) {
  header->ownerName = keyName;
  header->ownerIdentity = OwnerIdentity(keyName);
  header->ownerKeyFile = KeyFileName(keyName);
  header->ownerKey = publicKey;
}

Aead ChooseAead(const std::string& algorithmName) {
  const bool aes = crypto_aead_aes256gcm_is_available() != 0;
  if (EqualsIgnoringCase(algorithmName.c_str(), AeadName(Aead::XChaCha20Poly1305)))
    return Aead::XChaCha20Poly1305;
  if (EqualsIgnoringCase(algorithmName.c_str(), AeadName(Aead::Aes256Gcm)) && aes)
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
  *itemKey = key;
  return StatusSuccess;
}

bool IsListedName(const KeyHeader& header, const std::string& name) {
  return !name.empty() && std::any_of(header.recipients.begin(), header.recipients.end(),
                                      [&](const Recipient& entry) { return entry.name == name; });
}

}  // namespace qvfs
