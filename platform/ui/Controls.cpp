// The control classes: state changes with their reports to the back end.
#include "platform/ui/Controls.h"

#include <algorithm>
#include <vector>

using namespace qv::ui::detail;

namespace {

// Width of a column sized to its title: a fixed cell per character plus padding.
int HeaderWidth(const std::string& title) { return static_cast<int>(title.size()) * 7 + 12; }

bool ValidItem(const ControlState& s, int item) {
  return item >= 0 && static_cast<size_t>(item) < s.items.size();
}

}  // namespace

HICON CStatic::SetIcon(HICON icon) {
  std::string previous;
  const std::string name = icon != nullptr ? QvIconName(icon) : "";
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange& change) {
    previous = s.icon;
    s.icon = name;
    change.kind = ChangeKind::Text;
    change.text = name;
    return false;
  });
  return previous.empty() ? nullptr : IconNamed(previous);
}

void CProgressCtrl::SetRange32(int lower, int upper) {
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange& change) {
    s.lower = lower;
    s.upper = upper;
    s.position = std::clamp(s.position, std::min(lower, upper), std::max(lower, upper));
    change.kind = ChangeKind::ProgressRange;
    change.value = upper;
    return true;
  });
}

void CProgressCtrl::GetRange(int& lower, int& upper) const {
  ReadControl(m_hWnd, [&](const ControlState& s) {
    lower = s.lower;
    upper = s.upper;
  });
}

int CProgressCtrl::SetPos(int position) {
  int previous = 0;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange& change) {
    previous = s.position;
    s.position = std::clamp(position, std::min(s.lower, s.upper), std::max(s.lower, s.upper));
    change.kind = ChangeKind::ProgressPos;
    change.value = s.position;
    return true;
  });
  return previous;
}

int CProgressCtrl::GetPos() const {
  int position = 0;
  ReadControl(m_hWnd, [&](const ControlState& s) { position = s.position; });
  return position;
}

int CProgressCtrl::SetStep(int step) {
  int previous = 0;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange&) {
    previous = s.step;
    s.step = step;
    return false;
  });
  return previous;
}

int CProgressCtrl::StepIt() {
  int previous = 0;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange& change) {
    previous = s.position;
    // As the Windows control does, stepping past the end wraps to the start.
    s.position += s.step;
    if (s.position > std::max(s.lower, s.upper)) s.position = s.lower;
    change.kind = ChangeKind::ProgressStep;
    change.value = s.position;
    return true;
  });
  return previous;
}

BOOL CAnimateCtrl::Open(UINT resource) {
  if (resource == 0) return FALSE;
  return ModifyControl(m_hWnd,
                       [&](ControlState& s, ControlChange&) {
                         s.animation = resource;
                         s.playing = false;
                         return false;
                       })
             ? TRUE
             : FALSE;
}

BOOL CAnimateCtrl::Play(UINT, UINT, UINT) {
  bool opened = false;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange& change) {
    opened = s.animation != 0;
    if (!opened || s.playing) return false;
    s.playing = true;
    change.kind = ChangeKind::Animation;
    change.value = 1;
    return true;
  });
  return opened ? TRUE : FALSE;
}

BOOL CAnimateCtrl::Stop() {
  return ModifyControl(m_hWnd,
                       [&](ControlState& s, ControlChange& change) {
                         if (!s.playing) return false;
                         s.playing = false;
                         change.kind = ChangeKind::Animation;
                         change.value = 0;
                         return true;
                       })
             ? TRUE
             : FALSE;
}

BOOL CAnimateCtrl::Close() {
  Stop();
  return ModifyControl(m_hWnd,
                       [&](ControlState& s, ControlChange&) {
                         s.animation = 0;
                         return false;
                       })
             ? TRUE
             : FALSE;
}

bool CAnimateCtrl::IsPlaying() const {
  bool playing = false;
  ReadControl(m_hWnd, [&](const ControlState& s) { playing = s.playing; });
  return playing;
}

DWORD CListCtrl::GetView() const {
  DWORD view = 0;
  ReadControl(m_hWnd, [&](const ControlState& s) { view = s.style & LVS_TYPEMASK; });
  return view;
}

BOOL CListCtrl::SetView(DWORD view) {
  if (view > LVS_TYPEMASK) return FALSE;
  return ModifyControl(m_hWnd,
                       [&](ControlState& s, ControlChange& change) {
                         s.style = (s.style & ~LVS_TYPEMASK) | view;
                         change.kind = ChangeKind::ListState;
                         change.value = static_cast<int>(view);
                         return true;
                       })
             ? TRUE
             : FALSE;
}

