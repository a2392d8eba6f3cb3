// Parser of the registry scripts: a tokenizer over white-space separated words and quoted
// strings, and a recursive reader of key blocks whose depth is bounded.
#include "registration/RegistrarScript.h"

#include <cstdint>
#include <cstring>

#include "platform/AsciiCase.h"

namespace {

struct Token {
  std::string text;
  bool quoted = false;
  std::size_t line = 0;
};

struct RootName {
  const char* shortName;
  const char* longName;
  HKEY key;
};

const RootName kRoots[] = {
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKU", "HKEY_USERS", HKEY_USERS},
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

class Parser {
 public:
  Parser(std::string_view text, const RegistrarReplacements& replacements, std::string* error)
      : text_(text), replacements_(replacements), error_(error) {}

  bool Parse(RegistrarScript* script) {
    if (text_.size() > kRegistrarMaxScriptSize) return Fail("the script is too large");
    if (std::memchr(text_.data(), '\0', text_.size()) != nullptr)
      return Fail("the script holds a NUL byte");
    Token token;
    while (Next(&token)) {
      RegistrarRoot root;
      if (token.quoted || !RootOf(token.text, &root)) return Fail("expected a root key", token);
      if (!ExpectOpen()) return false;
      if (!ReadBlock(&root.keys, 1)) return false;
      script->roots.push_back(std::move(root));
    }
    return failed_ ? false : true;
  }

 private:
  bool Fail(const std::string& what) {
    if (!failed_ && error_ != nullptr) *error_ = what;
    failed_ = true;
    return false;
  }
  bool Fail(const std::string& what, const Token& at) {
    return Fail("line " + std::to_string(at.line) + ": " + what +
                (at.text.empty() && !at.quoted ? "" : " (at \"" + at.text.substr(0, 64) + "\")"));
  }

  static bool RootOf(const std::string& word, RegistrarRoot* root) {
    for (const RootName& r : kRoots) {
      if (EqualsIgnoringAsciiCase(word, r.shortName) || EqualsIgnoringAsciiCase(word, r.longName)) {
        root->root = r.key;
        root->name = r.shortName;
        return true;
      }
    }
    return false;
  }

  // The next token, or false at the end of the text (or after a failure).
  bool Next(Token* token) {
    if (failed_) return false;
    if (pushedBack_) {
      *token = std::move(pending_);
      pushedBack_ = false;
      return true;
    }
    while (pos_ < text_.size() && IsSpace(text_[pos_])) {
      if (text_[pos_] == '\n') ++line_;
      ++pos_;
    }
    if (pos_ >= text_.size()) return false;
    token->line = line_;
    token->text.clear();
    std::string raw;
    if (text_[pos_] == '\'') {
      token->quoted = true;
      ++pos_;
      for (;;) {
        if (pos_ >= text_.size()) return Fail("a quoted text does not end", *token);
        const char c = text_[pos_++];
        if (c == '\'') {
          if (pos_ < text_.size() && text_[pos_] == '\'') {
            raw.push_back('\'');
            ++pos_;
            continue;
          }
          break;
        }
        if (c == '\n') ++line_;
        raw.push_back(c);
      }
    } else {
      token->quoted = false;
      while (pos_ < text_.size() && !IsSpace(text_[pos_])) raw.push_back(text_[pos_++]);
    }
    return Replace(raw, token);
  }

  void PushBack(Token token) {
    pending_ = std::move(token);
    pushedBack_ = true;
  }

  bool Replace(const std::string& raw, Token* token) {
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '%') {
        token->text.push_back(raw[i]);
        continue;
      }
      const std::size_t end = raw.find('%', i + 1);
      if (end == std::string::npos) return Fail("a % without its closing %", *token);
      const std::string name = raw.substr(i + 1, end - i - 1);
      i = end;
      if (name.empty()) {
        token->text.push_back('%');
        continue;
      }
      bool found = false;
      for (const auto& [key, value] : replacements_) {
        if (key == name) {
          token->text += value;
          found = true;
          break;
        }
      }
      if (!found) return Fail("unknown replacement %" + name.substr(0, 64) + "%", *token);
    }
    if (token->text.size() > kRegMaxValueDataSize) return Fail("a text is too long", *token);
    return true;
  }

  bool ExpectOpen() {
    Token token;
    if (!Next(&token)) return Fail("a block ends early: expected {");
    if (token.quoted || token.text != "{") return Fail("expected {", token);
    return true;
  }

  static bool ValidKeyName(const std::string& name) {
    return !name.empty() && name.size() <= kRegMaxKeyNameLength &&
           name.find('\\') == std::string::npos;
  }

