// Headers made by someone other than the owner they name, written as the attacks: a user who
// knows another user's public key builds a header from the published layout with a key of
// its own choosing and the other user as owner, for a folder (swapped into that user's
// container, it would receive every file added later) and for a .qvf file (it would show the
// other user as its owner).
#include <gtest/gtest.h>
#include <sodium.h>

#include <filesystem>

#include "tests/suite/QvfTestSupport.h"

namespace {

using namespace qvtest;

// The key pairs inside a key blob with its secret: of version 2 the signing key pair and the
// X25519 pair derived from it, of version 1 the X25519 pair alone.
struct Keys {
  std::uint8_t boxPublic[32], boxSecret[32], signSecret[crypto_sign_SECRETKEYBYTES];
  bool canSign = false;

  explicit Keys(const std::vector<BYTE>& blob) {
    const BYTE* key = blob.data() + kKeyBlobPublicOffset;
    const BYTE* secret = blob.data() + kKeyBlobSecretOffset;
    if (blob[4] == kKeyBlobVersion) {
      std::uint8_t signPublic[crypto_sign_PUBLICKEYBYTES];
      crypto_sign_seed_keypair(signPublic, signSecret, secret);
      EXPECT_EQ(crypto_sign_ed25519_pk_to_curve25519(boxPublic, key), 0);
      EXPECT_EQ(crypto_sign_ed25519_sk_to_curve25519(boxSecret, signSecret), 0);
      canSign = true;
    } else {
      std::memcpy(boxPublic, key, 32);
      std::memcpy(boxSecret, secret, 32);
    }
  }
};

void PutU16(std::string& out, std::size_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>(value >> 8 & 0xFF);
}

std::size_t U16At(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint8_t>(bytes[at]) | static_cast<std::size_t>(bytes[at + 1]) << 8;
}

// Rewrites a header the forger made for itself (it is its only user) so that it names
// `victim` as owner and lists the victim first, keeping the forger's entry: the item key is
// the forger's, taken from its own entry. The MACs are made anew under that key and, in a
// header with a signature, the forger signs with its own signing key unless `keepSignature`.
std::string Forge(const std::string& original, bool file, const User& forger, const User& victim,
                  bool keepSignature = false) {
  const Keys mine(forger.blob), theirs(victim.PublicOnly());
  const int version = static_cast<std::uint8_t>(original[8]);
  const bool isSigned = version == (file ? 3 : 2);
  const bool folderFile = original[16] == 2;
  // The core: the fixed part, four texts, the plain file's facts, the signing key.
  std::size_t at = 92;
  for (int i = 0; i < 4; ++i) at += 2 + U16At(original, at);
  const std::size_t textsEnd = at;
  if (file && version >= 2) at += 26;
  if (isSigned) at += 32;
  std::string core = original.substr(0, 60) + std::string(theirs.boxPublic, theirs.boxPublic + 32);
  std::size_t text = 92;
  for (int i = 0; i < 4; ++i) {
    std::string value = original.substr(text + 2, U16At(original, text));
    if (i != 0) {  // the algorithm name stays; the owner's names become the victim's
      for (std::size_t p = value.find(forger.name); p != std::string::npos;
           p = value.find(forger.name))
        value.replace(p, forger.name.size(), victim.name);
    }
    PutU16(core, value.size());
    core += value;
    text += 2 + U16At(original, text);
  }
  core += original.substr(textsEnd, at - textsEnd);
  for (int i = 12; i < 16; ++i) core[i] = 0;

  // The forger's own entry holds the item key.
  const std::size_t entryAt = at + 32 + 2;
  const std::size_t nameLength = U16At(original, entryAt);
  const std::string sealed = original.substr(entryAt + 2 + nameLength + 32, 80);
  std::uint8_t itemKey[32];
  EXPECT_EQ(crypto_box_seal_open(itemKey, reinterpret_cast<const std::uint8_t*>(sealed.data()), 80,
                                 mine.boxPublic, mine.boxSecret),
            0);
  std::uint8_t macKey[32];
  crypto_kdf_derive_from_key(macKey, 32, 1, "QvfHeadr", itemKey);
  const auto mac = [&](const std::string& message) {
    std::string out(32, '\0');
    crypto_generichash(reinterpret_cast<std::uint8_t*>(out.data()), 32,
                       reinterpret_cast<const std::uint8_t*>(message.data()), message.size(),
                       macKey, 32);
    return out;
  };
  const auto entry = [&](const std::string& name, const std::uint8_t* publicKey) {
    std::string body;
    PutU16(body, name.size());
    body += name;
    body.append(reinterpret_cast<const char*>(publicKey), 32);
    std::string box(80, '\0');
    crypto_box_seal(reinterpret_cast<std::uint8_t*>(box.data()), itemKey, 32, publicKey);
    body += box;
    return body + mac("QvfEntry" + original.substr(28, 16) + body);
  };

  std::string out = core + mac(core);
  PutU16(out, 2);
  out += entry(victim.name, theirs.boxPublic) + entry(forger.name, mine.boxPublic);
  const std::size_t trailerAt = entryAt + 2 + nameLength + 32 + 80 + 32;
  const std::size_t checksumAt = original.size() - kChecksum;
  const bool signature = isSigned && !folderFile;
  out += original.substr(trailerAt, checksumAt - trailerAt);
  const std::size_t length = out.size() + kChecksum;
  for (int i = 0; i < 4; ++i) out[12 + i] = static_cast<char>(length >> (8 * i) & 0xFF);
  if (signature && !keepSignature && mine.canSign) {
    const std::string message = "QvfSign1" + out.substr(0, out.size() - 64);
    crypto_sign_detached(reinterpret_cast<std::uint8_t*>(out.data() + out.size() - 64), nullptr,
                         reinterpret_cast<const std::uint8_t*>(message.data()), message.size(),
                         mine.signSecret);
  }
  out.append(kChecksum, '\0');
  FixChecksum(out);
  return out;
}

class HeaderTrustTest : public QvfWorkTest {
 protected:
  // Adds a new file to the folder behind `handle` as `user`; true when the image was written.
  bool AddFile(DWORD handle, const User& user, const std::string& name) {
    const std::string path = Plain(name, "added by " + user.name);
    Request request(user, path, path + ".qvf");
    const DWORD status = QVFSFolderEncryptFile(request.Folder(handle).get());
    EXPECT_EQ(status == 0, std::filesystem::exists(path + ".qvf")) << status;
    return status == 0;
  }
  // Adds `user` to the folder record as its owner `owner`, after growing the buffer past the
  // record's `*length` bytes by the room a header may take; `*length` becomes the new length.
  static DWORD AddUser(std::vector<BYTE>* record, DWORD* length, const User& owner,
                       const User& user) {
    const std::vector<BYTE> shared = user.PublicOnly();
    record->resize(*length + kFolderHeaderCapacity, 0);
    return QVFSFolderAddUser(record->data(), length, static_cast<DWORD>(record->size()),
                             owner.name.c_str(), owner.name.c_str(), owner.blob.data(),
                             kKeyBlobSize, "", user.name.c_str(), shared.data(), kKeyBlobSize,
                             nullptr, 0, 0);
  }
  static std::string Text(const std::vector<BYTE>& bytes) {
    return std::string(bytes.begin(), bytes.end());
  }
  std::string EncryptedBy(const User& owner, const std::string& name) {
    return QvfWorkTest::EncryptedBy(owner, name, "written by " + owner.name);
  }
  DWORD DecryptAs(const User& user, const std::string& qvf) {
    const std::string folder = out_ + "/" + user.name + std::to_string(outputs_++);
    std::filesystem::create_directories(folder);
    Request request(user, qvf, folder);
    return QVFSDecryptFile(request.get());
  }

