// Tests of the item rules: which paths are protected (system folders, the profiles folder
// itself, the install folder and program folders from the registry, the per-user folders, the
// suite's own machine root and program folder),
// the encryption and decryption checks under each flag set, and the preparation label.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/Settings.h"
#include "engine/ItemRules.h"
#include "platform/Kernel.h"
#include "platform/MachineRoot.h"
#include "tests/common/TestRoot.h"
#include "util/RegKey.h"

namespace {

constexpr const char* kUserFolderVariables[] = {"XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                                "XDG_CACHE_HOME", "XDG_STATE_HOME"};
constexpr const char* kUserFolderNames[] = {"config", "data", "cache", "state"};

// Points the per-user folders into the test root, so that what is protected does not
// depend on the account running the tests, and puts them back afterwards.
class ItemRulesTest : public RootedTest {
 protected:
  void SetUp() override {
    for (int i = 0; i < 4; ++i) {
      const char* value = std::getenv(kUserFolderVariables[i]);
      had_[i] = value != nullptr;
      if (had_[i]) saved_[i] = value;
      ASSERT_EQ(setenv(kUserFolderVariables[i], root_.Sub(kUserFolderNames[i]).c_str(), 1), 0);
    }
  }
  void TearDown() override {
    for (int i = 0; i < 4; ++i) {
      if (had_[i])
        setenv(kUserFolderVariables[i], saved_[i].c_str(), 1);
      else
        unsetenv(kUserFolderVariables[i]);
    }
  }

  static void StoreString(const char* keyPath, const char* name, const std::string& text) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, keyPath), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(name, text.c_str()), ERROR_SUCCESS);
  }

  struct Case {
    std::string path;
    bool isProtected;
  };
  static void ExpectProtection(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      EXPECT_EQ(IsProtectedLocation(c.path), c.isProtected) << c.path;
    }
  }

 private:
  std::string saved_[4];
  bool had_[4] = {};
};

TEST_F(ItemRulesTest, SystemFoldersAndTheirContentsAreProtected) {
  ExpectProtection({
      {"/usr", true},
      {"/usr/", true},
      {"/usr/lib/libc.so.6", true},
      {"/usr/share/doc", true},
      {"/etc/passwd", true},
      {"/opt/tool/data.bin", true},
      {"/boot", true},
      {"/bin/sh", true},
      {"/home/alice/../../usr/bin/ls", true},  // judged where it lands
      {"/usr//lib", true},
      // A folder protects what lies inside it, not a sibling sharing its first letters.
      {"/usrlocal/file", false},
      {"/usr2", false},
      {"/etcetera/notes.txt", false},
      // Folders are compared in the case the file system uses.
      {"/USR/lib/x", false},
      {"/Etc/passwd", false},
  });
}

TEST_F(ItemRulesTest, OnlyTheProfilesFolderAndTheRootThemselvesAreProtected) {
  ExpectProtection({
      {"/", true},
      {"//", true},
      {"/home/..", true},
      {"/srv", false},
      {"/home", true},
      {"/home/", true},
      {"/home//", true},
      {"/home/alice", false},
      {"/home/alice/report.txt", false},
      {"/home/alice/..", true},
      {"/homework", false},
      {"/HOME", false},
  });
}

TEST_F(ItemRulesTest, PerUserFoldersAreProtected) {
  std::vector<Case> cases;
  for (const char* name : kUserFolderNames) {
    cases.push_back({root_.Sub(name), true});
    cases.push_back({root_.Sub(name) + "/app/settings.ini", true});
    cases.push_back({root_.Sub(name) + "x/file", false});
  }
  cases.push_back({root_.Sub("documents/a.txt"), false});
  cases.push_back({root_.Path(), false});
  ExpectProtection(cases);
}

TEST_F(ItemRulesTest, InstallFolderFromTheRegistryIsProtectedAtEachUse) {
  const std::string suite = root_.Sub("suite");
  ExpectProtection({{suite + "/Qvshella", false}});

  StoreString(kQuorvinKeyPath, "InstallDir", suite + "/");
  ExpectProtection({
      {suite, true},
      {suite + "/Qvshella", true},
      {suite + "/bin/qvenroll", true},
      {suite + "x/file", false},
      {root_.Sub("other/file"), false},
  });

  // Stored without its separator it still protects only its own contents.
  StoreString(kQuorvinKeyPath, "InstallDir", suite);
  ExpectProtection({{suite + "/Qvshella", true}, {suite + "x/file", false}});

  // An empty value protects nothing (it must not turn into "/", which would protect all).
  StoreString(kQuorvinKeyPath, "InstallDir", "");
  ExpectProtection({{suite + "/Qvshella", false}, {root_.Sub("other/file"), false}});
}

TEST_F(ItemRulesTest, TheSuitesOwnFilesAreProtectedWhateverTheSettingsSay) {
  // No InstallDir, and a machine root outside the per-user data folder (as QV_ROOT puts it).
  StoreString(kQuorvinKeyPath, "InstallDir", "");
  const std::string machineRoot = QvMachineRoot();
  ASSERT_FALSE(machineRoot.empty());
  ASSERT_NE(machineRoot.rfind(root_.Sub("data"), 0), 0u);
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  const std::string program(self, static_cast<size_t>(length));
  const std::string programFolder = program.substr(0, program.rfind('/'));
  ExpectProtection({
      {machineRoot, true},
      {machineRoot + "/qvusers.db", true},
      {machineRoot + "/export/alice.qvkey", true},
      {program, true},
      {programFolder + "/notes.txt", true},
      {machineRoot + "x/file", false},
  });
  // Through a link the root is the same folder.
  const std::string link = root_.Sub("root-link");
  ASSERT_EQ(symlink(machineRoot.c_str(), link.c_str()), 0);
  ASSERT_EQ(setenv("QV_ROOT", link.c_str(), 1), 0);
  ExpectProtection({{machineRoot + "/qvusers.db", true}, {link + "/qvusers.db", true}});
  ASSERT_EQ(setenv("QV_ROOT", machineRoot.c_str(), 1), 0);
}

