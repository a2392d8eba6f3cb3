// Item identifiers: the exact layout, the parser's refusals, names from stored file names,
// dates by each identifier's own version, ordering, renaming, and the list functions they
// travel in.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/ole/TaskMemory.h"
#include "platform/shell/ShellFolder.h"
#include "base/ContainerItemId.h"
#include "tests/shell/ItemIdSamples.h"

namespace {

using shell_test::Bytes;
using shell_test::Damaged;
using shell_test::DamagedIdentifiers;
using shell_test::FileFields;
using shell_test::FolderFields;
using shell_test::OwnedList;

DWORD Dword(const BYTE* id, std::size_t offset) {
  DWORD value;
  std::memcpy(&value, id + offset, 4);
  return value;
}

TEST(ContainerItemIdTest, LayoutOfFileAndFolderIdentifiers) {
  OwnedList folder(ContainerItemId::Create(FolderFields(7, 3, "\\Projects\\2019")));
  ASSERT_TRUE(folder);
  const BYTE* f = folder.Bytes();
  EXPECT_EQ(ILItemSize(folder.Get()), 62) << "4 + 14 + 44";
  EXPECT_EQ(Dword(f, 4), 7u);
  EXPECT_EQ(Dword(f, 8), 3u);
  EXPECT_EQ(Dword(f, 28), 5u) << "the stored path starts after \"2019\" and its NUL";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(f + 40)), "2019");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(f + 45)), "\\Projects\\2019");
  EXPECT_EQ(ILGetSize(folder.Get()), 64u);

  OwnedList file(ContainerItemId::Create(FileFields(2, 9, "notes.text", 1234)));
  ASSERT_TRUE(file);
  const BYTE* b = file.Bytes();
  EXPECT_EQ(ILItemSize(file.Get()), 54);
  EXPECT_EQ(Dword(b, 12), 1234u);
  EXPECT_EQ(Dword(b, 28), 0u) << "a file has no stored path";
  EXPECT_EQ(Dword(b, 32), 0u) << "created without the cut mark";
  EXPECT_EQ(b[54], 0);
  EXPECT_EQ(b[55], 0) << "the list ends right after the identifier";

  ContainerItem item;
  ASSERT_EQ(ContainerItemId::ReadFirst(folder.Get(), &item), S_OK);
  EXPECT_TRUE(item.IsFolder());
  EXPECT_EQ(item.name, "2019");
  EXPECT_EQ(item.storedPath, "\\Projects\\2019");
  ContainerItemId::SetCutMark(file.Get(), true);
  ASSERT_EQ(ContainerItemId::ReadFirst(file.Get(), &item), S_OK);
  EXPECT_EQ(item.cutMark, 1u);
  EXPECT_EQ(item.name, "notes.text");
}

TEST(ContainerItemIdTest, TheParserRefusesEveryDamagedIdentifier) {
  for (const Damaged& sample : DamagedIdentifiers()) {
    ContainerItem item;
    EXPECT_EQ(ContainerItemId::Parse(sample.bytes.data(), sample.bytes.size(), &item), E_INVALIDARG)
        << sample.what;
    EXPECT_EQ(ContainerItemId::ReadFirst(sample.List(), &item), E_INVALIDARG) << sample.what;
  }
  // The intact identifier the samples are cut from is read; one byte less of it is not.
  const std::vector<BYTE> intact = Bytes(ContainerItemId::Create(FolderFields(4, 0, "\\A\\b")));
  ContainerItem item;
  EXPECT_EQ(ContainerItemId::Parse(intact.data(), intact.size(), &item), S_OK);
  const std::size_t cb = ILItemSize(reinterpret_cast<LPCITEMIDLIST>(intact.data()));
  EXPECT_EQ(ContainerItemId::Parse(intact.data(), cb - 1, &item), E_INVALIDARG)
      << "an identifier longer than the bytes available";
  EXPECT_EQ(ContainerItemId::Parse(nullptr, 100, &item), E_INVALIDARG);
}

