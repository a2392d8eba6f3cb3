// Encoding, parsing and keyed checks of the key header (see QvfFormat.h). The parser takes
// nothing on trust: every length is checked against the bytes that are there and against
// the limits of the format before it is used, and an encoding that is not the one this
// writer would produce is refused, so one header has exactly one byte form.
#include "suite/qvfsdll/QvfFormat.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace qvfs {

namespace {

constexpr std::uint8_t kFileMagic[kMagicSize] = {0x89, 'Q', 'V', 'F', '\r', '\n', 0x1A, '\n'};
constexpr std::uint8_t kFolderMagic[kMagicSize] = {0x89, 'Q', 'V', 'H', '\r', '\n', 0x1A, '\n'};
constexpr std::size_t kCoreFixedSize = 92;  // up to the first text
constexpr std::size_t kMaxTextLength = 300;
constexpr std::size_t kPlainFactsSize = 2 + 2 * (8 + 4);
constexpr std::uint32_t kNanosecondsPerSecond = 1000000000;
constexpr std::size_t kEntryFixedSize = 2 + kKeySize + kSealedKeySize + kMacSize;
constexpr char kMacContext[crypto_kdf_CONTEXTBYTES] = {'Q', 'v', 'f', 'H', 'e', 'a', 'd', 'r'};
constexpr char kPayloadContext[crypto_kdf_CONTEXTBYTES] = {'Q', 'v', 'f', 'P', 'a', 'y', 'l', 'd'};

const std::uint8_t* MagicOf(Family family) {
  return family == Family::File ? kFileMagic : kFolderMagic;
}

// A signed header is of the current version; an unsigned file header of version 2 exactly
// when it keeps its plain file's facts.
std::uint16_t VersionOf(const KeyHeader& header, Family family) {
  if (family == Family::Folder)
    return header.signedFormat ? kFolderHeaderVersion : kFolderHeaderVersionUnsigned;
  if (header.signedFormat) return kFileVersion;
  return header.plain ? kFileVersionUnsigned : kFileVersionWithoutFacts;
}

bool KnownVersion(std::uint16_t version, Family family) {
  return family == Family::File
             ? version >= kFileVersionWithoutFacts && version <= kFileVersion
             : version == kFolderHeaderVersion || version == kFolderHeaderVersionUnsigned;
}

bool IsSignedVersion(std::uint16_t version, Family family) {
  return version == (family == Family::File ? kFileVersion : kFolderHeaderVersion);
}

bool HasSignature(const KeyHeader& header) {
  return header.signedFormat && header.kind != Kind::FolderFile;
}

constexpr char kSignatureDomain[] = "QvfSign1";
constexpr std::size_t kOlderKeySize = 4 + kOlderKeySealedSize;
constexpr std::size_t kTrailerFixedSize = 8 + 4 + 2;

DWORD UnknownVersion(Family family) {
  return family == Family::File ? StatusIncompatibleFormat : StatusIncompatibleFormat2;
}

class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>* out) : out_(out) {}
  void U8(std::uint8_t v) { out_->push_back(v); }
  void U16(std::uint16_t v) {
    U8(static_cast<std::uint8_t>(v));
    U8(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    U16(static_cast<std::uint16_t>(v));
    U16(static_cast<std::uint16_t>(v >> 16));
  }
  void U64(std::uint64_t v) {
    U32(static_cast<std::uint32_t>(v));
    U32(static_cast<std::uint32_t>(v >> 32));
  }
  void Time(const FileTime& time) {
    U64(static_cast<std::uint64_t>(time.seconds));
    U32(time.nanoseconds);
  }
  void Bytes(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const std::size_t at = out_->size();
    out_->resize(at + size);
    std::memcpy(out_->data() + at, data, size);
  }
  void Text(const std::string& text) {
    U16(static_cast<std::uint16_t>(text.size()));
    Bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  }

 private:
  std::vector<std::uint8_t>* out_;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::size_t Offset() const { return offset_; }
  bool U8(std::uint8_t* v) {
    if (bytes_.size() - offset_ < 1) return false;
    *v = bytes_[offset_++];
    return true;
  }
  bool U16(std::uint16_t* v) {
    if (bytes_.size() - offset_ < 2) return false;
    *v = static_cast<std::uint16_t>(bytes_[offset_] | bytes_[offset_ + 1] << 8);
    offset_ += 2;
    return true;
  }
  bool U32(std::uint32_t* v) {
    std::uint16_t low = 0, high = 0;
    if (!U16(&low) || !U16(&high)) return false;
    *v = static_cast<std::uint32_t>(low) | static_cast<std::uint32_t>(high) << 16;
    return true;
  }
  bool U64(std::uint64_t* v) {
    std::uint32_t low = 0, high = 0;
    if (!U32(&low) || !U32(&high)) return false;
    *v = static_cast<std::uint64_t>(low) | static_cast<std::uint64_t>(high) << 32;
    return true;
  }
  // A time whose nanoseconds are below a second.
  bool Time(FileTime* time) {
    std::uint64_t seconds = 0;
    if (!U64(&seconds) || !U32(&time->nanoseconds)) return false;
    time->seconds = static_cast<std::int64_t>(seconds);
    return time->nanoseconds < kNanosecondsPerSecond;
  }
  bool Bytes(std::uint8_t* out, std::size_t size) {
    if (bytes_.size() - offset_ < size) return false;
    std::memcpy(out, bytes_.data() + offset_, size);
    offset_ += size;
    return true;
  }
  // A text of at most `limit` bytes without NUL.
  bool Text(std::string* out, std::size_t limit) {
    std::uint16_t size = 0;
    if (!U16(&size) || size > limit || bytes_.size() - offset_ < size) return false;
    const char* start = reinterpret_cast<const char*>(bytes_.data() + offset_);
    if (std::memchr(start, '\0', size) != nullptr) return false;
    out->assign(start, size);
    offset_ += size;
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t offset_ = 0;
};

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool KindFitsFamily(Kind kind, Family family) {
  return family == Family::Folder ? kind == Kind::Folder
                                  : kind == Kind::File || kind == Kind::FolderFile;
}

void Checksum(const std::uint8_t* data, std::size_t size, std::uint8_t* out) {
  crypto_generichash(out, kChecksumSize, data, size, nullptr, 0);
}

Mac EntryMac(const SecretKey& macKey, const ItemId& itemId, const Recipient& entry) {
  std::vector<std::uint8_t> message;
  Writer w(&message);
  static constexpr char kDomain[] = "QvfEntry";
  w.Bytes(reinterpret_cast<const std::uint8_t*>(kDomain), sizeof kDomain - 1);
  w.Bytes(itemId.data(), itemId.size());
  w.Text(entry.name);
  w.Bytes(entry.publicKey.data(), entry.publicKey.size());
  w.Bytes(entry.sealedKey.data(), entry.sealedKey.size());
  Mac mac{};
  crypto_generichash(mac.data(), mac.size(), message.data(), message.size(), macKey.data(),
                     macKey.size());
  return mac;
}

Mac CoreMac(const SecretKey& macKey, const std::vector<std::uint8_t>& core) {
  Mac mac{};
  crypto_generichash(mac.data(), mac.size(), core.data(), core.size(), macKey.data(),
                     macKey.size());
  return mac;
}

}  // namespace

