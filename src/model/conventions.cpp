#include "model/conventions.h"

#include "core/filesizes.h"
#include "core/jsonread.h"
#include "core/parallel.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "settings/apppaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QVarLengthArray>
#include <algorithm>
#include <array>
#include <span>
#include <vector>

namespace {

// One placeholder of a template: its name without braces, and its value.
struct Placeholder {
    QStringView name;
    QStringView value;
};

// The first user-perceived character lower-cased, the rest unchanged.
QString lowerFirst(const QString &text)
{
    const QString first = Text::graphemePrefix(text, 1);
    return first.toLower() + text.mid(first.size());
}

// The screen name without the feature name in front of it, unless nothing
// would be left.
QString shortName(const QString &name, const QString &feature)
{
    const QString prefix = Text::graphemePrefix(name, Text::graphemeCount(feature));
    if (prefix.size() < name.size() && Text::canonicalEqual(prefix, feature))
        return name.mid(prefix.size());
    return name;
}

// The placeholder values that every screen of a plan shares.
struct PlanValues {
    explicit PlanValues(const Plan &plan)
        : feature(plan.meta.feature),
          featureLower(feature.toLower()),
          featureDir(plan.meta.module.androidFeatureDir.isEmpty() ? featureLower : plan.meta.module.androidFeatureDir),
          module(plan.meta.module.android),
          iosModule(plan.meta.module.ios),
          iosGroup(plan.meta.module.iosGroup)
    {
    }

    QString feature;
    QString featureLower;
    QString featureDir;
    QString module;
    QString iosModule;
    QString iosGroup;
};

// The placeholder values of one screen. A screen has eleven, so a flat list
// searched in place beats a map, and names are never copied out of a template.
class ScreenValues
{
public:
    ScreenValues(const Screen &screen, const PlanValues &plan)
    {
        const QString shortened = shortName(screen.name, plan.feature);
        m_values = {{
            {u"Name", screen.name},
            {u"name", lowerFirst(screen.name)},
            {u"nameLower", screen.name.toLower()},
            {u"Short", shortened},
            {u"shortLower", shortened.toLower()},
            {u"Feature", plan.feature},
            {u"featureLower", plan.featureLower},
            {u"featureDir", plan.featureDir},
            {u"module", plan.module},
            {u"Module", plan.iosModule},
            {u"iosGroup", plan.iosGroup},
        }};
    }

    const QString *find(QStringView name) const
    {
        for (const auto &[key, value] : m_values)
            if (key == name)
                return &value;
        return nullptr;
    }

    // The values that name a move's ends, at their places in the list.
    const QString &name() const { return m_values[0].second; }
    const QString &nameLowerFirst() const { return m_values[1].second; }
    const QString &shortened() const { return m_values[3].second; }

