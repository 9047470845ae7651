"""The shared plan page in the browsers colleagues open it in: Firefox ESR
and Chromium, headless, from Debian's packages.

Usage: colleaguebrowsers_test.py <quarrystone binary> <plan folder> firefox|chromium [<mermaid.min.js>]

The graph library is QUARRYSTONE_MERMAID_JS, else the file given last (the
copy the set-up script installs into the build tree).

The plan folder (the bundled example) is copied and rendered by the built
binary; the page is served from 127.0.0.1 with the graph library's and the
font service's addresses pointing at this server, the library under the
page's own integrity pin. Nothing leaves the machine. A font host or
library host that does not answer is a connection this server accepts and
never answers. Screenshots and PDFs go to QUARRYSTONE_BROWSER_SHOTS when set.
"""

import http.server
import json
import os
import shutil
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import browserdrivers  # noqa: E402

SKIPPED = 77
CDN = b"https://cdn.jsdelivr.net"
FONTS = b"https://fonts.googleapis.com"
LIBRARY_TAIL = "/npm/mermaid@10.9.1/dist/mermaid.min.js"

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what, flush=True)
    return condition


class Silent:
    """A host that takes every connection and never answers, on a port of
    its own: a browser's few connections per host stay free for the site."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.held = []
        threading.Thread(target=self._take, daemon=True).start()

    def _take(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.held.append(connection)

    def url(self):
        return "http://127.0.0.1:%d" % self.listener.getsockname()[1]

    def stop(self):
        self.listener.close()
        for connection in self.held:
            connection.close()


class Site(socketserver.ThreadingMixIn, http.server.HTTPServer):
    """Pages under /page/<fonts>/<library>/<name>/index.html, where <fonts>
    and <library> say how those hosts behave: "ok" (the library is served,
    the font sheet is missing), "none" (both missing) or "hang" (the silent
    host)."""

    daemon_threads = True

    def __init__(self, pages, library):
        super().__init__(("127.0.0.1", 0), Handler)
        self.pages = pages  # name -> bytes of index.html
        self.library = library
        self.requests = []
        self.silent = Silent()
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def host(self, kind, behaviour):
        if behaviour == "hang":
            return self.silent.url().encode()
        return self.url("/%s-%s" % (kind, behaviour)).encode()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.server_address[1], path)

    def stop(self):
        self.silent.stop()
        self.shutdown()


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *arguments):
        pass

    def answer(self, status, body=b"", kind="text/plain", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        site = self.server
        path = self.path.split("?")[0]
        site.requests.append(path)
        parts = path.split("/")
        try:
            if parts[1] == "cdn-ok" and path.endswith(LIBRARY_TAIL):
                return self.answer(200, site.library, "text/javascript",
                                   [("Access-Control-Allow-Origin", "*")])
            if len(parts) == 6 and parts[1] == "page" and parts[4] in site.pages and parts[5] == "index.html":
                page = site.pages[parts[4]]
                page = page.replace(FONTS, site.host("fonts", parts[2]))
                page = page.replace(CDN, site.host("cdn", parts[3]))
                return self.answer(200, page, "text/html; charset=utf-8")
            self.answer(404)
        except (BrokenPipeError, ConnectionResetError):
            pass


def render(binary, source, work, name="plan", change=None):
    folder = os.path.join(work, name)
    shutil.copytree(source, folder)
    if change:
        change(folder)
    # The page alone: no picture of the folder may be asked for.
    home = os.path.join(work, "home-" + name)
    os.mkdir(home)
    env = dict(os.environ, HOME=home, QUARRYSTONE_SUPPORT=os.path.join(home, "support"), TZ="UTC",
               LANG="C.UTF-8", QT_QPA_PLATFORM="offscreen")
    subprocess.run([binary, "--render", folder], check=True, env=env, stdout=subprocess.DEVNULL, timeout=120)
    with open(os.path.join(folder, "index.html"), "rb") as page:
        return page.read()


LARGE_SCREENS = 300


def enlarge(folder):
    """The example's screens repeated to 300, with 1,500 moves: a tree of
    pushes and four long moves from every screen, a graph Mermaid takes
    minutes to lay out."""
    path = os.path.join(folder, "plan.json")
    with open(path, encoding="utf-8") as file:
        plan = json.load(file)
    examples = plan["screens"]
    screens = []
    for at in range(LARGE_SCREENS):
        screen = json.loads(json.dumps(examples[at % len(examples)]))
        screen["id"] = "screen%d" % at
        screen["title"] = "%s %d" % (screen["title"], at)
        screens.append(screen)
    moves = []
    for at in range(LARGE_SCREENS):
        ends = [(at // 2, at)] if at else []
        ends += [(at, (at + step) % LARGE_SCREENS) for step in (13, 26, 39, 52)]
        for start, end in ends:
            moves.append({"from": "screen%d" % start, "to": "screen%d" % end, "kind": "push", "trigger": "열기 %d" % end})
    # Moves a drawing easily hides: two between the same screens, a pair
    # there and back, loops, and words too long for one line.
    for start, end, trigger in ((20, 41, "저장"), (20, 41, "다른 이름으로 저장"), (30, 31, "다음"), (31, 30, "이전"),
                                (60, 60, "목록을 처음부터 다시 불러오기"), (61, 61, "정렬"), (61, 61, "필터"),
                                (70, 90, "주문 내역에서 선택한 상품의 배송 상태를 확인하고 문의하기를 누르면"),
                                (71, 72, "onVeryLongHandlerNameThatNeverBreaksOnItsOwnAnywhere")):
        moves.append({"from": "screen%d" % start, "to": "screen%d" % end, "kind": "push", "trigger": trigger})
    plan["screens"] = screens
    plan["transitions"] = moves
    with open(path, "w", encoding="utf-8") as file:
        json.dump(plan, file, ensure_ascii=False)
    return len(moves)


def wait(browser, condition, seconds=60):
    started = time.monotonic()
    while time.monotonic() < started + seconds:
        if browser.run("return !!(" + condition + ");"):
            print("%.1f s: %s" % (time.monotonic() - started, condition[:70]), flush=True)
            return True
        time.sleep(0.1)
    return False


SCREEN_NODES = """
return Array.from(document.querySelectorAll('.graph svg g.node')).filter(function (n) {
  return n.querySelector('img.gimg');
}).map(function (n) { var r = n.getBoundingClientRect(); return [n.id, r.width, r.height]; });
"""

PRINTED = """
var hidden = function (e) { return e.getClientRects().length === 0; };
var out = {};
out.panels = Array.from(document.querySelectorAll('.dpanel')).filter(hidden).length;
out.cards = Array.from(document.querySelectorAll('.dpanel .model')).filter(function (card) {
  var row = card.parentElement.getBoundingClientRect(), r = card.getBoundingClientRect();
  return hidden(card) || r.right > row.right + 1 || r.left < row.left - 1;
}).length;
out.strings = Array.from(document.querySelectorAll('details.strings')).filter(function (d) {
  var content = d.querySelector(':scope > :not(summary)');
  return !content || hidden(content) || content.getBoundingClientRect().height === 0;
}).length;
out.closedStrings = document.querySelectorAll('details.strings:not([open])').length;
out.models = document.querySelectorAll('.dpanel .model').length;
return out;
"""


def first_answer(browser, site, name, url, shots):
    """A font host and graph library host that never answer hold neither the
    first paint nor the page's own start nor the scroll to an address."""
    browser.open(url)
    check(wait(browser, "document.body && document.body.classList.contains('inbrowser')"),
          name + ": the page's scripts ran while the font and library hosts did not answer")
    check(wait(browser, "performance.getEntriesByType('paint').some(function (p) { return p.name === 'first-contentful-paint'; })"),
          name + ": the page painted while the font host did not answer")
    check(wait(browser, "document.querySelector('.graph .gnote')", 15),
          name + ": the graph box says within seconds that its drawing did not come")
    target = browser.run("var m = document.querySelector('.dpanel[hidden] .model[id]'); return m ? m.id : null;")
    check(target, name + ": a model card in a hidden tab to go to")
    if target:
        # Another page, so that the address is the one the page opens with.
        browser.open(url.replace("/sample/", "/other/") + "#" + target)
        check(wait(browser, "(function (e) { var r = e.getBoundingClientRect(); return r.height > 0 && r.top >= 0 && r.bottom <= innerHeight; })"
                            "(document.getElementById(%r))" % target),
              name + ": the address's card is shown and scrolled to before the load event")
    if shots:
        browser.screenshot(os.path.join(shots, name + "-hosts-silent.png"))


