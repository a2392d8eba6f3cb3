// Mailslots: messages from other processes arrive whole and in order, the server's size
// limit and read timeout hold, one server per name, and a dead server's endpoint is replaced.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/Mailslot.h"
#include "tests/common/TestRoot.h"

namespace {

constexpr const char* kHandOver = "\\\\.\\mailslot\\QVShellE_Decrypt";

class MailslotTest : public RootedTest {};

// What a client process does: open, send each message, close. Returns the exit status.
int SendFromChild(const char* name, const std::vector<std::string>& messages) {
  return RunInChild([&] {
    const HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 10;
    for (const std::string& m : messages) {
      DWORD written = 0;
      if (!WriteFile(h, m.data(), static_cast<DWORD>(m.size()), &written, nullptr)) return 11;
      if (written != m.size()) return 12;
    }
    return CloseHandle(h) ? 0 : 13;
  });
}

// Reads every waiting message the way the role holder does: ask for the next size and the
// count, read while both say there is one.
std::vector<std::string> ReadWaiting(HANDLE server) {
  std::vector<std::string> read;
  DWORD next = 0;
  DWORD count = 0;
  while (GetMailslotInfo(server, nullptr, &next, &count, nullptr) && count != 0 &&
         next != MAILSLOT_NO_MESSAGE) {
    std::string buffer(2064, '\0');
    DWORD got = 0;
    if (!ReadFile(server, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) break;
    read.push_back(buffer.substr(0, got));
  }
  return read;
}

TEST_F(MailslotTest, MessagesFromAnotherProcessArriveWholeAndInOrder) {
  const HANDLE server = CreateMailslotA(kHandOver, 0, MAILSLOT_WAIT_FOREVER, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  DWORD maxSize = 1;
  DWORD next = 0;
  DWORD count = 1;
  DWORD timeout = 0;
  ASSERT_TRUE(GetMailslotInfo(server, &maxSize, &next, &count, &timeout));
  EXPECT_EQ(maxSize, 0u);
  EXPECT_EQ(next, MAILSLOT_NO_MESSAGE);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(timeout, MAILSLOT_WAIT_FOREVER);

  // Paths with their terminating NUL, one message each, of very different lengths.
  const std::vector<std::string> paths = {std::string("/home/u/a.qvf") + '\0',
                                          std::string(2000, 'p') + '\0', std::string(1, '\0'),
                                          std::string("/home/u/b c.qvf") + '\0'};
  ASSERT_EQ(SendFromChild(kHandOver, paths), 0);

  // Written before the child ended, so all of them are counted at once.
  ASSERT_TRUE(GetMailslotInfo(server, nullptr, &next, &count, nullptr));
  EXPECT_EQ(count, paths.size());
  EXPECT_EQ(next, paths[0].size());

  // A buffer that is too small keeps the message for the next read.
  char small[4];
  DWORD got = 99;
  EXPECT_FALSE(ReadFile(server, small, sizeof small, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(got, 0u);

  EXPECT_EQ(ReadWaiting(server), paths);
  ASSERT_TRUE(GetMailslotInfo(server, nullptr, &next, &count, nullptr));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(next, MAILSLOT_NO_MESSAGE);

  // A burst larger than the kernel's datagram queue still arrives complete.
  std::vector<std::string> burst;
  for (int i = 0; i < 200; ++i) burst.push_back("message " + std::to_string(i));
  ASSERT_EQ(SendFromChild(kHandOver, burst), 0);
  EXPECT_EQ(ReadWaiting(server), burst);

  // Closing the handle ends a read that would wait without limit.
  BOOL readResult = TRUE;
  std::thread reader([&] {
    char buffer[8];
    DWORD n = 0;
    readResult = ReadFile(server, buffer, sizeof buffer, &n, nullptr);
  });
  Sleep(10);  // usually lets the reader block first; the result is the same if it does not
  EXPECT_TRUE(CloseHandle(server));
  reader.join();
  EXPECT_FALSE(readResult);
}

TEST_F(MailslotTest, ServerLimitsMessageSizeAndReadTime) {
  const char* name = "\\\\.\\mailslot\\limited";
  const HANDLE server = CreateMailslotA(name, 16, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  SetLastError(0);
  char buffer[64];
  DWORD got = 0;
  EXPECT_FALSE(ReadFile(server, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));

  ASSERT_EQ(SendFromChild(name, {std::string(16, 'a'), std::string(17, 'b'), "ccccc",
                                 std::string(4000, 'd')}),
            0);
  DWORD count = 0;
  DWORD maxSize = 0;
  ASSERT_TRUE(GetMailslotInfo(server, &maxSize, nullptr, &count, nullptr));
  EXPECT_EQ(maxSize, 16u);
  EXPECT_EQ(count, 2u) << "messages over the limit must be dropped";
  EXPECT_EQ(ReadWaiting(server), (std::vector<std::string>{std::string(16, 'a'), "ccccc"}));
  EXPECT_TRUE(CloseHandle(server));

  // A finite read timeout returns once a message arrives, or fails when none does.
  const HANDLE timed = CreateMailslotA(name, 0, 50, nullptr);
  ASSERT_NE(timed, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(ReadFile(timed, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
  EXPECT_TRUE(CloseHandle(timed));
}

TEST_F(MailslotTest, OneServerPerNameAndDeadServersAreReplaced) {
  const HANDLE server = CreateMailslotA(kHandOver, 0, MAILSLOT_WAIT_FOREVER, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  // Mailslot names ignore case, as on Windows.
  SetLastError(0);
  EXPECT_EQ(CreateMailslotA("\\\\.\\MAILSLOT\\qvshelle_decrypt", 0, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(RunInChild([] {
              return CreateMailslotA(kHandOver, 0, 0, nullptr) == INVALID_HANDLE_VALUE &&
                             GetLastError() == ERROR_ALREADY_EXISTS
                         ? 0
                         : 1;
            }),
            0);
  EXPECT_TRUE(CloseHandle(server));

  // Once closed, nobody can send to it, and it can be created again.
  SetLastError(0);
  EXPECT_EQ(CreateFileA(kHandOver, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // A server killed without closing leaves its endpoint behind: clients are refused and a
  // new server takes the name.
  EXPECT_EQ(RunInChild([] {
              if (CreateMailslotA(kHandOver, 0, 0, nullptr) == INVALID_HANDLE_VALUE) return 1;
              raise(SIGKILL);
              return 2;
            }),
            -1);
  EXPECT_EQ(SendFromChild(kHandOver, {"lost"}), 10);
  const HANDLE replacement = CreateMailslotA(kHandOver, 0, MAILSLOT_WAIT_FOREVER, nullptr);
  ASSERT_NE(replacement, INVALID_HANDLE_VALUE);
  ASSERT_EQ(SendFromChild(kHandOver, {"kept"}), 0);
  EXPECT_EQ(ReadWaiting(replacement), std::vector<std::string>{"kept"});
  EXPECT_TRUE(CloseHandle(replacement));
}

TEST_F(MailslotTest, NameEndingInLockKeepsItsOwnEndpoint) {
  // The endpoint of "qv.lock" must not be the lock file of "qv", whichever is created first.
  const char* const plain = "\\\\.\\mailslot\\qv";
  const char* const tricky = "\\\\.\\mailslot\\QV.LOCK";
  const HANDLE first = CreateMailslotA(tricky, 0, 0, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  const HANDLE second = CreateMailslotA(plain, 0, 0, nullptr);
  ASSERT_NE(second, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  SetLastError(0);
  EXPECT_EQ(CreateMailslotA(plain, 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  SetLastError(0);
  EXPECT_EQ(CreateMailslotA("\\\\.\\mailslot\\qv.lock", 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  ASSERT_EQ(SendFromChild(plain, {"to plain"}), 0);
  ASSERT_EQ(SendFromChild(tricky, {"to tricky"}), 0);
  EXPECT_EQ(ReadWaiting(second), std::vector<std::string>{"to plain"});
  EXPECT_EQ(ReadWaiting(first), std::vector<std::string>{"to tricky"});

  // Closing one leaves the other reachable.
  EXPECT_TRUE(CloseHandle(first));
  ASSERT_EQ(SendFromChild(plain, {"still here"}), 0);
  EXPECT_EQ(ReadWaiting(second), std::vector<std::string>{"still here"});
  EXPECT_TRUE(CloseHandle(second));
}

TEST_F(MailslotTest, ChildClosingAnInheritedServerHandleLeavesItToTheParent) {
  const HANDLE server = CreateMailslotA(kHandOver, 0, MAILSLOT_WAIT_FOREVER, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  EXPECT_EQ(RunInChild([server] {
              alarm(10);  // a child stuck waiting for the parent's reader thread dies instead
              return CloseHandle(server) ? 0 : 1;
            }),
            0);
  // The endpoint is still there and the reader still takes messages off the socket: a burst
  // larger than the kernel's datagram queue is sent without the owner reading meanwhile.
  std::vector<std::string> burst;
  for (int i = 0; i < 100; ++i) burst.push_back("after " + std::to_string(i));
  ASSERT_EQ(SendFromChild(kHandOver, burst), 0);
  EXPECT_EQ(ReadWaiting(server), burst);
  EXPECT_TRUE(CloseHandle(server));
}

TEST_F(MailslotTest, NamesAndHandlesAreChecked) {
  const struct {
    std::string name;
    DWORD error;
  } cases[] = {{"QVShellE_Decrypt", ERROR_INVALID_NAME},
               {"\\\\.\\mailslot\\", ERROR_INVALID_NAME},
               {"\\\\.\\mailslot\\a/b", ERROR_INVALID_NAME},
               {"\\\\.\\mailslot\\bad\nname", ERROR_INVALID_NAME},
               {"\\\\.\\mailslot\\" + std::string(100, 'x'), ERROR_FILENAME_EXCED_RANGE}};
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(CreateMailslotA(c.name.c_str(), 0, 0, nullptr), INVALID_HANDLE_VALUE) << c.name;
    EXPECT_EQ(GetLastError(), c.error) << c.name;
  }

  // A long name (past what fits a socket address under the runtime folder) and one with
  // inner separators work end to end.
  for (const std::string& name : {"\\\\.\\mailslot\\" + std::string(70, 'L'),
                                  std::string("\\\\.\\mailslot\\qv\\sub\\..\\slot")}) {
    const HANDLE server = CreateMailslotA(name.c_str(), 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << name << " error " << GetLastError();
    ASSERT_EQ(SendFromChild(name.c_str(), {"hello"}), 0) << name;
    EXPECT_EQ(ReadWaiting(server), std::vector<std::string>{"hello"}) << name;
    EXPECT_TRUE(CloseHandle(server));
  }

  // Only mailslot clients open through CreateFileA for now, and only for writing.
  SetLastError(0);
  EXPECT_EQ(CreateFileA("/etc/passwd", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  const HANDLE server = CreateMailslotA(kHandOver, 0, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileA(kHandOver, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  const HANDLE client = CreateFileA(kHandOver, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  char byte = 'x';
  DWORD done = 0;
  EXPECT_FALSE(ReadFile(client, &byte, 1, &done, nullptr));
  EXPECT_FALSE(WriteFile(server, &byte, 1, &done, nullptr));
  EXPECT_FALSE(GetMailslotInfo(client, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(server, 0), WAIT_FAILED);

  // A client whose server went away fails to write instead of pretending.
  EXPECT_TRUE(CloseHandle(server));
  EXPECT_FALSE(WriteFile(client, &byte, 1, &done, nullptr));
  EXPECT_TRUE(CloseHandle(client));
  EXPECT_FALSE(WriteFile(client, &byte, 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
