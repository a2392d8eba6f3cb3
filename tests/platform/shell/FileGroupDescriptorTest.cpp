// The file group descriptor: a block built by a source reads back unchanged in both forms,
// and a hostile block (a count beyond its bytes, a name without terminator, broken UTF-16)
// is refused as a whole instead of being read past its end.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/shell/FileGroupDescriptor.h"

namespace {

std::vector<BYTE> BlockBytes(HGLOBAL block) {
  const auto* bytes = static_cast<const BYTE*>(GlobalLock(block));
  std::vector<BYTE> copy(bytes, bytes + GlobalSize(block));
  (void)GlobalUnlock(block);
  return copy;
}

std::vector<FileGroupEntry> TwoFiles() {
  FileGroupEntry report;
  report.name = "report.doc";
  report.flags = FD_ATTRIBUTES | FD_WRITESTIME | FD_FILESIZE | FD_PROGRESSUI;
  report.attributes = 0x21;
  report.lastWriteTime = {0x89ABCDEFu, 0x01D9F00Du};
  report.size = (std::uint64_t{5} << 32) | 7;  // beyond 4 GiB: the high word must travel
  FileGroupEntry nested;
  nested.name = ".\\Docs\\Sub\\\xC3\xA9t\xC3\xA9.txt";
  nested.flags = FD_FILESIZE;
  nested.size = 1;
  return {report, nested};
}

class FileGroupDescriptorForms : public ::testing::TestWithParam<bool> {};

TEST_P(FileGroupDescriptorForms, BuiltBlockHasTheExactLayoutAndReadsBack) {
  const bool wide = GetParam();
  HGLOBAL block = CreateFileGroupDescriptor(TwoFiles(), wide);
  ASSERT_NE(block, nullptr);
  const std::size_t record = wide ? sizeof(FILEDESCRIPTORW) : sizeof(FILEDESCRIPTORA);
  const std::vector<BYTE> bytes = BlockBytes(block);
  ASSERT_EQ(bytes.size(), 4 + 2 * record);
  UINT count = 0;
  std::memcpy(&count, bytes.data(), 4);
  EXPECT_EQ(count, 2u);
  DWORD flags = 0, sizeHigh = 0, sizeLow = 0;
  std::memcpy(&flags, bytes.data() + 4, 4);
  std::memcpy(&sizeHigh, bytes.data() + 4 + 64, 4);
  std::memcpy(&sizeLow, bytes.data() + 4 + 68, 4);
  EXPECT_EQ(flags, 0x4064u);
  EXPECT_EQ(sizeHigh, 5u);
  EXPECT_EQ(sizeLow, 7u);
  EXPECT_EQ(bytes[4 + 72], 'r');

  std::vector<FileGroupEntry> entries;
  ASSERT_TRUE(ReadFileGroupDescriptor(block, wide, &entries));
  ASSERT_EQ(entries.size(), 2u);
  const std::vector<FileGroupEntry> expected = TwoFiles();
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(entries[i].name, expected[i].name);
    EXPECT_EQ(entries[i].flags, expected[i].flags);
    EXPECT_EQ(entries[i].attributes, expected[i].attributes);
    EXPECT_EQ(FileTimeToTicks(entries[i].lastWriteTime),
              FileTimeToTicks(expected[i].lastWriteTime));
    EXPECT_EQ(entries[i].size, expected[i].size);
  }
  (void)GlobalFree(block);
}

TEST_P(FileGroupDescriptorForms, NamesThatDoNotFitOrAreNotTextAreNeverCut) {
  const bool wide = GetParam();
  std::vector<FileGroupEntry> entries(1);
  entries[0].name = std::string(259, 'a');
  HGLOBAL fits = CreateFileGroupDescriptor(entries, wide);
  EXPECT_NE(fits, nullptr);
  (void)GlobalFree(fits);
  for (const std::string& bad : {std::string(260, 'a'), std::string(), std::string("a\xFF"),
                                 std::string(300, 'a').replace(0, 2, "\xC3\xA9")}) {
    entries[0].name = bad;
    EXPECT_EQ(CreateFileGroupDescriptor(entries, wide), nullptr) << bad.size();
  }
}

TEST_P(FileGroupDescriptorForms, HostileBlocksAreRefusedWhole) {
  const bool wide = GetParam();
  HGLOBAL block = CreateFileGroupDescriptor(TwoFiles(), wide);
  ASSERT_NE(block, nullptr);
  const std::vector<BYTE> good = BlockBytes(block);
  (void)GlobalFree(block);
  const std::size_t record = wide ? sizeof(FILEDESCRIPTORW) : sizeof(FILEDESCRIPTORA);
  std::vector<FileGroupEntry> entries(1);

  // One byte short of the last record, and a count that claims more than is there.
  EXPECT_FALSE(ParseFileGroupDescriptor(good.data(), good.size() - 1, wide, &entries));
  EXPECT_TRUE(entries.empty());
  std::vector<BYTE> bytes = good;
  const UINT huge = 0xFFFFFFFFu;
  std::memcpy(bytes.data(), &huge, 4);
  EXPECT_FALSE(ParseFileGroupDescriptor(bytes.data(), bytes.size(), wide, &entries));
  EXPECT_FALSE(ParseFileGroupDescriptor(good.data(), 3, wide, &entries));
  EXPECT_FALSE(ParseFileGroupDescriptor(nullptr, 0, wide, &entries));

  // The second name fills its whole field with no terminator.
  bytes = good;
  std::memset(bytes.data() + 4 + record + 72, 'x', record - 72);
  EXPECT_FALSE(ParseFileGroupDescriptor(bytes.data(), bytes.size(), wide, &entries));
  EXPECT_TRUE(entries.empty());

  // A zero count is a valid, empty group; trailing bytes are ignored.
  std::vector<BYTE> empty(4 + record, 0);
  EXPECT_TRUE(ParseFileGroupDescriptor(empty.data(), empty.size(), wide, &entries));
  EXPECT_TRUE(entries.empty());
}

INSTANTIATE_TEST_SUITE_P(NarrowAndWide, FileGroupDescriptorForms, ::testing::Bool());

TEST(FileGroupDescriptor, WideNameWithAnUnpairedSurrogateIsRefused) {
  std::vector<BYTE> bytes(4 + sizeof(FILEDESCRIPTORW), 0);
  const UINT one = 1;
  std::memcpy(bytes.data(), &one, 4);
  const char16_t name[] = {u'a', 0xD800, u'b', 0};
  std::memcpy(bytes.data() + 4 + 72, name, sizeof name);
  std::vector<FileGroupEntry> entries;
  EXPECT_FALSE(ParseFileGroupDescriptor(bytes.data(), bytes.size(), true, &entries));
  // The same bytes read narrow are a one-letter name, since the field ends at the first NUL.
  EXPECT_TRUE(ParseFileGroupDescriptor(bytes.data(), bytes.size(), false, &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "a");
}

}  // namespace
