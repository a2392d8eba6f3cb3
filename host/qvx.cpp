// qvx: the file-manager stand-in. It loads libQvFolderExt.so the way the file manager does
// and drives it: registration, opening a file by its association, and a report of what the
// library exports.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/Exports.h"
#include "host/Associations.h"
#include "host/BrowseCommand.h"
#include "host/CommandArgs.h"
#include "host/DropCommand.h"
#include "host/ExitCodes.h"
#include "host/InprocServerLoader.h"
#include "host/ItemCommands.h"
#include "host/MenuCommand.h"
#include "host/ShareCommand.h"
#include "host/TransferCommand.h"
#include "platform/Registry.h"
#include "platform/shell/ShellExecute.h"

namespace {

constexpr int kExitNoAssociation = 4;

// The entry points a file manager and the suite's programs look up in the library, by
// symbol and by the name a reader knows them under.
struct EntryPoint {
  const char* symbol;
  const char* name;
};
const EntryPoint kEntryPoints[] = {
    {"DllGetClassObject", "DllGetClassObject"},
    {"DllCanUnloadNow", "DllCanUnloadNow"},
    {"DllGetVersion", "DllGetVersion"},
    {"DllRegisterServer", "DllRegisterServer"},
    {"DllUnregisterServer", "DllUnregisterServer"},
    {"DllDoEncryptDecrypt", "DllDoEncryptDecrypt"},
    {"DllShellInterface", "DllShellInterface"},
    {"_ZN9CUserData24GetUserSessionTimeOutValEv", "CUserData::GetUserSessionTimeOutVal"},
    {"_ZN9CUserData23SetUserSessionTimeStartEv", "CUserData::SetUserSessionTimeStart"},
    {"_ZN9CUserData23GetUserSessionTimeStartEv", "CUserData::GetUserSessionTimeStart"},
};

constexpr const char* kHelp =
    "usage: qvx COMMAND [options]\n"
    "\n"
    "The file-manager stand-in of QvFolderExt.\n"
    "\n"
    "commands:\n"
    "  register [--library PATH]    register the library: its classes, file types and\n"
    "                               context-menu handlers in the registry, and the file types,\n"
    "                               icons and file-manager actions of the desktop\n"
    "  unregister [--library PATH]  take back exactly what registration wrote\n"
    "  menu [--run ITEM] PATH...    the context menu of a selection, listed, or one item run\n"
    "                               (see qvx menu --help)\n"
    "  share [--add U] [--remove U] PATH  edit who may open an encrypted file or container\n"
    "                               (see qvx share --help)\n"
    "  ls [--tsv] PATH              list a folder inside a container as its view shows it\n"
    "                               (PATH runs through the container: Box.qvef/Docs)\n"
    "  browse [--ui KIND] PATH      browse a container in a window or the terminal\n"
    "                               (see qvx browse --help)\n"
    "  session [FILE]               run browsing commands from FILE or standard input,\n"
    "                               keeping the view open (see qvx session --help)\n"
    "  drop FILE... CONTAINER[/DIR] drop files and folders onto a container or a folder in it\n"
    "                               (see qvx drop --help)\n"
    "  open PATH                    open a file as a double-click does: the program its type\n"
    "                               is associated with gets PATH as its one argument; a file\n"
    "                               inside a container is decrypted and opened as its view does\n"
    "  copy SRC... DEST             copy files and folders into, out of and between\n"
    "                               containers (see qvx copy --help)\n"
    "  move SRC... DEST             the same as a move: sources go once they arrived\n"
    "  drag [--ctrl|--shift] SRC... DEST  drag files out of or into a container's view\n"
    "  rm [--yes] PATH...           delete items inside a container (see qvx rm --help)\n"
    "  rename PATH NEWNAME          rename an item inside a container\n"
    "  decrypt-to SRC... FOLDER     decrypt files inside a container into FOLDER\n"
    "  info [--library PATH]        load the library and print its version and entry points\n"
    "  --help                       show this text (also: qvx COMMAND --help)\n"
    "  --version                    show the version of qvx\n"
    "\n"
    "The library is the one beside qvx unless --library names it. The registry lives under the\n"
    "machine root (QV_ROOT, else $XDG_DATA_HOME/quorvin); the desktop files under the XDG data\n"
    "and config folders.\n"
    "\n"
    "exit codes:\n"
    "  0  done\n"
    "  1  the command failed (the message says why and what to do)\n"
    "  2  wrong usage\n"
    "  3  the library could not be loaded\n"
    "  4  open: no program is associated with the file's type; menu: no handler registered\n"
    "  5  menu --run: the item did not run (the message says why)\n";

constexpr const char* kRegisterHelp =
    "usage: qvx register [--library PATH]\n"
    "       qvx unregister [--library PATH]\n"
    "\n"
    "register calls the library's DllRegisterServer: the classes, the .qvf/.qvef/.qvx types and\n"
    "the context-menu handlers go into the registry, and the desktop files (MIME types, icons,\n"
    "desktop entries, Dolphin/Nautilus/Nemo/Thunar actions) into the XDG folders. unregister\n"
    "calls DllUnregisterServer, which removes only what registration wrote and still holds what\n"
    "it wrote. Both can be run again. Messages and warnings of the library go to standard error.\n"
    "\n"
    "exit codes: 0 done, 1 failed, 2 wrong usage, 3 the library could not be loaded\n";

constexpr const char* kOpenHelp =
    "usage: qvx open PATH\n"
    "\n"
    "Opens PATH as a double-click in the file manager does: its extension gives its class in\n"
    "the registry, the class's shell\\open\\command names the program, and the program is started\n"
    "with PATH as its one argument (never through a shell). qvx does not wait for it.\n"
    "\n"
    "exit codes: 0 started, 1 the program could not be started, 2 wrong usage,\n"
    "            4 no program is associated with the file's type (run qvx register)\n";

std::string DefaultLibraryPath() {
  std::string self;
  char resolved[4096];
  const ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
  if (n > 0) self.assign(resolved, static_cast<std::size_t>(n));
  const size_t slash = self.find_last_of('/');
  return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) +
         "/libQvFolderExt.so";
}

