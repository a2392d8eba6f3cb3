// What the suite's command-line programs share: the dialog back end (the terminal when there
// is one, otherwise nothing is ever waited for), the suite services they need (storage and
// authentication drivers, the user-data object), the reading of their command lines, what they
// say when a password prompt gives no password, and text that is safe to print.
//
// Header-only: each program is an executable of its own that links every suite library.
#pragma once

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Kernel.h"
#include "platform/WorkFolders.h"
#include "platform/ui/TerminalBackend.h"
#include "suite/QvUserApi.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "suite/qvverify/PasswordSource.h"

// Every program of the suite calls this first. It leaves no core dump (it will hold keys and
// passwords), and what interrupted operations left in their work folders (a restore's partial
// plain files among them) goes at once, wherever it is, instead of waiting for a later
// operation beside it.
inline void StartSuiteProgram() {
  QvKeepOutOfCoreDumps();
  (void)QvSweepWorkFolders();
}

class SuiteProgram {
 public:
  SuiteProgram() = default;
  SuiteProgram(const SuiteProgram&) = delete;
  SuiteProgram& operator=(const SuiteProgram&) = delete;
  ~SuiteProgram() { Stop(); }

  // Installs the terminal back end: interactive on the controlling terminal, else answering
  // nothing (a dialog without a policy is cancelled at once).
  void InstallTerminal() {
    if (ui_ != nullptr) return;
    ui_ = TerminalBackend::ForControllingTerminal();
    if (ui_ != nullptr) previous_ = SetUiBackend(ui_.get());
  }
  // True when someone can answer a prompt: a terminal, or a password file or standard input
  // for password prompts.
  bool CanAskPassword() const {
    return QvPasswordSourceIsNonInteractive() || (ui_ != nullptr && ui_->Interactive());
  }
  bool Interactive() const { return ui_ != nullptr && ui_->Interactive(); }

  // Starts the storage and authentication drivers and fetches the user-data object.
  bool Start(std::string* error) {
    if (userData_ != nullptr) return true;
    std::string why;
    if (QvSharedUserStore(&why) == nullptr) {
      *error = "cannot open the user store: " + why;
      return false;
    }
    if (InitStorageDriver(GetModuleHandleA("qvvault.dll")) != 0) {
      *error = "cannot start the storage driver";
      return false;
    }
    storage_ = true;
    if (InitAuthDriver(GetModuleHandleA("qvverify.dll")) != 0) {
      *error = "cannot start the authentication driver";
      return false;
    }
    auth_ = true;
    if (GetUserDataPtr(&userData_) != 0 || userData_ == nullptr) {
      *error = "cannot reach the user data";
      return false;
    }
    return true;
  }

  void Stop() {
    if (auth_) CloseAuthDriver();
    if (storage_) CloseStorageDriver();
    auth_ = storage_ = false;
    userData_ = nullptr;
    if (ui_ != nullptr) {
      SetUiBackend(previous_);
      ui_.reset();
    }
  }

  CUserData* UserData() const { return userData_; }

 private:
  std::unique_ptr<TerminalBackend> ui_;
  UiBackend* previous_ = nullptr;
  CUserData* userData_ = nullptr;
  bool storage_ = false;
  bool auth_ = false;
};

// The folder of the running program.
inline std::string ThisProgramFolder() {
  char path[PATH_MAX];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return ".";
  const std::string text(path, length);
  const size_t slash = text.rfind('/');
  return slash == std::string::npos ? "." : text.substr(0, slash);
}

// Why an operation cannot start for want of a user store: "no user store at PATH; run
// qvenroll first" when it is missing or empty (only qvenroll makes one, so that a store that
// went missing is never replaced behind the user's back by one without their keys), else "".
inline std::string MissingUserStore() {
  QvUserStore probe;
  if (probe.Open(std::string(), QvUserStore::Creation::Never) == QvStoreStatus::NotFound)
    return probe.LastError();
  return {};
}

// `text` with control characters and DEL shown as '?', so that a name or path read from the
// store cannot drive the terminal.
inline std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return out;
}

