// Interface of the suite's decrypted-file monitor: a class registered in the registry as an
// in-process server, with one dispatch-based interface whose only own method tells the
// monitor about a file that a container's view decrypted into a private folder and is about
// to open. From then on edits the user saves in that file are stored back into the container
// entry it came from, and the plain copy is removed once no program holds it any more.
//
// The class lives in libqvmonitorsvc.so and hands each request to the user's monitor process
// (qvmonitor, beside the library), which it starts when none runs.
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
