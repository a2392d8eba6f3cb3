// Mailslots: messages from other processes arrive whole and in order, the server's size
// limit and read timeout hold, one server per name, and a dead server's endpoint is replaced.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/Mailslot.h"
#include "tests/common/TestRoot.h"

namespace {

using Messages = std::vector<std::string>;
constexpr const char* kHandOver = "\\\\.\\mailslot\\QVShellE_Decrypt";

class MailslotTest : public RootedTest {};

HANDLE OpenClient(const char* name) {
  return CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A client process opens the mailslot, sends each message and closes; returns its exit status.
int SendFromChild(const char* name, const Messages& messages) {
  return RunInChild([&] {
    const HANDLE h = OpenClient(name);
    if (h == INVALID_HANDLE_VALUE) return 10;
    DWORD written = 0;
    for (const std::string& m : messages)
      if (!WriteFile(h, m.data(), static_cast<DWORD>(m.size()), &written, nullptr) ||
          written != m.size())
        return 11;
    return CloseHandle(h) ? 0 : 13;
  });
}

// Reads every waiting message the way the role holder does: while the count says there is one.
Messages ReadWaiting(HANDLE server) {
  Messages read;
  std::string buffer(2064, '\0');
  DWORD next = 0, count = 0, got = 0;
  while (GetMailslotInfo(server, nullptr, &next, &count, nullptr) && count != 0 &&
         next != MAILSLOT_NO_MESSAGE &&
         ReadFile(server, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
    read.push_back(buffer.substr(0, got));
  return read;
}

TEST_F(MailslotTest, MessagesFromAnotherProcessArriveWholeAndInOrder) {
  const HANDLE server = CreateMailslotA(kHandOver, 0, MAILSLOT_WAIT_FOREVER, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  EXPECT_EQ(RunInChild([server] {
              alarm(10);  // a child stuck waiting for the parent's reader thread dies instead
              return CloseHandle(server) ? 0 : 1;
            }),
            0);
  // Paths of very different lengths, then more than the kernel's datagram queue holds.
  Messages paths = {std::string("/home/u/a.qvf") + '\0', std::string(2000, 'p') + '\0',
                    std::string(1, '\0'), std::string("/home/u/b c.qvf") + '\0'};
  for (int i = 0; i < 100; ++i) paths.push_back("after " + std::to_string(i));
  ASSERT_EQ(SendFromChild(kHandOver, paths), 0);
  // A buffer that is too small keeps the message for the next read.
  char small[4];
  DWORD got = 99;
  EXPECT_FALSE(ReadFile(server, small, sizeof small, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(ReadWaiting(server), paths);

  // Closing the handle ends a read that would wait without limit.
  BOOL readResult = TRUE;
  std::thread reader([&] { readResult = ReadFile(server, small, sizeof small, &got, nullptr); });
  Sleep(10);  // usually lets the reader block first; the result is the same if it does not
  EXPECT_TRUE(CloseHandle(server));
  reader.join();
  EXPECT_FALSE(readResult);
}

TEST_F(MailslotTest, ServerDropsOversizedMessagesAndTimesOutReads) {
  // Also a name too long for a socket address under the runtime folder.
  const std::string name = "\\\\.\\mailslot\\" + std::string(70, 'L');
  const HANDLE server = CreateMailslotA(name.c_str(), 16, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  char buffer[64];
  DWORD got = 0;
  EXPECT_FALSE(ReadFile(server, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
  ASSERT_EQ(SendFromChild(name.c_str(), {std::string(16, 'a'), std::string(17, 'b'), "ccccc",
                                         std::string(4000, 'd')}),
            0);
  EXPECT_EQ(ReadWaiting(server), (Messages{std::string(16, 'a'), "ccccc"}));
  EXPECT_TRUE(CloseHandle(server));
}

TEST_F(MailslotTest, OneServerPerNameDeadServersReplacedAndLockNamesKeptApart) {
  const HANDLE server = CreateMailslotA(kHandOver, 0, MAILSLOT_WAIT_FOREVER, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  EXPECT_EQ(RunInChild([] {  // names ignore case
              const bool refused = CreateMailslotA("\\\\.\\MAILSLOT\\qvshelle_decrypt", 0, 0,
                                                   nullptr) == INVALID_HANDLE_VALUE;
              return refused && GetLastError() == ERROR_ALREADY_EXISTS ? 0 : 1;
            }),
            0);
  EXPECT_TRUE(CloseHandle(server));

  // A killed server leaves its endpoint behind: clients are refused, a new server takes it.
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
  EXPECT_EQ(ReadWaiting(replacement), Messages{"kept"});
  EXPECT_TRUE(CloseHandle(replacement));

  // The endpoint of "qv.lock" must not be the lock file of "qv", whichever is created first.
  const char* const plain = "\\\\.\\mailslot\\qv";
  const char* const tricky = "\\\\.\\mailslot\\QV.LOCK";
  const HANDLE first = CreateMailslotA(tricky, 0, 0, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  const HANDLE second = CreateMailslotA(plain, 0, 0, nullptr);
  ASSERT_NE(second, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  ASSERT_EQ(SendFromChild(plain, {"to plain"}), 0);
  ASSERT_EQ(SendFromChild(tricky, {"to tricky"}), 0);
  EXPECT_EQ(ReadWaiting(second), Messages{"to plain"});
  EXPECT_EQ(ReadWaiting(first), Messages{"to tricky"});
  EXPECT_TRUE(CloseHandle(first) && CloseHandle(second));
}

TEST_F(MailslotTest, BadNamesAndClientsOfClosedServersFail) {
  const std::string tooLong = "\\\\.\\mailslot\\" + std::string(100, 'x');
  for (const auto& [bad, error] : {std::pair<const char*, DWORD>{"Decrypt", ERROR_INVALID_NAME},
                                   {"\\\\.\\mailslot\\a/b", ERROR_INVALID_NAME},
                                   {tooLong.c_str(), ERROR_FILENAME_EXCED_RANGE}}) {
    EXPECT_EQ(CreateMailslotA(bad, 0, 0, nullptr), INVALID_HANDLE_VALUE) << bad;
    EXPECT_EQ(GetLastError(), error) << bad;
  }
  const HANDLE server = CreateMailslotA(kHandOver, 0, 0, nullptr);
  const HANDLE client = OpenClient(kHandOver);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(server));
  DWORD done = 0;
  EXPECT_FALSE(WriteFile(client, "x", 1, &done, nullptr)) << "the server went away";
  EXPECT_TRUE(CloseHandle(client));
}

TEST_F(MailslotTest, ReadsFailOnceAnEndedReaderLeavesNothingQueued) {
  const HANDLE server = CreateMailslotA(kHandOver, 0, MAILSLOT_WAIT_FOREVER, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  ASSERT_EQ(SendFromChild(kHandOver, {"queued"}), 0);
  ASSERT_TRUE(qv::detail::StopMailslotReaderForTesting(server));
  EXPECT_EQ(ReadWaiting(server), Messages{"queued"});
  auto read = std::async(std::launch::async, [server] {
    char buffer[16];
    DWORD got = 0;
    return ReadFile(server, buffer, sizeof buffer, &got, nullptr) ? 0 : GetLastError();
  });
  const bool ended = read.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(ended) << "the read waits for a reader that has ended";
  EXPECT_FALSE(ended && GetMailslotInfo(server, nullptr, nullptr, nullptr, nullptr));
  EXPECT_TRUE(CloseHandle(server));  // also ends a read that is still waiting
  EXPECT_EQ(read.get(), static_cast<DWORD>(ERROR_READ_FAULT));
}

// A server that does not read keeps at most 8 MiB of messages however few they are; the rest
// wait in the sender, which gives up after its time-out. Nothing taken in is lost or reordered.
TEST_F(MailslotTest, TheQueueHoldsABoundedNumberOfBytes) {
  constexpr std::size_t kQueuedBytesLimit = 8u << 20;
  constexpr std::size_t kMessageSize = 64u << 10;
  constexpr int kMessages = 160;  // 10 MiB, far fewer messages than the count limit
  const HANDLE server = CreateMailslotA(kHandOver, 0, 5000, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  const auto message = [](int i) { return std::to_string(i) + std::string(kMessageSize, 'm'); };
  // Made before the fork: the child of a threaded process does not allocate (an allocator
  // lock held by another thread at the fork would stay held in the child).
  std::vector<std::string> messages;
  for (int i = 0; i < kMessages; ++i) messages.push_back(message(i));
  // Exits with the number of messages sent before a write failed.
  const int sent = RunInChild([&] {
    alarm(60);
    const HANDLE h = OpenClient(kHandOver);
    if (h == INVALID_HANDLE_VALUE) return 255;
    int done = 0;
    DWORD written = 0;
    for (; done < kMessages; ++done) {
      const std::string& m = messages[static_cast<std::size_t>(done)];
      if (!WriteFile(h, m.data(), static_cast<DWORD>(m.size()), &written, nullptr)) break;
    }
    (void)CloseHandle(h);
    return done;
  });
  ASSERT_GT(sent, 0);
  ASSERT_LE(sent, kMessages);
  DWORD next = 0, count = 0;
  ASSERT_TRUE(GetMailslotInfo(server, nullptr, &next, &count, nullptr));
  EXPECT_GT(count, 0u);
  // Each message is a little longer than kMessageSize; the queue stops taking them once it
  // holds the limit.
  EXPECT_LE(count, kQueuedBytesLimit / kMessageSize) << count << " messages queued";
  std::string buffer(kMessageSize + 8, '\0');
  DWORD got = 0;
  for (int i = 0; i < sent; ++i) {
    ASSERT_TRUE(ReadFile(server, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
        << "message " << i << " of " << sent << " sent";
    ASSERT_TRUE(buffer.substr(0, got) == messages[static_cast<std::size_t>(i)]) << "message " << i;
  }
  EXPECT_TRUE(CloseHandle(server));
}

}  // namespace
