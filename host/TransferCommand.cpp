// qvx copy, move and drag (see TransferCommand.h).
#include "host/TransferCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/BrowseCommand.h"
#include "host/BrowsePaths.h"
#include "host/CommandArgs.h"
#include "host/CommandLineUser.h"
#include "host/ContainerBrowser.h"
#include "host/DropCommand.h"
#include "host/ExitCodes.h"
#include "host/ItemCommands.h"
#include "host/Paste.h"
#include "host/PlainFolderDrop.h"
#include "platform/ole/Clipboard.h"
#include "platform/ole/DragDrop.h"
#include "platform/shell/DragQuery.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/TerminalBackend.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitNotAContainer = 4;

constexpr const char* kCopyHelp =
    "usage: qvx copy SRC... DEST\n"
    "       qvx move SRC... DEST\n"
    "       qvx drag [--ctrl|--shift] SRC... DEST\n"
    "\n"
    "Copies or moves files and folders into, out of and between containers, as a user does\n"
    "with the file manager. SRC and DEST are plain paths or paths through a container\n"
    "(/home/u/Box.qvef/Docs/a.txt); DEST is a folder (a container file stands for its root).\n"
    "Sources inside a container must be in one folder: they are selected together in its view\n"
    "and copied (Ctrl+C) or cut (Ctrl+X), then pasted into DEST. A folder goes with everything\n"
    "below it, empty folders too. qvx drag drags them instead: out of a view onto DEST, or\n"
    "onto the view of DEST; no key held copies, --shift moves, --ctrl copies.\n"
    "\n"
    "A move removes a source only once it arrived whole: a file that cannot be decrypted or\n"
    "written stays where it was. A name that is taken in a plain DEST is replaced only when\n"
    "you agree on a terminal; elsewhere the existing file is kept (and its source too).\n"
    "The password comes from QV_PASSWORD_FILE when that is set, else it is asked.\n"
    "\n"
    "exit codes:\n"
    "  0  everything arrived (and with a move, every source is gone)\n"
    "  1  some items did not arrive or could not be removed (the messages name them; what\n"
    "     did not arrive is still at its source)\n"
    "  2  wrong usage, a SRC that does not exist, or a DEST that is no folder\n"
    "  4  a path does not run through a registered container (run qvx register)\n"
    "  6  there is no such container or folder, 7 the user was refused\n";

bool IsPlainFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The drop target of a plain folder's window, as the file manager has one: it takes virtual
// files into `folder` with the effect the keys ask for (Shift moves; a copy otherwise).
class PlainFolderTarget final : public ComObject<IDropTarget> {
 public:
  explicit PlainFolderTarget(std::string folder) : folder_(std::move(folder)) {}

  HRESULT DragEnter(IDataObject*, DWORD keys, POINTL, DWORD* effect) override {
    *effect = Choose(keys, *effect);
    return S_OK;
  }
  HRESULT DragOver(DWORD keys, POINTL, DWORD* effect) override {
    *effect = Choose(keys, *effect);
    return S_OK;
  }
  HRESULT DragLeave() override { return S_OK; }
  HRESULT Drop(IDataObject* data, DWORD keys, POINTL, DWORD* effect) override {
    const DWORD chosen = Choose(keys | lastKeys_, *effect);
    PlainFolderDropOptions options;
    options.requestedEffect = chosen;
    options.sourceMovesReadFilesOnly = true;
    ReceiptProgressLine line;
    ShowReceiptOn(line, &options);
    dropped_ = true;
    received_ = ReceiveIntoPlainFolder(data, folder_, options, &result_);
    line.End();
    *effect = result_.performedEffect;
    return S_OK;
  }

  bool dropped_ = false;
  HRESULT received_ = E_FAIL;
  PlainFolderDropResult result_;

 private:
  DWORD Choose(DWORD keys, DWORD allowed) {
    // The modifier held while moving counts at the drop too: letting go releases the buttons.
    if ((keys & kMouseButtons) != 0) lastKeys_ = keys & (MK_SHIFT | MK_CONTROL);
    const DWORD wanted =
        (keys & MK_SHIFT) != 0 && (keys & MK_CONTROL) == 0 ? DROPEFFECT_MOVE : DROPEFFECT_COPY;
    return (allowed & wanted) != 0 ? wanted : DROPEFFECT_NONE;
  }

  std::string folder_;
  DWORD lastKeys_ = 0;
};

// The window of the destination folder as the file manager shows it: a framework window with
// the folder's path as its caption, under an id of qvx's own (no product dialog uses it).
constexpr UINT kFolderWindowId = 0x7F01;

