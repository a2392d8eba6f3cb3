// The two sharing rules the engine, the context menu and the container view apply to encrypted
// files (.qvf) and containers (.qvef): who besides the owner may decrypt or re-share an item,
// and which users are added to an item right after it was encrypted.
//
// Both rest on the owner's delegate list, the user setting 5/24: user ids, each followed by
// ":" ("bob:carol:"). Only text followed by a ":" is an id; reading stops at the first empty id
// ("bob::carol:" names bob alone) and text after the last ":" is ignored ("bob:carol" names
// bob alone). Ids are compared exactly, letter case included.
//
// Both need the suite services (QvApp().userData, else the user-data object is asked for
// directly) and run on the caller's thread; they call the file-encryption library directly.
#pragma once

#include <string>
#include <vector>

#include "platform/WinTypes.h"

// Answers of SharingAccessCheck besides StatusCancelled (507: the container did not open).
inline constexpr DWORD kSharingAllowed = 0;
inline constexpr DWORD kSharingRefused = 9;

// May `userId` decrypt or re-share the file or container at `path`? kSharingAllowed for the
// item's owner, for a user named in the owner's delegate list, for everyone in the Sentivo
// edition, and for an item whose owner cannot be read (the library then refuses the data
// itself when the user is no recipient); StatusCancelled when a path ending in ".qvef" does
// not open as a container with its protection record; kSharingRefused otherwise (also when the
// user data cannot be reached or memory runs out).
[[nodiscard]] DWORD SharingAccessCheck(const std::string& userId, const std::string& path) noexcept;
// The same for a container whose protection record the caller has read already: `header`.
[[nodiscard]] DWORD ContainerSharingAccessCheck(const std::string& userId,
                                                const std::vector<BYTE>& header) noexcept;

// Adds every user named in `ownerUserId`'s delegate list, in list order, to the recipients of
// the file or container at `path`, which `ownerUserId` has just encrypted. Needs the owner's
// key pair, so the owner must be verified in this process. A delegate that is unknown, has no
// key or is already a recipient is skipped, as is any delegate the library refuses; the
// others are still added. A container's protection record is written back after each added
// user, so each write holds every user added so far. Nothing is reported.
void ApplyDelegateSharing(const std::string& ownerUserId, const std::string& path) noexcept;

// Lets the folder handle `handle`, which `userId` opened on the folder header `header`, take
// new files when that header names another user as its owner: the library adds files only
// under an owner it can confirm, which for anyone but the owner takes the owner's key as this
// user knows it (the owner's share key in the user data). Nothing happens when `userId` is the
// owner, when the owner cannot be read or has no key here; the library then answers the add
// itself (19 for an owner it cannot confirm).
void TrustFolderOwner(const std::string& userId, const BYTE* header, DWORD headerLength,
                      DWORD handle) noexcept;
