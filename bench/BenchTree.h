// What the benchmarks over a tree of many small files share: their common arguments (--files,
// --runs, --dir, --help) and the tree itself, --files files of 1 to 16 KiB in 200 folders
// (10 groups of 20), file i in folder i % 200. Header-only, beside BenchUser.h.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "bench/BenchSupport.h"

namespace bench {

struct TreeArguments {
  int files = 20000;
  int runs = 3;
  std::string dir = DefaultWorkBase();
};

// Parses --files N, --runs N, --dir FOLDER and --help; `extra` gets any other argument with
// its index and returns how many it took (0: unknown). Returns -1 to go on, else the exit
// code the program ends with (0 after --help, 2 for a usage error).
inline int ParseTreeArguments(int argc, char** argv, const char* program, const char* usage,
                              TreeArguments* out,
                              const std::function<int(int, char**, int)>& extra = {}) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      return 0;
    }
    if ((arg == "--files" || arg == "--runs" || arg == "--dir") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--dir") {
        out->dir = value;
        continue;
      }
      int& number = arg == "--files" ? out->files : out->runs;
      number = std::atoi(value.c_str());
      if (number < 1) {
        std::fprintf(stderr, "%s: %s needs a positive number\n", program, arg.c_str());
        return 2;
      }
      continue;
    }
    if (extra) {
      const int taken = extra(argc, argv, i);
      if (taken < 0) return 2;
      if (taken > 0) {
        i += taken - 1;
        continue;
      }
    }
    std::fprintf(stderr, "%s: unknown argument %s (see --help)\n", program, arg.c_str());
    return 2;
  }
  return -1;
}

// The folder of file `i` in a tree of `files` files, relative to its top ("g0/f0").
inline std::string TreeFolderOf(int i, int files) {
  const int folder = i % std::min(files, 200);
  std::string path = "g";
  path += std::to_string(folder / 20);
  path += "/f";
  path += std::to_string(folder);
  return path;
}

// The size of file `i`: 1 to 16 KiB.
inline std::size_t TreeFileSize(int i) { return 1024 + (i * 7919u) % (15 * 1024 + 1); }

// Writes file `i` of the tree (its bytes depend on i) below `top`; false when it cannot.
inline bool WriteTreeFile(const std::string& top, int i, int files) {
  const std::string dir = top + "/" + TreeFolderOf(i, files);
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  const std::size_t size = TreeFileSize(i);
  std::string bytes(size, '\0');
  const auto seed = static_cast<unsigned>(i);
  for (std::size_t b = 0; b < size; ++b)
    bytes[b] = static_cast<char>((seed * 2654435761u + b) >> 3);
  std::FILE* out = std::fopen((dir + "/file" + std::to_string(i) + ".dat").c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, size, out) == size;
  return std::fclose(out) == 0 && written;
}

// Writes the whole tree below `top`; false when a file cannot be written.
inline bool WriteTree(const std::string& top, int files) {
  for (int i = 0; i < files; ++i)
    if (!WriteTreeFile(top, i, files)) return false;
  return true;
}

}  // namespace bench
