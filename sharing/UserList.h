// The user list of an encrypted file or container as the file-encryption library hands it
// over: consecutive entries of a 32-bit field, a 32-bit length L, a 32-bit field, then L bytes
// holding the user id and its terminating zero; the next entry starts 12 + L bytes further.
//
// The buffer comes from a library this module does not control, so every entry is checked
// before it is read: L is at least 1 and fits in what is left, and a zero lies within L.
// Parsing stops at the first entry that fails a check.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

// The size first offered to the library, and the most that is ever offered.
inline constexpr DWORD kUserListBufferSize = 1048576;
inline constexpr DWORD kUserListBufferLimit = 16 * 1048576;

// The user ids of the entries of `data` (`size` bytes), in order, up to the first bad entry.
std::vector<std::string> ParseUserList(const BYTE* data, std::size_t size);

// A library call that fills `buffer` (capacity *size) and sets *size to the length used, or
// on failure possibly to the length it needs; 0 is success.
using UserListCall = std::function<DWORD(BYTE* buffer, DWORD* size)>;

// Reads a user list through `call`: once with kUserListBufferSize, and when that fails asking
// for more room, once more with the size asked for (at most kUserListBufferLimit). The list is
// parsed only after a successful call. False when no call succeeded.
[[nodiscard]] bool ReadUserList(const UserListCall& call, std::vector<std::string>* users);
