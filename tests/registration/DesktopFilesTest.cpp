// Tests of the desktop half of registration in XDG folders of the test's own: the actions
// expanded the way each file manager expands them, the desktop entries checked by
// desktop-file-validate, the MIME database built by update-mime-database and asked through
// gio, and removal of exactly what was written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/StringTable.h"
#include "platform/Com.h"
#include "registration/DesktopFiles.h"
#include "tests/common/TestRoot.h"

namespace {

namespace fs = std::filesystem;

// Names a file manager must hand over as one argument each, untouched.
const std::vector<std::string> kAwkwardNames = {
    "-n", "a \"q\" b.txt", "line one\nline two", "x;$(touch pwned)", "it's `here`", "100% \\sure"};

class DesktopFilesTest : public RootedTest {
 protected:
  void SetUp() override {
    places_.dataHome = root_.Sub("data");
    places_.configHome = root_.Sub("config");
    places_.manifestPath = root_.Sub("desktop-files");
    // The stand-ins of qvx and Qvshella record their arguments, NUL-separated.
    fs::create_directories(root_.Sub("my tools"));
    places_.qvxProgram = root_.Sub("my tools/qvx");
    places_.shellaProgram = root_.Sub("my tools/Qvshella");
    for (const std::string* program : {&places_.qvxProgram, &places_.shellaProgram}) {
      WriteTextFile(
          *program,
          "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$QV_TEST_ARGV\"\n");
      chmod(program->c_str(), 0755);
    }
    argvLog_ = root_.Sub("argv");
    setenv("QV_TEST_ARGV", argvLog_.c_str(), 1);
    setenv("XDG_DATA_HOME", places_.dataHome.c_str(), 1);
    setenv("XDG_DATA_DIRS", "/usr/share", 1);
    files_ = root_.Sub("selection");
    fs::create_directories(files_);
  }

  HRESULT Write() {
    failure_.clear();
    warnings_.clear();
    return WriteDesktopFiles(places_, &failure_, &warnings_);
  }
  HRESULT Remove() {
    failure_.clear();
    warnings_.clear();
    return RemoveDesktopFiles(places_, &failure_, &warnings_);
  }

  // Runs argv (no shell) in the selection folder and returns what the stand-in recorded.
  std::vector<std::string> RunAndRecord(const std::vector<std::string>& argv) {
    std::remove(argvLog_.c_str());
    const int status = RunInChild([&] {
      if (chdir(files_.c_str()) != 0) return 120;
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      return 127;
    });
    EXPECT_EQ(status, 0) << argv.front();
    return Recorded();
  }
  // Runs a command line through a POSIX shell, which quotes at least as strictly as GLib's
  // g_shell_parse_argv and would also run anything a broken quoting let through.
  std::vector<std::string> RunThroughShell(const std::string& line) {
    return RunAndRecord({"/bin/sh", "-c", "exec " + line});
  }
  std::vector<std::string> Recorded() {
    std::vector<std::string> args;
    const std::string text = ReadTextFile(argvLog_);
    std::size_t pos = 0;
    while (pos < text.size()) {
      const std::size_t end = text.find('\0', pos);
      args.push_back(text.substr(pos, end - pos));
      pos = end + 1;
    }
    return args;
  }

  std::vector<std::string> Paths() {
    std::vector<std::string> paths;
    for (const std::string& name : kAwkwardNames) paths.push_back(files_ + "/" + name);
    return paths;
  }

  // Every file below the two XDG folders with its contents, except the databases the
  // desktop's update programs generate.
  std::map<std::string, std::string> Tree() {
    std::map<std::string, std::string> tree;
    for (const std::string& top : {places_.dataHome, places_.configHome}) {
      if (!fs::exists(top)) continue;
      for (const auto& entry : fs::recursive_directory_iterator(top)) {
        const std::string path = entry.path().string();
        // The mime folder holds update-mime-database's files after the first update.
        const bool generated = (path.find("/mime/") != std::string::npos &&
                                path.find("/mime/packages") == std::string::npos) ||
                               path.ends_with("/mime") || path.ends_with("mimeinfo.cache");
        if (generated) continue;
        tree[path] = entry.is_regular_file() ? ReadTextFile(path) : "<folder>";
      }
    }
    return tree;
  }

