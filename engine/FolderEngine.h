// The folder half of the progress dialog's operation: a folder into one container
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
// the user knows, and never a source that lost data. Each work folder is held by a named
// mutex of its own while it is in use; the next operation beside it removes the ones whose
// mutex nobody holds any more (their process ended).
//
// Dialog thread only; the library calls run on workers through the dialog.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "container/FolderContainer.h"
#include "core/ItemStatus.h"
#include "engine/EngineWorker.h"
#include "engine/ItemRules.h"
#include "platform/WinTypes.h"

class CProgressDlg;

class FolderEngine {
 public:
  explicit FolderEngine(CProgressDlg& dialog);
  ~FolderEngine();
  FolderEngine(const FolderEngine&) = delete;
  FolderEngine& operator=(const FolderEngine&) = delete;

  // ---- Preparation pass ----

  // The encryption walk of `path` (a folder, or a container or ".qvf" file to decrypt in
  // place first): adds the files it will encrypt to the dialog's total. False (after a row)
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
  // One item of the processing pass of such an operation.
  [[nodiscard]] ItemStatus ProcessInOpenContainer(const std::string& item);

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

 private:
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
  };
  struct QueuedFile;
  // A container prepared for decryption: its work folder beside it, and the folder in memory
  // where its images wait (empty when they wait in the restored folder itself).
  struct Prepared {
    std::string work;
    std::string images;
  };

  // The encryption walk of `path`, whose attributes the caller has read.
  [[nodiscard]] bool WalkForEncryption(const std::string& path, DWORD attributes);
  // Extracts and decrypts a container found by the encryption walk in place; false on failure.
  [[nodiscard]] bool DecryptContainerInPlace(const std::string& containerPath);
  // Walks `folder`; decrypted files go to the same place in `output` (folders made as
  // needed), which is `folder` itself unless the images wait elsewhere.
  [[nodiscard]] ItemStatus WalkFolder(const std::string& folder, const std::string& output,
                                      Mode mode, DWORD checkFlags, const Sink& sink, DWORD handle);
  // A file of `size` bytes on its own, its row first.
  [[nodiscard]] ItemStatus EncryptFileOfFolder(const std::string& path, const std::string& folder,
                                               std::uint64_t size, DWORD checkFlags,
                                               const Sink& sink, DWORD handle);
  // A file of a folder (`size` bytes as listed) through the sink's batches when it is small
  // enough, else on its own; `folder` is where a decrypted file goes.
  [[nodiscard]] ItemStatus ProcessOrQueue(Mode mode, const std::string& path,
                                          const std::string& folder, std::uint64_t size,
                                          DWORD checkFlags, const Sink& sink, DWORD handle);
  // Batches that store encrypted images into the sink's container, or that decrypt images.
  [[nodiscard]] std::unique_ptr<FileBatches> EncryptionBatches(const Sink& sink);
  [[nodiscard]] std::unique_ptr<FileBatches> DecryptionBatches();
  // The checks of a file to encrypt and its library record; a failed check gives its status.
  [[nodiscard]] ItemStatus PrepareEncryption(QueuedFile& file, DWORD checkFlags, const Sink& sink,
                                             DWORD handle);
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
  [[nodiscard]] ItemStatus OpenFolderHandle(FolderContainer& container, const std::string& rowPath,
                                            DWORD* handle);
  void CloseFolderHandle(DWORD handle);
  // A new hidden work folder beside `besidePath`, held by this operation; empty when none can
  // be made. Work folders of ended operations for the same name are removed first.
  std::string MakeWorkFolder(const std::string& besidePath);
  // A new work folder in memory (see QvScratchDir); empty when there is none.
  std::string MakeScratchFolder();
  std::string MakeWorkFolderIn(const std::string& parent, const std::string& prefix);
  // Deletes a source folder that is now stored: moved into a work folder beside it first, so
  // that it is never left half deleted under its name. False when some of it stays.
  [[nodiscard]] bool DeleteFolderWhole(const std::string& folder);
  // Deletes a tree (links are not followed) with a worker deleting half of its subfolders:
  // deleting many files is mostly waiting on the file system, which two threads do faster.
  [[nodiscard]] bool DeleteTree(const std::string& tree);
  // Removes a work folder made by MakeWorkFolder and lets go of it.
  void RemoveWorkFolder(const std::string& work);
  void RemoveStaleWorkFolders(const std::string& parent, const std::string& prefix);
  // The row folder the user knows for a path inside a restore's work tree.
  std::string ShownFolder(const std::string& folder) const;
  ItemStatus Report(const std::string& path, ItemStatus status);

  CProgressDlg& dialog_;
  std::unique_ptr<FolderContainer> openContainer_;
  // Containers prepared for decryption, by container path.
  std::map<std::string, Prepared> preparedContainers_;
  // Containers extracted by this operation, open and held against writers, by path.
  std::map<std::string, std::unique_ptr<FolderContainer>> restoredContainers_;
  // Work trees being decrypted: tree path -> the folder it becomes.
  std::map<std::string, std::string> shownTrees_;
  // Work folders of this operation -> the mutex that marks them as in use.
  std::map<std::string, HANDLE> heldWorkFolders_;
  std::uint64_t imageCounter_ = 0;
  // Read at the start of each item and used for all of its files.
  ProtectedLocations protected_;
};
