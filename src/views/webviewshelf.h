#pragma once

class PlanWebView;
class QWidget;

// The plan web view of a window, kept for the window's life. A browser page
// made for each plan starts a renderer of its own and shows the plan several
// hundred milliseconds later than a page that is only sent elsewhere, so the
// editors the window builds one after another borrow the one view, and the
// one that goes hands it back.
namespace WebViewShelf {

// The window's view, moved into `parent` (a child of that window) with
// nothing of the last plan's magnification; made when the window has none
// yet. The caller places and shows it.
PlanWebView *take(QWidget *parent);
// Back on its window's shelf, hidden, to load afresh when it is taken again;
// a view that is not its window's kept one, or a window that is going, is
// left to its parent.
void giveBack(PlanWebView *view);
// Makes the window's view ahead of the first plan, after the window's first
// frame, on turns of the event loop of their own: neither the window's start
// nor the first plan holds the main thread for the browser engine's start.
void prepare(QWidget *window);

} // namespace WebViewShelf
