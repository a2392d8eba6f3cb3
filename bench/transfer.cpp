// Files leaving and entering a container as a file manager moves them, against copying the
// same data as plain files, in the same run (headless, in this process):
//
// * (a) one file of --size bytes (default 1 GiB) of random data, copied out of its container
//   through the container's data object: the receiver reads the descriptor and the file's
//   stream to its end and writes it into a plain folder; against `cp` of the plain file.
// * (b) the tree of --files small files (1 to 16 KiB, default 20,000) in 200 folders, copied
//   out the same way (every entry of the descriptor: a folder made, a file's stream written);
//   against `cp -r`.
// * (c) the same tree dropped onto a fresh container (made untimed) through its drop target,
//   with the user already verified by a view; against `cp -r`.
// * (d) one small file opened (its stream read) from a container of 2,000 files and from the
//   tree's container, after the user's verification: goal under 100 ms, not growing with the
//   container.
// * (e) a cut of a tree of up to 2,000 files out of a fresh container (made untimed): the
//   receiver reads every stream (untimed), then reports the move, and the time the data object
//   takes to delete the moved rows is measured; against `rm -r` + `sync` of a plain copy.
//
// Every copy, ours and the baseline, ends with `sync`, since the engine makes a container
// durable before it reports. Ours and the baseline alternate for --runs rounds, after a round
// that is not counted, and take turns at going first (A B, B A, A B ...): on a virtual machine
// whose memory the host backs as it is first touched, whichever copy runs first in the early
// rounds writes into memory never used before and took up to three times as long, ours or the
// baseline alike. Each figure is the median, with the spread (slowest - fastest). Ratios are
// baseline seconds / ours (goals: (a) at least 0.8, (b) and (c) at least 0.5). What came out is
// compared with what went in, and what was dropped is counted, outside the timed part. The peak
// resident memory of each of ours is printed (goal under 128 MiB).
//
//   bench_transfer [--size BYTES[K|M|G]] [--files N] [--runs N] [--dir FOLDER] [--skip PART]...
//
// Exit codes: 0 done, 1 a step failed, 2 usage.
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/ContainerItemId.h"
#include "base/ModuleTables.h"
#include "bench/BenchSupport.h"
#include "bench/BenchTree.h"
#include "bench/BenchUser.h"
#include "container/QVDatabase.h"
#include "engine/CProgressDlg.h"
#include "platform/FileAccess.h"
#include "platform/ole/ClipboardFormats.h"
#include "platform/shell/DragQuery.h"
#include "platform/shell/FileGroupDescriptor.h"
#include "platform/shell/ItemIdList.h"
#include "platform/ui/HeadlessBackend.h"
#include "shell/CQvShellFolder.h"
#include "suite/QvDialogIds.h"
#include "transfer/CQvDropTarget.h"

namespace fs = std::filesystem;
using bench::Clock;
using bench::Seconds;

namespace {

using bench::kPassword;
using bench::kUser;

HeadlessBackend* g_ui = nullptr;

// Where the streams' time goes: a stream's first read decrypts its file (everything a
// receiver waits for before the first byte), the later reads serve plain bytes.
struct StreamPhases {
  std::size_t streams = 0;
  double firstRead = 0;
  double laterReads = 0;
  double writing = 0;    // the receiver's own writes
  double finalSync = 0;  // the sync that ends each copy
  double processor = 0;  // the process's processor time (all threads) over each copy
  std::size_t copies = 0;
};
StreamPhases g_phases;

void PrintPhases(const char* what) {
  if (g_phases.streams == 0) return;
  const double n = static_cast<double>(g_phases.streams);
  std::printf(
      "  %s, per stream: first read %.2f ms, later reads %.2f ms, receiver's writes "
      "%.2f ms (%zu streams)",
      what, g_phases.firstRead / n * 1e3, g_phases.laterReads / n * 1e3, g_phases.writing / n * 1e3,
      g_phases.streams);
  // Streams read one by one, outside a whole copy, have no copy's figures.
  if (g_phases.copies != 0) {
    const double copies = static_cast<double>(g_phases.copies);
    std::printf("; per copy: final sync %.2f s, processor time %.2f s", g_phases.finalSync / copies,
                g_phases.processor / copies);
  }
  std::printf("\n");
  std::fflush(stdout);
  g_phases = StreamPhases{};
}

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "bench_transfer: %s\n", message.c_str());
  std::exit(1);
}
void Check(bool ok, const std::string& message) {
  if (!ok) Fail(message);
}
void Say(const char* format, const std::string& text = std::string()) {
  std::printf(format, text.c_str());
  std::fflush(stdout);
}

