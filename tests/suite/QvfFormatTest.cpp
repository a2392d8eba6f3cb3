// Single-file encryption through the library's exported calls, as the engine makes them:
// round trips at the chunk edges with both ciphers, every way a stored file can be damaged
// and the status each one gives, the refusals before any work, cancel, owner texts and the
// key material of new keys. Every failing call is also checked to leave nothing behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "tests/suite/QvfTestSupport.h"

namespace {

using namespace qvtest;

class QvfFileTest : public QvfWorkTest {
 protected:
  static DWORD Encrypt(const User& user, const std::string& source, const char* algorithm = "",
                       IEncryDecryptCallBack* callback = nullptr) {
    Request request(user, source, source + ".qvf", callback);
    return QVFSEncryptFile(request.Algorithm(algorithm).get());
  }
  static DWORD Decrypt(const User& user, const std::string& qvf, const std::string& folder,
                       IEncryDecryptCallBack* callback = nullptr) {
    Request request(user, qvf, folder, callback);
    return QVFSDecryptFile(request.get());
  }

  User alice_ = User::Make("alice");
};

TEST_F(QvfFileTest, RoundTripsEverySizeAroundTheChunkEdgesWithEitherCipher) {
  const struct {
    const char* algorithm;
    int cipherId;
  } ciphers[] = {{"", crypto_aead_aes256gcm_is_available() ? 1 : 2}, {"XChaCha20-Poly1305", 2}};
  // The last size takes more chunks than the library keeps in flight, so its buffers are
  // reused and its chunks are written back in order after being sealed in any order.
  const std::size_t sizes[] = {
      0, 1, kChunk - 1, kChunk, kChunk + 1, 3 * kChunk + 5, 16 * kChunk + 7};
  for (const auto& cipher : ciphers) {
    for (const std::size_t size : sizes) {
      SCOPED_TRACE(testing::Message() << "cipher " << cipher.cipherId << ", " << size << " bytes");
      const std::string name = "f" + std::to_string(cipher.cipherId) + "-" + std::to_string(size);
      const std::string content = RandomBytes(size);
      const std::string path = Plain(name, content);
      ASSERT_EQ(chmod(path.c_str(), 0640), 0);

      ASSERT_EQ(Encrypt(alice_, path, cipher.algorithm), 0u);
      const std::string sealed = ReadTextFile(path + ".qvf");
      EXPECT_EQ(sealed[17], cipher.cipherId);
      // Every chunk but the last is full; the last is the short one, empty when the size is a
      // multiple of the chunk size.
      EXPECT_EQ(sealed.size(), HeaderLength(sealed) + size + kTag * (size / kChunk + 1));
      if (size >= 32) {
        EXPECT_EQ(sealed.find(content.substr(size / 2, 32)), std::string::npos);
      }

      ASSERT_EQ(Decrypt(alice_, path + ".qvf", out_), 0u);
      EXPECT_EQ(ReadTextFile(out_ + "/" + name), content);
      struct stat st {};
      ASSERT_EQ(stat((out_ + "/" + name).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0640u);
    }
  }
  EXPECT_EQ(Names(out_).size(), std::size(ciphers) * std::size(sizes));
}

// The header keeps the plain file's mode and times, so whatever happened to the .qvf file
// (copied, widened, touched), the plain file comes back as it was, its mode narrowed by the
// umask like that of any new file.
TEST_F(QvfFileTest, ThePlainFileComesBackWithItsModeAndExactTimes) {
  const struct {
    mode_t mode;
    timespec accessed, modified;
  } cases[] = {
      {0600, {-86400 * 365 * 20 + 1, 999999999}, {-5, 1}},   // before 1970
      {0400, {315532799, 0}, {4102444800 + 17, 123456789}},  // 1979 and 2100
      {0755, {1700000000, 500}, {1700000001, 0}},
      {0711, {0, 0}, {1, 2}},
  };
  const mode_t old = umask(077);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << std::oct << c.mode);
    const std::string name = "m" + std::to_string(c.mode);
    const std::string path = Plain(name, "bytes of " + name);
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
    const timespec times[2] = {c.accessed, c.modified};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_EQ(Encrypt(alice_, path), 0u);
    EXPECT_EQ(ReadTextFile(path + ".qvf")[8], 3) << "written as version 3";
    ASSERT_EQ(chmod((path + ".qvf").c_str(), 0666), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, (path + ".qvf").c_str(), nullptr, 0), 0);

