// The suite's programs run as processes of their own without a terminal: every program's help,
// version and usage mistakes in one table, and the programs that drive the product library
// (`qvclient encrypt|decrypt` and Qvshella): their exit codes, a library that is missing or
// lacks the entry point, a round trip for a user enrolled with qvenroll, Confirm Replace
// answered from the command line, what stops an operation before it asks anything, the suite's
// own files and configuration folder refused, a missing audit record reported, and Qvshella
// opening the decrypted file (alone, as the one of several that decrypts for the others, and
// several given to one Qvshella, the later ones verifying the user it logged on).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/Handles.h"
#include "platform/Window.h"
#include "suite/QvUserApi.h"
#include "suite/qvprofile/CurrentAccount.h"
#include "suite/qvprofile/UserStore.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

using namespace qvtest;

// True when a line of `text` starts with `start` and ends with `end`.
bool HasLine(const std::string& text, const std::string& start, const std::string& end) {
  size_t from = 0;
  while (from < text.size()) {
    size_t to = text.find('\n', from);
    if (to == std::string::npos) to = text.size();
    const std::string line = text.substr(from, to - from);
    if (line.size() >= start.size() + end.size() && line.compare(0, start.size(), start) == 0 &&
        line.compare(line.size() - end.size(), end.size(), end) == 0)
      return true;
    from = to + 1;
  }
  return false;
}

using ProductProgramsTest = ProgramsFixture;

// Runs `run` with the current folder set to `folder`.
template <class Run>
ProgramRun RunIn(const std::string& folder, Run run) {
  char saved[4096];
  EXPECT_NE(getcwd(saved, sizeof saved), nullptr);
  EXPECT_EQ(chdir(folder.c_str()), 0);
  ProgramRun result = run();
  EXPECT_EQ(chdir(saved), 0);
  return result;
}

TEST_F(ProductProgramsTest, EveryProgramHasHelpAndAVersionAndPointsMistakesToIt) {
  // Usage is checked before the library is looked for, so these fail the same without one.
  const Environment noLibrary{{"QV_PRODUCT_LIBRARY", root_.Sub("missing.so")}};
  const struct {
    const char* program;
    std::vector<std::string> args;
    int code;
    const char* said;  // on standard output with exit code 0, else on standard error
  } cases[] = {
      {"qvenroll", {"--help"}, 0, "Exit codes:"},
      {"qvenroll", {"--help"}, 0, "QV_PASSWORD_FILE"},
      {"qvclient", {"--help"}, 0, "Exit codes:"},
      {"qvclient", {"encrypt", "--help"}, 0, "encrypt PATH [--yes-to-all|--no-to-all]"},
      {"Qvshella", {"--help"}, 0, "Usage: Qvshella PATH"},
      {"Qvshella", {"--help"}, 0, "no DllShellInterface"},
      {"qvenroll", {"--bogus"}, 1, "qvenroll: "},
      {"qvenroll", {"--remove"}, 1, "qvenroll: "},
      {"qvenroll", {"--list", "--remove", "bob"}, 1, "qvenroll: "},
      {"qvenroll", {"--yes"}, 1, "qvenroll: "},
      {"qvenroll", {"--id", "much-too-long-id"}, 1, "qvenroll: "},
      {"qvenroll", {"--edition", "gold"}, 1, "qvenroll: "},
      {"qvclient", {"fly"}, 1, "qvclient --help"},
      {"qvclient", {"start", "now"}, 1, "qvclient --help"},
      {"qvclient", {"--user"}, 1, "qvclient --help"},
      {"qvclient", {"export-key", "extra"}, 1, "qvclient --help"},
      {"Qvshella", {}, 2, "PATH of an encrypted file is needed"},
      {"Qvshella", {"a.qvf", ""}, 2, "a PATH is empty"},
      {"Qvshella", {"--frobnicate", "a.qvf"}, 2, "unknown option '--frobnicate'"},
      {"Qvshella", {"--yes-to-all", "--no-to-all", "a.qvf"}, 2, "exclude each other"},
      {"Qvshella", {""}, 2, "a PATH is empty"},
      {"qvclient", {"encrypt"}, 2, "encrypt needs the PATH"},
      {"qvclient", {"decrypt", "a", "b"}, 2, "decrypt takes one PATH"},
      {"qvclient", {"decrypt", "a", "--no-to-all", "--yes-to-all"}, 2, "exclude each other"},
      {"qvclient", {"encrypt", "--user", "me", "a"}, 2, "unknown option '--user'"},
      {"qvclient", {"--password-stdin", "encrypt", "a"}, 2, "encrypt comes first"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.program << " " << (c.args.empty() ? "" : c.args[0]) << " -> " << c.said);
    const ProgramRun run = RunProgram(root_, c.program, c.args, Env(noLibrary));
    EXPECT_EQ(run.code, c.code) << run.err;
    EXPECT_NE((c.code == 0 ? run.out : run.err).find(c.said), std::string::npos)
        << run.out << run.err;
    EXPECT_EQ(run.err.find("missing.so"), std::string::npos) << run.err;
  }
  EXPECT_EQ(Client({"encrypt", "--help"}).out, Client({"--help"}).out);
  // Nothing was enrolled by the refused calls.
  QvUserStore store;
  QvUserInfo info;
  EXPECT_FALSE(store.Open() == QvStoreStatus::Ok &&
               store.FindUserById(QvCurrentAccount().suggestedUserId, &info) == QvStoreStatus::Ok);

  for (const char* program : {"qvenroll", "qvclient", "Qvshella", "qvdbconv", "qvx", "qvdialogs"}) {
    const ProgramRun run = Run(program, {"--version"});
    EXPECT_EQ(run.code, 0) << program << ": " << run.out << run.err;
    EXPECT_EQ(run.out.rfind(std::string(program) + " 1.", 0), 0u) << program << ": " << run.out;
  }
}

