// Folders and containers of an operation (see FolderEngine.h).
#include "engine/FolderEngine.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/StringTable.h"
#include "engine/EngineFiles.h"
#include "engine/ItemRules.h"
#include "engine/OperationRequest.h"
#include "engine/ProcessFile.h"
#include "platform/Files.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/MachineRoot.h"
#include "platform/Owned.h"
#include "platform/WorkFolders.h"
#include "platform/ui/WindowApi.h"
#include "sharing/SharingAccess.h"
#include "suite/QvFsApi.h"

using namespace engine;

namespace {

constexpr char kDesktopIni[] = "desktop.ini";

// A container up to this size is extracted into memory before it is decrypted to disk.
constexpr std::uint64_t kScratchContainerLimit = 256u << 20;

std::uint64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
    return static_cast<std::uint64_t>(-1);
  return FileSizeOf(data);
}

std::string WithoutContainerSuffix(std::string path) {
  if (HasSuffix(path, kBackupSuffix)) path = WithoutSuffix(path, kBackupSuffix);
  if (HasSuffix(path, kQvefSuffix)) path = WithoutSuffix(path, kQvefSuffix);
  return path;
}

// The header and algorithm name stored in an open container.
struct StoredHeader {
  [[nodiscard]] bool Read(FolderContainer& container) {
    BYTE* read = nullptr;
    const bool ok = container.GetFolderOptions(algorithm, &read, &length) != 0;
    bytes.reset(read);
    return ok;
  }
  FreedPtr<BYTE> bytes;
  DWORD length = 0;
  char algorithm[1024] = {};
};

}  // namespace

namespace {

std::function<void(FolderEngine::TestPoint, const std::string&)>& TestHook() {
  static std::function<void(FolderEngine::TestPoint, const std::string&)> hook;
  return hook;
}

}  // namespace

void FolderEngine::AtTestPoint(TestPoint point, const std::string& path) {
  if (TestHook()) TestHook()(point, path);
}

void FolderEngine::SetTestHook(std::function<void(TestPoint, const std::string&)> hook) {
  TestHook() = std::move(hook);
}

FolderEngine::FolderEngine(OperationSink& operation) : operation_(operation) {
  // What ended operations left (a restore's partial plain files among them) goes first.
  (void)QvSweepWorkFolders();
}

FolderEngine::~FolderEngine() {
  // A group the operation did not finish is committed while its key is still bound, so the
  // container's list takes it; no source is deleted here, so a moved file may stay in both
  // places, never in neither.
  if (fileGroup_.handle != 0) {
    movedSources_.clear();
    if (fileGroup_.batched) (void)openContainer_->Flush();
    openContainer_->Database().UseFolderHandle(0);
    // Not through the operation, which may be ending with this object.
    (void)QVFSCloseHandle(fileGroup_.handle);
  }
  // Nothing this operation still holds is the user's: a source folder that could not go back
  // under its name was let go of already.
  const std::set<std::string> held = heldWorkFolders_;
  for (const std::string& work : held) RemoveWorkFolder(work);
}

std::string FolderEngine::TargetFolderOf(const std::string& containerPath) {
  return WithoutContainerSuffix(containerPath);
}

ItemStatus FolderEngine::Report(const std::string& path, ItemStatus status) {
  operation_.AddResultRow(path, ShownFolder(SplitPath(path).first), std::string());
  operation_.ReportStatus(status);
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
  operation_.ShowFilesRemaining(true);
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
  if (SharingAccessCheck(operation_.UserId(), containerPath) != kSharingAllowed) {
    (void)Report(containerPath, StatusNotAuthorized);
    return false;
  }
  FolderContainer& container = *held;
  const std::string work = MakeWorkFolder(containerPath);
  if (work.empty()) {
    (void)Report(containerPath, StatusDestinationInUse);
    return false;
  }
  operation_.RecordCreatedFolder(work);
  const std::string tree = work + "/" + SplitPath(target).second;
  // Nothing is extracted yet: the rows are checked and counted, so that a damaged container
  // is refused before anything is processed.
  std::size_t images = 0;
  if (!CreateDirectoryA(tree.c_str()) ||
      container.Database().CountImages(&images) != VARIANT_TRUE) {
    const QVDatabase::Failure failure = container.Database().LastFailure();
    RemoveWorkFolder(work);
    if (Exists(work)) (void)Report(target + "/", StatusSourceInUse);
    operation_.ForgetCreatedFolder(work);
    (void)Report(containerPath, StatusOfContainerFailure(failure));
    return false;
  }
  preparedContainers_[containerPath] = Prepared{work, ""};
  restoredContainers_[containerPath] = std::move(held);
  operation_.AddToTotal(images);
  return true;
}

