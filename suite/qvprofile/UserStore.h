// The suite's user store: users, their keys, per-user settings, share keys, audit records and
// the machine-wide values (edition, mode word) in one SQLite database under the machine root.
// docs/formats-userstore.md describes the file.
//
// The user-data object (CUserData), the storage and authentication drivers and the suite's
// programs all go through this class. Each process opens its own connection; several
// processes may use the same file at once (writes are transactions, a busy file is waited for).
//
// Secrets never leave the store in clear: a key's secret half is sealed under the user's
// master key, and the master key is wrapped under a key derived from the user's password.
// Calls that need a secret take the unwrapped master key (QvMasterKey) from the caller, who
// got it from UnlockMasterKey after the user passed verification.
//
// A user's rows (the user row with the default key and session time-out, keys, share key and
// settings) carry a MAC under a key derived from the user's master key. Every change to them
// therefore takes the master key (NotVerified without it), and a read given the master key
// checks the MAC: a row that fails is Damaged, with "the user store was changed outside the
// program" in LastError. Reads without the master key (other users' public keys, a user who is
// not verified) cannot check anything; their callers decide what such a value may be used for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinTypes.h"
#include "suite/SuiteExport.h"
#include "suite/qvprofile/MasterKey.h"
#include "suite/qvprofile/UserNames.h"

inline constexpr const char* kUserStoreFileName = "qvusers.db";
inline constexpr std::size_t kMaxUserNameLength = 256;
inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxPasswordLength = 1024;
inline constexpr std::size_t kMaxSettingLength = 65536;
// The edition of a new store; the Sentivo edition is EDITION_SENTIVO (suite/QvUserApi.h).
inline constexpr DWORD kEditionStandard = 0;
inline constexpr DWORD kDefaultSessionTimeoutMs = 15 * 60 * 1000;

enum class QvAccountType : DWORD {
  Computer = 1,  // an account of this computer (a Linux login)
  Suite = 2,     // an account known only to the suite
  Machine = 3,   // the computer itself; its user id names the machine in audit records
};

enum class QvStoreStatus {
  Ok,
  NotFound,
  Exists,
  InvalidArgument,
  WrongPassword,
  NoPassword,   // the user has no password enrolled
  NotVerified,  // a secret is involved and the user's master key is not available
  Damaged,      // stored or imported data fails its integrity check
  Failed,       // the file cannot be opened, read or written
};
QV_SUITE_API const char* QvStoreStatusText(QvStoreStatus status) noexcept;

struct QvUserInfo {
  std::string userId;
  std::string userName;  // "<domain>\<login>", "." for this computer; suite accounts any text
  std::string displayName;
  QvAccountType accountType = QvAccountType::Computer;
  bool hasPassword = false;
  std::string defaultKey;  // name of the default key, empty for none
  DWORD sessionTimeoutMs = kDefaultSessionTimeoutMs;
  std::int64_t lastLogOnMs = 0;  // wall clock, milliseconds since 1970; 0 for never
  int keyCount = 0;
};

struct QvNewUser {
  std::string userId;
  std::string userName;
  std::string displayName;
  QvAccountType accountType = QvAccountType::Computer;
};

struct QvKey {
  std::string name;
  std::string label;
  DWORD type = 2;
  std::vector<std::uint8_t> blob;  // a key blob (suite/QvKeyBlob.h)
  bool isDefault = false;
  bool hasStoredSecret = false;  // the store holds the sealed secret half
};

struct QvAuditEntry {
  std::int64_t sequence = 0;  // assigned by the store
  std::string userId;
  std::string machine;
  std::string path;
  DWORD result = 0;
  DWORD eventType = 0;
  std::int64_t time = 0;  // seconds since 1970
};

struct QvAuditFilter {
  std::optional<std::string> userId;
  std::optional<DWORD> eventType;
  std::optional<std::int64_t> since;  // records with time >= since
  std::size_t limit = 0;              // 0: all
};

