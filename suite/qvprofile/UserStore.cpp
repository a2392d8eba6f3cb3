// The user store over SQLite (see UserStore.h and docs/formats-userstore.md).
//
// One connection per process and store object, used under the object's lock. A forked child
// never uses its parent's connection (SQLite forbids it): it opens its own on first use.
// Writes run in BEGIN IMMEDIATE transactions and a busy file is retried for up to ten seconds,
// so two processes writing at once both succeed.
#include "suite/qvprofile/UserStore.h"

#include <fcntl.h>
#include <sodium.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "platform/MachineRoot.h"
#include "platform/SecureMemory.h"
#include "suite/QvKeyBlob.h"
#include "suite/QvUserApi.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/StoreCrypto.h"

namespace {

// "QVUS" in the database header's application id; the schema version in user_version.
constexpr int kApplicationId = 0x51565553;
// Version 2 added the row MACs; a store of version 1 is brought up to it when opened.
constexpr int kSchemaVersion = 2;
constexpr int kBusyTimeoutMs = 10000;
// How long a committed audit record may wait for the sync that puts it on disk together with
// the records written after it.
constexpr auto kAuditGroupWindow = std::chrono::milliseconds(10);
// The log's pages after which a commit copies them into the store (a checkpoint, with two
// syncs). Every audit record adds three pages, so SQLite's default of 1,000 would put a
// checkpoint in every 333rd file a transfer hands out: a third of the records' cost.
constexpr int kLogPagesPerCheckpoint = 4000;
// The log keeps the size it reaches between checkpoints (16 MiB), so that it is written over
// rather than grown again after each; cutting it shorter costs the records as much again.
constexpr int kLogBytesKept = 16 << 20;
// The process this library was loaded in; a forked child is another.
const pid_t kLoadedIn = getpid();

constexpr const char* kSchema = R"sql(
CREATE TABLE config(
  name TEXT PRIMARY KEY,
  value INTEGER NOT NULL);
CREATE TABLE users(
  user_id TEXT PRIMARY KEY COLLATE NOCASE,
  user_name TEXT NOT NULL UNIQUE COLLATE NOCASE,
  display_name TEXT NOT NULL,
  account_type INTEGER NOT NULL,
  password_hash TEXT,
  kek_salt BLOB,
  kek_ops INTEGER,
  kek_mem INTEGER,
  master_key BLOB,
  default_key TEXT COLLATE NOCASE,
  session_timeout_ms INTEGER NOT NULL,
  last_logon_ms INTEGER NOT NULL DEFAULT 0,
  created INTEGER NOT NULL,
  row_mac BLOB);
CREATE TABLE keys(
  user_id TEXT NOT NULL REFERENCES users(user_id) ON DELETE CASCADE,
  key_name TEXT NOT NULL COLLATE NOCASE,
  label TEXT NOT NULL,
  type INTEGER NOT NULL,
  public_blob BLOB NOT NULL,
  sealed_secret BLOB,
  created INTEGER NOT NULL,
  row_mac BLOB,
  PRIMARY KEY(user_id, key_name));
CREATE TABLE share_keys(
  user_id TEXT PRIMARY KEY REFERENCES users(user_id) ON DELETE CASCADE,
  type INTEGER NOT NULL,
  blob BLOB NOT NULL,
  updated INTEGER NOT NULL,
  row_mac BLOB);
CREATE TABLE settings(
  user_id TEXT NOT NULL REFERENCES users(user_id) ON DELETE CASCADE,
  category INTEGER NOT NULL,
  id INTEGER NOT NULL,
  value TEXT NOT NULL,
  row_mac BLOB,
  PRIMARY KEY(user_id, category, id));
CREATE TABLE audit(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  user_id TEXT NOT NULL,
  machine TEXT NOT NULL,
  path TEXT NOT NULL,
  result INTEGER NOT NULL,
  event_type INTEGER NOT NULL,
  time INTEGER NOT NULL);
CREATE INDEX audit_by_time ON audit(time, seq);
)sql";

constexpr const char* kAddRowMacs = R"sql(
ALTER TABLE users ADD COLUMN row_mac BLOB;
ALTER TABLE keys ADD COLUMN row_mac BLOB;
ALTER TABLE share_keys ADD COLUMN row_mac BLOB;
ALTER TABLE settings ADD COLUMN row_mac BLOB;
)sql";

