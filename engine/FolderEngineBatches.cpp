// A folder's files one by one or in batches of small ones: into a container (the image the
// library makes is stored, then the plain file may go) and out of a restored container (the
// plain file is written, then the image goes). See FolderEngine.h.
#include "engine/FolderEngineBatches.h"

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "base/StringTable.h"
#include "engine/EngineFiles.h"
#include "engine/FolderEngine.h"
#include "engine/ItemRules.h"
#include "engine/ProcessFile.h"
#include "platform/LastError.h"
#include "platform/Ole.h"
#include "suite/QvFsApi.h"

using namespace engine;

namespace {

// Images of files up to this size wait in memory (the scratch folder) on their way into a
// container: for a folder of many small files, creating and deleting an image file on the
// user's disk for each of them costs more than everything else.
constexpr std::uint64_t kScratchImageLimit = 4u << 20;

}  // namespace

// ---- Files into a container ----

ItemStatus FolderEngine::PrepareEncryption(QueuedFile& file, DWORD checkFlags, const Sink& sink,
                                           DWORD handle, const FolderHandle* held,
                                           const FOLDER_ENTRY* listed) {
  if (const ItemStatus check = CheckForEncryption(file.path, checkFlags, protected_);
      check != StatusSuccess)
    return check;
  // The library reads the file through the descriptor opened here: the file the walk listed,
  // never what a link swapped in for it leads to. What it is now is what gets stored, and
  // only that may be deleted afterwards.
  FolderHandle parent;
  if (held == nullptr) {
    if (!parent.Open(file.folder.c_str())) return StatusSourceInUse;
    held = &parent;
  }
  if (!held->OpenFile(SplitPath(file.path).second.c_str(), &file.source))
    return GetLastError() == ERROR_ACCESS_DENIED ? StatusFileAccessError : StatusSourceInUse;
  if (!file.source.GetIdentity(&file.identity) ||
      (listed != nullptr && !file.identity.SameFile(listed->identity)))
    return StatusSourceInUse;
  file.readPath = file.source.ReopenPath();
  if (file.readPath.empty()) file.readPath = file.path;
  if (!file.credentials.Fill(operation_.KeyName(), operation_.KeyLabel())) return StatusMemoryError;
  char imageName[32];
  std::snprintf(imageName, sizeof imageName, "/%llu.qvf",
                static_cast<unsigned long long>(++imageCounter_));
  file.image = (!sink.scratchFolder.empty() && file.size <= kScratchImageLimit ? sink.scratchFolder
                                                                               : sink.imageFolder) +
               imageName;
  file.record =
      FileRecord(operation_, file.readPath, file.image, true, operation_.Key(), file.credentials);
  file.record->folderHandle = handle;
  return StatusSuccess;
}

ItemStatus FolderEngine::StoreEncrypted(QueuedFile& file, const Sink& sink) {
  const auto finish = [&](ItemStatus status) {
    operation_.ReportStatus(status);
    return status;
  };
  const std::string& image = file.image;
  if (file.result != StatusSuccess) {
    if (Exists(image)) (void)DeleteNormal(image);
    return finish(static_cast<ItemStatus>(file.result));
  }
  const std::string entry = file.path + std::string(kQvfSuffix);
  const bool held = !file.heldImage.bytes.empty();
  const auto add = [&](BOOL replace) {
    return held ? sink.container->AddFileFromMemory(entry, file.heldImage, replace)
                : sink.container->AddFileFromImage(entry, image, replace);
  };
  bool stored = true;
  LONG added = add(FALSE);
  if (added == -2) {
    if (operation_.ConfirmReplace(entry)) {
      added = add(TRUE);
    } else {
      // Declined: the image goes, the plain file stays where it is.
      stored = false;
      operation_.ClearAllReplaced();
      added = 0;
    }
  }
  if (held)
    file.heldImage = {};
  else
    (void)DeleteNormal(image);
  if (added < 0 || (stored && added == 0)) return finish(StatusFileAccessError);
  if (!stored) return finish(StatusSuccess);
  storedFiles_[file.path] = file.identity;
  if (openContainer_ != nullptr && sink.container == openContainer_.get() &&
      !operation_.Request().keepSource) {
    if (sink.deferSourceDeletion) {
      movedSources_.push_back({file.path, file.folder, file.identity});
      return finish(StatusSuccess);
    }
    return finish(DeleteMovedSource(file.path, file.folder, file.identity));
  }
  return finish(StatusSuccess);
}

