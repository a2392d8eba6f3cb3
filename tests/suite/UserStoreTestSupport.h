// Helpers shared by the tests of the user store, the user-data object and the suite's
// programs: fresh key blobs, an exported key of an earlier installation, and a suite program run as
// a process of its own, without a terminal, its output collected from files of the test root.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sodium.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Ole.h"
#include "suite/QvFsApi.h"
#include "suite/QvKeyBlob.h"
#include "suite/qvprofile/KeyFile.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/TestRoot.h"

namespace qvtest {

// A key blob with a new key pair; the secret half is left out (zero) unless `withSecret`.
inline std::vector<std::uint8_t> NewKeyBlob(bool withSecret = true) {
  std::vector<std::uint8_t> blob(kKeyBlobSize, 0);
  std::memcpy(blob.data(), "QVKB", 4);
  blob[4] = kKeyBlobVersionX25519;
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

// A key of the user's earlier installation that the user exported to a key file under
// `filePassword` (the export folder is made), with a credential block naming it and a folder
// header made with it, as an older container holds.
struct OlderKey {
  std::string name = "{0A1B2C3D-1111-4222-8333-444455556666}";
  std::vector<std::uint8_t> blob;
  BYTE credentials[kCredentialSizeSentivo] = {};
  DWORD credentialsLength = 0;
  std::vector<BYTE> header = std::vector<BYTE>(2048);
  DWORD headerLength = 0;
  std::string keyFile;  // the name of its file in the export folder
};
inline void MakeOlderKey(const std::string& userId, const std::string& filePassword,
                         OlderKey* key) {
  key->blob = LibraryKey(key->name).blob;
  ASSERT_FALSE(key->blob.empty());
  ASSERT_TRUE(FillCredentialBlock(key->credentials, sizeof key->credentials, key->name.c_str(),
                                  "DefaultKey", &key->credentialsLength));
  key->headerLength = static_cast<DWORD>(key->header.size());
  DWORD handle = 0;
  EncryptAlgoInfo algorithm{};
  algorithm.algorithmId = kDefaultAlgorithmId;
  ASSERT_EQ(QVFSInitFolderEncryption(&algorithm, key->name.c_str(), key->blob.data(),
                                     static_cast<DWORD>(key->blob.size()), key->credentials,
                                     key->credentialsLength, key->header.data(), &key->headerLength,
                                     &handle),
            0u);
  (void)QVFSCloseHandle(handle);
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(QvEncodeKeyFile({userId, key->name, "DefaultKey", key->blob}, filePassword, &bytes),
            QvStoreStatus::Ok);
  ASSERT_EQ(mkdir(QvExportFolder().c_str(), 0700), 0);
  key->keyFile = QvKeyFileName(key->name);
  ASSERT_EQ(QvWriteKeyFile(QvExportFolder() + "/" + key->keyFile, bytes, false, nullptr),
            QvStoreStatus::Ok);
}

// Enrolls `user` in the process's user store with a new key named after the user id; the
// store is made when missing, as an enrollment does (the suite's libraries never make one).
inline QvStoreStatus EnrollWithKey(const QvNewUser& user, const std::string& password) {
  if (QvUserStore().Open() != QvStoreStatus::Ok) return QvStoreStatus::Failed;
  QvUserStore* store = QvSharedUserStore();
  if (store == nullptr) return QvStoreStatus::Failed;
  QvKey key = LibraryKey(user.userId);
  return store->Enroll(user, password, &key);
}

// Enrolls `id` as another account of this computer (".\\id", no password) known to this store
// only by the public key `shared` it shares with others: a user items can be shared with.
inline QvStoreStatus EnrollSharingPeer(const std::string& id, const std::vector<BYTE>& shared) {
  if (QvUserStore().Open() != QvStoreStatus::Ok) return QvStoreStatus::Failed;
  QvUserStore* store = QvSharedUserStore();
  if (store == nullptr) return QvStoreStatus::Failed;
  QvKey key;
  key.name = id;
  key.label = "DefaultKey";
  key.blob.assign(shared.begin(), shared.end());
  return store->Enroll({id, ".\\" + id, id, QvAccountType::Computer}, std::nullopt, &key);
}

// The master key of `userId` as a verification unlocks it (null when the password does not
// open it): the tests' way to make the changes only a verified user may make.
inline std::unique_ptr<QvMasterKey> UnlockedMasterKey(QvUserStore& store, const std::string& userId,
                                                      const std::string& password) {
  auto masterKey = std::make_unique<QvMasterKey>();
  if (store.UnlockMasterKey(userId, password, masterKey.get()) != QvStoreStatus::Ok)
    masterKey.reset();
  return masterKey;
}

// Runs `sql` on the store file through a connection of its own, nothing of the library
// involved, as someone editing the file with sqlite3 would; every "$U" in it is replaced by
// `userId`.
inline void EditBehindTheLibrary(std::string sql, const std::string& userId) {
  for (size_t at = sql.find("$U"); at != std::string::npos; at = sql.find("$U"))
    sql.replace(at, 2, "'" + userId + "'");
  sqlite3* db = nullptr;
  ASSERT_EQ(
      sqlite3_open_v2(QvUserStore::DefaultPath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
      SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << (error != nullptr ? error : "") << "\n" << sql;
  sqlite3_free(error);
  sqlite3_close(db);
}
// A genuine key file sealed under `password` at the given limits, made as a writer with other
// limits than ours (an older version, or another program) would make it.
inline std::vector<std::uint8_t> KeyFileSealedAt(const QvKeyFileContents& key, std::uint8_t version,
                                                 std::uint64_t ops, std::uint64_t mem,
                                                 const char* password) {
  std::vector<std::uint8_t> out(48, 0);
  std::memcpy(out.data(), "QVKF", 4);
  out[4] = version;
  out[5] = 2;
  for (int i = 0; i < 8; ++i) {
    out[8 + i] = static_cast<std::uint8_t>(ops >> (8 * i));
    out[16 + i] = static_cast<std::uint8_t>(mem >> (8 * i));
  }
  randombytes_buf(out.data() + 24, 16);
  out[40] = static_cast<std::uint8_t>(key.userId.size());
  out[42] = static_cast<std::uint8_t>(key.keyName.size());
  out[44] = static_cast<std::uint8_t>(key.label.size());
  for (const std::string* text : {&key.userId, &key.keyName, &key.label})
    out.insert(out.end(), text->begin(), text->end());
  unsigned char derived[32];
  EXPECT_EQ(crypto_pwhash(derived, sizeof derived, password, std::strlen(password), out.data() + 24,
                          ops, mem, crypto_pwhash_ALG_ARGON2ID13),
            0);
  std::string context = "qvkf" + std::string(out.begin(), out.end());
  std::vector<std::uint8_t> sealed(24 + key.blob.size() + 16);
  randombytes_buf(sealed.data(), 24);
  crypto_aead_xchacha20poly1305_ietf_encrypt(sealed.data() + 24, nullptr, key.blob.data(),
                                             key.blob.size(),
                                             reinterpret_cast<const unsigned char*>(context.data()),
                                             context.size(), nullptr, sealed.data(), derived);
  out.insert(out.end(), sealed.begin(), sealed.end());
  return out;
}

// The password derivations at their real cost while it lives: the tests run with
// QV_TEST_KDF_COST=low (tests/CMakeLists.txt), which this takes away and then puts back.
class RealKdfCost {
 public:
  RealKdfCost() {
    if (const char* cost = std::getenv("QV_TEST_KDF_COST")) saved_ = cost;
    unsetenv("QV_TEST_KDF_COST");
  }
  ~RealKdfCost() {
    if (saved_) setenv("QV_TEST_KDF_COST", saved_->c_str(), 1);
  }
  RealKdfCost(const RealKdfCost&) = delete;
  RealKdfCost& operator=(const RealKdfCost&) = delete;

 private:
  std::optional<std::string> saved_;
};

struct ProgramRun {
  int code = -1;  // exit code; -1 killed by a signal, -2 did not end in time
  std::string out;
  std::string err;
};

// Variables set (or, without a value, removed) in a program's environment.
using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

// The path of program `name` in the test binary's folder.
inline std::string ProgramPath(const std::string& name) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return name;
  const std::string binary(self, static_cast<size_t>(length));
  return binary.substr(0, binary.rfind('/')) + "/" + name;
}

// Starts program `name` of the test binary's folder in a session of its own (no controlling
// terminal, so it never prompts) with `input` as its standard input and its output in
// `outPath` and `errPath`. The child closes `parentEnd` (the test's end of a pipe, or -1).
// The process id, or -1.
inline pid_t StartProgram(const std::string& name, const std::vector<std::string>& args,
                          const Environment& environment, int input, int parentEnd,
                          const std::string& outPath, const std::string& errPath) {
  const std::string path = ProgramPath(name);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  setsid();
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (input < 0 || out < 0 || err < 0) _exit(120);
  dup2(input, 0);
  dup2(out, 1);
  dup2(err, 2);
  if (parentEnd >= 0) close(parentEnd);
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

// Standard input of a Program that the test writes to when it chooses (Send).
struct PipedInput {};

// A program of the test binary's folder (see StartProgram), with `input` on standard input,
// or a pipe, and its output going to files of the test root. A program still running when
// the object goes is killed.
class Program {
 public:
  Program(const TestRoot& root, const std::string& name, const std::vector<std::string>& args,
          const Environment& environment = {}, const std::string& input = "") {
    const std::string tag = Tag(root, name);
    const std::string inPath = root.Sub(tag + ".in");
    WriteTextFile(inPath, input);
    const int in = open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
    pid_ = StartProgram(name, args, environment, in, -1, outPath_, errPath_);
    if (in >= 0) close(in);
  }
  Program(const TestRoot& root, const std::string& name, const std::vector<std::string>& args,
          const Environment& environment, PipedInput) {
    Tag(root, name);
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = StartProgram(name, args, environment, fds[0], fds[1], outPath_, errPath_);
    close(fds[0]);
    if (pid_ > 0)
      input_ = fds[1];
    else
      close(fds[1]);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program() {
    if (input_ >= 0) close(input_);
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      Wait(60000);
    }
  }
  pid_t Pid() const { return pid_; }
  bool Started() const { return pid_ > 0; }

  // Writes `text` to a piped standard input and closes it; a program that has ended reads
  // nothing.
  void Send(const std::string& text) {
    if (input_ < 0) return;
    const auto previous = signal(SIGPIPE, SIG_IGN);
    (void)!write(input_, text.data(), text.size());
    signal(SIGPIPE, previous);
    close(input_);
    input_ = -1;
  }
  // True once the program has ended.
  bool Ended() {
    int status = 0;
    if (!ended_ && pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
      ended_ = true;
      code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return ended_;
  }
  // Standard output and error as written so far.
  std::string Output() const { return ReadTextFile(outPath_) + ReadTextFile(errPath_); }

  // Waits for the end (up to `milliseconds`) and collects the output written so far.
  ProgramRun Wait(int milliseconds = 60000) {
    for (int waited = 0; !Ended() && pid_ > 0 && waited <= milliseconds; waited += 20)
      usleep(20000);
    ProgramRun run;
    run.code = ended_ ? code_ : -2;
    run.out = ReadTextFile(outPath_);
    run.err = ReadTextFile(errPath_);
    return run;
  }

 private:
  std::string Tag(const TestRoot& root, const std::string& name) {
    static int serial = 0;
    const std::string tag = name + "-" + std::to_string(++serial);
    outPath_ = root.Sub(tag + ".out");
    errPath_ = root.Sub(tag + ".err");
    return tag;
  }

  pid_t pid_ = -1;
  int input_ = -1;
  bool ended_ = false;
  int code_ = -1;
  std::string outPath_, errPath_;
};

// Waits up to 30 s for `condition`.
template <class Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 1500; ++i) {
    if (condition()) return true;
    usleep(20000);
  }
  return condition();
}

// Runs a program to its end (a minute at most; then it is killed and the code is -2).
inline ProgramRun RunProgram(const TestRoot& root, const std::string& name,
                             const std::vector<std::string>& args,
                             const Environment& environment = {}, const std::string& input = "") {
  return Program(root, name, args, environment, input).Wait();
}

// Success when `run` ended with `code`, every text of `err` is on its standard error and every
// text of `out` on its standard output; a failure names what is missing and shows both.
inline testing::AssertionResult Exited(const ProgramRun& run, int code,
                                       const std::vector<std::string>& err = {},
                                       const std::vector<std::string>& out = {}) {
  std::string missing;
  if (run.code != code) missing += "exit code " + std::to_string(code) + "; ";
  for (const std::string& text : err)
    if (run.err.find(text) == std::string::npos) missing += "on standard error: " + text + "; ";
  for (const std::string& text : out)
    if (run.out.find(text) == std::string::npos) missing += "on standard output: " + text + "; ";
  if (missing.empty()) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "expected " << missing << "\nexit code " << run.code << "\nstandard output:\n"
         << run.out << "\nstandard error:\n"
         << run.err;
}

// A test that runs the suite's programs in its own machine root: a password file (mode
// 0600) for their verification, a work folder, and a desktop opener that records each path
// it is asked to open in openerLog_. Env() is the programs' environment.
class ProgramsFixture : public RootedTest {
 protected:
  static constexpr const char* kPassword = "correct horse";

  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    passwordFile_ = PasswordFile("password", kPassword);
    work_ = root_.Sub("work");
    ASSERT_EQ(mkdir(work_.c_str(), 0700), 0);
    openerLog_ = root_.Sub("opened.log");
    opener_ = root_.Sub("opener");
    WriteTextFile(opener_, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> " + openerLog_ + "\n");
    ASSERT_EQ(chmod(opener_.c_str(), 0700), 0);
  }

  Environment Env(const Environment& more = {}) const {
    Environment environment{{"QV_PASSWORD_FILE", passwordFile_},
                            {"QV_OPEN_COMMAND", opener_},
                            {"QV_PRODUCT_LIBRARY", std::nullopt}};
    environment.insert(environment.end(), more.begin(), more.end());
    return environment;
  }

  // A file of the test root (mode 0600) holding `password` on its first line; its path.
  std::string PasswordFile(const std::string& name, const std::string& password) const {
    const std::string path = root_.Sub(name);
    WriteTextFile(path, password + "\n");
    EXPECT_EQ(chmod(path.c_str(), 0600), 0);
    return path;
  }
  std::string W(const std::string& name) const { return work_ + "/" + name; }
  // True when anything is at `path`, a dangling link too.
  static bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }

  ProgramRun Run(const std::string& program, const std::vector<std::string>& args,
                 const Environment& more = {}) const {
    return RunProgram(root_, program, args, Env(more));
  }
  ProgramRun Client(const std::vector<std::string>& args, const Environment& more = {}) const {
    return Run("qvclient", args, more);
  }
  ProgramRun Shella(const std::vector<std::string>& args, const Environment& more = {}) const {
    return Run("Qvshella", args, more);
  }
  // Enrolls the current account with qvenroll, under kPassword.
  void EnrollMe() const { ASSERT_TRUE(Exited(Run("qvenroll", {}), 0)); }
  // Writes `name` in the work folder and encrypts it with qvclient; the .qvf path.
  std::string Encrypted(const std::string& name, const std::string& content) const {
    WriteTextFile(W(name), content);
    EXPECT_TRUE(Exited(Client({"encrypt", W(name)}), 0)) << name;
    EXPECT_FALSE(Exists(W(name)));
    EXPECT_TRUE(Exists(W(name) + ".qvf"));
    return W(name) + ".qvf";
  }

  std::string passwordFile_, work_, opener_, openerLog_;
};

}  // namespace qvtest
