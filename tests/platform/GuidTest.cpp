// GUID text form: the braced registry form must round-trip exactly and anything else must be
// refused, since class ids read back from the registry decide which code gets loaded.
#include <gtest/gtest.h>

#include <string>

#include "platform/Com.h"
#include "platform/Guid.h"

namespace {

constexpr GUID kSample =
    MakeGuid(0x7E21B94D, 0x5A0C, 0x4D3B, 0x9F, 0x68, 0x2C, 0x1E, 0x8A, 0x47, 0xB0, 0x5D);
constexpr const char* kSampleText = "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D}";

TEST(GuidTest, FormatsUpperCaseBracedAndParsesBack) {
  EXPECT_EQ(FormatGuid(kSample), kSampleText);
  EXPECT_EQ(FormatGuid(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(FormatGuid(GUID_NULL), "{00000000-0000-0000-0000-000000000000}");

  const auto parsed = ParseGuid(kSampleText);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->Data1, 0x7E21B94Du);
  EXPECT_EQ(parsed->Data2, 0x5A0C);
  EXPECT_EQ(parsed->Data3, 0x4D3B);
  const BYTE tail[8] = {0x9F, 0x68, 0x2C, 0x1E, 0x8A, 0x47, 0xB0, 0x5D};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(parsed->Data4[i], tail[i]) << "byte " << i;
  EXPECT_TRUE(*parsed == kSample);
}

TEST(GuidTest, RoundTripsEveryDigitPosition) {
  // Each hex digit of the text takes every value in turn; parse and format must agree on where
  // it lives, and no digit may be dropped.
  const std::string zero = "{00000000-0000-0000-0000-000000000000}";
  for (size_t position = 1; position + 1 < zero.size(); ++position) {
    if (zero[position] == '-') continue;
    for (int value = 0; value < 16; ++value) {
      std::string text = zero;
      text[position] = "0123456789ABCDEF"[value];
      const auto parsed = ParseGuid(text);
      ASSERT_TRUE(parsed.has_value()) << text;
      EXPECT_EQ(FormatGuid(*parsed), text);
      EXPECT_EQ(*parsed == GUID_NULL, value == 0) << text;
    }
  }
}

TEST(GuidTest, ParsingIgnoresCase) {
  const auto lower = ParseGuid("{7e21b94d-5a0c-4d3b-9f68-2c1e8a47b05d}");
  const auto mixed = ParseGuid("{7e21B94d-5A0c-4d3B-9F68-2c1E8a47b05D}");
  ASSERT_TRUE(lower.has_value());
  ASSERT_TRUE(mixed.has_value());
  EXPECT_TRUE(*lower == kSample);
  EXPECT_TRUE(*mixed == kSample);
}

TEST(GuidTest, RejectsMalformedText) {
  using namespace std::string_literals;
  const std::string cases[] = {
      ""s,
      "{}"s,
      "7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D"s,     // no braces
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D"s,    // no closing brace
      "7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D}"s,    // no opening brace
      "(7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D)"s,   // wrong brackets
      "{7E21B94-D5A0C-4D3B-9F68-2C1E8A47B05D}"s,   // short first group, same length
      "{7E21B94D-5A0-C4D3B-9F68-2C1E8A47B05D}"s,   // short second group
      "{7E21B94D-5A0C-4D3B-9F682-C1E8A47B05D}"s,   // fourth group too long
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05}"s,    // last group short
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D0}"s,  // last group long
      "{7E21B94D5A0C-4D3B-9F68-2C1E8A47B05D0}"s,   // missing dash
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05G}"s,   // bad hex digit
      "{7E21B94Z-5A0C-4D3B-9F68-2C1E8A47B05D}"s,   // bad hex digit
      "{+E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D}"s,   // sign where a digit belongs
      "{0x21B94D-5A0C-4D3B-9F68-2C1E8A47B05D}"s,   // radix prefix
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47 05D}"s,   // space
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D}x"s,  // trailing text
      " {7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D}"s,  // leading space
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D} "s,  // trailing space
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B0\0D}"s,  // embedded NUL
      "{7E21B94D_5A0C-4D3B-9F68-2C1E8A47B05D}"s,   // wrong separator
  };
  for (const std::string& text : cases) {
    const auto parsed = ParseGuid(text);
    EXPECT_FALSE(parsed.has_value()) << "accepted \"" << text << "\" as " << FormatGuid(*parsed);
  }
}

TEST(GuidTest, EqualityComparesEveryByte) {
  EXPECT_TRUE(IsEqualGUID(kSample, kSample));
  for (int i = 0; i < 16; ++i) {
    GUID other = kSample;
    reinterpret_cast<BYTE*>(&other)[i] ^= 0x01;
    EXPECT_FALSE(IsEqualGUID(kSample, other)) << "byte " << i;
  }
  EXPECT_FALSE(IsEqualIID(IID_IUnknown, IID_IClassFactory));
}

}  // namespace
