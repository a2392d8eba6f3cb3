// Pasting what a container's view copied or cut (Ctrl+C, Ctrl+X) into a destination, as the
// file manager does: a plain folder receives the virtual files through its own receiver
// (ReceiveIntoPlainFolder), which asks before it replaces anything; a folder inside a
// container gets them, staged first in a private folder, through the container's drop target,
// and the source hears of a move only once everything is stored. A cut removes from its
// container only what arrived.
#pragma once

#include <string>

#include "host/PlainFolderDrop.h"
#include "host/ReceiptProgressLine.h"
#include "platform/ole/DataObject.h"

// Pastes `data`, a copy or a cut as its "Preferred DropEffect" says, into `dest`: a plain
// folder, or a container or a folder inside one (/home/u/Box.qvef/Docs). Prints progress and
// what arrived; messages name `command`. Returns qvx's exit code: 0 everything arrived (and a
// cut's sources are gone), 1 not everything (the messages say what), 2 `dest` is no folder.
int PasteInto(IDataObject* data, const std::string& dest, const char* command);

// The effect `data` offers as "Preferred DropEffect"; a copy when it names none.
DWORD PreferredEffectOf(IDataObject* data);
// Whether `path` is a container file or runs through one (Box.qvef, Box.qvef/Docs).
bool IsContainerPlace(const std::string& path);
// "1 item", "3 items".
std::string Plural(std::size_t count, const char* what);
// The user's answer to a name taken in a plain folder: asked on the terminal, else the
// existing file is kept.
ReplaceAnswer AskReplace(const std::string& path);
// Sets `options` to show the receipt's progress on `line` and to ask before a name is replaced
// (AskReplace, with the line ended first); `line` must outlive the receipt.
void ShowReceiptOn(ReceiptProgressLine& line, PlainFolderDropOptions* options);
// Prints what a plain folder received (`received` is ReceiveIntoPlainFolder's result, `move`
// whether a move was asked for); the exit code.
int ReportReceipt(const PlainFolderDropResult& result, HRESULT received, bool move,
                  const std::string& dest, const char* command);
