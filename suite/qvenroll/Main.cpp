// qvenroll: enrolls a user with the suite (user id, password, default key), lists the
// enrolled users, removes one, and sets the edition of this installation.
//
// The password is asked twice on the terminal; without a terminal it comes from the file
// named by QV_PASSWORD_FILE or, with --password-stdin, from standard input. Nothing ever waits
// for input it cannot get.
#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/Guid.h"
#include "platform/MessageBox.h"
#include "platform/Ole.h"
#include "suite/QvFsApi.h"
#include "suite/QvKeyBlob.h"
#include "suite/QvUserApi.h"
#include "suite/qvmonitor/MonitorRegistration.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"
#include "suite/qvverify/PasswordSource.h"
#include "suite/qvverify/SuiteProgram.h"

namespace {

enum Exit {
  kExitDone = 0,
  kExitUsage = 1,
  kExitStore = 2,
  kExitState = 3,
  kExitPassword = 4,
  kExitKey = 5,
  kExitCancelled = 6,
};

constexpr const char* kUsage =
    R"(Usage: qvenroll [--user NAME] [--id ID] [--display-name TEXT] [--suite-account]
                [--password-stdin]
       qvenroll --list
       qvenroll --remove USER [--yes]
       qvenroll --edition standard|sentivo|NUMBER
       qvenroll --help | --version

Enrolls a user with the suite: a user id, a password and a default key. Without --user the
Linux account running qvenroll is enrolled, under the name ".\<login>".

  --user NAME         enroll this account instead: "NAME" (an account of this computer),
                      "DOMAIN\NAME", or any name with --suite-account
  --id ID             the user id: 1 to 11 letters, digits, '.', '_' or '-', not starting
                      with '.' or '-' (default: made from the login)
  --display-name TEXT the name shown for the user
  --suite-account     the account exists only in the suite, not on this computer
  --password-stdin    read the password from the first line of standard input
  --list              list the enrolled users and the edition
  --remove USER       remove a user (user id or user name) with their keys and settings;
                      without a terminal, --yes confirms
  --edition E         set the edition of this installation (standard = 0, sentivo = 54)
  -h, --help          show this text
  --version           show the version of the suite's programs

The password is asked twice on a terminal. Without one it is read from the file named by
the environment variable QV_PASSWORD_FILE (first line; the file must be yours and readable
by nobody else) or, with --password-stdin, from standard input.

The user store is <machine root>/qvusers.db; the machine root is $QV_ROOT, else
$XDG_DATA_HOME/quorvin, else ~/.local/share/quorvin.

Exit codes:
  0  done
  1  wrong usage
  2  the user store cannot be opened or written
  3  the user is enrolled already, the id is taken, or (--remove) there is no such user
  4  no usable password: none could be read, it is empty, or the two entries differ
  5  the default key could not be made
  6  cancelled
)";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "qvenroll: %s\nTry 'qvenroll --help'.\n", problem.c_str());
  return kExitUsage;
}

int Failure(int code, const std::string& message) {
  std::fprintf(stderr, "qvenroll: %s\n", message.c_str());
  return code;
}

struct Options {
  bool list = false;
  bool yes = false;
  bool suiteAccount = false;
  bool passwordStdin = false;
  std::optional<std::string> remove;
  std::optional<std::string> edition;
  std::optional<std::string> user;
  std::optional<std::string> id;
  std::optional<std::string> displayName;
};

// Returns -1 when the options were read, else the exit code.
int ParseOptions(int argc, char** argv, Options* options) {
  const int parsed = ParseProgramOptions(
      argc, argv, kUsage,
      {ProgramOption::Flag("--list", &options->list), ProgramOption::Flag("--yes", &options->yes),
       ProgramOption::Flag("--suite-account", &options->suiteAccount),
       ProgramOption::Flag("--password-stdin", &options->passwordStdin),
       ProgramOption::Value("--remove", &options->remove, "--remove needs a user"),
       ProgramOption::Value("--edition", &options->edition,
                            "--edition needs standard, sentivo or a number"),
       ProgramOption::Value("--user", &options->user, "--user needs a name"),
       ProgramOption::Value("--id", &options->id, "--id needs a user id"),
       ProgramOption::Value("--display-name", &options->displayName,
                            "--display-name needs a text")},
      nullptr, Usage);
  if (parsed >= 0) return parsed;
  const int modes =
      (options->list ? 1 : 0) + (options->remove ? 1 : 0) + (options->edition ? 1 : 0);
  if (modes > 1) return Usage("--list, --remove and --edition go alone");
  const bool enrollOptions = options->user || options->id || options->displayName ||
                             options->suiteAccount || options->passwordStdin;
  if (modes == 1 && enrollOptions)
    return Usage("enrollment options go without --list, --remove and --edition");
  if (options->yes && !options->remove) return Usage("--yes goes with --remove");
  return -1;
}

const char* AccountTypeName(QvAccountType type) {
  switch (type) {
    case QvAccountType::Computer:
      return "computer";
    case QvAccountType::Suite:
      return "suite";
    case QvAccountType::Machine:
      return "machine";
  }
  return "?";
}

