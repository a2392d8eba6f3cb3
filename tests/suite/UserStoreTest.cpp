// The user store: the file it makes and the files it refuses, users and how they are found,
// sealed secrets, keys, settings, audit queries, and two processes writing at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sodium.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/Guid.h"
#include "suite/QvKeyBlob.h"
#include "suite/QvUserApi.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using namespace qvtest;

QvKey MakeKey(const std::string& name, bool withSecret = true) {
  QvKey key;
  key.name = name;
  key.label = "DefaultKey";
  key.blob = NewKeyBlob(withSecret);
  return key;
}

// The blob as the store hands it out without the secret.
std::vector<std::uint8_t> PublicOf(std::vector<std::uint8_t> blob) {
  blob[5] = 0;
  std::fill(blob.begin() + kKeyBlobSecretOffset, blob.end(), 0);
  return blob;
}

QvNewUser MakeUser(const std::string& id, const std::string& name) {
  QvNewUser user;
  user.userId = id;
  user.userName = name;
  user.displayName = id;
  return user;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool FileHolds(const std::string& path, const std::uint8_t* bytes, size_t size) {
  const std::string content = ReadTextFile(path);
  return std::search(content.begin(), content.end(), bytes, bytes + size,
                     [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }) !=
         content.end();
}

class UserStoreTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    ASSERT_EQ(store_.Open(), QvStoreStatus::Ok) << store_.LastError();
  }

  // Enrolls `id` as ".\<id>" with `password` and a default key named after the id.
  QvKey EnrollWithKey(const std::string& id, const std::string& password) {
    QvKey key = MakeKey(id);
    EXPECT_EQ(store_.Enroll(MakeUser(id, ".\\" + id), password, &key), QvStoreStatus::Ok)
        << store_.LastError();
    return key;
  }

  QvUserStore store_;
};

TEST_F(UserStoreTest, NewStoreIsPrivateMarkedAndHoldsTheMachineAccount) {
  const std::string path = QvUserStore::DefaultPath();
  EXPECT_EQ(path, root_.Sub("root") + "/qvusers.db");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  // The page size is only taken while the file is empty: it must have been set in time.
  for (const auto& [pragma, expected] :
       {std::pair{"PRAGMA application_id", 0x51565553}, std::pair{"PRAGMA page_size", 1024}}) {
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, pragma, -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(s, 0), expected) << pragma;
    sqlite3_finalize(s);
  }
  sqlite3_close(db);

  QvUserInfo machine;
  ASSERT_EQ(store_.MachineAccount(&machine), QvStoreStatus::Ok);
  EXPECT_EQ(machine.accountType, QvAccountType::Machine);
  EXPECT_EQ(machine.userId.size(), kMaxUserIdLength);
  EXPECT_TRUE(QvIsValidUserId(machine.userId));
  EXPECT_EQ(machine.userName, QvHostName() + "$");
  EXPECT_FALSE(machine.hasPassword);

  // A second connection sees the same machine account, not a new one.
  QvUserStore again;
  ASSERT_EQ(again.Open(), QvStoreStatus::Ok);
  QvUserInfo same;
  ASSERT_EQ(again.MachineAccount(&same), QvStoreStatus::Ok);
  EXPECT_EQ(same.userId, machine.userId);

  DWORD edition = 99, mode = 99;
  ASSERT_EQ(store_.GetEdition(&edition), QvStoreStatus::Ok);
  ASSERT_EQ(store_.GetModeWord(&mode), QvStoreStatus::Ok);
  EXPECT_EQ(edition, kEditionStandard);
  EXPECT_EQ(mode, 0u);
}

