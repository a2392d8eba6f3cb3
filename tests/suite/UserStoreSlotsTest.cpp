// The user-data object as the extension drives it, through CUserData: identities and who
// frees their strings, settings, keys and share keys before any verification, audit records,
// the machine account, the key-registration step, and the edition read from the store.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>
#include <string>
#include <vector>

#include "suite/QvKeyBlob.h"
#include "suite/QvUserApi.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using namespace qvtest;

bool BlobHasSecret(const BYTE* blob, DWORD length) {
  bool hasSecret = false;
  return IsKeyBlob(blob, length, &hasSecret) && hasSecret;
}

class UserStoreSlotsTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    QvLogOff();
    ASSERT_EQ(store_.Open(), QvStoreStatus::Ok);
    aliceKey_.name = "alice";
    aliceKey_.label = "DefaultKey";
    aliceKey_.blob = NewKeyBlob(true);
    QvNewUser alice{"alice", ".\\alice", "Alice", QvAccountType::Computer};
    ASSERT_EQ(store_.Enroll(alice, "pw", &aliceKey_), QvStoreStatus::Ok);
    QvNewUser bob{"bob", "bob", "Bob", QvAccountType::Suite};
    ASSERT_EQ(store_.Enroll(bob, std::nullopt, nullptr), QvStoreStatus::Ok);
    ASSERT_EQ(GetUserDataPtr(&userData_), 0u);
    ASSERT_NE(userData_, nullptr);
    userData_->ModeWord = 0;
  }
  void TearDown() override { QvLogOff(); }

  QvUserStore store_;
  QvKey aliceKey_;
  CUserData* userData_ = nullptr;
};

TEST_F(UserStoreSlotsTest, CurrentUserIsTheLinuxAccount) {
  const QvAccount account = QvCurrentAccount();
  EXPECT_EQ(account.userName, ".\\" + account.login);
  UserIdentity identity{};
  EXPECT_FALSE(userData_->InitUserIdentity(&identity));
  ASSERT_NE(identity.userName, nullptr);
  EXPECT_STREQ(identity.userName, account.userName.c_str());
  ASSERT_NE(identity.userId, nullptr);
  EXPECT_STREQ(identity.userId, "");
  userData_->ReleaseUserIdentity(&identity);
  EXPECT_EQ(identity.userName, nullptr);

  QvNewUser me{"me", account.userName, account.displayName, QvAccountType::Computer};
  ASSERT_EQ(store_.Enroll(me, "pw", nullptr), QvStoreStatus::Ok);
  EXPECT_TRUE(userData_->InitUserIdentity(&identity));
  EXPECT_STREQ(identity.userId, "me");
  // Filling again replaces the strings it handed out before (no leak, no double free).
  EXPECT_TRUE(userData_->InitUserIdentity(&identity));
  userData_->ReleaseUserIdentity(&identity);
}