  // type 'data' after an "=".
  bool ReadData(RegistrarValue* value) {
    Token equals, type, data;
    if (!Next(&equals) || equals.quoted || equals.text != "=")
      return failed_ ? false : Fail("expected = before the data", equals);
    if (!Next(&type) || type.quoted) return failed_ ? false : Fail("expected a type", type);
    if (!Next(&data) || !data.quoted)
      return failed_ ? false : Fail("expected quoted data after the type", data);
    if (type.text == "s" || type.text == "e") {
      value->type = type.text == "s" ? REG_SZ : REG_EXPAND_SZ;
      if (data.text.find('\0') != std::string::npos) return Fail("NUL inside a text", data);
      value->data = data.text;
      value->data.push_back('\0');
      return true;
    }
    if (type.text == "d") {
      std::uint64_t number = 0;
      const std::string& digits = data.text;
      const bool hex =
          digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
      const std::size_t start = hex ? 2 : 0;
      if (digits.size() == start || digits.size() - start > 10) return Fail("not a number", data);
      for (std::size_t i = start; i < digits.size(); ++i) {
        const char c = digits[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
          digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
          digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
          digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
          return Fail("not a number", data);
        }
        number = number * (hex ? 16 : 10) + digit;
      }
      if (number > 0xFFFFFFFFull) return Fail("the number does not fit 32 bits", data);
      value->type = REG_DWORD;
      value->data.clear();
      for (int shift = 0; shift < 32; shift += 8)
        value->data.push_back(static_cast<char>((number >> shift) & 0xFF));
      return true;
    }
    return Fail("unknown type (s, e or d)", type);
  }

  static bool HasValue(const std::vector<RegistrarValue>& values, const std::string& name) {
    for (const RegistrarValue& v : values)
      if (EqualsIgnoringAsciiCase(v.name, name)) return true;
    return false;
  }

  // The entries of a block up to its "}".
  bool ReadBlock(std::vector<RegistrarKey>* keys, std::size_t depth,
                 RegistrarKey* owner = nullptr) {
    if (depth > kRegistrarMaxDepth) return Fail("keys are nested too deeply");
    Token token;
    for (;;) {
      if (!Next(&token)) return failed_ ? false : Fail("a block is not closed: expected }");
      if (!token.quoted && token.text == "}") return true;
      if (!token.quoted && token.text == "{") return Fail("a block without a key", token);
      if (!token.quoted && EqualsIgnoringAsciiCase(token.text, "val")) {
        if (owner == nullptr) return Fail("a value outside a key", token);
        RegistrarValue value;
        Token name;
        if (!Next(&name)) return failed_ ? false : Fail("a value without a name", token);
        if (name.text.empty() || name.text.size() > kRegMaxValueNameLength)
          return Fail("a value name must have 1 to 16383 bytes", name);
        value.name = name.text;
        if (!ReadData(&value)) return false;
        if (HasValue(owner->values, value.name)) return Fail("a value given twice", name);
        owner->values.push_back(std::move(value));
        continue;
      }
      RegistrarKey key;
      if (!token.quoted && EqualsIgnoringAsciiCase(token.text, "Delete"))
        return Fail("Delete is not supported: a script removes only what it writes", token);
      if (!token.quoted && EqualsIgnoringAsciiCase(token.text, "NoRemove")) {
        key.flag = RegistrarKeyFlag::NoRemove;
      } else if (!token.quoted && EqualsIgnoringAsciiCase(token.text, "ForceRemove")) {
        key.flag = RegistrarKeyFlag::ForceRemove;
      }
      if (key.flag != RegistrarKeyFlag::Normal && !Next(&token))
        return failed_ ? false : Fail("a key flag without a key");
      if (!token.quoted && (token.text == "{" || token.text == "}" || token.text == "="))
        return Fail("expected a key name", token);
      if (!ValidKeyName(token.text))
        return Fail("a key name must have 1 to 255 bytes and no backslash", token);
      key.name = token.text;
      for (const RegistrarKey& sibling : *keys)
        if (EqualsIgnoringAsciiCase(sibling.name, key.name))
          return Fail("a key given twice in one block", token);
      Token after;
      if (Next(&after)) {
        if (!after.quoted && after.text == "=") {
          PushBack(std::move(after));
          RegistrarValue value;
          if (!ReadData(&value)) return false;
          key.values.push_back(std::move(value));
          if (!Next(&after)) return failed_ ? false : Fail("a block is not closed: expected }");
        }
        if (!after.quoted && after.text == "{") {
          if (!ReadBlock(&key.subkeys, depth + 1, &key)) return false;
        } else {
          PushBack(std::move(after));
        }
      }
      if (failed_) return false;
      keys->push_back(std::move(key));
    }
  }

  std::string_view text_;
  const RegistrarReplacements& replacements_;
  std::string* error_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
  bool failed_ = false;
  bool pushedBack_ = false;
  Token pending_;
};

}  // namespace

bool ParseRegistrarScript(std::string_view text, const RegistrarReplacements& replacements,
                          RegistrarScript* script, std::string* error) {
  if (script == nullptr) return false;
  *script = RegistrarScript{};
  Parser parser(text, replacements, error);
  if (parser.Parse(script)) return true;
  *script = RegistrarScript{};
  return false;
}
