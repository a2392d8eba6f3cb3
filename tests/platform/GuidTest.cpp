// GUID text form: the braced registry form must round-trip exactly and anything else must be
// refused, since class ids read back from the registry decide which code gets loaded.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/Com.h"
#include "platform/Guid.h"

namespace {

constexpr GUID kSample =
    MakeGuid(0x7E21B94D, 0x5A0C, 0x4D3B, 0x9F, 0x68, 0x2C, 0x1E, 0x8A, 0x47, 0xB0, 0x5D);

TEST(GuidTest, FormatsUpperCaseAndParsesAnyCase) {
  EXPECT_EQ(FormatGuid(kSample), "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D}");
  for (const char* text :
       {"{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D}", "{7e21B94d-5A0c-4d3B-9F68-2c1E8a47b05D}"}) {
    const auto parsed = ParseGuid(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ(FormatGuid(*parsed), FormatGuid(kSample)) << text;
  }
}

TEST(GuidTest, RoundTripsEveryDigitPosition) {
  // Each hex digit takes every value in turn: parse and format must agree on where it lives.
  const std::string zero = "{00000000-0000-0000-0000-000000000000}";
  for (size_t position = 1; position + 1 < zero.size(); ++position) {
    if (zero[position] == '-') continue;
    for (int value = 0; value < 16; ++value) {
      std::string text = zero;
      text[position] = "0123456789ABCDEF"[value];
      const auto parsed = ParseGuid(text);
      ASSERT_TRUE(parsed.has_value()) << text;
      EXPECT_EQ(FormatGuid(*parsed), text);
      EXPECT_EQ(IsEqualGUID(*parsed, GUID_NULL), value == 0) << text;
    }
  }
}

TEST(GuidTest, RejectsMalformedText) {
  using namespace std::string_literals;
  const std::string cases[] = {
      ""s,
      "{}"s,
      "7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D"s,     // no braces
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D"s,    // no closing brace
      "(7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D)"s,   // wrong brackets
      "{7E21B94-D5A0C-4D3B-9F68-2C1E8A47B05D}"s,   // groups shifted, same length
      "{7E21B94D-5A0C-4D3B-9F682-C1E8A47B05D}"s,   // fourth group too long
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D0}"s,  // last group long
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05G}"s,   // bad hex digit
      "{+E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D}"s,   // sign where a digit belongs
      "{0x21B94D-5A0C-4D3B-9F68-2C1E8A47B05D}"s,   // radix prefix
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47 05D}"s,   // space
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B05D}x"s,  // trailing text
      "{7E21B94D-5A0C-4D3B-9F68-2C1E8A47B0\0D}"s,  // embedded NUL
      "{7E21B94D_5A0C-4D3B-9F68-2C1E8A47B05D}"s,   // wrong separator
  };
  for (const std::string& text : cases) {
    const auto parsed = ParseGuid(text);
    EXPECT_FALSE(parsed.has_value()) << "accepted \"" << text << "\" as " << FormatGuid(*parsed);
  }
}

TEST(GuidTest, EqualityComparesEveryByte) {
  for (int i = 0; i < 16; ++i) {
    GUID other = kSample;
    reinterpret_cast<BYTE*>(&other)[i] ^= 0x01;
    EXPECT_FALSE(IsEqualGUID(kSample, other)) << "byte " << i;
  }
}

// Key names are made from new identifiers, so two must never come out alike, and they carry the
// marks of a random identifier that readers of the registry form expect.
TEST(GuidTest, CreatesDistinctRandomIdentifiers) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    GUID guid = GUID_NULL;
    ASSERT_EQ(CoCreateGuid(&guid), S_OK);
    EXPECT_EQ(guid.Data3 >> 12, 4) << FormatGuid(guid);
    EXPECT_EQ(guid.Data4[0] >> 6, 2) << FormatGuid(guid);
    EXPECT_TRUE(seen.insert(FormatGuid(guid)).second) << FormatGuid(guid);
  }
  EXPECT_EQ(CoCreateGuid(nullptr), E_POINTER);
}

}  // namespace
