#include "transfer/CQvDropSource.h"

HRESULT CQvDropSource::CreateInstance(REFIID riid, void** ppv, ComModule* module) noexcept {
  return CreateComInstance<CQvDropSource>(riid, ppv, module);
}

HRESULT CQvDropSource::QueryContinueDrag(BOOL escapePressed, DWORD keyState) {
  if (escapePressed) return DRAGDROP_S_CANCEL;
  if (!started_) {
    started_ = true;
    initialButtons_ = keyState & kMouseButtons;
  }
  if ((keyState & initialButtons_) == 0) {
    // Ctrl held as a left drag is let go still makes it a copy.
    if ((initialButtons_ & MK_LBUTTON) != 0) PreferFor(MK_LBUTTON | (keyState & MK_CONTROL));
    return DRAGDROP_S_DROP;
  }
  if ((keyState & MK_ALT) != 0 || (keyState & (MK_SHIFT | MK_CONTROL)) == (MK_SHIFT | MK_CONTROL))
    return DRAGDROP_S_CANCEL;
  if ((keyState & (MK_LBUTTON | MK_RBUTTON)) == 0) return DRAGDROP_S_CANCEL;
  PreferFor(keyState);
  return S_OK;
}

void CQvDropSource::PreferFor(DWORD keyState) {
  if (!data_) return;
  if ((keyState & MK_LBUTTON) != 0)
    data_->SetPreferredEffect((keyState & MK_CONTROL) != 0 ? DROPEFFECT_COPY : DROPEFFECT_MOVE);
  else
    data_->SetPreferredEffect(DROPEFFECT_COPY | DROPEFFECT_MOVE);
}

HRESULT CQvDropSource::GiveFeedback(DWORD) { return DRAGDROP_S_USEDEFAULTCURSORS; }
