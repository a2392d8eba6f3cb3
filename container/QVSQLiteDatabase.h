// QVSQLiteDatabase: the container store behind QVDatabase. It implements every operation
// against a container file (see docs/formats-container.md) through SQLite's C interface:
// it turns encrypted file images into rows and 1 MiB blocks and rows and blocks back into
// files with their times.
//
// Every operation that writes runs in one transaction, so a failure at any step leaves the
// container as it was. A connection waits a few seconds for a lock another connection holds
// before it gives up. Names read from a container are checked before any file is written, so
// extraction never leaves the destination.
//
// Reading one file's blocks without an index on FILE_DATA goes through the per-process table
// of block ranges (BlockRanges.h).
//
// The store's code is in four files: QVSQLiteDatabaseConnection.cpp (the connection,
// transactions, holding), QVSQLiteDatabaseEntries.cpp (adding, listing and changing entries),
// QVSQLiteDatabaseExtraction.cpp and QVSQLiteDatabaseFileList.cpp (the list of files kept
// after the protection record, and binding images to their entries).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "container/BlockRanges.h"
#include "container/QVDatabase.h"
#include "platform/Files.h"

class BlockSink;
class RegularFile;
struct sqlite3;
namespace container {
class Statement;
class StatementCache;
}  // namespace container

class QVSQLiteDatabase : public QVDatabase {
 public:
  QVSQLiteDatabase();
  ~QVSQLiteDatabase() override;

  [[nodiscard]] VARIANT_BOOL Open(std::string path, BOOL create) override;
  [[nodiscard]] VARIANT_BOOL Close() override;
  // Always TRUE: the store exists, whether or not its connection opened.
  [[nodiscard]] VARIANT_BOOL IsOpen() override;
  [[nodiscard]] LONG AddFile(std::string rootDir, std::string filePath, DWORD folderId,
                             BOOL replace) override;
  [[nodiscard]] VARIANT_BOOL ExtractFile(DWORD folderId, DWORD fileId,
                                         std::string destDir) override;
  [[nodiscard]] VARIANT_BOOL ExtractFileTo(DWORD folderId, DWORD fileId,
                                           std::string destDir) override;
  [[nodiscard]] VARIANT_BOOL DeleteFile(DWORD folderId, DWORD fileId) override;
  [[nodiscard]] VARIANT_BOOL DeleteFolder(DWORD folderId) override;
  [[nodiscard]] VARIANT_BOOL GetSubFolders(DWORD parentId, VARIANT* out) override;
  [[nodiscard]] VARIANT_BOOL GetAllFiles(VARIANT* out) override;
  [[nodiscard]] VARIANT_BOOL GetFiles(DWORD folderId, VARIANT* out) override;
  [[nodiscard]] VARIANT_BOOL GetFilesOfFolders(const std::vector<DWORD>& folderIds,
                                               VARIANT* out) override;
  [[nodiscard]] VARIANT_BOOL GetFileInfo(DWORD folderId, DWORD fileId, VARIANT* out) override;
  [[nodiscard]] VARIANT_BOOL SetFolderOptions(DWORD folderId, const BYTE* data, DWORD size,
                                              std::string cspName) override;
  [[nodiscard]] VARIANT_BOOL GetFolderOptions(DWORD folderId, BYTE** data, DWORD* size,
                                              char* cspName) override;
  [[nodiscard]] VARIANT_BOOL UpdateFile(std::string filePath, DWORD folderId,
                                        DWORD fileId) override;
  [[nodiscard]] VARIANT_BOOL RenameFile(std::string newName, DWORD folderId, DWORD fileId) override;
  [[nodiscard]] VARIANT_BOOL RenameFolder(std::string newName, DWORD folderId) override;
  [[nodiscard]] VARIANT_BOOL GetFolderName(DWORD folderId, std::string& out) override;
  [[nodiscard]] DWORD GetVersion() override;
  [[nodiscard]] VARIANT_BOOL Flush() override;
  [[nodiscard]] LONG AddFileFromImage(std::string rootDir, std::string filePath,
                                      std::string imagePath, DWORD folderId, BOOL replace) override;
  [[nodiscard]] VARIANT_BOOL ExtractAllTo(std::string destDir,
                                          const ExtractProgress& progress) override;
  [[nodiscard]] VARIANT_BOOL CountImages(std::size_t* images) override;
  [[nodiscard]] VARIANT_BOOL BeginBatchedAdds() override;
  [[nodiscard]] VARIANT_BOOL RestoreFolderFacts(std::string destDir) override;
  [[nodiscard]] VARIANT_BOOL ExtractFileToSink(DWORD folderId, DWORD fileId,
                                               BlockSink& sink) override;
  [[nodiscard]] VARIANT_BOOL ImageBlocks(DWORD folderId, DWORD fileId,
                                         std::vector<ImageBlock>* blocks) override;
  [[nodiscard]] VARIANT_BOOL ReadImageRange(DWORD folderId, DWORD fileId,
                                            std::span<const ImageBlock> blocks, std::uint64_t begin,
                                            std::span<char> out) override;
  [[nodiscard]] VARIANT_BOOL HoldAgainstWriters() override;
  [[nodiscard]] VARIANT_BOOL BeginReadSnapshot() override;
  VARIANT_BOOL EndReadSnapshot() override;
  [[nodiscard]] FileListCheck CheckFileList() override;
  [[nodiscard]] VARIANT_BOOL ListPlaces(const ImagePlace& each) override;
  [[nodiscard]] ULONGLONG FirstBoundEntry() override { return firstBound_; }
  [[nodiscard]] VARIANT_BOOL DeleteHeldFile() override;
  [[nodiscard]] VARIANT_BOOL OpenForReading(std::string path) override;
  [[nodiscard]] bool ReadsCurrentFile(const std::string& path) override;
  [[nodiscard]] VARIANT_BOOL DeleteFiles(const std::vector<StoredFileRow>& files,
                                         std::vector<bool>* deleted) override;
  [[nodiscard]] VARIANT_BOOL DeleteEmptyFolders(const std::vector<DWORD>& folders,
                                                std::vector<bool>* deleted) override;
  [[nodiscard]] bool ReadChangeToken(ChangeToken* token) override;
  [[nodiscard]] bool FileUnchangedSince(const ChangeToken& token) override;
  [[nodiscard]] LONG AddFileFromMemory(std::string rootDir, std::string filePath,
                                       ImageInMemory& image, DWORD folderId, BOOL replace) override;

