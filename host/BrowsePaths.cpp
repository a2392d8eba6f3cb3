// The parts of qvx's browsing that read text: container paths, session lines and key names.
#include "host/BrowsePaths.h"

#include <cctype>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/ui/Accelerators.h"

bool SplitContainerPath(const std::string& path,
                        const std::function<bool(const std::string&)>& isContainer,
                        ContainerPlace* place) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(path);
  while (std::getline(in, part, '/'))
    if (!part.empty() && part != ".") parts.push_back(part);
  std::string prefix = !path.empty() && path.front() == '/' ? "" : ".";
  for (size_t i = 0; i < parts.size(); ++i) {
    prefix += (prefix.empty() || prefix.back() != '/' ? "/" : "") + parts[i];
    if (!isContainer(prefix)) continue;
    std::string inner;
    for (size_t j = i + 1; j < parts.size(); ++j) {
      if (parts[j] == ".." || parts[j].find('\\') != std::string::npos) return false;
      inner += "\\" + parts[j];
    }
    if (prefix.rfind("./", 0) == 0) prefix.erase(0, 2);
    place->container = prefix;
    place->inner = inner;
    return true;
  }
  return false;
}

namespace {

std::string Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

bool ParseSessionCommand(const std::string& line, SessionCommand* command, std::string* error) {
  error->clear();
  const std::string text = Trim(line);
  if (text.empty() || text.front() == '#') return false;
  const size_t space = text.find_first_of(" \t");
  const std::string verb = text.substr(0, space);
  const std::string argument = space == std::string::npos ? "" : Trim(text.substr(space));
  struct Verb {
    const char* name;
    SessionCommand::Kind kind;
    bool needsArgument;
  };
  static constexpr Verb kVerbs[] = {
      {"cd", SessionCommand::Kind::Cd, true},
      {"ls", SessionCommand::Kind::Ls, false},
      {"select", SessionCommand::Kind::Select, true},
      {"key", SessionCommand::Kind::Key, true},
      {"menu", SessionCommand::Kind::Menu, true},
      {"refresh", SessionCommand::Kind::Refresh, false},
      {"quit", SessionCommand::Kind::Quit, false},
  };
  for (const Verb& known : kVerbs) {
    if (verb != known.name) continue;
    if (known.needsArgument == argument.empty()) {
      *error = known.needsArgument ? verb + " needs an argument" : verb + " takes no argument";
      return false;
    }
    command->kind = known.kind;
    command->argument = argument;
    command->number = 0;
    if (known.kind == SessionCommand::Kind::Menu) {
      unsigned long id = 0;
      size_t used = 0;
      try {
        id = std::stoul(argument, &used);
      } catch (...) {
        used = 0;
      }
      if (used != argument.size() || id == 0 || id > 0xFFFF) {
        *error = "menu needs a command id from 1 to 65535, not \"" + argument + "\"";
        return false;
      }
      command->number = static_cast<unsigned>(id);
    }
    if (known.kind == SessionCommand::Kind::Key) {
      unsigned short key = 0;
      unsigned char modifiers = 0;
      if (!ParseKeyName(argument, &key, &modifiers)) {
        *error = "unknown key \"" + argument +
                 "\" (keys: Enter, Delete, Esc, Backspace, F5, Up, Down, a letter; with Shift+, "
                 "Ctrl+, Alt+)";
        return false;
      }
    }
    return true;
  }
  *error = "unknown command \"" + verb + "\" (commands: cd, ls, select, key, menu, refresh, quit)";
  return false;
}

bool ParseKeyName(const std::string& name, unsigned short* key, unsigned char* modifiers) {
  std::string_view rest = name;
  unsigned char held = 0;
  for (;;) {
    const size_t plus = rest.find('+');
    if (plus == std::string_view::npos || plus + 1 == rest.size()) break;
    const std::string_view modifier = rest.substr(0, plus);
    if (EqualsIgnoringAsciiCase(modifier, "Shift"))
      held |= FSHIFT;
    else if (EqualsIgnoringAsciiCase(modifier, "Ctrl"))
      held |= FCONTROL;
    else if (EqualsIgnoringAsciiCase(modifier, "Alt"))
      held |= FALT;
    else
      return false;
    rest.remove_prefix(plus + 1);
  }
  struct Named {
    const char* name;
    unsigned short key;
  };
  static constexpr Named kKeys[] = {
      {"Enter", VK_RETURN}, {"Delete", VK_DELETE}, {"Esc", VK_ESCAPE}, {"Backspace", VK_BACK},
      {"F5", VK_F5},        {"Up", VK_UP},         {"Down", VK_DOWN}};
  for (const Named& known : kKeys) {
    if (EqualsIgnoringAsciiCase(rest, known.name)) {
      *key = known.key;
      *modifiers = held;
      return true;
    }
  }
  if (rest.size() == 1 && std::isalnum(static_cast<unsigned char>(rest.front()))) {
    *key = static_cast<unsigned short>(std::toupper(static_cast<unsigned char>(rest.front())));
    *modifiers = held;
    return true;
  }
  return false;
}
