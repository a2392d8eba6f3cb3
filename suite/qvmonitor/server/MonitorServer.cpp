// libqvmonitorsvc.so: the in-process server of the decrypted-file monitor class. Its one
// method checks the copy, hands the request to the user's monitor process (starting it, from
// beside this library, when none answers) and waits until the process has recorded the copy,
// so S_OK means the copy is looked after. Registration writes the class under
// HKEY_CLASSES_ROOT\CLSID with this library as its InprocServer32.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "platform/Com.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/Registry.h"
#include "platform/ole/Bstr.h"
#include "platform/ole/ComCreate.h"
#include "platform/ole/TextConversion.h"
#include "suite/QvMonitorApi.h"
#include "suite/qvmonitor/MonitorRequest.h"
#include "suite/qvmonitor/PlainCopy.h"
#include "suite/qvmonitor/WatchList.h"

#define MONITOR_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using qvmonitor::MonitorRequest;

ComModule g_module;

constexpr char kDescription[] = "Quorvin Decrypted File Monitor";
constexpr char kProgId[] = "Quorvin.DecryptedFileMonitor.1";
// How long a request may take to be recorded, the monitor's start included.
constexpr ULONGLONG kHandOverMs = 10000;
constexpr ULONGLONG kRecordWaitMs = 2000;
constexpr DWORD kPollMs = 20;

std::string FromBstr(BSTR text) {
  return text == nullptr ? std::string()
                         : Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
}

std::string ModuleFolder() {
  char path[4096] = {};
  const DWORD length = GetModuleFileNameA(
      GetModuleHandleFromAddress(reinterpret_cast<const void*>(&ModuleFolder)), path, sizeof path);
  if (length == 0 || length >= sizeof path) return {};
  const std::string module(path, length);
  return module.substr(0, module.rfind('/'));
}

// Starts the monitor program detached from this process (its own session, no descriptors of
// ours, reaped by init), so it outlives the view. False when the program is not acceptable.
bool StartMonitorProgram() {
  const std::string folder = ModuleFolder();
  if (folder.empty()) return false;
  const std::string program = folder + "/" + qvmonitor::kProgramName;
  std::string refusal;
  if (!QvIsAcceptableServerFile(program, &refusal) || access(program.c_str(), X_OK) != 0)
    return false;
  char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    // Only async-signal-safe calls from here on.
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      (void)dup2(null, 0);
      (void)dup2(null, 1);
      (void)dup2(null, 2);
    }
    (void)close_range(3, ~0U, 0);
    (void)setsid();
    if (fork() == 0) {
      execv(program.c_str(), argv);
    }
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

bool SendOnce(const std::vector<std::uint8_t>& message) {
  HANDLE slot = CreateFileA(qvmonitor::kMailslotName, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (slot == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL sent =
      WriteFile(slot, message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
  CloseHandle(slot);
  return sent && written == message.size();
}

HRESULT HandOver(const MonitorRequest& request) {
  const std::string state = qvmonitor::StateFolder();
  if (state.empty()) return E_FAIL;
  const qvmonitor::WatchList list(state);
  const std::vector<std::uint8_t> message = qvmonitor::EncodeRequest(request);
  if (message.empty()) return E_INVALIDARG;
  const ULONGLONG deadline = GetTickCount64() + kHandOverMs;
  bool started = false;
  while (GetTickCount64() < deadline) {
    if (SendOnce(message)) {
      // Taken over once recorded; a monitor that was just ending loses the message, and the
      // next round starts another.
      const ULONGLONG recordDeadline = GetTickCount64() + kRecordWaitMs;
      while (GetTickCount64() < recordDeadline) {
        if (list.Exists(request.token)) return S_OK;
        Sleep(kPollMs);
      }
      started = false;
    } else if (!started) {
      if (!StartMonitorProgram()) return E_FAIL;
      started = true;
    } else {
      Sleep(kPollMs);
    }
  }
  return E_FAIL;
}

class DecryptedFileMonitor final : public ComObject<IQvDecryptedFileMonitor> {
 public:
  DecryptedFileMonitor() : ComObject<IQvDecryptedFileMonitor>(&g_module) {}

  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  HRESULT MonitorDecryptedFile(BSTR containerPath, HWND, BSTR decryptedPath,
                               ULONGLONG lastWriteTime, DWORD folderId, DWORD fileId,
                               BSTR userId) override {
    try {
      MonitorRequest request;
      request.containerPath = FromBstr(containerPath);
      request.decryptedPath = FromBstr(decryptedPath);
      request.userId = FromBstr(userId);
      request.lastWriteTime = lastWriteTime;
      request.folderId = folderId;
      request.fileId = fileId;
      std::string why;
      if (request.containerPath.empty() ||
          !qvmonitor::IsAcceptablePlainCopy(request.decryptedPath, &why))
        return E_INVALIDARG;
      request.token = qvmonitor::NewToken();
      if (request.token.empty()) return E_FAIL;
      return HandOver(request);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }

  static HRESULT Create(REFIID riid, void** ppv) {
    return CreateComInstance<DecryptedFileMonitor>(riid, ppv);
  }
};

const ClassEntry kClasses[] = {{&CLSID_QvDecryptedFileMonitor, &DecryptedFileMonitor::Create}};

LSTATUS SetString(const std::string& key, const char* name, const std::string& value) {
  HKEY opened = nullptr;
  LSTATUS status = RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr,
                                   REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &opened, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExA(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
  (void)RegCloseKey(opened);
  return status;
}

}  // namespace

MONITOR_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return GetClassObjectFromTable(kClasses, &g_module, clsid, riid, ppv);
}

MONITOR_EXPORT HRESULT DllCanUnloadNow() { return g_module.GetLockCount() == 0 ? S_OK : S_FALSE; }

MONITOR_EXPORT HRESULT DllRegisterServer() {
  try {
    char path[4096] = {};
    const DWORD length = GetModuleFileNameA(
        GetModuleHandleFromAddress(reinterpret_cast<const void*>(&DllRegisterServer)), path,
        sizeof path);
    if (length == 0 || length >= sizeof path) return SELFREG_E_CLASS;
    const std::string clsid = "CLSID\\" + FormatGuid(CLSID_QvDecryptedFileMonitor);
    const LSTATUS results[] = {
        SetString(clsid, nullptr, kDescription),
        SetString(clsid + "\\InprocServer32", nullptr, std::string(path, length)),
        SetString(clsid + "\\InprocServer32", "ThreadingModel", "Apartment"),
        SetString(clsid + "\\ProgID", nullptr, kProgId),
        SetString(kProgId, nullptr, kDescription),
        SetString(std::string(kProgId) + "\\CLSID", nullptr,
                  FormatGuid(CLSID_QvDecryptedFileMonitor)),
    };
    for (LSTATUS status : results)
      if (status != ERROR_SUCCESS) return SELFREG_E_CLASS;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

MONITOR_EXPORT HRESULT DllUnregisterServer() {
  const std::string clsid = "CLSID\\" + FormatGuid(CLSID_QvDecryptedFileMonitor);
  const LSTATUS classKey = RegDeleteTreeA(HKEY_CLASSES_ROOT, clsid.c_str());
  const LSTATUS progId = RegDeleteTreeA(HKEY_CLASSES_ROOT, kProgId);
  const auto ok = [](LSTATUS s) { return s == ERROR_SUCCESS || s == ERROR_FILE_NOT_FOUND; };
  return ok(classKey) && ok(progId) ? S_OK : SELFREG_E_CLASS;
}
