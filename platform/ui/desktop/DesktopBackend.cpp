// The desktop back end: the GTK thread, the windows built from dialog states, message boxes,
// and the user's actions handed to the framework.
//
// Threads: everything named Gui* and every GTK call runs on the GTK thread. Other threads
// only mark dialogs as changed (under `lock`) and post work to the GTK thread's context.
#include "platform/ui/desktop/DesktopBackend.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "platform/MessageBox.h"
#include "platform/SecureMemory.h"
#include "platform/shell/FileInfo.h"
#include "platform/ui/Accelerators.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Menu.h"
#include "platform/ui/UiInternal.h"
#include "platform/ui/WindowApi.h"
#include "platform/ui/desktop/WebPageHost.h"

namespace {

// Changes arriving in a burst (a progress run adds a row and moves the bar for every file)
// are drawn together this long after the first of them.
constexpr unsigned kSyncDelayMs = 30;
// How often the windows of dialogs that went away without closing (a modeless dialog
// destroyed) are looked for.
constexpr unsigned kSweepIntervalMs = 200;
// Pixels per dialog unit of a template's size, about what a 10-point font gives.
constexpr double kPixelsPerUnit = 1.75;
// F1; F2 to F12 follow it.
constexpr WORD kVirtualKeyF1 = 0x70;

bool IsDialog(HWND hwnd) { return qv::ui::detail::DialogOf(hwnd) == hwnd && hwnd != nullptr; }

// A caption's "&x" mnemonic in GTK's spelling: "&&" is a literal '&', '_' is doubled.
std::string Mnemonic(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) {
      ++i;
      if (text[i] != '&') out += '_';
      if (text[i] == '_') out += '_';
      out += text[i];
    } else if (text[i] == '_') {
      out += "__";
    } else {
      out += text[i];
    }
  }
  return out;
}

// The first of `names` that the display's icon theme has anywhere in its chain of themes, as
// an icon of that one name; null when it has none. A themed icon of several names would not
// do: the theme tries every name in the user's theme before it looks in the parent themes, so
// a generic fallback there wins over a file type's own icon, which registration puts in the
// hicolor theme.
GIcon* FirstKnownIcon(const char* const* names) {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr) return nullptr;
  GtkIconTheme* theme = gtk_icon_theme_get_for_display(display);
  for (; *names != nullptr; ++names)
    if (gtk_icon_theme_has_icon(theme, *names)) return g_themed_icon_new(*names);
  return nullptr;
}

// The themed icon a framework icon name stands for.
GIcon* IconFor(const std::string& name) {
  constexpr std::string_view kResource = "resource:";
  constexpr std::string_view kShell = "shell:";
  if (name.starts_with(kResource)) {
    const int id = std::atoi(name.c_str() + kResource.size());
    const char* themed = id == 140   ? "dialog-error"
                         : id == 712 ? "dialog-warning"
                                     : "dialog-question";
    return g_themed_icon_new_with_default_fallbacks(themed);
  }
  if (name.starts_with(kShell)) {
    const std::string what = name.substr(kShell.size());
    if (what == "folder") return g_themed_icon_new("folder");
    gboolean uncertain = FALSE;
    char* type = g_content_type_guess(what.c_str(), nullptr, 0, &uncertain);
    GIcon* icon = g_content_type_get_icon(type);
    g_free(type);
    if (icon != nullptr && G_IS_THEMED_ICON(icon)) {
      if (GIcon* known = FirstKnownIcon(g_themed_icon_get_names(G_THEMED_ICON(icon)))) {
        g_object_unref(icon);
        return known;
      }
    }
    return icon;
  }
  return nullptr;
}

const char* MessageBoxIconName(UINT type) {
  switch (type & MB_ICONMASK) {
    case MB_ICONERROR:
      return "dialog-error";
    case MB_ICONQUESTION:
      return "dialog-question";
    case MB_ICONWARNING:
      return "dialog-warning";
    case MB_ICONINFORMATION:
      return "dialog-information";
    default:
      return nullptr;
  }
}

// The text a button shows, without its mnemonic mark.
std::string ButtonText(GtkWidget* button) {
  GtkWidget* child = gtk_button_get_child(GTK_BUTTON(button));
  if (child != nullptr && GTK_IS_LABEL(child)) return gtk_label_get_text(GTK_LABEL(child));
  const char* label = gtk_button_get_label(GTK_BUTTON(button));
  return label != nullptr ? label : "";
}

GtkWidget* NewTitledWindow(const std::string& title) {
  GtkWidget* window = gtk_window_new();
  // The title bar is drawn by the window itself, so it looks the same with any window manager
  // (and in a picture of the window).
  gtk_window_set_titlebar(GTK_WINDOW(window), gtk_header_bar_new());
  gtk_window_set_title(GTK_WINDOW(window), title.c_str());
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  return window;
}

// Escape presses Cancel, as in any dialog.
void AddEscapeAction(GtkWidget* window, GtkShortcutFunc action, gpointer data) {
  GtkEventController* keys = gtk_shortcut_controller_new();
  gtk_shortcut_controller_add_shortcut(
      GTK_SHORTCUT_CONTROLLER(keys),
      gtk_shortcut_new(gtk_keyval_trigger_new(GDK_KEY_Escape, GdkModifierType(0)),
                       gtk_callback_action_new(action, data, nullptr)));
  gtk_widget_add_controller(window, keys);
}

// A drag's content (see QvDragContent).
GdkContentProvider* NewDragContent(DesktopBackend::Gui* gui, HWND dialog);

}  // namespace

// ---- The GTK side ----

struct DesktopBackend::Gui {
  struct Control {
    Gui* gui = nullptr;
    HWND hwnd = nullptr;
    int id = IDC_STATIC;
    ControlKind kind = ControlKind::Static;
    GtkWidget* widget = nullptr;  // what is shown and hidden
    GtkWidget* inner = nullptr;   // the label, entry, bar, ... itself
    std::string applied;          // the text last set on the widget (or taken from it)
    std::string icon;
    // list view
    GListStore* rows = nullptr;
    GtkSelectionModel* selection = nullptr;
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> shownRows;  // the texts and, last, the icon name
    bool settingSelection = false;
    bool takesDrops = false;  // a list inside a frame: files dropped in go to its dialog
  };
  struct Tool {
    ToolbarButton button;
    GtkWidget* widget = nullptr;
  };
  struct Window {
    Gui* gui = nullptr;
    HWND hwnd = nullptr;
    UINT templateId = 0;
    GtkWidget* window = nullptr;  // an embedded dialog's is its frame's
    std::vector<Control> controls;
    bool drawn = false;
    // A frame: its toolbar, the place of its child's content, and the child shown there.
    bool frame = false;
    GtkWidget* toolbar = nullptr;
    GtkWidget* slot = nullptr;
    HWND child = nullptr;
    std::vector<Tool> tools;
    bool settingTools = false;
    // A dialog shown inside a frame: its frame and its content there.
    HWND embeddedIn = nullptr;
    GtkWidget* content = nullptr;

    // What is shown and hidden for the dialog.
    GtkWidget* Shown() const { return content != nullptr ? content : window; }
  };
  struct Popup : std::enable_shared_from_this<Popup> {
    Gui* gui = nullptr;
    GtkWidget* popover = nullptr;
    std::vector<std::pair<UINT, GtkWidget*>> items;
    std::promise<UINT> answer;
    bool answered = false;
  };
  struct Box {
    Gui* gui = nullptr;
    GtkWidget* window = nullptr;
    GtkWidget* label = nullptr;
    UINT type = 0;
    std::string text;
    std::vector<std::pair<int, GtkWidget*>> buttons;
    std::promise<int> answer;
    bool answered = false;
  };

  std::thread thread;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  std::atomic<bool> alive{false};

  std::mutex lock;  // the fields below
  std::set<HWND> dirty;
  std::set<HWND> closed;
  GSource* syncTimer = nullptr;    // a sync queued on the loop
  std::condition_variable synced;  // a sync ran
  unsigned syncCount = 0;

  std::set<HWND> frames;                           // marked by MakeFrame
  std::map<HWND, std::deque<DroppedFiles>> drops;  // by the dialog told of them
  // The texts of rows whose parent gives them on demand, by list and item data, asked for on
  // the thread that added the row.
  std::map<HWND, std::unordered_map<LPARAM, std::vector<std::string>>> callbackTexts;

  std::mutex noUserLock;
  std::set<HWND> toldToClose;  // after the display went away

  // The views of page dialogs; made with the back end, its GTK objects let go on the GTK thread.
  std::unique_ptr<WebPages> pages;

  // GTK thread only.
  std::map<HWND, std::unique_ptr<Window>> windows;
  std::vector<std::shared_ptr<Box>> boxes;
  std::vector<std::shared_ptr<Popup>> popups;
  std::map<HWND, std::vector<ToolbarButton>> pendingTools;  // for frames not drawn yet
  // Drop targets waiting for the files of rows dragged out, by request number.
  struct PendingDrag {
    GTask* task = nullptr;
    GOutputStream* stream = nullptr;
    HWND dialog = nullptr;
  };
  std::map<WPARAM, PendingDrag> pendingDrags;
  WPARAM lastDragRequest = 0;
  GtkWidget* menuAnchor = nullptr;  // weak: the list last right-clicked
  double menuX = 0;
  double menuY = 0;

