// What the registry associates with a file, read the way the file manager reads it: the
// class of a file by its extension, the context-menu handlers that apply to it, and the
// command that opens it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Guid.h"

// The class key of `path`'s extension (the default value of HKCR\.ext, for instance
// "CLSID\{...}" or a ProgID), or nothing when the extension is unknown or there is none.
std::optional<std::string> FileClassOf(const std::string& path);

// The context-menu handlers for a file (those under *\shellex\ContextMenuHandlers and under
// its class) or a folder (Directory\shellex\ContextMenuHandlers), each once, in the order the
// registry lists them. A handler entry names its class in its default value or, when that is
// empty, in its own key name.
std::vector<CLSID> ContextMenuHandlersFor(const std::string& path, bool isDirectory);

// The open command of `path`'s class (its shell\open\command default value).
std::optional<std::string> OpenCommandOf(const std::string& path);

// Splits an open command the Windows way (a quoted or plain program, then arguments; inside
// quotes a space does not split) and puts `path` for %1 and %L. False when the command has no
// program.
[[nodiscard]] bool ExpandOpenCommand(const std::string& command, const std::string& path,
                                     std::string* program, std::vector<std::string>* arguments);
