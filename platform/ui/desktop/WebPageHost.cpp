// The page views: the engine's shared parts (context with the private scheme, a session that
// keeps nothing, the content rule), one view per page dialog, and the host the dialog's thread
// calls through.
//
// Threads: everything named Gui* and every engine call runs on the GTK thread; the host's
// operations post to it and wait (see WebPageHost.h).
#include "platform/ui/desktop/WebPageHost.h"

#include <glib/gstdio.h>
#include <webkit/webkit.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <optional>
#include <thread>

#include "platform/MessageBox.h"
#include "platform/Window.h"
#include "platform/ui/Backend.h"

namespace {

constexpr const char* kScheme = "qvpage";
// Every page is served from this one origin, so its files reach one another as its own.
constexpr const char* kOrigin = "qvpage://page/";
constexpr const char* kBridgeHandler = "qvPage";
// Events waiting for the dialog beyond this many are dropped: no user clicks that fast.
constexpr std::size_t kMaxPendingEvents = 1024;

// Blocks every address, then lets the page's own origin through again.
constexpr const char* kContentRules =
    R"([{"trigger":{"url-filter":".*"},"action":{"type":"block"}},)"
    R"({"trigger":{"url-filter":"^qvpage://page/"},"action":{"type":"ignore-previous-rules"}}])";

const char* ContentTypeOf(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (ext == "htm" || ext == "html") return "text/html";
  if (ext == "js") return "text/javascript";
  if (ext == "css") return "text/css";
  if (ext == "xml") return "application/xml";
  if (ext == "gif") return "image/gif";
  if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
  if (ext == "png") return "image/png";
  return "application/octet-stream";
}

// What a call into the page gave back.
struct Reply {
  bool ok = false;       // the call ran and returned
  bool isValue = false;  // neither null nor undefined
  bool boolean = false;
  int number = -1;
  bool isString = false;
  std::string text;
  std::string json;
};

using Arguments = std::shared_ptr<GVariant>;

Arguments Args(GVariantBuilder* builder) {
  return Arguments(g_variant_ref_sink(g_variant_builder_end(builder)), g_variant_unref);
}

class ArgumentList {
 public:
  ArgumentList() { g_variant_builder_init(&builder_, G_VARIANT_TYPE_VARDICT); }
  ArgumentList& Text(const char* name, const std::string& value) {
    g_variant_builder_add(&builder_, "{sv}", name, g_variant_new_string(value.c_str()));
    return *this;
  }
  ArgumentList& Number(const char* name, int value) {
    g_variant_builder_add(&builder_, "{sv}", name, g_variant_new_int32(value));
    return *this;
  }
  // The engine takes no boolean arguments: a flag travels as 0 or 1 and the script compares.
  ArgumentList& Flag(const char* name, bool value) { return Number(name, value ? 1 : 0); }
  Arguments End() { return Args(&builder_); }

 private:
  GVariantBuilder builder_;
};

}  // namespace

// ---- The shared state of one page ----

struct WebPages::Page {
  WebPages* owner = nullptr;
  HWND dialog = nullptr;
  std::string name;
  std::string uri;
  std::string html;
  std::vector<std::pair<std::string, std::string>> files;

  // GTK thread.
  WebKitWebView* view = nullptr;
  WebKitUserContentManager* content = nullptr;
  bool navigated = false;                      // the page's own load was let through; no other is
  std::vector<std::function<void()>> waiting;  // calls made before the page loaded
  guint loadTimer = 0;
  bool released = false;
  bool ended = false;  // failed, and its dialog told to close

  enum class State { Loading, Loaded, Failed };
  std::mutex lock;  // the fields below
  std::condition_variable changed;
  State state = State::Loading;
  std::string failure;
  std::deque<PageEvent> events;
  std::vector<std::string> refused;

  State Current() {
    std::lock_guard<std::mutex> guard(lock);
    return state;
  }
  void Refuse(const std::string& what) {
    std::lock_guard<std::mutex> guard(lock);
    if (refused.size() < kMaxPendingEvents) refused.push_back(what);
  }
  // Marks the page failed, keeping the first reason.
  void MarkFailed(const std::string& why) {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (state == State::Failed) return;
      state = State::Failed;
      failure = why;
    }
    changed.notify_all();
  }
};

