#pragma once

#include "browser/pageharness.h"
#include "views/planwebview.h"

#include <QWebEngineUrlRequestInfo>

// The application's own plan web view under test: one window per display
// at a time (the lock the page tests take), Mermaid served on loopback by
// a profile interceptor, which the engine runs before the page's own, and
// a loopback server for pages reached by links.
namespace ViewHarness {

using PageHarness::js;
using PageHarness::pause;
using PageHarness::spinUntil;

// Lets loopback and local requests through, sends the CDN's Mermaid to
// loopback and refuses the rest of the web.
class LoopbackOnly : public QWebEngineUrlRequestInterceptor
{
public:
    QUrl mermaid;

    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        const QUrl url = info.requestUrl();
        if (url.scheme() != u"http" && url.scheme() != u"https")
            return;
        if (url.host() == u"127.0.0.1")
            return;
        if (!mermaid.isEmpty() && url.path() == QLatin1String(PageHarness::mermaidTail))
            info.redirect(mermaid);
        else
            info.block(true);
    }
};

class Rig
{
public:
    static Rig &shared()
    {
        static Rig *display = nullptr;
        if (!display) {
            display = new Rig;
            testing::AddGlobalTestEnvironment(new Closer(display));
        }
        return *display;
    }

    HttpServer &server() { return m_server; }
    bool hasMermaid() const { return !m_interceptor.mermaid.isEmpty(); }

    // Every page's profile gets the loopback rule; the profile lives only
    // while some view holds it, so each new view is given it again.
    void prepare(PlanWebView &view) { prepare(*view.page()->profile()); }
    void prepare(QWebEngineProfile &profile) { profile.setUrlRequestInterceptor(&m_interceptor); }

    // Shows the widget in the display's corner. Nothing here needs the
    // input focus, which is left to the widget tests running beside.
    static void show(QWidget &window, QSize size = QSize(1280, 900))
    {
        window.move(0, 0);
        window.resize(size);
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            ADD_FAILURE() << "the window never showed";
    }

private:
    class Closer : public testing::Environment
    {
    public:
        explicit Closer(Rig *display)
            : m_display(display)
        {
        }
        void TearDown() override { delete m_display; }

    private:
        Rig *m_display;
    };

    static QString lockPath()
    {
        QString display = qEnvironmentVariable("DISPLAY");
        display.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]")), QStringLiteral("_"));
        return QStringLiteral(QUARRYSTONE_BUILD_DIR "/browser-tests%1.lock").arg(display);
    }

    Rig()
        : m_lock(lockPath())
    {
        m_lock.setStaleLockTime(0);
        while (!m_lock.tryLock(0)) {
            if (m_lock.error() != QLockFile::LockFailedError) {
                ADD_FAILURE() << "could not take " << lockPath().toStdString();
                break;
            }
            QThread::msleep(20);
        }
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
            qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
        QCursor::setPos(QGuiApplication::primaryScreen()->geometry().bottomRight());

        const QString mermaid = PageHarness::mermaidFile();
        QFile file(mermaid);
        if (!mermaid.isEmpty() && file.open(QIODevice::ReadOnly)) {
            HttpServer::Response response;
            response.body = file.readAll();
            response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/javascript; charset=utf-8")));
            response.headers.append(qMakePair(QByteArray("Access-Control-Allow-Origin"), QByteArray("*")));
            m_server.serve(PageHarness::mermaidTail, response);
            m_interceptor.mermaid = m_server.url(QLatin1String(PageHarness::mermaidTail));
        }
    }

    QLockFile m_lock;
    HttpServer m_server;
    LoopbackOnly m_interceptor;
};

// Waits for the page's next loadFinished, after `start` has begun a load.
template<typename Start>
bool loaded(QWebEngineView &view, Start start, int milliseconds = 60000)
{
    auto finished = std::make_shared<std::optional<bool>>();
    const QMetaObject::Connection connection =
        QObject::connect(view.page(), &QWebEnginePage::loadFinished, [finished](bool ok) { *finished = ok; });
    start();
    const bool done = spinUntil([&] { return finished->has_value(); }, milliseconds);
    QObject::disconnect(connection);
    return done && finished->value_or(false);
}

inline QVariant eval(QWebEngineView &view, const QString &script, quint32 world = QWebEngineScript::MainWorld)
{
    auto result = std::make_shared<std::optional<QVariant>>();
    view.page()->runJavaScript(script, world, [result](const QVariant &value) { *result = value; });
    if (!spinUntil([&] { return result->has_value(); }, 10000))
        ADD_FAILURE() << "script gave no answer: " << script.toStdString();
    return result->value_or(QVariant());
}

inline bool waitFor(QWebEngineView &view, const QString &condition, int milliseconds = 10000)
{
    const QString script = QStringLiteral("!!(%1)").arg(condition);
    QElapsedTimer clock;
    clock.start();
    while (!eval(view, script).toBool()) {
        if (clock.elapsed() > milliseconds)
            return false;
        pause(10);
    }
    return true;
}

// The centre of the first match in the view's coordinates, scrolled into view.
inline std::optional<QPoint> centre(QWebEngineView &view, const QString &selector)
{
    const QString measure = QStringLiteral(
        "(function () { var e = document.querySelector(%1); if (!e) return null; e.scrollIntoView({ block: 'center', inline: 'center' });"
        " var r = e.getBoundingClientRect(); return JSON.stringify([Math.round(r.left + r.width / 2), Math.round(r.top + r.height / 2)]); })()");
    QString last;
    for (int round = 0; round < 40; ++round) {
        const QString point = eval(view, measure.arg(js(selector))).toString();
        if (point.isEmpty())
            return std::nullopt;
        if (point == last)
            break;
        last = point;
        pause(40);
    }
    const QJsonArray xy = QJsonDocument::fromJson(last.toUtf8()).array();
    // Page pixels are zoomed into widget pixels.
    const double factor = view.page()->zoomFactor();
    return QPoint(qRound(xy.at(0).toDouble() * factor), qRound(xy.at(1).toDouble() * factor));
}

inline QWidget *input(QWebEngineView &view)
{
    return view.focusProxy() ? view.focusProxy() : &view;
}

// A real click through the window, as a person's would arrive.
inline void click(QWebEngineView &view, const QString &selector)
{
    const std::optional<QPoint> point = centre(view, selector);
    ASSERT_TRUE(point) << "nothing to click at " << selector.toStdString();
    QWindow *window = view.window()->windowHandle();
    const QPoint at = view.mapTo(view.window(), *point);
    QTest::mouseMove(window, at);
    QTest::mouseClick(window, Qt::LeftButton, {}, at);
    pause(30);
}

inline void wheel(QWebEngineView &view, int angle, Qt::KeyboardModifiers modifiers)
{
    const QPointF at(view.width() / 2.0, view.height() / 2.0);
    QWheelEvent event(at, view.mapToGlobal(at), QPoint(), QPoint(0, angle), Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(input(view), &event);
    pause(50);
}

} // namespace ViewHarness
