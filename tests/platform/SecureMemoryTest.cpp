// Wiping secrets: the bytes that held a password or key are zero afterwards, in place, and a
// wiped text is empty.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/SecureMemory.h"

namespace {

TEST(SecureMemoryTest, WipesBytesAndTextsInPlace) {
  std::vector<BYTE> bytes(64, 0xA5);
  SecureZeroMemory(bytes.data(), 40);
  for (size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], i < 40 ? 0 : 0xA5) << i;
  SecureZeroMemory(nullptr, 10);  // nothing to wipe is no fault

  // Long enough to live outside the string object, so the buffer stays after clear().
  std::string password(100, 'p');
  const char* held = password.data();
  QvWipe(password);
  EXPECT_TRUE(password.empty());
  ASSERT_EQ(password.data(), held);
  for (size_t i = 0; i < 100; ++i) EXPECT_EQ(held[i], '\0') << i;
}

}  // namespace