SecretKey::SecretKey(const SecretKey& other) { std::memcpy(bytes_, other.bytes_, kKeySize); }

SecretKey& SecretKey::operator=(const SecretKey& other) {
  std::memmove(bytes_, other.bytes_, kKeySize);
  return *this;
}

SecretKey::~SecretKey() { sodium_memzero(bytes_, kKeySize); }

std::vector<std::uint8_t> EncodeCore(const KeyHeader& h, Family family) {
  std::vector<std::uint8_t> out;
  Writer w(&out);
  w.Bytes(MagicOf(family), kMagicSize);
  w.U16(VersionOf(h, family));
  w.U16(0);
  w.U32(0);
  w.U8(static_cast<std::uint8_t>(h.kind));
  w.U8(static_cast<std::uint8_t>(h.aead));
  w.U16(0);
  w.U32(h.chunkSize);
  w.U32(h.algorithmId);
  w.Bytes(h.itemId.data(), h.itemId.size());
  w.Bytes(h.folderId.data(), h.folderId.size());
  w.Bytes(h.ownerKey.data(), h.ownerKey.size());
  w.Text(h.algorithmName);
  w.Text(h.ownerName);
  w.Text(h.ownerIdentity);
  w.Text(h.ownerKeyFile);
  if (family == Family::File && h.plain) {
    w.U16(h.plain->mode);
    w.Time(h.plain->modified);
    w.Time(h.plain->accessed);
  }
  if (h.signedFormat) w.Bytes(h.ownerSignKey.data(), h.ownerSignKey.size());
  return out;
}

