// Where the suite's password prompts get their answer: the password dialog shown through the
// installed dialog back end (the headless user in tests, the terminal in the programs), or,
// for runs that cannot ask anyone, the file named by QV_PASSWORD_FILE or one line of standard
// input. A non-interactive source gives the same password to every log-on prompt of the
// process; the password of an exported key file comes from a file of its own
// (QV_EXPORT_PASSWORD_FILE), never from the log-on password's source.
#pragma once

#include <string>

#include "suite/SuiteExport.h"
#include "suite/qvprofile/MasterKey.h"
#include "suite/qvverify/PasswordQuestion.h"

// The environment variables naming the password file and the key-file password file.
inline constexpr const char* kPasswordFileVariable = "QV_PASSWORD_FILE";
inline constexpr const char* kKeyFilePasswordFileVariable = "QV_EXPORT_PASSWORD_FILE";

enum class QvPasswordAnswer {
  Given,
  Cancelled,    // the user pressed Cancel or closed the dialog
  Unavailable,  // nobody can be asked: the source is missing, unsafe or empty
};

struct QvPasswordReply {
  QvPasswordAnswer answer = QvPasswordAnswer::Unavailable;
  QvSecretText password;        // when Given; guarded, wiped when the reply goes
  bool nonInteractive = false;  // it came from the file or standard input
  std::string error;            // when Unavailable: why, and what to do
};

// Asks for a password: the file named by QV_PASSWORD_FILE when that is set (it must be a
// regular file of the user that nobody else may read; its first line is the password), else
// standard input when QvReadPasswordFromStdin(true) was called (its first line, read once),
// else the password dialog. A key file's password (question.keyFile) comes from the file
// named by QV_EXPORT_PASSWORD_FILE (same rules) when that is set, else from the dialog; when
// the log-on password comes from a file or standard input and no key-file password file is
// named, it is Unavailable rather than the log-on password.
[[nodiscard]] QV_SUITE_API QvPasswordReply
QvAskPassword(const QvPasswordQuestion& question) noexcept;

// Why the file named by QV_PASSWORD_FILE cannot give a password (missing, not a regular file,
// not yours or readable by others, empty), or "" when it can or the variable is not set. A
// program checks this before it starts work that will ask, so the user reads the cause
// instead of a failed verification.
QV_SUITE_API std::string QvPasswordFileProblem();

// The same for the password of a key file: why it cannot be read from the file named by
// QV_EXPORT_PASSWORD_FILE, or why nobody can be asked for it (the log-on password comes from
// a file or standard input and no key-file password file is named); "" when it can be had.
QV_SUITE_API std::string QvKeyFilePasswordProblem();

// Programs told to take the password from standard input call this before any prompt.
QV_SUITE_API void QvReadPasswordFromStdin(bool enable) noexcept;
// True when QV_PASSWORD_FILE is set or standard input was chosen.
QV_SUITE_API bool QvPasswordSourceIsNonInteractive() noexcept;