    ASSERT_EQ(Decrypt(alice_, path + ".qvf", out_), 0u);
    struct stat st {};
    ASSERT_EQ(stat((out_ + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode & ~077u) << std::oct << (st.st_mode & 07777);
    EXPECT_EQ(st.st_mtim.tv_sec, c.modified.tv_sec);
    EXPECT_EQ(st.st_mtim.tv_nsec, c.modified.tv_nsec);
    EXPECT_EQ(st.st_atim.tv_sec, c.accessed.tv_sec);
    EXPECT_EQ(st.st_atim.tv_nsec, c.accessed.tv_nsec);
  }
  umask(old);
}

TEST_F(QvfFileTest, DecryptsUnderTheNameWithoutSuffixIntoTheGivenOrOwnFolder) {
  const std::string path = Plain("Report", "quarterly figures");
  ASSERT_EQ(Encrypt(alice_, path), 0u);
  ASSERT_EQ(std::rename((path + ".qvf").c_str(), (dir_ + "/Report.QVF").c_str()), 0);
  ASSERT_EQ(std::remove(path.c_str()), 0);

  ASSERT_EQ(Decrypt(alice_, dir_ + "/Report.QVF", ""), 0u);
  EXPECT_EQ(ReadTextFile(path), "quarterly figures");
  ASSERT_EQ(Decrypt(alice_, dir_ + "/Report.QVF", out_ + "/"), 0u);
  EXPECT_EQ(ReadTextFile(out_ + "/Report"), "quarterly figures");

  // A file named only ".qvf" has no plain name to give.
  ASSERT_EQ(std::rename((dir_ + "/Report.QVF").c_str(), (dir_ + "/.qvf").c_str()), 0);
  EXPECT_EQ(Decrypt(alice_, dir_ + "/.qvf", out_), 12u);
}

TEST_F(QvfFileTest, EveryDamageToAStoredFileIsReportedAndLeavesNothing) {
  const std::string path = Plain("three-chunks", RandomBytes(2 * kChunk + 100));
  ASSERT_EQ(Encrypt(alice_, path), 0u);
  const std::string good = ReadTextFile(path + ".qvf");
  const std::size_t h = HeaderLength(good);
  const std::size_t stride = kChunk + kTag;
  const std::size_t ownerFile = good.find("alice.qvkey");
  ASSERT_LT(ownerFile, h);
  // The one entry closes the header: sealed key (80), MAC (32), then the checksum.
  const std::size_t entryMac = h - kChecksum - 32;
  const std::size_t sealedKey = entryMac - 80;

  // An edit made by someone without a key, who can still redo the unkeyed checksum.
  const auto resealed = [](std::function<void(std::string&)> edit) {
    return [edit](std::string& b) {
      edit(b);
      FixChecksum(b);
    };
  };
  const struct {
    const char* what;
    std::function<void(std::string&)> damage;
    DWORD expected;
  } cases[] = {
      {"header byte", [&](std::string& b) { b[40] ^= 1; }, 3},
      {"owner text, checksum redone", resealed([&](std::string& b) { b[ownerFile] = 'A'; }), 8},
      {"sealed key, checksum redone", resealed([&](std::string& b) { b[sealedKey + 40] ^= 1; }), 8},
      {"entry MAC, checksum redone", resealed([&](std::string& b) { b[entryMac] ^= 1; }), 8},
      {"first chunk byte", [&](std::string& b) { b[h + 10] ^= 1; }, 8},
      {"last chunk tag", [&](std::string& b) { b.back() ^= 1; }, 8},
      {"chunks reordered",
       [&](std::string& b) {
         const std::string first = b.substr(h, stride);
         b.replace(h, stride, b.substr(h + stride, stride));
         b.replace(h + stride, stride, first);
       },
       8},
      // A cut file is damaged data ("may be corrupted"), not an empty one.
      {"cut at a chunk boundary", [&](std::string& b) { b.resize(h + 2 * stride); }, 3},
      {"cut inside a chunk", [&](std::string& b) { b.resize(h + kChunk); }, 8},
      {"cut inside the last tag", [&](std::string& b) { b.resize(b.size() - 110); }, 3},
      {"header only", [&](std::string& b) { b.resize(h); }, 3},
      {"cut inside the header", [&](std::string& b) { b.resize(h - 1); }, 3},
      {"one byte appended", [&](std::string& b) { b += 'x'; }, 8},
      {"first chunk appended again", [&](std::string& b) { b += b.substr(h, stride); }, 8},
      {"empty", [&](std::string& b) { b.clear(); }, 13},
      {"a few bytes of the magic", [&](std::string& b) { b.resize(5); }, 13},
      {"someone else's file", [&](std::string& b) { b = "just some text, long enough"; }, 5},
      {"unknown version", [&](std::string& b) { b[8] = 4; }, 17},
      // The plain file's mode and times follow the owner's key file name and are in the core.
      {"plain file's mode, checksum redone",
       resealed([&](std::string& b) { b[ownerFile + 11] ^= 1; }), 8},
      {"plain file's mode beyond the permission bits, checksum redone",
       resealed([&](std::string& b) { b[ownerFile + 12] = 0x10; }), 3},
      {"plain file's nanoseconds beyond a second, checksum redone",
       resealed([&](std::string& b) { b[ownerFile + 24] = '\xff'; }), 3},
      {"unknown flags", [&](std::string& b) { b[10] = 1; }, 17},
      {"unknown cipher", resealed([&](std::string& b) { b[17] = 7; }), 17},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = good;
    c.damage(bytes);
    const std::string damaged = dir_ + "/case" + std::to_string(index++) + ".qvf";
    WriteTextFile(damaged, bytes);
    EXPECT_EQ(Decrypt(alice_, damaged, out_), c.expected);
    EXPECT_TRUE(Names(out_).empty());
  }
  // The untouched file still opens after all that.
  EXPECT_EQ(Decrypt(alice_, path + ".qvf", out_), 0u);
}

TEST_F(QvfFileTest, KeysThatDoNotOpenTheFileAreToldApart) {
  const std::string path = Plain("secret", "for alice only");
  ASSERT_EQ(Encrypt(alice_, path), 0u);
  const std::string qvf = path + ".qvf";

  EXPECT_EQ(Decrypt(User::Make("bob"), qvf, out_), 6u) << "not a recipient";
  EXPECT_EQ(Decrypt(alice_.Rekeyed(), qvf, out_), 4u) << "listed under another key";
  User publicOnly{"alice", alice_.PublicOnly()};
  EXPECT_EQ(Decrypt(publicOnly, qvf, out_), 4u) << "no secret key";
  User mismatched = alice_;
  const User bob = User::Make("bob");
  std::copy(bob.blob.begin() + kKeyBlobSecretOffset, bob.blob.end(),
            mismatched.blob.begin() + kKeyBlobSecretOffset);
  EXPECT_EQ(Decrypt(mismatched, qvf, out_), 4u) << "secret of another public key";
  User garbage{"alice", std::vector<BYTE>(kKeyBlobSize, 0)};
  EXPECT_EQ(Decrypt(garbage, qvf, out_), 4u);
  EXPECT_TRUE(Names(out_).empty());
  EXPECT_EQ(Decrypt(alice_, qvf, out_), 0u);
}

TEST_F(QvfFileTest, RefusesBeforeWritingAndNeverOverwrites) {
  const std::string path = Plain("doc", "contents");
  ASSERT_EQ(Encrypt(alice_, path), 0u);

  // Already ours, whatever its name.
  ASSERT_EQ(std::rename((path + ".qvf").c_str(), (dir_ + "/renamed.txt").c_str()), 0);
  EXPECT_EQ(Encrypt(alice_, dir_ + "/renamed.txt"), 10u);
  EXPECT_EQ(Encrypt(alice_, dir_ + "/missing"), 11u);
  std::filesystem::create_directories(dir_ + "/sub");
  EXPECT_EQ(Encrypt(alice_, dir_ + "/sub"), 11u);
  // A pipe is refused at once instead of waiting for a writer.
  ASSERT_EQ(mkfifo((dir_ + "/pipe").c_str(), 0600), 0);
  EXPECT_EQ(Encrypt(alice_, dir_ + "/pipe"), 11u);
  EXPECT_EQ(Decrypt(alice_, dir_ + "/pipe", out_), 11u);

  WriteTextFile(path + ".qvf", "keep me");
  EXPECT_EQ(Encrypt(alice_, path), 14u);
  EXPECT_EQ(ReadTextFile(path + ".qvf"), "keep me");
  {
    Request request(alice_, path, dir_ + "/no-such-folder/doc.qvf");
    EXPECT_EQ(QVFSEncryptFile(request.get()), 12u);
  }

  WriteTextFile(out_ + "/renamed.txt", "already here");
  ASSERT_EQ(std::rename((dir_ + "/renamed.txt").c_str(), (dir_ + "/renamed.txt.qvf").c_str()), 0);
  EXPECT_EQ(Decrypt(alice_, dir_ + "/renamed.txt.qvf", out_), 14u);
  EXPECT_EQ(ReadTextFile(out_ + "/renamed.txt"), "already here");
  EXPECT_EQ(Decrypt(alice_, dir_ + "/renamed.txt.qvf", out_ + "/no-such-folder"), 12u);
  EXPECT_EQ(Decrypt(alice_, dir_ + "/absent.qvf", out_), 11u);

  EXPECT_EQ(Names(dir_),
            (std::vector<std::string>{"doc", "doc.qvf", "pipe", "renamed.txt.qvf", "sub"}));
  EXPECT_EQ(Names(out_), std::vector<std::string>{"renamed.txt"});
}

TEST_F(QvfFileTest, AFullDiskIsAFileAccessErrorAndLeavesNothing) {
  const std::string path = Plain("large", RandomBytes(3 * kChunk));
  ASSERT_EQ(Encrypt(alice_, path), 0u);
  ASSERT_EQ(std::rename(path.c_str(), (dir_ + "/large.orig").c_str()), 0);
  // The process may write no more than one chunk to any file: the write that would go past
  // it fails as on a full disk (EFBIG instead of ENOSPC, which needs a file system of its own).
  const int child = RunInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{kChunk, kChunk};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 90;
    const DWORD decrypted = Decrypt(alice_, path + ".qvf", out_);
    const DWORD encrypted = Encrypt(alice_, dir_ + "/large.orig");
    return decrypted == 2 && encrypted == 2 ? 0 : static_cast<int>(decrypted * 20 + encrypted);
  });
  EXPECT_EQ(child, 0) << "decrypt * 20 + encrypt";
  EXPECT_TRUE(Names(out_).empty());
  EXPECT_EQ(Names(dir_), (std::vector<std::string>{"large.orig", "large.qvf"}));
}

