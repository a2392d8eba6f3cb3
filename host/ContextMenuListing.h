// What a host shows of a context-menu handler: the items it adds to a menu, each with its
// text, help text and verb, separators included, read back through the handler's own
// interfaces the way a file manager reads them. qvx prints this list and runs an item of it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/shell/ContextMenu.h"

struct ContextMenuEntry {
  bool separator = false;
  UINT offset = 0;  // the command offset to invoke
  std::string text;
  std::string helpText;  // empty when the handler has none
  std::string verb;      // empty when the handler has none
};

// The first command id a host gives the handler, and the last one it accepts.
inline constexpr UINT kListingFirstCommandId = 1;
inline constexpr UINT kListingLastCommandId = 0x7FFF;

// Asks `handler` (already initialised with the selection) to fill a new menu with `flags` and
// reads the items back into *entries, in menu order. The handler's QueryContextMenu result on
// failure; S_OK with no entries when it added nothing.
[[nodiscard]] HRESULT ListContextMenu(IContextMenu* handler, UINT flags,
                                      std::vector<ContextMenuEntry>* entries);

// The entry whose verb equals `name`, else whose text equals it (ignoring ASCII case, and an
// "&" marking an access key); null when none does. Separators never match.
[[nodiscard]] const ContextMenuEntry* FindContextMenuEntry(
    const std::vector<ContextMenuEntry>& entries, std::string_view name);

// Runs `entry` by its offset, as a file manager does when the user picks it.
[[nodiscard]] HRESULT InvokeContextMenuEntry(IContextMenu* handler, const ContextMenuEntry& entry);

// One line per entry: "----" for a separator, else the text, then the verb in brackets and the
// help text after a tab when the handler has them.
void PrintContextMenu(const std::vector<ContextMenuEntry>& entries, std::FILE* out);
