// End to end: the built programs (qvenroll, qvclient, Qvshella) run as processes of their own,
// without a terminal, in a machine root of the test's own, the way a user or a script drives
// them. Round trips of files and folder trees byte for byte, a wrong password, targets that
// exist, protected locations, three Qvshella whose files are decrypted in one dialog, and
// hand-over messages that the decrypting process must not take.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/Settings.h"
#include "platform/Handles.h"
#include "tests/common/TestRoot.h"
#include "tests/suite/UserStoreTestSupport.h"
#include "util/RegKey.h"

namespace {

namespace fs = std::filesystem;
using qvtest::Environment;
using qvtest::Eventually;
using qvtest::Exited;
using qvtest::PipedInput;
using qvtest::Program;
using qvtest::ProgramRun;

constexpr const char* kHandOverMailslot = "\\\\.\\mailslot\\QVShellE_Decrypt";
constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kHandOverLimit = 2064;  // the longest message a holder takes, NUL included

// Bytes that do not compress and differ for every `seed`.
std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xff);
  return bytes;
}

// Everything below `folder`: relative path -> "dir" or "file:" and the bytes. Hidden entries
// and empty folders are included, so two equal snapshots mean an identical tree.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> entries;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string relative = fs::relative(it->path(), folder).string();
    entries[relative] = it->is_directory() ? "dir" : "file:" + ReadTextFile(it->path().string());
  }
  if (ec) ADD_FAILURE() << "cannot list " << folder << ": " << ec.message();
  return entries;
}

// Counts the lines of `text` that contain every one of `parts`.
int LinesWith(const std::string& text, const std::vector<std::string>& parts) {
  int count = 0;
  size_t from = 0;
  while (from < text.size()) {
    size_t to = text.find('\n', from);
    if (to == std::string::npos) to = text.size();
    const std::string line = text.substr(from, to - from);
    bool all = true;
    for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
    count += all ? 1 : 0;
    from = to + 1;
  }
  return count;
}

bool HandOverMailslotIsOpen() {
  const HANDLE slot = CreateFileA(kHandOverMailslot, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (slot == INVALID_HANDLE_VALUE) return false;
  CloseHandle(slot);
  return true;
}

class EndToEndTest : public qvtest::ProgramsFixture {
 protected:
  void SetUp() override {
    ProgramsFixture::SetUp();
    if (!HasFatalFailure()) EnrollMe();
  }
  // Runs qvclient encrypt or decrypt and expects it to succeed.
  void Succeeds(const char* command, const std::string& path) const {
    EXPECT_TRUE(Exited(Client({command, path}), 0)) << command << " " << path;
  }
  // Names `folder` as the suite's install folder, a protected location.
  static void SetInstallFolder(const std::string& folder) {
    CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kQuorvinKeyPath), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue("InstallDir", (folder + "/").c_str()), ERROR_SUCCESS);
  }
  // The audit rows of qvclient audit (the header line left out).
  std::string AuditRows() const {
    const ProgramRun run = Client({"audit"});
    EXPECT_TRUE(Exited(run, 0, {}, {"RESULT"}));
    const size_t header = run.out.find('\n');
    return header == std::string::npos ? std::string() : run.out.substr(header + 1);
  }
  // A Qvshella for `qvf` that reads its password from standard input (piped when `piped`).
  std::unique_ptr<Program> ShellaOnStdin(const std::string& qvf, bool piped) const {
    const std::vector<std::string> args{"--password-stdin", qvf};
    const Environment environment = Env({{"QV_PASSWORD_FILE", std::nullopt}});
    return piped ? std::make_unique<Program>(root_, "Qvshella", args, environment, PipedInput{})
                 : std::make_unique<Program>(root_, "Qvshella", args, environment);
  }
};

