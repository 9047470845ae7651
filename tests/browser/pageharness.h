#pragma once

#include <gtest/gtest.h>

#include <QColor>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QRegularExpression>
#include <QScreen>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>
#include <QWheelEvent>
#include <memory>

#include "export/exporter.h"
#include "model/conventions.h"
#include "support/httpserver.h"

// The plan page in the same browser engine the application's view uses.
// One off-the-record profile and one view serve every test of a process;
// each test starts from empty storage, browser mode and a 1280 by 900
// window. Pages come from plan folders written by Exporter::writeAll and
// are opened by file URL. Nothing leaves the machine: the Mermaid library
// is served from the npm package on 127.0.0.1, and every other remote
// request is recorded and refused at once (the font service among them).
namespace PageHarness {

inline constexpr char mermaidTail[] = "/npm/mermaid@10.9.1/dist/mermaid.min.js";
inline constexpr char tamperedPrefix[] = "/tampered";

// The npm copy of Mermaid 10.9.1: QUARRYSTONE_MERMAID_JS, else the one the
// set-up script installs into the build tree. Empty when neither exists.
inline QString mermaidFile()
{
    QString path = qEnvironmentVariable("QUARRYSTONE_MERMAID_JS");
    if (path.isEmpty())
        path = QStringLiteral(QUARRYSTONE_BUILD_DIR "/npm/node_modules/mermaid/dist/mermaid.min.js");
    return QFileInfo(path).isFile() ? path : QString();
}

// Runs the event loop until `done` holds or the time is up. QTest's own
// waits sleep between rounds, which starves the browser's many small tasks.
template<typename Done>
bool spinUntil(Done done, int milliseconds)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    poll.start(5);
    loop.exec();
    return done();
}

inline void pause(int milliseconds)
{
    spinUntil([] { return false; }, milliseconds);
}

// A JavaScript string literal holding the text.
inline QString js(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

class Interceptor : public QWebEngineUrlRequestInterceptor
{
public:
    QUrl mermaid;       // where the CDN request goes; empty blocks it
    QList<QUrl> remote; // every request that is not a file, in order
    QList<QUrl> local;  // every file asked for, in order

    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        const QUrl url = info.requestUrl();
        if (url.isLocalFile())
            local.append(url);
        if (url.isLocalFile() || url.scheme() == u"data" || url.scheme() == u"blob")
            return;
        if (!mermaid.isEmpty() && url == mermaid)
            return;
        remote.append(url);
        if (!mermaid.isEmpty() && url.scheme() == u"https" && url.path() == QLatin1String(mermaidTail))
            info.redirect(mermaid);
        else
            info.block(true);
    }
};

class Page : public QWebEnginePage
{
public:
    using QWebEnginePage::QWebEnginePage;
    QStringList errors; // uncaught exceptions of page scripts
    QStringList alerts;

protected:
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString &message, int line,
                                  const QString &) override
    {
        if (level == ErrorMessageLevel && message.startsWith(QLatin1String("Uncaught")))
            errors.append(QStringLiteral("%1 (line %2)").arg(message, QString::number(line)));
    }
    void javaScriptAlert(const QUrl &, const QString &message) override { alerts.append(message); }
};

// Defines the application's two script-message handlers before any page
// script runs; they keep what the page posts, with the location's hash at
// that moment, in window.__quarryPosted.
inline constexpr char appHandlers[] = R"JS(
(function () {
  var posted = [];
  function handler(name) {
    return { postMessage: function (body) {
      var copy = body !== null && typeof body === 'object' ? JSON.parse(JSON.stringify(body)) : body;
      posted.push({ handler: name, body: copy, hash: location.hash });
    } };
  }
  Object.defineProperty(window, '__quarryPosted', { value: posted });
  window.webkit = { messageHandlers: { quarryDecide: handler('quarryDecide'), quarryZoom: handler('quarryZoom') } };
})();
)JS";

class Browser
{
public:
    // Made on first use, after the test's application exists, and closed
    // before it goes.
    static Browser &shared();

    ~Browser()
    {
        delete m_page;
        delete m_profile;
    }

    bool hasMermaid() const { return m_hasMermaid; }

    // Empty storage, browser mode, the default window size; Mermaid served
    // or refused.
    void reset(bool mermaid)
    {
        setScripts(true);
        setAppMode(false);
        serveMermaid(mermaid);
        resize(1280, 900);
        ASSERT_TRUE(load(QUrl::fromLocalFile(m_blank)));
        eval(QStringLiteral("localStorage.clear()"));
        // The engine keeps a zoom level per host, and every file is on one host.
        m_page->setZoomFactor(1.0);
        m_interceptor.remote.clear();
        m_interceptor.local.clear();
        m_page->errors.clear();
        m_page->alerts.clear();
    }

