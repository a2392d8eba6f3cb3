// Fuzzes the user-list parser: no input may make it read outside the buffer, every id it
// returns must lie whole inside the input (and hold no zero), and the ids must account for no
// more bytes than there are.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sharing/UserList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so the sanitizer sees any read past the end.
  std::vector<BYTE> buffer(data, data + size);
  const std::vector<std::string> users = ParseUserList(buffer.data(), buffer.size());
  std::size_t used = 0;
  for (const std::string& user : users) {
    if (user.find('\0') != std::string::npos) std::abort();
    used += 12 + user.size() + 1;
  }
  if (used > size) std::abort();
  return 0;
}
