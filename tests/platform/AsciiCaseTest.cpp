// ASCII case: only the 26 letters fold, so the neighbours of the letter ranges and the bytes
// of UTF-8 sequences (which a bit trick on 0x20 would change) compare as they are.
#include <gtest/gtest.h>

#include <string>

#include "platform/AsciiCase.h"

namespace {

TEST(AsciiCaseTest, OnlyTheLettersFold) {
  // '@' and '[' border 'A'..'Z'; '`' and '{' border 'a'..'z'; then e-acute in UTF-8 and a
  // byte that differs from another only in bit 0x20.
  const std::string mixed = "@AZ[`az{\xC3\xA9\xC9";
  EXPECT_EQ(ToLowerAscii(mixed), "@az[`az{\xC3\xA9\xC9");
  EXPECT_EQ(ToUpperAscii(mixed), "@AZ[`AZ{\xC3\xA9\xC9");
}

TEST(AsciiCaseTest, EqualityIgnoresLetterCaseOnly) {
  struct Case {
    std::string a, b;
    bool equal;
  } cases[] = {
      {"QvWindowClass", "qvwINDOWclass", true},
      {"", "", true},
      {"abc", "abcd", false},
      {"a@", "A`", false},              // '@' + 32 is '`'
      {"x[", "X{", false},              // '[' + 32 is '{'
      {"\xC3\xA9", "\xC3\x89", false},  // e-acute and E-acute in UTF-8
      {std::string("a\0b", 3), std::string("A\0B", 3), true},
      {std::string("a\0b", 3), "a", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsIgnoringAsciiCase(c.a, c.b), c.equal) << '"' << c.a << "\" vs \"" << c.b << '"';
    EXPECT_EQ(EqualsIgnoringAsciiCase(c.b, c.a), c.equal) << "symmetric";
  }
}

}  // namespace
