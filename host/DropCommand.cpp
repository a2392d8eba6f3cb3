// qvx drop and the transfers into a container (see DropCommand.h).
#include "host/DropCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "host/BrowsePaths.h"
#include "host/CommandArgs.h"
#include "host/ContainerBrowser.h"
#include "host/ExitCodes.h"
#include "host/InprocServerLoader.h"
#include "platform/ole/DragDrop.h"
#include "platform/shell/DragQuery.h"
#include "platform/ui/Backend.h"
#include "platform/ui/TerminalBackend.h"
#include "suite/QvDialogIds.h"

namespace {

constexpr int kExitNotAContainer = 4;
constexpr int kExitRefused = 5;

constexpr const char* kDropHelp =
    "usage: qvx drop [--shift|--ctrl|--right] FILE... CONTAINER[/FOLDER...]\n"
    "\n"
    "Drops plain files and folders onto a container the way the file manager does: onto the\n"
    "container file (Box.qvef) or onto a folder inside it (Box.qvef/Docs). Each file and\n"
    "folder is encrypted into the container; a folder arrives with everything below it.\n"
    "\n"
    "A drop onto the container file verifies the user first; a drop onto a folder inside it\n"
    "opens the folder holding it in a view, which verifies the user. The password comes from\n"
    "QV_PASSWORD_FILE when that is set, else it is asked on the terminal.\n"
    "\n"
    "keys held while dropping:\n"
    "  (none)     copy: the files stay where they are\n"
    "  --shift    move: each file is deleted once it is stored\n"
    "  --ctrl     copy\n"
    "  --right    copy (dragged with the right button)\n"
    "\n"
    "Shortcuts (.lnk), links, devices, the container itself and folders that hold it are\n"
    "refused, and nothing is dropped then.\n"
    "\n"
    "exit codes:\n"
    "  0  every file and folder was stored (and with --shift removed)\n"
    "  1  the drop failed: the library or the container could not be loaded, the user was not\n"
    "     verified or may not use the container, or a file could not be stored (the progress\n"
    "     rows say which)\n"
    "  2  wrong usage, or a FILE that does not exist\n"
    "  4  the destination is no container or folder inside one\n"
    "  5  the drop was refused (see above)\n";

// The absolute form of `path` with "." and ".." resolved but a link in its last component kept,
// so that the target sees (and refuses) the link itself.
std::string AbsoluteSource(const std::string& path) {
  std::string absolute = std::filesystem::absolute(path).lexically_normal().string();
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

}  // namespace

std::unique_ptr<TerminalBackend> DropUi() {
  std::unique_ptr<TerminalBackend> ui;
  if (std::getenv("QV_PASSWORD_FILE") == nullptr && isatty(STDIN_FILENO))
    ui = TerminalBackend::ForControllingTerminal();
  if (ui == nullptr) {
    ui = std::make_unique<TerminalBackend>(-1, STDOUT_FILENO, false);
    ui->SetAnswer(IDD_INVALID_USER, IDOK);
    ui->SetAnswer(IDD_BACKUP_WARNING, IDOK);
    ui->SetAnswer(IDD_BAD_PASSWORD, IDOK);
    ui->SetAnswer(IDD_PROGRESS, IDOK);
  }
  return ui;
}

namespace {

// Enters, moves over and drops on `target` with `keys` held, as a hand does; the exit code.
int DropOnto(IDropTarget* target, const std::vector<std::string>& sources, DWORD keys,
             const std::string& dest, const char* command) {
  ComPtr<IDataObject> data;
  if (FAILED(CreateDropDataObject(sources, true, data.ReleaseAndGetAddressOf()))) {
    std::fprintf(stderr, "qvx %s: a file name is no valid text; rename it first\n", command);
    return kExitUsage;
  }
  constexpr DWORD kOffered = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  const POINTL point{0, 0};
  DWORD effect = kOffered;
  HRESULT hr = target->DragEnter(data.Get(), keys, point, &effect);
  if (SUCCEEDED(hr)) {
    effect = kOffered;
    hr = target->DragOver(keys, point, &effect);
  }
  if (FAILED(hr) || effect == DROPEFFECT_NONE) {
    (void)target->DragLeave();
    std::fprintf(stderr,
                 "qvx %s: the container refused the drop: shortcuts (.lnk), links, devices, the "
                 "container itself and folders holding it cannot be stored in it; leave them "
                 "out and try again\n",
                 command);
    return kExitRefused;
  }
  effect = kOffered;
  hr = target->Drop(data.Get(), keys & ~kMouseButtons, point, &effect);
  if (FAILED(hr) || effect == DROPEFFECT_NONE) {
    std::fprintf(stderr,
                 "qvx %s: nothing was dropped into %s as a whole: the user was not verified or "
                 "may not use the container, or some files could not be stored (see the rows "
                 "above); what was stored stays there\n",
                 command, dest.c_str());
    return kExitFailed;
  }
  const bool moved = effect == DROPEFFECT_MOVE;
  if ((keys & MK_SHIFT) != 0 && !moved) {
    std::fprintf(stderr,
                 "qvx %s: everything was stored in %s, but some sources could not be removed; "
                 "remove them yourself\n",
                 command, dest.c_str());
    return kExitFailed;
  }
  std::printf("%s %zu item%s into %s\n", moved ? "Moved" : "Copied", sources.size(),
              sources.size() == 1 ? "" : "s", dest.c_str());
  return kExitOk;
}

// The drop itself, once the arguments are checked: `keys` are the MK_* bits held.
int DropIntoContainer(const std::vector<std::string>& sources, const std::string& dest, DWORD keys,
                      const char* command) {
  for (const std::string& source : sources) {
    struct stat st {};
    if (lstat(source.c_str(), &st) != 0) {
      std::fprintf(stderr, "qvx %s: %s does not exist; check the name\n", command, source.c_str());
      return kExitUsage;
    }
  }
  ContainerPlace place;
  CLSID clsid{};
  if (!SplitContainerPath(
          dest, [&](const std::string& prefix) { return IsContainerFile(prefix, &clsid); },
          &place)) {
    std::fprintf(stderr,
                 "qvx %s: %s does not run through a container (a .qvef file of a registered "
                 "type): check the path, and run qvx register if containers are not "
                 "registered\n",
                 command, dest.c_str());
    return kExitNotAContainer;
  }
  std::vector<std::string> absolute;
  for (const std::string& source : sources) absolute.push_back(AbsoluteSource(source));

  const std::unique_ptr<TerminalBackend> ui = DropUi();
  UiBackend* previous = SetUiBackend(ui.get());
  InprocServerLoader loader;
  int code = kExitFailed;
  {
    std::string error;
    std::string containerPath;
    ComPtr<IDropTarget> target;
    ComPtr<ContainerBrowser> browser;
    if (place.inner.empty()) {
      // Onto the container file: its folder's own target, with no view open.
      const ComPtr<IShellFolder> root =
          CreateContainerFolder(loader, clsid, place.container, &containerPath, &error);
      if (!root) {
        std::fprintf(stderr, "qvx %s: %s\n", command, error.c_str());
      } else if (FAILED(root->CreateViewObject(nullptr, IID_IDropTarget,
                                               target.ReleaseAndGetVoidAddressOf()))) {
        std::fprintf(stderr, "qvx %s: %s takes no drops (it may have been deleted)\n", command,
                     place.container.c_str());
      }
    } else {
      // Onto a folder item: the folder holding it is browsed to first, as the user would.
      const size_t last = place.inner.find_last_of('\\');
      const std::string name = place.inner.substr(last + 1);
      std::string parent = place.container;
      for (char c : place.inner.substr(0, last)) parent += c == '\\' ? '/' : c;
      browser.Attach(new ContainerBrowser(loader));
      if (!browser->Open(parent, &error)) {
        std::fprintf(stderr, "qvx %s: %s\n", command, error.c_str());
      } else {
        const int row = browser->RowNamed(name);
        if (row < 0 ||
            FAILED(browser->RowObject(row, IID_IDropTarget, target.ReleaseAndGetVoidAddressOf()))) {
          std::fprintf(stderr,
                       "qvx %s: there is no folder \"%s\" in %s (the user may not have been "
                       "verified); check the path with qvx ls\n",
                       command, name.c_str(), browser->Location().c_str());
        }
      }
    }
    if (target) code = DropOnto(target.Get(), absolute, keys, dest, command);
    target.Reset();
    if (browser) browser->Close();
  }
  SetUiBackend(previous);
  return code;
}

}  // namespace

int RunDropCommand(int argc, char** argv) {
  static constexpr KeyOption kDropKeys[] = {{"--shift", MK_LBUTTON | MK_SHIFT},
                                            {"--ctrl", MK_LBUTTON | MK_CONTROL},
                                            {"--right", MK_RBUTTON}};
  TransferArguments args;
  if (const std::optional<int> code =
          ReadTransferArguments(argc, argv, kDropHelp, kDropKeys, MK_LBUTTON, &args))
    return *code;
  return DropIntoContainer(args.sources, args.dest, args.keys, "drop");
}

int CopyIntoContainer(const std::vector<std::string>& sources, const std::string& dest, bool move,
                      const char* command) {
  if (sources.empty()) {
    std::fprintf(stderr, "qvx %s: nothing to put into %s\n", command, dest.c_str());
    return kExitUsage;
  }
  // A paste is a drop with the keys that ask for the same effect.
  return DropIntoContainer(sources, dest, MK_LBUTTON | (move ? MK_SHIFT : MK_CONTROL), command);
}
