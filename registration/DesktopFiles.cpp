// Writing, recording and removing the desktop files of registration.
#include "registration/DesktopFiles.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "base/DialogResources.h"
#include "base/StringTable.h"
#include "platform/Com.h"
#include "platform/FileAccess.h"
#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/MachineRoot.h"
#include "platform/shell/ShellExecute.h"

namespace {

constexpr char kManifestMagic[] = "QVDESKTOP 1";
constexpr char kActionPrefix[] = "quorvin-qvfolderext-";
constexpr char kFileType[] = "application/x-quorvin-encrypted-file";
constexpr char kFolderType[] = "application/x-quorvin-encrypted-folder";
constexpr DWORD kScriptMode = 0755;
constexpr DWORD kFileMode = 0644;

// ---- Text of the files ----

std::string IconName(const std::string& type) {
  std::string name = type;
  std::replace(name.begin(), name.end(), '/', '-');
  return name;
}

// Text of an XML element (never of an attribute).
std::string XmlEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

// A value of a desktop key file: backslash, newline, tab and carriage return are escaped, and
// a leading space would be lost.
std::string KeyFileValue(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\r')
      out += "\\r";
    else if (c == ' ' && i == 0)
      out += "\\s";
    else
      out.push_back(c);
  }
  return out;
}

std::string MimePackage() {
  // The magic of an encrypted file: 89 51 56 46 0D 0A 1A 0A.
  return std::string(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
             "  <mime-type type=\"") +
         kFileType +
         "\">\n"
         "    <comment>Quorvin encrypted file</comment>\n"
         "    <magic priority=\"80\">\n"
         "      <match type=\"big32\" value=\"0x89515646\" offset=\"0\">\n"
         "        <match type=\"big32\" value=\"0x0d0a1a0a\" offset=\"4\"/>\n"
         "      </match>\n"
         "    </magic>\n"
         "    <glob pattern=\"*.qvf\"/>\n"
         "  </mime-type>\n"
         "  <mime-type type=\"" +
         kFolderType +
         "\">\n"
         "    <comment>Quorvin encrypted folder</comment>\n"
         "    <sub-class-of type=\"application/vnd.sqlite3\"/>\n"
         "    <glob pattern=\"*.qvef\"/>\n"
         "    <glob pattern=\"*.qvx\"/>\n"
         "  </mime-type>\n"
         "</mime-info>\n";
}

// A padlock on a sheet (a file) or on a folder's outline (a folder container), so the two
// are told apart at list size, where the letter is too small to read.
constexpr char kSheetOutline[] = "M14 4h26l12 12v44H14z";
constexpr char kFolderOutline[] = "M4 12h20l6 6h30v38H4z";

std::string Icon(const char* outline, const char* mark) {
  return std::string(
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"64\" height=\"64\" viewBox=\"0 0 "
             "64 64\">\n"
             "  <path d=\"") +
         outline +
         "\" fill=\"#f4f6f8\" stroke=\"#35506b\" stroke-width=\"3\"/>\n"
         "  <rect x=\"22\" y=\"34\" width=\"22\" height=\"18\" rx=\"3\" fill=\"#35506b\"/>\n"
         "  <path d=\"M27 34v-6a6 6 0 0 1 12 0v6\" fill=\"none\" stroke=\"#35506b\" "
         "stroke-width=\"3\"/>\n"
         "  <text x=\"33\" y=\"48\" font-size=\"10\" text-anchor=\"middle\" fill=\"#fff\">" +
         mark + "</text>\n</svg>\n";
}

std::string ExecProgram(const std::string& program) { return QuoteDesktopExecArgument(program); }

// "Key=English text" and one "Key[locale]=text" per other language, for a key of a desktop
// file: the desktop shows the one of the user's language. `text` gives a language's text.
template <class TextOf>
std::string TranslatedKey(const char* key, TextOf text) {
  std::string lines;
  for (const ShippedLanguage& language : ShippedLanguages()) {
    const std::string value = text(language.id);
    if (value.empty()) continue;
    const bool english = language.id == kFallbackLanguage;
    lines += std::string(key) + (english ? "" : "[" + std::string(language.locale) + "]") + "=" +
             KeyFileValue(value) + "\n";
  }
  return lines;
}

