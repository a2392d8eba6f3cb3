// Password prompts and their sources (see PasswordSource.h).
#include "suite/qvverify/PasswordSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "suite/qvprofile/UserStore.h"
#include "suite/qvverify/PasswordDialog.h"

namespace {

static_assert(QvSecretText::kCapacity == kMaxPasswordLength + 2,
              "room for the longest password and its line end");

std::mutex g_stdinLock;
bool g_useStdin = false;
bool g_stdinRead = false;
QvSecretText* g_stdinPassword = new QvSecretText;

// Keeps the first line of `text` without its line end.
void KeepFirstLine(QvSecretText* text) {
  const std::string_view view = text->View();
  std::size_t end = std::min(view.find('\n'), view.size());
  if (end > 0 && view[end - 1] == '\r') --end;
  text->Truncate(end);
}

QvPasswordReply Unavailable(std::string error) {
  QvPasswordReply reply;
  reply.answer = QvPasswordAnswer::Unavailable;
  reply.nonInteractive = true;
  reply.error = std::move(error);
  return reply;
}

QvPasswordReply Given(QvSecretText password) {
  if (password.Empty()) return Unavailable("the password given is empty");
  if (password.Size() > kMaxPasswordLength)
    return Unavailable("the password given is longer than " + std::to_string(kMaxPasswordLength) +
                       " bytes");
  QvPasswordReply reply;
  reply.answer = QvPasswordAnswer::Given;
  reply.password = std::move(password);
  reply.nonInteractive = true;
  return reply;
}

// Reads at most kMaxPasswordLength + 2 bytes, straight into guarded memory: enough for the
// longest password and its line end.
bool ReadSome(int fd, QvSecretText* text) {
  if (!text->Valid()) return false;
  char* buffer = text->Buffer();
  std::size_t done = 0;
  while (done < QvSecretText::kCapacity) {
    const ssize_t n = ::read(fd, buffer + done, QvSecretText::kCapacity - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      text->Clear();
      return false;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
    if (std::memchr(buffer, '\n', done) != nullptr) break;
  }
  text->SetSize(done);
  return true;
}

// The file named by `variable`, or nullptr when it is not set.
const char* NamedFile(const char* variable) {
  const char* file = std::getenv(variable);
  return file != nullptr && file[0] != '\0' ? file : nullptr;
}

QvPasswordReply FromFile(const char* path, const char* variable) {
  const std::string name = path;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return Unavailable(std::string("cannot open the password file ") + name + " (" + variable +
                       "): " + std::strerror(errno));
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
  QvSecretText text;
  const bool read = ReadSome(fd, &text);
  ::close(fd);
  if (!read) return Unavailable("cannot read the password file " + name);
  KeepFirstLine(&text);
  return Given(std::move(text));
}

QvPasswordReply FromStdin() {
  std::lock_guard<std::mutex> guard(g_stdinLock);
  if (!g_stdinRead) {
    g_stdinRead = true;
    if (ReadSome(STDIN_FILENO, g_stdinPassword)) KeepFirstLine(g_stdinPassword);
  }
  if (g_stdinPassword->Empty()) return Unavailable("no password on standard input");
  QvSecretText copy;
  if (!copy.Assign(g_stdinPassword->View())) return Unavailable("out of memory");
  return Given(std::move(copy));
}

std::string NoKeyFilePasswordText() {
  return std::string(
             "the password of a key file is never taken from where your log-on password comes "
             "from: put it in a file only you can read and name that file with "
             "--export-password-file FILE (or ") +
         kKeyFilePasswordFileVariable + ")";
}

QvPasswordReply FromDialog(const QvPasswordQuestion& question) {
  CPasswordDlg dialog(question);
  const INT_PTR result = dialog.DoModal();
  QvPasswordReply reply;
  if (result == IDOK) {
    if (!reply.password.Assign(dialog.Password())) {
      reply.answer = QvPasswordAnswer::Unavailable;
      reply.error = "out of memory";
      return reply;
    }
    reply.answer = QvPasswordAnswer::Given;
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
    if (question.keyFile) {
      if (const char* file = NamedFile(kKeyFilePasswordFileVariable))
        return FromFile(file, kKeyFilePasswordFileVariable);
      // Answering with the log-on password would seal the key that leaves this machine under
      // the password that guards everything else.
      if (QvPasswordSourceIsNonInteractive()) return Unavailable(NoKeyFilePasswordText());
      return FromDialog(question);
    }
    if (const char* file = NamedFile(kPasswordFileVariable))
      return FromFile(file, kPasswordFileVariable);
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

std::string QvKeyFilePasswordProblem() {
  if (const char* file = NamedFile(kKeyFilePasswordFileVariable)) {
    const QvPasswordReply reply = FromFile(file, kKeyFilePasswordFileVariable);
    return reply.answer == QvPasswordAnswer::Given ? std::string() : reply.error;
  }
  return QvPasswordSourceIsNonInteractive() ? NoKeyFilePasswordText() : std::string();
}

std::string QvPasswordFileProblem() {
  const char* file = NamedFile(kPasswordFileVariable);
  if (file == nullptr) return {};
  const QvPasswordReply reply = FromFile(file, kPasswordFileVariable);
  return reply.answer == QvPasswordAnswer::Given ? std::string() : reply.error;
}

void QvReadPasswordFromStdin(bool enable) noexcept {
  std::lock_guard<std::mutex> guard(g_stdinLock);
  g_useStdin = enable;
}

bool QvPasswordSourceIsNonInteractive() noexcept {
  if (NamedFile(kPasswordFileVariable) != nullptr) return true;
  std::lock_guard<std::mutex> guard(g_stdinLock);
  return g_useStdin;
}
