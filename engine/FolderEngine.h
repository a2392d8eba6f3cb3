// The folder half of an operation: a folder into one container
// "<folder>.qvef" beside it, a container back into its folder, the encryption walk's
// in-place decryption of containers found inside a folder, and operations on a container
// open in a view (files dropped into it, encrypted copies taken out of it).
//
// Nothing is named as a result before it is whole and on disk. A folder is encrypted into a
// container built in a hidden work folder beside it (".<name>.qvef-work-XXXXXX"), with the
// encrypted image of each file written there too, so the folder itself is never changed; the
// container gets its final name only after it has been flushed, and only then is the folder
// deleted. A container is restored into the same kind of work folder, which is flushed and
// then renamed to the folder's name; the container, held against other writers from before its
// extraction, is deleted at the end of the operation, and only when it is still what was
// restored (anything added meanwhile would otherwise be lost with it).
// A crash therefore leaves at most a hidden work folder, never a partial result under a name
// the user knows, and never a source that lost data.
//
// Only what was stored is ever deleted. The walk holds each folder open and descends through
// those handles without following links, and each file is read through a descriptor opened
// from its folder's handle, so nothing outside the folder is read even when a subfolder is
// swapped for a link while the walk runs. What each file was when it was read (its identity,
// size and times) is kept, and the source folder (moved aside whole first) is deleted only
// when every entry in it was stored, is unchanged since and can be deleted: otherwise nothing
// is deleted, the container just made goes instead and the rows say why. A file that changes
// while the tree is being deleted is checked on the descriptor its delete goes through, and
// stays under the folder's name with what is left of the tree. A name the container keeps for
// itself (its empty-folder marker) is refused with its row, never deleted.
//
// Work folders are recorded in the machine root and held by this process while in use (see
// platform/WorkFolders.h): every operation, and every program of the suite when it starts,
// removes the recorded ones whose process has ended, wherever they are. A folder that only
// looks like a work folder is never touched. Cancel (and the signals a program treats as
// Cancel) removes this operation's own work folders before it ends.
//
// FolderEngine.cpp holds the operations themselves; FolderEngineWalks.cpp the walks over a
// tree, FolderEngineBatches.cpp a folder's files one by one or in batches of small ones, and
// FolderEngineWorkFolders.cpp the work folders and the deletion of a stored source tree.
//
// Dialog thread only; the library calls run on workers through the operation's sink.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/ItemStatus.h"
#include "container/FolderContainer.h"
#include "engine/EngineWorker.h"
#include "engine/ItemRules.h"
#include "engine/OperationSink.h"
#include "platform/Files.h"
#include "platform/WinTypes.h"

class FolderEngine {
 public:
  explicit FolderEngine(OperationSink& operation);
  ~FolderEngine();
  FolderEngine(const FolderEngine&) = delete;
  FolderEngine& operator=(const FolderEngine&) = delete;

  // ---- Preparation pass ----

  // The encryption walk of `path` (a folder, or a container or ".qvf" file to decrypt in
  // place first): adds the files it will encrypt to the sink's total. False (after a row)
  // when the walk failed.
  [[nodiscard]] bool WalkForEncryption(const std::string& path);
  // Checks the container at `containerPath` and extracts its images into a work folder;
  // adds its files to the total and the container to the decrypted containers. False (after
  // a row) when the operation must end.
  [[nodiscard]] bool PrepareContainerDecryption(const std::string& containerPath);

  // ---- Processing pass ----

  [[nodiscard]] ItemStatus EncryptFolder(const std::string& folder);
  [[nodiscard]] ItemStatus DecryptContainer(const std::string& containerPath);

  // ---- Operations on a container open in a view ----