// The Name and Comment keys of the desktop entry `entry` (res/dialogs, kind "desktop").
std::string EntryNames(const char* entry) {
  const std::span<const DialogTextResource> texts(kDialogTextResources, kDialogTextResourceCount);
  std::string lines;
  for (const char* key : {"Name", "Comment"}) {
    lines += TranslatedKey(key, [&](LANGID language) {
      const char* text = FindDialogText(texts, "desktop", entry, key, language);
      return std::string(text != nullptr ? text : "");
    });
  }
  return lines;
}

// The key `key` of a menu item in every language: the item's own texts are the English ones.
std::string ItemKey(const char* key, UINT textId) {
  return TranslatedKey(key, [textId](LANGID language) { return LoadStringText(textId, language); });
}

std::string OpenerEntry(const DesktopPlaces& places) {
  return "[Desktop Entry]\n"
         "Type=Application\n" +
         EntryNames("quorvin-qvf") +
         "Exec=" + KeyFileValue(ExecProgram(places.shellaProgram) + " %f") +
         "\n"
         "Icon=" +
         IconName(kFileType) +
         "\n"
         "MimeType=" +
         kFileType +
         ";\n"
         "NoDisplay=true\n"
         "Terminal=false\n";
}

std::string ContainerEntry(const DesktopPlaces& places) {
  return "[Desktop Entry]\n"
         "Type=Application\n" +
         EntryNames("quorvin-qvef") +
         "Exec=" + KeyFileValue(ExecProgram(places.qvxProgram) + " browse %f") +
         "\n"
         "Icon=" +
         IconName(kFolderType) +
         "\n"
         "MimeType=" +
         kFolderType +
         ";\n"
         "NoDisplay=true\n"
         // qvx browse opens a window of its own when started without a terminal.
         "Terminal=false\n";
}

// The command of an action in desktop Exec quoting, with the file-list field code at the end.
std::string DesktopRunCommand(const DesktopPlaces& places, const DesktopMenuItem& item) {
  std::string runArg = QuoteDesktopExecArgument(item.runArg);
  return ExecProgram(places.qvxProgram) + " menu --run " + runArg + " -- %F";
}

// The same in GLib's shell quoting (Nemo and Thunar put each file in g_shell_quote'd form in
// place of %F and split the line with g_shell_parse_argv).
std::string ShellRunCommand(const DesktopPlaces& places, const DesktopMenuItem& item) {
  return QuoteShellWord(places.qvxProgram) + " menu --run " + QuoteShellWord(item.runArg) +
         " -- %F";
}

std::string DolphinServiceMenu(const DesktopPlaces& places,
                               const std::vector<DesktopMenuItem>& items) {
  std::string text =
      "[Desktop Entry]\n"
      "Type=Service\n"
      "X-KDE-ServiceTypes=KonqPopupMenu/Plugin\n"
      "Name=Quorvin\n"
      // Every file's type is a kind of application/octet-stream, so this matches all files.
      "MimeType=application/octet-stream;inode/directory;\n"
      "X-KDE-Submenu=Quorvin\n"
      "Actions=";
  for (const DesktopMenuItem& item : items) text += item.id + ";";
  text += "\n";
  for (const DesktopMenuItem& item : items) {
    text += "\n[Desktop Action " + item.id + "]\n";
    text += ItemKey("Name", item.labelId);
    text += "Exec=" + KeyFileValue(DesktopRunCommand(places, item)) + "\n";
  }
  return text;
}

// A Nautilus script gets the selected files as its arguments and hands them on unchanged.
std::string NautilusScript(const DesktopPlaces& places, const DesktopMenuItem& item) {
  return "#!/bin/sh\n"
         "# " +
         item.help +
         "\n"
         "exec " +
         QuoteShellWord(places.qvxProgram) + " menu --run " + QuoteShellWord(item.runArg) +
         " -- \"$@\"\n";
}

std::string NemoAction(const DesktopPlaces& places, const DesktopMenuItem& item) {
  return "[Nemo Action]\n" + ItemKey("Name", item.labelId) + ItemKey("Comment", item.helpId) +
         "Exec=" + KeyFileValue(ShellRunCommand(places, item)) +
         "\n"
         "Selection=notnone\n"
         "Extensions=any;\n";
}

