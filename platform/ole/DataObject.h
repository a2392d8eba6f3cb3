// IDataObject and the records it exchanges: FORMATETC (which format, aspect and medium are
// asked for), STGMEDIUM (the medium handed back, with who frees it) and ReleaseStgMedium.
//
// Global memory and streams are the media backed here; a medium of another kind is released by
// calling its pUnkForRelease, as on Windows, and otherwise left alone.
#pragma once

#include "platform/Com.h"
#include "platform/ole/GlobalMemory.h"

using CLIPFORMAT = WORD;

// Predefined clipboard formats used by the shell.
inline constexpr CLIPFORMAT CF_TEXT = 1;
inline constexpr CLIPFORMAT CF_UNICODETEXT = 13;
inline constexpr CLIPFORMAT CF_HDROP = 15;

inline constexpr DWORD DVASPECT_CONTENT = 1;

inline constexpr DWORD TYMED_NULL = 0;
inline constexpr DWORD TYMED_HGLOBAL = 1;
inline constexpr DWORD TYMED_FILE = 2;
inline constexpr DWORD TYMED_ISTREAM = 4;
inline constexpr DWORD TYMED_ISTORAGE = 8;

inline constexpr HRESULT DV_E_FORMATETC = MakeHresult(0x80040064u);
inline constexpr HRESULT DV_E_TYMED = MakeHresult(0x80040069u);
inline constexpr HRESULT DV_E_LINDEX = MakeHresult(0x80040068u);
inline constexpr HRESULT DV_E_DVASPECT = MakeHresult(0x8004006Bu);
inline constexpr HRESULT OLE_E_ADVISENOTSUPPORTED = MakeHresult(0x80040003u);

struct DVTARGETDEVICE;

struct FORMATETC {
  CLIPFORMAT cfFormat;
  DVTARGETDEVICE* ptd;
  DWORD dwAspect;
  LONG lindex;
  DWORD tymed;
};

struct IStream;

struct STGMEDIUM {
  DWORD tymed;
  union {
    HGLOBAL hGlobal;
    IStream* pstm;
    void* pData;  // the other media, which this system does not produce
  };
  IUnknown* pUnkForRelease;
};

// Frees what the medium holds and empties it: a global block is freed unless
// pUnkForRelease is set, in which case that object is released instead (it owns the data); a
// stream is released, and then pUnkForRelease as well when set, as on Windows.
QV_API void ReleaseStgMedium(STGMEDIUM* medium) noexcept;

struct IEnumFORMATETC;
struct IAdviseSink;
struct IEnumSTATDATA;

struct IDataObject : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x0000010E, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT GetData(FORMATETC* format, STGMEDIUM* medium) = 0;
  virtual HRESULT GetDataHere(FORMATETC* format, STGMEDIUM* medium) = 0;
  virtual HRESULT QueryGetData(FORMATETC* format) = 0;
  virtual HRESULT GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) = 0;
  virtual HRESULT SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) = 0;
  virtual HRESULT EnumFormatEtc(DWORD direction, IEnumFORMATETC** enumerator) = 0;
  virtual HRESULT DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* connection) = 0;
  virtual HRESULT DUnadvise(DWORD connection) = 0;
  virtual HRESULT EnumDAdvise(IEnumSTATDATA** enumerator) = 0;

 protected:
  ~IDataObject() = default;
};
inline constexpr const IID& IID_IDataObject = IDataObject::kIid;
