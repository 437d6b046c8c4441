"""Headless Chromium driven over its DevTools protocol, for the web tests.

The browser runs as Debian's chromium with a fresh profile and no network
but what the test gives it; the protocol goes over a pipe (the browser
reads commands on its file 3 and answers on its file 4, each message JSON
ended by a NUL), so nothing listens on a port and no Python module beyond
the standard library is needed.

    with Browser(profile_dir) as b:
        b.credentials = ("admin", "secret")   # answers the pages that ask (HTTP Basic)
        status = b.goto("http://localhost:8000/addprinter")
        b.fill("#printer_name", "counter"); b.click("input[type=submit]")
        b.screenshot("add-printer.png")

A page that asks for credentials gets them once per request; asked again
(wrong credentials) or with none set, the browser gives up and shows the
server's refusal, as a person pressing Cancel would. The browser keeps
credentials it used, as browsers do, for the pages below the same folder.
"""

import base64
import json
import os
import select
import subprocess
import time

CHROMIUM = "/usr/bin/chromium"
FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-extensions", "--remote-debugging-pipe",
]
WAIT_SECONDS = 30


class BrowserError(Exception):
    pass


class Browser:
    def __init__(self, profile_dir, width=1000, height=900, log_path=os.devnull):
        self.credentials = None
        self.width, self.height = width, height
        self._buffer = b""
        self._next_id = 0
        self._answers = {}
        self._auth_tries = {}
        self._unawaited = set()  # ids of answers to events, which nobody waits for
        self._loaded = False
        self.document_status = None
        commands_read, self._commands = os.pipe()
        self._events, events_write = os.pipe()

        def at_files_3_and_4():
            # Copies first: os.pipe's own numbers may be 3 or 4, and closed on exec.
            read_copy, write_copy = os.dup(commands_read), os.dup(events_write)
            os.dup2(read_copy, 3)
            os.dup2(write_copy, 4)

        with open(log_path, "ab") as log:
            self._process = subprocess.Popen(
                [CHROMIUM] + FLAGS + ["--user-data-dir=" + profile_dir, "about:blank"],
                preexec_fn=at_files_3_and_4, close_fds=False, stdin=subprocess.DEVNULL,
                stdout=log, stderr=log)
        os.close(commands_read)
        os.close(events_write)
        target = self._call("Target.createTarget", {"url": "about:blank"}, session=None)["targetId"]
        self._session = self._call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                   session=None)["sessionId"]
        for method in ("Page.enable", "Network.enable", "Runtime.enable"):
            self._call(method)
        self._call("Fetch.enable", {"patterns": [{"urlPattern": "*"}], "handleAuthRequests": True})
        self._call("Emulation.setDeviceMetricsOverride",
                   {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def close(self):
        if self._process.poll() is None:
            self._process.kill()
        self._process.wait()
        for fd in (self._commands, self._events):
            try:
                os.close(fd)
            except OSError:
                pass

    # ---- Pages ------------------------------------------------------------------

    def goto(self, url):
        """Loads `url`; the HTTP status of the document the browser shows."""
        self._expect_load()
        self._call("Page.navigate", {"url": url})
        return self._wait_load()

    def eval(self, expression):
        """The value of a JavaScript expression in the page."""
        answer = self._call("Runtime.evaluate",
                            {"expression": expression, "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in answer:
            raise BrowserError("%s: %s" % (expression, answer["exceptionDetails"].get("text")))
        return answer["result"].get("value")

    def text(self):
        return self.eval("document.body ? document.body.innerText : ''")

    def fill(self, selector, value):
        """Types `value` into a text field, or chooses it in a select."""
        found = self.eval("(() => { const e = document.querySelector(%s); if (!e) return false;"
                          " e.value = %s; e.dispatchEvent(new Event('change')); return true; })()"
                          % (json.dumps(selector), json.dumps(value)))
        if not found:
            raise BrowserError("no %s on %s" % (selector, self.eval("location.href")))

    def check(self, selector, on=True):
        if not self.eval("(() => { const e = document.querySelector(%s); if (!e) return false;"
                         " e.checked = %s; return true; })()" % (json.dumps(selector), json.dumps(on))):
            raise BrowserError("no %s" % selector)

    def click(self, selector):
        """Clicks what `selector` finds and waits for the page it leads to."""
        self._expect_load()
        if not self.eval("(() => { const e = document.querySelector(%s); if (!e) return false;"
                         " e.click(); return true; })()" % json.dumps(selector)):
            raise BrowserError("nothing to click at %s" % selector)
        return self._wait_load()

    def screenshot(self, path):
        """The whole page, as tall as it is, into a PNG file."""
        height = self.eval("Math.max(document.documentElement.scrollHeight, %d)" % self.height)
        # A window as tall as the page, so that what sticks to the window's
        # bottom (the footer) is at the page's.
        self._call("Emulation.setDeviceMetricsOverride",
                   {"width": self.width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        shot = self._call("Page.captureScreenshot", {"format": "png"})
        self._call("Emulation.setDeviceMetricsOverride",
                   {"width": self.width, "height": self.height, "deviceScaleFactor": 1, "mobile": False})
        with open(path, "wb") as out:
            out.write(base64.b64decode(shot["data"]))

    # ---- Protocol -----------------------------------------------------------------

    def _expect_load(self):
        self._loaded = False
        self.document_status = None

    def _wait_load(self):
        deadline = time.monotonic() + WAIT_SECONDS
        while not self._loaded:
            self._pump(deadline)
        return self.document_status

    def _call(self, method, params=None, session="page"):
        self._next_id += 1
        call = self._next_id
        message = {"id": call, "method": method, "params": params or {}}
        if session == "page":
            message["sessionId"] = self._session
        self._send(message)
        deadline = time.monotonic() + WAIT_SECONDS
        while call not in self._answers:
            self._pump(deadline)
        answer = self._answers.pop(call)
        if "error" in answer:
            raise BrowserError("%s: %s" % (method, answer["error"].get("message")))
        return answer.get("result", {})

    def _send(self, message):
        os.write(self._commands, json.dumps(message).encode() + b"\0")

    def _pump(self, deadline):
        """Reads one message, answering the events that need it."""
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._events], [], [], left)[0]:
                raise BrowserError("the browser did not answer in %d s" % WAIT_SECONDS)
            chunk = os.read(self._events, 1 << 16)
            if not chunk:
                raise BrowserError("the browser went away")
            self._buffer += chunk
        text, _, self._buffer = self._buffer.partition(b"\0")
        message = json.loads(text)
        if "id" in message:
            if message["id"] in self._unawaited:
                self._unawaited.discard(message["id"])
            else:
                self._answers[message["id"]] = message
        else:
            self._event(message.get("method"), message.get("params", {}))

    def _event(self, method, params):
        if method == "Fetch.requestPaused":
            self._send_to_page("Fetch.continueRequest", {"requestId": params["requestId"]})
        elif method == "Fetch.authRequired":
            request = params["requestId"]
            tries = self._auth_tries.get(request, 0)
            self._auth_tries[request] = tries + 1
            if self.credentials and tries == 0:
                response = {"response": "ProvideCredentials", "username": self.credentials[0],
                            "password": self.credentials[1]}
            else:
                response = {"response": "CancelAuth"}
            self._send_to_page("Fetch.continueWithAuth",
                               {"requestId": request, "authChallengeResponse": response})
        elif method == "Network.responseReceived" and params.get("type") == "Document":
            self.document_status = params["response"]["status"]
        elif method == "Page.loadEventFired":
            self._loaded = True

    def _send_to_page(self, method, params):
        # An answer to an event: its own reply is not waited for.
        self._next_id += 1
        self._unawaited.add(self._next_id)
        self._send({"id": self._next_id, "method": method, "params": params, "sessionId": self._session})
