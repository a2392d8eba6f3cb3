// libqvprofile.so: the user-data object (CUserData) over the user store, the process's
// session (the one verified user whose secrets this process may read), GetUserDataPtr and
// SetMachineInfo.
//
// The session lasts, across the suite services' stops and starts, until the user's time-out
// has passed since the verification, another user logs on, or QvLogOff. An operation that
// read the user's key with its secret after the verification holds the session: while a
// record handed out with the secret is not released, the time-out does not end it, so an
// operation that runs longer than the time-out does not lose the user's keys half-way. Once
// a session has ended by its time-out, the user's key and share key are "not found" until
// the user is verified again: a key without its secret would only make the caller fail later,
// and silently.
//
// Every change to a user's settings, keys or default key needs that user's verified session
// here: the store seals the user's rows under a key from the master key the session holds, and
// refuses a change without it. Reads in the session check the rows and fail on a row that does
// not match. A setting of a user who is not verified here is read as stored: nothing can check
// it, and it decides no encryption (delegates are added to an item only with the owner's
// secret, which only the owner's session gives, and that session checks the owner's list).
//
// Strings and blobs handed out in records are allocated here and remembered; a release frees
// only what this library allocated, so a caller that put its own text into a record (the
// extension puts a user id or key name there before a look-up) never has it freed under it.
#include <dirent.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform/AsciiCase.h"
#include "platform/Kernel.h"
#include "platform/MessageBox.h"
#include "platform/SecureMemory.h"
#include "suite/QvKeyBlob.h"
#include "suite/QvUserApi.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/KeyFile.h"
#include "suite/qvprofile/StoreCrypto.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"