TEST_F(EndToEndTest, FilesAndAFolderTreeComeBackByteForByte) {
  // Single files on both sides of the 1 MiB chunk boundary, named with quotes, spaces and
  // non-ASCII letters.
  const std::string exact = W("l'été \"final\" exactly 1 MiB.bin");
  const std::string over = W("one byte over.bin");
  WriteTextFile(exact, RandomBytes(kMiB, 1));
  WriteTextFile(over, RandomBytes(kMiB + 1, 2));
  // A folder tree with empty folders, hidden entries, awkward names and the same boundaries.
  const std::string tree = W("My Project");
  for (const char* folder : {"", "/empty", "/sub", "/sub/empty too", "/.hidden folder",
                             "/naïve 日本語 ü", "/it's \"here\""})
    ASSERT_TRUE(fs::create_directories(tree + folder) || fs::is_directory(tree + folder));
  WriteTextFile(tree + "/.hidden", "hidden marker text");
  WriteTextFile(tree + "/.hidden folder/inside.txt", "inside a hidden folder");
  WriteTextFile(tree + "/name with spaces.txt", "spaces");
  WriteTextFile(tree + "/naïve 日本語 ü/résumé ß.txt", "non-ASCII content é");
  WriteTextFile(tree + "/it's \"here\"/\"quoted\" 'name'.txt", "quotes");
  WriteTextFile(tree + "/sub/zero bytes", "");
  WriteTextFile(tree + "/sub/exact.bin", RandomBytes(kMiB, 3));
  WriteTextFile(tree + "/sub/over.bin", RandomBytes(kMiB + 1, 4));
  const std::string exactBytes = ReadTextFile(exact);
  const std::string overBytes = ReadTextFile(over);
  const auto treeBefore = Snapshot(tree);
  ASSERT_EQ(treeBefore.size(), 14u);

  for (const std::string& path : {exact, over, tree}) Succeeds("encrypt", path);
  for (const std::string& path : {exact, over, tree}) EXPECT_FALSE(Exists(path)) << path;
  const std::string container = tree + ".qvef";
  ASSERT_TRUE(Exists(exact + ".qvf") && Exists(over + ".qvf") && Exists(container));
  EXPECT_EQ(ReadTextFile(container).find("hidden marker text"), std::string::npos);
  EXPECT_EQ(ReadTextFile(exact + ".qvf").find(exactBytes.substr(1000, 64)), std::string::npos);

  for (const std::string& path : {exact + ".qvf", over + ".qvf", container})
    Succeeds("decrypt", path);
  for (const std::string& path : {exact + ".qvf", over + ".qvf", container})
    EXPECT_FALSE(Exists(path)) << path;
  EXPECT_TRUE(ReadTextFile(exact) == exactBytes);
  EXPECT_TRUE(ReadTextFile(over) == overBytes);
  const auto treeAfter = Snapshot(tree);
  EXPECT_EQ(treeAfter.size(), treeBefore.size());
  for (const auto& [name, content] : treeBefore) {
    const auto found = treeAfter.find(name);
    ASSERT_NE(found, treeAfter.end()) << name << " is missing after the round trip";
    EXPECT_TRUE(found->second == content) << name << " differs after the round trip";
  }

  // Each operation left a success record under the path it was given.
  const std::string rows = AuditRows();
  EXPECT_EQ(LinesWith(rows, {"  7 ", "success"}), 6) << rows;
  EXPECT_EQ(LinesWith(rows, {"success", container}), 1) << rows;
  EXPECT_EQ(LinesWith(rows, {"success", exact}), 2) << rows;
}

