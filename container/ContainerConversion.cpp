// Starting the suite's converter on one container and taking its verdict from the exit code.
//
// The converter lies in this library's own folder. It receives the container path as its
// whole parameter string and the library's folder as its working folder; exit code 0 means
// the path now holds a container of the current format.
#include "container/ContainerConversion.h"

#include <string>

#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/shell/ShellExecute.h"
#include "platform/ui/UiTypes.h"
#include "util/CPath.h"

namespace {

// The converter's name beside this library. The Windows program carries ".exe"; programs
// here have no suffix.
constexpr const char kConverterName[] = "qvdbconv";
// Longest module path taken; a longer one would be cut and name another folder.
constexpr DWORD kModulePathSize = 1024;

}  // namespace

VARIANT_BOOL RunContainerConverter(const char* containerPath) {
  try {
    if (containerPath == nullptr) return VARIANT_FALSE;

    char modulePath[kModulePathSize] = {};
    const HMODULE self =
        GetModuleHandleFromAddress(reinterpret_cast<const void*>(&RunContainerConverter));
    const DWORD length = GetModuleFileNameA(self, modulePath, kModulePathSize);
    if (length == 0 || length >= kModulePathSize) return VARIANT_FALSE;

    std::string folder = CPath(modulePath).GetFolder();
    if (folder.empty()) return VARIANT_FALSE;
    if (folder.back() != '/' && folder.back() != '\\') folder.push_back('/');
    const std::string converter = folder + kConverterName;

    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = "open";
    info.lpFile = converter.c_str();
    info.lpParameters = containerPath;
    info.lpDirectory = folder.c_str();
    info.nShow = SW_SHOW;
    if (!ShellExecuteExA(&info) || info.hProcess == nullptr) return VARIANT_FALSE;

    // No time limit and no message pumping: the caller blocks until the conversion is over.
    (void)WaitForSingleObject(info.hProcess, INFINITE);
    DWORD exitCode = 1;
    if (!GetExitCodeProcess(info.hProcess, &exitCode)) exitCode = 1;
    CloseHandle(info.hProcess);
    return exitCode == 0 ? VARIANT_TRUE : VARIANT_FALSE;
  } catch (...) {
    return VARIANT_FALSE;
  }
}