  // An existing container's batched adds are committed whenever this many files, or this
  // many bytes of images, are in the open transaction; DeleteFiles commits its groups by the
  // same bounds.
  static constexpr std::uint64_t kBatchedAddsPerCommit = 1024;
  static constexpr std::uint64_t kBatchedBytesPerCommit = 64u << 20;

  // Test hook: the nth SQLite step from now on (1 = the next one) on the calling thread fails
  // as an I/O error would; 0 disarms it. Only tests call this.
  static void FailStepForTest(int nth);

 private:
  enum class Extraction { WithFolder, IntoDestination };
  // Batched adds: off, on without an open transaction, on with one, or failed for good.
  enum class Batch { Off, Idle, Open, Failed };
  struct StoredFile;
  struct ExtractionPlan;
  // The rows ExtractAllTo restores, read and checked (failure_ set when refused).
  [[nodiscard]] VARIANT_BOOL PlanExtraction(ExtractionPlan* plan);
  struct Transaction;
  struct NameIndex;

  // Open and OpenForReading.
  [[nodiscard]] VARIANT_BOOL OpenConnection(std::string path, BOOL create, bool reading);
  [[nodiscard]] bool ReadSchemaVersion(std::int64_t* version);
  [[nodiscard]] bool CreateTables();
  void ConfigureConnection(bool created);
  void CloseConnection();
  [[nodiscard]] bool Exec(const char* sql);
  // Exec of a literal text whose statement the connection keeps prepared.
  [[nodiscard]] bool ExecKept(const char* sql);
  [[nodiscard]] bool Run(container::Statement& statement);
  [[nodiscard]] bool BeginWrite();
  // A read transaction over several statements.
  [[nodiscard]] bool BeginRead();
  // Commits a write transaction begun with BeginWrite; rolls back and returns false when the
  // commit fails. The name index survives only a commit of this connection's own adds.
  [[nodiscard]] bool CommitWrite(bool keepsNameIndex = false);
  void Rollback();
  // Commits the open transaction of batched adds, if any; false when the batch is lost.
  [[nodiscard]] bool SettleBatch();

