// The application object's start-up and shut-down.
#include "base/QvFolderExtApp.h"

#include "base/Settings.h"
#include "platform/Kernel.h"

CQvFolderExtApp& QvApp() noexcept {
  static CQvFolderExtApp app;
  return app;
}

BOOL CQvFolderExtApp::InitInstance() {
  // Resolves to the system default, which is always a valid locale.
  (void)SetThreadLocale(LOCALE_SYSTEM_DEFAULT);
  qafMessageId = RegisterWindowMessageA(kQafMessageName);
  // Both are read once; the product name is "Quorvin" whenever the suite has not set its
  // own, also when the suite's key is missing altogether.
  oemId = Oem();
  productName = CustomProductName();
  QvModuleTables().Clear();
  return TRUE;
}

int CQvFolderExtApp::ExitInstance() {
  QvModuleTables().Clear();
  return 0;
}

ModuleTables& QvModuleTables() noexcept {
  static ModuleTables tables;
  return tables;
}

bool VerifiedUserOf(std::string_view containerPath, std::string* userId, std::string* userName) {
  std::string verified = QvModuleTables().VerifiedUser(containerPath);
  if (verified.empty()) return false;
  std::string name;
  if (CUserData* userData = QvApp().userData) {
    UserIdentity identity{};
    if (userData->LookUpUserByAccountName(verified.c_str(), &identity, 1, 1) &&
        identity.userName != nullptr)
      name = identity.userName;
    userData->ReleaseUserIdentity(&identity);
  }
  *userId = std::move(verified);
  *userName = std::move(name);
  return true;
}
