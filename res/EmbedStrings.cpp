// Build tool: turns the string tables res/strings/<langid>.txt and the dialog texts
// res/dialogs/<langid>.txt into one C++ source that the product compiles as its resources.
//
// String table format, one entry per line: the decimal string id, one tab, the text.
// Dialog text format (every file in a folder named "dialogs"), one entry per line, four fields
// separated by single tabs: kind, resource, item, text. The kinds and what their resource and
// item are:
//   caption   dialog template id   "-"
//   control   dialog template id   control id, or staticN (the N-th text without an id)
//   popup     menu resource id     popup index
//   menuitem  menu resource id     <popup index>:<command id>
//   page      page resource name   element id
//   pageset   settings document    setting name
//   desktop   desktop entry name   key (Name, Comment)
// Texts use the C escapes \n, \t, \\ and \" for line feeds, tabs, backslashes and quotes.
// Lines that are empty or start with '#' are ignored. A malformed line, a repeated id or
// entry, a translation that has no English original, a text that is not UTF-8 or that does
// not fit the 1024-byte buffers the product loads texts into, and a language that lacks any
// id or entry of the English files fail the build; the message lists every missing id.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr unsigned long kEnglish = 1033;
// Texts are loaded into buffers of this size, terminator included.
constexpr size_t kTextBufferSize = 1024;

// True when `text` is well-formed UTF-8: no stray continuation byte, no truncated or overlong
// sequence, no surrogate and nothing above U+10FFFF.
bool ValidUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned long point = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      point = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
      point = (point << 6) | (byte(i + k) & 0x3F);
    }
    const unsigned long smallest = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0x80;
    if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// The bytes a text occupies once its escapes are resolved (each escape is one byte).
size_t LoadedSize(const std::string& text) {
  size_t size = 0;
  for (size_t i = 0; i < text.size(); ++i, ++size)
    if (text[i] == '\\') ++i;
  return size;
}

// A text must be UTF-8 and fit its buffer with the terminator; the error says which.
bool CheckText(const std::string& text, const std::string& where) {
  if (!ValidUtf8(text)) {
    std::cerr << where << ": the text is not valid UTF-8; save the file as UTF-8\n";
    return false;
  }
  if (LoadedSize(text) + 1 > kTextBufferSize) {
    std::cerr << where << ": the text is " << LoadedSize(text)
              << " bytes; with its terminator it must fit " << kTextBufferSize
              << " bytes, so shorten it\n";
    return false;
  }
  return true;
}

bool ValidEscapes(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') return false;  // a bare quote would end the literal
    if (text[i] != '\\') continue;
    if (i + 1 >= text.size()) return false;
    const char next = text[++i];
    if (next != 'n' && next != 't' && next != '\\' && next != '"') return false;
  }
  return true;
}

// The conversions of a format in order ("sd" for "%s ... %d"); false for any other.
bool Conversions(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (i + 1 >= text.size()) return false;
    const char c = text[++i];
    if (c == '%') continue;
    if (c != 's' && c != 'd' && c != 'u') return false;
    out += c;
  }
  return true;
}

// A resource or string id: one to five decimal digits, at most 0xffff.
bool IsId(const std::string& text) {
  return !text.empty() && text.size() <= 5 &&
         text.find_first_not_of("0123456789") == std::string::npos && std::stoul(text) <= 0xffff;
}

// The name of a page, document, element or setting: letters, digits, '_', '.' and '-'.
bool IsName(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '_' && c != '.' && c != '-') return false;
  }
  return true;
}

bool IsControlItem(const std::string& item) {
  if (IsId(item)) return true;
  const std::string prefix = "static";
  if (item.rfind(prefix, 0) != 0) return false;
  const std::string n = item.substr(prefix.size());
  return IsId(n) && n[0] != '0';
}

bool IsMenuItem(const std::string& item) {
  const size_t colon = item.find(':');
  return colon != std::string::npos && IsId(item.substr(0, colon)) && IsId(item.substr(colon + 1));
}

// Checks the resource and item fields against the kind; the error names what is wrong.
bool ValidDialogFields(const std::string& kind, const std::string& resource,
                       const std::string& item, std::string& error) {
  const bool named = kind == "page" || kind == "pageset" || kind == "desktop";
  if (!named && kind != "caption" && kind != "control" && kind != "popup" && kind != "menuitem") {
    error = "unknown kind \"" + kind + "\"";
    return false;
  }
  if (named ? !IsName(resource) : !IsId(resource)) {
    error = named ? "the resource is not a name" : "the resource is not a decimal id";
    return false;
  }
  bool itemOk = false;
  if (kind == "caption") itemOk = item == "-";
  if (kind == "control") itemOk = IsControlItem(item);
  if (kind == "popup") itemOk = IsId(item);
  if (kind == "menuitem") itemOk = IsMenuItem(item);
  if (named) itemOk = IsName(item);
  if (!itemOk) error = "item \"" + item + "\" does not fit kind " + kind;
  return itemOk;
}

