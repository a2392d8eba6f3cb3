// Known folders from fixed system paths, the XDG base directory variables and the home
// folder.
#include "platform/KnownFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/LastError.h"

namespace {

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
    return WithoutTrailingSlashes(home);
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/')
    return WithoutTrailingSlashes(found->pw_dir);
  return {};
}

// $variable when it holds an absolute path, else the home folder plus `fallback`.
bool XdgFolder(const char* variable, const char* fallback, std::string& out) {
  if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/') {
    out = WithoutTrailingSlashes(value);
    return true;
  }
  const std::string home = HomeFolder();
  if (home.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  out = (home == "/" ? std::string() : home) + fallback;
  return true;
}

constexpr const char* kWindowsFolder = "/usr";

}  // namespace

bool GetKnownFolderPath(KnownFolder folder, std::string& out) noexcept {
  try {
    switch (folder) {
      case KnownFolder::Windows:
        out = kWindowsFolder;
        return true;
      case KnownFolder::System:
        out = "/usr/bin";
        return true;
      case KnownFolder::ProgramFiles:
        out = "/opt";
        return true;
      case KnownFolder::Profiles:
        out = "/home";
        return true;
      case KnownFolder::UserConfig:
        return XdgFolder("XDG_CONFIG_HOME", "/.config", out);
      case KnownFolder::UserData:
        return XdgFolder("XDG_DATA_HOME", "/.local/share", out);
      case KnownFolder::UserCache:
        return XdgFolder("XDG_CACHE_HOME", "/.cache", out);
      case KnownFolder::UserState:
        return XdgFolder("XDG_STATE_HOME", "/.local/state", out);
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

std::vector<std::string> SystemFolders() {
  return {"/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32", "/etc", "/boot", "/opt"};
}

std::vector<std::string> ProtectedFolders(const std::string& installFolder) {
  std::vector<std::string> folders = SystemFolders();
  if (!installFolder.empty()) folders.push_back(WithoutTrailingSlashes(installFolder));
  for (KnownFolder f : {KnownFolder::UserConfig, KnownFolder::UserData, KnownFolder::UserCache,
                        KnownFolder::UserState}) {
    std::string path;
    if (GetKnownFolderPath(f, path)) folders.push_back(path);
  }
  return folders;
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) noexcept {
  const UINT length = static_cast<UINT>(std::strlen(kWindowsFolder));
  if (buffer == nullptr || size < length + 1) return length + 1;
  std::memcpy(buffer, kWindowsFolder, length + 1);
  return length;
}