TEST_F(ProductProgramsTest, MissingLibraryAndMissingEntryPointHaveTheirOwnExitCodes) {
  WriteTextFile(W("plain.txt"), "plain");
  const std::string missing = root_.Sub("lib/libQvFolderExt.so");
  // A real shared object of the build that does not export the product's entry points.
  const std::string unrelated = ProgramPath("libqvplatform.so");
  ASSERT_TRUE(Exists(unrelated));
  const Environment none{{"QV_PRODUCT_LIBRARY", missing}}, other{{"QV_PRODUCT_LIBRARY", unrelated}};
  EXPECT_TRUE(Exited(Client({"encrypt", W("plain.txt")}, none), 7,
                     {"cannot load the product library " + missing}));
  EXPECT_TRUE(Exited(Shella({W("plain.txt.qvf")}, none), 7));
  EXPECT_TRUE(Exited(Client({"decrypt", W("plain.txt")}, other), 8,
                     {"has no DllDoEncryptDecrypt: rebuild it"}));
  EXPECT_TRUE(
      Exited(Shella({W("plain.txt.qvf")}, other), 8, {"has no DllShellInterface: rebuild it"}));
  EXPECT_EQ(ReadTextFile(W("plain.txt")), "plain");
  EXPECT_FALSE(Exists(W("plain.txt.qvf")));
}

