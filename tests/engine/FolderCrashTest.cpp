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
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sodium.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/DialogResources.h"
#include "core/QvFolderExtApp.h"
#include "core/SuiteServices.h"
#include "engine/CProgressDlg.h"
#include "platform/Ole.h"
#include "platform/ui/Backend.h"
#include "suite/QvFsApi.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/HeadlessUi.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kUser[] = "alice";
constexpr char kPassword[] = "pw";
constexpr unsigned kDefaultSeed = 20240611;
// A child that neither ends nor is killed by then is hung.
constexpr auto kHungChild = std::chrono::seconds(60);

double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

bool Present(const fs::path& path) {
  return fs::symlink_status(path).type() != fs::file_type::not_found;
}

std::string RandomBytes(std::mt19937_64& random, size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; i += 8) {
    const std::uint64_t word = random();
    for (size_t j = 0; j < 8 && i + j < size; ++j) out[i + j] = static_cast<char>(word >> (8 * j));
  }
  return out;
}

// One entry of a tree: 'd' folder, 'f' file (with its bytes), 'l' link (with its target),
// 'o' anything else.
struct Entry {
  char type;
  std::string bytes;
  bool operator==(const Entry&) const = default;
};
// Path relative to the snapshot's root ("." for the root itself) -> entry. Empty when the
// root does not exist.
using Tree = std::map<std::string, Entry>;

Entry EntryOf(const fs::path& path, fs::file_type type) {
  switch (type) {
    case fs::file_type::directory:
      return {'d', {}};
    case fs::file_type::regular:
      return {'f', ReadAll(path)};
    case fs::file_type::symlink:
      return {'l', fs::read_symlink(path).string()};
    default:
      return {'o', {}};
  }
}

Tree Snapshot(const fs::path& root) {
  Tree tree;
  const fs::file_type rootType = fs::symlink_status(root).type();
  if (rootType == fs::file_type::not_found) return tree;
  tree["."] = EntryOf(root, rootType);
  if (rootType != fs::file_type::directory) return tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    tree[it->path().lexically_relative(root).string()] =
        EntryOf(it->path(), it->symlink_status().type());
  }
  if (ec) tree["<listing failed>"] = {'o', ec.message()};
  return tree;
}

// What differs between two trees, at most a few lines; empty when they are the same.
std::string Differences(const Tree& want, const Tree& got) {
  std::string out;
  int found = 0;
  auto note = [&](const std::string& what) {
    if (found++ < 6) out += "\n    " + what;
  };
  for (const auto& [path, entry] : want) {
    const auto it = got.find(path);
    if (it == got.end())
      note("missing " + path);
    else if (it->second.type != entry.type)
      note(std::string("type changed ") + path);
    else if (it->second.bytes != entry.bytes)
      note("content changed " + path + " (" + std::to_string(entry.bytes.size()) + " -> " +
           std::to_string(it->second.bytes.size()) + " bytes)");
  }
  for (const auto& [path, entry] : got)
    if (want.count(path) == 0) note("extra " + path);
  if (found > 6) out += "\n    ... " + std::to_string(found - 6) + " more";
  return out;
}

// The reference folder: 150 files over nested folders (8 levels at the deepest), sizes from
// 0 bytes to 300 KiB (about 1.5 MB in all), an empty folder, a hidden file and names with
// spaces and non-ASCII letters.
void BuildReferenceFolder(const fs::path& root) {
  std::mt19937_64 random(7);
  const std::vector<std::string> folders = {
      "",        "letters",     "letters/2023",          "letters/2023/März",
      "photos",  "photos/raw",  "my projects",           "my projects/café ☕",
      "archive", "archive/old", "archive/old/a/b/c/d/e", ".config"};
  for (const std::string& folder : folders) fs::create_directories(root / folder);
  fs::create_directories(root / "empty folder");
  for (int i = 0; i < 147; ++i) {
    size_t size = random() % 4096;
    if (i % 50 == 0)
      size = 150 * 1024 + random() % (150 * 1024);
    else if (i % 10 == 0)
      size = 16 * 1024 + random() % (48 * 1024);
    else if (i % 17 == 0)
      size = 0;
    const fs::path dir = root / folders[static_cast<size_t>(i) % folders.size()];
    WriteAll(dir / ("file " + std::to_string(i) + ".dat"), RandomBytes(random, size));
  }
  WriteAll(root / ".hidden", "a hidden file\n");
  WriteAll(root / "name with spaces.txt", RandomBytes(random, 1000));
  WriteAll(root / "letters" / "Grüße – 日本語.txt", RandomBytes(random, 3000));
}

