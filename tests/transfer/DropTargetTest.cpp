// The container's drop target driven through IDropTarget as a drag loop drives it, over real
// containers, the real suite and the headless user: the effect rule, what DragEnter accepts,
// the list under the pointer, and what a drop stores, deletes, asks and records.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "base/ModuleTables.h"
#include "container/QVDatabase.h"
#include "engine/CProgressDlg.h"
#include "platform/ole/DragDrop.h"
#include "platform/shell/DragQuery.h"
#include "suite/QvDialogIds.h"
#include "tests/shell/ViewTestSupport.h"
#include "transfer/CQvDropTarget.h"

namespace {

using engine_test::Present;
using engine_test::ReadBytes;
using engine_test::WriteBytes;
using engine_test::fs::create_directories;
using view_test::kMe;
using view_test::OpenView;

constexpr DWORD kCopyOrMove = DROPEFFECT_COPY | DROPEFFECT_MOVE;

// Stands for a source that offers no list of paths (items dragged out of a container view
// offer only virtual files).
class NoPathsData final : public ComObject<IDataObject> {
 public:
  HRESULT GetData(FORMATETC*, STGMEDIUM*) override { return DV_E_FORMATETC; }
  HRESULT GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT QueryGetData(FORMATETC*) override { return DV_E_FORMATETC; }
  HRESULT GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  HRESULT DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT DUnadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
};

// A hand that lets go once every button it held is released.
class ReleasingSource final : public ComObject<IDropSource> {
 public:
  HRESULT QueryContinueDrag(BOOL escape, DWORD keys) override {
    if (escape) return DRAGDROP_S_CANCEL;
    return (keys & kMouseButtons) == 0 ? DRAGDROP_S_DROP : S_OK;
  }
  HRESULT GiveFeedback(DWORD) override { return DRAGDROP_S_USEDEFAULTCURSORS; }
};

// The point in the middle of row `row` of a view's list.
POINTL RowPoint(int row) { return {10, row * CListCtrl::kItemHeight + CListCtrl::kItemHeight / 2}; }

class DropTargetTest : public view_test::ViewFixture {
 protected:
  // The root folder of `container` as the file manager makes it for the container file.
  ComPtr<IShellFolder> RootFolder(const std::string& container) {
    ComPtr<IShellFolder> folder;
    EXPECT_EQ(CQvShellFolder::CreateInstance(IID_IShellFolder, folder.ReleaseAndGetVoidAddressOf()),
              S_OK);
    ComPtr<IPersistFolder> persist;
    EXPECT_EQ(folder.As(persist), S_OK);
    LPITEMIDLIST pidl = ILCreateFromPathA(container.c_str());
    EXPECT_EQ(persist->Initialize(pidl), S_OK);
    ILFree(pidl);
    return folder;
  }
  ComPtr<IDropTarget> FolderTarget(const std::string& container) {
    ComPtr<IDropTarget> target;
    EXPECT_EQ(RootFolder(container)->CreateViewObject(nullptr, IID_IDropTarget,
                                                      target.ReleaseAndGetVoidAddressOf()),
              S_OK);
    return target;
  }
  // A target serving the list of `view`, as the view sets up its own.
  ComPtr<IDropTarget> ListTarget(const OpenView& view, const std::string& container) {
    ComPtr<CQvDropTarget> target;
    EXPECT_EQ(
        CQvDropTarget::CreateInstance(IQvDropTarget::kIid, target.ReleaseAndGetVoidAddressOf()),
        S_OK);
    target->SetTarget(view.folder.Get(), {container, 0, ""}, nullptr, view.List().m_hWnd);
    ComPtr<IDropTarget> out;
    EXPECT_EQ(target.As(out), S_OK);
    return out;
  }
  static ComPtr<IDataObject> Paths(const std::vector<std::string>& paths) {
    ComPtr<IDataObject> data;
    EXPECT_EQ(CreateDropDataObject(paths, true, data.ReleaseAndGetAddressOf()), S_OK);
    return data;
  }
  // Enters, moves over `point` and drops with `keys` held; the effect the drop reported.
  static DWORD DragAndDrop(IDropTarget* target, IDataObject* data, DWORD keys,
                           HRESULT* dropped = nullptr, POINTL point = {5, 100000}) {
    DWORD effect = kCopyOrMove;
    EXPECT_EQ(target->DragEnter(data, keys, point, &effect), S_OK);
    effect = kCopyOrMove;
    EXPECT_EQ(target->DragOver(keys, point, &effect), S_OK);
    effect = kCopyOrMove;
    const HRESULT hr = target->Drop(data, keys & ~kMouseButtons, point, &effect);
    if (dropped != nullptr) *dropped = hr;
    return effect;
  }
  // The stored path of every file the container holds ("\Docs\x.txt.qvf"), without the
  // markers of empty folders.
  static std::set<std::string> Stored(const std::string& container) {
    std::set<std::string> stored;
    QVDatabase database;
    EXPECT_EQ(database.Open(container, FALSE), VARIANT_TRUE);
    EXPECT_EQ(database.ListPlaces([&](const std::string& name, const std::string& path, DWORD) {
      if (name.rfind("qvdummy", 0) != 0) stored.insert(path);
    }),
              VARIANT_TRUE);
    (void)database.Close();
    return stored;
  }
  static std::vector<QvAuditEntry> DropRecords() {
    std::vector<QvAuditEntry> entries;
    QvAuditFilter filter;
    filter.eventType = 11;
    EXPECT_EQ(QvSharedUserStore()->QueryAudit(filter, &entries), QvStoreStatus::Ok);
    return entries;
  }
  // Whether a file named `name` is stored in any folder.
  static bool StoredSomewhere(const std::set<std::string>& stored, const std::string& name) {
    const std::string tail = "\\" + name + ".qvf";
    return std::any_of(stored.begin(), stored.end(),
                       [&](const std::string& path) { return path.ends_with(tail); });
  }
};

TEST_F(DropTargetTest, TheEffectFollowsTheKeysAndIsAlwaysOneTheSourceOffered) {
  const std::string container = MakeContainer({{"a.txt", "a"}});
  const ComPtr<IDropTarget> target = FolderTarget(container);
  struct Case {
    DWORD keys;
    DWORD offered;
    HRESULT result;
    DWORD effect;
  };
  const Case cases[] = {
      {MK_LBUTTON, kCopyOrMove, S_OK, DROPEFFECT_COPY},
      {MK_LBUTTON | MK_SHIFT, kCopyOrMove, S_OK, DROPEFFECT_MOVE},
      {MK_LBUTTON | MK_CONTROL, kCopyOrMove, S_OK, DROPEFFECT_COPY},
      {MK_RBUTTON, kCopyOrMove, S_OK, DROPEFFECT_COPY},
      {MK_RBUTTON | MK_SHIFT, kCopyOrMove, S_OK, DROPEFFECT_COPY},
      {MK_LBUTTON | MK_SHIFT, DROPEFFECT_COPY, S_OK, DROPEFFECT_COPY},
      {MK_LBUTTON, DROPEFFECT_MOVE, S_OK, DROPEFFECT_MOVE},
      {MK_LBUTTON, DROPEFFECT_LINK, E_INVALIDARG, DROPEFFECT_NONE},
      {MK_LBUTTON | MK_ALT, kCopyOrMove, E_INVALIDARG, DROPEFFECT_NONE},
      {MK_MBUTTON, kCopyOrMove, E_INVALIDARG, DROPEFFECT_NONE},
      {MK_LBUTTON | MK_CONTROL | MK_SHIFT, kCopyOrMove, E_INVALIDARG, DROPEFFECT_NONE},
      {MK_LBUTTON | MK_RBUTTON, kCopyOrMove, E_INVALIDARG, DROPEFFECT_NONE},
      {0, kCopyOrMove, E_INVALIDARG, DROPEFFECT_NONE},
  };
  for (const Case& c : cases) {
    DWORD effect = c.offered;
    EXPECT_EQ(target->DragOver(c.keys, {0, 0}, &effect), c.result) << "keys " << c.keys;
    EXPECT_EQ(effect, c.effect) << "keys " << c.keys << " offered " << c.offered;
  }
}

TEST_F(DropTargetTest, DragEnterRefusesShortcutsLinksTheContainerAndItsFolders) {
  const std::string container = MakeContainer({{"a.txt", "a"}});
  WriteBytes(P("plain.txt"), "plain");
  WriteBytes(P("b.lnk"), "shortcut");
  ASSERT_EQ(symlink(P("plain.txt").c_str(), P("link.txt").c_str()), 0);
  ASSERT_EQ(mkfifo(P("pipe").c_str(), 0600), 0);
  ASSERT_EQ(link(container.c_str(), P("same-container").c_str()), 0);
  const std::string containerFolder = dir_;
  const ComPtr<CQvDropTarget> target = [&] {
    ComPtr<CQvDropTarget> made;
    EXPECT_EQ(CQvDropTarget::CreateInstance(IQvDropTarget::kIid, made.ReleaseAndGetVoidAddressOf()),
              S_OK);
    made->SetTarget(nullptr, {container, 0, ""}, nullptr, nullptr);
    return made;
  }();

  const std::vector<std::vector<std::string>> refused = {
      {P("plain.txt"), P("b.lnk")},
      {P("plain.txt"), P("link.txt")},
      {P("pipe")},
      {container},
      {P("same-container")},
      {containerFolder},
      {root_.Path()},
      {P("plain.txt"), P("missing.txt")},
  };
  for (const auto& paths : refused) {
    DWORD effect = kCopyOrMove;
    EXPECT_EQ(target->DragEnter(Paths(paths).Get(), MK_LBUTTON, {0, 0}, &effect), E_INVALIDARG)
        << paths.back();
    EXPECT_EQ(effect, DROPEFFECT_NONE) << paths.back();
    EXPECT_FALSE(target->Accepted()) << paths.back();
    effect = kCopyOrMove;
    EXPECT_EQ(target->Drop(nullptr, 0, {0, 0}, &effect), S_OK);
    EXPECT_EQ(effect, DROPEFFECT_NONE) << "a refused drop reported an effect";
  }
  // The paths before the refused one stay in the list.
  DWORD effect = kCopyOrMove;
  (void)target->DragEnter(Paths({P("plain.txt"), P("b.lnk")}).Get(), MK_LBUTTON, {0, 0}, &effect);
  EXPECT_EQ(target->DroppedFiles(), std::vector<std::string>{P("plain.txt")});

  // Data without a list of paths is not accepted; the effect stays as computed.
  ComPtr<NoPathsData> virtualFiles;
  virtualFiles.Attach(new NoPathsData());
  effect = kCopyOrMove;
  EXPECT_EQ(target->DragEnter(virtualFiles.Get(), MK_LBUTTON | MK_SHIFT, {0, 0}, &effect),
            E_INVALIDARG);
  EXPECT_EQ(effect, DROPEFFECT_MOVE);
  EXPECT_FALSE(target->Accepted());

  // A target nobody set up takes nothing.
  ComPtr<IDropTarget> bare;
  ASSERT_EQ(CQvDropTarget::CreateInstance(IID_IDropTarget, bare.ReleaseAndGetVoidAddressOf()),
            S_OK);
  effect = kCopyOrMove;
  EXPECT_EQ(bare->DragEnter(Paths({P("plain.txt")}).Get(), MK_LBUTTON, {0, 0}, &effect),
            E_INVALIDARG);

  const std::set<std::string> before = Stored(container);
  EXPECT_EQ(before.size(), 1u);
  EXPECT_TRUE(DropRecords().empty()) << "a refused drag wrote an audit record";
}

TEST_F(DropTargetTest, ADropWithNoViewVerifiesTheUserAndLeavesNoVerifiedEntry) {
  const std::string container = MakeContainer({{"a.txt", "a"}});
  WriteBytes(P("new.txt"), "new bytes");
  create_directories(P("Sub/Deep"));
  WriteBytes(P("Sub/Deep/x.txt"), "x");
  ui_.TypeAndPress(kPasswordDialogId, kPasswordEditId, "pw", IDOK);
  ui_.PressButton(IDD_BACKUP_WARNING, IDOK);
  ASSERT_EQ(QvModuleTables().VerifiedViewCount(container), 0u);

  HRESULT dropped = E_FAIL;
  const DWORD effect = DragAndDrop(FolderTarget(container).Get(),
                                   Paths({P("new.txt"), P("Sub")}).Get(), MK_LBUTTON, &dropped);
  EXPECT_EQ(dropped, S_OK);
  EXPECT_EQ(effect, DROPEFFECT_COPY);
  EXPECT_EQ(PasswordPrompts(), 1);
  EXPECT_EQ(QvModuleTables().VerifiedViewCount(container), 0u);
  EXPECT_EQ(QvModuleTables().VerifiedUser(container), "");
  const std::set<std::string> stored = Stored(container);
  EXPECT_TRUE(StoredSomewhere(stored, "new.txt"));
  EXPECT_TRUE(StoredSomewhere(stored, "x.txt"));
  EXPECT_EQ(ReadBytes(P("new.txt")), "new bytes") << "a copy removed its source";
  const std::vector<QvAuditEntry> records = DropRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].result, kAuditResultSuccess);
  EXPECT_EQ(records[0].userId, kMe);
  EXPECT_EQ(records[0].path, container);
}

