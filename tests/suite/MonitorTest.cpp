// The decrypted-file monitor as the view meets it: its class created through the registry by
// the view's call, which starts the user's monitor process; saves in the plain copy (written
// in place, or written anew and renamed over it) noticed and never dropped; the copy and its
// private folder gone once its program lets go; a monitor killed with SIGKILL taken up by the
// next; and every copy the view did not make refused and left alone.
//
// This build's monitor cannot store into containers (see suite/qvmonitor/StoreBack.h), so a
// saved edit ends in the monitor's "kept" folder; the storing itself is tested with an
// injected store-back in MonitorStoreBackTest.cpp.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "platform/MachineRoot.h"
#include "platform/ole/ComCreate.h"
#include "shell/DecryptedFileMonitor.h"
#include "suite/qvmonitor/MonitorRequest.h"
#include "suite/qvmonitor/WatchList.h"
#include "tests/common/TestRoot.h"

namespace {

namespace fs = std::filesystem;

bool WaitFor(const std::function<bool()>& condition, int seconds = 15) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// A process that ended but was not reaped yet (its parent is whoever adopted it) counts as
// ended.
bool ProcessAlive(pid_t pid) {
  if (pid <= 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

class MonitorTest : public RootedTest {
 protected:
  void SetUp() override {
    setenv("QV_MONITOR_QUIET_MS", "300", 1);
    setenv("QV_MONITOR_UNHELD_MS", "60000", 1);
    setenv("QV_MONITOR_IDLE_MS", "3000", 1);
    state_ = qvmonitor::StateFolder();
    ASSERT_FALSE(state_.empty());
  }
  void TearDown() override {
    const pid_t pid = MonitorPid();
    if (ProcessAlive(pid)) {
      kill(pid, SIGKILL);
      (void)WaitFor([pid] { return !ProcessAlive(pid); });
    }
  }
  // The installer's part: the class's library registers itself.
  void RegisterMonitor() {
    void* library = dlopen(QV_MONITOR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto reg = reinterpret_cast<HRESULT (*)()>(dlsym(library, "DllRegisterServer"));
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg(), S_OK);
    dlclose(library);
  }
  // A plain copy as the view makes it: a private folder of its own in the runtime area.
  std::string MakeCopy(const std::string& name, const std::string& content) {
    std::string pattern = QvRuntimeDir() + "/open-XXXXXX";
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string path = pattern + "/" + name;
    WriteTextFile(path, content);
    return path;
  }
  HRESULT Monitor(const std::string& copy, DWORD fileId = 7) {
    DecryptedFileToMonitor file;
    file.containerPath = root_.Sub("Box.qvef");
    file.decryptedPath = copy;
    file.folderId = 3;
    file.fileId = fileId;
    file.userId = "alice";
    return MonitorDecryptedFile(file);
  }
  pid_t MonitorPid() const {
    std::ifstream in(state_ + "/pid");
    int pid = 0;
    in >> pid;
    return pid;
  }
  std::vector<qvmonitor::WatchRecord> Records() const {
    return qvmonitor::WatchList(state_).ReadAll(nullptr);
  }
  // The kept edits, by content.
  std::vector<std::string> Kept() const {
    std::vector<std::string> kept;
    for (const auto& entry : fs::directory_iterator(state_ + "/kept"))
      if (entry.path().extension() != ".record") kept.push_back(ReadTextFile(entry.path()));
    std::sort(kept.begin(), kept.end());
    return kept;
  }
  void SaveInPlace(const std::string& path, const std::string& content) {
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
  }
  void SaveByRename(const std::string& path, const std::string& content) {
    WriteTextFile(path + ".new~", content);
    ASSERT_EQ(rename((path + ".new~").c_str(), path.c_str()), 0);
  }

  std::string state_;
};

TEST_F(MonitorTest, TheViewsCallStartsTheMonitorWhichRemovesAnUntouchedCopyWhenItsProgramLetsGo) {
  const std::string copy = MakeCopy("notes.txt", "plain text");
  EXPECT_EQ(Monitor(copy), REGDB_E_CLASSNOTREG) << "nothing registered yet";
  RegisterMonitor();

  const int program = open(copy.c_str(), O_RDONLY);  // the program the view launched
  ASSERT_GE(program, 0);
  ASSERT_EQ(Monitor(copy), S_OK);
  const pid_t pid = MonitorPid();
  EXPECT_TRUE(ProcessAlive(pid)) << "the call started the monitor";
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].request.decryptedPath, copy);
  EXPECT_EQ(records[0].request.containerPath, root_.Sub("Box.qvef"));
  EXPECT_EQ(records[0].request.folderId, 3u);
  EXPECT_EQ(records[0].request.fileId, 7u);
  EXPECT_EQ(records[0].request.userId, "alice");

  // A second file goes to the same monitor.
  const std::string other = MakeCopy("other.txt", "more");
  const int otherProgram = open(other.c_str(), O_RDONLY);
  ASSERT_EQ(Monitor(other, 8), S_OK);
  EXPECT_EQ(MonitorPid(), pid);
  EXPECT_EQ(Records().size(), 2u);

  // Held open well past the quiet time: the copy stays.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(fs::exists(copy));
  close(program);
  EXPECT_TRUE(WaitFor([&] { return !fs::exists(fs::path(copy).parent_path()); }))
      << "the copy and its private folder go once nobody holds the copy";
  EXPECT_TRUE(fs::exists(other)) << "a copy still held stays";
  close(otherProgram);
  EXPECT_TRUE(WaitFor([&] { return !fs::exists(other) && Records().empty(); }));
  EXPECT_TRUE(Kept().empty()) << "nothing was edited";
  EXPECT_TRUE(WaitFor([pid] { return !ProcessAlive(pid); })) << "an idle monitor ends";
}

TEST_F(MonitorTest, AnEditSavedInPlaceOrRenamedOverTheCopyIsNeverDropped) {
  RegisterMonitor();
  const std::string inPlace = MakeCopy("report.txt", "first draft");
  const std::string renamed = MakeCopy("letter.txt", "dear bob");
  int program = open(inPlace.c_str(), O_RDONLY);
  ASSERT_EQ(Monitor(inPlace), S_OK);
  ASSERT_EQ(Monitor(renamed, 9), S_OK);

  SaveInPlace(inPlace, "second draft");
  SaveByRename(renamed, "dear carol");
  const int renamedProgram = open(renamed.c_str(), O_RDONLY);
  EXPECT_TRUE(WaitFor([&] {
    const auto records = Records();
    return records.size() == 2 && records[0].unstoredEdit && records[1].unstoredEdit;
  })) << "each save is recorded before anything else happens to it";
  close(program);
  close(renamedProgram);
  EXPECT_TRUE(WaitFor([&] { return Records().empty(); }));
  EXPECT_FALSE(fs::exists(fs::path(inPlace).parent_path()));
  EXPECT_FALSE(fs::exists(fs::path(renamed).parent_path()));
  EXPECT_EQ(Kept(), (std::vector<std::string>{"dear carol", "second draft"}))
      << "edits that could not be stored back are kept, with their newest bytes";
}

TEST_F(MonitorTest, AMonitorKilledMidWayIsTakenUpByTheNextOne) {
  RegisterMonitor();
  const std::string untouched = MakeCopy("a.txt", "as stored");
  const std::string edited = MakeCopy("b.txt", "as stored");
  const int program = open(untouched.c_str(), O_RDONLY);
  ASSERT_EQ(Monitor(untouched), S_OK);
  ASSERT_EQ(Monitor(edited, 8), S_OK);
  const pid_t first = MonitorPid();
  ASSERT_EQ(kill(first, SIGKILL), 0);
  ASSERT_TRUE(WaitFor([first] { return !ProcessAlive(first); }));
  SaveInPlace(edited, "edited while no monitor ran");
  close(program);

  // The next call starts a new monitor, which takes both up again.
  const std::string third = MakeCopy("c.txt", "third");
  const int thirdProgram = open(third.c_str(), O_RDONLY);
  ASSERT_EQ(Monitor(third, 10), S_OK);
  EXPECT_NE(MonitorPid(), first);
  EXPECT_TRUE(WaitFor(
      [&] { return !fs::exists(untouched) && !fs::exists(edited) && Records().size() == 1; }));
  EXPECT_EQ(Kept(), (std::vector<std::string>{"edited while no monitor ran"}));
  EXPECT_TRUE(fs::exists(third));
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].request.decryptedPath, third);
  close(thirdProgram);
}

