#pragma once

#include "process/childprocess.h"
#include "process/spawn.h"
#include "settings/appsettings.h"
#include "settings/keychain.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>
#include <sys/types.h>

class BrowserRelay;
class QSocketNotifier;

// The three outside connections (the claude tool and its login, the design
// service, the wiki) checked and published, and the setup jobs that install
// the tool or log in to it and to its MCP servers: one job at a time, its
// terminal output watched for a login address and for a request to paste a
// code. Published state changes on the main thread only.
class Connections : public QObject
{
    Q_OBJECT

public:
    struct Status {
        // `notChecked`: the tool did not try the server (it checks no local
        // server from a folder the person has not trusted); `notConnected`:
        // it tried and could not reach it. A login helps with neither.
        enum class Kind { ok, needsLogin, checking, missing, notChecked, notConnected };

        Kind kind = Kind::checking;
        // How it works (ok), or what is missing: a sentence, or from
        // checkServer the bare server name (needsLogin); for a server not
        // checked or not connected, the shown words with the tool's reason.
        // Empty otherwise.
        QString text;

        static Status ok(const QString &text);
        static Status needsLogin(const QString &text);
        static Status checking();
        static Status missing();
        // `reason` and `cause` are the tool's own words; either may be empty.
        static Status notChecked(const QString &reason);
        static Status notConnected(const QString &cause);

        bool operator==(const Status &) const = default;
    };

    // The setup job that runs now, as the settings window shows it.
    struct Job {
        QString title;
        QString note;
        // The first login address in the job's output.
        std::optional<QUrl> url;
        // The user should now be offered a field to paste a code.
        bool askCode = false;

        bool operator==(const Job &) const = default;
    };

    static constexpr std::chrono::milliseconds checkTimeout = std::chrono::seconds(30);

    // What the jobs reach outside the process; tests put in their own.
    struct Hooks {
        // Opens a job's login address in the person's browser; the window
        // gives its own (setURLOpener), and without one nothing opens.
        std::function<void(const QUrl &)> openURL;
        // How long after the tool first asks for a pasted code the code
        // field is offered: the browser usually finishes the login by
        // itself, and the field would only distract until then.
        std::chrono::milliseconds codePromptDelay = std::chrono::seconds(25);
        // The login shell command that installs the claude tool.
        QString installerCommand;
        // A short check whose child has not ended by then counts as
        // needing login.
        std::chrono::milliseconds checkTimeout = Connections::checkTimeout;
        // How long a stopped job has to end before whatever is left of its
        // process group gets SIGKILL.
        std::chrono::milliseconds stopGrace = std::chrono::seconds(10);

        Hooks();
    };

    explicit Connections(Hooks hooks = Hooks(), QObject *parent = nullptr);
    ~Connections() override;

    // The application's one instance, made on first use.
    static Connections &shared();

    Status claude() const { return m_claude; }
    Status figma() const { return m_figma; }
    Status wiki() const { return m_wiki; }
    // The wiki MCP server that `wiki` describes; empty when there is none.
    QString wikiServer() const { return m_wikiServer; }
    std::optional<Job> job() const { return m_job; }
    // Why the last setup job failed; cleared when the next one starts.
    std::optional<QString> lastError() const { return m_lastError; }
    bool isRefreshing() const { return m_refreshing; }

    // Checks the three connections in the background and publishes the
    // results; dropped (not queued) while a check runs.
    void refresh(const AppSettings &settings);

    // The tool and the login its runs use, from "auth status --json" in a
    // run's environment: with `apiKey`, the keyring's reading of the key
    // the API-key mode hands over (an absent or unreadable key is named
    // without asking the tool); without it, the tool's own login. Blocks the
    // caller; cancelling `stop` ends the tool.
    static Status checkClaude(const QString &claude, const std::optional<Keychain::Reading> &apiKey = std::nullopt,
                              std::chrono::milliseconds timeout = checkTimeout, const CancelToken &stop = CancelToken());
    // The keyring's reading of the key that runs hand over in `auth`'s mode;
    // nothing in the login mode. Blocks until the keyring answers.
    static std::optional<Keychain::Reading> runKey(AppSettings::ClaudeAuth auth);
    // Why runs cannot use that key (absent or unreadable); nothing when
    // it was found.
    static std::optional<QString> keyProblem(const Keychain::Reading &key);
    // The design service's token in the keychain: ok with `found`, missing,
    // or, when the keychain could not be read or holds an unusable token,
    // its sentence to act on. Blocks on the keychain.
    static Status tokenStatus(const QString &found);
    // One MCP server of the tool, from "mcp get <name>". Blocks the caller;
    // cancelling `stop` ends the tool.
    static Status checkServer(const QString &claude, const QString &name,
                              std::chrono::milliseconds timeout = checkTimeout,
                              const CancelToken &stop = CancelToken());
    // The wiki MCP servers of the user's Claude configuration, in code-point
    // order; read anew on every call.
    static QStringList atlassianServers();
    // The environment of every child started here: ours, with the
    // executable's folder and the usual tool folders put first in PATH.
    static Spawn::Environment env(const QString &executable);

