// qvx rm, rename, decrypt-to and open as programs over a container that qvclient encrypted,
// without a terminal, the password from QV_PASSWORD_FILE: what they change is what a full
// decryption of the container gives back afterwards. An opened file is looked after by the
// suite's decrypted-file monitor (registered by qvenroll), a process of its own: a save in it
// goes back into the container, and its plain copy goes once no program holds it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;
using qvtest::Environment;
using qvtest::ProgramRun;

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
  void TearDown() override {
    // The monitor ends by itself when idle; one a test left busy goes now.
    if (const pid_t pid = MonitorPid(); pid > 0) (void)kill(pid, SIGKILL);
    ProgramsFixture::TearDown();
  }
  Environment More() const {
    return {{"XDG_DATA_HOME", root_.Sub("data")},
            {"XDG_CONFIG_HOME", root_.Sub("config")},
            {"QV_MONITOR_QUIET_MS", "300"},
            {"QV_MONITOR_UNHELD_MS", "1500"},
            {"QV_MONITOR_IDLE_MS", "2000"}};
  }
  std::string MonitorState() const {
    return std::string(std::getenv("QV_ROOT")) + "/monitor-" + std::to_string(getuid());
  }
  pid_t MonitorPid() const {
    std::ifstream in(MonitorState() + "/pid");
    int pid = 0;
    in >> pid;
    return pid;
  }
  // The opener stand-in: records the path, then runs `then` (a shell line; "$1" is the file).
  void OpenerThen(const std::string& then) const {
    WriteTextFile(opener_,
                  "#!/bin/sh\nprintf '%s\\n' \"$@\" >> " + openerLog_ + "\n" + then + "\n");
  }
  // Opens `inner` with qvx and waits for the opener; the plain copy's path.
  std::string OpenAndWait(const std::string& inner, std::unique_ptr<qvtest::Program>* program) {
    *program =
        std::make_unique<qvtest::Program>(root_, "qvx", std::vector<std::string>{"open", In(inner)},
                                          Env(More()), qvtest::PipedInput{});
    const std::string name = "/" + fs::path(inner).filename().string() + "\n";
    if (!qvtest::Eventually(
            [&] { return ReadTextFile(openerLog_).find(name) != std::string::npos; }))
      return {};
    const std::string log = ReadTextFile(openerLog_);
    const size_t end = log.find(name);
    const size_t start = log.rfind('\n', end) == std::string::npos ? 0 : log.rfind('\n', end) + 1;
    return log.substr(start, end + name.size() - 1 - start);
  }
  // What a full decryption of the container (a copy of it) gives back.
  std::map<std::string, std::string> Decrypted(const std::string& container) {
    const std::string out = work_ + "/check";
    fs::remove_all(out);
    fs::create_directories(out);
    fs::copy_file(container, out + "/Box.qvef");
    const ProgramRun run = Run("qvclient", {"decrypt", out + "/Box.qvef"});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    return TreeOf(out + "/Box", "dir");
  }
  std::vector<std::string> KeptEdits() const {
    std::vector<std::string> kept;
    if (!fs::exists(MonitorState() + "/kept")) return kept;
    for (const auto& entry : fs::directory_iterator(MonitorState() + "/kept"))
      if (entry.path().extension() != ".record") kept.push_back(ReadTextFile(entry.path()));
    return kept;
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
      {{"rm", In("gone.txt")}, 1, "not deleted (not confirmed; without a terminal, --yes"},
      {{"rm", work_ + "/Plain.qvef.none/x"}, 6, "no such file or folder"},
      {{"decrypt-to", In("keep.bin"), work_ + "/missing"}, 2, "no folder"},
  };
  for (const auto& c : refusals) {
    run = Run("qvx", c.args);
    EXPECT_EQ(run.code, c.code) << c.args.back() << ": " << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
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
  EXPECT_EQ(TreeOf(out, "dir").size(), 1u) << "no encrypted copy stays behind";

  run = Run("qvclient", {"decrypt", container_});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  const std::map<std::string, std::string> expected = {{"renamed notes.txt", "my notes"},
                                                       {"keep.bin", std::string(70000, 'k')}};
  EXPECT_EQ(TreeOf(box_, "dir"), expected);
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
  // The monitor took the copy over: it goes once no program was seen with it for a while.
  EXPECT_TRUE(qvtest::Eventually([&] { return !fs::exists(fs::path(opened).parent_path()); }))
      << "the private folder stays";

  // A qvx killed while the file is open leaves its private folder to the monitor, which
  // removes it all the same.
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
    EXPECT_TRUE(qvtest::Eventually([&] { return !fs::exists(leftover); }))
        << leftover << " was not removed";
  }

  // A folder is not a file to open.
  const ProgramRun folder = Run("qvx", {"open", In("Docs")});
  EXPECT_EQ(folder.code, 2) << folder.err;
}

