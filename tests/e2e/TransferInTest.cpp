// End to end: files and folders dropped into a container with qvx drop, as separate processes
// over a container that qvx's own context menu encrypted, with the password from
// QV_PASSWORD_FILE. What arrives is read back with qvx ls and by decrypting the container.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/SuiteServices.h"
#include "platform/Owned.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;
using qvtest::ProgramRun;
using qvtest::RunProgram;

class TransferInTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(RunProgram(root_, "qvx", {"register"}, Env()).code, 0);
    env_ = WithPassword("drop pw");
    ASSERT_EQ(RunProgram(root_, "qvenroll", {}, env_).code, 0);
    fs::create_directories(root_.Sub("Box/Docs"));
    WriteTextFile(root_.Sub("Box/report.txt"), "hello");
    WriteTextFile(root_.Sub("Box/Docs/data.txt"), "data");
    ASSERT_EQ(Run({"menu", "--run", "QVEncryptCMD", "--", root_.Sub("Box")}).code, 0);
    container_ = root_.Sub("Box.qvef");
    ASSERT_TRUE(fs::exists(container_));
    fs::create_directories(root_.Sub("in"));
  }
  qvtest::Environment Env() const {
    return {{"XDG_DATA_HOME", root_.Sub("data")}, {"XDG_CONFIG_HOME", root_.Sub("config")}};
  }
  qvtest::Environment WithPassword(const std::string& password) const {
    const std::string file = root_.Sub("password-" + std::to_string(password.size()));
    WriteTextFile(file, password + "\n");
    chmod(file.c_str(), 0600);
    qvtest::Environment env = Env();
    env.emplace_back("QV_PASSWORD_FILE", file);
    return env;
  }
  // qvx with the suite running, as the context menu and the drop need it.
  ProgramRun Run(const std::vector<std::string>& args) const { return RunAs(args, env_); }
  ProgramRun RunAs(const std::vector<std::string>& args, const qvtest::Environment& env) const {
    const OwnedHandle suite(CreateMutexA(nullptr, TRUE, kSuiteRunningMutex));
    EXPECT_TRUE(suite.Valid());
    const HeldMutex running(suite.Get());
    return RunProgram(root_, "qvx", args, env);
  }
  // The names qvx ls shows for `place`, one a line.
  std::string Names(const std::string& place) const {
    const ProgramRun run = Run({"ls", "--tsv", place});
    EXPECT_EQ(run.code, 0) << run.err;
    std::string names;
    size_t from = 0;
    while (from < run.out.size()) {
      const size_t tab = run.out.find('\t', from);
      const size_t end = run.out.find('\n', from);
      names += run.out.substr(from, tab - from) + "\n";
      from = end == std::string::npos ? run.out.size() : end + 1;
    }
    return names;
  }
  // The drop records (event 11) written so far: "result path" lines, oldest first.
  std::vector<std::string> DropRecords() const {
    QvUserStore store;
    EXPECT_EQ(store.Open(), QvStoreStatus::Ok);
    std::vector<QvAuditEntry> entries;
    QvAuditFilter filter;
    filter.eventType = 11;
    EXPECT_EQ(store.QueryAudit(filter, &entries), QvStoreStatus::Ok);
    std::vector<std::string> records;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
      records.push_back(std::to_string(it->result) + " " + it->path);
    return records;
  }
  std::string In(const std::string& name) const { return root_.Sub("in/" + name); }

  qvtest::Environment env_;
  std::string container_;
};

TEST_F(TransferInTest, ShiftDropsMoveOntoTheContainerAndIntoAFolderItem) {
  fs::create_directories(In("Tree/Empty"));
  fs::create_directories(In("Tree/Sub"));
  WriteTextFile(In("Tree/Sub/deep.txt"), "deep");
  WriteTextFile(In("big.bin"), std::string(1024 * 1024 + 1, 'b'));
  WriteTextFile(In("kept.txt"), "kept");

  ProgramRun run = Run({"drop", "--shift", In("big.bin"), In("Tree"), container_});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Moved 2 items into"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(In("big.bin")));
  EXPECT_FALSE(fs::exists(In("Tree")));
  run = Run({"drop", In("kept.txt"), container_ + "/Docs"});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_EQ(ReadTextFile(In("kept.txt")), "kept") << "a plain drop removed its source";

  EXPECT_EQ(Names(container_ + "/Docs"), "data.txt\nkept.txt\n");
  EXPECT_EQ(Names(container_ + "/Tree"), "Empty\nSub\n");
  EXPECT_EQ(DropRecords(), (std::vector<std::string>{"1 " + container_, "1 " + container_}));

  // Decrypting the whole container gives back every byte, empty folder included.
  ASSERT_EQ(Run({"menu", "--run", "QVDecryptCMD", "--", container_}).code, 0);
  EXPECT_EQ(ReadTextFile(root_.Sub("Box/big.bin")), std::string(1024 * 1024 + 1, 'b'));
  EXPECT_EQ(ReadTextFile(root_.Sub("Box/Tree/Sub/deep.txt")), "deep");
  EXPECT_TRUE(fs::is_directory(root_.Sub("Box/Tree/Empty")));
  EXPECT_EQ(ReadTextFile(root_.Sub("Box/Docs/kept.txt")), "kept");
}

TEST_F(TransferInTest, RefusedDropsChangeNothing) {
  WriteTextFile(In("a.txt"), "a");
  WriteTextFile(In("b.lnk"), "a shortcut");
  const std::string before = Names(container_);
  const auto containerBytes = fs::file_size(container_);

  // A shortcut among the files, and the container's own folder dropped onto it.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"drop", "--shift", In("a.txt"), In("b.lnk"), container_},
        std::vector<std::string>{"drop", root_.Path(), container_}}) {
    const ProgramRun run = Run(args);
    EXPECT_EQ(run.code, 5) << run.out << run.err;
    EXPECT_NE(run.err.find("refused"), std::string::npos) << run.err;
  }
  EXPECT_EQ(ReadTextFile(In("a.txt")), "a");
  EXPECT_EQ(fs::file_size(container_), containerBytes);
  EXPECT_EQ(Names(container_), before);
  EXPECT_TRUE(DropRecords().empty());

  // A wrong password: Invalid User, a failure record, nothing stored or removed.
  ProgramRun run = RunAs({"drop", "--shift", In("a.txt"), container_}, WithPassword("wrong"));
  EXPECT_EQ(run.code, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("Invalid User"), std::string::npos) << run.out;
  EXPECT_EQ(ReadTextFile(In("a.txt")), "a");
  EXPECT_EQ(Names(container_), before);
  EXPECT_EQ(DropRecords(), std::vector<std::string>{"4 " + container_});

  const struct {
    std::vector<std::string> args;
    int code;
    const char* message;
  } mistakes[] = {
      {{"drop", container_}, 2, "usage: qvx drop"},
      {{"drop", "--alt", In("a.txt"), container_}, 2, "unknown option"},
      {{"drop", In("missing.txt"), container_}, 2, "does not exist"},
      {{"drop", In("a.txt"), root_.Sub("in")}, 4, "does not run through a container"},
      {{"drop", In("a.txt"), container_ + "/report.txt"}, 1, "no folder \"report.txt\""},
  };
  for (const auto& c : mistakes) {
    run = Run(c.args);
    EXPECT_EQ(run.code, c.code) << c.args.back() << ": " << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
}

}  // namespace
