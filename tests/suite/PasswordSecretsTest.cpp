// How passwords are turned into keys and held: one Argon2id derivation per log-on at the
// moderate limits, an older store's record opened and sealed again, hostile limits refused
// before any work, passwords and master keys in guarded memory, and the password of a key
// file taken from its own file, never from the log-on password's.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "suite/qvprofile/MasterKey.h"
#include "suite/qvprofile/StoreCrypto.h"
#include "suite/qvprofile/UserStore.h"
#include "suite/qvverify/PasswordSource.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using namespace qvtest;

struct PasswordRow {
  std::string verifier;
  std::vector<std::uint8_t> salt;
  std::int64_t ops = 0;
  std::int64_t mem = 0;
  std::vector<std::uint8_t> wrapped;
};

class PasswordSecretsTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    ASSERT_EQ(store_.Open(), QvStoreStatus::Ok) << store_.LastError();
  }

  QvKey EnrollAlice(const std::string& password) {
    QvKey key{"alice", "DefaultKey", kKeyTypeUser, NewKeyBlob(), false, false};
    EXPECT_EQ(
        store_.Enroll({"alice", ".\\alice", "Alice", QvAccountType::Computer}, password, &key),
        QvStoreStatus::Ok)
        << store_.LastError();
    return key;
  }

  // The user's password columns, read and written behind the store's back.
  PasswordRow ReadRow(const std::string& userId) {
    PasswordRow row;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(root_.Sub("root/qvusers.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT password_hash, kek_salt, kek_ops, kek_mem, master_key FROM users "
                       "WHERE user_id = ?1",
                       -1, &s, nullptr);
    sqlite3_bind_text(s, 1, userId.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(s) == SQLITE_ROW) {
      row.verifier = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      auto blob = [&](int column) {
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, column));
        return std::vector<std::uint8_t>(data, data + sqlite3_column_bytes(s, column));
      };
      row.salt = blob(1);
      row.ops = sqlite3_column_int64(s, 2);
      row.mem = sqlite3_column_int64(s, 3);
      row.wrapped = blob(4);
    } else {
      ADD_FAILURE() << "no row for " << userId;
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return row;
  }

  void WriteRow(const std::string& userId, const PasswordRow& row) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(root_.Sub("root/qvusers.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "UPDATE users SET password_hash = ?2, kek_salt = ?3, kek_ops = ?4, "
                       "kek_mem = ?5, master_key = ?6 WHERE user_id = ?1",
                       -1, &s, nullptr);
    sqlite3_bind_text(s, 1, userId.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 2, row.verifier.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(s, 3, row.salt.data(), static_cast<int>(row.salt.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 4, row.ops);
    sqlite3_bind_int64(s, 5, row.mem);
    sqlite3_bind_blob(s, 6, row.wrapped.data(), static_cast<int>(row.wrapped.size()),
                      SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(s), SQLITE_DONE);
    sqlite3_finalize(s);
    sqlite3_close(db);
  }

  // The derivations `unlock` runs with `password`, and its result.
  std::pair<QvStoreStatus, std::uint64_t> Unlock(const std::string& password,
                                                 QvMasterKey* masterKey) {
    const std::uint64_t before = QvPasswordDerivationCount();
    const QvStoreStatus status = store_.UnlockMasterKey("alice", password, masterKey);
    return {status, QvPasswordDerivationCount() - before};
  }

  QvUserStore store_;
};

TEST_F(PasswordSecretsTest, LogOnRunsOneDerivationAndRefusesHostileLimitsBeforeAny) {
  const QvKey key = EnrollAlice("right pw");
  const PasswordRow row = ReadRow("alice");
  EXPECT_EQ(row.verifier.rfind("qvlogon2$", 0), 0u) << row.verifier;
  EXPECT_EQ(row.verifier.find("right pw"), std::string::npos);

  QvMasterKey masterKey;
  EXPECT_EQ(Unlock("right pw", &masterKey), std::make_pair(QvStoreStatus::Ok, std::uint64_t{1}));
  QvKey read;
  ASSERT_EQ(store_.ReadKey("alice", "", &masterKey, &read), QvStoreStatus::Ok);
  EXPECT_EQ(read.blob, key.blob);
  EXPECT_EQ(Unlock("wrong pw", &masterKey),
            std::make_pair(QvStoreStatus::WrongPassword, std::uint64_t{1}));

  // The verifier tells a wrong password from a damaged record.
  PasswordRow damaged = row;
  damaged.wrapped[30] ^= 1;
  WriteRow("alice", damaged);
  EXPECT_EQ(Unlock("right pw", &masterKey).first, QvStoreStatus::Damaged);
  EXPECT_EQ(Unlock("wrong pw", &masterKey).first, QvStoreStatus::WrongPassword);

  // Limits nobody writes (a terabyte, or no pass at all) are refused without deriving.
  for (const auto& [ops, mem] :
       {std::pair<std::int64_t, std::int64_t>{row.ops, 1ll << 40}, {0, row.mem}, {-3, row.mem}}) {
    PasswordRow hostile = row;
    hostile.ops = ops;
    hostile.mem = mem;
    WriteRow("alice", hostile);
    EXPECT_EQ(Unlock("right pw", &masterKey),
              std::make_pair(QvStoreStatus::Damaged, std::uint64_t{0}));
  }
}

TEST_F(PasswordSecretsTest, OlderStoreRecordOpensOnceAndIsSealedAgain) {
  const QvKey key = EnrollAlice("right pw");
  QvMasterKey masterKey;
  ASSERT_EQ(store_.UnlockMasterKey("alice", "right pw", &masterKey), QvStoreStatus::Ok);

  // The record as older versions wrote it: a crypto_pwhash_str hash, and the master key
  // wrapped under a second derivation with its own salt.
  PasswordRow older;
  char hash[crypto_pwhash_STRBYTES];
  ASSERT_EQ(crypto_pwhash_str(hash, "right pw", 8, crypto_pwhash_OPSLIMIT_MIN,
                              crypto_pwhash_MEMLIMIT_MIN),
            0);
  older.verifier = hash;
  older.salt.resize(crypto_pwhash_SALTBYTES);
  randombytes_buf(older.salt.data(), older.salt.size());
  older.ops = crypto_pwhash_OPSLIMIT_MIN;
  older.mem = crypto_pwhash_MEMLIMIT_MIN;
  unsigned char wrappingKey[32];
  ASSERT_EQ(crypto_pwhash(wrappingKey, sizeof wrappingKey, "right pw", 8, older.salt.data(),
                          older.ops, older.mem, crypto_pwhash_ALG_ARGON2ID13),
            0);
  const std::string context = std::string("qvus-master-key") + '\0' + "alice";
  older.wrapped.resize(24 + QvMasterKey::kSize + 16);
  randombytes_buf(older.wrapped.data(), 24);
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      older.wrapped.data() + 24, nullptr, masterKey.Data(), QvMasterKey::kSize,
      reinterpret_cast<const unsigned char*>(context.data()), context.size(), nullptr,
      older.wrapped.data(), wrappingKey);
  WriteRow("alice", older);

  // A wrong password leaves the older record as it was.
  QvMasterKey opened;
  EXPECT_EQ(Unlock("wrong pw", &opened).first, QvStoreStatus::WrongPassword);
  EXPECT_EQ(ReadRow("alice").verifier, older.verifier);

  // The right one opens it, and the record is sealed again: the same master key (the sealed
  // secrets still open) behind one derivation from then on.
  ASSERT_EQ(Unlock("right pw", &opened).first, QvStoreStatus::Ok);
  EXPECT_EQ(std::memcmp(opened.Data(), masterKey.Data(), QvMasterKey::kSize), 0);
  const PasswordRow upgraded = ReadRow("alice");
  EXPECT_EQ(upgraded.verifier.rfind("qvlogon2$", 0), 0u) << upgraded.verifier;
  EXPECT_NE(upgraded.salt, older.salt);
  QvMasterKey again;
  EXPECT_EQ(Unlock("right pw", &again), std::make_pair(QvStoreStatus::Ok, std::uint64_t{1}));
  QvKey read;
  ASSERT_EQ(store_.ReadKey("alice", "", &again, &read), QvStoreStatus::Ok);
  EXPECT_EQ(read.blob, key.blob);
}

