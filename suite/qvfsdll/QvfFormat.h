// The key header shared by encrypted files (.qvf) and folder headers: its in-memory form,
// the byte encoding with its checksum, and the keyed checks that bind the recipient list to
// the item key. docs/formats-qvf.md describes the bytes; this file is the one place that
// reads or writes them.
//
// Two families share one layout and differ in their magic: a file header starts every .qvf
// file (kind File: the item key is wrapped for each recipient; kind FolderFile: the key is
// derived from a folder key), a folder header is the protection record a container stores
// (kind Folder). A header is protected twice: an unkeyed checksum over all its bytes finds
// damage before any key is tried (status 3), and MACs under a key derived from the item key
// authenticate the immutable core and every recipient entry (status 8), so nobody without a
// listed user's key can add a working entry or relabel one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/WinTypes.h"
#include "suite/QvFsApi.h"

namespace qvfs {

inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kItemIdSize = 16;
inline constexpr std::size_t kMacSize = 32;
inline constexpr std::size_t kChecksumSize = 16;
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kSealedKeySize = 80;  // sealed box of a 32-byte key
inline constexpr std::size_t kPreludeSize = 16;    // magic, version, flags, header length
inline constexpr std::size_t kMagicSize = 8;
// Written now: .qvf files of version 3 and folder headers of version 2, signed by their
// owner (see KeyHeader::signedFormat). Still read: .qvf files of version 2 (with the plain
// file's facts) and 1 (without), folder headers of version 1; their owner cannot be confirmed.
inline constexpr std::uint16_t kFolderHeaderVersionUnsigned = 1;
inline constexpr std::uint16_t kFolderHeaderVersion = 2;
inline constexpr std::uint16_t kFileVersionWithoutFacts = 1;
inline constexpr std::uint16_t kFileVersionUnsigned = 2;
inline constexpr std::uint16_t kFileVersion = 3;
inline constexpr std::size_t kSignatureSize = 64;
// An older folder key kept in a folder header: nonce, the key and its tag.
inline constexpr std::size_t kOlderKeySealedSize = 24 + kKeySize + 16;

inline constexpr std::uint32_t kDefaultChunkSize = 1u << 20;
inline constexpr std::uint32_t kMinChunkSize = 4096;
inline constexpr std::uint32_t kMaxChunkSize = 4u << 20;
inline constexpr std::size_t kMaxHeaderSize = 1u << 20;
inline constexpr std::size_t kMaxNameLength = 255;
inline constexpr std::size_t kMaxRecipients = 4096;

enum class Family { File, Folder };
enum class Kind : std::uint8_t { File = 1, FolderFile = 2, Folder = 3 };
enum class Aead : std::uint8_t { Aes256Gcm = 1, XChaCha20Poly1305 = 2 };

using ItemId = std::array<std::uint8_t, kItemIdSize>;
using PublicKey = std::array<std::uint8_t, kKeySize>;
using Mac = std::array<std::uint8_t, kMacSize>;
using Signature = std::array<std::uint8_t, kSignatureSize>;

// A time as Linux file systems keep it: seconds since 1970 in UTC (negative before) and
// nanoseconds.
struct FileTime {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;  // below 1e9
  bool operator==(const FileTime&) const = default;
};

// What a .qvf file keeps of its plain file, so that decryption gives it back as it was.
struct PlainFacts {
  std::uint16_t mode = 0;  // read, write and execute bits (0 to 0777)
  FileTime modified, accessed;
  bool operator==(const PlainFacts&) const = default;
};

// 32 bytes of key material, wiped when it goes.
class SecretKey {
 public:
  SecretKey() = default;
  SecretKey(const SecretKey& other);
  SecretKey& operator=(const SecretKey& other);
  ~SecretKey();
  std::uint8_t* data() { return bytes_; }
  const std::uint8_t* data() const { return bytes_; }
  static constexpr std::size_t size() { return kKeySize; }