std::string ThunarActions(const DesktopPlaces& places, const std::vector<DesktopMenuItem>& items) {
  std::string text;
  for (const DesktopMenuItem& item : items) {
    text +=
        "<action>\n"
        "\t<icon></icon>\n"
        "\t<name>" +
        XmlEscaped(item.label) +
        "</name>\n"
        "\t<unique-id>" +
        kActionPrefix + item.id +
        "</unique-id>\n"
        "\t<command>" +
        XmlEscaped(ShellRunCommand(places, item)) +
        "</command>\n"
        "\t<description>" +
        XmlEscaped(item.help) +
        "</description>\n"
        "\t<patterns>*</patterns>\n"
        "\t<directories/>\n\t<audio-files/>\n\t<image-files/>\n\t<other-files/>\n"
        "\t<text-files/>\n\t<video-files/>\n"
        "</action>\n";
  }
  return text;
}

// ---- Files ----

// A menu text as a file name: a "/" would name a folder.
std::string FileNameOf(std::string text) {
  std::replace(text.begin(), text.end(), '/', '-');
  return text;
}

std::uint64_t ContentHash(const std::string& data) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : data) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

std::string HashText(std::uint64_t hash) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::optional<std::string> ReadWhole(const std::string& path) {
  RegularFile file;
  if (!file.OpenForReading(path.c_str())) return std::nullopt;
  std::string data;
  char buffer[16384];
  for (;;) {
    const long long n = file.Read(buffer, sizeof buffer);
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > 16u * 1024u * 1024u) return std::nullopt;
  }
  return data;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Writes `data` to a new file beside `path` and renames it over `path`, so a reader sees the
// old or the new file whole.
bool WriteReplacing(const std::string& path, const std::string& data, DWORD mode) {
  const std::string temporary = path + ".quorvin-new";
  RegularFile file;
  if (!file.OpenForWriting(temporary.c_str(), false)) return false;
  const bool written =
      file.Write(data.data(), data.size()) && file.SetPermissions(mode) && file.Close();
  if (!written || !MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    (void)DeleteFileA(temporary.c_str());
    return false;
  }
  return true;
}

std::string Escaped(const std::string& path) {
  std::string out;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '%') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", byte);
      out += hex;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> Unescaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexDigit(text[i + 1]);
    const int low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

// What the manifest records.
struct Manifest {
  struct File {
    std::string path;
    std::string hash;
  };
  std::vector<File> files;
  std::vector<std::string> folders;  // created by us, parents first
  std::vector<std::string> merged;   // files our actions were merged into
};

std::string ManifestText(const Manifest& manifest) {
  std::string text = std::string(kManifestMagic) + "\n";
  for (const std::string& folder : manifest.folders) text += "folder " + Escaped(folder) + "\n";
  for (const Manifest::File& file : manifest.files)
    text += "file " + file.hash + " " + Escaped(file.path) + "\n";
  for (const std::string& merged : manifest.merged) text += "merged " + Escaped(merged) + "\n";
  return text;
}

std::optional<Manifest> ParseManifest(const std::string& text) {
  Manifest manifest;
  std::size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) return std::nullopt;
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (first) {
      if (line != kManifestMagic) return std::nullopt;
      first = false;
      continue;
    }
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) return std::nullopt;
    const std::string kind = line.substr(0, space);
    std::string rest = line.substr(space + 1);
    if (kind == "file") {
      const std::size_t split = rest.find(' ');
      if (split != 16) return std::nullopt;
      const auto path = Unescaped(rest.substr(split + 1));
      if (!path || path->empty() || path->front() != '/') return std::nullopt;
      manifest.files.push_back({*path, rest.substr(0, split)});
    } else if (kind == "folder" || kind == "merged") {
      const auto path = Unescaped(rest);
      if (!path || path->empty() || path->front() != '/') return std::nullopt;
      (kind == "folder" ? manifest.folders : manifest.merged).push_back(*path);
    } else {
      return std::nullopt;
    }
  }
  if (first) return std::nullopt;
  return manifest;
}

