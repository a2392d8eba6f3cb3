// The user store's cryptography (see StoreCrypto.h).
#include "suite/qvprofile/StoreCrypto.h"

#include <sodium.h>

namespace qvstore {

std::uint64_t DefaultOpsLimit() { return crypto_pwhash_OPSLIMIT_INTERACTIVE; }
std::uint64_t DefaultMemLimit() { return crypto_pwhash_MEMLIMIT_INTERACTIVE; }

bool AcceptableKdfLimits(std::uint64_t ops, std::uint64_t mem) {
  return ops >= crypto_pwhash_OPSLIMIT_MIN && ops <= crypto_pwhash_OPSLIMIT_SENSITIVE &&
         mem >= crypto_pwhash_MEMLIMIT_MIN && mem <= crypto_pwhash_MEMLIMIT_MODERATE;
}

bool EnsureSodium() { return sodium_init() >= 0; }

bool HashPassword(std::string_view password, std::string* hash) {
  if (!EnsureSodium()) return false;
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), DefaultOpsLimit(),
                        DefaultMemLimit()) != 0)
    return false;
  hash->assign(out);
  return true;
}

bool CheckPasswordHash(const std::string& hash, std::string_view password) {
  if (!EnsureSodium()) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

bool RandomSalt(std::uint8_t salt[kSaltSize]) {
  if (!EnsureSodium()) return false;
  randombytes_buf(salt, kSaltSize);
  return true;
}

bool DeriveKey(std::string_view password, const std::uint8_t salt[kSaltSize], std::uint64_t ops,
               std::uint64_t mem, unsigned char key[kSymmetricKeySize]) {
  static_assert(kSaltSize == crypto_pwhash_SALTBYTES);
  if (!EnsureSodium() || !AcceptableKdfLimits(ops, mem)) return false;
  return crypto_pwhash(key, kSymmetricKeySize, password.data(), password.size(), salt, ops,
                       static_cast<size_t>(mem), crypto_pwhash_ALG_ARGON2ID13) == 0;
}

bool Seal(const unsigned char key[kSymmetricKeySize], const std::uint8_t* plain, std::size_t size,
          std::string_view context, std::vector<std::uint8_t>* out) {
  static_assert(kNonceSize == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
  static_assert(kTagSize == crypto_aead_xchacha20poly1305_ietf_ABYTES);
  if (!EnsureSodium()) return false;
  out->assign(kNonceSize + size + kTagSize, 0);
  randombytes_buf(out->data(), kNonceSize);
  unsigned long long written = 0;
  if (crypto_aead_xchacha20poly1305_ietf_encrypt(
          out->data() + kNonceSize, &written, plain, size,
          reinterpret_cast<const unsigned char*>(context.data()), context.size(), nullptr,
          out->data(), key) != 0 ||
      written != size + kTagSize) {
    out->clear();
    return false;
  }
  return true;
}

bool Open(const unsigned char key[kSymmetricKeySize], const std::vector<std::uint8_t>& sealed,
          std::string_view context, std::uint8_t* plain, std::size_t size) {
  if (!EnsureSodium() || sealed.size() != kNonceSize + size + kTagSize) return false;
  unsigned long long written = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(
          plain, &written, nullptr, sealed.data() + kNonceSize, sealed.size() - kNonceSize,
          reinterpret_cast<const unsigned char*>(context.data()), context.size(), sealed.data(),
          key) != 0) {
    sodium_memzero(plain, size);
    return false;
  }
  return written == size;
}

std::string MasterKeyContext(std::string_view userId) {
  std::string context("qvus-master-key");
  context.push_back('\0');
  context.append(userId);
  return context;
}

std::string SecretKeyContext(std::string_view userId, std::string_view keyName) {
  std::string context("qvus-secret-key");
  context.push_back('\0');
  context.append(userId);
  context.push_back('\0');
  context.append(keyName);
  return context;
}

}  // namespace qvstore