    QMap<QString, QString> toMap() const
    {
        QMap<QString, QString> map;
        for (const auto &[key, value] : m_values)
            map.insert(key.toString(), value);
        return map;
    }

private:
    std::array<std::pair<QStringView, QString>, 11> m_values;
};

// Every "{name}" with a value is replaced by it; other braces stay. Doubled
// slashes left by empty values are then collapsed in one left-to-right pass
// ("///" becomes "//"). The pieces are gathered first so that the result is
// allocated once, at its size: a large plan makes tens of thousands of these.
QString fill(const QString &pattern, const ScreenValues &vars, std::span<const Placeholder> more = {})
{
    auto lookUp = [&](QStringView name) -> std::optional<QStringView> {
        if (const QString *value = vars.find(name))
            return QStringView(*value);
        for (const Placeholder &extra : more)
            if (extra.name == name)
                return extra.value;
        return std::nullopt;
    };
    QVarLengthArray<QStringView, 16> pieces;
    const QStringView text(pattern);
    qsizetype at = 0;
    while (at < text.size()) {
        const qsizetype open = text.indexOf(QLatin1Char('{'), at);
        const qsizetype close = open < 0 ? -1 : text.indexOf(QLatin1Char('}'), open + 1);
        if (close < 0) {
            pieces.append(text.mid(at));
            break;
        }
        pieces.append(text.mid(at, open - at));
        if (const std::optional<QStringView> value = lookUp(text.mid(open + 1, close - open - 1))) {
            pieces.append(*value);
            at = close + 1;
        } else {
            pieces.append(text.mid(open, 1));
            at = open + 1;
        }
    }
    qsizetype size = 0;
    for (QStringView piece : pieces)
        size += piece.size();
    QString out(size, Qt::Uninitialized);
    QChar *chars = out.data();
    qsizetype written = 0;
    for (QStringView piece : pieces) {
        std::copy(piece.begin(), piece.end(), chars + written);
        written += piece.size();
    }

    qsizetype kept = 0;
    for (qsizetype i = 0; i < size; ++i) {
        chars[kept++] = chars[i];
        if (chars[i] == QLatin1Char('/') && i + 1 < size && chars[i + 1] == QLatin1Char('/'))
            ++i;
    }
    out.truncate(kept);
    return out;
}

Conventions::Platform readPlatform(const QJsonValue &value, const Conventions::Platform &fallback)
{
    if (!value.isObject())
        return fallback;
    const QJsonObject o = value.toObject();
    Conventions::Platform read;
    read.screenDir = JsonRead::string(o, QStringLiteral("screenDir"));
    read.files = JsonRead::stringList(o, QStringLiteral("files"));
    read.navigation = JsonRead::string(o, QStringLiteral("navigation"));
    return read.filled(fallback);
}

QString absolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// Whether a move has navigation code at all: not a pop or dismissal, both
// ends are screens of the plan, and the target is a full screen.
bool hasCode(const Transition &move, const Screen *source, const Screen *target)
{
    return move.kind != QLatin1String("pop") && move.kind != QLatin1String("dismiss") && source && target
        && target->kind == QLatin1String("screen");
}

QString moveCode(const ScreenValues &source, const ScreenValues &target, const Conventions::Platform &platform)
{
    const std::array<Placeholder, 5> ends{{
        {u"From", source.name()},
        {u"from", source.nameLowerFirst()},
        {u"To", target.name()},
        {u"to", target.nameLowerFirst()},
        {u"ToShort", target.shortened()},
    }};
    return fill(platform.navigation, source, ends);
}

// What naming every screen of a plan needs, built once per call: each
// move's two ends resolved to screen positions (the first screen of a key
// wins, keys compared canonically), the moves grouped by their from-screen,
// and each screen's placeholder values. No move searches the screens.
class PlanIndex
{
public:
    explicit PlanIndex(const Plan &plan) : m_plan(plan), m_planValues(plan), m_values(plan.screens.size())
    {
        m_positions.reserve(plan.screens.size());
        // Walking backwards lets the first screen of a key overwrite the rest.
        for (qsizetype i = plan.screens.size() - 1; i >= 0; --i)
            m_positions.insert(Text::canonicalKey(plan.screens[i].key), i);

        m_screenPosition.reserve(plan.screens.size());
        for (const Screen &screen : plan.screens)
            m_screenPosition.push_back(position(screen.key));

        // Moves grouped by from-screen in document order, as offsets into
        // one flat list.
        m_ends.reserve(plan.transitions.size());
        m_groupStart.assign(plan.screens.size() + 1, 0);
        for (const Transition &move : plan.transitions) {
            m_ends.push_back({position(move.from), position(move.to)});
            if (m_ends.back().from >= 0)
                ++m_groupStart[m_ends.back().from + 1];
        }
        for (size_t i = 1; i < m_groupStart.size(); ++i)
            m_groupStart[i] += m_groupStart[i - 1];
        m_moves.resize(m_groupStart.back());
        std::vector<qsizetype> next(m_groupStart.begin(), m_groupStart.end() - 1);
        for (qsizetype i = 0; i < qsizetype(m_ends.size()); ++i)
            if (m_ends[i].from >= 0)
                m_moves[next[m_ends[i].from]++] = i;
    }

