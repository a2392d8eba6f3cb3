// What a user does in the sharing page of a dialog on the desktop, played in the page itself
// through the back end's view: typing into a field, clicking an image button, picking from a
// list; and scripts polled until the page shows what a test waits for.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ui/desktop/DesktopBackend.h"

namespace page_test {

// Polls `script` (a function body returning JSON-comparable data) until it gives `wanted`.
inline bool AwaitScript(DesktopBackend* desktop, HWND dialog, const std::string& script,
                        const std::string& wanted, std::string* last = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string json;
  while (std::chrono::steady_clock::now() < deadline) {
    if (desktop->RunPageScript(dialog, script, {}, &json) && json == wanted) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (last != nullptr) *last = json;
  return false;
}

inline std::string Script(DesktopBackend* desktop, HWND dialog, const std::string& body,
                          const std::vector<std::pair<std::string, std::string>>& arguments = {}) {
  std::string json;
  EXPECT_TRUE(desktop->RunPageScript(dialog, body, arguments, &json)) << body;
  return json;
}

// What a user does in the page: types into a field, clicks an image button.
inline void TypeIn(DesktopBackend* desktop, HWND dialog, const std::string& id,
                   const std::string& text) {
  Script(desktop, dialog,
         "const e = document.getElementById(id); e.focus(); e.value = text;"
         "e.dispatchEvent(new Event('input', {bubbles: true})); return true;",
         {{"id", id}, {"text", text}});
}
inline void ClickButton(DesktopBackend* desktop, HWND dialog, const std::string& id) {
  Script(desktop, dialog,
         "document.querySelector('.imgbtn[data-for=\"' + id + '\"]').click(); return true;",
         {{"id", id}});
}
inline void SelectIn(DesktopBackend* desktop, HWND dialog, const std::string& id, int index) {
  Script(desktop, dialog,
         "const e = document.getElementById(id); e.selectedIndex = Number(index);"
         "e.dispatchEvent(new Event('change', {bubbles: true})); return true;",
         {{"id", id}, {"index", std::to_string(index)}});
}

inline constexpr const char* kUsersShown =
    "return Array.from(document.getElementById('Quorvin_CmbUsers').options,"
    " o => o.textContent);";

}  // namespace page_test
