// Keys become the commands of an accelerator table only with exactly the modifiers listed;
// a pop-up menu's choice is returned or posted, and a greyed or unknown choice is none.
#include <gtest/gtest.h>

#include "platform/ui/Accelerators.h"
#include "platform/ui/Menu.h"
#include "tests/common/HeadlessUi.h"
#include "tests/platform/ui/UiTestDialogs.h"

namespace {

MSG Key(HWND window, WORD key, BYTE modifiers = 0) {
  return MSG{window, WM_KEYDOWN, key, modifiers, 0};
}

TEST(AcceleratorsTest, KeysWithTheirModifiersBecomeCommands) {
  HeadlessUi ui;
  LambdaDialog dialog(AskTemplate(), nullptr);
  ASSERT_TRUE(dialog.Create(nullptr));
  const ACCEL entries[] = {{FVIRTKEY, VK_DELETE, 32775},
                           {FVIRTKEY | FSHIFT, VK_DELETE, 32779},
                           {FVIRTKEY | FCONTROL, 'A', 32776}};
  const HACCEL table = CreateAcceleratorTableA(entries, 3);
  ASSERT_NE(table, nullptr);
  const HWND window = dialog.GetSafeHwnd();

  MSG del = Key(window, VK_DELETE);
  MSG shiftDel = Key(window, VK_DELETE, FSHIFT);
  MSG ctrlA = Key(window, 'A', FCONTROL);
  MSG plainA = Key(window, 'A');
  MSG ctrlShiftA = Key(window, 'A', FCONTROL | FSHIFT);
  MSG notAKey{window, WM_COMMAND, VK_DELETE, 0, 0};
  EXPECT_TRUE(TranslateAcceleratorA(window, table, &del));
  EXPECT_TRUE(TranslateAcceleratorA(window, table, &shiftDel));
  EXPECT_TRUE(TranslateAcceleratorA(window, table, &ctrlA));
  EXPECT_FALSE(TranslateAcceleratorA(window, table, &plainA));
  EXPECT_FALSE(TranslateAcceleratorA(window, table, &ctrlShiftA));
  EXPECT_FALSE(TranslateAcceleratorA(window, table, &notAKey));
  EXPECT_EQ(dialog.commands, (std::vector<WORD>{32775, 32779, 32776}));

  EXPECT_TRUE(DestroyAcceleratorTable(table));
  EXPECT_FALSE(TranslateAcceleratorA(window, table, &del)) << "a destroyed table";
  EXPECT_FALSE(DestroyAcceleratorTable(table));
  dialog.DestroyWindow();
}

TEST(AcceleratorsTest, APopupMenuReturnsOrPostsTheChosenEnabledItem) {
  HeadlessUi ui;
  LambdaDialog dialog(AskTemplate(), nullptr);
  ASSERT_TRUE(dialog.Create(nullptr));
  const HMENU menu = CreatePopupMenu();
  ASSERT_TRUE(AppendMenuA(menu, MF_STRING, 32773, "Open"));
  ASSERT_TRUE(AppendMenuA(menu, MF_STRING | MF_GRAYED, 32774, "Decrypt To..."));
  UINT choice = 0;
  QvSetPopupMenuChooser([](HMENU, void* context) { return *static_cast<UINT*>(context); }, &choice);

  EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, dialog.GetSafeHwnd(), nullptr), 0)
      << "dismissed";
  choice = 32774;
  EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, dialog.GetSafeHwnd(), nullptr), 0)
      << "a greyed item cannot be chosen";
  choice = 99;
  EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, dialog.GetSafeHwnd(), nullptr), 0);
  choice = 32773;
  EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, dialog.GetSafeHwnd(), nullptr), 32773);
  EXPECT_TRUE(dialog.commands.empty()) << "TPM_RETURNCMD posts nothing";

  EXPECT_TRUE(TrackPopupMenu(menu, 0, 0, 0, 0, dialog.GetSafeHwnd(), nullptr));
  EXPECT_TRUE(PumpWaitingMessages(nullptr, nullptr));
  EXPECT_EQ(dialog.commands, std::vector<WORD>{32773});

  QvSetPopupMenuChooser(nullptr, nullptr);
  EXPECT_FALSE(TrackPopupMenu(menu, 0, 0, 0, 0, dialog.GetSafeHwnd(), nullptr));
  DestroyMenu(menu);
  dialog.DestroyWindow();
}

}  // namespace
