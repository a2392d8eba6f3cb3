// Storing a saved edit back into the container entry it came from.
//
// The monitor calls Store when a watched copy holds bytes the container does not. An
// implementation encrypts the copy for the recipients of the stored item and replaces the
// image of the row (folder id, file id) in one transaction, durable on disk before it returns
// Stored; the monitor looks at the copy again only after that.
//
// The store-back of the monitor process reaches the container through the product's class for
// it (CLSID_QvDecryptedFileStore, created from the registry like every other class), because
// an entry's image is bound to its place under the container's folder key and listed in the
// container's keyed file list, both kept by the product's container store, which a suite
// program cannot include. The class verifies the user first. Whatever it cannot store is kept
// safe instead: see Monitor.h.
#pragma once

#include <memory>
#include <string>

#include "suite/qvmonitor/MonitorRequest.h"

namespace qvmonitor {

enum class StoreResult {
  Stored,         // the container holds the copy's bytes, durably
  Busy,           // the container is held by a writer: try again later; nothing changed
  ContainerGone,  // no container at the path any more
  Unavailable,    // no class to store with (the product is not registered or does not load)
  Failed,         // refused or failed (user not verified, entry gone, write error): not stored
};

class ContainerStoreBack {
 public:
  virtual ~ContainerStoreBack() = default;
  [[nodiscard]] virtual StoreResult Store(const MonitorRequest& entry,
                                          const std::string& plainPath) = 0;
};

// The store-back through the product's class. ContainerGone when nothing is at the container's
// path, without loading anything.
[[nodiscard]] std::unique_ptr<ContainerStoreBack> NewContainerStoreBack();

}  // namespace qvmonitor
