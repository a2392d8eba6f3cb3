// The task allocator: CoTaskMemAlloc and its kin, the IMalloc interface and the shared
// allocator that SHGetMalloc hands out. Memory that one module allocates and another frees
// (item identifiers, strings handed out through interfaces) comes from here.
//
// Blocks carry a hidden 16-byte header holding their size, so IMalloc::GetSize works. Freeing a
// pointer that did not come from this allocator is caught by a cookie in that header and ends
// the process (as heap corruption would on Windows) instead of corrupting the heap.
#pragma once

#include "platform/Com.h"
#include "platform/WinTypes.h"

// cb may be 0 (a valid, unique block is returned). Null when out of memory.
QV_API LPVOID CoTaskMemAlloc(SIZE_T cb) noexcept;
// pv null: allocates. cb 0 with pv non-null: frees pv and returns null. On failure null is
// returned and pv stays valid.
QV_API LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) noexcept;
// pv may be null.
QV_API void CoTaskMemFree(LPVOID pv) noexcept;

struct IMalloc : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x00000002, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual void* Alloc(SIZE_T cb) = 0;
  virtual void* Realloc(void* pv, SIZE_T cb) = 0;
  virtual void Free(void* pv) = 0;
  // Size requested for the block; (SIZE_T)-1 for null.
  virtual SIZE_T GetSize(void* pv) = 0;
  // 1 = allocated here, 0 = not, -1 = cannot tell. This allocator cannot look at a foreign
  // pointer without reading memory it does not own, so it answers -1 for every pointer.
  virtual int DidAlloc(void* pv) = 0;
  virtual void HeapMinimize() = 0;

 protected:
  ~IMalloc() = default;
};
inline constexpr const IID& IID_IMalloc = IMalloc::kIid;

inline constexpr DWORD MEMCTX_TASK = 1;

// The shared task allocator, with a new reference (it is never destroyed).
[[nodiscard]] QV_API HRESULT SHGetMalloc(IMalloc** ppMalloc) noexcept;
// dwMemContext must be MEMCTX_TASK (E_INVALIDARG otherwise).
[[nodiscard]] QV_API HRESULT CoGetMalloc(DWORD dwMemContext, IMalloc** ppMalloc) noexcept;
