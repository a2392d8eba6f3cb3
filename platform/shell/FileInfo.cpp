// SHGetFileInfoA and the system image list as freedesktop icon names; file types come from the
// shared-mime-info glob lists of the XDG data folders.
#include "platform/shell/FileInfo.h"

#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/Kernel.h"
#include "platform/ui/WindowApi.h"

namespace {

constexpr char kFolderIcon[] = "folder";
constexpr char kOpenFolderIcon[] = "folder-open";
constexpr char kUnknownType[] = "application/octet-stream";

// The languages a description is looked for in, best first: "de_DE.UTF-8@euro" gives
// "de_DE@euro", "de_DE", "de@euro" and "de".
std::vector<std::string> UserLanguages() {
  std::string locale = QvUserLocaleName();
  std::string modifier;
  if (const std::size_t at = locale.find('@'); at != std::string::npos) {
    modifier = locale.substr(at);
    locale.erase(at);
  }
  if (const std::size_t dot = locale.find('.'); dot != std::string::npos) locale.erase(dot);
  if (locale.empty() || locale == "C" || locale == "POSIX") return {};
  std::vector<std::string> languages;
  const std::string language = locale.substr(0, locale.find('_'));
  for (const std::string& name : {locale, language}) {
    if (!modifier.empty()) languages.push_back(name + modifier);
    languages.push_back(name);
  }
  languages.erase(std::unique(languages.begin(), languages.end()), languages.end());
  return languages;
}

std::string XmlText(std::string_view text) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool replaced = false;
    for (const auto& [entity, character] : kEntities) {
      if (text.substr(i, entity.size()) == entity) {
        out += character;
        i += entity.size() - 1;
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i];
  }
  return out;
}

// The text of the <comment> whose xml:lang comes first in `languages`, else of the one
// without xml:lang; its first letter raised, as a column heading's entries are.
std::string CommentInLanguage(const std::string& xml, const std::vector<std::string>& languages) {
  std::string plain;
  std::string best;
  std::size_t bestRank = languages.size();
  for (std::size_t at = xml.find("<comment"); at != std::string::npos;
       at = xml.find("<comment", at + 1)) {
    const std::size_t open = xml.find('>', at);
    const std::size_t close = xml.find("</comment>", at);
    if (open == std::string::npos || close == std::string::npos || close < open) break;
    const std::string_view attributes(xml.data() + at + 8, open - at - 8);
    if (!attributes.empty() && attributes[0] != ' ' && attributes[0] != '\t') continue;
    const std::string text = XmlText(std::string_view(xml).substr(open + 1, close - open - 1));
    const std::size_t lang = attributes.find("xml:lang=\"");
    if (lang == std::string_view::npos) {
      if (plain.empty()) plain = text;
      continue;
    }
    const std::string_view value = attributes.substr(lang + 10);
    const std::string_view name = value.substr(0, value.find('"'));
    for (std::size_t rank = 0; rank < bestRank; ++rank) {
      if (languages[rank] == name) {
        best = text;
        bestRank = rank;
        break;
      }
    }
  }
  std::string chosen = bestRank < languages.size() ? best : plain;
  if (!chosen.empty() && chosen[0] >= 'a' && chosen[0] <= 'z') chosen[0] = chosen[0] - 'a' + 'A';
  return chosen;
}

struct Glob {
  int weight;
  std::string type;
  std::string pattern;
  bool caseSensitive;
};

// The glob lists of the data folders, user's first. Read again when the folders change, so a
// type registered meanwhile is seen once the environment names its folder.
class MimeGlobs {
 public:
  std::string TypeOf(const std::string& name) {
    const std::lock_guard guard(lock_);
    const std::vector<std::string> folders = DataFolders();
    if (folders != loadedFrom_) Load(folders);
    const std::string lower = ToLowerAscii(name);
    const Glob* best = nullptr;
    const auto consider = [&best](const Glob& glob) {
      if (best == nullptr || glob.weight > best->weight ||
          (glob.weight == best->weight && glob.pattern.size() > best->pattern.size()))
        best = &glob;
    };
    // "*.ext" globs by the name's endings, every dot-suffix of the name being one candidate.
    for (std::size_t dot = lower.find('.'); dot != std::string::npos;
         dot = lower.find('.', dot + 1)) {
      const auto range = bySuffix_.equal_range(lower.substr(dot));
      for (auto entry = range.first; entry != range.second; ++entry) {
        const Glob& glob = globs_[entry->second];
        const std::string& subject = glob.caseSensitive ? name : lower;
        if (subject.size() > dot && subject.compare(dot, std::string::npos, glob.pattern, 1) == 0)
          consider(glob);
      }
    }
    for (const std::size_t index : otherGlobs_) {
      const Glob& glob = globs_[index];
      if (fnmatch(glob.pattern.c_str(), (glob.caseSensitive ? name : lower).c_str(), 0) == 0)
        consider(glob);
    }
    return best != nullptr ? best->type : std::string();
  }

