// The two halves of registration in their order, and the values written by code.
#include "registration/Registration.h"

#include "base/ClassIds.h"
#include "base/ItemNames.h"
#include "base/Settings.h"
#include "base/StringTable.h"
#include "platform/Com.h"
#include "platform/Kernel.h"
#include "registration/DesktopFiles.h"
#include "registration/Registrar.h"
#include "registration/RegistryScripts.h"

namespace {

constexpr UINT kOpenVerbTextId = 168;
constexpr char kShellaProgram[] = "Qvshella.exe";
// The system's null persistent handler: it keeps the indexer out of a file's contents.
constexpr char kNullPersistentHandler[] = "{098f2470-bae0-11cd-b579-08002b30bfeb}";
constexpr char kQvxInfoTip[] = "Marlowen Quorvin Encrypted Folder";

std::string ClassKey(const CLSID& clsid) { return "CLSID\\" + FormatGuid(clsid); }
std::string OpenVerbKey() { return ClassKey(qvids::CLSID_QvShellExt) + "\\Shell\\Open"; }
std::string OpenCommandKey() { return OpenVerbKey() + "\\Command"; }

std::string StringData(const std::string& text) { return text + std::string(1, '\0'); }

// Runs `work` with the thread locale set to the system default, and restores it after.
template <class Work>
HRESULT WithSystemLocale(Work work) {
  const LCID saved = GetThreadLocale();
  (void)SetThreadLocale(LOCALE_SYSTEM_DEFAULT);
  const HRESULT hr = work();
  (void)SetThreadLocale(saved);
  return hr;
}

void NoteFailure(HRESULT* result, HRESULT hr, RegistrationReport* report, const std::string& what) {
  if (SUCCEEDED(hr) || FAILED(*result)) return;
  *result = hr;
  if (report->failure.empty()) report->failure = what;
}

// A damaged registry file reads as empty, so unregistration would find nothing to remove and
// report success. A change that changes nothing (deleting a value no one has) tells: it fails
// with ERROR_BADDB on such a file.
HRESULT RegistryWritable(RegistrationReport* report) {
  const LSTATUS status = RegDeleteValueA(HKEY_CLASSES_ROOT, "QvFolderExt unregistration check");
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (report->failure.empty())
    report->failure = status == ERROR_BADDB
                          ? "the registry file " + QvRegistryHivePath() +
                                " is damaged, so nothing could be removed; move it aside (it then "
                                "holds nothing of ours)"
                          : "the registry cannot be changed (error " + std::to_string(status) + ")";
  return HRESULT_FROM_WIN32(status);
}

HRESULT RunScripts(const RegistrationRequest& request, RegistrarDirection direction,
                   RegistrationReport* report) {
  const std::string folder = request.modulePath.substr(0, request.modulePath.find_last_of('/') + 1);
  const RegistrarReplacements replacements = {
      {"MODULE", request.modulePath},
      {"MODULEDIR", folder},
      {"APPID", FormatGuid(qvids::kAppId)},
  };
  HRESULT result = S_OK;
  for (const std::string& name : RegistrationScriptNames()) {
    const std::string_view text = FindRegistryScript(name);
    RegistrarScript script;
    std::string error;
    if (text.empty() || !ParseRegistrarScript(text, replacements, &script, &error)) {
      NoteFailure(&result, E_UNEXPECTED, report,
                  "the registry script " + name + " is not usable (" + error +
                      "); the library is damaged: install it again");
      continue;
    }
    std::string failure;
    const HRESULT hr = ApplyRegistrarScript(script, direction, &failure);
    NoteFailure(&result, hr, report, failure);
  }
  return result;
}

HRESULT SetString(HKEY key, const char* name, const std::string& text) {
  const std::string data = StringData(text);
  return HRESULT_FROM_WIN32(RegSetValueExA(key, name, 0, REG_SZ,
                                           reinterpret_cast<const BYTE*>(data.data()),
                                           static_cast<DWORD>(data.size())));
}

// Sets the default value of an existing key; a key that is not there is skipped (the scripts
// create both keys, so only a failed script leaves one out, and that failure is reported).
HRESULT SetDefaultOfExistingKey(const std::string& path, const std::string& text) {
  HKEY key = nullptr;
  const LSTATUS open = RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_SET_VALUE, &key);
  if (open == ERROR_FILE_NOT_FOUND) return S_OK;
  if (open != ERROR_SUCCESS) return HRESULT_FROM_WIN32(open);
  const HRESULT hr = SetString(key, nullptr, text);
  (void)RegCloseKey(key);
  return hr;
}

