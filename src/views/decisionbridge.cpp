#include "views/decisionbridge.h"

#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

QString prefix(const QString &id)
{
    return u"- "_s + id + u" 는 "_s;
}

// CR LF counts once; a lone CR, LF, LINE SEPARATOR or PARAGRAPH SEPARATOR once each.
QString oneLine(const QString &text)
{
    static const QRegularExpression breaks(u"\r\n|[\r\n\u2028\u2029]"_s);
    QString folded = text;
    folded.replace(breaks, u" "_s);
    return folded;
}

} // namespace

DecisionBridge *DecisionBridge::shared()
{
    static DecisionBridge *bridge = new DecisionBridge;
    return bridge;
}

void DecisionBridge::setHandler(Handler handler)
{
    m_handler = std::move(handler);
}

void DecisionBridge::receive(const QString &dir, const QJsonValue &body)
{
    const std::optional<Decision> decision = parse(body);
    if (!decision)
        return;
    QMetaObject::invokeMethod(
        this,
        [this, dir, decision = *decision] {
            if (m_handler)
                m_handler(dir, decision.id, decision.line);
        },
        Qt::QueuedConnection);
}

std::optional<DecisionBridge::Decision> DecisionBridge::parse(const QJsonValue &body)
{
    if (!body.isObject())
        return std::nullopt;
    const QJsonObject object = body.toObject();
    const QJsonValue id = object.value(u"id"_s);
    if (!id.isString())
        return std::nullopt;
    Decision decision{id.toString(), std::nullopt};
    const QJsonValue choice = object.value(u"choice"_s);
    const QJsonValue text = object.value(u"text"_s);
    if (choice.isString())
        decision.line = choiceLine(decision.id, choice.toString());
    else if (text.isString())
        decision.line = textLine(decision.id, text.toString());
    return decision;
}

QString DecisionBridge::choiceLine(const QString &id, const QString &choice)
{
    return prefix(id) + u"“"_s + oneLine(choice) + u"” 로 결정"_s;
}

QString DecisionBridge::textLine(const QString &id, const QString &text)
{
    return prefix(id) + u"다음처럼 결정: "_s + oneLine(text);
}

QString DecisionBridge::apply(const QString &request, const QString &id, const std::optional<QString> &line)
{
    const QString start = prefix(id);
    QStringList lines;
    for (const QString &each : request.split(u'\n')) {
        if (!each.startsWith(start))
            lines.append(each);
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (line)
        lines.append(*line);
    return lines.join(u'\n');
}
