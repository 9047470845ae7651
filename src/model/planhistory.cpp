#include "model/planhistory.h"

#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/filesizes.h"
#include "core/jsonread.h"
#include "core/parallel.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "model/plan.h"
#include "model/planfolder.h"
#include "model/planjson.h"

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

// What tells one element of a list from the others wherever it moved: its
// id, name or key. Empty for an element without one, a text among them: a
// text found as it was is matched whole, and one changed is any other.
QString identity(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    for (const QLatin1String key : {QLatin1String("id"), QLatin1String("name"), QLatin1String("key")})
        if (const QJsonValue named = object.value(key); named.isString() && !named.toString().isEmpty())
            return named.toString();
    return QString();
}

// What the result did to the plan before: `lost`, content Claude broke (an
// element it left empty where one stood, content it put where no plan
// keeps it); `removed`, content gone from a part that still stands or a
// list left with none, which the person may have asked for.
struct Missing {
    QStringList lost;
    QStringList removed;
};

// The places where the plan before (`old`, as the writer writes a plan:
// keys no plan holds were never its content) held content that the result
// (`written`, as the writer would write it) no longer holds, at any depth
// and however the result lost it: the part left out, null, emptied, or an
// object thinned to some of its keys. A part left out at its default value
// loses nothing, and neither does a text changed to another. The elements
// of a list found as they were, anywhere, lost nothing; the others are
// matched by what tells them apart (id, name, key) wherever they moved and
// whatever the list's length did, and the rest (a text, a renamed field)
// with what is left, in order.
void collectMissing(const QJsonValue &old, const QJsonValue &written, const Place &place, Derived where,
                    QStringList &removed)
{
    if (!holdsContent(old, where))
        return;
    if (!holdsContent(written, where)) {
        removed.append(place.text());
        return;
    }
    if (old.isObject() && written.isObject()) {
        const QJsonObject o = old.toObject();
        const QJsonObject w = written.toObject();
        for (auto it = o.constBegin(); it != o.constEnd(); ++it)
            if (!isDerived(where, it.key()))
                collectMissing(it.value(), w.value(it.key()), Place{&place, it.key()}, derivedBelow(where, it.key()),
                               removed);
        return;
    }
    if (!old.isArray() || !written.isArray())
        return;
    const QJsonArray o = old.toArray();
    const QJsonArray w = written.toArray();
    const Derived element = where == Derived::strings ? Derived::stringEntry : Derived::none;
    // An element the result holds as it was, wherever, lost nothing.
    QHash<QByteArray, QList<qsizetype>> whole;
    for (qsizetype j = 0; j < w.size(); ++j)
        whole[compact(w.at(j))].append(j);
    QList<bool> taken(w.size(), false);
    QList<qsizetype> changed;
    for (qsizetype i = 0; i < o.size(); ++i) {
        QList<qsizetype> &same = whole[compact(o.at(i))];
        if (same.isEmpty()) {
            changed.append(i);
        } else {
            taken[same.takeFirst()] = true;
        }
    }
    const auto pair = [&](const QString &id) -> qsizetype {
        for (qsizetype j = 0; j < w.size(); ++j)
            if (!taken.at(j) && identity(w.at(j)) == id)
                return j;
        return -1;
    };
    QList<qsizetype> unnamed;
    for (const qsizetype i : changed) {
        const QString id = identity(o.at(i));
        const qsizetype j = id.isEmpty() ? -1 : pair(id);
        if (j < 0) {
            unnamed.append(i);
            continue;
        }
        taken[j] = true;
        collectMissing(o.at(i), w.at(j), Place{&place, {}, i}, element, removed);
    }
    // What is left is paired in order with what else the result holds (a
    // field renamed is the field that stood there); what finds no partner
    // is gone.
    qsizetype next = 0;
    for (const qsizetype i : unnamed) {
        while (next < w.size() && taken.at(next))
            ++next;
        if (next == w.size()) {
            if (holdsContent(o.at(i), element))
                removed.append(Place{&place, {}, i}.text());
            continue;
        }
        taken[next] = true;
        collectMissing(o.at(i), w.at(next), Place{&place, {}, i}, element, removed);
    }
}

// Two records that hold the same content: their identities, never stored,
// left aside. Each takes the other's identity and lists of identified
// elements, which are then compared element by element the same way.
template<typename T>
bool sameList(const QList<T> &a, const QList<T> &b);

template<typename T>
bool same(const T &a, const T &b)
{
    T copy = a;
    copy.uid = b.uid;
    return copy == b;
}

template<>
bool same(const Screen &a, const Screen &b)
{
    Screen copy = a;
    copy.uid = b.uid;
    copy.condition = b.condition;
    copy.args = b.args;
    copy.actions = b.actions;
    copy.rules = b.rules;
    return copy == b && a.condition.has_value() == b.condition.has_value()
        && (!a.condition || same(*a.condition, *b.condition)) && sameList(a.args, b.args)
        && sameList(a.actions, b.actions) && sameList(a.rules, b.rules);
}