  // Runs `work` on the GTK thread; false when it no longer runs. The work is always queued,
  // never run in place: a context that no thread holds at this moment (the GTK thread between
  // its start and its loop) would otherwise run it on the caller's thread, and a quit run there
  // before the loop starts is forgotten by the loop.
  bool Post(std::function<void()> work) {
    if (!alive.load()) return false;
    auto* task = new std::function<void()>(std::move(work));
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
          (*static_cast<std::function<void()>*>(data))();
          return G_SOURCE_REMOVE;
        },
        task, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    bool attached = false;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (alive.load()) attached = g_source_attach(source, context) != 0;
    }
    g_source_unref(source);  // unattached, this drops the task
    return attached;
  }

  // Runs `work` on the GTK thread and waits for it; false when the thread no longer runs.
  template <class Work>
  bool Call(Work&& work) {
    if (std::this_thread::get_id() == thread.get_id()) {
      work();
      return true;
    }
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    if (!Post([&work, done] {
          work();
          done->set_value();
        }))
      return false;
    // The task is dropped unrun only when the loop stops; then the promise breaks.
    try {
      finished.get();
      return true;
    } catch (const std::future_error&) {
      return false;
    }
  }

  void MarkDirty(HWND dialog, unsigned delayMs) {
    std::lock_guard<std::mutex> guard(lock);
    dirty.insert(dialog);
    if (syncTimer != nullptr || !alive.load()) return;
    syncTimer = g_timeout_source_new(delayMs);
    g_source_set_callback(
        syncTimer,
        [](gpointer data) -> gboolean {
          static_cast<Gui*>(data)->GuiSync();
          return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(syncTimer, context);
  }

  // Ends the loop's work for this back end. The default context outlives it, so nothing of
  // ours may stay attached there: no task is queued from now on, and a pending sync goes.
  void StopAttaching() {
    std::lock_guard<std::mutex> guard(lock);
    alive.store(false);
    if (syncTimer != nullptr) {
      g_source_destroy(syncTimer);
      g_source_unref(syncTimer);
      syncTimer = nullptr;
    }
  }

  // ---- GTK thread ----

  void GuiSync() {
    std::set<HWND> work;
    std::set<HWND> gone;
    {
      std::lock_guard<std::mutex> guard(lock);
      work.swap(dirty);
      gone = closed;
      if (syncTimer != nullptr) g_source_unref(syncTimer);  // the context holds it until we return
      syncTimer = nullptr;
    }
    // A frame is built before the dialogs shown inside it.
    std::vector<HWND> ordered;
    {
      std::lock_guard<std::mutex> guard(lock);
      for (HWND hwnd : work)
        if (frames.contains(hwnd)) ordered.push_back(hwnd);
      for (HWND hwnd : work)
        if (!frames.contains(hwnd)) ordered.push_back(hwnd);
    }
    for (HWND hwnd : ordered) {
      DialogState state;
      const bool exists = !gone.contains(hwnd) && SnapshotDialog(hwnd, &state);
      auto it = windows.find(hwnd);
      if (!exists || !state.visible) {
        if (it != windows.end()) {
          if (exists) {
            gtk_widget_set_visible(it->second->Shown(), FALSE);
          } else {
            GuiDestroy(hwnd);
          }
        }
        continue;
      }
      if (it == windows.end()) {
        bool frame = false;
        {
          std::lock_guard<std::mutex> guard(lock);
          frame = frames.contains(hwnd);
        }
        it = windows.emplace(hwnd, frame ? GuiCreateFrame(state) : GuiCreate(state)).first;
      }
      GuiApply(*it->second, state);
      it->second->drawn = true;
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      ++syncCount;
    }
    synced.notify_all();
  }

  void GuiSweep() {
    std::vector<HWND> gone;
    for (const auto& [hwnd, window] : windows)
      if (!IsDialog(hwnd)) gone.push_back(hwnd);
    for (HWND hwnd : gone) GuiDestroy(hwnd);
    std::lock_guard<std::mutex> guard(lock);
    std::erase_if(closed, [](HWND h) { return !IsDialog(h); });
    std::erase_if(frames, [](HWND h) { return !IsDialog(h); });
    std::erase_if(callbackTexts, [](const auto& list) { return !IsWindow(list.first); });
  }

  void GuiDestroy(HWND hwnd) {
    auto it = windows.find(hwnd);
    if (it == windows.end()) return;
    Window& window = *it->second;
    if (window.frame) {
      // What is shown inside goes with the frame; a dialog still alive gets a window of its
      // own at its next change.
      std::vector<HWND> inside;
      for (const auto& [h, w] : windows)
        if (w->embeddedIn == hwnd) inside.push_back(h);
      for (HWND h : inside) GuiDestroy(h);
    }
    for (Control& control : window.controls) {
      if (control.rows != nullptr) g_object_unref(control.rows);
    }
    {
      std::lock_guard guard(lock);
      drops.erase(hwnd);
    }
    std::vector<WPARAM> unanswered;
    for (const auto& [request, drag] : pendingDrags)
      if (drag.dialog == hwnd) unanswered.push_back(request);
    for (const WPARAM request : unanswered) GuiAnswerDrag(request, {});
    // A menu still open on the window goes first: the window would free its popover under it.
    std::vector<std::shared_ptr<Popup>> onWindow;
    for (const auto& popup : popups)
      if (popup->popover != nullptr && gtk_widget_is_ancestor(popup->popover, window.Shown()))
        onWindow.push_back(popup);
    for (const auto& popup : onWindow) GuiRemovePopup(*popup);
    if (window.embeddedIn != nullptr) {
      auto frame = windows.find(window.embeddedIn);
      if (frame != windows.end()) {
        if (gtk_widget_get_parent(window.content) == frame->second->slot)
          gtk_box_remove(GTK_BOX(frame->second->slot), window.content);
        if (frame->second->child == hwnd) frame->second->child = nullptr;
      }
    } else {
      gtk_window_destroy(GTK_WINDOW(window.window));
    }
    windows.erase(it);
  }

  GtkWidget* OwnerWindow(HWND owner) {
    const HWND dialog = owner != nullptr ? qv::ui::detail::DialogOf(owner) : nullptr;
    auto it = windows.find(dialog);
    return it != windows.end() ? it->second->window : nullptr;
  }

  // Hands the texts typed into the entries to the dialog, before a press or a close acts.
  static void GuiHandOverEdits(Window& window) {
    for (Control& control : window.controls) {
      if (control.kind != ControlKind::Edit) continue;
      std::string typed = gtk_editable_get_text(GTK_EDITABLE(control.inner));
      if (typed != control.applied) {
        SetWindowTextA(control.hwnd, typed.c_str());
        QvWipe(control.applied);
        control.applied = typed;
      }
      QvWipe(typed);
    }
  }

  static void OnButton(GtkButton* button, gpointer data) {
    auto* window = static_cast<Window*>(data);
    const int id = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), "qv-id"));
    GuiHandOverEdits(*window);
    PressDialogButton(window->hwnd, id);
  }

  static void OnToggled(GtkCheckButton* check, gpointer data) {
    auto* window = static_cast<Window*>(data);
    const int id = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(check), "qv-id"));
    const bool active = gtk_check_button_get_active(check) != FALSE;
    if ((IsDlgButtonChecked(window->hwnd, id) == BST_CHECKED) != active)
      CheckDlgButton(window->hwnd, id, active ? BST_CHECKED : BST_UNCHECKED);
  }

  static gboolean OnCloseRequest(GtkWindow*, gpointer data) {
    auto* window = static_cast<Window*>(data);
    GuiHandOverEdits(*window);
    CloseDialogBySystemMenu(window->hwnd);
    return TRUE;  // the dialog decides; its window goes when it ends
  }

  static gboolean OnEscape(GtkWidget*, GVariant*, gpointer data) {
    auto* window = static_cast<Window*>(data);
    GuiHandOverEdits(*window);
    if (!PressDialogButton(window->hwnd, IDCANCEL)) CloseDialogBySystemMenu(window->hwnd);
    return TRUE;
  }

  static void OnSelectionChanged(GtkSelectionModel* model, guint, guint, gpointer data) {
    auto* control = static_cast<Control*>(data);
    if (control->settingSelection) return;
    CListCtrl list(control->hwnd);
    const guint count = g_list_model_get_n_items(G_LIST_MODEL(model));
    for (guint row = 0; row < count; ++row) {
      const bool selected = gtk_selection_model_is_selected(model, row) != FALSE;
      const int item = static_cast<int>(row);
      if (((list.GetItemState(item, LVIS_SELECTED) & LVIS_SELECTED) != 0) != selected)
        list.SetItemState(item, selected ? LVIS_SELECTED : 0, LVIS_SELECTED);
    }
  }

  // A text cut to its column's width shows the whole text as its tooltip.
  static gboolean OnCellTooltip(GtkWidget* widget, int, int, gboolean, GtkTooltip* tooltip,
                                gpointer) {
    GtkLabel* label = GTK_LABEL(widget);
    if (pango_layout_is_ellipsized(gtk_label_get_layout(label)) == FALSE) return FALSE;
    gtk_tooltip_set_text(tooltip, gtk_label_get_text(label));
    return TRUE;
  }

  // A cell is a label; the first column's has the row's icon before it.
  static void SetupCell(GtkSignalListItemFactory* factory, GtkListItem* item, gpointer) {
    const guint column = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(factory), "qv-column"));
    const bool right = g_object_get_data(G_OBJECT(factory), "qv-right") != nullptr;
    GtkWidget* label = gtk_label_new(nullptr);
    gtk_label_set_xalign(GTK_LABEL(label), right ? 1.0f : 0.0f);
    gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
    gtk_widget_set_hexpand(label, TRUE);
    gtk_widget_set_has_tooltip(label, TRUE);
    g_signal_connect(label, "query-tooltip", G_CALLBACK(OnCellTooltip), nullptr);
    if (column != 0) {
      gtk_list_item_set_child(item, label);
      return;
    }
    GtkWidget* cell = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    GtkWidget* icon = gtk_image_new();
    gtk_image_set_pixel_size(GTK_IMAGE(icon), 16);
    gtk_box_append(GTK_BOX(cell), icon);
    gtk_box_append(GTK_BOX(cell), label);
    gtk_list_item_set_child(item, cell);
  }

  static void BindCell(GtkSignalListItemFactory* factory, GtkListItem* item, gpointer) {
    const guint column = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(factory), "qv-column"));
    auto* row = GTK_STRING_LIST(gtk_list_item_get_item(item));
    const char* text = row != nullptr ? gtk_string_list_get_string(row, column) : nullptr;
    GtkWidget* child = gtk_list_item_get_child(item);
    // The row a right-click lands on is found from the cell under the pointer.
    g_object_set_data(G_OBJECT(child), "qv-item", row);
    if (column != 0) {
      gtk_label_set_text(GTK_LABEL(child), text != nullptr ? text : "");
      return;
    }
    GtkWidget* icon = gtk_widget_get_first_child(child);
    gtk_label_set_text(GTK_LABEL(gtk_widget_get_next_sibling(icon)), text != nullptr ? text : "");
    const guint count = row != nullptr ? g_list_model_get_n_items(G_LIST_MODEL(row)) : 0;
    const char* name = count > 0 ? gtk_string_list_get_string(row, count - 1) : nullptr;
    // A list whose rows have no icons (a progress list) keeps no empty space before its texts.
    gtk_widget_set_visible(icon, name != nullptr && *name != '\0');
    if (name == nullptr || *name == '\0') {
      gtk_image_clear(GTK_IMAGE(icon));
      return;
    }
    // A type the icon theme does not know falls back to a plain file's icon.
    const char* names[] = {name, "text-x-generic", nullptr};
    GIcon* themed = FirstKnownIcon(names);
    if (themed == nullptr) {
      gtk_image_set_from_icon_name(GTK_IMAGE(icon), "text-x-generic");
      return;
    }
    gtk_image_set_from_gicon(GTK_IMAGE(icon), themed);
    g_object_unref(themed);
  }

  static GtkStringList* NewRow(const std::vector<std::string>& texts) {
    std::vector<const char*> pointers;
    for (const std::string& text : texts) pointers.push_back(text.c_str());
    pointers.push_back(nullptr);
    return gtk_string_list_new(pointers.data());
  }

  void GuiBuildControl(Window& window, Control& control, const ControlState& state, int iconSize) {
    switch (state.kind) {
      case ControlKind::Button: {
        control.inner = gtk_button_new_with_mnemonic(Mnemonic(state.text).c_str());
        control.applied = state.text;
        g_object_set_data(G_OBJECT(control.inner), "qv-id", GINT_TO_POINTER(state.id));
        g_signal_connect(control.inner, "clicked", G_CALLBACK(OnButton), &window);
        if (state.isDefault) {
          gtk_widget_add_css_class(control.inner, "suggested-action");
          gtk_window_set_default_widget(GTK_WINDOW(window.window), control.inner);
        }
        break;
      }
      case ControlKind::CheckBox:
        control.inner = gtk_check_button_new_with_mnemonic(Mnemonic(state.text).c_str());
        control.applied = state.text;
        gtk_check_button_set_active(GTK_CHECK_BUTTON(control.inner), state.checked);
        g_object_set_data(G_OBJECT(control.inner), "qv-id", GINT_TO_POINTER(state.id));
        g_signal_connect(control.inner, "toggled", G_CALLBACK(OnToggled), &window);
        break;
      case ControlKind::Static:
        control.inner = gtk_label_new(nullptr);
        gtk_label_set_wrap(GTK_LABEL(control.inner), TRUE);
        gtk_label_set_wrap_mode(GTK_LABEL(control.inner), PANGO_WRAP_WORD_CHAR);
        gtk_label_set_xalign(GTK_LABEL(control.inner), 0.0f);
        gtk_label_set_text(GTK_LABEL(control.inner), state.text.c_str());
        control.applied = state.text;
        break;
      case ControlKind::Icon:
        control.inner = gtk_image_new();
        gtk_image_set_pixel_size(GTK_IMAGE(control.inner), iconSize);
        gtk_widget_set_valign(control.inner, GTK_ALIGN_START);
        break;
      case ControlKind::Edit:
        if ((state.style & ES_PASSWORD) != 0) {
          control.inner = gtk_password_entry_new();
          gtk_password_entry_set_show_peek_icon(GTK_PASSWORD_ENTRY(control.inner), TRUE);
        } else {
          control.inner = gtk_entry_new();
        }
        // Enter in a field presses the default button.
        g_object_set(control.inner, "activates-default", TRUE, nullptr);
        gtk_editable_set_text(GTK_EDITABLE(control.inner), state.text.c_str());
        control.applied = state.text;
        break;
      case ControlKind::ProgressBar:
        control.inner = gtk_progress_bar_new();
        break;
      case ControlKind::Animation:
        control.inner = gtk_spinner_new();
        gtk_widget_set_halign(control.inner, GTK_ALIGN_START);
        break;
      case ControlKind::ListView: {
        control.rows = g_list_store_new(GTK_TYPE_STRING_LIST);
        g_object_ref(control.rows);  // the selection model takes one reference
        control.selection =
            GTK_SELECTION_MODEL(gtk_multi_selection_new(G_LIST_MODEL(control.rows)));
        g_signal_connect(control.selection, "selection-changed", G_CALLBACK(OnSelectionChanged),
                         &control);
        control.inner = gtk_column_view_new(control.selection);
        gtk_column_view_set_show_column_separators(GTK_COLUMN_VIEW(control.inner), TRUE);
        g_signal_connect(control.inner, "activate", G_CALLBACK(OnRowActivated), &control);
        GtkGesture* rightClick = gtk_gesture_click_new();
        gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(rightClick), GDK_BUTTON_SECONDARY);
        g_signal_connect(rightClick, "pressed", G_CALLBACK(OnListRightClick), &control);
        gtk_widget_add_controller(control.inner, GTK_EVENT_CONTROLLER(rightClick));
        GtkWidget* scroller = gtk_scrolled_window_new();
        gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller), control.inner);
        gtk_scrolled_window_set_has_frame(GTK_SCROLLED_WINDOW(scroller), TRUE);
        gtk_widget_set_vexpand(scroller, TRUE);
        gtk_widget_set_size_request(scroller, -1, 140);
        control.widget = scroller;
        break;
      }
    }
    if (control.widget == nullptr) control.widget = control.inner;
  }

  std::unique_ptr<Window> GuiCreate(const DialogState& state) {
    auto window = std::make_unique<Window>();
    window->gui = this;
    window->hwnd = state.hwnd;
    window->templateId = state.templateId;
    const HWND parent = GetParent(state.hwnd);
    auto frame = windows.find(parent);
    if (frame != windows.end() && frame->second->frame) {
      window->embeddedIn = parent;
      window->window = frame->second->window;
    } else {
      window->window = NewTitledWindow(state.caption);
      if (GtkWidget* owner = OwnerWindow(parent))
        gtk_window_set_transient_for(GTK_WINDOW(window->window), GTK_WINDOW(owner));
      gtk_window_set_modal(GTK_WINDOW(window->window), state.modal);
      g_signal_connect(window->window, "close-request", G_CALLBACK(OnCloseRequest), window.get());
      AddEscapeAction(window->window, OnEscape, window.get());

      // The template's size gives the window's width; the content gives its height.
      const int width = static_cast<int>(state.width * kPixelsPerUnit);
      const int height = static_cast<int>(state.height * kPixelsPerUnit);
      bool hasList = false;
      for (const ControlState& c : state.controls)
        hasList = hasList || c.kind == ControlKind::ListView;
      if (hasList) gtk_window_set_resizable(GTK_WINDOW(window->window), TRUE);
      gtk_window_set_default_size(GTK_WINDOW(window->window), width > 0 ? width : -1,
                                  hasList && height > 0 ? height : -1);
    }

    // A page dialog: the page draws everything, its title bar and close button too, at the
    // template's size in the page's own pixels (its background picture is made for it).
    if (GtkWidget* page = pages->ViewOf(state.hwnd)) {
      gtk_window_set_decorated(GTK_WINDOW(window->window), FALSE);
      gtk_window_set_default_size(GTK_WINDOW(window->window), -1, -1);
      gtk_widget_set_size_request(page, state.width, state.height);
      gtk_window_set_child(GTK_WINDOW(window->window), page);
      return window;
    }

    // The layout: the first icon stands at the left of the texts; every other control is a row
    // of the column beside it, an icon sharing its row with the text after it; the buttons form
    // a row at the bottom right, in template order.
    GtkWidget* root = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    gtk_widget_set_margin_start(root, 16);
    gtk_widget_set_margin_end(root, 16);
    gtk_widget_set_margin_top(root, 14);
    gtk_widget_set_margin_bottom(root, 14);
    GtkWidget* body = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 14);
    gtk_widget_set_vexpand(body, TRUE);
    GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_widget_set_hexpand(column, TRUE);
    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_widget_set_halign(buttons, GTK_ALIGN_END);

    window->controls.reserve(state.controls.size());
    bool leadingIcon = false;
    GtkWidget* iconRow = nullptr;  // an inline icon waiting for its text
    for (const ControlState& c : state.controls) {
      Control& control = window->controls.emplace_back();
      control.gui = this;
      control.hwnd = c.hwnd;
      control.id = c.id;
      control.kind = c.kind;
      const bool firstIcon = c.kind == ControlKind::Icon && !leadingIcon;
      GuiBuildControl(*window, control, c, firstIcon ? 48 : 32);
      if (c.kind == ControlKind::Button) {
        gtk_box_append(GTK_BOX(buttons), control.widget);
      } else if (firstIcon) {
        leadingIcon = true;
        gtk_box_append(GTK_BOX(body), control.widget);
      } else if (c.kind == ControlKind::Icon) {
        if (iconRow == nullptr) {
          iconRow = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
          gtk_box_append(GTK_BOX(column), iconRow);
        }
        gtk_box_append(GTK_BOX(iconRow), control.widget);
      } else if (iconRow != nullptr) {
        gtk_widget_set_hexpand(control.widget, TRUE);
        gtk_widget_set_valign(control.widget, GTK_ALIGN_CENTER);
        gtk_box_append(GTK_BOX(iconRow), control.widget);
        iconRow = nullptr;
      } else {
        gtk_box_append(GTK_BOX(column), control.widget);
      }
    }
    gtk_box_append(GTK_BOX(body), column);
    gtk_box_append(GTK_BOX(root), body);
    gtk_box_append(GTK_BOX(root), buttons);
    if (window->embeddedIn == nullptr) {
      gtk_window_set_child(GTK_WINDOW(window->window), root);
      return window;
    }
    for (Control& control : window->controls)
      if (control.kind == ControlKind::ListView) GuiTakeDrops(control);
    // The newest dialog of a frame is the one shown; the one it replaces goes soon after.
    Window& holder = *frame->second;
    for (GtkWidget* child = gtk_widget_get_first_child(holder.slot); child != nullptr;
         child = gtk_widget_get_next_sibling(child))
      gtk_widget_set_visible(child, FALSE);
    window->content = root;
    gtk_widget_set_margin_top(root, 6);
    gtk_widget_set_margin_bottom(root, 6);
    gtk_widget_set_visible(root, FALSE);  // until the dialog has its state applied
    gtk_box_append(GTK_BOX(holder.slot), root);
    holder.child = state.hwnd;
    return window;
  }

  // ---- Browser frames ----

  std::unique_ptr<Window> GuiCreateFrame(const DialogState& state) {
    auto window = std::make_unique<Window>();
    window->gui = this;
    window->hwnd = state.hwnd;
    window->templateId = state.templateId;
    window->frame = true;
    window->window = NewTitledWindow(state.caption);
    gtk_window_set_resizable(GTK_WINDOW(window->window), TRUE);
    const int width = static_cast<int>(state.width * kPixelsPerUnit);
    const int height = static_cast<int>(state.height * kPixelsPerUnit);
    gtk_window_set_default_size(GTK_WINDOW(window->window), width > 0 ? width : 800,
                                height > 0 ? height : 560);
    g_signal_connect(window->window, "close-request", G_CALLBACK(OnCloseRequest), window.get());
    // Keys reach the frame before the list, which would take Enter and Ctrl+A as its own.
    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    g_signal_connect(keys, "key-pressed", G_CALLBACK(OnFrameKey), window.get());
    gtk_widget_add_controller(window->window, keys);

    GtkWidget* root = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    window->toolbar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 2);
    gtk_widget_add_css_class(window->toolbar, "toolbar");
    gtk_widget_set_margin_start(window->toolbar, 6);
    gtk_widget_set_margin_end(window->toolbar, 6);
    gtk_widget_set_margin_top(window->toolbar, 4);
    gtk_widget_set_margin_bottom(window->toolbar, 4);
    window->slot = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_widget_set_vexpand(window->slot, TRUE);
    gtk_box_append(GTK_BOX(root), window->toolbar);
    gtk_box_append(GTK_BOX(root), gtk_separator_new(GTK_ORIENTATION_HORIZONTAL));
    gtk_box_append(GTK_BOX(root), window->slot);
    gtk_window_set_child(GTK_WINDOW(window->window), root);
    auto pending = pendingTools.find(state.hwnd);
    if (pending != pendingTools.end()) {
      GuiSetTools(*window, pending->second);
      pendingTools.erase(pending);
    }
    return window;
  }

  // The first list of the dialog `hwnd`, null when it has none (or no window).
  Control* ListOf(HWND hwnd) {
    const auto found = windows.find(hwnd);
    if (found == windows.end()) return nullptr;
    for (Control& control : found->second->controls)
      if (control.kind == ControlKind::ListView) return &control;
    return nullptr;
  }

  // The virtual key a frame hands to its view for `keyval`, 0 for the list's own keys.
  static WORD FrameVirtualKey(guint keyval, bool withControlOrAlt) {
    switch (keyval) {
      case GDK_KEY_Return:
      case GDK_KEY_KP_Enter:
      case GDK_KEY_ISO_Enter:
        return VK_RETURN;
      case GDK_KEY_Delete:
      case GDK_KEY_KP_Delete:
        return VK_DELETE;
      case GDK_KEY_BackSpace:
        return VK_BACK;
      case GDK_KEY_Escape:
        return VK_ESCAPE;
      default:
        break;
    }
    if (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F12)
      return static_cast<WORD>(kVirtualKeyF1 + (keyval - GDK_KEY_F1));
    const guint upper = gdk_keyval_to_upper(keyval);
    if (withControlOrAlt && ((upper >= 'A' && upper <= 'Z') || (upper >= '0' && upper <= '9')))
      return static_cast<WORD>(upper);
    return 0;
  }

  static bool GuiFrameKey(Window& frame, guint keyval, GdkModifierType state) {
    const bool control = (state & GDK_CONTROL_MASK) != 0;
    const bool alt = (state & GDK_ALT_MASK) != 0;
    const bool shift = (state & GDK_SHIFT_MASK) != 0;
    if (control && !alt && gdk_keyval_to_lower(keyval) == GDK_KEY_w) {
      gtk_window_close(GTK_WINDOW(frame.window));
      return true;
    }
    // The Menu key and Shift+F10 show the view's menu for the selection, at the list's corner.
    if (keyval == GDK_KEY_Menu || (shift && !control && !alt && keyval == GDK_KEY_F10)) {
      Control* list = frame.gui->ListOf(frame.child);
      if (list == nullptr) return false;
      frame.gui->GuiContextClick(*list, -1, 12, 12);
      return true;
    }
    const WORD key = FrameVirtualKey(keyval, control || alt);
    if (key == 0 || frame.child == nullptr) return false;
    const BYTE modifiers =
        static_cast<BYTE>((shift ? FSHIFT : 0) | (control ? FCONTROL : 0) | (alt ? FALT : 0));
    (void)PostMessageA(frame.child, WM_KEYDOWN, key, modifiers);
    return true;
  }

  static gboolean OnFrameKey(GtkEventControllerKey*, guint keyval, guint, GdkModifierType state,
                             gpointer data) {
    return GuiFrameKey(*static_cast<Window*>(data), keyval, state) ? TRUE : FALSE;
  }

  static void OnToolClicked(GtkButton* button, gpointer data) {
    auto* frame = static_cast<Window*>(data);
    if (frame->settingTools) return;
    const int command = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), "qv-command"));
    (void)PostMessageA(frame->hwnd, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(command), 0), 0);
  }

  void GuiSetTools(Window& frame, const std::vector<ToolbarButton>& buttons) {
    bool sameKinds = frame.tools.size() == buttons.size();
    for (std::size_t i = 0; sameKinds && i < buttons.size(); ++i)
      sameKinds = frame.tools[i].button.command == buttons[i].command &&
                  frame.tools[i].button.checkable == buttons[i].checkable &&
                  frame.tools[i].button.icon == buttons[i].icon;
    if (!sameKinds) {
      while (GtkWidget* child = gtk_widget_get_first_child(frame.toolbar))
        gtk_box_remove(GTK_BOX(frame.toolbar), child);
      frame.tools.clear();
      for (const ToolbarButton& button : buttons) {
        Tool tool{button, nullptr};
        if (button.command == 0) {
          tool.widget = gtk_separator_new(GTK_ORIENTATION_VERTICAL);
          gtk_widget_set_margin_start(tool.widget, 4);
          gtk_widget_set_margin_end(tool.widget, 4);
        } else {
          tool.widget = button.checkable ? gtk_toggle_button_new() : gtk_button_new();
          gtk_button_set_icon_name(GTK_BUTTON(tool.widget), button.icon.c_str());
          gtk_widget_add_css_class(tool.widget, "flat");
          g_object_set_data(G_OBJECT(tool.widget), "qv-command", GINT_TO_POINTER(button.command));
          g_signal_connect(tool.widget, "clicked", G_CALLBACK(OnToolClicked), &frame);
        }
        gtk_box_append(GTK_BOX(frame.toolbar), tool.widget);
        frame.tools.push_back(std::move(tool));
      }
    }
    frame.settingTools = true;
    for (std::size_t i = 0; i < buttons.size(); ++i) {
      Tool& tool = frame.tools[i];
      tool.button = buttons[i];
      if (tool.button.command == 0) continue;
      gtk_widget_set_sensitive(tool.widget, tool.button.enabled);
      gtk_widget_set_tooltip_text(
          tool.widget, tool.button.tooltip.empty() ? nullptr : tool.button.tooltip.c_str());
      if (tool.button.checkable)
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(tool.widget), tool.button.checked);
    }
    frame.settingTools = false;
  }

  // ---- Rows: double-click and right-click ----

  static HWND ListDialog(const Control& control) { return qv::ui::detail::DialogOf(control.hwnd); }

  static void SelectAloneUnlessSelected(Control& control, guint row) {
    if (row >= g_list_model_get_n_items(G_LIST_MODEL(control.rows))) return;
    if (!gtk_selection_model_is_selected(control.selection, row))
      gtk_selection_model_select_item(control.selection, row, TRUE);
  }

  static void GuiActivateRow(Control& control, guint row) {
    SelectAloneUnlessSelected(control, row);
    (void)PostMessageA(ListDialog(control), WM_KEYDOWN, VK_RETURN, 0);
  }

  static void OnRowActivated(GtkColumnView*, guint position, gpointer data) {
    GuiActivateRow(*static_cast<Control*>(data), position);
  }

  void GuiContextClick(Control& control, int row, double x, double y) {
    if (row >= 0) SelectAloneUnlessSelected(control, static_cast<guint>(row));
    if (menuAnchor != nullptr)
      g_object_remove_weak_pointer(G_OBJECT(menuAnchor), reinterpret_cast<gpointer*>(&menuAnchor));
    menuAnchor = control.inner;
    g_object_add_weak_pointer(G_OBJECT(menuAnchor), reinterpret_cast<gpointer*>(&menuAnchor));
    menuX = x;
    menuY = y;
    (void)PostMessageA(ListDialog(control), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(control.hwnd),
                       0);
  }

  // The row whose cell is at (x, y) of the list, -1 when none is.
  static int RowAt(const Control& control, double x, double y) {
    GtkWidget* picked = gtk_widget_pick(control.inner, x, y, GTK_PICK_DEFAULT);
    for (GtkWidget* w = picked; w != nullptr && w != control.inner; w = gtk_widget_get_parent(w)) {
      for (GtkWidget* candidate : {w, gtk_widget_get_first_child(w)}) {
        gpointer item =
            candidate != nullptr ? g_object_get_data(G_OBJECT(candidate), "qv-item") : nullptr;
        guint position = 0;
        if (item != nullptr && g_list_store_find(control.rows, item, &position))
          return static_cast<int>(position);
      }
    }
    return -1;
  }

  static void OnListRightClick(GtkGestureClick* gesture, int, double x, double y, gpointer data) {
    auto* control = static_cast<Control*>(data);
    gtk_gesture_set_state(GTK_GESTURE(gesture), GTK_EVENT_SEQUENCE_CLAIMED);
    control->gui->GuiContextClick(*control, RowAt(*control, x, y), x, y);
  }

  // ---- Files dropped in ----

  // Files dropped in and rows dragged out, both as copies only (see TakeDroppedFiles).
  void GuiTakeDrops(Control& control) {
    control.takesDrops = true;
    GtkDropTarget* target = gtk_drop_target_new(GDK_TYPE_FILE_LIST, GDK_ACTION_COPY);
    g_signal_connect(target, "drop", G_CALLBACK(OnFilesDropped), &control);
    gtk_widget_add_controller(control.inner, GTK_EVENT_CONTROLLER(target));
    GtkDragSource* source = gtk_drag_source_new();
    gtk_drag_source_set_actions(source, GDK_ACTION_COPY);
    g_signal_connect(source, "prepare", G_CALLBACK(OnDragPrepare), &control);
    gtk_widget_add_controller(control.inner, GTK_EVENT_CONTROLLER(source));
  }

  // The content of a drag starting on `row`, which becomes the selection unless it is part of
  // it; null (no drag) beside the rows.
  GdkContentProvider* GuiPrepareDrag(Control& control, int row) {
    if (row < 0 || static_cast<guint>(row) >= g_list_model_get_n_items(G_LIST_MODEL(control.rows)))
      return nullptr;
    SelectAloneUnlessSelected(control, static_cast<guint>(row));
    return NewDragContent(this, ListDialog(control));
  }

  static GdkContentProvider* OnDragPrepare(GtkDragSource*, double x, double y, gpointer data) {
    auto* control = static_cast<Control*>(data);
    return control->gui->GuiPrepareDrag(*control, RowAt(*control, x, y));
  }

  // A drop target asks for the files of rows dragged out of `dialog`'s list: the dialog is
  // asked, and `task` ends when it answers (GuiAnswerDrag).
  void GuiAskDraggedFiles(HWND dialog, GTask* task, GOutputStream* stream) {
    const WPARAM request = ++lastDragRequest;
    pendingDrags[request] = {task, G_OUTPUT_STREAM(g_object_ref(stream)), dialog};
    if (!PostMessageA(dialog, kFilesWantedMessage, request, 0)) GuiAnswerDrag(request, {});
  }

  // Writes the URIs of `paths` for the drop target of `request`; none fails its drop.
  void GuiAnswerDrag(WPARAM request, const std::vector<std::string>& paths) {
    const auto found = pendingDrags.find(request);
    if (found == pendingDrags.end()) return;
    const PendingDrag drag = found->second;
    pendingDrags.erase(found);
    std::string text;
    for (const std::string& path : paths) {
      gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
      if (uri == nullptr) {
        text.clear();
        break;
      }
      text += uri;
      text += "\r\n";
      g_free(uri);
    }
    GError* error = nullptr;
    if (text.empty())
      g_task_return_new_error(drag.task, G_IO_ERROR, G_IO_ERROR_FAILED,
                              "the dragged rows cannot be given as files");
    else if (!g_output_stream_write_all(drag.stream, text.data(), text.size(), nullptr, nullptr,
                                        &error))
      g_task_return_error(drag.task, error);
    else
      g_task_return_boolean(drag.task, TRUE);
    g_object_unref(drag.stream);
    g_object_unref(drag.task);
  }

  // Hands `files` dropped on `row` (-1: beside the rows) to the list's dialog; false, taking
  // nothing, when one of them is not a local file.
  bool GuiDropFiles(Control& control, GSList* files, int row) {
    DroppedFiles drop;
    drop.list = control.hwnd;
    for (GSList* link = files; link != nullptr; link = link->next) {
      char* path = g_file_get_path(G_FILE(link->data));
      if (path == nullptr) return false;
      drop.paths.emplace_back(path);
      g_free(path);
    }
    if (drop.paths.empty()) return false;
    if (row >= 0 && static_cast<guint>(row) < g_list_model_get_n_items(G_LIST_MODEL(control.rows)))
      drop.point = {1, row * CListCtrl::kItemHeight + 1};
    const HWND dialog = ListDialog(control);
    {
      std::lock_guard guard(lock);
      drops[dialog].push_back(std::move(drop));
    }
    return PostMessageA(dialog, kFilesDroppedMessage, 0, 0) != FALSE;
  }

  static gboolean OnFilesDropped(GtkDropTarget* target, const GValue* value, double x, double y,
                                 gpointer data) {
    auto* control = static_cast<Control*>(data);
    if (!G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST)) return FALSE;
    // Rows of this process dragged onto a list would come back as decrypted copies of
    // themselves; the view moves its own items through its own commands.
    GdkDrop* drop = gtk_drop_target_get_current_drop(target);
    if (drop != nullptr && gdk_drop_get_drag(drop) != nullptr) return FALSE;
    auto* list = static_cast<GdkFileList*>(g_value_get_boxed(value));
    GSList* files = gdk_file_list_get_files(list);
    const bool taken = control->gui->GuiDropFiles(*control, files, RowAt(*control, x, y));
    g_slist_free(files);
    return taken ? TRUE : FALSE;
  }

  // ---- Pop-up menus ----

  struct MenuEntry {
    UINT id = 0;
    std::string text;
    bool greyed = false;
    bool separator = false;
  };

  static void OnPopupItem(GtkButton* button, gpointer data) {
    auto* popup = static_cast<Popup*>(data);
    const UINT id = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(button), "qv-id"));
    if (!popup->answered) {
      popup->answered = true;
      popup->answer.set_value(id);
    }
    gtk_popover_popdown(GTK_POPOVER(popup->popover));
  }

  static void OnPopupClosed(GtkPopover*, gpointer data) {
    auto* popup = static_cast<Popup*>(data);
    if (!popup->answered) {
      popup->answered = true;
      popup->answer.set_value(0);
    }
    // The popover is taken down once its signal has returned, unless the window closing in the
    // meantime took it down already (then the popup is gone and the weak reference says so).
    g_idle_add_full(
        G_PRIORITY_DEFAULT_IDLE,
        +[](gpointer raw) -> gboolean {
          std::shared_ptr<Popup> closing = static_cast<std::weak_ptr<Popup>*>(raw)->lock();
          if (closing == nullptr) return G_SOURCE_REMOVE;
          closing->gui->GuiRemovePopup(*closing);
          return G_SOURCE_REMOVE;
        },
        new std::weak_ptr<Popup>(popup->weak_from_this()),
        +[](gpointer raw) { delete static_cast<std::weak_ptr<Popup>*>(raw); });
  }

  void GuiRemovePopup(Popup& popup) {
    if (popup.popover != nullptr) gtk_widget_unparent(popup.popover);
    popup.popover = nullptr;
    std::erase_if(popups, [&popup](const std::shared_ptr<Popup>& p) { return p.get() == &popup; });
  }

  void GuiShowPopup(const std::shared_ptr<Popup>& popup, const std::vector<MenuEntry>& entries) {
    GtkWidget* anchor =
        menuAnchor != nullptr && gtk_widget_get_mapped(menuAnchor) ? menuAnchor : nullptr;
    double x = menuX;
    double y = menuY;
    if (anchor == nullptr) {
      for (const auto& [hwnd, window] : windows) {
        if (window->frame && gtk_widget_get_mapped(window->slot)) {
          anchor = window->slot;
          x = y = 8;
          break;
        }
      }
    }
    if (anchor == nullptr) {
      popup->answered = true;
      popup->answer.set_value(0);
      return;
    }
    popup->popover = gtk_popover_new();
    gtk_widget_set_parent(popup->popover, anchor);
    gtk_popover_set_has_arrow(GTK_POPOVER(popup->popover), FALSE);
    gtk_widget_set_halign(popup->popover, GTK_ALIGN_START);
    const GdkRectangle at{static_cast<int>(x), static_cast<int>(y), 1, 1};
    gtk_popover_set_pointing_to(GTK_POPOVER(popup->popover), &at);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    for (const MenuEntry& entry : entries) {
      GtkWidget* widget = nullptr;
      if (entry.separator) {
        widget = gtk_separator_new(GTK_ORIENTATION_HORIZONTAL);
      } else {
        widget = gtk_button_new_with_mnemonic(Mnemonic(entry.text).c_str());
        gtk_widget_add_css_class(widget, "flat");
        if (GtkWidget* label = gtk_button_get_child(GTK_BUTTON(widget)); GTK_IS_LABEL(label))
          gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
        gtk_widget_set_sensitive(widget, !entry.greyed);
        g_object_set_data(G_OBJECT(widget), "qv-id", GUINT_TO_POINTER(entry.id));
        g_signal_connect(widget, "clicked", G_CALLBACK(OnPopupItem), popup.get());
      }
      gtk_box_append(GTK_BOX(box), widget);
      popup->items.emplace_back(entry.separator ? 0 : entry.id, widget);
    }
    gtk_popover_set_child(GTK_POPOVER(popup->popover), box);
    g_signal_connect(popup->popover, "closed", G_CALLBACK(OnPopupClosed), popup.get());
    popups.push_back(popup);
    gtk_popover_popup(GTK_POPOVER(popup->popover));
  }

  void GuiApply(Window& window, const DialogState& state) {
    if (window.embeddedIn != nullptr) {
      for (std::size_t i = 0; i < window.controls.size() && i < state.controls.size(); ++i)
        GuiApplyControl(window.controls[i], state.controls[i]);
      auto frame = windows.find(window.embeddedIn);
      if (frame != windows.end() && frame->second->child == window.hwnd &&
          !gtk_widget_get_visible(window.content))
        gtk_widget_set_visible(window.content, TRUE);
      return;
    }
    GtkWindow* gtkWindow = GTK_WINDOW(window.window);
    const char* title = gtk_window_get_title(gtkWindow);
    if (title == nullptr || state.caption != title)
      gtk_window_set_title(gtkWindow, state.caption.c_str());
    gtk_window_set_deletable(gtkWindow, state.closeEnabled);
    for (std::size_t i = 0; i < window.controls.size() && i < state.controls.size(); ++i)
      GuiApplyControl(window.controls[i], state.controls[i]);
    if (!gtk_widget_get_visible(window.window)) gtk_window_present(gtkWindow);
  }

  void GuiApplyControl(Control& control, const ControlState& state) {
    if (gtk_widget_get_visible(control.widget) != state.visible)
      gtk_widget_set_visible(control.widget, state.visible);
    if (gtk_widget_get_sensitive(control.inner) != state.enabled)
      gtk_widget_set_sensitive(control.inner, state.enabled);
    switch (control.kind) {
      case ControlKind::Button:
        if (state.text != control.applied) {
          gtk_button_set_label(GTK_BUTTON(control.inner), Mnemonic(state.text).c_str());
          gtk_button_set_use_underline(GTK_BUTTON(control.inner), TRUE);
          control.applied = state.text;
        }
        break;
      case ControlKind::CheckBox:
        if (state.text != control.applied) {
          gtk_check_button_set_label(GTK_CHECK_BUTTON(control.inner), Mnemonic(state.text).c_str());
          control.applied = state.text;
        }
        if ((gtk_check_button_get_active(GTK_CHECK_BUTTON(control.inner)) != FALSE) !=
            state.checked)
          gtk_check_button_set_active(GTK_CHECK_BUTTON(control.inner), state.checked);
        break;
      case ControlKind::Static:
        if (state.text != control.applied) {
          gtk_label_set_text(GTK_LABEL(control.inner), state.text.c_str());
          control.applied = state.text;
        }
        break;
      case ControlKind::Icon:
        if (state.icon != control.icon) {
          control.icon = state.icon;
          GIcon* icon = IconFor(state.icon);
          gtk_image_set_from_gicon(GTK_IMAGE(control.inner), icon);
          if (icon != nullptr) g_object_unref(icon);
        }
        break;
      case ControlKind::Edit:
        // Only a text the dialog set itself replaces what the user typed.
        if (state.text != control.applied) {
          gtk_editable_set_text(GTK_EDITABLE(control.inner), state.text.c_str());
          QvWipe(control.applied);
          control.applied = state.text;
        }
        break;
      case ControlKind::ProgressBar: {
        const int span = state.upper - state.lower;
        const double fraction =
            span > 0 ? std::clamp(double(state.position - state.lower) / span, 0.0, 1.0) : 0.0;
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(control.inner), fraction);
        break;
      }
      case ControlKind::Animation:
        gtk_spinner_set_spinning(GTK_SPINNER(control.inner), state.playing);
        break;
      case ControlKind::ListView:
        GuiApplyList(control, state);
        break;
    }
  }

  // The texts a row shows, one per column, and its icon's name last.
  std::vector<std::string> RowCells(const Control& control, const ListItemState& item,
                                    std::size_t columns) {
    std::vector<std::string> cells = item.texts;
    if (item.textCallback) {
      std::lock_guard<std::mutex> guard(lock);
      auto list = callbackTexts.find(control.hwnd);
      if (list != callbackTexts.end()) {
        auto texts = list->second.find(item.data);
        if (texts != list->second.end()) cells = texts->second;
      }
    }
    cells.resize(std::max<std::size_t>(columns, 1));
    cells.push_back(item.image >= 0 ? QvSystemIconName(item.image) : std::string());
    return cells;
  }

  void GuiApplyList(Control& control, const ControlState& state) {
    std::vector<std::string> titles;
    for (const ListColumnState& column : state.columns) titles.push_back(column.title);
    GtkColumnView* view = GTK_COLUMN_VIEW(control.inner);
    if (titles != control.columns) {
      GListModel* existing = gtk_column_view_get_columns(view);
      while (g_list_model_get_n_items(existing) > 0) {
        auto* first = GTK_COLUMN_VIEW_COLUMN(g_list_model_get_item(existing, 0));
        gtk_column_view_remove_column(view, first);
        g_object_unref(first);
      }
      for (std::size_t i = 0; i < state.columns.size(); ++i) {
        GtkListItemFactory* factory = gtk_signal_list_item_factory_new();
        g_object_set_data(G_OBJECT(factory), "qv-column", GUINT_TO_POINTER(i));
        if ((state.columns[i].format & LVCFMT_RIGHT) != 0)
          g_object_set_data(G_OBJECT(factory), "qv-right", GUINT_TO_POINTER(1));
        g_signal_connect(factory, "setup", G_CALLBACK(SetupCell), nullptr);
        g_signal_connect(factory, "bind", G_CALLBACK(BindCell), nullptr);
        GtkColumnViewColumn* column =
            gtk_column_view_column_new(state.columns[i].title.c_str(), factory);
        gtk_column_view_column_set_resizable(column, TRUE);
        // The columns share the width, and the user can widen any of them.
        gtk_column_view_column_set_expand(column, TRUE);
        gtk_column_view_append_column(view, column);
        g_object_unref(column);
      }
      control.columns = titles;
    }
    // Rows: only those whose texts changed are replaced, new ones appended, extra ones dropped.
    control.settingSelection = true;
    const std::size_t shown = control.shownRows.size();
    const std::size_t wanted = state.items.size();
    for (std::size_t row = 0; row < std::min(shown, wanted); ++row) {
      std::vector<std::string> cells = RowCells(control, state.items[row], state.columns.size());
      if (control.shownRows[row] == cells) continue;
      GtkStringList* item = NewRow(cells);
      g_list_store_splice(control.rows, static_cast<guint>(row), 1,
                          reinterpret_cast<gpointer*>(&item), 1);
      g_object_unref(item);
      control.shownRows[row] = std::move(cells);
    }
    if (wanted > shown) {
      std::vector<gpointer> added;
      for (std::size_t row = shown; row < wanted; ++row) {
        std::vector<std::string> cells = RowCells(control, state.items[row], state.columns.size());
        added.push_back(NewRow(cells));
        control.shownRows.push_back(std::move(cells));
      }
      g_list_store_splice(control.rows, static_cast<guint>(shown), 0, added.data(),
                          static_cast<guint>(added.size()));
      for (gpointer item : added) g_object_unref(item);
    } else if (wanted < shown) {
      g_list_store_splice(control.rows, static_cast<guint>(wanted),
                          static_cast<guint>(shown - wanted), nullptr, 0);
      control.shownRows.resize(wanted);
    }
    GtkBitset* selected = gtk_bitset_new_empty();
    for (std::size_t row = 0; row < wanted; ++row)
      if ((state.items[row].state & LVIS_SELECTED) != 0)
        gtk_bitset_add(selected, static_cast<guint>(row));
    GtkBitset* current = gtk_selection_model_get_selection(control.selection);
    if (!gtk_bitset_equals(selected, current)) {
      GtkBitset* all = gtk_bitset_new_range(0, static_cast<guint>(wanted));
      gtk_selection_model_set_selection(control.selection, selected, all);
      gtk_bitset_unref(all);
    }
    gtk_bitset_unref(current);
    gtk_bitset_unref(selected);
    control.settingSelection = false;
  }

  // ---- Message boxes ----

  static void OnBoxButton(GtkButton* button, gpointer data) {
    auto* box = static_cast<Box*>(data);
    box->gui->GuiAnswer(box, GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), "qv-id")));
  }

  static gboolean OnBoxClose(GtkWindow*, gpointer data) {
    auto* box = static_cast<Box*>(data);
    box->gui->GuiAnswer(box, MessageBoxCancelResult(box->type));
    return TRUE;
  }

  static gboolean OnBoxEscape(GtkWidget*, GVariant*, gpointer data) {
    return OnBoxClose(nullptr, data);
  }

  void GuiAnswer(Box* box, int answer) {
    if (!box->answered) {
      box->answered = true;
      box->answer.set_value(answer);
    }
    gtk_window_destroy(GTK_WINDOW(box->window));
    std::erase_if(boxes, [box](const std::shared_ptr<Box>& b) { return b.get() == box; });
  }

  void GuiShowBox(Box* box, HWND owner, const std::string& caption) {
    box->window = NewTitledWindow(caption);
    gtk_window_set_modal(GTK_WINDOW(box->window), TRUE);
    if (GtkWidget* parent = OwnerWindow(owner))
      gtk_window_set_transient_for(GTK_WINDOW(box->window), GTK_WINDOW(parent));
    gtk_window_set_default_size(GTK_WINDOW(box->window), 380, -1);
    g_signal_connect(box->window, "close-request", G_CALLBACK(OnBoxClose), box);
    AddEscapeAction(box->window, OnBoxEscape, box);

    GtkWidget* root = gtk_box_new(GTK_ORIENTATION_VERTICAL, 14);
    gtk_widget_set_margin_start(root, 16);
    gtk_widget_set_margin_end(root, 16);
    gtk_widget_set_margin_top(root, 14);
    gtk_widget_set_margin_bottom(root, 14);
    GtkWidget* body = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 14);
    if (const char* iconName = MessageBoxIconName(box->type)) {
      GtkWidget* icon = gtk_image_new_from_icon_name(iconName);
      gtk_image_set_pixel_size(GTK_IMAGE(icon), 48);
      gtk_widget_set_valign(icon, GTK_ALIGN_START);
      gtk_box_append(GTK_BOX(body), icon);
    }
    // Plain text: a file name that looks like markup is shown as it is.
    GtkWidget* label = gtk_label_new(box->text.c_str());
    box->label = label;
    gtk_label_set_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
    gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 60);
    gtk_widget_set_hexpand(label, TRUE);
    gtk_box_append(GTK_BOX(body), label);
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_widget_set_halign(row, GTK_ALIGN_END);
    const std::vector<int> ids = MessageBoxButtons(box->type);
    const std::size_t defaultIndex = (box->type & MB_DEFBUTTON2) != 0 && ids.size() > 1 ? 1 : 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      GtkWidget* button = gtk_button_new_with_label(MessageBoxButtonText(ids[i]));
      g_object_set_data(G_OBJECT(button), "qv-id", GINT_TO_POINTER(ids[i]));
      g_signal_connect(button, "clicked", G_CALLBACK(OnBoxButton), box);
      gtk_box_append(GTK_BOX(row), button);
      box->buttons.emplace_back(ids[i], button);
      if (i == defaultIndex) {
        gtk_widget_add_css_class(button, "suggested-action");
        gtk_window_set_default_widget(GTK_WINDOW(box->window), button);
        gtk_window_set_focus(GTK_WINDOW(box->window), button);
      }
    }
    gtk_box_append(GTK_BOX(root), body);
    gtk_box_append(GTK_BOX(root), row);
    gtk_window_set_child(GTK_WINDOW(box->window), root);
    gtk_window_present(GTK_WINDOW(box->window));
  }

  // The display went away: every box is answered with its Cancel value.
  void GuiLost() {
    alive.store(false);
    for (auto& box : boxes) {
      if (!box->answered) {
        box->answered = true;
        box->answer.set_value(MessageBoxCancelResult(box->type));
      }
    }
    g_main_loop_quit(loop);
  }
};

