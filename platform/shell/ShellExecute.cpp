// ShellExecuteA / ShellExecuteExA over posix_spawn, and the process objects they return.
//
// A request is resolved to an argument vector before anything starts: the file's path (after
// the Windows path rules), then either the program itself with the parameter string as its
// one argument, or the desktop opener with the document's full path. posix_spawn reports a
// failed exec to the caller, so "not found" and "not allowed" are known synchronously, as
// Windows reports them.
//
// Every started process gets a reaper thread that waits for it and then signals an eventfd;
// the process object polls that eventfd, so it is waitable like the other kernel objects and
// no zombie is left behind when the caller closes the handle early or asks for none.
#include "platform/shell/ShellExecute.h"

#include <fcntl.h>
#include <spawn.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Kernel.h"
#include "platform/LastError.h"

using namespace qv::detail;

namespace {

// The outcome of a request: code > 32 means the program started.
struct Outcome {
  UINT code;
  DWORD error;
  bool Started() const { return code > 32; }
};

constexpr Outcome kStarted{SE_STARTED, ERROR_SUCCESS};
constexpr Outcome kFileNotFound{SE_ERR_FNF, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)};
constexpr Outcome kPathNotFound{SE_ERR_PNF, static_cast<DWORD>(ERROR_PATH_NOT_FOUND)};
constexpr Outcome kAccessDenied{SE_ERR_ACCESSDENIED, static_cast<DWORD>(ERROR_ACCESS_DENIED)};
constexpr Outcome kNoMemory{SE_ERR_OOM, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)};
constexpr Outcome kBadFormat{SE_ERR_BAD_FORMAT, ERROR_BAD_FORMAT};
constexpr Outcome kNoAssociation{SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION};

// A started (or about to be started) child. The reaper thread exists before the child does,
// so a process that started always has someone to collect its status.
class Process : public WaitableObject {
 public:
  Process() : done_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  bool Valid() const { return done_.Valid(); }
  int PollFd() const override { return done_.Get(); }
  bool TryAcquire() override {
    std::lock_guard<std::mutex> guard(lock_);
    return ended_;  // stays signalled, as a process handle does
  }

  // Tells the reaper which child to wait for; a pid <= 0 means none started and ends it.
  void Started(pid_t pid) {
    std::lock_guard<std::mutex> guard(lock_);
    pid_ = pid;
    decided_ = true;
    decided_cv_.notify_all();
  }