  User alice_ = User::Make("alice"), mally_ = User::Make("mally"), bob_ = User::Make("bob");
  int outputs_ = 0;
};

TEST_F(HeaderTrustTest, AForgedFolderHeaderSwappedIntoAContainerReceivesNoFile) {
  std::vector<BYTE> own;
  DWORD handle = 0;
  ASSERT_EQ(InitFolderEncryption(mally_, &own, &handle), 0u);
  EXPECT_TRUE(AddFile(handle, mally_, "mally's own"));
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
  const std::string forged = Forge(Text(own), false, mally_, alice_);
  const auto* bytes = reinterpret_cast<const BYTE*>(forged.data());
  const DWORD length = static_cast<DWORD>(forged.size());

  // The victim opens the container with the header swapped in and adds a file.
  const DWORD opened = InitFolderDecryption(alice_, forged, &handle);
  if (opened == 0) {
    EXPECT_FALSE(AddFile(handle, alice_, "secret")) << "a file was added under the forger's key";
    EXPECT_EQ(QVFSCloseHandle(handle), 0u);
  }
  EXPECT_EQ(opened, 8u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/secret.qvf"));
  // Read without a key, the claim is shown as unverified; with the maker's signature left as
  // it was, the header is refused by every call.
  EXPECT_EQ(QVFSFolderCheckOwner(bytes, length), 19u);
  const std::string unsigned_ = Forge(Text(own), false, mally_, alice_, true);
  const auto* kept = reinterpret_cast<const BYTE*>(unsigned_.data());
  DWORD used = static_cast<DWORD>(unsigned_.size());
  char owner[kOwnerTextSize];
  EXPECT_EQ(QVFSFolderGetOwner(kept, &used, owner), 8u);
  EXPECT_EQ(QVFSFolderChekIsPrivilegeUser("alice", kept, used), 8u);
  EXPECT_EQ(InitFolderDecryption(alice_, unsigned_, &handle), 8u);

  // Kept intact, the forger's own header is signed and confirmed.
  EXPECT_EQ(QVFSFolderCheckOwner(own.data(), static_cast<DWORD>(own.size())), 0u);
}

// A header honestly signed by its maker that lists the victim: it opens, but the victim adds
// files only once it has named the owner's key it knows.
TEST_F(HeaderTrustTest, FilesGoOnlyUnderAFolderOfTheUserOrOfAnOwnerItKnows) {
  std::vector<BYTE> header;
  DWORD handle = 0;
  ASSERT_EQ(InitFolderEncryption(mally_, &header, &handle), 0u);
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
  DWORD length = static_cast<DWORD>(header.size());
  ASSERT_EQ(AddUser(&header, &length, mally_, alice_), 0u);
  header.resize(length);
  const std::vector<BYTE> aliceShared = alice_.PublicOnly(), mallyShared = mally_.PublicOnly();

  ASSERT_EQ(InitFolderDecryption(alice_, Text(header), &handle), 0u);
  EXPECT_FALSE(AddFile(handle, alice_, "before"));
  EXPECT_EQ(QVFSFolderTrustOwner(handle, aliceShared.data(), kKeyBlobSize), 19u)
      << "not the owner's key";
  EXPECT_EQ(QVFSFolderTrustOwner(handle, nullptr, 0), 4u);
  EXPECT_EQ(QVFSFolderTrustOwner(handle, mallyShared.data(), kKeyBlobSize), 0u);
  EXPECT_TRUE(AddFile(handle, alice_, "after"));
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
  EXPECT_EQ(QVFSFolderTrustOwner(handle, mallyShared.data(), kKeyBlobSize), 7u);

  // The owner adds files to its own folder without naming anyone.
  ASSERT_EQ(InitFolderDecryption(mally_, Text(header), &handle), 0u);
  EXPECT_TRUE(AddFile(handle, mally_, "owner's"));
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
}

TEST_F(HeaderTrustTest, AQvfClaimingAnotherOwnerIsRefusedOrShownUnverified) {
  const std::string mine = EncryptedBy(mally_, "mine");
  const std::string original = ReadTextFile(mine);
  const std::size_t headerLength = HeaderLength(original);
  const std::string payload = original.substr(headerLength);
  const auto forge = [&](const std::string& name, bool keepSignature) {
    const std::string path = dir_ + "/" + name + ".qvf";
    WriteTextFile(
        path,
        Forge(original.substr(0, headerLength), true, mally_, alice_, keepSignature) + payload);
    return path;
  };
  char owner[kOwnerTextSize];

  // Signed by the forger's own key: the claim cannot be confirmed, and the named owner, whose
  // key did not sign it, refuses it outright.
  const std::string resigned = forge("resigned", false);
  ASSERT_EQ(QVFSFileGetOwner(resigned.c_str(), owner), 0u);
  EXPECT_STREQ(owner, "{alice}alice.qvkey");
  EXPECT_EQ(QVFSFileCheckOwner(resigned.c_str()), 19u) << "shown as unverified";
  EXPECT_EQ(DecryptAs(alice_, resigned), 8u);
  EXPECT_EQ(
      QVFSFileIsValidUser(resigned.c_str(), "alice", "alice", alice_.blob.data(), kKeyBlobSize),
      8u);
  EXPECT_EQ(DecryptAs(mally_, resigned), 0u) << "the forger reads what it wrote";

  // With the maker's signature left as it was, the changed header is refused by every call.
  const std::string kept = forge("kept", true);
  EXPECT_EQ(QVFSFileGetOwner(kept.c_str(), owner), 8u);
  EXPECT_EQ(QVFSFileCheckOwner(kept.c_str()), 8u);
  EXPECT_EQ(DecryptAs(mally_, kept), 8u);

  // A genuine file is confirmed, for its owner and for the users it is shared with.
  const std::string genuine = EncryptedBy(alice_, "genuine");
  EXPECT_EQ(QVFSFileCheckOwner(genuine.c_str()), 0u);
  const std::vector<BYTE> bobShared = bob_.PublicOnly();
  ASSERT_EQ(QVFSFileAddUser(genuine.c_str(), "alice", "alice", alice_.blob.data(), kKeyBlobSize, "",
                            "bob", bobShared.data(), kKeyBlobSize, nullptr, 0, 0),
            0u);
  EXPECT_EQ(QVFSFileCheckOwner(genuine.c_str()), 0u);
  EXPECT_EQ(DecryptAs(bob_, genuine), 0u);
}

// A key of the first blob layout has no signing key others can tie to it: its holder still
// encrypts and decrypts, and its files show as unverified to everyone else.
TEST_F(HeaderTrustTest, KeysOfTheFirstLayoutStillWorkButTheirFilesAreUnverified) {
  User older{"older", std::vector<BYTE>(kKeyBlobSize, 0)};
  std::memcpy(older.blob.data(), "QVKB", 4);
  older.blob[4] = kKeyBlobVersionX25519;
  older.blob[5] = kKeyBlobHasSecret;
  crypto_box_keypair(older.blob.data() + kKeyBlobPublicOffset,
                     older.blob.data() + kKeyBlobSecretOffset);
  const std::string qvf = EncryptedBy(older, "old key");
  EXPECT_EQ(DecryptAs(older, qvf), 0u);
  EXPECT_EQ(QVFSFileCheckOwner(qvf.c_str()), 19u);
  // Someone else's header naming that key as owner is still refused by its holder.
  const std::string forged = dir_ + "/claims-older.qvf";
  const std::string mine = ReadTextFile(EncryptedBy(mally_, "mine"));
  WriteTextFile(forged, Forge(mine.substr(0, HeaderLength(mine)), true, mally_, older) +
                            mine.substr(HeaderLength(mine)));
  EXPECT_EQ(DecryptAs(older, forged), 8u);
}

}  // namespace

// Removal revokes: files added to a folder after a user was removed are under a folder key the
// removed user never had, and a removed user's copy of an older header shows itself.
TEST_F(HeaderTrustTest, AUserRemovedFromAFolderCannotReadWhatIsAddedAfter) {
  std::vector<BYTE> header;
  DWORD handle = 0;
  ASSERT_EQ(InitFolderEncryption(alice_, &header, &handle), 0u);
  const User carol = User::Make("carol");
  for (const User* user : {static_cast<const User*>(&bob_), &carol}) {
    DWORD length = static_cast<DWORD>(header.size());
    ASSERT_EQ(AddUser(&header, &length, alice_, *user), 0u);
    header.resize(length);
  }
  ASSERT_TRUE(AddFile(handle, alice_, "before"));
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
  const std::string kept = Text(header);  // bob keeps this header and the key it opens

  DWORD length = static_cast<DWORD>(header.size());
  const std::vector<BYTE> bobShared = bob_.PublicOnly();
  ASSERT_EQ(
      QVFSFolderRemoveUserAsOwner(header.data(), &length, "alice", "alice", alice_.blob.data(),
                                  kKeyBlobSize, "bob", "bob", bobShared.data(), kKeyBlobSize),
      0u);
  header.resize(length);
  ASSERT_EQ(InitFolderDecryption(alice_, Text(header), &handle), 0u);
  ASSERT_TRUE(AddFile(handle, alice_, "after"));
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);