TEST_F(EndToEndTest, WrongPasswordTouchesNothingAndFailedItemsAreAudited) {
  const Environment wrongPassword{
      {"QV_PASSWORD_FILE", PasswordFile("wrong password", "not the password")}};
  WriteTextFile(W("plan.txt"), "the plan");
  ASSERT_TRUE(fs::create_directories(W("folder/inner")));
  WriteTextFile(W("folder/inner/a.txt"), "a");
  const auto folderBefore = Snapshot(W("folder"));

  for (const std::string& path : {W("plan.txt"), W("folder")}) {
    EXPECT_TRUE(Exited(Client({"encrypt", path}, wrongPassword), 1, {},
                       {"could not validate your user credentials"}));
  }
  EXPECT_EQ(ReadTextFile(W("plan.txt")), "the plan");
  EXPECT_TRUE(Snapshot(W("folder")) == folderBefore);
  EXPECT_FALSE(Exists(W("plan.txt.qvf")));
  EXPECT_FALSE(Exists(W("folder.qvef")));
  // A refused verification is not an operation: no record is written for it.
  EXPECT_EQ(AuditRows(), "");

  // Qvshella with a wrong password decrypts and opens nothing (and exits 0, as it always does).
  const std::string qvf = Encrypted("photo.txt", "a picture");
  const std::string qvfBytes = ReadTextFile(qvf);
  EXPECT_TRUE(Exited(Shella({qvf}, wrongPassword), 0));
  EXPECT_EQ(ReadTextFile(qvf), qvfBytes);
  EXPECT_FALSE(Exists(W("photo.txt")));
  EXPECT_FALSE(Exists(openerLog_));

  // A verified user decrypting a damaged file: the item fails, the file stays as it was, no
  // plain file appears, and the record says failure (result 4).
  std::string damaged = qvfBytes;
  damaged[damaged.size() - 20] ^= 0x01;
  WriteTextFile(qvf, damaged);
  EXPECT_TRUE(Exited(Client({"decrypt", qvf}), 1));
  EXPECT_EQ(ReadTextFile(qvf), damaged);
  EXPECT_FALSE(Exists(W("photo.txt")));
  const std::string rows = AuditRows();
  EXPECT_EQ(LinesWith(rows, {"  7 ", "failure", qvf}), 1) << rows;
  EXPECT_EQ(LinesWith(rows, {"success", W("photo.txt")}), 1) << rows;  // the encryption
  EXPECT_EQ(LinesWith(rows, {"  7 "}), 2) << rows;
}

TEST_F(EndToEndTest, AnExistingTargetIsReplacedOnlyWithYesToAll) {
  const std::string qvf = Encrypted("notes.txt", "the encrypted notes");
  const std::string qvfBytes = ReadTextFile(qvf);
  WriteTextFile(W("notes.txt"), "newer notes");

  // No answer and no terminal, and --no-to-all: both files stay as they are. The user's "No"
  // takes the item out of the operation, so nothing was decrypted: no success either.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"decrypt", qvf}, {"decrypt", "--no-to-all", qvf}}) {
    EXPECT_TRUE(Exited(Client(args), 1, {"nothing was decrypted"}));
    EXPECT_EQ(ReadTextFile(W("notes.txt")), "newer notes");
    EXPECT_EQ(ReadTextFile(qvf), qvfBytes);
  }
  EXPECT_TRUE(Exited(Client({"decrypt", "--yes-to-all", qvf}), 0));
  EXPECT_EQ(ReadTextFile(W("notes.txt")), "the encrypted notes");
  EXPECT_FALSE(Exists(qvf));

  // An existing folder is never replaced, whatever the answer; nor is an existing container.
  ASSERT_TRUE(fs::create_directories(W("project/docs")));
  WriteTextFile(W("project/docs/plan.txt"), "first plan");
  Succeeds("encrypt", W("project"));
  const std::string containerBytes = ReadTextFile(W("project.qvef"));
  ASSERT_TRUE(fs::create_directories(W("project")));
  WriteTextFile(W("project/other.txt"), "another project");
  const auto folderBefore = Snapshot(W("project"));
  EXPECT_TRUE(Exited(Client({"decrypt", "--yes-to-all", W("project.qvef")}), 1, {},
                     {"Destination file already exists"}));
  EXPECT_TRUE(Exited(Client({"encrypt", "--yes-to-all", W("project")}), 1, {},
                     {"A directory with the same name is already encrypted"}));
  EXPECT_TRUE(Snapshot(W("project")) == folderBefore);
  EXPECT_TRUE(ReadTextFile(W("project.qvef")) == containerBytes);
  const std::string rows = AuditRows();
  EXPECT_EQ(LinesWith(rows, {"failure", W("project")}), 2) << rows;
}

