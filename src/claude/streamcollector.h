#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

// Turns the `claude` tool's stream of JSON events (one per line) into short
// progress lines, hands tool results to the caller with the raw name of the
// tool that produced them, and keeps the final result. Safe to feed from a
// reader thread while the owner reads the outcome afterwards; callbacks run
// with the collector's lock held, so they must be quick and must not call
// back into it.
class StreamCollector
{
public:
    using Progress = std::function<void(const QString &line)>;
    // Empty when nobody wants tool results. `input` is what the tool was
    // called with.
    using ToolResult = std::function<void(const QString &toolName, const QJsonObject &input, const QString &text)>;

    explicit StreamCollector(Progress progress, ToolResult onToolResult = {});

    // Handles every line these bytes complete.
    void feed(const QByteArray &bytes);
    // Handles what is left after the last line feed as a last line.
    void flush();

    // The file that a tool result too large to pass on inline was saved
    // to, as the notice the model gets in its place names it; nothing for a
    // result passed on whole. `whole`, when given, says whether the file
    // holds all of the result or only its start.
    static std::optional<QString> savedResultPath(const QString &toolResult, bool *whole = nullptr);
    // Whether a tool result is the tool's notice of a result too large to
    // pass on that it could not save: what reached the model is cut.
    static bool isCutResult(const QString &toolResult);

    // Whether a progress line tells of the tool retrying a request, which
    // every run shows as its progress.
    static bool isRetryLine(const QString &line);

    // The "result" of the latest result event.
    std::optional<QString> result() const;
    bool isError() const;
    // The "subtype" of the latest result event, empty where it has none;
    // nothing before a result event.
    std::optional<QString> resultKind() const;
    // The HTTP status of the latest request the tool said it retries.
    std::optional<int> retryStatus() const;

private:
    void handle(const QByteArray &line);
    void handleAssistant(const QJsonObject &event);
    void handleUser(const QJsonObject &event);
    void handleResult(const QJsonObject &event);
    void handleSystem(const QJsonObject &event);

    mutable std::mutex m_lock;
    QByteArray m_buffer;
    // Bytes of m_buffer already searched for a line feed.
    qsizetype m_scanned = 0;
    Progress m_progress;
    ToolResult m_onToolResult;
    // The name and input of each tool use, by its id.
    QHash<QString, std::pair<QString, QJsonObject>> m_toolUses;
    std::optional<QString> m_result;
    bool m_isError = false;
    std::optional<QString> m_resultKind;
    std::optional<int> m_retryStatus;
};
