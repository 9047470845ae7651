"""The shared plan page in Chromium and Firefox ESR on large plans: how long
the page holds the tab at load, and how long a platform tab click takes.

Usage: pagebrowsers_bench.py <quarrystone binary> [screens ...] [--browsers firefox,chromium] [--width 1280] [--phone]
                              [--moves-per-screen 5] [--idle 20] [--own-pictures]

The bundled example's screens, strings and moves are repeated to the given
sizes (1,000 and 3,000 by default), rendered by the binary, and served from
127.0.0.1 with the font and graph library hosts refused. A probe placed
first in the page posts itself a message over and over and keeps the
longest gap between two of them: the longest task the page ran, from the
start of parsing to three seconds after DOMContentLoaded. Goal: 100 ms.
Then the page is left alone for --idle seconds (20 by default) and the
longest task in that time is given apart: a browser's first collection of
a large page falls there, ten seconds or so after load in Firefox, and
the page's scripts do nothing in it.
With QUARRYSTONE_MERMAID_JS set, the graph library is served too, so that
graphs of up to 20 screens are drawn by it at load (up to 60 the page
draws them itself). --phone gives Chromium a 390 by 844 phone screen and a
CPU four times slower (goal at 60 screens: 0.5 s). --moves-per-screen adds
moves between screens picked at random (the same ones every run) until
the plan has that many per screen: 5 gives 300 at 60 screens.
--own-pictures gives every screen a picture of its own (14 KB of noise),
so that the image map holds one entry per screen, as a large design's
plan does; the example's eight pictures are otherwise shared.
"""

import http.server
import json
import os
import random
import shutil
import socketserver
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import browserdrivers  # noqa: E402

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "sample-plan")

PROBE = b"""<script>(function () {
  var channel = new MessageChannel(), last = performance.now(), longest = 0, on = true;
  channel.port1.onmessage = function () {
    var now = performance.now();
    longest = Math.max(longest, now - last);
    last = now;
    if (on) channel.port2.postMessage(0);
  };
  channel.port2.postMessage(0);
  window.__probe = { longest: function () { return longest; }, stop: function () { on = false; },
                     restart: function () { var was = longest; longest = 0; return was; } };
})();</script>"""


def enlarge(folder, count):
    """The example repeated: each copy keeps its screens' strings (callouts)
    and moves, and one move leads from each copy to the next."""
    path = os.path.join(folder, "plan.json")
    with open(path, encoding="utf-8") as file:
        plan = json.load(file)
    screens, strings, moves = plan["screens"], plan["strings"], plan["transitions"]
    size = len(screens)
    out_screens, out_strings, out_moves = [], [], []
    for at in range(count):
        copy, example = divmod(at, size)
        screen = json.loads(json.dumps(screens[example]))
        screen["id"] = "%s_%d" % (screens[example]["id"], copy)
        screen["title"] = "%s %d" % (screen["title"], at)
        out_screens.append(screen)
    copies = (count + size - 1) // size
    ids = {s["id"] for s in out_screens}
    for copy in range(copies):
        for string in strings:
            item = json.loads(json.dumps(string))
            item["screen"] = "%s_%d" % (string["screen"], copy)
            if item["screen"] not in ids:
                continue
            if item.get("key"):
                item["key"] = "%s_%d" % (item["key"], copy)
            out_strings.append(item)
        for move in moves:
            item = json.loads(json.dumps(move))
            for end in ("from", "to", "popUpTo"):
                if item.get(end) and not item[end].startswith("@"):
                    item[end] = "%s_%d" % (item[end], copy)
            if all(item[end].startswith("@") or item[end] in ids for end in ("from", "to")):
                out_moves.append(item)
        if copy:
            out_moves.append({"from": "%s_%d" % (screens[0]["id"], copy - 1), "to": "%s_%d" % (screens[0]["id"], copy),
                              "kind": "push", "trigger": "다음 %d" % copy})
    plan["screens"], plan["strings"], plan["transitions"] = out_screens, out_strings, out_moves
    with open(path, "w", encoding="utf-8") as file:
        json.dump(plan, file, ensure_ascii=False)


def noise_png(seed, width=48, height=96):
    """A picture of noise, which no encoder makes smaller: a screen's own
    picture of about the size a real one is in the image map."""
    pick = random.Random(seed)
    rows = b"".join(b"\0" + bytes(pick.getrandbits(8) for _ in range(width * 3)) for _ in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 0)) + chunk(b"IEND", b""))


def own_pictures(folder):
    """Every screen with a picture of its own, as in a plan drawn from a
    large design: the image map holds one entry per screen."""
    path = os.path.join(folder, "plan.json")
    with open(path, encoding="utf-8") as file:
        plan = json.load(file)
    for at, screen in enumerate(plan["screens"]):
        name = "img/own-%d.png" % at
        with open(os.path.join(folder, name), "wb") as picture:
            picture.write(noise_png(at))
        screen["image"] = {"before": name}
    with open(path, "w", encoding="utf-8") as file:
        json.dump(plan, file, ensure_ascii=False)


def crowd(folder, count, per_screen):
    path = os.path.join(folder, "plan.json")
    with open(path, encoding="utf-8") as file:
        plan = json.load(file)
    ids = [screen["id"] for screen in plan["screens"]]
    pick = random.Random(count)
    while len(plan["transitions"]) < per_screen * count:
        plan["transitions"].append({"from": pick.choice(ids), "to": pick.choice(ids), "kind": "push",
                                    "trigger": "이동 %d" % len(plan["transitions"])})
    with open(path, "w", encoding="utf-8") as file:
        json.dump(plan, file, ensure_ascii=False)


