// Chunk sealing and the pipelined stream (see PayloadStream.h). The nonce of a chunk is
// its index: every file has a payload key of its own, so an index is never used twice under
// one key. The additional data is the file id, the index and the last flag.
#include "suite/qvfsdll/PayloadStream.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "suite/qvfsdll/Aes256Gcm.h"
#include "suite/qvfsdll/FileIo.h"

namespace qvfs {

namespace {

constexpr std::size_t kNonceSize = 24;  // the longer of the two ciphers' nonces
constexpr std::size_t kAdSize = kItemIdSize + 8 + 1;
constexpr std::size_t kPipelineBytes = 8u << 20;
constexpr std::size_t kMaxWorkers = 4;
constexpr std::size_t kWriteBackStep = 8u << 20;

void MakeNonce(std::uint64_t index, std::uint8_t* nonce) {
  std::memset(nonce, 0, kNonceSize);
  for (int i = 0; i < 8; ++i) nonce[i] = static_cast<std::uint8_t>(index >> (8 * i));
}

void MakeAd(const ItemId& fileId, std::uint64_t index, bool last, std::uint8_t* ad) {
  std::memcpy(ad, fileId.data(), kItemIdSize);
  for (int i = 0; i < 8; ++i) ad[kItemIdSize + i] = static_cast<std::uint8_t>(index >> (8 * i));
  ad[kItemIdSize + 8] = last ? 1 : 0;
}

struct Block {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;  // bytes read; after the cipher, bytes to write
  std::uint64_t index = 0;
  bool last = false;
};

// A queue of blocks between two stages. Pop waits for a block and returns null once the
// queue is closed and empty.
class BlockQueue {
 public:
  void Push(Block* block) {
    {
      std::lock_guard lock(mutex_);
      blocks_.push_back(block);
    }
    ready_.notify_one();
  }
  Block* Pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !blocks_.empty() || closed_; });
    if (blocks_.empty()) return nullptr;
    Block* block = blocks_.front();
    blocks_.pop_front();
    return block;
  }
  void Close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Block*> blocks_;
  bool closed_ = false;
};

// Inputs up to this many bytes are streamed on the calling thread with one buffer: for the
// many small files of a folder, the pipeline's threads and buffers would cost more than the
// cipher itself.
constexpr std::size_t kSequentialLimit = 1u << 20;

// RunSequential's reading from the open file `in`.
auto ReadingFrom(int in) {
  return [in](std::uint8_t* data, std::size_t capacity) { return ReadFull(in, data, capacity); };
}

// RunStream's work for an input of `remaining` bytes (at most kSequentialLimit) on the calling
// thread, with a buffer no larger than that input needs; `read(data, capacity)` fills it (the
// count read, or -1) and `write(data, size)` takes each transformed block (0 or its failure). An
// input that grows meanwhile is refused rather than cut short.
template <class Transform, class Read, class Write>
DWORD RunSequential(Read read, Write write, std::size_t readSize, std::size_t remaining,
                    IEncryDecryptCallBack* callback, Transform transform) {
  const std::size_t capacity = std::min(readSize, remaining + 1);
  Block block;
  block.data.reset(new std::uint8_t[capacity + kTagSize]);
  for (std::uint64_t index = 0;; ++index) {
    const ssize_t got = read(block.data.get(), capacity);
    if (got < 0) return StatusSourceInUse;
    if (capacity < readSize && static_cast<std::size_t>(got) == capacity) return StatusSourceInUse;
    block.size = static_cast<std::size_t>(got);
    block.index = index;
    block.last = block.size < readSize;
    if (callback != nullptr && callback->IsCancelled() != 0) return StatusCancelled;
    if (const DWORD status = transform(&block); status != StatusSuccess) return status;
    if (const DWORD status = write(block.data.get(), block.size); status != StatusSuccess)
      return status;
    if (block.last) return StatusSuccess;
  }
}