// ---- A drag's content ----

namespace {

// text/uri-list of the rows dragged out of a dialog's list, asked of the dialog only when a drop
// target reads it.
struct QvDragContent {
  GdkContentProvider parent_instance;
  DesktopBackend::Gui* gui;
  HWND dialog;
};
struct QvDragContentClass {
  GdkContentProviderClass parent_class;
};
G_DEFINE_TYPE(QvDragContent, qv_drag_content, GDK_TYPE_CONTENT_PROVIDER)

constexpr const char* kUriListType = "text/uri-list";

GdkContentFormats* DragContentFormats(GdkContentProvider*) {
  const char* types[] = {kUriListType};
  return gdk_content_formats_new(types, 1);
}

void DragContentWrite(GdkContentProvider* provider, const char* mimeType, GOutputStream* stream,
                      int, GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
  auto* self = reinterpret_cast<QvDragContent*>(provider);
  GTask* task = g_task_new(provider, cancellable, callback, data);
  if (g_strcmp0(mimeType, kUriListType) != 0) {
    g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "only %s is offered",
                            kUriListType);
    g_object_unref(task);
    return;
  }
  self->gui->GuiAskDraggedFiles(self->dialog, task, stream);
}

gboolean DragContentWriteFinish(GdkContentProvider*, GAsyncResult* result, GError** error) {
  return g_task_propagate_boolean(G_TASK(result), error);
}

