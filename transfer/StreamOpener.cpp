// The thread that opens streams ahead (see StreamOpener.h).
#include "transfer/StreamOpener.h"

#include "transfer/CQvDataStream.h"

StreamOpener::~StreamOpener() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void StreamOpener::Open(const std::vector<CQvDataStream*>& streams) {
  bool wake = false;
  {
    std::lock_guard guard(lock_);
    waiting_.insert(waiting_.end(), streams.begin(), streams.end());
    if (!thread_.joinable()) {
      thread_ = std::thread([this] { Run(); });
      return;
    }
    // Waking a thread on the other core costs about as much as an opening: only when idle.
    wake = idle_;
  }
  if (wake) wake_.notify_one();
}

void StreamOpener::Clear() {
  std::lock_guard guard(lock_);
  waiting_.clear();
}

void StreamOpener::Run() {
  std::unique_lock guard(lock_);
  for (;;) {
    idle_ = true;
    wake_.wait(guard, [this] { return stopping_ || !waiting_.empty(); });
    idle_ = false;
    if (stopping_) return;
    CQvDataStream* stream = waiting_.front();
    waiting_.pop_front();
    guard.unlock();
    stream->OpenAhead();
    guard.lock();
  }
}
