// qvx ls, qvx browse and qvx session (see BrowseCommand.h).
#include "host/BrowseCommand.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "host/BrowsePaths.h"
#include "host/BrowseWindow.h"
#include "host/CommandArgs.h"
#include "host/CommandLineUser.h"
#include "host/ContainerBrowser.h"
#include "host/ExitCodes.h"
#include "host/Paste.h"
#include "platform/ole/Clipboard.h"
#include "platform/ui/Accelerators.h"
#include "platform/ui/Backend.h"
#include "platform/ui/TerminalBackend.h"
#include "platform/ui/desktop/ProgramUi.h"

namespace {

// The view's command ids this file sends.
constexpr WORD kViewDecryptTo = 32774;

constexpr const char* kLsHelp =
    "usage: qvx ls [--tsv] PATH\n"
    "\n"
    "Lists a folder inside a container the way the file manager's view shows it: PATH runs\n"
    "through a container file, /home/u/Box.qvef/Docs is the folder Docs of Box.qvef. The user\n"
    "is verified first (the password comes from QV_PASSWORD_FILE when that is set, else it is\n"
    "asked on the terminal). One row a line: Name, Size, Type and Date, in columns, or\n"
    "separated by tabs with --tsv. Folders come first, then files, each by name.\n"
    "\n"
    "exit codes: 0 listed (no rows: the folder is empty),\n"
    "            1 the container or folder could not be opened, 2 wrong usage,\n"
    "            4 PATH does not run through a registered container (run qvx register),\n"
    "            6 there is no such container or folder, 7 the user was refused (a wrong\n"
    "            password, or not one of the container's users)\n";

constexpr const char* kBrowseHelp =
    "usage: qvx browse [--ui desktop|terminal] PATH\n"
    "\n"
    "Browses a container as the file manager shows it: in a window when a display is there\n"
    "and qvx was not started from a terminal (or with --ui desktop, or QV_UI=desktop), else in\n"
    "the terminal. In the window: double-click or Enter opens, Backspace goes up, F5\n"
    "refreshes, the right mouse button shows the view's menu, Ctrl+W closes. In the terminal:\n"
    "  Up/Down, or a row number and Enter   move; Enter opens the folder under the cursor\n"
    "  Backspace                            up to the parent folder\n"
    "  Space                                select or unselect the row under the cursor\n"
    "  a                                    select all (the view's Ctrl+A)\n"
    "  r or F5                              refresh\n"
    "  m                                    the view's menu and toolbar ids: type one\n"
    "  Enter on a file                      open it (decrypted, with the desktop's opener)\n"
    "  Delete                               delete the selection (or the row under the cursor)\n"
    "  F2 or n                              rename the row under the cursor\n"
    "  d                                    decrypt the selected files to a folder (the context\n"
    "                                       menu's Decrypt To)\n"
    "  c or x                               copy or cut the selection (or the row under the\n"
    "                                       cursor): the view's Ctrl+C and Ctrl+X\n"
    "  v                                    paste what was copied or cut into a folder you name\n"
    "                                       (a plain folder or one inside a container)\n"
    "  q or Esc                             quit\n"
    "The password comes from QV_PASSWORD_FILE when that is set, else it is asked.\n"
    "\n"
    "exit codes: 0 done (the window was closed), 1 the container could not be opened,\n"
    "            2 wrong usage or no terminal,\n"
    "            4 PATH does not run through a registered container (run qvx register),\n"
    "            6 there is no such container or folder, 7 the user was refused\n";

constexpr const char* kSessionHelp =
    "usage: qvx session [FILE]\n"
    "\n"
    "Runs browsing commands from FILE (or standard input), one a line, keeping the view open\n"
    "between them; what each prints goes to standard output, mistakes to standard error:\n"
    "  cd PATH      open PATH (through a container); cd NAME enters a folder of the view,\n"
    "               cd .. goes up\n"
    "  ls           the view's rows, tab-separated, a '*' before selected rows\n"
    "  select N|NAME|none   select row N (from 1) or the row named NAME alone\n"
    "  key KEY      hand a key to the view: Enter, Delete, Shift+Delete, Ctrl+A, Ctrl+C,\n"
    "               Ctrl+X, Esc ...; prints \"taken\" or \"not a key of the view\"\n"
    "  menu ID      send a menu or toolbar command id to the view (32778 refresh,\n"
    "               508..511 view modes, 32776 select all)\n"
    "  refresh      list the folder again\n"
    "  toolbar      the view's toolbar buttons as command:on|off (* checked)\n"
    "  rename NAME NEWNAME   edit the label of the row named NAME (NEWNAME may hold spaces)\n"
    "  decrypt-to FOLDER     the context menu's Decrypt To for the selection, into FOLDER\n"
    "  paste DEST   paste what key Ctrl+C copied or key Ctrl+X cut into DEST, a plain folder\n"
    "               or a folder inside a container; a cut source goes once it arrived\n"
    "  key Delete deletes the selection (without a terminal the question is answered Yes),\n"
    "  key Enter opens the selected files; menu 32774 is Decrypt To with the chooser cancelled\n"
    "  quit         end (also the end of the input)\n"
    "Lines starting with '#' are comments. Passwords come from QV_PASSWORD_FILE.\n"
    "\n"
    "exit codes: 0 every command ran, 1 a command failed (the session goes on and the\n"
    "            message says why), 2 wrong usage or FILE cannot be read\n";

// Column widths for rows printed as a table.
void PrintTable(const std::vector<ContainerBrowser::Row>& rows, bool numbered, int cursor) {
  size_t widths[4] = {4, 4, 4, 4};
  for (const auto& row : rows)
    for (int c = 0; c < 4; ++c) widths[c] = std::max(widths[c], row.texts[c].size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& row = rows[i];
    std::string line;
    if (numbered)
      line += std::string(static_cast<int>(i) == cursor ? ">" : " ") + (row.selected ? "*" : " ") +
              std::to_string(i + 1) + "\t";
    line += row.texts[0] + std::string(widths[0] - row.texts[0].size() + 2, ' ');
    line += std::string(widths[1] - row.texts[1].size(), ' ') + row.texts[1] + "  ";
    line += row.texts[2] + std::string(widths[2] - row.texts[2].size() + 2, ' ');
    line += row.texts[3];
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
  }
}

void PrintTsv(const std::vector<ContainerBrowser::Row>& rows, bool marks) {
  for (const auto& row : rows)
    std::printf("%s%s\t%s\t%s\t%s\n", marks ? (row.selected ? "*" : " ") : "", row.texts[0].c_str(),
                row.texts[1].c_str(), row.texts[2].c_str(), row.texts[3].c_str());
}

}  // namespace

