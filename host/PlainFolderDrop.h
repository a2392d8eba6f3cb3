// The file manager's own receiver for a plain folder: what happens when virtual files (a
// file group descriptor plus one "FileContents" stream per file) are pasted or dropped into
// an ordinary folder.
//
// Every entry name comes from the source and is untrusted: "\" and "/" both separate
// folders; "." components are skipped; an absolute name, an empty component, "..", or a
// component with a control character is refused and nothing is written for it. Each file is
// read to the end of its stream into an exclusive temporary name beside its final place,
// flushed, checked against the size the descriptor announced, and only then renamed to its
// name without replacing anything; a name that exists is put to the user through
// `confirmReplace`. The effect reported back (and set on the data object as "Performed
// DropEffect") is a move only when the caller asked for one and every entry arrived (or, for
// a source that deletes only what was read through, every entry that did not arrive was never
// read through), so a source never deletes a file that did not arrive.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/ole/ClipboardFormats.h"

// The user's answer when a received file's name is taken.
enum class ReplaceAnswer { kYes, kNo, kYesToAll, kNoToAll };

// How far a receipt is: files (folders are not counted) handled so far, whether they arrived
// or not, and the bytes read of the sizes the descriptors announced.
struct ReceiptProgress {
  std::size_t filesDone = 0;
  std::size_t files = 0;
  std::uint64_t bytesDone = 0;
  std::uint64_t bytes = 0;
};

struct PlainFolderDropOptions {
  DWORD requestedEffect = DROPEFFECT_COPY;  // DROPEFFECT_MOVE for a cut paste or Shift-drop
  // The source deletes on a move only files whose contents were read to their end (as a
  // container's data object does). A requested move is then reported even when some entries
  // failed, as long as none of those was read through: their rows stay in the source.
  bool sourceMovesReadFilesOnly = false;
  // Asked with the full path of an existing file; without it nothing is replaced.
  std::function<ReplaceAnswer(const std::string& path)> confirmReplace;
  // Told on the receiving thread once before the first entry, after each chunk a file's
  // contents arrive in, and after each file.
  std::function<void(const ReceiptProgress&)> progress;
};

struct PlainFolderDropResult {
  DWORD performedEffect = DROPEFFECT_NONE;
  std::size_t arrived = 0;  // files and folders now in place
  std::size_t skipped = 0;  // names taken that the user chose to keep
  // What the source answered when told the performed effect: a failure after a move means
  // it could not remove everything that arrived.
  HRESULT sourceAnswer = S_OK;
  // One line per entry that did not arrive: its name as sent and why.
  std::vector<std::string> failures;
};

// Receives the files `data` offers into the folder `destination`. S_OK when every entry
// arrived or was skipped by the user's choice; S_FALSE when some failed (see `failures`);
// DV_E_FORMATETC when the object offers no file group descriptor; E_INVALIDARG for a
// descriptor that does not parse or a missing argument.
[[nodiscard]] HRESULT ReceiveIntoPlainFolder(IDataObject* data, const std::string& destination,
                                             const PlainFolderDropOptions& options,
                                             PlainFolderDropResult* result) noexcept;

// Tells the source `data` what was done with its files ("Performed DropEffect"); its answer
// (a failure after a move: it could not remove everything).
[[nodiscard]] HRESULT ReportPerformedEffect(IDataObject* data, DWORD effect);

// The folder components of an entry name as sent, or false when the name is refused.
[[nodiscard]] bool SplitReceivedName(const std::string& name, std::vector<std::string>* parts);
