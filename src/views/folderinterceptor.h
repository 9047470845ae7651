#pragma once

#include <QString>
#include <QWebEngineUrlRequestInterceptor>

// Keeps a plan page to its own folder: a file request passes only when the
// file, links resolved, lies inside the plan folder. Other schemes pass.
class FolderInterceptor : public QWebEngineUrlRequestInterceptor
{
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;

    void setFolder(const QString &dir);
    void interceptRequest(QWebEngineUrlRequestInfo &info) override;

    // Whether the local path may be read by the page of `folder` (canonical).
    static bool inside(const QString &path, const QString &folder);

private:
    QString m_folder; // canonical; empty lets no file through
};
