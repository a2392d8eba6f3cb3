// The sharing rules as a user meets them, through the progress dialog: the owner's delegate
// list at encryption decides who is added to the new file or container, and at decryption
// whether someone the item is shared with (but who is not its owner) may decrypt it; the
// owner always may. carol has a key of her own and is verified in this process too.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/ItemStatus.h"
#include "container/FolderContainer.h"
#include "suite/QvUserApi.h"
#include "tests/engine/ProgressDialogFixture.h"
#include "tests/suite/QvfTestSupport.h"

namespace {

using namespace engine_test;
using Names = std::vector<std::string>;

std::string StatusText(ItemStatus status) { return Text(MessageIdForStatus(status)); }

class AccessRulesTest : public ProgressDialogFixture {
 protected:
  void SetUp() override {
    ProgressDialogFixture::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(qvtest::EnrollWithKey({"carol", ".\\carol", "Carol", QvAccountType::Computer}, "pw3"),
              QvStoreStatus::Ok);
    LogOn("alice");
  }
  // The verified user of this process (the one whose key the operation uses).
  static void LogOn(const std::string& user) {
    ASSERT_EQ(QvLogOnUser(user.c_str(), user == "carol" ? "pw3" : "pw"), QvLogOnResult::Passed);
  }
  Outcome RunAs(const std::string& user, const std::string& item, bool encrypt) {
    LogOn(user);
    return RunDialog({item}, encrypt, user);
  }
  static void SetDelegates(const std::string& owner, const std::string& list) {
    QvUserStore* store = QvSharedUserStore();
    ASSERT_NE(store, nullptr);
    // As the owner's verified session would.
    const auto masterKey =
        qvtest::UnlockedMasterKey(*store, owner, owner == "carol" ? "pw3" : "pw");
    ASSERT_EQ(store->WriteSetting(owner, kSettingCategoryUser, kSettingDelegateUsers, list,
                                  masterKey.get()),
              QvStoreStatus::Ok);
  }
  // The users a container's protection record lists.
  static Names ContainerUsers(const std::string& path) {
    FolderContainer container;
    char csp[1024] = {};
    BYTE* header = nullptr;
    DWORD size = 0;
    EXPECT_EQ(container.OpenContainer(path, csp, &header, &size, FALSE), 1);
    container.Close();
    std::vector<BYTE> list(1 << 16);
    DWORD listSize = static_cast<DWORD>(list.size());
    EXPECT_EQ(QVFSFolderGetUserList(header, size, list.data(), &listSize), 0u);
    std::free(header);
    return qvtest::NamesOf(qvtest::ParseList(list.data(), listSize));
  }
  // Decrypts `item` as `user`, expecting a refusal for want of authorization: one row, the
  // item untouched, nothing restored at `restored`.
  void ExpectRefused(const std::string& item, const std::string& user,
                     const std::string& restored) {
    SCOPED_TRACE(user + " decrypting " + item);
    const std::string before = ReadBytes(item);
    ui_.PressButton(IDD_PROGRESS, IDCANCEL);  // OK under the rows
    const Outcome run = RunAs(user, item, false);
    EXPECT_EQ(run.result, IDCANCEL);
    ASSERT_EQ(run.rows.size(), 1u) << run.Statuses();
    EXPECT_EQ(run.rows[0][1], StatusText(StatusNotAuthorized));
    EXPECT_TRUE(ReadBytes(item) == before);
    EXPECT_FALSE(Present(restored));
  }
};

TEST_F(AccessRulesTest, AFileOpensToItsOwnerAndToTheDelegatesHerListNamesNow) {
  SetDelegates("alice", "carol:");
  const std::string qvf = Encrypted("plan.txt", "the plan");
  EXPECT_EQ(qvtest::FileUsers(qvf), (Names{"alice", "carol"})) << "added at encryption";

  // carol can open the file, but the owner no longer names her: the dialog refuses.
  SetDelegates("alice", "bob:");
  ExpectRefused(qvf, "carol", P("plan.txt"));

  // Named again, she decrypts it; the owner needs no list at all.
  SetDelegates("alice", "carol:");
  ASSERT_EQ(RunAs("carol", qvf, false).result, IDOK);
  EXPECT_EQ(ReadBytes(P("plan.txt")), "the plan");
  SetDelegates("alice", "");
  LogOn("alice");
  const std::string own = Encrypted("own.txt", "hers");
  EXPECT_EQ(qvtest::FileUsers(own), Names{"alice"});
  ASSERT_EQ(RunAs("alice", own, false).result, IDOK);
  EXPECT_EQ(ReadBytes(P("own.txt")), "hers");
}

TEST_F(AccessRulesTest, AContainerOpensToItsOwnerAndToTheDelegatesHerListNamesNow) {
  SetDelegates("alice", "carol:");
  fs::create_directories(P("box/sub"));
  WriteBytes(P("box/sub/a.txt"), "in the box");
  ASSERT_EQ(RunDialog({P("box")}, true).result, IDOK);
  const std::string container = P("box.qvef");
  EXPECT_EQ(ContainerUsers(container), (Names{"alice", "carol"})) << "added at encryption";

  SetDelegates("alice", "");
  ExpectRefused(container, "carol", P("box"));
  SetDelegates("alice", "carol:");
  ASSERT_EQ(RunAs("carol", container, false).result, IDOK);
  EXPECT_EQ(ReadBytes(P("box/sub/a.txt")), "in the box");

  // Encrypted again by its owner with an empty list, only she is on it, and she opens it.
  SetDelegates("alice", "");
  ASSERT_EQ(RunAs("alice", P("box"), true).result, IDOK);
  EXPECT_EQ(ContainerUsers(container), Names{"alice"});
  ASSERT_EQ(RunAs("alice", container, false).result, IDOK);
  EXPECT_EQ(ReadBytes(P("box/sub/a.txt")), "in the box");
}

// A user the container is shared with adds files to it: the library takes new files only under
// an owner it can confirm, and for carol that is alice's key as carol's user data knows it.
TEST_F(AccessRulesTest, AUserAContainerIsSharedWithAddsFilesItsOwnerThenReads) {
  SetDelegates("alice", "carol:");
  fs::create_directories(P("box"));
  WriteBytes(P("box/first.txt"), "alice's");
  ASSERT_EQ(RunDialog({P("box")}, true).result, IDOK);

  LogOn("carol");
  WriteBytes(P("from-carol.txt"), "carol's");
  EXPECT_EQ(RunDrop({P("from-carol.txt")}, P("box.qvef"), "carol").result, IDOK);
  EXPECT_FALSE(Present(P("from-carol.txt"))) << "moved into the container";

  ASSERT_EQ(RunAs("alice", P("box.qvef"), false).result, IDOK);
  EXPECT_EQ(ReadBytes(P("box/from-carol.txt")), "carol's");
  EXPECT_EQ(ReadBytes(P("box/first.txt")), "alice's");
}

}  // namespace
