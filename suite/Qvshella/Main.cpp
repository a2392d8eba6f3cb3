// Qvshella: the suite's shell application, what the desktop runs when the user opens an
// encrypted file. It hands the file to the product library's DllShellInterface, which
// verifies the user, decrypts the file and opens the decrypted file with the desktop opener.
// When several are started at once (several files opened together), the first decrypts every
// file in one progress dialog and the others only hand their path over to it; the library
// arranges that. Several PATHs given to one Qvshella (a file manager that passes every selected
// file at once) are opened one after the other: the verification of the first keeps the user
// logged on for the others until the session's time-out.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/Window.h"
#include "suite/qvprofile/UserStore.h"
#include "suite/qvverify/PasswordSource.h"
#include "suite/qvverify/ProductLibrary.h"
#include "suite/qvverify/SuiteProgram.h"

namespace {

constexpr int kExitCalled = 0;
constexpr int kExitNotRun = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoAudit = 3;
constexpr int kExitRefused = 4;
constexpr int kExitNotHandedOver = 5;

constexpr const char* kUsage =
    R"(Usage: Qvshella PATH... [--yes-to-all|--no-to-all] [--password-stdin] [--ui KIND]
       Qvshella --help | --version

Decrypts the encrypted file PATH (a .qvf file) and opens the decrypted file with the desktop
opener (the command in QV_OPEN_COMMAND when set, else xdg-open), as the file manager's
extension does: you are verified first and the progress is shown. When several Qvshella are
started at once, the first one decrypts every file in one progress dialog and opens its own;
the others hand their file over to it and end at once. Several PATHs are opened one after
the other, each verified again (you stay logged on in between, until your session time-out).

The work is done by the product library: libQvFolderExt.so beside Qvshella, or the file
named by QV_PRODUCT_LIBRARY.

  --yes-to-all      when the decrypted file exists already, replace it
  --no-to-all       when the decrypted file exists already, keep it (nothing is opened then)
  --password-stdin  read the password from the first line of standard input
  --ui KIND         where the password and progress are shown: desktop (windows), terminal
                    or none; without it, QV_UI, else windows when a display is set and
                    Qvshella was not started from a terminal (a file manager's double-click)
  -h, --help        show this text
  --version         show the version of the suite's programs

Without --yes-to-all or --no-to-all you are asked in a window or on the terminal; without
either an existing file is never replaced. The password is asked in a window or on the
terminal; without either it is read from the file named by QV_PASSWORD_FILE (first line; the file must be yours and
readable by nobody else) or, with --password-stdin, from standard input.

Exit codes:
  0  the library was called. Like the library, Qvshella does not tell whether the file was
     decrypted and opened: see its output, and the audit records ('qvclient audit')
  1  the library was not called: there is no user store, the password file cannot be
     used, or memory ran out
  2  wrong usage
  3  the library ran an operation but could not write its audit record
  4  another Qvshella decrypts the files opened together with PATH, and PATH is not one it
     takes (not a .qvf file, a link, missing, or in a protected folder): the reason is shown
  5  another Qvshella decrypts the files opened together with PATH, but it ended before it
     took PATH: open the file again
  With several PATHs, the code is that of the last PATH that did not end with 0.
  7  the product library cannot be loaded
  8  the product library has no DllShellInterface (it is older than Qvshella: rebuild it)
)";

using ShellInterfaceFunction = int(const char* path);

// The shell application's window, present while Qvshella works: the file manager's menu
// runs no command meanwhile, so that two operations never work on the same files at once.
class ShellAppWindow {
 public:
  ShellAppWindow() : window_(CreateMessageWindow("MainWndClass", "Marlowen Quorvin Shell App")) {}
  ~ShellAppWindow() {
    if (window_ != nullptr) (void)DestroyWindow(window_);
  }
  ShellAppWindow(const ShellAppWindow&) = delete;
  ShellAppWindow& operator=(const ShellAppWindow&) = delete;

 private:
  HWND window_;
};

int Usage(const std::string& problem) {
  std::fprintf(stderr, "Qvshella: %s\nTry 'Qvshella --help'.\n", problem.c_str());
  return kExitUsage;
}

int Run(int argc, char** argv) {
  ProductRunOptions options;
  std::vector<std::string> words;
  const int parsed = ParseProductRunOptions(argc, argv, kUsage, &options, &words, Usage);
  if (parsed >= 0) return parsed;
  if (words.empty()) return Usage("the PATH of an encrypted file is needed");
  for (const std::string& word : words)
    if (word.empty()) return Usage("a PATH is empty");
  if (const char* conflict = options.Conflict()) return Usage(conflict);

  ProductLibrary library("Qvshella");
  ShellInterfaceFunction* shellInterface = nullptr;
  const int found = library.Find("DllShellInterface", &shellInterface);
  if (found != 0) return found;
  std::string problem = MissingUserStore();
  if (!problem.empty() || !(problem = QvPasswordFileProblem()).empty()) {
    std::fprintf(stderr, "Qvshella: %s\n", Printable(problem).c_str());
    return kExitNotRun;
  }

  const ShellAppWindow window;
  ProductDialogs dialogs("Qvshella", options.Replace());
  if (!PrepareProductRun("Qvshella", options, dialogs)) return kExitNotRun;

  int code = kExitCalled;
  for (const std::string& word : words) {
    const std::string path = AbsolutePath(word);
    std::fflush(nullptr);
    // The library's answer is always 0 and carries nothing; the last error tells whether the
    // operation's audit record is missing, or what became of a path handed to another
    // Qvshella.
    (void)shellInterface(path.c_str());
    const DWORD lastError = GetLastError();
    std::fflush(nullptr);
    if (lastError == ERROR_CANTWRITE) {
      std::fprintf(stderr, "Qvshella: %s\n", UnwrittenAuditRecord(path).c_str());
      code = kExitNoAudit;
    } else if (lastError == ERROR_BAD_PATHNAME || lastError == ERROR_WRITE_FAULT) {
      const bool refused = lastError == ERROR_BAD_PATHNAME;
      std::fprintf(stderr, "Qvshella: %s %s\n", Printable(path).c_str(),
                   refused ? "was not handed over to the Qvshella that decrypts the files opened "
                             "with it, for the reason shown above"
                           : "could not be handed over to the Qvshella that decrypts the files "
                             "opened with it (it ended meanwhile): open the file again");
      code = refused ? kExitRefused : kExitNotHandedOver;
    }
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // Memory can only run out before the call: the library's entry point raises nothing.
  try {
    if (AskedForVersion(argc, argv)) return PrintVersion("Qvshella");
    StartSuiteProgram();
    return Run(argc, argv);
  } catch (...) {
    std::fprintf(stderr, "Qvshella: out of memory\n");
    return kExitNotRun;
  }
}
