// The user store edited behind the library, as someone with write access to the file would do
// it with sqlite3: each edit of a user's rows is found when the rows are used, never taken as
// the user's; and a store written before the rows carried MACs is read and gets them at the
// user's next log-on, without that becoming a way to have edits accepted.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sqlite3.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "suite/QvKeyBlob.h"
#include "suite/QvUserApi.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/TestRoot.h"
#include "tests/engine/ProgressDialogFixture.h"
#include "tests/suite/QvfTestSupport.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using namespace qvtest;

constexpr const char* kChangedOutside = "the user store was changed outside the program";

QvKey KeyNamed(const std::string& name, bool withSecret) {
  return {name, "DefaultKey", kKeyTypeUser, NewKeyBlob(withSecret), false, false};
}

class UserStoreTamperingTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    ASSERT_EQ(store_.Open(), QvStoreStatus::Ok);
    QvKey key = KeyNamed("mallory", true);
    ASSERT_EQ(store_.Enroll({"mallory", "mallory", "Mallory", QvAccountType::Suite}, "m pw", &key),
              QvStoreStatus::Ok);
    ASSERT_EQ(store_.WriteSetting("mallory", kSettingCategoryUser, kSettingDelegateUsers,
                                  "mallory:", UnlockedMasterKey(store_, "mallory", "m pw").get()),
              QvStoreStatus::Ok);
  }

  // `userId` enrolled with a default key, a second (public) key and the delegate list "bob:",
  // every row written by the library in the user's session; the user's master key.
  std::unique_ptr<QvMasterKey> EnrollVictim(const std::string& userId) {
    QvKey key = KeyNamed(userId, true);
    EXPECT_EQ(store_.Enroll({userId, userId, userId, QvAccountType::Suite}, "pw", &key),
              QvStoreStatus::Ok);
    auto masterKey = UnlockedMasterKey(store_, userId, "pw");
    EXPECT_NE(masterKey, nullptr);
    if (masterKey == nullptr) return masterKey;
    EXPECT_EQ(store_.StoreKey(userId, KeyNamed("second", false), masterKey.get()),
              QvStoreStatus::Ok);
    EXPECT_EQ(store_.WriteSetting(userId, kSettingCategoryUser, kSettingDelegateUsers,
                                  "bob:", masterKey.get()),
              QvStoreStatus::Ok);
    return masterKey;
  }

  QvUserStore store_;
};

