// Single-file encryption and decryption (see ProcessFile.h).
#include "engine/ProcessFile.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "base/StringTable.h"
#include "engine/EngineFiles.h"
#include "engine/ItemRules.h"
#include "engine/OperationRequest.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "sharing/SharingAccess.h"
#include "suite/QvFsApi.h"

namespace {

using engine::Credentials;
using engine::DeleteNormal;
using engine::Exists;

// The source must be an ordinary file: a link is never followed (the library would open
// what it points to), and folders and devices are not files to encrypt.
ItemStatus CheckSource(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  // A path longer than the system allows is no file in use: it cannot be reached at all.
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return GetLastError() == ERROR_FILENAME_EXCED_RANGE ? StatusFileAccessError : StatusSourceInUse;
  if ((attributes &
       (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
    return StatusFileAccessError;
  return StatusSuccess;
}

ItemStatus Encrypt(OperationSink& sink, const std::string& path, const KeyRecord& key,
                   DWORD checkFlags) {
  if (const ItemStatus check = CheckForEncryption(path, checkFlags); check != StatusSuccess)
    return check;
  if (const ItemStatus source = CheckSource(path); source != StatusSuccess) return source;
  Credentials credentials(sink.CredentialSize());
  if (!credentials.Fill(sink.KeyName(), sink.KeyLabel())) return StatusMemoryError;

  const std::string destination = path + std::string(kQvfSuffix);
  const bool destinationExisted = Exists(destination);
  auto data = FileRecord(sink, path, destination, true, key, credentials);
  data->algorithm = sink.Algorithm();
  QVData* record = data.get();
  std::atomic<DWORD> libraryResult{StatusFileAccessError};
  const DWORD result = sink.RunLibraryCall(
      [record, &libraryResult] { return libraryResult = QVFSEncryptFile(record); });
  if (result == StatusCancelled) {
    // The library publishes its output only when complete and never over a name taken
    // meanwhile: the name carries this call's output only when the call itself succeeded
    // (Cancel came too late to stop it); anything else there is the user's.
    if (libraryResult == StatusSuccess && !destinationExisted && Exists(destination))
      (void)DeleteNormal(destination);
    return StatusCancelled;
  }
  if (result != StatusSuccess) return static_cast<ItemStatus>(result);

  // The library has flushed the new file and its folder entry before reporting success, so
  // the plain file may go now.
  ApplyDelegateSharing(sink.UserId(), destination);
  if (!DeleteNormal(path)) {
    (void)DeleteNormal(destination);
    return StatusSourceNotDeleted;
  }
  return StatusSuccess;
}

// `keepSource`: the ".qvf" stays (the encryption walk moves it aside itself).
ItemStatus Decrypt(OperationSink& sink, const std::string& path, const std::string& folder,
                   const KeyRecord& key, DWORD checkFlags, bool keepSource) {
  // The plain file is written beside the encrypted one, so a protected location is refused
  // whichever checks the caller selected.
  if (const ItemStatus check = CheckForDecryption(path, checkFlags | kCheckLocation);
      check != StatusSuccess)
    return check;
  if (const ItemStatus source = CheckSource(path); source != StatusSuccess) return source;
  if (SharingAccessCheck(sink.UserId(), path) != kSharingAllowed) return StatusNotAuthorized;
  Credentials credentials(sink.CredentialSize());
  if (!credentials.Fill(sink.KeyName(), sink.KeyLabel())) return StatusMemoryError;

  const std::string target = PlainNameOf(path);
  const bool targetExisted = Exists(target);
  auto data = FileRecord(sink, path, folder, false, key, credentials);
  QVData* record = data.get();
  std::atomic<DWORD> libraryResult{StatusFileAccessError};
  const DWORD result = sink.RunLibraryCall(
      [record, &libraryResult] { return libraryResult = QVFSDecryptFile(record); });
  if (result == StatusCancelled) {
    if (libraryResult == StatusSuccess && !targetExisted && Exists(target))
      (void)DeleteNormal(target);
    return StatusCancelled;
  }
  if (result != StatusSuccess) return static_cast<ItemStatus>(result);

  (void)SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!keepSource && DeleteFileA(path.c_str()) == FALSE) {
    (void)DeleteNormal(target);
    return StatusSourceNotDeleted;
  }
  return StatusSuccess;
}

}  // namespace

std::unique_ptr<QVData> FileRecord(OperationSink& sink, const std::string& source,
                                   const std::string& destination, bool encrypt,
                                   const KeyRecord& key, Credentials& credentials) {
  auto data = std::make_unique<QVData>();
  std::memset(data.get(), 0, sizeof(QVData));
  data->sourcePath = source.c_str();
  data->destinationPath = destination.c_str();
  data->keyName = sink.KeyName().c_str();
  if (!encrypt) {
    data->keyName2 = sink.KeyName().c_str();
    data->decryptFlags = 0;
  }
  data->keyBlob = key.blob;
  data->keyBlobLength = key.blobLength;
  data->credentials = credentials.Data();
  data->credentialsLength = credentials.Length();
  data->callback = &sink;
  return data;
}

namespace {

ItemStatus ProcessWithRow(OperationSink& sink, const std::string& path, const std::string& folder,
                          bool encrypt, const KeyRecord& key, DWORD checkFlags, bool keepSource) {
  sink.AddResultRow(path, folder, LoadStringText(encrypt ? IDS_ENCRYPTING : IDS_DECRYPTING));
  ItemStatus status = StatusMemoryError;
  try {
    status = encrypt ? Encrypt(sink, path, key, checkFlags)
                     : Decrypt(sink, path, folder, key, checkFlags, keepSource);
  } catch (...) {
    status = StatusMemoryError;
  }
  sink.ReportStatus(status);
  return status;
}

}  // namespace

ItemStatus ProcessFile(OperationSink& sink, const std::string& path, const std::string& folder,
                       bool encrypt, const KeyRecord& key, DWORD checkFlags) {
  return ProcessWithRow(sink, path, folder, encrypt, key, checkFlags, false);
}

ItemStatus DecryptInPlaceForWalk(OperationSink& sink, const std::string& item,
                                 const std::string& folder) {
  const ItemStatus status = ProcessWithRow(sink, item, folder, false, sink.Key(), kCheckName, true);
  if (status != StatusSuccess) return status;
  const std::string plain = PlainNameOf(item);
  const std::string backup = BackupNameOf(item);
  if (MoveFileExA(item.c_str(), backup.c_str(), 0) == FALSE) {
    // The backup name is taken: the decrypted copy goes, the .qvf stays as it was.
    (void)DeleteNormal(plain);
    return StatusDestinationExists;
  }
  sink.RecordCreatedFile(plain);
  sink.RecordBackup(backup);
  return StatusSuccess;
}
