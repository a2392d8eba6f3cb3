// Creating registered classes the way the product creates outside classes: a real load of a
// small server library named in the registry, and every refusal of a class that is not
// registered, not allowed in-process, or served by a library others could replace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/Registry.h"
#include "platform/ole/ComCreate.h"
#include "tests/common/TestRoot.h"
#include "tests/host/server/TestServer.h"

namespace {

namespace fs = std::filesystem;
using testserver::ITestAnswer;
using testserver::kTestClass;

class ComCreateTest : public RootedTest {
 protected:
  void Register(const std::string& library) {
    HKEY key = nullptr;
    const std::string name = "CLSID\\" + FormatGuid(kTestClass) + "\\InprocServer32";
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(library.c_str()),
                       static_cast<DWORD>(library.size() + 1)),
        ERROR_SUCCESS);
    (void)RegCloseKey(key);
  }
  std::string ServerCopy(const std::string& name, mode_t mode) {
    const std::string path = root_.Sub(name);
    fs::copy_file(QV_TEST_SERVER, path, fs::copy_options::overwrite_existing);
    chmod(path.c_str(), mode);
    return path;
  }
  HRESULT Create(DWORD context, void** object, IUnknown* outer = nullptr) {
    *object = reinterpret_cast<void*>(this);  // cleared by every call
    return CoCreateInstance(kTestClass, outer, context, ITestAnswer::kIid, object);
  }
};

TEST_F(ComCreateTest, ARegisteredClassIsCreatedThroughItsLibraryAndTheLibraryStaysWhileUsed) {
  Register(ServerCopy("server.so", 0755));
  void* object = nullptr;
  ASSERT_EQ(Create(CLSCTX_ALL, &object), S_OK);
  auto* answer = static_cast<ITestAnswer*>(object);
  ASSERT_NE(answer, nullptr);
  CoFreeUnusedLibraries();  // the live object keeps its library loaded
  EXPECT_EQ(answer->Answer(), 42);
  EXPECT_EQ(answer->Release(), 0u);
  CoFreeUnusedLibraries();
  // Loaded again for the next object.
  ASSERT_EQ(Create(CLSCTX_INPROC_SERVER, &object), S_OK);
  EXPECT_EQ(static_cast<ITestAnswer*>(object)->Answer(), 42);
  static_cast<ITestAnswer*>(object)->Release();

  EXPECT_EQ(Create(CLSCTX_LOCAL_SERVER, &object), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(Create(CLSCTX_ALL, &object, reinterpret_cast<IUnknown*>(this)), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
}

TEST_F(ComCreateTest, AClassWithoutAnAcceptableLibraryIsNotRegistered) {
  void* object = nullptr;
  EXPECT_EQ(Create(CLSCTX_ALL, &object), REGDB_E_CLASSNOTREG) << "nothing registered";
  EXPECT_EQ(object, nullptr);

  const struct {
    std::string library;
    const char* reason;
  } cases[] = {
      {ServerCopy("group-writable.so", 0775), "chmod go-w"},
      {ServerCopy("world-writable.so", 0757), "chmod go-w"},
      {"relative/server.so", "not an absolute path"},
      {root_.Sub("missing.so"), "cannot be found"},
      {root_.Path(), "not a regular file"},
  };
  for (const auto& c : cases) {
    Register(c.library);
    EXPECT_EQ(Create(CLSCTX_ALL, &object), REGDB_E_CLASSNOTREG) << c.library;
    EXPECT_EQ(object, nullptr) << c.library;
    std::string path;
    std::string error;
    EXPECT_FALSE(QvInprocServerPath(kTestClass, &path, &error)) << c.library;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.library << ": " << error;
  }
}

}  // namespace
