// The Linux desktop half of registration: the files through which the user's file managers
// know the two encrypted types and reach the context-menu handler.
//
// Written per user, below the XDG data folder unless said otherwise:
//  - mime/packages/quorvin-qvfolderext.xml: the shared-mime-info types of an encrypted file
//    (*.qvf, and any file that starts with the encrypted file's magic) and of a container
//    (*.qvef, *.qvx; a kind of SQLite database), then update-mime-database;
//  - icons/hicolor/scalable/mimetypes/: one icon per type;
//  - applications/: a desktop entry that opens an encrypted file with Qvshella and one that
//    shows a container's menu with qvx, then update-desktop-database;
//  - the file managers' actions (Dolphin service menu, Nautilus scripts, Nemo actions, and
//    Thunar custom actions merged into the user's own uca.xml below the XDG config folder).
//    Every action only runs "qvx menu --run ITEM -- FILES...", so the handler decides what
//    applies to the selection; the files are handed over as one argument each, quoted the way
//    each file manager expects, and nothing runs through a shell.
//
// A manifest in the machine root lists exactly what was written: each file with the hash of
// its contents, each folder created, and each file merged into. Removal takes exactly that
// back: a file only while it still holds what was written, a folder only when it is empty, and
// in a merged file only our own actions. A file in our way that we did not write (or that was
// changed since) fails registration instead of being overwritten.
#pragma once

#include <string>
#include <vector>

#include "platform/WinTypes.h"

struct DesktopPlaces {
  std::string dataHome;       // XDG data folder, absolute
  std::string configHome;     // XDG config folder, absolute
  std::string qvxProgram;     // absolute path of qvx
  std::string shellaProgram;  // absolute path of Qvshella
  std::string manifestPath;
};

// One item of the context menu an action offers: the argument of "qvx menu --run" and the
// texts shown.
struct DesktopMenuItem {
  std::string id;      // our name for the action ("encrypt")
  std::string runArg;  // the handler's verb, or its menu text when the item has no verb
  std::string label;
  std::string help;
  UINT labelId;  // the string ids of label and help, for the keys written in every language
  UINT helpId;
};

// The places of the current user, with the programs beside the library at `modulePath`.
DesktopPlaces CurrentDesktopPlaces(const std::string& modulePath);
// The menu items the actions offer, with texts in the user's language.
std::vector<DesktopMenuItem> DesktopMenuItems();

// Both calls need `failure` and `warnings` (never null).
//
// Writes every file, records them in the manifest and updates the desktop's databases. On
// failure everything written by this call is taken back and `failure` says what to do.
// Missing update programs and their failures end up in `warnings`.
[[nodiscard]] HRESULT WriteDesktopFiles(const DesktopPlaces& places, std::string* failure,
                                        std::vector<std::string>* warnings);
// Removes what the manifest lists (see above) and then the manifest. Without a manifest there
// is nothing to remove. Files left because they changed are named in `warnings`.
[[nodiscard]] HRESULT RemoveDesktopFiles(const DesktopPlaces& places, std::string* failure,
                                         std::vector<std::string>* warnings);

// How a desktop entry quotes one argument of an Exec key (before the key
// file's own escaping), and how GLib's shell quoting quotes one word: exposed for the tests
// that expand the actions the way the file managers do.
std::string QuoteDesktopExecArgument(const std::string& argument);
std::string QuoteShellWord(const std::string& word);