  // Body of the reaper thread.
  void Reap() {
    pid_t pid;
    {
      std::unique_lock<std::mutex> guard(lock_);
      decided_cv_.wait(guard, [this] { return decided_; });
      pid = pid_;
    }
    if (pid <= 0) return;
    int status = 0;
    pid_t reaped;
    do {
      reaped = waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    {
      std::lock_guard<std::mutex> guard(lock_);
      ended_ = true;
      if (reaped == pid) {
        known_ = true;
        if (WIFEXITED(status))
          code_ = static_cast<DWORD>(WEXITSTATUS(status));
        else if (WIFSIGNALED(status))
          code_ = 128 + static_cast<DWORD>(WTERMSIG(status));
        else
          code_ = 1;
      }
    }
    const std::uint64_t one = 1;
    (void)!write(done_.Get(), &one, sizeof one);
  }

  // False when the process ended but its status was collected elsewhere.
  bool ExitCode(DWORD* code) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!ended_) {
      *code = STILL_ACTIVE;
      return true;
    }
    if (!known_) return false;
    *code = code_;
    return true;
  }
  DWORD Pid() {
    std::lock_guard<std::mutex> guard(lock_);
    return pid_ > 0 ? static_cast<DWORD>(pid_) : 0;
  }

 private:
  UniqueFd done_;
  std::mutex lock_;
  std::condition_variable decided_cv_;
  bool decided_ = false;
  pid_t pid_ = 0;
  bool ended_ = false;
  bool known_ = false;
  DWORD code_ = 0;
};

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool HasDrive(std::string_view path) {
  const auto first = static_cast<unsigned char>(path.empty() ? 0 : path[0]);
  return path.size() >= 2 && path[1] == ':' &&
         ((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z'));
}

std::string CurrentFolder() {
  std::string buffer(4096, '\0');
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.c_str();
    if (errno != ERANGE || buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string Join(const std::string& folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  std::string out = folder;
  if (out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  return Join(CurrentFolder(), path);
}

// A Windows program name "x.exe" that does not exist stands for "x" when that exists.
std::string WithoutMissingExe(const std::string& path) {
  constexpr std::string_view kExe = ".exe";
  if (path.size() <= kExe.size() ||
      strcasecmp(path.c_str() + path.size() - kExe.size(), kExe.data()) != 0 || Exists(path))
    return path;
  std::string bare = path.substr(0, path.size() - kExe.size());
  return Exists(bare) ? bare : path;
}

// The folder this library lies in: the suite installs its libraries and programs together.
std::string InstallFolder() {
  const HMODULE self = GetModuleHandleFromAddress(reinterpret_cast<const void*>(&ShellExecuteA));
  std::string path(4096, '\0');
  const DWORD length = GetModuleFileNameA(self, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return {};
  path.resize(length);
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
}

// Maps "X:\a\b" (either separator) into the install folder. False for ".." parts, which
// would leave it. `fallBackToName` looks the last part up in the install folder itself when
// the full mapping does not exist (a program named by its Windows install path).
bool MapDrivePath(std::string_view path, bool fallBackToName, std::string* out) {
  std::vector<std::string_view> parts;
  std::string_view rest = path.substr(2);
  while (!rest.empty()) {
    const size_t end = rest.find_first_of("\\/");
    const std::string_view part = rest.substr(0, end);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts.push_back(part);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  const std::string folder = InstallFolder();
  if (folder.empty()) return false;
  std::string mapped = folder;
  for (const std::string_view part : parts) mapped = Join(mapped, part);
  mapped = WithoutMissingExe(mapped);
  if (fallBackToName && !Exists(mapped) && parts.size() > 1) {
    const std::string byName = WithoutMissingExe(Join(folder, parts.back()));
    if (Exists(byName)) mapped = byName;
  }
  *out = std::move(mapped);
  return true;
}

// Why `path` cannot be used: a missing folder on the way is "path not found".
Outcome MissingPathOutcome(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return kStarted;  // exists after all; caller decides
  if (errno == EACCES) return kAccessDenied;
  if (errno != ENOENT) return kPathNotFound;
  const size_t slash = path.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  return IsDirectory(parent) ? kFileNotFound : kPathNotFound;
}

// The file a request names, as an absolute path, or the reason there is none.
Outcome ResolveFile(const std::string& file, const std::string& folder, std::string* out) {
  if (file.empty()) return kFileNotFound;
  std::string path;
  if (HasDrive(file)) {
    if (!MapDrivePath(file, true, &path)) return kPathNotFound;
  } else if (file.front() == '/') {
    path = WithoutMissingExe(file);
  } else {
    path = Absolute(WithoutMissingExe(Join(folder.empty() ? CurrentFolder() : folder, file)));
    if (!Exists(path) && file.find('/') == std::string::npos) {
      // A bare program name, as Windows finds one on its search path.
      const char* search = std::getenv("PATH");
      std::string_view entries = search != nullptr ? search : "";
      while (!entries.empty()) {
        const size_t colon = entries.find(':');
        const std::string_view entry = entries.substr(0, colon);
        if (!entry.empty() && entry.front() == '/') {
          const std::string candidate = WithoutMissingExe(Join(std::string(entry), file));
          if (IsExecutableFile(candidate)) {
            path = candidate;
            break;
          }
        }
        if (colon == std::string_view::npos) break;
        entries.remove_prefix(colon + 1);
      }
    }
  }
  const Outcome missing = MissingPathOutcome(path);
  if (!missing.Started()) return missing;
  *out = std::move(path);
  return kStarted;
}

// The desktop opener's words; QV_OPEN_COMMAND is split at spaces, never given to a shell.
std::vector<std::string> OpenerWords() {
  std::vector<std::string> words;
  const char* command = std::getenv("QV_OPEN_COMMAND");
  std::string_view text = command != nullptr ? command : "";
  while (!text.empty()) {
    const size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    const size_t end = text.find(' ');
    words.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end);
  }
  if (words.empty()) words.emplace_back("xdg-open");
  return words;
}

Outcome OutcomeFromSpawnError(int err, bool opener) {
  switch (err) {
    case ENOENT:
      return opener ? kNoAssociation : kFileNotFound;
    case ENOTDIR:
      return opener ? kNoAssociation : kPathNotFound;
    case EACCES:
    case EPERM:
    case ETXTBSY:
      return kAccessDenied;
    case ENOEXEC:
      return kBadFormat;
    case ENOMEM:
    case EAGAIN:
      return kNoMemory;
    default:
      return Outcome{SE_ERR_ACCESSDENIED, Win32ErrorFromErrno(err)};
  }
}

// Starts argv[0] (searched on PATH when `search`) in `folder` (empty: ours).
int SpawnProcess(const std::vector<std::string>& words, bool search, const std::string& folder,
                 pid_t* pid) {
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) return rc;
  if (int rc = posix_spawnattr_init(&attributes); rc != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return rc;
  }
  int rc = 0;
  // The child keeps our standard output and error; input only when it is a terminal a
  // program could talk to. Nothing else crosses over, whatever its close-on-exec flag.
  if (rc == 0 && isatty(STDIN_FILENO) == 0)
    rc = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (rc == 0 && !folder.empty())
    rc = posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  // A fresh program starts with no blocked signals and default dispositions, whatever this
  // process (a file manager with its own signal handling) has set.
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&attributes, &none);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&attributes, &all);
  if (rc == 0)
    rc = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (rc == 0) {
    rc = search ? posix_spawnp(pid, argv[0], &actions, &attributes, argv.data(), environ)
                : posix_spawn(pid, argv[0], &actions, &attributes, argv.data(), environ);
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return rc;
}

enum class Verb { Open, Explore, Other };

Verb ParseVerb(const char* verb) {
  if (verb == nullptr || *verb == '\0' || strcasecmp(verb, "open") == 0) return Verb::Open;
  if (strcasecmp(verb, "explore") == 0) return Verb::Explore;
  return Verb::Other;
}

// Resolves and starts one request. On success `*process` is the started process.
Outcome Execute(const char* verbText, const char* fileText, const char* parameters,
                const char* directory, std::shared_ptr<Process>* process) {
  std::string folder;
  if (directory != nullptr && *directory != '\0') {
    if (HasDrive(directory)) {
      if (!MapDrivePath(directory, false, &folder)) return kPathNotFound;
    } else {
      folder = Absolute(directory);
    }
    if (!IsDirectory(folder)) return kPathNotFound;
  }

  std::string path;
  const Outcome found = ResolveFile(fileText != nullptr ? fileText : "", folder, &path);
  if (!found.Started()) return found;

  const Verb verb = ParseVerb(verbText);
  std::vector<std::string> words;
  bool opener = false;
  if (verb == Verb::Open && IsExecutableFile(path)) {
    words.push_back(path);
    if (parameters != nullptr && *parameters != '\0') words.emplace_back(parameters);
  } else if (verb == Verb::Open || (verb == Verb::Explore && IsDirectory(path))) {
    words = OpenerWords();
    words.push_back(path);
    opener = true;
  } else {
    return kNoAssociation;
  }

  auto child = std::make_shared<Process>();
  if (!child->Valid()) return kNoMemory;
  try {
    std::thread([child] { child->Reap(); }).detach();
  } catch (...) {
    return kNoMemory;
  }
  pid_t pid = 0;
  const bool search = opener && words.front().find('/') == std::string::npos;
  const int rc = SpawnProcess(words, search, folder, &pid);
  child->Started(rc == 0 ? pid : -1);
  if (rc != 0) return OutcomeFromSpawnError(rc, opener);
  *process = std::move(child);
  return kStarted;
}

HINSTANCE AsInstance(UINT code) {
  return reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(code));
}

}  // namespace

HINSTANCE ShellExecuteA(HWND, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        INT) noexcept {
  try {
    std::shared_ptr<Process> process;
    const Outcome outcome = Execute(verb, file, parameters, directory, &process);
    if (!outcome.Started()) SetLastError(outcome.error);
    return AsInstance(outcome.code);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return AsInstance(SE_ERR_OOM);
  }
}

BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) noexcept {
  if (info == nullptr || info->cbSize != sizeof(SHELLEXECUTEINFOA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  info->hProcess = nullptr;
  if ((info->fMask & (SEE_MASK_CLASSNAME | SEE_MASK_CLASSKEY | SEE_MASK_IDLIST)) != 0) {
    info->hInstApp = AsInstance(SE_ERR_NOASSOC);
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  try {
    std::shared_ptr<Process> process;
    const Outcome outcome =
        Execute(info->lpVerb, info->lpFile, info->lpParameters, info->lpDirectory, &process);
    info->hInstApp = AsInstance(outcome.code);
    if (!outcome.Started()) {
      SetLastError(outcome.error);
      return FALSE;
    }
    if ((info->fMask & SEE_MASK_NOCLOSEPROCESS) != 0) {
      // The program runs whatever happens here; without a handle it is still reaped.
      info->hProcess = InsertHandle(std::move(process));
    }
    return TRUE;
  } catch (...) {
    info->hInstApp = AsInstance(SE_ERR_OOM);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

BOOL GetExitCodeProcess(HANDLE handle, LPDWORD exitCode) noexcept {
  const auto process = LookupHandleAs<Process>(handle);
  if (!process) return FALSE;
  if (exitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!process->ExitCode(exitCode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}

DWORD GetProcessId(HANDLE handle) noexcept {
  const auto process = LookupHandleAs<Process>(handle);
  if (!process) return 0;
  return process->Pid();
}
