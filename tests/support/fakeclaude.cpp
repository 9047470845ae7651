#include "support/fakeclaude.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>
#include <cerrno>
#include <csignal>
#include <limits>
#include <sys/stat.h>

namespace {

quint64 namespaceOf(const QString &process)
{
    struct stat info {};
    return ::stat(QFile::encodeName("/proc/" + process + "/ns/pid").constData(), &info) == 0 ? info.st_ino : 0;
}

// The last number of a process's "NSpid:" line: its number in its own
// namespace.
qint64 innermostNumber(const QString &process)
{
    QFile status("/proc/" + process + "/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("NSpid:"))
            return line.simplified().split(' ').last().toLongLong();
    return 0;
}

// This process's number for the process numbered `pid` in the PID
// namespace `ns`; 0 when none lives.
qint64 numberIn(quint64 ns, qint64 pid)
{
    if (namespaceOf("self") == ns)
        return pid;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (entry.toLongLong() > 0 && innermostNumber(entry) == pid && namespaceOf(entry) == ns)
            return entry.toLongLong();
    return 0;
}

} // namespace

FakeClaude::FakeClaude()
    : FakeClaude(QString())
{
}

FakeClaude::FakeClaude(const QString &base)
    : m_dir(base.isEmpty() ? QTemporaryDir() : QTemporaryDir(base + "/fake-claude-XXXXXX"))
{
    qputenv("FAKE_CLAUDE_SCENARIO", (m_dir.path() + "/scenario.json").toUtf8());
    qputenv("FAKE_CLAUDE_LOG", (m_dir.path() + "/log.jsonl").toUtf8());
    pointHome(QDir::homePath());
    setScenario({});
}

void FakeClaude::pointHome(const QString &home)
{
    if (!qEnvironmentVariableIsSet("FAKE_CLAUDE_SCENARIO"))
        return;
    // Replaced whole: stand-ins already started may be reading it.
    QSaveFile pointer(home + "/.fake-claude.json");
    if (!pointer.open(QIODevice::WriteOnly))
        return;
    pointer.write(QJsonDocument(QJsonObject{{"FAKE_CLAUDE_SCENARIO", qEnvironmentVariable("FAKE_CLAUDE_SCENARIO")},
                                            {"FAKE_CLAUDE_LOG", qEnvironmentVariable("FAKE_CLAUDE_LOG")}})
                      .toJson());
    pointer.commit();
}

FakeClaude::~FakeClaude()
{
    QFile::remove(QDir::homePath() + "/.fake-claude.json");
    qunsetenv("FAKE_CLAUDE_SCENARIO");
    qunsetenv("FAKE_CLAUDE_LOG");
}

QString FakeClaude::path()
{
    return QStringLiteral(STANDIN_FAKE_CLAUDE);
}

void FakeClaude::setScenario(const QJsonObject &scenario)
{
    QFile file(m_dir.path() + "/scenario.json");
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(QJsonDocument(scenario).toJson());
}

QList<QJsonObject> FakeClaude::records() const
{
    QList<QJsonObject> out;
    QFile file(m_dir.path() + "/log.jsonl");
    if (!file.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (!line.isEmpty())
            out.append(withNumbersHere(QJsonDocument::fromJson(line).object()));
    return out;
}

QJsonObject FakeClaude::withNumbersHere(QJsonObject record) const
{
    const quint64 ns = record.value("pidNamespace").toInteger();
    for (const QString &field : {QStringLiteral("pid"), QStringLiteral("child"), QStringLiteral("grandchild")}) {
        if (!record.contains(field))
            continue;
        const qint64 pid = record.value(field).toInteger();
        const QString key = QStringLiteral("%1/%2").arg(ns).arg(pid);
        if (!m_numbers.contains(key)) {
            const qint64 here = numberIn(ns, pid);
            m_numbers.insert(key, here > 0 ? here : std::numeric_limits<pid_t>::max());
        }
        record.insert(field, m_numbers.value(key));
    }
    return record;
}

QList<QJsonObject> FakeClaude::records(const QString &kind) const
{
    QList<QJsonObject> out;
    for (const QJsonObject &record : records())
        if (record.value("record").toString() == kind)
            out.append(record);
    return out;
}

QString FakeClaude::folder() const
{
    return m_dir.path();
}

QList<QJsonObject> FakeClaude::starts(const QString &stdinContains) const
{
    QList<QJsonObject> out;
    for (const QJsonObject &start : records("start"))
        if (start.value("stdin").toString().contains(stdinContains))
            out.append(start);
    return out;
}

QStringList FakeClaude::arguments(const QJsonObject &start)
{
    QStringList out;
    for (const QJsonValue &value : start.value("args").toArray())
        out.append(value.toString());
    return out;
}

QList<qint64> FakeClaude::numbersHere(const QByteArray &written)
{
    static const QRegularExpression line(QStringLiteral("^(\\d+) pid:\\[(\\d+)\\]$"));
    QList<qint64> numbers;
    for (const QByteArray &said : written.trimmed().split('\n')) {
        const QRegularExpressionMatch match = line.match(QString::fromLatin1(said.trimmed()));
        numbers.append(match.hasMatch() ? numberIn(match.captured(2).toULongLong(), match.captured(1).toLongLong()) : -1);
    }
    return numbers;
}

bool FakeClaude::hasEnded(qint64 pid)
{
    return ::kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH;
}

QList<qint64> FakeClaude::running() const
{
    const QByteArray log = "FAKE_CLAUDE_LOG=" + QFile::encodeName(m_dir.path() + "/log.jsonl");
    const QString standIn = QFileInfo(path()).canonicalFilePath();
    QList<qint64> found;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number || QFileInfo("/proc/" + entry + "/exe").symLinkTarget() != standIn)
            continue;
        QFile status("/proc/" + entry + "/stat");
        if (status.open(QIODevice::ReadOnly) && status.readAll().contains(") Z "))
            continue;
        QFile environment("/proc/" + entry + "/environ");
        if (environment.open(QIODevice::ReadOnly) && environment.readAll().split('\0').contains(log))
            found.append(pid);
    }
    return found;
}

