// The order in which an operation writes, flushes and deletes, seen from the system calls the
// processes make (traced with strace): a source is deleted, or moved away from its name, only
// after every write to its output was flushed to disk, and, for an output that got a new name,
// after the output's folder was flushed too. A crash test that kills the process cannot see
// this, since the page cache survives the kill; only a power loss would.
//
// File encryption and decryption, folder encryption and container decryption run as the
// user runs them, through qvclient; a drop into an open container runs in a child of this test
// that the tracer attaches to. Without a usable strace (not installed, or tracing forbidden)
// the tests are skipped and say why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/DialogResources.h"
#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "engine/CProgressDlg.h"
#include "engine/OperationRequest.h"
#include "tests/common/HeadlessUi.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;

// The calls that create, write, flush, name and remove files; nothing else is traced.
constexpr const char* kTracedCalls =
    "trace=open,openat,creat,write,pwrite64,writev,pwritev,pwritev2,copy_file_range,sendfile,"
    "fsync,fdatasync,syncfs,sync,link,linkat,rename,renameat,renameat2,unlink,unlinkat,rmdir";

// One traced call, reduced to what the order check needs.
struct Event {
  enum class Kind { Write, Flush, SyncAll, Name, Remove };
  Kind kind;
  std::string path;  // written or flushed file (as the tracer names its descriptor), or name
  std::string from;  // Name: what now carries the name (a path, or a descriptor's file)
  std::string line;  // the trace line, for messages
};

// The quoted strings of an argument list, unescaped, and its descriptors decorated with the
// file they stand for ("5</w/a>", "AT_FDCWD</w>"), in argument order.
struct Arguments {
  std::vector<std::string> strings;
  std::vector<std::pair<std::string, std::string>> descriptors;  // descriptor -> file
};

Arguments ScanArguments(const std::string& text) {
  Arguments out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      std::string value;
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i];
      }
      out.strings.push_back(value);
    } else if (text[i] == '<') {
      std::size_t start = i;
      while (start > 0 && (std::isalnum(static_cast<unsigned char>(text[start - 1])) != 0 ||
                           text[start - 1] == '_' || text[start - 1] == '-'))
        --start;
      const std::size_t close = text.find('>', i);
      if (close == std::string::npos) break;
      if (start < i)
        out.descriptors.emplace_back(text.substr(start, i - start),
                                     text.substr(i + 1, close - i - 1));
      i = close;
    }
  }
  return out;
}

// A path argument: absolute as given, else relative to the folder descriptor before it.
std::string Resolve(const std::string& folder, const std::string& path) {
  if (path.empty() || path[0] == '/' || folder.empty()) return path;
  return path == "." ? folder : folder + "/" + path;
}

bool IsNumber(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
}