  DesktopPlaces places_;
  std::string argvLog_, files_, failure_;
  std::vector<std::string> warnings_;
};

std::string KeyOf(const std::string& text, const std::string& group, const std::string& key) {
  const std::size_t start = text.find("[" + group + "]");
  if (start == std::string::npos) return {};
  const std::size_t line = text.find("\n" + key + "=", start);
  if (line == std::string::npos) return {};
  const std::size_t from = line + key.size() + 2;
  return text.substr(from, text.find('\n', from) - from);
}

// The key-file unescaping of a desktop file's value.
std::string KeyFileUnescaped(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      const char c = value[++i];
      out.push_back(c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c);
    } else {
      out.push_back(value[i]);
    }
  }
  return out;
}

// An Exec value expanded as freedesktop desktop entries expand it: quoted arguments with
// their four escapes, %% for %, %f / %F replaced by the file(s) as arguments of their own.
std::vector<std::string> ExpandDesktopExec(const std::string& exec,
                                           const std::vector<std::string>& files) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (c == '"') {
      inWord = true;
      for (++i; i < exec.size() && exec[i] != '"'; ++i) {
        if (exec[i] == '\\' && i + 1 < exec.size()) ++i;
        word.push_back(exec[i]);
      }
    } else if (c == ' ') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word.push_back(c);
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  std::vector<std::string> argv;
  for (const std::string& w : words) {
    if (w == "%F") {
      argv.insert(argv.end(), files.begin(), files.end());
    } else if (w == "%f") {
      argv.push_back(files.front());
    } else {
      std::string literal;
      for (std::size_t i = 0; i < w.size(); ++i) {
        literal.push_back(w[i]);
        if (w[i] == '%' && i + 1 < w.size() && w[i + 1] == '%') ++i;
      }
      argv.push_back(literal);
    }
  }
  return argv;
}

// %F as Nemo and Thunar put it: each file in GLib's shell quoting, separated by spaces.
std::string WithShellQuotedFiles(const std::string& command,
                                 const std::vector<std::string>& files) {
  std::string list;
  for (const std::string& file : files) list += (list.empty() ? "" : " ") + QuoteShellWord(file);
  std::string out = command;
  const std::size_t at = out.find("%F");
  if (at != std::string::npos) out.replace(at, 2, list);
  return out;
}

std::string XmlUnescaped(std::string text) {
  for (const auto& [entity, c] : std::vector<std::pair<std::string, std::string>>{
           {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}}) {
    for (std::size_t at = text.find(entity); at != std::string::npos;
         at = text.find(entity, at + 1))
      text.replace(at, entity.size(), c);
  }
  return text;
}

