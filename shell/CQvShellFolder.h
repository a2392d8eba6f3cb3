// The shell folder of a container: one object stands for one folder inside one container
// file, the root (created by the class factory, then Initialize with the container file's
// absolute list) or a sub-folder (created by BindToObject). It answers the file manager's
// questions about its items from their identifiers alone; what needs the container is read
// through one ContainerReader, made by the root folder and shared with every folder bound
// below it (and their enumerators and views), so walking folder after folder reuses one
// connection. Renaming opens a QVDatabase of its own and closes it before it returns.
//
// Every identifier handed in is parsed first (ContainerItemId); a damaged one gives
// E_INVALIDARG. Nothing of a container is listed or renamed through this object until a view
// of the container has verified its user (the module tables' open containers): the file
// manager's tree pane and other programs see an empty folder before.
//
// Objects live on the thread that created them and hold no lock.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/ContainerDecryptionSession.h"
#include "platform/Com.h"
#include "platform/Files.h"
#include "platform/shell/ItemIdList.h"
#include "platform/shell/ShellFolder.h"

class ContainerReader;
struct DropPlace;

// The folder's own interface, first in its table (no methods beyond IUnknown).
struct IQvShellFolder : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x51C0E7A2, 0x8D36, 0x4F1B, 0xA4, 0x7E, 0x2B, 0x90, 0xC5, 0x13, 0x6F, 0xD8);

 protected:
  ~IQvShellFolder() = default;
};

class CQvShellFolder final : public ComObject<IQvShellFolder, IShellFolder, IPersistFolder2> {
 public:
  // Creates a folder and queries `riid` from it; `module` (optional) is held locked while it
  // lives.
  [[nodiscard]] static HRESULT CreateInstance(REFIID riid, void** ppv,
                                              ComModule* module = nullptr) noexcept;

  explicit CQvShellFolder(ComModule* module);

