// The sharing tests' machine: users enrolled in a real store in the test's own root, alice
// verified in this process and owning the items. alice and bob have the password "pw"; bob
// and carol have key pairs whose secrets stay with the test, as on their own machines; dave
// is enrolled without a key; ghost is not enrolled at all. Items are encrypted by the suite
// library itself.
#pragma once

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

#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "container/FolderContainer.h"
#include "suite/QvFsApi.h"
#include "suite/QvUserApi.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/QvfTestSupport.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace sharing_test {

using qvtest::User;

constexpr const char* kCsp = "Quorvin Test CSP";

class SharingFixture : public RootedTest {
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
    return store_->Enroll({id, accountPrefix_ + id, id, accountType_}, password,
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

  // How the users are enrolled: suite accounts named by their ids unless a test sets these
  // before SetUp (".\\" and Computer: accounts of this computer).
  std::string accountPrefix_;
  QvAccountType accountType_ = QvAccountType::Suite;
  std::string dir_;
  User alice_, bob_, carol_;
  QvUserStore* store_ = nullptr;
  std::map<std::string, std::unique_ptr<QvMasterKey>> masterKeys_;
  int outputs_ = 0;
};

}  // namespace sharing_test
