"""The shared page's own drawing of a large graph, on request, in Chromium
and Firefox ESR: how long it takes and the longest the tab is held meanwhile.

Usage: pagedraw_bench.py <quarrystone binary> [screens ...] [--browsers firefox,chromium]

A plan of the given sizes (300, 1,000 and 3,000 screens by default) with
about five moves a screen, long ones across the plan among them, is
rendered by the binary and served from 127.0.0.1. The draw button is
pressed once the page has settled; the probe of pagebrowsers_bench.py
keeps the longest gap between its messages from the press to the end of
the drawing. Goal: 100 ms at every size.

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


# Lines through a box that is neither end of their move, in the drawing's
# own units. A browser finds a point along a line from its start, so each
# line is sampled a piece at a time on a scratch copy of that piece; boxes
# are found from a grid of cells, so a sample costs a few boxes, not all.
CROSSINGS = """
var CELL = 200, STEP = 3, EDGE = 1.5, cells = new Map();
document.querySelectorAll('.graph svg g.node').forEach(function (node) {
  var box = node.getBBox(), at = node.transform.baseVal.consolidate();
  var dx = at ? at.matrix.e : 0, dy = at ? at.matrix.f : 0;
  var r = { id: node.getAttribute('data-id'), left: box.x + dx + EDGE, right: box.x + dx + box.width - EDGE,
            top: box.y + dy + EDGE, bottom: box.y + dy + box.height - EDGE };
  for (var cx = Math.floor(r.left / CELL); cx <= Math.floor(r.right / CELL); cx++)
    for (var cy = Math.floor(r.top / CELL); cy <= Math.floor(r.bottom / CELL); cy++) {
      var key = cx + ',' + cy;
      if (!cells.has(key)) cells.set(key, []);
      cells.get(key).push(r);
    }
});
var scratch = document.createElementNS('http://www.w3.org/2000/svg', 'path');
document.querySelector('.graph svg').appendChild(scratch);
// Absolute M, L, H, V and C pieces: what the page's own drawing writes.
var pieces = function (d) {
  var list = [], tokens = d.match(/[A-Za-z]|-?[0-9.]+(?:e[-+]?[0-9]+)?/g), i = 0, command = '', x = 0, y = 0;
  var take = function () { return +tokens[i++]; };
  while (i < tokens.length) {
    if (/[A-Za-z]/.test(tokens[i])) command = tokens[i++];
    var from = 'M' + x + ',' + y;
    if (command === 'M') { x = take(); y = take(); command = 'L'; continue; }
    if (command === 'L') { x = take(); y = take(); list.push(from + 'L' + x + ',' + y); }
    else if (command === 'H') { x = take(); list.push(from + 'H' + x); }
    else if (command === 'V') { y = take(); list.push(from + 'V' + y); }
    else if (command === 'C') {
      var c = [take(), take(), take(), take(), take(), take()];
      x = c[4]; y = c[5];
      list.push(from + 'C' + c.join(' '));
    } else throw new Error('path piece ' + command);
  }
  return list;
};
var lines = Array.from(document.querySelectorAll('.graph svg path.flowchart-link')), through = [];
lines.forEach(function (path) {
  var ends = Array.from(path.classList).filter(function (c) { return /^L[SE]-/.test(c); }).map(function (c) { return c.slice(3); });
  var list = pieces(path.getAttribute('d'));
  for (var at = 0; at < list.length; at++) {
    scratch.setAttribute('d', list[at]);
    for (var along = 0, length = scratch.getTotalLength(); along <= length + STEP; along += STEP) {
      var p = scratch.getPointAtLength(Math.min(along, length));
      var hit = (cells.get(Math.floor(p.x / CELL) + ',' + Math.floor(p.y / CELL)) || []).find(function (r) {
        return ends.indexOf(r.id) < 0 && p.x > r.left && p.x < r.right && p.y > r.top && p.y < r.bottom;
      });
      if (hit) { through.push(ends.join('>') + ' over ' + hit.id); return; }
    }
  }
});
scratch.remove();
return { lines: lines.length, through: through.length, some: through.slice(0, 5) };
"""


def measure(browser, url):
    browser.open(url)
    started = time.monotonic()
    while not browser.run("return document.readyState === 'complete' && !!window.__probe && !!document.getElementById('graph-draw');"):
        time.sleep(0.05)
        if time.monotonic() - started > 600:
            raise TimeoutError(url)
    time.sleep(3)
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
    while not browser.run("return document.querySelector('.gask').hidden || !!document.querySelector('.graph .gnote');"):
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
    browsers, counts = ["chromium", "firefox"], []
    while arguments:
        item = arguments.pop(0)
        if item == "--browsers":
            browsers = arguments.pop(0).split(",")
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
            browser = driver(width=1280, height=900)
            try:
                for count in counts:
                    url = "http://127.0.0.1:%d/%d/index.html" % (site.server_address[1], count)
                    f = measure(browser, url)
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
