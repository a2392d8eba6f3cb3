// Pop-up menus: insertion by position and before a command, separators, reading items back,
// and handles that are no menu (any more).
#include <gtest/gtest.h>

#include <string>

#include "platform/LastError.h"
#include "platform/ui/Menu.h"

namespace {

std::string Describe(HMENU menu) {
  std::string out;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    const UINT position = static_cast<UINT>(i);
    if ((GetMenuState(menu, position, MF_BYPOSITION) & MF_SEPARATOR) != 0) {
      out += "-" + std::to_string(GetMenuItemID(menu, i)) + " ";
      continue;
    }
    char text[8] = {};
    (void)GetMenuStringA(menu, position, text, sizeof text, MF_BYPOSITION);
    out += std::string(text) + std::to_string(GetMenuItemID(menu, i)) + " ";
  }
  return out;
}

TEST(MenuTest, ItemsGoWhereTheyAreInsertedAndReadBack) {
  const HMENU menu = CreatePopupMenu();
  ASSERT_NE(menu, nullptr);
  EXPECT_TRUE(AppendMenuA(menu, MF_STRING, 10, "Open"));
  EXPECT_TRUE(InsertMenuA(menu, 0, MF_BYPOSITION | MF_STRING, 11, "Cut"));
  EXPECT_TRUE(InsertMenuA(menu, 1, MF_BYPOSITION | MF_SEPARATOR, 12, "ignored"));
  EXPECT_TRUE(InsertMenuA(menu, 99, MF_BYPOSITION | MF_STRING, 13, "End"));
  EXPECT_TRUE(InsertMenuA(menu, 10, MF_BYCOMMAND | MF_STRING, 14, "Pre"));
  EXPECT_EQ(Describe(menu), "Cut11 -12 Pre14 Open10 End13 ");
  EXPECT_EQ(GetMenuStringA(menu, 13, nullptr, 0, MF_BYCOMMAND), 3);
  char cut[3];
  EXPECT_EQ(GetMenuStringA(menu, 10, cut, sizeof cut, MF_BYCOMMAND), 2);
  EXPECT_STREQ(cut, "Op");
  EXPECT_EQ(GetMenuItemID(menu, 5), kNoMenuItem);
  EXPECT_EQ(GetMenuState(menu, 99, MF_BYCOMMAND), kNoMenuItem);
  EXPECT_FALSE(InsertMenuA(menu, 0, MF_BYPOSITION | MF_POPUP, 15, "Sub"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_TRUE(DestroyMenu(menu));

  // A destroyed menu is no menu, and its handle is not given out again.
  EXPECT_EQ(GetMenuItemCount(menu), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_MENU_HANDLE));
  EXPECT_FALSE(AppendMenuA(menu, MF_STRING, 1, "x"));
  EXPECT_FALSE(DestroyMenu(menu));
  const HMENU next = CreatePopupMenu();
  EXPECT_NE(next, menu);
  EXPECT_EQ(GetMenuItemCount(next), 0);
  EXPECT_TRUE(DestroyMenu(next));
}

}  // namespace