// ---- The engine's shared parts (GTK thread) ----

struct WebPages::Engine {
  WebKitWebContext* context = nullptr;
  WebKitNetworkSession* session = nullptr;
  WebKitUserContentFilterStore* store = nullptr;
  std::string storePath;
  WebKitUserContentFilter* filter = nullptr;
  bool filterFailed = false;
  bool compiling = false;
  std::vector<std::shared_ptr<Page>> waitingForFilter;

  ~Engine() {
    if (filter != nullptr) webkit_user_content_filter_unref(filter);
    if (store != nullptr) g_object_unref(store);
    if (session != nullptr) g_object_unref(session);
    if (context != nullptr) g_object_unref(context);
    // The compiled rule is a file of its own in a folder only this process uses.
    if (!storePath.empty()) {
      if (GDir* dir = g_dir_open(storePath.c_str(), 0, nullptr)) {
        while (const char* entry = g_dir_read_name(dir)) {
          char* path = g_build_filename(storePath.c_str(), entry, nullptr);
          g_remove(path);
          g_free(path);
        }
        g_dir_close(dir);
      }
      g_rmdir(storePath.c_str());
    }
  }
};

namespace {

using Page = WebPages::Page;

void GuiFail(const std::shared_ptr<Page>& page, const std::string& why);

WebKitSettings* NewSettings() {
  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_enable_javascript(settings, TRUE);  // the page's scripts draw it
  webkit_settings_set_enable_developer_extras(settings, FALSE);
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
  webkit_settings_set_javascript_can_access_clipboard(settings, FALSE);
  webkit_settings_set_allow_modal_dialogs(settings, FALSE);
  webkit_settings_set_allow_file_access_from_file_urls(settings, FALSE);
  webkit_settings_set_allow_universal_access_from_file_urls(settings, FALSE);
  webkit_settings_set_allow_top_navigation_to_data_urls(settings, FALSE);
  webkit_settings_set_enable_html5_database(settings, FALSE);
  webkit_settings_set_enable_html5_local_storage(settings, FALSE);
  webkit_settings_set_enable_page_cache(settings, FALSE);
  webkit_settings_set_enable_fullscreen(settings, FALSE);
  webkit_settings_set_enable_webaudio(settings, FALSE);
  webkit_settings_set_enable_webgl(settings, FALSE);
  webkit_settings_set_enable_webrtc(settings, FALSE);
  webkit_settings_set_enable_media(settings, FALSE);
  webkit_settings_set_enable_media_stream(settings, FALSE);
  webkit_settings_set_enable_mediasource(settings, FALSE);
  webkit_settings_set_enable_encrypted_media(settings, FALSE);
  webkit_settings_set_enable_back_forward_navigation_gestures(settings, FALSE);
  webkit_settings_set_enable_site_specific_quirks(settings, FALSE);
  webkit_settings_set_enable_write_console_messages_to_stdout(settings, FALSE);
  // Nothing connects ahead of a request: there is no request beyond the page's own files.
  WebKitFeatureList* features = webkit_settings_get_all_features();
  for (gsize i = 0; i < webkit_feature_list_get_length(features); ++i) {
    WebKitFeature* feature = webkit_feature_list_get(features, i);
    const std::string id = webkit_feature_get_identifier(feature);
    if (id == "LinkPreconnect" || id == "LinkDNSPrefetch" || id == "LinkPrefetch" ||
        id == "LinkPreconnectEarlyHints")
      webkit_settings_set_feature_enabled(settings, feature, FALSE);
  }
  webkit_feature_list_unref(features);
  // A dialog needs no graphics card, and a display without one must show it too.
  webkit_settings_set_hardware_acceleration_policy(settings,
                                                   WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  return settings;
}

Reply ReplyOf(JSCValue* value) {
  Reply reply;
  reply.ok = true;
  reply.isValue = !jsc_value_is_null(value) && !jsc_value_is_undefined(value);
  if (jsc_value_is_boolean(value)) reply.boolean = jsc_value_to_boolean(value) != FALSE;
  if (jsc_value_is_number(value)) reply.number = jsc_value_to_int32(value);
  if (jsc_value_is_string(value)) {
    reply.isString = true;
    char* text = jsc_value_to_string(value);
    reply.text = text != nullptr ? text : "";
    g_free(text);
  }
  if (char* json = jsc_value_to_json(value, 0)) {
    reply.json = json;
    g_free(json);
  }
  return reply;
}

struct PendingCall {
  std::shared_ptr<Page> page;
  std::shared_ptr<std::promise<Reply>> promise;
  Arguments arguments;
};

void OnCallDone(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PendingCall> call(static_cast<PendingCall*>(data));
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source),
                                                                          result, &error);
  if (value == nullptr) {
    g_clear_error(&error);
    call->promise->set_value(Reply{});
    return;
  }
  call->promise->set_value(ReplyOf(value));
  g_object_unref(value);
}

