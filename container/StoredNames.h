// The rules for names kept inside a container and for the native paths they are restored to:
// which file and folder names are valid, how a stored folder path ("\a\b") splits into its
// components and what its parent is, and the pieces of a native path the store needs. Every
// reader of stored names (extraction, the listings, the shell view's item identifiers) goes
// through these, so a name one of them accepts is one all of them accept.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace container {

// "/" and "\": neither may appear inside a name, whichever system wrote it.
[[nodiscard]] bool IsSeparator(char c);

// One file or folder name as it may appear on disk: not empty, not "." or "..", and without
// separators, NUL or control characters.
[[nodiscard]] bool IsValidComponent(std::string_view name);

// A stored folder path: "\" followed by valid components separated by "\". False (and no
// components) for anything else.
[[nodiscard]] bool SplitStoredFolderPath(std::string_view stored,
                                         std::vector<std::string>* components);

// The parent of a stored folder path: "\a" for "\a\b", "\" for "\a".
[[nodiscard]] std::string StoredParent(const std::string& stored);

// The empty-folder marker in any case of its ASCII letters.
[[nodiscard]] bool IsEmptyFolderMarker(std::string_view name);

// The last component of a native path, and the folder that holds it ("." when the path has
// no "/", "/" for a component of the root).
[[nodiscard]] std::string LastNativeComponent(const std::string& path);
[[nodiscard]] std::string NativeDirectory(const std::string& path);

// A caller's directory without one trailing separator (a lone "/" stays).
[[nodiscard]] std::string WithoutTrailingSeparator(std::string dir);

}  // namespace container
