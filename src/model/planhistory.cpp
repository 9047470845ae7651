#include "model/planhistory.h"

#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/jsonread.h"
#include "core/regularfile.h"
#include "model/plan.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

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

// Adds to `lost` the places of `original` whose content does not survive
// in `written`: a key, or a list that changed length, by its path. A null
// says nothing; a bare text that became an object with that text (a
// sourced statement or an argument) is the same statement.
void collectLost(const QJsonValue &original, const QJsonValue &written, const QString &path, QStringList &lost)
{
    if (original.isNull())
        return;
    if (original.isObject()) {
        if (!written.isObject()) {
            lost.append(path);
            return;
        }
        const QJsonObject o = original.toObject();
        const QJsonObject w = written.toObject();
        for (auto it = o.begin(); it != o.end(); ++it)
            collectLost(it.value(), w.value(it.key()), path.isEmpty() ? it.key() : path + u'.' + it.key(), lost);
        return;
    }
    if (original.isArray()) {
        const QJsonArray o = original.toArray();
        const QJsonArray w = written.toArray();
        if (!written.isArray() || o.size() != w.size()) {
            lost.append(path);
            return;
        }
        for (qsizetype i = 0; i < o.size(); ++i)
            collectLost(o.at(i), w.at(i), path + u'[' + QString::number(i) + u']', lost);
        return;
    }
    if (original.isString() && written.isObject()) {
        const QJsonObject w = written.toObject();
        if (w.value(QLatin1String("text")) != original && w.value(QLatin1String("name")) != original)
            lost.append(path);
        return;
    }
    if (original != written)
        lost.append(path);
}

// The places of `fileJson` that writing `plan` back would lose.
QStringList lostPlaces(const QJsonObject &fileJson, const Plan &plan)
{
    QJsonObject original = fileJson;
    QJsonObject written = plan.toJson();
    dropDerived(original);
    dropDerived(written);
    QStringList lost;
    collectLost(original, written, QString(), lost);
    return lost;
}

// What the plan held before (`before`, the file's bytes then) in the parts
// the result leaves out altogether and that `plan`, read from the result,
// does not hold either: a part left out at its default value loses nothing.
QStringList missingParts(const std::optional<QByteArray> &before, const QJsonObject &after, const Plan &plan)
{
    QStringList lost;
    if (!before)
        return lost;
    QJsonObject old;
    try {
        old = parseObject(*before);
    } catch (const JSONDecodeError &) {
        return lost;
    }
    QJsonObject written = plan.toJson();
    dropDerived(old);
    dropDerived(written);
    for (auto it = old.begin(); it != old.end(); ++it)
        if (!after.contains(it.key()))
            collectLost(it.value(), written.value(it.key()), it.key(), lost);
    return lost;
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
    return !lostPlaces(fileJson, plan).isEmpty();
}

QString revisionRefusal(const QString &dir, const std::optional<QByteArray> &before)
{
    const QString refused = QStringLiteral("Claude 가 고친 plan.json ");
    const std::optional<QByteArray> bytes = RegularFile::read(QDir(dir).filePath(QStringLiteral("plan.json")));
    if (!bytes)
        return refused + QStringLiteral("을 읽지 못했어요");
    QJsonObject after;
    try {
        after = parseObject(*bytes);
    } catch (const JSONDecodeError &) {
        return refused + QStringLiteral("이 계획서가 아니에요(JSON 객체가 아님)");
    }
    const Plan plan = *Plan::read(after);
    QStringList lost = missingParts(before, after, plan) + lostPlaces(after, plan);
    lost.removeDuplicates();
    if (lost.isEmpty())
        return QString();
    return refused + QStringLiteral("을 받으면 없어지는 내용: ") + lost.join(QStringLiteral(", "));
}

} // namespace PlanHistory