template<>
bool same(const DataModel &a, const DataModel &b)
{
    DataModel copy = a;
    copy.uid = b.uid;
    copy.fields = b.fields;
    return copy == b && sameList(a.fields, b.fields);
}

// A string's frame and box are derived: every write places them again.
template<>
bool same(const StringKey &a, const StringKey &b)
{
    StringKey copy = a;
    copy.uid = b.uid;
    copy.frame = b.frame;
    copy.box = b.box;
    return copy == b;
}

template<typename T>
bool sameList(const QList<T> &a, const QList<T> &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i)
        if (!same(a.at(i), b.at(i)))
            return false;
    return true;
}

// What tells the elements of the plan's lists apart.
QString identity(const Screen &screen) { return screen.key; }
QString identity(const DataModel &model) { return model.name; }
QString identity(const Api &api) { return api.key; }
QString identity(const StringKey &string) { return string.key; }
QString identity(const Decision &decision) { return decision.key; }
// A move has no id: where it goes from and to tell it, the moves between
// two screens then in order.
QString identity(const Transition &transition)
{
    return transition.from + u'\n' + transition.to;
}

// One of the plan's lists, read from the plan's records: elements are
// matched by their identity (then in order among the rest), those that hold
// the same content cost one comparison of records, and only an element
// that changed is compared as JSON, at its own size. An element deleted
// while the list keeps others is a deletion, not a loss; an element the
// result holds with no content where one stood is broken.
template<typename T>
void compareList(const QList<T> &old, const QList<T> &written, const Place &place, Derived element,
                 Missing &missing)
{
    // An element read from "{}" holds only the record's defaults.
    const T blankElement;
    const auto holds = [&blankElement](const T &item) { return !same(item, blankElement); };
    if (std::none_of(old.begin(), old.end(), holds))
        return;
    QHash<QString, QList<qsizetype>> byIdentity;
    for (qsizetype j = 0; j < written.size(); ++j)
        byIdentity[identity(written.at(j))].append(j);
    QList<bool> taken(written.size(), false);
    QList<qsizetype> changed;
    for (qsizetype i = 0; i < old.size(); ++i) {
        QList<qsizetype> &candidates = byIdentity[identity(old.at(i))];
        const auto match = std::find_if(candidates.begin(), candidates.end(),
                                        [&](qsizetype j) { return same(old.at(i), written.at(j)); });
        if (match == candidates.end()) {
            changed.append(i);
            continue;
        }
        taken[*match] = true;
        candidates.erase(match);
    }
    QList<qsizetype> gone;
    for (const qsizetype i : changed) {
        QList<qsizetype> &candidates = byIdentity[identity(old.at(i))];
        if (candidates.isEmpty()) {
            gone.append(i);
            continue;
        }
        const qsizetype j = candidates.takeFirst();
        taken[j] = true;
        collectMissing(old.at(i).toJson(), written.at(j).toJson(), Place{&place, {}, i}, element, missing.removed);
    }
    if (gone.isEmpty())
        return;
    // An element whose identity went blank is the one that stood in its
    // place: the gone ones are paired in order with what the result holds
    // without identity, as a model blanking a model's name leaves it.
    qsizetype next = 0;
    QList<qsizetype> stillGone;
    for (const qsizetype i : gone) {
        while (next < written.size()
               && (taken.at(next) || !identity(written.at(next)).isEmpty() || !holds(written.at(next))))
            ++next;
        if (next == written.size()) {
            stillGone.append(i);
            continue;
        }
        taken[next] = true;
        collectMissing(old.at(i).toJson(), written.at(next).toJson(), Place{&place, {}, i}, element, missing.removed);
    }
    if (stillGone.isEmpty())
        return;
    QList<qsizetype> blank;
    bool anyHeld = false;
    for (qsizetype j = 0; j < written.size(); ++j) {
        if (holds(written.at(j)))
            anyHeld = true;
        else if (!taken.at(j))
            blank.append(j);
    }
    if (!blank.isEmpty()) {
        // A model writing "[{}]" for eight screens broke the list.
        if (!anyHeld)
            missing.lost.append(place.text());
        else
            for (const qsizetype j : blank)
                missing.lost.append(Place{&place, {}, j}.text());
    } else if (!anyHeld) {
        missing.removed.append(place.text());
    }
}

// Whether two plans hold the same content, their derived fields aside.
bool sameContent(const Plan &a, const Plan &b)
{
    return a.schemaVersion == b.schemaVersion && a.meta == b.meta && a.naming.rules == b.naming.rules
        && sameList(a.screens, b.screens) && sameList(a.transitions, b.transitions) && sameList(a.models, b.models)
        && sameList(a.apis, b.apis) && sameList(a.strings, b.strings) && sameList(a.decisions, b.decisions);
}

// The naming rules as the plan's JSON holds them, its derived map aside.
QJsonObject namingRules(const Plan &plan)
{
    return {{QStringLiteral("rules"), QJsonArray::fromStringList(plan.naming.rules)}};
}

