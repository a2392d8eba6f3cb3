// The container folder, its enumerator and its icons driven the way a file manager drives
// them: the class factory, Initialize with the container's absolute list, EnumObjects and
// Next, BindToObject down the tree, display names, attributes, UI objects and renames, over
// containers the engine really wrote (both editions) and an older-version container; and every
// method handed damaged identifiers.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "base/ClassIds.h"
#include "container/QVSQLiteDatabase.h"
#include "core/QvFolderExtModule.h"
#include "platform/ole/TaskMemory.h"
#include "platform/ole/TextConversion.h"
#include "platform/shell/ContextMenu.h"
#include "shell/CQvShellFolder.h"
#include "suite/QvContainerFormat.h"
#include "tests/engine/ProgressDialogFixture.h"
#include "tests/shell/ItemIdSamples.h"

namespace {

using engine_test::ProgressDialogFixture;
using engine_test::WriteBytes;
using shell_test::Damaged;
using shell_test::DamagedIdentifiers;
using shell_test::FileFields;
using shell_test::FolderFields;
using shell_test::OwnedList;

namespace fs = std::filesystem;

// The folder object a file manager gets for a container: class factory, then Initialize.
ComPtr<IShellFolder> OpenContainer(const std::string& path, HRESULT* initialized = nullptr) {
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(QvModule().GetClassObject(qvids::CLSID_QvShellFolder, IID_IClassFactory,
                                      factory.ReleaseAndGetVoidAddressOf()),
            S_OK);
  ComPtr<IShellFolder> folder;
  if (!factory) return folder;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IShellFolder, folder.ReleaseAndGetVoidAddressOf()),
            S_OK);
  ComPtr<IPersistFolder> persist;
  EXPECT_EQ(folder.As(persist), S_OK);
  OwnedList absolute(ILCreateFromPathA(path.c_str()));
  const HRESULT hr = persist->Initialize(absolute.Get());
  if (initialized != nullptr) *initialized = hr;
  return folder;
}

std::vector<OwnedList> Enumerate(IShellFolder* folder, SHCONTF flags) {
  std::vector<OwnedList> items;
  ComPtr<IEnumIDList> list;
  EXPECT_TRUE(SUCCEEDED(folder->EnumObjects(nullptr, flags, list.ReleaseAndGetAddressOf())));
  if (!list) return items;
  PITEMID_CHILD id = nullptr;
  while (list->Next(1, &id, nullptr) == S_OK) items.emplace_back(id);
  return items;
}

std::string DisplayName(IShellFolder* folder, LPCITEMIDLIST id, SHGDNF flags) {
  STRRET name{};
  const HRESULT hr = folder->GetDisplayNameOf(id, flags, &name);
  if (FAILED(hr)) return "error " + std::to_string(hr);
  LPSTR text = nullptr;
  EXPECT_EQ(StrRetToStrA(&name, id, &text), S_OK);
  std::string out = text != nullptr ? text : "";
  CoTaskMemFree(text);
  return out;
}

// "name" for files, "name/" for folders, in listing order.
std::vector<std::string> Names(IShellFolder* folder, SHCONTF flags) {
  std::vector<std::string> names;
  for (const OwnedList& id : Enumerate(folder, flags)) {
    ContainerItem item;
    EXPECT_EQ(ContainerItemId::ReadFirst(id.Get(), &item), S_OK);
    names.push_back(std::string(item.name) + (item.IsFolder() ? "/" : ""));
  }
  return names;
}

constexpr SHCONTF kAll = SHCONTF_FOLDERS | SHCONTF_NONFOLDERS;

OwnedList Find(IShellFolder* folder, const std::string& name) {
  for (OwnedList& id : Enumerate(folder, kAll)) {
    ContainerItem item;
    if (SUCCEEDED(ContainerItemId::ReadFirst(id.Get(), &item)) && item.name == name)
      return std::move(id);
  }
  ADD_FAILURE() << "no item " << name;
  return OwnedList();
}

ComPtr<IShellFolder> Bind(IShellFolder* folder, LPCITEMIDLIST pidl, HRESULT* result = nullptr) {
  ComPtr<IShellFolder> child;
  const HRESULT hr =
      folder->BindToObject(pidl, nullptr, IID_IShellFolder, child.ReleaseAndGetVoidAddressOf());
  if (result != nullptr) *result = hr;
  return child;
}