ItemStatus FolderEngine::DeleteMovedSource(const std::string& path, const std::string& folder,
                                           const FILE_IDENTITY& identity) {
  // Only the file that was stored goes, and only while nobody changed it since.
  FolderHandle parent;
  if (!parent.Open(folder.c_str()) ||
      !parent.DeleteFileIfUnchanged(SplitPath(path).second.c_str(), identity))
    return GetLastError() == ERROR_SHARING_VIOLATION ? StatusSourceInUse : StatusSourceNotDeleted;
  return StatusSuccess;
}

ItemStatus FolderEngine::DeleteMovedSources() {
  ItemStatus first = StatusSuccess;
  for (const MovedSource& source : movedSources_) {
    const ItemStatus status = DeleteMovedSource(source.path, source.folder, source.identity);
    if (status == StatusSuccess) continue;
    operation_.AddResultRow(source.path, ShownFolder(source.folder),
                            LoadStringText(IDS_ENCRYPTING));
    operation_.ReportStatus(status);
    if (first == StatusSuccess) first = status;
  }
  movedSources_.clear();
  return first;
}

namespace {

// Every image goes into a container, which binds it to its entry as it stores it: it is made
// for the provisional place the container moves it from.
DWORD EncryptForContainer(QVData* record) { return QVFSFolderEncryptFileAt(record, "", 0); }

}  // namespace

DWORD FolderEngine::QueuedFile::EncryptIntoMemory() {
  BYTE* bytes = nullptr;
  DWORD length = 0;
  const DWORD result = QVFSFolderEncryptFileToMemoryAt(record.get(), "", 0, &bytes, &length);
  if (result == StatusDestinationInUse) return EncryptForContainer(record.get());
  if (result != StatusSuccess) return result;
  heldImage.bytes.assign(bytes, bytes + length);
  CoTaskMemFree(bytes);
  heldImage.facts = container::ReadDiskFacts(path);
  return StatusSuccess;
}

ItemStatus FolderEngine::EncryptFileOfFolder(const std::string& path, const std::string& folder,
                                             std::uint64_t size, DWORD checkFlags, const Sink& sink,
                                             DWORD handle, const FolderHandle* held,
                                             const FOLDER_ENTRY* listed) {
  operation_.AddResultRow(path, ShownFolder(folder), LoadStringText(IDS_ENCRYPTING));
  QueuedFile file(operation_.CredentialSize(), path, folder, size);
  if (const ItemStatus prepared = PrepareEncryption(file, checkFlags, sink, handle, held, listed);
      prepared != StatusSuccess) {
    operation_.ReportStatus(prepared);
    return prepared;
  }
  QVData* record = file.record.get();
  file.result = operation_.RunLibraryCall([record] { return EncryptForContainer(record); });
  return StoreEncrypted(file, sink);
}

std::unique_ptr<FolderEngine::FileBatches> FolderEngine::EncryptionBatches(const Sink& sink) {
  // Two workers: the dialog thread's share, inserting images made in memory, is the smaller
  // one.
  return std::make_unique<FileBatches>(
      *this, 2, [](QueuedFile& file) { return file.EncryptIntoMemory(); },
      [this, &sink](QueuedFile& file) {
        operation_.AddResultRow(file.path, ShownFolder(file.folder),
                                LoadStringText(IDS_ENCRYPTING));
        const ItemStatus status = StoreEncrypted(file, sink);
        file.image.clear();
        return status;
      });
}

// ---- Files out of a restored container ----

ItemStatus FolderEngine::PrepareDecryption(QueuedFile& file, DWORD checkFlags, DWORD handle) {
  if (const ItemStatus check = CheckForDecryption(file.path, checkFlags, protected_);
      check != StatusSuccess)
    return check;
  // The plain file goes to `folder`, which need not be where the image waits. Whether one is
  // there already is for the caller to check before the library is called.
  file.target = file.folder + "/" + SplitPath(PlainNameOf(file.path)).second;
  if (!file.credentials.Fill(operation_.KeyName(), operation_.KeyLabel())) return StatusMemoryError;
  file.record =
      FileRecord(operation_, file.path, file.folder, false, operation_.Key(), file.credentials);
  file.record->folderHandle = handle;
  if (restoringIntoWorkFolder_) file.record->decryptFlags = kDecryptIntoOwnFolder;
  return StatusSuccess;
}

