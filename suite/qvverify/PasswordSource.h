// Where the suite's password prompts get their answer: the password dialog shown through the
// installed dialog back end (the headless user in tests, the terminal in the programs), or,
// for runs that cannot ask anyone, the file named by QV_PASSWORD_FILE or one line of standard
// input. A non-interactive source gives the same password to every prompt of the process.
#pragma once

#include <string>

#include "platform/SecureMemory.h"
#include "suite/SuiteExport.h"
#include "suite/qvverify/PasswordQuestion.h"

// The environment variable naming the password file.
inline constexpr const char* kPasswordFileVariable = "QV_PASSWORD_FILE";

enum class QvPasswordAnswer {
  Given,
  Cancelled,    // the user pressed Cancel or closed the dialog
  Unavailable,  // nobody can be asked: the source is missing, unsafe or empty
};

struct QvPasswordReply {
  QvPasswordAnswer answer = QvPasswordAnswer::Unavailable;
  std::string password;         // when Given; wipe it after use (QvWipe)
  bool nonInteractive = false;  // it came from the file or standard input
  std::string error;            // when Unavailable: why, and what to do
};

// Asks for a password: the file named by QV_PASSWORD_FILE when that is set (it must be a
// regular file of the user that nobody else may read; its first line is the password), else
// standard input when QvReadPasswordFromStdin(true) was called (its first line, read once),
// else the password dialog.
[[nodiscard]] QV_SUITE_API QvPasswordReply
QvAskPassword(const QvPasswordQuestion& question) noexcept;

// Why the file named by QV_PASSWORD_FILE cannot give a password (missing, not a regular file,
// not yours or readable by others, empty), or "" when it can or the variable is not set. A
// program checks this before it starts work that will ask, so the user reads the cause
// instead of a failed verification.
QV_SUITE_API std::string QvPasswordFileProblem();

// Programs told to take the password from standard input call this before any prompt.
QV_SUITE_API void QvReadPasswordFromStdin(bool enable) noexcept;
// True when QV_PASSWORD_FILE is set or standard input was chosen.
QV_SUITE_API bool QvPasswordSourceIsNonInteractive() noexcept;
