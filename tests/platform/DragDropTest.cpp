// The drag loop: a scripted hand drives a source over registered windows; the tests read back
// the calls each side saw and the effect the loop reports.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ole/DragDrop.h"
#include "platform/ole/EnumFormatEtc.h"

namespace {

using Log = std::vector<std::string>;

// A source that behaves as the usual one does: Esc cancels, letting go of every button drops.
class ScriptedSource final : public ComObject<IDropSource> {
 public:
  explicit ScriptedSource(Log* log) : log_(log) {}
  HRESULT QueryContinueDrag(BOOL escape, DWORD keyState) override {
    log_->push_back("query " + std::to_string(keyState) + (escape ? " esc" : ""));
    if (escape) return DRAGDROP_S_CANCEL;
    if ((keyState & kMouseButtons) == 0) return DRAGDROP_S_DROP;
    return S_OK;
  }
  HRESULT GiveFeedback(DWORD effect) override {
    log_->push_back("feedback " + std::to_string(effect));
    return DRAGDROP_S_USEDEFAULTCURSORS;
  }

 private:
  Log* log_;
};

// A target named in the log; it answers every move with `effect`, its Drop reports
// `dropEffect` and `dropResult`, and its DragEnter fails when told to.
class RecordingTarget final : public ComObject<IDropTarget> {
 public:
  RecordingTarget(std::string name, Log* log) : name_(std::move(name)), log_(log) {}
  DWORD effect = DROPEFFECT_COPY;
  DWORD dropEffect = DROPEFFECT_COPY;
  HRESULT dropResult = S_OK;
  HRESULT enterResult = S_OK;
  DWORD offered = 0;  // what the loop offered at the last call

  HRESULT DragEnter(IDataObject* data, DWORD keyState, POINTL point, DWORD* pEffect) override {
    log_->push_back(name_ + " enter " + std::to_string(keyState) + " " + std::to_string(point.x) +
                    (data == nullptr ? " no data" : ""));
    offered = *pEffect;
    *pEffect = effect;
    return enterResult;
  }
  HRESULT DragOver(DWORD keyState, POINTL point, DWORD* pEffect) override {
    log_->push_back(name_ + " over " + std::to_string(keyState) + " " + std::to_string(point.x));
    offered = *pEffect;
    *pEffect = effect;
    return S_OK;
  }
  HRESULT DragLeave() override {
    log_->push_back(name_ + " leave");
    return S_OK;
  }
  HRESULT Drop(IDataObject*, DWORD keyState, POINTL, DWORD* pEffect) override {
    log_->push_back(name_ + " drop " + std::to_string(keyState));
    offered = *pEffect;
    *pEffect = dropEffect;
    return dropResult;
  }

 private:
  std::string name_;
  Log* log_;
};

class EmptyData final : public ComObject<IDataObject> {
 public:
  HRESULT GetData(FORMATETC*, STGMEDIUM*) override { return DV_E_FORMATETC; }
  HRESULT GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT QueryGetData(FORMATETC*) override { return DV_E_FORMATETC; }
  HRESULT GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT EnumFormatEtc(DWORD, IEnumFORMATETC** out) override {
    return SHCreateStdEnumFmtEtc(0, nullptr, out);
  }
  HRESULT DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT DUnadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
};

HWND Window(std::uintptr_t n) { return reinterpret_cast<HWND>(n); }

class DragDropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_.Attach(new EmptyData);
    source_.Attach(new ScriptedSource(&log_));
    first_.Attach(new RecordingTarget("first", &log_));
    second_.Attach(new RecordingTarget("second", &log_));
    ASSERT_EQ(RegisterDragDrop(Window(0x51), first_.Get()), S_OK);
    ASSERT_EQ(RegisterDragDrop(Window(0x52), second_.Get()), S_OK);
  }
  void TearDown() override {
    (void)RevokeDragDrop(Window(0x51));
    (void)RevokeDragDrop(Window(0x52));
  }
  HRESULT Drag(std::vector<QvDragStep> script, DWORD allowed, DWORD* effect) {
    QvSetDragScript(std::move(script));
    return DoDragDrop(data_.Get(), source_.Get(), allowed, effect);
  }

  Log log_;
  ComPtr<RecordingTarget> first_;
  ComPtr<RecordingTarget> second_;
  ComPtr<EmptyData> data_;
  ComPtr<ScriptedSource> source_;
};

