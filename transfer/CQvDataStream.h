// The contents of one file leaving a container: a stream that, on its first read, opens the
// file's stored image and from then on serves its plain bytes chunk by chunk as they are read
// (no plain copy of the file is made anywhere). The image is opened through the session its
// data object shares among its streams, which opens the folder key and checks the container's
// rows once for all of them. The data object may have the image opened earlier, on a thread of
// its own, while the receiver handles the file before; the first read then serves it only if
// the container file is still as it was at that opening, and opens it again otherwise.
//
// The stream never opens the file twice: an opening that failed is remembered and every later
// read fails at once; so does a chunk that failed. A file counts as transferred only once it was
// read from its first byte to a clean end; the data object deletes only such files when the
// receiver reports a move. Reads may come from several threads; each stream serialises its own.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/ContainerDecryptionSession.h"
#include "engine/ContainerFileReader.h"
#include "platform/Com.h"
#include "platform/ole/Stream.h"

struct IQvDataStream : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x4E7B1D93, 0xC6A2, 0x4085, 0x9F, 0x3D, 0x21, 0xE8, 0x5A, 0x7C, 0x06, 0xB1);

 protected:
  ~IQvDataStream() = default;
};

// The entries of one data object whose files were read to their end, shared by the object
// and its streams (a stream may outlive the object's own reference to it).
class TransferredFiles {
 public:
  void Add(std::size_t entry);
  [[nodiscard]] bool Contains(std::size_t entry) const;
  [[nodiscard]] std::vector<std::size_t> Entries() const;

 private:
  mutable std::mutex lock_;
  std::set<std::size_t> entries_;
};

// The file a stream serves: where it is stored and which descriptor entry it stands for.
struct StreamSource {
  std::string containerPath;
  DWORD folderId = 0;
  DWORD fileId = 0;
  std::string storedName;  // FILE_NAME as stored, with its ".qvf"
  std::size_t entry = 0;
  // Decrypts the file; shared by the streams of one data object.
  std::shared_ptr<ContainerDecryptionSession> session;
};

class CQvDataStream final : public ComObject<IQvDataStream, IStream> {
 public:
  [[nodiscard]] static HRESULT CreateInstance(REFIID riid, void** ppv,
                                              ComModule* module = nullptr) noexcept;
  explicit CQvDataStream(ComModule* module) : ComObject(module) {}

  // Set-up: holds `folder` (the folder the file belongs to) for the stream's life.
  void SetFile(IUnknown* folder, StreamSource source, std::shared_ptr<TransferredFiles> log);

  // Back to the first byte, whether or not the file was decrypted yet.
  void Rewind();

  // Opens the file before its first read (the data object does it on another thread for the
  // files a receiver is expected to ask for next). Nothing is recorded or handed out: the first
  // read records the file leaving and serves it, or opens it again when the container changed
  // meanwhile. An opening that fails is left to the first read.
  void OpenAhead();
  // Lets go of a file opened ahead and not read yet (its memory and key).
  void DropOpenedAhead();
  [[nodiscard]] bool OpenedAhead() const;

  // ISequentialStream.
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  // IStream: only Seek is offered; receivers take the size from the descriptor.
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
  HRESULT SetSize(ULARGE_INTEGER newSize) override;
  HRESULT CopyTo(IStream* target, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                 ULARGE_INTEGER* pcbWritten) override;
  HRESULT Commit(DWORD flags) override;
  HRESULT Revert() override;
  HRESULT LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD lockType) override;
  HRESULT UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD lockType) override;
  HRESULT Stat(STATSTG* stat, DWORD flags) override;
  HRESULT Clone(IStream** ppstm) override;

 private:
  enum class State { kFresh, kOpen, kFailed };

  ~CQvDataStream() override;
  // Opens the file's image into file_; false when that failed.
  bool OpenReader();
  // Writes the audit record of the file leaving the container with `result`.
  void Record(DWORD result);

  mutable std::mutex lock_;
  ComPtr<IUnknown> folder_;
  StreamSource source_;
  std::shared_ptr<TransferredFiles> log_;
  State state_ = State::kFresh;
  // Open from the first read (or OpenAhead) to the end of the file.
  std::unique_ptr<ContainerFileReader> file_;
  bool openedAhead_ = false;
  bool endChecked_ = false;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
  // Every byte below this offset has been read since offset 0.
  std::uint64_t readFromStart_ = 0;
};