void qv_drag_content_class_init(QvDragContentClass* klass) {
  GdkContentProviderClass* provider = GDK_CONTENT_PROVIDER_CLASS(klass);
  provider->ref_formats = DragContentFormats;
  provider->write_mime_type_async = DragContentWrite;
  provider->write_mime_type_finish = DragContentWriteFinish;
}

void qv_drag_content_init(QvDragContent*) {}

GdkContentProvider* NewDragContent(DesktopBackend::Gui* gui, HWND dialog) {
  auto* content = static_cast<QvDragContent*>(g_object_new(qv_drag_content_get_type(), nullptr));
  content->gui = gui;
  content->dialog = dialog;
  return GDK_CONTENT_PROVIDER(content);
}

}  // namespace

// ---- The back end ----

DesktopBackend::DesktopBackend() : gui_(std::make_unique<Gui>()) {}

std::unique_ptr<DesktopBackend> DesktopBackend::Open(std::string* why) {
  std::unique_ptr<DesktopBackend> backend(new DesktopBackend());
  Gui* gui = backend->gui_.get();
  std::promise<std::string> opened;
  std::future<std::string> result = opened.get_future();
  gui->pages = std::make_unique<WebPages>(
      [gui](std::function<void()> work) { return gui->Post(std::move(work)); });
  gui->thread = std::thread([gui, &opened] {
    if (!gtk_init_check()) {
      const char* display = g_getenv("WAYLAND_DISPLAY");
      if (display == nullptr || *display == '\0') display = g_getenv("DISPLAY");
      if (display != nullptr && *display == '\0') display = nullptr;
      opened.set_value(std::string("cannot open the display ") +
                       (display != nullptr ? "\"" + std::string(display) + "\"" : "(none set)"));
      return;
    }
    gui->context = g_main_context_default();
    gui->loop = g_main_loop_new(gui->context, FALSE);
    // The display and the default context outlive this back end (a process may open another),
    // so what is hung on them here is taken off again when the loop ends.
    GdkDisplay* display = GDK_DISPLAY(g_object_ref(gdk_display_get_default()));
    const gulong lostHandler =
        g_signal_connect(display, "closed", G_CALLBACK(+[](GdkDisplay*, gboolean, gpointer data) {
                           static_cast<Gui*>(data)->GuiLost();
                         }),
                         gui);
    const guint sweepTimer = g_timeout_add(
        kSweepIntervalMs,
        [](gpointer data) -> gboolean {
          static_cast<Gui*>(data)->GuiSweep();
          return G_SOURCE_CONTINUE;
        },
        gui);
    gui->alive.store(true);
    opened.set_value({});
    g_main_loop_run(gui->loop);
    gui->StopAttaching();
    g_source_remove(sweepTimer);
    g_signal_handler_disconnect(display, lostHandler);
    g_object_unref(display);
    // Popovers go before the windows they hang on; their choosers get "dismissed".
    while (!gui->popups.empty()) gui->GuiRemovePopup(*gui->popups.back());
    for (auto& [hwnd, window] : gui->windows)
      if (window->embeddedIn == nullptr) gtk_window_destroy(GTK_WINDOW(window->window));
    gui->windows.clear();
    gui->pages->Shutdown();
    for (auto& box : gui->boxes) {
      if (!box->answered) box->answer.set_value(MessageBoxCancelResult(box->type));
      box->answered = true;
    }
    gui->boxes.clear();
    // Tasks posted while the loop stopped are dropped, which breaks their callers' promises.
    while (g_main_context_pending(gui->context)) g_main_context_iteration(gui->context, FALSE);
  });
  std::string failure = result.get();
  if (!failure.empty()) {
    backend->gui_->thread.join();
    if (why != nullptr) *why = failure;
    return nullptr;
  }
  return backend;
}

