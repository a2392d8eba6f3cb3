// A picture of a window of another process (found by its X window id), as the screen shows
// it: the back end can picture only its own windows.
#pragma once

#include <string>

namespace qvtest {

// Writes what the screen of DISPLAY shows inside X window `windowId` (as xdotool prints it)
// to `pngPath`; false with the reason in `*why`.
bool SaveXWindowPicture(unsigned long windowId, const std::string& pngPath, std::string* why);

}  // namespace qvtest
