// The registry hive: an in-memory tree of keys and values, parsed from and written to one
// text file under the machine root, and the Win32 key and value calls over it.
//
// Writers serialise on an flock of a separate lock file, re-read the hive under that lock,
// apply their change and replace the file atomically (temporary file, fsync, rename), so
// concurrent writers in several processes lose nothing and readers never see a half-written
// file. Readers take no lock: they open the current file and parse it again only when it
// differs from the one parsed last. The parsed file stays open so that its inode number
// cannot be reused by a later file, which keeps the (device, inode, size, mtime) identity
// check sound. A hive that cannot be read or parsed is never written over.
#include "platform/Registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/Guarded.h"
#include "platform/MachineRoot.h"
#include "platform/PosixIo.h"

namespace {

constexpr std::string_view kMagic = "QVHIVE";
constexpr unsigned kFormatVersion = 1;
constexpr char kHiveFolder[] = "/registry";
constexpr char kHiveName[] = "hive";
constexpr char kLockName[] = "hive.lock";
constexpr std::string_view kTempPrefix = "hive.tmp.";
constexpr char kMachineRootName[] = "HKEY_LOCAL_MACHINE";
constexpr char kUsersRootName[] = "HKEY_USERS";
constexpr off_t kMaxHiveFileSize = 256 * 1024 * 1024;
// The DELETE standard right, needed by RegDeleteTreeA as on Windows.
constexpr REGSAM kDeleteRight = 0x00010000;

// ---------------------------------------------------------------------------------------
// The tree

// Names compare as Windows compares them: ASCII letters upper-cased.
std::string Fold(std::string_view s) { return ToUpperAscii(s); }

struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::string data;
};

struct Key {
  std::string name;
  std::vector<Value> values;                            // in the order first set
  std::map<std::string, std::unique_ptr<Key>> subkeys;  // by folded name, so in name order

  Key* Find(std::string_view child) const {
    auto it = subkeys.find(Fold(child));
    return it == subkeys.end() ? nullptr : it->second.get();
  }
  Key* Add(std::string_view child) {
    auto key = std::make_unique<Key>();
    key->name = std::string(child);
    Key* raw = key.get();
    subkeys[Fold(child)] = std::move(key);
    return raw;
  }
  Value* FindValue(std::string_view valueName) {
    for (Value& v : values)
      if (EqualsIgnoringAsciiCase(v.name, valueName)) return &v;
    return nullptr;
  }
};

struct Hive {
  Key machine;
  Key users;
  Hive() {
    machine.name = kMachineRootName;
    users.name = kUsersRootName;
  }
};

enum class HiveRoot { Machine, Users };

// A key as a handle names it: the hive root, the path below it, and how many leading
// components belong to the mapping of a predefined key (HKEY_CLASSES_ROOT,
// HKEY_CURRENT_USER). Those implicit keys always exist for the caller: reads see an empty
// key while they are missing, and writes create them.
struct KeyRef {
  HiveRoot root = HiveRoot::Machine;
  size_t baseDepth = 0;
  std::vector<std::string> path;
};

Key& RootOf(Hive& hive, HiveRoot root) {
  return root == HiveRoot::Machine ? hive.machine : hive.users;
}

Key& EmptyKey() {
  static Key empty;
  return empty;
}

// The key of `ref`; EmptyKey() when only implicit keys are missing; null when it is gone.
Key* FindKey(Hive& hive, const KeyRef& ref) {
  Key* key = &RootOf(hive, ref.root);
  for (size_t i = 0; i < ref.path.size(); ++i) {
    key = key->Find(ref.path[i]);
    if (key == nullptr) return ref.path.size() <= ref.baseDepth ? &EmptyKey() : nullptr;
  }
  return key;
}

// The key of `ref` for a change; implicit keys are created when `createBase` is set.
Key* FindKeyForChange(Hive& hive, const KeyRef& ref, bool createBase, bool& changed) {
  Key* key = &RootOf(hive, ref.root);
  for (size_t i = 0; i < ref.path.size(); ++i) {
    Key* next = key->Find(ref.path[i]);
    if (next == nullptr) {
      if (!createBase || i >= ref.baseDepth) return nullptr;
      next = key->Add(ref.path[i]);
      changed = true;
    }
    key = next;
  }
  return key;
}

// What a missing key means to the handle that names it.
LSTATUS MissingStatus(const KeyRef& ref) {
  return ref.path.size() <= ref.baseDepth ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
}

// ---------------------------------------------------------------------------------------
// The file format (docs/registry-hive.md)

