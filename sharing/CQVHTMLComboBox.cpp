// The page list wrapper.
#include "sharing/CQVHTMLComboBox.h"

bool CQVHTMLComboBox::AddItem(const std::string& text) {
  PageHost* page = Bound();
  if (page == nullptr || !page->AddOption(Id(), text)) return false;
  Status(kStatusChanged);
  return true;
}

int CQVHTMLComboBox::ItemCount() {
  PageHost* page = Bound();
  return page != nullptr ? page->OptionCount(Id()) : -1;
}

int CQVHTMLComboBox::SelectedIndex() {
  PageHost* page = Bound();
  return page != nullptr ? page->SelectedIndex(Id()) : -1;
}

bool CQVHTMLComboBox::Select(int index) {
  PageHost* page = Bound();
  return page != nullptr && page->SelectOption(Id(), index);
}

bool CQVHTMLComboBox::TextAt(int index, std::string* text) {
  PageHost* page = Bound();
  return page != nullptr && page->OptionText(Id(), index, text);
}

bool CQVHTMLComboBox::DeleteAt(int index) {
  PageHost* page = Bound();
  return page != nullptr && page->DeleteOption(Id(), index);
}

bool CQVHTMLComboBox::RemoveAll() {
  PageHost* page = Bound();
  return page != nullptr && page->RemoveAllOptions(Id());
}

bool CQVHTMLComboBox::Show(bool show) {
  PageHost* page = Bound();
  if (page == nullptr || !page->SetVisible(Id(), show)) return false;
  Status(show ? kStatusVisible : kStatusHidden);
  return true;
}
