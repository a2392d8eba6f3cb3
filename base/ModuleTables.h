// The module-wide tables that connect a container's views with the code that works on the
// container: the open-view table (every open view by key), and per container the number of
// open views whose user passed verification with the user verified there. The enumerator
// lists a container only while it has such a view, a drop skips the verification for it, and
// an operation on it acts for the verified user rather than for whoever started it.
//
// Views of one container may live on different file-manager threads, so the tables are one
// object behind one lock; every method takes it for the whole of its work and nothing it
// returns points into the tables. A container is named by its absolute path with ".", ".."
// and repeated separators resolved and its folder's links followed, so two spellings of one
// path meet in the same entry.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/WinTypes.h"

class ModuleTables {
 public:
  // The key under which a container's entries are kept (see the top of this file).
  [[nodiscard]] static std::string ContainerKey(std::string_view containerPath);

  // ---- Open views ----

  // Registers a view's window under the first free key "<CONTAINER PATH><n>" (upper case,
  // n = 0, 1, ...) and returns that key, which the view keeps to remove itself.
  std::string AddOpenView(std::string_view containerPath, HWND window);
  // Forgets the view registered under `key`; nothing happens for an unknown key.
  void RemoveOpenView(const std::string& key);
  // The windows of the open views of `containerPath`, in no particular order.
  [[nodiscard]] std::vector<HWND> OpenViewsOf(std::string_view containerPath) const;
  [[nodiscard]] std::size_t OpenViewCount() const;
  // The windows of every open view, of every container, in no particular order.
  [[nodiscard]] std::vector<HWND> AllOpenViews() const;

  // ---- Verified views and their users ----

  // A view of `containerPath` passed verification for `userId`: the container counts one
  // more verified view, and `userId` becomes the user verified for it.
  void AddVerifiedView(std::string_view containerPath, const std::string& userId);
  // A view that AddVerifiedView counted is closing: one verified view fewer; at none the
  // container's entry (count and user) goes. A container without an entry is left alone.
  void RemoveVerifiedView(std::string_view containerPath);
  // How many views of `containerPath` are open with a verified user.
  [[nodiscard]] std::size_t VerifiedViewCount(std::string_view containerPath) const;
  // The user id verified for `containerPath`; empty when there is none.
  [[nodiscard]] std::string VerifiedUser(std::string_view containerPath) const;

  // Empties every table (library start and end).
  void Clear();

 private:
  struct VerifiedContainer {
    std::size_t views = 0;
    std::string userId;
  };

  struct OpenView {
    HWND window = nullptr;
    std::string container;  // ContainerKey: the key itself is upper case, paths are not
  };

  mutable std::mutex lock_;
  std::unordered_map<std::string, OpenView> openViews_;
  // By ContainerKey.
  std::unordered_map<std::string, VerifiedContainer> verified_;
};