    void setAppMode(bool on)
    {
        QWebEngineScriptCollection &scripts = m_page->scripts();
        for (const QWebEngineScript &script : scripts.find(QStringLiteral("quarry-handlers")))
            scripts.remove(script);
        if (!on)
            return;
        QWebEngineScript script;
        script.setName(QStringLiteral("quarry-handlers"));
        script.setInjectionPoint(QWebEngineScript::DocumentCreation);
        script.setWorldId(QWebEngineScript::MainWorld);
        script.setRunsOnSubFrames(false);
        script.setSourceCode(QString::fromUtf8(appHandlers));
        scripts.insert(script);
    }

    void serveMermaid(bool on) { m_interceptor.mermaid = on && m_hasMermaid ? m_server.url(mermaidTail) : QUrl(); }
    // Serves a changed copy of Mermaid at the CDN's address.
    void serveTamperedMermaid()
    {
        m_interceptor.mermaid = m_hasMermaid ? m_server.url(QString::fromLatin1(tamperedPrefix) + QLatin1String(mermaidTail)) : QUrl();
    }
    bool servesMermaid() const { return !m_interceptor.mermaid.isEmpty(); }

    void resize(int width, int height)
    {
        m_view.resize(width, height);
        if (!spinUntil([&] { return m_view.size() == QSize(width, height); }, 2000))
            ADD_FAILURE() << "the window kept its size";
    }

    bool load(const QUrl &url)
    {
        auto finished = std::make_shared<std::optional<bool>>();
        const QMetaObject::Connection connection =
            QObject::connect(m_page, &QWebEnginePage::loadFinished, [finished](bool ok) { *finished = ok; });
        m_page->load(url);
        const bool done = spinUntil([&] { return finished->has_value(); }, 120000);
        QObject::disconnect(connection);
        return done && finished->value_or(false);
    }

    bool reload()
    {
        return load(m_page->url());
    }

    // Page scripts off, as in a viewer that shows HTML without them; a
    // test's own scripts then run in a world of their own (evalAside).
    void setScripts(bool on) { m_page->settings()->setAttribute(QWebEngineSettings::JavascriptEnabled, on); }
    bool scripts() const { return m_page->settings()->testAttribute(QWebEngineSettings::JavascriptEnabled); }

    // A page busy drawing may take up to `milliseconds` to answer.
    QVariant eval(const QString &script, int milliseconds = 10000, quint32 world = QWebEngineScript::MainWorld)
    {
        auto result = std::make_shared<std::optional<QVariant>>();
        m_page->runJavaScript(script, world, [result](const QVariant &value) { *result = value; });
        if (!spinUntil([&] { return result->has_value(); }, milliseconds))
            ADD_FAILURE() << "script gave no answer: " << script.toStdString();
        return result->value_or(QVariant());
    }

    // The value of an expression, passed through JSON.
    QJsonValue json(const QString &expression, int milliseconds = 10000)
    {
        const QString text = eval(QStringLiteral("JSON.stringify([%1])").arg(expression), milliseconds).toString();
        return QJsonDocument::fromJson(text.toUtf8()).array().at(0);
    }

    bool waitFor(const QString &condition, int milliseconds = 10000)
    {
        const QString script = QStringLiteral("!!(%1)").arg(condition);
        QElapsedTimer clock;
        clock.start();
        while (!eval(script, std::max(milliseconds, 10000)).toBool()) {
            if (clock.elapsed() > milliseconds)
                return false;
            pause(10);
        }
        return true;
    }

    // Drawn when the flow graph is an SVG; the thumbnails are swapped for
    // the embedded images right after, which is given a moment of its own.
    bool waitForGraph()
    {
        if (!waitFor(QStringLiteral("document.querySelector('.graph svg')"), 120000))
            return false;
        waitFor(QStringLiteral("(function (block) { if (!block) return true; var images = JSON.parse(block.textContent);"
                               " return Array.from(document.querySelectorAll('.graph img'))"
                               ".every(function (i) { return !images[i.getAttribute('src')]; }); })"
                               "(document.getElementById('quarrystone-img'))"),
                2000);
        return true;
    }

