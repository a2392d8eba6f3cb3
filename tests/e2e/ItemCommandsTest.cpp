// qvx rm, rename, decrypt-to and open as programs over a container that qvclient encrypted,
// without a terminal, the password from QV_PASSWORD_FILE: what they change is what a full
// decryption of the container gives back afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;
using qvtest::Environment;
using qvtest::ProgramRun;

// Relative path -> "dir" or the file's bytes, for everything below `folder`.
std::map<std::string, std::string> Tree(const std::string& folder) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    entries[fs::relative(entry.path(), folder).string()] =
        entry.is_directory() ? "dir" : ReadTextFile(entry.path().string());
  return entries;
}

class ItemCommandsTest : public qvtest::ProgramsFixture {
 protected:
  void SetUp() override {
    ProgramsFixture::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(Run("qvenroll", {}).code, 0);
    ASSERT_EQ(Run("qvx", {"register"}).code, 0);
    box_ = work_ + "/Box";
    fs::create_directories(box_ + "/Docs/Sub");
    WriteTextFile(box_ + "/notes.txt", "my notes");
    WriteTextFile(box_ + "/gone.txt", "to be deleted");
    WriteTextFile(box_ + "/keep.bin", std::string(70000, 'k'));
    WriteTextFile(box_ + "/Docs/Sub/deep.txt", "deep");
    const ProgramRun encrypted = Run("qvclient", {"encrypt", box_});
    ASSERT_EQ(encrypted.code, 0) << encrypted.out << encrypted.err;
    container_ = box_ + ".qvef";
    ASSERT_TRUE(fs::exists(container_));
  }
  Environment More() const {
    return {{"XDG_DATA_HOME", root_.Sub("data")}, {"XDG_CONFIG_HOME", root_.Sub("config")}};
  }
  ProgramRun Run(const std::string& program, const std::vector<std::string>& args) const {
    return qvtest::RunProgram(root_, program, args, Env(More()));
  }
  std::string In(const std::string& inner) const { return container_ + "/" + inner; }

  std::string box_, container_;
};

