// OLE data types: the task allocator (CoTaskMem*, IMalloc, SHGetMalloc), BSTR, the UTF-8 /
// UTF-16 conversions used at COM boundaries, VARIANT, SAFEARRAY and HGLOBAL memory blocks.
//
// Names, values and contracts are those of the Windows API, so that product code that builds
// VARIANT row arrays, hands out item identifiers or fills clipboard blocks reads as it would
// on Windows. Where Linux has to choose, the choice is written next to the declaration.
#pragma once

#include <climits>
#include <string>
#include <string_view>

#include "platform/Com.h"
#include "platform/WinTypes.h"

// Win32 status codes that only the functions of this header report.
inline constexpr LSTATUS ERROR_NOT_LOCKED = 158;
inline constexpr LSTATUS ERROR_INVALID_FLAGS = 1004;
inline constexpr LSTATUS ERROR_NO_UNICODE_TRANSLATION = 1113;

inline constexpr HRESULT DISP_E_BADVARTYPE = MakeHresult(0x80020008u);

// ---------------------------------------------------------------------------------------------
// Task allocator
//
// Blocks carry a hidden 16-byte header holding their size, so IMalloc::GetSize works. Freeing a
// pointer that did not come from this allocator is caught by a cookie in that header and ends
// the process (as heap corruption would on Windows) instead of corrupting the heap.

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

// ---------------------------------------------------------------------------------------------
// BSTR: UTF-16 text preceded by its length in bytes (4 bytes) and followed by a NUL character.
// A null BSTR is the empty string for every function that reads one. The length may include
// embedded NULs and, through SysAllocStringByteLen, an odd byte count.

using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;

// Copy of a NUL-terminated string; null for null psz or when out of memory.
[[nodiscard]] QV_API BSTR SysAllocString(const OLECHAR* psz) noexcept;
// ui characters from pch (which may hold NULs); pch null gives ui zeroed characters.
[[nodiscard]] QV_API BSTR SysAllocStringLen(const OLECHAR* pch, UINT ui) noexcept;
// len bytes from psz (zeroed when psz is null); SysStringByteLen gives len back.
[[nodiscard]] QV_API BSTR SysAllocStringByteLen(const char* psz, UINT len) noexcept;
// Replaces *pbstr by a copy of psz (psz may point into *pbstr). FALSE when out of memory,
// *pbstr unchanged then.
[[nodiscard]] QV_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) noexcept;
[[nodiscard]] QV_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) noexcept;
QV_API void SysFreeString(BSTR bstrString) noexcept;
// Characters (byte length / 2, rounded down); 0 for null.
QV_API UINT SysStringLen(BSTR pbstr) noexcept;
QV_API UINT SysStringByteLen(BSTR bstr) noexcept;

// ---------------------------------------------------------------------------------------------
// Text conversion. This system's "ANSI" code page is UTF-8: CP_ACP, CP_OEMCP, CP_THREAD_ACP and
// CP_UTF8 all convert between UTF-8 and UTF-16; any other code page is refused with
// ERROR_INVALID_PARAMETER.
//
// As on Windows: a source length of -1 means NUL-terminated and the NUL is converted and
// counted; a destination size of 0 asks for the size needed; a too small destination gives 0
// with ERROR_INSUFFICIENT_BUFFER. Ill-formed input (invalid UTF-8 sequences, each maximal
// invalid subpart; unpaired surrogates) becomes U+FFFD unless MB_ERR_INVALID_CHARS /
// WC_ERR_INVALID_CHARS is given, which makes it fail with ERROR_NO_UNICODE_TRANSLATION. Input
// is never read past the given length.

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_OEMCP = 1;
inline constexpr UINT CP_THREAD_ACP = 3;
inline constexpr UINT CP_UTF8 = 65001;

inline constexpr DWORD MB_PRECOMPOSED = 0x01;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;
inline constexpr DWORD WC_COMPOSITECHECK = 0x200;
inline constexpr DWORD WC_DEFAULTCHAR = 0x40;
inline constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x400;
inline constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;

