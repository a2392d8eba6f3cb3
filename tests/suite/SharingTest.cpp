// Sharing through the exported calls, as the sharing dialog and the delegate rule make them:
// three users on a file and on a folder, the payload untouched by list changes, who may change
// a list, the owner and the last user kept, the user-list buffer contract, and edits made
// without a key that a user's key then finds.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/suite/QvfTestSupport.h"

namespace {

using namespace qvtest;

class SharingTest : public QvfWorkTest {
 protected:
  static DWORD RemoveFromFile(const std::string& path, const User& user, const User& acting) {
    const std::vector<BYTE> shared = user.PublicOnly();
    return QVFSFileRemoveUserAsOwner(path.c_str(), acting.name.c_str(), acting.name.c_str(),
                                     acting.blob.data(), static_cast<DWORD>(acting.blob.size()),
                                     user.name.c_str(), user.name.c_str(), shared.data(),
                                     static_cast<DWORD>(shared.size()));
  }
  static DWORD RemoveFromFolder(std::vector<BYTE>* header, DWORD* length, const User& user,
                                const User& acting) {
    const std::vector<BYTE> shared = user.PublicOnly();
    return QVFSFolderRemoveUserAsOwner(
        header->data(), length, acting.name.c_str(), acting.name.c_str(), acting.blob.data(),
        static_cast<DWORD>(acting.blob.size()), user.name.c_str(), user.name.c_str(), shared.data(),
        static_cast<DWORD>(shared.size()));
  }
  static DWORD IsValid(const std::string& path, const User& user, bool withSecret = false) {
    const std::vector<BYTE> blob = withSecret ? user.blob : user.PublicOnly();
    return QVFSFileIsValidUser(path.c_str(), user.name.c_str(), user.name.c_str(), blob.data(),
                               static_cast<DWORD>(blob.size()));
  }
  // Decrypts as `user` into a folder of its own and returns the status and the plain text.
  std::pair<DWORD, std::string> DecryptAs(const User& user, const std::string& qvf) {
    const std::string folder = root_.Sub("out-" + user.name + std::to_string(outputs_++));
    std::filesystem::create_directories(folder);
    Request request(user, qvf, folder);
    const DWORD status = QVFSDecryptFile(request.get());
    const std::string name = std::filesystem::path(qvf).stem().string();
    return {status, status == 0 ? ReadTextFile(folder + "/" + name) : std::string()};
  }

  static std::vector<BYTE> Grown(const std::vector<BYTE>& header) {
    std::vector<BYTE> buffer(header.size() + kFolderHeaderCapacity, 0);
    std::copy(header.begin(), header.end(), buffer.begin());
    return buffer;
  }
  // Adds `user` to the folder header `header` (its used length in `length`), in a buffer
  // grown by the container's step as the sharing code does.
  static DWORD AddToFolder(std::vector<BYTE>* header, DWORD* length, const User& acting,
                           const User& user, DWORD extra = kFolderHeaderCapacity) {
    std::vector<BYTE> buffer(*length + extra, 0xEE);
    std::copy(header->begin(), header->begin() + *length, buffer.begin());
    const std::vector<BYTE> shared = user.PublicOnly();
    DWORD used = *length;
    const DWORD status = QVFSFolderAddUser(
        buffer.data(), &used, static_cast<DWORD>(buffer.size()), acting.name.c_str(),
        acting.name.c_str(), acting.blob.data(), static_cast<DWORD>(acting.blob.size()), "",
        user.name.c_str(), shared.data(), static_cast<DWORD>(shared.size()),
        reinterpret_cast<const BYTE*>(user.name.c_str()), static_cast<DWORD>(user.name.size() + 1),
        2);
    if (status == 0) {
      *header = buffer;
      *length = used;
    } else {
      EXPECT_EQ(used, *length);
      EXPECT_TRUE(std::equal(header->begin(), header->begin() + *length, buffer.begin()));
    }
    return status;
  }
  static std::vector<std::string> FolderUsers(const std::vector<BYTE>& header, DWORD length) {
    std::vector<BYTE> buffer(4096);
    DWORD size = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(QVFSFolderGetUserList(header.data(), length, buffer.data(), &size), 0u);
    return NamesOf(ParseList(buffer.data(), size));
  }
  static DWORD OpenFolder(const std::vector<BYTE>& header, DWORD length, const User& user,
                          DWORD* handle) {
    DWORD credentialsLength = static_cast<DWORD>(user.name.size() + 1);
    return QVFSInitFolderDecryption(header.data(), length, user.name.c_str(), user.name.c_str(),
                                    user.blob.data(), static_cast<DWORD>(user.blob.size()),
                                    reinterpret_cast<const BYTE*>(user.name.c_str()),
                                    &credentialsLength, handle);
  }