class ShellFolderTest : public ProgressDialogFixture {
 protected:
  // Box/ a.txt, a.qvf.b.txt, Docs/notes.txt, Docs/Sub/deep.txt, Empty/ encrypted by the
  // engine into Box.qvef as `user`.
  std::string MakeContainer(const std::string& user = "alice") {
    fs::create_directories(P("Box/Docs/Sub"));
    fs::create_directories(P("Box/Empty"));
    WriteBytes(P("Box/a.txt"), "alpha");
    WriteBytes(P("Box/a.qvf.b.txt"), "dotted");
    WriteBytes(P("Box/Docs/notes.txt"), "notes!");
    WriteBytes(P("Box/Docs/Sub/deep.txt"), std::string(3000, 'd'));
    const engine_test::Outcome run = RunDialog({P("Box")}, true, user);
    EXPECT_EQ(run.result, IDOK) << run.Statuses();
    return P("Box.qvef");
  }
  // MakeContainer's container, unlocked for the user and opened as a file manager opens it.
  std::pair<std::string, ComPtr<IShellFolder>> UnlockedContainer(
      const std::string& user = "alice") {
    const std::string box = MakeContainer(user);
    Unlock(box);
    return {box, OpenContainer(box)};
  }
  void Unlock(const std::string& path) {
    QvModuleTables().AddVerifiedView(path, "alice");
    unlocked_.push_back(path);
  }
  void TearDown() override {
    for (const std::string& path : unlocked_) QvModuleTables().RemoveVerifiedView(path);
    ProgressDialogFixture::TearDown();
  }

  std::vector<std::string> unlocked_;
};

TEST_F(ShellFolderTest, NothingIsListedUntilAViewOfTheContainerVerifiedItsUser) {
  const std::string box = MakeContainer();
  ComPtr<IShellFolder> root = OpenContainer(box);
  ASSERT_TRUE(root);
  EXPECT_TRUE(Names(root.Get(), kAll).empty()) << "the tree pane sees nothing before";
  // S_FALSE tells a host a refused view from an empty folder.
  ComPtr<IEnumIDList> locked;
  EXPECT_EQ(root->EnumObjects(nullptr, kAll, locked.ReleaseAndGetAddressOf()), S_FALSE);
  ASSERT_TRUE(locked);
  PITEMID_CHILD none = nullptr;
  EXPECT_EQ(locked->Next(1, &none, nullptr), S_FALSE);

  QvModuleTables().AddVerifiedView(P("x/../Box.qvef"), "alice");
  EXPECT_EQ(Names(root.Get(), kAll),
            (std::vector<std::string>{"Docs/", "Empty/", "a.qvf.b.txt", "a.txt"}))
      << "folders first, then files; another spelling of the path unlocks the same container";
  EXPECT_EQ(root->EnumObjects(nullptr, kAll, locked.ReleaseAndGetAddressOf()), S_OK);
  QvModuleTables().RemoveVerifiedView(box);
  EXPECT_TRUE(Names(root.Get(), kAll).empty()) << "and nothing after the last view closed";
}

