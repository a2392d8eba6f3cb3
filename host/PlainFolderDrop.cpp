// The plain-folder receiver: descriptor, streams, staged files, the truthful effect.
#include "host/PlainFolderDrop.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <set>
#include <utility>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/StagedFile.h"
#include "platform/ole/Stream.h"
#include "platform/shell/FileGroupDescriptor.h"

namespace {

constexpr ULONG kChunk = 1 << 20;

bool ReadGroup(IDataObject* data, std::vector<FileGroupEntry>* entries, HRESULT* failure) {
  *failure = DV_E_FORMATETC;
  for (const bool wide : {true, false}) {
    const UINT format =
        RegisterClipboardFormatA(wide ? CFSTR_FILEDESCRIPTORW : CFSTR_FILEDESCRIPTORA);
    FORMATETC request{static_cast<CLIPFORMAT>(format), nullptr, DVASPECT_CONTENT, -1,
                      TYMED_HGLOBAL};
    STGMEDIUM medium{};
    if (format == 0 || FAILED(data->GetData(&request, &medium))) continue;
    const bool parsed =
        medium.tymed == TYMED_HGLOBAL && ReadFileGroupDescriptor(medium.hGlobal, wide, entries);
    ReleaseStgMedium(&medium);
    if (parsed) return true;
    *failure = E_INVALIDARG;
    return false;
  }
  return false;
}

// Copies the contents of entry `index` into `file`: the whole stream, or the global block.
// `delivered` is set once the source handed out bytes or its end: from then on it may count
// the file as transferred, whatever happens here.
// `chunkRead` is told the size of each chunk as it is written.
bool CopyContents(IDataObject* data, LONG index, StagedFile* file, std::uint64_t* copied,
                  bool* delivered, std::string* why,
                  const std::function<void(std::uint64_t)>& chunkRead) {
  FORMATETC request{static_cast<CLIPFORMAT>(RegisterClipboardFormatA(CFSTR_FILECONTENTS)), nullptr,
                    DVASPECT_CONTENT, index, TYMED_ISTREAM | TYMED_HGLOBAL};
  STGMEDIUM medium{};
  if (FAILED(data->GetData(&request, &medium))) {
    *why = "the source could not hand out its contents";
    return false;
  }
  bool ok = true;
  *copied = 0;
  if (medium.tymed == TYMED_ISTREAM && medium.pstm != nullptr) {
    IStream* stream = medium.pstm;
    std::vector<BYTE> buffer(kChunk);
    for (;;) {
      ULONG got = 0;
      const HRESULT hr = stream->Read(buffer.data(), kChunk, &got);
      if (FAILED(hr) || got > kChunk) {
        *why = "reading the source failed";
        ok = false;
        break;
      }
      *delivered = true;
      if (got != 0 && !file->Write(buffer.data(), got)) {
        *why = "writing the destination failed";
        ok = false;
        break;
      }
      *copied += got;
      if (got != 0) chunkRead(got);
      // Only an empty read ends the stream: a source may answer a short read with S_FALSE
      // and still have more to give.
      if (got == 0) break;
    }
  } else if (medium.tymed == TYMED_HGLOBAL) {
    *delivered = true;
    const SIZE_T size = GlobalSize(medium.hGlobal);
    const void* bytes = GlobalLock(medium.hGlobal);
    ok = bytes != nullptr && (size == 0 || file->Write(bytes, size));
    if (bytes != nullptr) (void)GlobalUnlock(medium.hGlobal);
    if (!ok) *why = "writing the destination failed";
    *copied = size;
    if (ok && size != 0) chunkRead(size);
  } else {
    *why = "the source handed out an unusable medium";
    ok = false;
  }
  ReleaseStgMedium(&medium);
  return ok;
}

std::string JoinPath(const std::string& folder, const std::vector<std::string>& parts) {
  std::string path = folder;
  for (const std::string& part : parts) path += "/" + part;
  return path;
}

// Files are flushed and named in batches of this many files or bytes, whichever comes first:
// one wait for the disk per batch instead of two per file, and a bounded number of files open.
constexpr std::size_t kBatchFiles = 64;
constexpr std::uint64_t kBatchBytes = 64ull << 20;

// A received file that waits for its batch.
struct Pending {
  std::unique_ptr<StagedFile> file;
  FileGroupEntry entry;
  std::string path;    // where it goes
  std::string name;    // its name in its folder
  std::string folder;  // its folder's path (names refused links, so one path per folder)
};

class Receiver {
 public:
  Receiver(IDataObject* data, const std::string& destination, const PlainFolderDropOptions& options,
           PlainFolderDropResult* result)
      : data_(data), destination_(destination), options_(options), result_(result) {}

