#include "claude/clauderunner.h"

#include "process/childprocess.h"
#include "claude/lockeddata.h"
#include "process/pipepump.h"
#include "process/spawn.h"
#include "core/fileerror.h"
#include "core/filesizes.h"
#include "core/jsonread.h"
#include "core/regularfile.h"
#include "core/privatetemp.h"
#include "core/text.h"
#include "settings/browserrelay.h"

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTemporaryFile>
#include <atomic>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<int> toolsAlive{0};

// Counts a tool from its start until it has been reaped.
class Counted
{
public:
    explicit Counted(std::atomic<int> &count)
        : m_count(count)
    {
        ++m_count;
    }
    ~Counted() { --m_count; }
    Counted(const Counted &) = delete;
    Counted &operator=(const Counted &) = delete;

private:
    std::atomic<int> &m_count;
};

const QString mcpPrefix = QStringLiteral("mcp__");
constexpr auto versionTimeout = std::chrono::seconds(15);

bool isExecutableFile(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return false;
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    return ::stat(native.constData(), &info) == 0 && S_ISREG(info.st_mode) && ::access(native.constData(), X_OK) == 0;
}

// The tool reads "--tools" as bare names and drops an entry such as
// "Bash(./gradlew:*)", which would leave a run without its shell; the
// pattern itself only limits the tool, through "--allowedTools".
QString toolName(const QString &tool)
{
    const qsizetype open = tool.indexOf(QLatin1Char('('));
    return open > 0 && tool.endsWith(QLatin1Char(')')) ? tool.left(open) : tool;
}

// The built-in tools by name, with ToolSearch always among them.
QString builtInTools(const QStringList &allowedTools)
{
    QStringList tools;
    for (const QString &tool : allowedTools)
        if (!tool.startsWith(mcpPrefix))
            tools.append(toolName(tool));
    tools.append(QStringLiteral("ToolSearch"));
    tools.removeDuplicates();
    Text::sortByCodePoint(tools);
    return tools.join(QLatin1Char(','));
}

// "mcp__figma__get_metadata" names the server "figma".
QStringList mcpServerNames(const QStringList &allowedTools)
{
    QStringList names;
    for (const QString &tool : allowedTools)
        if (tool.startsWith(mcpPrefix))
            names.append(tool.mid(mcpPrefix.size()).section(QStringLiteral("__"), 0, 0));
    names.removeDuplicates();
    return names;
}

QStringList arguments(const QStringList &allowedTools, const QStringList &disallowedTools, const QStringList &dirs,
                      bool continueLast, const QString &mcpConfigPath, const QString &settingsPath, const QString &model)
{
    QStringList args{QStringLiteral("-p"), QStringLiteral("--output-format"), QStringLiteral("stream-json"),
                     QStringLiteral("--verbose")};
    if (continueLast)
        args << QStringLiteral("--continue");
    args << QStringLiteral("--tools") << builtInTools(allowedTools);
    args << QStringLiteral("--permission-mode") << QStringLiteral("dontAsk");
    if (!allowedTools.isEmpty())
        args << QStringLiteral("--allowedTools") << allowedTools.join(QLatin1Char(','));
    if (!disallowedTools.isEmpty())
        args << QStringLiteral("--disallowedTools") << disallowedTools.join(QLatin1Char(','));
    args << QStringLiteral("--strict-mcp-config") << QStringLiteral("--mcp-config") << mcpConfigPath;
    // The tool (2.1.337) adds the allow rules of every settings file it
    // loads to the run's own ("mcp__<server>" there lets a reading run
    // update the wiki, "Edit" lets a revision edit any file) and runs their
    // hooks; a plan folder or a worktree carries its own .claude/settings
    // files. It loads none of them with no source named; the one file it
    // still loads is the program's own, below.
    args << QStringLiteral("--setting-sources") << QString() << QStringLiteral("--settings") << settingsPath;
    for (const QString &dir : dirs)
        if (!dir.isEmpty())
            args << QStringLiteral("--add-dir") << dir;
    if (!model.isEmpty())
        args << QStringLiteral("--model") << model;
    return args;
}