DesktopBackend::~DesktopBackend() {
  if (gui_->alive.load()) {
    Gui* gui = gui_.get();
    gui->Post([gui] { g_main_loop_quit(gui->loop); });
  }
  if (gui_->thread.joinable()) gui_->thread.join();
  if (gui_->loop != nullptr) g_main_loop_unref(gui_->loop);
}

void DesktopBackend::DialogShown(const DialogState& dialog) { gui_->MarkDirty(dialog.hwnd, 0); }

namespace {

// Asks the list's parent for the texts of row `row` when it gives them on demand; false when
// the row's texts are its own.
bool AskRowTexts(HWND list, int row, LPARAM* data, std::vector<std::string>* texts) {
  bool callback = false;
  std::size_t columns = 0;
  qv::ui::detail::ReadControl(list, [&](const ControlState& s) {
    if (row < 0 || static_cast<std::size_t>(row) >= s.items.size()) return;
    callback = s.items[static_cast<std::size_t>(row)].textCallback;
    *data = s.items[static_cast<std::size_t>(row)].data;
    columns = std::max<std::size_t>(s.columns.size(), 1);
  });
  if (!callback) return false;
  const CListCtrl control(list);
  texts->clear();
  for (std::size_t column = 0; column < columns; ++column)
    texts->push_back(control.GetItemText(row, static_cast<int>(column)));
  return true;
}

}  // namespace