std::uint64_t Fnv1a64(std::string_view bytes) {
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kHexUpper[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Hex64(std::uint64_t v) {
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) out[static_cast<size_t>(i)] = kHexDigits[v & 0xf];
  return out;
}

bool NeedsEscape(unsigned char c) {
  return c <= 0x20 || c >= 0x7f || c == '%' || c == '\\' || c == '@';
}

// A name as one space-free token: "@" for the empty name, else %XX for every byte that is
// blank, not printable ASCII, or one of % \ @.
std::string EscapeName(std::string_view name) {
  if (name.empty()) return "@";
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) {
    if (NeedsEscape(c)) {
      out += '%';
      out += kHexUpper[c >> 4];
      out += kHexUpper[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool UnescapeName(std::string_view token, std::string& out) {
  out.clear();
  if (token == "@") return true;
  if (token.empty()) return false;
  for (size_t i = 0; i < token.size(); ++i) {
    const auto c = static_cast<unsigned char>(token[i]);
    if (c == '%') {
      if (i + 2 >= token.size()) return false;
      const int hi = HexValue(token[i + 1]);
      const int lo = HexValue(token[i + 2]);
      if (hi < 0 || lo < 0) return false;
      const int byte = hi * 16 + lo;
      if (byte == 0) return false;
      out += static_cast<char>(byte);
      i += 2;
    } else if (NeedsEscape(c)) {
      return false;
    } else {
      out += static_cast<char>(c);
    }
  }
  return true;
}

// A decimal number without sign or leading zeros, at most `max`.
bool ParseNumber(std::string_view s, std::uint64_t max, std::uint64_t& out) {
  if (s.empty() || s.size() > 20 || (s.size() > 1 && s[0] == '0')) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  out = v;
  return true;
}

// Splits `line` at every `sep`. It stops once it has more than `maxFields` fields (the last
// one then holds the rest of the line), so a line of a hostile file that is nothing but
// separators costs no more than the limit its caller enforces.
std::vector<std::string_view> SplitFields(std::string_view line, char sep,
                                          size_t maxFields = std::numeric_limits<size_t>::max()) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    if (fields.size() == maxFields) {
      fields.push_back(line.substr(start));
      break;
    }
    const size_t end = line.find(sep, start);
    fields.push_back(line.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return fields;
}

void SerializeKey(const Key& key, std::string& path, std::string& out, std::uint64_t& records) {
  out += "k ";
  out += path;
  out += '\n';
  ++records;
  for (const Value& v : key.values) {
    out += "v ";
    out += EscapeName(v.name);
    out += ' ';
    out += std::to_string(v.type);
    out += ' ';
    out += std::to_string(v.data.size());
    out += ':';
    for (unsigned char c : v.data) {
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0xf];
    }
    out += '\n';
    ++records;
  }
  for (const auto& [folded, child] : key.subkeys) {
    const size_t keep = path.size();
    path += '\\';
    path += EscapeName(child->name);
    SerializeKey(*child, path, out, records);
    path.resize(keep);
  }
}

std::string Serialize(const Hive& hive) {
  std::string out = std::string(kMagic) + " " + std::to_string(kFormatVersion) + "\n";
  std::uint64_t records = 0;
  std::string path = kMachineRootName;
  SerializeKey(hive.machine, path, out, records);
  path = kUsersRootName;
  SerializeKey(hive.users, path, out, records);
  const std::uint64_t sum = Fnv1a64(out);
  out += "end " + std::to_string(records) + " " + Hex64(sum) + "\n";
  return out;
}

bool ParseKeyLine(std::string_view pathText, Hive& hive, bool (&seenRoot)[2], Key*& current,
                  std::string& why) {
  const std::vector<std::string_view> parts = SplitFields(pathText, '\\', kRegMaxKeyDepth + 1);
  int rootIndex = -1;
  if (parts[0] == kMachineRootName) rootIndex = 0;
  if (parts[0] == kUsersRootName) rootIndex = 1;
  if (rootIndex < 0) {
    why = "a key is outside HKEY_LOCAL_MACHINE and HKEY_USERS";
    return false;
  }
  Key* key = rootIndex == 0 ? &hive.machine : &hive.users;
  if (parts.size() == 1) {
    if (seenRoot[rootIndex]) {
      why = "a root key is listed twice";
      return false;
    }
    seenRoot[rootIndex] = true;
    current = key;
    return true;
  }
  if (!seenRoot[rootIndex] || parts.size() - 1 > kRegMaxKeyDepth) {
    why = parts.size() - 1 > kRegMaxKeyDepth ? "a key is nested too deeply"
                                             : "a key is listed before its root";
    return false;
  }
  std::string name;
  for (size_t i = 1; i < parts.size(); ++i) {
    if (!UnescapeName(parts[i], name) || name.empty() || name.size() > kRegMaxKeyNameLength ||
        name.find('\\') != std::string::npos) {
      why = "a key name is malformed or too long";
      return false;
    }
    Key* next = key->Find(name);
    const bool last = i + 1 == parts.size();
    if (last && next != nullptr) {
      why = "a key is listed twice";
      return false;
    }
    if (!last && next == nullptr) {
      why = "a key is listed before its parent";
      return false;
    }
    key = last ? key->Add(name) : next;
  }
  current = key;
  return true;
}

// `names` holds the folded names of the values already read for `current`: a linear search of
// its values for each new one would make a key with very many values take quadratic time.
bool ParseValueLine(std::string_view rest, Key* current, std::unordered_set<std::string>& names,
                    std::string& why) {
  const std::vector<std::string_view> f = SplitFields(rest, ' ', 3);
  Value v;
  std::uint64_t type = 0;
  if (current == nullptr) {
    why = "a value comes before any key";
    return false;
  }
  if (f.size() != 3 || !UnescapeName(f[0], v.name) || v.name.size() > kRegMaxValueNameLength ||
      !ParseNumber(f[1], 0xffffffffu, type)) {
    why = "a value line is malformed";
    return false;
  }
  v.type = static_cast<DWORD>(type);
  const size_t colon = f[2].find(':');
  std::uint64_t length = 0;
  if (colon == std::string_view::npos ||
      !ParseNumber(f[2].substr(0, colon), kRegMaxValueDataSize, length) ||
      f[2].size() - colon - 1 != length * 2) {
    why = "the length of a value's data does not match its data";
    return false;
  }
  const std::string_view hex = f[2].substr(colon + 1);
  v.data.resize(static_cast<size_t>(length));
  for (size_t i = 0; i < v.data.size(); ++i) {
    const int hi = HexValue(hex[2 * i]);
    const int lo = HexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      why = "a value's data is not hexadecimal";
      return false;
    }
    v.data[i] = static_cast<char>(hi * 16 + lo);
  }
  if (!names.insert(Fold(v.name)).second) {
    why = "a value is listed twice";
    return false;
  }
  current->values.push_back(std::move(v));
  return true;
}

// Parses a whole hive file; on failure `why` says what is wrong, for the message.
bool ParseHive(std::string_view text, Hive& hive, std::string& why) {
  const size_t firstEnd = text.find('\n');
  const std::string_view first = text.substr(0, firstEnd);
  if (first.substr(0, kMagic.size() + 1) != std::string(kMagic) + " ") {
    why = "it is not a registry hive file (no \"QVHIVE\" first line)";
    return false;
  }
  if (first != std::string(kMagic) + " " + std::to_string(kFormatVersion)) {
    // The version goes to the terminal, so no byte of the file may reach it unfiltered.
    std::string version(first.substr(kMagic.size() + 1, 16));
    for (char& c : version)
      if (c < 0x20 || c > 0x7e) c = '?';
    why = "its format version (" + version + ") is not one this program reads";
    return false;
  }
  if (firstEnd == std::string_view::npos || text.back() != '\n' || text.size() < firstEnd + 2) {
    why = "it is truncated (the end line is missing)";
    return false;
  }
  const size_t lastStart = text.rfind('\n', text.size() - 2) + 1;
  const std::string_view endLine = text.substr(lastStart, text.size() - 1 - lastStart);
  const std::vector<std::string_view> endFields = SplitFields(endLine, ' ', 3);
  std::uint64_t records = 0;
  if (lastStart <= firstEnd || endFields.size() != 3 || endFields[0] != "end" ||
      !ParseNumber(endFields[1], ~std::uint64_t{0}, records) || endFields[2].size() != 16) {
    why = "it is truncated (the end line is missing)";
    return false;
  }
  const std::string_view body = text.substr(0, lastStart);
  if (Hex64(Fnv1a64(body)) != endFields[2]) {
    why = "its checksum does not match (the file was damaged or edited)";
    return false;
  }
  bool seenRoot[2] = {false, false};
  Key* current = nullptr;
  std::unordered_set<std::string> currentValues;  // folded names; each key is listed once
  std::uint64_t seen = 0;
  size_t pos = firstEnd + 1;
  while (pos < body.size()) {
    const size_t end = body.find('\n', pos);
    const std::string_view line = body.substr(pos, end - pos);
    pos = end + 1;
    ++seen;
    if (line.substr(0, 2) == "k ") {
      if (!ParseKeyLine(line.substr(2), hive, seenRoot, current, why)) return false;
      currentValues.clear();
    } else if (line.substr(0, 2) == "v ") {
      if (!ParseValueLine(line.substr(2), current, currentValues, why)) return false;
    } else {
      why = "line " + std::to_string(seen + 1) + " is not a key or a value";
      return false;
    }
  }
  if (seen != records) {
    why = "its record count does not match the end line";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// The hive file and its cache

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
};

FileId IdOf(const struct stat& st) { return FileId{st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }

bool SameId(const FileId& a, const FileId& b) {
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime.tv_sec == b.mtime.tv_sec &&
         a.mtime.tv_nsec == b.mtime.tv_nsec;
}

// The last hive file parsed by this process.
struct Cache {
  std::string path;
  bool absent = false;  // the file did not exist: an empty registry
  int fd = -1;          // the parsed file, held open so that its inode is not reused
  FileId id;
  std::unique_ptr<Hive> hive;  // null: not loaded, or the file is unusable
  std::string badReason;       // set when the file is unusable

  void Reset() {
    if (fd >= 0) close(fd);
    fd = -1;
    path.clear();
    absent = false;
    hive.reset();
    badReason.clear();
  }
};

std::mutex g_mu;  // guards everything below and serialises the calls of this process
Cache g_cache;
std::set<std::string> g_reported;
struct OpenKey {
  KeyRef ref;
  REGSAM access = 0;
};
std::unordered_map<std::uintptr_t, OpenKey> g_handles;
std::uintptr_t g_nextHandle = 0x1000;

std::string HiveDir() {
  const std::string root = QvMachineRoot();
  return root.empty() ? std::string() : root + kHiveFolder;
}

void ReportUnusable(const std::string& path, const std::string& why) {
  if (!g_reported.insert(path).second) return;
  std::fprintf(stderr,
               "registry: the hive file %s cannot be used: %s. The registry reads as empty "
               "and every change is refused until the file is repaired or moved aside; move "
               "it aside to start with an empty registry.\n",
               path.c_str(), why.c_str());
}

// Reads the whole file; an empty `why` means success.
void ReadAll(int fd, std::string& out, std::string& why) {
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = std::string("it cannot be read (") + std::strerror(errno) + ")";
      return;
    }
    if (n == 0) return;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > static_cast<size_t>(kMaxHiveFileSize)) {
      why = "it is larger than a hive may be";
      return;
    }
  }
}

// Brings the cache up to date with the hive file in `dir` and returns the hive, or null when
// the file is unusable (reported once per process).
Hive* LoadHive(const std::string& dir) {
  if (dir.empty()) {
    static Hive none;
    none = Hive();
    return &none;  // no machine root: nothing can be stored, so nothing is found
  }
  const std::string path = dir + "/" + kHiveName;
  // O_NONBLOCK: a pipe put in place of the hive must not block the open (it is then refused
  // as not a regular file); it changes nothing for a regular file.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      if (g_cache.path != path || !g_cache.absent) {
        g_cache.Reset();
        g_cache.path = path;
        g_cache.absent = true;
        g_cache.hive = std::make_unique<Hive>();
      }
      return g_cache.hive.get();
    }
    g_cache.Reset();
    ReportUnusable(path, std::string("it cannot be opened (") + std::strerror(err) + ")");
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int err = errno;
    close(fd);
    g_cache.Reset();
    ReportUnusable(path, std::string("it cannot be examined (") + std::strerror(err) + ")");
    return nullptr;
  }
  if (g_cache.path == path && !g_cache.absent && g_cache.fd >= 0 && SameId(g_cache.id, IdOf(st))) {
    close(fd);
    if (g_cache.hive == nullptr) ReportUnusable(path, g_cache.badReason);
    return g_cache.hive.get();
  }
  g_cache.Reset();
  g_cache.path = path;
  g_cache.fd = fd;
  g_cache.id = IdOf(st);
  std::string& why = g_cache.badReason;
  auto hive = std::make_unique<Hive>();
  try {
    if (!S_ISREG(st.st_mode)) {
      why = "it is not a regular file";
    } else if (st.st_size > kMaxHiveFileSize) {
      why = "it is larger than a hive may be";
    } else {
      std::string text;
      ReadAll(fd, text, why);
      if (why.empty()) ParseHive(text, *hive, why);
    }
  } catch (...) {
    // Running out of memory says nothing about the file: forget it, so that the next call
    // reads it again instead of finding it unusable without a reason.
    g_cache.Reset();
    throw;
  }
  if (why.empty()) {
    g_cache.hive = std::move(hive);
    return g_cache.hive.get();
  }
  ReportUnusable(path, why);
  return nullptr;
}

