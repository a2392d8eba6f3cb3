// Tests of the suffix test and the names the engine derives from it: where a suffix is
// found, which names never match, and the plain and backup names of stored files.
#include <gtest/gtest.h>

#include <string>

#include "base/ItemNames.h"

namespace {

TEST(ItemNamesTest, FindSuffixOnlyMatchesADottedSuffixAtTheEnd) {
  const struct {
    std::string_view name;
    std::string_view suffix;
    std::size_t expected;
  } kCases[] = {
      {"report.qvf", ".qvf", 6},
      {"REPORT.QVF", ".qvf", 6},
      {"report.qvf", ".QVF", 6},
      {"Folder.QvEf", ".qvef", 6},
      {".qvf", ".qvf", 0},               // as long as the name
      {"qvf", ".qvf", kSuffixNotFound},  // longer than the name
      {"", ".qvf", kSuffixNotFound},
      {"report.qvf.txt", ".qvf", kSuffixNotFound},  // only in the middle
      {"/data/x.qvf/report", ".qvf", kSuffixNotFound},
      {"report.qvff", ".qvf", kSuffixNotFound},
      {"reportqvf", ".qvf", kSuffixNotFound},
      {"report.qvf", "qvf", kSuffixNotFound},  // no leading dot
      {"report.qvf", "", kSuffixNotFound},
      {"report.qvef", ".qvf", kSuffixNotFound},
      {"x.qvef", ".qvf", kSuffixNotFound},
      {"a.b.QuorvinEncryptedTempFile", ".quorvinencryptedtempfile", 3},
      {"\xC3\xA4.QVX", ".qvx", 2},  // positions count bytes
      {"\xC3\x84.qvf", ".qvf", 2},  // only ASCII letters fold; the rest is compared as is
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "name \"" << c.name << "\" suffix \"" << c.suffix << "\"");
    EXPECT_EQ(FindSuffix(c.name, c.suffix), c.expected);
    EXPECT_EQ(HasSuffix(c.name, c.suffix), c.expected != kSuffixNotFound);
  }
}

TEST(ItemNamesTest, EncryptedNamesAreQvfFilesAndQvefContainers) {
  const struct {
    std::string_view name;
    bool encrypted;
  } kCases[] = {
      {"/d/a.qvf", true},    {"/d/a.QVEF", true},
      {"/d/a.txt", false},   {"/d/a.qvf.quorvinencryptedtempfile", false},
      {"/d/a.qvx", false},   {"/d/qvf", false},
      {"/d/a.qvefx", false}, {std::string_view(kEmptyFolderMarker), true},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(IsEncryptedName(c.name), c.encrypted) << c.name;
  }
}

TEST(ItemNamesTest, PlainAndBackupNames) {
  const struct {
    std::string_view path;
    std::string_view plain;
  } kPlain[] = {
      {"/d/report.txt.qvf", "/d/report.txt"},       {"/d/REPORT.QVF", "/d/REPORT"},
      {"/d/twice.qvf.qvf", "/d/twice.qvf"},  // one suffix at a time
      {"/d/folder.qvef", "/d/folder.qvef"},  // not an encrypted file
      {"/d/x.qvf/inner.txt", "/d/x.qvf/inner.txt"}, {"", ""},
  };
  for (const auto& c : kPlain) EXPECT_EQ(PlainNameOf(c.path), c.plain) << c.path;

  // Stored backups and containers written by other installations use exactly these names.
  EXPECT_EQ(BackupNameOf("/d/folder.qvef"), "/d/folder.qvef.quorvinencryptedtempfile");
  EXPECT_EQ(BackupNameOf("/d/Plain"), "/d/Plain.quorvinencryptedtempfile");
  for (std::string_view path : {"/d/a.qvf", "/d/b.qvef", "/d/c"}) {
    EXPECT_EQ(WithoutSuffix(BackupNameOf(path), kBackupSuffix), path);
  }
  EXPECT_EQ(WithoutSuffix("/d/folder.QVEF", kQvefSuffix), "/d/folder");
  EXPECT_EQ(WithoutSuffix("/d/folder.qvef.x", kQvefSuffix), "/d/folder.qvef.x");
  EXPECT_EQ(PlainNameOf(std::string("/d/") + std::string(kEmptyFolderMarker)), "/d/qvdummyffff");
}

}  // namespace
