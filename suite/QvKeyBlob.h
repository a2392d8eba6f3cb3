// The key blob: the key material CreatePKISettings makes and a KeyRecord carries. The
// file-encryption library and the user-data library both read it, so its layout is fixed
// here (docs/formats.md describes it for readers outside the code).
//
// Layout, 72 bytes, little-endian:
//   0  magic "QVKB"
//   4  u8  version (1)
//   5  u8  flags: bit 0 set when the secret key is present
//   6  u16 reserved, 0
//   8  32 bytes X25519 public key
//   40 32 bytes X25519 secret key (all zero when absent)
// A blob with the secret is what the owner's verified process holds; a blob without it is the
// public material other users share with (ShareKeyRecord).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr std::size_t kKeyBlobSize = 72;
inline constexpr std::size_t kKeyBlobPublicOffset = 8;
inline constexpr std::size_t kKeyBlobSecretOffset = 40;
inline constexpr std::size_t kKeyBlobKeySize = 32;
inline constexpr std::uint8_t kKeyBlobVersion = 1;
inline constexpr std::uint8_t kKeyBlobHasSecret = 0x01;

// True when `blob` is a key blob of a version this build reads; `hasSecret` (optional) tells
// whether it carries the secret key.
[[nodiscard]] inline bool IsKeyBlob(const std::uint8_t* blob, std::size_t length,
                                    bool* hasSecret = nullptr) {
  if (blob == nullptr || length != kKeyBlobSize || std::memcmp(blob, "QVKB", 4) != 0 ||
      blob[4] != kKeyBlobVersion || (blob[5] & ~kKeyBlobHasSecret) != 0)
    return false;
  if (hasSecret != nullptr) *hasSecret = (blob[5] & kKeyBlobHasSecret) != 0;
  return true;
}
