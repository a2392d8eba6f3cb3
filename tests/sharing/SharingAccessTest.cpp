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
#include "tests/sharing/SharingFixture.h"
#include "tests/suite/QvfTestSupport.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using qvtest::User;
using sharing_test::kCsp;

class SharingAccessTest : public sharing_test::SharingFixture {};

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
