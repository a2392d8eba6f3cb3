#include "transfer/CQvDataStream.h"

#include <algorithm>
#include <utility>

#include "base/ContainerItemId.h"
#include "base/QvFolderExtApp.h"
#include "engine/OperationFrame.h"

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

HRESULT CQvDataStream::CreateInstance(REFIID riid, void** ppv, ComModule* module) noexcept {
  return CreateComInstance<CQvDataStream>(riid, ppv, module);
}

CQvDataStream::~CQvDataStream() = default;

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

void CQvDataStream::OpenAhead() {
  std::lock_guard guard(lock_);
  if (state_ != State::kFresh || file_) return;
  openedAhead_ = OpenReader();
  // A small file is decrypted too, into memory only: no byte leaves before its record.
  if (openedAhead_) file_->OpenIfOneChunk();
}

void CQvDataStream::DropOpenedAhead() {
  std::lock_guard guard(lock_);
  if (!openedAhead_) return;
  openedAhead_ = false;
  file_.reset();
}

bool CQvDataStream::OpenedAhead() const {
  std::lock_guard guard(lock_);
  return openedAhead_;
}

bool CQvDataStream::OpenReader() {
  return source_.session && ContainerItemId::IsValidName(source_.storedName) &&
         ContainerFileReader::Open(source_.session, source_.folderId, source_.fileId,
                                   source_.storedName, &file_) == StatusSuccess;
}

void CQvDataStream::Record(DWORD result) {
  // The record names the user the file is opened for (the one the view verified).
  if (CUserData* userData = QvApp().userData; userData != nullptr && source_.session)
    (void)WriteOperationAudit(*userData, source_.session->UserId(), kAuditEventFileLeftContainer,
                              source_.containerPath, result);
}

HRESULT CQvDataStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (pcbRead != nullptr) *pcbRead = 0;
  if (pv == nullptr && cb != 0) return E_POINTER;
  try {
    std::lock_guard guard(lock_);
    if (state_ == State::kFresh) {
      // A file opened ahead is served as the container is now, never as it was then.
      if (openedAhead_ && !file_->StillAsOpened()) file_.reset();
      openedAhead_ = false;
      // The record is written before any plain byte leaves.
      const bool opened = QvApp().userData != nullptr && (file_ || OpenReader());
      Record(opened ? kAuditResultSuccess : kAuditResultFailure);
      state_ = opened ? State::kOpen : State::kFailed;
      if (opened) size_ = file_->Size();
      if (!opened) file_.reset();
    }
    if (state_ != State::kOpen) return E_UNEXPECTED;
    long long got = 0;
    // Past an end already checked there is nothing to read; anywhere else the file is opened
    // again when it was let go at its end (a receiver that starts over).
    if (!(endChecked_ && position_ >= size_)) {
      got = file_ || OpenReader() ? file_->ReadAt(position_, pv, cb) : -1;
    }
    if (got < 0) {
      // A chunk that cannot be read or is not authentic: the file did not come out whole, and
      // its record says so after the one its opening wrote.
      state_ = State::kFailed;
      file_.reset();
      Record(kAuditResultFailure);
      return STG_E_ACCESSDENIED;
    }
    const auto count = static_cast<std::uint64_t>(got);
    if (position_ <= readFromStart_) readFromStart_ = std::max(readFromStart_, position_ + count);
    position_ += count;
    if (pcbRead != nullptr) *pcbRead = static_cast<ULONG>(count);
    if (count < cb || position_ >= size_) {
      // The end, and the last chunk checked as the last: the file is let go, so that a
      // selection of many files holds the memory and keys of none once each was read.
      endChecked_ = true;
      file_.reset();
      if (readFromStart_ >= size_ && log_) log_->Add(source_.entry);
    }
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
