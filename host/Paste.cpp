// Pasting what a container's view copied or cut (see Paste.h).
#include "host/Paste.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host/BrowsePaths.h"
#include "host/ContainerBrowser.h"
#include "host/DropCommand.h"
#include "host/ExitCodes.h"
#include "platform/MachineRoot.h"
#include "platform/WorkFolders.h"

namespace {

namespace fs = std::filesystem;

bool IsPlainFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

DWORD PreferredEffectOf(IDataObject* data) {
  FORMATETC request{static_cast<CLIPFORMAT>(RegisterClipboardFormatA(CFSTR_PREFERREDDROPEFFECT)),
                    nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  STGMEDIUM medium{};
  DWORD effect = DROPEFFECT_COPY;
  if (FAILED(data->GetData(&request, &medium))) return effect;
  if (medium.tymed == TYMED_HGLOBAL && GlobalSize(medium.hGlobal) >= sizeof effect) {
    std::memcpy(&effect, GlobalLock(medium.hGlobal), sizeof effect);
    (void)GlobalUnlock(medium.hGlobal);
  }
  ReleaseStgMedium(&medium);
  return effect;
}

bool IsContainerPlace(const std::string& path) {
  ContainerPlace place;
  CLSID clsid{};
  return SplitContainerPath(
      path, [&](const std::string& prefix) { return IsContainerFile(prefix, &clsid); }, &place);
}

std::string Plural(std::size_t count, const char* what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// The user's answer to a name taken in a plain destination: asked on the terminal, else the
// existing file is kept.
ReplaceAnswer AskReplace(const std::string& path) {
  FILE* terminal = isatty(STDIN_FILENO) ? std::fopen("/dev/tty", "r+") : nullptr;
  if (terminal == nullptr) {
    std::fprintf(stderr, "%s exists: kept (answer on a terminal to replace it)\n", path.c_str());
    return ReplaceAnswer::kNo;
  }
  std::fprintf(terminal, "%s exists. Replace it? [y]es, [n]o, [a]ll, n[o]ne: ", path.c_str());
  std::fflush(terminal);
  char line[16] = {};
  const bool read = std::fgets(line, sizeof line, terminal) != nullptr;
  std::fclose(terminal);
  if (!read) return ReplaceAnswer::kNoToAll;
  switch (line[0]) {
    case 'y':
    case 'Y':
      return ReplaceAnswer::kYes;
    case 'a':
    case 'A':
      return ReplaceAnswer::kYesToAll;
    case 'o':
    case 'O':
      return ReplaceAnswer::kNoToAll;
    default:
      return ReplaceAnswer::kNo;
  }
}

void ShowReceiptOn(ReceiptProgressLine& line, PlainFolderDropOptions* options) {
  options->confirmReplace = [&line](const std::string& path) {
    line.End();
    return AskReplace(path);
  };
  options->progress = [&line](const ReceiptProgress& progress) { line.Show(progress); };
}

// Reports a plain folder's receipt; the exit code.
int ReportReceipt(const PlainFolderDropResult& result, HRESULT received, bool move,
                  const std::string& dest, const char* command) {
  if (FAILED(received)) {
    std::fprintf(stderr,
                 "qvx %s: nothing could be received into %s: the source offered no files (the "
                 "user may not have been verified)\n",
                 command, dest.c_str());
    return kExitFailed;
  }
  for (const std::string& failure : result.failures)
    std::fprintf(stderr, "qvx %s: not received: %s\n", command, failure.c_str());
  int code = result.failures.empty() && result.skipped == 0 ? kExitOk : kExitFailed;
  const bool moved = result.performedEffect == DROPEFFECT_MOVE;
  if (move && moved && FAILED(result.sourceAnswer)) {
    if (result.failures.empty())
      std::fprintf(stderr,
                   "qvx %s: everything arrived in %s, but not all of it could be removed from "
                   "the container; check with qvx ls and remove the rest with qvx rm\n",
                   command, dest.c_str());
    else
      std::fprintf(stderr,
                   "qvx %s: the files that did not arrive stay in the container, and so do its "
                   "folders; the files that arrived were removed from it\n",
                   command);
    code = kExitFailed;
  } else if (move && !moved && result.arrived != 0) {
    std::fprintf(stderr,
                 "qvx %s: nothing was removed from the container, since an item that was read "
                 "did not arrive; the copies in %s stay\n",
                 command, dest.c_str());
    code = kExitFailed;
  }
  std::printf("%s %s into %s\n", moved ? "Moved" : "Copied", Plural(result.arrived, "item").c_str(),
              dest.c_str());
  if (result.skipped != 0)
    std::printf("kept %s already there\n", Plural(result.skipped, "file").c_str());
  return code;
}

namespace {

int PasteIntoPlainFolder(IDataObject* data, const std::string& dest, bool move,
                         const char* command) {
  PlainFolderDropOptions options;
  options.requestedEffect = move ? DROPEFFECT_MOVE : DROPEFFECT_COPY;
  options.sourceMovesReadFilesOnly = true;
  ReceiptProgressLine line;
  ShowReceiptOn(line, &options);
  PlainFolderDropResult result;
  std::printf("%s into %s ...\n", move ? "moving" : "copying", dest.c_str());
  std::fflush(stdout);
  const HRESULT received = ReceiveIntoPlainFolder(data, dest, options, &result);
  line.End();
  return ReportReceipt(result, received, move, dest, command);
}

// Into a folder inside a container: the files are received into a private staging folder,
// stored from there through the container's drop target, and only then is the source told of
// a move, so that nothing leaves the source before it is stored.
int PasteIntoContainer(IDataObject* data, const std::string& dest, bool move, const char* command) {
  const std::string staging = QvCreateWorkFolder(QvRuntimeDir(), "qvx-paste");
  if (staging.empty()) {
    std::fprintf(stderr, "qvx %s: no private folder could be made in %s; check its space\n",
                 command, QvRuntimeDir().c_str());
    return kExitFailed;
  }
  PlainFolderDropOptions options;  // a copy: the source is told only once all is stored
  ReceiptProgressLine line;
  options.progress = [&line](const ReceiptProgress& progress) { line.Show(progress); };
  PlainFolderDropResult result;
  std::printf("%s into %s ...\n", move ? "moving" : "copying", dest.c_str());
  std::fflush(stdout);
  const HRESULT received = ReceiveIntoPlainFolder(data, staging, options, &result);
  line.End();
  int code = kExitFailed;
  if (FAILED(received) || !result.failures.empty()) {
    for (const std::string& failure : result.failures)
      std::fprintf(stderr, "qvx %s: not received: %s\n", command, failure.c_str());
    std::fprintf(stderr, "qvx %s: nothing was stored in %s and nothing was removed\n", command,
                 dest.c_str());
  } else {
    std::vector<std::string> staged;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(staging, error))
      staged.push_back(entry.path().string());
    code = CopyIntoContainer(staged, dest, true, command);
    if (code == kExitOk && move && FAILED(ReportPerformedEffect(data, DROPEFFECT_MOVE))) {
      std::fprintf(stderr,
                   "qvx %s: everything was stored in %s, but not all sources could be removed "
                   "from their container; check with qvx ls\n",
                   command, dest.c_str());
      code = kExitFailed;
    }
  }
  (void)QvRemoveWorkFolder(staging);
  return code;
}

}  // namespace

int PasteInto(IDataObject* data, const std::string& dest, const char* command) {
  const bool move = (PreferredEffectOf(data) & DROPEFFECT_MOVE) != 0 &&
                    (PreferredEffectOf(data) & DROPEFFECT_COPY) == 0;
  if (IsContainerPlace(dest)) return PasteIntoContainer(data, dest, move, command);
  if (!IsPlainFolder(dest)) {
    std::fprintf(stderr, "qvx %s: %s is no folder: create it first\n", command, dest.c_str());
    return kExitUsage;
  }
  char absolute[4096];
  const std::string folder = realpath(dest.c_str(), absolute) != nullptr ? absolute : dest;
  return PasteIntoPlainFolder(data, folder, move, command);
}