  int outputs_ = 0;
  User alice_ = User::Make("alice"), bob_ = User::Make("bob"), carol_ = User::Make("carol"),
       dave_ = User::Make("dave");
};

TEST_F(SharingTest, AFileIsSharedWithThreeUsersWithoutTouchingItsPayload) {
  const std::string content = RandomBytes(2 * kChunk + 11);
  const std::string qvf = EncryptedBy(alice_, "data", content);
  ASSERT_EQ(chmod(qvf.c_str(), 0604), 0);
  const std::string before = ReadTextFile(qvf);
  const std::string payload = before.substr(HeaderLength(before));

  EXPECT_EQ(IsValid(qvf, bob_), 6u);
  ASSERT_EQ(AddUserToFile(qvf, alice_, bob_), 0u);
  // Through a link, the file itself gets the new header and the link stays a link.
  const std::string link = root_.Sub("link.qvf");
  std::filesystem::create_symlink(qvf, link);
  ASSERT_EQ(AddUserToFile(link, alice_, carol_), 0u);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  ASSERT_EQ(AddUserToFile(qvf, alice_, bob_), 0u) << "adding a listed key changes nothing";
  EXPECT_EQ(FileUsers(qvf), (std::vector<std::string>{"alice", "bob", "carol"}));

  std::vector<BYTE> buffer(4096);
  DWORD size = static_cast<DWORD>(buffer.size());
  ASSERT_EQ(QVFSFileGetUserList(qvf.c_str(), buffer.data(), &size), 0u);
  const std::vector<ListEntry> entries = ParseList(buffer.data(), size);
  ASSERT_EQ(entries.size(), 3u);
  const User* users[] = {&alice_, &bob_, &carol_};
  for (std::size_t i = 0; i < 3; ++i) {
    std::uint32_t keyTag;
    std::memcpy(&keyTag, users[i]->BoxPublicKey().data(), 4);
    EXPECT_EQ(entries[i].flags, i == 0 ? 1u : 0u) << "owner flag of " << entries[i].name;
    EXPECT_EQ(entries[i].keyTag, keyTag) << entries[i].name;
  }

  const std::string shared = ReadTextFile(qvf);
  EXPECT_EQ(shared.substr(HeaderLength(shared)), payload);
  for (const User* user : users) EXPECT_EQ(DecryptAs(*user, qvf), std::make_pair(0u, content));
  EXPECT_EQ(IsValid(qvf, carol_), 0u);
  EXPECT_EQ(IsValid(qvf, carol_, true), 0u);
  EXPECT_EQ(IsValid(qvf, dave_), 6u);
  EXPECT_EQ(IsValid(qvf, bob_.Rekeyed()), 4u);

  ASSERT_EQ(RemoveFromFile(qvf, bob_, alice_), 0u);
  EXPECT_EQ(FileUsers(qvf), (std::vector<std::string>{"alice", "carol"}));
  EXPECT_EQ(DecryptAs(bob_, qvf).first, 6u);
  EXPECT_EQ(IsValid(qvf, bob_), 6u);
  EXPECT_EQ(DecryptAs(carol_, qvf), std::make_pair(0u, content));
  // Removal moves the payload to a new item key: same length, other bytes.
  const std::string after = ReadTextFile(qvf).substr(HeaderLength(ReadTextFile(qvf)));
  EXPECT_EQ(after.size(), payload.size());
  EXPECT_TRUE(after != payload) << "the removed user's item key still opens the payload";

  char owner[kOwnerTextSize];
  ASSERT_EQ(QVFSFileGetOwner(qvf.c_str(), owner), 0u);
  EXPECT_STREQ(owner, "{alice}alice.qvkey");
  EXPECT_EQ(Names(dir_), (std::vector<std::string>{"data", "data.qvf"}));
  struct stat st {};
  ASSERT_EQ(stat(qvf.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0604u);
}

TEST_F(SharingTest, OnlyTheOwnerChangesAFileListAndNeverLosesTheirOwnEntry) {
  const std::string qvf = EncryptedBy(alice_, "doc", "text");
  ASSERT_EQ(AddUserToFile(qvf, alice_, bob_), 0u);
  const std::string shared = ReadTextFile(qvf);

  EXPECT_EQ(AddUserToFile(qvf, bob_, carol_), 19u) << "a recipient who is not the owner";
  EXPECT_EQ(AddUserToFile(qvf, dave_, carol_), 6u) << "not a recipient";
  EXPECT_EQ(AddUserToFile(qvf, User{"alice", alice_.PublicOnly()}, carol_), 4u) << "no secret key";
  EXPECT_EQ(AddUserToFile(qvf, alice_.Rekeyed(), carol_), 4u);
  EXPECT_EQ(AddUserToFile(qvf, alice_, User{"carol", std::vector<BYTE>(5, 1)}), 4u);
  EXPECT_EQ(RemoveFromFile(qvf, alice_, bob_), 19u);
  EXPECT_EQ(RemoveFromFile(qvf, bob_, bob_), 19u);
  EXPECT_EQ(RemoveFromFile(qvf, carol_, alice_), 6u);
  EXPECT_EQ(RemoveFromFile(qvf, alice_, alice_), 19u) << "the owner keeps their entry";
  EXPECT_EQ(RemoveFromFile(qvf, bob_, User{"alice", alice_.PublicOnly()}), 4u) << "no secret";
  // Without the owner's key a signed header cannot be signed again.
  EXPECT_EQ(QVFSFileRemoveUser(qvf.c_str(), "bob", "bob", nullptr, 0, "alice"), 4u);
  EXPECT_EQ(QVFSFileChekIsPrivilegeUser("alice", qvf.c_str()), 1u);
  EXPECT_EQ(QVFSFileChekIsPrivilegeUser("bob", qvf.c_str()), 0u);
  EXPECT_EQ(QVFSFileChekIsPrivilegeUser(nullptr, qvf.c_str()), 0u);
  EXPECT_EQ(ReadTextFile(qvf), shared);

  ASSERT_EQ(RemoveFromFile(qvf, bob_, alice_), 0u);
  EXPECT_EQ(RemoveFromFile(qvf, alice_, alice_), 19u) << "the last user stays";
  EXPECT_EQ(FileUsers(qvf), std::vector<std::string>{"alice"});
  // With no usable key the entry is found by its name.
  ASSERT_EQ(AddUserToFile(qvf, alice_, carol_), 0u);
  EXPECT_EQ(QVFSFileRemoveUserAsOwner(qvf.c_str(), "alice", "alice", alice_.blob.data(),
                                      static_cast<DWORD>(alice_.blob.size()), "carol", "carol",
                                      nullptr, 0),
            0u);
  EXPECT_EQ(FileUsers(qvf), std::vector<std::string>{"alice"});
  const std::string plain = dir_ + "/plain";
  WriteTextFile(plain, "not encrypted");
  EXPECT_EQ(QVFSFileChekIsPrivilegeUser("alice", plain.c_str()), 5u);
}

TEST_F(SharingTest, UserListsNeverWritePastTheBuffer) {
  const User longName = User::Make(std::string(200, 'L'));
  const std::string qvf = EncryptedBy(alice_, "doc", "text");
  ASSERT_EQ(AddUserToFile(qvf, alice_, longName), 0u);
  const DWORD needed = 12 + 6 + 12 + 201;

  DWORD size = 0;
  EXPECT_EQ(QVFSFileGetUserList(qvf.c_str(), nullptr, &size), 1u);
  EXPECT_EQ(size, needed);
  std::vector<BYTE> buffer(needed + 16, 0xAB);
  size = needed - 1;
  EXPECT_EQ(QVFSFileGetUserList(qvf.c_str(), buffer.data(), &size), 1u);
  EXPECT_EQ(size, needed);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](BYTE b) { return b == 0xAB; }));
  size = needed;
  ASSERT_EQ(QVFSFileGetUserList(qvf.c_str(), buffer.data(), &size), 0u);
  EXPECT_EQ(size, needed);
  EXPECT_TRUE(std::all_of(buffer.begin() + needed, buffer.end(), [](BYTE b) { return b == 0xAB; }));
  EXPECT_EQ(NamesOf(ParseList(buffer.data(), size)),
            (std::vector<std::string>{"alice", longName.name}));
  size = 100;
  EXPECT_EQ(QVFSFileGetUserList((dir_ + "/none.qvf").c_str(), buffer.data(), &size), 11u);
  EXPECT_EQ(size, 0u);
}

