// Waiting for "a message or an object": events, threads, timers, and the engine's pattern of
// a worker that runs while the dialog thread pumps, with Cancel seen at the next pump and no
// CPU used while nothing happens.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "platform/Kernel.h"
#include "platform/Sync.h"
#include "platform/ui/WindowApi.h"
#include "tests/common/HeadlessUi.h"
#include "tests/platform/ui/UiTestDialogs.h"

namespace {

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

TEST(MessageQueueTest, WaitReportsTheObjectTheMessageOrTheTimeout) {
  const HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(manual, nullptr);
  ASSERT_NE(automatic, nullptr);
  const HANDLE both[] = {manual, automatic};
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 20, QS_ALLINPUT), WAIT_TIMEOUT);

  std::thread setter([automatic] {
    Sleep(20);
    EXPECT_TRUE(SetEvent(automatic));
  });
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, INFINITE, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
  setter.join();
  // An auto-reset event releases one wait; a manual one stays signalled.
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  // A message posted to the thread's dialog wakes the wait with index = count.
  HeadlessUi ui;
  LambdaDialog dialog(AskTemplate(), nullptr);
  ASSERT_TRUE(dialog.Create(nullptr));
  std::thread poster([&] { PostMessageA(dialog.GetSafeHwnd(), WM_COMMAND, 42, 0); });
  EXPECT_EQ(MsgWaitForMultipleObjects(2, both, FALSE, INFINITE, QS_ALLINPUT), WAIT_OBJECT_0 + 2);
  poster.join();
  MSG msg{};
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  DispatchMessageA(&msg);
  EXPECT_EQ(dialog.commands, std::vector<WORD>{42});
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));

  const HANDLE bogus = reinterpret_cast<HANDLE>(0x7777);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &bogus, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
  CloseHandle(manual);
  CloseHandle(automatic);
}

TEST(MessageQueueTest, PumpDispatchesWhatWaitsAndStopsAtQuitLeavingTheRest) {
  HeadlessUi ui;
  LambdaDialog dialog(AskTemplate(), nullptr);
  ASSERT_TRUE(dialog.Create(nullptr));
  const HWND window = dialog.GetSafeHwnd();
  ASSERT_TRUE(PostMessageA(window, WM_COMMAND, 41, 0));
  PostQuitMessage(3);
  ASSERT_TRUE(PostMessageA(window, WM_COMMAND, 43, 0));
  int quitCode = 0;
  EXPECT_FALSE(PumpWaitingMessages(window, &quitCode));
  EXPECT_EQ(quitCode, 3);
  EXPECT_EQ(dialog.commands, std::vector<WORD>{41}) << "nothing after the quit is dispatched";
  EXPECT_TRUE(PumpWaitingMessages(window, nullptr));
  EXPECT_EQ(dialog.commands, (std::vector<WORD>{41, 43}));
}

TEST(MessageQueueTest, ThreadsStartSuspendedAndSignalTheirEnd) {
  static std::atomic<bool> ran{false};
  static DWORD kExitCode = 123;
  ran = false;
  DWORD id = 0;
  const HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        ran = true;
        return *static_cast<DWORD*>(p);
      },
      &kExitCode, CREATE_SUSPENDED, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(WaitForSingleObject(thread, 30), WAIT_TIMEOUT);
  EXPECT_FALSE(ran);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 123u);
  // A thread handle stays signalled.
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  CloseHandle(thread);
}

// The engine's pattern: the dialog starts a worker for one library call, then waits for
// "message or worker done", draining its queue at each wake-up. Cancel is pressed (by the
// headless user) right after the first progress step.
struct WorkerRun {
  std::atomic<bool> cancel{false};
  std::atomic<int> pumpCycles{0};
  std::atomic<int> cycleWhenSeen{-1};
};

DWORD WorkerUntilCancelled(LPVOID parameter) {
  auto* run = static_cast<WorkerRun*>(parameter);
  // The library checks its cancel callback between chunks of work.
  while (!run->cancel.load()) Sleep(1);
  run->cycleWhenSeen = run->pumpCycles.load();
  return 507;
}

TEST(MessageQueueTest, CancelPressedDuringAWaitIsSeenByTheWorkerAtTheNextPump) {
  HeadlessUi ui;
  ui.PressAfterProgressSteps(501, 902, 1);
  WorkerRun run;
  DWORD result = 0;
  LambdaDialog dialog(ProgressTemplate(), nullptr);
  dialog.onCommand = [&](LambdaDialog&, WORD id) {
    if (id == IDCANCEL) run.cancel = true;
    return id == IDCANCEL;
  };
  dialog.onInit = [&](LambdaDialog& d) {
    CProgressCtrl progress(::GetDlgItem(d.GetSafeHwnd(), 902));
    progress.SetRange32(0, 3);
    progress.SetStep(1);
    const HANDLE worker = CreateThread(nullptr, 0, WorkerUntilCancelled, &run, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    progress.StepIt();  // the scripted user presses Cancel now
    while (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
      ++run.pumpCycles;
      EXPECT_TRUE(PumpWaitingMessages(d.GetSafeHwnd(), nullptr));
    }
    EXPECT_TRUE(GetExitCodeThread(worker, &result));
    CloseHandle(worker);
    d.EndDialog(IDCANCEL);
  };
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_EQ(result, 507u);
  EXPECT_EQ(run.cycleWhenSeen.load(), 1) << "the click was handled in the first pump cycle";
}

DWORD SleepingWorker(LPVOID) {
  Sleep(300);
  return 0;
}

TEST(MessageQueueTest, WaitingForAWorkerUsesNoCpuWhileIdle) {
  HeadlessUi ui;
  LambdaDialog dialog(ProgressTemplate(), nullptr);
  ASSERT_TRUE(dialog.Create(nullptr));
  ASSERT_NE(dialog.SetTimer(1, 1000), 0u);  // a pending timer must not make the wait spin
  const HANDLE worker = CreateThread(nullptr, 0, SleepingWorker, nullptr, 0, nullptr);
  const double before = ThreadCpuMs();
  int wakeUps = 0;
  while (MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
    ++wakeUps;
    EXPECT_TRUE(PumpWaitingMessages(nullptr, nullptr));
  }
  const double used = ThreadCpuMs() - before;
  CloseHandle(worker);
  // A spinning wait would burn the whole 300 ms; a blocking one a few microseconds.
  EXPECT_LT(used, 30.0);
  EXPECT_EQ(wakeUps, 0);
}

TEST(MessageQueueTest, TimersComeDueOnlyAfterTheirIntervalAndStopWhenKilled) {
  HeadlessUi ui;
  LambdaDialog dialog(AskTemplate(), nullptr);
  ASSERT_TRUE(dialog.Create(nullptr));
  ASSERT_EQ(dialog.SetTimer(9, 40), 9u);
  MSG msg{};
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, QS_ALLINPUT), WAIT_OBJECT_0);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_EQ(msg.wParam, 9u);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // rescheduled, not repeated
  EXPECT_TRUE(dialog.KillTimer(9));
  EXPECT_FALSE(dialog.KillTimer(9));
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 80, QS_ALLINPUT), WAIT_TIMEOUT);
  // Destroying the window ends its timers and its handle.
  ASSERT_EQ(dialog.SetTimer(9, 1), 9u);
  const HWND window = dialog.GetSafeHwnd();
  EXPECT_TRUE(dialog.DestroyWindow());
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 30, QS_ALLINPUT), WAIT_TIMEOUT);
  EXPECT_FALSE(PostMessageA(window, WM_COMMAND, 1, 0));
}

}  // namespace