// Temporary files left by a writer that died before its rename. Only a writer holding the
// lock creates them, so under the lock every one of them is stale.
void RemoveStaleTemps(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = readdir(d)) {
    if (std::string_view(e->d_name).substr(0, kTempPrefix.size()) == kTempPrefix)
      unlinkat(dirfd(d), e->d_name, 0);
  }
  closedir(d);
}

// Replaces the hive file with `text`; on success the written file becomes the cache's.
bool ReplaceHiveFile(const std::string& dir, const std::string& text) {
  const std::string path = dir + "/" + kHiveName;
  std::string temp = dir + "/" + std::string(kTempPrefix) + "XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  // Nothing may fail after the rename: the change is then visible to every process, so it
  // must not be reported as failed (nor dropped from the cache).
  if (qv::detail::WriteAll(fd, text.data(), text.size()) != 0 || fsync(fd) != 0 ||
      fstat(fd, &st) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    close(fd);
    return false;
  }
  if (const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
    fsync(dfd);  // makes the rename itself durable; the file is complete either way
    close(dfd);
  }
  if (g_cache.fd >= 0) close(g_cache.fd);
  g_cache.fd = fd;
  g_cache.id = IdOf(st);
  g_cache.absent = false;
  g_cache.path = path;
  return true;
}