TEST_F(PasswordSecretsTest, RealLimitsAreTheModerateOnesOncePerLogOn) {
  // Enrolled at the tests' low cost: below what a log-on uses for real.
  EnrollAlice("right pw");
  const PasswordRow cheap = ReadRow("alice");
  // The one place the tests pay the real cost: 256 MiB, twice.
  RealKdfCost realCost;
  QvMasterKey masterKey;
  ASSERT_EQ(Unlock("right pw", &masterKey).first, QvStoreStatus::Ok);
  // Sealed again at the moderate limits, behind one derivation.
  const PasswordRow row = ReadRow("alice");
  EXPECT_EQ(row.ops, static_cast<std::int64_t>(crypto_pwhash_OPSLIMIT_MODERATE));
  EXPECT_EQ(row.mem, static_cast<std::int64_t>(crypto_pwhash_MEMLIMIT_MODERATE));
  EXPECT_NE(row.verifier, cheap.verifier);
  QvMasterKey again;
  EXPECT_EQ(Unlock("right pw", &again), std::make_pair(QvStoreStatus::Ok, std::uint64_t{1}));
  EXPECT_EQ(std::memcmp(again.Data(), masterKey.Data(), QvMasterKey::kSize), 0);
}

// The flags of the mapping that holds `address`, from /proc/self/smaps.
std::string MappingFlags(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    unsigned long from = 0, to = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2) inside = at >= from && at < to;
    if (inside && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return {};
}