  // Opens the request's container; false (after a row) when it does not open.
  [[nodiscard]] bool OpenRequestContainer();
  bool HasOpenContainer() const { return openContainer_ != nullptr; }
  // One item of the processing pass of such an operation. Files stored on their own (not in a
  // folder) share the container's transactions across items, as a folder's files do: the
  // folder key stays bound and the last commit waits for FinishOpenContainerFiles (or for the
  // next folder item), and the sources of moved files go only after the commit that holds them.
  [[nodiscard]] ItemStatus ProcessInOpenContainer(const std::string& item);
  // Commits what the files stored on their own still wait for, then deletes the sources of
  // those moved (each only while unchanged) and lets go of the folder key. Called after the
  // last item, and also after a failure or a Cancel: every file reported stored is then in
  // the container and none of them left behind as well. A failed commit deletes no source and
  // is the result (after a row). StatusSuccess when nothing waits.
  [[nodiscard]] ItemStatus FinishOpenContainerFiles();

  // Removes every work folder still left by this operation (failure or cancel).
  void RemoveWorkFolders();

  // ---- The containers restored by this operation ----

  // Each is held against writers from before its extraction until it is deleted or let go,
  // so nothing another process adds to it meanwhile can be deleted with it.
  bool HoldsRestoredContainer(const std::string& path) const {
    return restoredContainers_.count(path) != 0;
  }
  // Deletes the restored container at `path`, but only when it is still exactly what was
  // extracted; otherwise it stays where it is and a row says so. True when it is gone (also
  // when something else removed it meanwhile).
  [[nodiscard]] bool DeleteRestoredContainer(const std::string& path);
  // The same for every container still held; the paths of those kept.
  std::vector<std::string> DeleteRestoredContainers();
  // Lets go of every held container, which stays as it is (failure or cancel).
  void ReleaseRestoredContainers() { restoredContainers_.clear(); }

  // The folder a container restores into: its path without ".qvef", or without
  // ".qvef.quorvinencryptedtempfile" for a container moved aside by the walk.
  static std::string TargetFolderOf(const std::string& containerPath);

  // Tests only: `hook` runs at each such moment of every operation (with the folder or file
  // it concerns), so that a test can change the disk or press a button at exactly that
  // moment; it must be safe to call from a worker thread. Empty: none.
  enum class TestPoint {
    FolderListed,    // the processing walk has listed a folder and not yet gone through it
    SourceDeletion,  // a stored source folder is about to be deleted
    BatchStarted,    // a batch of small files (the first named) was handed to the workers
    FileProcessed,   // the library has handled a file of a batch (on the worker's thread)
    FileStored,      // a file stored on its own into an open container (its source not yet gone)
  };
  static void SetTestHook(std::function<void(TestPoint, const std::string&)> hook);

 private:
  // A folder that is not there or cannot be listed: the library's unknown-error result.
  static constexpr auto kFolderNotListed = static_cast<ItemStatus>(9);

  static void AtTestPoint(TestPoint point, const std::string& path);

  enum class Mode { Encrypt, Decrypt };
  class FileBatches;
  // What a walk writes into: the container the images go to and the folder they are written
  // in while they wait for it.
  struct Sink {
    FolderContainer* container = nullptr;
    std::string imageFolder;    // on the disk, beside the folder
    std::string scratchFolder;  // in memory, for small images; empty when there is none
    // Where small files wait to be encrypted together; none: each file on its own.
    FileBatches* batches = nullptr;
    // A move into a container open in a view whose adds share transactions: each stored file
    // is deleted only once the container holds it durably (see DeleteMovedSources).
    bool deferSourceDeletion = false;
  };
  struct QueuedFile;
  // A container prepared for decryption: its work folder beside it, and the folder where its
  // images decrypted from files wait while it is restored.
  struct Prepared {
    std::string work;
    std::string images;
  };