TEST_F(ItemCommandsTest, AnEditSavedInAnOpenedFileIsStoredBackAndNoPlainCopyRemains) {
  // The application saves new bytes and exits, as an editor would.
  OpenerThen("printf 'deep, edited' > \"$1\"");
  std::unique_ptr<qvtest::Program> open;
  const std::string copy = OpenAndWait("Docs/Sub/deep.txt", &open);
  ASSERT_FALSE(copy.empty()) << open->Output();
  ASSERT_TRUE(qvtest::Eventually([&] { return !fs::exists(fs::path(copy).parent_path()); }))
      << "the plain copy stays: " << copy;
  open->Send("");
  EXPECT_EQ(open->Wait().code, 0);
  EXPECT_TRUE(KeptEdits().empty()) << "the edit was kept instead of stored";
  const auto tree = Decrypted(container_);
  EXPECT_EQ(tree.at("Docs/Sub/deep.txt"), "deep, edited");
  EXPECT_EQ(tree.at("notes.txt"), "my notes");
  EXPECT_EQ(tree.at("keep.bin"), std::string(70000, 'k'));
  // The rows still check: a later change through the view is accepted.
  const ProgramRun renamed = Run("qvx", {"rename", In("Docs/Sub/deep.txt"), "deeper.txt"});
  EXPECT_EQ(renamed.code, 0) << renamed.err;
}

TEST_F(ItemCommandsTest, AnEditTheContainerCannotTakeIsKeptNeverLost) {
  // Held by another writer for the whole time the copy is looked after.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(container_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    OpenerThen("printf 'busy edit' > \"$1\"");
    std::unique_ptr<qvtest::Program> open;
    const std::string copy = OpenAndWait("notes.txt", &open);
    ASSERT_FALSE(copy.empty()) << open->Output();
    EXPECT_TRUE(qvtest::Eventually([&] { return KeptEdits().size() == 1; })) << open->Output();
    EXPECT_FALSE(fs::exists(copy));
    (void)sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    open->Send("");
    (void)open->Wait();
  }
  EXPECT_EQ(KeptEdits(), std::vector<std::string>{"busy edit"});
  EXPECT_EQ(Decrypted(container_).at("notes.txt"), "my notes") << "changed while held";

  // Moved away before the save: the edit is kept, the container stays as it was.
  const std::string away = work_ + "/away.qvef";
  OpenerThen("mv '" + container_ + "' '" + away + "' && printf 'gone edit' > \"$1\"");
  std::unique_ptr<qvtest::Program> open;
  const std::string copy = OpenAndWait("Docs/Sub/deep.txt", &open);
  ASSERT_FALSE(copy.empty()) << open->Output();
  EXPECT_TRUE(qvtest::Eventually([&] { return KeptEdits().size() == 2; }));
  open->Send("");
  (void)open->Wait();
  auto kept = KeptEdits();
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<std::string>{"busy edit", "gone edit"}));
  EXPECT_EQ(Decrypted(away).at("Docs/Sub/deep.txt"), "deep");
}

TEST_F(ItemCommandsTest, ACopyLeftByAKilledMonitorIsStoredAndSweptByTheNextOne) {
  std::unique_ptr<qvtest::Program> open;
  const std::string copy = OpenAndWait("notes.txt", &open);
  ASSERT_FALSE(copy.empty()) << open->Output();
  const pid_t monitor = MonitorPid();
  ASSERT_GT(monitor, 0);
  ASSERT_EQ(kill(monitor, SIGKILL), 0);
  open->Send("");
  (void)open->Wait();
  // Saved while no monitor ran; the copy and its record stay where they were.
  WriteTextFile(copy, "edited while nobody watched");
  ASSERT_TRUE(fs::exists(copy));
  // The next file opened starts a monitor, which takes up what the killed one left.
  std::unique_ptr<qvtest::Program> next;
  ASSERT_FALSE(OpenAndWait("keep.bin", &next).empty()) << next->Output();
  EXPECT_TRUE(qvtest::Eventually([&] { return !fs::exists(fs::path(copy).parent_path()); }))
      << copy << " was not swept";
  next->Send("");
  (void)next->Wait();
  EXPECT_TRUE(KeptEdits().empty());
  EXPECT_EQ(Decrypted(container_).at("notes.txt"), "edited while nobody watched");
}

}  // namespace
