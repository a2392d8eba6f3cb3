// A text box of the page.
#pragma once

#include <string>

#include "sharing/CQVHTMLScript.h"

class CQVHTMLEdit : public CQVHTMLElement {
 public:
  using CQVHTMLElement::CQVHTMLElement;
  // False without the element.
  bool GetValue(std::string* value);
  // Sets the value, then status "5".
  bool SetValue(const std::string& value);
  // Shows or hides the box, then status "4" or "3".
  bool Show(bool show);
};