  // The encryption walk of `path`, whose attributes the caller has read; `folder` holds it
  // open when it is a folder.
  [[nodiscard]] bool WalkForEncryption(const std::string& path, DWORD attributes,
                                       const FolderHandle& folder);
  // Walks `folder` (see WalkFolder) with its small files in batches, which are drained when
  // the walk succeeded and settled when it did not; a folder that does not open gives a row
  // for `unlistedRow` with `unlisted`. A folder whose empty-folder marker could not be stored
  // fails the walk at its end.
  [[nodiscard]] ItemStatus WalkInBatches(const std::string& folder, const std::string& output,
                                         Mode mode, Sink& sink, DWORD handle,
                                         const std::string& unlistedRow, ItemStatus unlisted);
  // The row of a container that did not open or could not be restored, by what went wrong.
  [[nodiscard]] static ItemStatus StatusOfContainerFailure(QVDatabase::Failure failure);
  // Restores the container at `containerPath`, held open as `container` with its folder
  // `handle`, into `tree`: its small images are decrypted from memory as the extraction hands
  // them over, and the others, which it writes below `imageTree`, once it is done.
  [[nodiscard]] ItemStatus RestoreContainer(const std::string& containerPath,
                                            FolderContainer& container,
                                            const std::string& imageTree, const std::string& tree,
                                            DWORD handle);
  // Queues an image handed over in memory by the extraction of `imageTree` for decryption into
  // the same place below `tree` (its folders made there as needed, recorded in `made`).
  [[nodiscard]] ItemStatus QueueImageInMemory(QVDatabase::ExtractedImage& image,
                                              const std::string& imageTree, const std::string& tree,
                                              DWORD handle, FileBatches& batches,
                                              std::set<std::string>* made);
  // Extracts and decrypts a container found by the encryption walk in place; false on failure.
  [[nodiscard]] bool DecryptContainerInPlace(const std::string& containerPath);
  // Walks `folder`, which `held` holds open: it descends through handles, so nothing
  // outside the folder is read even when a subfolder is replaced by a link meanwhile.
  // Decrypted files go to the same place in `output` (folders made as needed), which is
  // `folder` itself unless the images wait elsewhere.
  [[nodiscard]] ItemStatus WalkFolder(const std::string& folder, const std::string& output,
                                      Mode mode, DWORD checkFlags, const Sink& sink, DWORD handle,
                                      const FolderHandle& held);
  // A file of `size` bytes on its own, its row first. `held` (its folder) and `listed` (its
  // entry) come from the walk; without them the file's folder is opened by its path.
  [[nodiscard]] ItemStatus EncryptFileOfFolder(const std::string& path, const std::string& folder,
                                               std::uint64_t size, DWORD checkFlags,
                                               const Sink& sink, DWORD handle,
                                               const FolderHandle* held = nullptr,
                                               const FOLDER_ENTRY* listed = nullptr);
  // A file of a folder (`size` bytes as listed) through the sink's batches when it is small
  // enough, else on its own; `folder` is where a decrypted file goes.
  [[nodiscard]] ItemStatus ProcessOrQueue(Mode mode, const std::string& path,
                                          const std::string& folder, std::uint64_t size,
                                          DWORD checkFlags, const Sink& sink, DWORD handle,
                                          const FolderHandle* held = nullptr,
                                          const FOLDER_ENTRY* listed = nullptr);
  // Report's row after the rows of the files still waiting in `batches` (when given), which
  // are finished first; the first failure among those wins.
  [[nodiscard]] ItemStatus ReportAfterBatches(FileBatches* batches, const std::string& path,
                                              ItemStatus status);
  // The row of a file of a batched walk refused before the library saw it, with `status`,
  // after the rows of the files queued before it.
  [[nodiscard]] ItemStatus ShowRefused(Mode mode, const std::string& path,
                                       const std::string& folder, ItemStatus status,
                                       FileBatches* batches);
  // Decrypts from a file an image handed over in memory that the library would not decrypt
  // from memory (file.result 12): written out by `container`, decrypted and deleted again.
  void DecryptFromExtractedImage(QueuedFile& file, FolderContainer& container);
  // Batches that store encrypted images into the sink's container, or that decrypt images.
  [[nodiscard]] std::unique_ptr<FileBatches> EncryptionBatches(const Sink& sink);
  // `restoring`: the container being restored, from which an image handed over in memory that
  // must be decrypted from a file after all is written out.
  [[nodiscard]] std::unique_ptr<FileBatches> DecryptionBatches(
      FolderContainer* restoring = nullptr);
  // The checks of a file to encrypt, the file opened for the library (see EncryptFileOfFolder
  // for `held` and `listed`) and its library record; a failed check gives its status.
  [[nodiscard]] ItemStatus PrepareEncryption(QueuedFile& file, DWORD checkFlags, const Sink& sink,
                                             DWORD handle, const FolderHandle* held,
                                             const FOLDER_ENTRY* listed);
  // Stores the image the library made of `file` (its result in file.result) into the sink's
  // container and reports the status into the file's row, which the caller has added.
  [[nodiscard]] ItemStatus StoreEncrypted(QueuedFile& file, const Sink& sink);
  // The checks of an image to decrypt, its plain file's path and its library record.
  [[nodiscard]] ItemStatus PrepareDecryption(QueuedFile& file, DWORD checkFlags, DWORD handle);
  // Deletes the image the library decrypted (file.result) and reports the status into the
  // file's row, which the caller has added.
  [[nodiscard]] ItemStatus FinishDecrypted(QueuedFile& file);
  [[nodiscard]] ItemStatus DecryptFileOfFolder(const std::string& path, const std::string& folder,
                                               DWORD checkFlags, DWORD handle);
  // Opens a folder handle from a container's stored header; a row reports a failure.
  // `unreadable` is the status of a header that cannot be read.
  [[nodiscard]] ItemStatus OpenFolderHandle(FolderContainer& container, const std::string& rowPath,
                                            DWORD* handle,
                                            ItemStatus unreadable = StatusContainerError);
  void CloseFolderHandle(DWORD handle);
  // A new hidden work folder beside `besidePath`, held by this operation; empty when none can
  // be made. Work folders of ended operations for the same name are removed first.
  std::string MakeWorkFolder(const std::string& besidePath);
  // A new work folder in memory (see QvScratchDir); empty when there is none.
  std::string MakeScratchFolder();
  std::string MakeWorkFolderIn(const std::string& parent, const std::string& prefix);
  // What deleting a stored source folder came to: the status of the rows it added, and
  // whether the folder is whole under its name (nothing was deleted).
  struct SourceDeletion {
    ItemStatus status = StatusSuccess;
    bool untouched = false;
  };
  // Deletes a source folder that is now stored, moved into a work folder beside it first so
  // that it is never left half deleted under its name. Only what was stored and has not
  // changed since goes: when anything else is there (written or made while the operation
  // ran) or anything cannot be deleted, nothing is deleted and the rows say why; what changes
  // while the tree goes stays under the folder's name.
  [[nodiscard]] SourceDeletion DeleteStoredFolder(const std::string& folder);
  // Collects what is in the way of deleting the tree `held` (known to the user as
  // `original`): entries not stored or changed since, and the first that cannot be deleted.
  void PlanDeletion(const FolderHandle& held, const std::string& original,
                    std::vector<std::string>* changed, std::string* blocked) const;
  bool IsStoredUnchanged(const std::string& path, const FILE_IDENTITY& now) const;
  // Deletes the stored entries of the tree `held`, with a worker taking half of its
  // subfolders; what changed meanwhile is kept and listed in `kept`.
  void DeleteStored(const FolderHandle& held, const std::string& original,
                    std::vector<std::string>* kept);
  void DeleteStoredEntry(const FolderHandle& held, const std::string& original,
                         const FOLDER_ENTRY& entry, std::vector<std::string>* kept) const;
  // Removes a work folder made by MakeWorkFolder and lets go of it.
  void RemoveWorkFolder(const std::string& work);
  // The row folder the user knows for a path inside a restore's work tree.
  std::string ShownFolder(const std::string& folder) const;
  ItemStatus Report(const std::string& path, ItemStatus status);

