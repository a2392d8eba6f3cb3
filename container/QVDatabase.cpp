// QVDatabase: the format test, the hand-over of legacy containers to the converter, and the
// forwarding of every operation to the store that serves the open container.
#include "container/QVDatabase.h"

#include <sqlite3.h>

#include <cstring>
#include <utility>

#include "container/ContainerConversion.h"
#include "dialogs/CQvDBConvert.h"
#include "platform/Files.h"
#include "suite/QvContainerFormat.h"

namespace {

// The magic that opens every SQLite 3 database file.
constexpr char kSqliteMagic[] = "SQLite format 3";
constexpr std::size_t kMagicLength = sizeof(kSqliteMagic) - 1;

// Reads the first `length` bytes of the file at `path` into `out` (zeros where the file is
// shorter); false when it cannot be read. Opening and closing a second descriptor on a file
// would release every lock this process holds on it (another connection's, say a view's), so
// the bytes are read through SQLite's file layer, which shares descriptors between
// connections.
bool ReadLeadingBytes(const std::string& path, char* out, int length) {
  std::memset(out, 0, static_cast<std::size_t>(length));
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(db);
    return false;
  }
  sqlite3_file* file = nullptr;
  int rc = SQLITE_ERROR;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK &&
      file != nullptr && file->pMethods != nullptr)
    rc = file->pMethods->xRead(file, out, length, 0);
  sqlite3_close_v2(db);
  // A short read fills the rest with zeros.
  return rc == SQLITE_OK || rc == SQLITE_IOERR_SHORT_READ;
}

}  // namespace

QVDatabase::QVDatabase() = default;

QVDatabase::~QVDatabase() = default;

bool QVDatabase::DetectContainerFormat(const std::string& path) {
  char magic[kMagicLength + 1] = {};
  return ReadLeadingBytes(path, magic, static_cast<int>(kMagicLength)) &&
         std::strcmp(magic, kSqliteMagic) == 0;
}

bool QVDatabase::AdmitPath(const std::string& path) {
  const DWORD attributes =
      path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  // A folder or a device is no container of any version: nothing to convert.
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    failure_ = Failure::NotAFile;
    return false;
  }
  if (DetectContainerFormat(path)) return true;
  // Only a file that starts like a legacy container is offered to the converter: for
  // anything else (no bytes, other bytes, a link to nothing) there is nothing to convert,
  // and asking would only end in "cancelled by the user".
  char magic[sizeof container::kLegacyMagic];
  if (!ReadLeadingBytes(path, magic, sizeof magic)) {
    failure_ = Failure::Unavailable;
    return false;
  }
  if (std::memcmp(magic, container::kLegacyMagic, sizeof magic) != 0) {
    failure_ = Failure::NotAContainer;
    return false;
  }
  // A container of the legacy format: only the converter can make it usable, and only
  // when the user agrees.
  const bool converted =
      CQvDBConvert::AskToConvert() && RunContainerConverter(path.c_str()) == VARIANT_TRUE;
  if (!converted) {
    failure_ = Failure::NotConverted;
    return false;
  }
  return true;
}

void QVDatabase::HandOverTo(std::unique_ptr<QVDatabase> store) {
  store_ = std::move(store);
  store_->betweenBlocks_ = betweenBlocks_;
  store_->folderHandle_ = folderHandle_;
  store_->imagePlaces_ = imagePlaces_;
  store_->imageTaker_ = imageTaker_;
  store_->largestTaken_ = largestTaken_;
}

VARIANT_BOOL QVDatabase::Open(std::string path, BOOL create) {
  store_.reset();
  failure_ = Failure::None;
  if (!AdmitPath(path)) return VARIANT_FALSE;
  HandOverTo(NewStore());
  const VARIANT_BOOL opened = store_->Open(std::move(path), create);
  failure_ = store_->failure_;
  return opened;
}

bool QVDatabase::ReadsCurrentFile(const std::string& path) {
  return store_ && store_->ReadsCurrentFile(path);
}

bool QVDatabase::ReadChangeToken(ChangeToken* token) {
  return store_ && store_->ReadChangeToken(token);
}

