// Applies a parsed registry script to the registry, in one of two directions.
//
// Registration creates every key of the script and sets every value it names. It never
// deletes anything: a key that is there already keeps the values and subkeys other programs
// put there, and a ForceRemove key only has its scripted values written over.
//
// Unregistration removes only what registration wrote: a value is deleted only while it
// still holds exactly the type and data the script gives it, and a key only when it is then
// empty and not marked NoRemove; children are handled before their parents. A key or value
// that is missing already is not a failure, so unregistration can be repeated.
//
// Both directions go on after a failed change and return the first failure, with a message
// naming the key or value that could not be changed.
#pragma once

#include <string>

#include "platform/WinTypes.h"
#include "registration/RegistrarScript.h"

enum class RegistrarDirection { Register, Unregister };

// S_OK, or the HRESULT of the first failed registry call with `failure` naming it.
[[nodiscard]] HRESULT ApplyRegistrarScript(const RegistrarScript& script,
                                           RegistrarDirection direction, std::string* failure);

// Removes a value of hKey\subKey only while it holds `expected` (type and bytes), then the key
// hKey\subKey when it is empty (unless keepKey). Missing keys and values succeed. The shared
// rule of unregistration, also used for the values registration writes by code.
[[nodiscard]] LSTATUS RemoveValueIfOurs(HKEY hKey, const std::string& subKey,
                                        const std::string& valueName, DWORD type,
                                        const std::string& expected);
// Deletes hKey\subKey when it has neither values nor subkeys; ERROR_SUCCESS when it is
// missing or not empty.
[[nodiscard]] LSTATUS RemoveKeyIfEmpty(HKEY hKey, const std::string& subKey);