TEST_F(SharingTest, AFolderIsSharedByChangingOnlyItsHeader) {
  std::vector<BYTE> header(kFolderHeaderCapacity);
  DWORD length = kFolderHeaderCapacity, handle = 0;
  EncryptAlgoInfo algorithm{};
  algorithm.algorithmId = kDefaultAlgorithmId;
  ASSERT_EQ(QVFSInitFolderEncryption(
                &algorithm, "alice", alice_.blob.data(), static_cast<DWORD>(alice_.blob.size()),
                reinterpret_cast<const BYTE*>("alice"), 6, header.data(), &length, &handle),
            0u);
  const std::string content = RandomBytes(kChunk + 1);
  const std::string plain = dir_ + "/inside";
  WriteTextFile(plain, content);
  Request request(alice_, plain, plain + ".qvf");
  ASSERT_EQ(QVFSFolderEncryptFile(request.Folder(handle).get()), 0u);
  ASSERT_EQ(QVFSCloseHandle(handle), 0u);
  const std::string image = ReadTextFile(plain + ".qvf");

  for (const User* user : {&bob_, &carol_}) {
    const DWORD old = length;
    ASSERT_EQ(AddToFolder(&header, &length, alice_, *user), 0u) << user->name;
    EXPECT_GT(length, old);
    EXPECT_LE(length, old + kFolderHeaderCapacity);
  }
  EXPECT_EQ(FolderUsers(header, length), (std::vector<std::string>{"alice", "bob", "carol"}));
  EXPECT_EQ(AddToFolder(&header, &length, alice_, dave_, 0), 1u) << "no room left";

  // Bob opens what was encrypted before he was added; the image itself never changed.
  DWORD bobs = 0;
  ASSERT_EQ(OpenFolder(header, length, bob_, &bobs), 0u);
  const std::string out = root_.Sub("out");
  std::filesystem::create_directories(out);
  Request decrypt(bob_, plain + ".qvf", out);
  ASSERT_EQ(QVFSFolderDecryptFile(decrypt.Folder(bobs).get()), 0u);
  EXPECT_EQ(ReadTextFile(out + "/inside"), content);
  EXPECT_EQ(ReadTextFile(plain + ".qvf"), image);
  EXPECT_EQ(QVFSCloseHandle(bobs), 0u);

  const std::vector<BYTE> carolShared = carol_.PublicOnly(), daveShared = dave_.PublicOnly();
  EXPECT_EQ(QVFSFolderIsValidUser(header.data(), length, "carol", "carol", carolShared.data(),
                                  static_cast<DWORD>(carolShared.size())),
            0u);
  EXPECT_EQ(QVFSFolderIsValidUser(header.data(), length, "dave", "dave", daveShared.data(),
                                  static_cast<DWORD>(daveShared.size())),
            6u);
  EXPECT_EQ(QVFSFolderChekIsPrivilegeUser("alice", header.data(), length), 1u);
  EXPECT_EQ(QVFSFolderChekIsPrivilegeUser("carol", header.data(), length), 0u);
  EXPECT_EQ(AddToFolder(&header, &length, bob_, dave_), 19u);
  EXPECT_EQ(AddToFolder(&header, &length, dave_, dave_), 6u);

  const DWORD withCarol = length;
  EXPECT_EQ(RemoveFromFolder(&header, &length, carol_, bob_), 19u);
  EXPECT_EQ(QVFSFolderRemoveUser(header.data(), &length, "carol", "carol", carolShared.data(),
                                 static_cast<DWORD>(carolShared.size()), "alice"),
            4u)
      << "no key to sign with";
  ASSERT_EQ(RemoveFromFolder(&header, &length, carol_, alice_), 0u);
  EXPECT_LT(length, withCarol);
  EXPECT_EQ(FolderUsers(header, length), (std::vector<std::string>{"alice", "bob"}));
  DWORD carols = 0;
  EXPECT_EQ(OpenFolder(header, length, carol_, &carols), 6u);
  EXPECT_EQ(RemoveFromFolder(&header, &length, alice_, alice_), 19u);
  char owner[kOwnerTextSize];
  ASSERT_EQ(QVFSFolderGetOwner(header.data(), &length, owner), 0u);
  EXPECT_STREQ(owner, "{alice}alice.qvkey");

  std::vector<BYTE> list(64, 0xCD);
  DWORD size = 20;
  EXPECT_EQ(QVFSFolderGetUserList(header.data(), length, list.data(), &size), 1u);
  EXPECT_EQ(size, 12u + 6 + 12 + 4);
  EXPECT_TRUE(std::all_of(list.begin(), list.end(), [](BYTE b) { return b == 0xCD; }));
}

