// Build tool: turns the string table files res/strings/<langid>.txt into one C++ source that
// the product compiles as its string resources.
//
// Table format, one entry per line: the decimal string id, one tab, the text. Texts use the
// C escapes \n, \t, \\ and \" for line feeds, tabs, backslashes and quotes. Lines that are
// empty or start with '#' are ignored. A malformed line or a repeated id fails the build.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr unsigned long kEnglish = 1033;

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

struct Entry {
  unsigned long language;
  unsigned long id;
  std::string text;
  std::string where;  // file:line, for messages
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: qvembedstrings OUTPUT.cpp TABLE.txt...\n";
    return 2;
  }
  std::vector<Entry> entries;
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
    std::ifstream in(path);
    if (!in) {
      std::cerr << path << ": cannot be read\n";
      return 1;
    }
    std::map<unsigned long, bool> seen;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
      ++lineNo;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      const size_t tab = line.find('\t');
      if (tab == std::string::npos || tab == 0) {
        std::cerr << path << ":" << lineNo << ": expected \"<id><tab><text>\"\n";
        return 1;
      }
      const std::string idText = line.substr(0, tab);
      if (idText.size() > 5 || idText.find_first_not_of("0123456789") != std::string::npos) {
        std::cerr << path << ":" << lineNo << ": the id is not a decimal number\n";
        return 1;
      }
      const unsigned long id = std::stoul(idText);
      if (id > 0xffff || seen[id]) {
        std::cerr << path << ":" << lineNo << ": id " << id << " is out of range or repeated\n";
        return 1;
      }
      seen[id] = true;
      const std::string text = line.substr(tab + 1);
      if (!ValidEscapes(text)) {
        std::cerr << path << ":" << lineNo << ": unsupported escape or bare quote\n";
        return 1;
      }
      entries.push_back({lang, id, text, path + ":" + std::to_string(lineNo)});
    }
  }

  std::map<unsigned long, std::string> english;  // id -> conversions of the English text
  for (const Entry& e : entries) {
    std::string conversions;
    if (!Conversions(e.text, conversions)) {
      std::cerr << e.where << ": only %s, %d, %u and %% may stand in a text\n";
      return 1;
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
      return 1;
    }
    if (it->second != conversions) {
      std::cerr << e.where << ": id " << e.id
                << " must have the same % conversions as its English text\n";
      return 1;
    }
  }

  std::ostringstream out;
  out << "// Generated from res/strings by qvembedstrings; edit the tables, not this file.\n"
      << "#include \"core/StringTable.h\"\n\n"
      << "const StringResource kStringResources[] = {\n";
  for (const Entry& e : entries)
    out << "    {" << e.language << ", " << e.id << ", \"" << e.text << "\"},\n";
  const size_t count = entries.size();
  if (count == 0) out << "    {0, 0, nullptr},\n";
  out << "};\n"
      << "const size_t kStringResourceCount = " << count << ";\n";
  std::ofstream file(argv[1], std::ios::trunc);
  file << out.str();
  return file ? 0 : 1;
}