// What a run takes from our environment: who and where the person is, their
// language, the proxy and certificates their network needs, the tool's own
// configuration folder and the build tools a development run calls. Every
// other variable stays out, whatever its name: a credential, extra request
// headers ("ANTHROPIC_CUSTOM_HEADERS", which the tool (2.1.197) adds to
// every API request), another API address or account. What the person set
// for the tool in its own settings the tool reads itself.
const QStringList runVariables{
    QStringLiteral("HOME"),         QStringLiteral("USER"),           QStringLiteral("LOGNAME"),
    QStringLiteral("SHELL"),        QStringLiteral("PATH"),           QStringLiteral("TERM"),
    QStringLiteral("TZ"),           QStringLiteral("TMPDIR"),         QStringLiteral("LANG"),
    QStringLiteral("LANGUAGE"),     QStringLiteral("XDG_CONFIG_HOME"), QStringLiteral("XDG_CACHE_HOME"),
    QStringLiteral("XDG_DATA_HOME"), QStringLiteral("XDG_STATE_HOME"), QStringLiteral("XDG_RUNTIME_DIR"),
    QStringLiteral("CLAUDE_CONFIG_DIR"), QStringLiteral("HTTP_PROXY"), QStringLiteral("HTTPS_PROXY"),
    QStringLiteral("NO_PROXY"),     QStringLiteral("http_proxy"),     QStringLiteral("https_proxy"),
    QStringLiteral("no_proxy"),     QStringLiteral("NODE_EXTRA_CA_CERTS"), QStringLiteral("SSL_CERT_FILE"),
    QStringLiteral("SSL_CERT_DIR"), QStringLiteral("JAVA_HOME"),      QStringLiteral("ANDROID_HOME"),
    QStringLiteral("ANDROID_SDK_ROOT"), QStringLiteral("GRADLE_USER_HOME"), QStringLiteral("DEVELOPER_DIR"),
};

// How a confined run's Bash commands start: the tool (2.1.337), given a
// program in CLAUDE_CODE_SHELL_PREFIX, runs each command as that program
// with the command's whole text as its one argument, and every such
// command otherwise inherits the tool's environment, the API key included
// (its CLAUDE_CODE_SUBPROCESS_ENV_SCRUB instead forces the permission mode
// to "default" and wants a sandbox of its own, with socat, for every
// command). This one drops the key or login token the tool was given (the
// tool itself drops the token) and runs the command
// with the shell the tool writes it for (bash or zsh, from SHELL as the
// tool picks it; bash otherwise), so that the build's code never sees the
// key.
const QByteArray shellPrefix = QByteArrayLiteral("#!/bin/sh\n"
                                                 "unset ANTHROPIC_API_KEY CLAUDE_CODE_OAUTH_TOKEN\n"
                                                 "case ${SHELL-} in */bash|*/zsh) ;; *) SHELL=/bin/bash ;; esac\n"
                                                 "exec \"$SHELL\" -c \"$1\"\n");

// SSH_AUTH_SOCK stays out too: a reading run needs no agent, and a
// development run's build executes code Claude may have written, which must
// not sign anything with the person's keys.

// Besides, the tool's setup commands reach the person's session bus, whose
// services act outside the run. No display: a window (a browser) started
// inside a run would end with it; the caller names the browser to use.
const QStringList desktopVariables{QStringLiteral("DBUS_SESSION_BUS_ADDRESS")};

// Ours, of the names given (and every locale setting). PATH is the tool's
// folder, then the person's own in their order (a version manager's shims
// before the system's, so that "npx" or "python3" of an MCP server is the
// one their terminal runs), then the usual tool folders it lacks.
Spawn::Environment runEnvironment(const QString &path, const QStringList &names)
{
    Spawn::Environment env = Spawn::allowedEnvironment(names, {QStringLiteral("LC_")});
    QStringList entries{QFileInfo(path).absolutePath()};
    // An empty entry means the working folder (the plan folder, a worktree,
    // the shared temporary folder), where no program may be picked up.
    entries += env.value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    entries += QStringList{QStringLiteral("/opt/homebrew/bin"), QStringLiteral("/usr/local/bin"),
                           QStringLiteral("/usr/bin"), QStringLiteral("/bin")};
    entries.removeDuplicates();
    env.insert(QStringLiteral("PATH"), entries.join(QLatin1Char(':')));
    return env;
}

// Where the tool keeps its configuration (2.1.337): the folder
// CLAUDE_CONFIG_DIR names holds its ".claude.json" and its settings alike;
// without it they are ~/.claude.json and ~/.claude/settings.json.
QString userConfigPath()
{
    const QString named = qEnvironmentVariable("CLAUDE_CONFIG_DIR");
    return (named.isEmpty() ? QDir::homePath() : named) + QStringLiteral("/.claude.json");
}

