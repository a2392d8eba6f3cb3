// Writing and removing the keys and values of a registry script.
#include "registration/Registrar.h"

#include <algorithm>
#include <vector>

#include "platform/Com.h"

namespace {

std::string RootedName(const std::string& path, const std::string& name) {
  return path + "\\" + name;
}

std::string Describe(LSTATUS status) {
  switch (status) {
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_BADDB:
      return "the registry file is damaged; move it aside and register again";
    case ERROR_INVALID_PARAMETER:
      return "invalid name or data";
    default:
      return "error " + std::to_string(status);
  }
}

class Applier {
 public:
  Applier(RegistrarDirection direction, std::string* failure)
      : direction_(direction), failure_(failure) {}

  HRESULT Result() const { return first_ == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(first_); }

  void Root(const RegistrarRoot& root) {
    for (const RegistrarKey& key : root.keys) Key(root.root, key, root.name);
  }

 private:
  void Note(LSTATUS status, const std::string& what) {
    if (status == ERROR_SUCCESS || first_ != ERROR_SUCCESS) return;
    first_ = status;
    if (failure_ != nullptr) *failure_ = what + ": " + Describe(status);
  }

  void Key(HKEY parent, const RegistrarKey& key, const std::string& parentPath) {
    const std::string path = RootedName(parentPath, key.name);
    if (direction_ == RegistrarDirection::Register) {
      HKEY opened = nullptr;
      const LSTATUS created =
          RegCreateKeyExA(parent, key.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_READ | KEY_WRITE, nullptr, &opened, nullptr);
      if (created != ERROR_SUCCESS) {
        Note(created, "cannot create " + path);
        return;
      }
      for (const RegistrarValue& value : key.values) {
        const LSTATUS set = RegSetValueExA(opened, value.name.c_str(), 0, value.type,
                                           reinterpret_cast<const BYTE*>(value.data.data()),
                                           static_cast<DWORD>(value.data.size()));
        Note(set,
             "cannot set " + path + " value " + (value.name.empty() ? "(default)" : value.name));
      }
      for (const RegistrarKey& sub : key.subkeys) Key(opened, sub, path);
      (void)RegCloseKey(opened);
      return;
    }
    HKEY opened = nullptr;
    const LSTATUS open = RegOpenKeyExA(parent, key.name.c_str(), 0, KEY_ALL_ACCESS, &opened);
    if (open == ERROR_FILE_NOT_FOUND) return;
    if (open != ERROR_SUCCESS) {
      Note(open, "cannot open " + path);
      return;
    }
    for (const RegistrarKey& sub : key.subkeys) Key(opened, sub, path);
    for (const RegistrarValue& value : key.values)
      Note(RemoveValueIfOurs(opened, "", value.name, value.type, value.data),
           "cannot remove " + path + " value " + (value.name.empty() ? "(default)" : value.name));
    (void)RegCloseKey(opened);
    if (key.flag != RegistrarKeyFlag::NoRemove)
      Note(RemoveKeyIfEmpty(parent, key.name), "cannot remove " + path);
  }

  RegistrarDirection direction_;
  std::string* failure_;
  LSTATUS first_ = ERROR_SUCCESS;
};

}  // namespace

HRESULT ApplyRegistrarScript(const RegistrarScript& script, RegistrarDirection direction,
                             std::string* failure) {
  Applier applier(direction, failure);
  for (const RegistrarRoot& root : script.roots) applier.Root(root);
  return applier.Result();
}

LSTATUS RemoveValueIfOurs(HKEY hKey, const std::string& subKey, const std::string& valueName,
                          DWORD type, const std::string& expected) {
  HKEY opened = nullptr;
  const LSTATUS open =
      RegOpenKeyExA(hKey, subKey.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &opened);
  if (open == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (open != ERROR_SUCCESS) return open;
  DWORD storedType = 0;
  DWORD size = 0;
  LSTATUS status =
      RegQueryValueExA(opened, valueName.c_str(), nullptr, &storedType, nullptr, &size);
  if (status == ERROR_SUCCESS && storedType == type && size == expected.size()) {
    std::vector<BYTE> stored(size);
    status =
        RegQueryValueExA(opened, valueName.c_str(), nullptr, &storedType, stored.data(), &size);
    if (status == ERROR_SUCCESS && size == expected.size() &&
        std::equal(stored.begin(), stored.end(), expected.begin(),
                   [](BYTE a, char b) { return a == static_cast<BYTE>(b); }))
      status = RegDeleteValueA(opened, valueName.c_str());
  }
  (void)RegCloseKey(opened);
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

LSTATUS RemoveKeyIfEmpty(HKEY hKey, const std::string& subKey) {
  HKEY opened = nullptr;
  LSTATUS status = RegOpenKeyExA(hKey, subKey.c_str(), 0, KEY_READ, &opened);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return status;
  char name[kRegMaxKeyNameLength + 1];
  DWORD nameSize = sizeof name;
  const LSTATUS hasKey =
      RegEnumKeyExA(opened, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
  // A name that does not fit (ERROR_MORE_DATA) still says the key is not empty.
  nameSize = sizeof name;
  const LSTATUS hasValue =
      RegEnumValueA(opened, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
  (void)RegCloseKey(opened);
  if (hasKey != ERROR_NO_MORE_ITEMS || hasValue != ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
  status = RegDeleteKeyA(hKey, subKey.c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}
