// Throughput of single-file encryption and decryption (QVFSEncryptFile, QVFSDecryptFile)
// against `age` with a recipient key and against `cp`, on the same file in the same run, each
// baseline without and with a final flush to disk (the library always flushes its output
// before it reports success, since the engine deletes the source next). Prints MB/s, the
// ratios and the process's peak resident memory.
//
//   bench_qvf [--size BYTES[K|M|G]] [--dir FOLDER] [--runs N]
//
// Defaults: 1 GiB, $TMPDIR (else /tmp), 3 runs; each figure is the median of the runs. The
// cache is flushed (sync) before every measurement so that one measurement's write-back does
// not land in the next.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/Ole.h"
#include "suite/QvFsApi.h"

namespace {

using bench::Clock;
using bench::Median;
using bench::Run;
using bench::Seconds;

struct Options {
  unsigned long long size = 1ull << 30;
  std::string dir;
  int runs = 3;
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr,
               "bench_qvf: %s\nusage: bench_qvf [--size BYTES[K|M|G]] [--dir FOLDER]"
               " [--runs N]\n",
               why);
  std::exit(2);
}

unsigned long long ParseSize(const char* text) {
  unsigned long long value = 0;
  if (!bench::ParseSize(text, &value)) Usage("bad size");
  return value;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  options.dir = bench::DefaultWorkBase();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) Usage("missing value");
    if (arg == "--size") {
      options.size = ParseSize(argv[++i]);
    } else if (arg == "--dir") {
      options.dir = bench::AbsoluteFolder(argv[++i]);
    } else if (arg == "--runs") {
      options.runs = std::max(1, std::atoi(argv[++i]));
    } else {
      Usage("unknown option");
    }
  }
  return options;
}

double FlushFile(const std::string& path) {
  const Clock::time_point start = Clock::now();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    std::fprintf(stderr, "bench_qvf: cannot flush %s\n", path.c_str());
    std::exit(1);
  }
  close(fd);
  return Seconds(start);
}

void MakeSource(const std::string& path, unsigned long long size) {
  std::vector<unsigned char> block(1u << 20);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(rand());
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  for (unsigned long long done = 0, n = 0; done < size; ++n) {
    std::memcpy(block.data(), &n, sizeof n);  // no two blocks alike
    const std::size_t part =
        static_cast<std::size_t>(std::min<unsigned long long>(block.size(), size - done));
    if (fd < 0 || write(fd, block.data(), part) != static_cast<ssize_t>(part)) {
      std::fprintf(stderr, "bench_qvf: cannot write %s\n", path.c_str());
      std::exit(1);
    }
    done += part;
  }
  fsync(fd);
  close(fd);
}

void Remove(const std::string& path) { std::filesystem::remove(path); }

struct Row {
  const char* name;
  std::vector<double> seconds;
};