void DesktopBackend::ControlChanged(const ControlChange& change) {
  // Texts a parent gives on demand are asked for here, on the thread that changed the list
  // (the parent's own, as a rule), so the GTK thread never waits for a dialog's thread.
  const bool rowTexts =
      change.kind == ChangeKind::ListItemAdded || change.kind == ChangeKind::ListItemText;
  if (rowTexts || change.kind == ChangeKind::ListItemRemoved ||
      change.kind == ChangeKind::ListColumns) {
    const HWND list = GetDlgItem(change.dialog, change.controlId);
    const int count = list != nullptr ? CListCtrl(list).GetItemCount() : 0;
    std::vector<std::pair<LPARAM, std::vector<std::string>>> asked;
    const int first = rowTexts ? change.row : 0;
    const int last =
        rowTexts ? change.row : (change.kind == ChangeKind::ListColumns ? count - 1 : -1);
    for (int row = first; list != nullptr && row <= last; ++row) {
      LPARAM data = 0;
      std::vector<std::string> texts;
      if (AskRowTexts(list, row, &data, &texts)) asked.emplace_back(data, std::move(texts));
    }
    std::lock_guard<std::mutex> guard(gui_->lock);
    if (count == 0) {
      gui_->callbackTexts.erase(list);
    } else {
      auto& known = gui_->callbackTexts[list];
      for (auto& [data, texts] : asked) known[data] = std::move(texts);
    }
  }
  gui_->MarkDirty(change.dialog, kSyncDelayMs);
}

void DesktopBackend::MakeFrame(HWND frame) {
  std::lock_guard<std::mutex> guard(gui_->lock);
  gui_->frames.insert(frame);
}

void DesktopBackend::SetToolbar(HWND frame, std::vector<ToolbarButton> buttons) {
  Gui* gui = gui_.get();
  (void)gui->Post([gui, frame, buttons = std::move(buttons)] {
    auto it = gui->windows.find(frame);
    if (it == gui->windows.end() || !it->second->frame) {
      gui->pendingTools[frame] = buttons;
      return;
    }
    gui->GuiSetTools(*it->second, buttons);
  });
}