// Runs `body` in the page once it has loaded; answers at once when it failed.
void GuiCall(const std::shared_ptr<Page>& page, const std::string& body, Arguments arguments,
             std::shared_ptr<std::promise<Reply>> promise) {
  const Page::State state = page->Current();
  if (state == Page::State::Failed || page->released || page->view == nullptr) {
    promise->set_value(Reply{});
    return;
  }
  if (state == Page::State::Loading) {
    page->waiting.push_back(
        [page, body, arguments, promise] { GuiCall(page, body, arguments, promise); });
    return;
  }
  auto* call = new PendingCall{page, std::move(promise), arguments};
  webkit_web_view_call_async_javascript_function(page->view, body.c_str(), -1, arguments.get(),
                                                 nullptr, page->uri.c_str(), nullptr, OnCallDone,
                                                 call);
}

void GuiRunWaiting(const std::shared_ptr<Page>& page) {
  std::vector<std::function<void()>> waiting;
  waiting.swap(page->waiting);
  for (auto& call : waiting) call();
}

void GuiStopTimer(Page& page) {
  if (page.loadTimer != 0) g_source_remove(page.loadTimer);
  page.loadTimer = 0;
}

// The page cannot be used: every call fails from now on, its process is ended and its dialog
// is closed as cancelled, changing nothing.
void GuiFail(const std::shared_ptr<Page>& page, const std::string& why) {
  page->MarkFailed(why);  // the dialog's thread may have marked it already, with its reason
  GuiStopTimer(*page);
  GuiRunWaiting(page);
  if (page->ended || page->released) return;
  page->ended = true;
  std::string reason;
  {
    std::lock_guard<std::mutex> guard(page->lock);
    reason = page->failure;
  }
  std::fprintf(stderr, "The page %s cannot be shown (%s); its dialog is closed.\n",
               page->name.c_str(), reason.c_str());
  if (page->view != nullptr) webkit_web_view_terminate_web_process(page->view);
  if (!EndModalDialog(page->dialog, IDCANCEL)) CloseDialogBySystemMenu(page->dialog);
}

// ---- Signals of a view ----

gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                        WebKitPolicyDecisionType type, gpointer data) {
  auto* page = static_cast<Page*>(data);
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
    auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    const char* uri =
        webkit_uri_request_get_uri(webkit_response_policy_decision_get_request(response));
    const std::string address = uri != nullptr ? uri : "";
    // Nothing is ever saved as a download.
    if (address.starts_with(kOrigin) &&
        webkit_response_policy_decision_is_mime_type_supported(response)) {
      webkit_policy_decision_use(decision);
    } else {
      page->Refuse(address);
      webkit_policy_decision_ignore(decision);
    }
    return TRUE;
  }
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  const std::string address = uri != nullptr ? uri : "";
  // The page's own first load is the only navigation there ever is: a second one (a reload, a
  // link, a script) would show a page the dialog did not fill.
  if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && !page->navigated &&
      address == page->uri) {
    page->navigated = true;
    webkit_policy_decision_use(decision);
  } else {
    page->Refuse(address);
    webkit_policy_decision_ignore(decision);
  }
  return TRUE;
}

void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  if (event != WEBKIT_LOAD_FINISHED) return;
  auto* raw = static_cast<Page*>(data);
  std::shared_ptr<Page> page = raw->owner->FindPage(raw);
  if (page == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(page->lock);
    if (page->state != Page::State::Loading) return;
    page->state = Page::State::Loaded;
  }
  page->changed.notify_all();
  GuiStopTimer(*page);
  GuiRunWaiting(page);
}

gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, const char* uri, GError* error,
                      gpointer data) {
  auto* raw = static_cast<Page*>(data);
  // Only the page's own load counts; a refused navigation away from it leaves it as it was.
  if (uri == nullptr || raw->uri != uri || raw->Current() != Page::State::Loading) return FALSE;
  if (std::shared_ptr<Page> page = raw->owner->FindPage(raw))
    GuiFail(page, std::string("it did not load: ") + (error != nullptr ? error->message : "?"));
  return TRUE;
}

void OnProcessEnded(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data) {
  auto* raw = static_cast<Page*>(data);
  if (std::shared_ptr<Page> page = raw->owner->FindPage(raw))
    GuiFail(page, "the page's process ended");
}

// The page's title strip moves its window, which has no title bar of its own: the window
// manager takes over the press while the button is still held.
void BeginWindowMove(GtkWidget* view) {
  GtkNative* native = gtk_widget_get_native(view);
  GdkSurface* surface = native != nullptr ? gtk_native_get_surface(native) : nullptr;
  if (surface == nullptr || !GDK_IS_TOPLEVEL(surface)) return;
  GdkSeat* seat = gdk_display_get_default_seat(gdk_surface_get_display(surface));
  GdkDevice* pointer = seat != nullptr ? gdk_seat_get_pointer(seat) : nullptr;
  double x = 0;
  double y = 0;
  GdkModifierType held{};
  if (pointer == nullptr || !gdk_surface_get_device_position(surface, pointer, &x, &y, &held) ||
      (held & GDK_BUTTON1_MASK) == 0)
    return;
  gdk_toplevel_begin_move(GDK_TOPLEVEL(surface), pointer, GDK_BUTTON_PRIMARY, x, y,
                          GDK_CURRENT_TIME);
}

void OnBridgeMessage(WebKitUserContentManager*, JSCValue* message, gpointer data) {
  auto* page = static_cast<Page*>(data);
  if (!jsc_value_is_object(message)) return;
  JSCValue* idValue = jsc_value_object_get_property(message, "id");
  JSCValue* eventValue = jsc_value_object_get_property(message, "event");
  std::optional<PageEvent> event;
  if (jsc_value_is_string(idValue) && jsc_value_is_string(eventValue)) {
    char* id = jsc_value_to_string(idValue);
    char* kind = jsc_value_to_string(eventValue);
    const std::string what = kind != nullptr ? kind : "";
    if (what == "drag") BeginWindowMove(GTK_WIDGET(page->view));
    if (id != nullptr && (what == "click" || what == "change"))
      event = PageEvent{id, what == "click" ? PageEventKind::Click : PageEventKind::Change};
    g_free(id);
    g_free(kind);
  }
  g_object_unref(idValue);
  g_object_unref(eventValue);
  if (!event.has_value()) return;
  {
    std::lock_guard<std::mutex> guard(page->lock);
    if (page->state == Page::State::Failed || page->events.size() >= kMaxPendingEvents) return;
    page->events.push_back(std::move(*event));
  }
  PostMessageA(page->dialog, WM_QV_PAGE_EVENT, 0, 0);
}

gboolean Refuse(WebKitWebView*, gpointer) { return TRUE; }  // handled: nothing is shown

gboolean OnPermission(WebKitWebView*, WebKitPermissionRequest* request, gpointer) {
  webkit_permission_request_deny(request);
  return TRUE;
}

gboolean OnFileChooser(WebKitWebView*, WebKitFileChooserRequest* request, gpointer) {
  webkit_file_chooser_request_cancel(request);
  return TRUE;
}

GtkWidget* OnCreate(WebKitWebView*, WebKitNavigationAction*, gpointer) { return nullptr; }

}  // namespace

// ---- The host (the dialog's thread) ----

namespace {

class WebPageHost final : public PageHost {
 public:
  WebPageHost(WebPages::Poster post, std::shared_ptr<Page> page, std::function<PageLimits()> limits)
      : post_(std::move(post)), page_(std::move(page)), limits_(std::move(limits)) {}
  ~WebPageHost() override;
  WebPageHost(const WebPageHost&) = delete;
  WebPageHost& operator=(const WebPageHost&) = delete;

