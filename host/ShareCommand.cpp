// qvx share (see ShareCommand.h). The handler's Sharing item is run as the file manager runs
// it (SharingItem.h). On a desktop the dialog is a window with its page, chosen as every qvx
// window is (--ui, QV_UI, a display and no terminal); in a terminal the dialog is the user's;
// with --add or --remove, or with neither, those options are the user: each is typed or
// selected and clicked in order, then OK.
#include "host/ShareCommand.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/CommandArgs.h"
#include "host/ExitCodes.h"
#include "host/SharingItem.h"
#include "platform/AsciiCase.h"
#include "platform/ui/TerminalBackend.h"
#include "platform/ui/desktop/ProgramUi.h"
#include "sharing/UserList.h"
#include "suite/QvDialogIds.h"
#include "suite/QvFsApi.h"

namespace {

// Element ids of the sharing page.
constexpr const char* kUserNameBox = "Quorvin_EditUserName";
constexpr const char* kUsersList = "Quorvin_CmbUsers";
constexpr const char* kAddButton = "Quorvin_BtnAddUser";
constexpr const char* kRemoveButton = "Quorvin_BtnRemoveUser";
constexpr const char* kOkButton = "Quorvin_BtnOK";

constexpr const char* kShareHelp =
    "usage: qvx share [--ui desktop|terminal|none] [--add USER]... [--remove USER]... [--] PATH\n"
    "\n"
    "Opens the sharing dialog of the encrypted file (.qvf) or container (.qvef) PATH the way\n"
    "the file manager's context menu does (its \"Sharing...\" item, after your password), then\n"
    "prints the users who may open the item, as the file-encryption library lists them.\n"
    "Without --add or --remove the dialog is yours: a window with the sharing page when a\n"
    "display is available and qvx was not started from a terminal (or with --ui desktop, or\n"
    "QV_UI=desktop), else in the terminal, where a letter picks a field (the user name, a list)\n"
    "and a number presses a button. With --add or --remove, or with neither a window nor a\n"
    "terminal (--ui none), the options are applied as clicks in the order given, then OK.\n"
    "\n"
    "options:\n"
    "  --ui KIND      desktop (a window), terminal, or none (only the clicks of --add/--remove)\n"
    "  --add USER     type USER as a user name of this computer and press Add User\n"
    "  --remove USER  select USER in the list (as shown, or the part after its '\\') and press\n"
    "                 Remove User\n"
    "  --             every argument after it is the path, even one starting with '-'\n"
    "\n"
    "exit codes:\n"
    "  0  the dialog ran (its own notices report refused changes) and the list was printed\n"
    "  1  the handler failed, or the item's user list cannot be read\n"
    "  2  wrong usage, or PATH is not an encrypted file or container\n"
    "  3  the registered handler library could not be loaded\n"
    "  4  no context-menu handler is registered (run qvx register)\n"
    "  5  sharing is not offered for PATH (the suite is not running, or the shell application\n"
    "     is busy); nothing was changed\n";

struct ShareRequest {
  std::string path;
  std::vector<HeadlessBackend::Step> steps;
};

bool HasSuffixIgnoringCase(const std::string& path, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return path.size() > n &&
         EqualsIgnoringAsciiCase(std::string_view(path).substr(path.size() - n), suffix);
}

// False (after a message) on a usage mistake.
bool ParseShareArguments(int argc, char** argv, ShareRequest* request) {
  using Step = HeadlessBackend::Step;
  bool pathsOnly = false;
  std::vector<std::string> paths;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!pathsOnly && arg == "--") {
      pathsOnly = true;
    } else if (!pathsOnly && (arg == "--add" || arg == "--remove")) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "qvx share: %s needs a user name (see qvx share --help)\n",
                     arg.c_str());
        return false;
      }
      const std::string user = argv[++i];
      if (arg == "--add") {
        request->steps.push_back(Step::TypeInto(kUserNameBox, user));
        request->steps.push_back(Step::Click(kAddButton));
      } else {
        request->steps.push_back(Step::Select(kUsersList, user));
        request->steps.push_back(Step::Click(kRemoveButton));
      }
    } else if (!pathsOnly && arg.size() > 1 && arg.front() == '-') {
      std::fprintf(stderr, "qvx share: unknown option %s (see qvx share --help)\n", arg.c_str());
      return false;
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.size() != 1) {
    std::fprintf(stderr,
                 "qvx share: give exactly one encrypted file or container (see qvx "
                 "share --help)\n");
    return false;
  }
  request->path = paths.front();
  if (request->path.front() != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) request->path = std::string(cwd) + "/" + request->path;
  }
  return true;
}