TEST_F(UserStoreTamperingTest, EditsOfAUsersRowsAreFoundWhenTheRowsAreUsed) {
  using Use = std::function<QvStoreStatus(QvUserStore&, const std::string&, const QvMasterKey&)>;
  const Use readDelegates = [](QvUserStore& store, const std::string& id, const QvMasterKey& key) {
    std::string value;
    return store.ReadSetting(id, kSettingCategoryUser, kSettingDelegateUsers, &key, &value);
  };
  const Use readDefaultKey = [](QvUserStore& store, const std::string& id, const QvMasterKey& key) {
    QvKey out;
    return store.ReadKey(id, "", &key, &out);
  };
  const Use readSecondKey = [](QvUserStore& store, const std::string& id, const QvMasterKey& key) {
    QvKey out;
    return store.ReadKey(id, "second", &key, &out);
  };
  const Use checkAll = [](QvUserStore& store, const std::string& id, const QvMasterKey& key) {
    return store.CheckUserRows(id, key);
  };
  const Use readUser = [](QvUserStore& store, const std::string& id, const QvMasterKey& key) {
    QvUserInfo info;
    return store.FindUserChecked(id, key, &info);
  };
  const Use changeSetting = [](QvUserStore& store, const std::string& id, const QvMasterKey& key) {
    return store.WriteSetting(id, kSettingCategoryUser, kSettingBackupWarningSuppressed, "1", &key);
  };
  struct Attack {
    const char* what;
    const char* sql;
    Use use;
  } attacks[] = {
      {"delegate list changed",
       "UPDATE settings SET value = 'mallory:' WHERE user_id = $U AND id = 24", readDelegates},
      {"a row and its MAC copied from another user",
       "UPDATE settings SET (value, row_mac) = (SELECT value, row_mac FROM settings WHERE "
       "user_id = 'mallory' AND id = 24) WHERE user_id = $U AND id = 24",
       readDelegates},
      {"setting added", "INSERT INTO settings(user_id, category, id, value) VALUES($U, 5, 14, 'x')",
       checkAll},
      {"default key swapped", "UPDATE users SET default_key = 'second' WHERE user_id = $U",
       readDefaultKey},
      {"public half of a key replaced",
       "UPDATE keys SET public_blob = (SELECT public_blob FROM keys WHERE user_id = 'mallory') "
       "WHERE user_id = $U AND key_name = 'second'",
       readSecondKey},
      {"public half of a key replaced, then the key made the default",
       "UPDATE keys SET public_blob = (SELECT public_blob FROM keys WHERE user_id = 'mallory') "
       "WHERE user_id = $U AND key_name = 'second'",
       [](QvUserStore& store, const std::string& id, const QvMasterKey& key) {
         return store.SetDefaultKey(id, "second", &key);
       }},
      {"share key replaced",
       "UPDATE share_keys SET blob = (SELECT blob FROM share_keys WHERE user_id = 'mallory') "
       "WHERE user_id = $U",
       checkAll},
      {"session time-out changed", "UPDATE users SET session_timeout_ms = 0 WHERE user_id = $U",
       readUser},
      // A changed user row is not blessed by the next change either.
      {"time-out changed, then a setting written",
       "UPDATE users SET session_timeout_ms = 0 WHERE user_id = $U", changeSetting},
  };
  const std::string victim = "victim";
  const auto masterKey = EnrollVictim(victim);
  ASSERT_NE(masterKey, nullptr);
  // The victim's rows as the library wrote them, put back before each attack.
  static constexpr const char* kTables[] = {"users", "keys", "share_keys", "settings"};
  std::string save, restore;
  for (const char* table : kTables) {
    save += std::string("CREATE TABLE saved_") + table + " AS SELECT * FROM " + table +
            " WHERE user_id = $U;";
    restore += std::string("DELETE FROM ") + table + " WHERE user_id = $U; INSERT INTO " + table +
               " SELECT * FROM saved_" + table + ";";
  }
  EditBehindTheLibrary(save, victim);
  for (const Attack& attack : attacks) {
    SCOPED_TRACE(attack.what);
    EditBehindTheLibrary(restore, victim);
    // Before the edit the same use succeeds: what fails below is the edit.
    ASSERT_EQ(attack.use(store_, victim, *masterKey), QvStoreStatus::Ok) << store_.LastError();
    EditBehindTheLibrary(attack.sql, victim);
    EXPECT_EQ(attack.use(store_, victim, *masterKey), QvStoreStatus::Damaged);
    EXPECT_NE(store_.LastError().find(kChangedOutside), std::string::npos) << store_.LastError();
  }
}

TEST_F(UserStoreTamperingTest, ChangesNeedTheUsersOwnMasterKey) {
  const auto victim = EnrollVictim("victim");
  const auto mallory = UnlockedMasterKey(store_, "mallory", "m pw");
  ASSERT_TRUE(victim && mallory);
  for (const QvMasterKey* key :
       {static_cast<const QvMasterKey*>(nullptr), static_cast<const QvMasterKey*>(mallory.get())}) {
    SCOPED_TRACE(key == nullptr ? "no master key" : "another user's master key");
    const QvStoreStatus expected =
        key == nullptr ? QvStoreStatus::NotVerified : QvStoreStatus::Damaged;
    EXPECT_EQ(
        store_.WriteSetting("victim", kSettingCategoryUser, kSettingDelegateUsers, "mallory:", key),
        expected);
    EXPECT_EQ(store_.SetSessionTimeout("victim", 0, key), expected);
    EXPECT_EQ(store_.StoreKey("victim", KeyNamed("planted", false), key), expected);
    EXPECT_EQ(store_.SetDefaultKey("victim", "second", key), expected);
  }
  // Nothing changed: every row still checks out, and reads as before.
  ASSERT_EQ(store_.CheckUserRows("victim", *victim), QvStoreStatus::Ok);
  QvUserInfo info;
  ASSERT_EQ(store_.FindUserChecked("victim", *victim, &info), QvStoreStatus::Ok);
  EXPECT_EQ(info.defaultKey, "victim");
  EXPECT_EQ(info.sessionTimeoutMs, kDefaultSessionTimeoutMs);
  EXPECT_EQ(info.keyCount, 2);
}

