// HGLOBAL blocks, kept in one table so that a freed or bogus handle is refused.
#include "platform/ole/GlobalMemory.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/LastError.h"

namespace {

struct GlobalBlock {
  char* data = nullptr;
  size_t size = 0;
  // Bytes allocated; those between size and capacity are kept zero.
  size_t capacity = 0;
  bool fixed = false;
  ULONG locks = 0;
};

constexpr UINT kGlobalFlags =
    GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_NOCOMPACT | GMEM_NODISCARD | GMEM_DISCARDABLE | GMEM_SHARE;

// Larger requests fail before they reach the heap.
constexpr size_t kMaxGlobalBytes = static_cast<size_t>(PTRDIFF_MAX) / 2;

struct GlobalTable {
  std::mutex mutex;
  std::unordered_map<HGLOBAL, std::unique_ptr<GlobalBlock>> blocks;
};

// Never destroyed: blocks may be freed by code that runs during process exit.
GlobalTable& Globals() {
  static GlobalTable* table = new GlobalTable;
  return *table;
}

// Reports `error` as the thread's last error and gives back the failure result.
template <class Result = HGLOBAL>
Result FailGlobal(LSTATUS error, Result failure = nullptr) {
  SetLastError(static_cast<DWORD>(error));
  return failure;
}

}  // namespace

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) noexcept {
  if ((uFlags & ~kGlobalFlags) != 0) return FailGlobal(ERROR_INVALID_PARAMETER);
  if (dwBytes > kMaxGlobalBytes) return FailGlobal(ERROR_NOT_ENOUGH_MEMORY);
  const size_t capacity = dwBytes == 0 ? 1 : dwBytes;
  auto* data = static_cast<char*>(std::calloc(1, capacity));
  if (data == nullptr) return FailGlobal(ERROR_NOT_ENOUGH_MEMORY);
  try {
    auto block = std::make_unique<GlobalBlock>();
    block->data = data;
    block->size = dwBytes;
    block->capacity = capacity;
    block->fixed = (uFlags & GMEM_MOVEABLE) == 0;
    const HGLOBAL handle = block->fixed ? static_cast<HGLOBAL>(data) : block.get();
    GlobalTable& table = Globals();
    const std::lock_guard guard(table.mutex);
    table.blocks.emplace(handle, std::move(block));
    return handle;
  } catch (...) {
    std::free(data);
    return FailGlobal(ERROR_NOT_ENOUGH_MEMORY);
  }
}

LPVOID GlobalLock(HGLOBAL hMem) noexcept {
  GlobalTable& table = Globals();
  const std::lock_guard guard(table.mutex);
  const auto it = table.blocks.find(hMem);
  if (it == table.blocks.end()) return FailGlobal(ERROR_INVALID_HANDLE);
  ++it->second->locks;
  return it->second->data;
}

BOOL GlobalUnlock(HGLOBAL hMem) noexcept {
  GlobalTable& table = Globals();
  const std::lock_guard guard(table.mutex);
  const auto it = table.blocks.find(hMem);
  if (it == table.blocks.end()) return FailGlobal<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  GlobalBlock& block = *it->second;
  if (block.locks == 0) return FailGlobal<BOOL>(ERROR_NOT_LOCKED, FALSE);
  if (--block.locks != 0) return TRUE;
  SetLastError(ERROR_SUCCESS);
  return FALSE;
}

SIZE_T GlobalSize(HGLOBAL hMem) noexcept {
  GlobalTable& table = Globals();
  const std::lock_guard guard(table.mutex);
  const auto it = table.blocks.find(hMem);
  if (it == table.blocks.end()) return FailGlobal<SIZE_T>(ERROR_INVALID_HANDLE, 0);
  return it->second->size;
}

HGLOBAL GlobalFree(HGLOBAL hMem) noexcept {
  if (hMem == nullptr) return nullptr;
  std::unique_ptr<GlobalBlock> block;
  {
    GlobalTable& table = Globals();
    const std::lock_guard guard(table.mutex);
    const auto it = table.blocks.find(hMem);
    if (it == table.blocks.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return hMem;
    }
    block = std::move(it->second);
    table.blocks.erase(it);
  }
  std::free(block->data);
  return nullptr;
}

HGLOBAL GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags) noexcept {
  if ((uFlags & ~kGlobalFlags) != 0) return FailGlobal(ERROR_INVALID_PARAMETER);
  GlobalTable& table = Globals();
  const std::lock_guard guard(table.mutex);
  const auto it = table.blocks.find(hMem);
  if (it == table.blocks.end()) return FailGlobal(ERROR_INVALID_HANDLE);
  GlobalBlock& block = *it->second;
  if (dwBytes <= block.capacity) {
    if (dwBytes < block.size) std::memset(block.data + dwBytes, 0, block.size - dwBytes);
    block.size = dwBytes;
    return hMem;
  }
  if (dwBytes > kMaxGlobalBytes || block.locks != 0 ||
      (block.fixed && (uFlags & GMEM_MOVEABLE) == 0))
    return FailGlobal(ERROR_NOT_ENOUGH_MEMORY);
  auto* data = static_cast<char*>(std::realloc(block.data, dwBytes));
  if (data == nullptr) return FailGlobal(ERROR_NOT_ENOUGH_MEMORY);
  std::memset(data + block.capacity, 0, dwBytes - block.capacity);
  block.data = data;
  block.size = dwBytes;
  block.capacity = dwBytes;
  if (!block.fixed || data == hMem) return hMem;
  // A moved fixed block's handle is its new address.
  auto node = table.blocks.extract(it);
  node.key() = data;
  table.blocks.insert(std::move(node));
  return data;
}