// The JSON object of one of the tool's configuration files; empty on any
// failure, with `problem` (when given) saying why, in the person's words,
// unless there is no file at all. The file is the person's own (a link they
// keep there is followed), but what stands there is no promise: a pipe is
// refused without waiting for a writer, and a file larger than any
// configuration is not read.
QJsonObject readObject(const QString &path, QString *problem = nullptr)
{
    QString error;
    const std::optional<QByteArray> bytes = RegularFile::readChosen(path, FileSizes::toolSettings, &error);
    try {
        if (bytes)
            return parseObject(*bytes);
    } catch (const JSONDecodeError &failure) {
        error = failure.message;
    }
    if (problem && !RegularFile::isFree(path))
        *problem = QStringLiteral("Claude Code 설정 파일을 읽지 못했어요: ") + path + QStringLiteral(" (") + error
            + QLatin1Char(')');
    return {};
}

QJsonObject objectMember(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isObject() ? value.toObject() : QJsonObject();
}

// What a run takes of the person's own settings: how the tool reaches the
// API and signs in (a company gateway's address and token in "env", a key
// helper) and their model; never a permission, an extra folder, a hook or
// a plugin, which would widen or run something in a run of ours.
const QStringList carriedSettings{QStringLiteral("env"), QStringLiteral("apiKeyHelper"), QStringLiteral("model")};

// The tool gives up on a key or login the API refused with "Invalid API
// key · Fix external API key" (2.1.337), after retries whose events carry
// the status 401.
bool credentialRefused(const QString &detail, std::optional<int> retryStatus)
{
    return retryStatus == 401 || detail.contains(QLatin1String("Invalid API key"), Qt::CaseInsensitive);
}

// The tool (2.1.337) in a confined run cannot refresh an expired login
// (it would write ~/.claude, which the run only reads) and cannot run the
// person's apiKeyHelper (it finds a home it cannot write and an empty
// runtime folder), and says so in English.
const QString confinedLogin = QStringLiteral(
    "\n개발 실행은 격리되어 있어서 Claude 가 그 안에서 만료된 로그인을 새로 고칠 수 없어요. 계획서 다듬기를 한 번 하거나 "
    "터미널에서 `claude` 를 한 번 실행해 로그인을 새로 고친 뒤 다시 시작해 주세요.");
const QString confinedKeyHelper = QStringLiteral(
    "\n개발 실행은 격리되어 있어서 그 안에서는 Claude 설정의 apiKeyHelper 를 실행할 수 없어요. 개발하려면 설정에서 "
    "'Anthropic API 키' 방식으로 바꿔 주세요.");

// What is known of a run that left no word of its own: how it ended.
QString silentEnd(int status, const std::optional<QString> &resultKind)
{
    if (resultKind && *resultKind != QLatin1String("success"))
        return QStringLiteral("Claude 가 오류로 끝났지만 무슨 오류인지 알리지 않았어요")
            + (resultKind->isEmpty() ? QString() : QStringLiteral(" (") + *resultKind + QLatin1Char(')'));
    if (status > 128 && status <= 128 + SIGRTMAX)
        return QStringLiteral("Claude 가 신호 ") + QString::number(status - 128) + QStringLiteral(" 를 받고 끝났어요");
    if (status == 0)
        return QStringLiteral("Claude 가 결과를 알리지 않고 끝났어요");
    return QStringLiteral("Claude 가 결과도 오류 메시지도 남기지 않고 끝났어요");
}

QString failureMessage(int status, const std::optional<QString> &result, const std::optional<QString> &resultKind,
                       const QByteArray &errorOutput, std::optional<int> retryStatus, bool keyMode, bool confined)
{
    QString detail;
    if (result) {
        detail = *result;
    } else {
        const QStringList lines = Text::decodeUtf8Strict(errorOutput)
                                      .value_or(QString())
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        detail = lines.mid(std::max<qsizetype>(0, lines.size() - 5)).join(QLatin1Char('\n'));
    }
    QString message = QStringLiteral("Claude 실행 실패(종료 코드 ") + QString::number(status) + QStringLiteral("): ")
        + (detail.isEmpty() ? silentEnd(status, resultKind) : detail);
    if (confined && detail.contains(QLatin1String("apiKeyHelper")))
        message += confinedKeyHelper;
    else if (keyMode && credentialRefused(detail, retryStatus))
        message += QStringLiteral("\nAPI 가 Anthropic API 키를 받지 않았어요. 설정에서 키를 확인하거나 'Claude Code 로그인' 방식으로 "
                                  "바꿔 주세요.");
    else if (credentialRefused(detail, retryStatus) || detail.contains(QLatin1String("login"), Qt::CaseInsensitive)
             || detail.contains(QLatin1String("auth"), Qt::CaseSensitive))
        message += confined ? confinedLogin : QStringLiteral("\n터미널에서 `claude` 를 한 번 실행해 로그인해 주세요.");
    return message;
}

