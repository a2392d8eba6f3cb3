// Qvshella started while another process holds the decrypt-and-open role: it hands its file
// over, says so when the holder would refuse the file, and says so when nobody takes it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/Mailslot.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using namespace qvtest;

constexpr const char* kRoleMutex = "QUORVINDECRYPTING";
constexpr const char* kHandOverMailslot = "\\\\.\\mailslot\\QVShellE_Decrypt";

class QvshellaHandOverTest : public ProgramsFixture {
 protected:
  void SetUp() override {
    ProgramsFixture::SetUp();
    ASSERT_EQ(RunProgram(root_, "qvenroll", {}, Env()).code, 0);
    // This process holds the role, as a Qvshella started a moment earlier would.
    role_ = CreateMutexA(nullptr, FALSE, kRoleMutex);
    ASSERT_NE(role_, nullptr);
  }
  void TearDown() override {
    if (role_ != nullptr) CloseHandle(role_);
  }
  ProgramRun Shella(const std::string& path) {
    return RunProgram(root_, "Qvshella", {path}, Env());
  }
  std::string W(const std::string& name) const { return work_ + "/" + name; }

  HANDLE role_ = nullptr;
};

TEST_F(QvshellaHandOverTest, TheSenderSaysWhenItsFileIsRefusedOrTakenByNobody) {
  WriteTextFile(W("notes.txt"), "plain");
  WriteTextFile(W("letter.txt.qvf"), "encrypted, as far as the sender can tell");
  ASSERT_EQ(symlink(W("letter.txt.qvf").c_str(), W("link.qvf").c_str()), 0);

  // Files the holder would refuse are not sent: the user is told why, and the exit code says so.
  const HANDLE mailslot = CreateMailslotA(kHandOverMailslot, 0, 0, nullptr);
  ASSERT_NE(mailslot, INVALID_HANDLE_VALUE);
  const struct {
    std::string path;
    std::string reason;
  } refused[] = {
      {W("notes.txt"), "Error: File is not an Sentivo encrypted file (.QVF)."},
      {W("link.qvf"), "Error:  File Access Error."},
      {W("missing.qvf"), "Error:  File Access Error."},
  };
  for (const auto& c : refused) {
    const ProgramRun run = Shella(c.path);
    EXPECT_EQ(run.code, 4) << c.path << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find(c.reason), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("for the reason shown above"), std::string::npos) << run.err;
  }
  DWORD waiting = 0;
  ASSERT_TRUE(GetMailslotInfo(mailslot, nullptr, nullptr, &waiting, nullptr));
  EXPECT_EQ(waiting, 0u);

  // A file the holder takes is sent, and the sender ends quietly.
  ProgramRun run = Shella(W("letter.txt.qvf"));
  EXPECT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  char message[2064];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(mailslot, message, sizeof message, &read, nullptr));
  EXPECT_EQ(std::string(message, read), W("letter.txt.qvf") + std::string(1, '\0'));
  CloseHandle(mailslot);

  // The holder is gone before it opened the mailslot (or after it closed it): after waiting
  // for it, the sender says the file was not handed over.
  run = Shella(W("letter.txt.qvf"));
  EXPECT_EQ(run.code, 5) << run.out << run.err;
  EXPECT_NE(run.err.find("open the file again"), std::string::npos) << run.err;
  EXPECT_EQ(ReadTextFile(W("letter.txt.qvf")), "encrypted, as far as the sender can tell");
}

}  // namespace
