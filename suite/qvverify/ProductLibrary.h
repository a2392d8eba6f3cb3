// What the suite's programs that drive the extension share: finding and loading the product
// library (libQvFolderExt.so beside the program, or the file named by QV_PRODUCT_LIBRARY) and
// looking up its entry points by name, the dialog back end its dialogs are shown through
// while it runs (the terminal, with Confirm Replace answered in advance when the command line
// says so), the options and preparations of such a run, and making a path absolute before it
// is handed over.
//
// Header-only, like SuiteProgram.h: each program is an executable of its own. The product is
// loaded at run time, as the suite's programs do on Windows, so a program still starts (and
// says what is wrong) when the library is missing or older than the program.
#pragma once

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Kernel.h"
#include "platform/ui/Backend.h"
#include "platform/ui/TerminalBackend.h"
#include "platform/ui/desktop/ProgramUi.h"
#include "suite/QvDialogIds.h"
#include "suite/qvverify/SuiteProgram.h"

// The environment variable naming the product library; unset or empty: the one beside the
// program.
inline constexpr const char* kProductLibraryVariable = "QV_PRODUCT_LIBRARY";
inline constexpr const char* kProductLibraryName = "libQvFolderExt.so";

// Exit codes of the programs that call the product library, the same in each of them.
inline constexpr int kExitNoProductLibrary = 7;  // the library cannot be loaded
inline constexpr int kExitNoEntryPoint = 8;      // it lacks the function the program calls

// `path` made absolute against the current folder. The folder part is resolved (symbolic
// links, "." and ".."), so the library checks and records the place the item really is; the
// last part is kept as given, so a symbolic link is handed over as the link. A trailing '/'
// is dropped. When the folder does not exist the path is only joined to the current folder.
inline std::string AbsolutePath(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const bool resolveAll = name.empty() || name == "." || name == "..";
  char resolved[PATH_MAX];
  if (realpath(resolveAll ? path.c_str() : folder.c_str(), resolved) != nullptr) {
    const std::string base = resolved;
    if (resolveAll) return base;
    return base == "/" ? "/" + name : base + "/" + name;
  }
  if (!path.empty() && path[0] == '/') return path;
  char current[PATH_MAX];
  if (getcwd(current, sizeof current) == nullptr) return path;
  return std::string(current) + "/" + path;
}

// The product library of this run. It stays loaded until the process ends: the library may
// leave threads and handlers behind that outlive its entry point, as it may on Windows.
class ProductLibrary {
 public:
  // `program` prefixes the messages written to standard error.
  explicit ProductLibrary(const char* program) : program_(program) {
    const char* named = std::getenv(kProductLibraryVariable);
    path_ = named != nullptr && named[0] != '\0' ? named
                                                 : ThisProgramFolder() + "/" + kProductLibraryName;
  }

  const std::string& Path() const { return path_; }

  // Loads the library and finds `symbol`. Returns 0 with *function set, else writes why on
  // standard error and returns kExitNoProductLibrary or kExitNoEntryPoint.
  template <class Function>
  [[nodiscard]] int Find(const char* symbol, Function** function) {
    *function = nullptr;
    if (handle_ == nullptr) {
      handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle_ == nullptr) {
        const char* why = dlerror();
        std::fprintf(stderr,
                     "%s: cannot load the product library %s: %s\n"
                     "%s: build it (target QvFolderExt) or name it in %s\n",
                     program_, Printable(path_).c_str(),
                     why != nullptr ? Printable(why).c_str() : "unknown error", program_,
                     kProductLibraryVariable);
        return kExitNoProductLibrary;
      }
    }
    (void)dlerror();
    void* address = dlsym(handle_, symbol);
    if (address == nullptr) {
      std::fprintf(stderr, "%s: the product library %s has no %s: rebuild it\n", program_,
                   Printable(path_).c_str(), symbol);
      return kExitNoEntryPoint;
    }
    *function = reinterpret_cast<Function*>(address);
    return 0;
  }

 private:
  const char* program_;
  std::string path_;
  void* handle_ = nullptr;
};

