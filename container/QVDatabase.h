// QVDatabase: the one class through which the rest of the system reads and writes encrypted-
// folder containers. It is both the abstract base of the container stores and the object
// callers create: Open looks at the file, hands a legacy container to the converter after
// asking the user, and then owns a QVSQLiteDatabase to which every further call is forwarded.
//
// Truth values are 16-bit with TRUE = -1 (VARIANT_TRUE); callers test for exactly -1. Folder
// and file ids are unsigned 32-bit; folder 0 is the container's root. Paths are native
// ("/"); names stored inside a container use "\" between folders. Listings return rows as a
// two-dimensional SAFEARRAY of VARIANT (bounds {columns, rows}) in the caller's VARIANT,
// which the caller passes empty and which is left untouched when there is no row.
//
// The virtual operations keep their slot order (other stores derive from this class); the
// entry points added on Linux come after the last slot.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "container/BlockSink.h"
#include "container/StoredFacts.h"
#include "platform/Ole.h"
#include "platform/WinTypes.h"

class QVDatabase {
 public:
  QVDatabase();
  // Closes the container when one is open.
  virtual ~QVDatabase();
  QVDatabase(const QVDatabase&) = delete;
  QVDatabase& operator=(const QVDatabase&) = delete;

  // Opens the container at `path`, creating a new one when it does not exist and `create` is
  // TRUE. A file that is not an SQLite container is offered to the converter first (the
  // conversion prompt of the dialog layer, which says why the folder cannot be opened when
  // the user declines). A folder or
  // device at `path` is never a container.
  [[nodiscard]] virtual VARIANT_BOOL Open(std::string path, BOOL create);
  // Closes the store and discards it; FALSE when nothing was open.
  [[nodiscard]] virtual VARIANT_BOOL Close();
  // TRUE while a store is held (also when the store's own open failed).
  [[nodiscard]] virtual VARIANT_BOOL IsOpen();
  // Stores the image `filePath` (a ".qvf" image beside its plain file below `rootDir`, or a
  // path ending in the empty-folder marker) in the folder that its directory stands for,
  // `folderId` being the folder `rootDir` stands for. Returns the new FILE_ID; -2 when the
  // name exists there and `replace` is FALSE (nothing changed); -1 on any failure (nothing
  // changed: with `replace` the old entry is still there).
  [[nodiscard]] virtual LONG AddFile(std::string rootDir, std::string filePath, DWORD folderId,
                                     BOOL replace);
  // Writes the stored image to destDir/<folder path>/<name>, creating the folders, and sets
  // the stored times. A marker entry only creates its folder.
  [[nodiscard]] virtual VARIANT_BOOL ExtractFile(DWORD folderId, DWORD fileId, std::string destDir);
  // Writes the stored image to destDir/<name>; no folder is created.
  [[nodiscard]] virtual VARIANT_BOOL ExtractFileTo(DWORD folderId, DWORD fileId,
                                                   std::string destDir);
  [[nodiscard]] virtual VARIANT_BOOL DeleteFile(DWORD folderId, DWORD fileId);
  // The folder's files, its row and its subfolders; folder 0 removes only the root's files.
  [[nodiscard]] virtual VARIANT_BOOL DeleteFolder(DWORD folderId);
  // Rows of 6 columns: id, parent, attributes, name, MS-DOS date, MS-DOS time.
  [[nodiscard]] virtual VARIANT_BOOL GetSubFolders(DWORD parentId, VARIANT* out);
  // Rows of 7 columns: id, folder, name, size, time high / MS-DOS date, time low / MS-DOS
  // time, attributes. Version 2 gives the UTC last-write FILETIME halves in columns 4 and 5.
  [[nodiscard]] virtual VARIANT_BOOL GetAllFiles(VARIANT* out);
  [[nodiscard]] virtual VARIANT_BOOL GetFiles(DWORD folderId, VARIANT* out);
  // The files of all of `folderIds`, as GetFiles lists them, in one pass over the file table.
  [[nodiscard]] virtual VARIANT_BOOL GetFilesOfFolders(const std::vector<DWORD>& folderIds,
                                                       VARIANT* out);
  [[nodiscard]] virtual VARIANT_BOOL GetFileInfo(DWORD folderId, DWORD fileId, VARIANT* out);
  // Replaces the protection record (stored byte for byte) and the CSP name.
  [[nodiscard]] virtual VARIANT_BOOL SetFolderOptions(DWORD folderId, const BYTE* data, DWORD size,
                                                      std::string cspName);
  // *data receives a malloc'ed copy of the record (the caller frees it with free), *size its
  // length, cspName (1024 bytes) the CSP name. Outputs are unchanged on FALSE.
  [[nodiscard]] virtual VARIANT_BOOL GetFolderOptions(DWORD folderId, BYTE** data, DWORD* size,
                                                      char* cspName);
  // Refreshes size and times from the plain file of `filePath` and replaces the stored image.
  [[nodiscard]] virtual VARIANT_BOOL UpdateFile(std::string filePath, DWORD folderId, DWORD fileId);
  // FILE_NAME becomes newName + ".qvf" (newName is the plain name).
  [[nodiscard]] virtual VARIANT_BOOL RenameFile(std::string newName, DWORD folderId, DWORD fileId);
  // The folder keeps its place and takes the name `newName`; its subfolders follow.
  [[nodiscard]] virtual VARIANT_BOOL RenameFolder(std::string newName, DWORD folderId);
  // The stored path of the folder ("\a\b"); "RootFolder" for folder 0.
  [[nodiscard]] virtual VARIANT_BOOL GetFolderName(DWORD folderId, std::string& out);
  // Schema version of the open container (1 or 2); 1 when nothing is open.
  [[nodiscard]] virtual DWORD GetVersion();

