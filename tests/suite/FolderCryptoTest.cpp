// Folder keys through the exported calls, as the engine uses them for a container: a folder
// header made and reopened, files under a folder handle, headers that are damaged or come
// from another container, and handles closed, closed while in use and used from many threads.
#include <gtest/gtest.h>
#include <sodium.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "tests/suite/QvfTestSupport.h"

namespace {

using namespace qvtest;

class FolderCryptoTest : public QvfWorkTest {
 protected:
  // Starts a folder for `user`; the header is cut to the length used.
  static DWORD InitEncrypt(const User& user, std::vector<BYTE>* header, DWORD* handle,
                           DWORD capacity = kFolderHeaderCapacity, const char* algorithm = "") {
    DWORD reported = 0;
    const DWORD status = InitFolderEncryption(user, header, handle, capacity, algorithm, &reported);
    needed_ = reported;
    return status;
  }
  static DWORD EncryptIn(DWORD handle, const User& user, const std::string& source,
                         IEncryDecryptCallBack* callback = nullptr) {
    Request request(user, source, source + ".qvf", callback);
    return QVFSFolderEncryptFile(request.Folder(handle).get());
  }
  static DWORD DecryptIn(DWORD handle, const User& user, const std::string& qvf,
                         const std::string& folder, IEncryDecryptCallBack* callback = nullptr) {
    Request request(user, qvf, folder, callback);
    return QVFSFolderDecryptFile(request.Folder(handle).get());
  }

  static inline DWORD needed_ = 0;
  User alice_ = User::Make("alice");
};

TEST_F(FolderCryptoTest, FilesUnderAFolderKeyRoundTripThroughTheStoredHeader) {
  std::vector<BYTE> header;
  DWORD handle = 0;
  ASSERT_EQ(InitEncrypt(alice_, &header, &handle), 0u);
  EXPECT_NE(handle, 0u);
  EXPECT_LE(header.size(), kFolderHeaderCapacity);

  const std::size_t sizes[] = {0, 1, kChunk, kChunk + 1};
  std::vector<std::string> contents;
  for (const std::size_t size : sizes) {
    contents.push_back(RandomBytes(size));
    const std::string path = Plain("f" + std::to_string(size), contents.back());
    ASSERT_EQ(EncryptIn(handle, alice_, path), 0u) << size;
    const std::string image = ReadTextFile(path + ".qvf");
    EXPECT_EQ(image.size(), HeaderLength(image) + size + kTag * (size / kChunk + 1));
  }
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);

  DWORD reopened = 0;
  ASSERT_EQ(InitFolderDecryption(alice_, header, &reopened), 0u);
  EXPECT_NE(reopened, 0u);
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    const std::string name = "f" + std::to_string(sizes[i]);
    ASSERT_EQ(DecryptIn(reopened, alice_, dir_ + "/" + name + ".qvf", out_), 0u) << name;
    EXPECT_EQ(ReadTextFile(out_ + "/" + name), contents[i]);
  }
  EXPECT_EQ(QVFSCloseHandle(reopened), 0u);

  // An image carries no recipients: the user's own key does not open it without the folder,
  // though its owner is still known.
  Request alone(alice_, dir_ + "/f1.qvf", root_.Sub("out"));
  EXPECT_EQ(QVFSDecryptFile(alone.get()), 6u);
  char owner[kOwnerTextSize];
  ASSERT_EQ(QVFSFileGetOwner((dir_ + "/f1.qvf").c_str(), owner), 0u);
  EXPECT_STREQ(owner, "{alice}alice.qvkey");
  DWORD length = static_cast<DWORD>(header.size());
  ASSERT_EQ(QVFSFolderGetOwner(header.data(), &length, owner), 0u);
  EXPECT_STREQ(owner, "{alice}alice.qvkey");
}

TEST_F(FolderCryptoTest, AHeaderThatDoesNotFitIsRefusedWithTheLengthNeeded) {
  std::vector<BYTE> header;
  DWORD handle = 77;
  EXPECT_EQ(InitEncrypt(alice_, &header, &handle, 100), 1u);
  EXPECT_EQ(handle, 0u);
  const DWORD needed = needed_;
  EXPECT_GT(needed, 100u);
  ASSERT_EQ(InitEncrypt(alice_, &header, &handle, needed), 0u);
  EXPECT_EQ(header.size(), needed);
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);

  // The longest names a user and an algorithm may have still fit the container's buffer.
  const User longest = User::Make(std::string(255, 'u'));
  const std::string algorithm(MAX_PATH - 1, 'a');
  ASSERT_EQ(InitEncrypt(longest, &header, &handle, kFolderHeaderCapacity, algorithm.c_str()), 0u);
  EXPECT_LE(header.size(), kFolderHeaderCapacity);
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
}

