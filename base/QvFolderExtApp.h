// The application object: the process-wide state of the library, created when the library
// is loaded and emptied when it is unloaded. It owns the suite-service handles, the lock
// that guards their start and stop, the machine identity, the product name and OEM id read
// at start-up and the id of the verification message. The tables of open container views are
// in ModuleTables.h.
#pragma once

#include <mutex>
#include <string>

#include "base/ModuleTables.h"
#include "platform/WinTypes.h"
#include "platform/shell/FileInfo.h"
#include "suite/QvFsApi.h"
#include "suite/QvUserApi.h"

// One attachment of a module-wide system image list. The icon code draws through the list
// it names; the images themselves belong to the shell.
struct SystemImageListSlot {
  UINT shellFlags = 0;  // the SHGFI_* flags of the list; 0 while detached
  bool IsAttached() const { return shellFlags != 0; }
};

class CQvFolderExtApp {
 public:
  // Start-up: thread locale, the verification message id, "OEM" and "CustomProductName".
  BOOL InitInstance();
  // Shut-down: empties the module tables.
  int ExitInstance();

  // Guards service start and stop and the image-list attachment. Recursive: starting the
  // services attaches the image lists, which take the lock again on the same thread.
  std::recursive_mutex ServiceLock;

  CUserData* userData = nullptr;    // obtained when services start; never released here
  HMODULE storageDriver = nullptr;  // non-null while the services run
  HMODULE authDriver = nullptr;
  SystemImageListSlot smallImageList;
  SystemImageListSlot largeImageList;
  MachineInfo machineInfo{};
  DWORD oemId = 0;
  std::string productName;
  UINT qafMessageId = 0;
  EncryptAlgoInfo algorithm{};
};

// The one application object of the process.
CQvFolderExtApp& QvApp() noexcept;

// The one set of tables of the process.
ModuleTables& QvModuleTables() noexcept;

// The user an operation on the container at `containerPath` acts for: when a user is
// verified for the container, its id, and as its name the user name that the user-data
// object's second look-up form gives for that id (empty when the look-up finds nobody).
// False, with both left unchanged, when no user is verified for the container.
[[nodiscard]] bool VerifiedUserOf(std::string_view containerPath, std::string* userId,
                                  std::string* userName);

// Name of the window message posted around a verification.
inline constexpr const char* kQafMessageName = "EnableDisableQAF";