  // ---- Added on Linux, after the last slot ----

  // Makes every change committed so far durable on disk. A container created by Open defers
  // that until this call (or Close), so storing a whole folder costs one sync; from the first
  // Flush on, and for containers that existed before Open, each operation is durable when it
  // returns (batched adds when their batch commits; see BeginBatchedAdds). Callers flush
  // before they delete anything the container now holds.
  [[nodiscard]] virtual VARIANT_BOOL Flush();

  // Progress of ExtractAllTo: called once with done 0 before any file is written, then after
  // each file. Returning false stops the extraction (it then fails).
  using ExtractProgress = std::function<bool(std::size_t done, std::size_t total)>;
  // Called on the extracting thread before each block an extraction writes, so that a caller
  // with windows keeps them answering; returning false stops the extraction (it then fails,
  // and the file being written is removed).
  using BetweenBlocks = std::function<bool()>;
  // Sets what every later extraction of this object calls between blocks; none by default.
  void SetBetweenBlocks(BetweenBlocks betweenBlocks);
  // Writes every stored file below destDir as ExtractFile would, reading the content in one
  // pass in storage order. TRUE when every file was written.
  [[nodiscard]] virtual VARIANT_BOOL ExtractAllTo(std::string destDir,
                                                  const ExtractProgress& progress);

  // AddFile for an image written elsewhere: the entry is made as if `filePath` (the plain
  // file's path plus ".qvf", below `rootDir`) were the image, with the name, folder, size and
  // times it gives, while the stored bytes come from `imagePath`. The folder engine writes its
  // images outside the folder it encrypts, so that folder is never changed until it is
  // deleted as a whole.
  [[nodiscard]] virtual LONG AddFileFromImage(std::string rootDir, std::string filePath,
                                              std::string imagePath, DWORD folderId, BOOL replace);

