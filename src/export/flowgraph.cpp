#include "export/exporter.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

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
    const auto isUnsafe = [](QChar c) {
        return c == u'"' || c == u'%' || c == u'#' || c.isSpace() || c.category() == QChar::Other_Control;
    };
    // Most keys are safe as they are and are shared.
    if (std::none_of(key.cbegin(), key.cend(), isUnsafe))
        return key;
    QString out;
    for (const QChar c : key) {
        const bool unsafe = isUnsafe(c);
        if (!unsafe) {
            out += c;
            continue;
        }
        for (const char byte : QString(c).toUtf8())
            out += QString::asprintf("%%%02X", unsigned(quint8(byte)));
    }
    return out;
}

// Whether trimming would leave nothing, without making the trimmed copy.
bool isBlank(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSpace(); });
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

} // namespace

// What the graph's lines are made from, the same for the page and the
// document: the moves drawn, each with the ids of its ends and the words it
// is drawn with, every screen's id and the outside places the moves name.
// The node ids depend on the order endpoints are first named and so are
// given out first, in that order. Every endpoint's key is looked up here
// once, not once for each line of each of the two graphs.
struct GraphShape {
    explicit GraphShape(const Plan &plan);

    // The ends are numbers of nodes in `ids`.
    struct Move {
        int from = 0;
        int to = 0;
        bool back = false;
        // Before they are made the line's label.
        QString words;
    };
    // An outside place as the moves first name it, and its node.
    struct Place {
        QString endpoint;
        int node = 0;
    };

    QStringList ids;
    QList<Move> moves;
    QList<int> screenNodes;
    QList<Place> places;
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
    void entryPoints(QString &out) const;
    void screenNode(const Screen &screen, const QString &id, QString &out) const;
    void edge(const GraphShape::Move &move, QString &out) const;
    QStringList piecesOf(qsizetype count, const std::function<void(qsizetype, QString &)> &make) const;

    const Plan &m_plan;
    const PlanIndex::Scope &m_scope;
    const bool m_links;
    const GraphShape &m_shape;
};

Graph::Graph(const Plan &plan, bool links, const PlanIndex::Scope &scope)
    : m_plan(plan)
    , m_scope(scope)
    , m_links(links)
    , m_shape(PlanIndex::active(plan)->graphShape())
{
}

// The lines of items [0, count) made a few dozen at a time on every core,
// each thread looking up through the graph's plan index: a piece holds its
// lines in order, each after a line break.
QStringList Graph::piecesOf(qsizetype count, const std::function<void(qsizetype, QString &)> &make) const
{
    constexpr qsizetype perPiece = 64;
    return Parallel::map<QString>((count + perPiece - 1) / perPiece, [&](qsizetype piece) {
        const PlanIndex::Scope shared(m_plan, m_scope);
        QString lines;
        const qsizetype first = piece * perPiece;
        const qsizetype end = std::min(count, first + perPiece);
        for (qsizetype at = first; at < end; ++at) {
            make(at, lines);
            // The piece's other items take about as much room as its first.
            if (at == first)
                lines.reserve(lines.size() * (end - first + 1));
        }
        return lines;
    });
}

QString Graph::text() const
{
    QString head = QStringLiteral("flowchart TD");
    entryPoints(head);
    const QStringList screens = piecesOf(m_plan.screens.size(), [this](qsizetype at, QString &out) {
        screenNode(m_plan.screens[at], m_shape.ids[m_shape.screenNodes[at]], out);
    });
    const QString classes = QStringLiteral("\n  classDef cond stroke-dasharray: 4 3");
    const QStringList edges =
        piecesOf(m_shape.moves.size(), [this](qsizetype at, QString &out) { edge(m_shape.moves[at], out); });

    qsizetype size = head.size() + classes.size();
    for (const QStringList *pieces : {&screens, &edges})
        for (const QString &piece : *pieces)
            size += piece.size();
    QString text;
    text.reserve(size);
    text += head;
    for (const QString &piece : screens)
        text += piece;
    text += classes;
    for (const QString &piece : edges)
        text += piece;
    return text;
}