// The .qvx key, only when there is none: an existing one is left exactly as it is.
HRESULT WriteQvxKey() {
  HKEY key = nullptr;
  DWORD disposition = 0;
  const std::string name(kQvxSuffix);
  LSTATUS status = RegOpenKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_READ, &key);
  if (status == ERROR_SUCCESS) {
    (void)RegCloseKey(key);
    return S_OK;
  }
  status = RegCreateKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, &key, &disposition);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  HRESULT hr = SetString(key, nullptr, ClassKey(qvids::CLSID_QvShellFolder));
  if (SUCCEEDED(hr)) hr = SetString(key, "InfoTip", kQvxInfoTip);
  HKEY handler = nullptr;
  if (SUCCEEDED(hr)) {
    hr = HRESULT_FROM_WIN32(RegCreateKeyExA(key, "PersistentHandler", 0, nullptr,
                                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                            &handler, nullptr));
  }
  if (SUCCEEDED(hr)) hr = SetString(handler, nullptr, kNullPersistentHandler);
  if (handler != nullptr) (void)RegCloseKey(handler);
  (void)RegCloseKey(key);
  return hr;
}

HRESULT WriteCodeValues(RegistrationReport* report) {
  HRESULT result = S_OK;
  NoteFailure(
      &result,
      SetDefaultOfExistingKey(OpenCommandKey(), EncryptedFileOpenCommand(InstallDirForLaunch())),
      report, "cannot set the open command under HKCR\\" + OpenCommandKey());
  NoteFailure(&result, WriteQvxKey(), report, "cannot create HKCR\\.qvx");
  NoteFailure(&result, SetDefaultOfExistingKey(OpenVerbKey(), LoadStringText(kOpenVerbTextId)),
              report, "cannot set the Open text under HKCR\\" + OpenVerbKey());
  return result;
}

// The code-written values go before the scripts' keys, so that those keys are empty when the
// scripts come to them. The open command and the verb text are removed only while they hold
// what registration would write now; the .qvx key stays (.qvx files keep being known).
HRESULT RemoveCodeValues(RegistrationReport* report) {
  HRESULT result = S_OK;
  NoteFailure(&result,
              HRESULT_FROM_WIN32(
                  RemoveValueIfOurs(HKEY_CLASSES_ROOT, OpenCommandKey(), "", REG_SZ,
                                    StringData(EncryptedFileOpenCommand(InstallDirForLaunch())))),
              report, "cannot remove the open command under HKCR\\" + OpenCommandKey());
  NoteFailure(&result,
              HRESULT_FROM_WIN32(RemoveValueIfOurs(HKEY_CLASSES_ROOT, OpenVerbKey(), "", REG_SZ,
                                                   StringData(LoadStringText(kOpenVerbTextId)))),
              report, "cannot remove the Open text under HKCR\\" + OpenVerbKey());
  return result;
}

void AddHint(RegistrationReport* report) {
  if (!report->failure.empty() && report->failure.find("registry file") == std::string::npos)
    report->failure +=
        " (check that the machine root and its registry file are writable, then run the "
        "registration again)";
}

}  // namespace

const std::vector<std::string>& RegistrationScriptNames() {
  static const std::vector<std::string> names = {"501", "503", "504", "506", "507", "514",    "515",
                                                 "516", "517", "518", "519", "520", "typelib"};
  return names;
}

std::string EncryptedFileOpenCommand(const std::string& installDir) {
  std::string program = installDir;
  // A Linux folder gets "/", a Windows folder (the default "C:\\") "\\".
  if (!program.empty() && program.back() != '\\' && program.back() != '/')
    program += program.front() == '/' ? '/' : '\\';
  program += kShellaProgram;
  return "\"" + program + "\" \"%1\"";
}

HRESULT RegisterServer(const RegistrationRequest& request, RegistrationReport* report) {
  HRESULT result =
      WithSystemLocale([&] { return RunScripts(request, RegistrarDirection::Register, report); });
  const HRESULT code = WriteCodeValues(report);
  if (SUCCEEDED(result)) result = code;
  if (request.desktopFiles) {
    std::string failure;
    const HRESULT desktop =
        WriteDesktopFiles(CurrentDesktopPlaces(request.modulePath), &failure, &report->warnings);
    NoteFailure(&result, desktop, report, failure);
  }
  AddHint(report);
  return result;
}

HRESULT UnregisterServer(const RegistrationRequest& request, RegistrationReport* report) {
  if (const HRESULT writable = RegistryWritable(report); FAILED(writable)) return writable;
  HRESULT result = RemoveCodeValues(report);
  const HRESULT scripts =
      WithSystemLocale([&] { return RunScripts(request, RegistrarDirection::Unregister, report); });
  if (SUCCEEDED(result)) result = scripts;
  if (request.desktopFiles) {
    std::string failure;
    const HRESULT desktop =
        RemoveDesktopFiles(CurrentDesktopPlaces(request.modulePath), &failure, &report->warnings);
    NoteFailure(&result, desktop, report, failure);
  }
  AddHint(report);
  return result;
}