  // From now until Flush or Close, AddFile and AddFileFromImage share one transaction instead
  // of committing one each, which for a folder of many small files is most of the work. A
  // container this Open created commits the batch once, at Flush or Close; any other commits
  // it in bounded parts as adds go on and at Flush or Close, each commit atomic and durable,
  // so a crash leaves every file whole in the container or not in it at all. Callers flush
  // before they delete anything the batch holds; after Flush each add commits on its own again.
  // Entries are seen at once through this object and by other connections after the commit
  // that holds them (until then others may find the container locked). A call that fails
  // after it changed the container loses what the batch holds since its last commit: it and
  // every later add fail, and so do Flush and Close, so nothing is ever reported stored that
  // is not. Other writes commit the batch first. FALSE (and nothing changes) for a held
  // container, one already batching, and a new one not yet flushed whose journal could not be
  // kept in memory.
  [[nodiscard]] virtual VARIANT_BOOL BeginBatchedAdds();

  // Gives the folders of a whole extraction into `destDir` (which stands for the root) the
  // mode and times the container keeps of them: the exact ones where it has them, else the
  // MS-DOS last-write time of the folder's row; without a kept mode a folder keeps the one it
  // was made with. Deepest folders first, so call it once every file is written. A folder
  // that is missing or a link is left alone. TRUE when the rows could be read.
  [[nodiscard]] virtual VARIANT_BOOL RestoreFolderFacts(std::string destDir);

  // Keeps every other connection from changing the container until this object closes it:
  // takes the container's write lock (waiting for it as a writer does) and keeps it while this
  // object only reads (writes through it fail meanwhile). Another connection's write then fails
  // after its wait instead of adding what the holder would not see; readers are not stopped.
  // A container this process may only read is held with a read lock, which lets a writer get
  // no further than its commit. FALSE when the lock cannot be had.
  [[nodiscard]] virtual VARIANT_BOOL HoldAgainstWriters();
  // The reads that follow, until EndReadSnapshot, run in one read transaction: they see one
  // state of the container and take its read lock once instead of once each. Writers wait
  // for it meanwhile, so it is kept short. FALSE when it cannot begin (the reads then run
  // each in its own transaction, as without it). EndReadSnapshot is TRUE when every read since
  // the beginning ran in the snapshot (the connection was not opened again meanwhile).
  [[nodiscard]] virtual VARIANT_BOOL BeginReadSnapshot();
  virtual VARIANT_BOOL EndReadSnapshot();
  // For a held container: deletes its file, but only when the path still names the file that
  // was held and that file is unchanged since (no commit, same size and last-write time);
  // then closes. FALSE, with the file left where it is and the container still open, when
  // anything changed or the delete failed.
  [[nodiscard]] virtual VARIANT_BOOL DeleteHeldFile();

  // Hands the stored image of the file to `sink`, block by block in storage order, as
  // ExtractFile writes it to disk (the same read, the same between-blocks callback). TRUE
  // when every block was taken; after FALSE the sink may hold part of the image.
  [[nodiscard]] virtual VARIANT_BOOL ExtractFileToSink(DWORD folderId, DWORD fileId,
                                                       BlockSink& sink);
  // Where the stored image of the file lies: its blocks in storage order, each with its row,
  // its offset in the image and its length. With ReadImageRange a reader takes a large image
  // a piece at a time, each piece in a read transaction of its own, without holding the
  // container against writers in between.
  struct ImageBlock {
    std::int64_t row = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
  };
  [[nodiscard]] virtual VARIANT_BOOL ImageBlocks(DWORD folderId, DWORD fileId,
                                                 std::vector<ImageBlock>* blocks);
  // Reads the image's bytes [begin, begin + out.size()) into `out` from the listed blocks, which
  // must cover them, in one read transaction. FALSE when the file's row is gone or a block is
  // no longer the file's or has another length (the container changed since ImageBlocks); `out`
  // may then hold part of the bytes.
  [[nodiscard]] virtual VARIANT_BOOL ReadImageRange(DWORD folderId, DWORD fileId,
                                                    std::span<const ImageBlock> blocks,
                                                    std::uint64_t begin, std::span<char> out);