  bool HasElement(const std::string& id) const override {
    return Boolean("return window.qvPage.hasElement(id);", ArgumentList().Text("id", id));
  }
  bool GetValue(const std::string& id, std::string* value) const override {
    const auto reply =
        Invoke("return window.qvPage.hasElement(id) ? window.qvPage.getValue(id) : null;",
               ArgumentList().Text("id", id));
    if (!reply.has_value() || !reply->isString) return false;
    if (value != nullptr) *value = reply->text;
    return true;
  }
  bool SetValue(const std::string& id, const std::string& value) override {
    return Boolean("return window.qvPage.setValue(id, text);",
                   ArgumentList().Text("id", id).Text("text", value));
  }
  bool SetEnabled(const std::string& id, bool enabled) override {
    return Boolean("return window.qvPage.setEnabled(id, enabled === 1);",
                   ArgumentList().Text("id", id).Flag("enabled", enabled));
  }
  bool SetVisible(const std::string& id, bool visible) override {
    return Boolean("return window.qvPage.setVisible(id, visible === 1);",
                   ArgumentList().Text("id", id).Flag("visible", visible));
  }
  bool AddOption(const std::string& id, const std::string& text) override {
    return Boolean("return window.qvPage.addOption(id, text);",
                   ArgumentList().Text("id", id).Text("text", text));
  }
  // The bridge counts 0 for anything that is no list; the host says -1 there.
  int OptionCount(const std::string& id) const override {
    return Number(
        "const e = document.getElementById(id);"
        "return e && e.tagName === 'SELECT' ? window.qvPage.optionCount(id) : -1;",
        ArgumentList().Text("id", id));
  }
  int SelectedIndex(const std::string& id) const override {
    return Number("return window.qvPage.selectedIndex(id);", ArgumentList().Text("id", id));
  }
  bool SelectOption(const std::string& id, int index) override {
    return Boolean("return window.qvPage.selectOption(id, index);",
                   ArgumentList().Text("id", id).Number("index", index));
  }
  // An option's text may be empty, so an index out of range answers null, not "".
  bool OptionText(const std::string& id, int index, std::string* text) const override {
    const auto reply = Invoke(
        "return index >= 0 && index < window.qvPage.optionCount(id) ?"
        " window.qvPage.optionText(id, index) : null;",
        ArgumentList().Text("id", id).Number("index", index));
    if (!reply.has_value() || !reply->isString) return false;
    if (text != nullptr) *text = reply->text;
    return true;
  }
  bool DeleteOption(const std::string& id, int index) override {
    return Boolean("return window.qvPage.deleteOption(id, index);",
                   ArgumentList().Text("id", id).Number("index", index));
  }
  bool RemoveAllOptions(const std::string& id) override {
    return Boolean("return window.qvPage.removeAllOptions(id);", ArgumentList().Text("id", id));
  }
  bool CallFunction(const std::string& name, const std::string& argument) override {
    return Boolean("return window.qvPage.callFunction(name, arg);",
                   ArgumentList().Text("name", name).Text("arg", argument));
  }
  bool TakeEvent(PageEvent* event) override {
    std::lock_guard<std::mutex> guard(page_->lock);
    if (page_->events.empty()) return false;
    if (event != nullptr) *event = std::move(page_->events.front());
    page_->events.pop_front();
    return true;
  }

 private:
  std::optional<Reply> Invoke(const char* body, ArgumentList& arguments) const;
  bool Boolean(const char* body, ArgumentList& arguments) const {
    const auto reply = Invoke(body, arguments);
    return reply.has_value() && reply->boolean;
  }
  int Number(const char* body, ArgumentList& arguments) const {
    const auto reply = Invoke(body, arguments);
    return reply.has_value() && reply->isValue ? reply->number : -1;
  }