// Removes our actions from the text of a Thunar uca.xml: every <action> element whose
// unique-id starts with our prefix, and nothing else.
std::string WithoutOurThunarActions(const std::string& text) {
  std::string out;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t start = text.find("<action>", pos);
    if (start == std::string::npos) break;
    const std::size_t close = text.find("</action>", start);
    if (close == std::string::npos) break;
    std::size_t end = close + std::string("</action>").size();
    const std::string element = text.substr(start, end - start);
    out += text.substr(pos, start - pos);
    if (element.find(std::string("<unique-id>") + kActionPrefix) == std::string::npos) {
      out += element;
    } else if (end < text.size() && text[end] == '\n') {
      ++end;
    }
    pos = end;
  }
  return out + text.substr(pos);
}

constexpr char kEmptyThunarFile[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n</actions>\n";

class Writer {
 public:
  explicit Writer(const Manifest& previous) : previous_(previous) {}

  bool Folder(const std::string& path) {
    if (Exists(path)) return true;
    const std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !Folder(path.substr(0, slash))) return false;
    if (!CreateDirectoryA(path.c_str(), nullptr) && !Exists(path))
      return Fail("cannot create the folder " + path);
    written_.folders.push_back(path);
    return true;
  }

  bool File(const std::string& path, const std::string& data, DWORD mode) {
    const std::size_t slash = path.find_last_of('/');
    if (!Folder(path.substr(0, slash))) return false;
    if (Exists(path) && !WasOurs(path))
      return Fail(path +
                  " is in the way and was not written by this registration: move it aside, then "
                  "register again");
    if (!WriteReplacing(path, data, mode)) return Fail("cannot write " + path);
    written_.files.push_back({path, HashText(ContentHash(data))});
    return true;
  }

  bool MergeThunar(const std::string& path, const std::string& actions) {
    const std::size_t slash = path.find_last_of('/');
    if (!Folder(path.substr(0, slash))) return false;
    std::string text = kEmptyThunarFile;
    if (Exists(path)) {
      const auto existing = ReadWhole(path);
      if (!existing) return Fail("cannot read " + path);
      text = WithoutOurThunarActions(*existing);
    }
    const std::size_t end = text.rfind("</actions>");
    if (end == std::string::npos)
      return Fail(path +
                  " has no </actions>: repair the file (or move it aside), then register again");
    text.insert(end, actions);
    if (!WriteReplacing(path, text, kFileMode)) return Fail("cannot write " + path);
    written_.merged.push_back(path);
    return true;
  }

  const Manifest& Written() const { return written_; }
  const std::string& Failure() const { return failure_; }

 private:
  bool Fail(const std::string& what) {
    if (failure_.empty()) failure_ = what;
    return false;
  }
  // A file the previous registration wrote and nobody changed since.
  bool WasOurs(const std::string& path) const {
    for (const Manifest::File& file : previous_.files) {
      if (file.path != path) continue;
      const auto data = ReadWhole(path);
      return data && HashText(ContentHash(*data)) == file.hash;
    }
    return false;
  }

  const Manifest& previous_;
  Manifest written_;
  std::string failure_;
};

std::optional<Manifest> LoadManifest(const std::string& path, std::string* failure) {
  if (!Exists(path)) return Manifest{};
  const auto text = ReadWhole(path);
  std::optional<Manifest> manifest = text ? ParseManifest(*text) : std::nullopt;
  if (!manifest && failure != nullptr)
    *failure = "the list of desktop files " + path +
               " cannot be read; nothing was changed: move it aside to start afresh";
  return manifest;
}

// Removes the files `manifest` lists and our actions from the merged files; files that
// changed are left and named in `warnings`.
void TakeBack(const Manifest& manifest, std::vector<std::string>* warnings) {
  for (const Manifest::File& file : manifest.files) {
    const auto data = ReadWhole(file.path);
    if (!data) continue;
    if (HashText(ContentHash(*data)) != file.hash) {
      warnings->push_back("left " + file.path + ": it changed since it was written");
      continue;
    }
    if (!DeleteFileA(file.path.c_str())) warnings->push_back("cannot remove " + file.path);
  }
  for (const std::string& merged : manifest.merged) {
    const auto data = ReadWhole(merged);
    if (!data) continue;
    const std::string rest = WithoutOurThunarActions(*data);
    if (rest == *data) continue;
    const bool removed = rest == kEmptyThunarFile ? DeleteFileA(merged.c_str()) != FALSE
                                                  : WriteReplacing(merged, rest, kFileMode);
    if (!removed) warnings->push_back("cannot remove our actions from " + merged);
  }
}