// Encrypts `folder` into "<folder>.qvef" beside it and keeps the folder (untimed).
std::string MakeContainerOf(const std::string& folder) {
  OperationRequest request;
  request.items = {folder};
  request.userId = kUser;
  request.userName = kUser;
  request.encrypt = true;
  request.keepSource = true;
  CProgressDlg dialog(std::move(request));
  if (dialog.DoModal() != IDOK)
    Fail("the container of " + folder + " was not made" + bench::FailedRows(*g_ui));
  return folder + ".qvef";
}

// The container's root folder, as the file manager binds it, with the user verified by a view
// of it (nothing of a container is listed before that).
ComPtr<IShellFolder> RootOf(const std::string& container) {
  if (QvModuleTables().VerifiedViewCount(container) < 1)
    QvModuleTables().AddVerifiedView(container, kUser);
  ComPtr<IShellFolder> root;
  Check(CQvShellFolder::CreateInstance(IID_IShellFolder, root.ReleaseAndGetVoidAddressOf()) == S_OK,
        "no folder object");
  ComPtr<IPersistFolder> persist;
  Check(root.As(persist) == S_OK, "no IPersistFolder");
  LPITEMIDLIST pidl = ILCreateFromPathA(container.c_str());
  Check(persist->Initialize(pidl) == S_OK, container + " is not there");
  ILFree(pidl);
  return root;
}

// The identifiers of `folder`'s items (owned by the caller: ILFree each).
std::vector<LPITEMIDLIST> ItemsOf(IShellFolder* folder) {
  ComPtr<IEnumIDList> items;
  Check(SUCCEEDED(folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS,
                                      items.ReleaseAndGetAddressOf())) &&
            items.Get() != nullptr,
        "the folder cannot be listed");
  std::vector<LPITEMIDLIST> found;
  LPITEMIDLIST item = nullptr;
  ULONG fetched = 0;
  while (items->Next(1, &item, &fetched) == S_OK && fetched == 1) found.push_back(item);
  return found;
}

void FreeItems(std::vector<LPITEMIDLIST>& items) {
  for (LPITEMIDLIST item : items) ILFree(item);
  items.clear();
}

ComPtr<IDataObject> DataObjectOf(IShellFolder* folder, const std::vector<LPITEMIDLIST>& items) {
  std::vector<LPCITEMIDLIST> list(items.begin(), items.end());
  ComPtr<IDataObject> data;
  Check(
      SUCCEEDED(folder->GetUIObjectOf(nullptr, static_cast<UINT>(list.size()), list.data(),
                                      IID_IDataObject, nullptr, data.ReleaseAndGetVoidAddressOf())),
      "no data object");
  return data;
}

FORMATETC Format(const char* name, LONG index, DWORD tymed) {
  return {static_cast<CLIPFORMAT>(RegisterClipboardFormatA(name)), nullptr, DVASPECT_CONTENT, index,
          tymed};
}

