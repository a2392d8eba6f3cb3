// Handles the library gives out (folders opened, image readers): a number that is never 0 and
// never one in use, behind which the state stays shared while any call still uses it.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/WinTypes.h"

namespace qvfs {

template <class State>
class HandleTable {
 public:
  DWORD Add(std::shared_ptr<const State> state) {
    std::lock_guard lock(mutex_);
    do {
      ++next_;
    } while (next_ == 0 || states_.count(next_) != 0);
    states_.emplace(next_, std::move(state));
    return next_;
  }
  std::shared_ptr<const State> Find(DWORD handle) {
    std::lock_guard lock(mutex_);
    const auto found = states_.find(handle);
    return found == states_.end() ? nullptr : found->second;
  }
  bool Remove(DWORD handle) {
    std::shared_ptr<const State> removed;
    {
      std::lock_guard lock(mutex_);
      const auto found = states_.find(handle);
      if (found == states_.end()) return false;
      removed = std::move(found->second);
      states_.erase(found);
    }
    return true;  // `removed` wipes its keys here unless a call still uses it
  }

 private:
  std::mutex mutex_;
  std::unordered_map<DWORD, std::shared_ptr<const State>> states_;
  DWORD next_ = 0;
};

}  // namespace qvfs
