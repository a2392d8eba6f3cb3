// The settings table and its readers.
#include "base/Settings.h"

#include <iterator>
#include <vector>

#include "util/RegKey.h"

namespace {

constexpr SettingInfo kSettings[] = {
    {Setting::InstallDir, "InstallDir", SettingType::String, 0, "", kSettingStringBufferSize, false,
     kQuorvinKeyPath},
    {Setting::Oem, "OEM", SettingType::Dword, 0, nullptr, 4, false, kQuorvinKeyPath},
    {Setting::CustomProductName, "CustomProductName", SettingType::String, 0, "Quorvin",
     kSettingStringBufferSize, false, kQuorvinKeyPath},
    {Setting::ShowQvenrollIfUserNotEnrolled, "showQvenrollIfUserNotEnrolled", SettingType::Dword, 1,
     nullptr, 4, false, kQuorvinKeyPath},
    {Setting::DisableQuorOnlyUser, "DisableQuorOnlyUser", SettingType::Dword, 1, nullptr, 4, false,
     kQuorvinKeyPath},
    {Setting::SupportQuorOnlyUser, "SupportQuorOnlyUser", SettingType::Dword, 0, nullptr, 4, false,
     kQuorvinKeyPath},
    {Setting::EnumDomainsFlag, "EnumDomainsFlag", SettingType::Dword, 3, nullptr, 4, true,
     kQuorvinKeyPath},
    {Setting::DisableDbClickOpen, "DisableDbClickOpen", SettingType::Dword, 0, nullptr, 4, false,
     kQuorvinKeyPath},
    {Setting::EnableTempDecFileWarning, "EnableTempDecFileWarning", SettingType::Dword, 0, nullptr,
     4, false, kQuorvinKeyPath},
};

constexpr bool TableInEnumOrder() {
  for (size_t i = 0; i < std::size(kSettings); ++i)
    if (static_cast<size_t>(kSettings[i].id) != i) return false;
  return true;
}
static_assert(TableInEnumOrder(), "SettingInfoOf indexes the table by the enumeration");

}  // namespace

std::span<const SettingInfo> AllSettings() noexcept { return kSettings; }

const SettingInfo& SettingInfoOf(Setting id) noexcept { return kSettings[static_cast<size_t>(id)]; }

DWORD ReadSettingDword(Setting id) noexcept {
  const SettingInfo& info = SettingInfoOf(id);
  if (info.type != SettingType::Dword) return 0;
  DWORD value = info.dwordDefault;
  CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, info.keyPath, KEY_READ) != ERROR_SUCCESS) return value;
  if (key.QueryDWORDValue(info.name, value) != ERROR_SUCCESS) return info.dwordDefault;
  if (value == 0 && info.zeroMeansDefault) return info.dwordDefault;
  return value;
}

std::string ReadSettingString(Setting id) {
  const SettingInfo& info = SettingInfoOf(id);
  if (info.type != SettingType::String) return {};
  CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, info.keyPath, KEY_READ) != ERROR_SUCCESS)
    return info.stringDefault;
  std::vector<char> buffer(info.bufferSize);
  ULONG chars = info.bufferSize;
  if (key.QueryStringValue(info.name, buffer.data(), &chars) != ERROR_SUCCESS)
    return info.stringDefault;
  // The text ends at the first NUL, as every reader of the value sees it.
  return std::string(buffer.data());
}

std::string InstallDir() { return ReadSettingString(Setting::InstallDir); }

std::string InstallDirForLaunch() {
  std::string dir = InstallDir();
  return dir.empty() ? std::string("C:\\") : dir;
}

DWORD Oem() noexcept { return ReadSettingDword(Setting::Oem); }
std::string CustomProductName() { return ReadSettingString(Setting::CustomProductName); }
DWORD ShowQvenrollIfUserNotEnrolled() noexcept {
  return ReadSettingDword(Setting::ShowQvenrollIfUserNotEnrolled);
}
DWORD DisableQuorOnlyUser() noexcept { return ReadSettingDword(Setting::DisableQuorOnlyUser); }
DWORD SupportQuorOnlyUser() noexcept { return ReadSettingDword(Setting::SupportQuorOnlyUser); }
DWORD EnumDomainsFlag() noexcept { return ReadSettingDword(Setting::EnumDomainsFlag); }
DWORD DisableDbClickOpen() noexcept { return ReadSettingDword(Setting::DisableDbClickOpen); }
DWORD EnableTempDecFileWarning() noexcept {
  return ReadSettingDword(Setting::EnableTempDecFileWarning);
}
