// Helpers shared by the tests of the user store, the user-data object and the suite's
// programs: fresh key blobs, and a suite program run as a process of its own, without a
// terminal, its output collected from files of the test root.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Ole.h"
#include "suite/QvFsApi.h"
#include "suite/QvKeyBlob.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/TestRoot.h"

namespace qvtest {

// A key blob with a new key pair; the secret half is left out (zero) unless `withSecret`.
inline std::vector<std::uint8_t> NewKeyBlob(bool withSecret = true) {
  std::vector<std::uint8_t> blob(kKeyBlobSize, 0);
  std::memcpy(blob.data(), "QVKB", 4);
  blob[4] = kKeyBlobVersion;
  blob[5] = withSecret ? kKeyBlobHasSecret : 0;
  std::uint8_t secret[kKeyBlobKeySize];
  crypto_box_keypair(blob.data() + kKeyBlobPublicOffset, secret);
  if (withSecret) std::memcpy(blob.data() + kKeyBlobSecretOffset, secret, sizeof secret);
  return blob;
}

// The key the library makes for `name` (CreatePKISettings), named after it, as the user's
// default key.
inline QvKey LibraryKey(const std::string& name) {
  QvKey key;
  key.name = name;
  key.label = "DefaultKey";
  DWORD length = 0;
  BYTE* blob = nullptr;
  if (CreatePKISettings(name.c_str(), &length, &blob) && blob != nullptr)
    key.blob.assign(blob, blob + length);
  CoTaskMemFree(blob);
  return key;
}

// Enrolls `user` in the process's user store with a new key named after the user id.
inline QvStoreStatus EnrollWithKey(const QvNewUser& user, const std::string& password) {
  QvUserStore* store = QvSharedUserStore();
  if (store == nullptr) return QvStoreStatus::Failed;
  QvKey key = LibraryKey(user.userId);
  return store->Enroll(user, password, &key);
}

struct ProgramRun {
  int code = -1;  // exit code; -1 killed by a signal, -2 did not end in time
  std::string out;
  std::string err;
};

// Variables set (or, without a value, removed) in a program's environment.
using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

// A program of the test binary's folder started in a session of its own (no controlling
// terminal, so it never prompts), with `input` on standard input and its output going to
// files of the test root. A program still running when the object goes is killed.
class Program {
 public:
  Program(const TestRoot& root, const std::string& name, const std::vector<std::string>& args,
          const Environment& environment = {}, const std::string& input = "") {
    static int serial = 0;
    const std::string tag = name + "-" + std::to_string(++serial);
    const std::string inPath = root.Sub(tag + ".in");
    outPath_ = root.Sub(tag + ".out");
    errPath_ = root.Sub(tag + ".err");
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return;
    std::string path(self, static_cast<size_t>(length));
    path = path.substr(0, path.rfind('/')) + "/" + name;
    WriteTextFile(inPath, input);
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      const int in = open(inPath.c_str(), O_RDONLY);
      const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (in < 0 || out < 0 || err < 0) _exit(120);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      for (const auto& [variable, value] : environment) {
        if (value)
          setenv(variable.c_str(), value->c_str(), 1);
        else
          unsetenv(variable.c_str());
      }
      std::vector<char*> argv{const_cast<char*>(name.c_str())};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(path.c_str(), argv.data());
      _exit(127);
    }
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      Wait(60000);
    }
  }
  pid_t Pid() const { return pid_; }

  // Waits for the end (up to `milliseconds`) and collects the output written so far.
  ProgramRun Wait(int milliseconds = 60000) {
    ProgramRun run;
    int status = 0;
    for (int waited = 0; pid_ > 0 && !ended_; waited += 20) {
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        ended_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        break;
      }
      if (waited > milliseconds) break;
      usleep(20000);
    }
    run.code = ended_ ? code_ : -2;
    run.out = ReadTextFile(outPath_);
    run.err = ReadTextFile(errPath_);
    return run;
  }

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
  int code_ = -1;
  std::string outPath_, errPath_;
};

// Runs a program to its end (a minute at most; then it is killed and the code is -2).
inline ProgramRun RunProgram(const TestRoot& root, const std::string& name,
                             const std::vector<std::string>& args,
                             const Environment& environment = {}, const std::string& input = "") {
  return Program(root, name, args, environment, input).Wait();
}

}  // namespace qvtest
