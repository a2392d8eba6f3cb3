// The walks over a folder's tree (see FolderEngine.h): the preparation pass's encryption
// walk, which counts the files and decrypts in place the encrypted files and containers it
// meets, and the processing pass's walk, which hands every file to the batches.
#include <string>
#include <utility>
#include <vector>

#include "engine/EngineFiles.h"
#include "engine/FolderEngine.h"
#include "engine/FolderEngineBatches.h"
#include "engine/ItemRules.h"
#include "engine/ProcessFile.h"
#include "platform/AsciiCase.h"
#include "platform/Files.h"
#include "sharing/SharingAccess.h"

using namespace engine;

namespace {

// A name the container keeps for its empty-folder marker: a user's file of that name (or one
// whose stored name would be it) cannot be stored without being taken for the marker.
bool IsMarkerName(const std::string& name) {
  const std::string lower = ToLowerAscii(name);
  return lower == kEmptyFolderMarker || lower + std::string(kQvfSuffix) == kEmptyFolderMarker;
}

}  // namespace

// ---- Preparation: the encryption walk ----

bool FolderEngine::WalkForEncryption(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  FolderHandle folder;
  if (attributes != INVALID_FILE_ATTRIBUTES && IsDirectory(attributes) && !IsLink(attributes) &&
      !folder.Open(path.c_str()))
    return false;
  return WalkForEncryption(path, attributes, folder);
}

bool FolderEngine::WalkForEncryption(const std::string& path, DWORD attributes,
                                     const FolderHandle& folder) {
  if (operation_.CancelRequested()) return true;
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (!path.empty() && path.back() == '/' && IsProtectedLocation(path)) return false;
  if (IsLink(attributes)) {
    // Counted for its row; the processing pass refuses it without following it.
    operation_.AddToTotal(1);
    return true;
  }
  if (IsDirectory(attributes)) {
    // Through the folder's handle: a subfolder swapped for a link meanwhile is not followed.
    std::vector<FOLDER_ENTRY> entries;
    if (!ListFolder(folder, &entries)) return false;
    for (const FOLDER_ENTRY& entry : entries) {
      if (operation_.CancelRequested()) return true;
      FolderHandle subfolder;
      if (IsDirectory(entry.attributes) && !IsLink(entry.attributes) &&
          !OpenListedSubfolder(folder, entry, &subfolder)) {
        (void)Report(path + "/" + entry.name + "/", StatusFileAccessError);
        return false;
      }
      if (!WalkForEncryption(path + "/" + entry.name, entry.attributes, subfolder)) return false;
    }
    operation_.MarkStepSucceeded();
    return true;
  }
  // Only the backups this operation made are skipped; an older one is the user's file.
  if (operation_.IsOwnBackup(path)) return true;
  if (HasSuffix(path, kQvefSuffix)) {
    if (!DecryptContainerInPlace(path)) return false;
    operation_.MarkStepSucceeded();
    return true;
  }
  if (!HasSuffix(path, kQvfSuffix)) {
    operation_.AddToTotal(1);
    operation_.MarkStepSucceeded();
    return true;
  }
  if (IsMarkerName(SplitPath(path).second)) {
    // Never decrypted in place nor deleted: the processing pass refuses it with its row.
    operation_.AddToTotal(1);
    return true;
  }
  if (DecryptInPlaceForWalk(operation_, path, SplitPath(path).first) != StatusSuccess) return false;
  operation_.AddToTotal(1);
  operation_.MarkStepSucceeded();
  return true;
}

bool FolderEngine::DecryptContainerInPlace(const std::string& containerPath) {
  // Checked under its own name: moved aside, the container is no longer recognised as one
  // by the access check, which would then read no owner and let anyone in.
  if (SharingAccessCheck(operation_.UserId(), containerPath) != kSharingAllowed) {
    (void)Report(containerPath, StatusNotAuthorized);
    return false;
  }
  const std::string backup = BackupNameOf(containerPath);
  if (MoveFileExA(containerPath.c_str(), backup.c_str(), 0) == FALSE) {
    (void)Report(containerPath, StatusDestinationExists);
    return false;
  }
  operation_.RecordBackup(backup);
  if (!PrepareContainerDecryption(backup)) return false;
  return DecryptContainer(backup) == StatusSuccess;
}

