#include "views/planpage.h"

#include "views/folderinterceptor.h"

#include <QFileInfo>

namespace {

// How long after a click or a key a link counts as followed by the person.
constexpr qint64 followTime = 1000;

} // namespace

void PlanPage::setFolder(const QString &dir)
{
    m_folder = QFileInfo(dir).canonicalFilePath();
}

void PlanPage::noteInput()
{
    m_input.start();
}

bool PlanPage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    if (type != NavigationTypeLinkClicked)
        return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
    // A page that sends itself elsewhere again and again must not start a
    // browser each time: one input, at most one link followed.
    const bool followed = m_input.isValid() && m_input.elapsed() < followTime;
    m_input.invalidate();
    if (url.isLocalFile() && FolderInterceptor::inside(url.toLocalFile(), m_folder))
        return true;
    if (followed && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")))
        Q_EMIT addressFollowed(url);
    return false;
}
