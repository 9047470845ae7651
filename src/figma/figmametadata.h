#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <optional>

#include "figma/figmasection.h"

// Reader of the layer outline (XML) that the design service's MCP tool
// "get_metadata" answers with. Nothing here fails: what cannot be read gives
// no text, an empty tree or an empty map.
namespace FigmaMetadata {

// One element of the outline. Number attributes that are missing or not a
// plain floating-point literal read as 0.
struct Node {
    QString tag;
    QString id;
    QString name;
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;
    bool hidden = false;
    // Indices into the owning Tree's nodes, in document order.
    QList<qsizetype> children;
};

// Every element of an outline, in document order. Kept flat so that no
// walk over an arbitrarily deep outline needs the call stack.
struct Tree {
    QList<Node> nodes;
    QList<qsizetype> roots;
};

// The largest saved tool result that is read.
inline constexpr qint64 maxSavedResultSize = 64 * 1024 * 1024;

// The outline inside one tool result, or inside the file the result says it
// was saved to.
std::optional<QString> xmlFromToolResult(const QString &toolResult);

// The first element cut out of surrounding text, or the text unchanged when
// it holds no tag.
QString trimmed(const QString &text);

// The element tree; at the first XML error parsing stops and what was
// started before it stays.
Tree parse(const QString &outline);

// The text boxes of each screen frame, by frame id. Only frames with at
// least one box have an entry; a later frame with the same id wins.
QMap<QString, QList<TextBox>> textBoxes(const QString &outline);

} // namespace FigmaMetadata
