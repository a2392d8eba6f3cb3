// IEnumFORMATETC, the list of formats a data object offers, and a ready enumerator over a
// fixed array of FORMATETC records that any data object can hand out.
#pragma once

#include <vector>

#include "platform/ole/DataObject.h"

inline constexpr DWORD DATADIR_GET = 1;
inline constexpr DWORD DATADIR_SET = 2;

struct IEnumFORMATETC : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x00000103, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  // Copies up to `celt` records from the position and advances past them; S_OK only when all
  // `celt` were copied, else S_FALSE. The number copied goes to `fetched` when given (it may
  // be null only when celt is 1).
  virtual HRESULT Next(ULONG celt, FORMATETC* rgelt, ULONG* fetched) = 0;
  // Advances by `celt`; S_FALSE, stopped at the end, when fewer were left.
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumFORMATETC** enumerator) = 0;

 protected:
  ~IEnumFORMATETC() = default;
};
inline constexpr const IID& IID_IEnumFORMATETC = IEnumFORMATETC::kIid;

// A new enumerator over a copy of the `count` records of `formats` (target devices are not
// copied: every record handed out has ptd null), positioned at the start. Its Clone copies the
// position as well. E_INVALIDARG for a null array with a count, E_POINTER for a null `out`.
[[nodiscard]] QV_API HRESULT SHCreateStdEnumFmtEtc(UINT count, const FORMATETC formats[],
                                                   IEnumFORMATETC** out) noexcept;
