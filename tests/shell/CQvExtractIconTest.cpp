// Icons: the icon handler of encrypted files and containers in ordinary folders, and of items
// inside a container, read back as the freedesktop names the system image list stands for,
// with the library's overlay on every extracted icon.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "base/ClassIds.h"
#include "core/QvFolderExtModule.h"
#include "platform/shell/FileInfo.h"
#include "platform/ui/WindowApi.h"
#include "shell/CQvExtractIcon.h"
#include "shell/CQvShellFolder.h"
#include "tests/common/TestRoot.h"
#include "tests/shell/ItemIdSamples.h"

namespace {

using shell_test::FileFields;
using shell_test::FolderFields;
using shell_test::OwnedList;

// A data folder whose MIME globs know a few types, and no system folders.
class IconTest : public RootedTest {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root_.Sub("share/mime"));
    WriteTextFile(root_.Sub("share/mime/globs2"),
                  "# weight:type:glob\n"
                  "50:application/msword:*.doc\n"
                  "50:text/plain:*.txt\n"
                  "60:application/x-quorvin-encrypted-file:*.qvf\n"
                  "60:application/x-quorvin-encrypted-folder:*.qvef\n"
                  "50:text/x-makefile:makefile\n"
                  "50:text/x-readme:README*:cs\n");
    Set("XDG_DATA_HOME", root_.Sub("share"));
    Set("XDG_DATA_DIRS", root_.Sub("none"));
  }
  void TearDown() override {
    for (auto& [name, value] : saved_) {
      if (value.first)
        setenv(name.c_str(), value.second.c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }
  void Set(const std::string& name, const std::string& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, std::make_pair(old != nullptr, old != nullptr ? old : ""));
    setenv(name.c_str(), value.c_str(), 1);
  }

  static ComPtr<IExtractIconA> Handler() {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(QvModule().GetClassObject(qvids::CLSID_QvExtractIcon, IID_IClassFactory,
                                        factory.ReleaseAndGetVoidAddressOf()),
              S_OK);
    ComPtr<IExtractIconA> icon;
    if (factory) {
      EXPECT_EQ(
          factory->CreateInstance(nullptr, IID_IExtractIconA, icon.ReleaseAndGetVoidAddressOf()),
          S_OK);
    }
    return icon;
  }
  static std::string IconOf(IExtractIconA* icon, UINT flags = 0) {
    int index = -1;
    UINT out = 0;
    char unused[4] = "abc";
    EXPECT_EQ(icon->GetIconLocation(flags, unused, sizeof unused, &index, &out), S_OK);
    EXPECT_EQ(out, GIL_NOTFILENAME | GIL_DONTCACHE);
    EXPECT_STREQ(unused, "abc") << "no icon file is named";
    return QvSystemIconName(index);
  }
  static std::string Loaded(const char16_t* path) {
    ComPtr<IExtractIconA> icon = Handler();
    ComPtr<IPersistFile> file;
    EXPECT_EQ(icon.As(file), S_OK);
    EXPECT_EQ(file->Load(path, 0), S_OK);
    return IconOf(icon.Get());
  }

  std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved_;
};

TEST_F(IconTest, EncryptedFilesShowThePlainFilesTypeAndContainersAFolder) {
  EXPECT_EQ(Loaded(u"/x/Report.DOC.qvf"), "application-msword");
  EXPECT_EQ(Loaded(u"/x/Letter.QVF"), "application-octet-stream")
      << "\"letter\": lower case first, then the suffix goes";
  EXPECT_EQ(Loaded(u"/x/notes.txt.qvf"), "text-plain");
  EXPECT_EQ(Loaded(u"/x/a.qvf.doc.qvf"), "application-msword") << "only the final suffix goes";
  EXPECT_EQ(Loaded(u"/x/Box.qvef"), "folder");
  EXPECT_EQ(IconOf(Handler().Get()), "folder") << "a container until Load says otherwise";

  ComPtr<IExtractIconA> icon = Handler();
  ComPtr<IPersistFile> file;
  ASSERT_EQ(icon.As(file), S_OK);
  ASSERT_EQ(file->Load(u"/x/Box.qvef", 0), S_OK);
  EXPECT_EQ(IconOf(icon.Get(), GIL_OPENICON), "folder-open");
  CLSID clsid{};
  ASSERT_EQ(file->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, qvids::CLSID_QvExtractIcon);
  EXPECT_EQ(file->IsDirty(), E_NOTIMPL);
  LPWSTR current = reinterpret_cast<LPWSTR>(1);
  EXPECT_EQ(file->GetCurFile(&current), E_NOTIMPL);
  EXPECT_EQ(current, nullptr);
}

