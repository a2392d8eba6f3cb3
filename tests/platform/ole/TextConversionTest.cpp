// UTF-8 / UTF-16 conversion: round trips, size queries, short buffers, bad arguments and
// ill-formed input.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "tests/platform/ole/OleTestSupport.h"

namespace {

TEST(TextConversionTest, RoundTripsIncludingSupplementaryPlanes) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x98\x80z\xF4\x8F\xBF\xBF",
       u"caf\u00E9 \u65E5\U0001F600z\U0010FFFF"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& [utf8, utf16] : cases) {
    EXPECT_EQ(Utf8ToUtf16(utf8), utf16) << utf8;
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
    BSTR b = SysAllocStringFromUtf8(utf8);
    EXPECT_EQ(BstrText(b), utf16) << utf8;
    SysFreeString(b);
  }
}

TEST(TextConversionTest, SizeQueriesShortBuffersAndBadArguments) {
  const char* text = "h\xC3\xA9llo";  // 6 bytes, 5 characters; with -1 the NUL counts too
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), 6);
  std::u16string wideBuffer(8, u'#');
  char16_t* wide = wideBuffer.data();
  EXPECT_REFUSED(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 5), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(wide[5], u'#') << "nothing written past the buffer";
  // A surrogate pair needs two units; a buffer that holds only one is too small.
  EXPECT_REFUSED(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, wide, 1),
                 ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(wide[1], u'#');

  const char16_t* utf16 = u"h\u00E9\U0001F600";
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, utf16, -1, nullptr, 0, nullptr, nullptr), 8);
  std::string narrowBuffer(10, '#');
  char* narrow = narrowBuffer.data();
  EXPECT_REFUSED(WideCharToMultiByte(CP_ACP, 0, utf16, -1, narrow, 7, nullptr, nullptr),
                 ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(narrow[7], '#');
  EXPECT_REFUSED(MultiByteToWideChar(CP_ACP, 0, "a", 0, wide, 4), ERROR_INVALID_PARAMETER);
  EXPECT_REFUSED(MultiByteToWideChar(CP_ACP, 0, nullptr, 1, wide, 4), ERROR_INVALID_PARAMETER);
  EXPECT_REFUSED(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, wide, 4),
                 ERROR_INVALID_FLAGS);
  EXPECT_REFUSED(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 4, "?", nullptr),
                 ERROR_INVALID_PARAMETER);
}

// Inputs are copied to the heap at their exact size: the sanitizer catches a read past them.
TEST(TextConversionTest, IllFormedInputBecomesReplacementCharacters) {
  using namespace std::string_literals;
  const std::pair<std::string, std::u16string> utf8Cases[] = {
      {"\x80"s, u"\uFFFD"},                                // stray continuation
      {"\xE2\x82"s, u"\uFFFD"},                            // truncated at the end, one U+FFFD
      {"\xE0\x80\xAF"s, u"\uFFFD\uFFFD\uFFFD"},            // overlong
      {"\xED\xA0\x80"s, u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80"s, u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xF5\x80"s, u"\uFFFD\uFFFD"},                      // invalid lead
  };
  for (const auto& [input, expected] : utf8Cases) {
    auto exact = std::make_unique<char[]>(input.size());
    std::memcpy(exact.get(), input.data(), input.size());
    const int n = static_cast<int>(input.size());
    EXPECT_EQ(Utf8ToUtf16({exact.get(), input.size()}), expected) << input.size() << " bytes";
    EXPECT_REFUSED(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, exact.get(), n, nullptr, 0),
                   ERROR_NO_UNICODE_TRANSLATION);
  }

  const char16_t high = 0xD83D, low = 0xDE00;
  const std::pair<std::u16string, std::string> utf16Cases[] = {
      {{high}, "\xEF\xBF\xBD"},                          // high at the end
      {{high, u'x', low}, "\xEF\xBF\xBDx\xEF\xBF\xBD"},  // interrupted
  };
  char out[16];
  for (const auto& [input, expected] : utf16Cases) {
    auto exact = std::make_unique<char16_t[]>(input.size());
    std::memcpy(exact.get(), input.data(), input.size() * sizeof(char16_t));
    const int n = static_cast<int>(input.size());
    BOOL usedDefault = FALSE;
    const int written =
        WideCharToMultiByte(CP_ACP, 0, exact.get(), n, out, sizeof out, nullptr, &usedDefault);
    EXPECT_EQ(std::string(out, static_cast<size_t>(std::max(written, 0))), expected);
    EXPECT_TRUE(usedDefault);
    EXPECT_REFUSED(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, exact.get(), n, out,
                                       sizeof out, nullptr, nullptr),
                   ERROR_NO_UNICODE_TRANSLATION);
  }
}

}  // namespace
