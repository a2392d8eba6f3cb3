// Exported key files: a round trip, every way a file can be damaged or mistaken, the header
// read without the password, the file names the owner texts use, and writing without
// replacing.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "suite/QvKeyBlob.h"
#include "suite/qvprofile/KeyFile.h"
#include "suite/qvprofile/StoreCrypto.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

QvKeyFileContents SampleKey() {
  QvKeyFileContents key;
  key.userId = "alice";
  key.keyName = "{0A1B2C3D-1111-4222-8333-444455556666}";
  key.label = "DefaultKey";
  key.blob.assign(kKeyBlobSize, 0);
  std::memcpy(key.blob.data(), "QVKB", 4);
  key.blob[4] = kKeyBlobVersionX25519;
  key.blob[5] = kKeyBlobHasSecret;
  crypto_box_keypair(key.blob.data() + kKeyBlobPublicOffset,
                     key.blob.data() + kKeyBlobSecretOffset);
  return key;
}

class UserStoreKeyFileTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    key_ = SampleKey();
    ASSERT_EQ(QvEncodeKeyFile(key_, "file pw", &bytes_), QvStoreStatus::Ok);
  }
  QvKeyFileContents key_;
  std::vector<std::uint8_t> bytes_;
};

TEST_F(UserStoreKeyFileTest, RoundTripKeepsEverythingAndHidesTheSecret) {
  QvKeyFileContents opened;
  ASSERT_EQ(QvDecodeKeyFile(bytes_.data(), bytes_.size(), "file pw", &opened), QvStoreStatus::Ok);
  EXPECT_EQ(opened.userId, key_.userId);
  EXPECT_EQ(opened.keyName, key_.keyName);
  EXPECT_EQ(opened.label, key_.label);
  EXPECT_EQ(opened.blob, key_.blob);
  EXPECT_EQ(std::memcmp(bytes_.data(), "QVKF", 4), 0);
  EXPECT_EQ(bytes_.size(), 48 + 5 + 38 + 10 + 24 + 72 + 16u);
  // Neither half of the key appears in clear.
  const std::string text(bytes_.begin(), bytes_.end());
  for (const size_t offset : {kKeyBlobPublicOffset, kKeyBlobSecretOffset}) {
    const std::string half(key_.blob.begin() + offset, key_.blob.begin() + offset + 32);
    EXPECT_EQ(text.find(half), std::string::npos);
  }
  // Two exports of the same key differ (fresh salt and nonce).
  std::vector<std::uint8_t> again;
  ASSERT_EQ(QvEncodeKeyFile(key_, "file pw", &again), QvStoreStatus::Ok);
  EXPECT_NE(again, bytes_);

  QvKeyFileContents header;
  ASSERT_EQ(QvPeekKeyFile(bytes_.data(), bytes_.size(), &header), QvStoreStatus::Ok);
  EXPECT_EQ(header.userId, "alice");
  EXPECT_EQ(header.keyName, key_.keyName);
  EXPECT_TRUE(header.blob.empty());
}