std::string EditionName(DWORD edition) {
  if (edition == EDITION_SENTIVO) return "sentivo (54)";
  if (edition == kEditionStandard) return "standard (0)";
  return std::to_string(edition);
}

enum class StoreUse { Existing, CreateIfMissing };

// The user store. Enrolling and choosing the edition make a new store when there is none;
// listing and removing users need the one there is.
QvUserStore* OpenStore(std::string* error, StoreUse use = StoreUse::Existing) {
  if (use == StoreUse::CreateIfMissing) {
    QvUserStore maker;
    if (maker.Open(std::string(), QvUserStore::Creation::IfMissing) != QvStoreStatus::Ok) {
      *error = maker.LastError();
      return nullptr;
    }
  }
  return QvSharedUserStore(error);
}

int List() {
  std::string error;
  QvUserStore* store = OpenStore(&error);
  if (store == nullptr) return Failure(kExitStore, "cannot open the user store: " + error);
  DWORD edition = 0;
  std::vector<QvUserInfo> users;
  if (store->GetEdition(&edition) != QvStoreStatus::Ok ||
      store->ListUsers(&users) != QvStoreStatus::Ok)
    return Failure(kExitStore, "cannot read the user store: " + store->LastError());
  std::printf("Store:   %s\nEdition: %s\n\n", Printable(store->Path()).c_str(),
              EditionName(edition).c_str());
  std::printf("%-11s  %-24s  %-8s  %-8s  %4s  %s\n", "USER ID", "USER NAME", "TYPE", "PASSWORD",
              "KEYS", "DEFAULT KEY");
  for (const QvUserInfo& user : users) {
    std::printf("%-11s  %-24s  %-8s  %-8s  %4d  %s\n", Printable(user.userId).c_str(),
                Printable(user.userName).c_str(), AccountTypeName(user.accountType),
                user.hasPassword ? "yes" : "no", user.keyCount,
                user.defaultKey.empty() ? "-" : Printable(user.defaultKey).c_str());
  }
  return kExitDone;
}

int SetEdition(const std::string& text) {
  DWORD edition = 0;
  if (text == "standard")
    edition = kEditionStandard;
  else if (text == "sentivo")
    edition = EDITION_SENTIVO;
  else if (!ParseDword(text, &edition))
    return Usage("--edition takes standard, sentivo or a number, not '" + Printable(text) + "'");
  std::string error;
  QvUserStore* store = OpenStore(&error, StoreUse::CreateIfMissing);
  if (store == nullptr) return Failure(kExitStore, "cannot open the user store: " + error);
  if (store->SetEdition(edition) != QvStoreStatus::Ok)
    return Failure(kExitStore, "cannot write the edition: " + store->LastError());
  std::printf("Edition set to %s.\n", EditionName(edition).c_str());
  return kExitDone;
}

int Remove(const std::string& who, bool yes) {
  std::string error;
  QvUserStore* store = OpenStore(&error);
  if (store == nullptr) return Failure(kExitStore, "cannot open the user store: " + error);
  QvUserInfo user;
  QvStoreStatus status = store->FindUser(who, &user);
  if (status == QvStoreStatus::NotFound)
    return Failure(kExitState,
                   "no enrolled user is named '" + Printable(who) + "' (see qvenroll --list)");
  if (status != QvStoreStatus::Ok)
    return Failure(kExitStore, "cannot read the user store: " + store->LastError());
  if (user.accountType == QvAccountType::Machine)
    return Failure(kExitState, "the machine account cannot be removed");
  if (!yes) {
    SuiteProgram program;
    program.InstallTerminal();
    if (!program.Interactive())
      return Failure(kExitUsage,
                     "removing " + Printable(user.userId) +
                         " destroys their keys; add --yes to confirm without a terminal");
    const std::string question = "Remove " + Printable(user.userName) + " (user id " +
                                 Printable(user.userId) +
                                 ") with their keys and settings? Files encrypted only for this "
                                 "user can no longer be decrypted here.";
    if (MessageBoxA(nullptr, question.c_str(), "Remove User", MB_YESNO | MB_ICONWARNING) != IDYES)
      return Failure(kExitCancelled, "nothing removed");
  }
  status = store->RemoveUser(user.userId);
  if (status != QvStoreStatus::Ok)
    return Failure(kExitStore, "cannot remove the user: " + store->LastError());
  std::printf("Removed %s (user id %s).\n", Printable(user.userName).c_str(),
              Printable(user.userId).c_str());
  return kExitDone;
}

