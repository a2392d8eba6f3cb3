// The page dialog: its host created with the window, its events dispatched one per message.
#include "platform/ui/DHtmlDialog.h"

#include "platform/ui/Backend.h"

CDHtmlDialog::CDHtmlDialog(std::optional<DialogTemplate> dialogTemplate, PageSource page,
                           HWND parent)
    : CDialog(std::move(dialogTemplate), parent), source_(std::move(page)) {}

CDHtmlDialog::~CDHtmlDialog() = default;

BOOL CDHtmlDialog::OnInitDialog() {
  page_ = CreateDialogPage(m_hWnd, source_);
  // Without a page the dialog has nothing to show and nothing a user could do.
  if (page_ == nullptr) {
    EndDialog(IDCANCEL);
    return FALSE;
  }
  OnDocumentComplete();
  return TRUE;
}

LRESULT CDHtmlDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_QV_PAGE_EVENT) return CDialog::OnMessage(message, wParam, lParam);
  PageEvent event;
  if (page_ != nullptr && page_->TakeEvent(&event)) OnPageEvent(event);
  return 0;
}

void CDHtmlDialog::OnDocumentComplete() {}
void CDHtmlDialog::OnPageEvent(const PageEvent&) {}