    // The setup jobs. `settings` is used for the refresh after the job's
    // end; `claude` is the tool path the caller resolved.
    void installClaude(const AppSettings &settings);
    void loginClaude(const QString &claude, const AppSettings &settings);
    // Registers the server for the user (synchronously), then logs in to it.
    void addServer(const QString &name, const QString &url, const QString &claude, const AppSettings &settings);
    void loginServer(const QString &name, const QString &claude, const AppSettings &settings);
    // How the window opens a job's login address: replaces Hooks::openURL.
    void setURLOpener(std::function<void(const QUrl &)> open);
    // Types the pasted code (or address) into the running job.
    void sendCode(const QString &code);
    // Ends the running job and everything it started: SIGTERM to its
    // process group, SIGKILL after the grace time or at a second stop. A
    // stopped job ends without an error, whatever its exit status.
    void stopJob();
    // Ends a running job and everything it started at once, without the
    // grace of a stop: the application is going.
    void endJob();

Q_SIGNALS:
    void claudeChanged();
    void figmaChanged();
    void wikiChanged();
    void wikiServerChanged();
    void jobChanged();
    void lastErrorChanged();
    void refreshingChanged();

private:
    struct Checked;

    Q_PROPERTY(Status claude READ claude NOTIFY claudeChanged)
    Q_PROPERTY(Status figma READ figma NOTIFY figmaChanged)
    Q_PROPERTY(Status wiki READ wiki NOTIFY wikiChanged)
    Q_PROPERTY(QString wikiServer READ wikiServer NOTIFY wikiServerChanged)
    Q_PROPERTY(std::optional<Job> job READ job NOTIFY jobChanged)
    Q_PROPERTY(std::optional<QString> lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(bool refreshing READ isRefreshing NOTIFY refreshingChanged)

    static Status serverStatus(const QString &name, const QString &output);
    static Checked checkAll(const QString &configuredClaude, AppSettings::ClaudeAuth auth, bool tokenMode,
                            std::chrono::milliseconds timeout, const CancelToken &stop);
    void publish(const Checked &checked);

    void run(const Job &job, const QString &exe, const QStringList &args, bool pty, bool openURL,
             const AppSettings &settings);
    void startChild(const QString &exe, const QStringList &args, bool pty);
    // What a job runs as its browser, so that the addresses it opens open
    // in the person's browser outside the job (BrowserRelay).
    QString browserHelper();
    bool drainOutput();
    void readOutput();
    void saw(const QString &output, bool openURL);
    void finishJob(int status, const AppSettings &settings);
    void releaseJob();

    void setClaude(const Status &status);
    void setFigma(const Status &status);
    void setWiki(const Status &status);
    void setWikiServer(const QString &name);
    void setJob(const std::optional<Job> &job);
    void setLastError(const std::optional<QString> &error);
    void setRefreshing(bool refreshing);

    Hooks m_hooks;
    BrowserRelay *m_browser = nullptr;
    Status m_claude;
    Status m_figma;
    Status m_wiki;
    QString m_wikiServer;
    bool m_refreshing = false;
    // Ends the checks still running when this object goes.
    CancelToken m_checksStop;
    std::optional<Job> m_job;
    std::optional<QString> m_lastError;

    // The running job's child and our ends of its input and output (one
    // descriptor when it runs on a terminal).
    pid_t m_jobPid = 0;
    std::optional<ChildProcess> m_jobChild;
    int m_jobInput = -1;
    int m_jobOutput = -1;
    QSocketNotifier *m_outputNotifier = nullptr;
    QByteArray m_jobBytes;
    bool m_jobOpensURL = false;
    bool m_openedURL = false;
    bool m_askScheduled = false;
    bool m_stopAsked = false;
    // Tells a code-prompt timer of an earlier job from one of this job.
    quint64 m_jobSerial = 0;
};