constexpr const char* kUserColumns =
    "u.user_id, u.user_name, u.display_name, u.account_type, u.password_hash IS NOT NULL, "
    "COALESCE(u.default_key, ''), u.session_timeout_ms, u.last_logon_ms, "
    "(SELECT COUNT(*) FROM keys k WHERE k.user_id = u.user_id)";

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool IsCleanText(std::string_view text, size_t maxLength) {
  if (text.size() > maxLength) return false;
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  // A statement kept prepared elsewhere (null: none), reset and cleared with this object.
  explicit Statement(sqlite3_stmt* kept) : stmt_(kept), kept_(true) {}
  ~Statement() {
    if (!kept_) {
      sqlite3_finalize(stmt_);
    } else if (stmt_ != nullptr) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool Ok() const { return stmt_ != nullptr; }
  Statement& Text(int index, std::string_view value) {
    // A null data pointer would bind NULL instead of an empty text.
    if (stmt_ != nullptr)
      sqlite3_bind_text(stmt_, index, value.data() != nullptr ? value.data() : "",
                        static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Blob(int index, const std::vector<std::uint8_t>& value) {
    if (stmt_ != nullptr)
      sqlite3_bind_blob(stmt_, index, value.empty() ? "" : static_cast<const void*>(value.data()),
                        static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Int(int index, std::int64_t value) {
    if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  Statement& Null(int index) {
    if (stmt_ != nullptr) sqlite3_bind_null(stmt_, index);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return stmt_ != nullptr ? sqlite3_step(stmt_) : SQLITE_ERROR; }

  std::string ColumnText(int column) const {
    const auto* text = sqlite3_column_text(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text), size) : std::string();
  }
  std::vector<std::uint8_t> ColumnBlob(int column) const {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    const int size = sqlite3_column_bytes(stmt_, column);
    return data != nullptr ? std::vector<std::uint8_t>(data, data + size)
                           : std::vector<std::uint8_t>();
  }
  std::int64_t ColumnInt(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool ColumnIsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  int ColumnType(int column) const { return sqlite3_column_type(stmt_, column); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  bool kept_ = false;
};

// The statements every audit record runs, prepared once for a connection instead of once per
// record; finalized before the connection closes. In a forked child they are the parent's
// connection's: they are then forgotten unfinalized and prepared anew for the child's own.
struct AuditStatements {
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* grouped = nullptr;  // the record's commit without a sync of its own
  sqlite3_stmt* restore = nullptr;  // the connection's own setting again

  bool Prepare(sqlite3* db, int synchronous) {
    if (insert != nullptr && sqlite3_db_handle(insert) == db) return true;
    Forget();
    const std::string own = "PRAGMA synchronous=" + std::to_string(synchronous);
    const auto prepare = [db](const char* sql, sqlite3_stmt** out) {
      return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, out, nullptr) == SQLITE_OK;
    };
    if (prepare("INSERT INTO audit(user_id, machine, path, result, event_type, time) "
                "VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
                &insert) &&
        prepare("PRAGMA synchronous=NORMAL", &grouped) && prepare(own.c_str(), &restore))
      return true;
    Finalize();
    return false;
  }
  void Finalize() {
    for (sqlite3_stmt** statement : {&insert, &grouped, &restore}) {
      sqlite3_finalize(*statement);
      *statement = nullptr;
    }
  }
  void Forget() { insert = grouped = restore = nullptr; }
};

QvUserInfo ReadUserRow(const Statement& s) {
  QvUserInfo info;
  info.userId = s.ColumnText(0);
  info.userName = s.ColumnText(1);
  info.displayName = s.ColumnText(2);
  info.accountType = static_cast<QvAccountType>(s.ColumnInt(3));
  info.hasPassword = s.ColumnInt(4) != 0;
  info.defaultKey = s.ColumnText(5);
  info.sessionTimeoutMs = static_cast<DWORD>(s.ColumnInt(6));
  info.lastLogOnMs = s.ColumnInt(7);
  info.keyCount = static_cast<int>(s.ColumnInt(8));
  return info;
}

// The public half of a key blob: the same blob with the secret flag cleared and the secret
// bytes zero.
std::vector<std::uint8_t> PublicHalf(const std::vector<std::uint8_t>& blob) {
  std::vector<std::uint8_t> out = blob;
  out[5] = static_cast<std::uint8_t>(out[5] & ~kKeyBlobHasSecret);
  std::memset(out.data() + kKeyBlobSecretOffset, 0, kKeyBlobKeySize);
  return out;
}

// ---- Row authentication ----

constexpr const char* kChangedOutside = "the user store was changed outside the program";

// The columns of a user's row that its MAC covers, the user id first. last_logon_ms is left
// out (it is written at every log-on and decides nothing), and so are the password columns:
// the wrapped master key authenticates itself.
struct RowTable {
  const char* name;
  const char* columns;
  int columnCount;
  const char* what;  // for messages
};
constexpr RowTable kUserRow{
    "users", "user_id, user_name, display_name, account_type, default_key, session_timeout_ms", 6,
    "the user's entry (default key, session time-out)"};
constexpr RowTable kKeyRows{"keys", "user_id, key_name, label, type, public_blob, sealed_secret", 6,
                            "a key"};
constexpr RowTable kShareKeyRow{"share_keys", "user_id, type, blob", 3, "the share key"};
constexpr RowTable kSettingRows{"settings", "user_id, category, id, value", 4, "a setting"};
constexpr const RowTable* kAllRowTables[] = {&kUserRow, &kKeyRows, &kShareKeyRow, &kSettingRows};

// What a row MAC covers: a tag, the table, then each column as its SQLite type, length and
// bytes, so that no two different rows encode alike.
std::vector<std::uint8_t> RowImage(const RowTable& table, const Statement& s, int firstColumn) {
  std::vector<std::uint8_t> image;
  auto append = [&image](int type, const void* data, std::size_t size) {
    image.push_back(static_cast<std::uint8_t>(type));
    for (int shift = 0; shift < 32; shift += 8)
      image.push_back(static_cast<std::uint8_t>(size >> shift));
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (size != 0) image.insert(image.end(), bytes, bytes + size);
  };
  static constexpr char kTag[] = "qvus-row-1";
  append(0, kTag, sizeof kTag - 1);
  append(0, table.name, std::strlen(table.name));
  for (int column = firstColumn; column < firstColumn + table.columnCount; ++column) {
    const int type = s.ColumnType(column);
    if (type == SQLITE_INTEGER) {
      std::uint8_t value[8];
      const auto number = static_cast<std::uint64_t>(s.ColumnInt(column));
      for (int i = 0; i < 8; ++i) value[i] = static_cast<std::uint8_t>(number >> (8 * i));
      append(type, value, sizeof value);
    } else if (type == SQLITE_NULL) {
      append(type, nullptr, 0);
    } else {
      const std::vector<std::uint8_t> bytes = s.ColumnBlob(column);
      append(type, bytes.data(), bytes.size());
    }
  }
  return image;
}

// The key of a user's row MACs: a subkey of the user's master key, so that only a process the
// user is verified in can make or check them.
class RowKey {
 public:
  static constexpr std::size_t kMacSize = crypto_generichash_BYTES;
  explicit RowKey(const unsigned char* masterKey) {
    static_assert(QvMasterKey::kSize == crypto_kdf_KEYBYTES);
    crypto_kdf_derive_from_key(key_, sizeof key_, 1, "qvusrows", masterKey);
  }
  ~RowKey() { sodium_memzero(key_, sizeof key_); }
  RowKey(const RowKey&) = delete;
  RowKey& operator=(const RowKey&) = delete;

  std::vector<std::uint8_t> Mac(const std::vector<std::uint8_t>& image) const {
    std::vector<std::uint8_t> mac(kMacSize);
    crypto_generichash(mac.data(), mac.size(), image.data(), image.size(), key_, sizeof key_);
    return mac;
  }
  bool Matches(const std::vector<std::uint8_t>& image, const std::vector<std::uint8_t>& mac) const {
    return mac.size() == kMacSize && crypto_verify_32(Mac(image).data(), mac.data()) == 0;
  }

 private:
  unsigned char key_[crypto_kdf_KEYBYTES];
};

// The associated data of a master key wrapped by a version that authenticates the user's
// rows. Only the user's password can make such a wrapping, so a user whose rows carry MACs
// cannot be passed off as one from before them by clearing the MACs.
std::string RowsAuthenticatedContext(std::string_view userId) {
  return qvstore::MasterKeyContext(userId) + std::string("\0rows", 5);
}

}  // namespace

std::string QvKeyFingerprint(const std::vector<std::uint8_t>& blob) {
  if (!IsKeyBlob(blob.data(), blob.size()) || !qvstore::EnsureSodium()) return {};
  static constexpr char kTag[] = "qvkey-fingerprint";
  std::vector<std::uint8_t> input(kTag, kTag + sizeof kTag - 1);
  input.push_back(blob[4]);
  input.insert(input.end(), blob.begin() + kKeyBlobPublicOffset,
               blob.begin() + kKeyBlobPublicOffset + kKeyBlobKeySize);
  std::uint8_t digest[32];
  crypto_generichash(digest, sizeof digest, input.data(), input.size(), nullptr, 0);
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i != 0 && i % 2 == 0) text.push_back('-');
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 15]);
  }
  return text;
}

const char* QvStoreStatusText(QvStoreStatus status) noexcept {
  switch (status) {
    case QvStoreStatus::Ok:
      return "done";
    case QvStoreStatus::NotFound:
      return "not found";
    case QvStoreStatus::Exists:
      return "already exists";
    case QvStoreStatus::InvalidArgument:
      return "invalid argument";
    case QvStoreStatus::WrongPassword:
      return "wrong password";
    case QvStoreStatus::NoPassword:
      return "no password enrolled";
    case QvStoreStatus::NotVerified:
      return "the user has not been verified in this process";
    case QvStoreStatus::Damaged:
      return "data failed its integrity check";
    case QvStoreStatus::Failed:
      return "the user store cannot be used";
  }
  return "unknown";
}

bool QvIsValidUserId(std::string_view userId) noexcept {
  if (userId.empty() || userId.size() > kMaxUserIdLength) return false;
  if (userId.front() == '.' || userId.front() == '-') return false;
  for (const char c : userId) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// Audit records come one per file a stream hands out, so a sync each (a journal commit of
// the file system, as long as the rest of the file's work) would set the pace of a transfer.
// Each record is committed at once, so it survives any crash of the process, and the
// write-ahead log holding it is synced by the store's syncing thread within
// kAuditGroupWindow, together with the records written meanwhile; every other write of the
// store, and closing it, syncs them as well. Only a power loss inside the window can take a
// record.
//
// The thread lives from the store's first record to its closing and never allocates memory,
// so a child forked while it runs finds no lock of the allocator held; a forked child starts
// no thread of its own (one started there could wait forever for a lock the parent's threads
// held at the fork, the sanitizers' own for one) and syncs each of its records itself.
class AuditSyncer {
 public:
  ~AuditSyncer() { Stop(); }

  // The log the records go to, named when the store is opened (no thread runs then).
  void UseLog(std::string walPath) { walPath_ = std::move(walPath); }

  // A record was committed; it goes to disk with the next sync.
  void Committed() {
    std::unique_lock<std::mutex> guard(lock_);
    ++committed_;
    if (getpid() != kLoadedIn) {
      if (Sync(walPath_.c_str())) durable_ = committed_;
      return;
    }
    if (thread_.joinable()) {
      // Within the window the thread sleeps until it ends; waking it would only cost a switch.
      if (idle_) wake_.notify_all();
      return;
    }
    guard.unlock();
    owner_ = getpid();
    thread_ = std::thread([this] { Run(); });
  }

  // Syncs what is pending now and ends the thread.
  void Stop() {
    if (owner_ != 0 && owner_ != getpid()) ForgetAfterFork();
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = false;
  }

  // In a forked child: the parent's thread was not copied, and may have held the lock at the
  // fork, so the handle, the lock and the condition start over (never destroyed: that would
  // join or unlock what is not there). The parent's records are the parent's to sync.
  void ForgetAfterFork() {
    new (&thread_) std::thread();
    new (&lock_) std::mutex();
    new (&wake_) std::condition_variable();
    owner_ = getpid();
    stopping_ = false;
    idle_ = false;
    durable_ = committed_;
    failedAt_ = committed_;
  }

  std::uint64_t NotOnDisk() {
    std::lock_guard<std::mutex> guard(lock_);
    return committed_ - durable_;
  }

 private:
  // Waits for a record, lets the window pass (not when stopping) and syncs what was committed
  // by then; a failed sync is tried again with the next record. Ends when stopping with
  // nothing left to sync, or with a sync that failed.
  void Run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      idle_ = true;
      wake_.wait(guard, [this] { return stopping_ || committed_ > std::max(durable_, failedAt_); });
      idle_ = false;
      if (committed_ <= std::max(durable_, failedAt_)) break;  // stopping, nothing to sync
      wake_.wait_for(guard, kAuditGroupWindow, [this] { return stopping_; });
      const std::uint64_t upTo = committed_;
      guard.unlock();
      const bool synced = Sync(walPath_.c_str());
      guard.lock();
      if (synced) {
        durable_ = std::max(durable_, upTo);
      } else {
        failedAt_ = upTo;
        if (stopping_) break;
      }
    }
  }

  // The sync covers every frame of the log, whichever descriptor asks for it.
  static bool Sync(const char* walPath) {
    const int fd = ::open(walPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const bool synced = fd >= 0 && ::fdatasync(fd) == 0;
    if (fd >= 0) ::close(fd);
    return synced;
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::thread thread_;
  pid_t owner_ = 0;  // the process that started the thread
  std::string walPath_;
  std::uint64_t committed_ = 0;
  std::uint64_t durable_ = 0;
  std::uint64_t failedAt_ = 0;  // the last record a failed sync was to cover
  bool stopping_ = false;
  bool idle_ = false;  // the thread waits for a record (not for the end of a window)
};

struct QvUserStore::Impl {
  std::recursive_mutex lock;
  sqlite3* db = nullptr;
  pid_t pid = 0;
  std::string path;
  std::string lastError;
  bool mayCreate = true;       // Open's Creation: only an enrollment makes a new store
  bool writeAheadLog = false;  // audit records are grouped only in a write-ahead log
  int synchronous = 2;         // the connection's own setting, restored after each record
  AuditSyncer auditSyncer;
  AuditStatements auditStatements;

  QvStoreStatus Fail(const std::string& what) {
    lastError = what;
    if (db != nullptr) {
      const char* message = sqlite3_errmsg(db);
      if (message != nullptr && std::strcmp(message, "not an error") != 0)
        lastError += std::string(": ") + message;
    }
    return QvStoreStatus::Failed;
  }
  QvStoreStatus Refuse(QvStoreStatus status, const std::string& what) {
    lastError = what;
    return status;
  }

  std::string NoStoreText() const { return "no user store at " + path + "; run qvenroll first"; }

  bool Exec(const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }

  int PragmaInt(const char* sql) {
    Statement s(db, sql);
    return s.Step() == SQLITE_ROW ? static_cast<int>(s.ColumnInt(0)) : -1;
  }

  // A connection inherited through fork belongs to the parent: leave it alone and open anew.
  QvStoreStatus Usable() {
    if (db != nullptr && pid != getpid()) {
      db = nullptr;
      auditSyncer.ForgetAfterFork();
      const std::string again = path;
      return OpenAt(again);
    }
    if (db == nullptr) return Fail("the user store is not open");
    return QvStoreStatus::Ok;
  }

  QvStoreStatus OpenAt(const std::string& file) {
    CloseDb();
    path = file;
    if (file.empty()) return Fail("there is no machine root for the user store (set QV_ROOT)");
    // Created here first so that it gets mode 0600; SQLite's journal files take its mode.
    const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (mayCreate ? O_CREAT : 0);
    const int fd = ::open(file.c_str(), flags, 0600);
    if (fd < 0 && errno == ENOENT) return Refuse(QvStoreStatus::NotFound, NoStoreText());
    if (fd < 0) return Fail("cannot open " + file + ": " + std::strerror(errno));
    ::close(fd);
    if (sqlite3_open_v2(file.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
      const QvStoreStatus status = Fail("cannot open " + file);
      CloseDb();
      return status;
    }
    pid = getpid();
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);
    const QvStoreStatus status = PrepareSchema();
    if (status != QvStoreStatus::Ok) CloseDb();
    auditSyncer.UseLog(file + "-wal");
    return status;
  }

  QvStoreStatus PrepareSchema() {
    const int applicationId = PragmaInt("PRAGMA application_id");
    if (applicationId < 0 || (applicationId != 0 && applicationId != kApplicationId))
      return Fail(path + " is not a user store");
    if (applicationId == kApplicationId) {
      QvStoreStatus status = CheckVersion();
      if (status == QvStoreStatus::Ok && PragmaInt("PRAGMA user_version") < kSchemaVersion)
        status = Upgrade();
      if (status != QvStoreStatus::Ok) return status;
    } else {
      if (!mayCreate) return Refuse(QvStoreStatus::NotFound, NoStoreText());
      // Small pages, taken only by a file still empty (so before its first transaction):
      // every audit record is a transaction of its own that writes three whole pages (its
      // row, its index entry, its sequence) to the log, a third slower with 4 KiB pages.
      if (!Exec("PRAGMA page_size=1024")) return Fail("cannot prepare " + path);
      if (!Exec("BEGIN IMMEDIATE")) return Fail("cannot lock " + path);
      const QvStoreStatus status = CreateSchemaLocked();
      if (status != QvStoreStatus::Ok) {
        Exec("ROLLBACK");
        return status;
      }
      if (!Exec("COMMIT")) {
        Exec("ROLLBACK");
        return Fail("cannot write " + path);
      }
    }
    // Only a file known to be a user store is changed. WAL lets readers go on while another
    // process writes; a store that cannot switch now (another connection is busy with it)
    // keeps its journal mode.
    Exec("PRAGMA journal_mode=WAL");
    {
      Statement mode(db, "PRAGMA journal_mode");
      writeAheadLog = mode.Step() == SQLITE_ROW && mode.ColumnText(0) == "wal";
    }
    if (writeAheadLog) {
      sqlite3_wal_autocheckpoint(db, kLogPagesPerCheckpoint);
      Exec(("PRAGMA journal_size_limit=" + std::to_string(kLogBytesKept)).c_str());
    }
    synchronous = PragmaInt("PRAGMA synchronous");
    if (!Exec("PRAGMA foreign_keys=ON")) return Fail("cannot enable foreign keys");
    return QvStoreStatus::Ok;
  }

  QvStoreStatus CheckVersion() {
    const int version = PragmaInt("PRAGMA user_version");
    if (version > kSchemaVersion)
      return Fail(path + " was written by a newer version (schema " + std::to_string(version) +
                  ")");
    if (version < 1) return Fail(path + " is not a user store");
    return QvStoreStatus::Ok;
  }

  // A store of version 1 gets the row MAC columns; its users' rows get their MACs at each
  // user's next log-on (UnlockMasterKey).
  QvStoreStatus Upgrade() {
    if (!Exec("BEGIN IMMEDIATE")) return Fail("cannot lock " + path);
    bool done = PragmaInt("PRAGMA user_version") >= kSchemaVersion;
    if (!done) {
      const std::string version = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
      done = Exec(kAddRowMacs) && Exec(version.c_str());
    }
    if (!done || !Exec("COMMIT")) {
      Exec("ROLLBACK");
      return Fail("cannot bring " + path + " up to this version");
    }
    return QvStoreStatus::Ok;
  }

  // Called inside the creating transaction; another process may have created the tables
  // while this one waited for the lock.
  QvStoreStatus CreateSchemaLocked() {
    const int applicationId = PragmaInt("PRAGMA application_id");
    if (applicationId == kApplicationId) return CheckVersion();
    if (applicationId != 0) return Fail(path + " is not a user store");
    {
      Statement tables(db, "SELECT COUNT(*) FROM sqlite_master");
      if (tables.Step() != SQLITE_ROW || tables.ColumnInt(0) != 0)
        return Fail(path + " is not a user store");
    }
    if (!Exec(kSchema)) return Fail("cannot create the tables of " + path);
    const std::string pragmas = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                                "; PRAGMA user_version=" + std::to_string(kSchemaVersion);
    if (!Exec(pragmas.c_str())) return Fail("cannot mark " + path);
    Statement config(db, "INSERT INTO config(name, value) VALUES('edition', ?1), ('mode_word', 0)");
    if (config.Int(1, kEditionStandard).Step() != SQLITE_DONE)
      return Fail("cannot write the configuration");
    // The machine's own account, named like a machine account of a domain ("<host>$").
    std::uint8_t random[qvstore::kSaltSize];
    if (!qvstore::RandomSalt(random)) return Fail("no random numbers");
    static const char kHex[] = "0123456789ABCDEF";
    std::string machineId = "M";
    for (size_t i = 0; i < (kMaxUserIdLength - 1) / 2; ++i) {
      const std::uint8_t b = random[i];
      machineId.push_back(kHex[b >> 4]);
      machineId.push_back(kHex[b & 15]);
    }
    Statement machine(db,
                      "INSERT INTO users(user_id, user_name, display_name, account_type, "
                      "session_timeout_ms, created) VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    const std::string host = QvHostName();
    machine.Text(1, machineId)
        .Text(2, host + "$")
        .Text(3, host)
        .Int(4, static_cast<std::int64_t>(QvAccountType::Machine))
        .Int(5, kDefaultSessionTimeoutMs)
        .Int(6, NowSeconds());
    if (machine.Step() != SQLITE_DONE) return Fail("cannot write the machine account");
    return QvStoreStatus::Ok;
  }

  // Helpers of the public members; the caller holds `lock` and a usable connection.
  QvStoreStatus ReadConfig(const char* name, DWORD* value);
  QvStoreStatus WriteConfig(const char* name, DWORD value);
  QvStoreStatus FindUserWhere(const char* where, std::string_view value, QvUserInfo* info);
  QvStoreStatus CanonicalUserId(std::string_view userId, std::string* canonical);
  QvStoreStatus WriteShareKeyLocked(const std::string& userId,
                                    const std::vector<std::uint8_t>& publicBlob);
  // With `key` (null only for a user without a password) the key row is checked first and
  // the changed rows are sealed; the caller has checked the user row.
  QvStoreStatus SetDefaultLocked(const std::string& userId, std::string_view keyName,
                                 const RowKey* key);
  QvStoreStatus InsertKeyLocked(const std::string& userId, const QvKey& key,
                                const unsigned char* masterKey);
  static bool ValidKey(const QvKey& key);

  // The rows of `table` that belong to `userId` and match `filter` (SQL after "AND", its
  // parameters from ?2 on, set by `bind`; empty: every row of the user).
  using Binder = std::function<void(Statement&)>;
  // Checks their MACs; Damaged, saying which row, for the first that fails. `count` (when
  // given) is the number of rows checked.
  QvStoreStatus CheckRowsLocked(const RowTable& table, const std::string& userId, const RowKey& key,
                                const char* filter = nullptr, const Binder& bind = nullptr,
                                int* count = nullptr);
  // Writes their MACs.
  QvStoreStatus SealRowsLocked(const RowTable& table, const std::string& userId, const RowKey& key,
                               const char* filter = nullptr, const Binder& bind = nullptr);
  QvStoreStatus SealAllRowsLocked(const std::string& userId, const RowKey& key);
  // The start of every change to a user's rows, inside its transaction: the user's canonical
  // id into `id`, once the user row checks out under the master key (which shows it is the
  // user's). NotVerified without a master key.
  QvStoreStatus BeginUserChangeLocked(std::string_view userId, const QvMasterKey* masterKey,
                                      std::string* id);

  void CloseDb() {
    // A connection of another process (before a fork) is never closed here.
    if (db != nullptr && pid == getpid()) {
      auditSyncer.Stop();
      auditStatements.Finalize();
      sqlite3_close_v2(db);
    }
    db = nullptr;
  }
};

namespace {

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {
    began_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~Transaction() {
    if (began_ && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  bool Began() const { return began_; }
  bool Commit() {
    if (!began_) return false;
    done_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    return done_;
  }

 private:
  sqlite3* db_;
  bool began_ = false;
  bool done_ = false;
};

}  // namespace

QvStoreStatus QvUserStore::Impl::ReadConfig(const char* name, DWORD* value) {
  Statement s(db, "SELECT value FROM config WHERE name = ?1");
  const int rc = s.Text(1, name).Step();
  if (rc == SQLITE_ROW) {
    *value = static_cast<DWORD>(s.ColumnInt(0));
    return QvStoreStatus::Ok;
  }
  if (rc == SQLITE_DONE) {
    *value = 0;
    return QvStoreStatus::Ok;
  }
  return Fail(std::string("cannot read ") + name);
}

QvStoreStatus QvUserStore::Impl::WriteConfig(const char* name, DWORD value) {
  Statement s(db,
              "INSERT INTO config(name, value) VALUES(?1, ?2) "
              "ON CONFLICT(name) DO UPDATE SET value = excluded.value");
  if (s.Text(1, name).Int(2, value).Step() != SQLITE_DONE)
    return Fail(std::string("cannot write ") + name);
  return QvStoreStatus::Ok;
}

QvStoreStatus QvUserStore::Impl::FindUserWhere(const char* where, std::string_view value,
                                               QvUserInfo* info) {
  const std::string sql = std::string("SELECT ") + kUserColumns + " FROM users u WHERE " + where;
  Statement s(db, sql.c_str());
  const int rc = s.Text(1, value).Step();
  if (rc == SQLITE_ROW) {
    if (info != nullptr) *info = ReadUserRow(s);
    return QvStoreStatus::Ok;
  }
  if (rc == SQLITE_DONE) return Refuse(QvStoreStatus::NotFound, "no such user");
  return Fail("cannot read the users");
}

QvStoreStatus QvUserStore::Impl::CanonicalUserId(std::string_view userId, std::string* canonical) {
  if (!QvIsValidUserId(userId)) return Refuse(QvStoreStatus::NotFound, "no such user");
  QvUserInfo info;
  const QvStoreStatus status = FindUserWhere("u.user_id = ?1", userId, &info);
  if (status == QvStoreStatus::Ok) *canonical = info.userId;
  return status;
}

QvStoreStatus QvUserStore::Impl::CheckRowsLocked(const RowTable& table, const std::string& userId,
                                                 const RowKey& key, const char* filter,
                                                 const Binder& bind, int* count) {
  const std::string sql = std::string("SELECT ") + table.columns + ", row_mac FROM " + table.name +
                          " WHERE user_id = ?1" + (filter != nullptr ? " AND " : "") +
                          (filter != nullptr ? filter : "");
  Statement s(db, sql.c_str());
  s.Text(1, userId);
  if (bind) bind(s);
  int rows = 0, rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    ++rows;
    if (!key.Matches(RowImage(table, s, 0), s.ColumnBlob(table.columnCount)))
      return Refuse(QvStoreStatus::Damaged, std::string(kChangedOutside) + ": " + table.what +
                                                " of " + userId +
                                                " does not match its MAC; restore the store "
                                                "from a backup");
  }
  if (rc != SQLITE_DONE) return Fail(std::string("cannot read ") + table.name);
  if (count != nullptr) *count = rows;
  return QvStoreStatus::Ok;
}

QvStoreStatus QvUserStore::Impl::SealRowsLocked(const RowTable& table, const std::string& userId,
                                                const RowKey& key, const char* filter,
                                                const Binder& bind) {
  const std::string sql = std::string("SELECT rowid, ") + table.columns + " FROM " + table.name +
                          " WHERE user_id = ?1" + (filter != nullptr ? " AND " : "") +
                          (filter != nullptr ? filter : "");
  Statement s(db, sql.c_str());
  s.Text(1, userId);
  if (bind) bind(s);
  const std::string update =
      std::string("UPDATE ") + table.name + " SET row_mac = ?1 WHERE rowid = ?2";
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    Statement write(db, update.c_str());
    if (write.Blob(1, key.Mac(RowImage(table, s, 1))).Int(2, s.ColumnInt(0)).Step() != SQLITE_DONE)
      return Fail(std::string("cannot write ") + table.name);
  }
  if (rc != SQLITE_DONE) return Fail(std::string("cannot read ") + table.name);
  return QvStoreStatus::Ok;
}

QvStoreStatus QvUserStore::Impl::SealAllRowsLocked(const std::string& userId, const RowKey& key) {
  for (const RowTable* table : kAllRowTables) {
    const QvStoreStatus status = SealRowsLocked(*table, userId, key);
    if (status != QvStoreStatus::Ok) return status;
  }
  return QvStoreStatus::Ok;
}

QvStoreStatus QvUserStore::Impl::BeginUserChangeLocked(std::string_view userId,
                                                       const QvMasterKey* masterKey,
                                                       std::string* id) {
  const QvStoreStatus status = CanonicalUserId(userId, id);
  if (status != QvStoreStatus::Ok) return status;
  if (masterKey == nullptr || !masterKey->Valid())
    return Refuse(QvStoreStatus::NotVerified,
                  "the user must be verified before their settings or keys are changed");
  int rows = 0;
  const QvStoreStatus checked =
      CheckRowsLocked(kUserRow, *id, RowKey(masterKey->Data()), nullptr, nullptr, &rows);
  if (checked != QvStoreStatus::Ok) return checked;
  return rows == 1 ? QvStoreStatus::Ok : Refuse(QvStoreStatus::NotFound, "no such user");
}

QvStoreStatus QvUserStore::Impl::WriteShareKeyLocked(const std::string& userId,
                                                     const std::vector<std::uint8_t>& publicBlob) {
  Statement s(db,
              "INSERT INTO share_keys(user_id, type, blob, updated) VALUES(?1, ?2, ?3, ?4) "
              "ON CONFLICT(user_id) DO UPDATE SET type = excluded.type, blob = excluded.blob, "
              "updated = excluded.updated");
  s.Text(1, userId).Int(2, kKeyTypeUser).Blob(3, publicBlob).Int(4, NowSeconds());
  if (s.Step() != SQLITE_DONE) return Fail("cannot write the share key");
  return QvStoreStatus::Ok;
}

// Makes `keyName` the user's default and copies its public half into the share keys.
QvStoreStatus QvUserStore::Impl::SetDefaultLocked(const std::string& userId,
                                                  std::string_view keyName, const RowKey* rowKey) {
  Statement key(db, "SELECT key_name, public_blob FROM keys WHERE user_id = ?1 AND key_name = ?2");
  const int rc = key.Text(1, userId).Text(2, keyName).Step();
  if (rc == SQLITE_DONE) return Refuse(QvStoreStatus::NotFound, "no such key");
  if (rc != SQLITE_ROW) return Fail("cannot read the keys");
  const std::string name = key.ColumnText(0);
  const std::vector<std::uint8_t> publicBlob = key.ColumnBlob(1);
  const Binder byName = [&name](Statement& s) { s.Text(2, name); };
  if (rowKey != nullptr) {
    const QvStoreStatus checked =
        CheckRowsLocked(kKeyRows, userId, *rowKey, "key_name = ?2", byName);
    if (checked != QvStoreStatus::Ok) return checked;
  }
  Statement update(db, "UPDATE users SET default_key = ?2 WHERE user_id = ?1");
  if (update.Text(1, userId).Text(2, name).Step() != SQLITE_DONE)
    return Fail("cannot write the default key");
  QvStoreStatus status = WriteShareKeyLocked(userId, publicBlob);
  if (status == QvStoreStatus::Ok && rowKey != nullptr)
    status = SealRowsLocked(kUserRow, userId, *rowKey);
  if (status == QvStoreStatus::Ok && rowKey != nullptr)
    status = SealRowsLocked(kShareKeyRow, userId, *rowKey);
  return status;
}

// Inserts a key; the caller holds a transaction and has checked the blob.
QvStoreStatus QvUserStore::Impl::InsertKeyLocked(const std::string& userId, const QvKey& key,
                                                 const unsigned char* masterKey) {
  bool hasSecret = false;
  (void)IsKeyBlob(key.blob.data(), key.blob.size(), &hasSecret);
  std::vector<std::uint8_t> sealed;
  if (hasSecret) {
    if (masterKey == nullptr)
      return Refuse(QvStoreStatus::NotVerified,
                    "the user must be verified before a secret key is stored");
    if (!qvstore::Seal(masterKey, key.blob.data() + kKeyBlobSecretOffset, kKeyBlobKeySize,
                       qvstore::SecretKeyContext(userId, key.name), &sealed))
      return Fail("cannot seal the secret key");
  }
  {
    Statement exists(db, "SELECT 1 FROM keys WHERE user_id = ?1 AND key_name = ?2");
    const int rc = exists.Text(1, userId).Text(2, key.name).Step();
    if (rc == SQLITE_ROW)
      return Refuse(QvStoreStatus::Exists, "the user already has a key named " + key.name);
    if (rc != SQLITE_DONE) return Fail("cannot read the keys");
  }
  Statement insert(db,
                   "INSERT INTO keys(user_id, key_name, label, type, public_blob, sealed_secret, "
                   "created) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  insert.Text(1, userId)
      .Text(2, key.name)
      .Text(3, key.label)
      .Int(4, key.type)
      .Blob(5, PublicHalf(key.blob))
      .Int(7, NowSeconds());
  if (hasSecret)
    insert.Blob(6, sealed);
  else
    insert.Null(6);
  if (insert.Step() != SQLITE_DONE) return Fail("cannot write the key");
  if (masterKey == nullptr) return QvStoreStatus::Ok;  // a user without a password
  const std::string& name = key.name;
  return SealRowsLocked(kKeyRows, userId, RowKey(masterKey), "key_name = ?2",
                        [&name](Statement& s) { s.Text(2, name); });
}

bool QvUserStore::Impl::ValidKey(const QvKey& key) {
  return !key.name.empty() && IsCleanText(key.name, kMaxKeyNameLength) &&
         IsCleanText(key.label, kMaxKeyNameLength) && key.type == kKeyTypeUser &&
         IsKeyBlob(key.blob.data(), key.blob.size());
}

// Every public member: take the lock, make sure the connection is this process's, and keep
// exceptions inside.
#define QV_STORE_ENTRY()                                                                        \
  std::lock_guard<std::recursive_mutex> guard(impl_->lock);                                     \
  if (const QvStoreStatus usable = impl_->Usable(); usable != QvStoreStatus::Ok) return usable; \
  try {
#define QV_STORE_EXIT()                                           \
  }                                                               \
  catch (...) {                                                   \
    return impl_->Refuse(QvStoreStatus::Failed, "out of memory"); \
  }

QvUserStore::QvUserStore() : impl_(std::make_unique<Impl>()) {}

QvUserStore::~QvUserStore() { Close(); }

std::string QvUserStore::DefaultPath(bool makeRoot) {
  const std::string root = makeRoot ? QvMachineRoot() : QvMachineRootPath();
  return root.empty() ? std::string() : root + "/" + kUserStoreFileName;
}

QvStoreStatus QvUserStore::Open(const std::string& path, Creation creation) {
  std::lock_guard<std::recursive_mutex> guard(impl_->lock);
  try {
    impl_->mayCreate = creation == Creation::IfMissing;
    return impl_->OpenAt(path.empty() ? DefaultPath() : path);
  } catch (...) {
    return impl_->Refuse(QvStoreStatus::Failed, "out of memory");
  }
}

void QvUserStore::Close() {
  std::lock_guard<std::recursive_mutex> guard(impl_->lock);
  impl_->CloseDb();
}

bool QvUserStore::IsOpen() const {
  std::lock_guard<std::recursive_mutex> guard(impl_->lock);
  return impl_->db != nullptr;
}

const std::string& QvUserStore::Path() const { return impl_->path; }

std::string QvUserStore::LastError() const {
  std::lock_guard<std::recursive_mutex> guard(impl_->lock);
  return impl_->lastError;
}

// ---- Machine-wide values ----

QvStoreStatus QvUserStore::GetEdition(DWORD* edition) {
  if (edition == nullptr) return QvStoreStatus::InvalidArgument;
  QV_STORE_ENTRY()
  return impl_->ReadConfig("edition", edition);
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::SetEdition(DWORD edition) {
  QV_STORE_ENTRY()
  return impl_->WriteConfig("edition", edition);
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::GetModeWord(DWORD* mode) {
  if (mode == nullptr) return QvStoreStatus::InvalidArgument;
  QV_STORE_ENTRY()
  return impl_->ReadConfig("mode_word", mode);
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::SetModeWord(DWORD mode) {
  QV_STORE_ENTRY()
  return impl_->WriteConfig("mode_word", mode);
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::MachineAccount(QvUserInfo* info) {
  QV_STORE_ENTRY()
  const std::string type = std::to_string(static_cast<int>(QvAccountType::Machine));
  return impl_->FindUserWhere("u.account_type = CAST(?1 AS INTEGER)", type, info);
  QV_STORE_EXIT()
}

// ---- Users ----

QvStoreStatus QvUserStore::Enroll(const QvNewUser& user, std::optional<std::string_view> password,
                                  const QvKey* defaultKey) {
  QV_STORE_ENTRY()
  Impl& impl = *impl_;
  if (!QvIsValidUserId(user.userId))
    return impl.Refuse(QvStoreStatus::InvalidArgument,
                       "a user id has 1 to 11 letters, digits, '.', '_' or '-'");
  if (user.userName.empty() || !IsCleanText(user.userName, kMaxUserNameLength) ||
      !IsCleanText(user.displayName, kMaxUserNameLength))
    return impl.Refuse(QvStoreStatus::InvalidArgument, "the user name is empty or too long");
  if (password && (password->empty() || password->size() > kMaxPasswordLength))
    return impl.Refuse(QvStoreStatus::InvalidArgument, "the password is empty or too long");
  bool keyHasSecret = false;
  if (defaultKey != nullptr) {
    if (!Impl::ValidKey(*defaultKey))
      return impl.Refuse(QvStoreStatus::InvalidArgument, "the key is not a valid key");
    (void)IsKeyBlob(defaultKey->blob.data(), defaultKey->blob.size(), &keyHasSecret);
    if (keyHasSecret && !password)
      return impl.Refuse(QvStoreStatus::InvalidArgument,
                         "a secret key needs a password to protect it");
  }
  const std::string userName = QvNormalizeUserName(user.userName);

  // The slow part (Argon2id) runs before the transaction so writers are not held up.
  QvMasterKey masterKey;
  qvstore::SealedMasterKey sealed;
  if (password) {
    if (!masterKey.Valid() || !qvstore::RandomSalt(masterKey.Data()) ||
        !qvstore::RandomSalt(masterKey.Data() + qvstore::kSaltSize))
      return impl.Fail("cannot make the master key");
    if (!qvstore::SealMasterKey(RowsAuthenticatedContext(user.userId), *password, masterKey.Data(),
                                &sealed))
      return impl.Fail("cannot derive the password keys");
  }

  Transaction transaction(impl.db);
  if (!transaction.Began()) return impl.Fail("cannot lock the user store");
  QvUserInfo existing;
  QvStoreStatus found = impl_->FindUserWhere("u.user_id = ?1", user.userId, &existing);
  if (found == QvStoreStatus::Ok)
    return impl.Refuse(QvStoreStatus::Exists, "the user id " + user.userId + " is taken");
  if (found != QvStoreStatus::NotFound) return found;
  found = impl_->FindUserWhere("u.user_name = ?1", userName, &existing);
  if (found == QvStoreStatus::Ok)
    return impl.Refuse(QvStoreStatus::Exists,
                       userName + " is enrolled already (user id " + existing.userId + ")");
  if (found != QvStoreStatus::NotFound) return found;

  Statement insert(impl.db,
                   "INSERT INTO users(user_id, user_name, display_name, account_type, "
                   "password_hash, kek_salt, kek_ops, kek_mem, master_key, session_timeout_ms, "
                   "created) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
  insert.Text(1, user.userId)
      .Text(2, userName)
      .Text(3, user.displayName.empty() ? userName : user.displayName)
      .Int(4, static_cast<std::int64_t>(user.accountType))
      .Int(10, kDefaultSessionTimeoutMs)
      .Int(11, NowSeconds());
  if (password) {
    insert.Text(5, sealed.verifier)
        .Blob(6, sealed.salt)
        .Int(7, static_cast<std::int64_t>(sealed.limits.ops))
        .Int(8, static_cast<std::int64_t>(sealed.limits.mem))
        .Blob(9, sealed.wrapped);
  } else {
    insert.Null(5).Null(6).Null(7).Null(8).Null(9);
  }
  if (insert.Step() != SQLITE_DONE) return impl.Fail("cannot write the user");
  std::optional<RowKey> rowKey;
  if (password) rowKey.emplace(masterKey.Data());
  if (defaultKey != nullptr) {
    QvStoreStatus status =
        impl.InsertKeyLocked(user.userId, *defaultKey, password ? masterKey.Data() : nullptr);
    if (status != QvStoreStatus::Ok) return status;
    status = impl.SetDefaultLocked(user.userId, defaultKey->name, rowKey ? &*rowKey : nullptr);
    if (status != QvStoreStatus::Ok) return status;
  }
  if (rowKey) {
    const QvStoreStatus status = impl.SealAllRowsLocked(user.userId, *rowKey);
    if (status != QvStoreStatus::Ok) return status;
  }
  if (!transaction.Commit()) return impl.Fail("cannot write the user store");
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::RemoveUser(std::string_view userId) {
  QV_STORE_ENTRY()
  Impl& impl = *impl_;
  Transaction transaction(impl.db);
  if (!transaction.Began()) return impl.Fail("cannot lock the user store");
  std::string id;
  const QvStoreStatus status = impl.CanonicalUserId(userId, &id);
  if (status != QvStoreStatus::Ok) return status;
  Statement remove(impl.db, "DELETE FROM users WHERE user_id = ?1");
  if (remove.Text(1, id).Step() != SQLITE_DONE) return impl.Fail("cannot remove the user");
  if (!transaction.Commit()) return impl.Fail("cannot write the user store");
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::FindUserById(std::string_view userId, QvUserInfo* info) {
  QV_STORE_ENTRY()
  if (!QvIsValidUserId(userId)) return impl_->Refuse(QvStoreStatus::NotFound, "no such user");
  return impl_->FindUserWhere("u.user_id = ?1", userId, info);
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::FindUserByName(std::string_view userName, QvUserInfo* info) {
  QV_STORE_ENTRY()
  if (userName.empty() || !IsCleanText(userName, kMaxUserNameLength))
    return impl_->Refuse(QvStoreStatus::NotFound, "no such user");
  const std::string normalized = QvNormalizeUserName(userName);
  QvStoreStatus status = impl_->FindUserWhere("u.user_name = ?1", normalized, info);
  if (status == QvStoreStatus::NotFound && normalized.find('\\') == std::string::npos)
    status = impl_->FindUserWhere("u.user_name = ?1", ".\\" + normalized, info);
  return status;
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::FindUser(std::string_view reference, QvUserInfo* info) {
  QV_STORE_ENTRY()
  Impl& impl = *impl_;
  if (QvIsValidUserId(reference)) {
    const QvStoreStatus status = impl_->FindUserWhere("u.user_id = ?1", reference, info);
    if (status != QvStoreStatus::NotFound) return status;
  }
  if (!reference.empty() && reference.front() == '{') {
    const size_t close = reference.find('}');
    if (close == std::string_view::npos)
      return impl.Refuse(QvStoreStatus::NotFound, "no such user");
    const std::string_view keyName = reference.substr(0, close + 1);
    const std::string sql = std::string("SELECT ") + kUserColumns +
                            " FROM users u JOIN keys k ON k.user_id = u.user_id "
                            "WHERE k.key_name = ?1 ORDER BY k.created LIMIT 1";
    Statement s(impl.db, sql.c_str());
    const int rc = s.Text(1, keyName).Step();
    if (rc == SQLITE_ROW) {
      if (info != nullptr) *info = ReadUserRow(s);
      return QvStoreStatus::Ok;
    }
    if (rc != SQLITE_DONE) return impl.Fail("cannot read the keys");
    const std::string_view inner = reference.substr(1, close - 1);
    if (QvIsValidUserId(inner)) return impl.FindUserWhere("u.user_id = ?1", inner, info);
    return impl.Refuse(QvStoreStatus::NotFound, "no such user");
  }
  return FindUserByName(reference, info);
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::ListUsers(std::vector<QvUserInfo>* users) {
  if (users == nullptr) return QvStoreStatus::InvalidArgument;
  QV_STORE_ENTRY()
  users->clear();
  const std::string sql = std::string("SELECT ") + kUserColumns +
                          " FROM users u ORDER BY u.account_type = 3, u.user_id";
  Statement s(impl_->db, sql.c_str());
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) users->push_back(ReadUserRow(s));
  if (rc != SQLITE_DONE) return impl_->Fail("cannot read the users");
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::SetSessionTimeout(std::string_view userId, DWORD milliseconds,
                                             const QvMasterKey* masterKey) {
  QV_STORE_ENTRY()
  Impl& impl = *impl_;
  Transaction transaction(impl.db);
  if (!transaction.Began()) return impl.Fail("cannot lock the user store");
  std::string id;
  QvStoreStatus status = impl.BeginUserChangeLocked(userId, masterKey, &id);
  if (status != QvStoreStatus::Ok) return status;
  Statement s(impl.db, "UPDATE users SET session_timeout_ms = ?2 WHERE user_id = ?1");
  if (s.Text(1, id).Int(2, milliseconds).Step() != SQLITE_DONE)
    return impl.Fail("cannot write the session time-out");
  status = impl.SealRowsLocked(kUserRow, id, RowKey(masterKey->Data()));
  if (status != QvStoreStatus::Ok) return status;
  if (!transaction.Commit()) return impl.Fail("cannot write the user store");
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::FindUserChecked(std::string_view userId, const QvMasterKey& masterKey,
                                           QvUserInfo* info) {
  QV_STORE_ENTRY()
  std::string id;
  const QvStoreStatus status = impl_->BeginUserChangeLocked(userId, &masterKey, &id);
  if (status != QvStoreStatus::Ok) return status;
  return impl_->FindUserWhere("u.user_id = ?1", id, info);
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::CheckUserRows(std::string_view userId, const QvMasterKey& masterKey) {
  QV_STORE_ENTRY()
  std::string id;
  QvStoreStatus status = impl_->BeginUserChangeLocked(userId, &masterKey, &id);
  const RowKey rowKey(masterKey.Data());
  for (const RowTable* table : kAllRowTables)
    if (status == QvStoreStatus::Ok) status = impl_->CheckRowsLocked(*table, id, rowKey);
  return status;
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::UnlockMasterKey(std::string_view userId, std::string_view password,
                                           QvMasterKey* masterKey) {
  if (masterKey == nullptr || !masterKey->Valid()) return QvStoreStatus::InvalidArgument;
  std::string id;
  qvstore::SealedMasterKey stored;
  {
    QV_STORE_ENTRY()
    Impl& impl = *impl_;
    if (!QvIsValidUserId(userId)) return impl.Refuse(QvStoreStatus::NotFound, "no such user");
    Statement s(impl.db,
                "SELECT user_id, password_hash, kek_salt, kek_ops, kek_mem, master_key "
                "FROM users WHERE user_id = ?1");
    const int rc = s.Text(1, userId).Step();
    if (rc == SQLITE_DONE) return impl.Refuse(QvStoreStatus::NotFound, "no such user");
    if (rc != SQLITE_ROW) return impl.Fail("cannot read the user");
    if (s.ColumnIsNull(1))
      return impl.Refuse(QvStoreStatus::NoPassword, "the user has no password enrolled");
    id = s.ColumnText(0);
    stored.verifier = s.ColumnText(1);
    stored.salt = s.ColumnBlob(2);
    stored.limits.ops = static_cast<std::uint64_t>(std::max<std::int64_t>(s.ColumnInt(3), 0));
    stored.limits.mem = static_cast<std::uint64_t>(std::max<std::int64_t>(s.ColumnInt(4), 0));
    stored.wrapped = s.ColumnBlob(5);
    QV_STORE_EXIT()
  }
  // Argon2id runs without the store's lock.
  bool upgrade = false;
  std::size_t openedWith = 0;
  const qvstore::Unsealed opened =
      password.empty() || password.size() > kMaxPasswordLength
          ? qvstore::Unsealed::WrongPassword
          : qvstore::UnsealMasterKey({RowsAuthenticatedContext(id), qvstore::MasterKeyContext(id)},
                                     password, stored, masterKey->Data(), &upgrade, &openedWith);
  if (opened != qvstore::Unsealed::Opened) {
    std::lock_guard<std::recursive_mutex> guard(impl_->lock);
    switch (opened) {
      case qvstore::Unsealed::WrongPassword:
        return impl_->Refuse(QvStoreStatus::WrongPassword, "the password is not correct");
      case qvstore::Unsealed::Failed:
        return impl_->Refuse(QvStoreStatus::Failed,
                             "not enough memory to check the password; close other programs "
                             "and try again");
      default:
        return impl_->Refuse(QvStoreStatus::Damaged, "the user's master key cannot be unwrapped");
    }
  }
  // A user whose master key has the wrapping of a version without row MACs gets the MACs now,
  // with a new wrapping that says so; a log-on whose rows cannot be sealed fails.
  if (openedWith != 0) return ResealMasterKey(id, password, stored.verifier, *masterKey, true);
  // A record of an older store, or one sealed at lower limits than a new one would be, is
  // sealed again now that the password is known; the log-on stands even when that fails,
  // and the next one tries again.
  if (upgrade) (void)ResealMasterKey(id, password, stored.verifier, *masterKey, false);
  return QvStoreStatus::Ok;
}

QvStoreStatus QvUserStore::ResealMasterKey(const std::string& userId, std::string_view password,
                                           const std::string& oldVerifier,
                                           const QvMasterKey& masterKey, bool sealRows) {
  // Argon2id runs without the store's lock.
  qvstore::SealedMasterKey sealed;
  const bool derived =
      qvstore::SealMasterKey(RowsAuthenticatedContext(userId), password, masterKey.Data(), &sealed);
  QV_STORE_ENTRY()
  Impl& impl = *impl_;
  if (!derived) return impl.Fail("cannot derive the password keys");
  Transaction transaction(impl.db);
  if (!transaction.Began()) return impl.Fail("cannot lock the user store");
  // Only the record that was opened is replaced: a password changed meanwhile stays, and a
  // record another process sealed again meanwhile has had its rows sealed by that process.
  Statement s(impl.db,
              "UPDATE users SET password_hash = ?2, kek_salt = ?3, kek_ops = ?4, kek_mem = ?5, "
              "master_key = ?6 WHERE user_id = ?1 AND password_hash = ?7");
  s.Text(1, userId)
      .Text(2, sealed.verifier)
      .Blob(3, sealed.salt)
      .Int(4, static_cast<std::int64_t>(sealed.limits.ops))
      .Int(5, static_cast<std::int64_t>(sealed.limits.mem))
      .Blob(6, sealed.wrapped)
      .Text(7, oldVerifier);
  if (s.Step() != SQLITE_DONE) return impl.Fail("cannot upgrade the user's password record");
  if (sealRows && sqlite3_changes(impl.db) != 0) {
    const QvStoreStatus status = impl.SealAllRowsLocked(userId, RowKey(masterKey.Data()));
    if (status != QvStoreStatus::Ok) return status;
  }
  if (!transaction.Commit()) return impl.Fail("cannot write the user store");
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::RecordLogOn(std::string_view userId, std::int64_t wallClockMs) {
  QV_STORE_ENTRY()
  std::string id;
  const QvStoreStatus status = impl_->CanonicalUserId(userId, &id);
  if (status != QvStoreStatus::Ok) return status;
  Statement s(impl_->db, "UPDATE users SET last_logon_ms = ?2 WHERE user_id = ?1");
  if (s.Text(1, id).Int(2, wallClockMs).Step() != SQLITE_DONE)
    return impl_->Fail("cannot record the log-on");
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

// ---- Keys ----

QvStoreStatus QvUserStore::StoreKey(std::string_view userId, const QvKey& key,
                                    const QvMasterKey* masterKey) {
  QV_STORE_ENTRY()
  Impl& impl = *impl_;
  if (!Impl::ValidKey(key)) return impl.Refuse(QvStoreStatus::InvalidArgument, "not a valid key");
  Transaction transaction(impl.db);
  if (!transaction.Began()) return impl.Fail("cannot lock the user store");
  std::string id;
  QvUserInfo info;
  QvStoreStatus status = impl.BeginUserChangeLocked(userId, masterKey, &id);
  if (status != QvStoreStatus::Ok) return status;
  status = impl_->FindUserWhere("u.user_id = ?1", id, &info);
  if (status != QvStoreStatus::Ok) return status;
  status = impl.InsertKeyLocked(id, key, masterKey->Data());
  if (status != QvStoreStatus::Ok) return status;
  if (info.defaultKey.empty()) {
    const RowKey rowKey(masterKey->Data());
    status = impl.SetDefaultLocked(id, key.name, &rowKey);
    if (status != QvStoreStatus::Ok) return status;
  }
  if (!transaction.Commit()) return impl.Fail("cannot write the user store");
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::ReadKey(std::string_view userId, std::string_view keyName,
                                   const QvMasterKey* masterKey, QvKey* key) {
  if (key == nullptr) return QvStoreStatus::InvalidArgument;
  QV_STORE_ENTRY()
  Impl& impl = *impl_;
  QvUserInfo info;
  QvStoreStatus status = QvIsValidUserId(userId)
                             ? impl.FindUserWhere("u.user_id = ?1", userId, &info)
                             : impl.Refuse(QvStoreStatus::NotFound, "no such user");
  if (status != QvStoreStatus::Ok) return status;
  const bool checked = masterKey != nullptr && masterKey->Valid();
  std::optional<RowKey> rowKey;
  if (checked) {
    rowKey.emplace(masterKey->Data());
    status = impl.CheckRowsLocked(kUserRow, info.userId, *rowKey);
    if (status != QvStoreStatus::Ok) return status;
  }
  // An empty name asks for the default key; so does the user id when no key has that name
  // (the user id is the default key's name in the extension's eyes).
  std::string wanted(keyName.empty() ? std::string_view(info.defaultKey) : keyName);
  if (!keyName.empty() && sqlite3_stricmp(wanted.c_str(), info.userId.c_str()) == 0 &&
      !info.defaultKey.empty()) {
    Statement named(impl.db, "SELECT 1 FROM keys WHERE user_id = ?1 AND key_name = ?2");
    const int rc = named.Text(1, info.userId).Text(2, wanted).Step();
    if (rc == SQLITE_DONE)
      wanted = info.defaultKey;
    else if (rc != SQLITE_ROW)
      return impl.Fail("cannot read the keys");
  }
  // An owner identity "{name}" names the key "name" (the file-encryption library wraps key
  // names that are not GUIDs in braces).
  if (wanted.size() > 2 && wanted.front() == '{' && wanted.back() == '}') {
    Statement named(impl.db, "SELECT 1 FROM keys WHERE user_id = ?1 AND key_name = ?2");
    const int rc = named.Text(1, info.userId).Text(2, wanted).Step();
    if (rc == SQLITE_DONE) {
      const std::string inner = wanted.substr(1, wanted.size() - 2);
      return ReadKey(userId, inner, masterKey, key);
    }
    if (rc != SQLITE_ROW) return impl.Fail("cannot read the keys");
  }
  if (wanted.empty()) return impl.Refuse(QvStoreStatus::NotFound, "the user has no default key");
  Statement s(impl.db,
              "SELECT key_name, label, type, public_blob, sealed_secret FROM keys "
              "WHERE user_id = ?1 AND key_name = ?2");
  const int rc = s.Text(1, info.userId).Text(2, wanted).Step();
  if (rc == SQLITE_DONE) return impl.Refuse(QvStoreStatus::NotFound, "no such key");
  if (rc != SQLITE_ROW) return impl.Fail("cannot read the keys");
  QvKey out;
  out.name = s.ColumnText(0);
  out.label = s.ColumnText(1);
  out.type = static_cast<DWORD>(s.ColumnInt(2));
  out.blob = s.ColumnBlob(3);
  out.hasStoredSecret = !s.ColumnIsNull(4);
  out.isDefault = sqlite3_stricmp(out.name.c_str(), info.defaultKey.c_str()) == 0;
  if (!IsKeyBlob(out.blob.data(), out.blob.size()))
    return impl.Refuse(QvStoreStatus::Damaged, "the stored key is damaged");
  if (checked) {
    const std::string& name = out.name;
    status = impl.CheckRowsLocked(kKeyRows, info.userId, *rowKey, "key_name = ?2",
                                  [&name](Statement& row) { row.Text(2, name); });
    if (status != QvStoreStatus::Ok) return status;
  }
  if (out.hasStoredSecret && checked) {
    const std::vector<std::uint8_t> sealed = s.ColumnBlob(4);
    if (!qvstore::Open(masterKey->Data(), sealed, qvstore::SecretKeyContext(info.userId, out.name),
                       out.blob.data() + kKeyBlobSecretOffset, kKeyBlobKeySize)) {
      SecureZeroMemory(out.blob.data(), out.blob.size());
      return impl.Refuse(QvStoreStatus::Damaged, "the secret key cannot be opened");
    }
    out.blob[5] = static_cast<std::uint8_t>(out.blob[5] | kKeyBlobHasSecret);
  }
  *key = std::move(out);
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::ListKeys(std::string_view userId, std::vector<QvKey>* keys) {
  if (keys == nullptr) return QvStoreStatus::InvalidArgument;
  QV_STORE_ENTRY()
  Impl& impl = *impl_;
  keys->clear();
  QvUserInfo info;
  QvStoreStatus status = QvIsValidUserId(userId)
                             ? impl.FindUserWhere("u.user_id = ?1", userId, &info)
                             : impl.Refuse(QvStoreStatus::NotFound, "no such user");
  if (status != QvStoreStatus::Ok) return status;
  Statement s(impl.db,
              "SELECT key_name, label, type, public_blob, sealed_secret IS NOT NULL FROM keys "
              "WHERE user_id = ?1 ORDER BY created, key_name");
  s.Text(1, info.userId);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    QvKey key;
    key.name = s.ColumnText(0);
    key.label = s.ColumnText(1);
    key.type = static_cast<DWORD>(s.ColumnInt(2));
    key.blob = s.ColumnBlob(3);
    key.hasStoredSecret = s.ColumnInt(4) != 0;
    key.isDefault = sqlite3_stricmp(key.name.c_str(), info.defaultKey.c_str()) == 0;
    keys->push_back(std::move(key));
  }
  if (rc != SQLITE_DONE) return impl.Fail("cannot read the keys");
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::SetDefaultKey(std::string_view userId, std::string_view keyName,
                                         const QvMasterKey* masterKey) {
  QV_STORE_ENTRY()
  Impl& impl = *impl_;
  Transaction transaction(impl.db);
  if (!transaction.Began()) return impl.Fail("cannot lock the user store");
  std::string id;
  QvStoreStatus status = impl.BeginUserChangeLocked(userId, masterKey, &id);
  if (status != QvStoreStatus::Ok) return status;
  const RowKey rowKey(masterKey->Data());
  status = impl.SetDefaultLocked(id, keyName, &rowKey);
  if (status != QvStoreStatus::Ok) return status;
  if (!transaction.Commit()) return impl.Fail("cannot write the user store");
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::ReadShareKey(std::string_view userId, std::vector<std::uint8_t>* blob) {
  if (blob == nullptr) return QvStoreStatus::InvalidArgument;
  QV_STORE_ENTRY()
  if (!QvIsValidUserId(userId)) return impl_->Refuse(QvStoreStatus::NotFound, "no such user");
  Statement s(impl_->db, "SELECT blob FROM share_keys WHERE user_id = ?1 AND type = ?2");
  const int rc = s.Text(1, userId).Int(2, kKeyTypeUser).Step();
  if (rc == SQLITE_DONE) return impl_->Refuse(QvStoreStatus::NotFound, "no share key");
  if (rc != SQLITE_ROW) return impl_->Fail("cannot read the share keys");
  std::vector<std::uint8_t> out = s.ColumnBlob(0);
  if (!IsKeyBlob(out.data(), out.size()))
    return impl_->Refuse(QvStoreStatus::Damaged, "the share key is damaged");
  *blob = std::move(out);
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

// ---- Settings ----

QvStoreStatus QvUserStore::ReadSetting(std::string_view userId, DWORD category, DWORD id,
                                       const QvMasterKey* masterKey, std::string* value) {
  if (value == nullptr) return QvStoreStatus::InvalidArgument;
  QV_STORE_ENTRY()
  std::string user;
  QvStoreStatus status = impl_->CanonicalUserId(userId, &user);
  if (status != QvStoreStatus::Ok) return status;
  if (masterKey != nullptr && masterKey->Valid()) {
    status = impl_->CheckRowsLocked(
        kSettingRows, user, RowKey(masterKey->Data()), "category = ?2 AND id = ?3",
        [category, id](Statement& row) { row.Int(2, category).Int(3, id); });
    if (status != QvStoreStatus::Ok) return status;
  }
  Statement s(impl_->db,
              "SELECT value FROM settings WHERE user_id = ?1 AND category = ?2 AND id = ?3");
  const int rc = s.Text(1, user).Int(2, category).Int(3, id).Step();
  if (rc == SQLITE_DONE) return impl_->Refuse(QvStoreStatus::NotFound, "the setting is not set");
  if (rc != SQLITE_ROW) return impl_->Fail("cannot read the settings");
  *value = s.ColumnText(0);
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

QvStoreStatus QvUserStore::WriteSetting(std::string_view userId, DWORD category, DWORD id,
                                        std::string_view value, const QvMasterKey* masterKey) {
  QV_STORE_ENTRY()
  if (value.size() > kMaxSettingLength || value.find('\0') != std::string_view::npos)
    return impl_->Refuse(QvStoreStatus::InvalidArgument, "the value is too long");
  Transaction transaction(impl_->db);
  if (!transaction.Began()) return impl_->Fail("cannot lock the user store");
  std::string user;
  QvStoreStatus status = impl_->BeginUserChangeLocked(userId, masterKey, &user);
  if (status != QvStoreStatus::Ok) return status;
  Statement s(impl_->db,
              "INSERT INTO settings(user_id, category, id, value) VALUES(?1, ?2, ?3, ?4) "
              "ON CONFLICT(user_id, category, id) DO UPDATE SET value = excluded.value");
  if (s.Text(1, user).Int(2, category).Int(3, id).Text(4, value).Step() != SQLITE_DONE)
    return impl_->Fail("cannot write the setting");
  status = impl_->SealRowsLocked(
      kSettingRows, user, RowKey(masterKey->Data()), "category = ?2 AND id = ?3",
      [category, id](Statement& row) { row.Int(2, category).Int(3, id); });
  if (status != QvStoreStatus::Ok) return status;
  if (!transaction.Commit()) return impl_->Fail("cannot write the user store");
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

// ---- Audit records ----

QvStoreStatus QvUserStore::AddAudit(const QvAuditEntry& entry) {
  QV_STORE_ENTRY()
  if (entry.path.size() > kAuditPathSize - 1 || entry.machine.size() > sizeof(MachineInfo) - 1 ||
      entry.userId.size() > kMaxUserNameLength)
    return impl_->Refuse(QvStoreStatus::InvalidArgument, "the audit record is too long");
  AuditStatements& kept = impl_->auditStatements;
  if (!kept.Prepare(impl_->db, impl_->synchronous))
    return impl_->Fail("cannot write the audit record");
  Statement s(kept.insert);
  s.Text(1, entry.userId)
      .Text(2, entry.machine)
      .Text(3, entry.path)
      .Int(4, entry.result)
      .Int(5, entry.eventType)
      .Int(6, entry.time);
  // Committed without a sync of its own: see AuditSyncer.
  const bool grouped = impl_->writeAheadLog && Statement(kept.grouped).Step() == SQLITE_DONE;
  const bool written = s.Step() == SQLITE_DONE;
  if (grouped && Statement(kept.restore).Step() != SQLITE_DONE) impl_->writeAheadLog = false;
  if (!written) return impl_->Fail("cannot write the audit record");
  if (grouped) impl_->auditSyncer.Committed();
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}

void QvUserStore::SyncAudit() {
  std::lock_guard<std::recursive_mutex> guard(impl_->lock);
  if (impl_->db != nullptr && impl_->pid == getpid()) impl_->auditSyncer.Stop();
}

std::uint64_t QvUserStore::AuditRecordsNotOnDisk() {
  std::lock_guard<std::recursive_mutex> guard(impl_->lock);
  return impl_->auditSyncer.NotOnDisk();
}

QvStoreStatus QvUserStore::QueryAudit(const QvAuditFilter& filter,
                                      std::vector<QvAuditEntry>* entries) {
  if (entries == nullptr) return QvStoreStatus::InvalidArgument;
  QV_STORE_ENTRY()
  entries->clear();
  Statement s(impl_->db,
              "SELECT seq, user_id, machine, path, result, event_type, time FROM audit "
              "WHERE (?1 IS NULL OR user_id = ?1) AND (?2 IS NULL OR event_type = ?2) "
              "AND (?3 IS NULL OR time >= ?3) ORDER BY time DESC, seq DESC LIMIT ?4");
  if (filter.userId)
    s.Text(1, *filter.userId);
  else
    s.Null(1);
  if (filter.eventType)
    s.Int(2, *filter.eventType);
  else
    s.Null(2);
  if (filter.since)
    s.Int(3, *filter.since);
  else
    s.Null(3);
  s.Int(4, filter.limit == 0 ? -1 : static_cast<std::int64_t>(filter.limit));
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    QvAuditEntry entry;
    entry.sequence = s.ColumnInt(0);
    entry.userId = s.ColumnText(1);
    entry.machine = s.ColumnText(2);
    entry.path = s.ColumnText(3);
    entry.result = static_cast<DWORD>(s.ColumnInt(4));
    entry.eventType = static_cast<DWORD>(s.ColumnInt(5));
    entry.time = s.ColumnInt(6);
    entries->push_back(std::move(entry));
  }
  if (rc != SQLITE_DONE) return impl_->Fail("cannot read the audit records");
  return QvStoreStatus::Ok;
  QV_STORE_EXIT()
}
