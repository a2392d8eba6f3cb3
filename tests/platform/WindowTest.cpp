// Message windows: found by class and title from another process, messages posted there
// arrive in order, and a window is gone once destroyed or once its owner has died.
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/Window.h"
#include "tests/common/TestRoot.h"

namespace {

constexpr const char* kShellAppClass = "MainWndClass";
constexpr const char* kShellAppTitle = "Marlowen Quorvin Shell App";
constexpr DWORD kPatience = 10000;  // an upper bound for waits that normally end at once

class WindowTest : public RootedTest {};

TEST_F(WindowTest, AnotherProcessFindsTheWindowAndPostsToIt) {
  const HWND window = CreateMessageWindow(kShellAppClass, kShellAppTitle);
  ASSERT_NE(window, nullptr);
  const HWND suite =
      CreateMessageWindow("Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386", "MsgWnd");
  ASSERT_NE(suite, nullptr);
  EXPECT_NE(window, suite);
  const UINT qaf = RegisterWindowMessageA("EnableDisableQAF");
  ASSERT_NE(qaf, 0u);

  // The other process finds both windows under their own HWND values (any letter case) and
  // posts the verification bracket to one of them.
  const DWORD before = GetTickCount();
  EXPECT_EQ(RunInChild([&] {
              if (FindWindowA("mainwndclass", "MARLOWEN QUORVIN SHELL APP") != window) return 1;
              if (FindWindowA(kShellAppClass, nullptr) != window) return 2;
              if (FindWindowA(nullptr, "MsgWnd") != suite) return 3;
              if (FindWindowA(kShellAppClass, "MsgWnd") != nullptr) return 4;
              if (!IsWindow(suite)) return 5;
              const UINT id = RegisterWindowMessageA("EnableDisableQAF");
              if (!PostMessageA(suite, id, 0, 0)) return 6;
              if (!PostMessageA(suite, id, 1, 0)) return 7;
              if (!PostMessageA(suite, WM_USER + 5, ~WPARAM{0}, -42)) return 8;
              return 0;
            }),
            0);

  MSG message{};
  ASSERT_TRUE(ReceiveWindowMessage(suite, &message, kPatience));
  EXPECT_EQ(message.hwnd, suite);
  EXPECT_EQ(message.message, qaf);
  EXPECT_EQ(message.wParam, 0u);
  EXPECT_EQ(message.lParam, 0);
  EXPECT_LE(static_cast<DWORD>(message.time - before), kPatience);
  ASSERT_TRUE(ReceiveWindowMessage(suite, &message, kPatience));
  EXPECT_EQ(message.message, qaf);
  EXPECT_EQ(message.wParam, 1u);
  ASSERT_TRUE(ReceiveWindowMessage(suite, &message, kPatience));
  EXPECT_EQ(message.message, WM_USER + 5);
  EXPECT_EQ(message.wParam, ~WPARAM{0});
  EXPECT_EQ(message.lParam, -42);

  // Nothing more is queued, and nothing went to the other window.
  SetLastError(0);
  EXPECT_FALSE(ReceiveWindowMessage(suite, &message, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_FALSE(ReceiveWindowMessage(window, &message, 20));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));

  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_TRUE(DestroyWindow(suite));
}

TEST_F(WindowTest, DestroyedWindowsAndWindowsOfDeadOwnersAreGone) {
  const HWND window = CreateMessageWindow(kShellAppClass, kShellAppTitle);
  ASSERT_NE(window, nullptr);
  // A receiver blocked on the window returns when the window is destroyed.
  bool received = true;
  DWORD error = 0;
  std::thread receiver([&] {
    MSG message{};
    received = ReceiveWindowMessage(window, &message, INFINITE);
    error = GetLastError();
  });
  // Let the receiver block (it may not have yet; destroying first must end it as well).
  Sleep(10);
  EXPECT_TRUE(DestroyWindow(window));
  receiver.join();
  EXPECT_FALSE(received);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(FindWindowA(kShellAppClass, kShellAppTitle), nullptr);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_FALSE(DestroyWindow(window));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

  // The owner dies without destroying its window: it is no longer found or reachable.
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  EXPECT_EQ(RunInChild([&] {
              const HWND own = CreateMessageWindow(kShellAppClass, kShellAppTitle);
              if (own == nullptr) return 1;
              if (write(pipeFds[1], &own, sizeof own) != sizeof own) return 2;
              raise(SIGKILL);
              return 3;
            }),
            -1);
  HWND dead = nullptr;
  ASSERT_EQ(read(pipeFds[0], &dead, sizeof dead), static_cast<ssize_t>(sizeof dead));
  close(pipeFds[0]);
  close(pipeFds[1]);
  ASSERT_NE(dead, nullptr);
  EXPECT_FALSE(IsWindow(dead));
  EXPECT_EQ(FindWindowA(kShellAppClass, kShellAppTitle), nullptr);
  EXPECT_FALSE(PostMessageA(dead, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

  // A live window of the same class and title is found past the dead one.
  const HWND fresh = CreateMessageWindow(kShellAppClass, kShellAppTitle);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(FindWindowA(kShellAppClass, kShellAppTitle), fresh);
  EXPECT_TRUE(DestroyWindow(fresh));
}

TEST_F(WindowTest, OnlyTheOwnerReceivesOrDestroys) {
  const HWND window = CreateMessageWindow("QvOwnerOnly", nullptr);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(FindWindowA("QvOwnerOnly", ""), window) << "a null title is an empty one";
  EXPECT_EQ(RunInChild([window] {
              MSG message{};
              if (ReceiveWindowMessage(window, &message, 0)) return 1;
              if (GetLastError() != ERROR_INVALID_WINDOW_HANDLE) return 2;
              if (DestroyWindow(window)) return 3;
              if (GetLastError() != ERROR_ACCESS_DENIED) return 4;
              return 0;
            }),
            0);
  EXPECT_TRUE(IsWindow(window)) << "the other process destroyed it";

  // More messages than the kernel queues for a socket, posted before the owner looks.
  const int kCount = 100;
  EXPECT_EQ(RunInChild([window] {
              for (int i = 0; i < kCount; ++i)
                if (!PostMessageA(window, WM_APP, static_cast<WPARAM>(i), 0)) return 1;
              return 0;
            }),
            0);
  for (int i = 0; i < kCount; ++i) {
    MSG message{};
    ASSERT_TRUE(ReceiveWindowMessage(window, &message, kPatience)) << i;
    EXPECT_EQ(message.wParam, static_cast<WPARAM>(i));
  }

  for (const char* bad : {static_cast<const char*>(nullptr), ""})
    EXPECT_EQ(CreateMessageWindow(bad, "title"), nullptr);
  MSG message{};
  EXPECT_FALSE(ReceiveWindowMessage(nullptr, &message, 0));
  EXPECT_FALSE(PostMessageA(nullptr, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_TRUE(DestroyWindow(window));
}

}  // namespace
