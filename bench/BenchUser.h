// The machine root and the enrolled user the benchmarks of the product's operations run as:
// a private root under `work` (QV_ROOT and TMPDIR point inside it, XDG_RUNTIME_DIR in memory
// beside it where the machine allows), a user store with one user and a default key, and the
// suite services started. Header-only, for the bench programs that drive the product; each
// reports a failure in its own way.
#pragma once

#include <sodium.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/DialogResources.h"
#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "platform/MachineRoot.h"
#include "platform/Ole.h"
#include "platform/ui/HeadlessBackend.h"
#include "suite/QvFsApi.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"

namespace bench {

// The user every benchmark enrolls in its private root, and that user's password.
inline constexpr const char* kUser = "bench";
inline constexpr const char* kPassword = "bench-password";

// The runtime folder of a bench working in `work`: in memory where the machine has a memory
// file system, as a desktop session's runtime folder is, else inside `work`.
[[nodiscard]] inline std::string BenchRuntimeFolder(const std::string& work) {
  namespace fs = std::filesystem;
  if (QvOnMemoryFileSystem("/dev/shm"))
    return "/dev/shm/" + fs::path(work).filename().string() + "-run";
  return work + "/run";
}

// Removes what a bench made: `work` and its runtime folder.
inline void RemoveBenchFolders(const std::string& work) {
  std::error_code error;
  std::filesystem::remove_all(BenchRuntimeFolder(work), error);
  std::filesystem::remove_all(work, error);
}

// Empty when everything is ready, else what failed.
[[nodiscard]] inline std::string EnrollBenchUser(const std::string& work, const char* userId,
                                                 const std::string& userName,
                                                 const char* password) {
  namespace fs = std::filesystem;
  const std::string values[3] = {work + "/root", BenchRuntimeFolder(work), work + "/tmp"};
  const char* names[3] = {"QV_ROOT", "XDG_RUNTIME_DIR", "TMPDIR"};
  for (int i = 0; i < 3; ++i) {
    fs::create_directories(values[i]);
    fs::permissions(values[i], fs::perms::owner_all, fs::perm_options::replace);
    setenv(names[i], values[i].c_str(), 1);
  }
  if (sodium_init() < 0) return "libsodium does not start";
  QvApp().InitInstance();
  // The store an enrollment makes; the suite's libraries only open one that is there.
  if (QvUserStore().Open() != QvStoreStatus::Ok) return "cannot make the user store";
  QvUserStore* store = QvSharedUserStore();
  if (store == nullptr) return "no user store in the machine root";
  QvKey key;
  key.name = userId;
  key.label = "DefaultKey";
  DWORD length = 0;
  BYTE* blob = nullptr;
  if (CreatePKISettings(userId, &length, &blob) == FALSE) return "cannot make a key";
  key.blob.assign(blob, blob + length);
  CoTaskMemFree(blob);
  if (store->Enroll({userId, userName, "Bench", QvAccountType::Computer}, password, &key) !=
      QvStoreStatus::Ok)
    return "cannot enroll the user";
  if (StartSuiteServices() != 1) return "the suite services do not start";
  return std::string();
}

// The result rows ("\n  item: message") of the last progress dialog `ui` closed: what failed
// in an operation that did not end with OK.
[[nodiscard]] inline std::string FailedRows(HeadlessBackend& ui) {
  std::string rows;
  HeadlessBackend::ClosedDialog closed;
  if (ui.LastClosed(IDD_PROGRESS, &closed))
    if (const ControlState* list = closed.state.Control(IDC_PROGRESS_LIST))
      for (const ListItemState& row : list->items)
        rows += "\n  " + (row.texts.empty() ? std::string() : row.texts[0]) + ": " +
                (row.texts.size() > 1 ? row.texts[1] : std::string());
  return rows;
}

}  // namespace bench
