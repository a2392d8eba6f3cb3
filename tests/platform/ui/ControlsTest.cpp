// Control classes: list view items, states, notifications and label editing; progress bar
// range and steps; enabled state and the system menu.
#include <gtest/gtest.h>

#include "platform/ui/Controls.h"
#include "tests/common/HeadlessUi.h"
#include "tests/platform/ui/UiTestDialogs.h"

namespace {

class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dialog_.onNotify = [this](LambdaDialog&, const NMHDR* header) -> LRESULT {
      if (header->code == LVN_DELETEITEM)
        deleted_.push_back(reinterpret_cast<const NMLISTVIEW*>(header)->lParam);
      if (header->code == LVN_BEGINLABELEDITA) return vetoEdit_ ? TRUE : FALSE;
      if (header->code == LVN_ENDLABELEDITA) {
        const auto* info = reinterpret_cast<const NMLVDISPINFOA*>(header);
        edited_.push_back(info->item.pszText != nullptr ? info->item.pszText : "<cancelled>");
        return acceptEdit_ ? TRUE : FALSE;
      }
      return 0;
    };
    ASSERT_TRUE(dialog_.Create(nullptr));
    list_ = CListCtrl(::GetDlgItem(dialog_.GetSafeHwnd(), 201));
    progress_ = CProgressCtrl(::GetDlgItem(dialog_.GetSafeHwnd(), 902));
  }

  HeadlessUi ui_;
  LambdaDialog dialog_{ProgressTemplate(), nullptr};
  CListCtrl list_;
  CProgressCtrl progress_;
  std::vector<LPARAM> deleted_;
  std::vector<std::string> edited_;
  bool vetoEdit_ = false;
  bool acceptEdit_ = true;
};

TEST_F(ControlsTest, ListRowsColumnsAndStates) {
  EXPECT_EQ(list_.InsertColumn(0, "Filename"), 0);
  EXPECT_EQ(list_.InsertColumn(5, "Status", LVCFMT_RIGHT, 40), 1);  // clamped to the end
  EXPECT_EQ(list_.GetColumnWidth(1), 40);
  EXPECT_TRUE(list_.SetColumnWidth(1, LVSCW_AUTOSIZE_USEHEADER));
  EXPECT_EQ(list_.GetColumnWidth(1), list_.GetColumnWidth(0) - 14)
      << "auto-size follows the title length (Status is 2 characters shorter)";

  EXPECT_EQ(list_.InsertItem(0, "b.txt"), 0);
  EXPECT_EQ(list_.InsertItem(0, "a.txt"), 0);
  EXPECT_EQ(list_.InsertItem(99, "c.txt"), 2);
  EXPECT_TRUE(list_.SetItemText(2, 1, "Success"));
  EXPECT_FALSE(list_.SetItemText(2, 2, "no such column"));
  EXPECT_FALSE(list_.SetItemText(3, 0, "no such row"));
  EXPECT_EQ(list_.GetItemText(1, 0), "b.txt");
  EXPECT_EQ(list_.GetItemText(2, 1), "Success");

  list_.SetItemState(0, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED);
  list_.SetItemState(2, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED);
  EXPECT_EQ(list_.GetItemState(0, LVIS_FOCUSED | LVIS_SELECTED), LVIS_SELECTED)
      << "only one item holds the focus";
  EXPECT_EQ(list_.GetSelectedCount(), 2u);
  EXPECT_EQ(list_.GetNextItem(-1, LVNI_SELECTED), 0);
  EXPECT_EQ(list_.GetNextItem(0, LVNI_SELECTED), 2);
  EXPECT_EQ(list_.GetNextItem(2, LVNI_SELECTED), -1);
  list_.SetItemState(-1, LVIS_CUT, LVIS_CUT);
  EXPECT_EQ(list_.GetItemState(1, LVIS_CUT), LVIS_CUT);

  EXPECT_EQ(list_.GetView(), LVS_REPORT);
  EXPECT_TRUE(list_.SetView(LVS_SMALLICON));
  EXPECT_EQ(list_.GetView(), LVS_SMALLICON);
}

