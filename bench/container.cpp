// Container store benchmark: each figure beside its baseline, measured in the same run.
//
//   1. Storing a 1 GiB image (AddFile + Flush)         vs  dd bs=1M conv=fsync of the image
//   2. Extracting it (ExtractFileTo)                   vs  cp of the image
//   3. ExtractAll of 20,000 small files in 200 folders vs  writing the same files directly
//   4. One file extracted from containers of 2,000, 5,000 and 20,000 files (open, extract,
//      close, as the shell does for every file it opens)
//   5. Listing folder by folder: GetSubFolders + GetFiles of every folder of the 20,000
//
// Peak memory growth of the process is printed for the 1 GiB phases: it must stay near one
// block, whatever the image size.
//
// Usage: bench_container [work folder] (default: $TMPDIR or /tmp). The file system of the
// work folder is what is measured; it needs about 4 GiB free.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "container/FolderContainer.h"
#include "container/QVDatabase.h"
#include "platform/FileTime.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

namespace {

using bench::Clock;
using bench::PeakRssKiB;
using bench::Seconds;

// Runs a program with its arguments (no shell) and returns the seconds it took; a program
// that cannot start or fails ends the benchmark.
double Run(const std::vector<std::string>& argv) {
  const auto start = Clock::now();
  const int code = bench::Run(argv);
  const double took = Seconds(start);
  if (code != 0) {
    std::fprintf(stderr, "%s failed\n", argv[0].c_str());
    std::exit(1);
  }
  return took;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "failed: %s\n", what);
    std::exit(1);
  }
}

// Waits out the slow file creation that follows many deletions on some file systems.
void Settle() { bench::Settle(30); }

constexpr std::size_t kMiB = 1048576;

void MakeImage(const std::string& path, int mebibytes) {
  std::mt19937_64 random(static_cast<unsigned>(mebibytes));
  std::string block(kMiB, '\0');
  std::FILE* file = std::fopen(path.c_str(), "wb");
  Check(file != nullptr, "create image");
  for (int i = 0; i < mebibytes; ++i) {
    for (std::size_t j = 0; j < block.size(); j += 8) {
      const std::uint64_t value = random();
      std::memcpy(&block[j], &value, 8);
    }
    Check(std::fwrite(block.data(), 1, block.size(), file) == block.size(), "write image");
  }
  Check(std::fclose(file) == 0, "close image");
}

// Stores `image` in a new container at `container` and makes it durable; returns seconds.
double Store(const std::string& work, const std::string& image, const std::string& container) {
  Run({"sync"});
  const auto start = Clock::now();
  QVDatabase db;
  Check(db.Open(container, TRUE) == VARIANT_TRUE, "open new container");
  Check(db.AddFile(work, image, 0, FALSE) == 1, "store the image");
  Check(db.Flush() == VARIANT_TRUE, "flush");
  Check(db.Close() == VARIANT_TRUE, "close");
  return Seconds(start);
}

void BigImage(const std::string& work) {
  // Memory first: a quarter of the size, then the whole; the second must not need more.
  const std::string quarter = work + "/quarter.bin.qvf";
  MakeImage(quarter, 256);
  const long rssStart = PeakRssKiB();
  (void)Store(work, quarter, work + "/quarter.qvef");
  const long rssQuarter = PeakRssKiB();
  fs::remove(quarter);
  fs::remove(work + "/quarter.qvef");

  const std::string image = work + "/big.bin.qvf";
  MakeImage(image, 1024);
  WriteFile(work + "/big.bin", "plain");
  Settle();
  // Each side twice, alternating, best of each. Every run starts with nothing left to write
  // and writes a file of its own: nothing is deleted between timed runs.
  double dd = 1e9, store = 1e9;
  for (int round = 0; round < 2; ++round) {
    Run({"sync"});
    dd = std::min(dd, Run({"dd", "if=" + image, "of=" + work + "/dd" + std::to_string(round),
                           "bs=1M", "conv=fsync", "status=none"}));
    store = std::min(store, Store(work, image, work + "/big" + std::to_string(round) + ".qvef"));
  }
  const long rssStore = PeakRssKiB();
  const double mb = 1024 * 1.048576;
  std::printf(
      "store 1 GiB       : %7.1f MB/s   dd conv=fsync %7.1f MB/s   ratio %5.2f (goal >= 0.70)\n",
      mb / store, mb / dd, dd / store);

  double cp = 1e9, extract = 1e9;
  for (int round = 0; round < 2; ++round) {
    const std::string suffix = std::to_string(round);
    Run({"sync"});
    cp = std::min(cp, Run({"cp", image, work + "/cp" + suffix}));
    fs::create_directories(work + "/extracted" + suffix);
    Run({"sync"});
    const auto start = Clock::now();
    {
      QVDatabase db;
      Check(db.Open(work + "/big" + suffix + ".qvef", FALSE) == VARIANT_TRUE, "open container");
      Check(db.ExtractFileTo(0, 1, work + "/extracted" + suffix) == VARIANT_TRUE,
            "extract the image");
    }
    extract = std::min(extract, Seconds(start));
    Check(fs::file_size(work + "/extracted" + suffix + "/big.bin.qvf") == 1024 * kMiB,
          "extracted size");
  }
  const long rssExtract = PeakRssKiB();
  std::printf(
      "extract 1 GiB     : %7.1f MB/s   cp            %7.1f MB/s   ratio %5.2f (goal >= 0.40)\n",
      mb / extract, mb / cp, cp / extract);
  std::printf(
      "peak memory       : +%ld KiB storing 256 MiB, then +%ld KiB storing 1 GiB and +%ld KiB "
      "extracting it\n",
      rssQuarter - rssStart, rssStore - rssQuarter, rssExtract - rssStore);
  for (const auto& entry : fs::directory_iterator(work)) fs::remove_all(entry.path());
}