TEST_F(ShellFolderTest, ListingsFollowTheFlagsHideTheEmptyFolderMarkerAndComeInBatches) {
  const auto [box, root] = UnlockedContainer();
  EXPECT_EQ(Names(root.Get(), SHCONTF_FOLDERS), (std::vector<std::string>{"Docs/", "Empty/"}));
  EXPECT_EQ(Names(root.Get(), SHCONTF_NONFOLDERS),
            (std::vector<std::string>{"a.qvf.b.txt", "a.txt"}));
  OwnedList empty = Find(root.Get(), "Empty");
  ComPtr<IShellFolder> emptyFolder = Bind(root.Get(), empty.Get());
  ASSERT_TRUE(emptyFolder);
  EXPECT_TRUE(Names(emptyFolder.Get(), kAll).empty()) << "the marker is never listed";

  // Sizes and names come from the rows.
  OwnedList a = Find(root.Get(), "a.txt");
  ContainerItem item;
  ASSERT_EQ(ContainerItemId::ReadFirst(a.Get(), &item), S_OK);
  EXPECT_EQ(item.size, 5u);
  EXPECT_EQ(item.version, 2u);
  EXPECT_EQ(item.folderId, 0u);
  FILETIME utc{};
  ASSERT_TRUE(ContainerItemId::LastWriteTimeUtc(item, &utc));
  FILETIME disk{};
  ASSERT_TRUE(GetFileTimesA(box.c_str(), nullptr, nullptr, &disk));
  EXPECT_LE(CompareFileTime(&utc, &disk), 0) << "the file's own time, before the container's";

  // The enumerator hands out copies, in batches, and skips.
  ComPtr<IEnumIDList> list;
  ASSERT_EQ(root->EnumObjects(nullptr, kAll, list.ReleaseAndGetAddressOf()), S_OK);
  PITEMID_CHILD ids[5] = {};
  EXPECT_EQ(list->Next(2, ids, nullptr), E_INVALIDARG) << "a batch needs its count";
  ULONG fetched = 99;
  ASSERT_EQ(list->Next(1, ids, &fetched), S_OK);
  EXPECT_EQ(fetched, 1u);
  ILFree(ids[0]);
  ASSERT_EQ(list->Next(5, ids, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 3u);
  for (ULONG i = 0; i < fetched; ++i) ILFree(ids[i]);
  EXPECT_EQ(list->Next(1, ids, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  ASSERT_EQ(list->Reset(), S_OK);
  EXPECT_EQ(list->Skip(3), S_OK);
  EXPECT_EQ(list->Skip(2), S_FALSE);
  ComPtr<IEnumIDList> clone;
  EXPECT_EQ(list->Clone(clone.ReleaseAndGetAddressOf()), E_NOTIMPL);
  EXPECT_FALSE(clone);
}

TEST_F(ShellFolderTest, BindingWalksDownFoldersAndRefusesFiles) {
  const auto [box, root] = UnlockedContainer();
  OwnedList docs = Find(root.Get(), "Docs");
  ComPtr<IShellFolder> docsFolder = Bind(root.Get(), docs.Get());
  ASSERT_TRUE(docsFolder);
  EXPECT_EQ(Names(docsFolder.Get(), kAll), (std::vector<std::string>{"Sub/", "notes.txt"}));

  // A deep list binds to its last folder; the child's absolute list is the parent's followed
  // by the whole list.
  OwnedList sub = Find(docsFolder.Get(), "Sub");
  OwnedList deep(ILCombine(docs.Get(), sub.Get()));
  ComPtr<IShellFolder> subFolder = Bind(root.Get(), deep.Get());
  ASSERT_TRUE(subFolder);
  EXPECT_EQ(Names(subFolder.Get(), kAll), std::vector<std::string>{"deep.txt"});
  ComPtr<IPersistFolder2> persist;
  ASSERT_EQ(subFolder.As(persist), S_OK);
  PIDLIST_ABSOLUTE absolute = nullptr;
  ASSERT_EQ(persist->GetCurFolder(&absolute), S_OK);
  OwnedList expected(ILCreateFromPathA(box.c_str()));
  OwnedList expectedAll(ILCombine(expected.Get(), deep.Get()));
  EXPECT_TRUE(ILIsEqual(absolute, expectedAll.Get()));
  ILFree(absolute);
  CLSID clsid{};
  ASSERT_EQ(persist->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, qvids::CLSID_QvShellFolder);

  HRESULT hr = S_OK;
  OwnedList file = Find(root.Get(), "a.txt");
  EXPECT_FALSE(Bind(root.Get(), file.Get(), &hr));
  EXPECT_EQ(hr, E_INVALIDARG) << "a file is never bound as a folder";
  const BYTE emptyList[2] = {0, 0};
  EXPECT_FALSE(Bind(root.Get(), reinterpret_cast<LPCITEMIDLIST>(emptyList), &hr));
  EXPECT_EQ(hr, E_INVALIDARG) << "an empty list names no folder";
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(root->BindToObject(docs.Get(), nullptr, IID_IEnumIDList, &other), E_NOTIMPL);
  EXPECT_EQ(other, nullptr);

  // A folder the container no longer has.
  OwnedList gone(ContainerItemId::Create(FolderFields(777, 0, "\\Gone")));
  EXPECT_FALSE(Bind(root.Get(), gone.Get(), &hr));
  EXPECT_EQ(hr, E_NOTIMPL);
}

TEST_F(ShellFolderTest, DisplayNamesAreTheContainerPathAndTheInnerPath) {
  const auto [box, root] = UnlockedContainer();
  OwnedList docs = Find(root.Get(), "Docs");
  OwnedList a = Find(root.Get(), "a.txt");
  EXPECT_EQ(DisplayName(root.Get(), docs.Get(), SHGDN_NORMAL), box + "/Docs");
  EXPECT_EQ(DisplayName(root.Get(), a.Get(), SHGDN_FORPARSING), box + "/a.txt");
  EXPECT_EQ(DisplayName(root.Get(), a.Get(), SHGDN_INFOLDER), "a.txt");

  ComPtr<IShellFolder> docsFolder = Bind(root.Get(), docs.Get());
  OwnedList notes = Find(docsFolder.Get(), "notes.txt");
  EXPECT_EQ(DisplayName(docsFolder.Get(), notes.Get(), SHGDN_NORMAL), box + "/Docs/notes.txt");
  OwnedList sub = Find(docsFolder.Get(), "Sub");
  ComPtr<IShellFolder> subFolder = Bind(docsFolder.Get(), sub.Get());
  OwnedList deepFile = Find(subFolder.Get(), "deep.txt");
  EXPECT_EQ(DisplayName(subFolder.Get(), deepFile.Get(), SHGDN_NORMAL), box + "/Docs/Sub/deep.txt");
  // The root folder asked about a file of another folder: the container says where it is.
  EXPECT_EQ(DisplayName(root.Get(), deepFile.Get(), SHGDN_NORMAL), box + "/Docs/Sub/deep.txt");
  // Relative lists: the last identifier names the item.
  OwnedList relative(ILCombine(sub.Get(), deepFile.Get()));
  EXPECT_EQ(DisplayName(docsFolder.Get(), relative.Get(), SHGDN_NORMAL),
            box + "/Docs/Sub/deep.txt");

  // A name longer than the record's own buffer comes back whole.
  OwnedList longName(ContainerItemId::Create(FileFields(0, 99, std::string(400, 'L'), 1)));
  STRRET record{};
  ASSERT_EQ(root->GetDisplayNameOf(longName.Get(), SHGDN_NORMAL, &record), S_OK);
  EXPECT_EQ(record.uType, STRRET_WSTR);
  LPSTR text = nullptr;
  ASSERT_EQ(StrRetToStrA(&record, longName.Get(), &text), S_OK);
  EXPECT_EQ(std::string(text), box + "/" + std::string(400, 'L'));
  CoTaskMemFree(text);
}

// Every item below `folder` (its list from `folder`, display name, whether a folder), walked
// by enumerating and binding as a file manager does.
struct Walked {
  OwnedList id;  // the last identifier, as the item's own folder listed it
  std::string displayName;
  bool folder = false;
  UINT depth = 0;
};
void WalkAll(IShellFolder* folder, UINT depth, std::vector<Walked>* out) {
  for (OwnedList& id : Enumerate(folder, kAll)) {
    ContainerItem item;
    ASSERT_EQ(ContainerItemId::ReadFirst(id.Get(), &item), S_OK);
    Walked walked{OwnedList(), DisplayName(folder, id.Get(), SHGDN_NORMAL), item.IsFolder(),
                  depth + 1};
    if (item.IsFolder()) WalkAll(Bind(folder, id.Get()).Get(), depth + 1, out);
    walked.id = std::move(id);
    out->push_back(std::move(walked));
  }
}

HRESULT Parse(IShellFolder* folder, const std::string& text, OwnedList* list,
              ULONG* eaten = nullptr, SFGAOF* attributes = nullptr) {
  std::u16string wide = Utf8ToUtf16(text);
  PIDLIST_RELATIVE parsed = reinterpret_cast<PIDLIST_RELATIVE>(1);
  const HRESULT hr =
      folder->ParseDisplayName(nullptr, nullptr, wide.data(), eaten, &parsed, attributes);
  if (FAILED(hr)) {
    EXPECT_EQ(parsed, nullptr) << text;
  }
  *list = OwnedList(FAILED(hr) ? nullptr : parsed);
  return hr;
}

bool SameIdentifier(LPCITEMIDLIST a, LPCITEMIDLIST b) {
  // Identifiers need not be aligned: the sizes are read byte by byte.
  USHORT sizeA = 0;
  USHORT sizeB = 0;
  std::memcpy(&sizeA, a, sizeof sizeA);
  std::memcpy(&sizeB, b, sizeof sizeB);
  return sizeA == sizeB && std::memcmp(a, b, sizeA) == 0;
}

TEST_F(ShellFolderTest, DisplayNamesParseBackLevelByLevelThroughTheStore) {
  for (const char* folder : {"Box/My Folder", "Box/Docs/Sub/Deeper"})
    fs::create_directories(P(folder));
  for (const char* file : {"with space.txt", "dots.in.name.tar.gz", "a.qvf.b.txt", "Ünïcødé ✓.txt",
                           "My Folder/inner file.txt", "Docs/Sub/Deeper/deep.txt"})
    WriteBytes(P(std::string("Box/") + file), file);
  const auto [box, root] = UnlockedContainer();
  std::vector<Walked> all;
  WalkAll(root.Get(), 0, &all);
  ASSERT_EQ(all.size(), 14u);
  for (const Walked& walked : all) {
    SCOPED_TRACE(walked.displayName);
    OwnedList parsed;
    ULONG eaten = 0;
    SFGAOF attributes = SFGAO_FOLDER | SFGAO_CANCOPY;
    ASSERT_EQ(Parse(root.Get(), walked.displayName, &parsed, &eaten, &attributes), S_OK);
    EXPECT_EQ(eaten, Utf8ToUtf16(walked.displayName).size());
    EXPECT_EQ(ILCount(parsed.Get()), walked.depth) << "one identifier a level";
    EXPECT_TRUE(SameIdentifier(ILFindLastID(parsed.Get()), walked.id.Get()))
        << "the identifier the store gives, as its folder lists it";
    EXPECT_EQ(DisplayName(root.Get(), parsed.Get(), SHGDN_NORMAL), walked.displayName);
    EXPECT_EQ(attributes, walked.folder ? SFGAO_FOLDER | SFGAO_CANCOPY : SFGAO_CANCOPY);
  }

  // Paths relative to the folder asked, with either separator; from a sub-folder, a display
  // name gives the list below that folder.
  OwnedList deep;
  ASSERT_EQ(Parse(root.Get(), box + "/Docs/Sub/Deeper/deep.txt", &deep), S_OK);
  for (const char* relative :
       {"Docs/Sub/Deeper/deep.txt", "Docs\\Sub\\Deeper\\deep.txt", "./Docs//Sub/Deeper/deep.txt"}) {
    OwnedList parsed;
    ASSERT_EQ(Parse(root.Get(), relative, &parsed), S_OK) << relative;
    EXPECT_TRUE(ILIsEqual(parsed.Get(), deep.Get())) << relative;
  }
  OwnedList docsId;
  ASSERT_EQ(Parse(root.Get(), "Docs", &docsId), S_OK);
  ComPtr<IShellFolder> docs = Bind(root.Get(), docsId.Get());
  ASSERT_TRUE(docs);
  for (const std::string& text :
       {box + "/Docs/Sub/Deeper/deep.txt", std::string("Sub/Deeper/deep.txt")}) {
    OwnedList parsed;
    ASSERT_EQ(Parse(docs.Get(), text, &parsed), S_OK) << text;
    EXPECT_EQ(ILCount(parsed.Get()), 3u);
    EXPECT_EQ(DisplayName(docs.Get(), parsed.Get(), SHGDN_NORMAL),
              box + "/Docs/Sub/Deeper/deep.txt");
  }

  const struct {
    IShellFolder* folder;
    std::string text;
    HRESULT expected;
  } refusals[] = {
      {root.Get(), "", E_INVALIDARG},
      {root.Get(), "..", E_INVALIDARG},
      {root.Get(), "Docs/../a.txt", E_INVALIDARG},
      {root.Get(), "bad\x01name", E_INVALIDARG},
      {root.Get(), box, E_INVALIDARG},
      {root.Get(), box + "x/a.txt", E_INVALIDARG},
      {root.Get(), "/elsewhere/Box.qvef/a.txt", E_INVALIDARG},
      {docs.Get(), box + "/a.qvf.b.txt", E_INVALIDARG},
      {docs.Get(), box + "/Docs", E_INVALIDARG},
      {root.Get(), "nope.txt", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
      {root.Get(), "a.qvf.b.txt.qvf", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
      {root.Get(), box + "/Nope/deep.txt", HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
      {root.Get(), "with space.txt/x", HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
  };
  for (const auto& c : refusals) {
    OwnedList parsed;
    ULONG eaten = 99;
    EXPECT_EQ(Parse(c.folder, c.text, &parsed, &eaten), c.expected) << c.text;
    EXPECT_EQ(eaten, 0u) << c.text;
  }
  ULONG eaten = 0;
  EXPECT_EQ(root->ParseDisplayName(nullptr, nullptr, nullptr, &eaten, nullptr, nullptr),
            E_INVALIDARG);
  PIDLIST_RELATIVE parsed = reinterpret_cast<PIDLIST_RELATIVE>(1);
  EXPECT_EQ(root->ParseDisplayName(nullptr, nullptr, nullptr, &eaten, &parsed, nullptr),
            E_INVALIDARG);
  EXPECT_EQ(parsed, nullptr);

  // Names are told only to a verified user.
  QvModuleTables().RemoveVerifiedView(box);
  unlocked_.clear();
  OwnedList refused;
  EXPECT_EQ(Parse(root.Get(), "with space.txt", &refused), E_ACCESSDENIED);
}

TEST_F(ShellFolderTest, ListingsShowFoldersFirstThenFilesByNameAsCompareIdsOrdersThem) {
  setenv("LC_ALL", "C.UTF-8", 1);
  for (const char* folder : {"zeta", "Alpha", "beta"})
    fs::create_directories(P(std::string("Box/") + folder));
  for (const char* file : {"b.txt", "Apple.txt", "c.TXT", "_x.txt", "Émile.txt", "emma.txt"})
    WriteBytes(P(std::string("Box/") + file), file);
  const auto [box, root] = UnlockedContainer();
  // Case folds (Apple after a.txt, c.TXT after b.txt); without a collation of the locale's
  // own, É sorts after every ASCII letter.
  const std::vector<std::string> expected = {
      "Alpha/", "beta/",     "Docs/", "Empty/", "zeta/",    "_x.txt",   "a.qvf.b.txt",
      "a.txt",  "Apple.txt", "b.txt", "c.TXT",  "emma.txt", "Émile.txt"};
  EXPECT_EQ(Names(root.Get(), kAll), expected);
  std::vector<OwnedList> items = Enumerate(root.Get(), kAll);
  for (std::size_t i = 1; i < items.size(); ++i) {
    ContainerItem before, after;
    ASSERT_EQ(ContainerItemId::ReadFirst(items[i - 1].Get(), &before), S_OK);
    ASSERT_EQ(ContainerItemId::ReadFirst(items[i].Get(), &after), S_OK);
    if (before.IsFolder() != after.IsFolder()) continue;
    EXPECT_EQ(static_cast<SHORT>(root->CompareIDs(0, items[i - 1].Get(), items[i].Get()) & 0xFFFF),
              -1)
        << before.name << " before " << after.name;
  }
  unsetenv("LC_ALL");
}

TEST_F(ShellFolderTest, AttributesAndUiObjectsFollowTheKindOfEachItemAndTheStore) {
  const auto [box, root] = UnlockedContainer();
  OwnedList docs = Find(root.Get(), "Docs");
  OwnedList empty = Find(root.Get(), "Empty");
  OwnedList a = Find(root.Get(), "a.txt");
  constexpr SFGAOF kFolder = 0xA8000100;

  LPCITEMIDLIST mixed[] = {a.Get(), docs.Get()};
  SFGAOF attributes = 0xFFFFFFFF;
  ASSERT_EQ(root->GetAttributesOf(2, mixed, &attributes), S_OK);
  EXPECT_EQ(attributes, SFGAO_CANCOPY);
  LPCITEMIDLIST folders[] = {docs.Get(), empty.Get()};
  attributes = 0xFFFFFFFF;
  ASSERT_EQ(root->GetAttributesOf(2, folders, &attributes), S_OK);
  EXPECT_EQ(attributes, kFolder | SFGAO_CANCOPY);
  attributes = SFGAO_FOLDER | SFGAO_CANRENAME;
  ASSERT_EQ(root->GetAttributesOf(2, folders, &attributes), S_OK);
  EXPECT_EQ(attributes, SFGAO_FOLDER) << "masked by what was asked";
  ASSERT_EQ(root->GetAttributesOf(0, nullptr, &attributes), S_OK);
  EXPECT_EQ(attributes, kFolder) << "the folder itself";

  ComPtr<IExtractIconA> icon;
  LPCITEMIDLIST one[] = {docs.Get()};
  EXPECT_EQ(root->GetUIObjectOf(nullptr, 1, one, IID_IExtractIconA, nullptr,
                                icon.ReleaseAndGetVoidAddressOf()),
            S_OK);
  EXPECT_TRUE(icon);
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(root->GetUIObjectOf(nullptr, 1, one, IID_IContextMenu, nullptr, &object),
            E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(root->GetUIObjectOf(nullptr, 0, one, IID_IExtractIconA, nullptr, &object), E_INVALIDARG)
      << "a count of 0 names no item";
  constexpr IID kDropTarget =
      MakeGuid(0x00000122, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  LPCITEMIDLIST file[] = {a.Get()};
  EXPECT_EQ(root->GetUIObjectOf(nullptr, 1, file, kDropTarget, nullptr, &object), E_INVALIDARG)
      << "a file is no drop target";

  // What the folder found in a container left alone for a moment may be kept, but a folder
  // deleted from the store meanwhile has no attributes.
  ContainerItem item;
  ASSERT_EQ(ContainerItemId::ReadFirst(empty.Get(), &item), S_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  LPCITEMIDLIST deleted[] = {empty.Get()};
  for (int asked = 0; asked < 2; ++asked) {
    attributes = 0xFFFFFFFF;
    ASSERT_EQ(root->GetAttributesOf(1, deleted, &attributes), S_OK);
    EXPECT_EQ(attributes, kFolder | SFGAO_CANCOPY);
  }
  QVDatabase database;
  ASSERT_EQ(database.Open(box, FALSE), VARIANT_TRUE);
  ASSERT_EQ(database.DeleteFolder(item.folderId), VARIANT_TRUE);
  ASSERT_EQ(database.Close(), VARIANT_TRUE);
  attributes = 0xFFFFFFFF;
  EXPECT_EQ(root->GetAttributesOf(1, deleted, &attributes), S_FALSE);
  EXPECT_EQ(attributes, 0u);

  // A container deleted after it was listed: no attributes, no view.
  fs::remove(box);
  attributes = 0xFFFFFFFF;
  EXPECT_EQ(root->GetAttributesOf(1, one, &attributes), S_FALSE);
  EXPECT_EQ(attributes, 0u);
  HRESULT initialized = S_OK;
  ComPtr<IShellFolder> missing = OpenContainer(box, &initialized);
  EXPECT_EQ(initialized, S_FALSE);
  constexpr IID kShellView =
      MakeGuid(0x000214E3, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  EXPECT_EQ(missing->CreateViewObject(nullptr, kShellView, &object), E_NOINTERFACE);
}

TEST_F(ShellFolderTest, ComparingGoesLevelByLevelAndNeverTiesDifferentItems) {
  const auto [box, root] = UnlockedContainer();
  OwnedList docs = Find(root.Get(), "Docs");
  OwnedList a = Find(root.Get(), "a.txt");
  OwnedList dotted = Find(root.Get(), "a.qvf.b.txt");
  const auto order = [&root](LPARAM column, LPCITEMIDLIST x, LPCITEMIDLIST y) {
    return static_cast<SHORT>(root->CompareIDs(column, x, y) & 0xFFFF);
  };
  EXPECT_EQ(order(0, dotted.Get(), a.Get()), -1) << "\"a.q\" before \"a.t\"";
  EXPECT_EQ(order(1, dotted.Get(), a.Get()), 1) << "6 bytes after 5";
  EXPECT_EQ(order(0, a.Get(), a.Get()), 0);

  // A folder and a file named alike, and items of the same name in different folders.
  OwnedList sameFolder(ContainerItemId::Create(FolderFields(40, 0, "\\same")));
  OwnedList sameFile(ContainerItemId::Create(FileFields(0, 41, "same", 0)));
  EXPECT_NE(order(0, sameFolder.Get(), sameFile.Get()), 0);
  ComPtr<IShellFolder> docsFolder = Bind(root.Get(), docs.Get());
  OwnedList notes = Find(docsFolder.Get(), "notes.txt");
  OwnedList otherNotes(ContainerItemId::Create(FileFields(0, 42, "notes.txt", 6)));
  EXPECT_NE(order(0, notes.Get(), otherNotes.Get()), 0);

  // Two levels: the parents decide first, a shorter list comes first.
  OwnedList inDocs(ILCombine(docs.Get(), notes.Get()));
  EXPECT_EQ(order(0, docs.Get(), inDocs.Get()), -1);
  EXPECT_EQ(order(0, inDocs.Get(), docs.Get()), 1);
  OwnedList empty = Find(root.Get(), "Empty");
  OwnedList inEmpty(ILCombine(empty.Get(), otherNotes.Get()));
  EXPECT_EQ(order(1, inDocs.Get(), inEmpty.Get()), -1) << "Docs before Empty, whatever the size";
}

TEST_F(ShellFolderTest, RenamingNeedsAVerifiedViewAndMatchesTheStore) {
  const std::string box = MakeContainer();
  ComPtr<IShellFolder> root = OpenContainer(box);
  OwnedList docs(ContainerItemId::Create(FolderFields(1, 0, "\\Docs")));
  Unlock(box);
  docs = Find(root.Get(), "Docs");
  QvModuleTables().RemoveVerifiedView(box);
  PITEMID_CHILD renamed = nullptr;
  EXPECT_EQ(root->SetNameOf(nullptr, docs.Get(), u"Papers", SHGDN_NORMAL, &renamed),
            E_ACCESSDENIED);
  EXPECT_EQ(renamed, nullptr);
  QvModuleTables().AddVerifiedView(box, "alice");

  for (const char16_t* bad : {u"", u"..", u"a\\b", u"a/b"})
    EXPECT_EQ(root->SetNameOf(nullptr, docs.Get(), bad, SHGDN_NORMAL, &renamed), E_INVALIDARG);
  ASSERT_EQ(root->SetNameOf(nullptr, docs.Get(), u"Papers", SHGDN_NORMAL, &renamed), S_OK);
  OwnedList papers(renamed);
  ContainerItem item;
  ASSERT_EQ(ContainerItemId::ReadFirst(papers.Get(), &item), S_OK);
  EXPECT_EQ(item.storedPath, "\\Papers");
  EXPECT_EQ(DisplayName(root.Get(), papers.Get(), SHGDN_NORMAL), box + "/Papers");
  QVDatabase database;
  ASSERT_EQ(database.Open(box, FALSE), VARIANT_TRUE);
  std::string stored;
  ASSERT_EQ(database.GetFolderName(item.folderId, stored), VARIANT_TRUE);
  EXPECT_EQ(stored, item.storedPath) << "the identifier says what the store holds";
  ASSERT_EQ(database.Close(), VARIANT_TRUE);
  ComPtr<IShellFolder> papersFolder = Bind(root.Get(), papers.Get());
  ASSERT_TRUE(papersFolder);
  EXPECT_EQ(Names(papersFolder.Get(), kAll), (std::vector<std::string>{"Sub/", "notes.txt"}));
  std::vector<std::string> folders = Names(root.Get(), SHCONTF_FOLDERS);
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(folders, (std::vector<std::string>{"Empty/", "Papers/"}));

  OwnedList a = Find(root.Get(), "a.txt");
  ASSERT_EQ(root->SetNameOf(nullptr, a.Get(), u"b.txt", SHGDN_NORMAL, nullptr), S_OK);
  EXPECT_EQ(Names(root.Get(), SHCONTF_NONFOLDERS),
            (std::vector<std::string>{"a.qvf.b.txt", "b.txt"}));
  QvModuleTables().RemoveVerifiedView(box);
}

TEST_F(ShellFolderTest, EveryMethodRefusesDamagedIdentifiers) {
  const auto [box, root] = UnlockedContainer();
  OwnedList good = Find(root.Get(), "Docs");
  for (const Damaged& sample : DamagedIdentifiers()) {
    const LPCITEMIDLIST bad = sample.List();
    LPCITEMIDLIST array[] = {bad};
    LPCITEMIDLIST pair[] = {good.Get(), bad};
    SCOPED_TRACE(sample.what);
    void* object = nullptr;
    EXPECT_EQ(root->BindToObject(bad, nullptr, IID_IShellFolder, &object), E_INVALIDARG);
    EXPECT_EQ(root->CompareIDs(0, bad, good.Get()), E_INVALIDARG);
    EXPECT_EQ(root->CompareIDs(3, good.Get(), bad), E_INVALIDARG);
    SFGAOF attributes = 0xFFFFFFFF;
    EXPECT_EQ(root->GetAttributesOf(1, array, &attributes), E_INVALIDARG);
    EXPECT_EQ(root->GetAttributesOf(2, pair, &attributes), E_INVALIDARG);
    EXPECT_EQ(root->GetUIObjectOf(nullptr, 1, array, IID_IExtractIconA, nullptr, &object),
              E_INVALIDARG);
    EXPECT_EQ(root->GetUIObjectOf(nullptr, 2, pair, IID_IDataObject, nullptr, &object),
              E_INVALIDARG);
    STRRET name{};
    EXPECT_EQ(root->GetDisplayNameOf(bad, SHGDN_NORMAL, &name), E_INVALIDARG);
    EXPECT_EQ(root->GetDisplayNameOf(bad, SHGDN_INFOLDER, &name), E_INVALIDARG);
    PITEMID_CHILD renamed = nullptr;
    EXPECT_EQ(root->SetNameOf(nullptr, bad, u"x", SHGDN_NORMAL, &renamed), E_INVALIDARG);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(renamed, nullptr);
    // Behind a good identifier, in a two-level list.
    OwnedList behind(ILCombine(good.Get(), bad));
    if (behind && ILCount(behind.Get()) == 2) {
      EXPECT_EQ(root->BindToObject(behind.Get(), nullptr, IID_IShellFolder, &object), E_INVALIDARG);
      EXPECT_EQ(root->GetDisplayNameOf(behind.Get(), SHGDN_NORMAL, &name), E_INVALIDARG);
    }
  }
  EXPECT_EQ(Names(root.Get(), SHCONTF_FOLDERS), (std::vector<std::string>{"Docs/", "Empty/"}))
      << "nothing was renamed or bound on the way";
}

TEST_F(ShellFolderTest, TheSentivoEditionsContainersListTheSame) {
  ASSERT_NO_FATAL_FAILURE(EnrollSentivoUser());

  const auto [box, root] = UnlockedContainer("carol");
  EXPECT_EQ(Names(root.Get(), kAll),
            (std::vector<std::string>{"Docs/", "Empty/", "a.qvf.b.txt", "a.txt"}));
  OwnedList docs = Find(root.Get(), "Docs");
  EXPECT_EQ(Names(Bind(root.Get(), docs.Get()).Get(), kAll),
            (std::vector<std::string>{"Sub/", "notes.txt"}));
}

// A container of the first schema version: MS-DOS dates for files too.
TEST_F(ShellFolderTest, OlderContainersListWithTheirMsDosDates) {
  const std::string path = P("Old.qvef");
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    for (int i = 0; i < 4; ++i) {
      const char* sql = i == 2 ? container::kCreateFileInfoVersion1
                               : container::kCreateStatements[static_cast<std::size_t>(i)];
      ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }
    sqlite3_close(db);
  }
  fs::create_directories(P("src/Folder"));
  WriteBytes(P("src/report.txt"), "plain");
  WriteBytes(P("src/report.txt.qvf"), "image");
  WriteBytes(P("src/Folder/inner.txt.qvf"), "image 2");
  const FILETIME written = [] {
    SYSTEMTIME at{2009, 6, 0, 30, 12, 0, 10, 0};
    FILETIME time{};
    EXPECT_TRUE(SystemTimeToFileTime(&at, &time));
    return time;
  }();
  ASSERT_TRUE(SetFileTimesA(P("src/report.txt").c_str(), &written, &written));
  {
    QVSQLiteDatabase db;
    ASSERT_EQ(db.Open(path, FALSE), VARIANT_TRUE);
    ASSERT_EQ(db.GetVersion(), 1u);
    ASSERT_GT(db.AddFile(P("src"), P("src/report.txt.qvf"), 0, FALSE), 0);
    ASSERT_GT(db.AddFile(P("src"), P("src/Folder/inner.txt.qvf"), 0, FALSE), 0);
    ASSERT_EQ(db.Close(), VARIANT_TRUE);
  }
  Unlock(path);
  ComPtr<IShellFolder> root = OpenContainer(path);
  EXPECT_EQ(Names(root.Get(), kAll), (std::vector<std::string>{"Folder/", "report.txt"}));
  OwnedList report = Find(root.Get(), "report.txt");
  ContainerItem item;
  ASSERT_EQ(ContainerItemId::ReadFirst(report.Get(), &item), S_OK);
  EXPECT_EQ(item.version, 1u);
  FILETIME utc{};
  ASSERT_TRUE(ContainerItemId::LastWriteTimeUtc(item, &utc));
  EXPECT_EQ(CompareFileTime(&utc, &written), 0) << "the MS-DOS pair back to the same moment";

  OwnedList folder = Find(root.Get(), "Folder");
  ASSERT_EQ(ContainerItemId::ReadFirst(folder.Get(), &item), S_OK);
  ASSERT_TRUE(ContainerItemId::LastWriteTimeUtc(item, &utc));
  SYSTEMTIME fields{};
  ASSERT_TRUE(FileTimeToSystemTime(&utc, &fields));
  EXPECT_GE(fields.wYear, 1980) << "a folder never shows 1601";
  EXPECT_EQ(Names(Bind(root.Get(), folder.Get()).Get(), kAll),
            std::vector<std::string>{"inner.txt"});
}

}  // namespace
