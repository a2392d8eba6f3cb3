// Loading in-process servers from the registry.
#include "host/InprocServerLoader.h"

#include <dlfcn.h>

#include "platform/ole/ComCreate.h"

namespace {
using CanUnloadNowFn = HRESULT (*)();
}  // namespace

InprocServerLoader::~InprocServerLoader() { (void)UnloadUnused(); }

bool InprocServerLoader::IsAcceptableServerFile(const std::string& path, std::string* error) {
  return QvIsAcceptableServerFile(path, error);
}

bool InprocServerLoader::ServerPathOf(REFCLSID clsid, std::string* path, std::string* error) {
  if (QvInprocServerPath(clsid, path, error)) return true;
  // A class without a usable entry is put right by registering the product again.
  if (error->rfind("the class ", 0) == 0) *error += ": run qvx register";
  return false;
}

HRESULT InprocServerLoader::CreateInstance(REFCLSID clsid, REFIID iid, IUnknown** object,
                                           std::string* error) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  std::string path;
  if (!ServerPathOf(clsid, &path, error)) return kClassNotRegistered;
  void* created = nullptr;
  void* handle = nullptr;
  const HRESULT hr = QvCreateFromInprocServer(path, clsid, iid, &created, &handle, error);
  if (handle != nullptr) {
    auto [it, added] = libraries_.emplace(path, handle);
    // One reference per library is kept; loading it again gave another.
    if (!added) (void)dlclose(handle);
  }
  if (FAILED(hr)) return hr;
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
