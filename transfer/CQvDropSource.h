// Steers a drag that starts in a container view: it ends the drag when the buttons that
// started it are let go or Esc is pressed, and tells the drag's data object which effect the
// hand asks for (a left drag a move, with Ctrl a copy; a right drag offers both).
#pragma once

#include "platform/Com.h"
#include "platform/ole/DragDrop.h"
#include "transfer/CQvDataObject.h"

struct IQvDropSource : IUnknown {
  static constexpr IID kIid =
      MakeGuid(0x2A95C7E3, 0x8F14, 0x4B6D, 0xB0, 0x27, 0x5E, 0x19, 0xC4, 0xA3, 0x6D, 0x81);

 protected:
  ~IQvDropSource() = default;
};

class CQvDropSource final : public ComObject<IQvDropSource, IDropSource> {
 public:
  [[nodiscard]] static HRESULT CreateInstance(REFIID riid, void** ppv,
                                              ComModule* module = nullptr) noexcept;
  explicit CQvDropSource(ComModule* module) : ComObject(module) {}

  // Set-up: the data object the drag carries, whose preferred effect follows the keys.
  void SetDataObject(CQvDataObject* data) { data_ = ComPtr<CQvDataObject>(data); }

  HRESULT QueryContinueDrag(BOOL escapePressed, DWORD keyState) override;
  HRESULT GiveFeedback(DWORD effect) override;

 private:
  // The effect the data object prefers for a drag with these keys.
  void PreferFor(DWORD keyState);

  ComPtr<CQvDataObject> data_;
  DWORD initialButtons_ = 0;
  bool started_ = false;
};
