#include "export/exporter.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <functional>
#include <utility>

#include "core/parallel.h"
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
// graph's string, "#" would be read as the start of an entity, and a space,
// "%" or control character would break the line or be misread when the page
// decodes the target.
QString anchorTarget(const QString &key)
{
    QString out;
    for (const QChar c : key) {
        const bool unsafe = c == u'"' || c == u'%' || c == u'#' || c.isSpace() || c.category() == QChar::Other_Control;
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

QString sourceKey(const Transition &transition)
{
    return Text::canonicalKey(transition.from) + QChar(0) + Text::canonicalKey(transition.trigger);
}

} // namespace

// What the graph's lines are made from, the same for the page and the
// document: the moves drawn, how many share each start and trigger, and
// the node ids, which depend on the order endpoints are first named and
// so are given out first, in that order.
struct GraphShape {
    explicit GraphShape(const Plan &plan);

    QList<const Transition *> kept;
    QHash<QString, int> sharedTriggers;
    QHash<QString, QString> ids;

private:
    void keepEdges(const Plan &plan);
    void nameNodes(const Plan &plan);
};

namespace {

// The graph's lines are made on every core.
class Graph {
public:
    Graph(const Plan &plan, bool links, const PlanIndex::Scope &scope);
    QString text() const;

private:
    QString label(const QString &text) const;
    QString words(const QString &text) const;
    QString entity(QChar c) const;
    QString nodeId(const QString &endpoint) const;
    QString edgeLabel(const Transition &transition) const;
    QStringList entryPoints() const;
    QStringList screenNode(const Screen &screen) const;
    QString edge(const Transition &transition) const;
    QStringList linesOf(qsizetype count, const std::function<void(qsizetype, QStringList &)> &make) const;

    const Plan &m_plan;
    const PlanIndex::Scope &m_scope;
    const bool m_links;
    const PlanIndex &m_index;
    const GraphShape &m_shape;
};

Graph::Graph(const Plan &plan, bool links, const PlanIndex::Scope &scope)
    : m_plan(plan)
    , m_scope(scope)
    , m_links(links)
    , m_index(*PlanIndex::active(plan))
    , m_shape(m_index.graphShape())
{
}

// The lines of items [0, count) made a few dozen at a time on every core,
// in order, each thread looking up through the graph's plan index.
QStringList Graph::linesOf(qsizetype count, const std::function<void(qsizetype, QStringList &)> &make) const
{
    constexpr qsizetype perPiece = 64;
    const QList<QStringList> pieces = Parallel::map<QStringList>((count + perPiece - 1) / perPiece, [&](qsizetype piece) {
        const PlanIndex::Scope shared(m_plan, m_scope);
        QStringList lines;
        for (qsizetype at = piece * perPiece; at < std::min(count, (piece + 1) * perPiece); ++at)
            make(at, lines);
        return lines;
    });
    QStringList lines;
    for (const QStringList &piece : pieces)
        lines += piece;
    return lines;
}

QString Graph::text() const
{
    QStringList lines{QStringLiteral("flowchart TD")};
    lines += entryPoints();
    lines += linesOf(m_plan.screens.size(), [this](qsizetype at, QStringList &out) { out += screenNode(m_plan.screens[at]); });
    lines << QStringLiteral("  classDef cond stroke-dasharray: 4 3");
    lines += linesOf(m_shape.kept.size(), [this](qsizetype at, QStringList &out) { out.append(edge(*m_shape.kept[at])); });
    return lines.join(u'\n');
}

// Mermaid reads a quotation mark as the end of the label and a line break
// (a carriage return too) as the end of the statement; anywhere in its
// text it reads "%%" as a comment or a directive that configures the whole
// graph, "#name;" as an entity and a backtick as the start of Markdown.
// Plan texts stay text: those characters are written as entities, the
// library's own in the document and HTML's on the page, where the label is
// HTML as well and plan texts are escaped so they add no markup of their
// own (and no "#" is left for the library to read).
QString Graph::label(const QString &text) const
{
    QString oneLine = text;
    oneLine.replace(u'"', u'\'');
    for (const QChar lineBreak : {QChar(u'\n'), QChar(u'\r'), QChar(0x2028), QChar(0x2029)})
        oneLine.replace(lineBreak, u' ');
    const QString escaped = m_links ? HTMLPage::escape(oneLine) : oneLine;
    QString out;
    out.reserve(escaped.size());
    for (const QChar c : escaped) {
        if (c == u'#' || c == u'%' || c == u'`')
            out += entity(c);
        else
            out += c;
    }
    return out;
}

// A box or a move's words in the graph are a name, not the text in full
// (the card has that): a title of thousands of characters would make one
// box wider than the whole drawing.
QString Graph::words(const QString &text) const
{
    constexpr qsizetype longest = 120;
    if (Text::graphemeCount(text) <= longest)
        return label(text);
    return label(Text::graphemePrefix(text, longest - 1) + u'…');
}

QString Graph::entity(QChar c) const
{
    if (m_links)
        return c == u'#' ? QStringLiteral("&num;") : c == u'%' ? QStringLiteral("&percnt;") : QStringLiteral("&grave;");
    return u'#' + QString::number(c.unicode()) + u';';
}

QString Graph::nodeId(const QString &endpoint) const
{
    return m_shape.ids.value(Text::canonicalKey(endpoint));
}

QString idStem(const QString &endpoint)
{
    const bool outside = endpoint.startsWith(u'@');
    QString base = outside ? QStringLiteral("ext_") : QStringLiteral("s_");
    for (const QString &character : Text::graphemes(outside ? endpoint.mid(1) : endpoint))
        base += Text::isLetterOrNumber(character) ? character : QStringLiteral("_");
    return base;
}

} // namespace

GraphShape::GraphShape(const Plan &plan)
{
    keepEdges(plan);
    nameNodes(plan);
}

// Keys that differ only in punctuation would share one node; a later key
// gets the next free "_2", "_3", … so every endpoint keeps its own node.
// "Later" is in the order the lines name them: the outside places, the
// screens, then the moves' ends.
void GraphShape::nameNodes(const Plan &plan)
{
    QStringList endpoints;
    for (const Transition *transition : std::as_const(kept)) {
        for (const QString &endpoint : {transition->from, transition->to})
            if (endpoint.startsWith(u'@'))
                endpoints.append(endpoint);
    }
    for (const Screen &screen : plan.screens)
        endpoints.append(screen.key);
    for (const Transition *transition : std::as_const(kept))
        endpoints << transition->from << transition->to;

    const QStringList keys =
        Parallel::map<QString>(endpoints.size(), [&endpoints](qsizetype at) { return Text::canonicalKey(endpoints.at(at)); });
    QList<qsizetype> firsts;
    QSet<QString> seen;
    for (qsizetype at = 0; at < keys.size(); ++at) {
        if (!seen.contains(keys[at])) {
            seen.insert(keys[at]);
            firsts.append(at);
        }
    }
    const QStringList stems =
        Parallel::map<QString>(firsts.size(), [&](qsizetype at) { return idStem(endpoints.at(firsts.at(at))); });
    QSet<QString> used;
    for (qsizetype at = 0; at < firsts.size(); ++at) {
        QString id = stems[at];
        for (int n = 2; used.contains(id); ++n)
            id = stems[at] + u'_' + QString::number(n);
        used.insert(id);
        ids.insert(keys[firsts[at]], id);
    }
}

void GraphShape::keepEdges(const Plan &plan)
{
    QSet<std::pair<QString, QString>> forward;
    for (const Transition &transition : plan.transitions)
        if (!isBackMove(transition))
            forward.insert({Text::canonicalKey(transition.from), Text::canonicalKey(transition.to)});

    for (const Transition &transition : plan.transitions) {
        const bool returns = isBackMove(transition) && !transition.popUpTo
            && forward.contains({Text::canonicalKey(transition.to), Text::canonicalKey(transition.from)});
        if (returns)
            continue;
        kept.append(&transition);
        ++sharedTriggers[sourceKey(transition)];
    }
}

namespace {

QStringList Graph::entryPoints() const
{
    QStringList lines;
    QSet<QString> written;
    for (const Transition *transition : std::as_const(m_shape.kept)) {
        for (const QString &endpoint : {transition->from, transition->to}) {
            if (!endpoint.startsWith(u'@'))
                continue;
            const QString key = Text::canonicalKey(endpoint);
            if (written.contains(key))
                continue;
            written.insert(key);
            lines << QStringLiteral("  ") + nodeId(endpoint) + QStringLiteral("([\"") + words(placeName(endpoint))
                    + QStringLiteral("\"])");
        }
    }
    return lines;
}

QStringList Graph::screenNode(const Screen &screen) const
{
    QStringList lines;
    const QString id = nodeId(screen.key);
    const QString title = words(screen.title);
    const QString name = words(shortName(screen, m_plan.meta.feature));
    const QString image = PageText::imageSource(screen.image.before).value_or(QString());

    if (m_links && !image.isEmpty()) {
        QString source = label(image);
        source.replace(u'\'', QLatin1String("&apos;"));
        QString small = name;
        const QString word = kindWord(screen.kind);
        if (!word.isEmpty())
            small += QStringLiteral(" · ") + word;
        lines << QStringLiteral("  ") + id + QStringLiteral("[\"<img class='gimg' alt='' ") + PageText::imageAttribute(image)
                + QStringLiteral("='") + source
                + QStringLiteral("' width='52' height='112' style='width:52px;height:112px;object-fit:cover;object-position:top'/><br/>")
                + title + QStringLiteral("<br/><small>") + small + QStringLiteral("</small>\"]");
    } else {
        const auto [open, close] = shape(screen.kind);
        lines << QStringLiteral("  ") + id + open + u'"' + title + QStringLiteral("<br/><small>") + name
                + QStringLiteral("</small>\"") + close;
    }

    if (screen.condition && !screen.condition->text.isEmpty())
        lines << QStringLiteral("  class ") + id + QStringLiteral(" cond");
    if (m_links)
        lines << QStringLiteral("  click ") + id + QStringLiteral(" href \"#s-") + anchorTarget(screen.key) + u'"';
    return lines;
}

QString Graph::edgeLabel(const Transition &transition) const
{
    const bool shared = m_shape.sharedTriggers.value(sourceKey(transition)) >= 2;
    if (shared && transition.condition && !transition.condition->isEmpty())
        return *transition.condition;
    return m_index.triggerLabel(transition);
}

// Mermaid refuses the whole graph for an empty label: a move without a
// trigger (an automatic one, such as a splash screen going on) is drawn
// without one.
QString Graph::edge(const Transition &transition) const
{
    const QString arrow = isBackMove(transition) ? QStringLiteral("-.->") : QStringLiteral("-->");
    const QString text = words(edgeLabel(transition));
    const QString shown = isBlank(text) ? QString() : QStringLiteral("|\"") + text + QStringLiteral("\"|");
    return QStringLiteral("  ") + nodeId(transition.from) + u' ' + arrow + shown + u' ' + nodeId(transition.to);
}

} // namespace

QString mermaid(const Plan &plan, bool links)
{
    const PlanIndex::Scope index(plan);
    return Graph(plan, links, index).text();
}

} // namespace Exporter

const Exporter::GraphShape &PlanIndex::graphShape() const
{
    std::call_once(m_graphMade, [this] { m_graph = std::make_shared<const Exporter::GraphShape>(m_plan); });
    return *m_graph;
}
