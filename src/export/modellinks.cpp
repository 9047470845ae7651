#include "export/htmlpage.h"

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