TEST_F(UserStoreSlotsTest, LookUpsFillIdentitiesAndNeverFreeTheCallersStrings) {
  // The extension puts its own text into the identity before slot 4; releasing the identity
  // afterwards must free only what the library put there.
  std::string callerId = "ALICE";
  UserIdentity identity{};
  identity.userId = callerId.data();
  ASSERT_TRUE(userData_->LookUpUserById(&identity, 0, 1));
  EXPECT_NE(identity.userId, callerId.data());
  EXPECT_STREQ(identity.userId, "alice");
  EXPECT_STREQ(identity.userName, ".\\alice");
  EXPECT_STREQ(identity.displayName, "Alice");
  userData_->ReleaseUserIdentity(&identity);
  EXPECT_EQ(callerId, "ALICE");

  std::string callerName = "caller's name";
  struct Case {
    const char* what;
    int slot;  // 8 or 9
    const char* name;
    const char* expectedId;
  } cases[] = {{"local account", 8, ".\\alice", "alice"},
               {"bare login", 8, "alice", "alice"},
               {"suite account", 8, "bob", "bob"},
               {"login in capitals", 8, "ALICE", "alice"},
               {"second form by id", 9, "bob", "bob"},
               {"second form by name", 9, ".\\alice", "alice"},
               {"unknown", 8, ".\\carol", nullptr},
               {"unknown id", 9, "carol", nullptr},
               // "mallory" is one user's id and another user's name: the second form, asked for an
               // id, finds the user with that id.
               {"id before name", 9, "mallory", "mallory"}};
  ASSERT_EQ(store_.Enroll({"eve", "mallory", "Eve", QvAccountType::Suite}, std::nullopt, nullptr),
            QvStoreStatus::Ok);
  ASSERT_EQ(
      store_.Enroll({"mallory", ".\\mallory", "Mallory", QvAccountType::Computer}, "m", nullptr),
      QvStoreStatus::Ok);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UserIdentity found{};
    found.userName = callerName.data();
    const BOOL ok = c.slot == 8 ? userData_->LookUpUserByName(c.name, &found, 1, 1, 1)
                                : userData_->LookUpUserByAccountName(c.name, &found, 1, 1);
    if (c.expectedId == nullptr) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(found.userName, callerName.data());
    } else {
      ASSERT_TRUE(ok);
      EXPECT_STREQ(found.userId, c.expectedId);
    }
    userData_->ReleaseUserIdentity(&found);
    EXPECT_EQ(callerName, "caller's name");
  }
  UserIdentity unknown{};
  unknown.userId = callerId.data();
  callerId = "nobody";
  EXPECT_FALSE(userData_->LookUpUserById(&unknown, 0, 1));
  EXPECT_EQ(unknown.userId, callerId.data());
}

TEST_F(UserStoreSlotsTest, SettingsRoundTripThroughTheSlots) {
  std::string delegates = "bob:carol:";
  SettingRecord record{};
  userData_->InitSettingRecord(&record);
  record.category = kSettingCategoryUser;
  record.id = kSettingDelegateUsers;
  record.value = delegates.data();
  // Only alice's own verified session changes her settings.
  EXPECT_FALSE(userData_->WriteSetting("alice", &record, 0));
  ASSERT_EQ(QvLogOnUser("alice", "pw"), QvLogOnResult::Passed);
  ASSERT_TRUE(userData_->WriteSetting("alice", &record, 0));
  userData_->ReleaseSettingRecord(&record);
  EXPECT_EQ(delegates, "bob:carol:");

  // Read by user id and by the owner text of an item (how the sharing check names the owner).
  for (const char* who : {"alice", "{alice}alice.qvkey"}) {
    SCOPED_TRACE(who);
    SettingRecord read{};
    userData_->InitSettingRecord(&read);
    read.category = kSettingCategoryUser;
    read.id = kSettingDelegateUsers;
    ASSERT_TRUE(userData_->ReadSetting(who, &read, 0));
    EXPECT_STREQ(read.value, "bob:carol:");
    userData_->ReleaseSettingRecord(&read);
    EXPECT_EQ(read.value, nullptr);
  }
  SettingRecord missing{};
  userData_->InitSettingRecord(&missing);
  missing.category = kSettingCategoryUser;
  missing.id = kSettingBackupWarningSuppressed;
  EXPECT_FALSE(userData_->ReadSetting("alice", &missing, 0));
  EXPECT_EQ(missing.value, nullptr);
  EXPECT_FALSE(userData_->ReadSetting("nobody", &missing, 0));
  EXPECT_FALSE(userData_->WriteSetting("nobody", &missing, 0));
  EXPECT_FALSE(userData_->ReadSetting(nullptr, &missing, 0));
}