TEST_F(IconTest, ItemsInsideAContainerFollowTheirNameOrAreFolders) {
  ComPtr<IExtractIconA> icon;
  ASSERT_EQ(CQvExtractIcon::CreateInstance(IID_IExtractIconA, icon.ReleaseAndGetVoidAddressOf()),
            S_OK);
  auto* handler = static_cast<CQvExtractIcon*>(icon.Get());
  OwnedList doc(ContainerItemId::Create(FileFields(0, 1, "plan.DOC", 1)));
  // The handler holds the folder it was made for; any folder object stands in here.
  ComPtr<IShellFolder> folder;
  ASSERT_EQ(CQvShellFolder::CreateInstance(IID_IShellFolder, folder.ReleaseAndGetVoidAddressOf()),
            S_OK);
  ASSERT_EQ(handler->SetItem(folder.Get(), doc.Get()), S_OK);
  EXPECT_EQ(IconOf(icon.Get()), "application-msword");
  OwnedList sub(ContainerItemId::Create(FolderFields(3, 0, "\\a.doc")));
  ASSERT_EQ(handler->SetItem(folder.Get(), sub.Get()), S_OK);
  EXPECT_EQ(IconOf(icon.Get()), "folder") << "a folder whatever its name";
  EXPECT_EQ(IconOf(icon.Get(), GIL_OPENICON), "folder-open");
  for (const shell_test::Damaged& sample : shell_test::DamagedIdentifiers())
    EXPECT_EQ(handler->SetItem(folder.Get(), sample.List()), E_INVALIDARG) << sample.what;
  EXPECT_EQ(IconOf(icon.Get()), "folder") << "a refused item leaves the last good one";
}

TEST_F(IconTest, ExtractedIconsCarryTheOverlayAtTheAskedSizes) {
  ComPtr<IExtractIconA> icon = Handler();
  ComPtr<IPersistFile> file;
  ASSERT_EQ(icon.As(file), S_OK);
  ASSERT_EQ(file->Load(u"/x/plan.doc.qvf", 0), S_OK);
  int index = -1;
  UINT flags = 0;
  ASSERT_EQ(icon->GetIconLocation(0, nullptr, 0, &index, &flags), S_OK);
  HICON large = nullptr;
  HICON small = nullptr;
  ASSERT_EQ(icon->Extract(nullptr, static_cast<UINT>(index), &large, &small, (24u << 16) | 48u),
            S_OK);
  EXPECT_STREQ(QvIconName(large), "icon:application-msword;overlay:resource:610;size:48");
  EXPECT_STREQ(QvIconName(small), "icon:application-msword;overlay:resource:610;size:24");
  ASSERT_EQ(icon->Extract(nullptr, static_cast<UINT>(index), nullptr, &small, 32), S_OK);
  EXPECT_STREQ(QvIconName(small), "icon:application-msword;overlay:resource:610;size:16");
  EXPECT_EQ(icon->Extract(nullptr, 1u << 30, &large, &small, 32), E_INVALIDARG);
  EXPECT_EQ(large, nullptr);
}

