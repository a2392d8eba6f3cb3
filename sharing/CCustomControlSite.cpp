// The key rules of the page's site.
#include "sharing/CCustomControlSite.h"

namespace {

constexpr WPARAM kKeyBackspace = 0x08;
constexpr WPARAM kKeyEnter = 0x0D;
constexpr WPARAM kKeyF1 = 0x70;
constexpr WPARAM kKeyF12 = 0x7B;

}  // namespace

HRESULT CCustomControlSite::TranslateAccelerator(UINT message, WPARAM key,
                                                 KeyModifiers modifiers) const {
  if (message != WM_KEYDOWN) return S_FALSE;
  if (modifiers.ctrl) {
    const WPARAM code = key % 256;
    // Copy and paste (and the two codes the original site let through) reach the page, as
    // does anything typed with Alt (AltGr, which sends Ctrl with it, types characters).
    if (code == 'C' || code == 'V' || code == 118 || code == 99 || modifiers.leftAlt ||
        modifiers.rightAlt)
      return S_FALSE;
    return S_OK;
  }
  if (key >= kKeyF1 && key <= kKeyF12)
    return (keyMask_ & (1u << (key - kKeyF1))) != 0 ? S_OK : S_FALSE;
  if (key == kKeyBackspace) return (keyMask_ & kBackspaceBit) != 0 ? S_OK : S_FALSE;
  if (key == kKeyEnter) return (keyMask_ & kEnterBit) != 0 ? S_OK : S_FALSE;
  return S_FALSE;
}
