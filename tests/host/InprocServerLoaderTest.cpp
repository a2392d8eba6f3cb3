// Tests of how qvx finds and loads in-process servers and reads associations from the
// registry: every refusal of a registered library, a real load of a small server built for
// the test through DllGetClassObject and the class factory, unloading only when the server
// agrees, and the handlers and open command registration leaves for the file manager.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "base/ClassIds.h"
#include "host/Associations.h"
#include "host/InprocServerLoader.h"
#include "registration/Registration.h"
#include "tests/common/TestRoot.h"
#include "tests/host/server/TestServer.h"
#include "util/RegKey.h"

namespace {

namespace fs = std::filesystem;
using testserver::ITestAnswer;
using testserver::kTestClass;

// A class the test server does not serve.

constexpr CLSID kOtherClass =
    MakeGuid(0x0B1E5A6C, 0x1D2E, 0x4F30, 0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xFA);

class InprocServerLoaderTest : public RootedTest {
 protected:
  void RegisterServerPath(const CLSID& clsid, const std::string& path) {
    CRegKey key;
    const std::string name = "CLSID\\" + FormatGuid(clsid) + "\\InprocServer32";
    ASSERT_EQ(key.Create(HKEY_CLASSES_ROOT, name.c_str()), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(nullptr, path.c_str()), ERROR_SUCCESS);
  }
  // A copy of the test server with the given mode.
  std::string ServerCopy(const std::string& name, mode_t mode) {
    const std::string path = root_.Sub(name);
    fs::create_directories(fs::path(path).parent_path());
    fs::copy_file(QV_TEST_SERVER, path, fs::copy_options::overwrite_existing);
    chmod(path.c_str(), mode);
    return path;
  }
};

TEST_F(InprocServerLoaderTest,
       ARegisteredLibraryIsRefusedUnlessItIsAnAbsolutePathOthersCannotChange) {
  InprocServerLoader loader;
  IUnknown* object = reinterpret_cast<IUnknown*>(this);
  std::string error;
  EXPECT_EQ(loader.CreateInstance(kTestClass, ITestAnswer::kIid, &object, &error),
            InprocServerLoader::kClassNotRegistered);
  EXPECT_EQ(object, nullptr);
  EXPECT_NE(error.find("not registered: run qvx register"), std::string::npos) << error;

  const struct {
    std::string path;
    const char* reason;
  } cases[] = {
      {"relative/server.so", "not an absolute path"},
      {ServerCopy("group/server.so", 0775), "chmod go-w"},
      {ServerCopy("others/server.so", 0757), "chmod go-w"},
      {root_.Sub("missing.so"), "cannot be found"},
      {root_.Path(), "not a regular file"},
      {"", "not an absolute path"},
  };
  for (const auto& c : cases) {
    RegisterServerPath(kTestClass, c.path);
    error.clear();
    EXPECT_EQ(loader.CreateInstance(kTestClass, ITestAnswer::kIid, &object, &error),
              InprocServerLoader::kClassNotRegistered)
        << c.path;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.path << ": " << error;
    EXPECT_EQ(object, nullptr);
  }
  // A value that is no text names no library.
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_CLASSES_ROOT,
                       ("CLSID\\" + FormatGuid(kTestClass) + "\\InprocServer32").c_str()),
            ERROR_SUCCESS);
  ASSERT_EQ(key.SetDWORDValue(nullptr, 1), ERROR_SUCCESS);
  EXPECT_EQ(loader.CreateInstance(kTestClass, ITestAnswer::kIid, &object, &error),
            InprocServerLoader::kClassNotRegistered);
  EXPECT_NE(error.find("names no library"), std::string::npos) << error;
  EXPECT_EQ(loader.UnloadUnused(), 0u) << "nothing was loaded";
}

