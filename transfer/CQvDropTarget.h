// The drop target of a container: plain files and folders dropped from outside onto a
// container view, onto a folder item of a view, onto a folder of the file manager's tree, or
// onto a container file, go into the container through the encryption engine.
//
// It takes only a list of paths (CF_HDROP). The whole drop is refused when any path is a
// shortcut (".lnk"), a link, a device or anything else that is not a regular file or folder, or
// is the container itself or a folder that holds it: a container cannot be stored into itself.
// A drop onto a container that no view has open verifies the user first; a user who does not
// pass, or whom the container's sharing rules refuse, gets the "Invalid User" notice and an
// audit record, and nothing is stored. The effect reported is always one the source offered,
// a copy unless a move was asked for with Shift, and only a move when every source is gone
// afterwards, so no source ever deletes a file that did not arrive.
//
// The target runs on the thread of the drag loop; the progress dialog is modal there.
#pragma once

#include <string>
#include <vector>

#include "platform/Com.h"
#include "platform/Files.h"
#include "platform/ole/DragDrop.h"

// The target's own interface, first in its table (no methods beyond IUnknown).
struct IQvDropTarget : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x9E41C7A3, 0x5B2D, 0x4C86, 0xB1, 0x0F, 0x6A, 0xD3, 0x28, 0xE5, 0x97, 0x4C);

 protected:
  ~IQvDropTarget() = default;
};

// Where the dropped files go.
struct DropPlace {
  std::string containerPath;  // the container file
  DWORD folderId = 0;         // the folder inside it; 0 is the root
  // The folder's path inside the container ("\Docs\Sub"; empty for the root): with the
  // container path it names the place other hosts are told has changed.
  std::string storedPath;
};

class CQvDropTarget final : public ComObject<IQvDropTarget, IDropTarget> {
 public:
  [[nodiscard]] static HRESULT CreateInstance(REFIID riid, void** ppv,
                                              ComModule* module = nullptr) noexcept;

  explicit CQvDropTarget(ComModule* module);

  // Sets the target up: `folder` (the folder object dropped into) is held while the target
  // lives; `owner` is the file manager's window; `list` is the view's item list when the
  // target serves a view, else null. Items of that list carry container item identifiers.
  void SetTarget(IUnknown* folder, DropPlace place, HWND owner, HWND list);

  // IDropTarget. `point` is in the list's client coordinates: every window of this system
  // stands at the screen's origin.
  HRESULT DragEnter(IDataObject* data, DWORD keyState, POINTL point, DWORD* effect) override;
  HRESULT DragOver(DWORD keyState, POINTL point, DWORD* effect) override;
  HRESULT DragLeave() override;
  HRESULT Drop(IDataObject* data, DWORD keyState, POINTL point, DWORD* effect) override;

  // ---- State, for the view and for tests ----
  const std::vector<std::string>& DroppedFiles() const { return droppedFiles_; }
  bool Accepted() const { return accepted_; }
  bool CopyFlag() const { return copy_; }
  bool DraggingImage() const { return draggingImage_; }
  int DragImageIndex() const { return dragImageIndex_; }

 private:
  ~CQvDropTarget() override;

  // The effect rule of DragEnter and DragOver; E_INVALIDARG (effect none) for a key state
  // that allows no drop.
  [[nodiscard]] HRESULT ApplyEffectRule(DWORD keyState, DWORD* effect);
  // Whether `path` may be dropped into this container (see the top of this file);
  // `enclosing` is the container and every folder holding it.
  [[nodiscard]] bool MayDrop(const std::string& path,
                             const std::vector<FILE_IDENTITY>& enclosing) const;
  void EndDragImage();
  // The folder the drop at `point` goes to: a selected folder item under it, else the
  // target's own folder.
  [[nodiscard]] DWORD TargetFolderAt(POINTL point) const;
  [[nodiscard]] HRESULT StoreDroppedFiles(DWORD targetFolder, DWORD* effect);

  ComPtr<IUnknown> folder_;
  DropPlace place_;
  HWND owner_ = nullptr;
  HWND list_ = nullptr;
  bool copy_ = true;
  bool accepted_ = false;
  // False once the last DragOver found no place for the files under the pointer.
  bool placeAllowed_ = true;
  std::vector<std::string> droppedFiles_;
  bool draggingImage_ = false;
  int dragImageIndex_ = 1;
};
