// Message windows: found by class and title from another process, messages posted there
// arrive in order, and a window is gone once destroyed or once its owner has died.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/MachineRoot.h"
#include "platform/Window.h"
#include "tests/common/TestRoot.h"

namespace {

constexpr const char* kClass = "MainWndClass";
constexpr const char* kTitle = "Marlowen Quorvin Shell App";
constexpr DWORD kPatience = 10000;  // an upper bound for waits that normally end at once

class WindowTest : public RootedTest {};

TEST_F(WindowTest, AnotherProcessFindsTheWindowAndPostsInOrder) {
  const HWND window = CreateMessageWindow(kClass, kTitle);
  const HWND other = CreateMessageWindow("QvOther", nullptr);
  ASSERT_NE(window, nullptr);
  ASSERT_NE(other, nullptr);
  // More messages than the kernel queues for a socket, posted before the owner looks.
  constexpr int kCount = 100;
  EXPECT_EQ(RunInChild([&] {
              if (FindWindowA("mainwndclass", "MARLOWEN QUORVIN SHELL APP") != window) return 1;
              if (FindWindowA(nullptr, kTitle) != window) return 2;
              if (FindWindowA("QvOther", "") != other) return 3;  // a null title is an empty one
              if (FindWindowA(kClass, "QvOther") != nullptr) return 4;
              MSG message{};
              if (ReceiveWindowMessage(window, &message, 0) || DestroyWindow(window)) return 5;
              for (int i = 0; i < kCount; ++i)
                if (!PostMessageA(window, WM_APP, static_cast<WPARAM>(i), -i)) return 6;
              return 0;
            }),
            0);
  EXPECT_TRUE(IsWindow(window)) << "the other process destroyed it";
  for (int i = 0; i < kCount; ++i) {
    MSG message{};
    ASSERT_TRUE(ReceiveWindowMessage(window, &message, kPatience)) << i;
    EXPECT_EQ(message.hwnd, window);
    EXPECT_EQ(message.message, static_cast<UINT>(WM_APP));
    EXPECT_EQ(message.wParam, static_cast<WPARAM>(i));
    EXPECT_EQ(message.lParam, -i);
  }
  MSG message{};
  SetLastError(0);
  EXPECT_FALSE(ReceiveWindowMessage(other, &message, 0)) << "posted to the wrong window";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_TRUE(DestroyWindow(other));
}

TEST_F(WindowTest, DestroyedWindowsAndWindowsOfDeadOwnersAreGone) {
  const HWND window = CreateMessageWindow(kClass, kTitle);
  ASSERT_NE(window, nullptr);
  // A receiver blocked on the window returns when the window is destroyed.
  bool received = true;
  std::thread receiver([&] {
    MSG message{};
    received = ReceiveWindowMessage(window, &message, INFINITE);
  });
  Sleep(10);  // usually lets the receiver block first; the result is the same if it does not
  EXPECT_TRUE(DestroyWindow(window));
  receiver.join();
  EXPECT_FALSE(received);
  EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

  // The owner dies without destroying its window: it is no longer found or reachable.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(RunInChild([&] {
              const HWND own = CreateMessageWindow(kClass, kTitle);
              if (own == nullptr || write(fds[1], &own, sizeof own) != sizeof own) return 1;
              raise(SIGKILL);
              return 2;
            }),
            -1);
  HWND dead = nullptr;
  ASSERT_EQ(read(fds[0], &dead, sizeof dead), static_cast<ssize_t>(sizeof dead));
  close(fds[0]);
  close(fds[1]);
  EXPECT_FALSE(IsWindow(dead));
  EXPECT_EQ(FindWindowA(kClass, kTitle), nullptr);
  EXPECT_FALSE(PostMessageA(dead, WM_USER, 0, 0));

  // A live window of the same class and title is found past the dead one.
  const HWND fresh = CreateMessageWindow(kClass, kTitle);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(FindWindowA(kClass, kTitle), fresh);
  EXPECT_TRUE(DestroyWindow(fresh));
}

TEST_F(WindowTest, InfoFilesThatAreNotTheUsersRegularFilesAreIgnored) {
  const std::string dir = QvRuntimeDir();
  ASSERT_EQ(mkfifo((dir + "/wnd-1-1.info").c_str(), 0600), 0);  // would block a plain open
  const HWND window = CreateMessageWindow(kClass, kTitle);
  ASSERT_NE(window, nullptr);
  const auto value = reinterpret_cast<std::uintptr_t>(window);
  const std::string info = dir + "/wnd-" + std::to_string(value >> 32) + "-" +
                           std::to_string(value & 0xffffffffu) + ".info";
  // Where the test may give the window's info file to another user, it is no longer trusted.
  const HWND expected = chown(info.c_str(), 4242, 4242) == 0 ? nullptr : window;
  EXPECT_EQ(RunInChild([&] {
              alarm(10);  // a lookup stuck on the FIFO dies instead
              if (FindWindowA("QvNoSuchClass", nullptr) != nullptr) return 1;  // reads every file
              return FindWindowA(kClass, kTitle) == expected ? 0 : 2;
            }),
            0);
  EXPECT_TRUE(DestroyWindow(window));
}

}  // namespace
