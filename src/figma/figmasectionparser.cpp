#include "figma/figmasectionparser.h"

#include "core/text.h"

#include <QJsonArray>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace FigmaSectionParser {

namespace {

// A node's box in page coordinates.
struct Box {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;
};

// A small labelled group above a frame, alive for one parse only.
struct Chip {
    QString label;
    QString text;
    Box box; // section-relative
};

// Chips this low or lower are label candidates; frames are at least this big.
constexpr double chipMaxHeight = 80;
constexpr double frameMinSide = 200;
// A chip narrower than this still reaches this far to the right.
constexpr double chipMinReach = 40;
// A frame's top may start this far above a chip's bottom...
constexpr double chipOverlapAbove = 8;
// ...and must start less than this far below it.
constexpr double chipReachBelow = 240;
constexpr double rowHeight = 700;
constexpr qsizetype maxFrameTexts = 120;

QString string(const QJsonObject &node, QLatin1StringView key)
{
    return node.value(key).toString();
}

Box box(const QJsonObject &node)
{
    const QJsonObject b = node.value(QLatin1StringView("absoluteBoundingBox")).toObject();
    return {b.value(QLatin1StringView("x")).toDouble(), b.value(QLatin1StringView("y")).toDouble(),
            b.value(QLatin1StringView("width")).toDouble(), b.value(QLatin1StringView("height")).toDouble()};
}

// A list that holds anything but objects counts as no children at all.
QJsonArray children(const QJsonObject &node)
{
    const QJsonValue value = node.value(QLatin1StringView("children"));
    if (!value.isArray())
        return {};
    QJsonArray list = value.toArray();
    for (const QJsonValue &child : list)
        if (!child.isObject())
            return {};
    return list;
}

bool hidden(const QJsonObject &node)
{
    const QJsonValue visible = node.value(QLatin1StringView("visible"));
    return visible.isBool() && !visible.toBool();
}

bool isText(const QJsonObject &node)
{
    return string(node, QLatin1StringView("type")) == QLatin1StringView("TEXT");
}

// Depth-first in layer order over the node's descendants, leaving out hidden
// nodes with everything under them. Kept iterative: nesting depth is the
// design file's, not ours.
template<typename Visit>
void walkBelow(const QJsonObject &node, Visit visit)
{
    struct Level {
        QJsonArray nodes;
        qsizetype next = 0;
    };
    std::vector<Level> stack;
    stack.push_back({children(node), 0});
    while (!stack.empty()) {
        Level &level = stack.back();
        if (level.next == level.nodes.size()) {
            stack.pop_back();
            continue;
        }
        const QJsonObject current = level.nodes.at(level.next++).toObject();
        if (hidden(current))
            continue;
        visit(current);
        QJsonArray below = children(current);
        if (!below.isEmpty())
            stack.push_back({std::move(below), 0});
    }
}

// The node and its descendants, in the same order and with the same rule.
template<typename Visit>
void walkFrom(const QJsonObject &node, Visit visit)
{
    if (hidden(node))
        return;
    visit(node);
    walkBelow(node, visit);
}

// The trimmed, non-empty texts of the node's visible text layers; a text
// equal to the one just before it is dropped.
QStringList collectTexts(const QJsonObject &node)
{
    QStringList texts;
    walkFrom(node, [&texts](const QJsonObject &current) {
        if (!isText(current))
            return;
        const QJsonValue characters = current.value(QLatin1StringView("characters"));
        if (!characters.isString())
            return;
        const QString text = characters.toString().trimmed();
        if (text.isEmpty() || (!texts.isEmpty() && Text::canonicalEqual(texts.last(), text)))
            return;
        texts.append(text);
    });
    return texts;
}

// Every visible text layer below the frame, placed relative to its box.
QList<TextBox> textBoxes(const QJsonObject &frame, const Box &origin)
{
    QList<TextBox> boxes;
    walkBelow(frame, [&](const QJsonObject &current) {
        if (!isText(current))
            return;
        const Box b = box(current);
        TextBox textBox;
        textBox.id = string(current, QLatin1StringView("id"));
        textBox.name = string(current, QLatin1StringView("name"));
        const QJsonValue characters = current.value(QLatin1StringView("characters"));
        if (characters.isString())
            textBox.text = characters.toString();
        textBox.x = b.x - origin.x;
        textBox.y = b.y - origin.y;
        textBox.w = b.w;
        textBox.h = b.h;
        boxes.append(std::move(textBox));
    });
    return boxes;
}

// Designers spell the chips loosely: case, inner spaces and surrounding
// blanks do not matter.
std::optional<QString> labelOf(const QString &text)
{
    const QString key = text.trimmed().toUpper().remove(QLatin1Char(' '));
    if (key == QLatin1StringView("AS-IS") || key == QLatin1StringView("ASIS"))
        return QStringLiteral("AS-IS");
    if (key == QLatin1StringView("TO-BE") || key == QLatin1StringView("TOBE"))
        return QStringLiteral("TO-BE");
    if (key == QLatin1StringView("NEW"))
        return QStringLiteral("New");
    if (key == QLatin1StringView("DELETE") || key == QLatin1StringView("DELETED"))
        return QStringLiteral("Delete");
    return std::nullopt;
}

// The first label among the texts, with the texts that are not labels as
// its free text.
std::optional<Chip> chipOf(const QStringList &texts, const Box &placed)
{
    std::optional<QString> label;
    QStringList rest;
    for (const QString &text : texts) {
        const std::optional<QString> found = labelOf(text);
        if (!found)
            rest.append(text);
        else if (!label)
            label = found;
    }
    if (!label)
        return std::nullopt;
    return Chip{*label, rest.join(QLatin1Char(' ')), placed};
}

FigmaFrame frameOf(const QJsonObject &node, const Box &page, const Box &placed, QStringList texts)
{
    FigmaFrame frame;
    frame.id = string(node, QLatin1StringView("id"));
    frame.name = string(node, QLatin1StringView("name"));
    frame.x = placed.x;
    frame.y = placed.y;
    frame.w = placed.w;
    frame.h = placed.h;
    if (texts.size() > maxFrameTexts)
        texts.resize(maxFrameTexts);
    frame.texts = std::move(texts);
    frame.textBoxes = textBoxes(node, page);
    return frame;
}

// The frame a chip labels: the highest candidate just below it that it
// overlaps horizontally; on equal tops the one nearer the chip's left edge,
// then the earlier one.
qsizetype matchedFrame(const Chip &chip, const QList<FigmaFrame> &frames)
{
    const double bottom = chip.box.y + chip.box.h;
    const double right = std::max(chip.box.x + chip.box.w, chip.box.x + chipMinReach);
    qsizetype best = -1;
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const FigmaFrame &frame = frames[i];
        const bool below = bottom - chipOverlapAbove <= frame.y && frame.y - bottom < chipReachBelow;
        const bool overlaps = frame.x < right && chip.box.x < frame.x + frame.w;
        if (!below || !overlaps)
            continue;
        if (best < 0) {
            best = i;
            continue;
        }
        const FigmaFrame &leader = frames[best];
        if (frame.y < leader.y
            || (frame.y == leader.y && std::abs(frame.x - chip.box.x) < std::abs(leader.x - chip.box.x)))
            best = i;
    }
    return best;
}

