#pragma once

#include "process/spawn.h"
#include "claude/streamcollector.h"
#include "core/canceltoken.h"

#include <QByteArray>
#include <QCoroTask>
#include <QJsonObject>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// A Claude run that failed; the message is shown to the user unchanged.
struct ClaudeFailure {
    QString message;
};

// One Claude run: the `claude` tool as a child process with a prompt on
// standard input and its event stream read back. A plain value: build it
// with the tool's path, the API key (none in the tool's own login mode) and
// the model (empty for the tool's default).
class ClaudeRunner
{
public:
    using Failure = ClaudeFailure;
    using Progress = StreamCollector::Progress;
    using ToolResult = StreamCollector::ToolResult;

    QString path;
    std::optional<QString> apiKey;
    QString model;
    // Tool patterns refused even where `allowedTools` would let them
    // through, passed with "--disallowedTools".
    QStringList disallowedTools{};
    // The token of the tool's run (all it starts carries it), where an
    // operation has recorded it before the run starts, so that the next use
    // of its folder can end the run should it find it still working.
    QByteArray runToken{};
    // Where set, the tool and all it starts run confined to it.
    std::optional<Spawn::Confinement> confinement{};
    // The access token of the person's login, handed to the tool
    // (CLAUDE_CODE_OAUTH_TOKEN) where it may not read their login file.
    std::optional<QString> loginToken{};

    // The tool's path: the usual install locations first, then the user's
    // login shell; nothing when neither knows it. Cancelling `stop` ends
    // the login shell.
    static std::optional<QString> findClaude(const CancelToken &stop = CancelToken());

    // The tool's version line; nothing when it cannot be asked, or when
    // `stop` was cancelled (which ends the tool).
    std::optional<QString> version(const CancelToken &stop = CancelToken()) const;

    // The person's MCP servers as the tool finds them: the "mcpServers"
    // object of its ".claude.json" (in CLAUDE_CONFIG_DIR when that is set,
    // else in the home folder), with, given a run's `folder`, the servers
    // added for that folder alone in their place. Empty on any failure.
    static QJsonObject userMCPServers(const QString &folder = QString());
    // Why that ".claude.json" could not be read (a pipe, a file too large,
    // broken JSON), in the person's words; empty when it was read or is not
    // there.
    static QString userConfigProblem();

    // Runs Claude on `prompt` in `cwd` and gives its final answer. It may
    // use the tools in `allowedTools` (built-in names and "mcp__<server>__…")
    // and read the folders in `dirs`; `continueLast` continues the latest
    // conversation in `cwd`. `progress` and `onToolResult` are called from a
    // background thread while the run goes on (see StreamCollector).
    // Cancelling `cancel` stops the tool and ends the task in Cancelled.
    // Throws ClaudeFailure, SpawnFailure or Cancelled.
    QCoro::Task<QString> run(QString prompt, QStringList allowedTools, QStringList dirs, QString cwd,
                             bool continueLast, Progress progress, ToolResult onToolResult = {},
                             CancelToken cancel = CancelToken()) const;

    // Runs whose tool has not ended and been reaped yet; a stopped run's
    // tool may outlive its task by the stop's grace time.
    static int toolsRunning();

    // For the tool's setup and status commands: of ours, what a run takes
    // and the person's session bus (no display, no browser), with the folder of the tool at
    // `path` and the usual tool folders first in PATH.
    static Spawn::Environment toolEnvironment(const QString &path);
    // The environment the tool at `path` gets for a run and for its login
    // check: built from the few variables of ours a run needs, never by
    // leaving some out, so no credential, header or address of ours reaches
    // the tool; with `apiKey` (none, or an empty one, leaves the tool to its
    // own login).
    static Spawn::Environment environment(const QString &path, const std::optional<QString> &apiKey);

    // The person's own settings file of the tool, which it reads (with its
    // "env") in their terminal.
    static QString personalSettingsPath();

    // The person's login as the tool keeps it (2.1.337: ".credentials.json"
    // beside its settings, "claudeAiOauth" with the access token and when it
    // expires, in milliseconds since 1970).
    struct Login {
        QString file;
        QString accessToken;
        QDateTime expires;
    };
    // Nothing when there is no such file or it names no access token.
    static std::optional<Login> personalLogin();

private:
    // The MCP configuration the tool gets: the user's own servers that
    // `names` names, and no other, as a run in `folder` finds them.
    static QByteArray mcpConfig(const QStringList &names, const QString &folder);
    // The one settings file a run loads: what it takes of the person's own
    // settings.
    static QByteArray runSettings();
};
