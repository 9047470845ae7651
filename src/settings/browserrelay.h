#pragma once

#include "core/folderlock.h"

#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>
#include <functional>
#include <optional>

class QSocketNotifier;

// Where a setup job's tools open their addresses: a helper they run as
// their browser ($BROWSER) hands each address back to the application,
// which opens it in the person's browser outside the job. A browser started
// inside the job would end with it, with every tab opened since, just as
// the person finishes in it. All a job can ask this way is the opening of
// an http or https address; anything else is dropped.
class BrowserRelay : public QObject
{
public:
    using Open = std::function<void(const QUrl &)>;

    // Makes the helper and its channel in the private temporary folder;
    // `open` runs on this thread for every web address handed in.
    BrowserRelay(Open open, QObject *parent = nullptr);
    ~BrowserRelay() override;

    // The helper's path for a job's BROWSER; empty when it could not be made.
    QString helper() const { return m_helper; }

    // Makes this relay the one that every command the program runs (a
    // check's, Claude's runs) is given as its BROWSER, for as long as it
    // lives: a browser started inside a command would end with it.
    void serveCommands();
    // The helper of the relay that serves commands; empty when none does.
    static QString forCommands();

private:
    bool make();
    void readAddresses();

    Open m_open;
    std::optional<QTemporaryDir> m_folder;
    // Held while the relay lives: a killed application's goes at the next
    // start.
    FolderLock m_held;
    QString m_helper;
    int m_channel = -1;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_pending;
};
