// `qvclient encrypt|decrypt` of a folder ended by SIGTERM at moments spread over the
// operation, as a session that logs out or a service manager ends it: the signal cancels the
// operation like Cancel, so the disk holds the source or the complete output, never a work
// folder, and the program says it was cancelled. What a killed decryption leaves is removed
// by the next program of the suite that starts.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class InterruptedProgramsTest : public qvtest::ProgramsFixture {
 protected:
  std::string W(const std::string& name) const { return work_ + "/" + name; }

  // Names in the work folder other than the folder and its container.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(work_))
      if (entry.path().filename() != "docs" && entry.path().filename() != "docs.qvef")
        names.push_back(entry.path().filename().string());
    return names;
  }

  // Runs qvclient `verb` on `path` to its end; its length.
  double Whole(const std::string& verb, const std::string& path) {
    const auto start = Clock::now();
    const qvtest::ProgramRun run = qvtest::RunProgram(root_, "qvclient", {verb, path}, Env());
    EXPECT_EQ(run.code, 0) << run.out << run.err;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const auto [fastest, first] = fastestMs_.emplace(verb, ms);
    if (!first) fastest->second = std::min(fastest->second, ms);
    return ms;
  }

  // `fraction` of the shortest whole run of `verb` so far: a first run slowed by other work
  // on the machine would put the moments after the end.
  double Moment(const std::string& verb, double fraction) const {
    return fraction * fastestMs_.at(verb);
  }

  // Starts qvclient `verb` on `path` and sends SIGTERM `afterMs` later; what it printed.
  qvtest::ProgramRun Terminated(const std::string& verb, const std::string& path, double afterMs) {
    qvtest::Program program(root_, "qvclient", {verb, path}, Env());
    EXPECT_TRUE(program.Started());
    usleep(static_cast<useconds_t>(afterMs * 1000));
    kill(program.Pid(), SIGTERM);
    return program.Wait();
  }

  std::map<std::string, double> fastestMs_;
};

TEST_F(InterruptedProgramsTest, SigtermLeavesTheSourceOrTheCompleteOutputAndNoWorkFolder) {
  ASSERT_EQ(qvtest::RunProgram(root_, "qvenroll", {}, Env()).code, 0);
  const std::string docs = W("docs");
  fs::create_directories(docs + "/sub");
  for (int i = 0; i < 400; ++i)
    WriteTextFile(docs + (i % 3 == 0 ? "/sub/f" : "/f") + std::to_string(i),
                  std::string(2000 + i * 37, static_cast<char>('a' + i % 26)));
  WriteTextFile(docs + "/large", std::string(6 << 20, 'L'));
  const auto tree = TreeOf(docs, "<dir>");

  for (int round = 0; round < 2; ++round) {
    ASSERT_GT(Whole("encrypt", docs), 0);
    ASSERT_GT(Whole("decrypt", docs + ".qvef"), 0);
  }
  ASSERT_EQ(TreeOf(docs, "<dir>"), tree);

  int cancelled = 0;
  for (const double fraction : {0.35, 0.55, 0.75, 0.9}) {
    const std::string where = "SIGTERM at " + std::to_string(fraction) + " of an encryption";
    const qvtest::ProgramRun run = Terminated("encrypt", docs, Moment("encrypt", fraction));
    const bool stored = !fs::exists(docs) && fs::exists(docs + ".qvef");
    EXPECT_TRUE(stored || (TreeOf(docs, "<dir>") == tree && !fs::exists(docs + ".qvef")))
        << where << ": " << run.out << run.err;
    EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << where;
    // (A signal that comes before the program is ready ends it as the default would.)
    if (run.code > 0) {
      ++cancelled;
      EXPECT_NE(run.out.find("Terminated: "), std::string::npos) << where << ": " << run.out;
    }
    if (stored) {
      ASSERT_GT(Whole("decrypt", docs + ".qvef"), 0);
    }
    ASSERT_EQ(TreeOf(docs, "<dir>"), tree) << where;
  }

  ASSERT_GT(Whole("encrypt", docs), 0);
  for (const double fraction : {0.35, 0.55, 0.75, 0.9}) {
    const std::string where = "SIGTERM at " + std::to_string(fraction) + " of a decryption";
    const std::string before = ReadTextFile(docs + ".qvef");
    const qvtest::ProgramRun run =
        Terminated("decrypt", docs + ".qvef", Moment("decrypt", fraction));
    const bool restored = !fs::exists(docs + ".qvef");
    if (restored) {
      EXPECT_EQ(TreeOf(docs, "<dir>"), tree) << where;
    } else {
      EXPECT_TRUE(!fs::exists(docs) && ReadTextFile(docs + ".qvef") == before)
          << where << ": " << run.out << run.err;
    }
    EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << where;
    if (run.code > 0) ++cancelled;
    if (restored) {
      ASSERT_GT(Whole("encrypt", docs), 0);
    }
  }
  // The moments must fall inside operations, or nothing was shown.
  EXPECT_GE(cancelled, 2);

  // A decryption killed outright leaves its work folder with partial plain files in it; the
  // next program of the suite to start removes it, whatever it was started for.
  for (const double fraction : {0.6, 0.4, 0.8, 0.5}) {
    if (!fs::exists(docs + ".qvef")) {
      ASSERT_GT(Whole("encrypt", docs), 0);
    }
    {
      qvtest::Program program(root_, "qvclient", {"decrypt", docs + ".qvef"}, Env());
      usleep(static_cast<useconds_t>(Moment("decrypt", fraction) * 1000));
      kill(program.Pid(), SIGKILL);
      (void)program.Wait();
    }
    if (Leftovers().empty()) continue;  // the kill came before or after the work folder
    ASSERT_EQ(qvtest::RunProgram(root_, "qvclient", {"status"}, Env()).code, 3);  // not running
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    return;
  }
  ADD_FAILURE() << "no kill left a work folder behind";
}

}  // namespace
