"""The shared page's own drawing of a large graph, on request, in Chromium
and Firefox ESR: how long it takes and the longest the tab is held meanwhile.

Usage: pagedraw_bench.py <quarrystone binary> [screens ...] [--browsers firefox,chromium] [--settle 3]

A plan of the given sizes (300, 1,000 and 3,000 screens by default) with
about five moves a screen, long ones across the plan among them, is
rendered by the binary and served from 127.0.0.1. The draw button is
pressed once the page has settled (--settle seconds after load); the probe
of pagebrowsers_bench.py keeps the longest gap between its messages from
the press to the end of the drawing. Goal: 100 ms at every size. Firefox
collects a page of thousands of screens once, some ten seconds after load,
whether or not anything is drawn (pagebrowsers_bench.py gives it apart): a
drawing pressed sooner may run into it; --settle 25 measures the drawing
without it.

Once drawn, the share of moves whose line runs through a screen box other
than its own two ends: each line sampled every few units of its length,
against each box less a pixel and a half at its edges (a line that only
touches a box does not count). Goal: none. Counted up to 1,000 screens: past that, following every
line takes the browser minutes.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import browserdrivers  # noqa: E402
from pagebrowsers_bench import PROBE, SAMPLE, Site, Handler  # noqa: E402


def shaped(folder, count):
    """Screens in a tree, a move back two screens, and shortcuts across the plan."""
    path = os.path.join(folder, "plan.json")
    with open(path, encoding="utf-8") as file:
        plan = json.load(file)
    model = plan["screens"][0]
    screens, moves = [], []
    for at in range(count):
        screen = json.loads(json.dumps(model))
        screen["id"], screen["title"], screen["strings"] = "s%d" % at, "화면 %d 제목" % at, []
        screens.append(screen)
        if at:
            moves.append({"from": "s%d" % (at // 2), "to": "s%d" % at, "kind": "push", "trigger": "tap%d" % at})
        if at > 1 and at % 3:
            moves.append({"from": "s%d" % at, "to": "s%d" % (at - 2), "kind": "push", "trigger": "skip%d" % at})
        for step in (13, 52):
            moves.append({"from": "s%d" % at, "to": "s%d" % ((at + step) % count), "kind": "push",
                          "trigger": "jump %d 으로 바로 가기" % step})
    plan["screens"], plan["transitions"], plan["strings"] = screens, moves, []
    with open(path, "w", encoding="utf-8") as file:
        json.dump(plan, file, ensure_ascii=False)
    return len(moves)


def render(binary, work, count):
    folder = os.path.join(work, "plan-%d" % count)
    shutil.copytree(SAMPLE, folder)
    moves = shaped(folder, count)
    home = os.path.join(work, "home-%d" % count)
    os.makedirs(home, exist_ok=True)
    env = dict(os.environ, HOME=home, QUARRYSTONE_SUPPORT=os.path.join(home, "support"), TZ="UTC", LANG="C.UTF-8",
               QT_QPA_PLATFORM="offscreen")
    subprocess.run([binary, "--render", folder], env=env, stdout=subprocess.DEVNULL, timeout=600)
    with open(os.path.join(folder, "index.html"), "rb") as page:
        page = page.read()
    page = page.replace(b"https://fonts.googleapis.com", b"/none").replace(b"https://cdn.jsdelivr.net", b"/cdn")
    return page.replace(b"<head>", b"<head>" + PROBE, 1), moves


# Lines through a box that is neither end of their move: the page tests'
# own check.
CROSSINGS = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support", "linesthroughboxes.js"),
                 encoding="utf-8").read() + """
var through = linesThroughBoxes();
return { lines: document.querySelectorAll('.graph svg path.flowchart-link').length, through: through.length,
         some: through.slice(0, 5) };
"""


def measure(browser, url, settle):
    browser.open(url)
    started = time.monotonic()
    while not browser.run("return document.readyState === 'complete' && !!window.__probe && !!document.getElementById('graph-draw');"):
        time.sleep(0.05)
        if time.monotonic() - started > 600:
            raise TimeoutError(url)
    time.sleep(settle)
    browser.run("""
window.__drawProbe = { longest: 0 };
var channel = new MessageChannel(), last = performance.now();
channel.port1.onmessage = function () {
  var now = performance.now();
  window.__drawProbe.longest = Math.max(window.__drawProbe.longest, now - last);
  last = now;
  if (!window.__drawProbe.end) channel.port2.postMessage(0);
};
channel.port2.postMessage(0);
window.__drawProbe.begun = performance.now();
document.getElementById('graph-draw').click();""")
    # The stop button goes once the drawing is done or has failed; a look-up
    # by id costs the page nothing, where a selector walks the whole drawing.
    while browser.run("return !!document.getElementById('graph-stop');"):
        time.sleep(0.05)
        if time.monotonic() - started > 900:
            raise TimeoutError(url)
    return browser.run("""
window.__drawProbe.end = performance.now();
return { took: window.__drawProbe.end - window.__drawProbe.begun, longest: window.__drawProbe.longest,
         drawn: !!document.querySelector('.graph svg.glaid'),
         heap: performance.memory ? performance.memory.usedJSHeapSize / 1048576 : null };""")


def main():
    arguments = sys.argv[1:]
    if not arguments:
        print(__doc__)
        return 64
    binary = arguments.pop(0)
    browsers, counts, settle = ["chromium", "firefox"], [], 3.0
    while arguments:
        item = arguments.pop(0)
        if item == "--browsers":
            browsers = arguments.pop(0).split(",")
        elif item == "--settle":
            settle = float(arguments.pop(0))
        else:
            counts.append(int(item))
    counts = counts or [300, 1000, 3000]
    work = tempfile.mkdtemp(prefix="quarrystone-drawbench-")
    site = Site(("127.0.0.1", 0), Handler)
    site.pages, site.library, moves = {}, None, {}
    threading.Thread(target=site.serve_forever, daemon=True).start()
    try:
        for count in counts:
            site.pages["/%d/index.html" % count], moves[count] = render(binary, work, count)
        for name in browsers:
            driver = browserdrivers.Firefox if name == "firefox" else browserdrivers.Chromium
            for count in counts:
                # A browser of its own for each size: what the page left
                # before would be collected while this one draws (in
                # Firefox a cycle collection of 0.3-0.4 s after a
                # 1,000-screen page), which is not this drawing's doing.
                browser = driver(width=1280, height=900)
                try:
                    url = "http://127.0.0.1:%d/%d/index.html" % (site.server_address[1], count)
                    f = measure(browser, url, settle)
                    print("%-8s %5d screens, %5d moves: drawn %s in %7.0f ms, longest stall %6.0f ms%s"
                          % (name, count, moves[count], "yes" if f["drawn"] else "NO", f["took"], f["longest"],
                             ", script heap %.0f MB" % f["heap"] if f["heap"] else ""), flush=True)
                    if count > 1000:
                        continue
                    crossed = browser.run(CROSSINGS)
                    print("%-8s %5d screens: %d of %d lines (%.1f %%) run through a box not their own%s"
                          % (name, count, crossed["through"], crossed["lines"],
                             100.0 * crossed["through"] / max(1, crossed["lines"]),
                             ", e.g. " + "; ".join(crossed["some"]) if crossed["some"] else ""), flush=True)
                finally:
                    browser.close()
    finally:
        site.shutdown()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
