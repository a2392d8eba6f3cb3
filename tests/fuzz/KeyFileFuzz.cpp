// Fuzzes the exported key file reader: the header read without a password and the full open
// with a fixed password. Neither may crash or read out of bounds on any input, and a header
// that reads must name a user.
#include <cstdint>
#include <cstdlib>

#include "suite/qvprofile/KeyFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  QvKeyFileContents peeked;
  if (QvPeekKeyFile(data, size, &peeked) != QvStoreStatus::Ok) return 0;
  if (peeked.userId.empty()) std::abort();
  // The reader accepts limits up to 1 GiB, more than the fuzzer's memory limit; the
  // derivation is not a parser, so such a header is not opened here.
  if (peeked.kdfMem > (64u << 20)) return 0;
  QvKeyFileContents opened;
  (void)QvDecodeKeyFile(data, size, "fuzz password", &opened);
  return 0;
}
