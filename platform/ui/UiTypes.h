// Types of the dialog framework: window messages and their parameters, window and control
// styles, dialog templates (what a dialog resource holds), and the state of a dialog and its
// controls as the back ends and the tests read it.
//
// A template lists a dialog's controls in order with their ids, kinds, texts and styles; the
// framework turns it into one window per control. The state records are plain copies: a back
// end or a test reads a snapshot, never the live window.
#pragma once

#include <string>
#include <vector>

#include "platform/WinTypes.h"
#include "platform/Window.h"

using INT_PTR = std::intptr_t;

// ---- Messages ----

inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_SIZE = 0x0005;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_NOTIFY = 0x004E;
inline constexpr UINT WM_CONTEXTMENU = 0x007B;
inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_SYSCOMMAND = 0x0112;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT BM_CLICK = 0x00F5;
// Ends a modal dialog with wParam as its result: the framework's last resort when a back end
// cannot close a dialog through its buttons.
inline constexpr UINT WM_QV_ENDDIALOG = 0xBFF0;

inline constexpr WPARAM SC_CLOSE = 0xF060;
inline constexpr WORD BN_CLICKED = 0;

inline constexpr WPARAM MAKEWPARAM(WORD low, WORD high) {
  return static_cast<WPARAM>(low) | (static_cast<WPARAM>(high) << 16);
}

// PeekMessageA removal flags.
inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;
// MsgWaitForMultipleObjects wake mask; every kind of input counts as a message here.
inline constexpr DWORD QS_ALLINPUT = 0x04FF;

// ShowWindow commands.
inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;
inline constexpr int SW_SHOW = 5;

// System menu (EnableMenuItem on GetSystemMenu).
struct HMENU__;
using HMENU = HMENU__*;
inline constexpr UINT MF_BYCOMMAND = 0x0000;
inline constexpr UINT MF_ENABLED = 0x0000;
inline constexpr UINT MF_GRAYED = 0x0001;
inline constexpr UINT MF_DISABLED = 0x0002;

// An icon: a resource icon of a module or a shell icon for a path. The handle names an icon
// the framework keeps for the life of the process.
struct HICON__;
using HICON = HICON__*;

// ---- Notifications (WM_NOTIFY) ----

struct NMHDR {
  HWND hwndFrom;
  std::uintptr_t idFrom;
  UINT code;
};

inline constexpr UINT LVN_ITEMCHANGED = static_cast<UINT>(-101);
inline constexpr UINT LVN_DELETEITEM = static_cast<UINT>(-103);
inline constexpr UINT LVN_GETDISPINFOA = static_cast<UINT>(-150);
inline constexpr UINT LVN_BEGINLABELEDITA = static_cast<UINT>(-105);
inline constexpr UINT LVN_ENDLABELEDITA = static_cast<UINT>(-106);
// A double click on a list item: the notification is an NMITEMACTIVATE.
inline constexpr UINT NM_DBLCLK = static_cast<UINT>(-3);
struct NMITEMACTIVATE {
  NMHDR hdr;
  int iItem;  // -1 when the click was on no item
  int iSubItem;
};
inline constexpr UINT LVN_BEGINDRAG = static_cast<UINT>(-109);
inline constexpr UINT LVN_BEGINRDRAG = static_cast<UINT>(-111);

// List-view item flags.
inline constexpr UINT LVIF_TEXT = 0x0001;
inline constexpr UINT LVIF_IMAGE = 0x0002;
inline constexpr UINT LVIF_PARAM = 0x0004;
inline constexpr UINT LVIF_STATE = 0x0008;
inline constexpr UINT LVIS_FOCUSED = 0x0001;
inline constexpr UINT LVIS_SELECTED = 0x0002;
inline constexpr UINT LVIS_CUT = 0x0004;

// An item's text given by its parent on demand (LVN_GETDISPINFOA), not stored in the list.
inline char* const LPSTR_TEXTCALLBACKA = reinterpret_cast<char*>(static_cast<std::intptr_t>(-1));
// The size of the buffer a list hands to LVN_GETDISPINFOA.
inline constexpr int kListTextCallbackSize = 1024;

struct LVITEMA {
  UINT mask;
  int iItem;
  int iSubItem;
  UINT state;
  UINT stateMask;
  LPSTR pszText;  // for LVN_ENDLABELEDITA: the new text, null when editing was cancelled
  int cchTextMax;
  int iImage;
  LPARAM lParam;
};

// LVN_GETDISPINFOA: the parent writes the text of item.iItem, column item.iSubItem, into
// item.pszText (item.cchTextMax bytes); item.lParam is the item's data.
// LVN_BEGINLABELEDITA / LVN_ENDLABELEDITA. The parent returns TRUE from the begin
// notification to stop the edit, and TRUE from the end notification to accept the text.
struct NMLVDISPINFOA {
  NMHDR hdr;
  LVITEMA item;
};

// LVN_DELETEITEM: sent for every item removed, so the parent can free its item data.
struct NMLISTVIEW {
  NMHDR hdr;
  int iItem;
  int iSubItem;
  UINT uNewState;
  UINT uOldState;
  UINT uChanged;
  LPARAM lParam;
};

// ---- Styles ----

