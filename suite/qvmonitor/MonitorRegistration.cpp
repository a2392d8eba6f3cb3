// Registering the monitor's class (see MonitorRegistration.h).
#include "suite/qvmonitor/MonitorRegistration.h"

#include <dlfcn.h>

#include <cstdio>

#include "platform/Com.h"
#include "platform/Kernel.h"
#include "platform/ole/ComCreate.h"

namespace qvmonitor {
namespace {

std::string ProgramFolder() {
  char path[4096] = {};
  const DWORD length = GetModuleFileNameA(
      GetModuleHandleFromAddress(reinterpret_cast<const void*>(&ProgramFolder)), path, sizeof path);
  if (length == 0 || length >= sizeof path) return {};
  const std::string module(path, length);
  return module.substr(0, module.rfind('/'));
}

}  // namespace

bool RegisterMonitorClass(bool doRegister, std::string* error) {
  const std::string folder = ProgramFolder();
  if (folder.empty()) {
    *error = "cannot tell which folder this program runs from";
    return false;
  }
  const std::string library = folder + "/" + kLibraryName;
  // The registry will name it, and only a library others cannot change is ever loaded from it.
  if (!QvIsAcceptableServerFile(library, error)) return false;
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    *error = "cannot load " + library + ": " + (why != nullptr ? why : "unknown error") +
             "; build the target qvmonitorsvc";
    return false;
  }
  const char* name = doRegister ? "DllRegisterServer" : "DllUnregisterServer";
  const auto entry = reinterpret_cast<HRESULT (*)()>(dlsym(handle, name));
  const HRESULT hr = entry != nullptr ? entry() : E_FAIL;
  dlclose(handle);
  if (entry == nullptr) {
    *error = library + " exports no " + name + "; rebuild it";
    return false;
  }
  if (FAILED(hr)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    *error = std::string(name) + " of " + library + " failed (" + code +
             "): check that the machine root's registry file is writable";
    return false;
  }
  return true;
}

}  // namespace qvmonitor
