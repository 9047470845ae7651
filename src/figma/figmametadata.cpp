#include "figma/figmametadata.h"

#include "claude/streamcollector.h"
#include "core/text.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>
#include <QXmlStreamReader>
#include <algorithm>
#include <cmath>

namespace FigmaMetadata {

namespace {

// A whole decimal literal such as 12, -3.5, .5 or 1e3: no white space, no
// unit, nothing after it.
double number(QStringView text)
{
    static const QRegularExpression literal(QStringLiteral("^[+-]?(?:[0-9]+\\.?[0-9]*|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?$"));
    if (!literal.match(text).hasMatch())
        return 0;
    bool ok = false;
    const double value = QLocale::c().toDouble(text, &ok);
    // An infinite size would make the section impossible to write back.
    return ok && std::isfinite(value) ? value : 0;
}

Node makeNode(const QString &tag, const QXmlStreamAttributes &a)
{
    Node node;
    node.tag = tag;
    node.id = a.value(QStringLiteral("id")).toString();
    node.name = a.value(QStringLiteral("name")).toString();
    node.x = number(a.value(QStringLiteral("x")));
    node.y = number(a.value(QStringLiteral("y")));
    node.w = number(a.value(QStringLiteral("width")));
    node.h = number(a.value(QStringLiteral("height")));
    node.hidden = a.value(QStringLiteral("hidden")) == QLatin1String("true");
    return node;
}

std::optional<QByteArray> readSavedResult(const QString &path)
{
    // Only a plain file of bounded size: a device or a pipe named in a tool
    // result must not block or exhaust memory.
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > maxSavedResultSize)
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray content = file.read(maxSavedResultSize + 1);
    if (content.size() > maxSavedResultSize || file.error() != QFileDevice::NoError)
        return std::nullopt;
    return content;
}

// The "text" parts of a JSON array of objects, joined; nothing when the
// content is not such an array.
std::optional<QString> joinedTextParts(const QByteArray &content)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return std::nullopt;
    const QJsonArray parts = doc.array();
    if (!std::all_of(parts.begin(), parts.end(), [](const QJsonValue &v) { return v.isObject(); }))
        return std::nullopt;
    QString joined;
    for (const QJsonValue &part : parts) {
        const QJsonValue text = part.toObject().value(QStringLiteral("text"));
        if (text.isString())
            joined += text.toString();
    }
    return joined;
}

std::optional<QString> outlineFromSavedResult(const QString &path)
{
    const auto content = readSavedResult(path);
    if (!content)
        return std::nullopt;
    if (const auto joined = joinedTextParts(*content))
        return trimmed(*joined);
    if (const auto text = Text::decodeUtf8Strict(*content))
        return trimmed(*text);
    return std::nullopt;
}

// A node whose position is the top-left corner of its children places them
// in its parent's coordinates.
bool isGroup(const Tree &tree, const Node &node)
{
    if (node.children.isEmpty() || node.tag == QLatin1String("section"))
        return false;
    double minX = tree.nodes.at(node.children.first()).x;
    double minY = tree.nodes.at(node.children.first()).y;
    for (const qsizetype child : node.children) {
        minX = std::min(minX, tree.nodes.at(child).x);
        minY = std::min(minY, tree.nodes.at(child).y);
    }
    return node.x == minX && node.y == minY;
}

struct Pending {
    qsizetype node;
    double ox;
    double oy;
};

// Pushes children so that they are taken off the stack in document order.
void pushChildren(QList<Pending> &stack, const Node &parent, double ox, double oy)
{
    for (auto it = parent.children.crbegin(); it != parent.children.crend(); ++it)
        stack.append(Pending{*it, ox, oy});
}

TextBox boxFor(const Node &node, const QString &name, double x, double y)
{
    return TextBox{node.id, name, std::nullopt, x, y, node.w, node.h};
}

// Depth first, children in document order, positions relative to the frame.
QList<TextBox> frameBoxes(const Tree &tree, const Node &frame)
{
    static const QString componentPrefix = QStringLiteral("[컴포넌트] ");
    QList<TextBox> boxes;
    QList<Pending> stack;
    pushChildren(stack, frame, 0, 0);
    while (!stack.isEmpty()) {
        const Pending next = stack.takeLast();
        const Node &c = tree.nodes.at(next.node);
        if (c.hidden)
            continue;
        const double x = next.ox + c.x;
        const double y = next.oy + c.y;
        if (c.tag == QLatin1String("text")) {
            boxes.append(boxFor(c, c.name, x, y));
        } else if (c.tag == QLatin1String("instance") && c.children.isEmpty()) {
            if (c.w >= 40 && c.h >= 16)
                boxes.append(boxFor(c, componentPrefix + c.name, x, y));
        } else if (isGroup(tree, c)) {
            pushChildren(stack, c, next.ox, next.oy);
        } else {
            pushChildren(stack, c, x, y);
        }
    }
    return boxes;
}

bool isContainer(const Node &node)
{
    return node.tag == QLatin1String("section") || node.tag == QLatin1String("canvas");
}

} // namespace

QString trimmed(const QString &text)
{
    static const QRegularExpression opening(QStringLiteral("<([a-z-]+)"));
    const QRegularExpressionMatch match = opening.match(text);
    if (!match.hasMatch())
        return text;
    const QString tail = text.mid(match.capturedStart());
    const QString closing = QStringLiteral("</") + match.captured(1) + QLatin1Char('>');
    const qsizetype end = tail.lastIndexOf(closing);
    return end < 0 ? tail : tail.left(end + closing.size());
}

std::optional<QString> xmlFromToolResult(const QString &toolResult)
{
    // A large result reaches the stream as a short preview that names the
    // file holding the whole result; the preview may itself hold the start
    // of the outline, so the file is looked for first.
    if (bool whole = true; const std::optional<QString> path = StreamCollector::savedResultPath(toolResult, &whole)) {
        // A file that holds only the outline's start is no outline.
        if (!whole)
            return std::nullopt;
        if (std::optional<QString> saved = outlineFromSavedResult(*path))
            return saved;
    }
    if (toolResult.contains(QLatin1String("<section")) || toolResult.contains(QLatin1String("<frame")))
        return trimmed(toolResult);
    return std::nullopt;
}

Tree parse(const QString &outline)
{
    Tree tree;
    QList<qsizetype> open;
    QXmlStreamReader reader(outline.toUtf8());
    reader.setNamespaceProcessing(false);
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            const qsizetype index = tree.nodes.size();
            tree.nodes.append(makeNode(reader.qualifiedName().toString(), reader.attributes()));
            if (open.isEmpty())
                tree.roots.append(index);
            else
                tree.nodes[open.last()].children.append(index);
            open.append(index);
            break;
        }
        case QXmlStreamReader::EndElement:
            if (!open.isEmpty())
                open.removeLast();
            break;
        default:
            break;
        }
    }
    return tree;
}

QMap<QString, QList<TextBox>> textBoxes(const QString &outline)
{
    const Tree tree = parse(outline);
    QMap<QString, QList<TextBox>> result;
    QList<qsizetype> stack(tree.roots.crbegin(), tree.roots.crend());
    while (!stack.isEmpty()) {
        const Node &node = tree.nodes.at(stack.takeLast());
        if (isContainer(node)) {
            for (auto it = node.children.crbegin(); it != node.children.crend(); ++it)
                stack.append(*it);
            continue;
        }
        QList<TextBox> boxes = frameBoxes(tree, node);
        if (!boxes.isEmpty())
            result.insert(node.id, std::move(boxes));
    }
    return result;
}

} // namespace FigmaMetadata