class CancelNever : public IEncryDecryptCallBack {
 public:
  DWORD IsCancelled() override { return 0; }
};

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  std::string pattern = options.dir + "/qvfbench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) Usage("cannot create a folder in --dir");
  const std::string work = pattern;
  const std::string source = work + "/plain.bin";
  const std::string sealed = source + ".qvf";
  const std::string decrypted = work + "/out";
  std::filesystem::create_directories(decrypted);
  MakeSource(source, options.size);

  DWORD blobLength = 0;
  BYTE* blob = nullptr;
  if (!CreatePKISettings("bench", &blobLength, &blob)) Usage("no key");
  BYTE credentials[kCredentialSizeStandard];
  DWORD credentialsLength = 0;
  if (!FillCredentialBlock(credentials, sizeof credentials, "bench", nullptr, &credentialsLength))
    Usage("no credentials");
  CancelNever callback;
  auto request = [&](const char* from, const char* to) {
    QVData data{};
    data.sourcePath = from;
    data.destinationPath = to;
    data.keyName = "bench";
    data.keyName2 = "bench";
    data.keyBlob = blob;
    data.keyBlobLength = blobLength;
    data.credentials = credentials;
    data.credentialsLength = credentialsLength;
    data.callback = &callback;
    data.algorithm.algorithmId = kDefaultAlgorithmId;
    return data;
  };

  const std::string ageKey = work + "/age.key";
  std::string recipient;
  const bool haveAge =
      Run({"age-keygen", "-o", ageKey}) == 0 && Run({"age-keygen", "-y", ageKey}, &recipient) == 0;
  while (!recipient.empty() && (recipient.back() == '\n' || recipient.back() == '\r'))
    recipient.pop_back();
  const std::string ageOut = source + ".age", ageDec = work + "/age.dec", cpOut = work + "/copy";

  Row encrypt[] = {{"qvf encrypt (flushed)", {}},
                   {"age -r", {}},
                   {"age -r + sync", {}},
                   {"cp", {}},
                   {"cp + sync", {}}};
  Row decrypt[] = {{"qvf decrypt (flushed)", {}},
                   {"age -d", {}},
                   {"age -d + sync", {}},
                   {"cp", {}},
                   {"cp + sync", {}}};
  for (int run = 0; run < options.runs; ++run) {
    for (const std::string& path : {sealed, ageOut, cpOut}) Remove(path);
    sync();
    Clock::time_point start = Clock::now();
    QVData data = request(source.c_str(), sealed.c_str());
    if (const DWORD status = QVFSEncryptFile(&data); status != 0) {
      std::fprintf(stderr, "bench_qvf: encryption failed with %u\n", status);
      return 1;
    }
    encrypt[0].seconds.push_back(Seconds(start));
    if (haveAge) {
      sync();
      start = Clock::now();
      if (Run({"age", "-r", recipient, "-o", ageOut, source}) != 0) Usage("age failed");
      const double plain = Seconds(start);
      encrypt[1].seconds.push_back(plain);
      encrypt[2].seconds.push_back(plain + FlushFile(ageOut));
    }
    sync();
    start = Clock::now();
    if (Run({"cp", source, cpOut}) != 0) Usage("cp failed");
    double plain = Seconds(start);
    encrypt[3].seconds.push_back(plain);
    encrypt[4].seconds.push_back(plain + FlushFile(cpOut));

    for (const std::string& path : {decrypted + "/plain.bin", ageDec, cpOut}) Remove(path);
    sync();
    start = Clock::now();
    data = request(sealed.c_str(), decrypted.c_str());
    if (const DWORD status = QVFSDecryptFile(&data); status != 0) {
      std::fprintf(stderr, "bench_qvf: decryption failed with %u\n", status);
      return 1;
    }
    decrypt[0].seconds.push_back(Seconds(start));
    if (std::filesystem::file_size(decrypted + "/plain.bin") != options.size) {
      std::fprintf(stderr, "bench_qvf: decrypted size differs\n");
      return 1;
    }
    if (haveAge) {
      sync();
      start = Clock::now();
      if (Run({"age", "-d", "-i", ageKey, "-o", ageDec, ageOut}) != 0) Usage("age -d failed");
      plain = Seconds(start);
      decrypt[1].seconds.push_back(plain);
      decrypt[2].seconds.push_back(plain + FlushFile(ageDec));
    }
    sync();
    start = Clock::now();
    if (Run({"cp", sealed, cpOut}) != 0) Usage("cp failed");
    plain = Seconds(start);
    decrypt[3].seconds.push_back(plain);
    decrypt[4].seconds.push_back(plain + FlushFile(cpOut));
  }

  const double megabytes = static_cast<double>(options.size) / 1e6;
  std::printf("bench_qvf: %.1f MB file in %s, median of %d runs%s\n", megabytes,
              options.dir.c_str(), options.runs, haveAge ? "" : " (age not installed)");
  for (Row* rows : {encrypt, decrypt}) {
    const double ours = megabytes / Median(rows[0].seconds);
    std::printf("  %-24s %8.0f MB/s\n", rows[0].name, ours);
    for (int i = 1; i < 5; ++i) {
      if (rows[i].seconds.empty()) continue;
      const double theirs = megabytes / Median(rows[i].seconds);
      std::printf("  %-24s %8.0f MB/s   qvf/%s = %.2f\n", rows[i].name, theirs, rows[i].name,
                  ours / theirs);
    }
  }
  std::printf("  peak resident memory of this process: %.1f MiB (limit 64 MiB)\n",
              static_cast<double>(bench::PeakRssKiB()) / 1024.0);
  CoTaskMemFree(blob);
  std::filesystem::remove_all(work);
  return 0;
}
