// Guards of the file-encryption library that lose data or let someone in when they slip: an
// output never replaces a name taken while it was written (on either way of publishing it),
// a file of a folder whose header was edited does not open, and only the owner's key, not a
// name that claims to be the owner's, changes who may open an item.
//
// The suite also runs these tests against a copy of the library built without unnamed files
// (QV_EXPECT_NAMED_OUTPUTS is set then), so the path of file systems without them is taken.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sodium.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/suite/QvfTestSupport.h"

namespace {

using namespace qvtest;

// Whether `folder` holds an output still under its hidden temporary name.
bool HoldsNamedTemporary(const std::string& folder) {
  for (const std::string& name : Names(folder))
    if (name.rfind('.', 0) == 0 && name.find(".qvtmp-") != std::string::npos) return true;
  return false;
}

// Runs `action` once, at the first check for a cancel, and never cancels.
class ActsMidway : public IEncryDecryptCallBack {
 public:
  explicit ActsMidway(std::function<void()> action) : action_(std::move(action)) {}
  DWORD IsCancelled() override {
    if (!done_) {
      done_ = true;
      action_();
    }
    return 0;
  }
  bool Acted() const { return done_; }

 private:
  std::function<void()> action_;
  bool done_ = false;
};

class LibraryGuardTest : public QvfWorkTest {
 protected:
  User alice_ = User::Make("alice"), bob_ = User::Make("bob"), carol_ = User::Make("carol");
};

// A user's file that appears under the output's name while the output is written stays as
// it is: the call fails with "destination exists" and leaves nothing of its own behind.
TEST_F(LibraryGuardTest, ANameTakenWhileTheOutputIsWrittenIsNeverReplaced) {
  const std::string content = RandomBytes(2 * kChunk + 5);
  const std::string source = Plain("big.bin", content);
  bool sawTemporary = false;
  const auto takeName = [&](const std::string& path) {
    return [&, path] {
      sawTemporary =
          sawTemporary || HoldsNamedTemporary(std::filesystem::path(path).parent_path().string());
      WriteTextFile(path, "the user's own");
    };
  };

  ActsMidway encryptRace(takeName(source + ".qvf"));
  Request encrypt(alice_, source, source + ".qvf", &encryptRace);
  EXPECT_EQ(QVFSEncryptFile(encrypt.get()), 14u);
  ASSERT_TRUE(encryptRace.Acted());
  EXPECT_EQ(ReadTextFile(source + ".qvf"), "the user's own");
  EXPECT_EQ(Names(dir_), (std::vector<std::string>{"big.bin", "big.bin.qvf"}));

  std::filesystem::remove(source + ".qvf");
  Request plain(alice_, source, source + ".qvf");
  ASSERT_EQ(QVFSEncryptFile(plain.get()), 0u);
  ActsMidway decryptRace(takeName(out_ + "/big.bin"));
  Request decrypt(alice_, source + ".qvf", out_, &decryptRace);
  EXPECT_EQ(QVFSDecryptFile(decrypt.get()), 14u);
  ASSERT_TRUE(decryptRace.Acted());
  EXPECT_EQ(ReadTextFile(out_ + "/big.bin"), "the user's own");
  EXPECT_EQ(Names(out_), std::vector<std::string>{"big.bin"});

  // The same for a file of a folder, whose output is not flushed on its own.
  std::vector<BYTE> header;
  DWORD handle = 0;
  ASSERT_EQ(InitFolderEncryption(alice_, &header, &handle), 0u);
  const std::string member = Plain("member.bin", content);
  ActsMidway folderRace(takeName(member + ".qvf"));
  Request inFolder(alice_, member, member + ".qvf", &folderRace);
  EXPECT_EQ(QVFSFolderEncryptFile(inFolder.Folder(handle).get()), 14u);
  ASSERT_TRUE(folderRace.Acted());
  EXPECT_EQ(ReadTextFile(member + ".qvf"), "the user's own");
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
  EXPECT_FALSE(HoldsNamedTemporary(dir_));
  EXPECT_FALSE(HoldsNamedTemporary(out_));

  // The copy of the library without unnamed files must really have taken its own path.
  if (std::getenv("QV_EXPECT_NAMED_OUTPUTS") != nullptr) {
    EXPECT_TRUE(sawTemporary) << "the library under test published through unnamed files";
  } else if (const int probe = open(dir_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
             probe >= 0) {
    close(probe);
    EXPECT_FALSE(sawTemporary) << "unnamed files work here, yet a temporary name was used";
  }
}

// Editing the owner text of a folder's file image (and redoing its unkeyed checksum) is
// found by the header's keyed checks: the file does not decrypt and nothing is written.
TEST_F(LibraryGuardTest, AFolderFileWithAnEditedOwnerDoesNotDecrypt) {
  std::vector<BYTE> header;
  DWORD handle = 0;
  ASSERT_EQ(InitFolderEncryption(alice_, &header, &handle), 0u);
  const std::string source = Plain("member.txt", "kept in the container");
  Request encrypt(alice_, source, source + ".qvf");
  ASSERT_EQ(QVFSFolderEncryptFile(encrypt.Folder(handle).get()), 0u);
  const std::string good = ReadTextFile(source + ".qvf");

  const std::size_t owner = good.find("alice");
  ASSERT_LT(owner, HeaderLength(good)) << "the owner's name is in the image's header";
  std::string edited = good;
  edited[owner] = 'e';  // "elice"
  FixChecksum(edited);
  WriteTextFile(source + ".qvf", edited);
  Request decrypt(alice_, source + ".qvf", out_);
  EXPECT_NE(QVFSFolderDecryptFile(decrypt.Folder(handle).get()), 0u);
  EXPECT_TRUE(Names(out_).empty());

  // The untouched image still opens under the same handle.
  WriteTextFile(source + ".qvf", good);
  Request again(alice_, source + ".qvf", out_);
  EXPECT_EQ(QVFSFolderDecryptFile(again.Folder(handle).get()), 0u);
  EXPECT_EQ(ReadTextFile(out_ + "/member.txt"), "kept in the container");
  EXPECT_EQ(QVFSCloseHandle(handle), 0u);
}

// A recipient who calls himself by the owner's name is still not the owner: the owner is
// known by key (for files and folders alike, one check), so the list does not change.
TEST_F(LibraryGuardTest, ARecipientClaimingTheOwnersNameAddsNobody) {
  const User impostor{"alice", bob_.blob};  // bob's own key pair, the owner's name

  const std::string qvf = Plain("doc", "text") + ".qvf";
  Request encrypt(alice_, dir_ + "/doc", qvf);
  ASSERT_EQ(QVFSEncryptFile(encrypt.get()), 0u);
  ASSERT_EQ(AddUserToFile(qvf, alice_, bob_), 0u);
  const std::string shared = ReadTextFile(qvf);
  EXPECT_EQ(AddUserToFile(qvf, impostor, carol_), 19u);
  EXPECT_EQ(ReadTextFile(qvf), shared);
  EXPECT_EQ(FileUsers(qvf), (std::vector<std::string>{"alice", "bob"}));

  // The real owner still can.
  EXPECT_EQ(AddUserToFile(qvf, alice_, carol_), 0u);
}

}  // namespace