namespace {

// ---- Allocations handed out in records ----

std::mutex g_allocationLock;
std::unordered_set<const void*>* g_allocations = new std::unordered_set<const void*>;

void* Allocate(size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(g_allocationLock);
  try {
    g_allocations->insert(block);
  } catch (...) {
    std::free(block);
    return nullptr;
  }
  return block;
}

// Frees `block` when this library allocated it; a caller's own block is left alone.
void FreeIfOwned(const void* block, size_t wipeSize = 0) {
  if (block == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(g_allocationLock);
    if (g_allocations->erase(block) == 0) return;
  }
  if (wipeSize != 0) sodium_memzero(const_cast<void*>(block), wipeSize);
  std::free(const_cast<void*>(block));
}

char* CopyText(std::string_view text) {
  char* copy = static_cast<char*>(Allocate(text.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

BYTE* CopyBlob(const std::vector<std::uint8_t>& blob) {
  BYTE* copy = static_cast<BYTE*>(Allocate(blob.size()));
  if (copy != nullptr && !blob.empty()) std::memcpy(copy, blob.data(), blob.size());
  return copy;
}

// Replaces a string field, freeing the old value when it was ours.
bool SetText(char*& field, std::string_view text) {
  char* copy = CopyText(text);
  if (copy == nullptr) return false;
  FreeIfOwned(field);
  field = copy;
  return true;
}

bool FillIdentity(UserIdentity* identity, const QvUserInfo& info) {
  return SetText(identity->userName, info.userName) &&
         SetText(identity->displayName, info.displayName) && SetText(identity->userId, info.userId);
}

std::string_view View(const char* text) { return text != nullptr ? text : std::string_view(); }

std::int64_t WallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// ---- Shared store ----

std::mutex g_storeLock;
QvUserStore* g_store = nullptr;

// The shared store stays open to the end of the process; the audit records it committed last
// are put on disk as the process exits (in a forked child SyncAudit leaves the parent's alone).
void SyncSharedStoreAtExit() {
  if (g_store != nullptr) g_store->SyncAudit();
}

// ---- Hooks and machine identity ----

std::mutex g_hookLock;
const QvAuthHooks* g_hooks = nullptr;

std::mutex g_machineLock;
MachineInfo g_machineInfo{};

const QvAuthHooks* Hooks() {
  std::lock_guard<std::mutex> guard(g_hookLock);
  return g_hooks;
}

class CUserDataImpl final : public CUserData {
 public:
  CUserDataImpl() = default;

  void Refresh() {
    if (QvUserStore* store = QvSharedUserStore()) {
      DWORD edition = 0;
      if (store->GetEdition(&edition) == QvStoreStatus::Ok) EditionCode = edition;
    }
  }
  void LoadModeWord() {
    if (QvUserStore* store = QvSharedUserStore()) {
      DWORD mode = 0;
      if (store->GetModeWord(&mode) == QvStoreStatus::Ok) ModeWord = mode;
    }
  }

  // ---- Session ----

  QvLogOnResult LogOn(const char* userId, std::string_view password) {
    QvUserStore* store = QvSharedUserStore();
    if (store == nullptr || userId == nullptr) return QvLogOnResult::Failed;
    QvUserInfo info;
    QvStoreStatus status = store->FindUserById(userId, &info);
    if (status == QvStoreStatus::NotFound) return QvLogOnResult::UnknownUser;
    if (status != QvStoreStatus::Ok) return QvLogOnResult::Failed;
    auto masterKey = std::make_unique<QvMasterKey>();
    if (!masterKey->Valid()) return QvLogOnResult::Failed;
    status = store->UnlockMasterKey(info.userId, password, masterKey.get());
    switch (status) {
      case QvStoreStatus::Ok:
        break;
      case QvStoreStatus::WrongPassword:
        return QvLogOnResult::WrongPassword;
      case QvStoreStatus::NoPassword:
        return QvLogOnResult::NoPassword;
      case QvStoreStatus::NotFound:
        return QvLogOnResult::UnknownUser;
      default:
        return QvLogOnResult::Failed;
    }
    // The session time-out is taken from the checked row only.
    if (store->FindUserChecked(info.userId, *masterKey, &info) != QvStoreStatus::Ok)
      return QvLogOnResult::Failed;
    {
      std::lock_guard<std::mutex> guard(sessionLock_);
      EndSessionLocked();
      expiredUser_.clear();
      sessionUser_ = info.userId;
      masterKey_ = std::move(masterKey);
      sessionTimeOut_ = info.sessionTimeoutMs;
      SetUserSessionTimeStart();
    }
    (void)store->RecordLogOn(info.userId, WallClockMs());
    return QvLogOnResult::Passed;
  }

  // Back to nobody verified in this process.
  void LogOff() {
    std::lock_guard<std::mutex> guard(sessionLock_);
    EndSessionLocked();
    expiredUser_.clear();
  }

  // ---- Identities ----

  BOOL InitUserIdentity(UserIdentity* identity) override {
    if (identity == nullptr) return FALSE;
    Refresh();
    const QvAccount account = QvCurrentAccount();
    QvUserInfo info;
    QvUserStore* store = QvSharedUserStore();
    if (store != nullptr && store->FindUserByName(account.userName, &info) == QvStoreStatus::Ok)
      return FillIdentity(identity, info) ? TRUE : FALSE;
    // Not enrolled: the account name is known, the user id is empty.
    info = {};
    info.userName = account.userName;
    info.displayName = account.displayName;
    (void)FillIdentity(identity, info);
    return FALSE;
  }

  void ReleaseUserIdentity(UserIdentity* identity) override {
    if (identity == nullptr) return;
    FreeIfOwned(identity->userName);
    FreeIfOwned(identity->displayName);
    FreeIfOwned(identity->userId);
    *identity = {};
  }

  BOOL LookUpUserById(UserIdentity* identity, DWORD, DWORD) override {
    if (identity == nullptr) return FALSE;
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || store->FindUserById(View(identity->userId), &info) != QvStoreStatus::Ok)
      return FALSE;
    return FillIdentity(identity, info) ? TRUE : FALSE;
  }

  BOOL LookUpUserByName(const char* name, UserIdentity* identity, DWORD, DWORD, DWORD) override {
    if (name == nullptr || identity == nullptr) return FALSE;
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || store->FindUserByName(name, &info) != QvStoreStatus::Ok) return FALSE;
    return FillIdentity(identity, info) ? TRUE : FALSE;
  }

  // The second form is asked for the name of a user id (the user registered for an open
  // container), so a user id is looked up first; a user name is taken when no user has that
  // id. A text that is one user's id and another user's name names the first.
  BOOL LookUpUserByAccountName(const char* name, UserIdentity* identity, DWORD, DWORD) override {
    if (name == nullptr || identity == nullptr) return FALSE;
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr) return FALSE;
    QvStoreStatus status = store->FindUserById(name, &info);
    if (status == QvStoreStatus::NotFound) status = store->FindUserByName(name, &info);
    if (status != QvStoreStatus::Ok) return FALSE;
    return FillIdentity(identity, info) ? TRUE : FALSE;
  }

  // After the caller stored a new key (the store makes a user's first key the default): 0
  // when the user has a default key and nothing more is needed; non-zero when not in
  // key-operation mode or the user has no default key, so the caller makes one the default.
  BOOL RegisterNewKey(UserIdentity* identity, DWORD, DWORD) override {
    if (identity == nullptr || ModeWord != kModeKeyOperation) return TRUE;
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || !Resolve(*store, identity, &info)) return TRUE;
    return info.defaultKey.empty() ? TRUE : FALSE;
  }

