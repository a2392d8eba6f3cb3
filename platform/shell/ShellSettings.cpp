// SHGetSettings over the user's hive.
#include "platform/shell/ShellSettings.h"

#include "platform/Registry.h"

namespace {

// A DWORD of the file manager's "Advanced" settings; `fallback` when missing or not a DWORD.
DWORD AdvancedSetting(const char* name, DWORD fallback) noexcept {
  DWORD result = fallback;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER,
                    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced", 0, KEY_READ,
                    &key) == ERROR_SUCCESS) {
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof value)
      result = value;
    RegCloseKey(key);
  }
  return result;
}

}  // namespace

void SHGetSettings(SHELLFLAGSTATE* state, DWORD mask) noexcept {
  if (state == nullptr) return;
  if ((mask & SSF_SHOWEXTENSIONS) != 0)
    state->fShowExtensions = AdvancedSetting("HideFileExt", 1) == 0 ? TRUE : FALSE;
  if ((mask & SSF_NOCONFIRMRECYCLE) != 0)
    state->fNoConfirmRecycle = AdvancedSetting("NoConfirmDelete", 0) != 0 ? TRUE : FALSE;
}
