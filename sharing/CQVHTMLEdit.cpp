// The page text box wrapper.
#include "sharing/CQVHTMLEdit.h"

bool CQVHTMLEdit::GetValue(std::string* value) {
  PageHost* page = Bound();
  return page != nullptr && page->GetValue(Id(), value);
}

bool CQVHTMLEdit::SetValue(const std::string& value) {
  PageHost* page = Bound();
  if (page == nullptr || !page->SetValue(Id(), value)) return false;
  Status(kStatusChanged);
  return true;
}

bool CQVHTMLEdit::Show(bool show) {
  PageHost* page = Bound();
  if (page == nullptr || !page->SetVisible(Id(), show)) return false;
  Status(show ? kStatusVisible : kStatusHidden);
  return true;
}