TEST_F(DesktopFilesTest, EveryFileManagerActionHandsEachNameOverAsOneArgumentAndRunsNothingElse) {
  ASSERT_EQ(Write(), S_OK) << failure_;
  const std::vector<std::string> paths = Paths();
  const std::string dolphin =
      ReadTextFile(places_.dataHome + "/kio/servicemenus/quorvin-qvfolderext.desktop");
  const std::string thunar = ReadTextFile(places_.configHome + "/Thunar/uca.xml");
  for (const DesktopMenuItem& item : DesktopMenuItems()) {
    SCOPED_TRACE(item.id);
    std::vector<std::string> expected = {"menu", "--run", item.runArg, "--"};
    expected.insert(expected.end(), paths.begin(), paths.end());

    const std::string exec = KeyFileUnescaped(KeyOf(dolphin, "Desktop Action " + item.id, "Exec"));
    std::vector<std::string> argv = ExpandDesktopExec(exec, paths);
    ASSERT_FALSE(argv.empty());
    EXPECT_EQ(argv.front(), places_.qvxProgram) << exec;
    EXPECT_EQ(RunAndRecord(argv), expected) << "Dolphin: " << exec;

    const std::string nemo = ReadTextFile(places_.dataHome + "/nemo/actions/quorvin-qvfolderext-" +
                                          item.id + ".nemo_action");
    const std::string nemoExec = KeyFileUnescaped(KeyOf(nemo, "Nemo Action", "Exec"));
    EXPECT_EQ(RunThroughShell(WithShellQuotedFiles(nemoExec, paths)), expected)
        << "Nemo: " << nemoExec;

    const std::string id = "<unique-id>quorvin-qvfolderext-" + item.id + "</unique-id>";
    const std::size_t at = thunar.find(id);
    ASSERT_NE(at, std::string::npos);
    const std::size_t from = thunar.find("<command>", at) + 9;
    const std::string command =
        XmlUnescaped(thunar.substr(from, thunar.find("</command>", from) - from));
    EXPECT_EQ(RunThroughShell(WithShellQuotedFiles(command, paths)), expected)
        << "Thunar: " << command;

    // Nautilus runs the script with the selected names as its arguments, in their folder.
    std::vector<std::string> nautilus = {places_.dataHome + "/nautilus/scripts/Quorvin/" +
                                         item.label};
    nautilus.insert(nautilus.end(), kAwkwardNames.begin(), kAwkwardNames.end());
    std::vector<std::string> byName = {"menu", "--run", item.runArg, "--"};
    byName.insert(byName.end(), kAwkwardNames.begin(), kAwkwardNames.end());
    EXPECT_EQ(RunAndRecord(nautilus), byName) << "Nautilus";
  }
  EXPECT_FALSE(fs::exists(files_ + "/pwned"));
  EXPECT_FALSE(fs::exists(root_.Sub("pwned")));

  // The desktop entries: a .qvf opens with Qvshella, a container is browsed with qvx.
  const std::string opener =
      ReadTextFile(places_.dataHome + "/applications/quorvin-qvshella.desktop");
  EXPECT_EQ(RunAndRecord(ExpandDesktopExec(KeyFileUnescaped(KeyOf(opener, "Desktop Entry", "Exec")),
                                           {paths[3]})),
            std::vector<std::string>{paths[3]});
  const std::string container =
      ReadTextFile(places_.dataHome + "/applications/quorvin-qvx-container.desktop");
  EXPECT_EQ(RunAndRecord(ExpandDesktopExec(
                KeyFileUnescaped(KeyOf(container, "Desktop Entry", "Exec")), {paths[1]})),
            (std::vector<std::string>{"browse", paths[1]}));
}

