// Reading a handler's menu back, finding an item and printing the list.
#include "host/ContextMenuListing.h"

#include <algorithm>

#include "platform/AsciiCase.h"
#include "platform/ui/Menu.h"

namespace {

// A handler's answer for one request; empty when it has none.
std::string CommandString(IContextMenu* handler, UINT offset, UINT type) {
  char buffer[1024] = {};
  if (handler->GetCommandString(offset, type, nullptr, buffer, sizeof buffer) != S_OK) return {};
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}

std::string WithoutAccessKeyMark(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;  // "&&" stands for "&"
    out.push_back(text[i]);
  }
  return out;
}

// Destroys a menu when it goes.
struct MenuHolder {
  HMENU menu = CreatePopupMenu();
  ~MenuHolder() {
    if (menu != nullptr) (void)DestroyMenu(menu);
  }
};

}  // namespace

HRESULT ListContextMenu(IContextMenu* handler, UINT flags, std::vector<ContextMenuEntry>* entries) {
  if (handler == nullptr || entries == nullptr) return E_POINTER;
  entries->clear();
  const MenuHolder holder;
  if (holder.menu == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = handler->QueryContextMenu(holder.menu, 0, kListingFirstCommandId,
                                               kListingLastCommandId, flags);
  if (FAILED(hr)) return hr;
  const int count = GetMenuItemCount(holder.menu);
  for (int position = 0; position < count; ++position) {
    ContextMenuEntry entry;
    const UINT id = GetMenuItemID(holder.menu, position);
    const UINT state = GetMenuState(holder.menu, static_cast<UINT>(position), MF_BYPOSITION);
    if (id < kListingFirstCommandId || id > kListingLastCommandId) continue;
    entry.offset = id - kListingFirstCommandId;
    entry.separator = (state & MF_SEPARATOR) != 0;
    if (!entry.separator) {
      char text[1024] = {};
      (void)GetMenuStringA(holder.menu, static_cast<UINT>(position), text, sizeof text,
                           MF_BYPOSITION);
      entry.text = text;
      entry.helpText = CommandString(handler, entry.offset, GCS_HELPTEXTA);
      entry.verb = CommandString(handler, entry.offset, GCS_VERBA);
    }
    entries->push_back(std::move(entry));
  }
  return S_OK;
}

const ContextMenuEntry* FindContextMenuEntry(const std::vector<ContextMenuEntry>& entries,
                                             std::string_view name) {
  for (const ContextMenuEntry& entry : entries)
    if (!entry.separator && !entry.verb.empty() && entry.verb == name) return &entry;
  const std::string wanted = WithoutAccessKeyMark(name);
  for (const ContextMenuEntry& entry : entries)
    if (!entry.separator && EqualsIgnoringAsciiCase(WithoutAccessKeyMark(entry.text), wanted))
      return &entry;
  return nullptr;
}

HRESULT InvokeContextMenuEntry(IContextMenu* handler, const ContextMenuEntry& entry) {
  if (handler == nullptr || entry.separator) return E_INVALIDARG;
  CMINVOKECOMMANDINFO info{};
  info.cbSize = sizeof info;
  info.lpVerb = MAKEINTRESOURCEA(static_cast<WORD>(entry.offset));
  info.nShow = 1;
  return handler->InvokeCommand(&info);
}

void PrintContextMenu(const std::vector<ContextMenuEntry>& entries, std::FILE* out) {
  for (const ContextMenuEntry& entry : entries) {
    if (entry.separator) {
      std::fputs("----\n", out);
      continue;
    }
    std::fputs(entry.text.c_str(), out);
    if (!entry.verb.empty()) std::fprintf(out, " [%s]", entry.verb.c_str());
    if (!entry.helpText.empty()) std::fprintf(out, "\t%s", entry.helpText.c_str());
    std::fputc('\n', out);
  }
}
