// Threads that run an owner's tasks in order (see TaskThreads.h).
#include "engine/TaskThreads.h"

#include <utility>

TaskThreads::TaskThreads(std::size_t count) {
  try {
    for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { Run(); });
  } catch (...) {
    Stop();
    throw;
  }
}

TaskThreads::~TaskThreads() { Stop(); }

void TaskThreads::Stop() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void TaskThreads::Post(std::function<void()> task) {
  bool wake = false;
  {
    std::lock_guard guard(lock_);
    waiting_.push_back(std::move(task));
    wake = idle_ != 0;
  }
  if (wake) wake_.notify_one();
}

void TaskThreads::Clear() {
  std::lock_guard guard(lock_);
  waiting_.clear();
}

void TaskThreads::Run() {
  std::unique_lock guard(lock_);
  for (;;) {
    ++idle_;
    wake_.wait(guard, [this] { return stopping_ || !waiting_.empty(); });
    --idle_;
    if (stopping_) return;
    std::function<void()> task = std::move(waiting_.front());
    waiting_.pop_front();
    guard.unlock();
    try {
      task();
    } catch (...) {
      // Work done ahead only: a task that fails loses its own result, nothing more.
    }
    guard.lock();
  }
}
