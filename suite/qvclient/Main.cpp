// qvclient: the suite's client. `start` keeps the suite running (the suite-running mutex and,
// in the Sentivo edition, the message window the extension signals around a verification)
// until it is stopped; the other commands export and import keys, list keys and share keys with
// their fingerprints, change the default key, list audit records, and read and write per-user
// settings and the session time-out (changes only after the user's verification); `encrypt` and
// `decrypt` run the extension's operation on one path through the product library
// (OperationCommands.cpp).
//
// Started without a command (as the extension does for a user it does not know, in the Sentivo
// edition) it enrolls the current user with qvenroll when needed, then runs as `start`.
#include <sodium.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/Kernel.h"
#include "platform/MachineRoot.h"
#include "platform/Window.h"
#include "platform/ui/UiTypes.h"
#include "suite/QvKeyBlob.h"
#include "suite/QvUserApi.h"
#include "suite/qvclient/ClientCommands.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/KeyFile.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "suite/qvverify/PasswordSource.h"
#include "suite/qvverify/SuiteProgram.h"

namespace {

constexpr const char* kUsage =
    R"(Usage: qvclient [COMMAND] [OPTIONS]

Commands:
  start                     keep the suite running until stopped (Ctrl+C, SIGTERM or
                            'qvclient stop'); the file manager's extension sees it running
  stop                      stop the running client
  status                    tell whether the suite is running, as the file manager's extension
                            sees it (the suite-running mutex of the installation's edition)
  export-key [--user ID] [--key NAME] [--out FILE] [--force] [--export-password-file F]
                            write your key (with its secret) to FILE, sealed under a password
                            you choose (default FILE: <machine root>/export/<key>.qvkey, where
                            the extension looks for an older key to import)
  import-key FILE [--user ID] [--export-password-file F]
                            add the key in FILE to your keys
  audit [--user ID] [--event N] [--since WHEN] [--limit N]
                            list audit records, newest first; WHEN is seconds since 1970 or a
                            UTC date YYYY-MM-DD[THH:MM[:SS]]
  settings get CATEGORY ID [--user ID]
  settings set CATEGORY ID VALUE [--user ID]
                            read or write a setting of yours, for example 5 13 (backup warning
                            suppressed), 5 14 (algorithm name), 5 19 (algorithm id and key
                            length), 5 24 (delegate users, each id followed by ':')
  session-timeout [SECONDS] [--user ID]
                            show or set how long a verification keeps you logged on (0: until
                            the program ends)
  default-key NAME [--user ID]
                            make your key NAME the default key (the one you encrypt with and
                            other users encrypt for you with)
  keys [--user ID]          list your keys with their fingerprints, once every entry of yours
                            in the user store is checked
  share-keys                list every user's share key fingerprint; compare another user's
                            with what 'qvclient keys' shows that user before you share with them
  encrypt PATH [--yes-to-all|--no-to-all] [--password-stdin] [--ui KIND]
  decrypt PATH [--yes-to-all|--no-to-all] [--password-stdin] [--ui KIND]
                            encrypt or decrypt a file or folder as the file manager's
                            extension does (verification, progress, result per item), through
                            the product library (libQvFolderExt.so beside qvclient, or the
                            file named by QV_PRODUCT_LIBRARY); the command comes first.
                            When a target exists, --yes-to-all replaces it and every later
                            one, --no-to-all keeps them all; otherwise you are asked on the
                            terminal, and without a terminal nothing is replaced.
                            --ui desktop|terminal|none shows the dialogs in windows, on the
                            terminal or nowhere (default: QV_UI, else windows when a display
                            is set and qvclient was not started from a terminal)
  (none)                    enroll the current user with qvenroll when needed, then start

Options:
  --user ID                 the user (user id or user name); default: the current Linux user
  --password-stdin          read passwords from the first line of standard input
  --export-password-file F  the password of the key file for export-key and import-key: the
                            first line of F (yours, readable by nobody else); the same as
                            QV_EXPORT_PASSWORD_FILE
  -h, --help                show this text
  --version                 show the version of the suite's programs

encrypt and decrypt take "--" before a PATH that begins with "-": qvclient encrypt -- -x

Changing a setting, the session time-out or the default key, and listing your keys, need your
password as well: the user store keeps them under a key only your password opens, and a change
made to it outside qvclient is reported, not used.

Commands that need your key ask for your password on the terminal. Without a terminal they
read it from the file named by QV_PASSWORD_FILE (first line; the file must be yours and
readable by nobody else) or, with --password-stdin, from standard input; that one password
then answers every log-on prompt. The password of an exported key file is never taken from
there: without a terminal, name a file holding it with --export-password-file.

Exit codes:
  0  done
  1  wrong usage
  2  the user store or a file cannot be used, or the store was changed outside the program
  3  not found: no such user, setting or key, or the client is not running (already running,
     for start)
  4  verification failed or no password could be read
  5  the key file cannot be used: wrong password, altered, not a key file, too weakly
     protected (an older export: export it again), or it exists
  6  cancelled

encrypt and decrypt exit with:
  0  every item succeeded
  1  not every item succeeded, nothing was decrypted because the target exists, the
     verification failed, the operation was cancelled, its audit record could not be
     written, or it could not start: the PATH does not exist, there is no user store, or
     the password file cannot be used
  2  wrong usage
  7  the product library cannot be loaded
  8  the product library has no DllDoEncryptDecrypt (it is older than qvclient: rebuild it)
)";

struct Arguments {
  std::vector<std::string> words;  // the command and its operands
  std::optional<std::string> user, key, out, event, since, limit, exportPasswordFile;
  bool force = false;
  bool passwordStdin = false;
};

int ParseArguments(int argc, char** argv, Arguments* args) {
  return ParseProgramOptions(
      argc, argv, kUsage,
      {ProgramOption::Flag("--force", &args->force),
       ProgramOption::Flag("--password-stdin", &args->passwordStdin),
       ProgramOption::Value("--user", &args->user, "--user needs a user id or name"),
       ProgramOption::Value("--key", &args->key, "--key needs a key name"),
       ProgramOption::Value("--out", &args->out, "--out needs a file"),
       ProgramOption::Value("--export-password-file", &args->exportPasswordFile,
                            "--export-password-file needs a file"),
       ProgramOption::Value("--event", &args->event, "--event needs a number"),
       ProgramOption::Value("--since", &args->since, "--since needs a time"),
       ProgramOption::Value("--limit", &args->limit, "--limit needs a number")},
      &args->words, ClientUsage);
}

// Runs qvenroll for the current user and waits for it.
int RunEnrollment(bool passwordStdin) {
  const std::string program = ThisProgramFolder() + "/qvenroll";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return ClientFailure(kClientStore, "cannot start qvenroll");
  if (pid == 0) {
    if (passwordStdin)
      execl(program.c_str(), "qvenroll", "--password-stdin", static_cast<char*>(nullptr));
    else
      execl(program.c_str(), "qvenroll", static_cast<char*>(nullptr));
    std::fprintf(stderr, "qvclient: cannot run %s: %s\n", program.c_str(), std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kClientStore;
}

int Default(const Arguments& args) {
  // Without a store nobody is enrolled yet: enrolling makes it.
  const bool noStore = !MissingUserStore().empty();
  std::string error;
  QvUserStore* store = noStore ? nullptr : QvSharedUserStore(&error);
  if (!noStore && store == nullptr)
    return ClientFailure(kClientStore, "cannot open the user store: " + error);
  QvUserInfo user;
  if (noStore ||
      store->FindUserByName(QvCurrentAccount().userName, &user) == QvStoreStatus::NotFound) {
    std::printf("You are not enrolled yet; starting qvenroll.\n");
    const int enrolled = RunEnrollment(args.passwordStdin);
    if (enrolled != 0) return enrolled;
  }
  return RunClient();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (AskedForVersion(argc, argv)) return PrintVersion("qvclient");
    StartSuiteProgram();
    if (argc > 1 && (std::strcmp(argv[1], "encrypt") == 0 || std::strcmp(argv[1], "decrypt") == 0))
      return EncryptDecrypt(argc, argv, kUsage);
    Arguments args;
    const int parsed = ParseArguments(argc, argv, &args);
    if (parsed >= 0) return parsed;
    if (sodium_init() < 0)
      return ClientFailure(kClientStore, "the cryptography library cannot start");
    QvReadPasswordFromStdin(args.passwordStdin);
    if (args.exportPasswordFile)
      setenv(kKeyFilePasswordFileVariable, args.exportPasswordFile->c_str(), 1);
    if (args.words.empty()) return Default(args);
    const std::string& command = args.words[0];
    const std::vector<std::string> operands(args.words.begin() + 1, args.words.end());
    auto noOperands = [&] {
      return operands.empty() || (ClientUsage("'" + command + "' takes no operands"), false);
    };
    if (command == "start") return noOperands() ? RunClient() : kClientUsage;
    if (command == "stop") return noOperands() ? StopClient() : kClientUsage;
    if (command == "status") return noOperands() ? ClientStatus() : kClientUsage;
    if (command == "export-key") {
      if (!noOperands()) return kClientUsage;
      return ExportKey(args.user, args.key, args.out, args.force);
    }
    if (command == "import-key") {
      if (operands.size() != 1) return ClientUsage("import-key needs one FILE");
      return ImportKey(args.user, operands[0]);
    }
    if (command == "audit") {
      if (!noOperands()) return kClientUsage;
      return ListAudit(args.user, args.event, args.since, args.limit);
    }
    if (command == "settings") return Settings(args.user, operands);
    if (command == "default-key") {
      if (operands.size() != 1) return ClientUsage("default-key needs one key NAME");
      return DefaultKey(args.user, operands[0]);
    }
    if (command == "keys") return noOperands() ? ListOwnKeys(args.user) : kClientUsage;
    if (command == "share-keys") return noOperands() ? ListShareKeys() : kClientUsage;
    if (command == "encrypt" || command == "decrypt") {
      ClientUsage(command + " comes first: qvclient " + command + " PATH [OPTIONS]");
      return kOperationUsage;
    }
    if (command == "session-timeout") {
      if (operands.size() > 1) return ClientUsage("session-timeout takes at most SECONDS");
      return SessionTimeout(
          args.user, operands.empty() ? std::nullopt : std::optional<std::string>(operands[0]));
    }
    return ClientUsage("unknown command '" + Printable(command) + "'");
  } catch (...) {
    return ClientFailure(kClientStore, "out of memory");
  }
}
