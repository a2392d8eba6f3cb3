// AES-256-GCM through the system's general cryptographic library (see Aes256Gcm.h).
#include "suite/qvfsdll/Aes256Gcm.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace qvfs {

namespace {

// The cipher is looked up once for the process: an implicit lookup at every call takes a
// lock the threads sealing chunks side by side would queue on. Null when there is none.
const EVP_CIPHER* Cipher() {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  return cipher;
}

struct ContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_CIPHER_CTX, ContextFree>;

// A context keyed for one chunk; aborts when the library cannot make one (out of memory),
// as libsodium's calls cannot fail either.
Context Begin(bool encrypt, const std::uint8_t* key, const std::uint8_t* nonce) {
  Context context(EVP_CIPHER_CTX_new());
  if (!context ||
      EVP_CipherInit_ex2(context.get(), Cipher(), key, nonce, encrypt ? 1 : 0, nullptr) != 1)
    std::abort();
  return context;
}

// Runs `size` bytes at `data` through the context in place (its length argument is an int).
bool Update(EVP_CIPHER_CTX* context, std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  for (std::size_t done = 0; done < size;) {
    const int piece = static_cast<int>(std::min(size - done, kPiece));
    int out = 0;
    if (EVP_CipherUpdate(context, data + done, &out, data + done, piece) != 1 || out != piece)
      return false;
    done += static_cast<std::size_t>(piece);
  }
  return true;
}

bool AddData(EVP_CIPHER_CTX* context, const std::uint8_t* ad, std::size_t adSize) {
  int out = 0;
  return adSize <= INT_MAX &&
         EVP_CipherUpdate(context, nullptr, &out, ad, static_cast<int>(adSize)) == 1;
}

}  // namespace

Aes256Gcm::Aes256Gcm(const std::uint8_t* key) {
  if (UsesSystemLibrary()) {
    std::memcpy(key_, key, kKeySize);
  } else {
    std::memset(key_, 0, kKeySize);
    crypto_aead_aes256gcm_beforenm(&fallback_, key);
  }
}

Aes256Gcm::~Aes256Gcm() {
  OPENSSL_cleanse(key_, kKeySize);
  if (!UsesSystemLibrary()) sodium_memzero(&fallback_, sizeof fallback_);
}

bool Aes256Gcm::UsesSystemLibrary() { return Cipher() != nullptr; }

void Aes256Gcm::Seal(std::uint8_t* data, std::size_t size, const std::uint8_t* nonce,
                     const std::uint8_t* ad, std::size_t adSize, std::uint8_t* tag) const {
  if (!UsesSystemLibrary()) {
    crypto_aead_aes256gcm_encrypt_detached_afternm(data, tag, nullptr, data, size, ad, adSize,
                                                   nullptr, nonce, &fallback_);
    return;
  }
  Context context = Begin(true, key_, nonce);
  std::uint8_t none[kTagSize];  // a stream cipher's end writes nothing
  int out = 0;
  if (!AddData(context.get(), ad, adSize) || !Update(context.get(), data, size) ||
      EVP_EncryptFinal_ex(context.get(), none, &out) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag) !=
          1)
    std::abort();
}

bool Aes256Gcm::Open(std::uint8_t* data, std::size_t size, const std::uint8_t* nonce,
                     const std::uint8_t* ad, std::size_t adSize, const std::uint8_t* tag) const {
  if (!UsesSystemLibrary()) {
    // libsodium leaves zeros in place of an unauthentic chunk itself.
    return crypto_aead_aes256gcm_decrypt_detached_afternm(data, nullptr, data, size, tag, ad,
                                                          adSize, nonce, &fallback_) == 0;
  }
  Context context = Begin(false, key_, nonce);
  std::uint8_t expected[kTagSize], none[kTagSize];
  std::memcpy(expected, tag, kTagSize);
  int out = 0;
  const bool authentic = AddData(context.get(), ad, adSize) && Update(context.get(), data, size) &&
                         EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG,
                                             static_cast<int>(kTagSize), expected) == 1 &&
                         EVP_DecryptFinal_ex(context.get(), none, &out) == 1;
  // The cipher decrypts before it can check the tag at the end.
  if (!authentic) OPENSSL_cleanse(data, size);
  return authentic;
}

}  // namespace qvfs
