// Small descriptor helpers shared inside the platform layer: a descriptor that closes itself
// and a write that does not stop short.
#pragma once

#include <cstddef>

namespace qv::detail {

// A file descriptor that closes itself.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes all `size` bytes to `fd`, retrying after interruptions and short writes; 0 on
// success, else the errno of the failing write.
int WriteAll(int fd, const void* data, std::size_t size) noexcept;

}  // namespace qv::detail
