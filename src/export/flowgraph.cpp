#include "export/exporter.h"

#include <QHash>
#include <utility>

#include "core/text.h"
#include "export/htmlescape.h"
#include "export/pagetext.h"
#include "export/planindex.h"

namespace Exporter {

namespace {

bool isBackMove(const Transition &transition)
{
    return transition.kind == QLatin1String("pop") || transition.kind == QLatin1String("dismiss");
}

QString kindWord(const QString &kind)
{
    if (kind == QLatin1String("dialog"))
        return QStringLiteral("팝업");
    if (kind == QLatin1String("sheet"))
        return QStringLiteral("시트");
    if (kind == QLatin1String("system"))
        return QStringLiteral("시스템");
    return QString();
}

std::pair<QString, QString> shape(const QString &kind)
{
    if (kind == QLatin1String("system"))
        return {QStringLiteral("[["), QStringLiteral("]]")};
    if (kind == QLatin1String("dialog"))
        return {QStringLiteral("{{"), QStringLiteral("}}")};
    if (kind == QLatin1String("sheet"))
        return {QStringLiteral("[/"), QStringLiteral("/]")};
    return {QStringLiteral("["), QStringLiteral("]")};
}

// The part of an anchor that follows "#s-": a quotation mark would end the
// graph's string, and a space, "%" or control character would break the line
// or be misread when the page decodes the target.
QString anchorTarget(const QString &key)
{
    QString out;
    for (const QChar c : key) {
        const bool unsafe = c == u'"' || c == u'%' || c.isSpace() || c.category() == QChar::Other_Control;
        if (!unsafe) {
            out += c;
            continue;
        }
        for (const char byte : QString(c).toUtf8())
            out += QString::asprintf("%%%02X", unsigned(quint8(byte)));
    }
    return out;
}

bool isBlank(const QString &text)
{
    return text.trimmed().isEmpty();
}

// An outside place is shown by its name; Mermaid refuses the whole graph for
// a node without one, so a bare "@" is named for what it is.
QString placeName(const QString &endpoint)
{
    const QString name = endpoint.mid(1);
    return isBlank(name) ? QStringLiteral("외부") : name;
}

QString shortName(const Screen &screen, const QString &feature)
{
    const qsizetype length = Text::graphemeCount(feature);
    if (Text::graphemeCount(screen.name) <= length)
        return screen.name;
    const QString head = Text::graphemePrefix(screen.name, length);
    return Text::canonicalEqual(head, feature) ? screen.name.mid(head.size()) : screen.name;
}

class Graph {
public:
    Graph(const Plan &plan, bool links);
    QString text();

private:
    QString label(const QString &text) const;
    QString nodeId(const QString &endpoint);
    QString edgeLabel(const Transition &transition) const;
    QString sourceKey(const Transition &transition) const;
    void keepEdges();
    void entryPoints();
    void screenNode(const Screen &screen);
    void edges();

