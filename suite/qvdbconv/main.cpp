// qvdbconv: converts a container written by an earlier version of the suite into the current
// format, in place. The extension starts it with the container's path as the one argument and
// takes exit code 0 as "the path now holds a current container"; every other code leaves the
// file exactly as it was. Messages go to standard error and say what to do next.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "platform/WorkFolders.h"
#include "suite/qvdbconv/Converter.h"
#include "suite/qvdbconv/LegacyFormat.h"

using namespace qvdbconv;

namespace {

constexpr const char kHelp[] =
    "Usage: qvdbconv CONTAINER\n"
    "       qvdbconv --make-sample OUT\n"
    "       qvdbconv --help | --version\n"
    "\n"
    "Converts CONTAINER, an encrypted folder written by an earlier version of the suite, into\n"
    "the current format, in place. The new container is written beside the old one and only\n"
    "replaces it when it is complete, so on any failure the file stays exactly as it was.\n"
    "CONTAINER is one argument even when it holds spaces.\n"
    "\n"
    "  --make-sample OUT  write a small legacy container to OUT (which must not exist)\n"
    "  --help             show this text\n"
    "  --version          show the program's version and the formats it reads and writes\n"
    "\n"
    "Exit codes:\n"
    "  0  converted\n"
    "  2  wrong arguments\n"
    "  3  the file cannot be read (missing, not a regular file, no permission, I/O error)\n"
    "  4  the file is not a legacy container\n"
    "  5  the container is already in the current format (nothing to do)\n"
    "  6  the legacy container is damaged\n"
    "  7  the legacy container was written by a newer version of the suite\n"
    "  8  the converted container cannot be written (folder not writable, disk full)\n"
    " 70  internal error\n";

// What the user can do about each failure.
const char* Advice(int code) {
  switch (code) {
    case kExitCannotRead:
      return "Check the path and that you may read the file, then run qvdbconv again.";
    case kExitNotLegacy:
      return "Only encrypted folders written by earlier versions of the suite can be converted. "
             "The file was not changed.";
    case kExitAlreadyCurrent:
      return "The container can be opened as it is. The file was not changed.";
    case kExitDamaged:
      return "The file was not changed. Restore the container from a backup and convert that "
             "copy.";
    case kExitNewerVersion:
      return "Open it with the version of the suite that wrote it. The file was not changed.";
    case kExitCannotWrite:
      return "The file was not changed. Make sure its folder is writable and has room for a "
             "second copy of the container, then run qvdbconv again.";
    default:
      return "The file was not changed. Please report this problem.";
  }
}

int Usage(const char* problem) {
  std::fprintf(stderr, "qvdbconv: %s\nRun 'qvdbconv --help' for usage.\n", problem);
  return kExitUsage;
}

int Report(const std::string& path, const ConversionError& error) {
  std::fprintf(stderr, "qvdbconv: %s: %s.\n%s\n", path.c_str(), error.what(), Advice(error.Code()));
  return error.Code();
}

int Run(int argc, char** argv) {
  if (sodium_init() < 0) {
    std::fprintf(stderr, "qvdbconv: the cryptographic library cannot start.\n%s\n",
                 Advice(kExitInternal));
    return kExitInternal;
  }
  if (argc < 2) return Usage("no container given");
  const std::string first = argv[1];
  if (first == "--help" || first == "-h") {
    if (argc != 2) return Usage("--help takes no argument");
    std::fputs(kHelp, stdout);
    return kExitConverted;
  }
  if (first == "--version") {
    if (argc != 2) return Usage("--version takes no argument");
    std::printf(
        "qvdbconv %s: reads legacy containers (format %u), writes containers of "
        "schema version 2\n",
        QV_PROGRAM_VERSION, static_cast<unsigned>(kLegacyVersion));
    return kExitConverted;
  }
  if (first == "--make-sample") {
    if (argc != 3) return Usage("--make-sample needs exactly one output path");
    try {
      WriteSample(argv[2]);
    } catch (const ConversionError& error) {
      std::fprintf(stderr, "qvdbconv: %s: %s.\nChoose a new file in a writable folder.\n", argv[2],
                   error.what());
      return error.Code();
    }
    std::printf("qvdbconv: wrote a sample legacy container to %s\n", argv[2]);
    return kExitConverted;
  }
  int index = 1;
  if (first == "--")
    ++index;
  else if (first.size() > 1 && first[0] == '-')
    return Usage(
        ("unknown option " + first + " (a container named so can be given as ./" + first + ")")
            .c_str());
  if (argc - index != 1)
    return Usage(argc - index == 0 ? "no container given"
                                   : "give exactly one container; a path with spaces is one "
                                     "argument (quote it in a shell)");
  const std::string path = argv[index];
  if (path.empty()) return Usage("the container path is empty");
  try {
    const ConversionSummary summary = ConvertInPlace(path);
    std::printf("qvdbconv: converted %s (%zu folders, %zu files).\n", summary.path.c_str(),
                summary.folders, summary.files);
    return kExitConverted;
  } catch (const ConversionError& error) {
    return Report(path, error);
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    // What interrupted operations left in their work folders goes first (as in every
    // program of the suite).
    (void)QvSweepWorkFolders();
    return Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "qvdbconv: internal error: %s.\n%s\n", error.what(),
                 Advice(kExitInternal));
  } catch (...) {
    std::fprintf(stderr, "qvdbconv: internal error.\n%s\n", Advice(kExitInternal));
  }
  return kExitInternal;
}
