// Module handles through the dynamic loader, the monotonic tick count, the language table,
// named mutexes on lock files and the registered-message table of the runtime folder.
#include "platform/Kernel.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/LastError.h"
#include "platform/MachineRoot.h"
#include "platform/PosixIo.h"

using namespace qv::detail;

namespace {

// ---- Modules ----

struct LoadedModule {
  std::uintptr_t base = 0;
  std::string name;  // as the loader recorded it; empty for the main program
  bool main = false;
};

// Calls `visit(info, main, base)` for each loaded object (the main program first) until it
// returns true, and describes that object in *found. The loader keeps its list steady while
// this runs.
template <class Visit>
bool FindModule(Visit visit, LoadedModule* found) {
  struct Context {
    Visit* visit;
    LoadedModule* found;
    int index;
  } context{&visit, found, 0};
  const int hit = dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* c = static_cast<Context*>(data);
        const bool main = c->index++ == 0;
        std::uintptr_t low = UINTPTR_MAX;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type == PT_LOAD)
            low = std::min<std::uintptr_t>(low, info->dlpi_addr + ph.p_vaddr);
        }
        if (low == UINTPTR_MAX) return 0;
        // The module's handle is its load address, as on Windows: the start of its first page.
        const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        const std::uintptr_t base = low & ~(page - 1);
        if (!(*c->visit)(info, main, base)) return 0;
        c->found->base = base;
        c->found->name = info->dlpi_name != nullptr ? info->dlpi_name : "";
        c->found->main = main;
        return 1;
      },
      &context);
  return hit != 0;
}

bool MainModule(LoadedModule* found) {
  return FindModule([](dl_phdr_info*, bool main, std::uintptr_t) { return main; }, found);
}

