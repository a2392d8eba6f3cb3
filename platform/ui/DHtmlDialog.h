// A dialog whose surface is an HTML page, in the manner of the Windows class library's DHTML
// dialog: the template gives the frame, the page gives everything inside it. The page host is
// created with the dialog's window (from the installed back end); OnDocumentComplete runs once
// it is there, and each element event reaches OnPageEvent on the dialog's thread.
#pragma once

#include <memory>

#include "platform/ui/Dialog.h"
#include "platform/ui/PageHost.h"

class CDHtmlDialog : public CDialog {
 public:
  CDHtmlDialog(std::optional<DialogTemplate> dialogTemplate, PageSource page, HWND parent);
  ~CDHtmlDialog() override;

  // The page host; null before the dialog starts and when it could not be created.
  PageHost* Page() const { return page_.get(); }

 protected:
  BOOL OnInitDialog() override;
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  // The page is there: fill it. The default does nothing.
  virtual void OnDocumentComplete();
  virtual void OnPageEvent(const PageEvent& event);

 private:
  PageSource source_;
  std::unique_ptr<PageHost> page_;
};