int Enroll(const Options& options) {
  const QvAccount account = QvCurrentAccount();
  QvNewUser user;
  std::string login;
  if (options.user) {
    const std::string& name = *options.user;
    if (name.empty()) return Usage("--user needs a name");
    if (options.suiteAccount) {
      if (name.find('\\') != std::string::npos)
        return Usage("a suite account's name has no domain (no '\\')");
      user.userName = name;
      user.accountType = QvAccountType::Suite;
      login = name;
    } else {
      user.userName = name.find('\\') == std::string::npos ? ".\\" + name : name;
      user.accountType = QvAccountType::Computer;
      login = user.userName.substr(user.userName.find('\\') + 1);
      if (login.empty()) return Usage("--user needs a name after the '\\'");
    }
    user.displayName = login;
  } else {
    if (options.suiteAccount) return Usage("--suite-account goes with --user");
    user.userName = account.userName;
    user.displayName = account.displayName;
    login = account.login;
  }
  if (options.displayName) user.displayName = *options.displayName;
  user.userId = options.id ? *options.id : QvUserIdFromLogin(login);
  if (!QvIsValidUserId(user.userId))
    return Usage("the user id '" + Printable(user.userId) +
                 "' is not valid: 1 to 11 letters, digits, '.', '_' or '-', not starting with "
                 "'.' or '-'");

  // Whether a password can be had is known before the store is touched: an enrollment that
  // cannot ask leaves no new, empty store behind.
  SuiteProgram program;
  QvReadPasswordFromStdin(options.passwordStdin);
  program.InstallTerminal();
  if (!program.CanAskPassword())
    return Failure(kExitPassword,
                   "there is no terminal to ask for the password; put it in a file only you can "
                   "read and name it in QV_PASSWORD_FILE, or pass --password-stdin");

  std::string error;
  QvUserStore* store = OpenStore(&error, StoreUse::CreateIfMissing);
  if (store == nullptr) return Failure(kExitStore, "cannot open the user store: " + error);
  QvUserInfo existing;
  if (store->FindUserByName(user.userName, &existing) == QvStoreStatus::Ok)
    return Failure(kExitState, Printable(existing.userName) + " is enrolled already (user id " +
                                   Printable(existing.userId) +
                                   "); remove it first with qvenroll --remove " +
                                   Printable(existing.userId));
  if (store->FindUserById(user.userId, &existing) == QvStoreStatus::Ok)
    return Failure(kExitState, "the user id " + Printable(user.userId) + " is taken by " +
                                   Printable(existing.userName) + "; choose another with --id");
  DWORD edition = 0;
  if (store->GetEdition(&edition) != QvStoreStatus::Ok)
    return Failure(kExitStore, "cannot read the user store: " + store->LastError());

  QvPasswordReply reply =
      QvAskPassword({.title = "Enroll User",
                     .prompt = "Choose the password that will verify " + user.userName + ".",
                     .account = user.userName,
                     .choose = true});
  if (const int refused = RefusedPassword(
          "qvenroll", reply, {kExitCancelled, "nothing enrolled", kExitPassword, "no password: "}))
    return refused;

  // The default key: named after the user id, or a new GUID in the Sentivo edition.
  QvKey key;
  key.name = user.userId;
  if (edition == EDITION_SENTIVO) {
    GUID guid{};
    if (FAILED(CoCreateGuid(&guid))) {
      return Failure(kExitKey,
                     "the system gave no random numbers to name the default key; nothing was "
                     "enrolled");
    }
    key.name = FormatGuid(guid);
  }
  key.label = "DefaultKey";
  DWORD length = 0;
  BYTE* blob = nullptr;
  if (!CreatePKISettings(key.name.c_str(), &length, &blob) || blob == nullptr) {
    return Failure(kExitKey,
                   "the file-encryption library could not make the default key; nothing was "
                   "enrolled");
  }
  key.blob.assign(blob, blob + length);
  sodium_memzero(blob, length);
  CoTaskMemFree(blob);
  if (!IsKeyBlob(key.blob.data(), key.blob.size())) {
    return Failure(kExitKey, "the default key made by the file-encryption library is not valid");
  }
  const QvStoreStatus status = store->Enroll(user, reply.password.View(), &key);
  reply.password.Clear();
  sodium_memzero(key.blob.data(), key.blob.size());
  if (status == QvStoreStatus::Exists) return Failure(kExitState, store->LastError());
  if (status == QvStoreStatus::InvalidArgument) return Usage(store->LastError());
  if (status != QvStoreStatus::Ok)
    return Failure(kExitStore, "cannot write the user store: " + store->LastError());
  std::printf("Enrolled %s as user id %s with the default key %s.\n",
              Printable(user.userName).c_str(), Printable(user.userId).c_str(),
              Printable(key.name).c_str());
  // The suite's decrypted-file monitor, so that edits in files opened from a container go back
  // into it. Enrollment stands without it: opened files are then only removed, never stored.
  std::string monitorError;
  if (!qvmonitor::RegisterMonitorClass(true, &monitorError))
    std::fprintf(stderr,
                 "qvenroll: the decrypted-file monitor is not registered (%s); run "
                 "'qvmonitor --register' once that is fixed\n",
                 Printable(monitorError).c_str());
  return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (AskedForVersion(argc, argv)) return PrintVersion("qvenroll");
    StartSuiteProgram();
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed >= 0) return parsed;
    if (sodium_init() < 0) return Failure(kExitKey, "the cryptography library cannot start");
    if (options.list) return List();
    if (options.edition) return SetEdition(*options.edition);
    if (options.remove) return Remove(*options.remove, options.yes);
    return Enroll(options);
  } catch (...) {
    return Failure(kExitStore, "out of memory");
  }
}
