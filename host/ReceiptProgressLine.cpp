// The receipt's progress line (see ReceiptProgressLine.h).
#include "host/ReceiptProgressLine.h"

#include <algorithm>
#include <cstdio>

#include "platform/PosixIo.h"
#include "platform/ui/TerminalBackend.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(50);

std::string Mebibytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

// Progress is worth no error of its own: a failed write is not reported.
void WriteAll(int fd, const std::string& text) {
  (void)qv::detail::WriteAll(fd, text.data(), text.size());
}

}  // namespace

ReceiptProgressLine::ReceiptProgressLine(int fd) : fd_(fd), shown_(isatty(fd) == 1) {}

std::string ReceiptProgressLine::Count(const ReceiptProgress& progress) {
  std::string count = std::to_string(progress.filesDone) + "/" + std::to_string(progress.files) +
                      (progress.files == 1 ? " file" : " files");
  if (progress.bytes != 0)
    count += ", " + Mebibytes(progress.bytesDone) + "/" + Mebibytes(progress.bytes) + " MiB";
  return count;
}

void ReceiptProgressLine::Show(const ReceiptProgress& progress) {
  if (!shown_ || progress.files == 0) return;
  const auto now = std::chrono::steady_clock::now();
  const bool last = progress.filesDone == progress.files;
  if (!last && live_ && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  // The bar follows the bytes when their sizes are known, else the files; in thousandths,
  // so that no size announced by a source can overflow it.
  const double fraction =
      progress.bytes != 0
          ? static_cast<double>(progress.bytesDone) / static_cast<double>(progress.bytes)
      : progress.files != 0
          ? static_cast<double>(progress.filesDone) / static_cast<double>(progress.files)
          : 1.0;
  const long long thousandths = static_cast<long long>(std::min(fraction, 1.0) * 1000.0);
  std::string line = "\r";
  line += TerminalProgressLine("receiving", thousandths, 1000, Count(progress), fd_);
  line += "\x1b[K";
  WriteAll(fd_, line);
  live_ = true;
}

void ReceiptProgressLine::End() {
  if (!live_) return;
  WriteAll(fd_, "\n");
  live_ = false;
}