// Runs `transform` (one block read into the block to write; 0 or the call's result) on
// every block, between a reader thread and a writer thread. The calling thread and up to
// kMaxWorkers - 1 helpers transform blocks in any order; the writer puts them back in order.
// The cancel callback is asked before each block, by whichever thread takes it, never by two
// threads at once. The first failure (by block index) is the result.
template <class Transform>
DWORD RunStream(int in, int out, std::size_t readSize, IEncryDecryptCallBack* callback,
                Transform transform) {
  struct stat facts {};
  const off_t at = lseek(in, 0, SEEK_CUR);
  if (at >= 0 && fstat(in, &facts) == 0 && S_ISREG(facts.st_mode) && facts.st_size >= at &&
      static_cast<std::uint64_t>(facts.st_size - at) <= kSequentialLimit)
    return RunSequential(
        ReadingFrom(in),
        [out](const std::uint8_t* data, std::size_t size) -> DWORD {
          return WriteFull(out, data, size) ? StatusSuccess : WriteFailure(errno);
        },
        readSize, static_cast<std::size_t>(facts.st_size - at), callback, transform);
  const std::size_t workers =
      std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMaxWorkers);
  const std::size_t count = std::max(workers + 2, kPipelineBytes / readSize);
  std::vector<Block> blocks(count);
  BlockQueue empty, filled, written;
  for (Block& block : blocks) {
    block.data.reset(new std::uint8_t[readSize + kTagSize]);
    empty.Push(&block);
  }
  std::atomic<bool> stop{false};
  std::atomic<bool> wroteLast{false};
  std::mutex failureMutex, cancelMutex;
  DWORD failure = StatusSuccess;
  std::uint64_t failureIndex = 0;
  const auto abort = [&] {
    stop = true;
    empty.Close();
    filled.Close();
    written.Close();
  };
  const auto fail = [&](DWORD status, std::uint64_t index) {
    {
      std::lock_guard lock(failureMutex);
      if (failure == StatusSuccess || index < failureIndex) {
        failure = status;
        failureIndex = index;
      }
    }
    abort();
  };

  const auto readBlocks = [&] {
    for (std::uint64_t index = 0;; ++index) {
      Block* block = empty.Pop();
      if (block == nullptr || stop) break;
      const ssize_t got = ReadFull(in, block->data.get(), readSize);
      if (got < 0) {
        fail(StatusSourceInUse, index);
        break;
      }
      const bool last = static_cast<std::size_t>(got) < readSize;
      block->size = static_cast<std::size_t>(got);
      block->index = index;
      block->last = last;
      filled.Push(block);  // from here on the block belongs to the next stage
      if (last) break;
    }
    filled.Close();
  };
  const auto transformBlocks = [&] {
    while (Block* block = filled.Pop()) {
      if (stop) return;
      if (callback != nullptr) {
        std::lock_guard lock(cancelMutex);
        if (stop) return;
        if (callback->IsCancelled() != 0) {
          fail(StatusCancelled, block->index);
          return;
        }
      }
      if (const DWORD status = transform(block); status != StatusSuccess) {
        fail(status, block->index);
        return;
      }
      written.Push(block);
    }
  };
  const auto writeBlocks = [&] {
    // Blocks in flight have indexes next .. next + count - 1, so index % count is a free slot.
    std::vector<Block*> waiting(count, nullptr);
    std::uint64_t next = 0;
    // The output is flushed before it is published; starting the write-back of each few
    // megabytes as they are written lets the disk work while the rest is processed.
    off_t flushed = lseek(out, 0, SEEK_CUR), pending = 0;
    while (Block* block = written.Pop()) {
      if (stop) return;
      waiting[block->index % count] = block;
      for (Block* ready; (ready = waiting[next % count]) != nullptr && ready->index == next;) {
        waiting[next % count] = nullptr;
        if (!WriteFull(out, ready->data.get(), ready->size)) {
          fail(WriteFailure(errno), ready->index);
          return;
        }
        pending += static_cast<off_t>(ready->size);
        if (flushed >= 0 && pending >= static_cast<off_t>(kWriteBackStep)) {
          (void)sync_file_range(out, flushed, pending, SYNC_FILE_RANGE_WRITE);
          flushed += pending;
          pending = 0;
        }
        const bool last = ready->last;
        empty.Push(ready);
        ++next;
        if (last) {
          wroteLast = true;
          return;
        }
      }
    }
  };

  std::thread reader, writer;
  std::vector<std::thread> helpers;
  const auto joinAll = [&] {
    abort();
    for (std::thread& helper : helpers)
      if (helper.joinable()) helper.join();
    if (reader.joinable()) reader.join();
    if (writer.joinable()) writer.join();
  };
  try {
    reader = std::thread(readBlocks);
    writer = std::thread(writeBlocks);
    for (std::size_t i = 1; i < workers; ++i) helpers.emplace_back(transformBlocks);
  } catch (...) {
    joinAll();
    throw;
  }
  transformBlocks();
  for (std::thread& helper : helpers) helper.join();
  written.Close();
  writer.join();
  joinAll();
  if (failure != StatusSuccess) return failure;
  // Every block was handed on without a failure, so the writer reached the last one; this
  // only guards that reasoning.
  return wroteLast ? StatusSuccess : StatusDestinationInUse;
}

}  // namespace

struct ChunkCipher::State {
  SecretKey key;
  std::optional<Aes256Gcm> gcm;
};

ChunkCipher::ChunkCipher(Aead aead, const SecretKey& payloadKey, const ItemId& fileId)
    : aead_(aead), fileId_(fileId), state_(new State) {
  state_->key = payloadKey;
  if (aead_ == Aead::Aes256Gcm) state_->gcm.emplace(payloadKey.data());
}

ChunkCipher::~ChunkCipher() = default;

