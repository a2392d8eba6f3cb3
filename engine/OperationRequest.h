// The request of one engine operation: one modal run of the progress dialog over a list of
// paths in one direction. The names the engine recognises are in base/ItemNames.h.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ItemNames.h"
#include "platform/WinTypes.h"

// The optional arguments of an operation on a container open in a view.
struct ContainerArguments {
  // Decrypting: the destination folder. Encrypting: the folder of the dropped files.
  std::string directory;
  // The container file (native path).
  std::string containerPath;
  // The folder inside the container the operation works on; 0 is the container's root.
  DWORD folderId = 0;
};

// A path that the caller refused before the operation, with the status that tells why.
struct RefusedItem {
  std::string path;
  DWORD status = 0;
};

// The arguments of CProgressDlg. The engine edits `items` in place during the preparation
// pass (long path forms, removed suffixes, items the user chose not to replace).
struct OperationRequest {
  // Ordered full paths: files, folders, .qvf files, .qvef containers.
  std::vector<std::string> items;
  // Names the user towards the user-data object; the default key name.
  std::string userId;
  // Shown; the second part of the key credentials in the EDITION_SENTIVO edition.
  std::string userName;
  // true encrypts, false decrypts.
  bool encrypt = true;
  // A folder's source is not deleted after encryption, and container post-processing keeps
  // its sources.
  bool keepSource = false;
  // Present for an operation on an open container.
  std::optional<ContainerArguments> container;
  // Paths handed over by another process and refused before the operation: each gets its
  // failed row before the passes run, and the engine never touches them.
  std::vector<RefusedItem> refused;
};