TEST_F(ControlsTest, DeletedItemsAreReportedWithTheirDataSoTheOwnerCanFreeIt) {
  for (int i = 0; i < 3; ++i) {
    list_.InsertItem(i, "x");
    list_.SetItemData(i, 100 + i);
  }
  EXPECT_TRUE(list_.DeleteItem(1));
  EXPECT_FALSE(list_.DeleteItem(5));
  EXPECT_EQ(deleted_, std::vector<LPARAM>{101});
  EXPECT_EQ(list_.GetItemData(1), 102);
  EXPECT_TRUE(list_.DeleteAllItems());
  EXPECT_EQ(deleted_, (std::vector<LPARAM>{101, 100, 102}));
  EXPECT_EQ(list_.GetItemCount(), 0);
}

TEST_F(ControlsTest, LabelEditingAsksTheOwnerAtBothEnds) {
  list_.InsertItem(0, "old name");
  vetoEdit_ = true;
  EXPECT_FALSE(list_.EditLabel(0));
  vetoEdit_ = false;
  ASSERT_TRUE(list_.EditLabel(0));
  EXPECT_EQ(list_.GetEditingItem(), 0);
  acceptEdit_ = false;
  EXPECT_FALSE(list_.EndEditLabel("refused"));
  EXPECT_EQ(list_.GetItemText(0, 0), "old name");
  ASSERT_TRUE(list_.EditLabel(0));
  EXPECT_FALSE(list_.EndEditLabel(nullptr));
  acceptEdit_ = true;
  ASSERT_TRUE(list_.EditLabel(0));
  EXPECT_TRUE(list_.EndEditLabel("new name"));
  EXPECT_EQ(list_.GetItemText(0, 0), "new name");
  EXPECT_EQ(edited_, (std::vector<std::string>{"refused", "<cancelled>", "new name"}));
  EXPECT_EQ(list_.GetEditingItem(), -1);
  EXPECT_FALSE(list_.EndEditLabel("nothing is being edited"));
}

TEST_F(ControlsTest, ProgressStaysInItsRange) {
  progress_.SetRange32(0, 3);
  progress_.SetStep(1);
  EXPECT_EQ(progress_.SetPos(10), 0);
  EXPECT_EQ(progress_.GetPos(), 3);
  EXPECT_EQ(progress_.SetPos(-4), 3);
  EXPECT_EQ(progress_.GetPos(), 0);
  progress_.StepIt();
  progress_.StepIt();
  progress_.StepIt();
  EXPECT_EQ(progress_.GetPos(), 3);
  progress_.StepIt();  // past the end wraps to the start
  EXPECT_EQ(progress_.GetPos(), 0);
  progress_.SetPos(2);
  progress_.SetRange32(0, 1);
  EXPECT_EQ(progress_.GetPos(), 1);
}

TEST_F(ControlsTest, EnabledShownAndCloseItemReportPreviousStates) {
  CWnd cancel = dialog_.GetDlgItem(IDCANCEL);
  EXPECT_FALSE(cancel.EnableWindow(FALSE));
  EXPECT_TRUE(cancel.EnableWindow(TRUE));
  EXPECT_TRUE(cancel.ShowWindow(SW_HIDE));
  EXPECT_FALSE(cancel.IsWindowVisible());
  const HMENU menu = GetSystemMenu(dialog_.GetSafeHwnd(), FALSE);
  EXPECT_EQ(EnableMenuItem(menu, SC_CLOSE, MF_GRAYED), MF_ENABLED);
  EXPECT_EQ(EnableMenuItem(menu, SC_CLOSE, MF_ENABLED), MF_GRAYED);
  EXPECT_EQ(EnableMenuItem(menu, 1234, MF_GRAYED), static_cast<UINT>(-1));
  EXPECT_EQ(GetDlgItem(dialog_.GetSafeHwnd(), 4242), nullptr);
  EXPECT_EQ(GetParent(cancel.GetSafeHwnd()), dialog_.GetSafeHwnd());

  char small[4];
  dialog_.SetDlgItemText(900, "Encrypting \xC3\xA9t\xC3\xA9");
  EXPECT_EQ(GetDlgItemTextA(dialog_.GetSafeHwnd(), 900, small, sizeof small), 3u);
  EXPECT_STREQ(small, "Enc");
  char cut[13];
  // "Encrypting " is 11 bytes; the two-byte character that follows does not fit whole.
  EXPECT_EQ(GetDlgItemTextA(dialog_.GetSafeHwnd(), 900, cut, sizeof cut), 11u);
}

}  // namespace
