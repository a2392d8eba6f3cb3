#include "transfer/CQvDataObject.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>

#include "base/ContainerItemId.h"
#include "base/ItemNames.h"
#include "container/QVDatabase.h"
#include "engine/HeldFolderKey.h"
#include "platform/Files.h"
#include "platform/ole/TextConversion.h"
#include "platform/ole/Variant.h"
#include "platform/shell/FileGroupDescriptor.h"
#include "transfer/CQvEnumFORMATETC.h"

namespace {

constexpr DWORD kEntryFlags = FD_ATTRIBUTES | FD_WRITESTIME | FD_FILESIZE | FD_PROGRESSUI;

// The formats the object exchanges, registered by name on first use.
struct Formats {
  CLIPFORMAT contents = 0;
  CLIPFORMAT descriptor = 0;
  CLIPFORMAT preferred = 0;
  CLIPFORMAT performed = 0;

  bool Load() {
    contents = static_cast<CLIPFORMAT>(RegisterClipboardFormatA(CFSTR_FILECONTENTS));
    descriptor = static_cast<CLIPFORMAT>(RegisterClipboardFormatA(CFSTR_FILEDESCRIPTORA));
    preferred = static_cast<CLIPFORMAT>(RegisterClipboardFormatA(CFSTR_PREFERREDDROPEFFECT));
    performed = static_cast<CLIPFORMAT>(RegisterClipboardFormatA(CFSTR_PERFORMEDDROPEFFECT));
    return contents != 0 && descriptor != 0 && preferred != 0 && performed != 0;
  }
};

// No target device, the content aspect, and (when `wholeObject`) lindex -1.
bool WellFormed(const FORMATETC& format, bool wholeObject) {
  return format.ptd == nullptr && (format.dwAspect & DVASPECT_CONTENT) != 0 &&
         (!wholeObject || format.lindex == -1);
}

HGLOBAL BlockWithValue(DWORD value) {
  HGLOBAL block = GlobalAlloc(GMEM_FIXED, sizeof value);
  if (block == nullptr) return nullptr;
  std::memcpy(GlobalLock(block), &value, sizeof value);
  (void)GlobalUnlock(block);
  return block;
}

// A listing owned for one call.
class Rows {
 public:
  Rows() { VariantInit(&rows_); }
  ~Rows() { (void)VariantClear(&rows_); }
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;
  VARIANT* Out() { return &rows_; }
  VARIANT& Get() { return rows_; }

 private:
  VARIANT rows_;
};

void SetTimeFromFields(const ContainerItemFields& fields, TransferEntry* entry) {
  ContainerItem item;
  item.dateWord = fields.dateWord;
  item.timeWord = fields.timeWord;
  item.attributes = fields.attributes;
  item.version = fields.version;
  entry->hasTime = ContainerItemId::LastWriteTimeUtc(item, &entry->lastWrite);
}

// Listings give no rows (and FALSE) for an empty folder: only a listing that is there but
// cannot be read counts as a failure.

// Walks the container for the snapshot: a selected file gives one entry, a selected folder
// one for itself and then, recursively, its files (store order, marker skipped) and folders.
class SnapshotWalk {
 public:
  SnapshotWalk(QVDatabase& database, std::vector<TransferEntry>* entries)
      : database_(database), entries_(entries), version_(database.GetVersion()) {}

  bool AddFile(const ContainerItem& item) {
    Rows rows;
    if (database_.GetFileInfo(item.folderId, item.FileId(), rows.Out()) != VARIANT_TRUE ||
        ContainerItemId::RowCount(rows.Get()) < 1)
      return false;
    TransferEntry entry;
    if (!FileEntryOfRow(rows.Get(), 0, "", &entry)) return false;
    entry.selected = true;
    entries_->push_back(std::move(entry));
    return true;
  }