def drawn_graph(browser, site, name, url, shots):
    browser.open(url)
    check(wait(browser, "document.querySelector('.graph svg g.node')"), name + ": the flow graph is drawn")
    check(wait(browser, "Array.from(document.querySelectorAll('.graph img.gimg')).every(function (i) { return i.complete && i.naturalWidth > 0; })"),
          name + ": every thumbnail has its embedded picture")
    nodes = browser.run(SCREEN_NODES)
    check(len(nodes) >= 8, name + ": screen nodes with thumbnails: %d" % len(nodes))
    small = [node for node in nodes if node[1] < 52 or node[2] < 112]
    check(not small, name + ": every screen node is as large as its thumbnail: %r" % small)
    asked = [path for path in site.requests if "/img/" in path or path.endswith(".png")]
    check(not asked, name + ": a page sent alone asks for no picture file: %r" % asked)
    if shots:
        browser.screenshot(os.path.join(shots, name + "-sample.png"))
        browser.print_pdf(os.path.join(shots, name + "-sample.pdf"))


SYNTAX_TITLE = "%%{init: {'theme':'dark', 'themeCSS': '.node rect { fill: rgb(255, 0, 0) !important; }'}}%% x #35; y\r%% z"


def library_syntax(folder):
    """The graph library's directives, entities and a carriage return in a
    screen title and in a move's words."""
    path = os.path.join(folder, "plan.json")
    with open(path, encoding="utf-8") as file:
        plan = json.load(file)
    plan["screens"][0]["title"] = SYNTAX_TITLE
    plan["transitions"][1]["trigger"] = SYNTAX_TITLE
    with open(path, "w", encoding="utf-8") as file:
        json.dump(plan, file, ensure_ascii=False)