    // The position of the first screen with the same key as the one at
    // `position`.
    qsizetype firstOfKey(qsizetype position) const { return m_screenPosition[position]; }

    const ScreenValues &values(qsizetype screen)
    {
        std::optional<ScreenValues> &cached = m_values[screen];
        if (!cached)
            cached.emplace(m_plan.screens[screen], m_planValues);
        return *cached;
    }

    // Makes every screen's values at once, on every core: the cache is then
    // only read, by as many threads as like.
    void makeAllValues()
    {
        Parallel::forEach(qsizetype(m_values.size()), [this](qsizetype screen) { values(screen); });
    }

    // The files of the screen at `position` in the plan.
    FileSet fileSet(qsizetype position, const Conventions::Platform &platform)
    {
        return fileSet(values(position), m_screenPosition[position], platform);
    }

    // The files of a screen given apart from the plan; its moves are those
    // from the plan's screen of the same key.
    FileSet fileSet(const Screen &screen, const Conventions::Platform &platform)
    {
        return fileSet(ScreenValues(screen, m_planValues), position(screen.key), platform);
    }

private:
    struct Ends {
        qsizetype from;
        qsizetype to;
    };

    qsizetype position(const QString &key) const { return m_positions.value(Text::canonicalKey(key), -1); }

    FileSet fileSet(const ScreenValues &vars, qsizetype movesOf, const Conventions::Platform &platform)
    {
        FileSet set;
        set.dir = fill(platform.screenDir, vars);
        for (const QString &file : platform.files)
            set.files.append(fill(file, vars));
        if (movesOf < 0)
            return set;
        for (qsizetype k = m_groupStart[movesOf]; k < m_groupStart[movesOf + 1]; ++k) {
            const std::optional<QString> code = navigation(m_moves[k], platform);
            const auto same = [&code](const QString &known) { return Text::canonicalEqual(known, *code); };
            if (code && std::none_of(set.navigation.cbegin(), set.navigation.cend(), same))
                set.navigation.append(*code);
        }
        Text::sortByCodePoint(set.navigation);
        return set;
    }

    std::optional<QString> navigation(qsizetype move, const Conventions::Platform &platform)
    {
        const auto [from, to] = m_ends[move];
        const Screen *source = from < 0 ? nullptr : &m_plan.screens[from];
        const Screen *target = to < 0 ? nullptr : &m_plan.screens[to];
        if (!hasCode(m_plan.transitions[move], source, target))
            return std::nullopt;
        return moveCode(values(from), values(to), platform);
    }

    const Plan &m_plan;
    PlanValues m_planValues;
    std::vector<std::optional<ScreenValues>> m_values;
    QHash<QString, qsizetype> m_positions;
    std::vector<qsizetype> m_screenPosition; // first screen of each screen's key
    std::vector<Ends> m_ends;
    std::vector<qsizetype> m_groupStart;
    std::vector<qsizetype> m_moves;
};

bool hasFiles(const Screen &screen)
{
    return screen.kind == QLatin1String("screen") || screen.kind == QLatin1String("sheet")
        || screen.kind == QLatin1String("dialog");
}

} // namespace

Conventions::Platform Conventions::Platform::filled(const Platform &other) const
{
    Platform out = *this;
    if (out.screenDir.isEmpty())
        out.screenDir = other.screenDir;
    if (out.files.isEmpty())
        out.files = other.files;
    if (out.navigation.isEmpty())
        out.navigation = other.navigation;
    return out;
}

QJsonObject Conventions::Platform::toJson() const
{
    return QJsonObject{
        {QStringLiteral("screenDir"), screenDir},
        {QStringLiteral("files"), QJsonArray::fromStringList(files)},
        {QStringLiteral("navigation"), navigation},
    };
}

