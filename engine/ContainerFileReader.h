// A file of a container read a piece at a time, straight from its stored image: each chunk is
// read from the container when it is needed, checked and opened in memory, so that no plain
// copy of the file is ever written and the first bytes are there before the last are read.
//
// Every chunk is authenticated at its index before any of its bytes is handed out, and the
// last one as the last, so a reader gets the file's own bytes or an error, never bytes of a
// changed, swapped or cut image. Between two reads the container is free for writers; a file
// changed or deleted meanwhile fails the next read that needs a block that is no longer the
// file's.
#pragma once

#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "base/ItemStatus.h"
#include "engine/ContainerDecryptionSession.h"
#include "engine/TaskThreads.h"

class ContainerFileReader {
 public:
  // Opens file `fileId` of folder `folderId` by its stored name through `session`.
  [[nodiscard]] static ItemStatus Open(std::shared_ptr<ContainerDecryptionSession> session,
                                       DWORD folderId, DWORD fileId, const std::string& storedName,
                                       std::unique_ptr<ContainerFileReader>* reader);
  ~ContainerFileReader();
  ContainerFileReader(const ContainerFileReader&) = delete;
  ContainerFileReader& operator=(const ContainerFileReader&) = delete;

  // The plain file's size, as its image's length gives it.
  [[nodiscard]] std::uint64_t Size() const { return size_; }
  // Whether the container is still as it was when the file was opened (see
  // ContainerDecryptionSession::StillAsOpened).
  [[nodiscard]] bool StillAsOpened() { return session_->StillAsOpened(image_); }
  // Copies up to `length` plain bytes at `offset` into `buffer` (fewer only at the end of the
  // file); the count, or -1 when a chunk could not be read or is not authentic. A read that
  // reaches the end has checked the last chunk.
  [[nodiscard]] long long ReadAt(std::uint64_t offset, void* buffer, std::size_t length);
  // A file of one chunk is read and opened now, on the caller's thread (a file opened ahead of
  // its reads), so that its first ReadAt only copies; a chunk that cannot be had is met again
  // by that ReadAt. A larger file's chunks are read ahead on the reader's threads as it is read.
  void OpenIfOneChunk();

 private:
  ContainerFileReader(std::shared_ptr<ContainerDecryptionSession> session, DWORD folderId,
                      DWORD fileId, ContainerDecryptionSession::OpenedImage opened);
  // Makes chunk `index` the current one; false when it cannot be had.
  [[nodiscard]] bool LoadChunk(std::uint64_t index);
  // Reads chunk `index` and opens it into `plain` (whose memory is used again); false when it
  // cannot be had or is not authentic.
  [[nodiscard]] bool OpenChunk(std::uint64_t index, std::string* plain);
  // The image's bytes [begin, end) into `out`: from the first bytes read at the opening when
  // they hold them, read straight into `out` otherwise.
  [[nodiscard]] bool ImageBytes(std::uint64_t begin, std::uint64_t end, std::string* out);

  std::shared_ptr<ContainerDecryptionSession> session_;
  DWORD folderId_;
  DWORD fileId_;
  ContainerDecryptionSession::OpenedImage image_;
  std::uint64_t chunks_ = 0;
  std::uint64_t size_ = 0;
  bool valid_ = false;
  // The current chunk's plain bytes.
  std::uint64_t chunkIndex_ = UINT64_MAX;
  std::string chunk_;
  // Memory of chunks handed out before, for the next ones.
  std::vector<std::string> spares_;
  // The next chunks, in order, each being read and opened on one of the reader's threads (the
  // reads take the session's lock; the openings run side by side). A chunk's memory belongs to
  // that thread until its result is taken.
  struct Ahead {
    std::uint64_t index = 0;
    bool opened = false;
    std::string plain;
  };
  std::deque<std::future<Ahead>> ahead_;
  // How many chunks are opened ahead at the most, each on a thread of its own.
  static constexpr std::size_t kChunksAhead = 2;
  // Those threads, kept from the first chunk opened ahead to the end of the reader (starting
  // one for each chunk cost about a twentieth of a large file's processor time).
  std::unique_ptr<TaskThreads> threads_;
  // The chunk after the last one asked for ahead.
  std::uint64_t aheadEnd_ = 0;
};
