// A started call runs on a worker thread that stays for the next call, gives each call's own
// result, and is waited for before the object goes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "base/ItemStatus.h"
#include "engine/EngineWorker.h"
#include "platform/Sync.h"
#include "platform/ui/WindowApi.h"

namespace {

TEST(EngineWorkerTest, CallsRunOneAtATimeOnOneKeptThreadEachWithItsOwnResult) {
  const std::atomic<DWORD> notCancelled{0};
  StartedCall started;
  EXPECT_EQ(started.Finish(nullptr, notCancelled), static_cast<DWORD>(StatusMemoryError));
  std::set<DWORD> threads;
  for (DWORD call = 1; call <= 3; ++call) {
    std::atomic<bool> release{false};
    ASSERT_TRUE(started.Start([&, call] {
      while (!release.load()) std::this_thread::yield();
      threads.insert(GetCurrentThreadId());
      return call;
    }));
    EXPECT_TRUE(started.Running());
    // One call at a time: a second Start while the first runs is refused and runs nothing.
    EXPECT_FALSE(started.Start([] { return static_cast<DWORD>(99); }));
    release = true;
    EXPECT_EQ(started.Finish(nullptr, notCancelled), call);
    EXPECT_FALSE(started.Running());
  }
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_NE(*threads.begin(), GetCurrentThreadId());

  const std::atomic<DWORD> cancelled{1};
  ASSERT_TRUE(started.Start([] { return static_cast<DWORD>(StatusSuccess); }));
  EXPECT_EQ(started.Finish(nullptr, cancelled), static_cast<DWORD>(StatusCancelled));
}

TEST(EngineWorkerTest, AQuitMetWhileWaitingIsPostedAgainOnceTheCallHasEnded) {
  const std::atomic<DWORD> notCancelled{0};
  StartedCall started;
  std::atomic<bool> release{false};
  ASSERT_TRUE(started.Start([&] {
    while (!release.load()) std::this_thread::yield();
    return static_cast<DWORD>(StatusSuccess);
  }));
  PostQuitMessage(7);
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    release = true;
  });
  EXPECT_EQ(started.Finish(nullptr, notCancelled), static_cast<DWORD>(StatusSuccess));
  releaser.join();
  MSG msg{};
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "posted once";
}

TEST(EngineWorkerTest, AnObjectGoingAwayWaitsForItsRunningCall) {
  std::atomic<bool> finished{false};
  {
    StartedCall started;
    ASSERT_TRUE(started.Start([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      finished = true;
      return static_cast<DWORD>(StatusSuccess);
    }));
  }
  EXPECT_TRUE(finished.load());
}

}  // namespace
