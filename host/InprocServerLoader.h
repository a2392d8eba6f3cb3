// How qvx loads in-process servers: the way the file manager does, from the registry, with the
// platform's look-up and check of the registered library (platform/ole/ComCreate.h).
// Libraries stay loaded while the loader lives; UnloadUnused asks each one DllCanUnloadNow and
// unloads those that agree, and the destructor does the same.
#pragma once

#include <map>
#include <string>

#include "platform/Com.h"
#include "platform/ole/ComCreate.h"

class InprocServerLoader {
 public:
  // Results of CreateInstance besides the server's own, with their Windows values.
  static constexpr HRESULT kClassNotRegistered = REGDB_E_CLASSNOTREG;
  static constexpr HRESULT kLibraryNotLoaded = CO_E_DLLNOTFOUND;
  static constexpr HRESULT kNoClassObjectExport = CO_E_ERRORINDLL;

  InprocServerLoader() = default;
  ~InprocServerLoader();
  InprocServerLoader(const InprocServerLoader&) = delete;
  InprocServerLoader& operator=(const InprocServerLoader&) = delete;

  // The library registered for `clsid`, checked as above. False with `error` saying why.
  [[nodiscard]] static bool ServerPathOf(REFCLSID clsid, std::string* path, std::string* error);
  // The check of a library file alone.
  [[nodiscard]] static bool IsAcceptableServerFile(const std::string& path, std::string* error);

  // Creates an object of class `clsid` and returns its interface `iid` in *object (one
  // reference, released by the caller before the library is unloaded). On failure *object is
  // null and `error` says why.
  [[nodiscard]] HRESULT CreateInstance(REFCLSID clsid, REFIID iid, IUnknown** object,
                                       std::string* error);

  // Unloads every library whose DllCanUnloadNow answers S_OK; returns how many stay loaded.
  std::size_t UnloadUnused();

 private:
  std::map<std::string, void*> libraries_;  // by path: dlopen handles
};