TEST_F(InprocServerLoaderTest,
       AnObjectIsCreatedThroughTheClassFactoryAndItsLibraryUnloadedWhenItAgrees) {
  const std::string server = ServerCopy("lib/server.so", 0755);
  RegisterServerPath(kTestClass, server);
  RegisterServerPath(kOtherClass, server);
  InprocServerLoader loader;
  std::string error;
  IUnknown* object = nullptr;
  ASSERT_EQ(loader.CreateInstance(kTestClass, ITestAnswer::kIid, &object, &error), S_OK) << error;
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(static_cast<ITestAnswer*>(object)->Answer(), 42);
  EXPECT_EQ(loader.UnloadUnused(), 1u) << "a live object keeps its library";

  IUnknown* none = reinterpret_cast<IUnknown*>(this);
  EXPECT_EQ(loader.CreateInstance(kOtherClass, ITestAnswer::kIid, &none, &error),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(loader.CreateInstance(kTestClass, IID_IClassFactory, &none, &error), E_NOINTERFACE);
  EXPECT_NE(error.find("did not create the object"), std::string::npos) << error;

  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(loader.UnloadUnused(), 0u);
  // Loaded again for the next object.
  ASSERT_EQ(loader.CreateInstance(kTestClass, IID_IUnknown, &object, &error), S_OK) << error;
  object->Release();

  // A library that is no server.
  RegisterServerPath(kOtherClass,
                     fs::path(QV_PRODUCT_LIBRARY).parent_path().string() + "/libqvplatform.so");
  EXPECT_EQ(loader.CreateInstance(kOtherClass, IID_IUnknown, &object, &error),
            InprocServerLoader::kNoClassObjectExport);
  EXPECT_NE(error.find("exports no DllGetClassObject"), std::string::npos) << error;
}

TEST_F(InprocServerLoaderTest, RegistrationLeavesWhatTheFileManagerLooksUp) {
  const std::string other = "{11111111-2222-3333-4444-555555555555}";
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_CLASSES_ROOT, "*\\shellex\\ContextMenuHandlers\\Other"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetStringValue(nullptr, other.c_str()), ERROR_SUCCESS);
  ASSERT_EQ(key.Create(HKEY_CLASSES_ROOT, ("*\\shellex\\ContextMenuHandlers\\" + other).c_str()),
            ERROR_SUCCESS);
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Marlowen\\Quorvin"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetStringValue("InstallDir", "/opt/my suite"), ERROR_SUCCESS);
  RegistrationReport report;
  ASSERT_EQ(RegisterServer({QV_PRODUCT_LIBRARY, false}, &report), S_OK) << report.failure;

  const auto files = ContextMenuHandlersFor("/home/u/notes.TXT", false);
  ASSERT_EQ(files.size(), 2u) << "each handler once";
  EXPECT_EQ(FormatGuid(files[0]), other);
  EXPECT_EQ(files[1], qvids::CLSID_QvShellExt);
  EXPECT_EQ(ContextMenuHandlersFor("/home/u/Docs", true),
            std::vector<CLSID>{qvids::CLSID_QvShellExt});

  std::string path, error;
  EXPECT_TRUE(InprocServerLoader::ServerPathOf(qvids::CLSID_QvShellExt, &path, &error)) << error;
  EXPECT_EQ(path, QV_PRODUCT_LIBRARY);

  for (const char* name : {"/home/u/a \"q\" b.QVF", "/home/u/.hidden.qvf"}) {
    const auto command = OpenCommandOf(name);
    ASSERT_TRUE(command) << name;
    std::string program;
    std::vector<std::string> arguments;
    ASSERT_TRUE(ExpandOpenCommand(*command, name, &program, &arguments));
    EXPECT_EQ(program, "/opt/my suite/Qvshella.exe");
    EXPECT_EQ(arguments, std::vector<std::string>{name});
  }
  EXPECT_FALSE(OpenCommandOf("/home/u/notes.txt"));
  EXPECT_FALSE(OpenCommandOf("/home/u/qvf"));
  EXPECT_FALSE(FileClassOf("/home/u/archive."));
}

}  // namespace