// A store as the version before row MACs wrote it: the columns gone, version 1, the master
// key wrapped with the associated data of that version (docs/formats-userstore.md).
void MakeStoreOfTheFirstVersion(const std::string& userId, const std::string& password,
                                const QvMasterKey& masterKey) {
  sqlite3* db = nullptr;
  ASSERT_EQ(
      sqlite3_open_v2(QvUserStore::DefaultPath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
      SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(db, "SELECT kek_salt, kek_ops, kek_mem FROM users WHERE user_id = ?1", -1,
                         &s, nullptr),
      SQLITE_OK);
  sqlite3_bind_text(s, 1, userId.c_str(), -1, SQLITE_TRANSIENT);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  std::vector<unsigned char> salt(
      static_cast<const unsigned char*>(sqlite3_column_blob(s, 0)),
      static_cast<const unsigned char*>(sqlite3_column_blob(s, 0)) + sqlite3_column_bytes(s, 0));
  const auto ops = static_cast<unsigned long long>(sqlite3_column_int64(s, 1));
  const auto mem = static_cast<size_t>(sqlite3_column_int64(s, 2));
  sqlite3_finalize(s);
  ASSERT_EQ(salt.size(), crypto_pwhash_SALTBYTES);
  unsigned char kek[32];
  ASSERT_EQ(crypto_pwhash(kek, sizeof kek, password.data(), password.size(), salt.data(), ops, mem,
                          crypto_pwhash_ALG_ARGON2ID13),
            0);
  const std::string context = std::string("qvus-master-key", 16) + userId;
  std::vector<unsigned char> wrapped(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES +
                                     QvMasterKey::kSize +
                                     crypto_aead_xchacha20poly1305_ietf_ABYTES);
  randombytes_buf(wrapped.data(), crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      wrapped.data() + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES, nullptr, masterKey.Data(),
      QvMasterKey::kSize, reinterpret_cast<const unsigned char*>(context.data()), context.size(),
      nullptr, wrapped.data(), kek);
  sodium_memzero(kek, sizeof kek);
  // The first version kept a crypto_pwhash_str hash of the password beside the wrapping.
  char hash[crypto_pwhash_STRBYTES];
  ASSERT_EQ(crypto_pwhash_str(hash, password.data(), password.size(), ops, mem), 0);
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "UPDATE users SET master_key = ?2, password_hash = ?3 "
                               "WHERE user_id = ?1",
                               -1, &s, nullptr),
            SQLITE_OK);
  sqlite3_bind_text(s, 1, userId.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_blob(s, 2, wrapped.data(), static_cast<int>(wrapped.size()), SQLITE_TRANSIENT);
  sqlite3_bind_text(s, 3, hash, -1, SQLITE_TRANSIENT);
  ASSERT_EQ(sqlite3_step(s), SQLITE_DONE);
  sqlite3_finalize(s);
  ASSERT_EQ(sqlite3_exec(db,
                         "ALTER TABLE users DROP COLUMN row_mac; ALTER TABLE keys DROP COLUMN "
                         "row_mac; ALTER TABLE share_keys DROP COLUMN row_mac; ALTER TABLE "
                         "settings DROP COLUMN row_mac; PRAGMA user_version = 1;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST_F(UserStoreTamperingTest, AStoreFromBeforeTheMacsGetsThemAtTheNextLogOnAndOnlyThen) {
  const auto masterKey = EnrollVictim("victim");
  ASSERT_NE(masterKey, nullptr);
  store_.Close();
  MakeStoreOfTheFirstVersion("victim", "pw", *masterKey);

  // Opened, the store is brought up to this version; until the user logs on, nothing of the
  // user's checks out, and the stored values read as they are.
  ASSERT_EQ(store_.Open(), QvStoreStatus::Ok) << store_.LastError();
  std::string value;
  ASSERT_EQ(
      store_.ReadSetting("victim", kSettingCategoryUser, kSettingDelegateUsers, nullptr, &value),
      QvStoreStatus::Ok);
  EXPECT_EQ(value, "bob:");
  EXPECT_EQ(store_.CheckUserRows("victim", *masterKey), QvStoreStatus::Damaged);

  // The log-on seals the rows as they are then.
  const auto loggedOn = UnlockedMasterKey(store_, "victim", "pw");
  ASSERT_NE(loggedOn, nullptr);
  EXPECT_EQ(store_.CheckUserRows("victim", *loggedOn), QvStoreStatus::Ok) << store_.LastError();
  QvKey key;
  ASSERT_EQ(store_.ReadKey("victim", "", loggedOn.get(), &key), QvStoreStatus::Ok);
  bool hasSecret = false;
  EXPECT_TRUE(IsKeyBlob(key.blob.data(), key.blob.size(), &hasSecret) && hasSecret);

  // Clearing the MACs afterwards does not pass the user off as one from before them: the next
  // log-on seals nothing, and the edit is found.
  EditBehindTheLibrary(
      "UPDATE users SET row_mac = NULL WHERE user_id = $U; UPDATE keys SET row_mac = NULL WHERE "
      "user_id = $U; UPDATE share_keys SET row_mac = NULL WHERE user_id = $U; UPDATE settings "
      "SET row_mac = NULL, value = 'mallory:' WHERE user_id = $U",
      "victim");
  const auto again = UnlockedMasterKey(store_, "victim", "pw");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(store_.ReadSetting("victim", kSettingCategoryUser, kSettingDelegateUsers, again.get(),
                               &value),
            QvStoreStatus::Damaged);
  EXPECT_EQ(store_.CheckUserRows("victim", *again), QvStoreStatus::Damaged);
}

// The attack end to end: a delegate list edited in the store does not make alice's next
// encryption readable by the user the editor named; the time-out cannot be lifted either.
class TamperedStoreOperationTest : public engine_test::ProgressDialogFixture {};

TEST_F(TamperedStoreOperationTest, AnEditedDelegateListIsNotUsedAndAnEditedTimeOutRefusesTheLogOn) {
  using namespace engine_test;
  ASSERT_EQ(EnrollWithKey({"mallory", ".\\mallory", "Mallory", QvAccountType::Computer}, "m pw"),
            QvStoreStatus::Ok);
  EditBehindTheLibrary(
      "INSERT INTO settings(user_id, category, id, value) VALUES($U, 5, 24, 'mallory:')", "alice");
  const std::string qvf = Encrypted("report.txt", "the quarterly figures");
  EXPECT_EQ(FileUsers(qvf), std::vector<std::string>{"alice"});

  EditBehindTheLibrary("UPDATE users SET session_timeout_ms = 0 WHERE user_id = $U", "alice");
  QvLogOff();
  EXPECT_EQ(QvLogOnUser("alice", "pw"), QvLogOnResult::Failed);
}

TEST(KeyFingerprintTest, ShortReadableAndOfThePublicKeyOnly) {
  ASSERT_GE(sodium_init(), 0);
  const std::vector<std::uint8_t> blob = NewKeyBlob(true);
  std::vector<std::uint8_t> publicOnly = blob;
  publicOnly[5] = 0;
  std::fill(publicOnly.begin() + kKeyBlobSecretOffset, publicOnly.end(), 0);
  const std::string fingerprint = QvKeyFingerprint(blob);
  ASSERT_EQ(fingerprint.size(), 39u);
  for (size_t i = 0; i < fingerprint.size(); ++i)
    EXPECT_TRUE(i % 5 == 4 ? fingerprint[i] == '-' : std::isxdigit(fingerprint[i]) != 0)
        << fingerprint;
  EXPECT_EQ(QvKeyFingerprint(publicOnly), fingerprint);
  EXPECT_NE(QvKeyFingerprint(NewKeyBlob(false)), fingerprint);
  std::vector<std::uint8_t> otherVersion = blob;
  otherVersion[4] = otherVersion[4] == kKeyBlobVersion ? kKeyBlobVersionX25519 : kKeyBlobVersion;
  EXPECT_NE(QvKeyFingerprint(otherVersion), fingerprint);
  EXPECT_EQ(QvKeyFingerprint({1, 2, 3}), "");
}

}  // namespace