  WebPages::Poster post_;
  std::shared_ptr<Page> page_;
  std::function<PageLimits()> limits_;
};

// Posts `body` to the GTK thread and waits for its answer: for the page to load and for the
// call itself. A page that lets that time pass fails, and so does every call after it.
std::optional<Reply> WaitForCall(const WebPages::Poster& post, const std::shared_ptr<Page>& page,
                                 const std::string& body, Arguments arguments,
                                 const PageLimits& limits) {
  Page::State state = page->Current();
  if (state == Page::State::Failed) return std::nullopt;
  auto promise = std::make_shared<std::promise<Reply>>();
  std::future<Reply> answer = promise->get_future();
  if (!post([page, body, arguments, promise] { GuiCall(page, body, arguments, promise); }))
    return std::nullopt;
  const int limitMs = limits.callMs + (state == Page::State::Loading ? limits.loadMs : 0);
  if (answer.wait_for(std::chrono::milliseconds(limitMs)) != std::future_status::ready) {
    page->MarkFailed("it did not answer within " + std::to_string(limitMs) + " ms");
    post([page] { GuiFail(page, "it did not answer in time"); });
    return std::nullopt;
  }
  try {
    Reply reply = answer.get();
    if (!reply.ok) return std::nullopt;
    return reply;
  } catch (const std::future_error&) {
    return std::nullopt;  // the GTK thread stopped before it ran the call
  }
}

std::optional<Reply> WebPageHost::Invoke(const char* body, ArgumentList& arguments) const {
  return WaitForCall(post_, page_, body, arguments.End(), limits_());
}

WebPageHost::~WebPageHost() {
  std::shared_ptr<Page> page = page_;
  if (!post_([page] { page->owner->Release(page); })) page->released = true;
}

}  // namespace

// ---- WebPages ----

WebPages::WebPages(Poster post) : post_(std::move(post)) {}

WebPages::~WebPages() { Shutdown(); }

void WebPages::Shutdown() {
  std::vector<std::shared_ptr<Page>> pages;
  {
    std::lock_guard<std::mutex> guard(lock_);
    pages.swap(pages_);
  }
  for (auto& page : pages) Release(page);
  engine_.reset();
}

std::shared_ptr<Page> WebPages::Find(HWND dialog) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& page : pages_)
    if (page->dialog == dialog) return page;
  return nullptr;
}

std::shared_ptr<Page> WebPages::FindPage(const Page* raw) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& page : pages_)
    if (page.get() == raw) return page;
  return nullptr;
}

void WebPages::SetLimits(PageLimits limits) {
  std::lock_guard<std::mutex> guard(lock_);
  limits_ = limits;
}

PageLimits WebPages::Limits() const {
  std::lock_guard<std::mutex> guard(lock_);
  return limits_;
}

GtkWidget* WebPages::ViewOf(HWND dialog) const {
  std::shared_ptr<Page> page = Find(dialog);
  return page != nullptr && page->view != nullptr ? GTK_WIDGET(page->view) : nullptr;
}

std::unique_ptr<PageHost> WebPages::CreateHost(HWND dialog, const PageSource& source) {
  auto page = std::make_shared<Page>();
  page->owner = this;
  page->dialog = dialog;
  page->name = source.name;
  page->uri = std::string(kOrigin) + source.name;
  page->html = source.html;
  page->files = source.files;
  // The view exists before the host is handed out, so the window made for the dialog finds it.
  auto made = std::make_shared<std::promise<void>>();
  std::future<void> done = made->get_future();
  if (!post_([this, page, made] {
        GuiCreate(page);
        made->set_value();
      }))
    return nullptr;
  try {
    done.get();
  } catch (const std::future_error&) {
    return nullptr;
  }
  return std::make_unique<WebPageHost>(post_, page, [this] { return Limits(); });
}