// Reads entry `index`'s stream to its end into `path` (nothing is written when `path` is
// empty); the bytes read.
std::uint64_t ReceiveStream(IDataObject* data, LONG index, const std::string& path) {
  FORMATETC request = Format(CFSTR_FILECONTENTS, index, TYMED_ISTREAM);
  STGMEDIUM medium{};
  Check(SUCCEEDED(data->GetData(&request, &medium)) && medium.tymed == TYMED_ISTREAM,
        "no stream for entry " + std::to_string(index));
  RegularFile out;
  if (!path.empty())
    Check(out.OpenForWriting(path.c_str(), false) != FALSE, "cannot write " + path);
  static std::vector<char> buffer(1 << 20);
  std::uint64_t total = 0;
  bool first = true;
  for (;;) {
    ULONG got = 0;
    Clock::time_point start = Clock::now();
    Check(SUCCEEDED(medium.pstm->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &got)),
          "a stream failed");
    (first ? g_phases.firstRead : g_phases.laterReads) += Seconds(start);
    first = false;
    if (got == 0) break;
    start = Clock::now();
    if (!path.empty()) Check(out.Write(buffer.data(), got) != FALSE, "cannot write " + path);
    g_phases.writing += Seconds(start);
    total += got;
  }
  ++g_phases.streams;
  ReleaseStgMedium(&medium);
  if (!path.empty()) Check(out.Close() != FALSE, "cannot write " + path);
  return total;
}

// Copies everything `data` offers into `destination` as a receiver does: the descriptor, then
// a folder made or a stream written for each entry; then sync.
double CopyOut(IDataObject* data, const std::string& destination) {
  sync();
  const Clock::time_point start = Clock::now();
  const double processorBefore = bench::ProcessorSeconds();
  FORMATETC request = Format(CFSTR_FILEDESCRIPTORA, -1, TYMED_HGLOBAL);
  STGMEDIUM medium{};
  Check(SUCCEEDED(data->GetData(&request, &medium)), "no descriptor");
  std::vector<FileGroupEntry> entries;
  Check(ReadFileGroupDescriptor(medium.hGlobal, false, &entries), "the descriptor does not read");
  ReleaseStgMedium(&medium);
  fs::create_directories(destination);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::string name = entries[i].name;
    std::replace(name.begin(), name.end(), '\\', '/');
    const std::string path = destination + "/" + name;
    if ((entries[i].attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      fs::create_directories(path);
      continue;
    }
    Check(ReceiveStream(data, static_cast<LONG>(i), path) == entries[i].size,
          "entry " + name + " came out with another size");
  }
  const Clock::time_point syncStart = Clock::now();
  sync();
  g_phases.finalSync += Seconds(syncStart);
  g_phases.processor += bench::ProcessorSeconds() - processorBefore;
  ++g_phases.copies;
  return Seconds(start);
}

double CopyAndSync(const std::vector<std::string>& command) {
  sync();
  const Clock::time_point start = Clock::now();
  Check(bench::Run(command) == 0, command[0] + " failed");
  sync();
  return Seconds(start);
}

void CheckSame(const std::string& a, const std::string& b) {
  Check(bench::Run({"diff", "-r", "-q", a, b}) == 0, b + " differs from " + a);
}

// Drops `tree` onto `container` as a copy; the seconds it took (the container's flush
// included: the drop returns once everything is durable).
double Drop(const std::string& tree, const std::string& container) {
  ComPtr<CQvDropTarget> target;
  Check(CQvDropTarget::CreateInstance(IQvDropTarget::kIid, target.ReleaseAndGetVoidAddressOf()) ==
            S_OK,
        "no drop target");
  target->SetTarget(nullptr, {container, 0, ""}, nullptr, nullptr);
  ComPtr<IDataObject> data;
  Check(CreateDropDataObject({tree}, true, data.ReleaseAndGetAddressOf()) == S_OK, "no data");
  Check(QvLogOnUser(kUser, kPassword) == QvLogOnResult::Passed, "the user cannot log on");
  // The log-on derives its keys with Argon2id at the moderate cost (256 MiB for a moment), as
  // the view's verification does before any drop onto it: the drop's own peak starts here.
  (void)bench::ResetPeakRss();
  const Clock::time_point start = Clock::now();
  DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  Check(target->DragEnter(data.Get(), MK_LBUTTON, {0, 0}, &effect) == S_OK, "DragEnter refused");
  effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  Check(target->DragOver(MK_LBUTTON, {0, 0}, &effect) == S_OK, "DragOver refused");
  effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  const HRESULT dropped = target->Drop(data.Get(), 0, {0, 0}, &effect);
  const double took = Seconds(start);
  Check(dropped == S_OK && effect == DROPEFFECT_COPY, "the drop failed" + bench::FailedRows(*g_ui));
  return took;
}

