// qvx menu (see MenuCommand.h). The handlers are found and loaded as the file manager finds
// and loads them: from the registry, for the kind of item selected, through the loader that
// checks the library file. The selection reaches them as a CF_HDROP data object.
#include "host/MenuCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "host/Associations.h"
#include "host/CommandArgs.h"
#include "host/ContextMenuListing.h"
#include "host/ExitCodes.h"
#include "host/InprocServerLoader.h"
#include "platform/AsciiCase.h"
#include "platform/Window.h"
#include "platform/shell/DragQuery.h"

namespace {

// The shell application's window; while it exists the handler runs no command.
constexpr const char* kShellAppWindowClass = "MainWndClass";
constexpr const char* kShellAppWindowTitle = "Marlowen Quorvin Shell App";

constexpr const char* kMenuHelp =
    "usage: qvx menu [--from FILE|-] [--] PATH...\n"
    "       qvx menu --run VERB|TEXT [--from FILE|-] [--] PATH...\n"
    "\n"
    "Builds the context menu a file manager shows when PATH... are selected and right-clicked:\n"
    "the handlers registered for files (*) or folders (Directory) are loaded from the registry\n"
    "and given the selection. Without --run every item is printed, one a line: its text, its\n"
    "verb in brackets and its help text after a tab; \"----\" is a separator. With --run the\n"
    "item whose verb, or else whose text (ignoring case and '&'), is VERB|TEXT is run as if the\n"
    "user picked it.\n"
    "\n"
    "options:\n"
    "  --run VERB|TEXT  run that item instead of listing the menu\n"
    "  --from FILE      read further paths from FILE, one a line ('-': standard input), for\n"
    "                   selections larger than a command line\n"
    "  --               every argument after it is a path, even one starting with '-'\n"
    "\n"
    "exit codes:\n"
    "  0  the menu was listed, or the item ran (its own dialogs report its outcome)\n"
    "  1  the handler failed\n"
    "  2  wrong usage, or a path that does not exist\n"
    "  3  a registered handler library could not be loaded\n"
    "  4  no context-menu handler is registered (run qvx register)\n"
    "  5  --run ran nothing; the message says why\n";

std::string Absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

bool IsEncryptedName(const std::string& path) {
  for (const char* suffix : {".qvf", ".qvef", ".qvx"}) {
    const std::size_t n = std::strlen(suffix);
    if (path.size() > n &&
        EqualsIgnoringAsciiCase(std::string_view(path).substr(path.size() - n), suffix))
      return true;
  }
  return false;
}

// Why the handlers offer nothing for `paths`, as far as a host can tell.
std::string WhyNothingIsOffered(const std::vector<std::string>& paths,
                                const std::vector<bool>& isFolder) {
  bool encrypted = false, plain = false;
  for (std::size_t i = 0; i < paths.size(); ++i)
    (!isFolder[i] && IsEncryptedName(paths[i]) ? encrypted : plain) = true;
  if (encrypted && plain)
    return "the selection mixes encrypted and plain items: select only one kind";
  return "the suite may not be running (start it with 'qvclient start'), or the selection lies "
         "in a protected location (system folders, the profiles folder)";
}

// The handlers that apply to every selected item, in the registry's order.
std::vector<CLSID> HandlersForAll(const std::vector<std::string>& paths,
                                  const std::vector<bool>& isFolder) {
  std::vector<CLSID> common = ContextMenuHandlersFor(paths.front(), isFolder.front());
  for (std::size_t i = 1; i < paths.size() && !common.empty(); ++i) {
    const std::vector<CLSID> these = ContextMenuHandlersFor(paths[i], isFolder[i]);
    std::erase_if(common, [&these](const CLSID& id) {
      for (const CLSID& other : these)
        if (id == other) return false;
      return true;
    });
  }
  return common;
}

struct MenuRequest {
  std::string run;  // empty: list
  std::vector<std::string> paths;
};

// False (after a message) on a usage mistake.
bool ParseMenuArguments(int argc, char** argv, MenuRequest* request) {
  bool pathsOnly = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!pathsOnly && arg == "--") {
      pathsOnly = true;
    } else if (!pathsOnly && (arg == "--run" || arg == "--from")) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qvx menu: %s needs a value (see qvx menu --help)\n", arg.c_str());
        return false;
      }
      const std::string value = argv[++i];
      if (arg == "--run") {
        request->run = value;
        continue;
      }
      std::ifstream file;
      if (value != "-") {
        file.open(value);
        if (!file) {
          std::fprintf(stderr, "qvx menu: cannot read %s\n", value.c_str());
          return false;
        }
      }
      std::istream& in = value == "-" ? std::cin : file;
      for (std::string line; std::getline(in, line);)
        if (!line.empty()) request->paths.push_back(line);
    } else if (!pathsOnly && arg.size() > 1 && arg.front() == '-') {
      std::fprintf(stderr, "qvx menu: unknown option %s (see qvx menu --help)\n", arg.c_str());
      return false;
    } else {
      request->paths.push_back(arg);
    }
  }
  if (request->paths.empty()) {
    std::fprintf(stderr, "qvx menu: no path given (see qvx menu --help)\n");
    return false;
  }
  return true;
}