// Mermaid reads a quotation mark as the end of the label and a line break
// (a carriage return too) as the end of the statement; anywhere in its
// text it reads "%%" as a comment or a directive that configures the whole
// graph, "#name;" as an entity and a backtick as the start of Markdown, and
// it turns its own stand-ins for entities ("\uFB02\u00B0" … "\u00B6\u00DF")
// back into "&" and ";" wherever they are. In the document's graph those
// characters are written as the library's own entities, and a quotation
// mark as an apostrophe. The page's graph is never given to the library
// as it is: the page reads its labels as HTML (plan texts escaped, so they
// add no markup of their own) and gives the library stand-ins of their
// size; its lines are the document's, "#", "%" and backticks written as
// HTML's entities.
QString Graph::label(const QString &text) const
{
    // Most texts hold none of those characters, nor any that HTML escapes,
    // and are shared as they are.
    const auto plain = [](QChar c) {
        const char16_t u = c.unicode();
        if (u > u'`')
            return u != 0x2028 && u != 0x2029 && u != 0xFB02 && u != 0xB6;
        return u != u'"' && u != u'\n' && u != u'\r' && u != u'#' && u != u'%' && u != u'`';
    };
    if (std::all_of(text.cbegin(), text.cend(), plain)) {
        if (!m_links)
            return text;
        const QString escaped = HTMLPage::escape(text);
        if (escaped.constData() == text.constData())
            return text;
    }

    QString oneLine = text;
    oneLine.replace(u'"', u'\'');
    for (const QChar lineBreak : {QChar(u'\n'), QChar(u'\r'), QChar(0x2028), QChar(0x2029)})
        oneLine.replace(lineBreak, u' ');
    const QString escaped = m_links ? HTMLPage::escape(oneLine) : oneLine;
    // Breaking the library's stand-ins at their first character is enough:
    // "\u00B0" and "\u00DF" read as themselves without it.
    const auto standIn = [this](QChar c) { return !m_links && (c == QChar(0xFB02) || c == QChar(0xB6)); };
    QString out;
    out.reserve(escaped.size());
    for (const QChar c : escaped) {
        if (c == u'#' || c == u'%' || c == u'`' || standIn(c))
            out += entity(c);
        else
            out += c;
    }
    return out;
}

// A box or a move's words in the graph are a name, not the text in full
// (the card has that): a title of thousands of characters would make one
// box wider than the whole drawing. A text no longer in code units than
// that is no longer in characters either.
QString Graph::words(const QString &text) const
{
    constexpr qsizetype longest = 120;
    if (text.size() <= longest || Text::graphemeCount(text) <= longest)
        return label(text);
    return label(Text::graphemePrefix(text, longest - 1) + u'…');
}

QString Graph::entity(QChar c) const
{
    if (m_links)
        return c == u'#' ? QStringLiteral("&num;") : c == u'%' ? QStringLiteral("&percnt;") : QStringLiteral("&grave;");
    return u'#' + QString::number(c.unicode()) + u';';
}

QString idStem(const QString &endpoint)
{
    const bool outside = endpoint.startsWith(u'@');
    QString base = outside ? QStringLiteral("ext_") : QStringLiteral("s_");
    const QString name = outside ? endpoint.mid(1) : endpoint;
    // A name of as many characters as code units, as most keys are, is
    // taken a code unit at a time without cutting it into strings.
    if (Text::graphemeCount(name) == name.size()) {
        base.reserve(base.size() + name.size());
        for (const QChar c : name)
            base += QChar::isLetterOrNumber(c.unicode()) ? c : QChar(u'_');
        return base;
    }
    for (const QString &character : Text::graphemes(name))
        base += Text::isLetterOrNumber(character) ? character : QStringLiteral("_");
    return base;
}

quint64 nodePair(int from, int to)
{
    return (quint64(quint32(from)) << 32) | quint32(to);
}

} // namespace