bool QVDatabase::FileUnchangedSince(const ChangeToken& token) {
  return store_ && store_->FileUnchangedSince(token);
}

VARIANT_BOOL QVDatabase::OpenForReading(std::string path) {
  if (ReadsCurrentFile(path)) {
    failure_ = Failure::None;
    return VARIANT_TRUE;
  }
  store_.reset();
  failure_ = Failure::None;
  // Reading never creates: nothing at the path is a failure here, not a new container.
  if (!AdmitPath(path)) return VARIANT_FALSE;
  HandOverTo(NewStore());
  const VARIANT_BOOL opened = store_->OpenForReading(std::move(path));
  failure_ = store_->failure_;
  if (opened != VARIANT_TRUE) store_.reset();
  return opened;
}

void QVDatabase::UseFolderHandle(DWORD handle) {
  if (store_) store_->folderHandle_ = handle;
  folderHandle_ = handle;
}

void QVDatabase::SetImagePlaces(ImagePlace places) {
  if (store_) store_->imagePlaces_ = places;
  imagePlaces_ = std::move(places);
}

void QVDatabase::SetImageTaker(ImageTaker taker, std::uint64_t largest) {
  if (store_) {
    store_->imageTaker_ = taker;
    store_->largestTaken_ = largest;
  }
  imageTaker_ = std::move(taker);
  largestTaken_ = largest;
}

VARIANT_BOOL QVDatabase::CountImages(std::size_t* images) {
  if (!store_) return VARIANT_FALSE;
  const VARIANT_BOOL counted = store_->CountImages(images);
  failure_ = store_->failure_;
  return counted;
}

QVDatabase::FileListCheck QVDatabase::CheckFileList() {
  return store_ ? store_->CheckFileList() : FileListCheck::Unreadable;
}

VARIANT_BOOL QVDatabase::ListPlaces(const ImagePlace& each) {
  return store_ ? store_->ListPlaces(each) : VARIANT_FALSE;
}

ULONGLONG QVDatabase::FirstBoundEntry() { return store_ ? store_->FirstBoundEntry() : 0; }

void QVDatabase::SetBetweenBlocks(BetweenBlocks betweenBlocks) {
  if (store_) store_->betweenBlocks_ = betweenBlocks;
  betweenBlocks_ = std::move(betweenBlocks);
}

VARIANT_BOOL QVDatabase::Close() {
  if (!store_) return VARIANT_FALSE;
  const VARIANT_BOOL closed = store_->Close();
  store_.reset();
  return closed;
}

VARIANT_BOOL QVDatabase::IsOpen() { return store_ ? store_->IsOpen() : VARIANT_FALSE; }

LONG QVDatabase::AddFile(std::string rootDir, std::string filePath, DWORD folderId, BOOL replace) {
  return store_ ? store_->AddFile(std::move(rootDir), std::move(filePath), folderId, replace) : -1;
}

