// Crash safety of container decryption: a child process restoring a container through the
// progress dialog is killed with SIGKILL at moments spread over the whole operation, from its
// first milliseconds to just after its end. After every kill the disk must hold the container
// byte for byte as it was (and, when the kill came after the folder got its name, the complete
// folder beside it), or the complete folder with the container gone; never a partial folder
// under the name the user knows. The files beside it are unchanged, nothing but one hidden
// work folder is left over, and running the decryption again in a fresh process succeeds.
//
// The moments are random with a printed seed (QV_CRASH_SEED replaces it); each failure names
// the run and its kill moment.
#include "tests/engine/CrashHarness.h"

namespace {

using namespace crash_test;

constexpr unsigned kDefaultSeed = 20261207;

class ContainerCrashTest : public CrashTest {
 protected:
  void SetUp() override {
    CrashTest::SetUp();
    if (HasFatalFailure()) return;
    const fs::path reference = root_.Sub("reference/docs");
    BuildReferenceFolder(reference);
    reference_ = Snapshot(reference);
    fs::copy(reference, folder_, fs::copy_options::recursive);
    std::string rows;
    ASSERT_EQ(RunInProcess(folder_.string(), true, &rows), IDOK) << rows;
    ASSERT_FALSE(Present(folder_));
    containerBytes_ = ReadAll(container_);
    ASSERT_FALSE(containerBytes_.empty());
    bystander_ = Snapshot(work_ / "bystander");
  }
  // Names in the work folder other than the bystanders, the container and its folder.
  std::vector<std::string> Leftovers() const { return NamesBesides({"docs", "docs.qvef"}); }
  bool IsWorkFolder(const std::string& name) const {
    return name.rfind(".docs.qvef-work-", 0) == 0 && fs::is_directory(work_ / name) &&
           !fs::is_symlink(work_ / name);
  }

  // Back to the start: the container as made, no folder, nothing left over.
  void Reset() {
    fs::remove_all(folder_);
    for (const std::string& name : Leftovers()) fs::remove_all(work_ / name);
    WriteAll(container_, containerBytes_);
  }

  // Runs the decryption again (in this process, which outlived the killed one): it must
  // restore the whole folder, remove the container and whatever the killed run left. A
  // complete folder already there is put aside.
  void ExpectDecryptsAgain(const std::string& where) {
    const bool hadFolder = Present(folder_);
    if (hadFolder) fs::rename(folder_, root_.Sub("aside"));
    std::string rows;
    EXPECT_EQ(RunInProcess(container_.string(), false, &rows), IDOK)
        << where << ": decrypting again:" << rows;
    EXPECT_EQ(Differences(reference_, Snapshot(folder_)), "") << where << ": decrypted again";
    EXPECT_FALSE(Present(container_)) << where << ": decrypting again kept the container";
    EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << where << ": left after decrypting again";
    if (hadFolder) fs::remove_all(root_.Sub("aside"));
  }

  fs::path folder_ = root_.Sub("work/docs");
  fs::path container_ = root_.Sub("work/docs.qvef");
  Tree reference_;
  Tree bystander_;
  std::string containerBytes_;
};

TEST_F(ContainerCrashTest, AKilledDecryptionLeavesTheContainerIntactOrTheWholeFolder) {
  constexpr int kKills = 20;
  std::vector<double> lengths;
  double setup = 0;
  for (int i = 0; i < 3; ++i) {
    const ChildRun measured = RunChild(container_.string(), false, std::nullopt);
    ASSERT_TRUE(measured.ExitedWith(0)) << "an uninterrupted run " << measured.Describe();
    ASSERT_EQ(Differences(reference_, Snapshot(folder_)), "");
    ASSERT_FALSE(Present(container_));
    ASSERT_EQ(Leftovers(), std::vector<std::string>{});
    lengths.push_back(Millis(measured.length));
    setup = Millis(measured.setup);
    Reset();
  }
  const unsigned seed = Seed(kDefaultSeed);
  std::printf(
      "[ crash    ] docs.qvef: whole runs take %.1f, %.1f, %.1f ms after the log-on (%.1f ms); "
      "seed %u\n",
      lengths[0], lengths[1], lengths[2], setup, seed);
  std::mt19937 random(seed);
  const std::vector<double> fractions = SpreadFractions(kKills, random);

  int during = 0, containerOnly = 0, both = 0, folderOnly = 0, failed = 0, ran = 0;
  // Before the spread moments, one kill aims at the narrow end of the operation: the folder
  // has its name and the container is still there.
  const auto folderNamed = [&] { return Present(folder_) && Present(container_); };
  for (int i = 0; i <= kKills && failed < 3; ++i) {  // three failed runs tell enough
    ++ran;
    const bool atEnd = i == 0;
    const double killAt = atEnd ? 0 : fractions[i - 1] * Scale(lengths);
    char label[160];
    if (atEnd)
      std::snprintf(label, sizeof label, "run %d (seed %u, kill when docs has its name)", i, seed);
    else
      std::snprintf(label, sizeof label, "run %d (seed %u, kill at %.1f ms = %.3f x %.1f ms)", i,
                    seed, killAt, fractions[i - 1], Scale(lengths));
    const std::string where = label;
    const int partsBefore =
        ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();

    const ChildRun run = atEnd ? RunChild(container_.string(), false, std::nullopt, folderNamed)
                               : RunChild(container_.string(), false,
                                          std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double, std::milli>(killAt)));
    if (run.killed && run.started && !run.ended) ++during;

    // The container is whole or gone; a folder under its name is complete.
    const bool containerThere = Present(container_);
    const Tree folder = Snapshot(folder_);
    const char* state = "damaged";
    if (containerThere && ReadAll(container_) != containerBytes_) {
      ADD_FAILURE() << where << ": the container changed";
    } else if (!folder.empty() && folder != reference_) {
      ADD_FAILURE() << where
                    << ": a partial folder has the name:" << Differences(reference_, folder);
    } else if (containerThere) {
      state = folder.empty() ? "container" : "container and folder";
      ++(folder.empty() ? containerOnly : both);
    } else if (!folder.empty()) {
      state = "folder";
      ++folderOnly;
    } else {
      ADD_FAILURE() << where << ": the container is gone and the folder is missing";
    }
    EXPECT_EQ(Differences(bystander_, Snapshot(work_ / "bystander")), "") << where;
    int workFolders = 0;
    for (const std::string& name : Leftovers()) {
      if (IsWorkFolder(name))
        ++workFolders;
      else
        ADD_FAILURE() << where << ": left behind " << name;
    }
    EXPECT_LE(workFolders, 1) << where;
    if (!run.killed) {  // the child ended by itself: the operation is complete
      lengths.push_back(Millis(run.length));
      EXPECT_TRUE(run.ExitedWith(0)) << where << ": the child " << run.Describe();
      EXPECT_STREQ(state, "folder") << where << ": ended, but not done";
    }
    if (containerThere) ExpectDecryptsAgain(where);

    std::printf("[ crash    ] %s: %s; left %s, %d work folder(s)\n", label,
                !run.killed || run.ended ? "after"
                : run.started            ? "during"
                                         : "before",
                state, workFolders);
    if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() !=
        partsBefore)
      ++failed;
    Reset();
  }
  std::printf(
      "[ crash    ] docs.qvef: %d kills, %d during the operation; the disk held the container "
      "alone %d times, container and folder %d times, the folder alone %d times\n",
      ran, during, containerOnly, both, folderOnly);
  RecordProperty("seed", static_cast<int>(seed));
  if (ran > kKills) {
    EXPECT_GE(during, 3) << "too few kills landed during an operation";
  }
}

}  // namespace
