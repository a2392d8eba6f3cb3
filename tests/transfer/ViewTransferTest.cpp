// The view's Copy, Cut and drag: what lands on the clipboard or in a drop target, with which
// preferred effect, and the clipboard watch that follows it.
#include <chrono>

#include "platform/ole/Clipboard.h"
#include "platform/ole/DragDrop.h"
#include "platform/ui/WindowApi.h"
#include "shell/CMainDlg.h"
#include "tests/transfer/TransferTestSupport.h"

namespace transfer_test {
namespace {

DWORD PreferredEffectOf(IDataObject* data) {
  FORMATETC request = FormatRequest(CFSTR_PREFERREDDROPEFFECT, -1, TYMED_HGLOBAL);
  STGMEDIUM medium{};
  if (FAILED(data->GetData(&request, &medium))) return 0xFFFFFFFFu;
  const DWORD effect = *static_cast<const DWORD*>(GlobalLock(medium.hGlobal));
  (void)GlobalUnlock(medium.hGlobal);
  ReleaseStgMedium(&medium);
  return effect;
}

// A drop window that keeps what was dropped on it and reads its preferred effect there.
class KeepingTarget final : public ComObject<IDropTarget> {
 public:
  HRESULT DragEnter(IDataObject*, DWORD, POINTL, DWORD* effect) override {
    *effect = DROPEFFECT_COPY;
    return S_OK;
  }
  HRESULT DragOver(DWORD, POINTL, DWORD* effect) override {
    *effect = DROPEFFECT_COPY;
    return S_OK;
  }
  HRESULT DragLeave() override {
    ++leaves;
    return S_OK;
  }
  HRESULT Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) override {
    dropped = ComPtr<IDataObject>(data);
    preferredAtDrop = PreferredEffectOf(data);
    *effect = DROPEFFECT_COPY;
    return S_OK;
  }
  ComPtr<IDataObject> dropped;
  DWORD preferredAtDrop = 0;
  int leaves = 0;
};

class ViewTransferTest : public TransferFixture {
 protected:
  void SetUp() override {
    TransferFixture::SetUp();
    container_ = MakeContainer({{"Docs/a.txt", "alpha"}, {"top.bin", "top"}}, {"Docs"});
    view_ = Open(container_);
  }
  void TearDown() override {
    view_.Close();
    (void)OleSetClipboard(nullptr);
    TransferFixture::TearDown();
  }

  int RowOf(const std::string& name) {
    const LPCITEMIDLIST wanted = ItemsNamed(view_, {name}).at(0);
    CListCtrl list = view_.List();
    for (int i = 0; i < list.GetItemCount(); ++i)
      if (reinterpret_cast<LPCITEMIDLIST>(list.GetItemData(i)) == wanted) return i;
    return -1;
  }
  void SelectOnly(const std::string& name) {
    CListCtrl list = view_.List();
    (void)list.SetItemState(-1, 0, LVIS_SELECTED);
    (void)list.SetItemState(RowOf(name), LVIS_SELECTED, LVIS_SELECTED);
  }
  void Command(WORD id) { (void)SendMessageA(view_.window, WM_COMMAND, MAKEWPARAM(id, 0), 0); }
  void BeginDrag(UINT code) {
    NMLISTVIEW notice{};
    notice.hdr.hwndFrom = view_.List().m_hWnd;
    notice.hdr.idFrom = CMainDlg::IDC_VIEW_LIST;
    notice.hdr.code = code;
    (void)SendMessageA(view_.window, WM_NOTIFY, CMainDlg::IDC_VIEW_LIST,
                       reinterpret_cast<LPARAM>(&notice));
  }
  bool IsCut(const std::string& name) {
    return (view_.List().GetItemState(RowOf(name), LVIS_CUT) & LVIS_CUT) != 0;
  }
  // Lets the view's timers run for a while.
  static void Pump(int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
      (void)MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      (void)PumpWaitingMessages(nullptr, nullptr);
    }
  }
  static ComPtr<IDataObject> Clipboard() {
    ComPtr<IDataObject> data;
    EXPECT_EQ(OleGetClipboard(data.ReleaseAndGetAddressOf()), S_OK);
    return data;
  }

  std::string container_;
  view_test::OpenView view_;
};