TEST_F(ProductProgramsTest, EncryptAndDecryptRoundTripForAnEnrolledUser) {
  EnrollMe();
  const std::string content = "quarterly figures\n" + std::string(100000, 'x');
  WriteTextFile(W("report.txt"), content);

  // A wrong password: verification fails, nothing changes, exit 1.
  const Environment wrong{{"QV_PASSWORD_FILE", PasswordFile("wrong", "not the password")}};
  EXPECT_TRUE(Exited(Client({"encrypt", W("report.txt")}, wrong), 1));
  EXPECT_EQ(ReadTextFile(W("report.txt")), content);
  EXPECT_FALSE(Exists(W("report.txt.qvf")));

  // A relative path is made absolute against the program's current folder.
  ProgramRun run = RunIn(work_, [&] { return Client({"encrypt", "./report.txt"}); });
  ASSERT_TRUE(Exited(run, 0));
  EXPECT_FALSE(Exists(W("report.txt")));
  ASSERT_TRUE(Exists(W("report.txt.qvf")));
  EXPECT_EQ(ReadTextFile(W("report.txt.qvf")).find("quarterly"), std::string::npos);
  // Without a terminal: one line per item, with its folder.
  EXPECT_TRUE(HasLine(run.out, "report.txt  ", "  " + work_)) << run.out;

  ASSERT_TRUE(Exited(Client({"decrypt", W("report.txt.qvf")}), 0));
  EXPECT_EQ(ReadTextFile(W("report.txt")), content);
  EXPECT_FALSE(Exists(W("report.txt.qvf")));
  // Both operations are in the audit, under the absolute path.
  EXPECT_TRUE(Exited(Client({"audit", "--event", "7"}), 0, {}, {W("report.txt")}));
  // A path that does not exist is a failed operation, not a usage error.
  EXPECT_TRUE(Exited(Client({"decrypt", W("nothing.qvf")}), 1));
}

TEST_F(ProductProgramsTest, ConfirmReplaceIsAnsweredFromTheCommandLine) {
  EnrollMe();
  const std::string qvf = Encrypted("notes.txt", "the encrypted notes");
  const std::string plain = W("notes.txt");
  WriteTextFile(plain, "newer notes");
  // No answer and no terminal: No To All, and the program says so. Nothing was decrypted: that
  // is no success.
  EXPECT_TRUE(Exited(Client({"decrypt", qvf}), 1,
                     {"no terminal to ask whether to replace",
                      "qvclient: nothing was decrypted: " + plain + " exists"}));
  EXPECT_EQ(ReadTextFile(plain), "newer notes");
  EXPECT_TRUE(Exists(qvf));

  const ProgramRun run = Client({"decrypt", "--no-to-all", qvf});
  EXPECT_TRUE(Exited(run, 1));
  EXPECT_EQ(run.err.find("no terminal to ask"), std::string::npos) << run.err;
  EXPECT_EQ(ReadTextFile(plain), "newer notes");
  EXPECT_TRUE(Exists(qvf));

  EXPECT_TRUE(Exited(Client({"decrypt", qvf, "--yes-to-all"}), 0));
  EXPECT_EQ(ReadTextFile(plain), "the encrypted notes");
  EXPECT_FALSE(Exists(qvf));
}

TEST_F(ProductProgramsTest, WhatStopsAnOperationIsSaidBeforeAnythingIsAsked) {
  // Without a store a missing path is still named first, and nothing is enrolled.
  const std::string store = root_.Sub("root/qvusers.db");
  EXPECT_TRUE(Exited(Client({"encrypt", W("nothing.txt")}), 1,
                     {"qvclient: " + W("nothing.txt") + " does not exist"}));
  EXPECT_TRUE(Exited(Client({"decrypt", W("nothing.txt.qvf")}), 1, {"does not exist"}));
  EXPECT_TRUE(
      Exited(Client({"encrypt", W(std::string(300, 'n'))}), 1, {"longer than the system allows"}));
  EXPECT_FALSE(Exists(store));

  // An existing path without a store: the store is never made behind the user's back.
  WriteTextFile(W("plain.txt"), "plain");
  EXPECT_TRUE(Exited(Client({"encrypt", W("plain.txt")}), 1,
                     {"qvclient: no user store at " + store + "; run qvenroll first"}));
  EXPECT_TRUE(Exited(Shella({W("plain.txt.qvf")}), 1, {"run qvenroll first"}));
  EXPECT_FALSE(Exists(store));
  EXPECT_EQ(ReadTextFile(W("plain.txt")), "plain");

  // A password file others can read is named as the cause, not a missing security device.
  EnrollMe();
  ASSERT_EQ(chmod(passwordFile_.c_str(), 0644), 0);
  for (const std::string program : {"qvclient", "Qvshella"}) {
    const ProgramRun run =
        program == "qvclient" ? Client({"encrypt", W("plain.txt")}) : Shella({W("plain.txt")});
    EXPECT_TRUE(Exited(run, 1,
                       {program + ": the password file " + passwordFile_ +
                        " must be yours and readable by you alone (mode 0600"}));
    EXPECT_EQ(run.out.find("security devices"), std::string::npos) << run.out;
  }
  EXPECT_EQ(ReadTextFile(W("plain.txt")), "plain");
  ASSERT_EQ(chmod(passwordFile_.c_str(), 0600), 0);

  // A file whose name begins with '-' is given after "--".
  WriteTextFile(W("-x"), "dash");
  EXPECT_TRUE(Exited(RunIn(work_, [&] { return Client({"encrypt", "--", "-x"}); }), 0));
  EXPECT_TRUE(Exists(W("-x.qvf")));
  EXPECT_FALSE(Exists(W("-x")));
}

