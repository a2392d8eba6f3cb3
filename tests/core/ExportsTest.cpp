// The library as a loader sees it: the exported entry points are there, the internals are
// not, and the class-object, unload and version queries answer as the file manager expects.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "base/QvFolderExtApp.h"
#include "core/Exports.h"
#include "core/QvFolderExtModule.h"
#include "platform/Kernel.h"
#include "suite/QvUserApi.h"
#include "tests/common/TestRoot.h"

namespace {

class LoadedLibraryTest : public RootedTest {
 protected:
  void SetUp() override {
    handle_ = dlopen(QV_PRODUCT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
  }
  void* handle_ = nullptr;
};

TEST_F(LoadedLibraryTest, ExportsTheEntryPointsAndHidesTheInternals) {
  for (const char* name :
       {"DllGetClassObject", "DllCanUnloadNow", "DllGetVersion",
        "_ZN9CUserData24GetUserSessionTimeOutValEv", "_ZN9CUserData23SetUserSessionTimeStartEv",
        "_ZN9CUserData23GetUserSessionTimeStartEv"})
    EXPECT_NE(dlsym(handle_, name), nullptr) << name << " is not exported";
  for (const char* name : {"_Z18StartSuiteServicesv", "_Z17StopSuiteServicesv", "_Z5QvAppv"})
    EXPECT_EQ(dlsym(handle_, name), nullptr) << name << " leaks out of the library";
}

TEST_F(LoadedLibraryTest, AnswersTheFileManagersQueries) {
  using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
  using CanUnloadFn = HRESULT (*)();
  using GetVersionFn = HRESULT (*)(DLLVERSIONINFO*);
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(dlsym(handle_, "DllGetClassObject"));
  auto canUnload = reinterpret_cast<CanUnloadFn>(dlsym(handle_, "DllCanUnloadNow"));
  auto getVersion = reinterpret_cast<GetVersionFn>(dlsym(handle_, "DllGetVersion"));
  ASSERT_TRUE(getClassObject && canUnload && getVersion);

  void* factory = reinterpret_cast<void*>(0x1);
  const CLSID unknownClass =
      MakeGuid(0x12345678, 0x1234, 0x1234, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0);
  EXPECT_EQ(getClassObject(unknownClass, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr) << "the out-parameter is cleared on failure";
  EXPECT_EQ(getClassObject(unknownClass, IID_IClassFactory, nullptr), E_POINTER);

  EXPECT_EQ(canUnload(), S_OK);

  DLLVERSIONINFO info{};
  EXPECT_EQ(getVersion(&info), E_INVALIDARG) << "a record without its size is refused";
  info.cbSize = sizeof info;
  ASSERT_EQ(getVersion(&info), S_OK);
  EXPECT_EQ(info.dwMajorVersion, static_cast<DWORD>(QV_VERSION_MAJOR));
  EXPECT_EQ(info.dwMinorVersion, static_cast<DWORD>(QV_VERSION_MINOR));
}

TEST_F(LoadedLibraryTest, SessionAccessorsTouchOnlyTheSessionFields) {
  CUserData* userData = nullptr;
  ASSERT_EQ(GetUserDataPtr(&userData), 0u);
  ASSERT_NE(userData, nullptr);
  // The user data is the process's: a verification in an earlier case of this process may
  // have set a time-out, so the time-out is compared with what it was, not with its default.
  const DWORD edition = userData->EditionCode;
  const DWORD timeOut = userData->GetUserSessionTimeOutVal();
  const DWORD before = GetTickCount();
  userData->SetUserSessionTimeStart();
  const DWORD start = userData->GetUserSessionTimeStart();
  EXPECT_LE(start - before, 60000u) << "the start is the tick count of the call";
  EXPECT_EQ(userData->EditionCode, edition);
  EXPECT_EQ(userData->GetUserSessionTimeOutVal(), timeOut);
}

}  // namespace