std::size_t EncodedSize(const KeyHeader& h) {
  std::size_t size = kCoreFixedSize + 8 + h.algorithmName.size() + h.ownerName.size() +
                     h.ownerIdentity.size() + h.ownerKeyFile.size() + kMacSize + 2 + kChecksumSize;
  if (h.plain) size += kPlainFactsSize;
  for (const Recipient& entry : h.recipients) size += kEntryFixedSize + entry.name.size();
  if (h.signedFormat)
    size += kKeySize + kTrailerFixedSize + h.olderKeys.size() * kOlderKeySize +
            (HasSignature(h) ? kSignatureSize : 0);
  return size;
}

std::vector<std::uint8_t> Encode(const KeyHeader& h, Family family) {
  std::vector<std::uint8_t> out = EncodeCore(h, family);
  Writer w(&out);
  w.Bytes(h.coreMac.data(), h.coreMac.size());
  w.U16(static_cast<std::uint16_t>(h.recipients.size()));
  for (const Recipient& entry : h.recipients) {
    w.Text(entry.name);
    w.Bytes(entry.publicKey.data(), entry.publicKey.size());
    w.Bytes(entry.sealedKey.data(), entry.sealedKey.size());
    w.Bytes(entry.mac.data(), entry.mac.size());
  }
  if (h.signedFormat) {
    w.U64(h.listVersion);
    w.U32(h.keyEpoch);
    w.U16(static_cast<std::uint16_t>(h.olderKeys.size()));
    for (const OlderKey& older : h.olderKeys) {
      w.U32(older.epoch);
      w.Bytes(older.sealed.data(), older.sealed.size());
    }
    if (HasSignature(h)) w.Bytes(h.signature.data(), h.signature.size());
  }
  const std::size_t length = out.size() + kChecksumSize;
  for (int i = 0; i < 4; ++i) out[12 + i] = static_cast<std::uint8_t>(length >> (8 * i));
  out.resize(length);
  Checksum(out.data(), length - kChecksumSize, out.data() + length - kChecksumSize);
  return out;
}

bool StartsWithMagic(std::span<const std::uint8_t> bytes, Family family) {
  return bytes.size() >= kMagicSize && std::memcmp(bytes.data(), MagicOf(family), kMagicSize) == 0;
}

