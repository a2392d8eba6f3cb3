// The files of a folder on their way through the library (see FolderEngine.h): a queued
// file, and the batches that hand small files to workers together. Private to the folder
// engine's own files.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/EngineFiles.h"
#include "engine/FolderEngine.h"
#include "platform/Files.h"
#include "suite/QvFsApi.h"

// the library on a worker, finished on the dialog thread (its image stored into the container,
// or the image it was decrypted from deleted).
struct FolderEngine::QueuedFile {
  QueuedFile(DWORD credentialSize, std::string path, std::string folder, std::uint64_t size)
      : path(std::move(path)), folder(std::move(folder)), size(size), credentials(credentialSize) {}
  // Undoes what the library made for a file that is not finished: the image an encryption
  // wrote, the plain file a decryption wrote.
  void Abandon() {
    if (!image.empty() && engine::Exists(image)) (void)engine::DeleteNormal(image);
    if (!target.empty() && result == StatusSuccess && engine::Exists(target))
      (void)engine::DeleteNormal(target);
    image.clear();
    target.clear();
  }
  // Encrypting in a batch, on a worker: the library's part, with the image made in memory
  // and the plain file's facts read beside it, so that no image file is written and read back
  // and the dialog thread only inserts it. A file that grew too large for that meanwhile gets
  // its image on disk, as a large file does.
  [[nodiscard]] DWORD EncryptIntoMemory();

  const std::string path;
  // Encrypting: the folder of `path`; decrypting: the folder the plain file goes to.
  const std::string folder;
  const std::uint64_t size;
  // Encrypting: the file held open as the walk found it, the path the library reads it
  // through (never through a link swapped in meanwhile), and what it was when read.
  OpenedFile source;
  std::string readPath;
  FILE_IDENTITY identity;
  std::string image;  // encrypting: the image the library writes
  // Encrypting in a batch: the image made in memory, with the plain file's facts; empty when
  // the image is a file.
  QVDatabase::ImageInMemory heldImage;  // decrypting: see imageInMemory
  std::string target;                   // decrypting: the plain file the library writes
  engine::Credentials credentials;
  std::unique_ptr<QVData> record;
  DWORD result = StatusCancelled;
  // Batches only: the file's place in the walk's order, and whether the library handled it
  // (set by the worker, read once the worker has ended).
  std::uint64_t order = 0;
  bool handled = false;
  // Decrypting: nothing was at `target` before the call (a batch leaves that check to the
  // library, which never replaces a file).
  bool targetWasFree = false;
  // Decrypting in a batch: the worker deleted the image once its plain file was written.
  bool imageDeleted = false;
  // Decrypting: the image is heldImage.bytes, handed over by the extraction of the container
  // being restored from its entry `storedFileId` in folder `storedFolderId`; none is on disk.
  bool imageInMemory = false;
  DWORD storedFolderId = 0;
  DWORD storedFileId = 0;
};

// Small files handled together: a batch of them goes to one worker, so a folder of many small
// files does not start a thread for each, and while workers run one batch the dialog thread
// finishes the one before it (stores its images into the container, or deletes the images it
// was decrypted from). The user sees what handling the files one by one shows: each file the
// library handled gets its row as it is finished, in the walk's order, also after a Cancel;
// once a file failed, no file after it is handed to the library, and those it was already
// handling meanwhile are finished and shown all the same. Anything else that makes a row
// waits for Drain (or Settle) first.
class FolderEngine::FileBatches {
 public:
  // The library's part for one file, on a worker; its result goes to file.result.
  using Work = std::function<DWORD(QueuedFile& file)>;
  // The rest, on the dialog thread: the row, the file's status, and the progress step.
  using Finish = std::function<ItemStatus(QueuedFile& file)>;

  FileBatches(FolderEngine& engine, std::size_t workers, Work work, Finish finish)
      : engine_(engine), work_(std::move(work)), finish_(std::move(finish)), workers_(workers) {}
  // Waits for the workers; what the library made for files not finished is undone.
  ~FileBatches() {
    StopAfter(0);
    for (StartedCall& worker : workers_)
      if (worker.Running()) (void)engine_.operation_.FinishLibraryCall(worker);
    for (const auto* batch : {&running_, &filling_})
      for (const auto& file : *batch) file->Abandon();
  }
  FileBatches(const FileBatches&) = delete;
  FileBatches& operator=(const FileBatches&) = delete;

  // Small enough to go into a batch: the library handles such a file quickly on the calling
  // thread, so a row shown only once the file is finished is not a row missing for long.
  static bool Takes(std::uint64_t size) { return size <= kFileLimit; }

  // Queues a prepared file; a full batch goes to the workers and the one before it is
  // finished.
  [[nodiscard]] ItemStatus Add(std::unique_ptr<QueuedFile> file) {
    file->order = ++queued_;
    fillingBytes_ += file->size;
    filling_.push_back(std::move(file));
    if (filling_.size() < kFiles && fillingBytes_ < kBytes) return StatusSuccess;
    return Cycle();
  }

