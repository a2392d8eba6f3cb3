// The sharing rules on real items: files and containers encrypted by the suite library for
// users enrolled in a real store. alice owns the items and is verified in this process; bob
// and carol have key pairs (their secrets stay with the test, as on their own machines); dave
// is enrolled without a key; ghost is not enrolled at all.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "container/FolderContainer.h"
#include "sharing/SharingAccess.h"
#include "suite/QvFsApi.h"
#include "suite/QvUserApi.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/QvfTestSupport.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using qvtest::User;

constexpr const char* kCsp = "Quorvin Test CSP";

class SharingAccessTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    QvApp().InitInstance();
    dir_ = root_.Sub("work");
    std::filesystem::create_directories(dir_);
    alice_ = User::Make("alice");
    bob_ = User::Make("bob");
    carol_ = User::Make("carol");
    ASSERT_EQ(QvUserStore().Open(), QvStoreStatus::Ok);  // the store an enrollment makes
    store_ = QvSharedUserStore();
    ASSERT_NE(store_, nullptr);
    ASSERT_EQ(Enroll("alice", "pw", alice_.blob), QvStoreStatus::Ok);
    ASSERT_EQ(Enroll("bob", "pw", bob_.PublicOnly()), QvStoreStatus::Ok);
    ASSERT_EQ(Enroll("carol", std::nullopt, carol_.PublicOnly()), QvStoreStatus::Ok);
    ASSERT_EQ(Enroll("dave", std::nullopt, {}), QvStoreStatus::Ok);
    StartServices(0);
  }
  void TearDown() override {
    QvLogOff();
    StopSuiteServices();
    QvApp().ExitInstance();
  }

  QvStoreStatus Enroll(const std::string& id, std::optional<std::string_view> password,
                       const std::vector<BYTE>& blob) {
    QvKey key;
    key.name = id;
    key.label = "DefaultKey";
    key.blob.assign(blob.begin(), blob.end());
    return store_->Enroll({id, id, id, QvAccountType::Suite}, password,
                          blob.empty() ? nullptr : &key);
  }
  // (Re)starts the services in `edition` with alice verified, as after the gate.
  void StartServices(DWORD edition) {
    QvLogOff();
    StopSuiteServices();
    store_ = QvSharedUserStore();
    ASSERT_NE(store_, nullptr);
    ASSERT_EQ(store_->SetEdition(edition), QvStoreStatus::Ok);
    ASSERT_EQ(StartSuiteServices(), 1);
    ASSERT_EQ(QvApp().userData->EditionCode, edition);
    ASSERT_EQ(QvLogOnUser("alice", "pw"), QvLogOnResult::Passed);
  }
  // As the user's own verified session would (alice and bob have the password "pw").
  void SetDelegates(const std::string& userId, const std::string& list) {
    std::unique_ptr<QvMasterKey>& masterKey = masterKeys_[userId];
    if (masterKey == nullptr) masterKey = qvtest::UnlockedMasterKey(*store_, userId, "pw");
    ASSERT_EQ(store_->WriteSetting(userId, kSettingCategoryUser, kSettingDelegateUsers, list,
                                   masterKey.get()),
              QvStoreStatus::Ok);
  }

  std::string EncryptedFile(const User& owner, const std::string& name) {
    const std::string path = dir_ + "/" + name;
    WriteTextFile(path, "the plain text of " + name);
    qvtest::Request request(owner, path, path + ".qvf");
    EXPECT_EQ(QVFSEncryptFile(request.get()), 0u);
    return path + ".qvf";
  }
  // A container holding only the protection record of a folder `owner` encrypted.
  std::string EncryptedFolder(const User& owner, const std::string& name) {
    BYTE credentials[kCredentialSizeSentivo] = {};
    DWORD credentialsLength = 0;
    EXPECT_TRUE(FillCredentialBlock(credentials, sizeof credentials, owner.name.c_str(),
                                    "DefaultKey", &credentialsLength));
    EncryptAlgoInfo algorithm{};
    algorithm.algorithmId = kDefaultAlgorithmId;
    std::vector<BYTE> header(kFolderHeaderCapacity);
    DWORD length = kFolderHeaderCapacity;
    DWORD handle = 0;
    EXPECT_EQ(QVFSInitFolderEncryption(&algorithm, owner.name.c_str(), owner.blob.data(),
                                       static_cast<DWORD>(owner.blob.size()), credentials,
                                       credentialsLength, header.data(), &length, &handle),
              0u);
    EXPECT_EQ(QVFSCloseHandle(handle), 0u);
    const std::string path = dir_ + "/" + name + ".qvef";
    FolderContainer container;
    char csp[1024] = {};
    std::snprintf(csp, sizeof csp, "%s", kCsp);
    BYTE* data = header.data();
    EXPECT_EQ(container.OpenContainer(path, csp, &data, &length, TRUE), 1);
    container.Close();
    return path;
  }
  struct Record {
    std::vector<BYTE> header;
    std::string csp;
  };
  static Record StoredRecord(const std::string& path) {
    FolderContainer container;
    char csp[1024] = {};
    BYTE* data = nullptr;
    DWORD size = 0;
    Record record;
    EXPECT_EQ(container.OpenContainer(path, csp, &data, &size, FALSE), 1);
    if (data != nullptr) record.header.assign(data, data + size);
    std::free(data);
    record.csp = csp;
    container.Close();
    return record;
  }
  static std::vector<std::string> FolderUsers(const std::vector<BYTE>& header) {
    std::vector<BYTE> buffer(1 << 16);
    DWORD size = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(QVFSFolderGetUserList(header.data(), static_cast<DWORD>(header.size()), buffer.data(),
                                    &size),
              0u);
    return qvtest::NamesOf(qvtest::ParseList(buffer.data(), size));
  }
  // Decrypts a file as `user` with the user's own key; 0 when the plain text comes back.
  DWORD DecryptAs(const User& user, const std::string& qvf) {
    const std::string folder = root_.Sub("out-" + user.name + std::to_string(outputs_++));
    std::filesystem::create_directories(folder);
    qvtest::Request request(user, qvf, folder);
    return QVFSDecryptFile(request.get());
  }
  static DWORD OpenFolderAs(const User& user, const std::vector<BYTE>& header) {
    BYTE credentials[kCredentialSizeSentivo] = {};
    DWORD credentialsLength = 0;
    EXPECT_TRUE(FillCredentialBlock(credentials, sizeof credentials, user.name.c_str(),
                                    "DefaultKey", &credentialsLength));
    DWORD handle = 0;
    const DWORD status = QVFSInitFolderDecryption(
        header.data(), static_cast<DWORD>(header.size()), user.name.c_str(), user.name.c_str(),
        user.blob.data(), static_cast<DWORD>(user.blob.size()), credentials, &credentialsLength,
        &handle);
    if (status == 0) {
      EXPECT_EQ(QVFSCloseHandle(handle), 0u);
    }
    return status;
  }

  std::string dir_;
  User alice_, bob_, carol_;
  QvUserStore* store_ = nullptr;
  std::map<std::string, std::unique_ptr<QvMasterKey>> masterKeys_;
  int outputs_ = 0;
};

