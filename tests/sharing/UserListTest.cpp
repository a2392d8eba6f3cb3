// The user-list reader: entries checked against the buffer before they are read, and one
// retry with the size the library asks for. The library is faked only to inject the faults a
// real one would need a million users to show.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sharing/UserList.h"

namespace {

using Bytes = std::vector<BYTE>;
using Names = std::vector<std::string>;

Bytes Entry(const std::string& payload, DWORD length) {
  Bytes out(12 + payload.size(), 0);
  std::memcpy(out.data() + 4, &length, 4);
  for (std::size_t i = 0; i < payload.size(); ++i) out[12 + i] = static_cast<BYTE>(payload[i]);
  return out;
}
Bytes Entry(const std::string& name) {
  return Entry(name + std::string(1, '\0'), static_cast<DWORD>(name.size() + 1));
}
Bytes operator+(Bytes a, const Bytes& b) {
  for (const BYTE byte : b) a.push_back(byte);
  return a;
}

TEST(UserListTest, ParsesEntriesUpToTheFirstBadOne) {
  const Bytes good = Entry("alice") + Entry("bob");
  const struct {
    const char* what;
    Bytes bytes;
    Names expected;
  } cases[] = {
      {"two entries", good, {"alice", "bob"}},
      {"a name padded with zeros within its length",
       Entry(std::string("carol\0\0\0", 8), 8),
       {"carol"}},
      {"length 0", good + Entry("", 0) + Entry("carol"), {"alice", "bob"}},
      {"length past the end", good + Entry("dave", 40), {"alice", "bob"}},
      {"no zero within the length", good + Entry("erin", 4) + Entry("carol"), {"alice", "bob"}},
      {"a header cut short", good + Bytes(11, 1), {"alice", "bob"}},
      {"a length that wraps", Entry("x", 0xFFFFFFFFu) + Entry("bob"), {}},
      {"empty", Bytes{}, {}},
  };
  for (const auto& c : cases) {
    // An exact-size copy, so a read past the end is seen by the sanitizers.
    const Bytes copy = c.bytes;
    EXPECT_EQ(ParseUserList(copy.data(), copy.size()), c.expected) << c.what;
  }
  EXPECT_EQ(ParseUserList(nullptr, 24), Names{});
}

TEST(UserListTest, ReadsOnlyAfterSuccessAndRetriesOnceWithTheSizeAsked) {
  const Bytes list = Entry("alice") + Entry("bob");
  Names users{"stale"};
  std::vector<DWORD> offered;
  // A library that needs more than the first buffer: the second call gets what it asked for.
  const DWORD needed = kUserListBufferSize + 100;
  ASSERT_TRUE(ReadUserList(
      [&](BYTE* buffer, DWORD* size) -> DWORD {
        offered.push_back(*size);
        if (*size < needed) {
          *size = needed;
          return 2;
        }
        std::memcpy(buffer, list.data(), list.size());
        *size = static_cast<DWORD>(list.size());
        return 0;
      },
      &users));
  EXPECT_EQ(users, (Names{"alice", "bob"}));
  EXPECT_EQ(offered, (std::vector<DWORD>{kUserListBufferSize, needed}));

  // A failure is a failure, whatever the buffer holds; it is not retried without a size, nor
  // beyond the limit, nor more than once.
  const auto failing = [&](DWORD asks) {
    offered.clear();
    return ReadUserList(
        [&](BYTE* buffer, DWORD* size) -> DWORD {
          offered.push_back(*size);
          std::memcpy(buffer, list.data(), list.size());
          *size = asks;
          return 4;
        },
        &users);
  };
  EXPECT_FALSE(failing(static_cast<DWORD>(list.size())));
  EXPECT_EQ(offered.size(), 1u);
  EXPECT_TRUE(users.empty());
  EXPECT_FALSE(failing(kUserListBufferLimit + 1));
  EXPECT_EQ(offered.size(), 1u);
  EXPECT_FALSE(failing(needed));
  EXPECT_EQ(offered.size(), 2u);
  // A library that claims to have used more than it was given is not believed.
  EXPECT_FALSE(ReadUserList(
      [](BYTE*, DWORD* size) -> DWORD {
        *size += 1;
        return 0;
      },
      &users));
}

}  // namespace
