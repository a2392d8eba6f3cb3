// A small in-process server built only for the loader's tests: it serves one class whose
// object answers a number, and tells through DllCanUnloadNow whether an object is alive.
#include "platform/Com.h"

#define TEST_SERVER_EXPORT extern "C" __attribute__((visibility("default")))

// The class and interface the tests ask for (their ids are repeated in the test).
struct ITestAnswer : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x0B1E5A6C, 0x1D2E, 0x4F30, 0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8);
  virtual int Answer() = 0;
};
inline constexpr CLSID kTestClass =
    MakeGuid(0x0B1E5A6C, 0x1D2E, 0x4F30, 0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF9);

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