  // Where a new entry's bytes come from: the image file at `path`, or `memory` when set.
  struct NewImage {
    const std::string& path;
    ImageInMemory* memory = nullptr;
  };
  // AddFile, AddFileFromImage and AddFileFromMemory: one transaction each, or a share of the
  // batch.
  [[nodiscard]] LONG AddOne(const std::string& rootDir, const std::string& filePath,
                            const NewImage& image, DWORD folderId, bool replace);
  // The name index, built or rebuilt when missing or stale; null on a read failure. Only
  // inside a write transaction.
  [[nodiscard]] NameIndex* Names();
  // Keeps the mode and times of the folder `diskFolder` as those of folder `folderId`.
  [[nodiscard]] bool StoreFolderFacts(DWORD folderId, const std::string& diskFolder);

  // `image` holds the bytes to store; `filePath` gives the entry's place and, unless the image
  // is in memory with them, its facts.
  [[nodiscard]] LONG AddFileInTransaction(const std::string& rootDir, const std::string& filePath,
                                          const NewImage& image, DWORD folderId, bool replace);
  // Finds or creates the FOLDER_INFO row of folderPath; 0 on failure.
  // diskFolder is the plain folder whose attributes and time a new row takes.
  [[nodiscard]] std::int64_t EnsureFolder(const std::string& folderPath,
                                          const std::string& parentPath,
                                          const std::string& diskFolder);
  // `folderPath` is the stored path of folder `folderId` ("" for the root).
  [[nodiscard]] LONG AddFileEntry(DWORD folderId, const std::string& folderPath,
                                  const std::string& entryPath, const NewImage& image,
                                  bool replace);
  // Stores the image's blocks under fileId, from block 0, bound to `storedPath` when the store
  // keeps a folder handle. False on a read, binding or SQLite failure.
  [[nodiscard]] bool StoreBlocks(std::int64_t fileId, const std::string& imagePath,
                                 const std::string& storedPath);
  [[nodiscard]] bool StoreBlocks(std::int64_t fileId, RegularFile& image,
                                 const std::string& storedPath);
  [[nodiscard]] bool StoreBlocks(std::int64_t fileId, std::span<unsigned char> image,
                                 const std::string& storedPath);
  // The stored path of folder `folderId`: "" for the root; false when it has no row.
  [[nodiscard]] bool StoredFolderPath(DWORD folderId, std::string* path);
  [[nodiscard]] bool DeleteFileRows(DWORD folderId, DWORD fileId, bool* found);
  [[nodiscard]] VARIANT_BOOL Extract(DWORD folderId, DWORD fileId, const std::string& destDir,
                                     Extraction kind);
  // The FILE_INFO row of the file, inside a read transaction.
  [[nodiscard]] bool ReadStoredFile(DWORD folderId, DWORD fileId, StoredFile* file);
  // Hands one block to `sink` once the caller's between-blocks callback lets it go on.
  [[nodiscard]] bool PassBlock(std::string_view block, BlockSink& sink) const;
  // The container file's state (CurrentState). In a read snapshot, the state read first with
  // `underLock` (the read lock taken) serves the snapshot's later reads.
  [[nodiscard]] bool ReadFileState(container::ContainerState* state, bool underLock);
  // Where the file's blocks lie (runs of rows, in storage order); Unknown when the table of
  // block ranges cannot be had for this container.
  [[nodiscard]] container::BlockRangeTable::Answer BlockRangesOf(
      std::int64_t fileId, std::vector<container::RowRange>* ranges);
  // Passes the file's blocks, in storage order, to `sink`.
  [[nodiscard]] bool WriteBlocks(std::int64_t fileId, BlockSink& sink);
  [[nodiscard]] VARIANT_BOOL ListFiles(const char* sql, const std::int64_t* params, int count,
                                       bool firstRowOnly, VARIANT* out,
                                       std::string_view textParam = {});
  // ---- The list of files (QVSQLiteDatabaseFileList.cpp) ----
  // The stored path of an entry: its folder's stored path ("" for the root), "\\", its name.
  [[nodiscard]] static std::string StoredPathOf(const std::string& folderPath,
                                                const std::string& name);
  // The stored path of every row's folder, by FOLDER_ID; false on a read failure.
  [[nodiscard]] bool ReadFolderPaths(std::unordered_map<std::int64_t, std::string>* paths);
  // The stored path of the entry `name` in folder `folder`, its folder's path taken from
  // `folders` ("?" for a folder without a row, which only a damaged container has).
  [[nodiscard]] static std::string StoredPathIn(
      const std::unordered_map<std::int64_t, std::string>& folders, std::int64_t folder,
      const std::string& name);
  // Binds the image whose first block is `block` to its entry (from the stored path "" and
  // version 0); false when the library refuses it.
  [[nodiscard]] bool BindImage(unsigned char* block, std::size_t size,
                               const std::string& storedPath, std::int64_t fileId,
                               const std::string& fromPath = std::string(),
                               std::int64_t fromId = 0);
  // Moves the entry `fileId` from one stored path to another: its image's first block is bound
  // anew and the list notes the change. False when the image is not at `fromPath`.
  [[nodiscard]] bool MoveEntry(std::int64_t fileId, const std::string& fromPath,
                               const std::string& toPath);
  // Notes an entry this transaction added or removed, for the list rewritten at its commit.
  void NoteAdded(std::int64_t fileId, std::string storedPath);
  void NoteRemoved(std::int64_t fileId, std::string storedPath);
  // Rewrites the list for what this transaction changed; false when the stored list does not
  // verify or cannot be written (the transaction then fails).
  [[nodiscard]] bool UpdateFileList();

