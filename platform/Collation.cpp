// lstrcmpiA and sort keys over the C library's LC_COLLATE and LC_CTYPE (see Collation.h).
#include "platform/Collation.h"

#include <locale.h>
#include <wchar.h>
#include <wctype.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/UserLocale.h"

namespace {

// The user's collation, made once per thread and made again when the environment names
// another one. Without a collation of its own ("C", "POSIX", C.UTF-8 or a locale that is not
// installed) names order by their folded code points, which needs no C library call per name.
class CollationLocale {
 public:
  CollationLocale() {
    const char* name = UserLocaleName("LC_COLLATE");
    if (held_.ready && held_.name == name) return;
    if (held_.handle != static_cast<locale_t>(0)) freelocale(held_.handle);
    held_.name = name;
    held_.ready = true;
    const std::string_view view(name);
    const bool plain = view == "C" || view == "POSIX" || view.starts_with("C.");
    held_.handle = plain
                       ? static_cast<locale_t>(0)
                       : newlocale(LC_COLLATE_MASK | LC_CTYPE_MASK, name, static_cast<locale_t>(0));
    held_.codePointOrder = held_.handle == static_cast<locale_t>(0);
    // Case still folds in every script when the user's locale is missing.
    if (held_.handle == static_cast<locale_t>(0))
      held_.handle = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  }
  locale_t Get() const { return held_.handle; }
  bool CodePointOrder() const { return held_.codePointOrder; }

 private:
  struct Held {
    ~Held() {
      if (handle != static_cast<locale_t>(0)) freelocale(handle);
    }
    locale_t handle = static_cast<locale_t>(0);
    std::string name;
    bool ready = false;
    bool codePointOrder = true;
  };
  static thread_local Held held_;
};

thread_local CollationLocale::Held CollationLocale::held_;

// Decodes UTF-8; a byte that starts no well-formed sequence becomes U+DC80 + byte (never a
// character of well-formed text), so ill-formed names still order and never equal others.
template <class Each>
void ForEachCodePoint(std::string_view text, Each&& each) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80                   ? 1
                         : lead >= 0xC2 && lead < 0xE0 ? 2
                         : lead >= 0xE0 && lead < 0xF0 ? 3
                         : lead >= 0xF0 && lead < 0xF5 ? 4
                                                       : 0;
    char32_t value = length == 1   ? lead
                     : length == 2 ? lead & 0x1F
                     : length == 3 ? lead & 0x0F
                                   : lead & 0x07;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
      if ((next & 0xC0) != 0x80) {
        length = 0;
        break;
      }
      value = (value << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    if ((length == 3 && (value < 0x800 || (value >= 0xD800 && value < 0xE000))) ||
        (length == 4 && (value < 0x10000 || value > 0x10FFFF)))
      length = 0;
    if (length == 0) {
      each(static_cast<char32_t>(0xDC00 + lead));
      ++i;
      continue;
    }
    each(value);
    i += length;
  }
}

// The folded text as wide characters (glibc's wchar_t holds any code point), NUL-terminated.
std::wstring Folded(std::string_view text, locale_t locale) {
  std::wstring out;
  out.reserve(text.size());
  ForEachCodePoint(text, [&](char32_t c) {
    const auto wide = static_cast<wint_t>(c);
    out.push_back(static_cast<wchar_t>(locale != static_cast<locale_t>(0) ? towlower_l(wide, locale)
                                                                          : towlower(wide)));
  });
  return out;
}

int Sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

void AppendBigEndian(std::string* out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out->push_back(static_cast<char>((value >> shift) & 0xFF));
}

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

int QvCompareNames(std::string_view a, std::string_view b) noexcept {
  try {
    const CollationLocale locale;
    if (locale.CodePointOrder() && IsAscii(a) && IsAscii(b)) {
      const std::size_t common = std::min(a.size(), b.size());
      for (std::size_t i = 0; i < common; ++i) {
        const char x = LowerAscii(a[i]);
        const char y = LowerAscii(b[i]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
      }
      return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
    }
    const std::wstring x = Folded(a, locale.Get());
    const std::wstring y = Folded(b, locale.Get());
    if (locale.CodePointOrder()) return Sign(x.compare(y));
    return Sign(wcscoll_l(x.c_str(), y.c_str(), locale.Get()));
  } catch (...) {
    // Out of memory: the raw bytes still give an order.
    return Sign(a.compare(b));
  }
}

int lstrcmpiA(LPCSTR a, LPCSTR b) noexcept {
  if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
  return QvCompareNames(a, b);
}

std::string QvCollationKey(std::string_view text) {
  const CollationLocale locale;
  std::string key;
  if (locale.CodePointOrder() && IsAscii(text)) {
    key.reserve(text.size() * 4);
    for (char c : text) AppendBigEndian(&key, static_cast<unsigned char>(LowerAscii(c)));
    return key;
  }
  const std::wstring folded = Folded(text, locale.Get());
  if (locale.CodePointOrder()) {
    key.reserve(folded.size() * 4);
    for (wchar_t c : folded) AppendBigEndian(&key, static_cast<std::uint32_t>(c));
    return key;
  }
  std::vector<wchar_t> transformed(folded.size() * 4 + 16);
  std::size_t length =
      wcsxfrm_l(transformed.data(), folded.c_str(), transformed.size(), locale.Get());
  if (length >= transformed.size()) {
    transformed.resize(length + 1);
    length = wcsxfrm_l(transformed.data(), folded.c_str(), transformed.size(), locale.Get());
  }
  key.reserve(length * 4);
  // The transformed values are compared as wchar_t (signed); none is negative.
  for (std::size_t i = 0; i < length; ++i)
    AppendBigEndian(&key, static_cast<std::uint32_t>(transformed[i]));
  return key;
}