void WebPages::GuiCreate(const std::shared_ptr<Page>& page) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    pages_.push_back(page);
  }
  Engine& engine = GuiEngine();
  page->content = webkit_user_content_manager_new();
  webkit_user_content_manager_register_script_message_handler(page->content, kBridgeHandler,
                                                              nullptr);
  g_signal_connect(page->content, "script-message-received::qvPage", G_CALLBACK(OnBridgeMessage),
                   page.get());
  WebKitSettings* settings = NewSettings();
  page->view = WEBKIT_WEB_VIEW(g_object_new(
      WEBKIT_TYPE_WEB_VIEW, "web-context", engine.context, "network-session", engine.session,
      "user-content-manager", page->content, "settings", settings, nullptr));
  g_object_ref_sink(page->view);
  g_object_unref(settings);
  g_signal_connect(page->view, "decide-policy", G_CALLBACK(OnDecidePolicy), page.get());
  g_signal_connect(page->view, "load-changed", G_CALLBACK(OnLoadChanged), page.get());
  g_signal_connect(page->view, "load-failed", G_CALLBACK(OnLoadFailed), page.get());
  g_signal_connect(page->view, "web-process-terminated", G_CALLBACK(OnProcessEnded), page.get());
  g_signal_connect(page->view, "create", G_CALLBACK(OnCreate), nullptr);
  g_signal_connect(page->view, "context-menu", G_CALLBACK(Refuse), nullptr);
  g_signal_connect(page->view, "script-dialog", G_CALLBACK(Refuse), nullptr);
  g_signal_connect(page->view, "enter-fullscreen", G_CALLBACK(Refuse), nullptr);
  g_signal_connect(page->view, "permission-request", G_CALLBACK(OnPermission), nullptr);
  g_signal_connect(page->view, "run-file-chooser", G_CALLBACK(OnFileChooser), nullptr);

  struct Timer {
    std::weak_ptr<Page> page;
    int limitMs;
  };
  const int limitMs = Limits().loadMs;
  page->loadTimer = g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<guint>(limitMs),
      [](gpointer data) -> gboolean {
        auto* timer = static_cast<Timer*>(data);
        if (std::shared_ptr<Page> page = timer->page.lock()) {
          page->loadTimer = 0;
          GuiFail(page, "it did not load within " + std::to_string(timer->limitMs) + " ms");
        }
        return G_SOURCE_REMOVE;
      },
      new Timer{page, limitMs}, [](gpointer data) { delete static_cast<Timer*>(data); });

  // Nothing loads before the rule that blocks every other address is in place.
  if (engine.filter != nullptr) {
    GuiStartLoad(page);
  } else if (engine.filterFailed) {
    GuiFail(page, "its request filter could not be set up");
  } else {
    engine.waitingForFilter.push_back(page);
    GuiCompileFilter();
  }
}

void WebPages::GuiStartLoad(const std::shared_ptr<Page>& page) {
  if (page->released || page->Current() == Page::State::Failed) return;
  webkit_user_content_manager_add_filter(page->content, engine_->filter);
  webkit_web_view_load_uri(page->view, page->uri.c_str());
}

WebPages::Engine& WebPages::GuiEngine() {
  if (engine_ != nullptr) return *engine_;
  engine_ = std::make_unique<Engine>();
  Engine& engine = *engine_;
  engine.context = webkit_web_context_new();
  webkit_web_context_set_cache_model(engine.context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  webkit_web_context_register_uri_scheme(
      engine.context, kScheme,
      [](WebKitURISchemeRequest* request, gpointer data) {
        static_cast<WebPages*>(data)->GuiServe(request);
      },
      this, nullptr);
  // A session that keeps nothing on disk: no cookies, no cache, no site data.
  engine.session = webkit_network_session_new_ephemeral();
  GError* error = nullptr;
  char* dir = g_dir_make_tmp("qvpage-XXXXXX", &error);
  if (dir != nullptr) {
    engine.storePath = dir;
    engine.store = webkit_user_content_filter_store_new(dir);
    g_free(dir);
  } else {
    std::fprintf(stderr, "The page filter has no folder: %s\n", error->message);
    g_clear_error(&error);
    engine.filterFailed = true;
  }
  return engine;
}

void WebPages::GuiCompileFilter() {
  Engine& engine = *engine_;
  if (engine.compiling) return;
  engine.compiling = true;
  GBytes* rules = g_bytes_new_static(kContentRules, std::char_traits<char>::length(kContentRules));
  webkit_user_content_filter_store_save(
      engine.store, "only-the-page", rules, nullptr,
      [](GObject* store, GAsyncResult* result, gpointer data) {
        auto* self = static_cast<WebPages*>(data);
        GError* error = nullptr;
        WebKitUserContentFilter* filter = webkit_user_content_filter_store_save_finish(
            WEBKIT_USER_CONTENT_FILTER_STORE(store), result, &error);
        if (self->engine_ == nullptr) {
          if (filter != nullptr) webkit_user_content_filter_unref(filter);
          g_clear_error(&error);
          return;
        }
        Engine& engine = *self->engine_;
        engine.compiling = false;
        engine.filter = filter;
        engine.filterFailed = filter == nullptr;
        if (error != nullptr) {
          std::fprintf(stderr, "The page filter could not be compiled: %s\n", error->message);
          g_clear_error(&error);
        }
        std::vector<std::shared_ptr<Page>> waiting;
        waiting.swap(engine.waitingForFilter);
        for (auto& page : waiting) {
          if (engine.filter != nullptr) {
            self->GuiStartLoad(page);
          } else {
            GuiFail(page, "its request filter could not be set up");
          }
        }
      },
      this);
  g_bytes_unref(rules);
}

void WebPages::GuiServe(WebKitURISchemeRequest* request) {
  const char* uriText = webkit_uri_scheme_request_get_uri(request);
  const std::string uri = uriText != nullptr ? uriText : "";
  WebKitWebView* view = webkit_uri_scheme_request_get_web_view(request);
  std::shared_ptr<Page> page;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& candidate : pages_)
      if (candidate->view == view) page = candidate;
  }
  // Only a plain file name right under the page's origin: no folders, no queries.
  const std::string name = uri.starts_with(kOrigin) ? uri.substr(std::strlen(kOrigin)) : "";
  const std::string* data = nullptr;
  if (page != nullptr && !name.empty() && name.find_first_of("/\\?#%") == std::string::npos) {
    if (name == page->name) {
      data = &page->html;
    } else {
      for (const auto& [file, bytes] : page->files)
        if (file == name) data = &bytes;
    }
  }
  if (data == nullptr) {
    if (page != nullptr) page->Refuse(uri);
    GError* error =
        g_error_new(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "%s is not part of the page", uri.c_str());
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  GBytes* bytes = g_bytes_new(data->data(), data->size());
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  WebKitURISchemeResponse* response =
      webkit_uri_scheme_response_new(stream, static_cast<gint64>(data->size()));
  webkit_uri_scheme_response_set_content_type(response, ContentTypeOf(name));
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
  g_bytes_unref(bytes);
}

