// The engine end to end: real operations of the progress dialog (headless, a user enrolled
// with a key and logged on in this process, in a machine root of its own) against archivers
// that encrypt and against a plain copy, on the same data in the same run. Every figure of
// a peer includes a `sync` afterwards, because the engine makes its output durable before it
// deletes anything; the engine's own figures have no sync added.
//
//   (a) one file of --size bytes of incompressible data: the file into its .qvf and back, and
//       the folder holding it into its container and back; peers `7z a -mhe=on -mx=0` and
//       `7z x`, `tar c | age -r` and `age -d | tar x`, `cp` and `cp -r`. MB/s and ratios.
//   (b) a tree of --files files of 1 to 16 KiB in 200 folders: the folder into its container
//       and back; peers `cp -r`, tar | age, 7z. Files per second and ratios.
//
// Also printed: the peak memory of this process (every engine operation runs in it), and
// where the engine's time goes, from the library and the container store measured apart on
// the same data in the first run. Every round trip is compared byte for byte with the data
// that was written (outside the timed part).
//
//   bench_engine [--size BYTES[K|M|G]] [--files N] [--runs N] [--settle SECONDS]
//                [--dir FOLDER] [--no-folders]
//
// Exit codes: 0 done, 1 an operation failed or a round trip differs, 2 usage.
#include <malloc.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/DialogResources.h"
#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "bench/BenchSupport.h"
#include "bench/BenchUser.h"
#include "container/FolderContainer.h"
#include "container/QVDatabase.h"
#include "engine/CProgressDlg.h"
#include "platform/Ole.h"
#include "platform/ui/Backend.h"
#include "platform/ui/HeadlessBackend.h"
#include "suite/QvFsApi.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvprofile/UserStore.h"

namespace fs = std::filesystem;
using bench::Clock;
using bench::Seconds;

namespace {

using bench::kPassword;
using bench::kUser;
constexpr std::size_t kBlock = 1u << 20;

struct Options {
  unsigned long long size = 1ull << 30;
  int files = 20000;
  int runs = 3;
  int settle = 65;
  std::string dir = bench::DefaultWorkBase();
  bool folders = true;
};

const char* const kUsage =
    "usage: bench_engine [--size BYTES[K|M|G]] [--files N] [--runs N] [--settle SECONDS]\n"
    "                    [--dir FOLDER] [--no-folders]\n"
    "  --size      size of the single file of data (a) (default 1G)\n"
    "  --files     number of small files of data (b), in 200 folders (default 20000)\n"
    "  --runs      runs per figure; each figure is their median (default 3)\n"
    "  --settle    seconds to wait after clean-up before timed runs of data (b) (default 65)\n"
    "  --dir       where the work folder is made (default $TMPDIR, else /tmp)\n"
    "  --no-folders  only the single-file operations of data (a); no folder, no data (b)\n";

[[noreturn]] void Usage(const std::string& why) {
  std::fprintf(stderr, "bench_engine: %s\n%s", why.c_str(), kUsage);
  std::exit(2);
}

int ParseCount(const std::string& option, const char* text, int minimum) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < minimum || value > 10000000)
    Usage("bad value for " + option + ": " + text);
  return static_cast<int>(value);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("%s", kUsage);
      std::exit(0);
    }
    if (arg == "--no-folders") {
      options.folders = false;
      continue;
    }
    if (arg != "--size" && arg != "--files" && arg != "--runs" && arg != "--settle" &&
        arg != "--dir")
      Usage("unknown option " + arg);
    if (i + 1 >= argc) Usage("missing value for " + arg);
    const char* value = argv[++i];
    if (arg == "--size") {
      if (!bench::ParseSize(value, &options.size) || options.size == 0)
        Usage(std::string("bad size: ") + value);
    } else if (arg == "--files") {
      options.files = ParseCount(arg, value, 1);
    } else if (arg == "--runs") {
      options.runs = ParseCount(arg, value, 1);
    } else if (arg == "--settle") {
      options.settle = ParseCount(arg, value, 0);
    } else {
      options.dir = bench::AbsoluteFolder(value);
    }
  }
  return options;
}

// ---- Failing: the work folder goes, then the process, without running the suite's exit ----

std::string g_work;

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "bench_engine: %s\n", why.c_str());
  std::fflush(nullptr);
  if (!g_work.empty()) {
    std::error_code ignored;
    fs::remove_all(g_work, ignored);
  }
  _exit(1);
}

void Check(bool ok, const std::string& what) {
  if (!ok) Fail(what);
}

// ---- Data: a deterministic stream, so a round trip is checked without keeping a copy ----

std::uint64_t Mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// Block `index` of the stream `seed`, `size` bytes.
void FillBlock(std::uint64_t seed, std::uint64_t index, unsigned char* out, std::size_t size) {
  std::uint64_t state = Mix(seed * 0x100000001b3ull ^ Mix(index));
  for (std::size_t i = 0; i < size; i += 8) {
    const std::uint64_t value = Mix(state++);
    std::memcpy(out + i, &value, std::min<std::size_t>(8, size - i));
  }
}