  // Imports the user's keys exported into <machine root>/export (every key file there whose
  // header names the user) for the verified user; the password is asked once. Returns 0 when
  // at least one key is there afterwards, otherwise a file-encryption status: 4 wrong
  // password, 5 damaged file, 6 not allowed (not in key-operation mode, user not verified in
  // this process, a different key of that name exists), 7 no key file, 507 cancelled.
  BOOL ImportOlderKey(const char* userId, DWORD, DWORD) override {
    if (userId == nullptr || ModeWord != kModeKeyOperation) return kImportNotAuthorized;
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || store->FindUserById(userId, &info) != QvStoreStatus::Ok)
      return kImportNotAuthorized;
    if (!SessionAlive(info.userId)) return kImportNotAuthorized;
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files;
    FindExportedKeys(info.userId, &files);
    if (files.empty()) return kImportNoKeyFile;
    const QvAuthHooks* hooks = Hooks();
    if (hooks == nullptr || hooks->askPassword == nullptr) return kImportNoKeyFile;
    std::string names;
    for (const auto& file : files) names += (names.empty() ? "" : ", ") + file.first;
    const std::string prompt = "Enter the password that protects the exported key " + names + ".";
    std::string password;
    const int answer = hooks->askPassword("Import Key", prompt.c_str(), &password);
    if (answer == IDCANCEL) return kImportCancelled;
    if (answer != IDOK) return kImportNoKeyFile;
    DWORD result = kImportNoKeyFile;
    for (const auto& file : files) {
      const DWORD one = ImportKeyBytes(*store, info.userId, file.second, password);
      if (one == kImportDone || result == kImportNoKeyFile) result = one;
      if (one == kImportDone) break;
    }
    QvWipe(password);
    if (result == kImportDone) (void)store->SetModeWord(kModeKeyImported);
    return static_cast<BOOL>(result);
  }

  // The key files of the export folder whose header names `userId`, by file name.
  static void FindExportedKeys(
      const std::string& userId,
      std::vector<std::pair<std::string, std::vector<std::uint8_t>>>* out) {
    const std::string folder = QvExportFolder();
    if (folder.empty()) return;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() <= 6 || name.compare(name.size() - 6, 6, ".qvkey") != 0) continue;
      std::vector<std::uint8_t> bytes;
      QvKeyFileContents header;
      if (QvReadKeyFile(folder + "/" + name, &bytes, nullptr) == QvStoreStatus::Ok &&
          QvPeekKeyFile(bytes.data(), bytes.size(), &header) == QvStoreStatus::Ok &&
          EqualsIgnoringAsciiCase(header.userId, userId))
        out->emplace_back(name, std::move(bytes));
    }
    closedir(dir);
    std::sort(out->begin(), out->end());
  }

  DWORD ImportKeyBytes(QvUserStore& store, const std::string& userId,
                       const std::vector<std::uint8_t>& bytes, std::string_view password) {
    QvKeyFileContents contents;
    const QvStoreStatus opened = QvDecodeKeyFile(bytes.data(), bytes.size(), password, &contents);
    if (opened == QvStoreStatus::WrongPassword) return kImportWrongPassword;
    if (opened != QvStoreStatus::Ok) return kImportDamaged;
    DWORD result = kImportNotAuthorized;
    if (contents.userId == userId) {
      QvKey key;
      key.name = contents.keyName;
      key.label = contents.label;
      key.blob = contents.blob;
      std::lock_guard<std::mutex> guard(sessionLock_);
      if (SessionAliveLocked(userId)) {
        const QvStoreStatus stored = store.StoreKey(userId, key, masterKey_.get());
        if (stored == QvStoreStatus::Ok) {
          result = kImportDone;
        } else if (stored == QvStoreStatus::Exists) {
          // Importing the same key again is not an error; a different key of that name is.
          QvKey existing;
          if (store.ReadKey(userId, key.name, nullptr, &existing) == QvStoreStatus::Ok &&
              std::memcmp(existing.blob.data() + kKeyBlobPublicOffset,
                          key.blob.data() + kKeyBlobPublicOffset, kKeyBlobKeySize) == 0)
            result = kImportDone;
        }
      }
      SecureZeroMemory(key.blob.data(), key.blob.size());
    }
    SecureZeroMemory(contents.blob.data(), contents.blob.size());
    return result;
  }

  BOOL GetMachineAccountName(char* out, const char*) override {
    if (out == nullptr) return FALSE;
    std::string name = QvHostName() + "$";
    QvUserInfo machine;
    if (QvUserStore* store = QvSharedUserStore();
        store != nullptr && store->MachineAccount(&machine) == QvStoreStatus::Ok)
      name = machine.userName;
    const size_t length = std::min(name.size(), kMachineNameSize - 1);
    std::memcpy(out, name.data(), length);
    out[length] = '\0';
    return TRUE;
  }

  // ---- Verification ----

  DWORD VerifyUser(UserIdentity* identity, DWORD, const char* title, const char* prompt,
                   DWORD* outWord) override {
    return Verify(identity, title, prompt, outWord, false);
  }

  DWORD LogOnAndVerifyUser(UserIdentity* identity, DWORD, const char* title, const char* prompt,
                           DWORD* outWord) override {
    return Verify(identity, title, prompt, outWord, true);
  }

  BOOL IsUserLoggedOn(UserIdentity* identity) override {
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || identity == nullptr || !Resolve(*store, identity, &info)) return FALSE;
    return SessionAlive(info.userId) ? TRUE : FALSE;
  }

  // ---- Settings ----

  void InitSettingRecord(SettingRecord* record) override {
    if (record != nullptr) *record = {};
  }
  void ReleaseSettingRecord(SettingRecord* record) override {
    if (record == nullptr) return;
    FreeIfOwned(record->value);
    *record = {};
  }

  BOOL ReadSetting(const char* userId, SettingRecord* record, DWORD) override {
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    std::string value;
    if (store == nullptr || record == nullptr || userId == nullptr ||
        store->FindUser(userId, &info) != QvStoreStatus::Ok)
      return FALSE;
    {
      std::lock_guard<std::mutex> guard(sessionLock_);
      const bool inSession = SessionAliveLocked(info.userId);
      if (store->ReadSetting(info.userId, record->category, record->id,
                             inSession ? masterKey_.get() : nullptr, &value) != QvStoreStatus::Ok)
        return FALSE;
    }
    return SetText(record->value, value) ? TRUE : FALSE;
  }

  BOOL WriteSetting(const char* userId, SettingRecord* record, DWORD) override {
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || record == nullptr || userId == nullptr ||
        store->FindUser(userId, &info) != QvStoreStatus::Ok)
      return FALSE;
    const std::string value(View(record->value));
    return WithSession(info.userId,
                       [&](QvUserStore& verified, const QvMasterKey& masterKey) {
                         return verified.WriteSetting(info.userId, record->category, record->id,
                                                      value, &masterKey);
                       }) == QvStoreStatus::Ok
               ? TRUE
               : FALSE;
  }

  // ---- Share keys ----

  void InitShareKeyRecord(ShareKeyRecord* record) override {
    if (record == nullptr) return;
    *record = {};
    record->type = kKeyTypeUser;
  }
  void ReleaseShareKeyRecord(ShareKeyRecord* record) override {
    if (record == nullptr) return;
    FreeBlob(record->blob, record->blobLength);
    *record = {};
  }

  // The public half of the user's default key. The user verified in this process gets the
  // key with its secret half instead: the acting user of a sharing change reads their own
  // share key, and adding a user needs the acting user's secret.
  BOOL ReadShareKey(const char* userId, ShareKeyRecord* record, DWORD) override {
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || record == nullptr || userId == nullptr ||
        record->type != kKeyTypeUser || store->FindUser(userId, &info) != QvStoreStatus::Ok)
      return FALSE;
    std::vector<std::uint8_t> blob;
    std::lock_guard<std::mutex> guard(sessionLock_);
    bool found = false;
    if (SessionAliveLocked(info.userId)) {
      QvKey key;
      if (store->ReadKey(info.userId, {}, masterKey_.get(), &key) == QvStoreStatus::Ok) {
        blob = std::move(key.blob);
        found = true;
      }
    } else if (SessionExpiredLocked(info.userId)) {
      return FALSE;
    }
    if (!found && store->ReadShareKey(info.userId, &blob) != QvStoreStatus::Ok) return FALSE;
    BYTE* copy = CopyBlob(blob);
    SecureZeroMemory(blob.data(), blob.size());
    if (copy == nullptr) return FALSE;
    FreeBlobLocked(record->blob, record->blobLength);
    record->blob = copy;
    record->blobLength = static_cast<DWORD>(kKeyBlobSize);
    if (found) HoldLocked(copy);
    return TRUE;
  }

  // ---- Keys ----

  void InitKeyRecord(KeyRecord* record) override {
    if (record == nullptr) return;
    *record = {};
    record->type = kKeyTypeUser;
  }
  void ReleaseKeyRecord(KeyRecord* record) override {
    if (record == nullptr) return;
    FreeIfOwned(record->keyName);
    FreeIfOwned(record->keyLabel);
    FreeBlob(record->blob, record->blobLength);
    *record = {};
  }

  // The key named in the record (none: the default key) of the user. The blob carries the
  // secret half only for the user verified in this process, within the session; such a
  // record holds the session until it is released.
  BOOL ReadKey(const char* userId, KeyRecord* record, DWORD) override {
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || record == nullptr || userId == nullptr ||
        record->type != kKeyTypeUser || store->FindUser(userId, &info) != QvStoreStatus::Ok)
      return FALSE;
    QvKey key;
    std::lock_guard<std::mutex> guard(sessionLock_);
    const bool inSession = SessionAliveLocked(info.userId);
    if (!inSession && SessionExpiredLocked(info.userId)) return FALSE;
    const QvStoreStatus status = store->ReadKey(info.userId, View(record->keyName),
                                                inSession ? masterKey_.get() : nullptr, &key);
    if (status != QvStoreStatus::Ok) return FALSE;
    BYTE* blob = CopyBlob(key.blob);
    SecureZeroMemory(key.blob.data(), key.blob.size());
    if (blob == nullptr || !SetText(record->keyName, key.name) ||
        !SetText(record->keyLabel, key.label)) {
      FreeIfOwned(blob, kKeyBlobSize);
      return FALSE;
    }
    FreeBlobLocked(record->blob, record->blobLength);
    record->blob = blob;
    record->blobLength = static_cast<DWORD>(kKeyBlobSize);
    record->type = key.type;
    if (inSession) HoldLocked(blob);
    return TRUE;
  }

  BOOL StoreKey(const char* userId, KeyRecord* record, DWORD) override {
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || record == nullptr || userId == nullptr || record->blob == nullptr ||
        record->blobLength != kKeyBlobSize || store->FindUser(userId, &info) != QvStoreStatus::Ok)
      return FALSE;
    QvKey key;
    key.name = View(record->keyName);
    key.label = View(record->keyLabel);
    key.type = record->type;
    key.blob.assign(record->blob, record->blob + record->blobLength);
    QvStoreStatus status;
    {
      std::lock_guard<std::mutex> guard(sessionLock_);
      const QvMasterKey* masterKey = SessionAliveLocked(info.userId) ? masterKey_.get() : nullptr;
      status = store->StoreKey(info.userId, key, masterKey);
    }
    SecureZeroMemory(key.blob.data(), key.blob.size());
    return status == QvStoreStatus::Ok ? TRUE : FALSE;
  }

  BOOL MakeDefaultKey(const char* userId, KeyRecord* record) override {
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || record == nullptr || userId == nullptr || record->keyName == nullptr ||
        store->FindUser(userId, &info) != QvStoreStatus::Ok)
      return FALSE;
    const std::string keyName = record->keyName;
    return WithSession(info.userId,
                       [&](QvUserStore& verified, const QvMasterKey& masterKey) {
                         return verified.SetDefaultKey(info.userId, keyName, &masterKey);
                       }) == QvStoreStatus::Ok
               ? TRUE
               : FALSE;
  }

  // Runs `action` with the master key of `userId`'s session; NotVerified when the user is not
  // verified in this process.
  QvStoreStatus WithSession(const std::string& userId, const QvVerifiedAction& action) {
    QvUserStore* store = QvSharedUserStore();
    if (store == nullptr) return QvStoreStatus::Failed;
    std::lock_guard<std::mutex> guard(sessionLock_);
    if (!SessionAliveLocked(userId)) return QvStoreStatus::NotVerified;
    return action(*store, *masterKey_);
  }

  // ---- Audit records ----

  void InitAuditRecord(AuditRecord* record) override {
    if (record != nullptr) std::memset(record, 0, sizeof *record);
  }
  void ReleaseAuditRecord(AuditRecord* record) override {
    if (record != nullptr) std::memset(record, 0, sizeof *record);
  }

  // Texts are taken up to their terminator or the end of their field, whichever comes
  // first, and an empty machine text is the machine identity given to SetMachineInfo.
  BOOL WriteAuditRecord(const char* userId, AuditRecord* record) override {
    QvUserStore* store = QvSharedUserStore();
    if (store == nullptr || record == nullptr) return FALSE;
    QvAuditEntry entry;
    entry.userId = View(userId).substr(0, kMaxUserNameLength);
    entry.machine.assign(record->machine, strnlen(record->machine, sizeof record->machine - 1));
    if (entry.machine.empty()) {
      std::lock_guard<std::mutex> guard(g_machineLock);
      entry.machine.assign(g_machineInfo.id,
                           strnlen(g_machineInfo.id, sizeof g_machineInfo.id - 1));
    }
    entry.path.assign(record->path, strnlen(record->path, sizeof record->path - 1));
    entry.result = record->result;
    entry.eventType = record->eventType;
    entry.time = record->time;
    return store->AddAudit(entry) == QvStoreStatus::Ok ? TRUE : FALSE;
  }

 private:
  // The user an identity names: its user id, else its user name, else the current account.
  static bool Resolve(QvUserStore& store, const UserIdentity* identity, QvUserInfo* info) {
    if (identity != nullptr && identity->userId != nullptr && identity->userId[0] != '\0')
      return store.FindUserById(identity->userId, info) == QvStoreStatus::Ok;
    if (identity != nullptr && identity->userName != nullptr && identity->userName[0] != '\0')
      return store.FindUserByName(identity->userName, info) == QvStoreStatus::Ok;
    return store.FindUserByName(QvCurrentAccount().userName, info) == QvStoreStatus::Ok;
  }

  DWORD Verify(UserIdentity* identity, const char* title, const char* prompt, DWORD* outWord,
               bool logOn) {
    DWORD ignored = 0;
    DWORD& out = outWord != nullptr ? *outWord : ignored;
    out = kVerifyOutAnswered;
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr) return kVerifyDevicesMissing;
    if (!Resolve(*store, identity, &info)) {
      // A user the suite does not know has no credentials to validate; asking again would
      // not change that.
      out = kVerifyOutNoInput;
      return kVerifyNotValidated;
    }
    if (!info.hasPassword) return kVerifyDevicesMissing;
    const QvAuthHooks* hooks = Hooks();
    if (hooks == nullptr || hooks->verify == nullptr) {
      out = kVerifyOutNoInput;
      return kVerifyDevicesMissing;
    }
    const QvVerifyRequest request{info.userId.c_str(), info.userName.c_str(),
                                  title != nullptr ? title : "", prompt != nullptr ? prompt : "",
                                  logOn};
    const DWORD result = hooks->verify(request, &out);
    if (result == kVerifyPassed && identity != nullptr &&
        (identity->userId == nullptr || identity->userId[0] == '\0'))
      (void)FillIdentity(identity, info);
    return result;
  }

  bool SessionAlive(const std::string& userId) {
    std::lock_guard<std::mutex> guard(sessionLock_);
    return SessionAliveLocked(userId);
  }

  // True while `userId` is the verified user and either the time-out (0: none) has not
  // passed since the session start or an operation holds the session; a session found
  // expired is ended here.
  bool SessionAliveLocked(const std::string& userId) {
    if (masterKey_ == nullptr || sessionUser_.empty()) return false;
    const DWORD timeOut = GetUserSessionTimeOutVal();
    if (timeOut != 0 && GetTickCount() - GetUserSessionTimeStart() >= timeOut &&
        heldSecrets_.empty()) {
      expiredUser_ = sessionUser_;
      EndSessionLocked();
      return false;
    }
    return EqualsIgnoringAsciiCase(sessionUser_, userId);
  }

  // True when `userId`'s session ended by its time-out and the user was not verified since.
  bool SessionExpiredLocked(const std::string& userId) const {
    return !expiredUser_.empty() && EqualsIgnoringAsciiCase(expiredUser_, userId);
  }

  void EndSessionLocked() {
    masterKey_.reset();
    sessionUser_.clear();
    heldSecrets_.clear();
  }

  // A blob handed out with the session user's secret holds the session until it is freed.
  void HoldLocked(const void* blob) {
    try {
      heldSecrets_.insert(blob);
    } catch (...) {
      // Without the hold the operation may lose the session at its time-out, as before.
    }
  }

  void FreeBlob(const void* blob, size_t length) {
    std::lock_guard<std::mutex> guard(sessionLock_);
    FreeBlobLocked(blob, length);
  }

  void FreeBlobLocked(const void* blob, size_t length) {
    if (blob == nullptr) return;
    heldSecrets_.erase(blob);
    FreeIfOwned(blob, length);
  }

  std::mutex sessionLock_;
  std::string sessionUser_;
  std::unique_ptr<QvMasterKey> masterKey_;
  std::unordered_set<const void*> heldSecrets_;
  std::string expiredUser_;
};