// True for 1 to 11 characters of letters, digits, '.', '_' and '-', not starting with '.' or
// '-'. Such ids never hold '{', '\\' or ':', so they cannot be confused with key names, user
// names or the separators of a delegate list.
QV_SUITE_API bool QvIsValidUserId(std::string_view userId) noexcept;

// A short digest of a key blob's public key that users compare to tell keys apart: the first
// 16 bytes of BLAKE2b-256 over "qvkey-fingerprint", the blob version and the public key, as
// eight groups of four upper-case hexadecimal digits joined by '-'. Empty for a blob that is
// not a key blob.
QV_SUITE_API std::string QvKeyFingerprint(const std::vector<std::uint8_t>& blob);

class QV_SUITE_API QvUserStore {
 public:
  QvUserStore();
  ~QvUserStore();
  QvUserStore(const QvUserStore&) = delete;
  QvUserStore& operator=(const QvUserStore&) = delete;

  // The store file of this machine: <machine root>/qvusers.db; empty when there is no root.
  // The root is made when missing unless `makeRoot` is false.
  static std::string DefaultPath(bool makeRoot = true);

  // Whether Open may make a new store. Only an enrollment makes one (qvenroll); the suite's
  // libraries and programs open with Never: a store that went missing must not be replaced by
  // an empty one behind the user's back, since every key it held, and so every file encrypted
  // under them, would be lost for good.
  enum class Creation { IfMissing, Never };

  // Opens `path` (empty: DefaultPath()), creating the file (mode 0600) and its tables when
  // missing and `creation` allows it. NotFound (with a message that says to run qvenroll) for
  // a missing file, or one without tables, under Creation::Never. Failed for a file that is
  // not a user store or was written by a newer version.
  [[nodiscard]] QvStoreStatus Open(const std::string& path = std::string(),
                                   Creation creation = Creation::IfMissing);
  void Close();
  bool IsOpen() const;
  const std::string& Path() const;
  // Why the last call failed, for messages.
  std::string LastError() const;

  // ---- Machine-wide values ----
  [[nodiscard]] QvStoreStatus GetEdition(DWORD* edition);
  [[nodiscard]] QvStoreStatus SetEdition(DWORD edition);
  [[nodiscard]] QvStoreStatus GetModeWord(DWORD* mode);
  [[nodiscard]] QvStoreStatus SetModeWord(DWORD mode);
  // The machine account made when the store was created.
  [[nodiscard]] QvStoreStatus MachineAccount(QvUserInfo* info);

  // ---- Users ----

  // Adds a user in one transaction: the password (none: the user cannot be verified) and,
  // when given, the first key, which becomes the default. A key blob with its secret half
  // needs a password. Exists when the id or the user name is taken.
  [[nodiscard]] QvStoreStatus Enroll(const QvNewUser& user,
                                     std::optional<std::string_view> password,
                                     const QvKey* defaultKey);
  // Removes the user with their keys, settings and share key; audit records stay.
  [[nodiscard]] QvStoreStatus RemoveUser(std::string_view userId);
  [[nodiscard]] QvStoreStatus FindUserById(std::string_view userId, QvUserInfo* info);
  // Letter case does not count; "<this host>\name" and ".\name" are the same user, and a name
  // without a domain is tried as given and then as ".\name".
  [[nodiscard]] QvStoreStatus FindUserByName(std::string_view userName, QvUserInfo* info);
  // Any way the extension names a user: a user id, an owner text "{key name}..." (the user
  // holding that key, or the user whose id is inside the braces), or a user name.
  [[nodiscard]] QvStoreStatus FindUser(std::string_view reference, QvUserInfo* info);
  [[nodiscard]] QvStoreStatus ListUsers(std::vector<QvUserInfo>* users);
  // 0: the session never times out.
  [[nodiscard]] QvStoreStatus SetSessionTimeout(std::string_view userId, DWORD milliseconds,
                                                const QvMasterKey* masterKey);
  // The user's row as FindUserById gives it, once its MAC under `masterKey` is checked.
  [[nodiscard]] QvStoreStatus FindUserChecked(std::string_view userId, const QvMasterKey& masterKey,
                                              QvUserInfo* info);
  // Checks every row of the user (user row, keys, share key, settings) under `masterKey`.
  [[nodiscard]] QvStoreStatus CheckUserRows(std::string_view userId, const QvMasterKey& masterKey);

