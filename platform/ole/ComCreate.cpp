// Creating objects of registered in-process classes.
#include "platform/ole/ComCreate.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
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

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

// The libraries CoCreateInstance loaded, by path. Each holds one dlopen reference of its own.
struct LoadedServers {
  std::mutex lock;
  std::map<std::string, void*> handles;
};
LoadedServers& Loaded() {
  static LoadedServers* servers = new LoadedServers;  // outlives every static destructor
  return *servers;
}

}  // namespace

bool QvIsAcceptableServerFile(const std::string& path, std::string* error) {
  if (path.empty() || path.front() != '/') {
    SetError(error,
             "the registered library \"" + path + "\" is not an absolute path: register again");
    return false;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    SetError(error, "the registered library " + path + " cannot be found (" + std::strerror(errno) +
                        "): register again from where the library is now");
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    SetError(error, "the registered library " + path + " is not a regular file");
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    SetError(error, "the registered library " + path +
                        " may be changed by other users, so it is not loaded: chmod go-w it");
    return false;
  }
  return true;
}

bool QvInprocServerPath(REFCLSID clsid, std::string* path, std::string* error) {
  const std::string key = "CLSID\\" + FormatGuid(clsid) + "\\InprocServer32";
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
    SetError(error, "the class " + FormatGuid(clsid) + " is not registered");
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
    SetError(error, "the class " + FormatGuid(clsid) + " names no library");
    return false;
  }
  *path = std::string(data.data());
  return QvIsAcceptableServerFile(*path, error);
}

HRESULT QvCreateFromInprocServer(const std::string& path, REFCLSID clsid, REFIID iid, void** ppv,
                                 void** handle, std::string* error) {
  if (ppv == nullptr || handle == nullptr) return E_POINTER;
  *ppv = nullptr;
  *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (*handle == nullptr) {
    const char* why = dlerror();
    SetError(error, "cannot load " + path + ": " + (why != nullptr ? why : "unknown reason"));
    return CO_E_DLLNOTFOUND;
  }
  const auto getClassObject =
      reinterpret_cast<GetClassObjectFn>(dlsym(*handle, "DllGetClassObject"));
  if (getClassObject == nullptr) {
    SetError(error, path + " exports no DllGetClassObject: it is not an in-process server");
    return CO_E_ERRORINDLL;
  }
  ComPtr<IClassFactory> factory;
  HRESULT hr = getClassObject(clsid, IID_IClassFactory, factory.ReleaseAndGetVoidAddressOf());
  if (FAILED(hr) || !factory) {
    SetError(error,
             path + " has no class object for " + FormatGuid(clsid) + " (" + HexResult(hr) + ")");
    return FAILED(hr) ? hr : E_UNEXPECTED;
  }
  void* created = nullptr;
  hr = factory->CreateInstance(nullptr, iid, &created);
  if (FAILED(hr) || created == nullptr) {
    SetError(error, "the class " + FormatGuid(clsid) + " did not create the object (" +
                        HexResult(hr) + ")");
    return FAILED(hr) ? hr : E_UNEXPECTED;
  }
  *ppv = created;
  return S_OK;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** ppv) noexcept {
  try {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    std::string path;
    if (!QvInprocServerPath(clsid, &path, nullptr)) return REGDB_E_CLASSNOTREG;
    void* handle = nullptr;
    const HRESULT hr = QvCreateFromInprocServer(path, clsid, iid, ppv, &handle, nullptr);
    if (handle != nullptr) {
      LoadedServers& loaded = Loaded();
      std::lock_guard<std::mutex> guard(loaded.lock);
      auto [it, added] = loaded.handles.emplace(path, handle);
      // One reference per library is kept; a further load of the same one gave another.
      if (!added) (void)dlclose(handle);
    }
    return hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

void CoFreeUnusedLibraries() noexcept {
  LoadedServers& loaded = Loaded();
  std::lock_guard<std::mutex> guard(loaded.lock);
  for (auto it = loaded.handles.begin(); it != loaded.handles.end();) {
    const auto canUnload = reinterpret_cast<CanUnloadNowFn>(dlsym(it->second, "DllCanUnloadNow"));
    if (canUnload != nullptr && canUnload() == S_OK) {
      (void)dlclose(it->second);
      it = loaded.handles.erase(it);
    } else {
      ++it;
    }
  }
}

HRESULT OleRun(IUnknown* object) noexcept { return object != nullptr ? S_OK : E_INVALIDARG; }