// Lists or runs the menu of one handler for the selection; *offered tells whether it added
// anything, *ran whether the asked item was found and run.
int UseHandler(InprocServerLoader& loader, const CLSID& clsid, IDataObject* selection,
               const MenuRequest& request, bool* offered, bool* ran) {
  IUnknown* object = nullptr;
  std::string error;
  const HRESULT created = loader.CreateInstance(clsid, IID_IShellExtInit, &object, &error);
  if (FAILED(created)) {
    std::fprintf(stderr, "qvx menu: the handler %s cannot be loaded: %s\n",
                 FormatGuid(clsid).c_str(), error.c_str());
    return kExitNoLibrary;
  }
  ComPtr<IShellExtInit> init;
  init.Attach(static_cast<IShellExtInit*>(object));
  ComPtr<IContextMenu> menu;
  if (FAILED(init.As(menu))) return kExitOk;  // not a menu handler after all
  // A handler that will offer nothing says so here; the menu is still asked, as a file
  // manager asks it.
  (void)init->Initialize(nullptr, selection, nullptr);
  std::vector<ContextMenuEntry> entries;
  if (FAILED(ListContextMenu(menu.Get(), CMF_NORMAL, &entries))) {
    std::fprintf(stderr, "qvx menu: the handler %s failed to build its menu\n",
                 FormatGuid(clsid).c_str());
    return kExitFailed;
  }
  for (const ContextMenuEntry& entry : entries) *offered = *offered || !entry.separator;
  if (request.run.empty()) {
    PrintContextMenu(entries, stdout);
    return kExitOk;
  }
  const ContextMenuEntry* entry = FindContextMenuEntry(entries, request.run);
  if (entry == nullptr || *ran) return kExitOk;
  if (FindWindowA(kShellAppWindowClass, kShellAppWindowTitle) != nullptr) {
    std::fprintf(stderr,
                 "qvx menu: the shell application is busy with another file: try again when it "
                 "has finished\n");
    return kExitNothingRun;
  }
  *ran = true;
  const HRESULT invoked = InvokeContextMenuEntry(menu.Get(), *entry);
  if (FAILED(invoked)) {
    std::fprintf(stderr, "qvx menu: \"%s\" did not run (0x%08X)\n", entry->text.c_str(),
                 static_cast<unsigned>(invoked));
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int RunMenuCommand(int argc, char** argv) {
  for (int i = 2; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (IsHelpOption(argv[i])) {
      std::fputs(kMenuHelp, stdout);
      return kExitOk;
    }
  MenuRequest request;
  if (!ParseMenuArguments(argc, argv, &request)) return kExitUsage;
  std::vector<bool> isFolder;
  for (std::string& path : request.paths) {
    path = Absolute(path);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
      std::fprintf(stderr, "qvx menu: %s: no such file or folder\n", path.c_str());
      return kExitUsage;
    }
    isFolder.push_back(S_ISDIR(st.st_mode));
  }
  const std::vector<CLSID> handlers = HandlersForAll(request.paths, isFolder);
  if (handlers.empty()) {
    std::fprintf(stderr,
                 "qvx menu: no context-menu handler is registered for this selection: run qvx "
                 "register\n");
    return kExitNoHandler;
  }
  ComPtr<IDataObject> selection;
  if (FAILED(CreateDropDataObject(request.paths, true, selection.ReleaseAndGetAddressOf()))) {
    std::fprintf(stderr, "qvx menu: a path is not valid text\n");
    return kExitUsage;
  }
  InprocServerLoader loader;
  bool offered = false, ran = false;
  int code = kExitOk;
  for (const CLSID& clsid : handlers) {
    code = UseHandler(loader, clsid, selection.Get(), request, &offered, &ran);
    if (code != kExitOk || ran) break;
  }
  selection.Reset();
  (void)loader.UnloadUnused();
  if (code != kExitOk) return code;
  if (!offered) {
    std::fprintf(stderr, "qvx menu: nothing is offered: %s\n",
                 WhyNothingIsOffered(request.paths, isFolder).c_str());
    return request.run.empty() ? kExitOk : kExitNothingRun;
  }
  if (!request.run.empty() && !ran) {
    std::fprintf(stderr,
                 "qvx menu: \"%s\" is not offered for this selection (qvx menu without --run "
                 "lists what is)\n",
                 request.run.c_str());
    return kExitNothingRun;
  }
  return kExitOk;
}
