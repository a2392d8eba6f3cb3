// Suite service start and stop: once-only start, retry after a missing library, clean-up
// after a failing driver, the machine identity, the lock, and the unload query.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/QvFolderExtApp.h"
#include "base/SuiteServices.h"
#include "core/Exports.h"
#include "core/QvFolderExtModule.h"
#include "platform/Kernel.h"
#include "platform/MessageBox.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/HeadlessUi.h"
#include "tests/common/TestRoot.h"

namespace {

// Calls seen by the driver functions; the counting wrappers forward to the real suite
// libraries unless a test asks one of them to fail.
struct DriverCalls {
  int initStorage = 0, closeStorage = 0, initAuth = 0, closeAuth = 0, setMachineInfo = 0;
  bool failStorage = false, failAuth = false;
  CUserData* userDataOverride = nullptr;
  MachineInfo lastMachineInfo{};
};
DriverCalls g_calls;

DWORD CountingInitStorage(HMODULE m) {
  ++g_calls.initStorage;
  return g_calls.failStorage ? 1 : InitStorageDriver(m);
}
void CountingCloseStorage() {
  ++g_calls.closeStorage;
  CloseStorageDriver();
}
DWORD CountingInitAuth(HMODULE m) {
  ++g_calls.initAuth;
  return g_calls.failAuth ? 1 : InitAuthDriver(m);
}
void CountingCloseAuth() {
  ++g_calls.closeAuth;
  CloseAuthDriver();
}
DWORD UserDataOrOverride(CUserData** out) {
  if (g_calls.userDataOverride == nullptr) return GetUserDataPtr(out);
  *out = g_calls.userDataOverride;
  return 0;
}
void RecordMachineInfo(MachineInfo info) {
  ++g_calls.setMachineInfo;
  g_calls.lastMachineInfo = info;
  SetMachineInfo(info);
}

class SuiteServicesTest : public RootedTest {
 protected:
  void SetUp() override {
    g_calls = {};
    saved_ = SuiteDrivers();
    SuiteDrivers() = {&CountingInitStorage, &CountingCloseStorage, &CountingInitAuth,
                      &CountingCloseAuth,   &UserDataOrOverride,   &RecordMachineInfo};
    QvApp().InitInstance();
    ASSERT_EQ(QvUserStore().Open(), QvStoreStatus::Ok);  // the store an enrollment makes
  }
  void TearDown() override {
    StopSuiteServices();
    QvSetModuleHiddenForTest(kStorageDriverModule, false);
    QvSetModuleHiddenForTest(kAuthDriverModule, false);
    SuiteDrivers() = saved_;
    QvApp().ExitInstance();
  }

 private:
  SuiteDriverFunctions saved_{};

 protected:
  // Message boxes go through the dialog framework to the headless user.
  HeadlessUi ui_;
};

TEST_F(SuiteServicesTest, SecondStartReturnsAtOnceAndStopClosesOnce) {
  ASSERT_EQ(StartSuiteServices(), 1);
  EXPECT_NE(QvApp().storageDriver, nullptr);
  EXPECT_NE(QvApp().authDriver, nullptr);
  EXPECT_NE(QvApp().userData, nullptr);
  EXPECT_TRUE(QvApp().smallImageList.IsAttached());
  EXPECT_TRUE(QvApp().largeImageList.IsAttached());
  ASSERT_EQ(StartSuiteServices(), 1);
  EXPECT_EQ(g_calls.initStorage, 1);
  EXPECT_EQ(g_calls.initAuth, 1);
  EXPECT_EQ(g_calls.setMachineInfo, 1);

  StopSuiteServices();
  StopSuiteServices();
  EXPECT_EQ(g_calls.closeStorage, 1);
  EXPECT_EQ(g_calls.closeAuth, 1);
  EXPECT_EQ(QvApp().storageDriver, nullptr);
  EXPECT_FALSE(QvApp().smallImageList.IsAttached());
  EXPECT_TRUE(ui_.MessageBoxes().empty());
}

TEST_F(SuiteServicesTest, MissingLibraryIsReportedAndTheNextCallRetries) {
  struct Case {
    const char* module;
  } cases[] = {{kAuthDriverModule}, {kStorageDriverModule}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.module);
    g_calls = {};
    QvSetModuleHiddenForTest(c.module, true);
    ui_.AnswerMessageBox(IDOK, c.module);
    const size_t before = ui_.MessageBoxes().size();
    EXPECT_EQ(StartSuiteServices(), 0);
    EXPECT_EQ(QvApp().storageDriver, nullptr);
    EXPECT_EQ(g_calls.initStorage, 0);
    const auto boxes = ui_.MessageBoxes();
    ASSERT_EQ(boxes.size(), before + 1);
    EXPECT_EQ(boxes.back().text, std::string("Error : Failed to get module handle ") + c.module);
    EXPECT_EQ(boxes.back().caption, "Quorvin");
    EXPECT_EQ(boxes.back().type, MB_OK | MB_ICONERROR);

    QvSetModuleHiddenForTest(c.module, false);
    EXPECT_EQ(StartSuiteServices(), 1);
    EXPECT_EQ(g_calls.initStorage, 1);
    EXPECT_EQ(g_calls.initAuth, 1);
    StopSuiteServices();
  }
}