// The answer given in advance to the library's Confirm Replace dialog.
enum class ReplaceAnswer { Ask, YesToAll, NoToAll };

// The back end the library's dialogs are shown through while a program calls it: windows on
// the desktop, or the terminal back end (live progress, prompts and result tables on a
// terminal; one line per item and answers from the policy without one), as the program's
// --ui option, QV_UI or its start (see platform/ui/desktop/ProgramUi.h) chose. Confirm Replace
// is answered in advance when the command line said so, in a window or on a terminal as well.
// Without a user and without an answer Confirm Replace gets "No To All", so nothing is
// overwritten without consent; the program says so when the dialog comes up. The end of a
// progress run that failed for some item (its OK) and the backup warning are acknowledged
// without a user as well.
class ProductDialogs : public UiBackend {
 public:
  ProductDialogs(const char* program, ReplaceAnswer replace)
      : program_(program), replace_(replace) {}
  ~ProductDialogs() override {
    if (installed_) SetUiBackend(previous_);
  }
  ProductDialogs(const ProductDialogs&) = delete;
  ProductDialogs& operator=(const ProductDialogs&) = delete;

  // Installs the back end of `kind`; false when memory runs out.
  [[nodiscard]] bool Install(UiKind kind = UiKind::Terminal) {
    if (!ui_.Open(program_, kind)) return false;
    inner_ = ui_.Backend();
    if (TerminalBackend* terminal = ui_.Terminal();
        terminal != nullptr && !terminal->Interactive()) {
      terminal->SetAnswer(IDD_CONFIRM_REPLACE,
                          replace_ == ReplaceAnswer::YesToAll ? IDC_YES_TO_ALL : IDC_NO_TO_ALL);
      // After failures the progress dialog's only button reads OK and has the Cancel id.
      terminal->SetAnswer(IDD_PROGRESS, IDCANCEL);
      terminal->SetAnswer(IDD_BACKUP_WARNING, IDOK);
    }
    previous_ = SetUiBackend(this);
    installed_ = true;
    return true;
  }

  // True when a user answers the dialogs: on a terminal or on the desktop.
  bool Interactive() const {
    return ui_.Kind() == UiKind::Desktop || ui_.Kind() == UiKind::Terminal;
  }

  // ---- UiBackend: everything goes to the chosen back end but an answer given in advance.
  void DialogShown(const DialogState& dialog) override { inner_->DialogShown(dialog); }
  void ControlChanged(const ControlChange& change) override { inner_->ControlChanged(change); }
  void DialogClosed(const DialogState& dialog, INT_PTR result) override {
    answered_.erase(dialog.hwnd);
    inner_->DialogClosed(dialog, result);
  }
  int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type) override {
    return inner_->ShowMessageBox(owner, text, caption, type);
  }
  void Poll() override { inner_->Poll(); }
  int WakeFd() const override { return inner_->WakeFd(); }

  bool WaitForUser(HWND dialog) override {
    DialogState state;
    if (!SnapshotDialog(dialog, &state) || state.templateId != IDD_CONFIRM_REPLACE)
      return inner_->WaitForUser(dialog);
    const ControlState* name = state.Control(IDC_REPLACE_NAME);
    const std::string target = name != nullptr ? Printable(name->text) : std::string();
    if (replace_ == ReplaceAnswer::Ask) {
      if (!Interactive())
        std::fprintf(stderr,
                     "%s: %s exists and there is no terminal to ask whether to replace it: "
                     "No To All (nothing is replaced; --yes-to-all replaces)\n",
                     program_, target.c_str());
      return inner_->WaitForUser(dialog);
    }
    // An answer that did not end the dialog once is left to the back end, which closes a
    // dialog that ignores its answers.
    if (!Interactive() || answered_.count(dialog) != 0) return inner_->WaitForUser(dialog);
    const bool yes = replace_ == ReplaceAnswer::YesToAll;
    if (!PressDialogButton(dialog, yes ? IDC_YES_TO_ALL : IDC_NO_TO_ALL))
      return inner_->WaitForUser(dialog);
    answered_.insert(dialog);
    // On the terminal the live progress line is cleared first; the back end draws it again
    // below the note.
    std::fprintf(stderr, "%s%s: %s exists: %s\n", isatty(STDERR_FILENO) == 1 ? "\r\x1b[K" : "",
                 program_, target.c_str(),
                 yes ? "Yes To All (--yes-to-all)" : "No To All (--no-to-all)");
    return true;
  }

 private:
  const char* program_;
  ReplaceAnswer replace_;
  ProgramUi ui_;
  UiBackend* inner_ = nullptr;
  UiBackend* previous_ = nullptr;
  bool installed_ = false;
  std::set<HWND> answered_;  // dialog thread only
};

