// Dropping a tree into a container against copying it as plain files, in the same run: a tree
// of --files small files (1 to 16 KiB) in 200 folders (10 groups of 20) is dropped onto a
// container through its drop target (DragEnter, DragOver, Drop, headless, in this process), as
// a file manager drops files onto a container open in a view; the baseline is `cp -r` of the
// same tree followed by `sync`, since the engine makes the container durable before it reports.
//
// Each run drops into a fresh container (made untimed) with the user already verified by a
// view, so the figure is the drop itself. Printed: the median of each, files per second, the
// ratio (cp -r + sync seconds / drop seconds; goal at least 0.5), and the peak memory of the
// drop (goal under 128 MiB).
//
//   bench_dropin [--files N] [--runs N] [--dir FOLDER]
//
// Exit codes: 0 done, 1 a step failed, 2 usage.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/ModuleTables.h"
#include "bench/BenchSupport.h"
#include "bench/BenchUser.h"
#include "container/QVDatabase.h"
#include "engine/CProgressDlg.h"
#include "platform/shell/DragQuery.h"
#include "platform/ui/HeadlessBackend.h"
#include "suite/QvDialogIds.h"
#include "transfer/CQvDropTarget.h"

namespace fs = std::filesystem;
using bench::Clock;
using bench::Seconds;

namespace {

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-password";

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "bench_dropin: %s\n", message.c_str());
  std::exit(1);
}
void Check(bool ok, const std::string& message) {
  if (!ok) Fail(message);
}

void WriteFile(const std::string& path, std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((seed * 2654435761u + i) >> 3);
  std::FILE* out = std::fopen(path.c_str(), "wb");
  Check(out != nullptr && std::fwrite(bytes.data(), 1, size, out) == size, "cannot write " + path);
  std::fclose(out);
}

// The tree: folders g<0..9>/f<0..199>, file i in folder i % 200.
void WriteTree(const std::string& top, int files) {
  const int folders = std::min(files, 200);
  for (int i = 0; i < files; ++i) {
    const int folder = i % folders;
    const std::string dir =
        top + "/g" + std::to_string(folder / 20) + "/f" + std::to_string(folder);
    fs::create_directories(dir);
    WriteFile(dir + "/file" + std::to_string(i) + ".dat", 1024 + (i * 7919u) % (15 * 1024 + 1),
              static_cast<unsigned>(i));
  }
}