struct SmallTree {
  std::string root;
  std::vector<std::string> images;  // in folder order
};

// 200 folders of 100 files each, 200 bytes to 4 KiB, with their plain files.
SmallTree MakeTree(const std::string& root) {
  SmallTree tree{root, {}};
  std::mt19937 random(7);
  std::uniform_int_distribution<int> size(200, 4096);
  FILETIME written = FileTimeFromTicks(132000000000000000ull);
  for (int folder = 0; folder < 200; ++folder) {
    const std::string dir =
        root + "/d" + std::to_string(folder / 20) + "/f" + std::to_string(folder);
    fs::create_directories(dir);
    for (int i = 0; i < 100; ++i) {
      const std::string plain = dir + "/file" + std::to_string(i) + ".txt";
      WriteFile(plain, "p");
      Check(SetFileTimesA(plain.c_str(), &written, &written), "set times");
      std::string bytes(static_cast<std::size_t>(size(random)), 'x');
      for (char& c : bytes) c = static_cast<char>(random());
      WriteFile(plain + ".qvf", bytes);
      tree.images.push_back(plain + ".qvf");
    }
  }
  return tree;
}

// A container holding the first `count` images (and a marker per folder).
double BuildContainer(const SmallTree& tree, const std::string& path, std::size_t count) {
  const auto start = Clock::now();
  QVDatabase db;
  Check(db.Open(path, TRUE) == VARIANT_TRUE, "create container");
  const BYTE record[16] = {};
  Check(db.SetFolderOptions(0, record, sizeof record, "bench") == VARIANT_TRUE, "record");
  std::string lastDir;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string dir = fs::path(tree.images[i]).parent_path().string();
    if (dir != lastDir) {
      Check(db.AddFile(tree.root, dir + "/qvdummyffff.qvf", 0, FALSE) > 0, "marker");
      lastDir = dir;
    }
    Check(db.AddFile(tree.root, tree.images[i], 0, FALSE) > 0, "add");
  }
  Check(db.Flush() == VARIANT_TRUE, "flush");
  Check(db.Close() == VARIANT_TRUE, "close");
  return Seconds(start);
}

