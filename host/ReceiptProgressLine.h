// The progress of files received into a plain folder, drawn for a person at a terminal: one
// line on standard error, redrawn in place, "receiving [#####...............] 3/10 files,
// 12.0/40.0 MiB", the same line the progress of qvx's other long runs is drawn as. When
// standard error is no terminal nothing is written at all, so what a script reads stays the
// same.
#pragma once

#include <unistd.h>

#include <chrono>
#include <string>

#include "host/PlainFolderDrop.h"

class ReceiptProgressLine {
 public:
  // Draws on `fd` only when it is a terminal.
  explicit ReceiptProgressLine(int fd = STDERR_FILENO);
  // Draws on `fd` when `shown`, whatever it is (tests read it from a pipe).
  ReceiptProgressLine(int fd, bool shown) : fd_(fd), shown_(shown) {}
  ~ReceiptProgressLine() { End(); }
  ReceiptProgressLine(const ReceiptProgressLine&) = delete;
  ReceiptProgressLine& operator=(const ReceiptProgressLine&) = delete;

  // Draws `progress`: at most about 20 times a second, and always the last file's.
  void Show(const ReceiptProgress& progress);
  // Ends a drawn line, before a question or a message takes the terminal.
  void End();

  // The text after the bar: "3/10 files, 12.0/40.0 MiB" (the bytes only when sizes were
  // announced).
  static std::string Count(const ReceiptProgress& progress);

 private:
  int fd_;
  bool shown_;
  bool live_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};
