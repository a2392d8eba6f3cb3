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
// Register and unregister the library's classes, file types and context-menu handlers in the
// registry, and the desktop files of the current user (see registration/Registration.h). The
// result is the first failure; its message, and warnings, go to standard error.
QV_EXPORT HRESULT DllRegisterServer();
QV_EXPORT HRESULT DllUnregisterServer();

// Encrypts (`encrypt` non-zero) or decrypts `path` after verifying the current user, in the
// progress dialog, and writes an audit record. 1 when the user passed, every item succeeded
// and the audit record was written, otherwise 0. Called by the suite's programs; the dialog
// runs on this thread.
//
// Both exports leave ERROR_CANTWRITE as the thread's last error when the operation ran but its
// audit record could not be written (the store is read-only or its disk is full), and
// ERROR_SUCCESS otherwise, so that the calling program can say what went wrong.
QV_EXPORT int DllDoEncryptDecrypt(const char* path, unsigned int encrypt);
// Decrypts the encrypted file `path` and opens the plain result with the desktop's opener.
// When another process already decrypts opened files, `path` is handed to it instead. Always
// 0; the user sees the outcome in the progress dialog. A path that process would refuse is not
// sent: the user is told why in a message box and the last error is ERROR_BAD_PATHNAME. A
// path no process took over (the one that decrypts ended meanwhile) leaves ERROR_WRITE_FAULT.
QV_EXPORT int DllShellInterface(const char* path);
