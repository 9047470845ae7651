#pragma once

#include "core/folderlock.h"

#include <QByteArray>
#include <QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// An update that could not be installed, with the message shown as it is.
struct UpdaterFailure {
    QString message;
};

// Self-update from the distribution server: asks for the latest build,
// downloads and verifies its zip, unpacks it, puts the new application whole
// and checked beside the installed Quarrystone.app folder, and leaves the
// swap (AppSwap) to a script that runs once the application has quit. The
// application quits only when every step up to the swap has succeeded.
// Published state changes on the main thread only.
class Updater : public QObject
{
    Q_OBJECT

public:
    using Failure = UpdaterFailure;

    // The server's description of its latest build, read strictly.
    struct Latest {
        QString version;
        // Decimal text; compared as a number with the running build.
        QString build;
        std::optional<QString> notes;
        QString url;
        // Expected SHA-256 of the zip, in lower-case hexadecimal.
        std::optional<QString> sha256;
        // The zip's size in bytes: the most the download may take.
        std::optional<qint64> size{};

        // Throws JSONDecodeError on a missing or mistyped key.
        static Latest decode(const QByteArray &json);

        bool operator==(const Latest &) const = default;
    };

    struct Phase {
        enum class Kind { idle, checking, upToDate, downloading, installing, failed };

        Kind kind = Kind::idle;
        // What went wrong (failed only).
        QString message;

        static Phase idle();
        static Phase checking();
        static Phase upToDate();
        static Phase downloading();
        static Phase installing();
        static Phase failed(const QString &message);

        bool operator==(const Phase &) const = default;
    };

    // What the running application knows of itself: values compiled in,
    // each replaced by the installed folder's Info.json when it has one.
    struct Bundle {
        // The installed "Quarrystone.app" folder; empty for a development
        // build, which can look for updates but not install them.
        QString path;
        QString identifier;
        QString version;
        // Decimal text, like the server's.
        QString build;
        // The distribution server; empty for the built-in one.
        QString updateURL;

        // The bundle of the executable in `executableFolder`: an installed
        // one when that folder is "bin" inside a folder named "*.app".
        static Bundle of(const QString &executableFolder);
        static Bundle running();
    };

    // What installing touches outside the updater; tests put in their own.
    struct Hooks {
        Bundle bundle;
        // Asks the application to quit once the swap script has started.
        std::function<void()> terminate;
        // The process whose end the swap script waits for.
        qint64 processId = 0;
        // Where a swap that failed after the application quit leaves its
        // cause for the next start to show.
        QString note;
        // A new copy that has not proven it can start within this time
        // cannot.
        std::chrono::milliseconds selfCheckLimit = std::chrono::seconds(60);
        // The longest a check, and a download, may take from the request to
        // the last byte: a server that trickles is not waited for forever.
        std::chrono::milliseconds checkLimit = std::chrono::seconds(60);
        std::chrono::milliseconds downloadLimit = std::chrono::minutes(30);

        Hooks();
    };

    explicit Updater(Hooks hooks = Hooks(), QObject *parent = nullptr);

    // The application's one instance, made on first use.
    static Updater &shared();

    std::optional<Latest> available() const { return m_available; }
    Phase phase() const { return m_phase; }
    std::optional<QDateTime> lastChecked() const { return m_lastChecked; }

    // The distribution server's base address, used as it stands.
    QString feed() const;
    qint64 currentBuild() const;

    // Asks the server for its latest build unless a check or an install
    // runs; returns at once. A failed check the user did not ask for leaves
    // no message.
    void check(bool manual = true);
    // Downloads and installs `available`, then quits the application;
    // returns at once and does nothing while a download or install runs.
    void install();
    // Clears a shown check result or failure: the phase goes back to idle.
    // A check or an install under way is left alone, since its own end sets
    // the phase.
    void dismiss();
    // Whether a generation, revision or development run is going on; asked
    // right before the swap, since one may have started during the download.
    void setBusyCheck(std::function<bool()> busy);

    // A build text as a number: an optional sign and decimal digits, nothing
    // else, within 64 bits; any other text is 0.
    static qint64 buildNumber(const QString &text);
    // The script that, once process `pid` has ended, has a copy of the
    // application swap in the folder staged beside `app` (AppSwap::finish,
    // leaving a failure in `note`), removes the work folder `work` and starts
    // the application in `app` again. Run again after a kill, it completes
    // the swap from what is there.
    static QString swapScript(const QString &app, const QString &work, const QString &note, qint64 pid);
    // The note of the running application's own swaps.
    static QString failureNote();
    // Removes the work folders of installs and swaps that were cut short
    // (a kill, a crash); one whose install still runs is left alone.
    static void removeAbandonedWork();

    // An install's work folder, held by the install while it runs.
    struct WorkFolder {
        QString path;
        std::shared_ptr<FolderLock> lock;
    };

Q_SIGNALS:
    void availableChanged();
    void phaseChanged();
    void lastCheckedChanged();

private:
    Q_PROPERTY(std::optional<Latest> available READ available NOTIFY availableChanged)
    Q_PROPERTY(Phase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(std::optional<QDateTime> lastChecked READ lastChecked NOTIFY lastCheckedChanged)

    QString identifier() const;
    QCoro::Task<> runCheck(QUrl url, bool manual);
    QCoro::Task<> runInstall(Latest latest, QUrl url);
    QCoro::Task<> download(Latest latest, QUrl url, QString work);
    QCoro::Task<QString> unpack(QString work);
    QCoro::Task<> stage(QString unpacked, QString work);
    void relaunch(const QString &work);

    void setAvailable(const std::optional<Latest> &latest);
    void setPhase(const Phase &phase);
    void setLastChecked(const QDateTime &when);

    Hooks m_hooks;
    // Held from the work folder's making to the install's end; at a swap,
    // to this process's end.
    WorkFolder m_work;
    std::function<bool()> m_busy;
    std::optional<Latest> m_available;
    Phase m_phase;
    std::optional<QDateTime> m_lastChecked;
    // Why the swap before this start failed; while set, a newer build is
    // offered but not installed by itself, so a swap that cannot succeed is
    // not tried again and again.
    QString m_swapFailure;
};
