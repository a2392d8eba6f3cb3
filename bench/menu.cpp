// The context menu for a large selection: Initialize and QueryContextMenu of the handler over
// N plain files, against `ls -d` listing the same paths, in the same run. Prints both medians
// and the ratio; the goal is a menu in well under a second for 20,000 files.
//
//   bench_menu [--files N] [--dir FOLDER] [--runs N]
//
// Defaults: 20000 files, $TMPDIR (else /tmp), 5 runs. The suite's machine root is a private
// folder under FOLDER, so the user's own store is never touched; the suite counts as running
// (the bench holds its mutex), as it does when a user right-clicks.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "bench/BenchSupport.h"
#include "menu/CQvShellExt.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/shell/DragQuery.h"

namespace {

namespace fs = std::filesystem;
using bench::Clock;
using bench::Median;
using bench::Seconds;

struct Options {
  long files = 20000;
  std::string dir = bench::DefaultWorkBase();
  int runs = 5;
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr, "bench_menu: %s\nusage: bench_menu [--files N] [--dir FOLDER] [--runs N]\n",
               why);
  std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("usage: bench_menu [--files N] [--dir FOLDER] [--runs N]\n");
      std::exit(0);
    }
    if (i + 1 >= argc) Usage("missing value");
    if (arg == "--files")
      options.files = std::atol(argv[++i]);
    else if (arg == "--dir")
      options.dir = bench::AbsoluteFolder(argv[++i]);
    else if (arg == "--runs")
      options.runs = std::atoi(argv[++i]);
    else
      Usage("unknown option");
  }
  if (options.files <= 0 || options.runs <= 0) Usage("counts must be positive");
  return options;
}

// One menu for the selection; false when the handler offered nothing.
bool BuildMenu(IDataObject* data) {
  IContextMenu* handler = nullptr;
  if (FAILED(CQvShellExt::CreateInstance(IContextMenu::kIid, reinterpret_cast<void**>(&handler))))
    return false;
  IShellExtInit* init = nullptr;
  bool built = false;
  if (SUCCEEDED(handler->QueryInterface(IShellExtInit::kIid, reinterpret_cast<void**>(&init)))) {
    const HMENU menu = CreatePopupMenu();
    built = init->Initialize(nullptr, data, nullptr) == S_OK &&
            handler->QueryContextMenu(menu, 0, 1, 0x7FFF, CMF_NORMAL) ==
                MAKE_HRESULT(SEVERITY_SUCCESS, 0, kShellExtCommandCount);
    (void)DestroyMenu(menu);
    init->Release();
  }
  handler->Release();
  return built;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  const fs::path work = fs::path(options.dir) / ("bench_menu." + std::to_string(getpid()));
  fs::create_directories(work / "root");
  fs::create_directories(work / "files");
  setenv("QV_ROOT", (work / "root").c_str(), 1);

  std::printf("creating %ld files...\n", options.files);
  std::vector<std::string> paths;
  for (long i = 0; i < options.files; ++i) {
    paths.push_back((work / "files" / ("document-" + std::to_string(i) + ".txt")).string());
    std::ofstream(paths.back()) << i;
  }
  QvApp().InitInstance();
  (void)StartSuiteServices();
  HANDLE suite = CreateMutexA(nullptr, TRUE, kSuiteRunningMutex);

  IDataObject* data = nullptr;
  if (FAILED(CreateDropDataObject(paths, true, &data))) {
    std::fprintf(stderr, "bench_menu: cannot build the selection\n");
    return 1;
  }
  std::vector<std::string> ls = {"ls", "-d", "--"};
  ls.insert(ls.end(), paths.begin(), paths.end());

  std::vector<double> menuTimes;
  std::vector<double> lsTimes;
  for (int run = 0; run < options.runs; ++run) {
    Clock::time_point start = Clock::now();
    if (!BuildMenu(data)) {
      std::fprintf(stderr, "bench_menu: the handler offered no menu\n");
      return 1;
    }
    menuTimes.push_back(Seconds(start));
    start = Clock::now();
    if (bench::Run(ls) != 0) {
      std::fprintf(stderr, "bench_menu: ls failed\n");
      return 1;
    }
    lsTimes.push_back(Seconds(start));
    std::printf("run %d of %d done\n", run + 1, options.runs);
  }
  data->Release();
  if (suite != nullptr) {
    (void)ReleaseMutex(suite);
    CloseHandle(suite);
  }
  StopSuiteServices();
  QvApp().ExitInstance();
  fs::remove_all(work);

  const double menu = Median(menuTimes);
  const double list = Median(lsTimes);
  std::printf(
      "files %ld\nmenu (Initialize + QueryContextMenu) %.3f s\nls -d %.3f s\n"
      "ratio menu/ls %.2f\n",
      options.files, menu, list, menu / list);
  return 0;
}