TEST_F(QvfFileTest, CancelBetweenChunksLeavesNoOutput) {
  const std::string path = Plain("big", RandomBytes(5 * kChunk));
  ScriptedCancel cancelEncrypt(3);
  EXPECT_EQ(Encrypt(alice_, path, "", &cancelEncrypt), 507u);
  EXPECT_EQ(cancelEncrypt.calls, 3);
  EXPECT_EQ(Names(dir_), std::vector<std::string>{"big"});

  ScriptedCancel never;
  ASSERT_EQ(Encrypt(alice_, path, "", &never), 0u);
  EXPECT_EQ(never.calls, 6) << "asked before each of the six chunks";
  ScriptedCancel cancelDecrypt(4);
  EXPECT_EQ(Decrypt(alice_, path + ".qvf", out_, &cancelDecrypt), 507u);
  EXPECT_TRUE(Names(out_).empty());
}

TEST_F(QvfFileTest, OwnerTextNamesTheIdentityAndTheExportedKeyFile) {
  const struct {
    const char* keyName;
    const char* owner;
  } cases[] = {
      {"alice", "{alice}alice.qvkey"},
      {"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}",
       "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9.qvkey"},
      {"DOMAIN\\carol", "{DOMAIN\\carol}DOMAIN_carol.qvkey"},
      {"..", "{..}_.qvkey"},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keyName);
    const std::string path = Plain("owned" + std::to_string(index++), "x");
    ASSERT_EQ(Encrypt(User::Make(c.keyName), path), 0u);
    char owner[kOwnerTextSize];
    ASSERT_EQ(QVFSFileGetOwner((path + ".qvf").c_str(), owner), 0u);
    EXPECT_STREQ(owner, c.owner);
  }
  char owner[kOwnerTextSize] = "stale";
  EXPECT_EQ(QVFSFileGetOwner(Plain("plain", "not encrypted at all").c_str(), owner), 5u);
  EXPECT_STREQ(owner, "");
}

