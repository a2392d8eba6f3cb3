// Folders and containers through the progress dialog (see FolderEngine.h).
#include "engine/FolderEngine.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/StringTable.h"
#include "dialogs/FilesRemainingProgress.h"
#include "engine/CProgressDlg.h"
#include "engine/EngineFiles.h"
#include "engine/ItemRules.h"
#include "engine/OperationRequest.h"
#include "engine/ProcessFile.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/MachineRoot.h"
#include "platform/WorkFolders.h"
#include "platform/ui/Controls.h"
#include "platform/ui/WindowApi.h"
#include "sharing/SharingAccess.h"
#include "suite/QvFsApi.h"

using engine::Credentials;
using engine::DeleteNormal;
using engine::Exists;
using engine::IsFolder;
using engine::SplitPath;

namespace {

constexpr char kWorkFolderSuffix[] = ".qvef-work-";
constexpr char kDesktopIni[] = "desktop.ini";
// A folder that is not there or cannot be listed: the library's unknown-error result.
constexpr auto kFolderNotListed = static_cast<ItemStatus>(9);

constexpr char kScratchPrefix[] = "work-";
// Images of files up to this size wait in memory (the scratch folder) on their way into a
// container: for a folder of many small files, creating and deleting an image file on the
// user's disk for each of them costs more than everything else.
constexpr std::uint64_t kScratchImageLimit = 4u << 20;
// A container up to this size is extracted into memory before it is decrypted to disk.
constexpr std::uint64_t kScratchContainerLimit = 256u << 20;

std::uint64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
    return static_cast<std::uint64_t>(-1);
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The entries of the folder `handle` holds, read before the walk changes anything; false
// when the folder cannot be listed.
bool ListFolder(const FolderHandle& handle, std::vector<FOLDER_ENTRY>* entries) {
  return handle.List(entries) != FALSE;
}

// The subfolder `entry` of `parent`, opened without following a link and checked to be the
// folder the listing saw; false when it was replaced meanwhile.
bool OpenListedSubfolder(const FolderHandle& parent, const FOLDER_ENTRY& entry,
                         FolderHandle* subfolder) {
  FILE_IDENTITY opened;
  return parent.OpenSubfolder(entry.name.c_str(), subfolder) && subfolder->GetIdentity(&opened) &&
         opened.SameFile(entry.identity);
}

// A name the container keeps for its empty-folder marker: a user's file of that name (or one
// whose stored name would be it) cannot be stored without being taken for the marker.
bool IsMarkerName(const std::string& name) {
  std::string lower = name;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower == kEmptyFolderMarker || lower + std::string(kQvfSuffix) == kEmptyFolderMarker;
}

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsDirectory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// The row of a container that did not open or could not be restored, by what went wrong.
ItemStatus StatusOfContainerFailure(QVDatabase::Failure failure) {
  switch (failure) {
    case QVDatabase::Failure::NotAFile:
    case QVDatabase::Failure::NotAContainer:
      return StatusNotEncryptedFile;
    case QVDatabase::Failure::NotConverted:
      return StatusIncompatibleFormat;
    case QVDatabase::Failure::Damaged:
      return StatusFileCrcError;
    case QVDatabase::Failure::WriteFailed:
      return StatusFileAccessError;
    case QVDatabase::Failure::None:
    case QVDatabase::Failure::NotFound:
    case QVDatabase::Failure::Unavailable:
      break;
  }
  return StatusSourceInUse;
}

std::string WithoutContainerSuffix(std::string path) {
  if (HasSuffix(path, kBackupSuffix)) path = WithoutSuffix(path, kBackupSuffix);
  if (HasSuffix(path, kQvefSuffix)) path = WithoutSuffix(path, kQvefSuffix);
  return path;
}

// The images below the folder `handle` holds that a restore decrypts (links are not followed).
int CountImages(const FolderHandle& handle) {
  std::vector<FOLDER_ENTRY> entries;
  if (!ListFolder(handle, &entries)) return 0;
  int count = 0;
  for (const FOLDER_ENTRY& entry : entries) {
    if (IsLink(entry.attributes)) continue;
    FolderHandle subfolder;
    if (!IsDirectory(entry.attributes))
      count += HasSuffix(entry.name, kQvfSuffix) ? 1 : 0;
    else if (OpenListedSubfolder(handle, entry, &subfolder))
      count += CountImages(subfolder);
  }
  return count;
}

int CountImages(const std::string& folder) {
  FolderHandle handle;
  return handle.Open(folder.c_str()) ? CountImages(handle) : 0;
}

// The header and algorithm name stored in an open container.
struct StoredHeader {
  BYTE* bytes = nullptr;
  DWORD length = 0;
  char algorithm[1024] = {};
  ~StoredHeader() { std::free(bytes); }
};

}  // namespace

namespace {

std::function<void(FolderEngine::TestPoint, const std::string&)>& TestHook() {
  static std::function<void(FolderEngine::TestPoint, const std::string&)> hook;
  return hook;
}

void AtTestPoint(FolderEngine::TestPoint point, const std::string& path) {
  if (TestHook()) TestHook()(point, path);
}

}  // namespace

// ---- Small files in batches ----

// A file of a folder on its way through the library: prepared on the dialog thread, handed to
// the library on a worker, finished on the dialog thread (its image stored into the container,
// or the image it was decrypted from deleted).
struct FolderEngine::QueuedFile {
  QueuedFile(DWORD credentialSize, std::string path, std::string folder, std::uint64_t size)
      : path(std::move(path)), folder(std::move(folder)), size(size), credentials(credentialSize) {}
  // Undoes what the library made for a file that is not finished: the image an encryption
  // wrote, the plain file a decryption wrote.
  void Abandon() {
    if (!image.empty() && Exists(image)) (void)DeleteNormal(image);
    if (!target.empty() && result == StatusSuccess && Exists(target)) (void)DeleteNormal(target);
    image.clear();
    target.clear();
  }

