// Registered formats agree by name, whatever the case, and the standard format enumerator
// walks, skips, resets and clones as receivers expect.
#include <gtest/gtest.h>

#include "platform/LastError.h"
#include "platform/Ole.h"

namespace {

TEST(ClipboardFormats, OneNameOneNumberInTheRegisteredRange) {
  const UINT contents = RegisterClipboardFormatA(CFSTR_FILECONTENTS);
  const UINT group = RegisterClipboardFormatA(CFSTR_FILEDESCRIPTORA);
  const UINT groupWide = RegisterClipboardFormatA(CFSTR_FILEDESCRIPTORW);
  EXPECT_GE(contents, kFirstRegisteredFormat);
  EXPECT_NE(contents, group);
  EXPECT_NE(group, groupWide);
  EXPECT_EQ(RegisterClipboardFormatA("filecontents"), contents);
  EXPECT_EQ(RegisterClipboardFormatW(u"FILECONTENTS"), contents);
  char name[64];
  EXPECT_EQ(GetClipboardFormatNameA(group, name, sizeof name), 19);
  EXPECT_STREQ(name, "FileGroupDescriptor");
  EXPECT_EQ(GetClipboardFormatNameA(group, name, 5), 4);
  EXPECT_STREQ(name, "File");

  SetLastError(0);
  EXPECT_EQ(RegisterClipboardFormatA(""), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(RegisterClipboardFormatA(std::string(256, 'n').c_str()), 0u);
  const char16_t broken[] = {u'a', 0xDC00, 0};
  EXPECT_EQ(RegisterClipboardFormatW(broken), 0u);
  EXPECT_EQ(GetClipboardFormatNameA(CF_HDROP, name, sizeof name), 0);
  EXPECT_EQ(GetClipboardFormatNameA(0xFFFF, name, sizeof name), 0);
}

TEST(StandardFormatEnumerator, NextSkipResetAndCloneKeepTheirPositions) {
  DVTARGETDEVICE* const someDevice = reinterpret_cast<DVTARGETDEVICE*>(0x10);
  const FORMATETC offered[3] = {{1, someDevice, DVASPECT_CONTENT, -1, TYMED_HGLOBAL},
                                {2, nullptr, DVASPECT_CONTENT, -1, TYMED_ISTREAM},
                                {3, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}};
  ComPtr<IEnumFORMATETC> formats;
  ASSERT_EQ(SHCreateStdEnumFmtEtc(3, offered, formats.ReleaseAndGetAddressOf()), S_OK);
  FORMATETC got[4]{};
  ULONG fetched = 9;
  EXPECT_EQ(formats->Next(1, got, nullptr), S_OK);
  EXPECT_EQ(got[0].cfFormat, 1);
  EXPECT_EQ(got[0].ptd, nullptr);  // a device pointer of the caller is never handed out

  ComPtr<IEnumFORMATETC> clone;
  ASSERT_EQ(formats->Clone(clone.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(formats->Next(4, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(got[1].cfFormat, 3);
  EXPECT_EQ(formats->Next(1, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);

  EXPECT_EQ(clone->Next(1, got, &fetched), S_OK);  // the clone stayed where it was made
  EXPECT_EQ(got[0].cfFormat, 2);
  EXPECT_EQ(clone->Skip(5), S_FALSE);
  EXPECT_EQ(clone->Next(1, got, &fetched), S_FALSE);
  EXPECT_EQ(clone->Reset(), S_OK);
  EXPECT_EQ(clone->Skip(2), S_OK);
  EXPECT_EQ(clone->Next(1, got, &fetched), S_OK);
  EXPECT_EQ(got[0].cfFormat, 3);
  EXPECT_EQ(formats->Next(2, got, nullptr), E_POINTER);
  EXPECT_EQ(SHCreateStdEnumFmtEtc(1, nullptr, formats.ReleaseAndGetAddressOf()), E_INVALIDARG);
}

}  // namespace
