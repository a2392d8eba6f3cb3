// A button of the page (an input element the page's image button drives).
#pragma once

#include "sharing/CQVHTMLScript.h"

class CQVHTMLButton : public CQVHTMLElement {
 public:
  using CQVHTMLElement::CQVHTMLElement;
  // Enables or disables the button, then status "1" or "2"; false without the element.
  bool Enable(bool enable);
};