// Removes the folders `manifest` lists as created by us, deepest first; one that holds
// something else stays. Runs after the databases were updated, so that update-mime-database
// still finds its (now empty) packages folder.
void RemoveCreatedFolders(const Manifest& manifest) {
  for (auto it = manifest.folders.rbegin(); it != manifest.folders.rend(); ++it)
    (void)RemoveDirectoryA(it->c_str());
}

// The absolute path of `program` on PATH, or empty. Relative PATH entries are skipped, so a
// program in the working folder is never the one run.
std::string FindOnPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string entries = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t pos = 0;
  while (pos <= entries.size()) {
    std::size_t end = entries.find(':', pos);
    if (end == std::string::npos) end = entries.size();
    const std::string folder = entries.substr(pos, end - pos);
    pos = end + 1;
    if (folder.empty() || folder.front() != '/') continue;
    const std::string candidate = folder + "/" + program;
    const DWORD attributes = GetFileAttributesA(candidate.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      return candidate;
  }
  return {};
}

// Runs one of the desktop's database updates on `folder` and waits for it.
void RunUpdate(const char* program, const std::string& folder, std::vector<std::string>* warnings) {
  if (!Exists(folder)) return;
  const std::string found = FindOnPath(program);
  if (found.empty()) {
    warnings->push_back(std::string(program) +
                        " was not found: install it (shared-mime-info, desktop-file-utils) so that "
                        "file managers see the change");
    return;
  }
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpFile = found.c_str();
  info.lpParameters = folder.c_str();
  if (!ShellExecuteExA(&info) || info.hProcess == nullptr) {
    warnings->push_back("cannot run " + found);
    return;
  }
  DWORD code = 1;
  (void)WaitForSingleObject(info.hProcess, INFINITE);
  if (!GetExitCodeProcess(info.hProcess, &code)) code = 1;
  (void)CloseHandle(info.hProcess);
  if (code != 0)
    warnings->push_back(found + " " + folder + " failed with exit status " + std::to_string(code));
}

void UpdateDatabases(const DesktopPlaces& places, std::vector<std::string>* warnings) {
  RunUpdate("update-mime-database", places.dataHome + "/mime", warnings);
  RunUpdate("update-desktop-database", places.dataHome + "/applications", warnings);
}

bool PlacesUsable(const DesktopPlaces& places, std::string* failure) {
  for (const std::string* path : {&places.dataHome, &places.configHome, &places.manifestPath}) {
    if (path->empty() || path->front() != '/') {
      *failure =
          "the XDG data and config folders and the machine root must be absolute paths: set HOME";
      return false;
    }
  }
  return true;
}

}  // namespace