struct Entry {
  unsigned long language;
  unsigned long id;
  std::string text;
  std::string where;  // file:line, for messages
};

struct DialogEntry {
  unsigned long language;
  std::string kind;
  std::string resource;
  std::string item;
  std::string text;
  std::string where;

  std::tuple<std::string, std::string, std::string> Key() const { return {kind, resource, item}; }
};

bool InDialogsFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return false;
  const std::string folder = path.substr(0, slash);
  const size_t parent = folder.find_last_of('/');
  return folder.substr(parent == std::string::npos ? 0 : parent + 1) == "dialogs";
}

// Reads one dialog text line; false with a message on stderr when it is malformed.
bool ParseDialogLine(const std::string& line, const std::string& where, unsigned long language,
                     DialogEntry& out) {
  std::string fields[4];
  size_t start = 0;
  for (int f = 0; f < 3; ++f) {
    const size_t tab = line.find('\t', start);
    if (tab == std::string::npos) {
      std::cerr << where << ": expected \"<kind><tab><resource><tab><item><tab><text>\"\n";
      return false;
    }
    fields[f] = line.substr(start, tab - start);
    start = tab + 1;
  }
  fields[3] = line.substr(start);
  if (fields[3].find('\t') != std::string::npos) {
    std::cerr << where << ": a text holds a tab as \\t; a raw tab starts a fifth field\n";
    return false;
  }
  std::string error;
  if (!ValidDialogFields(fields[0], fields[1], fields[2], error)) {
    std::cerr << where << ": " << error << "\n";
    return false;
  }
  if (!ValidEscapes(fields[3])) {
    std::cerr << where << ": unsupported escape or bare quote\n";
    return false;
  }
  if (!CheckText(fields[3], where)) return false;
  out = {language, fields[0], fields[1], fields[2], fields[3], where};
  return true;
}

bool ParseStringLine(const std::string& line, const std::string& where, unsigned long language,
                     std::map<unsigned long, bool>& seen, Entry& out) {
  const size_t tab = line.find('\t');
  if (tab == std::string::npos || tab == 0) {
    std::cerr << where << ": expected \"<id><tab><text>\"\n";
    return false;
  }
  const std::string idText = line.substr(0, tab);
  if (idText.size() > 5 || idText.find_first_not_of("0123456789") != std::string::npos) {
    std::cerr << where << ": the id is not a decimal number\n";
    return false;
  }
  const unsigned long id = std::stoul(idText);
  if (id > 0xffff || seen[id]) {
    std::cerr << where << ": id " << id << " is out of range or repeated\n";
    return false;
  }
  seen[id] = true;
  const std::string text = line.substr(tab + 1);
  if (!ValidEscapes(text)) {
    std::cerr << where << ": unsupported escape or bare quote\n";
    return false;
  }
  if (!CheckText(text, where)) return false;
  out = {language, id, text, where};
  return true;
}

// Translations keep the conversions of their English text and add no ids.
bool CheckStringTranslations(const std::vector<Entry>& entries) {
  std::map<unsigned long, std::string> english;  // id -> conversions of the English text
  for (const Entry& e : entries) {
    std::string conversions;
    if (!Conversions(e.text, conversions)) {
      std::cerr << e.where << ": only %s, %d, %u and %% may stand in a text\n";
      return false;
    }
    if (e.language == kEnglish) english[e.id] = conversions;
  }
  for (const Entry& e : entries) {
    if (e.language == kEnglish) continue;
    std::string conversions;
    (void)Conversions(e.text, conversions);
    const auto it = english.find(e.id);
    if (it == english.end()) {
      std::cerr << e.where << ": id " << e.id << " has no English text\n";
      return false;
    }
    if (it->second != conversions) {
      std::cerr << e.where << ": id " << e.id
                << " must have the same % conversions as its English text\n";
      return false;
    }
  }
  return true;
}

bool CheckDialogTranslations(const std::vector<DialogEntry>& entries) {
  std::set<std::tuple<std::string, std::string, std::string>> english;
  for (const DialogEntry& e : entries)
    if (e.language == kEnglish) english.insert(e.Key());
  for (const DialogEntry& e : entries) {
    if (e.language != kEnglish && english.count(e.Key()) == 0) {
      std::cerr << e.where << ": " << e.kind << " " << e.resource << " " << e.item
                << " has no English text\n";
      return false;
    }
  }
  return true;
}

