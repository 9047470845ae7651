#include "model/planhistory.h"

#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/filesizes.h"
#include "core/freedmemory.h"
#include "core/jsonread.h"
#include "core/parallel.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "model/plan.h"
#include "model/planfolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>

namespace PlanHistory {

namespace {

constexpr int maxSameSecond = 9999;

// Which keys of an object are derived (recomputed on every write) and so
// say nothing about what a write would lose: naming.platformMap, and the
// frame and box of each entry of strings.
enum class Derived { none, root, naming, strings, stringEntry };

Derived derivedBelow(Derived where, QStringView key)
{
    if (where == Derived::root && key == u"naming")
        return Derived::naming;
    if (where == Derived::root && key == u"strings")
        return Derived::strings;
    return Derived::none;
}

bool isDerived(Derived where, QStringView key)
{
    if (where == Derived::naming)
        return key == u"platformMap";
    if (where == Derived::stringEntry)
        return key == u"frame" || key == u"box";
    return false;
}

// A place in the JSON tree, made into its text only when something there is
// lost: most comparisons lose nothing and need no text at all.
struct Place {
    const Place *parent = nullptr;
    QStringView key;
    qsizetype index = -1;

    QString text() const
    {
        if (!parent)
            return QString();
        const QString above = parent->text();
        if (index >= 0)
            return above + u'[' + QString::number(index) + u']';
        return above.isEmpty() ? key.toString() : above + u'.' + key.toString();
    }
};

bool collectLost(const QJsonValue &original, const QJsonValue &written, const Place &place, Derived where,
                 QStringList *lost);

// The lists at which comparing their elements is spread over the cores.
constexpr qsizetype spreadFrom = 64;

// The elements of a long list (the screens of a large plan) compared on every
// core; the places found are kept in the list's order.
bool collectLostOnAllCores(const QJsonArray &original, const QJsonArray &written, const Place &place, Derived where,
                           QStringList *lost)
{
    const QList<QStringList> found = Parallel::map<QStringList>(original.size(), [&](qsizetype at) {
        QStringList here;
        if (collectLost(original.at(at), written.at(at), Place{&place, {}, at}, where, lost ? &here : nullptr) && !lost)
            here.append(QString());
        return here;
    });
    bool any = false;
    for (const QStringList &places : found) {
        any = any || !places.isEmpty();
        if (lost)
            lost->append(places);
    }
    return any;
}

// Finds the places of `original` whose content does not survive in
// `written`: a key, or a list that changed length, by its path. A null says
// nothing; a bare text that became an object with that text (a sourced
// statement or an argument) is the same statement. Each is added to `lost`;
// without a list, the search ends at the first. Gives whether it found one.
bool collectLost(const QJsonValue &original, const QJsonValue &written, const Place &place, Derived where,
                 QStringList *lost)
{
    const auto found = [&] {
        if (lost)
            lost->append(place.text());
        return true;
    };
    if (original.isNull())
        return false;
    if (original.isObject()) {
        if (!written.isObject())
            return found();
        const QJsonObject o = original.toObject();
        const QJsonObject w = written.toObject();
        bool any = false;
        for (auto it = o.constBegin(); it != o.constEnd(); ++it) {
            const QString key = it.key();
            if (isDerived(where, key))
                continue;
            any = collectLost(it.value(), w.value(key), Place{&place, key}, derivedBelow(where, key), lost) || any;
            if (any && !lost)
                return true;
        }
        return any;
    }
    if (original.isArray()) {
        const QJsonArray o = original.toArray();
        const QJsonArray w = written.toArray();
        if (!written.isArray() || o.size() != w.size())
            return found();
        const Derived element = where == Derived::strings ? Derived::stringEntry : Derived::none;
        if (o.size() >= spreadFrom)
            return collectLostOnAllCores(o, w, place, element, lost);
        bool any = false;
        for (qsizetype i = 0; i < o.size(); ++i) {
            any = collectLost(o.at(i), w.at(i), Place{&place, {}, i}, element, lost) || any;
            if (any && !lost)
                return true;
        }
        return any;
    }
    if (original.isString() && written.isObject()) {
        const QJsonObject w = written.toObject();
        if (w.value(QLatin1String("text")) != original && w.value(QLatin1String("name")) != original)
            return found();
        return false;
    }
    if (original != written)
        return found();
    return false;
}

// The places of `fileJson` that the writer, writing `written`, would lose.
QStringList lostPlaces(const QJsonObject &fileJson, const QJsonObject &written)
{
    QStringList lost;
    collectLost(fileJson, written, Place{}, Derived::root, &lost);
    return lost;
}

// Whether a part holds nothing: an empty list, object or text.
bool holdsNothing(const QJsonValue &value)
{
    return value.isUndefined() || value.isNull() || (value.isArray() && value.toArray().isEmpty())
        || (value.isObject() && value.toObject().isEmpty()) || (value.isString() && value.toString().isEmpty());
}

// Whether a part holds any content, at any depth: a text, a number other
// than 0, or a list or an object holding one; the derived fields, which
// every write recomputes, hold none. A flag is a setting, not content:
// turning it off loses nothing.
bool holdsContent(const QJsonValue &value, Derived where)
{
    if (value.isString())
        return !value.toString().isEmpty();
    if (value.isDouble())
        return value.toDouble() != 0;
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        const Derived element = where == Derived::strings ? Derived::stringEntry : Derived::none;
        return std::any_of(array.begin(), array.end(),
                           [element](const QJsonValue &item) { return holdsContent(item, element); });
    }
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it)
            if (!isDerived(where, it.key()) && holdsContent(it.value(), derivedBelow(where, it.key())))
                return true;
    }
    return false;
}