  const std::string path;
  // Encrypting: the folder of `path`; decrypting: the folder the plain file goes to.
  const std::string folder;
  const std::uint64_t size;
  // Encrypting: the file held open as the walk found it, the path the library reads it
  // through (never through a link swapped in meanwhile), and what it was when read.
  OpenedFile source;
  std::string readPath;
  FILE_IDENTITY identity;
  std::string image;   // encrypting: the image the library writes
  std::string target;  // decrypting: the plain file the library writes
  Credentials credentials;
  std::unique_ptr<QVData> record;
  DWORD result = StatusCancelled;
  // Batches only: the file's place in the walk's order, and whether the library handled it
  // (set by the worker, read once the worker has ended).
  std::uint64_t order = 0;
  bool handled = false;
  // Decrypting: nothing was at `target` before the call (a batch leaves that check to the
  // library, which never replaces a file).
  bool targetWasFree = false;
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
      if (worker.Running()) (void)engine_.dialog_.FinishLibraryCall(worker);
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
  static constexpr std::size_t kFiles = 16;
  static constexpr std::uint64_t kBytes = 1u << 20;
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
      if (worker.Running() && engine_.dialog_.FinishLibraryCall(worker) == StatusCancelled)
        cancelled = true;
    return cancelled;
  }

  // Hands the filling batch to the workers (each takes every n-th file, in order, until
  // Cancel or a failure of a file before its next one).
  void StartFilling() {
    CProgressDlg& dialog = engine_.dialog_;
    running_ = std::move(filling_);
    filling_.clear();
    fillingBytes_ = 0;
    const std::size_t count = std::min(workers_.size(), running_.size());
    for (std::size_t w = 0; w < count; ++w) {
      const bool started = dialog.StartLibraryCall(workers_[w], [this, w, count, &dialog] {
        for (std::size_t i = w; i < running_.size(); i += count) {
          QueuedFile& file = *running_[i];
          if (dialog.CancelRequested() || file.order > stopAfter_.load()) break;
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
        CProgressCtrl(engine_.dialog_.ProgressBar()).StepIt();
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

void FolderEngine::SetTestHook(std::function<void(TestPoint, const std::string&)> hook) {
  TestHook() = std::move(hook);
}

FolderEngine::FolderEngine(CProgressDlg& dialog) : dialog_(dialog) {
  // What ended operations left (a restore's partial plain files among them) goes first.
  (void)QvSweepWorkFolders();
}

FolderEngine::~FolderEngine() {
  // Nothing this operation still holds is the user's: a source folder that could not go back
  // under its name was let go of already.
  const std::set<std::string> held = heldWorkFolders_;
  for (const std::string& work : held) RemoveWorkFolder(work);
}

std::string FolderEngine::TargetFolderOf(const std::string& containerPath) {
  return WithoutContainerSuffix(containerPath);
}

ItemStatus FolderEngine::Report(const std::string& path, ItemStatus status) {
  dialog_.AddResultRow(path, ShownFolder(SplitPath(path).first), std::string());
  dialog_.ReportStatus(status);
  return status;
}

std::string FolderEngine::ShownFolder(const std::string& folder) const {
  for (const auto& [tree, shown] : shownTrees_) {
    if (folder == tree) return shown;
    if (folder.size() > tree.size() && folder.compare(0, tree.size(), tree) == 0 &&
        folder[tree.size()] == '/')
      return shown + folder.substr(tree.size());
  }
  return folder;
}

std::string FolderEngine::MakeWorkFolder(const std::string& besidePath) {
  const auto [parent, name] = SplitPath(WithoutContainerSuffix(besidePath));
  return MakeWorkFolderIn(parent, "." + name + kWorkFolderSuffix);
}

std::string FolderEngine::MakeScratchFolder() {
  const std::string scratch = QvScratchDir();
  return scratch.empty() ? std::string() : MakeWorkFolderIn(scratch, kScratchPrefix);
}

std::string FolderEngine::MakeWorkFolderIn(const std::string& parent, const std::string& prefix) {
  std::string path = QvCreateWorkFolder(parent, prefix);
  if (!path.empty()) heldWorkFolders_.insert(path);
  return path;
}

void FolderEngine::RemoveWorkFolder(const std::string& work) {
  if (heldWorkFolders_.count(work) == 0) return;
  // A folder that does not go stays recorded, for a later sweep.
  if (QvRemoveWorkFolder(work)) heldWorkFolders_.erase(work);
}

void FolderEngine::RemoveWorkFolders() {
  for (const auto& [container, prepared] : preparedContainers_) {
    RemoveWorkFolder(prepared.work);
    if (!prepared.images.empty()) RemoveWorkFolder(prepared.images);
  }
  preparedContainers_.clear();
  shownTrees_.clear();
}

// ---- Preparation: the encryption walk ----

bool FolderEngine::WalkForEncryption(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  FolderHandle folder;
  if (attributes != INVALID_FILE_ATTRIBUTES && IsDirectory(attributes) && !IsLink(attributes) &&
      !folder.Open(path.c_str()))
    return false;
  return WalkForEncryption(path, attributes, folder);
}

bool FolderEngine::WalkForEncryption(const std::string& path, DWORD attributes,
                                     const FolderHandle& folder) {
  if (dialog_.CancelRequested()) return true;
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (!path.empty() && path.back() == '/' && IsProtectedLocation(path)) return false;
  if (IsLink(attributes)) {
    // Counted for its row; the processing pass refuses it without following it.
    dialog_.AddToTotal(1);
    return true;
  }
  if (IsDirectory(attributes)) {
    // Through the folder's handle: a subfolder swapped for a link meanwhile is not followed.
    std::vector<FOLDER_ENTRY> entries;
    if (!ListFolder(folder, &entries)) return false;
    for (const FOLDER_ENTRY& entry : entries) {
      if (dialog_.CancelRequested()) return true;
      FolderHandle subfolder;
      if (IsDirectory(entry.attributes) && !IsLink(entry.attributes) &&
          !OpenListedSubfolder(folder, entry, &subfolder)) {
        (void)Report(path + "/" + entry.name + "/", StatusFileAccessError);
        return false;
      }
      if (!WalkForEncryption(path + "/" + entry.name, entry.attributes, subfolder)) return false;
    }
    dialog_.MarkStepSucceeded();
    return true;
  }
  // Only the backups this operation made are skipped; an older one is the user's file.
  if (dialog_.IsOwnBackup(path)) return true;
  if (HasSuffix(path, kQvefSuffix)) {
    if (!DecryptContainerInPlace(path)) return false;
    dialog_.MarkStepSucceeded();
    return true;
  }
  if (!HasSuffix(path, kQvfSuffix)) {
    dialog_.AddToTotal(1);
    dialog_.MarkStepSucceeded();
    return true;
  }
  if (IsMarkerName(SplitPath(path).second)) {
    // Never decrypted in place nor deleted: the processing pass refuses it with its row.
    dialog_.AddToTotal(1);
    return true;
  }
  if (dialog_.DecryptInPlaceForWalk(path, SplitPath(path).first) != StatusSuccess) return false;
  dialog_.AddToTotal(1);
  dialog_.MarkStepSucceeded();
  return true;
}

bool FolderEngine::DecryptContainerInPlace(const std::string& containerPath) {
  // Checked under its own name: moved aside, the container is no longer recognised as one
  // by the access check, which would then read no owner and let anyone in.
  if (SharingAccessCheck(dialog_.UserId(), containerPath) != kSharingAllowed) {
    (void)Report(containerPath, StatusNotAuthorized);
    return false;
  }
  const std::string backup = BackupNameOf(containerPath);
  if (MoveFileExA(containerPath.c_str(), backup.c_str(), 0) == FALSE) {
    (void)Report(containerPath, StatusDestinationExists);
    return false;
  }
  dialog_.RecordBackup(backup);
  if (!PrepareContainerDecryption(backup)) return false;
  return DecryptContainer(backup) == StatusSuccess;
}

// ---- Container decryption ----

bool FolderEngine::PrepareContainerDecryption(const std::string& containerPath) {
  // The folder is restored beside the container: a protected location takes nothing in.
  if (IsProtectedLocation(containerPath)) {
    (void)Report(containerPath, StatusProtectedLocation);
    return false;
  }
  // Only a regular file can be a container. A link is refused as a linked file is: what it
  // points to is not decrypted and deleted through it.
  const DWORD attributes = GetFileAttributesA(containerPath.c_str());
  ItemStatus refused = StatusSuccess;
  if (attributes == INVALID_FILE_ATTRIBUTES)
    refused = StatusSourceInUse;
  else if (IsLink(attributes))
    refused = StatusFileAccessError;
  else if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
    refused = StatusNotEncryptedFile;
  if (refused != StatusSuccess) {
    (void)Report(containerPath, refused);
    return false;
  }
  const std::string target = TargetFolderOf(containerPath);
  if (Exists(target)) {
    (void)Report(target + "/", StatusDestinationExists);
    return false;
  }
  dialog_.ShowFilesRemaining(true);
  // Held from before the extraction until it is deleted at the end of the operation.
  auto held = std::make_unique<FolderContainer>();
  if (!held->OpenAt("", containerPath, 0)) {
    (void)Report(containerPath, StatusOfContainerFailure(held->Database().LastFailure()));
    return false;
  }
  if (held->Database().HoldAgainstWriters() != VARIANT_TRUE) {
    (void)Report(containerPath, StatusSourceInUse);
    return false;
  }
  if (SharingAccessCheck(dialog_.UserId(), containerPath) != kSharingAllowed) {
    (void)Report(containerPath, StatusNotAuthorized);
    return false;
  }
  FolderContainer& container = *held;
  const std::string work = MakeWorkFolder(containerPath);
  if (work.empty()) {
    (void)Report(containerPath, StatusDestinationInUse);
    return false;
  }
  dialog_.RecordCreatedFolder(work);
  const std::string name = SplitPath(target).second;
  const std::string tree = work + "/" + name;
  const auto extractInto = [&](const std::string& folder) {
    container.SetRootDir(folder + "/");
    FilesRemainingProgress shown(dialog_.ProgressBar(), dialog_.FilesRemainingLabel());
    const auto keepAnswering = [this] {
      dialog_.PumpMessages();
      return true;
    };
    return container.ExtractAll(std::ref(shown), keepAnswering) != 0;
  };
  // The images go to memory when the container is small enough, else (or when memory runs
  // out) into the restored folder itself, where each is replaced by its plain file.
  std::string images;
  if (FileSize(containerPath) <= kScratchContainerLimit) images = MakeScratchFolder();
  if (!images.empty() &&
      (!CreateDirectoryA((images + "/" + name).c_str()) || !extractInto(images + "/" + name))) {
    RemoveWorkFolder(images);
    images.clear();
  }
  if (!CreateDirectoryA(tree.c_str()) || (images.empty() && !extractInto(tree))) {
    const QVDatabase::Failure failure = container.Database().LastFailure();
    RemoveWorkFolder(work);
    if (Exists(work)) (void)Report(target + "/", StatusSourceInUse);
    dialog_.ForgetCreatedFolder(work);
    (void)Report(containerPath, StatusOfContainerFailure(failure));
    return false;
  }
  preparedContainers_[containerPath] = Prepared{work, images};
  restoredContainers_[containerPath] = std::move(held);
  // The user counts files: the extraction's range also counts every folder's marker.
  dialog_.AddToTotal(CountImages(images.empty() ? tree : images + "/" + name));
  return true;
}

ItemStatus FolderEngine::OpenFolderHandle(FolderContainer& container, const std::string& rowPath,
                                          DWORD* handle, ItemStatus unreadable) {
  StoredHeader header;
  if (!container.GetFolderOptions(header.algorithm, &header.bytes, &header.length))
    return Report(rowPath, unreadable);
  Credentials credentials(dialog_.CredentialSize());
  if (!credentials.Fill(dialog_.KeyName(), dialog_.KeyLabel()))
    return Report(rowPath, StatusMemoryError);
  const std::string keyName = dialog_.KeyName();
  const KeyRecord& key = dialog_.Key();
  const DWORD result = dialog_.RunLibraryCall([&] {
    return QVFSInitFolderDecryption(header.bytes, header.length, keyName.c_str(), keyName.c_str(),
                                    key.blob, key.blobLength, credentials.Data(),
                                    credentials.LengthPointer(), handle);
  });
  if (result == StatusCancelled) {
    if (*handle != 0) (void)QVFSCloseHandle(*handle);
    *handle = 0;
    return StatusCancelled;
  }
  if (result != StatusSuccess) return Report(rowPath, static_cast<ItemStatus>(result));
  TrustFolderOwner(dialog_.UserId(), header.bytes, header.length, *handle);
  return StatusSuccess;
}

void FolderEngine::CloseFolderHandle(DWORD handle) {
  if (handle == 0) return;
  (void)dialog_.RunLibraryCall([handle] { return QVFSCloseHandle(handle); });
}

namespace {

// The folders' modes and times come back once their contents are written and the tree has
// its name: a folder without write access could not take its files, nor be moved into place.
// A folder that does not take them keeps what the umask gave it, never more.
void RestoreFolderFacts(const std::string& containerPath, const std::string& target) {
  FolderContainer container;
  if (container.OpenAt("", containerPath, 0)) (void)container.Database().RestoreFolderFacts(target);
}

}  // namespace

ItemStatus FolderEngine::DecryptContainer(const std::string& containerPath) {
  protected_ = ProtectedLocations::Read();
  const auto prepared = preparedContainers_.find(containerPath);
  if (prepared == preparedContainers_.end()) return Report(containerPath, StatusContainerError);
  const std::string work = prepared->second.work;
  const std::string images = prepared->second.images;
  const std::string target = TargetFolderOf(containerPath);
  const std::string tree = work + "/" + SplitPath(target).second;
  const std::string imageTree = images.empty() ? tree : images + "/" + SplitPath(target).second;

  DWORD handle = 0;
  const auto held = restoredContainers_.find(containerPath);
  if (held == restoredContainers_.end()) return Report(containerPath, StatusContainerError);
  if (const ItemStatus opened = OpenFolderHandle(*held->second, containerPath, &handle);
      opened != StatusSuccess)
    return opened;
  shownTrees_[tree] = target;
  ItemStatus status = StatusSuccess;
  {
    Sink sink;
    const auto batches = DecryptionBatches();
    sink.batches = batches.get();
    FolderHandle held;
    status = held.Open(imageTree.c_str())
                 ? WalkFolder(imageTree, tree, Mode::Decrypt, kCheckAll, sink, handle, held)
                 : Report(target + "/", kFolderNotListed);
    if (status == StatusSuccess)
      status = batches->Drain();
    else
      (void)batches->Settle();
  }
  CloseFolderHandle(handle);
  shownTrees_.erase(tree);
  if (!images.empty()) RemoveWorkFolder(images);
  prepared->second.images.clear();
  if (dialog_.CancelRequested()) return StatusCancelled;
  if (status != StatusSuccess) return status;

  // Every restored file is on disk before the folder gets the name the user knows, and the
  // container is deleted only at the end of the operation, after that.
  const auto [parent, name] = SplitPath(target);
  if (!FlushVolumeOfPathA(tree.c_str())) return Report(target + "/", StatusDestinationInUse);
  if (MoveFileExA(tree.c_str(), target.c_str(), 0) == FALSE)
    return Report(target + "/", StatusDestinationExists);
  (void)FlushPathBuffersA(parent.c_str());
  dialog_.RecordCreatedFolder(target);
  RestoreFolderFacts(containerPath, target);
  RemoveWorkFolder(work);
  if (!Exists(work)) dialog_.ForgetCreatedFolder(work);
  preparedContainers_.erase(containerPath);
  if (Exists(target + "/" + kDesktopIni)) {
    const DWORD attributes = GetFileAttributesA(target.c_str());
    (void)SetFileAttributesA(target.c_str(), attributes | FILE_ATTRIBUTE_SYSTEM);
  }
  return StatusSuccess;
}

bool FolderEngine::DeleteRestoredContainer(const std::string& path) {
  const auto held = restoredContainers_.find(path);
  if (held == restoredContainers_.end()) return !Exists(path);
  const std::unique_ptr<FolderContainer> container = std::move(held->second);
  restoredContainers_.erase(held);
  // Gone already: it lay inside a folder this operation encrypted and deleted.
  if (!Exists(path)) return true;
  if (container->Database().DeleteHeldFile() == VARIANT_TRUE) return true;
  (void)Report(path, StatusSourceNotDeleted);
  return false;
}

std::vector<std::string> FolderEngine::DeleteRestoredContainers() {
  std::vector<std::string> kept;
  while (!restoredContainers_.empty()) {
    const std::string path = restoredContainers_.begin()->first;
    if (!DeleteRestoredContainer(path)) kept.push_back(path);
  }
  return kept;
}

// ---- Folder encryption ----

ItemStatus FolderEngine::EncryptFolder(const std::string& folder) {
  protected_ = ProtectedLocations::Read();
  const auto [parent, name] = SplitPath(folder);
  const std::string containerPath = folder + std::string(kQvefSuffix);
  Credentials credentials(dialog_.CredentialSize());
  std::vector<BYTE> header(kFolderHeaderCapacity);
  if (!credentials.Fill(dialog_.KeyName(), dialog_.KeyLabel()))
    return Report(folder + "/", StatusMemoryError);

  DWORD handle = 0;
  DWORD headerLength = kFolderHeaderCapacity;
  EncryptAlgoInfo algorithm = dialog_.Algorithm();
  const std::string keyName = dialog_.KeyName();
  const KeyRecord& key = dialog_.Key();
  const DWORD started = dialog_.RunLibraryCall([&] {
    return QVFSInitFolderEncryption(&algorithm, keyName.c_str(), key.blob, key.blobLength,
                                    credentials.Data(), credentials.Length(), header.data(),
                                    &headerLength, &handle);
  });
  if (started != StatusSuccess) {
    if (handle != 0) (void)QVFSCloseHandle(handle);
    if (started == StatusCancelled) return StatusCancelled;
    return Report(folder + "/", static_cast<ItemStatus>(started));
  }
  if (Exists(containerPath)) {
    CloseFolderHandle(handle);
    return Report(folder + "/", StatusDirectoryAlreadyEncrypted);
  }

  const std::string work = MakeWorkFolder(folder);
  if (work.empty()) {
    CloseFolderHandle(handle);
    return Report(containerPath, StatusFileAccessError);
  }
  const std::string building = work + "/" + name + std::string(kQvefSuffix);
  ItemStatus status = StatusSuccess;
  {
    FolderContainer container;
    BYTE* headerBytes = header.data();
    char algorithmName[MAX_PATH];
    std::snprintf(algorithmName, sizeof algorithmName, "%s", algorithm.algorithmName);
    if (!container.OpenContainer(building, algorithmName, &headerBytes, &headerLength, TRUE)) {
      status = Report(containerPath, StatusFileAccessError);
    } else {
      container.SetRootDir(folder + "/");
      // The new container is flushed once at the end, so its adds can share one transaction.
      (void)container.Database().BeginBatchedAdds();
      Sink sink{&container, work, MakeScratchFolder()};
      {
        const auto batches = EncryptionBatches(sink);
        sink.batches = batches.get();
        FolderHandle held;
        markerFailure_ = StatusSuccess;
        status = held.Open(folder.c_str())
                     ? WalkFolder(folder, folder, Mode::Encrypt, kCheckAll, sink, handle, held)
                     : Report(folder + "/", StatusFileAccessError);
        if (status == StatusSuccess)
          status = batches->Drain();
        else
          (void)batches->Settle();
        if (status == StatusSuccess) status = std::exchange(markerFailure_, StatusSuccess);
      }
      if (!sink.scratchFolder.empty()) RemoveWorkFolder(sink.scratchFolder);
      if (dialog_.CancelRequested()) status = StatusCancelled;
      if (status == StatusSuccess && !container.Flush())
        status = Report(containerPath, StatusDestinationInUse);
    }
    container.Close();
  }
  CloseFolderHandle(handle);

  if (status == StatusSuccess) {
    // The container is whole and on disk: it takes its name (never over one that appeared
    // meanwhile), the name is made durable, and only then does the folder go.
    if (MoveFileExA(building.c_str(), containerPath.c_str(), 0) == FALSE) {
      status = Report(containerPath, StatusDirectoryAlreadyEncrypted);
    } else {
      (void)FlushPathBuffersA(parent.c_str());
      ApplyDelegateSharing(dialog_.UserId(), containerPath);
    }
  }
  RemoveWorkFolder(work);
  if (status != StatusSuccess || dialog_.Request().keepSource) return status;
  const SourceDeletion deletion = DeleteStoredFolder(folder);
  if (deletion.status != StatusSuccess && deletion.untouched) {
    // The folder stays whole, so the container made of it goes: the user is left with what
    // there was before, and the rows say why.
    if (DeleteNormal(containerPath))
      (void)FlushPathBuffersA(parent.c_str());
    else
      (void)Report(containerPath, StatusSourceNotDeleted);
  }
  return deletion.status;
}

FolderEngine::SourceDeletion FolderEngine::DeleteStoredFolder(const std::string& folder) {
  AtTestPoint(TestPoint::SourceDeletion, folder);
  // Deleting a large tree takes a while; moved aside first (one rename in its own parent),
  // the folder is either whole under its name or gone from it, whenever the process ends.
  const std::string work = MakeWorkFolder(folder);
  std::string tree = folder;
  if (!work.empty()) {
    const std::string aside = work + "/" + SplitPath(folder).second;
    if (MoveFileExA(folder.c_str(), aside.c_str(), 0) != FALSE) tree = aside;
  }
  const auto putBack = [&] {
    if (tree == folder || MoveFileExA(tree.c_str(), folder.c_str(), 0) != FALSE) {
      RemoveWorkFolder(work);
      return folder;
    }
    // Its name was taken meanwhile: what is left stays where it is, and is never swept.
    QvReleaseWorkFolder(work);
    heldWorkFolders_.erase(work);
    return tree;
  };
  FolderHandle root;
  if (!root.Open(tree.c_str())) {
    putBack();
    return {Report(folder + "/", StatusSourceInUse), true};
  }

  // Everything must be deletable before the first delete: a file written or a folder made
  // after it was stored keeps the folder, and so does an entry this process may not delete.
  std::vector<std::string> changed;
  std::string blocked;
  PlanDeletion(root, folder, &changed, &blocked);
  if (!changed.empty() || !blocked.empty()) {
    putBack();
    ItemStatus status = StatusSuccess;
    for (const std::string& path : changed) status = Report(path, StatusSourceInUse);
    if (!blocked.empty()) status = Report(blocked, StatusSourceNotDeleted);
    return {status, true};
  }

  std::vector<std::string> kept;
  DeleteStored(root, folder, &kept);
  std::vector<FOLDER_ENTRY> rest;
  const bool emptied = kept.empty() && ListFolder(root, &rest) && rest.empty() &&
                       (tree != folder || RemoveDirectoryA(folder.c_str()));
  if (emptied) {
    RemoveWorkFolder(work);
    return {StatusSuccess, false};
  }
  // Something changed while the tree went: it stays under the folder's name.
  const std::string left = putBack();
  ItemStatus status = StatusSuccess;
  for (const std::string& path : kept) status = Report(path, StatusSourceInUse);
  if (kept.empty() || left != folder) status = Report(left + "/", StatusSourceInUse);
  return {status, false};
}

void FolderEngine::PlanDeletion(const FolderHandle& held, const std::string& original,
                                std::vector<std::string>* changed, std::string* blocked) const {
  std::vector<FOLDER_ENTRY> entries;
  if (!ListFolder(held, &entries)) {
    if (blocked->empty()) *blocked = original + "/";
    return;
  }
  for (const FOLDER_ENTRY& entry : entries) {
    const std::string path = original + "/" + entry.name;
    if (IsDirectory(entry.attributes) && !IsLink(entry.attributes)) {
      const auto stored = storedFolders_.find(path);
      FolderHandle subfolder;
      if (stored == storedFolders_.end() || !stored->second.SameFile(entry.identity) ||
          !OpenListedSubfolder(held, entry, &subfolder)) {
        changed->push_back(path + "/");
        continue;
      }
      PlanDeletion(subfolder, path, changed, blocked);
    } else if (!IsStoredUnchanged(path, entry.identity)) {
      changed->push_back(path);
      continue;
    }
    if (blocked->empty() && !held.CanDelete(entry.name.c_str())) *blocked = path;
  }
}

bool FolderEngine::IsStoredUnchanged(const std::string& path, const FILE_IDENTITY& now) const {
  const auto stored = storedFiles_.find(path);
  return stored != storedFiles_.end() ? stored->second == now : dialog_.IsOwnBackup(path);
}

void FolderEngine::DeleteStored(const FolderHandle& held, const std::string& original,
                                std::vector<std::string>* kept) {
  std::vector<FOLDER_ENTRY> entries;
  if (!ListFolder(held, &entries)) return;
  // Deleting many files is mostly waiting on the file system, which two threads do faster:
  // a worker takes every other subfolder of the top.
  std::vector<const FOLDER_ENTRY*> theirs;
  std::vector<const FOLDER_ENTRY*> ours;
  for (const FOLDER_ENTRY& entry : entries)
    if (IsDirectory(entry.attributes) && !IsLink(entry.attributes))
      (theirs.size() <= ours.size() ? theirs : ours).push_back(&entry);
  std::vector<std::string> theirsKept;
  StartedCall worker;
  const bool started = !theirs.empty() && dialog_.StartLibraryCall(worker, [&] {
    for (const FOLDER_ENTRY* entry : theirs) DeleteStoredEntry(held, original, *entry, &theirsKept);
    return static_cast<DWORD>(StatusSuccess);
  });
  if (!started) ours.insert(ours.end(), theirs.begin(), theirs.end());
  for (const FOLDER_ENTRY* entry : ours) DeleteStoredEntry(held, original, *entry, kept);
  // Its result says nothing here (it only tells whether Cancel was pressed meanwhile).
  if (started) (void)dialog_.FinishLibraryCall(worker);
  kept->insert(kept->end(), theirsKept.begin(), theirsKept.end());
  for (const FOLDER_ENTRY& entry : entries)
    if (!IsDirectory(entry.attributes) || IsLink(entry.attributes))
      DeleteStoredEntry(held, original, entry, kept);
}

void FolderEngine::DeleteStoredEntry(const FolderHandle& held, const std::string& original,
                                     const FOLDER_ENTRY& entry,
                                     std::vector<std::string>* kept) const {
  const std::string path = original + "/" + entry.name;
  if (IsDirectory(entry.attributes) && !IsLink(entry.attributes)) {
    FolderHandle subfolder;
    if (!OpenListedSubfolder(held, entry, &subfolder)) {
      kept->push_back(path + "/");
      return;
    }
    std::vector<FOLDER_ENTRY> entries;
    if (ListFolder(subfolder, &entries))
      for (const FOLDER_ENTRY& inner : entries) DeleteStoredEntry(subfolder, path, inner, kept);
    // Not empty: something new appeared in it; it is reported with the folder that keeps it.
    (void)held.RemoveSubfolder(entry.name.c_str());
    return;
  }
  const auto stored = storedFiles_.find(path);
  const FILE_IDENTITY& expected = stored != storedFiles_.end() ? stored->second : entry.identity;
  if ((stored == storedFiles_.end() && !dialog_.IsOwnBackup(path)) ||
      !held.DeleteFileIfUnchanged(entry.name.c_str(), expected))
    kept->push_back(path);
}

// ---- The walk of the processing pass ----

ItemStatus FolderEngine::WalkFolder(const std::string& folder, const std::string& output, Mode mode,
                                    DWORD checkFlags, const Sink& sink, DWORD handle,
                                    const FolderHandle& held) {
  // A row of its own comes after the rows of the files still waiting in a batch.
  const auto report = [&](const std::string& path, ItemStatus status) {
    if (sink.batches != nullptr)
      if (const ItemStatus drained = sink.batches->Drain(); drained != StatusSuccess)
        return drained;
    return Report(path, status);
  };
  if (folder.empty()) return kFolderNotListed;
  if (mode == Mode::Encrypt && protected_.Contains(folder))
    return report(folder + "/", StatusProtectedLocation);
  std::vector<FOLDER_ENTRY> entries;
  if (!ListFolder(held, &entries)) return report(folder + "/", kFolderNotListed);
  if (mode == Mode::Encrypt) {
    FILE_IDENTITY identity;
    if (held.GetIdentity(&identity)) storedFolders_[folder] = identity;
  }
  AtTestPoint(TestPoint::FolderListed, folder);

  if (mode == Mode::Encrypt) {
    const std::string marker = folder + "/" + std::string(kEmptyFolderMarker);
    LONG added = sink.container->AddFile(marker, FALSE);
    if (added == -2) {
      if (!dialog_.ConfirmReplace(marker)) return report(folder + "/", StatusDestinationExists);
      added = sink.container->AddFile(marker, TRUE);
    }
    if (added <= 0) {
      // Only this folder fails: the walk goes on, so that every other entry has its row, and
      // the item fails at its end (nothing of the source is deleted then).
      if (sink.batches != nullptr)
        if (const ItemStatus drained = sink.batches->Drain(); drained != StatusSuccess)
          return drained;
      (void)Report(folder + "/", StatusFileAccessError);
      if (markerFailure_ == StatusSuccess) markerFailure_ = StatusFileAccessError;
    }
  }

  for (const FOLDER_ENTRY& entry : entries) {
    if (dialog_.CancelRequested()) return StatusCancelled;
    const std::string path = folder + "/" + entry.name;
    ItemStatus status = StatusSuccess;
    if (IsLink(entry.attributes)) {
      // A link is never followed nor removed; a folder holding one cannot be encrypted whole.
      if (mode == Mode::Decrypt) continue;
      status = report(path, StatusFileAccessError);
    } else if (IsDirectory(entry.attributes)) {
      const std::string subOutput = output + "/" + entry.name;
      FolderHandle subfolder;
      if (mode == Mode::Encrypt && protected_.Contains(path))
        status = report(path + "/", StatusProtectedLocation);
      else if (!OpenListedSubfolder(held, entry, &subfolder))
        // Replaced (by a link, say) since it was listed: nothing of it is read.
        status = report(path + "/", StatusFileAccessError);
      else if (mode == Mode::Decrypt && output != folder && !CreateDirectoryA(subOutput.c_str()) &&
               !IsFolder(subOutput))
        status = report(subOutput + "/", StatusDestinationInUse);
      else
        status = WalkFolder(path, subOutput, mode, checkFlags, sink, handle, subfolder);
    } else if (mode == Mode::Encrypt) {
      if (dialog_.IsOwnBackup(path)) continue;
      if (IsMarkerName(entry.name))
        status = report(path, StatusSystemOrTempFile);
      else
        status = ProcessOrQueue(mode, path, folder, entry.identity.size, checkFlags, sink, handle,
                                &held, &entry);
    } else {
      if (!HasSuffix(entry.name, kQvfSuffix)) continue;
      status = ProcessOrQueue(mode, path, output, entry.identity.size, checkFlags, sink, handle);
    }
    if (status != StatusSuccess) return status;
  }
  return dialog_.CancelRequested() ? StatusCancelled : StatusSuccess;
}

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
  if (!file.credentials.Fill(dialog_.KeyName(), dialog_.KeyLabel())) return StatusMemoryError;
  char imageName[32];
  std::snprintf(imageName, sizeof imageName, "/%llu.qvf",
                static_cast<unsigned long long>(++imageCounter_));
  file.image = (!sink.scratchFolder.empty() && file.size <= kScratchImageLimit ? sink.scratchFolder
                                                                               : sink.imageFolder) +
               imageName;
  file.record =
      FileRecord(dialog_, file.readPath, file.image, true, dialog_.Key(), file.credentials);
  file.record->folderHandle = handle;
  return StatusSuccess;
}

ItemStatus FolderEngine::StoreEncrypted(QueuedFile& file, const Sink& sink) {
  const auto finish = [&](ItemStatus status) {
    dialog_.ReportStatus(status);
    return status;
  };
  const std::string& image = file.image;
  if (file.result != StatusSuccess) {
    if (Exists(image)) (void)DeleteNormal(image);
    return finish(static_cast<ItemStatus>(file.result));
  }
  const std::string entry = file.path + std::string(kQvfSuffix);
  bool stored = true;
  LONG added = sink.container->AddFileFromImage(entry, image, FALSE);
  if (added == -2) {
    if (dialog_.ConfirmReplace(entry)) {
      added = sink.container->AddFileFromImage(entry, image, TRUE);
    } else {
      // Declined: the image goes, the plain file stays where it is.
      stored = false;
      dialog_.ClearAllReplaced();
      added = 0;
    }
  }
  (void)DeleteNormal(image);
  if (added < 0 || (stored && added == 0)) return finish(StatusFileAccessError);
  if (!stored) return finish(StatusSuccess);
  storedFiles_[file.path] = file.identity;
  if (openContainer_ != nullptr && sink.container == openContainer_.get() &&
      !dialog_.Request().keepSource) {
    // Only the file that was stored goes, and only while nobody changed it since.
    FolderHandle parent;
    if (!parent.Open(file.folder.c_str()) ||
        !parent.DeleteFileIfUnchanged(SplitPath(file.path).second.c_str(), file.identity))
      return finish(GetLastError() == ERROR_SHARING_VIOLATION ? StatusSourceInUse
                                                              : StatusSourceNotDeleted);
  }
  return finish(StatusSuccess);
}

ItemStatus FolderEngine::EncryptFileOfFolder(const std::string& path, const std::string& folder,
                                             std::uint64_t size, DWORD checkFlags, const Sink& sink,
                                             DWORD handle, const FolderHandle* held,
                                             const FOLDER_ENTRY* listed) {
  dialog_.AddResultRow(path, ShownFolder(folder), LoadStringText(IDS_ENCRYPTING));
  QueuedFile file(dialog_.CredentialSize(), path, folder, size);
  if (const ItemStatus prepared = PrepareEncryption(file, checkFlags, sink, handle, held, listed);
      prepared != StatusSuccess) {
    dialog_.ReportStatus(prepared);
    return prepared;
  }
  QVData* record = file.record.get();
  file.result = dialog_.RunLibraryCall([record] { return QVFSFolderEncryptFile(record); });
  return StoreEncrypted(file, sink);
}

std::unique_ptr<FolderEngine::FileBatches> FolderEngine::EncryptionBatches(const Sink& sink) {
  // One worker: the dialog thread's share, storing into the container, is as large.
  return std::make_unique<FileBatches>(
      *this, 1, [](QueuedFile& file) { return QVFSFolderEncryptFile(file.record.get()); },
      [this, &sink](QueuedFile& file) {
        dialog_.AddResultRow(file.path, ShownFolder(file.folder), LoadStringText(IDS_ENCRYPTING));
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
  if (!file.credentials.Fill(dialog_.KeyName(), dialog_.KeyLabel())) return StatusMemoryError;
  file.record = FileRecord(dialog_, file.path, file.folder, false, dialog_.Key(), file.credentials);
  file.record->folderHandle = handle;
  return StatusSuccess;
}

namespace {

// The library's part of a decryption, through `run`: with the folder's key only. Every image
// a container holds was made under its folder key, so an image made for the user's own key
// is not the container's and is refused rather than restored as if it were.
DWORD DecryptWithFolderKey(QVData* record,
                           const std::function<DWORD(const std::function<DWORD()>&)>& run) {
  return run([record] { return QVFSFolderDecryptFile(record); });
}

}  // namespace

ItemStatus FolderEngine::FinishDecrypted(QueuedFile& file) {
  const auto finish = [&](ItemStatus status) {
    dialog_.ReportStatus(status);
    return status;
  };
  if (file.result == StatusCancelled) {
    // A call cancelled after the library wrote the plain file: it was not there before.
    if (file.targetWasFree && Exists(file.target)) (void)DeleteNormal(file.target);
    return finish(StatusCancelled);
  }
  if (file.result != StatusSuccess) return finish(static_cast<ItemStatus>(file.result));
  if (!DeleteNormal(file.path)) {
    (void)DeleteNormal(file.target);
    return finish(StatusSourceNotDeleted);
  }
  return finish(StatusSuccess);
}

ItemStatus FolderEngine::DecryptFileOfFolder(const std::string& path, const std::string& folder,
                                             DWORD checkFlags, DWORD handle) {
  dialog_.AddResultRow(path, ShownFolder(folder), LoadStringText(IDS_DECRYPTING));
  QueuedFile file(dialog_.CredentialSize(), path, folder, 0);
  ItemStatus prepared = PrepareDecryption(file, checkFlags, handle);
  if (prepared == StatusSuccess && Exists(file.target)) prepared = StatusDestinationExists;
  file.targetWasFree = true;
  if (prepared != StatusSuccess) {
    dialog_.ReportStatus(prepared);
    return prepared;
  }
  file.result = DecryptWithFolderKey(file.record.get(), [this](const std::function<DWORD()>& call) {
    return dialog_.RunLibraryCall(call);
  });
  return FinishDecrypted(file);
}

std::unique_ptr<FolderEngine::FileBatches> FolderEngine::DecryptionBatches() {
  // Two workers: the dialog thread's share, deleting images, is small.
  return std::make_unique<FileBatches>(
      *this, 2,
      [](QueuedFile& file) {
        // The library never replaces a file in the way (it gives StatusDestinationExists).
        return DecryptWithFolderKey(file.record.get(),
                                    [](const std::function<DWORD()>& call) { return call(); });
      },
      [this](QueuedFile& file) {
        dialog_.AddResultRow(file.path, ShownFolder(file.folder), LoadStringText(IDS_DECRYPTING));
        return FinishDecrypted(file);
      });
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
    if (status == StatusSuccess) CProgressCtrl(dialog_.ProgressBar()).StepIt();
    return status;
  }
  auto file = std::make_unique<QueuedFile>(dialog_.CredentialSize(), path, folder, size);
  const ItemStatus prepared = encrypt
                                  ? PrepareEncryption(*file, checkFlags, sink, handle, held, listed)
                                  : PrepareDecryption(*file, checkFlags, handle);
  if (prepared != StatusSuccess) {
    // The files before it are finished and shown first.
    if (const ItemStatus drained = sink.batches->Drain(); drained != StatusSuccess) return drained;
    dialog_.AddResultRow(path, ShownFolder(folder),
                         LoadStringText(encrypt ? IDS_ENCRYPTING : IDS_DECRYPTING));
    dialog_.ReportStatus(prepared);
    return prepared;
  }
  return sink.batches->Add(std::move(file));
}

// ---- A container open in a view ----

bool FolderEngine::OpenRequestContainer() {
  const ContainerArguments& arguments = *dialog_.Request().container;
  auto container = std::make_unique<FolderContainer>();
  std::string root = arguments.directory;
  if (!root.empty() && root.back() != '/') root += '/';
  if (!container->OpenAt(root, arguments.containerPath, arguments.folderId)) return false;
  // A container whose header cannot be read is not open: nothing could go in or out of it,
  // and the preparation pass must not change the dropped items for it.
  StoredHeader header;
  if (!container->GetFolderOptions(header.algorithm, &header.bytes, &header.length)) return false;
  openContainer_ = std::move(container);
  return true;
}

ItemStatus FolderEngine::ProcessInOpenContainer(const std::string& item) {
  protected_ = ProtectedLocations::Read();
  const std::string& containerPath = dialog_.Request().container->containerPath;
  DWORD handle = 0;
  if (const ItemStatus opened =
          OpenFolderHandle(*openContainer_, containerPath, &handle, StatusFileAccessError);
      opened != StatusSuccess)
    return opened;
  const bool encrypt = dialog_.Encrypting();
  std::string work;
  ItemStatus status = StatusSuccess;
  if (encrypt) {
    work = MakeWorkFolder(containerPath);
    if (work.empty()) status = Report(containerPath, StatusFileAccessError);
  }
  Sink sink{openContainer_.get(), work, encrypt ? MakeScratchFolder() : std::string()};
  if (status == StatusSuccess && IsFolder(item)) {
    {
      const auto batches = encrypt ? EncryptionBatches(sink) : DecryptionBatches();
      sink.batches = batches.get();
      FolderHandle held;
      markerFailure_ = StatusSuccess;
      status = held.Open(item.c_str())
                   ? WalkFolder(item, item, encrypt ? Mode::Encrypt : Mode::Decrypt, kCheckAll,
                                sink, handle, held)
                   : Report(item + "/", StatusFileAccessError);
      if (status == StatusSuccess)
        status = batches->Drain();
      else
        (void)batches->Settle();
      if (status == StatusSuccess) status = std::exchange(markerFailure_, StatusSuccess);
      sink.batches = nullptr;
    }
    if (status == StatusSuccess && encrypt && !dialog_.CancelRequested() &&
        !dialog_.Request().keepSource && dialog_.AllReplaced())
      status = DeleteStoredFolder(item).status;
  } else if (status == StatusSuccess) {
    const std::string folder = SplitPath(item).first;
    status = encrypt
                 ? EncryptFileOfFolder(item, folder, FileSize(item), kCheckLocation, sink, handle)
                 : DecryptFileOfFolder(item, folder, kCheckName, handle);
    if (status == StatusSuccess) CProgressCtrl(dialog_.ProgressBar()).StepIt();
  }
  if (!work.empty()) RemoveWorkFolder(work);
  if (!sink.scratchFolder.empty()) RemoveWorkFolder(sink.scratchFolder);
  CloseFolderHandle(handle);
  if (dialog_.CancelRequested()) return StatusCancelled;
  return status;
}
