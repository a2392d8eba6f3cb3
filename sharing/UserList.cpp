// The bounded user-list parser and the reader that retries once with the size asked for.
#include "sharing/UserList.h"

#include <cstring>

namespace {

constexpr std::size_t kEntryHeaderSize = 12;

DWORD ReadU32(const BYTE* at) {
  return static_cast<DWORD>(at[0]) | static_cast<DWORD>(at[1]) << 8 |
         static_cast<DWORD>(at[2]) << 16 | static_cast<DWORD>(at[3]) << 24;
}

}  // namespace

std::vector<std::string> ParseUserList(const BYTE* data, std::size_t size) {
  std::vector<std::string> users;
  if (data == nullptr) return users;
  std::size_t at = 0;
  while (size - at >= kEntryHeaderSize) {
    const std::size_t length = ReadU32(data + at + 4);
    const std::size_t left = size - at - kEntryHeaderSize;
    if (length == 0 || length > left) break;
    const BYTE* name = data + at + kEntryHeaderSize;
    const void* zero = std::memchr(name, 0, length);
    if (zero == nullptr) break;
    users.emplace_back(reinterpret_cast<const char*>(name), static_cast<const BYTE*>(zero) - name);
    at += kEntryHeaderSize + length;
  }
  return users;
}

bool ReadUserList(const UserListCall& call, std::vector<std::string>* users) {
  if (users == nullptr) return false;
  users->clear();
  std::vector<BYTE> buffer(kUserListBufferSize);
  DWORD size = kUserListBufferSize;
  if (call(buffer.data(), &size) != 0) {
    // The library may say how much it needs; a list that large is still read, once.
    if (size <= buffer.size() || size > kUserListBufferLimit) return false;
    buffer.assign(size, 0);
    if (call(buffer.data(), &size) != 0) return false;
  }
  if (size > buffer.size()) return false;
  *users = ParseUserList(buffer.data(), size);
  return true;
}