 private:
  std::uint8_t bytes_[kKeySize] = {};
};

struct Recipient {
  std::string name;  // the user id, or the key name for "{GUID}" key names
  PublicKey publicKey{};
  std::array<std::uint8_t, kSealedKeySize> sealedKey{};
  Mac mac{};
};

// A folder key of an earlier epoch, sealed under the current folder key, so that the users
// who remain can still read the files added before a user was removed.
struct OlderKey {
  std::uint32_t epoch = 0;
  std::array<std::uint8_t, kOlderKeySealedSize> sealed{};
};

struct KeyHeader {
  Kind kind = Kind::File;
  Aead aead = Aead::Aes256Gcm;
  std::uint32_t chunkSize = kDefaultChunkSize;
  std::uint32_t algorithmId = 0;
  ItemId itemId{};
  ItemId folderId{};  // FolderFile: the folder the key comes from; zero otherwise
  PublicKey ownerKey{};
  std::string algorithmName;
  std::string ownerName;      // the owner's key name
  std::string ownerIdentity;  // "{...}"
  std::string ownerKeyFile;   // name of the owner's exported key file
  // Files of version 2 (the version is told by its presence); none in files of version 1 and
  // in folder headers.
  std::optional<PlainFacts> plain;
  // Signed headers (.qvf version 3, folder headers of version 2). The core names the owner's
  // Ed25519 signing key; after the entries come the list version (1 when made, one more for
  // every change of the entry list), the key epoch (a folder's current folder key; for a file
  // of a folder, the epoch of the folder key its key comes from), the older folder keys and
  // the owner's signature over every byte before it (none for a file of a folder, whose
  // folder header is signed instead).
  bool signedFormat = true;
  PublicKey ownerSignKey{};
  Mac coreMac{};
  std::vector<Recipient> recipients;
  std::uint64_t listVersion = 0;
  std::uint32_t keyEpoch = 0;
  std::vector<OlderKey> olderKeys;
  Signature signature{};

