// Self-cleaning machine roots and small file helpers for the tests.
#include "tests/common/TestRoot.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/MachineRoot.h"

namespace {
const char* const kVars[3] = {"QV_ROOT", "XDG_RUNTIME_DIR", "TMPDIR"};
}

TestRoot::TestRoot() {
  std::string base = std::filesystem::temp_directory_path().string();
  std::string pattern = base + "/qvtest-XXXXXX";
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) {
    ADD_FAILURE() << "cannot create a temporary machine root under " << base;
    return;
  }
  path_ = made;
  const std::string values[3] = {path_ + "/root", path_ + "/run", path_ + "/tmp"};
  for (int i = 0; i < 3; ++i) {
    if (const char* old = std::getenv(kVars[i])) {
      had_[i] = true;
      saved_[i] = old;
    }
    std::filesystem::create_directories(values[i]);
    setenv(kVars[i], values[i].c_str(), 1);
  }
}

TestRoot::~TestRoot() {
  std::error_code ec;
  // A runtime folder on disk has its scratch folder in shared memory, named after it: removed
  // with the root, or every test would leave one behind there.
  if (const std::string scratch = path_.empty() ? std::string() : QvScratchDir();
      !scratch.empty() && scratch.rfind(path_ + "/", 0) != 0)
    std::filesystem::remove_all(scratch, ec);
  for (int i = 0; i < 3; ++i) {
    if (had_[i])
      setenv(kVars[i], saved_[i].c_str(), 1);
    else
      unsetenv(kVars[i]);
  }
  if (!path_.empty()) {
    // Tests may leave read-only entries behind; make everything writable first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
  }
}

void WriteTextFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::map<std::string, std::string> TreeOf(const std::string& root, const char* folderMark) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> entries;
  if (!fs::exists(root)) return entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    if (!entry.is_directory())
      entries[name] = ReadTextFile(entry.path().string());
    else if (folderMark != nullptr)
      entries[name] = folderMark;
  }
  return entries;
}

int RunInChild(const std::function<int()>& child) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int rc = 99;
    try {
      rc = child();
    } catch (...) {
      rc = 98;
    }
    _exit(rc);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
