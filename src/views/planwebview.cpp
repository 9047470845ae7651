#include "views/planwebview.h"

#include "views/bridgehost.h"
#include "views/bridgescripts.h"
#include "views/decisionbridge.h"
#include "views/folderinterceptor.h"
#include "views/pagemenu.h"
#include "views/planpage.h"
#include "views/planprofile.h"
#include "views/webzoom.h"

#include <QChildEvent>
#include <QContextMenuEvent>
#include <QMenu>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFocusEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QWebChannel>
#include <QWebEngineHistory>
#include <QWebEngineScriptCollection>
#include <QWheelEvent>
#include <cmath>

using namespace Qt::StringLiterals;

// The resources live in a static library: without this reference the linker
// would drop them from every program that uses the view.
static void loadWindowResources()
{
    Q_INIT_RESOURCE(window);
}

namespace {

// One notch of the wheel magnifies by a tenth.
constexpr double notchFactor = 1.1;

// What follows a link: a click of the main button, or Return or Enter.
bool follows(QEvent *event)
{
    if (event->type() == QEvent::MouseButtonRelease)
        return static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton;
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        return key == Qt::Key_Return || key == Qt::Key_Enter;
    }
    return false;
}

// Tab walks the page's controls and F7 its links in the window; each stop
// shows a ring. In the page's own world nothing of it shows.
QWebEngineScript pageKeys()
{
    loadWindowResources();
    QFile file(u":/window/page-keys.js"_s);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("the page's keys script is missing from the resources");
    QWebEngineScript script;
    script.setName(u"quarrystone-page-keys"_s);
    script.setInjectionPoint(QWebEngineScript::DocumentReady);
    script.setWorldId(QWebEngineScript::ApplicationWorld);
    script.setRunsOnSubFrames(false);
    script.setSourceCode(QString::fromUtf8(file.readAll()));
    return script;
}

QString standardPath(const QString &path)
{
    return path.isEmpty() ? QString() : QDir::cleanPath(QDir::fromNativeSeparators(path));
}

} // namespace

PlanWebView::PlanWebView(QWidget *parent)
    : QWebEngineView(parent)
{
    m_page = new PlanPage(PlanProfile::hold(), this);
    // Before the page paints, the window's own colour shows, as if the view
    // drew no background. A colour that is not opaque would do the same but
    // makes the engine draw its surface above every other widget: the
    // toasts over the page would be hidden under it.
    m_page->setBackgroundColor(windowColour());
    m_interceptor = new FolderInterceptor(this);
    m_page->setUrlRequestInterceptor(m_interceptor);

    m_host = new BridgeHost([this](const QString &name, const QString &json, const QString &url) { receive(name, json, url); },
                            this);
    m_channel = new QWebChannel(this);
    m_channel->registerObject(QLatin1String(BridgeScripts::hostName), m_host);
    m_page->setWebChannel(m_channel, QWebEngineScript::ApplicationWorld);
    m_page->scripts().insert(BridgeScripts::handlers());
    m_page->scripts().insert(BridgeScripts::forwarder(QWebEngineScript::ApplicationWorld));
    m_page->scripts().insert(pageKeys());
    setPage(m_page);

    // The engine keeps one zoom per host, and every file shares one host.
    m_missing = buildMissingNote();
    connect(m_page, &QWebEnginePage::loadFinished, this, &PlanWebView::followLoad);
    connect(m_page, &QWebEnginePage::loadStarted, m_missing, &QWidget::hide);
    connect(m_page, &QWebEnginePage::loadFinished, this, [this] {
        m_loading.clear();
        applyZoom();
        followFocusProxy();
        forgetOtherPages();
    });
    connect(m_page, &QWebEnginePage::loadStarted, this, &PlanWebView::followFocusProxy);
    connect(m_page, &PlanPage::addressFollowed, this, &PlanWebView::addressFollowed);
    installEventFilter(this);

    WebZoom::shared()->setView(this);
    applyZoom();
}

PlanWebView::~PlanWebView()
{
    if (m_input)
        m_input->removeEventFilter(this);
    removeEventFilter(this);
    // The page goes before the profile it lives in.
    delete m_page;
    m_page = nullptr;
    PlanProfile::release();
}

void PlanWebView::bringUpToDate(const QString &file, const QString &dir, int token)
{
    m_file = standardPath(file);
    m_dir = standardPath(dir);
    m_interceptor->setFolder(m_dir);
    m_page->setFolder(m_dir);
    m_wantedToken = token;
    m_behind = true;
    if (isVisible())
        catchUp();
}