// An address the tool opens (a server's sign-in) goes to the person's
// browser through the application's relay, where one serves commands.
Spawn::Environment withBrowser(Spawn::Environment env)
{
    if (const QString helper = BrowserRelay::forCommands(); !helper.isEmpty())
        env.insert(QStringLiteral("BROWSER"), helper);
    return env;
}

} // namespace

std::optional<QString> ClaudeRunner::version(const CancelToken &stop) const
{
    if (!isExecutableFile(path))
        return std::nullopt;
    const std::optional<QString> out =
        Spawn::output(path, {QStringLiteral("--version")}, Spawn::processEnvironment(), versionTimeout, stop);
    if (!out)
        return std::nullopt;
    return out->trimmed();
}

QJsonObject ClaudeRunner::userMCPServers(const QString &folder)
{
    const QJsonObject config = readObject(userConfigPath());
    QJsonObject servers = objectMember(config, QStringLiteral("mcpServers"));
    if (folder.isEmpty())
        return servers;
    // "claude mcp add" keeps a server of its default, local, scope under
    // the folder it was added in, where it also overrides a user server of
    // the same name (2.1.337).
    const QJsonObject projects = objectMember(config, QStringLiteral("projects"));
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    const QJsonObject local = objectMember(
        objectMember(projects, projects.contains(canonical) ? canonical : QDir(folder).absolutePath()),
        QStringLiteral("mcpServers"));
    for (auto it = local.begin(); it != local.end(); ++it)
        servers.insert(it.key(), it.value());
    return servers;
}

QString ClaudeRunner::userConfigProblem()
{
    QString problem;
    readObject(userConfigPath(), &problem);
    return problem;
}

QString ClaudeRunner::personalSettingsPath()
{
    const QString named = qEnvironmentVariable("CLAUDE_CONFIG_DIR");
    return (named.isEmpty() ? QDir::homePath() + QStringLiteral("/.claude") : named) + QStringLiteral("/settings.json");
}

std::optional<ClaudeRunner::Login> ClaudeRunner::personalLogin()
{
    const QString file = QFileInfo(personalSettingsPath()).path() + QStringLiteral("/.credentials.json");
    const QJsonObject login = readObject(file).value(QLatin1String("claudeAiOauth")).toObject();
    const QString token = login.value(QLatin1String("accessToken")).toString();
    if (token.isEmpty())
        return std::nullopt;
    const QJsonValue expires = login.value(QLatin1String("expiresAt"));
    return Login{QFileInfo(file).canonicalFilePath(), token,
                 expires.isDouble() ? QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(expires.toDouble()))
                                    : QDateTime()};
}

QByteArray ClaudeRunner::runSettings()
{
    const QJsonObject own = readObject(personalSettingsPath());
    QJsonObject carried;
    for (const QString &key : carriedSettings)
        if (own.contains(key))
            carried.insert(key, own.value(key));
    return QJsonDocument(carried).toJson(QJsonDocument::Compact);
}

QByteArray ClaudeRunner::mcpConfig(const QStringList &names, const QString &folder)
{
    const QJsonObject user = userMCPServers(folder);
    QJsonObject servers;
    for (auto it = user.begin(); it != user.end(); ++it)
        if (names.contains(it.key()))
            servers.insert(it.key(), it.value());
    return QJsonDocument(QJsonObject{{QStringLiteral("mcpServers"), servers}}).toJson(QJsonDocument::Compact);
}

int ClaudeRunner::toolsRunning()
{
    return toolsAlive.load();
}

Spawn::Environment ClaudeRunner::toolEnvironment(const QString &path)
{
    return withBrowser(runEnvironment(path, runVariables + desktopVariables));
}

Spawn::Environment ClaudeRunner::environment(const QString &path, const std::optional<QString> &apiKey)
{
    Spawn::Environment env = withBrowser(runEnvironment(path, runVariables));
    if (apiKey && !apiKey->isEmpty())
        env.insert(QStringLiteral("ANTHROPIC_API_KEY"), *apiKey);
    return env;
}