// The number of stored files other than the seed and the empty-folder markers.
long StoredFiles(const std::string& container) {
  QVDatabase database;
  Check(database.Open(container, FALSE) == VARIANT_TRUE, "the container does not open");
  long count = 0;
  Check(database.ListPlaces([&](const std::string& name, const std::string&, DWORD) {
    if (name.rfind("qvdummy", 0) != 0 && name != "seed.txt.qvf") ++count;
  }) == VARIANT_TRUE,
        "the container cannot be listed");
  (void)database.Close();
  return count;
}

// Opens the first file of folder g0/f0 of the tree's container `container` `times` times
// (a fresh data object each time, its stream read to its end); the seconds of each.
std::vector<double> OpenSmallFile(const std::string& container, int times) {
  ComPtr<IShellFolder> folder = RootOf(container);
  for (const char* name : {"g0", "f0"}) {
    std::vector<LPITEMIDLIST> items = ItemsOf(folder.Get());
    ComPtr<IShellFolder> child;
    for (LPITEMIDLIST item : items) {
      ContainerItem parsed;
      if (SUCCEEDED(ContainerItemId::ReadFirst(item, &parsed)) && parsed.IsFolder() &&
          parsed.name == name)
        Check(SUCCEEDED(folder->BindToObject(item, nullptr, IID_IShellFolder,
                                             child.ReleaseAndGetVoidAddressOf())),
              std::string("cannot bind to ") + name);
    }
    FreeItems(items);
    Check(child.Get() != nullptr, std::string("no folder ") + name + " in " + container);
    folder = child;
  }
  std::vector<LPITEMIDLIST> items = ItemsOf(folder.Get());
  Check(!items.empty(), "folder g0/f0 is empty");
  std::vector<LPITEMIDLIST> one = {items.front()};
  std::vector<double> seconds;
  for (int i = 0; i < times; ++i) {
    const Clock::time_point start = Clock::now();
    ComPtr<IDataObject> data = DataObjectOf(folder.Get(), one);
    Check(ReceiveStream(data.Get(), 0, std::string()) == bench::TreeFileSize(0),
          "the small file came out with another size");
    seconds.push_back(Seconds(start));
  }
  FreeItems(items);
  return seconds;
}

// Median and spread of a list of seconds.
struct Figure {
  double median = 0;
  double spread = 0;
};
Figure Of(const std::vector<double>& seconds) {
  return {bench::Median(seconds), bench::Spread(seconds)};
}

void PrintComparison(const char* what, const std::vector<double>& ours, const char* baseline,
                     const std::vector<double>& theirs, double goal, long peakKiB) {
  const Figure a = Of(ours);
  const Figure b = Of(theirs);
  std::printf("%s: ours %.2f s (spread %.2f), %s %.2f s (spread %.2f), ratio %.2f", what, a.median,
              a.spread, baseline, b.median, b.spread, b.median / a.median);
  if (goal > 0) std::printf(" (goal >= %.1f)", goal);
  if (peakKiB >= 0) std::printf(", peak memory %ld KiB (goal < 131072)", peakKiB);
  std::printf("\n");
  std::fflush(stdout);
}

