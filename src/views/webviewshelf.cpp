#include "views/webviewshelf.h"

#include "views/planprofile.h"
#include "views/planwebview.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

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

    QPointer<PlanWebView> view;
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
    QPointer<Shelf> shelf = shelfOf(window, true);
    if (shelf->view)
        return;
    // The engine starts with the first profile, the page's renderer with
    // the view: two turns, each well within a frame's budget on its own.
    QTimer::singleShot(0, shelf, [shelf] {
        PlanProfile::hold();
        // Without a context object: the hold is released even when the
        // window has gone in between.
        QTimer::singleShot(0, [shelf] {
            if (shelf && !shelf->view)
                shelf->view = new PlanWebView(shelf);
            PlanProfile::release();
        });
    });
}

} // namespace WebViewShelf