// The container's protection record (the row of folder 0), read without changing the file.
bool ReadProtectionRecord(const std::string& path, std::vector<BYTE>* record) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return false;
  }
  sqlite3_stmt* statement = nullptr;
  bool found = false;
  if (sqlite3_prepare_v2(db, "SELECT FOLDER_DATA FROM FOLDER_OPTIONS WHERE FOLDER_ID = 0", -1,
                         &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    const auto* data = static_cast<const BYTE*>(sqlite3_column_blob(statement, 0));
    const int size = sqlite3_column_bytes(statement, 0);
    if (data != nullptr && size > 0) {
      record->assign(data, data + size);
      found = true;
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return found;
}

// The item's recipients as the library lists them; false when they cannot be read.
bool Recipients(const std::string& path, bool container, std::vector<std::string>* users) {
  if (!container)
    return ReadUserList(
        [&](BYTE* buffer, DWORD* size) { return QVFSFileGetUserList(path.c_str(), buffer, size); },
        users);
  std::vector<BYTE> record;
  return ReadProtectionRecord(path, &record) &&
         ReadUserList(
             [&](BYTE* buffer, DWORD* size) {
               return QVFSFolderGetUserList(record.data(), static_cast<DWORD>(record.size()),
                                            buffer, size);
             },
             users);
}

// The dialog in the terminal: the user's when it is interactive and no options were given (and
// `scripted` is false), else the options as clicks, then OK.
int RunInTerminal(ShareRequest request, bool scripted) {
  std::unique_ptr<TerminalBackend> ui = TerminalBackend::ForControllingTerminal();
  if (ui != nullptr && (scripted || !request.steps.empty() || !ui->Interactive()))
    ui = std::make_unique<TerminalBackend>(-1, STDOUT_FILENO, false);
  if (ui == nullptr) return kExitFailed;
  if (!ui->Interactive()) {
    request.steps.push_back(HeadlessBackend::Step::Click(kOkButton));
    ui->SetAnswerSteps(IDD_SELECT_USERS, request.steps);
    // The notices the dialog may show are acknowledged; they stay in the output.
    ui->SetAnswer(IDD_ADD_ERROR, IDOK);
    ui->SetAnswer(IDD_INVALID_USER, IDOK);
    ui->SetMessageBoxAnswer("", IDOK);
  }
  UiBackend* previous = SetUiBackend(ui.get());
  const int code = RunSharingItem(request.path);
  SetUiBackend(previous);
  return code;
}

}  // namespace

int RunShareCommand(int argc, char** argv) {
  for (int i = 2; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (IsHelpOption(argv[i])) {
      std::fputs(kShareHelp, stdout);
      return kExitOk;
    }
  std::string uiError;
  const std::optional<UiKind> requested = TakeUiOption(&argc, argv, &uiError);
  if (!uiError.empty()) {
    std::fprintf(stderr, "qvx share: %s (see qvx share --help)\n", uiError.c_str());
    return kExitUsage;
  }
  ShareRequest request;
  if (!ParseShareArguments(argc, argv, &request)) return kExitUsage;
  if (!request.steps.empty() && requested == UiKind::Desktop) {
    std::fputs(
        "qvx share: --add and --remove are applied without a window; leave out --ui desktop, "
        "or leave them out and use the window\n",
        stderr);
    return kExitUsage;
  }
  struct stat st {};
  const bool container = HasSuffixIgnoringCase(request.path, ".qvef");
  if (stat(request.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      !(container || HasSuffixIgnoringCase(request.path, ".qvf"))) {
    std::fprintf(stderr, "qvx share: %s is no encrypted file (.qvf) or container (.qvef)\n",
                 request.path.c_str());
    return kExitUsage;
  }

  // Options given are the user, whatever the display; otherwise the usual choice of back end.
  UiKind kind = UiKind::None;
  if (request.steps.empty()) {
    std::string note;
    kind = ChooseUiKind(requested, &note);
    if (!note.empty()) std::fprintf(stderr, "qvx share: %s\n", note.c_str());
  }
  int code = kExitNothingRun;
  bool ran = false;
  if (kind == UiKind::Desktop) {
    // A window closed without OK changes nothing, as the list printed then shows.
    ProgramUi window;
    if (!window.Install("qvx share", UiKind::Desktop)) return kExitFailed;
    if (window.Kind() == UiKind::Desktop) {
      code = RunSharingItem(request.path);
      ran = true;
    }
    // Otherwise the display could not be opened (ProgramUi said so): the terminal takes over.
  }
  if (!ran) code = RunInTerminal(request, kind == UiKind::None);
  if (code != kExitOk) return code;

  std::vector<std::string> users;
  if (!Recipients(request.path, container, &users)) {
    std::fprintf(stderr, "qvx share: the users of %s cannot be read\n", request.path.c_str());
    return kExitFailed;
  }
  std::printf("Users who may open %s:\n", request.path.c_str());
  for (const std::string& user : users) {
    std::string clean;
    for (const char c : user) clean += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    std::printf("  %s\n", clean.c_str());
  }
  return kExitOk;
}
