// The application object's start-up and shut-down.
#include "core/QvFolderExtApp.h"

#include "core/ModuleTables.h"
#include "platform/Kernel.h"
#include "registration/Settings.h"

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