DWORD CheckPrelude(std::span<const std::uint8_t> bytes, Family family, std::uint32_t* headerLength,
                   std::uint16_t* version) {
  if (bytes.empty()) return StatusNoData;
  const std::uint8_t* magic = MagicOf(family);
  const std::size_t compared = std::min(bytes.size(), kMagicSize);
  if (std::memcmp(bytes.data(), magic, compared) != 0) return StatusDecryptionError;
  if (bytes.size() < kPreludeSize) return StatusNoData;
  const std::uint16_t given = static_cast<std::uint16_t>(bytes[8] | bytes[9] << 8);
  const std::uint16_t flags = static_cast<std::uint16_t>(bytes[10] | bytes[11] << 8);
  if (!KnownVersion(given, family) || flags != 0) return UnknownVersion(family);
  const std::uint32_t length = ReadU32(bytes.data() + 12);
  if (length < kCoreFixedSize + 8 + kMacSize + 2 + kChecksumSize || length > kMaxHeaderSize)
    return StatusFileCrcError;
  *headerLength = length;
  if (version != nullptr) *version = given;
  return StatusSuccess;
}

DWORD Decode(std::span<const std::uint8_t> bytes, Family family, KeyHeader* out,
             std::uint32_t* headerLength) {
  std::uint32_t length = 0;
  std::uint16_t version = 0;
  if (const DWORD status = CheckPrelude(bytes, family, &length, &version); status != StatusSuccess)
    return status;
  if (bytes.size() < length) return StatusNoData;
  std::uint8_t sum[kChecksumSize];
  Checksum(bytes.data(), length - kChecksumSize, sum);
  if (std::memcmp(sum, bytes.data() + length - kChecksumSize, kChecksumSize) != 0)
    return StatusFileCrcError;

  const std::span<const std::uint8_t> body = bytes.first(length - kChecksumSize);
  Reader r(body);
  KeyHeader h;
  std::uint8_t skip[kPreludeSize];
  std::uint8_t kind = 0, aead = 0;
  std::uint16_t reserved = 0, count = 0;
  if (!r.Bytes(skip, kPreludeSize) || !r.U8(&kind) || !r.U8(&aead) || !r.U16(&reserved) ||
      !r.U32(&h.chunkSize) || !r.U32(&h.algorithmId) || !r.Bytes(h.itemId.data(), kItemIdSize) ||
      !r.Bytes(h.folderId.data(), kItemIdSize) || !r.Bytes(h.ownerKey.data(), kKeySize))
    return StatusFileCrcError;
  h.kind = static_cast<Kind>(kind);
  if (reserved != 0 || !KindFitsFamily(h.kind, family) || h.chunkSize < kMinChunkSize ||
      h.chunkSize > kMaxChunkSize)
    return StatusFileCrcError;
  if (aead != static_cast<std::uint8_t>(Aead::Aes256Gcm) &&
      aead != static_cast<std::uint8_t>(Aead::XChaCha20Poly1305))
    return UnknownVersion(family);
  h.aead = static_cast<Aead>(aead);
  if (h.kind != Kind::FolderFile &&
      std::any_of(h.folderId.begin(), h.folderId.end(), [](std::uint8_t b) { return b != 0; }))
    return StatusFileCrcError;
  if (!r.Text(&h.algorithmName, kMaxTextLength) || !r.Text(&h.ownerName, kMaxNameLength) ||
      !r.Text(&h.ownerIdentity, kMaxTextLength) || !r.Text(&h.ownerKeyFile, kMaxTextLength))
    return StatusFileCrcError;
  h.signedFormat = IsSignedVersion(version, family);
  if (family == Family::File && version != kFileVersionWithoutFacts) {
    PlainFacts plain;
    if (!r.U16(&plain.mode) || plain.mode > 0777 || !r.Time(&plain.modified) ||
        !r.Time(&plain.accessed))
      return StatusFileCrcError;
    h.plain = plain;
  }
  if (h.signedFormat && !r.Bytes(h.ownerSignKey.data(), kKeySize)) return StatusFileCrcError;
  if (!r.Bytes(h.coreMac.data(), kMacSize) || !r.U16(&count)) return StatusFileCrcError;
  if (count > kMaxRecipients || (h.kind == Kind::FolderFile && count != 0))
    return StatusFileCrcError;
  // Every entry needs at least its fixed part, so a count the bytes cannot hold is refused
  // before anything is reserved for it.
  if (count > (body.size() - r.Offset()) / kEntryFixedSize) return StatusFileCrcError;
  h.recipients.resize(count);
  for (Recipient& entry : h.recipients) {
    if (!r.Text(&entry.name, kMaxNameLength) || !r.Bytes(entry.publicKey.data(), kKeySize) ||
        !r.Bytes(entry.sealedKey.data(), kSealedKeySize) || !r.Bytes(entry.mac.data(), kMacSize))
      return StatusFileCrcError;
  }
  if (h.signedFormat) {
    std::uint16_t olderCount = 0;
    if (!r.U64(&h.listVersion) || !r.U32(&h.keyEpoch) || !r.U16(&olderCount))
      return StatusFileCrcError;
    // Only a folder changes keys, and it keeps one older key per earlier epoch, oldest first;
    // a file of a folder names the epoch of its key and nothing else.
    if (olderCount > (body.size() - r.Offset()) / kOlderKeySize ||
        (h.kind != Kind::Folder && olderCount != 0) || (h.kind == Kind::File && h.keyEpoch != 0) ||
        (h.kind == Kind::FolderFile ? h.listVersion != 0 : h.listVersion == 0))
      return StatusFileCrcError;
    h.olderKeys.resize(olderCount);
    std::uint32_t previous = 0;
    for (std::size_t i = 0; i < h.olderKeys.size(); ++i) {
      OlderKey& older = h.olderKeys[i];
      if (!r.U32(&older.epoch) || !r.Bytes(older.sealed.data(), kOlderKeySealedSize) ||
          (i != 0 && older.epoch <= previous) || older.epoch >= h.keyEpoch)
        return StatusFileCrcError;
      previous = older.epoch;
    }
    if (HasSignature(h) && !r.Bytes(h.signature.data(), kSignatureSize)) return StatusFileCrcError;
  }
  if (r.Offset() != body.size()) return StatusFileCrcError;
  *out = std::move(h);
  if (headerLength != nullptr) *headerLength = length;
  return StatusSuccess;
}

