// The user store's cryptography, inside libqvprofile: the keys derived from a password, and
// the authenticated sealing of master keys, secret keys and exported key files. All of it is
// libsodium: Argon2id for passwords, XChaCha20-Poly1305 for sealing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "suite/SuiteExport.h"

namespace qvstore {

inline constexpr std::size_t kSaltSize = 16;
inline constexpr std::size_t kSymmetricKeySize = 32;
inline constexpr std::size_t kNonceSize = 24;
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kVerifierSize = 32;

// Argon2id passes and memory in bytes.
struct KdfLimits {
  std::uint64_t ops = 0;
  std::uint64_t mem = 0;
};

// What a log-on derives its keys with (moderate), and what an exported key file is sealed
// with (sensitive): a key file leaves the machine and may be attacked at leisure. Builds with
// the test programs lower both when QV_TEST_KDF_COST=low is set (see docs/formats-userstore.md).
KdfLimits LogOnLimits();
KdfLimits KeyFileLimits();
// The limits of the password hash older stores wrote; read, never written.
KdfLimits OlderStoreLimits();
// True when limits read from a file or a store row may be used at all: at least the minimum
// of Argon2id and at most the sensitive limits, so a hostile file cannot make us allocate or
// compute without bound.
bool WithinKdfBounds(KdfLimits limits);
// True when `limits` are at least `floor` in both passes and memory.
bool AtLeast(KdfLimits limits, KdfLimits floor);

// False when libsodium cannot start (no entropy source).
[[nodiscard]] bool EnsureSodium();

// Checks an older store's crypto_pwhash_str hash; true when the password matches.
[[nodiscard]] bool CheckOlderPasswordHash(const std::string& hash, std::string_view password);
// True when `stored` is a password hash of the older form.
bool IsOlderPasswordHash(std::string_view stored);

[[nodiscard]] bool RandomSalt(std::uint8_t salt[kSaltSize]);
// 32 bytes from the password with Argon2id.
[[nodiscard]] bool DeriveKey(std::string_view password, const std::uint8_t salt[kSaltSize],
                             KdfLimits limits, unsigned char key[kSymmetricKeySize]);
// The one Argon2id derivation of a log-on, split into the verifier the store keeps (it tells
// a wrong password from a damaged record) and the key that wraps the master key. Neither
// half tells anything about the other.
[[nodiscard]] bool DeriveLogOnKeys(std::string_view password, const std::uint8_t salt[kSaltSize],
                                   KdfLimits limits, unsigned char verifier[kVerifierSize],
                                   unsigned char wrappingKey[kSymmetricKeySize]);
// The verifier as the store keeps it in its text column, and back; FromText is false for a
// text of another form.
std::string VerifierText(const unsigned char verifier[kVerifierSize]);
bool VerifierFromText(std::string_view text, unsigned char verifier[kVerifierSize]);
// Constant-time equality of two verifiers.
bool SameVerifier(const unsigned char a[kVerifierSize], const unsigned char b[kVerifierSize]);

// Seals `plain` under `key` with a fresh nonce: out = nonce || ciphertext || tag. `context`
// is authenticated with it, so a sealed value cannot be moved to another user or key.
[[nodiscard]] bool Seal(const unsigned char key[kSymmetricKeySize], const std::uint8_t* plain,
                        std::size_t size, std::string_view context, std::vector<std::uint8_t>* out);
// Opens what Seal made; false (nothing written) when the key, the context or any byte differs
// or the size is not `size`.
[[nodiscard]] bool Open(const unsigned char key[kSymmetricKeySize],
                        const std::vector<std::uint8_t>& sealed, std::string_view context,
                        std::uint8_t* plain, std::size_t size);

// A user's master key as the store keeps it: the verifier text, the salt and limits of the
// log-on derivation, and the master key sealed under the wrapping key.
struct SealedMasterKey {
  std::string verifier;
  std::vector<std::uint8_t> salt;
  KdfLimits limits;
  std::vector<std::uint8_t> wrapped;
};
// Seals `masterKey` under `password` with one derivation at the log-on limits and a new salt;
// `context` (MasterKeyContext or one made from it) is authenticated with it.
[[nodiscard]] bool SealMasterKey(std::string_view context, std::string_view password,
                                 const unsigned char masterKey[kSymmetricKeySize],
                                 SealedMasterKey* out);
// Failed: the derivation could not run (memory).
enum class Unsealed { Opened, WrongPassword, Damaged, Failed };
// Opens a stored master key with `password`: one derivation for a record SealMasterKey made,
// the two of their time for an older store's record (its password hash, then the wrapping
// key). The wrapping is tried with each of `contexts` in turn, and *openedWith says which one
// opened it. *upgrade is set when the record should be sealed again: it is of the older form,
// or its limits are below today's log-on limits. `masterKey` is written only when Opened.
[[nodiscard]] Unsealed UnsealMasterKey(const std::vector<std::string>& contexts,
                                       std::string_view password, const SealedMasterKey& stored,
                                       unsigned char masterKey[kSymmetricKeySize], bool* upgrade,
                                       std::size_t* openedWith);

// The authenticated contexts of the store's sealed values.
std::string MasterKeyContext(std::string_view userId);
std::string SecretKeyContext(std::string_view userId, std::string_view keyName);

}  // namespace qvstore

// How many Argon2id derivations this process has run: a log-on costs one, and the tests
// count them.
QV_SUITE_API std::uint64_t QvPasswordDerivationCount() noexcept;
