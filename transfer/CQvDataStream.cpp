#include "transfer/CQvDataStream.h"

#include <stdlib.h>

#include <algorithm>
#include <utility>

#include "base/ContainerItemId.h"
#include "base/QvFolderExtApp.h"
#include "engine/OperationFrame.h"
#include "platform/Files.h"
#include "platform/MachineRoot.h"
#include "platform/WorkFolders.h"

namespace {

constexpr DWORD kAuditEventFileLeftContainer = 10;

}  // namespace

void TransferredFiles::Add(std::size_t entry) {
  std::lock_guard guard(lock_);
  entries_.insert(entry);
}

bool TransferredFiles::Contains(std::size_t entry) const {
  std::lock_guard guard(lock_);
  return entries_.count(entry) != 0;
}

std::vector<std::size_t> TransferredFiles::Entries() const {
  std::lock_guard guard(lock_);
  return {entries_.begin(), entries_.end()};
}

StreamWorkArea::~StreamWorkArea() {
  if (!folder_.empty()) (void)QvRemoveWorkFolder(folder_);
}

std::string StreamWorkArea::NewFolder() {
  std::lock_guard guard(lock_);
  if (folder_.empty()) folder_ = QvCreateWorkFolder(QvRuntimeDir(), "qvf");
  if (folder_.empty()) return {};
  std::string path = folder_ + "/fileXXXXXX";
  return mkdtemp(path.data()) != nullptr ? path : std::string();
}

HRESULT CQvDataStream::CreateInstance(REFIID riid, void** ppv, ComModule* module) noexcept {
  return CreateComInstance<CQvDataStream>(riid, ppv, module);
}

CQvDataStream::~CQvDataStream() {
  (void)plain_.Close();
  // What stays is removed with the work area.
  if (!privateFolder_.empty()) (void)DeleteFolderTreeA(privateFolder_.c_str());
}

void CQvDataStream::SetFile(IUnknown* folder, StreamSource source,
                            std::shared_ptr<TransferredFiles> log) {
  std::lock_guard guard(lock_);
  folder_ = ComPtr<IUnknown>(folder);
  source_ = std::move(source);
  log_ = std::move(log);
}

void CQvDataStream::Rewind() {
  std::lock_guard guard(lock_);
  position_ = 0;
}

bool CQvDataStream::OpenPlainFile() {
  CUserData* userData = QvApp().userData;
  // The stored name becomes a file name in the work folder: it must be one component.
  if (userData == nullptr || !source_.session || !source_.workArea ||
      !ContainerItemId::IsValidName(source_.storedName))
    return false;
  bool decrypted = false;
  privateFolder_ = source_.workArea->NewFolder();
  if (!privateFolder_.empty() &&
      source_.session->Decrypt(source_.folderId, source_.fileId, source_.storedName,
                               privateFolder_) == StatusSuccess) {
    const std::string plainPath =
        privateFolder_ + "/" + ContainerItemId::DisplayNameOfStoredFile(source_.storedName);
    decrypted = plain_.OpenForReading(plainPath.c_str()) != FALSE;
  }
  // The record names the user the file was decrypted for (the one the view verified).
  (void)WriteOperationAudit(*userData, source_.session->UserId(), kAuditEventFileLeftContainer,
                            source_.containerPath,
                            decrypted ? kAuditResultSuccess : kAuditResultFailure);
  if (!decrypted) {
    (void)plain_.Close();
    if (!privateFolder_.empty()) (void)DeleteFolderTreeA(privateFolder_.c_str());
    privateFolder_.clear();
    return false;
  }
  size_ = plain_.SizeWhenOpened();
  return true;
}

HRESULT CQvDataStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (pcbRead != nullptr) *pcbRead = 0;
  if (pv == nullptr && cb != 0) return E_POINTER;
  try {
    std::lock_guard guard(lock_);
    if (state_ == State::kFresh) state_ = OpenPlainFile() ? State::kOpen : State::kFailed;
    if (state_ != State::kOpen) return E_UNEXPECTED;
    const long long got = plain_.ReadAt(position_, pv, cb);
    if (got < 0) return STG_E_ACCESSDENIED;
    const auto count = static_cast<std::uint64_t>(got);
    if (position_ <= readFromStart_) readFromStart_ = std::max(readFromStart_, position_ + count);
    position_ += count;
    if (pcbRead != nullptr) *pcbRead = static_cast<ULONG>(count);
    const bool atEnd = count < cb || position_ >= size_;
    if (atEnd && readFromStart_ >= size_ && log_) log_->Add(source_.entry);
    return count < cb ? S_FALSE : S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CQvDataStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) {
  std::lock_guard guard(lock_);
  if (state_ != State::kOpen) return E_UNEXPECTED;
  std::int64_t base = 0;
  switch (origin) {
    case STREAM_SEEK_SET:
      base = 0;
      break;
    case STREAM_SEEK_CUR:
      base = static_cast<std::int64_t>(position_);
      break;
    case STREAM_SEEK_END:
      base = static_cast<std::int64_t>(size_);
      break;
    default:
      return STG_E_INVALIDFUNCTION;
  }
  if ((move.QuadPart < 0 && -move.QuadPart > base)) return STG_E_INVALIDFUNCTION;
  position_ = static_cast<std::uint64_t>(base + move.QuadPart);
  if (newPosition != nullptr) newPosition->QuadPart = position_;
  return S_OK;
}

HRESULT CQvDataStream::Write(const void*, ULONG, ULONG* pcbWritten) {
  if (pcbWritten != nullptr) *pcbWritten = 0;
  return E_NOTIMPL;
}
HRESULT CQvDataStream::SetSize(ULARGE_INTEGER) { return E_NOTIMPL; }
HRESULT CQvDataStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) {
  return E_NOTIMPL;
}
HRESULT CQvDataStream::Commit(DWORD) { return E_NOTIMPL; }
HRESULT CQvDataStream::Revert() { return E_NOTIMPL; }
HRESULT CQvDataStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return E_NOTIMPL; }
HRESULT CQvDataStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return E_NOTIMPL; }
HRESULT CQvDataStream::Stat(STATSTG*, DWORD) { return E_NOTIMPL; }
HRESULT CQvDataStream::Clone(IStream** ppstm) {
  if (ppstm != nullptr) *ppstm = nullptr;
  return E_NOTIMPL;
}
