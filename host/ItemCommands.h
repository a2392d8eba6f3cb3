// qvx rm, qvx rename, qvx decrypt-to and qvx open for items inside a container: each opens
// the folder that holds the items the way the file manager does (ContainerBrowser), selects
// them in the view and runs the view's own command on them (its Delete key, a label edit, the
// context menu's Decrypt To, its Enter key), then reads back what the view and the folder
// show to report what was done.
#pragma once

#include <string>
#include <vector>

class ContainerBrowser;

// The commands, argv as qvx got it (argv[1] is the command); each returns qvx's exit code.
int RunRmCommand(int argc, char** argv);
int RunRenameCommand(int argc, char** argv);
int RunDecryptToCommand(int argc, char** argv);
// qvx open PATH for a PATH that runs through a container.
int RunOpenItemCommand(int argc, char** argv);
// True when `path` names an item inside a registered container (qvx open hands such paths to
// RunOpenItemCommand).
bool IsPathInContainer(const std::string& path);

// The items of one folder inside a container: the folder's path and the items' names.
struct ItemSelection {
  std::string folder;
  std::vector<std::string> names;
};
// Splits `paths` into their one folder and names; false with `error` when they are not all in
// one folder or one names no item.
bool SplitSelection(const std::vector<std::string>& paths, ItemSelection* selection,
                    std::string* error);
// Opens the selection's folder in `browser` and selects its items; the rows selected, or an
// exit code (after a message naming `command`) in *failure.
bool OpenAndSelect(const char* command, ContainerBrowser& browser, const ItemSelection& selection,
                   std::vector<int>* rows, int* failure);
