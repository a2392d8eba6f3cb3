// Creating objects of classes registered in the registry: CoCreateInstance for in-process
// servers, the unloading of their libraries, and OleRun.
//
// A class id is looked up under HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32; the library
// named there is loaded only when the name is an absolute path to a regular file that neither
// the group nor others may write (a library anyone can replace would run their code in the
// caller's process). DllGetClassObject then gives the class factory, the factory creates the
// object, and the factory is released. Libraries loaded by CoCreateInstance stay loaded until
// CoFreeUnusedLibraries finds that their DllCanUnloadNow agrees.
//
// Only in-process servers exist here: a request that allows CLSCTX_INPROC_SERVER is served
// from InprocServer32, every other request is REGDB_E_CLASSNOTREG.
#pragma once

#include <string>

#include "platform/Com.h"

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr DWORD CLSCTX_ALL =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154u);
inline constexpr HRESULT CO_E_DLLNOTFOUND = MakeHresult(0x800401F8u);
inline constexpr HRESULT CO_E_ERRORINDLL = MakeHresult(0x800401F9u);

// The check of a library file alone. False with `error` saying why and what to do.
[[nodiscard]] QV_API bool QvIsAcceptableServerFile(const std::string& path, std::string* error);

// The library registered for `clsid`, checked as above. False with `error` saying why (a class
// that is not registered, or names no library, says so without advice: the caller knows how
// its classes are registered).
[[nodiscard]] QV_API bool QvInprocServerPath(REFCLSID clsid, std::string* path, std::string* error);

// Loads the checked library `path` (dlopen), asks it for the class object of `clsid` and
// creates an object of it for `iid` in *ppv. On failure *ppv is null and `error`, when given,
// says why: CO_E_DLLNOTFOUND (the library does not load), CO_E_ERRORINDLL (it exports no
// DllGetClassObject), or the server's own result. `handle` receives the library's handle
// whether or not the object was made (null when it did not load); the caller owns it.
[[nodiscard]] QV_API HRESULT QvCreateFromInprocServer(const std::string& path, REFCLSID clsid,
                                                      REFIID iid, void** ppv, void** handle,
                                                      std::string* error);

// REGDB_E_CLASSNOTREG when the class has no acceptable in-process server (or `context` does
// not allow one), CLASS_E_NOAGGREGATION for an outer object, else as above.
[[nodiscard]] QV_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context,
                                              REFIID iid, void** ppv) noexcept;

// Unloads every library CoCreateInstance loaded whose DllCanUnloadNow answers S_OK.
QV_API void CoFreeUnusedLibraries() noexcept;

// Puts an object into its running state. In-process objects here are running once created,
// so this checks the pointer only.
[[nodiscard]] QV_API HRESULT OleRun(IUnknown* object) noexcept;
