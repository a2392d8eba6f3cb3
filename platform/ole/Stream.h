// IStream and the memory stream a host hands out for a view's saved state (SHCreateMemStream).
// The stream keeps its bytes in memory; a host that persists them reads them back through
// the interface (Seek, Read, Stat) once the view has written.
#pragma once

#include <cstdint>

#include "platform/Com.h"

union LARGE_INTEGER {
  std::int64_t QuadPart;
};
union ULARGE_INTEGER {
  std::uint64_t QuadPart;
};

inline constexpr DWORD STREAM_SEEK_SET = 0;
inline constexpr DWORD STREAM_SEEK_CUR = 1;
inline constexpr DWORD STREAM_SEEK_END = 2;

// Open modes of a stream or storage.
inline constexpr DWORD STGM_READ = 0x00000000;
inline constexpr DWORD STGM_WRITE = 0x00000001;
inline constexpr DWORD STGM_READWRITE = 0x00000002;

inline constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHresult(0x80030001u);
inline constexpr HRESULT STG_E_ACCESSDENIED = MakeHresult(0x80030005u);
inline constexpr HRESULT STG_E_MEDIUMFULL = MakeHresult(0x80030070u);

struct STATSTG {
  char16_t* pwcsName;  // always null here (STATFLAG_NONAME)
  DWORD type;
  ULARGE_INTEGER cbSize;
};
inline constexpr DWORD STGTY_STREAM = 2;
inline constexpr DWORD STATFLAG_NONAME = 1;

struct ISequentialStream : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x0C733A30, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
  // S_FALSE when fewer than `cb` bytes were left.
  virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

 protected:
  ~ISequentialStream() = default;
};

struct IStream : ISequentialStream {
  using Base = ISequentialStream;
  static constexpr IID kIid =
      MakeGuid(0x0000000C, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  virtual HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) = 0;
  virtual HRESULT SetSize(ULARGE_INTEGER newSize) = 0;
  virtual HRESULT CopyTo(IStream* target, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                         ULARGE_INTEGER* pcbWritten) = 0;
  virtual HRESULT Commit(DWORD flags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD lockType) = 0;
  virtual HRESULT UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD lockType) = 0;
  virtual HRESULT Stat(STATSTG* stat, DWORD flags) = 0;
  virtual HRESULT Clone(IStream** ppstm) = 0;

 protected:
  ~IStream() = default;
};

inline constexpr const IID& IID_ISequentialStream = ISequentialStream::kIid;
inline constexpr const IID& IID_IStream = IStream::kIid;

// A new read-write stream holding a copy of `data` (null: empty), positioned at its start,
// with one reference for the caller. Null when memory runs out.
[[nodiscard]] QV_API IStream* SHCreateMemStream(const BYTE* data, UINT size) noexcept;