// Canonically equal keys are one node. Keys that differ only in punctuation
// would share one id; a later key gets the next free "_2", "_3", … so every
// endpoint keeps its own node. "Later" is in the order the lines name them:
// the outside places, the screens, then the moves' ends.
GraphShape::GraphShape(const Plan &plan)
{
    const QList<Screen> &screens = plan.screens;
    const QList<Transition> &transitions = plan.transitions;

    // Each canonical key gets a node number when first met: the screens'
    // first, so that a node's first screen is the first in plan order with
    // its key, as a move's trigger label wants.
    const QStringList screenKeys =
        Parallel::map<QString>(screens.size(), [&](qsizetype at) { return Text::canonicalKey(screens.at(at).key); });
    const QList<std::pair<QString, QString>> endKeys =
        Parallel::map<std::pair<QString, QString>>(transitions.size(), [&](qsizetype at) {
            const Transition &transition = transitions.at(at);
            return std::pair{Text::canonicalKey(transition.from), Text::canonicalKey(transition.to)};
        });
    QHash<QString, int> nodeAt;
    nodeAt.reserve(screens.size() + transitions.size());
    QList<qsizetype> firstScreen;
    const auto nodeOf = [&](const QString &key) {
        int &slot = nodeAt[key];
        if (slot == 0) {
            slot = int(nodeAt.size());
            firstScreen.append(-1);
        }
        return slot - 1;
    };
    screenNodes.resize(screens.size());
    for (qsizetype at = 0; at < screens.size(); ++at) {
        const int node = nodeOf(screenKeys.at(at));
        screenNodes[at] = node;
        if (firstScreen[node] < 0)
            firstScreen[node] = at;
    }
    QList<int> fromNodes(transitions.size());
    QList<int> toNodes(transitions.size());
    for (qsizetype at = 0; at < transitions.size(); ++at) {
        fromNodes[at] = nodeOf(endKeys.at(at).first);
        toNodes[at] = nodeOf(endKeys.at(at).second);
    }
    const qsizetype nodeCount = firstScreen.size();

    // A back move that returns along a move drawn forward is left out.
    QSet<quint64> forward;
    forward.reserve(transitions.size());
    for (qsizetype at = 0; at < transitions.size(); ++at)
        if (!isBackMove(transitions.at(at)))
            forward.insert(nodePair(fromNodes[at], toNodes[at]));
    QList<qsizetype> kept;
    for (qsizetype at = 0; at < transitions.size(); ++at) {
        const Transition &transition = transitions.at(at);
        const bool returns = isBackMove(transition) && !transition.popUpTo
            && forward.contains(nodePair(toNodes[at], fromNodes[at]));
        if (!returns)
            kept.append(at);
    }

    // How many drawn moves share each start and trigger: only a move with
    // a condition asks, so they are counted only when one has.
    const auto hasCondition = [&transitions](qsizetype index) {
        const std::optional<QString> &condition = transitions.at(index).condition;
        return condition && !condition->isEmpty();
    };
    QList<int> sharing;
    QList<int> sourceOf;
    if (std::any_of(kept.cbegin(), kept.cend(), hasCondition)) {
        const QStringList sources = Parallel::map<QString>(kept.size(), [&](qsizetype at) -> QString {
            return endKeys.at(kept[at]).first + QChar(0) + Text::canonicalKey(transitions.at(kept[at]).trigger);
        });
        QHash<QString, int> sourceAt;
        sourceAt.reserve(kept.size());
        sourceOf.resize(kept.size());
        for (qsizetype at = 0; at < kept.size(); ++at) {
            int &slot = sourceAt[sources[at]];
            if (slot == 0) {
                slot = int(sourceAt.size());
                sharing.append(0);
            }
            sourceOf[at] = slot - 1;
            ++sharing[slot - 1];
        }
    }

    // The nodes in the order the lines first name them, each with the
    // endpoint it is first named by; the outside places come first.
    std::vector<bool> named(nodeCount, false);
    QList<int> order;
    QList<const QString *> namedBy;
    const auto name = [&](int node, const QString &endpoint) {
        if (named[node])
            return false;
        named[node] = true;
        order.append(node);
        namedBy.append(&endpoint);
        return true;
    };
    for (const qsizetype at : std::as_const(kept)) {
        const Transition &transition = transitions.at(at);
        if (transition.from.startsWith(u'@') && name(fromNodes[at], transition.from))
            places.append({transition.from, fromNodes[at]});
        if (transition.to.startsWith(u'@') && name(toNodes[at], transition.to))
            places.append({transition.to, toNodes[at]});
    }
    for (qsizetype at = 0; at < screens.size(); ++at)
        name(screenNodes[at], screens.at(at).key);
    for (const qsizetype at : std::as_const(kept)) {
        name(fromNodes[at], transitions.at(at).from);
        name(toNodes[at], transitions.at(at).to);
    }

    const QStringList stems = Parallel::map<QString>(order.size(), [&](qsizetype at) { return idStem(*namedBy.at(at)); });
    ids.resize(nodeCount);
    QSet<QString> used;
    used.reserve(order.size());
    for (qsizetype at = 0; at < order.size(); ++at) {
        QString id = stems[at];
        for (int n = 2; used.contains(id); ++n)
            id = stems[at] + u'_' + QString::number(n);
        used.insert(id);
        ids[order[at]] = id;
    }

    // A move that shares its start and trigger with another shows its
    // condition, if it has one; any other its trigger's label.
    moves = Parallel::map<Move>(kept.size(), [&](qsizetype at) {
        const qsizetype index = kept.at(at);
        const Transition &transition = transitions.at(index);
        Move move;
        move.from = fromNodes.at(index);
        move.to = toNodes.at(index);
        move.back = isBackMove(transition);
        if (hasCondition(index) && sharing.at(sourceOf.at(at)) >= 2) {
            move.words = *transition.condition;
        } else {
            const qsizetype source = firstScreen.at(fromNodes.at(index));
            move.words = PlanIndex::triggerLabel(transition, source < 0 ? nullptr : &screens.at(source));
        }
        return move;
    });
}