TEST_F(UserStoreTest, RefusesFilesThatAreNotUserStoresAndLeavesThemAlone) {
  // Some other SQLite database, and a store of a newer schema.
  const std::string other = root_.Sub("other.db");
  const std::string newer = root_.Sub("newer.db");
  for (const auto& [path, sql] :
       {std::pair<std::string, const char*>{other, "CREATE TABLE t(x); INSERT INTO t VALUES(1);"},
        {newer, "PRAGMA application_id=1364612435; PRAGMA user_version=99; CREATE TABLE t(x);"}}) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  const std::string garbage = root_.Sub("garbage.db");
  WriteTextFile(garbage, std::string(4096, 'x'));

  for (const std::string& path : {other, newer, garbage}) {
    SCOPED_TRACE(path);
    const std::string before = ReadTextFile(path);
    QvUserStore store;
    EXPECT_EQ(store.Open(path), QvStoreStatus::Failed);
    EXPECT_FALSE(store.IsOpen());
    EXPECT_NE(store.LastError().find(path), std::string::npos) << store.LastError();
    EXPECT_TRUE(ReadTextFile(path) == before) << "the file was changed";
    QvUserInfo info;
    EXPECT_EQ(store.FindUserById("alice", &info), QvStoreStatus::Failed);
  }
}

