// Work folders and the deletion of a stored source tree (see FolderEngine.h): every work
// folder this operation makes is recorded and held until it is removed, and a source folder
// goes only after it was moved aside whole, and only what was stored and is unchanged since.
#include <set>
#include <string>
#include <vector>

#include "engine/EngineFiles.h"
#include "engine/EngineWorker.h"
#include "engine/FolderEngine.h"
#include "platform/Files.h"
#include "platform/MachineRoot.h"
#include "platform/WorkFolders.h"

using namespace engine;

namespace {

constexpr char kWorkFolderSuffix[] = ".qvef-work-";
constexpr char kScratchPrefix[] = "work-";

}  // namespace

std::string FolderEngine::MakeWorkFolder(const std::string& besidePath) {
  const auto [parent, name] = SplitPath(TargetFolderOf(besidePath));
  return MakeWorkFolderIn(parent, "." + name + kWorkFolderSuffix);
}

std::string FolderEngine::MakeScratchFolder() {
  const std::string scratch = QvScratchDir();
  return scratch.empty() ? std::string() : MakeWorkFolderIn(scratch, kScratchPrefix);
}

std::string FolderEngine::MakeWorkFolderIn(const std::string& parent, const std::string& prefix) {
  std::string path = QvCreateWorkFolder(parent, prefix);
  if (!path.empty()) heldWorkFolders_.insert(path);
  return path;
}

void FolderEngine::RemoveWorkFolder(const std::string& work) {
  if (heldWorkFolders_.count(work) == 0) return;
  // A folder that does not go stays recorded, for a later sweep.
  if (QvRemoveWorkFolder(work)) heldWorkFolders_.erase(work);
}

void FolderEngine::RemoveWorkFolders() {
  for (const auto& [container, prepared] : preparedContainers_) {
    RemoveWorkFolder(prepared.work);
    if (!prepared.images.empty()) RemoveWorkFolder(prepared.images);
  }
  preparedContainers_.clear();
  shownTrees_.clear();
}

FolderEngine::SourceDeletion FolderEngine::DeleteStoredFolder(const std::string& folder) {
  AtTestPoint(TestPoint::SourceDeletion, folder);
  // Deleting a large tree takes a while; moved aside first (one rename in its own parent),
  // the folder is either whole under its name or gone from it, whenever the process ends.
  const std::string work = MakeWorkFolder(folder);
  std::string tree = folder;
  if (!work.empty()) {
    const std::string aside = work + "/" + SplitPath(folder).second;
    if (MoveFileExA(folder.c_str(), aside.c_str(), 0) != FALSE) tree = aside;
  }
  const auto putBack = [&] {
    if (tree == folder || MoveFileExA(tree.c_str(), folder.c_str(), 0) != FALSE) {
      RemoveWorkFolder(work);
      return folder;
    }
    // Its name was taken meanwhile: what is left stays where it is, and is never swept.
    QvReleaseWorkFolder(work);
    heldWorkFolders_.erase(work);
    return tree;
  };
  FolderHandle root;
  if (!root.Open(tree.c_str())) {
    putBack();
    return {Report(folder + "/", StatusSourceInUse), true};
  }

  // Everything must be deletable before the first delete: a file written or a folder made
  // after it was stored keeps the folder, and so does an entry this process may not delete.
  std::vector<std::string> changed;
  std::string blocked;
  PlanDeletion(root, folder, &changed, &blocked);
  if (!changed.empty() || !blocked.empty()) {
    putBack();
    ItemStatus status = StatusSuccess;
    for (const std::string& path : changed) status = Report(path, StatusSourceInUse);
    if (!blocked.empty()) status = Report(blocked, StatusSourceNotDeleted);
    return {status, true};
  }

  std::vector<std::string> kept;
  DeleteStored(root, folder, &kept);
  std::vector<FOLDER_ENTRY> rest;
  const bool emptied = kept.empty() && ListFolder(root, &rest) && rest.empty() &&
                       (tree != folder || RemoveDirectoryA(folder.c_str()));
  if (emptied) {
    RemoveWorkFolder(work);
    return {StatusSuccess, false};
  }
  // Something changed while the tree went: it stays under the folder's name.
  const std::string left = putBack();
  ItemStatus status = StatusSuccess;
  for (const std::string& path : kept) status = Report(path, StatusSourceInUse);
  if (kept.empty() || left != folder) status = Report(left + "/", StatusSourceInUse);
  return {status, false};
}

