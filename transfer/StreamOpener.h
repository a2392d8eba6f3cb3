// The streams of a data object opened ahead of their first reads, on a thread of its own
// (started with the first), a few at a time: a receiver that takes the files one after another
// finds the next ones opened while it writes the last.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class CQvDataStream;

class StreamOpener {
 public:
  StreamOpener() = default;
  // Waits for the opening under way; those still waiting are not made.
  ~StreamOpener();
  StreamOpener(const StreamOpener&) = delete;
  StreamOpener& operator=(const StreamOpener&) = delete;

  // Opens `streams` ahead (CQvDataStream::OpenAhead), in order, after those waiting. The
  // thread is woken only when it has nothing to do, not for every stream. The streams must
  // outlive the opener.
  void Open(const std::vector<CQvDataStream*>& streams);
  // Forgets the streams still waiting.
  void Clear();

 private:
  void Run();

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<CQvDataStream*> waiting_;
  bool idle_ = false;
  bool stopping_ = false;
  std::thread thread_;
};