void PlanWebView::catchUp()
{
    if (!m_behind)
        return;
    m_behind = false;
    const QUrl current = m_page->url();
    const QString shown = current.isLocalFile() ? standardPath(current.toLocalFile()) : QString();
    const bool otherPage = shown.isEmpty() || shown != m_file;
    const bool changed = m_token >= 0 && m_token != m_wantedToken;
    // A page on its way is loaded again only when it changed meanwhile: a
    // second load of the same would only start it over.
    const bool onItsWay = m_loading == m_file;
    if (std::exchange(m_loadAfresh, false) || (otherPage && !onItsWay) || (onItsWay && changed)) {
        // Back and forward must not lead to a page of another plan (or an
        // old copy of this one), which the folder rule would leave blank.
        m_forgetHistory = true;
        m_loading = m_file;
        m_page->load(QUrl::fromLocalFile(m_file));
    } else if (!onItsWay && changed) {
        m_page->triggerAction(QWebEnginePage::ReloadAndBypassCache);
    }
    m_token = m_wantedToken;
}

void PlanWebView::handOver()
{
    m_token = -1;
    m_loadAfresh = true;
    WebZoom::shared()->setView(this);
    setMagnification(1.0);
}

void PlanWebView::shelve()
{
    hide();
    m_page->triggerAction(QWebEnginePage::Stop);
    m_behind = false;
    m_loadAfresh = true;
}

void PlanWebView::forgetOtherPages()
{
    const QUrl current = m_page->url();
    if (!m_forgetHistory || !current.isLocalFile() || standardPath(current.toLocalFile()) != m_file)
        return;
    m_forgetHistory = false;
    m_page->history()->clear();
}

void PlanWebView::showEvent(QShowEvent *event)
{
    QWebEngineView::showEvent(event);
    catchUp();
}

void PlanWebView::changeEvent(QEvent *event)
{
    QWebEngineView::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        m_page->setBackgroundColor(windowColour());
}

QColor PlanWebView::windowColour() const
{
    QColor colour = palette().color(QPalette::Window);
    colour.setAlpha(255);
    return colour;
}

// The engine's own menu offers what nothing here handles (saving the page,
// its source, new windows).
void PlanWebView::contextMenuEvent(QContextMenuEvent *event)
{
    PageMenu::make(m_page, lastContextMenuRequest(), this)->popup(event->globalPos());
}

void PlanWebView::setMagnification(double magnification)
{
    if (!std::isfinite(magnification) || magnification <= 0)
        magnification = 1.0;
    const double level = WebZoom::shared()->level();
    m_magnification = std::clamp(level * magnification, minimumFactor, maximumFactor) / level;
    applyZoom();
}

void PlanWebView::applyZoom()
{
    if (!m_page)
        return;
    const double factor = std::clamp(WebZoom::shared()->level() * m_magnification, minimumFactor, maximumFactor);
    if (m_page->zoomFactor() != factor)
        m_page->setZoomFactor(factor);
}

void PlanWebView::magnify(double by)
{
    setMagnification(m_magnification * by);
}

void PlanWebView::receive(const QString &name, const QString &json, const QString &url)
{
    // Only the plan page itself may speak: a page reached by a link must
    // not write request lines that Claude acts on.
    const QUrl from(url);
    if (m_file.isEmpty() || !from.isLocalFile() || !from.host().isEmpty() || standardPath(from.toLocalFile()) != m_file) {
        Q_EMIT messageRefused(name, url);
        return;
    }
    if (name == u"quarryZoom"_s) {
        WebZoom::shared()->resetFromPage();
    } else if (name == u"quarryDecide"_s) {
        // Wrapped in an array so that any JSON value reads, objects or not.
        const QJsonDocument document = QJsonDocument::fromJson(u"["_s.toUtf8() + json.toUtf8() + "]");
        if (document.isArray() && document.array().size() == 1)
            DecisionBridge::shared()->receive(m_dir, document.array().at(0));
    }
}

void PlanWebView::followFocusProxy()
{
    QWidget *input = focusProxy();
    if (input == m_input)
        return;
    if (m_input)
        m_input->removeEventFilter(this);
    m_input = input;
    if (m_input)
        m_input->installEventFilter(this);
}

