// Small descriptor helpers shared inside the platform layer.
#pragma once

#include <cstddef>

namespace qv::detail {

// Writes all `size` bytes to `fd`, retrying after interruptions and short writes; 0 on
// success, else the errno of the failing write.
int WriteAll(int fd, const void* data, std::size_t size) noexcept;

}  // namespace qv::detail