TEST_F(ProductProgramsTest, TheSuitesOwnFilesAreRefusedAndNeverReEnrolled) {
  EnrollMe();
  const std::string store = root_.Sub("root/qvusers.db");
  ASSERT_FALSE(ReadTextFile(store).empty());
  EXPECT_TRUE(
      Exited(Client({"encrypt", store}), 1, {}, {"Cannot process files from this directory"}));
  EXPECT_TRUE(Exists(store));
  EXPECT_FALSE(Exists(store + ".qvf"));
  EXPECT_TRUE(Exited(Client({"encrypt", root_.Sub("root")}), 1));
  EXPECT_TRUE(Exists(store));
  EXPECT_FALSE(Exists(root_.Sub("root.qvef")));

  // The programs' own folder, although InstallDir was never written.
  const std::string mine = ProgramPath("qvtest-" + std::to_string(getpid()) + ".txt");
  WriteTextFile(mine, "beside the programs");
  const ProgramRun run = Client({"encrypt", mine});
  const bool refused = Exists(mine) && !Exists(mine + ".qvf");
  (void)unlink(mine.c_str());
  (void)unlink((mine + ".qvf").c_str());
  EXPECT_TRUE(Exited(run, 1));
  EXPECT_TRUE(refused) << run.out;

  // A store that went missing stays missing: no new user, no new key.
  const std::string qvf = Encrypted("kept.txt", "under the first key");
  ASSERT_EQ(rename(store.c_str(), root_.Sub("store-aside").c_str()), 0);
  EXPECT_TRUE(Exited(Client({"decrypt", qvf}), 1, {"no user store at " + store}));
  EXPECT_FALSE(Exists(store));
  EXPECT_TRUE(Exists(qvf));
  ASSERT_EQ(rename(root_.Sub("store-aside").c_str(), store.c_str()), 0);
  EXPECT_TRUE(Exited(Client({"decrypt", qvf}), 0));
  EXPECT_EQ(ReadTextFile(W("kept.txt")), "under the first key");
}

TEST_F(ProductProgramsTest, NothingIsDecryptedIntoTheConfigurationFolder) {
  EnrollMe();
  const std::string config = root_.Sub("config");
  ASSERT_EQ(mkdir(config.c_str(), 0700), 0);
  const std::string inside = config + "/settings.ini.qvf";
  ASSERT_EQ(rename(Encrypted("settings.ini", "[secret]").c_str(), inside.c_str()), 0);
  // Nor is a folder restored there from its container.
  ASSERT_EQ(mkdir(W("profile").c_str(), 0700), 0);
  WriteTextFile(W("profile/prefs.js"), "prefs");
  ASSERT_TRUE(Exited(Client({"encrypt", W("profile")}), 0));
  ASSERT_EQ(rename(W("profile.qvef").c_str(), (config + "/profile.qvef").c_str()), 0);

  const Environment here{{"XDG_CONFIG_HOME", config}};
  const std::vector<std::string> refused{"Cannot process files from this directory"};
  EXPECT_TRUE(Exited(Client({"decrypt", inside}, here), 1, {}, refused));
  EXPECT_TRUE(Exited(Shella({inside}, here), 0, {}, refused));
  EXPECT_TRUE(Exited(Client({"decrypt", config + "/profile.qvef"}, here), 1, {}, refused));
  EXPECT_TRUE(Exists(inside));
  EXPECT_FALSE(Exists(config + "/settings.ini"));
  EXPECT_TRUE(Exists(config + "/profile.qvef"));
  EXPECT_FALSE(Exists(config + "/profile"));
}

