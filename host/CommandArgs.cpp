// qvx's command-line reading (see CommandArgs.h).
#include "host/CommandArgs.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "host/ExitCodes.h"

bool IsHelpOption(const char* arg) {
  return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

std::optional<int> ReadTransferArguments(int argc, char** argv, const char* help,
                                         std::span<const KeyOption> options, DWORD defaultKeys,
                                         TransferArguments* out) {
  const char* command = argv[1];
  *out = TransferArguments{defaultKeys, {}, {}};
  std::vector<std::string> paths;
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    if (optionsEnded || arg[0] != '-' || arg[1] == '\0') {
      paths.emplace_back(arg);
      continue;
    }
    if (IsHelpOption(arg)) {
      std::fputs(help, stdout);
      return kExitOk;
    }
    if (std::strcmp(arg, "--") == 0) {
      optionsEnded = true;
      continue;
    }
    const KeyOption* option = nullptr;
    for (const KeyOption& candidate : options)
      if (std::strcmp(arg, candidate.name) == 0) option = &candidate;
    if (option == nullptr) {
      std::fprintf(stderr, "qvx %s: unknown option %s (see qvx %s --help)\n", command, arg,
                   command);
      return kExitUsage;
    }
    out->keys = option->keys;
  }
  if (paths.size() < 2) {
    std::fputs(help, stderr);
    return kExitUsage;
  }
  out->dest = paths.back();
  paths.pop_back();
  out->sources = std::move(paths);
  return std::nullopt;
}
