#pragma once

class QMenu;
class QWebEngineContextMenuRequest;
class QWebEnginePage;
class QWidget;

// The plan page's right-click menu, in Korean and with only what works in
// the editor: copying what was clicked (text, link, picture), editing an
// answer field, and going back, forward and reloading. The menu deletes
// itself once closed.
namespace PageMenu {

QMenu *make(QWebEnginePage *page, const QWebEngineContextMenuRequest *request, QWidget *parent);

} // namespace PageMenu
