#include "browser/viewharness.h"
#include "support/qtprinters.h"
#include "support/richplan.h"
#include "support/testfiles.h"
#include "views/decisionbridge.h"
#include "views/paneldesktop.h"
#include "views/webzoom.h"
#include "views/zoomcontrol.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QMenu>
#include <QSignalSpy>
#include <QToolButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using namespace ViewHarness;

namespace {

Plan pickPlan()
{
    Plan plan = RichPlan::make();
    plan.decisions[0].options = {u"예"_s, u"아니오"_s};
    return plan;
}

QByteArray png()
{
    QImage image(4, 4, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Serves an HTML page on loopback at `path`.
void serveHtml(const QByteArray &path, const QByteArray &html)
{
    HttpServer::Response response = HttpServer::Response::text(200, html);
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/html; charset=utf-8")));
    Rig::shared().server().serve(path, response);
}

QMenu *shownMenu()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *menu = qobject_cast<QMenu *>(widget); menu && menu->isVisible())
            return menu;
    return nullptr;
}

// A real right-click at the first match; the menu it brings up, with its
// items as "text", "text (off)" for a disabled one and "-" between groups.
std::pair<QMenu *, QStringList> rightClick(QWebEngineView &view, const QString &selector)
{
    const std::optional<QPoint> point = centre(view, selector);
    if (!point) {
        ADD_FAILURE() << "nothing to click at " << selector.toStdString();
        return {};
    }
    QWindow *window = view.window()->windowHandle();
    const QPoint at = view.mapTo(view.window(), *point);
    QTest::mouseMove(window, at);
    QTest::mouseClick(window, Qt::RightButton, {}, at);
    if (!spinUntil([] { return shownMenu() != nullptr; }, 5000)) {
        ADD_FAILURE() << "no menu at " << selector.toStdString();
        return {};
    }
    QMenu *menu = shownMenu();
    QStringList items;
    for (QAction *action : menu->actions())
        items.append(action->isSeparator() ? u"-"_s : action->text() + (action->isEnabled() ? u""_s : u" (off)"_s));
    return {menu, items};
}

void choose(QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions())
        if (action->text() == text) {
            action->trigger();
            menu->close();
            return;
        }
    ADD_FAILURE() << "no item " << text.toStdString();
}

// Two plan folders side by side under one root.
class PlanWebViewTest : public testing::Test
{
protected:
    void SetUp() override
    {
        Rig::shared();
        WebZoom::shared()->set(1.0);
        m_a = m_root.filePath(u"a-plan"_s);
        m_b = m_root.filePath(u"b-plan"_s);
        Plan a = pickPlan();
        Exporter::writeAll(a, m_a, Conventions::builtIn());
        Plan b = RichPlan::make();
        b.meta.title = u"두 번째"_s;
        Exporter::writeAll(b, m_b, Conventions::builtIn());
        m_window.resize(1280, 900);
        auto *layout = new QVBoxLayout(&m_window);
        layout->setContentsMargins(0, 0, 0, 0);
    }

    void TearDown() override
    {
        DecisionBridge::shared()->setHandler({});
        PanelDesktop::replace(nullptr);
    }

    // A new view in the test window, prepared for loopback.
    PlanWebView *makeView()
    {
        auto *view = new PlanWebView(&m_window);
        Rig::shared().prepare(*view);
        m_window.layout()->addWidget(view);
        if (!m_window.isVisible())
            Rig::show(m_window);
        return view;
    }

    QString page(const QString &dir) const { return dir + u"/index.html"_s; }

    bool show(PlanWebView &view, const QString &dir, int token)
    {
        return loaded(view, [&] { view.bringUpToDate(page(dir), dir, token); });
    }

    QTemporaryDir m_root;
    QString m_a;
    QString m_b;
    QWidget m_window;
};