  bool AddFolder(const ContainerItem& item) {
    TransferEntry entry;
    entry.name = std::string(item.name);
    entry.isFolder = true;
    entry.attributes = item.attributes | FILE_ATTRIBUTE_DIRECTORY;
    entry.folderId = item.folderId;
    entry.selected = true;
    std::string storedPath;
    if (database_.GetFolderName(item.folderId, storedPath) != VARIANT_TRUE) return false;
    ContainerItem dated = item;
    entry.hasTime = ContainerItemId::LastWriteTimeUtc(dated, &entry.lastWrite);
    const std::string prefix = entry.name;
    entries_->push_back(std::move(entry));
    // The folders below first, then the files of all of them in one listing.
    std::vector<DWORD> folderIds;
    if (!ListFolders(item.folderId, &folderIds) || !ListFilesOf(folderIds)) return false;
    return WalkFolder(item.folderId, prefix);
  }

 private:
  bool FileEntryOfRow(VARIANT& rows, LONG row, const std::string& prefix, TransferEntry* entry) {
    ContainerItemFields fields;
    if (!ContainerItemId::FileFieldsOfRow(rows, row, version_, &fields) ||
        !ContainerItemId::TextCell(rows, 2, row, &entry->storedName) ||
        !ContainerItemId::IsValidName(entry->storedName) ||
        !ContainerItemId::IsValidName(fields.name))
      return false;
    entry->name = prefix.empty() ? fields.name : prefix + "\\" + fields.name;
    entry->attributes = fields.attributes & ~DWORD{FILE_ATTRIBUTE_DIRECTORY};
    entry->size = fields.size;
    entry->folderId = fields.folderId;
    entry->fileId = fields.secondId;
    SetTimeFromFields(fields, entry);
    return true;
  }

  // Lists `folderId`'s subfolders and theirs, keeping each listing for the walk; adds the
  // ids of `folderId` and of every folder below it to `ids`. A folder met twice (a damaged
  // container that makes a folder its own descendant, or a selection that holds a folder and
  // one below it) fails the walk.
  bool ListFolders(DWORD folderId, std::vector<DWORD>* ids) {
    auto [listed, added] = subfolders_.try_emplace(folderId);
    if (!added) return false;
    listed->second = std::make_unique<Rows>();
    VARIANT& folders = listed->second->Get();
    (void)database_.GetSubFolders(folderId, listed->second->Out());
    ids->push_back(folderId);
    const LONG count = ContainerItemId::RowCount(folders);
    if (count < 0) return false;
    for (LONG row = 0; row < count; ++row) {
      DWORD below = 0;
      if (!ContainerItemId::IntCell(folders, 0, row, &below) || !ListFolders(below, ids))
        return false;
    }
    return true;
  }

  // Lists the files of `folderIds` and notes each one's rows, in store order.
  bool ListFilesOf(const std::vector<DWORD>& folderIds) {
    rowsOfFolder_.clear();
    (void)database_.GetFilesOfFolders(folderIds, files_.Out());
    const LONG count = ContainerItemId::RowCount(files_.Get());
    if (count < 0) return false;
    for (LONG row = 0; row < count; ++row)
      if (DWORD folder = 0; ContainerItemId::IntCell(files_.Get(), 1, row, &folder))
        rowsOfFolder_[folder].push_back(row);
    return true;
  }

  bool WalkFolder(DWORD folderId, const std::string& prefix) {
    if (const auto fileRows = rowsOfFolder_.find(folderId); fileRows != rowsOfFolder_.end()) {
      for (const LONG row : fileRows->second) {
        std::string stored;
        if (ContainerItemId::TextCell(files_.Get(), 2, row, &stored) &&
            stored == kEmptyFolderMarker)
          continue;
        TransferEntry entry;
        if (!FileEntryOfRow(files_.Get(), row, prefix, &entry)) return false;
        entries_->push_back(std::move(entry));
      }
    }
    const auto listed = subfolders_.find(folderId);
    if (listed == subfolders_.end()) return false;
    VARIANT& folders = listed->second->Get();
    const LONG folderCount = ContainerItemId::RowCount(folders);
    for (LONG row = 0; row < folderCount; ++row) {
      ContainerItemFields fields;
      if (!ContainerItemId::FolderFieldsOfRow(folders, row, version_, &fields) ||
          !ContainerItemId::IsValidName(fields.name))
        return false;
      TransferEntry entry;
      entry.name = prefix + "\\" + fields.name;
      entry.isFolder = true;
      entry.attributes = fields.attributes | FILE_ATTRIBUTE_DIRECTORY;
      entry.folderId = fields.folderId;
      SetTimeFromFields(fields, &entry);
      const std::string below = entry.name;
      entries_->push_back(std::move(entry));
      if (!WalkFolder(fields.folderId, below)) return false;
    }
    return true;
  }

