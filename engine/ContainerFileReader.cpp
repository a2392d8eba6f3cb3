// Files of a container read a piece at a time (see ContainerFileReader.h).
#include "engine/ContainerFileReader.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <utility>

#include "engine/TaskThreads.h"

ItemStatus ContainerFileReader::Open(std::shared_ptr<ContainerDecryptionSession> session,
                                     DWORD folderId, DWORD fileId, const std::string& storedName,
                                     std::unique_ptr<ContainerFileReader>* reader) {
  ContainerDecryptionSession::OpenedImage opened;
  const ItemStatus status = session->OpenFile(folderId, fileId, storedName, &opened);
  if (status != StatusSuccess) return status;
  std::unique_ptr<ContainerFileReader> made(
      new ContainerFileReader(std::move(session), folderId, fileId, std::move(opened)));
  if (!made->valid_) return StatusIntegrityError;
  *reader = std::move(made);
  return StatusSuccess;
}

ContainerFileReader::ContainerFileReader(std::shared_ptr<ContainerDecryptionSession> session,
                                         DWORD folderId, DWORD fileId,
                                         ContainerDecryptionSession::OpenedImage opened)
    : session_(std::move(session)),
      folderId_(folderId),
      fileId_(fileId),
      image_(std::move(opened)) {
  // The chunks after the header: every one a full chunk and its tag, the last one shorter
  // (a tag at least).
  const std::uint64_t header = image_.layout.headerLength;
  const std::uint64_t sealed = std::uint64_t{image_.layout.chunkSize} + image_.layout.tagSize;
  if (image_.length <= header || image_.layout.chunkSize == 0) return;
  const std::uint64_t payload = image_.length - header;
  chunks_ = (payload + sealed - 1) / sealed;
  const std::uint64_t lastSealed = payload - (chunks_ - 1) * sealed;
  if (lastSealed < image_.layout.tagSize) return;
  size_ = payload - chunks_ * image_.layout.tagSize;
  valid_ = true;
}

ContainerFileReader::~ContainerFileReader() {
  // They use the library's reader. One whose result was taken (by a get that threw) is done.
  for (auto& pending : ahead_)
    if (pending.valid()) pending.wait();
  if (image_.reader != 0) (void)QVFSCloseImageReader(image_.reader);
}

bool ContainerFileReader::ImageBytes(std::uint64_t begin, std::uint64_t end, std::string* out) {
  out->resize(end - begin);
  if (end <= image_.head.size()) {
    std::memcpy(out->data(), image_.head.data() + begin, end - begin);
    return true;
  }
  const auto& blocks = image_.blocks;
  // The blocks that hold [begin, end).
  const auto first = std::upper_bound(blocks.begin(), blocks.end(), begin,
                                      [](std::uint64_t at, const QVDatabase::ImageBlock& b) {
                                        return at < b.offset;
                                      }) -
                     1;
  auto last = first;
  while (last != blocks.end() && last->offset < end) ++last;
  return session_->ReadRange(folderId_, fileId_, std::span(&*first, last - first), begin,
                             std::span(out->data(), out->size()));
}

bool ContainerFileReader::OpenChunk(std::uint64_t index, std::string* plain) {
  const std::uint64_t sealed = std::uint64_t{image_.layout.chunkSize} + image_.layout.tagSize;
  const std::uint64_t begin = image_.layout.headerLength + index * sealed;
  const std::uint64_t end = std::min(begin + sealed, image_.length);
  if (!ImageBytes(begin, end, plain)) return false;
  const bool last = index + 1 == chunks_;
  if (QVFSImageReaderOpenChunk(image_.reader, reinterpret_cast<BYTE*>(plain->data()),
                               static_cast<DWORD>(plain->size()), index,
                               last ? TRUE : FALSE) != StatusSuccess)
    return false;
  plain->resize(plain->size() - image_.layout.tagSize);
  return true;
}

bool ContainerFileReader::LoadChunk(std::uint64_t index) {
  if (index == chunkIndex_) return true;
  chunkIndex_ = UINT64_MAX;
  // The chunk opened ahead, when it is one of them: those before it are dropped, those after
  // it stay; when it is none of them, all are dropped.
  bool loaded = false;
  bool failed = false;
  while (!loaded && !failed && !ahead_.empty()) {
    Ahead opened = ahead_.front().get();
    ahead_.pop_front();
    if (opened.index == index) (opened.opened ? loaded : failed) = true;
    if (loaded) {
      spares_.push_back(std::move(chunk_));
      chunk_ = std::move(opened.plain);
    } else {
      spares_.push_back(std::move(opened.plain));
    }
  }
  if (!loaded) {
    for (auto& pending : ahead_) spares_.push_back(pending.get().plain);
    ahead_.clear();
    if (failed || !OpenChunk(index, &chunk_)) return false;
  }
  chunkIndex_ = index;
  if (ahead_.empty()) aheadEnd_ = index + 1;
  // A reader going through a file of several chunks gets the next ones read and opened on
  // other threads while it handles this one: the openings, the dearest part, use both cores.
  while (ahead_.size() < kChunksAhead && aheadEnd_ < chunks_) {
    std::string plain;
    if (!spares_.empty()) {
      plain = std::move(spares_.back());
      spares_.pop_back();
    }
    if (!threads_) threads_ = std::make_unique<TaskThreads>(kChunksAhead);
    auto task = std::make_shared<std::packaged_task<Ahead()>>(
        [this, next = aheadEnd_, plain = std::move(plain)]() mutable {
          Ahead opened{next, false, std::move(plain)};
          opened.opened = OpenChunk(next, &opened.plain);
          return opened;
        });
    ahead_.push_back(task->get_future());
    threads_->Post([task] { (*task)(); });
    ++aheadEnd_;
  }
  return true;
}

void ContainerFileReader::OpenIfOneChunk() {
  if (chunks_ == 1 && chunkIndex_ == UINT64_MAX) (void)LoadChunk(0);
}

long long ContainerFileReader::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < length && offset + done < size_) {
    const std::uint64_t at = offset + done;
    const std::uint64_t index = at / image_.layout.chunkSize;
    if (!LoadChunk(index)) return -1;
    const std::uint64_t within = at - index * image_.layout.chunkSize;
    if (within >= chunk_.size()) return -1;
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(length - done, chunk_.size() - within));
    std::memcpy(out + done, chunk_.data() + within, n);
    done += n;
  }
  // The end of the file is its end only once the last chunk opened as the last: a reader that
  // stops at the size it was told never takes a cut image for a whole one.
  if (offset + done >= size_ && !LoadChunk(chunks_ - 1)) return -1;
  return static_cast<long long>(done);
}
