// A whole container's restore shown in a dialog's bar and "files remaining" label.
#include "dialogs/FilesRemainingProgress.h"

#include <cstdio>

#include "base/StringTable.h"
#include "platform/ui/Controls.h"
#include "platform/ui/WindowApi.h"

namespace {

// "%d Files Remaining"
constexpr UINT IDS_FILES_REMAINING = 151;

}  // namespace

FilesRemainingProgress::FilesRemainingProgress(HWND bar, HWND label)
    : bar_(bar),
      label_(label),
      format_(label != nullptr ? LoadStringText(IDS_FILES_REMAINING) : std::string()) {}

FilesRemainingProgress::~FilesRemainingProgress() {
  if (label_ != nullptr) SetWindowTextA(label_, "");
}

bool FilesRemainingProgress::operator()(std::size_t done, std::size_t total) {
  // The label counts down before a file is written, the bar steps after it.
  if (bar_ != nullptr) {
    CProgressCtrl bar(bar_);
    if (done == 0) {
      bar.SetRange32(0, total == 0 ? 0 : static_cast<int>(total - 1));
      (void)bar.SetPos(0);
    } else {
      (void)bar.StepIt();
    }
  }
  if (label_ != nullptr && done < total) {
    char text[kStringBufferSize];
    std::snprintf(text, sizeof text, format_.c_str(), static_cast<int>(total - done));
    SetWindowTextA(label_, text);
  }
  return true;
}
