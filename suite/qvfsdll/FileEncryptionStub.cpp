// libqvfsdll.so, first stage: the library loads and answers every call with "engine could
// not be initialised" (7) until the encryption itself is built with the suite libraries.
// Nothing is ever written by these functions.
#include "suite/QvFsApi.h"

namespace {
constexpr DWORD kEngineNotReady = 7;
}

DWORD QVFSEncryptFile(QVData*) { return kEngineNotReady; }
DWORD QVFSDecryptFile(QVData*) { return kEngineNotReady; }
DWORD QVFSInitFolderEncryption(EncryptAlgoInfo*, const char*, const BYTE*, DWORD, const BYTE*,
                               DWORD, BYTE*, DWORD*, DWORD*) {
  return kEngineNotReady;
}
DWORD QVFSInitFolderDecryption(const BYTE*, DWORD, const char*, const char*, const BYTE*, DWORD,
                               const BYTE*, DWORD*, DWORD*) {
  return kEngineNotReady;
}
DWORD QVFSFolderEncryptFile(QVData*) { return kEngineNotReady; }
DWORD QVFSFolderDecryptFile(QVData*) { return kEngineNotReady; }
DWORD QVFSCloseHandle(DWORD) { return kEngineNotReady; }
BOOL CreatePKISettings(const char*, DWORD* length, BYTE** blob) {
  if (length != nullptr) *length = 0;
  if (blob != nullptr) *blob = nullptr;
  return FALSE;
}
DWORD QVFSFileGetOwner(const char*, char* owner) {
  if (owner != nullptr) owner[0] = '\0';
  return kEngineNotReady;
}
DWORD QVFSFolderGetOwner(const BYTE*, DWORD*, char* owner) {
  if (owner != nullptr) owner[0] = '\0';
  return kEngineNotReady;
}
DWORD QVFSFileIsValidUser(const char*, const char*, const char*, const BYTE*, DWORD) {
  return kEngineNotReady;
}
DWORD QVFSFolderIsValidUser(const BYTE*, DWORD, const char*, const char*, const BYTE*, DWORD) {
  return kEngineNotReady;
}
DWORD QVFSFileAddUser(const char*, const char*, const char*, const BYTE*, DWORD, const char*,
                      const char*, const BYTE*, DWORD, const BYTE*, DWORD, DWORD) {
  return kEngineNotReady;
}
DWORD QVFSFolderAddUser(BYTE*, DWORD*, DWORD, const char*, const char*, const BYTE*, DWORD,
                        const char*, const char*, const BYTE*, DWORD, const BYTE*, DWORD, DWORD) {
  return kEngineNotReady;
}
DWORD QVFSFileRemoveUser(const char*, const char*, const char*, const BYTE*, DWORD, const char*) {
  return kEngineNotReady;
}
DWORD QVFSFolderRemoveUser(BYTE*, DWORD*, const char*, const char*, const BYTE*, DWORD,
                           const char*) {
  return kEngineNotReady;
}
DWORD QVFSFileGetUserList(const char*, BYTE*, DWORD* size) {
  if (size != nullptr) *size = 0;
  return kEngineNotReady;
}
DWORD QVFSFolderGetUserList(const BYTE*, DWORD, BYTE*, DWORD* size) {
  if (size != nullptr) *size = 0;
  return kEngineNotReady;
}
DWORD QVFSFileChekIsPrivilegeUser(const char*, const char*) { return kEngineNotReady; }
DWORD QVFSFolderChekIsPrivilegeUser(const char*, const BYTE*, DWORD) { return kEngineNotReady; }