TEST_F(UserStoreTest, EnrollValidatesAndRefusesTakenIdsAndNames) {
  for (const char* bad : {"", "abcdefghijkl", ".alice", "-alice", "al ice", "al:ice", "{alice}",
                          "a\\b", "al\xc3\xa9"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(QvIsValidUserId(bad));
    EXPECT_EQ(store_.Enroll(MakeUser(bad, ".\\someone"), "pw", nullptr),
              QvStoreStatus::InvalidArgument);
  }
  EXPECT_TRUE(QvIsValidUserId("abcdefghijk"));
  EXPECT_EQ(store_.Enroll(MakeUser("alice", ""), "pw", nullptr), QvStoreStatus::InvalidArgument);
  EXPECT_EQ(store_.Enroll(MakeUser("alice", ".\\al\nice"), "pw", nullptr),
            QvStoreStatus::InvalidArgument);
  EXPECT_EQ(store_.Enroll(MakeUser("alice", ".\\alice"), std::string_view(), nullptr),
            QvStoreStatus::InvalidArgument);
  QvKey secretWithoutPassword = MakeKey("alice");
  EXPECT_EQ(store_.Enroll(MakeUser("alice", ".\\alice"), std::nullopt, &secretWithoutPassword),
            QvStoreStatus::InvalidArgument);
  QvKey notABlob = MakeKey("alice");
  notABlob.blob[0] = 'X';
  EXPECT_EQ(store_.Enroll(MakeUser("alice", ".\\alice"), "pw", &notABlob),
            QvStoreStatus::InvalidArgument);

  EnrollWithKey("alice", "pw");
  // Ids and names are taken without regard to letter case; this host's name is ".".
  EXPECT_EQ(store_.Enroll(MakeUser("ALICE", ".\\other"), "pw", nullptr), QvStoreStatus::Exists);
  EXPECT_EQ(store_.Enroll(MakeUser("alice2", Upper(QvHostName()) + "\\ALICE"), "pw", nullptr),
            QvStoreStatus::Exists);
  EXPECT_NE(store_.LastError().find("alice"), std::string::npos) << store_.LastError();
  std::vector<QvUserInfo> users;
  ASSERT_EQ(store_.ListUsers(&users), QvStoreStatus::Ok);
  EXPECT_EQ(users.size(), 2u);  // alice and the machine
}

TEST_F(UserStoreTest, FindsUsersByIdNameAndOwnerText) {
  EnrollWithKey("alice", "pw");
  const std::string guidName =
      FormatGuid(GUID{0x12345678, 0x9abc, 0x4def, {1, 2, 3, 4, 5, 6, 7, 8}});
  ASSERT_EQ(store_.Enroll(MakeUser("bob", "CORP\\bob"), "pw", nullptr), QvStoreStatus::Ok);
  const auto bobKey = UnlockedMasterKey(store_, "bob", "pw");
  ASSERT_EQ(store_.StoreKey("bob", MakeKey(guidName, false), bobKey.get()), QvStoreStatus::Ok);

  struct Case {
    std::string reference;
    const char* expected;  // null: not found
  } cases[] = {
      {"alice", "alice"},
      {"ALICE", "alice"},
      {".\\alice", "alice"},
      {".\\ALICE", "alice"},
      {Upper(QvHostName()) + "\\alice", "alice"},
      {"{alice}alice.qvkey", "alice"},
      {guidName + guidName.substr(1, 36) + ".qvkey", "bob"},
      {"corp\\BOB", "bob"},
      {"bob", "bob"},  // the id; the name "bob" alone would be ".\bob", who does not exist
      {"otherhost\\alice", nullptr},
      {"{nobody}nobody.qvkey", nullptr},
      {"{alice", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reference);
    QvUserInfo info;
    const QvStoreStatus status = store_.FindUser(c.reference, &info);
    if (c.expected == nullptr) {
      EXPECT_EQ(status, QvStoreStatus::NotFound);
    } else {
      ASSERT_EQ(status, QvStoreStatus::Ok);
      EXPECT_EQ(info.userId, c.expected);
    }
  }
  QvUserInfo info;
  ASSERT_EQ(store_.FindUserByName("alice", &info), QvStoreStatus::Ok);
  EXPECT_EQ(info.userName, ".\\alice");
  EXPECT_EQ(info.defaultKey, "alice");
  EXPECT_EQ(info.keyCount, 1);
  EXPECT_TRUE(info.hasPassword);
  EXPECT_EQ(store_.FindUserByName("bob", &info), QvStoreStatus::NotFound);
}

TEST_F(UserStoreTest, SecretIsSealedAndReadOnlyWithTheUsersMasterKey) {
  const QvKey original = EnrollWithKey("alice", "right pw");
  EnrollWithKey("bob", "bobs pw");
  const std::uint8_t* secret = original.blob.data() + kKeyBlobSecretOffset;
  store_.Close();
  for (const char* suffix : {"", "-wal"}) {
    const std::string file = QvUserStore::DefaultPath() + suffix;
    if (access(file.c_str(), F_OK) == 0) {
      SCOPED_TRACE(file);
      EXPECT_FALSE(FileHolds(file, secret, kKeyBlobKeySize));
      EXPECT_TRUE(FileHolds(file, original.blob.data() + kKeyBlobPublicOffset, kKeyBlobKeySize));
    }
  }
  ASSERT_EQ(store_.Open(), QvStoreStatus::Ok);

  QvKey key;
  ASSERT_EQ(store_.ReadKey("alice", "", nullptr, &key), QvStoreStatus::Ok);
  bool hasSecret = true;
  ASSERT_TRUE(IsKeyBlob(key.blob.data(), key.blob.size(), &hasSecret));
  EXPECT_FALSE(hasSecret);
  EXPECT_TRUE(key.hasStoredSecret);
  EXPECT_EQ(std::vector<std::uint8_t>(key.blob.begin() + kKeyBlobSecretOffset, key.blob.end()),
            std::vector<std::uint8_t>(kKeyBlobKeySize, 0));

  QvMasterKey aliceKey, bobKey;
  EXPECT_EQ(store_.UnlockMasterKey("alice", "wrong pw", &aliceKey), QvStoreStatus::WrongPassword);
  EXPECT_EQ(store_.UnlockMasterKey("alice", "", &aliceKey), QvStoreStatus::WrongPassword);
  EXPECT_EQ(store_.UnlockMasterKey("carol", "right pw", &aliceKey), QvStoreStatus::NotFound);
  ASSERT_EQ(store_.UnlockMasterKey("alice", "right pw", &aliceKey), QvStoreStatus::Ok);
  ASSERT_EQ(store_.UnlockMasterKey("bob", "bobs pw", &bobKey), QvStoreStatus::Ok);
  ASSERT_EQ(store_.ReadKey("alice", "", &aliceKey, &key), QvStoreStatus::Ok);
  EXPECT_EQ(key.blob, original.blob);
  // Another user's master key does not open the secret: the store says so, and hands out
  // nothing.
  EXPECT_EQ(store_.ReadKey("alice", "", &bobKey, &key), QvStoreStatus::Damaged);
}

TEST_F(UserStoreTest, KeysDefaultsAndShareKeys) {
  const QvKey first = EnrollWithKey("alice", "pw");
  // Any key, the public half alone too, and any change of the default need the master key.
  const QvKey second = MakeKey("second", false);
  EXPECT_EQ(store_.StoreKey("alice", MakeKey("second"), nullptr), QvStoreStatus::NotVerified);
  EXPECT_EQ(store_.StoreKey("alice", second, nullptr), QvStoreStatus::NotVerified);
  EXPECT_EQ(store_.SetDefaultKey("alice", "alice", nullptr), QvStoreStatus::NotVerified);
  QvMasterKey masterKey;
  ASSERT_EQ(store_.UnlockMasterKey("alice", "pw", &masterKey), QvStoreStatus::Ok);
  ASSERT_EQ(store_.StoreKey("alice", second, &masterKey), QvStoreStatus::Ok);
  EXPECT_EQ(store_.StoreKey("alice", MakeKey("SECOND", false), &masterKey), QvStoreStatus::Exists);
  const QvKey third = MakeKey("third");
  ASSERT_EQ(store_.StoreKey("alice", third, &masterKey), QvStoreStatus::Ok);
  QvKey bad = MakeKey("fourth");
  bad.type = 3;
  EXPECT_EQ(store_.StoreKey("alice", bad, &masterKey), QvStoreStatus::InvalidArgument);
  EXPECT_EQ(store_.StoreKey("nobody", MakeKey("x", false), &masterKey), QvStoreStatus::NotFound);

  // The share key is the public half of the default key, and follows the default.
  std::vector<std::uint8_t> share;
  ASSERT_EQ(store_.ReadShareKey("alice", &share), QvStoreStatus::Ok);
  EXPECT_EQ(share, PublicOf(first.blob));
  ASSERT_EQ(store_.SetDefaultKey("alice", "THIRD", &masterKey), QvStoreStatus::Ok);
  ASSERT_EQ(store_.ReadShareKey("alice", &share), QvStoreStatus::Ok);
  EXPECT_EQ(share, PublicOf(third.blob));
  EXPECT_EQ(store_.SetDefaultKey("alice", "missing", &masterKey), QvStoreStatus::NotFound);

  // Names the extension uses for a key: empty (the default), the user id (the default unless a
  // key has that name), the owner identity "{name}", and the name itself.
  struct Case {
    const char* name;
    const QvKey* expected;
  } cases[] = {{"", &third},         {"alice", &first},     {"ALICE", &first},
               {"{alice}", &first},  {"second", &second},   {"{third}", &third},
               {"missing", nullptr}, {"{missing}", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QvKey key;
    const QvStoreStatus status = store_.ReadKey("alice", c.name, &masterKey, &key);
    if (c.expected == nullptr) {
      EXPECT_EQ(status, QvStoreStatus::NotFound);
      continue;
    }
    ASSERT_EQ(status, QvStoreStatus::Ok);
    EXPECT_EQ(key.name, c.expected->name);
    // A key stored without its secret stays public even with the master key.
    EXPECT_EQ(key.blob, c.expected == &second ? PublicOf(second.blob) : c.expected->blob);
    EXPECT_EQ(key.isDefault, c.expected == &third);
  }
  std::vector<QvKey> keys;
  ASSERT_EQ(store_.ListKeys("alice", &keys), QvStoreStatus::Ok);
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_TRUE(keys[0].hasStoredSecret);
  EXPECT_FALSE(keys[1].hasStoredSecret);
  for (const QvKey& key : keys) EXPECT_EQ(key.blob, PublicOf(key.blob));
}

TEST_F(UserStoreTest, UserWithoutPasswordHoldsOnlyPublicKeys) {
  ASSERT_EQ(store_.Enroll(MakeUser("carol", "carol"), std::nullopt, nullptr), QvStoreStatus::Ok);
  QvUserInfo info;
  ASSERT_EQ(store_.FindUserById("carol", &info), QvStoreStatus::Ok);
  EXPECT_FALSE(info.hasPassword);
  EXPECT_TRUE(info.defaultKey.empty());
  QvMasterKey masterKey;
  EXPECT_EQ(store_.UnlockMasterKey("carol", "anything", &masterKey), QvStoreStatus::NoPassword);
  QvKey key;
  EXPECT_EQ(store_.ReadKey("carol", "", nullptr, &key), QvStoreStatus::NotFound);
  std::vector<std::uint8_t> share;
  EXPECT_EQ(store_.ReadShareKey("carol", &share), QvStoreStatus::NotFound);
  // Nobody can verify as carol, so her keys stay as enrolled.
  EXPECT_EQ(store_.StoreKey("carol", MakeKey("carol", false), nullptr), QvStoreStatus::NotVerified);
  EXPECT_EQ(store_.ReadShareKey("carol", &share), QvStoreStatus::NotFound);
}

TEST_F(UserStoreTest, SettingsBelongToOneUser) {
  EnrollWithKey("alice", "pw");
  EnrollWithKey("bob", "pw");
  const auto alice = UnlockedMasterKey(store_, "alice", "pw");
  const auto bob = UnlockedMasterKey(store_, "bob", "pw");
  ASSERT_TRUE(alice && bob);
  std::string value;
  EXPECT_EQ(store_.ReadSetting("alice", 5, 13, nullptr, &value), QvStoreStatus::NotFound);
  EXPECT_EQ(store_.WriteSetting("alice", 5, 13, "1", nullptr), QvStoreStatus::NotVerified);
  EXPECT_EQ(store_.WriteSetting("alice", 5, 13, "1", bob.get()), QvStoreStatus::Damaged);
  ASSERT_EQ(store_.WriteSetting("alice", 5, 24, "bob:carol:", alice.get()), QvStoreStatus::Ok);
  ASSERT_EQ(store_.WriteSetting("ALICE", 5, 13, "1", alice.get()), QvStoreStatus::Ok);
  ASSERT_EQ(store_.WriteSetting("alice", 5, 13, "0", alice.get()), QvStoreStatus::Ok);
  ASSERT_EQ(store_.WriteSetting("bob", 5, 13, "", bob.get()), QvStoreStatus::Ok);
  ASSERT_EQ(store_.ReadSetting("alice", 5, 13, alice.get(), &value), QvStoreStatus::Ok);
  EXPECT_EQ(value, "0");
  ASSERT_EQ(store_.ReadSetting("alice", 5, 24, nullptr, &value), QvStoreStatus::Ok);
  EXPECT_EQ(value, "bob:carol:");
  ASSERT_EQ(store_.ReadSetting("bob", 5, 13, bob.get(), &value), QvStoreStatus::Ok);
  EXPECT_EQ(value, "");
  EXPECT_EQ(store_.ReadSetting("bob", 5, 24, bob.get(), &value), QvStoreStatus::NotFound);
  EXPECT_EQ(store_.WriteSetting("nobody", 5, 13, "1", alice.get()), QvStoreStatus::NotFound);
  EXPECT_EQ(store_.WriteSetting("alice", 5, 14, std::string("a\0b", 3), alice.get()),
            QvStoreStatus::InvalidArgument);
}

TEST_F(UserStoreTest, RemovingAUserTakesKeysAndSettingsButKeepsAudit) {
  EnrollWithKey("alice", "pw");
  ASSERT_EQ(
      store_.WriteSetting("alice", 5, 13, "1", UnlockedMasterKey(store_, "alice", "pw").get()),
      QvStoreStatus::Ok);
  const QvAuditEntry entry{.userId = "alice",
                           .path = "/home/alice/a.txt",
                           .result = kAuditResultSuccess,
                           .eventType = 6,
                           .time = 1700000000};
  ASSERT_EQ(store_.AddAudit(entry), QvStoreStatus::Ok);

  ASSERT_EQ(store_.RemoveUser("ALICE"), QvStoreStatus::Ok);
  EXPECT_EQ(store_.RemoveUser("alice"), QvStoreStatus::NotFound);
  QvUserInfo info;
  EXPECT_EQ(store_.FindUserByName(".\\alice", &info), QvStoreStatus::NotFound);
  std::vector<std::uint8_t> share;
  EXPECT_EQ(store_.ReadShareKey("alice", &share), QvStoreStatus::NotFound);
  // Enrolling the id again starts empty: no old key, no old setting.
  ASSERT_EQ(store_.Enroll(MakeUser("alice", ".\\alice"), "new pw", nullptr), QvStoreStatus::Ok);
  std::string value;
  EXPECT_EQ(store_.ReadSetting("alice", 5, 13, nullptr, &value), QvStoreStatus::NotFound);
  std::vector<QvKey> keys;
  ASSERT_EQ(store_.ListKeys("alice", &keys), QvStoreStatus::Ok);
  EXPECT_TRUE(keys.empty());
  std::vector<QvAuditEntry> entries;
  ASSERT_EQ(store_.QueryAudit({}, &entries), QvStoreStatus::Ok);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, entry.path);
}

TEST_F(UserStoreTest, AuditQueriesFilterAndListNewestFirst) {
  struct Row {
    const char* user;
    DWORD event;
    std::int64_t time;
  } rows[] = {{"alice", 6, 100}, {"bob", 7, 200},   {"alice", 7, 300},
              {"alice", 7, 300}, {"alice", 8, 400}, {"bob", 6, 50}};
  int index = 0;
  for (const Row& row : rows) {
    ++index;
    ASSERT_EQ(store_.AddAudit({.userId = row.user,
                               .machine = "M0123456789",
                               .path = "/data/file" + std::to_string(index - 1),
                               .result = index % 2 == 0 ? kAuditResultSuccess : kAuditResultFailure,
                               .eventType = row.event,
                               .time = row.time}),
              QvStoreStatus::Ok);
  }
  QvAuditEntry tooLong;
  tooLong.path.assign(kAuditPathSize, 'p');
  EXPECT_EQ(store_.AddAudit(tooLong), QvStoreStatus::InvalidArgument);

  auto paths = [&](const QvAuditFilter& filter) {
    std::vector<QvAuditEntry> entries;
    EXPECT_EQ(store_.QueryAudit(filter, &entries), QvStoreStatus::Ok);
    std::string out;
    for (const QvAuditEntry& entry : entries) out += entry.path.substr(10) + " ";
    return out;
  };
  struct Case {
    QvAuditFilter filter;
    const char* expected;  // file numbers, newest first; equal times: later write first
  } cases[] = {
      {{}, "4 3 2 1 0 5 "},
      {{std::string("alice"), std::nullopt, std::nullopt, 0}, "4 3 2 0 "},
      {{std::nullopt, 7u, std::nullopt, 0}, "3 2 1 "},
      {{std::string("alice"), 7u, std::nullopt, 1}, "3 "},
      {{std::nullopt, std::nullopt, std::int64_t{300}, 0}, "4 3 2 "},
      {{std::nullopt, std::nullopt, std::nullopt, 2}, "4 3 "},
      {{std::string("carol"), std::nullopt, std::nullopt, 0}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(paths(c.filter), c.expected);
}

// Audit records are committed one by one and synced in groups shortly after: another
// connection reads each at once, none stays off the disk, closing syncs what is left, and a
// forked child's records are its own to sync.
TEST_F(UserStoreTest, AuditRecordsAreReadableAtOnceAndReachTheDisk) {
  const auto add = [](QvUserStore& store, const std::string& path) {
    return store.AddAudit({.userId = "alice", .path = path}) == QvStoreStatus::Ok;
  };
  const auto countIn = [](QvUserStore& store) {
    std::vector<QvAuditEntry> entries;
    EXPECT_EQ(store.QueryAudit({}, &entries), QvStoreStatus::Ok);
    return entries.size();
  };
  const auto settles = [](QvUserStore& store) {
    for (int wait = 0; wait < 500 && store.AuditRecordsNotOnDisk() != 0; ++wait) usleep(10000);
    return store.AuditRecordsNotOnDisk() == 0;
  };
  QvUserStore reader;
  ASSERT_EQ(reader.Open(), QvStoreStatus::Ok);
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(add(store_, "r" + std::to_string(i)));
    ASSERT_EQ(countIn(reader), static_cast<size_t>(i + 1));
  }
  EXPECT_TRUE(settles(store_));

  ASSERT_TRUE(add(store_, "last"));
  store_.Close();
  EXPECT_EQ(store_.AuditRecordsNotOnDisk(), 0u);
  EXPECT_EQ(countIn(reader), 41u);

  // Both objects have a sync pending while the child starts: the child uses one as its own
  // and destroys the other unused.
  ASSERT_EQ(store_.Open(), QvStoreStatus::Ok);
  auto unused = std::make_unique<QvUserStore>();
  ASSERT_EQ(unused->Open(), QvStoreStatus::Ok);
  ASSERT_TRUE(add(store_, "parent") && add(*unused, "parent's other"));
  // Their threads, started now, only wait once their first syncs are done (a thread still
  // starting may hold the sanitizers' allocator lock, which a child would then wait for).
  ASSERT_TRUE(settles(store_) && settles(*unused));
  ASSERT_TRUE(add(store_, "parent again") && add(*unused, "parent's other again"));
  EXPECT_EQ(RunInChild([&] {
              alarm(30);  // waiting for the parent's thread would never end
              const bool used = add(store_, "child") && settles(store_) && countIn(store_) == 46;
              unused.reset();
              return used ? 0 : 1;
            }),
            0);
  EXPECT_TRUE(settles(store_) && settles(*unused));
  EXPECT_EQ(countIn(reader), 46u);

  // At once when asked, as the process's shared store is on its way out.
  ASSERT_TRUE(add(store_, "synced now"));
  store_.SyncAudit();
  EXPECT_EQ(store_.AuditRecordsNotOnDisk(), 0u);
  EXPECT_EQ(countIn(reader), 47u);
}

TEST_F(UserStoreTest, EditionAndModeWordPersist) {
  ASSERT_EQ(store_.SetEdition(EDITION_SENTIVO), QvStoreStatus::Ok);
  ASSERT_EQ(store_.SetModeWord(kModeKeyImported), QvStoreStatus::Ok);
  QvUserStore other;
  ASSERT_EQ(other.Open(), QvStoreStatus::Ok);
  DWORD edition = 0, mode = 0;
  ASSERT_EQ(other.GetEdition(&edition), QvStoreStatus::Ok);
  ASSERT_EQ(other.GetModeWord(&mode), QvStoreStatus::Ok);
  EXPECT_EQ(edition, EDITION_SENTIVO);
  EXPECT_EQ(mode, kModeKeyImported);
}

TEST_F(UserStoreTest, TwoProcessesWritingAtOnceBothSucceed) {
  EnrollWithKey("alice", "pw");
  const auto alice = UnlockedMasterKey(store_, "alice", "pw");
  ASSERT_NE(alice, nullptr);
  constexpr int kRows = 150;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child's own connection: a connection is never shared across fork.
    char byte = 0;
    int rc = read(go[0], &byte, 1) == 1 ? 0 : 90;
    QvUserStore store;
    if (rc == 0 && store.Open() != QvStoreStatus::Ok) rc = 91;
    for (int i = 0; rc == 0 && i < kRows; ++i) {
      if (store.AddAudit({.userId = "child", .path = "c" + std::to_string(i), .time = i}) !=
              QvStoreStatus::Ok ||
          store.WriteSetting("alice", 7, static_cast<DWORD>(i), "child", alice.get()) !=
              QvStoreStatus::Ok)
        rc = 92;
    }
    _exit(rc);
  }
  ASSERT_EQ(write(go[1], "g", 1), 1);
  for (int i = 0; i < kRows; ++i) {
    ASSERT_EQ(store_.AddAudit({.userId = "parent", .path = "p" + std::to_string(i), .time = i}),
              QvStoreStatus::Ok)
        << store_.LastError();
    ASSERT_EQ(store_.WriteSetting("alice", 8, static_cast<DWORD>(i), "parent", alice.get()),
              QvStoreStatus::Ok)
        << store_.LastError();
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(go[0]);
  close(go[1]);

  for (const char* user : {"parent", "child"}) {
    QvAuditFilter filter;
    filter.userId = user;
    std::vector<QvAuditEntry> entries;
    ASSERT_EQ(store_.QueryAudit(filter, &entries), QvStoreStatus::Ok);
    EXPECT_EQ(entries.size(), static_cast<size_t>(kRows)) << user;
  }
  std::string value;
  ASSERT_EQ(store_.ReadSetting("alice", 7, kRows - 1, alice.get(), &value), QvStoreStatus::Ok);
  EXPECT_EQ(value, "child");
  ASSERT_EQ(store_.ReadSetting("alice", 8, kRows - 1, alice.get(), &value), QvStoreStatus::Ok);
  EXPECT_EQ(value, "parent");
}

}  // namespace
