// The host of a dialog whose surface is an HTML page. The dialog reaches the page only through
// the elements' ids: read and write a value, enable, show or hide an element, edit the options
// of a list, and call one of the page's named functions with one text argument. Everything
// passes as data (a value, an option's text, a function's argument), never as markup or
// script, so no text from a file or a user can become part of the page.
//
// The operations carry the names of the bridge a browser engine's page exposes to its host
// (hasElement, getValue, setValue, setEnabled, setVisible, addOption, optionCount,
// selectedIndex, selectOption, optionText, deleteOption, removeAllOptions, callFunction), so a
// browser host maps them one to one. An operation on an element the page does not have, or
// of the wrong kind, fails and changes nothing.
//
// Element events (a click, a change of a list's selection) reach the dialog as the posted
// message WM_QV_PAGE_EVENT; the dialog then takes them one by one with TakeEvent, on its own
// thread, in the order the user caused them.
//
// ElementPage is the element model the headless and terminal back ends show: built from the
// ids of the page's own file, with a user side that clicks, types and selects. A click on a
// disabled element does nothing, as in a browser.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/WinTypes.h"
#include "platform/Window.h"

// Posted to the dialog for each element event; wParam and lParam are 0.
inline constexpr UINT WM_QV_PAGE_EVENT = 0xBFF1;

// A page as the dialog hands it to the back end: its file's text and, per element id, the
// text the page's own scripts would put there in the user's language.
struct PageSource {
  std::string name;  // the page file's name, e.g. "SelectUsers.htm"
  std::string html;
  std::vector<std::pair<std::string, std::string>> texts;
  // The page's other files by name (scripts, style sheet, images, text documents), for a back
  // end that shows the page itself; it serves nothing else.
  std::vector<std::pair<std::string, std::string>> files;
};

enum class PageEventKind { Click, Change };

struct PageEvent {
  std::string id;
  PageEventKind kind = PageEventKind::Click;
};

class QV_API PageHost {
 public:
  virtual ~PageHost() = default;

  [[nodiscard]] virtual bool HasElement(const std::string& id) const = 0;
  // A text box's value, a list's selected option text, or an element's text.
  [[nodiscard]] virtual bool GetValue(const std::string& id, std::string* value) const = 0;
  virtual bool SetValue(const std::string& id, const std::string& value) = 0;
  virtual bool SetEnabled(const std::string& id, bool enabled) = 0;
  virtual bool SetVisible(const std::string& id, bool visible) = 0;
  // Lists (select elements). Counts and indexes are -1 when `id` is no list.
  virtual bool AddOption(const std::string& id, const std::string& text) = 0;
  [[nodiscard]] virtual int OptionCount(const std::string& id) const = 0;
  [[nodiscard]] virtual int SelectedIndex(const std::string& id) const = 0;
  // -1 clears the selection.
  virtual bool SelectOption(const std::string& id, int index) = 0;
  [[nodiscard]] virtual bool OptionText(const std::string& id, int index,
                                        std::string* text) const = 0;
  virtual bool DeleteOption(const std::string& id, int index) = 0;
  virtual bool RemoveAllOptions(const std::string& id) = 0;
  // Calls the page's function `name` with `argument`; a function the page lacks is ignored.
  virtual bool CallFunction(const std::string& name, const std::string& argument) = 0;
  // The next element event; false when none is waiting.
  virtual bool TakeEvent(PageEvent* event) = 0;
};

// ---- The element model ----

enum class PageElementKind { Text, Edit, Button, List };

struct PageElementState {
  std::string id;
  PageElementKind kind = PageElementKind::Text;
  std::string value;  // text, typed value
  bool enabled = true;
  bool visible = true;
  std::vector<std::string> options;
  int selected = -1;
  std::string labelFor;  // a label element: the id of the element it names
};

struct PageSnapshot {
  std::string name;
  std::vector<PageElementState> elements;                  // in page order
  std::vector<std::pair<std::string, std::string>> calls;  // function, argument
  std::vector<std::pair<std::string, std::string>> texts;  // the source's texts

  const PageElementState* Element(const std::string& id) const;
  // What names an element for a user: a button's "<id>_Lbl" text, the text of the label that
  // is for the element, else its id.
  std::string LabelOf(const std::string& id) const;
  // The status arguments passed to `function`, in call order, e.g. "12" for "1" then "2".
  std::string CallsTo(const std::string& function) const;
};

// The ids of `html`'s elements with their kinds, in document order: select elements are
// lists, input elements of type "button" buttons, other input elements and text areas edits,
// anything else text. Comments and script bodies are skipped.
std::vector<PageElementState> ParsePageElements(const std::string& html);

class QV_API ElementPage final : public PageHost {
 public:
  // Registers the page as the one of `dialog` (see ElementPageOf) until it is destroyed.
  ElementPage(HWND dialog, const PageSource& source);
  ~ElementPage() override;
  ElementPage(const ElementPage&) = delete;
  ElementPage& operator=(const ElementPage&) = delete;

  bool HasElement(const std::string& id) const override;
  bool GetValue(const std::string& id, std::string* value) const override;
  bool SetValue(const std::string& id, const std::string& value) override;
  bool SetEnabled(const std::string& id, bool enabled) override;
  bool SetVisible(const std::string& id, bool visible) override;
  bool AddOption(const std::string& id, const std::string& text) override;
  int OptionCount(const std::string& id) const override;
  int SelectedIndex(const std::string& id) const override;
  bool SelectOption(const std::string& id, int index) override;
  bool OptionText(const std::string& id, int index, std::string* text) const override;
  bool DeleteOption(const std::string& id, int index) override;
  bool RemoveAllOptions(const std::string& id) override;
  bool CallFunction(const std::string& name, const std::string& argument) override;
  bool TakeEvent(PageEvent* event) override;

  // ---- The user side: each action is queued and takes effect when the dialog takes it, so
  // actions and the dialog's answers to them interleave as they would on a screen. False when
  // the page has no such element of a fitting kind. ----
  bool UserClick(const std::string& id);
  bool UserType(const std::string& id, const std::string& text);
  // Selects the option whose text equals `text` (letter case ignored), else the one option
  // whose text ends in a backslash and `text`; the change event follows. An option that is not
  // there when the action is taken clears the selection.
  bool UserSelect(const std::string& id, const std::string& text);
  bool UserSelectIndex(const std::string& id, int index);

  PageSnapshot Snapshot() const;
  HWND Dialog() const { return dialog_; }

 private:
  struct Action {
    enum class Kind { Click, Type, SelectText, SelectIndex } kind;
    std::string id;
    std::string text;
    int index = -1;
  };
  PageElementState* Find(const std::string& id);
  const PageElementState* Find(const std::string& id) const;
  bool Queue(Action action, PageElementKind kind);

  HWND dialog_;
  std::string name_;
  mutable std::mutex lock_;
  std::vector<PageElementState> elements_;
  std::vector<std::pair<std::string, std::string>> calls_;
  std::vector<std::pair<std::string, std::string>> texts_;
  std::vector<Action> actions_;
};

// The element page of `dialog`, or null. Valid while the dialog's page lives, which back ends
// rely on only on the dialog's thread.
QV_API ElementPage* ElementPageOf(HWND dialog) noexcept;