std::string ContentType(const std::string& path) {
  FILE* pipe =
      popen(("gio info -a standard::content-type " + QuoteShellWord(path) + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "<gio did not run>";
  std::string out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  const std::size_t at = out.find("standard::content-type: ");
  if (at == std::string::npos) return "<no type> " + out;
  const std::size_t from = at + 24;
  return out.substr(from, out.find('\n', from) - from);
}

int Validate(const std::string& path) {
  return std::system(("desktop-file-validate " + QuoteShellWord(path) + " >&2").c_str());
}

TEST_F(DesktopFilesTest, EveryEntryAndActionIsNamedInEveryLanguageWithEnglishAsTheDefault) {
  ASSERT_EQ(Write(), S_OK) << failure_;
  const std::string opener =
      ReadTextFile(places_.dataHome + "/applications/quorvin-qvshella.desktop");
  const std::string dolphin =
      ReadTextFile(places_.dataHome + "/kio/servicemenus/quorvin-qvfolderext.desktop");
  // Two entries named from the dialog texts; their English names are the defaults.
  EXPECT_EQ(KeyOf(opener, "Desktop Entry", "Name"), "Quorvin Encrypted File");
  size_t languages = 0;
  for (const ShippedLanguage& language : ShippedLanguages()) {
    if (language.id == 1033) continue;
    ++languages;
    const std::string suffix = "[" + std::string(language.locale) + "]";
    SCOPED_TRACE(suffix);
    const std::string name = KeyFileUnescaped(KeyOf(opener, "Desktop Entry", "Name" + suffix));
    EXPECT_FALSE(name.empty());
    EXPECT_NE(name, "Quorvin Encrypted File");
    EXPECT_FALSE(KeyOf(opener, "Desktop Entry", "Comment" + suffix).empty());
    for (const DesktopMenuItem& item : DesktopMenuItems()) {
      EXPECT_EQ(KeyFileUnescaped(KeyOf(dolphin, "Desktop Action " + item.id, "Name" + suffix)),
                LoadStringText(item.labelId, language.id))
          << item.id;
      const std::string nemo = ReadTextFile(
          places_.dataHome + "/nemo/actions/quorvin-qvfolderext-" + item.id + ".nemo_action");
      EXPECT_EQ(KeyFileUnescaped(KeyOf(nemo, "Nemo Action", "Comment" + suffix)),
                LoadStringText(item.helpId, language.id))
          << item.id;
      EXPECT_EQ(KeyFileUnescaped(KeyOf(nemo, "Nemo Action", "Name")),
                LoadStringText(item.labelId, 1033))
          << item.id;
    }
  }
  EXPECT_EQ(languages, 19u);
}

TEST_F(DesktopFilesTest, TheEntriesValidateAndTheMimeDatabaseKnowsOurTypesUntilUnregistration) {
  const std::string magic("\x89QVF\r\n\x1a\n", 8);
  const std::map<std::string, std::string> samples = {
      {"a.txt.qvf", magic + "data"},
      {"A.TXT.QVF", magic + "data"},
      {"no-extension", magic + std::string(64, '\x01')},
      {"Box.qvef", "SQLite format 3" + std::string(1, '\0') + std::string(84, '\x01')},
  };
  for (const auto& [name, content] : samples) WriteTextFile(files_ + "/" + name, content);
  ASSERT_EQ(Write(), S_OK) << failure_;
  EXPECT_TRUE(warnings_.empty()) << warnings_.front();
  EXPECT_EQ(Validate(places_.dataHome + "/applications/quorvin-qvshella.desktop"), 0);
  EXPECT_EQ(Validate(places_.dataHome + "/applications/quorvin-qvx-container.desktop"), 0);

  EXPECT_EQ(ContentType(files_ + "/a.txt.qvf"), "application/x-quorvin-encrypted-file");
  EXPECT_EQ(ContentType(files_ + "/A.TXT.QVF"), "application/x-quorvin-encrypted-file");
  EXPECT_EQ(ContentType(files_ + "/no-extension"), "application/x-quorvin-encrypted-file");
  EXPECT_EQ(ContentType(files_ + "/Box.qvef"), "application/x-quorvin-encrypted-folder");

  ASSERT_EQ(Remove(), S_OK) << failure_;
  EXPECT_TRUE(warnings_.empty()) << warnings_.front();
  for (const auto& [name, content] : samples)
    EXPECT_EQ(ContentType(files_ + "/" + name).find("quorvin"), std::string::npos) << name;
  EXPECT_EQ(ContentType(files_ + "/Box.qvef"), "application/vnd.sqlite3");
}

TEST_F(DesktopFilesTest, UnregistrationTakesBackExactlyWhatWasWrittenAndKeepsTheUsersOwn) {
  const std::string uca = places_.configHome + "/Thunar/uca.xml";
  const std::string users =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n<action>\n\t<name>Mine</name>\n"
      "\t<unique-id>1234-1</unique-id>\n\t<command>echo %f</command>\n</action>\n</actions>\n";
  fs::create_directories(places_.configHome + "/Thunar");
  fs::create_directories(places_.dataHome + "/applications");
  WriteTextFile(uca, users);
  WriteTextFile(places_.dataHome + "/applications/mine.desktop", "[Desktop Entry]\nName=Mine\n");
  const auto before = Tree();

  ASSERT_EQ(Write(), S_OK) << failure_;
  const auto once = Tree();
  const std::string manifest = ReadTextFile(places_.manifestPath);
  EXPECT_NE(ReadTextFile(uca).find("<name>Mine</name>"), std::string::npos);
  ASSERT_EQ(Write(), S_OK) << failure_ << " (registering again)";
  EXPECT_EQ(Tree(), once);
  EXPECT_EQ(ReadTextFile(places_.manifestPath), manifest);

  ASSERT_EQ(Remove(), S_OK) << failure_;
  EXPECT_EQ(Tree(), before);
  EXPECT_EQ(ReadTextFile(uca), users);
  EXPECT_FALSE(fs::exists(places_.manifestPath));
  ASSERT_EQ(Remove(), S_OK) << "removing again finds nothing to do";

  // A Thunar file we created ourselves goes again with our actions.
  fs::remove(uca);
  ASSERT_EQ(Write(), S_OK) << failure_;
  ASSERT_EQ(Remove(), S_OK) << failure_;
  EXPECT_FALSE(fs::exists(uca));
  EXPECT_EQ(Tree().count(uca), 0u);
}

TEST_F(DesktopFilesTest, AFileInTheWayOrChangedSinceIsNeitherOverwrittenNorRemoved) {
  const std::string entry = places_.dataHome + "/applications/quorvin-qvshella.desktop";
  fs::create_directories(places_.dataHome + "/applications");
  WriteTextFile(entry, "someone else's\n");
  const auto before = Tree();
  EXPECT_TRUE(FAILED(Write()));
  EXPECT_NE(failure_.find(entry + " is in the way"), std::string::npos) << failure_;
  EXPECT_EQ(Tree(), before) << "a failed registration leaves nothing behind";
  EXPECT_FALSE(fs::exists(places_.manifestPath));

  fs::remove(entry);
  ASSERT_EQ(Write(), S_OK) << failure_;
  const std::string nemo =
      places_.dataHome + "/nemo/actions/quorvin-qvfolderext-encrypt.nemo_action";
  WriteTextFile(nemo, ReadTextFile(nemo) + "Icon-Name=changed-by-the-user\n");
  EXPECT_TRUE(FAILED(Write())) << "a changed file is not written over";
  EXPECT_NE(failure_.find(nemo), std::string::npos) << failure_;
  ASSERT_EQ(Remove(), S_OK) << failure_;
  EXPECT_TRUE(fs::exists(nemo));
  ASSERT_EQ(warnings_.size(), 1u);
  EXPECT_NE(warnings_.front().find("left " + nemo), std::string::npos) << warnings_.front();
  EXPECT_FALSE(fs::exists(entry));
}

TEST_F(DesktopFilesTest, ADamagedManifestStopsBothDirectionsBeforeAnyChange) {
  WriteTextFile(places_.manifestPath, "QVDESKTOP 1\nfile 0123 /etc/passwd\n");
  EXPECT_TRUE(FAILED(Write()));
  EXPECT_NE(failure_.find("cannot be read"), std::string::npos) << failure_;
  EXPECT_TRUE(FAILED(Remove()));
  EXPECT_FALSE(fs::exists(places_.dataHome));
  for (const char* text :
       {"QVDESKTOP 2\n", "QVDESKTOP 1\nfolder relative/path\n",
        "QVDESKTOP 1\nfile 0123456789abcdef /a%zz\n", "QVDESKTOP 1\nfile 0123456789abcdef /a"}) {
    WriteTextFile(places_.manifestPath, text);
    EXPECT_TRUE(FAILED(Remove())) << text;
  }
}

}  // namespace
