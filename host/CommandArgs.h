// Reading qvx's command lines: the help option every command takes, and the one shape of the
// commands that move files between places, "qvx COMMAND [KEY OPTION...] [--] SRC... DEST"
// (copy, move, drag and drop), whose options stand for the keys a hand holds while it drags.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/ole/DragDrop.h"

// "--help" or "-h".
[[nodiscard]] bool IsHelpOption(const char* arg);

// An option that stands for keys held: "--shift" for MK_LBUTTON | MK_SHIFT, say.
struct KeyOption {
  const char* name;
  DWORD keys;
};

struct TransferArguments {
  DWORD keys = 0;  // the MK_* bits of the last key option given, else the default
  std::vector<std::string> sources;
  std::string dest;  // the last path, as given
};

// Reads the arguments after argv[1] (the command's name) into `out`, taking the key options
// in `options` (none given: `defaultKeys`); "--" ends the options. Nothing when `out` is
// filled; else the exit code to end with: kExitOk once `help` was printed for --help, or
// kExitUsage after an unknown option (named, with where to look) or fewer than two paths
// (`help` printed on standard error).
[[nodiscard]] std::optional<int> ReadTransferArguments(int argc, char** argv, const char* help,
                                                       std::span<const KeyOption> options,
                                                       DWORD defaultKeys, TransferArguments* out);
