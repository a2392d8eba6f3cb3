// `qvclient encrypt PATH` and `qvclient decrypt PATH`: the extension's encryption and
// decryption of one file or folder, run by the product library's DllDoEncryptDecrypt with its
// dialogs (verification, Confirm Replace, progress) shown through the terminal back end.
//
// These two commands keep the library's answer as the exit code (0 when every item
// succeeded, 1 otherwise), so their usage errors exit with 2, not with qvclient's usual 1.
#include <cstdio>
#include <string>
#include <vector>

#include "suite/qvclient/ClientCommands.h"
#include "suite/qvverify/PasswordSource.h"
#include "suite/qvverify/ProductLibrary.h"
#include "suite/qvverify/SuiteProgram.h"

namespace {

using DoEncryptDecryptFunction = int(const char* path, unsigned int encrypt);

int OperationUsage(const std::string& problem) {
  std::fprintf(stderr, "qvclient: %s\nTry 'qvclient --help'.\n", problem.c_str());
  return kOperationUsage;
}

int Run(int argc, char** argv, const char* usage) {
  const std::string command = argv[1];
  const bool encrypt = command == "encrypt";
  bool yesToAll = false;
  bool noToAll = false;
  bool passwordStdin = false;
  std::vector<std::string> words;
  // The command word itself is skipped: the options are read from the rest.
  const int parsed = ParseProgramOptions(
      argc - 1, argv + 1, usage,
      {ProgramOption::Flag("--yes-to-all", &yesToAll), ProgramOption::Flag("--no-to-all", &noToAll),
       ProgramOption::Flag("--password-stdin", &passwordStdin)},
      &words, OperationUsage);
  if (parsed >= 0) return parsed;
  if (words.empty()) return OperationUsage(command + " needs the PATH of a file or folder");
  if (words.size() > 1) return OperationUsage(command + " takes one PATH");
  if (words[0].empty()) return OperationUsage("the PATH is empty");
  if (yesToAll && noToAll) return OperationUsage("--yes-to-all and --no-to-all exclude each other");

  ProductLibrary library("qvclient");
  DoEncryptDecryptFunction* doEncryptDecrypt = nullptr;
  const int found = library.Find("DllDoEncryptDecrypt", &doEncryptDecrypt);
  if (found != 0) return found;

  const ReplaceAnswer replace = yesToAll  ? ReplaceAnswer::YesToAll
                                : noToAll ? ReplaceAnswer::NoToAll
                                          : ReplaceAnswer::Ask;
  ProductDialogs dialogs("qvclient", replace);
  if (!dialogs.Install())
    return ClientFailure(kOperationFailed, "cannot set up the terminal: out of memory");
  QvReadPasswordFromStdin(passwordStdin);
  if (!dialogs.Interactive() && !QvPasswordSourceIsNonInteractive())
    std::fprintf(stderr,
                 "qvclient: there is no terminal to ask for your password; unless you are "
                 "logged on, put it in a file only you can read and name it in "
                 "QV_PASSWORD_FILE, or pass --password-stdin\n");

  const std::string path = AbsolutePath(words[0]);
  std::fflush(nullptr);
  const int result = doEncryptDecrypt(path.c_str(), encrypt ? 1u : 0u);
  std::fflush(nullptr);
  if (result == 1) return kClientDone;
  std::fprintf(stderr,
               "qvclient: %s %s did not succeed for every item (or verification failed, or it "
               "was cancelled): see above\n",
               encrypt ? "encrypting" : "decrypting", Printable(path).c_str());
  return kOperationFailed;
}

}  // namespace

int EncryptDecrypt(int argc, char** argv, const char* usage) {
  // Memory can only run out before the call (the library's entry point raises nothing); that
  // is reported as a failed operation, never as wrong usage.
  try {
    return Run(argc, argv, usage);
  } catch (...) {
    return ClientFailure(kOperationFailed, "out of memory");
  }
}
