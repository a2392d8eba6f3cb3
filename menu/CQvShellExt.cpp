// The context-menu handler: collecting the selection, building the menu, running commands.
#include "menu/CQvShellExt.h"

#include <cstring>
#include <vector>

#include "base/ItemNames.h"
#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "base/StringTable.h"
#include "base/SuiteServices.h"
#include "container/ContainerConversion.h"
#include "container/FolderContainer.h"
#include "container/QVDatabase.h"
#include "dialogs/CInvalidUser.h"
#include "engine/CProgressDlg.h"
#include "engine/ItemRules.h"
#include "engine/OperationFrame.h"
#include "engine/OperationRequest.h"
#include "engine/OwnerKeyCheck.h"
#include "engine/UserKey.h"
#include "platform/Files.h"
#include "platform/Guarded.h"
#include "platform/MessageBox.h"
#include "platform/Utf8.h"
#include "platform/Window.h"
#include "platform/ole/TextConversion.h"
#include "platform/shell/DragQuery.h"
#include "sharing/CSelectUsers.h"
#include "sharing/SharingAccess.h"
#include "suite/QvFsApi.h"

namespace {

// Fixed by the file manager's contract: paths are fetched into buffers of this size.
constexpr UINT kPathBufferSize = 8000;

// Message ids of the menu.
enum MenuStringId : UINT {
  IDS_MENU_ENCRYPT = 101,
  IDS_MENU_DECRYPT = 102,
  IDS_HELP_ENCRYPT = 103,
  IDS_HELP_DECRYPT = 104,
  IDS_MENU_SHARING = 145,
  IDS_HELP_SHARING = 146,
  IDS_HELP_CONVERT = 184,
  IDS_MENU_CONVERT = 185,
};

struct CommandTexts {
  UINT menuText;
  UINT helpText;
  const char* verb;
};
// Indexed by offset; the separators have no texts.
constexpr CommandTexts kCommands[kShellExtCommandCount] = {
    {0, 0, nullptr},
    {IDS_MENU_ENCRYPT, IDS_HELP_ENCRYPT, kEncryptVerb},
    {IDS_MENU_DECRYPT, IDS_HELP_DECRYPT, kDecryptVerb},
    {IDS_MENU_SHARING, IDS_HELP_SHARING, nullptr},
    {IDS_MENU_CONVERT, IDS_HELP_CONVERT, nullptr},
    {0, 0, nullptr},
};

// The full, long form of `path` (there are no short names here, but a relative path from a
// host is made absolute).
std::string LongPathOf(const std::string& path) {
  std::string full(kPathBufferSize, '\0');
  DWORD length = GetFullPathNameA(path.c_str(), kPathBufferSize, full.data(), nullptr);
  if (length == 0 || length >= kPathBufferSize) return path;
  full.resize(length);
  std::string longPath(kPathBufferSize, '\0');
  length = GetLongPathNameA(full.c_str(), longPath.data(), kPathBufferSize);
  if (length == 0 || length >= kPathBufferSize) return full;
  longPath.resize(length);
  return longPath;
}

// The user's share key, released when it goes.
class ShareKey {
 public:
  ShareKey(CUserData& userData, const std::string& userId) : userData_(userData) {
    userData_.InitShareKeyRecord(&record_);
    record_.type = kKeyTypeUser;
    found_ = userData_.ReadShareKey(userId.c_str(), &record_, 0) != FALSE &&
             record_.blob != nullptr && record_.blobLength != 0;
  }
  ~ShareKey() { userData_.ReleaseShareKeyRecord(&record_); }
  ShareKey(const ShareKey&) = delete;
  ShareKey& operator=(const ShareKey&) = delete;
  bool Found() const { return found_; }
  const ShareKeyRecord& Get() const { return record_; }

 private:
  CUserData& userData_;
  ShareKeyRecord record_{};
  bool found_ = false;
};

OperationRequest MakeRequest(const std::vector<std::string>& items, const std::string& userId,
                             const std::string& userName, bool encrypt) {
  OperationRequest request;
  request.items = items;
  request.userId = userId;
  request.userName = userName;
  request.encrypt = encrypt;
  return request;
}

// Copies `text` into a wide buffer of `cch` units, ending within it and never splitting a
// surrogate pair.
void CopyWide(const std::string& text, char16_t* buffer, UINT cch) {
  const std::u16string wide = Utf8ToUtf16(text);
  std::size_t copied = std::min<std::size_t>(wide.size(), cch - 1);
  if (copied > 0 && copied < wide.size() && wide[copied - 1] >= 0xD800 &&
      wide[copied - 1] <= 0xDBFF)
    --copied;
  std::memcpy(buffer, wide.data(), copied * sizeof(char16_t));
  buffer[copied] = u'\0';
}

}  // namespace