int OpenFailure(const char* command, const ContainerBrowser& browser, const std::string& error) {
  std::fprintf(stderr, "qvx %s: %s\n", command, error.c_str());
  return browser.ExitCode();
}

std::unique_ptr<TerminalBackend> TerminalForPrompts() {
  if (std::getenv("QV_PASSWORD_FILE") != nullptr || !isatty(STDIN_FILENO)) return nullptr;
  auto terminal = TerminalBackend::ForControllingTerminal();
  if (terminal) SetUiBackend(terminal.get());
  return terminal;
}

int RunLsCommand(int argc, char** argv) {
  bool tsv = false;
  std::string path;
  for (int i = 2; i < argc; ++i) {
    if (IsHelpOption(argv[i])) {
      std::fputs(kLsHelp, stdout);
      return kExitOk;
    }
    if (std::strcmp(argv[i], "--tsv") == 0) {
      tsv = true;
    } else if (path.empty() && (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0)) {
      path = argv[i];
    } else {
      std::fprintf(stderr, "qvx ls: unexpected argument %s (see qvx ls --help)\n", argv[i]);
      return kExitUsage;
    }
  }
  if (path.empty()) {
    std::fputs(kLsHelp, stderr);
    return kExitUsage;
  }
  const auto terminal = TerminalForPrompts();
  InprocServerLoader loader;
  int result = kExitOk;
  {
    ComPtr<ContainerBrowser> browser;
    browser.Attach(new ContainerBrowser(loader));
    std::string error;
    if (!browser->Open(path, &error)) {
      result = OpenFailure("ls", *browser.Get(), error);
    } else {
      const auto rows = browser->Rows();
      if (tsv)
        PrintTsv(rows, false);
      else
        PrintTable(rows, false, -1);
    }
    browser->Close();
  }
  SetUiBackend(nullptr);
  return result;
}