// A value as one line of JSON, to compare whole values by.
QByteArray compact(const QJsonValue &value)
{
    return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
}

// The elements of Claude's own JSON that hold no content, by the place of
// their list: all the loss check needs of that JSON once the plan read
// from it is made, so that its tree can go before the old plan's is made.
using EmptyElements = QHash<QString, QList<qsizetype>>;

void collectEmpty(const QJsonValue &raw, const Place &place, Derived where, EmptyElements &empty)
{
    if (raw.isObject()) {
        const QJsonObject object = raw.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            const QString key = it.key();
            collectEmpty(it.value(), Place{&place, key}, derivedBelow(where, key), empty);
        }
    } else if (raw.isArray()) {
        const QJsonArray array = raw.toArray();
        const Derived element = where == Derived::strings ? Derived::stringEntry : Derived::none;
        QList<qsizetype> none;
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (!holdsContent(array.at(i), element))
                none.append(i);
            else
                collectEmpty(array.at(i), Place{&place, {}, i}, element, empty);
        }
        if (!none.isEmpty())
            empty.insert(place.text(), none);
    }
}

// The places where the plan before (`old`, as the writer writes a plan:
// keys no plan holds were never its content) held content that the plan
// read from the result (`written`, as the writer would write it) no longer
// holds, at any depth and however the result lost it: the part left out,
// null, emptied, or an object thinned to some of its keys. A part left out
// at its default value loses nothing. A list of the same length is compared
// element by element, but for the elements it holds unchanged; a list that
// changed length (screens deleted or added) loses content where the result
// (Claude's own JSON, of which `empty` holds what this needs) put an
// element with none, as a model writing "[{}]" for eight screens does.
void collectMissing(const QJsonValue &old, const QJsonValue &written, const EmptyElements &empty, const Place &place,
                    Derived where, QStringList &lost)
{
    if (!holdsContent(old, where))
        return;
    if (!holdsContent(written, where)) {
        lost.append(place.text());
        return;
    }
    if (old.isObject() && written.isObject()) {
        const QJsonObject o = old.toObject();
        const QJsonObject w = written.toObject();
        for (auto it = o.constBegin(); it != o.constEnd(); ++it)
            if (!isDerived(where, it.key()))
                collectMissing(it.value(), w.value(it.key()), empty, Place{&place, it.key()},
                               derivedBelow(where, it.key()), lost);
        return;
    }
    if (!old.isArray() || !written.isArray())
        return;
    const QJsonArray o = old.toArray();
    const QJsonArray w = written.toArray();
    const Derived element = where == Derived::strings ? Derived::stringEntry : Derived::none;
    if (o.size() == w.size()) {
        // An element the result holds as it was, wherever, lost nothing:
        // the list may have been put in another order.
        QSet<QByteArray> whole;
        for (const QJsonValue &item : w)
            whole.insert(compact(item));
        for (qsizetype i = 0; i < o.size(); ++i)
            if (!whole.contains(compact(o.at(i))))
                collectMissing(o.at(i), w.at(i), empty, Place{&place, {}, i}, element, lost);
        return;
    }
    for (const qsizetype i : empty.value(place.text()))
        lost.append(Place{&place, {}, i}.text());
}

QStringList missingParts(const QJsonObject &old, const EmptyElements &empty, const QJsonObject &written)
{
    QStringList lost;
    collectMissing(old, written, empty, Place{}, Derived::root, lost);
    return lost;
}

// The places of `places` that no other of them holds: "meta" covers
// "meta.title" and "screens" covers "screens[0]".
QStringList outermost(const QStringList &places)
{
    QStringList kept;
    for (const QString &place : places) {
        const bool covered = std::any_of(places.begin(), places.end(), [&place](const QString &other) {
            return place.size() > other.size() && place.startsWith(other)
                && (place.at(other.size()) == u'.' || place.at(other.size()) == u'[');
        });
        if (!covered && !kept.contains(place))
            kept.append(place);
    }
    return kept;
}