namespace {

// The library's part of a decryption, through `run`: with the folder's key only. Every image
// a container holds was made under its folder key, so an image made for the user's own key
// is not the container's and is refused rather than restored as if it were. An image whose
// place in the container is known opens only there; one of an entry older than the container's
// list may be of the older format without a place.
// `image`: the image is held in memory, record->sourcePath only names it.
DWORD DecryptWithFolderKey(QVData* record,
                           const std::map<std::string, std::pair<std::string, DWORD>>& places,
                           const std::multimap<std::string, std::pair<std::string, DWORD>>& byName,
                           ULONGLONG firstBound,
                           const std::function<DWORD(const std::function<DWORD()>&)>& run,
                           const std::vector<unsigned char>* image = nullptr) {
  // At a place, or without one (a null `storedPath`).
  const auto decryptAt = [&](const char* storedPath, DWORD entry) {
    return run([&]() -> DWORD {
      if (image != nullptr)
        return QVFSFolderDecryptImageAt(record, image->data(), static_cast<DWORD>(image->size()),
                                        storedPath, entry);
      return storedPath != nullptr ? QVFSFolderDecryptFileAt(record, storedPath, entry)
                                   : QVFSFolderDecryptFile(record);
    });
  };
  std::vector<std::pair<std::string, DWORD>> candidates;
  if (const auto place = places.find(record->sourcePath); place != places.end()) {
    candidates.push_back(place->second);
  } else {
    const auto [first, last] = byName.equal_range(SplitPath(record->sourcePath).second);
    for (auto it = first; it != last; ++it) candidates.push_back(it->second);
  }
  if (candidates.empty()) return decryptAt(nullptr, 0);
  DWORD result = StatusIntegrityError;
  bool olderEntry = false;
  for (const auto& candidate : candidates) {
    result = decryptAt(candidate.first.c_str(), candidate.second);
    if (result != StatusIntegrityError) return result;
    olderEntry |= candidate.second < firstBound;
  }
  if (!olderEntry) return result;
  return decryptAt(nullptr, 0);
}

}  // namespace

ItemStatus FolderEngine::FinishDecrypted(QueuedFile& file) {
  const auto finish = [&](ItemStatus status) {
    operation_.ReportStatus(status);
    return status;
  };
  if (file.result == StatusCancelled) {
    // A call cancelled after the library wrote the plain file: it was not there before.
    if (file.targetWasFree && Exists(file.target)) (void)DeleteNormal(file.target);
    return finish(StatusCancelled);
  }
  if (file.result != StatusSuccess) return finish(static_cast<ItemStatus>(file.result));
  if (!file.imageInMemory && !file.imageDeleted && !DeleteNormal(file.path)) {
    (void)DeleteNormal(file.target);
    return finish(StatusSourceNotDeleted);
  }
  return finish(StatusSuccess);
}

ItemStatus FolderEngine::DecryptFileOfFolder(const std::string& path, const std::string& folder,
                                             DWORD checkFlags, DWORD handle) {
  operation_.AddResultRow(path, ShownFolder(folder), LoadStringText(IDS_DECRYPTING));
  QueuedFile file(operation_.CredentialSize(), path, folder, 0);
  ItemStatus prepared = PrepareDecryption(file, checkFlags, handle);
  if (prepared == StatusSuccess && Exists(file.target)) prepared = StatusDestinationExists;
  file.targetWasFree = true;
  if (prepared != StatusSuccess) {
    operation_.ReportStatus(prepared);
    return prepared;
  }
  file.result = DecryptWithFolderKey(
      file.record.get(), imagePlaces_, placesByName_, firstBoundEntry_,
      [this](const std::function<DWORD()>& call) { return operation_.RunLibraryCall(call); });
  return FinishDecrypted(file);
}

