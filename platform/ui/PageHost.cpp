// The element model of a page and the registry that lets back ends find a dialog's page.
#include "platform/ui/PageHost.h"

#include <algorithm>
#include <map>

#include "platform/AsciiCase.h"

namespace {

std::mutex g_pagesLock;
std::map<HWND, ElementPage*>& Pages() {
  static std::map<HWND, ElementPage*> pages;
  return pages;
}

// The value of attribute `name` inside the tag text `tag` (between '<' and '>'); empty when
// absent. Attribute names are matched without regard to case, as HTML does.
std::string Attribute(std::string_view tag, std::string_view name, bool* present = nullptr) {
  std::size_t at = 0;
  while (at < tag.size()) {
    while (at < tag.size() && (tag[at] == ' ' || tag[at] == '\t' || tag[at] == '\n' ||
                               tag[at] == '\r' || tag[at] == '/'))
      ++at;
    const std::size_t nameStart = at;
    while (at < tag.size() && tag[at] != '=' && tag[at] != ' ' && tag[at] != '\t' &&
           tag[at] != '\n' && tag[at] != '\r' && tag[at] != '/')
      ++at;
    const std::string_view attribute = tag.substr(nameStart, at - nameStart);
    std::string value;
    if (at < tag.size() && tag[at] == '=') {
      ++at;
      if (at < tag.size() && (tag[at] == '"' || tag[at] == '\'')) {
        const char quote = tag[at++];
        const std::size_t end = tag.find(quote, at);
        const std::size_t stop = end == std::string_view::npos ? tag.size() : end;
        value.assign(tag.substr(at, stop - at));
        at = stop == tag.size() ? stop : stop + 1;
      } else {
        const std::size_t start = at;
        while (at < tag.size() && tag[at] != ' ' && tag[at] != '\t' && tag[at] != '\n') ++at;
        value.assign(tag.substr(start, at - start));
      }
    }
    if (!attribute.empty() && EqualsIgnoringAsciiCase(attribute, name)) {
      if (present != nullptr) *present = true;
      return value;
    }
    if (attribute.empty() && at < tag.size()) ++at;
  }
  if (present != nullptr) *present = false;
  return {};
}

int UniqueOptionEndingIn(const std::vector<std::string>& options, const std::string& name) {
  int found = -1;
  for (std::size_t i = 0; i < options.size(); ++i) {
    const std::size_t slash = options[i].rfind('\\');
    if (slash == std::string::npos ||
        !EqualsIgnoringAsciiCase(std::string_view(options[i]).substr(slash + 1), name))
      continue;
    if (found >= 0) return -1;
    found = static_cast<int>(i);
  }
  return found;
}

}  // namespace

const PageElementState* PageSnapshot::Element(const std::string& id) const {
  for (const PageElementState& element : elements)
    if (element.id == id) return &element;
  return nullptr;
}

std::string PageSnapshot::LabelOf(const std::string& id) const {
  for (const auto& [name, text] : texts)
    if (name == id + "_Lbl" && !text.empty()) return text;
  for (const PageElementState& element : elements)
    if (element.labelFor == id && !element.value.empty()) return element.value;
  return id;
}

std::string PageSnapshot::CallsTo(const std::string& function) const {
  std::string out;
  for (const auto& [name, argument] : calls)
    if (name == function) out += argument;
  return out;
}

std::vector<PageElementState> ParsePageElements(const std::string& html) {
  std::vector<PageElementState> elements;
  std::size_t at = 0;
  while ((at = html.find('<', at)) != std::string::npos) {
    if (html.compare(at, 4, "<!--") == 0) {
      const std::size_t end = html.find("-->", at + 4);
      if (end == std::string::npos) break;
      at = end + 3;
      continue;
    }
    const std::size_t close = html.find('>', at);
    if (close == std::string::npos) break;
    std::string_view tag(html.data() + at + 1, close - at - 1);
    at = close + 1;
    std::size_t nameEnd = 0;
    while (nameEnd < tag.size() && tag[nameEnd] != ' ' && tag[nameEnd] != '\t' &&
           tag[nameEnd] != '\n' && tag[nameEnd] != '\r' && tag[nameEnd] != '/')
      ++nameEnd;
    const std::string tagName = ToLowerAscii(tag.substr(0, nameEnd));
    if (tagName.empty() || tagName[0] == '!' || tagName[0] == '/') continue;
    if (tagName == "script" || tagName == "style") {
      const std::size_t end = html.find("</" + tagName, at);
      if (end == std::string::npos) break;
      at = end;
      continue;
    }
    const std::string id = Attribute(tag.substr(nameEnd), "id");
    if (id.empty()) continue;
    PageElementState element;
    element.id = id;
    if (tagName == "label") {
      element.labelFor = Attribute(tag.substr(nameEnd), "for");
    } else if (tagName == "select") {
      element.kind = PageElementKind::List;
    } else if (tagName == "textarea") {
      element.kind = PageElementKind::Edit;
    } else if (tagName == "input") {
      const std::string type = ToLowerAscii(Attribute(tag.substr(nameEnd), "type"));
      element.kind =
          type == "button" || type == "submit" ? PageElementKind::Button : PageElementKind::Edit;
    }
    elements.push_back(std::move(element));
  }
  return elements;
}

