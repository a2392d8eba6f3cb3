// What the desktop tests share: the back end opened on the test's X server and installed for
// one test, the wait for a dialog to be shown, and the pictures of windows kept in the build
// folder (screenshots/desktop/).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "platform/ui/Backend.h"
#include "platform/ui/desktop/DesktopBackend.h"

// Opens the display and installs the back end for one test.
class DesktopSession {
 public:
  DesktopSession() {
    std::string why;
    desktop_ = DesktopBackend::Open(&why);
    EXPECT_NE(desktop_, nullptr) << why;
    if (desktop_ != nullptr) previous_ = SetUiBackend(desktop_.get());
  }
  ~DesktopSession() {
    if (desktop_ != nullptr) SetUiBackend(previous_);
  }
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;
  DesktopBackend& operator*() const { return *desktop_; }
  DesktopBackend* operator->() const { return desktop_.get(); }
  explicit operator bool() const { return desktop_ != nullptr; }

 private:
  std::unique_ptr<DesktopBackend> desktop_;
  UiBackend* previous_ = nullptr;
};

// The open, visible dialog of `templateId`, waited for; null when none appears in time.
inline HWND AwaitDialog(UINT templateId, int timeoutMs = 30000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    for (HWND dialog : OpenDialogs()) {
      DialogState state;
      if (SnapshotDialog(dialog, &state) && state.templateId == templateId && state.visible)
        return dialog;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return nullptr;
}

// Saves a picture of the window of `dialog` (null: the open message box) as `name`.png and
// checks it is a PNG of a real window: the signature and more than `minBytes`.
inline void Screenshot(DesktopBackend& desktop, HWND dialog, const std::string& name,
                       std::uintmax_t minBytes = 2000) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(QV_SCREENSHOT_DIR);
  fs::create_directories(folder);
  const std::string path = (folder / (name + ".png")).string();
  // A window just shown may not have drawn its first frame yet, nor a page its content: each
  // is given a few seconds.
  std::string why;
  bool saved = false;
  std::error_code error;
  for (int attempt = 0; attempt < 50; ++attempt) {
    saved = desktop.SaveScreenshot(dialog, path, &why);
    if (saved && fs::file_size(path, error) > minBytes) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(saved) << name << ": " << why;
  std::ifstream in(path, std::ios::binary);
  std::string head(8, '\0');
  in.read(head.data(), 8);
  EXPECT_EQ(head, std::string("\x89PNG\r\n\x1a\n", 8)) << path;
  EXPECT_GT(fs::file_size(path, error), minBytes) << path;
}