TEST_F(DropTargetTest, AUserWhoDoesNotPassGetsInvalidUserAndARecordAndNothingIsStored) {
  const std::string container = MakeContainer({{"a.txt", "a"}});
  WriteBytes(P("new.txt"), "new");
  ui_.TypeAndPress(kPasswordDialogId, kPasswordEditId, "wrong", IDOK);
  ui_.PressButton(IDD_BAD_PASSWORD, IDOK);
  ui_.PressButton(kPasswordDialogId, IDCANCEL);
  ui_.PressButton(IDD_INVALID_USER, IDOK);

  HRESULT dropped = S_OK;
  const DWORD effect = DragAndDrop(FolderTarget(container).Get(), Paths({P("new.txt")}).Get(),
                                   MK_LBUTTON | MK_SHIFT, &dropped);
  EXPECT_EQ(dropped, E_UNEXPECTED);
  EXPECT_EQ(effect, DROPEFFECT_NONE);
  HeadlessBackend::ClosedDialog notice;
  EXPECT_TRUE(ui_.LastClosed(IDD_INVALID_USER, &notice));
  EXPECT_EQ(Stored(container).size(), 1u);
  EXPECT_TRUE(Present(P("new.txt")));
  EXPECT_EQ(QvModuleTables().VerifiedViewCount(container), 0u);
  const std::vector<QvAuditEntry> records = DropRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].result, kAuditResultFailure);
}

