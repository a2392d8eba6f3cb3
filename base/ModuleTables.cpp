// The module tables behind their lock.
#include "base/ModuleTables.h"

#include "platform/AsciiCase.h"
#include "platform/Files.h"

namespace {

constexpr DWORD kPathBufferSize = 8000;

}  // namespace

std::string ModuleTables::ContainerKey(std::string_view containerPath) {
  const std::string path(containerPath);
  std::string buffer(kPathBufferSize, '\0');
  const DWORD length = GetFullPathNameA(path.c_str(), kPathBufferSize, buffer.data());
  // A path the buffer cannot take is kept as it is: it still names one entry consistently.
  if (length == 0 || length >= kPathBufferSize) return path;
  buffer.resize(length);
  while (buffer.size() > 1 && buffer.back() == '/') buffer.pop_back();
  // The folder holding the container is named by its real path, so a container reached
  // through a linked folder meets the same entry. The file's own name is kept as it is: a
  // container deleted while its view is open must still find the entry it was counted under.
  const std::size_t slash = buffer.rfind('/');
  if (slash == std::string::npos || slash == 0) return buffer;
  const std::string folder = buffer.substr(0, slash);
  std::string real(kPathBufferSize, '\0');
  const DWORD realLength = GetFinalPathNameA(folder.c_str(), real.data(), kPathBufferSize);
  if (realLength == 0 || realLength >= kPathBufferSize) return buffer;
  real.resize(realLength);
  if (real.back() == '/') real.pop_back();
  return real + buffer.substr(slash);
}

std::string ModuleTables::AddOpenView(std::string_view containerPath, HWND window) {
  const std::string container = ContainerKey(containerPath);
  const std::string prefix = ToUpperAscii(container);
  const std::lock_guard guard(lock_);
  for (unsigned long n = 0;; ++n) {
    std::string key = prefix + std::to_string(n);
    if (openViews_.contains(key)) continue;
    openViews_.emplace(key, OpenView{window, container});
    return key;
  }
}

void ModuleTables::RemoveOpenView(const std::string& key) {
  const std::lock_guard guard(lock_);
  openViews_.erase(key);
}

std::vector<HWND> ModuleTables::OpenViewsOf(std::string_view containerPath) const {
  const std::string container = ContainerKey(containerPath);
  std::vector<HWND> windows;
  const std::lock_guard guard(lock_);
  for (const auto& [key, view] : openViews_)
    if (view.container == container) windows.push_back(view.window);
  return windows;
}

std::vector<HWND> ModuleTables::AllOpenViews() const {
  std::vector<HWND> windows;
  const std::lock_guard guard(lock_);
  for (const auto& [key, view] : openViews_) windows.push_back(view.window);
  return windows;
}

std::size_t ModuleTables::OpenViewCount() const {
  const std::lock_guard guard(lock_);
  return openViews_.size();
}

void ModuleTables::AddVerifiedView(std::string_view containerPath, const std::string& userId) {
  const std::string container = ContainerKey(containerPath);
  const std::lock_guard guard(lock_);
  VerifiedContainer& entry = verified_[container];
  ++entry.views;
  entry.userId = userId;
}

void ModuleTables::RemoveVerifiedView(std::string_view containerPath) {
  const std::string container = ContainerKey(containerPath);
  const std::lock_guard guard(lock_);
  const auto found = verified_.find(container);
  if (found == verified_.end()) return;
  if (--found->second.views == 0) verified_.erase(found);
}

std::size_t ModuleTables::VerifiedViewCount(std::string_view containerPath) const {
  const std::string container = ContainerKey(containerPath);
  const std::lock_guard guard(lock_);
  const auto found = verified_.find(container);
  return found != verified_.end() ? found->second.views : 0;
}

std::string ModuleTables::VerifiedUser(std::string_view containerPath) const {
  const std::string container = ContainerKey(containerPath);
  const std::lock_guard guard(lock_);
  const auto found = verified_.find(container);
  return found != verified_.end() ? found->second.userId : std::string();
}

void ModuleTables::Clear() {
  const std::lock_guard guard(lock_);
  openViews_.clear();
  verified_.clear();
}
