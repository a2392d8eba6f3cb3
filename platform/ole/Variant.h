// VARIANT and SAFEARRAY, declared together because each holds the other: a variant may hold
// an array, and an array's elements may be variants. VariantClear and SafeArrayDestroy, and
// the copies, call each other.
#pragma once

#include "platform/Com.h"
#include "platform/WinTypes.h"
#include "platform/ole/Bstr.h"

inline constexpr HRESULT DISP_E_BADVARTYPE = MakeHresult(0x80020008u);

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

// Shared by the VARIANT and SAFEARRAY code; not for product code.
namespace qv::detail {

// Bytes of one array element of type vt; 0 when vt cannot be an array element.
ULONG ElementSize(VARTYPE vt) noexcept;
// Deep copy of a valid variant into raw storage (nothing is released there).
HRESULT CopyVariantInto(VARIANT& out, const VARIANT& source) noexcept;
// A new BSTR with the bytes of `source`; null when out of memory.
BSTR CopyBstr(BSTR source) noexcept;

}  // namespace qv::detail
