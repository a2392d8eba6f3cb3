// Page dialogs on the desktop: the real sharing page in a browser-engine view inside the
// dialog's window on a private X server. The dialog fills the page and reads it through the
// host; the user's typing and clicks are played in the page itself; what the dialog did is read
// back from the item through the library. Hostile values, foreign requests and navigations, and
// a page that never loads are tried against the host, with a loopback listener that must never
// be reached.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/DialogResources.h"
#include "base/PageResources.h"
#include "platform/AsciiCase.h"
#include "platform/Kernel.h"
#include "platform/ui/DHtmlDialog.h"
#include "platform/ui/desktop/DesktopBackend.h"
#include "sharing/CSelectUsers.h"
#include "suite/QvDialogIds.h"
#include "tests/desktop/DesktopSession.h"
#include "tests/desktop/SharingPage.h"
#include "tests/sharing/SharingFixture.h"

namespace {

using namespace page_test;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Names = std::vector<std::string>;

constexpr int kAppearMs = 30000;
// The first page of a process starts the engine's own processes, which a loaded machine
// takes a while to do.
constexpr int kLoadMs = 60000;

// A page dialog shows once its page has loaded and the dialog has filled it.
HWND AwaitPageDialog() { return AwaitDialog(IDD_SELECT_USERS, kLoadMs); }

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

class WebPageTest : public sharing_test::SharingFixture {
 protected:
  void SetUp() override {
    accountPrefix_ = ".\\";
    accountType_ = QvAccountType::Computer;
    SharingFixture::SetUp();
    ASSERT_TRUE(desktop_);
  }
  std::string Host() const {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    EXPECT_TRUE(GetComputerNameA(name, &size));
    return ToUpperAscii(std::string(name, size));
  }
  DesktopSession desktop_;
};

TEST_F(WebPageTest, TheSharingDialogShowsItsPageAndWhatTheUserDoesThereReachesTheItem) {
  const std::string qvf = EncryptedFile(alice_, "plan.txt");
  const std::string alice = Json(Host() + "\\alice");
  const std::string bob = Json(Host() + "\\bob");
  DesktopBackend* desktop = &*desktop_;
  std::thread user([&] {
    const HWND dialog = AwaitPageDialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(desktop->WaitForPage(dialog, kLoadMs)) << "the page never loaded";
    ASSERT_TRUE(desktop->WaitForWindow(dialog, kAppearMs));
    EXPECT_EQ(desktop->PageUri(dialog), "qvpage://page/SelectUsers.htm");
    // The page's own texts of the user's language, and the list the dialog filled.
    std::string last;
    EXPECT_TRUE(AwaitScript(desktop, dialog, kUsersShown, "[" + alice + "]", &last)) << last;
    EXPECT_TRUE(AwaitScript(desktop, dialog,
                            "return [document.documentElement.dataset.texts,"
                            " document.getElementById('Quorvin_BtnAddUser_Lbl').textContent,"
                            " document.getElementById('Quorvin_CmbLookIn').options.length];",
                            R"(["loaded","Add User",1])", &last))
        << last;
    // With one user, Remove is greyed: the dialog's status script reached the page.
    EXPECT_TRUE(AwaitScript(desktop, dialog,
                            "return document.getElementById('Quorvin_BtnRemoveUser').disabled;",
                            "true"));

    TypeIn(desktop, dialog, kElementUserName, "bob");
    ClickButton(desktop, dialog, kElementAddUser);
    EXPECT_TRUE(AwaitScript(desktop, dialog, kUsersShown, "[" + alice + "," + bob + "]", &last))
        << last;
    // The dialog cleared the name box after adding.
    EXPECT_TRUE(AwaitScript(
        desktop, dialog, "return document.getElementById('Quorvin_EditUserName').value;", "\"\""));
    // The page's background picture alone gives far more than an empty window's bytes.
    Screenshot(*desktop, dialog, "sharing-page", 20000);
    ClickButton(desktop, dialog, kElementOK);
  });
  CSelectUsers dialog({qvf}, "alice", ".\\alice");
  const INT_PTR closedWith = dialog.DoModal();
  user.join();
  EXPECT_EQ(closedWith, IDOK);
  EXPECT_EQ(qvtest::FileUsers(qvf), (Names{"alice", "bob"}));
}

// ---- A page of the test's own, to try the host ----

// A loopback listener that counts who reached it.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd_, 16), 0);
    EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  int Port() const { return port_; }
  // Connections that arrived, waiting up to `ms` for the first.
  int Reached(int ms) {
    int count = 0;
    pollfd waiting{fd_, POLLIN, 0};
    while (poll(&waiting, 1, count == 0 ? ms : 0) > 0) {
      const int client = accept(fd_, nullptr, nullptr);
      if (client < 0) break;
      close(client);
      ++count;
    }
    return count;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// The real bridge (which reports the ids of the sharing page) and a page without a content policy
// of its own: only the host keeps it from reaching out.
PageSource ProbePage(int port, const std::string& extraScript = {}) {
  const std::string remote = "http://127.0.0.1:" + std::to_string(port);
  PageSource page;
  page.name = "Probe.htm";
  page.html =
      "<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
      "<link rel=\"preconnect\" href=\"" +
      remote +
      "/\">"
      "<link rel=\"dns-prefetch\" href=\"" +
      remote +
      "/\">"
      "<meta http-equiv=\"refresh\" content=\"0; url=" +
      remote +
      "/refresh\">"
      "<script src=\"PageBridge.js\"></script>" +
      extraScript +
      "</head><body><p id=\"text\">x</p><select id=\"Quorvin_CmbUsers\" size=\"4\"></select>"
      "<input id=\"box\" type=\"text\"><input id=\"Quorvin_BtnOK\" type=\"button\">"
      "<input id=\"Quorvin_BtnCancel\" type=\"button\">"
      "<img id=\"remote\" src=\"" +
      remote +
      "/image.gif\"><img id=\"local\" src=\"file:///etc/hostname\">"
      "<iframe src=\"" +
      remote +
      "/frame\"></iframe>"
      "<a id=\"link\" href=\"" +
      remote + "/link\">link</a></body></html>";
  const auto bridge = LoadPageResource("PageBridge.js");
  EXPECT_TRUE(bridge.has_value());
  if (bridge) page.files.emplace_back("PageBridge.js", std::string(*bridge));
  page.files.emplace_back("spin.js", "for (;;) {}");
  return page;
}

// A page dialog that drives the host from its own thread and keeps what it saw.
class ProbeDialog : public CDHtmlDialog {
 public:
  explicit ProbeDialog(PageSource page)
      : CDHtmlDialog(LoadDialogTemplate(IDD_SELECT_USERS), std::move(page), nullptr) {}

  std::vector<std::string> hostile;
  std::vector<std::string> readBack;  // getValue, optionText of each hostile value
  std::vector<int> numbers;           // counts and indexes the host answered
  std::vector<bool> answers;          // the host's yes/no answers
  std::vector<PageEvent> events;

 protected:
  void OnDocumentComplete() override {
    PageHost* page = Page();
    for (const std::string& value : hostile) {
      answers.push_back(page->SetValue("text", value));
      std::string text;
      answers.push_back(page->GetValue("text", &text));
      readBack.push_back(text);
      answers.push_back(page->AddOption(kElementUsers, value));
      answers.push_back(page->SetValue("box", value));
      answers.push_back(page->GetValue("box", &text));
      readBack.push_back(text);
    }
    for (int i = 0; i < static_cast<int>(hostile.size()); ++i) {
      std::string text;
      answers.push_back(page->OptionText(kElementUsers, i, &text));
      readBack.push_back(text);
    }
    std::string none;
    answers.push_back(page->OptionText(kElementUsers, static_cast<int>(hostile.size()), &none));
    answers.push_back(page->HasElement("nowhere"));
    answers.push_back(page->CallFunction("alert", "called"));
    answers.push_back(page->SelectOption(kElementUsers, 1));
    numbers.push_back(page->OptionCount(kElementUsers));
    numbers.push_back(page->OptionCount("text"));  // no list
    numbers.push_back(page->SelectedIndex(kElementUsers));
    answers.push_back(page->DeleteOption(kElementUsers, 0));
    numbers.push_back(page->OptionCount(kElementUsers));
    answers.push_back(page->SetEnabled("Quorvin_BtnCancel", false));
  }
  void OnPageEvent(const PageEvent& event) override { events.push_back(event); }
};

TEST_F(WebPageTest, ValuesReachThePageAsDataAndItsEventsReachTheDialogInOrder) {
  Listener listener;
  ProbeDialog dialog(ProbePage(listener.Port()));
  dialog.hostile = {"<img src=x onerror=\"document.title='owned'\">", "it's \"quoted\" \\ `x`",
                    "</script><script>document.title='owned'</script>"};
  DesktopBackend* desktop = &*desktop_;
  std::thread user([&] {
    const HWND hwnd = AwaitPageDialog();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(desktop->WaitForPage(hwnd, kLoadMs));
    // The dialog's calls have run once the list holds two options again.
    EXPECT_TRUE(AwaitScript(
        desktop, hwnd, "return document.getElementById('Quorvin_CmbUsers').options.length;", "2"));
    EXPECT_EQ(Script(desktop, hwnd,
                     "return [document.title, document.images.length,"
                     " document.scripts.length, document.getElementById('text').children.length,"
                     " document.getElementById('Quorvin_CmbUsers').options[0].children.length];"),
              R"(["",2,1,0,0])");
    // A click on a disabled button leaves no event; then a click and a change, in order.
    Script(desktop, hwnd, "document.getElementById('Quorvin_BtnCancel').click(); return 1;");
    Script(desktop, hwnd, "document.getElementById('Quorvin_BtnOK').click(); return 1;");
    SelectIn(desktop, hwnd, kElementUsers, 0);
    // The window's close box cancels a page dialog as any other.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(desktop->RequestClose(hwnd));
  });
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  user.join();
  const std::string& a = dialog.hostile[0];
  const std::string& b = dialog.hostile[1];
  const std::string& c = dialog.hostile[2];
  EXPECT_EQ(dialog.readBack, (Names{a, a, b, b, c, c, a, b, c}));
  const std::vector<bool> yes(15, true);
  const std::vector<bool> expected = [&] {
    std::vector<bool> all = yes;  // 5 per value
    all.insert(all.end(), {true, true, true, false, false, false, true, true, true});
    return all;
  }();
  EXPECT_EQ(dialog.answers, expected);
  EXPECT_EQ(dialog.numbers, (std::vector<int>{3, -1, 1, 2}));
  ASSERT_EQ(dialog.events.size(), 2u);
  EXPECT_EQ(dialog.events[0].id, "Quorvin_BtnOK");
  EXPECT_EQ(dialog.events[0].kind, PageEventKind::Click);
  EXPECT_EQ(dialog.events[1].id, kElementUsers);
  EXPECT_EQ(dialog.events[1].kind, PageEventKind::Change);
  EXPECT_EQ(listener.Reached(0), 0);
}

TEST_F(WebPageTest, EveryRequestAndNavigationBeyondThePageIsRefused) {
  Listener listener;
  const std::string remote = "http://127.0.0.1:" + std::to_string(listener.Port());
  ProbeDialog dialog(ProbePage(listener.Port()));
  DesktopBackend* desktop = &*desktop_;
  std::thread user([&] {
    const HWND hwnd = AwaitPageDialog();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(desktop->WaitForPage(hwnd, kLoadMs));
    const std::string fetched = Script(
        desktop, hwnd,
        "const tryFetch = u => fetch(u).then(r => r.ok ? 'read' : 'answered', () => 'refused');"
        "return Promise.all([tryFetch(remote + '/fetch'), tryFetch('file:///etc/hostname'),"
        " tryFetch('qvpage://page/PageBridge.js'), tryFetch('qvpage://page/sub/PageBridge.js'),"
        " tryFetch('qvpage://page/missing.js'), tryFetch('qvpage://other/PageBridge.js')]);",
        {{"remote", remote}});
    EXPECT_EQ(fetched, R"(["refused","refused","read","refused","refused","refused"])");
    // The remote picture and frame never loaded.
    EXPECT_EQ(Script(desktop, hwnd, "return document.getElementById('remote').naturalWidth;"), "0");
    // Links, scripts, a refresh and a reload try to leave; the page stays.
    Script(desktop, hwnd, "document.getElementById('link').click(); return 1;");
    Script(desktop, hwnd, "window.location.href = remote + '/script'; return 1;",
           {{"remote", remote}});
    Script(desktop, hwnd, "window.open(remote + '/window'); return 1;", {{"remote", remote}});
    // (The engine itself never lets a page of its own scheme open a local file.)
    Script(desktop, hwnd, "window.location.href = 'file:///etc/passwd'; return 1;");
    Script(desktop, hwnd, "window.location.reload(); return 1;");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(desktop->PageUri(hwnd), "qvpage://page/Probe.htm");
    // Still the same page, with what the dialog put there.
    EXPECT_EQ(
        Script(desktop, hwnd, "return document.getElementById('Quorvin_CmbUsers').options.length;"),
        "0");
    const std::vector<std::string> refused = desktop->RefusedPageRequests(hwnd);
    for (const std::string& wanted :
         {remote + "/frame", remote + "/refresh", remote + "/script",
          std::string("qvpage://page/Probe.htm"), std::string("qvpage://page/missing.js")})
      EXPECT_NE(std::find(refused.begin(), refused.end(), wanted), refused.end()) << wanted;
    EXPECT_TRUE(desktop->RequestClose(hwnd));
  });
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  user.join();
  EXPECT_EQ(listener.Reached(200), 0) << "a request reached the network";
}

TEST_F(WebPageTest, APageThatNeverLoadsEndsItsDialogAndEveryCallFails) {
  Listener listener;
  desktop_->SetPageLimits(3000, 2000);
  ProbeDialog dialog(ProbePage(listener.Port(), "<script src=\"spin.js\"></script>"));
  dialog.hostile = {"value"};
  const auto started = Clock::now();
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  // An upper bound of the wait, far above the limit: it ends, it does not hang.
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(30));
  EXPECT_EQ(dialog.readBack, Names(3, ""));
  for (const bool answer : dialog.answers) EXPECT_FALSE(answer);
  EXPECT_EQ(dialog.numbers, (std::vector<int>{-1, -1, -1, -1}));
}

}  // namespace