TEST_F(ProductProgramsTest, AnAuditRecordThatCannotBeWrittenIsReported) {
  EnrollMe();
  WriteTextFile(W("ledger.txt"), "figures");
  // The store refuses new audit records as a full disk would.
  EditBehindTheLibrary(
      "CREATE TRIGGER refuse_audit BEFORE INSERT ON audit "
      "BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END",
      "");
  EXPECT_TRUE(Exited(Client({"encrypt", W("ledger.txt")}), 1,
                     {"qvclient: the audit record of " + W("ledger.txt") +
                      " could not be written to the user store"}));
  // The file itself was encrypted: its row says so.
  EXPECT_TRUE(Exists(W("ledger.txt.qvf")));
  EXPECT_TRUE(Exited(Shella({W("ledger.txt.qvf")}), 3, {"Qvshella: the audit record of"}));
  EXPECT_EQ(ReadTextFile(W("ledger.txt")), "figures");
}

TEST_F(ProductProgramsTest, QvshellaOpensTheDecryptedFile) {
  EnrollMe();
  const std::string qvf = Encrypted("photo.txt", "a picture");
  EXPECT_TRUE(Exited(Shella({qvf}), 0));
  EXPECT_EQ(ReadTextFile(W("photo.txt")), "a picture");
  EXPECT_FALSE(Exists(qvf));
  ASSERT_TRUE(Eventually([&] { return Exists(openerLog_); }));
  EXPECT_TRUE(Eventually([&] { return ReadTextFile(openerLog_) == W("photo.txt") + "\n"; }))
      << ReadTextFile(openerLog_);

  // A failed verification exits 0 as well, and opens nothing.
  const std::string other = Encrypted("other.txt", "other");
  ASSERT_EQ(unlink(openerLog_.c_str()), 0);
  EXPECT_TRUE(Exited(Shella({other}, {{"QV_PASSWORD_FILE", std::nullopt}}), 0,
                     {"no terminal to ask for your password"}));
  EXPECT_TRUE(Exists(other));
  EXPECT_FALSE(Exists(W("other.txt")));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(Exists(openerLog_));
}

TEST_F(ProductProgramsTest, QvshellaVerifiesTheLoggedOnUserForItsLaterFilesAndTellsTheSuite) {
  EnrollMe();
  {
    QvUserStore store;
    ASSERT_EQ(store.Open(), QvStoreStatus::Ok);
    ASSERT_EQ(store.SetEdition(EDITION_SENTIVO), QvStoreStatus::Ok);
  }
  const std::string first = Encrypted("one.txt", "first");
  const std::string second = Encrypted("two.txt", "second");
  // The suite's client runs and reports each verification the extension tells it about.
  Program client(root_, "qvclient", {"start"}, Env());
  ASSERT_TRUE(Eventually([] {
    return FindWindowA("Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386", "MsgWnd") != nullptr;
  })) << client.Wait(0).err;

  EXPECT_TRUE(Exited(Shella({first, second}), 0));
  EXPECT_EQ(ReadTextFile(W("one.txt")), "first");
  EXPECT_EQ(ReadTextFile(W("two.txt")), "second");
  EXPECT_TRUE(Eventually([&] {
    return ReadTextFile(openerLog_) == W("one.txt") + "\n" + W("two.txt") + "\n";
  })) << ReadTextFile(openerLog_);
  EXPECT_TRUE(Exited(Client({"stop"}), 0));
  const ProgramRun ended = client.Wait();
  // The first file logs the user on, which is not told; the user is still logged on for the
  // second, whose verification the suite hears of before and after.
  const std::string told = "A verification started.\nA verification ended.\n";
  const size_t at = ended.out.find(told);
  EXPECT_NE(at, std::string::npos) << ended.out;
  EXPECT_EQ(ended.out.find("A verification", at + told.size()), std::string::npos) << ended.out;
}

}  // namespace
