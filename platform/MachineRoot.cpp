// Resolution and creation of the machine root and the per-user runtime folder.
#include "platform/MachineRoot.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

// The XDG base-directory variables count only when they hold an absolute path; a relative
// one would make the folder depend on each process's working directory, so processes of the
// same user would not meet.
std::string XdgDir(const char* name) {
  std::string dir = EnvOrEmpty(name);
  return !dir.empty() && dir.front() == '/' ? dir : std::string();
}

// The user's home folder, or empty when neither HOME nor the password entry names an
// absolute one: a shared folder such as /tmp must never hold the user's keys and registry.
std::string HomeDir() {
  std::string home = EnvOrEmpty("HOME");
  if (home.empty()) {
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
      home = pw->pw_dir;
  }
  return !home.empty() && home.front() == '/' ? home : std::string();
}

void TrimTrailingSlashes(std::string& path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
}

// mkdir -p with mode 0700 for each created level.
bool MakeDirs(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) return false;
  return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

// `dir`, created (mode 0700) when missing, when it is a folder of this user's own and not a
// link; its mode is set to exactly 0700. Empty otherwise.
std::string PrivateDir(const std::string& dir) {
  if (!MakeDirs(dir)) return {};
  // The endpoints in here decide who holds a role, and work files wait in it; a folder
  // another user could write to would let them take a role over or plant files. The mode is set to
  // exactly 0700: wider is tightened, and a folder that a strict umask left without write or search
  // permission is made usable. The checks and the change go through one descriptor opened without
  // following a link, so the folder checked is the folder changed.
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st {};
  const bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
                  ((st.st_mode & 0777) == 0700 || fchmod(fd, 0700) == 0);
  close(fd);
  return ok ? dir : std::string();
}

}  // namespace

std::string QvMachineRoot() {
  const std::string root = QvMachineRootPath();
  return MakeDirs(root) ? root : std::string();
}

std::string QvMachineRootPath() {
  std::string root = EnvOrEmpty("QV_ROOT");
  if (root.empty()) {
    const std::string data = XdgDir("XDG_DATA_HOME");
    if (data.empty()) {
      const std::string home = HomeDir();
      if (home.empty()) return {};
      root = home + "/.local/share/quorvin";
    } else {
      root = data + "/quorvin";
    }
  }
  TrimTrailingSlashes(root);
  return root;
}

std::string QvRuntimeDir() {
  const std::string xdg = XdgDir("XDG_RUNTIME_DIR");
  std::string dir = xdg.empty() ? "/tmp/quorvin-" + std::to_string(getuid()) : xdg + "/quorvin";
  TrimTrailingSlashes(dir);
  return PrivateDir(dir);
}

bool QvOnMemoryFileSystem(const std::string& path) noexcept {
  struct statfs facts {};
  return statfs(path.c_str(), &facts) == 0 &&
         (facts.f_type == TMPFS_MAGIC || facts.f_type == RAMFS_MAGIC);
}

std::string QvScratchDir() {
  const std::string runtime = QvRuntimeDir();
  if (!runtime.empty() && QvOnMemoryFileSystem(runtime)) return PrivateDir(runtime + "/scratch");
  if (runtime.empty() || !QvOnMemoryFileSystem("/dev/shm")) return {};
  // One folder per runtime folder: what works in it is tied to that runtime folder's mutexes
  // (a work folder is in use while its mutex is held), which other runtime folders of the
  // same user cannot see.
  const std::string shared = PrivateDir("/dev/shm/quorvin-" + std::to_string(getuid()));
  if (shared.empty()) return {};
  char name[32];
  std::snprintf(name, sizeof name, "/%016llx",
                static_cast<unsigned long long>(std::hash<std::string>{}(runtime)));
  return PrivateDir(shared + name);
}

std::string QvXdgDataHome() {
  std::string dir = XdgDir("XDG_DATA_HOME");
  if (dir.empty() && !HomeDir().empty()) dir = HomeDir() + "/.local/share";
  TrimTrailingSlashes(dir);
  return dir;
}

std::string QvXdgConfigHome() {
  std::string dir = XdgDir("XDG_CONFIG_HOME");
  if (dir.empty() && !HomeDir().empty()) dir = HomeDir() + "/.config";
  TrimTrailingSlashes(dir);
  return dir;
}
