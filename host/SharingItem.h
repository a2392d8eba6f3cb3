// The Sharing item of an encrypted file's or container's context menu, run the way the file
// manager runs it: the registered handlers of the item are loaded, the first one whose menu
// offers Sharing has it invoked by its command offset (which the handler's menu fixes whatever
// the language of its texts). The dialog appears through whichever back end is installed, so
// qvx share and the desktop tests run the same steps.
#pragma once

#include <string>

// Runs the Sharing item for the absolute `path`; qvx's exit code (see qvx share --help), after
// a message on standard error when nothing could be run.
int RunSharingItem(const std::string& path);
