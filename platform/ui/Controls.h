// Control classes of the framework, each a CWnd over one control of a dialog: buttons and
// check boxes, static texts and icons, progress bar, animation and list view. They change
// the control's state and report each change to the back end.
#pragma once

#include <string>

#include "platform/ui/Dialog.h"

class CButton : public CWnd {
 public:
  using CWnd::CWnd;
  void SetCheck(int check) {
    ::CheckDlgButton(::GetParent(m_hWnd), ::GetDlgCtrlID(m_hWnd), static_cast<UINT>(check));
  }
  int GetCheck() const {
    return static_cast<int>(::IsDlgButtonChecked(::GetParent(m_hWnd), ::GetDlgCtrlID(m_hWnd)));
  }
};

class CStatic : public CWnd {
 public:
  using CWnd::CWnd;
  // Shows `icon` in an icon control; returns the icon shown before (null for none).
  HICON SetIcon(HICON icon);
};

class CEdit : public CWnd {
 public:
  using CWnd::CWnd;
};

class CProgressCtrl : public CWnd {
 public:
  using CWnd::CWnd;
  void SetRange32(int lower, int upper);
  void GetRange(int& lower, int& upper) const;
  // Positions are clamped to the range. Both return the previous position.
  int SetPos(int position);
  int GetPos() const;
  int SetStep(int step);
  int StepIt();
};

class CAnimateCtrl : public CWnd {
 public:
  using CWnd::CWnd;
  // Opens an animation resource of the module; FALSE for 0.
  BOOL Open(UINT resource);
  // Plays frames from..to (to = (UINT)-1: the last frame), `repeat` times ((UINT)-1: endless).
  BOOL Play(UINT from, UINT to, UINT repeat);
  BOOL Stop();
  BOOL Close();
  bool IsPlaying() const;
};

class CListCtrl : public CWnd {
 public:
  using CWnd::CWnd;

  // The view mode (LVS_ICON, LVS_REPORT, LVS_SMALLICON, LVS_LIST).
  DWORD GetView() const;
  BOOL SetView(DWORD view);

  // Returns the column's index, -1 on failure. Width -1 sizes the column to its title.
  int InsertColumn(int column, const char* title, int format = LVCFMT_LEFT, int width = -1);
  int GetColumnCount() const;
  // LVSCW_AUTOSIZE_USEHEADER sizes the column to its title.
  BOOL SetColumnWidth(int column, int width);
  int GetColumnWidth(int column) const;

  // Inserts at `index` (clamped to the end); returns the index, -1 on failure.
  int InsertItem(int index, const char* text, int image = -1);
  int InsertItem(const LVITEMA* item);
  BOOL SetItemText(int item, int column, const char* text);
  std::string GetItemText(int item, int column) const;
  BOOL SetItemData(int item, LPARAM data);
  LPARAM GetItemData(int item) const;
  BOOL SetItemImage(int item, int image);
  // `item` -1 changes every item. Setting the focus on one item takes it from the others.
  BOOL SetItemState(int item, UINT state, UINT mask);
  UINT GetItemState(int item, UINT mask) const;
  int GetItemCount() const;
  // The list's layout, which every back end shares: item n fills the band
  // [n * kItemHeight, (n + 1) * kItemHeight) from the top of the client area, across its
  // whole width. The item under the client point (x, y); -1 above, below or left of them.
  static constexpr LONG kItemHeight = 20;
  int HitTest(LONG x, LONG y) const;
  UINT GetSelectedCount() const;
  // The next item after `start` (-1: from the first) that has every state of `flags`.
  int GetNextItem(int start, UINT flags) const;
  // Both send LVN_DELETEITEM to the dialog for each item removed, before it is removed.
  BOOL DeleteItem(int item);
  BOOL DeleteAllItems();
  BOOL EnsureVisible(int item, BOOL partialOk);
  void SetRedraw(BOOL redraw);

  // Starts editing an item's label: sends LVN_BEGINLABELEDITA, and the edit starts unless
  // the dialog returns TRUE. Returns TRUE when editing started.
  BOOL EditLabel(int item);
  // Ends the edit with the user's text (null: cancelled): sends LVN_ENDLABELEDITA and, when
  // the dialog returns TRUE, sets the label. Returns TRUE when the label was changed.
  BOOL EndEditLabel(const char* text);
  // The item being edited, -1 for none.
  int GetEditingItem() const;

 private:
  void NotifyDeleted(int item, LPARAM data);
};