QCoro::Task<QString> ClaudeRunner::run(QString prompt, QStringList allowedTools, QStringList dirs, QString cwd,
                                       bool continueLast, Progress progress, ToolResult onToolResult,
                                       CancelToken cancel) const
{
    // The task starts at once; copy the runner before the first suspension
    // so it may be a temporary of the caller.
    const ClaudeRunner runner = *this;
    cancel.throwIfCancelled();
    if (!isExecutableFile(runner.path))
        throw ClaudeFailure{QStringLiteral("claude 를 찾지 못했어요. 설정에서 경로를 확인해 주세요.")};

    const std::optional<QString> folder = PrivateTemp::folder();
    QTemporaryFile config(
        PrivateTemp::runFileTemplate(folder.value_or(QDir::tempPath()), QStringLiteral("mcp"), QStringLiteral(".json")));
    QTemporaryFile settings(PrivateTemp::runFileTemplate(folder.value_or(QDir::tempPath()), QStringLiteral("settings"),
                                                         QStringLiteral(".json")));
    // Files, not the texts themselves: the servers' headers and the
    // settings' tokens may be secrets, and command lines are visible to
    // every local user.
    QTemporaryFile prefix(PrivateTemp::runFileTemplate(folder.value_or(QDir::tempPath()), QStringLiteral("shell"),
                                                       QStringLiteral(".sh")));
    QList<std::pair<QTemporaryFile *, QByteArray>> files{{&config, mcpConfig(mcpServerNames(allowedTools), cwd)},
                                                        {&settings, runSettings()}};
    if (runner.confinement)
        files.append({&prefix, QByteArray()});
    for (auto [file, text] : files)
        if (!folder || !file->open() || !PrivateTemp::hold(file->handle()) || file->write(text) != text.size()
            || !file->flush())
            throw ClaudeFailure{QStringLiteral("Claude 에 넘길 설정 파일을 쓰지 못했어요: ")
                                + (folder ? FileError::describe(*file) : QDir::tempPath())};
    // No program starts from a file that is open for writing, as a
    // temporary file stays until it is removed: the commands' start is a
    // file of its own at the name the temporary one took, held through a
    // descriptor that only reads.
    QFile prefixHeld(prefix.fileName());
    if (runner.confinement) {
        QSaveFile start(prefix.fileName());
        if (!start.open(QIODevice::WriteOnly) || start.write(shellPrefix) != shellPrefix.size() || !start.commit()
            || !prefixHeld.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner)
            || !prefixHeld.open(QIODevice::ReadOnly) || !PrivateTemp::hold(prefixHeld.handle()))
            throw ClaudeFailure{QStringLiteral("Claude 에 넘길 설정 파일을 쓰지 못했어요: ")
                                + FileError::describe(prefixHeld)};
    }

    const QStringList args = arguments(allowedTools, runner.disallowedTools, dirs, continueLast, config.fileName(),
                                       settings.fileName(), runner.model);
    Spawn::Environment env = environment(runner.path, runner.apiKey);
    if (runner.loginToken)
        env.insert(QStringLiteral("CLAUDE_CODE_OAUTH_TOKEN"), *runner.loginToken);
    // The tool, its server list, its settings and its commands' start stay
    // where they are, also where a confined run's own /tmp would cover
    // them: the tool refuses to start without the settings file it is named.
    std::optional<Spawn::Confinement> confinement = runner.confinement;
    if (confinement) {
        const QString start = QFileInfo(prefix.fileName()).canonicalFilePath();
        confinement->readOnly << runner.path << QFileInfo(config.fileName()).canonicalFilePath()
                              << QFileInfo(settings.fileName()).canonicalFilePath() << start;
        env.insert(QStringLiteral("CLAUDE_CODE_SHELL_PREFIX"), start);
    }

    // Declared before the pump, whose thread feeds them until it is joined.
    StreamCollector collector(std::move(progress), std::move(onToolResult));
    LockedData errors;
    PipePump pipes;
    const pid_t pid =
        Spawn::run(runner.path, args, env, cwd, pipes.childInput(), pipes.childOutput(), pipes.childError(),
                   {.confinement = confinement, .token = runner.runToken});
    const ChildProcess child(pid);
    pipes.closeChildEnds();
    const QFuture<void> pumped = pipes.start(
        child, prompt.toUtf8(), [&collector](const QByteArray &bytes) { collector.feed(bytes); },
        [&errors](const QByteArray &bytes) { errors.append(bytes); });

    int status = 0;
    {
        const Counted counted(toolsAlive);
        const CancelToken::Registration stop = cancel.onCancel([child] { child.terminate(Spawn::stopGrace); });
        status = co_await Spawn::wait(pid);
    }
    co_await pumped;
    collector.flush();

    // A stop wins over whatever the tool managed to say before it.
    cancel.throwIfCancelled();
    const std::optional<QString> result = collector.result();
    if (result && !collector.isError())
        co_return *result;
    throw ClaudeFailure{failureMessage(status, result, collector.resultKind(), errors.bytes(), collector.retryStatus(),
                                       runner.apiKey && !runner.apiKey->isEmpty(), confinement.has_value())};
}
