// The owner-key check: the owner text split into identity and key file, the look-up of the
// identity among the user's keys and the offer to import the older key.
#include "engine/OwnerKeyCheck.h"

#include <vector>

#include "base/ItemNames.h"
#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "base/StringTable.h"
#include "container/FolderContainer.h"
#include "platform/MessageBox.h"
#include "suite/QvFsApi.h"
#include "suite/QvUserApi.h"

namespace {

CUserData* SentivoUserData() {
  CUserData* userData = QvApp().userData;
  return userData != nullptr && userData->EditionCode == EDITION_SENTIVO ? userData : nullptr;
}

}  // namespace

std::string ReadOwnerText(const std::string& path) {
  std::vector<char> ownerText(kOwnerTextSize, '\0');
  if (HasSuffix(path, kQvefSuffix)) {
    std::vector<BYTE> header;
    if (!FolderContainer::ReadHeader(path, &header)) return {};
    DWORD length = static_cast<DWORD>(header.size());
    if (QVFSFolderGetOwner(header.data(), &length, ownerText.data()) != 0) return {};
  } else if (QVFSFileGetOwner(path.c_str(), ownerText.data()) != 0) {
    return {};
  }
  ownerText.back() = '\0';
  return ownerText.data();
}

bool SplitOwnerText(std::string_view ownerText, std::string* identity, std::string* keyFile) {
  const size_t brace = ownerText.find('}');
  if (brace == std::string_view::npos) return false;
  identity->assign(ownerText.substr(0, brace + 1));
  keyFile->assign(ownerText.substr(brace + 1));
  return true;
}

std::string OlderKeyMessage(std::string_view keyFile) {
  std::string text = LoadStringText(IDS_OLDER_KEY);
  const size_t slot = text.find("%s");
  if (slot != std::string::npos) text.replace(slot, 2, keyFile);
  return text;
}

DWORD ImportOlderKeyOf(CUserData& userData, const char* userId) {
  userData.ModeWord = kModeKeyOperation;
  // Declared as a truth value, the import answers with a status: 0 is success.
  const auto status = static_cast<DWORD>(userData.ImportOlderKey(userId, 0, 0));
  userData.ModeWord = kModeKeyImported;
  return status;
}

std::string OwnerKeyCheckText(const char* userId, std::string_view ownerText, HWND owner) {
  CUserData* userData = SentivoUserData();
  if (userData == nullptr) return {};
  std::string identity;
  std::string keyFile;
  if (!SplitOwnerText(ownerText, &identity, &keyFile)) return {};

  KeyRecord record{};
  userData->InitKeyRecord(&record);
  record.type = kKeyTypeUser;
  record.keyName = identity.data();
  const bool held = userData->ReadKey(userId, &record, 0) != FALSE;
  if (record.keyName == identity.data()) record.keyName = nullptr;
  userData->ReleaseKeyRecord(&record);
  if (held) return identity;

  const std::string text = OlderKeyMessage(keyFile);
  if (MessageBoxA(owner, text.c_str(), LoadStringText(IDS_DECRYPTING).c_str(), MB_OKCANCEL) ==
      IDOK) {
    // The import's own result shows in the decryption that follows: without the key the
    // library refuses the file.
    (void)ImportOlderKeyOf(*userData, userId);
  }
  return identity;
}

std::string OwnerKeyCheckFile(const char* userId, const char* path, HWND owner) {
  if (SentivoUserData() == nullptr || path == nullptr) return {};
  std::vector<char> ownerText(kOwnerTextSize, '\0');
  if (QVFSFileGetOwner(path, ownerText.data()) != 0) return {};
  ownerText.back() = '\0';
  return OwnerKeyCheckText(userId, ownerText.data(), owner);
}

std::string OwnerKeyCheckFolder(const char* userId, const BYTE* header, DWORD headerLength,
                                HWND owner) {
  if (SentivoUserData() == nullptr || header == nullptr) return {};
  std::vector<char> ownerText(kOwnerTextSize, '\0');
  DWORD length = headerLength;
  if (QVFSFolderGetOwner(header, &length, ownerText.data()) != 0) return {};
  ownerText.back() = '\0';
  return OwnerKeyCheckText(userId, ownerText.data(), owner);
}

std::string OwnerKeyCheckContainer(const char* userId, const char* path, HWND owner) {
  if (SentivoUserData() == nullptr || path == nullptr) return {};
  std::vector<BYTE> header;
  if (!FolderContainer::ReadHeader(path, &header)) return {};
  return OwnerKeyCheckFolder(userId, header.data(), static_cast<DWORD>(header.size()), owner);
}