// Relabelling entries needs only the checksum redone, which anybody can do; the owner's
// signature gives it away to every call, and the entry MACs to every user who opens the item.
TEST_F(SharingTest, EntriesRelabelledWithoutAKeyAreFound) {
  const User cat = User::Make("cat");
  const std::string qvf = EncryptedBy(alice_, "doc", "text");
  ASSERT_EQ(AddUserToFile(qvf, alice_, bob_), 0u);
  ASSERT_EQ(AddUserToFile(qvf, alice_, cat), 0u);
  std::string bytes = ReadTextFile(qvf);
  const std::size_t bobAt = bytes.find(std::string("\x03\x00", 2) + "bob");
  const std::size_t catAt = bytes.find(std::string("\x03\x00", 2) + "cat");
  ASSERT_NE(bobAt, std::string::npos);
  ASSERT_NE(catAt, std::string::npos);
  bytes.replace(bobAt + 2, 3, "cat");
  bytes.replace(catAt + 2, 3, "bob");
  FixChecksum(bytes);
  WriteTextFile(qvf, bytes);

  std::vector<BYTE> list(4096);
  DWORD size = static_cast<DWORD>(list.size());
  EXPECT_EQ(QVFSFileGetUserList(qvf.c_str(), list.data(), &size), 8u);
  EXPECT_EQ(QVFSFileChekIsPrivilegeUser("alice", qvf.c_str()), 8u);
  EXPECT_EQ(DecryptAs(bob_, qvf).first, 8u);
  EXPECT_EQ(DecryptAs(alice_, qvf).first, 8u);
  EXPECT_EQ(IsValid(qvf, bob_, true), 8u);
  EXPECT_EQ(AddUserToFile(qvf, alice_, dave_), 8u);
}

}  // namespace