namespace {

// One session command on the open browser; false (after a message) when it failed.
bool RunOne(ContainerBrowser& browser, const SessionCommand& command, bool* quit) {
  std::string error;
  auto needView = [&] {
    if (browser.IsOpen()) return true;
    std::fprintf(stderr, "qvx session: nothing is open: start with cd PATH\n");
    return false;
  };
  switch (command.kind) {
    case SessionCommand::Kind::Quit:
      *quit = true;
      return true;
    case SessionCommand::Kind::Cd: {
      bool done = false;
      if (command.argument == "..") {
        done = needView() && browser.Up(&error);
      } else if (command.argument.find('/') != std::string::npos || !browser.IsOpen()) {
        done = browser.Open(command.argument, &error);
      } else {
        const int row = browser.RowNamed(command.argument);
        if (row < 0) error = "no item named \"" + command.argument + "\" here (ls shows them)";
        done = row >= 0 && browser.Enter(row, &error);
      }
      if (!done && !error.empty()) std::fprintf(stderr, "qvx session: cd: %s\n", error.c_str());
      if (done) std::printf("# %s\n", browser.Location().c_str());
      return done;
    }
    case SessionCommand::Kind::Ls:
      if (!needView()) return false;
      PrintTsv(browser.Rows(), true);
      return true;
    case SessionCommand::Kind::Select: {
      if (!needView()) return false;
      int row = -1;
      if (command.argument != "none") {
        const bool number =
            std::all_of(command.argument.begin(), command.argument.end(), ::isdigit);
        row = number ? std::atoi(command.argument.c_str()) - 1 : browser.RowNamed(command.argument);
        if (row < 0 || row >= static_cast<int>(browser.Rows().size())) {
          std::fprintf(stderr, "qvx session: select: no row %s\n", command.argument.c_str());
          return false;
        }
      }
      return browser.Select(row);
    }
    case SessionCommand::Kind::Key: {
      if (!needView()) return false;
      unsigned short key = 0;
      unsigned char modifiers = 0;
      (void)ParseKeyName(command.argument, &key, &modifiers);
      std::printf("%s\n", browser.Key(key, modifiers) ? "taken" : "not a key of the view");
      return true;
    }
    case SessionCommand::Kind::Menu:
      if (!needView()) return false;
      return browser.Command(static_cast<WORD>(command.number));
    case SessionCommand::Kind::Refresh:
      if (!needView()) return false;
      browser.Refresh();
      return true;
  }
  return false;
}

// The session's lines for the view's item commands: "rename NAME NEWNAME", "paste DEST" and
// "decrypt-to FOLDER". False for any other line; true when the line was one of them, with
// `error` set when it failed.
bool RunItemCommandLine(ContainerBrowser& browser, const std::string& line, std::string* error) {
  error->clear();
  const auto argumentOf = [&](const std::string& word) -> std::optional<std::string> {
    if (line.rfind(word + " ", 0) != 0) return std::nullopt;
    const size_t start = line.find_first_not_of(' ', word.size());
    return start == std::string::npos ? std::string() : line.substr(start);
  };
  if (const auto rename = argumentOf("rename")) {
    const size_t space = rename->find(' ');
    const std::string name = rename->substr(0, space);
    const std::string newName = space == std::string::npos ? "" : rename->substr(space + 1);
    const int row = browser.RowNamed(name);
    if (!browser.IsOpen() || row < 0 || newName.empty())
      *error = "rename: give the name of a row here and the new name (ls shows the rows)";
    else if (!browser.RenameRow(row, newName))
      *error = "rename: " + name + " was not renamed (an invalid name, or another item has it)";
    return true;
  }
  if (const auto folder = argumentOf("decrypt-to")) {
    if (!browser.IsOpen() || folder->empty()) {
      *error = "decrypt-to: open a folder and select files first, then name the target folder";
      return true;
    }
    CommandLineUser user(*folder, false);
    (void)browser.Command(kViewDecryptTo);
    return true;
  }
  if (const auto dest = argumentOf("paste")) {
    ComPtr<IDataObject> data;
    if (dest->empty() || FAILED(OleGetClipboard(data.ReleaseAndGetAddressOf())))
      *error = "paste: name the destination folder, after key Ctrl+C or key Ctrl+X";
    else if (PasteInto(data.Get(), *dest, "session") != kExitOk)
      *error = "paste: not everything arrived in " + *dest + " (see the messages above)";
    if (browser.IsOpen()) browser.Refresh();
    return true;
  }
  return false;
}

}  // namespace