ItemStatus FolderEngine::OpenFolderHandle(FolderContainer& container, const std::string& rowPath,
                                          DWORD* handle, ItemStatus unreadable) {
  StoredHeader header;
  if (!header.Read(container)) return Report(rowPath, unreadable);
  Credentials credentials(operation_.CredentialSize());
  if (!credentials.Fill(operation_.KeyName(), operation_.KeyLabel()))
    return Report(rowPath, StatusMemoryError);
  const std::string keyName = operation_.KeyName();
  const KeyRecord& key = operation_.Key();
  const DWORD result = operation_.RunLibraryCall([&] {
    return QVFSInitFolderDecryption(header.bytes.get(), header.length, keyName.c_str(),
                                    keyName.c_str(), key.blob, key.blobLength, credentials.Data(),
                                    credentials.LengthPointer(), handle);
  });
  if (result == StatusCancelled) {
    if (*handle != 0) (void)QVFSCloseHandle(*handle);
    *handle = 0;
    return StatusCancelled;
  }
  if (result != StatusSuccess) return Report(rowPath, static_cast<ItemStatus>(result));
  TrustFolderOwner(operation_.UserId(), header.bytes.get(), header.length, *handle);
  return StatusSuccess;
}

ItemStatus FolderEngine::CheckFileList(FolderContainer& container, const std::string& rowPath,
                                       DWORD handle) {
  QVDatabase& database = container.Database();
  database.UseFolderHandle(handle);
  switch (database.CheckFileList()) {
    case QVDatabase::FileListCheck::Verified:
    case QVDatabase::FileListCheck::Unverified:
      firstBoundEntry_ = database.FirstBoundEntry();
      return StatusSuccess;
    case QVDatabase::FileListCheck::Changed:
      break;
    case QVDatabase::FileListCheck::Unreadable:
      database.UseFolderHandle(0);
      return Report(rowPath, StatusFileAccessError);
  }
  // Nothing is taken out of or put into a container whose rows are not those it listed.
  database.UseFolderHandle(0);
  return Report(rowPath, StatusIntegrityError);
}

ItemStatus FolderEngine::OpenCheckedFolderHandle(FolderContainer& container,
                                                 const std::string& rowPath, DWORD* handle,
                                                 ItemStatus unreadable) {
  if (const ItemStatus opened = OpenFolderHandle(container, rowPath, handle, unreadable);
      opened != StatusSuccess)
    return opened;
  if (const ItemStatus listed = CheckFileList(container, rowPath, *handle);
      listed != StatusSuccess) {
    CloseFolderHandle(*handle);
    *handle = 0;
    return listed;
  }
  return StatusSuccess;
}

void FolderEngine::CloseFolderHandle(DWORD handle) {
  if (handle == 0) return;
  (void)operation_.RunLibraryCall([handle] { return QVFSCloseHandle(handle); });
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
  const std::string target = TargetFolderOf(containerPath);
  const std::string tree = work + "/" + SplitPath(target).second;

  DWORD handle = 0;
  const auto held = restoredContainers_.find(containerPath);
  if (held == restoredContainers_.end()) return Report(containerPath, StatusContainerError);
  if (const ItemStatus opened = OpenCheckedFolderHandle(*held->second, containerPath, &handle);
      opened != StatusSuccess)
    return opened;
  // The images decrypted from files wait in memory when the container is small enough, else
  // in a second work folder beside it.
  std::string images;
  if (FileSize(containerPath) <= kScratchContainerLimit) images = MakeScratchFolder();
  if (images.empty()) images = MakeWorkFolder(containerPath);
  prepared->second.images = images;
  shownTrees_[tree] = target;
  ItemStatus status = StatusSuccess;
  if (images.empty()) {
    status = Report(containerPath, StatusDestinationInUse);
  } else {
    restoringIntoWorkFolder_ = true;
    status = RestoreContainer(containerPath, *held->second, images + "/" + SplitPath(target).second,
                              tree, handle);
    restoringIntoWorkFolder_ = false;
  }
  held->second->Database().UseFolderHandle(0);
  CloseFolderHandle(handle);
  imagePlaces_.clear();
  shownTrees_.erase(tree);
  if (!images.empty()) RemoveWorkFolder(images);
  prepared->second.images.clear();
  if (operation_.CancelRequested()) return StatusCancelled;
  if (status != StatusSuccess) return status;

  // Every restored file is on disk before the folder gets the name the user knows, and the
  // container is deleted only at the end of the operation, after that.
  const auto [parent, name] = SplitPath(target);
  if (!FlushVolumeOfPathA(tree.c_str())) return Report(target + "/", StatusDestinationInUse);
  if (MoveFileExA(tree.c_str(), target.c_str(), 0) == FALSE)
    return Report(target + "/", StatusDestinationExists);
  (void)FlushPathBuffersA(parent.c_str());
  operation_.RecordCreatedFolder(target);
  RestoreFolderFacts(containerPath, target);
  RemoveWorkFolder(work);
  if (!Exists(work)) operation_.ForgetCreatedFolder(work);
  preparedContainers_.erase(containerPath);
  if (Exists(target + "/" + kDesktopIni)) {
    const DWORD attributes = GetFileAttributesA(target.c_str());
    (void)SetFileAttributesA(target.c_str(), attributes | FILE_ATTRIBUTE_SYSTEM);
  }
  return StatusSuccess;
}

