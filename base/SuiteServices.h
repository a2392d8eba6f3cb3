// Start and stop of the suite services (storage driver, authentication driver, user-data
// object, system image lists). Every COM object starts them when it is constructed and
// every exported call starts them on entry and stops them on exit; DllCanUnloadNow stops
// them when no object is alive. Start is idempotent while the storage driver runs.
#pragma once

#include "platform/WinTypes.h"
#include "suite/QvUserApi.h"

// Returns 1 when the services run, 0 when they could not be started (a missing suite
// library is reported in a message box; a driver that fails to start is not).
[[nodiscard]] int StartSuiteServices();
// Stops whatever runs; always under the service lock.
void StopSuiteServices();
// Attaches the small and large system image lists when they are not attached yet.
void AttachSystemImageLists();
void DetachSystemImageLists();

// The suite functions the services call. Tests replace entries to inject failures; the
// defaults are the suite libraries' own functions.
struct SuiteDriverFunctions {
  DWORD (*initStorageDriver)(HMODULE);
  void (*closeStorageDriver)();
  DWORD (*initAuthDriver)(HMODULE);
  void (*closeAuthDriver)();
  DWORD (*getUserDataPtr)(CUserData**);
  void (*setMachineInfo)(MachineInfo);
};
SuiteDriverFunctions& SuiteDrivers() noexcept;

// File names of the suite libraries as the module looks them up.
inline constexpr const char* kStorageDriverModule = "qvvault.dll";
inline constexpr const char* kAuthDriverModule = "qvverify.dll";

// ---- Whether the suite runs ----

// The mutex the suite's client holds while the suite runs, per edition.
inline constexpr const char* kSuiteRunningMutex = "QuorvinMutex";
inline constexpr const char* kSentivoSuiteRunningMutex =
    "Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386";

// The suite-running mutex of `edition`.
[[nodiscard]] const char* SuiteRunningMutexName(DWORD edition) noexcept;

// True while the suite's client holds the suite-running mutex of `edition`; false when it does
// not, and when the mutex cannot be created at all.
[[nodiscard]] bool IsSuiteRunning(DWORD edition) noexcept;
// The same for the edition of the user-data object (the standard edition while the suite
// services are not started).
[[nodiscard]] bool IsSuiteRunning() noexcept;