void applyChips(const QList<Chip> &chips, QList<FigmaFrame> &frames)
{
    for (const Chip &chip : chips) {
        const qsizetype index = matchedFrame(chip, frames);
        if (index < 0 || frames[index].label)
            continue;
        FigmaFrame &frame = frames[index];
        frame.label = chip.label;
        if (!chip.text.isEmpty())
            frame.labelText = chip.text;
    }
}

// A number the order can rely on: NaN would break the sort's ordering.
double orderable(double value)
{
    return std::isnan(value) ? 0 : value;
}

double row(const FigmaFrame &frame)
{
    return orderable(std::trunc(frame.y / rowHeight));
}

void sortByRows(QList<FigmaFrame> &frames)
{
    std::stable_sort(frames.begin(), frames.end(), [](const FigmaFrame &a, const FigmaFrame &b) {
        const double rowA = row(a);
        const double rowB = row(b);
        if (rowA != rowB)
            return rowA < rowB;
        return orderable(a.x) < orderable(b.x);
    });
}

} // namespace

FigmaSection parse(const QJsonObject &section, const QString &fileKey)
{
    FigmaSection result;
    result.fileKey = fileKey;
    result.nodeId = string(section, QLatin1StringView("id"));
    result.name = string(section, QLatin1StringView("name"));

    const Box origin = box(section);
    QList<Chip> chips;
    for (const QJsonValue &value : children(section)) {
        const QJsonObject child = value.toObject();
        const Box page = box(child);
        QStringList texts = collectTexts(child);
        // Loose text in a section is a note, even when it reads like a label.
        if (isText(child)) {
            result.notes.append(texts);
            continue;
        }
        const Box placed{page.x - origin.x, page.y - origin.y, page.w, page.h};
        if (placed.h <= chipMaxHeight) {
            if (std::optional<Chip> chip = chipOf(texts, placed)) {
                chips.append(std::move(*chip));
                continue;
            }
        }
        if (placed.w >= frameMinSide && placed.h >= frameMinSide)
            result.frames.append(frameOf(child, page, placed, std::move(texts)));
    }
    applyChips(chips, result.frames);
    sortByRows(result.frames);
    return result;
}

} // namespace FigmaSectionParser
