// ReleaseStgMedium.
#include "platform/ole/DataObject.h"

#include "platform/ole/Stream.h"

void ReleaseStgMedium(STGMEDIUM* medium) noexcept {
  if (medium == nullptr) return;
  if (medium->tymed == TYMED_ISTREAM && medium->pstm != nullptr) medium->pstm->Release();
  if (medium->pUnkForRelease != nullptr) {
    medium->pUnkForRelease->Release();
  } else if (medium->tymed == TYMED_HGLOBAL && medium->hGlobal != nullptr) {
    (void)GlobalFree(medium->hGlobal);
  }
  medium->tymed = TYMED_NULL;
  medium->pData = nullptr;
  medium->pUnkForRelease = nullptr;
}