using Mutation = std::function<LSTATUS(Hive&, bool& changed)>;

// One change: lock, re-read, apply, write, unlock. `mutate` sets `changed` when it touched
// the tree; a failed or partial change is dropped from the cache so that it never reaches
// the file.
LSTATUS Commit(const Mutation& mutate) {
  const std::string dir = HiveDir();
  if (dir.empty()) return ERROR_CANTWRITE;
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return ERROR_CANTWRITE;
  const std::string lockPath = dir + "/" + kLockName;
  const int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0) return ERROR_CANTWRITE;
  struct LockGuard {
    int fd;
    ~LockGuard() { close(fd); }  // closing releases the lock
  } guard{lockFd};
  while (flock(lockFd, LOCK_EX) != 0) {
    if (errno != EINTR) return ERROR_CANTWRITE;
  }
  Hive* hive = LoadHive(dir);
  if (hive == nullptr) return ERROR_BADDB;
  bool changed = false;
  LSTATUS status = ERROR_SUCCESS;
  try {
    status = mutate(*hive, changed);
    if (status == ERROR_SUCCESS && changed) {
      RemoveStaleTemps(dir);
      // Serialize may throw (out of memory) after the cached tree was changed.
      if (!ReplaceHiveFile(dir, Serialize(*hive))) status = ERROR_CANTWRITE;
    }
  } catch (...) {
    g_cache.Reset();
    throw;
  }
  if (status != ERROR_SUCCESS && changed) g_cache.Reset();
  return status;
}