  // What the type's own entry (`mime/<type>.xml`, written by update-mime-database) calls it in
  // the user's language, else in its own; empty when no data folder describes it.
  std::string DescriptionOf(const std::string& type) {
    const std::lock_guard guard(lock_);
    const std::vector<std::string> folders = DataFolders();
    if (folders != loadedFrom_) Load(folders);
    const std::string key = type + '\n' + QvUserLocaleName();
    if (const auto known = descriptions_.find(key); known != descriptions_.end())
      return known->second;
    std::string description;
    // A type is "media/subtype"; anything else could name a file outside the folder.
    const std::size_t slash = type.find('/');
    const bool wellFormed = slash != std::string::npos && slash > 0 &&
                            type.find('/', slash + 1) == std::string::npos &&
                            type.find("..") == std::string::npos && type.back() != '/';
    for (const std::string& folder : wellFormed ? folders : std::vector<std::string>{}) {
      std::ifstream in(folder + "/mime/" + type + ".xml");
      if (!in) continue;
      std::ostringstream text;
      text << in.rdbuf();
      description = CommentInLanguage(text.str(), UserLanguages());
      break;
    }
    descriptions_.emplace(key, description);
    return description;
  }

 private:
  static std::vector<std::string> DataFolders() {
    std::vector<std::string> folders;
    if (const char* home = std::getenv("XDG_DATA_HOME"); home != nullptr && home[0] == '/')
      folders.emplace_back(home);
    else if (const char* user = std::getenv("HOME"); user != nullptr && user[0] == '/')
      folders.emplace_back(std::string(user) + "/.local/share");
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::stringstream list(dirs != nullptr && dirs[0] != '\0' ? dirs
                                                              : "/usr/local/share:/usr/share");
    for (std::string folder; std::getline(list, folder, ':');)
      if (!folder.empty() && folder[0] == '/') folders.push_back(folder);
    return folders;
  }

  void Load(const std::vector<std::string>& folders) {
    descriptions_.clear();
    globs_.clear();
    bySuffix_.clear();
    otherGlobs_.clear();
    loadedFrom_ = folders;
    // Between globs of equal weight and length the one read first wins: the user's folder.
    for (const std::string& folder : folders) {
      std::ifstream in(folder + "/mime/globs2");
      for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::stringstream fields(line);
        std::string weight, type, pattern, flags;
        if (!std::getline(fields, weight, ':') || !std::getline(fields, type, ':') ||
            !std::getline(fields, pattern, ':'))
          continue;
        std::getline(fields, flags);
        char* end = nullptr;
        const long value = std::strtol(weight.c_str(), &end, 10);
        if (end == weight.c_str() || type.empty() || pattern.empty()) continue;
        const bool caseSensitive = flags.find("cs") != std::string::npos;
        if (!caseSensitive) pattern = ToLowerAscii(pattern);
        globs_.push_back(Glob{static_cast<int>(value), type, pattern, caseSensitive});
        const bool plainSuffix = pattern.size() > 2 && pattern[0] == '*' && pattern[1] == '.' &&
                                 pattern.find_first_of("*?[", 1) == std::string::npos;
        if (plainSuffix)
          bySuffix_.emplace(ToLowerAscii(pattern.substr(1)), globs_.size() - 1);
        else
          otherGlobs_.push_back(globs_.size() - 1);
      }
    }
  }

  std::mutex lock_;
  std::vector<std::string> loadedFrom_;
  std::vector<Glob> globs_;
  std::unordered_multimap<std::string, std::size_t> bySuffix_;  // ".ext" lower case -> glob
  std::vector<std::size_t> otherGlobs_;
  std::unordered_map<std::string, std::string> descriptions_;  // type and locale -> text
};