def syntax_as_text(browser, name, url):
    """Plan text that is the graph library's own syntax is drawn as text."""
    browser.open(url)
    check(wait(browser, "document.querySelector('.graph svg g.node')"), name + ": the graph with library syntax in it is drawn")
    shown = SYNTAX_TITLE.replace("\r", " ")
    expected = {"error": False, "nodes": 2, "red": 0}
    # The first box can be there before the rest of the drawing has its
    # words (a loaded machine shows it): the page is read until it holds
    # what is expected or a while has passed, and judged on the last reading.
    started = time.monotonic()
    while True:
        found = browser.run("""
var want = arguments[0];
var texts = Array.from(document.querySelectorAll('.graph svg g.node, .graph svg span.edgeLabel')).map(function (n) { return n.textContent; });
return { error: document.querySelector('.graph svg').getAttribute('aria-roledescription') === 'error',
         nodes: texts.filter(function (t) { return t.indexOf(want) >= 0; }).length,
         red: Array.from(document.querySelectorAll('.graph svg g.node rect')).filter(function (r) { return getComputedStyle(r).fill === 'rgb(255, 0, 0)'; }).length };
""", shown)
        if found == expected or time.monotonic() > started + 20:
            break
        time.sleep(0.1)
    check(found == expected,
          name + ": the title and the move's words show as written, and nothing re-themes the graph: %r" % found)


# Texts the graph library reads as its own syntax: its stand-ins for
# entities (which it turns back into "&" and ";"), formulas, icons,
# entities, directives, Markdown, backslashes and control characters.
DOT = "\ufb02\u00b0\u00b046\u00b6\u00df"
SLASH = "\ufb02\u00b0\u00b047\u00b6\u00df"
HOSTILE_TEXTS = [
    DOT + DOT + "/x", "a \ufb02\u00b0\u00b035\u00b6\u00df b \ufb02\u00b0lt\u00b6\u00dfi\u00b6\u00df c", "\ufb02\u00b0amp\u00b6\u00df 끝",
    "\u00b6\u00df\u00b0 온도 30\u00b0", "$$}$$", "할인 $$10$$ 적용", "$$\\rule{100000em}{100000em}$$", "$x$ 와 $$\\frac{a}{b}$$",
    "fa:fa-gift", "fab:fa-github 선물 fa:fa-car", "#35; #lt; #quot; #9829;", "&amp; &lt;b&gt; &#35; &",
    "<b>굵게</b> <img src=x onerror=alert(1)>", "%%{init: {'theme':'dark'}}%%", "%% 주석 %%", "`**md**` **별** _밑_",
    "C:\\new\\table", "a\\nb \\\\n <br/>", "x\u0001y\u001fz\u007f\u0085w", "탭\t폼\f세로\v끝", "줄\n바꿈\r\n그리고\u2028다음",
    "끝 \"따옴\" 'b'", "click giftBox href \"javascript:alert(1)\"", "end", "A-->B |x| [y] {z} (w) ;", "style giftBox fill:#f00",
]
# Picture paths the library turned into "../../outside.png" and "//host/x.png".
HOSTILE_PICTURES = [DOT + DOT + "/" + DOT + DOT + "/outside.png", SLASH + SLASH + "host/x.png", "img/" + DOT + ".png"]


