// The class-object, unload and version exports.
#include "core/Exports.h"

#include <cstdio>
#include <mutex>

#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "core/QvFolderExtModule.h"
#include "platform/Kernel.h"
#include "registration/Registration.h"

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  try {
    return QvModule().GetClassObject(rclsid, riid, ppv);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT DllCanUnloadNow() {
  try {
    CQvFolderExtModule& module = QvModule();
    if (module.GetLockCount() < 1) {
      std::lock_guard<std::recursive_mutex> lock(QvApp().ServiceLock);
      StopSuiteServices();
    }
    return module.GetLockCount() == 0 ? S_OK : S_FALSE;
  } catch (...) {
    return S_FALSE;
  }
}

HRESULT DllGetVersion(DLLVERSIONINFO* info) {
  if (info == nullptr) return E_POINTER;
  if (info->cbSize < sizeof(DLLVERSIONINFO)) return E_INVALIDARG;
  info->dwMajorVersion = QV_VERSION_MAJOR;
  info->dwMinorVersion = QV_VERSION_MINOR;
  info->dwBuildNumber = QV_VERSION_PATCH;
  info->dwPlatformID = DLLVER_PLATFORM_NT;
  return S_OK;
}

namespace {

// The request of both registration exports: this library's own real path, and the desktop
// half unless QV_REGISTER_NO_DESKTOP is set (the registration tests of the hive alone).
RegistrationRequest ThisLibrary() {
  RegistrationRequest request;
  char path[8000];
  const DWORD length = GetModuleFileNameA(
      GetModuleHandleFromAddress(reinterpret_cast<const void*>(&DllRegisterServer)), path,
      sizeof path);
  if (length > 0 && length < sizeof path) request.modulePath.assign(path, length);
  return request;
}

// The library has no window of its own here: what went wrong and what was left undone go to
// standard error, where the installer (qvx register) shows them.
HRESULT Report(const char* what, HRESULT hr, const RegistrationReport& report) {
  for (const std::string& warning : report.warnings)
    std::fprintf(stderr, "QvFolderExt: %s: warning: %s\n", what, warning.c_str());
  if (FAILED(hr))
    std::fprintf(stderr, "QvFolderExt: %s failed: %s\n", what,
                 report.failure.empty() ? "unknown reason" : report.failure.c_str());
  return hr;
}

// One direction of registration for this library, with its messages.
HRESULT RunRegistration(const char* what,
                        HRESULT (*direction)(const RegistrationRequest&, RegistrationReport*)) {
  try {
    const RegistrationRequest request = ThisLibrary();
    RegistrationReport report;
    if (request.modulePath.empty()) {
      report.failure = "cannot find the library's own path";
      return Report(what, E_UNEXPECTED, report);
    }
    return Report(what, direction(request, &report), report);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

HRESULT DllRegisterServer() { return RunRegistration("registration", RegisterServer); }

HRESULT DllUnregisterServer() { return RunRegistration("unregistration", UnregisterServer); }