int RunSessionCommand(int argc, char** argv) {
  if (argc > 2 && IsHelpOption(argv[2])) {
    std::fputs(kSessionHelp, stdout);
    return kExitOk;
  }
  if (argc > 3) {
    std::fputs(kSessionHelp, stderr);
    return kExitUsage;
  }
  std::ifstream file;
  if (argc == 3 && std::strcmp(argv[2], "-") != 0) {
    file.open(argv[2]);
    if (!file) {
      std::fprintf(stderr, "qvx session: cannot read %s\n", argv[2]);
      return kExitUsage;
    }
  }
  std::istream& in = file.is_open() ? file : std::cin;
  InprocServerLoader loader;
  int result = kExitOk;
  {
    ComPtr<ContainerBrowser> browser;
    browser.Attach(new ContainerBrowser(loader));
    std::string line;
    int number = 0;
    bool quit = false;
    while (!quit && std::getline(in, line)) {
      ++number;
      SessionCommand command;
      std::string error;
      if (line.rfind("toolbar", 0) == 0 && line.find_first_not_of(" \t", 7) == std::string::npos) {
        std::printf("%s\n", browser->Toolbar().c_str());
        continue;
      }
      if (RunItemCommandLine(*browser.Get(), line, &error)) {
        if (!error.empty()) {
          std::fprintf(stderr, "qvx session: line %d: %s\n", number, error.c_str());
          result = kExitFailed;
        }
        std::fflush(stdout);
        continue;
      }
      if (!ParseSessionCommand(line, &command, &error)) {
        if (!error.empty()) {
          std::fprintf(stderr, "qvx session: line %d: %s\n", number, error.c_str());
          result = kExitFailed;
        }
        continue;
      }
      if (!RunOne(*browser.Get(), command, &quit)) result = kExitFailed;
      std::fflush(stdout);
    }
    browser->Close();
  }
  return result;
}