  const auto decrypt = [&](const User& user, const std::string& withHeader,
                           const std::string& name) -> DWORD {
    DWORD opened = 0;
    if (const DWORD status = InitFolderDecryption(user, withHeader, &opened); status != 0)
      return status;
    const std::string folder = out_ + "/" + user.name + std::to_string(outputs_++);
    std::filesystem::create_directories(folder);
    Request request(user, dir_ + "/" + name + ".qvf", folder);
    const DWORD status = QVFSFolderDecryptFile(request.Folder(opened).get());
    EXPECT_EQ(QVFSCloseHandle(opened), 0u);
    return status;
  };
  EXPECT_EQ(decrypt(bob_, Text(header), "after"), 6u) << "bob is no longer listed";
  EXPECT_NE(decrypt(bob_, kept, "after"), 0u) << "bob's kept folder key opens a new file";
  EXPECT_EQ(decrypt(bob_, kept, "before"), 0u) << "what bob could read, he still can";
  for (const User* user : {static_cast<const User*>(&alice_), &carol}) {
    EXPECT_EQ(decrypt(*user, Text(header), "before"), 0u) << user->name;
    EXPECT_EQ(decrypt(*user, Text(header), "after"), 0u) << user->name;
  }
  // The older header put back over the newer one is still the owner's, but a file added
  // since gives it away.
  EXPECT_EQ(decrypt(alice_, kept, "after"), 8u);
}