Missing missingParts(const Plan &old, const Plan &written)
{
    Missing missing;
    const Place root;
    if (old.schemaVersion != written.schemaVersion)
        collectMissing(old.schemaVersion, written.schemaVersion, Place{&root, u"schemaVersion"}, Derived::none,
                       missing.removed);
    if (!(old.meta == written.meta))
        collectMissing(old.meta.toJson(), written.meta.toJson(), Place{&root, u"meta"}, Derived::none,
                       missing.removed);
    compareList(old.screens, written.screens, Place{&root, u"screens"}, Derived::none, missing);
    compareList(old.transitions, written.transitions, Place{&root, u"transitions"}, Derived::none, missing);
    compareList(old.models, written.models, Place{&root, u"models"}, Derived::none, missing);
    compareList(old.apis, written.apis, Place{&root, u"apis"}, Derived::none, missing);
    compareList(old.strings, written.strings, Place{&root, u"strings"}, Derived::stringEntry, missing);
    compareList(old.decisions, written.decisions, Place{&root, u"decisions"}, Derived::none, missing);
    if (old.naming.rules != written.naming.rules)
        collectMissing(namingRules(old), namingRules(written), Place{&root, u"naming"}, Derived::none,
                       missing.removed);
    return missing;
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
    const QString history = QDir(dir).filePath(PlanFolder::history);
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
    if (::lstat(QFile::encodeName(QDir(dir).filePath(PlanFolder::planJson)).constData(), &status) == 0)
        return status.st_mode & 0777;
    return 0600;
}

} // namespace

QString elsewhere(const QString &dir)
{
    const QString history = QDir(dir).filePath(PlanFolder::history);
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
        RegularFile::read(QDir(dir).filePath(PlanFolder::planJson), FileSizes::plan, &error);
    if (!bytes)
        throw Failure{QStringLiteral("plan.json: ") + error};
    const Start start = backupStart(dir);
    return addFile(dir, history, start.stem, QStringLiteral(".json"), *bytes, start.number);
}

std::optional<QString> lastBackup(const QString &dir)
{
    QStringList names;
    const QDir history(QDir(dir).filePath(PlanFolder::history));
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

Revision judgeRevision(const QString &dir, const PlanFiles::Kept &before, bool removalAsked)
{
    const QString refused = QStringLiteral("Claude 가 고친 plan.json ");
    Revision revision;
    QString error;
    const std::optional<QByteArray> bytes =
        RegularFile::read(QDir(dir).filePath(PlanFolder::planJson), FileSizes::plan, &error);
    if (!bytes) {
        revision.refusal = refused + QStringLiteral("을 읽지 못했어요: ") + error;
        return revision;
    }
    bool wouldDrop = false;
    try {
        PlanJson::Read read = PlanJson::read(*bytes);
        revision.plan = std::move(read.plan);
        wouldDrop = read.wouldDrop;
    } catch (const JSONDecodeError &) {
        revision.refusal = refused + QStringLiteral("이 계획서가 아니에요(JSON 객체가 아님)");
        return revision;
    }
    // Both plans are compared as the reader's records: only what the
    // writer would leave out of the result, which few results hold, is
    // looked for in JSON trees.
    Plan old;
    try {
        if (std::optional<QByteArray> kept = before.read(FileSizes::plan)) {
            old = PlanJson::plan(*kept);
            revision.before = std::move(*kept);
        }
    } catch (const JSONDecodeError &) {
    }
    revision.sameContent = sameContent(old, revision.plan);
    Missing missing = missingParts(old, revision.plan);
    if (wouldDrop) {
        revision.leftOut = lostPlaces(parseObject(*bytes), revision.plan.toJson());
        // What the writer leaves out of the result is lost only where the
        // plan held something: elsewhere it is Claude's own addition.
        QSet<QString> held;
        placesHolding(old.toJson(), QString(), held);
        for (const QString &place : std::as_const(revision.leftOut))
            if (held.contains(place))
                missing.lost.append(place);
    }
    if (removalAsked)
        revision.removed = outermost(missing.removed);
    else
        missing.lost += missing.removed;
    const QStringList lost = outermost(missing.lost);
    if (lost.isEmpty())
        return revision;
    revision.refusal = refused + QStringLiteral("을 받으면 없어지는 내용: ") + lost.join(QStringLiteral(", "));
    // The program cannot tell a removal the person wanted from content
    // Claude dropped: it says how to ask for one.
    if (!removalAsked && !outermost(missing.removed).isEmpty())
        revision.refusal += QLatin1Char('\n') + removalHint();
    return revision;
}

QString removalHint()
{
    return QStringLiteral("지우려던 내용이라면 요청에 “지워 줘”라고 적어서 다시 고쳐 주세요(예: “iOS 메모는 지워 줘”).");
}

QString revisionRefusal(const QString &dir, const PlanFiles::Kept &before, QStringList *leftOut, bool removalAsked)
{
    Revision revision = judgeRevision(dir, before, removalAsked);
    if (leftOut)
        *leftOut = revision.leftOut;
    return revision.refusal;
}

} // namespace PlanHistory