// Runs ours and the baseline alternately `runs` times; `ours` and `theirs` get round r.
void Alternate(int runs, const std::function<double(int)>& ours,
               const std::function<double(int)>& baseline, std::vector<double>* oursSeconds,
               std::vector<double>* theirSeconds, long* peakKiB) {
  // Round 0 is the one not counted; the runs' own numbers (for their folders) start at 0.
  for (int round = 0; round <= runs; ++round) {
    const int run = round == 0 ? runs : round - 1;
    double ourTime = 0, theirTime = 0;
    StreamPhases before;
    const auto runOurs = [&] {
      const bool reset = bench::ResetPeakRss();
      before = g_phases;
      ourTime = ours(run);
      if (reset) *peakKiB = std::max(*peakKiB, bench::PeakRssSinceResetKiB());
    };
    const bool oursFirst = round % 2 == 1;
    if (!oursFirst) theirTime = baseline(run);
    runOurs();
    if (oursFirst) theirTime = baseline(run);
    if (round == 0) {
      std::printf("  round not counted: ours %.2f s, baseline %.2f s\n", ourTime, theirTime);
      g_phases = StreamPhases{};
    } else {
      oursSeconds->push_back(ourTime);
      theirSeconds->push_back(theirTime);
      std::printf("  round %d (%s first): ours %.2f s, baseline %.2f s", round,
                  oursFirst ? "ours" : "baseline", ourTime, theirTime);
      // Our copy's own share of the round, when it was a whole copy (the spread of the rounds
      // is easier to read with where it went).
      if (g_phases.copies != before.copies)
        std::printf(" (ours: final sync %.2f s, processor %.2f s, later reads %.2f s)",
                    g_phases.finalSync - before.finalSync, g_phases.processor - before.processor,
                    g_phases.laterReads - before.laterReads);
      std::printf("\n");
    }
    std::fflush(stdout);
  }
}

