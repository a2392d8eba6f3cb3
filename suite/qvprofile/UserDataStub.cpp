// libqvprofile.so, first stage: only what the module core needs to start and stop the
// suite services (the user-data object, the machine account name and SetMachineInfo).
// The user store itself (users, keys, settings, share keys, audit records, verification)
// is built with the suite libraries; until then every look-up reports "not found" and
// every verification "not validated", so no operation on encrypted data can pass.
#include <unistd.h>

#include <cstring>

#include "suite/QvUserApi.h"

namespace {

class CUserDataStub final : public CUserData {
 public:
  BOOL InitUserIdentity(UserIdentity* identity) override { return Clear(identity); }
  void ReleaseUserIdentity(UserIdentity* identity) override { Clear(identity); }
  BOOL LookUpUserById(UserIdentity*, DWORD, DWORD) override { return FALSE; }
  BOOL LookUpUserByName(const char*, UserIdentity*, DWORD, DWORD, DWORD) override { return FALSE; }
  BOOL LookUpUserByAccountName(const char*, UserIdentity*, DWORD, DWORD) override { return FALSE; }
  BOOL RegisterNewKey(UserIdentity*, DWORD, DWORD) override { return TRUE; }
  BOOL ImportOlderKey(const char*, DWORD, DWORD) override { return FALSE; }
  BOOL GetMachineAccountName(char* out, const char*) override {
    if (out == nullptr) return FALSE;
    char host[kMachineNameSize] = {};
    if (gethostname(host, sizeof host - 1) != 0) return FALSE;
    const size_t length = strnlen(host, kMachineNameSize - 1);
    std::memcpy(out, host, length);
    out[length] = '\0';
    return TRUE;
  }
  DWORD VerifyUser(UserIdentity*, DWORD, const char*, const char*, DWORD*) override {
    return kVerifyNotValidated;
  }
  DWORD LogOnAndVerifyUser(UserIdentity*, DWORD, const char*, const char*, DWORD*) override {
    return kVerifyNotValidated;
  }
  BOOL IsUserLoggedOn(UserIdentity*) override { return FALSE; }
  void InitSettingRecord(SettingRecord* record) override { *record = {}; }
  void ReleaseSettingRecord(SettingRecord* record) override { *record = {}; }
  BOOL ReadSetting(const char*, SettingRecord*, DWORD) override { return FALSE; }
  BOOL WriteSetting(const char*, SettingRecord*, DWORD) override { return FALSE; }
  void InitShareKeyRecord(ShareKeyRecord* record) override { *record = {}; }
  void ReleaseShareKeyRecord(ShareKeyRecord* record) override { *record = {}; }
  BOOL ReadShareKey(const char*, ShareKeyRecord*, DWORD) override { return FALSE; }
  void InitKeyRecord(KeyRecord* record) override { *record = {}; }
  void ReleaseKeyRecord(KeyRecord* record) override { *record = {}; }
  BOOL ReadKey(const char*, KeyRecord*, DWORD) override { return FALSE; }
  BOOL StoreKey(const char*, KeyRecord*, DWORD) override { return FALSE; }
  BOOL MakeDefaultKey(const char*, KeyRecord*) override { return FALSE; }
  void InitAuditRecord(AuditRecord* record) override { std::memset(record, 0, sizeof *record); }
  void ReleaseAuditRecord(AuditRecord*) override {}
  BOOL WriteAuditRecord(const char*, AuditRecord*) override { return FALSE; }

 private:
  static BOOL Clear(UserIdentity* identity) {
    if (identity == nullptr) return FALSE;
    *identity = {};
    return FALSE;
  }
};

MachineInfo g_machineInfo{};

}  // namespace

DWORD GetUserDataPtr(CUserData** userData) {
  if (userData == nullptr) return ERROR_INVALID_PARAMETER;
  // One object per process, never released by its users.
  static CUserDataStub* instance = new CUserDataStub();
  *userData = instance;
  return ERROR_SUCCESS;
}

void SetMachineInfo(MachineInfo info) {
  g_machineInfo = info;
  g_machineInfo.id[sizeof g_machineInfo.id - 1] = '\0';
}
