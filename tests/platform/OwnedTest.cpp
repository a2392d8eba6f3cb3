// The owners of handles and holds: what is given back, and when, after a move.
#include <gtest/gtest.h>

#include <utility>

#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/Owned.h"
#include "platform/Sync.h"
#include "tests/common/TestRoot.h"

namespace {

class OwnedTest : public RootedTest {};

bool IsOpen(HANDLE event) { return SetEvent(event) != FALSE; }

TEST_F(OwnedTest, AHandleIsClosedOnceByItsLastOwner) {
  const HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const HANDLE second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  OwnedHandle kept(second);
  {
    OwnedHandle moved(first);
    OwnedHandle owner(std::move(moved));
    EXPECT_FALSE(moved.Valid());
    {
      // A moved-from owner that goes first must leave the handle to its new owner.
      OwnedHandle gone(std::move(owner));
      owner = std::move(gone);
    }
    EXPECT_TRUE(IsOpen(first));
    // Taking another handle closes the one held before.
    owner = std::move(kept);
    EXPECT_FALSE(IsOpen(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(IsOpen(second));
  }
  EXPECT_FALSE(IsOpen(second));
}

TEST_F(OwnedTest, AMutexHoldIsReleasedOnceByItsLastOwner) {
  const HANDLE mutex = CreateMutexA(nullptr, FALSE, "OwnedTestMutex");
  ASSERT_NE(mutex, nullptr);
  OwnedHandle handle(mutex);
  ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  {
    HeldMutex first(mutex);
    HeldMutex second(std::move(first));
  }
  // Two levels were taken and one hold given back: exactly one level is left.
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
}

}  // namespace