bool PlanWebView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == this) {
        if (event->type() == QEvent::ChildAdded || event->type() == QEvent::ChildRemoved)
            QMetaObject::invokeMethod(this, &PlanWebView::followFocusProxy, Qt::QueuedConnection);
        return false;
    }
    if (watched != m_input)
        return false;
    if (follows(event))
        m_page->noteInput();
    if (walkPage(watched, event))
        return true;
    if (event->type() == QEvent::Wheel) {
        auto *wheel = static_cast<QWheelEvent *>(event);
        if (!(wheel->modifiers() & Qt::ControlModifier))
            return false;
        const int angle = wheel->angleDelta().y();
        if (angle != 0)
            magnify(std::pow(notchFactor, angle / 120.0));
        return true;
    }
    if (event->type() == QEvent::NativeGesture) {
        auto *gesture = static_cast<QNativeGestureEvent *>(event);
        if (gesture->gestureType() == Qt::ZoomNativeGesture) {
            magnify(1.0 + gesture->value());
            return true;
        }
        if (gesture->gestureType() == Qt::SmartZoomNativeGesture) {
            setMagnification(1.0);
            return true;
        }
    }
    return false;
}

// The page is one stop of the window's Tab order (a large plan has
// thousands of links between the header and the request), inside which
// Tab walks the page's controls and F7 its links; past the last control
// Tab goes on to the window's next stop.
bool PlanWebView::walkPage(QObject *input, QEvent *event)
{
    if (event->type() == QEvent::FocusIn) {
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::TabFocusReason && reason != Qt::BacktabFocusReason)
            return false;
        // Come in by Tab, the engine would focus the page's first link;
        // the page gets the focus as from a click, then its first (or
        // last) control.
        QFocusEvent plain(QEvent::FocusIn, Qt::OtherFocusReason);
        QCoreApplication::sendEvent(input, &plain);
        m_page->runJavaScript(u"window.quarryKeys && window.quarryKeys.enter(%1)"_s.arg(
                                  reason == Qt::TabFocusReason ? u"true"_s : u"false"_s),
                              QWebEngineScript::ApplicationWorld);
        return true;
    }
    if (event->type() != QEvent::KeyPress)
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    const Qt::KeyboardModifiers held = key->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier);
    const bool back = key->modifiers() & Qt::ShiftModifier;
    if (held != Qt::NoModifier)
        return false;
    if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab)
        step(key->key() == Qt::Key_Tab && !back, false);
    else if (key->key() == Qt::Key_F7)
        step(!back, true);
    else
        return false;
    return true;
}

void PlanWebView::step(bool forward, bool links)
{
    const QString call = u"window.quarryKeys ? window.quarryKeys.step(%1, %2) : false"_s.arg(
        forward ? u"true"_s : u"false"_s, links ? u"true"_s : u"false"_s);
    QPointer<PlanWebView> self(this);
    m_page->runJavaScript(call, QWebEngineScript::ApplicationWorld, [self, forward, links](const QVariant &moved) {
        // Several quick presses answer in turn: only the first that finds
        // the page's end while the page still has the focus leaves it.
        if (!self || moved.toBool() || links || !self->isAncestorOf(QApplication::focusWidget()))
            return;
        // The answer comes after the key's event: the next stop is marked
        // as reached by the keyboard, as Tab marks it.
        self->window()->setAttribute(Qt::WA_KeyboardFocusChange);
        self->focusNextPrevChild(forward);
    });
}

QWidget *PlanWebView::buildMissingNote()
{
    auto *note = new QWidget(this);
    note->setObjectName(u"missingPage"_s);
    note->setAutoFillBackground(true);
    auto *column = new QVBoxLayout(note);
    column->addStretch(1);
    auto *text = new QLabel(u"이 계획서 폴더에 index.html 이 없어요. plan.json 으로 다시 그릴 수 있어요."_s, note);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignCenter);
    column->addWidget(text);
    auto *render = new QPushButton(u"다시 그리기"_s, note);
    render->setObjectName(u"renderPage"_s);
    column->addWidget(render, 0, Qt::AlignHCenter);
    column->addStretch(1);
    connect(render, &QPushButton::clicked, this, &PlanWebView::renderRequested);
    note->hide();
    return note;
}

// A page that is not there is blocked by the folder rule, and the engine
// would say so in English.
void PlanWebView::followLoad(bool ok)
{
    if (ok || m_file.isEmpty() || m_page->url() != QUrl::fromLocalFile(m_file) || QFileInfo::exists(m_file))
        return;
    m_missing->setGeometry(rect());
    m_missing->show();
    m_missing->raise();
}

void PlanWebView::resizeEvent(QResizeEvent *event)
{
    QWebEngineView::resizeEvent(event);
    m_missing->setGeometry(rect());
}