// One option a suite program accepts: a flag that sets `*flag`, or an option whose value (the
// next argument) fills `*value` and whose absence is reported with `missing`.
struct ProgramOption {
  static ProgramOption Flag(const char* name, bool* flag) { return {name, flag, nullptr, nullptr}; }
  static ProgramOption Value(const char* name, std::optional<std::string>* value,
                             const char* missing) {
    return {name, nullptr, value, missing};
  }
  const char* name;
  bool* flag;
  std::optional<std::string>* value;
  const char* missing;
};

// Reads argv against `options`. "-h" and "--help" print `usage` and give 0. Other arguments
// go to `*words` when it is given and they do not look like options ("-" alone is a word, and
// every argument after "--" is one, so a file named "-x" can be given as "-- -x"); otherwise
// they are refused. A problem gives `complain(problem)`, the program's usage exit.
// Returns -1 when everything was read, else the exit code.
template <class Complain>
int ParseProgramOptions(int argc, char** argv, const char* usage,
                        std::initializer_list<ProgramOption> options,
                        std::vector<std::string>* words, Complain&& complain) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--" && words != nullptr) {
      words->insert(words->end(), argv + i + 1, argv + argc);
      break;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(usage, stdout);
      return 0;
    }
    const ProgramOption* option = nullptr;
    for (const ProgramOption& candidate : options)
      if (arg == candidate.name) option = &candidate;
    if (option != nullptr && option->flag != nullptr) {
      *option->flag = true;
    } else if (option != nullptr) {
      if (i + 1 >= argc) return complain(option->missing);
      *option->value = argv[++i];
    } else if (words == nullptr) {
      return complain("unknown argument '" + Printable(arg) + "'");
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      return complain("unknown option '" + Printable(arg) + "'");
    } else {
      words->push_back(arg);
    }
  }
  return -1;
}

// True when "--version" stands among the options (before any "--").
inline bool AskedForVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return false;
    if (arg == "--version") return true;
  }
  return false;
}

// Prints "<program> <version>" (the version the build gives the suite's programs); 0.
inline int PrintVersion(const char* program) {
  std::printf("%s %s\n", program, QV_PROGRAM_VERSION);
  return 0;
}

// A decimal (or 0x hexadecimal) number that fits 32 bits.
inline bool ParseDword(std::string_view text, DWORD* value) {
  if (text.empty() || text.size() > 10) return false;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  unsigned long long result = 0;
  for (const char c : text) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    result = result * base + static_cast<unsigned>(digit);
    if (result > 0xFFFFFFFFull) return false;
  }
  *value = static_cast<DWORD>(result);
  return true;
}

// How a program ends when a password prompt gives no password: the exit code and what it says
// when the user cancelled, and when nobody could answer (the reason follows the text).
struct PasswordRefusal {
  int cancelledExit;
  const char* cancelled;
  int unavailableExit;
  const char* unavailable;
};

// 0 when `reply` holds the password; else says on standard error, after `program`, why there is
// none and returns the exit code `refusal` gives for it.
[[nodiscard]] inline int RefusedPassword(const char* program, const QvPasswordReply& reply,
                                         const PasswordRefusal& refusal) {
  if (reply.answer == QvPasswordAnswer::Given) return 0;
  if (reply.answer == QvPasswordAnswer::Cancelled) {
    std::fprintf(stderr, "%s: %s\n", program, refusal.cancelled);
    return refusal.cancelledExit;
  }
  std::fprintf(stderr, "%s: %s%s\n", program, refusal.unavailable, reply.error.c_str());
  return refusal.unavailableExit;
}

// Frees an identity the user-data object filled, whatever path the caller leaves by.
class IdentityHolder {
 public:
  explicit IdentityHolder(CUserData* userData) : userData_(userData) {}
  ~IdentityHolder() {
    if (userData_ != nullptr) userData_->ReleaseUserIdentity(&identity);
  }
  IdentityHolder(const IdentityHolder&) = delete;
  IdentityHolder& operator=(const IdentityHolder&) = delete;
  UserIdentity identity{};

 private:
  CUserData* userData_;
};