  // The folder handle (of the library) whose folder key keeps the list of the container's
  // files: from now on each image stored is bound to its place (its stored path and its
  // FILE_ID; the caller encrypts it for the stored path "" and version 0), a rename moves the
  // image with its row, and every change of files rewrites the list after the protection
  // record in the same transaction. 0 (the default) keeps neither.
  void UseFolderHandle(DWORD handle);
  enum class FileListCheck {
    Verified,    // the rows are exactly those the list holds
    Unverified,  // a container made before the list: nothing to check its rows against
    Changed,     // rows were added, removed or renamed outside the program
    Unreadable,  // no handle, no protection record, or a read failure
  };
  // Checks the rows against the list (one pass over FILE_INFO), with the handle given above.
  [[nodiscard]] virtual FileListCheck CheckFileList();
  // Where ExtractAllTo wrote each image: the output path, the image's stored path and its
  // FILE_ID, which is the place a bound image opens at. Entries from FILE_ID FirstBoundEntry()
  // on (as the last CheckFileList read it) are bound; earlier ones may be of the older format.
  using ImagePlace =
      std::function<void(const std::string& written, const std::string& storedPath, DWORD fileId)>;
  void SetImagePlaces(ImagePlace places);
  // An image ExtractAllTo hands over in memory instead of writing it: where it would have been
  // written, its stored path and its FILE_ID (its place), its FOLDER_ID, and its bytes.
  struct ExtractedImage {
    std::string output;
    std::string storedPath;
    DWORD fileId = 0;
    DWORD folderId = 0;
    std::vector<unsigned char> bytes;
  };
  // Takes such an image; false stops the extraction (it then fails).
  using ImageTaker = std::function<bool(ExtractedImage& image)>;
  // From now on ExtractAllTo hands `taker` every image of at most `largest` bytes (FILE_SIZE,
  // its plain file's size, no larger either) whose blocks follow each other, in storage order,
  // as soon as its last block is read; it still makes every folder, writes every other image
  // and names every image to the ImagePlace callback. A null `taker`: every image is written.
  void SetImageTaker(ImageTaker taker, std::uint64_t largest);
  // Checks the rows as ExtractAllTo does before it makes anything, without making anything,
  // and counts the images it would write (the empty-folder markers aside). FALSE, with
  // LastFailure set, when ExtractAllTo would refuse the container.
  [[nodiscard]] virtual VARIANT_BOOL CountImages(std::size_t* images);
  // Calls `each` with the stored name, stored path and FILE_ID of every entry, for an image
  // taken out of the container on its own, whose place only its name tells. FALSE when the
  // rows cannot be read.
  [[nodiscard]] virtual VARIANT_BOOL ListPlaces(const ImagePlace& each);
  [[nodiscard]] virtual ULONGLONG FirstBoundEntry();

  // Opens the container at `path` as Open(path, FALSE) does, for an object that only reads and
  // is kept between uses: the connection is left in the journal and sync modes the file has
  // (nothing is switched, so opening writes nothing), and every write through it fails. Called
  // again on an object that reads `path` this way it does nothing, as long as the connection
  // still holds the file the path names and the container's schema is the one checked when it
  // opened (ReadsCurrentFile); otherwise it opens the container afresh, with every check of
  // Open. FALSE, with nothing open, when the container cannot be opened.
  [[nodiscard]] virtual VARIANT_BOOL OpenForReading(std::string path);
  // True when this object reads `path` through a connection of OpenForReading that still holds
  // the file the path names (not one deleted or moved away since), with an unchanged schema.
  [[nodiscard]] virtual bool ReadsCurrentFile(const std::string& path);