TEST_F(QvfFileTest, NewKeysAreFreshPairsInTheKeyBlobLayout) {
  const User a = User::Make("a"), b = User::Make("a");
  for (const User* user : {&a, &b}) {
    bool hasSecret = false;
    ASSERT_TRUE(IsKeyBlob(user->blob.data(), user->blob.size(), &hasSecret));
    EXPECT_TRUE(hasSecret);
    // A signing key pair: the public key is the one its seed makes.
    EXPECT_EQ(user->blob[4], kKeyBlobVersion);
    unsigned char derived[crypto_sign_PUBLICKEYBYTES], secret[crypto_sign_SECRETKEYBYTES];
    ASSERT_EQ(crypto_sign_seed_keypair(derived, secret, user->blob.data() + kKeyBlobSecretOffset),
              0);
    EXPECT_EQ(std::memcmp(derived, user->blob.data() + kKeyBlobPublicOffset, 32), 0);
  }
  EXPECT_NE(a.blob, b.blob);
  BYTE* blob = reinterpret_cast<BYTE*>(1);
  EXPECT_FALSE(CreatePKISettings("x", nullptr, &blob));
}

// Files and folder headers written by earlier builds (the fuzzing seeds, made for a fixed key)
// must open with every later build.
TEST_F(QvfFileTest, StoredVersionOneFilesAndFolderHeadersStillOpen) {
  const std::filesystem::path corpus = std::filesystem::path(QV_SOURCE_DIR) / "tests/fuzz/corpus";
  unsigned char seed[32];
  std::memset(seed, 0x42, sizeof seed);
  User fixed{"fuzz", std::vector<BYTE>(kKeyBlobSize, 0)};
  std::memcpy(fixed.blob.data(), "QVKB", 4);
  fixed.blob[4] = kKeyBlobVersionX25519;
  fixed.blob[5] = kKeyBlobHasSecret;
  crypto_box_seed_keypair(fixed.blob.data() + kKeyBlobPublicOffset,
                          fixed.blob.data() + kKeyBlobSecretOffset, seed);
  std::string pattern(9000, '\0');
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i * 7 % 251);

  const struct {
    const char* file;
    std::string plain;
  } stored[] = {
      {"empty.qvf", ""},
      {"text-aes.qvf", "The quick brown fox jumps over the lazy dog.\n"},
      {"text-xchacha.qvf", "The quick brown fox jumps over the lazy dog.\n"},
      {"shared.qvf", "shared with a second user\n"},
      {"chunks-4096.qvf", pattern},
  };
  // A version 1 file keeps no mode: the plain file takes the stored file's, less the umask.
  const mode_t old = umask(027);
  for (const auto& s : stored) {
    SCOPED_TRACE(s.file);
    const std::string copy = dir_ + "/" + s.file;
    std::filesystem::copy_file(corpus / "QvfHeader" / s.file, copy);
    ASSERT_EQ(chmod(copy.c_str(), 0666), 0);
    ASSERT_EQ(Decrypt(fixed, copy, out_), 0u);
    const std::string plainName = std::string(s.file).substr(0, std::strlen(s.file) - 4);
    EXPECT_EQ(ReadTextFile(out_ + "/" + plainName), s.plain);
    struct stat st {};
    ASSERT_EQ(stat((out_ + "/" + plainName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << std::oct << (st.st_mode & 07777);
  }
  umask(old);
  // A version 2 file made by an earlier build gives back the mode and times it keeps.
  std::filesystem::copy_file(corpus / "QvfHeader/text-v2.qvf", dir_ + "/text-v2.qvf");
  ASSERT_EQ(Decrypt(fixed, dir_ + "/text-v2.qvf", out_), 0u);
  struct stat kept {};
  ASSERT_EQ(stat((out_ + "/text-v2").c_str(), &kept), 0);
  EXPECT_EQ(kept.st_mode & 07777, 0640u);
  EXPECT_EQ(kept.st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(kept.st_mtim.tv_nsec, 456789);
  EXPECT_EQ(kept.st_atim.tv_sec, 999999999);
  EXPECT_EQ(ReadTextFile(out_ + "/text-v2"), "version 2 keeps the mode and the times\n");

  const std::string header = ReadTextFile(corpus / "FolderHeader/one-user.qvh");
  DWORD credentialsLength = 5, handle = 0;
  ASSERT_EQ(QVFSInitFolderDecryption(
                reinterpret_cast<const BYTE*>(header.data()), static_cast<DWORD>(header.size()),
                "fuzz", "fuzz", fixed.blob.data(), kKeyBlobSize,
                reinterpret_cast<const BYTE*>("fuzz"), &credentialsLength, &handle),
            0u);
  // A file of a folder is extracted with its container entry's times; a version 1 file hands
  // the last-write time on to its plain file.
  std::filesystem::copy_file(corpus / "QvfHeader/folder-file.qvf", dir_ + "/folder-file.qvf");
  const timespec entryTimes[2] = {{1000000000, 7}, {-1000, 9}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir_ + "/folder-file.qvf").c_str(), entryTimes, 0), 0);
  Request request(fixed, dir_ + "/folder-file.qvf", out_);
  ASSERT_EQ(QVFSFolderDecryptFile(request.Folder(handle).get()), 0u);
  EXPECT_EQ(ReadTextFile(out_ + "/folder-file"), "inside a folder\n");
  struct stat plain {};
  ASSERT_EQ(stat((out_ + "/folder-file").c_str(), &plain), 0);
  EXPECT_EQ(plain.st_mtim.tv_sec, entryTimes[1].tv_sec);
  // Held in memory, such an image has no file to take them from: refused before anything is
  // made, so that it is decrypted from a file instead.
  const std::string image = ReadTextFile(corpus / "QvfHeader/folder-file.qvf");
  std::filesystem::create_directories(out_ + "/memory");
  Request inMemory(fixed, dir_ + "/folder-file.qvf", out_ + "/memory");
  EXPECT_EQ(QVFSFolderDecryptImageAt(inMemory.Folder(handle).get(),
                                     reinterpret_cast<const BYTE*>(image.data()),
                                     static_cast<DWORD>(image.size()), nullptr, 0),
            12u);
  EXPECT_TRUE(std::filesystem::is_empty(out_ + "/memory"));
  // Nothing confirms who made a header of the earlier version, so no file is added under it.
  EXPECT_EQ(QVFSFolderCheckOwner(reinterpret_cast<const BYTE*>(header.data()),
                                 static_cast<DWORD>(header.size())),
            19u);
  const std::string added = Plain("added", "not for an unconfirmed folder");
  Request adding(fixed, added, added + ".qvf");
  EXPECT_EQ(QVFSFolderEncryptFile(adding.Folder(handle).get()), 19u);
  EXPECT_FALSE(std::filesystem::exists(added + ".qvf"));
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);

  const std::string shared = ReadTextFile(corpus / "FolderHeader/three-users.qvh");
  std::vector<BYTE> list(256);
  DWORD size = static_cast<DWORD>(list.size());
  ASSERT_EQ(QVFSFolderGetUserList(reinterpret_cast<const BYTE*>(shared.data()),
                                  static_cast<DWORD>(shared.size()), list.data(), &size),
            0u);
  EXPECT_EQ(NamesOf(ParseList(list.data(), size)),
            (std::vector<std::string>{"fuzz", "other", "third"}));
}

}  // namespace
