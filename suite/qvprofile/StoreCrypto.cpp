// The user store's cryptography (see StoreCrypto.h).
#include "suite/qvprofile/StoreCrypto.h"

#include <sodium.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "suite/qvprofile/MasterKey.h"

namespace {

std::atomic<std::uint64_t> g_derivations{0};

// The verifier's text form; an older store keeps a crypto_pwhash_str text ("$argon2id$...")
// in the same column.
constexpr std::string_view kVerifierPrefix = "qvlogon2$";
// The two keys a log-on derivation is split into, by crypto_kdf subkey id.
constexpr char kLogOnKdfContext[crypto_kdf_CONTEXTBYTES + 1] = "qvlogon_";
constexpr std::uint64_t kVerifierSubkey = 1;
constexpr std::uint64_t kWrappingKeySubkey = 2;

// Builds made with the test programs derive at the lowest cost when the test environment
// asks, so that hundreds of enrollments and log-ons stay affordable. A release build has no
// such switch: nothing in its environment lowers the limits.
bool CheapForTests() {
#ifdef QV_TEST_KDF_SWITCH
  const char* cost = std::getenv("QV_TEST_KDF_COST");
  return cost != nullptr && std::strcmp(cost, "low") == 0;
#else
  return false;
#endif
}

}  // namespace

