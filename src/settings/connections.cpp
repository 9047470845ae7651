#include "settings/connections.h"

#include "process/childprocess.h"
#include "claude/clauderunner.h"
#include "core/filedescriptor.h"
#include "core/jsonread.h"
#include "core/text.h"
#include "process/pty.h"
#include "settings/browserrelay.h"
#include "settings/keychain.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

// The value "authMethod" has for a login with a subscription account.
const QString subscriptionLogin = QStringLiteral("claude.ai");

// A company gateway set in the person's shell alone: the variables reach
// no run (a run's environment is built from what it needs), while the
// tool's own settings file does. Empty when none of them is set here.
QString shellOnlyAccess()
{
    QStringList set;
    for (const char *name : {"ANTHROPIC_BASE_URL", "ANTHROPIC_AUTH_TOKEN"})
        if (!qEnvironmentVariableIsEmpty(name))
            set.append(QString::fromLatin1(name));
    if (set.isEmpty())
        return QString();
    return QStringLiteral(". 터미널에 둔 ") + set.join(QStringLiteral(", "))
        + QStringLiteral(" 은 Claude 실행에 넘기지 않아요. ") + ClaudeRunner::personalSettingsPath()
        + QStringLiteral(" 의 \"env\" 에 넣어 주세요");
}

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return QDir::isAbsolutePath(path) && info.isFile() && info.isExecutable();
}

// Terminal output without hyperlink sequences (their visible text stays),
// control sequences and carriage returns.
QString cleaned(QString text)
{
    static const QRegularExpression hyperlink(QStringLiteral("\\x{1B}\\]8;;[^\\x{07}\\x{1B}]*(\\x{07}|\\x{1B}\\\\)"));
    static const QRegularExpression control(QStringLiteral("\\x{1B}\\[[0-9;?]*[A-Za-z]"));
    return text.remove(hyperlink).remove(control).remove(QLatin1Char('\r'));
}

bool isWebAddress(const QUrl &url)
{
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1String("https") || scheme == QLatin1String("http"))
        && !url.host().isEmpty();
}

