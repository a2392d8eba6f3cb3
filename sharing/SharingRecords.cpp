// The user data, settings, keys and protection records sharing works with.
#include "sharing/SharingRecords.h"

#include <cstring>

#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "platform/Owned.h"

CUserData* SharingUserData() {
  CUserData* userData = QvApp().userData;
  if (userData == nullptr && SuiteDrivers().getUserDataPtr(&userData) != 0) userData = nullptr;
  return userData;
}

std::string ReadUserSetting(CUserData& userData, const char* userId, DWORD id) {
  SettingRecord record;
  userData.InitSettingRecord(&record);
  record.category = kSettingCategoryUser;
  record.id = id;
  std::string value;
  try {
    if (userData.ReadSetting(userId, &record, 0) && record.value != nullptr) value = record.value;
  } catch (...) {
    userData.ReleaseSettingRecord(&record);
    throw;
  }
  userData.ReleaseSettingRecord(&record);
  return value;
}

bool OpenContainerRecord(FolderContainer& container, const std::string& path,
                         ContainerRecord* record) {
  BYTE* stored = nullptr;
  DWORD size = 0;
  const int opened = container.OpenContainer(path, record->cspName, &stored, &size, FALSE);
  const FreedPtr<BYTE> data(stored);
  record->cspName[kCspNameSize - 1] = '\0';
  if (opened != 1 || data == nullptr) return false;
  record->header.assign(data.get(), data.get() + size);
  return true;
}