// Parses "[--library PATH]"; false (after a message) on anything else.
bool LibraryOption(int argc, char** argv, const char* command, std::string* library) {
  *library = DefaultLibraryPath();
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
      *library = argv[++i];
    } else {
      std::fprintf(stderr, "qvx %s: unknown option %s (see qvx %s --help)\n", command, argv[i],
                   command);
      return false;
    }
  }
  return true;
}

void* LoadLibraryOrSay(const std::string& library) {
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "qvx: cannot load %s: %s\n", library.c_str(), dlerror());
    std::fprintf(stderr, "qvx: build the project first (scripts/main.sh) or pass --library\n");
  }
  return handle;
}

int Info(const std::string& library) {
  void* handle = LoadLibraryOrSay(library);
  if (handle == nullptr) return kExitNoLibrary;
  std::printf("library: %s\n", library.c_str());
  using GetVersionFn = HRESULT (*)(DLLVERSIONINFO*);
  if (auto getVersion = reinterpret_cast<GetVersionFn>(dlsym(handle, "DllGetVersion"))) {
    DLLVERSIONINFO info{};
    info.cbSize = sizeof info;
    if (getVersion(&info) == 0)
      std::printf("version: %u.%u.%u\n", info.dwMajorVersion, info.dwMinorVersion,
                  info.dwBuildNumber);
  }
  std::printf("entry points:\n");
  for (const EntryPoint& entry : kEntryPoints) {
    const bool present = dlsym(handle, entry.symbol) != nullptr;
    std::printf("  %-40s %s\n", entry.name, present ? "exported" : "not yet built");
  }
  dlclose(handle);
  return kExitOk;
}

// register / unregister: the installer's part, so the library is loaded by its path.
int Registration(const std::string& library, bool doRegister) {
  const char* what = doRegister ? "register" : "unregister";
  // The registry will name the library by its absolute path, and the file manager loads only
  // a library others cannot change; registering one it would refuse helps nobody.
  char absolute[4096];
  if (realpath(library.c_str(), absolute) == nullptr) {
    std::fprintf(stderr, "qvx %s: cannot find %s: build the project first or pass --library\n",
                 what, library.c_str());
    return kExitNoLibrary;
  }
  std::string refusal;
  if (!InprocServerLoader::IsAcceptableServerFile(absolute, &refusal)) {
    std::fprintf(stderr, "qvx %s: %s\n", what, refusal.c_str());
    return kExitNoLibrary;
  }
  void* handle = LoadLibraryOrSay(absolute);
  if (handle == nullptr) return kExitNoLibrary;
  using RegisterFn = HRESULT (*)();
  const auto entry = reinterpret_cast<RegisterFn>(
      dlsym(handle, doRegister ? "DllRegisterServer" : "DllUnregisterServer"));
  if (entry == nullptr) {
    std::fprintf(stderr, "qvx %s: %s exports no %s\n", what, absolute,
                 doRegister ? "DllRegisterServer" : "DllUnregisterServer");
    dlclose(handle);
    return kExitNoLibrary;
  }
  std::fprintf(stderr, "qvx %s: %s %s ...\n", what, doRegister ? "registering" : "unregistering",
               absolute);
  const HRESULT hr = entry();
  dlclose(handle);
  if (FAILED(hr)) {
    std::fprintf(stderr, "qvx %s: failed (0x%08X); the messages above say what to do\n", what,
                 static_cast<unsigned>(hr));
    return kExitFailed;
  }
  std::printf("qvx %s: done (registry %s)\n", what, QvRegistryHivePath().c_str());
  return kExitOk;
}

