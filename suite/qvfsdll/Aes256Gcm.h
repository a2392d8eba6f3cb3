// AES-256-GCM for the chunks of a payload, through the system's general cryptographic library:
// its implementation of this cipher runs about two and a half times as fast here as
// libsodium's, and the chunks are the cipher's bytes, not an implementation's, so files sealed
// by either open with the other. Where that library offers no such cipher (a configuration
// without its default provider), libsodium's serves.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstdint>

namespace qvfs {

class Aes256Gcm {
 public:
  static constexpr std::size_t kKeySize = 32;
  static constexpr std::size_t kNonceSize = 12;
  static constexpr std::size_t kTagSize = 16;

  // Keeps what it needs of the `kKeySize` bytes at `key` (wiped when it goes).
  explicit Aes256Gcm(const std::uint8_t* key);
  Aes256Gcm(const Aes256Gcm&) = delete;
  Aes256Gcm& operator=(const Aes256Gcm&) = delete;
  ~Aes256Gcm();

  // Whether the system library's cipher is the one in use in this process.
  [[nodiscard]] static bool UsesSystemLibrary();

  // Encrypts `size` bytes at `data` in place and writes the tag to `tag`. Any number of
  // threads may seal and open at once.
  void Seal(std::uint8_t* data, std::size_t size, const std::uint8_t* nonce, const std::uint8_t* ad,
            std::size_t adSize, std::uint8_t* tag) const;
  // Checks `tag` and decrypts `size` bytes at `data` in place; false when they are not
  // authentic, and then `data` holds zeros, never bytes of an unauthentic chunk.
  [[nodiscard]] bool Open(std::uint8_t* data, std::size_t size, const std::uint8_t* nonce,
                          const std::uint8_t* ad, std::size_t adSize,
                          const std::uint8_t* tag) const;

 private:
  std::uint8_t key_[kKeySize];
  // libsodium's expanded key, when it serves.
  crypto_aead_aes256gcm_state fallback_;
};

}  // namespace qvfs