void ChunkCipher::Seal(std::uint8_t* data, std::size_t size, std::uint64_t index, bool last) const {
  std::uint8_t nonce[kNonceSize], ad[kAdSize];
  MakeNonce(index, nonce);
  MakeAd(fileId_, index, last, ad);
  if (aead_ == Aead::Aes256Gcm) {
    state_->gcm->Seal(data, size, nonce, ad, kAdSize, data + size);
  } else {
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
        data, data + size, nullptr, data, size, ad, kAdSize, nullptr, nonce, state_->key.data());
  }
}

bool ChunkCipher::Open(std::uint8_t* data, std::size_t size, std::uint64_t index, bool last) const {
  if (size < kTagSize) return false;
  std::uint8_t nonce[kNonceSize], ad[kAdSize];
  MakeNonce(index, nonce);
  MakeAd(fileId_, index, last, ad);
  const std::size_t length = size - kTagSize;
  if (aead_ == Aead::Aes256Gcm) {
    return state_->gcm->Open(data, length, nonce, ad, kAdSize, data + length);
  }
  return crypto_aead_xchacha20poly1305_ietf_decrypt_detached(data, nullptr, data, length,
                                                             data + length, ad, kAdSize, nonce,
                                                             state_->key.data()) == 0;
}

namespace {

// The transform of encryption: seals a read block in place, its tag after it.
auto Sealing(const ChunkCipher& cipher) {
  return [&cipher](Block* block) -> DWORD {
    cipher.Seal(block->data.get(), block->size, block->index, block->last);
    block->size += kTagSize;
    return StatusSuccess;
  };
}

// The transform of decryption: checks and opens a read chunk in place, its plain bytes at the
// front.
auto Opening(const ChunkCipher& cipher) {
  return [&cipher](Block* block) -> DWORD {
    // A last chunk too short to hold its tag, or none at all, means the file was cut: damaged
    // data, not an empty file.
    if (block->last && block->size < kTagSize) return StatusFileCrcError;
    if (!cipher.Open(block->data.get(), block->size, block->index, block->last))
      return StatusIntegrityError;
    block->size -= kTagSize;
    return StatusSuccess;
  };
}

}  // namespace

DWORD EncryptStream(int in, int out, const ChunkCipher& cipher, std::uint32_t chunkSize,
                    IEncryDecryptCallBack* callback) {
  return RunStream(in, out, chunkSize, callback, Sealing(cipher));
}

DWORD EncryptStreamToMemory(int in, std::vector<std::uint8_t>* out, const ChunkCipher& cipher,
                            std::uint32_t chunkSize, IEncryDecryptCallBack* callback) {
  struct stat facts {};
  const off_t at = lseek(in, 0, SEEK_CUR);
  if (at < 0 || fstat(in, &facts) != 0 || !S_ISREG(facts.st_mode) || facts.st_size < at)
    return StatusSourceInUse;
  const auto remaining = static_cast<std::uint64_t>(facts.st_size - at);
  if (remaining > kSequentialLimit) return StatusDestinationInUse;
  // The whole image in one allocation: every chunk but the last is full.
  out->reserve(out->size() + remaining + (remaining / chunkSize + 1) * kTagSize);
  return RunSequential(
      ReadingFrom(in),
      [out](const std::uint8_t* data, std::size_t size) -> DWORD {
        out->insert(out->end(), data, data + size);
        return StatusSuccess;
      },
      chunkSize, static_cast<std::size_t>(remaining), callback, Sealing(cipher));
}

DWORD DecryptStream(int in, int out, const ChunkCipher& cipher, std::uint32_t chunkSize,
                    IEncryDecryptCallBack* callback) {
  return RunStream(in, out, chunkSize + kTagSize, callback, Opening(cipher));
}

DWORD DecryptMemoryStream(std::span<const std::uint8_t> in, int out, const ChunkCipher& cipher,
                          std::uint32_t chunkSize, IEncryDecryptCallBack* callback) {
  std::size_t at = 0;
  return RunSequential(
      [in, &at](std::uint8_t* data, std::size_t capacity) -> ssize_t {
        const std::size_t count = std::min(capacity, in.size() - at);
        std::memcpy(data, in.data() + at, count);
        at += count;
        return static_cast<ssize_t>(count);
      },
      [out](const std::uint8_t* data, std::size_t size) -> DWORD {
        return WriteFull(out, data, size) ? StatusSuccess : WriteFailure(errno);
      },
      chunkSize + kTagSize, in.size(), callback, Opening(cipher));
}

DWORD ReencryptStream(int in, int out, const ChunkCipher& from, const ChunkCipher& to,
                      std::uint32_t chunkSize, IEncryDecryptCallBack* callback) {
  return RunStream(in, out, chunkSize + kTagSize, callback, [&](Block* block) -> DWORD {
    if (block->last && block->size < kTagSize) return StatusFileCrcError;
    if (!from.Open(block->data.get(), block->size, block->index, block->last))
      return StatusIntegrityError;
    to.Seal(block->data.get(), block->size - kTagSize, block->index, block->last);
    return StatusSuccess;
  });
}

}  // namespace qvfs
