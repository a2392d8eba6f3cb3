// The enumerator of one folder of a container: filled once, from one listing of that folder
// sorted as a file manager shows it, and then only walked. Its memory is
// that of one folder's identifiers, never of the whole container.
//
// Nothing is listed unless a view of the container has verified its user (the module tables'
// open containers): the file manager's tree pane and other programs see an empty folder until
// then, and again once the last such view has closed.
#pragma once

#include <string>
#include <vector>

#include "platform/Com.h"
#include "platform/shell/ShellFolder.h"

class ContainerReader;

struct IQvEnumIDList : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x7B2E94C1, 0x5A0F, 0x4D83, 0x9E, 0x26, 0xC4, 0x71, 0x0B, 0xD8, 0x3A, 0x5F);

 protected:
  ~IQvEnumIDList() = default;
};

class CQvEnumIDList final : public ComObject<IQvEnumIDList, IEnumIDList> {
 public:
  [[nodiscard]] static HRESULT CreateInstance(REFIID riid, void** ppv,
                                              ComModule* module = nullptr) noexcept;
  explicit CQvEnumIDList(ComModule* module);

  // Lists the items of folder `folderId` of the container at `containerPath`, read through
  // `reader` (the container's, see ContainerReader.h), for `flags` (SHCONTF_FOLDERS,
  // SHCONTF_NONFOLDERS): folders first, then files, each by name in the user's collation (the
  // order CompareIDs gives on column 0). Holds `folder` (the shell folder listed) until
  // released. S_FALSE, with an empty list, while no view of the container has verified its
  // user (the container is then not even opened); a container that cannot be opened (or no
  // reader) gives an empty list and S_OK.
  HRESULT Fill(IShellFolder* folder, const std::string& containerPath, ContainerReader* reader,
               DWORD folderId, SHCONTF flags);

  // IEnumIDList. Next hands out copies the caller frees; Clone is not offered.
  HRESULT Next(ULONG celt, PITEMID_CHILD* rgelt, ULONG* pceltFetched) override;
  HRESULT Skip(ULONG celt) override;
  HRESULT Reset() override;
  HRESULT Clone(IEnumIDList** ppenum) override;

 private:
  ~CQvEnumIDList() override;
  void FreeItems();

  ComPtr<IShellFolder> folder_;
  std::vector<LPITEMIDLIST> items_;
  std::size_t position_ = 0;
  SHCONTF flags_ = 0;
};
