// The menu table and the menu functions.
#include "platform/ui/Menu.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/Utf8.h"

namespace {

struct MenuItem {
  UINT flags;
  UINT id;
  std::string text;
};

struct MenuTable {
  std::mutex lock;
  std::uintptr_t next = 1;
  std::map<HMENU, std::vector<MenuItem>> menus;
};

MenuTable& Table() {
  static MenuTable table;
  return table;
}

constexpr UINT kSupportedFlags =
    MF_STRING | MF_SEPARATOR | MF_BYPOSITION | MF_GRAYED | MF_DISABLED | MF_CHECKED;

// The items of `menu` with the table locked, or null (last error set) for a bad handle.
std::vector<MenuItem>* ItemsOf(MenuTable& table, HMENU menu) {
  const auto found = table.menus.find(menu);
  if (found == table.menus.end()) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return nullptr;
  }
  return &found->second;
}

// The index of `item` (a position, or an id without MF_BYPOSITION); items.size() for none.
std::size_t IndexOf(const std::vector<MenuItem>& items, UINT item, UINT flags) {
  if ((flags & MF_BYPOSITION) != 0) return std::min<std::size_t>(item, items.size());
  const auto found =
      std::find_if(items.begin(), items.end(), [item](const MenuItem& m) { return m.id == item; });
  return static_cast<std::size_t>(found - items.begin());
}

}  // namespace

HMENU CreatePopupMenu() noexcept {
  try {
    MenuTable& table = Table();
    const std::lock_guard guard(table.lock);
    // Handles are never reused, so a stale handle cannot name a newer menu.
    const auto menu = reinterpret_cast<HMENU>(table.next++ << 4);
    table.menus.emplace(menu, std::vector<MenuItem>{});
    return menu;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL DestroyMenu(HMENU menu) noexcept {
  MenuTable& table = Table();
  const std::lock_guard guard(table.lock);
  if (table.menus.erase(menu) == 0) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL InsertMenuA(HMENU menu, UINT position, UINT flags, UINT_PTR id, LPCSTR text) noexcept {
  if ((flags & ~kSupportedFlags) != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  try {
    MenuTable& table = Table();
    const std::lock_guard guard(table.lock);
    std::vector<MenuItem>* items = ItemsOf(table, menu);
    if (items == nullptr) return FALSE;
    const bool separator = (flags & MF_SEPARATOR) != 0;
    MenuItem item{flags & ~MF_BYPOSITION, static_cast<UINT>(id),
                  separator || text == nullptr ? std::string() : std::string(text)};
    const std::size_t at = IndexOf(*items, position, flags);
    items->insert(items->begin() + static_cast<std::ptrdiff_t>(at), std::move(item));
    return TRUE;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text) noexcept {
  return InsertMenuA(menu, kNoMenuItem, flags | MF_BYPOSITION, id, text);
}

int GetMenuItemCount(HMENU menu) noexcept {
  MenuTable& table = Table();
  const std::lock_guard guard(table.lock);
  const std::vector<MenuItem>* items = ItemsOf(table, menu);
  return items == nullptr ? -1 : static_cast<int>(items->size());
}

UINT GetMenuItemID(HMENU menu, int position) noexcept {
  MenuTable& table = Table();
  const std::lock_guard guard(table.lock);
  const std::vector<MenuItem>* items = ItemsOf(table, menu);
  if (items == nullptr || position < 0 || static_cast<std::size_t>(position) >= items->size())
    return kNoMenuItem;
  return (*items)[static_cast<std::size_t>(position)].id;
}

UINT GetMenuState(HMENU menu, UINT item, UINT flags) noexcept {
  MenuTable& table = Table();
  const std::lock_guard guard(table.lock);
  const std::vector<MenuItem>* items = ItemsOf(table, menu);
  if (items == nullptr) return kNoMenuItem;
  const std::size_t at = IndexOf(*items, item, flags);
  return at < items->size() ? (*items)[at].flags : kNoMenuItem;
}

int GetMenuStringA(HMENU menu, UINT item, LPSTR buffer, int cchMax, UINT flags) noexcept {
  MenuTable& table = Table();
  const std::lock_guard guard(table.lock);
  const std::vector<MenuItem>* items = ItemsOf(table, menu);
  if (items == nullptr) return 0;
  const std::size_t at = IndexOf(*items, item, flags);
  if (at >= items->size()) return 0;
  const std::string& text = (*items)[at].text;
  if (buffer == nullptr) return static_cast<int>(text.size());
  if (cchMax <= 0) return 0;
  return static_cast<int>(CopyUtf8Cut(buffer, static_cast<std::size_t>(cchMax), text));
}

namespace {

struct PopupChooser {
  std::mutex lock;
  PopupMenuChooser chooser = nullptr;
  void* context = nullptr;
};

PopupChooser& Chooser() {
  static PopupChooser chooser;
  return chooser;
}

}  // namespace

void QvSetPopupMenuChooser(PopupMenuChooser chooser, void* context) noexcept {
  PopupChooser& current = Chooser();
  const std::lock_guard guard(current.lock);
  current.chooser = chooser;
  current.context = context;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int, int, int, HWND owner, const void*) noexcept {
  if (GetMenuItemCount(menu) < 0) return FALSE;
  PopupMenuChooser chooser = nullptr;
  void* context = nullptr;
  {
    PopupChooser& current = Chooser();
    const std::lock_guard guard(current.lock);
    chooser = current.chooser;
    context = current.context;
  }
  UINT chosen = chooser != nullptr ? chooser(menu, context) : 0;
  const UINT state = chosen != 0 ? GetMenuState(menu, chosen, MF_BYCOMMAND) : kNoMenuItem;
  if (state == kNoMenuItem || (state & (MF_GRAYED | MF_DISABLED | MF_SEPARATOR)) != 0) chosen = 0;
  if ((flags & TPM_RETURNCMD) != 0) return static_cast<BOOL>(chosen);
  if (chosen == 0) return FALSE;
  return PostMessageA(owner, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(chosen), 0), 0);
}