TEST(ContainerItemIdTest, ListsAreCheckedIdentifierByIdentifierAndMustNotBeEmpty) {
  OwnedList docs(ContainerItemId::Create(FolderFields(4, 0, "\\Docs")));
  OwnedList note(ContainerItemId::Create(FileFields(4, 1, "note.txt", 5)));
  OwnedList both(ILCombine(docs.Get(), note.Get()));
  UINT count = 0;
  ASSERT_EQ(ContainerItemId::CheckList(both.Get(), &count), S_OK);
  EXPECT_EQ(count, 2u);
  ContainerItem last;
  ASSERT_EQ(ContainerItemId::ReadLast(both.Get(), &last), S_OK);
  EXPECT_EQ(last.name, "note.txt");

  const BYTE empty[2] = {0, 0};
  EXPECT_EQ(ContainerItemId::CheckList(reinterpret_cast<LPCITEMIDLIST>(empty), &count),
            E_INVALIDARG);
  EXPECT_EQ(ContainerItemId::ReadLast(reinterpret_cast<LPCITEMIDLIST>(empty), &last), E_INVALIDARG);
  EXPECT_EQ(ContainerItemId::CheckList(nullptr, &count), E_INVALIDARG);

  // A damaged identifier behind a good one spoils the list.
  for (const Damaged& sample : DamagedIdentifiers()) {
    OwnedList mixed(ILCombine(docs.Get(), sample.List()));
    if (!mixed) continue;  // a size that ends the walk early leaves nothing to combine
    EXPECT_EQ(ContainerItemId::ReadLast(mixed.Get(), &last),
              ILCount(mixed.Get()) == 1 ? S_OK : E_INVALIDARG)
        << sample.what;
  }
}

