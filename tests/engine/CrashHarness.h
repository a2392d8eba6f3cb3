// The SIGKILL crash harness of the engine's crash tests: a child process that logs on and runs
// one operation through the progress dialog, killed at a chosen moment or as soon as a
// condition holds; snapshots of trees to compare what the disk holds afterwards; the reference
// folder the operations work on; and the seeded spread of kill moments.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
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

#include "base/DialogResources.h"
#include "base/SuiteServices.h"
#include "engine/CProgressDlg.h"
#include "platform/ui/Backend.h"
#include "platform/ui/HeadlessBackend.h"
#include "suite/qvprofile/UserSession.h"
#include "tests/engine/ProgressDialogFixture.h"

namespace crash_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline constexpr char kUser[] = "alice";
inline constexpr char kPassword[] = "pw";
// A child that neither ends nor is killed by then is hung.
inline constexpr auto kHungChild = std::chrono::seconds(60);

inline double Millis(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

inline std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

inline bool Present(const fs::path& path) {
  return fs::symlink_status(path).type() != fs::file_type::not_found;
}

inline std::string RandomBytes(std::mt19937_64& random, size_t size) {
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

inline Entry EntryOf(const fs::path& path, fs::file_type type) {
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

inline Tree Snapshot(const fs::path& root) {
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
inline std::string Differences(const Tree& want, const Tree& got) {
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
inline void BuildReferenceFolder(const fs::path& root) {
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

inline void Tell(int fd, char what) {
  if (write(fd, &what, 1) != 1) _exit(13);
}

// The child: logs on by itself, tells the parent through `marks` it is ready ('R'), waits for
// the go on `go`, then encrypts or decrypts `item` through the dialog with a headless user who
// answers nothing, marking when the dialog starts ('S') and when it returned ('E'), and exits 0
// when it returned IDOK. The services and the parent's session are inherited; the store was
// closed before the fork, so nothing open is shared with the parent.
[[noreturn]] inline void OperateInChild(const std::string& item, bool encrypt, int marks, int go) {
  HeadlessBackend ui;
  ui.SetFailureHandler(
      [](const std::string& message) { std::fprintf(stderr, "child: %s\n", message.c_str()); });
  SetUiBackend(&ui);
  if (StartSuiteServices() != 1) _exit(10);
  if (QvLogOnUser(kUser, kPassword) != QvLogOnResult::Passed) _exit(11);
  CProgressDlg dialog(engine_test::ProgressDialogFixture::Request({item}, encrypt, kUser));
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
inline bool ReadMarks(int fd, ChildRun& run) {
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
inline bool WaitReadable(int fd, Clock::time_point deadline) {
  const Clock::duration left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return false;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  pollfd wait{fd, POLLIN, 0};
  return ppoll(&wait, 1, &timeout, nullptr) != 0;
}

// Forks a child encrypting (or decrypting) `item`; once it is logged on, lets it go and sends
// it SIGKILL `killAfter` later (never when not given; it is killed as hung after kHungChild).
// When `killWhen` is given, the child is killed as soon as it holds instead (looked at every
// 100 microseconds).
inline ChildRun RunChild(const std::string& item, bool encrypt,
                         std::optional<Clock::duration> killAfter,
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
    OperateInChild(item, encrypt, marks[1], go[0]);
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

// The seed of the kill moments: QV_CRASH_SEED when set, else the test's own.
inline unsigned Seed(unsigned testDefault) {
  if (const char* text = std::getenv("QV_CRASH_SEED"))
    return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
  return testDefault;
}

// One fraction in each of `kills` equal slices of 0..1.1, in an order `random` shuffles.
inline std::vector<double> SpreadFractions(int kills, std::mt19937& random) {
  std::uniform_real_distribution<double> within(0.0, 1.0);
  std::vector<double> fractions;
  for (int i = 0; i < kills; ++i) fractions.push_back((i + within(random)) * 1.1 / kills);
  std::shuffle(fractions.begin(), fractions.end(), random);
  return fractions;
}

// The middle of the last (up to) three lengths: the scale of the kill moments. The machine is
// shared and the length of a run drifts with its load.
inline double Scale(const std::vector<double>& lengths) {
  std::vector<double> last(lengths.end() - std::min<size_t>(3, lengths.size()), lengths.end());
  std::sort(last.begin(), last.end());
  return last[last.size() / 2];
}

// The progress-dialog fixture (the user enrolled and logged on in this process) with a work
// folder holding a plain file and a folder of bystanders that no operation may touch.
class CrashTest : public engine_test::ProgressDialogFixture {
 protected:
  void SetUp() override {
    ProgressDialogFixture::SetUp();
    if (HasFatalFailure()) return;
    work_ = dir_;
    fs::create_directories(work_ / "bystander");
    WriteAll(work_ / "notes.txt", "a plain file beside the item\n");
    WriteAll(work_ / "bystander" / "plain.txt", "plain\n");
  }

  // Runs the dialog over `item` in this process; the rows' statuses are appended to *rows.
  INT_PTR RunInProcess(const std::string& item, bool encrypt, std::string* rows) {
    const engine_test::Outcome run = RunDialog({item}, encrypt, kUser);
    for (const auto& row : run.rows) *rows += " [" + row.at(0) + ": " + row.at(1) + "]";
    return run.result;
  }

  // Names in the work folder other than the bystanders and `known`, sorted.
  std::vector<std::string> NamesBesides(const std::vector<std::string>& known) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(work_)) {
      const std::string name = entry.path().filename().string();
      if (name != "bystander" && name != "notes.txt" &&
          std::find(known.begin(), known.end(), name) == known.end())
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path work_;
};

}  // namespace crash_test