namespace {

void Graph::entryPoints(QString &out) const
{
    for (const GraphShape::Place &place : m_shape.places)
        out += QStringLiteral("\n  ") + m_shape.ids[place.node] + QStringLiteral("([\"") + words(placeName(place.endpoint))
            + QStringLiteral("\"])");
}

void Graph::screenNode(const Screen &screen, const QString &id, QString &out) const
{
    const QString title = words(screen.title);
    const QString name = words(shortName(screen, m_plan.meta.feature));
    // Only the page shows pictures.
    const QString image = m_links ? PageText::imageSource(screen.image.before).value_or(QString()) : QString();

    if (!image.isEmpty()) {
        // The path is an attribute of the label's markup, read by the page
        // alone: escaped as such, its quotation marks kept (as a label's
        // are not), and a line or paragraph separator written as a
        // reference, so the label stays on one line of the graph's text.
        QString source = HTMLPage::escape(image);
        source.replace(u'\'', QLatin1String("&apos;"))
            .replace(QChar(0x2028), QLatin1String("&#8232;"))
            .replace(QChar(0x2029), QLatin1String("&#8233;"));
        QString small = name;
        const QString word = kindWord(screen.kind);
        if (!word.isEmpty())
            small += QStringLiteral(" · ") + word;
        out += QStringLiteral("\n  ") + id + QStringLiteral("[\"<img class='gimg' alt='' ") + PageText::imageAttribute(image)
            + QStringLiteral("='") + source
            + QStringLiteral("' width='52' height='112' style='width:52px;height:112px;object-fit:cover;object-position:top'/><br/>")
            + title + QStringLiteral("<br/><small>") + small + QStringLiteral("</small>\"]");
    } else {
        const auto [open, close] = shape(screen.kind);
        out += QStringLiteral("\n  ") + id + open + u'"' + title + QStringLiteral("<br/><small>") + name
            + QStringLiteral("</small>\"") + close;
    }

    if (screen.condition && !screen.condition->text.isEmpty())
        out += QStringLiteral("\n  class ") + id + QStringLiteral(" cond");
    if (m_links)
        out += QStringLiteral("\n  click ") + id + QStringLiteral(" href \"#s-") + anchorTarget(screen.key) + u'"';
}

// Mermaid refuses the whole graph for an empty label: a move without a
// trigger (an automatic one, such as a splash screen going on) is drawn
// without one.
void Graph::edge(const GraphShape::Move &move, QString &out) const
{
    const QLatin1String arrow = move.back ? QLatin1String("-.->") : QLatin1String("-->");
    const QString &from = m_shape.ids[move.from];
    const QString &to = m_shape.ids[move.to];
    const QString text = words(move.words);
    if (isBlank(text))
        out += QStringLiteral("\n  ") + from + u' ' + arrow + u' ' + to;
    else
        out += QStringLiteral("\n  ") + from + u' ' + arrow + QStringLiteral("|\"") + text + QStringLiteral("\"| ") + to;
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