  QVDatabase& database_;
  std::vector<TransferEntry>* entries_;
  DWORD version_;
  // The subfolder listing of each folder below the selected ones.
  std::unordered_map<DWORD, std::unique_ptr<Rows>> subfolders_;
  // The files of those folders, and each folder's rows among them.
  Rows files_;
  std::unordered_map<DWORD, std::vector<LONG>> rowsOfFolder_;
};

}  // namespace

HRESULT CQvDataObject::CreateInstance(REFIID riid, void** ppv, ComModule* module) noexcept {
  return CreateComInstance<CQvDataObject>(riid, ppv, module);
}

CQvDataObject::~CQvDataObject() {
  for (LPITEMIDLIST item : items_) ILFree(item);
}

HRESULT CQvDataObject::SetItems(IUnknown* folder, std::string containerPath,
                                const LPCITEMIDLIST* items, UINT count) noexcept {
  if (items == nullptr || count == 0) return E_INVALIDARG;
  try {
    std::vector<LPITEMIDLIST> clones;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count && SUCCEEDED(hr); ++i) {
      ContainerItem item;
      if (items[i] == nullptr || FAILED(ContainerItemId::ReadFirst(items[i], &item))) {
        hr = E_INVALIDARG;
      } else if (LPITEMIDLIST clone = ILCloneFirst(items[i])) {
        clones.push_back(clone);
      } else {
        hr = E_OUTOFMEMORY;
      }
    }
    if (FAILED(hr)) {
      for (LPITEMIDLIST clone : clones) ILFree(clone);
      return hr;
    }
    std::lock_guard guard(lock_);
    for (LPITEMIDLIST old : items_) ILFree(old);
    items_ = std::move(clones);
    folder_ = ComPtr<IUnknown>(folder);
    containerPath_ = std::move(containerPath);
    performedEffect_ = 0;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

void CQvDataObject::SetVerifiedUser(std::string userId) {
  std::lock_guard guard(lock_);
  userId_ = std::move(userId);
}

void CQvDataObject::SetDecryptionSession(std::shared_ptr<ContainerDecryptionSession> session) {
  std::lock_guard guard(lock_);
  session_ = std::move(session);
}

void CQvDataObject::SetPreferredEffect(DWORD effect) noexcept {
  std::lock_guard guard(lock_);
  preferredEffect_ = effect;
}

DWORD CQvDataObject::PreferredEffect() const noexcept {
  std::lock_guard guard(lock_);
  return preferredEffect_;
}

DWORD CQvDataObject::PerformedEffect() const noexcept {
  std::lock_guard guard(lock_);
  return performedEffect_;
}

HRESULT CQvDataObject::TakeSnapshot() {
  if (snapshotTaken_) return entries_.empty() ? E_UNEXPECTED : S_OK;
  snapshotTaken_ = true;
  QVDatabase database;
  if (database.Open(containerPath_, FALSE) != VARIANT_TRUE) {
    (void)database.Close();
    return E_UNEXPECTED;
  }
  std::vector<TransferEntry> entries;
  SnapshotWalk walk(database, &entries);
  bool complete = true;
  for (LPITEMIDLIST id : items_) {
    ContainerItem item;
    complete = SUCCEEDED(ContainerItemId::ReadFirst(id, &item)) &&
               (item.IsFolder() ? walk.AddFolder(item) : walk.AddFile(item));
    if (!complete) break;
  }
  (void)database.Close();
  if (!complete) return E_UNEXPECTED;
  entries_ = std::move(entries);
  return entries_.empty() ? E_UNEXPECTED : S_OK;
}

HRESULT CQvDataObject::MakeStreamTable() {
  if (!streams_.empty()) return S_OK;
  // The files are decrypted for the user the view verified (or the one logged on), through
  // the session the folder handed over when it is for that container and user; a session
  // opens nothing before the first read of a stream.
  std::string userId = ContainerDecryptionSession::DecryptingUser(userId_);
  std::shared_ptr<ContainerDecryptionSession> session = session_;
  if (!session || session->ContainerPath() != containerPath_ || session->UserId() != userId)
    session = std::make_shared<ContainerDecryptionSession>(containerPath_, std::move(userId));
  std::vector<ComPtr<CQvDataStream>> streams(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const TransferEntry& entry = entries_[i];
    if (entry.isFolder) continue;
    ComPtr<IQvDataStream> made;
    if (FAILED(
            CQvDataStream::CreateInstance(IQvDataStream::kIid, made.ReleaseAndGetVoidAddressOf())))
      continue;  // the entry stays empty; its request fails
    ComPtr<CQvDataStream> stream(static_cast<CQvDataStream*>(made.Get()));
    stream->SetFile(
        folder_.Get(),
        StreamSource{containerPath_, entry.folderId, entry.fileId, entry.storedName, i, session},
        transferred_);
    streams[i] = std::move(stream);
  }
  streams_ = std::move(streams);
  return S_OK;
}

HRESULT CQvDataObject::GetDescriptor(STGMEDIUM* medium) {
  HRESULT hr = TakeSnapshot();
  if (FAILED(hr)) return hr;
  std::vector<FileGroupEntry> group;
  group.reserve(entries_.size());
  for (const TransferEntry& entry : entries_) {
    FileGroupEntry out;
    out.name = entry.name;
    out.flags = entry.isFolder ? (FD_ATTRIBUTES | FD_PROGRESSUI) : kEntryFlags;
    if (entry.hasTime) {
      out.flags |= FD_WRITESTIME;
      out.lastWriteTime = entry.lastWrite;
    } else {
      out.flags &= ~FD_WRITESTIME;
    }
    out.attributes = entry.attributes;
    out.size = entry.size;
    group.push_back(std::move(out));
  }
  // A name that does not fit its field fails the whole descriptor: a cut name is another file.
  HGLOBAL block = CreateFileGroupDescriptor(group, false);
  if (block == nullptr) return E_UNEXPECTED;
  medium->tymed = TYMED_HGLOBAL;
  medium->hGlobal = block;
  medium->pUnkForRelease = nullptr;
  return S_OK;
}

HRESULT CQvDataObject::GetContents(LONG index, STGMEDIUM* medium) {
  HRESULT hr = TakeSnapshot();
  if (FAILED(hr)) return hr;
  if (static_cast<std::size_t>(index) >= entries_.size() || entries_[index].isFolder)
    return E_INVALIDARG;
  hr = MakeStreamTable();
  if (FAILED(hr)) return hr;
  const ComPtr<CQvDataStream>& stream = streams_[index];
  if (!stream) return E_OUTOFMEMORY;
  stream->Rewind();
  OpenNextAhead(static_cast<std::size_t>(index));
  medium->tymed = TYMED_ISTREAM;
  medium->pstm = stream.Get();
  medium->pstm->AddRef();
  medium->pUnkForRelease = static_cast<IDataObject*>(this);
  AddRef();
  return S_OK;
}

void CQvDataObject::OpenNextAhead(std::size_t handedOut) {
  // Receivers ask for the files in the descriptor's order: those after this one are opened on
  // the opener's thread while it reads and writes this one, a few at a time. Files passed over
  // are let go, so that at most kFilesAhead are held open before their reads.
  if (lastHandedOut_ != kNoEntry && handedOut > lastHandedOut_ + 1) {
    if (opener_) opener_->Clear();
    for (std::size_t i = lastHandedOut_ + 1; i < handedOut && i < queuedEnd_; ++i)
      if (streams_[i]) streams_[i]->DropOpenedAhead();
    queuedEnd_ = handedOut + 1;
  }
  lastHandedOut_ = handedOut;
  queuedEnd_ = std::max(queuedEnd_, handedOut + 1);
  std::size_t ahead = 0;
  for (std::size_t i = handedOut + 1; i < queuedEnd_ && ahead < kFilesAhead; ++i)
    if (streams_[i]) ++ahead;
  if (ahead > kFilesAhead / 2) return;
  for (; queuedEnd_ < streams_.size() && ahead < kFilesAhead; ++queuedEnd_) {
    CQvDataStream* stream = streams_[queuedEnd_].Get();
    if (stream == nullptr) continue;
    if (!opener_) opener_ = std::make_unique<TaskThreads>(1);
    opener_->Post([stream] { stream->OpenAhead(); });
    ++ahead;
  }
}

bool CQvDataObject::OpenedAhead(std::size_t index) const {
  std::lock_guard guard(lock_);
  return index < streams_.size() && streams_[index] && streams_[index]->OpenedAhead();
}

HRESULT CQvDataObject::GetData(FORMATETC* format, STGMEDIUM* medium) {
  if (format == nullptr || medium == nullptr) return E_INVALIDARG;
  *medium = STGMEDIUM{};
  try {
    Formats formats;
    if (!formats.Load()) return E_UNEXPECTED;
    std::lock_guard guard(lock_);
    if (format->cfFormat == formats.descriptor) {
      if (!WellFormed(*format, true) || (format->tymed & TYMED_HGLOBAL) == 0) return E_INVALIDARG;
      return GetDescriptor(medium);
    }
    if (format->cfFormat == formats.contents) {
      if (!WellFormed(*format, false) || (format->tymed & TYMED_ISTREAM) == 0) return E_INVALIDARG;
      if (format->lindex < 0) return DV_E_LINDEX;
      return GetContents(format->lindex, medium);
    }
    if (format->cfFormat == formats.preferred) {
      if (!WellFormed(*format, true) || (format->tymed & TYMED_HGLOBAL) == 0) return E_INVALIDARG;
      HGLOBAL block = BlockWithValue(preferredEffect_);
      if (block == nullptr) return E_OUTOFMEMORY;
      medium->tymed = TYMED_HGLOBAL;
      medium->hGlobal = block;
      return S_OK;
    }
    return E_NOTIMPL;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvDataObject::QueryGetData(FORMATETC* format) {
  if (format == nullptr) return E_INVALIDARG;
  Formats formats;
  if (!formats.Load()) return E_UNEXPECTED;
  if (format->cfFormat == formats.descriptor || format->cfFormat == formats.preferred)
    return WellFormed(*format, true) && (format->tymed & TYMED_HGLOBAL) != 0 ? S_OK : E_INVALIDARG;
  if (format->cfFormat == formats.contents) {
    if (!WellFormed(*format, false) || (format->tymed & TYMED_ISTREAM) == 0) return E_INVALIDARG;
    return format->lindex < 0 ? DV_E_LINDEX : S_OK;
  }
  return E_NOTIMPL;
}

HRESULT CQvDataObject::SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) {
  if (format == nullptr || medium == nullptr) return E_INVALIDARG;
  try {
    Formats formats;
    if (!formats.Load()) return E_UNEXPECTED;
    if (format->cfFormat != formats.performed) return E_NOTIMPL;
    if (!WellFormed(*format, true) || (format->tymed & TYMED_HGLOBAL) == 0 ||
        medium->tymed != TYMED_HGLOBAL || medium->hGlobal == nullptr ||
        GlobalSize(medium->hGlobal) < sizeof(DWORD))
      return E_INVALIDARG;
    DWORD effect = 0;
    const void* bytes = GlobalLock(medium->hGlobal);
    if (bytes == nullptr) return E_INVALIDARG;
    std::memcpy(&effect, bytes, sizeof effect);
    (void)GlobalUnlock(medium->hGlobal);
    if (release) ReleaseStgMedium(medium);
    std::lock_guard guard(lock_);
    performedEffect_ = effect;
    return (effect & DROPEFFECT_MOVE) != 0 ? CarryOutMove() : S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvDataObject::CarryOutMove() {
  // A receiver that reports the move twice has the rows deleted once, and the same answer.
  if (moveCarriedOut_) return moveResult_;
  // Nothing was asked for: the receiver cannot have received anything.
  if (!snapshotTaken_ || entries_.empty()) return E_UNEXPECTED;
  if (userId_.empty()) return E_ACCESSDENIED;
  QVDatabase database;
  if (database.Open(containerPath_, FALSE) != VARIANT_TRUE) {
    (void)database.Close();
    return E_UNEXPECTED;
  }
  bool complete = true;
  {
    // Every change of a container's files rewrites its protected file list under the folder
    // key; deleting without it would leave a container no later decryption accepts.
    HeldFolderKey key;
    if (!key.Bind(database, containerPath_, userId_)) {
      (void)database.Close();
      return E_ACCESSDENIED;
    }
    // The files that arrived go in grouped transactions, each row only while it is still the
    // file that was read; a crash leaves each of them either gone or whole.
    std::vector<QVDatabase::StoredFileRow> arrived;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const TransferEntry& entry = entries_[i];
      if (entry.isFolder) continue;
      if (!transferred_->Contains(i)) {
        complete = false;  // it did not arrive: it stays
        continue;
      }
      arrived.push_back({entry.folderId, entry.fileId, entry.storedName});
    }
    std::vector<bool> deleted;
    if (database.DeleteFiles(arrived, &deleted) != VARIANT_TRUE ||
        std::find(deleted.begin(), deleted.end(), false) != deleted.end())
      complete = false;
    // Folders go only with a whole move: the receiver read every file, so it went through the
    // whole tree. Folders come in the snapshot before what they hold: the deepest go first.
    // A folder that still holds an item (one added meanwhile) stays.
    if (complete) {
      std::vector<DWORD> folders;
      for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry)
        if (entry->isFolder) folders.push_back(entry->folderId);
      std::vector<bool> emptied;
      if (database.DeleteEmptyFolders(folders, &emptied) != VARIANT_TRUE ||
          std::find(emptied.begin(), emptied.end(), false) != emptied.end())
        complete = false;
    }
  }
  (void)database.Close();
  moveCarriedOut_ = true;
  moveResult_ = complete ? S_OK : E_FAIL;
  return moveResult_;
}

HRESULT CQvDataObject::EnumFormatEtc(DWORD direction, IEnumFORMATETC** enumerator) {
  if (enumerator == nullptr) return E_POINTER;
  *enumerator = nullptr;
  if (direction != DATADIR_GET && direction != DATADIR_SET) return E_INVALIDARG;
  Formats formats;
  if (!formats.Load()) return E_UNEXPECTED;
  const FORMATETC offered[] = {
      {formats.contents, nullptr, DVASPECT_CONTENT, -1, TYMED_ISTREAM},
      {formats.descriptor, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL},
      {formats.preferred, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL},
      {formats.performed, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL},
  };
  ComPtr<IEnumFORMATETC> made;
  HRESULT hr =
      CQvEnumFORMATETC::CreateInstance(IID_IEnumFORMATETC, made.ReleaseAndGetVoidAddressOf());
  if (FAILED(hr)) return hr;
  hr = static_cast<CQvEnumFORMATETC*>(made.Get())->SetFormats(offered, 4);
  if (FAILED(hr)) return hr;
  *enumerator = made.Detach();
  return S_OK;
}

HRESULT CQvDataObject::GetDataHere(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
HRESULT CQvDataObject::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) { return E_NOTIMPL; }
HRESULT CQvDataObject::DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) { return E_NOTIMPL; }
HRESULT CQvDataObject::DUnadvise(DWORD) { return E_NOTIMPL; }
HRESULT CQvDataObject::EnumDAdvise(IEnumSTATDATA**) { return E_NOTIMPL; }