ElementPage::ElementPage(HWND dialog, const PageSource& source)
    : dialog_(dialog),
      name_(source.name),
      elements_(ParsePageElements(source.html)),
      texts_(source.texts) {
  for (const auto& [id, text] : source.texts)
    if (PageElementState* element = Find(id); element != nullptr) element->value = text;
  std::lock_guard<std::mutex> guard(g_pagesLock);
  Pages()[dialog] = this;
}

ElementPage::~ElementPage() {
  std::lock_guard<std::mutex> guard(g_pagesLock);
  const auto it = Pages().find(dialog_);
  if (it != Pages().end() && it->second == this) Pages().erase(it);
}

PageElementState* ElementPage::Find(const std::string& id) {
  for (PageElementState& element : elements_)
    if (element.id == id) return &element;
  return nullptr;
}

const PageElementState* ElementPage::Find(const std::string& id) const {
  for (const PageElementState& element : elements_)
    if (element.id == id) return &element;
  return nullptr;
}

bool ElementPage::HasElement(const std::string& id) const {
  std::lock_guard<std::mutex> guard(lock_);
  return Find(id) != nullptr;
}

bool ElementPage::GetValue(const std::string& id, std::string* value) const {
  std::lock_guard<std::mutex> guard(lock_);
  const PageElementState* element = Find(id);
  if (element == nullptr || value == nullptr) return false;
  if (element->kind == PageElementKind::List) {
    *value = element->selected >= 0 ? element->options[static_cast<size_t>(element->selected)]
                                    : std::string();
  } else {
    *value = element->value;
  }
  return true;
}

bool ElementPage::SetValue(const std::string& id, const std::string& value) {
  std::lock_guard<std::mutex> guard(lock_);
  PageElementState* element = Find(id);
  if (element == nullptr || element->kind == PageElementKind::List) return false;
  element->value = value;
  return true;
}

bool ElementPage::SetEnabled(const std::string& id, bool enabled) {
  std::lock_guard<std::mutex> guard(lock_);
  PageElementState* element = Find(id);
  if (element == nullptr) return false;
  element->enabled = enabled;
  return true;
}

bool ElementPage::SetVisible(const std::string& id, bool visible) {
  std::lock_guard<std::mutex> guard(lock_);
  PageElementState* element = Find(id);
  if (element == nullptr) return false;
  element->visible = visible;
  return true;
}

bool ElementPage::AddOption(const std::string& id, const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  PageElementState* element = Find(id);
  if (element == nullptr || element->kind != PageElementKind::List) return false;
  element->options.push_back(text);
  return true;
}

int ElementPage::OptionCount(const std::string& id) const {
  std::lock_guard<std::mutex> guard(lock_);
  const PageElementState* element = Find(id);
  if (element == nullptr || element->kind != PageElementKind::List) return -1;
  return static_cast<int>(element->options.size());
}

int ElementPage::SelectedIndex(const std::string& id) const {
  std::lock_guard<std::mutex> guard(lock_);
  const PageElementState* element = Find(id);
  if (element == nullptr || element->kind != PageElementKind::List) return -1;
  return element->selected;
}

bool ElementPage::SelectOption(const std::string& id, int index) {
  std::lock_guard<std::mutex> guard(lock_);
  PageElementState* element = Find(id);
  if (element == nullptr || element->kind != PageElementKind::List || index < -1 ||
      index >= static_cast<int>(element->options.size()))
    return false;
  element->selected = index;
  return true;
}