const Conventions &Conventions::builtIn()
{
    static const Conventions conventions = [] {
        Conventions c;
        c.version = 1;
        c.android.screenDir = QStringLiteral(
            "presentation/{module}/src/main/java/com/brenix/presentation/{module}/screen/{featureDir}/{shortLower}/");
        c.android.files = {QStringLiteral("{Name}Fragment.kt"), QStringLiteral("{Name}Screen.kt"),
                           QStringLiteral("{Name}ViewModel.kt"), QStringLiteral("{Name}Contract.kt")};
        c.android.navigation = QStringLiteral("action_{from}Fragment_to_{to}Fragment");
        c.ios.screenDir = QStringLiteral("Modules/Feature/{Module}/Sources/{Module}/Page/{iosGroup}/{Feature}/{Name}/");
        c.ios.files = {QStringLiteral("{Name}Page.swift"), QStringLiteral("{Name}Reducer.swift"),
                       QStringLiteral("{Name}SideEffect.swift"), QStringLiteral("{Name}RouteBuilder.swift")};
        c.ios.navigation = QStringLiteral("{From}SideEffect.routeTo{ToShort}()");
        return c;
    }();
    return conventions;
}

std::optional<Conventions> Conventions::decode(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    Conventions c;
    c.version = JsonRead::integer(o, QStringLiteral("version"), 1);
    c.android = readPlatform(o.value(QStringLiteral("android")), builtIn().android);
    c.ios = readPlatform(o.value(QStringLiteral("ios")), builtIn().ios);
    return c;
}

QJsonObject Conventions::toJson() const
{
    return QJsonObject{
        {QStringLiteral("version"), version},
        {QStringLiteral("android"), android.toJson()},
        {QStringLiteral("ios"), ios.toJson()},
    };
}

std::pair<Conventions, Conventions::Origin> Conventions::load(const QStringList &repos)
{
    QStringList candidates;
    for (const QString &repo : repos)
        if (!repo.isEmpty())
            candidates.append(QDir(AppPaths::expandHome(repo)).filePath(QStringLiteral(".cairn/conventions.json")));
    const QString userFile = absolute(QDir(AppPaths::support()).filePath(QStringLiteral("conventions.json")));
    candidates.append(userFile);

    for (const QString &candidate : candidates) {
        // A repository comes from elsewhere too: what stands at the name is
        // read only when it is a file of a sane size, and said when not.
        QString error;
        const std::optional<QByteArray> bytes = RegularFile::readChosen(candidate, FileSizes::fields, &error);
        if (!bytes && (!QFileInfo::exists(candidate) || QFileInfo(candidate).isDir()))
            continue;
        const QString path = absolute(candidate);
        if (!bytes)
            return {builtIn(), Origin{Origin::Kind::broken, path, error}};
        if (std::optional<Conventions> decoded = decode(*bytes)) {
            const Origin::Kind kind = path == userFile ? Origin::Kind::user : Origin::Kind::repo;
            return {*decoded, Origin{kind, path, {}}};
        }
        return {builtIn(), Origin{Origin::Kind::broken, path, QStringLiteral("JSON 을 읽지 못함")}};
    }
    return {builtIn(), Origin{}};
}

QMap<QString, QString> Conventions::vars(const Screen &screen, const Plan &plan)
{
    return ScreenValues(screen, PlanValues(plan)).toMap();
}

FileSet Conventions::fileSet(const Screen &screen, const Plan &plan, Select platform) const
{
    return PlanIndex(plan).fileSet(screen, this->*platform);
}

