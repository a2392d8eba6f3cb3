// Files out of one container under a key opened once (see ContainerDecryptionSession.h).
#include "engine/ContainerDecryptionSession.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/ContainerItemId.h"
#include "base/QvFolderExtApp.h"
#include "engine/EngineFiles.h"
#include "engine/HeldFolderKey.h"
#include "engine/ItemRules.h"
#include "engine/OperationFrame.h"
#include "suite/QvFsApi.h"

namespace {

// How often an image is read again when the container moved on while it was read; a
// container written that often is reported as in use.
constexpr int kReadAttempts = 3;

}  // namespace

ContainerDecryptionSession::ContainerDecryptionSession(std::string containerPath,
                                                       std::string userId)
    : path_(std::move(containerPath)), userId_(std::move(userId)) {}

ContainerDecryptionSession::~ContainerDecryptionSession() {
  if (database_.IsOpen() == VARIANT_TRUE) {
    database_.UseFolderHandle(0);
    (void)database_.Close();
  }
  if (checker_.IsOpen() == VARIANT_TRUE) (void)checker_.Close();
  if (handle_ != 0) (void)QVFSCloseHandle(handle_);
}

std::string ContainerDecryptionSession::DecryptingUser(std::string verified) {
  if (verified.empty())
    if (CUserData* userData = QvApp().userData) verified = CurrentIdentity(*userData).UserId();
  return verified;
}

std::size_t ContainerDecryptionSession::Checks() const {
  std::lock_guard guard(lock_);
  return checks_;
}

ItemStatus ContainerDecryptionSession::CheckRows() {
  ++checks_;
  places_.clear();
  database_.UseFolderHandle(handle_);
  const QVDatabase::FileListCheck check = database_.CheckFileList();
  if (check == QVDatabase::FileListCheck::Unreadable) return StatusFileAccessError;
  // Nothing is taken out of a container whose rows are not those it listed.
  if (check == QVDatabase::FileListCheck::Changed) return StatusIntegrityError;
  firstBound_ = database_.FirstBoundEntry();
  std::unordered_map<DWORD, Place> places;
  if (database_.ListPlaces(
          [&](const std::string& name, const std::string& storedPath, DWORD fileId) {
            places.emplace(fileId, Place{name, storedPath});
          }) != VARIANT_TRUE)
    return StatusFileAccessError;
  places_ = std::move(places);
  return StatusSuccess;
}

ItemStatus ContainerDecryptionSession::Current(QVDatabase::ChangeToken* token) {
  if (!database_.ReadsCurrentFile(path_)) {
    // A first open, or the container was replaced, moved away or given another schema.
    checked_.reset();
    if (database_.OpenForReading(path_) != VARIANT_TRUE) return StatusFileAccessError;
  }
  if (!database_.ReadChangeToken(token)) return StatusFileAccessError;
  if (checked_ && *checked_ == *token) return StatusSuccess;
  // A first use, or the container changed: the key is opened again with the rows, so that a
  // user taken off the container, or a key changed since, counts from now on.
  checked_.reset();
  database_.UseFolderHandle(0);
  if (handle_ != 0) (void)QVFSCloseHandle(handle_);
  handle_ = OpenContainerFolderKey(path_, userId_);
  if (handle_ == 0) return StatusNotAuthorized;
  if (const ItemStatus checked = CheckRows(); checked != StatusSuccess) return checked;
  // The check read the rows as the token found them only if nothing moved on meanwhile.
  QVDatabase::ChangeToken after;
  if (!database_.ReadChangeToken(&after)) return StatusFileAccessError;
  if (!(after == *token)) return StatusSourceInUse;
  checked_ = *token;
  return StatusSuccess;
}

ItemStatus ContainerDecryptionSession::DecryptImage(const std::string& image,
                                                    const std::string& folder, const Place& place,
                                                    DWORD fileId) {
  QVData record;
  std::memset(&record, 0, sizeof record);
  record.folderHandle = handle_;
  record.sourcePath = image.c_str();
  record.destinationPath = folder.c_str();
  // The image opens only at its row's place; an entry older than the container's list may
  // hold an image of the older format, which carries no place.
  DWORD result = QVFSFolderDecryptFileAt(&record, place.storedPath.c_str(), fileId);
  if (result == StatusIntegrityError && fileId < firstBound_)
    result = QVFSFolderDecryptFile(&record);
  return static_cast<ItemStatus>(result);
}

namespace {

class ReadSnapshot {
 public:
  explicit ReadSnapshot(QVDatabase& database) : database_(database) {
    (void)database_.BeginReadSnapshot();
  }
  ~ReadSnapshot() { (void)End(); }
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;
  // True when every read since the beginning saw one state of the container.
  bool End() { return database_.EndReadSnapshot() == VARIANT_TRUE; }