TEST_F(FolderCryptoTest, FilesOfAnotherFolderOrOfNoFolderAreRefused) {
  std::vector<BYTE> headerA, headerB;
  DWORD a = 0, b = 0;
  ASSERT_EQ(InitEncrypt(alice_, &headerA, &a), 0u);
  ASSERT_EQ(InitEncrypt(alice_, &headerB, &b), 0u);
  const std::string inA = Plain("in-a", "belongs to folder A");
  ASSERT_EQ(EncryptIn(a, alice_, inA), 0u);
  const std::string alone = Plain("alone", "a file of its own");
  Request request(alice_, alone, alone + ".qvf");
  ASSERT_EQ(QVFSEncryptFile(request.get()), 0u);

  EXPECT_EQ(DecryptIn(b, alice_, inA + ".qvf", out_), 4u);
  EXPECT_EQ(DecryptIn(a, alice_, alone + ".qvf", out_), 4u);
  // The header of another container opens, but its key is not this file's.
  DWORD fromB = 0;
  ASSERT_EQ(InitFolderDecryption(alice_, headerB, &fromB), 0u);
  EXPECT_EQ(DecryptIn(fromB, alice_, inA + ".qvf", out_), 4u);
  EXPECT_TRUE(Names(out_).empty());
  for (const DWORD handle : {a, b, fromB}) EXPECT_EQ(QVFSCloseHandle(handle), 0u);
}