// Reads an strace -f -y log ("PID call(arguments) = result"): calls split across lines by
// other threads are joined, failed calls are dropped, and each call becomes the events it
// stands for.
std::vector<Event> ReadTrace(const std::string& text) {
  constexpr std::string_view kUnfinished = " <unfinished ...>";
  std::map<std::string, std::string> pending;             // thread -> start of its call
  std::map<std::string, std::map<int, std::string>> fds;  // thread -> descriptor -> file
  std::vector<Event> events;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string pid = line.substr(0, space);
    std::string rest = line.substr(line.find_first_not_of(' ', space));
    if (rest.size() > kUnfinished.size() && rest.ends_with(kUnfinished)) {
      pending[pid] = rest.substr(0, rest.size() - kUnfinished.size());
      continue;
    }
    if (rest.rfind("<... ", 0) == 0) {
      const std::size_t resumed = rest.find(" resumed>");
      if (resumed == std::string::npos) continue;
      rest = pending[pid] + rest.substr(resumed + 9);
      pending.erase(pid);
      line = pid + " " + rest;
    }
    const std::size_t open = rest.find('(');
    const std::size_t equals = rest.rfind(") = ");
    if (open == std::string::npos || equals == std::string::npos || equals < open) continue;
    const std::string call = rest.substr(0, open);
    const std::string args = rest.substr(open + 1, equals - open - 1);
    const std::string returned = rest.substr(equals + 4);
    const std::string number = returned.substr(0, returned.find_first_of("< "));
    if (!IsNumber(number)) continue;  // a failed call
    std::string result;               // the file a returned descriptor stands for
    if (returned.size() > number.size() && returned[number.size()] == '<')
      result =
          returned.substr(number.size() + 1, returned.find('>', number.size()) - number.size() - 1);
    const std::string shown = line.size() > 200 ? line.substr(0, 200) + "..." : line;
    const Arguments parsed = ScanArguments(args);
    const std::vector<std::string>& strings = parsed.strings;
    std::vector<std::string> folders;
    std::vector<std::pair<int, std::string>> descriptors;
    for (const auto& [descriptor, file] : parsed.descriptors) {
      folders.push_back(file);
      if (IsNumber(descriptor)) descriptors.emplace_back(std::stoi(descriptor), file);
    }
    for (const auto& [fd, file] : descriptors) fds[pid][fd] = file;
    const std::string first = descriptors.empty() ? std::string() : descriptors[0].second;
    const auto folder = [&](std::size_t i) { return i < folders.size() ? folders[i] : ""; };

    if (call == "open" || call == "openat" || call == "creat") {
      if (!result.empty()) fds[pid][std::stoi(number)] = result;
      // A file made under its final name; an existing file opened with O_CREAT gets none.
      if (!strings.empty() && args.find("O_CREAT") != std::string::npos &&
          args.find("O_EXCL") != std::string::npos)
        events.push_back({Event::Kind::Name, result, result, shown});
    } else if (call == "write" || call == "pwrite64" || call == "writev" || call == "pwritev" ||
               call == "pwritev2" || call == "copy_file_range" || call == "sendfile") {
      // The file written to is the second descriptor of a copy, the only one otherwise.
      const std::string target =
          (call == "copy_file_range" || call == "sendfile") && descriptors.size() > 1
              ? descriptors[call == "sendfile" ? 0 : 1].second
              : first;
      if (!target.empty()) events.push_back({Event::Kind::Write, target, "", shown});
    } else if (call == "fsync" || call == "fdatasync") {
      events.push_back({Event::Kind::Flush, first, "", shown});
    } else if (call == "syncfs" || call == "sync") {
      events.push_back({Event::Kind::SyncAll, first, "", shown});
    } else if (call == "link" && strings.size() == 2) {
      events.push_back({Event::Kind::Name, strings[1], strings[0], shown});
    } else if (call == "linkat" && strings.size() == 2) {
      std::string from = Resolve(folder(0), strings[0]);
      // An unnamed file is named through its descriptor's entry under /proc.
      if (from.rfind("/proc/self/fd/", 0) == 0) {
        const int fd = std::stoi(from.substr(14));
        if (fds[pid].count(fd) != 0) from = fds[pid][fd];
      }
      events.push_back({Event::Kind::Name, Resolve(folder(1), strings[1]), from, shown});
    } else if ((call == "rename" || call == "renameat" || call == "renameat2") &&
               strings.size() == 2) {
      const bool at = call != "rename";
      const std::string from = Resolve(at ? folder(0) : "", strings[0]);
      const std::string to = Resolve(at ? folder(1) : "", strings[1]);
      events.push_back({Event::Kind::Remove, from, "", shown});
      events.push_back({Event::Kind::Name, to, from, shown});
    } else if ((call == "unlink" || call == "rmdir") && strings.size() == 1) {
      events.push_back({Event::Kind::Remove, strings[0], "", shown});
    } else if (call == "unlinkat" && strings.size() == 1) {
      events.push_back({Event::Kind::Remove, Resolve(folder(0), strings[0]), "", shown});
    }
  }
  return events;
}

bool Within(const std::string& path, const std::string& tree) {
  return path == tree || path.rfind(tree + "/", 0) == 0;
}

std::string FolderOf(const std::string& path) { return fs::path(path).parent_path().string(); }