    // The centre of the first element that matches, in window coordinates,
    // after scrolling it into the middle of the window and letting any
    // scrolling of the page's own come to rest.
    std::optional<QPoint> centre(const QString &selector)
    {
        const QString measure = QStringLiteral(
            "(function () { var e = document.querySelector(%1); if (!e) return null; %2"
            " var r = e.getBoundingClientRect(); return [Math.round(r.left + r.width / 2), Math.round(r.top + r.height / 2)]; })()");
        QJsonValue point = json(measure.arg(js(selector), QStringLiteral("e.scrollIntoView({ block: 'center', inline: 'center' });")));
        for (int round = 0; round < 40 && point.isArray(); ++round) {
            pause(40);
            const QJsonValue again = json(measure.arg(js(selector), QString()));
            if (again == point)
                break;
            point = again;
        }
        if (!point.isArray())
            return std::nullopt;
        return QPoint(point[0].toInt(), point[1].toInt());
    }

    // A real mouse click, through the same input path a person's would take.
    void click(const QString &selector)
    {
        const std::optional<QPoint> point = centre(selector);
        ASSERT_TRUE(point) << "nothing to click at " << selector.toStdString();
        clickAt(*point);
    }

    // Mouse events go to this window alone, never through the display's
    // pointer, which every test process on the display shares.
    void clickAt(const QPoint &point)
    {
        QTest::mouseMove(m_view.windowHandle(), point);
        QTest::mouseClick(m_view.windowHandle(), Qt::LeftButton, {}, point);
        pause(30);
    }

    void moveTo(const QPoint &point)
    {
        QTest::mouseMove(m_view.windowHandle(), point);
        pause(30);
    }

    void key(Qt::Key key)
    {
        QTest::keyClick(input(), key);
        pause(30);
    }

    // One wheel notch (or several) at a point, as a trackpad pinch arrives.
    void wheel(const QPoint &point, int angle, Qt::KeyboardModifiers modifiers)
    {
        const QPointF at(point);
        QWheelEvent event(at, m_view.mapToGlobal(at), QPoint(), QPoint(0, angle), Qt::NoButton, modifiers,
                          Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(input(), &event);
        pause(50);
    }

    const QList<QUrl> &remoteRequests() const { return m_interceptor.remote; }
    const QList<QUrl> &localRequests() const { return m_interceptor.local; }
    const QStringList &errors() const { return m_page->errors; }
    const QStringList &alerts() const { return m_page->alerts; }
    qreal zoomFactor() const { return m_page->zoomFactor(); }

private:
    // One test window per display at a time: windows of parallel test
    // processes would take the display's input focus from each other, and
    // with it the page's focus and blur events.
    static QString displayLockPath()
    {
        QString display = qEnvironmentVariable("DISPLAY");
        display.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]")), QStringLiteral("_"));
        return QStringLiteral(QUARRYSTONE_BUILD_DIR "/browser-tests%1.lock").arg(display);
    }

    Browser()
        : m_displayLock(displayLockPath())
    {
        // A lock left by a crashed test is noticed by its process id. The
        // lock's own wait sleeps up to seconds; the next test should not.
        m_displayLock.setStaleLockTime(0);
        while (!m_displayLock.tryLock(0)) {
            if (m_displayLock.error() != QLockFile::LockFailedError) {
                ADD_FAILURE() << "could not take " << displayLockPath().toStdString();
                break;
            }
            QThread::msleep(20);
        }

        // Chromium's sandbox cannot start as root; the tests run only pages we wrote.
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
            qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");

        const QString mermaid = mermaidFile();
        m_hasMermaid = !mermaid.isEmpty();
        if (m_hasMermaid) {
            QFile file(mermaid);
            if (file.open(QIODevice::ReadOnly)) {
                HttpServer::Response response;
                response.body = file.readAll();
                response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/javascript; charset=utf-8")));
                response.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("max-age=3600")));
                // The page asks for the script in CORS mode, so that its
                // integrity can be checked; the CDN answers every origin.
                response.headers.append(qMakePair(QByteArray("Access-Control-Allow-Origin"), QByteArray("*")));
                m_server.serve(mermaidTail, response);
                // The same file with one letter of a message changed: still a
                // working script, but not the one the page pinned.
                const qsizetype at = response.body.indexOf("Syntax error in text");
                if (at >= 0)
                    response.body[at] = 's';
                m_server.serve(QByteArray(tamperedPrefix) + mermaidTail, response);
            } else {
                m_hasMermaid = false;
            }
        }

        m_blank = m_folder.filePath(QStringLiteral("blank.html"));
        QFile blank(m_blank);
        if (blank.open(QIODevice::WriteOnly))
            blank.write("<!doctype html><title>blank</title>");
        blank.close();

        m_profile = new QWebEngineProfile(&m_view); // no storage name: off the record
        m_profile->setUrlRequestInterceptor(&m_interceptor);
        // A browser lets a page opened from a file load the fonts and Mermaid;
        // Qt WebEngine refuses until told otherwise, as the application's view must be.
        m_profile->settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
        m_page = new Page(m_profile, &m_view);
        m_view.setPage(m_page);
        // The display's own pointer stays off every test window, so that no
        // window coming or going under it sends this page enter and leave events.
        QCursor::setPos(QGuiApplication::primaryScreen()->geometry().bottomRight());
        m_view.move(0, 0);
        m_view.resize(1280, 900);
        m_view.show();
        if (!QTest::qWaitForWindowExposed(&m_view))
            ADD_FAILURE() << "the browser window never showed";
        // Focus and blur reach the page only while its window is active.
        m_view.activateWindow();
        if (!QTest::qWaitForWindowActive(&m_view))
            ADD_FAILURE() << "the browser window never became active";
    }

    QWidget *input() { return m_view.focusProxy() ? m_view.focusProxy() : &m_view; }

    QLockFile m_displayLock;
    QTemporaryDir m_folder;
    QString m_blank;
    HttpServer m_server;
    Interceptor m_interceptor;
    bool m_hasMermaid = false;
    QWebEngineView m_view;
    QWebEngineProfile *m_profile = nullptr;
    Page *m_page = nullptr;
};

