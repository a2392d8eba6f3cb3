// Crash safety of encryption: a child process encrypting a folder through the progress
// dialog is killed with SIGKILL at moments spread over the whole operation, from its first
// milliseconds to just after its end. After every kill the disk must hold either the untouched
// source folder or, once the operation completed, a complete container that decrypts back to
// the original tree; the files beside it are unchanged, nothing but one hidden work folder is
// left over, and running the encryption again in a fresh process succeeds. The same harness
// kills the encryption of a single large file.
//
// The child logs on before the parent lets it start, so the moments count from the start of
// the operation itself. They are random with a printed seed (QV_CRASH_SEED replaces it); each
// failure names the run and its kill moment.
#include "tests/engine/CrashHarness.h"

namespace {

using namespace crash_test;

constexpr unsigned kDefaultSeed = 20240611;

class FolderCrashTest : public CrashTest {
 protected:
  void SetUp() override {
    CrashTest::SetUp();
    if (HasFatalFailure()) return;
    WriteAll(work_ / "bystander" / "empty", "");
    WriteAll(work_ / "bystander" / "secret.txt", "an encrypted file beside the source\n");
    std::string rows;
    ASSERT_EQ(RunInProcess((work_ / "bystander" / "secret.txt").string(), true, &rows), IDOK)
        << rows;
    ASSERT_TRUE(Present(work_ / "bystander" / "secret.txt.qvf"));
    bystander_ = Snapshot(work_ / "bystander");
    notes_ = ReadAll(work_ / "notes.txt");
  }
  // Names in the work folder other than the bystanders, the source and its output.
  std::vector<std::string> Leftovers() const {
    return NamesBesides({source_.filename().string(), output_.filename().string()});
  }
  // A leftover the engine may leave: its hidden work folder.
  bool IsWorkFolder(const std::string& name) const {
    return !workPrefix_.empty() && name.rfind(workPrefix_, 0) == 0 &&
           fs::is_directory(work_ / name) && !fs::is_symlink(work_ / name);
  }

  void ExpectBystandersUnchanged(const std::string& where) const {
    EXPECT_EQ(Differences(bystander_, Snapshot(work_ / "bystander")), "") << where;
    EXPECT_EQ(ReadAll(work_ / "notes.txt"), notes_) << where;
  }

  // Decrypts the output in this process: it must succeed, restore exactly the reference and
  // remove the output. A source that is still there (the kill came between the output's
  // completion and the source's removal) is put aside meanwhile.
  void ExpectOutputDecrypts(const std::string& where) {
    const fs::path aside = root_.Sub("aside");
    const bool hadSource = Present(source_);
    if (hadSource) fs::rename(source_, aside);
    const std::vector<std::string> before = Leftovers();
    std::string rows;
    EXPECT_EQ(RunInProcess(output_.string(), false, &rows), IDOK)
        << where << ": decryption:" << rows;
    EXPECT_EQ(Differences(reference_, Snapshot(source_)), "") << where << ": decrypted output";
    EXPECT_FALSE(Present(output_)) << where << ": decryption kept its input";
    const std::vector<std::string> after = Leftovers();
    EXPECT_TRUE(std::includes(before.begin(), before.end(), after.begin(), after.end()))
        << where << ": decryption left something behind";
    if (hadSource) fs::remove_all(aside);
  }

  // Brings the work folder back to the state before a run: the source as the reference, no
  // output, no leftovers.
  void Reset() {
    fs::remove_all(source_);
    fs::remove_all(output_);
    for (const std::string& name : Leftovers()) fs::remove_all(work_ / name);
    fs::copy(referencePath_, source_, fs::copy_options::recursive);
  }

  static int FailureParts() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  }

