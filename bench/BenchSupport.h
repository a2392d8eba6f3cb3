// What the benchmark programs share: the clock, the median of runs, size arguments, running
// baseline programs (alone or as a two-stage pipe, never through a shell), peak memory and the
// pause that lets the file system recover after many deletions. Header-only: every bench/*.cpp
// is a program of its own.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The median of a non-empty list (the upper one of the two middle values for an even count).
inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The slowest less the fastest of a non-empty list: how far apart the runs were.
inline double Spread(const std::vector<double>& values) {
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  return *high - *low;
}

// "123", "64K", "64M", "1G" (binary units); false when the text is not such a size.
inline bool ParseSize(const char* text, unsigned long long* out) {
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text) return false;
  switch (*end) {
    case 'k':
    case 'K':
      value <<= 10;
      ++end;
      break;
    case 'm':
    case 'M':
      value <<= 20;
      ++end;
      break;
    case 'g':
    case 'G':
      value <<= 30;
      ++end;
      break;
    default:
      break;
  }
  if (*end != '\0') return false;
  *out = value;
  return true;
}

// `dir` as an absolute path: the peers run in folders of their own, where a relative path
// would name something else.
inline std::string AbsoluteFolder(const std::string& dir) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(dir, error);
  return error ? dir : absolute.lexically_normal().string();
}

// $TMPDIR, else /tmp.
inline std::string DefaultWorkBase() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

// Where a spawned program's standard streams go.
struct Streams {
  int in = -1;                         // descriptor for standard input; -1: /dev/null
  int out = -1;                        // descriptor for standard output; -1: /dev/null
  const char* errorLog = "/dev/null";  // standard error is appended to this file
};

inline pid_t Spawn(const std::vector<std::string>& args, const Streams& streams,
                   const std::vector<int>& closeInChild = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (streams.in >= 0)
    posix_spawn_file_actions_adddup2(&actions, streams.in, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (streams.out >= 0)
    posix_spawn_file_actions_adddup2(&actions, streams.out, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, streams.errorLog, O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  for (const int fd : closeInChild) posix_spawn_file_actions_addclose(&actions, fd);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

// The exit code of a spawned program, -1 when it did not exit normally.
inline int Wait(pid_t pid) {
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a program (no shell) and returns its exit code, -1 when it could not start or did not
// exit. Its standard output goes to `output` when given, else nowhere; its error output is
// appended to `errorLog`.
inline int Run(const std::vector<std::string>& args, std::string* output = nullptr,
               const char* errorLog = "/dev/null") {
  Streams streams;
  streams.errorLog = errorLog;
  int pipeFds[2] = {-1, -1};
  if (output != nullptr) {
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    streams.out = pipeFds[1];
  }
  const pid_t pid = Spawn(args, streams);
  if (output != nullptr) {
    close(pipeFds[1]);
    char buffer[512];
    ssize_t got;
    while (pid >= 0 && (got = read(pipeFds[0], buffer, sizeof buffer)) > 0)
      output->append(buffer, static_cast<std::size_t>(got));
    close(pipeFds[0]);
  }
  return Wait(pid);
}

// Runs `first | second`; 0 when both exit with 0, else the first non-zero exit code (-1 when
// one could not start).
inline int RunPipe(const std::vector<std::string>& first, const std::vector<std::string>& second,
                   const char* errorLog = "/dev/null") {
  int pipeFds[2] = {-1, -1};
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  Streams writer;
  writer.out = pipeFds[1];
  writer.errorLog = errorLog;
  Streams reader;
  reader.in = pipeFds[0];
  reader.errorLog = errorLog;
  const pid_t a = Spawn(first, writer);
  const pid_t b = Spawn(second, reader);
  close(pipeFds[0]);
  close(pipeFds[1]);
  const int codeA = Wait(a);
  const int codeB = Wait(b);
  return codeA != 0 ? codeA : codeB;
}

// True when `program` is an executable file in one of the $PATH folders.
inline bool Installed(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= folders.size()) {
    const std::size_t end = std::min(folders.find(':', start), folders.size());
    const std::string candidate =
        (end > start ? folders.substr(start, end - start) : std::string(".")) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// The processor time of this whole process so far (every thread, user and system), seconds.
inline double ProcessorSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The peak resident memory of this process since it started (getrusage), KiB.
inline long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The high-water mark of this process's resident memory since the last ResetPeakRss (or
// since it started), KiB, from /proc/self/status; -1 when it cannot be read.
inline long PeakRssSinceResetKiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long value = -1;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::sscanf(line, "VmHWM: %ld kB", &value) == 1) break;
  std::fclose(status);
  return value;
}

// Lowers the high-water mark to the memory resident now, so that the next
// PeakRssSinceResetKiB covers what runs in between. False when the kernel does not offer it.
inline bool ResetPeakRss() {
  const int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool done = write(fd, "5", 1) == 1;
  close(fd);
  return done;
}

// Some file systems create files slowly for a while after many deletions: ext4 without a
// journal does not reuse an inode for 60 s after its deletion (360 s while its inode table
// block is not yet written back), and every allocation meanwhile steps over all of them, one
// buffer look-up each. Timed runs that create many files start only after a sync and this
// pause.
inline void Settle(int seconds) {
  if (seconds <= 0) return;
  std::printf("  (waiting %d s for the file system to settle after clean-up)\n", seconds);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

}  // namespace bench
