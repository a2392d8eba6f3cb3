// SHGetSettings over the user's hive.
#include "platform/shell/ShellSettings.h"

#include "platform/Registry.h"

void SHGetSettings(SHELLFLAGSTATE* state, DWORD mask) noexcept {
  if (state == nullptr || (mask & SSF_SHOWEXTENSIONS) == 0) return;
  DWORD hide = 1;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER,
                    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced", 0, KEY_READ,
                    &key) == ERROR_SUCCESS) {
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExA(key, "HideFileExt", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof value)
      hide = value;
    RegCloseKey(key);
  }
  state->fShowExtensions = hide == 0 ? TRUE : FALSE;
}