class BrowserCloser : public testing::Environment
{
public:
    explicit BrowserCloser(Browser *browser)
        : m_browser(browser)
    {
    }
    void TearDown() override { delete m_browser; }

private:
    Browser *m_browser;
};

inline Browser &Browser::shared()
{
    static Browser *browser = nullptr;
    if (!browser) {
        browser = new Browser;
        testing::AddGlobalTestEnvironment(new BrowserCloser(browser));
    }
    return *browser;
}

// Writes a plan folder the way the application does, with a real PNG for
// every screen image path inside it, and gives the page's file URL.
inline QUrl writePlan(const QTemporaryDir &dir, Plan plan)
{
    int shade = 0;
    for (const Screen &screen : plan.screens) {
        for (const std::optional<QString> &path : {screen.image.before, screen.image.android, screen.image.ios}) {
            if (!path || path->isEmpty() || path->contains(u':'))
                continue;
            const QString file = dir.filePath(*path);
            QDir().mkpath(QFileInfo(file).path());
            QImage image(75, 162, QImage::Format_RGB32);
            image.fill(QColor::fromHsv((shade++ * 47) % 360, 120, 220));
            image.save(file, "PNG");
        }
    }
    Exporter::writeAll(plan, dir.path(), Conventions::builtIn());
    return QUrl::fromLocalFile(dir.filePath(QStringLiteral("index.html")));
}

// Every browser test starts from the same clean browser. The page scripts
// do their work before the graph library loads, so these tests go without it.
class PageTest : public testing::Test
{
protected:
    void SetUp() override { browser().reset(false); }

    static Browser &browser() { return Browser::shared(); }

    // Opens the plan's page and waits for a graph drawn at load, by the
    // library or, without it, by the page, and for its cards' links to it:
    // until then the page's layout still moves.
    void open(const Plan &plan, const QString &fragment = {})
    {
        m_url = writePlan(m_folder, plan);
        QUrl url = m_url;
        if (!fragment.isEmpty())
            url.setFragment(fragment);
        ASSERT_TRUE(browser().load(url));
        // A large graph waits for its button.
        if (browser().scripts() && eval(QStringLiteral("!!document.querySelector('.graph:not([data-ask])')")).toBool()) {
            ASSERT_TRUE(browser().waitForGraph()) << "the flow graph was never drawn";
            ASSERT_TRUE(browser().waitFor(QStringLiteral("!document.querySelector('.screen') || !!document.querySelector('.screen .gwhere')"), 60000));
        }
    }

    QVariant eval(const QString &script) { return browser().eval(script); }
    QJsonValue json(const QString &expression) { return browser().json(expression); }

    QTemporaryDir m_folder;
    QUrl m_url; // the page last opened, without a fragment
};

// Tests of the drawn graph: without the npm copy of Mermaid there is
// nothing to draw with.
class GraphPageTest : public PageTest
{
protected:
    void SetUp() override
    {
        browser().reset(true);
        if (!browser().hasMermaid()) {
            GTEST_SKIP() << "Mermaid 10.9.1 is not installed: run ./setup.sh test, or set QUARRYSTONE_MERMAID_JS "
                            "to node_modules/mermaid/dist/mermaid.min.js";
        }
    }
};

} // namespace PageHarness