TEST_F(DropTargetTest, AShiftDropMovesAndReportsAMoveOnlyWhenEverySourceIsGone) {
  const std::string container = MakeContainer({{"a.txt", "a"}});
  OpenView view = Open(container);
  WriteBytes(P("m1.txt"), "one");
  WriteBytes(P("m2.txt"), "two");
  HRESULT dropped = E_FAIL;
  DWORD effect =
      DragAndDrop(ListTarget(view, container).Get(), Paths({P("m1.txt"), P("m2.txt")}).Get(),
                  MK_LBUTTON | MK_SHIFT, &dropped);
  EXPECT_EQ(dropped, S_OK);
  EXPECT_EQ(effect, DROPEFFECT_MOVE);
  EXPECT_FALSE(Present(P("m1.txt")));
  EXPECT_FALSE(Present(P("m2.txt")));
  EXPECT_EQ(PasswordPrompts(), 1) << "the open view's user was asked again";
  std::set<std::string> stored = Stored(container);
  EXPECT_TRUE(StoredSomewhere(stored, "m1.txt") && StoredSomewhere(stored, "m2.txt"));
  EXPECT_EQ(QvModuleTables().VerifiedViewCount(container), 1u) << "the view's entry was touched";

  // A source that is back (or could not be deleted) when the engine is done is no move.
  WriteBytes(P("m3.txt"), "three");
  CProgressDlg::SetAfterLastItemTestHook(
      [&](CProgressDlg&) { WriteBytes(P("m3.txt"), "three again"); });
  effect = DragAndDrop(ListTarget(view, container).Get(), Paths({P("m3.txt")}).Get(),
                       MK_LBUTTON | MK_SHIFT, &dropped);
  CProgressDlg::SetAfterLastItemTestHook(nullptr);
  EXPECT_EQ(dropped, S_OK);
  EXPECT_EQ(effect, DROPEFFECT_COPY) << "a source still there was reported as moved";
}

