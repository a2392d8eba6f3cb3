// Pop-up menus (HMENU) as a context-menu host builds them: create, insert text items and
// separators by position or before a command, read back each item's id, text and kind, and
// destroy. Only what the product's handlers and the hosts call; there is no display here: a
// host shows the items itself.
//
// A handle names a menu in a process-wide table, so a destroyed or bogus handle fails
// (ERROR_INVALID_MENU_HANDLE) instead of touching memory. Sub-menus, bitmaps and owner-drawn
// items are not supported (ERROR_NOT_SUPPORTED).
#pragma once

#include "platform/ui/UiTypes.h"
#include "platform/ui/WindowApi.h"

inline constexpr LSTATUS ERROR_INVALID_MENU_HANDLE = 1401;

inline constexpr UINT MF_STRING = 0x0000;
inline constexpr UINT MF_BITMAP = 0x0004;
inline constexpr UINT MF_CHECKED = 0x0008;
inline constexpr UINT MF_POPUP = 0x0010;
inline constexpr UINT MF_OWNERDRAW = 0x0100;
inline constexpr UINT MF_BYPOSITION = 0x0400;
inline constexpr UINT MF_SEPARATOR = 0x0800;

// What GetMenuItemID and GetMenuState answer for an item that does not exist.
inline constexpr UINT kNoMenuItem = 0xFFFFFFFF;

[[nodiscard]] QV_API HMENU CreatePopupMenu() noexcept;
QV_API BOOL DestroyMenu(HMENU menu) noexcept;

// Inserts before the item at `position` (MF_BYPOSITION; a position past the end appends) or
// before the item whose id is `position` (appends when there is none). `text` is copied; it
// is ignored for MF_SEPARATOR. Flags other than MF_STRING, MF_SEPARATOR, MF_BYPOSITION,
// MF_GRAYED, MF_DISABLED and MF_CHECKED are refused.
QV_API BOOL InsertMenuA(HMENU menu, UINT position, UINT flags, UINT_PTR id, LPCSTR text) noexcept;
// Appends.
QV_API BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text) noexcept;

// The number of items; -1 for a bad handle.
QV_API int GetMenuItemCount(HMENU menu) noexcept;
// The id of the item at `position`; kNoMenuItem when there is none.
QV_API UINT GetMenuItemID(HMENU menu, int position) noexcept;
// The flags of the item (MF_SEPARATOR, MF_GRAYED, ...); kNoMenuItem when there is none.
QV_API UINT GetMenuState(HMENU menu, UINT item, UINT flags) noexcept;
// The item's text: its length when `buffer` is null, else copied into `buffer` of `cchMax`
// bytes (terminated, cut between whole characters) with the number of bytes copied. 0 for a
// separator or no such item.
QV_API int GetMenuStringA(HMENU menu, UINT item, LPSTR buffer, int cchMax, UINT flags) noexcept;

// ---- Showing a pop-up menu ----

inline constexpr UINT TPM_LEFTALIGN = 0x0000;
inline constexpr UINT TPM_RIGHTBUTTON = 0x0002;
inline constexpr UINT TPM_RETURNCMD = 0x0100;

// Who picks an item when a pop-up menu is shown: the host (a terminal prompt) or a test. It
// returns the chosen item's id, 0 when the menu was dismissed. Without one every menu is
// dismissed. One per process; null removes it.
using PopupMenuChooser = UINT (*)(HMENU menu, void* context);
QV_API void QvSetPopupMenuChooser(PopupMenuChooser chooser, void* context) noexcept;

// Shows `menu` at x, y for `owner`. The chosen item must exist and be enabled; a greyed or
// unknown id counts as dismissed. With TPM_RETURNCMD the id is returned (0: none), otherwise
// WM_COMMAND with that id is posted to `owner` and TRUE is returned when an item was chosen.
QV_API BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                           const void* rect) noexcept;