TEST(ContainerItemIdTest, NamesComeFromTheStoredNameWithoutAFinalQvf) {
  const struct {
    const char* stored;
    const char* shown;
  } cases[] = {
      {"report.qvf", "report"},   {"a.qvf.b.txt", "a.qvf.b.txt"},
      {"a.qvf.b.qvf", "a.qvf.b"}, {"x.QVF", "x.QVF"},
      {".qvf", ".qvf"},           {"notes.txt.qvf", "notes.txt"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ContainerItemId::DisplayNameOfStoredFile(c.stored), c.shown) << c.stored;
}

TEST(ContainerItemIdTest, BuildingRefusesNamesThatAreNotOneComponent) {
  for (const char* name : {"", ".", "..", "a\\b", "a/b", "tab\there"})
    EXPECT_EQ(ContainerItemId::Create(FileFields(0, 1, name, 1)), nullptr) << name;
  EXPECT_EQ(ContainerItemId::Create(FolderFields(0, 0, "\\Root")), nullptr)
      << "folder id 0 is the root, which has no identifier";
  EXPECT_EQ(ContainerItemId::Create(FolderFields(5, 0, "\\a\\..\\b")), nullptr);
  ContainerItemFields mismatch = FolderFields(5, 0, "\\a\\b");
  mismatch.name = "c";
  EXPECT_EQ(ContainerItemId::Create(mismatch), nullptr);

  // Longest names are kept whole, longer ones refused rather than cut into another name.
  OwnedList longest(
      ContainerItemId::Create(FileFields(0, 1, std::string(itemid::kMaxTextLength, 'n'), 1)));
  ASSERT_TRUE(longest);
  EXPECT_EQ(ILItemSize(longest.Get()), itemid::kMaxTextLength + 44);
  EXPECT_EQ(ContainerItemId::Create(FileFields(0, 1, std::string(9000, 'n'), 1)), nullptr);
}

TEST(ContainerItemIdTest, RenamingAFolderKeepsItsStoredPathUnderTheNewName) {
  OwnedList folder(ContainerItemId::Create(FolderFields(8, 2, "\\Projects\\2019")));
  ContainerItem item;
  ASSERT_EQ(ContainerItemId::ReadFirst(folder.Get(), &item), S_OK);
  OwnedList renamed(ContainerItemId::Renamed(item, "2020"));
  ASSERT_TRUE(renamed);
  ContainerItem after;
  ASSERT_EQ(ContainerItemId::ReadFirst(renamed.Get(), &after), S_OK);
  EXPECT_EQ(after.name, "2020");
  EXPECT_EQ(after.storedPath, "\\Projects\\2020");
  EXPECT_EQ(after.folderId, 8u);
  EXPECT_EQ(after.ParentId(), 2u);

  OwnedList file(ContainerItemId::Create(FileFields(8, 3, "a.txt", 10)));
  ASSERT_EQ(ContainerItemId::ReadFirst(file.Get(), &item), S_OK);
  OwnedList renamedFile(ContainerItemId::Renamed(item, "b.txt"));
  ASSERT_EQ(ContainerItemId::ReadFirst(renamedFile.Get(), &after), S_OK);
  EXPECT_EQ(after.name, "b.txt");
  EXPECT_FALSE(after.hasStoredPath);
  EXPECT_EQ(after.size, 10u);
  EXPECT_EQ(ContainerItemId::Renamed(item, "x\\y"), nullptr);
}

// Sets the local zone for one test and restores it after.
class LocalZone {
 public:
  explicit LocalZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~LocalZone() {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

SYSTEMTIME Fields(const FILETIME& time) {
  SYSTEMTIME fields{};
  EXPECT_TRUE(FileTimeToSystemTime(&time, &fields));
  return fields;
}

TEST(ContainerItemIdTest, DatesFollowEachIdentifiersOwnVersionAndTurnLocalToUtcOnce) {
  const LocalZone zone("XST-3");  // three hours east of UTC, no summer time
  // 2021-05-04 12:30:20 as an MS-DOS pair.
  const WORD dosDate = static_cast<WORD>(((2021 - 1980) << 9) | (5 << 5) | 4);
  const WORD dosTime = static_cast<WORD>((12 << 11) | (30 << 5) | 10);

  for (DWORD version : {1u, 2u}) {
    ContainerItemFields fields = FolderFields(6, 0, "\\Docs");
    fields.dateWord = dosDate;
    fields.timeWord = dosTime;
    fields.version = version;
    OwnedList folder(ContainerItemId::Create(fields));
    ContainerItem item;
    ASSERT_EQ(ContainerItemId::ReadFirst(folder.Get(), &item), S_OK);
    FILETIME utc{};
    ASSERT_TRUE(ContainerItemId::LastWriteTimeUtc(item, &utc)) << "version " << version;
    const SYSTEMTIME shown = Fields(utc);
    EXPECT_EQ(shown.wYear, 2021) << "a folder keeps its MS-DOS pair in version " << version;
    EXPECT_EQ(shown.wHour, 9) << "local 12:30 is 09:30 UTC, shifted once";
    EXPECT_EQ(shown.wMinute, 30);
  }

  ContainerItemFields old = FileFields(0, 1, "old.txt", 1);
  old.dateWord = dosDate;
  old.timeWord = dosTime;
  old.version = 1;
  FILETIME stamp{};
  SYSTEMTIME at{2021, 5, 0, 4, 9, 30, 20, 0};
  ASSERT_TRUE(SystemTimeToFileTime(&at, &stamp));
  ContainerItemFields current = FileFields(0, 2, "new.txt", 1);
  current.dateWord = stamp.dwHighDateTime;
  current.timeWord = stamp.dwLowDateTime;
  current.version = 2;
  OwnedList a(ContainerItemId::Create(old));
  OwnedList b(ContainerItemId::Create(current));
  ContainerItem first, second;
  ASSERT_EQ(ContainerItemId::ReadFirst(a.Get(), &first), S_OK);
  ASSERT_EQ(ContainerItemId::ReadFirst(b.Get(), &second), S_OK);
  FILETIME t1{}, t2{};
  ASSERT_TRUE(ContainerItemId::LastWriteTimeUtc(first, &t1));
  ASSERT_TRUE(ContainerItemId::LastWriteTimeUtc(second, &t2));
  EXPECT_EQ(CompareFileTime(&t1, &t2), 0) << "the same moment in both forms";
  // Equal dates fall through to the names, whichever identifier comes first.
  EXPECT_EQ(ContainerItemId::Compare(second, first, 3), -1) << "new.txt before old.txt";
  EXPECT_EQ(ContainerItemId::Compare(first, second, 3), 1);

  ContainerItemFields undated = FileFields(0, 3, "none.txt", 1);
  undated.version = 2;
  OwnedList c(ContainerItemId::Create(undated));
  ContainerItem none;
  ASSERT_EQ(ContainerItemId::ReadFirst(c.Get(), &none), S_OK);
  EXPECT_FALSE(ContainerItemId::LastWriteTimeUtc(none, &t1)) << "DateWord 0: no date";
  EXPECT_EQ(ContainerItemId::Compare(none, first, 3), -1) << "undated items come first";
}

TEST(ContainerItemIdTest, OrderingUsesTheColumnThenNameThenKindAndIds) {
  auto read = [](const ContainerItemFields& fields, OwnedList* keep) {
    *keep = OwnedList(ContainerItemId::Create(fields));
    ContainerItem item;
    EXPECT_EQ(ContainerItemId::ReadFirst(keep->Get(), &item), S_OK);
    return item;
  };
  OwnedList k1, k2, k3, k4, k5;
  const ContainerItem big = read(FileFields(0, 1, "a.txt", 900), &k1);
  const ContainerItem small = read(FileFields(0, 2, "B.txt", 10), &k2);
  const ContainerItem folder = read(FolderFields(9, 0, "\\Same"), &k3);
  const ContainerItem file = read(FileFields(0, 3, "same", 0), &k4);
  const ContainerItem elsewhere = read(FileFields(9, 4, "same", 0), &k5);

  EXPECT_EQ(ContainerItemId::Compare(big, small, 1), 1) << "size";
  EXPECT_EQ(ContainerItemId::Compare(big, small, 0), -1) << "name, case ignored";
  EXPECT_EQ(ContainerItemId::Compare(big, small, 2), -1);
  EXPECT_EQ(ContainerItemId::Compare(folder, file, 0), -1) << "a folder and a file never tie";
  EXPECT_EQ(ContainerItemId::Compare(file, folder, 1), 1);
  EXPECT_EQ(ContainerItemId::Compare(file, elsewhere, 0), -1) << "same name, other folder";
  EXPECT_EQ(ContainerItemId::Compare(elsewhere, file, 0), 1);
  EXPECT_EQ(ContainerItemId::Compare(file, file, 3), 0);
}

TEST(ItemIdListTest, CombiningAlwaysGivesANewListAndWalksStopAtDamage) {
  OwnedList a(ContainerItemId::Create(FolderFields(4, 0, "\\Docs")));
  OwnedList b(ContainerItemId::Create(FileFields(4, 1, "n.txt", 5)));
  OwnedList both(ILCombine(a.Get(), b.Get()));
  EXPECT_EQ(ILGetSize(both.Get()), ILGetSize(a.Get()) + ILGetSize(b.Get()) - 2);
  EXPECT_EQ(ILCount(both.Get()), 2u);
  EXPECT_EQ(ILFindLastID(both.Get()), ILGetNext(both.Get()));
  EXPECT_TRUE(ILIsEqual(ILFindLastID(both.Get()), b.Get()));

  // With a null list on either side the result is still a copy the caller frees on its own.
  OwnedList onlyFirst(ILCombine(a.Get(), nullptr));
  OwnedList onlySecond(ILCombine(nullptr, b.Get()));
  ASSERT_TRUE(onlyFirst && onlySecond);
  EXPECT_NE(onlyFirst.Get(), a.Get());
  EXPECT_NE(onlySecond.Get(), b.Get());
  EXPECT_TRUE(ILIsEqual(onlyFirst.Get(), a.Get()));
  EXPECT_TRUE(ILIsEqual(onlySecond.Get(), b.Get()));
  EXPECT_EQ(ILCombine(nullptr, nullptr), nullptr);

  // A size of 1 ends a walk like the terminator; a bounded walk refuses what runs past.
  std::vector<BYTE> odd = Bytes(ILClone(both.Get()));
  const std::size_t first = ILItemSize(both.Get());
  odd[first] = 1;
  odd[first + 1] = 0;
  EXPECT_EQ(ILCount(reinterpret_cast<LPCITEMIDLIST>(odd.data())), 1u);
  EXPECT_EQ(ILGetSize(reinterpret_cast<LPCITEMIDLIST>(odd.data())), first + 2);
  const UINT whole = ILGetSize(both.Get());
  EXPECT_EQ(ILGetSizeBounded(both.Get(), whole), whole);
  EXPECT_EQ(ILGetSizeBounded(both.Get(), whole - 1), 0u) << "the terminator is not inside";
  EXPECT_EQ(ILGetSizeBounded(both.Get(), first + 3), 0u) << "the second identifier runs past";
  EXPECT_EQ(ILFindLastID(nullptr), nullptr);
  EXPECT_EQ(ILCloneFirst(reinterpret_cast<LPCITEMIDLIST>("\0\0")), nullptr);
}

TEST(ItemIdListTest, FileSystemListsNameTheirPathAndEndWhereAFolderTakesOver) {
  OwnedList path(ILCreateFromPathA("/home/u/Box.qvef"));
  ASSERT_TRUE(path);
  EXPECT_EQ(ILCount(path.Get()), 3u);
  char buffer[MAX_PATH];
  ASSERT_TRUE(SHGetPathFromIDListA(path.Get(), buffer));
  EXPECT_STREQ(buffer, "/home/u/Box.qvef");
  OwnedList root(ILCreateFromPathA("/"));
  ASSERT_TRUE(root);
  EXPECT_EQ(QvPathFromIDList(root.Get()), "/");
  EXPECT_EQ(ILCreateFromPathA("relative/path"), nullptr);

  OwnedList inside(ContainerItemId::Create(FolderFields(4, 0, "\\Docs")));
  OwnedList deeper(ILCombine(path.Get(), inside.Get()));
  EXPECT_EQ(QvFileSystemIdCount(deeper.Get()), 3u);
  EXPECT_EQ(QvPathFromIDList(deeper.Get()), "/home/u/Box.qvef");
  EXPECT_EQ(QvPathFromIDList(inside.Get()), "") << "no file-system part at all";
  EXPECT_FALSE(SHGetPathFromIDListA(inside.Get(), buffer));

  const std::string longPath = "/" + std::string(300, 'p');
  OwnedList tooLong(ILCreateFromPathA(longPath.c_str()));
  EXPECT_FALSE(SHGetPathFromIDListA(tooLong.Get(), buffer)) << "MAX_PATH, not cut";
  EXPECT_EQ(QvPathFromIDList(tooLong.Get()), longPath);
}

TEST(StrRetTest, TextsComeBackWholeOrNotAtAll) {
  STRRET narrow{};
  narrow.uType = STRRET_CSTR;
  std::strcpy(narrow.cStr, "abcdef");
  char small[4];
  EXPECT_EQ(StrRetToBufA(&narrow, nullptr, small, sizeof small),
            HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_STREQ(small, "") << "never a cut name";
  char room[16];
  ASSERT_EQ(StrRetToBufA(&narrow, nullptr, room, sizeof room), S_OK);
  EXPECT_STREQ(room, "abcdef");

  STRRET wide{};
  wide.uType = STRRET_WSTR;
  const std::u16string text = u"w\u00e9de";
  wide.pOleStr = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * 2));
  std::memcpy(wide.pOleStr, text.c_str(), (text.size() + 1) * 2);
  LPSTR out = nullptr;
  ASSERT_EQ(StrRetToStrA(&wide, nullptr, &out), S_OK);
  EXPECT_STREQ(out,
               "w\xc3\xa9"
               "de");
  EXPECT_EQ(wide.pOleStr, nullptr) << "taken over and freed";
  CoTaskMemFree(out);

  // An offset text must end inside the first identifier.
  OwnedList id(ContainerItemId::Create(FileFields(0, 1, "name.txt", 1)));
  STRRET offset{};
  offset.uType = STRRET_OFFSET;
  offset.uOffset = 40;
  ASSERT_EQ(StrRetToBufA(&offset, id.Get(), room, sizeof room), S_OK);
  EXPECT_STREQ(room, "name.txt");
  offset.uOffset = ILItemSize(id.Get());
  EXPECT_EQ(StrRetToBufA(&offset, id.Get(), room, sizeof room), E_INVALIDARG);
}

}  // namespace