inline constexpr DWORD WS_CHILD = 0x40000000;
inline constexpr DWORD WS_VISIBLE = 0x10000000;
inline constexpr DWORD WS_DISABLED = 0x08000000;
inline constexpr DWORD WS_BORDER = 0x00800000;
inline constexpr DWORD WS_TABSTOP = 0x00010000;
inline constexpr DWORD BS_DEFPUSHBUTTON = 0x00000001;
inline constexpr DWORD ES_PASSWORD = 0x00000020;
inline constexpr DWORD ACS_TRANSPARENT = 0x00000002;
inline constexpr DWORD LVS_ICON = 0x0000;
inline constexpr DWORD LVS_REPORT = 0x0001;
inline constexpr DWORD LVS_SMALLICON = 0x0002;
inline constexpr DWORD LVS_LIST = 0x0003;
inline constexpr DWORD LVS_TYPEMASK = 0x0003;
inline constexpr DWORD LVS_SHAREIMAGELISTS = 0x0040;
inline constexpr DWORD LVS_EDITLABELS = 0x0200;

// Column alignment.
inline constexpr int LVCFMT_LEFT = 0x0000;
inline constexpr int LVCFMT_RIGHT = 0x0001;
inline constexpr int LVCFMT_CENTER = 0x0002;
// SetColumnWidth: size the column to its header text.
inline constexpr int LVSCW_AUTOSIZE_USEHEADER = -2;
// GetNextItem flags.
inline constexpr UINT LVNI_ALL = 0x0000;
inline constexpr UINT LVNI_FOCUSED = 0x0001;
inline constexpr UINT LVNI_SELECTED = 0x0002;

// Check-box states.
inline constexpr UINT BST_UNCHECKED = 0;
inline constexpr UINT BST_CHECKED = 1;

// The id of a text or icon that is not addressed.
inline constexpr int IDC_STATIC = -1;

// ---- Templates ----

enum class ControlKind { Button, CheckBox, Static, Icon, Edit, ProgressBar, Animation, ListView };

struct ControlTemplate {
  int id = IDC_STATIC;
  ControlKind kind = ControlKind::Static;
  std::string text;  // caption of a button or check box, text of a static, content of an edit
  DWORD style = WS_VISIBLE;
  UINT resource = 0;  // icon or animation resource shown from the start, 0 for none
};

struct DialogTemplate {
  UINT id = 0;
  short width = 0;  // dialog units
  short height = 0;
  std::string caption;
  std::vector<ControlTemplate> controls;
};

// ---- State, as read by back ends and tests ----

struct ListColumnState {
  std::string title;
  int width = 0;
  int format = LVCFMT_LEFT;
};

struct ListItemState {
  std::vector<std::string> texts;  // one per column; column 0 is the label
  LPARAM data = 0;
  int image = -1;
  UINT state = 0;             // LVIS_* flags
  bool textCallback = false;  // every text comes from the parent (LPSTR_TEXTCALLBACKA)
};

struct ControlState {
  HWND hwnd = nullptr;
  int id = IDC_STATIC;
  ControlKind kind = ControlKind::Static;
  DWORD style = 0;
  std::string text;
  bool enabled = true;
  bool visible = true;
  bool checked = false;    // check box
  bool isDefault = false;  // push button
  std::string icon;        // icon control: "resource:<id>" or "shell:<path>", empty for none
  int lower = 0;           // progress bar
  int upper = 100;
  int position = 0;
  int step = 10;
  UINT animation = 0;  // animation resource opened, 0 for none
  bool playing = false;
  std::vector<ListColumnState> columns;  // list view
  std::vector<ListItemState> items;
  bool redraw = true;
  int editingItem = -1;  // the item whose label is being edited, -1 for none
  int visibleItem = -1;  // the last item made visible with EnsureVisible
};

struct DialogState {
  HWND hwnd = nullptr;
  UINT templateId = 0;
  short width = 0;  // the template's size, in dialog units
  short height = 0;
  std::string caption;
  bool modal = false;
  bool visible = false;
  bool closeEnabled = true;  // the system menu's Close item
  std::string icon;          // the dialog's icon, as QvIconName gives it
  HWND focus = nullptr;
  std::vector<ControlState> controls;  // in template order

  // The control with `id`, or null.
  const ControlState* Control(int id) const;
  // Every visible static text and control caption, in template order, one per line.
  std::string Texts() const;
};

// What changed in a dialog, as reported to the back end while the dialog runs.
enum class ChangeKind {
  Caption,  // the dialog's caption
  Text,     // a control's text
  Enabled,  // a control or the Close item enabled or disabled
  Shown,    // a control shown or hidden, or the dialog shown
  Checked,
  ProgressRange,
  ProgressStep,  // StepIt
  ProgressPos,   // SetPos
  Animation,     // played or stopped
  ListColumns,
  ListItemAdded,
  ListItemText,  // text of one cell
  ListItemRemoved,
  ListState,  // selection, focus, cut, redraw, view mode
};

struct ControlChange {
  HWND dialog = nullptr;
  UINT templateId = 0;
  int controlId = IDC_STATIC;  // IDC_STATIC for a change of the dialog itself
  ChangeKind kind = ChangeKind::Text;
  int row = -1;  // list changes
  int column = -1;
  std::string text;  // new text (caption, control text, cell text)
  int value = 0;     // new position, new enabled state (0/1), ...
};
