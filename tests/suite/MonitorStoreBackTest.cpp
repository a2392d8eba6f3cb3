// The monitor's storing back, driven directly with a store-back that injects the faults a
// container gives: held by a writer for a while, then gone. A save is handed over only once
// the copy settled and with its newest bytes, retried while the container is busy without the
// copy being touched, recorded as stored only after the store-back said so, and an edit that
// cannot be stored is kept, never removed with the copy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/MachineRoot.h"
#include "suite/qvmonitor/Monitor.h"
#include "suite/qvmonitor/MonitorRequest.h"
#include "suite/qvmonitor/WatchList.h"
#include "tests/common/TestRoot.h"

namespace {

namespace fs = std::filesystem;
using qvmonitor::StoreResult;

// Answers from a script; records the bytes the copy held at each call.
class ScriptedStoreBack final : public qvmonitor::ContainerStoreBack {
 public:
  explicit ScriptedStoreBack(std::vector<StoreResult> script) : script_(std::move(script)) {}
  StoreResult Store(const qvmonitor::MonitorRequest& entry, const std::string& plainPath) override {
    seen.push_back(ReadTextFile(plainPath));
    requests.push_back(entry);
    const StoreResult result = calls_ < script_.size() ? script_[calls_] : script_.back();
    ++calls_;
    return result;
  }
  std::vector<std::string> seen;
  std::vector<qvmonitor::MonitorRequest> requests;

 private:
  std::vector<StoreResult> script_;
  std::size_t calls_ = 0;
};

// A program holding a file open: another process, since the monitor never counts its own.
class Holder {
 public:
  explicit Holder(const std::string& path) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(path.c_str(), O_RDONLY);
      (void)!write(ready[1], fd >= 0 ? "y" : "n", 1);
      for (;;) pause();
    }
    char answer = 'n';
    (void)!read(ready[0], &answer, 1);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(answer, 'y');
  }
  ~Holder() { Close(); }
  void Close() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

class MonitorStoreBackTest : public RootedTest {
 protected:
  void SetUp() override {
    state_ = qvmonitor::StateFolder();
    ASSERT_FALSE(state_.empty());
    timings_.settleMs = 100;
    timings_.retryMs = 1000;
    timings_.quietMs = 2000;
    timings_.unheldMs = 2000;
  }
  qvmonitor::MonitorRequest Request(const std::string& name, const std::string& content) {
    std::string pattern = QvRuntimeDir() + "/open-XXXXXX";
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    qvmonitor::MonitorRequest request;
    request.token = qvmonitor::NewToken();
    request.decryptedPath = pattern + "/" + name;
    request.containerPath = root_.Sub("Box.qvef");
    request.folderId = 4;
    request.fileId = 11;
    request.userId = "alice";
    WriteTextFile(request.decryptedPath, content);
    return request;
  }
  // A started monitor over `store`; the test fails when it does not start.
  std::unique_ptr<qvmonitor::Monitor> Started(ScriptedStoreBack& store) {
    auto monitor = std::make_unique<qvmonitor::Monitor>(state_, store, timings_);
    std::string error;
    EXPECT_TRUE(monitor->Start(&error)) << error;
    return monitor;
  }
  // A new copy holding `content`, taken over by `monitor`.
  qvmonitor::MonitorRequest Taken(qvmonitor::Monitor& monitor, const std::string& content) {
    const auto request = Request("plan.txt", content);
    std::string why;
    EXPECT_TRUE(monitor.Take(request, &why)) << why;
    return request;
  }
  std::vector<qvmonitor::WatchRecord> Records() const {
    return qvmonitor::WatchList(state_).ReadAll(nullptr);
  }
  // Ticks from `from` to `to` milliseconds in steps of 50.
  static void Run(qvmonitor::Monitor& monitor, std::int64_t from, std::int64_t to) {
    for (std::int64_t now = from; now <= to; now += 50) monitor.Tick(now);
  }

