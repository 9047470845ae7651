#include "views/pagemenu.h"

#include <QMenu>
#include <QWebEngineContextMenuRequest>
#include <QWebEngineHistory>
#include <QWebEnginePage>

using namespace Qt::StringLiterals;

namespace PageMenu {
namespace {

using Flag = QWebEngineContextMenuRequest::EditFlag;

void add(QMenu *menu, QWebEnginePage *page, QWebEnginePage::WebAction action, const QString &text, bool enabled = true)
{
    QAction *item = menu->addAction(text, page, [page, action] { page->triggerAction(action); });
    item->setEnabled(enabled);
}

void addEditing(QMenu *menu, QWebEnginePage *page, const QWebEngineContextMenuRequest &request)
{
    const auto can = [&](Flag flag) { return request.editFlags().testFlag(flag); };
    add(menu, page, QWebEnginePage::Undo, u"실행 취소"_s, can(Flag::CanUndo));
    add(menu, page, QWebEnginePage::Redo, u"다시 실행"_s, can(Flag::CanRedo));
    menu->addSeparator();
    add(menu, page, QWebEnginePage::Cut, u"잘라내기"_s, can(Flag::CanCut));
    add(menu, page, QWebEnginePage::Copy, u"복사"_s, can(Flag::CanCopy));
    add(menu, page, QWebEnginePage::Paste, u"붙여넣기"_s, can(Flag::CanPaste));
    add(menu, page, QWebEnginePage::SelectAll, u"모두 선택"_s, can(Flag::CanSelectAll));
}

void addCopying(QMenu *menu, QWebEnginePage *page, const QWebEngineContextMenuRequest &request)
{
    if (request.isContentEditable())
        addEditing(menu, page, request);
    else if (!request.selectedText().isEmpty())
        add(menu, page, QWebEnginePage::Copy, u"복사"_s);
    if (!request.linkUrl().isEmpty())
        add(menu, page, QWebEnginePage::CopyLinkToClipboard, u"링크 복사"_s);
    if (request.mediaType() == QWebEngineContextMenuRequest::MediaTypeImage && !request.mediaUrl().isEmpty())
        add(menu, page, QWebEnginePage::CopyImageToClipboard, u"이미지 복사"_s);
}

} // namespace

QMenu *make(QWebEnginePage *page, const QWebEngineContextMenuRequest *request, QWidget *parent)
{
    auto *menu = new QMenu(parent);
    menu->setObjectName(u"pageMenu"_s);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (request)
        addCopying(menu, page, *request);
    if (!menu->isEmpty())
        menu->addSeparator();
    add(menu, page, QWebEnginePage::Back, u"뒤로"_s, page->history()->canGoBack());
    add(menu, page, QWebEnginePage::Forward, u"앞으로"_s, page->history()->canGoForward());
    add(menu, page, QWebEnginePage::Reload, u"새로고침"_s);
    return menu;
}

} // namespace PageMenu