def one_line(text):
    """A text as the graph shows it: on one line, its quotation marks made apostrophes."""
    for line_break in ("\r", "\n", "\u2028", "\u2029"):
        text = text.replace(line_break, " ")
    return text.replace('"', "'")


def hostile(offset):
    """The example with hostile texts from `offset` on as every screen
    title and move trigger, and hostile picture paths."""
    def change(folder):
        path = os.path.join(folder, "plan.json")
        with open(path, encoding="utf-8") as file:
            plan = json.load(file)
        count = len(HOSTILE_TEXTS)
        for at, screen in enumerate(plan["screens"]):
            screen["title"] = HOSTILE_TEXTS[(offset + at) % count]
            if at < len(HOSTILE_PICTURES):
                picture = HOSTILE_PICTURES[at]
                os.makedirs(os.path.dirname(os.path.join(folder, picture)), exist_ok=True)
                shutil.copy(os.path.join(folder, screen["image"]["before"]), os.path.join(folder, picture))
                screen["image"]["before"] = picture
        for at, move in enumerate(plan["transitions"]):
            move.pop("condition", None)
            if move["trigger"]:
                move["trigger"] = HOSTILE_TEXTS[(offset + len(plan["screens"]) + at) % count]
        with open(path, "w", encoding="utf-8") as file:
            json.dump(plan, file, ensure_ascii=False)
        with open(os.path.join(folder, "expected.json"), "w", encoding="utf-8") as file:
            json.dump(plan, file, ensure_ascii=False)
    return change


def expected_drawing(plan):
    """Every screen's title, and the words of every move the graph draws: a
    move back along one drawn forward is left out, and a move from outside
    is the entry."""
    back = ("pop", "dismiss")
    moves = plan["transitions"]
    forward = {(m["from"], m["to"]) for m in moves if m["kind"] not in back}
    words = []
    for m in moves:
        if m["kind"] in back and not m.get("popUpTo") and (m["to"], m["from"]) in forward:
            continue
        words.append("진입" if m["from"].startswith("@") else one_line(m["trigger"]))
    return sorted(one_line(s["title"]) for s in plan["screens"]), sorted(w for w in words if w.strip())


HOSTILE_DRAWN = """
var boxes = Array.from(document.querySelectorAll('.graph svg g.node')).map(function (node) {
  var label = node.querySelector('.nodeLabel, .glabel'), copy = label.cloneNode(true), small = copy.querySelector('small');
  if (small) copy.removeChild(small);
  return { title: copy.textContent, screen: !!small };
});
var words = Array.from(document.querySelectorAll('.graph span.edgeLabel, .graph .gmove'))
  .map(function (l) { return l.textContent; }).filter(function (t) { return t.trim(); });
var folder = location.href.replace(/[^/]*$/, '');
var outside = Array.from(document.querySelectorAll('.graph img')).map(function (i) { return i.src; })
  .concat(performance.getEntriesByType('resource').filter(function (e) { return e.initiatorType === 'img'; })
    .map(function (e) { return e.name; }))
  .filter(function (a) { return a.indexOf('data:') !== 0 && a.indexOf(folder) !== 0 && a.indexOf('/cdn-ok/') < 0 && a.indexOf('/fonts-') < 0; });
var svg = document.querySelector('.graph svg').getBoundingClientRect();
return { titles: boxes.filter(function (b) { return b.screen; }).map(function (b) { return b.title; }).sort(),
         places: boxes.length - boxes.filter(function (b) { return b.screen; }).length, words: words.sort(),
         pictures: document.querySelectorAll('.graph img').length, outside: outside, width: svg.width,
         error: document.querySelector('.graph').textContent.indexOf('Syntax error') >= 0 };
"""


