#include "model/textboxplacement.h"

#include <QDir>
#include <QHash>
#include <algorithm>
#include <cmath>

#include "core/filesizes.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "figma/figmametadata.h"

namespace TextBoxPlacement {

namespace {

bool lacksTextBoxes(const FigmaFrame &frame)
{
    return !frame.textBoxes.has_value();
}

std::optional<QString> readMetadata(const QString &dir)
{
    const std::optional<QByteArray> bytes =
        RegularFile::read(QDir(dir).filePath(QStringLiteral("figma-metadata.xml")), FileSizes::section);
    if (!bytes)
        return std::nullopt;
    return Text::decodeUtf8Strict(*bytes);
}

struct Placement {
    const FigmaFrame *frame;
    const TextBox *box;
};

// A box whose quotients are not all finite numbers would make plan.json
// impossible to write, so such a string stays unplaced.
std::optional<StringKey::Box> fractions(const FigmaFrame &frame, const TextBox &box)
{
    if (!(frame.w > 0) || !(frame.h > 0))
        return std::nullopt;
    const StringKey::Box out{box.x / frame.w, box.y / frame.h, box.w / frame.w, box.h / frame.h};
    if (!std::isfinite(out.x) || !std::isfinite(out.y) || !std::isfinite(out.w) || !std::isfinite(out.h))
        return std::nullopt;
    return out;
}

} // namespace

bool attachTextBoxes(FigmaSection &section, const QString &dir)
{
    if (std::none_of(section.frames.cbegin(), section.frames.cend(), lacksTextBoxes))
        return false;
    const std::optional<QString> metadata = readMetadata(dir);
    if (!metadata)
        return false;
    const QMap<QString, QList<TextBox>> boxes = FigmaMetadata::textBoxes(*metadata);
    bool attached = false;
    for (FigmaFrame &frame : section.frames) {
        if (!lacksTextBoxes(frame))
            continue;
        const auto found = boxes.constFind(frame.id);
        if (found == boxes.constEnd())
            continue;
        frame.textBoxes = *found;
        attached = true;
    }
    return attached;
}

void placeStrings(Plan &plan, const FigmaSection &section)
{
    // A box without an id cannot be what a string's node names: an empty
    // node means the string has no layer, not that it matches every
    // unnamed one.
    QHash<QString, Placement> byId;
    for (const FigmaFrame &frame : section.frames) {
        if (!frame.textBoxes)
            continue;
        for (const TextBox &box : *frame.textBoxes) {
            if (!box.id.isEmpty())
                byId.insert(box.id, Placement{&frame, &box});
        }
    }
    for (StringKey &string : plan.strings) {
        string.frame.clear();
        string.box.reset();
        const auto found = byId.constFind(string.node);
        if (found == byId.constEnd())
            continue;
        const std::optional<StringKey::Box> box = fractions(*found->frame, *found->box);
        if (!box)
            continue;
        string.frame = found->frame->id;
        string.box = box;
    }
}

} // namespace TextBoxPlacement
