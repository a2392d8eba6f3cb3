// The CF_HDROP block: its bounded parser on damaged blocks, DragQueryFile in both forms, and
// the block and data object a host builds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/ole/TextConversion.h"
#include "platform/shell/DragQuery.h"

namespace {

using namespace std::string_literals;

// `x` fills the drop point, which a parser must never take for names.
std::string Header(DWORD pFiles, bool wide, LONG x = 0) {
  DROPFILES header{};
  header.pFiles = pFiles;
  header.pt.x = x;
  header.fWide = wide ? TRUE : FALSE;
  return std::string(reinterpret_cast<const char*>(&header), sizeof header);
}

std::string Wide(std::u16string_view text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

HGLOBAL Block(const std::string& bytes) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  std::memcpy(GlobalLock(block), bytes.data(), bytes.size());
  (void)GlobalUnlock(block);
  return block;
}

std::vector<std::string> Names(const std::string& bytes) {
  HGLOBAL block = Block(bytes);
  std::vector<std::string> names;
  const UINT count = DragQueryFileA(block, kDragQueryCount, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    char name[64] = {};
    names.push_back(DragQueryFileA(block, i, name, sizeof name) != 0 ? name : "<refused>");
  }
  (void)GlobalFree(block);
  return names;
}

TEST(DragQueryTest, DamagedBlocksYieldOnlyNamesThatEndInsideThem) {
  using V = std::vector<std::string>;
  const std::string narrow = Header(20, false);
  const struct {
    const char* what;
    std::string bytes;
    V names;
  } cases[] = {
      {"two names", narrow + std::string("/a\0/b\0\0", 7), V{"/a", "/b"}},
      {"no final empty name", narrow + std::string("/a\0/b\0", 6), V{"/a", "/b"}},
      {"last name cut by the block's end", narrow + std::string("/a\0/b", 5), V{"/a"}},
      {"empty list", narrow + std::string("\0", 1), V{}},
      {"header shorter than DROPFILES", narrow.substr(0, 19), V{}},
      {"list offset past the end", Header(40, false) + "/a", V{}},
      {"list offset inside the header", Header(4, false, 0x0062612F) + std::string("/a\0\0", 4),
       V{}},
      {"list after a gap", Header(22, false) + std::string("xx/c\0\0", 6), V{"/c"}},
      {"wide names", Header(20, true) + Wide(u"/x\0/y\0\0"s), V{"/x", "/y"}},
      {"wide list with an odd last byte", Header(20, true) + Wide(u"/x\0"s) + "/", V{"/x"}},
      {"wide name with a lone surrogate", Header(20, true) + Wide(u"/\xD800\0/ok\0\0"s),
       V{"<refused>", "/ok"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Names(c.bytes), c.names) << c.what;
}

TEST(DragQueryTest, LengthsAndCutsCountWholeCharactersOfTheAskedForm) {
  HGLOBAL block = CreateDropFiles({"/tmp/\xC3\xA9t\xC3\xA9", "/n"}, true);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(DragQueryFileA(block, 0, nullptr, 0), 10u) << "UTF-8 bytes";
  EXPECT_EQ(DragQueryFileW(block, 0, nullptr, 0), 8u) << "UTF-16 units";
  char small[7];
  EXPECT_EQ(DragQueryFileA(block, 0, small, sizeof small), 5u) << "never inside a character";
  EXPECT_STREQ(small, "/tmp/");
  char16_t wide[16];
  EXPECT_EQ(DragQueryFileW(block, 1, wide, 16), 2u);
  EXPECT_EQ(std::u16string(wide), u"/n");
  // Out of order, after the cursor moved on, and past the end.
  EXPECT_EQ(DragQueryFileA(block, 1, nullptr, 0), 2u);
  EXPECT_EQ(DragQueryFileA(block, 0, nullptr, 0), 10u);
  EXPECT_EQ(DragQueryFileA(block, 2, nullptr, 0), 0u);
  (void)GlobalFree(block);
  EXPECT_EQ(DragQueryFileA(block, 0, nullptr, 0), 0u) << "a freed block is not read";

  // A narrow list hands Linux names out byte for byte, but never converts a broken one.
  HGLOBAL narrow = CreateDropFiles({"/tmp/\xFF"}, false);
  char bytes[16];
  EXPECT_EQ(DragQueryFileA(narrow, 0, bytes, sizeof bytes), 6u);
  EXPECT_STREQ(bytes, "/tmp/\xFF");
  SetLastError(0);
  EXPECT_EQ(DragQueryFileW(narrow, 0, wide, 16), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  (void)GlobalFree(narrow);
  EXPECT_EQ(CreateDropFiles({"/tmp/\xFF"}, true), nullptr);
  EXPECT_EQ(CreateDropFiles({""}, true), nullptr);
}

TEST(DragQueryTest, TheDataObjectHandsOutAFreshBlockForCfHdropOnly) {
  IDataObject* data = nullptr;
  ASSERT_EQ(CreateDropDataObject({"/a", "/b"}, true, &data), S_OK);
  FORMATETC text{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  STGMEDIUM medium{};
  EXPECT_EQ(data->GetData(&text, &medium), DV_E_FORMATETC);
  FORMATETC drop{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_ISTREAM};
  EXPECT_EQ(data->GetData(&drop, &medium), DV_E_TYMED);
  drop.tymed = TYMED_HGLOBAL;
  ASSERT_EQ(data->GetData(&drop, &medium), S_OK);
  EXPECT_EQ(medium.tymed, TYMED_HGLOBAL);
  EXPECT_EQ(DragQueryFileA(medium.hGlobal, kDragQueryCount, nullptr, 0), 2u);
  HGLOBAL handed = medium.hGlobal;
  ReleaseStgMedium(&medium);
  EXPECT_EQ(medium.hGlobal, nullptr);
  EXPECT_EQ(GlobalSize(handed), 0u) << "the medium's block was freed";
  EXPECT_EQ(data->Release(), 0u);
  EXPECT_EQ(CreateDropDataObject({"/tmp/\xFF"}, true, &data), E_INVALIDARG);
  EXPECT_EQ(data, nullptr);
}

}  // namespace