int CListCtrl::InsertColumn(int column, const char* title, int format, int width) {
  int index = -1;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange& change) {
    if (column < 0) return false;
    index = std::min(column, static_cast<int>(s.columns.size()));
    const std::string text = title != nullptr ? title : "";
    s.columns.insert(s.columns.begin() + index,
                     ListColumnState{text, width < 0 ? HeaderWidth(text) : width, format});
    for (ListItemState& item : s.items) {
      // Column 0 is always the label; a new column gets empty cells.
      if (item.texts.size() < s.columns.size()) item.texts.resize(s.columns.size());
    }
    change.kind = ChangeKind::ListColumns;
    change.column = index;
    change.text = text;
    return true;
  });
  return index;
}

int CListCtrl::GetColumnCount() const {
  int count = 0;
  ReadControl(m_hWnd, [&](const ControlState& s) { count = static_cast<int>(s.columns.size()); });
  return count;
}

BOOL CListCtrl::SetColumnWidth(int column, int width) {
  bool done = false;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange& change) {
    if (column < 0 || static_cast<size_t>(column) >= s.columns.size() ||
        (width < 0 && width != LVSCW_AUTOSIZE_USEHEADER))
      return false;
    ListColumnState& c = s.columns[static_cast<size_t>(column)];
    c.width = width == LVSCW_AUTOSIZE_USEHEADER ? HeaderWidth(c.title) : width;
    done = true;
    change.kind = ChangeKind::ListColumns;
    change.column = column;
    change.value = c.width;
    return true;
  });
  return done ? TRUE : FALSE;
}

int CListCtrl::GetColumnWidth(int column) const {
  int width = 0;
  ReadControl(m_hWnd, [&](const ControlState& s) {
    if (column >= 0 && static_cast<size_t>(column) < s.columns.size())
      width = s.columns[static_cast<size_t>(column)].width;
  });
  return width;
}

int CListCtrl::InsertItem(int index, const char* text, int image) {
  LVITEMA item{};
  item.mask = LVIF_TEXT | LVIF_IMAGE;
  item.iItem = index;
  item.pszText = const_cast<char*>(text != nullptr ? text : "");
  item.iImage = image;
  return InsertItem(&item);
}

int CListCtrl::InsertItem(const LVITEMA* item) {
  if (item == nullptr || item->iItem < 0) return -1;
  int index = -1;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange& change) {
    index = std::min(item->iItem, static_cast<int>(s.items.size()));
    ListItemState row;
    row.texts.resize(std::max<size_t>(1, s.columns.size()));
    if ((item->mask & LVIF_TEXT) != 0 && item->pszText == LPSTR_TEXTCALLBACKA)
      row.textCallback = true;
    else if ((item->mask & LVIF_TEXT) != 0 && item->pszText != nullptr)
      row.texts[0] = item->pszText;
    if ((item->mask & LVIF_IMAGE) != 0) row.image = item->iImage;
    if ((item->mask & LVIF_PARAM) != 0) row.data = item->lParam;
    if ((item->mask & LVIF_STATE) != 0) row.state = item->state & item->stateMask;
    change.kind = ChangeKind::ListItemAdded;
    change.row = index;
    change.column = 0;
    change.text = row.texts[0];
    s.items.insert(s.items.begin() + index, std::move(row));
    return true;
  });
  return index;
}

BOOL CListCtrl::SetItemText(int item, int column, const char* text) {
  bool done = false;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange& change) {
    if (!ValidItem(s, item) || column < 0 ||
        static_cast<size_t>(column) >= std::max<size_t>(1, s.columns.size()))
      return false;
    auto& texts = s.items[static_cast<size_t>(item)].texts;
    if (texts.size() <= static_cast<size_t>(column)) texts.resize(static_cast<size_t>(column) + 1);
    texts[static_cast<size_t>(column)] = text != nullptr ? text : "";
    done = true;
    change.kind = ChangeKind::ListItemText;
    change.row = item;
    change.column = column;
    change.text = texts[static_cast<size_t>(column)];
    return true;
  });
  return done ? TRUE : FALSE;
}