TEST_F(EndToEndTest, ProtectedLocationsAreRefusedAndLeftAlone) {
  // The suite's install folder, from the registry. (A top-level .qvf file is only checked by
  // its name when decrypted, so decrypting one found there is not refused.)
  const std::string install = root_.Sub("suite");
  ASSERT_TRUE(fs::create_directories(install + "/lib"));
  WriteTextFile(install + "/tool.conf", "tool settings");
  WriteTextFile(install + "/lib/data.bin", "library data");
  SetInstallFolder(install);
  // A home folder whose configuration folder (a per-user protected location) lies inside it.
  const std::string home = root_.Sub("home");
  ASSERT_TRUE(fs::create_directories(home + "/.config/app"));
  ASSERT_TRUE(fs::create_directories(home + "/documents"));
  WriteTextFile(home + "/.config/app/settings.ini", "[app]");
  WriteTextFile(home + "/documents/letter.txt", "dear");
  const Environment config{{"XDG_CONFIG_HOME", home + "/.config"}};

  const auto installBefore = Snapshot(install);
  const auto homeBefore = Snapshot(home);
  // The home folder holds the configuration folder.
  for (const std::string& path :
       {install + "/tool.conf", install, home + "/.config/app/settings.ini", home})
    EXPECT_TRUE(Exited(Client({"encrypt", path}, config), 1, {},
                       {"Cannot process files from this directory"}))
        << path;
  EXPECT_TRUE(Snapshot(install) == installBefore);
  EXPECT_TRUE(Snapshot(home) == homeBefore);
  EXPECT_FALSE(Exists(install + ".qvef"));
  EXPECT_FALSE(Exists(home + ".qvef"));
}

TEST_F(EndToEndTest, ThreeQvshellaDecryptInOneDialogOfTheFirst) {
  const std::string files[3] = {Encrypted("one.txt", "first"), Encrypted("two words.txt", "second"),
                                Encrypted("trois é.txt", "third")};
  // The first takes the role and waits for its password on standard input with the hand-over
  // mailslot open; the other two start together, hand their file over and end without
  // reading their input. (Started at the very same moment as the first, a sender can find
  // the role taken before the mailslot exists; see the hand-over notes of the library.)
  const auto holder = ShellaOnStdin(files[0], true);
  ASSERT_TRUE(holder->Started() && Eventually(HandOverMailslotIsOpen)) << holder->Output();
  std::vector<std::unique_ptr<Program>> senders;
  for (const std::string& qvf : {files[1], files[2]}) senders.push_back(ShellaOnStdin(qvf, false));
  for (const auto& sender : senders) {
    ASSERT_TRUE(sender->Started());
    EXPECT_EQ(sender->Wait().code, 0) << sender->Output();
  }
  EXPECT_FALSE(holder->Ended()) << holder->Output();
  for (const std::string& qvf : files) EXPECT_TRUE(Exists(qvf)) << qvf;

  holder->Send(std::string(kPassword) + "\n");
  ASSERT_EQ(holder->Wait().code, 0) << holder->Output();
  EXPECT_EQ(ReadTextFile(W("one.txt")), "first");
  EXPECT_EQ(ReadTextFile(W("two words.txt")), "second");
  EXPECT_EQ(ReadTextFile(W("trois é.txt")), "third");
  for (const std::string& qvf : files) EXPECT_FALSE(Exists(qvf)) << qvf;
  // One dialog with a row for every file, and only the holder's own file is opened.
  const std::string output = holder->Output();
  EXPECT_EQ(LinesWith(output, {"Decrypting files..."}), 1) << output;
  for (const char* name : {"one.txt.qvf  ", "two words.txt.qvf  ", "trois é.txt.qvf  "})
    EXPECT_EQ(LinesWith(output, {name, "Success", work_}), 1) << name << "\n" << output;
  EXPECT_TRUE(Eventually([&] { return ReadTextFile(openerLog_) == W("one.txt") + "\n"; }))
      << ReadTextFile(openerLog_);
}

// The path `length` bytes long that ends in "/" and `tail`, below `base`; its folders are made.
std::string PathOfLength(const std::string& base, std::size_t length, const std::string& tail) {
  std::string path = base;
  while (path.size() + 1 + tail.size() < length) {
    // Each level adds a separator and its name; the last one fills up to the length.
    const std::size_t room = length - path.size() - 1 - tail.size();
    if (room < 2) break;
    const std::size_t part = room > 200 ? 150 : room - 1;
    path += "/" + std::string(part, 'd');
    std::error_code ec;
    fs::create_directories(path, ec);
  }
  return path + "/" + tail;
}

