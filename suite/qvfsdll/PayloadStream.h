// The payload of a .qvf file: chunks of authenticated encryption, each bound to the file's
// id, its index and whether it is the last one, so that a changed, dropped, reordered or
// appended chunk fails authentication. A chunk holds `chunkSize` plaintext bytes except the
// last, which holds fewer (possibly none): the last chunk is the short one, so a reader knows
// it without looking ahead and a file cut at a chunk boundary is seen as truncated.
//
// The streams overlap reading, the cipher and writing: a reader thread fills a few
// chunk-sized buffers, the calling thread and a helper per further processor (up to four in
// all) seal or open them in place, and a writer thread writes them out in order, so memory
// stays at a few chunks whatever the file size.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/WinTypes.h"
#include "suite/QvFsApi.h"
#include "suite/qvfsdll/QvfFormat.h"

namespace qvfs {

class ChunkCipher {
 public:
  // `payloadKey` is the file's own payload key; `fileId` its item id.
  ChunkCipher(Aead aead, const SecretKey& payloadKey, const ItemId& fileId);
  ChunkCipher(const ChunkCipher&) = delete;
  ChunkCipher& operator=(const ChunkCipher&) = delete;
  ~ChunkCipher();

  // Encrypts `size` bytes at `data` in place and appends the tag (the buffer holds
  // size + kTagSize bytes).
  void Seal(std::uint8_t* data, std::size_t size, std::uint64_t index, bool last) const;
  // Checks and decrypts `size` bytes (ciphertext and tag) in place; false when the chunk is
  // not authentic at this index with this last flag.
  [[nodiscard]] bool Open(std::uint8_t* data, std::size_t size, std::uint64_t index,
                          bool last) const;

 private:
  struct State;
  Aead aead_;
  ItemId fileId_;
  std::unique_ptr<State> state_;
};

// Encrypts everything `in` holds from its current position into `out` at its current
// position. 0; 11 when reading fails; 12 when writing fails; 507 when `callback` reports a
// cancel. The callback is asked once before each chunk, from the library's threads but never
// from two at once.
[[nodiscard]] DWORD EncryptStream(int in, int out, const ChunkCipher& cipher,
                                  std::uint32_t chunkSize, IEncryDecryptCallBack* callback);
// The same into memory, appended to `out`, for a source of at most 1 MiB from its current
// position (12 for a larger one, before anything is read).
[[nodiscard]] DWORD EncryptStreamToMemory(int in, std::vector<std::uint8_t>* out,
                                          const ChunkCipher& cipher, std::uint32_t chunkSize,
                                          IEncryDecryptCallBack* callback);
// Decrypts the chunks `in` holds from its current position into `out`. As above, and 8 when
// a chunk is not authentic, 13 when the chunks end without a last chunk.
[[nodiscard]] DWORD DecryptStream(int in, int out, const ChunkCipher& cipher,
                                  std::uint32_t chunkSize, IEncryDecryptCallBack* callback);
// The same for chunks held in memory, all of `in`, on the calling thread.
[[nodiscard]] DWORD DecryptMemoryStream(std::span<const std::uint8_t> in, int out,
                                        const ChunkCipher& cipher, std::uint32_t chunkSize,
                                        IEncryDecryptCallBack* callback);

// Moves the chunks `in` holds from one key to another: each is checked and opened with `from`
// and sealed again with `to` at the same index, so the plaintext never leaves memory. As
// DecryptStream for the results.
[[nodiscard]] DWORD ReencryptStream(int in, int out, const ChunkCipher& from, const ChunkCipher& to,
                                    std::uint32_t chunkSize, IEncryDecryptCallBack* callback);

}  // namespace qvfs