TEST_F(DragDropTest, WindowsHoldTheirTargetUntilRevoked) {
  ComPtr<RecordingTarget> target;
  target.Attach(new RecordingTarget("t", &log_));
  EXPECT_EQ(RegisterDragDrop(nullptr, target.Get()), DRAGDROP_E_INVALIDHWND);
  EXPECT_EQ(RegisterDragDrop(Window(0x60), nullptr), E_INVALIDARG);
  EXPECT_EQ(RegisterDragDrop(Window(0x51), target.Get()), DRAGDROP_E_ALREADYREGISTERED);
  ASSERT_EQ(RegisterDragDrop(Window(0x60), target.Get()), S_OK);
  target->AddRef();
  EXPECT_EQ(target->Release(), 2u);
  EXPECT_EQ(RevokeDragDrop(Window(0x60)), S_OK);
  target->AddRef();
  EXPECT_EQ(target->Release(), 1u);
  EXPECT_EQ(RevokeDragDrop(Window(0x60)), DRAGDROP_E_NOTREGISTERED);
  EXPECT_EQ(RevokeDragDrop(nullptr), DRAGDROP_E_INVALIDHWND);
}

TEST_F(DragDropTest, EachStepAsksTheSourceThenMovesThenGivesFeedbackAndReleaseDrops) {
  DWORD effect = 99;
  const HRESULT hr = Drag({{MK_LBUTTON, nullptr, {1, 0}, false},
                           {MK_LBUTTON, Window(0x51), {2, 0}, false},
                           {MK_LBUTTON | MK_SHIFT, Window(0x51), {3, 0}, false},
                           {MK_SHIFT, Window(0x51), {4, 0}, false}},
                          DROPEFFECT_COPY | DROPEFFECT_MOVE, &effect);
  EXPECT_EQ(hr, DRAGDROP_S_DROP);
  EXPECT_EQ(effect, DROPEFFECT_COPY);
  EXPECT_EQ(first_->offered, DROPEFFECT_COPY | DROPEFFECT_MOVE);
  EXPECT_EQ(log_, (Log{"query 1", "feedback 0", "query 1", "first enter 1 2", "feedback 1",
                       "query 5", "first over 5 3", "feedback 1", "query 4", "first drop 4"}));
}

TEST_F(DragDropTest, PointerCrossingWindowsLeavesOneBeforeEnteringTheNext) {
  DWORD effect = 0;
  EXPECT_EQ(Drag({{MK_RBUTTON, Window(0x51), {1, 0}, false},
                  {MK_RBUTTON, Window(0x52), {2, 0}, false},
                  {MK_RBUTTON, Window(0x99), {3, 0}, false}},
                 DROPEFFECT_COPY, &effect),
            DRAGDROP_S_DROP);
  // The script ended with the button held: the hand lets go over the last window, which has
  // no target, so nothing is dropped.
  EXPECT_EQ(effect, DROPEFFECT_NONE);
  EXPECT_EQ(log_, (Log{"query 2", "first enter 2 1", "feedback 1", "query 2", "first leave",
                       "second enter 2 2", "feedback 1", "query 2", "second leave", "feedback 0",
                       "query 0"}));
}

TEST_F(DragDropTest, EscapeCancelsAndLeavesTheTarget) {
  DWORD effect = 7;
  EXPECT_EQ(
      Drag({{MK_LBUTTON, Window(0x51), {1, 0}, false}, {MK_LBUTTON, Window(0x51), {1, 0}, true}},
           DROPEFFECT_COPY | DROPEFFECT_MOVE, &effect),
      DRAGDROP_S_CANCEL);
  EXPECT_EQ(effect, DROPEFFECT_NONE);
  EXPECT_EQ(log_.back(), "first leave");
  // No script at all: nothing can move, so the drag is cancelled.
  log_.clear();
  EXPECT_EQ(DoDragDrop(data_.Get(), source_.Get(), DROPEFFECT_COPY, &effect), DRAGDROP_S_CANCEL);
  EXPECT_EQ(log_, (Log{"query 0 esc"}));
}