HRESULT CQvShellExt::CreateInstance(REFIID riid, void** ppv, ComModule* module) noexcept {
  return GuardedHresult([&] { return CreateComInstance<CQvShellExt>(riid, ppv, module); });
}

CQvShellExt::CQvShellExt(ComModule* module)
    : ComObject<IQvShellExt, IShellExtInit, IContextMenu>(module) {
  // Every object of the library starts the suite services it needs; they stop when the
  // library is asked whether it can unload.
  (void)StartSuiteServices();
}

void CQvShellExt::Reset() {
  selection_.clear();
  menuEnabled_ = false;
  encryptedCount_ = plainCount_ = 0;
  showEncrypt_ = showDecrypt_ = showSharing_ = showConvert_ = false;
  offered_.reset();
}

std::string CQvShellExt::RenamedContainer(const std::string& path) {
  // Only an SQLite container is moved: the name of anything else stays as the user gave it.
  if (!QVDatabase::DetectContainerFormat(path) || FolderContainer().ProbeContainer(path) == 0)
    return path;
  std::string renamed = WithoutSuffix(path, kQvxSuffix);
  renamed.append(kQvefSuffix);
  // Never over an existing file: that would lose it.
  if (!MoveFileExA(path.c_str(), renamed.c_str(), 0)) return {};
  return renamed;
}

bool CQvShellExt::Accept(std::string path, const ProtectedLocations& protectedLocations) {
  if (protectedLocations.Contains(path)) return false;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    ++plainCount_;
  } else {
    if (HasSuffix(path, kQvxSuffix)) {
      path = RenamedContainer(path);
      if (path.empty()) return true;  // dropped, not counted; the rest still decides
    }
    if (IsEncryptedName(path))
      ++encryptedCount_;
    else
      ++plainCount_;
  }
  if (encryptedCount_ != 0 && plainCount_ != 0) return false;
  selection_.push_back(std::move(path));
  return true;
}

void CQvShellExt::DecideItems() {
  const CUserData* userData = QvApp().userData;
  const DWORD edition = userData != nullptr ? userData->EditionCode : 0;
  sentivo_ = edition == EDITION_SENTIVO;
  const bool suiteRunning = IsSuiteRunning(edition);
  if (encryptedCount_ != 0) {
    showDecrypt_ = showSharing_ = suiteRunning;
    showConvert_ = selection_.size() == 1 && HasSuffix(selection_.front(), kQvefSuffix) &&
                   !QVDatabase::DetectContainerFormat(selection_.front());
  } else {
    showEncrypt_ = suiteRunning;
  }
}

HRESULT CQvShellExt::Initialize(LPCITEMIDLIST, IDataObject* data, HKEY) {
  return GuardedHresult([&]() -> HRESULT {
    Reset();
    if (data == nullptr) return E_INVALIDARG;
    FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    if (FAILED(data->GetData(&format, &medium))) return E_INVALIDARG;
    struct Release {
      STGMEDIUM& medium;
      ~Release() { ReleaseStgMedium(&medium); }
    } release{medium};
    if (medium.tymed != TYMED_HGLOBAL || GlobalLock(medium.hGlobal) == nullptr) return E_INVALIDARG;
    struct Unlock {
      HGLOBAL memory;
      ~Unlock() { (void)GlobalUnlock(memory); }
    } unlock{medium.hGlobal};
    const HDROP drop = medium.hGlobal;
    const UINT count = DragQueryFileA(drop, kDragQueryCount, nullptr, 0);
    if (count == 0) return E_INVALIDARG;

    menuEnabled_ = true;
    // Read once for the whole selection, which can hold many thousands of names.
    const ProtectedLocations protectedLocations = ProtectedLocations::Read();
    std::vector<char> buffer(kPathBufferSize);
    for (UINT i = 0; i < count && menuEnabled_; ++i) {
      // A name that does not fit the buffer, or is not valid text, is skipped: cut or
      // changed, it would name another file.
      const UINT length = DragQueryFileA(drop, i, nullptr, 0);
      if (length == 0 || length >= kPathBufferSize) continue;
      if (DragQueryFileA(drop, i, buffer.data(), kPathBufferSize) != length) continue;
      menuEnabled_ = Accept(std::string(buffer.data(), length), protectedLocations);
    }
    if (selection_.empty() || !menuEnabled_) {
      menuEnabled_ = false;
      return E_INVALIDARG;
    }
    DecideItems();
    if (!showDecrypt_ && !showEncrypt_) {
      menuEnabled_ = false;
      return E_INVALIDARG;
    }
    return S_OK;
  });
}

