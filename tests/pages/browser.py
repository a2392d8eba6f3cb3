"""A headless Chromium driven over its debugging pipe, serving one page folder and nothing else.

The browser is started in its own process group with a private profile folder and talks the
DevTools protocol over fds 3 (commands in) and 4 (replies and events out), one NUL-terminated
JSON message each. Every request the page makes is paused and answered from the files given to
PageBrowser; any other request fails and is recorded in `refused`, so a test sees each attempt
to reach the network or to navigate away. close() ends the whole process group and removes the
profile; the class is a context manager so every exit path cleans up.
"""

import base64
import json
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import urllib.parse

PAGE_ORIGIN = "http://qvpage.test"
PAGE_FOLDER = "/2110/"
CONTENT_TYPES = {
    ".htm": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".xml": "application/xml; charset=utf-8",
    ".gif": "image/gif",
    ".jpg": "image/jpeg",
}
BROWSER_CANDIDATES = ("/usr/bin/chromium", "/usr/bin/chromium-browser")
PROFILE_PREFIX = "qv-page-browser-"


class BrowserError(Exception):
    pass


def find_browser():
    for candidate in BROWSER_CANDIDATES:
        if os.access(candidate, os.X_OK):
            return candidate
    raise BrowserError("no Chromium found at " + " or ".join(BROWSER_CANDIDATES) +
                       "; install it with scripts/install-deps.sh")


def sweep_stale_profiles():
    """Removes the profile folders that runs killed outright left in the temporary folder."""
    folder = tempfile.gettempdir()
    for name in os.listdir(folder):
        owner = name[len(PROFILE_PREFIX):].split("-", 1)[0]
        if not name.startswith(PROFILE_PREFIX) or not owner.isdigit():
            continue
        try:
            os.kill(int(owner), 0)
        except ProcessLookupError:
            shutil.rmtree(os.path.join(folder, name), ignore_errors=True)
        except PermissionError:
            pass


def page_url(name):
    return PAGE_ORIGIN + PAGE_FOLDER + name


