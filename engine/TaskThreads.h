// A few threads kept for an owner's life that run the tasks it hands them, in the order given
// (the files of a transfer opened ahead, the chunks of a file read ahead). A thread is woken
// only when one waits for work, never for each task: a busy thread takes the next task when it
// is done, and on this kind of machine waking a thread on the other core costs about as much
// as opening a small file.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class TaskThreads {
 public:
  // Starts `count` threads (std::system_error when they cannot be started).
  explicit TaskThreads(std::size_t count);
  // Waits for the tasks under way; those still waiting are not run.
  ~TaskThreads();
  TaskThreads(const TaskThreads&) = delete;
  TaskThreads& operator=(const TaskThreads&) = delete;

  // Runs `task` on one of the threads after those given before.
  void Post(std::function<void()> task);
  // Forgets the tasks still waiting.
  void Clear();

 private:
  void Run();
  void Stop();

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> waiting_;
  std::size_t idle_ = 0;  // threads waiting for a task
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};