    const Plan &m_plan;
    const bool m_links;
    PlanIndex m_index;
    QList<const Transition *> m_kept;
    QHash<QString, int> m_sharedTriggers;
    QHash<QString, QString> m_ids;
    QSet<QString> m_usedIds;
    QStringList m_lines;
};

Graph::Graph(const Plan &plan, bool links)
    : m_plan(plan)
    , m_links(links)
    , m_index(plan)
{
}

QString Graph::text()
{
    keepEdges();
    m_lines << QStringLiteral("flowchart TD");
    entryPoints();
    for (const Screen &screen : m_plan.screens)
        screenNode(screen);
    m_lines << QStringLiteral("  classDef cond stroke-dasharray: 4 3");
    edges();
    return m_lines.join(u'\n');
}

// Mermaid reads a quotation mark as the end of the label and a line feed as
// the end of the statement. On the page the label is HTML as well, so plan
// texts are escaped there and cannot add markup of their own.
QString Graph::label(const QString &text) const
{
    QString escaped = text;
    escaped.replace(u'"', u'\'').replace(u'\n', u' ');
    return m_links ? HTMLPage::escape(escaped) : escaped;
}

// Keys that differ only in punctuation would share one node; a later key
// gets the next free "_2", "_3", … so every endpoint keeps its own node.
QString Graph::nodeId(const QString &endpoint)
{
    const QString key = Text::canonicalKey(endpoint);
    const auto known = m_ids.constFind(key);
    if (known != m_ids.cend())
        return *known;

    const bool outside = endpoint.startsWith(u'@');
    QString base = outside ? QStringLiteral("ext_") : QStringLiteral("s_");
    for (const QString &character : Text::graphemes(outside ? endpoint.mid(1) : endpoint))
        base += Text::isLetterOrNumber(character) ? character : QStringLiteral("_");

    QString id = base;
    for (int n = 2; m_usedIds.contains(id); ++n)
        id = base + u'_' + QString::number(n);
    m_usedIds.insert(id);
    m_ids.insert(key, id);
    return id;
}

QString Graph::sourceKey(const Transition &transition) const
{
    return Text::canonicalKey(transition.from) + QChar(0) + Text::canonicalKey(transition.trigger);
}

void Graph::keepEdges()
{
    QSet<std::pair<QString, QString>> forward;
    for (const Transition &transition : m_plan.transitions)
        if (!isBackMove(transition))
            forward.insert({Text::canonicalKey(transition.from), Text::canonicalKey(transition.to)});

    for (const Transition &transition : m_plan.transitions) {
        const bool returns = isBackMove(transition) && !transition.popUpTo
            && forward.contains({Text::canonicalKey(transition.to), Text::canonicalKey(transition.from)});
        if (returns)
            continue;
        m_kept.append(&transition);
        ++m_sharedTriggers[sourceKey(transition)];
    }
}

void Graph::entryPoints()
{
    QSet<QString> written;
    for (const Transition *transition : std::as_const(m_kept)) {
        for (const QString &endpoint : {transition->from, transition->to}) {
            if (!endpoint.startsWith(u'@'))
                continue;
            const QString key = Text::canonicalKey(endpoint);
            if (written.contains(key))
                continue;
            written.insert(key);
            m_lines << QStringLiteral("  ") + nodeId(endpoint) + QStringLiteral("([\"") + label(placeName(endpoint))
                    + QStringLiteral("\"])");
        }
    }
}

void Graph::screenNode(const Screen &screen)
{
    const QString id = nodeId(screen.key);
    const QString title = label(screen.title);
    const QString name = label(shortName(screen, m_plan.meta.feature));
    const QString image = PageText::imageSource(screen.image.before).value_or(QString());

    if (m_links && !image.isEmpty()) {
        QString source = label(image);
        source.replace(u'\'', QLatin1String("&apos;"));
        QString small = name;
        const QString word = kindWord(screen.kind);
        if (!word.isEmpty())
            small += QStringLiteral(" · ") + word;
        m_lines << QStringLiteral("  ") + id + QStringLiteral("[\"<img class='gimg' src='") + source
                + QStringLiteral("' width='52' height='112' style='width:52px;height:112px;object-fit:cover;object-position:top'/><br/>")
                + title + QStringLiteral("<br/><small>") + small + QStringLiteral("</small>\"]");
    } else {
        const auto [open, close] = shape(screen.kind);
        m_lines << QStringLiteral("  ") + id + open + u'"' + title + QStringLiteral("<br/><small>") + name
                + QStringLiteral("</small>\"") + close;
    }

    if (screen.condition && !screen.condition->text.isEmpty())
        m_lines << QStringLiteral("  class ") + id + QStringLiteral(" cond");
    if (m_links)
        m_lines << QStringLiteral("  click ") + id + QStringLiteral(" href \"#s-") + anchorTarget(screen.key) + u'"';
}

QString Graph::edgeLabel(const Transition &transition) const
{
    const bool shared = m_sharedTriggers.value(sourceKey(transition)) >= 2;
    if (shared && transition.condition && !transition.condition->isEmpty())
        return *transition.condition;
    return m_index.triggerLabel(transition);
}

// Mermaid refuses the whole graph for an empty label: a move without a
// trigger (an automatic one, such as a splash screen going on) is drawn
// without one.
void Graph::edges()
{
    for (const Transition *transition : std::as_const(m_kept)) {
        const QString arrow = isBackMove(*transition) ? QStringLiteral("-.->") : QStringLiteral("-->");
        const QString text = label(edgeLabel(*transition));
        const QString shown = isBlank(text) ? QString() : QStringLiteral("|\"") + text + QStringLiteral("\"|");
        m_lines << QStringLiteral("  ") + nodeId(transition->from) + u' ' + arrow + shown + u' '
                + nodeId(transition->to);
    }
}

} // namespace

QString mermaid(const Plan &plan, bool links)
{
    return Graph(plan, links).text();
}

} // namespace Exporter