SecretKey DeriveMacKey(const SecretKey& itemKey) {
  SecretKey key;
  crypto_kdf_derive_from_key(key.data(), key.size(), 1, kMacContext, itemKey.data());
  return key;
}

SecretKey DerivePayloadKey(const SecretKey& itemKey) {
  SecretKey key;
  crypto_kdf_derive_from_key(key.data(), key.size(), 2, kPayloadContext, itemKey.data());
  return key;
}

SecretKey DeriveFolderFileKey(const SecretKey& folderKey, const ItemId& folderId,
                              const ItemId& fileId) {
  static constexpr char kDomain[] = "QvfFolderFile1";
  std::uint8_t message[sizeof kDomain - 1 + 2 * kItemIdSize];
  std::memcpy(message, kDomain, sizeof kDomain - 1);
  std::memcpy(message + sizeof kDomain - 1, folderId.data(), kItemIdSize);
  std::memcpy(message + sizeof kDomain - 1 + kItemIdSize, fileId.data(), kItemIdSize);
  SecretKey key;
  crypto_generichash(key.data(), key.size(), message, sizeof message, folderKey.data(),
                     folderKey.size());
  return key;
}

namespace {

// What the owner signs: a domain and every header byte before the signature.
std::vector<std::uint8_t> SignedMessage(const KeyHeader& header, Family family) {
  std::vector<std::uint8_t> bytes = Encode(header, family);
  bytes.resize(bytes.size() - kChecksumSize - kSignatureSize);
  bytes.insert(bytes.begin(), kSignatureDomain, kSignatureDomain + sizeof kSignatureDomain - 1);
  return bytes;
}

}  // namespace

