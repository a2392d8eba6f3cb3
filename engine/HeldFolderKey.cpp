// The folder key held for a change outside an operation (see HeldFolderKey.h).
#include "engine/HeldFolderKey.h"

#include <algorithm>
#include <vector>

#include "base/QvFolderExtApp.h"
#include "container/FolderContainer.h"
#include "engine/EngineFiles.h"
#include "engine/UserKey.h"
#include "sharing/SharingAccess.h"
#include "suite/QvFsApi.h"

HeldFolderKey::~HeldFolderKey() {
  if (database_ != nullptr && database_->IsOpen() == VARIANT_TRUE) database_->UseFolderHandle(0);
  if (handle_ != 0) (void)QVFSCloseHandle(handle_);
}

DWORD OpenContainerFolderKey(const std::string& path, const std::string& userId) {
  CUserData* userData = QvApp().userData;
  if (userData == nullptr || userId.empty()) return 0;
  std::vector<BYTE> header;
  if (!FolderContainer::ReadHeader(path, &header)) return 0;
  const UserKey key(*userData, userId, std::string());
  if (!key.Found() || key.Get().blob == nullptr) return 0;
  // The credentials as an operation builds them: the user id, or in the EDITION_SENTIVO
  // edition the key's own name and label.
  std::string keyName = userId;
  std::string label;
  DWORD size = kCredentialSizeStandard;
  if (userData->EditionCode == EDITION_SENTIVO) {
    size = kCredentialSizeSentivo;
    if (key.Get().keyName != nullptr) keyName = key.Get().keyName;
    if (key.Get().keyLabel != nullptr) label = key.Get().keyLabel;
  }
  engine::Credentials credentials(
      std::max<DWORD>(size, static_cast<DWORD>(keyName.size() + label.size() + 2)));
  if (!credentials.Fill(keyName, label)) return 0;
  DWORD handle = 0;
  const DWORD opened =
      QVFSInitFolderDecryption(header.data(), static_cast<DWORD>(header.size()), keyName.c_str(),
                               keyName.c_str(), key.Get().blob, key.Get().blobLength,
                               credentials.Data(), credentials.LengthPointer(), &handle);
  if (opened != 0 || handle == 0) {
    if (handle != 0) (void)QVFSCloseHandle(handle);
    return 0;
  }
  TrustFolderOwner(userId, header.data(), static_cast<DWORD>(header.size()), handle);
  return handle;
}

bool HeldFolderKey::Bind(QVDatabase& database, const std::string& path, const std::string& userId) {
  if (handle_ != 0) return false;
  const DWORD handle = OpenContainerFolderKey(path, userId);
  if (handle == 0) return false;
  database.UseFolderHandle(handle);
  const QVDatabase::FileListCheck check = database.CheckFileList();
  if (check != QVDatabase::FileListCheck::Verified &&
      check != QVDatabase::FileListCheck::Unverified) {
    database.UseFolderHandle(0);
    (void)QVFSCloseHandle(handle);
    return false;
  }
  database_ = &database;
  handle_ = handle;
  return true;
}