  // IShellFolder.
  // The relative list of the item `pszDisplayName` names below this folder: a display name as
  // GetDisplayNameOf writes it (the item must lie inside this folder) or a path relative to
  // this folder ("Docs/notes.txt"). Each level is looked up in the container, so the list
  // holds what the store holds. E_INVALIDARG for text that names no item here,
  // E_ACCESSDENIED before a view of the container verified its user, and
  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) or (ERROR_PATH_NOT_FOUND) for a missing item or a
  // missing folder on the way. *pdwAttributes (when given) is masked as GetAttributesOf does.
  HRESULT ParseDisplayName(HWND hwnd, IBindCtx* pbc, LPWSTR pszDisplayName, ULONG* pchEaten,
                           PIDLIST_RELATIVE* ppidl, ULONG* pdwAttributes) override;
  // An enumerator in every case; S_FALSE (an empty one) while no view of the container has
  // verified its user, which tells a host a refused view from an empty folder.
  HRESULT EnumObjects(HWND hwnd, SHCONTF grfFlags, IEnumIDList** ppenumIDList) override;
  // IID_IShellFolder only; every identifier of `pidl` must be a folder item.
  HRESULT BindToObject(PCUIDLIST_RELATIVE pidl, IBindCtx* pbc, REFIID riid, void** ppv) override;
  HRESULT BindToStorage(PCUIDLIST_RELATIVE pidl, IBindCtx* pbc, REFIID riid, void** ppv) override;
  HRESULT CompareIDs(LPARAM lParam, PCUIDLIST_RELATIVE pidl1, PCUIDLIST_RELATIVE pidl2) override;
  HRESULT CreateViewObject(HWND hwndOwner, REFIID riid, void** ppv) override;
  HRESULT GetAttributesOf(UINT cidl, PCUITEMID_CHILD_ARRAY apidl, SFGAOF* rgfInOut) override;
  HRESULT GetUIObjectOf(HWND hwndOwner, UINT cidl, PCUITEMID_CHILD_ARRAY apidl, REFIID riid,
                        UINT* rgfReserved, void** ppv) override;
  // The item's name (SHGDN_INFOLDER) or its full path: the container path, "/", and the
  // item's path inside the container with "/" between its parts. A name that does not fit the
  // STRRET's own buffer comes back allocated (STRRET_WSTR), never cut.
  HRESULT GetDisplayNameOf(PCUITEMID_CHILD pidl, SHGDNF uFlags, STRRET* pName) override;
  // Renames the item in the container; *ppidlOut (when given) receives its new identifier.
  HRESULT SetNameOf(HWND hwnd, PCUITEMID_CHILD pidl, LPCWSTR pszName, SHGDNF uFlags,
                    PITEMID_CHILD* ppidlOut) override;

  // IPersistFolder2.
  HRESULT GetClassID(CLSID* pClassID) override;
  // S_OK when the container file exists, S_FALSE when it does not (the folder then refuses
  // views). The container path comes from the list's file-system part unless already set.
  HRESULT Initialize(PCIDLIST_ABSOLUTE pidl) override;
  HRESULT GetCurFolder(PIDLIST_ABSOLUTE* ppidl) override;

  // ---- Called directly by the view, the enumerator and the transfer classes ----

  const std::string& ContainerPath() const { return containerPath_; }
  DWORD FolderId() const { return folderId_; }
  DWORD ParentId() const { return parentId_; }
  // The folder's stored path ("\Docs\Sub"; empty for the root).
  const std::string& StoredPath() const { return storedPath_; }
  // The absolute list given to Initialize; null before.
  LPCITEMIDLIST AbsoluteList() const { return absoluteList_; }
  bool ContainerPresent() const { return containerPresent_; }
  // True while a view of this container has verified its user.
  [[nodiscard]] bool ContainerUnlocked() const;
  // A decrypted temporary file opened from this folder, removed when the folder goes.
  void AddTemporaryFile(std::string path);
  // The private folder (a work folder of this process) that a file opened from this folder was
  // decrypted into. When the folder goes, the private folder goes with everything in it,
  // unless the decrypted-file monitor took the file (`monitored`): the monitor then removes
  // the copy once its application lets go of it.
  void AddPrivateFolder(std::string path, bool monitored);
  // Where a new child stands, and the reader it shares with its parent: used by BindToObject
  // before the child's Initialize.
  void SetLocation(std::string containerPath, DWORD folderId, DWORD parentId,
                   std::string storedPath, std::shared_ptr<ContainerReader> reader);
  // The reader of this folder's container (see the top of this file); null before Initialize.
  [[nodiscard]] const std::shared_ptr<ContainerReader>& Reader() const { return reader_; }
  // The session this folder's data objects and its view's Open decrypt through for `verified`
  // (the user the view verified, or empty), kept while the folder lives so that files taken
  // one after another check the container once; a new one when the user differs.
  [[nodiscard]] std::shared_ptr<ContainerDecryptionSession> DecryptionSession(
      const std::string& verified);

 private:
  ~CQvShellFolder() override;
  void RemoveTemporaryFiles();
  // A drop target for `place`, holding this folder.
  [[nodiscard]] HRESULT CreateDropTarget(DropPlace place, HWND owner, REFIID riid, void** ppv);
  void RemoveDecryptedCopies();
  // The path inside the container of `item` reached through `list` from this folder, "\"
  // separated; empty when it cannot be told.
  // The data object of GetUIObjectOf over the `cidl` identifiers; `first` is the first, read.
  HRESULT MakeDataObject(UINT cidl, PCUITEMID_CHILD_ARRAY apidl, const struct ContainerItem& first,
                         void** ppv);
  std::string InnerPathOf(LPCITEMIDLIST list, const struct ContainerItem& item) const;
  // True when the container opens and holds folder `folderId`. A host asks this for every row
  // it shows, so an answer found in the store stands while the container file is unchanged
  // since then (see knownState_).
  bool HoldsFolder(DWORD folderId);

  LPITEMIDLIST absoluteList_ = nullptr;
  std::string containerPath_;
  std::shared_ptr<ContainerReader> reader_;
  std::string storedPath_;
  DWORD folderId_ = 0;
  DWORD parentId_ = 0;
  bool containerPresent_ = true;
  std::vector<std::string> temporaryFiles_;
  struct PrivateFolder {
    std::string path;
    bool monitored = false;
  };
  std::vector<PrivateFolder> privateFolders_;
  // Folder ids found in the container, and the container file's identity when they were: any
  // write changes its size or times, so the same identity means the same folders. A file
  // changed less than a second before the look-up is not trusted, as a write in the same tick
  // of the file system's clock could leave its times as they were.
  FILE_IDENTITY knownState_;
  std::set<DWORD> knownFolders_;
  std::shared_ptr<ContainerDecryptionSession> session_;
};
