// qvx rm, rename, decrypt-to and open for items inside a container (see ItemCommands.h).
#include "host/ItemCommands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "host/BrowseCommand.h"
#include "host/BrowsePaths.h"
#include "host/CommandArgs.h"
#include "host/CommandLineUser.h"
#include "host/ContainerBrowser.h"
#include "host/ExitCodes.h"
#include "platform/MessageBox.h"
#include "platform/shell/BrowseForFolder.h"
#include "platform/ui/Accelerators.h"
#include "platform/ui/TerminalBackend.h"
#include "platform/ui/WindowApi.h"

namespace {

// The view's command ids, as its keys and context menu send them.
constexpr WORD kViewDecryptTo = 32774;
constexpr WORD kViewDelete = 32775;

constexpr const char* kRmHelp =
    "usage: qvx rm [--yes] PATH...\n"
    "\n"
    "Deletes files and folders inside a container, as the Delete key in its view does: PATH\n"
    "runs through the container (Box.qvef/Docs/a.txt); every PATH must be in one folder (they\n"
    "are selected together). A folder goes with everything in it. The view asks before it\n"
    "deletes (unless that question is switched off): on a terminal you answer, elsewhere --yes\n"
    "answers Yes. The password comes from QV_PASSWORD_FILE when that is set, else it is asked.\n"
    "\n"
    "exit codes: 0 every PATH was deleted, 1 some were not (the message names them),\n"
    "            2 wrong usage, 4 PATH does not run through a registered container\n";

constexpr const char* kRenameHelp =
    "usage: qvx rename PATH NEWNAME\n"
    "\n"
    "Renames a file or folder inside a container, as editing its label in the view does. With\n"
    "the extensions of known types hidden, the view shows notes.txt as notes and keeps .txt\n"
    "when you rename it to memo. NEWNAME must be one name (none of \\ / : * ? \" < > |, no\n"
    "\".qvf\" or \".qvef\") that no other item of that folder has; nothing is ever replaced.\n"
    "\n"
    "exit codes: 0 renamed, 1 not renamed (the message says why), 2 wrong usage,\n"
    "            4 PATH does not run through a registered container\n";

constexpr const char* kDecryptToHelp =
    "usage: qvx decrypt-to SRC... FOLDER\n"
    "\n"
    "Decrypts files inside a container into FOLDER, as the view's Decrypt To does: SRC runs\n"
    "through the container and every SRC must be in one folder; folders among them are\n"
    "skipped. A file whose encrypted copy (NAME.qvf) is in FOLDER already is skipped with a\n"
    "message; a plain file of the same name is replaced only when you agree on a terminal.\n"
    "\n"
    "exit codes: 0 every file was decrypted, 1 some were not (the message names them),\n"
    "            2 wrong usage or FOLDER is no folder,\n"
    "            4 SRC does not run through a registered container\n";

constexpr const char* kOpenItemHelp =
    "usage: qvx open PATH\n"
    "\n"
    "For PATH inside a container (Box.qvef/Docs/a.txt): decrypts the file into a private\n"
    "folder and opens it with the desktop's opener, as Enter in the view does. The decrypted\n"
    "copy stays until qvx ends: press Enter (or close standard input) when you are done with\n"
    "it; the suite's decrypted-file monitor, where it runs, keeps it while the application\n"
    "uses it and stores the edits you save back into the container.\n"
    "\n"
    "exit codes: 0 opened, 1 the file could not be decrypted or opened, 2 wrong usage,\n"
    "            4 PATH does not run through a registered container\n";

bool IsFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Runs `work` on the browser with the selection open; the command's exit code.
template <class Work>
int WithSelection(const char* command, const ItemSelection& selection, const std::string& folder,
                  bool yes, Work work) {
  const auto terminal = TerminalForPrompts();
  InprocServerLoader loader;
  int result = kExitOk;
  {
    CommandLineUser user(folder, yes);
    ComPtr<ContainerBrowser> browser;
    browser.Attach(new ContainerBrowser(loader));
    std::vector<int> rows;
    if (OpenAndSelect(command, *browser.Get(), selection, &rows, &result))
      result = work(*browser.Get(), rows, user);
    browser->Close();
  }
  SetUiBackend(nullptr);
  return result;
}

// Arguments that are not options; false (after a message) for an unknown option.
bool Operands(int argc, char** argv, const char* command, const char* help,
              std::vector<std::string>* operands, bool* yes, int* exitCode) {
  bool onlyOperands = false;
  for (int i = 2; i < argc; ++i) {
    if (!onlyOperands && IsHelpOption(argv[i])) {
      std::fputs(help, stdout);
      *exitCode = kExitOk;
      return false;
    }
    if (!onlyOperands && std::strcmp(argv[i], "--") == 0) {
      onlyOperands = true;
    } else if (!onlyOperands && yes != nullptr &&
               (std::strcmp(argv[i], "--yes") == 0 || std::strcmp(argv[i], "-y") == 0)) {
      *yes = true;
    } else if (!onlyOperands && argv[i][0] == '-' && argv[i][1] != '\0') {
      std::fprintf(stderr, "qvx %s: unknown option %s (see qvx %s --help)\n", command, argv[i],
                   command);
      *exitCode = kExitUsage;
      return false;
    } else {
      operands->push_back(argv[i]);
    }
  }
  return true;
}

}  // namespace

