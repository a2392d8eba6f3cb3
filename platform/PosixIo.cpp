// Descriptor helpers shared inside the platform layer.
#include "platform/PosixIo.h"

#include <unistd.h>

#include <cerrno>

namespace qv::detail {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

int WriteAll(int fd, const void* data, std::size_t size) noexcept {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, next, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    next += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace qv::detail
