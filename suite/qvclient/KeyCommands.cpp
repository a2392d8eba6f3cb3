// qvclient export-key and import-key. Both verify the user first (the key's secret half is
// readable, and a new one can be sealed, only in a process where the user passed
// verification), then ask the password of the key file: a password of its own, never the
// log-on password's file or standard input. Also the changes that need the user's
// verification (default-key, and the settings of StoreCommands.cpp) and the key listings with
// their fingerprints.
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/MachineRoot.h"
#include "suite/QvKeyBlob.h"
#include "suite/QvUserApi.h"
#include "suite/qvclient/ClientCommands.h"
#include "suite/qvprofile/KeyFile.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvverify/PasswordSource.h"
#include "suite/qvverify/SuiteProgram.h"

namespace {

constexpr PasswordRefusal kKeyFilePasswordRefusal{kClientCancelled, "cancelled", kClientVerify,
                                                  "no password for the key file: "};

// Starts the services and verifies `user`; kClientDone when the user passed.
int Verify(SuiteProgram& program, const QvUserInfo& user, const char* title, const char* prompt) {
  std::string error;
  program.InstallTerminal();
  if (!program.Start(&error)) return ClientFailure(kClientStore, error);
  if (!user.hasPassword)
    return ClientFailure(
        kClientVerify,
        Printable(user.userId) + " has no password enrolled; enroll again with qvenroll");
  if (!program.CanAskPassword())
    return ClientFailure(kClientVerify,
                         "there is no terminal to ask for your password; put it in a file only "
                         "you can read and name it in QV_PASSWORD_FILE, or pass --password-stdin");
  CUserData* userData = program.UserData();
  IdentityHolder holder(userData);
  UserIdentity& identity = holder.identity;
  char* id = const_cast<char*>(user.userId.c_str());
  identity.userId = id;
  if (!userData->LookUpUserById(&identity, 0, 1))
    return ClientFailure(kClientNotFound, "no such user " + Printable(user.userId));
  DWORD word = 0;
  const DWORD result = userData->VerifyUser(&identity, 3, title, prompt, &word);
  switch (result) {
    case kVerifyPassed:
      return kClientDone;
    case kVerifyNotValidated:
      return word == kVerifyOutCancelled
                 ? ClientFailure(kClientCancelled, "cancelled")
                 : ClientFailure(kClientVerify, "the password is not correct");
    case kVerifyBusy:
      return ClientFailure(kClientVerify,
                           "another verification of this user is in progress; try again when it "
                           "has finished");
    default:
      return ClientFailure(kClientVerify, word == kVerifyOutNoInput
                                              ? "no password could be read (check QV_PASSWORD_FILE)"
                                              : "the user cannot be verified");
  }
}

// Refuses, before the user is verified, a run that could not be given the key file's password.
int KeyFilePasswordUnavailable() {
  const std::string problem = QvKeyFilePasswordProblem();
  return problem.empty() ? kClientDone
                         : ClientFailure(kClientVerify, "no password for the key file: " + problem);
}

bool MakePrivateFolder(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

int ExportKey(const std::optional<std::string>& userArg, const std::optional<std::string>& keyName,
              const std::optional<std::string>& out, bool force) {
  std::string error;
  QvUserStore* store = QvSharedUserStore(&error);
  if (store == nullptr) return ClientFailure(kClientStore, "cannot open the user store: " + error);
  QvUserInfo user;
  if (const int found = FindClientUser(*store, userArg, &user); found != kClientDone) return found;

  // Everything that can be refused without the password is refused before it is asked.
  QvKey stored;
  const QvStoreStatus known =
      store->ReadKey(user.userId, keyName ? *keyName : "", nullptr, &stored);
  if (known == QvStoreStatus::NotFound)
    return ClientFailure(kClientNotFound, keyName ? "you have no key named " + Printable(*keyName)
                                                  : std::string("you have no default key"));
  if (known != QvStoreStatus::Ok)
    return ClientFailure(kClientStore, "cannot read your key: " + store->LastError());
  if (!stored.hasStoredSecret)
    return ClientFailure(kClientNotFound, "the store holds only the public half of key " +
                                              Printable(stored.name) + "; nothing to export");
  // By default the file goes where the import of an older key looks, under the name the
  // owner text of the user's encrypted files gives it.
  std::string path;
  if (out) {
    path = *out;
  } else {
    const std::string folder = QvExportFolder();
    if (folder.empty() || !MakePrivateFolder(folder))
      return ClientFailure(kClientStore, "cannot make the export folder; name a file with --out");
    path = folder + "/" + QvKeyFileName(stored.name);
  }
  if (!force && ::access(path.c_str(), F_OK) == 0)
    return ClientFailure(kClientKeyFile, Printable(path) + " exists; add --force to replace it");
  if (const int unavailable = KeyFilePasswordUnavailable()) return unavailable;

  SuiteProgram program;
  if (const int verified =
          Verify(program, user, "Export Key", "Enter your password to export your key.");
      verified != kClientDone)
    return verified;

  CUserData* userData = program.UserData();
  KeyRecord record{};
  userData->InitKeyRecord(&record);
  record.type = kKeyTypeUser;
  record.keyName = const_cast<char*>(stored.name.c_str());
  if (!userData->ReadKey(user.userId.c_str(), &record, 0)) {
    userData->ReleaseKeyRecord(&record);
    return ClientFailure(kClientNotFound, "key " + Printable(stored.name) + " cannot be read");
  }
  QvKeyFileContents contents;
  contents.userId = user.userId;
  contents.keyName = record.keyName != nullptr ? record.keyName : "";
  contents.label = record.keyLabel != nullptr ? record.keyLabel : "";
  contents.blob.assign(record.blob, record.blob + record.blobLength);
  userData->ReleaseKeyRecord(&record);
  bool hasSecret = false;
  if (!IsKeyBlob(contents.blob.data(), contents.blob.size(), &hasSecret) || !hasSecret)
    return ClientFailure(kClientNotFound, "the store holds only the public half of key " +
                                              Printable(contents.keyName) + "; nothing to export");

  QvPasswordReply reply = QvAskPassword({.title = "Export Key",
                                         .prompt = "Choose a password for the exported key file.",
                                         .choose = true,
                                         .keyFile = true});
  if (const int refused = RefusedPassword("qvclient", reply, kKeyFilePasswordRefusal))
    return refused;
  std::vector<std::uint8_t> bytes;
  const QvStoreStatus encoded = QvEncodeKeyFile(contents, reply.password.View(), &bytes);
  reply.password.Clear();
  sodium_memzero(contents.blob.data(), contents.blob.size());
  if (encoded != QvStoreStatus::Ok) return ClientFailure(kClientStore, "cannot seal the key");
  const QvStoreStatus written = QvWriteKeyFile(path, bytes, force, &error);
  if (written == QvStoreStatus::Exists)
    return ClientFailure(kClientKeyFile, Printable(path) + " exists; add --force to replace it");
  if (written != QvStoreStatus::Ok) return ClientFailure(kClientStore, Printable(error));
  std::printf("Exported key %s of %s to %s.\n", Printable(contents.keyName).c_str(),
              Printable(user.userId).c_str(), Printable(path).c_str());
  return kClientDone;
}

int ImportKey(const std::optional<std::string>& userArg, const std::string& file) {
  std::string error;
  QvUserStore* store = QvSharedUserStore(&error);
  if (store == nullptr) return ClientFailure(kClientStore, "cannot open the user store: " + error);
  QvUserInfo user;
  if (const int found = FindClientUser(*store, userArg, &user); found != kClientDone) return found;
  std::vector<std::uint8_t> bytes;
  const QvStoreStatus read = QvReadKeyFile(file, &bytes, &error);
  if (read == QvStoreStatus::NotFound) return ClientFailure(kClientNotFound, Printable(error));
  if (read == QvStoreStatus::InvalidArgument)
    return ClientFailure(kClientKeyFile, Printable(error));
  if (read != QvStoreStatus::Ok) return ClientFailure(kClientStore, Printable(error));
  QvKeyFileContents header;
  if (QvPeekKeyFile(bytes.data(), bytes.size(), &header) != QvStoreStatus::Ok)
    return ClientFailure(kClientKeyFile, Printable(file) + " is not a key file this version reads");
  if (const std::string weak = QvKeyFileWeakness(header); !weak.empty())
    return ClientFailure(kClientKeyFile, Printable(file) + ": " + weak);
  if (const int unavailable = KeyFilePasswordUnavailable()) return unavailable;

  SuiteProgram program;
  if (const int verified =
          Verify(program, user, "Import Key", "Enter your password to import a key.");
      verified != kClientDone)
    return verified;

  QvPasswordReply reply = QvAskPassword({.title = "Import Key",
                                         .prompt = "Enter the password that protects " + file + ".",
                                         .keyFile = true});
  if (const int refused = RefusedPassword("qvclient", reply, kKeyFilePasswordRefusal))
    return refused;
  const DWORD result = QvImportKey(user.userId.c_str(), bytes, reply.password.View());
  reply.password.Clear();
  switch (result) {
    case kImportDone:
      std::printf("Imported the key in %s for %s.\n", Printable(file).c_str(),
                  Printable(user.userId).c_str());
      return kClientDone;
    case kImportWrongPassword:
      return ClientFailure(kClientKeyFile, "the password does not open " + Printable(file) +
                                               " (or the file was altered)");
    case kImportDamaged:
      return ClientFailure(kClientKeyFile,
                           Printable(file) + " is not a key file this version reads");
    default:
      return ClientFailure(kClientKeyFile, Printable(file) +
                                               " holds a key of another user, or you have a "
                                               "different key of the same name");
  }
}

int RunAsVerifiedUser(const QvUserInfo& user, const char* title, const char* prompt,
                      const std::string& what, const QvVerifiedAction& change) {
  SuiteProgram program;
  if (const int verified = Verify(program, user, title, prompt); verified != kClientDone)
    return verified;
  std::string storeError;
  const QvStoreStatus status =
      QvWithVerifiedUser(user.userId.c_str(), [&](QvUserStore& store, const QvMasterKey& key) {
        const QvStoreStatus result = change(store, key);
        if (result != QvStoreStatus::Ok) storeError = store.LastError();
        return result;
      });
  switch (status) {
    case QvStoreStatus::Ok:
      return kClientDone;
    case QvStoreStatus::InvalidArgument:
      return ClientUsage(storeError);
    case QvStoreStatus::NotFound:
      return ClientFailure(kClientNotFound,
                           Printable(storeError.empty() ? what + " is not there" : storeError));
    case QvStoreStatus::NotVerified:
      return ClientFailure(kClientVerify, "your session ended before " + what +
                                              " could be changed; run the command again");
    case QvStoreStatus::Damaged:
      return ClientFailure(kClientStore, Printable(storeError));
    default:
      return ClientFailure(kClientStore, "cannot write " + what + ": " + Printable(storeError));
  }
}

int DefaultKey(const std::optional<std::string>& userArg, const std::string& keyName) {
  std::string error;
  QvUserStore* store = QvSharedUserStore(&error);
  if (store == nullptr) return ClientFailure(kClientStore, "cannot open the user store: " + error);
  QvUserInfo user;
  if (const int found = FindClientUser(*store, userArg, &user); found != kClientDone) return found;
  const int changed =
      RunAsVerifiedUser(user, "Default Key", "Enter your password to change your default key.",
                        "the default key", [&](QvUserStore& verified, const QvMasterKey& key) {
                          return verified.SetDefaultKey(user.userId, keyName, &key);
                        });
  if (changed == kClientDone)
    std::printf("Key %s is the default key of %s now.\n", Printable(keyName).c_str(),
                Printable(user.userId).c_str());
  return changed;
}

// Every row of the user is checked before anything is listed, so that what the user compares
// with others is what the store holds under the user's own key.
int ListOwnKeys(const std::optional<std::string>& userArg) {
  std::string error;
  QvUserStore* store = QvSharedUserStore(&error);
  if (store == nullptr) return ClientFailure(kClientStore, "cannot open the user store: " + error);
  QvUserInfo user;
  if (const int found = FindClientUser(*store, userArg, &user); found != kClientDone) return found;
  std::vector<QvKey> keys;
  std::vector<std::uint8_t> shareKey;
  const int listed =
      RunAsVerifiedUser(user, "List Keys", "Enter your password to list your keys.", "your keys",
                        [&](QvUserStore& verified, const QvMasterKey& key) {
                          QvStoreStatus status = verified.CheckUserRows(user.userId, key);
                          if (status == QvStoreStatus::Ok)
                            status = verified.ListKeys(user.userId, &keys);
                          if (status == QvStoreStatus::Ok &&
                              verified.ReadShareKey(user.userId, &shareKey) != QvStoreStatus::Ok)
                            shareKey.clear();
                          return status;
                        });
  if (listed != kClientDone) return listed;
  std::printf("Keys of %s (checked against the store's MACs):\n", Printable(user.userId).c_str());
  std::printf("%-38s  %-7s  %-6s  %s\n", "NAME", "DEFAULT", "SECRET", "FINGERPRINT");
  for (const QvKey& key : keys)
    std::printf("%-38s  %-7s  %-6s  %s\n", Printable(key.name).c_str(),
                key.isDefault ? "yes" : "no", key.hasStoredSecret ? "yes" : "no",
                QvKeyFingerprint(key.blob).c_str());
  std::printf("Share key: %s\n", shareKey.empty() ? "none" : QvKeyFingerprint(shareKey).c_str());
  std::printf(
      "Other users see this fingerprint with 'qvclient share-keys'; if theirs differs, "
      "the store they read was changed.\n");
  return kClientDone;
}

int ListShareKeys() {
  std::string error;
  QvUserStore* store = QvSharedUserStore(&error);
  if (store == nullptr) return ClientFailure(kClientStore, "cannot open the user store: " + error);
  std::vector<QvUserInfo> users;
  if (store->ListUsers(&users) != QvStoreStatus::Ok)
    return ClientFailure(kClientStore, "cannot read the users: " + store->LastError());
  std::printf("%-11s  %-39s  %s\n", "USER", "FINGERPRINT", "NAME");
  for (const QvUserInfo& user : users) {
    if (user.accountType == QvAccountType::Machine) continue;
    std::vector<std::uint8_t> blob;
    const QvStoreStatus status = store->ReadShareKey(user.userId, &blob);
    const std::string fingerprint = status == QvStoreStatus::Ok         ? QvKeyFingerprint(blob)
                                    : status == QvStoreStatus::NotFound ? "(no share key)"
                                                                        : "(damaged)";
    std::printf("%-11s  %-39s  %s\n", Printable(user.userId).c_str(), fingerprint.c_str(),
                Printable(user.userName).c_str());
  }
  return kClientDone;
}