void SignHeader(KeyHeader* header, Family family, const SecretKey& signSeed) {
  std::uint8_t publicKey[crypto_sign_PUBLICKEYBYTES];
  std::uint8_t secretKey[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(publicKey, secretKey, signSeed.data());
  const std::vector<std::uint8_t> message = SignedMessage(*header, family);
  crypto_sign_detached(header->signature.data(), nullptr, message.data(), message.size(),
                       secretKey);
  sodium_memzero(secretKey, sizeof secretKey);
}

bool SignatureVerifies(const KeyHeader& header, Family family) {
  if (!HasSignature(header)) return false;
  const std::vector<std::uint8_t> message = SignedMessage(header, family);
  return crypto_sign_verify_detached(header.signature.data(), message.data(), message.size(),
                                     header.ownerSignKey.data()) == 0;
}

namespace {

constexpr char kOlderKeyContext[crypto_kdf_CONTEXTBYTES] = {'Q', 'v', 'f', 'O', 'l', 'd', 'e', 'r'};

// The additional data of an older key: the folder and the epoch it belongs to.
std::array<std::uint8_t, kItemIdSize + 4> OlderKeyAd(const ItemId& folderId, std::uint32_t epoch) {
  std::array<std::uint8_t, kItemIdSize + 4> ad{};
  std::memcpy(ad.data(), folderId.data(), kItemIdSize);
  for (int i = 0; i < 4; ++i) ad[kItemIdSize + i] = static_cast<std::uint8_t>(epoch >> (8 * i));
  return ad;
}

OlderKey SealOlderKey(const ItemId& folderId, std::uint32_t epoch, const SecretKey& key,
                      const SecretKey& folderKey) {
  SecretKey wrapping;
  crypto_kdf_derive_from_key(wrapping.data(), wrapping.size(), 3, kOlderKeyContext,
                             folderKey.data());
  OlderKey older;
  older.epoch = epoch;
  std::uint8_t* nonce = older.sealed.data();
  randombytes_buf(nonce, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
  const auto ad = OlderKeyAd(folderId, epoch);
  crypto_aead_xchacha20poly1305_ietf_encrypt(nonce + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES,
                                             nullptr, key.data(), key.size(), ad.data(), ad.size(),
                                             nullptr, nonce, wrapping.data());
  return older;
}

bool OpenOlderKey(const ItemId& folderId, const OlderKey& older, const SecretKey& folderKey,
                  SecretKey* key) {
  SecretKey wrapping;
  crypto_kdf_derive_from_key(wrapping.data(), wrapping.size(), 3, kOlderKeyContext,
                             folderKey.data());
  const std::uint8_t* nonce = older.sealed.data();
  const auto ad = OlderKeyAd(folderId, older.epoch);
  return crypto_aead_xchacha20poly1305_ietf_decrypt(
             key->data(), nullptr, nullptr, nonce + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES,
             kOlderKeySealedSize - crypto_aead_xchacha20poly1305_ietf_NPUBBYTES, ad.data(),
             ad.size(), nonce, wrapping.data()) == 0;
}

}  // namespace

bool OpenOlderKeys(const KeyHeader& header, const SecretKey& folderKey,
                   std::vector<std::pair<std::uint32_t, SecretKey>>* keys) {
  keys->clear();
  for (const OlderKey& older : header.olderKeys) {
    SecretKey key;
    if (!OpenOlderKey(header.itemId, older, folderKey, &key)) return false;
    keys->emplace_back(older.epoch, key);
  }
  return true;
}

DWORD ReplaceItemKey(KeyHeader* header, Family family, const SecretKey& oldKey,
                     const SecretKey& newKey) {
  if (header->kind == Kind::Folder) {
    if (header->keyEpoch == UINT32_MAX || header->olderKeys.size() >= UINT16_MAX)
      return StatusMemoryError;
    std::vector<std::pair<std::uint32_t, SecretKey>> older;
    if (!OpenOlderKeys(*header, oldKey, &older)) return StatusIntegrityError;
    older.emplace_back(header->keyEpoch, oldKey);
    header->olderKeys.clear();
    for (const auto& [epoch, key] : older)
      header->olderKeys.push_back(SealOlderKey(header->itemId, epoch, key, newKey));
    ++header->keyEpoch;
  }
  SealCore(header, family, newKey);
  std::vector<Recipient> kept = std::move(header->recipients);
  header->recipients.clear();
  for (const Recipient& entry : kept) AddRecipient(header, newKey, entry.name, entry.publicKey);
  return StatusSuccess;
}

namespace {

// The core, and after it the place of a signed file of a folder when there is one.
std::vector<std::uint8_t> CoreAt(const KeyHeader& header, Family family, const Place* place) {
  std::vector<std::uint8_t> core = EncodeCore(header, family);
  if (place == nullptr || !header.signedFormat || header.kind != Kind::FolderFile) return core;
  static constexpr char kDomain[] = "QvfPlace";
  Writer w(&core);
  w.Bytes(reinterpret_cast<const std::uint8_t*>(kDomain), sizeof kDomain - 1);
  w.U64(place->version);
  w.U32(static_cast<std::uint32_t>(place->path.size()));
  w.Bytes(reinterpret_cast<const std::uint8_t*>(place->path.data()), place->path.size());
  return core;
}

}  // namespace

void SealCore(KeyHeader* header, Family family, const SecretKey& itemKey, const Place* place) {
  header->coreMac = CoreMac(DeriveMacKey(itemKey), CoreAt(*header, family, place));
}

void AddRecipient(KeyHeader* header, const SecretKey& itemKey, const std::string& name,
                  const PublicKey& publicKey) {
  Recipient entry;
  entry.name = name;
  entry.publicKey = publicKey;
  crypto_box_seal(entry.sealedKey.data(), itemKey.data(), itemKey.size(), publicKey.data());
  entry.mac = EntryMac(DeriveMacKey(itemKey), header->itemId, entry);
  header->recipients.push_back(std::move(entry));
}

DWORD VerifyMacs(const KeyHeader& header, Family family, const SecretKey& itemKey,
                 const Place* place) {
  const SecretKey macKey = DeriveMacKey(itemKey);
  const Mac core = CoreMac(macKey, CoreAt(header, family, place));
  if (sodium_memcmp(core.data(), header.coreMac.data(), kMacSize) != 0) return StatusIntegrityError;
  for (const Recipient& entry : header.recipients) {
    const Mac mac = EntryMac(macKey, header.itemId, entry);
    if (sodium_memcmp(mac.data(), entry.mac.data(), kMacSize) != 0) return StatusIntegrityError;
  }
  return StatusSuccess;
}

bool OpenSealedKey(const Recipient& entry, const PublicKey& publicKey, const SecretKey& secretKey,
                   SecretKey* itemKey) {
  return crypto_box_seal_open(itemKey->data(), entry.sealedKey.data(), kSealedKeySize,
                              publicKey.data(), secretKey.data()) == 0;
}

std::ptrdiff_t FindRecipient(const KeyHeader& header, const PublicKey& publicKey) {
  for (std::size_t i = 0; i < header.recipients.size(); ++i)
    if (header.recipients[i].publicKey == publicKey) return static_cast<std::ptrdiff_t>(i);
  return -1;
}

ItemId RandomItemId() {
  ItemId id{};
  randombytes_buf(id.data(), id.size());
  return id;
}

SecretKey RandomKey() {
  SecretKey key;
  randombytes_buf(key.data(), key.size());
  return key;
}

// ---- The list of a container's files ----

namespace {

constexpr char kFileListMagic[4] = {'Q', 'V', 'F', 'L'};
constexpr std::uint16_t kFileListVersion = 1;
constexpr char kFileListContext[crypto_kdf_CONTEXTBYTES] = {'Q', 'v', 'f', 'F', 'L', 'i', 's', 't'};

SecretKey DeriveFileListKey(const SecretKey& folderKey) {
  SecretKey key;
  crypto_kdf_derive_from_key(key.data(), key.size(), 4, kFileListContext, folderKey.data());
  return key;
}

Mac KeyedHash(const SecretKey& key, const std::vector<std::uint8_t>& message) {
  Mac mac{};
  crypto_generichash(mac.data(), mac.size(), message.data(), message.size(), key.data(),
                     key.size());
  return mac;
}

}  // namespace

DWORD FindFileList(std::span<const std::uint8_t> record, std::optional<FileList>* list,
                   std::uint32_t* headerLength) {
  list->reset();
  std::uint32_t length = 0;
  if (const DWORD status = CheckPrelude(record, Family::Folder, &length); status != StatusSuccess)
    return status;
  if (record.size() < length) return StatusNoData;
  *headerLength = length;
  const std::span<const std::uint8_t> rest = record.subspan(length);
  if (rest.empty()) return StatusSuccess;
  Reader r(rest);
  std::uint8_t magic[sizeof kFileListMagic];
  std::uint16_t version = 0, reserved = 0;
  std::uint32_t padding = 0;
  FileList found;
  if (rest.size() != kFileListSize || !r.Bytes(magic, sizeof magic) || !r.U16(&version) ||
      !r.U16(&reserved) || !r.U64(&found.version) || !r.U64(&found.count) ||
      !r.U64(&found.firstBound) || !r.U32(&found.entryEpoch) || !r.U32(&padding) ||
      !r.Bytes(found.aggregate.data(), found.aggregate.size()) ||
      !r.Bytes(found.mac.data(), found.mac.size()))
    return StatusFileCrcError;
  if (std::memcmp(magic, kFileListMagic, sizeof magic) != 0 || version != kFileListVersion ||
      reserved != 0 || padding != 0)
    return StatusFileCrcError;
  *list = found;
  return StatusSuccess;
}

std::vector<std::uint8_t> EncodeFileList(const FileList& list) {
  std::vector<std::uint8_t> out;
  Writer w(&out);
  w.Bytes(reinterpret_cast<const std::uint8_t*>(kFileListMagic), sizeof kFileListMagic);
  w.U16(kFileListVersion);
  w.U16(0);
  w.U64(list.version);
  w.U64(list.count);
  w.U64(list.firstBound);
  w.U32(list.entryEpoch);
  w.U32(0);
  w.Bytes(list.aggregate.data(), list.aggregate.size());
  w.Bytes(list.mac.data(), list.mac.size());
  return out;
}

Mac FileListMac(const KeyHeader& header, const SecretKey& folderKey, const FileList& list) {
  std::vector<std::uint8_t> message;
  Writer w(&message);
  static constexpr char kDomain[] = "QvfFList";
  w.Bytes(reinterpret_cast<const std::uint8_t*>(kDomain), sizeof kDomain - 1);
  w.Bytes(header.itemId.data(), header.itemId.size());
  w.U32(header.keyEpoch);
  w.U64(list.version);
  w.U64(list.count);
  w.U64(list.firstBound);
  w.U32(list.entryEpoch);
  w.Bytes(list.aggregate.data(), list.aggregate.size());
  return KeyedHash(DeriveFileListKey(folderKey), message);
}

Mac FileListEntry(const SecretKey& folderKey, std::uint64_t entryId, std::string_view storedPath) {
  std::vector<std::uint8_t> message;
  Writer w(&message);
  static constexpr char kDomain[] = "QvfFEntr";
  w.Bytes(reinterpret_cast<const std::uint8_t*>(kDomain), sizeof kDomain - 1);
  w.U64(entryId);
  w.U32(static_cast<std::uint32_t>(storedPath.size()));
  w.Bytes(reinterpret_cast<const std::uint8_t*>(storedPath.data()), storedPath.size());
  return KeyedHash(DeriveFileListKey(folderKey), message);
}

}  // namespace qvfs
