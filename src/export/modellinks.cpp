#include "export/htmlpage.h"

#include <algorithm>

#include "core/text.h"
#include "export/htmlescape.h"

using namespace Qt::StringLiterals;

namespace HTMLPage {

namespace {

// A letter keeps its combining marks, so a decomposed name stays one word.
bool extendsWord(const QString &character)
{
    return character == u"_"_s || Text::isLetterOrNumber(character);
}

} // namespace

ModelLinks::ModelLinks(const Plan &plan)
{
    for (const DataModel &model : plan.models)
        m_modelNames.insert(Text::canonicalKey(model.name));
    for (const Screen &screen : plan.screens) {
        for (const Arg &arg : screen.args) {
            const QString name = Text::canonicalKey(arg.name);
            if (m_modelNames.contains(Text::canonicalKey(arg.model)) && !m_argModels.contains(name))
                m_argModels.insert(name, arg.model);
        }
    }
}

bool ModelLinks::isModel(const QString &name) const
{
    return m_modelNames.contains(Text::canonicalKey(name));
}

std::optional<QString> ModelLinks::argModel(const QString &argName) const
{
    const auto it = m_argModels.constFind(Text::canonicalKey(argName));
    if (it == m_argModels.constEnd())
        return std::nullopt;
    return *it;
}

QString ModelLinks::link(const QString &text, const QString &model) const
{
    return u"<a class=\"m\" href=\"#m-"_s + escape(model) + u"\">"_s + escape(text) + u"</a>"_s;
}

QString ModelLinks::type(const QString &text) const
{
    // Printable ASCII and precomposed Hangul syllables are one grapheme each
    // (as Text::graphemes takes them), so a type text of those alone is cut
    // into words in place, without a string per character.
    const bool oneCharacterEach = std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= 0x20 && u < 0x7F) || (u >= 0xAC00 && u <= 0xD7A3);
    });
    if (!oneCharacterEach)
        return typeByGraphemes(text);
    QString out;
    qsizetype wordStart = 0;
    const auto flush = [&](qsizetype end) {
        const QString word = text.mid(wordStart, end - wordStart);
        out += isModel(word) ? link(word, word) : escape(word);
    };
    for (qsizetype at = 0; at < text.size(); ++at) {
        const QChar c = text.at(at);
        if (c == u'_' || c.isLetterOrNumber())
            continue;
        flush(at);
        wordStart = at + 1;
        appendEscaped(out, QStringView(text).sliced(at, 1));
    }
    flush(text.size());
    return out;
}

QString ModelLinks::typeByGraphemes(const QString &text) const
{
    QString out;
    QString word;
    const auto flush = [&] {
        out += isModel(word) ? link(word, word) : escape(word);
        word.clear();
    };
    for (const QString &character : Text::graphemes(text)) {
        if (extendsWord(character)) {
            word += character;
            continue;
        }
        flush();
        out += escape(character);
    }
    flush();
    return out;
}

} // namespace HTMLPage