TEST_F(EndToEndTest, HandedOverPathsOutsideTheAllowedSetGetRowsSayingWhy) {
  const std::string install = root_.Sub("suite");
  ASSERT_TRUE(fs::create_directories(install));
  SetInstallFolder(install);
  const std::string own = Encrypted("own.txt", "the holder's file");
  // Files whose paths make a message of exactly the limit (taken) and one byte more (dropped).
  const std::string atLimit = PathOfLength(W("long"), kHandOverLimit - 5, "at limit.txt");
  const std::string overLimit = PathOfLength(W("longer"), kHandOverLimit - 4, "over limit.txt");
  ASSERT_EQ(atLimit.size() + 4 + 1, kHandOverLimit);
  ASSERT_EQ(overLimit.size() + 4 + 1, kHandOverLimit + 1);
  for (const std::string& path : {atLimit, overLimit}) {
    WriteTextFile(path, "long path " + path.substr(path.size() - 20));
    Succeeds("encrypt", path);
  }
  const std::string unterminated = Encrypted("unterminated.txt", "sent without its NUL");
  const std::string inInstall = Encrypted("installed.txt", "inside the install folder");
  const std::string protectedQvf = install + "/installed.txt.qvf";
  ASSERT_EQ(rename(inInstall.c_str(), protectedQvf.c_str()), 0);
  const std::string plain = W("plain.txt");
  WriteTextFile(plain, "a plain file");
  const std::string protectedBytes = ReadTextFile(protectedQvf);

  const auto holder = ShellaOnStdin(own, true);
  ASSERT_TRUE(holder->Started() && Eventually(HandOverMailslotIsOpen)) << holder->Output();
  const HANDLE slot = CreateFileA(kHandOverMailslot, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(slot, INVALID_HANDLE_VALUE);
  const std::string messages[] = {
      overLimit + ".qvf" + '\0',  // 2065 bytes
      atLimit + ".qvf" + '\0',    // 2064 bytes: taken
      plain + '\0',
      protectedQvf + '\0',
      unterminated,
      W("./unterminated.txt.qvf") + '\0',
      own + '\0',  // the holder's own file again
  };
  for (const std::string& message : messages) {
    DWORD written = 0;
    EXPECT_TRUE(
        WriteFile(slot, message.data(), static_cast<DWORD>(message.size()), &written, nullptr));
    EXPECT_EQ(written, message.size());
  }
  CloseHandle(slot);
  holder->Send(std::string(kPassword) + "\n");
  ASSERT_EQ(holder->Wait().code, 0) << holder->Output();

  EXPECT_EQ(ReadTextFile(W("own.txt")), "the holder's file");
  EXPECT_FALSE(Exists(own));
  EXPECT_TRUE(Exists(atLimit)) << holder->Output();
  EXPECT_FALSE(Exists(atLimit + ".qvf"));
  EXPECT_TRUE(Exists(overLimit + ".qvf"));
  EXPECT_FALSE(Exists(overLimit));
  EXPECT_TRUE(Exists(unterminated));
  EXPECT_FALSE(Exists(W("unterminated.txt")));
  EXPECT_EQ(ReadTextFile(protectedQvf), protectedBytes);
  EXPECT_FALSE(Exists(install + "/installed.txt"));
  EXPECT_EQ(ReadTextFile(plain), "a plain file");
  // The two files taken are decrypted; every refused path has its row saying why (the
  // messages that are no path at all, and the holder's own file again, have none). The
  // operation had failed items, so nothing is opened.
  const std::string output = holder->Output();
  EXPECT_EQ(LinesWith(output, {"own.txt.qvf  Success  "}), 1) << output;
  EXPECT_EQ(LinesWith(output, {"at limit.txt.qvf  Success  "}), 1) << output;
  EXPECT_EQ(LinesWith(output, {"plain.txt  Error: File is not an Sentivo encrypted file (.QVF)."}),
            1)
      << output;
  EXPECT_EQ(
      LinesWith(output, {"installed.txt.qvf  Error: Cannot process files from this directory."}), 1)
      << output;
  EXPECT_EQ(LinesWith(output, {"unterminated.txt.qvf  Error:  File Access Error.", "/work/."}), 1)
      << output;
  EXPECT_EQ(LinesWith(output, {"over limit"}), 0) << output;
  EXPECT_EQ(LinesWith(output, {"  Error"}), 3) << output;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ReadTextFile(openerLog_), "");
}

}  // namespace