TEST_F(HeaderTrustTest, AUserRemovedFromAQvfCannotReadItEvenWithTheOldHeaderPutBack) {
  const std::string qvf = EncryptedBy(alice_, "doc");
  const std::vector<BYTE> bobShared = bob_.PublicOnly();
  const User carol = User::Make("carol");
  for (const User* user : {static_cast<const User*>(&bob_), &carol}) {
    const std::vector<BYTE> shared = user->PublicOnly();
    ASSERT_EQ(QVFSFileAddUser(qvf.c_str(), "alice", "alice", alice_.blob.data(), kKeyBlobSize, "",
                              user->name.c_str(), shared.data(), kKeyBlobSize, nullptr, 0, 0),
              0u);
  }
  const std::string old = ReadTextFile(qvf);
  ASSERT_EQ(QVFSFileRemoveUserAsOwner(qvf.c_str(), "alice", "alice", alice_.blob.data(),
                                      kKeyBlobSize, "bob", "bob", bobShared.data(), kKeyBlobSize),
            0u);
  EXPECT_EQ(DecryptAs(bob_, qvf), 6u);
  EXPECT_EQ(DecryptAs(alice_, qvf), 0u);
  EXPECT_EQ(DecryptAs(carol, qvf), 0u);
  const std::string now = ReadTextFile(qvf);
  EXPECT_EQ(ReadTextFile(out_ + "/carol2/doc"), "written by alice");

  // Bob puts the header he kept back over the file as it is now.
  const std::string restored = dir_ + "/restored.qvf";
  WriteTextFile(restored, old.substr(0, HeaderLength(old)) + now.substr(HeaderLength(now)));
  EXPECT_EQ(DecryptAs(bob_, restored), 8u);
  EXPECT_EQ(DecryptAs(alice_, restored), 8u);
}

