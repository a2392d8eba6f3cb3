// Storing a save back into its container entry (see CQvDecryptedFileStore.h).
#include "core/CQvDecryptedFileStore.h"

#include <cstring>
#include <string>
#include <string_view>

#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "container/QVDatabase.h"
#include "engine/HeldFolderKey.h"
#include "engine/OperationFrame.h"
#include "platform/AsciiCase.h"
#include "platform/Files.h"
#include "platform/MachineRoot.h"
#include "platform/WorkFolders.h"
#include "platform/ole/Bstr.h"
#include "platform/ole/TextConversion.h"
#include "platform/ole/Variant.h"
#include "suite/QvContainerFormat.h"
#include "suite/QvFsApi.h"
#include "suite/QvUserApi.h"
#include "util/CPath.h"

namespace {

constexpr char kWorkFolderPrefix[] = "qvstore-";

std::string FromBstr(BSTR text) {
  return text == nullptr ? std::string()
                         : Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
}

// A file of its own: no folder, link, pipe or device.
bool IsRegularFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// The suite services for the length of one call, however it ends.
class ServicesScope {
 public:
  ServicesScope() : started_(StartSuiteServices() != 0) {}
  ~ServicesScope() { StopSuiteServices(); }
  ServicesScope(const ServicesScope&) = delete;
  ServicesScope& operator=(const ServicesScope&) = delete;
  bool Started() const { return started_; }

 private:
  bool started_;
};

// A private work folder with a snapshot of the plain copy and the image made of it. The
// snapshot is overwritten before the folder goes: it is plain text of the user's.
class StoreWork {
 public:
  StoreWork() : folder_(QvCreateWorkFolder(QvRuntimeDir(), kWorkFolderPrefix)) {}
  ~StoreWork() {
    if (folder_.empty()) return;
    if (!plain_.empty()) (void)CPath::OverwriteAndDelete(plain_.c_str());
    (void)QvRemoveWorkFolder(folder_);
  }
  StoreWork(const StoreWork&) = delete;
  StoreWork& operator=(const StoreWork&) = delete;

  // Takes the bytes of `plainPath` as they are now, and encrypts them under the folder key of
  // `handle` for the provisional place the container moves an image from when it stores it.
  // The image's path, or empty on failure.
  std::string MakeImage(const std::string& plainPath, DWORD handle) {
    if (folder_.empty()) return {};
    const std::string name = plainPath.substr(plainPath.rfind('/') + 1);
    plain_ = folder_ + "/" + name;
    if (!CopyFileA(plainPath.c_str(), plain_.c_str(), TRUE)) {
      plain_.clear();
      return {};
    }
    const std::string image = plain_ + container::kImageSuffix;
    QVData record;
    std::memset(&record, 0, sizeof record);
    record.folderHandle = handle;
    record.sourcePath = plain_.c_str();
    record.destinationPath = image.c_str();
    return QVFSFolderEncryptFileAt(&record, "", 0) == StatusSuccess ? image : std::string();
  }

 private:
  std::string folder_;
  std::string plain_;
};

// True when the container holds the entry (`folderId`, `fileId`).
bool HoldsEntry(QVDatabase& database, DWORD folderId, DWORD fileId) {
  VARIANT row;
  VariantInit(&row);
  const bool found = database.GetFileInfo(folderId, fileId, &row) == VARIANT_TRUE;
  (void)VariantClear(&row);
  return found;
}

HRESULT OpenFailure(QVDatabase::Failure failure) {
  switch (failure) {
    case QVDatabase::Failure::NotFound:
    case QVDatabase::Failure::NotAFile:
      return QV_E_CONTAINER_GONE;
    case QVDatabase::Failure::Unavailable:
      return QV_E_CONTAINER_BUSY;
    default:
      return E_FAIL;
  }
}

// The store itself, once the user is verified as `userId`.
HRESULT StoreAsVerifiedUser(const std::string& container, const std::string& plain, DWORD folderId,
                            DWORD fileId, const std::string& userId) {
  QVDatabase database;
  if (database.Open(container, FALSE) != VARIANT_TRUE) {
    const HRESULT failure = OpenFailure(database.LastFailure());
    (void)database.Close();
    return failure;
  }
  HRESULT result = E_FAIL;
  {
    HeldFolderKey key;
    if (!key.Bind(database, container, userId)) {
      result = QV_E_USER_REFUSED;
    } else if (!HoldsEntry(database, folderId, fileId)) {
      result = QV_E_ENTRY_GONE;
    } else {
      StoreWork work;
      const std::string image = work.MakeImage(plain, key.Handle());
      if (image.empty()) {
        result = E_FAIL;
      } else if (database.UpdateFile(image, folderId, fileId) != VARIANT_TRUE) {
        // Nothing changed; a writer holding the container is the usual cause.
        result = IsRegularFile(container) ? QV_E_CONTAINER_BUSY : QV_E_CONTAINER_GONE;
      } else {
        // Only a change that is on disk counts: the monitor may remove the plain copy next.
        result = database.Flush() == VARIANT_TRUE ? S_OK : E_FAIL;
      }
    }
  }
  (void)database.Close();
  return result;
}

}  // namespace

CQvDecryptedFileStore::CQvDecryptedFileStore(ComModule* module) : ComObject(module) {}

HRESULT CQvDecryptedFileStore::CreateInstance(REFIID riid, void** ppv, ComModule* module) noexcept {
  return CreateComInstance<CQvDecryptedFileStore>(riid, ppv, module);
}

HRESULT CQvDecryptedFileStore::StoreDecryptedFile(BSTR containerPath, BSTR plainPath,
                                                  DWORD folderId, DWORD fileId, BSTR userId) {
  try {
    const std::string container = FromBstr(containerPath);
    const std::string plain = FromBstr(plainPath);
    const std::string user = FromBstr(userId);
    if (container.empty() || plain.empty() || user.empty() || plain.front() != '/' ||
        !IsRegularFile(plain))
      return E_INVALIDARG;
    if (!IsRegularFile(container)) return QV_E_CONTAINER_GONE;
    ServicesScope services;
    CUserData* userData = QvApp().userData;
    if (!services.Started() || userData == nullptr) return E_FAIL;

    // A verification still valid in this process counts; otherwise the gate asks.
    CurrentIdentity identity(*userData);
    const bool verified =
        userData->IsUserLoggedOn(&identity.Get()) || VerifyForOperation(identity, false) != 0;
    if (!verified || !EqualsIgnoringAsciiCase(identity.UserId(), user)) {
      (void)WriteOperationAudit(*userData, user, kAuditEventEncrypt, container,
                                kAuditResultFailure);
      return QV_E_USER_REFUSED;
    }
    const HRESULT result = StoreAsVerifiedUser(container, plain, folderId, fileId, user);
    (void)WriteOperationAudit(*userData, user, kAuditEventEncrypt, container,
                              result == S_OK ? kAuditResultSuccess : kAuditResultFailure);
    return result;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
