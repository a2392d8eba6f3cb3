// HGLOBAL blocks: the moveable block's lifecycle and handles refused after they are freed.
#include <cstring>

#include "tests/platform/ole/OleTestSupport.h"

namespace {

TEST(GlobalMemoryTest, MoveableBlockLifecycle) {
  HGLOBAL h = GlobalAlloc(GHND, 16);
  ASSERT_NE(h, nullptr);
  auto* p = static_cast<unsigned char*>(GlobalLock(h));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "0123456789abcdef", 16);
  EXPECT_EQ(GlobalLock(h), p);
  EXPECT_TRUE(GlobalUnlock(h)) << "still locked once";
  EXPECT_REFUSED(GlobalUnlock(h), ERROR_SUCCESS);
  EXPECT_REFUSED(GlobalUnlock(h), ERROR_NOT_LOCKED);

  // Growing an unlocked block keeps the handle and the bytes; the new bytes are zero.
  ASSERT_EQ(GlobalReAlloc(h, 4096, GMEM_MOVEABLE | GMEM_ZEROINIT), h);
  p = static_cast<unsigned char*>(GlobalLock(h));
  EXPECT_EQ(std::memcmp(p, "0123456789abcdef", 16), 0);
  EXPECT_EQ(p[4095], 0);
  // A locked block does not move: growing fails, shrinking works in place, and growing back
  // within the old size shows zeros, not the old bytes.
  EXPECT_EQ(GlobalReAlloc(h, 1 << 20, GMEM_MOVEABLE), nullptr);
  EXPECT_EQ(GlobalSize(h), 4096u);
  ASSERT_EQ(GlobalReAlloc(h, 4, GMEM_MOVEABLE), h);
  ASSERT_EQ(GlobalReAlloc(h, 16, GMEM_MOVEABLE), h);
  EXPECT_EQ(std::memcmp(p, "0123\0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GlobalFree(h), nullptr);
  // The freed handle now fails cleanly, like any bogus handle.
  int local = 0;
  for (HGLOBAL bogus : {h, HGLOBAL(&local), HGLOBAL(0x1234), INVALID_HANDLE_VALUE}) {
    EXPECT_REFUSED(GlobalLock(bogus), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GlobalSize(bogus), 0u);
    EXPECT_EQ(GlobalFree(bogus), bogus);
    EXPECT_EQ(GlobalReAlloc(bogus, 8, GMEM_MOVEABLE), nullptr);
    EXPECT_FALSE(GlobalUnlock(bogus));
  }

  // A fixed block is its own address and moves only when the caller allows it.
  h = GlobalAlloc(GPTR, 4);
  ASSERT_NE(h, nullptr);
  std::memcpy(h, "abcd", 4);
  EXPECT_EQ(GlobalReAlloc(h, 1 << 16, 0), nullptr);
  HGLOBAL moved = GlobalReAlloc(h, 1 << 16, GMEM_MOVEABLE);
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(std::memcmp(moved, "abcd", 4), 0);
  EXPECT_EQ(GlobalFree(moved), nullptr);
  EXPECT_REFUSED(GlobalAlloc(GMEM_MOVEABLE | GMEM_MODIFY, 8), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GlobalAlloc(GHND, SIZE_MAX), nullptr) << "a huge request fails instead of wrapping";
}

}  // namespace