// The hive for a read: the current file, or an empty hive when it is unusable.
Hive& ReadHive() {
  if (Hive* hive = LoadHive(HiveDir())) return *hive;
  static Hive empty;
  empty = Hive();
  return empty;
}

// ---------------------------------------------------------------------------------------
// Handles and names

std::uintptr_t HandleBits(HKEY h) { return reinterpret_cast<std::uintptr_t>(h); }

bool PredefinedRef(HKEY h, KeyRef& ref) {
  const std::uintptr_t bits = HandleBits(h);
  if (bits == HandleBits(HKEY_LOCAL_MACHINE)) {
    ref = KeyRef{HiveRoot::Machine, 0, {}};
  } else if (bits == HandleBits(HKEY_CLASSES_ROOT)) {
    ref = KeyRef{HiveRoot::Machine, 2, {"SOFTWARE", "Classes"}};
  } else if (bits == HandleBits(HKEY_USERS)) {
    ref = KeyRef{HiveRoot::Users, 0, {}};
  } else if (bits == HandleBits(HKEY_CURRENT_USER)) {
    ref = KeyRef{HiveRoot::Users, 1, {std::to_string(getuid())}};
  } else {
    return false;
  }
  return true;
}

bool IsPredefined(HKEY h) {
  KeyRef ignored;
  return PredefinedRef(h, ignored);
}