void FolderEngine::PlanDeletion(const FolderHandle& held, const std::string& original,
                                std::vector<std::string>* changed, std::string* blocked) const {
  std::vector<FOLDER_ENTRY> entries;
  if (!ListFolder(held, &entries)) {
    if (blocked->empty()) *blocked = original + "/";
    return;
  }
  FolderHandle::DeletionRules rules;
  for (const FOLDER_ENTRY& entry : entries) {
    const std::string path = original + "/" + entry.name;
    if (IsDirectory(entry.attributes) && !IsLink(entry.attributes)) {
      const auto stored = storedFolders_.find(path);
      FolderHandle subfolder;
      if (stored == storedFolders_.end() || !stored->second.SameFile(entry.identity) ||
          !OpenListedSubfolder(held, entry, &subfolder)) {
        changed->push_back(path + "/");
        continue;
      }
      PlanDeletion(subfolder, path, changed, blocked);
    } else if (!IsStoredUnchanged(path, entry.identity)) {
      changed->push_back(path);
      continue;
    }
    if (blocked->empty() && !held.CanDelete(entry.name.c_str(), &rules)) *blocked = path;
  }
}

bool FolderEngine::IsStoredUnchanged(const std::string& path, const FILE_IDENTITY& now) const {
  const auto stored = storedFiles_.find(path);
  return stored != storedFiles_.end() ? stored->second == now : operation_.IsOwnBackup(path);
}

void FolderEngine::DeleteStored(const FolderHandle& held, const std::string& original,
                                std::vector<std::string>* kept) {
  std::vector<FOLDER_ENTRY> entries;
  if (!ListFolder(held, &entries)) return;
  // Deleting many files is mostly waiting on the file system, which two threads do faster:
  // a worker takes every other subfolder of the top.
  std::vector<const FOLDER_ENTRY*> theirs;
  std::vector<const FOLDER_ENTRY*> ours;
  for (const FOLDER_ENTRY& entry : entries)
    if (IsDirectory(entry.attributes) && !IsLink(entry.attributes))
      (theirs.size() <= ours.size() ? theirs : ours).push_back(&entry);
  std::vector<std::string> theirsKept;
  StartedCall worker;
  const bool started = !theirs.empty() && operation_.StartLibraryCall(worker, [&] {
    for (const FOLDER_ENTRY* entry : theirs) DeleteStoredEntry(held, original, *entry, &theirsKept);
    return static_cast<DWORD>(StatusSuccess);
  });
  if (!started) ours.insert(ours.end(), theirs.begin(), theirs.end());
  for (const FOLDER_ENTRY* entry : ours) DeleteStoredEntry(held, original, *entry, kept);
  // Its result says nothing here (it only tells whether Cancel was pressed meanwhile).
  if (started) (void)operation_.FinishLibraryCall(worker);
  kept->insert(kept->end(), theirsKept.begin(), theirsKept.end());
  for (const FOLDER_ENTRY& entry : entries)
    if (!IsDirectory(entry.attributes) || IsLink(entry.attributes))
      DeleteStoredEntry(held, original, entry, kept);
}

void FolderEngine::DeleteStoredEntry(const FolderHandle& held, const std::string& original,
                                     const FOLDER_ENTRY& entry,
                                     std::vector<std::string>* kept) const {
  const std::string path = original + "/" + entry.name;
  if (IsDirectory(entry.attributes) && !IsLink(entry.attributes)) {
    FolderHandle subfolder;
    if (!OpenListedSubfolder(held, entry, &subfolder)) {
      kept->push_back(path + "/");
      return;
    }
    std::vector<FOLDER_ENTRY> entries;
    if (ListFolder(subfolder, &entries))
      for (const FOLDER_ENTRY& inner : entries) DeleteStoredEntry(subfolder, path, inner, kept);
    // Not empty: something new appeared in it; it is reported with the folder that keeps it.
    (void)held.RemoveSubfolder(entry.name.c_str());
    return;
  }
  const auto stored = storedFiles_.find(path);
  const FILE_IDENTITY& expected = stored != storedFiles_.end() ? stored->second : entry.identity;
  if ((stored == storedFiles_.end() && !operation_.IsOwnBackup(path)) ||
      !held.DeleteFileIfUnchanged(entry.name.c_str(), expected))
    kept->push_back(path);
}
