// The suite's settings that this library reads, with their defaults, and the system values
// it consults.
//
// The suite's installer writes the settings under HKEY_LOCAL_MACHINE\SOFTWARE\Marlowen\Quorvin;
// this library never writes them. Each reader opens the key for reading, reads its value and
// closes the key at every use, so a changed value takes effect at the next use. A missing
// key, a missing value, a value of the wrong type or size, and a string that does not fit
// its buffer all read as the default.
#pragma once

#include <span>
#include <string>

#include "platform/Registry.h"
#include "platform/WinTypes.h"

// The suite's key, below HKEY_LOCAL_MACHINE.
inline constexpr char kQuorvinKeyPath[] = "SOFTWARE\\Marlowen\\Quorvin";

// Buffer of a string setting in bytes, including the NUL.
inline constexpr DWORD kSettingStringBufferSize = 1024;

enum class Setting {
  InstallDir,
  Oem,
  CustomProductName,
  ShowQvenrollIfUserNotEnrolled,
  DisableQuorOnlyUser,
  SupportQuorOnlyUser,
  EnumDomainsFlag,
  DisableDbClickOpen,
  EnableTempDecFileWarning,
};

enum class SettingType { Dword, String };

struct SettingInfo {
  Setting id;
  const char* name;  // value name
  SettingType type;
  DWORD dwordDefault;         // DWORD settings
  const char* stringDefault;  // string settings
  DWORD bufferSize;           // bytes read at most: 4, or the string buffer with its NUL
  bool zeroMeansDefault;      // a stored 0 reads as the default
  const char* keyPath;        // below HKEY_LOCAL_MACHINE
};

// Every setting, in the order of the Setting enumeration.
std::span<const SettingInfo> AllSettings() noexcept;
const SettingInfo& SettingInfoOf(Setting id) noexcept;

// The current value of a DWORD setting (0 for a string setting).
DWORD ReadSettingDword(Setting id) noexcept;
// The current value of a string setting ("" for a DWORD setting). A stored string that does
// not fit its buffer reads as the default rather than cut: a cut folder name would name
// another folder.
std::string ReadSettingString(Setting id);

// The suite's installation folder with its trailing backslash, or "".
std::string InstallDir();
// The folder programs are launched from: InstallDir(), or "C:\" when it is not set.
std::string InstallDirForLaunch();
DWORD Oem() noexcept;
// The product name in window captions; "Quorvin" when not set.
std::string CustomProductName();
DWORD ShowQvenrollIfUserNotEnrolled() noexcept;
DWORD DisableQuorOnlyUser() noexcept;
DWORD SupportQuorOnlyUser() noexcept;
// Flags of the domain-trust enumeration; 3 when missing or 0.
DWORD EnumDomainsFlag() noexcept;
DWORD DisableDbClickOpen() noexcept;
DWORD EnableTempDecFileWarning() noexcept;

// System values consulted (not settings of the suite). Keys below HKEY_LOCAL_MACHINE
// unless named otherwise.
inline constexpr char kWindowsCurrentVersionKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";
inline constexpr char kProgramFilesDirValue[] = "ProgramFilesDir";
inline constexpr char kProgramFilesDirX86Value[] = "ProgramFilesDir (x86)";
// Every value of this key names a domain (the domain list of systems before Vista).
inline constexpr char kDomainCacheKey[] =
    "Software\\Microsoft\\Windows NT\\currentversion\\WinLogon\\DomainCache";
// Below HKEY_USERS: its subkeys are the online-account names of local accounts.
inline constexpr char kStoredIdentitiesKey[] =
    ".DEFAULT\\Software\\Microsoft\\IdentityCRL\\StoredIdentities";