LSTATUS ResolveHandle(HKEY h, KeyRef& ref, REGSAM& access) {
  if (h == nullptr) return ERROR_INVALID_HANDLE;
  if (PredefinedRef(h, ref)) {
    access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  const auto it = g_handles.find(HandleBits(h));
  if (it == g_handles.end()) return ERROR_INVALID_HANDLE;
  ref = it->second.ref;
  access = it->second.access;
  return ERROR_SUCCESS;
}

HKEY NewHandle(const KeyRef& ref, REGSAM access) {
  const std::uintptr_t bits = g_nextHandle;
  g_nextHandle += 8;  // never reused, so a stale handle is always refused
  g_handles[bits] = OpenKey{ref, access};
  return reinterpret_cast<HKEY>(bits);
}

// Appends the components of a "a\b\c" subkey name to `ref`.
LSTATUS AppendSubKey(LPCSTR subKey, KeyRef& ref) {
  if (subKey == nullptr || *subKey == '\0') return ERROR_SUCCESS;
  std::string_view s(subKey);
  if (s.front() == '\\') return ERROR_BAD_PATHNAME;
  if (s.back() == '\\') s.remove_suffix(1);
  for (std::string_view part : SplitFields(s, '\\')) {
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (part.size() > kRegMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    if (ref.path.size() >= kRegMaxKeyDepth) return ERROR_INVALID_PARAMETER;
    ref.path.emplace_back(part);
  }
  return ERROR_SUCCESS;
}

LSTATUS CheckValueName(LPCSTR name, std::string_view& out) {
  if (name == nullptr) {
    out = {};
    return ERROR_SUCCESS;
  }
  const size_t length = strnlen(name, kRegMaxValueNameLength + 1);
  if (length > kRegMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  out = std::string_view(name, length);
  return ERROR_SUCCESS;
}

// The keys one call names. Callers hold g_mu.
struct CallKeys {
  KeyRef ref;     // the key of the handle
  KeyRef target;  // that key with the call's subkey name appended
  REGSAM access = 0;
};

// Resolves the handle, refuses it unless it has every right in `needed`, then appends
// `subKey` (null or empty: none), in that order, so that each failure has its Win32 code.
LSTATUS ResolveCall(HKEY hKey, REGSAM needed, LPCSTR subKey, CallKeys& keys) {
  if (LSTATUS st = ResolveHandle(hKey, keys.ref, keys.access); st != ERROR_SUCCESS) return st;
  if ((keys.access & needed) != needed) return ERROR_ACCESS_DENIED;
  keys.target = keys.ref;
  return AppendSubKey(subKey, keys.target);
}

// For the calls that read the handle's own key: that key in the current hive.
LSTATUS KeyForRead(HKEY hKey, REGSAM needed, Key*& key) {
  CallKeys keys;
  if (LSTATUS st = ResolveCall(hKey, needed, nullptr, keys); st != ERROR_SUCCESS) return st;
  key = FindKey(ReadHive(), keys.ref);
  return key == nullptr ? MissingStatus(keys.ref) : ERROR_SUCCESS;
}

// Copies value data out with RegQueryValueExA's size rules.
LSTATUS CopyData(const Value& v, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpType != nullptr) *lpType = v.type;
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  const auto size = static_cast<DWORD>(v.data.size());
  if (lpData != nullptr) {
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    if (size != 0) std::memcpy(lpData, v.data.data(), size);
  }
  *lpcbData = size;
  return ERROR_SUCCESS;
}

// Copies a name into a caller's buffer of *capacity characters including the NUL.
LSTATUS CopyName(const std::string& name, LPSTR buffer, LPDWORD capacity) {
  if (name.size() >= *capacity) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.data(), name.size());
  buffer[name.size()] = '\0';
  *capacity = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// Runs one API call: an exception that escapes it becomes its status.
template <class F>
LSTATUS GuardedStatus(F&& body) noexcept {
  return Guarded(std::forward<F>(body), [](EscapedException kind) {
    return kind == EscapedException::OutOfMemory ? ERROR_OUTOFMEMORY : ERROR_INVALID_FUNCTION;
  });
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The Win32 calls

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                      PHKEY phkResult) noexcept {
  return GuardedStatus([&]() -> LSTATUS {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::lock_guard lock(g_mu);
    CallKeys keys;
    if (LSTATUS st = ResolveCall(hKey, 0, lpSubKey, keys); st != ERROR_SUCCESS) return st;
    Hive& hive = ReadHive();
    if (FindKey(hive, keys.ref) == nullptr) return MissingStatus(keys.ref);
    if (FindKey(hive, keys.target) == nullptr) return ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(keys.target, samDesired);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/,
                        DWORD dwOptions, REGSAM samDesired, const void* /*lpSecurityAttributes*/,
                        PHKEY phkResult, LPDWORD lpdwDisposition) noexcept {
  return GuardedStatus([&]() -> LSTATUS {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (dwOptions != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(g_mu);
    CallKeys keys;
    if (LSTATUS st = ResolveCall(hKey, 0, lpSubKey, keys); st != ERROR_SUCCESS) return st;
    const KeyRef& ref = keys.ref;
    const KeyRef& target = keys.target;
    bool created = false;
    // An existing key needs no write (and no write access to the parent).
    Hive* current = LoadHive(HiveDir());
    if (current == nullptr || FindKey(*current, target) == nullptr) {
      if ((keys.access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
      const LSTATUS st = Commit([&](Hive& hive, bool& changed) -> LSTATUS {
        Key* key = FindKeyForChange(hive, ref, true, changed);
        if (key == nullptr) return MissingStatus(ref);
        for (size_t i = ref.path.size(); i < target.path.size(); ++i) {
          Key* next = key->Find(target.path[i]);
          if (next == nullptr) {
            next = key->Add(target.path[i]);
            changed = created = true;
          }
          key = next;
        }
        return ERROR_SUCCESS;
      });
      if (st != ERROR_SUCCESS) return st;
    }
    if (lpdwDisposition != nullptr)
      *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *phkResult = NewHandle(target, samDesired);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegCloseKey(HKEY hKey) noexcept {
  return GuardedStatus([&]() -> LSTATUS {
    if (IsPredefined(hKey)) return ERROR_SUCCESS;
    std::lock_guard lock(g_mu);
    if (g_handles.erase(HandleBits(hKey)) == 0) return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD /*lpReserved*/, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) noexcept {
  return GuardedStatus([&]() -> LSTATUS {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    std::string_view name;
    if (LSTATUS st = CheckValueName(lpValueName, name); st != ERROR_SUCCESS) return st;
    std::lock_guard lock(g_mu);
    Key* key = nullptr;
    if (LSTATUS st = KeyForRead(hKey, KEY_QUERY_VALUE, key); st != ERROR_SUCCESS) return st;
    const Value* v = key->FindValue(name);
    if (v == nullptr) return ERROR_FILE_NOT_FOUND;
    return CopyData(*v, lpType, lpData, lpcbData);
  });
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                       const BYTE* lpData, DWORD cbData) noexcept {
  return GuardedStatus([&]() -> LSTATUS {
    std::string_view name;
    if (LSTATUS st = CheckValueName(lpValueName, name); st != ERROR_SUCCESS) return st;
    if ((lpData == nullptr && cbData != 0) || cbData > kRegMaxValueDataSize)
      return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(g_mu);
    CallKeys keys;
    if (LSTATUS st = ResolveCall(hKey, KEY_SET_VALUE, nullptr, keys); st != ERROR_SUCCESS)
      return st;
    const KeyRef& ref = keys.ref;
    const std::string data(reinterpret_cast<const char*>(lpData), lpData == nullptr ? 0 : cbData);
    return Commit([&](Hive& hive, bool& changed) -> LSTATUS {
      Key* key = FindKeyForChange(hive, ref, true, changed);
      if (key == nullptr) return MissingStatus(ref);
      if (Value* v = key->FindValue(name)) {
        if (v->type == dwType && v->data == data) return ERROR_SUCCESS;  // nothing to write
        v->type = dwType;
        v->data = data;
      } else {
        key->values.push_back(Value{std::string(name), dwType, data});
      }
      changed = true;
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) noexcept {
  return GuardedStatus([&]() -> LSTATUS {
    std::string_view name;
    if (LSTATUS st = CheckValueName(lpValueName, name); st != ERROR_SUCCESS) return st;
    std::lock_guard lock(g_mu);
    CallKeys keys;
    if (LSTATUS st = ResolveCall(hKey, KEY_SET_VALUE, nullptr, keys); st != ERROR_SUCCESS)
      return st;
    const KeyRef& ref = keys.ref;
    return Commit([&](Hive& hive, bool& changed) -> LSTATUS {
      Key* key = FindKeyForChange(hive, ref, false, changed);
      if (key == nullptr) return MissingStatus(ref);
      for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (EqualsIgnoringAsciiCase(it->name, name)) {
          key->values.erase(it);
          changed = true;
          return ERROR_SUCCESS;
        }
      }
      return ERROR_FILE_NOT_FOUND;
    });
  });
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) noexcept {
  return GuardedStatus([&]() -> LSTATUS {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(g_mu);
    CallKeys keys;
    if (LSTATUS st = ResolveCall(hKey, 0, lpSubKey, keys); st != ERROR_SUCCESS) return st;
    const KeyRef& ref = keys.ref;
    const KeyRef& target = keys.target;
    // A predefined key and the keys it maps to cannot be deleted through it.
    if (target.path.size() <= target.baseDepth) return ERROR_ACCESS_DENIED;
    return Commit([&](Hive& hive, bool& changed) -> LSTATUS {
      if (FindKeyForChange(hive, ref, false, changed) == nullptr) return MissingStatus(ref);
      // With an empty lpSubKey this is hKey's own key.
      KeyRef up = target;
      up.path.pop_back();
      Key* parent = FindKeyForChange(hive, up, false, changed);
      const Key* victim = parent == nullptr ? nullptr : parent->Find(target.path.back());
      if (victim == nullptr) return ERROR_FILE_NOT_FOUND;
      if (!victim->subkeys.empty()) return ERROR_ACCESS_DENIED;
      parent->subkeys.erase(Fold(target.path.back()));
      changed = true;
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) noexcept {
  return GuardedStatus([&]() -> LSTATUS {
    std::lock_guard lock(g_mu);
    const REGSAM needed = kDeleteRight | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
    CallKeys keys;
    if (LSTATUS st = ResolveCall(hKey, needed, lpSubKey, keys); st != ERROR_SUCCESS) return st;
    const KeyRef& ref = keys.ref;
    const KeyRef& target = keys.target;
    return Commit([&](Hive& hive, bool& changed) -> LSTATUS {
      Key* key = FindKeyForChange(hive, ref, false, changed);
      if (key == nullptr) {
        // An implicit key that does not exist yet is already empty.
        const bool emptyBase = ref.path.size() <= ref.baseDepth;
        if (emptyBase && target.path.size() == ref.path.size()) return ERROR_SUCCESS;
        return MissingStatus(ref);
      }
      if (target.path.size() == ref.path.size()) {
        changed = !key->values.empty() || !key->subkeys.empty();
        key->values.clear();
        key->subkeys.clear();
        return ERROR_SUCCESS;
      }
      KeyRef up = target;
      up.path.pop_back();
      Key* parent = FindKeyForChange(hive, up, false, changed);
      if (parent == nullptr || parent->subkeys.erase(Fold(target.path.back())) == 0)
        return ERROR_FILE_NOT_FOUND;
      changed = true;
      return ERROR_SUCCESS;
    });
  });
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                      LPDWORD /*lpReserved*/, LPSTR lpClass, LPDWORD lpcchClass,
                      void* lpftLastWriteTime) noexcept {
  return GuardedStatus([&]() -> LSTATUS {
    if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(g_mu);
    Key* key = nullptr;
    if (LSTATUS st = KeyForRead(hKey, KEY_ENUMERATE_SUB_KEYS, key); st != ERROR_SUCCESS) return st;
    if (dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    auto it = key->subkeys.begin();
    std::advance(it, dwIndex);
    if (LSTATUS st = CopyName(it->second->name, lpName, lpcchName); st != ERROR_SUCCESS) return st;
    if (lpcchClass != nullptr) {
      if (lpClass != nullptr && *lpcchClass > 0) lpClass[0] = '\0';
      *lpcchClass = 0;
    }
    if (lpftLastWriteTime != nullptr) {
      // FILETIME: 100 ns units since 1601, as two little-endian DWORDs (low, high).
      std::uint64_t ft = 0;
      if (g_cache.fd >= 0) {
        constexpr std::uint64_t kUnixEpochIn1601 = 11644473600ull;
        ft =
            (static_cast<std::uint64_t>(g_cache.id.mtime.tv_sec) + kUnixEpochIn1601) * 10000000ull +
            static_cast<std::uint64_t>(g_cache.id.mtime.tv_nsec) / 100;
      }
      const DWORD parts[2] = {static_cast<DWORD>(ft), static_cast<DWORD>(ft >> 32)};
      std::memcpy(lpftLastWriteTime, parts, sizeof parts);
    }
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD /*lpReserved*/, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) noexcept {
  return GuardedStatus([&]() -> LSTATUS {
    if (lpValueName == nullptr || lpcchValueName == nullptr) return ERROR_INVALID_PARAMETER;
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(g_mu);
    Key* key = nullptr;
    if (LSTATUS st = KeyForRead(hKey, KEY_QUERY_VALUE, key); st != ERROR_SUCCESS) return st;
    if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& v = key->values[dwIndex];
    if (LSTATUS st = CopyName(v.name, lpValueName, lpcchValueName); st != ERROR_SUCCESS) return st;
    return CopyData(v, lpType, lpData, lpcbData);
  });
}

std::string QvRegistryHivePath() noexcept {
  try {
    const std::string dir = HiveDir();
    return dir.empty() ? std::string() : dir + "/" + kHiveName;
  } catch (...) {
    return {};
  }
}
