// Tests of qvx as a program: registration and unregistration of the real library into the
// test's machine root and XDG folders, the context menu listed and run through the registered
// handler, opening a file by its association with the program started on an argument vector,
// and the exit codes of every refusal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "base/ClassIds.h"
#include "base/StringTable.h"
#include "base/SuiteServices.h"
#include "platform/Guid.h"
#include "platform/Owned.h"
#include "tests/suite/UserStoreTestSupport.h"
#include "util/RegKey.h"

namespace {

namespace fs = std::filesystem;
using qvtest::RunProgram;

class QvxTest : public RootedTest {
 protected:
  qvtest::Environment Env() {
    return {{"XDG_DATA_HOME", root_.Sub("data")}, {"XDG_CONFIG_HOME", root_.Sub("config")}};
  }
  std::string Registered(const std::string& key) {
    CRegKey k;
    if (k.Open(HKEY_CLASSES_ROOT, key.c_str()) != ERROR_SUCCESS) return "<none>";
    char text[8000];
    ULONG size = sizeof text;
    return k.QueryStringValue(nullptr, text, &size) == ERROR_SUCCESS ? text : "<no value>";
  }
};

TEST_F(QvxTest, RegisterAndUnregisterTheRealLibrary) {
  qvtest::ProgramRun run = RunProgram(root_, "qvx", {"register"}, Env());
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  const std::string handler = "CLSID\\" + FormatGuid(qvids::CLSID_QvShellExt) + "\\InprocServer32";
  EXPECT_EQ(Registered(handler), QV_PRODUCT_LIBRARY);
  EXPECT_TRUE(fs::exists(root_.Sub("root/desktop-files"))) << run.err;
  EXPECT_TRUE(fs::exists(root_.Sub("data/mime/packages/quorvin-qvfolderext.xml")));

  run = RunProgram(root_, "qvx", {"register"}, Env());
  EXPECT_EQ(run.code, 0) << "registering again: " << run.err;
  run = RunProgram(root_, "qvx", {"unregister"}, Env());
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_EQ(Registered(handler), "<none>");
  EXPECT_FALSE(fs::exists(root_.Sub("root/desktop-files")));
  EXPECT_FALSE(fs::exists(root_.Sub("data/mime/packages/quorvin-qvfolderext.xml")));
  EXPECT_EQ(RunProgram(root_, "qvx", {"unregister"}, Env()).code, 0);
}

TEST_F(QvxTest, MenuListsAndRunsWhatTheRegisteredHandlerOffers) {
  const std::string plain = root_.Sub("-n a.txt");
  WriteTextFile(plain, "hello");
  fs::create_directories(root_.Sub("folder"));
  // Before registration no handler is there to ask.
  qvtest::ProgramRun run = RunProgram(root_, "qvx", {"menu", "--", plain}, Env());
  EXPECT_EQ(run.code, 4) << run.err;
  EXPECT_NE(run.err.find("qvx register"), std::string::npos) << run.err;

  ASSERT_EQ(RunProgram(root_, "qvx", {"register"}, Env()).code, 0);
  const std::string passwordFile = root_.Sub("password");
  WriteTextFile(passwordFile, "menu pw\n");
  chmod(passwordFile.c_str(), 0600);
  qvtest::Environment env = Env();
  env.emplace_back("QV_PASSWORD_FILE", passwordFile);
  ASSERT_EQ(RunProgram(root_, "qvenroll", {}, env).code, 0);

  // With the suite stopped the handler offers nothing, and qvx says what may be the cause.
  run = RunProgram(root_, "qvx", {"menu", "--run", "QVEncryptCMD", "--", plain}, env);
  EXPECT_EQ(run.code, 5);
  EXPECT_NE(run.err.find("qvclient start"), std::string::npos) << run.err;
  EXPECT_TRUE(fs::exists(plain));

  const OwnedHandle suite(CreateMutexA(nullptr, TRUE, kSuiteRunningMutex));
  ASSERT_TRUE(suite.Valid());
  const HeldMutex running(suite.Get());
  run = RunProgram(root_, "qvx", {"menu", "--", plain, root_.Sub("folder")}, env);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("[QVEncryptCMD]"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("[QVDecryptCMD]"), std::string::npos) << run.out;

  // The menu speaks the language of the user's locale; a locale without a table of its own
  // gets its language's, an unknown one English.
  for (const auto& [locale, language] : {std::pair<const char*, LANGID>{"de_DE.UTF-8", 7},
                                         {"fr_CA.UTF-8", 12},
                                         {"xx_YY.UTF-8", 1033}}) {
    qvtest::Environment localized = env;
    localized.insert(localized.end(), {{"LANG", locale},
                                       {"LC_ALL", std::nullopt},
                                       {"LC_MESSAGES", std::nullopt},
                                       {"LANGUAGE", std::nullopt}});
    run = RunProgram(root_, "qvx", {"menu", "--", plain}, localized);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find(LoadStringText(101, language) + " [QVEncryptCMD]\t" +
                           LoadStringText(103, language)),
              std::string::npos)
        << locale << ": " << run.out;
  }

