// The view's one use of the suite's decrypted-file monitor: after the view decrypted a file
// of a container into a private folder and before it launches it, the monitor is told about
// the plain copy, so that edits the user saves in it go back into the container and the copy
// is removed when the application lets go of it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/WinTypes.h"

struct DecryptedFileToMonitor {
  std::string containerPath;
  HWND window = nullptr;  // the view's dialog
  std::string decryptedPath;
  std::uint64_t lastWriteTime = 0;  // of the plain copy, as a FILETIME value
  std::uint32_t folderId = 0;
  std::uint32_t fileId = 0;
  std::string userId;  // the verified user of the container
};

// Creates the monitor class registered in the registry, calls it once and releases it. Returns
// the monitor's result, or why it could not be created; the caller still launches the file.
// On S_OK the monitor looks after the copy and its private folder from then on (it removes
// both when the program lets go), so the caller lets go of that folder instead of removing it.
[[nodiscard]] HRESULT MonitorDecryptedFile(const DecryptedFileToMonitor& file);