bool ModuleContaining(std::uintptr_t address, LoadedModule* found) {
  return FindModule(
      [address](dl_phdr_info* info, bool, std::uintptr_t) {
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          const std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
          if (ph.p_type == PT_LOAD && address >= start && address - start < ph.p_memsz) return true;
        }
        return false;
      },
      found);
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The shared-object file names a module name stands for ("qvvault.dll" -> "libqvvault.so"),
// most likely first: Windows names ignore case, file names do not, so the name as written
// comes before its lower-case form. A name with '/' is a path and stays as it is.
std::vector<std::string> LibraryFileNames(std::string_view name) {
  if (name.find('/') != std::string_view::npos) return {std::string(name)};
  if (const size_t slash = name.find_last_of('\\'); slash != std::string_view::npos)
    name.remove_prefix(slash + 1);
  if (name.empty()) return {};
  const std::string lower = ToLowerAscii(name);
  if (lower.rfind("lib", 0) == 0 && lower.find(".so") != std::string::npos)
    return {std::string(name)};
  std::string_view stem = name;
  if (EndsWith(lower, ".dll")) stem.remove_suffix(4);
  std::vector<std::string> names{"lib" + std::string(stem) + ".so"};
  const std::string folded = "lib" + ToLowerAscii(stem) + ".so";
  if (folded != names.front()) names.push_back(folded);
  return names;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct HiddenModules {
  std::mutex lock;
  std::set<std::string> names;  // lower-case base file names
};

HiddenModules& Hidden() {
  static HiddenModules* hidden = new HiddenModules;
  return *hidden;
}

bool IsHidden(const std::string& file) {
  HiddenModules& hidden = Hidden();
  std::lock_guard<std::mutex> guard(hidden.lock);
  return hidden.names.count(ToLowerAscii(BaseName(file))) != 0;
}

// The loaded module that dlopen(RTLD_NOLOAD) resolves `file` to: it matches by file name,
// soname and the identity of the file on disk, never loading anything.
bool ModuleByLoader(const std::string& file, LoadedModule* found) {
  void* handle = dlopen(file.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  link_map* map = nullptr;
  bool ok = dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_ld != nullptr &&
            ModuleContaining(reinterpret_cast<std::uintptr_t>(map->l_ld), found);
  dlclose(handle);
  return ok;
}

std::string ModulePath(const LoadedModule& module) {
  if (module.main || module.name.empty()) {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    return std::string(path, static_cast<size_t>(n));
  }
  if (module.name.front() == '/') {
    // Paths built from a "$ORIGIN" search path read ".../bin/./libx.so"; drop the "." parts.
    std::string path;
    size_t start = 0;
    while (start < module.name.size()) {
      size_t end = module.name.find('/', start);
      if (end == std::string::npos) end = module.name.size();
      const std::string_view part(module.name.data() + start, end - start);
      if (!part.empty() && part != ".") path.append("/").append(part);
      start = end + 1;
    }
    return path.empty() ? "/" : path;
  }
  char resolved[PATH_MAX];
  return realpath(module.name.c_str(), resolved) != nullptr ? std::string(resolved) : module.name;
}

// ---- Languages ----

struct LocaleEntry {
  const char* language;
  const char* territory;  // "" marks the language's main locale
  LANGID id;
};

// Windows locale identifiers of the languages a POSIX locale name may carry.
constexpr LocaleEntry kLocales[] = {
    {"ar", "", 0x0401},   {"ar", "SA", 0x0401}, {"ar", "EG", 0x0C01}, {"bg", "", 0x0402},
    {"ca", "", 0x0403},   {"zh", "", 0x0804},   {"zh", "TW", 0x0404}, {"zh", "CN", 0x0804},
    {"zh", "HK", 0x0C04}, {"zh", "SG", 0x1004}, {"zh", "MO", 0x1404}, {"cs", "", 0x0405},
    {"da", "", 0x0406},   {"de", "", 0x0407},   {"de", "DE", 0x0407}, {"de", "CH", 0x0807},
    {"de", "AT", 0x0C07}, {"de", "LU", 0x1007}, {"de", "LI", 0x1407}, {"el", "", 0x0408},
    {"en", "", 0x0409},   {"en", "US", 0x0409}, {"en", "GB", 0x0809}, {"en", "AU", 0x0C09},
    {"en", "CA", 0x1009}, {"en", "NZ", 0x1409}, {"en", "IE", 0x1809}, {"en", "ZA", 0x1C09},
    {"en", "IN", 0x4009}, {"es", "", 0x0C0A},   {"es", "ES", 0x0C0A}, {"es", "MX", 0x080A},
    {"es", "AR", 0x2C0A}, {"es", "CO", 0x240A}, {"es", "CL", 0x340A}, {"es", "US", 0x540A},
    {"fi", "", 0x040B},   {"fr", "", 0x040C},   {"fr", "FR", 0x040C}, {"fr", "BE", 0x080C},
    {"fr", "CA", 0x0C0C}, {"fr", "CH", 0x100C}, {"fr", "LU", 0x140C}, {"he", "", 0x040D},
    {"hu", "", 0x040E},   {"is", "", 0x040F},   {"it", "", 0x0410},   {"it", "IT", 0x0410},
    {"it", "CH", 0x0810}, {"ja", "", 0x0411},   {"ko", "", 0x0412},   {"nl", "", 0x0413},
    {"nl", "NL", 0x0413}, {"nl", "BE", 0x0813}, {"nb", "", 0x0414},   {"no", "", 0x0414},
    {"nn", "", 0x0814},   {"pl", "", 0x0415},   {"pt", "", 0x0416},   {"pt", "BR", 0x0416},
    {"pt", "PT", 0x0816}, {"ro", "", 0x0418},   {"ru", "", 0x0419},   {"hr", "", 0x041A},
    {"sk", "", 0x041B},   {"sv", "", 0x041D},   {"sv", "FI", 0x081D}, {"th", "", 0x041E},
    {"tr", "", 0x041F},   {"id", "", 0x0421},   {"uk", "", 0x0422},   {"sl", "", 0x0424},
    {"et", "", 0x0425},   {"lv", "", 0x0426},   {"lt", "", 0x0427},   {"vi", "", 0x042A},
    {"hi", "", 0x0439},   {"ms", "", 0x043E},
};

constexpr LANGID kUsEnglish = 0x0409;

// A language of the table, or a whole language (a primary language id such as 7, German) of
// which the table knows a locale: the string tables exist per whole language too.
bool IsKnownLangId(LANGID id) {
  return std::any_of(std::begin(kLocales), std::end(kLocales), [id](const LocaleEntry& e) {
    return e.id == id || (id != 0 && id == PRIMARYLANGID(e.id));
  });
}

// The locale the user's messages are shown in: the first non-empty of LC_ALL, LC_MESSAGES and
// LANG, then the first entry of the LANGUAGE list ("pt_BR:pt:en" gives "pt_BR").
std::string EnvLocale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  const char* list = std::getenv("LANGUAGE");
  if (list == nullptr) return {};
  const std::string_view languages(list);
  return std::string(languages.substr(0, languages.find(':')));
}

thread_local LCID t_threadLocale = 0;  // 0: not set, the user default applies

// ---- Named mutexes ----

constexpr size_t kMaxMutexFileName = 240;
// Lock file layout: byte 0 is read-locked by every process holding a handle (write-locked
// briefly by a creator that checks nobody else has one), byte 1 is write-locked by the
// owning process, byte 2 holds 1 while the mutex is owned, so that the next owner learns
// that the previous one ended without releasing it.
constexpr off_t kPresenceByte = 0;
constexpr off_t kOwnerByte = 1;
constexpr off_t kOwnedMarker = 2;

using Clock = std::chrono::steady_clock;

void WriteMarker(int fd, bool owned) {
  const char value = owned ? 1 : 0;
  [[maybe_unused]] const ssize_t n = pwrite(fd, &value, 1, kOwnedMarker);
}

struct MutexState {
  UniqueFd file;     // invalid for a private mutex
  std::string path;  // of the lock file
  pid_t pid = getpid();
  std::mutex lock;
  std::condition_variable released;
  bool owned = false;
  std::thread::id owner;
  unsigned recursion = 0;

  ~MutexState() {
    // Closing the last handle while owning releases the mutex in an orderly way; only a
    // process that ends while owning leaves the marker set. A forked child's copy of a
    // parent's state must not touch the parent's marker.
    if (file.Valid() && owned && pid == getpid()) WriteMarker(file.Get(), false);
    // The last handle of every process: the lock file goes. Holding the presence byte for
    // writing proves that no other process holds a handle, and a creator that opened the file
    // meanwhile finds it unlinked once it gets its lock, and opens the name again.
    if (file.Valid() && pid == getpid() &&
        FileRangeLock(file.Get(), F_WRLCK, kPresenceByte, 1, false))
      (void)unlink(path.c_str());
  }

  // Takes ownership for the calling thread when nobody in this process owns the mutex and
  // no other process does. Called with `lock` held.
  DWORD TryAcquireLocked(bool* busy) {
    *busy = false;
    DWORD result = WAIT_OBJECT_0;
    if (file.Valid()) {
      if (!FileRangeLock(file.Get(), F_WRLCK, kOwnerByte, 1, false)) {
        if (errno == EAGAIN || errno == EACCES) {
          *busy = true;
          return WAIT_TIMEOUT;
        }
        SetLastError(Win32ErrorFromErrno(errno));
        return WAIT_FAILED;
      }
      char marker = 0;
      if (pread(file.Get(), &marker, 1, kOwnedMarker) == 1 && marker != 0) result = WAIT_ABANDONED;
      WriteMarker(file.Get(), true);
    }
    owned = true;
    owner = std::this_thread::get_id();
    recursion = 1;
    return result;
  }
};

struct MutexTable {
  std::mutex lock;
  std::unordered_map<std::string, std::weak_ptr<MutexState>> named;
  pid_t pid = 0;
};

MutexTable& Mutexes() {
  static MutexTable* table = new MutexTable;
  return *table;
}

class MutexHandle final : public KernelObject {
 public:
  MutexHandle(std::shared_ptr<MutexState> state, std::string key)
      : state_(std::move(state)), key_(std::move(key)) {}

  ~MutexHandle() override {
    // The state closes its lock file when the last handle goes; doing that under the table
    // lock keeps a concurrent CreateMutexA from seeing this process as another holder.
    MutexTable& table = Mutexes();
    std::lock_guard<std::mutex> guard(table.lock);
    state_.reset();
    if (!key_.empty()) {
      const auto it = table.named.find(key_);
      if (it != table.named.end() && it->second.expired()) table.named.erase(it);
    }
  }

  DWORD Wait(DWORD milliseconds) override {
    MutexState& s = *state_;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    auto poll = std::chrono::milliseconds(1);
    std::unique_lock<std::mutex> lock(s.lock);
    for (;;) {
      if (s.owned && s.owner == std::this_thread::get_id()) {
        if (s.recursion == UINT_MAX) {
          SetLastError(ERROR_NOT_ENOUGH_QUOTA);
          return WAIT_FAILED;
        }
        ++s.recursion;
        return WAIT_OBJECT_0;
      }
      bool otherProcess = false;
      if (!s.owned) {
        const DWORD result = s.TryAcquireLocked(&otherProcess);
        if (!otherProcess) return result;
      }
      if (milliseconds == 0 || (milliseconds != INFINITE && Clock::now() >= deadline))
        return WAIT_TIMEOUT;
      if (otherProcess) {
        // Another process owns it; nothing signals its release here, so look again soon.
        auto wake = Clock::now() + poll;
        if (milliseconds != INFINITE) wake = std::min(wake, deadline);
        s.released.wait_until(lock, wake);
        poll = std::min(poll * 2, std::chrono::milliseconds(16));
      } else if (milliseconds == INFINITE) {
        s.released.wait(lock);
      } else {
        s.released.wait_until(lock, deadline);
      }
    }
  }

  bool Release() {
    MutexState& s = *state_;
    {
      std::lock_guard<std::mutex> guard(s.lock);
      if (!s.owned || s.owner != std::this_thread::get_id()) {
        SetLastError(ERROR_NOT_OWNER);
        return false;
      }
      if (--s.recursion != 0) return true;
      if (s.file.Valid()) {
        WriteMarker(s.file.Get(), false);
        FileRangeLock(s.file.Get(), F_UNLCK, kOwnerByte, 1, false);
      }
      s.owned = false;
      s.owner = std::thread::id();
    }
    s.released.notify_all();
    return true;
  }

 private:
  std::shared_ptr<MutexState> state_;
  std::string key_;
};

// The lock-file name of a mutex name, or false with the last error set.
bool MutexFileName(std::string_view name, std::string* file) {
  for (const std::string_view prefix : {"Local\\", "Global\\"}) {
    if (EqualsIgnoringAsciiCase(name.substr(0, prefix.size()), prefix)) {
      name.remove_prefix(prefix.size());
      break;
    }
  }
  if (name.empty() || name.find_first_of("\\/") != std::string_view::npos) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  if (name.size() > MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  std::string encoded;
  if (!EncodeObjectName(name, false, name.size() * 3, &encoded)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  if (encoded.size() > kMaxMutexFileName) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  *file = "mutex-" + encoded;
  return true;
}

// ---- Registered messages ----

constexpr UINT kFirstMessageId = 0xC000;
constexpr UINT kLastMessageId = 0xFFFF;
constexpr size_t kMaxMessageName = 255;
constexpr off_t kMaxMessageTable = 8 << 20;

void ReadAll(int fd, off_t size, std::string* out) {
  out->resize(static_cast<size_t>(size));
  size_t done = 0;
  while (done < out->size()) {
    const ssize_t n = pread(fd, out->data() + done, out->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  out->resize(done);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One table line: four hex digits, a space, the name as first registered, a newline.
bool ParseMessageLine(std::string_view line, UINT* id, std::string_view* name) {
  if (line.size() < 6 || line[4] != ' ') return false;
  UINT value = 0;
  for (int i = 0; i < 4; ++i) {
    const int d = HexDigit(line[static_cast<size_t>(i)]);
    if (d < 0) return false;
    value = value * 16 + static_cast<UINT>(d);
  }
  if (value < kFirstMessageId || value > kLastMessageId) return false;
  *id = value;
  *name = line.substr(5);
  return true;
}

}  // namespace

// ---- Modules ----

HMODULE GetModuleHandleA(LPCSTR name) noexcept {
  try {
    LoadedModule found;
    if (name == nullptr) {
      if (MainModule(&found)) return reinterpret_cast<HMODULE>(found.base);
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    const std::vector<std::string> files = LibraryFileNames(name);
    if (files.empty() || IsHidden(files.front())) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    for (const std::string& file : files)
      if (ModuleByLoader(file, &found)) return reinterpret_cast<HMODULE>(found.base);
    // A library loaded by a path under a name the loader does not match (no soname, or
    // another letter case).
    const std::string wanted = ToLowerAscii(files.front());
    if (wanted.find('/') == std::string::npos &&
        FindModule(
            [&wanted](dl_phdr_info* info, bool, std::uintptr_t) {
              return info->dlpi_name != nullptr &&
                     ToLowerAscii(BaseName(info->dlpi_name)) == wanted;
            },
            &found))
      return reinterpret_cast<HMODULE>(found.base);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

HMODULE GetModuleHandleFromAddress(const void* address) noexcept {
  try {
    LoadedModule found;
    if (address != nullptr && ModuleContaining(reinterpret_cast<std::uintptr_t>(address), &found))
      return reinterpret_cast<HMODULE>(found.base);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) noexcept {
  try {
    if (buffer == nullptr && size != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    LoadedModule found;
    const auto base = reinterpret_cast<std::uintptr_t>(module);
    const bool known =
        module == nullptr
            ? MainModule(&found)
            : FindModule([base](dl_phdr_info*, bool, std::uintptr_t b) { return b == base; },
                         &found);
    if (!known) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    const std::string path = ModulePath(found);
    if (path.empty()) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    if (size == 0) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    if (path.size() >= size) {
      std::memcpy(buffer, path.data(), size - 1);
      buffer[size - 1] = '\0';
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return size;
    }
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

void QvSetModuleHiddenForTest(const char* name, bool hidden) noexcept {
  if (name == nullptr) return;
  try {
    const std::vector<std::string> files = LibraryFileNames(name);
    if (files.empty()) return;
    const std::string file = ToLowerAscii(BaseName(files.front()));
    HiddenModules& modules = Hidden();
    std::lock_guard<std::mutex> guard(modules.lock);
    if (hidden)
      modules.names.insert(file);
    else
      modules.names.erase(file);
  } catch (...) {
  }
}

// ---- Time ----

ULONGLONG GetTickCount64() noexcept {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 1000u +
         static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

DWORD GetTickCount() noexcept { return static_cast<DWORD>(GetTickCount64()); }

void QvKeepOutOfCoreDumps() noexcept {
  const rlimit none{0, 0};
  (void)setrlimit(RLIMIT_CORE, &none);
}

void Sleep(DWORD milliseconds) noexcept {
  if (milliseconds == INFINITE) {
    for (;;) pause();
  }
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// ---- Language and locale ----

LANGID LangIdFromLocaleName(const char* locale) noexcept {
  if (locale == nullptr) return 0;
  std::string_view text(locale);
  text = text.substr(0, text.find_first_of(".@"));
  if (text == "C" || text == "POSIX") return kUsEnglish;
  const size_t split = text.find_first_of("_-");
  const std::string language = ToLowerAscii(text.substr(0, split));
  const std::string territory =
      split != std::string_view::npos ? ToUpperAscii(text.substr(split + 1)) : std::string();
  LANGID fallback = 0;
  for (const LocaleEntry& e : kLocales) {
    if (language != e.language) continue;
    if (territory == e.territory) return e.id;
    if (*e.territory == '\0') fallback = e.id;
  }
  return fallback;
}

LANGID GetUserDefaultLangID() noexcept {
  try {
    const std::string locale = EnvLocale();
    if (locale.empty()) return kUsEnglish;
    const LANGID id = LangIdFromLocaleName(locale.c_str());
    return id != 0 ? id : kUsEnglish;
  } catch (...) {
    return kUsEnglish;
  }
}

std::string QvUserLocaleName() { return EnvLocale(); }

LANGID GetSystemDefaultLangID() noexcept { return GetUserDefaultLangID(); }
LCID GetUserDefaultLCID() noexcept { return MAKELCID(GetUserDefaultLangID(), SORT_DEFAULT); }
LCID GetSystemDefaultLCID() noexcept { return MAKELCID(GetSystemDefaultLangID(), SORT_DEFAULT); }

LCID GetThreadLocale() noexcept {
  return t_threadLocale != 0 ? t_threadLocale : GetUserDefaultLCID();
}

BOOL SetThreadLocale(LCID locale) noexcept {
  if (locale == LOCALE_SYSTEM_DEFAULT) {
    locale = GetSystemDefaultLCID();
  } else if (locale == LOCALE_USER_DEFAULT) {
    locale = GetUserDefaultLCID();
  } else if ((locale >> 16) != SORT_DEFAULT || !IsKnownLangId(LANGIDFROMLCID(locale))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  t_threadLocale = locale;
  return TRUE;
}

LANGID GetThreadLangID() noexcept { return LANGIDFROMLCID(GetThreadLocale()); }

// ---- Named mutexes ----

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES securityAttributes, BOOL initialOwner,
                    LPCSTR name) noexcept {
  (void)securityAttributes;
  try {
    if (name == nullptr || *name == '\0') {
      auto state = std::make_shared<MutexState>();
      if (initialOwner) {
        bool busy = false;
        (void)state->TryAcquireLocked(&busy);  // nobody else can own a new private mutex
      }
      HANDLE handle = InsertHandle(std::make_shared<MutexHandle>(std::move(state), std::string()));
      if (handle != nullptr) SetLastError(ERROR_SUCCESS);
      return handle;
    }
    std::string file;
    if (!MutexFileName(name, &file)) return nullptr;
    const std::string dir = QvRuntimeDir();
    if (dir.empty()) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return nullptr;
    }
    const std::string key = dir + "/" + file;

    MutexTable& table = Mutexes();
    std::unique_lock<std::mutex> guard(table.lock);
    if (table.pid != getpid()) {
      // A forked child: the parent's handles are another process's holders now, which the
      // lock file reports.
      table.named.clear();
      table.pid = getpid();
    }
    if (auto it = table.named.find(key); it != table.named.end()) {
      if (auto state = it->second.lock()) {
        guard.unlock();
        HANDLE handle = InsertHandle(std::make_shared<MutexHandle>(std::move(state), key));
        if (handle != nullptr) SetLastError(ERROR_ALREADY_EXISTS);
        return handle;
      }
    }

    auto state = std::make_shared<MutexState>();
    state->path = key;
    bool existed = false;
    // The last holder of the lock file unlinks it (see ~MutexState); a file locked after that
    // is not the mutex any more, and the name is opened again.
    for (int attempt = 0;; ++attempt) {
      if (attempt == 100) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return nullptr;
      }
      state->file = OpenRuntimeFile(dir, file, O_RDWR | O_CREAT);
      if (!state->file.Valid()) {
        SetLastError(Win32ErrorFromErrno(errno));
        return nullptr;
      }
      const int fd = state->file.Get();
      existed = !FileRangeLock(fd, F_WRLCK, kPresenceByte, 1, false);
      if (existed) {
        if (errno != EAGAIN && errno != EACCES) {
          SetLastError(Win32ErrorFromErrno(errno));
          return nullptr;
        }
        // Another creator may hold the write lock for a moment; wait for it.
        if (!FileRangeLock(fd, F_RDLCK, kPresenceByte, 1, true)) {
          SetLastError(Win32ErrorFromErrno(errno));
          return nullptr;
        }
      }
      struct stat held {};
      struct stat named {};
      if (fstat(fd, &held) == 0 && lstat(key.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
          held.st_ino == named.st_ino)
        break;
    }
    if (!existed) {
      const int fd = state->file.Get();
      // Nobody holds a handle: a fresh mutex, whatever an earlier holder left in the file.
      WriteMarker(fd, false);
      if (initialOwner) {
        bool busy = false;
        std::lock_guard<std::mutex> stateGuard(state->lock);
        if (state->TryAcquireLocked(&busy) == WAIT_FAILED) return nullptr;
      }
      // Turning the write lock into a read lock is atomic, so no other creator slips in.
      if (!FileRangeLock(fd, F_RDLCK, kPresenceByte, 1, false)) {
        SetLastError(Win32ErrorFromErrno(errno));
        return nullptr;
      }
    }
    table.named[key] = state;
    guard.unlock();
    HANDLE handle = InsertHandle(std::make_shared<MutexHandle>(std::move(state), key));
    if (handle != nullptr) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL ReleaseMutex(HANDLE mutex) noexcept {
  const auto handle = LookupHandleAs<MutexHandle>(mutex);
  if (!handle) return FALSE;
  return handle->Release() ? TRUE : FALSE;
}

// ---- Registered window messages ----

UINT RegisterWindowMessageA(LPCSTR name) noexcept {
  try {
    if (name == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const std::string_view wanted(name);
    if (wanted.empty() || wanted.size() > kMaxMessageName ||
        std::any_of(wanted.begin(), wanted.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const std::string dir = QvRuntimeDir();
    if (dir.empty()) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return 0;
    }
    UniqueFd table = OpenRuntimeFile(dir, "messages", O_RDWR | O_CREAT | O_APPEND);
    if (!table.Valid() || !FileRangeLock(table.Get(), F_WRLCK, 0, 0, true)) {
      SetLastError(Win32ErrorFromErrno(errno));
      return 0;
    }
    struct stat st {};
    if (fstat(table.Get(), &st) != 0 || st.st_size > kMaxMessageTable) {
      SetLastError(ERROR_INVALID_DATA);
      return 0;
    }
    std::string content;
    ReadAll(table.Get(), st.st_size, &content);
    // A writer that died mid-line left a fragment; drop it so that appending cannot turn
    // it into an entry.
    const size_t complete =
        content.find_last_of('\n') == std::string::npos ? 0 : content.find_last_of('\n') + 1;
    if (complete != content.size()) {
      if (ftruncate(table.Get(), static_cast<off_t>(complete)) != 0) {
        SetLastError(ERROR_WRITE_FAULT);
        return 0;
      }
      content.resize(complete);
    }
    UINT highest = 0;
    size_t start = 0;
    while (start < content.size()) {
      const size_t end = content.find('\n', start);
      const std::string_view line(content.data() + start, end - start);
      start = end + 1;
      UINT id = 0;
      std::string_view known;
      if (!ParseMessageLine(line, &id, &known)) continue;
      if (EqualsIgnoringAsciiCase(known, wanted)) return id;
      highest = std::max(highest, id);
    }
    const UINT id = highest == 0 ? kFirstMessageId : highest + 1;
    if (id > kLastMessageId) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    char hex[5];
    std::snprintf(hex, sizeof hex, "%04X", id);
    const std::string line = std::string(hex) + " " + std::string(wanted) + "\n";
    if (WriteAll(table.Get(), line.data(), line.size()) != 0) {
      [[maybe_unused]] const int rc = ftruncate(table.Get(), static_cast<off_t>(complete));
      SetLastError(ERROR_WRITE_FAULT);
      return 0;
    }
    return id;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) noexcept {
  if (size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  char host[MAX_COMPUTERNAME_LENGTH + 2] = {};
  if (gethostname(host, MAX_COMPUTERNAME_LENGTH + 1) != 0 || host[0] == '\0')
    std::strcpy(host, "localhost");
  host[MAX_COMPUTERNAME_LENGTH] = '\0';
  const auto length = static_cast<DWORD>(std::strlen(host));
  if (buffer == nullptr || *size <= length) {
    *size = length + 1;
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return FALSE;
  }
  std::memcpy(buffer, host, length + 1);
  *size = length;
  return TRUE;
}
