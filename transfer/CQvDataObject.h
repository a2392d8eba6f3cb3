// The items of a container leaving it (Copy or Cut to the clipboard, a drag out of a view): a
// data object that offers them only as virtual files, a file group descriptor listing every
// file and folder and one stream per file that decrypts it when the receiver first reads it.
// Nothing plain is written anywhere before the receiver asks for the contents.
//
// One snapshot of the selection, taken at the first request for a descriptor or for contents,
// serves every later descriptor and the streams, so a container that changes meanwhile never
// pairs a name with another file's bytes. Entry names are the selected item's name plus the
// path below it; every folder walked is described as a folder, so empty folders arrive too.
//
// A file counts as transferred once its stream was read from the first byte to a clean end.
// A move reported by the receiver ("Performed DropEffect") deletes from the container exactly
// the rows of the transferred files (each checked to be still the file that was read) and,
// when every file was transferred, the selection's folders that hold nothing more than their
// empty-folder marker, deepest first; a partial move leaves every folder. The deletes run
// under the folder key of the user the view verified (given when the object is made), so the
// container's file list stays whole. A move that cannot be carried out in full (no verified
// user, a file not transferred, a delete refused) is reported as a failure; whatever did not
// arrive is never deleted. A second report deletes nothing more.
//
// The object keeps its own preferred effect (copy unless told otherwise when it is made, or by
// the drag that carries it), and nothing in it points into the view that made it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/TaskThreads.h"
#include "platform/Com.h"
#include "platform/FileTime.h"
#include "platform/ole/ClipboardFormats.h"
#include "platform/ole/DataObject.h"
#include "platform/shell/ItemIdList.h"
#include "transfer/CQvDataStream.h"

struct IQvDataObject : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x6B2F90C4, 0x1D7E, 0x4A53, 0x8C, 0x06, 0xF4, 0x3B, 0x9E, 0x51, 0xA2, 0x7D);

 protected:
  ~IQvDataObject() = default;
};

// One entry of the snapshot, in descriptor order.
struct TransferEntry {
  std::string name;  // relative, "\" between folders
  bool isFolder = false;
  DWORD attributes = 0;
  bool hasTime = false;
  FILETIME lastWrite{};
  std::uint64_t size = 0;
  DWORD folderId = 0;  // a folder: its own id; a file: its folder's
  DWORD fileId = 0;
  std::string storedName;  // a file's FILE_NAME
  bool selected = false;   // the entry of a selected item itself
};

class CQvDataObject final : public ComObject<IQvDataObject, IDataObject> {
 public:
  [[nodiscard]] static HRESULT CreateInstance(REFIID riid, void** ppv,
                                              ComModule* module = nullptr) noexcept;
  explicit CQvDataObject(ComModule* module) : ComObject(module) {}

  // Set-up: holds `folder` (the folder the items belong to), the container's path and clones
  // of the `count` identifiers with their cut marks; E_INVALIDARG when one does not parse or
  // there is none.
  [[nodiscard]] HRESULT SetItems(IUnknown* folder, std::string containerPath,
                                 const LPCITEMIDLIST* items, UINT count) noexcept;
  // The user the view verified for the container; a move deletes under that user's folder
  // key. Empty (the default) makes every move fail.
  void SetVerifiedUser(std::string userId);
  // The session the streams decrypt through, kept by the folder that made the object so that
  // files taken one after another check the container once. Used only when it is for this
  // container and for the user the streams decrypt for; otherwise, and without one, the
  // object makes its own at its first stream.
  void SetDecryptionSession(std::shared_ptr<ContainerDecryptionSession> session);
  // The effect offered as "Preferred DropEffect" (DROPEFFECT_COPY until set).
  void SetPreferredEffect(DWORD effect) noexcept;
  [[nodiscard]] DWORD PreferredEffect() const noexcept;
  // The last "Performed DropEffect" received; 0 until then.
  [[nodiscard]] DWORD PerformedEffect() const noexcept;
  // The object's own identifiers (the view clears their cut marks when the clipboard moves on).
  [[nodiscard]] const std::vector<LPITEMIDLIST>& Items() const noexcept { return items_; }
  [[nodiscard]] const std::string& ContainerPath() const noexcept { return containerPath_; }
  // How many files were read to their end so far.
  [[nodiscard]] std::size_t TransferredCount() const { return transferred_->Entries().size(); }
  // Whether entry `index`'s file is open ahead of its first read.
  [[nodiscard]] bool OpenedAhead(std::size_t index) const;

  // IDataObject.
  HRESULT GetData(FORMATETC* format, STGMEDIUM* medium) override;
  HRESULT GetDataHere(FORMATETC* format, STGMEDIUM* medium) override;
  HRESULT QueryGetData(FORMATETC* format) override;
  HRESULT GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
  HRESULT SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
  HRESULT EnumFormatEtc(DWORD direction, IEnumFORMATETC** enumerator) override;
  HRESULT DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* connection) override;
  HRESULT DUnadvise(DWORD connection) override;
  HRESULT EnumDAdvise(IEnumSTATDATA** enumerator) override;

 private:
  ~CQvDataObject() override;

  // The snapshot and the stream table, each made once; callers hold lock_.
  HRESULT TakeSnapshot();
  HRESULT MakeStreamTable();
  HRESULT GetDescriptor(STGMEDIUM* medium);
  HRESULT GetContents(LONG index, STGMEDIUM* medium);
  // Has the files after entry `handedOut` opened ahead.
  void OpenNextAhead(std::size_t handedOut);
  HRESULT CarryOutMove();

  mutable std::mutex lock_;
  ComPtr<IUnknown> folder_;
  std::string containerPath_;
  std::string userId_;
  std::vector<LPITEMIDLIST> items_;
  DWORD preferredEffect_ = DROPEFFECT_COPY;
  DWORD performedEffect_ = 0;
  bool snapshotTaken_ = false;
  std::vector<TransferEntry> entries_;
  std::shared_ptr<ContainerDecryptionSession> session_;
  std::vector<ComPtr<CQvDataStream>> streams_;  // one per entry (none for folders), made once
  std::shared_ptr<TransferredFiles> transferred_ = std::make_shared<TransferredFiles>();
  bool moveCarriedOut_ = false;
  HRESULT moveResult_ = S_OK;
  // Opening ahead: how many files at most, the entry last handed out, and the entry after the
  // last one given to the opener.
  static constexpr std::size_t kFilesAhead = 8;
  static constexpr std::size_t kNoEntry = static_cast<std::size_t>(-1);
  std::size_t lastHandedOut_ = kNoEntry;
  std::size_t queuedEnd_ = 0;
  // The thread that opens streams ahead (CQvDataStream::OpenAhead); last, so that it ends
  // before the streams it opens go.
  std::unique_ptr<TaskThreads> opener_;
};
