// Suite service start and stop under the service lock.
#include "base/SuiteServices.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "base/StringTable.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/MessageBox.h"

namespace {

constexpr size_t kMessageSize = 1024;

void ShowModuleMissing(const char* moduleName) {
  char format[kMessageSize];
  if (LoadStringA(IDS_MODULE_HANDLE_FAILED, format, sizeof format) == 0) return;
  char text[kMessageSize];
  // The format holds one %s; the text is cut at the buffer, never written past it.
  std::snprintf(text, sizeof text, format, moduleName);
  MessageBoxA(nullptr, text, QvApp().productName.c_str(), MB_OK | MB_ICONERROR);
}

// The machine identity: the first bytes of the machine account's user id, at most 11 and
// never more than the id holds; the rest is zero.
MachineInfo ComputeMachineInfo(CUserData* userData) {
  MachineInfo info{};
  if (userData == nullptr) return info;
  char accountName[kMachineNameSize] = {};
  if (!userData->GetMachineAccountName(accountName, "")) accountName[0] = '\0';
  UserIdentity identity{};
  if (accountName[0] != '\0' && userData->LookUpUserByName(accountName, &identity, 1, 1, 1) &&
      identity.userId != nullptr) {
    const size_t length = strnlen(identity.userId, sizeof info.id - 1);
    std::memcpy(info.id, identity.userId, length);
  }
  userData->ReleaseUserIdentity(&identity);
  return info;
}

void ClearHandlesAndLists(CQvFolderExtApp& app) {
  app.storageDriver = nullptr;
  app.authDriver = nullptr;
  DetachSystemImageLists();
}

}  // namespace

SuiteDriverFunctions& SuiteDrivers() noexcept {
  static SuiteDriverFunctions functions{&InitStorageDriver, &CloseStorageDriver, &InitAuthDriver,
                                        &CloseAuthDriver,   &GetUserDataPtr,     &SetMachineInfo};
  return functions;
}

void AttachSystemImageLists() {
  CQvFolderExtApp& app = QvApp();
  std::lock_guard<std::recursive_mutex> lock(app.ServiceLock);
  if (!app.smallImageList.IsAttached())
    app.smallImageList.shellFlags = SHGFI_SYSICONINDEX | SHGFI_SMALLICON;
  if (!app.largeImageList.IsAttached())
    app.largeImageList.shellFlags = SHGFI_SYSICONINDEX | SHGFI_ICON;
}

void DetachSystemImageLists() {
  CQvFolderExtApp& app = QvApp();
  std::lock_guard<std::recursive_mutex> lock(app.ServiceLock);
  app.smallImageList = {};
  app.largeImageList = {};
}

int StartSuiteServices() {
  CQvFolderExtApp& app = QvApp();
  std::lock_guard<std::recursive_mutex> lock(app.ServiceLock);
  if (app.storageDriver != nullptr) return 1;

  AttachSystemImageLists();

  app.storageDriver = GetModuleHandleA(kStorageDriverModule);
  if (app.storageDriver == nullptr) {
    ShowModuleMissing(kStorageDriverModule);
    return 0;
  }
  app.authDriver = GetModuleHandleA(kAuthDriverModule);
  if (app.authDriver == nullptr) {
    ShowModuleMissing(kAuthDriverModule);
    app.storageDriver = nullptr;
    return 0;
  }

  SuiteDriverFunctions& drivers = SuiteDrivers();
  if (drivers.initStorageDriver(app.storageDriver) != 0) {
    ClearHandlesAndLists(app);
    return 0;
  }
  if (drivers.initAuthDriver(app.authDriver) != 0) {
    // The storage driver did start: close it again so that the next start opens it once.
    drivers.closeStorageDriver();
    ClearHandlesAndLists(app);
    return 0;
  }

  CUserData* userData = nullptr;
  if (drivers.getUserDataPtr(&userData) != 0 || userData == nullptr) {
    drivers.closeAuthDriver();
    drivers.closeStorageDriver();
    ClearHandlesAndLists(app);
    return 0;
  }
  app.userData = userData;
  app.machineInfo = ComputeMachineInfo(userData);
  drivers.setMachineInfo(app.machineInfo);
  return 1;
}

void StopSuiteServices() {
  CQvFolderExtApp& app = QvApp();
  std::lock_guard<std::recursive_mutex> lock(app.ServiceLock);
  SuiteDriverFunctions& drivers = SuiteDrivers();
  if (app.authDriver != nullptr) {
    drivers.closeAuthDriver();
    app.authDriver = nullptr;
  }
  if (app.storageDriver != nullptr) {
    drivers.closeStorageDriver();
    app.storageDriver = nullptr;
  }
  DetachSystemImageLists();
}

const char* SuiteRunningMutexName(DWORD edition) noexcept {
  return edition == EDITION_SENTIVO ? kSentivoSuiteRunningMutex : kSuiteRunningMutex;
}

bool IsSuiteRunning(DWORD edition) noexcept {
  // A descriptor with no access list lets every process open the mutex; the platform keeps
  // named objects in the user's private runtime folder and does not consult it.
  alignas(8) BYTE descriptor[SECURITY_DESCRIPTOR_MIN_LENGTH] = {};
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE))
    attributes.lpSecurityDescriptor = nullptr;
  HANDLE mutex = CreateMutexA(&attributes, TRUE, SuiteRunningMutexName(edition));
  if (mutex == nullptr) return false;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return true;
  }
  (void)ReleaseMutex(mutex);
  CloseHandle(mutex);
  return false;
}

bool IsSuiteRunning() noexcept {
  const CUserData* userData = QvApp().userData;
  return IsSuiteRunning(userData != nullptr ? userData->EditionCode : 0);
}
