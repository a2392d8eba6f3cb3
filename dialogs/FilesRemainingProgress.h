// The progress of restoring a whole container, shown in a dialog: its progress bar steps once
// per restored file (range 0 .. count - 1) and its label counts the files still to come as
// "%d Files Remaining" (string 151). The label is cleared when the object goes.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Window.h"

class FilesRemainingProgress {
 public:
  // Either window may be null: that part is then not shown.
  FilesRemainingProgress(HWND bar, HWND label);
  ~FilesRemainingProgress();
  FilesRemainingProgress(const FilesRemainingProgress&) = delete;
  FilesRemainingProgress& operator=(const FilesRemainingProgress&) = delete;

  // The extraction's progress call: done 0 before the first file (sets the range), then once
  // after each file. Never stops the extraction.
  bool operator()(std::size_t done, std::size_t total);

 private:
  HWND bar_;
  HWND label_;
  std::string format_;  // of the label, loaded once
};