ItemStatus FolderEngine::StatusOfContainerFailure(QVDatabase::Failure failure) {
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
  Credentials credentials(operation_.CredentialSize());
  std::vector<BYTE> header(kFolderHeaderCapacity);
  if (!credentials.Fill(operation_.KeyName(), operation_.KeyLabel()))
    return Report(folder + "/", StatusMemoryError);

  DWORD handle = 0;
  DWORD headerLength = kFolderHeaderCapacity;
  EncryptAlgoInfo algorithm = operation_.Algorithm();
  const std::string keyName = operation_.KeyName();
  const KeyRecord& key = operation_.Key();
  const DWORD started = operation_.RunLibraryCall([&] {
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
      container.Database().UseFolderHandle(handle);
      // The new container is flushed once at the end, so its adds can share one transaction.
      (void)container.Database().BeginBatchedAdds();
      Sink sink{&container, work, MakeScratchFolder()};
      status = WalkInBatches(folder, folder, Mode::Encrypt, sink, handle, folder + "/",
                             StatusFileAccessError);
      if (!sink.scratchFolder.empty()) RemoveWorkFolder(sink.scratchFolder);
      if (operation_.CancelRequested()) status = StatusCancelled;
      if (status == StatusSuccess && !container.Flush())
        status = Report(containerPath, StatusDestinationInUse);
    }
    container.Close();
    container.Database().UseFolderHandle(0);
  }
  CloseFolderHandle(handle);

  if (status == StatusSuccess) {
    // The container is whole and on disk: it takes its name (never over one that appeared
    // meanwhile), the name is made durable, and only then does the folder go.
    if (MoveFileExA(building.c_str(), containerPath.c_str(), 0) == FALSE) {
      status = Report(containerPath, StatusDirectoryAlreadyEncrypted);
    } else {
      (void)FlushPathBuffersA(parent.c_str());
      ApplyDelegateSharing(operation_.UserId(), containerPath);
    }
  }
  RemoveWorkFolder(work);
  if (status != StatusSuccess || operation_.Request().keepSource) return status;
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

// ---- A container open in a view ----

bool FolderEngine::OpenRequestContainer() {
  const ContainerArguments& arguments = *operation_.Request().container;
  auto container = std::make_unique<FolderContainer>();
  std::string root = arguments.directory;
  if (!root.empty() && root.back() != '/') root += '/';
  if (!container->OpenAt(root, arguments.containerPath, arguments.folderId)) return false;
  // A container whose header cannot be read is not open: nothing could go in or out of it,
  // and the preparation pass must not change the dropped items for it.
  StoredHeader header;
  if (!header.Read(*container)) return false;
  openContainer_ = std::move(container);
  return true;
}

ItemStatus FolderEngine::ProcessInOpenContainer(const std::string& item) {
  if (operation_.Request().encrypt && !IsFolder(item)) return StoreFileInOpenContainer(item);
  // A folder takes the container's key and transactions for itself: the files before it are
  // committed first.
  if (const ItemStatus finished = FinishOpenContainerFiles(); finished != StatusSuccess)
    return finished;
  protected_ = ProtectedLocations::Read();
  const std::string& containerPath = operation_.Request().container->containerPath;
  DWORD handle = 0;
  if (const ItemStatus opened =
          OpenCheckedFolderHandle(*openContainer_, containerPath, &handle, StatusFileAccessError);
      opened != StatusSuccess)
    return opened;
  const bool encrypt = operation_.Request().encrypt;
  placesByName_.clear();
  if (!encrypt && openContainer_->Database().ListPlaces(
                      [this](const std::string& name, const std::string& storedPath, DWORD fileId) {
                        placesByName_.emplace(name, std::make_pair(storedPath, fileId));
                      }) != VARIANT_TRUE) {
    openContainer_->Database().UseFolderHandle(0);
    CloseFolderHandle(handle);
    return Report(containerPath, StatusFileAccessError);
  }
  std::string work;
  ItemStatus status = StatusSuccess;
  if (encrypt) {
    work = MakeWorkFolder(containerPath);
    if (work.empty()) status = Report(containerPath, StatusFileAccessError);
  }
  Sink sink{openContainer_.get(), work, encrypt ? MakeScratchFolder() : std::string()};
  const bool keepSource = operation_.Request().keepSource;
  const bool isFolder = status == StatusSuccess && IsFolder(item);
  // A folder's files share transactions, committed in bounded parts and at the end; the
  // sources of a moved folder's files go only after that end. (Files stored on their own are
  // grouped across items by StoreFileInOpenContainer.)
  bool batched = status == StatusSuccess && encrypt && isFolder &&
                 openContainer_->Database().BeginBatchedAdds() == VARIANT_TRUE;
  sink.deferSourceDeletion = batched && !keepSource;
  movedSources_.clear();
  // Commits what the batch holds while the folder handle is bound, so that the container's
  // list of files takes it in the same transaction; then the moved files whose images it
  // holds go. Also after a failure or a Cancel: every file reported stored must be in the
  // container, and none of them left behind as well.
  const auto commitBatch = [&] {
    if (!batched) return;
    batched = false;
    if (!openContainer_->Flush()) {
      // Nothing is known to be stored any more: no source goes.
      movedSources_.clear();
      const ItemStatus lost = Report(containerPath, StatusFileAccessError);
      if (status == StatusSuccess) status = lost;
      return;
    }
    if (const ItemStatus deleted = DeleteMovedSources();
        deleted != StatusSuccess && status == StatusSuccess)
      status = deleted;
  };
  if (isFolder) {
    status = WalkInBatches(item, item, encrypt ? Mode::Encrypt : Mode::Decrypt, sink, handle,
                           item + "/", StatusFileAccessError);
    // Nothing of the source goes before the container holds it durably.
    commitBatch();
    if (status == StatusSuccess && encrypt && !operation_.CancelRequested() && !keepSource &&
        operation_.AllReplaced())
      status = DeleteStoredFolder(item).status;
  } else if (status == StatusSuccess) {
    // Files to store were taken by StoreFileInOpenContainer: this is an image to decrypt.
    status = DecryptFileOfFolder(item, SplitPath(item).first, kCheckName, handle);
    if (status == StatusSuccess) operation_.StepProgress();
  }
  if (!work.empty()) RemoveWorkFolder(work);
  if (!sink.scratchFolder.empty()) RemoveWorkFolder(sink.scratchFolder);
  commitBatch();
  openContainer_->Database().UseFolderHandle(0);
  CloseFolderHandle(handle);
  if (operation_.CancelRequested()) return StatusCancelled;
  return status;
}

ItemStatus FolderEngine::StoreFileInOpenContainer(const std::string& item) {
  const std::string& containerPath = operation_.Request().container->containerPath;
  if (fileGroup_.handle == 0) {
    protected_ = ProtectedLocations::Read();
    DWORD handle = 0;
    if (const ItemStatus opened =
            OpenCheckedFolderHandle(*openContainer_, containerPath, &handle, StatusFileAccessError);
        opened != StatusSuccess)
      return opened;
    std::string work = MakeWorkFolder(containerPath);
    if (work.empty()) {
      openContainer_->Database().UseFolderHandle(0);
      CloseFolderHandle(handle);
      return Report(containerPath, StatusFileAccessError);
    }
    movedSources_.clear();
    fileGroup_.handle = handle;
    fileGroup_.work = std::move(work);
    fileGroup_.scratch = MakeScratchFolder();
    fileGroup_.batched = openContainer_->Database().BeginBatchedAdds() == VARIANT_TRUE;
  }
  Sink sink{openContainer_.get(), fileGroup_.work, fileGroup_.scratch};
  // Without a batch each add commits alone, and a moved file's source goes at once.
  sink.deferSourceDeletion = fileGroup_.batched && !operation_.Request().keepSource;
  const ItemStatus status = EncryptFileOfFolder(item, SplitPath(item).first, FileSize(item),
                                                kCheckLocation, sink, fileGroup_.handle);
  if (status == StatusSuccess) operation_.StepProgress();
  AtTestPoint(TestPoint::FileStored, item);
  if (operation_.CancelRequested()) return StatusCancelled;
  return status;
}

ItemStatus FolderEngine::FinishOpenContainerFiles() {
  if (fileGroup_.handle == 0) return StatusSuccess;
  FileGroup group = std::move(fileGroup_);
  fileGroup_ = FileGroup{};
  ItemStatus status = StatusSuccess;
  // The commit runs while the folder handle is bound, so the container's list of files takes
  // the group in the same transaction; only then do the moved files' sources go.
  if (group.batched) {
    if (!openContainer_->Flush()) {
      movedSources_.clear();
      status = Report(operation_.Request().container->containerPath, StatusFileAccessError);
    } else {
      status = DeleteMovedSources();
    }
  }
  RemoveWorkFolder(group.work);
  if (!group.scratch.empty()) RemoveWorkFolder(group.scratch);
  openContainer_->Database().UseFolderHandle(0);
  CloseFolderHandle(group.handle);
  return status;
}
