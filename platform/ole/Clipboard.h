// The OLE clipboard of this process: a data object is put on it by reference (nothing is
// rendered when it is set), read back by reference, and flushed into a snapshot when its
// source goes away.
//
// Differences from Windows, where Linux has to choose: the clipboard belongs to the process
// (a copy in one host is pasted in the same host); a flush renders only the global-memory
// formats the object lists, never stream formats such as "FileContents", since rendering
// those would decrypt every file at copy time. A flushed clipboard still offers the
// descriptors and drop effects, and its files are gone with their source.
#pragma once

#include "platform/ole/DataObject.h"

inline constexpr HRESULT CLIPBRD_E_CANT_OPEN = MakeHresult(0x800401D0u);

// Puts `data` on the clipboard with a reference of its own, releasing what was there; null
// empties the clipboard. S_OK.
QV_API HRESULT OleSetClipboard(IDataObject* data) noexcept;
// A new reference to what is on the clipboard: the object that was set, or the snapshot a
// flush left. An empty clipboard hands out an object that offers no format, as on Windows.
QV_API HRESULT OleGetClipboard(IDataObject** data) noexcept;
// Renders the global-memory formats of the object on the clipboard into a snapshot that
// replaces it, and releases the object. S_OK also when the clipboard is empty; E_OUTOFMEMORY,
// leaving the object in place, when the snapshot cannot be made.
QV_API HRESULT OleFlushClipboard() noexcept;
// S_OK when `data` is the object on the clipboard now, else S_FALSE.
QV_API HRESULT OleIsCurrentClipboard(IDataObject* data) noexcept;
// A number that changes whenever the clipboard's content changes.
QV_API DWORD GetClipboardSequenceNumber() noexcept;