// Checks that `source` left its name only after `output` was durable: every write to the
// output (or to what it was before it got its name, or to a file in it, for a folder) came
// before a flush of it, and the flush of the folder that holds its new name came after that
// name was given. Empty when the order holds, else what went wrong.
std::string CheckOrder(const std::vector<Event>& events, const std::string& source,
                       const std::string& output) {
  std::size_t removed = events.size();
  for (std::size_t i = 0; i < events.size() && removed == events.size(); ++i)
    if (events[i].kind == Event::Kind::Remove && events[i].path == source) removed = i;
  if (removed == events.size()) return source + " never left its name";
  // What the output was called on its way to its name, last name first.
  std::vector<std::string> origins = {output};
  std::optional<std::size_t> named;
  for (std::size_t i = removed; i-- > 0;) {
    const Event& e = events[i];
    if (e.kind != Event::Kind::Name ||
        std::find(origins.begin(), origins.end(), e.path) == origins.end())
      continue;
    if (!named && e.path == output) named = i;
    if (std::find(origins.begin(), origins.end(), e.from) == origins.end())
      origins.push_back(e.from);
  }
  const auto isOrigin = [&](const std::string& path) {
    return std::any_of(origins.begin(), origins.end(),
                       [&](const std::string& origin) { return Within(path, origin); });
  };
  // Each file written as part of the output must be flushed (or the whole file system
  // synced) after its last write.
  std::map<std::string, std::size_t> unflushed;  // file -> its last write not flushed since
  bool touched = false;
  for (std::size_t i = 0; i < removed; ++i) {
    const Event& e = events[i];
    if (e.kind == Event::Kind::Write && isOrigin(e.path)) {
      unflushed[e.path] = i;
      touched = true;
    } else if (e.kind == Event::Kind::Flush && isOrigin(e.path)) {
      unflushed.erase(e.path);
      touched = true;
    } else if (e.kind == Event::Kind::SyncAll) {
      unflushed.clear();
      touched = true;
    }
  }
  const std::string at = "\n  before: " + events[removed].line;
  if (!touched) return output + " was never written nor flushed" + at;
  if (!unflushed.empty())
    return output + " was written after its last flush: " + events[unflushed.begin()->second].line +
           at;
  if (named) {
    const std::string folder = FolderOf(output);
    bool folderFlushed = false;
    for (std::size_t i = *named + 1; i < removed && !folderFlushed; ++i)
      folderFlushed = (events[i].kind == Event::Kind::Flush && events[i].path == folder) ||
                      events[i].kind == Event::Kind::SyncAll;
    if (!folderFlushed)
      return "the folder of " + output +
             " was not flushed after the name was given: " + events[*named].line + at;
  }
  return {};
}