def hostile_text(browser, name, url, plan):
    """Each box and move of a graph the library lays out shows its plan text
    as written, and every picture of it comes from the plan folder."""
    browser.open(url)
    check(wait(browser, "document.querySelector('.graph svg g.node') && "
                        "Array.from(document.querySelectorAll('.graph img')).every(function (i) { return i.complete; })"),
          name + ": the graph with hostile texts is drawn")
    titles, words = expected_drawing(plan)
    found = browser.run(HOSTILE_DRAWN)
    expected = {"titles": titles, "places": 1, "words": words, "pictures": len(plan["screens"]), "outside": [],
                "error": False}
    width = found.pop("width")
    check(found == expected, name + ": every box and move as written, no picture from outside the folder: %r, expected %r"
          % (found, expected))
    check(width < 3000, name + ": no formula widened the drawing: %r px" % width)


LARGE_DRAWING = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "linesthroughboxes.js"),
                     encoding="utf-8").read() + """
var boxes = Array.from(document.querySelectorAll('.graph svg g.node')).map(function (n) { return n.getBoundingClientRect(); });
var overlaps = 0;
for (var i = 0; i < boxes.length; i++)
  for (var j = i + 1; j < boxes.length; j++) {
    var a = boxes[i], b = boxes[j];
    if (a.left < b.right - 0.5 && b.left < a.right - 0.5 && a.top < b.bottom - 0.5 && b.top < a.bottom - 0.5) overlaps++;
  }
// A move's words can be read: they meet no box and no other move's words,
// inside the drawing.
var whole = document.querySelector('.graph svg').getBoundingClientRect();
var meet = function (a, b) { return a.left < b.right - 0.5 && b.left < a.right - 0.5 && a.top < b.bottom - 0.5 && b.top < a.bottom - 0.5; };
var words = Array.from(document.querySelectorAll('.graph svg .gmove')).map(function (w) { return w.getBoundingClientRect(); });
var hidden = words.filter(function (r, at) {
  return r.width === 0 || r.left < whole.left || r.right > whole.right || r.top < whole.top || r.bottom > whole.bottom ||
         boxes.some(function (q) { return meet(r, q); }) || words.some(function (q, other) { return other !== at && meet(r, q); });
}).length;
var through = linesThroughBoxes().length;
return { nodes: boxes.length, small: boxes.filter(function (r) { return r.width < 52 || r.height < 112; }).length,
         lines: document.querySelectorAll('.graph svg path.flowchart-link').length,
         links: document.querySelectorAll('.graph svg a[href^="#s-"]').length,
         notes: document.querySelectorAll('.graph .gnote').length, overlaps: overlaps, hidden: hidden, through: through };
"""


PAPER_GRAPH = """
var graph = document.querySelector('.graph'), svg = graph.querySelector('svg'), box = svg.getBoundingClientRect();
var next = graph.closest('section').nextElementSibling.getBoundingClientRect();
var note = graph.querySelector('.gpaper:not(.gundrawn)');
return { shown: box.height > 0, scale: box.width / svg.viewBox.baseVal.width, fits: box.height <= innerHeight,
         before: graph.getBoundingClientRect().bottom <= next.top, note: !!note && note.getBoundingClientRect().height > 0 && note.textContent.indexOf('이 페이지를 브라우저로 열어 볼 수 있고') > 0 };
"""


UNDRAWN_PAPER = """
var shown = function (e) { return !!e && e.getClientRects().length > 0; };
return { offer: shown(document.querySelector('.gask')),
         words: Array.from(document.querySelectorAll('.graph p')).filter(shown).map(function (p) { return p.textContent; }).join('|') };
"""


