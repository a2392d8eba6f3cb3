// Owners of what the system hands out and must be given back exactly once: a kernel handle
// (CloseHandle), the hold of a mutex this thread took (ReleaseMutex), a find handle
// (FindClose), and a block from malloc (free), such as the buffers the container and the
// library return. Each gives back what it holds when it goes or is reset; moving hands that
// duty to the new owner, so a moved-from owner gives back nothing.
#pragma once

#include <cstdlib>
#include <memory>
#include <utility>

#include "platform/Files.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/WinTypes.h"

// `Traits` says which values hold nothing (`Empty`, and `IsEmpty` for every such value) and
// how a held value is given back (`GiveBack`).
template <class Traits>
class OwnedHandleOf {
 public:
  OwnedHandleOf() = default;
  explicit OwnedHandleOf(HANDLE handle) : handle_(handle) {}
  ~OwnedHandleOf() { Reset(); }
  OwnedHandleOf(OwnedHandleOf&& other) noexcept : handle_(other.Release()) {}
  OwnedHandleOf& operator=(OwnedHandleOf&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  OwnedHandleOf(const OwnedHandleOf&) = delete;
  OwnedHandleOf& operator=(const OwnedHandleOf&) = delete;

  HANDLE Get() const { return handle_; }
  bool Valid() const { return !Traits::IsEmpty(handle_); }
  // Lets go without giving back: the caller owns the handle now.
  [[nodiscard]] HANDLE Release() { return std::exchange(handle_, Traits::Empty()); }
  // Gives back what is held, then holds `handle`.
  void Reset(HANDLE handle = Traits::Empty()) {
    const HANDLE old = std::exchange(handle_, handle);
    if (!Traits::IsEmpty(old)) Traits::GiveBack(old);
  }

 private:
  HANDLE handle_ = Traits::Empty();
};

namespace qv::detail {

struct KernelHandleTraits {
  static HANDLE Empty() { return nullptr; }
  // CreateFileA fails with INVALID_HANDLE_VALUE, the other creators with null.
  static bool IsEmpty(HANDLE handle) { return handle == nullptr || handle == INVALID_HANDLE_VALUE; }
  static void GiveBack(HANDLE handle) { (void)CloseHandle(handle); }
};

struct HeldMutexTraits {
  static HANDLE Empty() { return nullptr; }
  static bool IsEmpty(HANDLE mutex) { return mutex == nullptr; }
  static void GiveBack(HANDLE mutex) { (void)ReleaseMutex(mutex); }
};

struct FindHandleTraits {
  static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
  static bool IsEmpty(HANDLE find) { return find == nullptr || find == INVALID_HANDLE_VALUE; }
  static void GiveBack(HANDLE find) { (void)FindClose(find); }
};

}  // namespace qv::detail

// A handle of a kernel object (thread, event, mutex, mailslot, file), closed when it goes.
using OwnedHandle = OwnedHandleOf<qv::detail::KernelHandleTraits>;
// One level of this thread's ownership of a mutex (taken by a wait or at creation), released
// when it goes. The mutex handle itself stays open: an OwnedHandle closes it.
using HeldMutex = OwnedHandleOf<qv::detail::HeldMutexTraits>;
// A FindFirstFileA handle, closed with FindClose when it goes.
using FindHandle = OwnedHandleOf<qv::detail::FindHandleTraits>;

struct FreeDeleter {
  void operator()(void* block) const noexcept { std::free(block); }
};
// A block from malloc (an out-parameter of the library or the container), freed when it goes.
template <class T>
using FreedPtr = std::unique_ptr<T, FreeDeleter>;