  // The owner text: identity followed by the key file name.
  std::string OwnerText() const { return ownerIdentity + ownerKeyFile; }
};

// The encoded core (everything the core MAC covers), with the header length field zero.
[[nodiscard]] std::vector<std::uint8_t> EncodeCore(const KeyHeader& header, Family family);
// The length Encode gives.
[[nodiscard]] std::size_t EncodedSize(const KeyHeader& header);
// The whole header: core, core MAC, recipients and checksum.
[[nodiscard]] std::vector<std::uint8_t> Encode(const KeyHeader& header, Family family);

// Checks the first kPreludeSize bytes (fewer when the input is shorter) and yields the header
// length they announce. 13 for an input too short to tell, 5 for a foreign magic, 17 (file)
// or 18 (folder) for a version or flag this build does not know, 3 for an impossible length.
// `version`, when given, receives the version.
[[nodiscard]] DWORD CheckPrelude(std::span<const std::uint8_t> bytes, Family family,
                                 std::uint32_t* headerLength, std::uint16_t* version = nullptr);
// True when `bytes` start with the whole magic of `family`.
[[nodiscard]] bool StartsWithMagic(std::span<const std::uint8_t> bytes, Family family);
// Parses a whole header from the start of `bytes` (which may hold more). The prelude results
// above, 13 when the header runs past the input, 3 for a wrong checksum or a malformed field,
// 17/18 for an unknown authenticated-encryption id.
[[nodiscard]] DWORD Decode(std::span<const std::uint8_t> bytes, Family family, KeyHeader* out,
                           std::uint32_t* headerLength);

// Key schedule: the MAC key and the payload key of an item key, and a file key under a
// folder key.
[[nodiscard]] SecretKey DeriveMacKey(const SecretKey& itemKey);
[[nodiscard]] SecretKey DerivePayloadKey(const SecretKey& itemKey);
[[nodiscard]] SecretKey DeriveFolderFileKey(const SecretKey& folderKey, const ItemId& folderId,
                                            const ItemId& fileId);

// Signs a header whose other fields are final with the Ed25519 key made from `signSeed`.
void SignHeader(KeyHeader* header, Family family, const SecretKey& signSeed);
// True when the header's signature verifies under its owner signing key.
[[nodiscard]] bool SignatureVerifies(const KeyHeader& header, Family family);

// Gives an item a new item key, so that a user removed from it cannot open what comes after:
// the core MAC and every remaining entry are made anew under `newKey`. A folder moves to the
// next key epoch and keeps `oldKey`, with the older keys it had, sealed under the new key.
// 8 when an older key does not open under `oldKey`.
[[nodiscard]] DWORD ReplaceItemKey(KeyHeader* header, Family family, const SecretKey& oldKey,
                                   const SecretKey& newKey);
// The folder keys of earlier epochs a folder header keeps, opened with the current folder key;
// false when one does not open.
[[nodiscard]] bool OpenOlderKeys(const KeyHeader& header, const SecretKey& folderKey,
                                 std::vector<std::pair<std::uint32_t, SecretKey>>* keys);

// Where a file of a folder is kept in its container: the stored path and the version of its
// entry. A signed file of a folder given a place has it in its core MAC (nothing of it is
// stored in the header), so the image opens only at that path and version.
struct Place {
  std::string path;
  std::uint64_t version = 0;
};
inline constexpr std::size_t kMaxPlacePathLength = 32767;

// Sets the core MAC of a header whose fields are final, binding it to `place` when one is given
// (a signed file of a folder only).
void SealCore(KeyHeader* header, Family family, const SecretKey& itemKey,
              const Place* place = nullptr);
// Adds an entry for `publicKey` holding the item key, with its MAC.
void AddRecipient(KeyHeader* header, const SecretKey& itemKey, const std::string& name,
                  const PublicKey& publicKey);
// 0 when the core MAC (at `place`, as SealCore) and every entry MAC verify under `itemKey`,
// else 8.
[[nodiscard]] DWORD VerifyMacs(const KeyHeader& header, Family family, const SecretKey& itemKey,
                               const Place* place = nullptr);
// Opens a sealed item key with the recipient's key pair; false when it does not open.
[[nodiscard]] bool OpenSealedKey(const Recipient& entry, const PublicKey& publicKey,
                                 const SecretKey& secretKey, SecretKey* itemKey);

// The index of the entry for `publicKey`, or -1.
[[nodiscard]] std::ptrdiff_t FindRecipient(const KeyHeader& header, const PublicKey& publicKey);

// The list of a container's files, kept after a folder header in the record the container
// stores (outside the signed bytes, so every user of the folder can update it): a version
// that rises with every change, the number of entries, the first entry id whose image is bound
// to its place, the key epoch whose folder key hashes the entries, and the sum modulo 2^256 of
// one keyed hash per entry (FileListEntry), so that a change of one entry updates it at once
// and a check is one pass over the entries. Its MAC is made under a key derived from the
// current folder key.
struct FileList {
  std::uint64_t version = 0;
  std::uint64_t count = 0;
  std::uint64_t firstBound = 0;
  std::uint32_t entryEpoch = 0;
  std::array<std::uint8_t, kMacSize> aggregate{};
  Mac mac{};
};
// Finds the list after the folder header at the start of `record`: 0 with `*list` empty when
// there is none, 3 for bytes after the header that are no list (the header's own statuses
// when it does not parse). `*headerLength` receives the header's length.
[[nodiscard]] DWORD FindFileList(std::span<const std::uint8_t> record,
                                 std::optional<FileList>* list, std::uint32_t* headerLength);
[[nodiscard]] std::vector<std::uint8_t> EncodeFileList(const FileList& list);
// The list's MAC for the folder `header` under its current folder key.
[[nodiscard]] Mac FileListMac(const KeyHeader& header, const SecretKey& folderKey,
                              const FileList& list);
// The keyed hash of one entry (its id and its stored path) under the folder key of the list's
// entry epoch.
[[nodiscard]] Mac FileListEntry(const SecretKey& folderKey, std::uint64_t entryId,
                                std::string_view storedPath);

// Fresh random bytes.
[[nodiscard]] ItemId RandomItemId();
[[nodiscard]] SecretKey RandomKey();

}  // namespace qvfs
