// Password prompts and their sources (see PasswordSource.h).
#include "suite/qvverify/PasswordSource.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "suite/qvprofile/UserStore.h"
#include "suite/qvverify/PasswordDialog.h"

namespace {

std::mutex g_stdinLock;
bool g_useStdin = false;
bool g_stdinRead = false;
std::string* g_stdinPassword = new std::string;

// The first line of `text` without its line end.
std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

QvPasswordReply Unavailable(std::string error) {
  QvPasswordReply reply;
  reply.answer = QvPasswordAnswer::Unavailable;
  reply.nonInteractive = true;
  reply.error = std::move(error);
  return reply;
}

QvPasswordReply Given(std::string password) {
  QvPasswordReply reply;
  if (password.empty()) {
    QvWipe(password);
    return Unavailable("the password given is empty");
  }
  if (password.size() > kMaxPasswordLength) {
    QvWipe(password);
    return Unavailable("the password given is longer than " + std::to_string(kMaxPasswordLength) +
                       " bytes");
  }
  reply.answer = QvPasswordAnswer::Given;
  reply.password = std::move(password);
  reply.nonInteractive = true;
  return reply;
}

// Reads at most kMaxPasswordLength + 2 bytes: enough for the longest password and its line end.
bool ReadSome(int fd, std::string* text) {
  char buffer[kMaxPasswordLength + 2];
  std::size_t done = 0;
  while (done < sizeof buffer) {
    const ssize_t n = ::read(fd, buffer + done, sizeof buffer - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
    if (std::memchr(buffer, '\n', done) != nullptr) break;
  }
  text->assign(buffer, done);
  sodium_memzero(buffer, sizeof buffer);
  return true;
}

QvPasswordReply FromFile(const char* path) {
  const std::string name = path;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return Unavailable(std::string("cannot open the password file ") + name + " (" +
                       kPasswordFileVariable + "): " + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return Unavailable("the password file " + name + " is not a regular file");
  }
  // Like a private key file: a password others can read is no secret.
  if (info.st_uid != ::getuid() || (info.st_mode & 077) != 0) {
    ::close(fd);
    return Unavailable("the password file " + name +
                       " must be yours and readable by you alone (mode 0600: chmod 600 " + name +
                       ")");
  }
  std::string text;
  const bool read = ReadSome(fd, &text);
  ::close(fd);
  if (!read) return Unavailable("cannot read the password file " + name);
  std::string line = FirstLine(text);
  QvWipe(text);
  return Given(std::move(line));
}

QvPasswordReply FromStdin() {
  std::lock_guard<std::mutex> guard(g_stdinLock);
  if (!g_stdinRead) {
    g_stdinRead = true;
    std::string text;
    if (ReadSome(STDIN_FILENO, &text)) *g_stdinPassword = FirstLine(text);
    QvWipe(text);
  }
  if (g_stdinPassword->empty()) return Unavailable("no password on standard input");
  return Given(*g_stdinPassword);
}

QvPasswordReply FromDialog(const QvPasswordQuestion& question) {
  CPasswordDlg dialog(question);
  const INT_PTR result = dialog.DoModal();
  QvPasswordReply reply;
  if (result == IDOK) {
    reply.answer = QvPasswordAnswer::Given;
    reply.password = std::move(dialog.Password());
    return reply;
  }
  if (result == -1) {
    reply.answer = QvPasswordAnswer::Unavailable;
    reply.error = "the password dialog cannot be shown";
    return reply;
  }
  reply.answer = QvPasswordAnswer::Cancelled;
  return reply;
}

}  // namespace

QvPasswordReply QvAskPassword(const QvPasswordQuestion& question) noexcept {
  try {
    if (const char* file = std::getenv(kPasswordFileVariable); file != nullptr && file[0] != '\0')
      return FromFile(file);
    bool useStdin;
    {
      std::lock_guard<std::mutex> guard(g_stdinLock);
      useStdin = g_useStdin;
    }
    if (useStdin) return FromStdin();
    return FromDialog(question);
  } catch (...) {
    return Unavailable("out of memory");
  }
}

std::string QvPasswordFileProblem() {
  const char* file = std::getenv(kPasswordFileVariable);
  if (file == nullptr || file[0] == '\0') return {};
  QvPasswordReply reply = FromFile(file);
  QvWipe(reply.password);
  return reply.answer == QvPasswordAnswer::Given ? std::string() : reply.error;
}

void QvReadPasswordFromStdin(bool enable) noexcept {
  std::lock_guard<std::mutex> guard(g_stdinLock);
  g_useStdin = enable;
}

bool QvPasswordSourceIsNonInteractive() noexcept {
  const char* file = std::getenv(kPasswordFileVariable);
  if (file != nullptr && file[0] != '\0') return true;
  std::lock_guard<std::mutex> guard(g_stdinLock);
  return g_useStdin;
}
