// Registry look-ups of file associations and handlers.
#include "host/Associations.h"

#include "platform/Registry.h"

namespace {

std::optional<std::string> DefaultString(const std::string& key) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
    return std::nullopt;
  DWORD type = 0;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExA(opened, nullptr, nullptr, &type, nullptr, &size);
  std::string data(size, '\0');
  if (status == ERROR_SUCCESS && size > 0)
    status = RegQueryValueExA(opened, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                              &size);
  (void)RegCloseKey(opened);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 ||
      data[size - 1] != '\0')
    return std::nullopt;
  data.resize(size - 1);
  return data;
}

std::vector<std::string> SubkeysOf(const std::string& key) {
  std::vector<std::string> names;
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
    return names;
  char name[kRegMaxKeyNameLength + 1];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    if (RegEnumKeyExA(opened, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(name, size);
  }
  (void)RegCloseKey(opened);
  return names;
}

void AddHandlers(const std::string& classKey, std::vector<CLSID>* handlers) {
  const std::string key = classKey + "\\shellex\\ContextMenuHandlers";
  for (const std::string& name : SubkeysOf(key)) {
    std::optional<std::string> named = DefaultString(key + "\\" + name);
    std::optional<GUID> clsid = ParseGuid(named && !named->empty() ? *named : name);
    if (!clsid) continue;
    bool seen = false;
    for (const CLSID& known : *handlers) seen = seen || known == *clsid;
    if (!seen) handlers->push_back(*clsid);
  }
}

std::string FileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<std::string> FileClassOf(const std::string& path) {
  const std::string name = FileNameOf(path);
  const std::size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return std::nullopt;
  std::optional<std::string> classKey = DefaultString(name.substr(dot));
  if (!classKey || classKey->empty()) return std::nullopt;
  return classKey;
}

std::vector<CLSID> ContextMenuHandlersFor(const std::string& path, bool isDirectory) {
  std::vector<CLSID> handlers;
  if (isDirectory) {
    AddHandlers("Directory", &handlers);
    return handlers;
  }
  AddHandlers("*", &handlers);
  if (const auto classKey = FileClassOf(path)) AddHandlers(*classKey, &handlers);
  return handlers;
}

std::optional<std::string> OpenCommandOf(const std::string& path) {
  const auto classKey = FileClassOf(path);
  if (!classKey) return std::nullopt;
  return DefaultString(*classKey + "\\shell\\open\\command");
}

bool ExpandOpenCommand(const std::string& command, const std::string& path, std::string* program,
                       std::vector<std::string>* arguments) {
  std::vector<std::string> words;
  std::string word;
  bool inQuotes = false;
  bool started = false;
  for (const char c : command) {
    if (c == '"') {
      inQuotes = !inQuotes;
      started = true;
    } else if (c == ' ' && !inQuotes) {
      if (started) words.push_back(word);
      word.clear();
      started = false;
    } else {
      word.push_back(c);
      started = true;
    }
  }
  if (started) words.push_back(word);
  if (words.empty() || words.front().empty()) return false;
  *program = words.front();
  arguments->clear();
  for (std::size_t i = 1; i < words.size(); ++i) {
    std::string expanded;
    const std::string& w = words[i];
    for (std::size_t j = 0; j < w.size(); ++j) {
      if (w[j] == '%' && j + 1 < w.size() &&
          (w[j + 1] == '1' || w[j + 1] == 'L' || w[j + 1] == 'l')) {
        expanded += path;
        ++j;
      } else {
        expanded.push_back(w[j]);
      }
    }
    arguments->push_back(expanded);
  }
  return true;
}
