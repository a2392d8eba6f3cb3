// The user store's cryptography, inside libqvprofile: the password hash, the key derived from
// a password, and the authenticated sealing of master keys, secret keys and exported key
// files. All of it is libsodium: Argon2id for passwords, XChaCha20-Poly1305 for sealing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvstore {

inline constexpr std::size_t kSaltSize = 16;
inline constexpr std::size_t kSymmetricKeySize = 32;
inline constexpr std::size_t kNonceSize = 24;
inline constexpr std::size_t kTagSize = 16;

// Argon2id limits used for everything the store derives from a password, and the largest
// limits accepted from a file (a hostile file must not make us allocate without bound).
std::uint64_t DefaultOpsLimit();
std::uint64_t DefaultMemLimit();
bool AcceptableKdfLimits(std::uint64_t ops, std::uint64_t mem);

// False when libsodium cannot start (no entropy source).
[[nodiscard]] bool EnsureSodium();

// crypto_pwhash_str form of the password.
[[nodiscard]] bool HashPassword(std::string_view password, std::string* hash);
[[nodiscard]] bool CheckPasswordHash(const std::string& hash, std::string_view password);

[[nodiscard]] bool RandomSalt(std::uint8_t salt[kSaltSize]);
// 32 bytes from the password with Argon2id.
[[nodiscard]] bool DeriveKey(std::string_view password, const std::uint8_t salt[kSaltSize],
                             std::uint64_t ops, std::uint64_t mem,
                             unsigned char key[kSymmetricKeySize]);

// Seals `plain` under `key` with a fresh nonce: out = nonce || ciphertext || tag. `context`
// is authenticated with it, so a sealed value cannot be moved to another user or key.
[[nodiscard]] bool Seal(const unsigned char key[kSymmetricKeySize], const std::uint8_t* plain,
                        std::size_t size, std::string_view context, std::vector<std::uint8_t>* out);
// Opens what Seal made; false (nothing written) when the key, the context or any byte differs
// or the size is not `size`.
[[nodiscard]] bool Open(const unsigned char key[kSymmetricKeySize],
                        const std::vector<std::uint8_t>& sealed, std::string_view context,
                        std::uint8_t* plain, std::size_t size);

// The authenticated contexts of the store's sealed values.
std::string MasterKeyContext(std::string_view userId);
std::string SecretKeyContext(std::string_view userId, std::string_view keyName);

}  // namespace qvstore
