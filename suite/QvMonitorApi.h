// Interface of the suite's decrypted-file monitor: a class registered in the registry as an
// in-process server, with one dispatch-based interface whose only own method tells the
// monitor about a file that a container's view decrypted into a private folder and is about
// to open. From then on edits the user saves in that file are stored back into the container
// entry it came from, and the plain copy is removed once no program holds it any more.
//
// The class lives in libqvmonitorsvc.so and hands each request to the user's monitor process
// (qvmonitor, beside the library), which it starts when none runs.
//
// The monitor stores a save back through the second class below, which the product library
// serves (registered with the product): only the product's container store may write a
// container, and only under the folder key of a verified user.
#pragma once

#include "platform/Com.h"
#include "platform/ole/Dispatch.h"

inline constexpr CLSID CLSID_QvDecryptedFileMonitor =
    MakeGuid(0x7E21B94D, 0x5A0C, 0x4D3B, 0x9F, 0x68, 0x2C, 0x1E, 0x8A, 0x47, 0xB0, 0x5D);

struct IQvDecryptedFileMonitor : IDispatch {
  using Base = IDispatch;
  static constexpr IID kIid =
      MakeGuid(0xC4F08A36, 0x91D2, 0x4E7B, 0xA3, 0xC5, 0x6B, 0x0D, 0x2F, 0x19, 0xE8, 0x74);
  // `containerPath`: the container the file is an entry of; `window`: the view's window;
  // `decryptedPath`: the plain copy, in a private folder of the user's runtime area;
  // `lastWriteTime`: the copy's last-write time as the view read it (a FILETIME value);
  // `folderId`, `fileId`: the entry's row; `userId`: the user verified for the container.
  // S_OK once the monitor has taken the file over; E_INVALIDARG for a path it refuses (it
  // never touches a file the view did not make); E_FAIL when no monitor can be reached.
  virtual HRESULT MonitorDecryptedFile(BSTR containerPath, HWND window, BSTR decryptedPath,
                                       ULONGLONG lastWriteTime, DWORD folderId, DWORD fileId,
                                       BSTR userId) = 0;

 protected:
  ~IQvDecryptedFileMonitor() = default;
};

inline constexpr CLSID CLSID_QvDecryptedFileStore =
    MakeGuid(0x5B8E2F71, 0xC3A4, 0x4D96, 0x8E, 0x27, 0x1F, 0x6A, 0xD0, 0x93, 0xB5, 0x4C);

// What StoreDecryptedFile answers besides S_OK (the container holds the bytes, durably) and
// E_INVALIDARG (an argument that names nothing). In every case but S_OK the container is
// unchanged and the plain copy untouched.
// The container is held by another writer or cannot be written just now: ask again later.
inline constexpr HRESULT QV_E_CONTAINER_BUSY = MakeHresult(0x80070021u);  // lock violation
// Nothing (or no container file) is at the container's path any more.
inline constexpr HRESULT QV_E_CONTAINER_GONE = MakeHresult(0x80070002u);  // file not found
// The user was not verified, is not the one the file was opened for, or may not change the
// container (no key for it, or its list of files does not check).
inline constexpr HRESULT QV_E_USER_REFUSED = MakeHresult(0x80070005u);  // access denied
// The entry is no longer in the container (deleted or replaced since the file was opened).
inline constexpr HRESULT QV_E_ENTRY_GONE = MakeHresult(0x80070490u);  // element not found

struct IQvDecryptedFileStore : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid =
      MakeGuid(0x2E9D4C18, 0x7A53, 0x4B0F, 0x9C, 0x61, 0xE4, 0x08, 0x3B, 0x7D, 0x52, 0xA9);
  // Stores the bytes of `plainPath` (a plain copy made by the view) as the new content of the
  // entry (`folderId`, `fileId`) of the container at `containerPath`, for `userId`: the user
  // is verified first (a verification still valid in this process counts), the copy is
  // encrypted under the container's folder key and replaces the entry's image and facts in
  // one transaction, durable before the call returns. Results above.
  virtual HRESULT StoreDecryptedFile(BSTR containerPath, BSTR plainPath, DWORD folderId,
                                     DWORD fileId, BSTR userId) = 0;

 protected:
  ~IQvDecryptedFileStore() = default;
};