// The options of a program that runs the library's operations.
struct ProductRunOptions {
  bool yesToAll = false;
  bool noToAll = false;
  bool passwordStdin = false;
  std::optional<std::string> ui;  // --ui desktop|terminal|none

  // The usage problem of options that contradict each other or a wrong value, or nullptr.
  const char* Conflict() const {
    if (yesToAll && noToAll) return "--yes-to-all and --no-to-all exclude each other";
    if (ui && !ParseUiKind(*ui)) return "--ui takes desktop, terminal or none";
    return nullptr;
  }
  ReplaceAnswer Replace() const {
    return yesToAll  ? ReplaceAnswer::YesToAll
           : noToAll ? ReplaceAnswer::NoToAll
                     : ReplaceAnswer::Ask;
  }
};

// Reads --yes-to-all, --no-to-all, --password-stdin, --ui and the words of such a program, as
// ParseProgramOptions does.
template <class Complain>
int ParseProductRunOptions(int argc, char** argv, const char* usage, ProductRunOptions* options,
                           std::vector<std::string>* words, Complain&& complain) {
  return ParseProgramOptions(
      argc, argv, usage,
      {ProgramOption::Flag("--yes-to-all", &options->yesToAll),
       ProgramOption::Flag("--no-to-all", &options->noToAll),
       ProgramOption::Flag("--password-stdin", &options->passwordStdin),
       ProgramOption::Value("--ui", &options->ui, "--ui takes desktop, terminal or none")},
      words, complain);
}

// Readies the dialogs of a run of the library: they are shown through `dialogs`, on the back
// end the options (or QV_UI, or how the program was started) choose, the password comes from
// standard input when the options say so, and when neither a user nor another source can give
// a password the user reads where one can come from. False, said on standard error, when the
// back end cannot be set up.
[[nodiscard]] inline bool PrepareProductRun(const char* program, const ProductRunOptions& options,
                                            ProductDialogs& dialogs) {
  std::string note;
  const UiKind kind = ChooseUiKind(options.ui ? ParseUiKind(*options.ui) : std::nullopt, &note);
  if (!note.empty()) std::fprintf(stderr, "%s: %s\n", program, note.c_str());
  if (!dialogs.Install(kind)) {
    std::fprintf(stderr, "%s: cannot set up the terminal: out of memory\n", program);
    return false;
  }
  QvReadPasswordFromStdin(options.passwordStdin);
  if (!dialogs.Interactive() && !QvPasswordSourceIsNonInteractive())
    std::fprintf(stderr,
                 "%s: there is no terminal to ask for your password; unless you are logged on, "
                 "put it in a file only you can read and name it in QV_PASSWORD_FILE, or pass "
                 "--password-stdin\n",
                 program);
  return true;
}

// What a program says when the library ran an operation on `path` but its audit record could
// not be written (the library's last error is ERROR_CANTWRITE).
inline std::string UnwrittenAuditRecord(const std::string& path) {
  return "the audit record of " + Printable(path) + " could not be written to the user store " +
         Printable(QvUserStore::DefaultPath()) + ": free space on its disk or make it writable";
}
