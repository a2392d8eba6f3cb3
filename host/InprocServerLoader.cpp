// Loading in-process servers from the registry.
#include "host/InprocServerLoader.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/Registry.h"

namespace {

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT (*)();

std::string HexResult(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

}  // namespace

InprocServerLoader::~InprocServerLoader() { (void)UnloadUnused(); }

bool InprocServerLoader::IsAcceptableServerFile(const std::string& path, std::string* error) {
  if (path.empty() || path.front() != '/') {
    *error = "the registered library \"" + path + "\" is not an absolute path: register again";
    return false;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    *error = "the registered library " + path + " cannot be found (" + std::strerror(errno) +
             "): register again from where the library is now";
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = "the registered library " + path + " is not a regular file";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *error = "the registered library " + path +
             " may be changed by other users, so it is not loaded: chmod go-w it";
    return false;
  }
  return true;
}

bool InprocServerLoader::ServerPathOf(REFCLSID clsid, std::string* path, std::string* error) {
  const std::string key = "CLSID\\" + FormatGuid(clsid) + "\\InprocServer32";
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
    *error = "the class " + FormatGuid(clsid) + " is not registered: run qvx register";
    return false;
  }
  DWORD type = 0;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExA(opened, nullptr, nullptr, &type, nullptr, &size);
  std::vector<char> data(size + 1, '\0');
  if (status == ERROR_SUCCESS)
    status = RegQueryValueExA(opened, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                              &size);
  (void)RegCloseKey(opened);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 ||
      data[size - 1] != '\0') {
    *error = "the class " + FormatGuid(clsid) + " names no library: run qvx register";
    return false;
  }
  *path = std::string(data.data());
  return IsAcceptableServerFile(*path, error);
}

HRESULT InprocServerLoader::CreateInstance(REFCLSID clsid, REFIID iid, IUnknown** object,
                                           std::string* error) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  std::string path;
  if (!ServerPathOf(clsid, &path, error)) return kClassNotRegistered;
  void*& handle = libraries_[path];
  if (handle == nullptr) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      *error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown reason");
      libraries_.erase(path);
      return kLibraryNotLoaded;
    }
  }
  const auto getClassObject =
      reinterpret_cast<GetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
  if (getClassObject == nullptr) {
    *error = path + " exports no DllGetClassObject: it is not an in-process server";
    return kNoClassObjectExport;
  }
  ComPtr<IClassFactory> factory;
  HRESULT hr = getClassObject(clsid, IID_IClassFactory, factory.ReleaseAndGetVoidAddressOf());
  if (FAILED(hr) || !factory) {
    *error = path + " has no class object for " + FormatGuid(clsid) + " (" + HexResult(hr) + ")";
    return FAILED(hr) ? hr : E_UNEXPECTED;
  }
  void* created = nullptr;
  hr = factory->CreateInstance(nullptr, iid, &created);
  if (FAILED(hr) || created == nullptr) {
    *error =
        "the class " + FormatGuid(clsid) + " did not create the object (" + HexResult(hr) + ")";
    return FAILED(hr) ? hr : E_UNEXPECTED;
  }
  *object = static_cast<IUnknown*>(created);
  return S_OK;
}

std::size_t InprocServerLoader::UnloadUnused() {
  for (auto it = libraries_.begin(); it != libraries_.end();) {
    const auto canUnload = reinterpret_cast<CanUnloadNowFn>(dlsym(it->second, "DllCanUnloadNow"));
    if (canUnload != nullptr && canUnload() == S_OK) {
      (void)dlclose(it->second);
      it = libraries_.erase(it);
    } else {
      ++it;
    }
  }
  return libraries_.size();
}