  // A file row as the caller last saw it: a delete through DeleteFiles takes it only while the
  // row is still this one (the same folder, id and stored name), never a file that took its
  // place meanwhile.
  struct StoredFileRow {
    DWORD folderId = 0;
    DWORD fileId = 0;
    std::string storedName;
  };
  // Deletes the listed files whose rows are still as listed, in transactions of a bounded
  // number of files (and stored bytes) each, every commit atomic and, for a container that
  // existed before Open or was flushed, durable when it returns: a crash leaves each listed
  // row either gone or whole, and the list of files (when a folder handle is bound) changes
  // in the same transactions. `deleted` gets one flag per listed file: true once its delete
  // was committed; a row that changed or is gone stays false. FALSE when a transaction
  // failed: its files and every later one are left as they were.
  [[nodiscard]] virtual VARIANT_BOOL DeleteFiles(const std::vector<StoredFileRow>& files,
                                                 std::vector<bool>* deleted);
  // Deletes, in one transaction and in the order given (deepest first lets a parent go after
  // its last child), each listed folder that holds no file but its empty-folder marker and no
  // folder, with its marker and its kept facts. `deleted` gets one flag per listed folder. A
  // folder that still holds something, or the root, stays (false). FALSE when the transaction
  // failed: nothing was deleted.
  [[nodiscard]] virtual VARIANT_BOOL DeleteEmptyFolders(const std::vector<DWORD>& folders,
                                                        std::vector<bool>* deleted);
  // What moves on with every commit to the container, by any connection, and with the file on
  // disk: two equal tokens read through one connection (with no reopen in between) mean that
  // nothing was written to the container between the two reads.
  struct ChangeToken {
    std::int64_t dataVersion = 0;
    std::array<unsigned char, 20> header{};  // change counter, page count, free list, schema
    std::uint64_t created = 0;
    std::uint64_t written = 0;
    std::uint64_t size = 0;
    bool operator==(const ChangeToken&) const = default;
  };
  // Reads the token of the open container; false when it cannot be read.
  [[nodiscard]] virtual bool ReadChangeToken(ChangeToken* token);
  // Whether the container is still as `token` found it, from the file alone (no transaction):
  // only a container in rollback-journal mode counts its commits in its header, so any other
  // is never taken as unchanged.
  [[nodiscard]] virtual bool FileUnchangedSince(const ChangeToken& token);

  // An image already read into memory, with the facts of the plain file it was made from as
  // container::ReadDiskFacts reads them.
  struct ImageInMemory {
    std::vector<unsigned char> bytes;
    container::DiskFacts facts;
  };
  // AddFileFromImage for an image in memory: nothing is opened, read or looked up on disk
  // for it, so a caller can do all of that on other threads. The bytes are bound to their
  // entry in place (the header changes).
  [[nodiscard]] virtual LONG AddFileFromMemory(std::string rootDir, std::string filePath,
                                               ImageInMemory& image, DWORD folderId, BOOL replace);

  // Why the last Open or ExtractAllTo of this object failed (None after a success).
  enum class Failure {
    None,
    NotFound,       // nothing at the path
    NotAFile,       // a folder or device
    NotAContainer,  // a file of neither container format
    NotConverted,   // a legacy container the converter did not convert (declined or failed)
    Damaged,        // tables, rows or pages this system never writes
    Unavailable,    // locked by another connection, not readable, or an I/O error
    WriteFailed,    // extraction: the destination could not be written
  };
  [[nodiscard]] Failure LastFailure() const { return failure_; }

  // The format test: true when the file at `path` starts with the 15 bytes "SQLite format 3".
  // The file is read through SQLite's own file layer, so another connection of this process
  // keeps its file locks.
  [[nodiscard]] static bool DetectContainerFormat(const std::string& path);

 protected:
  // A new store of the current container format, for Open to hand the container to.
  [[nodiscard]] static std::unique_ptr<QVDatabase> NewStore();

 private:
  // The checks before a store gets `path`: no folder or device, and a file of the current
  // format (a legacy one after the user let the converter convert it). False, with failure_
  // set, when the path is refused; true also when nothing is at the path.
  [[nodiscard]] bool AdmitPath(const std::string& path);
  // Makes `store` the open store, with what this object hands on to it.
  void HandOverTo(std::unique_ptr<QVDatabase> store);

 protected:
  // The open store; null while no container is open. Stores leave their own null.
  std::unique_ptr<QVDatabase> store_;
  // Set by Open and ExtractAllTo (by the store for its own part).
  Failure failure_ = Failure::None;
  // Handed on to the store.
  BetweenBlocks betweenBlocks_;
  DWORD folderHandle_ = 0;
  ImagePlace imagePlaces_;
  ImageTaker imageTaker_;
  std::uint64_t largestTaken_ = 0;
};
