#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QWebEnginePage>

// The plan page in the browser engine. A link to another site opens in the
// person's browser instead of replacing the plan, when the person followed
// it (a script's navigation opens nothing); the plan's own links and
// anchors stay in the view, and a link to any other place goes nowhere.
class PlanPage : public QWebEnginePage
{
    Q_OBJECT

public:
    using QWebEnginePage::QWebEnginePage;

    // The plan folder whose files count as the plan's own.
    void setFolder(const QString &dir);
    // A click or a key in the view: a link to another site followed just
    // after it is the person's.
    void noteInput();

Q_SIGNALS:
    // The person followed a link to another site: it belongs in their browser.
    void addressFollowed(const QUrl &url);

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;

private:
    QString m_folder; // canonical
    QElapsedTimer m_input;
};
