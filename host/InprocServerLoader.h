// How qvx loads in-process servers: the way the file manager does, from the registry.
//
// A class id is looked up under HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32; the library named
// there is loaded only when the name is an absolute path to a regular file that neither the
// group nor others may write (a library anyone can replace would run their code in here).
// Then DllGetClassObject gives the class factory, the factory creates the object, and the
// factory is released. Libraries stay loaded while the loader lives; UnloadUnused asks each
// one DllCanUnloadNow and unloads those that agree, and the destructor does the same.
#pragma once

#include <map>
#include <string>

#include "platform/Com.h"

class InprocServerLoader {
 public:
  // Results of CreateInstance besides the server's own, with their Windows values.
  static constexpr HRESULT kClassNotRegistered = MakeHresult(0x80040154u);   // REGDB_E_CLASSNOTREG
  static constexpr HRESULT kLibraryNotLoaded = MakeHresult(0x800401F8u);     // CO_E_DLLNOTFOUND
  static constexpr HRESULT kNoClassObjectExport = MakeHresult(0x800401F9u);  // CO_E_ERRORINDLL

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