// The first login address in cleaned output; one that is no usable web
// address is passed over, so a later good one is still found.
std::optional<QUrl> loginAddress(const QString &text)
{
    static const QRegularExpression address(QStringLiteral("https://[^\\s\\x{07}\\x{1B}\\]]+"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    QRegularExpressionMatchIterator matches = address.globalMatch(text);
    while (matches.hasNext()) {
        const QUrl url(matches.next().captured(), QUrl::StrictMode);
        if (isWebAddress(url))
            return url;
    }
    return std::nullopt;
}

QString trimSpacesAndTabs(const QString &line)
{
    qsizetype begin = 0;
    qsizetype end = line.size();
    const auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (begin < end && blank(line[begin]))
        ++begin;
    while (end > begin && blank(line[end - 1]))
        --end;
    return line.mid(begin, end - begin);
}

// The last two non-empty lines a failed job printed.
QString failureText(const QString &output, int status)
{
    QStringList lines;
    for (const QString &piece : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString line = trimSpacesAndTabs(piece);
        if (!line.isEmpty())
            lines.append(line);
    }
    if (lines.isEmpty())
        return QStringLiteral("끝나지 못했어요(종료 코드 ") + QString::number(status) + QStringLiteral(")");
    return lines.mid(std::max<qsizetype>(0, lines.size() - 2)).join(QLatin1Char(' '));
}

void closeDescriptor(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// The value after "<label>:" on the first line of `text` that holds it,
// trimmed; empty when no line does.
QString field(const QString &text, QLatin1String label)
{
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const qsizetype at = line.indexOf(label + QLatin1Char(':'));
        if (at >= 0)
            return line.mid(at + label.size() + 1).trimmed();
    }
    return QString();
}

// The text between the first "(" and the last ")", or nothing.
QString parenthesised(const QString &text)
{
    const qsizetype open = text.indexOf(QLatin1Char('('));
    const qsizetype close = text.lastIndexOf(QLatin1Char(')'));
    return open >= 0 && close > open ? text.mid(open + 1, close - open - 1) : QString();
}

} // namespace

// The status lines of "claude mcp get" (2.1.337): "✔ Connected", "!
// Needs authentication", "✘ Failed to connect" with the cause on an
// "Issue:" line, and "- Not checked (folder not trusted; run `claude`
// here)" for a local server in a folder the person has not trusted (the
// folder the check runs in, the temporary folder). Only
// the second is helped by a login; a status this does not know is shown as
// the tool words it.
Connections::Status Connections::serverStatus(const QString &name, const QString &output)
{
    const QString status = field(output, QLatin1String("Status"));
    if (status.contains(QLatin1String("Connected")))
        return Status::ok(name + QStringLiteral(" 연결됨"));
    if (status.contains(QLatin1String("Needs auth")))
        return Status::needsLogin(name);
    if (status.contains(QLatin1String("Not checked"))) {
        // "here" is where the check ran, a folder the person never sees:
        // the words name it. It is the shared temporary folder, which no one
        // should be told to trust.
        const QString reason = parenthesised(status);
        if (reason.contains(QLatin1String("not trusted")))
            return Status::notChecked(QStringLiteral("Claude 가 확인에 쓴 임시 폴더를 신뢰하지 않아 확인하지 못했어요: ")
                                      + QDir::tempPath());
        return Status::notChecked(reason);
    }
    if (status.contains(QLatin1String("Failed to connect")))
        return Status::notConnected(field(output, QLatin1String("Issue")));
    return Status::notConnected(status);
}

Connections::Status Connections::Status::ok(const QString &text)
{
    return Status{Kind::ok, text};
}

Connections::Status Connections::Status::needsLogin(const QString &text)
{
    return Status{Kind::needsLogin, text};
}

Connections::Status Connections::Status::checking()
{
    return Status{Kind::checking, QString()};
}

Connections::Status Connections::Status::missing()
{
    return Status{Kind::missing, QString()};
}

Connections::Status Connections::Status::notChecked(const QString &reason)
{
    const QString words = QStringLiteral("확인 안 됨");
    return Status{Kind::notChecked, reason.isEmpty() ? words : words + QStringLiteral(" (") + reason + QLatin1Char(')')};
}

Connections::Status Connections::Status::notConnected(const QString &cause)
{
    const QString words = QStringLiteral("연결 실패");
    return Status{Kind::notConnected, cause.isEmpty() ? words : words + QStringLiteral(" (") + cause + QLatin1Char(')')};
}

Connections::Hooks::Hooks()
    : installerCommand(QStringLiteral("curl -fsSL https://claude.ai/install.sh | bash"))
{
}

struct Connections::Checked {
    Status claude;
    Status figma;
    Status wiki;
    QString wikiServer;
};

Connections::Connections(Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_hooks(std::move(hooks))
{
}

Connections::~Connections()
{
    m_checksStop.cancel();
    // A job ends with the object that started it.
    if (m_jobChild)
        m_jobChild->terminate(m_hooks.stopGrace);
    releaseJob();
}

Connections &Connections::shared()
{
    // Never destroyed: background checks may still report to it while the
    // process ends.
    static Connections *const instance = new Connections();
    return *instance;
}

std::optional<Keychain::Reading> Connections::runKey(AppSettings::ClaudeAuth auth)
{
    if (auth != AppSettings::ClaudeAuth::apiKey)
        return std::nullopt;
    return Keychain::read(Keychain::Item::anthropicKey);
}

std::optional<QString> Connections::keyProblem(const Keychain::Reading &key)
{
    switch (key.outcome) {
    case Keychain::Reading::Outcome::found:
        return std::nullopt;
    case Keychain::Reading::Outcome::unreadable:
        return key.problem;
    case Keychain::Reading::Outcome::absent:
        break;
    }
    return QStringLiteral("Anthropic API 키가 없어요. 설정에서 넣거나 'Claude Code 로그인' 방식으로 바꿔 주세요.");
}

Connections::Status Connections::checkClaude(const QString &claude, const std::optional<Keychain::Reading> &apiKey,
                                             std::chrono::milliseconds timeout, const CancelToken &stop)
{
    if (!isExecutableFile(claude))
        return Status::missing();
    std::optional<QString> key;
    if (apiKey) {
        if (const std::optional<QString> problem = keyProblem(*apiKey))
            return apiKey->outcome == Keychain::Reading::Outcome::unreadable ? Status::notChecked(*problem)
                                                                             : Status::needsLogin(*problem);
        key = apiKey->value;
    }
    // Asked as a run would ask: a credential inherited from our environment
    // would report a login that no run uses.
    const QString output =
        Spawn::output(claude, {QStringLiteral("auth"), QStringLiteral("status"), QStringLiteral("--json")},
                      ClaudeRunner::environment(claude, key), timeout, stop)
            .value_or(QString());
    QJsonObject status;
    try {
        status = parseObject(output.toUtf8());
    } catch (const JSONDecodeError &) {
        return Status::needsLogin(QStringLiteral("로그인 상태를 읽지 못했어요"));
    }
    if (!JsonRead::boolean(status, QStringLiteral("loggedIn")))
        return Status::needsLogin(QStringLiteral("로그인이 필요해요") + shellOnlyAccess());

    const QJsonValue ownEmail = status.value(QLatin1String("email"));
    const QString email = ownEmail.isString()
        ? ownEmail.toString()
        : JsonRead::string(status.value(QLatin1String("account")).toObject(), QStringLiteral("email"));
    const bool subscription = JsonRead::optString(status, QStringLiteral("authMethod")) == subscriptionLogin;
    const QString label = subscription ? QStringLiteral("Claude 계정") : QStringLiteral("API 키");
    if (!email.isEmpty())
        return Status::ok(email + QStringLiteral(" · ") + label);
    return Status::ok(label + (subscription ? QStringLiteral("으로") : QStringLiteral("로")) + QStringLiteral(" 로그인됨"));
}

Connections::Status Connections::checkServer(const QString &claude, const QString &name,
                                             std::chrono::milliseconds timeout, const CancelToken &stop)
{
    QElapsedTimer clock;
    clock.start();
    const std::optional<QString> output =
        Spawn::output(claude, {QStringLiteral("mcp"), QStringLiteral("get"), name}, env(claude), timeout, stop);
    // Nothing comes back both from a tool that could not start and from one
    // that had to be killed at the time-out; only the latter takes that long.
    if (!output && std::chrono::milliseconds(clock.elapsed()) >= timeout)
        return Status::needsLogin(name);
    const QString text = output.value_or(QString());
    if (text.contains(QLatin1String("No MCP server named")) || text.isEmpty())
        return Status::missing();
    return serverStatus(name, text);
}

QStringList Connections::atlassianServers()
{
    const QJsonObject servers = ClaudeRunner::userMCPServers();
    QStringList names;
    for (auto it = servers.begin(); it != servers.end(); ++it) {
        const QString url = JsonRead::string(it.value().toObject(), QStringLiteral("url"));
        if (it.key().contains(QLatin1String("atlassian"), Qt::CaseInsensitive)
            || url.contains(QLatin1String("atlassian")))
            names.append(it.key());
    }
    Text::sortByCodePoint(names);
    return names;
}

Spawn::Environment Connections::env(const QString &executable)
{
    return ClaudeRunner::toolEnvironment(executable);
}

void Connections::refresh(const AppSettings &settings)
{
    if (m_refreshing)
        return;
    setRefreshing(true);
    setClaude(Status::checking());
    setFigma(Status::checking());
    setWiki(Status::checking());

    const QString configured = settings.claudePath;
    const AppSettings::ClaudeAuth auth = settings.claudeAuth;
    const bool tokenMode = settings.figmaMode == AppSettings::FigmaMode::token;
    const std::chrono::milliseconds timeout = m_hooks.checkTimeout;
    // The checks wait for child processes (and the tool search for a login
    // shell, and the keyring), so none of them runs on the main thread.
    std::thread([self = QPointer<Connections>(this), configured, auth, tokenMode, timeout, stop = m_checksStop] {
        const Checked checked = checkAll(configured, auth, tokenMode, timeout, stop);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, checked] {
                if (self)
                    self->publish(checked);
            },
            Qt::QueuedConnection);
    }).detach();
}

