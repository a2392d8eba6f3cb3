// A list of the page (a select element): its options edited in place.
#pragma once

#include <string>

#include "sharing/CQVHTMLScript.h"

class CQVHTMLComboBox : public CQVHTMLElement {
 public:
  using CQVHTMLElement::CQVHTMLElement;
  // Appends an option showing `text` literally, then status "5".
  bool AddItem(const std::string& text);
  // -1 without the element.
  int ItemCount();
  // -1 for none, and without the element.
  int SelectedIndex();
  bool Select(int index);
  bool TextAt(int index, std::string* text);
  bool DeleteAt(int index);
  bool RemoveAll();
  // Shows or hides the list, then status "4" or "3".
  bool Show(bool show);
};