  // Runs and finishes every queued file.
  [[nodiscard]] ItemStatus Drain() {
    const ItemStatus status = Cycle();
    return status != StatusSuccess ? status : Cycle();
  }

  // Ends the batches when the walk ends early (Cancel, or a failure of its own): nothing more
  // goes to the library, and each file it already handled is finished and shown.
  [[nodiscard]] ItemStatus Settle() {
    StopAfter(0);
    (void)WaitForWorkers();
    const ItemStatus status = FinishHandled(running_);
    for (const auto& file : filling_) file->Abandon();
    filling_.clear();
    fillingBytes_ = 0;
    return status;
  }

 private:
  static constexpr std::size_t kFiles = 64;
  static constexpr std::uint64_t kBytes = 4u << 20;
  static constexpr std::uint64_t kFileLimit = 1u << 20;
  static constexpr std::uint64_t kNoStop = static_cast<std::uint64_t>(-1);

  // No file queued after the `order`-th is handed to the library any more.
  void StopAfter(std::uint64_t order) {
    std::uint64_t current = stopAfter_.load();
    while (order < current && !stopAfter_.compare_exchange_weak(current, order)) {
    }
  }
  bool Stopped() const { return stopAfter_.load() != kNoStop; }

  // Waits for the running workers; true when Cancel was pressed meanwhile.
  bool WaitForWorkers() {
    bool cancelled = false;
    for (StartedCall& worker : workers_)
      if (worker.Running() && engine_.operation_.FinishLibraryCall(worker) == StatusCancelled)
        cancelled = true;
    return cancelled;
  }

  // Hands the filling batch to the workers (each takes every n-th file, in order, until
  // Cancel or a failure of a file before its next one).
  void StartFilling() {
    OperationSink& operation = engine_.operation_;
    running_ = std::move(filling_);
    filling_.clear();
    fillingBytes_ = 0;
    const std::size_t count = std::min(workers_.size(), running_.size());
    for (std::size_t w = 0; w < count; ++w) {
      const bool started = operation.StartLibraryCall(workers_[w], [this, w, count, &operation] {
        for (std::size_t i = w; i < running_.size(); i += count) {
          QueuedFile& file = *running_[i];
          if (operation.CancelRequested() || file.order > stopAfter_.load()) break;
          file.result = work_(file);
          file.handled = true;
          if (file.result != StatusSuccess) StopAfter(file.order);
          AtTestPoint(TestPoint::FileProcessed, file.path);
        }
        return static_cast<DWORD>(StatusSuccess);
      });
      if (!started)
        for (std::size_t i = w; i < running_.size(); i += count) {
          running_[i]->result = StatusMemoryError;
          running_[i]->handled = true;
        }
    }
    if (count != 0) AtTestPoint(TestPoint::BatchStarted, running_.front()->path);
  }

  // Finishes, in order, the files of `files` the library handled (the others were never
  // started and are let go); the status of the first that failed.
  ItemStatus FinishHandled(std::vector<std::unique_ptr<QueuedFile>>& files) {
    ItemStatus first = StatusSuccess;
    for (const auto& file : files) {
      if (!file->handled) {
        file->Abandon();
        continue;
      }
      const ItemStatus status = finish_(*file);
      if (status == StatusSuccess) {
        engine_.operation_.StepProgress();
        continue;
      }
      StopAfter(file->order);
      if (first == StatusSuccess) first = status;
    }
    files.clear();
    return first;
  }

  // Waits for the running batch, hands the filling one to the workers (unless Cancel or a
  // failure stopped the operation) and finishes the one that ran.
  ItemStatus Cycle() {
    const bool cancelled = WaitForWorkers();
    std::vector<std::unique_ptr<QueuedFile>> done = std::move(running_);
    running_.clear();
    if (!cancelled && !Stopped()) StartFilling();
    const ItemStatus status = FinishHandled(done);
    if (status == StatusSuccess && !cancelled) return StatusSuccess;
    // The walk ends here: what the workers are still handling is finished and shown too.
    const ItemStatus settled = Settle();
    if (status != StatusSuccess) return status;
    return settled != StatusSuccess && settled != StatusCancelled ? settled : StatusCancelled;
  }

  FolderEngine& engine_;
  const Work work_;
  const Finish finish_;
  std::vector<std::unique_ptr<QueuedFile>> filling_;
  std::vector<std::unique_ptr<QueuedFile>> running_;
  std::uint64_t fillingBytes_ = 0;
  std::uint64_t queued_ = 0;
  // Files queued after this one are not handed to the library (Cancel aside).
  std::atomic<std::uint64_t> stopAfter_{kNoStop};
  // Last: destroyed first, so no worker outlives what it uses.
  std::vector<StartedCall> workers_;
};