def render(binary, work, count, per_screen=0, pictures=False):
    folder = os.path.join(work, "plan-%d" % count)
    shutil.copytree(SAMPLE, folder)
    enlarge(folder, count)
    crowd(folder, count, per_screen)
    if pictures:
        own_pictures(folder)
    home = os.path.join(work, "home-%d" % count)
    os.makedirs(home, exist_ok=True)
    env = dict(os.environ, HOME=home, QUARRYSTONE_SUPPORT=os.path.join(home, "support"), TZ="UTC", LANG="C.UTF-8",
               QT_QPA_PLATFORM="offscreen")
    # A plan with problems is still rendered (exit status 2).
    subprocess.run([binary, "--render", folder], env=env, stdout=subprocess.DEVNULL, timeout=600)
    with open(os.path.join(folder, "index.html"), "rb") as page:
        page = page.read()
    page = page.replace(b"https://fonts.googleapis.com", b"/none").replace(b"https://cdn.jsdelivr.net", b"/cdn")
    return page.replace(b"<head>", b"<head>" + PROBE, 1)


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *arguments):
        pass

    def do_GET(self):
        body = self.server.pages.get(self.path)
        script = self.path.startswith("/cdn/")
        if script:
            body = self.server.library
        self.send_response(200 if body else 404)
        self.send_header("Content-Type", "text/javascript" if script else "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body or b"")))
        self.end_headers()
        self.wfile.write(body or b"")


class Site(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def measure(browser, url, phone, idle):
    if phone:
        browser.devtools("Emulation.setDeviceMetricsOverride", {"width": 390, "height": 844, "deviceScaleFactor": 3, "mobile": True})
        browser.devtools("Emulation.setCPUThrottlingRate", {"rate": 4})
    browser.open(url)
    started = time.monotonic()
    while not browser.run("return document.readyState !== 'loading' && !!window.__probe;"):
        time.sleep(0.05)
        if time.monotonic() - started > 600:
            raise TimeoutError(url)
    time.sleep(3)
    # A graph drawn at load is waited for (or the line that says it could not be).
    drawn = time.monotonic()
    while not browser.run("return !!document.querySelector('.graph svg, .graph .gnote, .graph[data-ask]');"):
        time.sleep(0.1)
        if time.monotonic() - drawn > 120:
            break
    time.sleep(1)
    loading = browser.run("return window.__probe.restart();")
    time.sleep(idle)
    figures = browser.run("""
var t = performance.getEntriesByType('navigation')[0];
window.__probe.stop();
var button = document.querySelector('.ptabs button[data-p=a]'), clicked = null;
if (button) { var at = performance.now(); button.click(); document.body.getBoundingClientRect(); clicked = performance.now() - at; }
return { dcl: t.domContentLoadedEventEnd, idle: window.__probe.longest(), tab: clicked,
         closed: document.querySelectorAll('details.strings:not([open]) .callouts').length };""")
    figures["longest"] = loading
    return figures


def main():
    arguments = sys.argv[1:]
    if not arguments:
        print(__doc__)
        return 64
    binary = arguments.pop(0)
    browsers, width, phone, per_screen, idle, pictures = ["chromium", "firefox"], 1280, False, 0, 20.0, False
    counts = []
    while arguments:
        item = arguments.pop(0)
        if item == "--browsers":
            browsers = arguments.pop(0).split(",")
        elif item == "--phone":
            phone, browsers = True, ["chromium"]
        elif item == "--moves-per-screen":
            per_screen = int(arguments.pop(0))
        elif item == "--own-pictures":
            pictures = True
        elif item == "--idle":
            idle = float(arguments.pop(0))
        elif item == "--width":
            width = int(arguments.pop(0))
        else:
            counts.append(int(item))
    counts = counts or [1000, 3000]
    work = tempfile.mkdtemp(prefix="quarrystone-pagebench-")
    site = Site(("127.0.0.1", 0), Handler)
    site.pages = {}
    library = os.environ.get("QUARRYSTONE_MERMAID_JS")
    site.library = open(library, "rb").read() if library else None
    threading.Thread(target=site.serve_forever, daemon=True).start()
    try:
        for count in counts:
            site.pages["/%d/index.html" % count] = render(binary, work, count, per_screen, pictures)
        for name in browsers:
            driver = browserdrivers.Firefox if name == "firefox" else browserdrivers.Chromium
            browser = driver(width=width, height=900)
            try:
                for count in counts:
                    url = "http://127.0.0.1:%d/%d/index.html" % (site.server_address[1], count)
                    f = measure(browser, url, phone, idle)
                    print("%-8s %5d screens, %s: DOMContentLoaded %7.0f ms, longest task %7.0f ms, "
                          "then %.0f ms in %.0f s left alone, platform tab %s ms, callout blocks in closed boxes %d"
                          % (name, count, "phone" if phone else "%d px" % width, f["dcl"], f["longest"], f["idle"], idle,
                             "%.0f" % f["tab"] if f["tab"] is not None else "-", f["closed"]), flush=True)
            finally:
                browser.close()
    finally:
        site.shutdown()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