std::string QuoteDesktopExecArgument(const std::string& argument) {
  bool plain = !argument.empty();
  for (const char c : argument)
    if (std::string_view(" \t\n\"'\\><~|&;$*?#()`=%").find(c) != std::string_view::npos)
      plain = false;
  std::string out;
  if (plain) return argument;
  out.push_back('"');
  for (const char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out.push_back('\\');
    if (c == '%') out.push_back('%');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string QuoteShellWord(const std::string& word) {
  std::string out = "'";
  for (const char c : word) {
    if (c == '\'')
      out += "'\\''";
    else
      out.push_back(c);
  }
  return out + "'";
}

DesktopPlaces CurrentDesktopPlaces(const std::string& modulePath) {
  DesktopPlaces places;
  places.dataHome = QvXdgDataHome();
  places.configHome = QvXdgConfigHome();
  const std::string folder = modulePath.substr(0, modulePath.find_last_of('/') + 1);
  places.qvxProgram = folder + "qvx";
  places.shellaProgram = folder + "Qvshella";
  const std::string root = QvMachineRoot();
  if (!root.empty()) places.manifestPath = root + "/desktop-files";
  return places;
}

std::vector<DesktopMenuItem> DesktopMenuItems() {
  return {
      {"encrypt", "QVEncryptCMD", LoadStringText(101), LoadStringText(103), 101, 103},
      {"decrypt", "QVDecryptCMD", LoadStringText(102), LoadStringText(104), 102, 104},
      {"sharing", LoadStringText(145), LoadStringText(145), LoadStringText(146), 145, 146},
      {"convert", LoadStringText(185), LoadStringText(185), LoadStringText(184), 185, 184},
  };
}

HRESULT WriteDesktopFiles(const DesktopPlaces& places, std::string* failure,
                          std::vector<std::string>* warnings) {
  if (!PlacesUsable(places, failure)) return E_INVALIDARG;
  const auto previous = LoadManifest(places.manifestPath, failure);
  if (!previous) return E_FAIL;

  const std::vector<DesktopMenuItem> items = DesktopMenuItems();
  const std::string& data = places.dataHome;
  Writer writer(*previous);
  bool ok =
      writer.File(data + "/mime/packages/quorvin-qvfolderext.xml", MimePackage(), kFileMode) &&
      writer.File(data + "/icons/hicolor/scalable/mimetypes/" + IconName(kFileType) + ".svg",
                  Icon(kSheetOutline, "F"), kFileMode) &&
      writer.File(data + "/icons/hicolor/scalable/mimetypes/" + IconName(kFolderType) + ".svg",
                  Icon(kFolderOutline, "D"), kFileMode) &&
      writer.File(data + "/applications/quorvin-qvshella.desktop", OpenerEntry(places),
                  kFileMode) &&
      writer.File(data + "/applications/quorvin-qvx-container.desktop", ContainerEntry(places),
                  kFileMode) &&
      writer.File(data + "/kio/servicemenus/quorvin-qvfolderext.desktop",
                  DolphinServiceMenu(places, items), kScriptMode);
  for (const DesktopMenuItem& item : items) {
    ok = ok &&
         writer.File(data + "/nautilus/scripts/Quorvin/" + FileNameOf(item.label),
                     NautilusScript(places, item), kScriptMode) &&
         writer.File(data + "/nemo/actions/" + kActionPrefix + item.id + ".nemo_action",
                     NemoAction(places, item), kFileMode);
  }
  ok =
      ok && writer.MergeThunar(places.configHome + "/Thunar/uca.xml", ThunarActions(places, items));

  // The manifest covers what this call wrote and what the previous one left that this call
  // did not write again, so nothing written is ever forgotten.
  Manifest record = writer.Written();
  for (const Manifest::File& file : previous->files) {
    const bool again = std::any_of(record.files.begin(), record.files.end(),
                                   [&](const Manifest::File& f) { return f.path == file.path; });
    if (!again) record.files.push_back(file);
  }
  // Folders stay parents first: the earlier ones, then those this call created.
  std::vector<std::string> folders = previous->folders;
  for (const std::string& folder : record.folders)
    if (std::find(folders.begin(), folders.end(), folder) == folders.end())
      folders.push_back(folder);
  record.folders = std::move(folders);
  for (const std::string& merged : previous->merged)
    if (std::find(record.merged.begin(), record.merged.end(), merged) == record.merged.end())
      record.merged.push_back(merged);

  if (!ok) {
    *failure = writer.Failure();
    TakeBack(writer.Written(), warnings);
    RemoveCreatedFolders(writer.Written());
    return E_FAIL;
  }
  if (!WriteReplacing(places.manifestPath, ManifestText(record), 0600)) {
    *failure = "cannot write the list of desktop files " + places.manifestPath +
               "; the desktop files were taken back";
    TakeBack(writer.Written(), warnings);
    RemoveCreatedFolders(writer.Written());
    return E_FAIL;
  }
  UpdateDatabases(places, warnings);
  return S_OK;
}

HRESULT RemoveDesktopFiles(const DesktopPlaces& places, std::string* failure,
                           std::vector<std::string>* warnings) {
  if (!PlacesUsable(places, failure)) return E_INVALIDARG;
  if (!Exists(places.manifestPath)) return S_OK;
  const auto manifest = LoadManifest(places.manifestPath, failure);
  if (!manifest) return E_FAIL;
  TakeBack(*manifest, warnings);
  if (!DeleteFileA(places.manifestPath.c_str())) {
    *failure = "cannot remove the list of desktop files " + places.manifestPath;
    return E_FAIL;
  }
  UpdateDatabases(places, warnings);
  RemoveCreatedFolders(*manifest);
  return S_OK;
}