TEST_F(ItemRulesTest, ProgramFolderValuesFromTheRegistryAreProtected) {
  const std::string programs = root_.Sub("programs");
  const std::string programs86 = root_.Sub("programs86");
  StoreString(kWindowsCurrentVersionKey, kProgramFilesDirValue, programs);
  StoreString(kWindowsCurrentVersionKey, kProgramFilesDirX86Value, programs86 + "/");
  ExpectProtection({
      {programs + "/app/app.bin", true},
      {programs86 + "/app", true},
      {programs + "x", false},
  });
  StoreString(kWindowsCurrentVersionKey, kProgramFilesDirValue, "");
  ExpectProtection({{programs + "/app/app.bin", false}, {root_.Sub("file"), false}});
}

TEST_F(ItemRulesTest, EveryPrefixEndsWithOneSeparatorAndNoneIsEmpty) {
  StoreString(kWindowsCurrentVersionKey, kProgramFilesDirValue, "");
  StoreString(kQuorvinKeyPath, "InstallDir", root_.Sub("suite") + "//");
  const std::vector<std::string> prefixes = ProtectedPrefixes();
  ASSERT_FALSE(prefixes.empty());
  for (const std::string& prefix : prefixes) {
    EXPECT_NE(prefix, "/");
    ASSERT_GE(prefix.size(), 2u) << prefix;
    EXPECT_EQ(prefix.back(), '/') << prefix;
    EXPECT_NE(prefix[prefix.size() - 2], '/') << prefix;
  }
  EXPECT_NE(std::find(prefixes.begin(), prefixes.end(), root_.Sub("suite") + "/"), prefixes.end());
}

TEST_F(ItemRulesTest, ChecksRunTheRulesTheirFlagsSelect) {
  const std::string plain = root_.Sub("docs/report.txt");
  const std::string encrypted = root_.Sub("docs/report.txt.QVF");
  const std::string container = root_.Sub("docs/folder.qvef");
  const std::string plainProtected = "/usr/share/report.txt";
  const std::string encryptedProtected = "/etc/report.txt.qvf";
  const struct {
    const std::string& path;
    DWORD flags;
    ItemStatus encryption;
    ItemStatus decryption;
  } kCases[] = {
      {plain, 0, StatusSuccess, StatusSuccess},
      {plain, kCheckName, StatusSuccess, StatusNotEncryptedFile},
      {plain, kCheckLocation, StatusSuccess, StatusSuccess},
      {plain, kCheckAll, StatusSuccess, StatusNotEncryptedFile},
      {encrypted, kCheckName, StatusAlreadyEncrypted, StatusSuccess},
      {encrypted, kCheckLocation, StatusSuccess, StatusSuccess},
      {encrypted, kCheckAll, StatusAlreadyEncrypted, StatusSuccess},
      {container, kCheckAll, StatusAlreadyEncrypted, StatusSuccess},
      {plainProtected, 0, StatusSuccess, StatusSuccess},
      {plainProtected, kCheckName, StatusSuccess, StatusNotEncryptedFile},
      {plainProtected, kCheckLocation, StatusProtectedLocation, StatusProtectedLocation},
      // The name check runs first: its status wins over the location's.
      {plainProtected, kCheckAll, StatusProtectedLocation, StatusNotEncryptedFile},
      {encryptedProtected, kCheckName, StatusAlreadyEncrypted, StatusSuccess},
      {encryptedProtected, kCheckLocation, StatusProtectedLocation, StatusProtectedLocation},
      {encryptedProtected, kCheckAll, StatusAlreadyEncrypted, StatusProtectedLocation},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.path << " flags " << c.flags);
    EXPECT_EQ(CheckForEncryption(c.path, c.flags), c.encryption);
    EXPECT_EQ(CheckForDecryption(c.path, c.flags), c.decryption);
  }
}

TEST_F(ItemRulesTest, PreparationLabelHidesNamesOfFiftyCharactersOrMore) {
  ASSERT_TRUE(SetThreadLocale(1033));
  const std::string name49(49, 'n');
  const std::string name50(50, 'n');
  std::string wide49;  // 49 characters of two bytes each
  for (int i = 0; i < 49; ++i) wide49 += "\xC3\xA9";
  const struct {
    bool encrypt;
    std::string name;
    std::string expected;
  } kCases[] = {
      {true, "report.txt", "Preparing for Encryption: report.txt"},
      {false, "report.txt.qvf", "Preparing for Decryption: report.txt.qvf"},
      {true, name49, "Preparing for Encryption: " + name49},
      {true, name50, "Preparing for Encryption: "},
      {false, name50 + "x", "Preparing for Decryption: "},
      {true, wide49, "Preparing for Encryption: " + wide49},
      {true, wide49 + "\xC3\xA9", "Preparing for Encryption: "},
      {true, "100%s %d.txt", "Preparing for Encryption: 100%s %d.txt"},
      {false, "", "Preparing for Decryption: "},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(PreparationLabel(c.encrypt, c.name), c.expected) << c.name;
  }
}

}  // namespace
