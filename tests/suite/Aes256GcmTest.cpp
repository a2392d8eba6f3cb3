// The chunks' cipher against libsodium's AES-256-GCM: the same key, nonce and additional data
// give the same bytes and tag either way, so files sealed before and after the change of
// implementation open with both; and a chunk that is not authentic leaves no plaintext behind.
#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "suite/qvfsdll/Aes256Gcm.h"

namespace {

// A string's bytes are never a null pointer, also when there are none (libsodium's calls
// require that).
using Bytes = std::basic_string<unsigned char>;
using qvfs::Aes256Gcm;

Bytes Random(std::size_t size) {
  Bytes out(size, 0);
  randombytes_buf(out.data(), out.size());
  return out;
}

// Run a second time by the test list with the system library configured to have no ciphers
// (QV_TEST_NO_SYSTEM_CIPHER set), where libsodium's serves: the same checks hold either way.
TEST(Aes256GcmTest, SealsAndOpensTheSameBytesAsLibsodiumAndRefusesAnyChange) {
  ASSERT_GE(sodium_init(), 0);
  if (crypto_aead_aes256gcm_is_available() == 0) GTEST_SKIP() << "no AES instructions here";
  EXPECT_EQ(Aes256Gcm::UsesSystemLibrary(), std::getenv("QV_TEST_NO_SYSTEM_CIPHER") == nullptr);
  const Bytes key = Random(Aes256Gcm::kKeySize);
  const Bytes nonce = Random(Aes256Gcm::kNonceSize);
  const Bytes ad = Random(25);
  const Aes256Gcm cipher(key.data());
  // Around the cipher's block and the library's internal steps, and a whole chunk.
  for (const std::size_t size : {0, 1, 15, 16, 17, 4096 + 5, (1 << 20) + 3}) {
    SCOPED_TRACE(size);
    const Bytes plain = Random(size);

    // Ours sealed, libsodium opens.
    Bytes sealed = plain;
    Bytes tag(Aes256Gcm::kTagSize, 0);
    cipher.Seal(sealed.data(), size, nonce.data(), ad.data(), ad.size(), tag.data());
    Bytes theirs(size, 0);
    Bytes theirTag(Aes256Gcm::kTagSize, 0);
    crypto_aead_aes256gcm_encrypt_detached(theirs.data(), theirTag.data(), nullptr, plain.data(),
                                           size, ad.data(), ad.size(), nullptr, nonce.data(),
                                           key.data());
    EXPECT_EQ(sealed, theirs);
    EXPECT_EQ(tag, theirTag);
    if (size > 0) {
      EXPECT_NE(sealed, plain);
    }

    // Libsodium sealed, ours opens.
    Bytes opened = theirs;
    ASSERT_TRUE(
        cipher.Open(opened.data(), size, nonce.data(), ad.data(), ad.size(), theirTag.data()));
    EXPECT_EQ(opened, plain);

    // A changed byte, tag, additional data or nonce: refused, and the buffer holds no
    // plaintext (the cipher decrypts before it reaches the tag).
    const auto refused = [&](Bytes data, const Bytes& withTag, const Bytes& withAd,
                             const Bytes& withNonce) {
      const bool opened = cipher.Open(data.data(), size, withNonce.data(), withAd.data(),
                                      withAd.size(), withTag.data());
      return !opened &&
             std::all_of(data.begin(), data.end(), [](unsigned char c) { return c == 0; });
    };
    Bytes flipped = theirs;
    if (size > 0) {
      flipped[size / 2] ^= 1;
      EXPECT_TRUE(refused(flipped, theirTag, ad, nonce));
    }
    Bytes badTag = theirTag;
    badTag[0] ^= 0x80;
    EXPECT_TRUE(refused(theirs, badTag, ad, nonce));
    Bytes badAd = ad;
    badAd.back() ^= 1;  // the last flag of a chunk
    EXPECT_TRUE(refused(theirs, theirTag, badAd, nonce));
    Bytes badNonce = nonce;
    badNonce[0] ^= 1;  // another chunk index
    EXPECT_TRUE(refused(theirs, theirTag, ad, badNonce));
  }
}

}  // namespace