MimeGlobs& Globs() {
  static MimeGlobs* globs = new MimeGlobs;
  return *globs;
}

// The process's system image list: index -> icon name.
class SystemImageList {
 public:
  int IndexOf(const std::string& icon) {
    const std::lock_guard guard(lock_);
    if (const auto found = indices_.find(icon); found != indices_.end()) return found->second;
    names_.push_back(icon);
    const int index = static_cast<int>(names_.size() - 1);
    indices_.emplace(icon, index);
    return index;
  }
  std::string NameOf(int index) {
    const std::lock_guard guard(lock_);
    if (index < 0 || static_cast<std::size_t>(index) >= names_.size()) return {};
    return names_[static_cast<std::size_t>(index)];
  }

 private:
  std::mutex lock_;
  std::vector<std::string> names_;
  std::unordered_map<std::string, int> indices_;
};

SystemImageList& ImageList() {
  static SystemImageList* list = new SystemImageList;
  return *list;
}

std::string IconOfType(std::string type) {
  std::replace(type.begin(), type.end(), '/', '-');
  return type;
}

// Copies as much of `text` as fits, never half a UTF-8 character.
void CopyCut(char* buffer, std::size_t size, const std::string& text) {
  std::size_t length = std::min(text.size(), size - 1);
  if (length < text.size())
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
}

}  // namespace

std::string QvMimeTypeOfName(const std::string& name) {
  try {
    return Globs().TypeOf(name);
  } catch (...) {
    return {};
  }
}

std::uintptr_t SHGetFileInfoA(LPCSTR path, DWORD fileAttributes, SHFILEINFOA* psfi, UINT cbFileInfo,
                              UINT flags) noexcept {
  if (path == nullptr || psfi == nullptr || cbFileInfo < sizeof(SHFILEINFOA)) return 0;
  try {
    std::memset(psfi, 0, sizeof *psfi);
    bool folder = (fileAttributes & 0x10) != 0;
    if ((flags & SHGFI_USEFILEATTRIBUTES) == 0) {
      struct stat status {};
      if (::stat(path, &status) != 0) return 0;
      folder = S_ISDIR(status.st_mode);
    }
    std::string name(path);
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    if (const std::size_t slash = name.rfind('/'); slash != std::string::npos)
      name.erase(0, slash + 1);
    std::string type = folder ? "inode/directory" : QvMimeTypeOfName(name);
    if (type.empty()) type = kUnknownType;
    const std::string icon =
        folder ? ((flags & SHGFI_OPENICON) != 0 ? kOpenFolderIcon : kFolderIcon) : IconOfType(type);
    psfi->iIcon = ImageList().IndexOf(icon);
    psfi->dwAttributes = folder ? 0x10 : 0;
    if ((flags & SHGFI_ICON) != 0) psfi->hIcon = QvNamedIcon(("icon:" + icon).c_str());
    if ((flags & SHGFI_DISPLAYNAME) != 0)
      CopyCut(psfi->szDisplayName, sizeof psfi->szDisplayName, name);
    if ((flags & SHGFI_TYPENAME) != 0) {
      const std::string description = Globs().DescriptionOf(type);
      CopyCut(psfi->szTypeName, sizeof psfi->szTypeName, description.empty() ? type : description);
    }
    // The result stands for the system image list the index belongs to.
    return (flags & SHGFI_SYSICONINDEX) != 0 ? reinterpret_cast<std::uintptr_t>(&ImageList()) : 1;
  } catch (...) {
    return 0;
  }
}

std::string QvSystemIconName(int index) { return ImageList().NameOf(index); }

HICON QvSystemIconWithOverlay(int index, UINT size, UINT overlayResource) {
  try {
    const std::string name = ImageList().NameOf(index);
    if (name.empty()) return nullptr;
    const std::string overlaid = "icon:" + name +
                                 ";overlay:resource:" + std::to_string(overlayResource) +
                                 ";size:" + std::to_string(size);
    return QvNamedIcon(overlaid.c_str());
  } catch (...) {
    return nullptr;
  }
}