bool ElementPage::OptionText(const std::string& id, int index, std::string* text) const {
  std::lock_guard<std::mutex> guard(lock_);
  const PageElementState* element = Find(id);
  if (element == nullptr || text == nullptr || element->kind != PageElementKind::List ||
      index < 0 || index >= static_cast<int>(element->options.size()))
    return false;
  *text = element->options[static_cast<size_t>(index)];
  return true;
}

bool ElementPage::DeleteOption(const std::string& id, int index) {
  std::lock_guard<std::mutex> guard(lock_);
  PageElementState* element = Find(id);
  if (element == nullptr || element->kind != PageElementKind::List || index < 0 ||
      index >= static_cast<int>(element->options.size()))
    return false;
  element->options.erase(element->options.begin() + index);
  // As a browser does: the selection follows its option, and goes with it.
  if (element->selected == index)
    element->selected = -1;
  else if (element->selected > index)
    --element->selected;
  return true;
}

bool ElementPage::RemoveAllOptions(const std::string& id) {
  std::lock_guard<std::mutex> guard(lock_);
  PageElementState* element = Find(id);
  if (element == nullptr || element->kind != PageElementKind::List) return false;
  element->options.clear();
  element->selected = -1;
  return true;
}

bool ElementPage::CallFunction(const std::string& name, const std::string& argument) {
  std::lock_guard<std::mutex> guard(lock_);
  calls_.emplace_back(name, argument);
  return true;
}

bool ElementPage::Queue(Action action, PageElementKind kind) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    const PageElementState* element = Find(action.id);
    if (element == nullptr || element->kind != kind) return false;
    actions_.push_back(std::move(action));
  }
  return PostMessageA(dialog_, WM_QV_PAGE_EVENT, 0, 0) != FALSE;
}

bool ElementPage::UserClick(const std::string& id) {
  return Queue(Action{Action::Kind::Click, id, {}, -1}, PageElementKind::Button);
}

bool ElementPage::UserType(const std::string& id, const std::string& text) {
  return Queue(Action{Action::Kind::Type, id, text, -1}, PageElementKind::Edit);
}

bool ElementPage::UserSelect(const std::string& id, const std::string& text) {
  return Queue(Action{Action::Kind::SelectText, id, text, -1}, PageElementKind::List);
}

bool ElementPage::UserSelectIndex(const std::string& id, int index) {
  return Queue(Action{Action::Kind::SelectIndex, id, {}, index}, PageElementKind::List);
}

bool ElementPage::TakeEvent(PageEvent* event) {
  std::lock_guard<std::mutex> guard(lock_);
  while (!actions_.empty()) {
    const Action action = std::move(actions_.front());
    actions_.erase(actions_.begin());
    PageElementState* element = Find(action.id);
    if (element == nullptr) continue;
    switch (action.kind) {
      case Action::Kind::Type:
        // Typing raises no event: the dialog reads the value when a button asks for it.
        if (element->enabled) element->value = action.text;
        continue;
      case Action::Kind::Click:
        if (!element->enabled) continue;
        event->id = action.id;
        event->kind = PageEventKind::Click;
        return true;
      case Action::Kind::SelectText:
      case Action::Kind::SelectIndex: {
        if (!element->enabled) continue;
        int index = action.index;
        if (action.kind == Action::Kind::SelectText) {
          const auto it = std::find_if(element->options.begin(), element->options.end(),
                                       [&](const std::string& option) {
                                         return EqualsIgnoringAsciiCase(option, action.text);
                                       });
          index =
              it == element->options.end() ? -1 : static_cast<int>(it - element->options.begin());
          // A name given without its computer or domain matches the one option it ends.
          if (index < 0) index = UniqueOptionEndingIn(element->options, action.text);
        }
        if (index < -1 || index >= static_cast<int>(element->options.size())) index = -1;
        element->selected = index;
        event->id = action.id;
        event->kind = PageEventKind::Change;
        return true;
      }
    }
  }
  return false;
}

PageSnapshot ElementPage::Snapshot() const {
  std::lock_guard<std::mutex> guard(lock_);
  return PageSnapshot{name_, elements_, calls_, texts_};
}

ElementPage* ElementPageOf(HWND dialog) noexcept {
  std::lock_guard<std::mutex> guard(g_pagesLock);
  const auto it = Pages().find(dialog);
  return it == Pages().end() ? nullptr : it->second;
}
