// Fuzzes the registry-script parser. Each input is a script; it is parsed with the
// replacements registration uses. A parsed script must keep every promise of the parser's
// contract: key names of 1 to 255 bytes without a backslash, no two keys of a block or values
// of a key under one name, nesting within the limit, strings ending in their NUL and numbers of
// 4 bytes; and parsing the same text again gives the same tree.
//
// The seeds in corpus/RegistrarScript are the library's own scripts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/AsciiCase.h"
#include "registration/RegistrarScript.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

using fuzz::Check;

const RegistrarReplacements kReplacements = {
    {"MODULE", "/opt/quorvin/libQvFolderExt.so"}, {"MODULEDIR", "/opt/quorvin/"}, {"APPID", "{A}"}};

void CheckKeys(const std::vector<RegistrarKey>& keys, std::size_t depth) {
  Check(depth <= kRegistrarMaxDepth, "keys nested beyond the limit");
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const RegistrarKey& key = keys[i];
    Check(!key.name.empty() && key.name.size() <= kRegMaxKeyNameLength, "key name length");
    Check(key.name.find('\\') == std::string::npos, "backslash in a key name");
    for (std::size_t j = i + 1; j < keys.size(); ++j)
      Check(!EqualsIgnoringAsciiCase(key.name, keys[j].name), "two keys of one name");
    for (std::size_t v = 0; v < key.values.size(); ++v) {
      const RegistrarValue& value = key.values[v];
      if (value.type == REG_DWORD) {
        Check(value.data.size() == 4, "a number is not 4 bytes");
      } else {
        Check(value.type == REG_SZ || value.type == REG_EXPAND_SZ, "unknown value type");
        Check(!value.data.empty() && value.data.back() == '\0', "a string without its NUL");
        Check(value.data.find('\0') == value.data.size() - 1, "a NUL inside a string");
      }
      for (std::size_t w = v + 1; w < key.values.size(); ++w)
        Check(!EqualsIgnoringAsciiCase(value.name, key.values[w].name), "two values of one name");
    }
    CheckKeys(key.subkeys, depth + 1);
  }
}

bool SameKeys(const std::vector<RegistrarKey>& a, const std::vector<RegistrarKey>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].flag != b[i].flag ||
        a[i].values.size() != b[i].values.size())
      return false;
    for (std::size_t v = 0; v < a[i].values.size(); ++v)
      if (a[i].values[v].name != b[i].values[v].name || a[i].values[v].data != b[i].values[v].data)
        return false;
    if (!SameKeys(a[i].subkeys, b[i].subkeys)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  RegistrarScript script;
  std::string error;
  if (!ParseRegistrarScript(text, kReplacements, &script, &error)) {
    Check(!error.empty() && script.roots.empty(),
          "a failed parse without a message, or a half tree");
    return 0;
  }
  for (const RegistrarRoot& root : script.roots) CheckKeys(root.keys, 1);
  RegistrarScript again;
  Check(ParseRegistrarScript(text, kReplacements, &again, &error),
        "the same text fails the second time");
  Check(again.roots.size() == script.roots.size(), "a second parse differs");
  for (std::size_t i = 0; i < script.roots.size(); ++i)
    Check(SameKeys(script.roots[i].keys, again.roots[i].keys), "a second parse differs");
  return 0;
}