// Runs strace with `arguments` (the traced command last), with `environment` set, writing the
// trace to `tracePath`; the exit code of strace (that of the command), or -1.
int RunStrace(const std::vector<std::string>& arguments, const qvtest::Environment& environment,
              const std::string& tracePath, const std::string& outputPath) {
  std::vector<std::string> argv = {"strace", "-f", "-y",      "-qq", "-s",
                                   "512",    "-o", tracePath, "-e",  kTracedCalls};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    setsid();
    const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0) _exit(120);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    for (const auto& [variable, value] : environment) {
      if (value)
        setenv(variable.c_str(), value->c_str(), 1);
      else
        unsetenv(variable.c_str());
    }
    std::vector<char*> raw;
    for (std::string& argument : argv) raw.push_back(argument.data());
    raw.push_back(nullptr);
    execvp("strace", raw.data());
    _exit(127);
  }
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 20) {
    if (waited > 120000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(20000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Why strace cannot trace here; empty when it can.
std::string StraceUnusable(const std::string& scratch) {
  const int code = RunStrace({"/bin/true"}, {}, scratch + ".trace", scratch + ".out");
  if (code == 0) return {};
  return code == 127 ? "strace is not installed (scripts/install-deps.sh installs it)"
                     : "strace cannot trace processes here (ptrace refused?): " +
                           ReadTextFile(scratch + ".out");
}

class DurabilityTest : public qvtest::ProgramsFixture {
 protected:
  void SetUp() override {
    ProgramsFixture::SetUp();
    if (HasFatalFailure()) return;
    if (const std::string why = StraceUnusable(root_.Sub("probe")); !why.empty())
      GTEST_SKIP() << why;
    EnrollMe();
  }

  // Runs qvclient `command` on `path` under the tracer; its events.
  std::vector<Event> Traced(const std::string& command, const std::string& path) {
    const std::string tag = root_.Sub(command + "-" + std::to_string(++runs_));
    // The leak checker of a sanitizer build refuses to run in a traced process.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    const std::string options =
        (sanitizer != nullptr ? std::string(sanitizer) + ":" : std::string()) + "detect_leaks=0";
    const int code = RunStrace({qvtest::ProgramPath("qvclient"), command, path},
                               Env({{"ASAN_OPTIONS", options}}), tag + ".trace", tag + ".out");
    EXPECT_EQ(code, 0) << command << " " << path << "\n" << ReadTextFile(tag + ".out");
    return ReadTrace(ReadTextFile(tag + ".trace"));
  }

  int runs_ = 0;
};

TEST_F(DurabilityTest, EachSourceGoesOnlyAfterItsOutputAndItsFolderAreOnDisk) {
  WriteTextFile(W("report.txt"), std::string(3 << 20, 'r'));  // several chunks
  fs::create_directories(W("Project/sub"));
  WriteTextFile(W("Project/a.txt"), "a");
  WriteTextFile(W("Project/sub/b.bin"), std::string(1 << 20, 'b'));

  struct Step {
    const char* command;
    std::string source, output;
  };
  const Step steps[] = {
      {"encrypt", W("report.txt"), W("report.txt.qvf")},
      {"decrypt", W("report.txt.qvf"), W("report.txt")},
      {"encrypt", W("Project"), W("Project.qvef")},
      {"decrypt", W("Project.qvef"), W("Project")},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.command) + " " + step.source);
    const std::vector<Event> events = Traced(step.command, step.source);
    ASSERT_FALSE(events.empty()) << "nothing was traced";
    EXPECT_EQ(CheckOrder(events, step.source, step.output), "");
    EXPECT_TRUE(fs::exists(step.output));
    EXPECT_FALSE(fs::exists(step.source));
  }
  EXPECT_EQ(ReadTextFile(W("report.txt")), std::string(3 << 20, 'r'));
  EXPECT_EQ(ReadTextFile(W("Project/sub/b.bin")), std::string(1 << 20, 'b'));
}

// Whether a tracer is attached to this process.
bool HasTracer() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("TracerPid:", 0) == 0) return std::stol(line.substr(10)) != 0;
  return false;
}

// Runs one operation of the progress dialog on `request` in this (child) process.
INT_PTR RunOperation(OperationRequest request) {
  CProgressDlg dialog(std::move(request));
  return dialog.DoModal();
}

// The drop runs in a child of this test (the engine has no program of its own for it); the
// tracer attaches to the child once the container is made and the dropped files are written.
TEST_F(DurabilityTest, FilesDroppedIntoAnOpenContainerGoOnlyOnceItIsOnDisk) {
  const std::string box = W("box"), drop = W("drop");
  fs::create_directories(box);
  WriteTextFile(box + "/kept.txt", "in the box");
  fs::create_directories(drop + "/folder");
  WriteTextFile(drop + "/new.bin", std::string(3 << 20, 'n'));
  WriteTextFile(drop + "/folder/inner.txt", "inner");

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    // Exit codes: 0 dropped, 2 set-up failed, 3 no tracer came, 4 the drop failed.
    HeadlessUi ui;
    QvApp().InitInstance();
    if (QvUserStore().Open() != QvStoreStatus::Ok ||
        qvtest::EnrollWithKey({"alice", ".\\alice", "Alice", QvAccountType::Computer}, "pw") !=
            QvStoreStatus::Ok ||
        StartSuiteServices() != 1 || QvLogOnUser("alice", "pw") != QvLogOnResult::Passed)
      _exit(2);
    OperationRequest encrypt;
    encrypt.items = {box};
    encrypt.userId = encrypt.userName = "alice";
    if (RunOperation(std::move(encrypt)) != IDOK) _exit(2);
    (void)!write(ready[1], "r", 1);
    for (int waited = 0; !HasTracer(); waited += 10) {
      if (waited > 30000) _exit(3);
      usleep(10000);
    }
    OperationRequest request;
    request.items = {drop + "/new.bin", drop + "/folder"};
    request.userId = request.userName = "alice";
    request.container = ContainerArguments{drop, box + ".qvef", 0};
    const INT_PTR result = RunOperation(std::move(request));
    QvLogOff();
    StopSuiteServices();
    _exit(result == IDOK ? 0 : 4);
  }
  close(ready[1]);
  char byte = 0;
  const bool started = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  const std::string trace = root_.Sub("drop.trace");
  const int traced =
      started ? RunStrace({"-p", std::to_string(child)}, {}, trace, root_.Sub("drop.out")) : -1;
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(started) << "the child could not make the container";
  EXPECT_EQ(traced, 0) << ReadTextFile(root_.Sub("drop.out"));
  ASSERT_TRUE(WIFEXITED(status)) << "the child did not end normally";
  ASSERT_EQ(WEXITSTATUS(status), 0) << "2: set-up failed, 3: no tracer came, 4: the drop failed";

  const std::vector<Event> events = ReadTrace(ReadTextFile(trace));
  EXPECT_EQ(CheckOrder(events, drop + "/new.bin", box + ".qvef"), "");
  EXPECT_EQ(CheckOrder(events, drop + "/folder", box + ".qvef"), "");
  EXPECT_FALSE(fs::exists(drop + "/new.bin"));
  EXPECT_FALSE(fs::exists(drop + "/folder"));
}

