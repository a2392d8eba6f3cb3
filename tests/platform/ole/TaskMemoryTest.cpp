// The task allocator: sizes, the shared allocator's lifetime, and a foreign pointer refused.
#include "tests/platform/ole/OleTestSupport.h"

namespace {

TEST(TaskAllocatorTest, SharedAllocatorSizesAndRefusals) {
  IMalloc* allocator = nullptr;
  ASSERT_EQ(SHGetMalloc(&allocator), S_OK);
  void* block = CoTaskMemRealloc(allocator->Alloc(10), 4000);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(allocator->GetSize(block), 4000u);
  CoTaskMemFree(block);  // either entry point frees what the other allocated
  EXPECT_EQ(CoTaskMemAlloc(SIZE_MAX), nullptr);
  // Over-releasing the shared allocator must not destroy it.
  allocator->Release();
  allocator->Release();
  void* stillWorks = allocator->Alloc(8);
  EXPECT_EQ(allocator->GetSize(stillWorks), 8u);
  allocator->Free(stillWorks);
}

TEST(TaskAllocatorDeathTest, FreeingAForeignPointerStopsInsteadOfCorrupting) {
  alignas(16) static char buffer[64] = {};
  EXPECT_DEATH(CoTaskMemFree(buffer + 32), "not allocated here");
}

}  // namespace