bool FakeClaude::noneRunning(int ms) const
{
    QElapsedTimer timer;
    timer.start();
    while (!running().isEmpty()) {
        if (timer.elapsed() > ms)
            return false;
        QThread::msleep(20);
    }
    return true;
}

QJsonObject FakeClaude::event(const QJsonObject &event)
{
    return {{"event", event}};
}

QJsonObject FakeClaude::resultEvent(const QString &result, double durationMs, double costUsd)
{
    return event({{"type", "result"},
                  {"subtype", "success"},
                  {"is_error", false},
                  {"duration_ms", durationMs},
                  {"total_cost_usd", costUsd},
                  {"result", result}});
}

QJsonObject FakeClaude::toolUse(const QString &id, const QString &name, const QJsonObject &input)
{
    const QJsonObject use{{"type", "tool_use"}, {"id", id}, {"name", name}, {"input", input}};
    return event({{"type", "assistant"}, {"message", QJsonObject{{"content", QJsonArray{use}}}}});
}

QJsonObject FakeClaude::toolResult(const QString &id, const QString &text)
{
    const QJsonObject result{{"type", "tool_result"}, {"tool_use_id", id}, {"content", text}};
    return event({{"type", "user"}, {"message", QJsonObject{{"content", QJsonArray{result}}}}});
}

QJsonObject FakeClaude::writePlan(const QByteArray &plan)
{
    return {{"writeFile", "plan.json"}, {"content", QString::fromUtf8(plan)}};
}

QJsonObject FakeClaude::mcpCall(const QString &id, const QString &name, const QJsonObject &input)
{
    return {{"mcpCall", QJsonObject{{"id", id}, {"name", name}, {"input", input}}}};
}

QByteArray FakeClaude::wikiConfig(const QString &pages, const QString &log)
{
    const QJsonObject server{{"type", "stdio"},
                             {"command", QStringLiteral(STANDIN_FAKE_WIKI)},
                             {"args", QJsonArray()},
                             {"env", QJsonObject{{"FAKE_WIKI_PAGES", pages}, {"FAKE_WIKI_LOG", log}}}};
    return QJsonDocument(QJsonObject{{"mcpServers", QJsonObject{{"atlassian", server}}}}).toJson();
}
