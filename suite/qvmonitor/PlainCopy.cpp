// Checks and clean-up of plain copies.
#include "suite/qvmonitor/PlainCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/MachineRoot.h"

namespace qvmonitor {
namespace {

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

bool IsBelow(const std::string& path, const std::string& folder) {
  return !folder.empty() && path.size() > folder.size() + 1 &&
         path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

}  // namespace

bool IsAcceptablePlainCopy(const std::string& path, std::string* why) {
  if (path.empty() || path.front() != '/' || path.find("/../") != std::string::npos ||
      path.find("/./") != std::string::npos) {
    *why = "not an absolute, plain path";
    return false;
  }
  const std::string folder = FolderOf(path);
  struct stat folderStat {};
  if (folder.empty() || lstat(folder.c_str(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode) ||
      folderStat.st_uid != getuid() || (folderStat.st_mode & 077) != 0) {
    *why = "its folder is not a private folder of this user";
    return false;
  }
  // The folder itself (resolved: the runtime folder may be reached through a link) must lie
  // below one of the user's private areas.
  const std::string resolvedFolder = RealPath(folder);
  const std::string runtime = RealPath(QvRuntimeDir());
  const std::string scratch = RealPath(QvScratchDir());
  if (resolvedFolder.empty() ||
      (!IsBelow(resolvedFolder, runtime) && !IsBelow(resolvedFolder, scratch))) {
    *why = "it is not in a private work folder of the user's runtime area";
    return false;
  }
  struct stat fileStat {};
  if (lstat(path.c_str(), &fileStat) != 0 || !S_ISREG(fileStat.st_mode) ||
      fileStat.st_uid != getuid() || fileStat.st_nlink != 1) {
    *why = "it is not a regular file of this user with a single name";
    return false;
  }
  return true;
}

bool StampOf(const std::string& path, CopyStamp* stamp) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  stamp->device = st.st_dev;
  stamp->inode = st.st_ino;
  stamp->size = st.st_size;
  stamp->modifiedNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return true;
}

bool IsHeldOpen(const std::string& path, pid_t self) {
  struct stat target {};
  if (stat(path.c_str(), &target) != 0) return false;
  DirHandle proc(opendir("/proc"));
  if (!proc) return false;
  while (const dirent* process = readdir(proc.get())) {
    char* end = nullptr;
    const long pid = std::strtol(process->d_name, &end, 10);
    if (end == process->d_name || *end != '\0' || pid == self) continue;
    const std::string fds = std::string("/proc/") + process->d_name + "/fd";
    DirHandle list(opendir(fds.c_str()));
    if (!list) continue;  // another user's process, or one that just ended
    while (const dirent* fd = readdir(list.get())) {
      if (fd->d_name[0] == '.') continue;
      struct stat opened {};
      if (stat((fds + "/" + fd->d_name).c_str(), &opened) == 0 && opened.st_dev == target.st_dev &&
          opened.st_ino == target.st_ino)
        return true;
    }
  }
  return false;
}

bool OverwriteAndRemove(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
      static const char kZeros[65536] = {};
      off_t left = st.st_size;
      while (left > 0) {
        const ssize_t n = write(fd, kZeros, left < off_t{sizeof kZeros} ? left : sizeof kZeros);
        if (n <= 0) break;
        left -= n;
      }
      (void)fsync(fd);
    }
    close(fd);
  }
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

void RemovePrivateFolder(const std::string& copyPath, const std::vector<std::string>& keep) {
  const std::string folder = FolderOf(copyPath);
  if (folder.empty()) return;
  for (const std::string& other : keep)
    if (FolderOf(other) == folder) return;
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
      (st.st_mode & 077) != 0)
    return;
  std::vector<std::string> leftovers;
  if (DirHandle dir(opendir(folder.c_str())); dir) {
    while (const dirent* entry = readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      struct stat item {};
      const std::string path = folder + "/" + name;
      if (lstat(path.c_str(), &item) == 0 && (S_ISREG(item.st_mode) || S_ISLNK(item.st_mode)))
        leftovers.push_back(path);
    }
  }
  for (const std::string& path : leftovers) {
    struct stat item {};
    if (lstat(path.c_str(), &item) == 0 && S_ISREG(item.st_mode) && item.st_nlink == 1)
      (void)OverwriteAndRemove(path);
    else
      (void)unlink(path.c_str());
  }
  (void)rmdir(folder.c_str());
}

}  // namespace qvmonitor