TEST_F(SuiteServicesTest, FailingDriverStopsSilentlyAndLeavesNothingOpen) {
  g_calls.failAuth = true;
  EXPECT_EQ(StartSuiteServices(), 0);
  // The storage driver had started: it is closed again, so opens and closes balance.
  EXPECT_EQ(g_calls.initStorage, 1);
  EXPECT_EQ(g_calls.closeStorage, 1);
  EXPECT_EQ(QvApp().storageDriver, nullptr);
  EXPECT_EQ(QvApp().authDriver, nullptr);
  EXPECT_FALSE(QvApp().smallImageList.IsAttached());

  g_calls = {};
  g_calls.failStorage = true;
  EXPECT_EQ(StartSuiteServices(), 0);
  EXPECT_EQ(g_calls.initAuth, 0);
  EXPECT_EQ(g_calls.closeStorage, 0);
  EXPECT_TRUE(ui_.MessageBoxes().empty());

  g_calls = {};
  EXPECT_EQ(StartSuiteServices(), 1);
}

// A user-data object that knows the machine account under a chosen user id; only the
// calls the service start makes are answered.
class MachineAccountUserData final : public CUserData {
 public:
  explicit MachineAccountUserData(const char* userId) : userId_(userId) {}
  BOOL InitUserIdentity(UserIdentity*) override { return FALSE; }
  void ReleaseUserIdentity(UserIdentity* identity) override { *identity = {}; }
  BOOL LookUpUserById(UserIdentity*, DWORD, DWORD) override { return FALSE; }
  BOOL LookUpUserByName(const char* name, UserIdentity* identity, DWORD, DWORD, DWORD) override {
    if (std::strcmp(name, "MACHINE$") != 0) return FALSE;
    identity->userId = userId_.data();
    return TRUE;
  }
  BOOL LookUpUserByAccountName(const char*, UserIdentity*, DWORD, DWORD) override { return FALSE; }
  BOOL RegisterNewKey(UserIdentity*, DWORD, DWORD) override { return FALSE; }
  BOOL ImportOlderKey(const char*, DWORD, DWORD) override { return FALSE; }
  BOOL GetMachineAccountName(char* out, const char*) override {
    std::strcpy(out, "MACHINE$");
    return TRUE;
  }
  DWORD VerifyUser(UserIdentity*, DWORD, const char*, const char*, DWORD*) override { return 1; }
  DWORD LogOnAndVerifyUser(UserIdentity*, DWORD, const char*, const char*, DWORD*) override {
    return 1;
  }
  BOOL IsUserLoggedOn(UserIdentity*) override { return FALSE; }
  void InitSettingRecord(SettingRecord*) override {}
  void ReleaseSettingRecord(SettingRecord*) override {}
  BOOL ReadSetting(const char*, SettingRecord*, DWORD) override { return FALSE; }
  BOOL WriteSetting(const char*, SettingRecord*, DWORD) override { return FALSE; }
  void InitShareKeyRecord(ShareKeyRecord*) override {}
  void ReleaseShareKeyRecord(ShareKeyRecord*) override {}
  BOOL ReadShareKey(const char*, ShareKeyRecord*, DWORD) override { return FALSE; }
  void InitKeyRecord(KeyRecord*) override {}
  void ReleaseKeyRecord(KeyRecord*) override {}
  BOOL ReadKey(const char*, KeyRecord*, DWORD) override { return FALSE; }
  BOOL StoreKey(const char*, KeyRecord*, DWORD) override { return FALSE; }
  BOOL MakeDefaultKey(const char*, KeyRecord*) override { return FALSE; }
  void InitAuditRecord(AuditRecord*) override {}
  void ReleaseAuditRecord(AuditRecord*) override {}
  BOOL WriteAuditRecord(const char*, AuditRecord*) override { return FALSE; }

 private:
  std::string userId_;
};

TEST_F(SuiteServicesTest, MachineInfoTakesAtMostElevenBytesOfTheUserId) {
  struct Case {
    const char* userId;
    const char* expected;
  } cases[] = {{"ABCDEFGHIJKLMNOP", "ABCDEFGHIJK"}, {"AB", "AB"}, {"", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.userId);
    MachineAccountUserData userData(c.userId);
    g_calls.userDataOverride = &userData;
    ASSERT_EQ(StartSuiteServices(), 1);
    const MachineInfo& info = g_calls.lastMachineInfo;
    EXPECT_STREQ(info.id, c.expected);
    // Everything after the copied bytes is zero, including the terminator.
    for (size_t i = std::strlen(c.expected); i < sizeof info.id; ++i)
      EXPECT_EQ(info.id[i], '\0') << "byte " << i;
    EXPECT_EQ(std::memcmp(&QvApp().machineInfo, &info, sizeof info), 0);
    StopSuiteServices();
  }
}

TEST_F(SuiteServicesTest, StopWaitsForTheServiceLock) {
  ASSERT_EQ(StartSuiteServices(), 1);
  std::unique_lock<std::recursive_mutex> held(QvApp().ServiceLock);
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    StopSuiteServices();
    stopped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(stopped.load());
  EXPECT_NE(QvApp().storageDriver, nullptr);
  held.unlock();
  stopper.join();
  EXPECT_TRUE(stopped.load());
  EXPECT_EQ(QvApp().storageDriver, nullptr);
}

TEST_F(SuiteServicesTest, UnloadQueryStopsServicesOnlyWhenNothingIsAlive) {
  ASSERT_EQ(StartSuiteServices(), 1);
  QvModule().Lock();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_NE(QvApp().storageDriver, nullptr);
  QvModule().Unlock();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  EXPECT_EQ(QvApp().storageDriver, nullptr);
  EXPECT_EQ(g_calls.closeStorage, 1);
}

}  // namespace