  std::string state_;
  qvmonitor::MonitorTimings timings_;
};

TEST_F(MonitorStoreBackTest, ASaveIsStoredWithItsNewestBytesRetriedWhileTheContainerIsBusy) {
  ScriptedStoreBack store({StoreResult::Busy, StoreResult::Busy, StoreResult::Stored});
  auto started = Started(store);
  qvmonitor::Monitor& monitor = *started;
  const auto request = Taken(monitor, "v1");
  Holder program(request.decryptedPath);
  const std::int64_t t0 = qvmonitor::SteadyMs();

  Run(monitor, t0, t0 + 500);
  EXPECT_TRUE(store.seen.empty()) << "nothing saved yet";
  WriteTextFile(request.decryptedPath, "v2 half");
  monitor.Tick(t0 + 550);
  WriteTextFile(request.decryptedPath, "v2 whole");  // the save goes on before it settles
  Run(monitor, t0 + 600, t0 + 1000);
  ASSERT_EQ(store.seen, std::vector<std::string>{"v2 whole"}) << "one call, after the copy settled";
  EXPECT_EQ(store.requests[0].folderId, 4u);
  EXPECT_EQ(store.requests[0].fileId, 11u);
  ASSERT_EQ(Records().size(), 1u);
  EXPECT_TRUE(Records()[0].unstoredEdit);

  Run(monitor, t0 + 1050, t0 + 3000);  // busy twice, one second apart, then stored
  EXPECT_EQ(store.seen.size(), 3u);
  ASSERT_EQ(Records().size(), 1u);
  EXPECT_FALSE(Records()[0].unstoredEdit);
  EXPECT_EQ(ReadTextFile(request.decryptedPath), "v2 whole") << "the copy was not touched";

  Run(monitor, t0 + 3050, t0 + 6000);
  EXPECT_EQ(store.seen.size(), 3u) << "a stored version is not stored again";
  EXPECT_TRUE(fs::exists(request.decryptedPath)) << "held by its program";
  program.Close();
  Run(monitor, t0 + 6050, t0 + 9000);
  EXPECT_FALSE(fs::exists(fs::path(request.decryptedPath).parent_path()));
  EXPECT_TRUE(Records().empty());
  EXPECT_TRUE(fs::is_empty(state_ + "/kept"));
}

TEST_F(MonitorStoreBackTest, AnEditWhoseContainerIsGoneIsKeptWhenTheCopyGoes) {
  ScriptedStoreBack store({StoreResult::ContainerGone});
  auto started = Started(store);
  qvmonitor::Monitor& monitor = *started;
  const auto request = Taken(monitor, "v1");
  const std::int64_t t0 = qvmonitor::SteadyMs();
  WriteTextFile(request.decryptedPath, "only copy of this edit");
  Run(monitor, t0, t0 + 6000);
  EXPECT_FALSE(fs::exists(request.decryptedPath));
  EXPECT_TRUE(Records().empty());
  const std::string kept = state_ + "/kept/" + request.token + "-plan.txt";
  EXPECT_EQ(ReadTextFile(kept), "only copy of this edit");
  EXPECT_TRUE(fs::exists(state_ + "/kept/" + request.token + ".record"));
  EXPECT_FALSE(monitor.TakeNotes().empty()) << "the keeping is told";
}

TEST_F(MonitorStoreBackTest, ARestartedMonitorStoresAnEditMadeMeanwhileBeforeTheCopyGoes) {
  const auto request = Request("plan.txt", "v1");
  {
    ScriptedStoreBack idle({StoreResult::Stored});
    auto first = Started(idle);
    std::string why;
    ASSERT_TRUE(first->Take(request, &why)) << why;
  }  // ended without clean-up, as a killed one does
  WriteTextFile(request.decryptedPath, "v2");
  ScriptedStoreBack store({StoreResult::Stored});
  auto second = Started(store);
  EXPECT_EQ(second->WatchedCount(), 1u);
  Run(*second, qvmonitor::SteadyMs(), qvmonitor::SteadyMs() + 6000);
  EXPECT_EQ(store.seen, std::vector<std::string>{"v2"});
  EXPECT_FALSE(fs::exists(request.decryptedPath));
  EXPECT_TRUE(fs::is_empty(state_ + "/kept"));
}

