#include "views/webviewshelf.h"

#include "views/planprofile.h"
#include "views/planwebview.h"

#include <QEvent>
#include <QPointer>
#include <QWebEnginePage>
#include <QWidget>
#include <QWindow>

using namespace Qt::StringLiterals;

namespace WebViewShelf {
namespace {

// A hidden child of the window that holds its view while no editor has it.
class Shelf : public QWidget
{
public:
    explicit Shelf(QWidget *window)
        : QWidget(window)
    {
        setObjectName(u"webViewShelf"_s);
        setFixedSize(0, 0);
        hide();
    }
    ~Shelf() override
    {
        if (m_holding)
            PlanProfile::release();
    }

    QPointer<PlanWebView> view;

    // The view is made once the window's first frame is on the screen.
    void stock()
    {
        QWindow *surface = window()->windowHandle();
        if (view || m_stocking || !surface)
            return;
        m_stocking = true;
        if (surface->isExposed())
            later(&Shelf::startEngine);
        else
            surface->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // The first frame is painted while the exposure is handled; what
        // is posted now runs after it.
        if (event->type() == QEvent::Expose && static_cast<QWindow *>(watched)->isExposed()) {
            watched->removeEventFilter(this);
            later(&Shelf::startEngine);
        }
        return false;
    }

private:
    // The engine starts with the first profile, the page and its renderer
    // with the view: two turns of the event loop.
    void startEngine()
    {
        PlanProfile::hold();
        m_holding = true;
        later(&Shelf::makeView);
    }

    void makeView()
    {
        if (!view) {
            view = new PlanWebView(this);
            // An empty page starts the renderer, which the first plan's page
            // then takes over instead of waiting for one of its own.
            view->page()->load(QUrl(u"about:blank"_s));
        }
        m_holding = false;
        PlanProfile::release();
    }

    // Posted rather than timed: what was waiting before, input among it,
    // is served first.
    void later(void (Shelf::*step)())
    {
        QMetaObject::invokeMethod(this, step, Qt::QueuedConnection);
    }

    bool m_stocking = false;
    // The profile, held from the engine's start until the view holds it.
    bool m_holding = false;
};

Shelf *shelfOf(QWidget *window, bool make)
{
    auto *shelf = window->findChild<Shelf *>(u"webViewShelf"_s, Qt::FindDirectChildrenOnly);
    if (!shelf && make)
        shelf = new Shelf(window);
    return shelf;
}

} // namespace

PlanWebView *take(QWidget *parent)
{
    Shelf *shelf = shelfOf(parent->window(), true);
    if (!shelf->view) {
        shelf->view = new PlanWebView(parent);
        return shelf->view;
    }
    shelf->view->setParent(parent);
    shelf->view->handOver();
    return shelf->view;
}

void giveBack(PlanWebView *view)
{
    Shelf *shelf = shelfOf(view->window(), false);
    if (!shelf || shelf->view != view)
        return;
    view->shelve();
    view->setParent(shelf);
}

void prepare(QWidget *window)
{
    shelfOf(window, true)->stock();
}

} // namespace WebViewShelf