TEST_F(DragDropTest, TheReportedEffectIsAlwaysOneTheSourceOffered) {
  DWORD effect = 0;
  const std::vector<QvDragStep> dropOnFirst = {{MK_LBUTTON, Window(0x51), {1, 0}, false}};

  // A target that refuses the data while the pointer is over it gets no Drop.
  first_->effect = DROPEFFECT_NONE;
  EXPECT_EQ(Drag(dropOnFirst, DROPEFFECT_COPY | DROPEFFECT_MOVE, &effect), DRAGDROP_S_DROP);
  EXPECT_EQ(effect, DROPEFFECT_NONE);
  EXPECT_EQ(log_.back(), "first leave");

  // A drop that failed performed nothing, whatever effect it wrote.
  first_->effect = DROPEFFECT_MOVE;
  first_->dropEffect = DROPEFFECT_MOVE;
  first_->dropResult = E_UNEXPECTED;
  EXPECT_EQ(Drag(dropOnFirst, DROPEFFECT_COPY | DROPEFFECT_MOVE, &effect), DRAGDROP_S_DROP);
  EXPECT_EQ(effect, DROPEFFECT_NONE);

  // An effect the source did not offer is none; an open choice is a copy, never a move.
  first_->dropResult = S_OK;
  EXPECT_EQ(Drag(dropOnFirst, DROPEFFECT_COPY, &effect), DRAGDROP_S_DROP);
  EXPECT_EQ(effect, DROPEFFECT_NONE);
  EXPECT_EQ(log_.back(), "first leave");  // a move was all it showed, and a move was not offered
  first_->effect = DROPEFFECT_COPY;
  EXPECT_EQ(Drag(dropOnFirst, DROPEFFECT_COPY, &effect), DRAGDROP_S_DROP);
  EXPECT_EQ(log_.back(), "first drop 0");
  EXPECT_EQ(effect, DROPEFFECT_NONE);
  first_->dropEffect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  EXPECT_EQ(Drag(dropOnFirst, DROPEFFECT_COPY | DROPEFFECT_MOVE, &effect), DRAGDROP_S_DROP);
  EXPECT_EQ(effect, DROPEFFECT_COPY);
  first_->dropEffect = DROPEFFECT_MOVE;
  EXPECT_EQ(Drag(dropOnFirst, DROPEFFECT_COPY | DROPEFFECT_MOVE, &effect), DRAGDROP_S_DROP);
  EXPECT_EQ(effect, DROPEFFECT_MOVE);
}

TEST_F(DragDropTest, ATargetThatFailsItsEnterIsNotDraggedOverLeftOrDroppedOn) {
  first_->enterResult = E_INVALIDARG;
  DWORD effect = 0;
  EXPECT_EQ(Drag({{MK_LBUTTON, Window(0x51), {1, 0}, false},
                  {MK_LBUTTON, Window(0x51), {2, 0}, false},
                  {0, Window(0x51), {2, 0}, false}},
                 DROPEFFECT_COPY, &effect),
            DRAGDROP_S_DROP);
  EXPECT_EQ(effect, DROPEFFECT_NONE);
  for (const std::string& line : log_) {
    EXPECT_EQ(line.find("over"), std::string::npos) << line;
    EXPECT_EQ(line.find("leave"), std::string::npos) << line;
    EXPECT_EQ(line.find("drop"), std::string::npos) << line;
  }
}

TEST_F(DragDropTest, BadArgumentsAndANestedDragAreRefused) {
  DWORD effect = 5;
  EXPECT_EQ(DoDragDrop(nullptr, source_.Get(), DROPEFFECT_COPY, &effect), E_INVALIDARG);
  EXPECT_EQ(effect, DROPEFFECT_NONE);
  EXPECT_EQ(DoDragDrop(data_.Get(), nullptr, DROPEFFECT_COPY, &effect), E_INVALIDARG);
  EXPECT_EQ(DoDragDrop(data_.Get(), source_.Get(), DROPEFFECT_NONE, &effect), E_INVALIDARG);
  EXPECT_EQ(DoDragDrop(data_.Get(), source_.Get(), DROPEFFECT_COPY, nullptr), E_INVALIDARG);

  // A target that starts a drag of its own while one runs.
  class NestingTarget final : public ComObject<IDropTarget> {
   public:
    NestingTarget(IDataObject* data, IDropSource* source) : data_(data), source_(source) {}
    HRESULT nested = S_OK;
    HRESULT DragEnter(IDataObject*, DWORD, POINTL, DWORD* e) override {
      DWORD inner = 0;
      nested = DoDragDrop(data_, source_, DROPEFFECT_COPY, &inner);
      *e = DROPEFFECT_NONE;
      return S_OK;
    }
    HRESULT DragOver(DWORD, POINTL, DWORD* e) override {
      *e = DROPEFFECT_NONE;
      return S_OK;
    }
    HRESULT DragLeave() override { return S_OK; }
    HRESULT Drop(IDataObject*, DWORD, POINTL, DWORD*) override { return S_OK; }

   private:
    IDataObject* data_;
    IDropSource* source_;
  };
  ComPtr<NestingTarget> nesting;
  nesting.Attach(new NestingTarget(data_.Get(), source_.Get()));
  ASSERT_EQ(RegisterDragDrop(Window(0x70), nesting.Get()), S_OK);
  EXPECT_EQ(Drag({{MK_LBUTTON, Window(0x70), {0, 0}, false}}, DROPEFFECT_COPY, &effect),
            DRAGDROP_S_DROP);
  EXPECT_EQ(nesting->nested, E_UNEXPECTED);
  EXPECT_EQ(RevokeDragDrop(Window(0x70)), S_OK);
}

}  // namespace