std::unique_ptr<FolderEngine::FileBatches> FolderEngine::DecryptionBatches(
    FolderContainer* restoring) {
  // Two workers: the dialog thread's share, the rows, is small.
  return std::make_unique<FileBatches>(
      *this, 2,
      [this](QueuedFile& file) {
        // The library never replaces a file in the way (it gives StatusDestinationExists).
        const DWORD result = DecryptWithFolderKey(
            file.record.get(), imagePlaces_, placesByName_, firstBoundEntry_,
            [](const std::function<DWORD()>& call) { return call(); },
            file.imageInMemory ? &file.heldImage.bytes : nullptr);
        // The image, a copy of what the container still holds, goes on the worker too: the
        // dialog thread, which shows every row, has the larger share of a batch.
        if (result == StatusSuccess && !file.imageInMemory)
          file.imageDeleted = DeleteNormal(file.path);
        return result;
      },
      [this, restoring](QueuedFile& file) {
        operation_.AddResultRow(file.path, ShownFolder(file.folder),
                                LoadStringText(IDS_DECRYPTING));
        if (file.imageInMemory && file.result == StatusDestinationInUse && restoring != nullptr)
          DecryptFromExtractedImage(file, *restoring);
        return FinishDecrypted(file);
      });
}

void FolderEngine::DecryptFromExtractedImage(QueuedFile& file, FolderContainer& container) {
  // An image of the first format keeps no mode nor times: it takes them from its file, which
  // the container writes out with its entry's times, where the extraction would have.
  file.heldImage.bytes.clear();
  if (container.Database().ExtractFileTo(file.storedFolderId, file.storedFileId,
                                         SplitPath(file.path).first) != VARIANT_TRUE)
    return;
  file.imageInMemory = false;
  file.result = DecryptWithFolderKey(
      file.record.get(), imagePlaces_, placesByName_, firstBoundEntry_,
      [this](const std::function<DWORD()>& call) { return operation_.RunLibraryCall(call); });
  if (file.result != StatusSuccess) (void)DeleteNormal(file.path);
}

// ---- A container restored ----

ItemStatus FolderEngine::QueueImageInMemory(QVDatabase::ExtractedImage& image,
                                            const std::string& imageTree, const std::string& tree,
                                            DWORD handle, FileBatches& batches,
                                            std::set<std::string>* made) {
  if (operation_.CancelRequested()) return StatusCancelled;
  const std::string imageFolder = SplitPath(image.output).first;
  if (imageFolder.compare(0, imageTree.size(), imageTree) != 0)
    return ReportAfterBatches(&batches, image.output, StatusContainerError);
  // The plain file's folder, and those above it, as the walk would make them.
  const std::string folder = tree + imageFolder.substr(imageTree.size());
  for (std::size_t at = tree.size(); at < folder.size();) {
    at = folder.find('/', at + 1);
    const std::string path = folder.substr(0, at);
    if (made->count(path) != 0) continue;
    if (!CreateDirectoryA(path.c_str()) && !IsFolder(path))
      return ReportAfterBatches(&batches, path + "/", StatusDestinationInUse);
    made->insert(path);
  }
  auto file = std::make_unique<QueuedFile>(operation_.CredentialSize(), image.output, folder,
                                           image.bytes.size());
  if (const ItemStatus prepared = PrepareDecryption(*file, kCheckAll, handle);
      prepared != StatusSuccess)
    return ShowRefused(Mode::Decrypt, image.output, folder, prepared, &batches);
  file->heldImage.bytes = std::move(image.bytes);
  file->imageInMemory = true;
  file->storedFolderId = image.folderId;
  file->storedFileId = image.fileId;
  return batches.Add(std::move(file));
}