  // The whole check: `kills` runs, each killed at its own moment, checked, then run again.
  void KillAtSpreadMoments(int kills) {
    fs::copy(referencePath_, source_, fs::copy_options::recursive);
    reference_ = Snapshot(source_);
    ASSERT_EQ(Differences(reference_, Snapshot(referencePath_)), "");

    // Whole runs set the scale of the kill moments. The machine is shared and the length of
    // a run drifts with its load, so the scale is the middle of the last three runs that
    // ended by themselves (these three, then every run again and every killed child that
    // finished first).
    std::vector<double> lengths;
    auto scale = [&lengths] { return Scale(lengths); };
    double setup = 0;
    for (int i = 0; i < 3; ++i) {
      const ChildRun measured = RunChild(source_.string(), true, std::nullopt);
      ASSERT_TRUE(measured.ExitedWith(0)) << "an uninterrupted run " << measured.Describe();
      ASSERT_TRUE(Present(output_));
      ASSERT_FALSE(Present(source_));
      ASSERT_EQ(Leftovers(), std::vector<std::string>{});
      if (i == 0)
        ExpectOutputDecrypts("a whole run");
      else
        Reset();
      ASSERT_FALSE(HasFailure());
      lengths.push_back(Millis(measured.length));
      setup = Millis(measured.setup);
    }
    const unsigned seed = Seed(kDefaultSeed);
    std::printf(
        "[ crash    ] %s: whole runs take %.1f, %.1f, %.1f ms after the log-on (%.1f ms); "
        "seed %u\n",
        source_.filename().c_str(), lengths[0], lengths[1], lengths[2], setup, seed);

    std::mt19937 random(seed);
    const std::vector<double> fractions = SpreadFractions(kills, random);

    int before = 0, during = 0, after = 0;               // by what the child told
    int intact = 0, both = 0, complete = 0, failed = 0;  // by what the disk holds
    int ran = 0;
    // Before the spread moments, one kill aims at the narrow end of the operation: the output
    // has its name and the source folder has begun to go.
    const auto topEntries = [](const fs::path& folder) {
      std::error_code ec;
      auto it = fs::directory_iterator(folder, ec);
      return ec ? 0 : std::distance(it, fs::directory_iterator());
    };
    // (For a file: the output has its name.)
    const bool folder = fs::is_directory(source_);
    const auto sourceEntries = folder ? topEntries(source_) : 0;
    const auto sourceGoing = [&] {
      if (!Present(output_)) return false;
      return !folder || !Present(source_) || topEntries(source_) < sourceEntries;
    };
    for (int i = 0; i <= kills && failed < 3; ++i) {  // three failed runs tell enough
      const bool atOutput = i == 0;
      ++ran;
      const double whole = scale();
      const double killAt = atOutput ? 0 : fractions[i - 1] * whole;
      char label[160];
      if (atOutput)
        std::snprintf(label, sizeof label, "run %d (seed %u, kill when %s is there and %s going)",
                      i, seed, output_.filename().c_str(), source_.filename().c_str());
      else
        std::snprintf(label, sizeof label, "run %d (seed %u, kill at %.1f ms = %.3f x %.1f ms)", i,
                      seed, killAt, fractions[i - 1], whole);
      const std::string where = label;
      const int partsBefore = FailureParts();

      const ChildRun run = atOutput
                               ? RunChild(source_.string(), true, std::nullopt, sourceGoing)
                               : RunChild(source_.string(), true,
                                          std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double, std::milli>(killAt)));
      const char* moment = "during";
      if (!run.killed || run.ended) {
        moment = "after";
        ++after;
      } else if (run.started) {
        ++during;
      } else {
        moment = "before";
        ++before;
      }

      // The source is whole or gone, never half; an output present is complete.
      const Tree source = Snapshot(source_);
      const bool outputThere = Present(output_);
      const bool sourceWhole = source == reference_;
      const char* state = "damaged";
      if (sourceWhole && !outputThere) {
        state = "source";
        ++intact;
      } else if (sourceWhole && outputThere) {
        state = "source and output";
        ++both;
      } else if (source.empty() && outputThere) {
        state = "output";
        ++complete;
      } else {
        ADD_FAILURE() << where << ": the output is " << (outputThere ? "there" : "missing")
                      << " and the source "
                      << (source.empty() ? "is gone"
                                         : "differs:" + Differences(reference_, source));
      }
      ExpectBystandersUnchanged(where);
      const std::vector<std::string> leftovers = Leftovers();
      int workFolders = 0;
      for (const std::string& name : leftovers) {
        if (IsWorkFolder(name))
          ++workFolders;
        else
          ADD_FAILURE() << where << ": left behind " << name;
      }
      EXPECT_LE(workFolders, 1) << where;
      if (!run.killed) {  // the child ended by itself: the operation is complete
        lengths.push_back(Millis(run.length));
        EXPECT_TRUE(run.ExitedWith(0)) << where << ": the child " << run.Describe();
        EXPECT_TRUE(source.empty() && outputThere) << where << ": ended, but not done";
        EXPECT_EQ(workFolders, 0) << where << ": a finished run left its work folder";
      }
      if (outputThere) ExpectOutputDecrypts(where);

      // The leftovers of the crash do not stop the user from running the encryption again.
      // (A run that completed and left nothing has nothing to run again.)
      double againMs = 0;
      if (std::string(state) != "output" || !leftovers.empty()) {
        if (Snapshot(source_) != reference_ || Present(output_)) Reset();
        const ChildRun again = RunChild(source_.string(), true, std::nullopt);
        againMs = Millis(again.length);
        if (again.ExitedWith(0)) lengths.push_back(againMs);
        EXPECT_TRUE(again.ExitedWith(0)) << where << ": running it again " << again.Describe();
        EXPECT_FALSE(Present(source_)) << where << ": running it again kept the source";
        const std::vector<std::string> afterAgain = Leftovers();
        EXPECT_TRUE(
            std::includes(leftovers.begin(), leftovers.end(), afterAgain.begin(), afterAgain.end()))
            << where << ": running it again left something behind";
        ExpectBystandersUnchanged(where + ", run again");
        if (Present(output_)) ExpectOutputDecrypts(where + ", run again");
      }

      std::printf("[ crash    ] %s: %s; left %s, %d work folder(s); again: %.1f ms\n", label,
                  moment, state, workFolders, againMs);
      if (FailureParts() != partsBefore) ++failed;
      if (!Leftovers().empty() || Present(output_) || Snapshot(source_) != reference_) Reset();
    }