TEST_F(MonitorTest, ACopyTheViewDidNotMakeIsRefusedAndLeftAlone) {
  RegisterMonitor();
  // The user's own file, outside the runtime area.
  const std::string own = root_.Sub("own.txt");
  WriteTextFile(own, "mine");
  // In the runtime area, but in a folder others may read.
  const std::string sharedFolder = QvRuntimeDir() + "/shared";
  fs::create_directory(sharedFolder);
  chmod(sharedFolder.c_str(), 0755);
  const std::string inShared = sharedFolder + "/x.txt";
  WriteTextFile(inShared, "x");
  // A private folder whose entry is a link to the user's file, or a second name of it.
  const std::string link = MakeCopy("placeholder", "");
  fs::remove(link);
  fs::create_symlink(own, link);
  const std::string hardLink = fs::path(MakeCopy("placeholder2", "")).parent_path() / "hard.txt";
  fs::create_hard_link(own, hardLink);
  const std::string climbing = fs::path(link).parent_path() / ".." / ".." / "root" / "own.txt";

  for (const std::string& path : {own, inShared, link, hardLink, climbing})
    EXPECT_EQ(Monitor(path), E_INVALIDARG) << path;
  EXPECT_EQ(ReadTextFile(own), "mine");
  EXPECT_EQ(ReadTextFile(inShared), "x");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(Records().empty());
}

}  // namespace