// dwFlags: MB_PRECOMPOSED (ignored, UTF-8 needs no composition) and MB_ERR_INVALID_CHARS;
// anything else ERROR_INVALID_FLAGS.
[[nodiscard]] QV_API int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                             int cbMultiByte, LPWSTR lpWideCharStr,
                                             int cchWideChar) noexcept;
// With CP_UTF8, lpDefaultChar and lpUsedDefaultChar must be null (ERROR_INVALID_PARAMETER) as
// on Windows. With the other (UTF-8) code pages they are accepted: lpDefaultChar is ignored
// (U+FFFD is the replacement) and *lpUsedDefaultChar tells whether a replacement was made.
// The WC_ flags above are accepted; only WC_ERR_INVALID_CHARS changes anything.
[[nodiscard]] QV_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                             int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                             LPCSTR lpDefaultChar,
                                             BOOL* lpUsedDefaultChar) noexcept;

// Convenience forms for C++ callers (ill-formed input replaced by U+FFFD). Empty on failure.
inline std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return out;
  const int n = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), n, nullptr, 0);
  if (needed <= 0) return out;
  out.resize(static_cast<size_t>(needed));
  if (MultiByteToWideChar(CP_UTF8, 0, text.data(), n, out.data(), needed) != needed) out.clear();
  return out;
}
inline std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return out;
  const int n = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), n, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return out;
  out.resize(static_cast<size_t>(needed));
  if (WideCharToMultiByte(CP_UTF8, 0, text.data(), n, out.data(), needed, nullptr, nullptr) !=
      needed)
    out.clear();
  return out;
}
// A new BSTR holding text converted from UTF-8; null when out of memory or too long.
[[nodiscard]] inline BSTR SysAllocStringFromUtf8(std::string_view text) noexcept {
  if (text.size() > static_cast<size_t>(INT_MAX)) return nullptr;
  const int n = static_cast<int>(text.size());
  const int needed = n == 0 ? 0 : MultiByteToWideChar(CP_UTF8, 0, text.data(), n, nullptr, 0);
  if (n != 0 && needed == 0) return nullptr;
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(needed));
  if (result != nullptr && needed != 0 &&
      MultiByteToWideChar(CP_UTF8, 0, text.data(), n, result, needed) != needed) {
    SysFreeString(result);
    return nullptr;
  }
  return result;
}
inline std::string Utf8FromBstr(BSTR text) {
  return Utf16ToUtf8(std::u16string_view(text == nullptr ? u"" : text, SysStringLen(text)));
}

// ---------------------------------------------------------------------------------------------
// VARIANT and SAFEARRAY

using VARTYPE = std::uint16_t;
using DATE = double;
using SCODE = LONG;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0fff,
};

struct SAFEARRAY;

// Supported types: VT_EMPTY, VT_NULL, VT_I1, VT_I2, VT_I4, VT_I8, VT_UI1, VT_UI2, VT_UI4,
// VT_UI8, VT_INT, VT_UINT, VT_R4, VT_R8, VT_DATE, VT_BOOL, VT_ERROR, VT_BSTR, VT_UNKNOWN,
// VT_ARRAY | (any of those element types, VT_VARIANT included) and VT_BYREF | anything
// (copied as a pointer, never freed). Others give DISP_E_BADVARTYPE.
struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    SAFEARRAY* parray;
    void* byref;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
  };
};
using VARIANTARG = VARIANT;

#define V_VT(X) ((X)->vt)
#define V_I2(X) ((X)->iVal)
#define V_I4(X) ((X)->lVal)
#define V_I8(X) ((X)->llVal)
#define V_UI1(X) ((X)->bVal)
#define V_UI4(X) ((X)->ulVal)
#define V_BOOL(X) ((X)->boolVal)
#define V_DATE(X) ((X)->date)
#define V_BSTR(X) ((X)->bstrVal)
#define V_UNKNOWN(X) ((X)->punkVal)
#define V_ARRAY(X) ((X)->parray)