int Open(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "qvx open: %s: no such file\n", path.c_str());
    return kExitFailed;
  }
  const auto command = OpenCommandOf(path);
  if (!command) {
    std::fprintf(stderr,
                 "qvx open: no program is associated with %s (for .qvf files run qvx register)\n",
                 path.c_str());
    return kExitNoAssociation;
  }
  std::string program;
  std::vector<std::string> arguments;
  if (!ExpandOpenCommand(*command, path, &program, &arguments)) {
    std::fprintf(stderr, "qvx open: the open command \"%s\" names no program: register again\n",
                 command->c_str());
    return kExitNoAssociation;
  }
  if (arguments.size() != 1) {
    std::fprintf(stderr,
                 "qvx open: the open command \"%s\" does not pass the file as its one argument; "
                 "qvx starts programs only that way\n",
                 command->c_str());
    return kExitFailed;
  }
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_FLAG_NO_UI;
  info.lpVerb = "open";
  info.lpFile = program.c_str();
  info.lpParameters = arguments.front().c_str();
  if (!ShellExecuteExA(&info)) {
    std::fprintf(stderr,
                 "qvx open: cannot start %s (error %u): check the suite's InstallDir setting\n",
                 program.c_str(), static_cast<unsigned>(GetLastError()));
    return kExitFailed;
  }
  std::printf("qvx open: started %s for %s\n", program.c_str(), path.c_str());
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || IsHelpOption(argv[1])) {
    std::fputs(kHelp, stdout);
    return argc < 2 ? kExitUsage : kExitOk;
  }
  const std::string command = argv[1];
  if (command == "--version") {
    std::printf("qvx %s\n", QV_PROGRAM_VERSION);
    return kExitOk;
  }
  if (command == "info" || command == "register" || command == "unregister") {
    if (argc > 2 && IsHelpOption(argv[2])) {
      std::fputs(command == "info" ? kHelp : kRegisterHelp, stdout);
      return kExitOk;
    }
    std::string library;
    if (!LibraryOption(argc, argv, command.c_str(), &library)) return kExitUsage;
    if (command == "info") return Info(library);
    return Registration(library, command == "register");
  }
  if (command == "menu") return RunMenuCommand(argc, argv);
  if (command == "share") return RunShareCommand(argc, argv);
  if (command == "drop") return RunDropCommand(argc, argv);
  if (command == "ls") return RunLsCommand(argc, argv);
  if (command == "browse") return RunBrowseCommand(argc, argv);
  if (command == "session") return RunSessionCommand(argc, argv);
  if (command == "copy" || command == "move" || command == "drag")
    return RunTransferCommand(argc, argv);
  if (command == "rm") return RunRmCommand(argc, argv);
  if (command == "rename") return RunRenameCommand(argc, argv);
  if (command == "decrypt-to") return RunDecryptToCommand(argc, argv);
  if (command == "open" && argc > 2 && IsPathInContainer(argv[argc - 1]))
    return RunOpenItemCommand(argc, argv);
  if (command == "open") {
    if (argc == 3 && IsHelpOption(argv[2])) {
      std::fputs(kOpenHelp, stdout);
      return kExitOk;
    }
    const int first = argc > 2 && std::strcmp(argv[2], "--") == 0 ? 3 : 2;
    if (argc != first + 1) {
      std::fputs(kOpenHelp, stderr);
      return kExitUsage;
    }
    return Open(argv[first]);
  }
  std::fprintf(stderr, "qvx: unknown command %s (see qvx --help)\n", argv[1]);
  return kExitUsage;
}
