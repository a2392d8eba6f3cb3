// The sharing page's controls, seen from native code: each wrapper names one element (or one
// page function) of its dialog's page and binds to it on first use. A wrapper whose element
// the page lacks fails every operation and calls no script.
//
// After a change the page is told through the element's status script, "<id>_Status_Script",
// with one of the status codes below, so the page's own image buttons and titles follow.
#pragma once

#include <string>

#include "platform/ui/DHtmlDialog.h"

// Arguments of a status script.
inline constexpr const char* kStatusEnabled = "1";
inline constexpr const char* kStatusDisabled = "2";
inline constexpr const char* kStatusHidden = "3";
inline constexpr const char* kStatusVisible = "4";
inline constexpr const char* kStatusChanged = "5";

class CQVHTMLScript {
 public:
  CQVHTMLScript(CDHtmlDialog& dialog, std::string function)
      : dialog_(dialog), function_(std::move(function)) {}
  // Calls the page function with `argument`; false when the page is not there.
  bool Call(const std::string& argument);

 private:
  CDHtmlDialog& dialog_;
  std::string function_;
};

// What every element wrapper shares: the element id, the lazy binding and the status script.
class CQVHTMLElement {
 public:
  CQVHTMLElement(CDHtmlDialog& dialog, std::string id);
  const std::string& Id() const { return id_; }

 protected:
  // The page when the element is on it; null otherwise. Binds on first success.
  PageHost* Bound();
  void Status(const char* code) { (void)status_.Call(code); }

 private:
  CDHtmlDialog& dialog_;
  std::string id_;
  CQVHTMLScript status_;
  bool bound_ = false;
};
