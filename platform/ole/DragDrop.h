// Drag and drop: the source's and the target's interfaces, the windows that accept drops, and
// the drag loop.
//
// Linux has no system-wide drag loop this process could join, so DoDragDrop is driven by a
// drag script the host sets before the drag starts: the steps a user's hand would take (which
// buttons and keys are held, which window the pointer is over, where, and whether Esc is
// pressed). Each step is one turn of the loop, as on Windows: the source is asked whether to
// go on, the target under the pointer is entered, dragged over or left, the source is given
// feedback, and the drag ends in a drop or a cancel. A script that ends while buttons are
// still held continues with one more step, the same one with the buttons released, as a hand
// letting go. Without a script the drag is cancelled at once (Esc), as nothing can move.
#pragma once

#include <vector>

#include "platform/ole/ClipboardFormats.h"
#include "platform/ole/DataObject.h"
#include "platform/shell/FileGroupDescriptor.h"

// Key state bits (grfKeyState).
inline constexpr DWORD MK_LBUTTON = 0x0001;
inline constexpr DWORD MK_RBUTTON = 0x0002;
inline constexpr DWORD MK_SHIFT = 0x0004;
inline constexpr DWORD MK_CONTROL = 0x0008;
inline constexpr DWORD MK_MBUTTON = 0x0010;
inline constexpr DWORD MK_ALT = 0x0020;
inline constexpr DWORD kMouseButtons = MK_LBUTTON | MK_RBUTTON | MK_MBUTTON;

inline constexpr DWORD DROPEFFECT_SCROLL = 0x80000000u;

inline constexpr HRESULT DRAGDROP_S_DROP = 0x00040100;
inline constexpr HRESULT DRAGDROP_S_CANCEL = 0x00040101;
inline constexpr HRESULT DRAGDROP_S_USEDEFAULTCURSORS = 0x00040102;
inline constexpr HRESULT DRAGDROP_E_NOTREGISTERED = MakeHresult(0x80040100u);
inline constexpr HRESULT DRAGDROP_E_ALREADYREGISTERED = MakeHresult(0x80040101u);
inline constexpr HRESULT DRAGDROP_E_INVALIDHWND = MakeHresult(0x80040102u);

struct IDropSource : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x00000121, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  // S_OK to go on, DRAGDROP_S_DROP to drop where the pointer is, DRAGDROP_S_CANCEL to stop.
  virtual HRESULT QueryContinueDrag(BOOL escapePressed, DWORD keyState) = 0;
  // DRAGDROP_S_USEDEFAULTCURSORS, or S_OK when the source set the cursor itself.
  virtual HRESULT GiveFeedback(DWORD effect) = 0;

 protected:
  ~IDropSource() = default;
};
inline constexpr const IID& IID_IDropSource = IDropSource::kIid;

struct IDropTarget : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x00000122, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
  // `effect` comes in as the effects the source allows and goes out as the one the target
  // would perform here (DROPEFFECT_NONE: not here).
  virtual HRESULT DragEnter(IDataObject* data, DWORD keyState, POINTL point, DWORD* effect) = 0;
  virtual HRESULT DragOver(DWORD keyState, POINTL point, DWORD* effect) = 0;
  virtual HRESULT DragLeave() = 0;
  virtual HRESULT Drop(IDataObject* data, DWORD keyState, POINTL point, DWORD* effect) = 0;

 protected:
  ~IDropTarget() = default;
};
inline constexpr const IID& IID_IDropTarget = IDropTarget::kIid;

// Makes `target` the receiver of drops on `window`, holding a reference to it until revoked.
// DRAGDROP_E_INVALIDHWND for a null window, E_INVALIDARG for a null target,
// DRAGDROP_E_ALREADYREGISTERED when the window has one.
QV_API HRESULT RegisterDragDrop(HWND window, IDropTarget* target) noexcept;
// Forgets the window's target and releases it; DRAGDROP_E_NOTREGISTERED when it had none.
QV_API HRESULT RevokeDragDrop(HWND window) noexcept;

// One turn of a scripted drag.
struct QvDragStep {
  DWORD keyState = MK_LBUTTON;  // MK_* bits held during this step
  HWND window = nullptr;        // the window under the pointer; null: over no drop window
  POINTL point{0, 0};           // the pointer, in screen coordinates
  bool escape = false;          // Esc pressed in this step
};

// Sets the script the next DoDragDrop of this process follows (it is used once).
QV_API void QvSetDragScript(std::vector<QvDragStep> steps);

// Runs the drag loop over `data`: DRAGDROP_S_DROP with the effect the target performed (always
// one of `allowedEffects`; DROPEFFECT_NONE when the target refused the data or its drop
// failed), or DRAGDROP_S_CANCEL with DROPEFFECT_NONE. E_INVALIDARG for a missing argument or
// no allowed effect; E_UNEXPECTED when a drag of this process is already running. A failing
// QueryContinueDrag ends the drag with that result, as a cancel.
QV_API HRESULT DoDragDrop(IDataObject* data, IDropSource* source, DWORD allowedEffects,
                          DWORD* effect) noexcept;

// A drop from outside this process (the desktop's drag and drop) onto `window`, as one move of a
// hand: the window's target is entered and dragged over at `point` with `keyState` and the left
// button held, then dropped on with the button released. The effect performed, one of
// `allowedEffects`; DROPEFFECT_NONE when the window takes no drops, or its target refused the
// data or failed the drop.
QV_API DWORD QvDropFromOutside(HWND window, IDataObject* data, DWORD allowedEffects, DWORD keyState,
                               POINTL point) noexcept;