bool SplitSelection(const std::vector<std::string>& paths, ItemSelection* selection,
                    std::string* error) {
  for (std::string path : paths) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
      *error = path + " names no item inside a container";
      return false;
    }
    if (selection->names.empty()) {
      selection->folder = folder.empty() ? "/" : folder;
    } else if (selection->folder != (folder.empty() ? "/" : folder)) {
      *error =
          "the items must be in one folder of the container (they are selected together): " + path +
          " is not in " + selection->folder;
      return false;
    }
    selection->names.push_back(name);
  }
  return !selection->names.empty();
}

bool OpenAndSelect(const char* command, ContainerBrowser& browser, const ItemSelection& selection,
                   std::vector<int>* rows, int* failure) {
  std::string error;
  if (!browser.Open(selection.folder, &error)) {
    *failure = OpenFailure(command, browser, error);
    return false;
  }
  if (browser.Rows().empty()) {
    std::fprintf(stderr,
                 "qvx %s: nothing is listed in %s: the user was not verified (check the password)"
                 " or the folder is empty\n",
                 command, browser.Location().c_str());
    *failure = kExitFailed;
    return false;
  }
  for (const std::string& name : selection.names) {
    const int row = browser.RowNamed(name);
    if (row < 0) {
      std::fprintf(stderr, "qvx %s: there is no item \"%s\" in %s (qvx ls shows them)\n", command,
                   name.c_str(), browser.Location().c_str());
      *failure = kExitFailed;
      return false;
    }
    rows->push_back(row);
  }
  (void)browser.Select(-1);
  for (const int row : *rows) (void)browser.SelectAlso(row);
  return true;
}

// ---- The commands ----

int RunRmCommand(int argc, char** argv) {
  std::vector<std::string> operands;
  bool yes = false;
  int exitCode = kExitUsage;
  if (!Operands(argc, argv, "rm", kRmHelp, &operands, &yes, &exitCode)) return exitCode;
  ItemSelection selection;
  std::string error;
  if (operands.empty() || !SplitSelection(operands, &selection, &error)) {
    std::fprintf(stderr, "qvx rm: %s\n",
                 error.empty() ? "name what to delete (see qvx rm --help)" : error.c_str());
    return kExitUsage;
  }
  return WithSelection(
      "rm", selection, "", yes,
      [&](ContainerBrowser& browser, const std::vector<int>&, CommandLineUser&) {
        (void)browser.Command(kViewDelete);
        browser.Refresh();
        int result = kExitOk;
        for (const std::string& name : selection.names) {
          if (browser.RowNamed(name) < 0) {
            std::printf("deleted %s/%s\n", browser.Location().c_str(), name.c_str());
            continue;
          }
          // Without a terminal nobody can confirm: say how to.
          std::fprintf(
              stderr,
              "qvx rm: %s was not deleted (not confirmed%s, or the "
              "container could not be changed: try again)\n",
              name.c_str(),
              yes || isatty(STDIN_FILENO) != 0 ? "" : "; without a terminal, --yes confirms");
          result = kExitFailed;
        }
        return result;
      });
}

int RunRenameCommand(int argc, char** argv) {
  std::vector<std::string> operands;
  int exitCode = kExitUsage;
  if (!Operands(argc, argv, "rename", kRenameHelp, &operands, nullptr, &exitCode)) return exitCode;
  ItemSelection selection;
  std::string error;
  if (operands.size() != 2 || !SplitSelection({operands[0]}, &selection, &error)) {
    std::fprintf(stderr, "qvx rename: %s\n",
                 error.empty() ? "give PATH and NEWNAME (see qvx rename --help)" : error.c_str());
    return kExitUsage;
  }
  const std::string newName = operands[1];
  return WithSelection(
      "rename", selection, "", false,
      [&](ContainerBrowser& browser, const std::vector<int>& rows, CommandLineUser&) {
        if (!browser.RenameRow(rows.front(), newName)) {
          std::fprintf(stderr,
                       "qvx rename: %s was not renamed: \"%s\" is not a valid name, or another "
                       "item of %s has it\n",
                       selection.names.front().c_str(), newName.c_str(),
                       browser.Location().c_str());
          return kExitFailed;
        }
        std::printf("renamed %s/%s\n", browser.Location().c_str(), selection.names.front().c_str());
        return kExitOk;
      });
}

