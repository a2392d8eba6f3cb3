// Protected locations, the item checks and the preparation label.
#include "engine/ItemRules.h"

#include <stdlib.h>

#include <memory>
#include <utility>
#include <vector>

#include "base/Settings.h"
#include "base/StringTable.h"
#include "engine/OperationRequest.h"
#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/KnownFolders.h"
#include "platform/MachineRoot.h"
#include "platform/Utf8.h"
#include "util/RegKey.h"

namespace {

// A folder as a prefix: it ends with exactly the one separator that stops "/usr" from
// matching "/usrlocal". Empty stays empty (it protects nothing).
std::string AsPrefix(std::string folder) {
  if (folder.empty()) return folder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.back() != '/') folder += '/';
  return folder;
}

// A string value of HKEY_LOCAL_MACHINE\keyPath, or "" when it cannot be read.
std::string ReadMachineString(const char* keyPath, const char* name) {
  CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, keyPath, KEY_READ) != ERROR_SUCCESS) return {};
  ULONG chars = 0;
  if (key.QueryStringValue(name, nullptr, &chars) != ERROR_SUCCESS || chars == 0) return {};
  std::vector<char> buffer(chars);
  if (key.QueryStringValue(name, buffer.data(), &chars) != ERROR_SUCCESS) return {};
  return std::string(buffer.data());
}

// The absolute form of `path` without "." and ".." parts, so that "/home/u/../../usr/x" is
// judged where it lands. A path the system cannot make absolute is judged as given.
std::string FullForm(std::string_view path) {
  const std::string given(path);
  const DWORD needed = GetFullPathNameA(given.c_str(), 0, nullptr);
  if (needed == 0) return given;
  std::vector<char> buffer(needed);
  const DWORD length = GetFullPathNameA(given.c_str(), needed, buffer.data());
  if (length == 0 || length >= needed) return given;
  return std::string(buffer.data(), length);
}

// `folder` and, when links lead to it, the folder they lead to: a path reaches the folder
// either way.
void AddWithResolvedForm(std::vector<std::string>& folders, std::string folder) {
  if (folder.empty()) return;
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(folder.c_str(), nullptr),
                                                             &std::free);
  if (resolved != nullptr && folder != resolved.get()) folders.emplace_back(resolved.get());
  folders.push_back(std::move(folder));
}

// The folder holding the file of `module` (null: the running program), or "".
std::string FolderOfModule(HMODULE module) {
  char path[4096];
  const DWORD length = GetModuleFileNameA(module, path, sizeof path);
  if (length == 0 || length >= sizeof path) return {};
  const std::string_view file(path, length);
  const std::size_t slash = file.rfind('/');
  return slash == std::string_view::npos || slash == 0 ? std::string()
                                                       : std::string(file.substr(0, slash));
}

// The suite's own files, protected whatever the settings say: the machine root (the user
// store with every user's keys, the registry hive), the folder of the running program, of
// this library and of the suite's libraries. Encrypting the store would lock it under a key
// it holds; encrypting a program would leave nothing to decrypt it with.
std::vector<std::string> SuiteOwnFolders() {
  std::vector<std::string> folders;
  AddWithResolvedForm(folders, QvMachineRoot());
  AddWithResolvedForm(folders, FolderOfModule(nullptr));
  AddWithResolvedForm(folders, FolderOfModule(GetModuleHandleFromAddress(
                                   reinterpret_cast<const void*>(&ProtectedPrefixes))));
  for (const char* library : {"qvfsdll.dll", "qvprofile.dll", "qvvault.dll", "qvverify.dll"}) {
    if (const HMODULE module = GetModuleHandleA(library); module != nullptr)
      AddWithResolvedForm(folders, FolderOfModule(module));
  }
  return folders;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::vector<std::string> ProtectedPrefixes() {
  std::vector<std::string> folders;
  std::string windows;
  if (GetKnownFolderPath(KnownFolder::Windows, windows)) folders.push_back(windows);
  folders.push_back(ReadMachineString(kWindowsCurrentVersionKey, kProgramFilesDirValue));
  folders.push_back(ReadMachineString(kWindowsCurrentVersionKey, kProgramFilesDirX86Value));
  for (std::string& folder : ProtectedFolders(InstallDir())) folders.push_back(std::move(folder));
  for (std::string& folder : SuiteOwnFolders()) folders.push_back(std::move(folder));

  std::vector<std::string> prefixes;
  for (std::string& folder : folders) {
    std::string prefix = AsPrefix(std::move(folder));
    if (!prefix.empty()) prefixes.push_back(std::move(prefix));
  }
  return prefixes;
}

ProtectedLocations ProtectedLocations::Read() {
  ProtectedLocations locations;
  locations.prefixes_ = ProtectedPrefixes();
  std::string profiles;
  if (GetKnownFolderPath(KnownFolder::Profiles, profiles) && !profiles.empty())
    locations.profiles_ = AsPrefix(profiles);
  return locations;
}

bool ProtectedLocations::Contains(std::string_view path) const {
  const std::string candidate = AsPrefix(FullForm(path));
  // The root of the file system holds every system folder: encrypting it whole would walk
  // (and decrypt in place) the entire machine. Like the profiles folder it is protected
  // itself, not the folders below it.
  if (candidate == "/") return true;
  if (!profiles_.empty() && candidate == profiles_) return true;
  for (const std::string& prefix : prefixes_) {
    if (StartsWith(candidate, prefix)) return true;
  }
  return false;
}

bool IsProtectedLocation(std::string_view path) {
  return ProtectedLocations::Read().Contains(path);
}

ItemStatus CheckForEncryption(std::string_view path, DWORD flags,
                              const ProtectedLocations& locations) {
  if ((flags & kCheckName) != 0 && IsEncryptedName(path)) return StatusAlreadyEncrypted;
  if ((flags & kCheckLocation) != 0 && locations.Contains(path)) return StatusProtectedLocation;
  return StatusSuccess;
}

ItemStatus CheckForEncryption(std::string_view path, DWORD flags) {
  return CheckForEncryption(path, flags, ProtectedLocations::Read());
}

ItemStatus CheckForDecryption(std::string_view path, DWORD flags,
                              const ProtectedLocations& locations) {
  if ((flags & kCheckName) != 0 && !IsEncryptedName(path)) return StatusNotEncryptedFile;
  if ((flags & kCheckLocation) != 0 && locations.Contains(path)) return StatusProtectedLocation;
  return StatusSuccess;
}

ItemStatus CheckForDecryption(std::string_view path, DWORD flags) {
  return CheckForDecryption(path, flags, ProtectedLocations::Read());
}

std::string PreparationLabel(bool encrypt, std::string_view fileName) {
  std::string label = LoadStringText(encrypt ? IDS_PREPARING_ENCRYPTION : IDS_PREPARING_DECRYPTION);
  const std::string_view shown =
      CountUtf8Characters(fileName) >= kPreparationLabelNameLimit ? std::string_view() : fileName;
  // The text holds one %s; the name is put in its place as it is, so a "%" in a file name
  // stays text.
  if (const std::size_t at = label.find("%s"); at != std::string::npos) label.replace(at, 2, shown);
  return label;
}
