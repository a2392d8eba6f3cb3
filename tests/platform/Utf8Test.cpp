// UTF-8 text by whole characters: counting, finding where one starts, and cutting to fixed
// buffers without splitting one.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>

#include "platform/Utf8.h"

namespace {

TEST(Utf8CutTest, CutsBeforeAPartialCharacter) {
  // "a" + e-acute (2 bytes) + euro sign (3 bytes) + G clef (4 bytes)
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E";
  struct Case {
    size_t limit;
    size_t expected;
  } cases[] = {{0, 0}, {1, 1}, {2, 1}, {3, 3}, {4, 3},   {5, 3},
               {6, 6}, {7, 6}, {8, 6}, {9, 6}, {10, 10}, {11, 10}};
  for (const Case& c : cases)
    EXPECT_EQ(Utf8PrefixLength(text, c.limit), c.expected) << "limit " << c.limit;
}

TEST(Utf8CutTest, CopyTerminatesAndNeverWritesPastTheBuffer) {
  const std::string text = "ab\xE2\x82\xAC";
  char buffer[8];
  std::memset(buffer, 'X', sizeof buffer);
  EXPECT_EQ(CopyUtf8Cut(buffer, 4, text), 2u);  // the euro sign does not fit in 3 bytes
  EXPECT_STREQ(buffer, "ab");
  EXPECT_EQ(buffer[4], 'X') << "byte after the buffer was written";

  EXPECT_EQ(CopyUtf8Cut(buffer, 6, text), 5u);
  EXPECT_EQ(std::string(buffer), text);

  buffer[0] = 'X';
  EXPECT_EQ(CopyUtf8Cut(buffer, 0, text), 0u);
  EXPECT_EQ(buffer[0], 'X') << "a zero-size buffer is left alone";
  EXPECT_EQ(CopyUtf8Cut(nullptr, 4, text), 0u);
}

TEST(Utf8CountTest, CountsAndLocatesCharactersEvenInIllFormedText) {
  // "a", e-acute, euro sign, G clef, then a stray continuation byte and a lone lead byte.
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E";
  EXPECT_EQ(CountUtf8Characters(text), 4u);
  EXPECT_EQ(CountUtf8Characters(""), 0u);
  const size_t starts[] = {0, 1, 3, 6, 10, 10};
  for (size_t i = 0; i < std::size(starts); ++i)
    EXPECT_EQ(Utf8CharacterOffset(text, i), starts[i]) << "character " << i;

  // A continuation byte without a lead belongs to the character before it; a lead byte
  // without its continuation is a character of its own.
  const std::string broken = "\x80x\xC3";
  EXPECT_EQ(CountUtf8Characters(broken), 2u);
  EXPECT_EQ(Utf8CharacterOffset(broken, 0), 1u);
  EXPECT_EQ(Utf8CharacterOffset(broken, 1), 2u);
}

}  // namespace
