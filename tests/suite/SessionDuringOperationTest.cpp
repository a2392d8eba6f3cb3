// The verified user's session against the operations of the extension: a time-out that passes
// while an operation runs, through the progress dialog and the folder engine with the real
// user-data object.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "container/FolderContainer.h"
#include "engine/FolderEngine.h"
#include "platform/Kernel.h"
#include "tests/engine/ProgressDialogFixture.h"
#include "tests/suite/QvfTestSupport.h"

namespace {

using namespace engine_test;

class SessionDuringOperationTest : public ProgressDialogFixture {
 protected:
  void SetUp() override {
    ProgressDialogFixture::SetUp();
    store_ = QvSharedUserStore();
    ASSERT_NE(store_, nullptr);
    ASSERT_EQ(GetUserDataPtr(&userData_), 0u);
    // Bob can be shared with: he has a public key.
    ASSERT_EQ(
        store_->StoreKey(
            "bob", {"bob", "DefaultKey", kKeyTypeUser, qvtest::NewKeyBlob(false), false, false},
            qvtest::UnlockedMasterKey(*store_, "bob", "pw2").get()),
        QvStoreStatus::Ok);
    alice_ = qvtest::UnlockedMasterKey(*store_, "alice", "pw");
    ASSERT_EQ(store_->WriteSetting("alice", kSettingCategoryUser, kSettingDelegateUsers,
                                   "bob:", alice_.get()),
              QvStoreStatus::Ok);
  }
  void TearDown() override {
    FolderEngine::SetTestHook({});
    ProgressDialogFixture::TearDown();
  }

  static std::vector<std::string> ContainerUsers(const std::string& path) {
    FolderContainer container;
    char csp[1024] = {};
    BYTE* data = nullptr;
    DWORD size = 0;
    EXPECT_EQ(container.OpenContainer(path, csp, &data, &size, FALSE), 1);
    std::vector<BYTE> header;
    if (data != nullptr) header.assign(data, data + size);
    std::free(data);
    container.Close();
    std::vector<BYTE> buffer(1 << 16);
    DWORD used = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(QVFSFolderGetUserList(header.data(), static_cast<DWORD>(header.size()), buffer.data(),
                                    &used),
              0u);
    return qvtest::NamesOf(qvtest::ParseList(buffer.data(), used));
  }

  bool AliceLoggedOn() {
    std::string id = "alice";
    UserIdentity identity{};
    identity.userId = id.data();
    return userData_->IsUserLoggedOn(&identity) != FALSE;
  }

  QvUserStore* store_ = nullptr;
  std::unique_ptr<QvMasterKey> alice_;
  CUserData* userData_ = nullptr;
};

TEST_F(SessionDuringOperationTest, TimeOutPassingDuringAFolderEncryptionKeepsTheOwnersKeys) {
  // A short time-out, taken at the log-on; it passes while the walk goes through the folder.
  constexpr DWORD kTimeOut = 1500;
  ASSERT_EQ(store_->SetSessionTimeout("alice", kTimeOut, alice_.get()), QvStoreStatus::Ok);
  ASSERT_EQ(QvLogOnUser("alice", "pw"), QvLogOnResult::Passed);
  fs::create_directories(P("docs/inner"));
  WriteBytes(P("docs/a.txt"), "first");
  WriteBytes(P("docs/inner/b.txt"), "second");
  bool waited = false;
  FolderEngine::SetTestHook([&](FolderEngine::TestPoint point, const std::string&) {
    if (point != FolderEngine::TestPoint::FolderListed || waited) return;
    waited = true;
    Sleep(kTimeOut + 200);
  });

  const Outcome run = RunDialog({P("docs")}, true);
  EXPECT_TRUE(waited);
  EXPECT_EQ(run.result, IDOK) << run.Statuses();
  ASSERT_TRUE(Present(P("docs.qvef")));
  // The owner's key was still hers when the delegate was added at the end.
  EXPECT_EQ(ContainerUsers(P("docs.qvef")), (std::vector<std::string>{"alice", "bob"}));

  // The operation over, the time-out ends the session: alice's keys are not found (no key
  // without its secret is handed out as hers), bob's public key still is.
  EXPECT_FALSE(AliceLoggedOn());
  KeyRecord key{};
  userData_->InitKeyRecord(&key);
  EXPECT_FALSE(userData_->ReadKey("alice", &key, 0));
  userData_->ReleaseKeyRecord(&key);
  ShareKeyRecord share{};
  userData_->InitShareKeyRecord(&share);
  EXPECT_FALSE(userData_->ReadShareKey("alice", &share, 0));
  EXPECT_TRUE(userData_->ReadShareKey("bob", &share, 0));
  userData_->ReleaseShareKeyRecord(&share);
}

}  // namespace