ItemStatus FolderEngine::RestoreContainer(const std::string& containerPath,
                                          FolderContainer& container, const std::string& imageTree,
                                          const std::string& tree, DWORD handle) {
  QVDatabase& database = container.Database();
  database.SetImagePlaces(
      [this](const std::string& written, const std::string& storedPath, DWORD fileId) {
        imagePlaces_[written] = {storedPath, fileId};
      });
  Sink sink;
  const auto batches = DecryptionBatches(&container);
  sink.batches = batches.get();
  // Images up to the size a batch takes, with room for their header and tags.
  constexpr std::uint64_t kLargestImageInMemory = (1u << 20) + (64u << 10);
  ItemStatus queued = StatusSuccess;
  std::set<std::string> made{tree};
  database.SetImageTaker(
      [&](QVDatabase::ExtractedImage& image) {
        queued = QueueImageInMemory(image, imageTree, tree, handle, *batches, &made);
        return queued == StatusSuccess;
      },
      kLargestImageInMemory);
  container.SetRootDir(imageTree + "/");
  // Cancel stops the extraction between blocks, also within a large image.
  const bool extracted = container.ExtractAll(nullptr, [this] {
    operation_.PumpMessages();
    return !operation_.CancelRequested();
  }) != 0;
  database.SetImageTaker(nullptr, 0);
  database.SetImagePlaces(nullptr);
  ItemStatus status = queued;
  if (status == StatusSuccess && operation_.CancelRequested()) status = StatusCancelled;
  if (status == StatusSuccess && !extracted) {
    // The rows of the files already handed to the library come first.
    if (const ItemStatus settled = batches->Settle(); settled != StatusSuccess) return settled;
    return Report(containerPath, StatusOfContainerFailure(database.LastFailure()));
  }
  // The images written to files: what is left below the image tree.
  FolderHandle held;
  if (status == StatusSuccess && !held.Open(imageTree.c_str()))
    return ReportAfterBatches(batches.get(), containerPath, kFolderNotListed);
  if (status == StatusSuccess)
    status = WalkFolder(imageTree, tree, Mode::Decrypt, kCheckAll, sink, handle, held);
  if (status == StatusSuccess) return batches->Drain();
  (void)batches->Settle();
  return status;
}

// ---- A whole walk ----

ItemStatus FolderEngine::WalkInBatches(const std::string& folder, const std::string& output,
                                       Mode mode, Sink& sink, DWORD handle,
                                       const std::string& unlistedRow, ItemStatus unlisted) {
  const auto batches = mode == Mode::Encrypt ? EncryptionBatches(sink) : DecryptionBatches();
  sink.batches = batches.get();
  FolderHandle held;
  markerFailure_ = StatusSuccess;
  ItemStatus status = held.Open(folder.c_str())
                          ? WalkFolder(folder, output, mode, kCheckAll, sink, handle, held)
                          : Report(unlistedRow, unlisted);
  if (status == StatusSuccess)
    status = batches->Drain();
  else
    (void)batches->Settle();
  if (status == StatusSuccess) status = std::exchange(markerFailure_, StatusSuccess);
  sink.batches = nullptr;
  return status;
}

// ---- Either way ----

ItemStatus FolderEngine::ProcessOrQueue(Mode mode, const std::string& path,
                                        const std::string& folder, std::uint64_t size,
                                        DWORD checkFlags, const Sink& sink, DWORD handle,
                                        const FolderHandle* held, const FOLDER_ENTRY* listed) {
  const bool encrypt = mode == Mode::Encrypt;
  if (sink.batches == nullptr || !FileBatches::Takes(size)) {
    if (sink.batches != nullptr)
      if (const ItemStatus drained = sink.batches->Drain(); drained != StatusSuccess)
        return drained;
    const ItemStatus status =
        encrypt ? EncryptFileOfFolder(path, folder, size, checkFlags, sink, handle, held, listed)
                : DecryptFileOfFolder(path, folder, checkFlags, handle);
    if (status == StatusSuccess) operation_.StepProgress();
    return status;
  }
  auto file = std::make_unique<QueuedFile>(operation_.CredentialSize(), path, folder, size);
  const ItemStatus prepared = encrypt
                                  ? PrepareEncryption(*file, checkFlags, sink, handle, held, listed)
                                  : PrepareDecryption(*file, checkFlags, handle);
  if (prepared != StatusSuccess) return ShowRefused(mode, path, folder, prepared, sink.batches);
  return sink.batches->Add(std::move(file));
}

ItemStatus FolderEngine::ReportAfterBatches(FileBatches* batches, const std::string& path,
                                            ItemStatus status) {
  if (batches != nullptr)
    if (const ItemStatus drained = batches->Drain(); drained != StatusSuccess) return drained;
  return Report(path, status);
}

ItemStatus FolderEngine::ShowRefused(Mode mode, const std::string& path, const std::string& folder,
                                     ItemStatus status, FileBatches* batches) {
  // The files before it are finished and shown first.
  if (const ItemStatus drained = batches->Drain(); drained != StatusSuccess) return drained;
  operation_.AddResultRow(path, ShownFolder(folder),
                          LoadStringText(mode == Mode::Encrypt ? IDS_ENCRYPTING : IDS_DECRYPTING));
  operation_.ReportStatus(status);
  return status;
}
