#include "model/plan.h"

#include "core/text.h"

#include <QHash>
#include <QSet>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <iterator>

using namespace Qt::StringLiterals;

namespace {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

bool inRanges(char32_t c, const CodePointRange *begin, const CodePointRange *end)
{
    const auto it = std::upper_bound(begin, end, c, [](char32_t v, const CodePointRange &r) { return v < r.first; });
    return it != begin && c <= std::prev(it)->last;
}

// Letters outside the letter categories that Unicode still counts as
// uppercase (Other_Uppercase, Unicode 14), such as Roman numerals.
constexpr CodePointRange otherUppercase[] = {
    {0x2160, 0x216F}, {0x24B6, 0x24CF}, {0x1F130, 0x1F149}, {0x1F150, 0x1F169}, {0x1F170, 0x1F189},
};

// Cased characters outside Lu, Ll and Lt (Other_Uppercase and
// Other_Lowercase, Unicode 14): modifier letters, ordinal indicators,
// circled and squared letters.
constexpr CodePointRange otherCased[] = {
    {0x00AA, 0x00AA}, {0x00BA, 0x00BA}, {0x02B0, 0x02B8}, {0x02C0, 0x02C1}, {0x02E0, 0x02E4},
    {0x0345, 0x0345}, {0x037A, 0x037A}, {0x1D2C, 0x1D6A}, {0x1D78, 0x1D78}, {0x1D9B, 0x1DBF},
    {0x2071, 0x2071}, {0x207F, 0x207F}, {0x2090, 0x209C}, {0x2160, 0x217F}, {0x24B6, 0x24E9},
    {0x2C7C, 0x2C7D}, {0xA69C, 0xA69D}, {0xA770, 0xA770}, {0xA7F8, 0xA7F9}, {0xAB5C, 0xAB5F},
    {0x10780, 0x10780}, {0x10783, 0x10785}, {0x10787, 0x107B0}, {0x107B2, 0x107BA},
    {0x1F130, 0x1F149}, {0x1F150, 0x1F169}, {0x1F170, 0x1F189},
};

bool hasUppercaseProperty(char32_t c)
{
    return QChar::isUpper(c) || inRanges(c, std::begin(otherUppercase), std::end(otherUppercase));
}

bool hasCasedProperty(char32_t c)
{
    return QChar::isUpper(c) || QChar::isLower(c) || QChar::isTitleCase(c)
        || inRanges(c, std::begin(otherCased), std::end(otherCased));
}

// The single code point a character consists of, if it is one.
std::optional<char32_t> singleCodePoint(const QString &character)
{
    if (character.size() == 1 && !character.at(0).isSurrogate())
        return character.at(0).unicode();
    if (character.size() == 2 && character.at(0).isHighSurrogate() && character.at(1).isLowSurrogate())
        return QChar::surrogateToUcs4(character.at(0), character.at(1));
    return std::nullopt;
}

// Whether a user-perceived character counts as uppercase: an uppercase code
// point, or a cased character that upper-casing leaves alone.
bool isUppercase(const QString &character)
{
    const auto single = singleCodePoint(character);
    if (single && hasUppercaseProperty(*single))
        return true;
    if (!Text::canonicalEqual(character.toUpper(), character))
        return false;
    return (single && hasCasedProperty(*single)) || !Text::canonicalEqual(character.toLower(), character);
}

// A prefix in whole user-perceived characters, compared by canonical
// equivalence: "Café" does not begin "Cafe" even when spelled decomposed.
bool beginsWith(const QString &text, const QString &prefix)
{
    const QString whole = Text::canonicalKey(text);
    const QString head = Text::canonicalKey(prefix);
    if (!whole.startsWith(head))
        return false;
    if (head.size() == whole.size())
        return true;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, whole);
    finder.setPosition(head.size());
    return finder.isAtBoundary();
}

bool isOutsidePlace(const QString &endpoint)
{
    return endpoint.startsWith(u'@');
}

