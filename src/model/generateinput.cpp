#include "model/generateinput.h"

#include "core/jsonread.h"
#include "core/text.h"

#include <QJsonArray>
#include <QSet>

namespace {

QSet<QString> canonicalSet(const QStringList &labels)
{
    QSet<QString> keys;
    for (const QString &label : labels)
        keys.insert(Text::canonicalKey(label));
    return keys;
}

} // namespace

bool GenerateInput::namesLocalFile(const QString &entry)
{
    return entry.startsWith(QLatin1Char('/')) || entry.startsWith(QLatin1String("~/"))
        || entry.startsWith(QLatin1String("./"));
}

QStringList GenerateInput::labelSet(const QStringList &labels)
{
    QStringList unique;
    QSet<QString> seen;
    for (const QString &label : labels) {
        const QString key = Text::canonicalKey(label);
        if (!seen.contains(key)) {
            seen.insert(key);
            unique.append(label);
        }
    }
    Text::sortByCodePoint(unique);
    return unique;
}

GenerateInput GenerateInput::decode(const QByteArray &json)
{
    return read(parseObject(json));
}

GenerateInput GenerateInput::read(const QJsonValue &value)
{
    const QJsonObject o = JsonStrict::object(value, QStringLiteral("request"));
    GenerateInput input;
    input.link = FigmaLink::read(JsonStrict::object(o, QStringLiteral("link")));
    input.feature = JsonStrict::string(o, QStringLiteral("feature"));
    input.title = JsonStrict::string(o, QStringLiteral("title"));
    input.module = Module::read(JsonStrict::object(o, QStringLiteral("module"))).value_or(Module());
    input.notes = JsonStrict::string(o, QStringLiteral("notes"));
    input.includeLabels = labelSet(JsonStrict::stringList(o, QStringLiteral("includeLabels")));
    input.apiDocs = JsonStrict::optStringList(o, QStringLiteral("apiDocs"));
    input.specDocs = JsonStrict::optStringList(o, QStringLiteral("specDocs"));
    return input;
}

QJsonObject GenerateInput::toJson() const
{
    QJsonObject o{
        {QStringLiteral("link"), link.toJson()},
        {QStringLiteral("feature"), feature},
        {QStringLiteral("title"), title},
        {QStringLiteral("module"), module.toJson()},
        {QStringLiteral("notes"), notes},
        {QStringLiteral("includeLabels"), QJsonArray::fromStringList(labelSet(includeLabels))},
    };
    if (apiDocs)
        o.insert(QStringLiteral("apiDocs"), QJsonArray::fromStringList(*apiDocs));
    if (specDocs)
        o.insert(QStringLiteral("specDocs"), QJsonArray::fromStringList(*specDocs));
    return o;
}

bool GenerateInput::operator==(const GenerateInput &other) const
{
    return link == other.link && feature == other.feature && title == other.title && module == other.module
        && notes == other.notes && canonicalSet(includeLabels) == canonicalSet(other.includeLabels)
        && apiDocs == other.apiDocs && specDocs == other.specDocs;
}