  // Forgets what the per-process table knows about this container (after every write).
  void ForgetBlockRanges();

  sqlite3* db_ = nullptr;
  std::unique_ptr<container::StatementCache> statements_;
  std::unique_ptr<NameIndex> names_;
  Batch batch_ = Batch::Off;
  DWORD schemaVersion_ = 2;
  std::string path_;
  // HoldAgainstWriters: the transaction that holds the lock stays open until Close, and what
  // the file was when it was taken.
  bool held_ = false;
  // BeginReadSnapshot: reads join its transaction, which only EndReadSnapshot ends.
  bool snapshot_ = false;
  // ReadFileState's state for the snapshot.
  std::optional<container::ContainerState> snapshotState_;
  struct HeldState;
  std::unique_ptr<HeldState> heldState_;
  // A container created by Open defers syncing until Flush or Close.
  bool syncDeferred_ = false;
  bool unsyncedChanges_ = false;
  // The journal is truncated rather than deleted while open; Close restores deletion.
  bool journalTruncated_ = false;
  // A new container's journal is kept in memory until its first Flush.
  bool journalInMemory_ = false;
  // The entries the open write transaction added and removed (id and stored path).
  std::vector<std::pair<std::int64_t, std::string>> listAdded_, listRemoved_;
  // What the open transaction of batched adds holds, for the bounded commits of an existing
  // container.
  std::uint64_t batchedFiles_ = 0;
  std::uint64_t batchedBytes_ = 0;
  // A new container's file, opened to start writing it back while it is filled (so that its
  // one flush has little left to do), and the bytes of images stored since the last start.
  OpenedFile writeBack_;
  std::uint64_t unwrittenBytes_ = 0;
  void StartWriteBack(std::uint64_t addedBytes);
  ULONGLONG firstBound_ = 0;
  // Opened by OpenForReading: nothing is written through the connection, and the schema
  // cookie of the schema checked when it opened tells whether the check still holds.
  bool reading_ = false;
  std::int64_t checkedSchemaVersion_ = 0;
};
