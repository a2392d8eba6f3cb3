// qvx copy, move and drag as programs over a container that qvclient encrypted, without a
// terminal, the password from QV_PASSWORD_FILE: what leaves the container arrives whole, a cut
// removes from the container only what arrived, and a full decryption of the container
// afterwards shows exactly what stayed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "base/SuiteServices.h"
#include "platform/Owned.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;
using qvtest::ProgramRun;

// Bytes as a failure message can show them: a large file by its size and a hash of it.
std::string Shown(const std::string& bytes) {
  if (bytes.size() <= 64) return bytes;
  return "<" + std::to_string(bytes.size()) + " bytes, hash " +
         std::to_string(std::hash<std::string>{}(bytes)) + ">";
}

// Relative path -> "dir" or the file's bytes (see Shown), for everything below `folder`.
std::map<std::string, std::string> Tree(const std::string& folder) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    entries[fs::relative(entry.path(), folder).string()] =
        entry.is_directory() ? "dir" : Shown(ReadTextFile(entry.path().string()));
  return entries;
}

// Runs `sql` over the container; the first column of its first row, -1 when there is none.
int Query(const std::string& container, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;
  int value = -1;
  if (sqlite3_open(container.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    value = sqlite3_column_int(statement, 0);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

int Stored(const std::string& container, const std::string& name) {
  return Query(container, "SELECT COUNT(*) FROM FILE_INFO WHERE FILE_NAME = '" + name + ".qvf'");
}

class TransferOutTest : public qvtest::ProgramsFixture {
 protected:
  void SetUp() override {
    ProgramsFixture::SetUp();
    if (HasFatalFailure()) return;
    // The suite runs, as drops into a container need it.
    suite_ = OwnedHandle(CreateMutexA(nullptr, TRUE, kSuiteRunningMutex));
    ASSERT_TRUE(suite_.Valid());
    running_ = HeldMutex(suite_.Get());
    ASSERT_EQ(Run("qvenroll", {}).code, 0);
    ASSERT_EQ(Run("qvx", {"register"}).code, 0);
    box_ = work_ + "/Box";
    fs::create_directories(box_ + "/Docs/Empty");
    fs::create_directories(box_ + "/Docs/Sub/Deeper");
    WriteTextFile(box_ + "/Docs/a.txt", "alpha");
    WriteTextFile(box_ + "/Docs/Sub/b.txt", "bravo");
    WriteTextFile(box_ + "/big.bin", big_);
    WriteTextFile(box_ + "/keep.txt", "keep");
    const ProgramRun encrypted = Run("qvclient", {"encrypt", box_});
    ASSERT_EQ(encrypted.code, 0) << encrypted.out << encrypted.err;
    container_ = box_ + ".qvef";
    ASSERT_TRUE(fs::exists(container_));
  }
  qvtest::Environment More() const {
    return {{"XDG_DATA_HOME", root_.Sub("data")}, {"XDG_CONFIG_HOME", root_.Sub("config")}};
  }
  ProgramRun Run(const std::string& program, const std::vector<std::string>& args) const {
    return qvtest::RunProgram(root_, program, args, Env(More()));
  }
  std::string In(const std::string& inner) const { return container_ + "/" + inner; }
  std::string Folder(const std::string& name) const {
    const std::string folder = work_ + "/" + name;
    fs::create_directories(folder);
    return folder;
  }
  // What a full decryption of the container gives back.
  std::map<std::string, std::string> Decrypted() {
    const ProgramRun run = Run("qvclient", {"decrypt", container_});
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    return Tree(box_);
  }

  const std::string big_ = std::string(1024 * 1024 + 1, 'B');
  std::string box_, container_;
  OwnedHandle suite_;
  HeldMutex running_;
};

TEST_F(TransferOutTest, CopyAndCutOutTakeTheTreeWithEmptyFoldersAndACutLeavesTheContainer) {
  const std::map<std::string, std::string> tree = {
      {"Docs", "dir"},         {"Docs/a.txt", "alpha"},    {"Docs/Empty", "dir"},
      {"Docs/Sub", "dir"},     {"Docs/Sub/Deeper", "dir"}, {"Docs/Sub/b.txt", "bravo"},
      {"big.bin", Shown(big_)}};
  const std::string copied = Folder("copied");
  ProgramRun run = Run("qvx", {"copy", In("Docs"), In("big.bin"), copied});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_EQ(Tree(copied), tree);
  EXPECT_EQ(Stored(container_, "a.txt"), 1) << "a copy leaves the container as it was";

  // The same again: every name is taken, and without a terminal nothing is replaced.
  WriteTextFile(copied + "/big.bin", "mine");
  run = Run("qvx", {"copy", In("big.bin"), copied});
  EXPECT_EQ(run.code, 1) << run.err;
  EXPECT_EQ(ReadTextFile(copied + "/big.bin"), "mine");

  const std::string moved = Folder("moved");
  run = Run("qvx", {"move", In("Docs"), In("big.bin"), moved});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_EQ(Tree(moved), tree);
  EXPECT_NE(run.out.find("Moved 7 items"), std::string::npos) << run.out;

  // A session copies with the view's key and pastes; a paste with nothing copied fails.
  const std::string pasted = Folder("pasted");
  run = qvtest::RunProgram(root_, "qvx", {"session"}, Env(More()),
                           "paste " + pasted + "\ncd " + container_ +
                               "\nselect keep.txt\nkey Ctrl+C\npaste " + pasted + "\n");
  EXPECT_EQ(run.code, 1) << run.err;
  EXPECT_NE(run.err.find("line 1: paste"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("line 5"), std::string::npos) << run.err;
  EXPECT_EQ(ReadTextFile(pasted + "/keep.txt"), "keep");
  EXPECT_EQ(Decrypted(), (std::map<std::string, std::string>{{"keep.txt", "keep"}}));
}

TEST_F(TransferOutTest, DragsAndMovesBetweenPlainFoldersAndContainersRemoveSourcesOnceStored) {
  const std::string dragged = Folder("dragged");
  ProgramRun run = Run("qvx", {"drag", In("keep.txt"), dragged});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_EQ(ReadTextFile(dragged + "/keep.txt"), "keep");
  EXPECT_EQ(Stored(container_, "keep.txt"), 1) << "a drag out with no key held copies";
  run = Run("qvx", {"drag", "--shift", In("Docs/a.txt"), dragged});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_EQ(ReadTextFile(dragged + "/a.txt"), "alpha");
  EXPECT_EQ(Stored(container_, "a.txt"), 0);

  // In again: a plain file dragged with Shift and one moved, each gone once stored.
  run = Run("qvx", {"drag", "--shift", dragged + "/a.txt", In("Docs/Sub")});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_FALSE(fs::exists(dragged + "/a.txt"));
  WriteTextFile(dragged + "/new.txt", "new");
  run = Run("qvx", {"move", dragged + "/new.txt", In("Docs")});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_FALSE(fs::exists(dragged + "/new.txt"));
  // Between containers (here within one): stored in Docs, then gone from the root.
  run = Run("qvx", {"move", In("keep.txt"), In("Docs")});
  ASSERT_EQ(run.code, 0) << run.out << run.err;

  const struct {
    std::vector<std::string> args;
    int code;
  } refusals[] = {
      {{"copy", In("big.bin")}, 2},
      {{"copy", dragged + "/keep.txt", dragged}, 4},
      {{"move", In("big.bin"), work_ + "/missing"}, 2},
      {{"copy", In("big.bin"), dragged + "/keep.txt", dragged}, 2},
      {{"drag", "--alt", In("big.bin"), dragged}, 2},
      {{"copy", In("nothing.bin"), dragged}, 1},
  };
  for (const auto& c : refusals) {
    run = Run("qvx", c.args);
    EXPECT_EQ(run.code, c.code) << c.args.back() << ": " << run.err;
    EXPECT_FALSE(run.err.empty());
  }

  EXPECT_EQ(Decrypted(), (std::map<std::string, std::string>{{"Docs", "dir"},
                                                             {"Docs/Empty", "dir"},
                                                             {"Docs/Sub", "dir"},
                                                             {"Docs/Sub/Deeper", "dir"},
                                                             {"Docs/Sub/a.txt", "alpha"},
                                                             {"Docs/Sub/b.txt", "bravo"},
                                                             {"Docs/keep.txt", "keep"},
                                                             {"Docs/new.txt", "new"},
                                                             {"big.bin", Shown(big_)}}));
}

TEST_F(TransferOutTest, ATamperedFileMetDuringACutStaysAndTheRestMoves) {
  const int id = Query(container_, "SELECT FILE_ID FROM FILE_INFO WHERE FILE_NAME = 'b.txt.qvf'");
  ASSERT_GT(id, 0);
  const std::string block =
      "(SELECT MAX(BLOCK_ID) FROM FILE_DATA WHERE FILE_ID = " + std::to_string(id) + ")";
  (void)Query(container_,
              "UPDATE FILE_DATA SET BLOCK_DATA = zeroblob(length(BLOCK_DATA)) WHERE "
              "FILE_ID = " +
                  std::to_string(id) + " AND BLOCK_ID = " + block);
  const std::string out = Folder("out");
  const ProgramRun run = Run("qvx", {"move", In("Docs"), out});
  EXPECT_EQ(run.code, 1) << run.out << run.err;
  EXPECT_NE(run.err.find("b.txt"), std::string::npos) << run.err;
  EXPECT_EQ(ReadTextFile(out + "/Docs/a.txt"), "alpha");
  EXPECT_FALSE(fs::exists(out + "/Docs/Sub/b.txt"));
  EXPECT_EQ(Stored(container_, "a.txt"), 0) << "what arrived moved";
  EXPECT_EQ(Stored(container_, "b.txt"), 1) << "what did not arrive stays";
  // The container still lists what it holds: the rest still comes back out.
  const std::string rest = Folder("rest");
  const ProgramRun copy = Run("qvx", {"copy", In("big.bin"), In("keep.txt"), rest});
  EXPECT_EQ(copy.code, 0) << copy.err;
  EXPECT_EQ(Shown(ReadTextFile(rest + "/big.bin")), Shown(big_));
}

TEST_F(TransferOutTest, AKilledCutPasteLeavesEveryRowWhoseFileDidNotArriveWhole) {
  // A few large files so that the paste is under way when it is killed.
  const std::string more = work_ + "/More";
  fs::create_directories(more);
  for (int i = 0; i < 4; ++i)
    WriteTextFile(more + "/part" + std::to_string(i) + ".bin",
                  std::string(24 * 1024 * 1024, static_cast<char>('a' + i)));
  ASSERT_EQ(Run("qvx", {"copy", more, container_}).code, 0);
  fs::remove_all(more);
  const std::string out = Folder("killed");
  {
    qvtest::Program paste(root_, "qvx", {"move", In("More"), out}, Env(More()));
    ASSERT_TRUE(paste.Started());
    ASSERT_TRUE(qvtest::Eventually([&] {
      std::error_code error;
      return fs::exists(out + "/More", error) && !fs::is_empty(out + "/More", error);
    })) << "the paste never started";
    kill(paste.Pid(), SIGKILL);
    (void)paste.Wait();
  }
  int arrived = 0;
  for (int i = 0; i < 4; ++i) {
    const std::string name = "part" + std::to_string(i) + ".bin";
    const std::string path = out + "/More/" + name;
    const bool whole =
        fs::exists(path) && ReadTextFile(path) == std::string(24 * 1024 * 1024, 'a' + i);
    arrived += whole ? 1 : 0;
    if (!whole) {
      EXPECT_EQ(Stored(container_, name), 1) << name << " was lost";
    }
  }
  // No half-written file carries a final name.
  for (const auto& entry : fs::directory_iterator(out + "/More"))
    if (entry.path().extension() == ".bin") {
      EXPECT_EQ(fs::file_size(entry.path()), 24u * 1024 * 1024) << entry.path();
    }
  const std::map<std::string, std::string> decrypted = Decrypted();
  EXPECT_EQ(decrypted.count("keep.txt"), 1u);
  EXPECT_LT(arrived, 4) << "killed only after everything arrived: the test proves nothing";
}

}  // namespace
