// The key blob: the key material CreatePKISettings makes and a KeyRecord carries. The
// file-encryption library and the user-data library both read it, so its layout is fixed
// here (docs/formats-qvf.md describes it for readers outside the code).
//
// Layout, 72 bytes, little-endian:
//   0  magic "QVKB"
//   4  u8  version (1 or 2)
//   5  u8  flags: bit 0 set when the secret key is present
//   6  u16 reserved, 0
//   8  32 bytes public key
//   40 32 bytes secret key (all zero when absent)
// Version 2 (written now): an Ed25519 signing key pair, the public key and the 32-byte seed;
// the X25519 key pair that receives item keys is derived from it, so one public key both
// receives keys and confirms the headers its owner signs. Version 1 (still read): an X25519
// key pair only; its holder signs with a key derived from the X25519 secret, which nobody
// else can tie to the public key.
// A blob with the secret is what the owner's verified process holds; a blob without it is the
// public material other users share with (ShareKeyRecord). The size and the offsets are the
// same in both versions, so stores keep the secret the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr std::size_t kKeyBlobSize = 72;
inline constexpr std::size_t kKeyBlobPublicOffset = 8;
inline constexpr std::size_t kKeyBlobSecretOffset = 40;
inline constexpr std::size_t kKeyBlobKeySize = 32;
inline constexpr std::uint8_t kKeyBlobVersionX25519 = 1;
inline constexpr std::uint8_t kKeyBlobVersion = 2;
inline constexpr std::uint8_t kKeyBlobHasSecret = 0x01;

// True when `blob` is a key blob of a version this build reads; `hasSecret` (optional) tells
// whether it carries the secret key.
[[nodiscard]] inline bool IsKeyBlob(const std::uint8_t* blob, std::size_t length,
                                    bool* hasSecret = nullptr) {
  if (blob == nullptr || length != kKeyBlobSize || std::memcmp(blob, "QVKB", 4) != 0 ||
      (blob[4] != kKeyBlobVersion && blob[4] != kKeyBlobVersionX25519) ||
      (blob[5] & ~kKeyBlobHasSecret) != 0 || blob[6] != 0 || blob[7] != 0)
    return false;
  if (hasSecret != nullptr) *hasSecret = (blob[5] & kKeyBlobHasSecret) != 0;
  return true;
}