TEST_F(ViewTransferTest, CopyAndCutKeepTheirEffectAndTheCutMarkFollowsTheClipboard) {
  SelectOnly("Docs");
  Command(viewcmd::kCopy);
  ComPtr<IDataObject> copied = Clipboard();
  EXPECT_EQ(PreferredEffectOf(copied.Get()), DROPEFFECT_COPY);
  EXPECT_EQ(Descriptor(copied.Get()).size(), 2u);
  EXPECT_FALSE(IsCut("Docs"));

  // A drag started later in the same view leaves the copied selection a copy.
  ComPtr<KeepingTarget> target;
  target.Attach(new KeepingTarget);
  const HWND window = reinterpret_cast<HWND>(std::uintptr_t{0x7100});
  ASSERT_EQ(RegisterDragDrop(window, target.Get()), S_OK);
  SelectOnly("top.bin");
  QvSetDragScript({{MK_LBUTTON, window, {5, 5}, false}, {0, window, {5, 5}, false}});
  BeginDrag(LVN_BEGINDRAG);
  ASSERT_TRUE(target->dropped);
  EXPECT_EQ(target->preferredAtDrop, DROPEFFECT_MOVE) << "a plain left drag asks for a move";
  EXPECT_EQ(PreferredEffectOf(copied.Get()), DROPEFFECT_COPY);
  EXPECT_EQ(Descriptor(target->dropped.Get()).at(0).name, "top.bin");

  // Releasing with Ctrl held makes the drag a copy; a right drag offers both.
  QvSetDragScript({{MK_LBUTTON, window, {5, 5}, false}, {MK_CONTROL, window, {5, 5}, false}});
  BeginDrag(LVN_BEGINDRAG);
  EXPECT_EQ(target->preferredAtDrop, DROPEFFECT_COPY);
  QvSetDragScript({{MK_RBUTTON, window, {5, 5}, false}, {0, window, {5, 5}, false}});
  BeginDrag(LVN_BEGINRDRAG);
  EXPECT_EQ(target->preferredAtDrop, DROPEFFECT_COPY | DROPEFFECT_MOVE);
  target->dropped.Reset();
  QvSetDragScript({{MK_LBUTTON, window, {5, 5}, false}, {MK_LBUTTON, window, {5, 5}, true}});
  BeginDrag(LVN_BEGINDRAG);
  EXPECT_FALSE(target->dropped) << "Esc drops nothing";
  EXPECT_EQ(RevokeDragDrop(window), S_OK);

  Command(viewcmd::kCut);
  ComPtr<IDataObject> cut = Clipboard();
  EXPECT_EQ(PreferredEffectOf(cut.Get()), DROPEFFECT_MOVE);
  EXPECT_TRUE(IsCut("top.bin"));
  EXPECT_FALSE(IsCut("Docs"));
  // Another program copies: the cut look goes within the watch's period.
  (void)OleSetClipboard(copied.Get());
  Pump(3 * CMainDlg::kClipboardWatchMilliseconds);
  EXPECT_FALSE(IsCut("top.bin"));
}

TEST_F(ViewTransferTest, AClipboardItemGoneFromTheContainerEmptiesTheClipboard) {
  SelectOnly("top.bin");
  Command(viewcmd::kCut);
  ComPtr<IDataObject> cut = Clipboard();
  Pump(2 * CMainDlg::kClipboardWatchMilliseconds);
  EXPECT_EQ(OleIsCurrentClipboard(cut.Get()), S_OK) << "all there: the clipboard stays";
  ChangeContainer(container_, "DELETE FROM FILE_INFO WHERE FILE_NAME = 'top.bin.qvf'");
  Pump(3 * CMainDlg::kClipboardWatchMilliseconds);
  EXPECT_EQ(OleIsCurrentClipboard(cut.Get()), S_FALSE);

  // Closing the view empties a clipboard that still holds its items.
  SelectOnly("Docs");
  Command(viewcmd::kCopy);
  ComPtr<IDataObject> copied = Clipboard();
  EXPECT_EQ(OleIsCurrentClipboard(copied.Get()), S_OK);
  view_.Close();
  EXPECT_EQ(OleIsCurrentClipboard(copied.Get()), S_FALSE);
}

}  // namespace
}  // namespace transfer_test