TEST_F(MonitorStoreBackTest, ACopyAProgramSavedGoesAfterTheQuietTimeEvenIfItsOpeningWasNotSeen) {
  timings_.unheldMs = 600000;  // what a copy nobody was seen to use would wait
  ScriptedStoreBack store({StoreResult::Stored});
  auto started = Started(store);
  qvmonitor::Monitor& monitor = *started;
  const auto request = Taken(monitor, "v1");
  // Saved by writing elsewhere and renaming over the copy: the copy's name is never opened.
  const std::string elsewhere = root_.Sub("plan.txt.tmp");
  WriteTextFile(elsewhere, "v2");
  ASSERT_EQ(rename(elsewhere.c_str(), request.decryptedPath.c_str()), 0);
  const std::int64_t t0 = qvmonitor::SteadyMs();
  Run(monitor, t0, t0 + 6000);
  EXPECT_EQ(store.seen, std::vector<std::string>{"v2"});
  EXPECT_FALSE(fs::exists(request.decryptedPath)) << "the program that saved it let go";
}

TEST_F(MonitorStoreBackTest, TheProcessRefusesWhatItsClassWouldHaveRefused) {
  ScriptedStoreBack store({StoreResult::Stored});
  auto monitor = Started(store);
  auto request = Request("plan.txt", "v1");
  const std::string own = root_.Sub("own.txt");
  WriteTextFile(own, "mine");
  request.decryptedPath = own;
  std::string why;
  EXPECT_FALSE(monitor->Take(request, &why));
  EXPECT_NE(why.find("private"), std::string::npos) << why;
  EXPECT_EQ(monitor->WatchedCount(), 0u);
  Run(*monitor, qvmonitor::SteadyMs(), qvmonitor::SteadyMs() + 3000);
  EXPECT_EQ(ReadTextFile(own), "mine");
}

TEST(MonitorRequestTest, EveryLengthOfAMessageIsCheckedBeforeUse) {
  qvmonitor::MonitorRequest request;
  request.token = "0123456789abcdef";
  request.containerPath = "/home/u/Box.qvef";
  request.decryptedPath = "/run/user/1000/quorvin/open-1/a.txt";
  request.userId = "alice";
  request.lastWriteTime = 0x0102030405060708ULL;
  request.folderId = 5;
  request.fileId = 6;
  const auto bytes = qvmonitor::EncodeRequest(request);
  ASSERT_FALSE(bytes.empty());
  const auto back = qvmonitor::DecodeRequest(bytes.data(), bytes.size());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->decryptedPath, request.decryptedPath);
  EXPECT_EQ(back->lastWriteTime, request.lastWriteTime);
  EXPECT_EQ(back->fileId, 6u);
  // Every shorter message, and one with a byte more, is refused.
  for (std::size_t size = 0; size < bytes.size(); ++size)
    EXPECT_FALSE(qvmonitor::DecodeRequest(bytes.data(), size).has_value()) << size;
  auto longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(qvmonitor::DecodeRequest(longer.data(), longer.size()).has_value());
  // A length beyond the message, and a path with a NUL inside.
  auto lying = bytes;
  lying[4 + 2 + 16 + 8 + 4 + 4 + 3] = 0x7f;
  EXPECT_FALSE(qvmonitor::DecodeRequest(lying.data(), lying.size()).has_value());
  request.decryptedPath.insert(5, 1, '\0');
  EXPECT_TRUE(qvmonitor::EncodeRequest(request).empty());
  request.decryptedPath = "/a";
  request.token = "../../etc/passwd";
  EXPECT_TRUE(qvmonitor::EncodeRequest(request).empty()) << "the token names a file";
}

}  // namespace
