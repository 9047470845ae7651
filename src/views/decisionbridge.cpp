#include "views/decisionbridge.h"

#include <QHash>
#include <QJsonObject>
#include <QSet>
#include <QRegularExpression>
#include <QStringList>
#include <utility>

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

// The request's lines while decisions are applied to it: any line can be
// dropped and the last kept one is at hand, and the lines of each decision
// are known in advance, so a burst of decisions takes one pass. A line
// belongs to every decision whose prefix it begins with.
class RequestLines
{
public:
    RequestLines(const QString &request, const QSet<QString> &ids)
        : m_ids(ids)
    {
        for (const QString &id : ids)
            m_lengths.insert(id.size());
        for (const QString &line : request.split(u'\n'))
            append(line);
    }

    void append(const QString &text)
    {
        const int at = int(m_lines.size());
        m_lines.append({text, m_last, -1, true});
        if (m_last >= 0)
            m_lines[m_last].next = at;
        else
            m_first = at;
        m_last = at;
        index(at);
    }

    // Every kept line that begins with the decision's prefix.
    void drop(const QString &id)
    {
        for (const int at : m_byId.take(id))
            unlink(at);
    }

    void dropEmptyEnd()
    {
        while (m_last >= 0 && m_lines.at(m_last).text.isEmpty())
            unlink(m_last);
    }

    QString joined() const
    {
        QStringList kept;
        for (int at = m_first; at >= 0; at = m_lines.at(at).next)
            kept.append(m_lines.at(at).text);
        return kept.join(u'\n');
    }

private:
    struct Line {
        QString text;
        int previous;
        int next;
        bool kept;
    };

    // Each " 는 " of a line that starts with "- " may end the prefix of a
    // decision of this burst.
    void index(int at)
    {
        static const QString marker = u" 는 "_s;
        const QString &text = m_lines.at(at).text;
        if (!text.startsWith(u"- "_s))
            return;
        for (qsizetype end = text.indexOf(marker, 2); end >= 0; end = text.indexOf(marker, end + 1)) {
            if (!m_lengths.contains(end - 2))
                continue;
            const QString id = text.mid(2, end - 2);
            if (m_ids.contains(id))
                m_byId[id].append(at);
        }
    }

    void unlink(int at)
    {
        Line &line = m_lines[at];
        if (!line.kept)
            return;
        line.kept = false;
        if (line.previous >= 0)
            m_lines[line.previous].next = line.next;
        else
            m_first = line.next;
        if (line.next >= 0)
            m_lines[line.next].previous = line.previous;
        else
            m_last = line.previous;
    }

    const QSet<QString> &m_ids;
    QSet<qsizetype> m_lengths;
    QList<Line> m_lines;
    QHash<QString, QList<int>> m_byId;
    int m_first = -1;
    int m_last = -1;
};

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
    // A page may post thousands of decisions as it loads: those of one turn
    // are applied together.
    if (m_pending.isEmpty())
        QMetaObject::invokeMethod(this, &DecisionBridge::deliver, Qt::QueuedConnection);
    m_pending.append({dir, *decision});
}

void DecisionBridge::deliver()
{
    const QList<std::pair<QString, Decision>> pending = std::exchange(m_pending, {});
    const Handler handler = m_handler;
    if (!handler)
        return;
    QStringList folders;
    QHash<QString, QList<Decision>> byFolder;
    for (const auto &[dir, decision] : pending) {
        if (!byFolder.contains(dir))
            folders.append(dir);
        byFolder[dir].append(decision);
    }
    for (const QString &dir : std::as_const(folders))
        handler(dir, byFolder.value(dir));
}

std::optional<DecisionBridge::Decision> DecisionBridge::parse(const QJsonValue &body)
{
    if (!body.isObject())
        return std::nullopt;
    const QJsonObject object = body.toObject();
    const QJsonValue id = object.value(u"id"_s);
    if (!id.isString())
        return std::nullopt;
    Decision decision{oneLine(id.toString()), std::nullopt};
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
    return apply(request, QList<Decision>{{id, line}});
}

QString DecisionBridge::apply(const QString &request, const QList<Decision> &decisions)
{
    QSet<QString> ids;
    for (const Decision &decision : decisions)
        ids.insert(decision.id);
    RequestLines lines(request, ids);
    for (const Decision &decision : decisions) {
        lines.drop(decision.id);
        lines.dropEmptyEnd();
        if (decision.line)
            lines.append(*decision.line);
    }
    return lines.joined();
}

QStringList DecisionBridge::picks(const QString &request)
{
    static const QString opening = u" 는 “"_s;
    static const QString closing = u"” 로 결정"_s;
    QStringList found;
    const QString text = request.trimmed();
    qsizetype at = 0;
    while (at < text.size()) {
        if (!QStringView(text).sliced(at).startsWith(u"- "))
            return {};
        const qsizetype idEnd = text.indexOf(opening, at + 2);
        if (idEnd <= at + 2)
            return {};
        // The option itself may hold the closing words: the pick ends where
        // they end the text or are followed by the next line.
        qsizetype end = text.indexOf(closing, idEnd + opening.size());
        while (end >= 0 && end + closing.size() < text.size() && !text.at(end + closing.size()).isSpace())
            end = text.indexOf(closing, end + 1);
        if (end < 0)
            return {};
        const qsizetype answerStart = idEnd + opening.size();
        found.append(text.sliced(at + 2, idEnd - at - 2) + u" → "_s + text.sliced(answerStart, end - answerStart));
        at = end + closing.size();
        while (at < text.size() && text.at(at).isSpace())
            ++at;
    }
    return found;
}