TEST_F(PasswordSecretsTest, SecretsLiveInGuardedMemoryAndAreWiped) {
  QvSecretText password;
  ASSERT_TRUE(password.Valid());
  ASSERT_TRUE(password.Assign("correct horse\r\nsecond line"));
  char* const bytes = password.Buffer();
  password.Truncate(13);
  EXPECT_EQ(password.View(), "correct horse");
  EXPECT_EQ(std::string(bytes + 13, 3), std::string(3, '\0'));
  password.Clear();
  EXPECT_TRUE(password.Empty());
  EXPECT_EQ(std::string(bytes, 16), std::string(16, '\0'));
  EXPECT_FALSE(password.Assign(std::string(QvSecretText::kCapacity + 1, 'x')));

  // Moving hands the guarded memory over.
  ASSERT_TRUE(password.Assign("moved"));
  QvSecretText moved(std::move(password));
  EXPECT_EQ(moved.View(), "moved");
  EXPECT_EQ(moved.Buffer(), bytes);
  EXPECT_FALSE(password.Valid());

  // Kept out of core dumps, and fenced: a read one byte past either end faults.
  QvMasterKey masterKey;
  ASSERT_TRUE(masterKey.Valid());
  EXPECT_NE(MappingFlags(masterKey.Data()).find(" dd"), std::string::npos)
      << MappingFlags(masterKey.Data());
  EXPECT_NE(MappingFlags(moved.Buffer()).find(" dd"), std::string::npos);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        volatile const unsigned char* end = masterKey.Data() + QvMasterKey::kSize;
        std::printf("%d", *end);
      },
      "");
  EXPECT_DEATH(
      {
        volatile const char* end = moved.Buffer() + QvSecretText::kCapacity;
        std::printf("%d", *end);
      },
      "");
}

TEST_F(PasswordSecretsTest, KeyFilePasswordNeverComesFromTheLogOnPasswordsSource) {
  const std::string logOn = root_.Sub("log-on pw"), exportFile = root_.Sub("export pw");
  WriteTextFile(logOn, "log-on secret\n");
  WriteTextFile(exportFile, "export secret\r\n");
  ASSERT_EQ(chmod(logOn.c_str(), 0600), 0);
  ASSERT_EQ(chmod(exportFile.c_str(), 0600), 0);
  setenv(kPasswordFileVariable, logOn.c_str(), 1);
  const QvPasswordQuestion keyFile{.title = "Export Key", .prompt = "p", .keyFile = true};

  // Only the log-on password's file: the key file's password is not given.
  QvPasswordReply reply = QvAskPassword(keyFile);
  EXPECT_EQ(reply.answer, QvPasswordAnswer::Unavailable);
  EXPECT_TRUE(reply.password.Empty());
  EXPECT_NE(reply.error.find("--export-password-file"), std::string::npos) << reply.error;
  EXPECT_EQ(QvKeyFilePasswordProblem(), reply.error);
  EXPECT_EQ(QvAskPassword({.title = "Log On"}).password.View(), "log-on secret");

  // A file of its own answers it, under the same rules as the log-on password's file.
  setenv(kKeyFilePasswordFileVariable, exportFile.c_str(), 1);
  EXPECT_EQ(QvKeyFilePasswordProblem(), "");
  reply = QvAskPassword(keyFile);
  EXPECT_EQ(reply.answer, QvPasswordAnswer::Given);
  EXPECT_EQ(reply.password.View(), "export secret");
  EXPECT_EQ(QvAskPassword({.title = "Log On"}).password.View(), "log-on secret");
  ASSERT_EQ(chmod(exportFile.c_str(), 0644), 0);
  EXPECT_NE(QvKeyFilePasswordProblem().find("readable by you alone"), std::string::npos);
  EXPECT_EQ(QvAskPassword(keyFile).answer, QvPasswordAnswer::Unavailable);
  unsetenv(kKeyFilePasswordFileVariable);
  unsetenv(kPasswordFileVariable);
}

}  // namespace
