// Calls into the page and the binding every element wrapper shares.
#include "sharing/CQVHTMLScript.h"

bool CQVHTMLScript::Call(const std::string& argument) {
  PageHost* page = dialog_.Page();
  return page != nullptr && page->CallFunction(function_, argument);
}

CQVHTMLElement::CQVHTMLElement(CDHtmlDialog& dialog, std::string id)
    : dialog_(dialog), id_(std::move(id)), status_(dialog, id_ + "_Status_Script") {}

PageHost* CQVHTMLElement::Bound() {
  PageHost* page = dialog_.Page();
  if (page == nullptr) return nullptr;
  if (!bound_) bound_ = page->HasElement(id_);
  return bound_ ? page : nullptr;
}