TEST_F(UserStoreKeyFileTest, DamagedOrForeignFilesAreRefused) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    const char* password;
    QvStoreStatus expected;
  };
  auto changed = [&](size_t offset, std::uint8_t value) {
    std::vector<std::uint8_t> out = bytes_;
    out[offset] = value;
    return out;
  };
  auto flipped = [&](size_t offset) { return changed(offset, bytes_[offset] ^ 0x01); };
  std::vector<std::uint8_t> truncated(bytes_.begin(), bytes_.end() - 1);
  std::vector<std::uint8_t> extended = bytes_;
  extended.push_back(0);
  const size_t sealed = bytes_.size() - 112;
  std::vector<Case> cases = {
      {"wrong password", bytes_, "other pw", QvStoreStatus::WrongPassword},
      {"empty password", bytes_, "", QvStoreStatus::WrongPassword},
      {"magic", flipped(0), "file pw", QvStoreStatus::InvalidArgument},
      {"newer version", changed(4, 3), "file pw", QvStoreStatus::InvalidArgument},
      {"version 0", changed(4, 0), "file pw", QvStoreStatus::InvalidArgument},
      {"kdf", changed(5, 1), "file pw", QvStoreStatus::InvalidArgument},
      // Limits beyond what the store accepts are refused before any work is done.
      {"huge memory limit", changed(23, 0x7f), "file pw", QvStoreStatus::InvalidArgument},
      {"zero ops limit", changed(8, 0), "file pw", QvStoreStatus::InvalidArgument},
      {"salt", flipped(30), "file pw", QvStoreStatus::WrongPassword},
      {"user id length", changed(40, 6), "file pw", QvStoreStatus::InvalidArgument},
      {"user id text", changed(48, 'A'), "file pw", QvStoreStatus::WrongPassword},
      {"user id not an id", changed(48, '{'), "file pw", QvStoreStatus::InvalidArgument},
      {"label", flipped(sealed - 1), "file pw", QvStoreStatus::WrongPassword},
      {"nonce", flipped(sealed), "file pw", QvStoreStatus::WrongPassword},
      {"ciphertext", flipped(sealed + 30), "file pw", QvStoreStatus::WrongPassword},
      {"tag", flipped(bytes_.size() - 1), "file pw", QvStoreStatus::WrongPassword},
      {"truncated", truncated, "file pw", QvStoreStatus::InvalidArgument},
      {"extended", extended, "file pw", QvStoreStatus::InvalidArgument},
      {"empty", {}, "file pw", QvStoreStatus::InvalidArgument},
      {"too large", std::vector<std::uint8_t>(kMaxKeyFileSize + 1, 'Q'), "file pw",
       QvStoreStatus::InvalidArgument},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QvKeyFileContents opened;
    opened.userId = "untouched";
    EXPECT_EQ(QvDecodeKeyFile(c.bytes.data(), c.bytes.size(), c.password, &opened), c.expected);
    EXPECT_EQ(opened.userId, "untouched");
    EXPECT_TRUE(opened.blob.empty());
  }

  // A blob without its secret, or a bad id, is never written.
  QvKeyFileContents publicOnly = key_;
  publicOnly.blob[5] = 0;
  std::vector<std::uint8_t> out;
  EXPECT_EQ(QvEncodeKeyFile(publicOnly, "pw", &out), QvStoreStatus::InvalidArgument);
  QvKeyFileContents badId = key_;
  badId.userId = "not valid!";
  EXPECT_EQ(QvEncodeKeyFile(badId, "pw", &out), QvStoreStatus::InvalidArgument);
  EXPECT_EQ(QvEncodeKeyFile(key_, "", &out), QvStoreStatus::InvalidArgument);
}