std::string CListCtrl::GetItemText(int item, int column) const {
  std::string text;
  bool callback = false;
  LPARAM data = 0;
  ReadControl(m_hWnd, [&](const ControlState& s) {
    if (!ValidItem(s, item) || column < 0) return;
    const ListItemState& row = s.items[static_cast<size_t>(item)];
    callback = row.textCallback;
    data = row.data;
    if (static_cast<size_t>(column) < row.texts.size())
      text = row.texts[static_cast<size_t>(column)];
  });
  if (!callback) return text;
  // Asked outside the lock: the parent's handler may read the list itself.
  char buffer[kListTextCallbackSize] = {};
  NMLVDISPINFOA info{};
  info.hdr.hwndFrom = m_hWnd;
  info.hdr.idFrom = static_cast<std::uintptr_t>(::GetDlgCtrlID(m_hWnd));
  info.hdr.code = LVN_GETDISPINFOA;
  info.item.mask = LVIF_TEXT;
  info.item.iItem = item;
  info.item.iSubItem = column;
  info.item.pszText = buffer;
  info.item.cchTextMax = static_cast<int>(sizeof buffer);
  info.item.lParam = data;
  SendMessageA(::GetParent(m_hWnd), WM_NOTIFY, info.hdr.idFrom, reinterpret_cast<LPARAM>(&info));
  // A parent may point pszText at a text of its own instead of filling the buffer.
  if (info.item.pszText == nullptr) return {};
  if (info.item.pszText == buffer) buffer[sizeof buffer - 1] = '\0';
  return info.item.pszText;
}

BOOL CListCtrl::SetItemData(int item, LPARAM data) {
  bool done = false;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange&) {
    if (ValidItem(s, item)) {
      s.items[static_cast<size_t>(item)].data = data;
      done = true;
    }
    return false;
  });
  return done ? TRUE : FALSE;
}

LPARAM CListCtrl::GetItemData(int item) const {
  LPARAM data = 0;
  ReadControl(m_hWnd, [&](const ControlState& s) {
    if (ValidItem(s, item)) data = s.items[static_cast<size_t>(item)].data;
  });
  return data;
}

BOOL CListCtrl::SetItemImage(int item, int image) {
  bool done = false;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange&) {
    if (ValidItem(s, item)) {
      s.items[static_cast<size_t>(item)].image = image;
      done = true;
    }
    return false;
  });
  return done ? TRUE : FALSE;
}

BOOL CListCtrl::SetItemState(int item, UINT state, UINT mask) {
  bool done = false;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange& change) {
    if (item != -1 && !ValidItem(s, item)) return false;
    for (size_t i = 0; i < s.items.size(); ++i) {
      if (item != -1 && i != static_cast<size_t>(item)) {
        // Only one item holds the focus.
        if ((mask & LVIS_FOCUSED) != 0 && (state & LVIS_FOCUSED) != 0)
          s.items[i].state &= ~LVIS_FOCUSED;
        continue;
      }
      s.items[i].state = (s.items[i].state & ~mask) | (state & mask);
    }
    done = true;
    change.kind = ChangeKind::ListState;
    change.row = item;
    change.value = static_cast<int>(state & mask);
    return true;
  });
  if (done && (mask & LVIS_SELECTED) != 0) {
    // One notification per call (iItem -1 when every item changed), after the change.
    NMLISTVIEW info{};
    info.hdr.hwndFrom = m_hWnd;
    info.hdr.idFrom = static_cast<std::uintptr_t>(::GetDlgCtrlID(m_hWnd));
    info.hdr.code = LVN_ITEMCHANGED;
    info.iItem = item;
    info.uChanged = LVIF_STATE;
    info.uNewState = state & mask;
    SendMessageA(::GetParent(m_hWnd), WM_NOTIFY, info.hdr.idFrom, reinterpret_cast<LPARAM>(&info));
  }
  return done ? TRUE : FALSE;
}

UINT CListCtrl::GetItemState(int item, UINT mask) const {
  UINT state = 0;
  ReadControl(m_hWnd, [&](const ControlState& s) {
    if (ValidItem(s, item)) state = s.items[static_cast<size_t>(item)].state & mask;
  });
  return state;
}

int CListCtrl::GetItemCount() const {
  int count = 0;
  ReadControl(m_hWnd, [&](const ControlState& s) { count = static_cast<int>(s.items.size()); });
  return count;
}

UINT CListCtrl::GetSelectedCount() const {
  UINT count = 0;
  ReadControl(m_hWnd, [&](const ControlState& s) {
    for (const ListItemState& item : s.items) count += (item.state & LVIS_SELECTED) != 0 ? 1 : 0;
  });
  return count;
}

int CListCtrl::HitTest(LONG x, LONG y) const {
  if (x < 0 || y < 0) return -1;
  const LONG item = y / kItemHeight;
  return item < GetItemCount() ? static_cast<int>(item) : -1;
}

int CListCtrl::GetNextItem(int start, UINT flags) const {
  int found = -1;
  ReadControl(m_hWnd, [&](const ControlState& s) {
    for (size_t i = start < 0 ? 0 : static_cast<size_t>(start) + 1; i < s.items.size(); ++i) {
      if ((s.items[i].state & flags) == flags) {
        found = static_cast<int>(i);
        return;
      }
    }
  });
  return found;
}