TEST_F(PlanWebViewTest, PageReadsOnlyItsOwnFolderAndDecisionsCountOnlyFromIt)
{
    const QList<std::pair<QString, QByteArray>> files = {
        {m_a + u"/own.txt"_s, "own"}, {m_a + u"/own.png"_s, png()},
        {m_a + u"/frame.html"_s, "<script>parent.postMessage('own frame', '*')</script>"},
        {m_b + u"/secret.txt"_s, "secret"}, {m_b + u"/secret.png"_s, png()},
        {m_b + u"/frame.html"_s, "<script>parent.postMessage('sibling frame', '*')</script>"}};
    for (const auto &[path, bytes] : files)
        TestFiles::writeFile(path, bytes);
    // A link inside the folder that points out of it is followed to its target.
    ASSERT_TRUE(QFile::link(m_b + u"/secret.txt"_s, m_a + u"/link.txt"_s));
    QStringList posted; // folder | id | line
    DecisionBridge::shared()->setHandler([&](const QString &dir, const QList<DecisionBridge::Decision> &decisions) {
        for (const DecisionBridge::Decision &decision : decisions)
            posted.append(dir + u" | "_s + decision.id + u" | "_s + decision.line.value_or(u"(withdrawn)"_s));
    });
    serveHtml("/away", "<!doctype html><meta charset=utf-8><script>"
                       "window.webkit.messageHandlers.quarryDecide.postMessage({id: 'D1', choice: '\xec\x95\x85\xec\x9d\x98'});"
                       "window.webkit.messageHandlers.quarryZoom.postMessage('reset');"
                       "</script><p>away</p>");

    PlanWebView *view = makeView();
    QSignalSpy refused(view, &PlanWebView::messageRefused);
    // Each act must deliver exactly one more decision.
    const auto posts = [&](const std::function<void()> &act) {
        const qsizetype before = posted.size();
        act();
        return spinUntil([&] { return posted.size() == before + 1; }, 5000);
    };
    const auto pick = [&](const QString &option) {
        return posts([&] { click(*view, u".dpick[data-id=\"D1\"] > .opt[data-o=\"%1\"]"_s.arg(option)); });
    };
    ASSERT_TRUE(show(*view, m_a, 0));
    eval(*view, uR"JS(
      window.__r = { frames: [] };
      addEventListener('message', function (e) { __r.frames.push(e.data); });
      function image(name, src) { var i = new Image(); i.onload = function () { __r[name] = 'load'; };
        i.onerror = function () { __r[name] = 'error'; }; i.src = src; }
      function xhr(name, src) { var r = new XMLHttpRequest(); r.onload = function () { __r[name] = r.responseText; };
        r.onerror = function () { __r[name] = 'error'; }; try { r.open('GET', src); r.send(); } catch (e) { __r[name] = 'error'; } }
      function frame(src) { var f = document.createElement('iframe'); f.src = src; document.body.appendChild(f); }
      image('ownImage', 'own.png'); image('siblingImage', '../b-plan/secret.png');
      xhr('ownText', 'own.txt'); xhr('siblingText', '../b-plan/secret.txt'); xhr('linkText', 'link.txt');
      fetch('../b-plan/secret.txt').then(function (r) { return r.text(); })
        .then(function (t) { __r.fetched = t; }, function () { __r.fetched = 'error'; });
      frame('frame.html'); frame('../b-plan/frame.html');
    )JS"_s);
    ASSERT_TRUE(waitFor(*view, u"__r.ownImage && __r.siblingImage && __r.ownText && __r.siblingText && __r.linkText && __r.fetched"
                               u" && __r.frames.length > 0"_s));
    pause(500); // time for the sibling frame, had it loaded
    EXPECT_EQ(eval(*view, u"JSON.stringify(__r, Object.keys(__r).sort())"_s).toString(),
              uR"({"fetched":"error","frames":["own frame"],"linkText":"error","ownImage":"load","ownText":"own","siblingImage":"error","siblingText":"error"})"_s);

    // The page's world has the handlers it expects, frozen, and no channel.
    EXPECT_EQ(eval(*view, u"typeof qt"_s).toString(), u"undefined"_s);
    EXPECT_EQ(eval(*view, u"window.webkit = null; window.webkit.messageHandlers.quarryDecide = null;"
                          u" window.webkit.messageHandlers.quarryDecide.postMessage = null;"
                          u" typeof window.webkit.messageHandlers.quarryDecide.postMessage + ' ' +"
                          u" typeof window.webkit.messageHandlers.quarryZoom.postMessage"_s)
                  .toString(),
              u"function function"_s);
    EXPECT_EQ(eval(*view, u"typeof qt"_s, QWebEngineScript::ApplicationWorld).toString(), u"object"_s);
    EXPECT_TRUE(eval(*view, u"document.body.classList.contains('inapp')"_s).toBool());

    ASSERT_TRUE(pick(u"예"_s));
    // A move inside the page keeps it the plan page.
    eval(*view, u"location.hash = '#decisions'"_s);
    ASSERT_TRUE(pick(u"예"_s));

    // Another page in the view speaks in vain, through the same handlers.
    eval(*view, u"var a = document.createElement('a'); a.id = 'away'; a.href = %1; a.textContent = 'away';"
                u" document.body.prepend(a);"_s.arg(js(Rig::shared().server().url(u"/away"_s).toString())));
    ASSERT_TRUE(loaded(*view, [&] { view->page()->load(QUrl(eval(*view, u"document.getElementById('away').href"_s).toString())); }));
    ASSERT_TRUE(spinUntil([&] { return refused.size() == 2; }, 5000));
    pause(200);
    EXPECT_EQ(posted.size(), 2);
    EXPECT_EQ(refused[0][0].toString(), u"quarryDecide"_s);
    EXPECT_TRUE(refused[0][1].toString().startsWith(u"http://127.0.0.1:"_s));
    EXPECT_EQ(refused[1][0].toString(), u"quarryZoom"_s);

    // The next update brings the plan page back, and it counts again.
    ASSERT_TRUE(show(*view, m_a, 0));
    EXPECT_EQ(view->url(), QUrl::fromLocalFile(page(m_a)));
    ASSERT_TRUE(pick(u"아니오"_s));
    // Another folder's page posts for that folder.
    ASSERT_TRUE(show(*view, m_b, 0));
    ASSERT_TRUE(posts([&] { eval(*view, u"window.webkit.messageHandlers.quarryDecide.postMessage({id: 'D9', text: '두\\n줄'})"_s); }));
    EXPECT_EQ(posted, (QStringList{m_a + u" | D1 | "_s + DecisionBridge::choiceLine(u"D1"_s, u"예"_s),
                                   m_a + u" | D1 | (withdrawn)"_s,
                                   m_a + u" | D1 | "_s + DecisionBridge::choiceLine(u"D1"_s, u"아니오"_s),
                                   m_b + u" | D9 | "_s + DecisionBridge::textLine(u"D9"_s, u"두 줄"_s)}));
}