// ---- The walk of the processing pass ----

ItemStatus FolderEngine::WalkFolder(const std::string& folder, const std::string& output, Mode mode,
                                    DWORD checkFlags, const Sink& sink, DWORD handle,
                                    const FolderHandle& held) {
  // A row of its own comes after the rows of the files still waiting in a batch.
  const auto report = [&](const std::string& path, ItemStatus status) {
    return ReportAfterBatches(sink.batches, path, status);
  };
  if (folder.empty()) return kFolderNotListed;
  if (mode == Mode::Encrypt && protected_.Contains(folder))
    return report(folder + "/", StatusProtectedLocation);
  std::vector<FOLDER_ENTRY> entries;
  if (!ListFolder(held, &entries)) return report(folder + "/", kFolderNotListed);
  if (mode == Mode::Encrypt) {
    FILE_IDENTITY identity;
    if (held.GetIdentity(&identity)) storedFolders_[folder] = identity;
  }
  AtTestPoint(TestPoint::FolderListed, folder);

  if (mode == Mode::Encrypt) {
    // A file named like the marker stops the walk before the marker is stored: stored first,
    // the marker would take the user's file of that name for its image.
    for (const FOLDER_ENTRY& entry : entries)
      if (!IsDirectory(entry.attributes) && !IsLink(entry.attributes) &&
          !operation_.IsOwnBackup(folder + "/" + entry.name) && IsMarkerName(entry.name))
        return report(folder + "/" + entry.name, StatusSystemOrTempFile);
    const std::string marker = folder + "/" + std::string(kEmptyFolderMarker);
    LONG added = sink.container->AddFile(marker, FALSE);
    if (added == -2) {
      if (!operation_.ConfirmReplace(marker)) return report(folder + "/", StatusDestinationExists);
      added = sink.container->AddFile(marker, TRUE);
    }
    if (added <= 0) {
      // Only this folder fails: the walk goes on, so that every other entry has its row, and
      // the item fails at its end (nothing of the source is deleted then).
      if (sink.batches != nullptr)
        if (const ItemStatus drained = sink.batches->Drain(); drained != StatusSuccess)
          return drained;
      (void)Report(folder + "/", StatusFileAccessError);
      if (markerFailure_ == StatusSuccess) markerFailure_ = StatusFileAccessError;
    }
  }

  for (const FOLDER_ENTRY& entry : entries) {
    if (operation_.CancelRequested()) return StatusCancelled;
    const std::string path = folder + "/" + entry.name;
    ItemStatus status = StatusSuccess;
    if (IsLink(entry.attributes)) {
      // A link is never followed nor removed; a folder holding one cannot be encrypted whole.
      if (mode == Mode::Decrypt) continue;
      status = report(path, StatusFileAccessError);
    } else if (IsDirectory(entry.attributes)) {
      const std::string subOutput = output + "/" + entry.name;
      FolderHandle subfolder;
      if (mode == Mode::Encrypt && protected_.Contains(path))
        status = report(path + "/", StatusProtectedLocation);
      else if (!OpenListedSubfolder(held, entry, &subfolder))
        // Replaced (by a link, say) since it was listed: nothing of it is read.
        status = report(path + "/", StatusFileAccessError);
      else if (mode == Mode::Decrypt && output != folder && !CreateDirectoryA(subOutput.c_str()) &&
               !IsFolder(subOutput))
        status = report(subOutput + "/", StatusDestinationInUse);
      else
        status = WalkFolder(path, subOutput, mode, checkFlags, sink, handle, subfolder);
    } else if (mode == Mode::Encrypt) {
      if (operation_.IsOwnBackup(path)) continue;
      status = ProcessOrQueue(mode, path, folder, entry.identity.size, checkFlags, sink, handle,
                              &held, &entry);
    } else {
      if (!HasSuffix(entry.name, kQvfSuffix)) continue;
      status = ProcessOrQueue(mode, path, output, entry.identity.size, checkFlags, sink, handle);
    }
    if (status != StatusSuccess) return status;
  }
  return operation_.CancelRequested() ? StatusCancelled : StatusSuccess;
}