namespace {

// The terminal in raw mode for single keys, restored when it goes.
class RawTerminal {
 public:
  RawTerminal() { Enter(); }
  void Enter() {
    if (active_ || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawTerminal() { Restore(); }
  void Restore() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    active_ = false;
  }
  bool Active() const { return active_; }

 private:
  termios saved_{};
  bool active_ = false;
};

enum class Input {
  Up,
  Down,
  Enter,
  Back,
  Space,
  SelectAll,
  Refresh,
  Menu,
  Quit,
  Digit,
  Delete,
  Rename,
  DecryptTo,
  Copy,
  Cut,
  Paste,
  Other
};

Input ReadInput(char* digit) {
  char c = 0;
  if (read(STDIN_FILENO, &c, 1) != 1) return Input::Quit;
  switch (c) {
    case '\n':
    case '\r':
      return Input::Enter;
    case 127:
    case 8:
      return Input::Back;
    case ' ':
      return Input::Space;
    case 'a':
      return Input::SelectAll;
    case 'r':
      return Input::Refresh;
    case 'm':
      return Input::Menu;
    case 'n':
      return Input::Rename;
    case 'd':
      return Input::DecryptTo;
    case 'c':
      return Input::Copy;
    case 'x':
      return Input::Cut;
    case 'v':
      return Input::Paste;
    case 'q':
      return Input::Quit;
    case 27: {
      // An escape sequence (arrow keys, F5) or Esc alone.
      char sequence[4] = {};
      termios now{};
      tcgetattr(STDIN_FILENO, &now);
      termios timed = now;
      timed.c_cc[VMIN] = 0;
      timed.c_cc[VTIME] = 1;
      tcsetattr(STDIN_FILENO, TCSANOW, &timed);
      // Read one byte at a time: keys typed ahead stay for the next read.
      ssize_t n = read(STDIN_FILENO, &sequence[0], 1);
      if (n == 1 && (sequence[0] == '[' || sequence[0] == 'O'))
        n += read(STDIN_FILENO, &sequence[1], 1);
      tcsetattr(STDIN_FILENO, TCSANOW, &now);
      if (n <= 0) return Input::Quit;
      // Cursor keys come as ESC [ A or, in application mode, ESC O A; F5 as ESC [ 1 5 ~.
      // Delete as ESC [ 3 ~, F2 as ESC O Q or ESC [ 1 2 ~.
      if (n == 2 && sequence[1] == 'A') return Input::Up;
      if (n == 2 && sequence[1] == 'B') return Input::Down;
      if (n == 2 && sequence[0] == 'O' && sequence[1] == 'Q') return Input::Rename;
      if (n == 2 && sequence[1] == '3') {
        char tilde = 0;
        if (read(STDIN_FILENO, &tilde, 1) == 1 && tilde == '~') return Input::Delete;
      }
      if (n == 2 && sequence[1] == '1') {
        char rest[2] = {};
        if (read(STDIN_FILENO, rest, 2) == 2 && rest[1] == '~') {
          if (rest[0] == '5') return Input::Refresh;
          if (rest[0] == '2') return Input::Rename;
        }
      }
      return Input::Other;
    }
    default:
      if (c >= '0' && c <= '9') {
        *digit = c;
        return Input::Digit;
      }
      return Input::Other;
  }
}

void Draw(ContainerBrowser& browser, int cursor, const std::string& typed,
          const std::string& message) {
  std::printf("\033[H\033[2J");
  std::printf("%s\n\n", browser.Location().c_str());
  const auto rows = browser.Rows();
  PrintTable(rows, true, cursor);
  if (rows.empty()) std::printf("  (an empty folder)\n");
  std::printf(
      "\n[Up/Down or number+Enter: move, Enter: open, Backspace: up, Space: select, a: all, "
      "r: refresh, m: command id, Delete, F2: rename, d: decrypt to, q: quit]\n");
  if (!typed.empty()) std::printf("row: %s\n", typed.c_str());
  if (!message.empty()) std::printf("%s\n", message.c_str());
  std::fflush(stdout);
}

}  // namespace

int RunBrowseCommand(int argc, char** argv) {
  if (argc > 2 && IsHelpOption(argv[2])) {
    std::fputs(kBrowseHelp, stdout);
    return kExitOk;
  }
  std::string uiError;
  const std::optional<UiKind> requested = TakeUiOption(&argc, argv, &uiError);
  if (!uiError.empty() || argc != 3) {
    if (!uiError.empty()) std::fprintf(stderr, "qvx browse: %s\n", uiError.c_str());
    std::fputs(kBrowseHelp, stderr);
    return kExitUsage;
  }
  std::string note;
  const UiKind kind = ChooseUiKind(requested, &note);
  if (!note.empty()) std::fprintf(stderr, "qvx browse: %s\n", note.c_str());
  if (kind == UiKind::None) {
    std::fputs("qvx browse: --ui none leaves nothing to browse with; use qvx ls or qvx session\n",
               stderr);
    return kExitUsage;
  }
  if (kind == UiKind::Desktop) {
    ProgramUi ui;
    if (!ui.Install("qvx browse", UiKind::Desktop)) return kExitFailed;
    if (ui.Kind() == UiKind::Desktop)
      return RunBrowseWindow(argv[2], *ui.Desktop(),
                             [](const ContainerBrowser& browser, const std::string& error) {
                               return OpenFailure("browse", browser, error);
                             });
    // The display could not be opened (ProgramUi said so): the terminal takes over.
  }
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
    std::fputs("qvx browse: needs a terminal; use qvx ls or qvx session in scripts\n", stderr);
    return kExitUsage;
  }
  const auto terminal = TerminalForPrompts();
  InprocServerLoader loader;
  int result = kExitOk;
  {
    ComPtr<ContainerBrowser> browser;
    browser.Attach(new ContainerBrowser(loader));
    std::string error;
    if (!browser->Open(argv[2], &error)) {
      result = OpenFailure("browse", *browser.Get(), error);
    } else {
      SetUiBackend(nullptr);  // the prompts are over; the screen is the browser's now
      RawTerminal raw;
      int cursor = 0;
      std::string typed;
      std::string message;
      for (;;) {
        const int count = static_cast<int>(browser->Rows().size());
        cursor = std::clamp(cursor, 0, std::max(count - 1, 0));
        Draw(*browser.Get(), cursor, typed, message);
        message.clear();
        char digit = 0;
        const Input input = ReadInput(&digit);
        if (input == Input::Quit) break;
        switch (input) {
          case Input::Up:
            cursor = std::max(cursor - 1, 0);
            break;
          case Input::Down:
            cursor = std::min(cursor + 1, std::max(count - 1, 0));
            break;
          case Input::Digit:
            typed += digit;
            break;
          case Input::Enter: {
            int row = cursor;
            if (!typed.empty()) {
              row = std::atoi(typed.c_str()) - 1;
              typed.clear();
              if (row < 0 || row >= count) {
                message = "no row " + std::to_string(row + 1);
                break;
              }
              cursor = row;
              break;
            }
            if (count > 0 && !browser->Enter(row, &error))
              message = error;
            else if (count > 0 && !browser->Rows().empty())
              cursor = 0;
            break;
          }
          case Input::Back:
            if (!typed.empty())
              typed.pop_back();
            else if (!browser->Up(&error))
              message = error;
            else
              cursor = 0;
            break;
          case Input::Space: {
            const auto rows = browser->Rows();
            if (cursor < count) {
              (void)browser->Select(rows[static_cast<size_t>(cursor)].selected ? -1 : cursor);
            }
            break;
          }
          case Input::SelectAll:
            (void)browser->Key('A', FCONTROL);
            break;
          case Input::Refresh:
            browser->Refresh();
            break;
          case Input::Delete:
          case Input::DecryptTo: {
            const auto rows = browser->Rows();
            if (count == 0) break;
            if (std::none_of(rows.begin(), rows.end(), [](const auto& r) { return r.selected; }))
              (void)browser->Select(cursor);
            // The view's question and its folder chooser are asked on the terminal.
            raw.Restore();
            auto asking = TerminalBackend::ForControllingTerminal();
            SetUiBackend(asking.get());
            if (input == Input::Delete)
              (void)browser->Key(VK_DELETE, 0);
            else
              (void)browser->Command(kViewDecryptTo);
            SetUiBackend(nullptr);
            raw.Enter();
            break;
          }
          case Input::Rename: {
            if (count == 0) break;
            raw.Restore();
            std::printf("new name for %s: ",
                        browser->Rows()[static_cast<size_t>(cursor)].texts[0].c_str());
            std::fflush(stdout);
            std::string line;
            std::getline(std::cin, line);
            auto asking = TerminalBackend::ForControllingTerminal();
            SetUiBackend(asking.get());
            if (!line.empty() && !browser->RenameRow(cursor, line)) message = "not renamed";
            SetUiBackend(nullptr);
            raw.Enter();
            break;
          }
          case Input::Copy:
          case Input::Cut: {
            if (count == 0) break;
            const auto rows = browser->Rows();
            if (std::none_of(rows.begin(), rows.end(), [](const auto& r) { return r.selected; }))
              (void)browser->Select(cursor);
            (void)browser->Key(input == Input::Copy ? 'C' : 'X', FCONTROL);
            message = input == Input::Copy ? "copied: v pastes" : "cut: v pastes";
            break;
          }
          case Input::Paste: {
            raw.Restore();
            std::printf("paste into folder: ");
            std::fflush(stdout);
            std::string line;
            std::getline(std::cin, line);
            ComPtr<IDataObject> data;
            if (!line.empty() && SUCCEEDED(OleGetClipboard(data.ReleaseAndGetAddressOf()))) {
              auto asking = TerminalBackend::ForControllingTerminal();
              SetUiBackend(asking.get());
              message = PasteInto(data.Get(), line, "browse") == kExitOk
                            ? "paste complete"
                            : "paste incomplete: not everything arrived";
              SetUiBackend(nullptr);
              browser->Refresh();
            }
            raw.Enter();
            break;
          }
          case Input::Menu: {
            raw.Restore();
            std::printf("command id: ");
            std::fflush(stdout);
            std::string line;
            std::getline(std::cin, line);
            raw.Enter();
            const unsigned long id = std::strtoul(line.c_str(), nullptr, 10);
            if (id == 0 || id > 0xFFFF)
              message = "not a command id: " + line;
            else
              (void)browser->Command(static_cast<WORD>(id));
            break;
          }
          default:
            break;
        }
      }
      raw.Restore();
      std::printf("\n");
    }
    browser->Close();
  }
  SetUiBackend(nullptr);
  return result;
}