// The engine's factor is the level after every load, whatever brought it.
TEST_F(PlanWebViewTest, TokenReloadsOnceAndZoomKeepsTheLevelAndMagnifiesApart)
{
    serveHtml("/detour", "<!doctype html><p>detour</p>");
    WebZoom *zoom = WebZoom::shared();
    zoom->set(1.5);
    auto *control = new ZoomControl(zoom, &m_window);
    m_window.layout()->addWidget(control);
    auto *percent = control->findChild<QToolButton *>(u"zoomActual"_s);
    auto *plus = control->findChild<QToolButton *>(u"zoomIn"_s);

    PlanWebView *view = makeView();
    const auto factor = [&] { return view->page()->zoomFactor(); };
    ASSERT_TRUE(show(*view, m_a, 0));
    EXPECT_DOUBLE_EQ(factor(), 1.5);
    eval(*view, u"window.__marker = 1"_s);
    // The same token and file: nothing happens.
    view->bringUpToDate(page(m_a), m_a, 0);
    pause(300);
    EXPECT_EQ(eval(*view, u"window.__marker"_s).toInt(), 1);

    // The page was rewritten on disk; a raised token shows the new one.
    Plan changed = pickPlan();
    changed.meta.title = u"고친 뒤"_s;
    Exporter::writeAll(changed, m_a, Conventions::builtIn());
    ASSERT_TRUE(loaded(*view, [&] { view->bringUpToDate(page(m_a), m_a, 1); }));
    EXPECT_FALSE(eval(*view, u"'__marker' in window"_s).toBool());
    EXPECT_TRUE(eval(*view, u"document.title.indexOf('고친 뒤') >= 0 || document.body.textContent.indexOf('고친 뒤') >= 0"_s).toBool());
    EXPECT_EQ(view->token(), 1);
    EXPECT_DOUBLE_EQ(factor(), 1.5);

    // A fragment of the same file is the same page.
    eval(*view, u"location.hash = '#decisions'; window.__marker = 2"_s);
    pause(100);
    view->bringUpToDate(page(m_a), m_a, 1);
    pause(300);
    EXPECT_EQ(eval(*view, u"window.__marker"_s).toInt(), 2);

    // Another folder loads whatever the token; so does an http detour and the way back.
    ASSERT_TRUE(show(*view, m_b, 1));
    EXPECT_EQ(view->url(), QUrl::fromLocalFile(page(m_b)));
    EXPECT_DOUBLE_EQ(factor(), 1.5);
    ASSERT_TRUE(loaded(*view, [&] { view->load(Rig::shared().server().url(u"/detour"_s)); }));
    EXPECT_DOUBLE_EQ(factor(), 1.5);
    ASSERT_TRUE(show(*view, m_a, 1));
    EXPECT_DOUBLE_EQ(factor(), 1.5);

    // Out of sight, a view waits; raised twice meanwhile, it reloads once when shown.
    view->hide();
    QSignalSpy starts(view->page(), &QWebEnginePage::loadStarted);
    view->bringUpToDate(page(m_a), m_a, 2);
    view->bringUpToDate(page(m_a), m_a, 3);
    pause(300);
    EXPECT_EQ(starts.size(), 0);
    EXPECT_EQ(view->token(), 1);
    ASSERT_TRUE(loaded(*view, [&] { view->show(); }));
    pause(300);
    EXPECT_EQ(starts.size(), 1);
    EXPECT_EQ(view->token(), 3);
    delete view;

    // Zoom changes with no view only move the level; the next view takes it.
    zoom->set(1.2);
    view = makeView();
    EXPECT_EQ(zoom->view(), view);
    ASSERT_TRUE(show(*view, m_a, 0));
    EXPECT_DOUBLE_EQ(factor(), 1.2);

    // Ctrl+wheel magnifies the view, not the level; a plain wheel scrolls.
    wheel(*view, 120, Qt::NoModifier);
    EXPECT_DOUBLE_EQ(factor(), 1.2);
    wheel(*view, 240, Qt::ControlModifier);
    EXPECT_NEAR(factor(), 1.2 * 1.21, 1e-9);
    EXPECT_DOUBLE_EQ(zoom->level(), 1.2);
    EXPECT_EQ(percent->text(), u"120%"_s);
    // Plus steps the level and keeps the magnification.
    plus->click();
    EXPECT_NEAR(factor(), 1.3 * 1.21, 1e-9);
    // The product stays within the engine's range.
    for (int notch = 0; notch < 30; ++notch)
        wheel(*view, 120, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(factor(), 5.0);
    // The percent button undoes it.
    percent->click();
    EXPECT_DOUBLE_EQ(factor(), 1.0);
    EXPECT_DOUBLE_EQ(view->magnification(), 1.0);
    // So does "실제 크기" (Ctrl+0 in the menu), from any level.
    zoom->set(0.8);
    wheel(*view, -120, Qt::ControlModifier);
    EXPECT_LT(factor(), 0.8);
    zoom->actualSize();
    EXPECT_DOUBLE_EQ(factor(), 1.0);

    // Ctrl+wheel follows the engine's input widget across a renderer restart.
    QPointer<QWidget> before = view->focusProxy();
    ASSERT_TRUE(before);
    QSignalSpy ended(view->page(), &QWebEnginePage::renderProcessTerminated);
    view->page()->load(QUrl(u"chrome://crash"_s));
    ASSERT_TRUE(spinUntil([&] { return ended.size() == 1; }, 20000));
    ASSERT_TRUE(show(*view, m_a, 1));
    ASSERT_TRUE(spinUntil([&] { return view->focusProxy() && view->focusProxy() != before.data(); }, 5000));
    wheel(*view, 120, Qt::ControlModifier);
    EXPECT_NEAR(factor(), 1.1, 1e-9);
    EXPECT_DOUBLE_EQ(zoom->level(), 1.0);

    // And so does the page's own reset from a graph link.
    if (!Rig::shared().hasMermaid())
        GTEST_SKIP() << "Mermaid 10.9.1 is not installed: the graph link needs it";
    zoom->set(1.4);
    wheel(*view, 120, Qt::ControlModifier);
    ASSERT_GT(factor(), 1.5);
    ASSERT_TRUE(waitFor(*view, u"document.querySelector('.graph svg a[*|href=\"#s-comment-sheet\"]')"_s, 60000));
    click(*view, u".graph svg a[*|href=\"#s-comment-sheet\"]"_s);
    ASSERT_TRUE(spinUntil([&] { return factor() == 1.0; }, 5000)) << factor();
    EXPECT_DOUBLE_EQ(zoom->level(), 1.0);
    EXPECT_EQ(percent->text(), u"100%"_s);
    EXPECT_TRUE(waitFor(*view, u"location.hash === '#s-comment-sheet'"_s));
}

TEST_F(PlanWebViewTest, RightClickGivesAKoreanMenuThatWorksAndOtherSitesOpenInTheBrowser)
{
    TestFiles::writeFile(m_a + u"/own.png"_s, png());
    PlanWebView *view = makeView();
    // What would open in the person's browser.
    QList<QUrl> opened;
    QObject::connect(view, &PlanWebView::addressFollowed, view, [&opened](const QUrl &url) { opened.append(url); });
    ASSERT_TRUE(show(*view, m_a, 0));
    const QString away = Rig::shared().server().url(u"/away"_s).toString();
    serveHtml("/away", "<!doctype html><p>away</p>");
    const qsizetype awayBefore = Rig::shared().server().requestsTo("/away").size();
    eval(*view, uR"JS(
      document.body.insertAdjacentHTML('afterbegin',
        '<p><a id="out" href=' + JSON.stringify(%1) + '>바깥</a> <a id="own" href="#decisions">결정으로</a></p>' +
        '<p id="plain">그냥 글</p><img id="pic" src="own.png" style="width:60px;height:60px">');
    )JS"_s.arg(js(away)));
    ASSERT_TRUE(waitFor(*view, u"document.getElementById('pic').complete"_s));
    const QStringList moving{u"뒤로 (off)"_s, u"앞으로 (off)"_s, u"새로고침"_s};

    auto [menu, items] = rightClick(*view, u"#out"_s);
    ASSERT_TRUE(menu);
    EXPECT_EQ(items, (QStringList{u"링크 복사"_s, u"-"_s} + moving));
    QGuiApplication::clipboard()->clear();
    choose(menu, u"링크 복사"_s);
    EXPECT_TRUE(spinUntil([&] { return QGuiApplication::clipboard()->text() == away; }, 5000))
        << QGuiApplication::clipboard()->text().toStdString();

    std::tie(menu, items) = rightClick(*view, u"#pic"_s);
    ASSERT_TRUE(menu);
    EXPECT_EQ(items, (QStringList{u"이미지 복사"_s, u"-"_s} + moving));
    choose(menu, u"이미지 복사"_s);
    EXPECT_TRUE(spinUntil([] { return !QGuiApplication::clipboard()->image().isNull(); }, 5000));

    std::tie(menu, items) = rightClick(*view, u"#plain"_s);
    ASSERT_TRUE(menu);
    EXPECT_EQ(items, moving);
    menu->close();

    // The plan's own anchor moves inside the page.
    click(*view, u"#own"_s);
    ASSERT_TRUE(spinUntil([&] { return view->url().fragment() == u"decisions"_s; }, 5000));
    EXPECT_TRUE(opened.isEmpty());
    std::tie(menu, items) = rightClick(*view, u"#plain"_s);
    ASSERT_TRUE(menu);
    EXPECT_EQ(items, (QStringList{u"뒤로"_s, u"앞으로 (off)"_s, u"새로고침"_s}));
    menu->close();

    // A script sending the page elsewhere, a while after the last click,
    // opens nothing and keeps the plan.
    pause(1200);
    eval(*view, u"location.href = %1"_s.arg(js(away)));
    pause(500);
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_EQ(view->url().adjusted(QUrl::RemoveFragment), QUrl::fromLocalFile(page(m_a)));

    // Another site the person follows opens in the browser; the plan stays.
    click(*view, u"#out"_s);
    ASSERT_TRUE(spinUntil([&] { return !opened.isEmpty(); }, 5000));
    EXPECT_EQ(opened, QList<QUrl>{QUrl(away)});
    pause(500);
    EXPECT_EQ(view->url().adjusted(QUrl::RemoveFragment), QUrl::fromLocalFile(page(m_a)));
    EXPECT_EQ(Rig::shared().server().requestsTo("/away").size(), awayBefore);
}

TEST_F(PlanWebViewTest, ABurstOfDecisionsCrossesInOneDelivery)
{
    QList<qsizetype> batches;
    QStringList ids;
    DecisionBridge::shared()->setHandler([&](const QString &dir, const QList<DecisionBridge::Decision> &decisions) {
        EXPECT_EQ(dir, m_a);
        batches.append(decisions.size());
        for (const DecisionBridge::Decision &decision : decisions)
            ids.append(decision.id);
    });
    PlanWebView *view = makeView();
    ASSERT_TRUE(show(*view, m_a, 0));
    eval(*view, u"for (var i = 0; i < 500; i++)"
                u" window.webkit.messageHandlers.quarryDecide.postMessage({id: 'D' + i, choice: 'x'});"_s);
    ASSERT_TRUE(spinUntil([&] { return ids.size() == 500; }, 10000)) << ids.size();
    EXPECT_EQ(batches, QList<qsizetype>{500});
    EXPECT_EQ(ids.first(), u"D0"_s);
    EXPECT_EQ(ids.last(), u"D499"_s);
    // The next script's posts are the next delivery.
    eval(*view, u"window.webkit.messageHandlers.quarryDecide.postMessage({id: 'D7', clear: true});"_s);
    ASSERT_TRUE(spinUntil([&] { return batches.size() == 2; }, 5000));
    EXPECT_EQ(batches.last(), 1);
}

} // namespace
