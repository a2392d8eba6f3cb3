// qvx share (see ShareCommand.h). The handler is loaded as qvx menu loads it and its Sharing
// item is run by its command offset, which the handler's menu fixes whatever the language of
// its texts. In a terminal the dialog is the user's; with --add or --remove, or without a
// terminal, those options are the user: each is typed or selected and clicked in order, then
// OK.
#include "host/ShareCommand.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/Associations.h"
#include "host/ContextMenuListing.h"
#include "host/ExitCodes.h"
#include "host/InprocServerLoader.h"
#include "platform/AsciiCase.h"
#include "platform/shell/DragQuery.h"
#include "platform/ui/TerminalBackend.h"
#include "sharing/UserList.h"
#include "suite/QvDialogIds.h"
#include "suite/QvFsApi.h"

namespace {

// The handler's Sharing item, by its command offset.
constexpr UINT kSharingOffset = 3;

// Element ids of the sharing page.
constexpr const char* kUserNameBox = "Quorvin_EditUserName";
constexpr const char* kUsersList = "Quorvin_CmbUsers";
constexpr const char* kAddButton = "Quorvin_BtnAddUser";
constexpr const char* kRemoveButton = "Quorvin_BtnRemoveUser";
constexpr const char* kOkButton = "Quorvin_BtnOK";

constexpr const char* kShareHelp =
    "usage: qvx share [--add USER]... [--remove USER]... [--] PATH\n"
    "\n"
    "Opens the sharing dialog of the encrypted file (.qvf) or container (.qvef) PATH the way\n"
    "the file manager's context menu does (its \"Sharing...\" item, after your password), then\n"
    "prints the users who may open the item, as the file-encryption library lists them.\n"
    "In a terminal, and without --add or --remove, the dialog is yours: a letter picks a field\n"
    "(the user name, a list), a number presses a button. With --add or --remove, or without a\n"
    "terminal, the options are applied as clicks in the order given, then OK.\n"
    "\n"
    "options:\n"
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

// Runs the Sharing item of the first registered handler that offers it.
int RunSharingItem(const std::string& path) {
  const std::vector<CLSID> handlers = ContextMenuHandlersFor(path, false);
  if (handlers.empty()) {
    std::fprintf(stderr, "qvx share: no context-menu handler is registered: run qvx register\n");
    return kExitNoHandler;
  }
  ComPtr<IDataObject> selection;
  if (FAILED(CreateDropDataObject({path}, true, selection.ReleaseAndGetAddressOf()))) {
    std::fprintf(stderr, "qvx share: the path is not valid text\n");
    return kExitUsage;
  }
  InprocServerLoader loader;
  int code = kExitNothingRun;
  for (const CLSID& clsid : handlers) {
    IUnknown* object = nullptr;
    std::string error;
    if (FAILED(loader.CreateInstance(clsid, IID_IShellExtInit, &object, &error))) {
      std::fprintf(stderr, "qvx share: the handler %s cannot be loaded: %s\n",
                   FormatGuid(clsid).c_str(), error.c_str());
      code = kExitNoLibrary;
      break;
    }
    ComPtr<IShellExtInit> init;
    init.Attach(static_cast<IShellExtInit*>(object));
    ComPtr<IContextMenu> menu;
    if (FAILED(init.As(menu))) continue;
    (void)init->Initialize(nullptr, selection.Get(), nullptr);
    std::vector<ContextMenuEntry> entries;
    if (FAILED(ListContextMenu(menu.Get(), CMF_NORMAL, &entries))) continue;
    const ContextMenuEntry* sharing = nullptr;
    for (const ContextMenuEntry& entry : entries)
      if (!entry.separator && entry.offset == kSharingOffset) sharing = &entry;
    if (sharing == nullptr) continue;
    code = SUCCEEDED(InvokeContextMenuEntry(menu.Get(), *sharing)) ? kExitOk : kExitNothingRun;
    break;
  }
  selection.Reset();
  (void)loader.UnloadUnused();
  if (code == kExitNothingRun)
    std::fprintf(stderr,
                 "qvx share: sharing is not offered for %s: the suite may not be running (start "
                 "it with 'qvclient start'), or the shell application is busy\n",
                 path.c_str());
  return code;
}

}  // namespace

int RunShareCommand(int argc, char** argv) {
  for (int i = 2; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kShareHelp, stdout);
      return kExitOk;
    }
  ShareRequest request;
  if (!ParseShareArguments(argc, argv, &request)) return kExitUsage;
  struct stat st {};
  const bool container = HasSuffixIgnoringCase(request.path, ".qvef");
  if (stat(request.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      !(container || HasSuffixIgnoringCase(request.path, ".qvf"))) {
    std::fprintf(stderr, "qvx share: %s is no encrypted file (.qvf) or container (.qvef)\n",
                 request.path.c_str());
    return kExitUsage;
  }

  std::unique_ptr<TerminalBackend> ui = TerminalBackend::ForControllingTerminal();
  if (ui != nullptr && (!request.steps.empty() || !ui->Interactive()))
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