TEST_F(FolderCryptoTest, DamagedForeignOrLockedHeadersDoNotOpen) {
  std::vector<BYTE> good;
  DWORD handle = 0;
  ASSERT_EQ(InitEncrypt(alice_, &good, &handle), 0u);
  ASSERT_EQ(QVFSCloseHandle(handle), 0u);
  const std::string text(good.begin(), good.end());
  const std::size_t ownerFile = text.find("alice.qvkey");
  ASSERT_NE(ownerFile, std::string::npos);
  const std::string plain = Plain("x", "y");
  Request request(alice_, plain, plain + ".qvf");
  ASSERT_EQ(QVFSEncryptFile(request.get()), 0u);
  const std::string fileBytes = ReadTextFile(plain + ".qvf");

  const struct {
    const char* what;
    std::function<void(std::vector<BYTE>&)> damage;
    const User* user;
    DWORD expected;
  } cases[] = {
      {"empty", [](std::vector<BYTE>& h) { h.clear(); }, &alice_, 13},
      {"cut", [](std::vector<BYTE>& h) { h.pop_back(); }, &alice_, 13},
      {"byte changed", [](std::vector<BYTE>& h) { h[30] ^= 1; }, &alice_, 3},
      {"owner changed, checksum redone",
       [&](std::vector<BYTE>& h) {
         h[ownerFile] = 'A';
         FixChecksum(h);
       },
       &alice_, 8},
      {"unknown version", [](std::vector<BYTE>& h) { h[8] = 9; }, &alice_, 18},
      {"unknown cipher",
       [](std::vector<BYTE>& h) {
         h[17] = 0;
         FixChecksum(h);
       },
       &alice_, 18},
      {"a .qvf file", [&](std::vector<BYTE>& h) { h.assign(fileBytes.begin(), fileBytes.end()); },
       &alice_, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<BYTE> header = good;
    c.damage(header);
    DWORD opened = 0;
    EXPECT_EQ(InitFolderDecryption(*c.user, header, &opened), c.expected);
    EXPECT_EQ(opened, 0u);
  }
  DWORD opened = 0;
  EXPECT_EQ(InitFolderDecryption(User::Make("bob"), good, &opened), 6u);
  EXPECT_EQ(InitFolderDecryption(alice_.Rekeyed(), good, &opened), 4u);
  EXPECT_EQ(InitFolderDecryption(User{"alice", alice_.PublicOnly()}, good, &opened), 4u);
  EXPECT_EQ(opened, 0u);
}

TEST_F(FolderCryptoTest, DamagedImagesAndCancelLeaveNothing) {
  std::vector<BYTE> header;
  DWORD handle = 0;
  ASSERT_EQ(InitEncrypt(alice_, &header, &handle), 0u);
  const std::string path = Plain("image", RandomBytes(3 * kChunk));
  ScriptedCancel cancel(2);
  EXPECT_EQ(EncryptIn(handle, alice_, path, &cancel), 507u);
  EXPECT_EQ(Names(dir_), std::vector<std::string>{"image"});

  ASSERT_EQ(EncryptIn(handle, alice_, path), 0u);
  const std::string good = ReadTextFile(path + ".qvf");
  std::string bytes = good;
  bytes[HeaderLength(bytes) + kChunk + kTag + 7] ^= 0x20;
  WriteTextFile(path + ".qvf", bytes);
  EXPECT_EQ(DecryptIn(handle, alice_, path + ".qvf", out_), 8u);
  bytes = good;
  bytes[30] ^= 1;  // the file id, from which the file key is derived
  FixChecksum(bytes);
  WriteTextFile(path + ".qvf", bytes);
  EXPECT_EQ(DecryptIn(handle, alice_, path + ".qvf", out_), 8u);
  EXPECT_TRUE(Names(out_).empty());
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
}

TEST_F(FolderCryptoTest, ClosedHandlesAreRefused) {
  std::vector<BYTE> header;
  DWORD handle = 0;
  ASSERT_EQ(InitEncrypt(alice_, &header, &handle), 0u);
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
  EXPECT_EQ(QVFSCloseHandle(handle), 7u);
  EXPECT_EQ(QVFSCloseHandle(0), 7u);
  const std::string path = Plain("p", "q");
  EXPECT_EQ(EncryptIn(handle, alice_, path), 7u);
  EXPECT_EQ(EncryptIn(0, alice_, path), 7u);
  EXPECT_EQ(DecryptIn(handle, alice_, path + ".qvf", out_), 7u);
  EXPECT_EQ(Names(dir_), std::vector<std::string>{"p"});
}

// The engine closes handles on its own thread; a call still running under the handle keeps
// the key it started with and finishes.
TEST_F(FolderCryptoTest, ClosingAHandleWhileAFileIsEncryptedFinishesThatFile) {
  std::vector<BYTE> header;
  DWORD handle = 0;
  ASSERT_EQ(InitEncrypt(alice_, &header, &handle), 0u);
  struct CloseOnFirstAsk : IEncryDecryptCallBack {
    DWORD handle = 0;
    DWORD closeResult = 99;
    DWORD IsCancelled() override {
      if (closeResult == 99) closeResult = QVFSCloseHandle(handle);
      return 0;
    }
  } closer;
  closer.handle = handle;
  const std::string content = RandomBytes(3 * kChunk + 9);
  const std::string path = Plain("long", content);
  ASSERT_EQ(EncryptIn(handle, alice_, path, &closer), 0u);
  EXPECT_EQ(closer.closeResult, 0u);
  EXPECT_EQ(QVFSCloseHandle(handle), 7u);

  DWORD reopened = 0;
  ASSERT_EQ(InitFolderDecryption(alice_, header, &reopened), 0u);
  ASSERT_EQ(DecryptIn(reopened, alice_, path + ".qvf", out_), 0u);
  EXPECT_EQ(ReadTextFile(out_ + "/long"), content);
  EXPECT_EQ(QVFSCloseHandle(reopened), 0u);
}

TEST_F(FolderCryptoTest, HandlesWorkFromManyThreadsAtOnce) {
  constexpr int kThreads = 4;
  DWORD results[kThreads] = {};
  DWORD handles[kThreads] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string tag = std::to_string(t);
      const User user = User::Make("user" + tag);
      std::vector<BYTE> header;
      DWORD handle = 0, reopened = 0;
      DWORD status = InitEncrypt(user, &header, &handle);
      handles[t] = handle;
      const std::string content = RandomBytes(kChunk + 3 * t);
      const std::string path = dir_ + "/t" + tag;
      WriteTextFile(path, content);
      if (status == 0) status = EncryptIn(handle, user, path);
      if (status == 0) status = InitFolderDecryption(user, header, &reopened);
      if (status == 0) status = DecryptIn(reopened, user, path + ".qvf", out_);
      if (status == 0 && ReadTextFile(out_ + "/t" + tag) != content) status = 1000;
      if (status == 0) status = QVFSCloseHandle(reopened);
      results[t] = status;
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(results[t], 0u) << "thread " << t;
  std::sort(std::begin(handles), std::end(handles));
  EXPECT_EQ(std::adjacent_find(std::begin(handles), std::end(handles)), std::end(handles));
  for (const DWORD handle : handles) EXPECT_EQ(QVFSCloseHandle(handle), 0u);
}

}  // namespace