using Names = std::vector<std::string>;

// Who may open alice's items under each shape of her delegate list.
struct AccessCase {
  const char* list;
  const char* user;
  DWORD expected;
};
constexpr AccessCase kAccessCases[] = {
    {"", "alice", kSharingAllowed},
    {"", "bob", kSharingRefused},
    {"bob:carol:", "alice", kSharingAllowed},
    {"bob:carol:", "bob", kSharingAllowed},
    {"bob:carol:", "carol", kSharingAllowed},
    {"bob:carol:", "dave", kSharingRefused},
    {"bob:carol:", "ghost", kSharingRefused},
    {"bob:carol:", "Bob", kSharingRefused},  // letter case counts
    {"bob:carol:", "bo", kSharingRefused},   // whole ids only
    {"bob:carol:", "bob:", kSharingRefused},
    {"bob:carol:", "", kSharingRefused},
    {"bob:carol", "bob", kSharingAllowed},  // no final colon: carol is no id
    {"bob:carol", "carol", kSharingRefused},
    {"bob::carol:", "bob", kSharingAllowed},  // reading stops at the empty id
    {"bob::carol:", "carol", kSharingRefused},
    {":bob:", "bob", kSharingRefused},
    {"bob", "bob", kSharingRefused},
    {" bob:", "bob", kSharingRefused},
    {"alice:", "bob", kSharingRefused},
};

