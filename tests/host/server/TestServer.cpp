// A small in-process server built only for the loader's tests: it serves one class whose
// object answers a number, and tells through DllCanUnloadNow whether an object is alive.
#include "tests/host/server/TestServer.h"

#define TEST_SERVER_EXPORT extern "C" __attribute__((visibility("default")))

using testserver::ITestAnswer;
using testserver::kTestClass;

namespace {

ComModule g_module;

class TestAnswer final : public ComObject<ITestAnswer> {
 public:
  TestAnswer() : ComObject<ITestAnswer>(&g_module) {}
  int Answer() override { return 42; }
  static HRESULT Create(REFIID riid, void** ppv) {
    return CreateComInstance<TestAnswer>(riid, ppv);
  }
};

const ClassEntry kClasses[] = {{&kTestClass, &TestAnswer::Create}};

}  // namespace

TEST_SERVER_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return GetClassObjectFromTable(kClasses, &g_module, clsid, riid, ppv);
}

TEST_SERVER_EXPORT HRESULT DllCanUnloadNow() {
  return g_module.GetLockCount() == 0 ? S_OK : S_FALSE;
}
