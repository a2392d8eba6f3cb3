// qvx copy, qvx move and qvx drag: files and folders between plain folders and containers, as
// a user moves them with the file manager.
//
// Out of a container the items are selected in a view of the folder holding them and copied or
// cut with the view's own keys (Ctrl+C, Ctrl+X), or dragged out of its list; the data object
// the view hands out is then pasted or dropped into the destination. A plain folder receives
// it through the file manager's own receiver (ReceiveIntoPlainFolder), which asks before it
// replaces anything; a folder inside a container receives the files, staged first in a private
// folder, through the container's drop target. Into a container plain files go through the
// drop target as a paste or drop does (CopyIntoContainer). A cut removes from its source only
// what arrived.
#pragma once

// Runs "qvx copy|move SRC... DEST" and "qvx drag [--ctrl|--shift] SRC... DEST" (argv[1] is
// the command); returns qvx's exit code.
int RunTransferCommand(int argc, char** argv);