CUserDataImpl* Instance() {
  // One object per process, never released by its users.
  static CUserDataImpl* instance = [] {
    auto* object = new CUserDataImpl();
    object->LoadModeWord();
    return object;
  }();
  return instance;
}

}  // namespace

// ---- Exported functions ----

DWORD GetUserDataPtr(CUserData** userData) {
  if (userData == nullptr) return ERROR_INVALID_PARAMETER;
  try {
    CUserDataImpl* object = Instance();
    object->Refresh();
    *userData = object;
    return ERROR_SUCCESS;
  } catch (...) {
    *userData = nullptr;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

void SetMachineInfo(MachineInfo info) {
  std::lock_guard<std::mutex> guard(g_machineLock);
  g_machineInfo = info;
  g_machineInfo.id[sizeof g_machineInfo.id - 1] = '\0';
}

void QvSetAuthHooks(const QvAuthHooks* hooks) noexcept {
  std::lock_guard<std::mutex> guard(g_hookLock);
  g_hooks = hooks;
}

QvLogOnResult QvLogOnUser(const char* userId, std::string_view password) noexcept {
  try {
    return Instance()->LogOn(userId, password);
  } catch (...) {
    return QvLogOnResult::Failed;
  }
}

QvLogOnResult QvUserCanVerify(const char* userId) noexcept {
  try {
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || userId == nullptr) return QvLogOnResult::Failed;
    const QvStoreStatus status = store->FindUserById(userId, &info);
    if (status == QvStoreStatus::NotFound) return QvLogOnResult::UnknownUser;
    if (status != QvStoreStatus::Ok) return QvLogOnResult::Failed;
    return info.hasPassword ? QvLogOnResult::Passed : QvLogOnResult::NoPassword;
  } catch (...) {
    return QvLogOnResult::Failed;
  }
}

DWORD QvImportKey(const char* userId, const std::vector<std::uint8_t>& bytes,
                  std::string_view password) noexcept {
  try {
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || userId == nullptr ||
        store->FindUserById(userId, &info) != QvStoreStatus::Ok)
      return kImportNotAuthorized;
    return Instance()->ImportKeyBytes(*store, info.userId, bytes, password);
  } catch (...) {
    return kImportNotAuthorized;
  }
}

