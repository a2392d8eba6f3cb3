// The pages of page dialogs on the desktop: each dialog's page in a browser-engine view, which
// the desktop back end puts into the dialog's window.
//
// The page and its scripts, style sheet, images and text documents are served from the private
// scheme "qvpage:" out of the files the dialog handed over (PageSource), and from nowhere else:
// every navigation but the page's own first load and every request that is not for one of
// those files is refused (policy decisions, a content rule that blocks every other address, the
// scheme handler that knows only the page's files), so a page can neither reach the network
// nor read this computer's files. What the page does not need is off: developer tools, context
// menu, new windows, script dialogs, permissions, hardware acceleration.
//
// Each host operation is one call of the page's bridge (window.qvPage.*) made with typed
// arguments: the script text is fixed, values travel as data. Calls made before the page has
// loaded wait for it; a page that does not load within its limit, a page whose process ends,
// or a call that does not come back within its limit fails every operation and ends the dialog
// as cancelled, so nothing waits for a page that cannot answer. Element events come back
// through the script message handler "qvPage" and are posted to the dialog as WM_QV_PAGE_EVENT.
//
// Threads: the views live on the GTK thread. A host's operations run on the dialog's thread,
// which posts each call to the GTK thread and waits for its answer, while the GTK thread stays
// free for the window (its close box and Escape keep working).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui/PageHost.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitURISchemeRequest WebKitURISchemeRequest;

struct PageLimits {
  int loadMs = 30000;  // from the host's creation until the page has loaded
  int callMs = 10000;  // one call into a loaded page
};

class WebPages {
 public:
  // Runs work on the GTK thread; false when that thread no longer runs.
  using Poster = std::function<bool(std::function<void()>)>;

  explicit WebPages(Poster post);
  // On the GTK thread, after every host has gone or with the loop stopped.
  ~WebPages();
  WebPages(const WebPages&) = delete;
  WebPages& operator=(const WebPages&) = delete;

  // The host of `dialog`'s page; its view is made and starts loading at once. Not on the GTK
  // thread. Null when the GTK thread no longer runs.
  std::unique_ptr<PageHost> CreateHost(HWND dialog, const PageSource& source);

  // GTK thread: the view of `dialog`'s page, or null.
  GtkWidget* ViewOf(HWND dialog) const;

  void SetLimits(PageLimits limits);
  PageLimits Limits() const;

  // ---- For tests and demonstrations; not on the GTK thread ----

  // True once `dialog`'s page has loaded; false when it failed or `timeoutMs` passed.
  bool WaitLoaded(HWND dialog, int timeoutMs);
  // Runs the caller's function body in the page with string arguments named as given and
  // returns its result as JSON. Never give it text that came from a user.
  bool RunScript(HWND dialog, const std::string& body,
                 const std::vector<std::pair<std::string, std::string>>& arguments,
                 std::string* json);
  // The address the view shows.
  std::string CurrentUri(HWND dialog);
  // What was refused so far: navigations and requests, by address.
  std::vector<std::string> Refused(HWND dialog);

  // ---- GTK thread ----
  struct Page;
  // Every page's view is let go, and the engine with them: the GTK thread is about to stop.
  void Shutdown();
  std::shared_ptr<Page> FindPage(const Page* page) const;
  // The dialog's host has gone: the view stops talking to it.
  void Release(const std::shared_ptr<Page>& page);

 private:
  struct Engine;
  std::shared_ptr<Page> Find(HWND dialog) const;
  void GuiCreate(const std::shared_ptr<Page>& page);
  void GuiStartLoad(const std::shared_ptr<Page>& page);
  Engine& GuiEngine();
  void GuiCompileFilter();
  void GuiServe(WebKitURISchemeRequest* request);

  Poster post_;
  mutable std::mutex lock_;
  std::vector<std::shared_ptr<Page>> pages_;
  PageLimits limits_;
  std::unique_ptr<Engine> engine_;  // GTK thread
};
