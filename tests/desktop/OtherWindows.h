// What the desktop tests use to reach windows of other processes: shell lines for xdotool,
// and a picture of a window as the screen shows it (the back end can picture only its own).
#pragma once

#include <string>

namespace qvtest {

// `text` quoted for the shell.
std::string ShellQuoted(const std::string& text);
// The standard output of the shell line `command`.
std::string ShellOutput(const std::string& command);

// Writes what the screen of DISPLAY shows inside X window `windowId` (as xdotool prints it)
// to `pngPath`; false with the reason in `*why`.
bool SaveXWindowPicture(unsigned long windowId, const std::string& pngPath, std::string* why);

}  // namespace qvtest
