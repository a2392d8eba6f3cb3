// Message boxes through a replaceable back end.
#include "platform/MessageBox.h"

#include <atomic>
#include <cstdio>

namespace {

int DefaultButton(UINT type) {
  const bool second = (type & MB_DEFBUTTON2) != 0;
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return second ? IDCANCEL : IDOK;
    case MB_YESNO:
      return second ? IDNO : IDYES;
    case MB_YESNOCANCEL:
      return second ? IDNO : IDYES;
    case MB_RETRYCANCEL:
      return second ? IDCANCEL : IDRETRY;
    case MB_ABORTRETRYIGNORE:
      return second ? IDRETRY : IDABORT;
    default:
      return IDOK;
  }
}

int StandardErrorBox(HWND, const char* text, const char* caption, UINT type) {
  std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "Error",
               text != nullptr ? text : "");
  return DefaultButton(type);
}

std::atomic<MessageBoxHandler> g_handler{nullptr};

}  // namespace

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  const MessageBoxHandler handler = g_handler.load();
  return handler != nullptr ? handler(owner, text, caption, type)
                            : StandardErrorBox(owner, text, caption, type);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  return g_handler.exchange(handler);
}