  // Counts what the receipt will bring, and tells the progress of nothing done yet.
  void Expect(const std::vector<FileGroupEntry>& entries) {
    for (const FileGroupEntry& entry : entries) {
      if (IsFolder(entry)) continue;
      ++progress_.files;
      // Sizes come from the source: a sum past the counter's range stays at its top.
      if ((entry.flags & FD_FILESIZE) != 0)
        progress_.bytes += std::min(entry.size, UINT64_MAX - progress_.bytes);
    }
    Tell();
  }

  void Receive(LONG index, const FileGroupEntry& entry) {
    ReceiveEntry(index, entry);
    if (readThrough_) readThroughButMissing_ = true;
    readThrough_ = false;
    if (!IsFolder(entry)) {
      ++progress_.filesDone;
      Tell();
    }
  }

  // Puts the files still waiting in place; called after the last entry.
  void Finish() { PlacePending(); }

  bool AnyFailed() const { return !result_->failures.empty(); }
  // Whether an entry whose contents were read through did not arrive.
  bool ReadThroughButMissing() const { return readThroughButMissing_; }

 private:
  void ReceiveEntry(LONG index, const FileGroupEntry& entry) {
    std::vector<std::string> parts;
    if (!SplitReceivedName(entry.name, &parts)) return Fail(entry, "the name is not allowed");
    if (IsFolder(entry)) {
      if (!CreateFoldersBelow(destination_.c_str(), parts))
        return Fail(entry, "the folder could not be made");
      ++result_->arrived;
      return;
    }
    const std::string name = parts.back();
    parts.pop_back();
    auto file = std::make_unique<StagedFile>();
    if (!file->Create(destination_.c_str(), parts))
      return Fail(entry, "no file could be made in the destination folder");
    std::uint64_t copied = 0;
    std::string why;
    // Once the source delivered, it may count the file as transferred: if it does not
    // arrive, no move may be reported.
    const bool copiedAll = CopyContents(data_, index, file.get(), &copied, &readThrough_, &why,
                                        [this](std::uint64_t got) {
                                          progress_.bytesDone += got;
                                          Tell();
                                        });
    if (!copiedAll) return Fail(entry, why);
    if ((entry.flags & FD_FILESIZE) != 0 && copied != entry.size)
      return Fail(entry, "the source sent " + std::to_string(copied) + " bytes of " +
                             std::to_string(entry.size));
    const FILETIME* written = (entry.flags & FD_WRITESTIME) != 0 ? &entry.lastWriteTime : nullptr;
    const bool readOnly =
        (entry.flags & FD_ATTRIBUTES) != 0 && (entry.attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (!file->Finish(written, readOnly)) return Fail(entry, "the file could not be written");
    std::string folder = JoinPath(destination_, parts);
    pending_.push_back({std::move(file), entry, folder + "/" + name, name, std::move(folder)});
    readThrough_ = false;  // whether it arrives is known once its batch is placed
    pendingBytes_ += copied;
    if (pending_.size() >= kBatchFiles || pendingBytes_ >= kBatchBytes) PlacePending();
  }

  // The files read so far take their names: all of them flushed first (their writes started
  // as each was finished, so the waits overlap and the file system commits them together),
  // then each renamed, then each folder flushed once. A file that does not take its name was
  // delivered by the source, so a move can no longer be reported in full.
  void PlacePending() {
    std::set<std::string> folders;
    std::vector<StagedFile*> folderFiles;
    for (Pending& pending : pending_) {
      if (!pending.file->Flush()) {
        DeliveredButMissing(pending, "the file could not be written");
        continue;
      }
      if (!Place(pending)) continue;
      if (folders.insert(pending.folder).second) folderFiles.push_back(pending.file.get());
    }
    for (StagedFile* file : folderFiles) (void)file->FlushFolder();
    pending_.clear();
    pendingBytes_ = 0;
  }

  bool Place(Pending& pending) {
    if (pending.file->Place(pending.name.c_str(), false)) return Arrived();
    const DWORD error = GetLastError();
    if (error != static_cast<DWORD>(ERROR_ALREADY_EXISTS) &&
        error != static_cast<DWORD>(ERROR_FILE_EXISTS))
      return DeliveredButMissing(pending, "the file could not be put in place");
    if (!MayReplace(pending.path)) {
      ++result_->skipped;
      readThroughButMissing_ = true;  // read through but kept out
      return false;
    }
    if (!pending.file->Place(pending.name.c_str(), true))
      return DeliveredButMissing(pending, "the existing item could not be replaced");
    return Arrived();
  }

  static bool IsFolder(const FileGroupEntry& entry) {
    return (entry.flags & FD_ATTRIBUTES) != 0 && (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  void Tell() {
    if (options_.progress) options_.progress(progress_);
  }
  bool Arrived() {
    ++result_->arrived;
    return true;
  }
  void Fail(const FileGroupEntry& entry, const std::string& why) {
    result_->failures.push_back(entry.name + ": " + why);
  }
  bool DeliveredButMissing(const Pending& pending, const std::string& why) {
    Fail(pending.entry, why);
    readThroughButMissing_ = true;
    return false;
  }
  bool MayReplace(const std::string& path) {
    if (answerForAll_ != nullptr) return *answerForAll_;
    if (!options_.confirmReplace) return false;
    switch (options_.confirmReplace(path)) {
      case ReplaceAnswer::kYes:
        return true;
      case ReplaceAnswer::kNo:
        return false;
      case ReplaceAnswer::kYesToAll:
        answerForAll_ = &kYes;
        return true;
      case ReplaceAnswer::kNoToAll:
        answerForAll_ = &kNo;
        return false;
    }
    return false;
  }

  static constexpr bool kYes = true;
  static constexpr bool kNo = false;
  IDataObject* data_;
  const std::string& destination_;
  const PlainFolderDropOptions& options_;
  PlainFolderDropResult* result_;
  const bool* answerForAll_ = nullptr;
  bool readThrough_ = false;  // the source delivered the entry being received
  bool readThroughButMissing_ = false;
  ReceiptProgress progress_;
  // Files read to their end, waiting for their batch to take their names.
  std::vector<Pending> pending_;
  std::uint64_t pendingBytes_ = 0;
};

}  // namespace

HRESULT ReportPerformedEffect(IDataObject* data, DWORD effect) {
  const UINT format = RegisterClipboardFormatA(CFSTR_PERFORMEDDROPEFFECT);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, sizeof effect);
  if (format == 0 || block == nullptr) {
    (void)GlobalFree(block);
    return E_OUTOFMEMORY;
  }
  std::memcpy(GlobalLock(block), &effect, sizeof effect);
  (void)GlobalUnlock(block);
  FORMATETC request{static_cast<CLIPFORMAT>(format), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  STGMEDIUM medium{};
  medium.tymed = TYMED_HGLOBAL;
  medium.hGlobal = block;
  const HRESULT answer = data->SetData(&request, &medium, TRUE);
  if (FAILED(answer)) ReleaseStgMedium(&medium);
  return answer;
}

bool SplitReceivedName(const std::string& name, std::vector<std::string>* parts) {
  parts->clear();
  if (name.empty() || name[0] == '\\' || name[0] == '/') return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find_first_of("\\/", start);
    const std::string part = name.substr(start, end - start);
    if (part.empty() || part == "..") return false;
    for (const char c : part)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    if (part != ".") parts->push_back(part);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  // A drive-qualified name ("C:") is as absolute as a leading separator.
  if (!parts->empty() && parts->front().size() == 2 && parts->front()[1] == ':') return false;
  return !parts->empty();
}

HRESULT ReceiveIntoPlainFolder(IDataObject* data, const std::string& destination,
                               const PlainFolderDropOptions& options,
                               PlainFolderDropResult* result) noexcept {
  if (data == nullptr || result == nullptr || destination.empty()) return E_INVALIDARG;
  *result = {};
  try {
    std::vector<FileGroupEntry> entries;
    HRESULT failure = S_OK;
    if (!ReadGroup(data, &entries, &failure)) {
      (void)ReportPerformedEffect(data, DROPEFFECT_NONE);
      return failure;
    }
    Receiver receiver(data, destination, options, result);
    receiver.Expect(entries);
    for (std::size_t i = 0; i < entries.size(); ++i)
      receiver.Receive(static_cast<LONG>(i), entries[i]);
    receiver.Finish();
    // A move only when every entry is in place: a kept existing file means the source's
    // file did not arrive, so it must not be deleted either.
    const bool complete = !receiver.AnyFailed() && result->skipped == 0;
    const bool safeMove = complete || (options.sourceMovesReadFilesOnly && result->arrived != 0 &&
                                       !receiver.ReadThroughButMissing());
    if (safeMove && (options.requestedEffect & DROPEFFECT_MOVE) != 0)
      result->performedEffect = DROPEFFECT_MOVE;
    else if (result->arrived != 0)
      result->performedEffect = DROPEFFECT_COPY;
    result->sourceAnswer = ReportPerformedEffect(data, result->performedEffect);
    return receiver.AnyFailed() ? S_FALSE : S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