TEST_F(UserStoreKeyFileTest, WeaklySealedFilesAreRefusedBeforeThePasswordIsTried) {
  // What this version writes passes its own floor, and opens.
  QvKeyFileContents ours;
  ASSERT_EQ(QvPeekKeyFile(bytes_.data(), bytes_.size(), &ours), QvStoreStatus::Ok);
  EXPECT_EQ(QvKeyFileWeakness(ours), "");
  // A genuine file sealed with one pass over 8 KiB, the least Argon2id takes: its password
  // would fall to guessing. The header still reads (the import lists it), the key does not.
  const std::vector<std::uint8_t> weak = qvtest::KeyFileSealedAt(key_, 1, 1, 8192, "file pw");
  QvKeyFileContents header;
  ASSERT_EQ(QvPeekKeyFile(weak.data(), weak.size(), &header), QvStoreStatus::Ok);
  EXPECT_EQ(header.kdfOps, 1u);
  EXPECT_EQ(header.kdfMem, 8192u);
  EXPECT_NE(QvKeyFileWeakness(header).find("export the key again"), std::string::npos);
  const std::uint64_t derivations = QvPasswordDerivationCount();
  QvKeyFileContents opened;
  EXPECT_EQ(QvDecodeKeyFile(weak.data(), weak.size(), "file pw", &opened),
            QvStoreStatus::InvalidArgument);
  EXPECT_TRUE(opened.blob.empty());
  EXPECT_EQ(QvPasswordDerivationCount(), derivations);

  // At the real floor: a file of the first version needs the interactive limits it was
  // written with (it may be the only copy of an older key, so it still opens at those), while
  // a current-version file below the sensitive limits is refused.
  qvtest::RealKdfCost realCost;
  const std::vector<std::uint8_t> older = qvtest::KeyFileSealedAt(
      key_, 1, crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE, "file pw");
  ASSERT_EQ(QvPeekKeyFile(older.data(), older.size(), &header), QvStoreStatus::Ok);
  EXPECT_EQ(QvKeyFileWeakness(header), "");
  ASSERT_EQ(QvDecodeKeyFile(older.data(), older.size(), "file pw", &opened), QvStoreStatus::Ok);
  EXPECT_EQ(opened.blob, key_.blob);
  const std::vector<std::uint8_t> belowOlder = qvtest::KeyFileSealedAt(
      key_, 1, crypto_pwhash_OPSLIMIT_INTERACTIVE - 1, crypto_pwhash_MEMLIMIT_INTERACTIVE, "pw");
  ASSERT_EQ(QvPeekKeyFile(belowOlder.data(), belowOlder.size(), &header), QvStoreStatus::Ok);
  EXPECT_NE(QvKeyFileWeakness(header), "");
  const std::uint64_t beforeRefusals = QvPasswordDerivationCount();
  EXPECT_EQ(QvDecodeKeyFile(belowOlder.data(), belowOlder.size(), "pw", &opened),
            QvStoreStatus::InvalidArgument);
  std::vector<std::uint8_t> moderate = older;
  moderate[4] = 2;
  moderate[8] = static_cast<std::uint8_t>(crypto_pwhash_OPSLIMIT_SENSITIVE);
  moderate[19] = 0x10;  // 256 MiB
  ASSERT_EQ(QvPeekKeyFile(moderate.data(), moderate.size(), &header), QvStoreStatus::Ok);
  EXPECT_EQ(header.kdfMem, crypto_pwhash_MEMLIMIT_MODERATE);
  EXPECT_EQ(QvDecodeKeyFile(moderate.data(), moderate.size(), "file pw", &opened),
            QvStoreStatus::InvalidArgument);
  EXPECT_EQ(QvPasswordDerivationCount(), beforeRefusals);
}

TEST_F(UserStoreKeyFileTest, FileNamesFollowTheOwnerText) {
  EXPECT_EQ(QvKeyFileName("{0A1B2C3D-1111-4222-8333-444455556666}"),
            "0A1B2C3D-1111-4222-8333-444455556666.qvkey");
  EXPECT_EQ(QvKeyFileName("alice"), "alice.qvkey");
  EXPECT_EQ(QvKeyFileName("{alice}"), "{alice}.qvkey");
  EXPECT_EQ(QvKeyFileName("a/b\\c:d"), "a_b_c_d.qvkey");
  EXPECT_EQ(QvKeyFileName(".."), "_.qvkey");
  EXPECT_EQ(QvExportFolder(), root_.Sub("root") + "/export");
}

TEST_F(UserStoreKeyFileTest, WritesPrivatelyAndReplacesOnlyWhenAsked) {
  const std::string path = root_.Sub("key.qvkey");
  std::string error;
  ASSERT_EQ(QvWriteKeyFile(path, bytes_, false, &error), QvStoreStatus::Ok) << error;
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::vector<std::uint8_t> other;
  ASSERT_EQ(QvEncodeKeyFile(key_, "second pw", &other), QvStoreStatus::Ok);
  EXPECT_EQ(QvWriteKeyFile(path, other, false, &error), QvStoreStatus::Exists);
  std::vector<std::uint8_t> read;
  ASSERT_EQ(QvReadKeyFile(path, &read, &error), QvStoreStatus::Ok);
  EXPECT_EQ(read, bytes_);
  ASSERT_EQ(QvWriteKeyFile(path, other, true, &error), QvStoreStatus::Ok);
  ASSERT_EQ(QvReadKeyFile(path, &read, &error), QvStoreStatus::Ok);
  EXPECT_EQ(read, other);
  EXPECT_EQ(QvReadKeyFile(root_.Sub("missing.qvkey"), &read, &error), QvStoreStatus::NotFound);
  EXPECT_EQ(QvReadKeyFile(root_.Path(), &read, &error), QvStoreStatus::InvalidArgument);
  // No temporary file is left beside the key.
  EXPECT_EQ(access((path + ".tmp-" + std::to_string(getpid())).c_str(), F_OK), -1);
}

}  // namespace
