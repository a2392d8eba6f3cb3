// The rules for stored names and native paths (see StoredNames.h).
#include "container/StoredNames.h"

#include <sqlite3.h>

#include <cstring>

#include "suite/QvContainerFormat.h"

namespace container {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsValidComponent(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

bool SplitStoredFolderPath(std::string_view stored, std::vector<std::string>* components) {
  components->clear();
  if (stored.size() < 2 || stored[0] != kStoredSeparator) return false;
  std::size_t start = 1;
  while (start <= stored.size()) {
    std::size_t end = stored.find(kStoredSeparator, start);
    if (end == std::string_view::npos) end = stored.size();
    const std::string_view part = stored.substr(start, end - start);
    if (!IsValidComponent(part)) {
      components->clear();
      return false;
    }
    components->emplace_back(part);
    start = end + 1;
  }
  return !components->empty();
}

std::string StoredParent(const std::string& stored) {
  const std::size_t last = stored.rfind(kStoredSeparator);
  if (last == std::string::npos || last == 0) return std::string(1, kStoredSeparator);
  return stored.substr(0, last);
}

bool IsEmptyFolderMarker(std::string_view name) {
  const std::size_t length = std::strlen(kEmptyFolderMarker);
  // SQLite's comparison folds ASCII letters only, as the stored names are compared elsewhere.
  return name.size() == length &&
         sqlite3_strnicmp(name.data(), kEmptyFolderMarker, static_cast<int>(length)) == 0;
}

std::string LastNativeComponent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string NativeDirectory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string WithoutTrailingSeparator(std::string dir) {
  if (dir.size() > 1 && IsSeparator(dir.back())) dir.pop_back();
  return dir;
}

}  // namespace container
