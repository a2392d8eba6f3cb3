// DllRegisterServer and DllUnregisterServer: the library's two halves of registration.
//
// The registry half runs the AppID script, every class's script and the type library's entry
// (res/registration), then writes the values that depend on the machine: the open command of
// an encrypted file (from the suite's InstallDir), the .qvx key when it is absent, and the
// text of the Open verb in the user's language. The desktop half writes the files the Linux
// file managers read (see DesktopFiles.h).
//
// Neither half removes what it did not write (see Registrar.h), both can be repeated, and any
// change that fails fails the call: the result is the first failure and the message names what
// could not be changed and what to do about it.
#pragma once

#include <string>
#include <vector>

#include "platform/WinTypes.h"

// Where and how registration runs: the library's own real path (the server every class is
// registered with) and whether the desktop half runs too.
struct RegistrationRequest {
  std::string modulePath;
  bool desktopFiles = true;
};

struct RegistrationReport {
  std::string failure;                // the first failure, empty on success
  std::vector<std::string> warnings;  // things left undone that do not fail the call
};

// The resource names of the scripts, in the order registration runs them.
const std::vector<std::string>& RegistrationScriptNames();

// The open command written for an encrypted file, from the folder programs are launched from
// (InstallDir, or "C:\" which stands for the install folder when it is not set): the program
// in quotes, then the file in quotes, so that a folder with spaces works and a folder given
// without its trailing separator still names the program inside it.
std::string EncryptedFileOpenCommand(const std::string& installDir);

// `report` (never null) receives the failure and the warnings.
[[nodiscard]] HRESULT RegisterServer(const RegistrationRequest& request,
                                     RegistrationReport* report);
[[nodiscard]] HRESULT UnregisterServer(const RegistrationRequest& request,
                                       RegistrationReport* report);
