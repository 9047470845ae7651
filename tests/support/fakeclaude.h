#pragma once

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The fake-claude stand-in set up for one test: a scenario file and a log
// in a temporary folder, named to the stand-in through the environment of
// this process (which the children inherit).
class FakeClaude
{
public:
    FakeClaude();
    // With its scenario and log in a new folder inside `base`: a confined
    // run can write its log only where it may write.
    explicit FakeClaude(const QString &base);
    ~FakeClaude();

    static QString path();
    // Names the stand-in set up in this process (if any) in the home folder
    // `home`, where the stand-ins of runs started with that home find it: a
    // run's environment leaves the names out, and its /proc shows nothing
    // of ours.
    static void pointHome(const QString &home);
    void setScenario(const QJsonObject &scenario);
    // Every record the stand-in logged so far, in order, with its process
    // numbers ("pid", "child", "grandchild") as this process numbers them:
    // a process found ended when they are first read gets a number that no
    // process has.
    QList<QJsonObject> records() const;
    // The records of one kind ("start", "sigterm", "grandchild").
    QList<QJsonObject> records(const QString &kind) const;
    QString folder() const;
    // The "start" records whose prompt contains a text, in order.
    QList<QJsonObject> starts(const QString &stdinContains) const;
    // The arguments a "start" record logged.
    static QStringList arguments(const QJsonObject &start);
    // What processes of a run wrote, one a line, as
    // `echo "$n $(readlink /proc/self/ns/pid)"`: each number as its PID
    // namespace counts it, with that namespace. Their numbers here, looked up
    // now: 0 for one that no longer lives, -1 for a line that is not one.
    static QList<qint64> numbersHere(const QByteArray &written);
    // Whether the process of a logged pid has ended.
    static bool hasEnded(qint64 pid);
    // The stand-ins of this test that still run (zombies aside), started
    // by the tool or by the stand-in itself: found in /proc by their
    // executable and their log, whoever became their parent.
    QList<qint64> running() const;
    // Waits up to `ms` for none to run; true when none does.
    bool noneRunning(int ms = 10000) const;

    // One JSON event step of a scenario.
    static QJsonObject event(const QJsonObject &event);
    static QJsonObject resultEvent(const QString &result, double durationMs = 1000, double costUsd = 0.01);
    static QJsonObject toolUse(const QString &id, const QString &name, const QJsonObject &input);
    static QJsonObject toolResult(const QString &id, const QString &text);
    // A step in which the model calls an MCP tool (see fake-claude).
    static QJsonObject mcpCall(const QString &id, const QString &name, const QJsonObject &input);
    // ~/.claude.json naming one wiki server, "atlassian": the fake-wiki
    // stand-in serving the pages of `pages` and logging its calls to `log`.
    static QByteArray wikiConfig(const QString &pages, const QString &log);
    // A step that writes plan.json in the working folder.
    static QJsonObject writePlan(const QByteArray &plan);

private:
    QJsonObject withNumbersHere(QJsonObject record) const;

    QTemporaryDir m_dir;
    // Each logged process's number here, looked up while it lived.
    mutable QHash<QString, qint64> m_numbers;
};