def large_graph(browser, name, url, moves):
    """A graph of 300 screens and 1,500 moves waits to be asked, and is
    then drawn while the page goes on answering."""
    browser.open(url)
    check(wait(browser, "document.getElementById('graph-draw') && !document.getElementById('graph-draw').disabled"),
          name + ": the large graph offers its drawing")
    check(browser.run("return document.querySelectorAll('.graph svg').length;") == 0,
          name + ": the large graph is not drawn unasked")
    # Undrawn, it prints no offer to press a button, but where the map is.
    browser.set_print_media(True)
    try:
        undrawn = browser.run(UNDRAWN_PAPER)
    finally:
        browser.set_print_media(False)
    check(undrawn == {"offer": False, "words": "그래프는 이 페이지를 브라우저로 열어 그릴 수 있어요. 화면 사이 이동은 화면별 상세에 있어요."},
          name + ": the undrawn large graph on paper says where the map is: %r" % undrawn)
    browser.run("document.getElementById('graph-draw').click();")
    check(wait(browser, "document.querySelector('.gask').hidden", 60), name + ": the large graph is drawn when asked")
    drawing = browser.run(LARGE_DRAWING)
    check(drawing == {"nodes": LARGE_SCREENS, "small": 0, "lines": moves, "links": LARGE_SCREENS, "notes": 0,
                      "overlaps": 0, "hidden": 0, "through": 0},
          name + ": every screen and move of the large graph, no box over another, every move's words seen,"
          " no line through another box: %r" % drawing)
    # A drawing is never split across sheets (what follows would be printed
    # over its rest), nor shrunk to one below a size its words can be read
    # at: on paper it is whole and readable, or left off with a word why,
    # with no before-print event (a print to PDF need not send one).
    browser.set_print_media(True)
    try:
        paper = browser.run(PAPER_GRAPH)
    finally:
        browser.set_print_media(False)
    readable = paper["scale"] >= 0.6 and paper["fits"] if paper["shown"] else paper["note"]
    check(readable and paper["before"], name + ": the drawn large graph on paper is readable, before what follows: %r" % paper)


def separate_storage(browser, site, name):
    """Two plans served from one host keep their own graph fold."""
    first = site.url("/page/ok/none/sample/index.html")
    second = site.url("/page/ok/none/other/index.html")
    browser.open(first)
    wait(browser, "document.getElementById('graph-fold')")
    browser.run("document.getElementById('graph-fold').click();")
    check(browser.run("return document.querySelector('.graph').classList.contains('closed');"),
          name + ": the fold button closes the graph")
    browser.open(second)
    wait(browser, "document.getElementById('graph-fold')")
    check(not browser.run("return document.querySelector('.graph').classList.contains('closed');"),
          name + ": another plan's page keeps its graph open")


def printed(browser, name, url):
    browser.open(url)
    wait(browser, "document.querySelector('.graph svg g.node')")
    # Screen state as a reader leaves it: a strings block closed, a card folded.
    browser.run("document.querySelectorAll('details.strings').forEach(function (d) { d.open = false; });"
                "var card = document.querySelector('.screen .title'); if (card) card.click();")
    browser.set_print_media(True)
    try:
        state = browser.run(PRINTED)
    finally:
        browser.set_print_media(False)
    check(state["models"] >= 3, name + ": model and API cards on the page: %d" % state["models"])
    check(state["closedStrings"] > 0, name + ": strings blocks closed on screen")
    check(state["panels"] == 0, name + ": every data panel shows on paper (%d hidden)" % state["panels"])
    check(state["cards"] == 0, name + ": every model card lies on the paper (%d cut)" % state["cards"])
    check(state["strings"] == 0, name + ": every strings block shows on paper (%d closed)" % state["strings"])
    folded = browser.run("var card = document.querySelector('.screen.closed'); return card ? 1 : 0;")
    check(folded == 1, name + ": a folded card to print")