  // Checks the password with one Argon2id derivation and unwraps the master key into
  // `masterKey`. WrongPassword, NoPassword, NotFound, Damaged (the wrapped key fails), Failed
  // (no memory for the derivation). A record of an older store is sealed again on success. A
  // user whose rows were written by a version without row MACs gets them now, in one
  // transaction with the master key's new wrapping that marks the user as authenticated.
  [[nodiscard]] QvStoreStatus UnlockMasterKey(std::string_view userId, std::string_view password,
                                              QvMasterKey* masterKey);
  [[nodiscard]] QvStoreStatus RecordLogOn(std::string_view userId, std::int64_t wallClockMs);

  // ---- Keys ----

  // Stores a key for the user; any key, public-only too, needs the user's master key
  // (NotVerified otherwise), and a secret half is sealed under it. Exists when the user
  // already has a key of that name. The user's first key becomes the default.
  [[nodiscard]] QvStoreStatus StoreKey(std::string_view userId, const QvKey& key,
                                       const QvMasterKey* masterKey);
  // The key named `keyName` (empty: the default key; the user id also finds the default
  // key when no key has that name). The blob carries the secret only when `masterKey` is
  // the user's and the secret is stored; otherwise it is the public half. With `masterKey`
  // the user row (the default key) and the key row are checked.
  [[nodiscard]] QvStoreStatus ReadKey(std::string_view userId, std::string_view keyName,
                                      const QvMasterKey* masterKey, QvKey* key);
  [[nodiscard]] QvStoreStatus ListKeys(std::string_view userId, std::vector<QvKey>* keys);
  [[nodiscard]] QvStoreStatus SetDefaultKey(std::string_view userId, std::string_view keyName,
                                            const QvMasterKey* masterKey);
  // The public half of the user's default key, kept apart from the keys so that sharing
  // never reads a sealed secret.
  [[nodiscard]] QvStoreStatus ReadShareKey(std::string_view userId,
                                           std::vector<std::uint8_t>* blob);

  // ---- Settings ----
  // With `masterKey` the row is checked; without it the value is as stored.
  [[nodiscard]] QvStoreStatus ReadSetting(std::string_view userId, DWORD category, DWORD id,
                                          const QvMasterKey* masterKey, std::string* value);
  [[nodiscard]] QvStoreStatus WriteSetting(std::string_view userId, DWORD category, DWORD id,
                                           std::string_view value, const QvMasterKey* masterKey);

  // ---- Audit records ----
  // A record is committed when this returns and on disk a few milliseconds later, together
  // with the records written meanwhile (at once when the store is closed).
  [[nodiscard]] QvStoreStatus AddAudit(const QvAuditEntry& entry);
  // Records committed by this object that are not yet known to be on disk.
  [[nodiscard]] std::uint64_t AuditRecordsNotOnDisk();
  // Puts the records committed so far on disk now (a process's last step); nothing in a
  // forked child that has not used the store, whose records are the parent's.
  void SyncAudit();
  // Newest first (by time, then by order of writing).
  [[nodiscard]] QvStoreStatus QueryAudit(const QvAuditFilter& filter,
                                         std::vector<QvAuditEntry>* entries);

 private:
  // Seals the master key again (a new salt and the current log-on limits) and gives it the
  // wrapping of a user whose rows carry MACs, replacing the record only while its verifier is
  // still `oldVerifier`. With `sealRows` the user's rows get their MACs in the same
  // transaction.
  [[nodiscard]] QvStoreStatus ResealMasterKey(const std::string& userId, std::string_view password,
                                              const std::string& oldVerifier,
                                              const QvMasterKey& masterKey, bool sealRows);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};
