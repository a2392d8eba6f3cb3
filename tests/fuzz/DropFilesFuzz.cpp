// Fuzzes the CF_HDROP parser and DragQueryFile over it: no input may make them read outside
// the block, every name found must end inside it, and both forms must agree on the count.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/ole/GlobalMemory.h"
#include "platform/shell/DragQuery.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DropList list;
  const bool parsed = ParseDropFiles(data, size, &list);
  const std::size_t unit = list.wide ? 2 : 1;
  for (const DropListEntry& entry : list.names)
    if (entry.length == 0 || entry.offset + (entry.length + 1) * unit > size) std::abort();

  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
  if (block == nullptr) return 0;
  if (size != 0) {
    void* bytes = GlobalLock(block);
    std::memcpy(bytes, data, size);
    (void)GlobalUnlock(block);
  }
  const UINT count = DragQueryFileA(block, kDragQueryCount, nullptr, 0);
  if (count != (parsed ? list.names.size() : 0)) std::abort();
  std::vector<char> narrow(64);
  std::vector<char16_t> wide(64);
  for (UINT i = 0; i <= count; ++i) {
    const UINT a = DragQueryFileA(block, i, narrow.data(), static_cast<UINT>(narrow.size()));
    const UINT w = DragQueryFileW(block, i, wide.data(), static_cast<UINT>(wide.size()));
    if (a >= narrow.size() || w >= wide.size()) std::abort();
    if (narrow[a] != '\0' && a != 0) std::abort();
  }
  (void)GlobalFree(block);
  return 0;
}