// Sets VT_EMPTY (and zeroes the value).
QV_API void VariantInit(VARIANTARG* pvarg) noexcept;
// Frees what the variant owns (BSTR, array with its elements, a reference on an IUnknown) and
// leaves VT_EMPTY. DISP_E_BADVARTYPE for an unknown type and DISP_E_ARRAYISLOCKED for a
// locked array, the variant unchanged in both cases.
[[nodiscard]] QV_API HRESULT VariantClear(VARIANTARG* pvarg) noexcept;
// Deep copy of pvargSrc into pvargDest, whose old value is cleared (it must hold a valid
// variant). The copy is made before the destination is cleared, so the source may live inside
// it. On failure the destination is unchanged.
[[nodiscard]] QV_API HRESULT VariantCopy(VARIANTARG* pvargDest,
                                         const VARIANTARG* pvargSrc) noexcept;

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

// Descriptor, laid out as on Windows. Like Windows, rgsabound is stored in reverse order:
// rgsabound[0] is the rightmost (last) dimension given to SafeArrayCreate. Read bounds through
// SafeArrayGetLBound / SafeArrayGetUBound, whose nDim 1 is the leftmost dimension.
//
// Elements are stored with the leftmost index varying fastest: in a 2-D array created with
// bounds {columns, rows}, the element {c, r} lives at
// ((r - lbound_r) * columns + (c - lbound_c)) * cbElements. SafeArrayRedim changes the
// rightmost dimension only, so growing or shrinking rows keeps every remaining element where
// it was.
struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
};
using LPSAFEARRAY = SAFEARRAY*;

inline constexpr USHORT FADF_AUTO = 0x0001;
inline constexpr USHORT FADF_STATIC = 0x0002;
inline constexpr USHORT FADF_EMBEDDED = 0x0004;
inline constexpr USHORT FADF_FIXEDSIZE = 0x0010;
inline constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
inline constexpr USHORT FADF_BSTR = 0x0100;
inline constexpr USHORT FADF_UNKNOWN = 0x0200;
inline constexpr USHORT FADF_VARIANT = 0x0800;

// A new array of vt elements (VT_VARIANT, VT_BSTR, VT_UNKNOWN or a fixed-size type listed at
// VARIANT), every element zeroed (VT_EMPTY, null BSTR, null pointer). rgsabound[0] is the
// leftmost dimension. Null for an unsupported type, cDims 0, a bound whose upper index would
// not fit in a LONG, a size that overflows, or when out of memory.
[[nodiscard]] QV_API SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims,
                                                const SAFEARRAYBOUND* rgsabound) noexcept;
[[nodiscard]] QV_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound,
                                                      ULONG cElements) noexcept;
// Clears every element and frees the array. S_OK for null; DISP_E_ARRAYISLOCKED when locked.
// Only arrays made by this layer (SafeArrayCreate*, SafeArrayCopy) may be destroyed.
[[nodiscard]] QV_API HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept;
// Deep copy (elements copied as by VariantCopy / SysAllocStringByteLen / AddRef).
[[nodiscard]] QV_API HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) noexcept;
// New count and lower bound of the rightmost dimension. Removed elements are cleared, new ones
// are zeroed. DISP_E_ARRAYISLOCKED when locked or fixed-size; E_OUTOFMEMORY on overflow or
// when out of memory (the array is then unchanged).
[[nodiscard]] QV_API HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew) noexcept;
// rgIndices lists one index per dimension, leftmost first. PutElement copies *pv (a VARIANT*
// for VT_VARIANT arrays, the BSTR itself for VT_BSTR, the IUnknown* itself for VT_UNKNOWN, a
// pointer to the value otherwise) over the element, releasing the old one.
[[nodiscard]] QV_API HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices,
                                                 void* pv) noexcept;
// Copies the element out: a VARIANT into *pv (which is overwritten, not cleared: pass an empty
// or uninitialised VARIANT), a new BSTR into *(BSTR*)pv, an AddRef'd pointer into
// *(IUnknown**)pv, the value's bytes otherwise.
[[nodiscard]] QV_API HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices,
                                                 void* pv) noexcept;