TEST_F(UserStoreSlotsTest, KeysAndShareKeysBeforeVerificationAreOnlyPublic) {
  const auto isAlicesPublicKey = [&](const std::uint8_t* blob, DWORD length) {
    EXPECT_EQ(length, kKeyBlobSize);
    EXPECT_FALSE(BlobHasSecret(blob, length));
    return length == kKeyBlobSize &&
           std::memcmp(blob + kKeyBlobPublicOffset, aliceKey_.blob.data() + kKeyBlobPublicOffset,
                       kKeyBlobKeySize) == 0;
  };
  ShareKeyRecord share{};
  userData_->InitShareKeyRecord(&share);
  EXPECT_EQ(share.type, kKeyTypeUser);
  ASSERT_TRUE(userData_->ReadShareKey("alice", &share, 0));
  EXPECT_TRUE(isAlicesPublicKey(share.blob, share.blobLength));
  userData_->ReleaseShareKeyRecord(&share);
  EXPECT_EQ(share.blob, nullptr);
  userData_->InitShareKeyRecord(&share);
  EXPECT_FALSE(userData_->ReadShareKey("bob", &share, 0));
  share.type = 0;
  EXPECT_FALSE(userData_->ReadShareKey("alice", &share, 0));
  userData_->ReleaseShareKeyRecord(&share);

  KeyRecord record{};
  userData_->InitKeyRecord(&record);
  EXPECT_EQ(record.type, kKeyTypeUser);
  ASSERT_TRUE(userData_->ReadKey("alice", &record, 0));
  EXPECT_STREQ(record.keyName, "alice");
  EXPECT_STREQ(record.keyLabel, "DefaultKey");
  EXPECT_TRUE(isAlicesPublicKey(record.blob, record.blobLength));
  userData_->ReleaseKeyRecord(&record);

  // Nothing is stored for a user who is not verified here, not even a public key, and the
  // default stays; in the user's session both work.
  const std::string guid = "{0A1B2C3D-1111-4222-8333-444455556666}";
  std::vector<std::uint8_t> secretBlob = NewKeyBlob(true);
  std::vector<std::uint8_t> publicBlob = NewKeyBlob(false);
  std::string label = "DefaultKey";
  KeyRecord store{};
  userData_->InitKeyRecord(&store);
  store.keyName = const_cast<char*>(guid.c_str());
  store.keyLabel = label.data();
  store.blob = secretBlob.data();
  store.blobLength = kKeyBlobSize;
  EXPECT_FALSE(userData_->StoreKey("alice", &store, 0));
  store.blob = publicBlob.data();
  EXPECT_FALSE(userData_->StoreKey("alice", &store, 0));
  const std::string aliceKeyName = "alice";
  store.keyName = const_cast<char*>(aliceKeyName.c_str());
  EXPECT_FALSE(userData_->MakeDefaultKey("alice", &store));
  store.keyName = const_cast<char*>(guid.c_str());
  ASSERT_EQ(QvLogOnUser("alice", "pw"), QvLogOnResult::Passed);
  ASSERT_TRUE(userData_->StoreKey("alice", &store, 0));
  ASSERT_TRUE(userData_->MakeDefaultKey("alice", &store));
  QvLogOff();
  store.type = 3;
  EXPECT_FALSE(userData_->StoreKey("bob", &store, 0));
  userData_->ReleaseKeyRecord(&store);
  EXPECT_EQ(publicBlob.size(), kKeyBlobSize);  // the caller's blob was not freed

  struct Case {
    const char* name;  // null: the default
    const char* expected;
  } cases[] = {{nullptr, "{0A1B2C3D-1111-4222-8333-444455556666}"},
               {"alice", "alice"},
               {"{alice}", "alice"},
               {"{0A1B2C3D-1111-4222-8333-444455556666}", "{0A1B2C3D-1111-4222-8333-444455556666}"},
               {"{missing}", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name != nullptr ? c.name : "(default)");
    std::string name = c.name != nullptr ? c.name : "";
    KeyRecord read{};
    userData_->InitKeyRecord(&read);
    if (c.name != nullptr) read.keyName = name.data();
    const BOOL found = userData_->ReadKey("alice", &read, 0);
    if (c.expected == nullptr) {
      EXPECT_FALSE(found);
      EXPECT_EQ(read.keyName, name.data());
    } else {
      ASSERT_TRUE(found);
      EXPECT_STREQ(read.keyName, c.expected);
    }
    userData_->ReleaseKeyRecord(&read);
  }
  KeyRecord wrongType{};
  userData_->InitKeyRecord(&wrongType);
  wrongType.type = 1;
  EXPECT_FALSE(userData_->ReadKey("alice", &wrongType, 0));
  userData_->InitKeyRecord(&record);
  EXPECT_FALSE(userData_->ReadKey("bob", &record, 0));  // bob has no key
}