  // Run by verb, the item encrypts the file; a name that looks like an option stays a name.
  run = RunProgram(root_, "qvx", {"menu", "--run", "QVEncryptCMD", "--", plain}, env);
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_FALSE(fs::exists(plain));
  ASSERT_TRUE(fs::exists(plain + ".qvf"));

  // A mixed selection is refused, and the reason named; an item not offered runs nothing.
  run = RunProgram(root_, "qvx", {"menu", plain + ".qvf", root_.Sub("folder")}, env);
  EXPECT_EQ(run.code, 0);
  EXPECT_NE(run.err.find("mixes encrypted and plain"), std::string::npos) << run.err;
  run = RunProgram(root_, "qvx", {"menu", "--run", "QVEncryptCMD", plain + ".qvf"}, env);
  EXPECT_EQ(run.code, 5);
  EXPECT_NE(run.err.find("not offered"), std::string::npos) << run.err;

  // Run by its text (case and access keys aside), with the selection read from standard input.
  run = RunProgram(root_, "qvx", {"menu", "--run", "sentivo decrypt file(s)", "--from", "-"}, env,
                   plain + ".qvf\n");
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_EQ(ReadTextFile(plain), "hello");
  EXPECT_FALSE(fs::exists(plain + ".qvf"));
}

TEST_F(QvxTest, OpenStartsTheAssociatedProgramWithTheFileAsItsOneArgument) {
  // The suite's folder has a space and is stored without its trailing separator.
  const std::string suite = root_.Sub("my suite");
  fs::create_directories(suite);
  const std::string record = root_.Sub("opened");
  WriteTextFile(suite + "/Qvshella",
                "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + record +
                    ".tmp && mv " + record + ".tmp " + record + "\n");
  chmod((suite + "/Qvshella").c_str(), 0755);
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Marlowen\\Quorvin"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetStringValue("InstallDir", suite.c_str()), ERROR_SUCCESS);
  ASSERT_EQ(RunProgram(root_, "qvx", {"register"}, Env()).code, 0);

  const std::string file = root_.Sub("a \"q\" b;$(touch pwned).qvf");
  WriteTextFile(file, "encrypted");
  const qvtest::ProgramRun run = RunProgram(root_, "qvx", {"open", file}, Env());
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  for (int i = 0; i < 100 && !fs::exists(record); ++i) usleep(50000);
  EXPECT_EQ(ReadTextFile(record), file + std::string(1, '\0'));
  EXPECT_FALSE(fs::exists(root_.Sub("pwned")));
  EXPECT_FALSE(fs::exists("pwned"));
}

TEST_F(QvxTest, EveryCommandHasHelpAndEveryRefusalItsExitCode) {
  const struct {
    const char* command;
    const char* help;
  } helps[] = {{"register", "usage: qvx register"},
               {"unregister", "qvx unregister [--library"},
               {"menu", "usage: qvx menu"},
               {"open", "usage: qvx open"},
               {"info", "usage: qvx COMMAND"},
               {"share", "usage: qvx share"},
               {"share", "exit codes"},
               {"ls", "usage: qvx ls"},
               {"browse", "usage: qvx browse"},
               {"session", "usage: qvx session"},
               {"rm", "usage: qvx rm"},
               {"rename", "usage: qvx rename"},
               {"decrypt-to", "usage: qvx decrypt-to"},
               {"drop", "usage: qvx drop"},
               {"copy", "usage: qvx copy"},
               {"move", "qvx move SRC... DEST"},
               {"drag", "qvx drag [--ctrl|--shift]"}};
  for (const auto& h : helps) {
    const qvtest::ProgramRun run = RunProgram(root_, "qvx", {h.command, "--help"}, Env());
    EXPECT_EQ(run.code, 0) << h.command;
    EXPECT_NE(run.out.find(h.help), std::string::npos) << h.command << ": " << run.out;
  }
  WriteTextFile(root_.Sub("notes.txt"), "plain");
  const std::string writable = root_.Sub("writable.so");
  fs::copy_file(QV_PRODUCT_LIBRARY, writable);
  chmod(writable.c_str(), 0775);
  const struct {
    std::vector<std::string> args;
    int code;
    const char* message;
  } cases[] = {
      {{}, 2, ""},
      {{"bogus"}, 2, "unknown command"},
      {{"register", "--bogus"}, 2, "unknown option"},
      {{"open"}, 2, ""},
      {{"open", "a", "b"}, 2, ""},
      {{"register", "--library", root_.Sub("none.so")}, 3, "cannot find"},
      {{"register", "--library", writable}, 3, "chmod go-w"},
      {{"open", root_.Sub("missing.qvf")}, 1, "no such file"},
      {{"menu"}, 2, "no path"},
      {{"menu", "--run"}, 2, "needs a value"},
      {{"menu", root_.Sub("missing.txt")}, 2, "no such file"},
      {{"open", root_.Sub("notes.txt")}, 4, "no program is associated"},
  };
  for (const auto& c : cases) {
    const qvtest::ProgramRun run = RunProgram(root_, "qvx", c.args, Env());
    EXPECT_EQ(run.code, c.code) << (c.args.empty() ? "" : c.args[0]) << ": " << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
}

}  // namespace