// Images are bound to their entry in the container: whoever can write the container can move
// images between entries, copy them or put an older one back, and each is found.
TEST_F(HeaderTrustTest, ASwappedCopiedOrRolledBackImageIsFound) {
  std::vector<BYTE> header;
  DWORD handle = 0;
  ASSERT_EQ(InitFolderEncryption(alice_, &header, &handle), 0u);
  const auto encryptAt = [&](const std::string& name, const std::string& content,
                             const std::string& place, ULONGLONG version) {
    const std::string path = Plain(name, content);
    Request request(alice_, path, path + ".qvf");
    EXPECT_EQ(QVFSFolderEncryptFileAt(request.Folder(handle).get(), place.c_str(), version), 0u);
    return path + ".qvf";
  };
  const auto decryptAt = [&](const std::string& image, const std::string& place, ULONGLONG version,
                             DWORD flags = 0) {
    const std::string folder = out_ + "/" + std::to_string(outputs_++);
    std::filesystem::create_directories(folder);
    Request request(alice_, image, folder);
    request.get()->decryptFlags = flags;
    return QVFSFolderDecryptFileAt(request.Folder(handle).get(), place.c_str(), version);
  };
  // The same for an image held in memory: the plain file is made under the name `image` gives.
  const auto decryptImageAt = [&](const std::string& image, const std::string& bytes,
                                  const std::string& place, ULONGLONG version, DWORD flags = 0) {
    const std::string folder = out_ + "/" + std::to_string(outputs_++);
    std::filesystem::create_directories(folder);
    Request request(alice_, image, folder);
    request.get()->decryptFlags = flags;
    return QVFSFolderDecryptImageAt(request.Folder(handle).get(),
                                    reinterpret_cast<const BYTE*>(bytes.data()),
                                    static_cast<DWORD>(bytes.size()), place.c_str(), version);
  };
  const std::string a1 = encryptAt("a1", "first a", "docs/a.txt", 1);
  const std::string b1 = encryptAt("b1", "first b", "docs/b.txt", 1);
  const std::string a2 = encryptAt("a2", "second a", "docs/a.txt", 2);
  EXPECT_EQ(decryptAt(a1, "docs/a.txt", 1), 0u);
  EXPECT_EQ(decryptAt(b1, "docs/b.txt", 1), 0u);
  EXPECT_EQ(decryptAt(a2, "docs/a.txt", 2), 0u);

  EXPECT_EQ(decryptAt(a1, "docs/b.txt", 1), 8u) << "swapped with another entry's image";
  EXPECT_EQ(decryptAt(b1, "docs/c.txt", 1), 8u) << "copied to another entry";
  EXPECT_EQ(decryptAt(a1, "docs/a.txt", 2), 8u) << "an older version put back";

  // A rename moves the image with its entry; it then opens only at its new place.
  EXPECT_EQ(QVFSFolderRebindFile(handle, a2.c_str(), "docs/a.txt", 1, "docs/z.txt", 2), 8u);
  ASSERT_EQ(QVFSFolderRebindFile(handle, a2.c_str(), "docs/a.txt", 2, "docs/z.txt", 2), 0u);
  EXPECT_EQ(decryptAt(a2, "docs/z.txt", 2), 0u);
  EXPECT_EQ(decryptAt(a2, "docs/a.txt", 2), 8u);
  EXPECT_EQ(ReadTextFile(out_ + "/" + std::to_string(outputs_ - 2) + "/a2"), "second a");

  // An image made in memory, for a caller that stores it itself, is bound the same way, at
  // every size up to its limit around the chunk edges; a larger source is refused before
  // anything is made, so that its image can be made on disk instead.
  for (const std::size_t size : {0u, 1u, 4096u, (1u << 20) - 1, 1u << 20, (1u << 20) + 1}) {
    SCOPED_TRACE(size);
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 131 + size);
    const std::string name = "m" + std::to_string(size);
    const std::string path = Plain(name, content);
    Request request(alice_, path, "");
    BYTE* image = nullptr;
    DWORD length = 7;
    const DWORD made = QVFSFolderEncryptFileToMemoryAt(request.Folder(handle).get(), "docs/m.txt",
                                                       3, &image, &length);
    if (size > (1u << 20)) {
      EXPECT_EQ(made, 12u);
      EXPECT_EQ(image, nullptr);
      EXPECT_EQ(length, 0u);
      continue;
    }
    ASSERT_EQ(made, 0u);
    ASSERT_NE(image, nullptr);
    std::string bytes(reinterpret_cast<const char*>(image), length);
    CoTaskMemFree(image);
    WriteTextFile(path + ".qvf", bytes);
    EXPECT_EQ(decryptAt(path + ".qvf", "docs/m.txt", 4), 8u);
    ASSERT_EQ(decryptAt(path + ".qvf", "docs/m.txt", 3), 0u);
    EXPECT_EQ(ReadTextFile(out_ + "/" + std::to_string(outputs_ - 1) + "/" + name), content);

    // Decrypted from memory too, bound the same way, with or without a folder of the caller's
    // own; cut short at the last chunk's edge it is damaged, not a shorter file.
    EXPECT_EQ(decryptImageAt(path + ".qvf", bytes, "docs/m.txt", 4), 8u);
    EXPECT_FALSE(std::filesystem::exists(out_ + "/" + std::to_string(outputs_ - 1) + "/" + name));
    for (const DWORD flags : {0u, static_cast<unsigned>(kDecryptIntoOwnFolder)}) {
      ASSERT_EQ(decryptImageAt(path + ".qvf", bytes, "docs/m.txt", 3, flags), 0u);
      EXPECT_EQ(ReadTextFile(out_ + "/" + std::to_string(outputs_ - 1) + "/" + name), content);
    }
    const DWORD cut =
        decryptImageAt(path + ".qvf", bytes.substr(0, bytes.size() - 16), "docs/m.txt", 3);
    EXPECT_TRUE(cut == 8u || cut == 3u) << cut;
    EXPECT_FALSE(std::filesystem::exists(out_ + "/" + std::to_string(outputs_ - 1) + "/" + name));

    // Into a folder of the caller's own the plain file is made under its name at once: it is
    // whole when the call succeeds, gone when a chunk turns out damaged, and a file in the way
    // is never replaced.
    ASSERT_EQ(decryptAt(path + ".qvf", "docs/m.txt", 3, kDecryptIntoOwnFolder), 0u);
    EXPECT_EQ(ReadTextFile(out_ + "/" + std::to_string(outputs_ - 1) + "/" + name), content);
    const std::string inTheWay = out_ + "/" + std::to_string(outputs_) + "/" + name;
    std::filesystem::create_directories(out_ + "/" + std::to_string(outputs_));
    WriteTextFile(inTheWay, "mine");
    EXPECT_EQ(decryptAt(path + ".qvf", "docs/m.txt", 3, kDecryptIntoOwnFolder), 14u);
    EXPECT_EQ(ReadTextFile(inTheWay), "mine");
    bytes.back() = static_cast<char>(bytes.back() ^ 1);
    std::filesystem::create_directories(dir_ + "/damaged");
    WriteTextFile(dir_ + "/damaged/" + name + ".qvf", bytes);
    EXPECT_EQ(decryptAt(dir_ + "/damaged/" + name + ".qvf", "docs/m.txt", 3, kDecryptIntoOwnFolder),
              8u);
    EXPECT_FALSE(std::filesystem::exists(out_ + "/" + std::to_string(outputs_ - 1) + "/" + name));
    EXPECT_EQ(decryptImageAt(path + ".qvf", bytes, "docs/m.txt", 3, kDecryptIntoOwnFolder), 8u);
    EXPECT_FALSE(std::filesystem::exists(out_ + "/" + std::to_string(outputs_ - 1) + "/" + name));
  }
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
}