  OperationSink& operation_;
  std::unique_ptr<FolderContainer> openContainer_;
  // Containers prepared for decryption, by container path.
  std::map<std::string, Prepared> preparedContainers_;
  // Containers extracted by this operation, open and held against writers, by path.
  std::map<std::string, std::unique_ptr<FolderContainer>> restoredContainers_;
  // Work trees being decrypted: tree path -> the folder it becomes.
  std::map<std::string, std::string> shownTrees_;
  // Work folders of this operation.
  std::set<std::string> heldWorkFolders_;
  // Where each image of the container being restored was stored (its stored path and entry
  // id), by the path it was extracted to: a bound image opens only at its place. Entries below
  // firstBoundEntry_ may hold images of the older format, which carry no place.
  std::map<std::string, std::pair<std::string, DWORD>> imagePlaces_;
  ULONGLONG firstBoundEntry_ = 0;
  // For images taken out of a container open in a view: the places of its entries by stored
  // name. Such an image is tried at each entry of its name; it opens only at its own.
  std::multimap<std::string, std::pair<std::string, DWORD>> placesByName_;
  // Attaches `handle` to the container and checks the container's list of files against its
  // rows: StatusSuccess, or the row's status (reported) when the list says the rows were
  // changed outside the program.
  [[nodiscard]] ItemStatus CheckFileList(FolderContainer& container, const std::string& rowPath,
                                         DWORD handle);
  // OpenFolderHandle, then CheckFileList under the new handle; on a failure the handle is
  // closed again (0) and the reported status returned.
  [[nodiscard]] ItemStatus OpenCheckedFolderHandle(FolderContainer& container,
                                                   const std::string& rowPath, DWORD* handle,
                                                   ItemStatus unreadable = StatusContainerError);
  // What the encryption walk stored, by path, as it was when read: only these are deleted.
  std::map<std::string, FILE_IDENTITY> storedFiles_;
  std::map<std::string, FILE_IDENTITY> storedFolders_;
  std::uint64_t imageCounter_ = 0;
  // Set while a container is restored into its work folder: the library may make each plain
  // file under its name at once there (see kDecryptIntoOwnFolder).
  bool restoringIntoWorkFolder_ = false;
  // The first folder of the current walk whose empty-folder marker could not be stored: the
  // walk goes on and the item fails with it at the end.
  ItemStatus markerFailure_ = StatusSuccess;
  // Read at the start of each item and used for all of its files.
  ProtectedLocations protected_;
  // Files moved into a container open in a view whose adds share transactions: stored, and
  // waiting for the commit that makes them durable before their sources go.
  struct MovedSource {
    std::string path;
    std::string folder;
    FILE_IDENTITY identity;
  };
  std::vector<MovedSource> movedSources_;
  // The files stored on their own into the open container, between the first of them and
  // FinishOpenContainerFiles: the folder handle bound to the container, whether their adds
  // share a batch, and the work folders their images are written in.
  struct FileGroup {
    DWORD handle = 0;
    bool batched = false;
    std::string work;
    std::string scratch;
  };
  FileGroup fileGroup_;
  // A file stored on its own into the open container, in the file group (begun when needed).
  [[nodiscard]] ItemStatus StoreFileInOpenContainer(const std::string& item);
  // Deletes the moved file `path` of `folder` when it is still what was read (`identity`).
  [[nodiscard]] ItemStatus DeleteMovedSource(const std::string& path, const std::string& folder,
                                             const FILE_IDENTITY& identity);
  // Deletes the sources of movedSources_ (each only while nobody changed it since it was
  // read), a row for each that stays; the status of the first that failed.
  [[nodiscard]] ItemStatus DeleteMovedSources();
};
