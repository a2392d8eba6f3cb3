// Tests of the registry half of registration, in a machine root of the test's own: what a
// registration writes, that it can be repeated, that unregistration takes back exactly that
// while other programs' keys and values and the user's changes stay, and that a failed write
// fails the call with a message.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "base/ClassIds.h"
#include "base/Settings.h"
#include "platform/AsciiCase.h"
#include "platform/Com.h"
#include "platform/Guid.h"
#include "registration/Registrar.h"
#include "registration/Registration.h"
#include "suite/QvMonitorApi.h"
#include "tests/common/TestRoot.h"
#include "util/RegKey.h"

namespace {

constexpr char kModule[] = "/opt/quorvin/libQvFolderExt.so";

// Every key and value below a root, as "path" -> "" for a key and "path|name" -> "type:data".
using HiveSnapshot = std::map<std::string, std::string>;

void Collect(HKEY parent, const std::string& path, HiveSnapshot* out) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  (*out)[ToUpperAscii(path)] = "";
  for (DWORD i = 0;; ++i) {
    char name[16384];
    BYTE data[4096];
    DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
    if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
      break;
    (*out)[ToUpperAscii(path + "|" + name)] =
        std::to_string(type) + ":" + std::string(reinterpret_cast<char*>(data), dataSize);
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD nameSize = sizeof name;
    if (RegEnumKeyExA(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    Collect(parent, path.empty() ? name : path + "\\" + name, out);
  }
  (void)RegCloseKey(key);
}

HiveSnapshot Snapshot() {
  HiveSnapshot all;
  Collect(HKEY_LOCAL_MACHINE, "", &all);
  return all;
}

// Only the values of a snapshot: the keys a registration leaves are shared parents.
HiveSnapshot ValuesOf(const HiveSnapshot& snapshot) {
  HiveSnapshot values;
  for (const auto& [path, data] : snapshot)
    if (path.find('|') != std::string::npos) values[path] = data;
  return values;
}

std::string Sz(const std::string& text) {
  return std::to_string(REG_SZ) + ":" + text + std::string(1, '\0');
}

const std::string kClasses = "SOFTWARE\\Classes\\";

class RegistrationTest : public RootedTest {
 protected:
  void SetString(HKEY root, const std::string& key, const char* name, const std::string& text) {
    CRegKey k;
    ASSERT_EQ(k.Create(root, key.c_str()), ERROR_SUCCESS) << key;
    ASSERT_EQ(k.SetStringValue(name, text.c_str()), ERROR_SUCCESS);
  }
  std::string Value(const std::string& key, const std::string& name = "") {
    const auto snapshot = Snapshot();
    const auto it = snapshot.find(ToUpperAscii(kClasses + key + "|" + name));
    return it == snapshot.end() ? "<none>" : it->second;
  }
  HRESULT Register() {
    report_ = {};
    return RegisterServer({kModule, false}, &report_);
  }
  HRESULT Unregister() {
    report_ = {};
    return UnregisterServer({kModule, false}, &report_);
  }
  RegistrationReport report_;
};

TEST_F(RegistrationTest, RegistrationWritesTheClassesTypesAndHandlers) {
  ASSERT_EQ(Register(), S_OK) << report_.failure;
  for (const CLSID* clsid :
       {&qvids::CLSID_QvShellFolder, &qvids::CLSID_QvShellView, &qvids::CLSID_QvEnumIDList,
        &qvids::CLSID_QvExtractIcon, &qvids::CLSID_QvDataObject, &qvids::CLSID_QvDropSource,
        &qvids::CLSID_QvEnumFORMATETC, &qvids::CLSID_QvDataStream, &qvids::CLSID_QvDropTarget,
        &qvids::CLSID_QvShellExt, &CLSID_QvDecryptedFileStore}) {
    const std::string key = "CLSID\\" + FormatGuid(*clsid) + "\\InprocServer32";
    EXPECT_EQ(Value(key), Sz(kModule)) << key;
    EXPECT_EQ(Value(key, "ThreadingModel"), Sz("Apartment")) << key;
  }
  const std::string shellExt = FormatGuid(qvids::CLSID_QvShellExt);
  const std::string folder = FormatGuid(qvids::CLSID_QvShellFolder);
  EXPECT_EQ(Value("CLSID\\" + shellExt, "AppID"), Sz(FormatGuid(qvids::kAppId)));
  EXPECT_EQ(Value("CLSID\\" + shellExt + "\\TypeLib"), Sz(FormatGuid(qvids::kTypeLibraryId)));
  EXPECT_EQ(Value("CLSID\\" + folder + "\\ShellFolder", "Attributes"),
            std::to_string(REG_DWORD) + ":" + std::string("\xA0\x01\x00\xE8", 4));
  EXPECT_EQ(Value("CLSID\\" + folder + "\\shell\\open\\ddeexec"),
            Sz("[ViewFolder(\"%l\", %I, %S)]"));
  EXPECT_EQ(Value("CLSID\\" + folder + "\\DefaultIcon"), Sz("%1"));
  EXPECT_EQ(Value(".qvf"), Sz("CLSID\\" + shellExt));
  EXPECT_EQ(Value(".qvef"), Sz("CLSID\\" + folder));
  EXPECT_EQ(Value(".qvx"), Sz("CLSID\\" + folder));
  EXPECT_EQ(Value(".qvx\\PersistentHandler"), Sz("{098f2470-bae0-11cd-b579-08002b30bfeb}"));
  EXPECT_EQ(Value("*\\shellex\\ContextMenuHandlers\\QVShellExt"), Sz(shellExt));
  EXPECT_EQ(Value("Directory\\shellex\\ContextMenuHandlers\\QVShellExt"), Sz(shellExt));
  EXPECT_EQ(Value("AppID\\" + FormatGuid(qvids::kAppId)), Sz("QvFolderExt"));
  EXPECT_EQ(Value("TypeLib\\" + FormatGuid(qvids::kTypeLibraryId) + "\\1.0\\0\\linux"),
            Sz(kModule));
  EXPECT_EQ(Value("CLSID\\" + shellExt + "\\Shell\\Open"), Sz("Decrypt Selected File and Open"));
  EXPECT_EQ(Value("CLSID\\" + shellExt + "\\Shell\\Open\\Command"),
            Sz("\"C:\\Qvshella.exe\" \"%1\""));
  const auto snapshot = Snapshot();
  EXPECT_EQ(
      snapshot.at("SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\SHELL EXTENSIONS\\APPROVED|" +
                  shellExt),
      Sz("Orvane Sentivo Shell Extension"));
}

TEST_F(RegistrationTest, TheOpenCommandQuotesTheProgramAndTheFileWhateverTheInstallFolder) {
  const struct {
    const char* installDir;
    const char* command;
  } cases[] = {
      {"D:\\Suite\\", "\"D:\\Suite\\Qvshella.exe\" \"%1\""},
      {"D:\\My Suite", "\"D:\\My Suite\\Qvshella.exe\" \"%1\""},
      {"/opt/my suite/", "\"/opt/my suite/Qvshella.exe\" \"%1\""},
      {"/opt/my suite", "\"/opt/my suite/Qvshella.exe\" \"%1\""},
  };
  for (const auto& c : cases) {
    SetString(HKEY_LOCAL_MACHINE, kQuorvinKeyPath, "InstallDir", c.installDir);
    ASSERT_EQ(Register(), S_OK) << report_.failure;
    EXPECT_EQ(Value("CLSID\\" + FormatGuid(qvids::CLSID_QvShellExt) + "\\Shell\\Open\\Command"),
              Sz(c.command))
        << c.installDir;
  }
}

TEST_F(RegistrationTest, RepeatedRegistrationAndUnregistrationKeepOtherProgramsEntries) {
  // Another program's entries beside and below ours, and an existing .qvx key.
  const std::string foreignHandler = "{11111111-2222-3333-4444-555555555555}";
  SetString(HKEY_CLASSES_ROOT, ".qvf", "Content Type", "application/x-other");
  SetString(HKEY_CLASSES_ROOT, ".qvf\\OpenWithProgids", "Other.File", "");
  SetString(HKEY_CLASSES_ROOT, ".qvef", "PerceivedType", "document");
  SetString(HKEY_CLASSES_ROOT, "*\\shellex\\ContextMenuHandlers\\Other", nullptr, foreignHandler);
  SetString(HKEY_CLASSES_ROOT, "Directory\\shellex\\ContextMenuHandlers\\Other", nullptr,
            foreignHandler);
  SetString(HKEY_CLASSES_ROOT, ".qvx", nullptr, "Other.Container");
  SetString(HKEY_CLASSES_ROOT, "AppID\\{OTHER}", nullptr, "Other");
  const HiveSnapshot before = Snapshot();

  ASSERT_EQ(Register(), S_OK) << report_.failure;
  const HiveSnapshot once = Snapshot();
  ASSERT_EQ(Register(), S_OK) << report_.failure;
  EXPECT_EQ(Snapshot(), once) << "registering again changes nothing";
  for (const auto& [path, data] : ValuesOf(before))
    EXPECT_EQ(once.count(path) ? once.at(path) : "<gone>", data) << path;
  EXPECT_EQ(Value(".qvx"), Sz("Other.Container"));
  EXPECT_EQ(Value(".qvx", "InfoTip"), "<none>") << "an existing .qvx key is left as it is";

  ASSERT_EQ(Unregister(), S_OK) << report_.failure;
  EXPECT_EQ(ValuesOf(Snapshot()), ValuesOf(before));
  const HiveSnapshot after = Snapshot();
  EXPECT_EQ(after.count(ToUpperAscii(kClasses + "CLSID\\" + FormatGuid(qvids::CLSID_QvShellExt))),
            0u);
  EXPECT_EQ(after.count(ToUpperAscii(kClasses + "QvFolderExt.QvShellExt.1")), 0u);
  EXPECT_EQ(after.count(ToUpperAscii(kClasses) + "*\\SHELLEX\\CONTEXTMENUHANDLERS\\QVSHELLEXT"),
            0u);
  EXPECT_EQ(after.count(ToUpperAscii(kClasses) + "*\\SHELLEX\\CONTEXTMENUHANDLERS"), 1u);
  EXPECT_EQ(after.count(ToUpperAscii(kClasses + ".qvf\\OpenWithProgids")), 1u);
  ASSERT_EQ(Unregister(), S_OK) << report_.failure;
  EXPECT_EQ(Snapshot(), after) << "unregistering again changes nothing";
}

TEST_F(RegistrationTest, UnregistrationLeavesWhatWasChangedSinceAndItsKeys) {
  ASSERT_EQ(Register(), S_OK) << report_.failure;
  const std::string folder = "CLSID\\" + FormatGuid(qvids::CLSID_QvShellFolder);
  SetString(HKEY_CLASSES_ROOT, ".qvef", "InfoTip", "My own tip");
  SetString(HKEY_CLASSES_ROOT, folder + "\\InprocServer32", nullptr, "/elsewhere/lib.so");
  ASSERT_EQ(Unregister(), S_OK) << report_.failure;
  EXPECT_EQ(Value(".qvef", "InfoTip"), Sz("My own tip"));
  EXPECT_EQ(Value(".qvef"), "<none>") << "our default value is still taken back";
  EXPECT_EQ(Value(folder + "\\InprocServer32"), Sz("/elsewhere/lib.so"));
  EXPECT_EQ(Value(folder + "\\InprocServer32", "ThreadingModel"), "<none>");
  EXPECT_EQ(Value("CLSID\\" + FormatGuid(qvids::CLSID_QvShellView) + "\\InprocServer32"), "<none>");
}

TEST_F(RegistrationTest, AFailedWriteFailsTheCallWithAMessage) {
  ASSERT_EQ(Register(), S_OK) << report_.failure;
  // A damaged registry file refuses every change.
  WriteTextFile(QvRegistryHivePath(), "QVHIVE 1\nnot a record\n");
  EXPECT_TRUE(FAILED(Register()));
  EXPECT_NE(report_.failure.find("registry file is damaged"), std::string::npos) << report_.failure;
  EXPECT_TRUE(FAILED(Unregister()));
  EXPECT_FALSE(report_.failure.empty());
}

TEST(RemoveValueIfOursTest, OnlyTheValueWeWroteGoesAndOnlyAnEmptyKeyFollows) {
  TestRoot root;
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_CLASSES_ROOT, "Test"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetStringValue("A", "ours"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDWORDValue("B", 7), ERROR_SUCCESS);
  const std::string ours("ours\0", 5);
  EXPECT_EQ(RemoveValueIfOurs(HKEY_CLASSES_ROOT, "Test", "A", REG_EXPAND_SZ, ours), ERROR_SUCCESS);
  EXPECT_EQ(RemoveValueIfOurs(HKEY_CLASSES_ROOT, "Test", "A", REG_SZ, std::string("other\0", 6)),
            ERROR_SUCCESS);
  EXPECT_EQ(RemoveValueIfOurs(HKEY_CLASSES_ROOT, "Test", "B", REG_SZ, ours), ERROR_SUCCESS);
  EXPECT_EQ(RemoveKeyIfEmpty(HKEY_CLASSES_ROOT, "Test"), ERROR_SUCCESS);
  ULONG size = 0;
  EXPECT_EQ(key.QueryStringValue("A", nullptr, &size), ERROR_SUCCESS)
      << "a different type or text stays";
  EXPECT_EQ(RemoveValueIfOurs(HKEY_CLASSES_ROOT, "Test", "A", REG_SZ, ours), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryStringValue("A", nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RemoveKeyIfEmpty(HKEY_CLASSES_ROOT, "Test"), ERROR_SUCCESS);
  DWORD b = 0;
  EXPECT_EQ(key.QueryDWORDValue("B", b), ERROR_SUCCESS) << "a key with a value stays";
  EXPECT_EQ(
      RemoveValueIfOurs(HKEY_CLASSES_ROOT, "Test", "B", REG_DWORD, std::string("\x07\0\0\0", 4)),
      ERROR_SUCCESS);
  EXPECT_EQ(RemoveKeyIfEmpty(HKEY_CLASSES_ROOT, "Test"), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryDWORDValue("B", b), ERROR_KEY_DELETED);
  EXPECT_EQ(RemoveValueIfOurs(HKEY_CLASSES_ROOT, "Missing", "A", REG_SZ, ours), ERROR_SUCCESS);
  EXPECT_EQ(RemoveKeyIfEmpty(HKEY_CLASSES_ROOT, "Missing"), ERROR_SUCCESS);
}

}  // namespace