void WriteData(const std::string& path, std::uint64_t seed, unsigned long long size) {
  std::vector<unsigned char> block(
      static_cast<std::size_t>(std::min<unsigned long long>(kBlock, size)));
  std::FILE* file = std::fopen(path.c_str(), "wb");
  Check(file != nullptr, "cannot create " + path);
  for (unsigned long long done = 0, index = 0; done < size; ++index) {
    const std::size_t part =
        static_cast<std::size_t>(std::min<unsigned long long>(kBlock, size - done));
    FillBlock(seed, index, block.data(), part);
    Check(std::fwrite(block.data(), 1, part, file) == part, "cannot write " + path);
    done += part;
  }
  Check(std::fclose(file) == 0, "cannot write " + path);
}

// True when `path` holds exactly the stream `seed` of `size` bytes.
bool SameData(const std::string& path, std::uint64_t seed, unsigned long long size) {
  std::error_code error;
  if (!fs::is_regular_file(fs::symlink_status(path, error)) || fs::file_size(path, error) != size)
    return false;
  const std::size_t buffer = static_cast<std::size_t>(std::min<unsigned long long>(kBlock, size));
  std::vector<unsigned char> expected(buffer), actual(buffer);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bool same = true;
  for (unsigned long long done = 0, index = 0; same && done < size; ++index) {
    const std::size_t part =
        static_cast<std::size_t>(std::min<unsigned long long>(kBlock, size - done));
    FillBlock(seed, index, expected.data(), part);
    same = std::fread(actual.data(), 1, part, file) == part &&
           std::memcmp(actual.data(), expected.data(), part) == 0;
    done += part;
  }
  std::fclose(file);
  return same;
}

// The small files of data (b): 200 folders (10 groups of 20), 1 to 16 KiB each.
struct TreeFile {
  std::string relative;
  unsigned long long size;
  std::uint64_t seed;  // of its content stream
};

std::vector<TreeFile> TreeLayout(int files) {
  const int folders = std::min(files, 200);
  std::vector<TreeFile> layout;
  layout.reserve(static_cast<std::size_t>(files));
  for (int i = 0; i < files; ++i) {
    const int folder = i % folders;
    const std::string name = "g" + std::to_string(folder / 20) + "/f" + std::to_string(folder) +
                             "/file" + std::to_string(i) + ".dat";
    layout.push_back({name, 1024 + Mix(static_cast<std::uint64_t>(i) + 77) % (15 * 1024 + 1),
                      1000 + static_cast<std::uint64_t>(i)});
  }
  return layout;
}

unsigned long long TreeBytes(const std::vector<TreeFile>& layout) {
  unsigned long long total = 0;
  for (const TreeFile& file : layout) total += file.size;
  return total;
}

void WriteTree(const std::string& root, const std::vector<TreeFile>& layout) {
  for (std::size_t i = 0; i < layout.size(); ++i) {
    const std::string path = root + "/" + layout[i].relative;
    fs::create_directories(fs::path(path).parent_path());
    WriteData(path, layout[i].seed, layout[i].size);
  }
}

// Nothing missing, nothing extra, every byte as written. Empty text when so, else what differs.
std::string CompareTree(const std::string& root, const std::vector<TreeFile>& layout) {
  std::error_code error;
  std::size_t regular = 0;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory()) continue;
    if (!it->is_regular_file()) return "unexpected entry " + it->path().string();
    ++regular;
  }
  if (error) return "cannot list " + root;
  if (regular != layout.size())
    return std::to_string(regular) + " files in " + root + ", expected " +
           std::to_string(layout.size());
  for (std::size_t i = 0; i < layout.size(); ++i)
    if (!SameData(root + "/" + layout[i].relative, layout[i].seed, layout[i].size))
      return "content differs: " + root + "/" + layout[i].relative;
  return {};
}

void CheckTree(const std::string& root, const std::vector<TreeFile>& layout,
               const std::string& what) {
  if (const std::string differs = CompareTree(root, layout); !differs.empty())
    Fail(what + " differs: " + differs);
}

void RemovePaths(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    std::error_code error;
    fs::remove_all(path, error);
    Check(!error, "cannot remove " + path);
  }
}

// ---- The engine ----

class EngineUser {
 public:
  void Setup(const std::string& work) {
    const std::string enrolled =
        bench::EnrollBenchUser(work, kUser, std::string(".\\") + kUser, kPassword);
    Check(enrolled.empty(), enrolled);
    ui_.SetFailureHandler([](const std::string& message) {
      std::fprintf(stderr, "bench_engine: dialog: %s\n", message.c_str());
    });
    previous_ = SetUiBackend(&ui_);
  }

  void Teardown() {
    SetUiBackend(previous_);
    QvLogOff();
    StopSuiteServices();
    QvApp().ExitInstance();
  }