void SmallFiles(const std::string& work) {
  const SmallTree tree = MakeTree(work + "/tree");
  const std::size_t sizes[] = {2000, 5000, 20000};
  std::vector<std::string> containers;
  for (const std::size_t count : sizes) {
    const std::string path = work + "/small" + std::to_string(count) + ".qvef";
    const double took = BuildContainer(tree, path, count);
    std::printf("build %5zu files : %7.0f files/s (AddFile, one durable sync at the end)\n", count,
                static_cast<double>(count) / took);
    containers.push_back(path);
  }

  // Baseline: the same files written directly, with their times. Both sides twice,
  // alternating, each into folders of its own; best of each.
  const auto writeDirect = [&](const std::string& direct) {
    std::string buffer(8192, '\0');
    const FILETIME written = FileTimeFromTicks(132000000000000000ull);
    std::string lastDir;
    for (const std::string& image : tree.images) {
      const std::string target = direct + image.substr(tree.root.size());
      const std::string dir = fs::path(target).parent_path().string();
      if (dir != lastDir) {
        fs::create_directories(dir);
        lastDir = dir;
      }
      std::FILE* in = std::fopen(image.c_str(), "rb");
      Check(in != nullptr, "direct read");
      const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
      std::fclose(in);
      std::FILE* out = std::fopen(target.c_str(), "wb");
      Check(
          out != nullptr && std::fwrite(buffer.data(), 1, got, out) == got && std::fclose(out) == 0,
          "direct write");
      Check(SetFileTimesA(target.c_str(), &written, &written), "direct times");
    }
  };
  double baseline = 1e9, all = 1e9;
  for (int round = 0; round < 2; ++round) {
    auto start = Clock::now();
    writeDirect(work + "/direct" + std::to_string(round));
    baseline = std::min(baseline, Seconds(start));
    start = Clock::now();
    FolderContainer container;
    Check(container.OpenAt(work + "/restored" + std::to_string(round), containers.back(), 0) == 1,
          "open");
    Check(container.ExtractAll(nullptr, nullptr) == 1, "extract all");
    container.Close();
    all = std::min(all, Seconds(start));
  }
  std::printf(
      "ExtractAll 20,000 : %7.0f files/s   direct writes %7.0f files/s   ratio %5.2f (goal >= "
      "8,000 files/s)\n",
      20000 / all, 20000 / baseline, baseline / all);

  // One file at a time, each with its own open and close.
  std::mt19937 random(3);
  for (std::size_t k = 0; k < containers.size(); ++k) {
    const std::string out = work + "/single" + std::to_string(sizes[k]);
    fs::create_directories(out);
    // Folder ids follow the order the folders were made in; look each file's up.
    QVDatabase lookup;
    Check(lookup.Open(containers[k], FALSE) == VARIANT_TRUE, "open for lookup");
    VARIANT rows{};
    Check(lookup.GetAllFiles(&rows) == VARIANT_TRUE, "list");
    std::vector<std::pair<DWORD, DWORD>> files;  // folder, file (markers left out)
    {
      LONG upper = 0;
      (void)SafeArrayGetUBound(rows.parray, 2, &upper);
      for (LONG r = 0; r <= upper; ++r) {
        VARIANT id{}, folder{}, name{};
        LONG i0[2] = {0, r}, i1[2] = {1, r}, i2[2] = {2, r};
        (void)SafeArrayGetElement(rows.parray, i0, &id);
        (void)SafeArrayGetElement(rows.parray, i1, &folder);
        (void)SafeArrayGetElement(rows.parray, i2, &name);
        if (Utf8FromBstr(name.bstrVal) != "qvdummyffff.qvf")
          files.emplace_back(static_cast<DWORD>(folder.lVal), static_cast<DWORD>(id.lVal));
        (void)VariantClear(&name);
      }
      (void)VariantClear(&rows);
    }
    Check(lookup.Close() == VARIANT_TRUE, "close lookup");
    std::uniform_int_distribution<std::size_t> which(0, files.size() - 1);
    auto start = Clock::now();
    {
      QVDatabase db;
      Check(db.Open(containers[k], FALSE) == VARIANT_TRUE, "open first");
      const auto& f = files[which(random)];
      Check(db.ExtractFileTo(f.first, f.second, out) == VARIANT_TRUE, "first single");
    }
    const double first = Seconds(start);
    constexpr int kRounds = 300;
    start = Clock::now();
    for (int n = 0; n < kRounds; ++n) {
      QVDatabase db;
      Check(db.Open(containers[k], FALSE) == VARIANT_TRUE, "open single");
      const auto& f = files[which(random)];
      Check(db.ExtractFileTo(f.first, f.second, out) == VARIANT_TRUE, "single");
    }
    const double each = Seconds(start) / kRounds;
    std::printf(
        "one file of %5zu : %7.0f us each (open, extract, close); first in the process %7.0f us\n",
        sizes[k], each * 1e6, first * 1e6);
  }

  // Listing folder by folder, as a view walks the tree.
  const auto start = Clock::now();
  std::size_t folders = 0, files = 0;
  {
    QVDatabase db;
    Check(db.Open(containers.back(), FALSE) == VARIANT_TRUE, "open listing");
    std::vector<DWORD> pending = {0};
    while (!pending.empty()) {
      const DWORD folder = pending.back();
      pending.pop_back();
      ++folders;
      VARIANT rows{};
      if (db.GetFiles(folder, &rows) == VARIANT_TRUE) {
        LONG upper = -1;
        (void)SafeArrayGetUBound(rows.parray, 2, &upper);
        files += static_cast<std::size_t>(upper + 1);
        (void)VariantClear(&rows);
      }
      VARIANT subfolders{};
      if (db.GetSubFolders(folder, &subfolders) == VARIANT_TRUE) {
        LONG upper = -1;
        (void)SafeArrayGetUBound(subfolders.parray, 2, &upper);
        for (LONG r = 0; r <= upper; ++r) {
          VARIANT id{};
          LONG index[2] = {0, r};
          (void)SafeArrayGetElement(subfolders.parray, index, &id);
          pending.push_back(static_cast<DWORD>(id.lVal));
        }
        (void)VariantClear(&subfolders);
      }
    }
  }
  std::printf("listing           : %7.3f s for %zu folders and %zu entries (goal < 1 s)\n",
              Seconds(start), folders, files);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string base = argc > 1 ? bench::AbsoluteFolder(argv[1]) : bench::DefaultWorkBase();
  std::string work = base + "/qvbench-XXXXXX";
  Check(mkdtemp(work.data()) != nullptr, "make work folder");
  std::printf("bench_container in %s\n", work.c_str());
  BigImage(work);
  Settle();
  SmallFiles(work);
  fs::remove_all(work);
  std::printf("reproduce: %s %s\n", argv[0], argc > 1 ? argv[1] : "");
  return 0;
}