Connections::Status Connections::tokenStatus(const QString &found)
{
    const Keychain::Reading token = Keychain::read(Keychain::Item::figmaToken);
    switch (token.outcome) {
    case Keychain::Reading::Outcome::found:
        return Status::ok(found);
    case Keychain::Reading::Outcome::absent:
        return Status::missing();
    case Keychain::Reading::Outcome::unreadable:
        break;
    }
    // A locked keyring is no missing token, and no login opens it: the
    // sentence names the cause.
    return Status::notChecked(token.problem);
}

Connections::Checked Connections::checkAll(const QString &configuredClaude, AppSettings::ClaudeAuth auth,
                                           bool tokenMode, std::chrono::milliseconds timeout, const CancelToken &stop)
{
    const QString claude =
        configuredClaude.isEmpty() ? ClaudeRunner::findClaude(stop).value_or(QString()) : configuredClaude;
    Checked checked;
    checked.claude = checkClaude(claude, runKey(auth), timeout, stop);
    const bool toolAbsent = checked.claude.kind == Status::Kind::missing;

    if (tokenMode)
        checked.figma = tokenStatus(QStringLiteral("개인 토큰으로 읽어요"));
    else if (toolAbsent)
        checked.figma = Status::missing();
    else
        checked.figma = checkServer(claude, QStringLiteral("figma"), timeout, stop);

    const QStringList servers = toolAbsent ? QStringList() : atlassianServers();
    const QString unreadable = toolAbsent ? QString() : ClaudeRunner::userConfigProblem();
    checked.wiki = servers.isEmpty() && !unreadable.isEmpty() ? Status::notChecked(unreadable) : Status::missing();
    for (const QString &server : servers) {
        const Status status = checkServer(claude, server, timeout, stop);
        if (status.kind == Status::Kind::ok) {
            checked.wiki = status;
            checked.wikiServer = server;
            break;
        }
        if (server == servers.first()) {
            checked.wiki = status;
            checked.wikiServer = server;
        }
    }
    return checked;
}