// Every place of `value` that holds something, as Place::text() names it.
void placesHolding(const QJsonValue &value, const QString &place, QSet<QString> &places)
{
    if (holdsNothing(value))
        return;
    if (!place.isEmpty())
        places.insert(place);
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it)
            placesHolding(it.value(), place.isEmpty() ? it.key() : place + u'.' + it.key(), places);
    } else if (value.isArray()) {
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size(); ++i)
            placesHolding(array.at(i), place + u'[' + QString::number(i) + u']', places);
    }
}

const QString stampFormat = QStringLiteral("yyMMdd-HHmmss");

// Where a new backup's name starts: now, or the newest backup's own time
// when the clock now gives that time or an earlier one (a second with
// backups already, a changed time zone, a clock set back), numbered after
// it, so the new name sorts after every backup on disk.
struct Start {
    QString stem;
    int number = 1;
};

Start backupStart(const QString &dir)
{
    const QString now = QStringLiteral("plan-") + QDateTime::currentDateTime().toString(stampFormat);
    static const QRegularExpression named(QStringLiteral(R"(^(plan-\d{6}-\d{6})(?:_(\d{4}))?\.json$)"));
    const std::optional<QString> newest = lastBackup(dir);
    if (!newest)
        return {now};
    const QString name = QFileInfo(*newest).fileName();
    const QRegularExpressionMatch match = named.match(name);
    if (!match.hasMatch() || Text::codePointLess(name, now + QStringLiteral(".json")))
        return {now};
    const int number = match.captured(2).isEmpty() ? 1 : match.captured(2).toInt();
    return {match.captured(1), number + 1};
}

QString historyFolder(const QString &dir)
{
    const QString history = QDir(dir).filePath(QStringLiteral("history"));
    QString error;
    if (!RegularFile::ownFolder(history, &error))
        throw Failure{error};
    return history;
}

// The permissions of the plan's own file, which the copies of it share;
// private when there is none.
unsigned planMode(const QString &dir)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(QDir(dir).filePath(QStringLiteral("plan.json"))).constData(), &status) == 0)
        return status.st_mode & 0777;
    return 0600;
}

} // namespace

QString elsewhere(const QString &dir)
{
    const QString history = QDir(dir).filePath(QStringLiteral("history"));
    if (RegularFile::isFree(history) || RegularFile::isOwnFolder(history))
        return QString();
    return RegularFile::notOwnFolder(history);
}

QString addFile(const QString &dir, const QString &folder, const QString &stem, const QString &suffix,
                const QByteArray &bytes, int first)
{
    return addFile(dir, folder, stem, suffix, [&bytes](QIODevice &out) { return out.write(bytes) == bytes.size(); },
                   first);
}

QString addFile(const QString &dir, const QString &folder, const QString &stem, const QString &suffix,
                const std::function<bool(QIODevice &)> &produce, int first)
{
    const unsigned mode = planMode(dir);
    for (int n = first; n <= maxSameSecond; ++n) {
        const QString name = n == 1 ? stem + suffix : stem + QStringLiteral("_%1").arg(n, 4, 10, QLatin1Char('0')) + suffix;
        const QString target = QDir(folder).filePath(name);
        bool taken = false;
        QString error;
        // Made beneath the plan folder: a history/ swapped for a link
        // meanwhile takes no copy elsewhere.
        if (PlanFolder(dir).create(QDir(dir).relativeFilePath(target), produce, mode, &taken, &error))
            return target;
        if (!taken)
            throw Failure{error};
    }
    throw Failure{QStringLiteral("같은 시각의 백업이 이미 있어요: ") + QDir(folder).filePath(stem + suffix)};
}

QString backup(const QString &dir)
{
    const QString history = historyFolder(dir);
    QString error;
    const std::optional<QByteArray> bytes =
        RegularFile::read(QDir(dir).filePath(QStringLiteral("plan.json")), FileSizes::plan, &error);
    if (!bytes)
        throw Failure{QStringLiteral("plan.json: ") + error};
    const Start start = backupStart(dir);
    return addFile(dir, history, start.stem, QStringLiteral(".json"), *bytes, start.number);
}

std::optional<QString> lastBackup(const QString &dir)
{
    QStringList names;
    const QDir history(QDir(dir).filePath(QStringLiteral("history")));
    // A history/ that leads elsewhere holds no undo point of this plan, nor
    // does a link in it.
    if (!RegularFile::isOwnFolder(history.path()))
        return std::nullopt;
    for (const QFileInfo &entry : history.entryInfoList(QDir::Files | QDir::NoSymLinks)) {
        const QString name = entry.fileName();
        if (name.startsWith(QLatin1String("plan-")) && entry.suffix() == QLatin1String("json"))
            names.append(name);
    }
    if (names.isEmpty())
        return std::nullopt;
    Text::sortByCodePoint(names);
    return history.filePath(names.last());
}

