#include "model/generateinput.h"

#include "core/jsonread.h"
#include "core/text.h"
#include "settings/recordseal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <QSet>

namespace {

QSet<QString> canonicalSet(const QStringList &labels)
{
    QSet<QString> keys;
    for (const QString &label : labels)
        keys.insert(Text::canonicalKey(label));
    return keys;
}

const QString sealsKey = QStringLiteral("docSeals");

// What a list's seal is made over: its key and its entries, so that one
// list's seal never vouches for another.
QByteArray sealedBytes(const QString &key, const QStringList &entries)
{
    return QJsonDocument(QJsonArray{key, QJsonArray::fromStringList(entries)}).toJson(QJsonDocument::Compact);
}

// Whether the list under `key` names only what the person chose: nothing
// local, or sealed by this person's program.
bool chosen(const QJsonObject &request, const QString &key, const std::optional<QStringList> &entries)
{
    if (!entries || std::none_of(entries->begin(), entries->end(), GenerateInput::namesLocalFile))
        return true;
    const QJsonValue seal = request.value(sealsKey).toObject().value(key);
    return seal.isString() && RecordSeal::holds(sealedBytes(key, *entries), seal.toString().toLatin1());
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
    input.apiDocsChosen = chosen(o, QStringLiteral("apiDocs"), input.apiDocs);
    input.specDocsChosen = chosen(o, QStringLiteral("specDocs"), input.specDocs);
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
    QJsonObject seals;
    const auto insert = [&](const QString &key, const std::optional<QStringList> &entries, bool isChosen) {
        if (!entries)
            return;
        o.insert(key, QJsonArray::fromStringList(*entries));
        // Only the person's own choice is vouched for: a list read from a
        // received folder stays unsealed when written again.
        if (const QByteArray seal = isChosen ? RecordSeal::of(sealedBytes(key, *entries)) : QByteArray(); !seal.isEmpty())
            seals.insert(key, QString::fromLatin1(seal));
    };
    insert(QStringLiteral("apiDocs"), apiDocs, apiDocsChosen);
    insert(QStringLiteral("specDocs"), specDocs, specDocsChosen);
    if (!seals.isEmpty())
        o.insert(sealsKey, seals);
    return o;
}

bool GenerateInput::operator==(const GenerateInput &other) const
{
    return link == other.link && feature == other.feature && title == other.title && module == other.module
        && notes == other.notes && canonicalSet(includeLabels) == canonicalSet(other.includeLabels)
        && apiDocs == other.apiDocs && specDocs == other.specDocs;
}
