// `qvclient encrypt PATH` and `qvclient decrypt PATH`: the extension's encryption and
// decryption of one file or folder, run by the product library's DllDoEncryptDecrypt with its
// dialogs (verification, Confirm Replace, progress) shown through the terminal back end.
//
// These two commands keep the library's answer as the exit code (0 when every item
// succeeded, 1 otherwise), so their usage errors exit with 2, not with qvclient's usual 1.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/LastError.h"
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

// What stops the operation before anything is asked: a PATH that cannot be reached, no user
// store, a password file that cannot be used. Empty when nothing does.
std::string ProblemBeforeStart(const std::string& path) {
  struct stat facts {};
  if (lstat(path.c_str(), &facts) != 0) {
    const std::string shown = Printable(path);
    if (errno == ENOENT || errno == ENOTDIR) return shown + " does not exist; check the PATH";
    if (errno == ENAMETOOLONG)
      return shown.substr(0, 80) +
             "... is longer than the system allows (255 bytes a name, 4095 a path)";
    return "cannot reach " + shown + ": " + std::strerror(errno);
  }
  if (std::string missing = MissingUserStore(); !missing.empty()) return Printable(missing);
  return Printable(QvPasswordFileProblem());
}

// The encrypted name whose plain name stands in the way of a decryption, or "".
std::string ExistingTarget(const std::string& path) {
  for (const char* suffix : {".qvf", ".qvef"}) {
    const std::size_t length = std::strlen(suffix);
    if (path.size() <= length || strcasecmp(path.c_str() + path.size() - length, suffix) != 0)
      continue;
    const std::string target = path.substr(0, path.size() - length);
    struct stat facts {};
    if (lstat(path.c_str(), &facts) == 0 && lstat(target.c_str(), &facts) == 0) return target;
  }
  return {};
}

int Run(int argc, char** argv, const char* usage) {
  const std::string command = argv[1];
  const bool encrypt = command == "encrypt";
  ProductRunOptions options;
  std::vector<std::string> words;
  // The command word itself is skipped: the options are read from the rest.
  const int parsed =
      ParseProductRunOptions(argc - 1, argv + 1, usage, &options, &words, OperationUsage);
  if (parsed >= 0) return parsed;
  if (words.empty()) return OperationUsage(command + " needs the PATH of a file or folder");
  if (words.size() > 1) return OperationUsage(command + " takes one PATH");
  if (words[0].empty()) return OperationUsage("the PATH is empty");
  if (const char* conflict = options.Conflict()) return OperationUsage(conflict);

  ProductLibrary library("qvclient");
  DoEncryptDecryptFunction* doEncryptDecrypt = nullptr;
  const int found = library.Find("DllDoEncryptDecrypt", &doEncryptDecrypt);
  if (found != 0) return found;
  const std::string path = AbsolutePath(words[0]);
  if (const std::string problem = ProblemBeforeStart(path); !problem.empty())
    return ClientFailure(kOperationFailed, problem);

  ProductDialogs dialogs("qvclient", options.Replace());
  if (!PrepareProductRun("qvclient", options, dialogs)) return kOperationFailed;

  std::fflush(nullptr);
  const int result = doEncryptDecrypt(path.c_str(), encrypt ? 1u : 0u);
  const DWORD lastError = GetLastError();
  std::fflush(nullptr);
  if (result == 1) return kClientDone;
  if (lastError == ERROR_CANTWRITE) {
    return ClientFailure(kOperationFailed, UnwrittenAuditRecord(path) +
                                               "; the rows above show what happened to the files");
  }
  if (const std::string target = encrypt ? std::string() : ExistingTarget(path); !target.empty()) {
    return ClientFailure(kOperationFailed, "nothing was decrypted: " + Printable(target) +
                                               " exists (--yes-to-all replaces it)");
  }
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
