// In-place conversion: lock the legacy file, stream it into a private SQLite file beside it,
// sync, carry the permissions over and rename the new file over the old one.
#include "suite/qvdbconv/Converter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "suite/qvdbconv/ContainerWriter.h"
#include "suite/qvdbconv/LegacyFormat.h"

namespace qvdbconv {
namespace {

constexpr char kSqliteHeader[16] = "SQLite format 3";  // with its terminating NUL
constexpr char kTempPattern[] = ".qvdbconv-XXXXXX";

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  int Get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// The temporary file's path, for the signal handler that removes it when the user interrupts
// the conversion. Only async-signal-safe calls happen there.
char g_tempPath[4096];
volatile std::sig_atomic_t g_tempActive = 0;

extern "C" void RemoveTempAndDie(int signal) {
  if (g_tempActive != 0) unlink(g_tempPath);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// A temporary file beside the container, removed unless it was renamed into place.
class TempFile {
 public:
  explicit TempFile(const std::string& folder) {
    path_ = folder + "/" + kTempPattern;
    if (path_.size() >= sizeof g_tempPath)
      throw ConversionError(kExitCannotWrite, "the container's folder path is too long");
    fd_.Reset(mkostemp(path_.data(), O_CLOEXEC));
    if (fd_.Get() < 0)
      throw ConversionError(kExitCannotWrite, Errno(("cannot create a file in " + folder).c_str()));
    std::memcpy(g_tempPath, path_.c_str(), path_.size() + 1);
    g_tempActive = 1;
    struct sigaction action {};
    action.sa_handler = RemoveTempAndDie;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, &saved_[i]);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!kept_) unlink(path_.c_str());
    g_tempActive = 0;
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
  }
  const std::string& Path() const { return path_; }
  int Descriptor() const { return fd_.Get(); }
  void Keep() { kept_ = true; }

 private:
  static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  std::string path_;
  class Fd fd_;
  bool kept_ = false;
  struct sigaction saved_[3]{};
};

// Opens and locks the file at `path` against a second converter; the lock is only taken as
// valid when the path still names the locked file (another converter may have replaced it).
void OpenLocked(const std::string& path, Fd* fd, struct stat* st) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    fd->Reset(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd->Get() < 0) throw ConversionError(kExitCannotRead, Errno("cannot open the file"));
    if (fstat(fd->Get(), st) != 0)
      throw ConversionError(kExitCannotRead, Errno("cannot examine the file"));
    if (!S_ISREG(st->st_mode)) throw ConversionError(kExitCannotRead, "it is not a regular file");
    while (flock(fd->Get(), LOCK_EX) != 0) {
      if (errno != EINTR) throw ConversionError(kExitCannotRead, Errno("cannot lock the file"));
    }
    struct stat now {};
    if (stat(path.c_str(), &now) == 0 && now.st_dev == st->st_dev && now.st_ino == st->st_ino)
      return;
  }
  throw ConversionError(kExitCannotRead, "the file keeps being replaced while it is converted");
}

bool StartsWith(int fd, const char* magic, size_t length) {
  char header[sizeof kSqliteHeader] = {};
  return length <= sizeof header && pread(fd, header, length, 0) == static_cast<ssize_t>(length) &&
         std::memcmp(header, magic, length) == 0;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

ConversionSummary ConvertInPlace(const std::string& argument) {
  ConversionSummary summary;
  char* resolved = realpath(argument.c_str(), nullptr);
  if (resolved == nullptr) {
    throw ConversionError(kExitCannotRead, errno == ENOENT ? std::string("the file does not exist")
                                                           : Errno("cannot reach the file"));
  }
  summary.path = resolved;
  std::free(resolved);

  Fd source;
  struct stat st {};
  OpenLocked(summary.path, &source, &st);
  if (StartsWith(source.Get(), kSqliteHeader, sizeof kSqliteHeader))
    throw ConversionError(kExitAlreadyCurrent, "the container is already in the current format");
  if (!StartsWith(source.Get(), kLegacyMagic, sizeof kLegacyMagic))
    throw ConversionError(kExitNotLegacy, "the file is not a container of a known format");

  TempFile temp(FolderOf(summary.path));
  {
    ContainerWriter writer(temp.Path());
    LegacyVisitor visitor;
    visitor.options = [&writer](const std::string& protection, const std::string& provider) {
      writer.WriteOptions(protection, provider);
    };
    visitor.folders = [&writer, &summary](const std::vector<LegacyFolder>& folders) {
      for (const LegacyFolder& folder : folders) writer.WriteFolder(folder);
      summary.folders = folders.size();
    };
    visitor.beginFile = [&writer, &summary](const LegacyFile& file) {
      writer.BeginFile(file);
      ++summary.files;
      summary.imageBytes += file.imageLength;
    };
    visitor.imageData = [&writer](const std::uint8_t* data, std::size_t length) {
      writer.WriteBlock(data, length);
    };
    ReadLegacyContainer(source.Get(), kBlockSize, visitor);
    writer.Finish();
  }

  if (fchmod(temp.Descriptor(), st.st_mode & 07777) != 0)
    throw ConversionError(kExitCannotWrite, Errno("cannot set the new container's permissions"));
  if (fsync(temp.Descriptor()) != 0)
    throw ConversionError(kExitCannotWrite, Errno("cannot flush the new container to disk"));
  if (rename(temp.Path().c_str(), summary.path.c_str()) != 0)
    throw ConversionError(kExitCannotWrite, Errno("cannot put the new container in place"));
  temp.Keep();
  // The rename is durable once the folder is synced; the conversion has happened either way.
  Fd folder(open(FolderOf(summary.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.Get() >= 0) (void)fsync(folder.Get());
  return summary;
}

void WriteSample(const std::string& path) {
  const std::string bytes = MakeSampleContainer();
  Fd out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (out.Get() < 0) {
    throw ConversionError(kExitCannotWrite, errno == EEXIST ? std::string("the file already exists")
                                                            : Errno("cannot create the file"));
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(out.Get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string message = Errno("writing the sample failed");
      unlink(path.c_str());
      throw ConversionError(kExitCannotWrite, message);
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(out.Get()) != 0) {
    const std::string message = Errno("writing the sample failed");
    unlink(path.c_str());
    throw ConversionError(kExitCannotWrite, message);
  }
}

}  // namespace qvdbconv
