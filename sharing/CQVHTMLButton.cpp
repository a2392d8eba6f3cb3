// The page button wrapper.
#include "sharing/CQVHTMLButton.h"

bool CQVHTMLButton::Enable(bool enable) {
  PageHost* page = Bound();
  if (page == nullptr || !page->SetEnabled(Id(), enable)) return false;
  Status(enable ? kStatusEnabled : kStatusDisabled);
  return true;
}