std::optional<QString> Conventions::navigation(const Transition &transition, const Plan &plan, Select platform) const
{
    // One move needs no index: a single pass over the screens finds both ends.
    const QString fromKey = Text::canonicalKey(transition.from);
    const QString toKey = Text::canonicalKey(transition.to);
    const Screen *source = nullptr;
    const Screen *target = nullptr;
    for (const Screen &screen : plan.screens) {
        if (source && target)
            break;
        const QString key = Text::canonicalKey(screen.key);
        if (!source && key == fromKey)
            source = &screen;
        if (!target && key == toKey)
            target = &screen;
    }
    return navigation(transition, source, target, plan, platform);
}

std::optional<QString> Conventions::navigation(const Transition &transition, const Screen *source,
                                               const Screen *target, const Plan &plan, Select platform) const
{
    if (!hasCode(transition, source, target))
        return std::nullopt;
    const PlanValues values(plan);
    return moveCode(ScreenValues(*source, values), ScreenValues(*target, values), this->*platform);
}

struct Conventions::ScreenValuesOf::Made {
    const Screen *first;
    std::vector<ScreenValues> values;

    const ScreenValues &of(const Screen *screen) const { return values[size_t(screen - first)]; }
};

Conventions::ScreenValuesOf::ScreenValuesOf(const Plan &plan)
{
    auto made = std::make_unique<Made>();
    made->first = plan.screens.constData();
    made->values.reserve(size_t(plan.screens.size()));
    const PlanValues shared(plan);
    for (const Screen &screen : plan.screens)
        made->values.emplace_back(screen, shared);
    m_made = std::move(made);
}

Conventions::ScreenValuesOf::~ScreenValuesOf() = default;

std::optional<std::pair<QString, QString>> Conventions::navigations(const Transition &transition, const Screen *source,
                                                                    const Screen *target,
                                                                    const ScreenValuesOf &values) const
{
    if (!hasCode(transition, source, target))
        return std::nullopt;
    // Both platforms fill their templates from the same values of the two ends.
    const ScreenValues &from = values.m_made->of(source);
    const ScreenValues &to = values.m_made->of(target);
    return std::pair{moveCode(from, to, android), moveCode(from, to, ios)};
}

QMap<QString, PlatformFiles> Conventions::platformMap(const Plan &plan) const
{
    PlanIndex index(plan);
    // One entry per key (keys compared canonically): the files of the last
    // screen with that key, under the spelling of the first.
    struct Entry {
        QString key;
        qsizetype screen;
    };
    std::vector<Entry> entries;
    std::vector<qsizetype> entryOfKey(plan.screens.size(), -1);
    for (qsizetype i = 0; i < plan.screens.size(); ++i) {
        if (!hasFiles(plan.screens[i]))
            continue;
        qsizetype &entry = entryOfKey[index.firstOfKey(i)];
        if (entry < 0) {
            entry = qsizetype(entries.size());
            entries.push_back({plan.screens[i].key, i});
        } else {
            entries[entry].screen = i;
        }
    }
    // Inserted in key order, each entry lands at the map's end at once; the
    // entries' files are made on every core.
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.key < b.key; });
    index.makeAllValues();
    const QList<PlatformFiles> files = Parallel::map<PlatformFiles>(qsizetype(entries.size()), [&](qsizetype at) {
        return PlatformFiles{index.fileSet(entries[at].screen, android), index.fileSet(entries[at].screen, ios)};
    });
    QMap<QString, PlatformFiles> map;
    for (size_t at = 0; at < entries.size(); ++at)
        map.insert(map.cend(), entries[at].key, files[qsizetype(at)]);
    return map;
}

QString Conventions::describe(const Origin &origin)
{
    switch (origin.kind) {
    case Origin::Kind::user:
    case Origin::Kind::repo:
        return origin.path;
    case Origin::Kind::broken:
        return QStringLiteral("\u26A0\uFE0F ") + origin.path + QStringLiteral(" (") + origin.reason
            + QStringLiteral(") \u2014 기본값을 씀");
    case Origin::Kind::builtIn:
        return QStringLiteral("기본값");
    }
    return {};
}