TEST_F(ItemCommandsTest, RenameAndDeleteShowInAFullDecryption) {
  ProgramRun run = Run("qvx", {"rename", In("notes.txt"), "renamed notes.txt"});
  EXPECT_EQ(run.code, 0) << run.err;
  run = Run("qvx", {"rename", In("Docs/Sub"), "Inner"});
  EXPECT_EQ(run.code, 0) << run.err;

  // Refused: a character no name may hold, a name another item has, a missing item.
  const struct {
    std::vector<std::string> args;
    int code;
    const char* message;
  } refusals[] = {
      {{"rename", In("keep.bin"), "a|b"}, 1, "not renamed"},
      {{"rename", In("keep.bin"), "gone.txt"}, 1, "another"},
      {{"rename", In("nothing.txt"), "x"}, 1, "no item \"nothing.txt\""},
      {{"rename", In("keep.bin")}, 2, "give PATH and NEWNAME"},
      {{"rm", In("gone.txt"), work_ + "/elsewhere/x"}, 2, "one folder"},
      {{"rm", In("gone.txt")}, 1, "not deleted"},  // not confirmed: no terminal and no --yes
      {{"rm", work_ + "/Plain.qvef.none/x"}, 6, "no such file or folder"},
      {{"decrypt-to", In("keep.bin"), work_ + "/missing"}, 2, "no folder"},
  };
  for (const auto& c : refusals) {
    run = Run("qvx", c.args);
    EXPECT_EQ(run.code, c.code) << c.args.back() << ": " << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
  for (const char* command : {"rm", "rename", "decrypt-to"}) {
    run = Run("qvx", {command, "--help"});
    EXPECT_EQ(run.code, 0) << command;
    EXPECT_EQ(run.out.find(std::string("usage: qvx ") + command), 0u) << run.out;
  }

  run = Run("qvx", {"rm", "--yes", In("gone.txt"), In("Docs")});
  EXPECT_EQ(run.code, 0) << run.err;

  const std::string out = work_ + "/out";
  fs::create_directories(out);
  run = Run("qvx", {"decrypt-to", In("keep.bin"), out});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(ReadTextFile(out + "/keep.bin") == std::string(70000, 'k'));
  // A second time the plain file is there: without a terminal it is kept.
  WriteTextFile(out + "/keep.bin", "changed since");
  run = Run("qvx", {"decrypt-to", In("keep.bin"), out});
  EXPECT_EQ(run.code, 1) << run.err;
  EXPECT_EQ(ReadTextFile(out + "/keep.bin"), "changed since");
  EXPECT_EQ(Tree(out).size(), 1u) << "no encrypted copy stays behind";

  run = Run("qvclient", {"decrypt", container_});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  const std::map<std::string, std::string> expected = {{"renamed notes.txt", "my notes"},
                                                       {"keep.bin", std::string(70000, 'k')}};
  EXPECT_EQ(Tree(box_), expected);
}

TEST_F(ItemCommandsTest, ASessionRenamesDecryptsToAndDeletes) {
  const std::string out = work_ + "/session out";
  fs::create_directories(out);
  const std::string script = "cd " + container_ +
                             "\n"
                             "rename keep.bin kept copy.bin\n"
                             "rename nothing.bin x\n"
                             "select kept copy.bin\n"
                             "decrypt-to " +
                             out +
                             "\n"
                             "select gone.txt\n"
                             "key Delete\n"
                             "ls\n";
  const ProgramRun run = qvtest::RunProgram(root_, "qvx", {"session"}, Env(More()), script);
  EXPECT_EQ(run.code, 1) << "the rename of a missing row counts: " << run.err;
  EXPECT_NE(run.err.find("line 3: rename"), std::string::npos) << run.err;
  EXPECT_TRUE(ReadTextFile(out + "/kept copy.bin") == std::string(70000, 'k'));
  EXPECT_NE(run.out.find("kept copy.bin"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("gone.txt"), std::string::npos) << "deleted (Yes without a terminal)";
  EXPECT_NE(run.out.find("notes.txt"), std::string::npos) << run.out;
}

TEST_F(ItemCommandsTest, OpenDecryptsLaunchesAndRemovesTheCopyWhenQvxEnds) {
  qvtest::Program open(root_, "qvx", {"open", In("Docs/Sub/deep.txt")}, Env(More()),
                       qvtest::PipedInput{});
  ASSERT_TRUE(open.Started());
  ASSERT_TRUE(qvtest::Eventually([&] { return !ReadTextFile(openerLog_).empty(); }))
      << open.Output();
  std::string opened = ReadTextFile(openerLog_);
  opened.pop_back();  // the line's end
  EXPECT_TRUE(opened.ends_with("/deep.txt")) << opened;
  EXPECT_EQ(ReadTextFile(opened), "deep");
  struct stat st {};
  ASSERT_EQ(stat(fs::path(opened).parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  open.Send("");
  const ProgramRun ended = open.Wait();
  EXPECT_EQ(ended.code, 0) << ended.err;
  EXPECT_FALSE(fs::exists(fs::path(opened).parent_path())) << "the private folder stays";

  // A qvx killed while the file is open leaves its private folder; the next program of the
  // suite that starts an operation sweeps it.
  {
    qvtest::Program killed(root_, "qvx", {"open", In("notes.txt")}, Env(More()),
                           qvtest::PipedInput{});
    ASSERT_TRUE(qvtest::Eventually([&] {
      return ReadTextFile(openerLog_).find("/notes.txt\n") != std::string::npos;
    })) << killed.Output();
    const std::string log = ReadTextFile(openerLog_);
    const size_t end = log.find("/notes.txt\n");
    const std::string leftover =
        log.substr(log.rfind('\n', end) + 1, end - log.rfind('\n', end) - 1);
    ASSERT_TRUE(fs::exists(leftover)) << leftover;
    kill(killed.Pid(), SIGKILL);
    (void)killed.Wait();
    ASSERT_TRUE(fs::exists(leftover)) << "a killed process removes nothing";
    const ProgramRun next = Run("qvx", {"open", In("keep.bin")});
    EXPECT_EQ(next.code, 0) << next.err;
    EXPECT_FALSE(fs::exists(leftover)) << leftover << " was not swept";
  }

  // A folder is not a file to open.
  const ProgramRun folder = Run("qvx", {"open", In("Docs")});
  EXPECT_EQ(folder.code, 2) << folder.err;
}

}  // namespace