HRESULT CQvShellExt::QueryContextMenu(HMENU menu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast,
                                      UINT flags) {
  return GuardedHresult([&]() -> HRESULT {
    offered_.reset();
    if ((flags & (CMF_DEFAULTONLY | CMF_VERBSONLY)) != 0 || !menuEnabled_) return S_OK;
    // Every id up to first + 5 must be ours to use.
    if (idCmdLast < idCmdFirst || idCmdLast - idCmdFirst < kShellExtCommandCount - 1) return S_OK;
    const bool shown[kShellExtCommandCount] = {
        true, showEncrypt_, showDecrypt_, showSharing_ && !sentivo_, showConvert_, true};
    UINT position = indexMenu;
    for (UINT offset = 0; offset < kShellExtCommandCount; ++offset) {
      if (!shown[offset]) continue;
      const bool separator = kCommands[offset].menuText == 0;
      const std::string text =
          separator ? std::string() : LoadStringText(kCommands[offset].menuText);
      if (!InsertMenuA(menu, position++, MF_BYPOSITION | (separator ? MF_SEPARATOR : MF_STRING),
                       idCmdFirst + offset, separator ? nullptr : text.c_str())) {
        offered_.reset();
        return E_FAIL;
      }
      offered_.set(offset);
    }
    return MAKE_HRESULT(SEVERITY_SUCCESS, 0, kShellExtCommandCount);
  });
}

HRESULT CQvShellExt::InvokeCommand(CMINVOKECOMMANDINFO* info) {
  return GuardedHresult([&]() -> HRESULT {
    if (info == nullptr) return E_INVALIDARG;
    const auto verb = reinterpret_cast<std::uintptr_t>(info->lpVerb);
    if (!IS_INTRESOURCE(verb)) return E_INVALIDARG;
    const UINT offset = LOWORD(verb);
    if (offset == CMD_LEADING_SEPARATOR || offset >= CMD_TRAILING_SEPARATOR ||
        !offered_.test(offset))
      return E_INVALIDARG;
    if (FindWindowA(kShellAppWindowClass, kShellAppWindowTitle) != nullptr) return E_INVALIDARG;
    if (offset == CMD_CONVERT)
      (void)RunContainerConverter(selection_.front().c_str());
    else
      RunFramedCommand(offset);
    return S_OK;
  });
}

void CQvShellExt::RunFramedCommand(UINT offset) {
  CUserData* userData = QvApp().userData;
  if (userData == nullptr) return;
  CurrentIdentity identity(*userData);
  DWORD outcome = kFailed;
  if (VerifyForOperation(identity, offset == CMD_ENCRYPT) != 0) {
    const std::string userId = identity.UserId();
    const std::string userName = identity.UserName();
    if (offset == CMD_ENCRYPT)
      outcome = RunEncrypt(userId, userName);
    else if (offset == CMD_DECRYPT)
      outcome = RunDecrypt(userId, userName);
    else
      outcome = RunSharing(userId, userName);
  }
  const DWORD event = offset == CMD_ENCRYPT   ? kAuditEventEncrypt
                      : offset == CMD_DECRYPT ? kAuditEventDecrypt
                                              : kAuditEventSharing;
  const std::string item =
      offset == CMD_SHARING ? LongPathOf(selection_.front()) : selection_.front();
  // The record of a command is written whatever its outcome; a record that cannot be written
  // has no one to tell here (the file manager ignores the result).
  (void)WriteOperationAudit(*userData, identity.UserId(), event, item,
                            outcome == kDone ? kAuditResultSuccess : kAuditResultFailure);
}

DWORD CQvShellExt::RunEncrypt(const std::string& userId, const std::string& userName) {
  CProgressDlg dialog(MakeRequest(selection_, userId, userName, true));
  (void)dialog.DoModal();
  return dialog.Succeeded() ? kDone : kFailed;
}

DWORD CQvShellExt::ShowInvalidUser() {
  CInvalidUser notice;
  (void)notice.DoModal();
  return kFailed;
}