TEST_F(SharingAccessTest, FilesOpenToTheOwnerAndHerDelegatesOnly) {
  const std::string qvf = EncryptedFile(alice_, "report.txt");
  for (const AccessCase& c : kAccessCases) {
    SCOPED_TRACE(testing::Message() << "list \"" << c.list << "\", user \"" << c.user << "\"");
    SetDelegates("alice", c.list);
    EXPECT_EQ(SharingAccessCheck(c.user, qvf), c.expected);
  }
  // Only the owner's list counts: bob's delegates are no delegates of alice's, and on bob's
  // file alice is just another user.
  SetDelegates("alice", "bob:");
  SetDelegates("bob", "carol:");
  EXPECT_EQ(SharingAccessCheck("carol", qvf), kSharingRefused);
  const std::string bobs = EncryptedFile(bob_, "bobs.txt");
  EXPECT_EQ(SharingAccessCheck("bob", bobs), kSharingAllowed);
  EXPECT_EQ(SharingAccessCheck("carol", bobs), kSharingAllowed);
  EXPECT_EQ(SharingAccessCheck("alice", bobs), kSharingRefused);
}

TEST_F(SharingAccessTest, ContainersFollowTheSameRules) {
  const std::string qvef = EncryptedFolder(alice_, "Projects");
  for (const AccessCase& c : kAccessCases) {
    SCOPED_TRACE(testing::Message() << "list \"" << c.list << "\", user \"" << c.user << "\"");
    SetDelegates("alice", c.list);
    EXPECT_EQ(SharingAccessCheck(c.user, qvef), c.expected);
  }
  const std::string bobs = EncryptedFolder(bob_, "Bobs");
  SetDelegates("alice", "carol:");
  EXPECT_EQ(SharingAccessCheck("bob", bobs), kSharingAllowed);
  EXPECT_EQ(SharingAccessCheck("carol", bobs), kSharingRefused);
  // The suffix is recognised in any letter case.
  const std::string upper = dir_ + "/Upper.QVEF";
  std::filesystem::rename(bobs, upper);
  EXPECT_EQ(SharingAccessCheck("carol", upper), kSharingRefused);
  EXPECT_EQ(SharingAccessCheck("bob", upper), kSharingAllowed);
}

TEST_F(SharingAccessTest, AContainerThatDoesNotOpenIsCancelledAndNeverCreated) {
  const std::string missing = dir_ + "/Missing.qvef";
  EXPECT_EQ(SharingAccessCheck("alice", missing), StatusCancelled);
  EXPECT_FALSE(std::filesystem::exists(missing));
  const std::string text = dir_ + "/Text.qvef";
  WriteTextFile(text, "not a container at all");
  EXPECT_EQ(SharingAccessCheck("alice", text), StatusCancelled);
  EXPECT_EQ(ReadTextFile(text), "not a container at all");

  SetDelegates("alice", "bob:");
  ApplyDelegateSharing("alice", missing);
  EXPECT_FALSE(std::filesystem::exists(missing));
  ApplyDelegateSharing("alice", text);
  EXPECT_EQ(ReadTextFile(text), "not a container at all");
}

TEST_F(SharingAccessTest, AnItemWithoutAReadableOwnerIsLeftToTheLibrary) {
  const std::string damaged = dir_ + "/damaged.txt.qvf";
  WriteTextFile(damaged, std::string(200, 'x'));
  EXPECT_EQ(SharingAccessCheck("bob", damaged), kSharingAllowed);
  // A header whose checksum no longer matches has no readable owner either.
  const std::string qvf = EncryptedFile(alice_, "cut.txt");
  std::string bytes = ReadTextFile(qvf);
  bytes[70] = static_cast<char>(bytes[70] ^ 1);
  WriteTextFile(qvf, bytes);
  EXPECT_EQ(SharingAccessCheck("bob", qvf), kSharingAllowed);
  EXPECT_NE(DecryptAs(bob_, qvf), 0u);
}

TEST_F(SharingAccessTest, TheSentivoEditionAllowsEveryoneWithoutLookingAtTheItem) {
  const std::string qvf = EncryptedFile(alice_, "report.txt");
  StartServices(EDITION_SENTIVO);
  EXPECT_EQ(SharingAccessCheck("bob", qvf), kSharingAllowed);
  EXPECT_EQ(SharingAccessCheck("ghost", dir_ + "/Missing.qvef"), kSharingAllowed);
  StartServices(0);
  EXPECT_EQ(SharingAccessCheck("bob", qvf), kSharingRefused);
}

