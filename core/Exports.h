// The functions the library exports to the file manager and the suite's programs. They
// are C functions so that a loader finds them by name; no exception leaves any of them.
#pragma once

#include "platform/Com.h"

#define QV_EXPORT extern "C" __attribute__((visibility("default")))

// Version record of DllGetVersion.
struct DLLVERSIONINFO {
  DWORD cbSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformID;
};
inline constexpr DWORD DLLVER_PLATFORM_NT = 2;

QV_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
// S_OK when no object of the library is alive (the suite services are stopped then).
QV_EXPORT HRESULT DllCanUnloadNow();
QV_EXPORT HRESULT DllGetVersion(DLLVERSIONINFO* info);