TEST_F(IconTest, FileInformationUsesTheGlobsOfTheDataFolders) {
  SHFILEINFOA info{};
  ASSERT_NE(SHGetFileInfoA("/any/Box.QVEF", 0, &info, sizeof info,
                           SHGFI_USEFILEATTRIBUTES | SHGFI_TYPENAME | SHGFI_DISPLAYNAME),
            0u);
  EXPECT_STREQ(info.szTypeName, "application/x-quorvin-encrypted-folder") << "case ignored";
  EXPECT_STREQ(info.szDisplayName, "Box.QVEF");
  EXPECT_EQ(QvMimeTypeOfName("Makefile"), "text/x-makefile");
  EXPECT_EQ(QvMimeTypeOfName("README.md"), "text/x-readme");
  EXPECT_EQ(QvMimeTypeOfName("readme.md"), "") << "a case-sensitive glob";
  EXPECT_EQ(QvMimeTypeOfName("x.qvf.doc"), "application/msword");
  EXPECT_EQ(QvMimeTypeOfName("x.doc.qvf"), "application/x-quorvin-encrypted-file");

  // Without SHGFI_USEFILEATTRIBUTES the disk decides; a missing path has no information.
  ASSERT_NE(
      SHGetFileInfoA(root_.Path().c_str(), 0, &info, sizeof info, SHGFI_SYSICONINDEX | SHGFI_ICON),
      0u);
  EXPECT_EQ(QvSystemIconName(info.iIcon), "folder");
  EXPECT_STREQ(QvIconName(info.hIcon), "icon:folder");
  EXPECT_EQ(SHGetFileInfoA(root_.Sub("missing").c_str(), 0, &info, sizeof info, SHGFI_SYSICONINDEX),
            0u);
  EXPECT_EQ(SHGetFileInfoA("x", 0, &info, sizeof info - 1, SHGFI_USEFILEATTRIBUTES), 0u);
}

// The type column shows what the MIME database calls a type, in the user's language.
TEST_F(IconTest, TheTypeNameIsTheDatabasesDescriptionInTheUsersLanguage) {
  std::filesystem::create_directories(root_.Sub("share/mime/application"));
  std::string russian;  // 50 two-byte letters: longer than the field
  for (int i = 0; i < 50; ++i) russian += "\xd0\xb6";
  WriteTextFile(
      root_.Sub("share/mime/application/x-quorvin-encrypted-folder.xml"),
      "<?xml version=\"1.0\"?>\n<mime-type type=\"application/x-quorvin-encrypted-folder\">\n"
      "  <comment xml:lang=\"pt_BR\">Pasta cifrada</comment>\n"
      "  <comment>quorvin encrypted folder &amp; &lt;more&gt;</comment>\n"
      "  <comment xml:lang=\"de\">Verschl\xc3\xbcsselter Ordner</comment>\n"
      "  <comment xml:lang=\"ru\">" +
          russian + "</comment>\n  <comment-other>no</comment-other>\n</mime-type>\n");
  const auto typeName = [](const char* name) {
    SHFILEINFOA info{};
    EXPECT_NE(SHGetFileInfoA(name, 0, &info, sizeof info, SHGFI_USEFILEATTRIBUTES | SHGFI_TYPENAME),
              0u);
    return std::string(info.szTypeName);
  };
  Set("LC_ALL", "C.UTF-8");
  EXPECT_EQ(typeName("Box.qvef"), "Quorvin encrypted folder & <more>");
  EXPECT_EQ(typeName("plan.qvf"), "application/x-quorvin-encrypted-file") << "no description";
  Set("LC_ALL", "de_AT.UTF-8");
  EXPECT_EQ(typeName("Box.qvef"), "Verschl\xc3\xbcsselter Ordner") << "by the language alone";
  Set("LC_ALL", "pt_BR.UTF-8");
  EXPECT_EQ(typeName("Box.qvef"), "Pasta cifrada");
  Set("LC_ALL", "fr_FR.UTF-8");
  EXPECT_EQ(typeName("Box.qvef"), "Quorvin encrypted folder & <more>");
  Set("LC_ALL", "ru_RU.UTF-8");
  EXPECT_EQ(typeName("Box.qvef"), russian.substr(0, 78)) << "cut between letters";

  // A type from the globs never names a file outside the database's folders.
  WriteTextFile(root_.Sub("share/mime/globs2"), "50:../secret:*.sec\n");
  WriteTextFile(root_.Sub("share/secret.xml"), "<comment>leaked</comment>");
  Set("XDG_DATA_DIRS", root_.Sub("other"));  // the globs are read again
  EXPECT_EQ(typeName("a.sec"), "../secret");
}

}  // namespace