 private:
  QVDatabase& database_;
};

}  // namespace

template <class Read, class Undo, class Use>
ItemStatus ContainerDecryptionSession::ReadWhileUnchanged(DWORD fileId,
                                                          const std::string& storedName,
                                                          Read&& read, Undo&& undo, Use&& use) {
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    // The checks and reads of one attempt take the container's read lock once.
    ReadSnapshot snapshot(database_);
    QVDatabase::ChangeToken token;
    if (const ItemStatus current = Current(&token); current == StatusSourceInUse) {
      continue;
    } else if (current != StatusSuccess) {
      return current;
    }
    const auto place = places_.find(fileId);
    if (place == places_.end() || place->second.name != storedName) return StatusIntegrityError;
    const bool done = read();
    QVDatabase::ChangeToken after;
    const bool unchanged = snapshot.End() || (database_.ReadChangeToken(&after) && after == token);
    if (!done || !unchanged) {
      undo();
      if (!done && unchanged) return StatusFileAccessError;
      continue;
    }
    return use(place->second, token);
  }
  return StatusSourceInUse;
}

ItemStatus ContainerDecryptionSession::Decrypt(DWORD folderId, DWORD fileId,
                                               const std::string& storedName,
                                               const std::string& folder) {
  // The stored name becomes a file name in `folder`: one component, of an encrypted file.
  if (!ContainerItemId::IsValidName(storedName)) return StatusFileAccessError;
  const std::string image = folder + "/" + storedName;
  if (const ItemStatus named = CheckForDecryption(image, kCheckName, ProtectedLocations{});
      named != StatusSuccess)
    return named;
  std::lock_guard guard(lock_);
  return ReadWhileUnchanged(
      fileId, storedName,
      [&] { return database_.ExtractFileTo(folderId, fileId, folder) == VARIANT_TRUE; },
      [&] { (void)engine::DeleteNormal(image); },
      [&](const Place& place, const QVDatabase::ChangeToken&) {
        const ItemStatus status = DecryptImage(image, folder, place, fileId);
        (void)engine::DeleteNormal(image);
        return status;
      });
}

namespace {

// The bytes an image's header takes at most; read before the header says its own length.
constexpr std::uint64_t kHeadBytes = 64 * 1024;

}  // namespace

ItemStatus ContainerDecryptionSession::OpenFile(DWORD folderId, DWORD fileId,
                                                const std::string& storedName,
                                                OpenedImage* opened) {
  std::lock_guard guard(lock_);
  const auto read = [&] {
    *opened = OpenedImage{};
    if (database_.ImageBlocks(folderId, fileId, &opened->blocks) != VARIANT_TRUE) return false;
    if (!opened->blocks.empty())
      opened->length = opened->blocks.back().offset + opened->blocks.back().length;
    opened->head.resize(static_cast<std::size_t>(std::min(opened->length, kHeadBytes)));
    return database_.ReadImageRange(folderId, fileId, opened->blocks, 0,
                                    std::span(opened->head.data(), opened->head.size())) ==
           VARIANT_TRUE;
  };
  const auto open = [&](const Place& place, const QVDatabase::ChangeToken& token) {
    opened->token = token;
    const auto* head = reinterpret_cast<const BYTE*>(opened->head.data());
    const auto length = static_cast<DWORD>(opened->head.size());
    DWORD result = QVFSFolderOpenImageReader(handle_, head, length, place.storedPath.c_str(),
                                             fileId, &opened->layout, &opened->reader);
    // An entry older than the container's list may hold an image of the older format, which
    // carries no place.
    if (result == StatusIntegrityError && fileId < firstBound_)
      result = QVFSFolderOpenImageReader(handle_, head, length, nullptr, 0, &opened->layout,
                                         &opened->reader);
    return static_cast<ItemStatus>(result);
  };
  return ReadWhileUnchanged(
      fileId, storedName, read, [] {}, open);
}

bool ContainerDecryptionSession::StillAsOpened(const OpenedImage& opened) {
  // A connection of its own, so that the check never waits for a file being opened meanwhile.
  std::lock_guard guard(checkLock_);
  if (checker_.IsOpen() != VARIANT_TRUE && checker_.OpenForReading(path_) != VARIANT_TRUE)
    return false;
  if (checker_.FileUnchangedSince(opened.token)) return true;
  // A container replaced meanwhile is the one checked from now on.
  (void)checker_.OpenForReading(path_);
  return false;
}

bool ContainerDecryptionSession::ReadRange(DWORD folderId, DWORD fileId,
                                           std::span<const QVDatabase::ImageBlock> blocks,
                                           std::uint64_t begin, std::span<char> out) {
  std::lock_guard guard(lock_);
  return database_.ReadImageRange(folderId, fileId, blocks, begin, out) == VARIANT_TRUE;
}
