// Resolution and creation of the machine root and the per-user runtime folder.
#include "platform/MachineRoot.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

std::string HomeDir() {
  std::string home = EnvOrEmpty("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
    return pw->pw_dir;
  return "/tmp";
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

}  // namespace

std::string QvMachineRoot() {
  std::string root = EnvOrEmpty("QV_ROOT");
  if (root.empty()) {
    const std::string data = EnvOrEmpty("XDG_DATA_HOME");
    root = (data.empty() ? HomeDir() + "/.local/share" : data) + "/quorvin";
  }
  TrimTrailingSlashes(root);
  return MakeDirs(root) ? root : std::string();
}

std::string QvRuntimeDir() {
  const std::string xdg = EnvOrEmpty("XDG_RUNTIME_DIR");
  std::string dir = xdg.empty() ? "/tmp/quorvin-" + std::to_string(getuid()) : xdg + "/quorvin";
  TrimTrailingSlashes(dir);
  if (!MakeDirs(dir)) return {};
  // The endpoints in here decide who holds a role; a folder another user could write to
  // would let them take it over.
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return {};
  if ((st.st_mode & 077) != 0 && chmod(dir.c_str(), 0700) != 0) return {};
  return dir;
}
