// The registry scripts the library registers itself with, and their parser.
//
// A script is text in the registrar syntax: a root key (HKCR, HKLM, HKCU, HKU or their long
// names) followed by a block of keys in braces. Each key is written as
//
//   [NoRemove | ForceRemove] name [= type 'data'] [{ ... }]
//
// and a named value inside a key's block as
//
//   val name = type 'data'
//
// where type is s (REG_SZ), e (REG_EXPAND_SZ) or d (REG_DWORD, decimal or 0x hex). Names are
// bare words or quoted like data; inside quotes '' stands for one quote. %NAME% is replaced
// from the caller's table (an unknown name fails the parse) and %% gives one %. Tokens are
// separated by white space; a key name never contains "\": each level is a key of its own.
//
// The parser reads text from a resource it trusts no more than any file: every length and
// depth is bounded, and any deviation fails the whole script with a message saying where.
// A "Delete" key is refused: a script may remove only what it writes.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Registry.h"
#include "platform/WinTypes.h"

// What registration does with a key that is there already. Neither flag ever deletes a key
// that holds something we did not write (see Registrar.h).
enum class RegistrarKeyFlag {
  Normal,
  NoRemove,     // shared parent: never removed by unregistration
  ForceRemove,  // ours alone: its scripted values are written over whatever is there
};

struct RegistrarValue {
  std::string name;  // "" for the key's default value
  DWORD type = REG_SZ;
  std::string data;  // the bytes stored: a string with its NUL, or 4 little-endian bytes
};

struct RegistrarKey {
  std::string name;
  RegistrarKeyFlag flag = RegistrarKeyFlag::Normal;
  std::vector<RegistrarValue> values;  // the default value (if any) first
  std::vector<RegistrarKey> subkeys;
};

struct RegistrarRoot {
  HKEY root = nullptr;
  std::string name;  // as written in the script, for messages
  std::vector<RegistrarKey> keys;
};

struct RegistrarScript {
  std::vector<RegistrarRoot> roots;
};

// Replacement of %NAME% (the name without its percent signs, compared exactly).
using RegistrarReplacements = std::vector<std::pair<std::string, std::string>>;

// Limits a script must keep.
inline constexpr std::size_t kRegistrarMaxScriptSize = 256 * 1024;
inline constexpr std::size_t kRegistrarMaxDepth = 32;

// Parses `text`. On failure returns false and `error` says what and on which line.
[[nodiscard]] bool ParseRegistrarScript(std::string_view text,
                                        const RegistrarReplacements& replacements,
                                        RegistrarScript* script, std::string* error);