void CListCtrl::NotifyDeleted(int item, LPARAM data) {
  NMLISTVIEW info{};
  info.hdr.hwndFrom = m_hWnd;
  info.hdr.idFrom = static_cast<std::uintptr_t>(::GetDlgCtrlID(m_hWnd));
  info.hdr.code = LVN_DELETEITEM;
  info.iItem = item;
  info.iSubItem = 0;
  info.lParam = data;
  SendMessageA(::GetParent(m_hWnd), WM_NOTIFY, info.hdr.idFrom, reinterpret_cast<LPARAM>(&info));
}

BOOL CListCtrl::DeleteItem(int item) {
  if (item < 0 || item >= GetItemCount()) return FALSE;
  NotifyDeleted(item, GetItemData(item));
  bool done = false;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange& change) {
    if (!ValidItem(s, item)) return false;
    s.items.erase(s.items.begin() + item);
    if (s.editingItem == item) s.editingItem = -1;
    done = true;
    change.kind = ChangeKind::ListItemRemoved;
    change.row = item;
    return true;
  });
  return done ? TRUE : FALSE;
}

BOOL CListCtrl::DeleteAllItems() {
  std::vector<LPARAM> data;
  ReadControl(m_hWnd, [&](const ControlState& s) {
    for (const ListItemState& item : s.items) data.push_back(item.data);
  });
  for (size_t i = 0; i < data.size(); ++i) NotifyDeleted(static_cast<int>(i), data[i]);
  return ModifyControl(m_hWnd,
                       [&](ControlState& s, ControlChange& change) {
                         s.items.clear();
                         s.editingItem = -1;
                         s.visibleItem = -1;
                         change.kind = ChangeKind::ListItemRemoved;
                         change.row = -1;
                         return true;
                       })
             ? TRUE
             : FALSE;
}

BOOL CListCtrl::EnsureVisible(int item, BOOL) {
  bool done = false;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange&) {
    if (ValidItem(s, item)) {
      s.visibleItem = item;
      done = true;
    }
    return false;
  });
  return done ? TRUE : FALSE;
}

void CListCtrl::SetRedraw(BOOL redraw) {
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange& change) {
    s.redraw = redraw != FALSE;
    change.kind = ChangeKind::ListState;
    change.value = s.redraw ? 1 : 0;
    return true;
  });
}

BOOL CListCtrl::EditLabel(int item) {
  bool editable = false;
  ReadControl(m_hWnd, [&](const ControlState& s) {
    editable = (s.style & LVS_EDITLABELS) != 0 && ValidItem(s, item);
  });
  if (!editable) return FALSE;
  EndEditLabel(nullptr);  // an edit in progress ends as cancelled
  const std::string label = GetItemText(item, 0);
  NMLVDISPINFOA info{};
  info.hdr.hwndFrom = m_hWnd;
  info.hdr.idFrom = static_cast<std::uintptr_t>(::GetDlgCtrlID(m_hWnd));
  info.hdr.code = LVN_BEGINLABELEDITA;
  info.item.iItem = item;
  info.item.mask = LVIF_TEXT | LVIF_PARAM;
  info.item.pszText = const_cast<char*>(label.c_str());
  info.item.lParam = GetItemData(item);
  if (SendMessageA(::GetParent(m_hWnd), WM_NOTIFY, info.hdr.idFrom,
                   reinterpret_cast<LPARAM>(&info)) != 0)
    return FALSE;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange&) {
    s.editingItem = item;
    return false;
  });
  return TRUE;
}

BOOL CListCtrl::EndEditLabel(const char* text) {
  const int item = GetEditingItem();
  if (item < 0) return FALSE;
  ModifyControl(m_hWnd, [&](ControlState& s, ControlChange&) {
    s.editingItem = -1;
    return false;
  });
  std::string edited = text != nullptr ? text : "";
  NMLVDISPINFOA info{};
  info.hdr.hwndFrom = m_hWnd;
  info.hdr.idFrom = static_cast<std::uintptr_t>(::GetDlgCtrlID(m_hWnd));
  info.hdr.code = LVN_ENDLABELEDITA;
  info.item.iItem = item;
  info.item.mask = LVIF_TEXT | LVIF_PARAM;
  info.item.pszText = text != nullptr ? edited.data() : nullptr;
  info.item.cchTextMax = static_cast<int>(edited.size()) + 1;
  info.item.lParam = GetItemData(item);
  const LRESULT accepted = SendMessageA(::GetParent(m_hWnd), WM_NOTIFY, info.hdr.idFrom,
                                        reinterpret_cast<LPARAM>(&info));
  if (text == nullptr || accepted == 0) return FALSE;
  return SetItemText(item, 0, edited.c_str());
}

int CListCtrl::GetEditingItem() const {
  int item = -1;
  ReadControl(m_hWnd, [&](const ControlState& s) { item = s.editingItem; });
  return item;
}