    std::printf(
        "[ crash    ] %s: %d kills: %d before the dialog started, %d during the operation, %d "
        "after it ended; the disk held the source alone %d times, source and complete output %d "
        "times, the complete output alone %d times\n",
        source_.filename().c_str(), ran, before, during, after, intact, both, complete);
    RecordProperty("seed", static_cast<int>(seed));
    RecordProperty("whole_run_ms", static_cast<int>(scale()));
    RecordProperty("kills_before", before);
    RecordProperty("kills_during", during);
    RecordProperty("kills_after", after);
    // The moments must really fall inside operations, or nothing was shown.
    if (ran > kills) {
      EXPECT_GE(during, 3) << "too few kills landed during an operation";
    }
  }

  fs::path referencePath_;
  fs::path source_;
  fs::path output_;
  std::string workPrefix_;
  Tree reference_;
  Tree bystander_;
  std::string notes_;
};

TEST_F(FolderCrashTest, AKilledFolderEncryptionLeavesTheSourceOrACompleteContainer) {
  referencePath_ = root_.Sub("reference/docs");
  BuildReferenceFolder(referencePath_);
  ASSERT_FALSE(HasFailure());
  source_ = work_ / "docs";
  output_ = work_ / "docs.qvef";
  workPrefix_ = ".docs.qvef-work-";
  KillAtSpreadMoments(20);
}

TEST_F(FolderCrashTest, AKilledFileEncryptionLeavesTheFileOrACompleteQvf) {
  referencePath_ = root_.Sub("reference/big.bin");
  fs::create_directories(referencePath_.parent_path());
  std::mt19937_64 random(11);
  WriteAll(referencePath_, RandomBytes(random, 6u << 20));
  source_ = work_ / "big.bin";
  output_ = work_ / "big.bin.qvf";
  KillAtSpreadMoments(8);
}

}  // namespace