// Every language that has a string table or dialog texts has every id and entry of the
// English ones. All gaps are reported, per file, before the build fails, so that a translator
// sees the whole list at once.
bool CheckComplete(const std::vector<Entry>& entries, const std::vector<DialogEntry>& dialogEntries,
                   const std::map<unsigned long, std::string>& stringFiles,
                   const std::map<unsigned long, std::string>& dialogFiles) {
  std::set<unsigned long> languages;
  std::map<unsigned long, std::set<unsigned long>> ids;
  std::map<unsigned long, std::set<std::tuple<std::string, std::string, std::string>>> keys;
  for (const Entry& e : entries) {
    languages.insert(e.language);
    ids[e.language].insert(e.id);
  }
  for (const DialogEntry& e : dialogEntries) {
    languages.insert(e.language);
    keys[e.language].insert(e.Key());
  }
  for (const auto& [language, path] : stringFiles) languages.insert(language);
  for (const auto& [language, path] : dialogFiles) languages.insert(language);
  const auto fileOf = [](const std::map<unsigned long, std::string>& files, unsigned long language,
                         const char* folder) {
    const auto it = files.find(language);
    return it != files.end()
               ? it->second
               : "res/" + std::string(folder) + "/" + std::to_string(language) + ".txt";
  };
  bool complete = true;
  for (const unsigned long language : languages) {
    if (language == kEnglish) continue;
    std::string missingIds;
    for (const unsigned long id : ids[kEnglish])
      // Appended in two steps: GCC 12 at -O3 takes `" " + std::to_string(id)` for an overlapping
      // copy and fails the release build.
      if (ids[language].count(id) == 0) {
        missingIds += ' ';
        missingIds += std::to_string(id);
      }
    if (!missingIds.empty()) {
      std::cerr << fileOf(stringFiles, language, "strings") << ": language " << language
                << " lacks the string ids" << missingIds << "; translate them from 1033.txt\n";
      complete = false;
    }
    std::string missingEntries;
    for (const auto& key : keys[kEnglish]) {
      if (keys[language].count(key) != 0) continue;
      missingEntries +=
          "\n    " + std::get<0>(key) + " " + std::get<1>(key) + " " + std::get<2>(key);
    }
    if (!missingEntries.empty()) {
      std::cerr << fileOf(dialogFiles, language, "dialogs") << ": language " << language
                << " lacks these dialog texts (translate them from 1033.txt):" << missingEntries
                << "\n";
      complete = false;
    }
  }
  return complete;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: qvembedstrings OUTPUT.cpp TABLE.txt...\n";
    return 2;
  }
  std::vector<Entry> entries;
  std::vector<DialogEntry> dialogEntries;
  std::map<unsigned long, std::string> stringFiles, dialogFiles;
  for (int a = 2; a < argc; ++a) {
    const std::string path = argv[a];
    const size_t slash = path.find_last_of('/');
    const std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    // The file name starts with the table's language id: 1033.txt is English.
    const size_t digits = base.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string::npos || digits > 5 ||
        std::stoul(base.substr(0, digits)) > 0xffff) {
      std::cerr << path << ": the file name must start with the language id (1033.txt)\n";
      return 1;
    }
    const unsigned long lang = std::stoul(base.substr(0, digits));
    const bool dialogs = InDialogsFolder(path);
    (dialogs ? dialogFiles : stringFiles)[lang] = path;
    std::ifstream in(path);
    if (!in) {
      std::cerr << path << ": cannot be read\n";
      return 1;
    }
    std::map<unsigned long, bool> seen;
    std::set<std::tuple<std::string, std::string, std::string>> seenDialog;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
      ++lineNo;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      const std::string where = path + ":" + std::to_string(lineNo);
      if (!dialogs) {
        Entry entry;
        if (!ParseStringLine(line, where, lang, seen, entry)) return 1;
        entries.push_back(std::move(entry));
        continue;
      }
      DialogEntry entry;
      if (!ParseDialogLine(line, where, lang, entry)) return 1;
      if (!seenDialog.insert(entry.Key()).second) {
        std::cerr << where << ": " << entry.kind << " " << entry.resource << " " << entry.item
                  << " is repeated\n";
        return 1;
      }
      dialogEntries.push_back(std::move(entry));
    }
  }
  if (!CheckStringTranslations(entries) || !CheckDialogTranslations(dialogEntries)) return 1;
  if (!CheckComplete(entries, dialogEntries, stringFiles, dialogFiles)) return 1;

  std::ostringstream out;
  out << "// Generated from res/strings and res/dialogs by qvembedstrings; edit the tables, not\n"
      << "// this file.\n"
      << "#include \"base/DialogResources.h\"\n"
      << "#include \"base/StringTable.h\"\n\n"
      << "const StringResource kStringResources[] = {\n";
  for (const Entry& e : entries)
    out << "    {" << e.language << ", " << e.id << ", \"" << e.text << "\"},\n";
  if (entries.empty()) out << "    {0, 0, nullptr},\n";
  out << "};\n"
      << "const size_t kStringResourceCount = " << entries.size() << ";\n\n"
      << "const DialogTextResource kDialogTextResources[] = {\n";
  for (const DialogEntry& e : dialogEntries)
    out << "    {" << e.language << ", \"" << e.kind << "\", \"" << e.resource << "\", \"" << e.item
        << "\", \"" << e.text << "\"},\n";
  if (dialogEntries.empty()) out << "    {0, nullptr, nullptr, nullptr, nullptr},\n";
  out << "};\n"
      << "const size_t kDialogTextResourceCount = " << dialogEntries.size() << ";\n";
  std::ofstream file(argv[1], std::ios::trunc);
  file << out.str();
  return file ? 0 : 1;
}
