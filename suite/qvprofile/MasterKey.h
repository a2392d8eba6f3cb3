// A user's master key as the suite holds it in memory once the user passed verification.
#pragma once

#include <cstddef>

#include "suite/SuiteExport.h"

// A user's 32-byte master key in locked memory that is wiped when it is freed.
class QV_SUITE_API QvMasterKey {
 public:
  static constexpr std::size_t kSize = 32;
  QvMasterKey();
  ~QvMasterKey();
  QvMasterKey(const QvMasterKey&) = delete;
  QvMasterKey& operator=(const QvMasterKey&) = delete;

  // False when the guarded memory could not be allocated.
  bool Valid() const { return bytes_ != nullptr; }
  unsigned char* Data() { return bytes_; }
  const unsigned char* Data() const { return bytes_; }

 private:
  unsigned char* bytes_ = nullptr;
};