void WebPages::Release(const std::shared_ptr<Page>& page) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase(pages_, page);
  }
  if (page->released) return;
  page->released = true;
  page->MarkFailed("its dialog has gone");
  GuiStopTimer(*page);
  GuiRunWaiting(page);
  if (page->content != nullptr) {
    g_signal_handlers_disconnect_by_data(page->content, page.get());
    webkit_user_content_manager_unregister_script_message_handler(page->content, kBridgeHandler,
                                                                  nullptr);
    g_object_unref(page->content);
    page->content = nullptr;
  }
  if (page->view != nullptr) {
    g_signal_handlers_disconnect_by_data(page->view, page.get());
    // The window that shows the view may go later; the view goes with it.
    g_object_unref(page->view);
    page->view = nullptr;
  }
}

// ---- For tests ----

bool WebPages::WaitLoaded(HWND dialog, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::shared_ptr<Page> page;
  while ((page = Find(dialog)) == nullptr) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::unique_lock<std::mutex> guard(page->lock);
  return page->changed.wait_until(guard, deadline, [&] {
    return page->state != Page::State::Loading;
  }) && page->state == Page::State::Loaded;
}

bool WebPages::RunScript(HWND dialog, const std::string& body,
                         const std::vector<std::pair<std::string, std::string>>& arguments,
                         std::string* json) {
  std::shared_ptr<Page> page = Find(dialog);
  if (page == nullptr) return false;
  ArgumentList list;
  for (const auto& [name, value] : arguments) list.Text(name.c_str(), value);
  const auto reply = WaitForCall(post_, page, body, list.End(), Limits());
  if (!reply.has_value()) return false;
  if (json != nullptr) *json = reply->json;
  return true;
}

std::string WebPages::CurrentUri(HWND dialog) {
  std::shared_ptr<Page> page = Find(dialog);
  if (page == nullptr) return {};
  auto shown = std::make_shared<std::promise<std::string>>();
  std::future<std::string> answer = shown->get_future();
  if (!post_([page, shown] {
        const char* uri = page->view != nullptr ? webkit_web_view_get_uri(page->view) : nullptr;
        shown->set_value(uri != nullptr ? uri : "");
      }))
    return {};
  try {
    return answer.get();
  } catch (const std::future_error&) {
    return {};
  }
}

std::vector<std::string> WebPages::Refused(HWND dialog) {
  std::shared_ptr<Page> page = Find(dialog);
  if (page == nullptr) return {};
  std::lock_guard<std::mutex> guard(page->lock);
  return page->refused;
}