QvStoreStatus QvWithVerifiedUser(const char* userId, const QvVerifiedAction& action) noexcept {
  try {
    QvUserStore* store = QvSharedUserStore();
    QvUserInfo info;
    if (store == nullptr || userId == nullptr) return QvStoreStatus::Failed;
    const QvStoreStatus found = store->FindUserById(userId, &info);
    if (found != QvStoreStatus::Ok) return found;
    return Instance()->WithSession(info.userId, action);
  } catch (...) {
    return QvStoreStatus::Failed;
  }
}

void QvLogOff() noexcept {
  try {
    Instance()->LogOff();
  } catch (...) {
  }
}

QvUserStore* QvSharedUserStore(std::string* error) noexcept {
  try {
    std::lock_guard<std::mutex> guard(g_storeLock);
    if (g_store == nullptr) {
      g_store = new QvUserStore();
      (void)std::atexit(SyncSharedStoreAtExit);
    }
    // The store open at the path the environment names is used as it is (every audit record
    // asks for it); only another path needs the folder made and the store opened again.
    if (g_store->IsOpen() && g_store->Path() == QvUserStore::DefaultPath(false)) return g_store;
    const std::string path = QvUserStore::DefaultPath();
    if (g_store->Open(path, QvUserStore::Creation::Never) != QvStoreStatus::Ok) {
      if (error != nullptr) *error = g_store->LastError();
      return nullptr;
    }
    return g_store;
  } catch (...) {
    if (error != nullptr) *error = "out of memory";
    return nullptr;
  }
}

void QvCloseSharedUserStore() noexcept {
  std::lock_guard<std::mutex> guard(g_storeLock);
  if (g_store != nullptr) g_store->Close();
}