// The order check itself: each of the orders a missing flush would leave is reported.
TEST(DurabilityOrderTest, EveryMissingFlushIsReported) {
  const auto trace = [](std::vector<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += "10 " + line + "\n";
    return ReadTrace(text);
  };
  const std::string open = R"(openat(AT_FDCWD</w>, "/w", O_WRONLY|O_TMPFILE, 0600) = 5</w/#12>)";
  const std::string write = R"(write(5</w/#12>, "x", 1) = 1)";
  const std::string flush = R"(fsync(5</w/#12>) = 0)";
  const std::string link =
      R"(linkat(AT_FDCWD</w>, "/proc/self/fd/5", AT_FDCWD</w>, "/w/a.qvf", AT_SYMLINK_FOLLOW) = 0)";
  const std::string folder = R"(fsync(6</w>) = 0)";
  const std::string unlink = R"(unlink("/w/a") = 0)";
  EXPECT_EQ(CheckOrder(trace({open, write, flush, link, folder, unlink}), "/w/a", "/w/a.qvf"), "");
  EXPECT_NE(CheckOrder(trace({open, write, link, folder, unlink}), "/w/a", "/w/a.qvf"), "");
  EXPECT_NE(CheckOrder(trace({open, write, flush, link, unlink}), "/w/a", "/w/a.qvf"), "");
  EXPECT_NE(CheckOrder(trace({open, write, flush, folder, link, unlink}), "/w/a", "/w/a.qvf"), "");
  EXPECT_NE(CheckOrder(trace({open, flush, write, link, folder, unlink}), "/w/a", "/w/a.qvf"), "");
  EXPECT_NE(CheckOrder(trace({open, write, flush, link, folder}), "/w/a", "/w/a.qvf"), "");
  // A folder moved into place after its tree was synced, then its parent flushed.
  const std::string tree = R"(syncfs(7</w/.x/F>) = 0)";
  const std::string move =
      R"(renameat2(AT_FDCWD</w>, "/w/.x/F", AT_FDCWD</w>, "/w/F", RENAME_NOREPLACE) = 0)";
  const std::string inTree = R"(write(8</w/.x/F/#3>, "x", 1) = 1)";
  const std::string gone = R"(unlink("/w/F.qvef") = 0)";
  EXPECT_EQ(CheckOrder(trace({inTree, tree, move, folder, gone}), "/w/F.qvef", "/w/F"), "");
  EXPECT_NE(CheckOrder(trace({tree, inTree, move, folder, gone}), "/w/F.qvef", "/w/F"), "");
  // Every file of a tree counts: a flush of one does not cover another.
  const std::string other = R"(write(9</w/.x/F/#4>, "y", 1) = 1)";
  const std::string flushOne = R"(fsync(8</w/.x/F/#3>) = 0)";
  EXPECT_NE(CheckOrder(trace({inTree, other, flushOne, move, folder, gone}), "/w/F.qvef", "/w/F"),
            "");
}

}  // namespace