// What the parent saw of one child. Times count from the moment the parent let the logged-on
// child start its operation.
struct ChildRun {
  bool ready = false;    // the child logged on and waited for the go
  bool started = false;  // the child was about to run the dialog
  bool ended = false;    // the dialog returned
  bool killed = false;   // the kill was sent before the child ended by itself
  int status = 0;
  Clock::duration setup{};   // fork to ready
  Clock::duration length{};  // go to exit
  bool ExitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
  std::string Describe() const {
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exited with " + std::to_string(WEXITSTATUS(status));
  }
};

void Tell(int fd, char what) {
  if (write(fd, &what, 1) != 1) _exit(13);
}

// The child: logs on by itself, tells the parent through `marks` it is ready ('R'), waits for
// the go on `go`, then encrypts `item` through the dialog with a headless user who answers
// nothing, marking when the dialog starts ('S') and when it returned ('E'), and exits 0 when
// it returned IDOK. The services and the parent's session are inherited; the store was
// closed before the fork, so nothing open is shared with the parent.
[[noreturn]] void EncryptInChild(const std::string& item, int marks, int go) {
  HeadlessBackend ui;
  ui.SetFailureHandler(
      [](const std::string& message) { std::fprintf(stderr, "child: %s\n", message.c_str()); });
  SetUiBackend(&ui);
  if (StartSuiteServices() != 1) _exit(10);
  if (QvLogOnUser(kUser, kPassword) != QvLogOnResult::Passed) _exit(11);
  OperationRequest request;
  request.items = {item};
  request.userId = kUser;
  request.userName = kUser;
  request.encrypt = true;
  CProgressDlg dialog(std::move(request));
  Tell(marks, 'R');
  char letter = 0;
  if (read(go, &letter, 1) != 1) _exit(14);
  Tell(marks, 'S');
  const INT_PTR result = dialog.DoModal();
  Tell(marks, 'E');
  if (result == IDOK) _exit(0);
  HeadlessBackend::ClosedDialog closed;
  if (ui.LastClosed(IDD_PROGRESS, &closed))
    if (const ControlState* list = closed.state.Control(IDC_PROGRESS_LIST))
      for (const ListItemState& row : list->items)
        std::fprintf(stderr, "child row: %s: %s\n", row.texts.at(0).c_str(),
                     row.texts.at(1).c_str());
  _exit(12);
}

// Reads the marks waiting in `fd` into `run`; false at the end of the pipe.
bool ReadMarks(int fd, ChildRun& run) {
  char marks[8];
  const ssize_t n = read(fd, marks, sizeof marks);
  for (ssize_t i = 0; i < n; ++i) {
    run.ready |= marks[i] == 'R';
    run.started |= marks[i] == 'S';
    run.ended |= marks[i] == 'E';
  }
  return n > 0;
}

// Waits until `fd` is readable or `deadline` passes; false at the deadline.
bool WaitReadable(int fd, Clock::time_point deadline) {
  const Clock::duration left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return false;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  pollfd wait{fd, POLLIN, 0};
  return ppoll(&wait, 1, &timeout, nullptr) != 0;
}

// Forks a child encrypting `item`; once it is logged on, lets it go and sends it SIGKILL
// `killAfter` later (never when not given; it is killed as hung after kHungChild).
// When `killWhen` is given, the child is killed as soon as it holds instead (looked at every
// 100 microseconds).
ChildRun RunChild(const std::string& item, std::optional<Clock::duration> killAfter,
                  const std::function<bool()>& killWhen = {}) {
  ChildRun run;
  int marks[2], go[2];
  if (pipe(marks) != 0) {
    ADD_FAILURE() << "pipe failed";
    return run;
  }
  if (pipe(go) != 0) {
    close(marks[0]);
    close(marks[1]);
    ADD_FAILURE() << "pipe failed";
    return run;
  }
  // The child opens the store for itself; this process opens it again when it next needs it.
  QvCloseSharedUserStore();
  std::fflush(nullptr);
  const Clock::time_point forked = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    close(marks[0]);
    close(go[1]);
    EncryptInChild(item, marks[1], go[0]);
  }
  close(marks[1]);
  close(go[0]);
  if (pid < 0) {
    close(marks[0]);
    close(go[1]);
    ADD_FAILURE() << "fork failed";
    return run;
  }
  bool open = true;
  while (open && !run.ready && WaitReadable(marks[0], forked + kHungChild))
    open = ReadMarks(marks[0], run);
  run.setup = Clock::now() - forked;
  const Clock::time_point start = Clock::now();
  if (run.ready) {
    const char letter = 'G';
    if (write(go[1], &letter, 1) != 1) ADD_FAILURE() << "cannot let the child go";
  }
  const Clock::time_point deadline = start + killAfter.value_or(kHungChild);
  while (open) {
    const Clock::time_point next =
        killWhen ? std::min(deadline, Clock::now() + std::chrono::microseconds(100)) : deadline;
    const bool readable = WaitReadable(marks[0], next);
    const bool late = !readable && Clock::now() >= deadline;
    if (late || (killWhen && killWhen())) {
      if (late && !killAfter) ADD_FAILURE() << "the child hung";
      kill(pid, SIGKILL);
      run.killed = true;
      break;
    }
    if (readable) open = ReadMarks(marks[0], run);
  }
  waitpid(pid, &run.status, 0);
  run.length = Clock::now() - start;
  // Marks written before the kill are still in the pipe.
  while (ReadMarks(marks[0], run)) {
  }
  close(marks[0]);
  close(go[1]);
  if (!run.ready) ADD_FAILURE() << "the child never got ready: " << run.Describe();
  return run;
}