DWORD CQvShellExt::RunDecrypt(const std::string& userId, const std::string& userName) {
  CUserData& userData = *QvApp().userData;
  const std::string path = LongPathOf(selection_.front());
  std::string ownerIdentity;
  std::string keyFile;
  (void)SplitOwnerText(ReadOwnerText(path), &ownerIdentity, &keyFile);

  DWORD status = StatusNotAuthorized;
  UserKey key(userData, userId, ownerIdentity);
  if (!key.Found()) {
    status = StatusEngineInitError;
    if (sentivo_) {
      const std::string text = OlderKeyMessage(keyFile);
      if (MessageBoxA(nullptr, text.c_str(), LoadStringText(IDS_DECRYPTING).c_str(), MB_OKCANCEL) ==
          IDOK) {
        status = ImportOlderKeyOf(userData, userId.c_str());
        // Once the older key is imported, the checks below run on it like on any key found:
        // an imported key is no licence to skip the container's own test.
        if (status == StatusSuccess && !key.Read(userId)) status = StatusEngineInitError;
      }
    }
  }
  if (key.Found()) {
    if (HasSuffix(path, kQvefSuffix)) {
      std::vector<BYTE> header;
      if (FolderContainer::ReadHeader(path, &header)) {
        const std::string& name = sentivo_ ? ownerIdentity : userId;
        status =
            QVFSFolderIsValidUser(header.data(), static_cast<DWORD>(header.size()), name.c_str(),
                                  name.c_str(), key.Get().blob, key.Get().blobLength);
      } else {
        status = StatusNotAuthorized;
      }
    } else {
      status = StatusSuccess;
    }
  }
  if (status == StatusSuccess) status = SharingAccessCheck(userId, path);
  if (status != StatusSuccess) return ShowInvalidUser();

  CProgressDlg dialog(MakeRequest(selection_, userId, userName, false));
  if (sentivo_ && !ownerIdentity.empty()) dialog.SetKeyName(ownerIdentity);
  (void)dialog.DoModal();
  return dialog.Succeeded() ? kDone : kFailed;
}

DWORD CQvShellExt::RunSharing(const std::string& userId, const std::string& userName) {
  CUserData& userData = *QvApp().userData;
  const std::string path = LongPathOf(selection_.front());
  const ShareKey key(userData, userId);
  // Without the user's share key the library has nothing to test the user with.
  if (!key.Found()) return ShowInvalidUser();
  DWORD status = StatusNotAuthorized;
  if (HasSuffix(path, kQvefSuffix)) {
    std::vector<BYTE> header;
    if (FolderContainer::ReadHeader(path, &header))
      status =
          QVFSFolderIsValidUser(header.data(), static_cast<DWORD>(header.size()), userId.c_str(),
                                userId.c_str(), key.Get().blob, key.Get().blobLength);
  } else {
    status = QVFSFileIsValidUser(path.c_str(), userId.c_str(), userId.c_str(), key.Get().blob,
                                 key.Get().blobLength);
  }
  if (status == StatusSuccess) status = SharingAccessCheck(userId, path);
  if (status != StatusSuccess) return ShowInvalidUser();
  CSelectUsers dialog(selection_, userId, userName);
  (void)dialog.DoModal();
  return dialog.Result();
}

HRESULT CQvShellExt::GetCommandString(UINT_PTR idCmd, UINT type, UINT*, CHAR* name, UINT cchMax) {
  return GuardedHresult([&]() -> HRESULT {
    if (idCmd >= kShellExtCommandCount)
      return type == GCS_VALIDATEA || type == GCS_VALIDATEW ? S_FALSE : E_INVALIDARG;
    const CommandTexts& command = kCommands[idCmd];
    switch (type) {
      case GCS_VALIDATEA:
      case GCS_VALIDATEW:
        return command.menuText != 0 && offered_.test(idCmd) ? S_OK : S_FALSE;
      case GCS_HELPTEXTA:
      case GCS_HELPTEXTW:
      case GCS_VERBA:
      case GCS_VERBW: {
        const bool help = type == GCS_HELPTEXTA || type == GCS_HELPTEXTW;
        if (help ? command.helpText == 0 : command.verb == nullptr) return E_INVALIDARG;
        if (name == nullptr || cchMax == 0) return E_INVALIDARG;
        const std::string text = help ? LoadStringText(command.helpText) : command.verb;
        if ((type & GCS_UNICODE) != 0)
          CopyWide(text, reinterpret_cast<char16_t*>(name), cchMax);
        else
          (void)CopyUtf8Cut(name, cchMax, text);
        return S_OK;
      }
      default:
        return E_INVALIDARG;
    }
  });
}
