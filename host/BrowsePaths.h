// What qvx's browsing reads as text: paths that run through a container, the lines of a
// session script and the names of keys.
#pragma once

#include <functional>
#include <string>

// A place inside a container: the container file and the folder inside it, written with the
// container's separator ("\Docs\Sub"; empty for the root).
struct ContainerPlace {
  std::string container;
  std::string inner;
};

// Splits `path` at its first component for which `isContainer(prefix)` holds (the prefix is
// the path up to and including that component): "/home/u/Box.qvef/Docs/Sub" is "\Docs\Sub" of
// "/home/u/Box.qvef". Empty components and "." are dropped; ".." after the container, or a
// component holding a backslash, is refused (it cannot name a folder inside it). False when
// no component is a container or the rest is refused.
[[nodiscard]] bool SplitContainerPath(const std::string& path,
                                      const std::function<bool(const std::string&)>& isContainer,
                                      ContainerPlace* place);

// One line of a session script.
struct SessionCommand {
  enum class Kind { Cd, Ls, Select, Key, Menu, Refresh, Quit };
  Kind kind = Kind::Ls;
  std::string argument;  // cd: a path or ".."; select: a row number or a name; key: a key name
  unsigned number = 0;   // menu: the command id
};

// Parses one line. False with `error` set for a mistake; false with `error` empty for a line
// that holds nothing to do (empty, or a comment starting with '#').
[[nodiscard]] bool ParseSessionCommand(const std::string& line, SessionCommand* command,
                                       std::string* error);

// A key as a script names it ("Enter", "Shift+Delete", "Ctrl+A", "Esc", "Backspace", "F5"):
// the virtual key and the modifiers held (FSHIFT, FCONTROL, FALT). False for an unknown name.
[[nodiscard]] bool ParseKeyName(const std::string& name, unsigned short* key,
                                unsigned char* modifiers);
