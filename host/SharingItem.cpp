// The Sharing item of a context menu (see SharingItem.h).
#include "host/SharingItem.h"

#include <cstdio>
#include <vector>

#include "host/Associations.h"
#include "host/ContextMenuListing.h"
#include "host/ExitCodes.h"
#include "host/InprocServerLoader.h"
#include "platform/shell/DragQuery.h"

namespace {

// The handler's Sharing item, by its command offset.
constexpr UINT kSharingOffset = 3;

}  // namespace

int RunSharingItem(const std::string& path) {
  const std::vector<CLSID> handlers = ContextMenuHandlersFor(path, false);
  if (handlers.empty()) {
    std::fprintf(stderr, "qvx share: no context-menu handler is registered: run qvx register\n");
    return kExitNoHandler;
  }
  ComPtr<IDataObject> selection;
  if (FAILED(CreateDropDataObject({path}, true, selection.ReleaseAndGetAddressOf()))) {
    std::fprintf(stderr, "qvx share: the path is not valid text\n");
    return kExitUsage;
  }
  InprocServerLoader loader;
  int code = kExitNothingRun;
  for (const CLSID& clsid : handlers) {
    IUnknown* object = nullptr;
    std::string error;
    if (FAILED(loader.CreateInstance(clsid, IID_IShellExtInit, &object, &error))) {
      std::fprintf(stderr, "qvx share: the handler %s cannot be loaded: %s\n",
                   FormatGuid(clsid).c_str(), error.c_str());
      code = kExitNoLibrary;
      break;
    }
    ComPtr<IShellExtInit> init;
    init.Attach(static_cast<IShellExtInit*>(object));
    ComPtr<IContextMenu> menu;
    if (FAILED(init.As(menu))) continue;
    (void)init->Initialize(nullptr, selection.Get(), nullptr);
    std::vector<ContextMenuEntry> entries;
    if (FAILED(ListContextMenu(menu.Get(), CMF_NORMAL, &entries))) continue;
    const ContextMenuEntry* sharing = nullptr;
    for (const ContextMenuEntry& entry : entries)
      if (!entry.separator && entry.offset == kSharingOffset) sharing = &entry;
    if (sharing == nullptr) continue;
    code = SUCCEEDED(InvokeContextMenuEntry(menu.Get(), *sharing)) ? kExitOk : kExitNothingRun;
    break;
  }
  selection.Reset();
  (void)loader.UnloadUnused();
  if (code == kExitNothingRun)
    std::fprintf(stderr,
                 "qvx share: sharing is not offered for %s: the suite may not be running (start "
                 "it with 'qvclient start'), or the shell application is busy\n",
                 path.c_str());
  return code;
}