void Connections::publish(const Checked &checked)
{
    setClaude(checked.claude);
    setFigma(checked.figma);
    setWiki(checked.wiki);
    setWikiServer(checked.wikiServer);
    setRefreshing(false);
}

void Connections::installClaude(const AppSettings &settings)
{
    run(Job{QStringLiteral("Claude Code 설치하는 중"), QStringLiteral("1~2분 걸려요. 끝나면 로그인 버튼이 나와요."),
            std::nullopt, false},
        QStringLiteral("/bin/bash"), {QStringLiteral("-lc"), m_hooks.installerCommand}, false, false, settings);
}

void Connections::loginClaude(const QString &claude, const AppSettings &settings)
{
    run(Job{QStringLiteral("Claude 로그인"),
            QStringLiteral("열린 브라우저에서 회사 Claude 계정으로 로그인하세요. 이미 로그인돼 있으면 허용만 누르면 돼요."),
            std::nullopt, false},
        claude, {QStringLiteral("auth"), QStringLiteral("login")}, true, false, settings);
}

void Connections::addServer(const QString &name, const QString &url, const QString &claude,
                            const AppSettings &settings)
{
    // The registration belongs to the job: a request that the running job
    // turns away must not change the user's configuration either.
    if (m_job)
        return;
    Spawn::output(claude,
                  {QStringLiteral("mcp"), QStringLiteral("add"), QStringLiteral("--transport"), QStringLiteral("http"),
                   QStringLiteral("--scope"), QStringLiteral("user"), name, url},
                  env(claude), m_hooks.checkTimeout);
    loginServer(name, claude, settings);
}