def dark_printed(browser, name, url):
    """A graph drawn in a dark system's colours prints in the paper's."""
    browser.devtools("Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
    browser.open(url)
    check(wait(browser, "document.querySelector('.graph svg g.node')"), name + ": the graph is drawn in a dark system")
    fills = "return Array.from(document.querySelectorAll('.graph svg g.node rect')).map(function (r) { return getComputedStyle(r).fill; });"
    on_screen = browser.run(fills)
    browser.devtools("Emulation.setEmulatedMedia", {"media": "print", "features": [{"name": "prefers-color-scheme", "value": "dark"}]})
    try:
        on_paper = browser.run(fills)
    finally:
        browser.devtools("Emulation.setEmulatedMedia", {"media": "", "features": []})
    dark = lambda fill: sum(int(part) for part in fill[fill.index("(") + 1:fill.index(")")].split(",")[:3]) < 300
    check(on_screen and all(dark(fill) for fill in on_screen), name + ": the boxes are dark on a dark screen: %r" % on_screen[:3])
    check(on_paper and not any(dark(fill) for fill in on_paper), name + ": no box prints dark: %r" % on_paper[:3])


# The contrast of each box's outline with the map's ground, as forced
# colours show them.
OUTLINES = """
var rgb = function (text) { return text.match(/[\\d.]+/g).slice(0, 3).map(Number); };
var light = function (c) {
  var l = c.map(function (v) { v /= 255; return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4); });
  return 0.2126 * l[0] + 0.7152 * l[1] + 0.0722 * l[2];
};
var ground = light(rgb(getComputedStyle(document.querySelector('.graph')).backgroundColor));
return Array.from(document.querySelectorAll('.graph svg g.node rect, .graph svg g.node polygon')).map(function (r) {
  var edge = light(rgb(getComputedStyle(r).stroke));
  return Math.round((Math.max(edge, ground) + 0.05) / (Math.min(edge, ground) + 0.05) * 10) / 10;
});
"""


def forced_colours(browser, name, url):
    """With forced colours, every box's outline stands out from the map's ground."""
    browser.devtools("Emulation.setEmulatedMedia", {"features": [{"name": "forced-colors", "value": "active"}]})
    try:
        browser.open(url)
        check(wait(browser, "document.querySelector('.graph svg g.node')"), name + ": the graph is drawn with forced colours")
        ratios = browser.run(OUTLINES)
    finally:
        browser.devtools("Emulation.setEmulatedMedia", {"media": "", "features": []})
    check(ratios and min(ratios) >= 3, name + ": every box's outline at 3:1 or more with forced colours: %r" % ratios[:5])


def main():
    if len(sys.argv) not in (4, 5) or sys.argv[3] not in ("firefox", "chromium"):
        print(__doc__)
        return 64
    binary, source, name = sys.argv[1:4]
    library_path = os.environ.get("QUARRYSTONE_MERMAID_JS") or (sys.argv[4] if len(sys.argv) == 5 else "")
    if not os.path.isfile(library_path):
        print("Mermaid 10.9.1 is not installed: run ./setup.sh test, or set QUARRYSTONE_MERMAID_JS")
        return SKIPPED
    with open(library_path, "rb") as library:
        library_bytes = library.read()
    shots = os.environ.get("QUARRYSTONE_BROWSER_SHOTS")
    work = tempfile.mkdtemp(prefix="quarrystone-colleague-")
    site = browser = None
    try:
        page = render(binary, source, work)
        moves = []
        large = render(binary, source, work, "large", lambda folder: moves.append(enlarge(folder)))
        syntax = render(binary, source, work, "syntax", library_syntax)
        pages = {"sample": page, "other": page, "large": large, "syntax": syntax}
        hostile_plans = {}
        for offset in range(0, len(HOSTILE_TEXTS), 8):
            hostile_name = "hostile%d" % offset
            pages[hostile_name] = render(binary, source, work, hostile_name, hostile(offset))
            with open(os.path.join(work, hostile_name, "expected.json"), encoding="utf-8") as file:
                hostile_plans[hostile_name] = json.load(file)
        site = Site(pages, library_bytes)
        driver = browserdrivers.Firefox if name == "firefox" else browserdrivers.Chromium
        browser = driver()
        first_answer(browser, site, name, site.url("/page/hang/hang/sample/index.html"), shots)
        site.requests.clear()
        drawn_graph(browser, site, name, site.url("/page/ok/ok/sample/index.html"), shots)
        separate_storage(browser, site, name)
        syntax_as_text(browser, name, site.url("/page/ok/ok/syntax/index.html"))
        for hostile_name, plan in sorted(hostile_plans.items()):
            hostile_text(browser, name + " " + hostile_name, site.url("/page/ok/ok/%s/index.html" % hostile_name), plan)
        large_graph(browser, name, site.url("/page/ok/ok/large/index.html"), moves[0])
        browser.close()
        # Paper is narrower than a desktop window.
        browser = driver(width=700, height=900)
        printed(browser, name, site.url("/page/ok/ok/sample/index.html"))
        if name == "chromium":
            dark_printed(browser, name, site.url("/page/ok/ok/sample/index.html"))
            forced_colours(browser, name, site.url("/page/ok/ok/sample/index.html"))
    finally:
        if browser:
            browser.close()
        if site:
            site.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("%s: %s" % (name, "failed: %d" % len(failures) if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