VARIANT_BOOL QVDatabase::ExtractFile(DWORD folderId, DWORD fileId, std::string destDir) {
  return store_ ? store_->ExtractFile(folderId, fileId, std::move(destDir)) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::ExtractFileTo(DWORD folderId, DWORD fileId, std::string destDir) {
  return store_ ? store_->ExtractFileTo(folderId, fileId, std::move(destDir)) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::DeleteFile(DWORD folderId, DWORD fileId) {
  return store_ ? store_->DeleteFile(folderId, fileId) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::DeleteFolder(DWORD folderId) {
  return store_ ? store_->DeleteFolder(folderId) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::GetSubFolders(DWORD parentId, VARIANT* out) {
  return store_ ? store_->GetSubFolders(parentId, out) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::GetAllFiles(VARIANT* out) {
  return store_ ? store_->GetAllFiles(out) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::GetFiles(DWORD folderId, VARIANT* out) {
  return store_ ? store_->GetFiles(folderId, out) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::GetFilesOfFolders(const std::vector<DWORD>& folderIds, VARIANT* out) {
  return store_ ? store_->GetFilesOfFolders(folderIds, out) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::GetFileInfo(DWORD folderId, DWORD fileId, VARIANT* out) {
  return store_ ? store_->GetFileInfo(folderId, fileId, out) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::SetFolderOptions(DWORD folderId, const BYTE* data, DWORD size,
                                          std::string cspName) {
  return store_ ? store_->SetFolderOptions(folderId, data, size, std::move(cspName))
                : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::GetFolderOptions(DWORD folderId, BYTE** data, DWORD* size, char* cspName) {
  return store_ ? store_->GetFolderOptions(folderId, data, size, cspName) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::UpdateFile(std::string filePath, DWORD folderId, DWORD fileId) {
  return store_ ? store_->UpdateFile(std::move(filePath), folderId, fileId) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::RenameFile(std::string newName, DWORD folderId, DWORD fileId) {
  return store_ ? store_->RenameFile(std::move(newName), folderId, fileId) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::RenameFolder(std::string newName, DWORD folderId) {
  return store_ ? store_->RenameFolder(std::move(newName), folderId) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::GetFolderName(DWORD folderId, std::string& out) {
  return store_ ? store_->GetFolderName(folderId, out) : VARIANT_FALSE;
}

DWORD QVDatabase::GetVersion() { return store_ ? store_->GetVersion() : 1; }

VARIANT_BOOL QVDatabase::Flush() { return store_ ? store_->Flush() : VARIANT_FALSE; }

LONG QVDatabase::AddFileFromImage(std::string rootDir, std::string filePath, std::string imagePath,
                                  DWORD folderId, BOOL replace) {
  return store_ ? store_->AddFileFromImage(std::move(rootDir), std::move(filePath),
                                           std::move(imagePath), folderId, replace)
                : -1;
}

LONG QVDatabase::AddFileFromMemory(std::string rootDir, std::string filePath, ImageInMemory& image,
                                   DWORD folderId, BOOL replace) {
  return store_ ? store_->AddFileFromMemory(std::move(rootDir), std::move(filePath), image,
                                            folderId, replace)
                : -1;
}

VARIANT_BOOL QVDatabase::ExtractAllTo(std::string destDir, const ExtractProgress& progress) {
  if (!store_) return VARIANT_FALSE;
  const VARIANT_BOOL extracted = store_->ExtractAllTo(std::move(destDir), progress);
  failure_ = store_->failure_;
  return extracted;
}

VARIANT_BOOL QVDatabase::ExtractFileToSink(DWORD folderId, DWORD fileId, BlockSink& sink) {
  return store_ ? store_->ExtractFileToSink(folderId, fileId, sink) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::ImageBlocks(DWORD folderId, DWORD fileId,
                                     std::vector<ImageBlock>* blocks) {
  return store_ ? store_->ImageBlocks(folderId, fileId, blocks) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::ReadImageRange(DWORD folderId, DWORD fileId,
                                        std::span<const ImageBlock> blocks, std::uint64_t begin,
                                        std::span<char> out) {
  return store_ ? store_->ReadImageRange(folderId, fileId, blocks, begin, out) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::BeginReadSnapshot() {
  return store_ ? store_->BeginReadSnapshot() : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::EndReadSnapshot() {
  return store_ ? store_->EndReadSnapshot() : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::HoldAgainstWriters() {
  return store_ ? store_->HoldAgainstWriters() : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::DeleteHeldFile() {
  return store_ ? store_->DeleteHeldFile() : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::DeleteFiles(const std::vector<StoredFileRow>& files,
                                     std::vector<bool>* deleted) {
  if (deleted != nullptr) deleted->assign(files.size(), false);
  return store_ ? store_->DeleteFiles(files, deleted) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::DeleteEmptyFolders(const std::vector<DWORD>& folders,
                                            std::vector<bool>* deleted) {
  if (deleted != nullptr) deleted->assign(folders.size(), false);
  return store_ ? store_->DeleteEmptyFolders(folders, deleted) : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::BeginBatchedAdds() {
  return store_ ? store_->BeginBatchedAdds() : VARIANT_FALSE;
}

VARIANT_BOOL QVDatabase::RestoreFolderFacts(std::string destDir) {
  return store_ ? store_->RestoreFolderFacts(std::move(destDir)) : VARIANT_FALSE;
}