unsigned Seed() {
  if (const char* text = std::getenv("QV_CRASH_SEED"))
    return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
  return kDefaultSeed;
}

class FolderCrashTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    QvApp().InitInstance();
    ASSERT_EQ(QvUserStore().Open(), QvStoreStatus::Ok);  // the store an enrollment makes
    QvUserStore* store = QvSharedUserStore();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(
        qvtest::EnrollWithKey({kUser, ".\\alice", "Alice", QvAccountType::Computer}, kPassword),
        QvStoreStatus::Ok);

    work_ = root_.Sub("work");
    fs::create_directories(work_ / "bystander");
    WriteAll(work_ / "notes.txt", "a plain file beside the source\n");
    WriteAll(work_ / "bystander" / "plain.txt", "plain\n");
    WriteAll(work_ / "bystander" / "empty", "");
    WriteAll(work_ / "bystander" / "secret.txt", "an encrypted file beside the source\n");
    ASSERT_EQ(StartSuiteServices(), 1);
    ASSERT_EQ(QvLogOnUser(kUser, kPassword), QvLogOnResult::Passed);
    std::string rows;
    ASSERT_EQ(Run((work_ / "bystander" / "secret.txt").string(), true, &rows), IDOK) << rows;
    ASSERT_TRUE(Present(work_ / "bystander" / "secret.txt.qvf"));
    bystander_ = Snapshot(work_ / "bystander");
    notes_ = ReadAll(work_ / "notes.txt");
  }
  void TearDown() override {
    QvLogOff();
    StopSuiteServices();
    QvApp().ExitInstance();
  }

  // Runs the dialog over `item` in this process; the rows' statuses in *rows.
  INT_PTR Run(const std::string& item, bool encrypt, std::string* rows) {
    HeadlessUi ui;
    OperationRequest request;
    request.items = {item};
    request.userId = kUser;
    request.userName = kUser;
    request.encrypt = encrypt;
    CProgressDlg dialog(std::move(request));
    const INT_PTR result = dialog.DoModal();
    HeadlessBackend::ClosedDialog closed;
    if (ui.LastClosed(IDD_PROGRESS, &closed))
      if (const ControlState* list = closed.state.Control(IDC_PROGRESS_LIST))
        for (const ListItemState& row : list->items)
          *rows += " [" + row.texts.at(0) + ": " + row.texts.at(1) + "]";
    return result;
  }

  // Names in the work folder other than the bystanders, the source and its output.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(work_)) {
      const std::string name = entry.path().filename().string();
      if (name != "bystander" && name != "notes.txt" && name != source_.filename().string() &&
          name != output_.filename().string())
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
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
    EXPECT_EQ(Run(output_.string(), false, &rows), IDOK) << where << ": decryption:" << rows;
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
    auto scale = [&lengths] {
      std::vector<double> last(lengths.end() - std::min<size_t>(3, lengths.size()), lengths.end());
      std::sort(last.begin(), last.end());
      return last[last.size() / 2];
    };
    double setup = 0;
    for (int i = 0; i < 3; ++i) {
      const ChildRun measured = RunChild(source_.string(), std::nullopt);
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
    const unsigned seed = Seed();
    std::printf(
        "[ crash    ] %s: whole runs take %.1f, %.1f, %.1f ms after the log-on (%.1f ms); "
        "seed %u\n",
        source_.filename().c_str(), lengths[0], lengths[1], lengths[2], setup, seed);

    // One fraction in each of `kills` equal slices of 0..1.1, in random order.
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> within(0.0, 1.0);
    std::vector<double> fractions;
    for (int i = 0; i < kills; ++i) fractions.push_back((i + within(random)) * 1.1 / kills);
    std::shuffle(fractions.begin(), fractions.end(), random);

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

      const ChildRun run =
          atOutput
              ? RunChild(source_.string(), std::nullopt, sourceGoing)
              : RunChild(source_.string(), std::chrono::duration_cast<Clock::duration>(
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
        const ChildRun again = RunChild(source_.string(), std::nullopt);
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

  fs::path work_;
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
