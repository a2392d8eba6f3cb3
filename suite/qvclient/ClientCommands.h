// The commands of qvclient, one function each, and what they share: exit codes, messages and
// finding the user a command is about.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"

enum ClientExit {
  kClientDone = 0,
  kClientUsage = 1,
  kClientStore = 2,
  kClientNotFound = 3,
  kClientVerify = 4,
  kClientKeyFile = 5,
  kClientCancelled = 6,
};

// encrypt and decrypt exit with the library's answer, so their usage errors have a code of
// their own; 7 and 8 (the product library cannot be loaded, or lacks the entry point) are
// those of ProductLibrary.h.
enum OperationExit {
  kOperationFailed = 1,
  kOperationUsage = 2,
};

// Print the problem on standard error and return the exit code.
int ClientUsage(const std::string& problem);
int ClientFailure(int code, const std::string& message);

// The user a command is about: `user` (a user id or name), else the current Linux account.
// Returns kClientDone with *info filled, or the exit code after printing why.
int FindClientUser(QvUserStore& store, const std::optional<std::string>& user, QvUserInfo* info);

// Verifies `user` (password file, standard input or prompt) and runs `change` in the verified
// session; every change to a user's settings or keys, and every read that checks the user's
// rows, goes this way. Returns kClientDone, or the exit code after printing why: the
// verification failed, the store was changed outside the program, or `what` cannot be written.
int RunAsVerifiedUser(const QvUserInfo& user, const char* title, const char* prompt,
                      const std::string& what, const QvVerifiedAction& change);

// The suite-running mutex of `edition`.
std::string SuiteMutexName(DWORD edition);
// True while some process holds the suite-running mutex of `edition`, tested as the extension
// tests it.
bool SuiteIsRunning(DWORD edition);

int RunClient();
int StopClient();
int ClientStatus();
int ExportKey(const std::optional<std::string>& user, const std::optional<std::string>& keyName,
              const std::optional<std::string>& out, bool force);
int ImportKey(const std::optional<std::string>& user, const std::string& file);
int ListAudit(const std::optional<std::string>& user, const std::optional<std::string>& event,
              const std::optional<std::string>& since, const std::optional<std::string>& limit);
int Settings(const std::optional<std::string>& user, const std::vector<std::string>& operands);
int SessionTimeout(const std::optional<std::string>& user,
                   const std::optional<std::string>& seconds);
int DefaultKey(const std::optional<std::string>& user, const std::string& keyName);
int ListOwnKeys(const std::optional<std::string>& user);
int ListShareKeys();
// `qvclient encrypt|decrypt PATH [options]` with argv[1] the command; `usage` is printed for
// --help. Returns the exit code.
int EncryptDecrypt(int argc, char** argv, const char* usage);
