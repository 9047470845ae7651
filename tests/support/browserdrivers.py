"""Headless Firefox ESR and Chromium, driven the way a test needs them.

Firefox speaks its own remote protocol, Marionette: length-prefixed JSON
over TCP ("<bytes>:<json>"), commands [0, id, name, params] answered by
[1, id, error, result]. Debian has no geckodriver, so this talks to it
directly. Chromium is driven through chromedriver's WebDriver HTTP API.
Both run with a fresh profile in a temporary folder and never reach the
network: pages come from a server on 127.0.0.1 that the test runs.
"""

import base64
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.request


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _wait_for(done, seconds, what):
    deadline = time.monotonic() + seconds
    while True:
        value = done()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.05)


class Firefox:
    """Firefox ESR, headless, with Marionette on a port of its own."""

    def __init__(self, width=1280, height=900):
        self.folder = tempfile.mkdtemp(prefix="quarrystone-firefox-")
        profile = os.path.join(self.folder, "profile")
        os.mkdir(profile)
        self.port = _free_port()
        prefs = {
            "marionette.port": self.port,
            "browser.shell.checkDefaultBrowser": False,
            "browser.startup.homepage_override.mstone": "ignore",
            "browser.startup.page": 0,
            "datareporting.policy.dataSubmissionEnabled": False,
            "toolkit.telemetry.reportingpolicy.firstRun": False,
            "app.update.disabledForTesting": True,
            "network.captive-portal-service.enabled": False,
            "network.connectivity-service.enabled": False,
            "browser.safebrowsing.update.enabled": False,
            "extensions.update.enabled": False,
            "browser.newtabpage.enabled": False,
            "remote.prefs.recommended": True,
            # Pages served from 127.0.0.1 must not be sent through any proxy.
            "network.proxy.type": 0,
        }
        with open(os.path.join(profile, "user.js"), "w") as out:
            for name, value in prefs.items():
                out.write("user_pref(%s, %s);\n" % (json.dumps(name), json.dumps(value)))
        env = dict(os.environ, MOZ_HEADLESS="1", MOZ_HEADLESS_WIDTH=str(width), MOZ_HEADLESS_HEIGHT=str(height),
                   HOME=self.folder)
        self.process = subprocess.Popen(
            # System access lets a test lay the page out as for paper.
            ["firefox-esr", "--headless", "--marionette", "-remote-allow-system-access", "--no-remote", "--profile", profile,
             "--width", str(width), "--height", str(height), "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, start_new_session=True)
        self.socket = _wait_for(self._connect, 120, "Marionette never answered")
        self.buffer = b""
        self.next_id = 0
        self._read()  # the greeting: {"applicationType":"gecko","marionetteProtocol":3}
        # A navigation returns at once: the tests wait for what they look at,
        # never for a load event that a silent host holds back.
        self.command("WebDriver:NewSession", {"capabilities": {"alwaysMatch": {"pageLoadStrategy": "none"}}})
        self.command("WebDriver:SetTimeouts", {"script": 600000, "pageLoad": 600000})
        self.command("WebDriver:SetWindowRect", {"width": width, "height": height})

    def _connect(self):
        if self.process.poll() is not None:
            raise RuntimeError("firefox-esr ended with status %d" % self.process.returncode)
        try:
            return socket.create_connection(("127.0.0.1", self.port), timeout=600)
        except OSError:
            return None

    def _read(self):
        while b":" not in self.buffer:
            self._fill()
        length, _, rest = self.buffer.partition(b":")
        size = int(length)
        self.buffer = rest
        while len(self.buffer) < size:
            self._fill()
        message, self.buffer = self.buffer[:size], self.buffer[size:]
        return json.loads(message)

    def _fill(self):
        data = self.socket.recv(65536)
        if not data:
            raise ConnectionError("Marionette closed the connection")
        self.buffer += data

    def command(self, name, params=None):
        self.next_id += 1
        body = json.dumps([0, self.next_id, name, params or {}]).encode()
        self.socket.sendall(str(len(body)).encode() + b":" + body)
        while True:
            kind, number, error, result = self._read()
            if kind == 1 and number == self.next_id:
                break
        if error:
            raise RuntimeError("%s: %s" % (name, error.get("message", error)))
        return result.get("value") if isinstance(result, dict) and "value" in result else result

    def open(self, url):
        # Marionette's own navigation waits for the load event even when
        # told not to; a page script's does not.
        _leave(self)
        self.run("window.location.href = arguments[0];", url)
        _arrive(self)

    def run(self, script, *args):
        return self.command("WebDriver:ExecuteScript", {"script": script, "args": list(args)})

    def set_print_media(self, on):
        """The page laid out as for paper, as the developer tools' print simulation does."""
        self.command("Marionette:SetContext", {"value": "chrome"})
        try:
            self.run("Services.wm.getMostRecentWindow('navigator:browser').gBrowser.selectedBrowser"
                     ".browsingContext.top.mediumOverride = arguments[0];", "print" if on else "")
        finally:
            self.command("Marionette:SetContext", {"value": "content"})

    def screenshot(self, path):
        data = self.command("WebDriver:TakeScreenshot", {"full": True, "hash": False})
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def print_pdf(self, path):
        data = self.command("WebDriver:Print", {"background": True, "shrinkToFit": True})
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self):
        try:
            self.command("WebDriver:DeleteSession")
            self.socket.close()
        except (OSError, RuntimeError):
            pass
        _end(self.process)
        shutil.rmtree(self.folder, ignore_errors=True)


class Chromium:
    """Chromium, headless, through chromedriver."""

    def __init__(self, width=1280, height=900):
        self.folder = tempfile.mkdtemp(prefix="quarrystone-chromium-")
        self.port = _free_port()
        self.process = subprocess.Popen(
            ["chromedriver", "--port=%d" % self.port],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        self.base = "http://127.0.0.1:%d" % self.port
        _wait_for(self._ready, 60, "chromedriver never answered")
        arguments = [
            "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
            "--user-data-dir=" + os.path.join(self.folder, "profile"), "--window-size=%d,%d" % (width, height),
        ]
        session = self._call("POST", "/session", {"capabilities": {"alwaysMatch": {
            "browserName": "chrome", "pageLoadStrategy": "none",
            "goog:chromeOptions": {"binary": "/usr/bin/chromium", "args": arguments}}}})
        self.session = "/session/" + session["sessionId"]
        self._call("POST", self.session + "/timeouts", {"script": 600000, "pageLoad": 600000})

    def _ready(self):
        if self.process.poll() is not None:
            raise RuntimeError("chromedriver ended with status %d" % self.process.returncode)
        try:
            return self._call("GET", "/status").get("ready")
        except OSError:
            return False

    def _call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=900) as answer:
                return json.loads(answer.read()).get("value")
        except urllib.error.HTTPError as failure:
            raise RuntimeError("%s %s: %s" % (method, path, failure.read().decode(errors="replace")))

    def open(self, url):
        _leave(self)
        self._call("POST", self.session + "/url", {"url": url})
        _arrive(self)

    def run(self, script, *args):
        return self._call("POST", self.session + "/execute/sync", {"script": script, "args": list(args)})

    def devtools(self, command, params=None):
        return self._call("POST", self.session + "/goog/cdp/execute", {"cmd": command, "params": params or {}})

    def set_print_media(self, on):
        self.devtools("Emulation.setEmulatedMedia", {"media": "print" if on else ""})

    def screenshot(self, path):
        data = self._call("GET", self.session + "/screenshot")
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def print_pdf(self, path):
        data = self._call("POST", self.session + "/print", {"background": True})
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self):
        try:
            self._call("DELETE", self.session)
        except (OSError, RuntimeError):
            pass
        _end(self.process)
        shutil.rmtree(self.folder, ignore_errors=True)


def _leave(browser):
    """Marks the document being left, so that nothing is read from it after a navigation."""
    try:
        browser.run("window.__quarryLeaving = true;")
    except RuntimeError:
        pass


def _arrive(browser):
    _wait_for(lambda: _safe(browser, "return !window.__quarryLeaving && !!document.documentElement;"), 120,
              "the new page never started")


def _safe(browser, script):
    try:
        return browser.run(script)
    except RuntimeError:
        return False


def _end(process):
    """Ends the driver and everything it started, which shares its process group."""
    try:
        os.killpg(process.pid, 15)
    except ProcessLookupError:
        return
    try:
        process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, 9)
        process.wait()
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            os.killpg(process.pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.05)
    try:
        os.killpg(process.pid, 9)
    except ProcessLookupError:
        pass