// An empty container at `container` (a folder with one small file, encrypted; untimed).
void MakeContainer(const std::string& folder) {
  fs::create_directories(folder);
  WriteFile(folder + "/seed.txt", 16, 1);
  OperationRequest request;
  request.items = {folder};
  request.userId = kUser;
  request.userName = kUser;
  request.encrypt = true;
  CProgressDlg dialog(std::move(request));
  Check(dialog.DoModal() == IDOK, "the container was not made");
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

// Drops `tree` onto `container` as a copy; the seconds it took.
double Drop(const std::string& tree, const std::string& container) {
  ComPtr<CQvDropTarget> target;
  Check(CQvDropTarget::CreateInstance(IQvDropTarget::kIid, target.ReleaseAndGetVoidAddressOf()) ==
            S_OK,
        "no drop target");
  target->SetTarget(nullptr, {container, 0, ""}, nullptr, nullptr);
  ComPtr<IDataObject> data;
  Check(CreateDropDataObject({tree}, true, data.ReleaseAndGetAddressOf()) == S_OK, "no data");
  Check(QvLogOnUser(kUser, kPassword) == QvLogOnResult::Passed, "the user cannot log on");
  const Clock::time_point start = Clock::now();
  DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  Check(target->DragEnter(data.Get(), MK_LBUTTON, {0, 0}, &effect) == S_OK, "DragEnter refused");
  effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  Check(target->DragOver(MK_LBUTTON, {0, 0}, &effect) == S_OK, "DragOver refused");
  effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  const HRESULT dropped = target->Drop(data.Get(), 0, {0, 0}, &effect);
  const double took = Seconds(start);
  Check(dropped == S_OK && effect == DROPEFFECT_COPY, "the drop failed");
  return took;
}

double CopyAndSync(const std::string& tree, const std::string& destination) {
  sync();
  const Clock::time_point start = Clock::now();
  Check(bench::Run({"cp", "-r", tree, destination}) == 0, "cp -r failed");
  sync();
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  int files = 20000;
  int runs = 3;
  std::string dir = bench::DefaultWorkBase();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::puts(
          "usage: bench_dropin [--files N] [--runs N] [--dir FOLDER]\n"
          "Drops a tree of N small files in 200 folders (default 20000) onto a container and\n"
          "compares with `cp -r` + `sync` of the same tree, in the same run.\n"
          "exit codes: 0 done, 1 a step failed, 2 usage");
      return 0;
    }
    if ((arg == "--files" || arg == "--runs" || arg == "--dir") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--dir")
        dir = value;
      else if ((arg == "--files" ? files : runs) = std::atoi(value.c_str()); files < 1 || runs < 1)
        return std::fprintf(stderr, "bench_dropin: %s needs a positive number\n", arg.c_str()), 2;
      continue;
    }
    std::fprintf(stderr, "bench_dropin: unknown argument %s (see --help)\n", arg.c_str());
    return 2;
  }
  const std::string work =
      bench::AbsoluteFolder(dir) + "/qv-bench-dropin-" + std::to_string(getpid());
  const std::string enrolled = bench::EnrollBenchUser(work, kUser, kUser, kPassword);
  Check(enrolled.empty(), enrolled);
  HeadlessBackend ui;
  ui.SetFailureHandler(
      [](const std::string& m) { std::fprintf(stderr, "dialog: %s\n", m.c_str()); });
  UiBackend* previous = SetUiBackend(&ui);
  Check(QvLogOnUser(kUser, kPassword) == QvLogOnResult::Passed, "the user cannot log on");

  const std::string tree = work + "/tree";
  std::printf("tree of %d files in %d folders: writing ...\n", files, std::min(files, 200));
  std::fflush(stdout);
  WriteTree(tree, files);

  std::vector<double> drops;
  std::vector<double> copies;
  long peakKiB = -1;
  for (int run = 0; run < runs; ++run) {
    const std::string folder = work + "/Box" + std::to_string(run);
    MakeContainer(folder);
    const std::string container = folder + ".qvef";
    // A view of the container has verified the user, as when files are dropped onto it.
    QvModuleTables().AddVerifiedView(container, kUser);
    const bool reset = bench::ResetPeakRss();
    drops.push_back(Drop(tree, container));
    if (reset) peakKiB = std::max(peakKiB, bench::PeakRssSinceResetKiB());
    QvModuleTables().RemoveVerifiedView(container);
    Check(StoredFiles(container) == files, "the container does not hold every file");
    copies.push_back(CopyAndSync(tree, work + "/copy" + std::to_string(run)));
    std::printf("  run %d: drop %.2f s, cp -r + sync %.2f s\n", run + 1, drops.back(),
                copies.back());
    std::fflush(stdout);
    fs::remove_all(container);
    fs::remove_all(work + "/copy" + std::to_string(run));
  }
  const double drop = bench::Median(drops);
  const double copy = bench::Median(copies);
  std::printf("drop into a container   %9.0f files/s  (%.2f s)\n", files / drop, drop);
  std::printf("cp -r + sync            %9.0f files/s  (%.2f s)\n", files / copy, copy);
  std::printf("ratio (goal >= 0.5)     %9.2f\n", copy / drop);
  if (peakKiB >= 0) std::printf("peak memory of a drop   %9ld KiB (goal < 131072)\n", peakKiB);

  SetUiBackend(previous);
  QvLogOff();
  StopSuiteServices();
  QvApp().ExitInstance();
  fs::remove_all(work);
  return 0;
}