class FolderWindow final : public CDialog {
 public:
  explicit FolderWindow(const std::string& folder)
      : CDialog(DialogTemplate{kFolderWindowId, 200, 120, folder, {}}, nullptr) {}
};

// The drag script of a hand that presses, moves to `point` over `window` with `keys`, and lets
// go there.
void ScriptDrag(HWND window, DWORD keys, POINTL point) {
  QvSetDragScript({{MK_LBUTTON | keys, window, {point.x, point.y - 2}, false},
                   {MK_LBUTTON | keys, window, point, false},
                   {keys, window, point, false}});
}

// Below every row of a view's list, where a drop goes to the folder shown, not to a folder row.
constexpr POINTL kBelowTheRows{10, 0x7FFFFFF};

// Out of a container: the view of the sources' folder copies, cuts or drags them.
int TransferOut(const ItemSelection& selection, const std::string& dest, const char* command,
                bool drag, bool move, DWORD keys) {
  const auto terminal = TerminalForPrompts();
  InprocServerLoader loader;
  int code = kExitFailed;
  {
    CommandLineUser user("", false);
    ComPtr<ContainerBrowser> browser;
    browser.Attach(new ContainerBrowser(loader));
    std::vector<int> rows;
    if (OpenAndSelect(command, *browser.Get(), selection, &rows, &code)) {
      std::printf("selected %s in %s\n", Plural(rows.size(), "item").c_str(),
                  browser->Location().c_str());
      if (drag) {
        FolderWindow window(dest);
        ComPtr<PlainFolderTarget> target;
        target.Attach(new PlainFolderTarget(dest));
        if (!window.Create(nullptr) || FAILED(RegisterDragDrop(window.m_hWnd, target.Get()))) {
          std::fprintf(stderr, "qvx %s: no window could be made for %s\n", command, dest.c_str());
        } else {
          ScriptDrag(window.m_hWnd, keys, POINTL{10, 10});
          std::printf("dragging onto %s ...\n", dest.c_str());
          std::fflush(stdout);
          (void)browser->BeginDrag(false);
          (void)RevokeDragDrop(window.m_hWnd);
          if (!target->dropped_)
            std::fprintf(stderr, "qvx %s: the view started no drag (is the user verified?)\n",
                         command);
          else
            code = ReportReceipt(target->result_, target->received_, (keys & MK_SHIFT) != 0, dest,
                                 command);
        }
        (void)window.DestroyWindow();
      } else {
        unsigned short key = 0;
        unsigned char modifiers = 0;
        (void)ParseKeyName(move ? "Ctrl+X" : "Ctrl+C", &key, &modifiers);
        (void)browser->Key(key, modifiers);
        ComPtr<IDataObject> data;
        if (FAILED(OleGetClipboard(data.ReleaseAndGetAddressOf())) ||
            PreferredEffectOf(data.Get()) != (move ? DROPEFFECT_MOVE : DROPEFFECT_COPY)) {
          std::fprintf(stderr, "qvx %s: the view put nothing on the clipboard\n", command);
        } else {
          code = PasteInto(data.Get(), dest, command);
        }
      }
    }
    browser->Close();
  }
  SetUiBackend(nullptr);
  return code;
}

// The hand that drags plain files: it drops when the buttons are let go, and stops on Esc.
class HandDropSource final : public ComObject<IDropSource> {
 public:
  HRESULT QueryContinueDrag(BOOL escapePressed, DWORD keys) override {
    if (escapePressed) return DRAGDROP_S_CANCEL;
    return (keys & kMouseButtons) == 0 ? DRAGDROP_S_DROP : S_OK;
  }
  HRESULT GiveFeedback(DWORD) override { return DRAGDROP_S_USEDEFAULTCURSORS; }
};