bool WriteRandomFile(const std::string& path, unsigned long long size) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  std::vector<unsigned char> chunk(1 << 20);
  bool ok = true;
  for (unsigned long long left = size; ok && left > 0;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<unsigned long long>(left, chunk.size()));
    randombytes_buf(chunk.data(), n);
    ok = std::fwrite(chunk.data(), 1, n, out) == n;
    left -= n;
  }
  return std::fclose(out) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  bench::TreeArguments arguments;
  unsigned long long size = 1ull << 30;
  std::string skipped;  // the parts --skip named
  const auto wanted = [&](char part) { return skipped.find(part) == std::string::npos; };
  const int parsed = bench::ParseTreeArguments(
      argc, argv, "bench_transfer",
      "usage: bench_transfer [--size BYTES[K|M|G]] [--files N] [--runs N] [--dir FOLDER]\n"
      "                      [--skip a|b|c|d|e]...\n"
      "Copies a file of --size bytes (default 1G) and a tree of N small files in 200 folders\n"
      "(default 20000) out of containers through their data objects, drops the tree onto a\n"
      "container, and opens one small file from containers of 2000 and N files; compares each\n"
      "copy with `cp` / `cp -r` + `sync` of the same data, alternating, in the same run.\n"
      "--skip leaves a part out: a the large file, b the tree out, c the drop, d the opening,\n"
      "e the deletes of a cut of up to 2000 files.\n"
      "exit codes: 0 done, 1 a step failed, 2 usage\n",
      &arguments, [&](int count, char** values, int i) {
        if (std::string(values[i]) == "--skip") {
          const std::string part = i + 1 < count ? values[i + 1] : "";
          if (part.size() != 1 || part[0] < 'a' || part[0] > 'e') {
            std::fprintf(stderr, "bench_transfer: --skip needs one of a, b, c, d, e\n");
            return -1;
          }
          skipped += part;
          return 2;
        }
        if (std::string(values[i]) != "--size") return 0;
        if (i + 1 >= count || !bench::ParseSize(values[i + 1], &size) || size == 0) {
          std::fprintf(stderr, "bench_transfer: --size needs a size such as 64M or 1G\n");
          return -1;
        }
        return 2;
      });
  if (parsed >= 0) return parsed;
  const int files = arguments.files;
  const int runs = arguments.runs;
  const std::string work =
      bench::AbsoluteFolder(arguments.dir) + "/qv-bench-transfer-" + std::to_string(getpid());
  const std::string enrolled = bench::EnrollBenchUser(work, kUser, kUser, kPassword);
  Check(enrolled.empty(), enrolled);
  HeadlessBackend ui;
  g_ui = &ui;
  ui.SetFailureHandler(
      [](const std::string& m) { std::fprintf(stderr, "dialog: %s\n", m.c_str()); });
  UiBackend* previous = SetUiBackend(&ui);
  Check(QvLogOnUser(kUser, kPassword) == QvLogOnResult::Passed, "the user cannot log on");
  std::string load;
  if (bench::Run({"cat", "/proc/loadavg"}, &load) == 0) Say("load average: %s", load);

  // (a) One large file.
  if (wanted('a')) {
    const std::string folder = work + "/Big";
    fs::create_directories(folder);
    Say("(a) a file of %s bytes: writing and encrypting ...\n", std::to_string(size));
    Check(WriteRandomFile(folder + "/big.bin", size), "cannot write the large file");
    const std::string container = MakeContainerOf(folder);
    ComPtr<IShellFolder> root = RootOf(container);
    std::vector<LPITEMIDLIST> items = ItemsOf(root.Get());
    Check(items.size() == 1, "the large file's container should hold one item");
    std::vector<double> ours, theirs;
    long peak = -1;
    Alternate(
        runs,
        [&](int run) {
          const std::string out = work + "/bigout" + std::to_string(run);
          ComPtr<IDataObject> data = DataObjectOf(root.Get(), items);
          const double took = CopyOut(data.Get(), out);
          Check(bench::Run({"cmp", folder + "/big.bin", out + "/big.bin"}) == 0,
                "the large file came out changed");
          fs::remove_all(out);
          return took;
        },
        [&](int run) {
          const std::string out = work + "/bigcp" + std::to_string(run);
          fs::create_directories(out);
          const double took = CopyAndSync({"cp", folder + "/big.bin", out + "/big.bin"});
          fs::remove_all(out);
          return took;
        },
        &ours, &theirs, &peak);
    PrintComparison("(a) large file out", ours, "cp + sync", theirs, 0.8, peak);
    PrintPhases("(a)");
    FreeItems(items);
    fs::remove_all(folder);
    fs::remove(container);
  }

  // (b) and (c): the tree out of its container and into fresh ones.
  const std::string tree = work + "/Tree";
  Say("(b) a tree of %s files in 200 folders: writing and encrypting ...\n", std::to_string(files));
  Check(bench::WriteTree(tree, files), "cannot write the tree");
  const std::string treeContainer = MakeContainerOf(tree);
  if (wanted('b')) {
    ComPtr<IShellFolder> root = RootOf(treeContainer);
    std::vector<LPITEMIDLIST> items = ItemsOf(root.Get());
    std::vector<double> ours, theirs;
    long peak = -1;
    Alternate(
        runs,
        [&](int run) {
          const std::string out = work + "/treeout" + std::to_string(run);
          ComPtr<IDataObject> data = DataObjectOf(root.Get(), items);
          const double took = CopyOut(data.Get(), out);
          CheckSame(tree, out);
          fs::remove_all(out);
          return took;
        },
        [&](int run) {
          const std::string out = work + "/treecp" + std::to_string(run);
          const double took = CopyAndSync({"cp", "-r", tree, out});
          fs::remove_all(out);
          return took;
        },
        &ours, &theirs, &peak);
    PrintComparison("(b) tree out", ours, "cp -r + sync", theirs, 0.5, peak);
    PrintPhases("(b)");
    FreeItems(items);
  }
  if (wanted('c')) {
    Say("(c) the tree dropped onto fresh containers ...\n");
    std::vector<double> ours, theirs;
    long peak = -1;
    Alternate(
        runs,
        [&](int run) {
          const std::string folder = work + "/Box" + std::to_string(run);
          fs::create_directories(folder);
          Check(bench::WriteTreeFile(folder, 0, 1), "cannot write the seed");
          fs::rename(folder + "/g0/f0/file0.dat", folder + "/seed.txt");
          fs::remove_all(folder + "/g0");
          const std::string container = MakeContainerOf(folder);
          fs::remove_all(folder);
          // A view of the container has verified the user, as when files are dropped onto it.
          QvModuleTables().AddVerifiedView(container, kUser);
          const double took = Drop(tree, container);
          QvModuleTables().RemoveVerifiedView(container);
          Check(StoredFiles(container) == files, "the container does not hold every file");
          fs::remove(container);
          return took;
        },
        [&](int run) {
          const std::string out = work + "/dropcp" + std::to_string(run);
          const double took = CopyAndSync({"cp", "-r", tree, out});
          fs::remove_all(out);
          return took;
        },
        &ours, &theirs, &peak);
    PrintComparison("(c) tree dropped in", ours, "cp -r + sync", theirs, 0.5, peak);
  }

  // (d) One small file opened from a small and from the large container.
  if (wanted('d')) {
    const std::string small = work + "/Small";
    const int smallFiles = std::min(files, 2000);
    Say("(d) opening one small file: a container of %s files ...\n", std::to_string(smallFiles));
    Check(bench::WriteTree(small, smallFiles), "cannot write the small tree");
    const std::string smallContainer = MakeContainerOf(small);
    g_phases = StreamPhases{};
    const int times = std::max(runs, 5);
    const Figure a = Of(OpenSmallFile(smallContainer, times));
    PrintPhases("(d) small container");
    const Figure b = Of(OpenSmallFile(treeContainer, times));
    PrintPhases("(d) large container");
    std::printf(
        "(d) one small file opened: %.1f ms (spread %.1f) of %d files, %.1f ms (spread %.1f) of "
        "%d files; goal under 100 ms, ratio large / small %.2f (goal about 1)\n",
        a.median * 1e3, a.spread * 1e3, smallFiles, b.median * 1e3, b.spread * 1e3, files,
        b.median / a.median);
  }

  // (e) The deletes of a cut out of a container.
  if (wanted('e')) {
    const std::string cut = work + "/Cut";
    const int cutFiles = std::min(files, 2000);
    Say("(e) the deletes of a cut of %s files ...\n", std::to_string(cutFiles));
    Check(bench::WriteTree(cut, cutFiles), "cannot write the tree to cut");
    std::vector<double> ours, theirs;
    long peak = -1;
    Alternate(
        runs,
        [&](int run) {
          const std::string container = MakeContainerOf(cut);
          const std::string out = work + "/cutout" + std::to_string(run);
          ComPtr<IShellFolder> root = RootOf(container);
          std::vector<LPITEMIDLIST> items = ItemsOf(root.Get());
          ComPtr<IDataObject> data = DataObjectOf(root.Get(), items);
          (void)CopyOut(data.Get(), out);
          CheckSame(cut, out);
          fs::remove_all(out);
          sync();
          const DWORD effect = DROPEFFECT_MOVE;
          FORMATETC format = Format(CFSTR_PERFORMEDDROPEFFECT, -1, TYMED_HGLOBAL);
          STGMEDIUM medium{};
          medium.tymed = TYMED_HGLOBAL;
          medium.hGlobal = GlobalAlloc(GMEM_FIXED, sizeof effect);
          Check(medium.hGlobal != nullptr, "out of memory");
          std::memcpy(GlobalLock(medium.hGlobal), &effect, sizeof effect);
          (void)GlobalUnlock(medium.hGlobal);
          const Clock::time_point start = Clock::now();
          const HRESULT moved = data->SetData(&format, &medium, TRUE);
          const double took = Seconds(start);
          Check(moved == S_OK, "the cut did not delete what was moved");
          Check(StoredFiles(container) == 0, "the container still holds moved files");
          data.Reset();
          FreeItems(items);
          fs::remove(container);
          return took;
        },
        [&](int run) {
          const std::string out = work + "/cutcp" + std::to_string(run);
          Check(bench::Run({"cp", "-r", cut, out}) == 0, "cp -r failed");
          return CopyAndSync({"rm", "-r", out});
        },
        &ours, &theirs, &peak);
    PrintComparison("(e) deletes of a cut", ours, "rm -r + sync", theirs, 0, peak);
    fs::remove_all(cut);
  }

  SetUiBackend(previous);
  QvLogOff();
  StopSuiteServices();
  QvApp().ExitInstance();
  bench::RemoveBenchFolders(work);
  return 0;
}