namespace {

// Puts something at the first free kept name of history/: `put` gives
// false with `taken` set when the name is in use.
QString atKeptName(const QString &dir, const std::function<bool(const QString &, bool *, QString *)> &put)
{
    const QString history = historyFolder(dir);
    const QString stem = QStringLiteral("kept-") + QDateTime::currentDateTime().toString(stampFormat);
    for (int n = 1;; ++n) {
        const QString target = QDir(history).filePath(
            n == 1 ? stem + QStringLiteral(".json") : stem + QLatin1Char('-') + QString::number(n) + QStringLiteral(".json"));
        bool taken = false;
        QString error;
        if (put(target, &taken, &error))
            return target;
        if (!taken)
            throw Failure{error};
    }
}

} // namespace

QString keep(const QString &dir, const QByteArray &bytes)
{
    const unsigned mode = planMode(dir);
    return atKeptName(dir, [&](const QString &target, bool *taken, QString *error) {
        return PlanFolder(dir).create(
            QDir(dir).relativeFilePath(target), [&bytes](QIODevice &out) { return out.write(bytes) == bytes.size(); },
            mode, taken, error);
    });
}

QString moveAside(const QString &dir, const QString &path)
{
    const PlanFolder folder(dir);
    return atKeptName(dir, [&](const QString &target, bool *taken, QString *error) {
        const PlanFolder::Place source = folder.place(QDir(dir).relativeFilePath(path));
        const PlanFolder::Place kept = folder.place(QDir(dir).relativeFilePath(target));
        if (source.isOpen() && kept.isOpen()
            && ::renameat2(source.folder.get(), source.name.constData(), kept.folder.get(), kept.name.constData(),
                           RENAME_NOREPLACE) == 0)
            return true;
        *taken = errno == EEXIST;
        *error = FileError::describe(errno);
        return false;
    });
}

bool writeWouldDrop(const QJsonObject &fileJson, const Plan &plan)
{
    return collectLost(fileJson, plan.toJson(), Place{}, Derived::root, nullptr);
}

QString revisionRefusal(const QString &dir, const PlanFiles::Kept &before, QStringList *leftOut)
{
    // A large plan's trees are what this holds at its peak, so no more than
    // two are held at once: the plan read from the result goes before the
    // result's own tree is made, and each file's bytes go as soon as they
    // are read.
    const QString refused = QStringLiteral("Claude 가 고친 plan.json ");
    QJsonObject written;
    QStringList dropped;
    EmptyElements empty;
    {
        QJsonObject after;
        {
            QString error;
            const std::optional<QByteArray> bytes =
                RegularFile::read(QDir(dir).filePath(QStringLiteral("plan.json")), FileSizes::plan, &error);
            if (!bytes)
                return refused + QStringLiteral("을 읽지 못했어요: ") + error;
            try {
                written = Plan::decode(*bytes).toJson();
                after = parseObject(*bytes);
            } catch (const JSONDecodeError &) {
                return refused + QStringLiteral("이 계획서가 아니에요(JSON 객체가 아님)");
            }
        }
        dropped = lostPlaces(after, written);
        collectEmpty(after, Place{}, Derived::root, empty);
    }
    // What the result's tree let go stays in the heaps of the threads that
    // made it; the old plan's tree, made on other threads, would not reuse
    // it, and the check's peak would carry both.
    FreedMemory::giveBack();
    QJsonObject old;
    try {
        // The plan before is read only now, straight into the plan's types,
        // and its bytes go before its tree is made: none of them need sit
        // beside the result's tree.
        std::optional<Plan> plan;
        if (const std::optional<QByteArray> bytes = before.read(FileSizes::plan))
            plan = Plan::decode(*bytes);
        if (plan)
            old = plan->toJson();
    } catch (const JSONDecodeError &) {
    }
    QStringList lost = missingParts(old, empty, written);
    // What the writer leaves out of the result is lost only where the plan
    // held something: elsewhere it is Claude's own addition.
    if (!dropped.isEmpty()) {
        QSet<QString> held;
        placesHolding(old, QString(), held);
        for (const QString &place : dropped)
            if (held.contains(place))
                lost.append(place);
    }
    if (leftOut)
        *leftOut = dropped;
    lost = outermost(lost);
    if (lost.isEmpty())
        return QString();
    return refused + QStringLiteral("을 받으면 없어지는 내용: ") + lost.join(QStringLiteral(", "));
}

} // namespace PlanHistory