// Address of an element (no copy, no lock).
[[nodiscard]] QV_API HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices,
                                                 void** ppvData) noexcept;
// nDim counts from 1 = leftmost dimension. DISP_E_BADINDEX for a dimension out of range.
[[nodiscard]] QV_API HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) noexcept;
[[nodiscard]] QV_API HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) noexcept;
QV_API UINT SafeArrayGetDim(SAFEARRAY* psa) noexcept;
QV_API UINT SafeArrayGetElemsize(SAFEARRAY* psa) noexcept;
[[nodiscard]] QV_API HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept;
// Lock counts are atomic. SafeArrayUnlock on an unlocked array gives E_UNEXPECTED.
[[nodiscard]] QV_API HRESULT SafeArrayLock(SAFEARRAY* psa) noexcept;
[[nodiscard]] QV_API HRESULT SafeArrayUnlock(SAFEARRAY* psa) noexcept;
// Locks the array and hands out pvData; undo with SafeArrayUnaccessData.
[[nodiscard]] QV_API HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) noexcept;
[[nodiscard]] QV_API HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) noexcept;

// ---------------------------------------------------------------------------------------------
// HGLOBAL: global memory blocks, as exchanged through data objects and the clipboard.
//
// A GMEM_FIXED block's handle is its address, as on Windows; a GMEM_MOVEABLE block's handle is
// an opaque value that only GlobalLock turns into an address. Every live handle is kept in a
// table, so a freed or bogus handle fails with ERROR_INVALID_HANDLE instead of touching
// memory. Differences from Windows: every block is zero-filled (GMEM_ZEROINIT is always in
// effect, also for the bytes a GlobalReAlloc adds); a 0-byte block can still be locked; both
// kinds count locks; a block is never moved while it is locked, and a fixed block only when
// GlobalReAlloc is given GMEM_MOVEABLE (otherwise a GlobalReAlloc that would have to move it
// fails with ERROR_NOT_ENOUGH_MEMORY); GMEM_MODIFY is not supported (ERROR_INVALID_PARAMETER).

using HGLOBAL = HANDLE;

inline constexpr UINT GMEM_FIXED = 0x0000;
inline constexpr UINT GMEM_MOVEABLE = 0x0002;
inline constexpr UINT GMEM_NOCOMPACT = 0x0010;
inline constexpr UINT GMEM_NODISCARD = 0x0020;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;
inline constexpr UINT GMEM_MODIFY = 0x0080;
inline constexpr UINT GMEM_DISCARDABLE = 0x0100;
inline constexpr UINT GMEM_SHARE = 0x2000;
inline constexpr UINT GMEM_DDESHARE = 0x2000;
inline constexpr UINT GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;
inline constexpr UINT GPTR = GMEM_FIXED | GMEM_ZEROINIT;

// Null on failure (ERROR_NOT_ENOUGH_MEMORY, or ERROR_INVALID_PARAMETER for unknown flags).
[[nodiscard]] QV_API HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) noexcept;
// Address of the block, lock count + 1. Null with ERROR_INVALID_HANDLE for a bad handle.
[[nodiscard]] QV_API LPVOID GlobalLock(HGLOBAL hMem) noexcept;
// Lock count - 1. TRUE while still locked; FALSE with last error 0 when the count reached 0,
// ERROR_NOT_LOCKED when it was 0 already, ERROR_INVALID_HANDLE for a bad handle.
QV_API BOOL GlobalUnlock(HGLOBAL hMem) noexcept;
// Bytes in the block; 0 with ERROR_INVALID_HANDLE for a bad handle.
QV_API SIZE_T GlobalSize(HGLOBAL hMem) noexcept;
// Null on success (also for a null handle); hMem with ERROR_INVALID_HANDLE for a bad handle.
// A locked block is freed too, as on Windows.
QV_API HGLOBAL GlobalFree(HGLOBAL hMem) noexcept;
// New size; the handle returned is hMem except for a fixed block moved under GMEM_MOVEABLE.
// Null on failure, the block unchanged.
[[nodiscard]] QV_API HGLOBAL GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags) noexcept;
