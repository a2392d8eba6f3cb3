// BSTR lengths, terminators and reallocation from the string being replaced.
#include "tests/platform/ole/OleTestSupport.h"

namespace {

TEST(BstrTest, LengthsTerminatorsAndReallocation) {
  // A byte length keeps odd counts and the text stays terminated after the last byte.
  BSTR bytes = SysAllocStringByteLen("xyz", 3);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(SysStringByteLen(bytes), 3u);
  EXPECT_EQ(reinterpret_cast<const char*>(bytes)[3], '\0');
  SysFreeString(bytes);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr) << "byte length overflows 32 bits";

  // Reallocation may read from the string it replaces.
  BSTR text = SysAllocString(u"hello world");
  ASSERT_TRUE(SysReAllocString(&text, text + 6));
  ASSERT_TRUE(SysReAllocStringLen(&text, text + 1, 3));
  EXPECT_EQ(BstrText(text), u"orl");
  ASSERT_TRUE(SysReAllocStringLen(&text, nullptr, 5));  // no source: old text kept as it fits
  EXPECT_EQ(BstrText(text), std::u16string(u"orl\0\0", 5));
  ASSERT_TRUE(SysReAllocString(&text, nullptr));
  EXPECT_EQ(text, nullptr);
}

}  // namespace
