// qvx drop, and the way every qvx transfer puts plain files into a container: the file
// manager's drop onto a container file, or onto a folder inside a container.
//
// Onto the container file itself the drop goes to the target the container's folder hands out
// (CreateViewObject for IDropTarget), with no view open, so the library verifies the user
// first. Onto a folder inside the container the folder holding it is opened in a view, as the
// user would have browsed there, and the drop goes to that folder item's target
// (GetUIObjectOf). Either way the target gets a CF_HDROP data object of the files, DragEnter,
// DragOver and Drop with the keys held, and its progress dialog shows the progress.
#pragma once

#include <memory>
#include <string>
#include <vector>

// Runs "qvx drop [--shift|--ctrl|--right] FILE... CONTAINER[/inner/folder]" (argv[0] is
// "qvx", argv[1] "drop"); returns qvx's exit code.
int RunDropCommand(int argc, char** argv);

// Stores the plain files and folders `sources` into the folder inside a container that `dest`
// runs to ("/home/u/Box.qvef/Docs"), as a paste (`move` false: the sources stay) or a cut
// paste (`move` true: the sources go once they are stored). Messages name `command` ("copy",
// "move"). Returns qvx's exit code (see qvx drop --help).
int CopyIntoContainer(const std::vector<std::string>& sources, const std::string& dest, bool move,
                      const char* command = "copy");

class TerminalBackend;
// The dialogs of a drop: the user answers them on a terminal; without one they are answered so
// that nothing waits (the notices acknowledged, a progress dialog left open on failures closed
// after its rows were printed).
std::unique_ptr<TerminalBackend> DropUi();