namespace qvstore {

KdfLimits LogOnLimits() {
  if (CheapForTests()) return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
  return {crypto_pwhash_OPSLIMIT_MODERATE, crypto_pwhash_MEMLIMIT_MODERATE};
}

KdfLimits KeyFileLimits() {
  if (CheapForTests()) return {crypto_pwhash_OPSLIMIT_MIN + 1, 2 * crypto_pwhash_MEMLIMIT_MIN};
  return {crypto_pwhash_OPSLIMIT_SENSITIVE, crypto_pwhash_MEMLIMIT_SENSITIVE};
}

KdfLimits OlderStoreLimits() {
  return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

bool WithinKdfBounds(KdfLimits limits) {
  return limits.ops >= crypto_pwhash_OPSLIMIT_MIN &&
         limits.ops <= crypto_pwhash_OPSLIMIT_SENSITIVE &&
         limits.mem >= crypto_pwhash_MEMLIMIT_MIN && limits.mem <= crypto_pwhash_MEMLIMIT_SENSITIVE;
}

bool AtLeast(KdfLimits limits, KdfLimits floor) {
  return limits.ops >= floor.ops && limits.mem >= floor.mem;
}

bool EnsureSodium() { return sodium_init() >= 0; }

bool IsOlderPasswordHash(std::string_view stored) {
  return stored.substr(0, std::strlen(crypto_pwhash_STRPREFIX)) == crypto_pwhash_STRPREFIX;
}

bool CheckOlderPasswordHash(const std::string& hash, std::string_view password) {
  if (!EnsureSodium() || !IsOlderPasswordHash(hash)) return false;
  g_derivations.fetch_add(1, std::memory_order_relaxed);
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

bool RandomSalt(std::uint8_t salt[kSaltSize]) {
  if (!EnsureSodium()) return false;
  randombytes_buf(salt, kSaltSize);
  return true;
}

bool DeriveKey(std::string_view password, const std::uint8_t salt[kSaltSize], KdfLimits limits,
               unsigned char key[kSymmetricKeySize]) {
  static_assert(kSaltSize == crypto_pwhash_SALTBYTES);
  if (!EnsureSodium() || !WithinKdfBounds(limits)) return false;
  g_derivations.fetch_add(1, std::memory_order_relaxed);
  return crypto_pwhash(key, kSymmetricKeySize, password.data(), password.size(), salt, limits.ops,
                       static_cast<size_t>(limits.mem), crypto_pwhash_ALG_ARGON2ID13) == 0;
}

bool DeriveLogOnKeys(std::string_view password, const std::uint8_t salt[kSaltSize],
                     KdfLimits limits, unsigned char verifier[kVerifierSize],
                     unsigned char wrappingKey[kSymmetricKeySize]) {
  static_assert(kSymmetricKeySize == crypto_kdf_KEYBYTES);
  QvMasterKey root;
  if (!root.Valid() || !DeriveKey(password, salt, limits, root.Data())) return false;
  return crypto_kdf_derive_from_key(verifier, kVerifierSize, kVerifierSubkey, kLogOnKdfContext,
                                    root.Data()) == 0 &&
         crypto_kdf_derive_from_key(wrappingKey, kSymmetricKeySize, kWrappingKeySubkey,
                                    kLogOnKdfContext, root.Data()) == 0;
}

std::string VerifierText(const unsigned char verifier[kVerifierSize]) {
  char hex[2 * kVerifierSize + 1];
  sodium_bin2hex(hex, sizeof hex, verifier, kVerifierSize);
  return std::string(kVerifierPrefix) + hex;
}

bool VerifierFromText(std::string_view text, unsigned char verifier[kVerifierSize]) {
  if (text.size() != kVerifierPrefix.size() + 2 * kVerifierSize ||
      text.substr(0, kVerifierPrefix.size()) != kVerifierPrefix)
    return false;
  const std::string_view hex = text.substr(kVerifierPrefix.size());
  std::size_t length = 0;
  return sodium_hex2bin(verifier, kVerifierSize, hex.data(), hex.size(), nullptr, &length,
                        nullptr) == 0 &&
         length == kVerifierSize;
}

bool SameVerifier(const unsigned char a[kVerifierSize], const unsigned char b[kVerifierSize]) {
  return sodium_memcmp(a, b, kVerifierSize) == 0;
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

bool SealMasterKey(std::string_view context, std::string_view password,
                   const unsigned char masterKey[kSymmetricKeySize], SealedMasterKey* out) {
  SealedMasterKey sealed;
  sealed.limits = LogOnLimits();
  sealed.salt.assign(kSaltSize, 0);
  unsigned char verifier[kVerifierSize];
  QvMasterKey wrappingKey;
  if (!wrappingKey.Valid() || !RandomSalt(sealed.salt.data()) ||
      !DeriveLogOnKeys(password, sealed.salt.data(), sealed.limits, verifier, wrappingKey.Data()) ||
      !Seal(wrappingKey.Data(), masterKey, kSymmetricKeySize, context, &sealed.wrapped))
    return false;
  sealed.verifier = VerifierText(verifier);
  *out = std::move(sealed);
  return true;
}

Unsealed UnsealMasterKey(const std::vector<std::string>& contexts, std::string_view password,
                         const SealedMasterKey& stored, unsigned char masterKey[kSymmetricKeySize],
                         bool* upgrade, std::size_t* openedWith) {
  *upgrade = false;
  if (stored.salt.size() != kSaltSize || !WithinKdfBounds(stored.limits)) return Unsealed::Damaged;
  QvMasterKey wrappingKey;
  if (!wrappingKey.Valid()) return Unsealed::Failed;
  if (IsOlderPasswordHash(stored.verifier)) {
    if (!CheckOlderPasswordHash(stored.verifier, password)) return Unsealed::WrongPassword;
    if (!DeriveKey(password, stored.salt.data(), stored.limits, wrappingKey.Data()))
      return Unsealed::Failed;
    *upgrade = true;
  } else {
    unsigned char expected[kVerifierSize], derived[kVerifierSize];
    if (!VerifierFromText(stored.verifier, expected)) return Unsealed::Damaged;
    if (!DeriveLogOnKeys(password, stored.salt.data(), stored.limits, derived, wrappingKey.Data()))
      return Unsealed::Failed;
    if (!SameVerifier(expected, derived)) return Unsealed::WrongPassword;
    *upgrade = !AtLeast(stored.limits, LogOnLimits());
  }
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (Open(wrappingKey.Data(), stored.wrapped, contexts[i], masterKey, kSymmetricKeySize)) {
      *openedWith = i;
      return Unsealed::Opened;
    }
  }
  *upgrade = false;
  return Unsealed::Damaged;
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

std::uint64_t QvPasswordDerivationCount() noexcept {
  return g_derivations.load(std::memory_order_relaxed);
}