TEST_F(SharingAccessTest, DelegatesAreAddedToANewFileAndCanOpenIt) {
  const std::string qvf = EncryptedFile(alice_, "report.txt");
  const std::string payloadBefore = ReadTextFile(qvf);
  ASSERT_NE(DecryptAs(bob_, qvf), 0u);
  // Unknown (ghost), keyless (dave) and unusable ids are skipped; carol after them is added.
  SetDelegates("alice", "bob:ghost:dave:no such user:carol:");
  ApplyDelegateSharing("alice", qvf);
  EXPECT_EQ(qvtest::FileUsers(qvf), (Names{"alice", "bob", "carol"}));
  EXPECT_EQ(DecryptAs(bob_, qvf), 0u);
  EXPECT_EQ(DecryptAs(carol_, qvf), 0u);
  EXPECT_EQ(DecryptAs(alice_, qvf), 0u);
  EXPECT_EQ(SharingAccessCheck("carol", qvf), kSharingAllowed);
  // Applying again adds nobody twice.
  const std::string once = ReadTextFile(qvf);
  ApplyDelegateSharing("alice", qvf);
  EXPECT_EQ(ReadTextFile(qvf), once);
  EXPECT_GT(once.size(), payloadBefore.size());
}

TEST_F(SharingAccessTest, TheListShapeDecidesWhoIsAdded) {
  const struct {
    const char* list;
    Names users;
  } cases[] = {
      {"", {"alice"}},
      {"bob:carol", {"alice", "bob"}},
      {"bob::carol:", {"alice", "bob"}},
      {":bob:carol:", {"alice"}},
      {"carol:bob:", {"alice", "carol", "bob"}},
      {"alice:carol:", {"alice", "carol"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "list \"" << c.list << "\"");
    const std::string qvf = EncryptedFile(alice_, "file" + std::to_string(n++) + ".txt");
    const std::string before = ReadTextFile(qvf);
    SetDelegates("alice", c.list);
    ApplyDelegateSharing("alice", qvf);
    EXPECT_EQ(qvtest::FileUsers(qvf), c.users);
    if (c.users.size() == 1) {
      EXPECT_EQ(ReadTextFile(qvf), before);
    }
  }
}

TEST_F(SharingAccessTest, AnOwnerWhoIsNotVerifiedAddsNobody) {
  const std::string qvf = EncryptedFile(alice_, "report.txt");
  const std::string qvef = EncryptedFolder(alice_, "Projects");
  const Record before = StoredRecord(qvef);
  SetDelegates("alice", "bob:carol:");
  QvLogOff();
  ApplyDelegateSharing("alice", qvf);
  ApplyDelegateSharing("alice", qvef);
  EXPECT_EQ(qvtest::FileUsers(qvf), (Names{"alice"}));
  EXPECT_EQ(StoredRecord(qvef).header, before.header);
  // bob encrypting with alice's list does not add alice's delegates either: the list read is
  // the acting user's, and bob has none.
  const std::string bobs = EncryptedFile(bob_, "bobs.txt");
  ApplyDelegateSharing("bob", bobs);
  EXPECT_EQ(qvtest::FileUsers(bobs), (Names{"bob"}));
}

TEST_F(SharingAccessTest, DelegatesAreAddedToAContainerBeyondItsFirstCapacity) {
  const std::string qvef = EncryptedFolder(alice_, "Projects");
  const Record before = StoredRecord(qvef);
  ASSERT_EQ(FolderUsers(before.header), (Names{"alice"}));
  EXPECT_NE(OpenFolderAs(bob_, before.header), 0u);

  // Enough delegates that the record outgrows one growth step several times over.
  std::string list = "bob:ghost:";
  Names expected{"alice", "bob"};
  for (int i = 0; i < 30; ++i) {
    const std::string id = "delegate" + std::to_string(i);
    ASSERT_EQ(Enroll(id, std::nullopt, User::Make(id).PublicOnly()), QvStoreStatus::Ok);
    list += id + ":";
    expected.push_back(id);
  }
  list += "dave:carol:";
  expected.push_back("carol");
  SetDelegates("alice", list);
  ApplyDelegateSharing("alice", qvef);

  const Record after = StoredRecord(qvef);
  EXPECT_EQ(FolderUsers(after.header), expected);
  EXPECT_GT(after.header.size(), before.header.size() + kFolderHeaderCapacity);
  EXPECT_EQ(after.csp, kCsp);
  EXPECT_EQ(OpenFolderAs(bob_, after.header), 0u);
  EXPECT_EQ(OpenFolderAs(carol_, after.header), 0u);
  EXPECT_EQ(OpenFolderAs(alice_, after.header), 0u);
  EXPECT_EQ(SharingAccessCheck("delegate7", qvef), kSharingAllowed);

  ApplyDelegateSharing("alice", qvef);
  EXPECT_EQ(StoredRecord(qvef).header, after.header);
}

}  // namespace
