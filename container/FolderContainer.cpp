// FolderContainer: opening a container with its protection record, adding images relative to
// the plain folder, and restoring the whole folder.
#include "container/FolderContainer.h"

#include <utility>

#include "base/ItemNames.h"
#include "platform/Owned.h"

namespace {

std::string WithTrailingSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace

FolderContainer::FolderContainer() = default;

FolderContainer::~FolderContainer() = default;

int FolderContainer::ExchangeOptions(char* cspName, BYTE** data, DWORD* size, BOOL create) {
  if (create) {
    if (data == nullptr || size == nullptr || cspName == nullptr) return 0;
    return database_.SetFolderOptions(0, *data, *size, cspName) == VARIANT_TRUE ? 1 : 0;
  }
  return database_.GetFolderOptions(0, data, size, cspName) == VARIANT_TRUE ? 1 : 0;
}

int FolderContainer::OpenFolder(std::string parentDir, std::string name, char* cspName, BYTE** data,
                                DWORD* size, BOOL create) {
  rootDir_ = WithTrailingSlash(std::move(parentDir));
  folderId_ = 0;
  std::string path = rootDir_ + name;
  if (!HasSuffix(name, kBackupSuffix)) path += kQvefSuffix;
  if (database_.Open(path, create) != VARIANT_TRUE) return 0;
  rootDir_ += name + "/";
  return ExchangeOptions(cspName, data, size, create);
}

int FolderContainer::OpenContainer(std::string path, char* cspName, BYTE** data, DWORD* size,
                                   BOOL create) {
  folderId_ = 0;
  if (database_.Open(std::move(path), create) != VARIANT_TRUE) return 0;
  return ExchangeOptions(cspName, data, size, create);
}

int FolderContainer::OpenAt(std::string rootDir, std::string path, DWORD folderId) {
  rootDir_ = std::move(rootDir);
  folderId_ = folderId;
  return database_.Open(std::move(path), FALSE) == VARIANT_TRUE ? 1 : 0;
}

int FolderContainer::ProbeContainer(std::string path) {
  if (database_.Open(std::move(path), FALSE) != VARIANT_TRUE) return 0;
  (void)database_.Close();
  return 1;
}

bool FolderContainer::ReadHeader(const std::string& path, std::vector<BYTE>* header) {
  QVDatabase database;
  return database.OpenForReading(path) == VARIANT_TRUE && ReadHeader(database, header);
}

bool FolderContainer::ReadHeader(QVDatabase& database, std::vector<BYTE>* header) {
  char cspName[container::kCspNameBufferSize] = {};
  BYTE* stored = nullptr;
  DWORD length = 0;
  const bool read = database.GetFolderOptions(0, &stored, &length, cspName) == VARIANT_TRUE;
  const FreedPtr<BYTE> owned(stored);
  if (!read || owned == nullptr) return false;
  header->assign(owned.get(), owned.get() + length);
  return true;
}

LONG FolderContainer::AddFile(std::string filePath, BOOL replace) {
  return database_.AddFile(rootDir_, std::move(filePath), folderId_, replace);
}

LONG FolderContainer::AddFileFromImage(std::string filePath, std::string imagePath, BOOL replace) {
  return database_.AddFileFromImage(rootDir_, std::move(filePath), std::move(imagePath), folderId_,
                                    replace);
}

LONG FolderContainer::AddFileFromMemory(std::string filePath, QVDatabase::ImageInMemory& image,
                                        BOOL replace) {
  return database_.AddFileFromMemory(rootDir_, std::move(filePath), image, folderId_, replace);
}

void FolderContainer::SetRootDir(std::string rootDir) {
  rootDir_ = WithTrailingSlash(std::move(rootDir));
}

int FolderContainer::ExtractAll(const QVDatabase::ExtractProgress& progress,
                                const QVDatabase::BetweenBlocks& betweenBlocks) {
  database_.SetBetweenBlocks(betweenBlocks);
  const VARIANT_BOOL extracted = database_.ExtractAllTo(rootDir_, progress);
  database_.SetBetweenBlocks(nullptr);
  return extracted == VARIANT_TRUE ? 1 : 0;
}

int FolderContainer::GetFolderOptions(char* cspName, BYTE** data, DWORD* size) {
  return database_.GetFolderOptions(0, data, size, cspName) == VARIANT_TRUE ? 1 : 0;
}

int FolderContainer::SetFolderOptions(char* cspName, BYTE** data, DWORD* size) {
  if (data == nullptr || size == nullptr || cspName == nullptr) return 0;
  return database_.SetFolderOptions(0, *data, *size, cspName) == VARIANT_TRUE ? 1 : 0;
}

int FolderContainer::Flush() { return database_.Flush() == VARIANT_TRUE ? 1 : 0; }

void FolderContainer::Close() { (void)database_.Close(); }
