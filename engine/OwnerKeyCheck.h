// The owner-key check before a file is decrypted and opened in the Sentivo edition: the key
// that encrypted an item may have been made by an earlier installation of the suite and
// exported to a key file; when the user does not hold it any more, the user is offered to
// import it before the decryption.
#pragma once

#include <string>
#include <string_view>

#include "platform/WinTypes.h"
#include "suite/QvUserApi.h"

// The owner text of the encrypted file or container at `path` (chosen by its suffix); empty
// when it cannot be read.
std::string ReadOwnerText(const std::string& path);

// The owner text split after its first "}": the owner identity (braces included) and the
// name of the owner's exported key file. False when there is no "}".
[[nodiscard]] bool SplitOwnerText(std::string_view ownerText, std::string* identity,
                                  std::string* keyFile);

// Message 188, asking the user to try the older key exported to `keyFile`. The name is put in
// as it stands: it comes from the encrypted item, so it is never read as a format.
std::string OlderKeyMessage(std::string_view keyFile);

// Imports the key an older installation exported for `userId`, with the mode word the
// user-data object expects around it. The import's status: 0 when the key was imported, else
// the status that refuses the item (6 not verified, 7 no key file, 507 cancelled).
[[nodiscard]] DWORD ImportOlderKeyOf(CUserData& userData, const char* userId);

// Checks the owner of the encrypted file `path` (or of the container whose folder header is
// `header`) for the user `userId`: the owner text is "{identity}" followed by the name of
// the owner's exported key file. When the user holds no key named after the identity, the
// user is told the key file's name and, on OK, the older key is imported.
//
// Returns the owner identity, including its braces, which the caller uses as the key name of
// the decryption; empty when not in the Sentivo edition, when the owner cannot be read, or
// when the owner text holds no "}" (the caller keeps its own key name then).
std::string OwnerKeyCheckFile(const char* userId, const char* path, HWND owner = nullptr);
std::string OwnerKeyCheckFolder(const char* userId, const BYTE* header, DWORD headerLength,
                                HWND owner = nullptr);
// The check for the container at `path`, on the folder header it stores (its folder owner).
std::string OwnerKeyCheckContainer(const char* userId, const char* path, HWND owner = nullptr);
// The check on an owner text already read.
std::string OwnerKeyCheckText(const char* userId, std::string_view ownerText, HWND owner = nullptr);