  // Runs one operation through the progress dialog and returns its seconds (the log-on before
  // it is not timed: the session would otherwise end during a long benchmark).
  double Operate(const std::string& item, bool encrypt) {
    Check(QvLogOnUser(kUser, kPassword) == QvLogOnResult::Passed, "the user cannot log on");
    OperationRequest request;
    request.items = {item};
    request.userId = kUser;
    request.userName = kUser;
    request.encrypt = encrypt;
    const bool reset = bench::ResetPeakRss();
    CProgressDlg dialog(std::move(request));
    const double cpuBefore = bench::ProcessorSeconds();
    const Clock::time_point start = Clock::now();
    const INT_PTR result = dialog.DoModal();
    const double took = Seconds(start);
    lastCpu_ = bench::ProcessorSeconds() - cpuBefore;
    lastPeakKiB_ = reset ? bench::PeakRssSinceResetKiB() : -1;
    if (result != IDOK)
      Fail(std::string(encrypt ? "encrypting " : "decrypting ") + item + " failed" +
           bench::FailedRows(ui_));
    return took;
  }

  // The peak resident memory of the process during the last Operate (what it held before
  // included), KiB; -1 when the kernel cannot tell.
  long LastPeakKiB() const { return lastPeakKiB_; }
  // The processor time of the whole process (every thread, user and system) during the last
  // Operate, seconds.
  double LastCpu() const { return lastCpu_; }

 private:
  HeadlessBackend ui_;
  long lastPeakKiB_ = -1;
  double lastCpu_ = 0;
  UiBackend* previous_ = nullptr;
};

// ---- The library and the container store alone, for the breakdown ----

class NeverCancel : public IEncryDecryptCallBack {
 public:
  DWORD IsCancelled() override { return 0; }
};

