// The class-object, unload and version exports.
#include "core/Exports.h"

#include <mutex>

#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "core/QvFolderExtModule.h"

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
