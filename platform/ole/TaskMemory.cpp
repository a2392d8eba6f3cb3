// The task allocator. Every exported function is noexcept; failure is a null block.
#include "platform/ole/TaskMemory.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

struct alignas(16) TaskHeader {
  size_t size;
  std::uint64_t cookie;
};
static_assert(sizeof(TaskHeader) == 16);
constexpr std::uint64_t kTaskCookie = 0x6b73615476517551ull;
// Larger requests fail before they reach the heap.
constexpr size_t kMaxTaskBytes = static_cast<size_t>(PTRDIFF_MAX) / 2;

TaskHeader* TaskHeaderOf(void* pv) {
  TaskHeader* header = static_cast<TaskHeader*>(pv) - 1;
  if (header->cookie != kTaskCookie) {
    std::fputs("task allocator: block not allocated here or already freed\n", stderr);
    std::abort();
  }
  return header;
}

class TaskAllocator final : public IMalloc {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IMalloc) return E_NOINTERFACE;
    *ppv = static_cast<IMalloc*>(this);
    AddRef();
    return S_OK;
  }
  // The allocator lives as long as the process; its count only reports.
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG current = refs_.load();
    while (current > 1 && !refs_.compare_exchange_weak(current, current - 1)) {
    }
    return current > 1 ? current - 1 : 1;
  }
  void* Alloc(SIZE_T cb) override { return CoTaskMemAlloc(cb); }
  void* Realloc(void* pv, SIZE_T cb) override { return CoTaskMemRealloc(pv, cb); }
  void Free(void* pv) override { CoTaskMemFree(pv); }
  SIZE_T GetSize(void* pv) override {
    return pv == nullptr ? static_cast<SIZE_T>(-1) : TaskHeaderOf(pv)->size;
  }
  int DidAlloc(void*) override { return -1; }
  void HeapMinimize() override {}

 private:
  std::atomic<ULONG> refs_{1};
};

TaskAllocator g_taskAllocator;

}  // namespace

LPVOID CoTaskMemAlloc(SIZE_T cb) noexcept {
  if (cb > kMaxTaskBytes) return nullptr;
  auto* header = static_cast<TaskHeader*>(std::malloc(sizeof(TaskHeader) + cb));
  if (header == nullptr) return nullptr;
  header->size = cb;
  header->cookie = kTaskCookie;
  return header + 1;
}

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) noexcept {
  if (pv == nullptr) return CoTaskMemAlloc(cb);
  if (cb == 0) {
    CoTaskMemFree(pv);
    return nullptr;
  }
  TaskHeader* header = TaskHeaderOf(pv);
  if (cb > kMaxTaskBytes) return nullptr;
  auto* moved = static_cast<TaskHeader*>(std::realloc(header, sizeof(TaskHeader) + cb));
  if (moved == nullptr) return nullptr;
  moved->size = cb;
  return moved + 1;
}

void CoTaskMemFree(LPVOID pv) noexcept {
  if (pv == nullptr) return;
  TaskHeader* header = TaskHeaderOf(pv);
  header->cookie = 0;
  std::free(header);
}

HRESULT SHGetMalloc(IMalloc** ppMalloc) noexcept {
  if (ppMalloc == nullptr) return E_POINTER;
  g_taskAllocator.AddRef();
  *ppMalloc = &g_taskAllocator;
  return S_OK;
}

HRESULT CoGetMalloc(DWORD dwMemContext, IMalloc** ppMalloc) noexcept {
  if (ppMalloc == nullptr) return E_POINTER;
  *ppMalloc = nullptr;
  if (dwMemContext != MEMCTX_TASK) return E_INVALIDARG;
  return SHGetMalloc(ppMalloc);
}