class Library {
 public:
  Library() {
    Check(CreatePKISettings(kUser, &blobLength_, &blob_) != FALSE, "cannot make a key");
    Check(
        FillCredentialBlock(credentials_, sizeof credentials_, kUser, nullptr, &credentialsLength_),
        "credentials");
  }
  ~Library() { CoTaskMemFree(blob_); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // The files as the folder engine encrypts them: one folder key, one call per file, nothing
  // flushed by the library, the image of a file of up to 1 MiB made in memory (into `held`,
  // with the plain file's facts; its entry of `to` is then only its name), a larger one's on
  // disk. `from`, `to` and `held` are parallel lists.
  void EncryptFolder(const std::vector<std::string>& from, const std::vector<std::string>& to,
                     std::vector<QVDatabase::ImageInMemory>* held) {
    held->assign(from.size(), {});
    EncryptAlgoInfo algorithm{};
    algorithm.algorithmId = kDefaultAlgorithmId;
    std::vector<BYTE> header(kFolderHeaderCapacity);
    DWORD headerLength = kFolderHeaderCapacity;
    DWORD handle = 0;
    Check(QVFSInitFolderEncryption(&algorithm, kUser, blob_, blobLength_, credentials_,
                                   credentialsLength_, header.data(), &headerLength, &handle) == 0,
          "library: folder encryption does not start");
    header_.assign(header.begin(), header.begin() + headerLength);
    for (std::size_t i = 0; i < from.size(); ++i) {
      QVData data = Request(from[i], to[i]);
      data.folderHandle = handle;
      data.algorithm = algorithm;
      BYTE* image = nullptr;
      DWORD length = 0;
      DWORD status = QVFSFolderEncryptFileToMemoryAt(&data, "", 0, &image, &length);
      if (status == 0) {
        (*held)[i].bytes.assign(image, image + length);
        (*held)[i].facts = container::ReadDiskFacts(from[i]);
        CoTaskMemFree(image);
      } else if (status == 12) {
        status = QVFSFolderEncryptFileAt(&data, "", 0);
      }
      Check(status == 0,
            "library: encrypting " + from[i] + " failed with " + std::to_string(status));
    }
    (void)QVFSCloseHandle(handle);
  }

  // Decrypts each image of `from` into the folder `to[i]`, under the folder key of the last
  // EncryptFolder.
  void DecryptFolder(const std::vector<std::string>& from, const std::vector<std::string>& to) {
    DWORD handle = 0;
    DWORD credentialsLength = credentialsLength_;
    Check(QVFSInitFolderDecryption(header_.data(), static_cast<DWORD>(header_.size()), kUser, kUser,
                                   blob_, blobLength_, credentials_, &credentialsLength,
                                   &handle) == 0,
          "library: folder decryption does not start");
    for (std::size_t i = 0; i < from.size(); ++i) {
      QVData data = Request(from[i], to[i]);
      data.folderHandle = handle;
      // Every image is made for the provisional place, where a container without the folder's
      // key leaves it.
      const DWORD status = QVFSFolderDecryptFileAt(&data, "", 0);
      Check(status == 0,
            "library: decrypting " + from[i] + " failed with " + std::to_string(status));
    }
    (void)QVFSCloseHandle(handle);
  }

  // The single-file calls, which flush their output.
  void EncryptFile(const std::string& from, const std::string& to) {
    QVData data = Request(from, to);
    data.algorithm.algorithmId = kDefaultAlgorithmId;
    const DWORD status = QVFSEncryptFile(&data);
    Check(status == 0, "library: encrypting " + from + " failed with " + std::to_string(status));
  }
  void DecryptFile(const std::string& from, const std::string& toFolder) {
    QVData data = Request(from, toFolder);
    const DWORD status = QVFSDecryptFile(&data);
    Check(status == 0, "library: decrypting " + from + " failed with " + std::to_string(status));
  }

 private:
  QVData Request(const std::string& from, const std::string& to) {
    QVData data{};
    data.sourcePath = from.c_str();
    data.destinationPath = to.c_str();
    data.keyName = kUser;
    data.keyName2 = kUser;
    data.keyBlob = blob_;
    data.keyBlobLength = blobLength_;
    data.credentials = credentials_;
    data.credentialsLength = credentialsLength_;
    data.callback = &cancel_;
    return data;
  }

  BYTE* blob_ = nullptr;
  DWORD blobLength_ = 0;
  BYTE credentials_[kCredentialSizeStandard] = {};
  DWORD credentialsLength_ = 0;
  std::vector<BYTE> header_;
  NeverCancel cancel_;
};

// Stores the images below `root` (their paths relative to it) into a new container and makes
// it durable.
void StoreContainer(const std::string& root, const std::vector<std::string>& images,
                    std::vector<QVDatabase::ImageInMemory>& held, const std::string& container) {
  QVDatabase db;
  Check(db.Open(container, TRUE) == VARIANT_TRUE, "container: cannot create " + container);
  Check(db.BeginBatchedAdds() == VARIANT_TRUE, "container: cannot batch the adds");
  for (std::size_t i = 0; i < images.size(); ++i)
    Check((held[i].bytes.empty() ? db.AddFile(root, images[i], 0, FALSE)
                                 : db.AddFileFromMemory(root, images[i], held[i], 0, FALSE)) > 0,
          "container: cannot store " + images[i]);
  Check(db.Flush() == VARIANT_TRUE, "container: flush failed");
  Check(db.Close() == VARIANT_TRUE, "container: close failed");
}

void ExtractContainer(const std::string& container, const std::string& folder) {
  fs::create_directories(folder);
  FolderContainer opened;
  Check(opened.OpenAt(folder, container, 0) == 1, "container: cannot open " + container);
  Check(opened.ExtractAll(nullptr, nullptr) == 1, "container: extraction failed");
  opened.Close();
}

struct Breakdown {
  double libraryEncrypt = 0, containerStore = 0, libraryDecrypt = 0, containerExtract = 0,
         flushDecrypted = 0;
};

// The library and the container store apart, on the files of `layout` below `source`, in
// `scratch`; the engine's folder operations do this work plus their own.
Breakdown MeasureApart(Library& library, const std::string& source,
                       const std::vector<TreeFile>& layout, const std::string& scratch) {
  Breakdown times;
  std::vector<std::string> plain, images, extracted, targets;
  for (const TreeFile& file : layout) {
    plain.push_back(source + "/" + file.relative);
    images.push_back(scratch + "/img/" + file.relative + ".qvf");
    extracted.push_back(scratch + "/ext/" + file.relative + ".qvf");
    targets.push_back(fs::path(scratch + "/plain/" + file.relative).parent_path().string());
  }
  for (const std::string& path : images) fs::create_directories(fs::path(path).parent_path());
  for (const std::string& path : targets) fs::create_directories(path);
  sync();
  std::vector<QVDatabase::ImageInMemory> held;
  Clock::time_point start = Clock::now();
  library.EncryptFolder(plain, images, &held);
  times.libraryEncrypt = Seconds(start);
  start = Clock::now();
  StoreContainer(scratch + "/img", images, held, scratch + "/c.qvef");
  times.containerStore = Seconds(start);
  // The images of the whole tree were held at once, which no operation does: given back, so
  // that the peak memory of the operations timed after this one is theirs.
  std::vector<QVDatabase::ImageInMemory>().swap(held);
  malloc_trim(0);
  sync();
  start = Clock::now();
  ExtractContainer(scratch + "/c.qvef", scratch + "/ext");
  times.containerExtract = Seconds(start);
  start = Clock::now();
  library.DecryptFolder(extracted, targets);
  times.libraryDecrypt = Seconds(start);
  start = Clock::now();
  sync();
  times.flushDecrypted = Seconds(start);
  for (std::size_t i = 0; i < layout.size(); ++i)
    Check(SameData(scratch + "/plain/" + layout[i].relative, layout[i].seed, layout[i].size),
          "library round trip differs: " + layout[i].relative);
  return times;
}

// ---- Peers ----

struct Peers {
  bool have7z = false;
  bool haveAge = false;
  std::string ageKey;
  std::string recipient;
  std::string log;
};

// Runs a peer command (or pipe) and the sync after it; the seconds of both.
double TimePeer(const Peers& peers, const std::string& what, const std::function<int()>& run) {
  sync();
  const Clock::time_point start = Clock::now();
  const int code = run();
  sync();
  const double took = Seconds(start);
  if (code != 0) {
    std::string tail;
    if (std::FILE* log = std::fopen(peers.log.c_str(), "r")) {
      char buffer[4096];
      const std::size_t got = std::fread(buffer, 1, sizeof buffer, log);
      tail.assign(buffer, got);
      std::fclose(log);
    }
    Fail(what + " failed (exit " + std::to_string(code) + ")\n" + tail);
  }
  return took;
}

// A peer's encrypt and decrypt of folder `name` in `parent`; the decrypted copy lands in
// `out`/<name>. Returns false when the peer is not installed.
struct PeerTimes {
  std::vector<double> encrypt, decrypt;
};

void Run7z(const Peers& peers, const std::string& parent, const std::string& name,
           const std::string& archive, const std::string& out, PeerTimes* times) {
  times->encrypt.push_back(TimePeer(peers, "7z a", [&] {
    return bench::Run({"7z", "a", "-bd", "-p" + std::string(kPassword), "-mhe=on", "-mx=0", archive,
                       parent + "/" + name},
                      nullptr, peers.log.c_str());
  }));
  fs::create_directories(out);
  times->decrypt.push_back(TimePeer(peers, "7z x", [&] {
    return bench::Run({"7z", "x", "-bd", "-y", "-p" + std::string(kPassword), "-o" + out, archive},
                      nullptr, peers.log.c_str());
  }));
}

void RunAge(const Peers& peers, const std::string& parent, const std::string& name,
            const std::string& archive, const std::string& out, PeerTimes* times) {
  times->encrypt.push_back(TimePeer(peers, "tar c | age -r", [&] {
    return bench::RunPipe({"tar", "c", "-C", parent, name},
                          {"age", "-r", peers.recipient, "-o", archive}, peers.log.c_str());
  }));
  fs::create_directories(out);
  times->decrypt.push_back(TimePeer(peers, "age -d | tar x", [&] {
    return bench::RunPipe({"age", "-d", "-i", peers.ageKey, archive}, {"tar", "x", "-C", out},
                          peers.log.c_str());
  }));
}

// The installed archive peers on parent/name, each round trip checked against `layout`.
void RunArchivePeers(const Peers& peers, const std::string& parent, const std::string& name,
                     const std::vector<TreeFile>& layout, PeerTimes* sevenZip, PeerTimes* age) {
  if (peers.have7z) {
    Run7z(peers, parent, name, parent + "/p.7z", parent + "/7z", sevenZip);
    CheckTree(parent + "/7z/" + name, layout, "7z round trip");
  }
  if (peers.haveAge) {
    RunAge(peers, parent, name, parent + "/p.tar.age", parent + "/age", age);
    CheckTree(parent + "/age/" + name, layout, "age round trip");
  }
}

Peers FindPeers(const std::string& work) {
  Peers peers;
  peers.log = work + "/peers.log";
  peers.have7z = bench::Installed("7z");
  peers.haveAge =
      bench::Installed("age") && bench::Installed("age-keygen") && bench::Installed("tar");
  if (peers.haveAge) {
    peers.ageKey = work + "/age.key";
    Check(bench::Run({"age-keygen", "-o", peers.ageKey}, nullptr, peers.log.c_str()) == 0 &&
              bench::Run({"age-keygen", "-y", peers.ageKey}, &peers.recipient, peers.log.c_str()) ==
                  0,
          "age-keygen failed");
    while (!peers.recipient.empty() &&
           (peers.recipient.back() == '\n' || peers.recipient.back() == '\r'))
      peers.recipient.pop_back();
  }
  Check(bench::Installed("cp"), "cp is not installed");
  return peers;
}

// ---- Printing ----

void PrintRate(const char* label, const std::vector<double>& seconds, double amount,
               const char* unit, const char* missing) {
  if (seconds.empty()) {
    std::printf("  %-36s skipped (%s not installed)\n", label, missing);
    return;
  }
  const double median = bench::Median(seconds);
  std::printf("  %-36s %9.1f %s  (%.2f s, spread %.2f s)\n", label, amount / median, unit, median,
              bench::Spread(seconds));
}

// ours / peer as rates, i.e. peer seconds / our seconds; "-" when a side is missing.
std::string Ratio(const std::vector<double>& ours, const std::vector<double>& peer) {
  if (ours.empty() || peer.empty()) return "    -";
  char text[32];
  std::snprintf(text, sizeof text, "%5.2f", bench::Median(peer) / bench::Median(ours));
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  std::error_code error;
  if (!fs::is_directory(options.dir, error)) Usage("--dir is not a folder: " + options.dir);
  std::string pattern = options.dir + "/qvengine-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) Usage("cannot create a folder in " + options.dir);
  const std::string work = pattern;
  g_work = work;

  EngineUser user;
  user.Setup(work);
  Library library;
  const Peers peers = FindPeers(work);

  // Data (a): work/a/src/data.bin.
  const std::string a = work + "/a", src = a + "/src", file = src + "/data.bin";
  fs::create_directories(src);
  constexpr std::uint64_t kBigSeed = 1;
  WriteData(file, kBigSeed, options.size);
  const std::vector<TreeFile> bigLayout = {{"data.bin", options.size, kBigSeed}};
  // Data (b): work/b/tree.
  const std::string b = work + "/b", tree = b + "/tree";
  const std::vector<TreeFile> layout = TreeLayout(options.files);
  if (options.folders) WriteTree(tree, layout);
  sync();

  // Before any reset of the high-water mark: the set-up's own peak.
  const long setupPeak = bench::PeakRssKiB();
  long peakFile = -1, peakFolderA = -1, peakFolderB = -1;  // KiB, per kind of operation
  // Processor time of the first run of each operation: file encrypt and decrypt, folder (a)
  // encrypt and decrypt, folder (b) encrypt and decrypt.
  double cpu[6] = {-1, -1, -1, -1, -1, -1};
  auto operate = [&](long* peak, int which, const std::string& item, bool encrypt) {
    const double took = user.Operate(item, encrypt);
    *peak = std::max(*peak, user.LastPeakKiB());
    if (cpu[which] < 0) cpu[which] = user.LastCpu();
    return took;
  };
  PeerTimes aFileEncrypt, aFileDecrypt, aFolderEncrypt, aFolderDecrypt;  // ours
  std::vector<double> aCp, aCpR;
  PeerTimes a7z, aAge;
  PeerTimes bOurs, b7z, bAge;
  std::vector<double> bCpR;
  Breakdown aApart, bApart;
  double aLibFileEncrypt = 0, aLibFileDecrypt = 0;

  const double megabytes = static_cast<double>(options.size) / 1e6;
  std::printf("bench_engine: (a) one file of %.1f MB", megabytes);
  if (options.folders)
    std::printf(", (b) %d files of 1-16 KiB (%.1f MB) in %d folders", options.files,
                static_cast<double>(TreeBytes(layout)) / 1e6, std::min(options.files, 200));
  std::printf("; work folder %s; median of %d runs\n", work.c_str(), options.runs);
  std::fflush(stdout);

  for (int run = 0; run < options.runs; ++run) {
    std::printf("run %d of %d: data (a)\n", run + 1, options.runs);
    std::fflush(stdout);
    RemovePaths({a + "/cp.bin", a + "/cpr", a + "/p.7z", a + "/7z", a + "/p.tar.age", a + "/age",
                 a + "/apart"});
    sync();
    aFileEncrypt.encrypt.push_back(operate(&peakFile, 0, file, true));
    Check(!fs::exists(file) && fs::is_regular_file(file + ".qvf"),
          "encrypting the file left " + file + " or no .qvf");
    sync();
    aFileDecrypt.decrypt.push_back(operate(&peakFile, 1, file + ".qvf", false));
    Check(!fs::exists(file + ".qvf"), "decrypting left the .qvf");
    Check(SameData(file, kBigSeed, options.size), "round trip of the file differs");
    if (options.folders) {
      sync();
      aFolderEncrypt.encrypt.push_back(operate(&peakFolderA, 2, src, true));
      Check(!fs::exists(src) && fs::is_regular_file(src + ".qvef"),
            "encrypting the folder left it or made no container");
      sync();
      aFolderDecrypt.decrypt.push_back(operate(&peakFolderA, 3, src + ".qvef", false));
      Check(!fs::exists(src + ".qvef"), "decrypting left the container");
      CheckTree(src, bigLayout, "round trip of the folder");
    }
    sync();
    aCp.push_back(TimePeer(peers, "cp", [&] {
      return bench::Run({"cp", file, a + "/cp.bin"}, nullptr, peers.log.c_str());
    }));
    aCpR.push_back(TimePeer(peers, "cp -r", [&] {
      return bench::Run({"cp", "-r", src, a + "/cpr"}, nullptr, peers.log.c_str());
    }));
    Check(SameData(a + "/cp.bin", kBigSeed, options.size), "cp copy differs");
    RunArchivePeers(peers, a, "src", bigLayout, &a7z, &aAge);
    if (run == 0) {
      const std::string apart = a + "/apart";
      fs::create_directories(apart + "/plain");
      sync();
      Clock::time_point start = Clock::now();
      library.EncryptFile(file, apart + "/data.bin.qvf");
      aLibFileEncrypt = Seconds(start);
      sync();
      start = Clock::now();
      library.DecryptFile(apart + "/data.bin.qvf", apart + "/plain");
      aLibFileDecrypt = Seconds(start);
      Check(SameData(apart + "/plain/data.bin", kBigSeed, options.size),
            "library round trip differs");
      RemovePaths({apart});
      if (options.folders) aApart = MeasureApart(library, src, bigLayout, apart);
    }
  }
  RemovePaths({a + "/cp.bin", a + "/cpr", a + "/p.7z", a + "/7z", a + "/p.tar.age", a + "/age",
               a + "/apart"});

  if (options.folders) {
    for (int run = 0; run < options.runs; ++run) {
      std::printf("run %d of %d: data (b)\n", run + 1, options.runs);
      std::fflush(stdout);
      RemovePaths({b + "/cpr", b + "/p.7z", b + "/7z", b + "/p.tar.age", b + "/age", b + "/apart"});
      sync();
      bench::Settle(options.settle);
      sync();
      bOurs.encrypt.push_back(operate(&peakFolderB, 4, tree, true));
      Check(!fs::exists(tree) && fs::is_regular_file(tree + ".qvef"),
            "encrypting the tree left it or made no container");
      // The encryption deleted the whole tree: the restore waits as well.
      sync();
      bench::Settle(options.settle);
      sync();
      bOurs.decrypt.push_back(operate(&peakFolderB, 5, tree + ".qvef", false));
      Check(!fs::exists(tree + ".qvef"), "decrypting left the container");
      CheckTree(tree, layout, "round trip of the tree");
      bCpR.push_back(TimePeer(peers, "cp -r", [&] {
        return bench::Run({"cp", "-r", tree, b + "/cpr"}, nullptr, peers.log.c_str());
      }));
      CheckTree(b + "/cpr", layout, "cp -r copy");
      RunArchivePeers(peers, b, "tree", layout, &b7z, &bAge);
      if (run == 0) bApart = MeasureApart(library, tree, layout, b + "/apart");
    }
  }

  // ---- The table ----
  std::printf("\n(a) one file of %.1f MB, MB/s (every peer includes a sync after it)\n", megabytes);
  PrintRate("ours: file -> .qvf", aFileEncrypt.encrypt, megabytes, "MB/s", "");
  PrintRate("ours: .qvf -> file", aFileDecrypt.decrypt, megabytes, "MB/s", "");
  if (options.folders) {
    PrintRate("ours: folder -> .qvef", aFolderEncrypt.encrypt, megabytes, "MB/s", "");
    PrintRate("ours: .qvef -> folder", aFolderDecrypt.decrypt, megabytes, "MB/s", "");
  }
  PrintRate("7z a -p -mhe=on -mx=0 + sync", a7z.encrypt, megabytes, "MB/s", "7z");
  PrintRate("7z x + sync", a7z.decrypt, megabytes, "MB/s", "7z");
  PrintRate("tar c | age -r + sync", aAge.encrypt, megabytes, "MB/s", "age");
  PrintRate("age -d | tar x + sync", aAge.decrypt, megabytes, "MB/s", "age");
  PrintRate("cp + sync", aCp, megabytes, "MB/s", "cp");
  PrintRate("cp -r + sync", aCpR, megabytes, "MB/s", "cp");

  std::printf(
      "  ratios ours/peer (rate)         vs 7z   vs age  vs cp   goal: >= 2 vs the "
      "faster of 7z, age\n");
  // The median seconds of the faster of two peers; 0 when neither ran.
  auto fasterPeer = [](const std::vector<double>& z, const std::vector<double>& g) {
    double fastest = 0;
    for (const std::vector<double>* peer : {&z, &g})
      if (!peer->empty() && (fastest == 0 || bench::Median(*peer) < fastest))
        fastest = bench::Median(*peer);
    return fastest;
  };
  auto goalA = [&](const std::vector<double>& ours, const std::vector<double>& z,
                   const std::vector<double>& g) -> std::string {
    const double fastest = fasterPeer(z, g);
    if (ours.empty() || fastest == 0) return "no peer";
    return fastest / bench::Median(ours) >= 2.0 ? "met" : "MISSED";
  };
  struct RatioRow {
    const char* label;
    const std::vector<double>* ours;
    const std::vector<double>* z;
    const std::vector<double>* g;
    const std::vector<double>* cp;
  };
  std::vector<RatioRow> rowsA = {
      {"file encrypt", &aFileEncrypt.encrypt, &a7z.encrypt, &aAge.encrypt, &aCp},
      {"file decrypt", &aFileDecrypt.decrypt, &a7z.decrypt, &aAge.decrypt, &aCp}};
  if (options.folders) {
    rowsA.push_back(
        {"folder encrypt", &aFolderEncrypt.encrypt, &a7z.encrypt, &aAge.encrypt, &aCpR});
    rowsA.push_back(
        {"folder decrypt", &aFolderDecrypt.decrypt, &a7z.decrypt, &aAge.decrypt, &aCpR});
  }
  for (const RatioRow& row : rowsA)
    std::printf("    %-28s %s   %s   %s   %s\n", row.label, Ratio(*row.ours, *row.z).c_str(),
                Ratio(*row.ours, *row.g).c_str(), Ratio(*row.ours, *row.cp).c_str(),
                goalA(*row.ours, *row.z, *row.g).c_str());

  if (options.folders) {
    const double files = static_cast<double>(options.files);
    std::printf("\n(b) %d small files (%.1f MB), files/s (every peer includes a sync after it)\n",
                options.files, static_cast<double>(TreeBytes(layout)) / 1e6);
    PrintRate("ours: folder -> .qvef", bOurs.encrypt, files, "files/s", "");
    PrintRate("ours: .qvef -> folder", bOurs.decrypt, files, "files/s", "");
    PrintRate("cp -r + sync", bCpR, files, "files/s", "cp");
    PrintRate("tar c | age -r + sync", bAge.encrypt, files, "files/s", "age");
    PrintRate("age -d | tar x + sync", bAge.decrypt, files, "files/s", "age");
    PrintRate("7z a -p -mhe=on -mx=0 + sync", b7z.encrypt, files, "files/s", "7z");
    PrintRate("7z x + sync", b7z.decrypt, files, "files/s", "7z");
    std::printf(
        "  ratios ours/peer (rate)         vs cp-r vs age  vs 7z   goal: >= 0.8 vs cp -r and >= 1 "
        "vs the faster of age, 7z\n");
    const RatioRow rowsB[] = {
        {"folder encrypt", &bOurs.encrypt, &b7z.encrypt, &bAge.encrypt, &bCpR},
        {"folder decrypt", &bOurs.decrypt, &b7z.decrypt, &bAge.decrypt, &bCpR}};
    for (const RatioRow& row : rowsB) {
      const double toCp = bench::Median(*row.cp) / bench::Median(*row.ours);
      const double fastest = fasterPeer(*row.z, *row.g);
      const bool peersMet = fastest == 0 || fastest >= bench::Median(*row.ours);
      std::printf("    %-28s %s   %s   %s   %s\n", row.label, Ratio(*row.ours, *row.cp).c_str(),
                  Ratio(*row.ours, *row.g).c_str(), Ratio(*row.ours, *row.z).c_str(),
                  toCp >= 0.8 && peersMet ? "met" : "MISSED");
    }
  }

  std::printf(
      "\nwhere our time goes: first run, seconds; cpu is the processor time of this process "
      "(all threads);\nthe library and the container store are measured apart on the same data, "
      "without the engine,\nand rest is what the engine adds (checks, rows, work folder, "
      "deletions, waits); for many small\nfiles the engine runs the library on workers beside "
      "the container store, so rest can be below zero\n");
  std::printf("  %-20s %8s %8s %8s %9s %8s %8s\n", "", "engine", "cpu", "library", "container",
              "sync", "rest");
  auto line = [](const char* label, double engine, double cpuTime, double lib, double container,
                 double flush) {
    std::printf("  %-20s %8.2f %8.2f %8.2f ", label, engine, cpuTime, lib);
    if (container < 0)
      std::printf("%9s ", "-");
    else
      std::printf("%9.2f ", container);
    if (flush < 0)
      std::printf("%8s ", "-");
    else
      std::printf("%8.2f ", flush);
    std::printf("%8.2f\n", engine - lib - std::max(0.0, container) - std::max(0.0, flush));
  };
  line("(a) file encrypt", aFileEncrypt.encrypt.front(), cpu[0], aLibFileEncrypt, -1, -1);
  line("(a) file decrypt", aFileDecrypt.decrypt.front(), cpu[1], aLibFileDecrypt, -1, -1);
  if (options.folders) {
    line("(a) folder encrypt", aFolderEncrypt.encrypt.front(), cpu[2], aApart.libraryEncrypt,
         aApart.containerStore, -1);
    line("(a) folder decrypt", aFolderDecrypt.decrypt.front(), cpu[3], aApart.libraryDecrypt,
         aApart.containerExtract, aApart.flushDecrypted);
    line("(b) folder encrypt", bOurs.encrypt.front(), cpu[4], bApart.libraryEncrypt,
         bApart.containerStore, -1);
    line("(b) folder decrypt", bOurs.decrypt.front(), cpu[5], bApart.libraryDecrypt,
         bApart.containerExtract, bApart.flushDecrypted);
  }
  std::printf(
      "  (file: the library's single-file calls flush their output themselves; folder: the "
      "container\n   store includes its flush, and sync is the flush of the restored files)\n");

  const auto mib = [](long kib) { return static_cast<double>(kib) / 1024.0; };
  const long peakOps = std::max({peakFile, peakFolderA, peakFolderB});
  std::printf(
      "\npeak memory during our operations (resident high-water mark of this process, "
      "reset before each)\n");
  std::printf("  (a) file %.1f MiB", mib(peakFile));
  if (options.folders)
    std::printf(", (a) folder %.1f MiB, (b) folder %.1f MiB", mib(peakFolderA), mib(peakFolderB));
  if (peakOps < 0)
    std::printf("\n  (not measured: /proc/self/clear_refs is not available)\n");
  else
    std::printf("; goal < 128 MiB: %s\n", mib(peakOps) < 128.0 ? "met" : "MISSED");
  std::printf(
      "  the set-up before them (enrolment with its memory-hard password derivation, the "
      "data): %.1f MiB\n",
      mib(setupPeak));
  std::printf("reproduce: %s --size %llu --files %d --runs %d --settle %d --dir %s%s\n", argv[0],
              options.size, options.files, options.runs, options.settle, options.dir.c_str(),
              options.folders ? "" : " --no-folders");

  user.Teardown();
  bench::RemoveBenchFolders(work);
  return 0;
}