// The list of a container's files kept after a folder header: every user of the folder may
// write it (its MAC is under the folder key, outside the owner's signature), it rides along
// when users are added, moves to the new folder key when one is removed, and neither a changed
// list nor a list made by a removed user with the folder key it kept verifies.
TEST_F(HeaderTrustTest, TheListOfAContainersFilesFollowsTheFolderKey) {
  std::vector<BYTE> header;
  DWORD handle = 0;
  ASSERT_EQ(InitFolderEncryption(alice_, &header, &handle), 0u);
  QvFileListState state{};
  EXPECT_EQ(
      QVFSFolderReadFileList(handle, header.data(), static_cast<DWORD>(header.size()), &state), 19u)
      << "a header without a list is unverified";
  // Two entries, summed modulo 2^256.
  BYTE first[32], second[32];
  ASSERT_EQ(QVFSFolderFileListEntry(handle, 0, 1, "\\a.txt.qvf", first), 0u);
  ASSERT_EQ(QVFSFolderFileListEntry(handle, 0, 2, "\\b.txt.qvf", second), 0u);
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    carry += first[i] + second[i];
    state.aggregate[i] = static_cast<BYTE>(carry);
    carry >>= 8;
  }
  state.listVersion = 1;
  state.count = 2;
  state.firstBound = 1;
  std::vector<BYTE> record(header.size() + kFileListSize + kFolderHeaderCapacity, 0);
  std::copy(header.begin(), header.end(), record.begin());
  DWORD length = static_cast<DWORD>(header.size());
  ASSERT_EQ(QVFSFolderWriteFileList(handle, record.data(), &length,
                                    static_cast<DWORD>(record.size()), &state),
            0u);
  EXPECT_EQ(length, header.size() + kFileListSize);
  EXPECT_EQ(QVFSFolderCheckOwner(record.data(), length), 0u) << "the list is outside the signature";
  const auto read = [&](DWORD with, QvFileListState* out) {
    return QVFSFolderReadFileList(with, record.data(), length, out);
  };
  QvFileListState back{};
  ASSERT_EQ(read(handle, &back), 0u);
  EXPECT_EQ(back.count, 2u);
  EXPECT_EQ(back.listVersion, 1u);
  EXPECT_EQ(std::memcmp(back.aggregate, state.aggregate, 32), 0);
  record[length - 40] ^= 1;  // the aggregate, as a writer of the raw record would change it
  EXPECT_EQ(read(handle, &back), 8u);
  record[length - 40] ^= 1;

  // Adding a user keeps the list; removing one moves it to the new folder key.
  ASSERT_EQ(AddUser(&record, &length, alice_, bob_), 0u);
  const std::vector<BYTE> bobShared = bob_.PublicOnly();
  ASSERT_EQ(read(handle, &back), 0u) << "the list did not survive adding a user";
  DWORD bobHandle = 0;
  ASSERT_EQ(InitFolderDecryption(bob_, record.data(), length, &bobHandle), 0u);
  EXPECT_EQ(read(bobHandle, &back), 0u) << "another user of the folder checks it too";
  ASSERT_EQ(
      QVFSFolderRemoveUserAsOwner(record.data(), &length, "alice", "alice", alice_.blob.data(),
                                  kKeyBlobSize, "bob", "bob", bobShared.data(), kKeyBlobSize),
      0u);
  EXPECT_EQ(read(handle, &back), 8u) << "the old folder key still checks the list";
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
  ASSERT_EQ(InitFolderDecryption(alice_, record.data(), length, &handle), 0u);
  ASSERT_EQ(read(handle, &back), 0u);
  EXPECT_EQ(back.entryEpoch, 0u);
  EXPECT_EQ(back.currentEpoch, 1u);
  BYTE again[32];
  ASSERT_EQ(QVFSFolderFileListEntry(handle, back.entryEpoch, 1, "\\a.txt.qvf", again), 0u);
  EXPECT_EQ(std::memcmp(again, first, 32), 0) << "entries keep their hashes across epochs";

  // Bob kept the old folder key: the list he writes into the new record does not verify.
  const std::vector<BYTE> before(record.begin(), record.begin() + length);
  DWORD forgedLength = length;
  EXPECT_NE(QVFSFolderWriteFileList(bobHandle, record.data(), &forgedLength,
                                    static_cast<DWORD>(record.size()), &state),
            0u);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), record.begin()));
  EXPECT_EQ(QVFSCloseHandle(bobHandle), 0u);
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
}