// Keys that occur more than once, each shown as first spelled, in code-point
// order. Canonically equivalent spellings count as the same key.
QStringList duplicates(const QList<Screen> &screens)
{
    struct Seen {
        QString spelling;
        int count = 0;
    };
    QHash<QString, Seen> seen;
    seen.reserve(screens.size());
    for (const Screen &s : screens) {
        Seen &entry = seen[Text::canonicalKey(s.key)];
        if (entry.count++ == 0)
            entry.spelling = s.key;
    }
    QStringList out;
    for (const Seen &entry : std::as_const(seen))
        if (entry.count > 1)
            out.append(entry.spelling);
    Text::sortByCodePoint(out);
    return out;
}

class CanonicalSet
{
public:
    void insert(const QString &text) { m_keys.insert(Text::canonicalKey(text)); }
    bool contains(const QString &text) const { return m_keys.contains(Text::canonicalKey(text)); }
    void reserve(qsizetype size) { m_keys.reserve(size); }

private:
    QSet<QString> m_keys;
};

void checkTransitions(const Plan &plan, const CanonicalSet &screenKeys, QStringList &problems)
{
    for (const Transition &t : plan.transitions) {
        for (const QString &endpoint : {t.from, t.to}) {
            if (!isOutsidePlace(endpoint) && !screenKeys.contains(endpoint))
                problems.append(u"transitions 에 없는 화면 id: "_s + endpoint + u" ("_s + t.from + u" \u2192 "_s
                                + t.to + u")"_s);
        }
        if (t.popUpTo && !t.popUpTo->isEmpty() && !screenKeys.contains(*t.popUpTo))
            problems.append(u"popUpTo 에 없는 화면 id: "_s + *t.popUpTo);
    }
}

// An optional argument is written "ChatItem?", as the plan prompt's schema
// writes optional types; its model is the name without the marks.
QString withoutOptionalMark(QString model)
{
    while (model.endsWith(u'?'))
        model.chop(1);
    return model;
}

void checkArgModels(const Plan &plan, QStringList &problems)
{
    CanonicalSet modelNames;
    modelNames.reserve(plan.models.size());
    for (const DataModel &m : plan.models)
        modelNames.insert(m.name);
    for (const Screen &s : plan.screens) {
        for (const Arg &a : s.args) {
            if (a.model.isEmpty() || modelNames.contains(withoutOptionalMark(a.model)))
                continue;
            if (!isUppercase(Text::graphemePrefix(a.model, 1)) || !beginsWith(a.model, plan.meta.feature))
                continue;
            problems.append(s.key + u".args 의 모델 "_s + a.model + u" 이 models 에 없음"_s);
        }
    }
}

} // namespace

QList<Decision> Plan::openDecisions() const
{
    QList<Decision> open;
    std::copy_if(decisions.begin(), decisions.end(), std::back_inserter(open),
                 [](const Decision &d) { return d.status != u"decided"_s; });
    return open;
}

std::optional<Screen> Plan::screen(const QString &key) const
{
    const auto it = std::find_if(screens.begin(), screens.end(),
                                 [&](const Screen &s) { return Text::canonicalEqual(s.key, key); });
    if (it == screens.end())
        return std::nullopt;
    return *it;
}

QString Plan::screenTitle(const QString &key) const
{
    const auto found = screen(key);
    return found ? found->title : key;
}

QStringList Plan::problems() const
{
    QStringList out;
    if (meta.feature.isEmpty())
        out.append(u"meta.feature 가 비어 있음"_s);
    if (screens.isEmpty())
        out.append(u"screens 가 비어 있음"_s);

    const QStringList duplicateKeys = duplicates(screens);
    if (!duplicateKeys.isEmpty())
        out.append(u"screens[].id 중복: "_s + duplicateKeys.join(u", "_s));

    for (const Screen &s : screens)
        if (s.key.isEmpty() || s.name.isEmpty())
            out.append(u"id 또는 name 이 빈 화면이 있음 ("_s + s.title + u")"_s);

    CanonicalSet screenKeys;
    screenKeys.reserve(screens.size());
    for (const Screen &s : screens)
        screenKeys.insert(s.key);
    checkTransitions(*this, screenKeys, out);
    checkArgModels(*this, out);
    return out;
}