class PageBrowser:
    """One browser with one tab whose every request is answered from `files` (name -> bytes)."""

    def __init__(self, files, width=550, height=500, timeout=60.0):
        self.files = dict(files)
        self.timeout = timeout
        self.refused = []          # URLs the page asked for that are not its own files
        self.served = []           # names of the page's own files it fetched
        self.events = []           # {id, event, ...} objects the page posted
        self.dialogs = []          # alert/confirm/prompt messages the page tried to open
        self.navigations = 0       # committed main-frame navigations
        self._lock = threading.Lock()
        self._write_lock = threading.Lock()
        self._replies = {}
        self._reply_ready = threading.Condition(self._lock)
        self._next_id = 0
        self._process = None
        self._profile = tempfile.mkdtemp(prefix=f"{PROFILE_PREFIX}{os.getpid()}-")
        self._reader = None
        self._session = None
        try:
            self._start(width, height)
        except BaseException:
            self.close()
            raise

    # --- process and pipe -------------------------------------------------------------------

    def _start(self, width, height):
        to_browser_read, to_browser_write = os.pipe()
        from_browser_read, from_browser_write = os.pipe()
        # The child sees the pipe ends at fds 3 and 4; high copies keep dup2 from clobbering.
        child_in = os.dup2(to_browser_read, 103, inheritable=False)
        child_out = os.dup2(from_browser_write, 104, inheritable=False)
        os.close(to_browser_read)
        os.close(from_browser_write)
        arguments = [
            find_browser(), "--headless=new", "--remote-debugging-pipe",
            "--user-data-dir=" + self._profile, "--no-first-run", "--no-default-browser-check",
            "--disable-gpu", "--disable-extensions", "--disable-sync",
            "--disable-background-networking", "--disable-component-update",
            "--disable-default-apps", "--disable-domain-reliability", "--no-pings",
            "--metrics-recording-only", "--no-proxy-server", "--mute-audio",
            "--host-resolver-rules=MAP * ~NOTFOUND", "--hide-scrollbars",
            "--force-device-scale-factor=1", "--lang=en-US",
            f"--window-size={width},{height}", "about:blank",
        ]
        if os.geteuid() == 0:
            # Chromium refuses to start its sandbox as root.
            arguments.insert(2, "--no-sandbox")
        actions = [(os.POSIX_SPAWN_DUP2, child_in, 3), (os.POSIX_SPAWN_DUP2, child_out, 4),
                   (os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
                   (os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0),
                   (os.POSIX_SPAWN_OPEN, 2, "/dev/null", os.O_WRONLY, 0)]
        environment = dict(os.environ)
        environment.pop("DISPLAY", None)
        environment.pop("WAYLAND_DISPLAY", None)
        pid = os.posix_spawn(arguments[0], arguments, environment, file_actions=actions,
                             setpgroup=0)
        os.close(child_in)
        os.close(child_out)
        self._process = pid
        self._to_browser = to_browser_write
        self._from_browser = from_browser_read
        self._reader = threading.Thread(target=self._read_loop, daemon=True)
        self._reader.start()
        target = self.command("Target.createTarget", {"url": "about:blank"})["targetId"]
        self._session = self.command("Target.attachToTarget",
                                     {"targetId": target, "flatten": True})["sessionId"]
        self.page("Fetch.enable", {"patterns": [{"urlPattern": "*", "requestStage": "Request"}]})
        self.page("Page.enable")
        self.page("Runtime.enable")
        self.page("Runtime.addBinding", {"name": "qvTestEvent"})
        self.page("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        # The host object a native page host provides, defined before the page's scripts run.
        self.page("Page.addScriptToEvaluateOnNewDocument", {
            "source": "window.qvHost = {postEvent: function(m) {"
                      " qvTestEvent(JSON.stringify(m)); }};"})

    def close(self):
        if self._process is not None:
            try:
                os.killpg(self._process, signal.SIGTERM)
            except ProcessLookupError:
                pass
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                done, _ = os.waitpid(self._process, os.WNOHANG)
                if done:
                    break
                time.sleep(0.05)
            else:
                try:
                    os.killpg(self._process, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                os.waitpid(self._process, 0)
            # Helpers of the browser left in its group go with it.
            try:
                os.killpg(self._process, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self._process = None
            os.close(self._to_browser)
            if self._reader is not None:
                self._reader.join(timeout=5)
            os.close(self._from_browser)
        shutil.rmtree(self._profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _send(self, message):
        data = json.dumps(message).encode() + b"\0"
        with self._write_lock:
            view = memoryview(data)
            while view:
                written = os.write(self._to_browser, view)
                view = view[written:]

    def _read_loop(self):
        pending = b""
        while True:
            try:
                chunk = os.read(self._from_browser, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                with self._lock:
                    self._replies[None] = {"error": {"message": "the browser closed its pipe"}}
                    self._reply_ready.notify_all()
                return
            pending += chunk
            while b"\0" in pending:
                raw, pending = pending.split(b"\0", 1)
                self._dispatch(json.loads(raw))

    def _dispatch(self, message):
        if "id" in message:
            with self._lock:
                self._replies[message["id"]] = message
                self._reply_ready.notify_all()
            return
        method = message.get("method")
        params = message.get("params", {})
        if method == "Fetch.requestPaused":
            self._answer_request(params)
        elif method == "Runtime.bindingCalled" and params.get("name") == "qvTestEvent":
            with self._lock:
                self.events.append(json.loads(params["payload"]))
        elif method == "Page.javascriptDialogOpening":
            with self._lock:
                self.dialogs.append(params.get("message", ""))
            self._send({"id": self._take_id(), "sessionId": self._session,
                        "method": "Page.handleJavaScriptDialog", "params": {"accept": False}})
        elif method == "Page.frameNavigated" and "parentId" not in params.get("frame", {}):
            with self._lock:
                self.navigations += 1

    def _answer_request(self, params):
        url = params["request"]["url"]
        parsed = urllib.parse.urlsplit(url)
        name = None
        if (f"{parsed.scheme}://{parsed.netloc}" == PAGE_ORIGIN and
                parsed.path.startswith(PAGE_FOLDER) and not parsed.query and
                params["request"]["method"] == "GET"):
            name = urllib.parse.unquote(parsed.path[len(PAGE_FOLDER):])
        command = {"requestId": params["requestId"]}
        if name in self.files:
            extension = os.path.splitext(name)[1].lower()
            command["responseCode"] = 200
            command["responseHeaders"] = [
                {"name": "Content-Type", "value": CONTENT_TYPES.get(extension,
                                                                    "application/octet-stream")},
                {"name": "Cache-Control", "value": "no-store"}]
            command["body"] = base64.b64encode(self.files[name]).decode()
            method = "Fetch.fulfillRequest"
            with self._lock:
                self.served.append(name)
        else:
            command["errorReason"] = "BlockedByClient"
            method = "Fetch.failRequest"
            with self._lock:
                self.refused.append(url)
        self._send({"id": self._take_id(), "sessionId": params.get("sessionId", self._session),
                    "method": method, "params": command})

    def _take_id(self):
        with self._lock:
            self._next_id += 1
            return self._next_id

    # --- commands ---------------------------------------------------------------------------

    def command(self, method, params=None, session=None):
        number = self._take_id()
        message = {"id": number, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        self._send(message)
        deadline = time.monotonic() + self.timeout
        with self._lock:
            while number not in self._replies and None not in self._replies:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise BrowserError(f"{method}: no reply within {self.timeout} s")
                self._reply_ready.wait(left)
            reply = self._replies.pop(number, None) or self._replies[None]
        if "error" in reply:
            raise BrowserError(f"{method}: {reply['error'].get('message')}")
        return reply.get("result", {})

    def page(self, method, params=None):
        return self.command(method, params, self._session)

    def evaluate(self, expression):
        """The value of a script expression in the page (promises are awaited)."""
        result = self.page("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise BrowserError(f"script failed: {text}\n  in: {expression}")
        return result["result"].get("value")

    def call(self, function, *arguments):
        """Calls window.qvPage.<function>(arguments...) with the arguments passed as JSON data."""
        return self.evaluate(f"window.qvPage.{function}(...{json.dumps(list(arguments))})")

    def load(self, name="SelectUsers.htm"):
        """Opens the page fresh and waits until its texts are applied (or failed)."""
        with self._lock:
            self.events.clear()
            self.refused.clear()
            self.served.clear()
            self.dialogs.clear()
            self.navigations = 0
        self.page("Page.navigate", {"url": page_url(name)})
        state = self.wait_for("document.documentElement.getAttribute('data-texts')")
        with self._lock:
            self.navigations = 0
        return state

    def wait_for(self, expression, timeout=30.0):
        deadline = time.monotonic() + timeout
        while True:
            try:
                value = self.evaluate(expression)
            except BrowserError:
                value = None
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError(f"timed out waiting for: {expression}")
            time.sleep(0.05)

    def settle(self):
        """Waits until the page has run its pending tasks and the browser has answered them."""
        self.evaluate("new Promise(r => setTimeout(() => requestAnimationFrame(() => r(1)), 50))")

    def taken_events(self):
        self.settle()
        with self._lock:
            events = list(self.events)
            self.events.clear()
        return events

    def click_at(self, x, y, button="left"):
        for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
            self.page("Input.dispatchMouseEvent", {"type": kind, "x": x, "y": y,
                                                   "button": button, "clickCount": 1})

    def press_at(self, x, y):
        self.page("Input.dispatchMouseEvent", {"type": "mouseMoved", "x": x, "y": y})
        self.page("Input.dispatchMouseEvent", {"type": "mousePressed", "x": x, "y": y,
                                               "button": "left", "clickCount": 1})

    def release_at(self, x, y):
        self.page("Input.dispatchMouseEvent", {"type": "mouseReleased", "x": x, "y": y,
                                               "button": "left", "clickCount": 1})

    def centre_of(self, selector):
        box = self.evaluate(f"(() => {{ const r = document.querySelector({json.dumps(selector)})"
                            ".getBoundingClientRect(); return [r.x + r.width / 2,"
                            " r.y + r.height / 2, r.width, r.height]; })()")
        if box is None or box[2] == 0 or box[3] == 0:
            raise BrowserError(f"{selector} is not shown")
        return box[0], box[1]

    def key(self, key, code, key_code):
        for kind in ("rawKeyDown", "keyUp"):
            self.page("Input.dispatchKeyEvent", {"type": kind, "key": key, "code": code,
                                                 "windowsVirtualKeyCode": key_code})

    def screenshot(self, path):
        data = self.page("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