TEST_F(UserStoreSlotsTest, AuditRecordsTakeBoundedFieldsAndTheMachineIdentity) {
  MachineInfo info{};
  std::memcpy(info.id, "M0123456789", 11);
  SetMachineInfo(info);

  AuditRecord record;
  userData_->InitAuditRecord(&record);
  EXPECT_EQ(record.path[0], '\0');
  // A path filling the whole field without a terminator is cut, never read past its end.
  std::memset(record.path, 'p', sizeof record.path);
  record.result = kAuditResultFailure;
  record.eventType = 7;
  record.time = 1700000123;
  ASSERT_TRUE(userData_->WriteAuditRecord("alice", &record));
  std::memset(record.machine, 'm', sizeof record.machine);
  std::strcpy(record.path, "/home/alice/b.txt");
  ASSERT_TRUE(userData_->WriteAuditRecord("alice", &record));
  userData_->ReleaseAuditRecord(&record);

  std::vector<QvAuditEntry> entries;
  ASSERT_EQ(store_.QueryAudit({}, &entries), QvStoreStatus::Ok);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].machine, std::string(11, 'm'));
  EXPECT_EQ(entries[0].path, "/home/alice/b.txt");
  EXPECT_EQ(entries[1].machine, "M0123456789");
  EXPECT_EQ(entries[1].path, std::string(kAuditPathSize - 1, 'p'));
  EXPECT_EQ(entries[1].userId, "alice");
  EXPECT_EQ(entries[1].result, kAuditResultFailure);
  EXPECT_EQ(entries[1].eventType, 7u);
  EXPECT_EQ(entries[1].time, 1700000123);
}

TEST_F(UserStoreSlotsTest, MachineAccountNameFindsTheMachineUser) {
  char name[kMachineNameSize];
  ASSERT_TRUE(userData_->GetMachineAccountName(name, ""));
  EXPECT_EQ(std::string(name), QvHostName() + "$");
  UserIdentity identity{};
  ASSERT_TRUE(userData_->LookUpUserByName(name, &identity, 1, 1, 1));
  QvUserInfo machine;
  ASSERT_EQ(store_.MachineAccount(&machine), QvStoreStatus::Ok);
  EXPECT_EQ(identity.userId, machine.userId);
  userData_->ReleaseUserIdentity(&identity);
}

TEST_F(UserStoreSlotsTest, RegisteringANewKeyNeedsKeyModeAndADefault) {
  UserIdentity alice{};
  std::string id = "alice";
  alice.userId = id.data();
  EXPECT_TRUE(userData_->RegisterNewKey(&alice, 0, 0));  // not in key-operation mode
  userData_->ModeWord = kModeKeyOperation;
  EXPECT_FALSE(userData_->RegisterNewKey(&alice, 0, 0));
  std::string bobId = "bob";
  UserIdentity bob{};
  bob.userId = bobId.data();
  EXPECT_TRUE(userData_->RegisterNewKey(&bob, 0, 0));  // bob has no key to be the default
  userData_->ModeWord = 0;
}

TEST_F(UserStoreSlotsTest, EditionComesFromTheStore) {
  for (const DWORD edition : {EDITION_SENTIVO, kEditionStandard, EDITION_SENTIVO}) {
    ASSERT_EQ(store_.SetEdition(edition), QvStoreStatus::Ok);
    CUserData* again = nullptr;
    ASSERT_EQ(GetUserDataPtr(&again), 0u);
    EXPECT_EQ(again, userData_);
    EXPECT_EQ(userData_->EditionCode, edition);
  }
}

TEST_F(UserStoreSlotsTest, WithoutTheAuthenticationDriverNothingIsAsked) {
  UserIdentity alice{};
  std::string id = "alice";
  alice.userId = id.data();
  DWORD word = 99;
  EXPECT_EQ(userData_->VerifyUser(&alice, 3, "Title", "Prompt", &word), kVerifyDevicesMissing);
  EXPECT_EQ(word, kVerifyOutNoInput);
  EXPECT_EQ(userData_->LogOnAndVerifyUser(&alice, 3, "Title", "Prompt", nullptr),
            kVerifyDevicesMissing);
  EXPECT_FALSE(userData_->IsUserLoggedOn(&alice));
}

}  // namespace
