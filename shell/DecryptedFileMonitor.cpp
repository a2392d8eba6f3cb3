#include "shell/DecryptedFileMonitor.h"

#include "platform/Com.h"

namespace {
constexpr HRESULT kClassNotRegistered = MakeHresult(0x80040154u);  // REGDB_E_CLASSNOTREG
}  // namespace

// No monitor is registered by this version of the suite: the caller launches the file all the
// same and removes the plain copy when the folder goes away.
HRESULT MonitorDecryptedFile(const DecryptedFileToMonitor&) { return kClassNotRegistered; }