void Connections::loginServer(const QString &name, const QString &claude, const AppSettings &settings)
{
    const QString title = name == QLatin1String("figma") ? QStringLiteral("Figma") : QStringLiteral("Wiki");
    run(Job{title + QStringLiteral(" 연결"),
            QStringLiteral("열린 브라우저에서 “허용” 을 누르세요. 이미 로그인돼 있으면 바로 끝나요."), std::nullopt,
            false},
        claude, {QStringLiteral("mcp"), QStringLiteral("login"), name, QStringLiteral("--no-browser")}, true, true,
        settings);
}

void Connections::run(const Job &job, const QString &exe, const QStringList &args, bool pty, bool openURL,
                      const AppSettings &settings)
{
    if (m_job)
        return;
    setJob(job);
    setLastError(std::nullopt);
    ++m_jobSerial;
    m_openedURL = false;
    m_askScheduled = false;
    m_jobOpensURL = openURL;
    m_jobBytes.clear();
    m_stopAsked = false;
    try {
        startChild(exe, args, pty);
    } catch (const SpawnFailure &failure) {
        setJob(std::nullopt);
        setLastError(failure.message);
        return;
    }
    // Every job is a run: the installer's "curl … | bash" must stop with its
    // shell.
    m_jobChild.emplace(m_jobPid);
    m_outputNotifier = new QSocketNotifier(m_jobOutput, QSocketNotifier::Read, this);
    connect(m_outputNotifier, &QSocketNotifier::activated, this, &Connections::readOutput);
    QCoro::connect(Spawn::wait(m_jobPid), this, [this, settings](int status) { finishJob(status, settings); });
}

void Connections::startChild(const QString &exe, const QStringList &args, bool pty)
{
    // The login shell of the installer finds its tools in /usr/bin first.
    Spawn::Environment environment =
        env(exe.startsWith(QLatin1String("/bin/")) ? QStringLiteral("/usr/bin/true") : exe);
    environment.insert(QStringLiteral("BROWSER"), browserHelper());
    if (pty) {
        const Pty::Child child = Pty::start(exe, args, environment, QDir::tempPath());
        m_jobPid = child.pid;
        m_jobInput = child.terminal;
        m_jobOutput = child.terminal;
        return;
    }
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0)
        throw Spawn::startFailure(errno);
    if (::pipe2(output, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(input[0]);
        ::close(input[1]);
        throw Spawn::startFailure(error);
    }
    pid_t pid = -1;
    try {
        pid = Spawn::run(exe, args, environment, QDir::tempPath(), input[0], output[1], output[1],
                         {.likeTheirTerminal = true});
    } catch (const SpawnFailure &) {
        for (const int fd : {input[0], input[1], output[0], output[1]})
            ::close(fd);
        throw;
    }
    ::close(input[0]);
    ::close(output[1]);
    setNonBlocking(input[1]);
    setNonBlocking(output[0]);
    m_jobPid = pid;
    m_jobInput = input[1];
    m_jobOutput = output[0];
}

QString Connections::browserHelper()
{
    if (!m_browser)
        m_browser = new BrowserRelay(
            // Read after the job's end too: its last address may come
            // in after the end is seen.
            [this](const QUrl &url) {
                if (m_hooks.openURL)
                    m_hooks.openURL(url);
            },
            this);
    return m_browser->helper();
}