TEST_F(DropTargetTest, TheListUnderThePointerDecidesWhereTheFilesGo) {
  const std::string container = MakeContainer({{"a.txt", "a"}}, {"Docs"});
  OpenView view = Open(container);
  const std::vector<std::string> rows = view.Rows();
  ASSERT_EQ(rows.size(), 2u);
  const int docs = rows[0].rfind("Docs", 0) == 0 ? 0 : 1;
  const int file = 1 - docs;
  WriteBytes(P("in-docs.txt"), "d");
  WriteBytes(P("in-root.txt"), "r");
  const ComPtr<IDropTarget> target = ListTarget(view, container);

  // Over the file item: not here, and nothing stays selected.
  DWORD effect = kCopyOrMove;
  ASSERT_EQ(target->DragEnter(Paths({P("in-docs.txt")}).Get(), MK_LBUTTON, RowPoint(file), &effect),
            S_OK);
  effect = kCopyOrMove;
  EXPECT_EQ(target->DragOver(MK_LBUTTON, RowPoint(file), &effect), E_INVALIDARG);
  EXPECT_EQ(effect, DROPEFFECT_NONE);
  EXPECT_EQ(view.List().GetSelectedCount(), 0u);
  effect = kCopyOrMove;
  EXPECT_EQ(target->Drop(nullptr, 0, RowPoint(file), &effect), S_OK);
  EXPECT_EQ(effect, DROPEFFECT_NONE) << "a drop where DragOver said no was carried out";
  EXPECT_FALSE(StoredSomewhere(Stored(container), "in-docs.txt"));

  // Over the folder item: it is selected and focused, and the files land in it.
  effect = DragAndDrop(target.Get(), Paths({P("in-docs.txt")}).Get(), MK_LBUTTON, nullptr,
                       RowPoint(docs));
  EXPECT_EQ(effect, DROPEFFECT_COPY);
  EXPECT_EQ(view.List().GetItemState(docs, LVIS_SELECTED | LVIS_FOCUSED),
            LVIS_SELECTED | LVIS_FOCUSED);
  // Then on empty space of the same view: the view's own folder, and the selection is cleared.
  effect =
      DragAndDrop(target.Get(), Paths({P("in-root.txt")}).Get(), MK_LBUTTON, nullptr, RowPoint(5));
  EXPECT_EQ(effect, DROPEFFECT_COPY);
  const std::set<std::string> stored = Stored(container);
  EXPECT_EQ(stored.count("\\Docs\\in-docs.txt.qvf"), 1u) << ::testing::PrintToString(stored);
  EXPECT_EQ(stored.count("\\in-root.txt.qvf"), 1u) << ::testing::PrintToString(stored);
  EXPECT_EQ(view.List().GetSelectedCount(), 0u);
  EXPECT_EQ(PasswordPrompts(), 1);
}

}  // namespace