// Plain files dragged onto the view of a folder inside a container (its list takes drops).
int DragIn(const std::vector<std::string>& sources, const std::string& dest, const char* command,
           DWORD keys) {
  std::vector<std::string> absolute;
  for (const std::string& source : sources) {
    struct stat st {};
    if (lstat(source.c_str(), &st) != 0) {
      std::fprintf(stderr, "qvx %s: %s does not exist; check the name\n", command, source.c_str());
      return kExitUsage;
    }
    absolute.push_back(fs::absolute(source).lexically_normal().string());
  }
  const std::unique_ptr<TerminalBackend> ui = DropUi();
  UiBackend* previous = SetUiBackend(ui.get());
  InprocServerLoader loader;
  int code = kExitFailed;
  {
    ComPtr<ContainerBrowser> browser;
    browser.Attach(new ContainerBrowser(loader));
    std::string error;
    ComPtr<IDataObject> data;
    if (!browser->Open(dest, &error)) {
      code = OpenFailure(command, *browser.Get(), error);
    } else if (FAILED(CreateDropDataObject(absolute, true, data.ReleaseAndGetAddressOf()))) {
      std::fprintf(stderr, "qvx %s: a file name is no valid text; rename it first\n", command);
      code = kExitUsage;
    } else {
      ComPtr<HandDropSource> source;
      source.Attach(new HandDropSource);
      ScriptDrag(browser->ListWindow(), keys, kBelowTheRows);
      std::printf("dragging %s onto %s ...\n", Plural(absolute.size(), "item").c_str(),
                  browser->Location().c_str());
      std::fflush(stdout);
      DWORD effect = DROPEFFECT_NONE;
      const HRESULT hr =
          DoDragDrop(data.Get(), source.Get(), DROPEFFECT_COPY | DROPEFFECT_MOVE, &effect);
      const bool wantedMove = (keys & MK_SHIFT) != 0;
      if (hr != DRAGDROP_S_DROP || effect == DROPEFFECT_NONE) {
        std::fprintf(stderr,
                     "qvx %s: the view did not take the drop: shortcuts, links, devices and the "
                     "container itself are refused, and a file that could not be stored stays "
                     "where it was\n",
                     command);
      } else if (wantedMove && effect != DROPEFFECT_MOVE) {
        std::fprintf(stderr,
                     "qvx %s: everything was stored, but some sources could not be removed; "
                     "remove them yourself\n",
                     command);
      } else {
        std::printf("%s %s into %s\n", effect == DROPEFFECT_MOVE ? "Moved" : "Copied",
                    Plural(absolute.size(), "item").c_str(), browser->Location().c_str());
        code = kExitOk;
      }
    }
    browser->Close();
  }
  SetUiBackend(previous);
  return code;
}

}  // namespace

int RunTransferCommand(int argc, char** argv) {
  const std::string command = argv[1];
  const bool drag = command == "drag";
  // Only a drag has keys to hold: copy and move take no options.
  static constexpr KeyOption kDragKeys[] = {{"--shift", MK_SHIFT}, {"--ctrl", MK_CONTROL}};
  TransferArguments args;
  if (const std::optional<int> code = ReadTransferArguments(
          argc, argv, kCopyHelp,
          drag ? std::span<const KeyOption>(kDragKeys) : std::span<const KeyOption>(), 0, &args))
    return *code;
  const DWORD keys = args.keys;
  std::vector<std::string>& paths = args.sources;
  std::string& dest = args.dest;
  while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
  const bool move = drag ? (keys & MK_SHIFT) != 0 : command == "move";

  std::size_t inContainer = 0;
  for (const std::string& path : paths) inContainer += IsPathInContainer(path) ? 1 : 0;
  if (inContainer != 0 && inContainer != paths.size()) {
    std::fprintf(stderr,
                 "qvx %s: the sources must all be inside one container folder or all plain "
                 "files: run qvx %s once for each\n",
                 command.c_str(), command.c_str());
    return kExitUsage;
  }
  const bool destInContainer = IsContainerPlace(dest);
  if (inContainer == 0) {
    if (!destInContainer) {
      std::fprintf(stderr,
                   "qvx %s: neither the sources nor %s are inside a container: use cp or mv, or "
                   "check the container's path (run qvx register if containers are not "
                   "registered)\n",
                   command.c_str(), dest.c_str());
      return kExitNotAContainer;
    }
    return drag ? DragIn(paths, dest, command.c_str(), keys)
                : CopyIntoContainer(paths, dest, move, command.c_str());
  }
  ItemSelection selection;
  std::string error;
  if (!SplitSelection(paths, &selection, &error)) {
    std::fprintf(stderr, "qvx %s: %s\n", command.c_str(), error.c_str());
    return kExitUsage;
  }
  if (drag && destInContainer) {
    std::fprintf(stderr,
                 "qvx drag: a container takes dragged files from plain folders only; use qvx "
                 "copy or qvx move between containers\n");
    return kExitUsage;
  }
  if (!destInContainer && !IsPlainFolder(dest)) {
    std::fprintf(stderr, "qvx %s: %s is no folder: create it first\n", command.c_str(),
                 dest.c_str());
    return kExitUsage;
  }
  std::string target = dest;
  char absolute[4096];
  if (!destInContainer && realpath(dest.c_str(), absolute) != nullptr) target = absolute;
  return TransferOut(selection, target, command.c_str(), drag, move, keys);
}