bool Connections::drainOutput()
{
    bool grew = false;
    for (;;) {
        char buffer[16 * 1024];
        const ssize_t n = ::read(m_jobOutput, buffer, sizeof buffer);
        if (n > 0) {
            m_jobBytes.append(buffer, n);
            grew = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // End of file, or EIO once the terminal's other side has closed: the
        // descriptor would now be reported readable for ever.
        if ((n == 0 || errno != EAGAIN) && m_outputNotifier)
            m_outputNotifier->setEnabled(false);
        return grew;
    }
}

void Connections::readOutput()
{
    // The whole output since the start, so that a line split across reads
    // is seen whole.
    if (drainOutput())
        saw(QString::fromUtf8(m_jobBytes), m_jobOpensURL);
}

void Connections::saw(const QString &output, bool openURL)
{
    if (!m_job)
        return;
    const QString text = cleaned(output);
    if (!m_job->url) {
        if (const std::optional<QUrl> url = loginAddress(text)) {
            Job job = *m_job;
            job.url = url;
            setJob(job);
            if (openURL && !m_openedURL && m_hooks.openURL) {
                m_openedURL = true;
                m_hooks.openURL(*url);
            }
        }
    }
    const QString lower = text.toLower();
    if (!m_askScheduled && lower.contains(QLatin1String("paste"))
        && (lower.contains(QLatin1String("code")) || lower.contains(QLatin1String("url")))) {
        m_askScheduled = true;
        QTimer::singleShot(m_hooks.codePromptDelay, this, [this, serial = m_jobSerial] {
            if (serial != m_jobSerial || !m_job)
                return;
            Job job = *m_job;
            job.askCode = true;
            setJob(job);
        });
    }
}

void Connections::setURLOpener(std::function<void(const QUrl &)> open)
{
    m_hooks.openURL = std::move(open);
    // An address any command opens (a check's, Claude's runs) reaches the
    // window's opener too, not only a setup job's.
    browserHelper();
    m_browser->serveCommands();
}

void Connections::sendCode(const QString &code)
{
    if (m_jobInput < 0 || code.isEmpty())
        return;
    // A carriage return, as the Enter key gives on a terminal.
    FileDescriptor::writeAll(m_jobInput, code.trimmed().toUtf8() + '\r');
    if (!m_job)
        return;
    Job job = *m_job;
    job.askCode = false;
    job.note = QStringLiteral("확인하는 중…");
    setJob(job);
}

void Connections::stopJob()
{
    if (!m_jobChild)
        return;
    // A second stop does not wait out the grace time of the first.
    if (m_stopAsked)
        m_jobChild->kill();
    else
        m_jobChild->terminate(m_hooks.stopGrace);
    m_stopAsked = true;
}

void Connections::endJob()
{
    if (m_jobChild)
        m_jobChild->kill();
}

void Connections::finishJob(int status, const AppSettings &settings)
{
    drainOutput();
    const QString output = cleaned(QString::fromUtf8(m_jobBytes));
    releaseJob();
    setJob(std::nullopt);
    // However a stopped job ends (SIGTERM, or SIGKILL after the grace
    // time), the person asked for it: that is no failure.
    if (status != 0 && !m_stopAsked)
        setLastError(failureText(output, status));
    refresh(settings);
}

void Connections::releaseJob()
{
    delete m_outputNotifier;
    m_outputNotifier = nullptr;
    if (m_jobInput == m_jobOutput)
        m_jobInput = -1;
    closeDescriptor(m_jobInput);
    closeDescriptor(m_jobOutput);
    m_jobPid = 0;
    m_jobChild.reset();
    m_jobBytes.clear();
}

void Connections::setClaude(const Status &status)
{
    if (m_claude == status)
        return;
    m_claude = status;
    Q_EMIT claudeChanged();
}

void Connections::setFigma(const Status &status)
{
    if (m_figma == status)
        return;
    m_figma = status;
    Q_EMIT figmaChanged();
}

void Connections::setWiki(const Status &status)
{
    if (m_wiki == status)
        return;
    m_wiki = status;
    Q_EMIT wikiChanged();
}

void Connections::setWikiServer(const QString &name)
{
    if (m_wikiServer == name)
        return;
    m_wikiServer = name;
    Q_EMIT wikiServerChanged();
}

void Connections::setJob(const std::optional<Job> &job)
{
    if (m_job == job)
        return;
    m_job = job;
    Q_EMIT jobChanged();
}

void Connections::setLastError(const std::optional<QString> &error)
{
    if (m_lastError == error)
        return;
    m_lastError = error;
    Q_EMIT lastErrorChanged();
}

void Connections::setRefreshing(bool refreshing)
{
    if (m_refreshing == refreshing)
        return;
    m_refreshing = refreshing;
    Q_EMIT refreshingChanged();
}