UINT DesktopBackend::ChoosePopupMenuItem(HMENU menu, void* backend) {
  auto* self = static_cast<DesktopBackend*>(backend);
  if (self == nullptr) return 0;
  Gui* gui = self->gui_.get();
  std::vector<Gui::MenuEntry> entries;
  const int count = GetMenuItemCount(menu);
  for (int i = 0; i < count; ++i) {
    Gui::MenuEntry entry;
    const auto position = static_cast<UINT>(i);
    const UINT state = GetMenuState(menu, position, MF_BYPOSITION);
    entry.id = GetMenuItemID(menu, i);
    entry.separator = (state & MF_SEPARATOR) != 0;
    entry.greyed = (state & (MF_GRAYED | MF_DISABLED)) != 0;
    char text[512] = {};
    if (!entry.separator) (void)GetMenuStringA(menu, position, text, sizeof text, MF_BYPOSITION);
    entry.text = text;
    entries.push_back(std::move(entry));
  }
  auto popup = std::make_shared<Gui::Popup>();
  popup->gui = gui;
  std::future<UINT> chosen = popup->answer.get_future();
  if (!gui->Post([gui, popup, entries = std::move(entries)] { gui->GuiShowPopup(popup, entries); }))
    return 0;
  popup.reset();
  try {
    return chosen.get();
  } catch (const std::future_error&) {
    return 0;  // the display went away with the menu open
  }
}

void DesktopBackend::DialogClosed(const DialogState& dialog, INT_PTR) {
  {
    std::lock_guard<std::mutex> guard(gui_->lock);
    gui_->closed.insert(dialog.hwnd);
  }
  gui_->MarkDirty(dialog.hwnd, 0);
}

bool DesktopBackend::WaitForUser(HWND dialog) {
  if (gui_->alive.load()) return false;  // the user answers through the window
  // No display any more: close the dialog as if no one were there; one that ignores the
  // close (its Cancel is greyed) is ended.
  {
    std::lock_guard<std::mutex> guard(gui_->noUserLock);
    std::erase_if(gui_->toldToClose, [](HWND h) { return !IsDialog(h); });
    if (!gui_->toldToClose.insert(dialog).second) return EndModalDialog(dialog, IDCANCEL);
  }
  return CloseDialogBySystemMenu(dialog) || EndModalDialog(dialog, IDCANCEL);
}

int DesktopBackend::ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type) {
  auto box = std::make_shared<Gui::Box>();
  box->gui = gui_.get();
  box->type = type;
  box->text = text;
  std::future<int> answer = box->answer.get_future();
  Gui* gui = gui_.get();
  const std::string title = caption;
  // When the GTK thread stops before it shows the box, the task and the box go unanswered,
  // which breaks the promise: the caller gets the Cancel value instead of waiting for ever.
  if (!gui->Post([gui, box = std::move(box), owner, title]() mutable {
        Gui::Box* shown = box.get();
        gui->boxes.push_back(std::move(box));
        gui->GuiShowBox(shown, owner, title);
      }))
    return MessageBoxCancelResult(type);
  try {
    return answer.get();
  } catch (const std::future_error&) {
    return MessageBoxCancelResult(type);
  }
}

std::unique_ptr<PageHost> DesktopBackend::CreatePageHost(HWND dialog, const PageSource& source) {
  return gui_->pages->CreateHost(dialog, source);
}

// ---- Through the widgets ----

namespace {

using Window = DesktopBackend::Gui::Window;
using Control = DesktopBackend::Gui::Control;

Control* FindControl(DesktopBackend::Gui& gui, HWND dialog, int id) {
  auto it = gui.windows.find(dialog);
  if (it == gui.windows.end()) return nullptr;
  for (Control& control : it->second->controls)
    if (control.id == id) return &control;
  return nullptr;
}

// The icon `image` is drawn with: the name the display's icon theme finds for what it holds.
std::string DrawnIconName(GtkImage* image) {
  GtkWidget* widget = GTK_WIDGET(image);
  GtkIconTheme* theme = gtk_icon_theme_get_for_display(gtk_widget_get_display(widget));
  const int size = std::max(gtk_image_get_pixel_size(image), 1);
  const int scale = gtk_widget_get_scale_factor(widget);
  const GtkTextDirection direction = gtk_widget_get_direction(widget);
  GtkIconPaintable* icon = nullptr;
  if (gtk_image_get_storage_type(image) == GTK_IMAGE_ICON_NAME) {
    icon = gtk_icon_theme_lookup_icon(theme, gtk_image_get_icon_name(image), nullptr, size, scale,
                                      direction, GtkIconLookupFlags{});
  } else if (gtk_image_get_storage_type(image) == GTK_IMAGE_GICON) {
    icon = gtk_icon_theme_lookup_by_gicon(theme, gtk_image_get_gicon(image), size, scale, direction,
                                          GtkIconLookupFlags{});
  }
  if (icon == nullptr) return {};
  const char* name = gtk_icon_paintable_get_icon_name(icon);
  std::string drawn = name != nullptr ? name : "";
  g_object_unref(icon);
  return drawn;
}

// The drawn icon of every row of `control` that has a cell on screen, found below `widget`.
void CollectDrawnIcons(const Control& control, GtkWidget* widget, std::vector<std::string>* icons) {
  for (GtkWidget* child = gtk_widget_get_first_child(widget); child != nullptr;
       child = gtk_widget_get_next_sibling(child)) {
    auto* row = static_cast<GtkStringList*>(g_object_get_data(G_OBJECT(child), "qv-item"));
    GtkWidget* image = gtk_widget_get_first_child(child);
    guint position = 0;
    if (row != nullptr && GTK_IS_BOX(child) && image != nullptr && GTK_IS_IMAGE(image) &&
        g_list_store_find(control.rows, row, &position) && position < icons->size()) {
      (*icons)[position] = DrawnIconName(GTK_IMAGE(image));
      continue;
    }
    CollectDrawnIcons(control, child, icons);
  }
}

}  // namespace

bool DesktopBackend::WaitForWindow(HWND dialog, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Whatever changed before now is drawn by the next sync; wait for one that starts later.
    unsigned before = 0;
    {
      std::lock_guard<std::mutex> guard(gui_->lock);
      before = gui_->syncCount;
    }
    gui_->MarkDirty(dialog, 0);
    {
      std::unique_lock<std::mutex> guard(gui_->lock);
      if (!gui_->synced.wait_until(guard, deadline, [&] { return gui_->syncCount != before; }))
        return false;
    }
    bool shown = false;
    if (!gui_->Call([&] {
          auto it = gui_->windows.find(dialog);
          shown = it != gui_->windows.end() && gtk_widget_get_mapped(it->second->window);
        }))
      return false;
    if (shown) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string DesktopBackend::WindowTitle(HWND dialog) {
  std::string title;
  gui_->Call([&] {
    auto it = gui_->windows.find(dialog);
    if (it == gui_->windows.end()) return;
    const char* text = gtk_window_get_title(GTK_WINDOW(it->second->window));
    if (text != nullptr) title = text;
  });
  return title;
}

std::optional<DesktopBackend::WidgetView> DesktopBackend::Widget(HWND dialog, int id) {
  std::optional<WidgetView> out;
  gui_->Call([&] {
    Control* control = FindControl(*gui_, dialog, id);
    if (control == nullptr) return;
    WidgetView view;
    view.sensitive = gtk_widget_is_sensitive(control->inner) != FALSE;
    view.visible = gtk_widget_get_visible(control->widget) != FALSE;
    switch (control->kind) {
      case ControlKind::Button:
        view.text = ButtonText(control->inner);
        break;
      case ControlKind::CheckBox:
        view.active = gtk_check_button_get_active(GTK_CHECK_BUTTON(control->inner)) != FALSE;
        if (const char* label = gtk_check_button_get_label(GTK_CHECK_BUTTON(control->inner)))
          view.text = label;
        break;
      case ControlKind::Static:
        view.text = gtk_label_get_text(GTK_LABEL(control->inner));
        break;
      case ControlKind::Edit:
        view.text = gtk_editable_get_text(GTK_EDITABLE(control->inner));
        break;
      case ControlKind::ProgressBar:
        view.fraction = gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(control->inner));
        break;
      case ControlKind::Animation:
        view.active = gtk_spinner_get_spinning(GTK_SPINNER(control->inner)) != FALSE;
        break;
      case ControlKind::Icon:
        view.text = control->icon;
        break;
      case ControlKind::ListView: {
        GListModel* columns = gtk_column_view_get_columns(GTK_COLUMN_VIEW(control->inner));
        for (guint i = 0; i < g_list_model_get_n_items(columns); ++i) {
          auto* column = GTK_COLUMN_VIEW_COLUMN(g_list_model_get_item(columns, i));
          view.columns.push_back(gtk_column_view_column_get_title(column));
          g_object_unref(column);
        }
        GListModel* rows = G_LIST_MODEL(control->rows);
        for (guint row = 0; row < g_list_model_get_n_items(rows); ++row) {
          auto* item = GTK_STRING_LIST(g_list_model_get_item(rows, row));
          std::vector<std::string> cells;
          for (guint c = 0; c < g_list_model_get_n_items(G_LIST_MODEL(item)); ++c)
            cells.push_back(gtk_string_list_get_string(item, c));
          view.icons.push_back(cells.empty() ? std::string() : cells.back());
          if (!cells.empty()) cells.pop_back();
          view.rows.push_back(std::move(cells));
          g_object_unref(item);
          if (gtk_selection_model_is_selected(control->selection, row))
            view.selected.push_back(static_cast<int>(row));
        }
        view.drawnIcons.resize(view.rows.size());
        CollectDrawnIcons(*control, control->inner, &view.drawnIcons);
        break;
      }
    }
    out = std::move(view);
  });
  return out;
}

namespace {

// Runs `act` on the GTK thread with the control `id` of `dialog` when it is of `kind`; false
// when there is no such control.
template <class Act>
bool ActOn(DesktopBackend::Gui& gui, HWND dialog, int id, ControlKind kind, Act&& act) {
  bool found = false;
  gui.Call([&] {
    Control* control = FindControl(gui, dialog, id);
    if (control == nullptr || control->kind != kind) return;
    found = true;
    // A greyed control takes nothing, as under the mouse.
    if (gtk_widget_is_sensitive(control->inner)) act(*control);
  });
  return found;
}

}  // namespace

bool DesktopBackend::Click(HWND dialog, int id) {
  return ActOn(*gui_, dialog, id, ControlKind::Button,
               [](Control& control) { g_signal_emit_by_name(control.inner, "clicked"); });
}

bool DesktopBackend::Toggle(HWND dialog, int id) {
  return ActOn(*gui_, dialog, id, ControlKind::CheckBox, [](Control& control) {
    auto* check = GTK_CHECK_BUTTON(control.inner);
    gtk_check_button_set_active(check, !gtk_check_button_get_active(check));
  });
}

bool DesktopBackend::Type(HWND dialog, int id, const std::string& text) {
  return ActOn(*gui_, dialog, id, ControlKind::Edit, [&](Control& control) {
    gtk_editable_set_text(GTK_EDITABLE(control.inner), text.c_str());
  });
}

bool DesktopBackend::SelectRows(HWND dialog, int id, const std::vector<int>& rows) {
  return ActOn(*gui_, dialog, id, ControlKind::ListView, [&](Control& control) {
    const guint count = g_list_model_get_n_items(G_LIST_MODEL(control.rows));
    GtkBitset* selected = gtk_bitset_new_empty();
    for (int row : rows)
      if (row >= 0 && static_cast<guint>(row) < count)
        gtk_bitset_add(selected, static_cast<guint>(row));
    GtkBitset* all = gtk_bitset_new_range(0, count);
    gtk_selection_model_set_selection(control.selection, selected, all);
    gtk_bitset_unref(all);
    gtk_bitset_unref(selected);
  });
}

