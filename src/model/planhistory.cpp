#include "model/planhistory.h"

#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "model/plan.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

namespace PlanHistory {

namespace {

constexpr int maxSameSecond = 9999;

void dropDerived(QJsonObject &plan)
{
    QJsonObject naming = plan.value(QLatin1String("naming")).toObject();
    if (plan.value(QLatin1String("naming")).isObject()) {
        naming.remove(QLatin1String("platformMap"));
        plan.insert(QLatin1String("naming"), naming);
    }
    const QJsonValue strings = plan.value(QLatin1String("strings"));
    if (!strings.isArray())
        return;
    QJsonArray kept;
    for (const QJsonValue &element : strings.toArray()) {
        if (!element.isObject()) {
            kept.append(element);
            continue;
        }
        QJsonObject string = element.toObject();
        string.remove(QLatin1String("frame"));
        string.remove(QLatin1String("box"));
        kept.append(string);
    }
    plan.insert(QLatin1String("strings"), kept);
}

// Whether everything `original` says survives in `written`. A null says
// nothing; a bare text that became an object with that text (a sourced
// statement or an argument) is the same statement.
bool survives(const QJsonValue &original, const QJsonValue &written)
{
    if (original.isNull())
        return true;
    if (original.isObject()) {
        if (!written.isObject())
            return false;
        const QJsonObject o = original.toObject();
        const QJsonObject w = written.toObject();
        for (auto it = o.begin(); it != o.end(); ++it)
            if (!survives(it.value(), w.value(it.key())))
                return false;
        return true;
    }
    if (original.isArray()) {
        if (!written.isArray())
            return false;
        const QJsonArray o = original.toArray();
        const QJsonArray w = written.toArray();
        if (o.size() != w.size())
            return false;
        for (qsizetype i = 0; i < o.size(); ++i)
            if (!survives(o.at(i), w.at(i)))
                return false;
        return true;
    }
    if (original.isString() && written.isObject()) {
        const QJsonObject w = written.toObject();
        return w.value(QLatin1String("text")) == original || w.value(QLatin1String("name")) == original;
    }
    return original == written;
}

// plan-<stamp>.json, and for later backups of the same second
// plan-<stamp>_0002.json, …: "_" sorts after ".", and the fixed width keeps
// code-point order the order they were made in, so undo finds the newest.
QString freeBackupName(const QString &history)
{
    const QString stem = QStringLiteral("plan-") + QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd-HHmmss"));
    QString target = QDir(history).filePath(stem + QStringLiteral(".json"));
    for (int n = 2; QFileInfo::exists(target) || QFileInfo(target).isSymLink(); ++n) {
        if (n > maxSameSecond)
            throw Failure{QStringLiteral("같은 시각의 백업이 이미 있어요: ") + target};
        target = QDir(history).filePath(stem + QStringLiteral("_%1.json").arg(n, 4, 10, QLatin1Char('0')));
    }
    return target;
}

} // namespace

QString backup(const QString &dir)
{
    const QString history = QDir(dir).filePath(QStringLiteral("history"));
    if (!QDir().mkpath(history))
        throw Failure{QStringLiteral("history 폴더를 만들지 못했어요: ") + history};
    QFile source(QDir(dir).filePath(QStringLiteral("plan.json")));
    if (!source.open(QIODevice::ReadOnly))
        throw Failure{FileError::describe(source)};
    const QByteArray bytes = source.readAll();
    if (source.error() != QFileDevice::NoError)
        throw Failure{FileError::describe(source)};
    const QString target = freeBackupName(history);
    QString error;
    if (!AtomicFile::write(target, bytes, &error))
        throw Failure{error};
    return target;
}

QString keep(const QString &dir, const QByteArray &bytes)
{
    const QString history = QDir(dir).filePath(QStringLiteral("history"));
    if (!QDir().mkpath(history))
        throw Failure{QStringLiteral("history 폴더를 만들지 못했어요: ") + history};
    const QString stem = QStringLiteral("kept-") + QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd-HHmmss"));
    QString target = QDir(history).filePath(stem + QStringLiteral(".json"));
    for (int n = 2; QFileInfo::exists(target) || QFileInfo(target).isSymLink(); ++n)
        target = QDir(history).filePath(stem + QLatin1Char('-') + QString::number(n) + QStringLiteral(".json"));
    QString error;
    if (!AtomicFile::write(target, bytes, &error))
        throw Failure{error};
    return target;
}

bool writeWouldDrop(const QJsonObject &fileJson, const Plan &plan)
{
    QJsonObject original = fileJson;
    QJsonObject written = plan.toJson();
    dropDerived(original);
    dropDerived(written);
    return !survives(original, written);
}

} // namespace PlanHistory