TEST_F(DropTargetTest, TheViewTakesDropsOnItsListUntilItsWindowIsDestroyed) {
  const std::string container = MakeContainer({{"a.txt", "a"}}, {"Docs"});
  OpenView view = Open(container);
  const int docs = view.Rows()[0].rfind("Docs", 0) == 0 ? 0 : 1;
  WriteBytes(P("dragged.txt"), "dragged");
  const HWND list = view.List().m_hWnd;
  ComPtr<ReleasingSource> source;
  source.Attach(new ReleasingSource());

  // Entered above the folder item, moved over it, let go there.
  QvSetDragScript({{MK_LBUTTON | MK_SHIFT, list, RowPoint(docs)},
                   {MK_LBUTTON | MK_SHIFT, list, RowPoint(docs)},
                   {MK_SHIFT, list, RowPoint(docs)}});
  DWORD effect = DROPEFFECT_NONE;
  EXPECT_EQ(DoDragDrop(Paths({P("dragged.txt")}).Get(), source.Get(), kCopyOrMove, &effect),
            DRAGDROP_S_DROP);
  EXPECT_EQ(effect, DROPEFFECT_MOVE);
  EXPECT_FALSE(Present(P("dragged.txt")));
  EXPECT_EQ(Stored(container).count("\\Docs\\dragged.txt.qvf"), 1u)
      << ::testing::PrintToString(Stored(container));

  view.Close();
  EXPECT_EQ(RevokeDragDrop(list), DRAGDROP_E_NOTREGISTERED)
      << "the view left its target registered after its window went";
}