int RunDecryptToCommand(int argc, char** argv) {
  std::vector<std::string> operands;
  int exitCode = kExitUsage;
  if (!Operands(argc, argv, "decrypt-to", kDecryptToHelp, &operands, nullptr, &exitCode))
    return exitCode;
  if (operands.size() < 2) {
    std::fputs(kDecryptToHelp, stderr);
    return kExitUsage;
  }
  std::string folder = operands.back();
  operands.pop_back();
  if (!IsFolder(folder)) {
    std::fprintf(stderr, "qvx decrypt-to: %s is no folder: create it first\n", folder.c_str());
    return kExitUsage;
  }
  char absolute[4096];
  if (realpath(folder.c_str(), absolute) != nullptr) folder = absolute;
  ItemSelection selection;
  std::string error;
  if (!SplitSelection(operands, &selection, &error)) {
    std::fprintf(stderr, "qvx decrypt-to: %s\n", error.c_str());
    return kExitUsage;
  }
  std::vector<bool> existedBefore;
  for (const std::string& name : selection.names)
    existedBefore.push_back(Exists(folder + "/" + name));
  return WithSelection(
      "decrypt-to", selection, folder, false,
      [&](ContainerBrowser& browser, const std::vector<int>& rows, CommandLineUser&) {
        (void)browser.Command(kViewDecryptTo);
        int result = kExitOk;
        const auto listed = browser.Rows();
        for (size_t i = 0; i < selection.names.size(); ++i) {
          const std::string& name = selection.names[i];
          if (listed[static_cast<size_t>(rows[i])].folder) {
            std::fprintf(stderr, "qvx decrypt-to: %s is a folder: skipped\n", name.c_str());
            result = kExitFailed;
          } else if (existedBefore[i]) {
            std::fprintf(stderr,
                         "qvx decrypt-to: %s was in %s already: kept unless you agreed to replace "
                         "it\n",
                         name.c_str(), folder.c_str());
            result = kExitFailed;
          } else if (!Exists(folder + "/" + name)) {
            std::fprintf(stderr,
                         "qvx decrypt-to: %s was not decrypted (the messages above say why)\n",
                         name.c_str());
            result = kExitFailed;
          } else {
            std::printf("decrypted %s/%s\n", folder.c_str(), name.c_str());
          }
        }
        return result;
      });
}

bool IsPathInContainer(const std::string& path) {
  ContainerPlace place;
  struct stat st {};
  return SplitContainerPath(
             path,
             [](const std::string& prefix) {
               struct stat file {};
               return prefix.size() > 5 && prefix.ends_with(".qvef") &&
                      stat(prefix.c_str(), &file) == 0 && S_ISREG(file.st_mode);
             },
             &place) &&
         !place.inner.empty() && stat(path.c_str(), &st) != 0;
}

int RunOpenItemCommand(int argc, char** argv) {
  std::vector<std::string> operands;
  int exitCode = kExitUsage;
  if (!Operands(argc, argv, "open", kOpenItemHelp, &operands, nullptr, &exitCode)) return exitCode;
  ItemSelection selection;
  std::string error;
  if (operands.size() != 1 || !SplitSelection(operands, &selection, &error)) {
    std::fputs(kOpenItemHelp, stderr);
    return kExitUsage;
  }
  return WithSelection(
      "open", selection, "", false,
      [&](ContainerBrowser& browser, const std::vector<int>& rows, CommandLineUser& user) {
        if (browser.Rows()[static_cast<size_t>(rows.front())].folder) {
          std::fprintf(stderr, "qvx open: %s is a folder: qvx ls or qvx browse shows it\n",
                       selection.names.front().c_str());
          return kExitUsage;
        }
        (void)browser.Key(VK_RETURN, 0);
        if (user.ErrorBoxes() > 0) return kExitFailed;
        std::printf("opened %s/%s\n", browser.Location().c_str(), selection.names.front().c_str());
        std::fflush(stdout);
        if (isatty(STDIN_FILENO))
          std::fprintf(stderr, "qvx open: press Enter when you are done with the file\n");
        // The decrypted copy goes with the view's folder, when qvx lets go of it.
        std::string line;
        (void)std::getline(std::cin, line);
        return kExitOk;
      });
}