bool DesktopBackend::RequestClose(HWND dialog) {
  bool done = false;
  gui_->Call([&] {
    auto it = gui_->windows.find(dialog);
    if (it == gui_->windows.end()) return;
    gtk_window_close(GTK_WINDOW(it->second->window));
    done = true;
  });
  return done;
}

namespace {

// Runs `find` on the GTK thread every 10 ms until it returns true or `timeoutMs` has passed
// (once at least); false as well when the GTK thread no longer runs.
template <class Find>
bool PollGui(DesktopBackend::Gui& gui, int timeoutMs, Find&& find) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    bool found = false;
    if (!gui.Call([&] { found = find(); })) return false;
    if (found) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

bool DesktopBackend::WaitForMessageBox(int timeoutMs, std::string* text,
                                       std::vector<std::string>* buttons) {
  return PollGui(*gui_, timeoutMs, [&] {
    for (auto& box : gui_->boxes) {
      if (box->answered || !gtk_widget_get_mapped(box->window)) continue;
      if (text != nullptr) *text = gtk_label_get_text(GTK_LABEL(box->label));
      if (buttons != nullptr) {
        buttons->clear();
        for (auto& [id, button] : box->buttons) buttons->push_back(ButtonText(button));
      }
      return true;
    }
    return false;
  });
}

bool DesktopBackend::ClickMessageBox(const std::string& caption) {
  bool done = false;
  gui_->Call([&] {
    for (auto& box : gui_->boxes) {
      if (box->answered) continue;
      for (auto& [id, button] : box->buttons) {
        if (ButtonText(button) != caption) continue;
        g_signal_emit_by_name(button, "clicked");
        done = true;
        return;
      }
    }
  });
  return done;
}

std::vector<DesktopBackend::ToolbarButton> DesktopBackend::Toolbar(HWND frame) {
  std::vector<ToolbarButton> buttons;
  gui_->Call([&] {
    auto it = gui_->windows.find(frame);
    if (it == gui_->windows.end()) return;
    for (const Gui::Tool& tool : it->second->tools) {
      ToolbarButton drawn = tool.button;
      if (drawn.command != 0) {
        drawn.enabled = gtk_widget_is_sensitive(tool.widget) != FALSE;
        drawn.checked = drawn.checkable &&
                        gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(tool.widget)) != FALSE;
        if (const char* icon = gtk_button_get_icon_name(GTK_BUTTON(tool.widget))) drawn.icon = icon;
        const char* tooltip = gtk_widget_get_tooltip_text(tool.widget);
        drawn.tooltip = tooltip != nullptr ? tooltip : "";
      }
      buttons.push_back(std::move(drawn));
    }
  });
  return buttons;
}

bool DesktopBackend::ClickToolbar(HWND frame, int command) {
  bool found = false;
  gui_->Call([&] {
    auto it = gui_->windows.find(frame);
    if (it == gui_->windows.end()) return;
    for (const Gui::Tool& tool : it->second->tools) {
      if (tool.button.command != command || command == 0) continue;
      found = true;
      if (gtk_widget_is_sensitive(tool.widget)) g_signal_emit_by_name(tool.widget, "clicked");
      return;
    }
  });
  return found;
}

bool DesktopBackend::PressKey(HWND frame, const std::string& accelerator) {
  guint keyval = 0;
  GdkModifierType modifiers = GdkModifierType(0);
  if (!gtk_accelerator_parse(accelerator.c_str(), &keyval, &modifiers)) return false;
  bool forwarded = false;
  gui_->Call([&] {
    auto it = gui_->windows.find(frame);
    if (it != gui_->windows.end() && it->second->frame)
      forwarded = Gui::GuiFrameKey(*it->second, keyval, modifiers);
  });
  return forwarded;
}

bool DesktopBackend::ActivateRow(HWND dialog, int id, int row) {
  return ActOn(*gui_, dialog, id, ControlKind::ListView, [&](Control& control) {
    if (row >= 0) g_signal_emit_by_name(control.inner, "activate", static_cast<guint>(row));
  });
}

bool DesktopBackend::RightClickRow(HWND dialog, int id, int row) {
  return ActOn(*gui_, dialog, id, ControlKind::ListView,
               [&](Control& control) { control.gui->GuiContextClick(control, row, 24, 24); });
}

bool DesktopBackend::DropUriList(HWND dialog, int id, const std::string& uriList, int row) {
  bool taken = false;
  const bool found = ActOn(*gui_, dialog, id, ControlKind::ListView, [&](Control& control) {
    if (!control.takesDrops) return;
    // As GTK makes a file list of a text/uri-list offered by a drag.
    gchar** uris = g_uri_list_extract_uris(uriList.c_str());
    GSList* files = nullptr;
    for (gchar** uri = uris; uri != nullptr && *uri != nullptr; ++uri)
      files = g_slist_prepend(files, g_file_new_for_uri(*uri));
    files = g_slist_reverse(files);
    g_strfreev(uris);
    taken = gui_->GuiDropFiles(control, files, row);
    g_slist_free_full(files, g_object_unref);
  });
  return found && taken;
}

void DesktopBackend::GiveDraggedFiles(WPARAM request, std::vector<std::string> paths) {
  (void)gui_->Post([gui = gui_.get(), request, paths = std::move(paths)] {
    gui->GuiAnswerDrag(request, paths);
  });
}

bool DesktopBackend::DragRowsOut(HWND dialog, int id, int row, int timeoutMs,
                                 std::string* uriList) {
  struct Read {
    std::promise<bool> done;
    GOutputStream* stream = nullptr;
  };
  auto read = std::make_shared<Read>();
  std::future<bool> done = read->done.get_future();
  bool started = false;
  (void)ActOn(*gui_, dialog, id, ControlKind::ListView, [&](Control& control) {
    if (!control.takesDrops) return;
    GdkContentProvider* content = gui_->GuiPrepareDrag(control, row);
    if (content == nullptr) return;
    // As a drop target reads the drag's data.
    read->stream = g_memory_output_stream_new_resizable();
    auto* keep = new std::shared_ptr<Read>(read);
    gdk_content_provider_write_mime_type_async(
        content, kUriListType, read->stream, G_PRIORITY_DEFAULT, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<std::shared_ptr<Read>> held(static_cast<std::shared_ptr<Read>*>(data));
          const gboolean written = gdk_content_provider_write_mime_type_finish(
              GDK_CONTENT_PROVIDER(source), result, nullptr);
          (void)g_output_stream_close((*held)->stream, nullptr, nullptr);
          (*held)->done.set_value(written != FALSE);
        },
        keep);
    g_object_unref(content);
    started = true;
  });
  if (!started) return false;
  if (done.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready ||
      !done.get())
    return false;
  (void)gui_->Call([&] {
    auto* memory = G_MEMORY_OUTPUT_STREAM(read->stream);
    uriList->assign(static_cast<const char*>(g_memory_output_stream_get_data(memory)),
                    g_memory_output_stream_get_data_size(memory));
    g_object_unref(read->stream);
    read->stream = nullptr;
  });
  return true;
}

bool DesktopBackend::TakeDroppedFiles(HWND dialog, DroppedFiles* drop) {
  std::lock_guard guard(gui_->lock);
  const auto found = gui_->drops.find(dialog);
  if (found == gui_->drops.end()) return false;
  *drop = std::move(found->second.front());
  found->second.pop_front();
  if (found->second.empty()) gui_->drops.erase(found);
  return true;
}

bool DesktopBackend::WaitForPopupMenu(int timeoutMs, std::vector<std::string>* items) {
  return PollGui(*gui_, timeoutMs, [&] {
    for (auto& popup : gui_->popups) {
      if (popup->answered || !gtk_widget_get_mapped(popup->popover)) continue;
      if (items != nullptr) {
        items->clear();
        for (auto& [id, widget] : popup->items)
          items->push_back(GTK_IS_BUTTON(widget) ? ButtonText(widget) : "-");
      }
      return true;
    }
    return false;
  });
}

bool DesktopBackend::ClickPopupMenu(const std::string& text) {
  bool done = false;
  gui_->Call([&] {
    for (auto& popup : gui_->popups) {
      if (popup->answered) continue;
      for (auto& [id, widget] : popup->items) {
        if (!GTK_IS_BUTTON(widget) || ButtonText(widget) != text ||
            !gtk_widget_is_sensitive(widget))
          continue;
        g_signal_emit_by_name(widget, "clicked");
        done = true;
        return;
      }
    }
  });
  return done;
}

bool DesktopBackend::DismissPopupMenu() {
  bool done = false;
  gui_->Call([&] {
    for (auto& popup : gui_->popups) {
      if (popup->answered) continue;
      gtk_popover_popdown(GTK_POPOVER(popup->popover));
      done = true;
      return;
    }
  });
  return done;
}

bool DesktopBackend::SaveScreenshot(HWND dialog, const std::string& pngPath, std::string* why) {
  // A window that has just appeared may not have drawn its first frame yet.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::string failure;
  for (;;) {
    failure.clear();
    bool drawn = true;
    if (!gui_->Call([&] {
          GtkWidget* window = nullptr;
          if (dialog != nullptr) {
            auto it = gui_->windows.find(dialog);
            if (it != gui_->windows.end()) window = it->second->window;
          } else if (!gui_->boxes.empty()) {
            window = gui_->boxes.back()->window;
          }
          if (window == nullptr || !gtk_widget_get_mapped(window)) {
            failure = "the window is not on screen";
            return;
          }
          const int width = gtk_widget_get_width(window);
          const int height = gtk_widget_get_height(window);
          GdkPaintable* paintable = gtk_widget_paintable_new(window);
          GtkSnapshot* snapshot = gtk_snapshot_new();
          gdk_paintable_snapshot(paintable, snapshot, width, height);
          GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
          g_object_unref(paintable);
          if (node == nullptr || width <= 0 || height <= 0) {
            if (node != nullptr) gsk_render_node_unref(node);
            failure = "the window drew nothing";
            drawn = false;
            return;
          }
          GskRenderer* renderer = gtk_native_get_renderer(GTK_NATIVE(window));
          graphene_rect_t bounds;
          graphene_rect_init(&bounds, 0, 0, float(width), float(height));
          GdkTexture* texture = gsk_renderer_render_texture(renderer, node, &bounds);
          gsk_render_node_unref(node);
          if (!gdk_texture_save_to_png(texture, pngPath.c_str()))
            failure = "cannot write " + pngPath;
          g_object_unref(texture);
        }))
      failure = "the display is gone";
    if (drawn || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!failure.empty() && why != nullptr) *why = failure;
  return failure.empty();
}

// ---- Through a page dialog's view ----

void DesktopBackend::SetPageLimits(int loadMs, int callMs) {
  gui_->pages->SetLimits(PageLimits{loadMs, callMs});
}

bool DesktopBackend::WaitForPage(HWND dialog, int timeoutMs) {
  return gui_->pages->WaitLoaded(dialog, timeoutMs);
}

bool DesktopBackend::RunPageScript(
    HWND dialog, const std::string& body,
    const std::vector<std::pair<std::string, std::string>>& arguments, std::string* json) {
  return gui_->pages->RunScript(dialog, body, arguments, json);
}

std::string DesktopBackend::PageUri(HWND dialog) { return gui_->pages->CurrentUri(dialog); }

std::vector<std::string> DesktopBackend::RefusedPageRequests(HWND dialog) {
  return gui_->pages->Refused(dialog);
}
