// Registering the monitor's class: the suite installs libqvmonitorsvc.so beside its programs
// and registers it in the registry (its DllRegisterServer), so that a container's view finds
// the class by its CLSID. Enrollment does it, and `qvmonitor --register` does it again.
#pragma once

#include <string>

namespace qvmonitor {

// The monitor's library beside this program.
inline constexpr char kLibraryName[] = "libqvmonitorsvc.so";

// Loads the library beside the calling program and calls its DllRegisterServer (or
// DllUnregisterServer). False with `error` saying why and what to do.
[[nodiscard]] bool RegisterMonitorClass(bool doRegister, std::string* error);

}  // namespace qvmonitor
